"""Shared set-up: the freshly built module comes first on the path, ahead of
the standard library's own package named `test`; record builders and the
`rebind` and `spy` fixtures shared by the module's tests.

LINEAGE_BUILD names another build directory to test (the sanitizer build,
say); LINEAGE_CORPUS another directory of corpus queries (bench/shared_corpus.py).
LINEAGE_PLAIN=1 loads the module with its speed-ups off, so that the same
tests check the plain path."""

import os
import signal
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("LINEAGE_BUILD") or os.path.join(ROOT, "build"))
sys.path.insert(0, BUILD)
sys.path.append(os.path.join(ROOT, "bench"))  # the corpus loader, shared with the benchmarks

# The module's speed-ups are off when its exported flag is set before the
# import, which then finds the library already loaded.
PLAIN = os.environ.get("LINEAGE_PLAIN") == "1"
if PLAIN:
    import ctypes
    import importlib.machinery

    _library = next(os.path.join(BUILD, "test" + suffix)
                    for suffix in importlib.machinery.EXTENSION_SUFFIXES
                    if os.path.exists(os.path.join(BUILD, "test" + suffix)))
    _plain_flag = ctypes.c_int.in_dll(ctypes.CDLL(_library), "test_module_plain")
    _plain_flag.value = 1

import test as lineage  # noqa: E402  (the native module, not the stdlib package)

if PLAIN:
    assert lineage.__file__ == _library and _plain_flag.value == 1, lineage.__file__

# A test of what a speed-up does beyond giving the same answer (work shared,
# a walk it makes): the plain path has none of that.
fast_path_only = pytest.mark.skipif(PLAIN, reason="checks a speed-up, which the plain path lacks")
from sqlglot import exp, parse_one  # noqa: E402

from shared_corpus import corpus_entries  # noqa: E402  (the corpus loader)

assert lineage.__file__.startswith(BUILD), lineage.__file__

# The argument keys of a select's FROM and WITH clauses in the running sqlglot:
# "from"/"with" up to 27.x, "from_"/"with_" from 28 on.
FROM, WITH = ("from_", "with_") if "from_" in exp.Select.arg_types else ("from", "with")

# Compiled sqlglot (sqlglotc): node classes without an instance __dict__, whose
# methods are native and cannot be replaced or subclassed from Python.
COMPILED = not hasattr(exp.Column(), "__dict__")


# The keys of a lineage record, in the order the module writes them: the
# first five make an open record, all eight a bound one.
RECORD_KEYS = ["column_sort", "column_name", "column_alias", "column_table", "column_type",
               "table_db", "table_name", "table_alias"]


def record(sort, name, alias, table, kind="column", **table_side):
    """An open record, with any of the table-side keys given by name."""
    return {**dict(zip(RECORD_KEYS, (sort, name, alias, table, kind))), **table_side}


def bound(sort, name, alias, table, kind, db, table_name, table_alias):
    return record(sort, name, alias, table, kind, table_db=db, table_name=table_name,
                  table_alias=table_alias)


def rows(*values):
    """Records from tuples of values in key order (five or eight each)."""
    return [dict(zip(RECORD_KEYS, row)) for row in values]


def parse(sql):
    return parse_one(sql, dialect="mysql")


def analyse(sql):
    return lineage.test(parse(sql))


def subprocess_env(**extra):
    """Environment for a child interpreter that imports the built module."""
    env = dict(os.environ)
    env["PYTHONPATH"] = BUILD
    env.update(extra)
    return env


def answer_ctrl_c():
    """For a child the test interrupts: Ctrl-C back to its default even where
    the suite runs with it ignored (a shell's background job), so that the
    child's interpreter turns it into KeyboardInterrupt."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.fixture
def module():
    return lineage


@pytest.fixture
def rebind(monkeypatch):
    """Rebinds a name in the module namespace for one test."""

    def _rebind(name, value):
        monkeypatch.setattr(lineage, name, value)

    return _rebind


@pytest.fixture
def spy(rebind):
    """spy(name, note=...) rebinds the module function `name` to a wrapper
    that appends note(*args) (by default the arguments) to the returned list
    and then runs the real function."""

    def _spy(name, note=lambda *args: args):
        real = getattr(lineage, name)
        calls = []

        def wrapper(*args):
            calls.append(note(*args))
            return real(*args)

        rebind(name, wrapper)
        return calls

    return _spy


def run_on_terminal(args, stream, **env):
    """Runs the lineage command with its standard output or standard error
    (`stream`) on a pseudo-terminal and the other stream piped; returns the
    finished process and what the terminal showed."""
    import pty
    import subprocess

    controller, terminal = pty.openpty()
    streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE, stream: terminal}
    try:
        result = subprocess.run([sys.executable, "-m", "column_lineage", *args], text=True,
                                timeout=120, env=subprocess_env(**env), **streams)
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    return result, shown.decode("utf-8", "replace").replace("\r\n", "\n")
