"""Cost of reading a live server's schema: a throwaway MariaDB (as the tests
start one, tests/mariadb_instance.py) gets 2,000 tables of 20 columns
(40,000 columns) in one database besides the fixture warehouse of
tests/server/warehouse.sql; then the seconds read_schema takes over all its
databases (the first read, with the server's table cache cold, and the best
of the others), against the seconds of reading the fixture's stored objects
and analysing each with that schema, as the command would.

Needs MariaDB's programs (mariadbd, mariadb-install-db, mariadb) and PyMySQL.
Run: .venv/bin/python bench/server_schema.py [TABLES] [COLUMNS] [ROUNDS]
"""

from __future__ import annotations

import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import TypeVar

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from mariadb_instance import MariaDB, start  # noqa: E402  (the tests' throwaway server)

from column_lineage.analysis import analyse_sql  # noqa: E402
from column_lineage.schema import as_schema  # noqa: E402
from column_lineage.server import connect, parse_server_url, read_objects, read_schema  # noqa: E402

FIXTURE = ROOT / "tests" / "server" / "warehouse.sql"
TYPES = ("INT", "BIGINT UNSIGNED", "VARCHAR(40)", "DECIMAL(12,2)", "DATETIME", "DATE",
         "CHAR(3)", "TEXT", "DOUBLE", "ENUM('a','b','c')")
# Fewer flushes while the tables are made: the timings read, never write.
FAST_WRITES = ("--innodb-flush-log-at-trx-commit=0", "--innodb-doublewrite=0",
               "--innodb-file-per-table=0")

T = TypeVar("T")


def wide_database(tables: int, columns: int) -> str:
    """The SQL of a database `wide` of `tables` tables of `columns` columns."""
    lines = ["CREATE DATABASE wide;", "USE wide;"]
    for table in range(tables):
        names = ", ".join(f"c{column:02d}_{table % 7} {TYPES[(table + column) % len(TYPES)]}"
                          for column in range(columns))
        lines.append(f"CREATE TABLE t{table:05d} (id INT PRIMARY KEY, {names});")
    return "\n".join(lines)


def timed(action: Callable[[], T]) -> tuple[float, T]:
    """Seconds `action` takes, and what it gives."""
    start_time = time.perf_counter()
    result = action()
    return time.perf_counter() - start_time, result


def measure(server: MariaDB, rounds: int) -> None:
    address = parse_server_url(f"mysql://root@localhost/?socket={server.socket}")
    connection = connect(address)
    first, schema = timed(lambda: read_schema(connection, address))
    best = min(timed(lambda: read_schema(connection, address))[0] for _ in range(rounds))
    count = sum(len(table) for tables in schema.values() for table in tables.values())
    reading, objects = timed(lambda: read_objects(connection, address))

    def analyse_all(given: object) -> int:
        return sum(len(analyse_sql(obj.sql, schema=given, file=obj.name,
                                   database=obj.database))
                   for obj in objects if obj.sql is not None)

    analysing = min(timed(lambda: analyse_all(schema))[0] for _ in range(rounds))
    converting, mapping = timed(lambda: as_schema(schema, "mysql"))
    prebuilt = min(timed(lambda: analyse_all(mapping))[0] for _ in range(rounds))
    print(f"schema: {len(schema)} databases, {count:,} columns")
    print(f"read_schema: first {first:.3f} s, best of {rounds} {best:.3f} s")
    print(f"{len(objects)} objects: read in {reading:.3f} s; analysed in {analysing:.3f} s "
          f"given the mapping, {prebuilt:.3f} s given one MappingSchema "
          f"(built in {converting:.3f} s)")
    print(f"read_schema takes {100 * best / analysing:.1f} % of the time of analysing the "
          f"objects ({100 * first / analysing:.1f} % for the first read)")


def main(arguments: list[str]) -> None:
    tables = int(arguments[0]) if arguments else 2000
    columns = int(arguments[1]) if len(arguments) > 1 else 20
    rounds = int(arguments[2]) if len(arguments) > 2 else 3
    with tempfile.TemporaryDirectory(prefix="server-schema-") as folder:
        server = start(Path(folder) / "mariadb", tls=False, options=FAST_WRITES)
        try:
            made, _ = timed(lambda: server.client(wide_database(tables, columns - 1)))
            server.client(FIXTURE.read_text())
            print(f"made {tables:,} tables of {columns} columns in {made:.1f} s")
            measure(server, rounds)
        finally:
            server.stop()


if __name__ == "__main__":
    main(sys.argv[1:])
