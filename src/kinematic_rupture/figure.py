"""The figure of a rupture, built or read from an SRF file, as a paper shows it: slip with
rupture-time contours and the hypocentre, rise time and rupture speed on the fault's
chart (km along strike and down dip, with depth); a map of the planes' outlines, their
top edges and the epicentre; a few subfaults' slip-rate pulses; the moment-rate
function; and its amplitude spectrum against the Brune (1970) omega-squared spectrum of
the corner frequency that fits it best.

The layout follows the chart's aspect (length over width): a chart up to about three
times as long as it is wide sits beside the map, a longer one spans the figure's width
with the map below it. Every size is fixed by the view, so the same view always gives
the same PNG, byte for byte. The figure is drawn with matplotlib's objects on an Agg
canvas of its own: it changes no backend and no pyplot state of the user's.

A view (`rupture_view`, `srf_view`) holds what the figure shows; `compose` gives the
figure, `draw` writes it as a PNG.

.. autosummary::

   rupture_view
   srf_view
   compose
   draw
   RuptureView
   PlaneView
   Pulse
   Spectrum
"""

import math
import re
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO, Literal

import numpy as np
import numpy.typing as npt
from matplotlib import colormaps, rc_context
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.cm import ScalarMappable
from matplotlib.colors import Colormap, Normalize
from matplotlib.figure import Figure
from matplotlib.patches import Rectangle
from matplotlib.patheffects import withStroke
from matplotlib.ticker import FuncFormatter, MaxNLocator
from mpl_toolkits.axes_grid1.anchored_artists import (  # type: ignore[import-untyped]
    AnchoredSizeBar)
from scipy.ndimage import gaussian_filter

from . import brune
from .geometry import WGS84
from .kinematics import largest_frequency_hz
from .moment import moment_spectrum
from .pulses import nonzero_spans, slip_spans_s
from .rupture import Rupture
from .scaling import moment_magnitude
from .srf import (SrfError, SrfFile, SrfPlane, point_slip_rate_cm_s,
                  srf_duration_s, srf_moment_nm, srf_moment_rate,
                  srf_moment_spectrum)

__all__ = ["rupture_view", "srf_view", "compose", "draw", "RuptureView", "PlaneView", "Pulse",
           "Spectrum"]

FloatArray = npt.NDArray[np.float64]

# The spectrum is compared with Brune's up to this frequency, or the largest the cells
# resolve if that is lower.
SPECTRUM_HIGHEST_HZ = 5.0
# Band averages of the spectrum start here (as `brune.fit_corner` does).
SPECTRUM_LOWEST_HZ = 0.01
# A file's rupture times carry perturbations that are rough down to the cell (Graves and
# Pitarka 2010): their gradients are averaged over this distance before they give a speed.
SPEED_SMOOTHING_KM = 1.0
# Planes steeper than this show no slip on the map: they project to a sliver.
MAP_SLIP_STEEPEST_DEG = 80.0
# Cells drawn on the map at most, along strike and down dip, per plane.
MAP_CELLS = 120
DPI = 150
FONT_SIZE = 8.0


# ---- What the figure shows ------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class PlaneView:
    """One plane of the figure: where it lies, as an SRF file's PLANE block gives it, its rake
    and its values on its cells as (rows down dip, columns along strike) grids.

    Attributes
    ----------
    lon, lat : float
        The centre of its top edge, degrees.
    length_km, width_km : float
        Its size, km.
    strike_deg, dip_deg : float
        Its orientation, degrees.
    rake_deg : float
        Its rake (a file's: the slip-weighted mean of its points'), degrees.
    top_depth_km : float
        The depth of its top edge, km.
    slip_m : numpy.ndarray
        Slip, m.
    time_s : numpy.ndarray
        Rupture times, s.
    rise_time_s : numpy.ndarray
        Rise times, s; NaN where nothing slips.
    speed : numpy.ndarray or None
        The rupture speed over the shear-wave speed, or in km/s when the shear-wave speed is
        not known; NaN where not known, None when not known anywhere.
    """

    lon: float
    lat: float
    length_km: float
    width_km: float
    strike_deg: float
    dip_deg: float
    rake_deg: float
    top_depth_km: float
    slip_m: FloatArray
    time_s: FloatArray
    rise_time_s: FloatArray
    speed: FloatArray | None

    @property
    def bottom_depth_km(self) -> float:
        """The depth of its bottom edge, km."""
        return self.depth_km(self.width_km)

    def depth_km(self, down_km: float) -> float:
        """The depth of a point down dip from the top edge: DTOP + w sin(dip).

        Parameters
        ----------
        down_km : float
            The distance w down dip, km.

        Returns
        -------
        float
            Its depth, km.
        """
        return self.top_depth_km + down_km * math.sin(math.radians(self.dip_deg))


@dataclass(frozen=True, eq=False)
class Pulse:
    """A subfault's slip-rate pulse, as the figure draws it.

    Attributes
    ----------
    label : str
        Its legend.
    plane : int
        Its plane, from 0.
    along_km, down_km : float
        Its cell's centre, km along strike in the plane and down dip.
    time_s : numpy.ndarray
        The samples' times, s.
    rate_m_s : numpy.ndarray
        Their slip rates, m/s.
    """
    label: str
    plane: int
    along_km: float
    down_km: float
    time_s: FloatArray
    rate_m_s: FloatArray


