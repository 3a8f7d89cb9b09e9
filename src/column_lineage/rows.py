"""The package's record types, in one place: what the lineage it returns is
made of (a row per output column and source, the output columns, the
statements of one file), the native module's record and a row as typed
dictionaries, and the records the layer over the module passes between its
stages (a trace, a query's lineage, the module's numbering of a select's
nodes, what a select item says of its output column). The functions over
them live with their concern (records.py, compose.py, store.py, ...).

Nothing heavier than the standard library is imported here: an answer read
from a store needs these types and never sqlglot."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Literal, NamedTuple, Protocol, TypedDict, cast

# The keys of the native module's records, in its order.
MODULE_KEYS = (
    "column_sort", "column_name", "column_alias", "column_table", "column_type",
    "table_db", "table_name", "table_alias",
)

# Every key of a row, in output order (JSON, CSV, tables).
ROW_KEYS = (
    "file", "statement", "place", "position", "output_name",
    "target_db", "target_table", "target_column",
    *MODULE_KEYS,
    "resolved", "ambiguous", "note",
)

# The keys of a row as the row formats write it (JSON Lines, CSV): with how
# its output column is computed ("identity", "transformation",
# "aggregation") and the line of the file its statement starts on.
OUTPUT_KEYS = (*ROW_KEYS, "transformation", "line")
# With indirect lineage asked for: each row's kind ("direct", "indirect")
# and an indirect row's subtype (JOIN, FILTER, GROUP_BY, SORT, WINDOW,
# CONDITIONAL).
INDIRECT_OUTPUT_KEYS = (*OUTPUT_KEYS, "kind", "subtype")

# The note of a row whose source the analysis does not follow, before what it is.
NOT_SUPPORTED = "not supported: "

# Kinds of select item that have no source column, so nothing to resolve.
SOURCELESS_KINDS = ("literal", "null", "anonymous")
# The note of an output column computed from no column at all (1+1).
NO_SOURCE = "no source column"
# The note's start of a row where a star fills one column of a target's
# column list and no schema says which of the star's columns it is.
STAR_SPREAD = "one column of "

# How an output column is computed from its sources (OpenLineage's subtypes).
IDENTITY = "IDENTITY"
AGGREGATION = "AGGREGATION"
TRANSFORMATION = "TRANSFORMATION"

# Why a base column decides which rows a statement gives, or their order
# (indirect lineage; OpenLineage's indirect subtypes).
JOIN = "JOIN"
FILTER = "FILTER"
GROUP_BY = "GROUP_BY"
SORT = "SORT"
WINDOW = "WINDOW"
CONDITIONAL = "CONDITIONAL"

# Every key of an indirect row, in output order.
INDIRECT_KEYS = (
    "file", "statement", "place", "position", "output_name",
    "target_db", "target_table", "target_column",
    "subtype", "table_db", "table_name", "column_name",
)


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


class TraceRecord(TypedDict, total=False):
    """A record as the layer over the module carries it in a trace: the
    module's keys, any of them None where the module's record has no value
    (a record made for an item the module gives none, one whose source was
    taken off again, or one traced through an inner record)."""

    column_sort: int | None
    column_name: str | None
    column_alias: str | None
    column_table: str | None
    column_type: str | None
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


@dataclass
class Trace:
    """One source of one output column: the module's record, whether an
    unqualified column was given to the first of several sources, and a
    remark."""

    record: TraceRecord
    ambiguous: bool = False
    note: str | None = None


class ItemFacts(NamedTuple):
    """What a select item says of its output column, taken before the
    tracer rewrites the item in place."""

    output_name: str
    sql: str
    transformation: str


@dataclass
class QueryLineage:
    """Output names and, per output position, its traces; for the query a
    statement runs, what each of its items says of its output column."""

    names: list[str]
    columns: list[list[Trace]]
    items: list[ItemFacts] = field(default_factory=list)


class Numbered(NamedTuple):  # one per column read: cheaper than a frozen data class
    """One node the native analysis makes a record of: its select item (its
    index among the items), its column_sort, its column name, and, when the
    analysis drops it as a repeat of a node already listed, which earlier
    node (its place among the kept ones) holds the record it shares."""

    item: int
    sort: int
    name: str
    repeats: int | None = None

    @property
    def kept(self) -> bool:
        return self.repeats is None


class TableName(NamedTuple):
    """A table as a statement names it: its database (None where neither
    the statement nor a default database gives one) and its name."""

    db: str | None
    table: str


@dataclass(frozen=True)
class Row:
    """One source of one output column of one statement.

    The eight module keys are what the native analysis says (None where its
    record has no such key); the others place the row in the file and say
    how far it could be resolved."""

    file: str
    statement: int
    place: int | None = field(default=None, kw_only=True)  # keyword-only: callers predate it
    position: int
    output_name: str
    target_db: str | None = None
    target_table: str | None = None
    target_column: str | None = None
    column_sort: int | None = None
    column_name: str | None = None
    column_alias: str | None = None
    column_table: str | None = None
    column_type: str | None = None
    table_db: str | None = None
    table_name: str | None = None
    table_alias: str | None = None
    resolved: bool = False
    ambiguous: bool = False
    note: str | None = None

    @classmethod
    def from_fields(cls, values: dict[str, object]) -> Row:
        """The row of a dict holding every field, in ROW_KEYS order: the same
        row as Row(**values), made without the frozen class's checked
        assignment of each field (three times the cost of the rest)."""
        row = object.__new__(cls)
        row.__dict__.update(values)
        return row

    def as_dict(self) -> RowDict:
        # Every field is a plain value, set in ROW_KEYS order (by __init__ or
        # from_fields): a copy of the instance's dict is the row's dict, with
        # no need for dataclasses.asdict's recursive copy.
        return cast(RowDict, dict(self.__dict__))

    def module_record(self) -> LineageRecord:
        """The row as the native module's record: its keys that are set."""
        return cast(LineageRecord, {key: getattr(self, key) for key in MODULE_KEYS
                                    if getattr(self, key) is not None})

    @property
    def unsupported(self) -> bool:
        """Whether the analysis does not follow the row's source (its note
        says what it met): counted apart from the unresolved."""
        return self.note is not None and self.note.startswith(NOT_SUPPORTED)

    @property
    def sourceless(self) -> bool:
        """Whether the row's output column reads no column at all: a literal,
        NULL, a function without arguments, or an expression of none."""
        return self.column_type in SOURCELESS_KINDS or self.note == NO_SOURCE

    @property
    def unresolved(self) -> bool:
        """Whether the row hides where its column comes from: a column read
        from a table that was not found, or a star filling a target column
        where only a schema would say which of its columns does. Sourceless
        rows and what the analysis does not follow (`unsupported`, counted
        apart) are not unresolved."""
        if self.note is not None and self.note.startswith(STAR_SPREAD):
            return True
        return not self.resolved and not self.sourceless and not self.unsupported


