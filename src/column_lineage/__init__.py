"""Column lineage for SQL: for every output column of every statement, the
base-table columns it comes from.

    from column_lineage import analyse_sql
    for statement in analyse_sql(open("etl.sql").read(), schema=open("schema.sql").read()):
        for row in statement.rows:
            print(statement.kind, statement.target_table, row.target_column, row.table_name,
                  row.column_name)
"""

__version__ = "0.3.0"

from typing import TYPE_CHECKING, Any

from .errors import LineageError
from .rows import FileLineage, LineageRecord, OutputColumn, Row, RowDict, Statement

if TYPE_CHECKING:
    from . import test  # the native module; test.pyi types it
    from .analysis import analyse_sql
    from .schema import load_schema

# Imported on first use: the analysis brings sqlglot (two thirds of the
# command's start-up), which answers read from a store never need.
LAZY = {"analyse_sql": "analysis", "load_schema": "schema"}


def __getattr__(name: str) -> Any:
    if name == "test":
        from .native import analysis_module
        module = analysis_module()
    elif name in LAZY:
        import importlib
        module = getattr(importlib.import_module(f"{__name__}.{LAZY[name]}"), name)
    else:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    globals()[name] = module
    return module


__all__ = [
    "FileLineage",
    "LineageError",
    "LineageRecord",
    "OutputColumn",
    "Row",
    "RowDict",
    "Statement",
    "__version__",
    "analyse_sql",
    "load_schema",
    "test",
]
