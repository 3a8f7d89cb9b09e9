"""What sqlglot's parse gains from tuning the garbage collector around it.

Parses the corpus queries (repeated to about 2,500) in one interpreter, side by
side in one run, under three settings of the collector, and prints each
setting's time as a ratio of the default:

- default: the collector as the interpreter starts it;
- frozen: gc.freeze() once after the imports (the objects of sqlglot and the
  other modules are never scanned again), default thresholds;
- paused: the collector disabled while each query is parsed and enabled in
  between, so that a collection never runs inside a parse;
- off: the collector disabled for the whole run, one collection at its end.

Run it in each environment (.venv, .venv-sqlglot27) to compare pure-Python
and compiled sqlglot:  .venv/bin/python bench/gc_parse.py
"""

import gc
import time

from sqlglot import parse_one

from shared_corpus import corpus_queries



def repeated_queries(count):
    queries = [sql.replace("`", "") for sql in corpus_queries()]
    return [queries[i % len(queries)] for i in range(count)]


def parse_all(queries):
    for sql in queries:
        parse_one(sql, dialect="mysql")


def parse_all_paused(queries):
    for sql in queries:
        gc.disable()
        try:
            parse_one(sql, dialect="mysql")
        finally:
            gc.enable()


def parse_all_off(queries):
    gc.disable()
    try:
        parse_all(queries)
    finally:
        gc.enable()
        gc.collect()


def parse_all_frozen(queries):
    gc.freeze()
    try:
        parse_all(queries)
    finally:
        gc.unfreeze()


def timed(action, queries):
    gc.collect()
    start = time.perf_counter()
    action(queries)
    return time.perf_counter() - start


def main():
    queries = repeated_queries(2500)
    parse_all(queries[:200])  # warm-up: caches, lazily built tables
    rounds = 3
    settings = {"default": parse_all, "frozen": parse_all_frozen, "paused": parse_all_paused,
                "off": parse_all_off}
    best = dict.fromkeys(settings, float("inf"))
    for _ in range(rounds):  # interleaved, so that load on the machine hits all alike
        for name, action in settings.items():
            best[name] = min(best[name], timed(action, queries))
    print(f"{len(queries)} parses, best of {rounds}")
    for name, seconds in best.items():
        print(f"{name:<8} {seconds:7.3f} s  ratio {seconds / best['default']:.3f}")


if __name__ == "__main__":
    main()
