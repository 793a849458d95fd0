"""Every value the modeller cannot use is refused before any work: through the command,
exit status 2 and one line on stderr that names the option, quotes the value as typed and
says what is valid, with no file written or touched; through the API, a ValueError with
the same requirement."""

import json
import os

import pytest
from hypothesis import given, settings, strategies as st

from conftest import SMALL, run_command, run_process, snapshot
from kinematic_rupture import cli
from kinematic_rupture import Fault, Plane, RuptureSettings, SettingError, build_rupture

# (options, the option and value the line must name, a phrase of what is valid)
BAD_VALUES = [
    (["--length-km", "nan"], "--length-km nan", "finite"),
    (["--length-km", "inf"], "--length-km inf", "finite"),
    (["--length-km", "1e400"], "--length-km 1e400", "finite"),
    (["--length-km", "0"], "--length-km 0", "positive"),
    (["--length-km", "-4"], "--length-km -4", "positive"),
    (["--length-km", "four"], "--length-km four", "a number"),
    (["--length-km", "4.2"], "--length-km 4.2", "whole number of 0.5 km cells"),
    (["--width-km", "nan"], "--width-km nan", "finite"),
    (["--width-km", "-2"], "--width-km -2", "positive"),
    (["--width-km", "2.25"], "--width-km 2.25", "whole number of 0.5 km cells"),
    (["--cell-km", "0"], "--cell-km 0", "positive"),
    (["--cell-km", "-0.5"], "--cell-km -0.5", "positive"),
    (["--cell-km", "nan"], "--cell-km nan", "finite"),
    (["--cell-km", "inf"], "--cell-km inf", "finite"),
    (["--cell-km", "0.3"], "--length-km 4", "whole number of 0.3 km cells"),
    (["--cell-km", "1e-300"], "--cell-km 1e-300", "at least 0.001 km"),
    (["--lon", "nan"], "--lon nan", "finite"),
    (["--lon", "inf"], "--lon inf", "finite"),
    (["--lon", "east"], "--lon east", "a number"),
    (["--lat", "nan"], "--lat nan", "finite"),
    (["--lat", "91"], "--lat 91", "[-90, 90]"),
    (["--lon", "1e308"], "--lon 1e308", "a longitude in [-360, 360]"),
    (["--lon", "-361"], "--lon -361", "a longitude in [-360, 360]"),
    (["--lat", "-90.5"], "--lat -90.5", "[-90, 90]"),
    (["--strike", "nan"], "--strike nan", "finite"),
    (["--strike=-inf"], "--strike -inf", "finite"),
    (["--dip", "0"], "--dip 0", "(0, 90]"),
    (["--dip", "95"], "--dip 95", "(0, 90]"),
    (["--dip", "-30"], "--dip -30", "(0, 90]"),
    (["--dip", "nan"], "--dip nan", "finite"),
    (["--rake", "inf"], "--rake inf", "finite"),
    (["--rake", "nan"], "--rake nan", "finite"),
    (["--top-depth-km", "-1"], "--top-depth-km -1", "zero or more"),
    (["--top-depth-km", "inf"], "--top-depth-km inf", "finite"),
    (["--magnitude", "nan"], "--magnitude nan", "finite"),
    (["--magnitude", "inf"], "--magnitude inf", "finite"),
    (["--magnitude", "9.5"], "--magnitude 9.5", "carries at most Mw"),
    (["--magnitude", "20"], "--magnitude 20", "[-2, 10]"),
    (["--magnitude", "400"], "--magnitude 400", "[-2, 10]"),
    (["--magnitude", "-400"], "--magnitude -400", "[-2, 10]"),
    (["--length-km", "1e300"], "--length-km 1e300", "at most 2000 km"),
    (["--width-km", "1e308"], "--width-km 1e308", "at most 500 km"),
    (["--top-depth-km", "1e308"], "--top-depth-km 1e308", "at most 700 km"),
    (["--dt", "1e308"], "--dt 1e308", "at most 10 s"),
    (["--correlation-km", "1e308", "1"], "--correlation-km 1e308 1", "at most 10000 km"),
    (["--set", "time_perturbation_slope=1e308"], "--set time_perturbation_slope=1e308", "[0, 1e-08]"),
    (["--set", "time_perturbation_intercept_s=1e308"], "--set time_perturbation_intercept_s=1e308",
     "[-10, 10]"),
    (["--set", "rise_time_coefficient=1e300"], "--set rise_time_coefficient=1e300", "(0, 1e-07]"),
    (["--set", "shallow_depth_km=1e308"], "--set shallow_depth_km=1e308", "at most 700 km"),
    (["--set", "shallow_transition_km=1e308"], "--set shallow_transition_km=1e308", "at most 700 km"),
    (["--magnitude", "1"], "--magnitude 1", "needs at least Mw"),
    (["--hypocentre", "5", "1"], "--hypocentre 5 1", "on the fault"),
    (["--hypocentre", "-0.1", "1"], "--hypocentre -0.1 1", "on the fault"),
    (["--hypocentre", "2", "2.5"], "--hypocentre 2 2.5", "on the fault"),
    (["--hypocentre", "nan", "1"], "--hypocentre nan 1", "finite"),
    (["--seed", "-1"], "--seed -1", "0 to 18446744073709551615"),
    (["--seed", str(2**64)], f"--seed {2**64}", "0 to 18446744073709551615"),
    (["--seed", "1.5"], "--seed 1.5", "whole number"),
    (["--dt", "0"], "--dt 0", "positive"),
    (["--dt", "-0.05"], "--dt -0.05", "positive"),
    (["--dt", "nan"], "--dt nan", "finite"),
    (["--dt", "inf"], "--dt inf", "finite"),
    (["--dt", "1e-300"], "--dt 1e-300", "available"),
    (["--hurst", "0"], "--hurst 0", "(0, 1]"),
    (["--hurst", "1.5"], "--hurst 1.5", "(0, 1]"),
    (["--hurst", "nan"], "--hurst nan", "finite"),
    (["--correlation-km", "-1", "1"], "--correlation-km -1 1", "positive"),
    (["--correlation-km", "0", "5"], "--correlation-km 0 5", "positive"),
    (["--correlation-km", "inf", "1"], "--correlation-km inf 1", "finite"),
    (["--velocity-model", "no-such-file.txt"], "--velocity-model no-such-file.txt", "cannot be read"),
    (["--settings", "no-such-file.json"], "--settings no-such-file.json", "cannot be read"),
    (["--srf-version", "3.0"], "--srf-version", "choose from"),
    (["--no-such-option"], "--no-such-option", "--help"),
]


