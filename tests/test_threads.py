"""Analyses on several threads at once, and on threads with small stacks."""

import os
import subprocess
import sys
import textwrap
import threading

import pytest

from conftest import ROOT, analyse, subprocess_env
from test_corpus_and_robustness import lineage, nested

THREADS = 8
CALLS = 10
DEPTH = 300  # well within the recursion limit for one thread, not for 8 added up
FLAT = "SELECT t.a AS x, SUM(u.b) AS s, CASE WHEN t.c > 1 THEN u.d END AS k FROM db.t AS t JOIN u AS u ON t.id = u.id"


@pytest.fixture
def tiny_switch_interval():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def run_on_threads(work):
    """Runs work() CALLS times on each of THREADS threads started together;
    gives every result or exception."""
    outcomes = []
    start = threading.Barrier(THREADS)

    def worker():
        start.wait()
        for _ in range(CALLS):
            try:
                outcomes.append(work())
            except Exception as error:  # every outcome is compared below
                outcomes.append(error)

    threads = [threading.Thread(target=worker) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return outcomes


@pytest.mark.usefixtures("tiny_switch_interval")
class TestThreadsAtOnce:
    def test_nesting_depths_of_threads_do_not_add_up(self):
        tree = nested(DEPTH)
        alone = lineage.test(tree)
        outcomes = run_on_threads(lambda: lineage.test(tree))
        assert outcomes == [alone] * (THREADS * CALLS)

    def test_results_match_those_of_one_thread(self):
        queries = [FLAT,
                   "WITH c AS (SELECT o.k AS k FROM db.o AS o) SELECT c.k AS k FROM c AS c",
                   "SELECT s.a AS a FROM (SELECT t.a AS a FROM db.t AS t) AS s"]
        alone = [analyse(sql) for sql in queries]
        outcomes = run_on_threads(lambda: [analyse(sql) for sql in queries])
        assert outcomes == [alone] * (THREADS * CALLS)


SMALL_STACK_CHILD = """
import sys, threading
sys.path[:0] = [{tests!r}]
from test_corpus_and_robustness import lineage, nested
from conftest import analyse

def run():
    print(analyse({flat!r}) == expected)
    try:
        lineage.test(nested(990))
        print("no error")
    except RecursionError as error:
        print(error)

expected = analyse({flat!r})
threading.stack_size({size})
worker = threading.Thread(target=run)
worker.start()
worker.join()
"""


@pytest.mark.parametrize("kib", [32, 64, 128, 256])
def test_a_small_stack_analyses_what_fits_and_refuses_the_rest(kib):
    code = textwrap.dedent(SMALL_STACK_CHILD).format(
        tests=os.path.join(ROOT, "tests"), flat=FLAT, size=kib * 1024)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            env=subprocess_env(), timeout=120)
    assert (result.returncode, result.stdout) == (
        0, "True\nmaximum recursion depth exceeded while analysing nested queries\n"), result.stderr
