"""The package as users import it: the native module under the package's name
(never shadowing the standard library's `test`), the type information, and
the optional dependencies of the formats."""

import ast
import contextlib
import dataclasses
import io
import json
import os
import subprocess
import sys
import textwrap
import typing

import pytest

from conftest import ROOT, lineage, parse
from test_corpus_and_robustness import QUERIES
from test_module import FUNCTIONS

from column_lineage import rows, shapes

STUB = os.path.join(ROOT, "src", "column_lineage", "test.pyi")

# Every kind of select item and table scope, then the shared corpus if present.
SAMPLE_QUERIES = [
    "SELECT t.a AS x, 1 AS one, NULL AS n, MYFN(2) AS f FROM db1.orders AS t",
    "SELECT a, b FROM orders",
    "SELECT x.a AS b FROM (SELECT t.c AS a FROM db1.t AS t) AS x",
    "WITH c AS (SELECT o.id AS k FROM s.o AS o) SELECT c.k FROM c JOIN s.p AS p ON p.k = c.k",
    "SELECT (SELECT MAX(u.v) AS m FROM u) AS top FROM w",
    "SELECT 1 + 1 AS x FROM t",
] + [query["sql"].replace("`", "") for query in QUERIES]


def run_checkout_python(code, *args, stdin=None):
    """A child interpreter of the checkout's venv with nothing added to its
    path: column_lineage comes from the venv's .pth, the module from build/."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code), *args], capture_output=True,
                          text=True, env=env, cwd=ROOT, timeout=120, input=stdin)


# Prints, as JSON, what the package's module gives for each query of its
# standard input (a JSON list) and which `test` the standard library import then finds.
RECORDS_SCRIPT = """
    import contextlib, io, json, sys
    from sqlglot import parse_one
    from column_lineage import test

    def outcome(sql):
        with contextlib.redirect_stdout(io.StringIO()):
            try:
                return test.test(parse_one(sql, dialect="mysql"))
            except NotImplementedError as error:
                return ["not supported", error.args[0], error.args[1].sql()]

    records = [outcome(sql) for sql in json.load(sys.stdin)]
    import test as standard
    print(json.dumps({"name": test.__name__, "file": test.__file__, "records": records,
                      "standard": standard.__file__, "registered": sys.modules["test"].__file__}))
"""


def flat_outcome(sql):
    try:
        return lineage.test(parse(sql))
    except NotImplementedError as error:
        return ["not supported", error.args[0], error.args[1].sql()]


def stub_signatures():
    tree = ast.parse(open(STUB, encoding="utf-8").read())
    return {node.name: node.args for node in tree.body if isinstance(node, ast.FunctionDef)}


class TestModuleInThePackage:
    def test_same_records_as_the_flat_module_and_the_standard_test_stays(self):
        result = run_checkout_python(RECORDS_SCRIPT, stdin=json.dumps(SAMPLE_QUERIES))
        assert result.returncode == 0, result.stderr
        loaded = json.loads(result.stdout)
        assert loaded["name"] == "column_lineage.test"
        assert loaded["file"].startswith(os.path.join(ROOT, "build"))
        assert loaded["standard"] == os.path.join(os.path.dirname(os.__file__), "test", "__init__.py")
        assert loaded["registered"] == loaded["standard"]
        with contextlib.redirect_stdout(io.StringIO()):
            expected = [flat_outcome(sql) for sql in SAMPLE_QUERIES]
        assert loaded["records"] == json.loads(json.dumps(expected))

    def test_the_flat_module_imported_first_is_shared_and_stays_registered(self):
        result = run_checkout_python(f"""
            import sys
            sys.path.insert(0, {os.path.join(ROOT, "build")!r})
            import test
            from column_lineage import test as packaged
            assert packaged is test and sys.modules["test"] is test, sys.modules["test"]
            assert test.__name__ == test.__spec__.name == "test"
        """)
        assert result.returncode == 0, result.stderr


class TestStubs:
    def test_the_stub_covers_exactly_the_published_functions(self):
        assert set(stub_signatures()) == set(FUNCTIONS)

    @pytest.mark.parametrize("name", sorted(FUNCTIONS))
    def test_parameters_are_the_modules_own(self, name):
        arguments = stub_signatures()[name]
        assert not (arguments.posonlyargs or arguments.kwonlyargs or arguments.defaults)
        names = tuple(argument.arg for argument in arguments.args)
        assert names == FUNCTIONS[name]
        assert getattr(lineage, name).__doc__ == f"{name}({', '.join(names)})"

    def test_record_keys_are_the_module_keys_in_order(self):
        assert tuple(typing.get_type_hints(shapes.LineageRecord)) == rows.MODULE_KEYS
        assert not shapes.LineageRecord.__required_keys__

    def test_row_dict_matches_the_row_fields(self):
        fields = {field.name: field.type for field in dataclasses.fields(rows.Row)}
        row_hints = typing.get_type_hints(rows.Row)
        assert tuple(typing.get_type_hints(shapes.RowDict)) == rows.ROW_KEYS == tuple(fields)
        assert typing.get_type_hints(shapes.RowDict) == row_hints


# A client of the API and of the module; mypy --strict must accept it.
CLIENT = """
    from sqlglot import exp, parse_one

    from column_lineage import LineageRecord, RowDict, Statement, analyse_sql, test
    from column_lineage.shapes import SqlNode

    tree = parse_one("SELECT t.a AS x FROM db1.orders AS t", dialect="mysql")
    records: list[LineageRecord] = test.test(source=tree)
    kind = records[0].get("column_type")
    select = tree.find(exp.Select)
    assert select is not None
    columns, texts = test.get_columns(select.expressions)
    columns, alias, texts, sort = test.find_column([], columns, [], texts, "column", 0)
    old_alias, table = test.get_column_parent(select.expressions[0], "")
    found: SqlNode | None = table
    bound: list[LineageRecord] = test.get_tables(select, columns, texts)
    matched, texts = test.match_column(table_args=select, columns=columns, texts=texts)
    statements: list[Statement] = analyse_sql("SELECT 1 AS one", dialect="mysql")
    row: RowDict = statements[0].rows[0].as_dict()
    name: str | None = row["column_name"]
    resolved: bool = row["resolved"]
