"""What earlier runs analysed, kept in one SQLite file: each file's lineage
with the digests of its content and of the settings it was analysed with, so
that a later run analyses only new and changed files, and the order the last
run ran its files in, so that lineage questions can be answered from the
store alone.

One run uses a store at a time: `Store.open` takes the file's write lock
for the whole run (a second run waits, then gives up with a StoreError), and
`close` commits. A file that is not a store of this tool is never written
to: its header is read and checked before SQLite opens it."""

from __future__ import annotations

import hashlib
import json
import math
import os
import sqlite3
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass, field
from operator import attrgetter
from types import TracebackType
from typing import Any

from .errors import StoreError as StoreError  # raised here, importable from here
from .rows import (
    INDIRECT_KEYS,
    FileLineage,
    IndirectRow,
    OutputColumn,
    Row,
    Statement,
    TableChange,
    TableName,
)

# PRAGMA application_id of a store: "CLin" (column lineage) as a big-endian number.
APPLICATION_ID = int.from_bytes(b"CLin", "big")

# STRICT tables (type-checked columns) need SQLite 3.37.
LEAST_SQLITE = (3, 37, 0)

# Step n of the schema: what takes a store of version n to version n + 1.
# PRAGMA user_version holds the number of steps taken; a new store is a
# store of version 0 (stamped with our application id, nothing else yet).
# A step is only ever added, never changed: stores out there were made by it.
MIGRATIONS: tuple[tuple[str, ...], ...] = (
    (
        """CREATE TABLE file (
            id INTEGER PRIMARY KEY,
            path TEXT NOT NULL UNIQUE,      -- as the run named it: the store's key
            file TEXT NOT NULL,             -- FileLineage.file
            digest TEXT NOT NULL,
            settings TEXT NOT NULL,
            position INTEGER,               -- in the last run's order; NULL: not in it
            error TEXT
        ) STRICT""",
        # A file's statements have ascending ids in the file's order.
        """CREATE TABLE statement (
            id INTEGER PRIMARY KEY,
            file_id INTEGER NOT NULL REFERENCES file (id) ON DELETE CASCADE,
            file TEXT,                      -- NULL: the same as its FileLineage's
            number INTEGER NOT NULL,
            kind TEXT NOT NULL,
            sql TEXT NOT NULL,
            target_db TEXT,
            target_table TEXT,
            skipped TEXT,
            error TEXT,
            place INTEGER,
            line INTEGER,
            moves_data INTEGER NOT NULL
        ) STRICT""",
        "CREATE INDEX statement_file ON statement (file_id)",
        """CREATE TABLE output_column (
            statement_id INTEGER NOT NULL REFERENCES statement (id) ON DELETE CASCADE,
            seq INTEGER NOT NULL,
            position INTEGER NOT NULL,
            output_name TEXT NOT NULL,
            sql TEXT NOT NULL,
            transformation TEXT NOT NULL,
            target_column TEXT,
            target_db TEXT,
            target_table TEXT,
            PRIMARY KEY (statement_id, seq)
        ) STRICT, WITHOUT ROWID""",
        # A row's file, statement and place are nearly always its statement's,
        # its output name and target those of the statement's output column at
        # its position: `inherits` says so, and those seven are NULL then.
        """CREATE TABLE source_row (
            statement_id INTEGER NOT NULL REFERENCES statement (id) ON DELETE CASCADE,
            seq INTEGER NOT NULL,
            position INTEGER NOT NULL,
            column_sort INTEGER,
            column_name TEXT,
            column_alias TEXT,
            column_table TEXT,
            column_type TEXT,
            table_db TEXT,
            table_name TEXT,
            table_alias TEXT,
            resolved INTEGER NOT NULL,
            ambiguous INTEGER NOT NULL,
            note TEXT,
            inherits INTEGER NOT NULL,
            file TEXT,
            statement INTEGER,
            place INTEGER,
            output_name TEXT,
            target_db TEXT,
            target_table TEXT,
            target_column TEXT,
            PRIMARY KEY (statement_id, seq)
        ) STRICT, WITHOUT ROWID""",
        """CREATE TABLE table_change (
            statement_id INTEGER NOT NULL REFERENCES statement (id) ON DELETE CASCADE,
            seq INTEGER NOT NULL,
            action TEXT NOT NULL,
            db TEXT,
            table_name TEXT NOT NULL,
            to_db TEXT,
            to_table TEXT,
            columns TEXT,                   -- JSON list of the table's columns, or NULL
            PRIMARY KEY (statement_id, seq)
        ) STRICT, WITHOUT ROWID""",
    ),
    (
        # The pipeline the stored files compose, kept so that questions about
        # it are answered without loading and composing every file: each
        # version of a column (its serial as id) and what fed it.
        """CREATE TABLE graph_column (
            id INTEGER PRIMARY KEY,
            db TEXT,
            table_name TEXT NOT NULL,
            column_name TEXT NOT NULL,
            key_db TEXT NOT NULL,           -- the names as MySQL matches them: lower case,
            key_table TEXT NOT NULL,        -- '' for no database
            key_column TEXT NOT NULL,
            temporary INTEGER NOT NULL,
            written INTEGER NOT NULL,
            final INTEGER                   -- place among the columns written that exist at
        ) STRICT""",                        # the end; NULL for the others
        "CREATE INDEX graph_column_key ON graph_column (key_table, key_db, key_column)",
        """CREATE TABLE graph_feed (
            column_id INTEGER NOT NULL,
            seq INTEGER NOT NULL,
            source_id INTEGER NOT NULL,
            file TEXT NOT NULL,
            statement TEXT NOT NULL,
            transformation TEXT NOT NULL,
            PRIMARY KEY (column_id, seq)
        ) STRICT, WITHOUT ROWID""",
        "CREATE INDEX graph_feed_source ON graph_feed (source_id)",
        # One record while the graph is that of the files stored: the counts
        # of the run's summary over them (JSON). Any change to the files drops it.
        "CREATE TABLE graph_made (summary TEXT NOT NULL) STRICT",
        # Indirect lineage (analysed with indirect=True): the columns that
        # decide which rows, or their order; why it could not be found.
        "ALTER TABLE statement ADD COLUMN indirect_error TEXT",
        # Whether the file was analysed with its indirect lineage.
        "ALTER TABLE file ADD COLUMN indirect INTEGER NOT NULL DEFAULT 0",
        """CREATE TABLE indirect_row (
            statement_id INTEGER NOT NULL REFERENCES statement (id) ON DELETE CASCADE,
            seq INTEGER NOT NULL,
            file TEXT NOT NULL,
            statement INTEGER NOT NULL,
            place INTEGER,
            position INTEGER,               -- NULL: the dataset level
            output_name TEXT,
            target_db TEXT,
            target_table TEXT,
            target_column TEXT,
            subtype TEXT NOT NULL,
            table_db TEXT,
            table_name TEXT NOT NULL,
            column_name TEXT NOT NULL,
            PRIMARY KEY (statement_id, seq)
        ) STRICT, WITHOUT ROWID""",
        *(f"""CREATE TRIGGER file_{event.lower()} AFTER {event} ON file
            BEGIN DELETE FROM graph_made; END""" for event in ("INSERT", "UPDATE", "DELETE")),
    ),
    (
        # The base tables each statement reads (Statement.reads), as a JSON
        # list of [db, table]; NULL for a statement stored before they were
        # kept, whose rows then say what it reads. The files stored so far
        # are analysed again by the next run that names them.
        "ALTER TABLE statement ADD COLUMN reads TEXT",
        "UPDATE file SET settings = ''",
    ),
)

