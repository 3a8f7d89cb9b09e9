"""From SQL text to the lineage of each of its statements."""

from __future__ import annotations

from sqlglot import exp

from .compose import compose_rows, output_columns
from .normalise import qualify_with_schema, with_key
from .rows import Statement
from .schema import as_schema
from .statements import (LineageError, ParsedStatement, mark_written_items, parse_statements,
                         statement_kind, statement_query, statement_target, statement_with,
                         used_database)
from .trace import Tracer

__all__ = ["LineageError", "analyse_sql", "analyse_statement"]


def attach_with(query: exp.Expression, with_clause: exp.With | None) -> None:
    """The CTEs of a WITH written before INSERT … SELECT go to its query."""
    if with_clause is None:
        return
    own = query.args.get(with_key(query))
    if own is not None:
        with_clause.set("expressions", with_clause.expressions + own.expressions)
    query.set(with_key(query), with_clause)


def analyse_statement(parsed: ParsedStatement, file: str, dialect: str, schema,
                      database: str | None) -> Statement:
    """The lineage of one parsed statement; `database` is the default
    database a `USE` before it chose."""
    tree = parsed.tree
    kind = statement_kind(tree)
    statement = Statement(file=file, number=parsed.number, kind=kind, sql=parsed.sql)
    query = statement_query(tree)
    if query is None:
        statement.skipped = f"{kind} statement has no query"
        return statement
    mark_written_items(query, parsed.item_texts)
    target = statement_target(tree)
    if target is not None:
        target.db = target.db or database
        statement.target_db, statement.target_table = target.db, target.table
    tracer = Tracer(dialect, schema, database)
    try:
        attach_with(query, statement_with(tree))
        if schema is not None:
            qualify_with_schema(query, schema, dialect, database)
        lineage = tracer.query(query, {}, describe=True)
        statement.columns = output_columns(lineage, target, schema)
        statement.rows = compose_rows(statement, lineage)
    except RecursionError:
        statement.error = "too deeply nested to analyse"
    except Exception as error:  # noqa: BLE001 - one statement's failure is reported, not raised
        statement.error = f"analysis failed ({type(error).__name__}: {error})"
    return statement


def unparsed_statement(parsed: ParsedStatement, file: str) -> Statement:
    """A statement sqlglot cannot parse: an error, unless it holds no SELECT
    at all (MySQL's LOAD DATA, say), which has no query to trace anyway."""
    statement = Statement(file=file, number=parsed.number, kind=parsed.first_word or "UNKNOWN",
                          sql=parsed.sql)
    error = parsed.error or "not a statement"
    if parsed.has_select:
        statement.error = error
    else:
        statement.skipped = f"{statement.kind} statement has no query (not parsed: {error})"
    return statement


def analyse_sql(text: str, dialect: str = "mysql", schema=None,
                file: str = "<string>") -> list[Statement]:
    """The lineage of every statement of `text`, numbered from 1 in file
    order. `schema` is a sqlglot MappingSchema, a mapping {db: {table:
    {column: type}}}, or the text of CREATE TABLE statements or of that
    mapping in JSON. Raises LineageError when the text cannot be read as SQL
    at all (a NUL byte, an unterminated string, no statement)."""
    schema = as_schema(schema, dialect)
    statements, database = [], None
    for parsed in parse_statements(text, dialect):
        if parsed.tree is None:
            statements.append(unparsed_statement(parsed, file))
            continue
        database = used_database(parsed.tree) or database
        statements.append(analyse_statement(parsed, file, dialect, schema, database))
    if not statements:
        raise LineageError("no SQL statement")
    return statements
