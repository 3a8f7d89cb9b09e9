"""Cost of the lineage store: storing one file of many INSERT … SELECT
statements (five output columns and five rows each), replacing it, opening the
store again (which checks the file) and loading every stored lineage back;
in time per 1,000 statements, and the store's bytes per statement. Best of a
few rounds, each on a new store in a temporary directory.

Run: .venv/bin/python bench/store.py [STATEMENTS] [ROUNDS]
"""

from __future__ import annotations

import os
import sys
import tempfile
import time
from collections.abc import Callable

from column_lineage.rows import FileLineage, OutputColumn, Row, Statement
from column_lineage.store import Store

WIDTH = 5


def statement(file: str, number: int) -> Statement:
    """An INSERT … SELECT of WIDTH columns from two joined tables, with its
    output columns and one resolved row per column."""
    names = [f"col_{number % 97}_{position}" for position in range(WIDTH)]
    sql = (f"INSERT INTO mart.fact_{number % 50} ({', '.join(names)}) SELECT "
           + ", ".join(f"o.{name}" for name in names)
           + f" FROM shop.orders_{number % 40} AS o"
           + " JOIN shop.customers AS c ON c.id = o.customer_id")
    columns = [OutputColumn(position + 1, name, f"o.{name}", "IDENTITY", name, "mart",
                            f"fact_{number % 50}") for position, name in enumerate(names)]
    rows = [Row(file, number, position=position + 1, output_name=name, target_db="mart",
                target_table=f"fact_{number % 50}", target_column=name, column_sort=1,
                column_name=name, column_alias=name, column_table="o", column_type="table",
                table_db="shop", table_name=f"orders_{number % 40}", table_alias="o",
                resolved=True)
            for position, name in enumerate(names)]
    return Statement(file, number, "INSERT", sql, "mart", f"fact_{number % 50}", columns, rows,
                     line=number)


def timed(action: Callable[[], object]) -> float:
    """Seconds `action` takes."""
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def one_round(lineage: FileLineage, directory: str) -> dict[str, float]:
    """Seconds of each step on a new store in `directory`, and its size."""
    path = os.path.join(directory, "store.db")
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(path + suffix):
            os.remove(path + suffix)
    times = {}
    store = Store.open(path)
    times["put"] = timed(lambda: store.put(lineage, "etl.sql", "digest", "settings"))
    times["put again (replace)"] = timed(
        lambda: store.put(lineage, "etl.sql", "digest", "settings"))
    times["close (commits)"] = timed(store.close)
    holder: list[Store] = []
    times["open (checks the file)"] = timed(lambda: holder.append(Store.open(path)))
    with holder[0] as store:
        loaded: list[FileLineage] = []
        times["lineages"] = timed(lambda: loaded.extend(store.lineages()))
    assert loaded == [lineage], "the store gave back another lineage"
    times["bytes"] = os.path.getsize(path)
    return times


def main() -> None:
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    lineage = FileLineage("etl.sql", [statement("etl.sql", number + 1) for number in range(count)])
    with tempfile.TemporaryDirectory() as directory:
        results = [one_round(lineage, directory) for _ in range(rounds)]
    print(f"{count} statements, {WIDTH} output columns and {WIDTH} rows each; "
          f"best of {rounds} rounds")
    for step in results[0]:
        if step != "bytes":
            best = min(result[step] for result in results)
            print(f"  {step:24} {best * 1000 * 1000 / count:7.1f} ms per 1,000 statements")
    print(f"  {'store size':24} {results[0]['bytes'] / count:7.0f} bytes per statement")


if __name__ == "__main__":
    main()
