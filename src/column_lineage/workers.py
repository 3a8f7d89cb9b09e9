"""Many files analysed on several processes at once: each worker process runs
the same per-file job, and the results come back in the order of the files,
as if one process had analysed them one after another."""

from __future__ import annotations

import multiprocessing
import os
import signal
from collections.abc import Callable, Iterator, Sequence
from concurrent.futures import ProcessPoolExecutor
from concurrent.futures.process import BrokenProcessPool
from typing import TypeVar

Item = TypeVar("Item")
Result = TypeVar("Result")

# Files a worker is handed at a time: enough to make each hand-over cheap,
# few enough to keep the workers evenly busy to the end.
BATCH = 8

# Fewer files than this are analysed in the calling process: starting the
# workers would cost more than they save.
FEWEST = 16


def available_cpus() -> int:
    """The CPUs this process may run on."""
    return os.process_cpu_count() or 1


def in_order(job: Callable[[Item], Result], items: Sequence[Item], jobs: int,
             lost: Callable[[Item], Result]) -> Iterator[Result]:
    """job(item) for each item, in order: on `jobs` worker processes when
    there are enough items and the system can fork, else here. Should a
    worker end unexpectedly, every item not yet handed back gives lost(item)
    instead. The workers are started before this returns, so that they are
    forked before the caller starts any thread (a progress bar's, say)."""
    if jobs <= 1 or len(items) < FEWEST or "fork" not in multiprocessing.get_all_start_methods():
        return map(job, items)
    pool = ProcessPoolExecutor(jobs, mp_context=multiprocessing.get_context("fork"),
                               initializer=_start_worker, initargs=(job,))
    return _results(pool, pool.map(_run, items, chunksize=BATCH), items, lost)


def _results(pool, results, items, lost):
    handed_back = 0
    try:
        for result in results:
            handed_back += 1
            yield result
    except BrokenProcessPool:
        for item in items[handed_back:]:
            yield lost(item)
    finally:
        # Waits for the pool's own thread to end: left running, it can race
        # the interpreter's exit over its wake-up pipe and print a traceback.
        # Files not yet started are dropped; at most a batch per worker is
        # still to finish.
        pool.shutdown(wait=True, cancel_futures=True)


# The job of this worker process, inherited from the parent when it forked.
_job: Callable | None = None


def _start_worker(job):
    global _job
    _job = job
    # Ctrl-C reaches every process of the terminal's group: the parent alone
    # handles it, and stops handing out files.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def _run(item):
    return _job(item)
