"""From SQL text to the lineage of each of its statements."""

from __future__ import annotations

from collections.abc import Iterator

from sqlglot import exp

from . import dml, indirect as indirect_lineage
from .catalog import Catalog
from .compose import compose_rows, output_columns
from .errors import LineageError
from .normalise import CteEntry, Scope, qualify_with_schema, source_nodes, with_key
from .records import source_key, sourceless
from .rows import (
    NO_SOURCE,
    OutputColumn,
    QueryLineage,
    Row,
    Statement,
    TableChange,
    TableName,
    Trace,
)
from .schema import SchemaArgument, as_schema
from .statements import (
    ParsedStatement,
    Target,
    mark_written_items,
    moves_data,
    parse_statements,
    read_tables,
    statement_kind,
    statement_query,
    statement_target,
    statement_with,
    used_database,
    why_no_rows,
)
from .trace import Tracer

__all__ = ["LineageError", "analyse_sql", "analyse_statement"]


def attach_with(query: exp.Expr, with_clause: exp.With | None) -> None:
    """The CTEs of a WITH written before INSERT … SELECT go to its query."""
    if with_clause is None:
        return
    own = query.args.get(with_key(query))
    if own is not None:
        with_clause.set("expressions", with_clause.expressions + own.expressions)
    query.set(with_key(query), with_clause)


