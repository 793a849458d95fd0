"""Every export seen as its solver sees it: instaseis reads the single-block file itself;
SW4's text and HDF5 readers, SeisSol's NRF reader and SPECFEM3D's CMTSOLUTION parser are
re-implemented from their sources in solver_readers.py. Each is checked on a three-plane
rupture for the number of points, their positions (against pyproj), the total moment, the
slip-rate samples integrating to the slip as that reader integrates, the moment tensor
against strike, dip and rake, and the start times."""

import math

import numpy as np
import pyproj
import pytest

from conftest import run_command
from kinematic_rupture import read_srf
from kinematic_rupture.io import export
from solver_readers import (seissol_read_nrf, specfem_read_cmt, specfem_read_stf, sw4_read_hdf5,
                            sw4_read_srf, sw4_time_function)

TRACE = "-117.5,34.2 -117.53,34.22 -117.57,34.245 -117.61,34.26"
GEOD = pyproj.Geod(ellps="WGS84")
UTM11 = "+proj=utm +zone=11 +datum=WGS84 +units=m"


@pytest.fixture(scope="module")
def three_planes(tmp_path_factory):
    """A rupture on three planes dipping 70 degrees, with rake 120 and its variations, as
    this package writes it (one POINTS block a plane), and the file read back."""
    directory = tmp_path_factory.mktemp("exports")
    path = directory / "three.srf"
    status = __import__("kinematic_rupture.cli", fromlist=["main"]).main(
        ["run", "--trace", TRACE, "--width-km", "3", "--dip", "70", "--rake", "120",
         "--cell-km", "0.5", "--magnitude", "5.8", "--top-depth-km", "1", "--seed", "4",
         "--srf", str(path), "--no-figure"])
    assert status == 0
    srf = read_srf(path)
    assert len(srf.planes) == 3 and int(srf.points.block.max()) == 2
    return path, srf


def rigidity(points):
    return points.density_g_cm3 * 1e3 * (points.vs_cm_s / 100) ** 2


def moments_nm(points):
    return rigidity(points) * points.area_cm2 * 1e-4 * points.slip_cm[0] * 1e-2


def expected_positions(srf):
    """Every point's (lon, lat, depth km) from its plane's line in the PLANE block, placed
    with pyproj's geodesics: along strike from the top centre, then horizontally down dip."""
    lon, lat, depth = [], [], []
    for plane in srf.planes:
        cell_along, cell_down = plane.length_km / plane.nstk, plane.width_km / plane.ndip
        for row in range(plane.ndip):
            down = (row + 0.5) * cell_down
            for column in range(plane.nstk):
                along = (column + 0.5) * cell_along - plane.length_km / 2
                x, y, _ = GEOD.fwd(plane.lon, plane.lat, plane.strike_deg if along >= 0
                                   else plane.strike_deg + 180, abs(along) * 1e3)
                x, y, _ = GEOD.fwd(x, y, plane.strike_deg + 90,
                                   down * math.cos(math.radians(plane.dip_deg)) * 1e3)
                lon.append(x)
                lat.append(y)
                depth.append(plane.top_depth_km + down * math.sin(math.radians(plane.dip_deg)))
    return np.array(lon), np.array(lat), np.array(depth)


def metres_apart(lon1, lat1, lon2, lat2):
    return GEOD.inv(lon1, lat1, lon2, lat2)[2]


def ned_table(strike, dip, rake):
    """Aki and Richards' Box 4.4 table (references section 14), unit moment, as
    (Mxx, Mxy, Mxz, Myy, Myz, Mzz) in north, east, down."""
    f, d, r = np.radians(strike), np.radians(dip), np.radians(rake)
    return (-(np.sin(d) * np.cos(r) * np.sin(2 * f) + np.sin(2 * d) * np.sin(r) * np.sin(f) ** 2),
            np.sin(d) * np.cos(r) * np.cos(2 * f) + 0.5 * np.sin(2 * d) * np.sin(r) * np.sin(2 * f),
            -(np.cos(d) * np.cos(r) * np.cos(f) + np.cos(2 * d) * np.sin(r) * np.sin(f)),
            np.sin(d) * np.cos(r) * np.sin(2 * f) - np.sin(2 * d) * np.sin(r) * np.cos(f) ** 2,
            -(np.cos(d) * np.cos(r) * np.sin(f) - np.cos(2 * d) * np.sin(r) * np.cos(f)),
            np.sin(2 * d) * np.sin(r))


