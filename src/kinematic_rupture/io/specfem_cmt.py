"""A multi-point CMTSOLUTION for SPECFEM3D (Cartesian), one 13-line block a source: each
slipping subfault, or each patch of neighbouring subfaults on one plane; with external
source-time-function files, 14-line blocks that name them.

SPECFEM's rules, from its sources at 7a1c764 (src/specfem3D/get_cmt.f90,
read_external_stf.f90, comp_source_time_function.f90; src/shared/
count_number_of_sources.f90; its manual's chapter on running the solver and Appendix A):

- a block is 13 lines (14 with USE_EXTERNAL_SOURCE_FILE), the line count an exact multiple,
  so there are no blank or comment lines; line 1 holds a word, then year, month, day,
  hour, minute, second (only the first block's date is used; it is a placeholder here),
  and its free text after the numbers carries this file's conventions; lines 2 to 13 are
  read after the first ':';
- latorUTM is the latitude (y), longorUTM the longitude (x), depth in km below the mesh's
  surface; the moment tensor in dyne cm in the Harvard frame, r up, t south, p east
  (Aki and Richards' tensor mapped as tensor.harvard does);
- SPECFEM's source time function is a Gaussian moment rate exp(-((t - shift)/tau)^2) /
  (sqrt(pi) tau) with tau = hdur / 1.628 (SOURCE_DECAY_MIMIC_TRIANGLE), so its variance
  is tau^2 / 2; SPECFEM then subtracts the smallest time shift from all of them.


The fit of each source's pulse: the time shift is the centroid time of its moment rate,
onset (TINIT) plus the moment-weighted mean of its samples' times, sample k covering
[k DT, (k + 1) DT) as SRF's DT times the sum of the samples = slip has it; the half
duration makes SPECFEM's Gaussian as wide as the pulse: hdur = 1.628 sqrt(2) sigma, sigma^2
the second central moment of the moment rate (each sample's interval counted whole, so
with DT^2 / 12 of its own). A patch's moment tensor is the sum of its subfaults' tensors
(so its moment is kept exactly), its time shift the moment-weighted mean of theirs (its
centroid time, kept exactly), its variance theirs about that centroid (the law of total
variance), and its position their moment-weighted mean. Time shifts are written as they
are (the rupture's clock, 0 at its start); SPECFEM subtracts the smallest.

With `stf_dt`, each source gets a file of its normalised moment history (0 to 1, not the
rate, as SPECFEM's example README asks) sampled every stf_dt from the simulation's start
for `stf_nstep` steps, its own delay inside it (SPECFEM applies no time shift to a file's
function), DT and NSTEP as '#' comment lines, which SPECFEM's reader skips; the blocks
then carry time shift 0 and half duration 0 and a 14th line naming the file.

Rigidity: from VS and DEN of the SRF where it gives them, else from the velocity model
(the generic crust without one). Points that do not slip are left out.
"""

import math
import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from ..checks import SettingError
from ..crust import GenericCrust, LayeredModel
from ..files import FileSet
from ..srf import SrfError, SrfFile
from .common import NM_TO_DYNE_CM, Source, as_srf, moment_nm, one_direction, positive_option, \
    slip_rigidity_pa
from . import text
from .tensor import harvard, ned_tensor

__all__ = ["write_specfem_cmt", "OPTIONS"]

FORMAT = "specfem-cmt"
OPTIONS = ("patch_km", "stf_dt", "stf_nstep", "stf_prefix", "velocity_model")

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

# SPECFEM's setup/constants.h.in: hdur = 1.628 tau for a Gaussian mimicking a triangle.
SOURCE_DECAY_MIMIC_TRIANGLE = 1.628
# A placeholder origin time: SPECFEM checks the first block's date and uses no other.
ORIGIN = "2000  1  1  0  0  0.00"
CONVENTIONS = ("kinematic-rupture: Harvard r-up t-south p-east, dyne-cm, depth km down, "
               "time shift = centroid, hdur = 1.628 sqrt(2) sigma")
# Values in all external STF files together, past which patches are the way (each file
# holds NSTEP values).
MAX_STF_VALUES = 20_000_000


