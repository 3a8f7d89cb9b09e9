"""Whole analyses of warehouse-style queries; the expected records are worked
out by hand from the rules of each step."""

import pytest

from conftest import FROM, RECORD_KEYS, analyse, lineage, parse, rows


CASES = {
    "qualified base table": (
        "SELECT t.a FROM db1.orders AS t",
        rows((1, "a", "a", "t", "column", "db1", "orders", "t")),
    ),
    "unqualified column": (
        "SELECT a FROM orders",
        rows((1, "a", "a", "", "column", "", "orders", "")),
    ),
    "through a derived table": (
        "SELECT x.a AS b FROM (SELECT t.c AS a FROM db1.t AS t) AS x",
        rows((1, "c", "b", "x", "column", "db1", "t", "t")),
    ),
    "two CTEs joined, expressions and CASE": (
        """
        WITH daily AS (
            SELECT o.store_id, DATE(o.created_at) AS sale_day, SUM(o.amount) AS revenue
            FROM sales.orders AS o
            GROUP BY o.store_id, DATE(o.created_at)
        ), stores AS (
            SELECT s.id AS store_id, s.region FROM dim.stores AS s
        )
        SELECT daily.sale_day AS day, stores.region, daily.revenue AS total_revenue,
               CASE WHEN daily.revenue > 1000 THEN 'high' ELSE 'low' END AS band
        FROM daily JOIN stores ON daily.store_id = stores.store_id
        """,
        rows((1, "created_at", "day", "daily", "column", "sales", "orders", "o"),
             (2, "region", "region", "stores", "column", "dim", "stores", "s"),
             (3, "amount", "total_revenue", "daily", "column", "sales", "orders", "o"),
             (4, "amount", "band", "daily", "column", "sales", "orders", "o")),
    ),
    "derived tables two deep and a join": (
        """
        SELECT r.customer_id AS customer, r.total AS lifetime_value, c.segment
        FROM (
            SELECT agg.customer_id, agg.total
            FROM (
                SELECT o.customer_id, SUM(o.amount) AS total
                FROM shop.orders AS o
                GROUP BY o.customer_id
            ) AS agg
        ) AS r
        JOIN crm.customers AS c ON c.id = r.customer_id
        """,
        rows((1, "customer_id", "customer", "r", "column", "shop", "orders", "o"),
             (2, "amount", "lifetime_value", "r", "column", "shop", "orders", "o"),
             (3, "segment", "segment", "c", "column", "crm", "customers", "c")),
    ),
    "every kind of item over an unaliased-column fact table": (
        """
        SELECT order_id, 'web' AS channel, NULL AS note, IFNULL(discount, 0) AS discount,
               CASE WHEN status = 'paid' THEN 1 ELSE 0 END AS is_paid, MYFN('2020') AS fy
        FROM dw.fact_orders AS f LEFT JOIN dw.dim_status AS s ON f.status_id = s.id
        """,
        rows((1, "order_id", "order_id", "", "column", "dw", "fact_orders", "f"),
             (2, "web", "channel", "", "literal"),
             (3, "NULL", "note", "", "null"),
             (4, "discount", "discount", "", "column", "dw", "fact_orders", "f"),
             (5, "status", "is_paid", "", "column", "dw", "fact_orders", "f"),
             (6, "MYFN", "fy", "", "anonymous")),
    ),
    "scalar subquery and a literal traced through a derived table": (
        """
        SELECT x.id, x.kind, (SELECT MAX(p.price) FROM catalog.prices AS p) AS max_price
        FROM (SELECT i.id, 'item' AS kind FROM catalog.items AS i) AS x
        """,
        rows((1, "id", "id", "x", "column", "catalog", "items", "i"),
             (2, "item", "kind", "x", "literal", None, None, None),
             (3, "price", "price", "p", "subquery", "catalog", "prices", "p")),
    ),
    # A CTE read by another CTE is a table to the reader, and with a WITH
    # clause the joins of the outer select are not scopes.
    "CTE over CTE": (
        """
        WITH base AS (SELECT e.dept_id, e.salary FROM hr.employees AS e),
             by_dept AS (SELECT b.dept_id, AVG(b.salary) AS avg_salary
                         FROM base AS b GROUP BY b.dept_id)
        SELECT d.name AS department, by_dept.avg_salary
        FROM by_dept JOIN hr.departments AS d ON d.id = by_dept.dept_id
        """,
        rows((1, "name", "department", "d", "column"),
             (2, "salary", "avg_salary", "by_dept", "column", "", "base", "b")),
    ),
    "constants without FROM": (
        "SELECT 1 AS a, MYFN('x') AS f, (SELECT 1) AS s, a + 1 AS b",
        rows((1, "1", "a", "", "literal"),
             (2, "MYFN", "f", "", "anonymous"),
             (3, "a", "b", "", "column")),
    ),
    "unqualified column over a derived table stays open": (
        "SELECT a AS x FROM (SELECT a FROM u) AS s",
        rows((1, "a", "x", "", "column")),
    ),
    "backtick-free MySQL with database-qualified join": (
        """
        SELECT o.id AS order_id, u.email, COUNT(o.id) AS n
        FROM shop.orders o JOIN accounts.users u ON u.id = o.user_id
        GROUP BY o.id, u.email
        """,
        rows((1, "id", "order_id", "o", "column", "shop", "orders", "o"),
             (2, "email", "email", "u", "column", "accounts", "users", "u"),
             (3, "id", "n", "o", "column", "shop", "orders", "o")),
    ),
}


