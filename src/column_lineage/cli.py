"""The `lineage` command: a thin shell over the package's API."""

from __future__ import annotations

import argparse
import copy
import errno
import functools
import gc
import io
import logging
import os
import re
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from datetime import UTC, datetime
from types import FrameType
from typing import IO, TYPE_CHECKING, Any, NoReturn, Protocol, TextIO

from . import __version__
from .errors import FileFailure, LineageError, OutputFailure, Stopped
from .extras import missing_dependency
from .formats import (
    FORMATS,
    FormatError,
    StreamWriter,
    Writer,
    WriterOptions,
    streams,
    writer_class,
)
from .rows import FileLineage, Statement
from .summary import Summary
from .terminal import escaped

if TYPE_CHECKING:
    from openlineage.client import OpenLineageClient
    from sqlglot.schema import MappingSchema

    from .pipeline import Pipeline
    from .schema import SchemaMapping
    from .server import InputName, ServerInput
    from .store import Store

# The analysis (and sqlglot under it) and the worker processes are imported
# where files are analysed: an answer read from a store needs neither, and
# they are most of the command's start-up.

STDIN = "-"
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples", "warehouse.sql")


def sql_files(arguments: list[str], servers: list[ServerInput] | None = None,
              jobs: dict[str, str] | None = None) -> tuple[list[InputName], list[str]]:
    """The files to analyse, in order, and the messages for arguments that
    name none. A server's URL stands for its stored objects (ServerObject),
    read there; each server read is added to `servers`. `jobs` gets each
    file's name as it is shown and as a job of its own that stays the same
    however the argument was typed: a directory's file by its path inside
    it, a file given itself by its name, a server's object by its name."""
    files: list[InputName] = []
    problems: list[str] = []
    jobs = {} if jobs is None else jobs
    for argument in arguments:
        if "://" in argument:
            from .server import ServerError, is_server_url, read_server
            if is_server_url(argument):
                try:
                    server = read_server(argument, prompt=password_prompt())
                except ServerError as error:
                    problems.append(display_name(str(error)))
                    continue
                files += server.objects
                jobs.update((obj.name, obj.name) for obj in server.objects)
                if servers is not None:
                    servers.append(server)
                continue
            if not os.path.exists(argument):
                # Another scheme's URL: said so, with any password it holds hidden.
                problems.append(f"{display_name(without_password(argument))}: not a file, and "
                                "not a mysql:// or mariadb:// URL")
                continue
        if argument != STDIN and os.path.isdir(argument):
            try:
                found = sorted(name for name in os.listdir(argument) if name.endswith(".sql"))
            except OSError as error:
                problems.append(f"{display_name(argument)}: cannot list: {error.strerror}")
                continue
            if not found:
                problems.append(f"{display_name(argument)}: no .sql files in this directory")
            # Only regular files: reading a FIFO found there would wait for a writer
            # forever (one named on the command line is read: <(generate.sh)).
            regular = [name for name in found if regular_file(os.path.join(argument, name))]
            for name in sorted(set(found) - set(regular)):
                complain(f"{display_name(os.path.join(argument, name))}: skipped: not a regular "
                         "file")
            found = regular
            files += [os.path.join(argument, name) for name in found]
            jobs.update((display_name(os.path.join(argument, name)), display_name(name))
                        for name in found)
        else:
            files.append(argument)
            jobs[display_name(argument)] = display_name(
                argument if argument == STDIN else os.path.basename(argument))
    return files, problems


def without_password(url: str) -> str:
    """`url` with the password of its user:password@ part hidden."""
    return re.sub(r"(://[^/@:]*):[^/@]*@", r"\1:***@", url)


def regular_file(path: str) -> bool:
    """Whether `path` is a regular file (after symbolic links); a file that
    vanished counts, for its analysis to say so."""
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except FileNotFoundError:
        return True
    except OSError:
        return True  # unreadable: the analysis says why


def password_prompt() -> Callable[[str], str] | None:
    """getpass, when standard input is a terminal to ask on; else None."""
    if sys.stdin is None or not sys.stdin.isatty():
        return None
    import getpass
    return getpass.getpass


