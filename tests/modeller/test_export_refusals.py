"""The exports' hostile pass: unknown formats and options, bad projections, an output over
its input or where it cannot be written, points that do not slip, huge patches, and slip
along u2 and u3; through the library and the command (one line, exit status 2, no file)."""

import math

import numpy as np
import pytest

from conftest import run_command
from kinematic_rupture import SettingError, SrfError, read_srf
from kinematic_rupture.io import FORMATS, export
from solver_readers import seissol_read_nrf, specfem_read_cmt, sw4_read_hdf5, sw4_read_srf


def synthetic_srf(path, rows, dt, tinit=None, mechanisms=None, version="1.0", rows2=None,
                  rows3=None):
    """An SRF file of one plane of len(rows) points in a row along strike, written here
    line by line: 1 km^2 each, SLIPk = DT times the sum of its samples (cm/s)."""
    count = len(rows)
    tinit = tinit or [0.5 * k for k in range(count)]
    mechanisms = mechanisms or [(30.0, 60.0, 90.0)] * count
    rows2 = rows2 or [[]] * count
    rows3 = rows3 or [[]] * count
    lines = [version, "PLANE 1", f"-117.500000 34.200000 {count} 1 {count:.4f} 1.0000",
             "30.00 60.00 5.0000 0.0000 0.5000", f"POINTS {count}"]
    for k in range(count):
        strike, dip, rake = mechanisms[k]
        point = f"{-117.5 + 0.01 * k:.6f} 34.200000 5.000000 {strike:.2f} {dip:.2f} 1.000000e+10 " \
                f"{tinit[k]:.6f} {dt:.6e}"
        if version == "2.0":
            point += " 3.000000e+05 2.700000e+00"
        lines.append(point)
        slips = [dt * sum(row) for row in (rows[k], rows2[k], rows3[k])]
        lines.append(f"{rake:.2f} {slips[0]:.6e} {len(rows[k])} {slips[1]:.6e} {len(rows2[k])} "
                     f"{slips[2]:.6e} {len(rows3[k])}")
        for row in (rows[k], rows2[k], rows3[k]):
            for start in range(0, len(row), 6):
                lines.append("".join(f"{value:13.5e}" for value in row[start:start + 6]))
    path.write_text("\n".join(lines) + "\n")
    return path


@pytest.fixture
def small(tmp_path):
    return synthetic_srf(tmp_path / "small.srf", rows=[[0.0, 5.0, 3.0, 0.0]] * 4, dt=0.1,
                         version="2.0")


PROJECTION = ["--projection", "EPSG:32611"]


@pytest.mark.parametrize("argv, message", [
    (["--to", "sw4"], "--to sw4: not a format; one of srf-single-block, sw4-hdf5"),
    (["--to", "seissol-nrf"], "--projection None: give the mesh's projection"),
    (["--to", "seissol-nrf", "--projection", "+proj=nonsense"], "--projection +proj=nonsense: not a projection PROJ knows"),
    (["--to", "seissol-nrf", "--projection", "EPSG:4326"], "--projection EPSG:4326: is not a projected"),
    (["--to", "seissol-nrf", "--projection", "+proj=utm +zone=11 +units=km"], "has units kilometre"),
    (["--to", "seissol-nrf", "--projection", "+proj=utm +zone=11 +axis=nnu"], "+axis=nnu: needs three letters"),
    (["--to", "seissol-nrf", "--projection", "+proj=ortho +lat_0=-60 +lon_0=60"], "lies outside the projection's domain"),
    (["--to", "seissol-nrf", *PROJECTION, "--deflate", "10"], "--deflate 10: must be a whole number from 0 to 9"),
    (["--to", "specfem-cmt", "--projection", "EPSG:32611"], "--projection: not an option of specfem-cmt"),
    (["--to", "specfem-cmt", "--patch-km", "0"], "--patch-km 0: must be a positive number of km"),
    (["--to", "specfem-cmt", "--patch-km", "inf"], "--patch-km inf: must be a positive number"),
    (["--to", "specfem-cmt", "--stf-dt", "nan"], "--stf-dt nan: must be a positive number of s"),
    (["--to", "specfem-cmt", "--stf-dt", "1e-7"], "more than 20,000,000: merge subfaults into patches"),
    (["--to", "specfem-cmt", "--stf-nstep", "10"], "--stf-nstep 10: must be a positive whole number, with --stf-dt"),
    (["--to", "points-hdf5", "--origin", "0", "95"], "--origin 0 95: must be a longitude and a latitude"),
    (["--to", "srf-single-block", "--srf-version", "3.0"], "--srf-version: invalid choice"),
])
def test_a_bad_option_is_one_line_and_writes_nothing(small, capsys, argv, message):
    before = sorted(small.parent.iterdir())
    status, out, err = run_command(["export", small, *argv], capsys)
    assert status == 2 and message in err and err.count("\n") == 1, err
    assert sorted(small.parent.iterdir()) == before


