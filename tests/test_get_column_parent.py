"""get_column_parent: the output name of a node and, for an unqualified
column, the first FROM source of its nearest select."""

import pytest
from sqlglot import exp

from conftest import FROM, lineage, parse


def column_node(tree, name):
    return next(c for c in tree.find_all(exp.Column) if c.name == name)


def table_node(tree, name):
    return next(t for t in tree.find_all(exp.Table) if t.name == name)


@pytest.mark.parametrize("sql, column, qualifier, alias, table", [
    # A qualified column never reads the FROM clause.
    pytest.param("SELECT t.a AS x FROM t JOIN u ON t.id = u.id", "a", "t", "x", None,
                 id="qualified"),
    # The first FROM source, never a joined one.
    pytest.param("SELECT a AS x FROM t JOIN u ON t.id = u.id", "a", "", "x", "t",
                 id="unqualified-first-source"),
    pytest.param("SELECT a FROM t", "a", "", "", "t", id="unqualified-without-alias"),
    # The item directly under the select gives the alias: SUM has none.
    pytest.param("SELECT SUM(t.a) FROM t", "a", "t", "", None, id="inside-a-call"),
    # The nearest select is the inner one; the outer alias plays no part.
    pytest.param("SELECT (SELECT MAX(b) FROM u) AS m FROM t", "b", "", "", "u",
                 id="nearest-select"),
])
def test_parent_lookup(sql, column, qualifier, alias, table):
    tree = parse(sql)
    old_alias, found = lineage.get_column_parent(column_node(tree, column), qualifier)
    assert old_alias == alias
    if table is None:
        assert found is None
    else:
        assert found is table_node(tree, table)


def test_a_subquery_source_is_returned_as_the_node():
    tree = parse("SELECT a AS x FROM (SELECT a FROM u) AS s")
    outer_a = tree.expressions[0].this
    assert lineage.get_column_parent(outer_a, "") == ("x", tree.args[FROM].this)
    assert isinstance(tree.args[FROM].this, exp.Subquery)


def test_function_call_without_from():
    tree = parse("SELECT MYFN('2020') AS f")
    node = tree.find(exp.Anonymous)
    assert lineage.get_column_parent(node, "anonymous") == ("f", None)


def test_unqualified_column_of_a_select_without_from_has_no_table():
    tree = parse("SELECT a + 1 AS b")
    assert lineage.get_column_parent(column_node(tree, "a"), "") == ("b", None)


def test_climb_past_the_root():
    tree = parse("UPDATE t SET a = b")
    node = column_node(tree, "b")
    # The ancestors hold no select: the root's alias and no table.
    assert lineage.get_column_parent(node, "") == (tree.alias, None)
    lone = exp.column("c", table="t")
    assert lineage.get_column_parent(lone, "") == ("", None)
    aliased = exp.alias_(exp.column("c"), "z")
    assert lineage.get_column_parent(aliased, "") == ("z", None)


def test_node_of_another_clause_gives_that_clause():
    tree = parse("SELECT a FROM t WHERE b > 1")
    assert lineage.get_column_parent(column_node(tree, "b"), "u") == ("", None)


def test_exp_is_read_from_the_namespace(rebind):
    class Never:
        pass

    fake_exp = type("FakeExp", (), {"Select": Never})
    rebind("exp", fake_exp)
    tree = parse("SELECT a AS x FROM t")
    # No Select is recognised, so the climb passes the root.
    assert lineage.get_column_parent(column_node(tree, "a"), "") == ("", None)


def test_from_clause_without_source_gives_no_table():
    tree = parse("SELECT a AS x FROM t")
    tree.args[FROM].set("this", None)
    assert lineage.get_column_parent(column_node(tree, "a"), "") == ("x", None)
