"""The figure: faults from 5 x 5 km to 400 x 40 km, dipping and buried, of several planes
and read from files, draw into PNGs of a sensible size whose labels do not overlap; the
same view gives the same bytes; the Brune reference is the corner that fits the
spectrum best; every plane is on the chart and the map, where it lies."""

import io
import math

import matplotlib.image
import matplotlib.pyplot as plt
import numpy as np
import pytest
from matplotlib.axes import Axes
from matplotlib.image import AxesImage
from matplotlib.lines import Line2D

from conftest import run_command
from kinematic_rupture import Fault, RuptureSettings, SrfError, build_rupture, figure, read_srf
from kinematic_rupture.geometry import WGS84, Plane, cell_centres
from kinematic_rupture.kinematics import largest_frequency_hz
from kinematic_rupture.brune import band_average, brune, stress_drop_from_corner
from kinematic_rupture.srf import parse_srf

# Coarse cells: each builds in a moment.
FAULTS = {
    "5 x 5 km": (dict(length_km=5, width_km=5), 0.5, 5.5),
    "60 x 20 km": (dict(length_km=60, width_km=20), 2.0, 7.0),
    "400 x 40 km": (dict(length_km=400, width_km=40), 4.0, 8.0),
    "dipping, buried": (dict(length_km=40, width_km=20, dip_deg=30, top_depth_km=5,
                             rake_deg=90, strike_deg=30, lon=140.25, lat=36.5), 2.0, 7.0),
}


def build(name, seed=7):
    plane, cell_km, magnitude = FAULTS[name]
    return build_rupture(Fault.single(cell_km=cell_km, **plane),
                         RuptureSettings(magnitude=magnitude, seed=seed))


@pytest.fixture(scope="module")
def ruptures():
    return {name: build(name) for name in FAULTS}


def png(view):
    stream = io.BytesIO()
    figure.draw(stream, view)
    return stream.getvalue()


# ---- A file of two planes, written by hand ---------------------------------------------------

SPEED_KM_S = 2.8
HYPOCENTRE_KM = (8.0, 6.0)  # along strike on the chart, down dip
DT_S = 0.1
SAMPLES = 8


def two_planes(dip_deg):
    """Two planes edge to edge along a bending trace, the second narrower."""
    first = Plane(length_km=20, width_km=10, lon=-117.5, lat=34.2, strike_deg=300, dip_deg=90)
    end_lon, end_lat, _ = WGS84.fwd(first.lon, first.lat, first.strike_deg, 10e3)
    lon, lat, _ = WGS84.fwd(end_lon, end_lat, 320.0, 6e3)
    return first, Plane(length_km=12, width_km=6, lon=lon, lat=lat, strike_deg=320,
                        dip_deg=dip_deg)


def point_lines(plane, start_km, rows, columns, slip_scale):
    """A plane's points: rupture times of a front at SPEED_KM_S from the hypocentre on the
    chart, slip of half a metre plus a bump (times `slip_scale`), triangular pulses of
    SAMPLES samples, and rakes of 175 and -175 in turn."""
    lons, lats = cell_centres(plane, rows, columns, 1.0)
    lines = []
    for i in range(rows):
        for j in range(columns):
            x, y = start_km + j + 0.5, i + 0.5
            tinit = math.hypot(x - HYPOCENTRE_KM[0], y - HYPOCENTRE_KM[1]) / SPEED_KM_S
            bump = math.exp(-((x - 12.0) ** 2 / 50.0 + (y - 4.0) ** 2 / 20.0))
            slip_cm = slip_scale * 100.0 * (0.5 + bump)
            shape = np.minimum(np.arange(1, SAMPLES + 1), np.arange(SAMPLES, 0, -1))
            rates = slip_cm * shape / (shape.sum() * DT_S)
            depth = plane.top_depth_km + y * math.sin(math.radians(plane.dip_deg))
            lines.append(f"{lons[i, j]:.6f} {lats[i, j]:.6f} {depth:.4f} {plane.strike_deg:.2f} "
                         f"{plane.dip_deg:.2f} 1.0e10 {tinit:.6f} {DT_S} 3.5e5 2.7")
            lines.append(f"{175 if (i + j) % 2 else -175} {slip_cm:.6f} {SAMPLES} 0.0 0 0.0 0")
            lines.append(" ".join(f"{rate:.6e}" for rate in rates[:6]))
            lines.append(" ".join(f"{rate:.6e}" for rate in rates[6:]))
    return lines


