"""The html page in a real browser: headless Chromium, network off, opens
the page the html format writes for the ETL directory plus a query whose
identifiers hold markup and script, runs its script, and the test reads the
DOM it leaves (and saves a screenshot). A warehouse of 100 views over views,
drawn by the command, is opened too: its screenshots' pixels say what the
first screen shows.

Set LINEAGE_SCREENSHOT=path to keep the screenshot (the README's picture is
made so)."""

import os
import shutil
import struct
import subprocess
import sys
import zlib
from html.parser import HTMLParser
from io import StringIO

import pytest

from column_lineage.formats.graph import build_graph
from column_lineage.formats.html import HtmlWriter
from column_lineage.rows import FileLineage, OutputColumn, Row, Statement
from conftest import ROOT
from etl_lineage import etl_directory

CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")
DOT = shutil.which("dot")
pytestmark = pytest.mark.skipif(
    not (CHROMIUM and DOT),
    reason="needs Debian's chromium and graphviz (./run-tests installs them when run as root); "
           f"missing: {', '.join(name for name, path in (('chromium', CHROMIUM), ('dot', DOT)) if not path)}",
)

# An onerror or a script that ran would change the page's title.
HOSTILE_COLUMN = "<img src=x onerror=\"document.title='pwned'\">"
HOSTILE_ALIAS = "</script><script>document.title='pwned'</script>"
HOSTILE_SQL = (f"SELECT t.`{HOSTILE_COLUMN}` AS `{HOSTILE_ALIAS}`, t.id "
               "FROM shop.`<b>items</b>` AS t")
TITLE = "Column lineage"


def hostile_file():
    """The lineage of HOSTILE_SQL, as the analysis gives it (built here:
    loading the native module into this process a second time, under the
    package's name, would disturb the module tests' view of it)."""
    statement = Statement(file="hostile.sql", number=1, kind="SELECT", sql=HOSTILE_SQL,
                          columns=[OutputColumn(1, HOSTILE_ALIAS, f"t.`{HOSTILE_COLUMN}`"),
                                   OutputColumn(2, "id", "t.id")])
    for position, (name, alias) in enumerate(((HOSTILE_COLUMN, HOSTILE_ALIAS), ("id", "id")), 1):
        statement.rows.append(Row(
            file="hostile.sql", statement=1, position=position, output_name=alias,
            column_sort=position, column_name=name, column_alias=alias, column_table="t",
            column_type="column", table_db="shop", table_name="<b>items</b>", table_alias="t",
            resolved=True))
    return FileLineage("hostile.sql", [statement])


class Dom(HTMLParser):
    """The dumped DOM: every element's tag and attributes, and the text."""

    def __init__(self, text):
        super().__init__(convert_charrefs=True)
        self.elements = []
        self.text = []
        self.in_title = False
        self.title = ""
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.elements.append((tag, dict(attrs)))
        self.in_title = tag == "title" and not self.title

    def handle_endtag(self, tag):
        self.in_title = False

    def handle_data(self, data):
        self.text.append(data)
        if self.in_title:
            self.title += data

    def by_id(self, element_id):
        return next(attrs for tag, attrs in self.elements if attrs.get("id") == element_id)

    def first(self, wanted):
        return next(attrs for tag, attrs in self.elements if tag == wanted)

    def classes(self, element_id):
        return set((self.by_id(element_id).get("class") or "").split())


@pytest.fixture(scope="module")
def page(tmp_path_factory):
    """The page, and the ids of its cells."""
    files = etl_directory()
    files.append(hostile_file())
    out = StringIO()
    writer = HtmlWriter(out)
    for lineage in files:
        writer.write(lineage)
    writer.close()
    path = tmp_path_factory.mktemp("page") / "lineage.html"
    path.write_text(out.getvalue(), encoding="utf-8")
    cells = {}          # table label or table.column -> the cell's id
    for node in build_graph(files).nodes:
        cells[node.label] = f"{node.id}h"
        cells.update((f"{node.label}.{column.name}", column.id) for column in node.columns)
    return path, cells


