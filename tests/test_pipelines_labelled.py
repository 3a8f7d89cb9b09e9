"""Hand-labelled multi-file pipelines (tests/pipelines/<name>/, run in name
order) against `lineage --end-to-end --json`: per written column of every
permanent table or view left at the end, the set of its ultimate source
columns, as tests/pipelines/expected.yaml labels them by hand."""

import json
import os
import subprocess
import sys

import pytest
import yaml

from conftest import subprocess_env

PIPELINES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "pipelines")
with open(os.path.join(PIPELINES, "expected.yaml"), encoding="utf-8") as labels:
    EXPECTED = yaml.safe_load(labels)


def column(row, side):
    return ".".join(row[f"{side}_{key}"] or "" for key in ("db", "table", "column")).lower()


def end_to_end(directory):
    """{db.table.column written: {db.table.column of each ultimate source}}."""
    run = subprocess.run([sys.executable, "-m", "column_lineage", "--end-to-end", "--json", directory],
                         capture_output=True, text=True, timeout=300, env=subprocess_env())
    assert run.returncode == 0, run.stderr
    found: dict[str, set[str]] = {}
    for row in map(json.loads, run.stdout.splitlines()):
        sources = found.setdefault(column(row, "target"), set())
        if row["source_column"] is not None:
            sources.add(column(row, "source"))
    return found


def test_every_pipeline_is_labelled():
    assert sorted(EXPECTED) == sorted(entry.name for entry in os.scandir(PIPELINES) if entry.is_dir())


@pytest.mark.parametrize("name", sorted(EXPECTED))
def test_ultimate_sources_of_every_written_column(name):
    directory = os.path.join(PIPELINES, name)
    assert 2 <= len([file for file in os.listdir(directory) if file.endswith(".sql")]) <= 6
    found = end_to_end(directory)
    expected = {target.lower(): set(sources) for target, sources in EXPECTED[name]["columns"].items()}
    # the written columns must be the same (absent: None), and each one's sources
    wrong = {target: {"tool": sorted(found[target]) if target in found else None,
                      "label": sorted(expected[target]) if target in expected else None}
             for target in sorted(found.keys() | expected.keys()) if found.get(target) != expected.get(target)}
    assert not wrong, "\n" + yaml.safe_dump(wrong, sort_keys=False)