@pytest.mark.parametrize("name", FORMATS)
def test_the_output_may_not_be_the_input(small, capsys, name):
    text = small.read_bytes()
    extra = PROJECTION if name == "seissol-nrf" else []
    link = small.parent / "link.srf"
    link.symlink_to(small)
    for output in (small, link, small.parent / "." / small.name):
        status, _, err = run_command(["export", small, "--to", name, "--output", output, *extra], capsys)
        assert status == 2 and "is the file exported from" in err
    assert small.read_bytes() == text
    with pytest.raises(SettingError, match="is the file exported from"):
        export(small, link, name, **({"projection": "EPSG:32611"} if extra else {}))


@pytest.mark.parametrize("name", FORMATS)
def test_an_unwritable_place_is_refused_and_a_failed_write_leaves_nothing(small, tmp_path, capsys, name):
    extra = PROJECTION if name == "seissol-nrf" else []
    status, _, err = run_command(["export", small, "--to", name, "--output",
                                  small / "inside", *extra], capsys)
    assert status == 2 and "cannot write in" in err and err.count("\n") == 1
    # A write that fails on the way (here: the name is taken by a directory) leaves no file.
    (tmp_path / "taken").mkdir()
    status, _, err = run_command(["export", small, "--to", name, "--output", tmp_path / "taken",
                                  *extra], capsys)
    assert status == 2 and "is a directory" in err
    assert not [path for path in tmp_path.iterdir() if path.name.startswith(".")]


def test_the_default_output_sits_beside_the_input(small, capsys):
    for name, entry in FORMATS.items():
        extra = PROJECTION if name == "seissol-nrf" else []
        status, out, _ = run_command(["export", small, "--to", name, *extra], capsys)
        assert status == 0 and (small.parent / f"small{entry.suffix}").is_file()
        assert out.startswith(f"wrote {small.parent / ('small' + entry.suffix)} ({name}")


def test_a_huge_patch_is_the_plane(small, capsys):
    status, _, err = run_command(["export", small, "--to", "specfem-cmt", "--patch-km", "1e300",
                                  "--output", small.parent / "CMT"], capsys)
    assert status == 0, err
    (source,) = specfem_read_cmt(small.parent / "CMT")
    assert source.time_shift > 0 and source.half_duration > 0


def test_points_that_do_not_slip_are_no_sources_and_no_nan(tmp_path):
    path = synthetic_srf(tmp_path / "zero.srf", rows=[[0.0, 2.0, 0.0], [], [0.0, 0.0], [1.0]],
                         dt=0.5, version="2.0")
    srf = read_srf(path)
    export(srf, tmp_path / "one.srf", "srf-single-block")
    text = (tmp_path / "one.srf").read_text()
    assert "0.000000e+00 0 0.0 0 0.0 0" in text  # the point with no samples keeps NT1 = 0
    read = sw4_read_srf(tmp_path / "one.srf")
    assert len(read) == 3  # a point with NT1 = 0 is no source in SW4
    export(srf, tmp_path / "one.h5", "sw4-hdf5")
    assert len(sw4_read_hdf5(tmp_path / "one.h5")) == 3
    export(srf, tmp_path / "one.nrf", "seissol-nrf", projection="EPSG:32611")
    nrf = seissol_read_nrf(tmp_path / "one.nrf")
    assert len(nrf.subfaults) == 3  # rconv drops points without samples
    export(srf, tmp_path / "CMT", "specfem-cmt")
    sources = specfem_read_cmt(tmp_path / "CMT")
    assert len(sources) == 2  # and a point whose samples sum to nothing has no moment
    assert all(np.isfinite([s.time_shift, s.half_duration, *s.tensor]).all() for s in sources)


def test_a_file_with_no_slip_at_all_exports_empty(tmp_path):
    path = synthetic_srf(tmp_path / "none.srf", rows=[[], []], dt=0.5)
    srf = read_srf(path)
    export(srf, tmp_path / "CMT", "specfem-cmt")
    assert (tmp_path / "CMT").read_text() == ""
    export(srf, tmp_path / "n.nrf", "seissol-nrf", projection="EPSG:32611")
    assert len(seissol_read_nrf(tmp_path / "n.nrf").subfaults) == 0
    export(srf, tmp_path / "p.h5", "points-hdf5")