@pytest.fixture(scope="module")
def shared_earlier_run(tmp_path_factory):
    """The files of an earlier run, shared by the refusals, none of which may touch them."""
    directory = tmp_path_factory.mktemp("earlier")
    assert cli.main(["run", *SMALL, "--seed", "1", "--srf", str(directory / "r.srf"),
                         "--figure", str(directory / "r.png")]) == 0
    return directory, snapshot(directory)


@pytest.mark.filterwarnings("error::RuntimeWarning")
@pytest.mark.parametrize("options, named, valid", BAD_VALUES, ids=[" ".join(case[0]) for case in BAD_VALUES])
def test_a_bad_value_is_one_line_naming_it_and_nothing_is_touched(options, named, valid,
                                                                   shared_earlier_run, capsys):
    directory, before = shared_earlier_run
    status, out, err = run_command(["run", *SMALL, *options, "--srf", directory / "r.srf",
                                    "--figure", directory / "r.png"], capsys)
    assert status == 2
    assert out == ""
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("kinematic-rupture")
    assert named in lines[0] and valid in lines[0]
    assert snapshot(directory) == before


def test_the_real_command_refuses_without_a_traceback(earlier_run):
    directory, before = earlier_run
    refused = run_process(["run", *SMALL, "--dip", "95", "--srf", directory / "r.srf",
                           "--figure", directory / "r.png"])
    assert refused.returncode == 2
    assert refused.stdout == ""
    assert refused.stderr == "kinematic-rupture run: --dip 95: a dip must be in (0, 90]\n"
    assert snapshot(directory) == before


