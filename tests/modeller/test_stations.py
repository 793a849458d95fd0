"""Station lists (text and GeoJSON) and their hostile pass; the default layout's distances;
the NGA-West2 distances of rupture_surface against hand-computed geometry."""

import io
import json
import math

import numpy as np
import pytest

from kinematic_rupture import Fault, RuptureSettings, build_rupture, parse_srf, stations, write_srf
from kinematic_rupture.checks import SettingError
from kinematic_rupture.rupture_surface import distances, surface_of


def surface_for(**plane):
    fault = Fault.single(cell_km=1.0, **plane)
    rupture = build_rupture(fault, RuptureSettings(magnitude=6.0, seed=1))
    text = io.StringIO()
    write_srf(text, rupture)
    return surface_of(parse_srf(text.getvalue()))


def test_text_and_geojson_lists(tmp_path):
    text = tmp_path / "stations.txt"
    text.write_text("# name lon lat\n\nPASA -118.171 34.148  # Pasadena\nS01\t190.5 -12.25\n")
    assert stations.read_stations(text) == [stations.Station("PASA", -118.171, 34.148),
                                            stations.Station("S01", -169.5, -12.25)]
    geojson = tmp_path / "stations.geojson"
    geojson.write_text(json.dumps({"type": "FeatureCollection", "features": [
        {"type": "Feature", "properties": {"name": "Ax"},
         "geometry": {"type": "Point", "coordinates": [-117.0, 34.0, 120.0]}}]}))
    assert stations.read_stations(geojson) == [stations.Station("Ax", -117.0, 34.0)]


def feature(name, coordinates, kind="Point"):
    return {"type": "Feature", "properties": {"name": name},
            "geometry": {"type": kind, "coordinates": coordinates}}


HOSTILE_TEXT = [
    ("A 1 2 3\n", "line 1 must be 'name lon lat'"),
    ("A one 2\n", "line 1: longitude and latitude must be numbers"),
    ("A nan 2\n", "line 1: longitude and latitude must be finite numbers"),
    ("A 1 inf\n", "line 1: longitude and latitude must be finite numbers"),
    ("A 1 90.5\n", "line 1: latitude 90.5 is not in [-90, 90]"),
    ("A 1 -91\n", "line 1: latitude -91 is not in [-90, 90]"),
    ("A 1e308 2\n", "line 1: longitude 1e+308 is not in [-360, 360]"),
    ("A -360.5 2\n", "line 1: longitude -360.5 is not in [-360, 360]"),
    ("A 1 2\nB 1 2\nA 3 4\n", "names station A twice"),
    ("A\"B 1 2\n", "line 1: a name must hold no blank, control character, '#' or quote"),
    (f"{'N' * 33} 1 2\n", "line 1: a name must be 1 to 32 characters long"),
    ("# nothing\n\n", "holds no station"),
]
HOSTILE_JSON = [
    ('{"type": "Feature"}', "must be a GeoJSON FeatureCollection of Point features"),
    ('{"type": "FeatureCollection", "features": 3}',
     "must be a GeoJSON FeatureCollection of Point features"),
    (json.dumps({"type": "FeatureCollection", "features": [feature("A", [[0, 0], [1, 1]], "LineString")]}),
     "feature 1 is not a Point feature"),
    (json.dumps({"type": "FeatureCollection", "features": [feature("A", [1])]}),
     "feature 1: coordinates must be [lon, lat]"),
    (json.dumps({"type": "FeatureCollection", "features": [feature(None, [1, 2])]}),
     "feature 1: its name must be text"),
    (json.dumps({"type": "FeatureCollection", "features": [feature("A", ["1", 2])]}),
     "feature 1: longitude and latitude must be finite numbers"),
    (json.dumps({"type": "FeatureCollection", "features": [feature("A", [1, 100])]}),
     "feature 1: latitude 100 is not in [-90, 90]"),
    (json.dumps({"type": "FeatureCollection", "features": [feature("A", [1e308, 0])]}),
     "feature 1: longitude 1e+308 is not in [-360, 360]"),
    ('{"type": "FeatureCollection", "features": [{"type": "Feature", "geometry": {"type": '
     '"Point", "coordinates": [1, 2]}, "properties": {"name": "A"}}, ', "is not JSON (line 1"),
    ('{"features": ' + "[" * 100_000 + "]" * 100_000 + "}", "is JSON nested too deeply"),
]


