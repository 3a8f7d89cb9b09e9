"""The embedding host's arguments are its own: none of them is read as an
interpreter option, so the report runs whatever they are."""

import os
import subprocess

import pytest

from conftest import BUILD, subprocess_env

HOST = os.path.join(BUILD, "lineage-host")
QUERY_FILE = "D:\\kelvo\\kelvo_parse\\sql3.txt"
REPORT_LINE = ("序号: 1, 别名: x, 来源字段名: a, 来源字段表别名: t, 字段类型: column, "
               "来源库名: db1, 来源表名: orders, 来源表别名: t")


@pytest.mark.parametrize("arguments", [
    ["--help"], ["-V"], ["-I", "-S", "-E"],
])
def test_interpreter_options_do_not_replace_the_report(tmp_path, arguments):
    (tmp_path / QUERY_FILE).write_text("SELECT t.a AS x FROM db1.orders AS t", encoding="utf-8")
    result = subprocess.run([HOST, *arguments], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120, env=subprocess_env(), stdin=subprocess.DEVNULL)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == REPORT_LINE
