"""The ensembles a validation builds: one fault as given, or a suite across magnitudes
(strike-slip and reverse faults sized and placed by `Fault.for_magnitude`), each rupture
written as SRF text and measured from that text alone (`measure`).

.. autosummary::

   Scenario
   Ensemble
   single
   across_magnitudes
   suite_fault
   run
"""

import dataclasses
import functools
import io
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

from .. import scaling
from ..geometry import Fault
from ..hypocentre import DISTRIBUTIONS
from ..rupture import RuptureSettings, build_rupture
from ..srf import write_srf
from .measure import Measures, measures, written_text
from .vonkarman import VonKarmanFit, fit_errors, fit_von_karman, mean_periodogram

__all__ = ["Scenario", "Ensemble", "single", "across_magnitudes", "suite_fault", "run"]

# The two mechanisms of a suite: a vertical strike-slip fault (rake 180) and a reverse
# fault dipping 45 degrees (rake 90), as the Broadband Platform's validation scenarios.
MECHANISMS = {"strike-slip": (180.0, 90.0), "reverse": (90.0, 45.0)}
# A suite's cells: the finest of these that keeps a fault within SUITE_SUBFAULTS subfaults.
SUITE_CELLS_KM = (0.1, 0.2, 0.25, 0.5, 1.0)
SUITE_SUBFAULTS = 30_000
# A suite's sample interval: the longest of these that gives the mean rise time of
# Somerville et al. (1999) at least SAMPLES_PER_MEAN_RISE samples.
SUITE_DT_S = (0.005, 0.01, 0.02, 0.025, 0.05)
SAMPLES_PER_MEAN_RISE = 20


@dataclass(frozen=True)
class Scenario:
    """One ensemble's fault and settings (the seed and hypocentre set per rupture).

    Parameters
    ----------
    label : str
        Its name in the report.
    fault : Fault
        The fault.
    settings : RuptureSettings
        The settings of every rupture but its seed and hypocentre.
    magnitude : float
        Mw.
    mechanism : {"strike-slip", "reverse"}
        How the figures mark it.
    """

    label: str
    fault: Fault
    settings: RuptureSettings
    magnitude: float
    mechanism: str


@dataclass(frozen=True, eq=False)
class Ensemble:
    """One scenario's ruptures, measured.

    Attributes
    ----------
    scenario : Scenario
        The scenario.
    measures : list of Measures
        One a rupture, in the order of the seeds.
    seconds : float
        How long building and measuring took, s.
    """
    scenario: Scenario
    measures: list[Measures]
    seconds: float

    @functools.cached_property
    def slip_fit(self) -> tuple[VonKarmanFit, VonKarmanFit]:
        """The von Kármán fit to the ensemble's log slip, and its jackknife errors."""
        periodograms = [m.slip_periodogram for m in self.measures]
        first = self.measures[0]
        cells = (first.fit_cell_km, first.fit_averaged_km, first.fit_points)
        fit = fit_von_karman(mean_periodogram(periodograms), *cells)
        return fit, fit_errors(periodograms, *cells, whole=fit)


def suite_fault(magnitude: float, mechanism: str) -> Fault:
    """The fault of a suite's scenario, in the finest cells of `SUITE_CELLS_KM` that keep it
    within `SUITE_SUBFAULTS` subfaults.

    Parameters
    ----------
    magnitude : float
        Mw.
    mechanism : {"strike-slip", "reverse"}
        A vertical strike-slip fault (rake 180) or a reverse fault dipping 45 degrees (rake
        90).

    Returns
    -------
    Fault
        Sized and placed by `Fault.for_magnitude`.
    """
    rake, dip = MECHANISMS[mechanism]
    for cell in SUITE_CELLS_KM:
        fault = Fault.for_magnitude(magnitude, cell, rake_deg=rake, dip_deg=dip)
        if fault.subfault_count <= SUITE_SUBFAULTS:
            break
    return fault


def suite_dt_s(magnitude: float) -> float:
    rise = scaling.somerville_rise_time_s(scaling.moment_nm(magnitude))
    fitting = [dt for dt in SUITE_DT_S if dt * SAMPLES_PER_MEAN_RISE <= rise]
    return max(fitting) if fitting else SUITE_DT_S[0]


def across_magnitudes(magnitudes: Sequence[float], base: RuptureSettings) -> list[Scenario]:
    """A strike-slip and a reverse scenario at every magnitude, with the base settings'
    physics and a sample interval that gives the mean rise time at least 20 samples.

    Parameters
    ----------
    magnitudes : sequence of float
        The magnitudes.
    base : RuptureSettings
        The physics.

    Returns
    -------
    list of Scenario
        Every strike-slip scenario, then every reverse one.
    """
    scenarios = []
    for mechanism in MECHANISMS:
        for magnitude in magnitudes:
            settings = dataclasses.replace(base, magnitude=magnitude, dt_s=suite_dt_s(magnitude))
            scenarios.append(Scenario(f"{mechanism} Mw {magnitude:g}",
                                      suite_fault(magnitude, mechanism), settings, magnitude,
                                      mechanism))
    return scenarios


def single(fault: Fault, settings: RuptureSettings) -> Scenario:
    """The scenario of one fault and its settings.

    Parameters
    ----------
    fault : Fault
        The fault.
    settings : RuptureSettings
        Its settings.

    Returns
    -------
    Scenario
        Labelled by its magnitude, its mechanism from its first plane's rake.
    """
    mechanism = "strike-slip" if scaling.is_strike_slip(fault.planes[0].rake_deg) else "reverse"
    return Scenario(f"Mw {settings.magnitude:g}", fault, settings, settings.magnitude, mechanism)


def variation(scenario: Scenario, seed: int) -> RuptureSettings:
    """The settings of a scenario's rupture of `seed`: its hypocentre drawn from the seed
    and the slip, as `ensemble` draws it."""
    return dataclasses.replace(scenario.settings, seed=seed, hypocentre_km=None,
                               hypocentre_distribution=DISTRIBUTIONS[0])


def written_measures(scenario: Scenario, seed: int) -> Measures:
    """One rupture built, written as SRF 2.0 text, and measured from that text."""
    settings = variation(scenario, seed)
    rupture = build_rupture(scenario.fault, settings)
    text = io.StringIO()
    write_srf(text, rupture, "2.0")
    return measures(written_text(text.getvalue()), seed, scaling.moment_nm(settings.magnitude))


def run(scenario: Scenario, seeds: Sequence[int],
        progress: Callable[[int], None] | None = None) -> Ensemble:
    """Builds the rupture of every seed of a scenario, writes each as SRF 2.0 text and measures
    it from that text.

    Parameters
    ----------
    scenario : Scenario
        The scenario.
    seeds : sequence of int
        The seeds; each rupture's hypocentre is drawn from its seed and its slip.
    progress : callable, optional
        Called with 1 after each rupture.

    Returns
    -------
    Ensemble
        The ruptures' measures.
    """
    start = time.perf_counter()
    found = []
    for seed in seeds:
        found.append(written_measures(scenario, seed))
        if progress:
            progress(1)
    return Ensemble(scenario, found, time.perf_counter() - start)