@pytest.mark.parametrize("content, phrase", [
    ("0 1.8 0.5 2.0\n0.5 3.2\n", "line 2 must hold four numbers"),
    ("0.1 1.8 0.5 2.0\n", "first layer's top is at 0.1 km"),
    ("0 1.8 0.5 2.0\n3 5.8 3.3 2.7\n2 6.0 3.5 2.8\n", "not below the previous one"),
    ("0 1.8 0 2.0\n", "Vs and density must be positive"),
    ("0 1.8 0.5 -2.0\n", "Vs and density must be positive"),
    ("0 0.5 0.5 2.0\n", "at least sqrt(4/3) times Vs"),
    ("0 nan 0.5 2.0\n", "finite"),
    ("# only a comment\n\n", "holds no layer"),
    ("0 1.8 0.5 two\n", "line 1 must hold four numbers"),
    ("0 1.8 1e-200 2.0\n", "Vs 1e-200 km/s must be from 0.05 to 8 km/s"),
    ("0 3e200 3.0 2.7\n", "Vp 3e+200 km/s must be at most 14 km/s"),
    ("0 1.8 0.5 1e-300\n", "density 1e-300 g/cm^3 must be from 1 to 14 g/cm^3"),
    ("0 1.8 0.5 2.0\n1e300 6.0 3.5 2.8\n", "below the centre of the Earth"),
    ("0 6.0 0.1 2.0\n", "Vp/Vs must be at most 30"),
])
@pytest.mark.filterwarnings("error::RuntimeWarning")
def test_a_velocity_model_that_cannot_be_is_refused_naming_its_line(content, phrase, tmp_path,
                                                                   capsys):
    model = tmp_path / "crust.txt"
    model.write_text(content)
    status, _, err = run_command(["run", *SMALL, "--velocity-model", model,
                                  "--srf", tmp_path / "r.srf"], capsys)
    assert status == 2
    assert err.count("\n") == 1
    assert f"--velocity-model {model}: " in err and phrase in err
    assert not (tmp_path / "r.srf").exists()


@pytest.mark.parametrize("typed, named", [
    (["--length-km", "2000", "--width-km", "500", "--cell-km", "1"],
     "--length-km 2000 --width-km 500 --cell-km 1: a fault of 1e+06 km^2 needs at least Mw"),
    (["--length-km", "2", "--width-km", "2", "--cell-km", "1"],
     "--length-km 2 --width-km 2 --cell-km 1: a fault of 4 km^2 carries at most Mw"),
])
def test_a_default_the_user_did_not_type_is_not_blamed(typed, named, tmp_path, capsys):
    """The default magnitude does not suit the fault typed: the line names what was typed."""
    status, _, err = run_command(["run", *typed, "--srf", tmp_path / "r.srf"], capsys)
    assert status == 2 and err.count("\n") == 1
    assert err.startswith(f"kinematic-rupture run: {named}") and "(with the default --magnitude 7)" in err
    assert not any(tmp_path.iterdir())


@pytest.mark.parametrize("document, phrase", [
    ("not json", "is not JSON"),
    ("[1, 2]", "must hold a JSON object"),
    ('{"fault": {}}', "must hold 'fault'"),
    ('{"fault": {"cell_km": 0.5, "planes": [{"dip_deg": 120}]}, "rupture": {}}',
     "dip_deg 120: a dip must be in (0, 90]"),
    ('{"fault": {"cell_km": 0.5, "planes": [{}]}, "rupture": {"colour": 1}}',
     "unknown rupture settings: colour"),
])
def test_a_settings_file_that_cannot_be_is_refused(document, phrase, tmp_path, capsys):
    settings = tmp_path / "settings.json"
    settings.write_text(document)
    status, _, err = run_command(["run", "--settings", settings, "--srf", tmp_path / "r.srf"],
                                 capsys)
    assert status == 2 and err.count("\n") == 1
    assert f"--settings {settings}: " in err and phrase in err


# ---- Hostile fault files and traces -------------------------------------------------------

TRACE = [[-117.5, 34.2], [-117.53, 34.23], [-117.57, 34.25]]


def feature(properties=None, coordinates=TRACE):
    return json.dumps({"type": "Feature", "properties": properties,
                       "geometry": {"type": "LineString", "coordinates": coordinates}})


