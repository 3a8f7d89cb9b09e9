"""CSV: the rows with a header line, written by the standard library's
writer.

Every value is quoted except a missing one, which is an empty unquoted
field: PostgreSQL's `COPY ... (FORMAT csv)` reads that as NULL and a quoted
empty field as the empty string, and Python reads it back as None with
`quoting=csv.QUOTE_NOTNULL`. Booleans are written `true`/`false`. Values
are exact, as a database loads them; with the command's --csv-safe a text
that a spreadsheet would run as a formula (one beginning with =, +, -, @,
a tab or a carriage return) gets a leading apostrophe instead."""

from __future__ import annotations

import csv
from typing import TextIO

from ..rows import INDIRECT_OUTPUT_KEYS, OUTPUT_KEYS, FileLineage, Statement
from . import WriterOptions

# What a spreadsheet runs as a formula when a cell begins with it.
FORMULA_STARTS = ("=", "+", "-", "@", "\t", "\r")


def csv_value(value: object, safe: bool = False) -> object:
    """A value as its CSV field. `safe`: a text a spreadsheet would run as a
    formula gets a leading apostrophe (which the spreadsheet shows as text)."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if safe and isinstance(value, str) and value.startswith(FORMULA_STARTS):
        return "'" + value
    return value


class CsvWriter:
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        options = options or WriterOptions()
        self.writer = csv.writer(out, quoting=csv.QUOTE_NOTNULL, lineterminator="\n")
        self.safe = options.csv_safe
        self.indirect = options.indirect
        self.keys = INDIRECT_OUTPUT_KEYS if self.indirect else OUTPUT_KEYS
        self.writer.writerow(self.keys)

    def write(self, lineage: FileLineage) -> None:
        for statement in lineage.statements:
            self.statement(statement)

    def begin_file(self, file: str) -> None:
        pass

    def statement(self, statement: Statement) -> None:
        for record in statement.output_records(self.indirect):
            self.writer.writerow([csv_value(record[key], self.safe) for key in self.keys])

    def end_file(self) -> None:
        pass

    def close(self) -> None:
        pass