class StatementAnalysis:
    """The analysis of one parsed statement against the tables the script
    knows at that point; `trigger` is the (db, table) of the trigger whose
    body holds it; `indirect`: find the statement's indirect lineage too."""

    def __init__(self, parsed: ParsedStatement, file: str, dialect: str, catalog: Catalog,
                 trigger: tuple[str | None, str] | None = None, indirect: bool = False,
                 reads: bool = False) -> None:
        if parsed.tree is None:
            raise ValueError(f"statement {parsed.number} did not parse: it has no analysis")
        self.parsed = parsed
        self.tree: exp.Expr = parsed.tree
        self.dialect = dialect
        self.catalog = catalog
        self.schema = catalog.schema()
        self.database = catalog.database
        self.trigger = trigger
        self.reads = reads
        self.read_tables: list[exp.Expr] = []  # an INSERT … SELECT's, for its ON DUPLICATE KEY
        # With indirect lineage, the tracer keeps what the indirect analysis reads again.
        self.keeping = indirect_lineage.KeepingTracer(dialect, self.schema, self.database) \
            if indirect else None
        self.tracer: Tracer = self.keeping or Tracer(dialect, self.schema, self.database)
        self.statement = Statement(file=file, number=parsed.number, kind=statement_kind(self.tree),
                                   sql=parsed.sql, place=parsed.place, line=parsed.line)
        # The tables the statement reads besides those its rows name, found
        # before the tracer reshapes the tree (see `keep_rows`).
        self.scope_reads: list[TableName] = []

    def run(self) -> Statement:
        statement, tree = self.statement, self.tree
        dml.replace_variables(tree, self.parsed.variables)
        dml.replace_value_words(tree, self.parsed.sql)
        try:
            if self.reads and gives_rows(tree, self.trigger is not None):
                self.scope_reads = read_tables(tree, self.database)
            if isinstance(tree, exp.Update):
                self.update(tree)
            elif isinstance(tree, exp.Set) and self.trigger is not None \
                    and dml.new_row_assignments(tree):
                self.set_new_row(tree)
            elif isinstance(tree, exp.Insert) and isinstance(tree.expression, exp.Values):
                self.values(tree, tree.expression)
            elif isinstance(tree, exp.Values):  # MySQL's VALUES statement: a query
                self.values(tree, tree, named=True)
            elif (query := statement_query(tree)) is not None:
                self.query(tree, query)
            else:
                statement.moves_data = moves_data(statement.kind)
                if statement.moves_data:
                    statement.skipped = why_no_rows(statement.kind, tree)
                else:
                    statement.skipped = f"{statement.kind} statement moves no data"
        except RecursionError:
            statement.error = "too deeply nested to analyse"
        except Exception as error:  # noqa: BLE001 - one statement's failure is reported, not raised
            statement.error = f"analysis failed ({type(error).__name__}: {error})"
        return statement

    # -- what the statement computes ------------------------------------------

    def trace(self, query: exp.Expr, describe: bool = False, scope: Scope | None = None
              ) -> QueryLineage:
        """The traced lineage of a query of the statement (`describe`: with
        what its items say of their output columns), seeing `scope`."""
        if self.trigger is not None:
            dml.add_trigger_rows(query, *self.trigger)
        if self.schema is not None:
            qualify_with_schema(query, self.schema, self.dialect, self.database)
            names = scope or {}
            for table in query.find_all(exp.Table) if names else ():
                if table.name.lower() in names:  # a name of the scope, not of a database
                    table.set("db", None)
        return self.tracer.query(query, scope or {}, describe=describe)

    def target(self) -> Target | None:
        """The table the statement writes, in the default database where it
        names none; the statement's target is set to it."""
        target = statement_target(self.tree)
        if target is not None:
            target.db = target.db or self.database
            self.statement.target_db, self.statement.target_table = target.db, target.table
        return target

    def query(self, tree: exp.Expr, query: exp.Query) -> None:
        """A statement that runs a query (`query`, its statement_query)."""
        mark_written_items(query, self.parsed.item_texts)
        if isinstance(tree, exp.Insert) and isinstance(query, exp.Select) \
                and dml.conflict_assignments(tree):
            # ON DUPLICATE KEY UPDATE may read the select's tables: kept as
            # written, before the tracer reshapes the select.
            self.read_tables = [node.copy() for node in source_nodes(query)]
        target = self.target()
        attach_with(query, statement_with(tree))
        lineage = self.trace(query, describe=True)
        self.finish(lineage, output_columns(lineage, target, self.schema))
        if self.keeping is not None:
            self.keep_indirect(indirect_lineage.query_indirect(self.keeping, query, lineage,
                                                               self.statement))

    def keep_indirect(self, found: indirect_lineage.IndirectLineage) -> None:
        self.statement.indirect, self.statement.indirect_error = found.rows, found.error

    def values(self, tree: exp.Expr, values: exp.Values, named: bool = False) -> None:
        """INSERT … VALUES and INSERT … SET (and, `named`, the VALUES
        statement, whose columns are column_0, column_1, …): each row read as
        a select of its values; the rows add up, column by column."""
        target = self.target()
        selects = dml.values_selects(values, named)
        if not selects:
            self.statement.skipped = "INSERT statement has no values"
            return
        lineage = self.trace(selects[0], describe=True)
        for select in selects[1:]:
            more = self.trace(select)
            for traces, added in zip(lineage.columns, more.columns):
                add_traces(traces, [trace for trace in added if trace.record.get("table_name")])
        self.finish(lineage, output_columns(lineage, target, self.schema))

    def finish(self, lineage: QueryLineage, columns: list[OutputColumn]) -> None:
        if isinstance(self.tree, exp.Insert):
            self.on_duplicate_key(self.tree, lineage, columns)
        self.statement.columns = columns
        self.keep_rows(compose_rows(self.statement, lineage))

    def keep_rows(self, rows: list[Row]) -> None:
        """The statement's rows, and the tables it reads: those the rows name
        first, then the others of its tree."""
        self.statement.rows = rows
        self.statement.reads = tables_read(rows, self.scope_reads)

    def on_duplicate_key(self, tree: exp.Insert, lineage: QueryLineage,
                         columns: list[OutputColumn]) -> None:
        """ON DUPLICATE KEY UPDATE: an assignment to an inserted column adds
        its sources to that column; one to another column is one more output
        column. `VALUES(c)` and the row alias read the inserted c, other
        columns the existing row; the assigned column is not its own source."""
        assignments = dml.conflict_assignments(tree)
        table = tree.this.this if isinstance(tree.this, exp.Schema) else tree.this
        if not assignments or not isinstance(table, exp.Table):
            return
        inserted = [column.target_column or column.output_name for column in columns]
        holder = exp.Select()  # stands for the inserted row, already traced
        self.tracer.memo[id(holder)] = QueryLineage(inserted, lineage.columns)
        scope = {dml.INSERTED: CteEntry(holder, {}, inserted)}
        select = dml.conflict_select(tree, table, assignments, inserted, self.read_tables,
                                     self.catalog.columns(table.db or None, table.name))
        more = self.trace(select, describe=True, scope=scope)
        by_name = {name.lower(): at for at, name in enumerate(inserted)}
        db, alias = table.db or self.database, table.alias or table.name
        for assignment, traces, facts in zip(assignments, more.columns, more.items):
            name = assignment.this.name
            own = without_target(traces, db, table.name, alias, name)
            at = by_name.get(name.lower())
            if at is not None:
                add_traces(lineage.columns[at], own)
                continue
            columns.append(OutputColumn(len(columns) + 1, name, facts.sql, facts.transformation,
                                        name, db, table.name))
            lineage.columns.append(own or [sourceless(NO_SOURCE, name)])

    def update(self, tree: exp.Update) -> None:
        """UPDATE: each assignment is an output column writing its table's
        column, read from the assigned expression over the updated tables."""
        assignments = dml.update_assignments(tree, self.catalog.columns, self.database)
        if not assignments:
            self.statement.skipped = "UPDATE statement assigns no column"
            return
        select = dml.update_select(tree, dml.in_order(tree, assignments))
        self.assign(assignments, select)
        if self.keeping is not None:
            self.keep_indirect(indirect_lineage.update_indirect(self.keeping, tree, select,
                                                                self.statement, self.trigger))

    def set_new_row(self, tree: exp.Set) -> None:
        """`SET NEW.c = …` in a trigger writes column c of the row the
        trigger's statement writes to its table."""
        assert self.trigger is not None
        db, table = self.trigger
        items = dml.new_row_values(tree, self.parsed.sql)
        for item in items:
            dml.replace_variables(item, self.parsed.variables)
        assignments = [dml.Assignment(db, table, item.this.table, item.this.name, item.expression,
                                      item.sql(dialect="mysql")) for item in items]
        self.assign(assignments, dml.assignments_select(assignments))

    def assign(self, assignments: list[dml.Assignment], select: exp.Select) -> None:
        """The output columns of assignments, computed by `select` (an item
        per assignment): each writes its table's column, and reads the
        expression's columns other than the one it assigns."""
        lineage = self.trace(select, describe=True)
        columns = []
        for position, (assignment, facts) in enumerate(zip(assignments, lineage.items), start=1):
            columns.append(OutputColumn(position, assignment.column, assignment.sql,
                                        facts.transformation, assignment.column, assignment.db,
                                        assignment.table))
            traces = lineage.columns[position - 1]
            own = without_target(traces, assignment.db, assignment.table,
                                 assignment.alias or "", assignment.column)
            lineage.columns[position - 1] = own or [sourceless(NO_SOURCE,
                                                               assignment.column)]
        first = assignments[0]
        self.statement.target_db, self.statement.target_table = first.db, first.table
        self.statement.columns = columns
        self.keep_rows(compose_rows(self.statement, lineage))


