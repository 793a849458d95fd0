"""Faults of several planes: planes from a trace, charts unfolded across bends, rupture
times continuous across every junction, slip continuous where planes are unfolded, moment
shared over all planes, several planes in SRF files, and the fault files and options."""

import json
import math

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic

from conftest import run_command
from kinematic_rupture import Fault, LayeredModel, Plane, RuptureSettings, build_rupture, read_srf
from kinematic_rupture.charts import fault_charts
from kinematic_rupture.geometry import planes_from_trace
from kinematic_rupture.scaling import moment_nm
from kinematic_rupture.rupture import FRONT_CELL_KM

WGS84 = Geodesic.WGS84


def bent_trace(azimuths, length_km=6.0, start=(-117.5, 34.2)):
    """Vertices of a trace whose segments run `length_km` along each azimuth in turn."""
    lon, lat = start
    vertices = [(lon, lat)]
    for azimuth in azimuths:
        point = WGS84.Direct(lat, lon, azimuth, length_km * 1e3)
        lon, lat = point["lon2"], point["lat2"]
        vertices.append((lon, lat))
    return vertices


# A uniform crust and no perturbation of speed or time: fronts are distances over 2.4 km/s.
UNIFORM = RuptureSettings(magnitude=6.0, velocity_model=LayeredModel((0.0,), (5.2,), (3.0,), (2.7,)),
                          rupture_velocity_std=0.0, shallow_rupture_velocity_factor=1.0,
                          time_perturbation_intercept_s=0.0, time_perturbation_slope=0.0)
SPEED = 0.8 * 3.0


def test_a_trace_becomes_planes_edge_to_edge_along_its_bends():
    vertices = bent_trace([300.0, 320.0, 305.0], length_km=6.03)
    planes = planes_from_trace(vertices, 0.25, width_km=4.0)
    assert [plane.length_km for plane in planes] == [6.0, 6.0, 6.0]
    assert [round(plane.strike_deg) for plane in planes] == [300, 320, 305]
    for before, after in zip(planes, planes[1:]):
        end = WGS84.Direct(before.lat, before.lon, before.strike_deg, 3e3)
        start = WGS84.Direct(after.lat, after.lon, after.strike_deg + 180.0, 3e3)
        assert WGS84.Inverse(end["lat2"], end["lon2"], start["lat2"], start["lon2"])["s12"] < 1.0
    last = WGS84.Direct(planes[-1].lat, planes[-1].lon, planes[-1].strike_deg, 3e3)
    moved = WGS84.Inverse(last["lat2"], last["lon2"], vertices[-1][1], vertices[-1][0])["s12"]
    assert moved <= 3 * 0.5 * 250.0


@pytest.mark.parametrize("dips, charts", [((90.0, 90.0, 90.0), 1), ((90.0, 60.0, 60.0), 2),
                                          ((45.0, 60.0, 45.0), 3)])
def test_planes_that_share_dip_width_and_depth_are_unfolded_onto_one_chart(dips, charts):
    fault = Fault(planes_from_trace(bent_trace([300.0, 320.0, 305.0]), 0.5, dip_deg=list(dips),
                                    width_km=3.0), 0.5)
    found = fault_charts(fault)
    assert len(found) == charts
    assert sum(chart.shape[0] * chart.shape[1] for chart in found) == fault.subfault_count
    covered = np.concatenate([chart.index.ravel() for chart in found])
    assert np.array_equal(np.sort(covered), np.arange(fault.subfault_count))


def unfolded_distance(fault, hypocentre):
    """Straight-line distance on the unfolded chart from the hypocentre to every cell."""
    (chart,) = fault_charts(fault)
    rows, columns = chart.shape
    down = (np.arange(rows) + 0.5)[:, None] * fault.cell_km - hypocentre[1]
    along = (np.arange(columns) + 0.5)[None, :] * fault.cell_km - hypocentre[0]
    distance = np.empty(fault.subfault_count)
    chart.scatter(np.hypot(down, along), distance)
    return distance


