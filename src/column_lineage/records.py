"""The native module's records as this layer handles them: a trace (one
source of one output column), records made for items the module gives none,
a record traced through an inner query, and the module's own numbering."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import NamedTuple

from sqlglot import exp

from . import normalise
from .rows import MODULE_KEYS, NO_SOURCE, NOT_SUPPORTED

RECURSIVE = "recursive reference"


@dataclass
class Trace:
    """One source of one output column: the module's record, whether an
    unqualified column was given to the first of several sources, and a
    remark."""

    record: dict
    ambiguous: bool = False
    note: str | None = None


@dataclass
class QueryLineage:
    """Output names and, per output position, its traces; for the query a
    statement runs, what each of its items says of its output column
    (compose.ItemFacts)."""

    names: list[str]
    columns: list[list[Trace]]
    items: list = field(default_factory=list)


def source_key(trace: Trace) -> tuple:
    """What a trace reads: the same source column read twice has one key."""
    record = trace.record
    return (record.get("table_db"), record.get("table_name"), record.get("column_name"),
            record.get("column_type"))


def blank_record(**values) -> dict:
    record = dict.fromkeys(MODULE_KEYS)
    record.update(values)
    return record


def sourceless(note: str | None, alias: str | None = None) -> Trace:
    return Trace(blank_record(column_alias=alias), note=note)


def literal_trace(value: exp.Expression, name: str) -> Trace:
    kind = "literal" if isinstance(value, exp.Literal) else "null" if isinstance(value, exp.Null) \
        else None
    text = value.name if kind else value.sql()
    return Trace(blank_record(column_sort=None, column_name=text, column_alias=name,
                              column_table="", column_type=kind),
                 note=None if kind else NO_SOURCE)


def merge(outer: dict, inner: dict, wanted=None) -> dict:
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


def unbound(record: dict) -> dict:
    return {**blank_record(), **{key: record.get(key) for key in MODULE_KEYS[:5]}}


class Numbered(NamedTuple):  # one per column read: cheaper than a frozen data class
    """One node the native analysis makes a record of: its select item
    (index), its column_sort, its column name, and, when the analysis drops
    it as a repeat of a node already listed, which earlier node (its place
    among the kept ones) holds the record it shares."""

    index: int
    sort: int
    name: str
    repeats: int | None = None

    @property
    def kept(self) -> bool:
        return self.repeats is None


def module_numbering(items: list[tuple[int, exp.Expression]],
                     kinds: dict[int, str | None] | None = None,
                     nodes: dict[int, list] | None = None) -> list[Numbered]:
    """The nodes the native analysis makes a record of from these select
    items, in its order, before any source is bound: its numbering of output
    keys, and the nodes it drops (a qualified column already listed under
    the same name: `o.amount` in an unaliased `o.amount + o.store_id` after
    the item `o.amount`), each with the kept node whose record it shares.
    `kinds`: each item's normalise.item_kind by index, and `nodes` the nodes
    of that kind in it in find_all's order, where already known."""
    keys: set[str] = set()
    kept: dict[str, int] = {}  # node text -> its place among the kept nodes
    sort, count, records = 0, 0, []
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
        for node in known if known is not None else \
                item.find_all(exp.Column if kind == "column" else exp.Anonymous):
            qualifier = "anonymous" if kind == "anonymous" else node.table
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


def placed_records(numbering: list[Numbered], records: list[dict]) -> list[dict]:
    """The record of each numbered node: the analysis' records in order for
    the kept nodes, and a dropped node shares the record of the node it
    repeats."""
    kept = iter(records)
    return [next(kept) if entry.repeats is None else records[entry.repeats] for entry in numbering]
