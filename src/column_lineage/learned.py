"""The tables the files given declare, learned across files: without a
schema, the columns one file's CREATE TABLE, CREATE TABLE … AS, view or
ALTER TABLE declares settle `*`, `t.*` and unqualified columns in every
other file, not only later in the same one. A table no file creates is
known by the columns the files insert into it."""

from __future__ import annotations

from dataclasses import dataclass, replace
from typing import TYPE_CHECKING

from .rows import FileLineage, Row, Statement

if TYPE_CHECKING:
    from .schema import SchemaMapping

TableKey = tuple[str, str]


@dataclass(frozen=True)
class Declared:
    """A table as the files last declare it, and which file does."""

    db: str | None
    table: str
    columns: tuple[str, ...]
    file: str


INSERT_KINDS = ("INSERT", "REPLACE")


def declared_tables(lineages: list[FileLineage]) -> dict[TableKey, Declared]:
    """The permanent tables and views the files declare, with their columns
    as the last declaration (in file order) left them; renames followed.
    A table none declares, but that inserts name the columns of, has those
    columns (in the order the files first name them)."""
    found: dict[TableKey, Declared] = {}
    inserted: dict[TableKey, Declared] = {}
    for lineage in lineages:
        temporary: set[TableKey] = set()
        for statement in lineage.statements:
            if statement.place is not None or statement.error is not None:
                continue  # a routine's body runs later, if ever
            for change in statement.changes:
                key = ((change.db or "").lower(), change.table.lower())
                if change.action == "create temporary":
                    temporary.add(key)
                elif change.action in ("create", "alter") and change.columns:
                    found[key] = Declared(change.db, change.table, change.columns, lineage.file)
                elif change.action == "rename" and change.to_table and key in found:
                    moved = found.pop(key)
                    found[((change.to_db or "").lower(), change.to_table.lower())] = replace(
                        moved, db=change.to_db, table=change.to_table)
            if statement.kind in INSERT_KINDS and statement.target_table:
                key = ((statement.target_db or "").lower(), statement.target_table.lower())
                if key not in temporary:
                    add_inserted(inserted, key, statement, lineage.file)
    return {**{key: table for key, table in inserted.items() if key not in found}, **found}


def add_inserted(inserted: dict[TableKey, Declared], key: TableKey, statement: Statement,
                 file: str) -> None:
    """Adds the columns an insert names to what is known of its table."""
    named = [column.target_column for column in statement.columns
             if column.target_column and column.target_column != "*"
             and column.target_table == statement.target_table]
    if not named or not statement.target_table:
        return
    known = inserted.get(key)
    if known is None:
        inserted[key] = Declared(statement.target_db, statement.target_table, tuple(named), file)
        return
    have = {column.lower() for column in known.columns}
    more = tuple(column for column in named if column.lower() not in have)
    if more:
        inserted[key] = replace(known, columns=known.columns + more)


def as_mapping(declared: dict[TableKey, Declared]) -> SchemaMapping:
    """The declared tables as a schema mapping {db: {table: {column: type}}}."""
    mapping: SchemaMapping = {}
    for table in declared.values():
        mapping.setdefault(table.db or "", {})[table.table] = dict.fromkeys(table.columns,
                                                                             "UNKNOWN")
    return mapping


def row_key(row: Row) -> TableKey:
    return ((row.table_db or "").lower(), (row.table_name or "").lower())


def would_learn(lineage: FileLineage, declared: dict[TableKey, Declared]) -> bool:
    """Whether another file's declarations could settle something of this
    file: a `*` over a declared table, an ambiguous column, a star filling a
    target column, or a `*` written into a declared table of unknown columns."""
    for statement in lineage.statements:
        target = ((statement.target_db or "").lower(), (statement.target_table or "").lower())
        for row in statement.rows:
            if row.ambiguous or (row.column_name == "*" and row_key(row) in declared) \
                    or (row.target_column == "*" and target in declared):
                return True
    return False


def note_learned(lineage: FileLineage, declared: dict[TableKey, Declared]) -> None:
    """Marks the rows of a file analysed with the learned tables that read a
    table another file declares (unless they carry a note already)."""
    for statement in lineage.statements:
        statement.rows = [learned_row(row, declared, lineage.file) for row in statement.rows]


def learned_row(row: Row, declared: dict[TableKey, Declared], file: str) -> Row:
    table = declared.get(row_key(row))
    if table is None or table.file == file or row.note is not None or not row.resolved:
        return row
    return replace(row, note=f"columns of {table.db + '.' if table.db else ''}{table.table} "
                             f"as {table.file} declares them")
