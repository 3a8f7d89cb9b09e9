"""Indirect lineage: the base columns that decide which rows a statement
gives, or their order, rather than what its output columns hold.

It is read off the tree the direct analysis has traced, with the same
Tracer. Once traced, every FROM and JOIN source of a select is a table or a
stand-in for a derived table or CTE the tracer has traced already, so a
column of a condition reads what a select item naming it would read:
through derived tables, CTEs and set operations, as direct lineage does,
without tracing any of them a second time. A query nested in a condition,
which direct lineage never traces, is traced the first time it is met, or,
when it reads tables only, read as it is.

Dataset level (every output column): join conditions, WHERE and HAVING,
GROUP BY keys and an ORDER BY a LIMIT makes decide which rows, of the
statement's query and of every query it reads. Field level (one output
column): the condition of a CASE, IF() or IFNULL-like choice and a window's
PARTITION BY and ORDER BY in the item that fills the column or in the
columns of derived tables it reads, and what a query nested in the item
decides of its own rows."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from functools import cached_property
from typing import TYPE_CHECKING, cast

from sqlglot import exp

from . import dml
from .compose import is_star
from .normalise import Scope, Source, inline_windows, plain_column, source_nodes, using_sources
from .rows import (
    CONDITIONAL,
    FILTER,
    GROUP_BY,
    JOIN,
    SORT,
    WINDOW,
    IndirectRow,
    QueryLineage,
    Statement,
    Trace,
)
from .schema import table_columns
from .statements import arg
from .trace import Tracer

if TYPE_CHECKING:
    from sqlglot.schema import MappingSchema

__all__ = ["IndirectLineage", "KeepingTracer", "QueryIndirect", "query_indirect",
           "update_indirect"]

BaseColumn = tuple[str | None, str, str]  # db, table, column
Found = tuple[str, BaseColumn]  # subtype, the column it is found for
# Ordered, without repeats: the key spells the names in lower case.
FoundSet = dict[tuple[str, str, str, str], Found]

# The nodes a walk for columns does not enter: queries (walked on their
# own), columns, and leaves.
STOPS = (exp.Query, exp.Column, exp.Literal, exp.Identifier)

# The nodes whose parts decide which value a select item gives.
DECIDING = (exp.If, exp.Case, exp.Coalesce, exp.Nullif, exp.Nvl2, exp.Window)


@dataclass
class QueryIndirect:
    """What decides the rows of one query: `dataset`, all of them; `fields`,
    per output position, that column's own."""

    dataset: FoundSet = field(default_factory=dict)
    fields: list[FoundSet] = field(default_factory=list)


@dataclass
class IndirectLineage:
    """A statement's indirect rows, or why they could not be found."""

    rows: list[IndirectRow] = field(default_factory=list)
    error: str | None = None


@dataclass
class SelectView:
    """One traced select as its conditions read it: its own sources (FROM
    and JOIN order), the sources of the selects around it that a correlated
    subquery reads (those its own do not shadow), the CTEs in scope, and the
    columns its USING and NATURAL joins share (name -> source indexes)."""

    select: exp.Select
    sources: list[Source]
    outer: list[Source]
    scope: Scope
    using: dict[str, list[int]]
    visible: list[Source] = field(init=False)
    by_alias: dict[str, Source] = field(init=False)  # in lower case; own sources first

    def __post_init__(self) -> None:
        self.visible = self.sources + self.outer
        self.by_alias = {}
        for source in self.visible:
            self.by_alias.setdefault(source.alias.lower(), source)

    @cached_property
    def known(self) -> list[tuple[Source, frozenset[str] | None]]:
        """Each visible source with its known column names in lower case
        (None: unknown, or a `*` of unknown columns among them)."""
        return [(source, frozenset(name.lower() for name in source.columns)
                 if source.columns and "*" not in source.columns else None)
                for source in self.visible]

    @cached_property
    def aliases(self) -> dict[str, exp.Expr]:
        """The select's items by their aliases, in lower case (the first of a name)."""
        aliases: dict[str, exp.Expr] = {}
        for item in self.select.expressions:
            if isinstance(item, exp.Alias):
                aliases.setdefault(item.alias.lower(), item.this)
        return aliases

    def holds(self, name: str) -> bool:
        """Whether one of the select's own sources is known to hold the column."""
        return any(columns is not None and name in columns
                   for _, columns in self.known[:len(self.sources)])


