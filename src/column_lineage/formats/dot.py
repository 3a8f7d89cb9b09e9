"""The lineage graph as Graphviz DOT: one box per table listing its
columns (an HTML-like label with a port per column), edges column to
column, left to right.

Input text only ever lands inside HTML-like labels and their attributes,
escaped for them; ids and ports are the graph's generated ones."""

from __future__ import annotations

import html
import unicodedata

import graphviz

from ..rows import AGGREGATION, IDENTITY, TRANSFORMATION
from .graph import (
    INDIRECT,
    RESULT,
    TABLE,
    TARGET,
    GraphColumn,
    GraphEdge,
    GraphNode,
    GraphWriter,
    LineageGraph,
    TableEdge,
    is_sink,
    table_edges,
)

FONT = "Helvetica,Arial,sans-serif"
HEADER_COLOURS = {TABLE: "#dbe8f7", TARGET: "#fbe3c4", RESULT: "#d8efd2"}
UNRESOLVED_COLOUR = "#f8d4d4"
EDGE_STYLES = {IDENTITY: "solid", AGGREGATION: "bold", TRANSFORMATION: "dashed",
               INDIRECT: "dotted"}
INDIRECT_COLOUR = "#8c6bb1"
AMBIGUOUS_COLOUR = "#9a9a9a"


def label_text(text: str) -> str:
    """`text` as the content or attribute value of an HTML-like label:
    markup characters escaped, line breaks and tabs as spaces, other
    control characters (which the label's XML parser rejects) as U+FFFD,
    and backslashes doubled (Graphviz reads \\N in a label as the node's
    name, and \\\\ as one backslash)."""
    return html.escape("".join(map(_printable, text)).replace("\\", "\\\\"), quote=True)


def _printable(char: str) -> str:
    if char in "\n\r\t":
        return " "
    if unicodedata.category(char) in ("Cc", "Cs") or char in "\ufffe\uffff":
        return "\ufffd"
    return char


def cell_attributes(cell_id: str, tooltip: str, interactive: bool) -> str:
    """The id and tooltip the html page finds a cell by (Graphviz writes
    them only for a cell with a link)."""
    if not interactive:
        return ""
    return f' ID="{cell_id}" HREF="#" TOOLTIP="{label_text(tooltip)}"'


def header_tooltip(node: GraphNode) -> str:
    """What a table's header says on hover: its name, or who writes it."""
    if node.kind == RESULT:
        return node.writers[0]
    if node.writers:
        return f"{node.label}: written by {', '.join(node.writers)}"
    return node.label


def header_row(node: GraphNode, interactive: bool) -> str:
    attributes = cell_attributes(f"{node.id}h", header_tooltip(node), interactive)
    return (f'<TR><TD BGCOLOR="{HEADER_COLOURS[node.kind]}"{attributes}>'
            f"{label_text(node.label)}</TD></TR>")


def column_row(node: GraphNode, column: GraphColumn, interactive: bool) -> str:
    text = label_text(column.name)
    tooltip = f"{node.label}.{column.name}"
    if column.detail and column.detail != column.name:
        tooltip += f" = {column.detail}"
    colour = ""
    if column.unresolved:
        text, colour = f"<I>{text}</I>", f' BGCOLOR="{UNRESOLVED_COLOUR}"'
        tooltip += " (a source was not found)"
    attributes = cell_attributes(column.id, tooltip, interactive)
    return f'<TR><TD PORT="{port(column.id)}" ALIGN="LEFT"{colour}{attributes}>{text}</TD></TR>'


def node_label(node: GraphNode, interactive: bool = False) -> str:
    rows = [header_row(node, interactive)]
    rows += [column_row(node, column, interactive) for column in node.columns]
    return ('<<TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="3" BGCOLOR="white">'
            + "".join(rows) + "</TABLE>>")


def port(column_id: str) -> str:
    """The column's port in its node: n3c2 -> c2."""
    return "c" + column_id.split("c", 1)[1]


def endpoint(column_id: str, side: str) -> str:
    node_id, number = column_id.split("c", 1)
    return f"{node_id}:c{number}:{side}"