# (the fault file's content, a phrase of the refusal)
BAD_FAULT_FILES = [
    ('{"type": "LineString"}', "coordinates are null, not a list of positions"),
    ('{"type": "Feature", "properties": {}, "geometry": {"type": "LineString"}}',
     "coordinates are null"),
    ('{"type": "LineString", "coordinates": 5}', "coordinates are 5, not a list"),
    ('{"type": "LineString", "coordinates": [[-117.5], [-117.6]]}',
     "position 1 of the LineString is [-117.5], not [lon, lat]"),
    ('{"type": "LineString", "coordinates": [[-117.5, 34.2], [-117.6, "34"]]}',
     "position 2's latitude is \"34\", not a finite number"),
    ('{"type": "FeatureCollection", "features": {"a": 1}}', "features are {\"a\": 1}, not a list"),
    ('{"type": "FeatureCollection", "features": [5]}', "features are [5], not a list"),
    ('{"type": "Feature", "properties": {}, "geometry": null}', "must be a GeoJSON LineString"),
    (feature({"dip_deg": "45"}), "property dip_deg is \"45\", not a finite number"),
    (feature({"dip_deg": True}), "property dip_deg is true, not a finite number"),
    (feature({"dip_deg": [45, None]}), "property dip_deg is null"),
    (feature({"width_km": None}), "property width_km is null, not a finite number"),
    (feature({"width_km": 1e308}), "width_km 1e+308: must be at most 500 km"),
    (feature([1, 2]), "properties is [1, 2], not an object"),
    (feature({}, [[-117.5, 34.2], [-117.6, 95.0]]), "vertex 2 has latitude 95; a latitude must be in [-90, 90]"),
    ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
    ("[1, 2]", "must hold a JSON object"),
    ('{"a":' * 100_000 + "1" + "}" * 100_000, "nested too deeply"),
    ('{"planes": 5}', "'planes' is 5, not a list of planes"),
    ('{"planes": [5]}', "plane 1 is 5, not an object"),
    ('{"planes": [{"length_km": 4, "lon": -117.5, "lat": 34.2}]}', "plane 1 gives no strike_deg"),
    ('{"planes": [{"length_km": 4, "lon": -117.5, "lat": 34.2, "strike_deg": 0, "colour": 1}]}',
     "plane 1 has unknown keys colour"),
    ('{"planes": [{"length_km": 4, "lon": -117.5, "lat": 34.2, "strike_deg": null}]}',
     "plane 1's strike_deg is null, not a finite number"),
    ('{"planes": [{"length_km": 4, "lon": -117.5, "lat": 134.2, "strike_deg": 0}]}',
     "plane 1: lat 134.2: a latitude must be in [-90, 90]"),
    ('{"cell_km": 0, "planes": [{"length_km": 4, "lon": -117.5, "lat": 34.2, "strike_deg": 0}]}',
     "cell_km is 0; a cell size must be positive"),
    ("cell_km\n-117.5 34.2\n-117.6 34.3\n", "line 1: cell_km needs one value"),
    ("dip_deg\n-117.5 34.2\n-117.6 34.3\n", "line 1: dip_deg needs values"),
    ("width_km 1e308\n-117.5 34.2\n-117.6 34.3\n", "width_km 1e+308: must be at most 500 km"),
    ("-117.5 34.2\n-117.6 95\n", "vertex 2 has latitude 95"),
    ("-117.5 34.2\n-400 34.3\n", "vertex 2 has longitude -400"),
    ("-117.5 34.2\n-117.6 nan\n", "must be a finite number"),
]


@pytest.mark.filterwarnings("error::RuntimeWarning")
@pytest.mark.parametrize("content, phrase", BAD_FAULT_FILES,
                         ids=[f"{number}: {case[0][:50]}" for number, case in enumerate(BAD_FAULT_FILES)])
def test_a_fault_file_that_cannot_be_is_refused_naming_the_file_and_the_value(content, phrase,
                                                                               tmp_path, capsys):
    fault = tmp_path / "fault.json"
    fault.write_text(content)
    status, out, err = run_command(["run", "--fault", fault, "--cell-km", "0.5", "--width-km", "2",
                                    "--magnitude", "5.5", "--srf", tmp_path / "o" / "r.srf"], capsys)
    assert status == 2 and out == "" and err.count("\n") == 1, err
    assert err.startswith(f"kinematic-rupture run: --fault {fault}: ") and phrase in err, err
    assert not (tmp_path / "o").exists()