def chromium(tmp_path, url, *extra):
    """Runs headless Chromium on `url` with every request sent to a closed
    port; the output and the log (console messages go there)."""
    done = subprocess.run(
        [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
         "--no-default-browser-check", "--disable-extensions", "--disable-sync",
         "--disable-background-networking", "--disable-component-update",
         "--proxy-server=127.0.0.1:9", "--proxy-bypass-list=<-loopback>",
         f"--user-data-dir={tmp_path / 'profile'}", "--enable-logging=stderr", "--v=0",
         *extra, url],
        capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-2000:]
    return done.stdout, done.stderr


def console_errors(log):
    return [line for line in log.splitlines() if "CONSOLE" in line or "Uncaught" in line]


def dump(tmp_path, page_path, fragment=""):
    html, log = chromium(tmp_path, page_path.as_uri() + fragment, "--dump-dom")
    assert console_errors(log) == []
    dom = Dom(html)
    assert dom.by_id("graph") and dom.elements[0][0] == "html"
    return dom


def test_page_runs_its_script_and_shows_the_labels(tmp_path, page):
    path, _ = page
    dom = dump(tmp_path, path)
    assert dom.first("body").get("data-ready") == "true"
    text = "".join(dom.text)
    for label in ("sales.orders", "crm.regions", "dw.daily_sales", "etl/02_report.sql #1",
                  "order_date", 'area, "north"', "hostile.sql #1"):
        assert label in text


def test_hostile_identifiers_are_shown_as_text_and_never_run(tmp_path, page):
    path, _ = page
    dom = dump(tmp_path, path)
    assert dom.title == TITLE
    assert not any(tag in ("img", "b") for tag, _ in dom.elements)
    scripts = [attrs for tag, attrs in dom.elements if tag == "script"]
    assert len(scripts) == 2                 # the JSON block and the page's own script
    text = "".join(dom.text)
    for name in (HOSTILE_COLUMN, HOSTILE_ALIAS, "shop.<b>items</b>"):
        assert name in text


DAILY_SALES = {"dw.daily_sales", "dw.daily_sales.day", "dw.daily_sales.region",
               "dw.daily_sales.revenue"}


@pytest.mark.parametrize("start, path, edges", [
    ("sales.orders.amount", {"sales.orders.amount", "dw.daily_sales.revenue",
                             "etl/02_report.sql #1.revenue", "etl/02_report.sql #2.amount"}, 3),
    ("dw.daily_sales", DAILY_SALES | {"sales.orders.order_date", "crm.regions.name",
                                      "sales.orders.amount", "etl/02_report.sql #1.revenue",
                                      'etl/02_report.sql #1.area, "north"'}, 5),
    ("etl/02_report.sql #3.x", {"etl/02_report.sql #3.x"}, 0),
])
def test_a_column_or_table_traces_its_whole_path(tmp_path, page, start, path, edges):
    page_path, cells = page
    dom = dump(tmp_path, page_path, f"#column={cells[start]}")
    lit = {name for name, cell in cells.items() if "on" in dom.classes(f"a_{cell}")}
    assert lit == path
    assert "start" in dom.classes(f"a_{cells[start]}")
    assert "tracing" in dom.first("svg")["class"].split()
    lit_edges = [attrs["id"] for tag, attrs in dom.elements
                 if tag == "g" and {"edge", "on"} <= set(attrs.get("class", "").split())]
    assert len(lit_edges) == edges


@pytest.mark.parametrize("query, found", [
    ("Revenue", {"dw.daily_sales.revenue", "etl/02_report.sql #1.revenue"}),
    ("daily", {"dw.daily_sales"}),
    ("orders.amount", {"sales.orders.amount"}),
    ("no such thing", set()),
])
def test_search_finds_tables_and_columns(tmp_path, page, query, found):
    path, cells = page
    dom = dump(tmp_path, path, f"#search={query}")
    assert {name for name, cell in cells.items() if "match" in dom.classes(f"a_{cell}")} == found
    assert f"{len(found)} match{'es' * (len(found) != 1)}" in "".join(dom.text)


