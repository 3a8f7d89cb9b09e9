"""The command under faults and hostile input: workers that die or are told
to stop, pipes in a directory, control characters from the data, a schema
too deep to read, and CSV cells a spreadsheet would run."""

import json
import os
import signal
import subprocess
import sys
import time

import pytest

from conftest import subprocess_env
from column_lineage.workers import FEWEST

QUERY = "INSERT INTO dw.t (a) SELECT o.a FROM src.o o;"


def command(*args, **options):
    return subprocess.run([sys.executable, "-m", "column_lineage", *args], capture_output=True,
                          text=True, timeout=120, env=subprocess_env(), **options)


def children(pid):
    """The pids of a process's children (Linux's /proc)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                    found.append(int(entry))
        except (OSError, ValueError, IndexError):
            continue
    return found


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with open(f"/proc/{pid}/stat") as stat:  # a zombie is gone but for its parent's wait
        return stat.read().rsplit(")", 1)[1].split()[0] != "Z"


@pytest.mark.skipif(not os.path.exists("/proc/self/stat"), reason="needs Linux's /proc")
@pytest.mark.parametrize("signum", [signal.SIGTERM, signal.SIGHUP])
def test_a_signal_ends_the_command_and_its_workers(tmp_path, signum):
    for number in range(40 * FEWEST):  # queries: written as they are analysed
        (tmp_path / f"q{number:04d}.sql").write_text("SELECT o.a FROM src.o o;" * 20)
    run = subprocess.Popen([sys.executable, "-m", "column_lineage", "--json", "--jobs", "2",
                            str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           text=True, env=subprocess_env(), start_new_session=True)
    run.stdout.readline()  # the workers are under way
    workers = children(run.pid)
    assert len(workers) == 2
    run.send_signal(signum)
    _, errors = run.communicate(timeout=60)
    assert run.returncode == 128 + signum
    assert errors.splitlines() == [f"lineage: stopped by {signal.Signals(signum).name}"]
    time.sleep(1)
    assert [pid for pid in workers if alive(pid)] == []


def test_a_pipe_in_a_directory_is_skipped_and_one_named_is_read(tmp_path):
    (tmp_path / "a.sql").write_text(QUERY)
    os.mkfifo(tmp_path / "b.sql")  # nothing will ever write to it
    result = command("--json", str(tmp_path))
    assert result.returncode == 0
    assert f"lineage: {tmp_path / 'b.sql'}: skipped: not a regular file" in result.stderr
    assert [json.loads(line)["file"] for line in result.stdout.splitlines()] == [
        str(tmp_path / "a.sql")]
    # as the shell passes generated SQL: <(generate.sh), with another file beside it
    read, write = os.pipe()
    os.write(write, QUERY.encode())
    os.close(write)
    try:
        result = command("--json", f"/dev/fd/{read}", str(tmp_path / "a.sql"),
                         pass_fds=(read,))
    finally:
        os.close(read)
    assert result.returncode == 0, result.stderr
    assert [json.loads(line)["table_name"] for line in result.stdout.splitlines()] == ["o", "o"]


HOSTILE = "\x1b]0;owned\x07\x1b[2J\r\x7f\x85\u2028\u202e"


def test_control_characters_never_reach_the_terminal_raw(tmp_path):
    sql = (f"SELECT 1 AS `a{HOSTILE}`, t.`c{HOSTILE}` FROM `db{HOSTILE}`.t;\n"
           f"SELECT FROM `{HOSTILE}` WHERE (;\n"
           f"CALL `p{HOSTILE}`();\n")
    hostile = tmp_path / f"f{HOSTILE}.sql"
    hostile.write_text(sql)
    raw = {char for char in HOSTILE if not char.isprintable()}
    for terminal_format in ("table", "report"):
        result = command("--format", terminal_format, str(hostile))
        assert result.returncode == 1  # the parse error
        for stream in (result.stdout, result.stderr):
            assert not raw & set(stream), terminal_format
        assert "\\x1b]0;owned\\x07" in result.stdout and "\\u202e" in result.stdout
    assert all(line.startswith("lineage: ") for line in result.stderr.splitlines())
    # the data formats keep values exact; JSON Lines keeps a row a line for any reader
    rows = [json.loads(line) for line in command("--json", str(hostile)).stdout.splitlines()]
    assert rows[0]["output_name"] == f"a{HOSTILE}" and rows[1]["table_db"] == f"db{HOSTILE}"


def test_a_schema_too_deep_to_read_is_a_usage_error(tmp_path):
    deep = tmp_path / "deep.json"
    deep.write_text('{"a":' * 100_000 + "{}" + "}" * 100_000)
    (tmp_path / "q.sql").write_text(QUERY)
    result = command("--schema", str(deep), str(tmp_path / "q.sql"))
    assert result.returncode == 2 and "Traceback" not in result.stderr
    assert result.stderr.splitlines()[-1].endswith("too deeply nested to read (a schema is "
                                                   "{db: {table: {column: type}}})")


def test_csv_is_exact_unless_asked_to_be_safe_for_spreadsheets(tmp_path):
    (tmp_path / "q.sql").write_text(
        "SELECT '=HYPERLINK(\"http://x\")' AS `+a`, t.`@b`, t.`-c`, t.`d=` FROM t")
    cells = {}
    for flag in ([], ["--csv-safe"]):
        lines = command("--format", "csv", *flag, str(tmp_path / "q.sql")).stdout.splitlines()
        cells[bool(flag)] = [line.split(",")[4] for line in lines[1:]]  # output_name
    assert cells[False] == ['"+a"', '"@b"', '"-c"', '"d="']
    assert cells[True] == ['"\'+a"', '"\'@b"', '"\'-c"', '"d="']


@pytest.mark.parametrize("output", [["--format", "json"], ["--format", "csv"],
                                    ["--format", "table"], ["--format", "report"],
                                    ["--format", "openlineage", "--event-time", "2026-01-01"]])
def test_a_big_file_is_written_as_it_is_analysed_and_the_same(tmp_path, capsys, monkeypatch,
                                                               output):
    from column_lineage import analysis, cli
    script = tmp_path / "big.sql"
    script.write_text("USE dw; SET @a = 1;\n" + "".join(
        f"INSERT INTO t{k % 3} (a, b) SELECT o.a, o.b + {k} FROM src.o o;\n"
        f"SELECT t.a FROM t{k % 3} t JOIN nowhere n USING (a);\n" for k in range(40))
        + "CALL p();\nSELECT FROM (;\n")

    def run():
        code = cli.main([*output, "--jobs", "1", str(script)])
        return (code, *capsys.readouterr())

    whole = run()  # under the size that streams
    events = []
    analyse = analysis.analyse_statement
    monkeypatch.setattr(analysis, "analyse_statement",
                        lambda *args, **kw: events.append("analysed") or analyse(*args, **kw))
    monkeypatch.setattr(cli, "STREAM_BYTES", 1)
    real_write = sys.stdout.write
    monkeypatch.setattr(sys.stdout, "write", lambda text: events.append("written")
                        or real_write(text))
    streamed = run()
    assert streamed == whole
    assert whole[0] == 1 and "statement 84: parse error" in whole[2]
    # rows were written before the last statements were analysed
    assert events.index("written") < len(events) - 1 - events[::-1].index("analysed")


def test_a_streamed_files_blocks_end_at_a_newline_even_after_lone_carriage_returns(
        tmp_path, capsys, monkeypatch):
    from column_lineage import cli
    script = tmp_path / "cr.sql"
    script.write_text("SELECT 1 AS a -- a note\rSELECT 2;\nSELECT o.x FROM t o;\r\n# c\rd;\n",
                      newline="")
    whole = (cli.main(["--json", "--jobs", "1", str(script)]), *capsys.readouterr())
    monkeypatch.setattr(cli, "STREAM_BYTES", 1)
    monkeypatch.setattr(cli, "BLOCK", 5)  # blocks would end inside the comments
    assert (cli.main(["--json", "--jobs", "1", str(script)]), *capsys.readouterr()) == whole


def test_a_streamed_file_not_utf8_further_on_says_at_which_byte(tmp_path, capsys, monkeypatch):
    from column_lineage import cli
    script = tmp_path / "late.sql"
    head = "".join(f"SELECT o.a{k} FROM src.o o;\n" for k in range(3000)).encode()
    script.write_bytes(head + "SELECT 'é' AS e;\n".encode() + b"SELECT '\xff' AS bad;\n")
    monkeypatch.setattr(cli, "STREAM_BYTES", 1)
    code = cli.main(["--json", "--jobs", "1", str(script)])
    message = capsys.readouterr().err.splitlines()[0]
    offset = script.read_bytes().index(b"\xff")
    assert code == 1 and offset > 8192  # beyond the decoder's first chunk
    assert message == f"lineage: {script}: not UTF-8 text (invalid start byte at byte {offset})"
