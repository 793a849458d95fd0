"""The ground motion of ensembles of ruptures against the NGA-West2 models, as the
Broadband Platform's validation against them does (Goulet et al. 2015, its Part B).

Scenarios (SCENARIOS): strike-slip Mw 6.0, 6.5, 7.0 and 7.5 on vertical faults, and
reverse Mw 6.5 and 7.0 on faults dipping 45 degrees with their top at 3 km (Part B's
reverse scenarios); strike-slip faults reach the surface but for Mw 6.0, whose top is at
2 km. Each fault is sized by the package's scaling (Fault.for_magnitude) in CELL_KM cells,
which resolve the rupture's phases past the band's 1 Hz (kinematics.largest_frequency_hz).

Stations: STATIONS_PER_RING at each Rjb of RING_DISTANCES_KM (5 to 100 km), spread evenly
in arc length over the footwall half of the contour at that Rjb (the side the fault does
not dip to; for a vertical fault, its left): around the fault's first end, along its side
and around its other end, none exactly end-on. Part B placed 40 stations at random
azimuths on the footwall at Rrup 20 and 50 km; these rings sample the same side at more
distances. Each ring is a distance bin.

Each rupture of a scenario (seeds FIRST_SEED...; hypocentres drawn from the seed as
`ensemble` draws them) is written as SRF text and read back, summed through the Green's
functions of the crust (kinematic_rupture.shaking), and reduced to RotD50 PSA at 5%
damping at the NGA-West2 periods from the band's limit to 10 s. The four models (ASK14,
BSSA14, CB14 and CY14, kinematic_rupture.gmm) are evaluated at every station with the
rupture's Mw, rake, dip, Ztor, width, the ensemble's mean hypocentre depth, and Vs30, Z1.0
and Z2.5 of the crust. The models' median is the geometric mean of the four.

Per period and distance bin: the bias, the mean over ruptures and stations of
ln(simulated / models' median); the simulated median (exp of the mean ln); the
within-event spread phi (standard deviation of the residuals less each rupture's mean
residual over all stations), against the models' total sigma; the between-event tau. A
scenario passes when, at every period from the band's limit to CHECKED_LONGEST_PERIOD_S,
its bias averaged over the bins is within MEAN_BIAS_LIMIT and every bin's within
CELL_BIAS_LIMIT.
"""

import dataclasses
import io
import math
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from . import gmm, shaking
from .crust import LayeredModel
from .ground_motion import event_of, station_distances
from .geometry import Fault
from .hypocentre import DISTRIBUTIONS
from .patches import patch_moments, point_rigidity, source_samples
from .response import STANDARD_GRAVITY_M_S2, periods_for_band, rotd50
from .rupture import RuptureSettings, build_rupture
from .rupture_surface import Surface, surface_of
from .srf import SrfFile, parse_srf, write_srf
from .stations import Station

__all__ = ["validate_ground_motion", "run_scenario", "ScenarioResult", "Scenario", "SCENARIOS",
           "footwall_stations", "scenario_fault", "rupture_file"]

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class Scenario:
    """One scenario of ground-motion validation.

    Parameters
    ----------
    key : str
        Its name (``SS7.0``): the report's heading and figure.
    magnitude : float
        Mw.
    rake_deg, dip_deg : float
        The fault's rake and dip, degrees.
    top_depth_km : float
        The depth of its top edge, km.
    """
    key: str
    magnitude: float
    rake_deg: float
    dip_deg: float
    top_depth_km: float

    def describe(self) -> str:
        """The scenario in words.

        Returns
        -------
        str
            Its mechanism, magnitude, dip and top.
        """
        kind = "strike-slip" if gmm.mechanism(self.rake_deg) == "SS" else "reverse"
        return (f"{kind} Mw {self.magnitude:g}, dip {self.dip_deg:g}, top at "
                f"{self.top_depth_km:g} km")


SCENARIOS = (
    Scenario("SS6.0", 6.0, 180.0, 90.0, 2.0),
    Scenario("SS6.5", 6.5, 180.0, 90.0, 0.0),
    Scenario("SS7.0", 7.0, 180.0, 90.0, 0.0),
    Scenario("SS7.5", 7.5, 180.0, 90.0, 0.0),
    Scenario("RV6.5", 6.5, 90.0, 45.0, 3.0),
    Scenario("RV7.0", 7.0, 90.0, 45.0, 3.0),
)
CELL_KM = 1.0
RING_DISTANCES_KM = (5.0, 10.0, 20.0, 35.0, 50.0, 75.0, 100.0)
STATIONS_PER_RING = 6
DEFAULT_COUNT = 30
FIRST_SEED = 1
MEAN_BIAS_LIMIT = 0.35
CELL_BIAS_LIMIT = 0.7
CHECKED_LONGEST_PERIOD_S = 5.0


