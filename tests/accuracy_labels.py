"""The hand-labelled lineage of tests/accuracy/cases.yaml and the package's
answers to it, compared output column by output column.

An output column is keyed (case id, statement number, position); its lineage
is the set of its sources as (db, table, column), lower case, db "" where
unknown."""

from __future__ import annotations

import json
import os
from dataclasses import dataclass, field

import yaml

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "accuracy")
CASES = os.path.join(HERE, "cases.yaml")
SCHEMA = os.path.join(HERE, "schema.json")

Source = tuple[str, str, str]


def source(text: str) -> Source:
    """("db", "table", "column") from "db.table.column" or "table.column"."""
    parts = text.lower().split(".")
    if len(parts) == 2:
        parts.insert(0, "")
    if len(parts) != 3:
        raise ValueError(f"not db.table.column: {text!r}")
    return (parts[0], parts[1], parts[2])


def show(sources) -> str:
    return "{" + ", ".join(".".join(part for part in item if part) if item[0] else
                           ".".join(item[1:]) for item in sorted(sources)) + "}"


@dataclass(frozen=True)
class Label:
    """One hand-labelled output column."""

    case: str
    statement: int
    position: int
    name: str
    sources: frozenset[Source]
    write: bool

    @property
    def key(self) -> tuple[str, int, int]:
        return (self.case, self.statement, self.position)


@dataclass
class LabelledStatement:
    number: int
    sql: str
    target: tuple[str, str] | None = None
    columns: list[Label] = field(default_factory=list)

    @property
    def has_query(self) -> bool:
        return bool(self.columns)


@dataclass
class Case:
    id: str
    statements: list[LabelledStatement]
    schema: bool = False

    @property
    def text(self) -> str:
        return ";\n".join(statement.sql.strip() for statement in self.statements) + ";\n"

    def labels(self) -> list[Label]:
        return [label for statement in self.statements for label in statement.columns]


def target_of(text: str | None) -> tuple[str, str] | None:
    if not text:
        return None
    db, _, table = text.lower().rpartition(".")
    return (db, table)


def load_statement(case_id: str, number: int, raw: dict) -> LabelledStatement:
    target = target_of(raw.get("target"))
    columns = [Label(case_id, number, position, str(name).lower(),
                     frozenset(source(item) for item in sources), target is not None)
               for position, (name, sources) in enumerate(raw.get("columns") or [], 1)]
    return LabelledStatement(number, raw["sql"], target, columns)


def load_cases(path: str = CASES) -> list[Case]:
    with open(path, encoding="utf-8") as handle:
        raw_cases = yaml.safe_load(handle)
    return [Case(raw["id"],
                 [load_statement(raw["id"], number, statement)
                  for number, statement in enumerate(raw["statements"], 1)],
                 bool(raw.get("schema")))
            for raw in raw_cases]


def schema_mapping() -> dict:
    with open(SCHEMA, encoding="utf-8") as handle:
        return json.load(handle)


def schema_text(case: Case) -> str | None:
    if not case.schema:
        return None
    with open(SCHEMA, encoding="utf-8") as handle:
        return handle.read()


# The package's answers.

@dataclass(frozen=True)
class Answer:
    """What a tool says of one output column: its sources and, for the
    package, the target column it fills (None when it says nothing)."""

    sources: frozenset[Source]
    target_column: str | None = None


def row_source(row) -> Source | None:
    if row.table_name is None or row.column_name is None:
        return None
    return ((row.table_db or "").lower(), row.table_name.lower(), row.column_name.lower())


def package_answers(case: Case):
    """{(case, statement, position): Answer} and {statement number: the
    package's Statement} for one case."""
    from column_lineage import analyse_sql

    statements = analyse_sql(case.text, dialect="mysql", schema=schema_text(case),
                             file=f"{case.id}.sql")
    answers = {}
    for statement in statements:
        sources: dict[int, set[Source]] = {column.position: set() for column in statement.columns}
        for row in statement.rows:
            found = row_source(row)
            if found is not None:
                sources.setdefault(row.position, set()).add(found)
        targets = {column.position: column.target_column for column in statement.columns}
        for position, found in sources.items():
            target = targets.get(position)
            answers[(case.id, statement.number, position)] = Answer(
                frozenset(found), target.lower() if target else None)
    return answers, {statement.number: statement for statement in statements}


def package_problems(case: Case) -> list[tuple[int, str]]:
    """Every way the package's answer for the case differs from its labels,
    as (statement number, what differs); empty when it is exactly right."""
    answers, statements = package_answers(case)
    problems = []
    for labelled in case.statements:
        statement = statements.get(labelled.number)
        found = (["missing"] if statement is None else
                 statement_problems(labelled, statement, answers))
        problems.extend((labelled.number, problem) for problem in found)
    return problems


def statement_problems(labelled: LabelledStatement, statement, answers: dict) -> list[str]:
    if not labelled.has_query:
        return [] if statement.skipped else [f"not skipped ({statement.kind})"]
    if statement.error or statement.skipped:
        return [statement.error or statement.skipped]
    problems = []
    target = ((statement.target_db or "").lower(), statement.target_table.lower()) \
        if statement.target_table else None
    if target != labelled.target:
        problems.append(f"target {target} != {labelled.target}")
    if len(statement.columns) != len(labelled.columns):
        problems.append(f"{len(statement.columns)} output columns != {len(labelled.columns)}")
    for label in labelled.columns:
        problems.extend(column_problems(label, answers.get(label.key)))
    return problems


def column_problems(label: Label, answer: Answer | None) -> list[str]:
    where = f"position {label.position} ({label.name})"
    if answer is None:
        return [f"{where}: no output column"]
    problems = []
    if answer.sources != label.sources:
        problems.append(f"{where}: sources {show(answer.sources)} != {show(label.sources)}")
    if label.write and answer.target_column != label.name:
        problems.append(f"{where}: target column {answer.target_column} != {label.name}")
    return problems
