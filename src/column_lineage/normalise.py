"""Rewrites of one select, in place, into a shape the native analysis reads
right: every source a table with an alias, parenthesised joins flattened,
stars spelt out per source, qualifiers spelt as their source's alias, and an
unqualified column qualified where only one source can hold it."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from sqlglot import exp
from sqlglot.transforms import eliminate_window_clause

from .rows import AGGREGATION, IDENTITY, TRANSFORMATION, ItemFacts
from .statements import arg, arg_key

if TYPE_CHECKING:
    from sqlglot.schema import MappingSchema


@dataclass
class CteEntry:
    """A name in scope for the queries of a statement (a CTE, or a row the
    analysis stands in for): the query it stands for, the scope that query
    sees (itself too, where recursive), and its column names where renamed."""

    query: exp.Expr
    scope: Scope
    renamed: list[str] | None


# The names in scope, lower case, and what each stands for.
Scope = dict[str, CteEntry]


@dataclass
class Source:
    """One FROM or JOIN source of a select, as the analysis sees it.

    `node` is the table node left in the tree: the table itself, or a
    stand-in table whose name the tracer maps back to the query it stands
    for. `columns` are its known column names (None: unknown)."""

    alias: str
    node: exp.Table
    query: exp.Expr | None = None
    scope: Scope = field(default_factory=dict)
    renamed: list[str] | None = None
    columns: list[str] | None = None
    synthetic_alias: bool = False
    opaque: str | None = None


def layer_qualified(columns: list[exp.Column]) -> list[tuple[str, str, bool]]:
    """(column, alias, False) for each of an item's columns that
    qualification gave a qualifier it was not written with."""
    return [(node.name, node.table, False) for node in columns
            if node.meta.get("unqualified") and node.table]


@dataclass
class ItemParts:
    """A select item's nodes outside its nested queries, found in one walk:
    its columns, stars and unknown functions, and the outermost queries
    inside it (scalar subqueries, IN and EXISTS queries), unwrapped from
    their parentheses."""

    columns: list[exp.Column] = field(default_factory=list)
    stars: list[exp.Star] = field(default_factory=list)
    anonymous: list[exp.Anonymous] = field(default_factory=list)
    queries: list[exp.Expr] = field(default_factory=list)
    reshaped: bool = False  # a node was replaced since: the lists are not in tree order

    def own_nodes(self, kind: str) -> list[exp.Column] | list[exp.Anonymous] | None:
        """The item's nodes the native analysis reads for an item of this
        kind ("column" or "anonymous"), in tree order (breadth first, as
        find_all gives them), or None where the walk's lists are out of date."""
        if self.reshaped:
            return None
        return self.columns if kind == "column" else self.anonymous


def plain_column(item: exp.Expr) -> exp.Column | None:
    """The column an item is when it is that alone (`t.a`, `t.a AS b`): a
    column whose parts are all identifiers, so the only node of interest in
    the item, with no star, function or query in it."""
    inner = item.this if isinstance(item, exp.Alias) else item
    if not isinstance(inner, exp.Column) or not isinstance(inner.this, exp.Identifier):
        return None
    if inner is not item and not isinstance(item.args.get("alias"), exp.Identifier):
        return None
    if any(isinstance(value, exp.Expression) and not isinstance(value, exp.Identifier)
           for value in inner.args.values()):
        return None
    return inner


def item_parts(item: exp.Expr) -> ItemParts:
    column = plain_column(item)  # the commonest item, without a walk
    if column is not None:
        return ItemParts([column], [], [], [])
    # find_all filters the walk natively; only an item holding a query needs
    # the walk that stops at each query.
    found = list(item.find_all(exp.Column, exp.Star, exp.Anonymous, exp.Query, exp.Count))
    if any(node is not item and isinstance(node, exp.Query) for node in found):
        found = list(item.walk(prune=lambda node: node is not item and isinstance(node, exp.Query)))
    parts = ItemParts([], [], [], [])
    for node in found:
        if isinstance(node, exp.Column):
            parts.columns.append(node)
        elif isinstance(node, exp.Star):
            parts.stars.append(node)
        elif isinstance(node, exp.Count) and counts_rows(node):
            # MySQL gives back COUNT(*) as count(0) (SHOW CREATE VIEW,
            # mysqldump): a constant counts rows just as * does.
            star = exp.Star()
            node.set("this", star)
            parts.stars.append(star)
        elif isinstance(node, exp.Anonymous):
            parts.anonymous.append(node)
        elif node is not item and isinstance(node, exp.Query):
            parts.queries.append(unwrap_query(node))
    if isinstance(item, exp.Query):
        parts.queries = [unwrap_query(item)]
    return parts