# ---- Stations -----------------------------------------------------------------------------------


def footwall_stations(surface: Surface) -> list[Station]:
    """Rings of stations on the footwall half of the contours of constant Rjb about the top
    trace (see the module's description).

    Parameters
    ----------
    surface : Surface
        The rupture's surface.

    Returns
    -------
    list of Station
        `STATIONS_PER_RING` at each of `RING_DISTANCES_KM`, named R<ring km>-<k>.
    """
    distances_km, per_ring = RING_DISTANCES_KM, STATIONS_PER_RING
    start, end = surface.trace()
    axis = (end - start)[:2]
    length = float(np.hypot(*axis))
    axis = axis / length
    left = np.array([-axis[1], axis[0]])
    stations = []
    for distance in distances_km:
        quarter = 0.5 * math.pi * distance
        total = 2.0 * quarter + length
        for k in range(per_ring):
            s = (k + 0.5) / per_ring * total
            if s < quarter:
                angle = s / distance
                point = start[:2] + distance * (-math.cos(angle) * axis + math.sin(angle) * left)
            elif s < quarter + length:
                point = start[:2] + (s - quarter) * axis + distance * left
            else:
                angle = (total - s) / distance
                point = end[:2] + distance * (math.cos(angle) * axis + math.sin(angle) * left)
            lon, lat = surface.geographic(np.array([point[0]]), np.array([point[1]]))
            stations.append(Station(f"R{distance:03.0f}-{k + 1}", float(lon[0]), float(lat[0])))
    return stations


# ---- One scenario -------------------------------------------------------------------------------


def scenario_fault(scenario: Scenario) -> Fault:
    """A scenario's fault, sized by `Fault.for_magnitude` in `CELL_KM` cells.

    Parameters
    ----------
    scenario : Scenario
        The scenario.

    Returns
    -------
    Fault
        The fault.
    """
    return Fault.for_magnitude(scenario.magnitude, cell_km=CELL_KM, rake_deg=scenario.rake_deg,
                               dip_deg=scenario.dip_deg, top_depth_km=scenario.top_depth_km)


def rupture_file(fault: Fault, base: RuptureSettings, seed: int) -> SrfFile:
    """The rupture of a seed as the SRF file it writes, read back; its hypocentre drawn from the
    seed and the slip, as `ensemble` draws it.

    Parameters
    ----------
    fault : Fault
        The fault.
    base : RuptureSettings
        The settings but the seed and the hypocentre.
    seed : int
        The seed.

    Returns
    -------
    SrfFile
        The file.
    """
    settings = dataclasses.replace(base, seed=seed, hypocentre_km=None,
                                   hypocentre_distribution=DISTRIBUTIONS[0])
    text = io.StringIO()
    write_srf(text, build_rupture(fault, settings))
    return parse_srf(text.getvalue())


