"""A MySQL script cut into the statements the server runs, as the mysql
command-line client cuts it: at the current delimiter outside quotes and
comments, with `DELIMITER` lines changing that delimiter, `\\g` and `\\G`
ending a statement, and executable comments (`/*!50001 … */`) read as the
SQL they hold.

The scan jumps with compiled regular expressions from one character that
matters to the next; quoted strings and identifiers are skipped inside the
expression, so Python code runs once per statement, comment or dash pair,
never once per character or per string."""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, field
from functools import lru_cache

__all__ = ["Chunk", "split_script"]


@dataclass(frozen=True)
class Chunk:
    """One statement of a script: its number among the statements the server
    runs, the SQL it runs (comments blanked out, executable comments opened,
    no delimiter), the statement as written in the file, and the 1-based line
    and column where `text` begins in the file."""

    number: int
    text: str
    written: str
    line: int
    column: int


# MySQL's whitespace (the server and the client know no other).
WHITESPACE = " \t\n\r\f\v"
CONTENT = re.compile(r"[^ \t\n\r\f\v]")

# A quoted string or identifier, closed: backslash escapes in '…' and "…",
# none in `…`; a doubled quote reads as two strings side by side.
QUOTED = (r"'[^'\\]*+(?:\\[\s\S][^'\\]*+)*+'"
          r'|"[^"\\]*+(?:\\[\s\S][^"\\]*+)*+"'
          r"|`[^`]*+`")

# The characters that may start something other than plain SQL text.
SIGNIFICANT = "'\"`\\#/-\n"

# A DELIMITER line: the keyword first on its line, then blanks, the word
# (none: the client refuses the line and keeps its delimiter), the rest.
DELIMITER_KEYWORD = r"[ \t\r\f\v]*+(?i:delimiter)(?![^ \t\r\f\v\n])"
DELIMITER_WORDS = DELIMITER_KEYWORD + r"[ \t\r\f\v]*+(?P<word>[^ \t\n\r\f\v]++)?[^\n]*+"
FIRST_LINE_DELIMITER = re.compile(DELIMITER_WORDS, re.ASCII)

# The client's `source FILE` (or `\. FILE`): a line of its own that it runs
# itself when no statement is pending; the server never sees it.
SOURCE_KEYWORD = r"[ \t\r\f\v]*+(?:(?i:source)(?![^ \t\r\f\v\n])|\\\.)"
SOURCE_LINE = SOURCE_KEYWORD + r"[^\n]*+"
FIRST_LINE_SOURCE = re.compile(SOURCE_LINE, re.ASCII)

# `/*` opening an executable comment (its markers and version are blanked
# out), an optimizer hint (kept as it is) or a plain comment.
OPENER = re.compile(r"/\*(?:(?P<executable>![0-9]{5}[0-9]?|!)|(?P<hint>\+))?")

# The inside of an executable comment: SQL up to its `*/`, with quotes,
# line comments and dash pairs read as in the statement around it.
EXECUTABLE_BODY = re.compile(
    r"(?:[^'\"`*#\-]++|" + QUOTED + r"|\*(?!/)|-(?!-))*+"
    r"(?:(?P<close>\*/)|(?P<dashes>--++)|(?P<hash>#[^\n]*+)|(?P<open>['\"`])|(?P<end>\Z))")

# The inside of an optimizer hint: text up to its `*/`, quotes read.
HINT_BODY = re.compile(
    r"(?:[^'\"`*]++|" + QUOTED + r"|\*(?!/))*+"
    r"(?:(?P<close>\*/)|(?P<open>['\"`])|(?P<end>\Z))")


@lru_cache(maxsize=64)
def statement_pattern(delimiter: str) -> re.Pattern[str]:
    """The expression that, matched at a position outside quotes and
    comments, skips plain SQL text (quoted strings included) and captures
    the next thing that matters: the delimiter, `\\g`, a DELIMITER line, a
    dash pair, a comment's start, an unterminated quote or the end."""
    first, rest = delimiter[0], delimiter[1:]
    excluded = SIGNIFICANT + (first if first not in SIGNIFICANT else "")
    plain = "[^" + "".join("\\n" if char == "\n" else re.escape(char) for char in excluded) + "]++"
    skipped = [plain, QUOTED, r"/(?!\*)", r"-(?!-)", r"\\(?![gG])[^\r\n]?",
               r"\n(?!" + DELIMITER_KEYWORD + "|" + SOURCE_KEYWORD + ")"]
    if first not in SIGNIFICANT and rest:
        skipped.append(re.escape(first) + "(?!" + re.escape(rest) + ")")
    # A delimiter that starts like a quote, comment or dash wins over them.
    guard = "(?!" + re.escape(delimiter) + ")" if first in SIGNIFICANT else ""
    return re.compile(
        "(?:" + guard + "(?:" + "|".join(skipped) + "))*+"
        "(?:(?P<delimiter>" + re.escape(delimiter) + r")|(?P<go>\\[gG])"
        r"|(?P<command>\n" + DELIMITER_WORDS + r")|(?P<source>\n" + SOURCE_LINE + r")"
        r"|(?P<dashes>--++)|(?P<hash>#[^\n]*+)"
        r"|(?P<block>/\*)|(?P<open>['\"`])|(?P<end>\Z))", re.ASCII)


