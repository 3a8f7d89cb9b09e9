"""Helpers for the hand-worked warehouse tests: a statement's lineage as one
set of sources per output position, written `db.table.column` (`table.column`
without database, `?name` for a row with no source table)."""

import os

from column_lineage import analyse_sql

FIXTURES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "warehouse")


def fixture(name):
    with open(os.path.join(FIXTURES, name), encoding="utf-8") as source:
        return source.read()


def source(row):
    if not row.resolved:
        return "?" if row.column_name is None else f"?{row.column_name}"
    table = f"{row.table_db}.{row.table_name}" if row.table_db else row.table_name
    return f"{table}.{row.column_name}"


def by_position(statement):
    positions = [set() for _ in statement.columns]
    for row in statement.rows:
        positions[row.position - 1].add(source(row))
    return positions


def lineage(sql, **options):
    """The sources per position of the one statement of `sql`."""
    statements = analyse_sql(sql, **options)
    assert len(statements) == 1, statements
    assert statements[0].error is None, statements[0].error
    return by_position(statements[0])