def gives_rows(tree: exp.Expr, in_trigger: bool) -> bool:
    """Whether the analysis of a statement of this tree may give rows (those
    it reads tables for): UPDATE, INSERT, VALUES, a query, and SET in a
    trigger."""
    return isinstance(tree, (exp.Update, exp.Insert, exp.Values)) \
        or (in_trigger and isinstance(tree, exp.Set)) or statement_query(tree) is not None


def tables_read(rows: list[Row], others: list[TableName]) -> list[TableName]:
    """The tables the rows name, in row order, then `others`, each once."""
    named = [TableName(row.table_db or None, row.table_name) for row in rows if row.table_name]
    return list(dict.fromkeys(named + others))


def same_name(left: str | None, right: str | None) -> bool:
    return (left or "").lower() == (right or "").lower()


def without_target(traces: list[Trace], db: str | None, table: str, alias: str,
                   column: str) -> list[Trace]:
    """The traces without the one reading the very column being assigned
    (its old value in the same row), as written under `alias` ("" where the
    table was written without one)."""
    return [trace for trace in traces
            if not (same_name(trace.record.get("column_name"), column)
                    and same_name(trace.record.get("table_name"), table)
                    and same_name(trace.record.get("table_db"), db)
                    and (same_name(trace.record.get("table_alias"), alias)
                         or same_name(trace.record.get("table_alias"), table)))]


def add_traces(traces: list[Trace], more: list[Trace]) -> None:
    """Adds the traces of a source not yet read by the column, in place."""
    seen = {source_key(trace) for trace in traces}
    for trace in more:
        if source_key(trace) not in seen:
            seen.add(source_key(trace))
            traces.append(trace)


