"""What every export starts from: the source as an SRF file's points, its slip along one
direction a point, its rigidity, and the checks shared by the formats' options.

.. autosummary::

   as_srf
   one_direction
   OneDirection
   slip_rigidity_pa
   moment_nm
   positive_option
   choice
   distinct_output
"""

import math
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from .. import srf
from ..checks import SettingError, quote
from ..crust import GenericCrust, LayeredModel, rigidity_pa
from ..rupture import Rupture
from ..srf import SrfError, SrfFile, SrfPoints
from ..srf_reader import planes_from_header

__all__ = ["as_srf", "carried_planes", "one_direction", "OneDirection", "slip_rigidity_pa",
           "moment_nm", "positive_option", "choice", "distinct_output"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]
Source = SrfFile | Rupture

CM_TO_M = 0.01
CM2_TO_M2 = 1e-4
NM_TO_DYNE_CM = 1e7
# mu = DEN VS^2 in g/cm^3 (cm/s)^2 is dyne/cm^2, a tenth of a pascal.
DYNE_CM2_TO_PA = 0.1
# Two samples of one point are taken as proportional (one slip direction) when they
# differ from it by less than this fraction of the point's largest slip rate: an SRF file
# holds six significant digits.
PROPORTIONAL = 1e-5


def carried_planes(srf_file: SrfFile, name: str) -> list[srf.SrfPlane]:
    """The PLANE block a format copies for its solver, refused when its planes' cells are not
    the file's points: the reader keeps such points as they stand, but a solver laying them
    on the planes' grids would misplace every one.

    Parameters
    ----------
    srf_file : SrfFile
        The file exported.
    name : str
        The format, for the refusal.

    Returns
    -------
    list of SrfPlane
        Its planes (none without a PLANE block).

    Raises
    ------
    SrfError
        Planes whose NSTK x NDIP do not add up to the points.
    """
    if srf_file.planes and not srf_file.planes_hold_points:
        raise SrfError(f"its PLANE block declares {srf_file.plane_cells:,} subfaults (NSTK x NDIP summed over its "
                       f"planes) and its POINTS blocks hold {len(srf_file.points):,}; {name} would "
                       f"carry the mismatch to the solver")
    return list(srf_file.planes)


def as_srf(source: Source) -> SrfFile:
    """The source as the points of an SRF 2.0 file: an SrfFile as it is, a Rupture as its
    SRF file would read back, without its text's rounding.

    Parameters
    ----------
    source : SrfFile or Rupture
        What is exported.

    Returns
    -------
    SrfFile
        Its points.

    Raises
    ------
    TypeError
        Anything else.
    """
    if isinstance(source, SrfFile):
        return source
    if not isinstance(source, Rupture):
        raise TypeError(f"an export takes an SrfFile or a Rupture, not {type(source).__name__}")
    columns = srf.point_columns(source)
    count = len(columns["lon"])
    offsets = source.offsets.astype(np.int64)
    empty_offsets = np.zeros(count + 1, dtype=np.int64)
    planes = planes_from_header(srf.plane_header(source))
    block = np.zeros(count, dtype=np.int64)
    for number, start in enumerate(source.fault.plane_starts()[:-1]):
        block[start:] = number
    zero = np.zeros(count)
    points = SrfPoints(
        lon=columns["lon"], lat=columns["lat"], depth_km=columns["dep"],
        strike_deg=columns["stk"], dip_deg=columns["dip"],
        area_cm2=np.full(count, source.fault.cell_area_m2 * srf.M2_TO_CM2),
        tinit_s=columns["tinit"], dt_s=np.full(count, source.dt_s), vs_cm_s=columns["vs"],
        density_g_cm3=columns["den"], rake_deg=columns["rake"],
        slip_cm=(columns["slip"], zero, zero), offsets=(offsets, empty_offsets, empty_offsets),
        rates=(source.samples * srf.M_TO_CM, np.zeros(0), np.zeros(0)), block=block)
    return SrfFile("2.0", [], planes, points)