@dataclass(frozen=True, eq=False)
class Sources:
    """The point sources: moment (N m), Harvard tensor (N, 6) in N m, centroid time and
    variance of the moment rate (s, s^2), position, and the members' moment histories."""

    moment_nm: FloatArray
    tensor_nm: FloatArray
    centroid_s: FloatArray
    variance_s2: FloatArray
    lon: FloatArray
    lat: FloatArray
    depth_km: FloatArray
    members: IntArray  # the source each slipping point belongs to
    points: IntArray  # the slipping points, in the order of `members`
    point_moment_nm: FloatArray  # their moments


def write_specfem_cmt(source: Source, path: str | os.PathLike[str], patch_km: float | None = None,
                      stf_dt: float | None = None, stf_nstep: int | None = None,
                      stf_prefix: str = "DATA/",
                      velocity_model: GenericCrust | LayeredModel | None = None) -> None:
    """Writes a rupture as a multi-point CMTSOLUTION for SPECFEM3D (Cartesian).

    Parameters
    ----------
    source : SrfFile or Rupture
        What `read_srf` gives, or a rupture just built.
    path : str or os.PathLike
        The file to write: complete or absent.
    patch_km : float, optional
        Merge the subfaults of each plane into patches of about this side, km; one source a
        slipping subfault by default.
    stf_dt : float, optional
        Write external source-time-function files sampled every `stf_dt` seconds, into the
        directory PATH_stf beside the file, and name them in 14-line blocks.
    stf_nstep : int, optional
        Their number of samples; by default until the last source has ended. Only with
        `stf_dt`.
    stf_prefix : str
        What the file names in the blocks start with (SPECFEM opens them from its run
        directory; CMTSOLUTION sits in DATA/).
    velocity_model : GenericCrust or LayeredModel, optional
        The rigidity where the SRF has no VS and DEN; the generic crust by default.

    Raises
    ------
    SettingError
        A patch size or sample interval that is not positive, or `stf_nstep` without
        `stf_dt` or not a positive whole number.
    SrfError
        A point that opens (SLIP3), or whose slip turns as it slips, named by its number.
    OSError
        A path that cannot be written (nothing is left there, nor a directory of
        source-time functions made for it).
    """
    if patch_km is not None:
        patch_km = positive_option("patch_km", patch_km, "km")
    if stf_dt is not None:
        stf_dt = positive_option("stf_dt", stf_dt, "s")
    if stf_nstep is not None and (stf_dt is None or isinstance(stf_nstep, bool)
                                  or not isinstance(stf_nstep, int) or stf_nstep < 1):
        raise SettingError("stf_nstep", stf_nstep, "must be a positive whole number, with --stf-dt")
    srf_file = as_srf(source)
    sources = point_sources(srf_file, patch_km, velocity_model)
    final = Path(path)
    directory = final.with_name(f"{final.name}_stf")
    names = None
    made = stf_dt is not None and not directory.exists()
    try:
        with FileSet() as files:
            if stf_dt is not None:
                names = write_histories(files, srf_file, sources, directory, stf_dt, stf_nstep,
                                        stf_prefix)
            with files.open(final, "wb") as stream:
                stream.write(cmt_text(sources, names).data)
            files.commit()
    except BaseException:
        if made:
            remove_if_empty(directory)
        raise


def remove_if_empty(directory: Path) -> None:
    try:
        directory.rmdir()
    except OSError:
        pass


def point_sources(srf_file: SrfFile, patch_km: float | None,
                  velocity_model: GenericCrust | LayeredModel | None) -> Sources:
    points = srf_file.points
    slip = one_direction(points, FORMAT)
    rigidity, _ = slip_rigidity_pa(points, velocity_model)
    moment = moment_nm(points, slip.slip_cm, rigidity)
    counts = slip.counts()
    sums, first, second = row_moments(slip.rates, slip.offsets)
    slipping = np.flatnonzero((moment != 0) & (counts > 0) & (sums != 0))
    # The moment rate's centroid and variance in each point's own time: sample k covers
    # [k DT, (k + 1) DT).
    dt = points.dt_s
    centroid = points.tinit_s + dt * first
    variance = dt**2 * (np.maximum(second - first**2, 0.0) + 1.0 / 12.0)
    tensor = harvard(ned_tensor(points.strike_deg, points.dip_deg, slip.rake_deg))
    if patch_km is None:
        members = np.arange(slipping.size, dtype=np.int64)
    else:
        members = patches(srf_file, patch_km)[slipping]
        _, members = np.unique(members, return_inverse=True)
        members = members.astype(np.int64).ravel()
    count = int(members.max()) + 1 if members.size else 0
    weight = moment[slipping]

    def total(values: FloatArray) -> FloatArray:
        summed: FloatArray = np.bincount(members, weights=values, minlength=count).astype(np.float64)
        return summed

    patch_moment = total(weight)
    mean_centroid = total(weight * centroid[slipping]) / patch_moment
    spread = variance[slipping] + (centroid[slipping] - mean_centroid[members]) ** 2
    # Longitudes are averaged about each source's first member, across the antimeridian too.
    lon0 = points.lon[slipping][np.unique(members, return_index=True)[1]]
    turned = (points.lon[slipping] - lon0[members] + 180.0) % 360.0 - 180.0
    return Sources(
        moment_nm=patch_moment,
        tensor_nm=np.stack([total(weight * tensor[slipping, c]) for c in range(6)], axis=-1),
        centroid_s=mean_centroid, variance_s2=total(weight * spread) / patch_moment,
        lon=(lon0 + total(weight * turned) / patch_moment + 180.0) % 360.0 - 180.0,
        lat=total(weight * points.lat[slipping]) / patch_moment,
        depth_km=total(weight * points.depth_km[slipping]) / patch_moment,
        members=members, points=slipping, point_moment_nm=weight)