@pytest.mark.parametrize("trace, phrase", [
    ("-117.5,34.2 -117.6,95", "vertex 2 has latitude 95; a latitude must be in [-90, 90]"),
    ("-117.5,34.2 1e308,34.3", "vertex 2 has longitude 1e+308; a longitude must be in [-360, 360]"),
    ("-117.5,34.2 -117.6,-90.5", "vertex 2 has latitude -90.5"),
    ("-117.5,34.2 -117.6,nan", "must be a finite number"),
    ("-117.5,34.2 inf,34.3", "must be a finite number"),
])
def test_a_trace_beyond_the_earth_is_refused_naming_it(trace, phrase, tmp_path):
    refused = run_process(["run", "--trace", trace, "--cell-km", "0.5", "--width-km", "2",
                           "--magnitude", "5.5", "--srf", tmp_path / "r.srf"])
    assert refused.returncode == 2 and refused.stdout == ""
    assert refused.stderr.count("\n") == 1, refused.stderr
    assert refused.stderr.startswith(f"kinematic-rupture run: --trace {trace}: ")
    assert phrase in refused.stderr


@pytest.mark.parametrize("source", ["/dev/zero", "directory", "huge", "pipe"])
def test_a_fault_or_crust_that_is_not_a_small_regular_file_is_refused_unread(source, tmp_path, capsys):
    path = {"/dev/zero": "/dev/zero", "directory": tmp_path, "huge": tmp_path / "huge.txt",
            "pipe": tmp_path / "pipe"}[source]
    if source == "pipe":
        os.mkfifo(path)
    if source == "huge":
        with open(path, "wb") as stream:
            stream.truncate((16 << 20) + 1)
    for option in ("--fault", "--velocity-model", "--settings"):
        status, _, err = run_command(["run", option, path, "--srf", tmp_path / "r.srf"], capsys)
        assert status == 2 and err.count("\n") == 1, err
        assert err.startswith(f"kinematic-rupture run: {option} {path}: ")
        assert {"/dev/zero": "is not a regular file", "directory": "cannot be read (Is a directory)",
                "huge": "is larger than 16 MiB", "pipe": "is not a regular file"}[source] in err, err


def test_a_planes_file_takes_what_it_leaves_out_from_the_options(tmp_path, capsys):
    fault = tmp_path / "planes.json"
    fault.write_text(json.dumps({"cell_km": 0.5, "planes": [
        {"length_km": 4, "lon": -117.5, "lat": 34.2, "strike_deg": 0},
        {"length_km": 3, "lon": -117.5, "lat": 34.2365, "strike_deg": 10, "dip_deg": 70}]}))
    status, _, err = run_command(["run", "--fault", fault, "--dip", "45", "--width-km", "3",
                                  "--rake", "90", "--magnitude", "5.6", "--no-figure",
                                  "--srf", tmp_path / "r.srf"], capsys)
    assert status == 0, err
    planes = json.loads((tmp_path / "r.json").read_text())["settings"]["fault"]["planes"]
    assert [plane["dip_deg"] for plane in planes] == [45.0, 70.0]
    assert [plane["width_km"] for plane in planes] == [3.0, 3.0]
    assert [plane["rake_deg"] for plane in planes] == [90.0, 90.0]


def test_geojson_properties_may_be_null(tmp_path, capsys):
    fault = tmp_path / "fault.geojson"
    fault.write_text(feature(None))
    status, _, err = run_command(["run", "--fault", fault, "--cell-km", "0.5", "--width-km", "2",
                                  "--magnitude", "5.5", "--no-figure", "--srf", tmp_path / "r.srf"],
                                 capsys)
    assert status == 0, err


# ---- Tampered sidecars ------------------------------------------------------------------------


def tampered(sidecar, change):
    document = json.loads(sidecar.read_text())
    change(document)
    return document


def set_in(path, value):
    def change(document):
        place = document
        for key in path[:-1]:
            place = place[key]
        place[path[-1]] = value
    return change


