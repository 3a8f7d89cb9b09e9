"""Scripts as the server runs them, beyond the hand-labelled fixtures: the
tables a script defines as it goes, the writes of UPDATE, ON DUPLICATE KEY
UPDATE and triggers, where messages place a statement, and how statements
that move no data are counted."""

import pytest

from column_lineage import analyse_sql
from column_lineage.summary import Summary
from column_lineage.rows import FileLineage


def sources(statement):
    """Per output position: target (db.table.column) and the base columns read."""
    found = {}
    for column in statement.columns:
        found[column.position] = (f"{column.target_db}.{column.target_table}.{column.target_column}",
                                  set())
    for row in statement.rows:
        if row.resolved and row.column_type in ("column", "subquery"):
            found[row.position][1].add(
                f"{row.table_db}.{row.table_name}.{row.column_name}".lower())
    return [found[position] for position in sorted(found)]


def select_sources(statement):
    return [(name, columns) for (_, columns), name in
            zip(sources(statement), [column.output_name for column in statement.columns])]


@pytest.mark.parametrize("script, expected", [
    # a created table settles * and an unqualified column of a later select
    ("USE s; CREATE TABLE t (k INT, q INT); SELECT *, b FROM t JOIN x ON x.k = t.k",
     [("k", {"s.t.k"}), ("q", {"s.t.q"}), ("x.*", {"s.x.*"}), ("b", {"s.x.b"})]),
    # dropped: its columns are unknown again
    ("USE s; CREATE TABLE t (k INT); DROP TABLE t; SELECT * FROM t", [("t.*", {"s.t.*"})]),
    # renamed, then altered: the new name has the columns, one more and one fewer
    ("USE s; CREATE TABLE t (k INT, q INT); RENAME TABLE t TO u; "
     "ALTER TABLE u ADD COLUMN z INT, DROP COLUMN q; SELECT * FROM u",
     [("k", {"s.u.k"}), ("z", {"s.u.z"})]),
    ("USE s; CREATE TABLE t (k INT); ALTER TABLE t RENAME TO u; SELECT * FROM u", [("k", {"s.u.k"})]),
    # LIKE copies the columns, case does not matter
    ("USE s; CREATE TABLE t (k INT, q INT); CREATE TABLE c LIKE T; SELECT * FROM S.C",
     [("k", {"s.c.k"}), ("q", {"s.c.q"})]),
    # a view's columns are its output names
    ("CREATE VIEW s.v AS SELECT o.a AS x, o.b FROM s.o o; SELECT * FROM s.v",
     [("x", {"s.v.x"}), ("b", {"s.v.b"})]),
    # USE names a database whatever the word, quoted or not
    ("USE s; USE warehouse; SELECT o.a FROM o", [("a", {"warehouse.o.a"})]),
    ("USE s; USE `schema`; SELECT o.a FROM o", [("a", {"schema.o.a"})]),
    ("USE role; SELECT o.a FROM o", [("a", {"role.o.a"})]),
])
def test_the_scripts_own_tables_are_schema_for_what_follows(script, expected):
    assert select_sources(analyse_sql(script)[-1]) == expected


def test_a_script_table_shadows_the_schema_and_a_routine_keeps_its_own():
    schema = {"s": {"t": {"old": "INT"}}}
    script = """USE s;
SELECT * FROM t;
CREATE TEMPORARY TABLE t (k INT);
INSERT INTO m.x SELECT * FROM t;
DELIMITER $$
CREATE PROCEDURE p() BEGIN
  CREATE TEMPORARY TABLE w (inner_col INT);
  INSERT INTO m.y SELECT * FROM w;
END $$
DELIMITER ;
SELECT * FROM w"""
    statements = analyse_sql(script, schema=schema)
    assert [statement.label for statement in statements] == ["1", "2", "3", "4", "5", "5.2", "6"]
    assert select_sources(statements[1]) == [("old", {"s.t.old"})]
    assert sources(statements[3]) == [("m.x.k", {"s.t.k"})]
    assert sources(statements[5]) == [("m.y.inner_col", {"s.w.inner_col"})]
    assert select_sources(statements[6]) == [("w.*", {"s.w.*"})]  # the body's table stays in it


