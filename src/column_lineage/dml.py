"""Statements that move data without being a query, read as the queries
that compute what they write: the rows of VALUES (and INSERT … SET), the
assignments of UPDATE and of ON DUPLICATE KEY UPDATE; and the rewrites a
routine's body needs (its variables are no columns, a trigger's NEW and OLD
are its table)."""

from __future__ import annotations

import re
from collections.abc import Callable
from dataclasses import dataclass

import sqlglot
import sqlglot.errors
from sqlglot import exp

from .normalise import source_nodes, values_row
from .statements import arg, arg_key

# The name under which ON DUPLICATE KEY UPDATE reads the row being inserted.
INSERTED = "__inserted_row"

# A table's known columns, by its database and name (Catalog.columns).
ColumnsOf = Callable[[str | None, str], list[str]]


@dataclass
class Assignment:
    """One `column = expression` of UPDATE or ON DUPLICATE KEY UPDATE: the
    table and column it writes, the alias that table has in the statement
    (None where written without one), and the expression."""

    db: str | None
    table: str
    alias: str | None
    column: str
    expression: exp.Expr
    sql: str


def reads_anything(values: list[exp.Expr]) -> bool:
    """Whether a row of values reads a column or a query (the rest is
    literals and functions of them: no source)."""
    return any(value.find(exp.Column, exp.Query) is not None for value in values)


def row_select(values: list[exp.Expr], named: bool = False) -> exp.Select:
    """A select of one row of values, each item as written (`named`: as
    MySQL names VALUES' columns, column_0, column_1, …)."""
    items: list[exp.Expr] = [value.copy() for value in values]
    if named:
        items = [exp.alias_(item, f"column_{at}") for at, item in enumerate(items)]
    for item, value in zip(items, values):
        item.meta["written"] = value.sql(dialect="mysql")
    return exp.Select(expressions=items)


def values_selects(values: exp.Values, named: bool = False) -> list[exp.Select]:
    """The selects whose output columns add up to VALUES' columns: the first
    row, and each later row that reads a column or a query (a row of
    literals only adds nothing a first row does not show)."""
    rows = [values_row(row) for row in values.expressions]
    if not rows:
        return []
    return [row_select(rows[0], named)] + \
        [row_select(row, named) for row in rows[1:] if reads_anything(row)]


def update_tables(update: exp.Update) -> list[exp.Table]:
    """The tables an UPDATE names (the first, then those joined to it),
    derived tables and the CTEs of its WITH left out: they cannot be written."""
    first = update.this
    joins = list(first.args.get("joins") or []) if first is not None else []
    joins += list(update.args.get("joins") or [])
    with_clause = arg(update, "with")
    ctes = {cte.alias.lower() for cte in with_clause.expressions} if with_clause else set()
    return [node for node in [first] + [join.this for join in joins]
            if isinstance(node, exp.Table) and isinstance(node.this, exp.Identifier)
            and not (not node.db and node.name.lower() in ctes)]


def update_assignments(update: exp.Update, columns_of: ColumnsOf, database: str | None
                       ) -> list[Assignment]:
    """UPDATE's assignments in SET order, each with the table it writes: the
    one its qualifier names, else (unqualified) the only table, else the
    table whose known columns hold it, else the first. `columns_of(db,
    name)` gives a table's known columns."""
    tables = update_tables(update)
    assignments = []
    for item in update.expressions:
        if not isinstance(item, exp.EQ) or not isinstance(item.this, exp.Column):
            continue
        target = item.this
        table = written_table(tables, target.table) if target.table else \
            holding_table(tables, target.name, columns_of, database)
        if table is None:
            continue
        assignments.append(Assignment(table.db or database, table.name, table.alias or None,
                                      target.name, item.expression, item.sql(dialect="mysql")))
    return assignments


def in_order(update: exp.Update, assignments: list[Assignment]) -> list[Assignment]:
    """A single-table UPDATE assigns left to right: a column assigned before
    reads as its new value (`SET a = b, b = a` gives b the old b). Each
    assignment with the columns assigned before it replaced by what they
    were assigned (a multi-table UPDATE keeps no such order)."""
    if len(update_tables(update)) != 1 or update.this.args.get("joins") or \
            update.args.get("joins"):
        return assignments
    assigned: dict[str, exp.Expr] = {}
    ordered = []
    for assignment in assignments:
        expression = assignment.expression.copy()
        if assigned:
            names = {assignment.alias or assignment.table, assignment.table}
            expression = expression.transform(
                lambda node: exp.Paren(this=assigned[node.name.lower()].copy())
                if isinstance(node, exp.Column) and node.name.lower() in assigned
                and (not node.table or node.table in names)  # noqa: B023 - called at once, here
                else node, copy=False)
        ordered.append(Assignment(assignment.db, assignment.table, assignment.alias,
                                  assignment.column, expression, assignment.sql))
        assigned[assignment.column.lower()] = expression
    return ordered


