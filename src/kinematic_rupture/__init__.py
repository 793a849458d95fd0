"""Kinematic earthquake ruptures: slip, rupture times and slip-rate pulses on a fault,
written as Standard Rupture Format files for wave-propagation codes.

    from kinematic_rupture import Fault, RuptureSettings, build_rupture, read_srf

    fault = Fault.single(length_km=30, width_km=15, cell_km=0.25, dip_deg=60, rake_deg=90)
    rupture = build_rupture(fault, RuptureSettings(magnitude=6.5, seed=7))
    slip = rupture.grid("slip_m")        # plane 0's slip (m), with its coordinates in km
    rupture.write_srf("rupture.srf")
    again = read_srf("rupture.srf")      # the same grids: again.grid("slip_m")

Every name of `__all__` is imported from its module when first used, so that importing
the package is quick and brings in neither matplotlib nor Dask nor the command.
"""

import importlib
from typing import TYPE_CHECKING, Any

from ._version import __version__

# Each public name, and the module that holds it.
_EXPORTS = {
    "Fault": "geometry", "Plane": "geometry", "planes_from_trace": "geometry",
    "read_fault": "fault_file",
    "GenericCrust": "crust", "LayeredModel": "crust",
    "RuptureSettings": "rupture", "Rupture": "rupture", "build_rupture": "rupture",
    "SlipSettings": "physics_settings", "ShallowZone": "physics_settings",
    "RuptureSpeed": "physics_settings", "RiseTime": "physics_settings",
    "TimePerturbation": "physics_settings", "Rake": "physics_settings",
    "Grid": "grids", "MomentRate": "grids", "QUANTITIES": "grids",
    "SrfFile": "srf", "read_srf": "srf", "parse_srf": "srf", "write_srf": "srf",
    "draw_hypocentre": "hypocentre", "default_hypocentre": "hypocentre",
    "DISTRIBUTIONS": "hypocentre",
    "Plan": "ensemble", "plan": "ensemble", "local_cluster": "ensemble",
    "run_ensemble": "ensemble",
    "export": "io", "FORMATS": "io",
    "Band": "greens", "GreensTable": "greens", "greens_table": "greens",
    "KinematicRuptureError": "errors", "SettingError": "errors", "SrfError": "errors",
}

__all__ = ["__version__", *_EXPORTS]

if TYPE_CHECKING:
    from .crust import GenericCrust, LayeredModel
    from .ensemble import Plan, local_cluster, plan, run_ensemble
    from .errors import KinematicRuptureError, SettingError, SrfError
    from .fault_file import read_fault
    from .geometry import Fault, Plane, planes_from_trace
    from .greens import Band, GreensTable, greens_table
    from .grids import QUANTITIES, Grid, MomentRate
    from .hypocentre import DISTRIBUTIONS, default_hypocentre, draw_hypocentre
    from .io import FORMATS, export
    from .physics_settings import (Rake, RiseTime, RuptureSpeed, ShallowZone, SlipSettings,
                                   TimePerturbation)
    from .rupture import Rupture, RuptureSettings, build_rupture
    from .srf import SrfFile, parse_srf, read_srf, write_srf


def __getattr__(name: str) -> Any:
    """A public name, imported from its module on first use (PEP 562)."""
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(f".{_EXPORTS[name]}", __name__), name)
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_EXPORTS})
