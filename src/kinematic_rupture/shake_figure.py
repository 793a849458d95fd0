"""The figure of `shake`: a map of the stations coloured by PGV over the fault, ground
velocity at a few stations, and their RotD50 response spectra against the NGA-West2
models. Drawn with matplotlib's object interface on a Figure of its own.

.. autosummary::

   draw
   ShakeView
   shown_stations
"""

from collections.abc import Sequence
from dataclasses import dataclass
from typing import IO

import numpy as np
import numpy.typing as npt
from matplotlib.colors import LogNorm
from matplotlib.figure import Figure
from matplotlib.gridspec import SubplotSpec
from matplotlib.ticker import NullFormatter, ScalarFormatter

from .gmm import MODEL_NAMES, Prediction
from .rupture_surface import Surface
from .shaking import Seismograms
from .stations import Station

__all__ = ["draw", "ShakeView", "shown_stations"]

FloatArray = npt.NDArray[np.float64]

# Stations drawn in the waveform and spectrum panels: those nearest these Rrup (km).
SHOWN_DISTANCES_KM = (2.0, 10.0, 30.0, 80.0)
COLOURS = ("#1b6ca8", "#d1495b", "#edae49", "#00798c")
COMPONENT_NAMES = ("east", "north", "up")


@dataclass(frozen=True, eq=False)
class ShakeView:
    """What the figure shows.

    Parameters
    ----------
    title : str
        Its title.
    surface : Surface
        The rupture's surface.
    stations : sequence of Station
        The stations.
    rrup_km : numpy.ndarray
        Their Rrup, km.
    pgv_m_s : numpy.ndarray
        Their RotD50 PGV, m/s.
    motion : Seismograms
        Their motion.
    periods_s : numpy.ndarray
        The spectra's periods, s.
    psa_g : numpy.ndarray
        RotD50 PSA, g, (stations, periods).
    prediction : Prediction or None
        The models' medians, None without pygmm.
    note : str
        A line at the foot of the spectra ("" for none).
    """

    title: str
    surface: Surface
    stations: Sequence[Station]
    rrup_km: FloatArray
    pgv_m_s: FloatArray
    motion: Seismograms
    periods_s: FloatArray
    psa_g: FloatArray  # (stations, periods)
    prediction: Prediction | None
    note: str


def shown_stations(rrup_km: FloatArray) -> list[int]:
    """Up to four stations to show, nearest Rrup 2, 10, 30 and 80 km (`SHOWN_DISTANCES_KM`),
    each once.

    Parameters
    ----------
    rrup_km : numpy.ndarray
        The stations' Rrup, km.

    Returns
    -------
    list of int
        The stations, nearest first.
    """
    chosen: list[int] = []
    for distance in SHOWN_DISTANCES_KM:
        order = np.argsort(np.abs(np.log(np.maximum(rrup_km, 0.1) / distance)))
        pick = next((int(k) for k in order if int(k) not in chosen), None)
        if pick is not None:
            chosen.append(pick)
    return sorted(chosen, key=lambda k: float(rrup_km[k]))


def draw_map(figure: Figure, area: SubplotSpec, view: ShakeView) -> None:
    axes = figure.add_subplot(area)
    surface = view.surface
    for rect in surface.rectangles:
        outline = rect.corners[[0, 1, 2, 3, 0]]
        axes.fill(outline[:, 0], outline[:, 1], color="0.85", zorder=1)
        axes.plot(outline[:, 0], outline[:, 1], color="0.4", lw=0.8, zorder=2)
        axes.plot(rect.corners[:2, 0], rect.corners[:2, 1], color="k", lw=2.0, zorder=3)
    lon = np.array([station.lon for station in view.stations])
    lat = np.array([station.lat for station in view.stations])
    x, y = surface.local(lon, lat)
    pgv = np.maximum(view.pgv_m_s * 100.0, 1e-6)
    points = axes.scatter(x, y, c=pgv, s=36, cmap="viridis", edgecolors="k", linewidths=0.4,
                          norm=LogNorm(vmin=float(pgv.min()), vmax=float(pgv.max())), zorder=4)
    for k, colour in zip(shown_stations(view.rrup_km), COLOURS):
        axes.annotate(view.stations[k].name, (x[k], y[k]), xytext=(4, 4),
                      textcoords="offset points", fontsize=8, color=colour, weight="bold")
    figure.colorbar(points, ax=axes, label="PGV, RotD50 (cm/s)", shrink=0.6)
    axes.set(xlabel="km east", ylabel="km north", aspect="equal",
             title="stations coloured by PGV; fault in grey, top edge black")
    axes.grid(alpha=0.3)


