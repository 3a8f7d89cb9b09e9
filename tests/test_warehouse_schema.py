"""Schemas: what mysqldump writes, JSON mappings, and bad schema text."""

import pytest

from column_lineage import LineageError, load_schema
from column_lineage.schema import mapping_from_ddl, table_columns
from warehouse_lineage import fixture


def test_mysqldump_output_gives_the_tables_under_their_database():
    assert mapping_from_ddl(fixture("mysqldump.sql")) == {"shop": {"orders": {
        "id": "INT", "customer_id": "INT", "amount": "DECIMAL(10, 2)", "created_at": "DATETIME"}}}


@pytest.mark.parametrize("db, table, columns", [
    ("shop", "orders", ["id", "customer_id", "amount", "created_at"]),
    (None, "orders", ["id", "customer_id", "amount", "created_at"]),
    ("staging", "orders", ["id", "customer_id", "amount", "created_at"]),
    ("shop", "missing", []),
])
def test_table_columns_in_written_order(db, table, columns):
    assert table_columns(load_schema(fixture("mysqldump.sql")), db, table) == columns


@pytest.mark.parametrize("text, message", [
    ('{"db": {"t": ', "schema: not valid JSON (line 1, column 14"),
    ("{}", "schema: no tables found"),
    ("DROP TABLE t; SELECT 1", "schema: no tables found"),
    ('{"db": {"t": {"a": "INT"}}, "u": {"b": "INT"}}', "schema: not a mapping"),
])
def test_bad_schema_text_is_a_clear_error(text, message):
    with pytest.raises(LineageError) as raised:
        load_schema(text)
    assert str(raised.value).startswith(message)
