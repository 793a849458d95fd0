"""Files written today are the files written before: every golden sidecar in golden/, run
again, gives its SRF file and its sidecar.

Everywhere, every number of both files must be the golden one to within a relative 1e-9
(and the rounding of its last printed digit), and everything else must be the same text:
a real change of output shows on any processor. Byte for byte only where the library
versions and the processor features NumPy dispatches on are those in golden/versions.json,
which the golden files were made with: elsewhere the last bits of a value may differ
(NumPy's float64 exp and log take other paths on other SIMD levels).

To make them again, with the package installed: for each NAME in golden/,
`kinematic-rupture run --settings golden/NAME.json --no-figure --srf golden/NAME.srf`,
and record the versions with `python tests/modeller/test_golden.py`."""

import json
import re
from pathlib import Path

import numpy
import pyproj
import pytest
import scipy

from kinematic_rupture import __version__, cli
from kinematic_rupture.field import numpy_dispatch

GOLDEN = Path(__file__).parent / "golden"
RECORDED = json.loads((GOLDEN / "versions.json").read_text())
BASELINE, DISPATCHED = numpy_dispatch()
HERE = {"numpy": numpy.__version__, "scipy": scipy.__version__, "pyproj": pyproj.__version__,
        "numpy_baseline": list(BASELINE), "numpy_dispatch": list(DISPATCHED)}
NAMES = sorted(path.stem for path in GOLDEN.glob("*.srf"))
# How far a number may be from the golden one anywhere, relative to it.
RELATIVE_TOLERANCE = 1e-9
NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")


def without_version(data: bytes) -> bytes:
    """The file with the writing package's version taken out."""
    text = re.sub(r"written by kinematic-rupture \S+", "written by kinematic-rupture VERSION",
                  data.decode())
    return re.sub(r'"kinematic_rupture": "[^"]*"', '"kinematic_rupture": "VERSION"', text).encode()


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """Each golden sidecar run again: its SRF file's and sidecar's bytes, by name."""
    directory = tmp_path_factory.mktemp("golden")
    files = {}
    for name in NAMES:
        status = cli.main(["run", "--settings", str(GOLDEN / f"{name}.json"), "--no-figure",
                               "--srf", str(directory / f"{name}.srf")])
        assert status == 0
        files[name] = {suffix: (directory / f"{name}.{suffix}").read_bytes()
                       for suffix in ("srf", "json")}
    return files


def last_digit(token: str) -> float:
    """The value of one unit in the last digit of a number printed to a fixed precision; 0
    for a whole number, which must match exactly."""
    mantissa, _, exponent = token.lower().partition("e")
    if "." not in mantissa and not exponent:
        return 0.0
    decimals = len(mantissa.partition(".")[2])
    return 10.0 ** (int(exponent or 0) - decimals)


def numbers(text: str, fixed: bool) -> list[tuple[str, bool]]:
    """Each number of a file, and whether it is printed to a fixed precision: those of an
    SRF file's lines but its comments (which, like the sidecar, print each number as the
    shortest text that reads back as it)."""
    return [(token, fixed and not line.startswith("#"))
            for line in text.splitlines() for token in NUMBER.findall(line)]


def differences(written: bytes, golden: bytes, fixed: bool) -> list[str]:
    """Where two files differ beyond the tolerance: their text apart from the numbers, and
    each pair of numbers; `fixed` for an SRF file."""
    ours, theirs = without_version(written).decode(), without_version(golden).decode()
    if NUMBER.sub("#", ours) != NUMBER.sub("#", theirs):
        return ["the text around the numbers differs"]
    found = []
    for (ours_token, _), (theirs_token, printed) in zip(numbers(ours, fixed), numbers(theirs, fixed)):
        a, b = float(ours_token), float(theirs_token)
        allowed = RELATIVE_TOLERANCE * max(abs(a), abs(b))
        if printed:
            allowed += last_digit(theirs_token)
        if abs(a - b) > allowed:
            found.append(f"{ours_token} where the golden file has {theirs_token}")
    return found


@pytest.mark.parametrize("name", NAMES)
def test_the_same_settings_give_the_same_numbers_as_before_anywhere(name, written):
    for suffix in ("srf", "json"):
        golden = (GOLDEN / f"{name}.{suffix}").read_bytes()
        assert differences(written[name][suffix], golden, fixed=suffix == "srf") == []


@pytest.mark.skipif(HERE != RECORDED, reason=f"golden files were made with {RECORDED}")
@pytest.mark.parametrize("name", NAMES)
def test_the_same_settings_give_the_same_files_as_before(name, written):
    for suffix in ("srf", "json"):
        golden = (GOLDEN / f"{name}.{suffix}").read_bytes()
        assert without_version(written[name][suffix]) == without_version(golden)
    assert __version__ in written[name]["srf"].decode().splitlines()[1]


@pytest.mark.parametrize("change", [
    lambda text: text.replace("\"dt_s\":0.05", "\"dt_s\":0.0500001", 1),
    lambda text: re.sub(r"(\d\.\d{5})e", lambda m: f"{float(m[1]) + 2e-5:.5f}e", text, count=1),
    lambda text: text.replace("POINTS", "POINT", 1),
])
def test_the_comparison_catches_a_change_of_output(change):
    golden = (GOLDEN / f"{NAMES[0]}.srf").read_bytes()
    changed = change(golden.decode()).encode()
    assert changed != golden and differences(changed, golden, fixed=True) != []
    assert differences(golden, golden, fixed=True) == []


if __name__ == "__main__":
    (GOLDEN / "versions.json").write_text(json.dumps(HERE) + "\n")
