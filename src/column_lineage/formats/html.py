"""One self-contained page drawing the lineage graph of every file given.

Graphviz's dot lays the graph out twice as SVG, column by column and with
every table folded to one box; both drawings are inlined as two groups of
one <svg>, one shown at a time. A small script (html_page.js, with
html_page.css, both inlined too) fits the drawing to the window, zooms and
pans, switches between the two views, shows one database or table and its
neighbours only, highlights a column's (or, folded, a table's) whole
upstream and downstream path on hover or click, and finds tables and
columns from a search box. Nothing is loaded from anywhere.

Input text lands in three places, each escaped for it: the SVG (Graphviz
escapes the label text it was given escaped), the page's own text
(html.escape) and the JSON the script reads (with <, > and & as \\u
escapes, so no `</script>` or `<!--` can appear)."""

from __future__ import annotations

import base64
import hashlib
import html
import json
import re
from dataclasses import dataclass
from importlib import resources
from typing import TextIO

import graphviz

from ..rows import FileLineage
from . import FormatError, WriterOptions
from .dot import to_digraph, to_table_digraph
from .graph import INDIRECT, RESULT, GraphWriter, LineageGraph, table_edges

# Shown where the graph has indirect edges (--indirect): they are hidden, and
# left out of tracing, until it is pressed.
INDIRECT_TOGGLE = ('<button id="indirect-toggle" type="button" aria-pressed="false" '
                   'title="Show the columns that decide which rows (joins, filters, group keys, '
                   'conditions), and trace along them (I)">Indirect</button>')

ENGINE_MISSING = ("the html format needs Graphviz's dot program, which was not found on PATH "
                  "(Debian: apt-get install graphviz)")

# Graphviz's root element: its size in points and its view box.
SVG_ROOT = re.compile(r'<svg width="([0-9.]+)pt" height="([0-9.]+)pt"\s+viewBox="([0-9. -]+)"'
                      r'[^>]*>')


@dataclass(frozen=True)
class View:
    """One drawing dot made: its name (the id of its group in the page),
    its size in points and its content (what Graphviz put inside <svg>)."""
    name: str
    width: float
    height: float
    content: str


def check_engine() -> None:
    """Fails with one clear message when dot cannot be run."""
    try:
        graphviz.version()
    except graphviz.ExecutableNotFound as error:
        raise FormatError(ENGINE_MISSING) from error
    except (graphviz.CalledProcessError, RuntimeError) as error:
        raise FormatError(f"Graphviz's dot does not run: {error}") from error


def lay_out(dot: graphviz.Digraph) -> str:
    """The graph laid out by dot, as an <svg> element (no XML prolog)."""
    try:
        svg: str = dot.pipe(format="svg", encoding="utf-8", quiet=True)
    except graphviz.ExecutableNotFound as error:
        raise FormatError(ENGINE_MISSING) from error
    except graphviz.CalledProcessError as error:
        stderr = error.stderr or ""
        if isinstance(stderr, bytes):
            stderr = stderr.decode("utf-8", "replace")
        message = stderr.strip().splitlines()
        raise FormatError(f"Graphviz's dot failed: {message[-1] if message else error}") from error
    return svg[svg.index("<svg"):]


def render_svg(graph: LineageGraph) -> str:
    """The column view laid out by dot, as an <svg> element."""
    return lay_out(to_digraph(graph, interactive=True))


def view_of(name: str, svg: str) -> View:
    """The size and content of a drawing dot made; a FormatError when it is
    not the <svg> element dot writes."""
    root = SVG_ROOT.match(svg)
    end = svg.rfind("</svg>")
    if root is None or end < root.end():
        raise FormatError(f"Graphviz's dot wrote an SVG this page cannot read: {svg[:80]!r}")
    return View(name, float(root.group(1)), float(root.group(2)), svg[root.end():end])


def render_views(graph: LineageGraph) -> list[View]:
    """The column view and the table view, laid out by dot."""
    return [view_of("columns", render_svg(graph)),
            view_of("tables", lay_out(to_table_digraph(graph)))]


