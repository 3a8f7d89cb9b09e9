"""Whole-corpus checks on real queries, bad input, deep nesting and leaks."""

import contextlib
import gc
import importlib.metadata
import io
import json
import os
import subprocess
import sys
import textwrap
import types

import pytest
from sqlglot import exp

from conftest import COMPILED, FROM, ROOT, lineage, parse, subprocess_env
from shared_corpus import corpus_entries

QUERIES = corpus_entries()


def outcome(tree):
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            return lineage.test(tree)
        except NotImplementedError as error:
            return ("not supported", error.args[0], error.args[1])


@pytest.fixture(scope="module")
def corpus_trees():
    if not QUERIES:
        pytest.skip("the shared corpus is not beside the checkout")
    return [(q["id"], parse(q["sql"].replace("`", ""))) for q in QUERIES]


class TestCorpus:
    def test_every_query_gives_records_or_not_supported_the_same_twice(self, corpus_trees):
        analysed = 0
        for query_id, tree in corpus_trees:
            first, second = outcome(tree), outcome(tree)
            assert first == second, query_id
            if isinstance(first, list):
                analysed += 1
                assert first and all(r["column_sort"] >= 1 for r in first), query_id
            else:
                assert first[1] == "暂不支持", query_id
        assert analysed > len(corpus_trees) // 4

    def test_sharing_the_inner_analysis_changes_no_result(self, corpus_trees, monkeypatch):
        shared = [outcome(tree) for _, tree in corpus_trees]
        real_test = lineage.test
        monkeypatch.setattr(lineage, "test", lambda source: real_test(source))
        per_record = [outcome(tree) for _, tree in corpus_trees]
        assert shared == per_record


def comparable(result):
    """An outcome as plain data, the node of a refusal by its repr."""
    return result if isinstance(result, list) else [result[0], result[1], repr(result[2])]


# Outcomes over the corpus with the module loaded while sqlglot's Expression
# is a stand-in: the module then knows no node as searching like the library,
# and every find/find_all is asked of the node itself.
LIBRARY_SEARCH_RUN = textwrap.dedent(f"""
    import json, sys
    sys.path[:0] = [{os.path.join(ROOT, 'tests')!r}]
    import sqlglot.expressions as expressions
    real = expressions.Expression
    expressions.Expression = type("StandIn", (), {{}})
    import test
    expressions.Expression = real
    from test_corpus_and_robustness import QUERIES, comparable, outcome, parse
    trees = [parse(q["sql"].replace("`", "")) for q in QUERIES]
    print(json.dumps([comparable(outcome(tree)) for tree in trees]))
""")


def through_interpreter_isinstance():
    """`exp` with the nine classes behind a metaclass of its own, so that every
    instance test of the module is the interpreter's isinstance()."""

    class Delegating(type):
        def __instancecheck__(cls, node):
            return isinstance(node, cls.real)

    names = ["Select", "Column", "Table", "Alias", "Subquery", "CTE", "Literal", "Null",
             "Anonymous"]
    return types.SimpleNamespace(
        **{name: Delegating(name, (), {"real": getattr(exp, name)}) for name in names})


class TestSearchOrder:
    """Searches and instance tests on sqlglot's own nodes run natively; the
    results must be those of sqlglot's find/find_all and of isinstance(), on
    pure-Python and on compiled node classes alike."""

    def test_compiled_nodes_are_under_test_where_sqlglotc_is_installed(self):
        try:
            compiled = bool(importlib.metadata.version("sqlglotc"))
        except importlib.metadata.PackageNotFoundError:
            compiled = False
        assert hasattr(exp.Column(), "__dict__") is not compiled

    def test_native_and_library_searches_agree_on_the_corpus(self, corpus_trees):
        native = [comparable(outcome(tree)) for _, tree in corpus_trees]
        result = subprocess.run([sys.executable, "-c", LIBRARY_SEARCH_RUN], capture_output=True,
                                text=True, env=subprocess_env(), timeout=300)
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout) == native

    def test_plain_instance_tests_agree_with_isinstance_on_the_corpus(self, corpus_trees, rebind):
        plain = [outcome(tree) for _, tree in corpus_trees]
        rebind("exp", through_interpreter_isinstance())
        assert [outcome(tree) for _, tree in corpus_trees] == plain

    @pytest.mark.skipif(COMPILED, reason="compiled sqlglot's methods cannot be replaced")
    def test_replacing_the_librarys_method_is_seen(self, corpus_trees, monkeypatch):
        native = [outcome(tree) for _, tree in corpus_trees]
        library_find_all = exp.Expression.find_all
        calls = []

        def find_all(self, *types, **options):
            calls.append(types)
            return library_find_all(self, *types, **options)

        monkeypatch.setattr(exp.Expression, "find_all", find_all)
        assert [outcome(tree) for _, tree in corpus_trees] == native
        assert calls  # the library's own method was used this time

    @pytest.mark.skipif(COMPILED, reason="compiled node classes cannot be subclassed")
    def test_a_node_class_with_its_own_search_is_asked(self):
        class Picky(exp.Column):
            def find_all(self, *types, bfs=True):
                if exp.Column in types:
                    yield exp.column("other", table="z")

        tree = parse("SELECT t.a AS x FROM t AS t")
        tree.set("expressions", [exp.alias_(Picky(this=exp.to_identifier("a")), "x")])
        records = lineage.test(tree)
        # The alias over Picky searches natively down to Picky, whose own
        # find_all is not consulted there, so it still names column a.
        assert [r["column_name"] for r in records] == ["a"]
        item = Picky(this=exp.to_identifier("a"), table=exp.to_identifier("t"))
        columns, texts = lineage.get_columns([item])
        assert [(c["column_name"], c["column_table"]) for c in columns] == [("other", "z")]


