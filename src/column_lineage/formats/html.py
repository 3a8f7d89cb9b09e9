"""One self-contained page drawing the lineage graph of every file given.

Graphviz's dot lays the graph out as SVG, inlined into the page; a small
script (html_page.js, with html_page.css, both inlined too) highlights a
column's whole upstream and downstream path on hover or click and finds
tables and columns from a search box. Nothing is loaded from anywhere.

Input text lands in three places, each escaped for it: the SVG (Graphviz
escapes the label text it was given escaped), the page's own text
(html.escape) and the JSON the script reads (with <, > and & as \\u
escapes, so no `</script>` or `<!--` can appear)."""

from __future__ import annotations

import base64
import hashlib
import html
import json
from importlib import resources

import graphviz

from . import FormatError
from .dot import to_digraph
from .graph import RESULT, GraphWriter, LineageGraph

ENGINE_MISSING = ("the html format needs Graphviz's dot program, which was not found on PATH "
                  "(Debian: apt-get install graphviz)")


def check_engine() -> None:
    """Fails with one clear message when dot cannot be run."""
    try:
        graphviz.version()
    except graphviz.ExecutableNotFound as error:
        raise FormatError(ENGINE_MISSING) from error
    except (graphviz.CalledProcessError, RuntimeError) as error:
        raise FormatError(f"Graphviz's dot does not run: {error}") from error


def render_svg(graph: LineageGraph) -> str:
    """The graph laid out by dot, as an <svg> element (no XML prolog)."""
    try:
        svg = to_digraph(graph, interactive=True).pipe(format="svg", encoding="utf-8", quiet=True)
    except graphviz.ExecutableNotFound as error:
        raise FormatError(ENGINE_MISSING) from error
    except graphviz.CalledProcessError as error:
        stderr = error.stderr or ""
        if isinstance(stderr, bytes):
            stderr = stderr.decode("utf-8", "replace")
        message = stderr.strip().splitlines()
        raise FormatError(f"Graphviz's dot failed: {message[-1] if message else error}") from error
    return svg[svg.index("<svg"):]


def script_json(value) -> str:
    """JSON safe inside a <script> element."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    return text.replace("<", "\\u003c").replace(">", "\\u003e").replace("&", "\\u0026")


def page_data(graph: LineageGraph) -> dict:
    """What the script needs: the nodes with their columns, for the search,
    and the edges, for the paths."""
    return {
        "nodes": [{"id": node.id, "label": node.label,
                   "columns": [[column.id, column.name] for column in node.columns]}
                  for node in graph.nodes],
        "edges": [[edge.id, edge.source, edge.target] for edge in graph.edges],
    }


def asset(name: str) -> str:
    return resources.files(__package__).joinpath(name).read_text(encoding="utf-8")


def script_hash(script: str) -> str:
    """The page's Content-Security-Policy runs this one script and no other
    (no inline handler either, whatever got into the page)."""
    digest = hashlib.sha256(script.encode("utf-8")).digest()
    return "sha256-" + base64.b64encode(digest).decode("ascii")


def summary(files, graph: LineageGraph) -> str:
    statements = sum(1 for lineage in files for statement in lineage.statements
                     if statement.rows or statement.columns)
    tables = sum(1 for node in graph.nodes if node.kind != RESULT)
    return (f"{len(files)} file{'s' * (len(files) != 1)}, {statements} "
            f"statement{'s' * (statements != 1)}, {tables} table{'s' * (tables != 1)}")


def page(files, graph: LineageGraph, svg: str) -> str:
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
<span id="status" role="status"></span>
<span class="zoom"><button id="zoom-out" title="Zoom out">&minus;</button><button id="zoom-reset" title="Actual size">1:1</button><button id="zoom-in" title="Zoom in">+</button></span>
<span class="legend"><i class="box table"></i>table read <i class="box target"></i>table written <i class="box result"></i>query result
<i class="line identity"></i>copied <i class="line aggregation"></i>aggregated <i class="line transformation"></i>computed <i class="line ambiguous"></i>ambiguous</span>
</header>
<main id="graph">
{svg}
</main>
<script type="application/json" id="lineage-data">{script_json(page_data(graph))}</script>
<script>{script}</script>
</body>
</html>
"""


class HtmlWriter(GraphWriter):
    def __init__(self, out, options=None):
        check_engine()     # before any file is analysed
        super().__init__(out, options)

    def render(self, graph: LineageGraph) -> str:
        return page(self.files, graph, render_svg(graph))