def drawing(views: list[View]) -> str:
    """One <svg> holding every view as a group (id view-NAME), sized for the
    first; the others start hidden."""
    first = views[0]
    groups = "".join(
        f'<g id="view-{view.name}" class="view"{"" if view is first else " display=\"none\""}>'
        f"{view.content}</g>\n" for view in views)
    return (f'<svg width="{first.width:g}pt" height="{first.height:g}pt" '
            f'viewBox="0 0 {first.width:g} {first.height:g}" xmlns="http://www.w3.org/2000/svg" '
            f'xmlns:xlink="http://www.w3.org/1999/xlink">\n{groups}</svg>')


def script_json(value: object) -> str:
    """JSON safe inside a <script> element."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def page_data(graph: LineageGraph, views: list[View] | None = None) -> dict[str, object]:
    """What the script needs: the nodes with their database and columns,
    for the search and the filter; the column edges and the table edges,
    for the paths; and each view's size in points."""
    return {
        "nodes": [{"id": node.id, "label": node.label, "db": node.db,
                   "columns": [[column.id, column.name] for column in node.columns]}
                  for node in graph.nodes],
        # an indirect edge (--indirect) says so: traced only while shown
        "edges": [[edge.id, edge.source, edge.target, *([1] if edge.transformation == INDIRECT
                                                        else [])] for edge in graph.edges],
        "tableEdges": [[edge.id, edge.source, edge.target] for edge in table_edges(graph)],
        "views": {view.name: [view.width, view.height] for view in views or []},
    }


def asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def script_hash(script: str) -> str:
    """The page's Content-Security-Policy runs this one script and no other
    (no inline handler either, whatever got into the page)."""
    digest = hashlib.sha256(script.encode("utf-8")).digest()
    return "sha256-" + base64.b64encode(digest).decode("ascii")


def summary(files: list[FileLineage], graph: LineageGraph) -> str:
    statements = sum(1 for lineage in files for statement in lineage.statements
                     if statement.rows or statement.columns)
    tables = sum(1 for node in graph.nodes if node.kind != RESULT)
    return (f"{len(files)} file{'s' * (len(files) != 1)}, {statements} "
            f"statement{'s' * (statements != 1)}, {tables} table{'s' * (tables != 1)}")


def page(files: list[FileLineage], graph: LineageGraph, views: list[View]) -> str:
    title = "Column lineage"
    script = asset("html_page.js")
    if len(files) == 1:
        title += f": {files[0].file}"
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="Content-Security-Policy" content="default-src 'none'; style-src 'unsafe-inline'; script-src '{script_hash(script)}'">
<title>{html.escape(title)}</title>
<style>
{asset("html_page.css")}
</style>
</head>
<body>
<header>
<h1>{html.escape(title)}</h1>
<span class="summary">{html.escape(summary(files, graph))}</span>
<input id="search" type="search" placeholder="Find a table or column" autocomplete="off">
<input id="filter" type="search" list="filter-names" placeholder="Show a database or table" autocomplete="off" title="Show only the databases or tables this names, and their direct neighbours">
<datalist id="filter-names"></datalist>
<button id="view-toggle" type="button" aria-pressed="false" title="Fold every table to one box, and back (T)">Tables</button>
{INDIRECT_TOGGLE if any(edge.transformation == INDIRECT for edge in graph.edges) else ""}
<span class="zoom"><button id="zoom-out" type="button" title="Zoom out (-)">&minus;</button><button id="zoom-fit" type="button" title="Fit to the window (0)">Fit</button><button id="zoom-reset" type="button" title="Actual size (1)">1:1</button><button id="zoom-in" type="button" title="Zoom in (+)">+</button></span>
<span id="status" role="status"></span>
<span class="legend"><i class="box table"></i>table read <i class="box target"></i>table written <i class="box result"></i>query result
<i class="line identity"></i>copied <i class="line aggregation"></i>aggregated <i class="line transformation"></i>computed <i class="line ambiguous"></i>ambiguous <i class="line indirect"></i>decides rows</span>
</header>
<main id="graph">
{drawing(views)}
</main>
<script type="application/json" id="lineage-data">{script_json(page_data(graph, views))}</script>
<script>{script}</script>
</body>
</html>
"""


class HtmlWriter(GraphWriter):
    def __init__(self, out: TextIO, options: WriterOptions | None = None) -> None:
        check_engine()     # before any file is analysed
        super().__init__(out, options)

    def render(self, graph: LineageGraph) -> str:
        return page(self.files, graph, render_views(graph))
