"""The Green's functions of a layered crust (greens.py, crates/greens) against two
independent frequency-wavenumber codes, pyprop8 (O'Toole and Woodhouse 2011, elastic) and
pygrt-kit (with Q), against the whole-space solution of Aki and Richards (2002, eq. 4.29)
and Okada's static displacement (through cutde); and their disk cache and refusals.

Waveforms are compared after the same band-limiting: each peer's spectra at this
package's complex frequencies go through the same roll-off, step and inverse transform
(greens.step_spectra, GreensTable.seismograms), so what is compared is the physics of the
responses. The misfit is the normalised L2 one, |ours - theirs| / |theirs| over the three
components of a receiver: of displacement against pyprop8 (static offsets included), of
velocity against pygrt-kit, whose static offsets near the source are off by tens of
percent with its automatic wavenumber sampling (ours match Okada's and pyprop8's).
pygrt-kit's constant-Q dispersion is about the top of its frequency band, so it runs on a
band that ends at this package's reference frequency.
"""

import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from kinematic_rupture import LayeredModel, greens
from kinematic_rupture.greens import Band, Sampling, greens_table, step_spectra

ELASTIC = 1e9  # a quality factor so large that attenuation and dispersion vanish
# A crust of three layers: a soft 2 km, a 8 km middle and a half-space.
LAYERS = ((0.0, 2.0, 10.0), (4.0, 5.5, 6.5), (2.2, 3.2, 3.7), (2.4, 2.7, 2.9))
Q = ((88.0, 320.0, 370.0), (44.0, 160.0, 185.0))
DEPTHS_KM = (1.5, 8.0, 15.0)  # none on a boundary, where codes differ on the layer
DISTANCES_KM = (5.0, 30.0, 100.0)
AZIMUTHS_DEG = (20.0, 110.0, 250.0)  # of the three receivers, one per distance
PEER_BAND = Band(max_frequency_hz=0.5, duration_s=64.0, dt_s=0.25)
# (Mxx, Myy, Mzz, Mxy, Mxz, Myz), N m, x north, y east, z down.
MECHANISMS = {
    "strike-slip": (0.0, 0.0, 0.0, 1.0, 0.0, 0.0),         # vertical, striking north
    "dip-slip": (0.0, 0.0, 0.0, 0.0, 0.0, 1.0),            # vertical, striking north, rake -90
    "thrust": (0.0, -1.0, 1.0, 0.0, 0.0, 0.0),             # 45-degree thrust striking north
    "explosion": (1.0, 1.0, 1.0, 0.0, 0.0, 0.0),
}
# Normalised misfits allowed against each peer and the whole space.
PYPROP8_MISFIT = 0.01
PYGRT_VELOCITY_MISFIT = 0.05  # 4.7% at 5 km from the 1.5 km source, elastic or not; 1.5% elsewhere
WHOLE_SPACE_MISFIT = 0.005
OKADA_RELATIVE = 0.01


@pytest.fixture(autouse=True)
def no_cache(monkeypatch):
    monkeypatch.setenv(greens.CACHE_ENVIRONMENT, "off")


def crust(quality=None) -> LayeredModel:
    qp, qs = quality if quality else ((ELASTIC,) * 3, (ELASTIC,) * 3)
    return LayeredModel(*LAYERS, qp=qp, qs=qs)


def misfit(ours, theirs):
    return float(np.linalg.norm(ours - theirs) / np.linalg.norm(theirs))


def east_north_up(table, up, radial, transverse, azimuth_deg):
    """Displacement samples from spectra of up, radial and transverse (clockwise)."""
    up, radial, transverse = (table.seismograms(values) for values in (up, radial, transverse))
    phi = math.radians(azimuth_deg)
    return np.stack([radial * math.sin(phi) + transverse * math.cos(phi),
                     radial * math.cos(phi) - transverse * math.sin(phi), up])


@pytest.fixture(scope="module")
def elastic_table():
    os.environ[greens.CACHE_ENVIRONMENT] = "off"
    return greens_table(crust(), DEPTHS_KM, DISTANCES_KM, PEER_BAND)