SCHEMA_VERSION = len(MIGRATIONS)

# The columns each table of the current version must have, in order: a store
# whose tables differ was changed by something else.
TABLES = {
    "file": ("id", "path", "file", "digest", "settings", "position", "error", "indirect"),
    "statement": ("id", "file_id", "file", "number", "kind", "sql", "target_db", "target_table",
                  "skipped", "error", "place", "line", "moves_data", "indirect_error", "reads"),
    "output_column": ("statement_id", "seq", "position", "output_name", "sql", "transformation",
                      "target_column", "target_db", "target_table"),
    "source_row": ("statement_id", "seq", "position", "column_sort", "column_name",
                   "column_alias", "column_table", "column_type", "table_db", "table_name",
                   "table_alias", "resolved", "ambiguous", "note", "inherits", "file",
                   "statement", "place", "output_name", "target_db", "target_table",
                   "target_column"),
    "table_change": ("statement_id", "seq", "action", "db", "table_name", "to_db", "to_table",
                     "columns"),
    "graph_column": ("id", "db", "table_name", "column_name", "key_db", "key_table",
                     "key_column", "temporary", "written", "final"),
    "graph_feed": ("column_id", "seq", "source_id", "file", "statement", "transformation"),
    "graph_made": ("summary",),
    "indirect_row": ("statement_id", "seq", *INDIRECT_KEYS),
}

# The fields each table stores, in its column order after the keys.
STATEMENT_FIELDS = ("number", "kind", "sql", "target_db", "target_table", "skipped", "error",
                    "place", "line", "moves_data", "indirect_error")
COLUMN_FIELDS = ("position", "output_name", "sql", "transformation", "target_column",
                 "target_db", "target_table")
