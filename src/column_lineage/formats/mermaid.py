"""The lineage graph as a Mermaid flowchart: one subgraph per table with a
node per column, edges column to column, left to right.

Labels are always double-quoted, and every character that could end or
change a label (quotes, brackets, pipes, markup, `#`, line breaks...) is
written as a Mermaid entity code (#34; for "), so any name stays one
well-formed label; ids are the graph's generated ones.

Mermaid refuses a diagram beyond its default limits (500 edges, 50,000
characters of text). A column graph beyond them is drawn at table level
(one node per table); a table graph still beyond them is cut into several
diagrams, each within the limits, one after the other in the output, each
starting with its own `flowchart LR` line. A `%%` comment in each diagram
says what was done."""

from __future__ import annotations

from dataclasses import dataclass

from ..rows import AGGREGATION, IDENTITY, TRANSFORMATION
from .graph import INDIRECT, GraphEdge, GraphNode, GraphWriter, LineageGraph, TableEdge, table_edges

# Characters written as themselves in a label, besides letters and digits.
PLAIN = set(" _.,:;-+*/=?!@$^~'")

ARROWS = {IDENTITY: "-->", AGGREGATION: "==>", TRANSFORMATION: "-.->",
          INDIRECT: "-. indirect .->"}

CLASSES = (
    "classDef unresolved fill:#f8d4d4,stroke:#b00000,stroke-dasharray:4 3",
)

HEADER = "flowchart LR"


@dataclass(frozen=True)
class Limits:
    """The most edges and characters (UTF-16 code units, as Mermaid counts
    them) one diagram may have: Mermaid's defaults unless told."""
    edges: int = 500
    text: int = 50_000

    def __post_init__(self) -> None:
        if self.edges < 1 or self.text < 1:
            raise ValueError(f"Mermaid limits must be positive, not {self.edges} edges "
                             f"and {self.text} characters")


DEFAULT_LIMITS = Limits()


@dataclass(frozen=True)
class Diagram:
    """One diagram's lines (without its `flowchart LR` line and note) and
    its edge count."""
    lines: tuple[str, ...]
    edges: int


def label(text: str) -> str:
    """`text` as a quoted Mermaid label."""
    return '"' + "".join(char if char.isalnum() or char in PLAIN else f"#{ord(char)};"
                         for char in text) + '"'


def edge_line(edge: GraphEdge) -> str:
    arrow = ARROWS.get(edge.transformation, "-->")
    if edge.ambiguous:
        arrow += "|ambiguous|"
    return f"    {edge.source} {arrow} {edge.target}"


def text_size(text: str) -> int:
    """The length of `text` as Mermaid measures it (JavaScript's
    String.length: UTF-16 code units)."""
    return len(text.encode("utf-16-le")) // 2


def column_diagram(graph: LineageGraph) -> Diagram:
    """The graph column by column: a subgraph per table, a node per column."""
    lines = []
    unresolved = []
    for node in graph.nodes:
        lines.append(f"    subgraph {node.id} [{label(node.label)}]")
        for column in node.columns:
            lines.append(f"        {column.id}[{label(column.name)}]")
            if column.unresolved:
                unresolved.append(column.id)
        lines.append("    end")
    lines += [edge_line(edge) for edge in graph.edges]
    lines += [f"    {line}" for line in CLASSES]
    if unresolved:
        lines.append(f"    class {','.join(unresolved)} unresolved")
    return Diagram(tuple(lines), len(graph.edges))


def table_node_line(node: GraphNode) -> str:
    return f"    {node.id}[{label(node.label)}]"


def table_edge_line(edge: TableEdge) -> str:
    return f"    {edge.source} --> {edge.target}"


def table_diagram(nodes: list[GraphNode], edges: list[TableEdge]) -> Diagram:
    """The tables given, a node each, and the edges between them."""
    lines = [table_node_line(node) for node in nodes]
    lines += [table_edge_line(edge) for edge in edges]
    return Diagram(tuple(lines), len(edges))


def text(diagram: Diagram, notes: tuple[str, ...] = ()) -> str:
    """The diagram as Mermaid, the notes as `%%` comments under its first
    line."""
    return "\n".join((HEADER, *(f"    %% {note}" for note in notes), *diagram.lines)) + "\n"


