"""One rupture file's ground motion at stations, reduced to what is compared: RotD50 PGV,
PGA and response spectra; and the rupture as the ground-motion models see it.

.. autosummary::

   peaks
   Peaks
   station_distances
   event_of
"""

import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .crust import GenericCrust, LayeredModel
from .gmm import Event
from .patches import point_rigidity
from .response import STANDARD_GRAVITY_M_S2, rotd50, rotd50_peak
from .rupture_surface import Distances, Surface, distances, hypocentre_depth_km
from .scaling import moment_magnitude
from .shaking import Seismograms
from .srf import SrfFile, srf_moment_nm
from .stations import Station, station_arrays

__all__ = ["peaks", "Peaks", "station_distances", "event_of"]

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class Peaks:
    """RotD50 of the horizontal motion at every station.

    Attributes
    ----------
    pgv_m_s : numpy.ndarray
        PGV, m/s, one a station.
    pga_m_s2 : numpy.ndarray
        PGA, m/s^2.
    periods_s : numpy.ndarray
        The periods, s.
    psa_g : numpy.ndarray
        The 5%-damped pseudo-spectral acceleration, g, (stations, periods).
    """

    pgv_m_s: FloatArray
    pga_m_s2: FloatArray
    periods_s: FloatArray
    psa_g: FloatArray


def peaks(motion: Seismograms, periods_s: FloatArray) -> Peaks:
    """The RotD50 peaks and spectra of seismograms.

    Parameters
    ----------
    motion : Seismograms
        The stations' motion (`shaking`).
    periods_s : numpy.ndarray
        The periods, s.

    Returns
    -------
    Peaks
        PGV, PGA and the spectra.
    """
    east, north = motion.acceleration[:, 0], motion.acceleration[:, 1]
    return Peaks(pgv_m_s=rotd50_peak(motion.velocity[:, 0], motion.velocity[:, 1]),
                 pga_m_s2=rotd50_peak(east, north), periods_s=periods_s,
                 psa_g=rotd50(east, north, motion.dt_s, periods_s) / STANDARD_GRAVITY_M_S2)


def station_distances(surface: Surface, stations: Sequence[Station]) -> Distances:
    """The NGA-West2 distances of stations from a rupture's surface.

    Parameters
    ----------
    surface : Surface
        The surface (`rupture_surface.surface_of`).
    stations : sequence of Station
        The stations.

    Returns
    -------
    Distances
        Rrup, Rjb, Rx and Ry0, km.
    """
    return distances(surface, *station_arrays(list(stations)))


def event_of(srf_file: SrfFile, surface: Surface, crust: GenericCrust | LayeredModel) -> Event:
    """A rupture file as the models see it: Mw from the file's moment; the rake as the
    moment-weighted circular mean of the points' rakes; dip and width averaged over the
    planes by length; Ztor the top of the shallowest plane; the hypocentre the point that
    slips first.

    Parameters
    ----------
    srf_file : SrfFile
        The file.
    surface : Surface
        Its surface.
    crust : GenericCrust or LayeredModel
        The rigidity of points without VS and DEN.

    Returns
    -------
    Event
        The rupture for `gmm.predict`.
    """
    points = srf_file.points
    rigidity = point_rigidity(srf_file, crust)
    weight = rigidity * points.area_cm2 * points.total_slip_cm()
    rake = np.radians(points.rake_deg)
    mean_rake = math.degrees(math.atan2(float(np.sum(weight * np.sin(rake))),
                                        float(np.sum(weight * np.cos(rake)))))
    return Event(magnitude=moment_magnitude(srf_moment_nm(srf_file, rigidity)),
                 rake_deg=mean_rake, dip_deg=surface.mean_dip_deg(),
                 top_depth_km=surface.top_depth_km, width_km=surface.mean_width_km(),
                 hypocentre_depth_km=hypocentre_depth_km(srf_file))