def draw_waveforms(figure: Figure, area: SubplotSpec, view: ShakeView) -> None:
    shown = shown_stations(view.rrup_km)
    grid = area.subgridspec(3, 1, hspace=0.08)
    times = view.motion.times_s()
    first = None
    for axis in range(3):
        axes = figure.add_subplot(grid[axis], sharex=first)
        first = first or axes
        for k, colour in zip(shown, COLOURS):
            trace = view.motion.velocity[k, axis] * 100.0
            axes.plot(times, trace, color=colour, lw=0.8,
                      label=f"{view.stations[k].name}, Rrup {view.rrup_km[k]:.3g} km")
        axes.set_ylabel(f"{COMPONENT_NAMES[axis]} (cm/s)")
        axes.grid(alpha=0.3)
        if axis == 0:
            axes.set_title("ground velocity")
            axes.legend(fontsize=7, loc="upper right")
        if axis < 2:
            axes.tick_params(labelbottom=False)
    if first is not None:
        figure.axes[-1].set_xlabel("time after the rupture's start (s)")


def draw_spectra(figure: Figure, area: SubplotSpec, view: ShakeView) -> None:
    axes = figure.add_subplot(area)
    shown = shown_stations(view.rrup_km)
    for k, colour in zip(shown, COLOURS):
        axes.plot(view.periods_s, view.psa_g[k], color=colour, lw=2.0, marker="o", ms=3,
                  label=f"{view.stations[k].name} simulated")
        if view.prediction is not None:
            medians = view.prediction.median_g[:, k]
            axes.fill_between(view.periods_s, medians.min(axis=0), medians.max(axis=0),
                              color=colour, alpha=0.18, lw=0)
            axes.plot(view.periods_s, np.exp(np.log(medians).mean(axis=0)), color=colour,
                      lw=1.0, ls="--")
    if view.prediction is not None:
        axes.fill_between([], [], [], color="0.5", alpha=0.3,
                          label="range of the " + ", ".join(MODEL_NAMES) + " medians")
        axes.plot([], [], color="0.3", lw=1.0, ls="--", label="their geometric mean")
    axes.set(xscale="log", yscale="log", xlabel="period (s)", ylabel="PSA, RotD50, 5% (g)",
             title="response spectra against NGA-West2")
    axes.xaxis.set_major_formatter(ScalarFormatter())
    axes.xaxis.set_minor_formatter(NullFormatter())
    axes.set_xticks(view.periods_s)
    axes.grid(which="both", alpha=0.3)
    axes.legend(fontsize=7, ncol=2)
    if view.note:
        axes.text(0.02, 0.02, view.note, transform=axes.transAxes, fontsize=7, va="bottom",
                  wrap=True)


def draw(stream: IO[bytes], view: ShakeView) -> None:
    """Draws the figure as a PNG.

    Parameters
    ----------
    stream : binary stream
        Where to write it.
    view : ShakeView
        What it shows.
    """
    figure = Figure(figsize=(15.0, 9.5), layout="constrained")
    grid = figure.add_gridspec(2, 2, width_ratios=(1.0, 1.25))
    draw_map(figure, grid[:, 0], view)
    draw_waveforms(figure, grid[0, 1], view)
    draw_spectra(figure, grid[1, 1], view)
    figure.suptitle(view.title)
    figure.savefig(stream, format="png", dpi=100)
