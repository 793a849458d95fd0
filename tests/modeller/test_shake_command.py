"""`kinematic-rupture shake`: the files ObsPy reads back with the stations' coordinates, the
station codes, the command's refusals and a whole run on a tiny rupture (with pyprop8's
Green's functions standing in for the package's)."""

import csv

import numpy as np
import pytest

import greens_standin as standin
from kinematic_rupture import cli, greens, memory, seismogram_files, shaking
from kinematic_rupture.shaking import Seismograms
from kinematic_rupture.stations import Station

obspy = pytest.importorskip("obspy")

CRUST = "# top vp vs rho\n0.0 4.0 2.2 2.4\n2.0 6.0 3.46 2.7\n"


def synthetic(stations: int, samples: int = 50) -> Seismograms:
    rng = np.random.default_rng(3)
    displacement = rng.normal(size=(stations, 3, samples))
    return Seismograms(displacement, 2 * displacement, 3 * displacement, dt_s=0.1, start_s=-2.0)


def test_files_read_back_with_coordinates(tmp_path):
    stations = [Station("PASA", -118.171, 34.148), Station("S01", -117.9, 33.5)]
    motion = synthetic(len(stations))
    with open(tmp_path / "s.mseed", "wb") as out:
        seismogram_files.write_miniseed(out, stations, motion)
    with open(tmp_path / "s.xml", "wb") as out:
        seismogram_files.write_stationxml(out, stations, motion)
    stream = obspy.read(str(tmp_path / "s.mseed"))
    inventory = obspy.read_inventory(str(tmp_path / "s.xml"))
    assert len(stream) == len(stations) * 9
    for trace in stream:
        number = ["PASA", "S01"].index(trace.stats.station)
        quantity = {"DI": motion.displacement, "VE": motion.velocity, "AC": motion.acceleration}
        axis = "ENZ".index(trace.stats.channel[-1])
        assert trace.stats.channel[:2] == "BX" and trace.stats.delta == pytest.approx(0.1)
        assert np.array_equal(trace.data, quantity[trace.stats.location][number, axis])
        assert trace.stats.starttime == obspy.UTCDateTime(seismogram_files.ORIGIN_TIME) - 2.0
        where = inventory.get_coordinates(trace.id, trace.stats.starttime)
        assert (where["longitude"], where["latitude"]) == pytest.approx(
            (stations[number].lon, stations[number].lat))
    assert inventory[0][0].site.name == "PASA"


@pytest.mark.parametrize("names, codes", [
    (["PASA", "s01"], ["PASA", "S01"]),
    (["PASA", "LONGNAME"], ["S0001", "S0002"]),     # longer than SEED's five characters
    (["ab", "AB"], ["S0001", "S0002"]),             # the same code in capitals
    (["A-1", "B"], ["S0001", "S0002"]),             # not letters and digits
])
def test_station_codes(names, codes):
    assert seismogram_files.station_codes([Station(name, 0.0, 0.0) for name in names]) == codes


@pytest.mark.parametrize("rate, code", [(100.0, "H"), (10.0, "B"), (5.0, "M"), (1.0, "L"), (0.1, "V")])
def test_band_codes(rate, code):
    assert seismogram_files.band_code(rate) == code


@pytest.fixture(scope="module")
def rupture_files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("shake")
    (directory / "crust.txt").write_text(CRUST)
    status = cli.main(["run", "--length-km", "4", "--width-km", "3", "--cell-km", "0.5",
                           "--magnitude", "5.3", "--dip", "50", "--rake", "60",
                           "--top-depth-km", "1", "--velocity-model", str(directory / "crust.txt"),
                           "--srf", str(directory / "tiny.srf"), "--no-figure", "--seed", "3"])
    assert status == 0
    (directory / "stations.txt").write_text(
        "# name lon lat\nNEAR -117.47 34.215\nWEST -117.545 34.21\nFAR -117.40 34.15\n")
    # Across the Earth from the fault, and once more round it in longitude.
    (directory / "antipode.txt").write_text("NEAR -117.47 34.215\nANTI 62.5 -34.2\n")
    (directory / "round.txt").write_text("ROUND 242.53 34.215\nAWAY 330 0\n")
    return directory


