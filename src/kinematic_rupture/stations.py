"""Stations for ground motion: read from a file, or laid out around the fault.

A station list in plain text holds one station a line: its name, longitude and latitude
(WGS84 degrees), separated by blanks; blank lines and everything after a '#' are ignored:

    # name  lon       lat
    PASA    -118.171  34.148
    S01     -117.80   34.05

A GeoJSON file (its first character '{') holds a FeatureCollection of Point features, each
with a "name" property and coordinates [lon, lat] (a third, elevation, is ignored).

Names are 1 to 32 characters, none of them blank, '#', a quote or a control character;
each name once. Longitudes in [-360, 360] are wrapped into [-180, 180); latitudes must be in
[-90, 90].
A list holds at most MAX_STATIONS stations, and a file at most MAX_FILE_BYTES.

Without a list, `default_stations` lays out 28 stations at DEFAULT_DISTANCES_KM (1, 2, 5,
10, 20, 50 and 100 km) from the surface projection of the fault (Rjb): a line across the
fault through the middle of its length, on the side it dips to (names A001 to A100, the
number being the distance in km; for a vertical fault, the side to the right of strike)
and on the other side (B001 to B100), and a line along the fault's axis off its start
(S001 to S100) and off its end (E001 to E100), through the middle of the surface
projection's width.
"""

import json
import math
import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .checks import MAX_LONGITUDE_DEG, SettingError
from .geometry import WGS84
from .rupture_surface import Surface

__all__ = ["Station", "read_stations", "default_stations", "station_arrays", "geodesics"]

FloatArray = npt.NDArray[np.float64]

MAX_STATIONS = 9_999  # codes S0001 to S9999 where the names are not SEED codes
MAX_FILE_BYTES = 16 * 1024 * 1024
MAX_NAME_LENGTH = 32
FORBIDDEN_IN_NAMES = "#\"'"
DEFAULT_DISTANCES_KM = (1.0, 2.0, 5.0, 10.0, 20.0, 50.0, 100.0)


@dataclass(frozen=True)
class Station:
    """A station on the free surface.

    Parameters
    ----------
    name : str
        Its name, 1 to 32 characters without blanks, '#', quotes or control characters.
    lon, lat : float
        Its position, WGS84 degrees; longitude in [-180, 180).
    """
    name: str
    lon: float
    lat: float


def name_problem(name: str) -> str | None:
    if not 1 <= len(name) <= MAX_NAME_LENGTH:
        return f"a name must be 1 to {MAX_NAME_LENGTH} characters long"
    if any(character.isspace() or not character.isprintable() or character in FORBIDDEN_IN_NAMES
           for character in name):
        return "a name must hold no blank, control character, '#' or quote"
    return None


def checked_station(name: object, lon: object, lat: object, where: str) -> Station:
    """A station from a file's values, or a refusal naming `where` in the file."""
    if not isinstance(name, str):
        raise SettingError("stations", "", f"{where}: its name must be text")
    problem = name_problem(name)
    if problem:
        raise SettingError("stations", "", f"{where}: {problem}")
    values = []
    for value in (lon, lat):
        if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
            raise SettingError("stations", "", f"{where}: longitude and latitude must be finite numbers")
        values.append(float(value))
    lon_value, lat_value = values
    if not -90.0 <= lat_value <= 90.0:
        raise SettingError("stations", "", f"{where}: latitude {lat_value:g} is not in [-90, 90]")
    if not -MAX_LONGITUDE_DEG <= lon_value <= MAX_LONGITUDE_DEG:
        raise SettingError("stations", "", f"{where}: longitude {lon_value:g} is not in "
                           f"[-{MAX_LONGITUDE_DEG:g}, {MAX_LONGITUDE_DEG:g}]")
    wrapped = (lon_value + 180.0) % 360.0 - 180.0
    return Station(name, wrapped, lat_value)


def read_stations(path: str | os.PathLike[str]) -> list[Station]:
    """The stations of a text or GeoJSON list (see the module's description).

    Parameters
    ----------
    path : str or os.PathLike
        The list: plain text, or GeoJSON when its first character is '{'.

    Returns
    -------
    list of Station
        In the file's order.

    Raises
    ------
    SettingError
        A file that cannot be read, is too large, or holds a bad line, feature, name,
        position or a name twice; named ``stations``, the message naming the line or feature.

    Examples
    --------
    >>> from pathlib import Path
    >>> _ = Path("stations.txt").write_text("PASA -118.171 34.148  # name lon lat")
    >>> read_stations("stations.txt")
    [Station(name='PASA', lon=-118.171, lat=34.148)]
    """
    source = os.fspath(path)
    try:
        size = Path(path).stat().st_size
        if size > MAX_FILE_BYTES:
            raise SettingError("stations", source, f"is {size:,} bytes; a station list may "
                               f"hold at most {MAX_FILE_BYTES:,}")
        text = Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as failure:
        reason = failure.strerror if isinstance(failure, OSError) else "not UTF-8 text"
        raise SettingError("stations", source, f"cannot be read ({reason})") from None
    try:
        stations = from_geojson(text) if text.lstrip().startswith("{") else from_text(text)
        return checked_list(stations)
    except SettingError as refusal:
        raise SettingError("stations", source, refusal.requirement) from None


