"""Shared set-up: the freshly built module comes first on the path, ahead of
the standard library's own package named `test`.

LINEAGE_BUILD names another build directory to test (the sanitizer build,
say); LINEAGE_CORPUS another directory of corpus queries."""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("LINEAGE_BUILD") or os.path.join(ROOT, "build"))
# The shared corpus sits beside the checkout, or beside the folder of work trees.
CORPUS = os.environ.get("LINEAGE_CORPUS") or next(
    (path for path in (os.path.join(os.path.dirname(ROOT), "shared", "corpus"),
                       os.path.join(os.path.dirname(os.path.dirname(ROOT)), "shared", "corpus"))
     if os.path.isdir(path)), "")
sys.path.insert(0, BUILD)

import test as lineage  # noqa: E402  (the native module, not the stdlib package)
from sqlglot import exp, parse_one  # noqa: E402

assert lineage.__file__.startswith(BUILD), lineage.__file__

# The argument keys of a select's FROM and WITH clauses in the running sqlglot:
# "from"/"with" up to 27.x, "from_"/"with_" from 28 on.
FROM, WITH = ("from_", "with_") if "from_" in exp.Select.arg_types else ("from", "with")

# Compiled sqlglot (sqlglotc): node classes without an instance __dict__, whose
# methods are native and cannot be replaced or subclassed from Python.
COMPILED = not hasattr(exp.Column(), "__dict__")


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


@pytest.fixture
def module():
    return lineage


@pytest.fixture
def rebind(monkeypatch):
    """Rebinds a name in the module namespace for one test."""

    def _rebind(name, value):
        monkeypatch.setattr(lineage, name, value)

    return _rebind
