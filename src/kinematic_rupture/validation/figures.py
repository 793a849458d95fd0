"""The validation's figures, drawn with matplotlib's object-oriented interface (no pyplot
state): each measure against magnitude with its published range, the spectra over
Brune's, corner frequency and rise time against moment, and the local rupture speed with
depth. `FIGURES` lists them with their files and captions.

.. autosummary::

   against_magnitude
   spectra
   corners
   speed_with_depth
"""

import math
from collections.abc import Callable
from dataclasses import dataclass
from typing import IO

import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.backends.backend_agg import FigureCanvasAgg
from matplotlib.figure import Figure

from .. import brune, scaling
from .comparison import STANDARD_ERRORS, spectrum_ratios
from .report import Figure as ReportFigure
from .report import Validation
from .suite import MECHANISMS, Ensemble

__all__ = ["FIGURES", "against_magnitude", "spectra", "corners", "speed_with_depth"]

FloatArray = npt.NDArray[np.float64]

DPI = 100
MARKERS = {"strike-slip": ("o", "tab:blue"), "reverse": ("s", "tab:red")}


def save(figure: Figure, stream: IO[bytes]) -> None:
    """Writes a figure as a PNG, with no date or software in it.

    Parameters
    ----------
    figure : matplotlib.figure.Figure
        The figure.
    stream : binary stream
        Where to write it.
    """
    FigureCanvasAgg(figure)
    figure.savefig(stream, format="png", dpi=DPI, metadata={"Software": None})


def writer(figure: Figure) -> Callable[[IO[bytes]], None]:
    """A figure's writer, as `files.FileSet.write_with` takes it.

    Parameters
    ----------
    figure : matplotlib.figure.Figure
        The figure.

    Returns
    -------
    callable
        Writes the PNG to a binary stream.
    """
    return lambda stream: save(figure, stream)


def style(ensemble: Ensemble) -> tuple[str, str]:
    return MARKERS.get(ensemble.scenario.mechanism, ("D", "tab:green"))


# ---- Each measure against magnitude ---------------------------------------------------------

@dataclass(frozen=True)
class Panel:
    key: str
    title: str
    log: bool = False


PANELS = (
    Panel("vr_deep", "mean Vr / Vs below 8 km"),
    Panel("vr_shallow", "Vr / Vs above 5 km over below 8 km"),
    Panel("speed_slip", "correlation of local Vr / Vs with slip"),
    Panel("supershear", "share of cells faster than Vs"),
    Panel("rise_mean", "mean rise time / Somerville et al. (1999)"),
    Panel("longest_rise_mean", "longest rise time / mean, worst rupture"),
    Panel("longest_rise_duration", "longest rise time / duration, worst rupture"),
    Panel("stress_drop", "Brune stress drop (MPa)", log=True),
    Panel("brune_mean", "mean spectrum / Brune, farthest band", log=True),
    Panel("brune_each", "share of ruptures within 3 x Brune"),
    Panel("hypocentre_slip", "hypocentres in large or very large slip"),
    Panel("peak_rate_2", "99th percentile of peak slip rate (m/s)"),
)


def against_magnitude(validation: Validation) -> Figure:
    """One panel per measure: each ensemble's value at its magnitude (marker by mechanism,
    hollow when it fails; a bar of two standard errors either side where a sampling error
    widens the range), the range it must stay in shaded.

    Parameters
    ----------
    validation : Validation
        The validation.

    Returns
    -------
    matplotlib.figure.Figure
        The figure, on no canvas of pyplot's.
    """
    results = {(r.key, r.scenario): r for r in [*validation.published, *validation.consistency]}
    columns = 4
    rows = math.ceil(len(PANELS) / columns)
    figure = Figure(figsize=(4.0 * columns, 3.0 * rows), layout="constrained")
    axes = figure.subplots(rows, columns, squeeze=False).ravel()
    for panel, chosen in zip(axes, PANELS):
        shaded = False
        for ensemble in validation.ensembles:
            result = results.get((chosen.key, ensemble.scenario.label))
            if result is None or not result.applies:
                continue
            if not shaded:
                top = result.high if math.isfinite(result.high) else None
                panel.axhspan(result.low, top if top is not None else result.low * 10,
                              color="green", alpha=0.12, label="range")
                shaded = True
            marker, colour = style(ensemble)
            panel.errorbar(ensemble.scenario.magnitude, result.measured,
                           yerr=STANDARD_ERRORS * result.error if result.error > 0 else None,
                           fmt=marker, color=colour, capsize=3, markersize=7,
                           markerfacecolor=colour if result.passed else "none")
        panel.set_title(chosen.title, fontsize=9)
        panel.set_xlabel("Mw")
        if chosen.log:
            panel.set_yscale("log")
        panel.grid(alpha=0.3)
    for mechanism, (marker, colour) in MARKERS.items():
        axes[0].plot([], [], marker, color=colour, label=mechanism)
    axes[0].legend(fontsize=7)
    for panel in axes[len(PANELS):]:
        panel.set_visible(False)
    return figure


# ---- Spectra ------------------------------------------------------------------------------------

