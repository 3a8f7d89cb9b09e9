"""get_columns: classification of select items and the shared numbering."""

import pytest
from sqlglot import exp

from conftest import lineage, parse, record


@pytest.fixture
def find_column_calls(spy):
    """The nodes, kind and counter of every find_column call."""
    return spy("find_column", lambda find_list, columns, alias, texts, column_type, sort:
               (list(find_list), column_type, sort))


def items(sql):
    return parse(sql).expressions


class TestConstants:
    def test_literals_and_nulls_share_the_numbering(self, find_column_calls):
        columns, texts = lineage.get_columns(items("SELECT 1 AS a, NULL AS b, 2 AS a"))
        assert columns == [
            record(1, "1", "a", "", "literal"),
            record(2, "NULL", "b", "", "null"),
            record(2, "2", "a", "", "literal"),
        ]
        assert texts == [] and find_column_calls == []

    def test_without_alias(self):
        columns, _ = lineage.get_columns(items("SELECT 'x', NULL"))
        assert [(c["column_name"], c["column_alias"], c["column_type"]) for c in columns] == [
            ("x", "x", "literal"), ("NULL", "NULL", "null")]

    def test_numbering_runs_on_across_kinds(self):
        columns, texts = lineage.get_columns(items("SELECT t.a AS x, 1 AS y, t.b AS x FROM t"))
        assert [c["column_sort"] for c in columns] == [1, 2, 2]
        assert texts == ["a-x-t-column", "b-x-t-column"]

    def test_a_name_repeated_after_another_takes_the_latest_number(self):
        columns, _ = lineage.get_columns(items("SELECT 1 AS a, 2 AS b, 3 AS a"))
        assert [c["column_sort"] for c in columns] == [1, 2, 2]


class TestClassification:
    def test_empty_select_list(self, find_column_calls):
        assert lineage.get_columns([]) == ([], [])
        assert find_column_calls == []

    def test_column_item_passes_all_its_columns_in_search_order(self, find_column_calls):
        select = items("SELECT a + b AS s FROM t")
        lineage.get_columns(select)
        assert find_column_calls == [(list(select[0].find_all(exp.Column)), "column", 0)]
        assert [c.name for c in find_column_calls[0][0]] == ["a", "b"]

    def test_function_item(self, find_column_calls):
        lineage.get_columns(items("SELECT MYFN(OTHERFN(1)) AS f, MYFN(t.a) AS g FROM t"))
        kinds = [(kind, [n.name for n in nodes]) for nodes, kind, _ in find_column_calls]
        # Every call of the item goes in one list; a column makes it a column item.
        assert kinds == [("anonymous", ["MYFN", "OTHERFN"]), ("column", ["a"])]

    def test_subquery_item_goes_entry_by_entry(self, find_column_calls):
        columns, texts = lineage.get_columns(
            items("SELECT (SELECT u.b, 1, u.c + u.d AS e FROM u) + t.z AS s FROM t"))
        assert [(kind, [n.name for n in nodes]) for nodes, kind, _ in find_column_calls] == [
            ("subquery", ["b"]), ("subquery", []), ("subquery", ["c", "d"])]
        # Columns of the item outside the subquery reach no call.
        assert [c["column_name"] for c in columns] == ["b", "c", "d"]
        assert all(c["column_type"] == "subquery" for c in columns)

    def test_only_the_first_of_two_subqueries(self, find_column_calls):
        lineage.get_columns(items("SELECT (SELECT u.b FROM u) + (SELECT v.c FROM v) AS s"))
        assert [[n.name for n in nodes] for nodes, _, _ in find_column_calls] == [["b"]]

    def test_alias_over_other_expression_is_searched(self):
        columns, _ = lineage.get_columns(items("SELECT -t.a AS n FROM t"))
        assert columns[0]["column_type"] == "column"


class TestUnsupported:
    def test_prints_the_item_and_raises(self, capsys, find_column_calls):
        select = items("SELECT t.a AS x, 1 + 2 AS y FROM t")
        with pytest.raises(NotImplementedError) as caught:
            lineage.get_columns(select)
        assert caught.value.args[0] == "暂不支持"
        assert caught.value.args[1] is select[1]
        assert capsys.readouterr().out == repr(select[1]) + "\n"
        assert len(find_column_calls) == 1  # the item before it was handled

    @pytest.mark.parametrize("sql", ["SELECT COUNT(*) FROM t", "SELECT * FROM t",
                                     "SELECT CURRENT_DATE AS d"],
                             ids=["count-star", "star", "current-date"])
    def test_items_without_columns_literals_or_anonymous_calls(self, sql, capsys):
        with pytest.raises(NotImplementedError):
            lineage.get_columns(items(sql))
        assert capsys.readouterr().out


class TestFailures:
    @pytest.mark.parametrize("returned, error, message", [
        pytest.param((1, 2, 3), ValueError, "need more than 3 values to unpack", id="three"),
        pytest.param((1, 2, 3, 4, 5), ValueError, "too many values to unpack (expected 4)",
                     id="five"),
        pytest.param(None, TypeError, "'NoneType' object is not iterable", id="None"),
    ])
    def test_find_column_result_must_be_four_values(self, rebind, returned, error, message):
        rebind("find_column", lambda *args: returned)
        with pytest.raises(error) as caught:
            lineage.get_columns(items("SELECT t.a FROM t"))
        assert str(caught.value) == message

    def test_subquery_item_whose_select_is_missing(self):
        item = exp.alias_(exp.Subquery(this=exp.Literal.number(1)), "s")
        with pytest.raises(AttributeError):
            lineage.get_columns([item])

    def test_non_node_items(self):
        with pytest.raises(AttributeError):
            lineage.get_columns([1])
        with pytest.raises(TypeError):
            lineage.get_columns(5)
