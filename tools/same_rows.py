"""Checks that a change leaves the answers as they were, in one of two modes.

The package: the rows (as dicts), statement kinds, targets, skips and errors
of every corpus query, every labelled accuracy case, the warehouse fixtures
(without a schema, with it as DDL and as JSON) and every SQL text in the
warehouse tests, from the package at a git revision and from the working
tree, each in its own interpreter, compared one by one.

The module: the records `test()` gives (keys in order), the exception it
raises (type and message) and what it prints, from two builds of the native
module, each loaded in its own interpreter, over every corpus query, the
chains of nested derived tables and the wide selects of bench/nested_chain.py
(chains up to and past the interpreter's recursion limit, which the module
counts its levels against), the generated queries of tests/query_fuzzer.py
(--fuzz-count, seeded by --fuzz-seed) and every SQL text in the module's own
tests. A tree is parsed with the recursion limit raised (sqlglot's pure
Python parser needs several frames a level), test() runs under the default
limit.

Run: .venv/bin/python tools/same_rows.py [REVISION]   (default: main)
     .venv/bin/python tools/same_rows.py --module-before DIR --module-after DIR
         [--fuzz-count 3000] [--fuzz-seed 20250101]
(and the same with .venv-sqlglot27/bin/python).
Exit status 0 when every answer is the same, 1 with the first differences.
"""

from __future__ import annotations

import argparse
import ast
import glob
import importlib
import json
import os
import random
import re
import subprocess
import sys
import tempfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))


def helper(folder: str, module: str, name: str) -> Callable[..., Any]:
    """A function of one of the checkout's helper modules in `folder`
    (bench/ or tests/), which are no package."""
    if os.path.join(ROOT, folder) not in sys.path:
        sys.path.insert(0, os.path.join(ROOT, folder))
    function: Callable[..., Any] = getattr(importlib.import_module(module), name)
    return function


def corpus_queries() -> list[str]:
    """The SQL text of every corpus query (bench/shared_corpus.py)."""
    return [str(sql) for sql in helper("bench", "shared_corpus", "corpus_queries")()]

WAREHOUSE = os.path.join(ROOT, "tests", "warehouse")
TEST_FILES = ["test_warehouse_queries.py", "test_warehouse_etl.py", "test_warehouse_module.py",
              "test_warehouse_schema.py", "warehouse_lineage.py", "test_accuracy.py"]

DUMP = r"""
import json, sys
from column_lineage import analyse_sql
from column_lineage.rows import Row

def answer(text, schema):
    try:
        statements = analyse_sql(text, schema=schema)
    except Exception as error:
        return {"raised": f"{type(error).__name__}: {error}"}
    return [{"kind": s.kind, "target": [s.target_db, s.target_table], "skipped": s.skipped,
             "error": s.error, "columns": [[c.position, c.output_name, c.sql, c.transformation,
                                            c.target_column] for c in s.columns],
             "rows": [row.as_dict() for row in s.rows]} for s in statements]

cases = json.load(sys.stdin)
json.dump([answer(text, schema) for text, schema in cases], sys.stdout)
"""


def read(path: str) -> str:
    with open(path, encoding="utf-8") as source:
        return source.read()


def sql_literals(path: str) -> list[str]:
    """The string constants of a test file that look like SQL."""
    tree = ast.parse(read(path))
    return [node.value for node in ast.walk(tree)
            if isinstance(node, ast.Constant) and isinstance(node.value, str)
            and "select" in node.value.lower() and len(node.value) > 10]


def labelled_cases() -> list[tuple[str, str | None]]:
    load_cases = helper("tests", "accuracy_labels", "load_cases")
    schema_text = helper("tests", "accuracy_labels", "schema_text")
    return [(case.text, schema_text(case)) for case in load_cases()]


def inputs() -> list[tuple[str, str | None]]:
    """(SQL text, schema text or None) of every check."""
    schemas = [None] + [read(os.path.join(WAREHOUSE, name))
                        for name in ("schema.sql", "schema.json")]
    fixtures = [read(os.path.join(WAREHOUSE, name)) for name in ("etl.sql", "mysqldump.sql")]
    fixtures.append(read(os.path.join(ROOT, "src", "column_lineage", "examples", "warehouse.sql")))
    literals = [text for name in TEST_FILES if os.path.exists(os.path.join(ROOT, "tests", name))
                for text in sql_literals(os.path.join(ROOT, "tests", name))]
    cases: list[tuple[str, str | None]] = [(sql, None) for sql in corpus_queries()]
    cases += [(text, schema) for text in fixtures + literals for schema in schemas]
    return cases + labelled_cases()


