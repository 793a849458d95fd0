"""Where the subfaults lie: every cell centre against GeographicLib's WGS84 geodesics
(an implementation independent of the one the package uses), and the plane's shape seen
from the points: spacing along strike and down dip, depths, the reference point, and the
strike each point carries."""

import math

import numpy as np
import pytest
from geographiclib.geodesic import Geodesic

from conftest import run_command
from kinematic_rupture import Fault, Plane, read_srf

WGS84 = Geodesic.WGS84


def expected_centre(plane, cell_km, row, column):
    """A cell centre by the placement rule: along strike from the top edge's centre, then
    horizontally towards the local strike plus 90 degrees by w cos(dip)."""
    along = (column + 0.5) * cell_km - plane.length_km / 2
    azimuth = plane.strike_deg if along >= 0 else plane.strike_deg + 180.0
    top = WGS84.Direct(plane.lat, plane.lon, azimuth, abs(along) * 1e3)
    strike_here = top["azi2"] if along >= 0 else top["azi2"] + 180.0
    across = (row + 0.5) * cell_km * math.cos(math.radians(plane.dip_deg)) * 1e3
    point = WGS84.Direct(top["lat2"], top["lon2"], strike_here + 90.0, across)
    return point["lon2"], point["lat2"]


PLANES = [
    Plane(length_km=8.0, width_km=4.0, lon=-117.5, lat=34.2, strike_deg=295.0, dip_deg=90.0),
    Plane(length_km=8.0, width_km=4.0, lon=140.2, lat=36.4, strike_deg=40.0, dip_deg=30.0,
          top_depth_km=2.0),
    Plane(length_km=30.0, width_km=10.0, lon=179.9, lat=-41.0, strike_deg=200.0, dip_deg=60.0),
    Plane(length_km=12.0, width_km=6.0, lon=10.0, lat=78.5, strike_deg=90.0, dip_deg=75.0),
]


@pytest.mark.parametrize("plane", PLANES, ids=lambda p: f"{p.lon},{p.lat},{p.strike_deg}")
def test_every_cell_centre_is_where_the_geodesics_put_it(plane):
    fault = Fault((plane,), 0.5)
    lon, lat = fault.positions()
    rows, columns = fault.cells()
    for k in range(rows * columns):
        row, column = divmod(k, columns)
        expected_lon, expected_lat = expected_centre(plane, 0.5, row, column)
        assert lat[k] == pytest.approx(expected_lat, abs=1e-9)
        assert (lon[k] - expected_lon + 180.0) % 360.0 - 180.0 == pytest.approx(0.0, abs=1e-9)


@pytest.mark.parametrize("plane", PLANES, ids=lambda p: f"{p.lon},{p.lat},{p.strike_deg}")
def test_the_points_make_the_plane(plane):
    cell = 0.5
    fault = Fault((plane,), cell)
    rows, columns = fault.cells()
    lon, lat = (values.reshape(rows, columns) for values in fault.positions())
    along = WGS84.Inverse(lat[0, 0], lon[0, 0], lat[0, 1], lon[0, 1])
    assert along["s12"] == pytest.approx(cell * 1e3, rel=1e-6)
    assert (along["azi1"] - plane.strike_deg + 180) % 360 - 180 == pytest.approx(0, abs=0.5)
    if plane.dip_deg < 90:
        down = WGS84.Inverse(lat[0, 3], lon[0, 3], lat[1, 3], lon[1, 3])
        assert down["s12"] == pytest.approx(cell * 1e3 * math.cos(math.radians(plane.dip_deg)),
                                            rel=1e-6)
        assert (down["azi1"] - plane.strike_deg - 90 + 180) % 360 - 180 == pytest.approx(0, abs=0.5)
    # The reference point is the centre of the top edge: halfway between the two central
    # top cells, half a cell up dip.
    middle = WGS84.Inverse(lat[0, columns // 2 - 1], lon[0, columns // 2 - 1],
                           lat[0, columns // 2], lon[0, columns // 2])
    halfway = WGS84.Direct(lat[0, columns // 2 - 1], lon[0, columns // 2 - 1], middle["azi1"],
                           middle["s12"] / 2)
    offset = WGS84.Inverse(plane.lat, plane.lon, halfway["lat2"], halfway["lon2"])["s12"]
    assert offset == pytest.approx(0.5 * cell * 1e3 * math.cos(math.radians(plane.dip_deg)),
                                   abs=1e-3)
    depths = fault.depths_km().reshape(rows, columns)
    np.testing.assert_allclose(depths[:, 0], plane.top_depth_km + (np.arange(rows) + 0.5)
                               * cell * math.sin(math.radians(plane.dip_deg)))
    assert np.all(depths == depths[:, :1])


def test_a_fault_of_several_planes_numbers_its_subfaults_plane_by_plane():
    first = Plane(length_km=2.0, width_km=1.0)
    second = Plane(length_km=3.0, width_km=2.0, lon=-117.48, strike_deg=300.0, dip_deg=60.0)
    fault = Fault((first, second), 0.5)
    assert fault.plane_starts() == [0, 8, 32] and fault.subfault_count == 32
    assert fault.length_km == 5.0
    values = np.arange(32.0)
    assert fault.on_plane(values, 1).shape == (4, 6)
    assert fault.on_plane(values, 1)[0, 0] == 8.0
    lon, _ = fault.positions()
    own_lon, _ = Fault((second,), 0.5).positions()
    assert np.array_equal(lon[8:], own_lon)


@pytest.mark.parametrize("version", ["1.0", "2.0"])
def test_every_point_carries_the_strike_of_the_geodesics_where_it_lies(version, tmp_path, capsys):
    # 400 km along strike the geodesic's azimuth turns by more than a degree: each point's
    # strike is the direction of its row where it lies, here from the centres of its two
    # neighbours along the row (GeographicLib), to the file's two decimals.
    plane = Plane(length_km=400.0, width_km=2.0, lon=-117.5, lat=34.2, strike_deg=295.0,
                  dip_deg=45.0, rake_deg=90.0)
    path = tmp_path / "long.srf"
    status, _, err = run_command(["run", "--length-km", "400", "--width-km", "2", "--cell-km", "0.5",
                                  "--lon", plane.lon, "--lat", plane.lat, "--strike", 295, "--dip", 45,
                                  "--rake", 90, "--magnitude", 7, "--seed", 1, "--no-figure",
                                  "--srf-version", version, "--srf", path], capsys)
    assert status == 0, err
    rows, columns = 4, 800
    strike = read_srf(path).points.strike_deg.reshape(rows, columns)
    turned = 0.0
    for row in range(rows):
        for column in range(1, columns - 1, 7):
            (lon_a, lat_a), (lon_b, lat_b) = (expected_centre(plane, 0.5, row, column + step)
                                              for step in (-1, 1))
            chord = WGS84.Inverse(lat_a, lon_a, lat_b, lon_b)
            middle = chord["azi1"] + 0.5 * ((chord["azi2"] - chord["azi1"] + 180.0) % 360.0 - 180.0)
            assert (strike[row, column] - middle + 180.0) % 360.0 - 180.0 == pytest.approx(0.0, abs=0.0051)
            turned = max(turned, abs((middle - plane.strike_deg + 180.0) % 360.0 - 180.0))
    assert turned > 1.0
