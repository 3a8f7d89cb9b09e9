"""Hand-worked lineage of warehouse queries: set operations, CTEs, stars,
schemas, sources the native analysis cannot read, and what it flags."""

import pytest

from column_lineage import analyse_sql, trace
from warehouse_lineage import fixture, lineage

UNION_OF_THREE = """
SELECT o.id AS order_id, o.amount FROM shop.orders o
UNION ALL
SELECT r.order_id, -r.refund FROM shop.refunds r
UNION
SELECT a.ref, a.delta FROM ledger.adjustments AS a
"""


@pytest.mark.parametrize("sql, expected", [
    pytest.param(UNION_OF_THREE,
                 [{"shop.orders.id", "shop.refunds.order_id", "ledger.adjustments.ref"},
                  {"shop.orders.amount", "shop.refunds.refund", "ledger.adjustments.delta"}],
                 id="union of three branches"),
    pytest.param("SELECT u.k FROM (SELECT a.x AS k FROM a UNION SELECT b.y FROM b) AS u",
                 [{"a.x", "b.y"}], id="union in a derived table"),
    pytest.param("WITH u AS (SELECT a.x AS k FROM a UNION (SELECT b.y FROM b UNION SELECT c.z FROM c)) "
                 "SELECT v.k FROM u AS v", [{"a.x", "b.y", "c.z"}], id="nested union in a CTE"),
    pytest.param("WITH daily AS (SELECT o.day, SUM(o.amt) AS total FROM dw.orders o GROUP BY o.day) "
                 "SELECT d.day, d.total, c.holiday FROM daily AS d JOIN dw.calendar c ON c.day = d.day",
                 [{"dw.orders.day"}, {"dw.orders.amt"}, {"dw.calendar.holiday"}],
                 id="CTE read by alias beside a base table"),
    pytest.param("WITH s AS (SELECT t.id, t.v FROM t) "
                 "SELECT a.v AS now, b.v AS before FROM s a JOIN s b ON b.id = a.id - 1",
                 [{"t.v"}, {"t.v"}], id="CTE read twice"),
    pytest.param("WITH base AS (SELECT t.k, t.v FROM raw.t), agg AS (SELECT base.k, MAX(base.v) AS top "
                 "FROM base GROUP BY base.k) SELECT agg.k, agg.top FROM agg",
                 [{"raw.t.k"}, {"raw.t.v"}], id="CTE read by another CTE"),
    pytest.param("WITH Daily AS (SELECT o.day FROM orders o) SELECT DAILY.day FROM daily",
                 [{"orders.day"}], id="CTE names and qualifiers ignore case"),
    pytest.param("WITH orders AS (SELECT o.id FROM orders o WHERE o.ok) SELECT orders.id FROM orders",
                 [{"orders.id"}], id="CTE shadowing the table it reads"),
    pytest.param("SELECT d.x, d.y FROM (SELECT t.a, t.b FROM t) AS d(x, y)",
                 [{"t.a"}, {"t.b"}], id="derived column list"),
    pytest.param("SELECT a.x, b.y FROM ((a JOIN b ON a.id = b.id))",
                 [{"a.x"}, {"b.y"}], id="parenthesised join"),
    pytest.param("SELECT v.n, t.a, v.m FROM (VALUES ROW(1, 'x'), ROW(2, NULL)) AS v(n, m) "
                 "JOIN t ON t.id = v.n", [{"?1", "?2"}, {"t.a"}, {"?x", "?NULL"}], id="VALUES source"),
    pytest.param("SELECT t.a, (SELECT MAX(u.b) FROM u WHERE u.id = t.id) AS m, "
                 "(SELECT t.a + t.c) AS s FROM t",
                 [{"t.a"}, {"u.b"}, {"t.a", "t.c"}], id="scalar subqueries"),
    pytest.param("SELECT (SELECT COUNT(*) FROM u), (SELECT u.a FROM u) + t.b, "
                 "(SELECT t.c FROM u LIMIT 1) FROM t",
                 [{"u.*"}, {"u.a", "t.b"}, {"t.c"}], id="unaliased and correlated scalar subqueries"),
    pytest.param("SELECT id, a.x, k + 1 AS k1 FROM a JOIN b USING (id, k) JOIN c USING (id)",
                 [{"a.id", "b.id", "c.id"}, {"a.x"}, {"a.k", "b.k"}], id="columns joined with USING"),
    pytest.param("SELECT NOW() AS at, CURRENT_DATE, 1 + 1 AS two, 'x' AS lit, t.a FROM t",
                 [{"?NOW"}, {"?"}, {"?"}, {"?x"}, {"t.a"}], id="items without columns"),
    pytest.param("SELECT a.x, b.y, c.z FROM ((a JOIN b ON a.id = b.id) JOIN c ON c.id = a.id)",
                 [{"a.x"}, {"b.y"}, {"c.z"}], id="joins at two levels of parentheses"),
    pytest.param("SELECT t.a, t.a * 2, t.a + t.b, CONCAT(t.b, t.a) FROM t",
                 [{"t.a"}, {"t.a"}, {"t.a", "t.b"}, {"t.a", "t.b"}],
                 id="a column repeated in later unaliased items"),
    pytest.param("SELECT SUM(t.a) OVER w2 AS s, RANK() OVER w AS r FROM t "
                 "WINDOW w AS (PARTITION BY t.p), w2 AS (w ORDER BY t.o)",
                 [{"t.a", "t.p", "t.o"}, {"t.p"}], id="named windows, one built on another"),
    pytest.param("SELECT c.k, l.v, l.w FROM c, LATERAL (SELECT o.v, c.k * 2 AS w FROM o "
                 "WHERE o.k = c.k LIMIT 1) AS l", [{"c.k"}, {"o.v"}, {"c.k"}],
                 id="LATERAL derived table reading the source before it"),
    pytest.param("SELECT l.x FROM c JOIN LATERAL (SELECT c.k + 1) AS l (x) ON TRUE",
                 [{"c.k"}], id="LATERAL without FROM, with a column list"),
    pytest.param("SELECT t.a, t.b INTO OUTFILE '/tmp/t.csv' FIELDS TERMINATED BY ',' FROM t",
                 [{"t.a"}, {"t.b"}], id="INTO OUTFILE before FROM"),
    pytest.param("SELECT t.a FROM t WHERE t.b > 0 INTO DUMPFILE '/tmp/t.bin'",
                 [{"t.a"}], id="INTO DUMPFILE at the end"),
    pytest.param("SELECT t.k, j.a, j.n, j.b FROM t, JSON_TABLE(t.doc, '$[*]' COLUMNS (a INT PATH '$.a', "
                 "n FOR ORDINALITY, NESTED PATH '$.b[*]' COLUMNS (b INT PATH '$'))) AS j",
                 [{"t.k"}, {"t.doc"}, {"?NULL"}, {"t.doc"}], id="JSON_TABLE columns read its document"),
    pytest.param("SELECT orders.id FROM shop.orders", [{"shop.orders.id"}],
                 id="column qualified by the table's own name"),
    pytest.param("WITH RECURSIVE r (n) AS (SELECT t.id FROM t UNION ALL SELECT r.n + 1 FROM r) "
                 "SELECT r.n FROM r", [{"t.id"}], id="recursive CTE"),
])
def test_lineage_per_output_column(sql, expected):
    assert lineage(sql) == expected