def harvard_table(strike, dip, rake):
    """Mrr, Mtt, Mpp, Mrt, Mrp, Mtp from the NED table: Mrr = Mzz, Mtt = Mxx, Mpp = Myy,
    Mrt = Mxz, Mrp = -Myz, Mtp = -Mxy."""
    xx, xy, xz, yy, yz, zz = ned_table(strike, dip, rake)
    return np.array([zz, xx, yy, xz, -yz, -xy])


def centroid_and_variance(samples, tinit, dt):
    """A pulse's moment-rate centroid time and variance, each sample holding over its
    interval [k dt, (k + 1) dt)."""
    samples = np.asarray(samples)
    middle = (np.arange(samples.size) + 0.5) * dt
    centroid = (samples * middle).sum() / samples.sum()
    variance = (samples * (middle - centroid) ** 2).sum() / samples.sum() + dt**2 / 12
    return tinit + centroid, variance


# ---- srf-single-block -----------------------------------------------------------------


def test_the_package_file_is_refused_or_truncated_by_sw4(three_planes, tmp_path):
    """The reason for the export: SW4 refuses comment lines before PLANE and, without
    them, reads only the first POINTS block (its issue #210)."""
    from solver_readers import Refused
    path, srf = three_planes
    with pytest.raises(Refused, match="HEADER BLOCK"):
        sw4_read_srf(path)
    bare = tmp_path / "bare.srf"
    bare.write_text("".join(line for line in path.read_text().splitlines(keepends=True)
                            if not line.startswith("#")))
    first = (srf.points.block == 0) & (np.diff(srf.points.offsets[0]) > 0)
    assert len(sw4_read_srf(bare)) == first.sum() < (np.diff(srf.points.offsets[0]) > 0).sum()


def test_instaseis_reads_every_point_and_the_full_moment_of_the_single_block_file(three_planes, tmp_path):
    instaseis = pytest.importorskip("instaseis")
    path, srf = three_planes
    out = tmp_path / "single.srf"
    export(srf, out, "srf-single-block", version="1.0")
    source = instaseis.FiniteSource.from_srf_file(str(out), normalize=True)
    points = srf.points
    slipping = np.diff(points.offsets[0]) > 0
    assert len(source.pointsources) == slipping.sum() == len(points) - (points.slip_cm[0] == 0).sum()
    # instaseis takes mu = 32 GPa wherever a point is: M0 = 32e9 A slip, point by point.
    expected = 32e9 * points.area_cm2[slipping] * 1e-4 * points.slip_cm[0][slipping] * 1e-2
    got = np.array([p.M0 for p in source.pointsources])
    assert got.sum() == pytest.approx(expected.sum(), rel=1e-6)
    np.testing.assert_allclose(got, expected, rtol=1e-6)
    np.testing.assert_allclose([p.longitude for p in source.pointsources], points.lon[slipping],
                               atol=1e-9)
    np.testing.assert_allclose([p.depth_in_m for p in source.pointsources],
                               points.depth_km[slipping] * 1e3, atol=1e-6)
    np.testing.assert_allclose([p.time_shift for p in source.pointsources],
                               points.tinit_s[slipping], atol=1e-6)
    # Its tensor, from the point's strike, dip and rake, against the table.
    first = source.pointsources[0]
    k = int(np.flatnonzero(slipping)[0])
    np.testing.assert_allclose([first.tensor[i] for i in range(6)],
                               first.M0 * harvard_table(points.strike_deg[k], points.dip_deg[k],
                                                        points.rake_deg[k]),
                               atol=1e-6 * first.M0)