def within(diagram: Diagram, limits: Limits, notes: tuple[str, ...] = ()) -> bool:
    return diagram.edges <= limits.edges and text_size(text(diagram, notes)) <= limits.text


def size_note(diagram: Diagram, limits: Limits) -> str:
    return (f"The column graph has {diagram.edges} edges and {text_size(text(diagram))} "
            f"characters, beyond Mermaid's limits of maxEdges {limits.edges} and maxTextSize "
            f"{limits.text}.")


TABLE_NOTE = ("Drawn at table level: one node per table, an edge where some column of one "
              "feeds a column of the other.")


def split_note(number: int, count: int) -> str:
    return (f"The table graph is still beyond them: split into {count} diagrams, each within "
            f"the limits and each rendered on its own, from its flowchart line; this is diagram "
            f"{number} of {count}. A table in several diagrams has the same id in each.")


def line_size(line: str) -> int:
    """What a line adds to a diagram's text, its line break included."""
    return text_size(line) + 1


def split_tables(graph: LineageGraph, edges: list[TableEdge], limits: Limits,
                 reserve: int) -> list[Diagram]:
    """The table graph cut into diagrams of at most `limits.edges` edges and
    `limits.text` - `reserve` characters each (a single edge or table beyond
    that gets a diagram of its own): edges grouped by the table they feed,
    in the graph's order, each diagram naming the tables its edges join;
    tables no edge joins go last."""
    by_id = {node.id: node for node in graph.nodes}
    order = {node.id: index for index, node in enumerate(graph.nodes)}
    budget = limits.text - reserve
    empty = line_size(HEADER)
    diagrams: list[Diagram] = []
    nodes: dict[str, GraphNode] = {}
    chosen: list[TableEdge] = []
    size = empty

    def add(node_ids: tuple[str, ...], edge: TableEdge | None) -> None:
        nonlocal nodes, chosen, size
        new = [by_id[node_id] for node_id in dict.fromkeys(node_ids) if node_id not in nodes]
        extra = sum(line_size(table_node_line(node)) for node in new)
        extra += line_size(table_edge_line(edge)) if edge else 0
        full = len(chosen) + (edge is not None) > limits.edges or size + extra > budget
        if full and nodes:
            diagrams.append(table_diagram(list(nodes.values()), chosen))
            nodes, chosen, size = {}, [], empty
            add(node_ids, edge)
            return
        nodes.update((node.id, node) for node in new)
        if edge:
            chosen.append(edge)
        size += extra

    for edge in sorted(edges, key=lambda edge: (order[edge.target], order[edge.source])):
        add((edge.source, edge.target), edge)
    joined = {node_id for edge in edges for node_id in (edge.source, edge.target)}
    for node in graph.nodes:
        if node.id not in joined:
            add((node.id,), None)
    if nodes:
        diagrams.append(table_diagram(list(nodes.values()), chosen))
    return diagrams


def to_mermaid(graph: LineageGraph, limits: Limits = DEFAULT_LIMITS) -> str:
    """The graph as Mermaid: column by column when that is within `limits`;
    else at table level, cut into several diagrams when even that is beyond
    them (a note in each says so)."""
    columns = column_diagram(graph)
    if within(columns, limits):
        return text(columns)
    size = size_note(columns, limits)
    edges = table_edges(graph)
    tables = table_diagram(graph.nodes, edges)
    if within(tables, limits, (size, TABLE_NOTE)):
        return text(tables, (size, TABLE_NOTE))
    widest = (size, TABLE_NOTE, split_note(len(edges) + len(graph.nodes),
                                           len(edges) + len(graph.nodes)))
    reserve = text_size(text(Diagram((), 0), widest)) - text_size(HEADER) - 1
    pieces = split_tables(graph, edges, limits, reserve)
    return "\n".join(text(piece, (size, TABLE_NOTE, split_note(number, len(pieces))))
                     for number, piece in enumerate(pieces, 1))


class MermaidWriter(GraphWriter):
    def render(self, graph: LineageGraph) -> str:
        return to_mermaid(graph)
