"""Where a rupture came from, as its files record it: its settings as one document, and
the comment lines of its SRF file (the package's version, the seed, the settings)."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

from ._version import __version__

if TYPE_CHECKING:  # the rupture names its own settings through this module
    from .geometry import Fault
    from .rupture import Rupture, RuptureSettings


def settings_document(fault: Fault, settings: RuptureSettings) -> dict[str, Any]:
    return {"fault": fault.settings(), "rupture": settings.settings()}


def settings_json(fault: Fault, settings: RuptureSettings) -> str:
    """The settings on one line, keys in a fixed order."""
    return json.dumps(settings_document(fault, settings), separators=(",", ":"))


def provenance(rupture: Rupture) -> list[str]:
    """The comment lines every SRF file carries after its version line."""
    return [f"written by kinematic-rupture {__version__}",
            f"seed {rupture.settings.seed}",
            f"settings {settings_json(rupture.fault, rupture.settings)}"]