def test_across_unfolded_bends_the_front_runs_the_straight_line_on_the_surface():
    fault = Fault(planes_from_trace(bent_trace([300.0, 325.0, 310.0]), 0.25, width_km=4.0), 0.25)
    hypocentre = (2.125, 2.625)  # a cell's centre: the front starts there at no offset
    rupture = build_rupture(fault, RuptureSettings(**{**UNIFORM.__dict__, "hypocentre_km": hypocentre}))
    expected = unfolded_distance(fault, hypocentre) / SPEED
    np.testing.assert_allclose(rupture.front_time_s, expected, atol=1e-9)


# Times compared at the same depth are interpolated between one side's rows; the
# interpolation of a curved front may add this fraction of a cell's travel time.
INTERPOLATION_SLACK = 0.05


def junction_jumps(rupture):
    """At every junction between charts, each edge row's front time on either side minus
    the other side's at the same depth, and one cell's travel time there (at the slower
    of the two sides' rupture speeds)."""
    fault = rupture.fault
    found = []
    for near in range(len(fault.planes) - 1):
        sides = [[fault.on_plane(values, plane)[:, column] for values in (
                     rupture.front_time_s, rupture.depth_km, rupture.rupture_velocity_km_s)]
                 for plane, column in ((near, -1), (near + 1, 0))]
        for (times_a, depth_a, speed_a), (times_b, depth_b, speed_b) in (sides, sides[::-1]):
            shared = (depth_b >= depth_a.min()) & (depth_b <= depth_a.max())
            jump = times_b[shared] - np.interp(depth_b[shared], depth_a, times_a)
            slower = np.minimum(speed_b[shared], np.interp(depth_b[shared], depth_a, speed_a))
            found.append((jump, fault.cell_km / slower))
    return found


def assert_continuous(rupture):
    for jump, one_cell in junction_jumps(rupture):
        assert jump.size >= 3
        assert np.all(np.abs(jump) <= (1.0 + INTERPOLATION_SLACK) * one_cell)


@pytest.mark.parametrize("dips, widths", [((90.0, 60.0, 75.0), (4.0, 4.0, 4.0)),
                                          ((90.0, 90.0, 90.0), (4.0, 3.0, 4.0))])
def test_rupture_times_are_continuous_across_every_junction(dips, widths):
    fault = Fault(planes_from_trace(bent_trace([300.0, 320.0, 305.0]), 0.25, dip_deg=list(dips),
                                    width_km=list(widths)), 0.25)
    assert len(fault_charts(fault)) == 3
    rupture = build_rupture(fault, RuptureSettings(**{**UNIFORM.__dict__, "hypocentre_km": (9.0, 2.0)}))
    assert_continuous(rupture)


@pytest.mark.parametrize("dips", [(45.0, 60.0), (60.0, 45.0)])
@pytest.mark.parametrize("hypocentre", [(20.25, 12.0), (19.75, 3.0), (20.0, 14.5), (22.0, 8.0),
                                        (5.0, 12.0), (36.0, 2.0)])
def test_rupture_times_are_continuous_across_wide_planes_of_different_dips(dips, hypocentre):
    # On the steeper plane the front reaches a depth by a shorter way along the fault:
    # that way must lower its neighbour's times too, near the junction and far from it.
    fault = Fault(planes_from_trace(bent_trace([300.0, 320.0], length_km=20.0), 0.5,
                                    dip_deg=list(dips), width_km=15.0), 0.5)
    rupture = build_rupture(fault, RuptureSettings(**{**UNIFORM.__dict__, "magnitude": 6.8,
                                                     "hypocentre_km": hypocentre}))
    assert_continuous(rupture)


def test_rupture_times_are_continuous_across_junctions_with_the_default_physics():
    fault = Fault(planes_from_trace(bent_trace([300.0, 318.0, 302.0], length_km=20.0), 0.5,
                                    dip_deg=[60.0, 45.0, 70.0], width_km=15.0), 0.5)
    for seed in (1, 2, 3):
        assert_continuous(build_rupture(fault, RuptureSettings(magnitude=7.0, seed=seed)))


