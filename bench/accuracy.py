"""Accuracy on the hand-labelled warehouse statements (tests/accuracy), side
by side in one run: the package, sqlglot's lineage module and, when it can be
run, the sqllineage package. For each, the share of labelled output columns
whose set of source columns is exactly the label; then the package's
mismatches with the expected and actual sets.

sqllineage is never a dependency of the project: it runs in its own venv
(SQLLINEAGE_PYTHON, default /tmp/sqllineage-venv/bin/python; create it with
`python3 -m venv /tmp/sqllineage-venv && /tmp/sqllineage-venv/bin/pip install
sqllineage`), through a subprocess. Without it, its column is skipped.

How the peers are called (as a data engineer would, given each statement):
- sqlglot: `lineage(name, query, schema=..., dialect="mysql", db=<USE db>)`
  per output column, on the statement's query (the SELECT of an INSERT or
  CREATE, with a WITH written before INSERT moved onto it; a REPLACE read as
  the INSERT it is); the name is the item's alias or column name, else the
  `_col_N` name sqlglot's qualification gives it, else the label's. The
  sources are the leaf nodes that are tables. An exception is a wrong answer.
- sqllineage: `LineageRunner(sql, dialect="mysql").get_column_lineage()` per
  statement, with the schema as its metadata provider; a SELECT is written as
  `INSERT INTO lineage_out.result (c1, ..., cN) SELECT ...` so that its output
  columns have targets (it reports none for a bare SELECT).

Run: .venv/bin/python bench/accuracy.py [--quiet]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))
sys.path.insert(1, os.path.join(ROOT, "src"))
sys.path.insert(2, os.path.join(ROOT, "tests"))

import logging  # noqa: E402

from sqlglot import exp, parse_one  # noqa: E402
from sqlglot.errors import SqlglotError  # noqa: E402
from sqlglot.lineage import lineage  # noqa: E402

from accuracy_labels import (Answer, Case, Label, load_cases, package_answers,  # noqa: E402
                             schema_mapping, show)

SQLLINEAGE_PYTHON = os.environ.get("SQLLINEAGE_PYTHON", "/tmp/sqllineage-venv/bin/python")

# Runs inside sqllineage's venv: jobs on stdin, one answer per job on stdout.
SQLLINEAGE_SCRIPT = r"""
import json, sys, warnings, logging
warnings.filterwarnings("ignore")
logging.disable(logging.CRITICAL)
from sqllineage.runner import LineageRunner
from sqllineage.core.metadata.dummy import DummyMetaDataProvider

def parent_of(column):
    parent = getattr(column, "parent", None)
    if parent is None:
        return None
    schema = getattr(getattr(parent, "schema", None), "raw_name", None)
    return [schema or "", getattr(parent, "raw_name", str(parent))]

answers = []
for job in json.load(sys.stdin):
    try:
        provider = DummyMetaDataProvider(job["schema"] or {})
        runner = LineageRunner(job["sql"], dialect="mysql", metadata_provider=provider,
                               silent_mode=True)
        paths = []
        for path in runner.get_column_lineage():
            first, last = path[0], path[-1]
            paths.append({"source": [parent_of(first), first.raw_name],
                          "target": [parent_of(last), last.raw_name]})
        answers.append({"paths": paths})
    except Exception as error:
        answers.append({"error": f"{type(error).__name__}: {error}"})