def edge_attributes(edge: GraphEdge, interactive: bool) -> dict[str, str]:
    attributes = {"style": EDGE_STYLES.get(edge.transformation, "solid")}
    if edge.ambiguous:
        attributes["color"] = AMBIGUOUS_COLOUR
    if edge.transformation == INDIRECT:
        attributes["color"] = INDIRECT_COLOUR
    if interactive:
        attributes["id"] = edge.id
        attributes["class"] = edge.transformation.lower() + (" ambiguous" if edge.ambiguous else "")
    return attributes


def to_digraph(graph: LineageGraph, interactive: bool = False) -> graphviz.Digraph:
    """The graph for Graphviz; `interactive` adds the ids, links and
    tooltips the html page works with."""
    graph_attributes = {"rankdir": "LR", "ranksep": "1.2", "nodesep": "0.2", "fontname": FONT}
    if interactive:
        graph_attributes["id"] = "columns"
    dot = graphviz.Digraph(
        "lineage",
        graph_attr=graph_attributes,
        node_attr={"shape": "plain", "fontname": FONT, "fontsize": "11"},
        edge_attr={"arrowsize": "0.6", "color": "#4a6fa5"},
    )
    for node in graph.nodes:
        extra = {"id": node.id} if interactive else {}
        dot.node(node.id, label=node_label(node, interactive), **extra)
    rank_sinks(dot, graph)
    for edge in graph.edges:
        dot.edge(endpoint(edge.source, "e"), endpoint(edge.target, "w"),
                 **edge_attributes(edge, interactive))
    return dot


def rank_sinks(dot: graphviz.Digraph, graph: LineageGraph) -> None:
    """Puts the outputs nothing reads in the rightmost rank."""
    sinks = [node.id for node in graph.nodes if is_sink(node)]
    if sinks:
        with dot.subgraph(name="outputs") as outputs:
            outputs.attr(rank="sink")
            for node_id in sinks:
                outputs.node(node_id)


def table_node_label(node: GraphNode) -> str:
    """A table folded to one cell: its name over its column count, the
    whole cell a link (id t<node>h) for the html page."""
    count = len(node.columns)
    tooltip = f"{header_tooltip(node)} ({count} column{'s' * (count != 1)})"
    attributes = cell_attributes(f"t{node.id}h", tooltip, True)
    return ('<<TABLE BORDER="0" CELLBORDER="1" CELLSPACING="0" CELLPADDING="4" BGCOLOR="white">'
            f'<TR><TD BGCOLOR="{HEADER_COLOURS[node.kind]}"{attributes}>{label_text(node.label)}'
            f'<BR/><FONT POINT-SIZE="9" COLOR="#555555">{count} column{"s" * (count != 1)}</FONT>'
            "</TD></TR></TABLE>>")


def table_edge_width(edge: TableEdge) -> str:
    """Thicker for more columns: 1 for one, 3 from nine on."""
    return f"{min(3.0, 1 + (edge.columns - 1) / 4):g}"


def to_table_digraph(graph: LineageGraph) -> graphviz.Digraph:
    """The html page's table view: one box per table (ids t<node>), one
    edge (ids te<n>) per pair of tables some column edge joins."""
    dot = graphviz.Digraph(
        "tables",
        graph_attr={"rankdir": "LR", "ranksep": "0.9", "nodesep": "0.25", "fontname": FONT,
                    "id": "tables"},
        node_attr={"shape": "plain", "fontname": FONT, "fontsize": "11"},
        edge_attr={"arrowsize": "0.6", "color": "#4a6fa5"},
    )
    for node in graph.nodes:
        dot.node(node.id, label=table_node_label(node), id=f"t{node.id}")
    rank_sinks(dot, graph)
    for edge in table_edges(graph):
        dot.edge(edge.source, edge.target, id=edge.id, penwidth=table_edge_width(edge))
    return dot


class DotWriter(GraphWriter):
    def render(self, graph: LineageGraph) -> str:
        source: str = to_digraph(graph).source
        return source
