"""The wheel as a user installs it: built from the checkout, installed into a
fresh virtual environment that does not see the checkout, and compared there
with the checkout's own command, module and API."""

import dataclasses
import json
import os
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest
from packaging.requirements import Requirement

from conftest import ROOT
from test_packaging import CLIENT, RECORDS_SCRIPT, SAMPLE_QUERIES, WRONG_CALLS, flat_outcome

import column_lineage

pytestmark = pytest.mark.slow

# Several statements: a CTE with a join, a derived table, literals, a
# function call, and one unsupported item.
SQL = """
WITH c AS (SELECT o.id AS k, o.amount FROM sales.orders AS o)
SELECT c.k, c.amount AS total, p.name FROM c JOIN crm.people AS p ON p.id = c.k;
SELECT x.a AS b, 'EUR' AS currency, NULL AS nothing FROM (SELECT t.c AS a FROM db1.t AS t) AS x;
SELECT MYFN(1) AS f, 1 + 1 AS two FROM w;
"""

API_SCRIPT = """
    import dataclasses, json, sys
    from column_lineage import analyse_sql
    print(json.dumps([dataclasses.asdict(s) for s in analyse_sql(sys.argv[1], file="q.sql")]))
"""

BASE_PYTHON = getattr(sys, "_base_executable", sys.executable)


def clean_env(bin_dir=None):
    """The environment without the checkout: no PYTHONPATH; the venv's bin
    first on PATH when given (the checkout's, for CMake from PyPI)."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONPATH"}
    if bin_dir:
        env["PATH"] = bin_dir + os.pathsep + env.get("PATH", "")
    return env


def run(command, cwd, env=None, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, cwd=cwd, timeout=600,
                          env=env or clean_env(), **kwargs)


def checked(result):
    assert result.returncode == 0, result.stdout + result.stderr
    return result


def pip_install(python, *requirements):
    """Installs into `python`'s venv with the checkout's pip, holding every
    dependency to the checkout's pinned release (so mostly from pip's cache).
    The pins are passed as constraint files of their own: requirements.txt
    includes requirements-run.txt with -r, which pip would install."""
    constraints = [option for name in ("requirements-run.txt", "requirements.txt")
                   for option in ("--constraint", pinned_only(name))]
    checked(run([sys.executable, "-m", "pip", "--python", python, "install", "--quiet",
                 *constraints, *requirements], cwd=ROOT))


def pinned_only(name):
    """A copy of a requirements file of the checkout without its -r lines."""
    import tempfile
    with open(os.path.join(ROOT, name), encoding="utf-8") as source:
        lines = [line for line in source if not line.startswith("-r ")]
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False, encoding="utf-8") as copy:
        copy.writelines(lines)
    return copy.name


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    env = clean_env(os.path.dirname(sys.executable))
    env["CMAKE_BUILD_PARALLEL_LEVEL"] = "2"
    # The CMake build directory is kept under build/ so that a rerun only
    # recompiles what changed; the wheel itself is new each time.
    checked(run([sys.executable, "-m", "pip", "wheel", ".", "--no-deps", "--no-build-isolation",
                 "--quiet", "--wheel-dir", str(out),
                 "--config-settings=build-dir=" + os.path.join(ROOT, "build", "wheel")],
                cwd=ROOT, env=env))
    (built,) = out.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def venv(wheel, tmp_path_factory):
    """A fresh venv holding the wheel without extras. The report test adds
    the report extra later, so it runs after the tests that need pandas absent."""
    home = tmp_path_factory.mktemp("venv")
    checked(run([BASE_PYTHON, "-m", "venv", "--without-pip", str(home)], cwd=home))
    python = str(home / "bin" / "python")
    pip_install(python, str(wheel))
    return home


@pytest.fixture(scope="module")
def work(tmp_path_factory):
    """A folder outside the checkout holding the SQL file."""
    folder = tmp_path_factory.mktemp("work")
    (folder / "q.sql").write_text(SQL, encoding="utf-8")
    return folder


def installed(venv, *args, cwd, stdin=None):
    """The venv's python; a -c script may be indented."""
    if args[0] == "-c":
        args = ("-c", textwrap.dedent(args[1]), *args[2:])
    return run([str(venv / "bin" / "python"), *args], cwd=cwd, input=stdin)


def in_checkout(*args, cwd):
    return run([sys.executable, "-m", "column_lineage", *args], cwd=cwd)


