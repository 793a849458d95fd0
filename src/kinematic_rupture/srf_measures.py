"""What a Standard Rupture Format file amounts to: a point's slip rate, the file's moment,
its points' rigidity, its duration and its moment rate. Units are the file's (cm, cm/s,
cm^2) where the names say so, else SI (N m, Pa, s).

.. autosummary::

   srf_moment_nm
   srf_moment_rate
   srf_moment_spectrum
   srf_duration_s
   srf_rigidity_pa
   point_rigidity_pa
   point_slip_rate_cm_s
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import numpy.typing as npt

from . import memory
from .crust import GenericCrust, LayeredModel, rigidity_pa
from .errors import SrfError
from .moment import SPECTRUM_OVERSAMPLING, moment_rate, spectrum_below_nyquist
from .pulses import rupture_duration_s

if TYPE_CHECKING:  # the reader's SrfFile measures itself through this module
    from .srf_reader import SrfFile, SrfPoints

__all__ = ["srf_moment_nm", "srf_moment_rate", "srf_moment_spectrum", "srf_duration_s",
           "srf_rigidity_pa", "point_rigidity_pa", "point_slip_rate_cm_s"]

FloatArray = npt.NDArray[np.float64]

M_TO_CM = 100.0
M2_TO_CM2 = 1e4
# Bytes a sample of the moment rate holds while it is summed: itself and the component's
# part added to it.
RATE_BYTES_PER_SAMPLE = 16
# And while its spectrum is taken: the transform is zero-padded to up to eight times the
# samples, and holds its input, its complex output, the amplitudes and the frequencies.
SPECTRUM_BYTES_PER_SAMPLE = RATE_BYTES_PER_SAMPLE + 8 * (8 + 16 + 8 + 8)


def point_slip_rate_cm_s(points: SrfPoints, k: int) -> FloatArray:
    """A point's slip rate: its components' samples summed where they overlap.

    Parameters
    ----------
    points : SrfPoints
        The file's points.
    k : int
        The point.

    Returns
    -------
    numpy.ndarray
        cm/s, every DT from its TINIT.
    """
    rows = [points.rates[c][points.offsets[c][k]:points.offsets[c][k + 1]] for c in range(3)]
    total = np.zeros(max(row.size for row in rows))
    for row in rows:
        total[:row.size] += row
    return total


def srf_moment_nm(srf: SrfFile, rigidity_pa: FloatArray) -> float:
    """The file's moment: M0 = sum of mu A abs(slip) over the points.

    Parameters
    ----------
    srf : SrfFile
        The file.
    rigidity_pa : numpy.ndarray
        Each point's rigidity, Pa (`point_rigidity_pa`).

    Returns
    -------
    float
        N m.
    """
    points = srf.points
    return float((rigidity_pa * points.area_cm2 / M2_TO_CM2 * points.total_slip_cm() / M_TO_CM).sum())


def srf_rigidity_pa(points: SrfPoints) -> FloatArray:
    """The rigidity mu = DEN VS^2 of a version 2.0 file's points.

    Parameters
    ----------
    points : SrfPoints
        The file's points.

    Returns
    -------
    numpy.ndarray
        Pa; NaN where the file gives no VS and DEN.
    """
    return (points.density_g_cm3 * 1e3) * (points.vs_cm_s / 100.0) ** 2


def srf_duration_s(srf: SrfFile) -> float:
    """When the last point stops slipping (see `pulses.rupture_duration_s`).

    Parameters
    ----------
    srf : SrfFile
        The file.

    Returns
    -------
    float
        s from the file's time 0.
    """
    points = srf.points
    return rupture_duration_s(points.tinit_s, points.nonzero_spans()[1], points.dt_s)


def srf_moment_rate(srf: SrfFile, rigidity_pa: FloatArray) -> tuple[float, FloatArray]:
    """The file's moment rate on its finest DT. The three slip components are summed as if
    collinear, which is exact for files whose slip is all in one component, as most
    writers' are.

    Parameters
    ----------
    srf : SrfFile
        The file.
    rigidity_pa : numpy.ndarray
        Each point's rigidity, Pa.

    Returns
    -------
    tuple
        (dt, s; the moment rate at multiples of dt, N m/s).

    Raises
    ------
    SrfError
        A point that starts before time 0.
    MemoryError
        A moment rate from 0 to the last sample that needs more memory than is left.
    """
    dt = checked_grid(srf, 1, RATE_BYTES_PER_SAMPLE)
    return dt, summed_rate(srf, rigidity_pa, dt)


def srf_moment_spectrum(srf: SrfFile, rigidity_pa: FloatArray) -> tuple[FloatArray, FloatArray]:
    """The amplitude spectrum of the file's moment rate up to the Nyquist frequency of its
    finest DT, its samples read as impulses at their own times: summed
    `moment.SPECTRUM_OVERSAMPLING` times finer than DT, so that points starting between
    samples do not fold the spectrum above that frequency into it.

    Parameters
    ----------
    srf : SrfFile
        The file.
    rigidity_pa : numpy.ndarray
        Each point's rigidity, Pa.

    Returns
    -------
    tuple of numpy.ndarray
        (frequency, Hz; amplitude, N m).

    Raises
    ------
    SrfError, MemoryError
        As `srf_moment_rate`.
    """
    fine = checked_grid(srf, SPECTRUM_OVERSAMPLING, SPECTRUM_BYTES_PER_SAMPLE)
    return spectrum_below_nyquist(summed_rate(srf, rigidity_pa, fine), fine,
                                  SPECTRUM_OVERSAMPLING)


def summed_rate(srf: SrfFile, rigidity_pa: FloatArray, dt_s: float) -> FloatArray:
    """The three components' moment rates summed on a grid of `dt_s` from time 0."""
    points = srf.points
    weight = rigidity_pa * points.area_cm2 / M2_TO_CM2 / M_TO_CM
    rate = np.zeros(1)
    for c in range(3):
        part = moment_rate(points.tinit_s, points.offsets[c], points.rates[c], weight, dt_s,
                           points.dt_s)
        if part.size > rate.size:
            part[:rate.size] += rate
            rate = part
        else:
            rate[:part.size] += part
    return rate


