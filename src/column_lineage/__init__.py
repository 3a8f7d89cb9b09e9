"""Column lineage for SQL: for every output column of every statement, the
base-table columns it comes from."""

__version__ = "0.2.0"

from .analysis import LineageError, analyse_sql  # noqa: E402
from .rows import FileLineage, OutputColumn, Row, Statement  # noqa: E402

__all__ = ["analyse_sql", "LineageError", "FileLineage", "OutputColumn", "Row", "Statement",
           "__version__"]
