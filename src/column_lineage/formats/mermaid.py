"""The lineage graph as a Mermaid flowchart: one subgraph per table with a
node per column, edges column to column, left to right.

Labels are always double-quoted, and every character that could end or
change a label (quotes, brackets, pipes, markup, `#`, line breaks...) is
written as a Mermaid entity code (#34; for "), so any name stays one
well-formed label; ids are the graph's generated ones."""

from __future__ import annotations

from ..rows import AGGREGATION, IDENTITY, TRANSFORMATION
from .graph import GraphEdge, GraphWriter, LineageGraph

# Characters written as themselves in a label, besides letters and digits.
PLAIN = set(" _.,:;-+*/=?!@$^~'")

ARROWS = {IDENTITY: "-->", AGGREGATION: "==>", TRANSFORMATION: "-.->"}

CLASSES = (
    "classDef unresolved fill:#f8d4d4,stroke:#b00000,stroke-dasharray:4 3",
)


def label(text: str) -> str:
    """`text` as a quoted Mermaid label."""
    return '"' + "".join(char if char.isalnum() or char in PLAIN else f"#{ord(char)};"
                         for char in text) + '"'


def edge_line(edge: GraphEdge) -> str:
    arrow = ARROWS.get(edge.transformation, "-->")
    if edge.ambiguous:
        arrow += "|ambiguous|"
    return f"    {edge.source} {arrow} {edge.target}"


def to_mermaid(graph: LineageGraph) -> str:
    lines = ["flowchart LR"]
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
    return "\n".join(lines) + "\n"


class MermaidWriter(GraphWriter):
    def render(self, graph: LineageGraph) -> str:
        return to_mermaid(graph)