def add(into: FoundSet, subtype: str, column: BaseColumn) -> None:
    """Adds the column under the subtype, unless there (names compare
    ignoring case; the first spelling stays)."""
    db, table, name = column
    into.setdefault((subtype, (db or "").lower(), table.lower(), name.lower()), (subtype, column))


def merge(into: FoundSet, more: FoundSet) -> None:
    for key, found in more.items():
        into.setdefault(key, found)


def unwrapped(node: exp.Expr) -> exp.Expr:
    """The node the tracer keeps a query's lineage under: parentheses
    without a WITH of their own taken off."""
    while isinstance(node, exp.Subquery) and isinstance(node.this, exp.Query) \
            and not arg(node, "with"):
        node = cast("exp.Expr", node.this)
    return node


def own_nodes(root: exp.Expr,
              kinds: tuple[type[exp.Expr], ...]) -> list[exp.Expr]:
    """The nodes of these kinds in an expression, in written order, and the
    outermost queries nested in it (`(SELECT …)` itself), leaving out what
    those queries hold. A walk of its own: it reads neither a column's
    parts, nor a query's, nor a literal's or a name's, and keeps no
    generator (a quarter of find_all's cost)."""
    found: list[exp.Expr] = []
    columns = exp.Column in kinds
    stack = [root]
    while stack:
        node = stack.pop()
        if isinstance(node, STOPS):
            if isinstance(node, exp.Query) or (columns and isinstance(node, exp.Column)):
                found.append(node)
            continue
        if isinstance(node, kinds):
            found.append(node)
        for value in reversed(list(node.args.values())):
            if type(value) is list:
                stack += [child for child in reversed(value) if isinstance(child, exp.Expression)]
            elif isinstance(value, exp.Expression):
                stack.append(value)
    return found


def plain_select(node: exp.Expr, scope: Scope) -> bool:
    """Whether a query is a select that reads tables only (none a CTE in
    scope, no derived table): its sources need no stand-ins, and the
    indirect analysis reads its items itself instead of tracing it (a query
    nested in a condition, which direct lineage does not trace). Its named
    windows are written in place, as the tracer would."""
    if not isinstance(node, exp.Select):
        return False
    for source in source_nodes(node):
        if not isinstance(source, exp.Table) or not isinstance(source.this, exp.Identifier) \
                or (not source.db and source.name.lower() in scope):
            return False
    inline_windows(node)
    return True


def is_lateral(query: exp.Expr) -> bool:
    """Whether a stand-in's query is a LATERAL derived table's, which reads
    the sources left of it."""
    parent = query.parent
    return isinstance(parent, exp.Subquery) and isinstance(parent.parent, exp.Lateral)


def has_limit(node: exp.Expr) -> bool:
    return node.args.get("limit") is not None or node.args.get("fetch") is not None


def position_literal(node: exp.Expr) -> int | None:
    """The 1-based position `GROUP BY 2` or `ORDER BY 2` names, if it is one."""
    if isinstance(node, exp.Literal) and not node.is_string and node.name.isdigit():
        return int(node.name)
    return None


def base_column(trace: Trace, wanted: str | None = None) -> BaseColumn | None:
    """The table column a trace reads, if it reads one: `wanted` names it
    where it was read through the inner query's `src.*`. A count of rows
    (`t.*`), a literal or an unbound name reads none."""
    record = trace.record
    table, name = record.get("table_name"), record.get("column_name")
    if not table or not name or record.get("column_type") not in ("column", "subquery"):
        return None
    if name == "*":
        if not wanted or wanted == "*":
            return None
        name = wanted
    return (record.get("table_db") or None, str(table), str(name))