def from_text(text: str) -> list[Station]:
    stations = []
    for number, line in enumerate(text.splitlines(), start=1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if len(words) != 3:
            raise SettingError("stations", "", f"line {number} must be 'name lon lat'")
        try:
            lon, lat = float(words[1]), float(words[2])
        except ValueError:
            raise SettingError("stations", "", f"line {number}: longitude and latitude must be "
                               f"numbers") from None
        stations.append(checked_station(words[0], lon, lat, f"line {number}"))
        if len(stations) > MAX_STATIONS:
            raise SettingError("stations", "", f"holds more than {MAX_STATIONS:,} stations")
    return stations


def from_geojson(text: str) -> list[Station]:
    try:
        document: Any = json.loads(text)
    except json.JSONDecodeError as failure:
        raise SettingError("stations", "", f"is not JSON (line {failure.lineno}: "
                           f"{failure.msg})") from None
    except RecursionError:
        raise SettingError("stations", "", "is JSON nested too deeply") from None
    features = document.get("features") if isinstance(document, dict) else None
    if not isinstance(document, dict) or document.get("type") != "FeatureCollection" \
            or not isinstance(features, list):
        raise SettingError("stations", "", "must be a GeoJSON FeatureCollection of Point features")
    if len(features) > MAX_STATIONS:
        raise SettingError("stations", "", f"holds more than {MAX_STATIONS:,} stations")
    stations = []
    for number, feature in enumerate(features, start=1):
        where = f"feature {number}"
        geometry = feature.get("geometry") if isinstance(feature, dict) else None
        if not isinstance(geometry, dict) or geometry.get("type") != "Point":
            raise SettingError("stations", "", f"{where} is not a Point feature")
        coordinates = geometry.get("coordinates")
        if not isinstance(coordinates, list) or len(coordinates) not in (2, 3):
            raise SettingError("stations", "", f"{where}: coordinates must be [lon, lat]")
        properties = feature.get("properties")
        name = properties.get("name") if isinstance(properties, dict) else None
        stations.append(checked_station(name, coordinates[0], coordinates[1], where))
    return stations


def checked_list(stations: list[Station]) -> list[Station]:
    if not stations:
        raise SettingError("stations", "", "holds no station")
    seen: set[str] = set()
    for station in stations:
        if station.name in seen:
            raise SettingError("stations", "", f"names station {station.name} twice")
        seen.add(station.name)
    return stations


def default_stations(surface: Surface) -> list[Station]:
    """28 stations at 1, 2, 5, 10, 20, 50 and 100 km (Rjb) from a fault: the line across it
    and the line along it (see the module's description).

    Parameters
    ----------
    surface : Surface
        The rupture's surface (`rupture_surface.surface_of`).

    Returns
    -------
    list of Station
        A001 to A100 on the side the fault dips to, B001 to B100 on the other, S001 to S100
        off its start and E001 to E100 off its end.
    """
    start, end = surface.trace()
    axis = (end - start)[:2]
    axis = axis / float(np.hypot(*axis))
    right = np.array([axis[1], -axis[0]])
    # Where the projection spans across the middle of the fault's length, and its width.
    middle = 0.5 * (start[:2] + end[:2])
    across = np.array([float((corner[:2] - middle) @ right)
                       for rect in surface.rectangles for corner in rect.corners])
    low, high = float(across.min()), float(across.max())
    centre = middle + 0.5 * (low + high) * right
    stations = []
    for distance in DEFAULT_DISTANCES_KM:
        label = f"{distance:03.0f}"
        places = {f"A{label}": middle + (high + distance) * right,
                  f"B{label}": middle + (low - distance) * right,
                  f"S{label}": centre + (float((start[:2] - centre) @ axis) - distance) * axis,
                  f"E{label}": centre + (float((end[:2] - centre) @ axis) + distance) * axis}
        for name, (x, y) in places.items():
            lon, lat = surface.geographic(np.array([x]), np.array([y]))
            stations.append(Station(name, float(lon[0]), float(lat[0])))
    order = "ABSE"
    return sorted(stations, key=lambda station: (order.index(station.name[0]), station.name))


def station_arrays(stations: list[Station]) -> tuple[FloatArray, FloatArray]:
    """The stations' positions as arrays.

    Parameters
    ----------
    stations : list of Station
        The stations.

    Returns
    -------
    tuple of numpy.ndarray
        (longitudes, latitudes), degrees.
    """
    return (np.array([station.lon for station in stations], dtype=np.float64),
            np.array([station.lat for station in stations], dtype=np.float64))


def geodesics(lon: FloatArray, lat: FloatArray, station_lon: FloatArray,
              station_lat: FloatArray) -> tuple[FloatArray, FloatArray]:
    """Distance and azimuth from each source position to each station, along WGS84 geodesics.

    Parameters
    ----------
    lon, lat : numpy.ndarray
        The sources' positions, degrees.
    station_lon, station_lat : numpy.ndarray
        The stations', degrees.

    Returns
    -------
    tuple of numpy.ndarray
        (distance, km; azimuth, degrees clockwise from north), each (sources, stations).
    """
    shape = (len(lon), len(station_lon))
    azimuth, _, metres = WGS84.inv(np.broadcast_to(lon[:, None], shape).ravel(),
                                   np.broadcast_to(lat[:, None], shape).ravel(),
                                   np.broadcast_to(station_lon[None, :], shape).ravel(),
                                   np.broadcast_to(station_lat[None, :], shape).ravel())
    return (np.asarray(metres, dtype=np.float64).reshape(shape) / 1e3,
            np.asarray(azimuth, dtype=np.float64).reshape(shape))