def remember_definitions(tree: exp.Expr, statement: Statement, catalog: Catalog) -> None:
    """What the statement changes of the script's tables: the tables it
    creates (with their columns), alters, renames, empties and drops; kept
    in the catalog and, for what follows the script, in the statement's
    `changes`."""
    database = catalog.database
    changes = statement.changes

    def change(action: str, table: exp.Table, to: exp.Table | None = None,
               columns: list[str] | None = None) -> None:
        changes.append(TableChange(action, table.db or database, table.name,
                                   (to.db or database) if to is not None else None,
                                   to.name if to is not None else None,
                                   tuple(columns) if columns else None))

    if isinstance(tree, (exp.Create, exp.Alter)) and statement_query(tree) is not None \
            and statement.kind == "ALTER VIEW":
        node = tree.this.this if isinstance(tree.this, exp.Schema) else tree.this
        if isinstance(node, exp.Table):
            columns = [column.target_column or column.output_name for column in statement.columns]
            change("create", node, columns=columns)
            catalog.define(node.db or database, node.name, columns)
        return
    if isinstance(tree, exp.Create):
        table, columns = created_table(tree, statement, catalog)
        if table is None or (tree.args.get("exists") and catalog.columns(table.db or None,
                                                                          table.name)):
            return  # CREATE … IF NOT EXISTS of a table there is: nothing changes
        temporary = statement.kind == "CREATE TEMPORARY TABLE"
        change("create temporary" if temporary else "create", table, columns=columns)
        if columns:
            catalog.define(table.db or database, table.name, columns, temporary)
        return
    if isinstance(tree, exp.Drop) and str(tree.args.get("kind") or "").upper() in ("TABLE", "VIEW"):
        for table in tree.args.get("tables") or ([tree.this] if tree.this is not None else []):
            if isinstance(table, exp.Table):
                change("drop", table)
                catalog.drop(table.db or None, table.name)
        return
    if tree.key == "truncatetable":
        for table in tree.expressions:
            if isinstance(table, exp.Table):
                change("empty", table)
        return
    if isinstance(tree, exp.Delete) and tree.args.get("where") is None \
            and isinstance(tree.this, exp.Table) and not tree.args.get("using"):
        change("empty", tree.this)
        return
    if not isinstance(tree, (exp.Alter, exp.Command)):
        return
    from .dialect import altered_columns, renamed_tables  # read only what can rename or alter

    for old, new in renamed_tables(tree) or []:
        change("rename", old, new)
        catalog.rename((old.db or None, old.name), (new.db or None, new.name))
    altered = altered_columns(tree)
    if altered and isinstance(tree.this, exp.Table):
        for action, old_name, new_name, _ in altered:
            if action == "drop" and old_name:
                change("drop column", tree.this, columns=[old_name])
            elif action == "rename" and old_name and new_name:
                change("rename column", tree.this, columns=[old_name, new_name])
        catalog.alter(tree.this.db or None, tree.this.name, altered)
        change("alter", tree.this, columns=catalog.columns(tree.this.db or None, tree.this.name))


def created_table(tree: exp.Create, statement: Statement,
                  catalog: Catalog) -> tuple[exp.Table | None, list[str]]:
    """The table or view a CREATE makes and its columns: those defined,
    then the query's output columns not defined (MySQL's CREATE TABLE …
    SELECT); a view's column list or output names; LIKE's source's columns."""
    kind = str(tree.args.get("kind") or "").upper()
    if kind not in ("TABLE", "VIEW"):
        return None, []
    node = tree.this
    defined: list[str] = []
    if isinstance(node, exp.Schema):
        defined = [column.name for column in node.expressions
                   if isinstance(column, (exp.ColumnDef, exp.Identifier, exp.Column))]
        node = node.this
    if not isinstance(node, exp.Table):
        return None, []
    if kind == "VIEW" and defined:
        return node, defined
    # MySQL's CREATE TABLE (…) SELECT: the columns only defined come first,
    # then the select's, a defined one among them where the select names it.
    outputs = [column.output_name for column in statement.columns]
    selected = {name.lower() for name in outputs}
    columns = [name for name in defined if name.lower() not in selected] + outputs
    properties = tree.args.get("properties")
    like = next((item for item in properties.expressions if isinstance(item, exp.LikeProperty)),
                None) if properties is not None else None
    if like is not None and isinstance(like.this, exp.Table):
        columns = catalog.columns(like.this.db or None, like.this.name)
    return node, columns


def unparsed_statement(parsed: ParsedStatement, file: str) -> Statement:
    """A statement sqlglot cannot parse: an error, unless it holds no SELECT
    at all (MySQL's LOAD DATA, say), which has no query to trace anyway."""
    kind = parsed.first_word or "UNKNOWN"
    statement = Statement(file=file, number=parsed.number, kind=kind, sql=parsed.sql,
                          place=parsed.place, line=parsed.line)
    error = parsed.error or "not a statement"
    if parsed.has_select:
        statement.error = error
    else:
        statement.moves_data = moves_data(kind)
        statement.skipped = f"{why_no_rows(kind, None)} (not parsed: {error})" \
            if statement.moves_data else f"{kind} statement moves no data"
    return statement


