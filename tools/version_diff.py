"""The analysis of every corpus query under sqlglot 27.29.0 and under the
current sqlglot, side by side: prints each query whose result differs, with
the two results and the two parse trees, so that every difference can be told
apart as the parser's (another tree) or the module's.

Run: .venv/bin/python tools/version_diff.py   (exit status 1 when any differ)
"""

import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ENVIRONMENTS = [".venv-sqlglot27", ".venv"]

# Runs inside one environment: id -> [outcome, tree repr], as JSON.
ANALYSE = """
import contextlib, io, json, os, sys
sys.path.insert(0, os.path.join(sys.argv[1], "build"))
import test
from sqlglot import parse_one
corpus = sys.argv[2]
results = {}
for name in sorted(os.listdir(corpus)):
    if not name.endswith(".jsonl"):
        continue
    with open(os.path.join(corpus, name), encoding="utf-8") as lines:
        for line in filter(str.strip, lines):
            query = json.loads(line)
            try:
                tree = parse_one(query["sql"].replace("`", ""), dialect="mysql")
            except Exception as error:
                results[query["id"]] = [["parse error", type(error).__name__], ""]
                continue
            with contextlib.redirect_stdout(io.StringIO()):
                try:
                    outcome = test.test(tree)
                except Exception as error:
                    outcome = ["error", type(error).__name__, str(error.args[0])]
            results[query["id"]] = [outcome, repr(tree)]
print(json.dumps(results))
"""


def corpus_directory():
    for path in (os.path.join(os.path.dirname(ROOT), "shared", "corpus"),
                 os.path.join(os.path.dirname(os.path.dirname(ROOT)), "shared", "corpus")):
        if os.path.isdir(path):
            return path
    raise SystemExit("the shared corpus is not beside the checkout")


def analyse_in(venv, corpus):
    python = os.path.join(ROOT, venv, "bin", "python")
    result = subprocess.run([python, "-c", ANALYSE, ROOT, corpus], capture_output=True,
                            text=True, check=True)
    return json.loads(result.stdout)


def spelled_alike(tree):
    """A tree's repr with the clause keys of sqlglot 28 on spelled as before."""
    for key in ("from", "with"):
        tree = tree.replace(f"{key}_=", f"{key}=")
    return tree


def main():
    corpus = corpus_directory()
    old, new = (analyse_in(venv, corpus) for venv in ENVIRONMENTS)
    differing = [query_id for query_id in old if old[query_id][0] != new.get(query_id, [None])[0]]
    for query_id in differing:
        print(f"=== {query_id}")
        for venv, results in zip(ENVIRONMENTS, (old, new)):
            outcome, tree = results[query_id]
            print(f"--- {venv}: {json.dumps(outcome, ensure_ascii=False)}")
            print(tree)
    same_tree = sum(spelled_alike(old[q][1]) == spelled_alike(new[q][1]) for q in old)
    print(f"{len(old)} queries, {len(differing)} with different results; "
          f"{same_tree} with identical trees")
    return 1 if differing else 0


if __name__ == "__main__":
    sys.exit(main())
