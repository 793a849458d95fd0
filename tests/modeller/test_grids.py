"""A rupture's quantities on its planes by name, alike for a rupture just built and for the
SRF file it writes: the grids and their coordinates, the moment rate with its time axis,
the xarray Dataset, and the rupture writing its own file as the command does."""

import io
import sys

import numpy as np
import pytest

from conftest import SMALL
from kinematic_rupture import (QUANTITIES, Fault, RuptureSettings, SettingError, SrfError,
                               build_rupture, cli, parse_srf, read_srf, sidecar)
from kinematic_rupture.geometry import planes_from_trace

# Two segments of different widths (so of different row counts) and lengths, in 0.5 km
# cells; a dipping one, so that depth differs from distance down dip.
TRACE = [(-117.5, 34.2), (-117.545, 34.215), (-117.6, 34.26)]
BENT = Fault(planes_from_trace(TRACE, 0.5, dip_deg=[60.0, 60.0], width_km=[3.0, 2.0]), 0.5)
SHARED = [name for name, quantity in QUANTITIES.items() if quantity.srf]


@pytest.fixture(scope="module")
def bent():
    return build_rupture(BENT, RuptureSettings(magnitude=5.6, seed=3))


def read_back(rupture, version="2.0"):
    stream = io.BytesIO()
    rupture.write_srf(stream, version=version)
    return parse_srf(stream.getvalue().decode())


def test_a_grid_is_the_planes_part_with_its_coordinates(bent):
    fault = bent.fault
    assert [fault.cells(n) for n in range(2)] != [fault.cells(0)] * 2
    for plane in range(2):
        rows, columns = fault.cells(plane)
        slip = bent.grid("slip_m", plane)
        assert slip.values.shape == (rows, columns) and slip.units == "m" and slip.plane == plane
        np.testing.assert_array_equal(slip.values, fault.on_plane(bent.slip_m, plane))
        np.testing.assert_allclose(slip.along_strike_km, 0.25 + 0.5 * np.arange(columns))
        np.testing.assert_allclose(slip.down_dip_km, 0.25 + 0.5 * np.arange(rows))
        np.testing.assert_allclose(slip.depth_km, fault.on_plane(bent.depth_km, plane)[:, 0])
        np.testing.assert_allclose(slip.depth_km, slip.down_dip_km * np.sin(np.radians(60.0)))
        assert slip.start_km == sum(p.length_km for p in fault.planes[:plane])
        np.testing.assert_array_equal(bent.grid("pulse_rise_time_s", plane).values,
                                      fault.on_plane(bent.rise_time_s, plane))
    with pytest.raises(ValueError, match="read-only"):
        bent.grid("slip_m").values[0, 0] = 1.0


@pytest.mark.parametrize("version", ["2.0", "1.0"])
def test_a_file_read_back_gives_the_grids_of_the_rupture_it_was_written_from(bent, version):
    srf = read_back(bent, version)
    assert srf.quantities() == SHARED
    for name in SHARED:
        for plane in range(2):
            built, read = bent.grid(name, plane), srf.grid(name, plane)
            for coordinate in ("along_strike_km", "down_dip_km", "depth_km"):
                np.testing.assert_allclose(getattr(read, coordinate),
                                           getattr(built, coordinate), atol=1e-4)
            if version == "1.0" and name in ("vs_km_s", "density_g_cm3", "rigidity_pa"):
                assert np.isnan(read.values).all()
                continue
            # The file holds six significant digits, and degrees to 1e-6 or 0.01.
            np.testing.assert_allclose(read.values, built.values, rtol=1e-5, atol=0.006,
                                       err_msg=name)
    built, read = bent.moment_rate(), srf.moment_rate()
    assert read.dt_s == built.dt_s and read.time_s.size == built.time_s.size
    np.testing.assert_allclose(read.time_s, np.arange(built.time_s.size) * built.dt_s)
    np.testing.assert_allclose(read.moment_nm, bent.moment_nm, rtol=1e-4 if version == "2.0" else 0.1)


def test_rise_time_is_measured_from_the_samples_alike(bent):
    rise = bent.grid("rise_time_s")
    slipping = bent.grid("slip_m").values > 0
    assert (rise.values[slipping] > 0).all() and (rise.values[~slipping] == 0).all()
    # Smoothed over the front's crossing, a pulse lasts longer than its own rise time.
    assert (rise.values >= bent.grid("pulse_rise_time_s").values - bent.dt_s - 1e-12)[slipping].all()


@pytest.mark.parametrize("source", ["built", "read"])
def test_an_unknown_name_or_plane_is_refused_listing_what_is(bent, source):
    holder = bent if source == "built" else read_back(bent)
    with pytest.raises(SettingError, match=r"name slip: not a quantity of .*; one of slip_m, "
                       r"rake_deg, start_time_s, rise_time_s"):
        holder.grid("slip")
    for plane, shown in ((2, "2"), (-1, "-1"), (0.0, "0"), (True, "true")):
        with pytest.raises(SettingError, match=rf"plane {shown}: must be a plane's number, "
                           rf"from 0 to 1"):
            holder.grid("slip_m", plane)
    if source == "read":
        with pytest.raises(SettingError, match="rupture_time_s: not a quantity of an SRF file"):
            holder.grid("rupture_time_s")