def analyse_statement(parsed: ParsedStatement, file: str, dialect: str, catalog: Catalog,
                      trigger: tuple[str | None, str] | None = None, *,
                      indirect: bool = False, reads: bool = False) -> Statement:
    """The lineage of one parsed statement, seeing the tables as `catalog`
    holds them; the catalog then takes what the statement defines."""
    if parsed.tree is None:
        return unparsed_statement(parsed, file)
    catalog.database = used_database(parsed.tree) or catalog.database
    statement = StatementAnalysis(parsed, file, dialect, catalog, trigger, indirect, reads).run()
    remember_definitions(parsed.tree, statement, catalog)
    return statement


def analyse_routine(parsed: ParsedStatement, file: str, dialect: str,
                    catalog: Catalog, *, indirect: bool = False, reads: bool = False
                    ) -> list[Statement]:
    """A CREATE PROCEDURE/FUNCTION/TRIGGER/EVENT, which moves no data
    itself, and each statement of its body that may move data, under the
    CREATE's number with its place in the body. The body sees the script's
    tables as they are where it is created, and its own from there on."""
    routine = parsed.routine
    assert routine is not None
    kind = f"{parsed.first_word} {routine.kind}"  # CREATE …, or ALTER EVENT … DO
    head = Statement(file=file, number=parsed.number, kind=kind, sql=parsed.sql,
                     line=parsed.line, moves_data=False,
                     skipped=f"{kind} statement moves no data itself")
    if parsed.error is not None:
        head.moves_data, head.skipped, head.error = True, None, parsed.error
        return [head]
    # A stored program runs with its own database as the default one (a
    # trigger's is its table's).
    own_database = routine.db or (routine.table_db if routine.kind == "TRIGGER" else None)
    trigger = (routine.table_db or own_database or catalog.database, routine.table) \
        if routine.kind == "TRIGGER" and routine.table else None
    body_catalog = catalog.copy()
    body_catalog.database = own_database or catalog.database
    statements = [head]
    for inner in parsed.body:
        statement = analyse_statement(inner, file, dialect, body_catalog, trigger,
                                      indirect=indirect, reads=reads)
        if statement.moves_data:
            statements.append(statement)
    return statements


def analyse_sql(text: str, dialect: str = "mysql", schema: SchemaArgument = None,
                file: str = "<string>", database: str | None = None, *,
                indirect: bool = False, reads: bool = False) -> list[Statement]:
    """The lineage of every statement of `text`, numbered from 1 as the
    server runs them. `schema` is a sqlglot MappingSchema, a mapping {db:
    {table: {column: type}}}, or the text of CREATE TABLE statements or of
    that mapping in JSON. The tables the text itself creates are schema for
    the statements after them. `database` is the default database until a
    `USE` chooses another, as a client connected to it would run the text.
    `indirect`: each statement's `indirect` rows too (the columns that
    decide which rows, or their order; indirect.py). `reads`: each
    statement's `reads` holds, besides the tables its rows name, those it
    only joins or filters on (a walk of the whole tree, about a tenth of the
    analysis: the command asks for it where its output names them).
    Raises LineageError when the text cannot be read as SQL at all (a NUL
    byte, an unterminated string, no statement)."""
    statements = list(iter_analysed(text, dialect, schema, file, database, indirect=indirect,
                                    reads=reads))
    if not statements:
        raise LineageError("no SQL statement")
    return statements


def iter_analysed(text: str, dialect: str = "mysql", schema: SchemaArgument = None,
                  file: str = "<string>", database: str | None = None, *, indirect: bool = False,
                  reads: bool = False, more: Iterator[str] | None = None) -> Iterator[Statement]:
    """analyse_sql's statements, each parsed and analysed when it is asked
    for (none for a text without statements); `more` gives the rest of the
    text in line-aligned pieces, read as the statements reach them, so that
    a big file is never held whole. A text that cannot be read at all
    raises LineageError (at once, or when `more` reaches what cannot)."""
    catalog = Catalog(as_schema(schema, dialect), dialect, database)
    parsed_statements = parse_statements(text, dialect, more)  # checks the text now
    return analysed_statements(parsed_statements, file, dialect, catalog, indirect, reads)


def analysed_statements(parsed_statements: Iterator[ParsedStatement], file: str, dialect: str,
                        catalog: Catalog, indirect: bool, reads: bool) -> Iterator[Statement]:
    for parsed in parsed_statements:
        if parsed.routine is not None:
            yield from analyse_routine(parsed, file, dialect, catalog, indirect=indirect,
                                       reads=reads)
        else:
            yield analyse_statement(parsed, file, dialect, catalog, indirect=indirect,
                                    reads=reads)
