"""The graph formats (dot, mermaid, html): the graph built from the ETL
directory, golden outputs, labels that stay well-formed whatever the names
hold, and the html format without Graphviz."""

import html
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
from io import StringIO

import pytest

from column_lineage.formats import writer_class
from column_lineage.formats.dot import label_text, to_digraph
from column_lineage.formats.graph import RESULT, TABLE, TARGET, build_graph
from column_lineage.formats.html import page_data, script_json
from column_lineage.formats.mermaid import to_mermaid
from column_lineage.rows import IDENTITY, FileLineage, OutputColumn, Row, Statement
from conftest import ROOT
from etl_lineage import etl_directory

GOLDEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "golden")
needs_dot = pytest.mark.skipif(shutil.which("dot") is None,
                               reason="Graphviz's dot is not installed (Debian: graphviz)")

HOSTILE_NAMES = [
    'say "hi"',
    "a[1]{2}|b",
    "two\nlines",
    "<img src=x onerror=alert(1)>",
    "&amp; & &lt;",
    "back\\slash\\",
    "\\N\\G\\l",
    "#quot; #35; %% end",
    "`tick` 'quote'",
    "tab\tbell\x07",
]


def render(writer_name, files):
    out = StringIO()
    writer = writer_class(writer_name)(out, None)
    for lineage in files:
        writer.write(lineage)
    writer.close()
    return out.getvalue()


def by_label(graph):
    return {node.label: node for node in graph.nodes}


def column_names(node):
    return [column.name for column in node.columns]


def hostile_lineage(name):
    """One SELECT reading column `name` of table `name` in database `name`,
    written by a file of that name, its output named `name` too."""
    statement = Statement(file=name, number=1, kind="SELECT", sql="",
                          columns=[OutputColumn(1, name, name, IDENTITY)])
    statement.rows = [Row(file=name, statement=1, position=1, output_name=name, column_sort=1,
                          column_name=name, column_alias=name, column_table="t",
                          column_type="column", table_db=name, table_name=name,
                          table_alias="t", resolved=True)]
    return [FileLineage(name, [statement])]


def shown(text):
    """How a label shows text: line breaks and tabs as spaces, other
    control characters as U+FFFD."""
    return re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", "\ufffd", re.sub(r"[\n\r\t]", " ", text))


# The graph ------------------------------------------------------------------

def test_a_table_written_then_read_is_one_node_between_its_writer_and_readers():
    graph = build_graph(etl_directory())
    nodes = by_label(graph)
    assert nodes["dw.daily_sales"].kind == TARGET
    assert column_names(nodes["dw.daily_sales"]) == ["day", "region", "revenue"]
    assert nodes["sales.orders"].kind == TABLE
    assert nodes["etl/02_report.sql #1"].kind == RESULT
    ids = graph.column_index()
    pairs = {(f"{ids[e.source][0].label}.{ids[e.source][1].name}",
              f"{ids[e.target][0].label}.{ids[e.target][1].name}") for e in graph.edges}
    assert ("sales.orders.amount", "dw.daily_sales.revenue") in pairs
    assert ("dw.daily_sales.revenue", "etl/02_report.sql #1.revenue") in pairs


def test_statements_without_a_query_or_with_an_error_draw_nothing():
    files = etl_directory()
    files[1].statements[2].error = "not supported"
    labels = by_label(build_graph(files))
    assert "etl/01_load.sql #2" not in labels       # the UPDATE
    assert "etl/02_report.sql #3" not in labels


def test_union_branches_from_one_column_make_one_edge_and_literals_none():
    graph = build_graph(etl_directory())
    result = by_label(graph)["etl/02_report.sql #1"]
    into = [edge for edge in graph.edges if edge.target in {c.id for c in result.columns}]
    assert len(into) == 2            # region -> area, revenue (both branches) -> revenue
    assert not any(column.unresolved for column in result.columns)


def test_a_column_without_a_table_is_marked_unresolved():
    node = by_label(build_graph(etl_directory()))["etl/02_report.sql #3"]
    assert [(column.name, column.unresolved) for column in node.columns] == [("x", True)]


@pytest.mark.parametrize("first, second, nodes, columns", [
    (("Sales", "Orders", "ID"), ("sales", "orders", "id"), 2, 1),   # one table, any case
    (("sales", "orders", "id"), ("crm", "orders", "id"), 3, 1),     # same name, other db
])
def test_source_tables_and_columns_are_told_apart_by_db_and_name_case_insensitively(
        first, second, nodes, columns):
    statement = Statement(file="f.sql", number=1, kind="SELECT",
                          columns=[OutputColumn(1, "a", "a"), OutputColumn(2, "a", "a")])
    statement.rows = [Row(file="f.sql", statement=1, position=position, output_name="a",
                          column_name=column, table_db=db, table_name=table, resolved=True)
                      for position, (db, table, column) in ((1, first), (2, second))]
    graph = build_graph([FileLineage("f.sql", [statement])])
    assert len(graph.nodes) == nodes
    assert all(len(node.columns) == columns for node in graph.nodes if node.kind == TABLE)
    result = by_label(graph)["f.sql #1"]
    assert column_names(result) == ["a", "a"]       # two select items of one name stay two


# Golden outputs -------------------------------------------------------------