def counts_rows(count: exp.Count) -> bool:
    """COUNT(0) or COUNT(1): a count of rows written with a constant."""
    value = count.this
    return isinstance(value, exp.Literal) and not value.is_string and value.name in ("0", "1")


def unwrap_query(node: exp.Expr) -> exp.Expr:
    while isinstance(node, exp.Subquery) and isinstance(node.this, exp.Query):
        node = node.this
    return node


def unwrap_joined(node: exp.Expr) -> tuple[exp.Expr, list[exp.Join]]:
    """A parenthesised join `((a JOIN b ON …) JOIN c ON …)` as its first
    table and its joins, the inner ones first. The parser hangs each level's
    joins on that level's node: the table, or the parentheses around it."""
    joins: list[exp.Join] = []
    while True:
        if isinstance(node, (exp.Subquery, exp.Paren, exp.Table)) and node.args.get("joins"):
            joins = list(node.args["joins"]) + joins
            node.set("joins", None)
        if isinstance(node, (exp.Subquery, exp.Paren)) and not node.alias \
                and isinstance(node.this, (exp.Subquery, exp.Paren, exp.Table)):
            node = node.this
            continue
        return node, joins


def flatten_joins(select: exp.Select) -> None:
    """Parenthesised joins in FROM and JOIN become one flat join list."""
    from_clause = arg(select, "from")
    joins = list(select.args.get("joins") or [])
    changed = False
    if from_clause is not None and from_clause.this is not None:
        source, extra = unwrap_joined(from_clause.this)
        if source is not from_clause.this or extra:
            from_clause.set("this", source)
            joins = extra + joins
            changed = True
    flat = []
    for join in joins:
        source, extra = unwrap_joined(join.this)
        if source is not join.this or extra:
            join.set("this", source)
            changed = True
        flat.append(join)
        flat.extend(extra)
    if changed:
        select.set("joins", flat)


def inline_windows(select: exp.Select) -> None:
    """`OVER w` with `WINDOW w AS (…)` reads as the window written in place,
    so its PARTITION BY and ORDER BY columns feed the item as they do inline."""
    if select.args.get("windows"):
        eliminate_window_clause(select)


def source_nodes(select: exp.Select) -> list[exp.Expr]:
    from_clause = arg(select, "from")
    nodes = [from_clause.this] if from_clause is not None and from_clause.this is not None else []
    return nodes + [join.this for join in select.args.get("joins") or [] if join.this is not None]


def lateral_query(node: exp.Expr) -> exp.Query | None:
    """The query of a LATERAL derived table, `LATERAL (SELECT …) AS l`."""
    if isinstance(node, exp.Lateral) and isinstance(node.this, exp.Subquery) \
            and isinstance(node.this.this, exp.Query):
        return node.this.this
    return None


def json_table_query(node: exp.Expr) -> exp.Select | None:
    """`JSON_TABLE(doc, path COLUMNS (…)) AS j` as the select it amounts to:
    each of its columns (NESTED PATH ones too) is read from the document, a
    FOR ORDINALITY column from nothing. Like LATERAL, it reads the sources
    before it."""
    table = node.this if isinstance(node, exp.Table) else None
    if not isinstance(table, exp.JSONTable) or table.this is None:
        return None
    items = [exp.alias_(exp.Null() if column.args.get("ordinality") else table.this.copy(),
                        column.name)
             for column in table.find_all(exp.JSONColumnDef, bfs=False) if column.name]
    return exp.Select(expressions=items) if items else None