CHANGE_FIELDS = ("action", "db", "table", "to_db", "to_table")
# A row's fields, in the order Row.from_fields takes them (ROW_KEYS): its
# head (where it is and what it fills) and the rest, its source.
ROW_HEAD = ("file", "statement", "place", "position", "output_name", "target_db", "target_table",
            "target_column")
ROW_SOURCE = ("column_sort", "column_name", "column_alias", "column_table", "column_type",
              "table_db", "table_name", "table_alias", "resolved", "ambiguous", "note")
ROW_FIELDS = ROW_HEAD + ROW_SOURCE

Record = tuple[Any, ...]

HEADER_SIZE = 100
SQLITE_MAGIC = b"SQLite format 3\x00"


# Files put are written in batches of about this many records: one
# executemany per table and batch, instead of one per file, halved the
# store's cost in a first scan of 2,000 files.
BATCH_RECORDS = 20_000


@dataclass
class Batch:
    """The records of the files put and not yet written."""

    paths: dict[str, None] = field(default_factory=dict)  # in order, each once
    files: list[Record] = field(default_factory=list)
    statements: list[Record] = field(default_factory=list)
    columns: list[Record] = field(default_factory=list)
    rows: list[Record] = field(default_factory=list)
    changes: list[Record] = field(default_factory=list)
    indirect: list[Record] = field(default_factory=list)


def content_digest(data: bytes) -> str:
    """The SHA-256 of a file's content, in hex."""
    return hashlib.sha256(data).hexdigest()


def one_line(text: str) -> str:
    """The text with its line breaks and runs of blanks as single spaces."""
    return " ".join(text.split())


def header_problem(header: bytes) -> str | None:
    """Why a file starting with `header` (its first 100 bytes, or all of a
    shorter file) is not a store this tool may open; None for a store of this
    tool's schema or an older one, and for an empty file (a new store)."""
    if not header:
        return None
    if not header.startswith(SQLITE_MAGIC):
        return "not a SQLite database, so not a lineage store"
    if len(header) < HEADER_SIZE:
        return f"damaged SQLite database: {len(header)} bytes, shorter than its header"
    application = int.from_bytes(header[68:72], "big", signed=True)
    if application != APPLICATION_ID:
        return f"not a lineage store (a SQLite database of application id {application})"
    return version_problem(int.from_bytes(header[60:64], "big", signed=True))


def version_problem(version: int) -> str | None:
    """Why a store of schema version `version` cannot be opened; None when
    it is this tool's version or an older one."""
    if version > SCHEMA_VERSION:
        return (f"a lineage store of schema version {version}, newer than this tool's "
                f"({SCHEMA_VERSION}): use a newer version of the tool")
    if version < 0:
        return f"damaged lineage store: schema version {version}"
    return None


def read_header(path: str) -> bytes:
    """The first bytes of the file at `path` (b"" when it is missing)."""
    try:
        with open(path, "rb") as stream:
            return stream.read(HEADER_SIZE)
    except FileNotFoundError:
        return b""
    except OSError as error:
        raise StoreError(f"{path}: cannot read: {one_line(error.strerror or str(error))}") from None


def checked_wait(wait: float) -> float:
    """`wait` as seconds to wait for another run; ValueError unless a
    finite number of seconds, zero or more."""
    if isinstance(wait, bool) or not isinstance(wait, (int, float)) \
            or not math.isfinite(wait) or wait < 0:
        raise ValueError(f"wait must be a number of seconds, zero or more, not {wait!r}")
    return float(wait)


def busy(error: sqlite3.Error) -> bool:
    """Whether the error says another connection holds the database."""
    code = getattr(error, "sqlite_errorcode", None)
    return code is not None and code & 0xFF in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)


def failure(error: sqlite3.Error) -> str:
    """What an error of SQLite's while opening a store says of the store."""
    code = getattr(error, "sqlite_errorcode", 0) & 0xFF
    if code in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB):
        return f"damaged lineage store: {one_line(str(error))}"
    return f"cannot use the lineage store: {one_line(str(error))}"


def table_columns(db: sqlite3.Connection) -> dict[str, tuple[str, ...]]:
    """The store's tables and their columns, as the database holds them."""
    names = [name for (name,) in db.execute(
        "SELECT name FROM sqlite_schema WHERE type = 'table' AND name NOT LIKE 'sqlite_%'")]
    return {name: tuple(column[1] for column in db.execute(f'PRAGMA table_info("{name}")'))
            for name in names}


def schema_problem(found: dict[str, tuple[str, ...]]) -> str | None:
    """Why tables `found` are not a store of the current version's tables."""
    for name, columns in TABLES.items():
        if name not in found:
            return f"damaged lineage store: table {name} is missing"
        if found[name] != columns:
            return f"damaged lineage store: table {name} has columns {', '.join(found[name])}"
    return None


