"""What the module keeps between calls - the functions and classes it looks
up by name, the searches and scope attributes of one analysis - never hides
a change: each case warms the module up, changes something, and expects the
change to be seen by the very next call."""

import sys
import traceback
import types

import pytest
from sqlglot import exp

from conftest import COMPILED, FROM, analyse, lineage, parse

SQL = "SELECT t.a AS x, t.b AS y FROM db1.orders AS t"
EXPECTED = analyse(SQL)


def column_a(tree):
    return next(node for node in tree.find_all(exp.Column) if node.name == "a")


class Never:
    """A class no node is an instance of."""


def module_copy(**replaced):
    """A plain module holding sqlglot's classes, some replaced."""
    copy = types.ModuleType("exp_copy")
    copy.__dict__.update({name: getattr(exp, name) for name in dir(exp) if name[0].isupper()})
    copy.__dict__.update(replaced)
    return copy


def replace_in_exp_module(monkeypatch, name, value):
    monkeypatch.setattr(sys.modules[exp.__name__], name, value)


def rebind_exp(monkeypatch, name, value):
    monkeypatch.setattr(lineage, "exp", module_copy(**{name: value}))


@pytest.mark.parametrize("change", [replace_in_exp_module, rebind_exp],
                         ids=["class replaced in the exp module", "exp rebound to another module"])
def test_a_changed_class_is_seen_at_once(monkeypatch, change):
    tree = parse(SQL)
    assert lineage.get_column_parent(column_a(tree), "") == ("x", tree.args[FROM].this)
    change(monkeypatch, "Select", Never)
    # No select is recognised: the climb passes the root.
    assert lineage.get_column_parent(column_a(tree), "") == ("", None)
    monkeypatch.undo()
    assert analyse(SQL) == EXPECTED


def test_a_function_rebound_after_use_is_called(spy):
    assert analyse(SQL) == EXPECTED
    calls = spy("get_column_parent")
    assert analyse(SQL) == EXPECTED
    assert len(calls) == 2


def test_a_new_column_class_is_searched_for(monkeypatch):
    assert analyse(SQL) == EXPECTED
    rebind_exp(monkeypatch, "Column", Never)
    # Without columns to find, an item is neither a column nor a function.
    with pytest.raises(NotImplementedError):
        analyse(SQL)


@pytest.mark.skipif(COMPILED, reason="compiled node classes cannot be subclassed from Python")
def test_a_scope_of_another_class_has_its_alias_read_per_record():
    reads = []

    class CountingTable(exp.Table):
        @property
        def alias(self):
            reads.append(1)
            return super().alias

    tree = parse(SQL)
    tree.find(exp.Table).__class__ = CountingTable
    assert lineage.test(tree) == EXPECTED
    assert len(reads) == 2


def test_a_failure_deep_in_the_analysis_names_every_function_it_passed(monkeypatch):
    class RefusesAliases(type):
        def __instancecheck__(cls, node):
            if isinstance(node, exp.Alias):
                raise LookupError("refused")
            return isinstance(node, exp.Select)

    rebind_exp(monkeypatch, "Select", RefusesAliases("Select", (), {}))
    with pytest.raises(LookupError) as caught:
        analyse(SQL)
    names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
    assert names[-5:] == ["test.test", "test.get_columns", "test.find_column",
                         "test.get_column_parent", "__instancecheck__"]
