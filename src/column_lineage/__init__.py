"""Column lineage for SQL: for every output column of every statement, the
base-table columns it comes from.

    from column_lineage import analyse_sql
    for statement in analyse_sql(open("etl.sql").read(), schema=open("schema.sql").read()):
        for row in statement.rows:
            print(statement.kind, statement.target_table, row.target_column, row.table_name,
                  row.column_name)
"""

__version__ = "0.2.0"

from typing import TYPE_CHECKING  # noqa: E402

from .analysis import LineageError, analyse_sql  # noqa: E402
from .native import analysis_module  # noqa: E402
from .rows import FileLineage, OutputColumn, Row, Statement  # noqa: E402
from .schema import load_schema  # noqa: E402
from .shapes import LineageRecord, RowDict  # noqa: E402

# The native module, as `from column_lineage import test` (test.pyi types it).
if TYPE_CHECKING:
    from . import test
else:
    test = analysis_module()

__all__ = ["analyse_sql", "load_schema", "LineageError", "FileLineage", "OutputColumn", "Row",
           "Statement", "LineageRecord", "RowDict", "test", "__version__"]
