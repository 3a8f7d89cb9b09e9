"""Lineage end to end: statements and files composed as one pipeline, each
rule of how a statement changes what later ones read worked by hand."""

import json
import subprocess
import sys

import pytest

from column_lineage import analyse_sql
from column_lineage.pipeline import compose
from column_lineage.rows import FileLineage


def pipeline(*files):
    return compose([FileLineage(f"f{at}.sql", analyse_sql(text, file=f"f{at}.sql"))
                    for at, text in enumerate(files, start=1)])


def end_to_end(*files):
    """{written column: {ultimate source or None}}."""
    found: dict[str, set] = {}
    for reach in pipeline(*files).end_to_end():
        found.setdefault(str(reach.target), set()).add(str(reach.source) if reach.source else None)
    return found


@pytest.mark.parametrize("files, expected", [
    # a temporary table passes lineage through and is never an end point
    (["USE s; CREATE TEMPORARY TABLE t AS SELECT o.a, o.b FROM src.o o;"
      "INSERT INTO m.x (p, q) SELECT t.a, t.a + t.b FROM t"],
     {"m.x.p": {"src.o.a"}, "m.x.q": {"src.o.a", "src.o.b"}}),
    # a temporary table hides the permanent one of its name, in its own file only
    (["USE s; CREATE TEMPORARY TABLE k AS SELECT o.a FROM src.o o; INSERT INTO m.x (p) SELECT k.a FROM k",
      "USE s; INSERT INTO m.y (p) SELECT k.a FROM k"],
     {"m.x.p": {"src.o.a"}, "m.y.p": {"s.k.a"}}),
    # views over views: a view's columns come from its query
    (["CREATE VIEW m.v1 AS SELECT o.a AS x FROM src.o o; CREATE VIEW m.v2 AS SELECT v.x AS y FROM m.v1 v"],
     {"m.v1.x": {"src.o.a"}, "m.v2.y": {"src.o.a"}}),
    # a view reads its tables as they are when it is read, not when it was made
    (["INSERT INTO m.x (p) SELECT o.a FROM src.o o; CREATE VIEW m.v AS SELECT x.p FROM m.x x;"
      "INSERT INTO m.y (q) SELECT v.p FROM m.v v; TRUNCATE TABLE m.x;"
      "INSERT INTO m.x (p) SELECT u.c FROM src.u u; INSERT INTO m.z (q) SELECT v.p FROM m.v v"],
     {"m.x.p": {"src.u.c"}, "m.v.p": {"src.u.c"}, "m.y.q": {"src.o.a"}, "m.z.q": {"src.u.c"}}),
    # a column renamed or dropped by ALTER TABLE
    (["INSERT INTO m.a (k, v, w) SELECT o.k, o.v, o.w FROM src.o o;"
      "ALTER TABLE m.a RENAME COLUMN v TO amount, DROP COLUMN w;"
      "INSERT INTO m.b (x) SELECT a.amount FROM m.a a"],
     {"m.a.k": {"src.o.k"}, "m.a.amount": {"src.o.v"}, "m.b.x": {"src.o.v"}}),
    # inserts add up; an update adds its SET sources
    (["INSERT INTO m.x (p) SELECT o.a FROM src.o o; INSERT INTO m.x (p) SELECT u.c FROM src.u u;"
      "UPDATE m.x SET p = p + (SELECT MAX(r.f) FROM src.r r)"],
     {"m.x.p": {"src.o.a", "src.u.c", "src.r.f"}}),
    # truncate and refill: what was read before stays with its reader, the table starts afresh
    (["INSERT INTO m.x (p) SELECT o.a FROM src.o o; INSERT INTO m.y (p) SELECT x.p FROM m.x x;"
      "TRUNCATE TABLE m.x; INSERT INTO m.x (p) SELECT u.c FROM src.u u"],
     {"m.y.p": {"src.o.a"}, "m.x.p": {"src.u.c"}}),
    # drop and re-create with other columns: only the new ones exist at the end
    (["CREATE TABLE m.x AS SELECT o.a FROM src.o o; DROP TABLE m.x;"
      "CREATE TABLE m.x AS SELECT u.c FROM src.u u"],
     {"m.x.c": {"src.u.c"}}),
    # renamed: the table lives on under its new name
    (["INSERT INTO m.x (p) SELECT o.a FROM src.o o; RENAME TABLE m.x TO m.z;"
      "INSERT INTO m.y (q) SELECT z.p FROM m.z z"],
     {"m.z.p": {"src.o.a"}, "m.y.q": {"src.o.a"}}),
    # a table only a later file writes is read as the pipeline leaves it
    (["INSERT INTO m.report (r) SELECT s.v FROM m.stage s",
      "INSERT INTO m.stage (v) SELECT o.a FROM src.o o"],
     {"m.report.r": {"src.o.a"}, "m.stage.v": {"src.o.a"}}),
    # literals only: a written column without a source; a table filled so is an end point
    (["INSERT INTO m.dim (k) VALUES (1), (2); INSERT INTO m.f (k) SELECT d.k FROM m.dim d"],
     {"m.dim.k": {None}, "m.f.k": {"m.dim.k"}}),
])
def test_each_rule_of_the_pipeline(files, expected):
    assert end_to_end(*files) == expected