def test_screenshot(tmp_path, page):
    path, cells = page
    shot = os.environ.get("LINEAGE_SCREENSHOT") or str(tmp_path / "lineage-graph.png")
    fragment = f"#column={cells['dw.daily_sales.revenue']}"
    _, log = chromium(tmp_path, path.as_uri() + fragment, "--hide-scrollbars",
                      "--window-size=1160,470", f"--screenshot={shot}")
    assert console_errors(log) == []
    with open(shot, "rb") as image:
        assert image.read(8) == b"\x89PNG\r\n\x1a\n"
    assert os.path.getsize(shot) > 10_000
    print(f"screenshot: {shot}")


# The table view and the filter ----------------------------------------------

def lit_cells(dom, cells):
    return {name for name, cell in cells.items() if "on" in dom.classes(f"a_{cell}")}


def lit_edges(dom, prefix):
    return {attrs["id"] for tag, attrs in dom.elements
            if tag == "g" and attrs.get("id", "").startswith(prefix)
            and {"edge", "on"} <= set(attrs.get("class", "").split())}


def table_cells(cells):
    """Table label -> the id of its box in the table view."""
    return {name: f"t{cell[:-1]}h" for name, cell in cells.items() if cell.endswith("h")}


@pytest.mark.parametrize("start, table, lit, edges", [
    ("dw.daily_sales", "dw.daily_sales",
     {"dw.daily_sales", "sales.orders", "crm.regions", "etl/02_report.sql #1"}, 3),
    # A column asks for its table.
    ("sales.orders.amount", "sales.orders",
     {"sales.orders", "dw.daily_sales", "etl/02_report.sql #1", "etl/02_report.sql #2"}, 3),
    ("etl/02_report.sql #3", "etl/02_report.sql #3", {"etl/02_report.sql #3"}, 0),
])
def test_the_table_view_traces_tables(tmp_path, page, start, table, lit, edges):
    path, cells = page
    dom = dump(tmp_path, path, f"#view=tables&column={cells[start]}")
    assert dom.first("body")["data-view"] == "tables"
    assert dom.by_id("view-columns").get("display") == "none"
    assert "display" not in dom.by_id("view-tables")
    assert dom.by_id("view-toggle")["aria-pressed"] == "true"
    tables = table_cells(cells)
    assert lit_cells(dom, tables) == lit
    assert "start" in dom.classes(f"a_{tables[table]}")
    assert len(lit_edges(dom, "te")) == edges and not lit_edges(dom, "e")
    assert not lit_cells(dom, cells)            # the column view is left alone


@pytest.mark.parametrize("fragment", ["#column=dw.daily_sales.revenue",
                                      "#column=DW.Daily_Sales.REVENUE"])
def test_a_link_names_a_column_by_its_table_and_name(tmp_path, page, fragment):
    path, cells = page
    dom = dump(tmp_path, path, fragment)
    assert dom.first("body")["data-view"] == "columns"
    assert lit_cells(dom, cells) == {"sales.orders.amount", "dw.daily_sales.revenue",
                                     "etl/02_report.sql #1.revenue"}
    assert "start" in dom.classes(f"a_{cells['dw.daily_sales.revenue']}")


ETL_TABLES = {"sales.orders", "crm.regions", "dw.daily_sales", "etl/02_report.sql #1",
              "etl/02_report.sql #2", "etl/02_report.sql #3", "shop.<b>items</b>",
              "hostile.sql #1"}


@pytest.mark.parametrize("view, query, shown, edges", [
    # A database: its tables and their direct neighbours.
    ("columns", "crm", {"crm.regions", "dw.daily_sales"}, 1),
    ("tables", "CRM", {"crm.regions", "dw.daily_sales"}, 1),
    # A table by its full name: what feeds it and what it feeds, no further.
    ("columns", "dw.daily_sales", {"dw.daily_sales", "sales.orders", "crm.regions",
                                   "etl/02_report.sql #1"}, 5),
    ("tables", "etl/02_report.sql #2", {"etl/02_report.sql #2", "sales.orders"}, 1),
    # Else any table whose name holds the text.
    ("columns", "items", {"shop.<b>items</b>", "hostile.sql #1"}, 2),
    # Nothing named so: nothing hidden.
    ("columns", "no such table", ETL_TABLES, 9),
    ("tables", "no such table", ETL_TABLES, 5),
])
def test_the_filter_shows_what_it_names_and_its_neighbours(tmp_path, page, view, query, shown, edges):
    path, cells = page
    dom = dump(tmp_path, path, f"#view={view}&filter={query}")
    prefix = "t" if view == "tables" else ""
    visible = {name for name, cell in cells.items() if cell.endswith("h")
               and "hidden" not in dom.classes(prefix + cell[:-1])}
    assert visible == shown
    assert sum(1 for tag, attrs in dom.elements if tag == "g"
               and attrs.get("id", "").startswith(prefix + "e")
               and "edge" in attrs["class"].split() and "hidden" not in attrs["class"].split()
               ) == edges
    assert ("none" in dom.classes("filter")) == (shown == ETL_TABLES)