# (what is changed in the sidecar, a phrase of the refusal)
TAMPERED = [
    (set_in(["settings", "rupture", "magnitude"], 400), "magnitude 400: a moment magnitude must be in [-2, 10]"),
    (set_in(["settings", "fault", "cell_km"], 1e-300), "cell_km 1e-300: must be at least 0.001 km"),
    (set_in(["settings", "rupture", "dt_s"], 1e308), "dt_s 1e+308: must be at most 10 s"),
    (set_in(["srf_version"], "3.0"), 'srf_version "3.0"; it must be one of 1.0, 2.0'),
    (set_in(["srf_blocks"], "two"), 'srf_blocks "two"; it must be one of per-plane, one'),
    (set_in(["settings", "fault", "colour"], 1), "unknown fault settings: colour"),
    (set_in(["settings", "fault", "planes"], []), "cell_km and a list of its planes"),
    (lambda document: document["settings"]["fault"]["planes"][0].update(colour=1),
     "plane 1 of the fault has unknown settings: colour"),
    (set_in(["settings", "fault", "planes", 0, "dip_deg"], "45"), "dip_deg 45: must be a number"),
    (set_in(["settings", "rupture", "velocity_model"], {"top_km": [0], "vp_km_s": ["6"],
                                                        "vs_km_s": [3.5], "rho_g_cm3": [2.7]}),
     "must list the numbers top_km"),
    (set_in(["settings", "rupture", "velocity_model"], {"top_km": [0, 5, 2], "vp_km_s": [6, 6, 6],
                                                        "vs_km_s": [3.5, 3.5, 3.5], "rho_g_cm3": [2.7, 2.7, 2.7]}),
     "not below the previous one"),
    (set_in(["settings", "rupture", "hypocentre_km"], [30, 1]), "hypocentre_km 30 1: a hypocentre must lie on the fault"),
    (set_in(["settings"], [1, 2]), "must hold 'fault'"),
]


@pytest.mark.filterwarnings("error::RuntimeWarning")
@pytest.mark.parametrize("change, phrase", TAMPERED, ids=[case[1][:40] for case in TAMPERED])
def test_a_tampered_sidecar_is_refused_before_any_work(change, phrase, shared_earlier_run, tmp_path,
                                                       capsys):
    directory, _ = shared_earlier_run
    sidecar = tmp_path / "tampered.json"
    sidecar.write_text(json.dumps(tampered(directory / "r.json", change)))
    status, out, err = run_command(["run", "--settings", sidecar, "--srf", tmp_path / "o" / "r.srf"],
                                   capsys)
    assert status == 2 and out == "" and err.count("\n") == 1, err
    assert err.startswith(f"kinematic-rupture run: --settings {sidecar}: ") and phrase in err, err
    assert "--hypocentre" not in err and "--magnitude" not in err
    assert not (tmp_path / "o").exists()


def test_a_sidecar_of_another_version_replays_with_a_warning(shared_earlier_run, tmp_path, capsys):
    directory, _ = shared_earlier_run
    sidecar = tmp_path / "old.json"
    sidecar.write_text(json.dumps(tampered(directory / "r.json", set_in(["kinematic_rupture"], "0.0.1"))))
    status, _, err = run_command(["run", "--settings", sidecar, "--no-figure",
                                  "--srf", tmp_path / "r.srf"], capsys)
    assert status == 0
    warning, = [line for line in err.splitlines() if "written by" in line]
    assert warning.startswith(f"kinematic-rupture: warning: --settings {sidecar}: written by "
                              f"kinematic-rupture 0.0.1, not by this ")
    assert (tmp_path / "r.srf").read_bytes() == (directory / "r.srf").read_bytes()
    status, _, err = run_command(["run", "--settings", directory / "r.json", "--no-figure",
                                  "--srf", tmp_path / "same.srf"], capsys)
    assert status == 0 and "written by" not in err


# ---- The same refusals through the API -------------------------------------------------------


