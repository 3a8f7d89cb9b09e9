"""The tables the files given declare, learned across files: without a
schema, the columns one file's CREATE TABLE, CREATE TABLE … AS, view or
ALTER TABLE declares settle `*`, `t.*` and unqualified columns in every
other file, not only later in the same one."""

from __future__ import annotations

from dataclasses import dataclass, replace

from .rows import FileLineage, Row

TableKey = tuple[str, str]


@dataclass(frozen=True)
class Declared:
    """A table as the files last declare it, and which file does."""

    db: str | None
    table: str
    columns: tuple[str, ...]
    file: str


def declared_tables(lineages: list[FileLineage]) -> dict[TableKey, Declared]:
    """The permanent tables and views the files declare, with their columns
    as the last declaration (in file order) left them; renames followed."""
    found: dict[TableKey, Declared] = {}
    for lineage in lineages:
        for statement in lineage.statements:
            if statement.place is not None or statement.error is not None:
                continue  # a routine's body runs later, if ever
            for change in statement.changes:
                key = ((change.db or "").lower(), change.table.lower())
                if change.action in ("create", "alter") and change.columns:
                    found[key] = Declared(change.db, change.table, change.columns, lineage.file)
                elif change.action == "rename" and change.to_table and key in found:
                    moved = found.pop(key)
                    found[((change.to_db or "").lower(), change.to_table.lower())] = replace(
                        moved, db=change.to_db, table=change.to_table)
    return found


def as_mapping(declared: dict[TableKey, Declared]) -> dict:
    """The declared tables as a schema mapping {db: {table: {column: type}}}."""
    mapping: dict = {}
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