@dataclass(frozen=True, eq=False)
class OneDirection:
    """Each point's slip along its own rake alone, with its slip-rate rows.

    Parameters
    ----------
    rake_deg : numpy.ndarray
        Each point's rake, degrees.
    slip_cm : numpy.ndarray
        Its slip along it, cm.
    offsets : numpy.ndarray of int
        CSR offsets: point k's samples are ``rates[offsets[k]:offsets[k + 1]]``.
    rates : numpy.ndarray
        The slip-rate samples, cm/s.
    """

    rake_deg: FloatArray
    slip_cm: FloatArray
    offsets: IntArray
    rates: FloatArray

    def counts(self) -> IntArray:
        """Each point's samples.

        Returns
        -------
        numpy.ndarray of int
            One count a point.
        """
        return np.diff(self.offsets)


def one_direction(points: SrfPoints, format_name: str) -> OneDirection:
    """The points' slip along one direction each, as SW4, SPECFEM and point-source lists
    take it. Slip along u2 (RAKE + 90, Graves' SRF document) is folded into u1 where the
    two keep one direction throughout (samples in proportion, or u2 alone); slip that
    turns during a point's slip, or opens (u3), is refused naming the point.

    Parameters
    ----------
    points : SrfPoints
        The file's points.
    format_name : str
        The format, for a refusal.

    Returns
    -------
    OneDirection
        The slip along one direction a point.

    Raises
    ------
    SrfError
        A point that opens or whose slip turns while it slips.
    """
    counts = [np.diff(offsets) for offsets in points.offsets]
    opening = (points.slip_cm[2] != 0) | (counts[2] > 0)
    if opening.any():
        k = int(np.argmax(opening))
        raise SrfError(f"point {k + 1} opens (SLIP3 {points.slip_cm[2][k]:g} cm, NT3 "
                       f"{counts[2][k]}); {format_name} takes shear slip only")
    second = (points.slip_cm[1] != 0) | (counts[1] > 0)
    if not second.any():
        return OneDirection(points.rake_deg, points.slip_cm[0], points.offsets[0], points.rates[0])
    rake = points.rake_deg.copy()
    slip = points.slip_cm[0].copy()
    alone = second & (points.slip_cm[0] == 0) & (counts[0] == 0)
    rake[alone] += 90.0
    slip[alone] = points.slip_cm[1][alone]
    lengths = np.where(alone, counts[1], counts[0])
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    rates = np.empty(int(offsets[-1]))
    for number, chosen in ((0, ~alone), (1, alone)):
        rates[row_indices(offsets, chosen)] = points.rates[number][
            row_indices(points.offsets[number], chosen)]
    for point in np.flatnonzero(second & ~alone).tolist():
        rake[point], slip[point] = fold_point(points, point, rates[offsets[point]:offsets[point + 1]],
                                              format_name)
    return OneDirection(rake, slip, offsets, rates)


def row_indices(offsets: IntArray, chosen: npt.NDArray[np.bool_]) -> IntArray:
    """The positions of the chosen rows' samples, row after row."""
    starts, lengths = offsets[:-1][chosen], np.diff(offsets)[chosen]
    firsts = np.concatenate([[0], np.cumsum(lengths)[:-1]]).astype(np.int64)
    return np.repeat(starts - firsts, lengths) + np.arange(int(lengths.sum()))