def alias_columns(node: exp.Expr) -> list[str] | None:
    table_alias = node.args.get("alias")
    if isinstance(table_alias, exp.TableAlias) and table_alias.columns:
        return [column.name for column in table_alias.columns]
    return None


def values_row(row: exp.Expr) -> list[exp.Expr]:
    """The values of one VALUES row: `(1, 2)` or MySQL's `ROW(1, 2)`."""
    values = row.expressions if isinstance(row, exp.Tuple) else [row]
    if len(values) == 1 and isinstance(values[0], exp.Anonymous) \
            and values[0].name.upper() == "ROW":
        values = values[0].expressions
    return values


def column(name: str | exp.Star, table: str) -> exp.Column:
    this = name if isinstance(name, exp.Star) else exp.to_identifier(name)
    return exp.Column(this=this, table=exp.to_identifier(table))


def star_columns(source: Source) -> list[exp.Column]:
    if source.columns:
        return [column(name, source.alias) for name in source.columns]
    return [column(exp.Star(), source.alias)]


def expand_stars(select: exp.Select, sources: list[Source]) -> None:
    """`*` becomes each source's columns (or `src.*` where they are not
    known); `t.*` becomes t's columns where they are known."""
    items = select.expressions
    if not any(isinstance(item, exp.Star) or (isinstance(item, exp.Column) and item.is_star)
               for item in items):
        return
    by_alias = {source.alias.lower(): source for source in sources}
    expanded: list[exp.Expr] = []
    for item in items:
        if isinstance(item, exp.Star) and sources:
            for source in sources:
                expanded.extend(star_columns(source))
        elif isinstance(item, exp.Column) and item.is_star and item.table.lower() in by_alias \
                and by_alias[item.table.lower()].columns:
            expanded.extend(star_columns(by_alias[item.table.lower()]))
        else:
            expanded.append(item)
    select.set("expressions", expanded)


def count_stars(item: exp.Expr, sources: list[Source],
                parts: ItemParts | None = None) -> list[exp.Column]:
    """`COUNT(*)` counts the rows of every source of its own select: read it
    as counting `src.*` of each. Returns the item's columns (outside nested
    queries) afterwards, and keeps them in `parts` when given."""
    parts = parts or item_parts(item)
    columns = list(parts.columns)
    for star in parts.stars:
        if not sources or isinstance(star.parent, exp.Column):
            continue
        stars = [column(exp.Star(), source.alias) for source in sources]
        star.replace(stars[0] if len(stars) == 1 else exp.Tuple(expressions=stars))
        columns += stars
        parts.reshaped = True
    parts.columns = columns
    return columns


def match_qualifiers(columns: list[exp.Column], sources: list[Source]) -> None:
    """Qualifiers match aliases case-insensitively: spell each as its
    source's alias."""
    aliases = {source.alias.lower(): source.alias for source in sources}
    for node in columns:
        qualifier = node.table
        if qualifier and qualifier not in aliases.values() and qualifier.lower() in aliases:
            node.set("table", exp.to_identifier(aliases[qualifier.lower()]))


def using_sources(select: exp.Select, sources: list[Source]) -> dict[str, list[int]]:
    """Column name -> the sources (by index) a USING (…) or NATURAL join
    coalesces it from: the first source and each source joined USING that
    column, or joined NATURAL to sources before it holding a column of that
    name (known only where the sources' columns are)."""
    joined: dict[str, list[int]] = {}
    for position, join in enumerate(select.args.get("joins") or [], start=1):
        shared = {name.name.lower(): [0] for name in join.args.get("using") or []}
        if str(join.args.get("method") or "").upper() == "NATURAL":
            shared = natural_columns(sources, position)
        for name, holders in shared.items():
            joined.setdefault(name, holders).append(position)
    return joined


def natural_columns(sources: list[Source], position: int) -> dict[str, list[int]]:
    """The columns a NATURAL join of the source at `position` matches, each
    with the sources before it that hold it."""
    joined = sources[position].columns if position < len(sources) else None
    shared: dict[str, list[int]] = {}
    for name in (name.lower() for name in joined or []):
        holders = [at for at, source in enumerate(sources[:position])
                   if name in (known.lower() for known in source.columns or [])]
        if holders:
            shared[name] = holders
    return shared