REFUSALS = [
    (["--max-frequency-hz", "0"], "--max-frequency-hz 0: must be a positive number of Hz"),
    (["--max-frequency-hz", "nan"], "--max-frequency-hz nan: must be a positive number of Hz"),
    (["--max-frequency-hz", "50"], "--max-frequency-hz 50: must be at most 10 Hz"),
    (["--stations", "absent.txt"], "--stations absent.txt: cannot be read"),
    (["--stations", "crust.txt"], "--stations crust.txt: line 2 must be 'name lon lat'"),
    (["--velocity-model", "stations.txt"], "--velocity-model stations.txt: line 2 must hold four numbers"),
    (["--output", "tiny.srf"], "--output tiny.srf: is not a directory"),
    (["--stations", "antipode.txt"], "--stations antipode.txt: station ANTI lies 20,0"),
    (["--stations", "round.txt"], "--stations round.txt: station AWAY lies 9,"),
]


@pytest.mark.parametrize("extra, message", REFUSALS)
def test_refusals(rupture_files, monkeypatch, capsys, extra, message):
    monkeypatch.chdir(rupture_files)
    status = cli.main(["shake", "tiny.srf", "--velocity-model", "crust.txt", *extra])
    error = capsys.readouterr().err
    assert status == 2
    assert error.startswith(f"kinematic-rupture shake: {message}") and error.count("\n") == 1
    assert not (rupture_files / "shaking").exists()


def test_a_table_the_greens_functions_refuse_is_one_line(rupture_files, monkeypatch, capsys):
    # A window longer than a table may hold (here made short) is refused by greens.Band.
    monkeypatch.chdir(rupture_files)
    monkeypatch.setattr(greens, "MAX_SAMPLES", 10)
    status = cli.main(["shake", "tiny.srf", "--velocity-model", "crust.txt", "--stations", "stations.txt",
                       "--max-frequency-hz", "0.5", "--output", "refused"])
    error = capsys.readouterr().err
    assert status == 2
    assert error.startswith("kinematic-rupture shake: duration_s ") and error.count("\n") == 1
    assert "must be a whole number (at most 10) of samples" in error
    assert not (rupture_files / "refused").exists()


def test_a_table_larger_than_the_memory_left_is_one_line(rupture_files, monkeypatch, capsys):
    monkeypatch.chdir(rupture_files)
    monkeypatch.setattr(memory, "available_bytes", lambda: 1 << 20)
    status = cli.main(["shake", "tiny.srf", "--velocity-model", "crust.txt", "--stations", "stations.txt",
                       "--max-frequency-hz", "0.5", "--output", "too-big"])
    error = capsys.readouterr().err
    assert status == 1 and error.count("\n") == 1
    assert error.startswith("kinematic-rupture shake: ran out of memory: the table of Green's functions needs")
    assert not (rupture_files / "too-big").exists()


@pytest.mark.parametrize("content, message", [
    ("not an SRF\n", "tiny.srf: starts with 'not an SRF', not a version (1.0 or 2.0)"),
    ("", "tiny.srf: is empty"),
])
def test_refuses_what_is_not_a_rupture(tmp_path, monkeypatch, capsys, content, message):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "tiny.srf").write_text(content)
    (tmp_path / "crust.txt").write_text(CRUST)
    assert cli.main(["shake", "tiny.srf", "--velocity-model", "crust.txt"]) == 2
    assert capsys.readouterr().err == f"kinematic-rupture shake: {message}\n"


def test_a_whole_run(rupture_files, monkeypatch, capsys):
    monkeypatch.chdir(rupture_files)
    monkeypatch.setattr(shaking, "table_for", standin.table_for)
    monkeypatch.setattr(shaking, "DISTANCE_STEP_WAVELENGTHS", 0.25)
    status = cli.main(["shake", "tiny.srf", "--velocity-model", "crust.txt", "--stations",
                           "stations.txt", "--max-frequency-hz", "0.5", "--output", "out"])
    printed = capsys.readouterr()
    assert status == 0, printed.err
    assert "stations: 3;" in printed.out
    output = rupture_files / "out"
    assert sorted(path.name for path in output.iterdir()) == [
        "seismograms.mseed", "shake.png", "spectra.csv", "stations.xml"]
    stream = obspy.read(str(output / "seismograms.mseed"))
    inventory = obspy.read_inventory(str(output / "stations.xml"))
    assert {trace.stats.station for trace in stream} == {"NEAR", "WEST", "FAR"}
    assert all(inventory.get_coordinates(trace.id, trace.stats.starttime) for trace in stream)
    with open(output / "spectra.csv") as table:
        rows = list(csv.DictReader(table))
    assert [row["name"] for row in rows] == ["NEAR", "WEST", "FAR"]
    assert list(rows[0])[8:] == [f"psa_{period:g}s_g" for period in (2, 3, 4, 5, 7.5, 10)]
    near, far = (float(rows[k]["pgv_m_s"]) for k in (0, 2))
    assert near > far > 0
    assert (output / "shake.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
