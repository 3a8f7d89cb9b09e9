"""Script mode: the report through the embedding host."""

import os
import subprocess
import textwrap

import pandas
import pytest

from conftest import BUILD, analyse, subprocess_env

HOST = os.path.join(BUILD, "lineage-host")
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