def dump(source_root: str, cases: list[tuple[str, str | None]]) -> list[Any]:
    """The answers of the package under `source_root`/src, in a fresh
    interpreter (the native module from this checkout's build/)."""
    environment = {**os.environ, "PYTHONPATH": os.path.join(source_root, "src")}
    result = subprocess.run([sys.executable, "-c", DUMP], input=json.dumps(cases),
                            capture_output=True, text=True, env=environment, check=False)
    if result.returncode != 0:
        raise SystemExit(f"dumping the rows of {source_root} failed:\n{result.stderr[-2000:]}")
    answers: list[Any] = json.loads(result.stdout)
    return answers


def revision_tree(revision: str, directory: str) -> str:
    """The package at `revision`, unpacked in `directory` beside a link to
    this checkout's build/."""
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision, "src"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", directory], input=archive, check=True)
    os.symlink(os.path.join(ROOT, "build"), os.path.join(directory, "build"))
    return directory


def compare_package(revision: str) -> int:
    """The package mode: exit status 0 when the answers are the same."""
    cases = inputs()
    with tempfile.TemporaryDirectory(prefix="same-rows-") as directory:
        before = dump(revision_tree(revision, directory), cases)
    after = dump(ROOT, cases)
    differing = [index for index, (old, new) in enumerate(zip(before, after)) if old != new]
    rows = sum(len(statement["rows"]) for answer in after if isinstance(answer, list)
               for statement in answer)
    print(f"{len(cases)} texts, {rows} rows: {len(differing)} answers differ from {revision}")
    for index in differing[:5]:
        text, schema = cases[index]
        print(f"--- {text[:200]!r} (schema: {schema is not None})")
        print(f"before: {json.dumps(before[index])[:1500]}")
        print(f"after:  {json.dumps(after[index])[:1500]}")
    return 1 if differing else 0


MODULE_TESTS = ["test_get_*.py", "test_find_column.py", "test_match_column.py", "test_module.py"]
SQL_START = re.compile(r"\s*\(*\s*(SELECT|WITH|INSERT|UPDATE|DELETE|REPLACE|CREATE)\b")
SHOWN = 5  # differences printed

# One child: loads `test` from the build directory, parses each text and
# writes one JSON line per case (flushed, so that a crash shows where).
MODULE_DUMP = r"""
import contextlib, io, json, os, sys
build, cases_path, out_path = sys.argv[1:4]
sys.path.insert(0, build)
import test
if os.path.realpath(os.path.dirname(test.__file__)) != os.path.realpath(build):
    sys.exit(f"imported test from {test.__file__}, not from {build}")
from sqlglot import parse_one

LIMIT = sys.getrecursionlimit()

def plain(value):
    if isinstance(value, dict):
        return {"dict": [[plain(key), plain(item)] for key, item in value.items()]}
    if isinstance(value, (list, tuple)):
        return {type(value).__name__: [plain(item) for item in value]}
    if value is None or isinstance(value, str):
        return value
    if isinstance(value, (int, float)):  # bool among them: True and 1 stay apart
        return {type(value).__name__: value}
    return {"object": type(value).__name__, "repr": repr(value)}

def parsed(sql):
    sys.setrecursionlimit(max(LIMIT, 200_000))
    try:
        return parse_one(sql, dialect="mysql")
    finally:
        sys.setrecursionlimit(LIMIT)

def outcome(sql):
    try:
        tree = parsed(sql)
    except Exception as error:
        return {"unparsed": f"{type(error).__name__}: {error}"[:500]}
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        try:
            answer = {"records": plain(test.test(tree))}
        except Exception as error:
            answer = {"raised": type(error).__name__, "message": str(error)}
    answer["printed"] = printed.getvalue()
    return answer

with open(cases_path, encoding="utf-8") as source:
    texts = json.load(source)
with open(out_path, "w", encoding="utf-8") as out:
    print(json.dumps({"module": test.__file__}), file=out, flush=True)
    for sql in texts:
        print(json.dumps(outcome(sql)), file=out, flush=True)
"""


@dataclass(frozen=True)
class Case:
    """One text test() is given, and where it comes from."""

    source: str
    sql: str


@dataclass(frozen=True)
class Dumped:
    """What one build's child gave: the module file it loaded and one
    outcome per case, in case order (fewer when the child died, `failure`
    saying how)."""

    build: str
    module: str
    outcomes: list[Any]
    failure: str | None


