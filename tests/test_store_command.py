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


def test_a_store_that_cannot_be_used_is_one_line(tmp_path, capsys):
    damaged = tmp_path / "damaged.db"
    damaged.write_bytes(b"SQLite format 3\x00" + b"\x07" * 200)
    before = damaged.read_bytes()
    code, out, err = run(capsys, "--store", str(damaged), "--end-to-end")
    assert code == 1 and out == ""
    assert len(err.splitlines()) == 1 and str(damaged) in err
    assert damaged.read_bytes() == before
