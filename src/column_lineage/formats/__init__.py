"""Output formats of the lineage command.

Each format is a writer class taking the output stream and the command's
options; the command hands it each file's lineage in turn with `write` and
calls `close` at the end (where formats that draw all files at once write).
A writer that writes a file statement by statement (the row formats, the
table, the report, OpenLineage's events) also takes a file as
`begin_file(file)`, `statement(statement)` for each, `end_file()`, with the
same output: a big file is then written as it is analysed, never held."""

from __future__ import annotations

import importlib

# format name -> module and class of its writer; imported on use, so that a
# format pays only for its own imports.
FORMATS = {
    "csv": ("csv_rows", "CsvWriter"),
    "json": ("json_lines", "JsonLinesWriter"),
    "openlineage": ("openlineage_events", "OpenLineageWriter"),
    "report": ("report", "ReportWriter"),
    "table": ("table", "TableWriter"),
    "dot": ("dot", "DotWriter"),
    "mermaid": ("mermaid", "MermaidWriter"),
    "html": ("html", "HtmlWriter"),
}


class FormatError(Exception):
    """A format cannot write here (say, a program it needs is missing); the
    message says why."""


def streams(writer) -> bool:
    """Whether the writer takes a file statement by statement."""
    return hasattr(writer, "statement") and not getattr(writer, "per_file", False)


def writer_class(name: str):
    module_name, class_name = FORMATS[name]
    module = importlib.import_module(f"{__name__}.{module_name}")
    return getattr(module, class_name)