def test_a_path_names_every_step_and_its_kind():
    composed = pipeline(
        "USE s; CREATE TEMPORARY TABLE t AS SELECT o.amount FROM src.o o;"
        "INSERT INTO s.daily (rev) SELECT SUM(t.amount) FROM t",
        "CREATE VIEW m.v AS SELECT d.rev FROM s.daily d; RENAME TABLE m.v TO m.w")
    reach = next(reach for reach in composed.end_to_end() if str(reach.target) == "m.w.rev")
    # a view is its query: renamed, the same query reads under the new name
    assert [(str(step.column), step.step and (step.step.file, step.step.statement))
            for step in reach.path] == [
        ("src.o.amount", None), ("s.t.amount", ("f1.sql", "2")), ("s.daily.rev", ("f1.sql", "3")),
        ("m.w.rev", ("f2.sql", "1"))]
    assert (reach.kind, reach.distance, reach.ultimate, reach.files) == \
        ("aggregation", 3, True, ["f1.sql", "f2.sql"])


def test_upstream_and_downstream():
    composed = pipeline(
        "INSERT INTO s.a (x) SELECT o.v FROM src.o o; INSERT INTO s.b (y) SELECT a.x * 2 FROM s.a a;"
        "INSERT INTO m.c (z) SELECT b.y FROM s.b b; INSERT INTO m.d (w) SELECT o.k FROM src.o o")
    up = {str(reach.source): (reach.distance, reach.ultimate) for reach in composed.upstream("M.C.Z")}
    assert up == {"s.b.y": (1, False), "s.a.x": (2, False), "src.o.v": (3, True)}
    down = {str(reach.target): (reach.distance, reach.kind)
            for reach in composed.downstream("src.o.v")}
    assert down == {"s.a.x": (1, "identity"), "s.b.y": (2, "transformation"),
                    "m.c.z": (3, "transformation")}
    assert {str(reach.target) for reach in composed.downstream("src.o")} == \
        {"s.a.x", "s.b.y", "m.c.z", "m.d.w"}
    assert composed.find("nope.c.z") == []


