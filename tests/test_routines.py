"""read_routine: the header of a procedure, function, trigger or event and the
simple statements of its body, with their places, lines and variables."""

import pytest

from column_lineage.routines import RoutineError, read_routine

# A procedure as a `DELIMITER $$` script holds it; the splitter hands over the
# text between the DELIMITER line and `$$`.
SCRIPT = """\
DELIMITER $$
CREATE DEFINER=`etl`@`%` PROCEDURE `etl`.`load_day`(IN p_Day DATE, p_mode VARCHAR(9) CHARSET utf8)
BEGIN
  DECLARE v_n, V_Total INT DEFAULT 0;
  DECLARE done BOOL DEFAULT FALSE;
  DECLARE c CURSOR FOR
    SELECT id, amount FROM orders WHERE day = p_day;
  DECLARE CONTINUE HANDLER FOR NOT FOUND SET done = TRUE;
  IF p_mode = 'full; END' THEN           -- END IF; BEGIN
    DELETE FROM mart.daily WHERE day = p_day;
  ELSEIF p_mode IN ('BEGIN', "END") THEN
    UPDATE mart.daily SET n = 0 /* ; END */ WHERE day = p_day;
  ELSE
    SELECT COUNT(*) INTO v_n FROM orders;
  END IF;
  OPEN c;
  fetch_rows: LOOP
    FETCH c INTO v_n, v_total;
    IF done THEN
      LEAVE fetch_rows;
    END IF;
    INSERT INTO mart.daily (day, n) VALUES (p_day, v_n);
  END LOOP fetch_rows;
  CLOSE c;
  REPLACE INTO mart.runs VALUES (p_day, 'done')  ;
END$$
DELIMITER ;
"""

NESTED = """\
CREATE PROCEDURE nest(n INT)
outer_block: BEGIN
  DECLARE i INT DEFAULT 0;
  DECLARE EXIT HANDLER FOR SQLEXCEPTION
  BEGIN
    DECLARE msg TEXT;
    GET DIAGNOSTICS CONDITION 1 msg = MESSAGE_TEXT;
  END;
  inner_block: BEGIN
    DECLARE j INT DEFAULT CASE WHEN n > 0 THEN n ELSE 1 END;
    counting: WHILE i < j AND @do IS NULL DO
      SET i = i + 1;
      REPEAT
        SET j = j - 1;
      UNTIL CASE WHEN j < 0 THEN TRUE ELSE j = i END END REPEAT;
    END WHILE Counting;
  END inner_block;
  CASE n
    WHEN 1 THEN SET i = CASE i WHEN 0 THEN 1 END;
    WHEN 2 THEN BEGIN END;
    ELSE spin: LOOP LEAVE spin; END LOOP spin;
  END CASE;
  SELECT i;
END outer_block"""

PARAMS = {"p_day", "p_mode"}
FETCHED = PARAMS | {"v_n", "v_total", "done"}


def rows(text):
    """(place, line, sql, variables, cursor) of each statement of the body."""
    return [(s.place, s.line, s.sql, set(s.variables), s.cursor) for s in read_routine(text).body]