@pytest.mark.parametrize("depth_index", range(len(DEPTHS_KM)))
def test_waveforms_match_pyprop8(elastic_table, depth_index):
    pyprop8 = pytest.importorskip("pyprop8")
    table = elastic_table
    sampling = Sampling.of(table.crust, table.band, table.distances_km)
    omega = 2 * np.pi * sampling.frequencies_hz() + 1j * sampling.damping_per_s
    thickness = np.diff(LAYERS[0])
    model = pyprop8.LayeredStructureModel(
        [(h, vp, vs, rho) for h, vp, vs, rho in zip((*thickness, np.inf), *LAYERS[1:])])
    phi = np.radians(AZIMUTHS_DEG)
    receivers = pyprop8.ListOfReceivers(np.array(DISTANCES_KM) * np.sin(phi),
                                        np.array(DISTANCES_KM) * np.cos(phi), depth=0)
    # pyprop8's frame is x east, y north, z up.
    tensors = np.array([[[myy, mxy, -myz], [mxy, mxx, -mxz], [-myz, -mxz, mzz]]
                        for mxx, myy, mzz, mxy, mxz, myz in MECHANISMS.values()])
    source = pyprop8.PointSource(0.0, 0.0, DEPTHS_KM[depth_index], tensors,
                                 np.zeros((len(tensors), 3, 1)), 0.0)
    # pyprop8 transforms with e^{+i omega t}: its spectrum at conj(omega) is the conjugate
    # of ours at omega; its transverse is counter-clockwise and its unit of moment 1e18
    # N m with displacement in km.
    theirs = np.conj(pyprop8.compute_spectra(
        model, source, receivers, np.conj(omega), show_progress=False,
        stencil_kwargs={"kmin": 0.0, "kmax": 10.0, "nk": 5000})) * 1e-15
    for m, (name, tensor) in enumerate(MECHANISMS.items()):
        for d, (distance, azimuth) in enumerate(zip(DISTANCES_KM, AZIMUTHS_DEG)):
            radial, transverse, up = (step_spectra(theirs[m, d, c], sampling) for c in range(3))
            peer = east_north_up(table, up, radial, -transverse, azimuth)
            ours = table.displacement(tensor, depth_index, [distance], [azimuth])[0]
            assert misfit(ours, peer) < PYPROP8_MISFIT, (name, distance)


@pytest.mark.parametrize("depth_index", range(len(DEPTHS_KM)))
def test_waveforms_with_attenuation_match_pygrt(tmp_path, depth_index):
    pygrt = pytest.importorskip("pygrt")
    obspy = pytest.importorskip("obspy")
    depth = DEPTHS_KM[depth_index]
    table = greens_table(crust(Q), [depth], DISTANCES_KM, PEER_BAND)
    sampling = Sampling.of(table.crust, table.band, table.distances_km)
    omega = 2 * np.pi * sampling.frequencies_hz() + 1j * sampling.damping_per_s
    thickness = np.diff(LAYERS[0])
    rows = zip((*thickness, 0.0), *LAYERS[1:], *Q)
    (tmp_path / "model.txt").write_text("".join(" ".join(f"{v:g}" for v in row) + "\n" for row in rows))
    model = pygrt.PyModel1D(grn=str(tmp_path / "grn"), modelpath=str(tmp_path / "model.txt"))
    dt, samples = 0.125, 1024  # 128 s, long enough for the motion to have ended
    model.greenfn(depsrc=depth, deprcv=0.0, dists=list(DISTANCES_KM), nt=samples, dt=dt,
                  keepAllFreq=True, freqband=(-1.0, greens.REFERENCE_FREQUENCY_HZ), print_log=False)
    times = np.arange(samples) * dt
    for name, (mxx, myy, mzz, mxy, mxz, myz) in MECHANISMS.items():
        for distance, azimuth in zip(DISTANCES_KM, AZIMUTHS_DEG):
            out = tmp_path / f"{name}-{distance:g}"
            # pygrt-kit: (Mxx, Mxy, Mxz, Myy, Myz, Mzz) north, east, down in dyne cm (1e7
            # for 1 N m); displacement in cm for an impulse of moment, ZNE.
            model.syn(depsrc=depth, deprcv=0.0, dist=distance, azimuth=azimuth, output_path=str(out),
                      scale=1e7, moment_tensor=(mxx, mxy, mxz, myy, myz, mzz), zne=True)
            traces = {channel: obspy.read(str(out / f"{channel}.sac"))[0].data.astype(np.float64) / 100
                      for channel in "ENZ"}
            # Their seismograms' spectra at our complex frequencies, then our band and step.
            kernel = np.exp(1j * np.outer(omega, times)) * dt
            peer = np.stack([table.seismograms(step_spectra(kernel @ traces[c], sampling)) for c in "ENZ"])
            ours = table.displacement((mxx, myy, mzz, mxy, mxz, myz), 0, [distance], [azimuth])[0]
            velocity_misfit = misfit(np.diff(ours), np.diff(peer))
            assert velocity_misfit < PYGRT_VELOCITY_MISFIT, (name, distance)


