"""The shared corpus of public queries: its folder and its queries."""

import json
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def corpus_directory():
    """shared/corpus beside the checkout, or beside the folder of work trees."""
    for base in (os.path.dirname(ROOT), os.path.dirname(os.path.dirname(ROOT))):
        path = os.path.join(base, "shared", "corpus")
        if os.path.isdir(path):
            return path
    raise SystemExit("the shared corpus is not beside the checkout")


def corpus_queries():
    """The SQL text of every corpus query, in file and line order."""
    directory = corpus_directory()
    queries = []
    for name in sorted(os.listdir(directory)):
        if name.endswith(".jsonl"):
            with open(os.path.join(directory, name), encoding="utf-8") as lines:
                queries += [json.loads(line)["sql"] for line in lines if line.strip()]
    return queries
