"""The four NGA-West2 ground-motion models, through pygmm, and their site inputs from a
crust.

Models: Abrahamson, Silva and Kamai (2014, ASK14), Boore, Stewart, Seyhan and Atkinson
(2014, BSSA14), Campbell and Bozorgnia (2014, CB14) and Chiou and Youngs (2014, CY14), as
pygmm 0.8 implements them (its Scenario and model classes; pygmm 0.9 changed that
interface and is not read here). Each gives the median RotD50 pseudo-spectral acceleration
(g) and its total standard deviation in natural log at a scenario:

- the rupture: Mw, mechanism from rake (strike-slip within 30 degrees of 0 or 180,
  reverse between 30 and 150, normal between -150 and -30), dip, Ztor, down-dip width and
  hypocentre depth;
- the station: Rrup, Rjb, Rx, Ry0 (rupture_surface.distances) and on_hanging_wall = Rx >= 0
  for a dipping rupture (ASK14 and CY14 add their hanging-wall terms only when told);
- the site: Vs30, Z1.0 and Z2.5 of the crust under the station (`site_of`), with the
  models' California region (CY14's default; ASK14, BSSA14 and CB14 default to global).
"""

import math
import warnings
from dataclasses import dataclass
from importlib import metadata
from types import ModuleType

import numpy as np
import numpy.typing as npt

from .crust import GenericCrust, LayeredModel
from .rupture_surface import Distances

__all__ = ["predict", "site_of", "Site", "Event", "Prediction", "vs30_m_s", "depth_of_speed",
           "mechanism", "GroundMotionModelsUnavailable", "MODEL_NAMES"]

FloatArray = npt.NDArray[np.float64]

MODEL_NAMES = ("ASK14", "BSSA14", "CB14", "CY14")
MODEL_CLASSES = {"ASK14": "AbrahamsonSilvaKamai2014", "BSSA14": "BooreStewartSeyhanAtkinson2014",
                 "CB14": "CampbellBozorgnia2014", "CY14": "ChiouYoungs2014"}
REGION = "california"
PYGMM_SERIES = "0.8"
# Vs30 is the time-averaged shear speed over the top 30 m (Borcherdt 1994); Z1.0 and Z2.5
# the depths at which the shear speed first reaches 1.0 and 2.5 km/s.
VS30_DEPTH_KM = 0.030
Z1_SPEED_KM_S = 1.0
Z25_SPEED_KM_S = 2.5
# Rake ranges of the mechanisms (Boore et al. 2014's classes, shared here by all four).
REVERSE_RAKES = (30.0, 150.0)
NORMAL_RAKES = (-150.0, -30.0)
# Depth (km) to which the generic crust is searched for the speeds of Z1.0 and Z2.5.
DEEPEST_SEARCH_KM = 50.0


class GroundMotionModelsUnavailable(RuntimeError):
    """pygmm is missing, or is not the series whose interface this module calls."""


def pygmm_module() -> ModuleType:
    """pygmm, if it is the series this module knows.

    Returns
    -------
    module
        pygmm 0.8.

    Raises
    ------
    GroundMotionModelsUnavailable
        Without pygmm 0.8, in one line saying what to install.
    """
    try:
        version = metadata.version("pygmm")
    except metadata.PackageNotFoundError:
        raise GroundMotionModelsUnavailable(
            f"the NGA-West2 models need pygmm {PYGMM_SERIES} (pip install pygmm==0.8.0), which "
            f"is not installed") from None
    if not version.startswith(PYGMM_SERIES + "."):
        raise GroundMotionModelsUnavailable(
            f"the NGA-West2 models need pygmm {PYGMM_SERIES} (pip install pygmm==0.8.0); "
            f"pygmm {version} has another interface")
    import pygmm
    return pygmm


@dataclass(frozen=True)
class Site:
    """A site as the models see it.

    Parameters
    ----------
    vs30_m_s : float
        Vs30, m/s.
    z1_km, z25_km : float or None
        Z1.0 and Z2.5, km: the depths at which the shear-wave speed first reaches 1.0 and
        2.5 km/s; None where it never does (the models then take their own estimates).
    """
    vs30_m_s: float
    z1_km: float | None
    z25_km: float | None


def depth_of_speed(crust: GenericCrust | LayeredModel, speed_km_s: float) -> float:
    """The shallowest depth at which the crust's shear-wave speed reaches a speed.

    Parameters
    ----------
    crust : GenericCrust or LayeredModel
        The crust under the station.
    speed_km_s : float
        The speed, km/s.

    Returns
    -------
    float
        km; infinity where it never does (the generic crust is searched to 50 km).
    """
    if isinstance(crust, LayeredModel):
        return float(crust.depth_to_vs_km(speed_km_s))
    depths = np.linspace(0.0, DEEPEST_SEARCH_KM, 50_001)
    reached = np.flatnonzero(crust.shear_speed_km_s(depths) >= speed_km_s)
    return float(depths[reached[0]]) if reached.size else math.inf


def vs30_m_s(crust: GenericCrust | LayeredModel) -> float:
    """Vs30: 30 m over the shear-wave travel time through the top 30 m (Borcherdt 1994).

    Parameters
    ----------
    crust : GenericCrust or LayeredModel
        The crust under the station.

    Returns
    -------
    float
        m/s.
    """
    if isinstance(crust, LayeredModel):
        return crust.vs30_m_s()
    depths = np.linspace(0.0, VS30_DEPTH_KM, 3001)
    slowness = 1.0 / crust.shear_speed_km_s(depths)
    time_s = float(np.sum(0.5 * (slowness[1:] + slowness[:-1]) * np.diff(depths)))
    return VS30_DEPTH_KM / time_s * 1e3


