"""Files written today are the files written before: every golden sidecar in golden/,
run again, gives its SRF file and its sidecar byte for byte (but for the package
version they name). The golden files were made with the library versions in
golden/versions.json; elsewhere the last digit of a value may legitimately differ, so
the comparison is made only with those versions."""

import json
import re
from pathlib import Path

import numpy
import pyproj
import pytest
import scipy

from conftest import run_command
from kinematic_rupture import __version__

GOLDEN = Path(__file__).parent / "golden"
RECORDED = json.loads((GOLDEN / "versions.json").read_text())
HERE = {"numpy": numpy.__version__, "scipy": scipy.__version__, "pyproj": pyproj.__version__}


def without_version(data: bytes) -> bytes:
    """The file with the writing package's version taken out."""
    text = re.sub(r"written by kinematic-rupture \S+", "written by kinematic-rupture VERSION",
                  data.decode())
    return re.sub(r'"kinematic_rupture": "[^"]*"', '"kinematic_rupture": "VERSION"', text).encode()


@pytest.mark.skipif(HERE != RECORDED, reason=f"golden files were made with {RECORDED}")
@pytest.mark.parametrize("name", sorted(path.stem for path in GOLDEN.glob("*.srf")))
def test_the_same_settings_give_the_same_files_as_before(name, tmp_path, capsys):
    status, _, err = run_command(["run", "--settings", GOLDEN / f"{name}.json", "--no-figure",
                                  "--srf", tmp_path / f"{name}.srf"], capsys)
    assert status == 0, err
    for suffix in ("srf", "json"):
        written = (tmp_path / f"{name}.{suffix}").read_bytes()
        assert without_version(written) == without_version((GOLDEN / f"{name}.{suffix}").read_bytes())
    assert __version__ in (tmp_path / f"{name}.srf").read_text().splitlines()[1]
