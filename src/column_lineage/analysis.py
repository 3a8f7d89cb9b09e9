"""From SQL text to the lineage of each of its statements."""

from __future__ import annotations

import contextlib
import io

import sqlglot
from sqlglot import exp
from sqlglot.errors import ParseError

from .native import analysis_module
from .rows import MODULE_KEYS, OutputColumn, Row, Statement


class LineageError(Exception):
    """The text could not be analysed at all (it does not parse); the
    message says why and where."""


def describe_parse_error(error: ParseError) -> str:
    details = error.errors[0] if getattr(error, "errors", None) else {}
    where = ""
    if details.get("line") is not None:
        where = f" at line {details['line']}, column {details.get('col')}"
    message = details.get("description") or str(error).splitlines()[0]
    return f"parse error{where}: {message}"


def parse_statements(text: str, dialect: str = "mysql") -> list[exp.Expression]:
    try:
        return [tree for tree in sqlglot.parse(text, dialect=dialect) if tree is not None]
    except ParseError as error:
        raise LineageError(describe_parse_error(error)) from error


def analyse_tree(tree: exp.Expression) -> list[dict]:
    """The native module's records for one parsed query. The module prints
    an unsupported item before raising; that print is not ours to show."""
    with contextlib.redirect_stdout(io.StringIO()):
        return analysis_module().test(tree)


def analyse_sql(text: str, dialect: str = "mysql", schema=None, file: str = "<string>") -> list[Statement]:
    """The lineage of every statement of `text`, numbered from 1."""
    statements = []
    for number, tree in enumerate(parse_statements(text, dialect), start=1):
        statement = Statement(file=file, number=number, kind=tree.key.upper(), sql=tree.sql(dialect=dialect))
        select = tree.find(exp.Select)
        if select is None:
            statement.skipped = f"{statement.kind} statement has no query"
        else:
            try:
                records = analyse_tree(tree)
            except NotImplementedError as error:
                node = error.args[1] if len(error.args) > 1 else None
                fragment = node.sql(dialect=dialect) if hasattr(node, "sql") else repr(node)
                statement.error = f"not supported ({error.args[0]}): {fragment}"
                records = []
            for position, item in enumerate(select.expressions, start=1):
                statement.columns.append(OutputColumn(position, item.alias_or_name, item.sql(dialect=dialect)))
            for record in records:
                statement.rows.append(Row(
                    file=file, statement=number, position=record.get("column_sort", 0),
                    output_name=record.get("column_alias", ""),
                    resolved=record.get("table_name") is not None,
                    **{key: record.get(key) for key in MODULE_KEYS},
                ))
        statements.append(statement)
    return statements