"""

# Wrong calls, each with the error code mypy must give on the client's last line.
WRONG_CALLS = [
    ("test.find_column([], [], [], [], 'column')", "call-arg"),
    ("test.test(tree, tree)", "call-arg"),
    ("test.get_tables(select, columns, texts=3)", "arg-type"),
    ("analyse_sql(b'SELECT 1')", "arg-type"),
    ("records[0]['colum_name']", "typeddict-item"),
    ("count: int = row['note']", "assignment"),
    ("sort_text: str = test.find_column([], [], [], [], 'column', 0)[3]", "assignment"),
]


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy_cache")


def mypy(tmp_path, cache, source):
    client = tmp_path / "client.py"
    client.write_text(textwrap.dedent(source), encoding="utf-8")
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(cache), str(client)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)


class TestTypeCheck:
    def test_a_correct_client_passes(self, tmp_path, mypy_cache):
        result = mypy(tmp_path, mypy_cache, CLIENT)
        assert result.returncode == 0, result.stdout + result.stderr

    @pytest.mark.parametrize("line, code", WRONG_CALLS)
    def test_a_wrong_call_is_flagged(self, tmp_path, mypy_cache, line, code):
        result = mypy(tmp_path, mypy_cache, CLIENT + "    " + line + "\n")
        last = len(textwrap.dedent(CLIENT).splitlines()) + 1
        assert result.returncode == 1
        assert f"client.py:{last}: error:" in result.stdout and f"[{code}]" in result.stdout, \
            result.stdout


class TestOptionalDependencies:
    def test_json_and_the_api_never_import_pandas(self, tmp_path):
        (tmp_path / "q.sql").write_text("SELECT t.a AS x FROM db1.orders AS t")
        result = run_checkout_python("""
            import sys
            from column_lineage import analyse_sql
            from column_lineage.cli import run
            status = run(["--format", "json", sys.argv[1]])
            analyse_sql("SELECT 1 AS one")
            assert "pandas" not in sys.modules
            sys.exit(status)
        """, str(tmp_path / "q.sql"))
        assert result.returncode == 0, result.stderr
        assert json.loads(result.stdout)["table_name"] == "orders"

    def test_report_without_pandas_is_one_line_and_status_2(self, tmp_path):
        (tmp_path / "q.sql").write_text("SELECT t.a AS x FROM db1.orders AS t")
        result = run_checkout_python("""
            import sys
            sys.modules["pandas"] = None  # as if it were not installed
            from column_lineage.cli import run
            sys.exit(run(sys.argv[1:]))
        """, "--format", "report", str(tmp_path / "q.sql"))
        assert (result.returncode, result.stdout) == (2, "")
        assert result.stderr == ("lineage: the report format needs pandas, which is not installed: "
                                 "pip install 'column-lineage[report]' (or use --format json)\n")
