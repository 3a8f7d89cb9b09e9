"""The package against the native module: a plain single SELECT keeps the
module's own records, and every corpus query goes through without an
exception."""

import pytest

from column_lineage import analyse_sql
from conftest import analyse, corpus_entries

PLAIN_SELECTS = [
    "SELECT t.a FROM db1.orders AS t",
    "SELECT a FROM orders",
    "SELECT x.a AS b FROM (SELECT t.c AS a FROM db1.t AS t) AS x",
    "SELECT t.amount AS total, 1 AS one, NULL AS nothing, MYFN('2020') AS f FROM orders t",
    "SELECT t1.a + t2.b AS s, t1.c FROM sales.t1 AS t1 JOIN sales.t2 AS t2 ON t1.id = t2.id",
    "SELECT SUM(o.amount) AS revenue, o.region FROM shop.orders o GROUP BY o.region",
    "SELECT t.a AS x, t.b AS x, u.c FROM t AS t JOIN u AS u ON t.id = u.id",
    "SELECT q.total, q.n FROM (SELECT SUM(t.v) AS total, COUNT(t.id) AS n FROM dw.t AS t) AS q "
    "JOIN dw.cal AS c ON c.d = q.total",
    "SELECT CASE WHEN o.n > 10 THEN 'many' ELSE 'few' END AS size FROM orders AS o",
]


@pytest.mark.parametrize("sql", PLAIN_SELECTS)
def test_plain_select_rows_are_the_module_records(sql):
    statement, = analyse_sql(sql)
    assert [row.module_record() for row in statement.rows] == analyse(sql)


def test_every_corpus_statement_gives_rows_or_a_skip():
    queries = corpus_entries()
    if not queries:
        pytest.skip("the shared corpus is not beside the checkout")
    columns = resolved = 0
    for query in queries:
        for statement in analyse_sql(query["sql"], file=query["id"]):
            assert statement.error is None, (query["id"], statement.error)
            assert statement.rows or statement.skipped, query["id"]
            positions = {row.position for row in statement.rows}
            assert positions == set(range(1, len(statement.columns) + 1)), query["id"]
            columns += len(statement.columns)
            resolved += len({row.position for row in statement.rows if row.resolved})
    assert resolved > 0.9 * columns