def two_plane_srf(dip_deg, comments=("written by hand",), slip_scale=1.0):
    planes = two_planes(dip_deg)
    lines = ["2.0", *(f"# {comment}" for comment in comments), f"PLANE {len(planes)}"]
    start = 0.0
    for plane in planes:
        lines.append(f"{plane.lon:.6f} {plane.lat:.6f} {plane.length_km:g} {plane.width_km:g} "
                     f"{plane.length_km:.4f} {plane.width_km:.4f}")
        lines.append(f"{plane.strike_deg:.2f} {plane.dip_deg:.2f} 0.0 "
                     f"{HYPOCENTRE_KM[0] - start - plane.length_km / 2:.4f} {HYPOCENTRE_KM[1]:.4f}")
        start += plane.length_km
    start = 0.0
    for plane in planes:
        rows, columns = round(plane.width_km), round(plane.length_km)
        lines.append(f"POINTS {rows * columns}")
        lines += point_lines(plane, start, rows, columns, slip_scale)
        start += plane.length_km
    return "\n".join(lines) + "\n"


def file_view(text, name="two.srf"):
    srf = parse_srf(text)
    rigidity = srf.points.density_g_cm3 * 1e3 * (srf.points.vs_cm_s / 100.0) ** 2
    return figure.srf_view(srf, rigidity, name)


# ---- What the figure looks like -------------------------------------------------------------


def tick_labels(axis):
    """The labels of the ticks an axis draws: those within its limits."""
    low, high = sorted(axis.get_view_interval())
    margin = 1e-9 * (high - low)
    return [label for tick in axis.get_major_ticks() + axis.get_minor_ticks()
            if low - margin <= tick.get_loc() <= high + margin
            for label in (tick.label1, tick.label2) if label.get_visible()]


def texts(axes: Axes):
    """Every label of an axes and of the axes inside it (depth axis, colour bar)."""
    found = [axes.title, axes._left_title, axes.xaxis.label, axes.yaxis.label]
    for axis in (axes.xaxis, axes.yaxis):
        found += tick_labels(axis)
    for child in axes.child_axes:
        found += texts(child)
    return [text for text in found if text.get_text() and text.get_visible()]


def overlapping_labels(drawn):
    """Pairs of labels, titles and tick labels whose boxes overlap, across all panels."""
    drawn.canvas.draw()
    renderer = drawn.canvas.get_renderer()
    labels = [drawn._suptitle] + [text for axes in drawn.axes for text in texts(axes)]
    boxes = [(text.get_text(), text.get_window_extent(renderer)) for text in labels]
    return [(a, b) for n, (a, first) in enumerate(boxes) for b, second in boxes[n + 1:]
            if first.overlaps(second)]


@pytest.mark.parametrize("name", FAULTS)
def test_every_size_draws_a_sensible_png_with_no_label_over_another(name, ruptures):
    view = figure.rupture_view(ruptures[name])
    image = matplotlib.image.imread(io.BytesIO(png(view)))
    height, width = image.shape[:2]
    assert 8 * figure.DPI <= width <= 13 * figure.DPI
    assert 0.5 <= height / width <= 1.4
    assert image[..., :3].std() > 0.1  # not blank
    assert (image[..., :3] < 0.5).mean() > 0.01  # lines and text, not a wash of colour
    drawn = figure.compose(view)
    assert overlapping_labels(drawn) == []
    assert "seed 7" in drawn._suptitle.get_text()


def test_a_view_draws_the_same_bytes_every_time(ruptures):
    first = png(figure.rupture_view(ruptures["dipping, buried"]))
    assert png(figure.rupture_view(ruptures["dipping, buried"])) == first
    assert png(figure.rupture_view(build("dipping, buried"))) == first
    assert png(figure.rupture_view(build("dipping, buried", seed=8))) != first


class FullDisk(io.RawIOBase):
    """A stream whose every write fails, as on a full disk."""

    def writable(self):
        return True

    def write(self, data):
        raise OSError(28, "No space left on device")


def test_a_stream_that_fails_leaves_no_figure_open(ruptures):
    view = figure.rupture_view(ruptures["5 x 5 km"])
    before = plt.get_fignums()
    with pytest.raises(OSError, match="No space left"):
        figure.draw(FullDisk(), view)
    assert plt.get_fignums() == before


def misfit(spectrum, moment, corner):
    """Mean squared log misfit of the band averages below the highest frequency to
    Brune's (1970) spectrum M0 / (1 + (f / fc)^2)."""
    centres, levels = band_average(spectrum.frequency_hz, spectrum.amplitude_nm, 0.01,
                                   spectrum.highest_hz)
    return float(np.mean(np.log(levels * (1.0 + (centres / corner) ** 2) / moment) ** 2))


