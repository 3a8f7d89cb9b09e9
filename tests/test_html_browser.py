"""The html page in a real browser: headless Chromium, network off, opens
the page the html format writes for the ETL directory plus a query whose
identifiers hold markup and script, runs its script, and the test reads the
DOM it leaves (and saves a screenshot).

Set LINEAGE_SCREENSHOT=path to keep the screenshot (the README's picture is
made so)."""

import os
import shutil
import subprocess
from html.parser import HTMLParser
from io import StringIO

import pytest

from column_lineage.formats.graph import build_graph
from column_lineage.formats.html import HtmlWriter
from column_lineage.rows import FileLineage, OutputColumn, Row, Statement
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
