"""A readable table per statement: a heading per file and statement, every
value in full, unresolved and ambiguous rows marked.

Nothing heavier than the standard library is imported here, so the command
starts quickly with this format. Cells wrap only when standard output is a
terminal narrower than the table."""

from __future__ import annotations

import re
import shutil
import unicodedata
from collections.abc import Callable, Sequence
from typing import TextIO

from ..rows import FileLineage, Row, Statement
from ..terminal import escaped
from . import WriterOptions

UNRESOLVED = "?"
AMBIGUOUS = "!"
LEGEND = (
    f"{UNRESOLVED} unresolved: no base table was found for the column, or only a schema "
    "would say which column of a star it is",
    f"{AMBIGUOUS} ambiguous: the column could come from more than one table",
)
GAP = "  "
NARROWEST = 4  # a wrapped column keeps at least this many characters
# A line's pieces that wrapping keeps whole where it can: a word up to and
# with a dot or underscore, and the spaces after it.
BREAKABLE = r"[^\s._]*[._]+\s*|[^\s._]+\s*|\s+"


def mark(row: Row) -> str:
    marks = ""
    if row.unresolved:
        marks += UNRESOLVED
    if row.ambiguous:
        marks += AMBIGUOUS
    return marks


def source_table(row: Row) -> str:
    return ".".join(part for part in (row.table_db, row.table_name) if part)


# A column of the table: its heading and how to read its cell from a row.
Column = tuple[str, Callable[[Row], object]]

# The table's columns. The mark, target and note columns are left out of a
# statement that has none.
COLUMNS: tuple[Column, ...] = (
    ("", mark),
    ("#", lambda row: str(row.position)),
    ("output", lambda row: row.output_name),
    ("target", lambda row: row.target_column),
    ("kind", lambda row: row.column_type),
    ("source column", lambda row: row.column_name),
    ("qualifier", lambda row: row.column_table),
    ("source table", source_table),
    ("table alias", lambda row: row.table_alias),
    ("note", lambda row: row.note),
)
OPTIONAL = ("", "target", "note")


def printable(value: object) -> str:
    """The value as cell text: None is empty, control characters other than
    a line break are shown escaped so that they cannot move the cursor."""
    if value is None:
        return ""
    return escaped(str(value).replace("\r\n", "\n"), keep_newlines=True)


def printable_rows(rows: Sequence[Sequence[object]]) -> list[list[str]]:
    """printable() of every value of a table's rows, checked all at once in
    the usual case: no value holds a line break or a control character."""
    texts = [["" if value is None else str(value) for value in row] for row in rows]
    if "".join(["".join(row) for row in texts]).isprintable():
        return texts
    return [[printable(value) for value in row] for row in rows]


def char_width(ch: str) -> int:
    if unicodedata.combining(ch):
        return 0
    return 2 if unicodedata.east_asian_width(ch) in ("W", "F") else 1


def display_width(text: str) -> int:
    if text.isascii():  # one column per character, without a lookup per character
        return len(text)
    return sum(char_width(ch) for ch in text)


def split_chars(text: str, width: int) -> list[str]:
    """Text cut into pieces at most `width` columns wide, anywhere."""
    pieces, piece = [], ""
    for ch in text:
        if piece and display_width(piece + ch) > width:
            pieces.append(piece)
            piece = ""
        piece += ch
    return [*pieces, piece]


def split_to_width(line: str, width: int) -> list[str]:
    """One line of text cut into pieces at most `width` columns wide, after
    a space, dot or underscore where it can, anywhere where it cannot."""
    pieces = [""]
    for word in re.findall(BREAKABLE, line):
        if display_width((pieces[-1] + word).rstrip()) <= width:
            pieces[-1] += word
        elif display_width(word.rstrip()) <= width:
            pieces.append(word)
        else:  # wider than a line: cut it, starting on the current line
            core = word.rstrip()
            pieces[-1:] = split_chars(pieces[-1] + core, width)
            pieces[-1] += word[len(core):]
    return [piece.rstrip() for piece in pieces]


def cell_lines(text: str, width: int | None) -> list[str]:
    lines = text.split("\n")
    if width is None:
        return lines
    return [piece for line in lines for piece in split_to_width(line, width)]


def natural_width(texts: list[str]) -> int:
    return max((display_width(line) for text in texts for line in text.split("\n")), default=0)


def narrowest(heading: str, natural: int) -> int:
    """How narrow a column may get: its heading's longest word stays whole."""
    longest_word = max((display_width(word) for word in heading.split()), default=0)
    return min(natural, max(NARROWEST, longest_word))


def fit_widths(widths: list[int], floors: list[int], room: int) -> list[int]:
    """Narrows the widest columns, one character at a time, until the
    columns and the gaps between them fit in `room` or none can narrow."""
    widths = list(widths)
    room -= len(GAP) * (len(widths) - 1)
    while sum(widths) > room:
        narrowable = [i for i, width in enumerate(widths) if width > floors[i]]
        if not narrowable:
            break
        widths[max(narrowable, key=lambda i: widths[i])] -= 1
    return widths


def pad(text: str, width: int) -> str:
    if text.isascii():
        return text.ljust(width)
    return text + " " * (width - display_width(text))


def ascii_widths(rows: list[list[str]], room: int | None) -> list[int] | None:
    """The columns' widths when every cell is ASCII text on one line (a
    character a column) and the table fits in `room`; else None."""
    text = "".join(["".join(row) for row in rows])
    if not text.isascii() or "\n" in text:
        return None
    widths = [max(map(len, column)) for column in zip(*rows)]
    if room is not None and sum(widths) + len(GAP) * (len(widths) - 1) > room:
        return None
    return widths


