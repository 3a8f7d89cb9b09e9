"""Graphs of warehouse size: Mermaid output kept within Mermaid's limits
(drawn at table level, then cut into several diagrams), the table-level
graph, and the html page's two views in one drawing."""

import re
import shutil

import pytest

from column_lineage.formats import FormatError
from column_lineage.formats.graph import build_graph, table_edges
from column_lineage.formats.html import drawing, page, render_views, view_of
from column_lineage.formats.mermaid import Limits, column_diagram, text, text_size, to_mermaid
from column_lineage.rows import FileLineage, OutputColumn, Row, Statement

needs_dot = pytest.mark.skipif(shutil.which("dot") is None,
                               reason="Graphviz's dot is not installed (Debian: graphviz)")


def chain(views, columns=3, base="base"):
    """A warehouse as the analysis gives it: view i (wh.v<i>) reads views
    i-1 and i-2 and the base table, each column from the same-named ones."""
    names = [f"c{k}" for k in range(columns)]
    statements = []
    for i in range(views):
        sources = [("wh", base)] + [("wh", f"v{j}") for j in (i - 1, i - 2) if j >= 0]
        statement = Statement(file="views.sql", number=i + 1, kind="CREATE VIEW",
                              target_db="wh", target_table=f"v{i}",
                              columns=[OutputColumn(k + 1, name, name, target_column=name)
                                       for k, name in enumerate(names)])
        statement.rows = [Row(file="views.sql", statement=i + 1, position=k + 1, output_name=name,
                              target_db="wh", target_table=f"v{i}", target_column=name,
                              column_name=name, column_type="column", table_db=db,
                              table_name=table, resolved=True)
                          for k, name in enumerate(names) for db, table in sources]
        statements.append(statement)
    return [FileLineage("views.sql", statements)]


def diagrams(output):
    """The diagrams of a Mermaid output: each one's lines, its first line
    `flowchart LR` included."""
    found = []
    for line in output.splitlines():
        if line == "flowchart LR":
            found.append([])
        if line:
            found[-1].append(line)
    return found


ARROW = re.compile(r" +(n\d+(?:c\d+)?) (?:-->|==>|-\.->)(?:\|[^|]*\|)? (n\d+(?:c\d+)?)$")
NODE = re.compile(r" +(?:subgraph )?(n\d+(?:c\d+)?) ?\[")


def edges_of(lines):
    return [found.groups() for found in map(ARROW.fullmatch, lines) if found]


def notes(lines):
    return [line.strip()[3:] for line in lines if line.strip().startswith("%%")]


# Mermaid's limits -------------------------------------------------------------

def test_a_graph_within_the_limits_is_drawn_column_by_column_unchanged():
    graph = build_graph(chain(5))
    assert to_mermaid(graph) == text(column_diagram(graph))
    assert "%%" not in to_mermaid(graph)


@pytest.mark.parametrize("limit, columns", [
    ("edges", True), ("edges", False), ("text", True), ("text", False)])
def test_the_limits_are_inclusive(limit, columns):
    graph = build_graph(chain(6))
    exact = {"edges": len(graph.edges), "text": text_size(text(column_diagram(graph)))}[limit]
    limits = Limits(**{limit: exact if columns else exact - 1})
    output = to_mermaid(graph, limits)
    assert (output == text(column_diagram(graph))) == columns
    assert ("subgraph" in output) == columns


def test_a_warehouse_beyond_the_default_limits_is_one_diagram_of_tables():
    graph = build_graph(chain(100))
    assert len(graph.edges) > 500
    output = to_mermaid(graph)
    [lines] = diagrams(output)
    assert text_size(output) <= 50_000
    assert f"the column graph has {len(graph.edges)} edges" in notes(lines)[0].lower()
    assert "table level" in notes(lines)[1]
    assert {f"n{n}" for n in range(1, len(graph.nodes) + 1)} == \
        {found.group(1) for found in map(NODE.match, lines) if found}
    assert edges_of(lines) == [(edge.source, edge.target) for edge in table_edges(graph)]
    assert "subgraph" not in output