class Store:
    """The analysed files of earlier runs, open for one run (see the module's
    docstring); a context manager that closes (and commits) on leaving."""

    def __init__(self, path: str, db: sqlite3.Connection) -> None:
        self.path = path
        self._db: sqlite3.Connection | None = db
        self._order: dict[str, int] | None = None
        self._batch = Batch()  # files put, not yet written
        self._ids: dict[str, int] | None = None  # see _file_ids
        self._next_statement: int | None = None  # the id of the next statement put

    @classmethod
    def open(cls, path: str, *, wait: float = 10.0, check: bool = True) -> Store:
        """Opens the store at `path`, creating it when missing. Takes the store for this run:
        a second run opening the same store meanwhile waits up to `wait` seconds, then raises
        StoreError ("… is in use by another run"). Raises StoreError for a file that is not a
        store of this tool (not SQLite, another application id), a damaged one, or one of a
        newer schema version; a store of an older schema version is migrated in place.
        `check`: every page of the file is checked first (SQLite's quick_check, which reads
        the whole file: a run that only asks questions goes without, and damage it meets
        is a StoreError all the same)."""
        seconds = checked_wait(wait)
        if sqlite3.sqlite_version_info < LEAST_SQLITE:
            raise StoreError(f"{path}: a lineage store needs SQLite 3.37 or later, this Python "
                             f"has {sqlite3.sqlite_version}")
        if os.path.isdir(path):
            raise StoreError(f"{path}: is a directory, not a lineage store")
        header = read_header(path)
        problem = header_problem(header)
        if problem is not None:
            raise StoreError(f"{path}: {problem}")
        try:
            db = sqlite3.connect(path, timeout=seconds, isolation_level=None)
        except sqlite3.Error as error:
            raise StoreError(f"{path}: cannot open: {one_line(str(error))}") from None
        try:
            db.execute("PRAGMA foreign_keys = ON")
            db.execute("PRAGMA synchronous = NORMAL")
            db.execute("PRAGMA cache_size = -32000")  # KiB: a large file's put stays in memory
            begin(db, path)
            prepare(db, path, new=not header, check=check)
            if db.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
                # Only out of a transaction, and only once for a new store.
                db.execute("COMMIT")
                db.execute("PRAGMA journal_mode = WAL")
                begin(db, path)
        except BaseException as error:
            discard(db)
            if isinstance(error, sqlite3.Error):
                raise StoreError(f"{path}: {failure(error)}") from None
            raise
        return cls(path, db)

    def __enter__(self) -> Store:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()

    def _connection(self) -> sqlite3.Connection:
        """The open connection; StoreError once the store is closed."""
        if self._db is None:
            raise StoreError(f"{self.path}: the store is closed")
        return self._db

    @contextmanager
    def _step(self, doing: str) -> Iterator[sqlite3.Connection]:
        """The connection for one change that is made whole or not at all;
        a failure is a StoreError saying what was being done."""
        db = self._connection()
        db.execute("SAVEPOINT step")
        try:
            yield db
        except BaseException as error:
            db.execute("ROLLBACK TO step")
            db.execute("RELEASE step")
            if isinstance(error, (sqlite3.Error, ValueError, OverflowError)):
                raise StoreError(f"{self.path}: {doing}: {one_line(str(error))}") from None
            raise
        db.execute("RELEASE step")

    def _read(self, doing: str, sql: str, parameters: tuple[Any, ...] = ()) -> list[Any]:
        """The records `sql` selects (after the files put are written); a failure is a
        StoreError."""
        self.flush()
        try:
            return self._connection().execute(sql, parameters).fetchall()
        except sqlite3.Error as error:
            raise StoreError(f"{self.path}: {doing}: {one_line(str(error))}") from None

    def known(self, path: str) -> tuple[str, str] | None:
        """(content digest, settings digest) the stored analysis of that file was made
        with; None when the file is not stored."""
        found = self._read(f"cannot look up {path}",
                           "SELECT digest, settings FROM file WHERE path = ?", (path,))
        return (found[0][0], found[0][1]) if found else None

    def digests(self) -> dict[str, tuple[str, str]]:
        """`known` of every stored file, by path: one query for a whole run."""
        return {path: (digest, settings) for path, digest, settings in self._read(
            "cannot list the stored files", "SELECT path, digest, settings FROM file")}

    def put(self, lineage: FileLineage, path: str, digest: str, settings: str,
            indirect: bool = False) -> None:
        """Stores (replacing) one file's analysis; `settings` is a digest of what else the
        analysis depended on (dialect, schema), computed by the caller; `indirect`: the
        analysis holds indirect lineage. A file new to the store takes its place in this
        run's order when `order` was given it already.
        Files are written in batches (see `flush`): a failure to store one is a StoreError
        from the call that writes its batch, and leaves every file of the batch as it was."""
        if path in self._batch.paths:  # put again: the earlier one is written, then replaced
            self.flush()
        batch = self._batch
        ids = self._file_ids()
        file_id = ids.get(path)
        if file_id is None:
            file_id = ids[path] = max(ids.values(), default=0) + 1
        if self._next_statement is None:
            self._next_statement = self._read(
                "cannot number the statements",
                "SELECT coalesce(max(id), 0) + 1 FROM statement")[0][0]
        first = self._next_statement
        self._next_statement += len(lineage.statements)
        statements = lineage.statements
        position = None if self._order is None else self._order.get(path)
        batch.paths[path] = None
        batch.files.append((file_id, path, lineage.file, digest, settings, position,
                            lineage.error, indirect))
        batch.statements += statement_records(lineage, file_id, first)
        batch.columns += column_records(statements, first)
        batch.rows += row_records(statements, first)
        batch.changes += change_records(statements, first)
        batch.indirect += indirect_records(statements, first)
        if len(batch.rows) + len(batch.columns) + len(batch.statements) >= BATCH_RECORDS:
            self.flush()

    def flush(self) -> None:
        """Writes the files put since the last flush, all of them or (StoreError) none.
        Every other call flushes first; `put` does when a batch is full."""
        batch = self._batch
        if not batch.paths:
            return
        self._batch = Batch()
        paths = list(batch.paths)
        named = paths[0] if len(paths) == 1 else f"{len(paths)} files ({paths[0]} … {paths[-1]})"
        try:
            with self._step(f"cannot store {named}") as db:
                db.executemany("DELETE FROM statement WHERE file_id = ?",
                               ((record[0],) for record in batch.files))
                # A replaced file keeps its id and its place in the order.
                db.executemany(
                    "INSERT INTO file (id, path, file, digest, settings, position, error, "
                    "indirect) VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (path) DO UPDATE SET "
                    "file = excluded.file, digest = excluded.digest, "
                    "settings = excluded.settings, error = excluded.error, "
                    "indirect = excluded.indirect", batch.files)
                db.executemany(f"INSERT INTO statement VALUES ({marks(15)})", batch.statements)
                db.executemany(f"INSERT INTO output_column VALUES ({marks(9)})", batch.columns)
                db.executemany(f"INSERT INTO source_row VALUES ({marks(22)})", batch.rows)
                db.executemany(f"INSERT INTO table_change VALUES ({marks(8)})", batch.changes)
                db.executemany(f"INSERT INTO indirect_row VALUES ({marks(14)})", batch.indirect)
        except StoreError:
            self._ids = self._next_statement = None  # as the database has them again
            raise

    def _file_ids(self) -> dict[str, int]:
        """The stored files' ids by path, with those put since (read once)."""
        if self._ids is None:
            self._ids = dict(self._read("cannot list the stored files",
                                        "SELECT path, id FROM file"))
        return self._ids

    def order(self, paths: list[str]) -> None:
        """The files of this run, in the order they run: stored as the pipeline's order
        (a path given twice keeps its first place; files put later in this run take
        theirs)."""
        self._order = first_places(paths)
        self.flush()
        with self._step("cannot store the order of the files") as db:
            # Only the places that change: a change drops the stored graph.
            now = dict(db.execute("SELECT path, position FROM file"))
            db.executemany("UPDATE file SET position = ? WHERE path = ?",
                           ((self._order.get(path), path) for path, position in now.items()
                            if self._order.get(path) != position))

    def forget(self, paths: Iterable[str]) -> None:
        """Removes those files' analyses (paths not stored are passed over)."""
        if isinstance(paths, str):
            raise TypeError("forget takes paths, not one path")
        self.flush()
        self._ids = None
        with self._step("cannot forget files") as db:
            db.executemany("DELETE FROM file WHERE path = ?", ((path,) for path in paths))

    def paths_under(self, directory: str) -> list[str]:
        """Stored paths inside that directory, at any depth, in order of path. Paths are
        compared as the runs named them: "sql" holds "sql/a.sql", not "./sql/a.sql"."""
        low, high = path_range(directory)
        return [path for (path,) in self._read(
            f"cannot list the files under {directory}",
            "SELECT path FROM file WHERE path >= ? AND path < ? ORDER BY path", (low, high))]

    def lineages(self) -> list[FileLineage]:
        """Every stored file's analysis, in the pipeline's order (the order of the last run's
        files; files not in it after them, by path)."""
        return list(self.by_path().values())

    def by_path(self) -> dict[str, FileLineage]:
        """Every stored file's analysis by its path, in the pipeline's order."""
        doing = "cannot read the stored lineage"
        found = self._read(doing, "SELECT id, file, error, path FROM file "
                                  "ORDER BY position IS NULL, position, path")
        files = {file_id: FileLineage(file, [], error) for file_id, file, error, _ in found}
        records = [self._read(doing, f"SELECT * FROM {table} ORDER BY statement_id, seq")
                   for table in ("output_column", "source_row", "table_change", "indirect_row")]
        try:
            assembled = assemble(files, self._read(doing, "SELECT * FROM statement ORDER BY id"),
                                 *records)
            return {path: lineage for (_, _, _, path), lineage in zip(found, assembled)}
        except (KeyError, IndexError, TypeError, ValueError) as error:
            raise StoreError(f"{self.path}: damaged lineage store: a record refers to "
                             f"nothing ({type(error).__name__}: {one_line(str(error))})") from None

    # -- the composed pipeline ------------------------------------------------

    def without_indirect(self) -> int:
        """How many stored files were analysed without their indirect lineage."""
        found: int = self._read("cannot count the stored files",
                                "SELECT count(*) FROM file WHERE NOT indirect")[0][0]
        return found

    def graph_summary(self) -> dict[str, Any] | None:
        """The summary counts of the files the kept graph was composed from;
        None when no graph is kept (none made yet, or the files changed since)."""
        found = self._read("cannot read the stored graph", "SELECT summary FROM graph_made")
        return json.loads(found[0][0]) if found else None

    def put_graph(self, columns: Iterable[Record], feeds: Iterable[Record],
                  summary: dict[str, Any]) -> None:
        """Keeps the graph the stored files compose (replacing any): its column versions
        (graph_column's fields, in order) and feeds (graph_feed's), with the summary counts
        of those files. Kept until the files change."""
        self.flush()
        with self._step("cannot store the graph") as db:
            db.execute("DELETE FROM graph_feed")
            db.execute("DELETE FROM graph_column")
            db.execute("DELETE FROM graph_made")
            db.executemany(f"INSERT INTO graph_column VALUES ({marks(10)})", columns)
            db.executemany(f"INSERT INTO graph_feed VALUES ({marks(6)})", feeds)
            db.execute("INSERT INTO graph_made VALUES (?)", (json.dumps(summary),))

    def graph(self, name: str | None = None, *, upstream: bool = True
              ) -> tuple[list[Record], list[Record]]:
        """The kept graph's column versions and feeds: all of them (`name` None), or the
        versions of the column `db.table.column` (or of every column of `db.table`) and
        those upstream of them (`upstream`) or downstream, with the feeds between those."""
        doing = "cannot read the stored graph"
        if name is None:
            return (self._read(doing, "SELECT * FROM graph_column ORDER BY id"),
                    self._read(doing, "SELECT * FROM graph_feed ORDER BY column_id, seq"))
        condition, parameters = name_condition(name)
        step = ("SELECT f.source_id FROM graph_feed f JOIN reached r ON f.column_id = r.id"
                if upstream else
                "SELECT f.column_id FROM graph_feed f JOIN reached r ON f.source_id = r.id")
        ids = [id_ for (id_,) in self._read(doing, f"""
            WITH RECURSIVE reached(id) AS (
                SELECT id FROM graph_column WHERE {condition} UNION {step})
            SELECT id FROM reached""", parameters)]
        within = "(SELECT value FROM json_each(?))"
        listed = (json.dumps(ids),)
        return (self._read(doing, f"SELECT * FROM graph_column WHERE id IN {within} ORDER BY id",
                           listed),
                self._read(doing, f"SELECT * FROM graph_feed WHERE column_id IN {within} "
                                  f"AND source_id IN {within} ORDER BY column_id, seq",
                           listed * 2))

    def graph_names(self) -> list[tuple[str | None, str, str]]:
        """Every column of the kept graph, by its names as first written."""
        # SQLite takes a bare column's value from the record min() picks.
        return [(db, table, column) for db, table, column, _ in self._read(
            "cannot read the stored graph", "SELECT db, table_name, column_name, min(id) "
            "FROM graph_column GROUP BY key_db, key_table, key_column")]

    def close(self) -> None:
        """Commits what this run stored and lets other runs have the store."""
        if self._db is None:
            return
        try:
            self.flush()
        except StoreError:
            discard(self._db)
            self._db = None
            raise
        db, self._db = self._db, None
        try:
            db.execute("COMMIT")
        except sqlite3.Error as error:
            discard(db)
            raise StoreError(f"{self.path}: cannot save the store: {one_line(str(error))}") \
                from None
        db.close()


