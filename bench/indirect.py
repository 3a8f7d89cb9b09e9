"""Cost of indirect lineage, side by side in one run: analyse_sql over the
shared corpus (TPC-H and TPC-DS queries, one text each) and over the
hand-labelled scripts (tests/scripts/*.sql), without and with indirect=True.
Each text is timed both ways in turn, a few rounds, keeping its best CPU
time (of this process: a shared machine's other work stays out) each way;
the sums are compared, the ratio is with/without (aim: at most 1.15). The
indirect rows found are counted, so a run that finds none shows.

Run: .venv/bin/python bench/indirect.py [ROUNDS]
"""

from __future__ import annotations

import gc
import glob
import logging
import os
import sys
import time

from column_lineage import analyse_sql
from shared_corpus import ROOT, corpus_queries


def timed(text: str, indirect: bool) -> tuple[float, int]:
    """Seconds to analyse the text, and the indirect rows found."""
    start = time.process_time()
    statements = analyse_sql(text, indirect=indirect)
    seconds = time.process_time() - start
    return seconds, sum(len(statement.indirect) for statement in statements)


def compare(name: str, texts: list[str], rounds: int) -> tuple[float, float]:
    """Prints and gives the best total without and with indirect lineage."""
    without = with_indirect = 0.0
    rows = 0
    for text in texts:
        best = {False: float("inf"), True: float("inf")}
        for _ in range(rounds):
            for indirect in (False, True):
                seconds, found = timed(text, indirect)
                best[indirect] = min(best[indirect], seconds)
        rows += found
        without += best[False]
        with_indirect += best[True]
    print(f"{name}: {len(texts)} texts, without {without * 1e3:.1f} ms, "
          f"with {with_indirect * 1e3:.1f} ms, ratio {with_indirect / without:.3f}, "
          f"{rows} indirect rows")
    return without, with_indirect


def main() -> None:
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    logging.getLogger("sqlglot").setLevel(logging.ERROR)  # the scripts' Command fallbacks
    corpus = [sql.replace("`", "") for sql in corpus_queries()]
    scripts = []
    for path in sorted(glob.glob(os.path.join(ROOT, "tests", "scripts", "*.sql"))):
        with open(path, encoding="utf-8") as script:
            scripts.append(script.read())
    gc.collect()
    corpus_times = compare("corpus", corpus, rounds)
    script_times = compare("scripts", scripts, rounds)
    without, with_indirect = (sum(pair) for pair in zip(corpus_times, script_times))
    print(f"both: without {without * 1e3:.1f} ms, with {with_indirect * 1e3:.1f} ms, "
          f"ratio {with_indirect / without:.3f}")


if __name__ == "__main__":
    main()