@dataclass(frozen=True, eq=False)
class Spectrum:
    """The moment-rate function's amplitude spectrum, its third-octave band averages up to
    `highest_hz`, and the Brune (1970) spectrum of the corner fitted to them, with the
    stress drop that corner implies.

    Attributes
    ----------
    frequency_hz : numpy.ndarray
        Frequencies, Hz.
    amplitude_nm : numpy.ndarray
        The amplitude spectrum, N m.
    band_hz, band_nm : numpy.ndarray
        The band centres (Hz) and levels (N m).
    corner_hz : float
        The fitted corner, Hz.
    brune_nm : numpy.ndarray
        Brune's spectrum of that corner at `frequency_hz`, N m.
    stress_drop_pa : float
        The corner's Brune stress drop, Pa.
    highest_hz : float
        The highest frequency fitted, Hz.
    highest_label : str
        Why it is the highest.
    """

    frequency_hz: FloatArray
    amplitude_nm: FloatArray
    band_hz: FloatArray
    band_nm: FloatArray
    corner_hz: float
    brune_nm: FloatArray
    stress_drop_pa: float
    highest_hz: float
    highest_label: str


@dataclass(frozen=True, eq=False)
class RuptureView:
    """What the figure shows, whatever the rupture came from.

    Attributes
    ----------
    name : str
        The file's name; empty for a rupture just built.
    planes : list of PlaneView
        The planes.
    cell_km : float
        The cells' side, km.
    seed : int or None
        The seed; None when not known.
    mw : float
        The moment magnitude.
    hypocentre : tuple
        (plane, km along strike in it, km down dip).
    hypocentre_label : str
        What the marker is called.
    pulses : list of Pulse
        The subfaults whose pulses are drawn.
    moment_rate_dt_s : float
        The moment rate's sample interval, s.
    moment_rate_nm_s : numpy.ndarray
        The moment rate, N m/s.
    moment_nm : float
        The moment, N m.
    duration_s : float
        When the last point stops slipping, s.
    speed_label, rise_time_label, rake_label : str
        The charts' labels.
    spectrum : Spectrum
        The moment rate's spectrum and its Brune fit.
    """

    name: str
    planes: list[PlaneView]
    cell_km: float
    seed: int | None
    mw: float
    hypocentre: tuple[int, float, float]
    hypocentre_label: str
    pulses: list[Pulse]
    moment_rate_dt_s: float
    moment_rate_nm_s: FloatArray
    moment_nm: float
    duration_s: float
    speed_label: str
    rise_time_label: str
    rake_label: str
    spectrum: Spectrum

    @property
    def length_km(self) -> float:
        """The planes' lengths end to end, km."""
        return sum(plane.length_km for plane in self.planes)

    @property
    def width_km(self) -> float:
        """The widest plane's width, km."""
        return max(plane.width_km for plane in self.planes)

    def starts_km(self) -> list[float]:
        """Where each plane starts along strike on the chart.

        Returns
        -------
        list of float
            One start a plane, km.
        """
        return [float(x) for x in np.cumsum([0.0] + [p.length_km for p in self.planes[:-1]])]


def source_spectrum(frequency: FloatArray, amplitude: FloatArray, moment_nm: float,
                    highest_hz: float, highest_label: str) -> Spectrum:
    """A moment rate's amplitude spectrum and the Brune spectrum fitted to it up to
    `highest_hz`."""
    band_hz, band_nm = brune.band_average(frequency, amplitude, SPECTRUM_LOWEST_HZ, highest_hz)
    corner = brune.fit_corner(frequency, amplitude, moment_nm, highest_hz)
    return Spectrum(frequency, amplitude, band_hz, band_nm, corner,
                    brune.brune(frequency, moment_nm, corner),
                    brune.stress_drop_from_corner(moment_nm, corner), highest_hz, highest_label)


def spectrum_limit(cell_km: float, speed_km_s: FloatArray, dt_s: float) -> tuple[float, str]:
    """The frequency the spectrum is compared up to: 5 Hz, or less where the cells resolve
    less (`kinematics.largest_frequency_hz`) or the sampling does (Nyquist)."""
    nyquist = 0.5 / dt_s
    resolved = largest_frequency_hz(speed_km_s, cell_km=cell_km) if speed_km_s.size else math.inf
    highest = min(SPECTRUM_HIGHEST_HZ, resolved, nyquist)
    if highest == SPECTRUM_HIGHEST_HZ:
        return highest, f"{highest:g} Hz"
    if highest == nyquist:
        return highest, f"Nyquist {highest:.2g} Hz"
    return highest, f"cells resolve {highest:.2g} Hz"


def rake_text(rake_deg: float) -> str:
    """A rake to the degree in (-180, 180], as Aki and Richards give it."""
    whole = round(rake_deg)
    return str(180 if whole == -180 else whole)


def title_lines(view: RuptureView) -> list[str]:
    planes = view.planes

    def each(values: list[str]) -> str:
        return values[0] if len(set(values)) == 1 else "/".join(values)

    size = " + ".join(f"{p.length_km:g} x {p.width_km:g}" for p in planes) + " km"
    cells = sum(p.slip_m.size for p in planes)
    along, down = view.hypocentre[1] + view.starts_km()[view.hypocentre[0]], view.hypocentre[2]
    depth = planes[view.hypocentre[0]].depth_km(down)
    return [f"{view.name + ': ' if view.name else ''}Mw {view.mw:.2f}, {size}"
            f"{f' ({len(planes)} planes)' if len(planes) > 1 else ''}, strike "
            f"{each([f'{p.strike_deg:.4g}°' for p in planes])}, dip "
            f"{each([f'{p.dip_deg:g}°' for p in planes])}, {view.rake_label} "
            f"{each([rake_text(p.rake_deg) + '°' for p in planes])}, top "
            f"{each([f'{p.top_depth_km:g}' for p in planes])} km",
            f"{view.cell_km:g} km cells ({cells:,}); {view.hypocentre_label} (star) {along:.3g} km "
            f"along strike, {down:.3g} km down dip, {depth:.3g} km deep; "
            + (f"seed {view.seed}" if view.seed is not None else "no seed recorded")]


# ---- From a rupture just built -----------------------------------------------------------------


