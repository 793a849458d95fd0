"""A neutral list of point sources in HDF5, for codes that build their sources from arrays
(Salvus, AxiSEM3D, pyrocko) and for notebooks.

One entry a slipping point, in the SRF's order, as root-level datasets of length N (each
with a `units` attribute):

- longitude, latitude (degrees, WGS84), depth (m, positive down, below the surface that
  the SRF's depth 0 is);
- x, y, z (m) in a local Cartesian frame: x east, y north on the azimuthal equidistant
  projection of WGS84 centred at (origin_longitude, origin_latitude) (PROJ's aeqd), and
  z = -depth, up;
- strike, dip, rake (degrees, Aki and Richards' convention), moment (N m, mu A slip);
- moment_tensor (N, 6), N m, in the Harvard/GCMT frame r up, t south, p east, columns
  Mrr, Mtt, Mpp, Mrt, Mrp, Mtp (pyrocko's NED: Mnn = Mtt, Mee = Mpp, Mdd = Mrr,
  Mne = -Mtp, Mnd = Mrt, Med = -Mrp);
- start_time (s, the SRF's TINIT, on the rupture's clock), dt (s);
- moment_rate (N m/s), every point's samples one after another, and offsets (N + 1, int64):
  point k's samples are moment_rate[offsets[k]:offsets[k + 1]], sample j covering
  [start_time + j dt, start_time + (j + 1) dt), so dt times their sum is its moment.

Root attributes name the format (`format`, `format_version`), the origin, the rigidity's
source and these conventions (`conventions`).
"""

import os
from pathlib import Path

import h5py
import numpy as np
import pyproj

from ..checks import SettingError
from ..crust import GenericCrust, LayeredModel
from ..files import write_named_atomically
from .common import CM_TO_M, Source, as_srf, moment_nm, one_direction, slip_rigidity_pa
from .tensor import HARVARD_COMPONENTS, harvard, ned_tensor

__all__ = ["write_points_hdf5", "OPTIONS"]

FORMAT = "points-hdf5"
OPTIONS = ("origin", "velocity_model")
FORMAT_NAME = "kinematic-rupture point sources"
FORMAT_VERSION = 1
CONVENTIONS = ("positions: longitude, latitude degrees WGS84, depth m positive down; x east, "
               "y north (m) on the azimuthal equidistant projection centred at the origin, "
               "z = -depth (up); moment tensor N m, Harvard r up t south p east, columns Mrr "
               "Mtt Mpp Mrt Mrp Mtp; strike, dip, rake degrees (Aki-Richards); moment_rate "
               "N m/s, point k's samples moment_rate[offsets[k]:offsets[k+1]], sample j over "
               "[start_time + j dt, start_time + (j+1) dt), dt times their sum = moment")


def write_points_hdf5(source: Source, path: str | os.PathLike[str],
                      origin: tuple[float, float] | None = None,
                      velocity_model: GenericCrust | LayeredModel | None = None) -> None:
    """Writes a rupture as a list of point sources in HDF5 (the layout above).

    Parameters
    ----------
    source : SrfFile or Rupture
        What `read_srf` gives, or a rupture just built.
    path : str or os.PathLike
        The file to write: complete or absent.
    origin : tuple of float, optional
        (longitude, latitude) of the local frame's origin, degrees; by default the point
        that starts slipping first, near the hypocentre.
    velocity_model : GenericCrust or LayeredModel, optional
        The rigidity where the SRF has no VS and DEN; the generic crust by default.

    Raises
    ------
    SettingError
        An origin that is not a longitude and a latitude.
    SrfError
        A point that opens (SLIP3), or whose slip turns as it slips, named by its number.
    OSError
        A path that cannot be written (nothing is left there).

    Examples
    --------
    >>> import h5py
    >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
    >>> rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
    ...                         RuptureSettings(magnitude=5.5))
    >>> write_points_hdf5(rupture, "points.h5")
    >>> with h5py.File("points.h5") as found:
    ...     found["moment_tensor"].shape[1], found["moment"].attrs["units"]
    (6, 'N m')
    """
    srf_file = as_srf(source)
    points = srf_file.points
    slip = one_direction(points, FORMAT)
    rigidity, rigidity_source = slip_rigidity_pa(points, velocity_model)
    moment = moment_nm(points, slip.slip_cm, rigidity)
    counts = slip.counts()
    keep = np.flatnonzero((moment != 0) & (counts > 0))
    if origin is None:
        first = keep[np.argmin(points.tinit_s[keep])] if keep.size else 0
        origin = (float(points.lon[first]), float(points.lat[first])) if len(points) else (0.0, 0.0)
    origin = checked_origin(origin)
    local = pyproj.Transformer.from_crs(
        "+proj=longlat +datum=WGS84 +no_defs",
        f"+proj=aeqd +lon_0={origin[0]!r} +lat_0={origin[1]!r} +datum=WGS84 +units=m",
        always_xy=True)
    x, y = local.transform(points.lon[keep], points.lat[keep])
    depth_m = points.depth_km[keep] * 1e3
    lengths = counts[keep]
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    starts = np.repeat(slip.offsets[keep], lengths)
    firsts = np.repeat(offsets[:-1], lengths)
    index = starts + np.arange(int(offsets[-1])) - firsts
    scale = np.repeat(rigidity[keep] * points.area_cm2[keep] * 1e-4 * CM_TO_M, lengths)
    datasets = {
        "longitude": (points.lon[keep], "degree"), "latitude": (points.lat[keep], "degree"),
        "depth": (depth_m, "m"), "x": (np.asarray(x), "m"), "y": (np.asarray(y), "m"),
        "z": (-depth_m, "m"), "strike": (points.strike_deg[keep], "degree"),
        "dip": (points.dip_deg[keep], "degree"), "rake": (slip.rake_deg[keep], "degree"),
        "moment": (moment[keep], "N m"),
        "moment_tensor": (harvard(ned_tensor(points.strike_deg[keep], points.dip_deg[keep],
                                             slip.rake_deg[keep])) * moment[keep, None], "N m"),
        "start_time": (points.tinit_s[keep], "s"), "dt": (points.dt_s[keep], "s"),
        "moment_rate": (slip.rates[index] * scale, "N m/s"), "offsets": (offsets, "1"),
    }
    attributes = {"format": FORMAT_NAME, "format_version": FORMAT_VERSION,
                  "conventions": CONVENTIONS, "origin_longitude": origin[0],
                  "origin_latitude": origin[1], "rigidity": f"mu from {rigidity_source}",
                  "moment_tensor_columns": ", ".join(f"M{name}" for name in HARVARD_COMPONENTS)}

    def write(temporary: Path) -> None:
        with h5py.File(temporary, "w-") as out:
            out.attrs.update(attributes)
            for name, (values, units) in datasets.items():
                out.create_dataset(name, data=values).attrs["units"] = units

    write_named_atomically(path, write)


def checked_origin(origin: object) -> tuple[float, float]:
    try:
        lon, lat = (float(value) for value in origin)  # type: ignore[attr-defined]
    except (TypeError, ValueError):
        raise SettingError("origin", origin, "must be a longitude and a latitude in degrees") from None
    if not (np.isfinite(lon) and np.isfinite(lat) and -180 <= lon <= 360 and -90 <= lat <= 90):
        raise SettingError("origin", origin, "must be a longitude and a latitude in degrees, "
                           "the latitude in [-90, 90]")
    return lon, lat
