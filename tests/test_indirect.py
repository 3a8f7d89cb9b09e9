"""Indirect lineage (analyse_sql(indirect=True)): the base columns that
decide which rows a statement gives, or their order, per subtype, at the
dataset level (every output column) or for one output column; and the
direct lineage left exactly as it is without them."""

from __future__ import annotations

import glob
import os

import pytest

from column_lineage import analyse_sql
from column_lineage import indirect as indirect_module
from column_lineage.rows import IndirectRow
from shared_corpus import corpus_entries

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripts")
AB = {"a": {"id": "int", "k": "int", "x": "int"}, "b": {"id": "int", "k": "int", "y": "int"}}


def found(sql, schema=None):
    """The last statement's indirect rows as {(position, subtype, table.column)}
    (position None: the dataset level)."""
    statement = analyse_sql(sql, schema=schema, indirect=True)[-1]
    assert statement.error is None and statement.indirect_error is None
    return {(row.position, row.subtype, f"{row.table_name}.{row.column_name}".lower())
            for row in statement.indirect}


@pytest.mark.parametrize("sql, schema, expected", [
    # JOIN: ON; USING and NATURAL give the shared columns of both sides
    ("SELECT a.x FROM a JOIN b ON a.id = b.aid", None,
     {(None, "JOIN", "a.id"), (None, "JOIN", "b.aid")}),
    ("SELECT a.x FROM a JOIN b USING (id)", None, {(None, "JOIN", "a.id"), (None, "JOIN", "b.id")}),
    ("SELECT x FROM a NATURAL JOIN b", AB,
     {(None, "JOIN", column) for column in ("a.id", "a.k", "b.id", "b.k")}),
    # with a schema USING reads as COALESCE(a.k, b.k): no choice of the query's own
    ("SELECT k, a.x FROM a JOIN b USING (k)", AB, {(None, "JOIN", "a.k"), (None, "JOIN", "b.k")}),
    # FILTER: WHERE (the schema settles an unqualified column); literals and variables nothing
    ("SELECT x FROM a JOIN b ON a.id = b.id WHERE y > 0 AND @v = 1 AND 1 = 1", AB,
     {(None, "JOIN", "a.id"), (None, "JOIN", "b.id"), (None, "FILTER", "b.y")}),
    # HAVING names an alias: the item's columns; GROUP BY by position and by alias
    ("SELECT t.k, SUM(t.v) AS total FROM t GROUP BY t.k HAVING total > 10", None,
     {(None, "GROUP_BY", "t.k"), (None, "FILTER", "t.v")}),
    ("SELECT YEAR(t.d) AS y, COUNT(*) AS n FROM t GROUP BY 1", None, {(None, "GROUP_BY", "t.d")}),
    ("SELECT YEAR(t.d) AS y, COUNT(*) AS n FROM t GROUP BY y", None, {(None, "GROUP_BY", "t.d")}),
    # SORT only where a LIMIT makes it decide which rows
    ("SELECT t.a FROM t ORDER BY t.b", None, set()),
    ("SELECT t.a + t.b AS s FROM t ORDER BY s DESC LIMIT 1", None,
     {(None, "SORT", "t.a"), (None, "SORT", "t.b")}),
    ("SELECT d.a FROM (SELECT t.a FROM t ORDER BY t.b LIMIT 3) AS d ORDER BY d.a", None,
     {(None, "SORT", "t.b")}),
    # WINDOW and CONDITIONAL: the column holding them only; THEN/ELSE values stay direct
    ("SELECT t.a, ROW_NUMBER() OVER (PARTITION BY t.p ORDER BY t.o) AS rn FROM t", None,
     {(2, "WINDOW", "t.p"), (2, "WINDOW", "t.o")}),
    ("SELECT CASE WHEN t.a > 0 THEN t.b ELSE t.c END AS v, IF(t.d, t.e, t.f) AS w, "
     "IFNULL(t.g, t.h) AS z, NULLIF(t.i, t.j) AS n, CASE t.k WHEN 1 THEN t.l END AS s FROM t",
     None, {(1, "CONDITIONAL", "t.a"), (2, "CONDITIONAL", "t.d"), (3, "CONDITIONAL", "t.g"),
            (4, "CONDITIONAL", "t.i"), (4, "CONDITIONAL", "t.j"), (5, "CONDITIONAL", "t.k")}),
    # correlated subqueries in WHERE: their WHERE both sides, IN's output, not EXISTS'
    ("SELECT t.a FROM t WHERE t.k IN (SELECT u.k FROM u WHERE u.f = t.g) "
     "AND EXISTS (SELECT v.flag FROM v WHERE v.id = t.id)", None,
     {(None, "FILTER", c) for c in ("t.k", "u.k", "u.f", "t.g", "v.id", "t.id")}),
    # a scalar subquery as an item: its correlation is that column's
    ("SELECT t.a, (SELECT MAX(u.v) FROM u WHERE u.k = t.k) AS m FROM t", None,
     {(2, "FILTER", "u.k"), (2, "FILTER", "t.k")}),
    # through a derived table: its filter counts, its ON column is read through it
    ("SELECT d.x FROM (SELECT t.x FROM t WHERE t.f = 1) AS d JOIN u ON u.id = d.x", None,
     {(None, "FILTER", "t.f"), (None, "JOIN", "u.id"), (None, "JOIN", "t.x")}),
    # through a CTE: its filter and group keys for all, its CASE for the column reading it
    ("WITH c AS (SELECT t.x, CASE WHEN t.s THEN t.y END AS v FROM t WHERE t.f = 1 "
     "GROUP BY t.x, t.s, t.y) SELECT c.x, c.v FROM c WHERE c.x > 0", None,
     {(None, "FILTER", "t.f"), (None, "GROUP_BY", "t.x"), (None, "GROUP_BY", "t.s"),
      (None, "GROUP_BY", "t.y"), (None, "FILTER", "t.x"), (2, "CONDITIONAL", "t.s")}),
    # a derived table's own CTE, and a CTE of a subquery in WHERE
    ("SELECT x.a FROM (WITH c AS (SELECT t.a FROM t WHERE t.f = 1) SELECT c.a FROM c) AS x",
     None, {(None, "FILTER", "t.f")}),
    ("SELECT t.a FROM t WHERE t.b IN (WITH c AS (SELECT u.b FROM u WHERE u.f = 1) "
     "SELECT c.b FROM c)", None,
     {(None, "FILTER", "t.b"), (None, "FILTER", "u.b"), (None, "FILTER", "u.f")}),
    # set operations: each branch's filters; EXCEPT's later branch filters; a sort by name
    ("SELECT t.a FROM t WHERE t.x = 1 UNION ALL SELECT CASE WHEN u.c THEN u.b END FROM u "
     "WHERE u.y = 2", None,
     {(None, "FILTER", "t.x"), (None, "FILTER", "u.y"), (1, "CONDITIONAL", "u.c")}),
    ("SELECT t.a FROM t EXCEPT SELECT u.b FROM u WHERE u.y = 2", None,
     {(None, "FILTER", "u.b"), (None, "FILTER", "u.y")}),
    ("SELECT t.a FROM t UNION SELECT u.b FROM u ORDER BY a LIMIT 3", None,
     {(None, "SORT", "t.a"), (None, "SORT", "u.b")}),
    # UPDATE: WHERE, a deciding sort, a choice in SET; a multi-table UPDATE's join
    ("UPDATE t SET t.a = IF(t.b > 0, t.c, 0) WHERE t.e = 1 ORDER BY t.f LIMIT 10", None,
     {(None, "FILTER", "t.e"), (None, "SORT", "t.f"), (1, "CONDITIONAL", "t.b")}),
    ("UPDATE t JOIN u ON t.id = u.tid SET t.a = u.b WHERE u.c > 0", None,
     {(None, "JOIN", "t.id"), (None, "JOIN", "u.tid"), (None, "FILTER", "u.c")}),
    # a recursive CTE's read of itself reads no table
    ("WITH RECURSIVE r (n) AS (SELECT 1 UNION ALL SELECT r.n + 1 FROM r WHERE r.n < 10) "
     "SELECT r.n FROM r", None, set()),
])
def test_indirect_subtypes(sql, schema, expected):
    assert found(sql, schema) == expected


