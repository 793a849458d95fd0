"""NRF, the NetCDF rupture file SeisSol reads as `Type = 42` in its &SourceType block,
written here directly from the SRF points, so that rconv is not needed.

The layout is the netCDF description rconv ships (nrf.cdl, at dc9d4f1 of SeisSol's tree):
compound types Vector3 {double x, y, z} and Subfault {double tinit, timestep, mu, area;
Vector3 tan1, tan2, normal}, in that member order (SeisSol reads them raw); unlimited dimensions source,
sroffset (source + 1), sample1..3 and direction = 3; variables centres(source) in m,
subfaults(source), uint32 sroffsets(sroffset, direction) and double sliprates1..3(sampleN)
in m/s, deflated where asked (nrf.cdl's level 1; none by default, since deflating is
most of the time the writing takes, and HDF5 reads either). How SeisSol reads it (src/SourceTerm/
NRFReader.cpp, Manager.cpp, PointSourceCluster.h): sample k of point i lies at
tinit + k timestep, interpolated linearly and integrated by trapezoids, so this writer
puts a zero sample before a row that starts with a non-zero one (one timestep earlier)
and after one that ends with a non-zero one, making the trapezoid sum equal DT times the
sum of the SRF samples, the slip. Points without samples are left out, as rconv does.

Conventions, also in the file's global attributes: centres are in the mesh's axes and
metres, from the projection the user names (a PROJ string or an EPSG code), the vertical
axis z = -depth (metres above the datum of depth 0, so a depth is a negative z) unless
`+axis` says otherwise. tan1 is the slip direction (the rake), tan2 the rake + 90 and
normal points from the footwall into the hanging wall (rconv's formulas, Aki and
Richards' convention), all in the mesh's axes: strike, given from true north, is turned
by the projection's meridian convergence at each point (rconv does not turn it). A PROJ
string's `+axis=XYZ` (letters from e, w, n, s, u, d: "ned" is x = north, y = east,
z = down) orders and signs the axes as rconv honours it; an EPSG code's own axis order is
followed. mu is VS^2 DEN from the SRF in Pa where it gives them, else 0, which SeisSol
reads as "the mesh's own rigidity at the point".
"""

import os
import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt
import pyproj

from ..checks import SettingError
from ..files import write_named_atomically
from ..srf import SrfError, SrfPoints
from .common import CM2_TO_M2, CM_TO_M, DYNE_CM2_TO_PA, Source, as_srf

__all__ = ["write_seissol_nrf", "OPTIONS"]

FORMAT = "seissol-nrf"
OPTIONS = ("projection", "deflate")

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

VECTOR3 = np.dtype([("x", "<f8"), ("y", "<f8"), ("z", "<f8")])
SUBFAULT = np.dtype([("tinit", "<f8"), ("timestep", "<f8"), ("mu", "<f8"), ("area", "<f8"),
                     ("tan1", VECTOR3), ("tan2", VECTOR3), ("normal", VECTOR3)])
SUBFAULT_UNITS = "tinit: s, timestep: s, mu: pascal, area: m^2, tan1, tan2, normal: m (unit vectors)"
UINT32_MAX = 2**32 - 1
GEOGRAPHIC = "+proj=longlat +datum=WGS84 +no_defs"
# The step northwards that finds true north in the projection's grid.
NORTH_STEP_DEG = 1e-5
# Elements a chunk: large enough that HDF5's per-chunk work stays small.
SOURCE_CHUNK = 8192
SAMPLE_CHUNK = 262144
AXIS = re.compile(r"\+axis=(\S*)")
AXIS_LETTERS = {"e": (0, 1.0), "w": (0, -1.0), "n": (1, 1.0), "s": (1, -1.0), "u": (2, 1.0),
                "d": (2, -1.0)}


@dataclass(frozen=True)
class MeshFrame:
    """A projection to the mesh's easting and northing (metres), and the mesh's axes as
    letters (each of e/w, n/s, u/d once, in the order of x, y, z)."""

    transformer: pyproj.Transformer
    letters: str
    description: str