def positions_of(names: list[str], wanted: str) -> tuple[list[int], bool]:
    """The output positions of a query a column name reads, as the tracer
    finds them: by name exactly, else ignoring case, else its `src.*`
    items; with whether it was found through those."""
    if wanted == "*":
        return list(range(len(names))), False
    found = [at for at, name in enumerate(names) if name == wanted] or \
        [at for at, name in enumerate(names) if name.lower() == wanted.lower()]
    if found:
        return found, False
    return [at for at, name in enumerate(names) if name == "*"], True


def choice_conditions(node: exp.Expr) -> list[exp.Expr]:
    """What decides which value a choice gives: CASE's operand and WHEN
    conditions (each WHEN is an If), IF()'s condition, every argument of
    COALESCE/IFNULL but the last, both of NULLIF's, NVL2's first."""
    if isinstance(node, exp.If):
        return [node.this] if node.this is not None else []
    if isinstance(node, exp.Case):
        return [node.this] if node.this is not None else []
    if isinstance(node, exp.Coalesce):
        return [node.this, *node.expressions][:-1]
    if isinstance(node, exp.Nullif):
        return [value for value in (node.this, node.expression) if value is not None]
    if isinstance(node, exp.Nvl2):
        return [node.this] if node.this is not None else []
    return []


def window_keys(node: exp.Window) -> list[exp.Expr]:
    keys: list[exp.Expr] = list(node.args.get("partition_by") or [])
    order = node.args.get("order")
    return keys + ([order] if order is not None else [])


class KeepingTracer(Tracer):
    """A Tracer that keeps what the indirect analysis reads after it: each
    stand-in it makes, by the id of its table node (by name alone, a
    stand-in made while the query of another is traced, a derived table's
    own derived table or CTE, shares that one's name), and each WITH it
    takes off a query, by the id of the query."""

    def __init__(self, dialect: str = "mysql", schema: MappingSchema | None = None,
                 database: str | None = None) -> None:
        super().__init__(dialect, schema, database)
        self.kept: dict[int, Source] = {}
        self.withs: dict[int, exp.With] = {}

    def enter_with(self, node: exp.Expr, scope: Scope
                   ) -> Scope:
        with_clause = arg(node, "with")
        if with_clause is not None:
            self.withs[id(node)] = with_clause
        entered: Scope = super().enter_with(node, scope)
        return entered

    def stand_in(self, node: exp.Expr, alias: str | None, query: exp.Expr | None,
                 scope: Scope, renamed: list[str] | None,
                 outer: list[Source] | None = None) -> Source:
        source: Source = super().stand_in(node, alias, query, scope, renamed, outer)
        self.kept[id(source.node)] = source
        return source


