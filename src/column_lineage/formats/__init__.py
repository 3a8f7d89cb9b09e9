"""Output formats of the lineage command.

Each format is a writer class taking the output stream and the command's
options for the writers (WriterOptions); the command hands it each file's
lineage in turn with `write` and calls `close` at the end (where formats
that draw all files at once write). A writer that writes a file statement
by statement (the row formats, the table, the report, OpenLineage's events)
also takes a file as `begin_file(file)`, `statement(statement)` for each,
`end_file()`, with the same output: a big file is then written as it is
analysed, never held."""

from __future__ import annotations

import importlib
from collections.abc import Callable
from dataclasses import dataclass, field
from datetime import datetime
from typing import TYPE_CHECKING, Any, Protocol, TextIO, TypeGuard

from ..errors import FormatError as FormatError  # raised by the writers, importable from here

if TYPE_CHECKING:
    from ..rows import FileLineage, Statement

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


@dataclass(frozen=True)
class WriterOptions:
    """What the writers take of the command's options; each format reads
    those it needs."""

    indirect: bool = False  # indirect lineage was asked for: write it too
    verbose: bool = False  # table: every statement moving no data on a line of its own
    csv_safe: bool = False  # csv: a text a spreadsheet would run gets a leading apostrophe
    several_files: bool = False  # report: a heading per file
    # openlineage: the answers about the pipeline, one event per file
    # (instead of one per statement).
    per_file: bool = False
    dialect: str = "mysql"  # openlineage: the SQL job facet's dialect
    namespace: str | None = None  # openlineage: of the jobs and datasets (None: the default)
    job_namespace: str | None = None  # openlineage: of the jobs (None: `namespace`)
    job_prefix: str = ""  # openlineage: before each job's name
    job_names: dict[str, str] = field(default_factory=dict)  # file as shown -> its job's name
    event_time: datetime | None = None  # openlineage: of every event (None: now)
    # openlineage: the OpenLineage client that sends the events (--emit);
    # None writes them.
    emit_client: Any = None


class Writer(Protocol):
    """A format's writer: each file's lineage in turn, then `close`."""

    def write(self, lineage: FileLineage) -> None: ...

    def close(self) -> None: ...


class StreamWriter(Writer, Protocol):
    """A writer that also takes a file statement by statement."""

    def begin_file(self, file: str) -> None: ...

    def statement(self, statement: Statement) -> None: ...

    def end_file(self) -> None: ...


# A writer class: made with the output stream and the writers' options.
WriterClass = Callable[[TextIO, WriterOptions | None], Writer]


def streams(writer: Writer) -> TypeGuard[StreamWriter]:
    """Whether the writer takes a file statement by statement."""
    return hasattr(writer, "statement") and not getattr(writer, "per_file", False)


def writer_class(name: str) -> WriterClass:
    """The writer class of the format of that name (a key of FORMATS)."""
    module_name, class_name = FORMATS[name]
    module = importlib.import_module(f"{__name__}.{module_name}")
    found: WriterClass = getattr(module, class_name)
    return found
