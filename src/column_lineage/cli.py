"""The `lineage` command: a thin shell over the package's API."""

from __future__ import annotations

import argparse
import os
import sys
from datetime import datetime, timezone

from tqdm import tqdm

from . import __version__
from .analysis import LineageError, analyse_sql
from .extras import missing_dependency
from .formats import FORMATS, FormatError, writer_class
from .rows import FileLineage

STDIN = "-"
EXAMPLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "examples", "warehouse.sql")


class FileFailure(Exception):
    """One file could not be analysed; the message says why."""


def sql_files(arguments):
    """The files to analyse, in order, and the messages for arguments that
    name none."""
    files, problems = [], []
    for argument in arguments:
        if argument != STDIN and os.path.isdir(argument):
            found = sorted(name for name in os.listdir(argument) if name.endswith(".sql"))
            if not found:
                problems.append(f"{argument}: no .sql files in this directory")
            files += [os.path.join(argument, name) for name in found]
        else:
            files.append(argument)
    return files, problems


def read_text(name):
    try:
        if name == STDIN:
            data = sys.stdin.buffer.read()
        else:
            with open(name, "rb") as source:
                data = source.read()
    except OSError as error:
        raise FileFailure(f"cannot read: {error.strerror}") from error
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise FileFailure(f"not UTF-8 text ({error.reason} at byte {error.start})") from error


def display_name(name):
    return "<stdin>" if name == STDIN else name


def analyse_file(name, options) -> FileLineage:
    shown = display_name(name)
    try:
        statements = analyse_sql(read_text(name), dialect=options.dialect, file=shown)
    except (FileFailure, LineageError) as error:
        return FileLineage(shown, error=str(error))
    return FileLineage(shown, statements)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="lineage",
        description="Show where every output column of SQL statements comes from.",
        epilog="With no FILE, a bundled example is analysed. Exit status: 0 when every file "
               "was analysed, 1 when any failed, 2 for a usage error.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a SQL file (UTF-8), a directory whose *.sql files are analysed "
                             "in name order, or - for standard input")
    parser.add_argument("--format", choices=sorted(FORMATS), default=None,
                        help="output format (default: table when standard output is a terminal, "
                             "else report)")
    parser.add_argument("--json", action="store_const", const="json", dest="format",
                        help="same as --format json")
    parser.add_argument("--dialect", default="mysql", help="sqlglot dialect (default: mysql)")
    parser.add_argument("--namespace", default="mysql://localhost",
                        help="OpenLineage namespace of the jobs and datasets "
                             "(default: mysql://localhost)")
    parser.add_argument("--event-time", type=event_time, metavar="TIME",
                        help="ISO 8601 time of the OpenLineage events, UTC unless it says "
                             "otherwise (default: now)")
    parser.add_argument("--version", action="version", version=version_text())
    options = parser.parse_args(argv)
    options.format = options.format or ("table" if sys.stdout.isatty() else "report")
    return options


def event_time(text):
    try:
        moment = datetime.fromisoformat(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an ISO 8601 time: {text!r}") from None
    return moment if moment.tzinfo else moment.replace(tzinfo=timezone.utc)


def version_text():
    import sqlglot
    return f"lineage {__version__} (sqlglot {sqlglot.__version__})"


def main(argv=None):
    options = parse_arguments(argv)
    missing = missing_dependency(options.format)
    if missing:
        print(f"lineage: {missing}", file=sys.stderr)
        return 2
    files, problems = sql_files(options.files or [EXAMPLE])
    failed = bool(problems)
    for problem in problems:
        print(f"lineage: {problem}", file=sys.stderr)
    options.several_files = len(files) > 1
    writer = writer_class(options.format)(sys.stdout, options)
    progress = tqdm(files, unit="file", file=sys.stderr, leave=False,
                    disable=len(files) < 2 or not sys.stderr.isatty())
    for name in progress:
        lineage = analyse_file(name, options)
        progress.clear()
        if lineage.error:
            failed = True
            print(f"lineage: {lineage.file}: {lineage.error}", file=sys.stderr)
            continue
        for statement in lineage.statements:
            if statement.error:
                failed = True
                print(f"lineage: {lineage.file}: statement {statement.number}: {statement.error}",
                      file=sys.stderr)
        writer.write(lineage)
        sys.stdout.flush()
    progress.close()
    writer.close()
    return 1 if failed else 0


def run(argv=None):
    """main() with the stream failures every command meets turned into one
    line and an exit status."""
    try:
        return main(argv)
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except FormatError as error:
        print(f"lineage: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("lineage: interrupted", file=sys.stderr)
        return 130
