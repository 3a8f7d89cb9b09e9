"""Checks that a change to the package leaves its answers as they were: the
rows (as dicts), statement kinds, targets, skips and errors of every corpus
query, every labelled accuracy case, the warehouse fixtures (without a
schema, with it as DDL and as JSON) and every SQL text in the warehouse
tests, from the package at a git revision and from the working tree, each
in its own interpreter, compared one by one.

Run: .venv/bin/python tools/same_rows.py [REVISION]   (default: main)
Exit status 0 when every answer is the same, 1 with the first differences.
"""

from __future__ import annotations

import ast
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "bench"))

from shared_corpus import corpus_queries  # noqa: E402

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
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from accuracy_labels import load_cases, schema_text
    return [(case.text, schema_text(case)) for case in load_cases()]


def inputs() -> list[tuple[str, str | None]]:
    """(SQL text, schema text or None) of every check."""
    schemas = [None] + [read(os.path.join(WAREHOUSE, name))
                        for name in ("schema.sql", "schema.json")]
    fixtures = [read(os.path.join(WAREHOUSE, name)) for name in ("etl.sql", "mysqldump.sql")]
    fixtures.append(read(os.path.join(ROOT, "src", "column_lineage", "examples", "warehouse.sql")))
    literals = [text for name in TEST_FILES if os.path.exists(os.path.join(ROOT, "tests", name))
                for text in sql_literals(os.path.join(ROOT, "tests", name))]
    cases = [(sql, None) for sql in corpus_queries()]
    cases += [(text, schema) for text in fixtures + literals for schema in schemas]
    return cases + labelled_cases()


def dump(source_root: str, cases) -> list:
    """The answers of the package under `source_root`/src, in a fresh
    interpreter (the native module from this checkout's build/)."""
    environment = {**os.environ, "PYTHONPATH": os.path.join(source_root, "src")}
    result = subprocess.run([sys.executable, "-c", DUMP], input=json.dumps(cases),
                            capture_output=True, text=True, env=environment, check=False)
    if result.returncode != 0:
        raise SystemExit(f"dumping the rows of {source_root} failed:\n{result.stderr[-2000:]}")
    return json.loads(result.stdout)


def revision_tree(revision: str, directory: str) -> str:
    """The package at `revision`, unpacked in `directory` beside a link to
    this checkout's build/."""
    archive = subprocess.run(["git", "-C", ROOT, "archive", revision, "src"],
                             capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", directory], input=archive, check=True)
    os.symlink(os.path.join(ROOT, "build"), os.path.join(directory, "build"))
    return directory


def main() -> int:
    revision = sys.argv[1] if len(sys.argv) > 1 else "main"
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


if __name__ == "__main__":
    sys.exit(main())