def row_moments(rates: FloatArray, offsets: IntArray) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Per row: the sum of its samples s_k, and the mean of (k + 1/2) and of (k + 1/2)^2
    weighted by them (0 for an empty row or one that sums to 0)."""
    counts = np.diff(offsets)
    if not rates.size:
        zero = np.zeros(counts.size)
        return zero, zero, zero
    middle = np.arange(rates.size, dtype=np.float64) - np.repeat(offsets[:-1], counts) + 0.5
    starts = np.minimum(offsets[:-1], rates.size - 1)
    once = rates * middle
    sums, first, second = (np.where(counts > 0, np.add.reduceat(values, starts), 0.0)
                           for values in (rates, once, once * middle))
    divide = np.where(sums != 0, sums, 1.0)
    return sums, first / divide, second / divide


def patches(srf_file: SrfFile, patch_km: float) -> IntArray:
    """Each point's patch: blocks of about patch_km x patch_km cells of one plane (those at
    a plane's far edges take what is left)."""
    planes, count = srf_file.planes, len(srf_file.points)
    if not srf_file.planes_hold_points:
        raise SrfError(f"has {count} points{' and no PLANE block' if not planes else ''}"
                       f"{'' if not planes else ', not the cells its PLANE block counts'}; "
                       "merging into patches needs each plane's cells")
    labels, first = [], 0
    for plane in planes:
        along = max(1, min(plane.nstk, round(patch_km * plane.nstk / plane.length_km)))
        down = max(1, min(plane.ndip, round(patch_km * plane.ndip / plane.width_km)))
        index = np.arange(plane.nstk * plane.ndip)
        columns = math.ceil(plane.nstk / along)
        labels.append(first + (index // plane.nstk // down) * columns + (index % plane.nstk) // along)
        first += columns * math.ceil(plane.ndip / down)
    return np.concatenate(labels).astype(np.int64)


def cmt_text(sources: Sources, names: list[str] | None) -> text.Bytes:
    """Every block, 13 lines each (14 naming its STF file), formatted a column at a time
    (text.py); the numbers are right-aligned after their labels. The array's buffer is
    the text."""
    count = len(sources.moment_nm)
    if not count:
        return np.zeros((0, 0), dtype=np.uint8)
    hdur = SOURCE_DECAY_MIMIC_TRIANGLE * np.sqrt(2.0 * sources.variance_s2)
    shift = sources.centroid_s
    if names is not None:  # SPECFEM applies neither to a file's function
        shift, hdur = np.zeros(count), np.zeros(count)
    tensor = sources.tensor_nm * NM_TO_DYNE_CM
    header = (f"PDE {ORIGIN} {sources.lat[0]:.4f} {sources.lon[0]:.4f} {sources.depth_km[0]:.3f} "
              f"0.0 0.0 {CONVENTIONS}\n").encode("ascii")
    pieces: list[bytes | text.Bytes] = [
        header, b"event name:     source_",
        text.whole_numbers(np.arange(1, count + 1), max(7, len(str(count)))),
        b"\ntime shift:    ", text.fixed(shift, 6, "time shift"),
        b"\nhalf duration: ", text.fixed(hdur, 6, "half duration"),
        b"\nlatorUTM:      ", text.fixed(sources.lat, 6, "latitude"),
        b"\nlongorUTM:     ", text.fixed(sources.lon, 6, "longitude"),
        b"\ndepth:         ", text.fixed(sources.depth_km, 6, "depth")]
    for label, column in zip(("Mrr", "Mtt", "Mpp", "Mrt", "Mrp", "Mtp"), tensor.T):
        pieces += [f"\n{label}:          ".encode("ascii"), text.scientific(column, 9, label)]
    pieces.append(b"\n")
    if names is not None:
        pieces += [np.frombuffer("".join(names).encode("ascii"), dtype=np.uint8).reshape(count, -1),
                   b"\n"]
    return text.lines(pieces)


def write_histories(files: FileSet, srf_file: SrfFile, sources: Sources, directory: Path,
                    dt: float, nstep: int | None, prefix: str) -> list[str]:
    """Each source's moment history (0 to 1) every dt from time 0, one file each; their
    names as the blocks give them."""
    points = srf_file.points
    slip = one_direction(points, FORMAT)
    chosen = sources.points
    counts = slip.counts()
    ends = points.tinit_s[chosen] + counts[chosen] * points.dt_s[chosen]
    steps = nstep if nstep is not None else int(math.ceil(float(ends.max(initial=0.0)) / dt)) + 1
    total = steps * len(sources.moment_nm)
    if total > MAX_STF_VALUES:
        raise SettingError("stf_dt", dt, f"{len(sources.moment_nm):,} files of {steps:,} samples "
                           f"would hold {total:,} values, more than {MAX_STF_VALUES:,}: merge "
                           "subfaults into patches (--patch-km) or sample more coarsely")
    directory.mkdir(exist_ok=True)
    histories = moment_histories(slip.rates, slip.offsets, points.tinit_s, points.dt_s, sources,
                                 dt, steps)
    names = []
    for number, history in enumerate(histories, start=1):
        name = f"stf_{number:07d}.txt"
        body = (f"# DT {dt!r}\n# NSTEP {steps}\n# moment history (0 to 1) of source {number}; "
                "time 0 is the simulation's start\n" + ("%.7e\n" * steps) % tuple(history.tolist()))
        with files.open(directory / name, "w") as stream:
            stream.write(body)
        names.append(f"{prefix}{directory.name}/{name}")
    return names


def moment_histories(rates: FloatArray, offsets: IntArray, tinit: FloatArray, dt: FloatArray,
                     sources: Sources, step: float, steps: int) -> FloatArray:
    """(sources, steps) moment histories, 0 to 1, at times 0, step, 2 step, ...: each
    source's members' cumulative slip, linear within each sample's interval (sample k
    covering [k DT, (k + 1) DT)), weighted by their share of its moment. A member counts
    whole after its end, and is evaluated only at the times while it slips."""
    counts = np.diff(offsets)
    running = np.concatenate([[0.0], np.cumsum(rates)])
    share = sources.point_moment_nm / sources.moment_nm[sources.members]
    points = sources.points
    start, n, interval = tinit[points], counts[points], dt[points]
    first = np.clip(np.ceil(start / step), 0, steps).astype(np.int64)
    after = np.clip(np.floor((start + n * interval) / step) + 1, first, steps).astype(np.int64)
    lengths = after - first
    member = np.repeat(np.arange(points.size), lengths)
    index = np.repeat(first, lengths) + np.arange(int(lengths.sum())) \
        - np.repeat(np.concatenate([[0], np.cumsum(lengths)])[:-1], lengths)
    position = np.clip((index * step - start[member]) / interval[member], 0, n[member])
    whole = np.minimum(np.floor(position), n[member] - 1).astype(np.int64)
    base = offsets[points][member]
    total = running[offsets[points] + n] - running[offsets[points]]
    below = running[base + whole] - running[base]
    value = (below + (position - whole) * rates[np.minimum(base + whole, rates.size - 1)]) \
        / np.where(total != 0, total, 1.0)[member]
    cells = len(sources.moment_nm) * steps
    owner = sources.members * steps
    during = np.bincount(owner[member] + index, weights=share[member] * value, minlength=cells)
    # From a member's end on, its whole share: a step, summed along time.
    ended = after < steps
    steps_up = np.bincount(owner[ended] + after[ended], weights=share[ended], minlength=cells)
    histories: FloatArray = (during.reshape(-1, steps)
                             + np.cumsum(steps_up.reshape(-1, steps), axis=1)).astype(np.float64)
    return histories
