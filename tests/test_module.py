"""The module shell: load sequence, namespace, function objects, argument
binding, traceback entries and the refusals of the load sequence."""

import contextlib
import ctypes
import gc
import importlib
import os
import subprocess
import sys
import textwrap
import traceback
import types

import json
import pytest
import sqlglot
from sqlglot import exp

from conftest import BUILD, analyse, lineage, parse, subprocess_env

FUNCTIONS = {
    "get_column_parent": ("column", "column_table"),
    "find_column": ("find_list", "columns", "alias", "texts", "column_type", "sort"),
    "get_columns": ("expressions",),
    "match_column": ("table_args", "columns", "texts"),
    "get_tables": ("expression", "columns", "texts"),
    "test": ("source",),
}


def run_python(code, **env):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, env=subprocess_env(**env), timeout=120,
    )


class TestLoadSequence:
    def test_namespace_is_bound_in_load_order(self):
        names = list(vars(lineage))
        start = names.index("__builtins__")
        assert names[start:] == [
            "__builtins__", "json", "KelvoFunc", "KelvoVar", "parse_one", "exp",
            "get_column_parent", "find_column", "get_columns", "match_column",
            "get_tables", "test", "__test__",
        ]

    def test_imported_names_are_the_real_objects(self):
        import builtins
        import kelvo_func
        import kelvo_var

        assert lineage.__builtins__ is builtins
        assert lineage.json is json
        assert lineage.KelvoFunc is kelvo_func.KelvoFunc
        assert lineage.KelvoVar is kelvo_var.KelvoVar
        assert lineage.parse_one is sqlglot.parse_one
        assert lineage.exp is exp

    def test_spec_attributes_and_registry(self):
        assert lineage.__name__ == "test"
        assert lineage.__file__.startswith(BUILD)
        assert lineage.__loader__ is lineage.__spec__.loader
        assert not hasattr(lineage, "__path__")
        assert sys.modules["test"] is lineage

    def test_ordinary_import_binds_no_script_names_and_an_empty_registry(self):
        assert lineage.__test__ == {}
        for name in ("path", "result", "pd", "i"):
            assert not hasattr(lineage, name)

    def test_reimport_returns_the_same_module_without_reloading(self):
        marker = object()
        lineage.__test__["marker"] = marker
        try:
            assert importlib.import_module("test") is lineage
            spec = importlib.util.find_spec("test")
            again = importlib.util.module_from_spec(spec)
            assert again is lineage
            spec.loader.exec_module(again)
            assert lineage.__test__["marker"] is marker
        finally:
            lineage.__test__.clear()

    def test_execution_with_another_module_object_is_refused(self):
        # Drive the execute slot directly with a foreign module object.
        library = ctypes.PyDLL(lineage.__file__)
        library.PyInit_test.restype = ctypes.c_void_p
        definition = library.PyInit_test()
        exec_def = ctypes.pythonapi.PyModule_ExecDef
        exec_def.argtypes = [ctypes.py_object, ctypes.c_void_p]
        exec_def.restype = ctypes.c_int
        with pytest.raises(RuntimeError) as caught:
            exec_def(types.ModuleType("other"), definition)
        assert str(caught.value) == (
            "Module 'test' has already been imported. Re-initialisation is not supported."
        )
        entries = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
        assert "init test" not in entries

    def test_missing_toolkit_module_fails_the_import_with_the_interpreters_error(self, tmp_path):
        # A kelvo_func that cannot be found: shadow the toolkit's path entry.
        result = run_python(
            """
            import sys
            sys.path[:] = [p for p in sys.path if not p.endswith("toolkit")]
            try:
                import test
            except ImportError as error:
                import traceback
                names = [f.name for f in traceback.extract_tb(error.__traceback__)]
                print(type(error).__name__, "init test" in names, "test" in sys.modules)
                print(error)
            """
        )
        assert result.stdout.splitlines() == [
            "ModuleNotFoundError True False", "No module named 'kelvo_func'"], result.stderr

    def test_failed_load_can_be_retried(self):
        result = run_python(
            """
            import sys
            sys.modules["kelvo_var"] = None
            try:
                import test
            except ImportError:
                pass
            del sys.modules["kelvo_var"]
            import test
            print(sorted(test.__test__.items()), test.test.__module__)
            """
        )
        assert result.stdout.split() == ["[]", "test"], result.stderr

    def test_missing_name_in_toolkit_module(self, tmp_path):
        (tmp_path / "kelvo_var.py").write_text("OTHER = 1\n")
        result = run_python(
            f"""
            import sys
            sys.path.insert(1, {str(tmp_path)!r})
            try:
                import test
            except ImportError as error:
                print(error)
            """
        )
        assert result.stdout.strip() == "cannot import name KelvoVar", result.stderr

    def test_second_interpreter_is_refused(self):
        result = run_python(
            """
            import _interpreters
            import test
            interp = _interpreters.create("legacy")
            failure = _interpreters.exec(interp, "import test")
            print(failure.type.__name__)
            print(failure.msg)
            """
        )
        lines = result.stdout.splitlines()
        assert lines == [
            "ImportError",
            "Interpreter change detected - this module can only be loaded into one interpreter per process.",
        ], result.stderr

    def test_no_version_warning_on_the_matching_interpreter(self):
        result = run_python("import test", PYTHONWARNINGS="error::RuntimeWarning")
        assert result.returncode == 0, result.stderr