def qualify_unqualified(columns: list[exp.Column], sources: list[Source],
                        using: dict[str, list[int]]) -> list[tuple[str, str, bool]]:
    """Qualify the unqualified columns of a select with several sources: a
    column joined with USING reads every source it is joined from (as
    MySQL's COALESCE of them); another column reads the only source that
    lists it, else the only source whose columns are not known; where
    several remain, the first of them, a guess. A column no source can hold
    is left as it is. Returns (column, alias, guessed) for each column so
    qualified."""
    if len(sources) < 2:
        return []
    qualified = []
    for node in columns:
        if node.table or node.is_star:
            continue
        name = node.name.lower()
        if name in using:
            joined = [sources[at] for at in using[name] if at < len(sources)]
            node.replace(exp.Tuple(expressions=[column(node.name, source.alias)
                                                for source in joined]))
            continue
        holders = [source for source in sources
                   if source.columns and name in (known.lower() for known in source.columns)]
        if not holders:
            holders = [source for source in sources if source.columns is None]
        if holders:
            node.set("table", exp.to_identifier(holders[0].alias))
            qualified.append((node.name, holders[0].alias, len(holders) > 1))
    return qualified


def item_kind(item: exp.Expr, parts: ItemParts | None = None) -> str | None:
    """How the native analysis reads a select item without nested queries:
    "literal", "null", "column", "anonymous", or None for an item it refuses
    (no column and no unknown function: `NOW()`, `1 + 1`). `parts`, when
    given, are the item's own (count_stars keeps its columns up to date)."""
    inner = item.this if isinstance(item, exp.Alias) else item
    if isinstance(item, exp.Literal) \
            or (isinstance(inner, exp.Literal) and isinstance(item, exp.Alias)):
        return "literal"
    if isinstance(item, exp.Null) or (isinstance(inner, exp.Null) and isinstance(item, exp.Alias)):
        return "null"
    if parts.columns if parts is not None else item.find(exp.Column):
        return "column"
    if parts.anonymous if parts is not None else item.find(exp.Anonymous):
        return "anonymous"
    return None


def output_name(item: exp.Expr, dialect: str) -> str:
    """The name the database gives an output column: its alias, a column's
    own name, else the item's text as written."""
    if isinstance(item, exp.Alias):
        return item.alias
    if isinstance(item, exp.Column) and not item.is_star:
        return item.name
    return item.meta.get("written") or item.sql(dialect=dialect)


def transformation(item: exp.Expr) -> str:
    """How a select item computes its output column: IDENTITY (a column as
    it is), AGGREGATION (an aggregate in it) or TRANSFORMATION."""
    if plain_column(item) is not None:  # nothing else in it: no walk
        return IDENTITY
    inner = item.this if isinstance(item, exp.Alias) else item
    if item.find(exp.AggFunc):
        return AGGREGATION
    if isinstance(inner, exp.Column):
        return IDENTITY
    return TRANSFORMATION


def describe_item(item: exp.Expr, dialect: str) -> ItemFacts:
    """What a select item says of its output column: its name, its text as
    written, how it computes the column."""
    return ItemFacts(output_name(item, dialect),
                     item.meta.get("written") or item.sql(dialect=dialect), transformation(item))


def with_key(node: exp.Expr) -> str:
    return arg_key(node, "with")