def written_table(tables: list[exp.Table], qualifier: str) -> exp.Table | None:
    """The table a qualifier names (by alias, else by name)."""
    wanted = qualifier.lower()
    return next((table for table in tables if (table.alias or table.name).lower() == wanted),
                None)


def holding_table(tables: list[exp.Table], column: str, columns_of: ColumnsOf,
                  database: str | None) -> exp.Table | None:
    """The table an unqualified assigned column belongs to: the only one,
    else the first whose known columns hold it, else the first."""
    if len(tables) < 2:
        return tables[0] if tables else None
    name = column.lower()
    for table in tables:
        if name in (known.lower() for known in columns_of(table.db or database, table.name)):
            return table
    return tables[0]


def assignments_select(assignments: list[Assignment]) -> exp.Select:
    """A select whose items are the assigned expressions, each aliased as
    the column it writes (without a source: the caller gives it those)."""
    select = exp.Select(expressions=[exp.alias_(assignment.expression.copy(), assignment.column)
                                     for assignment in assignments])
    for item, assignment in zip(select.expressions, assignments):
        item.meta["written"] = assignment.expression.sql(dialect="mysql")
    return select


def update_select(update: exp.Update, assignments: list[Assignment]) -> exp.Select:
    """A select over UPDATE's tables whose items are the assigned
    expressions."""
    select = assignments_select(assignments)
    first = update.this.copy()
    joins = list(first.args.get("joins") or []) + \
        [join.copy() for join in update.args.get("joins") or []]
    first.set("joins", None)
    select.set(arg_key(select, "from"), exp.From(this=first))
    if joins:
        select.set("joins", joins)
    with_clause = arg(update, "with")
    if with_clause is not None:  # MySQL 8's WITH … UPDATE
        select.set(arg_key(select, "with"), with_clause.copy())
    return select


def conflict_assignments(insert: exp.Insert) -> list[exp.EQ]:
    conflict = insert.args.get("conflict")
    if conflict is None or not conflict.args.get("duplicate"):
        return []
    return [item for item in conflict.expressions
            if isinstance(item, exp.EQ) and isinstance(item.this, exp.Column)]


def row_alias(insert: exp.Insert) -> tuple[str | None, list[str] | None]:
    """The alias MySQL 8 lets an insert give its new row (`VALUES (…) AS new
    [(a, b)]`) and its column names."""
    values = insert.expression
    alias = values.args.get("alias") if isinstance(values, exp.Values) else None
    if not isinstance(alias, exp.TableAlias) or not alias.name:
        return None, None
    return alias.name, [column.name for column in alias.columns] or None


def conflict_select(insert: exp.Insert, table: exp.Table, assignments: list[exp.EQ],
                    inserted_columns: list[str], read: list[exp.Expr],
                    known: list[str]) -> exp.Select:
    """A select over the existing row (the target table), the inserted one
    (the table named INSERTED, aliased as the row alias where written) and
    the tables an INSERT … SELECT reads (`read`), whose items are ON
    DUPLICATE KEY UPDATE's expressions: `VALUES(c)` and `new.c` read the
    inserted c, a column of a table read that table's, an unqualified
    column the existing row's where the target's `known` columns hold it
    (or nothing else could), else the tables read decide."""
    target_names = {name.lower() for name in known}
    alias, renamed = row_alias(insert)
    inserted_alias = alias or INSERTED
    by_alias = dict(zip([name.lower() for name in renamed or []], inserted_columns))
    target_alias = table.alias or table.name
    def reread(node: exp.Expr) -> exp.Expr:
        if isinstance(node, exp.Anonymous) and node.name.upper() == "VALUES" \
                and len(node.expressions) == 1:
            return exp.column(node.expressions[0].name, inserted_alias)
        if isinstance(node, exp.Column) and alias is not None \
                and node.table.lower() == inserted_alias.lower():
            return exp.column(by_alias.get(node.name.lower(), node.name), inserted_alias)
        if isinstance(node, exp.Column) and not node.table \
                and node.find_ancestor(exp.Query) is None \
                and (not read or node.name.lower() in target_names):
            return exp.column(node.name, target_alias)
        return node

    items = []
    for assignment in assignments:
        expression = assignment.expression.copy().transform(reread, copy=False)
        item = exp.alias_(expression, assignment.this.name)
        item.meta["written"] = assignment.expression.sql(dialect="mysql")
        items.append(item)
    existing = exp.Table(this=exp.to_identifier(table.name),
                         db=exp.to_identifier(table.db) if table.db else None,
                         alias=exp.TableAlias(this=exp.to_identifier(target_alias)))
    inserted = exp.Table(this=exp.to_identifier(INSERTED),
                         alias=exp.TableAlias(this=exp.to_identifier(inserted_alias)))
    # The tables read come first: an unqualified column the target's known
    # columns do not settle is taken for theirs.
    sources = [*read, existing, inserted]
    select = exp.Select(expressions=items)
    select.set(arg_key(select, "from"), exp.From(this=sources[0]))
    select.set("joins", [exp.Join(this=node) for node in sources[1:]])
    return select