@pytest.mark.parametrize("text, expected", [
    (SCRIPT.split("\n", 1)[1].split("$$")[0], [
        (1, 3, "DECLARE v_n, V_Total INT DEFAULT 0", PARAMS, None),
        (2, 4, "DECLARE done BOOL DEFAULT FALSE", PARAMS | {"v_n", "v_total"}, None),
        (3, 6, "SELECT id, amount FROM orders WHERE day = p_day", FETCHED, "c"),
        (4, 7, "DECLARE CONTINUE HANDLER FOR NOT FOUND SET done = TRUE", FETCHED, None),
        (5, 9, "DELETE FROM mart.daily WHERE day = p_day", FETCHED, None),
        (6, 11, "UPDATE mart.daily SET n = 0 /* ; END */ WHERE day = p_day", FETCHED, None),
        (7, 13, "SELECT COUNT(*) INTO v_n FROM orders", FETCHED, None),
        (8, 15, "OPEN c", FETCHED, None),
        (9, 17, "FETCH c INTO v_n, v_total", FETCHED, None),
        (10, 19, "LEAVE fetch_rows", FETCHED, None),
        (11, 21, "INSERT INTO mart.daily (day, n) VALUES (p_day, v_n)", FETCHED, None),
        (12, 23, "CLOSE c", FETCHED, None),
        (13, 24, "REPLACE INTO mart.runs VALUES (p_day, 'done')", FETCHED, None),
    ]),
    (NESTED, [  # a handler's block and inner blocks: their DECLAREs stay inside them
        (1, 3, "DECLARE i INT DEFAULT 0", {"n"}, None),
        (2, 4, "DECLARE EXIT HANDLER FOR SQLEXCEPTION", {"n", "i"}, None),
        (3, 6, "DECLARE msg TEXT", {"n", "i"}, None),
        (4, 7, "GET DIAGNOSTICS CONDITION 1 msg = MESSAGE_TEXT", {"n", "i", "msg"}, None),
        (5, 10, "DECLARE j INT DEFAULT CASE WHEN n > 0 THEN n ELSE 1 END", {"n", "i"}, None),
        (6, 12, "SET i = i + 1", {"n", "i", "j"}, None),
        (7, 14, "SET j = j - 1", {"n", "i", "j"}, None),
        (8, 19, "SET i = CASE i WHEN 0 THEN 1 END", {"n", "i"}, None),
        (9, 21, "LEAVE spin", {"n", "i"}, None),
        (10, 23, "SELECT i", {"n", "i"}, None),
    ]),
])
def test_body_statements(text, expected):
    assert rows(text) == expected


@pytest.mark.parametrize("text, header, body", [
    ("CREATE  DEFINER=`root`@`localhost`  TRIGGER `shop`.`orders_au` AFTER UPDATE ON `orders` "
     "FOR EACH ROW BEGIN\n  INSERT INTO audit_log VALUES (NEW.id, OLD.total, NEW.total);\nEND   ",
     ("TRIGGER", "shop", "orders_au", (), None, "orders", "UPDATE", "AFTER"),
     [(1, 2, "INSERT INTO audit_log VALUES (NEW.id, OLD.total, NEW.total)", set(), None)]),
    ("CREATE DEFINER='app'@'%' TRIGGER trg_bi BEFORE INSERT ON shop.orders FOR EACH ROW "
     "FOLLOWS trg_other SET NEW.total = NEW.qty * NEW.price",
     ("TRIGGER", None, "trg_bi", (), "shop", "orders", "INSERT", "BEFORE"),
     [(1, 1, "SET NEW.total = NEW.qty * NEW.price", set(), None)]),
    ("CREATE FUNCTION IF NOT EXISTS shop.net_price(p DECIMAL(10,2), Rate DOUBLE)\n"
     "RETURNS DECIMAL(12,2) UNSIGNED\n  COMMENT 'price; BEGIN'\n  LANGUAGE SQL\n"
     "  NOT DETERMINISTIC\n  READS SQL DATA\n  SQL SECURITY INVOKER\nRETURN p * (1 + rate)",
     ("FUNCTION", "shop", "net_price", ("p", "Rate"), None, None, None, None),
     [(1, 8, "RETURN p * (1 + rate)", {"p", "rate"}, None)]),
    ("CREATE DEFINER=root@localhost FUNCTION f(s TEXT) RETURNS VARCHAR(20) CHARACTER SET utf8mb4 "
     "DETERMINISTIC BEGIN DECLARE r TEXT; SET r = s; RETURN r; END",
     ("FUNCTION", None, "f", ("s",), None, None, None, None),
     [(1, 1, "DECLARE r TEXT", {"s"}, None), (2, 1, "SET r = s", {"s", "r"}, None),
      (3, 1, "RETURN r", {"s", "r"}, None)]),
    ("CREATE OR REPLACE DEFINER=CURRENT_USER() PROCEDURE p(INOUT `Count` INT, OUT x ENUM('a,b')) "
     "CALL q(x)",
     ("PROCEDURE", None, "p", ("Count", "x"), None, None, None, None),
     [(1, 1, "CALL q(x)", {"count", "x"}, None)]),
    ("CREATE DEFINER=`root`@`localhost` EVENT `shop`.`nightly`\n"
     "ON SCHEDULE EVERY 1 DAY STARTS '2024-01-01 02:00:00' + INTERVAL 1 HOUR\n"
     "ON COMPLETION NOT PRESERVE ENABLE COMMENT 'rebuild; DO it'\nDO BEGIN\n"
     "  DELETE FROM shop.daily;\n  INSERT INTO shop.daily SELECT d, SUM(t) FROM shop.orders;\nEND",
     ("EVENT", "shop", "nightly", (), None, None, None, None),
     [(1, 5, "DELETE FROM shop.daily", set(), None),
      (2, 6, "INSERT INTO shop.daily SELECT d, SUM(t) FROM shop.orders", set(), None)]),
])
def test_headers(text, header, body):
    routine = read_routine(text)
    assert (routine.kind, routine.db, routine.name, routine.parameters, routine.table_db,
            routine.table, routine.event, routine.timing) == header
    assert rows(text) == body


