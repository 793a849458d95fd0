"""Every value the modeller cannot use is refused before any work: through the command,
exit status 2 and one line on stderr that names the option, quotes the value as typed and
says what is valid, with no file written or touched; through the API, a ValueError with
the same requirement."""

import json

import pytest

from conftest import SMALL, run_command, run_process, snapshot
from kinematic_rupture import command
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
    (["--cell-km", "0.0001"], "--cell-km 0.0001", "available"),
    (["--lon", "nan"], "--lon nan", "finite"),
    (["--lon", "inf"], "--lon inf", "finite"),
    (["--lon", "east"], "--lon east", "a number"),
    (["--lat", "nan"], "--lat nan", "finite"),
    (["--lat", "91"], "--lat 91", "[-90, 90]"),
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
    (["--magnitude", "20"], "--magnitude 20", "carries at most Mw"),
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
    assert command.main(["run", *SMALL, "--seed", "1", "--srf", str(directory / "r.srf"),
                         "--figure", str(directory / "r.png")]) == 0
    return directory, snapshot(directory)


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
])
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