def fold_point(points: SrfPoints, k: int, row: FloatArray, format_name: str) -> tuple[float, float]:
    """Point k's u1 and u2 as one slip: its rake and slip, its samples (`row`, holding u1's)
    turned into the rate along that direction in place. Refused unless u2 = c u1 sample by
    sample."""
    s1, s2 = float(points.slip_cm[0][k]), float(points.slip_cm[1][k])
    other = points.rates[1][points.offsets[1][k]:points.offsets[1][k + 1]]
    size = math.hypot(s1, s2)
    scale = max(float(np.abs(row).max(initial=0.0)), float(np.abs(other).max(initial=0.0)))
    if (other.size != row.size or size == 0
            or np.abs(other * s1 - row * s2).max(initial=0.0) > PROPORTIONAL * scale * size):
        raise SrfError(f"point {k + 1} slips along u1 and u2 in a direction that turns while "
                       f"it slips; {format_name} takes one slip direction a point (seissol-nrf "
                       f"takes both)")
    row[:] = (row * s1 + other * s2) / size
    return float(points.rake_deg[k]) + math.degrees(math.atan2(s2, s1)), size


def slip_rigidity_pa(points: SrfPoints,
                     velocity_model: GenericCrust | LayeredModel | None) -> tuple[FloatArray, str]:
    """Rigidity at every point, from VS and DEN where the file gives them, else from the
    velocity model (the generic crust without one) at the point's depth; and where it came
    from, in words.

    Parameters
    ----------
    points : SrfPoints
        The file's points.
    velocity_model : GenericCrust or LayeredModel or None
        The crust for points without VS and DEN.

    Returns
    -------
    tuple
        (rigidity, Pa, one a point; where it came from, in words).
    """
    given = srf.srf_rigidity_pa(points)
    known = given > 0
    model = velocity_model if velocity_model is not None else GenericCrust()
    if known.all():
        return given, "VS and DEN of the SRF file"
    fallback = rigidity_pa(model.shear_speed_km_s(points.depth_km),
                           model.density_g_cm3(points.depth_km))
    rigidity = np.where(known, given, fallback)
    return rigidity, (f"the {model.describe()}" if not known.any()
                      else f"VS and DEN where given, else the {model.describe()}")


def moment_nm(points: SrfPoints, slip_cm: FloatArray, rigidity: FloatArray) -> FloatArray:
    """Each point's moment, mu A slip.

    Parameters
    ----------
    points : SrfPoints
        The file's points (their areas).
    slip_cm : numpy.ndarray
        Their slip, cm.
    rigidity : numpy.ndarray
        Their rigidity, Pa.

    Returns
    -------
    numpy.ndarray
        N m, one a point.
    """
    moment: FloatArray = rigidity * points.area_cm2 * CM2_TO_M2 * slip_cm * CM_TO_M
    return moment


def positive_option(name: str, value: object, unit: str) -> float:
    """A format's option as a positive, finite number.

    Parameters
    ----------
    name : str
        The option, for a refusal.
    value : object
        Its value.
    unit : str
        Its unit, in words.

    Returns
    -------
    float
        The value.

    Raises
    ------
    SettingError
        Anything else.
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value) \
            or value <= 0:
        raise SettingError(name, value, f"must be a positive number of {unit}")
    return float(value)


def choice(name: str, value: object, valid: tuple[str, ...]) -> str:
    """A format's option as one of its valid words.

    Parameters
    ----------
    name : str
        The option, for a refusal.
    value : object
        Its value.
    valid : tuple of str
        The words it may be.

    Returns
    -------
    str
        The value.

    Raises
    ------
    SettingError
        Any other value.
    """
    if value not in valid:
        raise SettingError(name, value, f"must be one of {', '.join(valid)}")
    return str(value)


def distinct_output(source_path: str | os.PathLike[str] | None,
                    path: str | os.PathLike[str]) -> None:
    """Refuses an output that would overwrite the file it is exported from.

    Parameters
    ----------
    source_path : str or os.PathLike or None
        The file exported from, None for a rupture in memory.
    path : str or os.PathLike
        The output.

    Raises
    ------
    SettingError
        The same file; named ``output``.
    """
    if source_path is not None and Path(source_path).resolve() == Path(path).resolve():
        raise SettingError("output", quote(str(path)), "is the file exported from; name another")