class TestWheel:
    def test_contents(self, wheel):
        names = set(zipfile.ZipFile(wheel).namelist())
        suffix = sysconfig.get_config_var("EXT_SUFFIX")
        assert wheel.name == f"column_lineage-{column_lineage.__version__}-cp313-cp313-" \
            f"{sysconfig.get_platform().replace('-', '_').replace('.', '_')}.whl"
        for name in [f"column_lineage/test{suffix}", f"column_lineage/lineage_report{suffix}",
                     "column_lineage/test.pyi", "column_lineage/py.typed",
                     "column_lineage/examples/warehouse.sql", "kelvo_func.py", "kelvo_var.py"]:
            assert name in names
        assert not [name for name in names if name.startswith("test") or "__pycache__" in name]

    def test_metadata_declares_only_the_light_dependencies_unconditionally(self, venv, work):
        result = checked(installed(venv, "-c", """
            import json, importlib.metadata as m
            print(json.dumps([m.version("column-lineage"), m.requires("column-lineage")]))
        """, cwd=work))
        version, requires = json.loads(result.stdout)
        assert version == column_lineage.__version__
        requirements = [Requirement(text) for text in requires]
        plain = {r.name: r.specifier for r in requirements if r.marker is None}
        assert sorted(plain) == ["graphviz", "sqlglot", "tqdm"]
        assert [v in plain["sqlglot"] for v in ("27.28.0", "27.29.0", "30.30.0", "31.0.0")] == \
            [False, True, True, False]
        extras = {r.name: str(r.marker) for r in requirements if r.marker is not None}
        assert extras == {"sqlglotc": 'extra == "sqlglotc"', "pandas": 'extra == "report"',
                          "openlineage-python": 'extra == "openlineage"',
                          "PyMySQL": 'extra == "mysql"'}

    def test_version(self, venv, work):
        result = checked(run([str(venv / "bin" / "lineage"), "--version"], cwd=work))
        assert result.stdout == checked(in_checkout("--version", cwd=work)).stdout
        assert result.stdout.startswith(f"lineage {column_lineage.__version__} (sqlglot ")

    def test_json_format_is_the_checkouts(self, venv, work):
        result = installed(venv, "-m", "column_lineage", "--format", "json", "q.sql", cwd=work)
        expected = in_checkout("--format", "json", "q.sql", cwd=work)
        assert result.returncode == expected.returncode == 0
        assert (result.stdout, result.stderr) == (expected.stdout, expected.stderr)
        assert len(result.stdout.splitlines()) == 8

    def test_module_in_the_package_and_the_standard_test(self, venv, work):
        result = checked(installed(venv, "-c", RECORDS_SCRIPT, cwd=work,
                                   stdin=json.dumps(SAMPLE_QUERIES)))
        loaded = json.loads(result.stdout)
        site = checked(installed(venv, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])",
                                 cwd=work)).stdout.strip()
        assert os.path.dirname(loaded["file"]) == os.path.join(site, "column_lineage")
        assert loaded["name"] == "column_lineage.test"
        assert loaded["standard"] == loaded["registered"] == \
            os.path.join(sysconfig.get_paths()["stdlib"], "test", "__init__.py")
        assert loaded["records"] == json.loads(json.dumps([flat_outcome(sql) for sql in SAMPLE_QUERIES]))

    def test_api_is_the_checkouts(self, venv, work):
        result = checked(installed(venv, "-c", API_SCRIPT, SQL, cwd=work))
        expected = [dataclasses.asdict(s) for s in column_lineage.analyse_sql(SQL, file="q.sql")]
        assert json.loads(result.stdout) == json.loads(json.dumps(expected))
        assert [len(statement["rows"]) for statement in expected] == [3, 3, 2]

    def test_mypy_uses_the_installed_marker_and_stubs(self, venv, work):
        (work / "client.py").write_text(textwrap.dedent(CLIENT), encoding="utf-8")
        (work / "wrong.py").write_text(textwrap.dedent(CLIENT + "    " + WRONG_CALLS[0][0]))
        command = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
                   "--python-executable", str(venv / "bin" / "python"),
                   "--cache-dir", str(work / "mypy_cache")]
        checked(run([*command, "client.py"], cwd=work))
        wrong = run([*command, "wrong.py"], cwd=work)
        assert wrong.returncode == 1 and 'Missing positional argument "sort"' in wrong.stdout

    def test_report_needs_the_report_extra(self, venv, work):
        result = run([str(venv / "bin" / "lineage"), "--format", "report", "q.sql"], cwd=work)
        assert (result.returncode, result.stdout) == (2, "")
        assert "pip install 'column-lineage[report]'" in result.stderr
        assert len(result.stderr.splitlines()) == 1

    def test_report_with_the_extra_is_the_checkouts(self, venv, wheel, work):
        pip_install(str(venv / "bin" / "python"), f"{wheel}[report]")
        for args in (["--format", "report", "q.sql"], ["--format", "report"]):  # and the example
            result = run([str(venv / "bin" / "lineage"), *args], cwd=work)
            expected = in_checkout(*args, cwd=work)
            assert (result.returncode, result.stdout, result.stderr) == \
                (expected.returncode, expected.stdout, expected.stderr)
            assert "来源表名" in result.stdout