@pytest.mark.parametrize("version", ["1.0", "2.0"])
def test_sw4_reads_every_point_of_the_single_block_file(three_planes, tmp_path, version):
    path, srf = three_planes
    out = tmp_path / "single.srf"
    export(srf, out, "srf-single-block", version=version)
    text = out.read_text()
    assert text.splitlines()[1].startswith("PLANE 3")
    assert text.count("POINTS") == 1 and "#" not in text
    assert not any(line != line.rstrip() for line in text.splitlines())
    points = srf.points
    slipping = np.diff(points.offsets[0]) > 0
    read = sw4_read_srf(out)
    assert len(read) == slipping.sum()
    lon, lat, depth = expected_positions(srf)
    assert metres_apart([p.lon for p in read], [p.lat for p in read], lon[slipping],
                        lat[slipping]).max() < 1.0
    np.testing.assert_allclose([p.depth_km for p in read], depth[slipping], atol=1e-3)
    # SW4 takes mu from its own material: given the generator's, the moment is the file's.
    mu = rigidity(points)[slipping]
    moment = sum(m * p.area_cm2 * 1e-4 * p.slip1_cm * 1e-2 for m, p in zip(mu, read))
    assert moment == pytest.approx(moments_nm(points).sum(), rel=1e-6)
    for p in read:
        assert sum(p.samples) * p.dt == pytest.approx(p.slip1_cm, rel=2e-5)
        stf = sw4_time_function(p.samples, p.dt)
        assert np.isfinite(stf).all() and stf[0] == 0 and stf[-1] == 0
    np.testing.assert_allclose([p.tinit for p in read], points.tinit_s[slipping], atol=1e-6)
    np.testing.assert_allclose([p.rake for p in read], points.rake_deg[slipping], atol=0.006)


def test_the_single_block_file_reads_back_as_the_per_plane_file(three_planes, tmp_path):
    path, srf = three_planes
    out = tmp_path / "single.srf"
    export(path, out, "srf-single-block", comments=True)
    again = read_srf(out)
    assert again.comments[:-1] == srf.comments and again.planes == srf.planes
    assert again.comments[-1].startswith("exported by kinematic-rupture: every plane's points in one block")
    assert int(again.points.block.max()) == 0
    for name in ("lon", "lat", "depth_km", "tinit_s", "vs_cm_s", "rake_deg"):
        np.testing.assert_array_equal(getattr(again.points, name), getattr(srf.points, name))
    np.testing.assert_array_equal(again.points.rates[0], srf.points.rates[0])
    np.testing.assert_array_equal(again.points.offsets[0], srf.points.offsets[0])


# ---- sw4-hdf5 ---------------------------------------------------------------------------


def test_sw4_reads_the_hdf5_file(three_planes, tmp_path):
    path, srf = three_planes
    out = tmp_path / "rupture.srf.h5"
    export(srf, out, "sw4-hdf5")
    points = srf.points
    slipping = np.diff(points.offsets[0]) > 0
    read = sw4_read_hdf5(out)
    assert len(read) == slipping.sum()
    lon, lat, depth = expected_positions(srf)
    assert metres_apart([p.lon for p in read], [p.lat for p in read], lon[slipping],
                        lat[slipping]).max() < 1.0
    mu = rigidity(points)[slipping]
    moment = sum(m * p.area_cm2 * 1e-4 * p.slip1_cm * 1e-2 for m, p in zip(mu, read))
    assert moment == pytest.approx(moments_nm(points).sum(), rel=1e-6)
    for p in read:
        assert sum(p.samples) * p.dt == pytest.approx(p.slip1_cm, rel=2e-5)
    np.testing.assert_allclose([p.tinit for p in read], points.tinit_s[slipping], atol=1e-5)
    h5py = pytest.importorskip("h5py")
    with h5py.File(out) as data:
        assert float(data.attrs["VERSION"]) == 2.0
        assert data.attrs["PLANE"]["NSTK"].tolist() == [plane.nstk for plane in srf.planes]
        assert "cm/s" in data.attrs["conventions"]


# ---- seissol-nrf ------------------------------------------------------------------------


def grid_north(lon, lat, projection):
    """The grid azimuth of true north, from pyproj's meridian convergence."""
    factors = pyproj.Proj(projection).get_factors(lon, lat)
    return np.radians(-np.asarray(factors.meridian_convergence))


