"""Trees that make the analysis walk forever: a parent chain with a cycle and a
node listed among its own children. Ctrl-C must still stop the walk. Each
case runs in a child interpreter that is interrupted once it has started the
endless call; the child reports KeyboardInterrupt, and a child that ignores
the signal is killed when the timeout runs out."""

import signal
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import answer_ctrl_c, subprocess_env

TIMEOUT = 30  # seconds for the child to answer the interrupt
STARTED = 0.5  # seconds for the child to get into the endless call

CHILD = """
import sys
import test as lineage
from sqlglot import exp, parse_one

tree = parse_one({sql!r}, dialect="mysql")
{setup}
print("ready", flush=True)
try:
    outcome = {call}
except KeyboardInterrupt:
    print("interrupted", flush=True)
else:
    print("finished:", outcome, flush=True)
"""

CASES = {
    "parent_of_itself": (
        "SELECT t.a AS x FROM t AS t",
        "column = tree.find(exp.Column); column.parent = column",
        "lineage.get_column_parent(column, '')"),
    "parent_cycle_through_the_analysis": (
        "SELECT a + 1 AS x FROM t",
        "item = tree.expressions[0]; column = item.find(exp.Column); item.this.parent = column",
        "lineage.test(tree)"),
    "own_child_in_a_select_item": (
        "SELECT SUM(t.a + t.b) AS x FROM t AS t",
        "add = tree.find(exp.Add); add.args['loop'] = add",
        "lineage.test(tree)"),
    "own_child_under_a_subquery_search": (
        "SELECT t.a AS x, (SELECT MAX(u.b) FROM u AS u) AS m FROM t AS t",
        "item = tree.expressions[1]; item.args['loop'] = item",
        "lineage.get_tables(tree, [], [])"),
    "own_child_without_a_select": (
        "SELECT t.a AS x FROM t AS t",
        "column = tree.find(exp.Column); column.args['loop'] = column",
        "lineage.test(column)"),
}


def interrupt_child(sql, setup, call):
    code = textwrap.dedent(CHILD).format(sql=sql, setup=setup, call=call)
    child = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=subprocess_env(),
                             preexec_fn=answer_ctrl_c)
    try:
        assert child.stdout.readline() == "ready\n", child.stderr.read()
        time.sleep(STARTED)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=TIMEOUT)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        pytest.fail(f"Ctrl-C did not stop the walk within {TIMEOUT} s")
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    return child.returncode, stdout, stderr


@pytest.mark.parametrize("sql, setup, call", CASES.values(), ids=CASES.keys())
def test_ctrl_c_stops_an_endless_walk(sql, setup, call):
    returncode, stdout, stderr = interrupt_child(sql, setup, call)
    assert (returncode, stdout) == (0, "interrupted\n"), stderr
