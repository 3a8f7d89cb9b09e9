"""Answers about a whole pipeline (`--end-to-end`, `--upstream`,
`--downstream`) in the row formats: JSON Lines, CSV and the table. One row
per written (or asked-about) column and the column it reaches, with the path
between them."""

from __future__ import annotations

import csv
import json
from collections.abc import Callable
from dataclasses import dataclass
from itertools import pairwise
from typing import Protocol, TextIO

from ..pipeline import Column, Reach
from ..rows import FileLineage, OutputColumn, Row, Statement, TableName
from . import WriterOptions
from .csv_rows import csv_value
from .json_lines import LINE_BREAKS
from .table import printable_rows, render_table, terminal_width

REACH_KEYS = (
    "question", "target_db", "target_table", "target_column", "source_db", "source_table",
    "source_column", "kind", "distance", "ultimate", "path", "files",
)


@dataclass(frozen=True)
class Answer:
    """The reaches that answer one question: "end-to-end", "upstream NAME"
    or "downstream NAME"."""

    question: str
    reaches: list[Reach]


def column_keys(prefix: str, column: Column | None) -> dict[str, str | None]:
    return {f"{prefix}_db": column.db if column else None,
            f"{prefix}_table": column.table if column else None,
            f"{prefix}_column": column.column if column else None}


def path_entries(reach: Reach) -> list[dict[str, str | None]]:
    """The path from the source to the target: each column, with the file and
    statement that wrote it from the one before."""
    return [{"column": str(step.column), "file": step.step.file if step.step else None,
             "statement": step.step.statement if step.step else None} for step in reach.path]


def path_text(reach: Reach) -> str:
    parts = []
    for step in reach.path:
        if step.step is not None:
            parts.append(f"-[{step.step.file}:{step.step.statement}]->")
        parts.append(str(step.column))
    return " ".join(parts)


def reach_record(question: str, reach: Reach) -> dict[str, object]:
    return {"question": question, **column_keys("target", reach.target),
            **column_keys("source", reach.source), "kind": reach.kind if reach.source else None,
            "distance": reach.distance, "ultimate": reach.ultimate,
            "path": path_entries(reach), "files": reach.files}


class ReachJsonWriter:
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        self.out = out

    def write(self, answer: Answer) -> None:
        for reach in answer.reaches:
            line = json.dumps(reach_record(answer.question, reach), ensure_ascii=False)
            self.out.write((line if line.isascii() else line.translate(LINE_BREAKS)) + "\n")


class ReachCsvWriter:
    """CSV: the path as text (`src -[file:statement]-> target`), the files
    joined with a space."""

    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        self.writer = csv.writer(out, quoting=csv.QUOTE_NOTNULL, lineterminator="\n")
        self.safe = (options or WriterOptions()).csv_safe
        self.writer.writerow(REACH_KEYS)

    def write(self, answer: Answer) -> None:
        for reach in answer.reaches:
            record = reach_record(answer.question, reach)
            record["path"] = path_text(reach)
            record["files"] = " ".join(reach.files)
            self.writer.writerow([csv_value(record[key], self.safe) for key in REACH_KEYS])


class ReachTableWriter:
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        self.out = out
        self.room = terminal_width(out)
        self.first = True

    def write(self, answer: Answer) -> None:
        if not self.first:
            self.out.write("\n")
        self.first = False
        self.out.write(f"{answer.question}\n{'=' * len(answer.question)}\n\n")
        if not answer.reaches:
            self.out.write("nothing\n")
            return
        body = [[str(reach.target), str(reach.source) if reach.source else "(no source)",
                 reach.kind if reach.source else "", str(reach.distance),
                 "yes" if reach.ultimate else "", path_text(reach)] for reach in answer.reaches]
        lines = render_table(["column", "reads", "kind", "steps", "ultimate", "path"],
                             printable_rows(body), self.room)
        self.out.write("\n".join(lines) + "\n")


class AnswerWriter(Protocol):
    """A writer of the answers about a pipeline: each answer in turn."""

    def write(self, answer: Answer) -> None: ...


# The answers' writer of each row format: made with the output stream and
# the writers' options.
READERS: dict[str, Callable[[TextIO, WriterOptions | None], AnswerWriter]] = {
    "json": ReachJsonWriter, "csv": ReachCsvWriter, "table": ReachTableWriter}


def as_lineages(answers: list[Answer], fold_temporary: bool = False) -> list[FileLineage]:
    """The answers as the statements that wrote what they reach, for the
    formats that draw or send a file's statements (dot, mermaid, html,
    openlineage). End to end, each written column reads its ultimate sources
    straight (temporary tables and other steps folded away), written by the
    statement that last wrote it; upstream and downstream draw every step
    of each path, but for the temporary tables' columns with
    `fold_temporary`."""
    edges: dict[tuple[str, str, str, str], list[tuple[Column, Column, str]]] = {}
    for answer in answers:
        for reach in answer.reaches:
            if reach.source is None:
                continue
            path = [step for step in reach.path if not step.temporary] if fold_temporary \
                else list(reach.path)
            hops = [(path[0].column, path[-1])] if answer.question == "end-to-end" else \
                [(before.column, after) for before, after in pairwise(path)]
            for source, after in hops:
                step = after.step
                if step is None:
                    continue
                target = after.column
                key = (step.file, step.statement, (target.db or "").lower(), target.table.lower())
                edges.setdefault(key, []).append((source, target, step.transformation))
    files: dict[str, FileLineage] = {}
    for (file, label, _, _), found in edges.items():
        lineage = files.setdefault(file, FileLineage(file))
        lineage.statements.append(written_statement(file, label, found))
    for lineage in files.values():
        lineage.statements.sort(key=lambda statement: (statement.number, statement.place or 0))
    return list(files.values())


def written_statement(file: str, label: str, edges: list[tuple[Column, Column, str]]) -> Statement:
    """One statement's writes of one table: an output column per column
    written, a row per column it reads."""
    number, _, place = label.partition(".")
    target = edges[0][1]
    statement = Statement(file=file, number=int(number), kind="END TO END",
                          place=int(place) if place else None,
                          target_db=target.db, target_table=target.table)
    positions: dict[str, int] = {}
    seen: set[tuple[int, tuple[str, str, str]]] = set()
    for source, written, transformation in edges:
        position = positions.get(written.column.lower())
        if position is None:
            position = positions[written.column.lower()] = len(positions) + 1
            statement.columns.append(OutputColumn(position, written.column, str(written),
                                                  transformation, written.column, written.db,
                                                  written.table))
        if (position, source.key) in seen:
            continue
        seen.add((position, source.key))
        statement.rows.append(Row.from_fields({
            "file": file, "statement": statement.number, "place": statement.place,
            "position": position, "output_name": written.column, "target_db": written.db,
            "target_table": written.table, "target_column": written.column,
            "column_sort": position, "column_name": source.column, "column_alias": written.column,
            "column_table": source.table, "column_type": "column", "table_db": source.db,
            "table_name": source.table, "table_alias": None, "resolved": True,
            "ambiguous": False, "note": None}))
        if TableName(source.db, source.table) not in statement.reads:
            statement.reads.append(TableName(source.db, source.table))
    return statement