def mesh_frame(projection: object) -> MeshFrame:
    """The mesh frame of a PROJ string or EPSG code, or a refusal naming what is wrong."""
    if not isinstance(projection, (str, int)) or isinstance(projection, bool) or projection == "":
        raise SettingError("projection", projection, "give the mesh's projection, a PROJ string "
                           "or an EPSG code (e.g. '+proj=utm +zone=11 +datum=WGS84 +units=m')")
    text = f"EPSG:{projection}" if isinstance(projection, int) or str(projection).isdigit() \
        else str(projection)
    given_axis = AXIS.search(text)
    try:
        crs = pyproj.CRS.from_user_input(AXIS.sub("", text).strip() if given_axis else text)
    except pyproj.exceptions.CRSError:
        raise SettingError("projection", projection, "not a projection PROJ knows; give a PROJ "
                           "string such as '+proj=utm +zone=11 +datum=WGS84 +units=m' or an "
                           "EPSG code") from None
    if not crs.is_projected:
        raise SettingError("projection", projection, "is not a projected coordinate system; "
                           "SeisSol's mesh needs one in metres")
    units = {axis.unit_name for axis in crs.axis_info[:2]}
    if units != {"metre"}:
        raise SettingError("projection", projection, f"has units {', '.join(sorted(units))}; "
                           "the mesh's coordinates are metres (+units=m)")
    if given_axis:
        letters = given_axis.group(1)
        axes = sorted(AXIS_LETTERS[letter][0] for letter in letters if letter in AXIS_LETTERS)
        if len(letters) != 3 or axes != [0, 1, 2]:
            raise SettingError("projection", projection, f"+axis={letters}: needs three letters, "
                               "one of e/w, one of n/s and one of u/d")
    else:
        directions = [axis.direction.lower() for axis in crs.axis_info[:2]]
        if sorted(directions) != ["east", "north"]:
            raise SettingError("projection", projection, f"has axes {', '.join(directions)}; "
                               "this writer follows east and north axes, or a PROJ string's +axis")
        letters = "".join(direction[0] for direction in directions) + "u"
    transformer = pyproj.Transformer.from_crs(GEOGRAPHIC, crs, always_xy=True)
    return MeshFrame(transformer, letters, text)


