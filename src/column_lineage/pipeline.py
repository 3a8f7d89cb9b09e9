"""Lineage end to end: the statements of several files composed as the steps
of one pipeline, so that each written column leads back, through every
staging step, temporary table and view, to the columns no statement writes.

The files run in the order given, each one session whose statements run in
order. Each write makes or extends a *version* of a column: INSERT, REPLACE
and UPDATE add their sources to the column's current version; CREATE,
TRUNCATE and DELETE without WHERE start the table afresh, DROP removes it,
RENAME moves it. A read sees the version the statements before it left; a
permanent table that nothing before the read wrote, but a later statement
does, is read as the pipeline leaves it. A temporary table lives in its own
file, hides the permanent table of its name while it exists, and lineage
passes through it. A column nothing feeds from another column (a table
nothing given writes, or one filled with literals only) is an end point:
an ultimate source."""

from __future__ import annotations

from collections import deque
from collections.abc import Iterable
from dataclasses import dataclass, field
from itertools import count
from typing import Any, NamedTuple

from .rows import AGGREGATION, IDENTITY, TRANSFORMATION, FileLineage, Row, Statement

TableKey = tuple[str, str]  # (db, table), lower case: names match as MySQL matches them


@dataclass(frozen=True)
class Column:
    """A column by its names as written."""

    db: str | None
    table: str
    column: str

    @property
    def key(self) -> tuple[str, str, str]:
        return ((self.db or "").lower(), self.table.lower(), self.column.lower())

    def __str__(self) -> str:
        return ".".join(part for part in (self.db, self.table, self.column) if part)


@dataclass(frozen=True)
class Step:
    """One statement writing a column: where it is, and how it computes it."""

    file: str
    statement: str
    transformation: str


@dataclass(eq=False)
class Version:
    """A column as one run of writes left it, with what fed it: each source
    version with the step that read it."""

    column: Column
    serial: int
    temporary: bool = False
    written: bool = False
    feeds: list[tuple[Version, Step]] = field(default_factory=list)

    @property
    def end_point(self) -> bool:
        """Nothing feeds it from another column: an ultimate source (a
        temporary table's column never is one)."""
        return not self.feeds and not self.temporary


@dataclass
class TableState:
    """A table as the statements so far left it: its columns' versions. A
    view holds its query's reads instead (`view`: per column, the column and
    what it reads): MySQL keeps a view as its query, so each read of it
    reads the tables as they are then."""

    columns: dict[str, Version]
    temporary: bool = False
    view: dict[str, tuple[Column, list[tuple[Column, Step]]]] | None = None


VIEW_KINDS = ("CREATE VIEW", "ALTER VIEW")


class PathStep(NamedTuple):
    """One column on a path and the statement that wrote it from the one
    before (None for the source the path starts at). A named tuple: paths
    are made by the ten thousand, and a frozen dataclass took twice as long
    to make (the end-to-end answer over 2,000 files with --indirect: 3.2 s against 2.0 s)."""

    column: Column
    step: Step | None
    temporary: bool = False  # a temporary table's column, which lineage passes through


@dataclass(frozen=True)
class Reach:
    """A column reached from another, upstream or downstream: how far, by
    which path (from the source to the target), and whether it is an
    ultimate source."""

    source: Column | None
    target: Column
    path: tuple[PathStep, ...]
    distance: int
    ultimate: bool

    @property
    def kind(self) -> str:
        kinds = {step.step.transformation for step in self.path if step.step is not None}
        if any(kind.startswith(INDIRECT) for kind in kinds):
            return "indirect"  # some step decides rows rather than fills the column
        if kinds <= {IDENTITY}:
            return "identity"
        return "aggregation" if AGGREGATION in kinds else "transformation"

    @property
    def files(self) -> list[str]:
        return list(dict.fromkeys(step.step.file for step in self.path if step.step is not None))


READ_TYPES = ("column", "subquery")
INDIRECT = "INDIRECT"


