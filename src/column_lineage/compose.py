"""From traced lineage to the rows of a statement: one output column per
select item, its position, output name, target column, and for each of its
sources one row with the module's eight keys and how far it resolved."""

from __future__ import annotations

from typing import NamedTuple

from sqlglot import exp

from . import normalise
from .rows import AGGREGATION, IDENTITY, MODULE_KEYS, TRANSFORMATION, OutputColumn, Row, Statement
from .schema import table_columns
from .statements import Target
from .records import QueryLineage, Trace


def transformation(item: exp.Expression) -> str:
    if normalise.plain_column(item) is not None:  # nothing else in it: no walk
        return IDENTITY
    inner = item.this if isinstance(item, exp.Alias) else item
    if item.find(exp.AggFunc):
        return AGGREGATION
    if isinstance(inner, exp.Column):
        return IDENTITY
    return TRANSFORMATION


def target_columns(target: Target | None, schema, width: int) -> list[str | None]:
    if target is None or target.by_name:
        return [None] * width
    names = target.columns or table_columns(schema, target.db, target.table)
    return [names[position] if position < len(names) else None for position in range(width)]


class ItemFacts(NamedTuple):
    """What a select item says of its output column, taken before the
    tracer rewrites the item in place."""

    output_name: str
    sql: str
    transformation: str


def describe_item(item: exp.Expression, dialect: str) -> ItemFacts:
    return ItemFacts(normalise.output_name(item, dialect),
                     item.meta.get("written") or item.sql(dialect=dialect), transformation(item))


def output_columns(lineage: QueryLineage, target: Target | None, schema) -> list[OutputColumn]:
    targets = target_columns(target, schema, len(lineage.items))
    columns = []
    for position, facts in enumerate(lineage.items):
        if target is not None and targets[position] is None:
            targets[position] = facts.output_name
        columns.append(OutputColumn(position + 1, facts.output_name, facts.sql,
                                    facts.transformation, targets[position],
                                    target.db if target is not None else None,
                                    target.table if target is not None else None))
    return columns


def row(statement: Statement, column: OutputColumn, trace: Trace) -> Row:
    record = trace.record
    return Row.from_fields({
        "file": statement.file, "statement": statement.number, "place": statement.place,
        "position": column.position, "output_name": column.output_name,
        "target_db": column.target_db, "target_table": column.target_table,
        "target_column": column.target_column,
        **{key: record.get(key) for key in MODULE_KEYS},
        "resolved": bool(record.get("table_name")), "ambiguous": trace.ambiguous,
        "note": trace.note,
    })


def compose_rows(statement: Statement, lineage: QueryLineage) -> list[Row]:
    return [row(statement, column, trace)
            for column, traces in zip(statement.columns, lineage.columns)
            for trace in traces]
