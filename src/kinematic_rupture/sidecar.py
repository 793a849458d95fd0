"""A rupture's settings as a document: the JSON sidecar beside every SRF file, the
provenance comments inside it, and reading settings back to regenerate the same files."""

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

FORMAT = "kinematic-rupture settings"


def sidecar_document(rupture: Rupture, srf_version: str,
                     srf_blocks: str = "per-plane",
                     written: dict[str, Any] | None = None) -> dict[str, Any]:
    """The sidecar: the full settings, what came of them, and the moment-rate function;
    the SRF's POINTS blocks only when they are not one a plane; and, given `written`, the
    rupture file's name, size and digest."""
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
    """The sidecar as JSON; a value JSON cannot hold (NaN, infinity) is a ValueError."""
    return json.dumps(sidecar_document(rupture, srf_version, srf_blocks, written), indent=1,
                      allow_nan=False) + "\n"


def file_record(path: str | os.PathLike[str], name: str) -> dict[str, Any]:
    """A file's name, size and SHA-256 digest, as a sidecar records its rupture file."""
    with open(path, "rb") as stream:
        digest = hashlib.file_digest(stream, "sha256").hexdigest()
    return {"name": name, "bytes": os.path.getsize(path), "sha256": digest}


@dataclass(frozen=True)
class Stored:
    """What a sidecar or a settings document holds: the fault and settings, the SRF version
    and POINTS blocks (None if it gives none) and the version of the package that wrote it
    (None if none)."""

    fault: Fault
    settings: RuptureSettings
    srf_version: str | None
    srf_blocks: str | None
    written_by: str | None


def read_settings(path: str | os.PathLike[str]) -> Stored:
    """The settings of a sidecar or a settings document, every value checked."""
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
    """The fault and settings of a settings document; unknown or missing keys are refused."""
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
