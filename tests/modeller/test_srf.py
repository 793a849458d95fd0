"""Standard Rupture Format, versions 1.0 and 2.0: the writer's layout read line by line as
the format describes it, round trips through the package's reader, and the reader on
files of other writers (several planes and POINTS blocks, comments, all three slip
components) and on files it must refuse."""

import io
import math

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from kinematic_rupture import Fault, RuptureSettings, build_rupture
from kinematic_rupture.srf import SrfError, parse_srf, srf_duration_s, srf_moment_nm, write_srf

FAULT = Fault.single(length_km=5.0, width_km=3.0, cell_km=0.25, lon=140.25, lat=36.5,
                     strike_deg=30.0, dip_deg=45.0, rake_deg=90.0, top_depth_km=2.0)
SETTINGS = RuptureSettings(magnitude=5.6, seed=3, dt_s=0.02, hypocentre_km=(2.1, 1.7))


@pytest.fixture(scope="module")
def rupture():
    return build_rupture(FAULT, SETTINGS)


def text_of(rupture, version, comments=()):
    stream = io.StringIO()
    write_srf(stream, rupture, version, comments)
    return stream.getvalue()


@pytest.mark.parametrize("version, point_fields", [("1.0", 8), ("2.0", 10)])
def test_the_layout_is_the_formats_line_by_line(rupture, version, point_fields):
    lines = text_of(rupture, version, ["first comment", "second"]).splitlines()
    assert lines[:3] == [version, "# first comment", "# second"]
    assert lines[3] == "PLANE 1"
    elon, elat, nstk, ndip, length, width = lines[4].split()
    assert (float(elon), float(elat), int(nstk), int(ndip), float(length), float(width)) == (
        140.25, 36.5, 20, 12, 5.0, 3.0)
    stk, dip, dtop, shyp, dhyp = map(float, lines[5].split())
    assert (stk, dip, dtop) == (30.0, 45.0, 2.0)
    assert shyp == pytest.approx(2.1 - 2.5) and dhyp == pytest.approx(1.7)
    assert lines[6] == "POINTS 240"
    at, points = 7, 0
    while at < len(lines):
        point, slip = lines[at].split(), lines[at + 1].split()
        assert len(point) == point_fields and len(slip) == 7
        assert slip[3:] == ["0.0", "0", "0.0", "0"]
        samples = int(slip[2])
        rows = [lines[at + 2 + r].split() for r in range(math.ceil(samples / 6))]
        assert all(len(row) == 6 for row in rows[:-1])
        assert sum(map(len, rows)) == samples
        at += 2 + len(rows)
        points += 1
    assert points == 240


@pytest.mark.parametrize("version", ["1.0", "2.0"])
def test_a_file_reads_back_as_the_rupture_it_was_written_from(rupture, version):
    srf = parse_srf(text_of(rupture, version, ["a comment"]))
    points = srf.points
    assert srf.version == version and srf.comments == ["a comment"]
    (plane,) = srf.planes
    assert (plane.nstk, plane.ndip, plane.length_km, plane.width_km) == (20, 12, 5.0, 3.0)
    lon, lat = FAULT.positions()
    np.testing.assert_allclose(points.lon, lon, atol=6e-7)
    np.testing.assert_allclose(points.lat, lat, atol=6e-7)
    np.testing.assert_allclose(points.depth_km, rupture.depth_km, atol=6e-7)
    np.testing.assert_allclose(points.tinit_s, rupture.start_time_s, atol=6e-7)
    np.testing.assert_allclose(points.slip_cm[0], rupture.slip_m * 100, rtol=1e-6)
    assert np.all(points.slip_cm[1] == 0) and np.all(points.slip_cm[2] == 0)
    np.testing.assert_allclose(points.rake_deg, rupture.rake_deg, atol=5e-3)
    assert np.all(points.area_cm2 == pytest.approx(0.25e5**2)) and np.all(points.dt_s == 0.02)
    assert np.array_equal(points.offsets[0], rupture.offsets)
    np.testing.assert_allclose(points.rates[0], rupture.samples * 100, rtol=6e-6)
    assert points.offsets[1][-1] == points.offsets[2][-1] == 0
    if version == "2.0":
        np.testing.assert_allclose(points.vs_cm_s, rupture.vs_km_s * 1e5, rtol=1e-6)
        np.testing.assert_allclose(points.density_g_cm3, rupture.density_g_cm3, rtol=1e-6)
        rigidity = points.density_g_cm3 * 1e3 * (points.vs_cm_s / 100) ** 2
        assert srf_moment_nm(srf, rigidity) == pytest.approx(rupture.moment_nm, rel=1e-5)
    else:
        assert np.all(np.isnan(points.vs_cm_s)) and np.all(np.isnan(points.density_g_cm3))
    assert srf_duration_s(srf) == pytest.approx(rupture.duration_s, abs=1e-6)