@dataclass(frozen=True, eq=False)
class ScenarioResult:
    """One scenario's ensemble against the models.

    Attributes
    ----------
    scenario : Scenario
        The scenario.
    fault : Fault
        Its fault.
    seeds : tuple of int
        The ruptures' seeds.
    stations : tuple of Station
        The stations.
    ring_km : numpy.ndarray
        Each station's distance bin (its ring's Rjb), km.
    rrup_km : numpy.ndarray
        Each station's Rrup, km.
    periods_s : numpy.ndarray
        The periods, s.
    psa_g : numpy.ndarray
        RotD50 PSA at 5% damping, g, (ruptures, stations, periods).
    model_median_g, model_sigma : numpy.ndarray
        The models' medians (g) and total sigmas (ln), (models, stations, periods).
    hypocentre_depth_km : numpy.ndarray
        Each rupture's hypocentre depth, km.
    patches : int
        The patches the ruptures were summed over.
    seconds : float
        How long the scenario took, s.
    notes : tuple of str
        pygmm's warnings.
    """

    scenario: Scenario
    fault: Fault
    seeds: tuple[int, ...]
    stations: tuple[Station, ...]
    ring_km: FloatArray  # (stations,) the bin of each station
    rrup_km: FloatArray  # (stations,)
    periods_s: FloatArray
    psa_g: FloatArray  # (ruptures, stations, periods)
    model_median_g: FloatArray  # (models, stations, periods)
    model_sigma: FloatArray  # (models, stations, periods)
    hypocentre_depth_km: FloatArray  # (ruptures,)
    patches: int
    seconds: float
    notes: tuple[str, ...]

    @property
    def bins_km(self) -> FloatArray:
        """The distance bins, km."""
        return np.unique(self.ring_km)

    def log_residuals(self) -> FloatArray:
        """ln(simulated / geometric mean of the models' medians).

        Returns
        -------
        numpy.ndarray
            (ruptures, stations, periods).
        """
        models = np.exp(np.log(self.model_median_g).mean(axis=0))
        return np.asarray(np.log(self.psa_g) - np.log(models)[None], dtype=np.float64)

    def per_bin(self, values: FloatArray) -> FloatArray:
        """The mean of (ruptures, stations, periods) values over ruptures and each bin's stations.

        Parameters
        ----------
        values : numpy.ndarray
            (ruptures, stations, periods).

        Returns
        -------
        numpy.ndarray
            (periods, bins).
        """
        return np.stack([values[:, self.ring_km == ring].mean(axis=(0, 1)) for ring in self.bins_km],
                        axis=-1)

    def bias(self) -> FloatArray:
        """The bias, the mean of the log residuals, per period and bin.

        Returns
        -------
        numpy.ndarray
            (periods, bins), natural log.
        """
        return self.per_bin(self.log_residuals())

    def mean_bias(self) -> FloatArray:
        """The bias averaged over the bins.

        Returns
        -------
        numpy.ndarray
            One a period, natural log.
        """
        return np.asarray(self.bias().mean(axis=1), dtype=np.float64)

    def phi(self) -> FloatArray:
        """The within-event spread: the standard deviation of the residuals less each rupture's
        mean residual over all stations.

        Returns
        -------
        numpy.ndarray
            (periods, bins), natural log.
        """
        residuals = self.log_residuals()
        within = residuals - residuals.mean(axis=1, keepdims=True)
        return np.stack([within[:, self.ring_km == ring].reshape(-1, len(self.periods_s)).std(axis=0, ddof=1)
                         for ring in self.bins_km], axis=-1)

    def tau(self) -> FloatArray:
        """The between-event spread: the standard deviation of the ruptures' mean residuals.

        Returns
        -------
        numpy.ndarray
            One a period, natural log; NaN from one rupture, which has no spread.
        """
        events = self.log_residuals().mean(axis=1)
        return np.asarray(events.std(axis=0, ddof=1) if len(events) > 1
                          else np.full(len(self.periods_s), math.nan), dtype=np.float64)

    def simulated_median_g(self) -> FloatArray:
        """The ensemble's median, the exp of the mean ln PSA per bin.

        Returns
        -------
        numpy.ndarray
            (periods, bins), g.
        """
        return np.exp(self.per_bin(np.log(self.psa_g)))

    def models_per_bin(self) -> tuple[FloatArray, FloatArray]:
        """Each model's median (geometric mean over the bin's stations) and sigma (mean).

        Returns
        -------
        tuple of numpy.ndarray
            (median, g; sigma, ln), each (models, periods, bins).
        """
        median = np.stack([np.exp(np.log(self.model_median_g[:, self.ring_km == ring]).mean(axis=1))
                           for ring in self.bins_km], axis=-1)
        sigma = np.stack([self.model_sigma[:, self.ring_km == ring].mean(axis=1)
                          for ring in self.bins_km], axis=-1)
        return median, sigma

    def checked(self) -> npt.NDArray[np.bool_]:
        """The periods the pass is decided on.

        Returns
        -------
        numpy.ndarray of bool
            One a period: up to `CHECKED_LONGEST_PERIOD_S`.
        """
        return np.asarray(self.periods_s <= CHECKED_LONGEST_PERIOD_S * (1 + 1e-9))

    def passes(self) -> bool:
        """Whether, at every checked period, the mean bias is within `MEAN_BIAS_LIMIT` and every
        bin's within `CELL_BIAS_LIMIT`.

        Returns
        -------
        bool
            The verdict.
        """
        checked = self.checked()
        return bool(np.all(np.abs(self.mean_bias()[checked]) <= MEAN_BIAS_LIMIT)
                    and np.all(np.abs(self.bias()[checked]) <= CELL_BIAS_LIMIT))


