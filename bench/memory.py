"""Peak memory and time of the command on big files, side by side in one run.

Generated ETL scripts of 1,000, 10,000 and 100,000 statements (inserts from
joins, updates, reports, variables), and a generated mysqldump with data
(extended inserts of about 1 MB each, as mysqldump writes them) of about
--dump-mb megabytes. Each file is analysed by the command (`--format json`
to /dev/null) in a fresh process; printed: seconds, peak resident memory
(the child's maximum RSS), throughput in MB/s, and beside it the parse
floor's throughput (sqlglot's tokenizer and parser over the same file,
statement by statement, in a fresh process).

Aims: peak memory flat within 2x from 1,000 to 100,000 statements; the dump
in under 300 MB.

Run: .venv/bin/python bench/memory.py [--dump-mb 200] [--skip-floor]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = os.path.join(ROOT, ".venv", "bin", "python")

STATEMENTS = (
    "INSERT INTO dw.f{k} (a, b, c) SELECT o.a, SUM(o.b), MAX(o.c) FROM src.o{k} o "
    "JOIN src.p p ON p.id = o.pid WHERE o.x > {k} GROUP BY o.a;",
    "UPDATE dw.f{k} f JOIN src.q q ON q.id = f.a SET f.b = q.b + {k};",
    "SELECT t.a, t.b AS bb, COUNT(*) FROM dw.f{k} t GROUP BY t.a, t.b;",
    "SET @x{k} = {k};",
)


def etl_script(path: str, count: int) -> None:
    with open(path, "w", encoding="utf-8") as out:
        for k in range(count):
            out.write(STATEMENTS[k % len(STATEMENTS)].format(k=k) + "\n")


def dump(path: str, megabytes: int) -> None:
    """A mysqldump with data: its header, a table, and extended inserts."""
    row = "({n},'customer {n}','2024-01-{day:02d} 10:00:00',{amount}.50,NULL,'note, \\'quoted\\'')"
    with open(path, "w", encoding="utf-8") as out:
        out.write("-- MySQL dump 10.13\n/*!40101 SET NAMES utf8mb4 */;\n"
                  "/*!40014 SET @OLD_UNIQUE_CHECKS=@@UNIQUE_CHECKS, UNIQUE_CHECKS=0 */;\n"
                  "DROP TABLE IF EXISTS `orders`;\n"
                  "CREATE TABLE `orders` (\n  `id` int NOT NULL,\n  `customer` varchar(64),\n"
                  "  `at` datetime,\n  `amount` decimal(10,2),\n  `refund` int,\n"
                  "  `note` text,\n  PRIMARY KEY (`id`)\n) ENGINE=InnoDB;\n"
                  "LOCK TABLES `orders` WRITE;\n")
        n, written, limit = 0, 0, megabytes * 1_000_000
        while written < limit:
            rows = []
            size = 0
            while size < 1_000_000:
                text = row.format(n=n, day=n % 28 + 1, amount=n % 997)
                rows.append(text)
                size += len(text) + 1
                n += 1
            line = "INSERT INTO `orders` VALUES " + ",".join(rows) + ";\n"
            out.write(line)
            written += len(line)
        out.write("UNLOCK TABLES;\n")


FLOOR = """import sys, sqlglot
from column_lineage.script import iter_script
for chunk in iter_script(open(sys.argv[1], encoding="utf-8").read()):
    sqlglot.parse(chunk.text, read="mysql")
"""


def measured(command: list[str]) -> tuple[float, int]:
    """Seconds and peak resident memory (bytes) of a child process: its own
    rusage, as wait4 gives it."""
    start = time.perf_counter()
    child = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, _, usage = os.wait4(child.pid, 0)
    child.returncode = 0  # reaped here
    return time.perf_counter() - start, usage.ru_maxrss * 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dump-mb", type=int, default=200)
    parser.add_argument("--skip-floor", action="store_true")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="lineage-memory-") as directory:
        files = []
        for count in (1_000, 10_000, 100_000):
            path = os.path.join(directory, f"etl{count}.sql")
            etl_script(path, count)
            files.append((f"{count:,} statements", path))
        path = os.path.join(directory, "dump.sql")
        dump(path, args.dump_mb)
        files.append((f"dump with data, {args.dump_mb} MB", path))
        print(f"{'file':<26} {'MB':>7} {'seconds':>8} {'peak MB':>8} {'MB/s':>7} "
              f"{'floor MB/s':>11}")
        for label, path in files:
            size = os.path.getsize(path) / 1e6
            seconds, peak = measured([PYTHON, "-m", "column_lineage", "--format", "json",
                                      "--jobs", "1", path])
            floor = "" if args.skip_floor else \
                f"{size / measured([PYTHON, '-c', FLOOR, path])[0]:11.2f}"
            print(f"{label:<26} {size:7.1f} {seconds:8.1f} {peak / 1e6:8.0f} "
                  f"{size / seconds:7.2f} {floor}", flush=True)
    print(f"({sys.version.split()[0]}; peak: the process's maximum resident set)")


if __name__ == "__main__":
    main()
