"""The report of `validate --ground-motion`: report.md with a figure per scenario in the
manner of the Broadband Platform's Part B plots (per distance bin, the ensemble's median
and within-event spread against each model's median and the models' sigma) and a figure of
the biases of every scenario against the limits."""

import datetime
import math
from collections.abc import Sequence
from typing import IO

import numpy as np
import numpy.typing as npt
from matplotlib.axes import Axes
from matplotlib.figure import Figure
from matplotlib.ticker import NullFormatter, ScalarFormatter

from .gmm import MODEL_NAMES, Site
from .ground_motion_validation import (CELL_BIAS_LIMIT, CHECKED_LONGEST_PERIOD_S, MEAN_BIAS_LIMIT,
                                       ScenarioResult)

__all__ = ["report_text", "draw_scenario", "draw_biases", "REPORT"]

REPORT = "report.md"
MODEL_COLOURS = {"ASK14": "#1b6ca8", "BSSA14": "#d1495b", "CB14": "#edae49", "CY14": "#00798c"}
# The periods past the checked ones are shaded from this factor times the longest checked.
UNCHECKED_FROM = 1.2
BIN_COLOURS = ("#440154", "#443983", "#31688e", "#21918c", "#35b779", "#90d743", "#e0c100")


def period_axis(axes: Axes, periods: npt.NDArray[np.float64]) -> None:
    axes.set_xscale("log")
    axes.set_xticks(periods)
    axes.xaxis.set_major_formatter(ScalarFormatter())
    axes.xaxis.set_minor_formatter(NullFormatter())


