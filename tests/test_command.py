"""The lineage command: files, directories, standard input, formats and
failures."""

import json
import os
import subprocess
import sys

from conftest import analyse, subprocess_env
from test_report import LINE_LITERAL, LINE_T_A, report_lines

MODULE_KEYS = ("column_sort", "column_name", "column_alias", "column_table", "column_type",
               "table_db", "table_name", "table_alias")


def run_command(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, "-m", "column_lineage", *args], input=stdin, capture_output=True,
                          text=True, timeout=120, cwd=cwd, env=subprocess_env())


class TestCommand:
    def test_single_file(self, tmp_path):
        query = tmp_path / "q.sql"
        query.write_text("SELECT `t`.`a` AS x, 1 AS one FROM db1.orders AS t", encoding="utf-8")
        result = run_command(str(query))
        assert result.returncode == 0, result.stderr
        assert report_lines(result.stdout) == [LINE_T_A, LINE_LITERAL]
        assert "==>" not in result.stdout and result.stderr == ""

    def test_standard_input(self):
        result = run_command("-", stdin="SELECT t.a AS x, 1 AS one FROM db1.orders AS t")
        assert report_lines(result.stdout) == [LINE_T_A, LINE_LITERAL]

    def test_directory_in_name_order_with_headings(self, tmp_path):
        (tmp_path / "b.sql").write_text("SELECT 2 AS two")
        (tmp_path / "a.sql").write_text("SELECT 1 AS one")
        (tmp_path / "notes.txt").write_text("not a query")
        result = run_command(str(tmp_path))
        assert result.returncode == 0, result.stderr
        headings = [line for line in result.stdout.splitlines() if line.startswith("==>")]
        assert headings == [f"==> {tmp_path / 'a.sql'} <==", f"==> {tmp_path / 'b.sql'} <=="]

    def test_json_lines_match_the_analysis(self, tmp_path):
        sql = "SELECT t.a AS 名称, MYFN(1) AS f, NULL AS n FROM db1.orders AS t"
        (tmp_path / "q.sql").write_text(sql, encoding="utf-8")
        result = run_command("--json", str(tmp_path / "q.sql"))
        assert result.returncode == 0, result.stderr
        assert "名称" in result.stdout  # not escaped
        documents = [json.loads(line) for line in result.stdout.splitlines()]
        assert [{key: d[key] for key in MODULE_KEYS if d[key] is not None} for d in documents] == \
            analyse(sql)
        assert {d["file"] for d in documents} == {str(tmp_path / "q.sql")}
        assert [d["position"] for d in documents] == [1, 2, 3]

    def test_bundled_example(self):
        result = run_command()
        assert result.returncode == 0, result.stderr
        lines = report_lines(result.stdout)
        assert len(lines) == 6
        assert lines[0].endswith("来源库名: sales, 来源表名: orders, 来源表别名: o")

    def test_failures_are_one_line_each_and_the_run_goes_on(self, tmp_path):
        (tmp_path / "1_ok.sql").write_text("SELECT t.a AS x, 1 AS one FROM db1.orders AS t")
        (tmp_path / "2_bad.sql").write_text("SELECT FROM WHERE (")
        (tmp_path / "3_unsupported.sql").write_text("SELECT 1 + 1 AS x FROM t")
        (tmp_path / "4_binary.sql").write_bytes(b"\xff\xfe")
        (tmp_path / "5_ok.sql").write_text("SELECT 7 AS seven")
        result = run_command(str(tmp_path), str(tmp_path / "missing.sql"))
        assert result.returncode == 1
        errors = result.stderr.splitlines()
        assert errors == [
            f"lineage: {tmp_path / '2_bad.sql'}: parse error at line 1, column 17: "
            + errors[0].split("column 17: ", 1)[-1],
            f"lineage: {tmp_path / '3_unsupported.sql'}: statement 1: not supported (暂不支持): "
            "1 + 1 AS x",
            f"lineage: {tmp_path / '4_binary.sql'}: not UTF-8 text (invalid start byte at byte 0)",
            f"lineage: {tmp_path / 'missing.sql'}: cannot read: No such file or directory",
        ]
        assert "Alias(" not in result.stdout  # the analysis' own print stays out
        assert report_lines(result.stdout) == [LINE_T_A, LINE_LITERAL, report_lines(
            run_command("-", stdin="SELECT 7 AS seven").stdout)[0]]


    def test_usage_error(self):
        result = run_command("--no-such-option")
        assert result.returncode == 2
        assert "usage: lineage" in result.stderr

    def test_empty_directory_is_reported(self, tmp_path):
        result = run_command(str(tmp_path))
        assert result.returncode == 1
        assert result.stderr == f"lineage: {tmp_path}: no .sql files in this directory\n"


def test_progress_bar_goes_to_a_terminal_on_standard_error_only(tmp_path):
    import pty

    for number in range(3):
        (tmp_path / f"q{number}.sql").write_text(f"SELECT t.a{number} FROM t AS t")
    controller, terminal = pty.openpty()
    try:
        result = subprocess.run([sys.executable, "-m", "column_lineage", "--json", str(tmp_path)],
                                stdout=subprocess.PIPE, stderr=terminal, text=True,
                                timeout=120, env=subprocess_env())
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:
                break
            if not chunk:
                break
            shown += chunk
    finally:
        os.close(controller)
    assert result.returncode == 0
    assert [json.loads(line)["column_name"] for line in result.stdout.splitlines()] == [
        "a0", "a1", "a2"]
    assert b"file" in shown and b"%" in shown
