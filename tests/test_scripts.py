"""Whole MySQL scripts as the tools write them (tests/scripts: a mysqldump
file, a Workbench export, a stored-procedure ETL, a temporary-table ETL and
every UPDATE and INSERT form) against their hand-worked lineage in
expected.yaml: how the statements are numbered, and per data-moving statement
its kind and, per output column, the column it fills (or its name) and the
base columns it reads."""

from __future__ import annotations

import functools
import os

import pytest
import yaml

from column_lineage import analyse_sql

SCRIPTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "scripts")
with open(os.path.join(SCRIPTS, "expected.yaml"), encoding="utf-8") as labels:
    EXPECTED = yaml.safe_load(labels)


@functools.cache
def analysed(name):
    """The statements analyse_sql gives for one script (analysed once)."""
    with open(os.path.join(SCRIPTS, name), encoding="utf-8") as script:
        return analyse_sql(script.read(), file=name)


def labelled():
    """One case per labelled statement, named file:number[.place]."""
    for name, entry in EXPECTED.items():
        for label in entry["expect"]:
            place = f".{label['place']}" if "place" in label else ""
            yield pytest.param(name, label, id=f"{name}:{label['statement']}{place}")


def target(column, rows):
    """db.table.column an output column fills, from its rows or itself."""
    for holder in (*rows, column):
        parts = [getattr(holder, key, None) for key in ("target_db", "target_table", "target_column")]
        if all(parts):
            return ".".join(parts).lower()
    return None


def lineage(statement, by_name):
    """Per output position: its target (or output name) and sorted sources."""
    found = []
    for column in sorted(statement.columns, key=lambda column: column.position):
        rows = [row for row in statement.rows if row.position == column.position]
        sources = {f"{row.table_db}.{row.table_name}.{row.column_name}".lower() for row in rows
                   if row.resolved and row.column_type in ("column", "subquery")}
        found.append((column.output_name.lower() if by_name else target(column, rows),
                      sorted(sources)))
    return found


@pytest.mark.parametrize("name", list(EXPECTED))
def test_statements_are_numbered_as_the_server_runs_them(name):
    statements = analysed(name)
    numbers = {statement.number for statement in statements}
    assert len(numbers) == max(numbers) == EXPECTED[name]["statements"]
    assert [(s.number, s.place, s.error) for s in statements if s.error] == []


@pytest.mark.parametrize(("name", "label"), labelled())
def test_statement_lineage(name, label):
    found = [statement for statement in analysed(name) if statement.number == label["statement"]
             and statement.place == label.get("place")]
    assert len(found) == 1, f"{len(found)} statements numbered so"
    statement = found[0]
    assert statement.kind == label["kind"]
    by_name = label["kind"] == "SELECT"
    expected = [(column["name" if by_name else "target"], sorted(column["sources"]))
                for column in label["columns"]]
    assert lineage(statement, by_name) == expected