def site_of(crust: GenericCrust | LayeredModel) -> Site:
    """The site inputs of the models from a crust: Vs30, Z1.0 and Z2.5.

    Parameters
    ----------
    crust : GenericCrust or LayeredModel
        The crust under the station.

    Returns
    -------
    Site
        Its site terms.

    Examples
    --------
    >>> from kinematic_rupture import LayeredModel
    >>> site = site_of(LayeredModel.named("mojave"))
    >>> site.vs30_m_s > 0
    True
    """
    z1 = depth_of_speed(crust, Z1_SPEED_KM_S)
    z25 = depth_of_speed(crust, Z25_SPEED_KM_S)
    return Site(vs30_m_s(crust), z1 if math.isfinite(z1) else None,
                z25 if math.isfinite(z25) else None)


def mechanism(rake_deg: float) -> str:
    """The models' mechanism class of a rake: reverse between 30 and 150 degrees, normal
    between -150 and -30, else strike-slip.

    Parameters
    ----------
    rake_deg : float
        The rake, degrees.

    Returns
    -------
    str
        "RS", "NS" or "SS".
    """
    rake = (rake_deg + 180.0) % 360.0 - 180.0
    if REVERSE_RAKES[0] < rake < REVERSE_RAKES[1]:
        return "RS"
    if NORMAL_RAKES[0] < rake < NORMAL_RAKES[1]:
        return "NS"
    return "SS"


@dataclass(frozen=True)
class Event:
    """A rupture as the models see it.

    Parameters
    ----------
    magnitude : float
        Mw.
    rake_deg, dip_deg : float
        Its rake and dip, degrees.
    top_depth_km : float
        Ztor, the depth of its top edge, km.
    width_km : float
        Its down-dip width, km.
    hypocentre_depth_km : float
        The depth of its hypocentre, km.
    """

    magnitude: float
    rake_deg: float
    dip_deg: float
    top_depth_km: float
    width_km: float
    hypocentre_depth_km: float


@dataclass(frozen=True, eq=False)
class Prediction:
    """The models' medians and standard deviations at every station and period.

    Attributes
    ----------
    median_g : numpy.ndarray
        Median RotD50 pseudo-spectral acceleration, g, (models, stations, periods) in the
        order of `MODEL_NAMES`.
    ln_sigma : numpy.ndarray
        Total standard deviations in natural log, likewise.
    periods_s : numpy.ndarray
        The periods, s.
    notes : tuple of str
        pygmm's warnings (an input beyond a model's recommended range), each once.
    """

    median_g: FloatArray
    ln_sigma: FloatArray
    periods_s: FloatArray
    # pygmm's warnings (an input beyond a model's recommended range), each once.
    notes: tuple[str, ...] = ()


def predict(event: Event, site: Site, where: Distances, periods_s: FloatArray) -> Prediction:
    """The four models at every station.

    Parameters
    ----------
    event : Event
        The rupture.
    site : Site
        The site, the same at every station.
    where : Distances
        The stations' distances from the rupture (`rupture_surface.distances`).
    periods_s : numpy.ndarray
        The periods, s, among the models' own (0.01 to 10 s).

    Returns
    -------
    Prediction
        The medians and standard deviations, and pygmm's notes.

    Raises
    ------
    GroundMotionModelsUnavailable
        Without pygmm 0.8.
    """
    pygmm = pygmm_module()
    stations = len(where.rrup)
    median = np.empty((len(MODEL_NAMES), stations, len(periods_s)))
    sigma = np.empty_like(median)
    basin = {key: value for key, value in (("depth_1_0", site.z1_km), ("depth_2_5", site.z25_km))
             if value is not None}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        for station in range(stations):
            station_models(pygmm, event, site, where, station, periods_s, basin,
                           median[:, station], sigma[:, station])
    notes = tuple(dict.fromkeys(f"{note.message}" for note in caught))
    return Prediction(median, sigma, np.asarray(periods_s, dtype=np.float64), notes)


def station_models(pygmm: ModuleType, event: Event, site: Site, where: Distances, station: int,
                   periods_s: FloatArray, basin: dict[str, float], median: FloatArray,
                   sigma: FloatArray) -> None:
    """Fills one station's medians and standard deviations.

    Parameters
    ----------
    pygmm : module
        pygmm 0.8.
    event : Event
        The rupture.
    site : Site
        The site.
    where : Distances
        The stations' distances.
    station : int
        The station.
    periods_s : numpy.ndarray
        The periods, s.
    basin : dict of str to float
        pygmm's depth_1_0 and depth_2_5, where known.
    median, sigma : numpy.ndarray
        (models, periods), filled.
    """
    scenario = pygmm.Scenario(
        mag=event.magnitude, mechanism=mechanism(event.rake_deg), dip=event.dip_deg,
        depth_tor=event.top_depth_km, width=event.width_km, depth_hyp=event.hypocentre_depth_km,
        dist_rup=float(where.rrup[station]), dist_jb=float(where.rjb[station]),
        dist_x=float(where.rx[station]), dist_y0=float(where.ry0[station]),
        on_hanging_wall=bool(event.dip_deg < 90.0 and where.rx[station] >= 0),
        v_s30=site.vs30_m_s, region=REGION, **basin)
    for number, name in enumerate(MODEL_NAMES):
        model = getattr(pygmm, MODEL_CLASSES[name])(scenario)
        median[number] = model.interp_spec_accels(periods_s)
        sigma[number] = model.interp_ln_stds(periods_s)