def rupture_view(rupture: Rupture) -> RuptureView:
    """The figure's view of a rupture just built.

    Parameters
    ----------
    rupture : Rupture
        The rupture.

    Returns
    -------
    RuptureView
        Its slip, rupture times, written rise times, Vr / Vs from the rupture times, four
        subfaults' pulses, moment rate and spectrum.

    Examples
    --------
    >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
    >>> rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
    ...                         RuptureSettings(magnitude=5.5))
    >>> figure = compose(rupture_view(rupture))
    >>> len(figure.axes) > 5
    True
    >>> with open("rupture.png", "wb") as stream:
    ...     draw(stream, rupture_view(rupture))
    """
    fault = rupture.fault
    rise = np.where(rupture.slip_m > 0, rupture.written_rise_time_s, np.nan)
    planes = []
    for n, plane in enumerate(fault.planes):
        times = fault.on_plane(rupture.rupture_time_s, n)
        ratio = (front_speed_km_s(times, fault.cell_km, fault.cell_km)
                 / fault.on_plane(rupture.vs_km_s, n))
        planes.append(PlaneView(
            plane.lon, plane.lat, plane.length_km, plane.width_km, plane.strike_deg,
            plane.dip_deg, plane.rake_deg, plane.top_depth_km,
            fault.on_plane(rupture.slip_m, n), times, fault.on_plane(rise, n), ratio))
    number, row, column = rupture.hypocentre_cell
    pulses = [pulse(planes, cell, rupture_rates(rupture, cell), rupture.dt_s)
              for cell in chosen_cells(planes, (number, row, column))]
    along, down = rupture.hypocentre_km
    before = sum(p.length_km for p in fault.planes[:number])
    highest, label = spectrum_limit(fault.cell_km, rupture.rupture_velocity_km_s, rupture.dt_s)
    spectrum = source_spectrum(
        *moment_spectrum(rupture.start_time_s, rupture.offsets, rupture.samples,
                         rupture.rigidity_pa * fault.cell_area_m2, rupture.dt_s),
        rupture.moment_nm, highest, label)
    return RuptureView("", planes, fault.cell_km, rupture.settings.seed, rupture.mw,
                       (number, along - before, down), "hypocentre", pulses, rupture.dt_s,
                       rupture.moment_rate_nm_s, rupture.moment_nm, rupture.duration_s,
                       "Vr / Vs, Vr from the rupture times", "rise time (s)", "rake", spectrum)


def rupture_rates(rupture: Rupture, cell: tuple[int, int, int]) -> FloatArray:
    number, i, j = cell
    k = rupture.fault.plane_starts()[number] + i * rupture.fault.cells(number)[1] + j
    return rupture.samples[rupture.offsets[k]:rupture.offsets[k + 1]]


def mean_rake_deg(rake_deg: FloatArray, slip_m: FloatArray) -> float:
    """The slip-weighted circular mean of a file's rakes (rakes near 180 and -180 average
    to 180, not 0)."""
    weight = slip_m if slip_m.sum() > 0 else np.ones_like(slip_m)
    radians = np.radians(rake_deg)
    return math.degrees(math.atan2(float((weight * np.sin(radians)).sum()),
                                   float((weight * np.cos(radians)).sum())))