def begin(db: sqlite3.Connection, path: str) -> None:
    """Takes the store's write lock, waiting as long as the connection's
    timeout; StoreError when another run keeps it."""
    try:
        db.execute("BEGIN IMMEDIATE")
    except sqlite3.Error as error:
        if busy(error):
            raise StoreError(f"{path}: is in use by another run") from None
        raise


def prepare(db: sqlite3.Connection, path: str, *, new: bool, check: bool = True) -> None:
    """Makes the newly locked database a store of the current version: stamps
    a new one (`new`: the file was empty or missing, and nothing has been put
    in it meanwhile), migrates an older one; StoreError for anything else."""
    application = db.execute("PRAGMA application_id").fetchone()[0]
    if new and application == 0 and empty(db):
        db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
    elif application != APPLICATION_ID:  # made meanwhile by something else
        raise StoreError(f"{path}: not a lineage store (a SQLite database of application id "
                         f"{application})")
    version = db.execute("PRAGMA user_version").fetchone()[0]
    problem = version_problem(version)
    if problem is not None:
        raise StoreError(f"{path}: {problem}")
    found = db.execute("PRAGMA quick_check(1)").fetchone()[0] if check else "ok"
    if found != "ok":
        raise StoreError(f"{path}: damaged lineage store: {one_line(found)}")
    for step in range(version, SCHEMA_VERSION):
        try:
            for sql in MIGRATIONS[step]:
                db.execute(sql)
        except sqlite3.Error as error:
            raise StoreError(f"{path}: cannot bring the lineage store from schema version "
                             f"{step} to {step + 1}: {one_line(str(error))}") from None
        db.execute(f"PRAGMA user_version = {step + 1}")
    problem = schema_problem(table_columns(db))
    if problem is not None:
        raise StoreError(f"{path}: {problem}")


