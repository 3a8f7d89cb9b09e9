"""Start-up cost of the lineage command per output format on one small
file, side by side in one run: each format's median wall time over a few
interleaved runs, and its ratio to the `table` format.

Run: .venv/bin/python bench/format_start.py [ROUNDS]
"""

import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FORMATS = ("table", "json", "csv", "report", "openlineage")
QUERY = ("SELECT o.id AS order_id, c.name AS customer\n"
         "FROM shop.orders AS o JOIN shop.customers AS c ON c.id = o.customer_id;\n")


def run_once(fmt, path):
    env = dict(os.environ, PYTHONPATH=os.path.join(ROOT, "build"))
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "column_lineage", "--format", fmt, path],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    return time.perf_counter() - start


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "join.sql")
        with open(path, "w", encoding="utf-8") as file:
            file.write(QUERY)
        times = {fmt: [] for fmt in FORMATS}
        for _ in range(rounds):  # interleaved, so that load on the machine hits all alike
            for fmt in FORMATS:
                times[fmt].append(run_once(fmt, path))
    base = statistics.median(times["table"])
    print(f"lineage start-up on one file, median of {rounds} runs")
    for fmt in FORMATS:
        median = statistics.median(times[fmt])
        print(f"  {fmt:12} {median * 1000:7.0f} ms   x{median / base:.2f} of table")


if __name__ == "__main__":
    main()