# -- routine bodies ----------------------------------------------------------

def assigned_columns(tree: exp.Expr) -> set[int]:
    """The columns an UPDATE or ON DUPLICATE KEY UPDATE assigns to (left of
    `=`): columns, never variables."""
    items: list[exp.Expr] = []
    if isinstance(tree, exp.Update):
        items = list(tree.expressions)
    elif isinstance(tree, exp.Insert) and tree.args.get("conflict") is not None:
        items = list(tree.args["conflict"].expressions)
    return {id(item.this) for item in items if isinstance(item, exp.EQ)}


def replace_variables(tree: exp.Expr, variables: frozenset[str]) -> None:
    """A routine's parameters and local variables, read where a column could
    be, are values, not columns (MySQL prefers the variable): each becomes a
    bare name that reads no table."""
    if not variables:
        return
    assigned = assigned_columns(tree)
    for node in list(tree.find_all(exp.Column)):
        if not node.table and isinstance(node.this, exp.Identifier) \
                and node.name.lower() in variables and id(node) not in assigned:
            node.replace(exp.Var(this=node.name))


TRIGGER_ROWS = ("new", "old")

# MySQL words that read like a column but are values: DEFAULT, and the
# functions it calls without parentheses.
VALUE_WORDS = {"DEFAULT", "UTC_TIMESTAMP", "UTC_DATE", "UTC_TIME", "LOCALTIME", "LOCALTIMESTAMP",
               "CURRENT_USER"}
VALUE_WORD = re.compile(r"\b(?:DEFAULT|UTC_TIMESTAMP|UTC_DATE|UTC_TIME|LOCALTIME|LOCALTIMESTAMP|"
                        r"CURRENT_USER|GET_FORMAT)\b", re.IGNORECASE)
GET_FORMAT_TYPES = {"DATE", "TIME", "DATETIME", "TIMESTAMP"}


def replace_value_words(tree: exp.Expr, sql: str) -> None:
    """DEFAULT, UTC_TIMESTAMP and the like, and GET_FORMAT's first argument
    (DATE, TIME, …), are values sqlglot reads as columns: bare names that
    read no table. (The text is searched first: most statements hold none.)"""
    if not VALUE_WORD.search(sql):
        return
    for node in list(tree.find_all(exp.Column)):
        if node.table or not isinstance(node.this, exp.Identifier) or node.this.quoted:
            continue
        word = node.name.upper()
        parent = node.parent
        if word in VALUE_WORDS or (
                word in GET_FORMAT_TYPES and isinstance(parent, exp.Anonymous)
                and parent.name.upper() == "GET_FORMAT" and parent.expressions
                and parent.expressions[0] is node):
            node.replace(exp.Var(this=node.name))


def new_row_assignments(tree: exp.Set) -> list[exp.EQ]:
    """The `NEW.c = …` assignments of a SET in a trigger's body."""
    items = [item.this for item in tree.expressions if isinstance(item, exp.SetItem)]
    return [item for item in items if isinstance(item, exp.EQ)
            and isinstance(item.this, exp.Column) and item.this.table.lower() == "new"]


SET_KEYWORD = re.compile(r"\s*SET\s+", re.IGNORECASE)


def new_row_values(tree: exp.Set, sql: str) -> list[exp.EQ]:
    """The `NEW.c = …` assignments of a trigger's SET with their values as
    columns: sqlglot reads a SET's value `OLD.c` as the bare word `c`, so
    the assignments are read again as those of an UPDATE."""
    head = SET_KEYWORD.match(sql)
    if head is not None:
        try:
            update = sqlglot.parse_one("UPDATE trigger_row SET " + sql[head.end():], read="mysql")
        except sqlglot.errors.SqlglotError:
            update = None
        if isinstance(update, exp.Update):
            found = [item for item in update.expressions if isinstance(item, exp.EQ)
                     and isinstance(item.this, exp.Column) and item.this.table.lower() == "new"]
            if len(found) == len(new_row_assignments(tree)):
                return found
    return new_row_assignments(tree)


def add_trigger_rows(query: exp.Expr, db: str | None, table: str) -> None:
    """In a trigger, `NEW.c` and `OLD.c` read the trigger's table: each
    select that names them gets that table as a source under that alias."""
    for select in list(query.find_all(exp.Select)):
        named = {node.table for node in select.find_all(exp.Column)
                 if node.table.lower() in TRIGGER_ROWS
                 and node.find_ancestor(exp.Select) is select}
        own = {source.alias_or_name.lower() for source in source_nodes(select)}
        for alias in sorted(named):
            if alias.lower() in own:
                continue
            source = exp.Table(this=exp.to_identifier(table),
                               db=exp.to_identifier(db) if db else None,
                               alias=exp.TableAlias(this=exp.to_identifier(alias)))
            if arg(select, "from") is None:
                select.set(arg_key(select, "from"), exp.From(this=source))
            else:
                select.append("joins", exp.Join(this=source))
            own.add(alias.lower())
