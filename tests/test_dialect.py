"""LineageMySQL reads the MySQL 8 of ETL scripts and mysqldump files into the
same trees on sqlglot 27 (pure Python) and 30 (compiled); run under both."""

from __future__ import annotations

import pytest
from sqlglot import exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.dialects.mysql import MySQL
from sqlglot.errors import ParseError

from column_lineage.dialect import (LineageMySQL, altered_columns, dialect_for, renamed_tables,
                                    select_into)

MYSQL = dialect_for("mysql")


def parse(sql: str) -> exp.Expression:
    """The one tree of `sql`, checked to generate SQL again."""
    trees = MYSQL.parse(sql)
    assert len(trees) == 1 and trees[0] is not None
    trees[0].sql(dialect=MYSQL)
    return trees[0]


# Statements of ETL scripts and mysqldump files, and the tree each must be;
# those that move data are never a Command.
STATEMENTS = [
    ("WITH RECURSIVE r (n) AS (SELECT 1 UNION ALL SELECT n + 1 FROM r WHERE n < 5) SELECT n FROM r",
     exp.Select),
    ("SELECT a, SUM(b) OVER (PARTITION BY a ORDER BY c ROWS BETWEEN UNBOUNDED PRECEDING AND "
     "CURRENT ROW), RANK() OVER w FROM t WINDOW w AS (PARTITION BY a ORDER BY b)", exp.Select),
    ("SELECT a.x, l.y FROM a, LATERAL (SELECT b.y FROM b WHERE b.id = a.id LIMIT 1) AS l",
     exp.Select),
    ("SELECT a, b, SUM(c) FROM t GROUP BY a, b WITH ROLLUP", exp.Select),
    ("SELECT a FROM t WHERE b = 1 FOR UPDATE", exp.Select),
    ("SELECT a FROM t FOR SHARE SKIP LOCKED", exp.Select),
    ("SELECT a FROM t LOCK IN SHARE MODE", exp.Select),
    ("SELECT STRAIGHT_JOIN a.x FROM a STRAIGHT_JOIN b ON a.id = b.id", exp.Select),
    ("SELECT a FROM t FORCE INDEX FOR JOIN (i1, i2) JOIN u USE INDEX (i3) IGNORE INDEX (i4) "
     "ON t.id = u.id", exp.Select),
    ("SELECT a FROM t PARTITION (p0, p1)", exp.Select),
    ("SELECT /*+ MAX_EXECUTION_TIME(1000) */ CAST(a AS DECIMAL(10,2)), CAST(b AS CHAR), "
     "CAST(c AS SIGNED), CONVERT(d USING utf8mb4) FROM t", exp.Select),
    ("SELECT GROUP_CONCAT(DISTINCT a ORDER BY b DESC SEPARATOR ';'), JSON_ARRAYAGG(a), "
     "JSON_OBJECTAGG(k, v) FROM t GROUP BY c", exp.Select),
    ("SELECT doc->'$.a', doc->>'$.b' FROM t WHERE 3 MEMBER OF (doc->'$.ids')", exp.Select),
    ("SELECT d + INTERVAL 1 DAY, d - INTERVAL '1:30' HOUR_MINUTE FROM t", exp.Select),
    ("SELECT _utf8mb4'x' COLLATE utf8mb4_bin, b'101', X'ff', @@session.sql_mode", exp.Select),
    ("SELECT @a := @a + 1 AS rn, t.* FROM t, (SELECT @a := 0) r", exp.Select),
    ("select `o`.`id` AS `id`,count(0) AS `n` from (`shop`.`orders` `o` join `shop`.`items` `i` "
     "on((`i`.`order_id` = `o`.`id`))) group by `o`.`id`", exp.Select),
    ("SELECT a FROM t EXCEPT SELECT a FROM u", exp.Except),
    ("SELECT a FROM t INTERSECT SELECT a FROM u", exp.Intersect),
    ("TABLE t ORDER BY a LIMIT 2", exp.Select),
    ("VALUES ROW(1, 2), ROW(3, 4)", exp.Values),
    ("CREATE TABLE t SELECT a, b FROM u", exp.Create),
    ("CREATE TABLE t (a INT) SELECT a FROM u", exp.Create),
    ("CREATE TABLE t (a INT) IGNORE SELECT a FROM u", exp.Create),
    ("CREATE TABLE t2 AS TABLE t1", exp.Create),
    ("CREATE TABLE t LIKE u", exp.Create),
    ("CREATE TEMPORARY TABLE IF NOT EXISTS tmp (a INT PRIMARY KEY) ENGINE=InnoDB", exp.Create),
    ("CREATE TABLE t (a INT, UNIQUE INDEX u (a ASC) VISIBLE, INDEX i (a ASC) VISIBLE)", exp.Create),
    ("CREATE TABLE t (a INT, d DATE) PARTITION BY RANGE (YEAR(d)) (PARTITION p0 VALUES LESS "
     "THAN (2020) ENGINE = InnoDB, PARTITION p1 VALUES LESS THAN MAXVALUE ENGINE = InnoDB)",
     exp.Create),
    ("CREATE TABLE t (a INT) PARTITION BY HASH (a) PARTITIONS 4", exp.Create),
    ("CREATE OR REPLACE ALGORITHM=UNDEFINED DEFINER=`root`@`localhost` SQL SECURITY DEFINER "
     "VIEW v (a, b) AS SELECT x, y FROM t", exp.Create),
    ("CREATE DEFINER=CURRENT_USER SQL SECURITY INVOKER VIEW v AS SELECT a FROM t "
     "WITH CASCADED CHECK OPTION", exp.Create),
    ("ALTER ALGORITHM=MERGE VIEW v AS SELECT a FROM t", exp.Alter),
    ("INSERT INTO t (a, b) SELECT x, y FROM u ON DUPLICATE KEY UPDATE a = VALUES(a)", exp.Insert),
    ("INSERT INTO t (a, b) VALUES (1, 2) AS new(x, y) ON DUPLICATE KEY UPDATE b = y", exp.Insert),
    ("INSERT INTO t (a) VALUE (1)", exp.Insert),
    ("WITH c AS (SELECT id FROM u) UPDATE t JOIN c ON c.id = t.id SET t.a = 1", exp.Update),
    ("DELETE FROM t WHERE a = 1 ORDER BY b LIMIT 10", exp.Delete),
    ("LOAD DATA LOCAL INFILE '/tmp/x.csv' REPLACE INTO TABLE t FIELDS TERMINATED BY ',' "
     "LINES TERMINATED BY '\\n' IGNORE 1 LINES (a, @b) SET c = @b", exp.LoadData),
    ("TRUNCATE TABLE t", exp.TruncateTable),
    ("TRUNCATE t", exp.TruncateTable),
    ("DROP TEMPORARY TABLE IF EXISTS a, b", (exp.Drop, exp.Command)),
    ("SET NAMES utf8mb4", exp.Set),
    ("SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO'", exp.Set),
    ("SET FOREIGN_KEY_CHECKS=0", exp.Set),
    ("LOCK TABLES `t` WRITE, `u` READ LOCAL", exp.Command),
    ("UNLOCK TABLES", exp.Command),
    ("CREATE DATABASE IF NOT EXISTS `shop` DEFAULT CHARACTER SET utf8mb4", exp.Create),
    ("START TRANSACTION WITH CONSISTENT SNAPSHOT", exp.Transaction),
    ("COMMIT", exp.Commit),
    ("CALL p(1)", exp.Command),
    ("CREATE INDEX i ON t (a, b)", exp.Create),
    ("ANALYZE TABLE t", exp.Analyze),
    ("FLUSH TABLES", exp.Command),
    ("DEALLOCATE PREPARE s", exp.Command),
]