def empty(db: sqlite3.Connection) -> bool:
    """Whether the database holds nothing: no schema, no version."""
    version: int = db.execute("PRAGMA user_version").fetchone()[0]
    objects: int = db.execute("SELECT count(*) FROM sqlite_schema").fetchone()[0]
    return version == 0 and objects == 0


def discard(db: sqlite3.Connection) -> None:
    """Closes the connection, dropping its open transaction."""
    try:
        if db.in_transaction:
            db.execute("ROLLBACK")
    except sqlite3.Error:
        pass  # closing drops it all the same
    db.close()


def name_condition(name: str) -> tuple[str, tuple[str, ...]]:
    """The condition on graph_column that picks the columns `name` names, as
    MySQL matches names: `db.table.column`, or all of `db.table`; a table
    without a database by `table.column` or `table`."""
    parts = tuple(part.lower() for part in name.split("."))
    if len(parts) == 3:
        return "key_db = ? AND key_table = ? AND key_column = ?", parts
    if len(parts) == 2:
        return ("(key_db = ? AND key_table = ?) OR (key_db = '' AND key_table = ? "
                "AND key_column = ?)", parts + parts)
    if len(parts) == 1:
        return "key_db = '' AND key_table = ?", parts
    return "0", ()


def marks(count: int) -> str:
    """`count` parameter marks of an INSERT's VALUES."""
    return ", ".join("?" * count)


