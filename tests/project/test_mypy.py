"""mypy passes on the package and the examples, with the project's configuration, against
the kernels' type stub."""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def test_mypy_passes_on_the_package_and_the_examples(tmp_path):
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(tmp_path),
         "--config-file", str(ROOT / "pyproject.toml")],
        capture_output=True, text=True, cwd=ROOT, timeout=900)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    assert "Success" in checked.stdout
