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
import math
import os
import json
import sqlite3
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from operator import attrgetter
from types import TracebackType
from typing import Any

from .rows import FileLineage, OutputColumn, Row, Statement, TableChange

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
)

SCHEMA_VERSION = len(MIGRATIONS)

# The columns each table of the current version must have, in order: a store
# whose tables differ was changed by something else.
TABLES = {
    "file": ("id", "path", "file", "digest", "settings", "position", "error"),
    "statement": ("id", "file_id", "file", "number", "kind", "sql", "target_db", "target_table",
                  "skipped", "error", "place", "line", "moves_data"),
    "output_column": ("statement_id", "seq", "position", "output_name", "sql", "transformation",
                      "target_column", "target_db", "target_table"),
    "source_row": ("statement_id", "seq", "position", "column_sort", "column_name",
                   "column_alias", "column_table", "column_type", "table_db", "table_name",
                   "table_alias", "resolved", "ambiguous", "note", "inherits", "file",
                   "statement", "place", "output_name", "target_db", "target_table",
                   "target_column"),
    "table_change": ("statement_id", "seq", "action", "db", "table_name", "to_db", "to_table",
                     "columns"),
}

# The fields each table stores, in its column order after the keys.
STATEMENT_FIELDS = ("number", "kind", "sql", "target_db", "target_table", "skipped", "error",
                    "place", "line", "moves_data")
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

HEADER_SIZE = 100
SQLITE_MAGIC = b"SQLite format 3\x00"


class StoreError(Exception):
    """The store cannot be used; the message is one line naming the file and why."""


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

    @classmethod
    def open(cls, path: str, *, wait: float = 10.0) -> Store:
        """Opens the store at `path`, creating it when missing. Takes the store for this run:
        a second run opening the same store meanwhile waits up to `wait` seconds, then raises
        StoreError ("… is in use by another run"). Raises StoreError for a file that is not a
        store of this tool (not SQLite, another application id), a damaged one, or one of a
        newer schema version; a store of an older schema version is migrated in place."""
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
            prepare(db, path, new=not header)
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
        """The records `sql` selects; a failure is a StoreError."""
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

    def put(self, lineage: FileLineage, path: str, digest: str, settings: str) -> None:
        """Stores (replacing) one file's analysis; `settings` is a digest of what else the
        analysis depended on (dialect, schema), computed by the caller. A file new to the
        store takes its place in this run's order when `order` was given it already."""
        with self._step(f"cannot store {path}") as db:
            found = db.execute("SELECT id FROM file WHERE path = ?", (path,)).fetchone()
            if found is None:
                position = None if self._order is None else self._order.get(path)
                file_id = db.execute(
                    "INSERT INTO file (path, file, digest, settings, position, error) "
                    "VALUES (?, ?, ?, ?, ?, ?) RETURNING id",
                    (path, lineage.file, digest, settings, position, lineage.error)).fetchone()[0]
            else:
                file_id = found[0]
                db.execute("DELETE FROM statement WHERE file_id = ?", (file_id,))
                db.execute("UPDATE file SET file = ?, digest = ?, settings = ?, error = ? "
                           "WHERE id = ?", (lineage.file, digest, settings, lineage.error, file_id))
            first = db.execute("SELECT coalesce(max(id), 0) + 1 FROM statement").fetchone()[0]
            statements = lineage.statements
            db.executemany(f"INSERT INTO statement VALUES ({marks(13)})",
                           statement_records(lineage, file_id, first))
            db.executemany(f"INSERT INTO output_column VALUES ({marks(9)})",
                           column_records(statements, first))
            db.executemany(f"INSERT INTO source_row VALUES ({marks(22)})",
                           row_records(statements, first))
            db.executemany(f"INSERT INTO table_change VALUES ({marks(8)})",
                           change_records(statements, first))

    def order(self, paths: list[str]) -> None:
        """The files of this run, in the order they run: stored as the pipeline's order
        (a path given twice keeps its first place; files put later in this run take
        theirs)."""
        self._order = first_places(paths)
        with self._step("cannot store the order of the files") as db:
            db.execute("UPDATE file SET position = NULL WHERE position IS NOT NULL")
            db.executemany("UPDATE file SET position = ? WHERE path = ?",
                           ((place, path) for path, place in self._order.items()))

    def forget(self, paths: Iterable[str]) -> None:
        """Removes those files' analyses (paths not stored are passed over)."""
        if isinstance(paths, str):
            raise TypeError("forget takes paths, not one path")
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
                   for table in ("output_column", "source_row", "table_change")]
        try:
            assembled = assemble(files, self._read(doing, "SELECT * FROM statement ORDER BY id"),
                                 *records)
            return {path: lineage for (_, _, _, path), lineage in zip(found, assembled)}
        except (KeyError, IndexError, TypeError, ValueError) as error:
            raise StoreError(f"{self.path}: damaged lineage store: a record refers to "
                             f"nothing ({type(error).__name__}: {one_line(str(error))})") from None

    def close(self) -> None:
        """Commits what this run stored and lets other runs have the store."""
        if self._db is None:
            return
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


def prepare(db: sqlite3.Connection, path: str, *, new: bool) -> None:
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
    check = db.execute("PRAGMA quick_check(1)").fetchone()[0]
    if check != "ok":
        raise StoreError(f"{path}: damaged lineage store: {one_line(check)}")
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

Record = tuple[Any, ...]
NO_HEAD = (None,) * (len(ROW_HEAD) - 1)


def statement_records(lineage: FileLineage, file_id: int, first: int) -> Iterator[Record]:
    """The statement table's records of a file's statements, numbered from `first`."""
    for number, statement in enumerate(lineage.statements, first):
        file = None if statement.file == lineage.file else statement.file
        yield (number, file_id, file, *_statement_fields(statement))


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


def change_records(statements: list[Statement], first: int) -> Iterator[Record]:
    """The table_change table's records of the statements numbered from `first`."""
    for number, statement in enumerate(statements, first):
        for seq, change in enumerate(statement.changes):
            yield (number, seq, *_change_fields(change),
                   None if change.columns is None else json.dumps(list(change.columns)))


def assemble(files: dict[int, FileLineage], statements: list[Record], columns: list[Record],
             rows: list[Record], changes: list[Record]) -> list[FileLineage]:
    """The files' lineages, whole: `files` by id, in order, with no statements yet,
    and the records of the other tables, in order of statement and seq."""
    by_id: dict[int, Statement] = {}
    for statement_id, file_id, file, *values in statements:
        lineage = files[file_id]
        statement = stored_statement(lineage.file if file is None else file, values)
        lineage.statements.append(statement)
        by_id[statement_id] = statement
    for statement_id, _, *values in columns:
        by_id[statement_id].columns.append(OutputColumn(*values))
    current, heads, into = 0, {}, []  # ids count from 1
    for record in rows:
        if record[0] != current:
            current = record[0]
            heads, into = row_heads(by_id[current]), by_id[current].rows
        into.append(stored_row(record, heads))
    for statement_id, _, *values, columns in changes:
        by_id[statement_id].changes.append(
            TableChange(*values, columns=None if columns is None else tuple(json.loads(columns))))
    return list(files.values())


def stored_statement(file: str, values: list[Any]) -> Statement:
    """The statement of a statement record's fields (its lists still empty)."""
    number, kind, sql, target_db, target_table, skipped, error, place, line, moves_data = values
    return Statement(file, number, kind, sql, target_db, target_table, skipped=skipped,
                     error=error, place=place, line=line, moves_data=bool(moves_data))


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

