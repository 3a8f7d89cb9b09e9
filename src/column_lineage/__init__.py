"""Column lineage for SQL: for every output column of every statement, the
base-table columns it comes from."""

__version__ = "0.2.0"

from typing import TYPE_CHECKING  # noqa: E402

from .analysis import LineageError, analyse_sql  # noqa: E402
from .native import analysis_module  # noqa: E402
from .rows import FileLineage, OutputColumn, Row, Statement  # noqa: E402
from .shapes import LineageRecord, RowDict  # noqa: E402

# The native module, as `from column_lineage import test` (test.pyi types it).
if TYPE_CHECKING:
    from . import test
else:
    test = analysis_module()

__all__ = ["analyse_sql", "LineageError", "FileLineage", "OutputColumn", "Row", "Statement",
           "LineageRecord", "RowDict", "test", "__version__"]