@pytest.mark.parametrize("sql, expected", [
    # the assigned column is never its own source; another column of its row is
    ("UPDATE s.t SET a = a + b, b = a", [("s.t.a", {"s.t.b"}), ("s.t.b", {"s.t.a"})]),
    # one table: assigned left to right, a column assigned before reads its new value
    ("UPDATE s.t SET a = b, b = a, c = DEFAULT, d = UTC_TIMESTAMP",
     [("s.t.a", {"s.t.b"}), ("s.t.b", set()), ("s.t.c", set()), ("s.t.d", set())]),
    # a star of unknown columns into a table of known ones fills them all
    ("CREATE TABLE s.r (d DATE, c INT, q INT); INSERT INTO s.r SELECT 1, y.* FROM s.y",
     [("s.r.d", set()), ("s.r.c", {"s.y.*"}), ("s.r.q", {"s.y.*"})]),
    # multi-table: each assignment writes the table its qualifier names
    ("UPDATE s.t1 JOIN s.t2 ON t2.id = t1.id SET t1.a = t2.b + 1, t2.c = t1.a",
     [("s.t1.a", {"s.t2.b"}), ("s.t2.c", {"s.t1.a"})]),
    # a self-join: the other row's column is a source
    ("UPDATE s.t JOIN s.t AS p ON p.id = t.parent SET t.a = p.a + t.a", [("s.t.a", {"s.t.a"})]),
    # a correlated scalar subquery
    ("UPDATE s.d d SET d.total = (SELECT SUM(o.amount) FROM s.o o WHERE o.d = d.id)",
     [("s.d.total", {"s.o.amount"})]),
    # ON DUPLICATE KEY UPDATE: VALUES(c) is the inserted c, the existing row is not b's source
    ("INSERT INTO s.t (a, b) SELECT x.a, x.b FROM s.x ON DUPLICATE KEY UPDATE "
     "b = b + VALUES(b), seen = x.ts, n = t.a",
     [("s.t.a", {"s.x.a"}), ("s.t.b", {"s.x.b"}), ("s.t.seen", {"s.x.ts"}), ("s.t.n", {"s.t.a"})]),
    ("INSERT INTO s.t (a, b) VALUES (1, (SELECT MAX(y.v) FROM s.y)) AS new (p, q) "
     "ON DUPLICATE KEY UPDATE a = new.q",
     [("s.t.a", {"s.y.v"}), ("s.t.b", {"s.y.v"})]),
    # rows of VALUES add up
    ("INSERT INTO s.t (a) VALUES (1), ((SELECT y.v FROM s.y LIMIT 1)), (2)", [("s.t.a", {"s.y.v"})]),
])
def test_writes_outside_a_select_list(sql, expected):
    assert sources(analyse_sql(sql)[-1]) == expected


def test_a_trigger_reads_its_table_through_new_and_old_and_variables_read_nothing():
    script = """DELIMITER ;;
CREATE TRIGGER shop.trg BEFORE UPDATE ON shop.orders FOR EACH ROW BEGIN
  DECLARE factor INT DEFAULT 2;
  SET NEW.total = NEW.qty * factor, @calls = @calls + 1;
  INSERT INTO shop.audit (id, was, now_is) VALUES (OLD.id, OLD.total, NEW.total * factor);
END;;
DELIMITER ;"""
    head, set_total, audit = analyse_sql(script)
    assert (head.kind, head.moves_data, set_total.label, audit.label) == \
        ("CREATE TRIGGER", False, "1.2", "1.3")
    assert sources(set_total) == [("shop.orders.total", {"shop.orders.qty"})]
    assert sources(audit) == [("shop.audit.id", {"shop.orders.id"}),
                              ("shop.audit.was", {"shop.orders.total"}),
                              ("shop.audit.now_is", {"shop.orders.total"})]
    assert {row.table_alias for row in audit.rows} == {"OLD", "NEW"}


def test_messages_place_statements_as_the_server_runs_them():
    script = "-- header\n/*!40101 SET NAMES utf8 */;\nDELIMITER //\nSELECT 1//\n" \
        "CREATE PROCEDURE p() BEGIN\n  SELECT 1;\n  SELECT FROM WHERE;\nEND//\nDELIMITER ;\n" \
        "SELECT\n  FROM WHERE;"
    statements = analyse_sql(script)
    assert [(s.label, s.kind, s.line) for s in statements] == [
        ("1", "SET", 2), ("2", "SELECT", 4), ("3", "CREATE PROCEDURE", 5), ("3.1", "SELECT", 6),
        ("3.2", "SELECT", 7), ("4", "SELECT", 10)]
    assert statements[4].error.startswith("parse error at line 7, column ")
    assert statements[5].error.startswith("parse error at line 11, column ")


def test_the_summary_counts_statements_moving_no_data_by_kind():
    statements = analyse_sql("SET NAMES utf8; USE s; SET @a = 1; LOCK TABLES t WRITE; "
                             "INSERT INTO t VALUES (1); UNLOCK TABLES; CALL p()")
    summary = Summary()
    summary.add(FileLineage("f.sql", statements))
    assert (summary.statements, summary.columns, summary.skipped) == (7, 1, 1)
    assert summary.line().endswith(
        "1 skipped statements, 0 failed files; moving no data: "
        "2 SET, 1 LOCK TABLES, 1 UNLOCK TABLES, 1 USE")


@pytest.mark.parametrize("sql", [
    "INSERT INTO t VALUES (1, 'a', NULL), (-2, 'b', 3.5), (+3, X'0F', b'1');",
    "INSERT INTO t (x, y) VALUES (o.a, 1), (2, 'z')",  # the first row reads a column
    "INSERT INTO t (x, y) VALUES (1, 2), (o.a, 3)",  # a later row does: parsed whole
    "INSERT INTO t (x) VALUES (1), (NOW())",
    "INSERT INTO t (x) VALUES (1), (2) ON DUPLICATE KEY UPDATE x = VALUES(x) + s.y",
    "INSERT INTO t (x) VALUES (1), (2) AS new ON DUPLICATE KEY UPDATE x = new.x",
    "REPLACE INTO t (x, y) VALUES ('a', 'b'), ('c', 'd')",
    "INSERT INTO t (x) VALUES (1), (2), (",  # cut short: the error of the whole
])
def test_a_dumps_rows_after_the_first_are_not_parsed_yet_give_the_same(sql, monkeypatch):
    from column_lineage import statements
    fast = analyse_sql(sql, schema={"": {"t": {"x": "INT", "y": "INT", "z": "INT"}}})
    monkeypatch.setattr(statements, "first_row_end", lambda tokens: None)
    whole = analyse_sql(sql, schema={"": {"t": {"x": "INT", "y": "INT", "z": "INT"}}})
    assert fast == whole