def test_slip_along_u2_that_keeps_its_direction_is_folded_into_the_rake(tmp_path):
    """SW4 reads u1 only: u2 (at rake + 90, Graves' Fig. 1) in proportion to u1 becomes one
    slip along the rake between them; u2 alone, slip at rake + 90."""
    path = synthetic_srf(tmp_path / "u2.srf", rows=[[0.0, 3.0, 6.0, 0.0], []], dt=0.1,
                         rows2=[[0.0, 4.0, 8.0, 0.0], [0.0, 2.0, 0.0]],
                         mechanisms=[(30.0, 60.0, 10.0), (30.0, 60.0, 10.0)])
    export(read_srf(path), tmp_path / "one.srf", "srf-single-block")
    read = sw4_read_srf(tmp_path / "one.srf")
    assert [p.rake for p in read] == [pytest.approx(10 + np.degrees(np.arctan2(4, 3)), abs=0.006),
                                      pytest.approx(100.0)]
    assert read[0].slip1_cm == pytest.approx(math.hypot(0.9, 1.2))
    assert read[0].samples == pytest.approx([0.0, 5.0, 10.0, 0.0])
    assert read[1].samples == pytest.approx([0.0, 2.0, 0.0])


@pytest.mark.parametrize("name", ["srf-single-block", "sw4-hdf5", "specfem-cmt", "points-hdf5"])
def test_slip_that_turns_or_opens_is_refused_where_one_direction_is_all_a_format_holds(tmp_path, capsys, name):
    turning = synthetic_srf(tmp_path / "turning.srf", rows=[[0.0, 3.0, 6.0, 0.0]], dt=0.1,
                            rows2=[[0.0, 6.0, 3.0, 0.0]])
    opening = synthetic_srf(tmp_path / "opening.srf", rows=[[0.0, 3.0, 0.0]], dt=0.1,
                            rows3=[[0.0, 1.0, 0.0]])
    for path, message in ((turning, "point 1 slips along u1 and u2 in a direction that turns"),
                          (opening, "point 1 opens (SLIP3 0.1 cm, NT3 3)")):
        status, _, err = run_command(["export", path, "--to", name], capsys)
        assert status == 2 and message in err and err.count("\n") == 1, err
        with pytest.raises(SrfError):
            export(read_srf(path), tmp_path / "out", name)
    assert not (tmp_path / "out").exists()


def test_nrf_carries_all_three_components(tmp_path):
    path = synthetic_srf(tmp_path / "three.srf", rows=[[0.0, 3.0, 6.0, 0.0]], dt=0.1,
                         rows2=[[0.0, 6.0, 3.0, 0.0]], rows3=[[0.0, 1.0, 0.0]])
    export(read_srf(path), tmp_path / "three.nrf", "seissol-nrf", projection="EPSG:32611")
    nrf = seissol_read_nrf(tmp_path / "three.nrf")
    assert [nrf.slip_m(0, c) for c in range(3)] == [pytest.approx(0.009), pytest.approx(0.009),
                                                    pytest.approx(0.001)]
    assert nrf.offsets.tolist() == [[0, 0, 0], [4, 4, 3]]


def test_patches_need_the_plane_block(tmp_path):
    path = synthetic_srf(tmp_path / "p.srf", rows=[[1.0]] * 3, dt=0.1)
    text = path.read_text().splitlines()
    (tmp_path / "bare.srf").write_text("\n".join([text[0], *text[4:]]) + "\n")
    with pytest.raises(SrfError, match="merging into patches needs each plane's cells"):
        export(tmp_path / "bare.srf", tmp_path / "CMT", "specfem-cmt", patch_km=1.0)
    with pytest.raises(SettingError, match="not an option of specfem-cmt"):
        export(path, tmp_path / "CMT", "specfem-cmt", projection="EPSG:32611")


@pytest.mark.parametrize("name", ["srf-single-block", "sw4-hdf5"])
def test_a_plane_block_that_does_not_count_the_points_is_not_carried_to_a_solver(small, tmp_path, capsys, name):
    # The reader takes such a file (its points stand alone), but a solver would lay them on
    # the planes' grids: 10^12 cells for 4 points, or 12 for 4.
    for cells, total in (("1000000 1000000", "1,000,000,000,000"), ("4 3", "12")):
        text = small.read_text().replace("-117.500000 34.200000 4 1 ", f"-117.500000 34.200000 {cells} ")
        (tmp_path / "miscounted.srf").write_text(text)
        status, _, err = run_command(["export", tmp_path / "miscounted.srf", "--to", name,
                                      "--output", tmp_path / "out"], capsys)
        assert status == 2 and err.count("\n") == 1, err
        assert (f"its PLANE block declares {total} subfaults (NSTK x NDIP summed over its planes) "
                f"and its POINTS blocks hold 4; {name} would carry the mismatch to the solver") in err
        assert not (tmp_path / "out").exists()
    status, _, err = run_command(["export", small, "--to", name, "--output", tmp_path / "out"], capsys)
    assert status == 0 and (tmp_path / "out").exists(), err


def test_an_unreadable_or_malformed_source_is_one_line(tmp_path, capsys):
    (tmp_path / "bad.srf").write_text("2.0\nPOINTS 2\n1 2 3\n")
    for path in (tmp_path / "bad.srf", tmp_path / "missing.srf"):
        status, _, err = run_command(["export", path, "--to", "sw4-hdf5"], capsys)
        assert status == 2 and str(path) in err and err.count("\n") == 1