def test_the_command_answers_and_refuses_unknown_names(tmp_path):
    (tmp_path / "a.sql").write_text("INSERT INTO m.c (z) SELECT o.v FROM src.o o;")
    run = [sys.executable, "-m", "column_lineage", str(tmp_path)]
    result = subprocess.run(run + ["--end-to-end", "--json"], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    [row] = [json.loads(line) for line in result.stdout.splitlines()]
    assert {key: row[key] for key in ("target_table", "target_column", "source_table",
                                       "source_column", "kind", "files")} == \
        {"target_table": "c", "target_column": "z", "source_table": "o", "source_column": "v",
         "kind": "identity", "files": [str(tmp_path / "a.sql")]}
    result = subprocess.run(run + ["--downstream", "src.o.w"], capture_output=True, text=True)
    assert result.returncode == 1
    assert "downstream src.o.w: no file writes or reads it (did you mean src.o.v" in result.stderr
    result = subprocess.run(run + ["--end-to-end", "--format", "report"], capture_output=True,
                            text=True)
    assert result.returncode == 2 and "every format but report" in result.stderr


def test_the_drawing_and_event_formats_fold_temporary_tables_away(tmp_path):
    (tmp_path / "a.sql").write_text(
        "USE s; CREATE TEMPORARY TABLE tmp AS SELECT o.v FROM src.o o;"
        "INSERT INTO m.c (z) SELECT SUM(t.v) FROM tmp t;")
    run = [sys.executable, "-m", "column_lineage", str(tmp_path), "--end-to-end"]
    mermaid = subprocess.run(run + ["--format", "mermaid"], capture_output=True, text=True).stdout
    assert '["src.o"]' in mermaid and '["m.c"]' in mermaid and "tmp" not in mermaid
    assert mermaid.count("==>") == 1  # one aggregating edge, from src.o.v to m.c.z
    events = [json.loads(line) for line in subprocess.run(
        run + ["--format", "openlineage"], capture_output=True, text=True).stdout.splitlines()]
    assert [([d["name"] for d in event["inputs"]], [d["name"] for d in event["outputs"]])
            for event in events] == [(["src.o"], ["m.c"])]
    fields = events[0]["outputs"][0]["facets"]["columnLineage"]["fields"]
    assert [(field["name"], field["field"]) for field in fields["z"]["inputFields"]] == \
        [("src.o", "v")]


def test_what_one_file_declares_settles_what_another_reads(tmp_path):
    (tmp_path / "1_ddl.sql").write_text(
        "CREATE TABLE stg.orders (id INT, customer_id INT, amount INT);"
        "CREATE TABLE crm.customers (id INT, email TEXT); RENAME TABLE crm.customers TO crm.people")
    (tmp_path / "2_etl.sql").write_text(
        "INSERT INTO mart.o SELECT * FROM stg.orders;"
        "SELECT email, amount FROM stg.orders o JOIN crm.people c ON c.id = o.customer_id")
    run = [sys.executable, "-m", "column_lineage", "--json", str(tmp_path)]
    rows = [json.loads(line) for line in subprocess.run(run, capture_output=True,
                                                          text=True).stdout.splitlines()]
    assert [(row["statement"], row["target_column"] or row["output_name"], row["table_name"],
             row["column_name"], row["ambiguous"], bool(row["note"])) for row in rows] == [
        (1, "id", "orders", "id", False, True), (1, "customer_id", "orders", "customer_id", False, True),
        (1, "amount", "orders", "amount", False, True),
        (2, "email", "people", "email", False, True), (2, "amount", "orders", "amount", False, True)]
    assert rows[0]["note"].startswith("columns of stg.orders as ") and \
        rows[0]["note"].endswith("1_ddl.sql declares them")
    # alone, the second file knows nothing of those tables
    alone = subprocess.run(run[:-1] + [str(tmp_path / "2_etl.sql")], capture_output=True, text=True)
    assert [json.loads(line)["column_name"] for line in alone.stdout.splitlines()][:1] == ["*"]


def test_openlineage_answers_are_one_event_per_file_without_temporary_tables(tmp_path):
    (tmp_path / "1_stage.sql").write_text(
        "CREATE TEMPORARY TABLE tmp AS SELECT o.v, o.w FROM src.o o;"
        "INSERT INTO s.a (x, y) SELECT t.v, t.w FROM tmp t;"
        "INSERT INTO s.b (y) SELECT t.w FROM tmp t;")
    (tmp_path / "2_mart.sql").write_text(
        "INSERT INTO m.c (z, q) SELECT a.x + b.y, a.y FROM s.a a JOIN s.b b ON a.x = b.y;")
    run = [sys.executable, "-m", "column_lineage", str(tmp_path), "--format", "openlineage"]
    for question in (["--end-to-end"], ["--upstream", "m.c"]):
        result = subprocess.run(run + question, capture_output=True, text=True)
        assert result.returncode == 0, result.stderr
        events = [json.loads(line) for line in result.stdout.splitlines()]
        datasets = {dataset["name"] for event in events
                    for dataset in event["inputs"] + event["outputs"]}
        assert "tmp" not in " ".join(datasets), question
        jobs = [event["job"]["name"].rsplit("/", 1)[-1] for event in events]
        assert sorted(jobs) == sorted(set(jobs)), question  # one event per file
        if question == ["--end-to-end"]:
            [mart] = [event for event in events if event["job"]["name"].endswith("2_mart.sql")]
            assert [dataset["name"] for dataset in mart["outputs"]] == ["m.c"]
            fields = mart["outputs"][0]["facets"]["columnLineage"]["fields"]
            assert {name: sorted(source["field"] for source in field["inputFields"])
                    for name, field in fields.items()} == {"z": ["v", "w"], "q": ["w"]}
        else:  # every step: the stage file writes s.a and s.b from src.o straight
            [stage] = [event for event in events if event["job"]["name"].endswith("1_stage.sql")]
            assert sorted(dataset["name"] for dataset in stage["outputs"]) == ["s.a", "s.b"]
            assert [dataset["name"] for dataset in stage["inputs"]] == ["src.o"]


def test_insert_column_lists_settle_stars_of_tables_no_file_creates(tmp_path):
    (tmp_path / "1_load.sql").write_text(
        "INSERT INTO dw.dim (a, b) SELECT x, y FROM src.t;"
        "INSERT INTO dw.dim (c, A) SELECT z, x FROM src.t;"
        "CREATE TEMPORARY TABLE tmp (k INT); INSERT INTO tmp (k) SELECT 1;"
        "INSERT INTO dw.made (p) SELECT 1; CREATE TABLE dw.made (p INT, q INT);")
    (tmp_path / "2_use.sql").write_text(
        "INSERT INTO mart.m SELECT * FROM dw.dim; INSERT INTO mart.n SELECT * FROM dw.made;"
        "INSERT INTO mart.k SELECT * FROM tmp;")
    run = [sys.executable, "-m", "column_lineage", "--json", str(tmp_path)]
    rows = [json.loads(line) for line in subprocess.run(run, capture_output=True,
                                                          text=True).stdout.splitlines()]
    read = {}
    for row in rows:
        if row["file"].endswith("2_use.sql"):
            read.setdefault(row["target_table"], []).append(row["column_name"])
    # the columns in the order first inserted; a CREATE wins; a temporary table is not learned
    assert read == {"m": ["a", "b", "c"], "n": ["p", "q"], "k": ["*"]}
