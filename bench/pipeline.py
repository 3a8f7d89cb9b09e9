"""Lineage end to end and the store, on a generated warehouse, side by side
in one run.

The warehouse: chains of three files each (stage, views, publish), about
2,000 files and 10,000 statements: a temporary table from a source table, a
staging table filled from it and updated, a view and a view over it, a fact
table rebuilt and swapped in by renames; every fifth chain starts afresh,
the others read the previous chain's fact table, so the deepest column is
some thirty steps from its sources.

Printed, each as seconds and as a multiple of the parse floor (sqlglot's
parse of every statement, in a fresh interpreter like the commands):
the first scan without a store; the first scan with one (aim: at most 1.1x
the scan without); a rescan after one file changed, as a share of the first
scan (aim: at most 2%); the first question after it, which composes the
pipeline of the stored files and keeps it in the store; --upstream of the
deepest column and --downstream of its source answered from the kept graph
(aim: at most 50 ms beyond start-up, printed as a share of the first scan
too); the store's bytes per statement; --end-to-end with --indirect as a
multiple of the same without it (aim: at most 1.15x).

Run: .venv/bin/python bench/pipeline.py [--files N] [--repeats R]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = os.path.join(ROOT, ".venv", "bin", "python")


def chain_files(k: int) -> dict[str, str]:
    source = f"src.t{k % 50}" if k % 5 == 0 else f"mart.f{k - 1}"
    first = "a" if k % 5 == 0 else "x"
    return {
        f"{k:04d}_1_stage.sql": f"""USE stg;
CREATE TEMPORARY TABLE tmp{k} AS SELECT s.{first} AS a, s.b, s.c FROM {source} s WHERE s.b > 0;
INSERT INTO stg.s{k} (a, b, c) SELECT t.a, SUM(t.b), MAX(t.c) FROM tmp{k} t GROUP BY t.a;
UPDATE stg.s{k} SET c = c + (SELECT MAX(r.f) FROM ref.fx r);
DROP TEMPORARY TABLE tmp{k};
""",
        f"{k:04d}_2_views.sql": f"""CREATE OR REPLACE VIEW mart.v{k} AS SELECT s.a, s.b * 2 AS b, s.c FROM stg.s{k} s;
CREATE OR REPLACE VIEW mart.w{k} AS SELECT v.a AS x, v.b, v.c FROM mart.v{k} v WHERE v.c IS NOT NULL;
""",
        f"{k:04d}_3_publish.sql": f"""CREATE TABLE mart.f{k}_new LIKE mart.f{k};
INSERT INTO mart.f{k}_new (x, b, c) SELECT w.x, w.b, w.c FROM mart.w{k} w;
RENAME TABLE mart.f{k} TO mart.f{k}_old, mart.f{k}_new TO mart.f{k};
DROP TABLE mart.f{k}_old;
""",
    }


def timed(command: list[str], repeats: int) -> float:
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        subprocess.run(command, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        best = min(best, time.perf_counter() - start)
    return best


PARSE = """import sys, glob, sqlglot
for name in sorted(glob.glob(sys.argv[1] + '/*.sql')):
    text = open(name).read()
    sqlglot.parse(text, read='mysql')
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=2000)
    parser.add_argument("--repeats", type=int, default=2)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="lineage-pipeline-") as directory:
        sql = os.path.join(directory, "sql")
        os.mkdir(sql)
        statements = 0
        for k in range(args.files // 3):
            for name, text in chain_files(k).items():
                with open(os.path.join(sql, name), "w", encoding="utf-8") as file:
                    file.write(text)
                statements += text.count(";")
        files = len(os.listdir(sql))
        lineage = [PYTHON, "-m", "column_lineage", "--format", "json"]
        store = os.path.join(directory, "lineage.db")
        floor = timed([PYTHON, "-c", PARSE, sql], args.repeats)
        plain = timed(lineage + [sql], args.repeats)
        first = float("inf")
        for _ in range(args.repeats):
            for stale in (store, store + "-wal", store + "-shm"):
                if os.path.exists(stale):
                    os.remove(stale)
            first = min(first, timed(lineage + ["--store", store, sql], 1))
        changed = os.path.join(sql, sorted(os.listdir(sql))[len(os.listdir(sql)) // 2])
        rescan = float("inf")
        for round_ in range(args.repeats):
            with open(changed, "a", encoding="utf-8") as file:
                file.write(f"-- changed {round_}\n")
            rescan = min(rescan, timed(lineage + ["--store", store, sql], 1))
        # the last chain four steps from a fresh start
        deepest = f"mart.f{max(k for k in range(args.files // 3) if k % 5 == 4)}.b"
        start_up = timed([PYTHON, "-c", "import column_lineage.cli"], args.repeats)
        # The first question after files changed composes the pipeline and keeps it.
        remake = timed(lineage + ["--store", store, "--upstream", deepest], 1)
        upstream = timed(lineage + ["--store", store, "--upstream", deepest], args.repeats)
        downstream = timed(lineage + ["--store", store, "--downstream", "src.t0.b"], args.repeats)
        size = os.path.getsize(store)
        end_to_end = timed(lineage + ["--end-to-end", sql], args.repeats)
        indirect = timed(lineage + ["--end-to-end", "--indirect", sql], args.repeats)
    print(f"{files} files, {statements} statements; best of {args.repeats}; "
          f"{sys.version.split()[0]}")
    print(f"{'run':<44} {'seconds':>8} {'× floor':>8}")
    for label, seconds in (("parse only (floor)", floor), ("scan, no store", plain),
                           ("first scan with --store", first)):
        print(f"{label:<44} {seconds:8.2f} {seconds / floor:8.2f}")
    print(f"first scan with a store / without: {first / plain:.2f}x")
    print(f"rescan after one file changed: {rescan:.2f} s, {rescan / first:.1%} of the first scan")
    print(f"first question after the rescan (composes and keeps the graph): {remake:.2f} s, "
          f"{remake / first:.1%} of the first scan")
    for label, seconds in ((f"--upstream {deepest} from the store", upstream),
                           ("--downstream src.t0.b from the store", downstream)):
        print(f"{label}: {seconds * 1000:.0f} ms ({(seconds - start_up) * 1000:.0f} ms beyond "
              f"the {start_up * 1000:.0f} ms start-up), {seconds / first:.1%} of the first scan")
    print(f"store: {size / statements:.0f} bytes per statement")
    print(f"--end-to-end: {end_to_end:.2f} s; with --indirect: {indirect:.2f} s, "
          f"{indirect / end_to_end:.2f}x (aim: at most 1.15x)")


if __name__ == "__main__":
    main()