def test_slip_is_continuous_across_unfolded_junctions_and_the_moment_is_shared():
    fault = Fault(planes_from_trace(bent_trace([300.0, 320.0, 305.0], length_km=10.0), 0.1,
                                    width_km=6.0), 0.1)
    rupture = build_rupture(fault, RuptureSettings(magnitude=6.5, seed=4))
    (chart,) = fault_charts(fault)
    log_slip = np.log(np.maximum(chart.gather(rupture.slip_m), 1e-3))
    steps = np.abs(np.diff(log_slip, axis=1)).mean(axis=0)
    junctions = [start - 1 for start in chart.starts[1:]]
    assert np.all(steps[junctions] < 3 * np.median(steps))
    assert rupture.moment_nm == pytest.approx(moment_nm(6.5), rel=1e-12)
    per_plane = [float((fault.on_plane(rupture.slip_m * rupture.rigidity_pa, n)).sum())
                 * fault.cell_area_m2 for n in range(3)]
    assert all(share > 0.1 * rupture.moment_nm for share in per_plane)


def test_several_planes_are_written_and_read_as_several_blocks(tmp_path, capsys):
    trace = tmp_path / "bent.txt"
    vertices = bent_trace([300.0, 320.0, 305.0])
    trace.write_text("# bent\ndip_deg 90 75 75\nwidth_km 4\n"
                     + "".join(f"{lon:.6f} {lat:.6f}\n" for lon, lat in vertices))
    for version in ("1.0", "2.0"):
        status, out, err = run_command(["run", "--fault", trace, "--cell-km", "0.5",
                                        "--magnitude", "6.2", "--srf-version", version,
                                        "--no-figure", "--srf", tmp_path / f"v{version}.srf"], capsys)
        assert status == 0, err
        assert "3 planes" in out and "unfolded onto 2 charts" in out
        srf = read_srf(tmp_path / f"v{version}.srf")
        assert [round(plane.strike_deg) for plane in srf.planes] == [300, 320, 305]
        assert [plane.dip_deg for plane in srf.planes] == [90.0, 75.0, 75.0]
        counts = np.bincount(srf.points.block)
        assert counts.tolist() == [plane.nstk * plane.ndip for plane in srf.planes]
        for block, plane in enumerate(srf.planes):
            inside = srf.points.block == block
            turn = (srf.points.strike_deg[inside] - plane.strike_deg + 180.0) % 360.0 - 180.0
            assert np.all(np.abs(turn) < 0.05)  # each point's own, near its plane's
            assert np.all(srf.points.dip_deg[inside] == plane.dip_deg)
    status, out, _ = run_command(["inspect", tmp_path / "v2.0.srf"], capsys)
    assert status == 0 and out.count("\nplane ") == 3 and "in 3 POINTS blocks" in out
    regenerated = tmp_path / "again.srf"
    status, _, _ = run_command(["run", "--settings", tmp_path / "v2.0.json", "--no-figure",
                                "--srf", regenerated], capsys)
    assert status == 0 and regenerated.read_bytes() == (tmp_path / "v2.0.srf").read_bytes()


def geojson(vertices, properties):
    return json.dumps({"type": "Feature", "properties": properties,
                       "geometry": {"type": "LineString", "coordinates": vertices}})


@pytest.mark.parametrize("suffix, content", [
    ("txt", lambda v: "width_km 4\n" + "".join(f"{lon} {lat}\n" for lon, lat in v)),
    ("geojson", lambda v: geojson(v, {"width_km": 4})),
    ("json", lambda v: json.dumps({"type": "FeatureCollection", "features": [
        json.loads(geojson(v, {"width_km": [4, 4, 4]}))]})),
])
def test_a_trace_file_text_or_geojson_or_the_options_give_the_same_fault(suffix, content, tmp_path,
                                                                        capsys):
    vertices = bent_trace([300.0, 320.0, 305.0])
    path = tmp_path / f"fault.{suffix}"
    path.write_text(content(vertices))
    from_file = run_command(["run", "--fault", path, "--cell-km", "0.5", "--magnitude", "6",
                             "--no-figure", "--srf", tmp_path / "file.srf"], capsys)
    traced = run_command(["run", "--trace", " ".join(f"{lon},{lat}" for lon, lat in vertices),
                          "--width-km", "4", "--cell-km", "0.5", "--magnitude", "6",
                          "--no-figure", "--srf", tmp_path / "trace.srf"], capsys)
    assert from_file[0] == traced[0] == 0
    assert read_srf(tmp_path / "file.srf").planes == read_srf(tmp_path / "trace.srf").planes


