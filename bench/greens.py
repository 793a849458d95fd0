"""The Green's-function table of the reference crust, and its compiled sum against pyprop8.

The table: the shipped Mojave crust (LayeredModel.named("mojave"), Q by Qs = 50 Vs),
sources every 1 km from 0.5 to 19.5 km deep, receivers every 0.5 km from 1 to 150 km,
complete to 1 Hz (rolled off to 1.5 Hz), 120 s every 0.1 s: 20 x 299 x 10 responses.
It must take under 3 minutes on 2 cores (greens.py computes it on every core oneTBB
sees; the cache is off).

The default rupture's table: what `kinematic-rupture shake` builds for the rupture of
`kinematic-rupture run` with its defaults at shake's default stations (the Mojave crust,
the default band; depths, distances and duration as shaking.layout derives them), the
table users wait for. Its shallowest sources, a few tens of metres deep, need tens of
thousands of wavenumbers. The same 3-minute limit, the cache off.

The comparison: the spectra of one source 8 km deep at 4 distances (10, 40, 80 and
150 km), at 8 frequencies spread over the band, on the same wavenumbers (the table's
step, up to its count for that depth and frequency), by the compiled module
(kinematic_rupture._greens.spectra) and by pyprop8's compute_spectra (O'Toole and
Woodhouse 2011), which has no attenuation and runs on one core. Their time per
frequency, times the table's frequencies and depths, says how long pyprop8 would take
for the table.

    python bench/greens.py               # the tables, then the comparison and the ratio
    python bench/greens.py --runs 3

Also measured by bench/report.py through bench/harness.py.
"""

import argparse
import os
import sys

import harness
import numpy as np

KERNEL = "_greens.spectra"
PEER = "pyprop8"
TABLE = "greens_table"
DEFAULT_TABLE = "default_rupture_table"
POOLED = False
SIZE_NAME, SIZE_KEY = "distances", "distances"
DEPTHS_KM = np.arange(0.5, 20.0, 1.0)
DISTANCES_KM = np.arange(1.0, 150.01, 0.5)
SUBSET_DEPTH_KM = 8.0
SUBSET_DISTANCES_KM = (10.0, 40.0, 80.0, 150.0)
SUBSET_FREQUENCIES = 8
ROWS = [(PEER, {"distances": 4})]
WARM_UP = {"distances": 1, "frequencies": 1}
LIMIT_S = 180.0


def crust():
    from kinematic_rupture import LayeredModel

    return LayeredModel.named("mojave")


def band():
    from kinematic_rupture.greens import Band

    return Band(max_frequency_hz=1.0, duration_s=120.0)


def size(distances, frequencies=SUBSET_FREQUENCIES):
    return distances


def describe(distances, frequencies=SUBSET_FREQUENCIES):
    return (f"Mojave crust, a source 8 km deep, {distances} distances to {SUBSET_DISTANCES_KM[distances - 1]:g} km, "
            f"{frequencies} frequencies of the 1 Hz table's band, its wavenumbers")


def subset(distances, frequencies):
    """The subset's inputs: the table's sampling for one depth and a few distances."""
    from kinematic_rupture import greens

    model, chosen = crust(), np.array(SUBSET_DISTANCES_KM[:distances])
    sampling = greens.Sampling.of(model, band(), DISTANCES_KM)  # the full table's steps
    all_frequencies = sampling.frequencies_hz()
    picked = np.linspace(1, len(all_frequencies) - 1, frequencies).astype(int)
    counts = greens.wavenumber_counts(np.asarray(model.top_km), np.asarray(model.vs_km_s),
                                      np.array([SUBSET_DEPTH_KM]), 0.0, all_frequencies,
                                      sampling.wavenumber_step_per_km)[:, picked]
    return model, chosen, sampling, all_frequencies[picked], counts


def default_rupture_layout():
    """The layout `kinematic-rupture shake` makes of the default rupture at its default
    stations (shaking.Layout: the table's depths, distances and sampling)."""
    import subprocess
    import tempfile
    from pathlib import Path

    from kinematic_rupture import shaking
    from kinematic_rupture.cli import shake
    from kinematic_rupture.rupture_surface import surface_of
    from kinematic_rupture.stations import default_stations

    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([sys.executable, "-m", "kinematic_rupture", "run", "--no-figure", "--srf", "rupture.srf"],
                       cwd=folder, check=True, capture_output=True)
        rupture = shake.read_rupture(Path(folder) / "rupture.srf")
        return shaking.layout(rupture, default_stations(surface_of(rupture)), shake.default_crust(),
                              shaking.DEFAULT_MAX_FREQUENCY_HZ)