class IndirectAnalysis:
    """The indirect lineage of the queries of one statement, read after the
    direct analysis traced them with `tracer`."""

    def __init__(self, tracer: KeepingTracer) -> None:
        self.tracer = tracer
        self.kept = tracer.kept
        self.withs = tracer.withs
        self.memo: dict[int, QueryIndirect | None] = {}
        self.views: dict[int, SelectView] = {}

    # -- queries ---------------------------------------------------------

    def query(self, node: exp.Expr, scope: Scope,
              outer: list[Source]) -> QueryIndirect:
        """What decides the rows of a query, and of each of its output
        columns; traced first where the direct analysis did not trace it
        (unless a plain select). A recursive CTE's read of itself adds nothing."""
        node = unwrapped(node)
        key = id(node)
        if key in self.memo:
            return self.memo[key] or QueryIndirect()
        self.memo[key] = None
        with_clause = arg(node, "with") or self.withs.get(key)
        if with_clause is not None:
            scope = self.tracer.add_ctes(with_clause, scope)
        if key not in self.tracer.memo and not plain_select(node, scope):
            self.tracer.query(node, scope, outer)
        if isinstance(node, exp.Select):
            found = self.select(node, scope, outer)
        elif isinstance(node, exp.SetOperation):
            found = self.set_operation(node, scope, outer)
        elif isinstance(node, exp.Subquery):
            found = self.query(node.this, scope, outer)
        else:  # VALUES: nothing decides
            found = QueryIndirect(fields=[{} for _ in self.lineage(node).names])
        self.memo[key] = found
        return found

    def lineage(self, node: exp.Expr) -> QueryLineage:
        """The direct lineage the tracer keeps for a traced query."""
        return self.tracer.memo.get(id(unwrapped(node))) or QueryLineage([], [])

    def set_operation(self, node: exp.SetOperation, scope: Scope,
                      outer: list[Source]) -> QueryIndirect:
        """Each branch's filters decide rows of the whole; each output column
        takes its branches' own. EXCEPT's and INTERSECT's later branch only
        decides which rows remain: its columns filter. A sort under LIMIT
        reads the output columns it names."""
        left_node, right_node = cast("exp.Expr", node.left), cast("exp.Expr", node.right)
        left = self.query(left_node, scope, outer)
        right = self.query(right_node, scope, outer)
        found = QueryIndirect(dict(left.dataset), [dict(fields) for fields in left.fields])
        merge(found.dataset, right.dataset)
        if isinstance(node, (exp.Except, exp.Intersect)):
            self.add_outputs(right_node, FILTER, found.dataset)
        if not isinstance(node, exp.Except):
            for fields, more in zip(found.fields, right.fields):
                merge(fields, more)
        order = node.args.get("order")
        if order is not None and has_limit(node):
            lineage = self.lineage(node)
            for ordered in order.expressions:
                for at in self.output_positions(lineage.names, ordered.this):
                    for trace in lineage.columns[at] if at < len(lineage.columns) else []:
                        column = base_column(trace)
                        if column is not None:
                            add(found.dataset, SORT, column)
        return found

    @staticmethod
    def output_positions(names: list[str], key: exp.Expr) -> list[int]:
        """The output positions a set operation's ORDER BY key reads: the
        one it numbers, else those named like its columns."""
        position = position_literal(key)
        if position is not None:
            return [position - 1] if 0 < position <= len(names) else []
        wanted = {node.name.lower() for node in key.find_all(exp.Column)}
        return [at for at, name in enumerate(names) if name.lower() in wanted]

    def add_outputs(self, query: exp.Expr, subtype: str, into: FoundSet) -> None:
        """Every column a query's output columns read, under `subtype`: as
        traced, or as its items read (a plain select, not traced)."""
        view = self.views.get(id(unwrapped(query)))
        if view is not None and id(view.select) not in self.tracer.memo:
            self.collect(view, list(view.select.expressions), subtype, into)
            return
        for traces in self.lineage(query).columns:
            for trace in traces:
                column = base_column(trace)
                if column is not None:
                    add(into, subtype, column)

    # -- one select --------------------------------------------------------

    def select(self, select: exp.Select, scope: Scope,
               outer: list[Source]) -> QueryIndirect:
        sources = self.sources_of(select, outer)
        own = {source.alias.lower() for source in sources}
        view = SelectView(select, sources, [source for source in outer
                                            if source.alias.lower() not in own],
                          scope, using_sources(select, sources))
        self.views[id(select)] = view
        found = QueryIndirect()
        deciding = False  # whether a column of a derived table read has its own
        for at, source in enumerate(sources):  # what decides the rows of what it reads
            if source.query is not None:
                before = sources[:at] if is_lateral(source.query) else []
                inner = self.query(source.query, source.scope, before)
                merge(found.dataset, inner.dataset)
                deciding = deciding or any(inner.fields)
        self.conditions(view, found.dataset)
        found.fields = [self.item_fields(view, item, deciding) for item in select.expressions]
        return found

    def sources_of(self, select: exp.Select, outer: list[Source]) -> list[Source]:
        """A traced select's FROM and JOIN sources: the tracer's stand-ins for
        derived tables and CTEs, and its tables with their known columns. A
        correlated subquery's copy of an outer select's source (which the
        tracer joins to it) is that source."""
        sources = []
        for node in source_nodes(select):
            if not isinstance(node, exp.Table):  # left as it was: nothing to read
                table = exp.Table(this=exp.to_identifier(node.alias_or_name or "?"))
                sources.append(Source(node.alias_or_name, table, opaque=node.sql()))
                continue
            stand_in = self.kept.get(id(node)) or next(
                (source for source in outer if source.node.name == node.name
                 and source.alias == node.alias_or_name and source.query is not None), None)
            if stand_in is not None:
                sources.append(stand_in)
                continue
            columns = table_columns(self.tracer.schema, node.db or self.tracer.database,
                                    node.name)
            sources.append(Source(node.alias_or_name, node, columns=columns or None))
        return sources

    def conditions(self, view: SelectView, into: FoundSet) -> None:
        """The select's own joins, filters, group keys and deciding sort."""
        select = view.select
        for join in select.args.get("joins") or []:
            on = join.args.get("on")
            if on is not None:
                self.collect(view, [on], JOIN, into)
        for name, holders in view.using.items():  # USING and NATURAL: both sides
            for at in holders:
                if at < len(view.sources):
                    self.add_reads(view.sources[at], name, JOIN, into)
        where = arg(select, "where")
        if where is not None:
            self.collect(view, [where.this], FILTER, into)
        group = select.args.get("group")
        if group is not None:  # a key names a source's column before an alias
            self.collect(view, list(group.iter_expressions()), GROUP_BY, into, True, False)
        having = select.args.get("having")
        if having is not None:
            self.collect(view, [having.this], FILTER, into, True)
        order = select.args.get("order")
        if order is not None and has_limit(select):
            keys = [ordered.this if isinstance(ordered, exp.Ordered) else ordered
                    for ordered in order.expressions]
            self.collect(view, keys, SORT, into, True)

    def item_fields(self, view: SelectView, item: exp.Expr, deciding: bool) -> FoundSet:
        """What decides the value of one select item's column besides what it
        reads: its choices' conditions, its windows' keys, the rows of its
        subqueries, and (`deciding`: some derived table read has any) what
        decides the columns of derived tables it reads."""
        found: FoundSet = {}
        column = plain_column(item)
        if column is not None:  # the commonest item, without a walk
            if deciding:
                for source, name in self.resolve(view, column):
                    merge(found, self.source_fields(source, name))
            return found
        nodes = own_nodes(item, (exp.Column, *DECIDING) if deciding else DECIDING)
        conditions: list[exp.Expr] = []
        windows: list[exp.Expr] = []
        for node in nodes:
            if isinstance(node, exp.Column):
                if not node.is_star:
                    for source, name in self.resolve(view, node):
                        merge(found, self.source_fields(source, name))
            elif isinstance(node, exp.Query):
                inner = self.query(node, view.scope, view.visible)
                merge(found, inner.dataset)
                for fields in inner.fields:
                    merge(found, fields)
            elif isinstance(node, exp.Window):
                windows += window_keys(node)
            elif not (isinstance(node, exp.Coalesce) and self.coalesced_using(node)):
                conditions += choice_conditions(node)
        self.collect(view, conditions, CONDITIONAL, found)
        self.collect(view, windows, WINDOW, found)
        return found

    def coalesced_using(self, node: exp.Coalesce) -> bool:
        """Whether a COALESCE is schema qualification's spelling of a column
        a USING join shares (`COALESCE(a.k, b.k)` for `k`): its columns are
        new nodes, without the mark qualify_with_schema gives written ones."""
        if self.tracer.schema is None:
            return False
        values = [node.this, *node.expressions]
        return all(isinstance(value, exp.Column) and "unqualified" not in value.meta
                   and value.name.lower() == values[0].name.lower() for value in values)

    # -- the columns of a condition ------------------------------------------

    def collect(self, view: SelectView, roots: list[exp.Expr], subtype: str,
                into: FoundSet, items: bool = False, alias_first: bool = True) -> None:
        """Adds what the expressions read under `subtype`: the columns they
        name (outside nested queries) and, for each query nested in them,
        the columns of its output (unless under EXISTS) and what decides its
        rows. With `items` (GROUP BY, HAVING, ORDER BY) a key may number a
        select item or name its alias: it reads that item's columns."""
        seen: set[tuple[str, str]] = set()
        for root in roots:
            columns, queries = self.parts(view, root, items, alias_first)
            for column in columns:
                key = (column.table.lower(), column.name.lower())
                if key in seen:
                    continue
                seen.add(key)
                for source, name in self.resolve(view, column):
                    self.add_reads(source, name, subtype, into)
            for query in queries:
                inner = self.query(query, view.scope, view.visible)
                if not isinstance(query.parent, exp.Exists):
                    self.add_outputs(query, subtype, into)
                merge(into, inner.dataset)

    def parts(self, view: SelectView, root: exp.Expr, items: bool,
              alias_first: bool) -> tuple[list[exp.Column], list[exp.Expr]]:
        """The columns of an expression outside nested queries, and those
        queries; with `items`, select items stand for the positions and
        aliases it names."""
        if items:
            position = position_literal(root)
            if position is not None:
                expressions = view.select.expressions
                return self.parts(view, expressions[position - 1], False, True) \
                    if 0 < position <= len(expressions) else ([], [])
        nodes = own_nodes(root, (exp.Column,))
        queries: list[exp.Expr] = [node for node in nodes if isinstance(node, exp.Query)]
        columns: list[exp.Column] = []
        for node in nodes:
            if not isinstance(node, exp.Column) or node.is_star:
                continue
            aliased = self.aliased_item(view, node, alias_first) if items else None
            if aliased is None:
                columns.append(node)
                continue
            more_columns, more_queries = self.parts(view, aliased, False, True)
            columns += more_columns
            queries += more_queries
        return columns, queries

    @staticmethod
    def aliased_item(view: SelectView, column: exp.Column,
                     alias_first: bool) -> exp.Expr | None:
        """The select item an unqualified name refers to by its alias: MySQL
        looks at the aliases first for HAVING and ORDER BY, at the sources'
        columns first for GROUP BY (where known)."""
        if column.table or not view.aliases:
            return None
        name = column.name.lower()
        item = view.aliases.get(name)
        if item is None or (not alias_first and view.holds(name)):
            return None
        return item

    @staticmethod
    def resolve(view: SelectView, column: exp.Column) -> list[tuple[Source, str]]:
        """The sources a column reads and the name it reads there: the one
        its qualifier names (own sources first, then the outer selects');
        unqualified, every source a USING or NATURAL join coalesces it from,
        else the first source known to hold it, else the first whose columns
        are unknown (a guess, as the direct analysis makes), else the only one."""
        name = column.name
        qualifier = column.table
        if qualifier:
            source = view.by_alias.get(qualifier.lower())
            return [(source, name)] if source is not None else []
        lowered = name.lower()
        if lowered in view.using:
            return [(view.sources[at], name) for at in view.using[lowered]
                    if at < len(view.sources)]
        for source, columns in view.known:
            if columns is not None and lowered in columns:
                return [(source, name)]
        own = len(view.sources)
        for known in (view.known[:own], view.known[own:]):
            for source, columns in known:
                if columns is None:
                    return [(source, name)]
        return [(view.sources[0], name)] if own == 1 else []

    def add_reads(self, source: Source, name: str, subtype: str, into: FoundSet) -> None:
        """Adds the table columns a source's column reads, under `subtype`: a
        table's own, a stand-in's those of the inner output column(s) it names."""
        if source.opaque is not None:
            return
        if source.query is None:
            if name != "*":
                add(into, subtype, (source.node.db or self.tracer.database or None,
                                    source.node.name, name))
            return
        lineage = self.tracer.memo.get(id(unwrapped(source.query))) \
            or self.tracer.query(source.query, source.scope)
        positions, starred = positions_of(source.renamed or lineage.names, name)
        for at in positions:
            for trace in lineage.columns[at] if at < len(lineage.columns) else []:
                column = base_column(trace, name if starred else None)
                if column is not None:
                    add(into, subtype, column)

    def source_fields(self, source: Source, name: str) -> FoundSet:
        """What decides the value of the inner output column(s) a stand-in's
        column names (nothing for a table's)."""
        if source.query is None or source.opaque is not None:
            return {}
        inner = self.query(source.query, source.scope, [])
        names = source.renamed or self.lineage(source.query).names
        found: FoundSet = {}
        for at in positions_of(names, name)[0]:
            if at < len(inner.fields):
                merge(found, inner.fields[at])
        return found


