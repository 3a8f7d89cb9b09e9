"""Instructions executed by the native module `test`, build against build, side
by side in one run, counted by callgrind (instruction counts do not move with
the load of a shared machine, as times do).

For each build a child interpreter runs under callgrind with collection off
except inside `operator.call` (the C function `_operator_call`, which nothing
else in the child calls): the set-up, imports, parsing and a warm-up call run
uncounted, and each measured part is one `operator.call`, dumped on its own.
The workloads:

  a. test() on one select of 1,000 columns over a join (bench/nested_chain.py),
  b. test() on a chain of 8 nested derived tables of 50 columns each (same),
  c. test() on every corpus query (bench/shared_corpus.py), trees parsed before,
  d. end to end: column_lineage.analyse_sql over the same corpus queries
     (parse, package and module).

The child sees a temporary directory holding `src` (a link to one copy of
this checkout's src/, taken at the start, so that every build runs the same
package code while src/ is being edited) and `build` (copies of the build's
extension modules): the package loads the module from build/ beside src/
(column_lineage/native.py), the module-level workloads import it from there
too; the child reports the file it loaded and whether the package holds the
same module object, and the parent checks that file against the build's
(SHA-256, printed). Printed: the instructions of each workload for each
build, the ratio to the first build, and what share of (d) is (c).

PYTHONHASHSEED is fixed, the children run one after another in the same
directory and the copies all carry one modification time: the same module
then gives the same count to the instruction (a module file's path and
modification time change the child's memory layout, and so its counts, by up
to 0.2%). --jobs N runs N children side by side, each in a directory of its
own of the same name length: counts have repeated exactly that way too, but
no longer by construction.

With --plain each build that has the switch is measured a second time with
its speed-ups off (the module's exported flag test_module_plain set before
the import): what the speed-ups buy, side by side ((b) is left out there: the
plain path analyses each inner query once per record bound to it, 50 ** 8
times).

Run: .venv/bin/python bench/instructions.py [--build DIR]... [--plain] [--quick] [--jobs N]
     (default: build/ only; --quick: every fourth corpus query)
"""

from __future__ import annotations

import argparse
import compileall
import glob
import hashlib
import importlib
import json
import os
import queue
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

# The C function behind operator.call: callgrind collects only inside it.
MARKER = "_operator_call"
MODULE_FILE = "test" + str(sysconfig.get_config_var("EXT_SUFFIX"))
FIXED_TIME = 1_000_000_000  # the modification time of every copied module

WORKLOADS = (
    ("a", "test(): one select of 1,000 columns over a join"),
    ("b", "test(): 8 nested derived tables, 50 columns each"),
    ("c", "test(): every corpus query"),
    ("d", "analyse_sql over the corpus (parse+package+module)"),
)

CHILD = r'''
import contextlib, gc, io, json, operator, os, sys

with open(sys.argv[1], encoding="utf-8") as source:
    job = json.load(source)
sys.path.insert(0, os.path.join(job["home"], "build"))
if job["plain"]:  # the flag is read when the module loads, from the library loaded here
    import ctypes
    library = ctypes.CDLL(os.path.join(job["home"], "build", job["module_file"]))
    ctypes.c_int.in_dll(library, "test_module_plain").value = 1
import test
from sqlglot import parse_one
from column_lineage import analyse_sql
from column_lineage.native import analysis_module

def parse(sql):
    return parse_one(sql, dialect="mysql")

def each(action, items):
    """Runs action on every item; gives how many raised."""
    raised = 0
    for item in items:
        try:
            action(item)
        except Exception:
            raised += 1
    return raised

wide, chain = parse(job["wide"]), parse(job["chain"])
trees = [parse(sql) for sql in job["corpus"]]
# (b) without the speed-ups analyses each inner query once per record bound
# to it: 50 ** 8 calls, which never end.
parts = [lambda: test.test(wide), (lambda: None) if job["plain"] else lambda: test.test(chain),
         lambda: each(test.test, trees), lambda: each(analyse_sql, job["corpus"])]
raised = []
with contextlib.redirect_stdout(io.StringIO()):  # unsupported items print themselves
    test.test(parse("SELECT t.a AS b FROM (SELECT u.a FROM u) AS t"))  # warm-up, uncounted
    analyse_sql("SELECT t.a AS b FROM (SELECT u.a FROM u) AS t")
    for part in parts:
        gc.collect()
        raised.append(operator.call(part))
import column_lineage
json.dump({"module": test.__file__, "package_module": analysis_module().__file__,
           "same_module": analysis_module() is test, "package": column_lineage.__file__,
           "raised": {"c": raised[2], "d": raised[3]}}, sys.stdout)
'''


@dataclass(frozen=True)
class Queries:
    """The SQL texts the children run."""

    wide: str
    chain: str
    corpus: list[str]