def whole_space_spectra(omega, tensor, offset_ned, vp, vs, rho):
    """Displacement spectra (north, east, down; m per N m) in a whole space for an
    impulse of moment, from Aki and Richards (2002, eq. 4.29) generalised to any moment
    tensor: near-field, intermediate P and S and far-field P and S terms."""
    r = np.linalg.norm(offset_ned)
    g = np.asarray(offset_ned) / r
    m = np.array([[tensor[0], tensor[3], tensor[4]], [tensor[3], tensor[1], tensor[5]],
                  [tensor[4], tensor[5], tensor[2]]])
    gmg = g @ m @ g
    mg = m @ g
    trace = np.trace(m)
    near = 15 * g * gmg - 3 * g * trace - 6 * mg
    inter_p = 6 * g * gmg - g * trace - 2 * mg
    inter_s = -(6 * g * gmg - g * trace - 3 * mg)
    far_p = g * gmg
    far_s = -(g * gmg - mg)
    vp, vs, rho = vp * 1e3, vs * 1e3, rho * 1e3
    r_m = r * 1e3
    tp, ts = r_m / vp, r_m / vs
    w = omega[None, :]

    def tau_integral(t):  # the antiderivative of tau e^{i w tau}
        return np.exp(1j * w * t) * (t / (1j * w) + 1 / w**2)

    total = (near[:, None] / r_m**4 * (tau_integral(ts) - tau_integral(tp))
             + inter_p[:, None] / (vp**2 * r_m**2) * np.exp(1j * w * tp)
             + inter_s[:, None] / (vs**2 * r_m**2) * np.exp(1j * w * ts)
             + far_p[:, None] / (vp**3 * r_m) * (-1j * w) * np.exp(1j * w * tp)
             + far_s[:, None] / (vs**3 * r_m) * (-1j * w) * np.exp(1j * w * ts))
    return total / (4 * np.pi * rho)


@pytest.mark.parametrize("name", list(MECHANISMS))
def test_buried_receivers_see_the_whole_space_before_the_surface_reflection(name):
    # A source 40 km deep, receivers 30 km deep and 10 km away: the free surface's first
    # reflection (pP) arrives after 11.7 s, the direct S by 4.1 s.
    vp, vs, rho = 6.0, 3.5, 2.7
    band = Band(max_frequency_hz=1.0, duration_s=40.0)
    model = LayeredModel((0.0,), (vp,), (vs,), (rho,), qp=(ELASTIC,), qs=(ELASTIC,))
    table = greens_table(model, [40.0], [10.0], band, receiver_depth_km=30.0)
    sampling = Sampling.of(model, band, table.distances_km)
    omega = 2 * np.pi * sampling.frequencies_hz() + 1j * sampling.damping_per_s
    tensor = MECHANISMS[name]
    azimuth = 35.0
    phi = math.radians(azimuth)
    offset = (10.0 * math.cos(phi), 10.0 * math.sin(phi), -10.0)
    north, east, down = whole_space_spectra(omega, tensor, offset, vp, vs, rho)
    exact = np.stack([table.seismograms(step_spectra(values, sampling)) for values in (east, north, -down)])
    ours = table.displacement(tensor, 0, [10.0], [azimuth])[0]
    before = table.times_s < 9.5  # the band's roll-off reaches back about 2 s
    assert misfit(ours[:, before], exact[:, before]) < WHOLE_SPACE_MISFIT