def read_bytes(name: str) -> bytes:
    try:
        if name == STDIN:
            if sys.stdin is None:
                raise FileFailure("standard input is closed")
            return sys.stdin.buffer.read()
        with open(name, "rb") as source:
            return source.read()
    except OSError as error:
        raise FileFailure(f"cannot read: {error.strerror or error}") from error


def read_text(name: InputName) -> str:
    if not isinstance(name, str):  # a server's object: its text as the server gave it
        if name.sql is None:
            raise FileFailure(name.error or "not read")
        return name.sql
    data = read_bytes(name)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise FileFailure(f"not UTF-8 text ({error.reason} at byte {error.start})") from error


def display_name(name: InputName) -> str:
    """The name as shown on one line: control characters escaped."""
    if name == STDIN:
        return "<stdin>"
    return escaped(name if isinstance(name, str) else name.name)  # a path, or a server's object


def needs_reads(options: argparse.Namespace) -> bool:
    """Whether the run names the tables statements only join or filter on:
    OpenLineage's inputs do, and so does the store, which may answer in
    them later."""
    return bool(options.format == "openlineage" or options.emit or options.store)


def analyse_file(name: InputName, options: argparse.Namespace) -> FileLineage:
    """A file's lineage (`name` a path, STDIN, or a server's ServerObject),
    or why it has none."""
    from .analysis import analyse_sql

    shown = display_name(name)
    database = (None if isinstance(name, str) else name.database) or options.default_db
    try:
        statements = analyse_sql(read_text(name), dialect=options.dialect, schema=options.schema,
                                 file=shown, database=database, indirect=options.indirect,
                                 reads=needs_reads(options))
    except (FileFailure, LineageError) as error:
        return FileLineage(shown, error=str(error))
    except RecursionError:
        return FileLineage(shown, error="too deeply nested to analyse")
    except Exception as error:  # noqa: BLE001 - one file's failure never ends the run
        return FileLineage(shown, error=f"cannot be analysed ({type(error).__name__}: {error})")
    return FileLineage(shown, statements)


# Files at least this big (and standard input) are analysed in the command's
# own process, each statement written as soon as it is analysed, where the
# output allows it (a row format, the table, the report, OpenLineage; no
# store, no question, nothing learned across files): memory stays bounded by
# the largest statement instead of growing with the file.
STREAM_BYTES = 1 << 20


@dataclass(frozen=True)
class Deferred:
    """A file left for the command's process to analyse and write as it goes."""

    name: str


def analyse_or_defer(name: InputName, options: argparse.Namespace) -> FileLineage | Deferred:
    """analyse_and_collect, but a big file (see STREAM_BYTES) is Deferred."""
    if getattr(options, "stream", False) and isinstance(name, str) and \
            (name == STDIN or (regular_file(name) and file_size(name) >= STREAM_BYTES)):
        return Deferred(name)
    return analyse_and_collect(name, options)


def file_size(name: str) -> int:
    try:
        return os.stat(name).st_size
    except OSError:
        return 0


def stream_file(name: str, options: argparse.Namespace, writer: StreamWriter,
                summary: Summary) -> FileLineage | None:
    """Analyses a file here, counting, reporting and writing each statement
    as it comes; None when that was done, else the file's lineage to take
    as any other (it failed before its first statement)."""
    from itertools import chain

    from .analysis import iter_analysed

    shown = display_name(name)
    try:
        blocks = text_blocks(name)
        statements = iter_analysed(next(blocks, ""), dialect=options.dialect,
                                   schema=options.schema, file=shown,
                                   database=options.default_db,
                                   indirect=options.indirect, reads=needs_reads(options),
                                   more=blocks)
        first = next(statements)
    except (FileFailure, LineageError) as error:
        return FileLineage(shown, error=str(error))
    except StopIteration:
        return FileLineage(shown, error="no SQL statement")
    summary.files += 1
    failed = False

    def counted() -> Iterator[Statement]:
        nonlocal failed
        for statement in chain([first], statements):
            failed = summary.add_statement(statement) or failed
            report_statement(shown, statement)
            yield statement

    try:
        write_streamed(writer, shown, counted())
        sys.stdout.flush()
    except (FileFailure, LineageError) as error:  # met further on in the file
        complain(f"{shown}: {error}")
        failed = True
    except OSError:
        raise
    except RecursionError:
        complain(f"{shown}: too deeply nested to analyse")
        failed = True
    except Exception as error:  # noqa: BLE001 - one file's failure never ends the run
        complain(f"{shown}: cannot be analysed ({type(error).__name__}: {error})")
        failed = True
    summary.failed += failed
    return None


