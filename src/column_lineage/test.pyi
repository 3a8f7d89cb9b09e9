"""The native lineage module: the six functions it publishes. A record is a
`LineageRecord`; `texts` are the record texts still waiting for a table,
`alias` the output-column keys numbered so far and `sort` their counter."""

from collections.abc import Iterable

from column_lineage.shapes import LineageRecord, SqlNode

def test(source: SqlNode) -> list[LineageRecord]: ...
def get_columns(
    expressions: Iterable[SqlNode],
) -> tuple[list[LineageRecord], list[str]]: ...
def find_column(
    find_list: Iterable[SqlNode],
    columns: list[LineageRecord],
    alias: list[str],
    texts: list[str],
    column_type: str,
    sort: int,
) -> tuple[list[LineageRecord], list[str], list[str], int]: ...
def get_column_parent(
    column: SqlNode, column_table: str
) -> tuple[str, SqlNode | None]: ...
def get_tables(
    expression: SqlNode, columns: list[LineageRecord], texts: list[str]
) -> list[LineageRecord]: ...
def match_column(
    table_args: SqlNode, columns: list[LineageRecord], texts: list[str]
) -> tuple[list[LineageRecord], list[str]]: ...