@pytest.mark.parametrize("axis", ["", " +axis=ned"])
def test_seissol_reads_the_nrf_file(three_planes, tmp_path, axis):
    path, srf = three_planes
    out = tmp_path / "rupture.nrf"
    export(srf, out, "seissol-nrf", projection=UTM11 + axis)
    nrf = seissol_read_nrf(out)
    points = srf.points
    slipping = np.flatnonzero(np.diff(points.offsets[0]) > 0)
    assert len(nrf.subfaults) == slipping.size
    easting, northing = pyproj.Transformer.from_crs("EPSG:4326", "EPSG:32611", always_xy=True) \
        .transform(points.lon[slipping], points.lat[slipping])
    up = -points.depth_km[slipping] * 1e3
    order = {"": (easting, northing, up), " +axis=ned": (northing, easting, -up)}[axis]
    np.testing.assert_allclose(nrf.centres, np.stack(order, axis=1), atol=1.0)
    # mu from VS and DEN; area in m^2; the trapezoid integral of the samples is the slip.
    mu, area = nrf.subfaults["mu"], nrf.subfaults["area"]
    np.testing.assert_allclose(mu, rigidity(points)[slipping], rtol=1e-12)
    slip_m = np.array([nrf.slip_m(k) for k in range(len(mu))])
    np.testing.assert_allclose(slip_m, points.slip_cm[0][slipping] / 100, rtol=2e-5)
    assert (mu * area * slip_m).sum() == pytest.approx(moments_nm(points).sum(), rel=1e-5)
    assert all(nrf.samples(k)[0] == 0 and nrf.samples(k)[-1] == 0 for k in range(len(mu)))
    np.testing.assert_allclose(nrf.subfaults["tinit"], points.tinit_s[slipping], atol=1e-9)
    assert nrf.rates[1].size == nrf.rates[2].size == 0
    assert nrf.attributes["centres"] == "m" and nrf.attributes["sliprates1"] == "m/s"
    # The tensor mu A (tan1 n^T + n tan1^T), turned back to north, east, down, is the table's.
    theta = grid_north(points.lon[slipping], points.lat[slipping], UTM11)

    def ned(vectors):
        x, y, z = (vectors[name] for name in "xyz")
        east, north, up_ = (x, y, z) if not axis else (y, x, -z)
        return np.stack([north * np.cos(theta) + east * np.sin(theta),
                         -north * np.sin(theta) + east * np.cos(theta), -up_], axis=1)

    s, n = ned(nrf.subfaults["tan1"]), ned(nrf.subfaults["normal"])
    assert np.allclose(np.linalg.norm(s, axis=1), 1) and np.allclose((s * n).sum(axis=1), 0)
    tensor = s[:, [0, 0, 0, 1, 1, 2]] * n[:, [0, 1, 2, 1, 2, 2]] + \
        n[:, [0, 0, 0, 1, 1, 2]] * s[:, [0, 1, 2, 1, 2, 2]]
    expected = np.stack(ned_table(points.strike_deg[slipping], points.dip_deg[slipping],
                                  points.rake_deg[slipping]), axis=1)
    np.testing.assert_allclose(tensor, expected, atol=1e-9)


def test_the_nrf_file_has_a_zero_before_and_after_rows_that_lack_one(tmp_path):
    """SeisSol integrates by trapezoids: a row that starts or ends slipping gets a zero
    sample, one DT before the start or after the end, and keeps its samples' times."""
    from test_export_refusals import synthetic_srf
    srf = read_srf(synthetic_srf(tmp_path / "edge.srf", rows=[[3.0, 4.0, 5.0], [0.0, 2.0]],
                                 dt=0.1, tinit=[1.0, 2.0]))
    export(srf, tmp_path / "edge.nrf", "seissol-nrf", projection="EPSG:32611")
    nrf = seissol_read_nrf(tmp_path / "edge.nrf")
    assert nrf.samples(0).tolist() == [0.0, 0.03, 0.04, 0.05, 0.0]
    assert nrf.subfaults["tinit"][0] == pytest.approx(0.9)
    assert nrf.samples(1).tolist() == [0.0, 0.02, 0.0]
    assert nrf.subfaults["tinit"][1] == 2.0
    assert nrf.slip_m(0) == pytest.approx(0.1 * 0.12) and nrf.slip_m(1) == pytest.approx(0.002)
    assert nrf.subfaults["mu"].tolist() == [0.0, 0.0]  # a version 1.0 file: the mesh's own


# ---- specfem-cmt ------------------------------------------------------------------------


