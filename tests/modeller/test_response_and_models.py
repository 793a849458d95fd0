"""RotD50 response spectra against the closed-form response of an oscillator to a harmonic
and against pyrotd; the NGA-West2 models through pygmm against their published check
values; site terms of a crust."""

import math

import numpy as np
import pytest

from kinematic_rupture import gmm, response
from kinematic_rupture.crust import LayeredModel
from kinematic_rupture.rupture_surface import Distances


def harmonic(frequency_hz: float, period_s: float, dt_s: float):
    """sin(2 pi f t) and cos(2 pi f t) under cosine ramps up and down, each 25 of the
    longer of the forcing's and the oscillator's periods: slow enough that the oscillator
    follows without ringing at its own period."""
    ramp_s = 25.0 * max(period_s, 1.0 / frequency_hz)
    t = np.arange(int(5 * ramp_s / dt_s)) * dt_s
    up = np.clip(np.minimum(t, t[-1] - t) / ramp_s, 0.0, 1.0)
    envelope = 0.5 * (1 - np.cos(np.pi * up))
    return (envelope * np.sin(2 * np.pi * frequency_hz * t),
            envelope * np.cos(2 * np.pi * frequency_hz * t))


@pytest.mark.parametrize("period_s, forcing_hz", [(1.0, 1.0), (1.0, 0.6), (2.0, 1.3), (5.0, 0.25)])
def test_rotd50_of_a_harmonic(period_s, forcing_hz):
    """The steady amplitude of the oscillator's displacement under a harmonic a sin(w t) is
    a / sqrt((wn^2 - w^2)^2 + (2 zeta wn w)^2). Under circular motion (sin, cos) every
    angle sees it, so RotD50 is it times wn^2; along one axis, the angle's cosine scales
    it, and RotD50 is the median of |cos| over the angles."""
    dt = 0.01
    wn, w = 2 * np.pi / period_s, 2 * np.pi * forcing_hz
    steady = wn**2 / math.sqrt((wn**2 - w**2) ** 2 + (2 * response.DAMPING * wn * w) ** 2)
    sine, cosine = harmonic(forcing_hz, period_s, dt)
    circular = response.rotd50(sine, cosine, dt, np.array([period_s]))[0]
    assert circular == pytest.approx(steady, rel=0.01)
    one_axis = response.rotd50(sine, np.zeros_like(sine), dt, np.array([period_s]))[0]
    median_cosine = np.percentile(np.abs(np.cos(np.radians(response.ANGLES_DEG))), 50)
    assert one_axis == pytest.approx(steady * median_cosine, rel=0.01)


def test_rotd50_against_pyrotd():
    """Random band-limited records, padded with zeros past the longest period's ring-down
    for pyrotd (which transforms the record as it is)."""
    pyrotd = pytest.importorskip("pyrotd")
    rng = np.random.default_rng(7)
    dt, samples = 0.02, 3000
    records = [np.convolve(rng.normal(size=samples), np.hanning(width), "same") * np.hanning(samples)
               for width in (40, 15)]
    periods = np.array([0.1, 0.3, 1.0, 3.0, 10.0])
    ours = response.rotd50(records[0], records[1], dt, periods)
    padded = [np.concatenate([record, np.zeros(int(12 * periods.max() / dt))]) for record in records]
    theirs = pyrotd.calc_rotated_spec_accels(dt, padded[0], padded[1], 1 / periods, 0.05,
                                             percentiles=[50]).spec_accel
    assert ours == pytest.approx(theirs, rel=3e-3)


def test_periods_for_band():
    assert response.periods_for_band(1.0).tolist() == [1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 7.5, 10.0]
    assert response.periods_for_band(0.25).tolist() == [4.0, 5.0, 7.5, 10.0]


# ---- The NGA-West2 models -------------------------------------------------------------------

# References, section 15: M6.6 strike-slip, Rrup = Rjb = Rx = 20 km, Ztor 0, dip 90, Vs30
# 500 m/s, California, Z1.0 and Z2.5 the models' own defaults: PSA(1 s) in g, its total
# ln standard deviation.
CHECK_VALUES = {"ASK14": (0.1008, 0.682), "BSSA14": (0.1246, 0.692), "CB14": (0.1379, 0.720),
                "CY14": (0.1107, 0.679)}