def spectra(validation: Validation) -> Figure:
    """Each ensemble's geometric-mean spectrum over Brune's, against frequency over the
    ensemble's corner.

    Parameters
    ----------
    validation : Validation
        The validation.

    Returns
    -------
    matplotlib.figure.Figure
        The figure.
    """
    figure = Figure(figsize=(11.0, 4.5), layout="constrained")
    left, right = figure.subplots(1, 2)
    shades = np.linspace(0.25, 0.95, max(len(validation.ensembles), 1))
    for shade, ensemble in zip(shades, validation.ensembles):
        ratios = spectrum_ratios(ensemble.measures)
        if not ratios.band_hz.size:
            continue
        marker, colour = style(ensemble)
        corner = float(np.median([m.corner_hz for m in ensemble.measures]))
        panel = left if ensemble.scenario.mechanism != "reverse" else right
        panel.semilogx(ratios.band_hz / corner, ratios.mean_ratio(), "-", marker=marker,
                       markersize=3, color=colour, alpha=float(shade),
                       label=f"{ensemble.scenario.label} (fc {corner:.2g} Hz, to "
                       f"{ratios.band_hz[-1]:.2g} Hz)")
    for panel, title in ((left, "strike-slip (and other)"), (right, "reverse")):
        panel.axhspan(0.5, 2.0, color="green", alpha=0.12, label="factor 2")
        panel.axhline(1.0, color="black", linewidth=0.8)
        panel.set_yscale("log")
        panel.set_ylim(0.2, 5.0)
        panel.set_xlabel("frequency / median fitted corner")
        panel.set_ylabel("geometric mean of band / own Brune")
        panel.set_title(title)
        panel.grid(alpha=0.3, which="both")
        panel.legend(fontsize=7)
    return figure


def corners(validation: Validation) -> Figure:
    """Corner frequency and mean rise time against moment: every rupture, with the published
    scalings.

    Parameters
    ----------
    validation : Validation
        The validation.

    Returns
    -------
    matplotlib.figure.Figure
        The figure.
    """
    figure = Figure(figsize=(11.0, 4.5), layout="constrained")
    left, right = figure.subplots(1, 2)
    moments = np.array([m.moment_nm for e in validation.ensembles for m in e.measures])
    span = np.geomspace(moments.min() / 2.0, moments.max() * 2.0, 50)
    for ensemble in validation.ensembles:
        marker, colour = style(ensemble)
        moment = [m.moment_nm for m in ensemble.measures]
        left.loglog(moment, [m.corner_hz for m in ensemble.measures], marker, color=colour,
                    markersize=3, alpha=0.5)
        right.loglog(moment, [m.mean_rise_s for m in ensemble.measures], marker, color=colour,
                     markersize=3, alpha=0.5)
    for stress, style_ in ((1e6, ":"), (1e7, "--")):
        left.loglog(span, [brune.corner_from_stress_drop(m, stress) for m in span], style_,
                    color="black", label=f"Brune, {stress / 1e6:g} MPa")
    right.loglog(span, [scaling.somerville_rise_time_s(m) for m in span], "-", color="black",
                 label="Somerville et al. (1999)")
    right.fill_between(span, [0.8 * scaling.somerville_rise_time_s(m) for m in span],
                       [1.2 * scaling.somerville_rise_time_s(m) for m in span], color="green",
                       alpha=0.12, label="± 20%")
    for mechanism, (marker, colour) in MARKERS.items():
        if any(e.scenario.mechanism == mechanism for e in validation.ensembles):
            left.plot([], [], marker, color=colour, label=mechanism)
    left.set_ylabel("fitted corner frequency (Hz)")
    right.set_ylabel("mean rise time (s)")
    for panel in (left, right):
        panel.set_xlabel("seismic moment (N m)")
        panel.grid(alpha=0.3, which="both")
        panel.legend(fontsize=7)
    return figure


def speed_with_depth(validation: Validation) -> Figure:
    """The 2 km blocks' Vr / Vs against depth, every ensemble pooled.

    Parameters
    ----------
    validation : Validation
        The validation.

    Returns
    -------
    matplotlib.figure.Figure
        The figure.
    """
    figure = Figure(figsize=(8.0, 4.5), layout="constrained")
    panel: Axes = figure.subplots()
    for ensemble in validation.ensembles:
        marker, colour = style(ensemble)
        ratio = np.concatenate([m.plot_ratio for m in ensemble.measures])
        depth = np.concatenate([m.plot_depth_km for m in ensemble.measures])
        panel.plot(ratio, depth, ".", color=colour, markersize=1.5, alpha=0.3)
    panel.axvspan(0.75, 0.85, color="green", alpha=0.12, label="0.75 to 0.85 (below 8 km)")
    panel.axvline(1.0, color="black", linewidth=0.8, label="shear-wave speed")
    panel.axhspan(5.0, 8.0, color="grey", alpha=0.1, label="shallow zone's ramp")
    panel.invert_yaxis()
    panel.set_xlabel("Vr / Vs of a 2 km block, from the written rupture times")
    panel.set_ylabel("depth (km)")
    panel.legend(fontsize=8)
    panel.grid(alpha=0.3)
    return figure


FIGURES: tuple[tuple[ReportFigure, Callable[[Validation], Figure]], ...] = (
    (ReportFigure("against_magnitude.png", "Each measure against magnitude: filled where it "
                  "passes, hollow where it fails; shaded, the range it must stay in; bars, "
                  "two standard errors either side, where a share of 30 draws may pass that "
                  "far outside it."),
     against_magnitude),
    (ReportFigure("moment_rate_over_brune.png", "Moment-rate spectra over each rupture's fitted "
                  "Brune spectrum, geometric mean over each ensemble."), spectra),
    (ReportFigure("corners_and_rise_times.png", "Fitted corner frequencies and mean rise times "
                  "of every rupture against moment."), corners),
    (ReportFigure("rupture_speed_with_depth.png", "Local rupture speed over shear-wave speed "
                  "from the written rupture times, against depth."), speed_with_depth),
)

