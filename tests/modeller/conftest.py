"""Shared pieces of the modeller's tests: a small fault that builds in a moment, and the
command run in-process or as a real process."""

import subprocess
import sys
from pathlib import Path

import pytest

from kinematic_rupture import cli

SMALL = ["--length-km", "4", "--width-km", "2", "--cell-km", "0.5", "--magnitude", "5.2"]


def run_command(argv, capsys):
    """(status, stdout, stderr) of `kinematic-rupture ARGV`, run in this process."""
    status = cli.main([str(a) for a in argv])
    captured = capsys.readouterr()
    return status, captured.out, captured.err


def run_process(argv, cwd=None, timeout=300, env=None):
    """`python -m kinematic_rupture ARGV` as a process of its own."""
    return subprocess.run([sys.executable, "-m", "kinematic_rupture", *map(str, argv)],
                          capture_output=True, text=True, cwd=cwd, timeout=timeout, env=env)


def snapshot(directory: Path) -> dict[str, bytes]:
    """Every file under `directory`, by relative path, with its bytes."""
    return {str(path.relative_to(directory)): path.read_bytes()
            for path in sorted(directory.rglob("*")) if path.is_file()}


@pytest.fixture
def earlier_run(tmp_path):
    """A directory holding the files of an earlier good run, and their snapshot."""
    status = cli.main(["run", *SMALL, "--seed", "1", "--srf", str(tmp_path / "r.srf"),
                           "--figure", str(tmp_path / "r.png")])
    assert status == 0
    return tmp_path, snapshot(tmp_path)
