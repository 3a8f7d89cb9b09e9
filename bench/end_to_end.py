"""End to end: the lineage command over a directory of one-query files, against
parsing alone, side by side in one run, in every environment present.

The corpus queries are copied round-robin into N files (2,500 by default) in a
temporary directory. For each environment (.venv: current sqlglot, compiled;
.venv-sqlglot27: sqlglot 27.29.0) these commands run over that directory, each
in a fresh interpreter so that start-up and imports count for all alike:

- parse only, the floor: read each file, drop backticks, sqlglot's parse_one;
- the command's JSON output (`--format json` where the command has it, else
  `--json`);
- the command's text output (`--format table` where the command has it, else
  its default report);
- the same two on one process (`--jobs 1`), where the command has --jobs
  (by default it analyses files on as many processes as it may use CPUs);
- the command's JSON output with a schema given (`--schema`), a JSON schema
  of the corpus' tables derived from the queries themselves: every column
  name the TPC-H and TPC-DS queries use goes to the table whose column
  prefix it carries (`l_` lineitem, `ss_` store_sales, ...); the two
  benchmarks' tables in one namespace, a `customer` holding the columns of
  both.

Each is timed as the best of a few rounds (each round runs every command once) and printed as files/s and as a
multiple of the floor. The command is run as ./lineage runs it (the exec line
of ./lineage with the environment's interpreter); one more row times
./lineage itself, set-up check included.

Run: .venv/bin/python bench/end_to_end.py [--files N] [--repeats R]
"""

import argparse
import os
import re
import shlex
import subprocess
import tempfile
import json
import time

from shared_corpus import corpus_entries, corpus_queries

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENVIRONMENTS = [".venv", ".venv-sqlglot27"]

PARSE_ONLY = """
import os, sys
from sqlglot import parse_one
directory = sys.argv[1]
for name in sorted(os.listdir(directory)):
    with open(os.path.join(directory, name), encoding="utf-8") as source:
        parse_one(source.read().replace("`", ""), dialect="mysql")
"""


# Each table of the two benchmarks and the prefix its columns carry.
COLUMN_PREFIXES = {
    "sqlglot-tpch": {
        "lineitem": "l_", "orders": "o_", "customer": "c_", "part": "p_", "partsupp": "ps_",
        "supplier": "s_", "nation": "n_", "region": "r_",
    },
    "sqlglot-tpcds": {
        "store_sales": "ss_", "store_returns": "sr_", "catalog_sales": "cs_",
        "catalog_returns": "cr_", "web_sales": "ws_", "web_returns": "wr_", "inventory": "inv_",
        "store": "s_", "call_center": "cc_", "catalog_page": "cp_", "web_site": "web_",
        "web_page": "wp_", "warehouse": "w_", "customer": "c_", "customer_address": "ca_",
        "customer_demographics": "cd_", "date_dim": "d_", "household_demographics": "hd_",
        "item": "i_", "income_band": "ib_", "promotion": "p_", "reason": "r_",
        "ship_mode": "sm_", "time_dim": "t_",
    },
}


def corpus_schema():
    """{table: {column: type}} of the corpus' tables: each column name the
    queries of a benchmark use, under the table whose prefix it carries."""
    from sqlglot import exp, parse_one

    schema = {}
    for entry in corpus_entries():
        prefixes = COLUMN_PREFIXES.get(entry.get("source"), {})
        tree = parse_one(entry["sql"].replace("`", ""), dialect="mysql")
        for column in tree.find_all(exp.Column):
            name = column.name.lower()
            for table, prefix in prefixes.items():
                if name.startswith(prefix):
                    schema.setdefault(table, {})[name] = "TEXT"
    return {table: dict(sorted(columns.items())) for table, columns in sorted(schema.items())}


def write_files(directory, queries, count):
    for i in range(count):
        with open(os.path.join(directory, f"q{i:05d}.sql"), "w", encoding="utf-8") as out:
            out.write(queries[i % len(queries)])


