"""The package's shape: its exceptions in errors.py (each importable from the
module that raises it), its record types in rows.py, imports that run one
way between the analysis' stages and never in a circle, the row's own
verdicts (unresolved, unsupported, sourceless) as the counts use them, and
the writers' typed options as the command builds them."""

from __future__ import annotations

import ast
import importlib
import inspect
import pkgutil
from datetime import UTC, datetime
from pathlib import Path

import pytest

import column_lineage
from column_lineage import cli, errors, rows, shapes
from column_lineage.formats import WriterOptions, streams, writer_class
from column_lineage.rows import NO_SOURCE, NOT_SUPPORTED, STAR_SPREAD, Row, Statement
from column_lineage.summary import Summary

PACKAGE = Path(column_lineage.__file__).parent
# The analysis' stages, each importing only from those before it.
STAGES = ["rows", "statements", "normalise", "records", "trace", "compose", "analysis"]


def top_level_imports(path: Path) -> set[str]:
    """The package's modules a module imports when it is imported: its
    module-level imports, outside `if TYPE_CHECKING:` (relative ones
    resolved, by module name without the package's)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    inside = path.parent.relative_to(PACKAGE).parts
    found: set[str] = set()
    for node in tree.body:
        if isinstance(node, ast.ImportFrom) and node.level:
            base = list(inside[:len(inside) - node.level + 1])
            parts = base + (node.module.split(".") if node.module else [])
            found.add(".".join(parts))
            # from . import x: x may be a module of its own
            found.update(".".join([*parts, alias.name]) for alias in node.names)
    return {name for name in found if name in module_names()}


def module_name(path: Path) -> str:
    """A module's name inside the package ("" for the package's own)."""
    parts = path.relative_to(PACKAGE).with_suffix("").parts
    return ".".join(parts[:-1] if parts[-1] == "__init__" else parts)


def module_names() -> set[str]:
    return {module_name(path) for path in PACKAGE.rglob("*.py")}


def import_graph() -> dict[str, set[str]]:
    return {module_name(path): top_level_imports(path) - {module_name(path)}
            for path in PACKAGE.rglob("*.py")}


def test_no_module_imports_in_a_circle():
    graph = import_graph()
    state: dict[str, str] = {}

    def visit(name: str, trail: list[str]) -> None:
        state[name] = "open"
        for imported in sorted(graph.get(name, ())):
            assert state.get(imported) != "open", " -> ".join([*trail, name, imported])
            if imported not in state:
                visit(imported, [*trail, name])
        state[name] = "done"

    for name in sorted(graph):
        if name not in state:
            visit(name, [])


@pytest.mark.parametrize("stage", STAGES)
def test_a_stage_imports_no_later_stage(stage):
    later = set(STAGES[STAGES.index(stage) + 1:])
    assert not import_graph()[stage] & later


def package_classes():
    for info in pkgutil.walk_packages([str(PACKAGE)], prefix="column_lineage."):
        if info.name in ("column_lineage.test", "column_lineage.__main__"):
            continue  # the native module; the command's run
        module = importlib.import_module(info.name)
        for _, value in inspect.getmembers(module, inspect.isclass):
            if value.__module__ == info.name:
                yield info.name, value


def test_every_exception_of_the_package_is_defined_in_errors():
    defined = {(name, value.__name__) for name, value in package_classes()
               if issubclass(value, BaseException)}
    assert defined and {name for name, _ in defined} == {"column_lineage.errors"}, defined


@pytest.mark.parametrize("module, name", [
    ("column_lineage", "LineageError"), ("column_lineage.statements", "LineageError"),
    ("column_lineage.analysis", "LineageError"), ("column_lineage.store", "StoreError"),
    ("column_lineage.server", "ServerError"), ("column_lineage.routines", "RoutineError"),
    ("column_lineage.formats", "FormatError"),
])
def test_an_exception_is_importable_from_where_it_is_raised(module, name):
    assert getattr(importlib.import_module(module), name) is getattr(errors, name)


def test_the_record_types_live_in_rows():
    names = ["Row", "Statement", "OutputColumn", "IndirectRow", "TableChange", "FileLineage",
             "TableName", "LineageRecord", "TraceRecord", "RowDict", "SqlNode", "Trace",
             "QueryLineage", "Numbered", "ItemFacts"]
    assert {getattr(rows, name).__module__ for name in names} == {"column_lineage.rows"}
    # shapes.py keeps the names earlier releases (and the module's stub) import.
    assert (shapes.LineageRecord, shapes.RowDict, shapes.SqlNode) == \
        (rows.LineageRecord, rows.RowDict, rows.SqlNode)


def row(**values) -> Row:
    return Row("f.sql", 1, position=values.pop("position", 1), output_name="x", **values)


# (row, unresolved, unsupported, sourceless)
VERDICTS = [
    (row(column_name="a", column_type="column", table_name="t", resolved=True),
     False, False, False),
    (row(column_name="a", column_type="column"), True, False, False),  # table not found
    (row(column_name="1", column_type="literal"), False, False, True),
    (row(column_name="now", column_type="anonymous"), False, False, True),
    (row(column_alias="x", note=NO_SOURCE), False, False, True),
    (row(column_alias="x", note=NOT_SUPPORTED + "UNNEST(t.arr)"), False, True, False),
    (row(column_name="a", column_type="column", table_name="t", resolved=True,
         note=STAR_SPREAD + "*: a schema would say which"), True, False, False),
]


@pytest.mark.parametrize("found, unresolved, unsupported, sourceless", VERDICTS)
def test_a_row_says_what_it_hides(found, unresolved, unsupported, sourceless):
    assert (found.unresolved, found.unsupported, found.sourceless) == \
        (unresolved, unsupported, sourceless)


def test_the_counts_take_the_rows_verdicts_once_per_output_column():
    verdicts = [found for found, *_ in VERDICTS]
    numbered = [Row(**{**found.as_dict(), "position": at}) for at, found in
                enumerate(verdicts, start=1)]
    twice = [*numbered, numbered[1], numbered[5]]  # an output column counts once
    summary = Summary()
    summary.add_statement(Statement("f.sql", 1, "SELECT", rows=twice))
    assert (summary.unresolved, summary.unsupported) == (
        sum(found.unresolved for found in verdicts), sum(found.unsupported for found in verdicts))


def test_the_command_builds_the_writers_options():
    options = cli.parse_arguments(["--format", "openlineage", "--indirect", "--csv-safe",
                                   "--namespace", "pg://w", "--job-prefix", "etl/",
                                   "--event-time", "2026-03-01T12:30:00", "--upstream", "a.b.c",
                                   "q.sql"])
    options.job_names = {"q.sql": "q"}
    assert cli.writer_options(options) == WriterOptions(
        indirect=True, csv_safe=True, per_file=True, namespace="pg://w", job_prefix="etl/",
        job_names={"q.sql": "q"}, event_time=datetime(2026, 3, 1, 12, 30, tzinfo=UTC))


@pytest.mark.parametrize("name, options, streaming", [
    ("csv", WriterOptions(), True), ("json", WriterOptions(), True),
    ("table", WriterOptions(), True), ("report", WriterOptions(), True),
    ("openlineage", WriterOptions(), True),
    ("openlineage", WriterOptions(per_file=True), False),  # one event per file: held
    ("dot", WriterOptions(), False), ("mermaid", WriterOptions(), False),
])
def test_the_writers_that_take_a_file_statement_by_statement(name, options, streaming):
    import io

    assert streams(writer_class(name)(io.StringIO(), options)) is streaming
