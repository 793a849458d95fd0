"""SRF-HDF5, the file SW4's `rupturehdf5` command reads (SW4 src/readhdf5.C,
readRuptureHDF5, and its users' guide, section "SRF-HDF5", at 03cb7e8).

In the root group: the attribute VERSION (a float32 scalar), the attribute PLANE (one
compound element a plane: ELON, ELAT f4, NSTK, NDIP i4, LEN, WID, STK, DIP, DTOP, SHYP,
DHYP f4), the compound dataset POINTS (one element a point, 17 members named as SRF's
fields: LON LAT DEP STK DIP AREA TINIT DT VS DEN RAKE SLIP1 f4, NT1 i4, SLIP2 f4, NT2 i4,
SLIP3 f4, NT3 i4; 68 bytes) and the float32 dataset SR1, every point's u1 samples one
after another in POINTS order. SW4 matches members by name and walks SR1 with a running
cursor, so point k's samples are SR1[o_k:o_k + NT1_k] with o_k the sum of the earlier
NT1. SR2 and SR3 are not stored (SW4 reads u1 only): all slip is along u1 with each
point's rake, as in the single-block SRF file. Units are SRF's: degrees (WGS84), depth in
km below the surface (positive down), cm^2, s, cm/s, g/cm^3, cm and cm/s. SW4 computes
each point's moment with the rigidity of its own material, not VS and DEN.

The attribute `conventions` says so in the file; SW4 reads attributes by name and passes
it by.
"""

import os
from pathlib import Path

import h5py
import numpy as np

from .. import srf
from ..files import write_named_atomically
from .common import Source, as_srf, carried_planes, choice, one_direction

__all__ = ["write_sw4_hdf5", "OPTIONS"]

FORMAT = "sw4-hdf5"
OPTIONS = ("version",)

PLANE_TYPE = np.dtype([("ELON", "<f4"), ("ELAT", "<f4"), ("NSTK", "<i4"), ("NDIP", "<i4"),
                       ("LEN", "<f4"), ("WID", "<f4"), ("STK", "<f4"), ("DIP", "<f4"),
                       ("DTOP", "<f4"), ("SHYP", "<f4"), ("DHYP", "<f4")])
POINT_TYPE = np.dtype([*((name, "<f4") for name in ("LON", "LAT", "DEP", "STK", "DIP", "AREA",
                                                      "TINIT", "DT", "VS", "DEN", "RAKE",
                                                      "SLIP1")),
                       ("NT1", "<i4"), ("SLIP2", "<f4"), ("NT2", "<i4"), ("SLIP3", "<f4"),
                       ("NT3", "<i4")])
CONVENTIONS = ("SRF-HDF5 for SW4's rupturehdf5: SRF fields and units (LON, LAT degrees "
               "WGS84; DEP km below the surface, positive down; AREA cm^2; TINIT, DT s; VS "
               "cm/s, DEN g/cm^3, -1 where unknown; RAKE degrees, Aki-Richards; SLIP cm; SR1 "
               "cm/s); all slip along u1 (RAKE), SR2 and SR3 absent; SR1 holds each point's "
               "NT1 samples in POINTS order; moment from SW4's own rigidity")


def write_sw4_hdf5(source: Source, path: str | os.PathLike[str], version: str | None = None) -> None:
    """Writes a rupture as the SRF-HDF5 file SW4's ``rupturehdf5`` command reads.

    Parameters
    ----------
    source : SrfFile or Rupture
        What `read_srf` gives, or a rupture just built.
    path : str or os.PathLike
        The file to write: complete or absent.
    version : {"2.0", "1.0"}, optional
        The file's VERSION attribute; the source's by default.

    Raises
    ------
    SettingError
        An unknown version, named ``srf_version``.
    SrfError
        A point that opens (SLIP3), or whose slip turns as it slips, named by its number.
    OSError
        A path that cannot be written (nothing is left there).
    """
    srf_file = as_srf(source)
    version = choice("srf_version", version or srf_file.version, srf.VERSIONS)
    points = srf_file.points
    slip = one_direction(points, FORMAT)
    table = np.zeros(len(points), dtype=POINT_TYPE)
    for name, values in (("LON", points.lon), ("LAT", points.lat), ("DEP", points.depth_km),
                         ("STK", points.strike_deg), ("DIP", points.dip_deg),
                         ("AREA", points.area_cm2), ("TINIT", points.tinit_s), ("DT", points.dt_s),
                         ("VS", np.nan_to_num(points.vs_cm_s, nan=-1.0)),
                         ("DEN", np.nan_to_num(points.density_g_cm3, nan=-1.0)),
                         ("RAKE", slip.rake_deg), ("SLIP1", slip.slip_cm), ("NT1", slip.counts())):
        table[name] = values
    carried = carried_planes(srf_file, FORMAT)
    planes = np.zeros(len(carried), dtype=PLANE_TYPE)
    for k, plane in enumerate(carried):
        planes[k] = (plane.lon, plane.lat, plane.nstk, plane.ndip, plane.length_km, plane.width_km,
                     plane.strike_deg, plane.dip_deg, plane.top_depth_km, plane.shyp_km,
                     plane.dhyp_km)

    def write(temporary: Path) -> None:
        with h5py.File(temporary, "w-") as out:
            out.attrs.create("VERSION", np.float32(float(version)), dtype="<f4")
            out.attrs.create("PLANE", planes, dtype=PLANE_TYPE)
            out.attrs["conventions"] = CONVENTIONS
            out.create_dataset("POINTS", data=table)
            out.create_dataset("SR1", data=slip.rates.astype("<f4"))

    write_named_atomically(path, write)