@pytest.mark.parametrize("sql, expected", [
    pytest.param("SELECT * FROM orders o JOIN customers c ON c.id = o.customer_id",
                 [{"orders.*"}, {"customers.*"}], id="bare star"),
    pytest.param("SELECT c.*, o.amount FROM orders o JOIN customers c ON c.id = o.customer_id",
                 [{"customers.*"}, {"orders.amount"}], id="qualified star"),
    pytest.param("SELECT COUNT(*), c.segment FROM customers c GROUP BY c.segment",
                 [{"customers.*"}, {"customers.segment"}], id="COUNT(*)"),
    pytest.param("SELECT * FROM (SELECT o.id, o.amount AS amt FROM orders o) AS d",
                 [{"orders.id"}, {"orders.amount"}], id="star over a derived table"),
    pytest.param("SELECT COUNT(*) FROM (SELECT o.id, c.email FROM orders o JOIN customers c "
                 "ON c.id = o.customer_id) AS d", [{"orders.id", "customers.email"}],
                 id="COUNT(*) over a derived table"),
    pytest.param("WITH w AS (SELECT * FROM orders) SELECT w.amount FROM w",
                 [{"orders.amount"}], id="column read through a star of a CTE"),
    pytest.param("SELECT x.cid, x.n FROM (SELECT cid, COUNT(*) AS n FROM orders GROUP BY cid) x",
                 [{"orders.cid"}, {"orders.*"}], id="COUNT(*) read through a derived table"),
])
def test_stars_without_schema(sql, expected):
    assert lineage(sql) == expected


