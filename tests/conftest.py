"""Shared set-up: the freshly built module comes first on the path, ahead of
the standard library's own package named `test`.

LINEAGE_BUILD names another build directory to test (the sanitizer build,
say); LINEAGE_CORPUS another directory of corpus queries."""

import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.abspath(os.environ.get("LINEAGE_BUILD") or os.path.join(ROOT, "build"))
CORPUS = os.environ.get("LINEAGE_CORPUS") or os.path.join(os.path.dirname(ROOT), "shared", "corpus")
sys.path.insert(0, BUILD)

import test as lineage  # noqa: E402  (the native module, not the stdlib package)
from sqlglot import parse_one  # noqa: E402

assert lineage.__file__.startswith(BUILD), lineage.__file__


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
