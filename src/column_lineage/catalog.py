"""The tables a script knows as it runs: the schema given, and over it the
tables the script's own statements create, alter, rename and drop, so that
each statement sees the tables as the statements before it left them."""

from __future__ import annotations

from dataclasses import dataclass, field

from sqlglot.schema import MappingSchema

from .schema import SchemaMapping, table_columns

# A table's key: its database (the default database where none is written,
# "" where there is none) and name, lower case: MySQL servers mostly run
# with lower_case_table_names=1, and warehouse scripts mix the cases.
TableKey = tuple[str, str]
HIDES_BASE = "the schema's table"


@dataclass
class Catalog:
    """The schema given (`base`, or None) and the script's own tables.

    `tables` maps a table the script defined to its columns, or to None
    once the script dropped it (the schema's table of that name, if any,
    shows again). `database` is the default database a `USE` chose."""

    base: MappingSchema | None = None
    dialect: str = "mysql"
    database: str | None = None
    tables: dict[TableKey, list[str] | None] = field(default_factory=dict)
    # What a temporary table hides until it is dropped: the definition the
    # script had for its name, or HIDES_BASE where the schema's shows again.
    hidden: dict[TableKey, list[str] | str | None] = field(default_factory=dict)
    _merged: MappingSchema | None = None
    _stale: bool = False

    def key(self, db: str | None, name: str) -> TableKey:
        return ((db or self.database or "").lower(), name.lower())

    def columns(self, db: str | None, name: str) -> list[str]:
        """The table's columns in order, the script's definition first; none
        where unknown."""
        key = self.key(db, name)
        if key in self.tables:
            return list(self.tables[key] or [])
        return table_columns(self.base, db or self.database, name)

    def define(self, db: str | None, name: str, columns: list[str],
               temporary: bool = False) -> None:
        key = self.key(db, name)
        if temporary and key not in self.hidden:
            self.hidden[key] = self.tables.get(key, HIDES_BASE)
        self.tables[key] = list(dict.fromkeys(columns))
        self._stale = True

    def drop(self, db: str | None, name: str) -> None:
        """The table is gone; a temporary one's drop shows the table it hid."""
        key = self.key(db, name)
        if key in self.hidden:
            shown = self.hidden.pop(key)
            if shown == HIDES_BASE:
                del self.tables[key]
            else:
                self.tables[key] = shown if isinstance(shown, list) else None
            self._stale = True
        elif key in self.tables or table_columns(self.base, db or self.database, name):
            self.tables[key] = None
            self._stale = True

    def rename(self, old: tuple[str | None, str], new: tuple[str | None, str]) -> None:
        columns = self.columns(*old)
        self.drop(*old)
        self.define(new[0], new[1], columns)

    def alter(self, db: str | None, name: str,
              changes: list[tuple[str, str | None, str | None, str | None]]) -> None:
        """ALTER TABLE's column changes, in order: ("add", None, c, position),
        ("drop", c, None, None), ("rename", old, new, position), ("move", c,
        c, position); position None, "FIRST" or "AFTER column"."""
        columns = self.columns(db, name)
        if not columns and self.key(db, name) not in self.tables:
            return  # a table known to nobody: its other columns are unknown too
        for change, old, new, position in changes:
            at = next((at for at, column in enumerate(columns)
                       if old is not None and column.lower() == old.lower()), None)
            if change in ("drop", "rename", "move"):
                if at is None:
                    continue
                del columns[at]
            if change == "drop" or new is None:
                continue
            place = len(columns) if at is None or change == "add" else at
            if position == "FIRST":
                place = 0
            elif position and position.upper().startswith("AFTER "):
                after = position[6:].lower()
                place = next((index + 1 for index, column in enumerate(columns)
                              if column.lower() == after), place)
            columns.insert(place, new)
        self.define(db, name, columns)

    def copy(self) -> Catalog:
        """A catalog that starts as this one and changes apart from it (the
        tables a routine's body creates live in its own run)."""
        return Catalog(self.base, self.dialect, self.database, dict(self.tables),
                       dict(self.hidden), self._merged, self._stale)

    def schema(self) -> MappingSchema | None:
        """The schema the analysis of the next statement reads: the given one
        with the script's tables over it. Made again only after a change."""
        if not self.tables:
            return self.base
        if self._merged is None or self._stale:
            self._merged = merged_schema(self.base, self.tables, self.dialect)
            self._stale = False
        return self._merged


def merged_schema(base: MappingSchema | None, tables: dict[TableKey, list[str] | None],
                  dialect: str) -> MappingSchema | None:
    """The base schema's mapping with the script's tables put over it:
    {db: {table: {column: type}}}, or {table: {column: type}} where the base
    schema names no databases. A base schema with catalogs is left as it is."""
    depth = base.depth() if base is not None else 2  # the levels above the columns
    if depth not in (1, 2):
        return base
    mapping: SchemaMapping = {}
    if base is not None:
        given: SchemaMapping = base.mapping
        mapping = dict(given) if depth == 1 else {db: dict(names) for db, names in given.items()}
    for (db, name), columns in tables.items():
        holder = mapping if depth == 1 else mapping.setdefault(db, {})
        for existing in [known for known in holder if known.lower() == name]:
            del holder[existing]
        if columns:
            holder[name] = {column: "UNKNOWN" for column in columns}
    if depth == 2:
        mapping = {db: names for db, names in mapping.items() if names}
    if not mapping:
        return None
    return MappingSchema(mapping, dialect=dialect, normalize=False)