class Pipeline:
    """The versions of every column the files write, and what they read."""

    def __init__(self, indirect: bool = False) -> None:
        self.indirect = indirect  # follow what decides a column's rows too
        self.serial = count(1)
        self.permanent: dict[TableKey, TableState] = {}
        self.sources: dict[tuple[str, str, str], Version] = {}  # end points read, by column
        self.versions: dict[tuple[str, str, str], list[Version]] = {}  # every version of a column
        self.pending: list[tuple[Version, Column, Step]] = []  # reads of a table not written yet
        self.finished = False
        self.final_views: dict[TableKey, list[Version]] = {}
        self.final: list[Version] | None = None  # as kept, for a pipeline read back

    # -- building -----------------------------------------------------------

    def add_file(self, lineage: FileLineage) -> None:
        temporary: dict[TableKey, TableState] = {}
        for statement in lineage.statements:
            if statement.error is None:
                self.add_statement(statement, temporary)

    def table(self, db: str | None, name: str, temporary: dict[TableKey, TableState]
              ) -> TableState | None:
        key = ((db or "").lower(), name.lower())
        return temporary.get(key) or self.permanent.get(key)

    def add_statement(self, statement: Statement, temporary: dict[TableKey, TableState]) -> None:
        state: TableState | None
        for change in statement.changes:
            key = ((change.db or "").lower(), change.table.lower())
            if change.action in ("create", "create temporary"):
                state = TableState({}, change.action == "create temporary",
                                   {} if statement.kind in VIEW_KINDS else None)
                (temporary if state.temporary else self.permanent)[key] = state
            elif change.action == "empty":
                state = self.table(change.db, change.table, temporary)
                if state is not None:
                    state.columns = {}
            elif change.action == "drop":
                if temporary.pop(key, None) is None:
                    self.permanent.pop(key, None)
            elif change.action == "rename" and change.to_table:
                holder = temporary if key in temporary else self.permanent
                state = holder.pop(key, None)
                if state is not None:
                    new = Column(change.to_db, change.to_table, "")
                    step = Step(statement.file, statement.label, IDENTITY)
                    state.columns = {name: self.renamed(version, new, step)
                                     for name, version in state.columns.items()}
                    if state.view is not None:  # the same query under the new name
                        state.view = {name: (Column(new.db, new.table, column.column), reads)
                                      for name, (column, reads) in state.view.items()}
                    holder[((change.to_db or "").lower(), change.to_table.lower())] = state
            elif change.action in ("drop column", "rename column") and change.columns:
                state = self.table(change.db, change.table, temporary)
                version = state.columns.pop(change.columns[0].lower(), None) \
                    if state is not None else None
                if state is not None and version is not None and len(change.columns) == 2:
                    renamed = change.columns[1]
                    moved = self.new_version(Column(change.db, change.table, renamed),
                                             state.temporary)
                    moved.written = version.written
                    moved.feeds.append((version, Step(statement.file, statement.label, IDENTITY)))
                    state.columns[renamed.lower()] = moved
        if statement.rows or statement.columns:
            self.add_writes(statement, temporary)

    def renamed(self, version: Version, table: Column, step: Step) -> Version:
        """The version under the table's new name, fed by the old one."""
        column = Column(table.db, table.table, version.column.column)
        moved = self.new_version(column, version.temporary)
        moved.written = version.written
        moved.feeds.append((version, step))
        return moved

    def new_version(self, column: Column, temporary: bool) -> Version:
        version = Version(column, next(self.serial), temporary)
        self.versions.setdefault(column.key, []).append(version)
        return version

    def add_writes(self, statement: Statement, temporary: dict[TableKey, TableState]) -> None:
        reads: dict[int, list[Row]] = {}
        for row in statement.rows:
            if row.resolved and row.column_type in READ_TYPES and row.column_name:
                reads.setdefault(row.position, []).append(row)
        for output in statement.columns:
            if not output.target_table or not output.target_column:
                continue
            step = Step(statement.file, statement.label, output.transformation)
            read = [(Column(row.table_db or None, row.table_name or "", row.column_name or ""),
                     step) for row in reads.get(output.position, [])]  # resolved: both set
            if self.indirect:  # what decides its rows: its own and the statement's
                read += [(Column(row.table_db or None, row.table_name, row.column_name),
                          Step(statement.file, statement.label, f"{INDIRECT}/{row.subtype}"))
                         for row in statement.indirect
                         if row.position in (None, output.position) and row.column_name]
            state = self.table(output.target_db, output.target_table, temporary)
            if state is not None and state.view is not None:  # a view keeps what it reads
                state.view[output.target_column.lower()] = (
                    Column(output.target_db, output.target_table, output.target_column), read)
                continue
            target = self.written(output.target_db, output.target_table, output.target_column,
                                  temporary)
            for source, by in read:
                self.read(target, source, by, temporary)

    def written(self, db: str | None, table: str, column: str,
                temporary: dict[TableKey, TableState]) -> Version:
        state = self.table(db, table, temporary)
        if state is None:  # written without a CREATE among the files: a table of its own
            state = self.permanent.setdefault(((db or "").lower(), table.lower()), TableState({}))
        version = state.columns.get(column.lower())
        if version is None:
            version = self.new_version(Column(db, table, column), state.temporary)
            state.columns[column.lower()] = version
        version.written = True
        return version

    def read(self, target: Version, source: Column, step: Step,
             temporary: dict[TableKey, TableState]) -> None:
        state = self.table(source.db, source.table, temporary)
        if state is None:
            self.pending.append((target, source, step))
            return
        for version in self.matching(state, source):
            target.feeds.append((version, step))

    def matching(self, state: TableState, source: Column) -> list[Version]:
        """The versions a read of the column sees in this table: all of them
        for `*`; a column the table has not had written is its own end point;
        a view's columns read its tables as they are now."""
        if state.view is not None:
            if source.column == "*" and state.view:
                return [self.view_read(column, reads) for column, reads in state.view.values()]
            found = state.view.get(source.column.lower())
            if found is not None:
                return [self.view_read(*found)]
        if source.column == "*" and state.columns:
            return list(state.columns.values())
        version = state.columns.get(source.column.lower())
        if version is None:
            version = self.new_version(source, state.temporary)
            state.columns[source.column.lower()] = version
        return [version]

    def view_read(self, column: Column, reads: list[tuple[Column, Step]]) -> Version:
        """A view's column as read now: a version fed by what its query reads
        of the permanent tables as they are (a view never sees a temporary
        table), those nothing has written yet as the pipeline leaves them."""
        version = self.new_version(column, False)
        version.written = True
        for source, step in reads:
            state = self.permanent.get(((source.db or "").lower(), source.table.lower()))
            if state is not None:
                version.feeds += [(found, step) for found in self.matching(state, source)]
            elif self.finished:
                version.feeds.append((self.end_point(source), step))
            else:
                self.pending.append((version, source, step))
        return version

    def end_point(self, source: Column) -> Version:
        key = source.key
        if key not in self.sources:
            self.sources[key] = self.new_version(source, False)
        return self.sources[key]

    def finish(self) -> None:
        """Reads of a table nothing had written before them see it as the
        pipeline leaves it; else they read an end point."""
        if self.finished:
            return
        self.finished = True
        pending, self.pending = self.pending, []
        for target, source, step in pending:
            state = self.permanent.get(((source.db or "").lower(), source.table.lower()))
            if state is not None:
                for version in self.matching(state, source):
                    target.feeds.append((version, step))
            else:
                target.feeds.append((self.end_point(source), step))
        # what a view reads as the pipeline leaves the tables
        self.final_views = {key: [self.view_read(column, reads)
                                  for column, reads in state.view.values()]
                            for key, state in self.permanent.items() if state.view is not None}

    # -- questions ------------------------------------------------------------

    def final_columns(self) -> list[Version]:
        """Every column of every permanent table or view that the files write
        and that exists at the end, in the order first written."""
        self.finish()
        if self.final is not None:
            return self.final
        found = [version for key, state in self.permanent.items()
                 for version in (self.final_views[key] if state.view is not None
                                 else state.columns.values())
                 if version.written]
        return sorted(found, key=lambda version: version.serial)

    def end_to_end(self) -> list[Reach]:
        """Per written column, each ultimate source by its shortest path; a
        column without any, once with no source."""
        reached = []
        for version in self.final_columns():
            ultimate = [reach for reach in upstream_of(version) if reach.ultimate]
            reached += ultimate or [Reach(None, version.column, (PathStep(version.column, None),),
                                          0, False)]
        return reached

    def find(self, name: str) -> list[Version]:
        """The versions of a column (`db.table.column`) or of every column of a
        table (`db.table`), the latest per column first; none when unknown."""
        self.finish()
        wanted = tuple(part.lower() for part in name.split("."))
        found = [versions for key, versions in self.versions.items() if names_match(key, wanted)]
        return [version for versions in found
                for version in sorted(versions, key=lambda v: -v.serial)]

    def known_names(self) -> list[str]:
        self.finish()
        return known_names(versions[0].column for versions in self.versions.values())

    def upstream(self, name: str) -> list[Reach]:
        versions = self.find(name)
        latest: dict[tuple[str, str, str], Version] = {}
        for version in versions:
            latest.setdefault(version.column.key, version)
        return [reach for version in latest.values() for reach in upstream_of(version)]

    def downstream(self, name: str) -> list[Reach]:
        readers: dict[int, list[tuple[Version, Step]]] = {}
        for versions in self.versions.values():
            for version in versions:
                for source, step in version.feeds:
                    readers.setdefault(id(source), []).append((version, step))
        reached: dict[tuple[str, str, str], Reach] = {}
        start = self.find(name)
        queue: deque[tuple[Version, tuple[PathStep, ...]]] = deque(
            (version, (PathStep(version.column, None, version.temporary),)) for version in start)
        seen = {id(version) for version in start}
        while queue:
            version, path = queue.popleft()
            for reader, step in readers.get(id(version), []):
                if id(reader) in seen:
                    continue
                seen.add(id(reader))
                trail = (*path, PathStep(reader.column, step, reader.temporary))
                if not reader.temporary:
                    reached.setdefault(reader.column.key, Reach(
                        start[0].column, reader.column, trail, len(trail) - 1, False))
                queue.append((reader, trail))
        return list(reached.values())