# A streamed file is read this many characters at a time (and to the end of
# the line): the text held is the statement being read and one block.
BLOCK = 1 << 22


def text_blocks(name: str) -> Iterator[str]:
    """A file's text as UTF-8 (a byte-order mark dropped, line ends as they
    are) in blocks of about BLOCK characters, each ending at a line's end;
    FileFailure where it cannot be read or decoded."""
    stream: IO[str]
    try:
        if name == STDIN:
            if sys.stdin is None:
                raise FileFailure("standard input is closed")
            stream = io.TextIOWrapper(sys.stdin.buffer, encoding="utf-8-sig", newline="")
        else:
            stream = open(name, encoding="utf-8-sig", newline="")  # noqa: SIM115 - blocks_of closes it
    except OSError as error:
        raise FileFailure(f"cannot read: {error.strerror or error}") from error
    return blocks_of(stream)


def blocks_of(stream: IO[str]) -> Iterator[str]:
    """The stream's text in blocks of about BLOCK characters, each ending at
    a line's end; the stream is closed at the end."""
    with stream:
        while True:
            try:
                block = stream.read(BLOCK)
                while block and not block.endswith("\n"):  # readline stops at a lone \r too
                    rest = stream.readline()
                    if not rest:
                        break
                    block += rest
            except UnicodeDecodeError as error:
                raise FileFailure(f"not UTF-8 text ({error.reason}{at_byte(stream, error)})") \
                    from error
            except OSError as error:
                raise FileFailure(f"cannot read: {error.strerror or error}") from error
            if not block:
                return
            yield block


def at_byte(stream: IO[str], error: UnicodeDecodeError) -> str:
    """" at byte N": where in the file the bytes that are not UTF-8 start (the
    bytes the decoder was given end where the file stands now); "" where the
    stream cannot tell (a pipe)."""
    try:
        end = stream.buffer.tell()  # type: ignore[attr-defined]  # a TextIOWrapper's
    except (AttributeError, OSError, ValueError):
        return ""
    return f" at byte {end - len(error.object) + error.start}"


def write_streamed(writer: StreamWriter, file: str, statements: Iterable[Statement]) -> None:
    writer.begin_file(file)
    for statement in statements:
        writer.statement(statement)
    writer.end_file()


def analyse_and_collect(name: InputName, options: argparse.Namespace) -> FileLineage:
    """analyse_file, then the file's trees collected at once: garbage now."""
    lineage = analyse_file(name, options)
    gc.collect(1)
    return lineage


def lost_file(name: InputName) -> FileLineage:
    return FileLineage(display_name(name),
                       error="not analysed: its worker process ended unexpectedly")


def positive_count(text: str) -> int:
    try:
        count = int(text)
    except ValueError:
        count = 0
    if count < 1:
        raise argparse.ArgumentTypeError(f"not a positive whole number: {text!r}")
    return count


