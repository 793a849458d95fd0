"""The summation of a rupture's moment through Green's functions (kinematic_rupture.shaking
and .patches), on a tiny rupture, against Okada's (1992) static offsets (cutde), against
the sum without patches, and the table's interpolation in distance against exact
distances. The Green's functions are pyprop8's (tests/modeller/greens_standin.py)."""

import io
import math

import numpy as np
import pytest

import greens_standin as standin
from kinematic_rupture import Fault, RuptureSettings, build_rupture, parse_srf, patches, shaking, write_srf
from kinematic_rupture.crust import LayeredModel
from kinematic_rupture.errors import SettingError
from kinematic_rupture.rupture_surface import surface_of
from kinematic_rupture.stations import Station

HALF_SPACE = LayeredModel((0.0,), (6.0,), (6.0 / math.sqrt(3.0),), (2.7,), source="half-space")
LAYERED = LayeredModel((0.0, 2.0), (4.0, 6.0), (2.2, 3.46), (2.4, 2.7), source="two layers")
MAX_FREQUENCY_HZ = 0.5
RULE_STEP_WAVELENGTHS = shaking.DISTANCE_STEP_WAVELENGTHS  # as the package sets it
# Stations (km east, km north of the fault's centre): near and far, on both sides, off the ends.
STATION_XY_KM = [(3.0, 2.0), (-4.0, 1.0), (0.0, 6.0), (6.0, -5.0), (-2.0, -7.0), (10.0, 3.0)]


def tiny_rupture(crust: LayeredModel, cell_km: float = 0.5):
    fault = Fault.single(length_km=4, width_km=3, cell_km=cell_km, dip_deg=50, rake_deg=60,
                         top_depth_km=1.0, strike_deg=30)
    rupture = build_rupture(fault, RuptureSettings(magnitude=5.3, seed=3, velocity_model=crust))
    text = io.StringIO()
    write_srf(text, rupture)
    srf_file = parse_srf(text.getvalue())
    surface = surface_of(srf_file)
    xy = np.array(STATION_XY_KM)
    lon, lat = surface.geographic(xy[:, 0], xy[:, 1])
    stations = [Station(f"S{k}", float(lon[k]), float(lat[k])) for k in range(len(xy))]
    return srf_file, surface, stations


