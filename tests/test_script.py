"""A MySQL script cut into statements as the mysql client cuts it."""

from __future__ import annotations

import random

import pytest
from sqlglot import exp, parse_one

from column_lineage.script import iter_script, split_script


def texts(script: str) -> list[str]:
    return [chunk.text for chunk in split_script(script)]


@pytest.mark.parametrize("script, expected", [
    ("SELECT '--', \"#\", `a;b`, `c``;d`, 'a\\';b', 'it''s;', \"a\\\";b\"; SELECT 2",
     ["SELECT '--', \"#\", `a;b`, `c``;d`, 'a\\';b', 'it''s;', \"a\\\";b\"", "SELECT 2"]),
    ("SELECT 1 /* ;\n */ + 2 -- ;\n, 3 #;\n, 4 --\t;\n; SELECT 5 --",
     ["SELECT 1     \n    + 2     \n, 3   \n, 4", "SELECT 5"]),
    ("SELECT 5 --1; SELECT 5 ---1, 6 ---- x\n;", ["SELECT 5 - -1", "SELECT 5 - - -1, 6 - -"]),
    ("SELECT /*+ BKA(t) ';*/' */ 1; SELECT 2", ["SELECT /*+ BKA(t) ';*/' */ 1", "SELECT 2"]),
    ("SELECT 1\\G SELECT 2\\g SELECT '\\g' /* \\g */", ["SELECT 1", "SELECT 2", "SELECT '\\g'"]),
    ("SELECT \\N \\'; SELECT 2", ["SELECT \\N \\'", "SELECT 2"]),
    # MariaDB's /*M!…*/ is a comment to MySQL (and its client's sandbox line a
    # command of MariaDB's client): no statement
    ("/*!SELECT 1*/; /*!50001 SELECT 2 */; /*!800001SELECT 3*/; /*M!100100 SELECT 4 */;"
     "/*M!999999\\- enable the sandbox mode */\nSELECT 5",
     ["SELECT 1", "SELECT 2", "SELECT 3", "SELECT 5"]),
    ("/*!50001 SELECT '*/;', 5 --1, 2; -- x */\n*/;", ["SELECT '*/;', 5 - -1, 2;"]),
    ("-- a;\n;\n/* b; */;\n# c;\n;/*!50001 */;\nSELECT 1;\n;\n", ["SELECT 1"]),
    # the client's own `source FILE` and `\. FILE` lines, when no statement is pending
    ("source a.sql\nSELECT 1;\n  SOURCE b.sql ;\n\\. c.sql\nSELECT 2\nsource x\n;",
     ["SELECT 1", "SELECT 2\nsource x"]),
])
def test_cuts_only_outside_quotes_and_comments(script: str, expected: list[str]) -> None:
    assert texts(script) == expected


@pytest.mark.parametrize("script, expected", [
    ("DELIMITER $$\nSELECT 1$$\nSELECT 2; SELECT 3$$\nDELIMITER ;\nSELECT 4;",
     ["SELECT 1", "SELECT 2; SELECT 3", "SELECT 4"]),
    ("delimiter ;;\nSELECT 1;;SELECT 2; SELECT 3 ;;", ["SELECT 1", "SELECT 2; SELECT 3"]),
    ("  Delimiter // and the rest\nSELECT 1//*c*/ SELECT 2//", ["SELECT 1", "*c*/ SELECT 2"]),
    ("SELECT 1\nDELIMITER $$\nCREATE PROCEDURE p() BEGIN SELECT 1; END$$ SELECT 2 $$",
     ["SELECT 1", "CREATE PROCEDURE p() BEGIN SELECT 1; END", "SELECT 2"]),
    ("DELIMITER $$\r\nSELECT 1$$\r\nDELIMITER ;\r\nSELECT 2;", ["SELECT 1", "SELECT 2"]),
    ("DELIMITER\nSELECT 1;\nDELIMITER a\\b\nSELECT 2;", ["SELECT 1", "SELECT 2"]),
    ("SELECT 'x\nDELIMITER $$' /*\nDELIMITER $$\n*/;", ["SELECT 'x\nDELIMITER $$'"]),
    ("SELECT 1 DELIMITER $$;\nSELECT\ndelimiter_id FROM t;",
     ["SELECT 1 DELIMITER $$", "SELECT\ndelimiter_id FROM t"]),
])
def test_delimiter_lines(script: str, expected: list[str]) -> None:
    assert texts(script) == expected