def parse_arguments(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="lineage",
        description="Show where every output column of SQL statements comes from.",
        epilog="With no FILE, a bundled example is analysed. A summary line goes to standard "
               "error at the end. Exit status: 0 when every file was analysed, 1 when any "
               "failed (with --strict also when any column is unresolved, ambiguous or "
               "unsupported or a statement was skipped), 2 for a usage error.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a SQL file (UTF-8), a directory whose *.sql files are analysed "
                             "in name order, - for standard input, or a server "
                             "(mysql://USER@HOST[:PORT]/[DB,…], also mariadb://) whose views, "
                             "procedures, functions, triggers and events are analysed, with its "
                             "tables as the schema")
    parser.add_argument("--format", choices=sorted(FORMATS), default="table",
                        help="output format (default: table; wrapped to the width of a terminal)")
    parser.add_argument("--json", action="store_const", const="json", dest="format",
                        help="same as --format json")
    parser.add_argument("--dialect", default="mysql", help="sqlglot dialect (default: mysql)")
    parser.add_argument("--namespace", default="mysql://localhost",
                        help="OpenLineage namespace of the jobs and datasets "
                             "(default: mysql://localhost)")
    parser.add_argument("--job-namespace", metavar="NAME",
                        help="OpenLineage namespace of the jobs (default: --namespace)")
    parser.add_argument("--job-prefix", default="", metavar="TEXT",
                        help="put before each OpenLineage job's name (a job is named after its "
                             "file inside the directory given, or its file name, and statement)")
    parser.add_argument("--emit", action="store_true",
                        help="send the OpenLineage events through the OpenLineage client's "
                             "transport, configured as the client reads it (OPENLINEAGE_URL, "
                             "openlineage.yml), instead of writing them (implies --format "
                             "openlineage)")
    parser.add_argument("--event-time", type=event_time, metavar="TIME",
                        help="ISO 8601 time of the OpenLineage events, UTC unless it says "
                             "otherwise (default: now)")
    parser.add_argument("--schema", metavar="FILE",
                        help="the warehouse's tables: CREATE TABLE statements (mysqldump "
                             "--no-data), JSON {db: {table: {column: type}}}, or a server's "
                             "URL (mysql://USER@HOST[:PORT]/[DB,…]) to read them from")
    parser.add_argument("--default-db", metavar="NAME",
                        help="the database of unqualified tables until a USE chooses another "
                             "(as a client connected to NAME)")
    parser.add_argument("--verbose", action="store_true",
                        help="list every statement that moves no data (USE, SET, …) on its own "
                             "line instead of counting them")
    parser.add_argument("--csv-safe", action="store_true",
                        help="csv: a text a spreadsheet would run as a formula (=, +, -, @ "
                             "first) gets a leading apostrophe (default: values exact, as a "
                             "database loads them)")
    parser.add_argument("--indirect", action="store_true",
                        help="also the columns that decide which rows, or their order (joins, "
                             "filters, group keys, a sort under LIMIT, windows, CASE/IF "
                             "conditions): extra rows of kind indirect with a subtype, followed "
                             "end to end")
    parser.add_argument("--strict", action="store_true",
                        help="exit 1 when any column is unresolved, ambiguous or unsupported, "
                             "or any statement is skipped")
    parser.add_argument("--end-to-end", action="store_true",
                        help="for every column the files write, its ultimate sources through "
                             "every statement, file, temporary table and view, with the path "
                             "(formats table, json, csv)")
    parser.add_argument("--upstream", action="append", default=[], metavar="COLUMN",
                        help="every column upstream of db.table.column (or of each column of "
                             "db.table), each with its distance and path; repeatable")
    parser.add_argument("--downstream", action="append", default=[], metavar="COLUMN",
                        help="every column that reads db.table.column (or db.table), "
                             "transitively: what a change would reach; repeatable")
    parser.add_argument("--store", metavar="FILE",
                        help="keep what is analysed in this SQLite file: later runs analyse only "
                             "new and changed files, and with no FILE answer from it alone")
    parser.add_argument("--jobs", type=positive_count, default=None, metavar="N",
                        help="files analysed at once, each on a process of its own (default: "
                             "the CPUs this process may use; 1 analyses them one by one here)")
    parser.add_argument("--version", action=ShowVersion, help="show the versions and exit")
    options = parser.parse_args(argv)
    options.questions = questions(options)
    if options.emit:
        if options.format not in ("table", "openlineage"):  # table: the default, not asked for
            parser.error("--emit sends OpenLineage events: it takes no other --format")
        options.format = "openlineage"
    if options.questions and options.format == "report":
        parser.error("--end-to-end, --upstream and --downstream write every format but report")
    if options.files.count(STDIN) > 1:
        parser.error("standard input (-) can be read only once")
    if options.files or options.store is None:  # else nothing is analysed
        from .statements import dialect_of
        from .workers import available_cpus

        options.jobs = options.jobs or available_cpus()
        try:
            dialect_of(options.dialect)
            options.schema = read_schema(options.schema, options.dialect)
        except (LineageError, FileFailure) as error:
            parser.error(str(error))
    else:
        options.schema = None
    return options