def checked_grid(srf: SrfFile, oversampling: int, bytes_per_sample: int) -> float:
    """The interval of a moment rate `oversampling` times finer than the file's finest DT,
    refused before anything is made for a point starting before time 0 (SrfError) or a
    grid from 0 to the last sample needing more than the process has left (MemoryError):
    a file's TINIT may lie hours from 0 and its DT be tiny, and the grid spans them all."""
    points = srf.points
    if not len(points):
        return 1.0 / oversampling
    if points.tinit_s.min() < 0:
        first = int(np.argmin(points.tinit_s))
        raise SrfError(f"point {first + 1} starts at TINIT {points.tinit_s[first]:g} s: its moment "
                       "rate is summed from time 0, before which no point may start")
    dt = float(points.dt_s.min()) / oversampling
    end = 0.0
    for c in range(3):
        lengths = np.diff(points.offsets[c])
        end = max(end, float((points.tinit_s + np.maximum(lengths - 1, 0) * points.dt_s).max()))
    samples = int(end / dt) + 2
    need, left = samples * bytes_per_sample, memory.available_bytes()
    if need > left:
        raise MemoryError(f"the file's moment rate every {dt:.3g} s to its last sample at "
                          f"{end:.6g} s needs {memory.gibibytes(need)} ({samples:,} samples); "
                          f"{memory.gibibytes(left)} left")
    return dt


def point_rigidity_pa(points: SrfPoints,
                      velocity_model: GenericCrust | LayeredModel | None = None) -> FloatArray:
    """The rigidity at every point: DEN VS^2 where the file gives them, else the velocity
    model's (the generic crust's without one) at the point's depth.

    Parameters
    ----------
    points : SrfPoints
        The file's points.
    velocity_model : GenericCrust or LayeredModel, optional
        The crust for points without VS and DEN.

    Returns
    -------
    numpy.ndarray
        Pa, one a point.
    """
    given = srf_rigidity_pa(points)
    known = given > 0
    if known.all():
        return given
    model = velocity_model if velocity_model is not None else GenericCrust()
    fallback = rigidity_pa(model.shear_speed_km_s(points.depth_km),
                           model.density_g_cm3(points.depth_km))
    return np.where(known, given, fallback)