@pytest.mark.parametrize("sql, dataset_target, field", [
    ("INSERT INTO db1.tgt (c1, c2) SELECT t.a, CASE WHEN t.b THEN 1 END FROM t WHERE t.q = 1",
     ("db1", "tgt"), (2, "CASE WHEN t.b THEN 1 END", "db1", "tgt", "c2")),
    ("CREATE TABLE tgt AS SELECT t.a, IFNULL(t.b, 0) AS b FROM t WHERE t.q = 1",
     ("shop", "tgt"), (2, "b", "shop", "tgt", "b")),
])
def test_rows_place_dataset_and_field_level(sql, dataset_target, field):
    rows = analyse_sql(sql, file="f.sql", database="shop", indirect=True)[0].indirect
    assert rows == [
        IndirectRow("f.sql", 1, None, None, None, *dataset_target, None,
                    "FILTER", "shop", "t", "q"),
        IndirectRow("f.sql", 1, None, *field, "CONDITIONAL", "shop", "t", "b")]


def test_routine_bodies_and_trigger_rows():
    statements = analyse_sql(
        "DELIMITER //\nCREATE TRIGGER tr AFTER UPDATE ON orders FOR EACH ROW BEGIN "
        "UPDATE totals SET totals.amount = totals.amount + NEW.amount "
        "WHERE totals.customer_id = NEW.customer_id; END //\nDELIMITER ;\n",
        database="shop", indirect=True)
    body = statements[1]
    assert (body.label, body.kind) == ("1.1", "UPDATE")
    assert {(row.place, row.subtype, row.table_name, row.column_name) for row in body.indirect} \
        == {(1, "FILTER", "totals", "customer_id"), (1, "FILTER", "orders", "customer_id")}


