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