@pytest.mark.parametrize("name", FAULTS)
def test_the_brune_reference_is_the_corner_that_fits_the_spectrum(name, ruptures):
    rupture = ruptures[name]
    spectrum = figure.rupture_view(rupture).spectrum
    moment, corner = rupture.moment_nm, spectrum.corner_hz
    assert spectrum.amplitude_nm[0] == pytest.approx(moment, rel=1e-3)  # f = 0: the integral
    assert np.allclose(spectrum.brune_nm * (1.0 + (spectrum.frequency_hz / corner) ** 2), moment)
    best = misfit(spectrum, moment, corner)
    assert best <= misfit(spectrum, moment, corner * 1.1)
    assert best <= misfit(spectrum, moment, corner / 1.1)
    assert spectrum.stress_drop_pa == pytest.approx(stress_drop_from_corner(moment, corner))
    resolved = largest_frequency_hz(rupture.rupture_velocity_km_s,
                                    cell_km=rupture.fault.cell_km)
    assert spectrum.highest_hz == pytest.approx(min(5.0, resolved, 0.5 / rupture.dt_s))


def test_larger_earthquakes_have_lower_corners(ruptures):
    corners = [figure.rupture_view(ruptures[name]).spectrum.corner_hz
               for name in ("5 x 5 km", "60 x 20 km", "400 x 40 km")]
    assert corners[0] > corners[1] > corners[2]


# ---- Several planes, and files ------------------------------------------------------------------


def images(axes):
    return {image.get_gid(): tuple(image.get_extent()) for image in axes.get_children()
            if isinstance(image, AxesImage)}


@pytest.mark.parametrize("second_dip", [90.0, 70.0])
def test_a_fault_of_two_planes_draws_both_side_by_side_and_on_the_map(second_dip):
    view = file_view(two_plane_srf(second_dip))
    assert [plane.slip_m.shape for plane in view.planes] == [(10, 20), (6, 12)]
    drawn = figure.compose(view)
    charts = [axes for axes in drawn.axes if images(axes)]
    assert len(charts) == 3  # slip, rise time, rupture speed
    for axes in charts:
        assert images(axes) == {"plane 1": (0.0, 20.0, 10.0, 0.0),
                                "plane 2": (20.0, 32.0, 6.0, 0.0)}
        assert any(isinstance(line, Line2D) and tuple(line.get_xdata()) == (20.0, 20.0)
                   for line in axes.get_lines())  # the junction
    outlines = {line.get_gid(): line for axes in drawn.axes for line in axes.get_lines()
                if (line.get_gid() or "").startswith("plane")}
    assert sorted(outlines) == ["plane 1", "plane 2"]
    first_end = outlines["plane 1"].get_xydata()[1]
    second_start = outlines["plane 2"].get_xydata()[0]
    assert np.allclose(first_end, second_start, atol=1e-6)  # the planes meet on the map
    assert overlapping_labels(drawn) == []
    image = matplotlib.image.imread(io.BytesIO(png(view)))
    assert image[..., :3].std() > 0.1


def test_a_file_gives_its_rise_times_rupture_speed_rake_and_seed():
    view = file_view(two_plane_srf(90.0))
    for plane in view.planes:
        assert np.allclose(plane.rise_time_s, SAMPLES * DT_S)
        assert abs(plane.rake_deg) == pytest.approx(180.0, abs=0.1)  # not 0: rakes wrap
    # Far from the hypocentre (the second plane starts 12 km from it), 1 / |grad TINIT|
    # is the front's speed, over VS.
    assert np.allclose(view.planes[1].speed, SPEED_KM_S / 3.5, rtol=0.02)
    assert "rake 180°, " in figure.title_lines(view)[0]
    assert "no seed recorded" in figure.title_lines(view)[1]
    seeded = file_view(two_plane_srf(90.0, comments=("written by hand", "seed 31")))
    assert "seed 31" in figure.title_lines(seeded)[1]