@pytest.mark.parametrize("format_name, golden", [("dot", "etl_graph.dot"),
                                                 ("mermaid", "etl_graph.mmd")])
def test_golden_output_of_the_etl_directory(format_name, golden):
    with open(os.path.join(GOLDEN, golden), encoding="utf-8") as expected:
        assert render(format_name, etl_directory()) == expected.read()


@needs_dot
def test_golden_dot_lays_out_without_a_warning():
    with open(os.path.join(GOLDEN, "etl_graph.dot"), encoding="utf-8") as golden:
        done = subprocess.run(["dot", "-Tsvg"], input=golden.read(), capture_output=True,
                              text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")


# Escaping -------------------------------------------------------------------

def svg_texts(svg):
    root = ElementTree.fromstring(svg)
    namespace = "{http://www.w3.org/2000/svg}"
    texts = ["".join(text.itertext()) for text in root.iter(f"{namespace}text")]
    titles = [anchor.get("{http://www.w3.org/1999/xlink}title")
              for anchor in root.iter(f"{namespace}a")]
    return texts, titles


@needs_dot
@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_dot_labels_stay_well_formed_and_show_the_name(name):
    graph = build_graph(hostile_lineage(name))
    done = subprocess.run(["dot", "-Tsvg"], input=to_digraph(graph, interactive=True).source,
                          capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    texts, titles = svg_texts(done.stdout)
    # Two column cells, two headers (table db.name, the file's result).
    assert texts.count(shown(name)) == 2
    assert shown(f"{name}.{name}") in texts and shown(f"{name} #1") in texts
    assert shown(f"{name}.{name}.{name}") in titles     # the tooltip, backslashes kept


@pytest.mark.parametrize("name", HOSTILE_NAMES)
def test_mermaid_labels_stay_well_formed_and_decode_to_the_name(name):
    text = to_mermaid(build_graph(hostile_lineage(name)))
    lines = text.splitlines()
    labelled = [line for line in lines if '["' in line]
    assert len(labelled) == 4 and len(lines) == 9      # nothing spilled onto other lines
    decoded = []
    for line in labelled:
        found = re.fullmatch(r' +(?:subgraph )?n\d+(?:c\d+)? ?\["([^"\[\]{}<>|`\\\n#]*(?:#\d+;[^"\[\]{}<>|`\\\n#]*)*)"\]', line)
        assert found, line
        decoded.append(re.sub(r"#(\d+);", lambda m: chr(int(m.group(1))), found.group(1)))
    assert decoded == [f"{name}.{name}", name, f"{name} #1", name]


@pytest.mark.parametrize("name", HOSTILE_NAMES + ["</script><!--", "</SCRIPT >"])
def test_json_for_the_page_script_cannot_end_the_script_and_reads_back(name):
    data = page_data(build_graph(hostile_lineage(name)))
    text = script_json(data)
    assert "</" not in text and "<!--" not in text and "<" not in text
    assert json.loads(text) == data


@pytest.mark.parametrize("text, expected", [
    ('"<&>\'', "&quot;&lt;&amp;&gt;&#x27;"),
    ("a\nb\tc", "a b c"),
    ("nul\x00", "nul\ufffd"),
    ("\\N", "\\\\N"),
])
def test_label_text_is_escaped_for_html_like_labels(text, expected):
    assert label_text(text) == expected


# The command ----------------------------------------------------------------

def lineage_command(args, env=None, stdin=""):
    return subprocess.run([sys.executable, "-m", "column_lineage", *args], input=stdin,
                          capture_output=True, text=True, env=env, timeout=120, cwd=ROOT)


FAILING_DOT = """#!/bin/sh
if [ "$1" = -V ]; then echo "dot - graphviz version 2.43.0 (0)" >&2; exit 0; fi
echo "Error: out of memory" >&2
exit 1
"""


@pytest.mark.parametrize("dot_program, message", [
    (None, "lineage: the html format needs Graphviz's dot program, which was not found"),
    (FAILING_DOT, "lineage: Graphviz's dot failed: Error: out of memory"),
])
def test_html_without_a_working_graphviz_fails_with_one_line(tmp_path, dot_program, message):
    if dot_program:
        (tmp_path / "dot").write_text(dot_program)
        (tmp_path / "dot").chmod(0o755)
    env = dict(os.environ, PATH=str(tmp_path))        # no other dot anywhere
    done = lineage_command(["--format", "html", "-"], env=env, stdin="SELECT t.a FROM db.t AS t")
    assert done.returncode == 1
    assert done.stdout == ""
    assert done.stderr.startswith(message)
    assert done.stderr.count("\n") == 1


@needs_dot
def test_html_page_from_the_command_inlines_the_graph(tmp_path):
    query = tmp_path / "q.sql"
    query.write_text("SELECT t.`<b>a</b>` AS x FROM db.t AS t", encoding="utf-8")
    done = lineage_command(["--format", "html", str(query)])
    assert done.returncode == 0
    assert done.stderr.startswith("lineage: 1 files,") and done.stderr.count("\n") == 1
    page = done.stdout
    assert page.startswith("<!DOCTYPE html>") and page.count("<svg") == 1
    assert "<?xml" not in page and "http://" not in page.replace(
        "http://www.w3.org/2000/svg", "").replace("http://www.w3.org/1999/xlink", "")
    assert "<b>a</b>" not in page and html.escape("<b>a</b>") in page