def write_seissol_nrf(source: Source, path: str | os.PathLike[str], projection: object = None,
                      deflate: int = 0) -> None:
    """Writes a rupture as the NRF file SeisSol reads (``Type = 42``).

    Parameters
    ----------
    source : SrfFile or Rupture
        What `read_srf` gives, or a rupture just built.
    path : str or os.PathLike
        The file to write: complete or absent.
    projection : str or int
        The mesh's projection, a PROJ string or an EPSG code, in metres (required); its
        ``+axis`` orders and signs the mesh's axes.
    deflate : int
        The deflate level of every variable, 0 (none, the default) to 9; nrf.cdl and rconv
        use 1, which makes the file about half as large and its writing several times slower.

    Raises
    ------
    SettingError
        No projection, one PROJ cannot use or one not in metres, or a deflate level out of
        range.
    SrfError
        A source of more samples than NRF's 32-bit offsets address.
    OSError
        A path that cannot be written (nothing is left there).
    """
    frame = mesh_frame(projection)
    if isinstance(deflate, bool) or not isinstance(deflate, int) or not 0 <= deflate <= 9:
        raise SettingError("deflate", deflate, "must be a whole number from 0 to 9")
    srf_file = as_srf(source)
    points = srf_file.points
    counts = np.stack([np.diff(offsets) for offsets in points.offsets], axis=1)
    keep = np.flatnonzero(counts.sum(axis=1) > 0)
    centres, tan1, tan2, normal = geometry(points, keep, frame)
    front, rows = padded_rows(points, keep)
    if any(int(offsets[-1]) > UINT32_MAX for offsets, _ in rows):
        raise SrfError(f"holds more than {UINT32_MAX} samples of one component, more than "
                       "NRF's 32-bit offsets address")
    subfaults = np.zeros(keep.size, dtype=SUBFAULT)
    subfaults["timestep"] = points.dt_s[keep]
    subfaults["tinit"] = points.tinit_s[keep] - front * points.dt_s[keep]
    subfaults["area"] = points.area_cm2[keep] * CM2_TO_M2
    vs, density = points.vs_cm_s[keep], points.density_g_cm3[keep]
    given = (vs > 0) & (density > 0)  # False for NaN, a version 1.0 file's
    subfaults["mu"] = np.where(given, vs**2 * density * DYNE_CM2_TO_PA, 0.0)
    for name, vectors in (("tan1", tan1), ("tan2", tan2), ("normal", normal)):
        for axis, letter in enumerate("xyz"):
            subfaults[name][letter] = vectors[:, axis]
    centre_table = np.zeros(keep.size, dtype=VECTOR3)
    for axis, letter in enumerate("xyz"):
        centre_table[letter] = centres[:, axis]
    mu_note = ("from VS and DEN of the SRF" if given.all() else
               "0 (the mesh's own rigidity)" if not given.any() else
               "from VS and DEN where the SRF gives them, else 0 (the mesh's own rigidity)")
    attributes = {
        "title": "kinematic rupture as point sources for SeisSol (NRF)",
        "projection": frame.description,
        "axes": f"x, y, z = {', '.join(frame.letters)} (e east, w west, n north, s south, "
                "u up, d down), metres",
        "conventions": "centres: mesh coordinates in m, z = -depth (up) unless the axes say "
                       "down; tan1 = slip direction (rake), tan2 = rake + 90, normal = "
                       "footwall to hanging wall, unit vectors in the mesh axes (Aki-Richards "
                       "strike, dip, rake; strike turned by the meridian convergence); "
                       "sliprates in m/s along tan1, tan2, normal, sample k at tinit + k "
                       "timestep, first and last samples zero; mu in Pa, " + mu_note,
    }

    def write(temporary: Path) -> None:
        write_file(temporary, centre_table, subfaults, rows, attributes, deflate)

    write_named_atomically(path, write)


def geometry(points: SrfPoints, keep: IntArray,
             frame: MeshFrame) -> tuple[FloatArray, FloatArray, FloatArray, FloatArray]:
    """Centres and the unit vectors tan1, tan2 and normal, (N, 3) in the mesh's axes."""
    from .tensor import fault_vectors

    lon, lat = points.lon[keep], points.lat[keep]
    with np.errstate(invalid="ignore"):
        east, north = (np.asarray(axis) for axis in frame.transformer.transform(lon, lat))
        north_east, north_north = frame.transformer.transform(lon, lat + NORTH_STEP_DEG)
        step_east = np.asarray(north_east) - east
        step_north = np.asarray(north_north) - north
    bad = ~(np.isfinite(east) & np.isfinite(north) & np.isfinite(step_east) & np.isfinite(step_north))
    if bad.any():
        k = int(keep[np.argmax(bad)])
        raise SettingError("projection", frame.description, f"cannot place point {k + 1} "
                           f"(lon {points.lon[k]:g}, lat {points.lat[k]:g}): it lies outside "
                           "the projection's domain")
    # The grid azimuth of true north: the meridian convergence (clockwise from grid north).
    theta = np.arctan2(step_east, step_north)
    up = -points.depth_km[keep] * 1e3
    enu_centres = np.stack([east, north, up], axis=1)
    slip, second, normal = fault_vectors(points.strike_deg[keep], points.dip_deg[keep],
                                         points.rake_deg[keep])

    def enu(ned: FloatArray) -> FloatArray:
        n, e, d = ned[:, 0], ned[:, 1], ned[:, 2]
        return np.stack([n * np.sin(theta) + e * np.cos(theta),
                         n * np.cos(theta) - e * np.sin(theta), -d], axis=1)

    def mesh(vectors: FloatArray) -> FloatArray:
        return np.stack([AXIS_LETTERS[letter][1] * vectors[:, AXIS_LETTERS[letter][0]]
                         for letter in frame.letters], axis=1)

    return mesh(enu_centres), mesh(enu(slip)), mesh(enu(second)), mesh(enu(normal))