# -- a statement's rows --------------------------------------------------------

def spread_fields(fields: list[FoundSet], items: list[object]) -> list[FoundSet]:
    """The fields per output column where a `*` of unknown columns was
    spread over several target columns (compose.spread_star): the star's
    fields (none: it reads a table) repeated as often."""
    extra = len(items) - len(fields)
    if extra <= 0:
        return fields
    at = next((at for at, facts in enumerate(items)
               if is_star(str(getattr(facts, "output_name", "")))), None)
    if at is None or at >= len(fields):
        return fields
    return fields[:at] + [fields[at]] * (extra + 1) + fields[at + 1:]


def statement_rows(statement: Statement, found: QueryIndirect) -> list[IndirectRow]:
    """The statement's indirect rows: the dataset level first (no output
    column), then each output column's own, in position order."""
    place: dict[str, str | int | None] = {
        "file": statement.file, "statement": statement.number, "place": statement.place}
    dataset: dict[str, str | int | None] = {
        **place, "position": None, "output_name": None, "target_db": statement.target_db,
        "target_table": statement.target_table, "target_column": None}
    rows = [indirect_row(dataset, column) for column in found.dataset.values()]
    for output in statement.columns:
        at = output.position - 1
        if at >= len(found.fields) or not found.fields[at]:
            continue
        field_level: dict[str, str | int | None] = {
            **place, "position": output.position, "output_name": output.output_name,
            "target_db": output.target_db, "target_table": output.target_table,
            "target_column": output.target_column}
        rows += [indirect_row(field_level, column) for column in found.fields[at].values()]
    return rows


