"""The native module's records as this layer handles them: a trace's key,
records made for items the module gives none, a record traced through an
inner query, and the module's own numbering (the types are in rows.py)."""

from __future__ import annotations

from collections.abc import Iterable, Sequence

from sqlglot import exp

from . import normalise
from .rows import NO_SOURCE, Numbered, Trace, TraceRecord

RECURSIVE = "recursive reference"

SourceKey = tuple[str | None, str | None, str | None, str | None]


def source_key(trace: Trace) -> SourceKey:
    """What a trace reads: the same source column read twice has one key."""
    record = trace.record
    return (record.get("table_db"), record.get("table_name"), record.get("column_name"),
            record.get("column_type"))


def blank_record(column_sort: int | None = None, column_name: str | None = None,
                 column_alias: str | None = None, column_table: str | None = None,
                 column_type: str | None = None) -> TraceRecord:
    """A record with every module key, those not given None."""
    return {"column_sort": column_sort, "column_name": column_name,
            "column_alias": column_alias, "column_table": column_table,
            "column_type": column_type, "table_db": None, "table_name": None,
            "table_alias": None}


def sourceless(note: str | None, alias: str | None = None) -> Trace:
    """The trace of an output column read from no source, with why."""
    return Trace(blank_record(column_alias=alias), note=note)


def literal_trace(value: exp.Expr, name: str) -> Trace:
    """The trace of a literal (or NULL) written for output column `name`; any
    other value reads no source and says so."""
    kind = "literal" if isinstance(value, exp.Literal) else "null" if isinstance(value, exp.Null) \
        else None
    text = value.name if kind else value.sql()
    return Trace(blank_record(column_sort=None, column_name=text, column_alias=name,
                              column_table="", column_type=kind),
                 note=None if kind else NO_SOURCE)


def merge(outer: TraceRecord, inner: TraceRecord, wanted: str | None = None) -> TraceRecord:
    """The outer record traced through the inner one, as the native analysis
    merges a subquery's record: position, alias and qualifier stay outer.
    A column read through the inner `src.*` keeps the name it was read by."""
    name = inner.get("column_name")
    if name == "*" and wanted not in (None, "*"):
        name = wanted
    return {
        "column_sort": outer.get("column_sort"), "column_name": name,
        "column_alias": outer.get("column_alias"), "column_table": outer.get("column_table"),
        "column_type": inner.get("column_type"), "table_db": inner.get("table_db"),
        "table_name": inner.get("table_name"), "table_alias": inner.get("table_alias"),
    }


def unbound(record: TraceRecord) -> TraceRecord:
    """The record's column keys, without the table it was bound to."""
    return blank_record(record.get("column_sort"), record.get("column_name"),
                        record.get("column_alias"), record.get("column_table"),
                        record.get("column_type"))


def module_numbering(items: Sequence[tuple[int, exp.Expr]],
                     kinds: dict[int, str | None] | None = None,
                     nodes: dict[int, Sequence[exp.Expr] | None] | None = None
                     ) -> list[Numbered]:
    """The nodes the native analysis makes a record of from these select
    items, in its order, before any source is bound: its numbering of output
    keys, and the nodes it drops (a qualified column already listed under
    the same name: `o.amount` in an unaliased `o.amount + o.store_id` after
    the item `o.amount`), each with the kept node whose record it shares.
    `kinds`: each item's normalise.item_kind by index, and `nodes` the nodes
    of that kind in it in find_all's order, where already known."""
    keys: set[str] = set()
    kept: dict[str, int] = {}  # node text -> its place among the kept nodes
    sort, count = 0, 0
    records: list[Numbered] = []
    for index, item in items:
        kind = kinds[index] if kinds is not None and index in kinds else normalise.item_kind(item)
        if kind in ("literal", "null"):
            if item.alias_or_name not in keys:
                keys.add(item.alias_or_name)
                sort += 1
            records.append(Numbered(index, sort, item.name))
            count += 1
            continue
        known = nodes.get(index) if nodes is not None else None
        alias = item.alias if isinstance(item, exp.Alias) else ""
        found: Iterable[exp.Expr] = known if known is not None else \
            item.find_all(exp.Column if kind == "column" else exp.Anonymous)
        for node in found:
            qualifier = "anonymous" if kind == "anonymous" else node.text("table")
            name = alias or node.alias_or_name
            text = f"{node.name}-{name}-{qualifier}-{kind}"
            if qualifier and text in kept:
                records.append(Numbered(index, sort, node.name, kept[text]))
                continue
            kept[text] = count
            count += 1
            if f"{qualifier}.{name}" not in keys:
                keys.add(f"{qualifier}.{name}")
                sort += 1
            records.append(Numbered(index, sort, node.name))
    return records


def placed_records(numbering: list[Numbered], records: list[TraceRecord]) -> list[TraceRecord]:
    """The record of each numbered node: the analysis' records in order for
    the kept nodes, and a dropped node shares the record of the node it
    repeats."""
    kept = iter(records)
    return [next(kept) if entry.repeats is None else records[entry.repeats] for entry in numbering]