class TestFunctionObjects:
    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_attributes(self, name):
        function = getattr(lineage, name)
        assert function.__name__ == name
        assert function.__qualname__ == name
        assert function.__module__ == "test"
        assert function.__doc__ == f"{name}({', '.join(FUNCTIONS[name])})"

    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_keywords_bind_like_positions(self, name):
        # Every parameter by keyword reaches the body: it fails on the
        # sentinel values exactly as the positional call does.
        params = FUNCTIONS[name]
        args = [object() for _ in params]
        errors = []
        for call in (lambda: getattr(lineage, name)(*args),
                     lambda: getattr(lineage, name)(**dict(zip(params, args)))):
            with pytest.raises(Exception) as caught:
                call()
            errors.append((type(caught.value), str(caught.value)))
        assert errors[0] == errors[1]
        assert "argument" not in errors[0][1]


BINDING_ERRORS = [
    pytest.param("find_column", (1, 2, 3, 4, 5), {},
                 "find_column() takes exactly 6 positional arguments (5 given)",
                 id="too-few-positional"),
    pytest.param("test", (), {}, "test() takes exactly 1 positional argument (0 given)",
                 id="none-given-singular"),
    pytest.param("test", (1, 2), {}, "test() takes exactly 1 positional argument (2 given)",
                 id="too-many-positional"),
    pytest.param("get_columns", (), {"expression": 1},
                 "get_columns() got an unexpected keyword argument 'expression'",
                 id="unknown-keyword"),
    pytest.param("get_tables", (1,), {"expression": 2},
                 "get_tables() got multiple values for keyword argument 'expression'",
                 id="position-and-keyword"),
    pytest.param("get_column_parent", (), {"column": 1},
                 "get_column_parent() takes exactly 2 positional arguments (1 given)",
                 id="keyword-but-one-missing"),
    pytest.param("match_column", (1,), {"texts": 3},
                 "match_column() takes exactly 3 positional arguments (1 given)",
                 id="middle-parameter-missing"),
]


class TestBinding:
    @pytest.mark.parametrize("name, args, kwargs, message", BINDING_ERRORS)
    def test_binding_errors(self, name, args, kwargs, message):
        with pytest.raises(TypeError) as caught:
            getattr(lineage, name)(*args, **kwargs)
        assert str(caught.value) == message
        entries = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
        assert entries[-1] == f"test.{name}"

    def test_get_columns_by_keyword(self):
        items = parse("SELECT 1 AS a").expressions
        assert lineage.get_columns(expressions=items) == lineage.get_columns(items)