@pytest.mark.parametrize("sql, expected", CASES.values(), ids=CASES.keys())
def test_records(sql, expected):
    records = analyse(sql)
    assert records == expected
    assert [list(r) for r in records] == [RECORD_KEYS[:len(r)] for r in expected]
    assert all(type(r["column_sort"]) is int for r in records)


OTHER_FROM = "from" if FROM == "from_" else "from_"


def test_the_from_clause_is_read_under_the_key_of_the_running_sqlglot():
    tree = parse("SELECT x.a AS b FROM (SELECT t.c AS a FROM db1.t AS t) AS x")
    assert lineage.test(tree)[0]["table_name"] == "t"
    # The key is chosen once, at load; the other spelling is never tried, so
    # a clause under it is no source: the record stays open.
    tree.args[OTHER_FROM] = tree.args.pop(FROM)
    assert "table_name" not in lineage.test(tree)[0]


def wide_select(width):
    items = ", ".join(f"t.c{i} AS o{i % 7}" for i in range(width))
    return f"SELECT {items}, u.c0 AS o0, c1 FROM db1.t AS t JOIN u AS u ON t.k = u.k"


@pytest.mark.parametrize("sql", [
    pytest.param("SELECT t.a AS x, t.a AS x, t.b AS x, a, a FROM t AS t",
                 id="repeated-names"),
    pytest.param("SELECT t.a + t.a + u.a AS s, t.b AS s FROM t AS t JOIN u AS u ON t.k = u.k",
                 id="repeated-columns-in-one-item"),
    pytest.param("SELECT x.a AS b, x.a AS b, x.c FROM (SELECT t.c AS a, t.d AS a, t.c "
                 "FROM t AS t) AS x", id="derived-table-with-repeated-aliases"),
    pytest.param("WITH w AS (SELECT t.a, t.a AS b FROM db.t AS t) "
                 "SELECT w.a, w.b, w.a AS b FROM w AS w", id="cte"),
    pytest.param("SELECT MYFN(1) AS f, MYFN(2) AS f, (SELECT s.a FROM s AS s) AS q FROM t AS t",
                 id="calls-and-a-subquery"),
    pytest.param(wide_select(300), id="wide-select"),
])
def test_counted_lists_give_what_plain_lists_give(sql, rebind):
    """With the module's own functions in place the lists of an analysis are
    counted; a rebound function makes them plain lists again."""
    counted = analyse(sql)
    real_get_tables = lineage.get_tables
    rebind("get_tables", lambda *args: real_get_tables(*args))
    assert analyse(sql) == counted
