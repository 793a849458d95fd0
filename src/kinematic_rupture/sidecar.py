"""A rupture's settings as a document: the JSON sidecar beside every SRF file, the
provenance comments inside it, and reading settings back to regenerate the same files.

.. autosummary::

   read_settings
   Stored
   sidecar_document
   sidecar_text
   file_record
   from_document
"""

import hashlib
import json
import os
from dataclasses import dataclass, fields
from typing import Any

from ._version import __version__
from .checks import SettingError, input_text
from .crust import velocity_model_from_settings
from .geometry import Fault, Plane
from .kinematics import largest_frequency_hz
from .provenance import provenance, settings_document, settings_json  # noqa: F401
from .rupture import Rupture, RuptureSettings
from .srf import BLOCKS, VERSIONS

__all__ = ["read_settings", "Stored", "sidecar_document", "sidecar_text", "file_record",
           "from_document", "FORMAT"]

FORMAT = "kinematic-rupture settings"


def sidecar_document(rupture: Rupture, srf_version: str,
                     srf_blocks: str = "per-plane",
                     written: dict[str, Any] | None = None) -> dict[str, Any]:
    """The sidecar: the full settings, what came of them, and the moment-rate function;
    the SRF's POINTS blocks only when they are not one a plane; and, given `written`, the
    rupture file's name, size and digest.

    Parameters
    ----------
    rupture : Rupture
        The rupture.
    srf_version : str
        The version of its SRF file ("1.0" or "2.0").
    srf_blocks : str
        Its POINTS blocks: "per-plane" or one block.
    written : dict, optional
        The rupture file's record (`file_record`).

    Returns
    -------
    dict
        The document, ready for JSON.
    """
    return {
        "format": FORMAT,
        "kinematic_rupture": __version__,
        "settings": settings_document(rupture.fault, rupture.settings),
        "srf_version": srf_version,
        **({"srf_blocks": srf_blocks} if srf_blocks != "per-plane" else {}),
        "summary": {"moment_nm": rupture.moment_nm, "mw": rupture.mw,
                    "duration_s": rupture.duration_s,
                    "hypocentre_km": list(rupture.hypocentre_km),
                    "peak_moment_rate_nm_s": float(rupture.moment_rate_nm_s.max()),
                    "largest_frequency_hz": largest_frequency_hz(
                        rupture.rupture_velocity_km_s, cell_km=rupture.fault.cell_km)},
        "moment_rate": {"dt_s": rupture.dt_s, "unit": "N m/s",
                        "values": rupture.moment_rate_nm_s.tolist()},
        **({"file": written} if written else {}),
    }


def sidecar_text(rupture: Rupture, srf_version: str, srf_blocks: str = "per-plane",
                 written: dict[str, Any] | None = None) -> str:
    """The sidecar as JSON.

    Parameters
    ----------
    rupture, srf_version, srf_blocks, written
        As for `sidecar_document`.

    Returns
    -------
    str
        Indented JSON, ending in a newline.

    Raises
    ------
    ValueError
        A value JSON cannot hold (NaN, infinity).
    """
    return json.dumps(sidecar_document(rupture, srf_version, srf_blocks, written), indent=1,
                      allow_nan=False) + "\n"


def file_record(path: str | os.PathLike[str], name: str) -> dict[str, Any]:
    """A file's name, size and SHA-256 digest, as a sidecar records its rupture file.

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    name : str
        The name to record.

    Returns
    -------
    dict
        ``{"name": ..., "bytes": ..., "sha256": ...}``.

    Raises
    ------
    OSError
        A file that cannot be read.
    """
    with open(path, "rb") as stream:
        digest = hashlib.file_digest(stream, "sha256").hexdigest()
    return {"name": name, "bytes": os.path.getsize(path), "sha256": digest}


@dataclass(frozen=True)
class Stored:
    """What a sidecar or a settings document holds.

    Parameters
    ----------
    fault : Fault
        The fault.
    settings : RuptureSettings
        The rupture's settings.
    srf_version : str or None
        The SRF version, None if it gives none.
    srf_blocks : str or None
        The POINTS blocks, None if it gives none.
    written_by : str or None
        The version of the package that wrote it, None if none.
    """

    fault: Fault
    settings: RuptureSettings
    srf_version: str | None
    srf_blocks: str | None
    written_by: str | None


