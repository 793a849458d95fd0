"""A kinematic rupture on an example fault, from slip to moment rate.

A 40 km x 20 km strike-slip fault is charted as a grid of 0.5 km cells. One
circulant-embedding draw gives two independent random fields with an anisotropic
exponential covariance: the first shapes the slip (scaled to a 1.2 m mean), the second
perturbs the rupture velocity. The rupture front leaves a hypocentre and its arrival
times come from the eikonal solver; each cell then slips with a Liu-Archuleta-Hartzell
pulse whose rise time grows with its slip. Summing the delayed pulses gives the
fault's moment-rate function.

    python examples/rupture.py
"""

import numpy as np

import _kernels

LENGTH_KM, WIDTH_KM, CELL_KM = 40.0, 20.0, 0.5
MEAN_SLIP_M = 1.2
CORRELATION_KM = (4.0, 10.0)  # down-dip, along-strike
SHEAR_VELOCITY_KM_S = 3.4
RUPTURE_FRACTION = 0.8  # of the shear velocity
RIGIDITY_PA = 3.3e10
HYPOCENTRE_KM = (14.0, 12.0)  # down-dip, along-strike
DT_S = 0.05
SEED = 20261208


def embedding_amplitudes(cells, spacing, correlation):
    """The amplitude quadrant of an exponential covariance embedded on twice the fault."""
    padded = (2 * cells[0], 2 * cells[1])
    lag_i = np.minimum(np.arange(padded[0]), padded[0] - np.arange(padded[0])) * spacing
    lag_j = np.minimum(np.arange(padded[1]), padded[1] - np.arange(padded[1])) * spacing
    distance = np.hypot(lag_i[:, None] / correlation[0], lag_j[None, :] / correlation[1])
    eigenvalues = np.fft.fft2(np.exp(-distance)).real
    quadrant = np.sqrt(np.clip(eigenvalues, 0.0, None))[: padded[0] // 2 + 1, : padded[1] // 2 + 1]
    return np.ascontiguousarray(quadrant), padded


def edge_taper(cells):
    """Slip fades to zero at the bottom and the two ends, and not at the surface."""
    down = np.sin(np.linspace(0.5 * np.pi, np.pi, cells[0] + 1)[:-1]) ** 0.5
    along = np.sin(np.linspace(0.0, np.pi, cells[1] + 2)[1:-1]) ** 0.5
    return down[:, None] * along[None, :]


def moment_rate(times, offsets, samples, cell_area_m2):
    """Sums every cell's slip rate, delayed by its rupture time, into one time series."""
    starts = np.rint(times.ravel() / DT_S).astype(np.int64)
    lengths = np.diff(offsets)
    owner = np.repeat(np.arange(len(lengths)), lengths)
    step = np.arange(len(samples)) - offsets[owner] + starts[owner]
    rate = np.zeros(step.max() + 1 if len(step) else 1)
    np.add.at(rate, step, samples)
    return rate * RIGIDITY_PA * cell_area_m2


def main():
    cells = (int(WIDTH_KM / CELL_KM), int(LENGTH_KM / CELL_KM))
    amplitudes, padded = embedding_amplitudes(cells, CELL_KM, CORRELATION_KM)
    slip_field, velocity_field = _kernels.circulant_draw(amplitudes, padded, cells, SEED)

    slip = np.exp(0.6 * slip_field) * edge_taper(cells)
    slip *= MEAN_SLIP_M / slip.mean()

    velocity = RUPTURE_FRACTION * SHEAR_VELOCITY_KM_S * (1.0 + 0.08 * velocity_field)
    hypocentre = (round(HYPOCENTRE_KM[0] / CELL_KM), round(HYPOCENTRE_KM[1] / CELL_KM))
    times = _kernels.eikonal_solve(1.0 / velocity, (CELL_KM, CELL_KM), [(*hypocentre, 0.0)])

    rise = 1.2 * np.sqrt(slip / MEAN_SLIP_M) + 0.3
    beta = np.full(slip.size, 0.2)
    offsets, samples = _kernels.synthesise_pulses(slip.ravel(), rise.ravel(), DT_S, beta)

    cell_area = (CELL_KM * 1e3) ** 2
    rate = moment_rate(times, offsets, samples, cell_area)
    moment = RIGIDITY_PA * cell_area * slip.sum()
    magnitude = (2.0 / 3.0) * (np.log10(moment) - 9.1)
    slipping = np.count_nonzero(np.diff(offsets))

    print(f"fault: {LENGTH_KM:g} km x {WIDTH_KM:g} km, {cells[0]} x {cells[1]} cells of {CELL_KM:g} km")
    print(f"slip: mean {slip.mean():.2f} m, largest {slip.max():.2f} m; "
          f"moment {moment:.3g} N m (Mw {magnitude:.2f})")
    print(f"rupture: from ({HYPOCENTRE_KM[0]:g}, {HYPOCENTRE_KM[1]:g}) km, lasts {times.max():.2f} s "
          f"at {velocity.min():.2f} to {velocity.max():.2f} km/s")
    print(f"pulses: {slipping} slipping cells, {len(samples)} samples at dt = {DT_S:g} s, "
          f"rise times {rise.min():.2f} to {rise.max():.2f} s")
    print(f"moment rate: peak {rate.max():.3g} N m/s at {rate.argmax() * DT_S:.2f} s, "
          f"source duration {len(rate) * DT_S:.2f} s; "
          f"integral {rate.sum() * DT_S / moment:.6f} of the moment")


if __name__ == "__main__":
    main()
