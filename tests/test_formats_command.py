"""The formats through the lineage command over real SQL files: the same
lineage in every format, the table as the default on a terminal, and a
table run that never imports pandas."""

import csv
import io
import json
import subprocess
import sys

import pytest

from conftest import run_on_terminal, subprocess_env
from test_command import run_command
from test_formats_openlineage import read_events

JOIN = ("SELECT o.id AS order_id, c.name AS customer\n"
        "FROM shop.orders AS o JOIN shop.customers AS c ON c.id = o.customer_id")
SOURCES = {("order_id", "shop", "orders", "id"), ("customer", "shop", "customers", "name")}


@pytest.fixture
def join_file(tmp_path):
    path = tmp_path / "join.sql"
    path.write_text(JOIN + ";\n", encoding="utf-8")
    return str(path)


def output(*args):
    result = run_command(*args)
    assert result.returncode == 0, result.stderr
    assert len(result.stderr.splitlines()) == 1 and "0 failed files" in result.stderr, \
        result.stderr  # the summary line alone
    return result.stdout


def test_json_and_csv_carry_the_same_rows(join_file):
    documents = [json.loads(line) for line in output("--format", "json", join_file).splitlines()]
    assert {(d["output_name"], d["table_db"], d["table_name"], d["column_name"])
            for d in documents} == SOURCES
    assert {d["file"] for d in documents} == {join_file}
    assert output("--json", join_file) == output("--format", "json", join_file)
    records = csv.DictReader(io.StringIO(output("--format", "csv", join_file), newline=""),
                             quoting=csv.QUOTE_NOTNULL)
    as_text = [{key: None if value is None else str(value).lower() if isinstance(value, bool)
                else str(value) for key, value in document.items()} for document in documents]
    assert list(records) == as_text


def test_openlineage_events_name_the_joined_tables(join_file):
    event, = read_events(output("--format", "openlineage", "--namespace", "mysql://db:3306",
                                "--event-time", "2026-01-02T03:04:05", join_file))
    assert event.eventTime == "2026-01-02T03:04:05+00:00"
    assert event.job.name == "join.sql:1"  # the file by its name, however it was given
    assert {(d.namespace, d.name) for d in event.inputs} == {
        ("mysql://db:3306", "shop.orders"), ("mysql://db:3306", "shop.customers")}
    assert event.outputs == []  # a query's result is no dataset


def test_table_shows_the_heading_and_every_source(join_file):
    text = output("--format", "table", join_file)
    lines = text.splitlines()
    assert lines[:4] == [join_file, "=" * len(join_file), "", "statement 1: SELECT"]
    for output_name, db, table, column in SOURCES:
        assert any(line.split()[1:2] == [output_name] and f"{db}.{table}" in line.split()
                   for line in lines), output_name


@pytest.mark.parametrize("argument", ["--event-time=yesterday", "--format=xml"])
def test_bad_options_are_one_usage_error(argument, join_file):
    result = run_command(argument, join_file)
    assert result.returncode == 2 and result.stdout == ""
    assert result.stderr.splitlines()[-1].startswith("lineage: error: argument --")
    assert "Traceback" not in result.stderr


def test_a_failed_statement_has_no_event_and_one_line(tmp_path):
    path = tmp_path / "mixed.sql"
    path.write_text("SELECT FROM WHERE (;\n" + JOIN + ";\n", encoding="utf-8")
    result = run_command("--format", "openlineage", str(path))
    assert result.returncode == 1
    problem, summary = result.stderr.splitlines()
    assert problem.startswith(f"lineage: {path}: statement 1: parse error")
    assert summary.startswith("lineage: 1 files, 2 statements")
    assert [event.job.name for event in read_events(result.stdout)] == ["mixed.sql:2"]


def imported_modules(*args):
    """Top-level names of the modules a command run imports."""
    result = subprocess.run([sys.executable, "-X", "importtime", "-m", "column_lineage", *args],
                            capture_output=True, text=True, timeout=120, env=subprocess_env())
    assert result.returncode == 0, result.stderr[-2000:]
    lines = [line for line in result.stderr.splitlines() if line.startswith("import time:")]
    assert lines, result.stderr[-2000:]
    return {line.rsplit("|", 1)[1].strip().split(".")[0] for line in lines}


def test_the_table_format_does_not_import_pandas(join_file):
    table = imported_modules("--format", "table", join_file)
    assert "sqlglot" in table and "pandas" not in table
    # The check can see pandas: the report, which prints a data frame, imports it.
    assert "pandas" in imported_modules("--format", "report", join_file)


def on_terminal(*args, columns):
    """Runs the command with standard output on a terminal `columns` wide."""
    result, shown = run_on_terminal(args, "stdout", COLUMNS=str(columns))
    assert result.returncode == 0, result.stderr
    return shown


def test_the_table_is_the_default_on_a_terminal_and_fits_it(tmp_path):
    path = tmp_path / "wide.sql"
    path.write_text("SELECT o.a_very_long_column_name_for_a_narrow_terminal AS total_amount_in_euros "
                    "FROM a_database_name.a_long_table_name AS o", encoding="utf-8")
    text = on_terminal(str(path), columns=70)
    lines = text.splitlines()
    assert "statement 1: SELECT" in lines
    table = lines[lines.index("statement 1: SELECT") + 2:]
    assert table and all(len(line) <= 70 for line in table)
    assert "序号" not in text
