"""The package numbers a select's output keys as the native module does:
for every analysis the tracer asks of the module, records.module_numbering
gives the column_sort and column name of each record the module returns,
in its order, over the TPC corpus and the structure fuzzer's queries.

LINEAGE_FUZZ_SEED fixes the fuzzer's seed (a new one is drawn each run and
shown on failure)."""

from __future__ import annotations

import os
import random

import pytest
from sqlglot import exp, parse_one

from column_lineage.records import module_numbering
from column_lineage.rows import TraceRecord
from column_lineage.statements import statement_query
from column_lineage.trace import Tracer
from query_fuzzer import query
from shared_corpus import corpus_entries

SEED = int(os.environ.get("LINEAGE_FUZZ_SEED") or random.SystemRandom().randrange(2**32))
FUZZED = 500


class RecordingTracer(Tracer):
    """A tracer that keeps each analysis it asks of the module: the items
    analysed and the records given back."""

    def __init__(self) -> None:
        super().__init__("mysql")
        self.analyses: list[tuple[list[exp.Expr], list[TraceRecord]]] = []

    def analyse(self, select: exp.Select, items: list[exp.Expr]) -> list[TraceRecord]:
        records = super().analyse(select, items)
        self.analyses.append((list(items), records))
        return records


def mismatches(sql: str) -> tuple[int, list[tuple[str, list, list]]]:
    """How many analyses tracing the query asked of the module, and those
    whose records the package numbers otherwise: (items, the package's
    (sort, name) of each kept node, the module's (column_sort, column_name))."""
    tracer = RecordingTracer()
    tracer.query(statement_query(parse_one(sql, dialect="mysql")), {}, describe=True)
    wrong = []
    for items, records in tracer.analyses:
        numbered = [(entry.sort, entry.name)
                    for entry in module_numbering(list(enumerate(items))) if entry.kept]
        given = [(record["column_sort"], record["column_name"]) for record in records]
        if numbered != given:
            wrong.append((", ".join(item.sql() for item in items), numbered, given))
    return len(tracer.analyses), wrong


def fuzzed_queries() -> list[str]:
    rng = random.Random(SEED)
    return [query(rng) for _ in range(FUZZED)]


@pytest.mark.parametrize("source", ["corpus", "fuzzer"])
def test_the_package_numbers_outputs_as_the_module_does(source):
    if source == "corpus":
        queries = [entry["sql"] for entry in corpus_entries()]
        if not queries:
            pytest.skip("the shared corpus is not beside the checkout")
    else:
        queries = fuzzed_queries()
    analyses = 0
    for number, sql in enumerate(queries):
        count, wrong = mismatches(sql)
        analyses += count
        where = f"{source} query {number}" + (f" (LINEAGE_FUZZ_SEED={SEED})"
                                              if source == "fuzzer" else "")
        assert not wrong, f"{where}: {sql}\n{wrong[0]}"
    assert analyses >= len(queries)  # every query was analysed by the module at least once