# An edit of the file's text in a statement's `text`: the span [start, end)
# blanked out (BLANK) or a run of minus signs spaced apart (DASHES).
BLANK, DASHES = 0, 1


@dataclass
class Pending:
    """The statement being read: where it starts in the file, its edits in
    file order, and the executable comments it holds as (opening, body
    start, body end) offsets."""

    start: int
    edits: list[tuple[int, int, int]] = field(default_factory=list)
    executable: list[tuple[int, int, int]] = field(default_factory=list)


@dataclass
class LineCounter:
    """Lines and columns of increasing offsets of one text, counted once."""

    source: str
    counted: int = 0
    line: int = 1
    last_newline: int = -1

    def rebase(self, source: str, offset: int) -> None:
        """Counts on in `source`, the text from `offset` on (and more)."""
        self.place(offset)
        self.source, self.counted, self.last_newline = source, 0, self.last_newline - offset

    def place(self, offset: int) -> tuple[int, int]:
        """The 1-based line and column of `offset` (not before the last one asked)."""
        self.line += self.source.count("\n", self.counted, offset)
        newline = self.source.rfind("\n", self.counted, offset)
        if newline >= 0:
            self.last_newline = newline
        self.counted = offset
        return self.line, offset - self.last_newline


def split_script(text: str) -> list[Chunk]:
    """The statements of a MySQL script in the order the server runs them,
    numbered from 1; chunks of nothing but whitespace and comments take no
    number. An unterminated quote or comment makes the rest of the text one
    last statement, kept as written."""
    return list(iter_script(text))


def iter_script(text: str, more: Iterator[str] | None = None) -> Iterator[Chunk]:
    """split_script's statements, each found when it is asked for. `more`
    gives the rest of a long script a piece at a time, each piece ending at
    the end of a line (as a file read line-aligned block by block gives
    them): only the statement being read is held, never the whole text."""
    if not isinstance(text, str):
        raise TypeError(f"split_script takes the script's text as str, not {type(text).__name__}")
    return read_script(text, more)


def read_script(text: str, more: Iterator[str] | None) -> Iterator[Chunk]:
    found = 0
    lines = LineCounter(text)
    delimiter = ";"
    pos = 0
    first_line = FIRST_LINE_DELIMITER.match(text)
    if first_line:
        delimiter = new_delimiter(delimiter, first_line.group("word"))
        pos = first_line.end()
    pending = Pending(pos)
    first_source = FIRST_LINE_SOURCE.match(text, pos) if pos == 0 else None
    if first_source:
        pending = Pending(first_source.end())
        pos = first_source.end()
    next_match = statement_pattern(delimiter).match
    while True:
        scanned_from = pos
        match = next_match(text, pos)
        kind = match.lastgroup if match else None
        end = None  # where the statement read so far ends, when it does
        if match is None or kind is None or kind in ("open", "end"):
            end, pos = len(text), -1
        else:
            start, pos = match.start(kind), match.end()
            if kind in ("delimiter", "go"):
                end = start
            elif kind == "command":
                end = start + 1
            elif kind == "source":
                if first_content(text, pending, start) < 0:
                    pending = Pending(pos)  # the client runs the file: nothing of it here
                else:
                    pos = start + 1  # inside a statement: its text
            elif kind == "dashes":
                pos = read_dashes(text, start, pos, pending.edits)
            elif kind == "hash":
                pending.edits.append((start, pos, BLANK))
            else:
                pos = read_block_comment(text, start, pending)
                if pos < 0:
                    end = len(text)
        if end is None:
            continue
        if end == len(text) and more is not None:
            # The text ran out inside a statement, a quote or a comment: the
            # statement goes on in the next piece. What is before it is done.
            piece = next(more, "")
            if piece:
                done = pending.start
                text = text[done:] + piece
                pending = shifted(pending, done)
                lines.rebase(text, done)
                pos = scanned_from - done
                continue
            more = None
        chunk = statement_chunk(found + 1, text, pending, end, lines)
        if chunk is not None:
            found += 1
            yield chunk
        if pos < 0:
            return
        if kind == "command" and match is not None:
            delimiter = new_delimiter(delimiter, match.group("word"))
            next_match = statement_pattern(delimiter).match
            pending = Pending(pos)
        elif pending.edits:
            pending = Pending(pos)
        else:
            pending.start = pos


