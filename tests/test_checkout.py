"""In a checkout's root, Python finds the installed package, not the sources."""

import pathlib
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.parametrize("args", [
    ["-c", "import telem_pyb_log, telem_pyb_log._native as n; print(n.__file__)"],
    ["-m", "telem_pyb_log", "--help"],
], ids=["import", "python -m telem_pyb_log --help"])
def test_the_repo_root_does_not_hide_the_installed_package(args):
    proc = subprocess.run([sys.executable, *args], cwd=ROOT, capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert not proc.stdout.startswith(str(ROOT / "python"))