def test_each_point_slips_as_much_as_its_samples_say(rupture):
    points = parse_srf(text_of(rupture, "2.0")).points
    offsets, rates = points.offsets[0], points.rates[0]
    sums = np.array([rates[offsets[k]:offsets[k + 1]].sum() for k in range(len(points))])
    np.testing.assert_allclose(sums * points.dt_s, points.slip_cm[0], rtol=1e-5, atol=1e-6)
    assert np.array_equal(np.diff(offsets) == 0, points.slip_cm[0] == 0)


OTHER_WRITER = """2.0
# a file of another writer: two planes, two POINTS blocks, comments between blocks
PLANE 2
  -118.0 34.0 2 1 2.0 1.0
  90 60 1.5 -0.5 0.5
  -117.9 34.0 1 1 1.0 1.0
  120 60 1.5 0.0 0.5
# points follow
POINTS 2
-118.005 34.0 1.93 90 60 1e10 0.0 0.1 300000 2.7
45 10.0 2 5.0 3 0.0 0
50.0 50.0
20.0 20.0 10.0
-117.995 34.0 1.93 90 60 1e10 0.5 0.1 300000 2.7
45 0.0 0 0.0 0 0.0 0
POINTS 1
-117.9 34.0 1.93 120 60 1e10 1.0 0.05 320000 2.8
30 4.0 4 0.0 0 2.0 1
10 30 30 10
40
"""


def test_several_blocks_comments_and_every_component_are_read():
    srf = parse_srf(OTHER_WRITER)
    points = srf.points
    assert len(srf.planes) == 2 and len(points) == 3
    assert points.block.tolist() == [0, 0, 1]
    assert [c.tolist() for c in points.offsets] == [[0, 2, 2, 6], [0, 3, 3, 3], [0, 0, 0, 1]]
    assert points.rates[0].tolist() == [50.0, 50.0, 10, 30, 30, 10]
    assert points.rates[1].tolist() == [20.0, 20.0, 10.0] and points.rates[2].tolist() == [40]
    np.testing.assert_allclose(points.total_slip_cm(), [math.hypot(10, 5), 0, math.hypot(4, 2)])
    assert points.rise_time_s().tolist() == pytest.approx([0.3, 0.0, 0.2])
    assert srf.comments[1] == "points follow"
    rigidity = np.full(3, 3e10)
    expected = 3e10 * 1e6 * (math.hypot(10, 5) + math.hypot(4, 2)) / 100
    assert srf_moment_nm(srf, rigidity) == pytest.approx(expected)


@pytest.mark.parametrize("text, phrase", [
    ("", "is empty"),
    ("3.0\nPOINTS 0\n", "not a version"),
    ("2.0\nPLANE 1\n1 2 3\n", "two lines of 6 and 5 values"),
    ("2.0\n", "has no POINTS block"),
    ("2.0\nPOINTS x\n", "where a 'POINTS NP' line belongs"),
    ("1.0\nPOINTS 2\n0 0 1 0 90 1 0 0.1\n0 1 1 0 0 0 0\n1\n",
     "line 2: POINTS 2 declares more points than its 16 values hold"),
    ("1.0\nPOINTS 2\n0 0 1 0 90 1 0 0.1\n0 1 1 0 0 0 0\n1\n0 0 1 0 90 1 0 0.1\n0 1 2 0 0 0 0\n",
     "line 6: point 2 of POINTS block 1 declares 2 slip-rate samples; its block holds 0 more"),
    ("1.0\nPOINTS 1\n0 0 1 0 90 1 0 0.1\n0 1 2.5 0 0 0 0\n1 1\n", "not whole numbers"),
    ("1.0\nPOINTS 1\n0 0 1 0 90 1 0 0.1\n0 1 1 0 0 0 0\n1 2\n", "values more than"),
    ("1.0\nPOINTS 1\n0 0 1 0 90 one 0 0.1\n0 1 1 0 0 0 0\n1\n", "'one', not a number"),
])
def test_files_that_are_not_srf_are_refused_saying_where(text, phrase):
    with pytest.raises(SrfError, match=phrase.replace("(", r"\(")):
        parse_srf(text)