def writer_options(options: argparse.Namespace) -> WriterOptions:
    """What the writers take of the command's options."""
    return WriterOptions(
        indirect=bool(options.indirect), verbose=bool(options.verbose),
        csv_safe=bool(options.csv_safe),
        several_files=bool(getattr(options, "several_files", False)),
        per_file=bool(options.questions), dialect=options.dialect, namespace=options.namespace,
        job_namespace=options.job_namespace, job_prefix=options.job_prefix or "",
        job_names=dict(getattr(options, "job_names", None) or {}), event_time=options.event_time,
        emit_client=getattr(options, "emit_client", None))


# The formats whose rows are the answers themselves; the others draw or
# send the statements that wrote what the answers reach.
ANSWER_FORMATS = ("table", "json", "csv")


def questions(options: argparse.Namespace) -> list[tuple[str, str | None]]:
    """The questions about the whole pipeline, in the order given on the
    command line's options: ("end-to-end", None), ("upstream", name), …"""
    asked = [("end-to-end", None)] if options.end_to_end else []
    return asked + [("upstream", name) for name in options.upstream] + \
        [("downstream", name) for name in options.downstream]


def answer(asked: list[tuple[str, str | None]], pipeline_for: Callable[[str, str | None], Pipeline],
           names: Callable[[], list[str]], out: TextIO, format_name: str,
           options: argparse.Namespace) -> bool:
    """Writes the answers to the questions about the pipeline; False (and
    one line each) for a column or table no file knows. `pipeline_for(question,
    name)` gives a pipeline that holds the answer, `names()` every name known."""
    from .formats.reach_rows import READERS, Answer, as_lineages

    answers: list[Answer] = []
    known = True
    for question, name in asked:
        pipeline = pipeline_for(question, name)
        if name is None:
            answers.append(Answer(question, pipeline.end_to_end()))
            continue
        if not pipeline.find(name):
            import difflib
            near = difflib.get_close_matches(name.lower(), names(), n=3)
            complain(f"{question} {display_name(name)}: no file writes or reads it"
                     + (f" (did you mean {', '.join(near)}?)" if near else ""))
            known = False
            continue
        reaches = pipeline.upstream(name) if question == "upstream" else pipeline.downstream(name)
        answers.append(Answer(f"{question} {name}", reaches))
    if format_name in ANSWER_FORMATS:
        writer = READERS[format_name](out, writer_options(options))
        for found in answers:
            writer.write(found)
        return known
    drawer = writer_class(format_name)(out, writer_options(options))
    # OpenLineage never names a temporary table as a dataset.
    for lineage in as_lineages(answers, fold_temporary=format_name == "openlineage"):
        drawer.write(lineage)
    drawer.close()
    return known


def answer_files(asked: list[tuple[str, str | None]], lineages: list[FileLineage], out: TextIO,
                 format_name: str, options: argparse.Namespace) -> bool:
    """The answers about the pipeline the files' lineages compose."""
    from .pipeline import compose

    pipeline = compose(lineages, options.indirect)
    return answer(asked, lambda question, name: pipeline, pipeline.known_names, out, format_name,
                  options)


def answer_from_store(options: argparse.Namespace, store: Store) -> int:
    """The answers read from the store's kept graph of its files (composed
    and kept first when the files changed since it was made), with the
    summary of those files."""
    from .pipeline import Column, compose, graph_records, kept_pipeline, known_names

    if options.indirect and store.without_indirect():
        complain(f"{store.without_indirect()} stored files were analysed without --indirect: "
                 "their indirect lineage is missing (run over them with --indirect)")
    counts = store.graph_summary()
    # The kept graph follows indirect lineage or not, as the run that made it asked.
    if counts is None or counts.pop("indirect", False) != options.indirect:
        summary = Summary()
        lineages = store.lineages()
        for lineage in lineages:
            summary.add(lineage)
        store.put_graph(*graph_records(compose(lineages, options.indirect)),
                        {**summary.counts(), "indirect": options.indirect})
    else:
        summary = Summary.of_counts(counts)

    def pipeline_for(question: str, name: str | None) -> Pipeline:
        return kept_pipeline(*store.graph(name, upstream=question != "downstream"))

    def names() -> list[str]:
        return known_names(Column(*names) for names in store.graph_names())

    known = answer(options.questions, pipeline_for, names, sys.stdout, options.format, options)
    sys.stdout.flush()
    complain(summary.line())
    if summary.failed or not known or (options.strict and summary.doubtful()):
        return 1
    return 0