def read_settings(path: str | os.PathLike[str]) -> Stored:
    """The settings of a sidecar or a settings document, every value checked.

    Parameters
    ----------
    path : str or os.PathLike
        The sidecar (``kinematic_rupture.json``) or a document of ``fault`` and
        ``rupture`` settings.

    Returns
    -------
    Stored
        What it holds.

    Raises
    ------
    SettingError
        A file that cannot be read or is not such a document, or a value that cannot be
        used; named ``settings``.
    """
    source = os.fspath(path)
    try:
        document = json.loads(input_text(path, "settings"))
    except json.JSONDecodeError as failure:
        raise SettingError("settings", source,
                           f"is not JSON (line {failure.lineno}: {failure.msg})") from None
    except RecursionError:
        raise SettingError("settings", source, "is JSON nested too deeply") from None
    if not isinstance(document, dict):
        raise SettingError("settings", source, "must hold a JSON object")
    values = document.get("settings", document)
    fault, settings = from_document(values, source)
    version = document.get("srf_version")
    if version is not None and version not in VERSIONS:
        raise SettingError("settings", source, f"has srf_version {json.dumps(version)}; it must "
                           f"be one of {', '.join(VERSIONS)}")
    blocks = document.get("srf_blocks")
    if blocks is not None and blocks not in BLOCKS:
        raise SettingError("settings", source, f"has srf_blocks {json.dumps(blocks)}; it must "
                           f"be one of {', '.join(BLOCKS)}")
    written_by = document.get("kinematic_rupture")
    return Stored(fault, settings, version, blocks,
                  written_by if isinstance(written_by, str) else None)


def from_document(values: Any, source: str) -> tuple[Fault, RuptureSettings]:
    """The fault and settings of a settings document.

    Parameters
    ----------
    values : object
        The document: ``{"fault": {...}, "rupture": {...}}``.
    source : str
        Where it came from, for a refusal.

    Returns
    -------
    tuple
        (Fault, RuptureSettings).

    Raises
    ------
    SettingError
        Unknown or missing keys, or a value that cannot be used; named ``settings``.
    """
    if not isinstance(values, dict) or not isinstance(values.get("fault"), dict) \
            or not isinstance(values.get("rupture"), dict):
        raise SettingError("settings", source, "must hold 'fault' (cell_km, planes) and 'rupture' "
                           "settings")
    fault_values, rupture_values = values["fault"], dict(values["rupture"])
    try:
        fault = Fault(stored_planes(fault_values, source), fault_values["cell_km"])
        rupture_values["velocity_model"] = velocity_model_from_settings(
            rupture_values.get("velocity_model"))
        for name in ("hypocentre_km", "correlation_km"):
            if isinstance(rupture_values.get(name), list):
                rupture_values[name] = tuple(rupture_values[name])
        known = {item.name for item in fields(RuptureSettings)}
        unknown = sorted(set(rupture_values) - known)
        if unknown:
            raise SettingError("settings", source, f"has unknown rupture settings: {', '.join(unknown)}")
        return fault, RuptureSettings(**rupture_values)
    except SettingError as refusal:
        if refusal.setting == "settings":
            raise
        raise SettingError("settings", source, refusal.sentence(refusal.setting)) from None


def stored_planes(fault_values: dict[str, Any], source: str) -> tuple[Plane, ...]:
    """The planes of a document's fault, which holds cell_km and planes and nothing else."""
    names = {item.name for item in fields(Plane)}
    unknown = sorted(set(fault_values) - {"cell_km", "planes"})
    planes = fault_values.get("planes")
    if unknown or "cell_km" not in fault_values or not isinstance(planes, list) or not planes:
        what = (f"has unknown fault settings: {', '.join(unknown)}" if unknown
                else "must give the fault's cell_km and a list of its planes")
        raise SettingError("settings", source, what)
    for number, plane in enumerate(planes, start=1):
        if not isinstance(plane, dict):
            raise SettingError("settings", source, f"plane {number} of the fault is not an object")
        if set(plane) - names:
            raise SettingError("settings", source, f"plane {number} of the fault has unknown "
                               f"settings: {', '.join(sorted(set(plane) - names))}")
    return tuple(Plane(**plane) for plane in planes)
