"""Analysis cost against parsing cost on chains of derived tables and wide selects.

For each depth (derived tables nested inside each other) and width (columns
per level) the query is parsed with sqlglot and analysed with `test`, side by
side in one run; the figure that matters is analysis time / parse time, which
should stay well below 0.2 and should not grow with depth. Then single selects
of 250 to 2,000 columns over a join, whose ratio should not grow with width.

Run: .venv/bin/python bench/nested_chain.py [--quick]
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build"))

import test as lineage  # noqa: E402  (the native module)
from sqlglot import parse_one  # noqa: E402


def chain(depth, width):
    """SELECT s8.c1 AS c1, ... FROM (SELECT s7.c1 AS c1, ... FROM (...) AS s7) AS s8"""
    query = "SELECT " + ", ".join(f"t.c{i} AS c{i}" for i in range(1, width + 1)) + \
        " FROM warehouse.base AS t"
    for level in range(1, depth + 1):
        alias = f"s{level}"
        select = ", ".join(f"{alias}.c{i} AS c{i}" for i in range(1, width + 1))
        query = f"SELECT {select} FROM ({query}) AS {alias}"
    return query


def wide(width):
    """SELECT t.c0 AS c0, u.c1 AS c1, ... FROM warehouse.t AS t JOIN warehouse.u AS u ..."""
    items = ", ".join(f"{'tu'[i % 2]}.c{i} AS c{i}" for i in range(width))
    return f"SELECT {items} FROM warehouse.t AS t JOIN warehouse.u AS u ON t.k = u.k"


def best_of(repeats, action, batch_seconds=0.02):
    """Seconds per call: the best of `repeats` batches, each long enough
    (about `batch_seconds`) that timer and scheduling noise stay small."""
    start = time.perf_counter()
    action()
    calls = max(1, int(batch_seconds / max(time.perf_counter() - start, 1e-6)))
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            action()
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--quick", action="store_true", help="fewer sizes and repeats")
    args = options.parse_args()
    depths = [1, 2, 4, 8] if args.quick else range(1, 9)
    widths = [10, 50] if args.quick else [10, 20, 30, 50]
    repeats = 3 if args.quick else 5

    print(f"{'depth':>5} {'width':>5} {'parse ms':>10} {'analyse ms':>11} {'ratio':>7}")
    worst = 0.0
    for width in widths:
        for depth in depths:
            sql = chain(depth, width)
            tree = parse_one(sql, dialect="mysql")
            records = lineage.test(tree)
            assert len(records) == width and records[-1]["table_name"] == "base", records[-1]
            parse = best_of(repeats, lambda: parse_one(sql, dialect="mysql"))
            analyse = best_of(repeats, lambda: lineage.test(tree))
            ratio = analyse / parse
            worst = max(worst, ratio)
            print(f"{depth:>5} {width:>5} {parse * 1e3:>10.2f} {analyse * 1e3:>11.2f} {ratio:>7.3f}")
    print(f"worst ratio analysis/parse: {worst:.3f} (target: below 0.2)")

    print(f"\n{'columns':>7} {'parse ms':>10} {'analyse ms':>11} {'ratio':>7}")
    for width in [250, 500, 1000] if args.quick else [250, 500, 1000, 2000]:
        sql = wide(width)
        tree = parse_one(sql, dialect="mysql")
        records = lineage.test(tree)
        assert len(records) == width and records[-1]["table_name"] == "u", records[-1]
        parse = best_of(repeats, lambda: parse_one(sql, dialect="mysql"))
        analyse = best_of(repeats, lambda: lineage.test(tree))
        print(f"{width:>7} {parse * 1e3:>10.2f} {analyse * 1e3:>11.2f} {analyse / parse:>7.3f}")


if __name__ == "__main__":
    main()
