"""Faults of several planes, from a file: a surface trace (plain text or GeoJSON) or an
explicit list of planes (JSON).

A trace in plain text lists the vertices in order along strike, one "lon lat" pair a line
(degrees; the fault dips to the right of that direction), and may give the segments' dip,
width, top depth and rake as "name value" lines, one value for every segment or one
value per segment; everything after a '#' is a comment:

    # a bent strike-slip fault
    dip_deg 90
    width_km 15
    -117.50 34.20
    -117.69 34.29
    -117.85 34.43

A GeoJSON file holds a LineString (bare, or as a Feature or the first Feature of a
FeatureCollection) whose properties may give the same names, each a number or a list
with one number per segment. A JSON file with "planes" lists each plane's length_km, lon,
lat (the centre of its top edge) and strike_deg, and its width_km, dip_deg, rake_deg and
top_depth_km unless the defaults given for them are to do, and may give "cell_km", as the
sidecar of every rupture does.

Each value is checked as it is read: a refusal names the file, the line or key, and the
value.
"""

import json
import math
import os
from typing import Any

from .checks import SettingError, input_text, quote
from .geometry import Plane, planes_from_trace, smallest_cell

__all__ = ["read_fault"]

SEGMENT_SETTINGS = ("dip_deg", "width_km", "top_depth_km", "rake_deg")
# What a plane of a JSON list must give; the segment settings it may leave out.
PLANE_SETTINGS = ("length_km", "lon", "lat", "strike_deg")


def read_fault(path: str | os.PathLike[str], cell_km: float = 0.1,
               defaults: dict[str, float] | None = None) -> tuple[tuple[Plane, ...], float | None]:
    """The planes a fault file describes: a text or GeoJSON trace, or a JSON list of planes.

    Parameters
    ----------
    path : str or os.PathLike
        The file: a regular file of at most 16 MiB (see the module's description).
    cell_km : float
        The cell size the fault will have, km: a trace's segments are whole numbers of
        cells.
    defaults : dict of str to float, optional
        What the file leaves out, by name: ``dip_deg``, ``width_km``, ``top_depth_km``,
        ``rake_deg`` (degrees, km); by default a `Plane`'s defaults.

    Returns
    -------
    planes : tuple of Plane
        For ``Fault(planes, cell)``.
    cell : float or None
        The cell size the file gives (a JSON list of planes may), km, or None.

    Raises
    ------
    SettingError
        A file that cannot be read or is not a fault, named as ``fault`` with the line or
        key and the value.

    Examples
    --------
    >>> from kinematic_rupture import Fault, read_fault
    >>> planes, cell = read_fault("bent.txt", cell_km=0.5)  # doctest: +SKIP
    >>> fault = Fault(planes, cell or 0.5)  # doctest: +SKIP
    """
    if defaults is None:
        defaults = {name: getattr(Plane(), name) for name in SEGMENT_SETTINGS}
    source = os.fspath(path)
    text = input_text(path, "fault")
    try:
        if text.lstrip().startswith(("{", "[")):
            return from_json(json.loads(text), cell_km, defaults)
        return from_text(text, cell_km, defaults)
    except json.JSONDecodeError as failure:
        raise SettingError("fault", source, f"is not JSON (line {failure.lineno}: {failure.msg})") from None
    except RecursionError:
        raise SettingError("fault", source, "is JSON nested too deeply to be a fault") from None
    except SettingError as refusal:
        if refusal.setting == "fault":
            raise SettingError("fault", source, refusal.requirement) from None
        raise SettingError("fault", source, refusal.sentence(refusal.setting)) from None


def from_text(text: str, cell_km: float,
              defaults: dict[str, float]) -> tuple[tuple[Plane, ...], float | None]:
    vertices: list[tuple[float, float]] = []
    values: dict[str, Any] = {}
    for number, line in enumerate(text.splitlines(), start=1):
        words = line.split("#", 1)[0].split()
        if not words:
            continue
        if words[0] in SEGMENT_SETTINGS or words[0] == "cell_km":
            values[words[0]] = numbers(words[1:], number)
            if not values[words[0]] or (words[0] == "cell_km" and len(words) != 2):
                raise SettingError("fault", "", f"line {number}: {words[0]} needs "
                                   f"{'one value' if words[0] == 'cell_km' else 'values'}")
        else:
            pair = numbers(words, number)
            if len(pair) != 2:
                raise SettingError("fault", "", f"line {number} must be 'lon lat' or 'name value'")
            vertices.append((pair[0], pair[1]))
    cell = positive_cell(values.pop("cell_km", [None])[0])
    settings = {name: value[0] if len(value) == 1 else value for name, value in values.items()}
    return planes_from_trace(vertices, cell or cell_km, **{**defaults, **settings}), cell


def numbers(words: list[str], line: int) -> list[float]:
    try:
        return [float(word) for word in words]
    except ValueError:
        raise SettingError("fault", "", f"line {line} holds something that is not a number") from None