json.dump(answers, sys.stdout)
"""

DEFAULT_DB = "<default>"


# Statements of a case, as each peer is handed them.

def statement_queries(case: Case):
    """(labelled statement, parsed statement, USE db in force) for every
    statement of the case with a query."""
    database = ""
    for labelled in case.statements:
        tree = parse_statement(labelled.sql)
        if isinstance(tree, exp.Use):
            database = tree.this.name
        if labelled.has_query:
            yield labelled, tree, database


def as_insert(sql: str) -> str:
    """A REPLACE read as the INSERT it is (sqlglot 27 and sqllineage refuse it)."""
    text = sql.strip()
    return "INSERT" + text[7:] if text[:7].upper() == "REPLACE" else text


def has_star(query: exp.Query) -> bool:
    """A star among the select items: sqllineage then names the output columns
    itself, whatever column list the INSERT writes."""
    return any(isinstance(item, exp.Star) or (isinstance(item, exp.Column) and item.is_star)
               for item in query.selects)


def parse_statement(sql: str):
    try:
        return parse_one(as_insert(sql), dialect="mysql")
    except SqlglotError:
        return None


def query_of(tree):
    """The query of a SELECT, INSERT or CREATE statement, or None."""
    if isinstance(tree, exp.Query):
        return tree
    if isinstance(tree, (exp.Insert, exp.Create)) and isinstance(tree.expression, exp.Query):
        query = tree.expression.copy()
        if tree.args.get("with") is not None and query.args.get("with") is None:
            query.set("with", tree.args["with"].copy())
        return query
    return None


def item_name(query: exp.Query, label: Label) -> str:
    if label.name.endswith("*"):
        return "*"
    selects = query.selects
    if label.position > len(selects) or has_star(query):
        return label.name  # positions past a star: the name the star's column has
    item = selects[label.position - 1]
    return item.alias_or_name or f"_col_{label.position - 1}"


# sqlglot's lineage module.

def column_name(name: str) -> str:
    """The column of a lineage node's name ("t.a", "t.*"); sqlglot 30's
    to_column refuses a star."""
    if not name:
        return ""
    if name == "*" or name.endswith(".*"):
        return "*"
    try:
        return exp.to_column(name, dialect="mysql").name
    except TypeError:  # sqlglot 30 parses "db.t.a" to a Dot
        return exp.maybe_parse(name, dialect="mysql").name


def sqlglot_sources(node) -> frozenset:
    found = set()
    for each in node.walk():
        if each.downstream or not isinstance(each.source, exp.Table):
            continue
        table = each.source
        column = column_name(each.name)
        found.add((table.db.lower(), table.name.lower(), column.lower()))
    return frozenset(found)


def sqlglot_answers(case: Case) -> dict:
    schema = schema_mapping() if case.schema else None
    answers = {}
    for labelled, tree, database in statement_queries(case):
        query = query_of(tree)
        for label in labelled.columns:
            if query is None:
                continue
            try:
                node = lineage(item_name(query, label), query, schema=schema, dialect="mysql",
                               db=database or None)
            except Exception:  # noqa: BLE001  (any failure is a wrong answer)
                continue
            answers[label.key] = Answer(sqlglot_sources(node))
    return answers


# sqllineage, in its own venv.

def sqllineage_jobs(cases: list[Case]):
    """(label keys by target column name, job) for every statement with a query."""
    for case in cases:
        schema = sqllineage_schema() if case.schema else None
        for labelled, tree, _ in statement_queries(case):
            sql = as_insert(labelled.sql)
            names = ["*" if label.name.endswith("*") else label.name
                     for label in labelled.columns]
            if isinstance(tree, exp.Query) and has_star(tree):
                sql = f"INSERT INTO lineage_out.result\n{sql}"
            elif isinstance(tree, exp.Query):
                names = [f"c{label.position}" for label in labelled.columns]
                sql = f"INSERT INTO lineage_out.result ({', '.join(names)})\n{sql}"
            keys: dict[str, list] = {}
            for name, label in zip(names, labelled.columns):
                keys.setdefault(name.lower(), []).append(label.key)
            yield keys, {"sql": sql, "schema": schema}


def sqllineage_schema() -> dict:
    return {f"{db}.{table}": list(columns)
            for db, tables in schema_mapping().items() for table, columns in tables.items()}


def sqllineage_source(raw) -> tuple:
    parent, column = raw
    if parent is None:
        return ("?", "?", column.lower())
    db, table = parent
    db = "" if db == DEFAULT_DB else db
    return (db.lower(), table.lower(), column.lower())


def sqllineage_answers(cases: list[Case]) -> tuple[dict | None, str]:
    """The answers, or None and why sqllineage could not be run."""
    if not os.path.exists(SQLLINEAGE_PYTHON):
        return None, f"not installed ({SQLLINEAGE_PYTHON} missing)"
    jobs = list(sqllineage_jobs(cases))
    try:
        run = subprocess.run([SQLLINEAGE_PYTHON, "-c", SQLLINEAGE_SCRIPT],
                             input=json.dumps([job for _, job in jobs]), capture_output=True,
                             text=True, timeout=600, check=False)
        results = json.loads(run.stdout)
    except (OSError, subprocess.TimeoutExpired, json.JSONDecodeError) as error:
        return None, f"could not be run ({type(error).__name__})"
    answers: dict = {}
    for (keys, _), result in zip(jobs, results):
        found: dict = {key: set() for names in keys.values() for key in names}
        for path in result.get("paths", []):
            for key in keys.get(path["target"][1].lower(), []):
                found[key].add(sqllineage_source(path["source"]))
        if "error" not in result:
            answers.update({key: Answer(frozenset(sources)) for key, sources in found.items()})
    return answers, ""


# Scores.

def exactly_right(labels: list[Label], answers: dict) -> int:
    return sum(1 for label in labels
               if label.key in answers and answers[label.key].sources == label.sources)


def package_all(cases: list[Case]) -> dict:
    answers: dict = {}
    for case in cases:
        answers.update(package_answers(case)[0])
    return answers


def print_mismatches(labels: list[Label], answers: dict) -> None:
    wrong = [label for label in labels
             if label.key not in answers or answers[label.key].sources != label.sources]
    print(f"\nthe package's mismatches ({len(wrong)}):")
    for label in wrong:
        answer = answers.get(label.key)
        actual = show(answer.sources) if answer else "no output column"
        print(f"  {label.case} statement {label.statement} position {label.position} "
              f"({label.name}): expected {show(label.sources)}, got {actual}")


def main(argv: list[str]) -> int:
    logging.getLogger("sqlglot").setLevel(logging.ERROR)  # REPLACE's "falling back" warning
    cases = load_cases()
    labels = [label for case in cases for label in case.labels()]
    statements = sum(1 for case in cases for each in case.statements if each.has_query)
    print(f"{len(cases)} files, {statements} statements with a query, "
          f"{len(labels)} labelled output columns")
    ours = package_all(cases)
    scores = [("column_lineage (this package)", exactly_right(labels, ours)),
              ("sqlglot.lineage", exactly_right(labels, sqlglot_answers_all(cases)))]
    peer, why = sqllineage_answers(cases)
    for name, right in scores:
        print(f"  {name:32} {right:4}/{len(labels)} = {right / len(labels):6.1%}")
    if peer is None:
        print(f"  {'sqllineage':32} skipped: {why}")
    else:
        right = exactly_right(labels, peer)
        print(f"  {'sqllineage':32} {right:4}/{len(labels)} = {right / len(labels):6.1%}")
    if "--quiet" not in argv:
        print_mismatches(labels, ours)
    return 0


def sqlglot_answers_all(cases: list[Case]) -> dict:
    answers: dict = {}
    for case in cases:
        answers.update(sqlglot_answers(case))
    return answers


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
