"""Cost of cutting a MySQL script into statements, side by side in one run:
split_script against sqlglot's MySQL tokenizer over the same text, and
against one regular-expression pass that only finds the semicolons outside
strings (the least any split must do). Texts: a generated mysqldump-style
dump (extended INSERTs with long escaped strings, executable comments, a
trigger under DELIMITER), many one-line statements (the cost per statement),
every corpus query one by one (the cost per small file) and the corpus
queries joined into one script. Best of a few
interleaved rounds, as ratios to the tokenizer.

Run: .venv/bin/python bench/split.py [DUMP_MEGABYTES] [ROUNDS]
"""

from __future__ import annotations

import random
import re
import sys
import time
from collections.abc import Callable

from sqlglot.dialects.dialect import Dialect

from column_lineage.script import split_script
from shared_corpus import corpus_queries

HEADER = """-- MySQL dump 10.13  Distrib 8.0.36, for Linux (x86_64)
--
-- Host: localhost    Database: shop
-- ------------------------------------------------------
/*!40101 SET @OLD_CHARACTER_SET_CLIENT=@@CHARACTER_SET_CLIENT */;
/*!40101 SET NAMES utf8mb4 */;
/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;
/*!40101 SET @OLD_SQL_MODE=@@SQL_MODE, SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;

"""

TABLE = """--
-- Table structure for table `{name}`
--

DROP TABLE IF EXISTS `{name}`;
/*!40101 SET @saved_cs_client     = @@character_set_client */;
/*!50503 SET character_set_client = utf8mb4 */;
CREATE TABLE `{name}` (
  `id` int NOT NULL AUTO_INCREMENT,
  `customer_id` int NOT NULL,
  `note` text COMMENT 'free text; may hold -- and /* */',
  `total` decimal(10,2) DEFAULT NULL,
  PRIMARY KEY (`id`)
) ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;
/*!40101 SET character_set_client = @saved_cs_client */;

LOCK TABLES `{name}` WRITE;
/*!40000 ALTER TABLE `{name}` DISABLE KEYS */;
"""

TRAILER = """/*!40000 ALTER TABLE `{name}` ENABLE KEYS */;
UNLOCK TABLES;
/*!50003 SET @saved_sql_mode       = @@sql_mode */ ;
DELIMITER ;;
/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`localhost`*/ /*!50003 TRIGGER `{name}_audit` AFTER INSERT ON `{name}` FOR EACH ROW BEGIN
  INSERT INTO audit (table_name, row_id, note) VALUES ('{name}', NEW.id, 'inserted; see \\'log\\'');
END */;;
DELIMITER ;
/*!50003 SET sql_mode              = @saved_sql_mode */ ;

"""

WORDS = ("order", "it''s", "semi;colon", "back\\\\slash", "line\\nbreak", "quote\\'d", "dash--1",
         "hash#tag", "star*/slash", "plain", "text", "lorem", "ipsum", "dolor")


def row(rng: random.Random, number: int) -> str:
    """One row of an extended INSERT: numbers and a long escaped string."""
    note = " ".join(rng.choice(WORDS) for _ in range(rng.randint(5, 60)))
    return f"({number},{rng.randint(1, 9999)},'{note}',{rng.randint(0, 99999) / 100:.2f})"


def dump(megabytes: float, seed: int = 7) -> str:
    """A mysqldump-style script of about `megabytes` MB."""
    rng = random.Random(seed)
    parts, size, table, number = [HEADER], len(HEADER), 0, 0
    while size < megabytes * 1_000_000:
        name = f"orders_{table}"
        inserts = [TABLE.format(name=name)]
        for _ in range(20):
            values = []
            for _ in range(200):
                number += 1
                values.append(row(rng, number))
            inserts.append(f"INSERT INTO `{name}` VALUES " + ",".join(values) + ";\n")
        inserts.append(TRAILER.format(name=name))
        text = "".join(inserts)
        parts.append(text)
        size += len(text)
        table += 1
    return "".join(parts)


SEMICOLONS = re.compile(r"(?:[^;'\"`]++|'[^'\\]*+(?:\\[\s\S][^'\\]*+)*+'"
                        r"|\"[^\"\\]*+(?:\\[\s\S][^\"\\]*+)*+\"|`[^`]*+`|['\"`])*+(?:;|\Z)")


def one_regex_pass(text: str) -> int:
    """The number of pieces between semicolons outside strings: one pass of
    one expression (an unterminated quote is read as a character)."""
    return sum(1 for _ in SEMICOLONS.finditer(text))


def best_times(texts: list[str], runners: dict[str, Callable[[str], object]],
               rounds: int) -> dict[str, float]:
    """Each runner's best total time over `texts` in `rounds` interleaved rounds."""
    best = {name: float("inf") for name in runners}
    for _ in range(rounds):
        for name, runner in runners.items():
            start = time.perf_counter()
            for text in texts:
                runner(text)
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def report(title: str, texts: list[str], runners: dict[str, Callable[[str], object]],
           rounds: int) -> None:
    size = sum(len(text) for text in texts)
    times = best_times(texts, runners, rounds)
    base = times["sqlglot tokenizer"]
    print(f"{title}: {len(texts)} text(s), {size / 1e6:.2f} MB, best of {rounds}")
    for name, seconds in times.items():
        print(f"  {name:20} {seconds * 1000:9.1f} ms  {size / 1e6 / seconds:8.1f} MB/s"
              f"   x{seconds / base:.3f} of the tokenizer")


def main() -> None:
    megabytes = float(sys.argv[1]) if len(sys.argv) > 1 else 4.0
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    mysql = Dialect.get_or_raise("mysql")
    runners: dict[str, Callable[[str], object]] = {
        "split_script": split_script,
        "sqlglot tokenizer": mysql.tokenize,
        "one regex pass": one_regex_pass,
    }
    queries = corpus_queries()
    report("generated dump", [dump(megabytes)], runners, rounds)
    report("one-line statements", ["SELECT a, b FROM t WHERE c = 'x';\n" * 50_000], runners, rounds)
    report("corpus, one query per call", queries, runners, rounds)
    report("corpus, joined with ';'", [";\n".join(queries)], runners, rounds)


if __name__ == "__main__":
    main()