STAR_JOIN = "SELECT *, email FROM orders o JOIN customers c ON c.id = o.customer_id"


@pytest.mark.parametrize("schema_file", ["schema.sql", "schema.json"])
def test_stars_and_unqualified_columns_with_a_schema(schema_file):
    assert lineage(STAR_JOIN, schema=fixture(schema_file)) == [
        {"orders.id"}, {"orders.customer_id"}, {"orders.amount"},
        {"customers.id"}, {"customers.email"}, {"customers.segment"}, {"customers.email"}]


def test_ddl_and_json_schemas_give_the_same_rows():
    sql = fixture("etl.sql") + ";\n" + STAR_JOIN
    as_ddl = analyse_sql(sql, schema=fixture("schema.sql"))
    as_json = analyse_sql(sql, schema=fixture("schema.json"))
    assert [s.rows for s in as_ddl] == [s.rows for s in as_json]
    assert [s.columns for s in as_ddl] == [s.columns for s in as_json]


def test_unqualified_column_among_several_sources_is_flagged_ambiguous():
    statement = analyse_sql("SELECT id, o.amount FROM orders o JOIN customers c ON c.id = o.cid")[0]
    first, second = statement.rows
    using = analyse_sql("SELECT id FROM orders o JOIN customers c USING (id)")[0].rows
    assert [(r.table_name, r.ambiguous) for r in using] == [("orders", False), ("customers", False)]
    assert first.ambiguous and first.column_table == "" and first.table_name == "orders"
    assert not second.ambiguous
    resolved = analyse_sql("SELECT id, o.amount FROM orders o JOIN customers c ON c.id = o.cid",
                           schema={"": {"orders": {"amount": "INT"}, "customers": {"id": "INT"}}})
    assert [(r.table_name, r.ambiguous) for r in resolved[0].rows] == [
        ("customers", False), ("orders", False)]


def test_unqualified_column_goes_to_the_source_that_has_it():
    rows = analyse_sql("SELECT total, c.name FROM (SELECT o.cid, SUM(o.amt) AS total FROM orders o "
                       "GROUP BY o.cid) s JOIN customers c ON c.id = s.cid")[0].rows
    assert [(r.table_name, r.column_name, r.ambiguous) for r in rows] == [
        ("orders", "amt", False), ("customers", "name", False)]


def test_unsupported_item_costs_only_its_own_position():
    statement = analyse_sql("SELECT t.a, g.v, t.b FROM t, UNNEST(t.arr) AS g(v)")[0]
    assert [(r.position, r.column_name, r.table_name) for r in statement.rows] == [
        (1, "a", "t"), (2, "v", None), (3, "b", "t")]
    note = statement.rows[1].note
    assert note.startswith("not supported: UNNEST(") and not statement.rows[1].resolved


def test_unaliased_expression_is_one_output_column():
    statement = analyse_sql("SELECT a.x + b.y FROM a JOIN b ON a.id = b.id")[0]
    assert [(c.position, c.output_name) for c in statement.columns] == [(1, "a.x + b.y")]
    assert {(r.position, r.output_name, r.table_name) for r in statement.rows} == {
        (1, "a.x + b.y", "a"), (1, "a.x + b.y", "b")}


def test_each_query_is_analysed_once_however_often_it_is_read(monkeypatch):
    calls = []
    analyse = trace.Tracer.analyse
    monkeypatch.setattr(trace.Tracer, "analyse",
                        lambda self, select, items: calls.append(select) or analyse(self, select, items))
    sql = ("WITH u AS (SELECT a.x FROM a UNION SELECT b.x FROM b UNION SELECT c.x FROM c) "
           "SELECT p.x, q.x, r.x FROM u p JOIN u q ON 1 = 1 JOIN u r ON 1 = 1")
    assert lineage(sql) == [{"a.x", "b.x", "c.x"}] * 3
    assert len(calls) == 4 and len({id(select) for select in calls}) == 4