def without_last_line(text):
    return "".join(text.splitlines(keepends=True)[:-1])


def replaced(line, column, value):
    """The file with one value of one line replaced."""
    def change(text):
        lines = text.splitlines(keepends=True)
        words = lines[line - 1].split()
        words[column] = value
        lines[line - 1] = " ".join(words) + "\n"
        return "".join(lines)
    return change


# A point of the one-plane file: line 6 is POINTS, 7 and 8 its first point's lines (version 2.0).
DAMAGED = [
    (without_last_line, r"line \d+: point 240 of POINTS block 1 declares \d+ slip-rate samples; "
                        r"its block holds \d+ more values"),
    (replaced(8, 1, "nan"), r"line 8: holds nan, not a finite number"),
    (replaced(7, 6, "inf"), r"line 7: holds inf, not a finite number"),
    (replaced(7, 6, "1e400"), r"line 7: holds 1e400, not a finite number"),
    (replaced(8, 1, "1e300"), r"line 7: point 1 of POINTS block 1 has SLIP1 1e\+300; it must be "
                              r"from -100000 to 100000"),
    (replaced(7, 1, "95"), r"line 7: point 1 of POINTS block 1 has LAT 95"),
    (replaced(7, 8, "1e300"), r"line 7: point 1 of POINTS block 1 has VS 1e\+300"),
    (replaced(9, 2, "1e300"), r"line 9: point 1 of POINTS block 1 has a slip rate of 1e\+300 cm/s"),
    (replaced(4, 4, "1e300"), r"line 5: plane 1 of the PLANE block has LEN 1e\+300"),
    (replaced(6, 1, "1000000000000"), r"line 6: POINTS 1000000000000 declares more points than"),
    (replaced(8, 2, "1000000000"), r"line 7: point 1 of POINTS block 1 declares 1,000,000,000 "
                                   r"slip-rate samples"),
    (lambda text: text.replace("PLANE 1\n", "# " + "x" * (1 << 20) + "\nPLANE 1\n"),
     r"line 4: is longer than 1 MiB"),
    (lambda text: text.replace("PLANE 1", "PLANE 1 \u00e9"), r"line 3: holds characters that are not ASCII"),
]


@pytest.mark.parametrize("damage, message", DAMAGED, ids=[case[1][:40] for case in DAMAGED])
def test_a_damaged_file_is_refused_naming_its_line(rupture, damage, message):
    text = text_of(rupture, "2.0", ["a comment"])
    assert text.splitlines()[5] == "POINTS 240" and text.splitlines()[8].split()[0] == "0.00000e+00"
    with pytest.raises(SrfError, match=f"^{message}"):
        parse_srf(damage(text))


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(cut=st.floats(0.0, 1.0), token=st.sampled_from(["", "x", "-1", "1e309", "2.5", "PLANE 2",
                                                        "POINTS 3", "# note", "\u00e9", "1" * 30]),
       where=st.floats(0.0, 1.0))
def test_any_damage_is_a_refusal_or_a_file(rupture, cut, token, where):
    """A copy cut short anywhere, or with any word replaced, reads or is refused as not
    SRF: never another exception."""
    text = text_of(rupture, "2.0", ["a comment"])
    words = text.split(" ")
    at = int(where * (len(words) - 1))
    for damaged in (text[:int(cut * len(text))], " ".join([*words[:at], token, *words[at + 1:]])):
        try:
            parse_srf(damaged)
        except SrfError:
            pass