# A warehouse of views over views --------------------------------------------

VIEWS = 100
WINDOW = (1000, 700)
WHITE = (255, 255, 255)
WRITTEN = (0xfb, 0xe3, 0xc4)         # a written table's header (the views')
START = (0xff, 0x92, 0x2b)           # the cell a trace starts from


def warehouse_sql(views=VIEWS):
    """View i reads views i-1 and i-2 and a base table; three columns each."""
    lines = ["CREATE TABLE wh.base (id INT, amount INT, note TEXT);",
             "CREATE VIEW wh.v0 AS SELECT b.id, b.amount, b.note FROM wh.base AS b;",
             "CREATE VIEW wh.v1 AS SELECT p.id, p.amount + b.amount AS amount, b.note "
             "FROM wh.v0 AS p JOIN wh.base AS b ON b.id = p.id;"]
    lines += [f"CREATE VIEW wh.v{i} AS SELECT p.id, p.amount + q.amount + b.amount AS amount, "
              f"b.note FROM wh.v{i - 1} AS p JOIN wh.v{i - 2} AS q ON q.id = p.id "
              f"JOIN wh.base AS b ON b.id = p.id;" for i in range(2, views)]
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def warehouse(tmp_path_factory):
    """The page the command draws for the warehouse."""
    directory = tmp_path_factory.mktemp("warehouse")
    script = directory / "views.sql"
    script.write_text(warehouse_sql(), encoding="utf-8")
    done = subprocess.run([sys.executable, "-m", "column_lineage", "--format", "html",
                           str(script)], capture_output=True, text=True, timeout=300, cwd=ROOT)
    assert done.returncode == 0, done.stderr
    assert f"{3 * VIEWS} output columns, 0 unresolved" in done.stderr
    path = directory / "warehouse.html"
    path.write_text(done.stdout, encoding="utf-8")
    return path


