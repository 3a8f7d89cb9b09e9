"""Set-up on a checkout that is already set up: the input digest answers, and
neither CMake nor pip is started."""

import os
import stat
import subprocess

from conftest import ROOT


def failing_tool(directory, name, marker):
    path = os.path.join(directory, name)
    with open(path, "w", encoding="utf-8") as script:
        script.write(f"#!/bin/sh\necho {name} >> {marker}\nexit 1\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


def test_an_unchanged_checkout_starts_no_build_tool(tmp_path):
    marker = tmp_path / "started"
    for name in ("cmake", "pip", "python3.13"):
        failing_tool(tmp_path, name, marker)
    env = dict(os.environ, PATH=f"{tmp_path}:{os.environ['PATH']}")
    result = subprocess.run(["bash", os.path.join(ROOT, "tools", "setup.sh")], env=env,
                            capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stderr) == (0, "")
    assert not marker.exists(), marker.read_text()


FAKE_PYTHON = """#!/bin/sh
# A stand-in CPython 3.13: logs each call; makes a venv as a copy of itself.
echo "python $*" >> "{log}"
case "$*" in
    *sysconfig*) echo "{site}" ;;
    "-m venv "*) mkdir -p "$3/bin" && cp "$0" "$3/bin/python" ;;
esac
exit 0
"""
FAKE_CMAKE = """#!/bin/sh
echo "cmake $*" >> "{log}"
mkdir -p build && touch build/lineage-host build/test.x.so build/lineage_report.x.so
chmod +x build/lineage-host
exit 0
"""


def fake(path, text):
    path.write_text(text)
    path.chmod(0o755)


def test_the_command_on_a_fresh_checkout_sets_up_only_what_it_runs_on(tmp_path):
    checkout = tmp_path / "checkout"
    (checkout / "tools").mkdir(parents=True)
    for name in ("lineage", "CMakeLists.txt", "requirements.txt", "requirements-run.txt",
                 "requirements-sqlglot27.txt", "tools/setup.sh"):
        (checkout / name).write_bytes(open(os.path.join(ROOT, name), "rb").read())
        (checkout / name).chmod(os.stat(os.path.join(ROOT, name)).st_mode)
    (checkout / "src").mkdir()
    log, site, bin_ = tmp_path / "log", tmp_path / "site", tmp_path / "bin"
    site.mkdir()
    bin_.mkdir()
    fake(bin_ / "python3.13", FAKE_PYTHON.format(log=log, site=site))
    fake(bin_ / "cmake", FAKE_CMAKE.format(log=log))
    env = {key: value for key, value in os.environ.items()
           if key not in ("SETUP_TESTS", "SETUP_BROWSER", "PYTHON313")}
    env.update(PATH=f"{bin_}:{os.environ['PATH']}", PYTHON313=str(bin_ / "python3.13"))
    result = subprocess.run(["bash", str(checkout / "lineage"), "q.sql"], env=env, cwd=checkout,
                            capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "setup: first run" in result.stderr
    calls = log.read_text().splitlines()
    installs = [call.split(" -r ")[1] for call in calls if " pip install " in call]
    assert installs == ["requirements-run.txt"]
    assert not (checkout / ".venv-sqlglot27").exists()
    assert calls[-1] == "python -m column_lineage q.sql"  # then the command itself