def test_a_file_is_read_the_same_however_its_lines_fall_into_chunks(rupture, monkeypatch):
    from kinematic_rupture import srf_reader
    text = text_of(rupture, "2.0", ["a comment", "# another"]).replace("POINTS", "# between\nPOINTS")
    whole = parse_srf(text)
    for chunk in (7, 100, 4096):
        monkeypatch.setattr(srf_reader, "CHUNK_BYTES", chunk)
        again = parse_srf(text)
        assert again.comments == whole.comments and again.planes == whole.planes
        for name in ("lon", "tinit_s", "block"):
            np.testing.assert_array_equal(getattr(again.points, name), getattr(whole.points, name))
        for name in ("slip_cm", "offsets", "rates"):
            for mine, theirs in zip(getattr(again.points, name), getattr(whole.points, name)):
                np.testing.assert_array_equal(mine, theirs)


def test_a_multi_plane_file_of_another_writer_has_a_duration_and_moment_rate():
    from kinematic_rupture.srf import srf_moment_rate
    srf = parse_srf(OTHER_WRITER)
    dt, rate = srf_moment_rate(srf, np.full(3, 3e10))
    assert dt == 0.05
    moment = 3e10 * 1e6 * (10.0 + 5.0 + 4.0 + 2.0) / 100  # components summed as collinear
    assert rate.sum() * dt == pytest.approx(moment)
    assert srf_duration_s(srf) == pytest.approx(1.2)



def test_a_files_spectrum_is_its_rows_and_holds_the_moment_at_zero():
    # Read back, a written rupture's spectrum is the rows' own; a file of several DTs is
    # summed on the finest, whose Nyquist frequency the spectrum stops at.
    from kinematic_rupture.moment import moment_spectrum
    from kinematic_rupture.srf import srf_moment_spectrum, srf_rigidity_pa
    rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
                            RuptureSettings(magnitude=5.5, seed=3))
    text = io.StringIO()
    rupture.write_srf(text)
    srf = parse_srf(text.getvalue())
    frequency, amplitude = srf_moment_spectrum(srf, srf_rigidity_pa(srf.points))
    mine_f, mine_a = moment_spectrum(rupture.start_time_s, rupture.offsets, rupture.samples,
                                     rupture.rigidity_pa * rupture.fault.cell_area_m2,
                                     rupture.dt_s)
    np.testing.assert_array_equal(frequency, mine_f)
    assert frequency[-1] == pytest.approx(0.5 / rupture.dt_s)
    np.testing.assert_allclose(amplitude, mine_a, rtol=1e-4, atol=1e-5 * mine_a[0])
    assert amplitude[0] == pytest.approx(rupture.moment_nm, rel=1e-5)
    other = parse_srf(OTHER_WRITER)
    frequency, amplitude = srf_moment_spectrum(other, np.full(3, 3e10))
    assert frequency[-1] <= 10.0 < frequency[-1] + frequency[1]
    assert amplitude[0] == pytest.approx(3e10 * 1e6 * 21.0 / 100)

def test_a_point_slips_from_its_first_non_zero_sample_to_the_end_of_its_last():
    srf = parse_srf("1.0\nPOINTS 3\n"
                    "0 0 1 0 90 1 2.0 0.1\n0 1 5 0 0 0 0\n0 5 5 0 0\n"  # slips 0.1 to 0.3 s after 2 s
                    "0 0 1 0 90 1 9.0 0.1\n0 0 3 0 0 0 0\n0 0 0\n"  # never slips
                    "0 0 1 0 90 1 1.0 0.1\n0 1 2 0.5 1 0 0\n0 10\n5\n")  # 1.0 to 1.2 s
    np.testing.assert_allclose(srf.points.rise_time_s(), [0.2, 0.0, 0.2])
    assert srf_duration_s(srf) == pytest.approx(2.3)


@pytest.mark.parametrize("dt, message", [
    ("0", "point 1 of POINTS block 1 has DT 0 s; a point with slip-rate samples needs a positive"),
    ("-0.1", "point 1 of POINTS block 1 has DT -0.1; it must be from 0 to 10"),
    ("nan", "holds nan, not a finite number"),
])
def test_a_point_with_samples_needs_a_positive_sample_interval(dt, message):
    text = f"1.0\nPOINTS 1\n0 0 1 0 90 1 0 {dt}\n0 1 1 0 0 0 0\n10\n"
    with pytest.raises(SrfError, match=f"^line 3: {message}"):
        parse_srf(text)