def command_line(python):
    """What ./lineage executes, with `python` as its interpreter."""
    with open(os.path.join(ROOT, "lineage"), encoding="utf-8") as script:
        exec_line = next(line for line in script if line.startswith("exec "))
    words = shlex.split(exec_line.replace('"$root"', ROOT).replace("$root", ROOT))[1:]
    words = [word for word in words if word not in ('$@', '"$@"')]
    return [python] + words[1:]


def output_options(python):
    """(JSON options, text options, whether the command has --jobs), as the
    command offers them."""
    usage = subprocess.run(command_line(python) + ["--help"], capture_output=True,
                           text=True).stdout
    jobs = "--jobs" in usage
    if re.search(r"--format", usage):
        return ["--format", "json"], ["--format", "table"], jobs
    return ["--json"], [], jobs


def run_once(argv):
    start = time.perf_counter()
    result = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    elapsed = time.perf_counter() - start
    if result.returncode not in (0, 1):
        raise SystemExit(f"{argv[:3]}... failed ({result.returncode}): {result.stderr[-500:]}")
    return elapsed


def best_times(commands, repeats):
    """The best time of each command over `repeats` rounds; each round runs
    every command once, so that load on a shared machine hits all alike."""
    best = [float("inf")] * len(commands)
    for _ in range(repeats):
        for i, argv in enumerate(commands):
            best[i] = min(best[i], run_once(argv))
    return best


def sqlglot_version(python):
    code = ("import importlib.metadata as m, sqlglot\n"
            "try: m.version('sqlglotc'); c = ' + sqlglotc'\n"
            "except m.PackageNotFoundError: c = ''\n"
            "print(sqlglot.__version__ + c)")
    return subprocess.run([python, "-c", code], capture_output=True, text=True).stdout.strip()


def main():
    options = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    options.add_argument("--files", type=int, default=2500, help="number of one-query files")
    options.add_argument("--repeats", type=int, default=5, help="rounds of runs; the best counts")
    args = options.parse_args()
    with tempfile.TemporaryDirectory(prefix="lineage-bench-") as directory, \
            tempfile.NamedTemporaryFile("w", suffix=".json", prefix="lineage-schema-") as schema:
        write_files(directory, corpus_queries(), args.files)
        tables = corpus_schema()
        json.dump(tables, schema)
        schema.flush()
        print(f"schema: {len(tables)} tables, "
              f"{sum(len(columns) for columns in tables.values())} columns")
        print(f"{args.files} files, best of {args.repeats}; the command's default --jobs is "
              f"{os.process_cpu_count()} here (the CPUs it may use), the floor runs on one\n")
        print(f"{'environment':<34} {'run':<32} {'seconds':>8} {'files/s':>8} {'× floor':>8}")
        for venv in ENVIRONMENTS:
            python = os.path.join(ROOT, venv, "bin", "python")
            if not os.path.exists(python):
                continue
            label = f"{venv} (sqlglot {sqlglot_version(python)})"
            json_options, text_options, jobs = output_options(python)
            command = command_line(python)
            runs = [("parse only (floor)", [python, "-c", PARSE_ONLY, directory])]
            for options in ([json_options, text_options] + [
                    options + ["--jobs", "1"] for options in (json_options, text_options)
                    if jobs] + [json_options + ["--schema", schema.name]]):
                shown = [word if word != schema.name else "" for word in options]
                runs.append((" ".join(["command"] + (shown or ["(text)"])).strip(),
                             command + options + [directory]))
            if venv == ".venv":
                runs.append((" ".join(["./lineage"] + json_options),
                             [os.path.join(ROOT, "lineage")] + json_options + [directory]))
            times = best_times([argv for _, argv in runs], args.repeats)
            for (name, _), seconds in zip(runs, times):
                print(f"{label:<34} {name:<32} {seconds:>8.2f} {args.files / seconds:>8.0f} "
                      f"{seconds / times[0]:>8.2f}")
            print()


if __name__ == "__main__":
    main()