def emit_client() -> OpenLineageClient | None:
    """The OpenLineage client as its configuration makes it; None where
    nothing configures a transport (it would print to its log)."""
    from openlineage.client import OpenLineageClient
    from openlineage.client.transport.console import ConsoleTransport

    logging.getLogger("openlineage").setLevel(logging.ERROR)  # its fallback's warning
    client = OpenLineageClient()
    return None if isinstance(client.transport, ConsoleTransport) else client


def read_schema(name: str | None, dialect: str) -> MappingSchema | None:
    """The schema a file (or standard input) holds, or a server's URL names."""
    if name is None:
        return None
    from .schema import load_schema

    if "://" in name:
        from .schema import schema_from_mapping
        from .server import ServerError, is_server_url, read_server
        if is_server_url(name):
            try:
                server = read_server(name, prompt=password_prompt(), objects=False)
            except ServerError as error:
                raise LineageError(f"schema: {error}") from None
            return schema_from_mapping(server.schema, dialect)
    try:
        return load_schema(read_text(name), dialect)
    except (LineageError, FileFailure) as error:
        raise LineageError(f"schema {display_name(name)}: {error}") from error


def event_time(text: str) -> datetime:
    """The time --event-time gives, UTC unless it says otherwise."""
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time: {text!r}") from None
    return moment if moment.tzinfo else moment.replace(tzinfo=UTC)


