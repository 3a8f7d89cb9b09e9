"""A small ETL directory's lineage, built by hand: the input of the format
writers' tests. Two files: a load script (INSERT … SELECT over a join, and a
skipped UPDATE) and a report (a UNION of two branches with a literal, and a
column whose table could not be found)."""

from column_lineage.rows import (AGGREGATION, IDENTITY, TRANSFORMATION, FileLineage,
                                 OutputColumn, Row, Statement, TableName)

LOAD = "etl/01_load.sql"
REPORT = "etl/02_report.sql"


def load_file():
    insert = Statement(
        file=LOAD, number=1, kind="INSERT",
        sql="INSERT INTO dw.daily_sales (day, region, revenue) SELECT o.order_date, r.name, "
            "SUM(o.amount) FROM sales.orders AS o JOIN crm.regions AS r ON r.id = o.region_id "
            "GROUP BY o.order_date, r.name",
        target_db="dw", target_table="daily_sales",
        reads=[TableName("sales", "orders"), TableName("crm", "regions")],
        columns=[
            OutputColumn(1, "order_date", "o.order_date", IDENTITY, "day"),
            OutputColumn(2, "name", "r.name", IDENTITY, "region"),
            OutputColumn(3, "SUM(o.amount)", "SUM(o.amount)", AGGREGATION, "revenue"),
        ],
    )
    common = dict(file=LOAD, statement=1, target_db="dw", target_table="daily_sales",
                  resolved=True)
    insert.rows = [
        Row(position=1, output_name="order_date", target_column="day", column_sort=1,
            column_name="order_date", column_alias="order_date", column_table="o",
            column_type="column", table_db="sales", table_name="orders", table_alias="o",
            **common),
        Row(position=2, output_name="name", target_column="region", column_sort=2,
            column_name="name", column_alias="name", column_table="r", column_type="column",
            table_db="crm", table_name="regions", table_alias="r", **common),
        Row(position=3, output_name="SUM(o.amount)", target_column="revenue", column_sort=3,
            column_name="amount", column_alias="SUM(o.amount)", column_table="o",
            column_type="function", table_db="sales", table_name="orders", table_alias="o",
            **common),
    ]
    update = Statement(file=LOAD, number=2, kind="UPDATE",
                       sql="UPDATE dw.daily_sales SET revenue = 0 WHERE revenue IS NULL",
                       skipped="UPDATE statement has no query")
    return FileLineage(LOAD, [insert, update])


def report_file():
    union = Statement(
        file=REPORT, number=1, kind="SELECT",
        sql="SELECT d.region AS \"area, \"\"north\"\"\", d.revenue FROM dw.daily_sales AS d "
            "UNION ALL SELECT 'total', SUM(x.revenue) FROM dw.daily_sales AS x",
        reads=[TableName("dw", "daily_sales")],
        columns=[
            OutputColumn(1, 'area, "north"', 'd.region AS "area, ""north"""', IDENTITY),
            OutputColumn(2, "revenue", "d.revenue", TRANSFORMATION),
        ],
    )
    common = dict(file=REPORT, statement=1)
    union.rows = [
        Row(position=1, output_name='area, "north"', column_sort=1, column_name="region",
            column_alias='area, "north"', column_table="d", column_type="column",
            table_db="dw", table_name="daily_sales", table_alias="d", resolved=True, **common),
        Row(position=1, output_name='area, "north"', column_sort=1, column_name="total",
            column_alias="total", column_table="", column_type="literal", **common),
        Row(position=2, output_name="revenue", column_sort=2, column_name="revenue",
            column_alias="revenue", column_table="d", column_type="column", table_db="dw",
            table_name="daily_sales", table_alias="d", resolved=True, **common),
        Row(position=2, output_name="revenue", column_sort=2, column_name="revenue",
            column_alias="SUM(x.revenue)", column_table="x", column_type="function",
            table_db="dw", table_name="daily_sales", table_alias="x", resolved=True, **common),
    ]
    unresolved = Statement(
        file=REPORT, number=2, kind="SELECT",
        sql="SELECT amount, t.id FROM sales.orders AS t JOIN crm.regions AS r ON r.id = t.region_id",
        reads=[TableName("sales", "orders"), TableName("crm", "regions")],
        columns=[OutputColumn(1, "amount", "amount", IDENTITY),
                 OutputColumn(2, "id", "t.id", IDENTITY)],
    )
    unresolved.rows = [
        Row(file=REPORT, statement=2, position=1, output_name="amount", column_sort=1,
            column_name="amount", column_alias="amount", column_table="t", column_type="column",
            table_db="sales", table_name="orders", table_alias="t", resolved=True,
            ambiguous=True),
        Row(file=REPORT, statement=2, position=2, output_name="id", column_sort=2,
            column_name="id", column_alias="id", column_table="t", column_type="column",
            table_db="sales", table_name="orders", table_alias="t", resolved=True),
    ]
    broken = Statement(
        file=REPORT, number=3, kind="SELECT", sql="SELECT q.x FROM (SELECT 1) AS q",
        columns=[OutputColumn(1, "x", "q.x", IDENTITY)],
        rows=[Row(file=REPORT, statement=3, position=1, output_name="x", column_sort=1,
                  column_name="x", column_alias="x", column_table="q", column_type="column",
                  resolved=False)],
    )
    return FileLineage(REPORT, [union, unresolved, broken])


def etl_directory():
    """Both files, in name order."""
    return [load_file(), report_file()]