def test_without_indirect_nothing_is_found():
    statement = analyse_sql("SELECT t.a FROM t WHERE t.b = 1")[0]
    assert statement.indirect == [] and statement.indirect_error is None


def test_a_failure_is_reported_and_direct_rows_stay(monkeypatch):
    def refuse(self, *args):
        raise ValueError("refused")

    sql = "SELECT t.a FROM t WHERE t.b = 1"
    monkeypatch.setattr(indirect_module.IndirectAnalysis, "conditions", refuse)
    statement = analyse_sql(sql, indirect=True)[0]
    assert statement.indirect == []
    assert statement.indirect_error == "indirect analysis failed (ValueError: refused)"
    assert statement.rows == analyse_sql(sql)[0].rows


def direct(statements):
    return [(s.label, s.kind, s.columns, s.rows, s.error, s.skipped, s.changes)
            for s in statements]


@pytest.mark.parametrize("path", sorted(glob.glob(os.path.join(SCRIPTS, "*.sql"))),
                         ids=os.path.basename)
def test_direct_rows_of_scripts_are_unchanged(path):
    with open(path, encoding="utf-8") as script:
        text = script.read()
    with_indirect = analyse_sql(text, file=path, indirect=True)
    assert direct(with_indirect) == direct(analyse_sql(text, file=path))
    assert all(statement.indirect_error is None for statement in with_indirect)
    assert any(statement.indirect for statement in with_indirect)


def test_corpus_direct_rows_unchanged_and_indirect_found():
    entries = corpus_entries()
    if not entries:
        pytest.skip("the shared corpus is not beside the checkout")
    for entry in entries:
        sql = entry["sql"].replace("`", "")
        statements = analyse_sql(sql, indirect=True)
        assert direct(statements) == direct(analyse_sql(sql)), entry["id"]
        assert statements[0].indirect_error is None, entry["id"]
        if " where " in sql.lower():
            assert any(row.subtype == "FILTER" for row in statements[0].indirect), entry["id"]


def test_a_star_spread_over_the_target_keeps_later_positions():
    statement = analyse_sql("INSERT INTO tgt SELECT u.*, CASE WHEN u.f THEN 1 END FROM u",
                            schema={"tgt": {"a": "int", "b": "int", "c": "int"}},
                            indirect=True)[0]
    assert [(row.position, row.target_column, row.subtype, row.column_name)
            for row in statement.indirect] == [(3, "c", "CONDITIONAL", "f")]
