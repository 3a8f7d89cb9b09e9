"""A multi-statement ETL script: every statement, its kind, its target and
the lineage of each target column."""

import pytest

from column_lineage import analyse_sql
from column_lineage.rows import AGGREGATION, IDENTITY, TRANSFORMATION
from warehouse_lineage import by_position, fixture


@pytest.fixture(scope="module")
def statements():
    return analyse_sql(fixture("etl.sql"), file="etl.sql")


def test_every_statement_is_reported_in_file_order(statements):
    assert [(s.number, s.kind) for s in statements] == [
        (1, "USE"), (2, "INSERT"), (3, "REPLACE"), (4, "CREATE TABLE"), (5, "CREATE VIEW"),
        (6, "UPDATE")]
    assert [s.number for s in statements if s.skipped] == [1]
    assert [s.number for s in statements if not s.moves_data] == [1]
    assert not any(s.error for s in statements)
    assert [(row.target_table, row.target_column, row.column_type, row.resolved)
            for row in statements[5].rows] == [("store_dim", "region", "literal", False)]


@pytest.mark.parametrize("number, target, target_columns, sources", [
    (2, ("mart", "daily_sales"), ["sale_day", "store_id", "revenue"],
     [{"staging.orders.order_day"}, {"staging.orders.store_id"}, {"staging.orders.amount"}]),
    (3, ("mart", "store_dim"), ["id", "name", "region"],
     [{"staging.stores.id"}, {"staging.stores.name"}, {"crm.regions.region_name"}]),
    (4, ("mart", "top_customers"), ["customer_id", "total", "email"],
     [{"staging.orders.customer_id"}, {"staging.orders.amount"}, {"crm.customers.email"}]),
    (5, ("mart", "v_revenue"), ["day", "revenue", "loaded_at"],
     [{"mart.daily_sales.sale_day"}, {"mart.daily_sales.revenue"}, {"?NOW"}]),
])
def test_targets_and_lineage(statements, number, target, target_columns, sources):
    statement = statements[number - 1]
    assert (statement.target_db, statement.target_table) == target
    assert [column.target_column for column in statement.columns] == target_columns
    assert by_position(statement) == sources
    assert {(row.target_db, row.target_table) for row in statement.rows} == {target}
    assert {row.target_column for row in statement.rows} == set(target_columns)


def test_use_gives_unqualified_tables_its_database_but_not_ctes(statements):
    rows = statements[3].rows
    assert {row.table_db for row in rows if row.table_name == "orders"} == {"staging"}
    assert all(row.column_table != "spend" or row.table_name == "orders" for row in rows)


def test_output_columns_say_how_they_are_computed(statements):
    kinds = [[column.transformation for column in s.columns] for s in statements[1:5]]
    assert kinds == [[IDENTITY, IDENTITY, AGGREGATION], [IDENTITY, IDENTITY, IDENTITY],
                     [IDENTITY, IDENTITY, IDENTITY], [IDENTITY, IDENTITY, TRANSFORMATION]]
    insert = statements[1]
    assert [(c.position, c.output_name) for c in insert.columns] == [
        (1, "order_day"), (2, "store_id"), (3, "SUM(o.amount)")]


def test_target_columns_come_from_the_schema_when_not_written():
    for schema in (fixture("schema.sql"), fixture("schema.json")):
        statement = analyse_sql(fixture("etl.sql"), schema=schema)[2]
        assert [c.target_column for c in statement.columns] == ["store_key", "store_name", "region"]


@pytest.mark.parametrize("sql, target_columns", [
    pytest.param("CREATE TABLE mart.o (id INT, extra INT) AS SELECT o.amount, o.id FROM orders o",
                 ["amount", "id"], id="CREATE TABLE with column definitions matches by name"),
    pytest.param("CREATE TABLE mart.top AS SELECT o.amount AS total, o.id FROM orders o",
                 ["total", "id"], id="CREATE TABLE without definitions"),
    pytest.param("CREATE VIEW mart.v (a, b) AS SELECT o.amount, o.id FROM orders o",
                 ["a", "b"], id="a view's column list is positional"),
    pytest.param("CREATE VIEW mart.v (a, b) AS SELECT o.amount, o.id FROM orders o "
                 "WITH CASCADED CHECK OPTION", ["a", "b"], id="a view WITH CHECK OPTION"),
    pytest.param("INSERT INTO mart.o (b, a) SELECT o.amount, o.id FROM orders o",
                 ["b", "a"], id="an INSERT's column list is positional"),
])
def test_target_columns_of_each_kind_of_write(sql, target_columns):
    schema = '{"mart": {"o": {"id": "INT", "extra": "INT", "amount": "INT"}}}'
    statement, = analyse_sql(sql, schema=schema)
    assert [column.target_column for column in statement.columns] == target_columns


def test_rows_carry_file_statement_and_every_key(statements):
    row = statements[2].rows[2]
    assert (row.file, row.statement, row.position, row.output_name) == ("etl.sql", 3, 3, "region")
    assert (row.column_name, row.column_alias, row.column_table, row.table_alias) == (
        "region_name", "region", "r", "r")
    assert row.resolved and not row.ambiguous and row.note is None


def test_statements_without_rows_say_whether_they_could_move_data():
    statements = analyse_sql(
        "DROP TABLE IF EXISTS x; ALTER TABLE x ADD COLUMN y INT; TRUNCATE TABLE x; "
        "DELETE FROM x WHERE a IN (SELECT b FROM y); SET @a = 1; LOCK TABLES x WRITE; "
        "CREATE TABLE x (a INT); LOAD DATA INFILE 'f.csv' INTO TABLE x; CALL etl.p(1); "
        "EXECUTE stmt; SELECT FROM WHERE")
    assert [(s.kind, s.moves_data, bool(s.skipped), bool(s.error)) for s in statements] == [
        ("DROP TABLE", False, True, False), ("ALTER TABLE", False, True, False),
        ("TRUNCATE TABLE", False, True, False), ("DELETE", False, True, False),
        ("SET", False, True, False), ("LOCK TABLES", False, True, False),
        ("CREATE TABLE", False, True, False), ("LOAD DATA", True, True, False),
        ("CALL", True, True, False), ("EXECUTE", True, True, False), ("SELECT", True, False, True)]
    assert [s.skipped for s in statements[7:10]] == [
        "LOAD DATA statement reads a file, not a table",
        "CALL runs procedure etl.p: its statements are analysed where it is created",
        "EXECUTE statement runs SQL built at run time: not analysed"]
    assert statements[-1].error.startswith("parse error at line 1, column ")
    assert all(not s.rows for s in statements)