def chain_cases() -> list[Case]:
    """Nested chains (depth x width) and wide selects of bench/nested_chain.py;
    the deepest chains sit either side of the recursion limit."""
    chain, wide = helper("bench", "nested_chain", "chain"), helper("bench", "nested_chain", "wide")
    limit = sys.getrecursionlimit()
    sizes = [(1, 10), (2, 50), (8, 50), (16, 20), (64, 5), (limit // 2, 2),
             (limit - 2, 2), (limit - 1, 2), (limit, 2), (limit + 1, 2)]
    cases = [Case(f"nested_chain.chain({depth}, {width})", str(chain(depth, width)))
             for depth, width in sizes]
    return cases + [Case(f"nested_chain.wide({width})", str(wide(width)))
                    for width in (1, 250, 1000, 2000)]


def fuzz_cases(count: int, seed: int) -> list[Case]:
    """`count` queries of tests/query_fuzzer.py from random.Random(seed)."""
    query = helper("tests", "query_fuzzer", "query")
    rng = random.Random(seed)
    return [Case(f"query_fuzzer seed {seed} #{number}", str(query(rng)))
            for number in range(count)]


def test_file_texts(path: str) -> list[str]:
    """The string constants of a test file that start like a SQL statement
    (the pieces of f-strings left out: they are no statements)."""
    tree = ast.parse(read(path))
    pieces = {id(part) for node in ast.walk(tree) if isinstance(node, ast.JoinedStr)
              for part in node.values}
    return [node.value for node in ast.walk(tree)
            if isinstance(node, ast.Constant) and isinstance(node.value, str)
            and id(node) not in pieces and SQL_START.match(node.value)]


def module_test_cases() -> list[Case]:
    """Every SQL text of the module's own tests, once each."""
    paths = sorted({path for pattern in MODULE_TESTS
                    for path in glob.glob(os.path.join(ROOT, "tests", pattern))})
    seen: set[str] = set()
    cases = []
    for path in paths:
        for text in test_file_texts(path):
            if text not in seen:
                seen.add(text)
                cases.append(Case(f"tests/{os.path.basename(path)}", text))
    return cases


def module_cases(fuzz_count: int, fuzz_seed: int) -> list[Case]:
    """Every text the module mode gives test()."""
    corpus = [Case(f"corpus #{number}", str(sql)) for number, sql in enumerate(corpus_queries())]
    return corpus + chain_cases() + fuzz_cases(fuzz_count, fuzz_seed) + module_test_cases()


def checked_build(path: str) -> str:
    """The absolute build directory; it must hold the module `test` (built,
    or a Python stand-in test.py wrapping a build)."""
    build = os.path.abspath(path)
    if not glob.glob(os.path.join(build, "test.cpython-*.so")) and \
            not os.path.isfile(os.path.join(build, "test.py")):
        raise SystemExit(f"{build} holds no module test (test.cpython-*.so or test.py)")
    return build


def start_dump(build: str, cases_path: str, out_path: str) -> subprocess.Popen[str]:
    """A child interpreter writing the outcomes of `build`'s module."""
    environment = {**os.environ, "PYTHONPATH": "", "PYTHONHASHSEED": "0"}
    return subprocess.Popen([sys.executable, "-c", MODULE_DUMP, build, cases_path, out_path],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True,
                            env=environment)


def finish_dump(build: str, child: subprocess.Popen[str], out_path: str,
                timeout: float) -> Dumped:
    """Waits for the child (at most `timeout` seconds) and reads its outcomes."""
    try:
        _, stderr = child.communicate(timeout=timeout)
        failure = None if child.returncode == 0 else \
            f"exit status {child.returncode}: {stderr[-1500:]}"
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        failure = f"no answer after {timeout:.0f} s"
    lines = []
    if os.path.exists(out_path):
        with open(out_path, encoding="utf-8") as dumped:
            lines = [json.loads(line) for line in dumped if line.endswith("\n")]
    module = lines[0]["module"] if lines else "?"
    return Dumped(build=build, module=str(module), outcomes=lines[1:], failure=failure)


def dump_modules(builds: Sequence[str], cases: Sequence[Case], timeout: float) -> list[Dumped]:
    """The outcomes of every build's module, the children side by side."""
    with tempfile.TemporaryDirectory(prefix="same-records-") as directory:
        cases_path = os.path.join(directory, "cases.json")
        with open(cases_path, "w", encoding="utf-8") as out:
            json.dump([case.sql for case in cases], out)
        outs = [os.path.join(directory, f"outcomes-{number}.jsonl")
                for number in range(len(builds))]
        children = [start_dump(build, cases_path, out) for build, out in zip(builds, outs)]
        return [finish_dump(build, child, out, timeout)
                for build, child, out in zip(builds, children, outs)]


def differing_cases(before: Sequence[Any], after: Sequence[Any]) -> list[int]:
    """The indexes of the cases whose outcomes differ (a case one side lacks differs)."""
    return [index for index in range(max(len(before), len(after)))
            if index >= len(before) or index >= len(after) or before[index] != after[index]]


def readable(value: Any) -> Any:
    """A dumped value back as the Python value it stands for (its repr for
    an object of another type), for printing."""
    if isinstance(value, dict) and len(value) == 1:
        (kind, inner), = value.items()
        if kind == "dict":
            return {readable(key): readable(item) for key, item in inner}
        if kind in ("list", "tuple"):
            items = [readable(item) for item in inner]
            return items if kind == "list" else tuple(items)
        if kind in ("int", "float", "bool"):
            return inner
    if isinstance(value, dict) and "object" in value:
        return f"<{value['object']}: {value['repr']}>"
    return value


def shown(value: Any) -> str:
    return repr(readable(value))[:1000]


def difference_lines(before: Any, after: Any) -> list[str]:
    """Where two outcomes of one case part: for two record lists, their
    lengths and the first record that differs; else each differing part
    (records, exception, message, printed text) before and after."""
    if before is None or after is None:
        missing = "(none: the child stopped before it)"
        return [f"before: {missing if before is None else shown(before)}",
                f"after:  {missing if after is None else shown(after)}"]
    lines = []
    for key in sorted(set(before) | set(after)):
        old, new = before.get(key), after.get(key)
        if old == new:
            continue
        old_list, new_list = (value.get("list") if isinstance(value, dict) else None
                              for value in (old, new))
        if key == "records" and isinstance(old_list, list) and isinstance(new_list, list):
            at = next((index for index, (a, b) in enumerate(zip(old_list, new_list)) if a != b),
                      min(len(old_list), len(new_list)))
            lines += [f"records: {len(old_list)} before, {len(new_list)} after; "
                      f"the first to differ is record {at + 1}:",
                      f"  before: {shown(old_list[at]) if at < len(old_list) else '(none)'}",
                      f"  after:  {shown(new_list[at]) if at < len(new_list) else '(none)'}"]
        else:
            lines += [f"{key} before: {'(none)' if old is None else shown(old)}",
                      f"{key} after:  {'(none)' if new is None else shown(new)}"]
    return lines


def module_report(cases: Sequence[Case], before: Dumped, after: Dumped) -> tuple[int, list[str]]:
    """The exit status and the lines to print for two builds' outcomes."""
    differing = differing_cases(before.outcomes, after.outcomes)
    records = sum(len(outcome["records"].get("list", [])) for outcome in after.outcomes
                  if isinstance(outcome.get("records"), dict))
    raised = sum(1 for outcome in after.outcomes if "raised" in outcome)
    lines = [f"before: {before.build} (loaded {before.module})",
             f"after:  {after.build} (loaded {after.module})"]
    for dumped in (before, after):
        if dumped.failure is not None:
            stopped = cases[len(dumped.outcomes)] if len(dumped.outcomes) < len(cases) else None
            where = f" at {stopped.source}: {stopped.sql[:200]!r}" if stopped else ""
            lines.append(f"the child of {dumped.build} failed{where}: {dumped.failure}")
    lines.append(f"{len(cases)} texts, {records} records, {raised} raised: "
                 f"{len(differing)} outcomes differ")
    for index in differing[:SHOWN]:
        case = cases[index]
        lines.append(f"--- {case.source}: {case.sql[:200]!r}")
        lines += difference_lines(*(dumped.outcomes[index] if index < len(dumped.outcomes)
                                    else None for dumped in (before, after)))
    failed = before.failure is not None or after.failure is not None
    return (1 if differing or failed else 0), lines


def compare_modules(before: str, after: str, fuzz_count: int, fuzz_seed: int,
                    timeout: float) -> int:
    """The module mode: exit status 0 when every outcome is the same."""
    builds = [checked_build(before), checked_build(after)]
    cases = module_cases(fuzz_count, fuzz_seed)
    first, second = dump_modules(builds, cases, timeout)
    status, lines = module_report(cases, first, second)
    print("\n".join(lines))
    return status


def main(argv: Sequence[str] | None = None) -> int:
    options = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    options.add_argument("revision", nargs="?", default=None,
                         help="the package mode: the git revision to compare with (main)")
    options.add_argument("--module-before", metavar="DIR", help="the module mode: one build")
    options.add_argument("--module-after", metavar="DIR", help="the module mode: the other")
    options.add_argument("--fuzz-count", type=int, default=3000, help="generated queries")
    options.add_argument("--fuzz-seed", type=int, default=20250101, help="their seed")
    options.add_argument("--timeout", type=float, default=3600,
                         help="seconds a module's child may take")
    args = options.parse_args(argv)
    module_mode = args.module_before is not None or args.module_after is not None
    if module_mode and (args.module_before is None or args.module_after is None):
        options.error("--module-before and --module-after go together")
    if module_mode and args.revision is not None:
        options.error("a REVISION is for the package mode, not with --module-before/after")
    if args.fuzz_count < 0:
        options.error("--fuzz-count cannot be negative")
    if module_mode:
        return compare_modules(args.module_before, args.module_after, args.fuzz_count,
                               args.fuzz_seed, args.timeout)
    return compare_package(args.revision or "main")


if __name__ == "__main__":
    sys.exit(main())
