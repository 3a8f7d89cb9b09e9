"""The command with --store: only new and changed files are analysed, files
gone from a directory are forgotten, questions are answered from the store
alone, and a store that cannot be used is one line."""

import json

from column_lineage import cli


def run(capsys, *argv):
    code = cli.main([*argv, "--jobs", "1"])
    out, err = capsys.readouterr()
    return code, out, err


def test_a_rescan_analyses_only_what_changed(tmp_path, capsys, monkeypatch):
    sql = tmp_path / "sql"
    sql.mkdir()
    (sql / "1_stage.sql").write_text("INSERT INTO s.a (x) SELECT o.v FROM src.o o;")
    (sql / "2_mart.sql").write_text("INSERT INTO m.b (y) SELECT a.x FROM s.a a;")
    (sql / "3_other.sql").write_text("INSERT INTO m.c (z) SELECT o.w FROM src.o o;")
    store = str(tmp_path / "lineage.db")
    analysed = []
    real = cli.analyse_file

    def counting(name, options):
        analysed.append(name.rsplit("/", 1)[-1])
        return real(name, options)

    monkeypatch.setattr(cli, "analyse_file", counting)
    code, first, _ = run(capsys, "--store", store, "--json", str(sql))
    assert code == 0 and analysed == ["1_stage.sql", "2_mart.sql", "3_other.sql"]

    analysed.clear()
    code, again, _ = run(capsys, "--store", store, "--json", str(sql))
    assert (code, analysed, again) == (0, [], first)

    (sql / "2_mart.sql").write_text("INSERT INTO m.b (y) SELECT a.x * 2 AS y FROM s.a a;")
    (sql / "3_other.sql").unlink()
    code, _, err = run(capsys, "--store", store, "--json", str(sql))
    assert (code, analysed) == (0, ["2_mart.sql"])
    assert err.splitlines()[-1].startswith("lineage: 2 files, 2 statements")

    analysed.clear()
    code, out, _ = run(capsys, "--store", store, "--end-to-end", "--json")
    assert code == 0 and analysed == []  # from the store alone, without the 3rd file
    answers = {(row["target_table"], row["target_column"]): (row["source_column"], row["kind"])
               for row in map(json.loads, out.splitlines())}
    assert answers == {("a", "x"): ("v", "identity"), ("b", "y"): ("v", "transformation")}


def test_a_file_unreadable_on_a_rescan_leaves_the_store(tmp_path, capsys):
    sql = tmp_path / "sql"
    sql.mkdir()
    (sql / "1_stage.sql").write_text("INSERT INTO s.a (x) SELECT o.v FROM src.o o;")
    (sql / "2_mart.sql").write_text("INSERT INTO m.b (y) SELECT a.x FROM s.a a;")
    store = str(tmp_path / "lineage.db")
    assert run(capsys, "--store", store, str(sql))[0] == 0
    (sql / "2_mart.sql").write_bytes(b"INSERT INTO m.b (y) SELECT a.x FROM s.a a WHERE a.x = '\xff';")
    code, _, err = run(capsys, "--store", store, str(sql))
    assert code == 1 and "2_mart.sql" in err
    # Its old lineage is not what the file holds now: no answer uses it.
    code, out, _ = run(capsys, "--store", store, "--end-to-end", "--json")
    assert code == 0
    assert {json.loads(line)["target_table"] for line in out.splitlines()} == {"a"}


def test_a_store_that_cannot_be_used_is_one_line(tmp_path, capsys):
    damaged = tmp_path / "damaged.db"
    damaged.write_bytes(b"SQLite format 3\x00" + b"\x07" * 200)
    before = damaged.read_bytes()
    code, out, err = run(capsys, "--store", str(damaged), "--end-to-end")
    assert code == 1 and out == ""
    assert len(err.splitlines()) == 1 and str(damaged) in err
    assert damaged.read_bytes() == before


PIPELINE = {
    "1_stage.sql": """CREATE TEMPORARY TABLE t AS SELECT o.v, o.w FROM src.o o WHERE o.w > 0;
INSERT INTO s.a (x, y) SELECT t.v, SUM(t.w) FROM t GROUP BY t.v;
CREATE OR REPLACE VIEW m.v AS SELECT a.x, a.y * 2 AS y FROM s.a a;""",
    "2_mart.sql": "INSERT INTO m.b (y, z) SELECT v.x, v.y FROM m.v v;",
}
QUESTIONS = (["--end-to-end"], ["--upstream", "m.b.z"], ["--upstream", "M.B"],
             ["--downstream", "src.o.w"], ["--downstream", "s.a"])


def answers(capsys, *argv):
    code, out, err = run(capsys, *argv, "--json")
    return code, sorted(out.splitlines()), err.splitlines()[-1]


def test_answers_from_the_kept_graph_are_those_of_the_files(tmp_path, capsys):
    sql = tmp_path / "sql"
    sql.mkdir()
    for name, text in PIPELINE.items():
        (sql / name).write_text(text)
    store = str(tmp_path / "lineage.db")
    for change in (None, "INSERT INTO m.b (y, z) SELECT v.y, v.x FROM m.v v;"):
        if change is not None:  # a rescan drops the kept graph; the next question remakes it
            (sql / "2_mart.sql").write_text(change)
        run(capsys, "--store", store, str(sql))
        for question in QUESTIONS:
            fresh = answers(capsys, str(sql), *question)
            assert fresh[0] == 0 and fresh[1], question
            for _ in range(2):  # composed and kept, then read back
                assert answers(capsys, "--store", store, *question) == fresh, question
    code, _, err = run(capsys, "--store", store, "--upstream", "m.b.q")
    assert code == 1 and "m.b.q: no file writes or reads it (did you mean m.b.z, m.b.y, m.b?)" in err


def test_a_store_of_the_first_version_is_migrated_with_its_files(tmp_path, capsys):
    import sqlite3
    from contextlib import closing

    sql = tmp_path / "sql"
    sql.mkdir()
    for name, text in PIPELINE.items():
        (sql / name).write_text(text)
    store = str(tmp_path / "lineage.db")
    run(capsys, "--store", store, str(sql))
    with closing(sqlite3.connect(store)) as db:  # as the first version made it
        for event in ("insert", "update", "delete"):
            db.execute(f"DROP TRIGGER file_{event}")
        for name in ("graph_feed", "graph_column", "graph_made", "indirect_row"):
            db.execute(f"DROP TABLE {name}")
        db.execute("ALTER TABLE statement DROP COLUMN reads")
        db.execute("ALTER TABLE statement DROP COLUMN indirect_error")
        db.execute("ALTER TABLE file DROP COLUMN indirect")
        db.execute("PRAGMA user_version = 1")
        db.commit()
    expected = answers(capsys, str(sql), "--upstream", "m.b.z")
    assert answers(capsys, "--store", store, "--upstream", "m.b.z") == expected


def test_a_store_damaged_inside_is_one_line_for_a_question_too(tmp_path, capsys):
    sql = tmp_path / "sql"
    sql.mkdir()
    for name, text in PIPELINE.items():
        (sql / name).write_text(text)
    store = tmp_path / "lineage.db"
    run(capsys, "--store", str(store), str(sql))
    data = store.read_bytes()
    store.write_bytes(data[:4096] + b"\xa5" * (len(data) - 4096))  # every page after the first
    for argv in (["--upstream", "m.b.z"], ["--end-to-end"], [str(sql)]):
        code, out, err = run(capsys, "--store", str(store), *argv)
        assert code == 1 and out == "", argv
        assert len(err.splitlines()) == 1 and str(store) in err and "Traceback" not in err