def known_names(columns: Iterable[Column]) -> list[str]:
    """The names that a question may ask about: each column's and its table's."""
    names: set[str] = set()
    for column in columns:
        names.add(str(column))
        names.add(str(Column(column.db, column.table, "")).rstrip("."))
    return sorted(names)


def names_match(key: tuple[str, str, str], wanted: tuple[str, ...]) -> bool:
    """`db.table.column` names a column, `db.table` all of a table's; a
    table without a database is named without it."""
    if len(wanted) == 3:
        return key == wanted
    if len(wanted) == 2:
        return key[:2] == wanted or (key[0] == "" and key[1:] == wanted)
    return len(wanted) == 1 and key[0] == "" and key[1] == wanted[0]


def upstream_of(version: Version) -> list[Reach]:
    """Every column upstream of a version, each once by its shortest path
    (breadth first), with whether it is an ultimate source; a temporary
    table's columns are passed through."""
    reached: dict[tuple[str, str, str], Reach] = {}
    queue: deque[tuple[Version, tuple[PathStep, ...]]] = deque(
        [(version, (PathStep(version.column, None),))])
    seen = {id(version)}
    while queue:
        current, path = queue.popleft()  # path: from `current` to the target
        for source, step in current.feeds:
            if id(source) in seen:
                continue
            seen.add(id(source))
            trail = (PathStep(source.column, None, source.temporary),
                     PathStep(path[0].column, step, path[0].temporary), *path[1:])
            if not source.temporary and source.column.key != version.column.key:
                reached.setdefault(source.column.key, Reach(
                    source.column, version.column, trail, len(trail) - 1, source.end_point))
            queue.append((source, trail))
    return list(reached.values())