@pytest.mark.parametrize("sql, kind", STATEMENTS)
def test_statement_parses_to(sql: str, kind: type | tuple[type, ...]) -> None:
    assert isinstance(parse(sql), kind)


# A statement with MySQL's modifiers, and the same without them.
SAME_AS = [
    ("INSERT LOW_PRIORITY INTO t (a) VALUES (1)", "INSERT INTO t (a) VALUES (1)"),
    ("INSERT /*+ BKA(t) */ HIGH_PRIORITY IGNORE t SELECT a FROM u",
     "INSERT /*+ BKA(t) */ IGNORE INTO t SELECT a FROM u"),
    ("INSERT DELAYED INTO t VALUES ROW(1, 2), ROW(3, 4)", "INSERT INTO t VALUES (1, 2), (3, 4)"),
    ("UPDATE LOW_PRIORITY IGNORE t SET a = 1 WHERE b = 2 ORDER BY c LIMIT 3",
     "UPDATE t SET a = 1 WHERE b = 2 ORDER BY c LIMIT 3"),
    ("DELETE LOW_PRIORITY QUICK IGNORE FROM t WHERE a = 1", "DELETE FROM t WHERE a = 1"),
    ("CREATE VIEW v AS SELECT a FROM t WITH CHECK OPTION", "CREATE VIEW v AS SELECT a FROM t"),
    ("CREATE TABLE t (a INT) REPLACE SELECT a FROM u", "CREATE TABLE t (a INT) SELECT a FROM u"),
]


