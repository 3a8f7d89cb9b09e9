"""The lineage of a query, per output position, one select at a time.

Each select is normalised in place and handed to the native analysis with
every FROM and JOIN source a table: a derived table, a CTE or VALUES is
replaced by a stand-in table, and the records the analysis binds to a
stand-in are then replaced by the lineage of the query it stands for (as
the analysis itself does for a subquery: the outer record keeps its
position, alias and qualifier and takes the inner column's source). Each
query is traced once, however often it is read, so a CTE read twice or a
UNION read through a derived table costs one analysis."""

from __future__ import annotations

import contextlib
import io
from collections.abc import Sequence
from dataclasses import dataclass, field, replace
from functools import cached_property
from typing import TYPE_CHECKING, cast

from sqlglot import exp

from . import normalise
from .native import analysis_module
from .normalise import CteEntry, Scope, Source
from .records import (
    RECURSIVE,
    literal_trace,
    merge,
    module_numbering,
    placed_records,
    source_key,
    sourceless,
    unbound,
)
from .rows import (
    NO_SOURCE,
    NOT_SUPPORTED,
    LineageRecord,
    Numbered,
    QueryLineage,
    Trace,
    TraceRecord,
)
from .schema import table_columns
from .statements import arg, arg_key

if TYPE_CHECKING:
    from sqlglot.schema import MappingSchema

# (column name, qualifier) of an item's column -> whether the layer's
# qualifier was a guess among several sources.
Qualified = dict[tuple[str | None, str | None], bool]