def test_specfem_reads_one_block_a_subfault(three_planes, tmp_path):
    path, srf = three_planes
    out = tmp_path / "CMTSOLUTION"
    export(srf, out, "specfem-cmt")
    assert "\n\n" not in out.read_text()
    sources = specfem_read_cmt(out)
    points = srf.points
    slipping = np.flatnonzero(np.diff(points.offsets[0]) > 0)
    assert len(sources) == slipping.size
    lon, lat, depth = expected_positions(srf)
    assert metres_apart([s.lon for s in sources], [s.lat for s in sources], lon[slipping],
                        lat[slipping]).max() < 1.0
    np.testing.assert_allclose([s.depth_km for s in sources], depth[slipping], atol=1e-3)
    moments = moments_nm(points)[slipping]
    got = np.array([s.moment_dyne_cm() for s in sources]) * 1e-7
    assert got.sum() == pytest.approx(moments.sum(), rel=1e-6)
    tensors = np.array([s.tensor for s in sources]) * 1e-7
    expected = harvard_table(points.strike_deg[slipping], points.dip_deg[slipping],
                             points.rake_deg[slipping]).T * moments[:, None]
    np.testing.assert_allclose(tensors, expected, atol=1e-8 * moments.max())
    for tensor in tensors[:20]:
        rr, tt, pp, rt, rp, tp = tensor
        matrix = np.array([[rr, rt, rp], [rt, tt, tp], [rp, tp, pp]])
        eigen = np.linalg.eigvalsh(matrix)
        assert abs(np.trace(matrix)) < 1e-8 * eigen[-1]
        assert abs(eigen[1]) < 1e-8 * eigen[-1] and eigen[0] == pytest.approx(-eigen[-1])
    for source, k in list(zip(sources, slipping))[::7]:
        row = points.rates[0][points.offsets[0][k]:points.offsets[0][k + 1]]
        centroid, variance = centroid_and_variance(row, points.tinit_s[k], points.dt_s[k])
        assert source.time_shift == pytest.approx(centroid, abs=2e-6)
        # SPECFEM's Gaussian of half duration h has variance (h / 1.628)^2 / 2.
        assert (source.half_duration / 1.628) ** 2 / 2 == pytest.approx(variance, rel=1e-4)