def test_models_against_their_check_values():
    """With CB14's own defaults for what the check leaves open: width min(sqrt(10^((M -
    4.07) / 0.98)), 15 km / sin(dip)), hypocentre depth exp(min(-4.317 + 0.984 M, 2.325))
    for a vertical fault at Ztor 0 (Campbell and Bozorgnia 2014, as pygmm has them)."""
    pytest.importorskip("pygmm")
    width = min(math.sqrt(10 ** ((6.6 - 4.07) / 0.98)), 15.0)
    event = gmm.Event(magnitude=6.6, rake_deg=180.0, dip_deg=90.0, top_depth_km=0.0,
                      width_km=width, hypocentre_depth_km=math.exp(min(-4.317 + 0.984 * 6.6, 2.325)))
    where = Distances(*(np.array([20.0]) for _ in range(3)), ry0=np.array([0.0]))
    prediction = gmm.predict(event, gmm.Site(500.0, None, None), where, np.array([1.0]))
    for number, name in enumerate(gmm.MODEL_NAMES):
        median, sigma = CHECK_VALUES[name]
        assert prediction.median_g[number, 0, 0] == pytest.approx(median, rel=0.002)
        assert prediction.ln_sigma[number, 0, 0] == pytest.approx(sigma, abs=0.002)


def test_hanging_wall_terms_are_switched_on():
    """A reverse fault dipping 45: the same Rrup and Rjb on the hanging wall (Rx > 0) shake
    harder than on the footwall in ASK14 and CY14, which add that term only when told."""
    pytest.importorskip("pygmm")
    event = gmm.Event(6.6, 90.0, 45.0, 3.0, 15.0, 10.0)
    where = Distances(np.array([10.0, 10.0]), np.array([5.0, 5.0]), np.array([8.0, -8.0]),
                      np.array([0.0, 0.0]))
    prediction = gmm.predict(event, gmm.Site(500.0, None, None), where, np.array([1.0]))
    for name in ("ASK14", "CY14"):
        number = gmm.MODEL_NAMES.index(name)
        assert prediction.median_g[number, 0, 0] > 1.1 * prediction.median_g[number, 1, 0]


def test_site_of_the_mojave_profile():
    """The Broadband Platform's Mojave profile (references, section 17): Vs30 500.9 m/s,
    Z1.0 0.20 km, Z2.5 1.50 km."""
    thickness = [0.01, 0.02, 0.07, 0.10, 0.30, 0.50, 0.50, 0.50, 1.0, 1.0, 1.0, 1.0, 10.0, 5.0, 10.0]
    vs = [0.425, 0.55, 0.65, 0.9, 1.4, 1.9, 2.3, 2.8, 3.0, 3.2, 3.3, 3.5, 3.65, 3.7, 3.8, 4.5]
    tops = np.concatenate([[0.0], np.cumsum(thickness)])
    crust = LayeredModel(tuple(tops), tuple(2.0 * np.array(vs)), tuple(vs), tuple([2.5] * len(vs)))
    site = gmm.site_of(crust)
    assert site.vs30_m_s == pytest.approx(500.9, abs=0.1)
    assert site.z1_km == pytest.approx(0.20)
    assert site.z25_km == pytest.approx(1.50)


@pytest.mark.parametrize("rake, expected", [(0, "SS"), (180, "SS"), (-170, "SS"), (30, "SS"),
                                            (31, "RS"), (90, "RS"), (149, "RS"), (-90, "NS"),
                                            (-31, "NS"), (-150, "SS")])
def test_mechanism(rake, expected):
    assert gmm.mechanism(rake) == expected


def test_models_unavailable_say_what_they_need(monkeypatch):
    monkeypatch.setattr(gmm.metadata, "version", lambda name: "0.9.1")
    with pytest.raises(gmm.GroundMotionModelsUnavailable, match=r"need pygmm 0\.8 .*pygmm 0\.9\.1 has another interface"):
        gmm.pygmm_module()
