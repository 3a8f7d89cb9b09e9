"""The lineage graph of a set of files, shared by the dot, mermaid and html
formats.

Nodes are the base tables a statement reads (named db.name), the tables a
statement writes, and the result of each plain SELECT ("file #n"); each
lists its columns. Edges run from a source column to the output column it
feeds. A table written by one statement and read by another is one node,
so lineage carries across statements and files.

Every node and column gets a short generated id (n3, n3c2): the writers use
those as graph ids and never put input text where an identifier goes."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TextIO

from ..rows import IDENTITY, FileLineage, Statement
from . import WriterOptions

TABLE = "table"      # only read
TARGET = "target"    # written by a statement (and maybe read by another)
RESULT = "result"    # the result of a plain SELECT

# The transformation of an edge from a column that decides which rows a
# statement writes (--indirect), rather than what a column holds.
INDIRECT = "INDIRECT"


@dataclass
class GraphColumn:
    id: str
    name: str
    detail: str | None = None       # the select item's SQL, for output columns
    unresolved: bool = False        # some source could not be traced to a table


@dataclass
class GraphNode:
    id: str
    label: str
    kind: str
    columns: list[GraphColumn] = field(default_factory=list)
    writers: list[str] = field(default_factory=list)   # "file #n (KIND)"
    read: bool = False
    db: str | None = None       # a table's database, as first named
    _by_key: dict[object, GraphColumn] = field(default_factory=dict, repr=False)

    def column(self, key: object, name: str) -> GraphColumn:
        """The column under `key`, added (named `name`) on first use."""
        found = self._by_key.get(key)
        if found is None:
            found = GraphColumn(f"{self.id}c{len(self.columns) + 1}", name)
            self._by_key[key] = found
            self.columns.append(found)
        return found


@dataclass(frozen=True)
class GraphEdge:
    id: str
    source: str          # column id
    target: str          # column id
    transformation: str = IDENTITY
    ambiguous: bool = False


@dataclass
class LineageGraph:
    indirect: bool = False  # draw what decides the rows too (edges of transformation INDIRECT)
    nodes: list[GraphNode] = field(default_factory=list)
    edges: list[GraphEdge] = field(default_factory=list)
    _tables: dict[tuple[str, str], GraphNode] = field(default_factory=dict, repr=False)
    _edge_keys: set[tuple[str, str]] = field(default_factory=set, repr=False)

    def table(self, db: str | None, name: str) -> GraphNode:
        key = ((db or "").lower(), name.lower())
        node = self._tables.get(key)
        if node is None:
            node = self._new_node(table_label(db, name), TABLE)
            node.db = db or None
            self._tables[key] = node
        return node

    def result(self, statement: Statement) -> GraphNode:
        return self._new_node(f"{statement.file} #{statement.label}", RESULT)

    def connect(self, source: GraphColumn, target: GraphColumn, transformation: str,
                ambiguous: bool) -> None:
        # An indirect edge is drawn beside a direct one of the same two columns.
        key = (source.id, target.id + ("/" if transformation == INDIRECT else ""))
        if key in self._edge_keys:
            return
        self._edge_keys.add(key)
        self.edges.append(GraphEdge(f"e{len(self.edges) + 1}", source.id, target.id,
                                    transformation, ambiguous))

    def add_file(self, lineage: FileLineage) -> None:
        for statement in lineage.statements:
            if drawable(statement):
                self.add_statement(statement)

    def add_statement(self, statement: Statement) -> None:
        for row in statement.rows:     # sources first: they sit left of the output
            if row.table_name:
                self.table(row.table_db, row.table_name).read = True
        output = self.output_node(statement)
        columns = self.output_columns(statement, output)
        transformations = {column.position: column.transformation for column in statement.columns}
        for row in statement.rows:
            target = columns.get(row.position)
            if target is None:
                target = self.output_column(output, row.position,
                                            row.target_column or row.output_name)
                columns[row.position] = target
            if row.table_name:
                name = row.column_name or "?"
                source = self.table(row.table_db, row.table_name).column(name.lower(), name)
                self.connect(source, target, transformations.get(row.position, IDENTITY),
                             row.ambiguous)
            if row.unresolved:
                target.unresolved = True
        if self.indirect:
            self.add_indirect(statement, columns)

    def add_indirect(self, statement: Statement, columns: dict[int, GraphColumn]) -> None:
        """Edges from the columns that decide the rows: to the column they
        concern, or at the dataset level to every output column."""
        for row in statement.indirect:
            source = self.table(row.table_db, row.table_name).column(row.column_name.lower(),
                                                                      row.column_name)
            targets = columns.values() if row.position is None else \
                [column for position, column in columns.items() if position == row.position]
            for target in targets:
                self.connect(source, target, INDIRECT, False)

    def output_node(self, statement: Statement) -> GraphNode:
        if statement.target_table:
            node = self.table(statement.target_db, statement.target_table)
            node.kind = TARGET
        else:
            node = self.result(statement)
        node.writers.append(f"{statement.file} #{statement.label} ({statement.kind})")
        return node

    def output_columns(self, statement: Statement, output: GraphNode) -> dict[int, GraphColumn]:
        columns: dict[int, GraphColumn] = {}
        for item in statement.columns:
            name = item.target_column or item.output_name
            column = self.output_column(output, item.position, name)
            column.detail = column.detail or item.sql
            columns[item.position] = column
        return columns

    @staticmethod
    def output_column(output: GraphNode, position: int, name: str) -> GraphColumn:
        # A result keeps every select item, even two of one name; a table
        # has one column per name, whichever statement writes it.
        key = ("#", position) if output.kind == RESULT else name.lower()
        return output.column(key, name)

    def _new_node(self, label: str, kind: str) -> GraphNode:
        node = GraphNode(f"n{len(self.nodes) + 1}", label, kind)
        self.nodes.append(node)
        return node

    def column_index(self) -> dict[str, tuple[GraphNode, GraphColumn]]:
        return {column.id: (node, column) for node in self.nodes for column in node.columns}


@dataclass(frozen=True)
class TableEdge:
    """Some column of table `source` feeds some column of table `target`
    (node ids); `columns` counts the column edges it stands for."""
    id: str
    source: str
    target: str
    columns: int


def table_edges(graph: LineageGraph) -> list[TableEdge]:
    """The graph with its columns folded: one edge per pair of nodes that
    column edges join (a table that feeds itself included), ids te1, te2...
    in the order of each pair's first column edge."""
    owner = {column.id: node.id for node in graph.nodes for column in node.columns}
    counts: dict[tuple[str, str], int] = {}
    for edge in graph.edges:
        if edge.transformation == INDIRECT:
            continue  # the table view draws what fills the columns
        pair = (owner[edge.source], owner[edge.target])
        counts[pair] = counts.get(pair, 0) + 1
    return [TableEdge(f"te{number}", source, target, count)
            for number, ((source, target), count) in enumerate(counts.items(), 1)]


def table_label(db: str | None, name: str) -> str:
    return f"{db}.{name}" if db else name


def drawable(statement: Statement) -> bool:
    """A statement has something to draw when it has a query and its
    analysis did not fail."""
    return not statement.skipped and not statement.error \
        and bool(statement.columns or statement.rows)


def build_graph(files: list[FileLineage], indirect: bool = False) -> LineageGraph:
    graph = LineageGraph(indirect)
    for lineage in files:
        graph.add_file(lineage)
    return graph


def is_sink(node: GraphNode) -> bool:
    """Outputs nothing else reads: drawn in the rightmost rank."""
    return node.kind == RESULT or (node.kind == TARGET and not node.read)


class GraphWriter:
    """Base of the graph formats: gathers every file's lineage, then draws
    them all at once on close."""

    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        self.out = out
        self.options = options or WriterOptions()
        self.files: list[FileLineage] = []

    def write(self, lineage: FileLineage) -> None:
        self.files.append(lineage)

    def close(self) -> None:
        self.out.write(self.render(build_graph(self.files, self.options.indirect)))

    def render(self, graph: LineageGraph) -> str:
        raise NotImplementedError