@pytest.mark.parametrize("content, message", HOSTILE_TEXT + HOSTILE_JSON)
def test_refusals(tmp_path, content, message):
    path = tmp_path / "stations"
    path.write_text(content)
    with pytest.raises(SettingError) as refusal:
        stations.read_stations(path)
    assert refusal.value.setting == "stations"
    assert message in refusal.value.requirement
    assert "\n" not in str(refusal.value)


def test_refusals_of_size_and_encoding(tmp_path, monkeypatch):
    huge = tmp_path / "huge.txt"
    with open(huge, "wb") as stream:
        stream.truncate(stations.MAX_FILE_BYTES + 1)
    with pytest.raises(SettingError, match="bytes; a station list may hold at most"):
        stations.read_stations(huge)
    binary = tmp_path / "binary.txt"
    binary.write_bytes(b"A 1 2\n\xff\xfe\n")
    with pytest.raises(SettingError, match="not UTF-8 text"):
        stations.read_stations(binary)
    with pytest.raises(SettingError, match="cannot be read"):
        stations.read_stations(tmp_path / "absent.txt")
    monkeypatch.setattr(stations, "MAX_STATIONS", 3)
    many = tmp_path / "many.txt"
    many.write_text("".join(f"S{k} 1 {k}\n" for k in range(4)))
    with pytest.raises(SettingError, match="holds more than 3 stations"):
        stations.read_stations(many)


@pytest.mark.parametrize("dip", [90.0, 35.0])
def test_default_stations_lie_at_their_distances(dip):
    surface = surface_for(length_km=20, width_km=10, dip_deg=dip, strike_deg=295, top_depth_km=2)
    laid = stations.default_stations(surface)
    assert len(laid) == 4 * len(stations.DEFAULT_DISTANCES_KM) == len({s.name for s in laid})
    where = distances(surface, *stations.station_arrays(laid))
    stated = np.array([float(station.name[1:]) for station in laid])
    assert where.rjb == pytest.approx(stated, rel=2e-3, abs=2e-3)
    side = np.array([station.name[0] for station in laid])
    # A is the side the fault dips to (Rx > 0), B the other; S and E lie off the ends.
    assert np.all(where.rx[side == "A"] > 0) and np.all(where.rx[side == "B"] < 0)
    assert where.ry0[(side == "S") | (side == "E")] == pytest.approx(stated[(side == "S") | (side == "E")], rel=2e-3)


def at(surface, x, y):
    lon, lat = surface.geographic(np.array([x], dtype=float), np.array([y], dtype=float))
    where = distances(surface, lon, lat)
    return where.rrup[0], where.rjb[0], where.rx[0], where.ry0[0]


@pytest.mark.parametrize("x, y, expected", [
    (5.0, 0.0, (5.0, 5.0, 5.0, 0.0)),                   # beside the trace, to the right of strike
    (-3.0, 14.0, (5.0, 5.0, -3.0, 4.0)),                # off the north end, on the left
    (0.0, -13.0, (3.0, 3.0, 0.0, 3.0)),                 # on the trace's line, off the south end
])
def test_distances_of_a_vertical_plane(x, y, expected):
    """Strike north, 20 km long from y = -10 to 10, 10 km wide from the surface."""
    surface = surface_for(length_km=20, width_km=10, dip_deg=90, strike_deg=0, top_depth_km=0,
                          rake_deg=180)
    assert at(surface, x, y) == pytest.approx(expected, abs=2e-3)


TAN30, COS30 = math.tan(math.radians(30)), math.cos(math.radians(30))


@pytest.mark.parametrize("x, y, expected", [
    # Above the plane (hanging wall): Rjb 0, Rrup to the plane z = 2 + x tan 30.
    (4.0, 0.0, ((2 + 4 * TAN30) * COS30, 0.0, 4.0, 0.0)),
    # Footwall: the nearest point is the top edge at depth 2.
    (-5.0, 0.0, (math.hypot(5.0, 2.0), 5.0, -5.0, 0.0)),
    # Hanging wall beyond the bottom edge's projection (x = 10 cos 30).
    (12.0, 0.0, ((2 + 12 * TAN30) * COS30, 12.0 - 10 * COS30, 12.0, 0.0)),
])
def test_distances_of_a_dipping_plane(x, y, expected):
    """Strike north, dip 30 to the east, top edge at 2 km, 10 km wide: Rx positive on the
    hanging wall."""
    surface = surface_for(length_km=20, width_km=10, dip_deg=30, strike_deg=0, top_depth_km=2,
                          rake_deg=90)
    assert at(surface, x, y) == pytest.approx(expected, abs=2e-3)
