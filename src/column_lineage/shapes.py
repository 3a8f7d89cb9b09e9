"""Typed shapes of the dictionaries the package hands out: the native
module's lineage record and a row as a dictionary (`Row.as_dict()`)."""

from __future__ import annotations

from typing import Any, Literal, Protocol, TypedDict


class SqlNode(Protocol):
    """A node of a sqlglot tree, of whichever release: `exp.Expression` up
    to 27.x, `exp.Expr` (its base) from 28 on, as the parser returns it."""

    args: dict[str, Any]


# The kinds of select item a record can describe.
ColumnType = Literal["literal", "null", "column", "subquery", "anonymous"]


class LineageRecord(TypedDict, total=False):
    """One record of the native module: an open record has the five column
    keys, a bound one all eight; a table key copied from an inner record
    that lacks it is None."""

    column_sort: int
    column_name: str
    column_alias: str
    column_table: str
    column_type: ColumnType
    table_db: str | None
    table_name: str | None
    table_alias: str | None


class RowDict(TypedDict):
    """A `Row` as a dictionary: every key present, None where empty."""

    file: str
    statement: int
    place: int | None
    position: int
    output_name: str
    target_db: str | None
    target_table: str | None
    target_column: str | None
    column_sort: int | None
    column_name: str | None
    column_alias: str | None
    column_table: str | None
    column_type: str | None
    table_db: str | None
    table_name: str | None
    table_alias: str | None
    resolved: bool
    ambiguous: bool
    note: str | None