def strike_dip_rake_tensor(strike, dip, rake):
    """Aki and Richards (2002, Box 4.4), x north, y east, z down, unit moment."""
    f, d, r = np.radians([strike, dip, rake])
    return (-(np.sin(d) * np.cos(r) * np.sin(2 * f) + np.sin(2 * d) * np.sin(r) * np.sin(f) ** 2),
            np.sin(d) * np.cos(r) * np.sin(2 * f) - np.sin(2 * d) * np.sin(r) * np.cos(f) ** 2,
            np.sin(2 * d) * np.sin(r),
            np.sin(d) * np.cos(r) * np.cos(2 * f) + 0.5 * np.sin(2 * d) * np.sin(r) * np.sin(2 * f),
            -(np.cos(d) * np.cos(r) * np.cos(f) + np.cos(2 * d) * np.sin(r) * np.sin(f)),
            -(np.cos(d) * np.cos(r) * np.sin(f) - np.cos(2 * d) * np.sin(r) * np.cos(f)))


def okada_point(strike, dip, rake, depth, east, north, vp, vs, rho, side=0.05):
    """Okada's static surface displacement (east, north, up; m per N m) of a square
    fault `side` km across centred at `depth`, through cutde's triangles (ordered so
    that their normal points into the hanging wall, /work references sec. 16)."""
    halfspace = pytest.importorskip("cutde.halfspace")
    f, d, r = np.radians([strike, dip, rake])
    along = np.array([np.sin(f), np.cos(f), 0.0])
    down_dip = np.array([np.cos(f) * np.cos(d), -np.sin(f) * np.cos(d), -np.sin(d)])
    normal = np.array([np.sin(d) * np.cos(f), -np.sin(d) * np.sin(f), np.cos(d)])
    centre = np.array([0.0, 0.0, -depth])
    h = side / 2
    corners = [centre + a * h * along + b * h * down_dip for a, b in ((-1, -1), (1, -1), (1, 1), (-1, 1))]
    triangles = []
    for triangle in ([corners[0], corners[1], corners[2]], [corners[0], corners[2], corners[3]]):
        triangle = np.array(triangle)
        if np.dot(np.cross(triangle[1] - triangle[0], triangle[2] - triangle[0]), normal) < 0:
            triangle = triangle[[0, 2, 1]]
        triangles.append(triangle)
    points = np.stack([east, north, np.zeros_like(east)], axis=1)
    poisson = (vp**2 - 2 * vs**2) / (2 * (vp**2 - vs**2))
    unit = halfspace.disp_matrix(points, np.array(triangles), poisson)
    slip = np.array([np.cos(r), np.sin(r), 0.0])
    moment = rho * 1e3 * (vs * 1e3) ** 2 * (side * 1e3) ** 2
    return np.einsum("nimj,j->ni", unit, slip) / moment


@pytest.mark.parametrize("mechanism", [(0.0, 90.0, 0.0), (30.0, 45.0, 90.0), (200.0, 60.0, -30.0)])
def test_last_samples_in_a_half_space_are_okadas_static_offsets(mechanism):
    pytest.importorskip("cutde.halfspace")
    vp, vs, rho, depth = 6.0, 3.5, 2.7, 5.0
    distances = np.array([1.0, 3.0, 6.0, 10.0])
    azimuths = np.array([20.0, 135.0, 250.0, 320.0])
    model = LayeredModel((0.0,), (vp,), (vs,), (rho,), qp=(ELASTIC,), qs=(ELASTIC,))
    table = greens_table(model, [depth], distances, Band(max_frequency_hz=1.0, duration_s=60.0))
    ours = table.static_displacement(strike_dip_rake_tensor(*mechanism), 0, distances, azimuths)
    phi = np.radians(azimuths)
    exact = okada_point(*mechanism, depth, distances * np.sin(phi), distances * np.cos(phi), vp, vs, rho)
    error = np.abs(ours - exact).max(axis=1) / np.abs(exact).max(axis=1)
    assert np.all(error < OKADA_RELATIVE), error
