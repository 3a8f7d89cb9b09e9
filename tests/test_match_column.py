"""match_column: binding records to base tables, subqueries and CTEs."""

import pytest
from sqlglot import exp

from conftest import FROM, analyse, bound, fast_path_only, lineage, parse, record


def from_scope(sql):
    return parse(sql).args[FROM].this


class TestBaseTable:
    def test_binds_database_name_and_alias(self):
        scope = from_scope("SELECT t.a FROM db1.orders AS t")
        columns = [record(1, "a", "a", "t")]
        texts = ["a-a-t-column"]
        new_columns, returned_texts = lineage.match_column(scope, columns, texts)
        assert new_columns == [bound(1, "a", "a", "t", "column", "db1", "orders", "t")]
        assert list(new_columns[0]) == list(bound(1, "", "", "", "", "", "", ""))
        assert returned_texts is texts and texts == []
        assert columns == [record(1, "a", "a", "t")]  # the old record is untouched

    def test_table_without_database_or_alias(self):
        scope = from_scope("SELECT a FROM orders")
        new_columns, _ = lineage.match_column(scope, [record(1, "a", "a", "")], ["a-a--column"])
        assert new_columns == [bound(1, "a", "a", "", "column", "", "orders", "")]

    def test_table_named_like_the_qualifier_but_without_alias_does_not_bind(self):
        scope = from_scope("SELECT t.a FROM t")
        columns = [record(1, "a", "a", "t")]
        new_columns, texts = lineage.match_column(scope, columns, ["a-a-t-column"])
        assert new_columns[0] is columns[0] and texts == ["a-a-t-column"]


class TestPassThrough:
    def test_empty_columns(self):
        texts = ["x"]
        assert lineage.match_column(from_scope("SELECT a FROM t"), [], texts) == ([], ["x"])

    def test_unbound_records_pass_as_the_same_objects(self):
        scope = from_scope("SELECT t.a FROM t AS t")
        finished = bound(1, "a", "a", "t", "column", "", "u", "t")
        unlisted = record(2, "b", "b", "t")
        other_alias = record(3, "c", "c", "u")
        texts = ["a-a-t-column", "c-c-u-column"]
        new_columns, texts = lineage.match_column(scope, [finished, unlisted, other_alias], texts)
        assert all(new is old for new, old in zip(new_columns, [finished, unlisted, other_alias]))
        assert texts == ["a-a-t-column", "c-c-u-column"]

    def test_one_listed_text_binds_only_the_first_of_two_records(self):
        scope = from_scope("SELECT t.a FROM x AS t")
        first, second = record(1, "a", "a", "t"), record(1, "a", "a", "t")
        new_columns, texts = lineage.match_column(scope, [first, second], ["a-a-t-column"])
        assert new_columns[0]["table_name"] == "x" and new_columns[1] is second
        assert texts == []

    def test_anonymous_records_are_never_bound(self):
        records = analyse("SELECT MYFN(1) AS f FROM anonymous")
        assert records == [record(1, "MYFN", "f", "", "anonymous")]


class TestSubqueryAndCte:
    def test_subquery_traces_the_inner_column(self):
        tree = parse("SELECT x.a AS b FROM (SELECT t.c AS a FROM db1.t AS t) AS x")
        new_columns, texts = lineage.match_column(
            tree.args[FROM].this, [record(1, "a", "b", "x")], ["a-b-x-column"])
        assert new_columns == [bound(1, "c", "b", "x", "column", "db1", "t", "t")]
        assert texts == []

    def test_every_inner_output_of_that_name_gives_a_record(self):
        records = analyse(
            "SELECT x.a AS b FROM (SELECT t.c AS a, u.d AS a FROM t AS t, u AS u) AS x")
        assert records == [bound(1, "c", "b", "x", "column", "", "t", "t"),
                           bound(1, "d", "b", "x", "column", "", "u", "u")]

    def test_column_list_of_the_alias_is_not_consulted(self):
        records = analyse("SELECT x.p AS b FROM (SELECT t.c AS a FROM t) AS x(p)")
        assert records == [record(1, "p", "b", "x")]

    def test_cte_scope(self):
        records = analyse("WITH c AS (SELECT o.id AS oid FROM sales.orders AS o) "
                          "SELECT c.oid AS order_id FROM c")
        assert records == [bound(1, "id", "order_id", "c", "column", "sales", "orders", "o")]

    def test_inner_kind_and_open_inner_records_are_carried(self):
        records = analyse("SELECT x.a AS b FROM (SELECT 1 AS a) AS x")
        assert records == [bound(1, "1", "b", "x", "literal", None, None, None)]

    @pytest.mark.parametrize("inner", ["SELECT t.* FROM t", "SELECT t.b FROM t"])
    def test_record_without_inner_output_is_kept_open(self, inner):
        columns = [record(1, "a", "a", "x")]
        tree = parse(f"SELECT x.a FROM ({inner}) AS x")
        texts = ["a-a-x-column"]
        new_columns, texts = lineage.match_column(tree.args[FROM].this, columns, texts)
        assert new_columns == columns and new_columns[0] is columns[0]
        assert texts == []
        assert analyse(f"SELECT x.a FROM ({inner}) AS x") == columns

    def test_set_operation_inner_query_uses_its_first_select(self):
        records = analyse("SELECT x.a AS b FROM (SELECT a FROM t UNION SELECT a FROM u) AS x")
        assert records == [bound(1, "a", "b", "x", "column", "", "t", "")]


