"""find_column: records for the nodes of one select item, their numbering,
texts and deduplication."""

import pytest
from sqlglot import exp

from conftest import analyse, lineage, parse, record


def resolve(sql, kind="column", node_class=exp.Column, item=0, state=None):
    """find_column over the nodes of one select item, from fresh state."""
    tree = parse(sql)
    nodes = list(tree.expressions[item].find_all(node_class))
    columns, alias, texts, sort = state or ([], [], [], 0)
    result = lineage.find_column(nodes, columns, alias, texts, kind, sort)
    assert result[0] is columns and result[1] is alias and result[2] is texts
    return result


class TestRecords:
    def test_qualified_column_waits_for_its_table(self):
        columns, alias, texts, sort = resolve("SELECT t.amount AS total FROM orders t")
        assert columns == [record(1, "amount", "total", "t")]
        assert list(columns[0]) == ["column_sort", "column_name", "column_alias",
                                    "column_table", "column_type"]
        assert (alias, texts, sort) == (["t.total"], ["amount-total-t-column"], 1)

    def test_unqualified_column_binds_the_first_from_table(self):
        columns, alias, texts, sort = resolve(
            "SELECT amount AS total FROM orders o JOIN items i ON o.id = i.order_id")
        assert columns == [{**record(1, "amount", "total", ""), "table_db": "",
                            "table_name": "orders", "table_alias": "o"}]
        assert list(columns[0])[5:] == ["table_db", "table_name", "table_alias"]
        assert (alias, texts, sort) == ([".total"], [], 1)

    def test_item_without_alias_takes_the_columns_name(self):
        for sql in ("SELECT t.amount FROM t", "SELECT SUM(t.amount) FROM t"):
            columns, *_ = resolve(sql)
            assert columns[0]["column_alias"] == "amount"

    def test_function_call(self):
        columns, alias, texts, sort = resolve(
            "SELECT MYFN('2020') AS f", kind="anonymous", node_class=exp.Anonymous)
        assert columns == [record(1, "MYFN", "f", "", "anonymous")]
        assert (alias, texts) == (["anonymous.f"], ["MYFN-f-anonymous-anonymous"])
        columns, *_ = resolve("SELECT MYFN('2020')", kind="anonymous", node_class=exp.Anonymous)
        assert columns[0]["column_alias"] == "MYFN"

    def test_table_literally_named_anonymous(self):
        columns, alias, texts, _ = resolve("SELECT anonymous.a AS x FROM t AS anonymous")
        assert columns == [record(1, "a", "x", "")]
        assert (alias, texts) == (["anonymous.x"], ["a-x-anonymous-column"])
        # Its listed text never matches the record again, so it stays open.
        assert analyse("SELECT anonymous.a AS x FROM t AS anonymous") == columns

    def test_empty_find_list_changes_nothing(self):
        state = ([{"k": 1}], ["a"], ["t"], 7)
        assert lineage.find_column([], *state[:3], "column", 7) == state

    def test_subquery_kind_is_copied(self):
        tree = parse("SELECT (SELECT u.b AS c FROM u) AS s FROM t")
        nodes = list(tree.find(exp.Subquery).this.expressions[0].find_all(exp.Column))
        columns, *_ = lineage.find_column(nodes, [], [], [], "subquery", 0)
        assert columns == [record(1, "b", "c", "u", "subquery")]


class TestNumberingAndDuplicates:
    def test_repeated_qualified_column_is_one_record(self):
        columns, _, texts, _ = resolve("SELECT t.a + t.a AS s FROM t")
        assert columns == [record(1, "a", "s", "t")]
        assert texts == ["a-s-t-column"]

    def test_repeated_unqualified_column_gives_two_records(self):
        columns, alias, _, sort = resolve("SELECT a + a AS s FROM t")
        assert len(columns) == 2 and columns[0] == columns[1]
        assert (alias, sort) == ([".s"], 1)

    def test_each_qualifier_is_a_new_number(self):
        columns, alias, _, sort = resolve("SELECT t1.a + t2.b AS s FROM t1, t2")
        assert [(c["column_table"], c["column_sort"]) for c in columns] == [("t1", 1), ("t2", 2)]
        assert (alias, sort) == (["t1.s", "t2.s"], 2)

    def test_qualifiers_t_u_t_number_1_2_2(self):
        tree = parse("SELECT t.a + u.b + t.c AS s FROM t, u")
        by_name = {c.name: c for c in tree.find_all(exp.Column)}
        nodes = [by_name["a"], by_name["b"], by_name["c"]]
        columns, *_ = lineage.find_column(nodes, [], [], [], "column", 0)
        assert [(c["column_table"], c["column_sort"]) for c in columns] == [
            ("t", 1), ("u", 2), ("t", 2)]

    def test_same_key_in_two_items_repeats_the_number(self):
        state = resolve("SELECT t.a AS x, t.b AS x FROM t")
        columns, alias, texts, sort = resolve("SELECT t.a AS x, t.b AS x FROM t", item=1, state=state)
        assert [c["column_sort"] for c in columns] == [1, 1]
        assert alias == ["t.x"] and sort == 1

    def test_a_listed_text_drops_the_node_across_calls(self):
        state = resolve("SELECT t.a AS x FROM t")
        state = resolve("SELECT t.a AS x FROM t", state=state)
        assert len(state[0]) == 1 and state[3] == 1

    def test_sort_is_any_number(self):
        columns, _, _, sort = resolve("SELECT t.a FROM t", state=([], [], [], 41))
        assert sort == 42 and columns[0]["column_sort"] == 42


class TestSources:
    def test_unqualified_column_over_a_subquery_waits_as_an_record(self):
        tree = parse("SELECT a AS x FROM (SELECT a FROM u) AS s")
        columns, alias, texts, sort = lineage.find_column(
            [tree.expressions[0].this], [], [], [], "column", 0)
        assert columns == [record(1, "a", "x", "")]
        assert texts == ["a-x--column"] and alias == [".x"]

    def test_unqualified_column_without_from_is_an_record(self):
        columns, alias, texts, _ = resolve("SELECT a + 1 AS b")
        assert columns == [record(1, "a", "b", "")]
        assert texts == ["a-b--column"]


class TestFailures:
    def test_get_column_parent_must_return_two_values(self, rebind):
        rebind("get_column_parent", lambda column, table: ("x",))
        with pytest.raises(ValueError, match="need more than 1 value to unpack"):
            resolve("SELECT t.a FROM t")

    def test_records_made_before_a_failure_stay(self, rebind):
        real = lineage.get_column_parent
        seen = []

        def failing_second(column, table):
            seen.append(column)
            if len(seen) == 2:
                raise KeyError("stop")
            return real(column, table)

        rebind("get_column_parent", failing_second)
        tree = parse("SELECT t.a + t.b AS s FROM t")
        columns, texts = [], []
        with pytest.raises(KeyError):
            lineage.find_column(list(tree.find_all(exp.Column)), columns, [], texts, "column", 0)
        assert len(columns) == 1 and texts == ["a-s-t-column"]

    def test_node_without_attributes(self):
        with pytest.raises(AttributeError):
            lineage.find_column([object()], [], [], [], "column", 0)

    def test_non_string_qualifier_fails_the_key(self):
        node = exp.column("a")
        node.set("table", None)  # table property then gives ""
        columns, *_ = lineage.find_column([node], [], [], [], "column", 0)
        assert columns[0]["column_table"] == ""
        with pytest.raises(TypeError):
            lineage.find_column([exp.column("a", table="t")], [], [], [], "column", None)
