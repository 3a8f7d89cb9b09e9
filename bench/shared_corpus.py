"""The shared corpus of public queries, loaded the one way for the tests and
the benchmarks: JSON lines files of entries with at least "id" and "sql"."""

import json
import os

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def corpus_directory():
    """LINEAGE_CORPUS if set, else shared/corpus beside the checkout or
    beside the folder of work trees; None when there is none."""
    if os.environ.get("LINEAGE_CORPUS"):
        return os.environ["LINEAGE_CORPUS"]
    for base in (os.path.dirname(ROOT), os.path.dirname(os.path.dirname(ROOT))):
        path = os.path.join(base, "shared", "corpus")
        if os.path.isdir(path):
            return path
    return None


def corpus_entries():
    """Every corpus entry, in file and line order; none without a corpus."""
    directory = corpus_directory()
    if directory is None or not os.path.isdir(directory):
        return []
    entries = []
    for name in sorted(os.listdir(directory)):
        if name.endswith(".jsonl"):
            with open(os.path.join(directory, name), encoding="utf-8") as lines:
                entries += [json.loads(line) for line in lines if line.strip()]
    return entries


def corpus_queries():
    """The SQL text of every corpus query, in file and line order; exits with
    a message when there is no corpus."""
    entries = corpus_entries()
    if not entries:
        raise SystemExit("the shared corpus is not beside the checkout")
    return [entry["sql"] for entry in entries]
