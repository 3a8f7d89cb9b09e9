"""From traced lineage to the rows of a statement: one output column per
select item, its position, output name, target column, and for each of its
sources one row with the module's eight keys and how far it resolved."""

from __future__ import annotations

from typing import TYPE_CHECKING

from .rows import MODULE_KEYS, STAR_SPREAD, OutputColumn, QueryLineage, Row, Statement, Trace
from .schema import table_columns
from .statements import Target

if TYPE_CHECKING:
    from sqlglot.schema import MappingSchema


def target_columns(target: Target | None, schema: MappingSchema | None, width: int
                   ) -> list[str | None]:
    """The target column each of `width` output positions fills: the
    target's column list, else its table's columns as the schema knows
    them; None past them, and for a target filled by name."""
    if target is None or target.by_name:
        return [None] * width
    names = target.columns or table_columns(schema, target.db, target.table)
    return [names[position] if position < len(names) else None for position in range(width)]


def is_star(name: str) -> bool:
    return name == "*" or name.endswith(".*")


def spread_star(lineage: QueryLineage, target: Target | None, schema: MappingSchema | None
                ) -> None:
    """A `*` whose columns are unknown, feeding a target whose columns are
    known and outnumber the select's: the star fills every target column
    the others leave (MySQL inserts the select's columns by position), each
    reading the star's source, noted, in place."""
    if target is None or target.by_name:
        return
    known = target.columns or table_columns(schema, target.db, target.table)
    stars = [at for at, facts in enumerate(lineage.items) if is_star(facts.output_name)]
    extra = len(known) - len(lineage.items)
    if len(stars) != 1 or extra <= 0:
        return
    at = stars[0]
    star = lineage.items[at].output_name
    traces = [Trace(trace.record, trace.ambiguous,
                    trace.note or f"{STAR_SPREAD}{star}: a schema would say which")
              for trace in lineage.columns[at]]
    lineage.items[at:at + 1] = [lineage.items[at]] * (extra + 1)
    lineage.columns[at:at + 1] = [list(traces) for _ in range(extra + 1)]


def output_columns(lineage: QueryLineage, target: Target | None, schema: MappingSchema | None
                   ) -> list[OutputColumn]:
    """The output column of each item of the query a statement runs, with
    the target column it fills."""
    spread_star(lineage, target, schema)
    targets = target_columns(target, schema, len(lineage.items))
    columns = []
    for position, facts in enumerate(lineage.items):
        if target is not None and targets[position] is None:
            # unknown columns: the item's name, or all of them for a star
            targets[position] = "*" if is_star(facts.output_name) else facts.output_name
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
