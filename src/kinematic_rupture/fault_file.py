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
with one number per segment. A JSON file with "planes" lists each plane's length_km,
width_km, lon, lat (the centre of its top edge), strike_deg, dip_deg, rake_deg and
top_depth_km, and may give "cell_km", as the sidecar of every rupture does.
"""

import json
import os
from pathlib import Path
from typing import Any

from .checks import SettingError
from .geometry import Plane, planes_from_trace

SEGMENT_SETTINGS = ("dip_deg", "width_km", "top_depth_km", "rake_deg")


def read_fault(path: str | os.PathLike[str], cell_km: float,
               defaults: dict[str, float]) -> tuple[tuple[Plane, ...], float | None]:
    """The planes a file describes, and the cell size it gives (None if it gives none).
    `defaults` gives what a trace file leaves out (dip, width, top depth, rake)."""
    source = os.fspath(path)
    try:
        text = Path(path).read_text()
    except (OSError, UnicodeDecodeError) as failure:
        reason = failure.strerror if isinstance(failure, OSError) else "not text"
        raise SettingError("fault", source, f"cannot be read ({reason})") from None
    try:
        if text.lstrip().startswith("{"):
            return from_json(json.loads(text), cell_km, defaults)
        return from_text(text, cell_km, defaults)
    except json.JSONDecodeError as failure:
        raise SettingError("fault", source, f"is not JSON (line {failure.lineno}: {failure.msg})") from None
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
        else:
            pair = numbers(words, number)
            if len(pair) != 2:
                raise SettingError("fault", "", f"line {number} must be 'lon lat' or 'name value'")
            vertices.append((pair[0], pair[1]))
    cell = values.pop("cell_km", [None])[0]
    settings = {name: value[0] if len(value) == 1 else value for name, value in values.items()}
    return planes_from_trace(vertices, cell or cell_km, **{**defaults, **settings}), cell


def numbers(words: list[str], line: int) -> list[float]:
    try:
        return [float(word) for word in words]
    except ValueError:
        raise SettingError("fault", "", f"line {line} holds something that is not a number") from None


def from_json(document: Any, cell_km: float,
              defaults: dict[str, float]) -> tuple[tuple[Plane, ...], float | None]:
    if not isinstance(document, dict):
        raise SettingError("fault", "", "must hold a JSON object")
    cell = document.get("cell_km")
    if "planes" in document:
        try:
            return tuple(Plane(**plane) for plane in document["planes"]), cell
        except TypeError:
            raise SettingError("fault", "", "'planes' must list objects with the fields of a "
                               "plane: length_km, width_km, lon, lat, strike_deg, dip_deg, "
                               "rake_deg, top_depth_km") from None
    line = line_string(document)
    properties = {name: value for name, value in line.get("properties", {}).items()
                  if name in SEGMENT_SETTINGS}
    vertices = [(float(point[0]), float(point[1])) for point in line["geometry"]["coordinates"]]
    return planes_from_trace(vertices, cell or cell_km, **{**defaults, **properties}), cell


def line_string(document: dict[str, Any]) -> dict[str, Any]:
    """The Feature (with its properties) of a GeoJSON LineString."""
    kind = document.get("type")
    if kind == "FeatureCollection" and document.get("features"):
        return line_string(document["features"][0])
    if kind == "LineString":
        return {"geometry": document, "properties": {}}
    if kind == "Feature" and (document.get("geometry") or {}).get("type") == "LineString":
        return document
    raise SettingError("fault", "", "must be a GeoJSON LineString (or a Feature of one), or "
                       "a JSON object with 'planes'")
