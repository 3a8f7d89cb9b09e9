"""lineage: column lineage of the SQL queries in files.

Each file holds one MySQL query. It is parsed with sqlglot (backticks removed
first), analysed by the native module `test`, and printed as the lineage
report: the records as a data frame, then one labelled line per record.
With --json every record is printed as one JSON document per line instead.
"""

import argparse
import contextlib
import io
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.path.join(ROOT, "build")
EXAMPLE = os.path.join(ROOT, "examples", "warehouse.sql")

# The native module comes first: the standard library has a package `test`.
sys.path.insert(0, BUILD)

import lineage_report  # noqa: E402
import test as lineage  # noqa: E402
from sqlglot import parse_one  # noqa: E402
from sqlglot.errors import ParseError  # noqa: E402
from tqdm import tqdm  # noqa: E402

STDIN = "-"


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


def read_query(name):
    try:
        if name == STDIN:
            return sys.stdin.read()
        with open(name, encoding="utf-8") as source:
            return source.read()
    except UnicodeDecodeError as error:
        raise FileFailure(f"not UTF-8 text ({error.reason} at byte {error.start})") from error
    except OSError as error:
        raise FileFailure(f"cannot read: {error.strerror}") from error


def describe_parse_error(error):
    details = error.errors[0] if getattr(error, "errors", None) else {}
    where = ""
    if details.get("line") is not None:
        where = f" at line {details['line']}, column {details.get('col')}"
    message = details.get("description") or str(error).splitlines()[0]
    return f"parse error{where}: {message}"


def analyse(name):
    """The records of one file, or FileFailure."""
    text = read_query(name).replace("`", "")
    try:
        tree = parse_one(text, dialect="mysql")
    except ParseError as error:
        raise FileFailure(describe_parse_error(error)) from error
    # The analysis prints an unsupported item before raising; that belongs
    # to the error line below, not to the report.
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            return lineage.test(tree)
        except NotImplementedError as error:
            node = error.args[1] if len(error.args) > 1 else None
            fragment = node.sql(dialect="mysql") if hasattr(node, "sql") else repr(node)
            raise FileFailure(f"not supported ({error.args[0]}): {fragment}") from error
        except Exception as error:  # any other failure is still one file's
            raise FileFailure(f"{type(error).__name__}: {error}") from error


def display_name(name):
    return "<stdin>" if name == STDIN else name


def print_records(name, records, as_json, with_heading):
    if as_json:
        for record in records:
            print(json.dumps({**record, "file": display_name(name)}, ensure_ascii=False))
        return
    if with_heading:
        print(f"==> {display_name(name)} <==")
    lineage_report.print_report(records)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(
        prog="lineage",
        description="Show where every output column of SQL SELECT queries comes from.",
        epilog="With no FILE, a bundled example query is analysed. Exit status: 0 when every "
               "file was analysed, 1 when any failed, 2 for a usage error.",
    )
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a SQL file holding one query (UTF-8), a directory whose *.sql "
                             "files are analysed in name order, or - for standard input")
    parser.add_argument("--json", action="store_true",
                        help="print one JSON document per record (JSON Lines), with the "
                             "file name under the key \"file\"")
    return parser.parse_args(argv)


def main(argv=None):
    options = parse_arguments(argv)
    files, problems = sql_files(options.files or [EXAMPLE])
    failed = bool(problems)
    for problem in problems:
        print(f"lineage: {problem}", file=sys.stderr)

    with_heading = len(files) > 1
    progress = tqdm(files, unit="file", file=sys.stderr, leave=False,
                    disable=len(files) < 2 or not sys.stderr.isatty())
    for index, name in enumerate(progress):
        try:
            records = analyse(name)
        except FileFailure as failure:
            failed = True
            progress.clear()
            print(f"lineage: {display_name(name)}: {failure}", file=sys.stderr)
            continue
        progress.clear()
        if with_heading and index and not options.json:
            print()
        print_records(name, records, options.json, with_heading)
        sys.stdout.flush()
    progress.close()
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except BrokenPipeError:
        # The reader went away (| head): stop quietly, as other tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)