def draw_scenario(stream: IO[bytes], result: ScenarioResult) -> None:
    """The figure of one scenario, in the manner of the Broadband Platform's Part B plots: one
    panel per distance bin, each model's median, the models' geometric mean times
    exp(+-sigma), and the ensemble's median times exp(+-phi).

    Parameters
    ----------
    stream : binary stream
        Where to write the PNG.
    result : ScenarioResult
        The scenario.
    """
    bins = result.bins_km
    columns = 4
    rows = -(-len(bins) // columns)
    figure = Figure(figsize=(4.0 * columns, 3.4 * rows + 0.6), layout="constrained")
    grid = figure.add_gridspec(rows, columns)
    median, sigma = result.models_per_bin()
    simulated = result.simulated_median_g()
    phi = result.phi()
    periods = result.periods_s
    for number, ring in enumerate(bins):
        axes = figure.add_subplot(grid[number // columns, number % columns])
        mean = np.exp(np.log(median[:, :, number]).mean(axis=0))
        spread = sigma[:, :, number].mean(axis=0)
        axes.fill_between(periods, mean * np.exp(-spread), mean * np.exp(spread), color="0.85",
                          label="models' mean x exp(+-sigma)")
        for model, name in enumerate(MODEL_NAMES):
            axes.plot(periods, median[model, :, number], color=MODEL_COLOURS[name], lw=1.0,
                      label=name)
        axes.errorbar(periods, simulated[:, number],
                      yerr=[simulated[:, number] * (1 - np.exp(-phi[:, number])),
                            simulated[:, number] * (np.exp(phi[:, number]) - 1)],
                      color="k", marker="o", ms=3, lw=1.6, capsize=2,
                      label="ensemble median x exp(+-phi)")
        axes.axvspan(UNCHECKED_FROM * CHECKED_LONGEST_PERIOD_S, periods.max() * 1.05, color="0.95", zorder=0)
        period_axis(axes, periods)
        axes.set_yscale("log")
        axes.set_title(f"Rjb {ring:g} km: bias {result.bias()[result.checked(), number].mean():+.2f}",
                       fontsize=9)
        axes.set_xlabel("period (s)")
        axes.set_ylabel("PSA RotD50 (g)")
        axes.grid(which="both", alpha=0.3)
        if number == 0:
            axes.legend(fontsize=7)
    count = len(result.seeds)
    figure.suptitle(f"{result.scenario.key}: {result.scenario.describe()}; {count} "
                    f"rupture{'s' if count > 1 else ''}, {len(result.stations)} footwall stations (periods past "
                    f"{CHECKED_LONGEST_PERIOD_S:g} s shaded: not checked)")
    figure.savefig(stream, format="png", dpi=90)


def draw_biases(stream: IO[bytes], results: Sequence[ScenarioResult]) -> None:
    """Every scenario's bias per bin and its mean over the bins, against the limits.

    Parameters
    ----------
    stream : binary stream
        Where to write the PNG.
    results : sequence of ScenarioResult
        The scenarios.
    """
    columns = 3
    rows = -(-len(results) // columns)
    figure = Figure(figsize=(4.6 * columns, 3.4 * rows + 0.5), layout="constrained")
    grid = figure.add_gridspec(rows, columns)
    for number, result in enumerate(results):
        axes = figure.add_subplot(grid[number // columns, number % columns])
        bias = result.bias()
        for k, ring in enumerate(result.bins_km):
            axes.plot(result.periods_s, bias[:, k], color=BIN_COLOURS[k % len(BIN_COLOURS)],
                      lw=0.9, marker=".", label=f"Rjb {ring:g} km")
        axes.plot(result.periods_s, result.mean_bias(), color="k", lw=2.2, label="mean over bins")
        for limit, style in ((MEAN_BIAS_LIMIT, "--"), (CELL_BIAS_LIMIT, ":")):
            axes.axhline(limit, color="0.3", ls=style, lw=1)
            axes.axhline(-limit, color="0.3", ls=style, lw=1)
        axes.axhline(0, color="0.5", lw=0.6)
        axes.axvspan(UNCHECKED_FROM * CHECKED_LONGEST_PERIOD_S, result.periods_s.max() * 1.05,
                     color="0.93", zorder=0)
        period_axis(axes, result.periods_s)
        axes.set_ylim(-2.0, 2.0)
        axes.set_title(f"{result.scenario.key}: {'PASS' if result.passes() else 'FAIL'}", fontsize=10)
        axes.set_xlabel("period (s)")
        axes.set_ylabel("ln(simulated / models)")
        axes.grid(which="both", alpha=0.3)
        if number == 0:
            axes.legend(fontsize=6, ncol=2)
    figure.suptitle(f"bias against the NGA-West2 models' geometric mean; limits +-{MEAN_BIAS_LIMIT:g} "
                    f"(mean over bins, dashed) and +-{CELL_BIAS_LIMIT:g} (each bin, dotted)")
    figure.savefig(stream, format="png", dpi=90)


def scenario_table(result: ScenarioResult) -> list[str]:
    bias, phi = result.bias(), result.phi()
    _, sigma = result.models_per_bin()
    tau = result.tau()
    header = ("| period s | " + " | ".join(f"Rjb {ring:g}" for ring in result.bins_km)
              + " | mean | phi ensemble | sigma models | tau ensemble |")
    lines = [header, "|" + "--:|" * (len(result.bins_km) + 5)]
    for k, period in enumerate(result.periods_s):
        mark = "" if result.checked()[k] else " (not checked)"
        cells = " | ".join(f"{value:+.2f}" for value in bias[k])
        lines.append(f"| {period:g}{mark} | {cells} | {result.mean_bias()[k]:+.2f} | "
                     f"{phi[k].mean():.2f} | {sigma[:, k].mean():.2f} | "
                     f"{'n/a' if math.isnan(tau[k]) else f'{tau[k]:.2f}'} |")
    return lines


def report_text(results: Sequence[ScenarioResult], site: Site, crust_text: str,
                frequency_hz: float, command: str, seconds: float) -> str:
    """The report, in Markdown: the setting, each scenario's verdict and worst biases, and per
    scenario its figure and its table of bias, phi, sigma and tau per period.

    Parameters
    ----------
    results : sequence of ScenarioResult
        The scenarios.
    site : Site
        The crust's site terms.
    crust_text : str
        The crust, in words.
    frequency_hz : float
        The Green's functions' band, Hz.
    command : str
        The command that made it.
    seconds : float
        How long it took, s.

    Returns
    -------
    str
        The report.
    """
    passed = sum(result.passes() for result in results)
    lines = [
        "# Ground motion against NGA-West2",
        "",
        f"`{command}` on {datetime.date.today().isoformat()}: {passed} of {len(results)} "
        f"scenarios pass, in {seconds / 60:.1f} minutes.",
        "",
        f"Crust: {crust_text}; Vs30 {site.vs30_m_s:.0f} m/s, Z1.0 "
        f"{'-' if site.z1_km is None else f'{site.z1_km:g} km'}, Z2.5 "
        f"{'-' if site.z25_km is None else f'{site.z25_km:g} km'}. Green's functions up to "
        f"{frequency_hz:g} Hz (rolled off above), so response spectra from {1 / frequency_hz:g} s "
        f"to 10 s, checked to {CHECKED_LONGEST_PERIOD_S:g} s.",
        "",
        f"Stations: {len(results[0].stations) // len(results[0].bins_km)} at each Rjb of "
        f"{', '.join(f'{ring:g}' for ring in results[0].bins_km)} km on the footwall half of "
        f"the contour at that distance; each ring is a distance bin. Models: ASK14, BSSA14, "
        f"CB14, CY14 (pygmm), California, with each station's Rrup, Rjb, Rx and Ry0, the "
        f"fault's dip, Ztor and width, and the ensemble's mean hypocentre depth; their median "
        f"is the geometric mean of the four.",
        "",
        f"Bias: the mean of ln(simulated / models' median) over the ruptures and a bin's "
        f"stations. A scenario passes when at every period to {CHECKED_LONGEST_PERIOD_S:g} s "
        f"the mean of its bins' biases is within {MEAN_BIAS_LIMIT:g} and every bin's within "
        f"{CELL_BIAS_LIMIT:g}. phi: the within-event spread of the ensemble (residuals less "
        f"each rupture's mean residual), against the models' total sigma; tau: the spread of "
        f"the ruptures' mean residuals.",
        "",
        "![biases of every scenario](biases.png)",
        "",
        "| scenario | fault | ruptures | patches | verdict | worst mean bias | worst bin bias | minutes |",
        "|---|---|--:|--:|---|--:|--:|--:|",
    ]
    for result in results:
        checked = result.checked()
        mean_bias = result.mean_bias()[checked]
        bias = result.bias()[checked]
        plane = result.fault.planes[0]
        lines.append(
            f"| {result.scenario.key} | {plane.length_km:g} x {plane.width_km:g} km | "
            f"{len(result.seeds)} | {result.patches:,} | {'PASS' if result.passes() else 'FAIL'} | "
            f"{mean_bias[np.argmax(np.abs(mean_bias))]:+.2f} | "
            f"{bias.flat[np.argmax(np.abs(bias))]:+.2f} | {result.seconds / 60:.1f} |")
    for result in results:
        lines += ["", f"## {result.scenario.key}: {result.scenario.describe()}", "",
                  f"![{result.scenario.key}]({result.scenario.key}.png)", ""]
        lines += scenario_table(result)
        if result.notes:
            lines += ["", "pygmm: " + "; ".join(result.notes)]
    return "\n".join(lines) + "\n"