TableProvider = Callable[[shaking.Layout, LayeredModel], shaking.Table]


def run_scenario(scenario: Scenario, crust: LayeredModel, seeds: Sequence[int],
                 max_frequency_hz: float, table_for: TableProvider = shaking.table_for,
                 progress: Callable[[str], None] | None = None) -> ScenarioResult:
    """One scenario: its ruptures built, written, read back and summed at its stations through
    the crust's Green's functions, and compared with the models.

    Parameters
    ----------
    scenario : Scenario
        The scenario.
    crust : LayeredModel
        The crust.
    seeds : sequence of int
        The ruptures' seeds.
    max_frequency_hz : float
        The Green's functions' band, Hz.
    table_for : callable
        Gives the table of Green's functions of a layout and a crust (`shaking.table_for`,
        cached on disk).
    progress : callable, optional
        Called with a line after each batch of ruptures.

    Returns
    -------
    ScenarioResult
        The ensemble's spectra against the models.

    Raises
    ------
    GroundMotionModelsUnavailable
        Without pygmm 0.8.
    """
    started = time.perf_counter()
    fault = scenario_fault(scenario)
    base = RuptureSettings(magnitude=scenario.magnitude, velocity_model=crust)
    files = [rupture_file(fault, base, seed) for seed in seeds]
    surface = surface_of(files[0])
    stations = footwall_stations(surface)
    place = shaking.layout(files[0], stations, crust, max_frequency_hz)
    table = table_for(place, crust)
    dt = float(table.dt_s)
    samples = max(source_samples(srf_file, dt) for srf_file in files)
    periods = periods_for_band(max_frequency_hz)
    psa = np.empty((len(files), len(stations), len(periods)))
    batch = shaking.rupture_batch(place, table, samples)
    for first in range(0, len(files), batch):
        chosen = files[first:first + batch]
        moments = [patch_moments(srf_file, place.patches, point_rigidity(srf_file, crust), dt, samples)
                   for srf_file in chosen]
        for number, motion in enumerate(shaking.sum_ruptures(place, table, moments), start=first):
            psa[number] = rotd50(motion.acceleration[:, 0], motion.acceleration[:, 1], dt,
                                 periods) / STANDARD_GRAVITY_M_S2
        if progress:
            progress(f"{scenario.key}: {min(first + batch, len(files))} of {len(files)} ruptures summed")
    events = [event_of(srf_file, surface, crust) for srf_file in files]
    depths = np.array([event.hypocentre_depth_km for event in events])
    mean_event = gmm.Event(events[0].magnitude, events[0].rake_deg, events[0].dip_deg,
                           events[0].top_depth_km, events[0].width_km, float(depths.mean()))
    where = station_distances(surface, stations)
    prediction = gmm.predict(mean_event, gmm.site_of(crust), where, periods)
    ring = np.repeat(np.asarray(RING_DISTANCES_KM), STATIONS_PER_RING)
    return ScenarioResult(scenario, fault, tuple(seeds), tuple(stations), ring, where.rrup,
                          periods, psa, prediction.median_g, prediction.ln_sigma, depths,
                          len(place.patches), time.perf_counter() - started, prediction.notes)


def validate_ground_motion(crust: LayeredModel, seeds: Sequence[int], max_frequency_hz: float,
                           scenarios: Sequence[Scenario] = SCENARIOS,
                           table_for: TableProvider = shaking.table_for,
                           progress: Callable[[str], None] | None = None) -> list[ScenarioResult]:
    """Every scenario against the models.

    Parameters
    ----------
    crust : LayeredModel
        The crust.
    seeds : sequence of int
        The ruptures' seeds, the same in every scenario.
    max_frequency_hz : float
        The Green's functions' band, Hz.
    scenarios : sequence of Scenario
        The scenarios (`SCENARIOS`).
    table_for : callable
        As for `run_scenario`.
    progress : callable, optional
        As for `run_scenario`.

    Returns
    -------
    list of ScenarioResult
        One a scenario.

    Raises
    ------
    GroundMotionModelsUnavailable
        Without pygmm 0.8.
    """
    return [run_scenario(scenario, crust, seeds, max_frequency_hz, table_for, progress)
            for scenario in scenarios]