# -- kept -----------------------------------------------------------------------

ColumnRecord = tuple[int, str | None, str, str, str, str, str, int, int, int | None]
FeedRecord = tuple[int, int, int, str, str, str]


def graph_records(pipeline: Pipeline) -> tuple[list[ColumnRecord], list[FeedRecord]]:
    """The pipeline's versions and feeds as a store keeps them (its
    graph_column and graph_feed fields), the versions by serial."""
    final = {id(version): place for place, version in enumerate(pipeline.final_columns())}
    columns: list[ColumnRecord] = []
    feeds: list[FeedRecord] = []
    for versions in pipeline.versions.values():
        for version in versions:
            column = version.column
            columns.append((version.serial, column.db, column.table, column.column, *column.key,
                            version.temporary, version.written, final.get(id(version))))
            feeds += [(version.serial, seq, source.serial, step.file, step.statement,
                       step.transformation) for seq, (source, step) in enumerate(version.feeds)]
    return columns, feeds


def kept_pipeline(columns: Iterable[tuple[Any, ...]], feeds: Iterable[tuple[Any, ...]]
                  ) -> Pipeline:
    """The pipeline of kept versions and feeds (graph_records' records, all
    or those a question reaches: a feed from a version not among them is
    left out)."""
    pipeline = Pipeline()
    pipeline.finished = True
    by_serial: dict[int, Version] = {}
    final: list[tuple[int, Version]] = []
    for serial, db, table, name, _, _, _, temporary, written, place in columns:
        version = Version(Column(db, table, name), serial, bool(temporary), bool(written))
        by_serial[serial] = version
        pipeline.versions.setdefault(version.column.key, []).append(version)
        if place is not None:
            final.append((place, version))
    for serial, _, source, file, statement, transformation in feeds:
        if source in by_serial:
            by_serial[serial].feeds.append((by_serial[source],
                                            Step(file, statement, transformation)))
    pipeline.final = [version for _, version in sorted(final, key=lambda entry: entry[0])]
    return pipeline


def compose(files: list[FileLineage], indirect: bool = False) -> Pipeline:
    """The pipeline the files make, run in order; with `indirect` a column
    also reads what decides its rows (steps of transformation
    "INDIRECT/<subtype>")."""
    pipeline = Pipeline(indirect)
    for lineage in files:
        if lineage.error is None:
            pipeline.add_file(lineage)
    pipeline.finish()
    return pipeline


__all__ = ["TRANSFORMATION", "Column", "Pipeline", "Reach", "Step", "compose"]