class ShowVersion(argparse.Action):
    """--version: the tool's version and sqlglot's, looked up only when asked."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: Any = argparse.SUPPRESS, help: str | None = None) -> None:
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: str | Sequence[Any] | None, option_string: str | None = None) -> None:
        print(version_text())  # on standard output, as argparse's own version action
        parser.exit()


def version_text() -> str:
    """The tool's version and sqlglot's."""
    import sqlglot
    # sqlglot sets __version__ without listing it as exported.
    return f"lineage {__version__} (sqlglot {sqlglot.__version__})"  # type: ignore[attr-defined]


def complain(message: str) -> None:
    """One line on standard error, what the data put in it escaped."""
    if sys.stderr is not None:
        print(f"lineage: {escaped(message)}", file=sys.stderr, flush=True)


def report_problems(lineage: FileLineage) -> None:
    if lineage.error:
        complain(f"{lineage.file}: {lineage.error}")
        return
    for statement in lineage.statements:
        report_statement(lineage.file, statement)


def report_statement(file: str, statement: Statement) -> None:
    """The line a statement that failed or was skipped gets, if any."""
    if statement.error:
        complain(f"{file}: statement {statement.label}: {statement.error}")
    elif statement.skipped and statement.moves_data:
        complain(f"{file}: statement {statement.label}: skipped: {statement.skipped}")


def write(writer: Writer, lineage: FileLineage) -> bool:
    """Hands one file's lineage to the writer; a writer's own failure costs
    that file only (a failing output stream ends the run)."""
    try:
        writer.write(lineage)
        sys.stdout.flush()
    except OSError:
        raise
    except FormatError as error:  # says itself what failed
        complain(f"{lineage.file}: {error}")
        return False
    except Exception as error:  # noqa: BLE001 - one file's output failed, the run goes on
        complain(f"{lineage.file}: cannot be written ({type(error).__name__}: {error})")
        return False
    return True


class Progress(Protocol):
    """What the command uses of a progress bar (tqdm's)."""

    def update(self) -> object: ...

    def clear(self) -> None: ...

    def close(self) -> None: ...


def progress_bar(count: int) -> Progress | None:
    """A progress bar on a terminal's standard error for several files, else
    None (tqdm is imported only then: even a disabled bar costs its imports)."""
    if count < 2 or sys.stderr is None or not sys.stderr.isatty():
        return None
    from tqdm import tqdm
    bar: Progress = tqdm(total=count, unit="file", file=sys.stderr, leave=False)
    return bar


# Young objects the collector lets pile up before it runs by itself: more
# than a file of the usual size makes, fewer than a large dump does.
FILE_GARBAGE = 100_000


def collect_per_file() -> None:
    """The trees of a file are cycles (each node links its parent), garbage
    all at once when the file is analysed: the command collects them then,
    in one run over the young objects, instead of letting the collector run
    mid-file over trees still in use (a larger file still reaches the
    threshold). The modules' objects, imported by now, live as long as the
    run: frozen, no collection scans them again."""
    gc.freeze()
    gc.set_threshold(FILE_GARBAGE, *gc.get_threshold()[1:])


def main(argv: Sequence[str] | None = None) -> int:
    """The command's run over `argv` (the process's arguments by default):
    its exit status."""
    options = parse_arguments(argv)
    missing = missing_dependency(options.format)
    if missing:
        complain(missing)
        return 2
    if sys.stdout is None:
        raise OutputFailure("standard output is closed")
    if options.emit:
        options.emit_client = emit_client()
        if options.emit_client is None:
            complain("--emit: no OpenLineage transport is configured (set OPENLINEAGE_URL, or "
                     "OPENLINEAGE_CONFIG to an openlineage.yml, as the OpenLineage client reads)")
            return 2
    if options.store is None:
        return run_files(options, None)
    from .store import Store, StoreError
    try:
        # A run that only asks questions reads little of the store: no check of all of it.
        with Store.open(options.store, check=bool(options.files) or not options.questions) \
                as store:
            return run_files(options, store)
    except StoreError as error:
        complain(str(error))
        return 1


def run_files(options: argparse.Namespace, store: Store | None) -> int:
    """Analyses the files given (with a store, only those it does not hold
    as they are; with a store and no files, the store is the input) and
    writes their lineage or the answers asked for."""
    if store is not None and not options.files and options.questions:
        return answer_from_store(options, store)
    servers: list[ServerInput] = []
    options.job_names = {}
    files, problems = sql_files(options.files or ([] if store is not None else [EXAMPLE]), servers,
                                options.job_names)
    for problem in problems:
        complain(problem)
    if servers and options.schema is None:  # what the servers hold is the schema
        from .schema import schema_from_mapping
        mapping: SchemaMapping = {}
        for server in servers:
            for db, tables in server.schema.items():
                mapping.setdefault(db, {}).update(tables)
        options.schema = schema_from_mapping(mapping, options.dialect)
    options.several_files = len(files) > 1
    writer = None if options.questions else \
        writer_class(options.format)(sys.stdout, writer_options(options))
    kept: list[FileLineage] = []
    collect_per_file()
    summary = Summary(files=len(problems), failed=len(problems))
    jobs = 1 if STDIN in files else options.jobs  # standard input is read here

    # Without a schema, what one file declares settles what another reads:
    # the files are all analysed before anything is written (only where a
    # file may declare a table: holding every file's rows costs memory and
    # the collector's time).
    hold = options.schema is None and len(files) > 1 and STDIN not in files \
        and any(may_declare(name) for name in files)
    held: list[FileLineage] = []
    # Otherwise a big file is analysed here and written statement by statement.
    stream_writer = writer if writer is not None and streams(writer) and store is None \
        and not hold else None
    options.stream = stream_writer is not None

    def analyse(todo: list[InputName], run_options: argparse.Namespace = options
                ) -> Iterator[FileLineage]:
        """The files' lineages, in order, each file analysed whole."""
        from .workers import in_order

        return in_order(functools.partial(analyse_and_collect, options=run_options), todo, jobs,
                        lost=lost_file)

    def analyse_or_stream(todo: list[InputName]) -> Iterator[FileLineage | Deferred]:
        """The files' lineages, in order, a big file left Deferred for streaming."""
        from .workers import in_order

        return in_order(functools.partial(analyse_or_defer, options=options), todo, jobs,
                        lost=lost_file)

    def take(lineage: FileLineage) -> None:
        summary.add(lineage)
        report_problems(lineage)
        if writer is None:
            kept.append(lineage)
        elif lineage.error is None and not write(writer, lineage) \
                and not any(statement.error for statement in lineage.statements):
            summary.failed += 1

    analysed: Iterator[FileLineage | Deferred]
    if store is None:
        analysed = analyse_or_stream(files)
    elif not files:
        analysed = iter(store.lineages())
    else:
        from .stored_run import settings_digest, through_store
        directories = [name for name in options.files if name != STDIN and os.path.isdir(name)] \
            + [prefix for server in servers for prefix in server.prefixes]
        settings = settings_digest(options.dialect, options.schema, options.default_db,
                                   options.indirect)
        analysed = through_store(store, files, directories, settings, analyse, STDIN,
                                 options.indirect)
    progress = progress_bar(len(files))
    try:
        for found in analysed:
            if progress is not None:
                progress.update()
                progress.clear()
            if isinstance(found, Deferred):
                if stream_writer is None:  # never: only a streaming writer has files deferred
                    raise RuntimeError(f"{found.name}: deferred without a writer to stream to")
                lineage = stream_file(found.name, options, stream_writer, summary)
                if lineage is None:
                    continue
            else:
                lineage = found
            if hold:
                held.append(lineage)
            else:
                take(lineage)
    finally:
        close = getattr(analysed, "close", None)
        if close is not None:  # the workers end now, however the loop ended
            close()
    if progress is not None:
        progress.close()
    for lineage in learn_across(held, files, options, analyse) if hold else []:
        take(lineage)
    known = True
    if writer is not None:
        writer.close()
    else:
        known = answer_files(options.questions, kept, sys.stdout, options.format, options)
    sys.stdout.flush()
    complain(summary.line())
    if summary.failed or not known or (options.strict and summary.doubtful()):
        return 1
    return 0


DECLARES = re.compile(rb"\b(?:CREATE|ALTER|INSERT|REPLACE)\s", re.IGNORECASE)


def may_declare(name: InputName) -> bool:
    """Whether a file may declare a table or its columns (a CREATE, ALTER,
    INSERT or REPLACE in its text)."""
    if not isinstance(name, str):  # a server's object
        return DECLARES.search((name.sql or "").encode("utf-8")) is not None
    if name == STDIN or not regular_file(name):
        return True  # read once only, by the analysis (a pipe, <(generate.sh))
    try:
        with open(name, "rb") as source:
            return DECLARES.search(source.read()) is not None
    except OSError:
        return False  # the analysis says why


def learn_across(lineages: list[FileLineage], files: list[InputName], options: argparse.Namespace,
                 analyse: Callable[[list[InputName], argparse.Namespace], Iterable[FileLineage]]
                 ) -> list[FileLineage]:
    """The files' lineages, those that the tables other files declare could
    settle analysed again with those tables as their schema."""
    from .learned import as_mapping, declared_tables, note_learned, would_learn
    from .schema import schema_from_mapping

    declared = declared_tables(lineages)
    redo = [at for at, lineage in enumerate(lineages)
            if lineage.error is None and would_learn(lineage, declared)] if declared else []
    if not redo:
        return lineages
    learned = copy.copy(options)
    learned.schema = schema_from_mapping(as_mapping(declared), options.dialect)
    for at, lineage in zip(redo, analyse([files[at] for at in redo], learned)):
        if lineage.error is None:
            note_learned(lineage, declared)
            lineages[at] = lineage
    return lineages


def silence_stdout() -> None:
    """Stop writing to a standard output that refuses, so that the
    interpreter's own flush at exit does not complain again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, 1)
    except OSError:
        pass


def stop(signum: int, frame: FrameType | None) -> NoReturn:
    raise Stopped(signum)


def run(argv: Sequence[str] | None = None) -> int:
    """main() with the stream failures every command meets turned into one
    line and an exit status; SIGTERM and SIGHUP end it as Ctrl-C does (its
    workers with it), with the status a shell expects for the signal."""
    logging.getLogger("sqlglot").setLevel(logging.ERROR)
    import signal
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, stop)
    try:
        return main(argv)
    except Stopped as stopped:
        complain(f"stopped by {signal.Signals(stopped.signum).name}")
        return 128 + stopped.signum
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, as other tools do.
        silence_stdout()
        return 1
    except (FormatError, OutputFailure) as error:
        complain(str(error))
        return 1
    except OSError as error:
        if error.errno in (errno.ENOSPC, errno.EBADF, errno.EIO, errno.EDQUOT, errno.EFBIG):
            complain(f"cannot write the output: {error.strerror}")
            silence_stdout()
            return 1
        raise
    except KeyboardInterrupt:
        complain("interrupted")
        return 130
