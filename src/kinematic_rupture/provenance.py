"""Where a rupture came from, as its files record it: its settings as one document, and
the comment lines of its SRF file (the package's version, the seed, the settings).

.. autosummary::

   settings_document
   settings_json
   provenance
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any

from ._version import __version__

__all__ = ["settings_document", "settings_json", "provenance"]

if TYPE_CHECKING:  # the rupture names its own settings through this module
    from .geometry import Fault
    from .rupture import Rupture, RuptureSettings


def settings_document(fault: Fault, settings: RuptureSettings) -> dict[str, Any]:
    """A fault's and a rupture's settings as one document, as sidecars store them.

    Parameters
    ----------
    fault : Fault
        The fault.
    settings : RuptureSettings
        The rupture's settings.

    Returns
    -------
    dict
        ``{"fault": ..., "rupture": ...}``, each the object's ``settings()``.
    """
    return {"fault": fault.settings(), "rupture": settings.settings()}


def settings_json(fault: Fault, settings: RuptureSettings) -> str:
    """The settings on one line, keys in a fixed order.

    Parameters
    ----------
    fault : Fault
        The fault.
    settings : RuptureSettings
        The rupture's settings.

    Returns
    -------
    str
        `settings_document` as compact JSON.
    """
    return json.dumps(settings_document(fault, settings), separators=(",", ":"))


def provenance(rupture: Rupture) -> list[str]:
    """The comment lines every SRF file carries after its version line.

    Parameters
    ----------
    rupture : Rupture
        The rupture.

    Returns
    -------
    list of str
        The package's version, the seed and `settings_json`, without the leading ``#``.
    """
    return [f"written by kinematic-rupture {__version__}",
            f"seed {rupture.settings.seed}",
            f"settings {settings_json(rupture.fault, rupture.settings)}"]
