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


def walked_nodes(item):
    """What item_parts' walk finds in an item: its columns, stars, unknown
    functions and queries."""
    from sqlglot import exp

    return list(item.find_all(exp.Column, exp.Star, exp.Anonymous, exp.Query))


@pytest.mark.parametrize("item_sql, plain", [
    ("t.a", True), ("a", True), ("t.a AS b", True), ("db.t.a AS b", True), ("`t`.`a` AS `b`", True),
    ("t.*", False), ("*", False), ("COUNT(t.a) AS n", False), ("t.a + 1 AS s", False),
    ("(SELECT u.b FROM u) AS s", False), ("MYFN(t.a)", False), ("'x' AS a", False),
])
def test_a_plain_column_item_is_its_only_node_and_an_identity(item_sql, plain):
    from sqlglot import parse_one

    from column_lineage.normalise import item_parts, plain_column, transformation

    item = parse_one(f"SELECT {item_sql} FROM t", dialect="mysql").expressions[0]
    assert (plain_column(item) is not None) == plain
    if plain:
        parts = item_parts(item)
        assert walked_nodes(item) == parts.columns and parts.columns[0] is plain_column(item)
        assert transformation(item) == "IDENTITY"


def test_every_plain_column_item_of_the_corpus_is_its_only_node():
    from sqlglot import exp, parse_one

    from column_lineage.normalise import plain_column

    queries = corpus_entries()
    if not queries:
        pytest.skip("the shared corpus is not beside the checkout")
    plain = 0
    for query in queries:
        tree = parse_one(query["sql"].replace("`", ""), dialect="mysql")
        for select in tree.find_all(exp.Select):
            for item in select.expressions:
                column = plain_column(item)
                if column is not None:
                    plain += 1
                    assert walked_nodes(item) == [column], query["id"]
                    assert item.find(exp.AggFunc) is None, query["id"]
    assert plain > 0