def shifted(pending: Pending, offset: int) -> Pending:
    """The statement being read, its offsets counted from `offset` on."""
    return Pending(pending.start - offset,
                   [(start - offset, end - offset, kind) for start, end, kind in pending.edits],
                   [(opening - offset, body - offset, close - offset)
                    for opening, body, close in pending.executable])


def new_delimiter(current: str, word: str | None) -> str:
    """The delimiter a DELIMITER line sets: its word, unless there is none or
    it holds a backslash (the client refuses those and keeps its delimiter)."""
    return current if word is None or "\\" in word else word


def read_dashes(source: str, start: int, end: int, edits: list[tuple[int, int, int]]) -> int:
    """Records the edits of the run of two or more dashes at [start, end):
    minus signs are spaced apart (`--1` is `- -1`); the last two dashes start
    a comment to the end of the line when whitespace, a control character
    or the end of the text follows. Gives the offset where reading goes on."""
    follower = source[end:end + 1]
    if follower and follower > " " and follower != "\x7f":
        edits.append((start, end, DASHES))
        return end
    if end - 2 > start:
        edits.append((start, end - 2, DASHES))
    line_end = source.find("\n", end)
    line_end = len(source) if line_end < 0 else line_end
    edits.append((end - 2, line_end, BLANK))
    return line_end


def read_block_comment(source: str, start: int, pending: Pending) -> int:
    """Records the edits of the `/*` comment at `start` (a plain one blanked
    out, an executable one's markers blanked out and its body read as SQL,
    a hint kept) and gives the offset after it, or -1 when it is not closed."""
    opener = OPENER.match(source, start)
    assert opener is not None  # `/*` is there
    body = opener.end()
    if opener.group("hint"):
        hint = HINT_BODY.match(source, body)
        return hint.end() if hint is not None and hint.lastgroup == "close" else -1
    if opener.group("executable"):
        edits: list[tuple[int, int, int]] = [(start, body, BLANK)]
        close = read_executable_body(source, body, edits)
        if close < 0:
            return -1
        pending.edits += edits
        pending.edits.append((close, close + 2, BLANK))
        pending.executable.append((start, body, close))
        return close + 2
    close = source.find("*/", body)
    if close < 0:
        return -1
    pending.edits.append((start, close + 2, BLANK))
    return close + 2


def read_executable_body(source: str, pos: int, edits: list[tuple[int, int, int]]) -> int:
    """Records the edits of an executable comment's body from `pos` and gives
    the offset of its closing `*/`, or -1 when it is not closed."""
    while True:
        match = EXECUTABLE_BODY.match(source, pos)
        kind = match.lastgroup if match else None
        if match is None or kind is None or kind in ("open", "end"):
            return -1
        start, pos = match.start(kind), match.end()
        if kind == "close":
            return start
        if kind == "dashes":
            pos = read_dashes(source, start, pos, edits)
        else:
            edits.append((start, pos, BLANK))


def statement_chunk(number: int, source: str, pending: Pending, end: int,
                    lines: LineCounter) -> Chunk | None:
    """The statement of source[pending.start:end], numbered `number`; None
    when it holds nothing but whitespace and comments."""
    if not pending.edits:  # as written, from its first character: one string serves both
        found = CONTENT.search(source, pending.start, end)
        if not found:
            return None
        written = source[found.start():end].rstrip(WHITESPACE)
        return Chunk(number, written, written, *lines.place(found.start()))
    first = first_content(source, pending, end)
    if first < 0:
        return None
    line, column = lines.place(first)
    written_from = next((opening for opening, body, close in pending.executable
                         if body <= first < close), first)
    return Chunk(number, statement_text(source, pending, end),
                 source[written_from:end].rstrip(WHITESPACE), line, column)


def first_content(source: str, pending: Pending, end: int) -> int:
    """The offset in the file of the first character the statement runs that
    is not whitespace, or -1 when there is none."""
    cursor = pending.start
    for start, stop, kind in pending.edits:
        found = CONTENT.search(source, cursor, start)
        if found:
            return found.start()
        if kind == DASHES:
            return start
        cursor = stop
    found = CONTENT.search(source, cursor, end)
    return found.start() if found else -1


def statement_text(source: str, pending: Pending, end: int) -> str:
    """The SQL the server runs for source[pending.start:end]: the text with
    its edits made, stripped of surrounding whitespace."""
    pieces, cursor = [], pending.start
    for start, stop, kind in pending.edits:
        pieces.append(source[cursor:start])
        pieces.append(spaced_dashes(stop - start) if kind == DASHES else blank(source[start:stop]))
        cursor = stop
    pieces.append(source[cursor:end])
    return "".join(pieces).strip(WHITESPACE)


def blank(span: str) -> str:
    """The span with every character but newlines turned into a space."""
    if "\n" not in span:
        return " " * len(span)
    return "\n".join(" " * len(line) for line in span.split("\n"))


def spaced_dashes(count: int) -> str:
    """`count` minus signs with a space between each two."""
    return "- " * (count - 1) + "-"