@dataclass(frozen=True)
class IndirectRow:
    """One base column that decides which rows of a statement there are, or
    their order, rather than what a column holds. `position` and
    `output_name` are None at the dataset level (joins, filters, group keys
    and a sort a LIMIT makes decide: every output column); a field-level row
    (CONDITIONAL, WINDOW, and what a query nested in a select item decides)
    names the output column it concerns. `subtype` is one of JOIN, FILTER,
    GROUP_BY, SORT, WINDOW, CONDITIONAL."""

    file: str
    statement: int
    place: int | None
    position: int | None
    output_name: str | None
    target_db: str | None
    target_table: str | None
    target_column: str | None
    subtype: str
    table_db: str | None
    table_name: str
    column_name: str

    @classmethod
    def from_fields(cls, values: dict[str, str | int | None]) -> IndirectRow:
        """The row of a dict holding every field, in INDIRECT_KEYS order,
        made as Row.from_fields makes a row (without the frozen class's
        checked assignment of each field)."""
        row = object.__new__(cls)
        row.__dict__.update(values)
        return row

    def as_dict(self) -> dict[str, str | int | None]:
        """The row's fields by name, in INDIRECT_KEYS order."""
        return {key: getattr(self, key) for key in INDIRECT_KEYS}


@dataclass(frozen=True)
class OutputColumn:
    """One output column of a statement: a select item of its query, a value
    of VALUES, or an assignment of UPDATE and ON DUPLICATE KEY UPDATE; with
    the table and column it fills (none for a plain SELECT)."""

    position: int
    output_name: str
    sql: str
    transformation: str = IDENTITY
    target_column: str | None = None
    target_db: str | None = None
    target_table: str | None = None