def indirect_row(where: dict[str, str | int | None], found: Found) -> IndirectRow:
    """The row of one column found, placed as `where` says (the keys before
    the subtype)."""
    subtype, (db, table, name) = found
    return IndirectRow.from_fields({**where, "subtype": subtype, "table_db": db,
                                    "table_name": table, "column_name": name})


def guarded(find: Callable[[], list[IndirectRow]]) -> IndirectLineage:
    """The rows `find` gives, or why it failed: a statement's indirect
    lineage never costs it its direct lineage."""
    try:
        return IndirectLineage(find())
    except RecursionError:
        return IndirectLineage(error="too deeply nested to analyse")
    except Exception as error:  # noqa: BLE001 - reported with the statement, never raised
        return IndirectLineage(error=f"indirect analysis failed ({type(error).__name__}: {error})")


def query_indirect(tracer: KeepingTracer, query: exp.Expr, lineage: QueryLineage,
                   statement: Statement) -> IndirectLineage:
    """The indirect lineage of a statement running `query` (SELECT, INSERT …
    SELECT, CREATE … AS SELECT, a view), once the direct analysis has traced
    it with `tracer` into `lineage` and filled the statement's columns."""
    def find() -> list[IndirectRow]:
        found = IndirectAnalysis(tracer).query(query, {}, [])
        found.fields = spread_fields(found.fields, list(lineage.items))
        return statement_rows(statement, found)

    return guarded(find)


def update_indirect(tracer: KeepingTracer, update: exp.Update, select: exp.Select,
                    statement: Statement,
                    trigger: tuple[str | None, str] | None = None) -> IndirectLineage:
    """The indirect lineage of an UPDATE, once the direct analysis has
    traced `select` (dml.update_select: its tables, joins and assigned
    expressions, an item per output column): the UPDATE's WHERE, and its
    ORDER BY under LIMIT, are read over the same sources."""
    def find() -> list[IndirectRow]:
        for key in ("where", "order", "limit"):
            value = update.args.get(key)
            if value is not None:
                select.set(key, value.copy())
        if trigger is not None:  # NEW.c and OLD.c in the WHERE read the trigger's table
            dml.add_trigger_rows(select, *trigger)
        return statement_rows(statement, IndirectAnalysis(tracer).query(select, {}, []))

    return guarded(find)
