"""Files analysed on several processes: the command's output, failures and
exit status are those of one process analysing them one by one."""

import itertools
import os
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import answer_ctrl_c, run_on_terminal, subprocess_env
from column_lineage.workers import FEWEST, in_order

QUERIES = [
    "SELECT t.a AS x, 1 AS one FROM db1.orders AS t",
    "INSERT INTO dw.totals (k, n) SELECT o.k, COUNT(*) FROM db1.orders AS o GROUP BY o.k",
    "WITH c AS (SELECT id, name FROM crm.customers) SELECT c.name FROM c; SELECT 2 AS two",
    "SELECT a FROM (SELECT",  # a parse error
]


def command(*args, **options):
    return subprocess.run([sys.executable, "-m", "column_lineage", *args], capture_output=True,
                          text=True, timeout=300, env=subprocess_env(), **options)


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("many")
    for number in range(3 * FEWEST):
        (directory / f"q{number:03d}.sql").write_text(QUERIES[number % len(QUERIES)])
    (directory / "q010x.sql").write_bytes(b"SELECT \xff FROM t")  # not UTF-8, mid-run
    return directory


@pytest.mark.parametrize("output", [["--format", "json"], ["--format", "report"],
                                    ["--format", "csv", "--strict"]])
def test_workers_give_what_one_process_gives(many_files, output):
    alone = command(*output, "--jobs", "1", str(many_files))
    assert alone.returncode == 1 and "q010x.sql: not UTF-8 text" in alone.stderr
    for jobs in (["--jobs", "2"], ["--jobs", "3"], []):
        together = command(*output, *jobs, str(many_files))
        assert (together.returncode, together.stdout, together.stderr) == \
            (alone.returncode, alone.stdout, alone.stderr)


def test_progress_bar_with_workers_and_no_warnings(many_files):
    result, shown = run_on_terminal(["--json", "--jobs", "2", str(many_files)], "stderr")
    assert result.returncode == 1
    assert "file" in shown and "%" in shown
    assert "Warning" not in shown and "Traceback" not in shown


def test_interrupt_stops_the_workers_with_one_line(tmp_path):
    for number in range(40 * FEWEST):
        (tmp_path / f"q{number:04d}.sql").write_text(QUERIES[number % 3])
    run = subprocess.Popen([sys.executable, "-m", "column_lineage", "--json", "--jobs", "2",
                            str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, env=subprocess_env(), start_new_session=True,
                           preexec_fn=answer_ctrl_c)
    run.stdout.readline()  # the workers are under way
    os.killpg(run.pid, signal.SIGINT)  # as Ctrl-C does: to the command and its workers
    _, errors = run.communicate(timeout=120)
    assert run.returncode == 130
    assert errors.splitlines() == ["lineage: interrupted"]


def double_or_die(number):
    if number == 2 * FEWEST:
        os._exit(3)
    time.sleep(0.001 * (number % 3))  # uneven work, results still in order
    return 2 * number


def test_only_an_item_a_worker_dies_on_twice_is_lost(tmp_path):
    numbers = list(range(4 * FEWEST))
    results = list(in_order(double_or_die, numbers, 2, lost=lambda number: ("lost", number)))
    assert results == [("lost", n) if n == 2 * FEWEST else 2 * n for n in numbers]
    # a worker killed once (as the out-of-memory killer does) costs nothing
    marker = tmp_path / "killed"

    def killed_once(number):
        if number == FEWEST and not marker.exists():
            marker.write_text("x")
            os.kill(os.getpid(), signal.SIGKILL)
        return 2 * number

    results = list(in_order(killed_once, numbers, 3, lost=lambda number: ("lost", number)))
    assert marker.exists() and results == [2 * n for n in numbers]


def double(number):
    return 2 * number


def test_no_thread_of_the_pool_outlives_its_results():
    # A pool thread still running at exit races the interpreter's shutdown
    # over its wake-up pipe and prints a traceback after the output.
    for stop_after in (None, 3):  # read to the end, or closed early
        results = in_order(double, list(range(4 * FEWEST)), 2, lost=None)
        taken = list(itertools.islice(results, stop_after))
        results.close()
        assert taken == [2 * number for number in range(len(taken))]
        assert threading.enumerate() == [threading.main_thread()]


def test_few_items_or_one_job_stay_in_this_process():
    parent = os.getpid()
    for items, jobs in [(range(FEWEST - 1), 2), (range(3 * FEWEST), 1)]:
        assert set(in_order(lambda _: os.getpid(), list(items), jobs, lost=None)) == {parent}


def die_at_once(number):
    if number == FEWEST:
        os._exit(9)  # as the out-of-memory killer ends a worker
    return number


def test_an_item_that_kills_every_worker_it_meets_is_lost_once_and_nothing_hangs():
    # Each worker it reaches dies before the next hand-over: the pool once
    # waited on no worker at all, forever, and ran the item a third time.
    numbers = list(range(3 * FEWEST))
    for _ in range(40):
        assert list(in_order(die_at_once, numbers, 2, lost=lambda number: "lost")) == \
            ["lost" if number == FEWEST else number for number in numbers]


def test_busy_workers_share_one_grace_when_stopped(monkeypatch):
    from column_lineage import workers

    pool = workers.Pool(time.sleep, [60.0] * 3, 3)
    for index, worker in enumerate(pool.workers):  # each busy with a minute's sleep
        worker.connection.send(index)
        worker.indices.append(index)
    waited = []
    for worker in pool.workers:
        real_join = worker.process.join
        worker.process.join = lambda timeout=None, real_join=real_join: (
            waited.append(timeout), real_join(timeout))[1]
    monkeypatch.setattr(workers, "GRACE", 0.5)
    workers.stop(pool.workers)
    graces = [timeout for timeout in waited if timeout is not None]
    assert len(graces) == 3 and sum(graces) <= 0.5 + 1e-6
    assert not any(worker.process.is_alive() for worker in pool.workers)