@pytest.mark.parametrize("sql, plain", SAME_AS)
def test_modifiers_leave_the_tree_as_without_them(sql: str, plain: str) -> None:
    assert parse(sql) == parse(plain)


@pytest.mark.parametrize("sql, insert", [
    ("REPLACE INTO t VALUES (1, 2)", "INSERT INTO t VALUES (1, 2)"),
    ("REPLACE LOW_PRIORITY t (a) SELECT a FROM u", "INSERT INTO t (a) SELECT a FROM u"),
    ("REPLACE DELAYED t SET a = 1, b = x", "INSERT INTO t SET a = 1, b = x"),
    ("REPLACE t TABLE u", "INSERT INTO t TABLE u"),
])
def test_replace_is_the_insert_marked_replace(sql: str, insert: str) -> None:
    tree = parse(sql)
    assert tree == parse(insert) and tree.meta["replace"] is True
    assert not parse(insert).meta.get("replace")


@pytest.mark.parametrize("sql, plain, targets", [
    ("SELECT a, b INTO @a, @b FROM t", "SELECT a, b FROM t", ["@a", "@b"]),
    ("SELECT a, b FROM t WHERE c = 1 INTO @a, @`b`", "SELECT a, b FROM t WHERE c = 1",
     ["@a", "@b"]),
    ("SELECT a FROM t ORDER BY a LIMIT 1 FOR UPDATE INTO @a",
     "SELECT a FROM t ORDER BY a LIMIT 1 FOR UPDATE", ["@a"]),
    ("SELECT a FROM t ORDER BY a LIMIT 1 INTO @a FOR UPDATE",
     "SELECT a FROM t ORDER BY a LIMIT 1 FOR UPDATE", ["@a"]),
    ("SELECT SUM(x) INTO v_total FROM t", "SELECT SUM(x) FROM t", ["v_total"]),
    ("SELECT a FROM t INTO OUTFILE 'f' CHARACTER SET utf8mb4 FIELDS TERMINATED BY ',' "
     "OPTIONALLY ENCLOSED BY '\"' LINES TERMINATED BY '\\n'", "SELECT a FROM t", ["OUTFILE 'f'"]),
    ("SELECT a INTO DUMPFILE 'f' FROM t", "SELECT a FROM t", ["DUMPFILE 'f'"]),
    ("SELECT a FROM t UNION SELECT b FROM u INTO @x", "SELECT a FROM t UNION SELECT b FROM u",
     ["@x"]),
    ("WITH c AS (SELECT 1 AS a) SELECT a INTO @x FROM c", "WITH c AS (SELECT 1 AS a) SELECT a FROM c",
     ["@x"]),
])
def test_select_into_keeps_its_targets_off_the_tree(sql: str, plain: str,
                                                    targets: list[str]) -> None:
    tree = parse(sql)
    assert select_into(tree) == targets and select_into(parse(plain)) is None
    assert tree == parse(plain) and not list(tree.find_all(exp.Into))