@pytest.mark.parametrize("text, message", [
    ("CREATE PROCEDURE p() BEGIN\n  SELECT 1;\n", r"^PROCEDURE p: BEGIN at line 1 is not closed"),
    ("CREATE PROCEDURE p() BEGIN\n IF a THEN SELECT 1;\n END;\nEND",
     r"IF at line 2 needs END IF, found ';' at line 3"),
    ("CREATE PROCEDURE p() BEGIN\n IF a THEN SELECT 1; END IF END", r"expected ; after END IF"),
    ("CREATE PROCEDURE p() BEGIN\n SELECT 'END;\nEND", r"^PROCEDURE: unterminated string .* 2"),
    ("CREATE TRIGGER t BEFORE INSERT ON x FOR EACH ROW /* END", r"unterminated comment .* line 1"),
    ("CREATE PROCEDURE p() a: BEGIN\nEND b", r"BEGIN at line 1 has label a but END b at line 2"),
    ("CREATE PROCEDURE p() BEGIN\n LOOP SELECT 1; END WHILE; END", r"LOOP at line 2 needs END LOOP"),
    ("CREATE PROCEDURE p() BEGIN\n WHILE x\n SET x = 1; END WHILE; END", r"WHILE at line 2: .*DO"),
    ("CREATE PROCEDURE p() BEGIN\n CASE x END CASE;\nEND", r"CASE at line 2: expected WHEN"),
    ("CREATE PROCEDURE p() BEGIN ELSE SELECT 1; END", r"ELSE at line 1 is out of place"),
    ("CREATE PROCEDURE p() BEGIN\n SELECT (1; END", r"\( at line 2 is not closed"),
    ("CREATE PROCEDURE p() BEGIN x: SELECT 1; END", r"label x: must precede BEGIN"),
    ("CREATE PROCEDURE p() BEGIN END; SELECT 1", r"expected the end of the body, found 'SELECT'"),
    ("CREATE PROCEDURE p BEGIN END", r"expected \( and the parameters"),
    ("CREATE TRIGGER t ON x FOR EACH ROW SET a = 1", r"^TRIGGER t: expected BEFORE or AFTER"),
    ("CREATE EVENT e ON SCHEDULE EVERY 1 DAY", r"expected DO"),
    ("CREATE FUNCTION f() RETURNS INT", r"expected the body, found the end of the text"),
    ("CREATE PROCEDURE p() " + "BEGIN " * 150 + "END; " * 149 + "END", r"nested deeper than"),
])
def test_unreadable_routines(text, message):
    with pytest.raises(RoutineError, match=message):
        read_routine(text)


@pytest.mark.parametrize("text", [
    "CREATE TABLE t (a INT)",
    "CREATE VIEW v AS SELECT 1",
    "CREATE ALGORITHM=UNDEFINED DEFINER=`root`@`localhost` SQL SECURITY DEFINER VIEW v AS SELECT 1",
    "SELECT 'BEGIN' FROM t",
    "SELECT 'unterminated",
    "CREATE FUNCTION f RETURNS STRING SONAME 'lib.so'",
    "",
])
def test_other_statements_are_not_routines(text):
    assert read_routine(text) is None