class TestTracebacks:
    @pytest.mark.parametrize("name", FUNCTIONS)
    def test_an_escaping_exception_names_the_function(self, name):
        args = [None] * len(FUNCTIONS[name])
        with pytest.raises(Exception) as caught:
            getattr(lineage, name)(*args)
        frame = traceback.extract_tb(caught.value.__traceback__)[-1]
        assert (frame.name, frame.filename) == (f"test.{name}", "test.py")

    def test_nested_failure_records_the_whole_chain(self, capsys):
        with pytest.raises(NotImplementedError) as caught:
            analyse("SELECT x.a FROM (SELECT 1 + 1 AS a FROM t) AS x")
        names = [f.name for f in traceback.extract_tb(caught.value.__traceback__)]
        chain = [n for n in names if n.startswith("test.")]
        assert chain == ["test.test", "test.get_tables", "test.match_column",
                         "test.test", "test.get_columns"]


class TestWiring:
    """`test` reaches get_columns and get_tables by name at call time."""

    def test_calls_go_through_the_namespace(self, rebind):
        tree = parse("SELECT a FROM t")
        calls = []
        columns, texts = [], []

        def fake_get_columns(expressions):
            calls.append(("get_columns", expressions))
            return columns, texts

        def fake_get_tables(expression, cols, txts):
            calls.append(("get_tables", expression, cols, txts))
            return "result"

        rebind("get_columns", fake_get_columns)
        rebind("get_tables", fake_get_tables)
        assert lineage.test(tree) == "result"
        assert calls[0] == ("get_columns", tree.expressions)
        assert calls[0][1] is tree.expressions
        assert calls[1][1] is tree and calls[1][2] is columns and calls[1][3] is texts

    @pytest.mark.parametrize("returned, message", [
        pytest.param((1,), "need more than 1 value to unpack", id="one"),
        pytest.param((), "need more than 0 values to unpack", id="none"),
        pytest.param((1, 2, 3), "too many values to unpack (expected 2)", id="three"),
        pytest.param(iter([1, 2, 3]), "too many values to unpack (expected 2)",
                     id="iterator-of-three"),
    ])
    def test_get_columns_must_return_two_values(self, rebind, returned, message):
        rebind("get_columns", lambda expressions: returned)
        rebind("get_tables", lambda *args: pytest.fail("not reached"))
        with pytest.raises(ValueError) as caught:
            lineage.test(parse("SELECT a FROM t"))
        assert str(caught.value) == message

    def test_tree_without_select(self):
        with pytest.raises(AttributeError):
            lineage.test(parse("UPDATE t SET a = 1"))

    def test_missing_name_is_a_name_error(self, monkeypatch):
        monkeypatch.delattr(lineage, "get_tables")
        with pytest.raises(NameError) as caught:
            lineage.test(parse("SELECT a FROM t"))
        assert str(caught.value) == "name 'get_tables' is not defined"

    def test_builtins_are_the_fallback(self, monkeypatch):
        import builtins
        monkeypatch.delattr(lineage, "get_tables")
        monkeypatch.setattr(builtins, "get_tables", lambda e, c, t: ("from builtins", c), raising=False)
        assert lineage.test(parse("SELECT t.a FROM t"))[0] == "from builtins"


class TestLeaks:
    def test_repeated_analysis_keeps_allocations_flat(self):
        tree = parse(
            "WITH c AS (SELECT t.a AS a, t.b AS b FROM db.t AS t) "
            "SELECT c.a AS x, c.b, 1 AS one, NULL AS n, MYFN('z') AS f FROM c"
        )
        # Fails deep inside: the error paths and traceback entries count too.
        failing = parse("SELECT x.a FROM (SELECT 1 + 1 AS a FROM t) AS x")

        def run(times):
            for _ in range(times):
                lineage.test(tree)
                with pytest.raises(NotImplementedError):
                    lineage.test(failing)
                with pytest.raises(TypeError):
                    lineage.find_column(1, 2)

        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            run(200)
            gc.collect()
            before = sys.getallocatedblocks()
            run(2000)
            gc.collect()
            after = sys.getallocatedblocks()
        assert after - before < 100, (before, after)