def setup(method, distances, frequencies=SUBSET_FREQUENCIES):
    os.environ["KINEMATIC_RUPTURE_CACHE"] = "off"
    if method in (TABLE, DEFAULT_TABLE):
        from kinematic_rupture.greens import Band, greens_table

        if distances == WARM_UP["distances"]:  # the harness's warm-up: a small table
            return lambda: greens_table(crust(), DEPTHS_KM[-1:], DISTANCES_KM[:distances], Band(0.25, 20.0))
        if method == TABLE:
            return lambda: greens_table(crust(), DEPTHS_KM, DISTANCES_KM, band())
        place = default_rupture_layout()
        rupture_band = Band(place.max_frequency_hz, place.duration_s, place.dt_s)
        return lambda: greens_table(crust(), place.table_depths_km, place.table_distances_km, rupture_band)
    model, chosen, sampling, picked, counts = subset(distances, frequencies)
    step = sampling.wavenumber_step_per_km
    if method == KERNEL:
        from scipy import special

        from kinematic_rupture import _greens

        k = (np.arange(int(counts.max())) + 0.5) * step
        j0, j1 = special.j0(chosen[:, None] * k), special.j1(chosen[:, None] * k)
        qp, qs = (np.asarray(q) for q in model.quality_factors())

        def ours():
            # One frequency a call: the frequencies picked are not evenly spaced.
            out = np.empty((1, len(chosen), 10, len(picked)), np.complex128)
            for n, frequency in enumerate(picked):
                column = np.empty((1, len(chosen), 10, 1), np.complex128)
                _greens.spectra(np.asarray(model.top_km), np.asarray(model.vp_km_s), np.asarray(model.vs_km_s),
                                np.asarray(model.rho_g_cm3), qp, qs, 1.0, 0.0, np.array([SUBSET_DEPTH_KM]),
                                chosen, frequency, 1, sampling.damping_per_s, step,
                                np.ascontiguousarray(counts[:, n]), j0.ravel(), j1.ravel(),
                                column.view(np.float64).ravel())
                out[..., n] = column[..., 0]
            return out

        return ours
    import pyprop8

    tops = np.append(model.top_km, np.inf)
    layers = [(bottom - top, vp, vs, rho) for top, bottom, vp, vs, rho
              in zip(tops[:-1], tops[1:], model.vp_km_s, model.vs_km_s, model.rho_g_cm3)]
    structure = pyprop8.LayeredStructureModel(layers)
    receivers = pyprop8.ListOfReceivers(chosen, np.zeros_like(chosen), depth=0)
    tensor = np.eye(3)[None]
    source = pyprop8.PointSource(0.0, 0.0, SUBSET_DEPTH_KM, tensor, np.zeros((1, 3, 1)), 0.0)
    omega = 2 * np.pi * picked + 1j * sampling.damping_per_s
    wavenumbers = int(counts.max())

    def theirs():
        return pyprop8.compute_spectra(structure, source, receivers, np.conj(omega), show_progress=False,
                                       stencil_kwargs={"kmin": 0.0, "kmax": wavenumbers * step, "nk": wavenumbers})

    return theirs


def accuracy(method, result, distances, frequencies=SUBSET_FREQUENCIES):
    return {}


def table_frequencies():
    from kinematic_rupture import greens

    return greens.Sampling.of(crust(), band(), DISTANCES_KM).frequencies


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1,
                        help="fresh-process runs of each measurement (default %(default)s)")
    arguments = parser.parse_args()
    print(f"the table: {len(DEPTHS_KM)} depths x {len(DISTANCES_KM)} distances of the Mojave crust, "
          f"{band().describe()}, {arguments.runs} fresh-process run(s)", file=sys.stderr, flush=True)
    (table,) = harness.measure("greens", [(TABLE, {"distances": len(DISTANCES_KM)}, None)], arguments.runs)
    verdict = "within" if table["seconds"] < LIMIT_S else "OVER"
    print(f"table: {table['seconds']:.1f} s on {os.cpu_count()} cores ({verdict} the {LIMIT_S:g} s limit), "
          f"peak {table['peak_extra_mib']:.0f} MiB beyond the warm process")
    place = default_rupture_layout()
    print(f"the default rupture's table: {len(place.table_depths_km)} depths x {len(place.table_distances_km)} "
          f"distances, {place.duration_s:g} s every {place.dt_s:g} s", file=sys.stderr, flush=True)
    (rupture,) = harness.measure("greens", [(DEFAULT_TABLE, {"distances": len(place.table_distances_km)}, None)],
                                 arguments.runs)
    verdict = "within" if rupture["seconds"] < LIMIT_S else "OVER"
    print(f"default rupture's table: {rupture['seconds']:.1f} s on {os.cpu_count()} cores ({verdict} the "
          f"{LIMIT_S:g} s limit), {rupture['runs'][0]['first_call_processor_seconds']:.0f} s of processor time, "
          f"peak {rupture['peak_extra_mib']:.0f} MiB beyond the warm process")
    problem = {"distances": len(SUBSET_DISTANCES_KM)}
    print(f"the comparison: {describe(**problem)}", file=sys.stderr, flush=True)
    ours, theirs = harness.measure("greens", [(KERNEL, problem, None), (PEER, problem, None)], arguments.runs)
    scale = table_frequencies() * len(DEPTHS_KM) / SUBSET_FREQUENCIES
    print(f"subset: ours {ours['seconds']:.2f} s, pyprop8 {theirs['seconds']:.2f} s: pyprop8 / ours = "
          f"{theirs['seconds'] / ours['seconds']:.1f}; pyprop8 would take about "
          f"{theirs['seconds'] * scale / 60:.0f} min for the table's depths and frequencies at these "
          f"{len(SUBSET_DISTANCES_KM)} distances, the table {table['seconds']:.0f} s for all "
          f"{len(DISTANCES_KM)}, the default rupture's table {rupture['seconds']:.0f} s")


if __name__ == "__main__":
    main()
