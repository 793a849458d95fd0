"""One measured statistic against what it should be, and the ensemble statistics the
comparisons are made of.

.. autosummary::

   Result
   SpectrumRatios
   spectrum_ratios
   stress_drops_pa
   jackknife_error
   ratio_of_sums
   pooled_correlation
"""

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .. import brune
from .measure import SPECTRUM_LOWEST_HZ, Measures

__all__ = ["Result", "SpectrumRatios", "spectrum_ratios", "stress_drops_pa", "jackknife_error",
           "ratio_of_sums", "pooled_correlation"]

FloatArray = npt.NDArray[np.float64]

# A statistic whose ensemble estimate has a sampling error (a share of a few dozen draws)
# passes within this many standard errors of its range.
STANDARD_ERRORS = 2.0


@dataclass(frozen=True)
class Result:
    """A statistic of one ensemble against [low, high].

    Parameters
    ----------
    key : str
        The statistic's name in the report's tables and figures.
    statistic : str
        What it is, in words.
    scenario : str
        The ensemble's label.
    measured : float
        Its value; NaN is a statistic the ensemble cannot give (no subfault there).
    low, high : float
        The range it should lie in.
    expected : str
        What it should be, in words.
    source : str
        Who says so.
    method : str
        How it is measured.
    form : str
        The format of `measured` in the report.
    error : float
        The estimate's standard error, which widens the range by `STANDARD_ERRORS` of it.
    """

    key: str
    statistic: str
    scenario: str
    measured: float
    low: float
    high: float
    expected: str
    source: str
    method: str
    form: str = ".3g"
    error: float = 0.0

    @property
    def applies(self) -> bool:
        """Whether the ensemble gives the statistic."""
        return not math.isnan(self.measured)

    @property
    def passed(self) -> bool:
        """Whether it lies within its range, widened by its error."""
        widen = STANDARD_ERRORS * self.error
        return bool(self.low - widen <= self.measured <= self.high + widen)

    @property
    def measured_text(self) -> str:
        """The value as the report shows it, with its error."""
        if not self.applies:
            return "n/a"
        text = f"{self.measured:{self.form}}"
        return f"{text} ± {self.error:.2g}" if self.error else text

    @property
    def verdict(self) -> str:
        """"pass", "fail" or "n/a"."""
        return "n/a" if not self.applies else "pass" if self.passed else "fail"


def rows_sum(measures: Sequence[Measures], *names: str) -> FloatArray:
    """Per-rupture sums, one row per rupture.

    Parameters
    ----------
    measures : sequence of Measures
        The ruptures.
    *names : str
        Keys of their `sums`.

    Returns
    -------
    numpy.ndarray
        (ruptures, names).
    """
    return np.array([[m.sums[name] for name in names] for m in measures])


def ratio_of_sums(measures: Sequence[Measures], top: str, bottom: str) -> float:
    """A pooled ratio over an ensemble: the sum of one of the ruptures' sums over another's.

    Parameters
    ----------
    measures : sequence of Measures
        The ruptures.
    top, bottom : str
        Keys of their `sums`.

    Returns
    -------
    float
        The ratio; NaN when the bottom sums to nothing.
    """
    totals = rows_sum(measures, top, bottom).sum(axis=0)
    return float(totals[0] / totals[1]) if totals[1] > 0 else math.nan


def pooled_correlation(measures: Sequence[Measures], name: str) -> float:
    """A correlation pooled over an ensemble from its ruptures' sums of products.

    Parameters
    ----------
    measures : sequence of Measures
        The ruptures.
    name : str
        The sums ``NAME_xy``, ``NAME_xx`` and ``NAME_yy``.

    Returns
    -------
    float
        The correlation; NaN without variance.
    """
    xy, xx, yy = rows_sum(measures, f"{name}_xy", f"{name}_xx", f"{name}_yy").sum(axis=0)
    return float(xy / math.sqrt(xx * yy)) if xx > 0 and yy > 0 else math.nan


def jackknife_error(values: Sequence[float], estimate: Callable[[FloatArray], float]) -> float:
    """The jackknife standard error (Efron and Stein 1981) of an estimate over ruptures.

    Parameters
    ----------
    values : sequence
        One value (or row) per rupture.
    estimate : callable
        The estimate of an array of them.

    Returns
    -------
    float
        The standard error; NaN from fewer than two.
    """
    array = np.asarray(values, dtype=np.float64)
    count = len(array)
    if count < 2:
        return math.nan
    left_out = np.array([estimate(np.delete(array, k, axis=0)) for k in range(count)])
    return math.sqrt((count - 1) / count * float(((left_out - left_out.mean()) ** 2).sum()))


@dataclass(frozen=True, eq=False)
class SpectrumRatios:
    """Each rupture's band averages over its own fitted Brune spectrum, on the bands all share
    from the median corner to the lowest of the ruptures' highest frequencies.

    Attributes
    ----------
    band_hz : numpy.ndarray
        The bands' centres, Hz.
    log_ratios : numpy.ndarray
        Natural logarithms of the ratios, (ruptures, bands).
    """

    band_hz: FloatArray
    log_ratios: FloatArray  # (ruptures, bands)

    def mean_ratio(self) -> FloatArray:
        """The geometric mean over ruptures, band by band.

        Returns
        -------
        numpy.ndarray
            One ratio a band.
        """
        return np.asarray(np.exp(self.log_ratios.mean(axis=0)), dtype=np.float64)


def spectrum_ratios(measures: Sequence[Measures]) -> SpectrumRatios:
    """The ratios of an ensemble's spectra over their fitted Brune spectra.

    Parameters
    ----------
    measures : sequence of Measures
        The ruptures.

    Returns
    -------
    SpectrumRatios
        On the same bands for every rupture, from the median corner to the lowest of the
        ruptures' highest frequencies, where the last band ends; none when a rupture's
        cells resolve nothing above `SPECTRUM_LOWEST_HZ`.
    """
    lowest = float(np.median([m.corner_hz for m in measures]))
    highest = min(m.highest_hz for m in measures)
    if not highest > SPECTRUM_LOWEST_HZ:  # a rupture resolves no band: nothing to compare
        return SpectrumRatios(np.zeros(0), np.zeros((len(measures), 0)))
    banded = [brune.band_average(m.spectrum_hz, m.spectrum_nm, SPECTRUM_LOWEST_HZ, highest)
              for m in measures]
    shared = np.round(banded[0][0], 9)
    for centres, _ in banded[1:]:
        shared = np.intersect1d(shared, np.round(centres, 9))
    band = shared[shared >= lowest]
    ratios = []
    for m, (centres, levels) in zip(measures, banded, strict=True):
        level = levels[np.isin(np.round(centres, 9), band)]
        ratios.append(np.log(level / brune.brune(band, m.moment_nm, m.corner_hz)))
    return SpectrumRatios(band, np.array(ratios).reshape(len(measures), band.size))


def stress_drops_pa(measures: Sequence[Measures]) -> FloatArray:
    """Brune's stress drop of each rupture's fitted corner, with beta the shear-wave speed
    where it slipped (its slip-weighted mean VS).

    Parameters
    ----------
    measures : sequence of Measures
        The ruptures.

    Returns
    -------
    numpy.ndarray
        Stress drops, Pa.
    """
    return np.array([brune.stress_drop_from_corner(m.moment_nm, m.corner_hz, m.source_vs_m_s)
                     for m in measures])
