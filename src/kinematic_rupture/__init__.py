"""Kinematic earthquake ruptures: slip, rupture times and slip-rate pulses on a fault,
written as Standard Rupture Format files for wave-propagation codes.

    from kinematic_rupture import Fault, RuptureSettings, build_rupture, write_srf

    fault = Fault.single(length_km=30, width_km=15, cell_km=0.25, dip_deg=60, rake_deg=90)
    rupture = build_rupture(fault, RuptureSettings(magnitude=6.5, seed=7))
    write_srf("rupture.srf", rupture)
"""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("kinematic-rupture")
except PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

from .checks import SettingError  # noqa: E402
from .crust import GenericCrust, LayeredModel  # noqa: E402
from .geometry import Fault, Plane  # noqa: E402
from .rupture import Rupture, RuptureSettings, build_rupture  # noqa: E402
from .srf import SrfError, SrfFile, parse_srf, read_srf, write_srf  # noqa: E402

__all__ = ["Fault", "GenericCrust", "LayeredModel", "Plane", "Rupture", "RuptureSettings",
           "SettingError", "SrfError", "SrfFile", "__version__", "build_rupture", "parse_srf",
           "read_srf", "write_srf"]
