"""Analysis cost against parsing cost over the shared corpus of real queries
(TPC-H, TPC-DS), side by side in one run. Queries the analysis does not
support count with the time they take to fail.

Run: .venv/bin/python bench/corpus.py
"""

import contextlib
import os
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "build"))

import test as lineage  # noqa: E402  (the native module)
from sqlglot import parse_one  # noqa: E402

from shared_corpus import corpus_queries  # noqa: E402


def load():
    return [sql.replace("`", "") for sql in corpus_queries()]


def analyse_all(trees):
    supported = 0
    for tree in trees:
        try:
            lineage.test(tree)
            supported += 1
        except NotImplementedError:
            pass
    return supported


def main():
    queries = load()
    start = time.perf_counter()
    trees = [parse_one(sql, dialect="mysql") for sql in queries]
    parse = time.perf_counter() - start
    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
        start = time.perf_counter()
        supported = analyse_all(trees)
        analyse = time.perf_counter() - start
    print(f"{len(queries)} queries, {supported} analysed, {len(queries) - supported} not supported")
    print(f"parse {parse * 1e3:.1f} ms, analyse {analyse * 1e3:.1f} ms, "
          f"ratio analysis/parse {analyse / parse:.3f}")


if __name__ == "__main__":
    main()
