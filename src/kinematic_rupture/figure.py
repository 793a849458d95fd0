"""The figure of a rupture, built or read from an SRF file: slip on each plane with
rupture-time contours and the hypocentre, a few subfaults' slip-rate pulses, and the
moment-rate function."""

from dataclasses import dataclass
from typing import IO

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

from .rupture import Rupture  # noqa: E402
from .scaling import moment_magnitude  # noqa: E402
from .srf import (SrfError, SrfFile, point_slip_rate_cm_s, srf_duration_s,  # noqa: E402
                  srf_moment_nm, srf_moment_rate)

FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True, eq=False)
class PlaneView:
    """One plane's values on its cells, rows down dip."""

    length_km: float
    width_km: float
    slip_m: FloatArray
    time_s: FloatArray


@dataclass(frozen=True, eq=False)
class Pulse:
    label: str
    plane: int
    along_km: float
    down_km: float
    time_s: FloatArray
    rate_m_s: FloatArray


@dataclass(frozen=True, eq=False)
class RuptureView:
    """What the figure shows, whatever the rupture came from."""

    title: str
    planes: list[PlaneView]
    hypocentre: tuple[int, float, float] | None  # plane, along strike in it, down dip
    pulses: list[Pulse]
    moment_rate_dt_s: float
    moment_rate_nm_s: FloatArray
    moment_nm: float
    duration_s: float


def contour_step_s(duration_s: float) -> float:
    """A round contour interval giving about ten rupture-time contours."""
    target = max(duration_s, 1e-3) / 10.0
    power = 10.0 ** np.floor(np.log10(target))
    return float(next(step * power for step in (1.0, 2.0, 5.0, 10.0) if step * power >= target))


def draw(stream: IO[bytes], view: RuptureView) -> None:
    """Writes the figure of `view` as a PNG image to a binary stream."""
    count = len(view.planes)
    figure = plt.figure(figsize=(11.0, 4.0 + 3.5 * count), layout="constrained")
    grid = figure.add_gridspec(count + 1, 2, height_ratios=(*([1.25] * count), 1.0))
    largest_slip = max(float(plane.slip_m.max()) for plane in view.planes)
    latest = max(float(plane.time_s.max()) for plane in view.planes)
    step = contour_step_s(latest)
    plane_axes = []
    for number, plane in enumerate(view.planes):
        axes = figure.add_subplot(grid[number, :])
        plane_axes.append(axes)
        image = axes.imshow(plane.slip_m, extent=(0.0, plane.length_km, plane.width_km, 0.0),
                            cmap="YlOrRd", interpolation="nearest", vmin=0.0, vmax=largest_slip)
        figure.colorbar(image, ax=axes, label="slip (m)", shrink=0.9)
        rows, columns = plane.slip_m.shape
        along = (np.arange(columns) + 0.5) * plane.length_km / columns
        down = (np.arange(rows) + 0.5) * plane.width_km / rows
        levels = np.arange(step, plane.time_s.max(), step)
        if levels.size and rows > 1 and columns > 1:
            contours = axes.contour(along, down, plane.time_s, levels=levels, colors="black",
                                    linewidths=0.7)
            axes.clabel(contours, fmt="%g s", fontsize=7)
        axes.set_xlabel("along strike (km)")
        axes.set_ylabel("down dip (km)")
        if count > 1:
            axes.set_title(f"plane {number + 1}", fontsize=9, loc="left")
    if view.hypocentre is not None:
        number, along_km, down_km = view.hypocentre
        plane_axes[number].plot(along_km, down_km, marker="*", markersize=16, color="deepskyblue",
                                markeredgecolor="black", linestyle="none", zorder=5)
    plane_axes[0].set_title(view.title)

    pulse_axes = figure.add_subplot(grid[count, 0])
    for number, pulse in enumerate(view.pulses, start=1):
        line, = pulse_axes.plot(pulse.time_s, pulse.rate_m_s, label=f"{number}: {pulse.label}")
        axes = plane_axes[pulse.plane]
        axes.plot(pulse.along_km, pulse.down_km, marker="o", markersize=5, color=line.get_color(),
                  markeredgecolor="black")
        axes.annotate(str(number), (pulse.along_km, pulse.down_km), xytext=(5, 5),
                      textcoords="offset points", color=line.get_color(), fontsize=11,
                      fontweight="bold")
    pulse_axes.set_xlabel("time (s)")
    pulse_axes.set_ylabel("slip rate (m/s)")
    pulse_axes.set_title("Slip-rate pulses")
    if view.pulses:
        pulse_axes.legend(fontsize=8, title="along, down dip, slip", title_fontsize=8)

    rate_axes = figure.add_subplot(grid[count, 1])
    rate = view.moment_rate_nm_s
    rate_axes.plot(np.arange(rate.size) * view.moment_rate_dt_s, rate, color="black")
    rate_axes.set_xlabel("time (s)")
    rate_axes.set_ylabel("moment rate (N m/s)")
    rate_axes.set_title(f"Moment rate: {view.moment_nm:.3g} N m over {view.duration_s:.1f} s")
    for axes in (pulse_axes, rate_axes):
        axes.grid(alpha=0.3)
        axes.set_xlim(left=0.0)
    figure.savefig(stream, format="png", dpi=100, metadata={"Software": None})
    plt.close(figure)


