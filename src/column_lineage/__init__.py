"""Column lineage for SQL: for every output column of every statement, the
base-table columns it comes from.

    from column_lineage import analyse_sql
    for statement in analyse_sql(open("etl.sql").read(), schema=open("schema.sql").read()):
        for row in statement.rows:
            print(statement.kind, statement.target_table, row.target_column, row.table_name,
                  row.column_name)
"""

__version__ = "0.3.0"

from typing import TYPE_CHECKING, Any  # noqa: E402

from .errors import LineageError  # noqa: E402
from .rows import FileLineage, OutputColumn, Row, Statement  # noqa: E402
from .shapes import LineageRecord, RowDict  # noqa: E402

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


__all__ = ["analyse_sql", "load_schema", "LineageError", "FileLineage", "OutputColumn", "Row",
           "Statement", "LineageRecord", "RowDict", "test", "__version__"]