def qualify_with_schema(query: exp.Expr, schema: MappingSchema, dialect: str,
                        database: str | None) -> None:
    """sqlglot's qualification against the schema, in place: every column
    names its source and stars over known tables are expanded. A select-list
    alias is not visible to later items in MySQL, so alias references are
    not expanded. What qualification adds and the native analysis would read
    as written (table aliases, output aliases) is marked or taken off again."""
    written: dict[int, list[exp.Expr]] = {}
    coalesced: dict[int, list[str]] = {}
    renamed: set[int] = set()
    for node in query.find_all(exp.Select, exp.Column, exp.Table, exp.TableAlias, exp.Values):
        if isinstance(node, exp.Values):
            name_values_columns(node)
        elif isinstance(node, exp.Column):
            node.meta["unqualified"] = not node.table
        elif isinstance(node, exp.Table):
            node.meta["written_alias"] = node.alias
        elif isinstance(node, exp.TableAlias):
            # `(…) AS d (x, y)`: qualification moves the names onto the items
            # of the derived table's selects, where they have to stay.
            if node.columns and isinstance(node.parent, (exp.Subquery, exp.CTE)):
                renamed.update(id(select) for select in branch_selects(node.parent.this))
        elif isinstance(node, exp.Select):
            written[id(node)] = list(node.expressions)
            coalesced[id(node)] = star_using_columns(node)
            for item in node.expressions:
                item.meta["aliased"] = bool(item.alias)
    from sqlglot.optimizer.qualify import qualify  # only with a schema: it costs imports

    try:
        qualify(query, schema=schema, dialect=dialect, db=database or None,
                expand_alias_refs=False, validate_qualify_columns=False,
                quote_identifiers=False, identify=False)
    except Exception:  # noqa: BLE001 - a refusal leaves the layer's own qualification
        pass
    finally:
        for select in query.find_all(exp.Select):
            before = written.get(id(select), [])
            items = select.expressions
            if len(before) == len(items):  # an item qualification replaced keeps its marks
                for old, new in zip(before, items):
                    for key in ("aliased", "written"):
                        if key in old.meta and key not in new.meta:
                            new.meta[key] = old.meta[key]
            items = coalesced_first(items, coalesced.get(id(select)))
            if id(select) not in renamed:
                items = [unalias(item) for item in items]
            select.set("expressions", items)


def name_values_columns(values: exp.Values) -> None:
    """VALUES' columns named as MySQL names them (column_0, column_1, …)
    where the alias does not, before qualification names them otherwise."""
    alias = values.args.get("alias")
    if not isinstance(alias, exp.TableAlias) or alias.columns:
        return
    width = max((len(values_row(row)) for row in values.expressions), default=0)
    alias.set("columns", [exp.to_identifier(f"column_{at}") for at in range(width)])


def branch_selects(query: exp.Expr) -> list[exp.Select]:
    """The selects whose items are a query's output columns: the query's, or
    each branch's of a set operation."""
    while isinstance(query, exp.Subquery):
        query = query.this
    if isinstance(query, exp.SetOperation):
        return branch_selects(query.left) + branch_selects(query.right)
    return [query] if isinstance(query, exp.Select) else []


def star_using_columns(select: exp.Select) -> list[str]:
    """The columns a `SELECT *` joined with USING lists first."""
    items = select.expressions
    if len(items) != 1 or not isinstance(items[0], exp.Star):
        return []
    return [name.name.lower() for join in select.args.get("joins") or []
            for name in join.args.get("using") or []]


def coalesced_first(items: list[exp.Expr], names: list[str] | None) -> list[exp.Expr]:
    """`SELECT *` over a join USING (k) lists the coalesced k first, then the
    other columns in table order (as MySQL does; sqlglot 27 expands the star
    in table order)."""
    if not names:
        return items
    by_name: dict[str, exp.Expr] = {}
    for item in items:
        by_name.setdefault(item.alias_or_name.lower(), item)
    first = [by_name[name] for name in dict.fromkeys(names) if name in by_name]
    taken = {id(item) for item in first}
    return first + [item for item in items if id(item) not in taken]


def unalias(item: exp.Expr) -> exp.Expr:
    """An item without the output alias qualification gave it."""
    if isinstance(item, exp.Alias) and False in (item.meta.get("aliased"),
                                                 item.this.meta.get("aliased")):
        inner: exp.Expr = item.this
        if "written" in item.meta:
            inner.meta["written"] = item.meta["written"]
        return inner
    if item.meta.get("aliased") is False and item.args.get("alias") is not None:
        item.set("alias", None)
    return item


def written_alias(table: exp.Table) -> str:
    """The alias a table was written with ("" for none), before qualification gave it one."""
    alias: str = table.meta.get("written_alias", table.alias)
    return alias