@pytest.mark.parametrize("views, limits", [
    (100, Limits(edges=40)),
    (100, Limits(text=1_500)),
    (30, Limits(edges=7, text=600)),
    (3, Limits(edges=1)),
])
def test_a_table_graph_beyond_the_limits_is_cut_into_diagrams_each_within_them(views, limits):
    graph = build_graph(chain(views))
    pieces = diagrams(to_mermaid(graph, limits))
    assert len(pieces) > 1
    seen_edges, seen_nodes = [], set()
    for number, lines in enumerate(pieces, 1):
        defined = {found.group(1) for found in map(NODE.match, lines) if found}
        edges = edges_of(lines)
        assert len(edges) <= limits.edges
        assert text_size("\n".join(lines) + "\n") <= limits.text
        assert {end for edge in edges for end in edge} <= defined    # no edge to elsewhere
        assert f"this is diagram {number} of {len(pieces)}" in notes(lines)[2]
        seen_edges += edges
        seen_nodes |= defined
    assert sorted(seen_edges) == sorted((edge.source, edge.target) for edge in table_edges(graph))
    assert seen_nodes == {node.id for node in graph.nodes}


def test_a_table_whose_name_alone_is_beyond_the_limit_gets_a_diagram_of_its_own():
    graph = build_graph(chain(4, base="b" * 3_000))
    pieces = diagrams(to_mermaid(graph, Limits(edges=2, text=2_000)))
    lonely = [lines for lines in pieces if any("b" * 3_000 in line for line in lines)]
    assert lonely and all(len(edges_of(lines)) == 1 for lines in lonely)
    assert sum(len(edges_of(lines)) for lines in pieces) == len(table_edges(graph))


@pytest.mark.parametrize("edges, text_limit", [(0, 100), (10, 0), (-1, -1)])
def test_limits_must_be_positive(edges, text_limit):
    with pytest.raises(ValueError, match="must be positive"):
        Limits(edges=edges, text=text_limit)


def test_text_is_measured_as_mermaid_measures_it():
    assert text_size("ab") == 2 and text_size("\U0001d400") == 2     # one UTF-16 pair


# The table-level graph ------------------------------------------------------

def test_table_edges_fold_column_edges_into_one_per_pair_of_tables():
    graph = build_graph(chain(3, columns=4))
    labels = {node.id: node.label for node in graph.nodes}
    folded = [(labels[edge.source], labels[edge.target], edge.columns, edge.id)
              for edge in table_edges(graph)]
    assert folded == [("wh.base", "wh.v0", 4, "te1"), ("wh.base", "wh.v1", 4, "te2"),
                      ("wh.v0", "wh.v1", 4, "te3"), ("wh.base", "wh.v2", 4, "te4"),
                      ("wh.v1", "wh.v2", 4, "te5"), ("wh.v0", "wh.v2", 4, "te6")]


# The page's two views -------------------------------------------------------

@needs_dot
def test_the_page_holds_both_views_in_one_drawing():
    files = chain(12)
    graph = build_graph(files)
    columns, tables = render_views(graph)
    assert (columns.name, tables.name) == ("columns", "tables")
    assert tables.width * tables.height < columns.width * columns.height
    assert re.findall(r'<g id="(tn\d+)" class="node"', tables.content) == \
        [f"t{node.id}" for node in graph.nodes]
    assert len(re.findall(r'<g id="te\d+" class="edge"', tables.content)) == \
        len(table_edges(graph))
    assert len(re.findall(r'<g id="a_tn\d+h"', tables.content)) == len(graph.nodes)
    html = page(files, graph, [columns, tables])
    assert html.count("<svg") == 1 and html.count("</svg>") == 1
    assert '<g id="view-tables" class="view" display="none">' in html
    assert f'viewBox="0 0 {columns.width:g} {columns.height:g}"' in drawing([columns, tables])


@pytest.mark.parametrize("svg", ["", "<svg>", '<svg width="1pt" height="1pt" viewBox="0 0 1 1">'])
def test_a_drawing_not_as_dot_writes_it_is_a_clear_error(svg):
    with pytest.raises(FormatError, match="SVG this page cannot read"):
        view_of("columns", svg)
