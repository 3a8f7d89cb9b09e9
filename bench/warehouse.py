"""The warehouse layer over the shared corpus, side by side in one run:

- the share of output columns resolved to a source table by the native
  module alone (parse_one + test; a query it refuses resolves nothing) and
  by the package (every statement, CTEs, set operations, stars);
- the package's time beyond parsing (normalisation, the native analysis,
  composing rows) relative to the parse it starts with.

Run: .venv/bin/python bench/warehouse.py [ROUNDS]
"""

import contextlib
import io
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))
sys.path.insert(1, os.path.join(ROOT, "src"))

import test as lineage  # noqa: E402  (the native module)
from sqlglot import parse as parse_all, parse_one  # noqa: E402

from column_lineage import analyse_sql  # noqa: E402
from column_lineage.statements import parse_statements  # noqa: E402

from shared_corpus import corpus_queries  # noqa: E402


def module_resolved(sql, width):
    """Output columns the module alone binds to a table: distinct numbers
    among its records with a table name (at most the statement's width)."""
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            records = lineage.test(parse_one(sql.replace("`", ""), dialect="mysql"))
    except Exception:  # noqa: BLE001 - a refused query resolves nothing
        return 0
    return min(width, len({r["column_sort"] for r in records if r.get("table_name")}))


def package_counts(sql):
    columns = resolved = 0
    for statement in analyse_sql(sql):
        columns += len(statement.columns)
        resolved += len({row.position for row in statement.rows if row.resolved})
    return columns, resolved


def timed(function, queries):
    start = time.perf_counter()
    for sql in queries:
        function(sql)
    return time.perf_counter() - start


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    queries = corpus_queries()
    columns = before = after = 0
    for sql in queries:
        width, resolved = package_counts(sql)
        columns += width
        after += resolved
        before += module_resolved(sql, width)
    print(f"{len(queries)} queries, {columns} output columns")
    print(f"resolved to a source table: module alone {before / columns:.1%}, "
          f"package {after / columns:.1%}")
    parse = analyse = sqlglot_parse = float("inf")
    for _ in range(rounds):  # interleaved; the best round of each
        sqlglot_parse = min(sqlglot_parse, timed(lambda sql: parse_all(sql, dialect="mysql"),
                                                 queries))
        parse = min(parse, timed(parse_statements, queries))
        analyse = min(analyse, timed(analyse_sql, queries))
    beyond = analyse - parse
    print(f"parse {parse * 1e3:.1f} ms, package {analyse * 1e3:.1f} ms: "
          f"analysis beyond parsing {beyond * 1e3:.1f} ms = {beyond / parse:.2f} x the parse")
    print(f"sqlglot's parse {sqlglot_parse * 1e3:.1f} ms: the package takes "
          f"{analyse / sqlglot_parse:.2f} x sqlglot's parse")


if __name__ == "__main__":
    main()