def render_table(header: list[str], body: list[list[str]], room: int | None) -> list[str]:
    """Aligned lines: the header, a rule, then the rows. With `room` (the
    terminal's width) wider tables have their cells wrapped."""
    widths = ascii_widths([header, *body], room)
    if widths is not None:  # the usual table: each cell padded as it is, without a look at each
        return [GAP.join([cell.ljust(width) for cell, width in zip(cells, widths)]).rstrip()
                for cells in [header, ["-" * width for width in widths], *body]]
    natural = [natural_width([heading, *[row[i] for row in body]])
               for i, heading in enumerate(header)]
    floors = [narrowest(heading, width) for heading, width in zip(header, natural)]
    widths = natural if room is None else fit_widths(natural, floors, room)
    wrap = room is not None and widths != natural
    lines = []
    for cells in [header, ["-" * w for w in widths], *body]:
        if not wrap and not any("\n" in cell for cell in cells):  # one line, as it is
            lines.append(GAP.join([pad(cell, w) for cell, w in zip(cells, widths)]).rstrip())
            continue
        split = [cell_lines(cell, w if wrap else None) for cell, w in zip(cells, widths)]
        for n in range(max(len(parts) for parts in split)):
            parts = [pad(parts[n] if n < len(parts) else "", w) for parts, w in zip(split, widths)]
            lines.append(GAP.join(parts).rstrip())
    return lines


def statement_heading(statement: Statement) -> str:
    heading = f"statement {statement.label}: {statement.kind}"
    target = ".".join(part for part in (statement.target_db, statement.target_table) if part)
    if target:
        heading += f" -> {target}"
    return escaped(heading)


def statement_columns(statement: Statement) -> list[Column]:
    """The table's columns for this statement: optional ones only when some
    row has a value for them."""
    kept = []
    for heading, cell in COLUMNS:
        if heading in OPTIONAL and not any(cell(row) for row in statement.rows):
            continue
        kept.append((heading, cell))
    return kept


def statement_lines(statement: Statement, room: int | None) -> list[str]:
    heading = statement_heading(statement)
    if statement.skipped:
        return [f"{heading}: skipped ({escaped(statement.skipped)})"]
    if statement.error:
        return [f"{heading}: not analysed ({escaped(statement.error)})"]
    if not statement.rows:
        return [f"{heading}: no output columns"]
    columns = statement_columns(statement)
    body = printable_rows([[cell(row) for _, cell in columns] for row in statement.rows])
    return [heading, "", *render_table([heading for heading, _ in columns], body, room)]


def indirect_lines(statement: Statement) -> list[str]:
    """A line per output column (first, every column: the dataset level)
    that some columns decide, rather than fill: each subtype with its
    columns."""
    decided: dict[str, dict[str, list[str]]] = {}
    for row in statement.indirect:
        where = "every column" if row.position is None else \
            (row.target_column or row.output_name or str(row.position))
        column = ".".join(part for part in (row.table_db, row.table_name, row.column_name) if part)
        decided.setdefault(where, {}).setdefault(row.subtype, []).append(column)
    return [escaped(f"indirect, {where}: " + "; ".join(
        f"{subtype} {', '.join(columns)}" for subtype, columns in subtypes.items()))
        for where, subtypes in decided.items()]


def file_heading(name: str) -> list[str]:
    title = escaped(name)
    return [title, "=" * display_width(title)]


def terminal_width(out: TextIO) -> int | None:
    """The width of the terminal `out` writes to; None where it is none."""
    isatty = getattr(out, "isatty", None)
    if isatty is None or not isatty():
        return None
    return shutil.get_terminal_size().columns


def inert_line(kinds: list[str]) -> str:
    """One line for a file's statements that move no data (their kinds):
    how many of each kind, most first."""
    counts: dict[str, int] = {}
    for kind in kinds:
        counts[kind] = counts.get(kind, 0) + 1
    counted = sorted(counts.items(), key=lambda entry: (-entry[1], entry[0]))
    return escaped(f"{len(kinds)} statement{'s' * (len(kinds) != 1)} moving no data: "
                   + ", ".join(f"{count} {kind}" for kind, count in counted)
                   + " (--verbose lists them)")


class TableWriter:
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        options = options or WriterOptions()
        self.out = out
        self.room = terminal_width(out)
        self.first = True
        self.marked = False
        self.verbose = options.verbose
        self.indirect = options.indirect
        self.inert: list[str] = []

    def write(self, lineage: FileLineage) -> None:
        self.begin_file(lineage.file)
        for statement in lineage.statements:
            self.statement(statement)
        self.end_file()

    def begin_file(self, file: str) -> None:
        """The file's heading (after a blank line but for the first file)."""
        self.out.write(("" if self.first else "\n") + "\n".join(file_heading(file)))
        self.first = False
        self.inert = []

    def statement(self, statement: Statement) -> None:
        if statement.moves_data or self.verbose:
            lines = statement_lines(statement, self.room)
            if self.indirect and statement.indirect:
                lines += ["", *indirect_lines(statement)]
            self.out.write("\n\n" + "\n".join(lines))
        else:
            self.inert.append(statement.kind)
        self.marked = self.marked or any(mark(row) for row in statement.rows)

    def end_file(self) -> None:
        """The folded line of the statements moving no data, and the file's last newline."""
        if self.inert:
            self.out.write("\n\n" + inert_line(self.inert))
        self.out.write("\n")

    def close(self) -> None:
        if self.marked:
            self.out.write("\n" + "\n".join(LEGEND) + "\n")