DUMP = """-- MySQL dump
DELIMITER ;;
/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`localhost`*/ /*!50003 TRIGGER `trg` AFTER INSERT ON `orders` FOR EACH ROW BEGIN
  INSERT INTO audit (id) VALUES (NEW.id);
END */;;
DELIMITER ;
/*!50001 CREATE ALGORITHM=UNDEFINED */
/*!50013 DEFINER=`root`@`localhost` SQL SECURITY DEFINER */
/*!50001 VIEW `v` AS select `o`.`id` AS `id` from `orders` `o` */;
"""


def test_mysqldump_trigger_and_view() -> None:
    trigger, view = split_script(DUMP)
    assert (trigger.number, trigger.line, trigger.column) == (1, 3, 10)
    assert trigger.text == ("CREATE" + " " * 12 + "DEFINER=`root`@`localhost`" + " " * 12
                            + "TRIGGER `trg` AFTER INSERT ON `orders` FOR EACH ROW BEGIN\n"
                            "  INSERT INTO audit (id) VALUES (NEW.id);\nEND")
    assert trigger.written.startswith("/*!50003 CREATE*/") and trigger.written.endswith("END */")
    assert (view.number, view.line, view.column) == (2, 7, 10)
    assert view.text.startswith("CREATE ALGORITHM=UNDEFINED   \n         DEFINER=")
    assert view.written.startswith("/*!50001 CREATE") and view.written.endswith("`o` */")
    assert isinstance(parse_one(view.text, dialect="mysql"), exp.Create)


def test_numbers_and_places() -> None:
    script = "  SELECT 1;\n\n  /* c */ SELECT 2;;\r\n\t-- x\n\t--1\\G/*!50001 SELECT 4 */"
    assert [(chunk.number, chunk.line, chunk.column, chunk.written)
            for chunk in split_script(script)] == [
        (1, 1, 3, "SELECT 1"), (2, 3, 11, "SELECT 2"), (3, 5, 2, "--1"),
        (4, 5, 16, "/*!50001 SELECT 4 */")]


@pytest.mark.parametrize("rest", [
    "SELECT 'abc;\ndef", "SELECT `abc", 'SELECT "a\\', "SELECT 'a\\';", "/* abc; def",
    "/*!50001 SELECT 2;", "/*!50001 SELECT '*/", "/*+ x; SELECT 2",
])
def test_unterminated_rest_is_the_last_statement(rest: str) -> None:
    first, last = split_script("SELECT 1; -- x\n" + rest)
    assert (first.text, last.number, last.text, last.written) == ("SELECT 1", 2, rest, rest)


def at(script: str, line: int, column: int) -> str:
    return script.split("\n")[line - 1][column - 1]


@pytest.mark.parametrize("seed", range(30))
def test_any_text_is_cut_without_failing(seed: int) -> None:
    rng = random.Random(seed)
    pieces = ["'", '"', "`", "\\", "#", "-", "--", "/*", "*/", "/*!", "/*+", ";", "$$", "\n",
              "\r\n", " ", "x", "\\g", "\nDELIMITER $$\n", "\nDELIMITER ;\n", "\ndelimiter\n"]
    script = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 200)))
    chunks = split_script(script)
    assert [chunk.number for chunk in chunks] == list(range(1, len(chunks) + 1))
    for chunk in chunks:
        assert chunk.text and chunk.text == chunk.text.strip() and chunk.written in script
        assert at(script, chunk.line, chunk.column) == chunk.text[0]
    # read a few lines at a time (a big file's blocks): the same statements
    lines = script.splitlines(keepends=True)
    cuts = sorted(rng.sample(range(1, len(lines)), min(len(lines) - 1, 6))) if lines else []
    blocks = ["".join(lines[start:end]) for start, end in zip([0, *cuts], [*cuts, len(lines)])]
    if blocks:
        assert list(iter_script(blocks[0], iter(blocks[1:]))) == chunks