def padded_rows(points: SrfPoints, keep: IntArray) -> tuple[IntArray,
                                                            list[tuple[IntArray, FloatArray]]]:
    """Each kept point's three components in m/s, with a zero before every row where any
    of its rows starts with a non-zero sample (`front`, 1 for those points) and after
    every row that ends with one; as (offsets, samples) per component."""
    starts = [offsets[keep] for offsets in points.offsets]
    counts = [np.diff(offsets)[keep] for offsets in points.offsets]
    front = np.zeros(keep.size, dtype=np.int64)
    for c in range(3):
        has = counts[c] > 0
        front[has] |= (points.rates[c][starts[c][has]] != 0).astype(np.int64)
    rows = []
    for c in range(3):
        has = counts[c] > 0
        ends = starts[c][has] + counts[c][has] - 1
        if not front.any() and not points.rates[c][ends].any():
            # Nothing to pad, the common case: the rows as they are (points left out
            # had no samples).
            offsets = np.append(starts[c], points.offsets[c][-1]) - points.offsets[c][0]
            rows.append((offsets.astype(np.int64), points.rates[c] * CM_TO_M))
            continue
        back = np.zeros(keep.size, dtype=np.int64)
        back[has] = (points.rates[c][starts[c][has] + counts[c][has] - 1] != 0)
        head = np.where(has, front, 0)
        lengths = counts[c] + head + back
        offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
        samples = np.zeros(int(offsets[-1]))
        source = np.repeat(starts[c], counts[c]) + ranks(counts[c])
        target = np.repeat(offsets[:-1] + head, counts[c]) + ranks(counts[c])
        samples[target] = points.rates[c][source] * CM_TO_M
        rows.append((offsets, samples))
    return front, rows


def ranks(counts: IntArray) -> IntArray:
    """0, 1, ..., n_k - 1 for every row k, one row after another."""
    firsts = np.repeat(np.concatenate([[0], np.cumsum(counts)])[:-1].astype(np.int64), counts)
    return np.arange(int(counts.sum())) - firsts


def write_file(path: Path, centres: np.ndarray, subfaults: np.ndarray,
               rows: list[tuple[IntArray, FloatArray]], attributes: dict[str, str],
               deflate: int) -> None:
    import netCDF4

    packing: dict[str, Any] = {"zlib": deflate > 0, "complevel": max(deflate, 1)}
    with netCDF4.Dataset(path, "w", clobber=False, format="NETCDF4") as out:
        vector3 = out.createCompoundType(VECTOR3, "Vector3")
        subfault = out.createCompoundType(SUBFAULT, "Subfault")
        out.createDimension("source", None)
        out.createDimension("sroffset", None)
        out.createDimension("direction", 3)
        for c in "123":
            out.createDimension(f"sample{c}", None)
        centre_variable = out.createVariable("centres", vector3, ("source",),
                                             chunksizes=(SOURCE_CHUNK,), **packing)
        centre_variable.units = "m"
        subfault_variable = out.createVariable("subfaults", subfault, ("source",),
                                               chunksizes=(SOURCE_CHUNK,), **packing)
        subfault_variable.units = SUBFAULT_UNITS
        offsets = out.createVariable("sroffsets", "u4", ("sroffset", "direction"),
                                     chunksizes=(SOURCE_CHUNK, 3), **packing)
        rates = []
        for c in "123":
            variable = out.createVariable(f"sliprates{c}", "f8", (f"sample{c}",),
                                          chunksizes=(SAMPLE_CHUNK,), **packing)
            variable.units = "m/s"
            rates.append(variable)
        out.setncatts(attributes)
        if len(centres):
            centre_variable[:] = centres
            subfault_variable[:] = subfaults
        offsets[:] = np.stack([row_offsets for row_offsets, _ in rows], axis=1).astype("<u4")
        for variable, (_, samples) in zip(rates, rows):
            if samples.size:
                variable[:] = samples