def test_with_before_insert_and_replace_are_read():
    statements = analyse_sql("WITH s AS (SELECT t.a FROM t) INSERT INTO x SELECT s.a FROM s; "
                             "REPLACE x (b) SELECT t.b FROM t")
    assert [(s.kind, s.target_table, [c.target_column for c in s.columns]) for s in statements] == [
        ("INSERT", "x", ["a"]), ("REPLACE", "x", ["b"])]
    assert [[r.table_name for r in s.rows] for s in statements] == [["t"], ["t"]]


@pytest.mark.parametrize("sql, names", [
    ("SELECT DISTINCT count(*), sum(o.amount)*2, o.a + o.b AS s, o.b, max(o.x) FROM o",
     ["count(*)", "sum(o.amount)*2", "s", "b", "max(o.x)"]),
    ("INSERT INTO t (a, b) SELECT concat(x.a, '-', x.b), now() FROM x UNION SELECT 1, 2",
     ["concat(x.a, '-', x.b)", "now()"]),
    ("WITH c AS (SELECT a FROM t) SELECT lower(c.a) FROM c", ["lower(c.a)"]),
    ("(SELECT upper(a) FROM t) UNION SELECT b FROM u", ["UPPER(a)"]),
])
def test_unaliased_items_are_named_as_written(sql, names):
    statement, = analyse_sql(sql)
    assert [column.output_name for column in statement.columns] == names


@pytest.mark.parametrize("sql, expected", [
    pytest.param("SELECT o.amount AS id, id FROM orders o", [{"orders.amount"}, {"orders.id"}],
                 id="a select-list alias is not visible to later items"),
    pytest.param("SELECT email FROM orders o JOIN customers c ON c.id = o.nope "
                 "WHERE missing = 1 GROUP BY unknown HAVING gone > 0 ORDER BY absent",
                 [{"customers.email"}], id="unknown names outside the select list"),
    pytest.param("WITH s AS (SELECT customer_id, SUM(amount) AS total FROM orders GROUP BY 1) "
                 "INSERT INTO mart.spend SELECT email, total FROM s JOIN customers ON id = customer_id",
                 [{"customers.email"}, {"orders.amount"}], id="WITH before INSERT"),
    pytest.param("SELECT * FROM orders JOIN customers USING (id)",
                 [{"orders.id", "customers.id"}, {"orders.customer_id"}, {"orders.amount"},
                  {"customers.email"}, {"customers.segment"}],
                 id="star over a join USING lists the coalesced column first"),
    pytest.param("SELECT id, email, amount FROM orders NATURAL JOIN customers",
                 [{"orders.id", "customers.id"}, {"customers.email"}, {"orders.amount"}],
                 id="NATURAL JOIN coalesces the shared columns"),
])
def test_lineage_with_a_schema(sql, expected):
    assert lineage(sql, schema=fixture("schema.json")) == expected


def test_qualification_keeps_the_module_view_of_the_text():
    statement, = analyse_sql("SELECT amount, SUM(amount) * 2 FROM orders", schema=fixture("schema.sql"))
    assert [(c.output_name, c.sql) for c in statement.columns] == [
        ("amount", "amount"), ("SUM(amount) * 2", "SUM(amount) * 2")]
    assert [(r.column_alias, r.column_table, r.table_alias) for r in statement.rows] == [
        ("amount", "", ""), ("amount", "", "")]


def test_natural_join_reads_each_shared_column_from_the_sources_that_hold_it():
    schema = {"": {"a": {"x": "INT", "p": "INT"}, "b": {"k": "INT", "q": "INT"},
                   "c": {"k": "INT", "x": "INT"}}}
    assert lineage("SELECT k, x, p, q FROM a JOIN b ON a.x = b.q NATURAL JOIN c", schema=schema) == [
        {"b.k", "c.k"}, {"a.x", "c.x"}, {"a.p"}, {"b.q"}]