def nested(depth):
    """SELECT s.c FROM (SELECT s.c FROM (... FROM t) AS s) AS s, built directly."""
    query = exp.Select(expressions=[exp.column("c", table="t")]).from_(
        exp.table_("t", alias="t"), copy=False)
    for _ in range(depth):
        subquery = exp.Subquery(this=query, alias=exp.TableAlias(this=exp.to_identifier("s")))
        query = exp.Select(expressions=[exp.column("c", table="s")],
                           **{FROM: exp.From(this=subquery)})
    return query


class TestDeepNesting:
    def test_moderate_nesting_is_traced_to_the_base_table(self):
        assert lineage.test(nested(100)) == [{
            "column_sort": 1, "column_name": "c", "column_alias": "c", "column_table": "s",
            "column_type": "column", "table_db": "", "table_name": "t", "table_alias": "t"}]

    def test_thousands_of_levels_raise_recursion_error(self):
        with pytest.raises(RecursionError):
            lineage.test(nested(5000))

    def test_the_limit_follows_the_interpreters(self):
        tree = nested(300)
        old = sys.getrecursionlimit()
        try:
            sys.setrecursionlimit(200)
            with pytest.raises(RecursionError):
                lineage.test(tree)
            sys.setrecursionlimit(1000)
            assert lineage.test(tree)[0]["column_name"] == "c"
        finally:
            sys.setrecursionlimit(old)


class TestBadInput:
    @pytest.mark.parametrize("call, error", [
        pytest.param(lambda: lineage.test(None), AttributeError, id="test-None"),
        pytest.param(lambda: lineage.test(42), AttributeError, id="test-int"),
        pytest.param(lambda: lineage.get_columns(5), TypeError, id="get_columns-int"),
        pytest.param(lambda: lineage.get_columns([object()]), AttributeError,
                     id="get_columns-non-node-item"),
        pytest.param(lambda: lineage.find_column(5, [], [], [], "column", 0), TypeError,
                     id="find_column-int-find-list"),
        pytest.param(lambda: lineage.find_column([exp.column("a", table="t")], None, [], [],
                                                 "column", 0), AttributeError,
                     id="find_column-None-columns"),
        pytest.param(lambda: lineage.find_column([exp.column("a", table="t")], [], 3, [],
                                                 "column", 0), TypeError,
                     id="find_column-int-alias"),
        pytest.param(lambda: lineage.get_column_parent(None, ""), AttributeError,
                     id="get_column_parent-None"),
        pytest.param(lambda: lineage.get_tables(None, [], []), AttributeError,
                     id="get_tables-None"),
        pytest.param(lambda: lineage.match_column(None, [{"table_name": None}], []), TypeError,
                     id="match_column-None-scope"),
        pytest.param(lambda: lineage.match_column(None, None, []), TypeError,
                     id="match_column-None-columns"),
    ])
    def test_raises_instead_of_crashing(self, call, error):
        with pytest.raises(error):
            call()

    def test_args_holding_unexpected_values(self):
        tree = parse("SELECT t.a FROM t AS t")
        tree.args[FROM] = "not a node"
        with pytest.raises(AttributeError):
            lineage.test(tree)
        tree = parse("SELECT a FROM t")
        tree.args[FROM] = exp.From(this=42)
        with pytest.raises(AttributeError):
            lineage.test(tree)

    @pytest.mark.skipif(COMPILED, reason="compiled nodes take only a dict as args")
    def test_args_that_are_not_a_mapping(self):
        tree = parse("SELECT t.a FROM t AS t")
        tree.args = None
        with pytest.raises(AttributeError):
            lineage.test(tree)


class TestLeaks:
    def test_real_queries_keep_allocations_flat(self, corpus_trees):
        trees = [tree for _, tree in corpus_trees]

        def run():
            for tree in trees:
                outcome(tree)

        run()
        gc.collect()
        before = sys.getallocatedblocks()
        for _ in range(3):
            run()
        gc.collect()
        after = sys.getallocatedblocks()
        assert after - before < 500, (before, after)


def test_a_node_posing_as_a_table_is_one(module):
    """isinstance() honours __class__, and so does the analysis."""

    class Posing:
        __class__ = exp.Table
        alias = "t"
        db = "db"
        name = "posed"

    records, texts = module.get_columns(parse("SELECT t.a FROM t").expressions)
    new_columns, _ = module.match_column(Posing(), records, texts)
    assert new_columns[0]["table_name"] == "posed"
