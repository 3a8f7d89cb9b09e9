"""Typed shapes of the dictionaries the package hands out, under the name
earlier releases gave them (and the module's stub, test.pyi, imports them
by): the native module's lineage record, a row as a dictionary
(`Row.as_dict()`) and a sqlglot node. They are defined in rows.py, with
the package's other record types."""

from __future__ import annotations

from .rows import ColumnType, LineageRecord, RowDict, SqlNode

__all__ = ["ColumnType", "LineageRecord", "RowDict", "SqlNode"]