class Tracer:
    """Traces the queries of one statement."""

    def __init__(self, dialect: str = "mysql", schema: MappingSchema | None = None,
                 database: str | None = None) -> None:
        self.dialect = dialect
        self.schema = schema
        self.database = database
        self.stand_ins: dict[str, Source] = {}
        self.memo: dict[int, QueryLineage | None] = {}
        # A recursive CTE's reads of itself, while it is traced: trace id ->
        # (the query it reads, its column names where renamed).
        self.recursive: dict[int, tuple[int, list[str] | None]] = {}

    # -- queries -----------------------------------------------------------

    def query(self, node: exp.Expr, scope: Scope, outer: list[Source] | None = None,
              describe: bool = False) -> QueryLineage:
        """The lineage of a query, traced once (then remembered by its node)."""
        while isinstance(node, exp.Subquery) and isinstance(node.this, exp.Query) \
                and not arg(node, "with"):
            node = node.this
        key = id(node)
        if key in self.memo:
            known = self.memo[key]
            if known is None:
                return QueryLineage([], [])  # read by itself: a recursive CTE
            return known
        self.memo[key] = None
        lineage = self.trace(node, self.enter_with(node, scope), outer, describe)
        self.resolve_recursion(key, lineage)
        self.memo[key] = lineage
        return lineage

    def resolve_recursion(self, key: int, lineage: QueryLineage) -> None:
        """A recursive CTE reads its own columns: each such read takes the
        sources of the column it names, round after round until nothing new
        comes (a column fed only by itself keeps its note)."""
        own = {trace_id: names for trace_id, (query, names) in self.recursive.items()
               if query == key}
        if not own:
            return
        base: list[list[Trace]] = []
        reads: list[list[tuple[Trace, int]]] = []
        for traces in lineage.columns:
            base.append([trace for trace in traces if id(trace) not in own])
            reads.append([])
            for trace in traces:
                if id(trace) in own:
                    names = own[id(trace)] or lineage.names
                    wanted = str(trace.record.get("column_name") or "").lower()
                    at = next((at for at, name in enumerate(names) if name.lower() == wanted),
                              None)
                    if at is not None and at < len(lineage.columns):
                        reads[-1].append((trace, at))
        resolved = [list(traces) for traces in base]
        for _ in range(len(lineage.columns) + 1):
            changed = False
            for position, position_reads in enumerate(reads):
                seen = {source_key(trace) for trace in resolved[position]}
                for trace, at in position_reads:
                    for inner in list(resolved[at]):
                        if inner.record.get("table_name") and source_key(inner) not in seen:
                            seen.add(source_key(inner))
                            resolved[position].append(Trace(merge(trace.record, inner.record),
                                                            inner.ambiguous, inner.note))
                            changed = True
            if not changed:
                break
        lineage.columns[:] = [traces or original for traces, original
                              in zip(resolved, lineage.columns)]

    def trace(self, node: exp.Expr, scope: Scope, outer: list[Source] | None,
              describe: bool) -> QueryLineage:
        if isinstance(node, exp.Select):
            return self.select(node, scope, outer, describe)
        if isinstance(node, exp.SetOperation):
            return self.set_operation(node, scope, outer, describe)
        if isinstance(node, exp.Subquery):
            return self.query(node.this, scope, outer, describe)
        if isinstance(node, exp.Values):
            return self.values(node)
        raise NotImplementedError(node.sql(dialect=self.dialect))

    def enter_with(self, node: exp.Expr, scope: Scope) -> Scope:
        """The CTEs of the node's WITH added to the scope (each seeing the
        ones before it, and itself when recursive); the WITH leaves the tree
        so that the native analysis reads the body."""
        with_clause = arg(node, "with")
        if with_clause is None:
            return scope
        node.set(normalise.with_key(node), None)
        return self.add_ctes(with_clause, scope)

    def add_ctes(self, with_clause: exp.With, scope: Scope) -> Scope:
        """The scope with the WITH's CTEs added, each seeing those before it
        (all of them, and itself, where the WITH is recursive)."""
        entries = []
        for cte in with_clause.expressions:
            entry = CteEntry(cte.this, dict(scope), normalise.alias_columns(cte))
            scope = {**scope, cte.alias.lower(): entry}
            entries.append(entry)
        if with_clause.args.get("recursive"):
            for entry in entries:
                entry.scope = scope
        return scope

    def set_operation(self, node: exp.SetOperation, scope: Scope, outer: list[Source] | None,
                      describe: bool) -> QueryLineage:
        left = self.query(node.left, scope, outer, describe)
        if isinstance(node, exp.Except):
            return left  # later branches only decide which rows of the first remain
        right = self.query(node.right, scope, outer)
        # A recursive CTE's reads of itself stay: query() resolves them.
        columns = [traces + (right.columns[position] if position < len(right.columns) else [])
                   for position, traces in enumerate(left.columns)]
        return QueryLineage(left.names, columns, left.items)

    def values(self, node: exp.Values) -> QueryLineage:
        """VALUES as a source: a select of literals per row, so each column
        reads the literals written for it and no table."""
        rows = [normalise.values_row(row) for row in node.expressions]
        width = max((len(row) for row in rows), default=0)
        names = normalise.alias_columns(node) or [f"column_{index}" for index in range(width)]
        columns = [[literal_trace(row[at], names[at]) for row in rows if at < len(row)]
                   for at in range(len(names))]
        return QueryLineage(names, columns)

    # -- one select ----------------------------------------------------------

    def select(self, select: exp.Select, scope: Scope, outer: list[Source] | None,
               describe: bool) -> QueryLineage:
        normalise.flatten_joins(select)
        normalise.inline_windows(select)
        sources: list[Source] = []
        for node in normalise.source_nodes(select):
            sources.append(self.source(node, scope, sources))
        if not sources and outer:
            sources = self.borrow_sources(select, outer)
        normalise.expand_stars(select, sources)
        items = list(select.expressions)
        names = [item.alias_or_name for item in items]
        described = [normalise.describe_item(item, self.dialect) for item in items] \
            if describe else []
        qualified: dict[int, Qualified] = {}
        using = normalise.using_sources(select, sources)
        columns: list[exp.Column] = []
        parts = [normalise.item_parts(item) for item in items]
        for index, item in enumerate(items):
            item_columns = normalise.count_stars(item, sources, parts[index])
            normalise.match_qualifiers(item_columns, sources)
            qualified[index] = {(name, alias): guessed for name, alias, guessed in
                                normalise.layer_qualified(item_columns)
                                + normalise.qualify_unqualified(item_columns, sources, using)}
            if any(node.parent is None for node in item_columns):  # a USING column replaced
                parts[index].reshaped = True
            columns += item_columns
        items = list(select.expressions)  # an item that was a USING column is now their tuple
        borrowed = self.borrow_referenced(select, sources, outer or [], columns)
        context = SelectContext(select, sources, qualified, scope, borrowed, parts)
        return QueryLineage(names, self.select_columns(context, items), described)

    def borrow_sources(self, select: exp.Select, outer: list[Source]) -> list[Source]:
        """A subquery without FROM (`(SELECT t.a + t.b)`) reads the sources
        of the select it sits in."""
        nodes = [source.node.copy() for source in outer]
        select.set(arg_key(select, "from"), exp.From(this=nodes[0]))
        select.set("joins", [exp.Join(this=node) for node in nodes[1:]])
        return [replace(source, node=node) for source, node in zip(outer, nodes)]

    def borrow_referenced(self, select: exp.Select, sources: list[Source], outer: list[Source],
                          columns: list[exp.Column]) -> list[Source]:
        """A correlated subquery's items may read the select it sits in
        (`(SELECT t.a FROM u LIMIT 1)`): join the outer sources they name."""
        if not outer:
            return []
        own = {source.alias.lower() for source in sources}
        named = {node.table.lower() for node in columns if node.table} - own
        borrowed = []
        for source in outer:
            if source.alias.lower() in named:
                node = source.node.copy()
                select.append("joins", exp.Join(this=node))
                borrowed.append(replace(source, node=node))
        return borrowed

    def select_columns(self, context: SelectContext, items: list[exp.Expr]) -> list[list[Trace]]:
        """The traces of each select item."""
        columns: list[list[Trace]] = [[] for _ in items]
        plain: list[tuple[int, exp.Expr]] = []
        kinds: dict[int, str | None] = {}
        for index, item in enumerate(items):
            parts = context.parts[index]
            if parts.queries:
                columns[index] = self.nested_item(context, item, index)
                continue
            kinds[index] = normalise.item_kind(item, parts)
            if kinds[index] is None:
                columns[index] = [sourceless(NO_SOURCE, items[index].alias_or_name)]
            else:
                plain.append((index, item))
        if plain:
            for index, traces in self.plain_items(context, plain, kinds).items():
                columns[index] = traces
        return columns

    def plain_items(self, context: SelectContext, plain: list[tuple[int, exp.Expr]],
                    kinds: dict[int, str | None]) -> dict[int, list[Trace]]:
        """The traces of select items without nested queries: one analysis of
        them all, its records placed by the analysis' own numbering; an item
        the whole analysis cannot place or refuses is analysed alone."""
        numbering = module_numbering(plain, kinds, {
            index: context.parts[index].own_nodes(kinds[index] or "") for index, _ in plain})
        expected = [entry for entry in numbering if entry.kept]
        traces: dict[int, list[Trace]] = {index: [] for index, _ in plain}
        records: list[TraceRecord] | None
        try:
            records = self.analyse(context.select, [item for _, item in plain])
        except Exception:  # noqa: BLE001 - one refused item: analyse item by item below
            records = None
        if records is not None and len(records) == len(expected) and all(
                record.get("column_name") == entry.name
                for record, entry in zip(records, expected)):
            for entry, record in zip(numbering, placed_records(numbering, records)):
                traces[entry.item].extend(self.compose(context, record, entry.item))
        for index, item in plain:
            if not traces[index]:
                traces[index] = self.single_item(context, item, numbering, index)
        return traces

    def single_item(self, context: SelectContext, item: exp.Expr, numbering: list[Numbered],
                    index: int) -> list[Trace]:
        """The traces of one select item analysed alone (at `index` among
        the items, numbered as its place in `numbering` says)."""
        sorts = [entry.sort for entry in numbering if entry.item == index]
        try:
            records = self.analyse(context.select, [item])
        except NotImplementedError as error:
            fragment = error.args[1] if len(error.args) > 1 else item
            text = fragment.sql(dialect=self.dialect) if isinstance(fragment, exp.Expression) \
                else str(fragment)
            return [sourceless(NOT_SUPPORTED + text, item.alias_or_name)]
        except Exception as error:  # noqa: BLE001 - any refusal costs this item only
            return [sourceless(f"{NOT_SUPPORTED}{item.sql(dialect=self.dialect)} "
                               f"({type(error).__name__})", item.alias_or_name)]
        traces = []
        for record in records:
            if sorts:
                record = {**record, "column_sort": sorts[0]}
            traces.extend(self.compose(context, record, index))
        return traces or [sourceless(NO_SOURCE, item.alias_or_name)]

    def nested_item(self, context: SelectContext, item: exp.Expr, index: int) -> list[Trace]:
        """A select item holding queries (a scalar subquery, IN, EXISTS):
        the sources of their output columns, and of the item's own columns."""
        traces = []
        for query in context.parts[index].queries:
            inner = self.query(query, context.scope, outer=context.sources)
            for position_traces in inner.columns:
                for trace in position_traces:
                    record: TraceRecord = {**trace.record, "column_type": "subquery"} \
                        if trace.record.get("column_type") == "column" else trace.record
                    traces.append(Trace(record, trace.ambiguous, trace.note))
        rest = item.copy()
        for query in list(rest.find_all(exp.Query, exp.Exists)):
            if query.parent is not None and query.parent.find_ancestor(exp.Query) is None:
                query.replace(exp.Null())
        if not isinstance(item, exp.Query) and (rest.find(exp.Column) or rest.find(exp.Anonymous)):
            own = self.single_item(context, rest, [], index)
            traces.extend(trace for trace in own if trace.record.get("column_name") is not None)
        return traces or [sourceless(NO_SOURCE, item.alias_or_name)]

    def analyse(self, select: exp.Select, items: Sequence[exp.Expr]) -> list[TraceRecord]:
        """The native analysis of the select with only these items. It prints
        an unsupported item before raising; that print is not ours to show."""
        original = list(select.expressions)
        select.set("expressions", list(items))
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                records: list[LineageRecord] = analysis_module().test(select)
        finally:
            select.set("expressions", original)
        # A module record is a trace record with its keys set: its values
        # are of the trace record's types.
        return cast(list[TraceRecord], records)

    # -- sources -----------------------------------------------------------

    def source(self, node: exp.Expr, scope: Scope, before: list[Source]) -> Source:
        """A FROM or JOIN source as a table; `before` are the sources left of
        it, which a LATERAL derived table may read."""
        if isinstance(node, exp.Table) and isinstance(node.this, exp.Identifier):
            name = node.name.lower()
            if not node.db and name in scope:
                entry = scope[name]
                return self.stand_in(node, node.alias or node.name, entry.query, entry.scope or {},
                                     normalise.alias_columns(node) or entry.renamed)
            return self.table(node)
        if isinstance(node, exp.Subquery) and isinstance(node.this, exp.Query):
            return self.stand_in(node, node.alias, node.this, scope, normalise.alias_columns(node))
        if isinstance(node, exp.Values):
            return self.stand_in(node, node.alias, node, scope, normalise.alias_columns(node))
        lateral = normalise.lateral_query(node) or normalise.json_table_query(node)
        if lateral is not None:
            return self.stand_in(node, node.alias, lateral, scope, normalise.alias_columns(node),
                                 outer=list(before))
        source = self.stand_in(node, node.alias, None, scope, None)
        source.opaque = node.sql(dialect=self.dialect)
        return source

    def table(self, node: exp.Table) -> Source:
        if not node.db and self.database:
            node.set("db", exp.to_identifier(self.database))
        synthetic = not normalise.written_alias(node)
        if not node.alias:
            node.set("alias", exp.TableAlias(this=exp.to_identifier(node.name)))
        known = table_columns(self.schema, node.db, node.name) or None
        return Source(node.alias, node, columns=known, synthetic_alias=synthetic)

    def stand_in(self, node: exp.Expr, alias: str | None, query: exp.Expr | None, scope: Scope,
                 renamed: list[str] | None, outer: list[Source] | None = None) -> Source:
        """A stand-in table for a source that is not a table (a derived
        table, a CTE, VALUES, LATERAL, or what the analysis cannot read:
        `query` None), put in the source's place in the tree."""
        name = f"<derived {len(self.stand_ins) + 1}>"
        alias = alias or name
        table = exp.Table(this=exp.to_identifier(name),
                          alias=exp.TableAlias(this=exp.to_identifier(alias)))
        node.replace(table)
        source = Source(alias, table, query, scope, renamed)
        if outer is not None and query is not None:  # traced now, while the sources it
            self.query(query, scope, outer)            # may read are known
        if query is not None:
            source.columns = renamed or self.query(query, scope).names
        self.stand_ins[name] = source
        return source

    # -- records -----------------------------------------------------------

    def compose(self, context: SelectContext, record: TraceRecord, index: int) -> list[Trace]:
        """The traces of one record of the native analysis of this select:
        itself when it is bound to a table, else (bound to a stand-in) the
        lineage of the column it reads in the query the stand-in stands for."""
        source = self.stand_ins.get(record.get("table_name") or "")
        if source is None:
            return [self.own_record(context, record, index)]
        qualified = context.guessed(index, record)
        guessed = bool(qualified)
        if qualified is not None:
            record = {**record, "column_table": ""}
        query = source.query
        if source.opaque is not None or query is None:  # a stand-in for no query is opaque
            return [Trace(unbound(record), note=NOT_SUPPORTED + (source.opaque or ""))]
        if self.memo.get(id(query), False) is None:
            trace = Trace(unbound(record), note=RECURSIVE)
            self.recursive[id(trace)] = (id(query), source.renamed)
            return [trace]
        inner = self.query(query, source.scope)
        wanted = record.get("column_name")
        traces = [Trace(merge(record, trace.record, wanted if starred else None),
                        trace.ambiguous or (starred and ambiguous) or guessed, trace.note)
                  for trace, starred, ambiguous in self.inner_traces(source, inner, wanted)]
        if not traces:
            return [Trace(unbound(record), note=f"no column {wanted} in {source.alias}")]
        return traces

    def inner_traces(self, source: Source, inner: QueryLineage, wanted: str | None
                     ) -> list[tuple[Trace, bool, bool]]:
        """The traces of the inner output column a stand-in's column names:
        by name (exactly, else ignoring case), every column for `*`, else
        through the inner query's `src.*` items (ambiguous when several);
        each with whether it was read through a star, and that ambiguity."""
        names = source.renamed or inner.names
        if wanted == "*":
            positions = list(range(len(inner.columns)))
        else:
            wanted_name = str(wanted)
            positions = [at for at, name in enumerate(names) if name == wanted_name] or \
                [at for at, name in enumerate(names) if name.lower() == wanted_name.lower()]
        starred = not positions and wanted != "*"
        if starred:
            positions = [at for at, name in enumerate(names) if name == "*"]
        return [(trace, starred, len(positions) > 1) for at in positions if at < len(inner.columns)
                for trace in inner.columns[at]]

    def own_record(self, context: SelectContext, record: TraceRecord, index: int) -> Trace:
        """A record the analysis bound in this select, with the aliases and
        qualifiers this layer added taken off again; flagged ambiguous when
        its unqualified column could come from several sources."""
        record = record.copy()
        guessed = context.guessed(index, record)
        ambiguous = bool(guessed) or (
            len(context.sources) > 1 and record.get("column_table") == ""
            and record.get("column_type") == "column" and bool(record.get("table_name")))
        if record.get("table_alias") in context.synthetic_aliases:
            record["table_alias"] = ""
        if guessed is not None:
            record["column_table"] = ""
        return Trace(record, ambiguous=ambiguous)


@dataclass
class SelectContext:
    """One select being traced: its sources, the columns this layer
    qualified per item (column, alias) -> whether that was a guess, the CTEs
    in scope, and the outer sources a correlated subquery reads."""

    select: exp.Select
    sources: list[Source]
    qualified: dict[int, Qualified]
    scope: Scope
    borrowed: list[Source] = field(default_factory=list)
    parts: list[normalise.ItemParts] = field(default_factory=list)

    @cached_property
    def synthetic_aliases(self) -> set[str]:
        return {source.alias for source in self.sources + self.borrowed if source.synthetic_alias}

    def guessed(self, index: int, record: TraceRecord) -> bool | None:
        """Whether this layer qualified the record's column by a guess (None:
        it did not qualify it)."""
        key = (record.get("column_name"), record.get("column_table"))
        return self.qualified.get(index, {}).get(key)