class TestInnerAnalysisIsShared:
    SQL = ("SELECT x.a, x.b AS bb, x.c, y.d FROM "
           "(SELECT t.a, t.b, t.c FROM db.t AS t) AS x "
           "JOIN (SELECT d FROM u) AS y ON x.a = y.d")

    @fast_path_only
    def test_once_per_scope_with_the_modules_own_functions(self, monkeypatch):
        calls = []
        real_find = exp.Expression.find

        def counting_find(self, *classes, **kwargs):
            if classes == (exp.Select,):
                calls.append(self)
            return real_find(self, *classes, **kwargs)

        monkeypatch.setattr(exp.Expression, "find", counting_find)
        analyse(self.SQL)
        # The outer query, then each derived table once.
        assert len(calls) == 3

    @fast_path_only
    def test_rebinding_between_analyses_is_seen_and_so_is_its_undoing(self, monkeypatch):
        searches = []
        real_find = exp.Expression.find
        monkeypatch.setattr(exp.Expression, "find", lambda self, *classes, **kwargs: (
            searches.append(classes), real_find(self, *classes, **kwargs))[1])
        real = lineage.test
        counts = []
        for test_now in (real, lambda source: real(source), real):
            searches.clear()
            monkeypatch.setattr(lineage, "test", test_now)
            assert lineage.test(parse(self.SQL)) == self.expected()
            counts.append(len(searches))
        # Shared: outer query and each derived table once; wrapped: once per
        # bound record as well; shared again once the name is restored.
        assert counts == [3, 5, 3]

    def test_once_per_bound_record_when_test_is_wrapped(self, spy):
        calls = spy("test")
        records = lineage.test(parse(self.SQL))
        assert len(calls) == 1 + 3 + 1  # outer, three records of x, one of y
        assert records == self.expected()

    def expected(self):
        return [
            bound(1, "a", "a", "x", "column", "db", "t", "t"),
            bound(2, "b", "bb", "x", "column", "db", "t", "t"),
            bound(3, "c", "c", "x", "column", "db", "t", "t"),
            bound(4, "d", "d", "y", "column", "", "u", ""),
        ]

    def test_both_ways_give_the_same_records(self, rebind):
        assert analyse(self.SQL) == self.expected()
        rebind("get_tables", lineage.get_tables.__call__)  # any rebinding turns sharing off
        assert analyse(self.SQL) == self.expected()


class TestFailures:
    def test_unsupported_scope_kind(self):
        scope = exp.Unnest(expressions=[exp.column("a")], alias=exp.TableAlias(this=exp.to_identifier("u")))
        texts = ["a-a-u-column"]
        with pytest.raises(NotImplementedError) as caught:
            lineage.match_column(scope, [record(1, "a", "a", "u")], texts)
        assert caught.value.args == ("暂不支持", scope)

    def test_unsupported_scope_kind_without_bound_records_passes(self):
        scope = exp.Unnest(expressions=[])
        columns = [record(1, "a", "a", "u")]
        assert lineage.match_column(scope, columns, []) == (columns, [])

    def test_texts_removed_before_a_failure_stay_removed(self):
        scope = exp.Unnest(expressions=[], alias=exp.TableAlias(this=exp.to_identifier("u")))
        first = bound(1, "a", "a", "u", "column", "", "t", "u")
        texts = ["b-b-u-column"]
        with pytest.raises(NotImplementedError):
            lineage.match_column(scope, [first, record(2, "b", "b", "u")], texts)
        assert texts == ["b-b-u-column"]

    def test_record_missing_keys_fails_the_text_join(self):
        with pytest.raises(TypeError, match="sequence item 1: expected str instance, NoneType found"):
            lineage.match_column(from_scope("SELECT a FROM t"), [{"column_name": "a"}], [])

    def test_scope_without_alias_attribute_fails_only_when_a_text_is_listed(self):
        columns = [record(1, "a", "a", "")]
        assert lineage.match_column(object(), columns, [])[0] == columns
        with pytest.raises(AttributeError):
            lineage.match_column(object(), columns, ["a-a--column"])

    def test_non_records(self):
        with pytest.raises(AttributeError):
            lineage.match_column(from_scope("SELECT a FROM t"), [1], [])
        with pytest.raises(TypeError):
            lineage.match_column(from_scope("SELECT a FROM t"), 5, [])