def positive_cell(cell: float | None) -> float | None:
    if cell is not None and not cell > 0:
        raise SettingError("fault", "", f"cell_km is {quote(cell)}; a cell size must be positive")
    return None if cell is None else smallest_cell(cell)


def shown(value: Any) -> str:
    """A JSON value as the file writes it, cut short."""
    text = json.dumps(value)
    return text if len(text) <= 40 else text[:37] + "..."


def json_number(where: str, value: Any) -> float:
    """A finite number of a JSON file, or a refusal naming `where` it is."""
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise SettingError("fault", "", f"{where} is {shown(value)}, not a finite number")
    return float(value)


def segment_values(properties: dict[str, Any]) -> dict[str, float | list[float]]:
    """The segment settings of a GeoJSON LineString's properties: a number each, or a list
    of one number per segment."""
    values: dict[str, float | list[float]] = {}
    for name in SEGMENT_SETTINGS:
        if name not in properties:
            continue
        value = properties[name]
        if isinstance(value, list):
            values[name] = [json_number(f"property {name}", item) for item in value]
        else:
            values[name] = json_number(f"property {name}", value)
    return values


def from_json(document: Any, cell_km: float,
              defaults: dict[str, float]) -> tuple[tuple[Plane, ...], float | None]:
    if not isinstance(document, dict):
        raise SettingError("fault", "", "must hold a JSON object")
    cell = positive_cell(json_number("cell_km", document["cell_km"])) if "cell_km" in document else None
    if "planes" in document:
        return json_planes(document["planes"], defaults), cell
    line = line_string(document)
    properties = line.get("properties")
    if properties is None:
        properties = {}
    if not isinstance(properties, dict):
        raise SettingError("fault", "", f"properties is {shown(properties)}, not an object")
    return planes_from_trace(coordinates(line["geometry"]), cell or cell_km,
                             **{**defaults, **segment_values(properties)}), cell


def json_planes(planes: Any, defaults: dict[str, float]) -> tuple[Plane, ...]:
    """The planes of a JSON list, each with what it leaves out of SEGMENT_SETTINGS from
    `defaults`."""
    if not isinstance(planes, list) or not planes:
        raise SettingError("fault", "", f"'planes' is {shown(planes)}, not a list of planes")
    made = []
    for number, plane in enumerate(planes, start=1):
        if not isinstance(plane, dict):
            raise SettingError("fault", "", f"plane {number} is {shown(plane)}, not an object")
        unknown = sorted(set(plane) - set(PLANE_SETTINGS) - set(SEGMENT_SETTINGS))
        missing = [name for name in PLANE_SETTINGS if name not in plane]
        if unknown or missing:
            raise SettingError("fault", "", f"plane {number} "
                               + (f"has unknown keys {', '.join(unknown)}" if unknown
                                  else f"gives no {', '.join(missing)}")
                               + f"; a plane gives {', '.join(PLANE_SETTINGS)} and may give "
                               f"{', '.join(SEGMENT_SETTINGS)}")
        values = {name: json_number(f"plane {number}'s {name}", value)
                  for name, value in plane.items()}
        try:
            made.append(Plane(**{**{name: defaults[name] for name in SEGMENT_SETTINGS
                                    if name in defaults}, **values}))
        except SettingError as refusal:
            raise SettingError("fault", "", f"plane {number}: {refusal}") from None
    return tuple(made)


def coordinates(geometry: dict[str, Any]) -> list[tuple[float, float]]:
    """The vertices of a GeoJSON LineString: positions of two numbers (or three, with a
    height, which is ignored)."""
    vertices = geometry.get("coordinates")
    if not isinstance(vertices, list):
        raise SettingError("fault", "", f"the LineString's coordinates are {shown(vertices)}, "
                           f"not a list of positions")
    points = []
    for number, position in enumerate(vertices, start=1):
        if not isinstance(position, list) or len(position) not in (2, 3):
            raise SettingError("fault", "", f"position {number} of the LineString is "
                               f"{shown(position)}, not [lon, lat]")
        points.append((json_number(f"position {number}'s longitude", position[0]),
                       json_number(f"position {number}'s latitude", position[1])))
    return points


def line_string(document: dict[str, Any]) -> dict[str, Any]:
    """The Feature (with its properties) of a GeoJSON LineString."""
    kind = document.get("type")
    if kind == "FeatureCollection":
        features = document.get("features")
        if not isinstance(features, list) or not features or not isinstance(features[0], dict):
            raise SettingError("fault", "", f"the FeatureCollection's features are "
                               f"{shown(features)}, not a list of Features")
        return line_string(features[0])
    if kind == "LineString":
        return {"geometry": document, "properties": {}}
    geometry = document.get("geometry")
    if kind == "Feature" and isinstance(geometry, dict) and geometry.get("type") == "LineString":
        return document
    raise SettingError("fault", "", "must be a GeoJSON LineString (or a Feature of one), or "
                       "a JSON object with 'planes'")