@pytest.fixture(scope="module")
def coarse_grid():
    """Distances 0.5 km apart: the static field and the comparison of two sums on one grid
    need no finer, and the tables are five times quicker."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setattr(shaking, "DISTANCE_STEP_WAVELENGTHS", 0.25)
        yield


def motion(srf_file, stations, crust):
    place = shaking.layout(srf_file, stations, crust, MAX_FREQUENCY_HZ)
    table = standin.table_for(place, crust)
    return place, shaking.shake(srf_file, place, table, crust)


def into_hanging_wall(triangle: list) -> list:
    """The triangle's vertices ordered so that (P2 - P1) x (P3 - P1) points up, into the
    hanging wall of a dipping plane (Aki and Richards' normal)."""
    if np.cross(triangle[1] - triangle[0], triangle[2] - triangle[0])[2] < 0:
        return [triangle[0], triangle[2], triangle[1]]
    return triangle


def okada(srf_file, surface, stations, poisson: float) -> np.ndarray:
    """Okada's displacement at the stations (east, north, up), each subfault a uniform-slip
    rectangle of two triangles in cutde, ordered so that their normal points into the
    hanging wall (as cutde's strike and dip slip then follow Aki and Richards)."""
    halfspace = pytest.importorskip("cutde.halfspace")
    points = srf_file.points
    x, y = surface.local(points.lon, points.lat)
    side = math.sqrt(points.area_cm2[0] / 1e10)
    triangles, slips = [], []
    for k in range(len(points)):
        phi, delta, lam = np.radians([points.strike_deg[k], points.dip_deg[k], points.rake_deg[k]])
        along = np.array([math.sin(phi), math.cos(phi), 0.0])
        down = np.array([math.cos(phi) * math.cos(delta), -math.sin(phi) * math.cos(delta),
                         -math.sin(delta)])
        centre = np.array([x[k], y[k], -points.depth_km[k]])
        corners = [centre + 0.5 * side * (a * along + b * down)
                   for a, b in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
        slip = points.slip_cm[0][k] / 100.0
        for triangle in ([corners[0], corners[1], corners[2]], [corners[0], corners[2], corners[3]]):
            triangles.append(into_hanging_wall(triangle))
            slips.append([slip * math.cos(lam), slip * math.sin(lam), 0.0])
    sx, sy = surface.local(np.array([s.lon for s in stations]), np.array([s.lat for s in stations]))
    observers = np.stack([sx, sy, np.zeros_like(sx)], axis=1)
    matrix = halfspace.disp_matrix(observers, np.array(triangles), poisson)
    return np.einsum("nimj,mj->ni", matrix, np.array(slips))


def test_cutde_reproduces_okadas_own_values():
    """The Okada check's evaluator and its sign conventions, on the DC3D values of the
    references (alpha 2/3, depth 1, strike along x, 20 km long, 10 km wide, dip 45,
    dip slip 1: the hanging wall, at y = -2, rises)."""
    halfspace = pytest.importorskip("cutde.halfspace")
    dip = math.radians(45.0)
    # Okada's frame: x along strike, y to its left, the fault dipping towards -y.
    top = [np.array([-10.0, 0.0, -1.0]), np.array([10.0, 0.0, -1.0])]
    down = 10.0 * np.array([0.0, -math.cos(dip), -math.sin(dip)])
    triangles = np.array([into_hanging_wall([top[0], top[1], top[1] + down]),
                          into_hanging_wall([top[0], top[1] + down, top[0] + down])])
    # The normal points into the hanging wall (up and towards -y).
    normal = np.cross(triangles[0, 1] - triangles[0, 0], triangles[0, 2] - triangles[0, 0])
    assert normal[2] > 0 and normal[1] < 0
    observers = np.array([[0.0, -2.0, 0.0], [0.0, 2.0, 0.0]])
    u = np.einsum("nimj,mj->ni", halfspace.disp_matrix(observers, triangles, 0.25),
                  np.array([[0.0, 1.0, 0.0]] * 2))
    assert u[0] == pytest.approx([0.0, 0.0667, 0.4906], abs=2e-3)
    assert u[1] == pytest.approx([0.0, -0.1206, -0.0488], abs=2e-3)


def test_static_offsets_match_okada(coarse_grid):
    """The displacement at the end of the seismograms, in a uniform half-space, against
    Okada's closed form for the same slip: within 5% of each station's offset."""
    srf_file, surface, stations = tiny_rupture(HALF_SPACE)
    _, shaken = motion(srf_file, stations, HALF_SPACE)
    final = shaken.displacement[:, :, -1]
    expected = okada(srf_file, surface, stations, poisson=0.25)
    misfit = np.linalg.norm(final - expected, axis=1) / np.linalg.norm(expected, axis=1)
    assert misfit.max() < 0.05, misfit
    # And it has settled: the last tenth of the record moves by less than 3% of it.
    tail = shaken.displacement[:, :, -shaken.samples // 10:]
    settled = np.ptp(tail, axis=-1).max(axis=1) / np.linalg.norm(expected, axis=1)
    assert settled.max() < 0.03


# The waveform misfit of patches against single subfaults: rms of the difference of the
# velocity over rms of the velocity, three components together, at every station.
GROUPING_MISFIT = 0.10


def test_fundamental_responses_compose_the_tables_motion():
    """Any tensor at any azimuth, composed from the ten responses at azimuth 0, against
    the table's own displacement."""
    band = standin.Band(MAX_FREQUENCY_HZ, 20.0, 0.2)
    distances = (3.0, 7.5)
    table = standin.cached_table(tuple(standin.layers_of(LAYERED)), (2.5,), distances, band)
    fundamental = shaking.fundamental_responses(table, 0, np.array(distances))
    rng = np.random.default_rng(5)
    for _ in range(4):
        tensor = rng.normal(size=6)
        azimuth = rng.uniform(0, 360, size=2)
        expected = table.displacement(tensor, 0, np.array(distances), azimuth)
        for k in range(2):
            tensors = np.broadcast_to(tensor[:, None], (1, 6, expected.shape[-1]))
            composed = shaking.compose(fundamental[k:k + 1], tensors, np.radians(azimuth[k:k + 1]))
            assert composed == pytest.approx(expected[k], abs=1e-9 * np.abs(expected).max())


def test_ruptures_summed_together_as_apart(coarse_grid):
    """Two ruptures summed in one call as each on its own."""
    srf_file, _, stations = tiny_rupture(LAYERED)
    place = shaking.layout(srf_file, stations, LAYERED, MAX_FREQUENCY_HZ)
    table = standin.table_for(place, LAYERED)
    samples = patches.source_samples(srf_file, place.dt_s)
    moments = patches.patch_moments(srf_file, place.patches,
                                    patches.point_rigidity(srf_file, LAYERED), place.dt_s, samples)
    together = shaking.sum_ruptures(place, table, [moments, 2.0 * moments])
    alone = shaking.sum_ruptures(place, table, [moments])[0]
    assert np.array_equal(together[0].velocity, alone.velocity)
    assert together[1].velocity == pytest.approx(2.0 * alone.velocity, abs=1e-12)


def probed_responses(table, row, distances):
    """The ten responses from the table's displacement for shaking.PROBES at azimuth 0."""
    found = np.empty((len(distances), len(shaking.FUNDAMENTAL), len(table.times_s)))
    for tensor, names in shaking.PROBES:
        motion = table.displacement(np.array(tensor), row, distances, np.zeros(len(distances)))
        for name, axis in zip(names, (2, 1, 0)):
            if name is not None:
                found[:, shaking.FUNDAMENTAL.index(name)] = motion[:, axis]
    return found


def per_station_sum(place, table, moments):
    """The sum as it was made before it went to single precision: the responses from the
    table's displacement for PROBES, transformed in double precision, station by
    station."""
    from scipy import fft
    dt, samples = float(table.dt_s), moments.shape[-1]
    nfft = shaking.transform_length(table, samples)
    kept = shaking.kept_bins(nfft, dt, place.max_frequency_hz)
    sources = fft.rfft(moments, nfft, axis=-1)[..., :kept]
    differences = np.zeros((len(place.stations), 3, kept), dtype=np.complex128)
    grid = np.asarray(table.distances_km)
    for depth_index in range(len(place.table_depths_km)):
        at_depth = np.flatnonzero(place.depth_index == depth_index)
        for station in range(len(place.stations)):
            nodes, weights = shaking.interpolation(place.distance_km[at_depth, station], grid)
            steps = probed_responses(table, depth_index, grid[nodes.ravel()])
            spectra = fft.rfft(np.diff(steps, axis=-1, prepend=0.0), nfft, axis=-1)[..., :kept]
            fundamental = np.einsum("pj,pjkf->pkf", weights, spectra.reshape(nodes.shape + spectra.shape[1:]))
            azimuth = np.radians(place.azimuth_deg[at_depth, station])
            differences[station] += shaking.compose(fundamental, sources[at_depth], azimuth)
    return shaking.series(differences, nfft, dt, samples + len(table.times_s) - 1,
                          float(table.times_s[0]))


# The sum in single precision against the one in double precision: rms of the
# velocity's difference over its rms, per station (measured: 1e-7 here, 6e-7 for the
# default rupture at 20 stations).
PRECISION_MISFIT = 1e-5


def test_sum_against_the_double_precision_sum(coarse_grid):
    """Through the package's own table (its responses transformed in single precision),
    against the sum made as it was, in double precision from the table's displacement."""
    greens = pytest.importorskip("kinematic_rupture.greens")
    srf_file, _, stations = tiny_rupture(LAYERED)
    place = shaking.layout(srf_file, stations, LAYERED, MAX_FREQUENCY_HZ)
    band = greens.Band(place.max_frequency_hz, place.duration_s, place.dt_s)
    table = greens.greens_table(LAYERED, place.table_depths_km, place.table_distances_km, band, cache=False)
    samples = patches.source_samples(srf_file, place.dt_s)
    moments = patches.patch_moments(srf_file, place.patches,
                                    patches.point_rigidity(srf_file, LAYERED), place.dt_s, samples)
    ours = shaking.sum_ruptures(place, table, [moments])[0].velocity
    before = per_station_sum(place, table, moments).velocity
    misfit = np.sqrt(np.mean((ours - before) ** 2, axis=(1, 2)) / np.mean(before ** 2, axis=(1, 2)))
    assert misfit.max() < PRECISION_MISFIT, misfit


def test_patches_against_single_subfaults(coarse_grid, monkeypatch):
    """Velocity seismograms summed over patches against those summed over every subfault
    on its own, in a layered crust."""
    srf_file, _, stations = tiny_rupture(LAYERED, cell_km=0.25)
    grouped_place, grouped = motion(srf_file, stations, LAYERED)
    monkeypatch.setattr(patches, "PATCH_TRAVEL_TIME_FRACTION", 1e-6)
    single_place, single = motion(srf_file, stations, LAYERED)
    assert len(single_place.patches) == len(srf_file.points) > 3 * len(grouped_place.patches)
    # The tables' durations differ with the farthest patch: compare the common part.
    assert grouped.start_s == single.start_s
    common = min(grouped.samples, single.samples)
    ours, theirs = grouped.velocity[..., :common], single.velocity[..., :common]
    difference = np.sqrt(np.mean((ours - theirs) ** 2, axis=(1, 2)))
    size = np.sqrt(np.mean(theirs ** 2, axis=(1, 2)))
    assert (difference / size).max() < GROUPING_MISFIT, difference / size


@pytest.mark.parametrize("antipode", [False, True])
def test_stations_beyond_regional_distances_are_refused(antipode):
    srf_file, surface, stations = tiny_rupture(LAYERED)
    lon, lat = surface.geographic(np.array([0.0]), np.array([shaking.MAX_STATION_DISTANCE_KM + 10.0]))
    if antipode:
        lon, lat = surface.geographic(np.array([0.0]), np.array([0.0]))
        lon, lat = (lon + 360.0) % 360.0 - 180.0, -lat
    far = Station("FAR", float(lon[0]), float(lat[0]))
    with pytest.raises(SettingError, match=r"station FAR lies [\d,]+ km from the nearest patch; the "
                       r"Green's functions of flat layers serve stations within 1,000 km"):
        shaking.layout(srf_file, [*stations, far], LAYERED, MAX_FREQUENCY_HZ)
    near = shaking.layout(srf_file, stations, LAYERED, MAX_FREQUENCY_HZ)
    assert near.table_distances_km.max() < 20.0


def test_interpolation_weights():
    """The cubic through four grid distances inside the grid, the straight line in its
    first and last intervals: each reproduces its polynomials exactly, at any distance."""
    grid = 1.2 + 0.15 * np.arange(8)
    distance = np.random.default_rng(8).uniform(grid[0], grid[-1], size=(40, 3))
    nodes, weights = shaking.interpolation(distance, grid)
    assert weights.sum(axis=-1) == pytest.approx(np.ones(distance.shape), abs=1e-12)
    inside = (distance > grid[1]) & (distance < grid[-2])
    cubic = lambda r: 0.3 - 2.0 * r + 0.7 * r**2 - 0.4 * r**3  # noqa: E731
    line = lambda r: 0.3 - 2.0 * r  # noqa: E731
    for polynomial, where in ((cubic, inside), (line, ~inside)):
        interpolated = (weights * polynomial(grid[nodes])).sum(axis=-1)
        assert interpolated[where] == pytest.approx(polynomial(distance[where]), abs=1e-9)
    assert np.all((nodes >= 0) & (nodes < len(grid)))


def test_every_pair_has_four_grid_distances():
    """The layout's grid reaches a distance past every pair's on either side, so every
    pair takes the cubic (but one within two steps of 0 km, below which none lies)."""
    srf_file, _, stations = tiny_rupture(LAYERED)
    place = shaking.layout(srf_file, stations, LAYERED, MAX_FREQUENCY_HZ)
    grid = place.table_distances_km
    nodes, _ = shaking.interpolation(place.distance_km, grid)
    far = place.distance_km >= 2 * (grid[1] - grid[0])
    assert np.all(np.diff(nodes, axis=-1)[far] == 1)
    assert grid[0] <= place.distance_km.min() and grid[-1] >= place.distance_km.max()


# The rule's distance step, in the shipped crust at the band's top, for the shallowest
# sources the summation meets (0.15 km, where the slowest waves are strongest): the
# velocity interpolated halfway between grid distances against the one computed there
# (rms of the difference over rms). Measured 2.6% at 2 km (5.2% for the straight line
# on the 0.1 km grid used before).
INTERPOLATION_MISFIT = 0.03


def test_interpolation_in_distance(monkeypatch):
    """A waveform halfway between two distances of the grid, interpolated from four, against
    the one computed there."""
    greens = pytest.importorskip("kinematic_rupture.greens")
    monkeypatch.setattr(shaking, "DISTANCE_STEP_WAVELENGTHS", RULE_STEP_WAVELENGTHS)  # not coarse_grid's
    crust = LayeredModel.named("mojave")
    step = shaking.distance_step_km(1.0)
    grid = np.round(2.0 + step * np.arange(-1, 4), 6)  # the middle is inside: cubic
    middle = round(2.0 + 0.5 * step, 6)
    table = greens.greens_table(crust, [0.15], np.append(grid, middle), greens.Band(1.0, 30.0), cache=False)
    tensor, azimuth = np.array([0.2, -0.7, 0.5, 0.4, -0.3, 0.6]), np.array([35.0])
    nodes, weights = shaking.interpolation(np.array([middle]), grid)
    velocity = [np.diff(table.displacement(tensor, 0, [r], azimuth)[0], axis=-1) for r in grid]
    interpolated = sum(w * velocity[n] for n, w in zip(nodes[0], weights[0]))
    exact = np.diff(table.displacement(tensor, 0, [middle], azimuth)[0], axis=-1)
    misfit = np.sqrt(np.mean((interpolated - exact) ** 2) / np.mean(exact ** 2))
    assert misfit < INTERPOLATION_MISFIT, misfit


def test_patches_keep_to_their_rule_and_the_moment():
    """Every point in exactly one patch, no patch wider than the rule allows at its depth,
    and the patches' tensor series summing to every point's mu A slip tensor."""
    srf_file, surface, stations = tiny_rupture(LAYERED)
    place = shaking.layout(srf_file, stations, LAYERED, MAX_FREQUENCY_HZ)
    grouped = place.patches
    assert sorted(set(grouped.of_point.tolist())) == list(range(len(grouped)))
    points = srf_file.points
    x, y = surface.local(points.lon, points.lat)
    for number in range(len(grouped)):
        members = grouped.of_point == number
        depths = points.depth_km[members]
        half_cell = 0.25 * math.sin(math.radians(50.0))
        bound = patches.largest_radius_km(LAYERED, depths.min() - half_cell,
                                          depths.max() + half_cell, MAX_FREQUENCY_HZ)
        spread = np.hypot(np.hypot(x[members] - grouped.x_km[number],
                                   y[members] - grouped.y_km[number]),
                          depths - grouped.depth_km[number])
        assert spread.max() <= bound
    rigidity = patches.point_rigidity(srf_file, LAYERED)
    samples = patches.source_samples(srf_file, place.dt_s)
    moments = patches.patch_moments(srf_file, grouped, rigidity, place.dt_s, samples)
    tensors = patches.unit_tensors(points.strike_deg, points.dip_deg, points.rake_deg)
    expected = ((rigidity * points.area_cm2 / 1e4 * points.slip_cm[0] / 100.0)[:, None]
                * tensors).sum(axis=0)
    assert moments.sum(axis=(0, 2)) == pytest.approx(expected, rel=1e-9, abs=1e-6 * abs(expected).max())


@pytest.mark.parametrize("strike, dip, rake, expected", [
    # Aki and Richards' check values (references, section 14): (Mxx, Myy, Mzz, Mxy, Mxz, Myz).
    (0.0, 45.0, 90.0, (0, -1, 1, 0, 0, 0)),      # thrust: Mrr = +1, Mpp = -1
    (0.0, 45.0, -90.0, (0, 1, -1, 0, 0, 0)),     # normal
    (0.0, 90.0, 0.0, (0, 0, 0, 1, 0, 0)),        # left-lateral: Mxy = +1
])
def test_unit_tensors(strike, dip, rake, expected):
    tensor = patches.unit_tensors(np.array([strike]), np.array([dip]), np.array([rake]))[0]
    assert tensor == pytest.approx(expected, abs=1e-12)


def test_a_table_that_is_not_finite_is_refused(coarse_grid):
    """Green's functions with a NaN stop the sum in one line naming the depth, rather than
    giving NaN seismograms."""
    srf_file, _, stations = tiny_rupture(HALF_SPACE)
    place = shaking.layout(srf_file, stations, HALF_SPACE, MAX_FREQUENCY_HZ)
    table = standin.table_for(place, HALF_SPACE)

    class Broken:
        depths_km, distances_km, dt_s, times_s = (table.depths_km, table.distances_km,
                                                  table.dt_s, table.times_s)

        def displacement(self, *arguments):
            motion = table.displacement(*arguments)
            motion[..., 3] = np.nan
            return motion

    with pytest.raises(ValueError, match=r"the Green's functions for a source at [\d.]+ km are not all finite"):
        shaking.shake(srf_file, place, Broken(), HALF_SPACE)


def test_fundamental_responses_of_the_packages_table():
    """The same composition through the package's own Green's functions, where they are."""
    greens = pytest.importorskip("kinematic_rupture.greens")
    distances = np.array([3.0, 7.5])
    table = greens.greens_table(LAYERED, [2.5], distances, greens.Band(0.5, 20.0), cache=False)
    fundamental = table.step_responses(0, distances)
    single = shaking.fundamental_responses(table, 0, distances)
    assert single.dtype == np.float32
    assert single == pytest.approx(fundamental, abs=1e-6 * np.abs(fundamental).max())
    rng = np.random.default_rng(6)
    tensor, azimuth = rng.normal(size=6), rng.uniform(0, 360, size=2)
    expected = table.displacement(tensor, 0, distances, azimuth)
    for k in range(2):
        tensors = np.broadcast_to(tensor[:, None], (1, 6, expected.shape[-1]))
        composed = shaking.compose(fundamental[k:k + 1], tensors, np.radians(azimuth[k:k + 1]))
        assert composed == pytest.approx(expected[k], abs=1e-9 * np.abs(expected).max())
