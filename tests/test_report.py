"""The report: script mode through the embedding host, and the lineage
command."""

import json
import os
import subprocess
import sys
import textwrap

import pandas
import pytest

from conftest import BUILD, ROOT, analyse, subprocess_env

HOST = os.path.join(BUILD, "lineage-host")
COMMAND = os.path.join(ROOT, "src", "report", "lineage_command.py")
QUERY_FILE = "D:\\kelvo\\kelvo_parse\\sql3.txt"

LINE_T_A = ("序号: 1, 别名: x, 来源字段名: a, 来源字段表别名: t, 字段类型: column, "
            "来源库名: db1, 来源表名: orders, 来源表别名: t")
LINE_LITERAL = ("序号: 2, 别名: one, 来源字段名: 1, 来源字段表别名: , 字段类型: literal, "
                "来源库名: None, 来源表名: None, 来源表别名: None")


def run_host(workdir, **env):
    return subprocess.run([HOST], cwd=workdir, capture_output=True, text=True, timeout=120,
                          env=subprocess_env(**env))


def report_lines(stdout):
    return [line for line in stdout.splitlines() if line.startswith("序号: ")]


class TestScriptMode:
    def write_query(self, tmp_path, sql):
        (tmp_path / QUERY_FILE).write_text(sql, encoding="utf-8")

    def test_report_of_the_query_file(self, tmp_path):
        self.write_query(tmp_path, "SELECT `t`.`a` AS x, 1 AS one FROM db1.`orders` AS t")
        result = run_host(tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines()[-2:] == [LINE_T_A, LINE_LITERAL]
        frame = result.stdout.splitlines()[:-2]
        records = analyse("SELECT t.a AS x, 1 AS one FROM db1.orders AS t")
        assert frame == str(pandas.DataFrame(records)).splitlines()

    def test_backticks_make_no_difference(self, tmp_path):
        self.write_query(tmp_path, "SELECT t.a AS x, 1 AS one FROM db1.orders AS t")
        plain = run_host(tmp_path).stdout
        self.write_query(tmp_path, "SELECT `t`.`a` AS `x`, 1 AS `one` FROM `db1`.`orders` AS `t`")
        assert run_host(tmp_path).stdout == plain

    def test_empty_result_prints_only_the_empty_frame(self, tmp_path):
        self.write_query(tmp_path, "SELECT (SELECT 1) AS s")
        result = run_host(tmp_path)
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith("Empty DataFrame")
        assert report_lines(result.stdout) == []

    def run_with_fake(self, tmp_path, module, source):
        """Runs the two-record query with a stand-in for one imported module."""
        self.write_query(tmp_path, "SELECT t.a AS x, 1 AS one FROM db1.orders AS t")
        fake = tmp_path / "fake"
        fake.mkdir()
        (fake / f"{module}.py").write_text(textwrap.dedent(source), encoding="utf-8")
        return run_host(tmp_path, PYTHONPATH=str(fake))

    def test_names_bound_and_toolkit_called(self, tmp_path):
        result = self.run_with_fake(tmp_path, "kelvo_func", """
            import atexit, sys
            class KelvoFunc:
                def __init__(self):
                    module = sys.modules['test']
                    print('KelvoFunc', module.__name__, flush=True)
                    atexit.register(lambda: print(
                        'bound', [n for n in vars(module) if n in ('path', 'result', 'pd', 'i', '__test__')],
                        module.i is module.result[-1], module.path))
            """)
        assert result.returncode == 0, result.stderr
        lines = result.stdout.splitlines()
        assert lines[0] == "KelvoFunc __main__"
        assert lines[-1] == "bound ['path', 'result', 'pd', 'i', '__test__'] True " + QUERY_FILE

    @pytest.mark.parametrize("sql, error", [
        (None, "FileNotFoundError"),
        ("SELECT FROM WHERE (", "ParseError"),
        ("SELECT 1 + 1 AS x FROM t", "NotImplementedError"),
    ])
    def test_failed_load_is_reported_like_an_uncaught_exception(self, tmp_path, sql, error):
        if sql is not None:
            self.write_query(tmp_path, sql)
        result = run_host(tmp_path)
        assert result.returncode == 1
        stderr = result.stderr.splitlines()
        assert stderr[0] == "Traceback (most recent call last):"
        assert stderr[1] == '  File "test.py", line 1, in init test'
        assert any(line.startswith(error) or f".{error}" in line for line in stderr)

    def test_frame_is_built_from_the_result(self, tmp_path):
        result = self.run_with_fake(tmp_path, "pandas", """
            class DataFrame:
                def __init__(self, records):
                    self.records = records
                def __str__(self):
                    return f'frame of {len(self.records)}: {self.records[0]["column_name"]}'
            """)
        assert result.returncode == 0, result.stderr
        assert result.stdout.splitlines() == ["frame of 2: a", LINE_T_A, LINE_LITERAL]

    def test_lines_printed_before_a_failure_stay(self, tmp_path):
        # Standard output that fails on the second report line.
        result = self.run_with_fake(tmp_path, "kelvo_func", """
            import sys
            class Failing:
                def __init__(self, real):
                    self.real = real
                def write(self, text):
                    if text.startswith('序号: 2'):
                        raise OSError('disk full')
                    self.real.write(text)
                    self.real.flush()
                def flush(self):
                    self.real.flush()
            class KelvoFunc:
                def __init__(self):
                    sys.stdout = Failing(sys.stdout)
            """)
        assert result.returncode == 1
        assert report_lines(result.stdout) == [LINE_T_A]
        assert result.stderr.splitlines()[-1] == "OSError: disk full"


def run_command(*args, stdin=None, cwd=None):
    return subprocess.run([sys.executable, COMMAND, *args], input=stdin, capture_output=True,
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
        assert documents == [{**r, "file": str(tmp_path / "q.sql")} for r in analyse(sql)]

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
            f"lineage: {tmp_path / '3_unsupported.sql'}: not supported (暂不支持): 1 + 1 AS x",
            f"lineage: {tmp_path / '4_binary.sql'}: not UTF-8 text (invalid start byte at byte 0)",
            f"lineage: {tmp_path / 'missing.sql'}: cannot read: No such file or directory",
        ]
        assert "Alias(" not in result.stdout  # the analysis' own print stays out
        assert report_lines(result.stdout) == [LINE_T_A, LINE_LITERAL, report_lines(
            run_command("-", stdin="SELECT 7 AS seven").stdout)[0]]

    def test_other_exceptions_name_the_file(self, tmp_path):
        (tmp_path / "q.sql").write_text("UPDATE t SET a = 1")
        result = run_command(str(tmp_path / "q.sql"))
        assert result.returncode == 1
        assert result.stderr.startswith(f"lineage: {tmp_path / 'q.sql'}: AttributeError: ")

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
        result = subprocess.run([sys.executable, COMMAND, "--json", str(tmp_path)],
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
