"""--indirect through the command: the direct rows as they are without it,
the indirect rows after them in every row format, the table's lines, the
OpenLineage facet's INDIRECT transformations (read back through the
client's classes), and the pipeline questions following them."""

import json
from pathlib import Path

import pytest

from column_lineage import cli

LOAD = ("INSERT INTO dw.f (a, b) SELECT o.a, CASE WHEN o.s = 1 THEN o.b END "
        "FROM src.o o JOIN src.p p ON p.id = o.pid WHERE o.x > 0;")
SCRIPTS = sorted((Path(__file__).parent / "scripts").glob("*.sql"))


def run(capsys, *argv):
    code = cli.main([*argv, "--jobs", "1"])
    out, err = capsys.readouterr()
    assert code in (0, 1), err
    return out


def test_direct_rows_do_not_change_with_indirect(capsys):
    for script in SCRIPTS[:8]:
        plain = [json.loads(line) for line in run(capsys, "--json", str(script)).splitlines()]
        both = [json.loads(line) for line in
                run(capsys, "--json", "--indirect", str(script)).splitlines()]
        direct = [{key: value for key, value in row.items() if key not in ("kind", "subtype")}
                  for row in both if row["kind"] == "direct"]
        assert direct == plain, script.name
        assert {row["kind"] for row in both} <= {"direct", "indirect"}


def test_indirect_rows_in_the_row_formats_and_the_table(tmp_path, capsys):
    sql = tmp_path / "load.sql"
    sql.write_text(LOAD)
    rows = [json.loads(line) for line in run(capsys, "--json", "--indirect", str(sql)).splitlines()]
    indirect = {(row["position"], row["table_name"], row["column_name"], row["subtype"])
                for row in rows if row["kind"] == "indirect"}
    assert indirect == {(None, "p", "id", "JOIN"), (None, "o", "pid", "JOIN"),
                        (None, "o", "x", "FILTER"), (2, "o", "s", "CONDITIONAL")}
    header, *records = run(capsys, "--format", "csv", "--indirect", str(sql)).splitlines()
    assert header.endswith('"line","kind","subtype"') and len(records) == len(rows)
    table = run(capsys, "--indirect", str(sql)).splitlines()
    assert "indirect, every column: JOIN src.p.id, src.o.pid; FILTER src.o.x" in table
    assert "indirect, b: CONDITIONAL src.o.s" in table
    assert not any(line.startswith("indirect") for line in run(capsys, str(sql)).splitlines())


def test_openlineage_carries_indirect_transformations(tmp_path, capsys):
    from openlineage.client.facet_v2 import column_lineage_dataset as facet
    sql = tmp_path / "load.sql"
    sql.write_text(LOAD)
    [event] = [json.loads(line) for line in
               run(capsys, "--format", "openlineage", "--indirect", str(sql)).splitlines()]
    lineage = event["outputs"][0]["facets"]["columnLineage"]

    def read(field):  # through the client's own classes: an unknown key raises
        return facet.InputField(namespace=field["namespace"], name=field["name"],
                                field=field["field"], transformations=[
                                    facet.Transformation(**t) for t in field["transformations"]])

    dataset = [read(field) for field in lineage["dataset"]]
    assert {(f.name, f.field, t.type, t.subtype) for f in dataset for t in f.transformations} == {
        ("src.p", "id", "INDIRECT", "JOIN"), ("src.o", "pid", "INDIRECT", "JOIN"),
        ("src.o", "x", "INDIRECT", "FILTER")}
    b = {(f.field, t.type, t.subtype) for f in map(read, lineage["fields"]["b"]["inputFields"])
         for t in f.transformations}
    assert ("s", "INDIRECT", "CONDITIONAL") in b and ("b", "DIRECT", "TRANSFORMATION") in b
    plain = json.loads(run(capsys, "--format", "openlineage", str(sql)))
    assert plain["outputs"][0]["facets"]["columnLineage"]["dataset"] == []


@pytest.fixture
def pipeline(tmp_path):
    (tmp_path / "1.sql").write_text(
        "CREATE TEMPORARY TABLE t AS SELECT o.a, o.b FROM src.o o WHERE o.status = 'paid';"
        "INSERT INTO dw.f (a, b) SELECT t.a, SUM(t.b) FROM t GROUP BY t.a;")
    (tmp_path / "2.sql").write_text(
        "CREATE VIEW mart.v AS SELECT f.b FROM dw.f f JOIN src.region r ON r.id = f.a "
        "WHERE r.active = 1;")
    return tmp_path


def reached(out):
    return {(row["target_table"], row["target_column"], row["source_table"],
             row["source_column"], row["kind"]) for row in map(json.loads, out.splitlines())}


def test_impact_follows_what_only_filters_with_indirect(pipeline, capsys, tmp_path):
    assert run(capsys, "--json", "--downstream", "src.o.status", str(pipeline)) == ""
    impact = reached(run(capsys, "--json", "--indirect", "--downstream", "src.o.status",
                         str(pipeline)))
    assert {(table, column) for table, column, *_ in impact} == \
        {("f", "a"), ("f", "b"), ("v", "b")}
    assert {kind for *_, kind in impact} == {"indirect"}
    upstream = reached(run(capsys, "--json", "--indirect", "--upstream", "mart.v.b",
                           str(pipeline)))
    assert ("v", "b", "region", "active", "indirect") in upstream
    assert ("v", "b", "o", "b", "aggregation") in upstream
    # from a store: the kept graph follows them only when asked to
    store = str(tmp_path / "lineage.db")
    run(capsys, "--store", store, str(pipeline))
    cli.main(["--store", store, "--indirect", "--upstream", "mart.v.b"])
    assert "2 stored files were analysed without --indirect" in capsys.readouterr().err
    run(capsys, "--store", store, "--indirect", str(pipeline))  # analysed again: settings
    for flag in ([], ["--indirect"], []):
        from_store = run(capsys, "--json", "--store", store, *flag, "--upstream", "mart.v.b")
        fresh = run(capsys, "--json", *flag, "--upstream", "mart.v.b", str(pipeline))
        assert sorted(from_store.splitlines()) == sorted(fresh.splitlines()), flag


def test_the_drawings_draw_indirect_edges_in_their_own_style(tmp_path, capsys):
    sql = tmp_path / "load.sql"
    sql.write_text(LOAD)
    dot = run(capsys, "--format", "dot", "--indirect", str(sql))
    # from o.pid, p.id and o.x to both columns, and from o.s to b
    assert dot.count("style=dotted") == 7
    assert "style=dotted" not in run(capsys, "--format", "dot", str(sql))
    mermaid = run(capsys, "--format", "mermaid", "--indirect", str(sql))
    assert mermaid.count("-. indirect .->") == 7