# ---- What the figure shows, from a rupture or from a file ----------------------------------


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
    return Pulse(f"{along:.1f} km, {down:.1f} km, {plane.slip_m[i, j]:.2f} m", number, along,
                 down, times, rates_m_s)


def rupture_view(rupture: Rupture) -> RuptureView:
    """The figure's view of a rupture just built."""
    fault = rupture.fault
    planes = [PlaneView(plane.length_km, plane.width_km, fault.on_plane(rupture.slip_m, n),
                        fault.on_plane(rupture.rupture_time_s, n))
              for n, plane in enumerate(fault.planes)]
    starts = fault.plane_starts()
    pulses = []
    for number, i, j in chosen_cells(planes, rupture.hypocentre_cell):
        k = starts[number] + i * fault.cells(number)[1] + j
        rates = rupture.samples[rupture.offsets[k]:rupture.offsets[k + 1]]
        pulses.append(pulse(planes, (number, i, j), rates, rupture.dt_s))
    plane, _, _ = rupture.hypocentre_cell
    before = sum(p.length_km for p in fault.planes[:plane])
    along, down = rupture.hypocentre_km
    first = fault.planes[0]
    title = (f"Mw {rupture.mw:.2f}, {fault.length_km:g} km x {first.width_km:g} km, strike "
             f"{first.strike_deg:g}, dip {first.dip_deg:g}, rake {first.rake_deg:g}, seed "
             f"{rupture.settings.seed}: slip, rupture-time contours and hypocentre (star)")
    return RuptureView(title, planes, (plane, along - before, down), pulses, rupture.dt_s,
                       rupture.moment_rate_nm_s, rupture.moment_nm, rupture.duration_s)


def srf_view(srf: SrfFile, rigidity: FloatArray, name: str) -> RuptureView:
    """The figure's view of a file: it needs a PLANE block whose cell counts match its
    points. Slip and slip rate are the vector sum of the three components."""
    points = srf.points
    sizes = [plane.nstk * plane.ndip for plane in srf.planes]
    if not srf.planes or sum(sizes) != len(points):
        raise SrfError("needs a PLANE block whose cell counts add up to its points to be drawn")
    starts = np.concatenate([[0], np.cumsum(sizes)])
    slip = points.total_slip_cm() / 100.0
    planes = [PlaneView(plane.length_km, plane.width_km,
                        slip[starts[n]:starts[n + 1]].reshape(plane.ndip, plane.nstk),
                        points.tinit_s[starts[n]:starts[n + 1]].reshape(plane.ndip, plane.nstk))
              for n, plane in enumerate(srf.planes)]
    first = int(np.argmin(np.where(slip > 0, points.tinit_s, np.inf)))
    number = int(np.searchsorted(starts, first, side="right") - 1)
    row, column = divmod(first - int(starts[number]), srf.planes[number].nstk)
    moment_rate_dt, rate = srf_moment_rate(srf, rigidity)
    pulses = []
    for cell in chosen_cells(planes, (number, row, column)):
        k = int(starts[cell[0]]) + cell[1] * srf.planes[cell[0]].nstk + cell[2]
        rows = point_slip_rate_cm_s(points, k) / 100.0
        pulses.append(pulse(planes, cell, rows, float(points.dt_s[k])))
    hypocentre = planes[number]
    along = (column + 0.5) * hypocentre.length_km / srf.planes[number].nstk
    down = (row + 0.5) * hypocentre.width_km / srf.planes[number].ndip
    moment = srf_moment_nm(srf, rigidity)
    title = (f"{name}: Mw {moment_magnitude(moment):.2f}, {len(srf.planes)} plane"
             f"{'s' if len(srf.planes) > 1 else ''}, {len(points):,} points: slip, "
             f"rupture-time contours and first point to slip (star)")
    return RuptureView(title, planes, (number, along, down), pulses, moment_rate_dt, rate,
                       moment, srf_duration_s(srf))