def first_places(paths: Iterable[str]) -> dict[str, int]:
    """Each path's place in `paths`, counted from 0: its first one."""
    places: dict[str, int] = {}
    for path in paths:
        places.setdefault(path, len(places))
    return places


def path_range(directory: str) -> tuple[str, str]:
    """The bounds [low, high) of the paths inside `directory`: those that
    start with it and a separator."""
    low = directory if directory.endswith(os.sep) else directory + os.sep
    return low, low[:-1] + chr(ord(os.sep) + 1)


_statement_fields = attrgetter(*STATEMENT_FIELDS)
_column_fields = attrgetter(*COLUMN_FIELDS)
_row_fields = attrgetter(*ROW_FIELDS)
_change_fields = attrgetter(*CHANGE_FIELDS)

NO_HEAD = (None,) * (len(ROW_HEAD) - 1)


def statement_records(lineage: FileLineage, file_id: int, first: int) -> Iterator[Record]:
    """The statement table's records of a file's statements, numbered from `first`."""
    for number, statement in enumerate(lineage.statements, first):
        file = None if statement.file == lineage.file else statement.file
        yield (number, file_id, file, *_statement_fields(statement), reads_text(statement.reads))


def reads_text(reads: list[TableName]) -> str:
    """The tables a statement reads as the statement table keeps them: JSON [[db, table], …]."""
    return json.dumps([list(table) for table in reads])


def stored_reads(text: str | None, rows: list[Row]) -> list[TableName]:
    """The tables a stored statement reads: as kept (reads_text), or, for a
    statement stored before they were kept (None), those its rows name."""
    if text is None:
        return list(dict.fromkeys(TableName(row.table_db or None, row.table_name)
                                  for row in rows if row.table_name))
    return [TableName(db, table) for db, table in json.loads(text)]


