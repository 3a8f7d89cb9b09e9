"""JSON Lines: one row per line, every key present (null where empty)."""

from __future__ import annotations

import json
from typing import TextIO

from ..rows import ROW_KEYS, FileLineage, Statement
from . import WriterOptions

# One encoder for every file: json.dumps with options makes a new one per call.
ENCODER = json.JSONEncoder(ensure_ascii=False)

# Where one row's object ends and the next begins in the JSON array of a
# file's rows. Inside an encoded string every quote is escaped, and after a
# string's closing quote comes ", ", ": " or "}", so this text, a quote
# opening the first key of an object, is found only between two rows.
BETWEEN_ROWS = '}, {"' + ROW_KEYS[0] + '": '


# Characters JSON allows raw inside a string that many line readers take for
# a line's end (Python's str.splitlines, JavaScript before ES2019): written
# as escapes, which decode to the same characters.
LINE_BREAKS = {0x85: "\\u0085", 0x2028: "\\u2028", 0x2029: "\\u2029"}


def json_lines(rows: list[dict[str, object]]) -> str:
    """The rows, one JSON object a line, encoded in one call for the file
    (a call per row costs a third more)."""
    if not rows:
        return ""
    array = ENCODER.encode(rows)
    if not array.isascii():
        array = array.translate(LINE_BREAKS)
    return array[1:-1].replace(BETWEEN_ROWS, BETWEEN_ROWS.replace(", ", "\n", 1)) + "\n"


class JsonLinesWriter:
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        self.out = out
        self.indirect = (options or WriterOptions()).indirect

    def write(self, lineage: FileLineage) -> None:
        # A file's rows encoded at once: a call per statement costs more.
        self.out.write(json_lines([record for statement in lineage.statements
                                   for record in statement.output_records(self.indirect)]))

    # A file written as its statements come (see formats.write_streamed).

    def begin_file(self, file: str) -> None:
        pass

    def statement(self, statement: Statement) -> None:
        self.out.write(json_lines(statement.output_records(self.indirect)))

    def end_file(self) -> None:
        pass

    def close(self) -> None:
        pass