@pytest.mark.parametrize("make, sentence", [
    (lambda: Plane(dip_deg=95.0), "dip_deg 95: a dip must be in (0, 90]"),
    (lambda: Plane(lat=float("nan")), "lat nan: must be a finite number"),
    (lambda: Plane(length_km=-1.0), "length_km -1: must be a positive number of km"),
    (lambda: Fault(cell_km=0.7), "length_km 60: must be a whole number of 0.7 km cells"),
    (lambda: Fault((Plane(), Plane(width_km=20.05))), "planes[1].width_km 20.05: must be a whole number"),
    (lambda: RuptureSettings(hurst=0.0), "hurst 0: a Hurst exponent must be in (0, 1]"),
    (lambda: RuptureSettings(seed=-1), "seed -1: a seed must be a whole number from 0 to"),
    (lambda: RuptureSettings(dt_s=float("inf")), "dt_s inf: must be a finite number"),
    (lambda: RuptureSettings(correlation_km=(1.0, -1.0)), "correlation_km 1 -1: correlation lengths"),
    (lambda: RuptureSettings(beta=0.7), "beta 0.7: a rising fraction must be in (0, 0.5]"),
    (lambda: RuptureSettings(rupture_velocity_min_fraction=0.9, rupture_velocity_max_fraction=0.5),
     "rupture_velocity_max_fraction 0.5: the largest fraction"),
    (lambda: build_rupture(Fault.single(length_km=4, width_km=2, cell_km=0.5),
                           RuptureSettings(magnitude=5.2, hypocentre_km=(5.0, 1.0))),
     "hypocentre_km 5 1: a hypocentre must lie on the fault"),
])
def test_the_api_refuses_with_a_value_error_naming_the_setting(make, sentence):
    with pytest.raises(ValueError) as refused:
        make()
    assert isinstance(refused.value, SettingError)
    assert str(refused.value).startswith(sentence)


@pytest.mark.parametrize("field, value, wrapped", [
    ("strike_deg", 400.0, 40.0), ("strike_deg", -30.0, 330.0), ("lon", 190.0, -170.0),
    ("lon", -180.0, -180.0), ("rake_deg", 270.0, -90.0), ("rake_deg", -180.0, 180.0),
])
def test_angles_are_wrapped_not_refused(field, value, wrapped):
    assert getattr(Plane(**{field: value}), field) == pytest.approx(wrapped)


def test_a_magnitude_far_from_published_scaling_is_built_with_a_warning(tmp_path, capsys):
    status, out, err = run_command(["run", *SMALL, "--magnitude", "6.3", "--no-figure",
                                    "--srf", tmp_path / "r.srf"], capsys)
    assert status == 0 and out
    assert "warning: Mw 6.3" in err and "Leonard (2010)" in err.replace("'s (2010)", " (2010)")
    assert json.loads((tmp_path / "r.json").read_text())["settings"]["rupture"]["magnitude"] == 6.3


KEYS = ["type", "features", "geometry", "coordinates", "properties", "planes", "cell_km",
        "dip_deg", "width_km", "length_km", "lon", "lat", "strike_deg", "rake_deg", "top_depth_km"]
JSON_VALUES = st.recursive(
    st.none() | st.booleans() | st.integers(-10**6, 10**6) | st.floats(allow_nan=False)
    | st.sampled_from(["LineString", "Feature", "45", ""]),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.sampled_from(KEYS), inner, max_size=5),
    max_leaves=12)
POSITIONS = st.lists(st.lists(st.floats(-200, 200) | JSON_VALUES, max_size=3), max_size=4)
LINE_STRINGS = st.fixed_dictionaries({"type": st.just("LineString")},
                                     optional={"coordinates": POSITIONS | JSON_VALUES})
FEATURES = st.fixed_dictionaries({"type": st.just("Feature")}, optional={
    "geometry": LINE_STRINGS | JSON_VALUES,
    "properties": st.dictionaries(st.sampled_from(KEYS), JSON_VALUES, max_size=3) | JSON_VALUES})
FAULT_DOCUMENTS = (LINE_STRINGS | FEATURES
                   | st.fixed_dictionaries({"type": st.just("FeatureCollection")},
                                           optional={"features": st.lists(FEATURES, max_size=2) | JSON_VALUES})
                   | st.fixed_dictionaries({}, optional={
                       "planes": st.lists(st.dictionaries(st.sampled_from(KEYS), JSON_VALUES, max_size=6),
                                          max_size=3) | JSON_VALUES,
                       "cell_km": JSON_VALUES}))


@settings(max_examples=400, deadline=None)
@given(document=FAULT_DOCUMENTS)
def test_any_json_fault_is_planes_or_a_refusal(document):
    """Whatever a JSON fault file holds, it gives planes or a SettingError, nothing else."""
    from kinematic_rupture.fault_file import from_json
    defaults = {"dip_deg": 90.0, "width_km": 2.0, "top_depth_km": 0.0, "rake_deg": 180.0}
    try:
        planes, _ = from_json(document, 0.5, defaults)
    except SettingError:
        return
    assert all(isinstance(plane, Plane) for plane in planes)
