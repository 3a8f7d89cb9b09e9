"""The native module's own report per statement: the records as a data
frame, then one labelled line each. With several files or statements a
heading names the file, and the statement with its kind and target; a
statement without a query gets one line saying so."""

from __future__ import annotations

from typing import TextIO

from ..native import report_module
from ..rows import FileLineage, LineageRecord, Statement
from ..terminal import escaped
from . import WriterOptions


def shown(record: LineageRecord) -> dict[str, object]:
    """A record with its texts escaped for the terminal (see terminal)."""
    return {key: escaped(value) if isinstance(value, str) else value
            for key, value in record.items()}


def statement_label(statement: Statement) -> str:
    label = f"statement {statement.label}: {statement.kind}"
    target = ".".join(part for part in (statement.target_db, statement.target_table) if part)
    return f"{label} -> {target}" if target else label


class ReportWriter:
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        self.out = out
        self.headings = (options or WriterOptions()).several_files
        self.first = True
        self.file = ""
        # A file's first statement, until a second says it has several.
        self.held: Statement | None = None
        self.several = False

    def write(self, lineage: FileLineage) -> None:
        self.begin_file(lineage.file)
        for statement in lineage.statements:
            self.statement(statement)
        self.end_file()

    def begin_file(self, file: str) -> None:
        self.file, self.held, self.several = file, None, False

    def statement(self, statement: Statement) -> None:
        if self.held is None and not self.several:
            self.held = statement
            return
        if self.held is not None:
            self.several = True
            self.report(self.held)
            self.held = None
        self.report(statement)

    def end_file(self) -> None:
        if self.held is not None:
            self.report(self.held)
            self.held = None

    def report(self, statement: Statement) -> None:
        if not statement.skipped and not statement.rows:
            return  # failed: the command has said why on standard error
        if not self.first:
            self.out.write("\n")
        self.first = False
        if self.headings or self.several:
            number = f" ({statement_label(statement)})" if self.several else ""
            self.out.write(f"==> {escaped(self.file + number)} <==\n")
        if statement.skipped:
            self.out.write(f"skipped: {escaped(statement.skipped)}\n")
            return
        self.out.flush()
        report_module().print_report([shown(row.module_record()) for row in statement.rows])

    def close(self) -> None:
        pass
