"""Text bound for a terminal: what the data holds, shown, never obeyed.

Identifiers, literals and file names come from the SQL and the file system;
a control character among them (ESC, BEL, CR, DEL, NEL, a line or paragraph
separator, a bidirectional override) could retitle or clear the terminal,
move the cursor, or reorder what a reader sees. Every text the table and
report formats and the lines on standard error show passes through
`escaped`; the data formats (JSON, CSV, OpenLineage) keep values exact,
escaped by their own rules."""

from __future__ import annotations


def escaped(text: str, *, keep_newlines: bool = False) -> str:
    """`text` with every character that is not printable written as its
    escape (`\\x1b`, `\\u202e`); line breaks kept with `keep_newlines`."""
    if text.isprintable():  # the usual case, without a look at each character
        return text
    return "".join(char if char.isprintable() or (keep_newlines and char == "\n")
                   else char.encode("unicode_escape").decode("ascii") for char in text)