def test_a_file_whose_planes_do_not_match_its_points_is_refused(bent):
    stream = io.BytesIO()
    bent.write_srf(stream, comments=())
    lines = stream.getvalue().decode().splitlines(keepends=True)
    fields = lines[2].split()
    fields[2] = str(int(fields[2]) + 1)  # plane 1 one column longer than its points
    damaged = parse_srf("".join(lines[:2] + [" ".join(fields) + "\n"] + lines[3:]))
    with pytest.raises(SrfError, match="grids need a PLANE block whose cell counts add up"):
        damaged.grid("slip_m")


def test_the_dataset_holds_every_plane_padded_to_the_largest(bent):
    xarray = pytest.importorskip("xarray")
    for holder in (bent, read_back(bent)):
        data = holder.to_xarray()
        assert isinstance(data, xarray.Dataset)
        assert data.slip_m.dims == ("plane", "down_dip", "along_strike")
        assert data.sizes["plane"] == 2
        assert data.sizes["along_strike"] == max(bent.fault.cells(n)[1] for n in range(2))
        for plane in range(2):
            grid = holder.grid("slip_m", plane)
            rows, columns = grid.values.shape
            part = data.slip_m.sel(plane=plane).values
            np.testing.assert_array_equal(part[:rows, :columns], grid.values)
            assert np.isnan(part[rows:, :]).all() and np.isnan(part[:, columns:]).all()
            np.testing.assert_array_equal(data.along_strike.values[:columns], grid.along_strike_km)
            np.testing.assert_array_equal(data.depth_km.sel(plane=plane).values[:rows], grid.depth_km)
        assert data.slip_m.attrs["units"] == "m" and data.along_strike.attrs["units"] == "km"
        assert data.moment_rate_nm_s.dims == ("time",)
        rate = holder.moment_rate()
        np.testing.assert_array_equal(data.time.values, rate.time_s)
        np.testing.assert_array_equal(data.moment_rate_nm_s.values, rate.moment_rate_nm_s)
    built = bent.to_xarray()
    assert set(built.data_vars) > set(read_back(bent).to_xarray().data_vars)
    assert built.attrs["mw"] == bent.mw and int(built.attrs["seed"]) == 3
    dataarray = bent.grid("rake_deg", 1).to_xarray()
    assert dataarray.dims == ("down_dip", "along_strike") and dataarray.attrs["plane"] == 1


def test_planes_of_other_cell_sizes_are_grids_but_no_dataset(bent):
    pytest.importorskip("xarray")
    stream = io.BytesIO()
    bent.write_srf(stream, comments=())
    lines = stream.getvalue().decode().splitlines(keepends=True)
    fields = lines[4].split()  # plane 2: twice as long, its cells twice as long
    fields[4] = f"{2 * float(fields[4]):.4f}"
    srf = parse_srf("".join(lines[:4] + [" ".join(fields) + "\n"] + lines[5:]))
    assert np.diff(srf.grid("slip_m", 1).along_strike_km)[0] == pytest.approx(1.0)
    with pytest.raises(SrfError, match=r"planes of cells of 0\.5, 1 km along strike: one "
                       r"Dataset needs one cell size; grid\(name, plane\) gives each plane"):
        srf.to_xarray()


def test_without_xarray_the_dataset_says_what_to_install(bent, monkeypatch):
    monkeypatch.setitem(sys.modules, "xarray", None)
    for call in (bent.to_xarray, bent.grid("slip_m").to_xarray, bent.moment_rate().to_xarray):
        with pytest.raises(ImportError) as refused:
            call()
        assert str(refused.value) == ("to_xarray needs xarray, which is not installed: pip "
                                      "install xarray (or the extra, pip install "
                                      "'kinematic-rupture[xarray]')")


def test_a_rupture_writes_the_file_the_command_writes(tmp_path, capsys):
    status = cli.main(["run", *SMALL, "--seed", "5", "--srf-version", "1.0", "--no-figure",
                       "--srf", str(tmp_path / "run.srf")])
    assert status == 0
    capsys.readouterr()
    stored = sidecar.read_settings(tmp_path / "run.json")
    rupture = build_rupture(stored.fault, stored.settings)
    rupture.write_srf(tmp_path / "library.srf", version="1.0")
    assert (tmp_path / "library.srf").read_bytes() == (tmp_path / "run.srf").read_bytes()
    assert read_srf(tmp_path / "library.srf").comments[1] == "seed 5"


def test_a_rupture_shows_what_it_is(bent):
    assert repr(bent).startswith("Rupture(Mw 5.60 on 2 planes, ")
    assert repr(read_back(bent)) == "SrfFile(SRF 2.0, 2 planes, 110 points, 3 comment lines)"
    assert repr(bent.grid("slip_m", 1)).startswith("Grid('slip_m', plane 1: 4 x 14 cells")