@dataclass(frozen=True)
class TableChange:
    """What a statement does to a table besides writing its columns:
    "create" or "create temporary" (a new, empty table or view), "empty"
    (TRUNCATE, DELETE without WHERE), "drop", "rename" to `to_db`.`to_table`,
    "drop column" (`columns`: the column), "rename column" (`columns`: old
    and new name), or "alter" (its columns changed). `columns`: the table's
    columns after a create or alter, where known."""

    action: str
    db: str | None
    table: str
    to_db: str | None = None
    to_table: str | None = None
    columns: tuple[str, ...] | None = None


@dataclass
class Statement:
    """The lineage of one statement of a file.

    `number` is its place in the file as the server runs it; a statement
    of a routine's body (procedure, function, trigger, event) has the
    number of the CREATE that holds it and its `place` in the body. `kind`
    is the statement's kind ("SELECT", "INSERT", "REPLACE", "UPDATE",
    "CREATE TABLE", "CREATE VIEW", ...). A statement that cannot move data
    (SET, USE, DROP, a CREATE TABLE without query, ...) has `moves_data`
    false and no rows; one that may move data but was not analysed has
    `skipped` set (why); one whose analysis failed has `error` set."""

    file: str
    number: int
    kind: str
    sql: str = ""
    target_db: str | None = None
    target_table: str | None = None
    columns: list[OutputColumn] = field(default_factory=list)
    rows: list[Row] = field(default_factory=list)
    skipped: str | None = None
    error: str | None = None
    place: int | None = None
    line: int | None = None
    moves_data: bool = True
    changes: list[TableChange] = field(default_factory=list)
    # Indirect lineage, when asked for (analyse_sql(indirect=True)); why it
    # could not be found, where it could not.
    indirect: list[IndirectRow] = field(default_factory=list, kw_only=True)
    indirect_error: str | None = field(default=None, kw_only=True)
    # The base tables it reads, each once: those its rows name first, in
    # row order, then the others its query reads (in a WHERE, say), with
    # the default database (USE) given to a table named without one; no
    # CTE's name, nor the table it writes.
    reads: list[TableName] = field(default_factory=list, kw_only=True)

    @property
    def label(self) -> str:
        """How messages and outputs name it: "3", or "3.2" for the second
        statement of the body of the routine statement 3 creates."""
        return str(self.number) if self.place is None else f"{self.number}.{self.place}"

    def output_records(self, indirect: bool = False) -> list[dict[str, object]]:
        """Its rows as the row formats write them (OUTPUT_KEYS): each with how
        its output column is computed and the line the statement starts on.
        With `indirect` (INDIRECT_OUTPUT_KEYS) each also says its kind,
        "direct", and the indirect rows follow, of kind "indirect" with their
        subtype (position and output name null at the dataset level)."""
        computed = {column.position: column.transformation.lower() for column in self.columns}
        records: list[dict[str, object]] = [
            {**row.__dict__, "transformation": computed.get(row.position), "line": self.line}
            for row in self.rows]
        if not indirect:
            return records
        for record in records:
            record.update(kind="direct", subtype=None)
        return records + [{
            "file": row.file, "statement": row.statement, "place": row.place,
            "position": row.position, "output_name": row.output_name,
            "target_db": row.target_db, "target_table": row.target_table,
            "target_column": row.target_column, "column_sort": None,
            "column_name": row.column_name, "column_alias": None, "column_table": None,
            "column_type": "column", "table_db": row.table_db, "table_name": row.table_name,
            "table_alias": None, "resolved": True, "ambiguous": False, "note": None,
            "transformation": None, "line": self.line, "kind": "indirect",
            "subtype": row.subtype} for row in self.indirect]


@dataclass
class FileLineage:
    """Every statement of one file, or why the file could not be analysed."""

    file: str
    statements: list[Statement] = field(default_factory=list)
    error: str | None = None