def chosen_cells(view_planes: list[PlaneView],
                 hypocentre: tuple[int, int, int] | None) -> list[tuple[int, int, int]]:
    """(plane, row, column) of the cells whose pulses are drawn: the hypocentre's, the
    largest slip's, and two at mid-depth a fifth of the way in from either end of the
    fault; each only once."""
    peaks = [(float(plane.slip_m.max()), number) for number, plane in enumerate(view_planes)]
    _, top = max(peaks)
    i, j = np.unravel_index(np.argmax(view_planes[top].slip_m), view_planes[top].slip_m.shape)
    first, last = view_planes[0].slip_m.shape, view_planes[-1].slip_m.shape
    chosen = ([hypocentre] if hypocentre else []) + [
        (top, int(i), int(j)), (0, first[0] // 2, first[1] // 5),
        (len(view_planes) - 1, last[0] // 2, last[1] - 1 - last[1] // 5)]
    return list(dict.fromkeys(chosen))


def pulse(view_planes: list[PlaneView], cell: tuple[int, int, int], rates_m_s: FloatArray,
          dt_s: float) -> Pulse:
    number, i, j = cell
    plane = view_planes[number]
    rows, columns = plane.slip_m.shape
    along = (j + 0.5) * plane.length_km / columns
    down = (i + 0.5) * plane.width_km / rows
    times = plane.time_s[i, j] + np.arange(rates_m_s.size) * dt_s
    where = (f"{along:.3g}, {down:.3g} km" if len(view_planes) == 1
             else f"plane {number + 1}, {along:.3g}, {down:.3g} km")
    return Pulse(f"{plane.slip_m[i, j]:.2g} m at {where}", number, along, down, times, rates_m_s)


# ---- From a file ------------------------------------------------------------------------------


def srf_view(srf: SrfFile, rigidity: FloatArray, name: str) -> RuptureView:
    """The figure's view of an SRF file. Slip and slip rate are the vector sum of the three
    components; rise time is the span of each point's non-zero samples; the rupture speed
    comes from the gradient of TINIT (smoothed over `SPEED_SMOOTHING_KM`), over VS where
    the file gives it.

    Parameters
    ----------
    srf : SrfFile
        The file, as `read_srf` gives it.
    rigidity : numpy.ndarray
        Every point's rigidity, Pa (for the moment rate; DEN VS^2 where the file gives them).
    name : str
        The file's name, for the title.

    Returns
    -------
    RuptureView
        The view.

    Raises
    ------
    SrfError
        A file without a PLANE block whose cell counts match its points, a plane without
        cells or a size, or no point that slips.
    """
    points = srf.points
    if not srf.planes_hold_points:
        raise SrfError("needs a PLANE block whose cell counts add up to its points to be drawn")
    sizes = [plane.nstk * plane.ndip for plane in srf.planes]
    for number, plane in enumerate(srf.planes, start=1):
        if not (plane.nstk > 0 and plane.ndip > 0 and plane.length_km > 0 and plane.width_km > 0):
            raise SrfError(f"plane {number} has {plane.nstk} x {plane.ndip} cells of "
                           f"{plane.length_km:g} km x {plane.width_km:g} km: a plane needs cells "
                           "and a size to be drawn")
    moment = srf_moment_nm(srf, rigidity)
    if not moment > 0:
        raise SrfError("has no point that slips: there is nothing to draw")
    starts = [int(start) for start in np.cumsum([0] + sizes)]
    planes, speeds = srf_planes(srf, starts)
    slip = points.total_slip_cm() / 100.0
    first = int(np.argmin(np.where(slip > 0, points.tinit_s, np.inf)))
    number = int(np.searchsorted(starts, first, side="right") - 1)
    row, column = divmod(first - starts[number], srf.planes[number].nstk)
    dt, rate = srf_moment_rate(srf, rigidity)
    pulses = [srf_pulse(srf, planes, starts, cell)
              for cell in chosen_cells(planes, (number, row, column))]
    cell_km = max(max(p.length_km / p.nstk, p.width_km / p.ndip) for p in srf.planes)
    highest, label = spectrum_limit(cell_km, speeds, dt)
    known_vs = bool(np.all(points.vs_cm_s > 0))
    return RuptureView(
        name, planes, cell_km, file_seed(srf.comments), moment_magnitude(moment),
        (number, (column + 0.5) * planes[number].length_km / srf.planes[number].nstk,
         (row + 0.5) * planes[number].width_km / srf.planes[number].ndip),
        "first point to slip", pulses, dt, rate, moment, srf_duration_s(srf),
        "Vr / VS, Vr from TINIT" if known_vs else "Vr from TINIT (km/s)",
        "rise time (s)", "mean rake",
        source_spectrum(*srf_moment_spectrum(srf, rigidity), moment, highest, label))


def srf_planes(srf: SrfFile, starts: list[int]) -> tuple[list[PlaneView], FloatArray]:
    """Each plane's view, and the rupture speeds (km/s) estimated on all of them."""
    points = srf.points
    slip = points.total_slip_cm() / 100.0
    rise = points.rise_time_s()
    rise = np.where(rise > 0, rise, np.nan)
    vs_km_s = points.vs_cm_s / 1e5
    planes, speeds = [], []
    for n, plane in enumerate(srf.planes):
        part = slice(starts[n], starts[n + 1])

        def grid(values: FloatArray) -> FloatArray:
            return values[part].reshape(plane.ndip, plane.nstk)

        speed = front_speed_km_s(grid(points.tinit_s), plane.length_km / plane.nstk,
                                 plane.width_km / plane.ndip)
        speeds.append(speed.ravel())
        shown = speed / grid(vs_km_s) if np.all(vs_km_s > 0) else speed
        planes.append(plane_view(plane, mean_rake_deg(points.rake_deg[part], slip[part]),
                                 grid(slip), grid(points.tinit_s), grid(rise), shown))
    every = np.concatenate(speeds)
    return planes, every[np.isfinite(every)]


def plane_view(plane: SrfPlane, rake_deg: float, slip_m: FloatArray, time_s: FloatArray,
               rise_time_s: FloatArray, speed: FloatArray) -> PlaneView:
    return PlaneView(plane.lon, plane.lat, plane.length_km, plane.width_km, plane.strike_deg,
                     plane.dip_deg, rake_deg, plane.top_depth_km, slip_m, time_s, rise_time_s,
                     speed if np.isfinite(speed).any() else None)


def srf_pulse(srf: SrfFile, planes: list[PlaneView], starts: list[int],
              cell: tuple[int, int, int]) -> Pulse:
    number, i, j = cell
    k = starts[number] + i * srf.planes[number].nstk + j
    return pulse(planes, cell, point_slip_rate_cm_s(srf.points, k) / 100.0,
                 float(srf.points.dt_s[k]))


def front_speed_km_s(time_s: FloatArray, along_km: float, down_km: float) -> FloatArray:
    """The front's speed 1 / |grad T| from rupture times on cells `along_km` by `down_km`
    (the eikonal equation |grad T| = 1 / Vr): central differences, averaged over
    `SPEED_SMOOTHING_KM` (a Gaussian of that standard deviation); NaN where the times
    do not change. Near the hypocentre the gradients point every way and average to
    less, so the speed there is too high."""
    sigma = (max(1.0, SPEED_SMOOTHING_KM / down_km), max(1.0, SPEED_SMOOTHING_KM / along_km))
    slowness2 = np.zeros_like(time_s)
    for axis, step in ((0, down_km), (1, along_km)):
        if time_s.shape[axis] > 1:
            gradient = np.gradient(time_s, step, axis=axis)
            slowness2 += gaussian_filter(gradient, sigma, mode="nearest") ** 2
    speed = np.full_like(time_s, np.nan)
    moving = slowness2 > 0
    speed[moving] = 1.0 / np.sqrt(slowness2[moving])
    return speed


def file_seed(comments: list[str]) -> int | None:
    """The seed a comment line "seed N" gives, as this package's files carry it."""
    found = (re.fullmatch(r"seed (\d+)", comment.strip()) for comment in comments)
    return next((int(match.group(1)) for match in found if match), None)


# ---- Where the planes lie ----------------------------------------------------------------------


def plane_points(plane: PlaneView, along_km: FloatArray, down_km: FloatArray,
                 about_lon: float) -> tuple[FloatArray, FloatArray]:
    """Longitude and latitude of points `along_km` from a plane's first end and `down_km`
    down dip: along the top edge from its centre on a WGS84 geodesic, then horizontally
    by down cos(dip) towards the local strike plus 90 degrees (Karney 2013, through
    pyproj), as `geometry.cell_centres` places the cells. Longitudes are unwrapped to
    within 180 degrees of `about_lon`, so that a fault across the antimeridian is drawn
    in one piece."""
    along, down = np.broadcast_arrays(np.asarray(along_km, dtype=np.float64),
                                      np.asarray(down_km, dtype=np.float64))
    offset_m = (along - 0.5 * plane.length_km) * 1e3
    backwards = offset_m < 0
    lon, lat, back = WGS84.fwd(np.full(along.shape, plane.lon), np.full(along.shape, plane.lat),
                               np.where(backwards, plane.strike_deg + 180.0, plane.strike_deg),
                               np.abs(offset_m))
    strike_here = np.where(backwards, back, back + 180.0)
    across_m = down * math.cos(math.radians(plane.dip_deg)) * 1e3
    lon, lat, _ = WGS84.fwd(lon, lat, strike_here + 90.0, across_m)
    lon = about_lon + (np.asarray(lon, dtype=np.float64) - about_lon + 180.0) % 360.0 - 180.0
    return lon, np.asarray(lat, dtype=np.float64)


def outline(plane: PlaneView, about_lon: float) -> tuple[FloatArray, FloatArray]:
    """The plane's four corners on the map, closed: top edge first, then the bottom."""
    along = np.array([0.0, plane.length_km, plane.length_km, 0.0, 0.0])
    down = np.array([0.0, 0.0, plane.width_km, plane.width_km, 0.0])
    return plane_points(plane, along, down, about_lon)


# ---- Layout ------------------------------------------------------------------------------------
# Every panel is placed in inches, from the chart's aspect: the charts keep it exactly, so
# their colour bars are as tall as they are, and the margins hold the labels at any size.

FIGURE_WIDTH_IN = 13.0
# Each chart's height while the chart column fits beside the map, how wide that column
# may be, and the map's widest beside it.
CHART_HEIGHT_IN = 2.2
CHART_COLUMN_IN = 6.7
MAP_WIDEST_IN = 4.6
# A longer chart spans the figure, at most this high.
FULL_CHART_HEIGHT_IN = 2.6
# Margins: left of an axes (tick labels, label), right of a chart (depth axis, colour
# bar and its labels), at the figure's right edge; above a panel (its title), between
# charts (a title), below the charts and the bottom row (tick labels, label).
LEFT_IN = 0.75
CHART_RIGHT_IN = 1.35
EDGE_IN = 0.2
TITLE_IN = 0.5
PANEL_TITLE_IN = 0.3
CHART_GAP_IN = 0.35
BELOW_IN = 0.5
BOTTOM_HEIGHT_IN = 2.2
GAP_IN = 0.15
# The colour bar beyond a chart's depth axis, and its width.
BAR_OFFSET_IN = 0.6
BAR_IN = 0.1

Rect = tuple[float, float, float, float]  # left, bottom, width, height in inches


@dataclass(frozen=True)
class Layout:
    size_in: tuple[float, float]
    charts: list[Rect]
    bars: list[Rect]
    map: Rect
    bottom: list[Rect]  # pulses, moment rate, spectrum


def chart_size(aspect: float) -> tuple[float, float, bool]:
    """(width, height) of each chart, and whether the map fits beside them. A chart
    narrower than it is high is made taller, up to twice, to keep room for its title."""
    if aspect * CHART_HEIGHT_IN <= CHART_COLUMN_IN:
        height = CHART_HEIGHT_IN / max(min(aspect, 1.0), 0.5)
        return aspect * height, height, True
    widest = FIGURE_WIDTH_IN - LEFT_IN - CHART_RIGHT_IN - EDGE_IN
    height = min(FULL_CHART_HEIGHT_IN, widest / aspect)
    return aspect * height, height, False


def layout(aspect: float) -> Layout:
    """Where every panel goes, for a chart of `aspect` (length over width)."""
    width, height, beside = chart_size(aspect)
    block = 3 * height + 2 * CHART_GAP_IN
    map_in = min(MAP_WIDEST_IN, FIGURE_WIDTH_IN - width - 2 * LEFT_IN - CHART_RIGHT_IN - EDGE_IN)
    figure_width = (width + 2 * LEFT_IN + CHART_RIGHT_IN + map_in + EDGE_IN if beside
                    else FIGURE_WIDTH_IN)
    row = BELOW_IN + BOTTOM_HEIGHT_IN + PANEL_TITLE_IN + BELOW_IN  # the bottom row's
    figure_height = TITLE_IN + PANEL_TITLE_IN + block + row
    charts = [(LEFT_IN, row + block - height - k * (height + CHART_GAP_IN), width, height)
              for k in range(3)]
    bars = [(LEFT_IN + width + BAR_OFFSET_IN, y, BAR_IN, height) for _, y, _, _ in charts]
    count = 3 if beside else 4
    panel = (figure_width - EDGE_IN - count * LEFT_IN - (count - 1) * GAP_IN) / count
    cells = [(LEFT_IN + k * (panel + LEFT_IN + GAP_IN), BELOW_IN, panel, BOTTOM_HEIGHT_IN)
             for k in range(count)]
    where = (2 * LEFT_IN + width + CHART_RIGHT_IN, row, map_in, block) if beside else cells[0]
    return Layout((round(figure_width, 2), round(figure_height, 2)), charts, bars, where,
                  cells[-3:])


# ---- Drawing -----------------------------------------------------------------------------------


def draw(stream: IO[bytes], view: RuptureView) -> None:
    """Writes the figure of a view as a PNG image.

    Parameters
    ----------
    stream : binary stream
        Where to write it.
    view : RuptureView
        The view.
    """
    with rc_context({"font.size": FONT_SIZE, "axes.titlesize": FONT_SIZE + 1}):
        compose(view).savefig(stream, format="png", dpi=DPI, metadata={"Software": None})


def compose(view: RuptureView) -> Figure:
    """The figure of a view; every plane's artists carry the gid "plane N".

    Parameters
    ----------
    view : RuptureView
        The view.

    Returns
    -------
    matplotlib.figure.Figure
        The figure, on an Agg canvas of its own (not pyplot's).
    """
    shape = layout(view.length_km / view.width_km)
    figure = Figure(figsize=shape.size_in)
    FigureCanvasAgg(figure)  # drawn without a display, whatever backend the user chose
    width, height = shape.size_in

    def place(rect: Rect, sharex: Axes | None = None) -> Axes:
        left, bottom, across, up = rect
        return figure.add_axes((left / width, bottom / height, across / width, up / height),
                               sharex=sharex)

    figure.suptitle("\n".join(title_lines(view)), fontsize=FONT_SIZE + 2,
                    y=1.0 - 0.12 / height, va="top")
    charts = [place(shape.charts[0])]
    charts += [place(rect, sharex=charts[0]) for rect in shape.charts[1:]]
    draw_charts(charts, [place(rect) for rect in shape.bars], view)
    draw_map(place(shape.map), view)
    pulses, rate, spectrum = (place(rect) for rect in shape.bottom)
    draw_pulses(pulses, view)
    draw_moment_rate(rate, view)
    draw_spectrum(spectrum, view)
    return figure


def draw_charts(charts: list[Axes], bars: list[Axes], view: RuptureView) -> None:
    """Slip and rise time coloured over their whole range; rupture speeds over all but the
    extreme 5 per cent at either end (speeds from rupture times have outliers at the
    hypocentre), the colour bar saying where it clips and what the range is."""
    panels: list[tuple[str, Callable[[PlaneView], FloatArray | None], str, float, str]] = [
        ("(a) slip and rupture time", lambda p: p.slip_m, "slip (m)", 0.0, "YlOrRd"),
        ("(b) rise time", lambda p: p.rise_time_s, view.rise_time_label, 0.0, "viridis"),
        ("(c) rupture speed", lambda p: p.speed, view.speed_label, 5.0, "plasma")]
    for axes, bar, (title, values, label, percent, cmap) in zip(charts, bars, panels):
        every = np.concatenate([np.ravel(v) for v in map(values, view.planes) if v is not None]
                               or [np.array([np.nan])])
        norm = spread(every, percent) if percent else Normalize(0.0, float(np.nanmax(every)))
        chart(axes, view, values, colormaps[cmap].with_extremes(bad="0.82"), norm)
        depth_axis(axes, view)
        extend = beyond(every, norm)
        colour_bar(bar, cmap, norm, label + clip_note(every, percent, extend), extend)
        axes.set_title(title, loc="left")
        mark_hypocentre(axes, view)
    contours(charts[0], view)
    for number, item in enumerate(view.pulses, start=1):
        x = view.starts_km()[item.plane] + item.along_km
        charts[0].plot(x, item.down_km, marker="o", markersize=4, color=f"C{number - 1}",
                       markeredgecolor="black", linestyle="none", zorder=6)
        charts[0].annotate(str(number), (x, item.down_km), xytext=(3, 3), zorder=6,
                           textcoords="offset points", color=f"C{number - 1}", fontweight="bold",
                           path_effects=[withStroke(linewidth=2.0, foreground="white")])
    for axes in charts[:2]:
        axes.tick_params(labelbottom=False)
    charts[2].set_xlabel("along strike (km)")


def spread(values: FloatArray, percent: float) -> Normalize:
    """A colour scale over the finite values from the `percent` to the 100 - `percent`
    percentile: a few extreme cells do not wash out the rest."""
    finite = values[np.isfinite(values)]
    if not finite.size:
        return Normalize(0.0, 1.0)
    low, high = (float(v) for v in np.percentile(finite, [percent, 100.0 - percent]))
    pad = 0.0 if high > low else 0.1 * abs(low) or 1.0
    return Normalize(low - pad, high + pad)


def clip_note(values: FloatArray, percent: float,
              extend: Literal["neither", "both", "min", "max"]) -> str:
    """What a clipped colour bar leaves out: its percentiles and the whole range."""
    if extend == "neither":
        return ""
    finite = values[np.isfinite(values)]
    return (f"\ncolours {percent:g}th to {100 - percent:g}th percentile;\nall "
            f"{float(finite.min()):.2g} to {float(finite.max()):.2g}")


def beyond(values: FloatArray, norm: Normalize) -> Literal["neither", "both", "min", "max"]:
    """Which ends of the colour bar values go past."""
    finite = values[np.isfinite(values)]
    low = bool(finite.size) and float(finite.min()) < float(norm.vmin or 0.0)
    high = bool(finite.size) and float(finite.max()) > float(norm.vmax or 0.0)
    return "both" if low and high else "min" if low else "max" if high else "neither"


def chart(axes: Axes, view: RuptureView, values: Callable[[PlaneView], FloatArray | None],
          cmap: Colormap, norm: Normalize) -> None:
    """Every plane's values side by side along strike, a thin line at each junction."""
    for number, (plane, start) in enumerate(zip(view.planes, view.starts_km())):
        grid = values(plane)
        extent = (start, start + plane.length_km, plane.width_km, 0.0)
        if grid is None:
            grid = np.full((1, 1), np.nan)
        axes.imshow(grid, extent=extent, cmap=cmap, norm=norm, interpolation="nearest",
                    gid=f"plane {number + 1}")
        axes.add_patch(Rectangle((start, 0.0), plane.length_km, plane.width_km,
                                 fill=False, linewidth=0.6, edgecolor="black"))
        if number:
            axes.axvline(start, color="black", linewidth=0.8)
    if all(values(plane) is None for plane in view.planes):
        axes.text(0.5, 0.5, "not known", transform=axes.transAxes, ha="center", va="center")
    axes.set_xlim(0.0, view.length_km)
    axes.set_ylim(view.width_km, 0.0)
    axes.set_aspect("equal")
    axes.set_ylabel("down dip (km)")
    axes.yaxis.set_major_locator(MaxNLocator(4))


def depth_axis(axes: Axes, view: RuptureView) -> None:
    """Depth on the right when every plane has the same top and dip (depth = top + down
    dip x sin(dip)); else each plane's depths written on it."""
    first = view.planes[0]
    if all((p.top_depth_km, p.dip_deg) == (first.top_depth_km, first.dip_deg)
           for p in view.planes):
        sine, top = math.sin(math.radians(first.dip_deg)), first.top_depth_km

        def to_depth(down: npt.ArrayLike) -> npt.ArrayLike:
            return top + np.asarray(down) * sine

        def to_down(depth_km: npt.ArrayLike) -> npt.ArrayLike:
            return (np.asarray(depth_km) - top) / sine

        depth = axes.secondary_yaxis("right", functions=(to_depth, to_down))
        depth.set_ylabel("depth (km)")
        depth.yaxis.set_major_locator(MaxNLocator(4))
        return
    for plane, start in zip(view.planes, view.starts_km()):
        axes.text(start + 0.02 * view.length_km, 0.04 * view.width_km,
                  f"{plane.top_depth_km:.3g}-{plane.bottom_depth_km:.3g} km deep",
                  fontsize=FONT_SIZE - 1, va="top",
                  bbox={"facecolor": "white", "alpha": 0.7, "linewidth": 0, "pad": 1})


def colour_bar(bar: Axes, cmap: str, norm: Normalize, label: str,
               extend: Literal["neither", "both", "min", "max"]) -> None:
    mappable = ScalarMappable(norm=norm, cmap=cmap)
    colours = bar.figure.colorbar(mappable, cax=bar, extend=extend)
    colours.set_label(label, fontsize=FONT_SIZE - 1)
    colours.ax.yaxis.set_major_locator(MaxNLocator(4))


def contours(axes: Axes, view: RuptureView) -> None:
    latest = max(float(plane.time_s.max()) for plane in view.planes)
    step = contour_step_s(latest)
    for plane, start in zip(view.planes, view.starts_km()):
        rows, columns = plane.time_s.shape
        levels = np.arange(step, plane.time_s.max(), step)
        if not levels.size or rows < 2 or columns < 2:
            continue
        along = start + (np.arange(columns) + 0.5) * plane.length_km / columns
        down = (np.arange(rows) + 0.5) * plane.width_km / rows
        lines = axes.contour(along, down, plane.time_s, levels=levels, colors="black",
                             linewidths=0.6)
        axes.clabel(lines, fmt="%g s", fontsize=FONT_SIZE - 2)


def contour_step_s(duration_s: float) -> float:
    """A round contour interval giving about ten rupture-time contours."""
    target = max(duration_s, 1e-3) / 10.0
    power = 10.0 ** np.floor(np.log10(target))
    return float(next(step * power for step in (1.0, 2.0, 5.0, 10.0) if step * power >= target))


def mark_hypocentre(axes: Axes, view: RuptureView) -> None:
    number, along, down = view.hypocentre
    axes.plot(view.starts_km()[number] + along, down, marker="*", markersize=12,
              color="deepskyblue", markeredgecolor="black", linestyle="none", zorder=7)


def draw_map(axes: Axes, view: RuptureView) -> None:
    """Outlines, top edges (solid at the surface, dashed when buried), slip on planes that
    are not steep, and the epicentre, with longitude scaled by cos(latitude)."""
    norm = Normalize(0.0, max(float(p.slip_m.max()) for p in view.planes))
    about = view.planes[0].lon
    for number, plane in enumerate(view.planes, start=1):
        if plane.dip_deg <= MAP_SLIP_STEEPEST_DEG:
            map_slip(axes, plane, norm, number, about)
        lon, lat = outline(plane, about)
        axes.plot(lon, lat, color="black", linewidth=0.8, gid=f"plane {number}")
        buried = plane.top_depth_km > 0
        axes.plot(lon[:2], lat[:2], color="black", linewidth=2.0, linestyle="--" if buried else "-",
                  label="top edge, buried" if buried else "surface trace")
        if len(view.planes) > 1:
            axes.annotate(str(number), (float(lon[2:4].mean()), float(lat[2:4].mean())),
                          fontsize=FONT_SIZE - 1, color="0.3", ha="center")
    number, along, down = view.hypocentre
    lon, lat = plane_points(view.planes[number], np.array(along), np.array(down), about)
    axes.plot(lon, lat, marker="*", markersize=14, color="deepskyblue",
              markeredgecolor="black", linestyle="none", zorder=5, label="epicentre")
    handles, labels = axes.get_legend_handles_labels()
    unique = dict(zip(labels, handles))
    axes.legend(unique.values(), unique.keys(), fontsize=FONT_SIZE - 2, loc="upper right")
    frame_map(axes, view)


def map_slip(axes: Axes, plane: PlaneView, norm: Normalize, number: int, about_lon: float) -> None:
    """Slip on the plane's cells, at most `MAP_CELLS` of them each way."""
    rows, columns = plane.slip_m.shape
    steps = (max(1, math.ceil(rows / MAP_CELLS)), max(1, math.ceil(columns / MAP_CELLS)))
    along = np.minimum(np.arange(0, columns + steps[1], steps[1]), columns) / columns
    down = np.minimum(np.arange(0, rows + steps[0], steps[0]), rows) / rows
    lon, lat = plane_points(plane, along[None, :] * plane.length_km,
                            down[:, None] * plane.width_km, about_lon)
    axes.pcolormesh(lon, lat, plane.slip_m[::steps[0], ::steps[1]], cmap="YlOrRd", norm=norm,
                    shading="flat", rasterized=True, gid=f"plane {number} slip")


def frame_map(axes: Axes, view: RuptureView) -> None:
    """Limits around the outlines with a margin, the panel filled, a degree of longitude
    as long as cos(latitude) degrees of latitude (equal distances either way), and a
    scale bar."""
    corners = [outline(plane, view.planes[0].lon) for plane in view.planes]
    lon = np.concatenate([c[0] for c in corners])
    lat = np.concatenate([c[1] for c in corners])
    middle = 0.5 * (float(lat.min()) + float(lat.max()))
    stretch = 1.0 / math.cos(math.radians(middle))
    half = 0.65 * max(float(np.ptp(lon)) / stretch, float(np.ptp(lat)), 1e-3)
    centre = (0.5 * (float(lon.min()) + float(lon.max())), middle)
    axes.update_datalim([(centre[0] - half * stretch, centre[1] - half),
                         (centre[0] + half * stretch, centre[1] + half)])
    axes.margins(0.0)
    axes.autoscale_view()
    axes.set_aspect(stretch, adjustable="datalim")
    scale_bar(axes, centre, half)
    axes.xaxis.set_major_locator(MaxNLocator(4))
    # Longitudes unwrapped beyond 180 degrees are labelled as the longitudes they are.
    axes.xaxis.set_major_formatter(FuncFormatter(lambda lon, _: f"{(lon + 180.0) % 360.0 - 180.0:g}"))
    axes.yaxis.set_major_locator(MaxNLocator(5))
    axes.set_xlabel("longitude (°)")
    axes.set_ylabel("latitude (°)")
    axes.set_title("(d) map", loc="left")
    axes.grid(alpha=0.3)


def scale_bar(axes: Axes, centre: tuple[float, float], half_deg: float) -> None:
    """A bar of a round number of km, about a third of the framed distance (a degree of
    latitude is about 111 km), at the lower left; its length in longitude from a WGS84
    geodesic due east."""
    target_km = 0.6 * half_deg * 111.0
    power = 10.0 ** math.floor(math.log10(target_km))
    km = next(step * power for step in (5.0, 2.0, 1.0) if step * power <= target_km)
    east, _, _ = WGS84.fwd(centre[0], centre[1], 90.0, km * 1e3)
    axes.add_artist(AnchoredSizeBar(axes.transData, float(east) - centre[0], f"{km:g} km",
                                    "lower left", frameon=False, size_vertical=0.0,
                                    fontproperties={"size": FONT_SIZE - 1}))


def draw_pulses(axes: Axes, view: RuptureView) -> None:
    """The pulses, with room above the highest for their legend."""
    for number, item in enumerate(view.pulses, start=1):
        axes.plot(item.time_s, item.rate_m_s, color=f"C{number - 1}",
                  label=f"{number}: {item.label}")
    peak = max([float(item.rate_m_s.max()) for item in view.pulses if item.rate_m_s.size]
               or [1.0])
    axes.set_ylim(0.0, 1.5 * peak)
    axes.set_xlabel("time (s)")
    axes.set_ylabel("slip rate (m/s)")
    axes.set_title("(e) slip-rate pulses", loc="left")
    axes.legend(fontsize=FONT_SIZE - 2, loc="upper right")
    axes.grid(alpha=0.3)


def draw_moment_rate(axes: Axes, view: RuptureView) -> None:
    rate = view.moment_rate_nm_s
    power = math.floor(math.log10(max(float(rate.max()), 1e-30)))
    axes.plot(np.arange(rate.size) * view.moment_rate_dt_s, rate / 10.0**power, color="black")
    axes.set_xlabel("time (s)")
    axes.set_ylabel(f"moment rate ($10^{{{power}}}$ N m/s)")
    axes.set_title("(f) moment rate", loc="left")
    axes.text(0.97, 0.95, f"M0 {view.moment_nm:.3g} N m\nMw {view.mw:.2f}\n"
              f"duration {view.duration_s:.3g} s", transform=axes.transAxes, ha="right",
              va="top", fontsize=FONT_SIZE - 1,
              bbox={"facecolor": "white", "alpha": 0.8, "linewidth": 0})
    axes.set_xlim(left=0.0)
    axes.grid(alpha=0.3)


def draw_spectrum(axes: Axes, view: RuptureView) -> None:
    """The spectrum, its band averages, and the Brune spectrum fitted to them."""
    found = view.spectrum
    shown = found.frequency_hz > 0
    frequency = found.frequency_hz[shown]
    axes.loglog(frequency, found.amplitude_nm[shown], color="0.7", linewidth=0.6,
                label="amplitude")
    axes.loglog(found.band_hz, found.band_nm, "o-", color="black", markersize=2.5,
                linewidth=1.0, label="third-octave bands")
    axes.loglog(frequency, found.brune_nm[shown], "--", color="crimson", linewidth=1.2,
                label=f"Brune, fc {found.corner_hz:.2g} Hz,\n"
                      f"stress drop {found.stress_drop_pa / 1e6:.2g} MPa")
    axes.axvline(found.highest_hz, color="0.4", linestyle=":", linewidth=1.0)
    axes.annotate(found.highest_label, (found.highest_hz, 0.03), xycoords=("data", "axes fraction"),
                  xytext=(-2, 0), textcoords="offset points", ha="right", va="bottom",
                  rotation=90, fontsize=FONT_SIZE - 1,
                  bbox={"facecolor": "white", "alpha": 0.8, "linewidth": 0, "pad": 1})
    axes.set_xlim(frequency[0], frequency[-1])
    floor = max(float(found.band_nm.min()) / 30.0, view.moment_nm * 1e-7)
    axes.set_ylim(floor, view.moment_nm * 3.0)
    axes.set_xlabel("frequency (Hz)")
    axes.set_ylabel("moment-rate spectrum (N m)")
    axes.set_title("(g) source spectrum", loc="left")
    axes.legend(fontsize=FONT_SIZE - 2, loc="lower left")
    axes.grid(alpha=0.3, which="both", linewidth=0.4)