@pytest.mark.parametrize("text, phrase", [
    ("2.0\nPOINTS 1\n0 0 0 0 90 1e10 0 0.1 3.5e5 2.7\n180 1 1 0 0 0 0\n1\n", "cell counts add up"),
    (two_plane_srf(90.0).replace(" 12 6 12.0000 ", " 11 6 12.0000 "), "cell counts add up"),
    (two_plane_srf(90.0, slip_scale=0.0), "no point that slips"),
    # Cell counts that still add up, with none along the first plane's strike.
    (two_plane_srf(90.0).replace("34.200000 20 10 ", "34.200000 0 10 ")
     .replace("34.286467 12 6 ", "34.286467 34 8 "), "plane 1 has 0 x 10 cells of 20 km x 10 km"),
    (two_plane_srf(90.0).replace(" 20 10 20.0000 10.0000", " 20 10 0.0000 10.0000"),
     "plane 1 has 20 x 10 cells of 0 km x 10 km: a plane needs cells and a size"),
    (two_plane_srf(90.0).replace(" 12 6 12.0000 6.0000", " 12 6 12.0000 0.0000"),
     "plane 2 has 12 x 6 cells of 12 km x 0 km"),
])
def test_a_file_that_cannot_be_drawn_is_refused(text, phrase):
    with pytest.raises(SrfError, match=phrase):
        file_view(text)


def test_inspect_draws_a_file_of_two_planes(tmp_path, capsys):
    path = tmp_path / "two.srf"
    path.write_text(two_plane_srf(70.0))
    status, out, err = run_command(["inspect", path, "--figure", tmp_path / "two.png"], capsys)
    assert status == 0, err
    assert "plane 2" in out
    assert matplotlib.image.imread(tmp_path / "two.png")[..., :3].std() > 0.1
    assert read_srf(path).planes[1].dip_deg == 70.0


# ---- Across the antimeridian -----------------------------------------------------------------


def map_axes(drawn):
    return next(axes for axes in drawn.axes
                if any((line.get_gid() or "").startswith("plane") for line in axes.get_lines()))


def scale_bar_km(axes):
    from mpl_toolkits.axes_grid1.anchored_artists import AnchoredSizeBar
    bar = next(child for child in axes.get_children() if isinstance(child, AnchoredSizeBar))
    return float(bar.txt_label.get_text().split()[0])


@pytest.mark.parametrize("source", ["rupture", "file"])
def test_a_fault_across_the_antimeridian_is_mapped_where_it_lies(source, tmp_path):
    """A 34 km trace from 179.9 E to 179.8 W: the map spans a fraction of a degree around
    it with a scale bar of kilometres, not the whole Earth."""
    from kinematic_rupture.geometry import planes_from_trace
    from kinematic_rupture.srf import write_srf
    fault = Fault(planes_from_trace([(179.9, -16.5), (-179.8, -16.4)], 0.5, dip_deg=60.0,
                                    width_km=10.0, rake_deg=90.0), 0.5)
    rupture = build_rupture(fault, RuptureSettings(magnitude=6.4, seed=3))
    if source == "rupture":
        view = figure.rupture_view(rupture)
    else:
        with open(tmp_path / "r.srf", "w") as stream:
            write_srf(stream, rupture)
        srf = read_srf(tmp_path / "r.srf")
        view = figure.srf_view(srf, np.full(len(srf.points), 3e10), "r.srf")
    drawn = figure.compose(view)
    axes = map_axes(drawn)
    low, high = axes.get_xlim()
    assert 0.2 < high - low < 1.5 and (low < 180.0 < high or low < -180.0 < high)
    outline = next(line for line in axes.get_lines() if line.get_gid() == "plane 1").get_xdata()
    assert np.ptp(outline) < 0.5
    assert 2.0 <= scale_bar_km(axes) <= 20.0
    labels = [text.get_text() for text in axes.get_xticklabels()]
    assert labels and all(-180.0 <= float(label.replace("−", "-")) <= 180.0 for label in labels if label)
    plt.close(drawn)
    (tmp_path / "map.png").write_bytes(png(view))


def test_a_built_rupture_shows_the_speed_of_its_rupture_times_and_all_its_rise_times(ruptures):
    rupture = ruptures["60 x 20 km"]
    view = figure.rupture_view(rupture)
    fault = rupture.fault
    times = fault.on_plane(rupture.rupture_time_s, 0)
    written = figure.front_speed_km_s(times, fault.cell_km, fault.cell_km) / fault.on_plane(
        rupture.vs_km_s, 0)
    assert np.allclose(view.planes[0].speed, written, equal_nan=True)
    assert not np.allclose(view.planes[0].speed, fault.on_plane(
        rupture.rupture_velocity_km_s / rupture.vs_km_s, 0))
    drawn = figure.compose(view)
    rise = view.planes[0].rise_time_s
    shown = [image for axes in drawn.axes for image in axes.images
             if np.array_equal(image.get_array().filled(np.nan), rise, equal_nan=True)]
    assert len(shown) == 1 and shown[0].norm.vmax >= np.nanmax(rise)
    plt.close(drawn)