def test_a_list_of_planes_is_taken_as_it_is(tmp_path, capsys):
    planes = [Plane(length_km=6, width_km=4, lon=-117.5, lat=34.2, strike_deg=300, dip_deg=60),
              Plane(length_km=4, width_km=3, lon=-117.56, lat=34.23, strike_deg=310, dip_deg=40,
                    top_depth_km=1.0)]
    path = tmp_path / "planes.json"
    path.write_text(json.dumps({"cell_km": 0.5, "planes": [plane.__dict__ for plane in planes]}))
    status, out, err = run_command(["run", "--fault", path, "--magnitude", "6", "--no-figure",
                                    "--srf", tmp_path / "r.srf"], capsys)
    assert status == 0, err
    read = read_srf(tmp_path / "r.srf").planes
    assert [(p.length_km, p.width_km, p.dip_deg, p.top_depth_km) for p in read] == [
        (6, 4, 60, 0), (4, 3, 40, 1)]


@pytest.mark.parametrize("content, options, phrase", [
    ("-117.5 34.2\n", [], "at least two vertices"),
    ("-117.5 34.2\n-117.5 34.2001\n", [], "within half a cell"),
    ("dip_deg 90 60\n-117.5 34.2\n-117.6 34.25\n", [], "one for each of the 1 segments"),
    ("-117.5 34.2 1\n-117.6 34.25\n", [], "line 1 must be 'lon lat'"),
    ("dip_deg 120\n-117.5 34.2\n-117.6 34.25\n", [], "dip_deg 120: a dip must be in (0, 90]"),
    ("{\"planes\": [{\"colour\": 1}]}", [], "plane 1 has unknown keys colour"),
    ("{\"type\": \"Point\"}", [], "must be a GeoJSON LineString"),
    ("-117.5 34.2\n-117.6 34.25\n", ["--length-km", "10"], "takes its planes' places"),
])
def test_a_fault_file_that_cannot_be_is_refused_in_one_line(content, options, phrase, tmp_path,
                                                           capsys):
    path = tmp_path / "fault.txt"
    path.write_text(content)
    status, out, err = run_command(["run", "--fault", path, *options, "--srf", tmp_path / "r.srf"],
                                   capsys)
    assert status == 2 and out == "" and err.count("\n") == 1
    assert phrase in err
    assert not (tmp_path / "r.srf").exists()


def planes_apart(gap_km, top_depth_km=0.0):
    """Two planes along strike 300 whose facing top-edge ends lie `gap_km` apart on the
    surface, the second `top_depth_km` deeper and steeper."""
    first = Plane(length_km=6.0, width_km=4.0, lon=-117.5, lat=34.2, strike_deg=300.0, dip_deg=60.0)
    centre = WGS84.Direct(first.lat, first.lon, 300.0, (6.0 + gap_km) * 1e3)
    return Fault((first, Plane(length_km=6.0, width_km=4.0, lon=centre["lon2"], lat=centre["lat2"],
                               strike_deg=300.0, dip_deg=80.0, top_depth_km=top_depth_km)), 0.5)


@pytest.mark.parametrize("gap_km, top_depth_km, delay_s", [(58.0, 0.0, 0.0), (2.0, 3.0, 0.0),
                                                           (0.0, 10.0, 0.0), (2.0, 0.0, 1.5)])
