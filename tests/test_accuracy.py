"""The package against the hand-labelled warehouse statements of
tests/accuracy: every statement's target, output columns, target columns and
the exact set of source columns of each output column.

A statement the package still gets wrong is listed in KNOWN_WRONG with what
it gives; the mark is strict, so a fix makes it fail until it is removed."""

import functools
import os
import subprocess
import sys

import pytest

from accuracy_labels import load_cases, package_problems, source
from column_lineage.statements import parse_statements

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CASES = {case.id: case for case in load_cases()}

KNOWN_WRONG: dict[tuple[str, int], str] = {}


@functools.lru_cache(maxsize=None)
def problems_of(case_id):
    return package_problems(CASES[case_id])


def statement_params():
    keys = [(case.id, statement.number) for case in CASES.values() for statement in case.statements]
    unknown = set(KNOWN_WRONG) - set(keys)
    if unknown:  # a known-wrong entry that names no labelled statement would mark nothing
        raise ValueError(f"KNOWN_WRONG names no labelled statement: {sorted(unknown)}")
    for key in keys:
        marks = [pytest.mark.xfail(strict=True, reason=KNOWN_WRONG[key])] \
            if key in KNOWN_WRONG else []
        yield pytest.param(*key, marks=marks, id="-".join(map(str, key)))


@pytest.mark.parametrize("case_id, number", statement_params())
def test_statement_lineage_is_exactly_the_label(case_id, number):
    problems = [problem for where, problem in problems_of(case_id) if where == number]
    assert problems == []


@pytest.mark.parametrize("case_id", sorted(CASES))
def test_labels_are_well_formed(case_id):
    """Every statement is one statement that parses as MySQL (REPLACE and
    INTO OUTFILE as the package reads them; one without SELECT, such as
    INSERT … SET, may not), and every statement with a query has
    its output columns labelled with db.table.column sources."""
    for statement in CASES[case_id].statements:
        parsed = list(parse_statements(statement.sql, "mysql"))
        assert len(parsed) == 1, statement.sql
        assert parsed[0].error is None or not parsed[0].has_select, statement.sql
        for label in statement.columns:
            assert label.name
            assert all(len(item) == 3 and item[1] and item[2] for item in label.sources)


@pytest.mark.parametrize("text, expected", [
    ("shop.orders.amount", ("shop", "orders", "amount")),
    ("Orders.Amount", ("", "orders", "amount")),
    ("shop.orders.*", ("shop", "orders", "*")),
])
def test_source_labels(text, expected):
    assert source(text) == expected


@pytest.mark.parametrize("text", ["amount", "a.b.c.d"])
def test_source_label_refused(text):
    with pytest.raises(ValueError):
        source(text)


def test_benchmark_runs_without_sqllineage():
    env = dict(os.environ, SQLLINEAGE_PYTHON=os.path.join(ROOT, "no-such-python"))
    run = subprocess.run([sys.executable, os.path.join(ROOT, "bench", "accuracy.py"), "--quiet"],
                         capture_output=True, text=True, env=env, timeout=300, check=False)
    assert run.returncode == 0, run.stderr
    assert "sqllineage" in run.stdout and "skipped: not installed" in run.stdout
    assert "column_lineage (this package)" in run.stdout and "sqlglot.lineage" in run.stdout
