"""Answers about a whole pipeline (`--end-to-end`, `--upstream`,
`--downstream`) in the row formats: JSON Lines, CSV and the table. One row
per written (or asked-about) column and the column it reaches, with the path
between them."""

from __future__ import annotations

import csv
import json
from dataclasses import dataclass
from typing import TextIO

from ..pipeline import Column, Reach
from .csv_rows import csv_value
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


def column_keys(prefix: str, column: Column | None) -> dict:
    return {f"{prefix}_db": column.db if column else None,
            f"{prefix}_table": column.table if column else None,
            f"{prefix}_column": column.column if column else None}


def path_entries(reach: Reach) -> list[dict]:
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


def reach_record(question: str, reach: Reach) -> dict:
    return {"question": question, **column_keys("target", reach.target),
            **column_keys("source", reach.source), "kind": reach.kind if reach.source else None,
            "distance": reach.distance, "ultimate": reach.ultimate,
            "path": path_entries(reach), "files": reach.files}


class ReachJsonWriter:
    def __init__(self, out: TextIO):
        self.out = out

    def write(self, answer: Answer) -> None:
        for reach in answer.reaches:
            self.out.write(json.dumps(reach_record(answer.question, reach), ensure_ascii=False)
                           + "\n")


class ReachCsvWriter:
    """CSV: the path as text (`src -[file:statement]-> target`), the files
    joined with a space."""

    def __init__(self, out: TextIO):
        self.writer = csv.writer(out, quoting=csv.QUOTE_NOTNULL, lineterminator="\n")
        self.writer.writerow(REACH_KEYS)

    def write(self, answer: Answer) -> None:
        for reach in answer.reaches:
            record = reach_record(answer.question, reach)
            record["path"] = path_text(reach)
            record["files"] = " ".join(reach.files)
            self.writer.writerow([csv_value(record[key]) for key in REACH_KEYS])


class ReachTableWriter:
    def __init__(self, out: TextIO):
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


READERS = {"json": ReachJsonWriter, "csv": ReachCsvWriter, "table": ReachTableWriter}