def test_a_gap_costs_the_straight_way_across_it_at_the_rupture_speed(gap_km, top_depth_km,
                                                                       delay_s):
    fault = planes_apart(gap_km, top_depth_km)
    assert len(fault_charts(fault)) == 2
    # On cells the front is solved on, where the straight way is exact.
    fault = Fault(fault.planes, cell_km=FRONT_CELL_KM)
    rupture = build_rupture(fault, RuptureSettings(**{**UNIFORM.__dict__, "hypocentre_km": (2.0, 2.0),
                                                     "junction_delay_s": delay_s}))
    lon, lat = fault.positions()
    ends, starts = (fault.on_plane(np.arange(fault.subfault_count), n)[:, column]
                    for n, column in ((0, -1), (1, 0)))

    def apart_km(a, b):
        across = WGS84.Inverse(lat[a], lon[a], lat[b], lon[b])["s12"] / 1e3
        return math.hypot(across, rupture.depth_km[a] - rupture.depth_km[b])

    for start in starts:
        expected = min(rupture.front_time_s[end] + apart_km(start, end) / SPEED for end in ends)
        assert rupture.front_time_s[start] == pytest.approx(expected + delay_s, abs=1e-6)
    assert rupture.front_time_s[starts].min() >= gap_km / SPEED
    # On the 0.5 km cells the front is read from those cells at the coarse centres: the
    # same crossing, the gap included.
    coarse = Fault(fault.planes, cell_km=0.5)
    read = build_rupture(coarse, RuptureSettings(**{**UNIFORM.__dict__, "hypocentre_km": (2.0, 2.0),
                                                   "junction_delay_s": delay_s}))
    for number in range(2):
        np.testing.assert_array_equal(coarse.on_plane(read.front_time_s, number),
                                      fault.on_plane(rupture.front_time_s, number)[2::5, 2::5])


@pytest.mark.parametrize("delay", ["-1", "601", "inf", "nan", "1e308"])
def test_a_jump_delay_beyond_what_ruptures_last_is_refused_in_one_line(delay, tmp_path, capsys):
    status, out, err = run_command(["run", "--length-km", "4", "--width-km", "2", "--cell-km", "0.5",
                                    "--magnitude", "5.2", "--set", f"junction_delay_s={delay}",
                                    "--srf", tmp_path / "r.srf"], capsys)
    assert status == 2 and out == "" and err.count("\n") == 1
    assert err.startswith("kinematic-rupture run: --set junction_delay_s=")
    assert "[0, 600]" in err or "finite" in err
    assert not any(tmp_path.iterdir())


def test_a_gap_wider_than_ruptures_are_known_to_jump_is_warned_about(tmp_path, capsys):
    path = tmp_path / "planes.json"
    for gap_km, warned in ((58.0, True), (3.0, False)):
        fault = planes_apart(gap_km)
        path.write_text(json.dumps({"cell_km": 0.5, "planes": [p.__dict__ for p in fault.planes]}))
        status, out, err = run_command(["run", "--fault", path, "--magnitude", "6", "--no-figure",
                                        "--srf", tmp_path / "r.srf"], capsys)
        assert status == 0 and "unfolded onto 2 charts" in out
        lines = [line for line in err.splitlines() if "apart" in line]
        assert len(lines) == warned
        if warned:
            assert "nearest cells of planes 1 and 2 are 58.5 km apart" in lines[0] and "junction_delay_s" in lines[0]
            assert "about 5 km (Wesnousky 2006)" in lines[0]


def test_an_ensemble_takes_the_same_fault_description(tmp_path, capsys):
    vertices = bent_trace([300.0, 320.0, 305.0])
    trace = " ".join(f"{lon},{lat}" for lon, lat in vertices)
    status, out, err = run_command(["ensemble", "2", "--trace", trace, "--width-km", "3",
                                    "--cell-km", "0.5", "--magnitude", "6", "--workers", "1",
                                    "--output", tmp_path / "runs"], capsys)
    assert status == 0, err
    for seed in (1, 2):
        srf = read_srf(tmp_path / "runs" / f"rupture-{seed}.srf")
        assert [round(plane.strike_deg) for plane in srf.planes] == [300, 320, 305]
        assert len(np.unique(srf.points.block)) == 3