@dataclass(frozen=True)
class Counts:
    """One build's instructions per workload key, the module file the child
    loaded (a copy of the build's) and how many corpus calls raised in (c)
    and (d)."""

    build: str
    module: str
    instructions: dict[str, int]
    raised: dict[str, int]
    plain: bool = False


def bench_function(module: str, name: str) -> Callable[..., Any]:
    """A function of one of the benchmark helpers beside this file."""
    function: Callable[..., Any] = getattr(importlib.import_module(module), name)
    return function


def queries(quick: bool) -> Queries:
    """The workloads' SQL: --quick keeps every fourth corpus query."""
    corpus = [str(sql) for sql in bench_function("shared_corpus", "corpus_queries")()]
    return Queries(wide=str(bench_function("nested_chain", "wide")(1000)),
                   chain=str(bench_function("nested_chain", "chain")(8, 50)),
                   corpus=corpus[::4] if quick else corpus)


def checked_build(path: str) -> str:
    """The absolute build directory, which must hold the module."""
    build = os.path.abspath(path)
    if not os.path.isfile(os.path.join(build, MODULE_FILE)):
        raise SystemExit(f"{build} holds no {MODULE_FILE}")
    return build


def callgrind_command(out_dir: str, script: str, job: str) -> list[str]:
    """valgrind's command line: collect inside the marker only, one dump per call."""
    return ["valgrind", "--tool=callgrind", "--collect-atstart=no",
            f"--toggle-collect={MARKER}", f"--dump-after={MARKER}",
            f"--callgrind-out-file={os.path.join(out_dir, 'callgrind.out.%p')}",
            sys.executable, script, job]


def dump_totals(out_dir: str) -> list[int]:
    """The instruction totals of the marker's dumps, in call order."""
    parts = glob.glob(os.path.join(out_dir, "callgrind.out.*.*"))
    totals: list[tuple[int, int]] = []
    for path in parts:
        with open(path, encoding="utf-8") as dump:
            lines = dump.read().splitlines()
        total = next((int(line.split()[1]) for line in lines if line.startswith("totals:")), None)
        if total is None:
            raise SystemExit(f"no totals line in {path}")
        totals.append((int(path.rsplit(".", 1)[1]), total))
    return [total for _, total in sorted(totals)]


def package_copy(directory: str) -> str:
    """A copy of this checkout's src/ in `directory`, compiled to bytecode."""
    target = os.path.join(directory, "src")
    shutil.copytree(os.path.join(ROOT, "src"), target,
                    ignore=shutil.ignore_patterns("__pycache__"))
    compileall.compile_dir(target, quiet=1)
    return target


def module_copy(build: str, target: str) -> None:
    """Copies the build's extension modules into `target`, all of one fixed
    modification time: the times of the files the child imports change its
    memory layout, and with it the counts by up to 0.2%."""
    os.mkdir(target)
    for name in os.listdir(build):
        if name.endswith(".so"):
            shutil.copyfile(os.path.join(build, name), os.path.join(target, name))
            os.utime(os.path.join(target, name), (FIXED_TIME, FIXED_TIME))
    os.utime(target, (FIXED_TIME, FIXED_TIME))


def digest(path: str) -> str:
    """The first 12 hex digits of the file's SHA-256."""
    with open(path, "rb") as content:
        return hashlib.sha256(content.read()).hexdigest()[:12]


def valgrind_lines_dropped(stderr: str) -> str:
    """A child's standard error without valgrind's own `==pid==` lines."""
    return "\n".join(line for line in stderr.splitlines() if not line.startswith("=="))


def measure(build: str, plain: bool, work: Queries, script: str, package: str,
            homes: queue.Queue[str]) -> Counts:
    """Runs one build's child under callgrind (the package from the copy
    `package`; with `plain`, the module's speed-ups off) in a free directory
    of `homes`; its counts per workload."""
    home = homes.get()
    try:
        os.symlink(package, os.path.join(home, "src"))
        module_copy(build, os.path.join(home, "build"))
        job = os.path.join(home, "job.json")
        with open(job, "w", encoding="utf-8") as out:
            json.dump({"home": home, "wide": work.wide, "chain": work.chain,
                       "corpus": work.corpus, "plain": plain, "module_file": MODULE_FILE}, out)
        environment = {**os.environ, "PYTHONPATH": os.path.join(home, "src"),
                       "PYTHONHASHSEED": "0", "PYTHONDONTWRITEBYTECODE": "1"}
        result = subprocess.run(callgrind_command(home, script, job), capture_output=True,
                                text=True, env=environment, check=False)
        if result.returncode != 0:
            raise SystemExit(f"the child for {build} failed:\n"
                             f"{valgrind_lines_dropped(result.stderr)[-3000:]}")
        report = json.loads(result.stdout)
        totals = dump_totals(home)
        check_child(build, home, report, len(totals))
        return Counts(build=build + (" (speed-ups off)" if plain else ""), module=f"{report['module']} (sha256 {digest(report['module'])})",
                      instructions=dict(zip((key for key, _ in WORKLOADS), totals)),
                      raised=report["raised"], plain=plain)
    finally:
        shutil.rmtree(os.path.join(home, "build"), ignore_errors=True)
        for name in os.listdir(home):
            os.remove(os.path.join(home, name))
        homes.put(home)