def png_pixels(path):
    """The rows of an 8-bit RGB or RGBA PNG as lists of (r, g, b)."""
    with open(path, "rb") as image:
        data = image.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    position, compressed = 8, []
    while position < len(data):
        length, kind = struct.unpack(">I4s", data[position:position + 8])
        body = data[position + 8:position + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
            assert (depth, interlace) == (8, 0) and colour in (2, 6)
        elif kind == b"IDAT":
            compressed.append(body)
        position += 12 + length
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(compressed))
    stride = width * step
    rows, above = [], bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for x in range(stride) if kind else ():
            left = line[x - step] if x >= step else 0
            corner = above[x - step] if x >= step else 0
            if kind == 1:
                line[x] = (line[x] + left) & 255
            elif kind == 2:
                line[x] = (line[x] + above[x]) & 255
            elif kind == 3:
                line[x] = (line[x] + (left + above[x]) // 2) & 255
            else:
                guess = left + above[x] - corner
                near = min((abs(guess - left), 0, left), (abs(guess - above[x]), 1, above[x]),
                           (abs(guess - corner), 2, corner))
                line[x] = (line[x] + near[2]) & 255
        rows.append([tuple(line[x:x + 3]) for x in range(0, stride, step)])
        above = line
    return rows


def drawing_area(rows):
    """The rows under the page's header: from the first whose left edge is
    the drawing's white background."""
    top = next(y for y, row in enumerate(rows) if row[0] == WHITE)
    return top, rows[top:]


def where(rows, colour, tolerance=6):
    """The (x, y) of every pixel of about `colour`."""
    return [(x, y) for y, row in enumerate(rows) for x, pixel in enumerate(row)
            if all(abs(a - b) <= tolerance for a, b in zip(pixel, colour))]


def screenshot(tmp_path, url, name):
    shot = tmp_path / name
    _, log = chromium(tmp_path, url, "--hide-scrollbars", f"--window-size={WINDOW[0]},{WINDOW[1]}",
                      f"--screenshot={shot}")
    assert console_errors(log) == []
    return png_pixels(shot)


@pytest.mark.parametrize("fragment", ["", "#view=tables"])
def test_a_warehouse_opens_with_tables_on_the_first_screen(tmp_path, warehouse, fragment):
    top, rows = drawing_area(screenshot(tmp_path, warehouse.as_uri() + fragment, "first.png"))
    assert 40 < top < WINDOW[1] // 3
    drawn = sum(1 for row in rows for pixel in row if min(pixel) < 235)
    assert drawn > 0.01 * len(rows) * len(rows[0])
    # Lines alone are not enough: boxes of views are in sight, several of them.
    headers = where(rows, WRITTEN, tolerance=2)
    assert len(headers) > 500
    assert max(x for x, _ in headers) - min(x for x, _ in headers) > WINDOW[0] // 4


@pytest.mark.parametrize("column", ["wh.v87.amount", "wh.v95.note", "wh.v42"])
def test_a_column_linked_deep_in_the_warehouse_is_traced_in_the_middle_of_the_screen(
        tmp_path, warehouse, column):
    fragment = f"#column={column}" + ("&view=tables" if column.count(".") == 1 else "")
    top, rows = drawing_area(screenshot(tmp_path, warehouse.as_uri() + fragment, "traced.png"))
    start = where(rows, START)
    assert len(start) > 300                     # a cell at a readable size
    xs, ys = [x for x, _ in start], [y for _, y in start]
    height, width = len(rows), len(rows[0])
    assert 0 < min(xs) and max(xs) < width - 1 and 0 < min(ys) and max(ys) < height - 1
    middle = ((min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2)
    assert abs(middle[0] - width / 2) < width / 6 and abs(middle[1] - height / 2) < height / 6


# Indirect lineage: hidden and left out of tracing until asked for ------------

def indirect_file():
    """INSERT INTO dw.f (a) SELECT o.a FROM src.o o WHERE o.status = 'paid',
    as the analysis with --indirect gives it."""
    from column_lineage.rows import IndirectRow
    statement = Statement(file="load.sql", number=1, kind="INSERT", target_db="dw",
                          target_table="f", columns=[OutputColumn(1, "a", "o.a", "IDENTITY", "a",
                                                                  "dw", "f")])
    statement.rows.append(Row(
        file="load.sql", statement=1, position=1, output_name="a", target_db="dw",
        target_table="f", target_column="a", column_sort=1, column_name="a", column_alias="a",
        column_table="o", column_type="column", table_db="src", table_name="o",
        table_alias="o", resolved=True))
    statement.indirect.append(IndirectRow("load.sql", 1, None, None, None, "dw", "f", None,
                                          "FILTER", "src", "o", "status"))
    return FileLineage("load.sql", [statement])


@pytest.mark.parametrize("fragment, shown", [("", False), ("&indirect", True),
                                             ("&indirect=off", False)])
def test_indirect_edges_are_shown_and_traced_only_when_asked(tmp_path, fragment, shown):
    from column_lineage.formats import WriterOptions
    files = [indirect_file()]
    out = StringIO()
    writer = HtmlWriter(out, WriterOptions(indirect=True))
    writer.write(files[0])
    writer.close()
    path = tmp_path / "indirect.html"
    path.write_text(out.getvalue(), encoding="utf-8")
    graph = build_graph(files, indirect=True)
    cells = {f"{node.label}.{column.name}": column.id
             for node in graph.nodes for column in node.columns}
    dom = dump(tmp_path, path, f"#column={cells['dw.f.a']}{fragment}")
    assert ("show-indirect" in (dom.first("body").get("class") or "").split()) == shown
    lit = {name for name, cell in cells.items() if "on" in dom.classes(f"a_{cell}")}
    assert lit == ({"dw.f.a", "src.o.a", "src.o.status"} if shown else {"dw.f.a", "src.o.a"})
