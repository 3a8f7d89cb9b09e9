"""Many files analysed on several processes at once: each worker process runs
the same per-file job, and the results come back in the order of the files,
as if one process had analysed them one after another.

Each worker is forked with the items and the job, and is handed one item's
index at a time over a pipe of its own, so that the parent always knows
what each worker is doing. A worker that dies (the out-of-memory killer, a
crash in a library) costs nothing but a fresh worker: its item is analysed
again, once; only an item that a worker died on twice gives lost(item).
A worker ends when its parent does: it is told so, or it finds its parent
gone while it waits for work."""

from __future__ import annotations

import contextlib
import multiprocessing
import os
import signal
import time
from collections import deque
from collections.abc import Callable, Iterator, Sequence
from multiprocessing.connection import Connection, wait
from typing import Any

# Fewer files than this are analysed in the calling process: starting the
# workers would cost more than they save.
FEWEST = 16

# Times a worker may die on an item before it is lost.
TRIES = 2

# Items handed to a worker ahead, waiting in its pipe, so that it never
# waits for the parent to take a result: with one at a time a run of 2,000
# small files took 1.15 times as long as concurrent.futures' batches of 8;
# with 8, 1.06 times (side by side, 2 workers). It works on them in order,
# so a worker that dies died on the first; the others wait again unharmed.
AHEAD = 8

# Seconds a waiting worker sleeps between looks at whether its parent lives.
PARENT_CHECK = 0.5

# Seconds a worker is given to end when told, before it is killed.
GRACE = 1.0


def available_cpus() -> int:
    """The CPUs this process may run on."""
    return os.process_cpu_count() or 1


def in_order[Item, Result](job: Callable[[Item], Result], items: Sequence[Item], jobs: int,
                           lost: Callable[[Item], Result]) -> Iterator[Result]:
    """job(item) for each item, in order: on `jobs` worker processes when
    there are enough items and the system can fork, else here. An item on
    which a worker died twice gives lost(item) instead. The workers are
    started before this returns, so that they are forked before the caller
    starts any thread (a progress bar's, say)."""
    if jobs <= 1 or len(items) < FEWEST or "fork" not in multiprocessing.get_all_start_methods():
        return map(job, items)
    pool = Pool(job, items, min(jobs, len(items)))
    return pool.results(lost)


class Worker:
    """One worker process, its end of the pipe, and the items handed to it,
    the one it is on first."""

    def __init__(self, context: Any, job: Callable[[Any], Any], items: Sequence[Any],
                 others: list[Connection]):
        mine, theirs = context.Pipe()
        self.process = context.Process(target=_serve, args=(theirs, job, items, [*others, mine]),
                                       daemon=True)
        self.process.start()
        theirs.close()
        self.connection: Connection = mine
        self.indices: deque[int] = deque()



def stop(workers: list[Worker]) -> None:
    """Tells the workers to end, all at once; kills those that have not
    within GRACE seconds (one grace for all, however many they are)."""
    for worker in workers:
        with contextlib.suppress(OSError):  # gone already
            worker.connection.send(None)
    deadline = time.monotonic() + GRACE
    for worker in workers:
        worker.process.join(max(0.0, deadline - time.monotonic()))
    for worker in workers:
        if worker.process.is_alive():
            worker.process.kill()
            worker.process.join()
        worker.connection.close()


class Pool:
    """The workers of one in_order call (see the module's docstring)."""

    def __init__(self, job: Callable[[Any], Any], items: Sequence[Any], size: int):
        self.job, self.items = job, items
        self.context = multiprocessing.get_context("fork")
        self.workers: list[Worker] = []
        for _ in range(size):
            self.workers.append(self.start())

    def start(self) -> Worker:
        return Worker(self.context, self.job, self.items,
                      [worker.connection for worker in self.workers])

    def replace(self, at: int, waiting: deque[int]) -> None:
        """A fresh worker for a dead one; the items it had not begun wait again."""
        dead = self.workers[at]
        waiting.extendleft(reversed(dead.indices))
        dead.indices.clear()
        stop([dead])
        self.workers[at] = self.start()

    def died(self, index: int, deaths: dict[int, int], done: dict[int, Any],
             waiting: deque[int], lost: Callable[[Any], Any]) -> None:
        """A worker died on item `index`: it waits again, or after TRIES deaths is lost."""
        deaths[index] = deaths.get(index, 0) + 1
        if deaths[index] < TRIES:
            waiting.appendleft(index)
        else:
            done[index] = lost(self.items[index])

    def results(self, lost: Callable[[Any], Any]) -> Iterator[Any]:
        done: dict[int, Any] = {}
        waiting = deque(range(len(self.items)))
        deaths: dict[int, int] = {}
        following = 0
        try:
            while following < len(self.items):
                for at, worker in enumerate(self.workers):
                    while len(worker.indices) < AHEAD and waiting:
                        try:
                            worker.connection.send(waiting[0])
                        except OSError:  # it died: on the first item it did not finish
                            drain(worker, done)
                            if worker.indices:
                                self.died(worker.indices.popleft(), deaths, done, waiting, lost)
                            self.replace(at, waiting)
                            break
                        worker.indices.append(waiting.popleft())
                busy = [worker for worker in self.workers if worker.indices]
                if not busy:  # every worker was replaced this round: hand out again
                    continue
                ready = set(wait([worker.connection for worker in busy]
                                 + [worker.process.sentinel for worker in busy]))
                for at, worker in enumerate(self.workers):
                    if not worker.indices or not {worker.connection,
                                                  worker.process.sentinel} & ready:
                        continue
                    drain(worker, done)
                    if worker.process.is_alive() or not worker.indices:
                        continue
                    self.died(worker.indices.popleft(), deaths, done, waiting, lost)
                    self.replace(at, waiting)
                while following in done:
                    yield done.pop(following)
                    following += 1
        finally:
            stop(self.workers)


def drain(worker: Worker, done: dict[int, Any]) -> None:
    """Takes the results the worker has sent, in order of its items."""
    try:
        while worker.indices and worker.connection.poll():
            done[worker.indices[0]] = worker.connection.recv()
            worker.indices.popleft()
    except (EOFError, OSError):
        pass  # it died after these


def _serve(connection: Connection, job: Callable[[Any], Any], items: Sequence[Any],
           inherited: list[Connection]) -> None:
    """A worker's life: the items whose index its parent sends, one at a
    time, each result sent back, until told to end (None) or orphaned."""
    # Ctrl-C reaches every process of the terminal's group: the parent alone
    # handles it, and stops its workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    for signum in (signal.SIGTERM, signal.SIGHUP):  # the parent's handlers are its own
        signal.signal(signum, signal.SIG_DFL)
    for other in inherited:  # the parent's ends of its other pipes
        other.close()
    parent = os.getppid()
    while True:
        while not connection.poll(PARENT_CHECK):
            if os.getppid() != parent:
                return
        try:
            index = connection.recv()
        except (EOFError, OSError):
            return
        if index is None:
            return
        connection.send(job(items[index]))