def check_child(build: str, home: str, report: dict[str, object], dumps: int) -> None:
    """Stops when the child loaded another module or package than wanted, or
    when callgrind did not see one marker call per workload."""
    wanted = os.path.join(home, "build", MODULE_FILE)
    module = str(report["module"])
    if module != wanted or not report["same_module"]:
        raise SystemExit(f"the child loaded {module} (package: {report['package_module']}), "
                         f"not {wanted}")
    if digest(module) != digest(os.path.join(build, MODULE_FILE)):
        raise SystemExit(f"{build}/{MODULE_FILE} changed while it was measured")
    if not str(report["package"]).startswith(os.path.join(home, "src")):
        raise SystemExit(f"the child imported the package from {report['package']}")
    if dumps != len(WORKLOADS):
        raise SystemExit(f"callgrind dumped {dumps} parts, not {len(WORKLOADS)}: is "
                         f"{MARKER} among the interpreter's symbols (not stripped)?")


def has_plain_switch(build: str) -> bool:
    """Whether the build's module exports the flag that turns its speed-ups
    off (a build from before it had none)."""
    import ctypes

    return hasattr(ctypes.CDLL(os.path.join(build, MODULE_FILE)), "test_module_plain")


def ratio(count: int, first: int) -> str:
    return f"{count / first:.3f}" if first else "-"


def table(results: Sequence[Counts], corpus_size: int) -> list[str]:
    """The printed lines: the builds, then one row per workload, then the
    share of the end-to-end run spent in the module's calls."""
    lines = [f"[{number}] {counts.build}\n    the child loaded {counts.module}"
             for number, counts in enumerate(results, 1)]
    header = f"{'workload':<60}" + "".join(f"{f'[{n}] instructions':>20}" for n in
                                            range(1, len(results) + 1))
    header += "".join(f"{f'[{n}]/[1]':>9}" for n in range(2, len(results) + 1))
    lines += ["", header]
    for key, title in WORKLOADS:
        name = f"{key}. {title}" + (f" ({corpus_size})" if key in "cd" else "")
        counts = [0 if key == "b" and result.plain else result.instructions[key]
                  for result in results]
        row = f"{name:<60}" + "".join(f"{count:>20,}" if count else f"{'-':>20}"
                                      for count in counts)
        lines.append(row + "".join(f"{ratio(count, counts[0]) if count else '-':>9}"
                                   for count in counts[1:]))
    lines.append("")
    for number, result in enumerate(results, 1):
        counted = result.instructions
        share = counted["c"] / counted["d"] if counted["d"] else 0.0
        lines.append(f"[{number}] (c) is {share:.1%} of (d); corpus calls raising: "
                     f"test() {result.raised['c']}, analyse_sql {result.raised['d']}")
    if len({(result.raised["c"], result.raised["d"]) for result in results}) > 1:
        lines.append("note: the builds raise on different numbers of corpus queries")
    return lines


def main(argv: Sequence[str] | None = None) -> int:
    options = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    options.add_argument("--build", action="append", default=[], metavar="DIR",
                         help="a build directory holding the module (repeat; default: build/)")
    options.add_argument("--plain", action="store_true",
                         help="each build again with its speed-ups off")
    options.add_argument("--quick", action="store_true", help="every fourth corpus query")
    options.add_argument("--jobs", type=int, default=1,
                         help="children at a time (default 1: exact repeats, see above)")
    args = options.parse_args(argv)
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    builds = [checked_build(path) for path in args.build or [os.path.join(ROOT, "build")]]
    runs = [(build, False) for build in builds]
    runs += [(build, True) for build in builds if args.plain and has_plain_switch(build)]
    work = queries(args.quick)
    with tempfile.TemporaryDirectory(prefix="instructions-child-") as directory:
        script = os.path.join(directory, "child.py")
        with open(script, "w", encoding="utf-8") as out:
            out.write(CHILD)
        package = package_copy(directory)
        homes: queue.Queue[str] = queue.Queue()
        for slot in range(max(1, args.jobs)):
            os.mkdir(os.path.join(directory, f"home{slot}"))
            homes.put(os.path.join(directory, f"home{slot}"))
        with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            results = list(pool.map(
                lambda run: measure(run[0], run[1], work, script, package, homes), runs))
    print("\n".join(table(results, len(work.corpus))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