def test_json_table_columns_are_json_column_defs() -> None:
    tree = parse("SELECT * FROM JSON_TABLE(doc, '$[*]' COLUMNS (v INT PATH '$.v' DEFAULT '1' "
                 "ON EMPTY DEFAULT '0' ON ERROR, w INT PATH '$.w' NULL ON EMPTY, x INT EXISTS "
                 "PATH '$.x', ord FOR ORDINALITY, NESTED PATH '$.n[*]' COLUMNS (n INT PATH '$')))"
                 " AS j")
    columns = [(column.name, column.args.get("path")) for column in tree.find_all(exp.JSONColumnDef)]
    assert [(name, path.name if path else None) for name, path in columns] == [
        ("v", "$.v"), ("w", "$.w"), ("x", "$.x"), ("ord", None), ("", "$.n[*]"), ("n", "$")]


@pytest.mark.parametrize("sql", ["INSERT INTO t SET a = 1, b = x",
                                 "INSERT INTO t SET a = 1, b = x ON DUPLICATE KEY UPDATE a = 2"])
def test_insert_set_is_columns_and_one_values_row(sql: str) -> None:
    tree = parse(sql)
    assert isinstance(tree.this, exp.Schema) and tree.this.this == exp.to_table("t")
    assert tree.this.expressions == [exp.to_identifier("a"), exp.to_identifier("b")]
    assert tree.expression == exp.Values(expressions=[
        exp.Tuple(expressions=[exp.Literal.number(1), exp.column("x")])])
    assert isinstance(tree.args.get("conflict"), exp.OnConflict) == ("DUPLICATE" in sql)


@pytest.mark.parametrize("sql, columns", [("INSERT INTO t2 TABLE t1", None),
                                          ("INSERT INTO t2 (a, b) TABLE t1", ["a", "b"])])
def test_insert_table_is_a_select_star(sql: str, columns: list[str] | None) -> None:
    tree = parse(sql)
    assert tree.expression == parse("SELECT * FROM t1") and not tree.args.get("source")
    assert [c.name for c in tree.this.expressions] == columns if columns else tree.this.name == "t2"


def test_update_of_several_tables_joins_them() -> None:
    tree = parse("UPDATE a, b SET a.x = b.y WHERE a.id = b.id ORDER BY a.id LIMIT 5")
    assert tree.this.name == "a" and [join.this.name for join in tree.this.args["joins"]] == ["b"]
    assert [eq.sql() for eq in tree.expressions] == ["a.x = b.y"]
    assert tree.args["where"] and tree.args["order"] and tree.args["limit"]
    joined = parse("UPDATE a LEFT JOIN (SELECT id, MAX(v) AS m FROM c GROUP BY id) d "
                   "ON d.id = a.id SET a.x = d.m").this.args["joins"][0]
    assert joined.side == "LEFT" and isinstance(joined.this, exp.Subquery)


@pytest.mark.parametrize("sql, tables, this", [
    ("DELETE t1 FROM t1 JOIN t2 ON t1.id = t2.id WHERE t2.x = 1", ["t1"], "t1"),
    ("DELETE FROM t1 USING t1 JOIN t2 ON t1.id = t2.id WHERE t2.x = 1", [], "t1"),
])
def test_multi_table_delete(sql: str, tables: list[str], this: str) -> None:
    tree = parse(sql)
    assert [t.name for t in tree.args.get("tables") or []] == tables and tree.this.name == this


@pytest.mark.parametrize("sql, pairs", [
    ("RENAME TABLE a TO b, db.c TO db.d", [("a", "b"), ("db.c", "db.d")]),
    ("ALTER TABLE t RENAME TO u", [("t", "u")]),
    ("ALTER TABLE t RENAME AS db.u", [("t", "db.u")]),
    ("ALTER TABLE t RENAME u", [("t", "u")]),
    ("ALTER TABLE t ADD c INT", None),
    ("SELECT 1", None),
])
def test_renamed_tables(sql: str, pairs: list[tuple[str, str]] | None) -> None:
    renamed = renamed_tables(parse(sql))
    assert (None if renamed is None else [(old.sql(), new.sql()) for old, new in renamed]) == pairs


