"""The figure of one kinematic rupture: slip with rupture-time contours, a few subfaults'
slip-rate pulses, and the moment-rate function."""

import os

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

from rupture_recipe import Fault, Rupture  # noqa: E402


def contour_step_s(duration_s: float) -> float:
    """A round contour interval giving about ten rupture-time contours."""
    target = max(duration_s, 1e-3) / 10.0
    power = 10.0 ** np.floor(np.log10(target))
    return float(next(step * power for step in (1.0, 2.0, 5.0, 10.0) if step * power >= target))


def pulse_cells(fault: Fault, rupture: Rupture) -> list[tuple[int, int]]:
    """The cells whose pulses are drawn: the hypocentre's, the largest slip's, and two
    at mid-depth a fifth of the way in from either end; each only once."""
    rows, columns = fault.cells
    peak = np.unravel_index(np.argmax(rupture.slip_m), rupture.slip_m.shape)
    chosen = [rupture.hypocentre_cell, (int(peak[0]), int(peak[1])),
              (rows // 2, columns // 5), (rows // 2, columns - 1 - columns // 5)]
    return list(dict.fromkeys(chosen))


def plot_rupture(path: str | os.PathLike[str], fault: Fault, rupture: Rupture) -> None:
    """Writes the figure of `rupture` as a PNG image."""
    rows, columns = fault.cells
    figure = plt.figure(figsize=(11.0, 8.0), layout="constrained")
    grid = figure.add_gridspec(2, 2, height_ratios=(1.25, 1.0))
    slip_axes = figure.add_subplot(grid[0, :])
    pulse_axes = figure.add_subplot(grid[1, 0])
    rate_axes = figure.add_subplot(grid[1, 1])

    image = slip_axes.imshow(rupture.slip_m, extent=(0.0, fault.length_km, fault.width_km, 0.0),
                             cmap="YlOrRd", interpolation="nearest")
    figure.colorbar(image, ax=slip_axes, label="slip (m)", shrink=0.9)
    along = (np.arange(columns) + 0.5) * fault.cell_km
    down = (np.arange(rows) + 0.5) * fault.cell_km
    step = contour_step_s(float(rupture.rupture_time_s.max()))
    levels = np.arange(step, rupture.rupture_time_s.max(), step)
    if levels.size:
        contours = slip_axes.contour(along, down, rupture.rupture_time_s, levels=levels,
                                     colors="black", linewidths=0.7)
        slip_axes.clabel(contours, fmt="%g s", fontsize=7)
    slip_axes.plot(*rupture.hypocentre_km, marker="*", markersize=16, color="deepskyblue",
                   markeredgecolor="black", linestyle="none", zorder=5)
    slip_axes.set_xlabel("along strike (km)")
    slip_axes.set_ylabel("down dip (km)")
    slip_axes.set_title(f"Slip, rupture-time contours and hypocentre (star): Mw {rupture.mw:.2f}, "
                        f"{fault.length_km:g} km x {fault.width_km:g} km, "
                        f"strike {fault.strike_deg:g}, dip {fault.dip_deg:g}, rake {fault.rake_deg:g}")

    for number, (i, j) in enumerate(pulse_cells(fault, rupture), start=1):
        k = i * columns + j
        rates = rupture.samples[rupture.offsets[k]:rupture.offsets[k + 1]]
        times = rupture.rupture_time_s[i, j] + np.arange(rates.size) * rupture.dt_s
        line, = pulse_axes.plot(times, rates, label=f"{number}: {along[j]:.1f} km, {down[i]:.1f} km, "
                                f"{rupture.slip_m[i, j]:.2f} m")
        slip_axes.plot(along[j], down[i], marker="o", markersize=5, color=line.get_color(),
                       markeredgecolor="black")
        slip_axes.annotate(str(number), (along[j], down[i]), xytext=(5, 5), textcoords="offset points",
                           color=line.get_color(), fontsize=11, fontweight="bold")
    pulse_axes.set_xlabel("time (s)")
    pulse_axes.set_ylabel("slip rate (m/s)")
    pulse_axes.set_title("Slip-rate pulses")
    pulse_axes.legend(fontsize=8, title="along, down dip, slip", title_fontsize=8)

    rate = rupture.moment_rate_nm_s
    rate_axes.plot(np.arange(rate.size) * rupture.dt_s, rate, color="black")
    rate_axes.set_xlabel("time (s)")
    rate_axes.set_ylabel("moment rate (N m/s)")
    rate_axes.set_title(f"Moment rate: {rupture.moment_nm:.3g} N m over {rupture.duration_s:.1f} s")
    for axes in (pulse_axes, rate_axes):
        axes.grid(alpha=0.3)
        axes.set_xlim(left=0.0)
    figure.savefig(path, dpi=100)
    plt.close(figure)