def own_patches(srf, patch_km):
    """Each point's patch, counted here: cells of about patch_km a side on each plane."""
    labels, first = [], 0
    for plane in srf.planes:
        along = max(1, min(plane.nstk, round(patch_km / (plane.length_km / plane.nstk))))
        down = max(1, min(plane.ndip, round(patch_km / (plane.width_km / plane.ndip))))
        columns = -(-plane.nstk // along)
        for row in range(plane.ndip):
            for column in range(plane.nstk):
                labels.append(first + (row // down) * columns + column // along)
        first += columns * -(-plane.ndip // down)
    return np.array(labels)


@pytest.mark.parametrize("patch_km", [0.5, 1.0, 2.2, 1e6])
def test_patches_keep_their_moment_and_centroid_time(three_planes, tmp_path, patch_km):
    path, srf = three_planes
    export(srf, tmp_path / "CMTSOLUTION", "specfem-cmt", patch_km=patch_km)
    sources = specfem_read_cmt(tmp_path / "CMTSOLUTION")
    points = srf.points
    slipping = np.flatnonzero(np.diff(points.offsets[0]) > 0)
    labels = own_patches(srf, patch_km)[slipping]
    patches = np.unique(labels)
    assert len(sources) == patches.size
    if patch_km == 1e6:
        assert len(sources) == 3  # one a plane
    moments = moments_nm(points)[slipping]
    tensors = harvard_table(points.strike_deg[slipping], points.dip_deg[slipping],
                            points.rake_deg[slipping]).T * moments[:, None]
    times = np.array([centroid_and_variance(points.rates[0][points.offsets[0][k]:points.offsets[0][k + 1]],
                                            points.tinit_s[k], points.dt_s[k])[0] for k in slipping])
    for source, patch in zip(sources, patches):
        members = labels == patch
        np.testing.assert_allclose(source.tensor * 1e-7, tensors[members].sum(axis=0),
                                   rtol=1e-8, atol=1e-9 * moments[members].sum())
        weights = moments[members] / moments[members].sum()
        assert source.time_shift == pytest.approx((weights * times[members]).sum(), abs=2e-6)
        # At the moment-weighted centroid of its subfaults.
        assert source.lat == pytest.approx((weights * points.lat[slipping][members]).sum(), abs=2e-6)
        assert source.lon == pytest.approx((weights * points.lon[slipping][members]).sum(), abs=2e-6)
        assert source.depth_km == pytest.approx((weights * points.depth_km[slipping][members]).sum(),
                                                abs=2e-6)
    total = np.array([s.tensor for s in sources]).sum(axis=0) * 1e-7
    np.testing.assert_allclose(total, tensors.sum(axis=0), rtol=1e-8)


def test_external_source_time_functions_hold_each_delay_and_end_at_one(three_planes, tmp_path):
    path, srf = three_planes
    out = tmp_path / "CMTSOLUTION"
    export(srf, out, "specfem-cmt", patch_km=2.0, stf_dt=0.01)
    export(srf, tmp_path / "plain", "specfem-cmt", patch_km=2.0)
    centroids = [s.time_shift for s in specfem_read_cmt(tmp_path / "plain")]
    sources = specfem_read_cmt(out, external=True)
    assert len(sources) == len(centroids)
    # Each file against the patch's moment history built here, member by member.
    points = srf.points
    slipping = np.flatnonzero(np.diff(points.offsets[0]) > 0)
    labels = own_patches(srf, 2.0)[slipping]
    moments = moments_nm(points)[slipping]
    for source, patch in zip(sources, np.unique(labels)):
        file = tmp_path / source.stf_file.removeprefix("DATA/")
        history = specfem_read_stf(file, int(file.read_text().splitlines()[1].split()[-1]))
        times = np.arange(history.size) * 0.01
        expected = np.zeros(history.size)
        for k, moment in zip(slipping[labels == patch], moments[labels == patch]):
            row = points.rates[0][points.offsets[0][k]:points.offsets[0][k + 1]]
            nodes = points.tinit_s[k] + points.dt_s[k] * np.arange(row.size + 1)
            expected += moment * np.interp(times, nodes, np.concatenate([[0], np.cumsum(row)]) / row.sum())
        np.testing.assert_allclose(history, expected / moments[labels == patch].sum(), atol=1e-7)
    for source, centroid in zip(sources, centroids):
        assert source.time_shift == 0 and source.half_duration == 0
        assert source.stf_file.startswith("DATA/CMTSOLUTION_stf/")
        file = tmp_path / source.stf_file.removeprefix("DATA/")
        header = [line for line in file.read_text().splitlines() if line.startswith("#")]
        assert header[0] == "# DT 0.01"
        nstep = int(header[1].split()[-1])
        history = specfem_read_stf(file, nstep)
        assert history[0] <= 0.001 and history[-1] == pytest.approx(1.0)
        assert (np.diff(history) >= -1e-12).all()
        # The integral of 1 - H over time is the centroid time of the moment rate.
        assert ((1 - history).sum() - 0.5) * 0.01 == pytest.approx(centroid, abs=0.01)


def test_the_harvard_check_values(tmp_path):
    """References section 14: a thrust (0, 45, 90) gives Mrr = M0 = -Mpp; a normal fault
    the opposite; a left-lateral vertical fault (0, 90, 0) gives Mtp = -M0."""
    from test_export_refusals import synthetic_srf
    mechanisms = [(0, 45, 90), (0, 45, -90), (0, 90, 0)]
    path = synthetic_srf(tmp_path / "check.srf", rows=[[1.0, 1.0]] * 3, dt=1.0,
                         mechanisms=mechanisms, version="2.0")
    export(read_srf(path), tmp_path / "CMT", "specfem-cmt")
    sources = specfem_read_cmt(tmp_path / "CMT")
    m0 = sources[0].moment_dyne_cm()
    rr, tt, pp, rt, rp, tp = sources[0].tensor / m0
    assert (rr, pp) == (pytest.approx(1), pytest.approx(-1)) and max(map(abs, (tt, rt, rp, tp))) < 1e-12
    rr, tt, pp, *_ = sources[1].tensor / m0
    assert (rr, pp) == (pytest.approx(-1), pytest.approx(1))
    assert sources[2].tensor[5] / m0 == pytest.approx(-1)


# ---- points-hdf5 ------------------------------------------------------------------------


def test_the_point_list_holds_positions_tensors_and_moment_rates(three_planes, tmp_path):
    h5py = pytest.importorskip("h5py")
    path, srf = three_planes
    out = tmp_path / "points.h5"
    export(srf, out, "points-hdf5", origin=(-117.55, 34.23))
    points = srf.points
    slipping = np.flatnonzero(np.diff(points.offsets[0]) > 0)
    with h5py.File(out) as data:
        values = {name: data[name][...] for name in data}
        attributes = dict(data.attrs)
        units = {name: data[name].attrs["units"] for name in data}
    assert values["longitude"].size == slipping.size
    assert attributes["format"] == "kinematic-rupture point sources" and "Harvard" in attributes["conventions"]
    x, y = pyproj.Transformer.from_crs(
        "EPSG:4326", "+proj=aeqd +lon_0=-117.55 +lat_0=34.23 +datum=WGS84", always_xy=True) \
        .transform(points.lon[slipping], points.lat[slipping])
    np.testing.assert_allclose(values["x"], x, atol=1.0)
    np.testing.assert_allclose(values["y"], y, atol=1.0)
    np.testing.assert_allclose(values["z"], -points.depth_km[slipping] * 1e3)
    moments = moments_nm(points)[slipping]
    np.testing.assert_allclose(values["moment"], moments, rtol=1e-12)
    offsets, rate, dt = values["offsets"], values["moment_rate"], values["dt"]
    integral = np.add.reduceat(rate, offsets[:-1]) * dt
    np.testing.assert_allclose(integral, moments, rtol=2e-5)
    np.testing.assert_allclose(values["moment_tensor"], harvard_table(
        points.strike_deg[slipping], points.dip_deg[slipping], points.rake_deg[slipping]).T
        * moments[:, None], atol=1e-9 * moments.max())
    np.testing.assert_array_equal(values["start_time"], points.tinit_s[slipping])
    assert units["moment_rate"] == "N m/s" and units["depth"] == "m"


def test_a_rupture_exports_as_its_srf_file_does(tmp_path):
    """A built Rupture is a source too: its export matches that of its SRF file, but for
    the file's rounding."""
    from kinematic_rupture import Fault, RuptureSettings, build_rupture, write_srf
    rupture = build_rupture(Fault.single(length_km=4, width_km=2, cell_km=0.5),
                            RuptureSettings(magnitude=5.2, seed=2))
    with open(tmp_path / "r.srf", "w") as stream:
        write_srf(stream, rupture)
    export(rupture, tmp_path / "direct.CMT", "specfem-cmt")
    export(tmp_path / "r.srf", tmp_path / "file.CMT", "specfem-cmt")
    direct, read = specfem_read_cmt(tmp_path / "direct.CMT"), specfem_read_cmt(tmp_path / "file.CMT")
    assert len(direct) == len(read) == int((rupture.slip_m > 0).sum())
    # The file rounds each rake to 0.01 degree: 1e-4 of the moment in a component.
    np.testing.assert_allclose([s.tensor for s in direct], [s.tensor for s in read], rtol=1e-5,
                               atol=2e-4 * max(s.moment_dyne_cm() for s in read))


def test_run_writes_one_points_block_on_request(tmp_path, capsys):
    args = ["run", "--trace", TRACE, "--width-km", "2", "--cell-km", "0.5", "--magnitude", "5.5",
            "--no-figure"]
    assert run_command([*args, "--srf", tmp_path / "a.srf"], capsys)[0] == 0
    assert run_command([*args, "--srf", tmp_path / "b.srf", "--srf-blocks", "one"], capsys)[0] == 0
    per_plane, one = read_srf(tmp_path / "a.srf"), read_srf(tmp_path / "b.srf")
    assert int(per_plane.points.block.max()) == 2 and int(one.points.block.max()) == 0
    np.testing.assert_array_equal(per_plane.points.rates[0], one.points.rates[0])
    # The sidecar records it, and --settings gives the same file again.
    assert run_command(["run", "--settings", tmp_path / "b.json", "--no-figure", "--srf",
                        tmp_path / "c.srf"], capsys)[0] == 0
    assert (tmp_path / "c.srf").read_bytes() == (tmp_path / "b.srf").read_bytes()
    assert '"srf_blocks"' not in (tmp_path / "a.json").read_text()


def test_an_ensemble_writes_one_points_block_on_request(tmp_path):
    from kinematic_rupture import Fault, RuptureSettings, ensemble
    from kinematic_rupture.geometry import planes_from_trace
    fault = Fault(planes_from_trace([(-117.5, 34.2), (-117.53, 34.22), (-117.57, 34.245)],
                                    cell_km=0.5, width_km=2.0), cell_km=0.5)
    run = ensemble.plan(fault, RuptureSettings(magnitude=5.3), srf_blocks="one")
    ensemble.build_variation(3, run, str(tmp_path))
    assert int(read_srf(tmp_path / "rupture-3.srf").points.block.max()) == 0
    assert run.manifest()["srf_blocks"] == "one"
    assert "srf_blocks" not in ensemble.plan(fault, RuptureSettings(magnitude=5.3)).manifest()
