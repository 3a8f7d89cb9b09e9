"""Every format of the command over the hand-built ETL directory, against
its golden output under tests/golden/. Run with LINEAGE_UPDATE_GOLDEN=1 to
rewrite the goldens after a deliberate change, then read the diff."""

import contextlib
import io
import os
from datetime import datetime, timezone

import pytest

from column_lineage.formats import WriterOptions, writer_class
from etl_lineage import etl_directory

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
EVENT_TIME = datetime(2026, 3, 1, 12, 30, tzinfo=timezone.utc)


class Terminal(io.StringIO):
    """Captured output that says it is a terminal."""

    def isatty(self):
        return True


def options(**changes):
    settings = dict(several_files=True, dialect="mysql", namespace="mysql://localhost",
                    event_time=EVENT_TIME)
    settings.update(changes)
    return WriterOptions(**settings)


def render(name, lineages=None, out=None, **changes):
    """What the writer of format `name` prints for the lineages (the ETL
    directory by default). The report's frame is printed by the native
    module on sys.stdout, so that is captured too."""
    out = io.StringIO() if out is None else out
    with contextlib.redirect_stdout(out):
        writer = writer_class(name)(out, options(**changes))
        for lineage in etl_directory() if lineages is None else lineages:
            writer.write(lineage)
        writer.close()
    return out.getvalue()


@pytest.mark.parametrize("name, golden, terminal_columns", [
    ("table", "etl.table.txt", None),
    ("table", "etl.table-60-columns.txt", 60),
    ("report", "etl.report.txt", None),
    ("json", "etl.jsonl", None),
    ("csv", "etl.csv", None),
    ("openlineage", "etl.openlineage.jsonl", None),
])
def test_golden_output(name, golden, terminal_columns, monkeypatch):
    out = None
    if terminal_columns:
        monkeypatch.setenv("COLUMNS", str(terminal_columns))
        out = Terminal()
    text = render(name, out=out)
    path = os.path.join(GOLDEN, golden)
    if os.environ.get("LINEAGE_UPDATE_GOLDEN"):
        with open(path, "w", encoding="utf-8", newline="") as file:
            file.write(text)
    with open(path, encoding="utf-8", newline="") as file:
        assert text == file.read()