@pytest.mark.parametrize("sql, changes", [
    ("ALTER TABLE t ADD COLUMN c INT FIRST, ADD d INT AFTER c, ADD COLUMN (e INT, f INT), "
     "DROP COLUMN g, DROP h, CHANGE COLUMN i j INT, CHANGE k k BIGINT, MODIFY m INT NOT NULL, "
     "RENAME COLUMN n TO o",
     [("add", None, "c", "FIRST"), ("add", None, "d", "AFTER c"), ("add", None, "e", None),
      ("add", None, "f", None), ("drop", "g", None, None), ("drop", "h", None, None),
      ("rename", "i", "j", None), ("rename", "n", "o", None)]),
    ("ALTER TABLE t ADD c INT, ADD INDEX i (c), ADD FULLTEXT KEY f (c), ALGORITHM=INPLACE",
     [("add", None, "c", None)]),
    ("ALTER TABLE t MODIFY COLUMN a INT AFTER b, CHANGE c d INT FIRST, MODIFY e INT",
     [("move", "a", "a", "AFTER b"), ("rename", "c", "d", "FIRST")]),
    ("ALTER TABLE t DROP PRIMARY KEY, DROP INDEX i", []),
    ("ALTER VIEW v AS SELECT 1", None),
    ("RENAME TABLE a TO b", None),
])
def test_altered_columns(sql: str, changes: list[tuple[str, str | None, str | None, str | None]] | None) -> None:
    tree = parse(sql)
    assert altered_columns(tree) == changes
    assert changes is None or isinstance(tree, exp.Alter)


@pytest.mark.parametrize("sql, message", [
    ("SELECT a INTO FROM t", "Expected a variable after INTO"),
    ("SELECT a INTO @x FROM t INTO @y", "multiple 'INTO'"),
    ("SELECT a FROM t INTO OUTFILE", "Expected a file name after OUTFILE"),
    ("RENAME TABLE a b", "Expected TO"),
    ("INSERT INTO t SET a", "Expected column assignment"),
    ("LOAD DATA INFILE 'f' t", "Expected INTO TABLE"),
    ("SELECT * FROM JSON_TABLE(d, '$' COLUMNS (a INT PATH))", "Expected a JSON path"),
])
def test_bad_input_is_a_parse_error(sql: str, message: str) -> None:
    with pytest.raises(ParseError, match=message):
        MYSQL.parse(sql)


@pytest.mark.parametrize("name, kind", [("mysql", LineageMySQL), ("MySQL", LineageMySQL),
                                        ("postgres", Dialect.get_or_raise("postgres").__class__)])
def test_dialect_for(name: str, kind: type) -> None:
    assert type(dialect_for(name)) is kind


def test_dialect_for_keeps_settings_and_refuses_unknown_names() -> None:
    lowercase = dialect_for("mysql, normalization_strategy = lowercase")
    assert isinstance(lowercase, LineageMySQL)
    assert lowercase.normalize_identifier(exp.to_identifier("AbC")).name == "abc"
    for name in ("no_such_dialect", " "):
        with pytest.raises(ValueError):
            dialect_for(name)


def test_sqlglots_own_mysql_is_left_as_it_is() -> None:
    assert type(Dialect.get_or_raise("mysql")) is MySQL
    assert isinstance(Dialect.get_or_raise("mysql").parse("REPLACE INTO t VALUES (1)")[0],
                      exp.Command)


def test_parser_overrides_only_the_methods_meant() -> None:
    """A helper of ours that a later sqlglot also defines would replace its
    method unnoticed."""
    parser = LineageMySQL.Parser
    ours = {name for name, value in vars(parser).items() if callable(value)}
    assert {name for name in ours if hasattr(parser.__mro__[1], name)} == {
        "_parse_alter", "_parse_alter_table_rename", "_parse_ddl_select", "_parse_definer",
        "_parse_delete", "_parse_derived_table_values", "_parse_drop_column", "_parse_insert",
        "_parse_into", "_parse_json_column_def", "_parse_load", "_parse_primary", "_parse_property",
        "_parse_query_modifiers", "_parse_select", "_parse_statement", "_parse_transaction",
        "_parse_unique", "_parse_update", "_parse_value"}
