"""The validation's measuring code against cases whose answers are known: SRF text written
here by hand (not by the package's writer), with a uniform or a circular front, pulses of
known length, and a moment rate that can be summed on paper."""

import math

import numpy as np
import pytest

from kinematic_rupture import brune
from kinematic_rupture.srf import SrfError
from kinematic_rupture.validation import measure


def srf_text(times, rows, slip_cm=100.0, rake=180.0, planes=None, cell_km=0.5, vs=3.5e5,
             density=2.7, dt=0.1, shyp=0.0, dhyp=None):
    """An SRF 2.0 file of one plane (or `planes`, a list of (nstk, ndip, shyp)) whose
    points have the rupture times `times` (a grid, rows down dip), every point's samples
    `rows(k)` (cm/s) and its slip the samples' sum times DT."""
    ndip, nstk = times.shape
    length, width = nstk * cell_km, ndip * cell_km
    dhyp = width / 2 if dhyp is None else dhyp
    lines = ["2.0", "# made by hand", f"PLANE {len(planes) if planes else 1}"]
    for nstk_k, ndip_k, shyp_k in planes or [(nstk, ndip, shyp)]:
        lines += [f"-117.0 34.0 {nstk_k} {ndip_k} {nstk_k * cell_km:.4f} {ndip_k * cell_km:.4f}",
                  f"0.0 90.0 0.0 {shyp_k:.4f} {dhyp:.4f}"]
    total = sum(a * b for a, b, _ in planes) if planes else nstk * ndip
    lines.append(f"POINTS {total}")
    area = (cell_km * 1e5) ** 2
    flat = times.ravel()
    for k in range(total):
        samples = rows(k)
        slip = float(np.sum(samples)) * dt
        depth = (k // nstk + 0.5) * cell_km
        lines.append(f"-117.0 34.0 {depth:.4f} 0.0 90.0 {area:.6e} {flat[k % flat.size]:.6f} "
                     f"{dt:.6e} {vs:.6e} {density:.6e}")
        lines.append(f"{rake:.2f} {slip:.6e} {len(samples)} 0.0 0 0.0 0")
        for first in range(0, len(samples), 6):
            lines.append(" ".join(f"{value:.6e}" for value in samples[first:first + 6]))
    return "\n".join(lines) + "\n"


def boxcar(count, level=100.0, padding=1):
    return [0.0] * padding + [level] * count + [0.0] * padding


GRID = (20, 40)  # 10 km x 20 km in 0.5 km cells


def planar_front(speed, angle_deg=30.0, cell=0.5):
    rows, columns = GRID
    x = (np.arange(columns) + 0.5) * cell
    z = (np.arange(rows) + 0.5) * cell
    direction = math.radians(angle_deg)
    return (np.cos(direction) * x[None, :] + np.sin(direction) * z[:, None]) / speed


@pytest.mark.parametrize("speed, angle", [(2.8, 0.0), (2.8, 30.0), (3.3, 75.0)])
def test_a_uniform_front_is_measured_at_its_own_speed_on_blocks_and_cells(speed, angle):
    written = measure.written_text(srf_text(planar_front(speed, angle), lambda k: boxcar(5),
                                            shyp=-9.9, dhyp=0.2))
    local = measure.block_values(written)
    assert local.speed_ratio.size > 10
    assert np.allclose(local.speed_ratio * 3.5, speed, rtol=1e-5)  # TINIT has 6 decimals
    cells = measure.cell_speed_ratios(written)
    assert np.allclose(cells * 3.5, speed, rtol=1e-5)


def test_a_circular_front_is_measured_at_its_speed_away_from_the_hypocentre():
    rows, columns = GRID
    x = (np.arange(columns) + 0.5) * 0.5
    z = (np.arange(rows) + 0.5) * 0.5
    times = np.hypot(x[None, :] - 7.0, z[:, None] - 5.0) / 3.0
    written = measure.written_text(srf_text(times, lambda k: boxcar(5), shyp=-3.0, dhyp=5.0))
    local = measure.block_values(written)
    # Blocks within 1.5 blocks (3 km) of the hypocentre are left out; the rest see a front
    # curved across them, measured within a few per cent.
    assert local.speed_ratio.size == pytest.approx(50 - 6, abs=3)
    assert np.allclose(local.speed_ratio * 3.5, 3.0, rtol=0.05)
    cells = measure.cell_speed_ratios(written)
    assert np.median(cells * 3.5) == pytest.approx(3.0, rel=0.01)
    assert np.mean(cells > 1.0) == 0.0


def test_rise_time_is_the_span_of_non_zero_samples_and_the_peak_the_largest():
    lengths = [3, 7, 12]

    def rows(k):
        count = lengths[k % 3]
        samples = boxcar(count, level=50.0 + k, padding=2)
        samples[3] = 0.0 if count > 4 else samples[3]  # a zero inside the pulse still counts
        return samples

    written = measure.written_text(srf_text(np.zeros(GRID), rows))
    rise = written.every("rise_s")
    expected = np.array([lengths[k % 3] * 0.1 for k in range(rise.size)])
    assert np.allclose(rise, expected)
    assert np.allclose(written.every("peak_rate_m_s"), (50.0 + np.arange(rise.size)) / 100.0)


def test_the_moment_rate_is_every_pulse_from_its_start_times_rigidity_and_area():
    times = np.zeros(GRID)
    times[:, 20:] = 1.0  # half the fault starts a second later
    written = measure.written_text(srf_text(times, lambda k: boxcar(10, padding=0)))
    rigidity = 2.7e3 * 3.5e3**2
    area = 500.0**2
    half = GRID[0] * GRID[1] / 2 * rigidity * area * 1.0  # N m/s from each half, 1 m/s
    expected = np.zeros(written.moment_rate_nm_s.size)
    expected[0:10] += half
    expected[10:20] += half
    assert np.allclose(written.moment_rate_nm_s[:expected.size], expected, rtol=1e-5)
    assert written.moment_nm == pytest.approx(2 * half * 1.0, rel=1e-5)
    assert float(written.moment_rate_nm_s.sum()) * 0.1 == pytest.approx(written.moment_nm, rel=1e-5)


def test_the_hypocentre_comes_from_the_plane_whose_shyp_lies_on_it():
    # 10 km planes and a hypocentre 12 km along the fault: 7 km from the first's centre,
    # beyond its half length, and -3 km from the second's.
    planes = [(20, 20, 7.0), (20, 20, -3.0)]
    times = np.zeros((20, 40))
    written = measure.written_text(srf_text(times, lambda k: boxcar(3), planes=planes, dhyp=4.0))
    assert written.hypocentre == (1, pytest.approx(2.0), pytest.approx(4.0))
    assert [plane.start_km for plane in written.planes] == [0.0, 10.0]


def test_a_file_without_shear_speeds_or_a_plane_block_cannot_be_measured():
    text = srf_text(np.zeros(GRID), lambda k: boxcar(3))
    with pytest.raises(SrfError, match="VS and DEN"):
        measure.written_text(text.replace("3.500000e+05 2.700000e+00", "0 0"))
    without_plane = "\n".join(line for number, line in enumerate(text.splitlines())
                              if number not in (2, 3, 4))
    with pytest.raises(SrfError, match="PLANE block"):
        measure.written_text(without_plane)


@pytest.mark.parametrize("rakes, expected, spread", [((179.0, -179.0), 180.0, 1.0),
                                                     ((80.0, 100.0), 90.0, 10.0),
                                                     ((-10.0, 20.0), 5.0, 15.0)])
def test_the_mean_rake_is_the_circular_slip_weighted_mean(rakes, expected, spread):
    text = srf_text(np.zeros(GRID), lambda k: boxcar(3))
    lines = text.splitlines()
    count = 0
    for number, line in enumerate(lines):
        if line.startswith("180.00 "):
            lines[number] = f"{rakes[count % 2]:.2f}" + line[6:]
            count += 1
    written = measure.written_text("\n".join(lines) + "\n")
    mean = measure.mean_rake_deg(written)
    assert (mean - expected + 180.0) % 360.0 - 180.0 == pytest.approx(0.0, abs=1e-6)
    assert measure.rake_spread_deg(written) == pytest.approx(spread, rel=1e-3)


def test_the_hypocentre_slip_share_is_its_block_over_the_largest_block():
    def rows(k):
        column = k % GRID[1]
        return boxcar(4, level=200.0 if column >= 30 else 50.0)

    # Blocks of a fifth of the 10 km width, 2 km: the largest block is all 200, the
    # hypocentre's at 5 km along is all 50.
    written = measure.written_text(srf_text(np.zeros(GRID), rows, shyp=-5.0, dhyp=5.0))
    assert measure.hypocentre_slip_fraction(written) == pytest.approx(0.25)


def exact_band_levels(written_times, rows, weight, dt, band_hz):
    """Each third-octave band's rms of |sum over rows and samples of weight s e^(-i w t)|,
    every sample an impulse at its own time: the spectrum of the rows as written."""
    levels = []
    for centre in band_hz:
        frequency = np.linspace(centre * 2 ** (-1 / 6), centre * 2 ** (1 / 6), 400)
        total = np.zeros(frequency.size, complex)
        for start, samples in zip(written_times, rows):
            at = start + dt * np.arange(samples.size)
            total += weight * dt * (samples[None, :] * np.exp(
                -2j * np.pi * frequency[:, None] * at[None, :])).sum(axis=1)
        levels.append(math.sqrt(float(np.mean(np.abs(total) ** 2))))
    return np.array(levels)


def test_the_spectrum_is_the_rows_own_where_they_start_between_samples():
    # Rows starting between the file's sample times, shared between the nearer two on that
    # grid, folded their spectrum above the Nyquist frequency back below it: a floor above
    # the true level where the rows' phases cancel, 2.4 times it at 3.6 Hz on a reverse
    # Mw 6.5 rupture in 0.25 km cells.
    rng = np.random.default_rng(5)
    times = planar_front(2.8, 30.0) + 0.2 * rng.random(GRID)
    levels = 100.0 * (0.5 + rng.random((GRID[0] * GRID[1], 6)))
    text = srf_text(times, lambda k: list(levels[k]), dt=0.1)
    written = measure.written_text(text)
    found = measure.measures(written, seed=0, target_moment_nm=written.moment_nm)
    centres, band_levels = brune.band_average(found.spectrum_hz, found.spectrum_nm,
                                              measure.SPECTRUM_LOWEST_HZ, found.highest_hz)
    band = centres >= 1.0  # bands of many frequencies: their rms is the integral
    rows = [levels[k] / 100.0 for k in range(levels.shape[0])]
    expected = exact_band_levels(times.ravel(), rows, 2.7e3 * 3.5e3**2 * 500.0**2, 0.1,
                                 centres[band])
    np.testing.assert_allclose(band_levels[band], expected, rtol=0.03)