def column_records(statements: list[Statement], first: int) -> Iterator[Record]:
    """The output_column table's records of the statements numbered from `first`."""
    for number, statement in enumerate(statements, first):
        for seq, column in enumerate(statement.columns):
            yield (number, seq, *_column_fields(column))


def row_heads(statement: Statement) -> dict[int, Record]:
    """The head (ROW_HEAD) a row of the statement inherits, by the row's position."""
    return {column.position: (statement.file, statement.number, statement.place,
                              column.position, column.output_name, column.target_db,
                              column.target_table, column.target_column)
            for column in statement.columns}


def row_records(statements: list[Statement], first: int) -> Iterator[Record]:
    """The source_row table's records of the statements numbered from `first`."""
    head_size = len(ROW_HEAD)
    for number, statement in enumerate(statements, first):
        heads = row_heads(statement)
        for seq, row in enumerate(statement.rows):
            values = _row_fields(row)
            head, source = values[:head_size], values[head_size:]
            if heads.get(row.position) == head:
                yield (number, seq, row.position, *source, True, *NO_HEAD)
            else:
                yield (number, seq, row.position, *source, False, *head[:3], *head[4:])


def indirect_records(statements: list[Statement], first: int) -> Iterator[Record]:
    """The indirect_row table's records of the statements numbered from `first`."""
    for number, statement in enumerate(statements, first):
        for seq, row in enumerate(statement.indirect):
            yield (number, seq, *row.as_dict().values())


def change_records(statements: list[Statement], first: int) -> Iterator[Record]:
    """The table_change table's records of the statements numbered from `first`."""
    for number, statement in enumerate(statements, first):
        for seq, change in enumerate(statement.changes):
            yield (number, seq, *_change_fields(change),
                   None if change.columns is None else json.dumps(list(change.columns)))


def assemble(files: dict[int, FileLineage], statements: list[Record], columns: list[Record],
             rows: list[Record], changes: list[Record], indirect: list[Record]
             ) -> list[FileLineage]:
    """The files' lineages, whole: `files` by id, in order, with no statements yet,
    and the records of the other tables, in order of statement and seq."""
    by_id: dict[int, Statement] = {}
    reads: dict[int, str | None] = {}
    for statement_id, file_id, file, *values, read in statements:
        lineage = files[file_id]
        statement = stored_statement(lineage.file if file is None else file, values)
        lineage.statements.append(statement)
        by_id[statement_id] = statement
        reads[statement_id] = read
    for statement_id, _, *values in columns:
        by_id[statement_id].columns.append(OutputColumn(*values))
    current, heads, into = 0, {}, []  # ids count from 1
    for record in rows:
        if record[0] != current:
            current = record[0]
            heads, into = row_heads(by_id[current]), by_id[current].rows
        into.append(stored_row(record, heads))
    for statement_id, read in reads.items():
        by_id[statement_id].reads = stored_reads(read, by_id[statement_id].rows)
    for statement_id, _, action, db, table, to_db, to_table, names in changes:
        by_id[statement_id].changes.append(TableChange(
            action, db, table, to_db, to_table,
            columns=None if names is None else tuple(json.loads(names))))
    for statement_id, _, *values in indirect:
        by_id[statement_id].indirect.append(
            IndirectRow.from_fields(dict(zip(INDIRECT_KEYS, values))))
    return list(files.values())


def stored_statement(file: str, values: list[Any]) -> Statement:
    """The statement of a statement record's fields (its lists still empty)."""
    (number, kind, sql, target_db, target_table, skipped, error, place, line, moves_data,
     indirect_error) = values
    return Statement(file, number, kind, sql, target_db, target_table, skipped=skipped,
                     error=error, place=place, line=line, moves_data=bool(moves_data),
                     indirect_error=indirect_error)


def stored_row(record: Record, heads: dict[int, Record]) -> Row:
    """The row of a source_row record; `heads` are those of its statement (row_heads)."""
    head = heads[record[2]] if record[14] else (*record[15:18], record[2], *record[18:22])
    # A dict display: a fifth faster than zipping ROW_FIELDS, the most rows take.
    return Row.from_fields({
        "file": head[0], "statement": head[1], "place": head[2], "position": head[3],
        "output_name": head[4], "target_db": head[5], "target_table": head[6],
        "target_column": head[7], "column_sort": record[3], "column_name": record[4],
        "column_alias": record[5], "column_table": record[6], "column_type": record[7],
        "table_db": record[8], "table_name": record[9], "table_alias": record[10],
        "resolved": record[11] != 0, "ambiguous": record[12] != 0, "note": record[13]})

