"""What a notebook imports from the package's top level: every name of `__all__` is
there, and importing the package brings in neither matplotlib, nor argparse, nor Dask."""

import json
import subprocess
import sys

import pytest

import kinematic_rupture

# What a notebook needs, by where it lives.
NEEDED = {
    "geometry": ["Fault", "Plane", "planes_from_trace"],
    "fault_file": ["read_fault"],
    "rupture": ["RuptureSettings", "build_rupture", "Rupture"],
    "physics_settings": ["SlipSettings", "ShallowZone", "RuptureSpeed", "RiseTime",
                         "TimePerturbation", "Rake"],
    "grids": ["Grid", "MomentRate"],
    "srf": ["read_srf", "SrfFile", "write_srf"],
    "hypocentre": ["draw_hypocentre", "DISTRIBUTIONS"],
    "ensemble": ["Plan", "plan", "local_cluster", "run_ensemble"],
    "io": ["export", "FORMATS"],
    "greens": ["Band", "GreensTable", "greens_table"],
    "crust": ["LayeredModel", "GenericCrust"],
    "errors": ["KinematicRuptureError", "SettingError", "SrfError"],
}


def in_a_fresh_interpreter(code: str) -> dict[str, object]:
    """What `code` prints as JSON, run by an interpreter of its own."""
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=120)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.splitlines()[-1])


@pytest.mark.parametrize("module, names", NEEDED.items())
def test_what_a_notebook_needs_is_at_the_top_level(module, names):
    holder = __import__(f"kinematic_rupture.{module}", fromlist=["_"])
    for name in names:
        assert name in kinematic_rupture.__all__
        assert getattr(kinematic_rupture, name) is getattr(holder, name)


def test_every_name_of_all_is_there_and_the_package_lists_it():
    for name in kinematic_rupture.__all__:
        assert getattr(kinematic_rupture, name) is not None
        assert name in dir(kinematic_rupture)
    with pytest.raises(AttributeError, match="no attribute 'build_ruptures'"):
        kinematic_rupture.build_ruptures  # noqa: B018


def test_importing_the_package_brings_in_no_figure_command_or_cluster():
    heavy = ["matplotlib", "argparse", "dask", "distributed", "kinematic_rupture.cli"]
    loaded = in_a_fresh_interpreter(
        "import json, sys; import kinematic_rupture;"
        f"print(json.dumps([name for name in {heavy!r} if name in sys.modules]))")
    assert loaded == []


def test_the_whole_api_brings_in_no_figure_command_or_cluster():
    # argparse is left out: SciPy's special functions import it.
    heavy = ["matplotlib", "dask", "distributed", "kinematic_rupture.cli"]
    loaded = in_a_fresh_interpreter(
        "import json, sys; from kinematic_rupture import *;"
        f"print(json.dumps([name for name in {heavy!r} if name in sys.modules]))")
    assert loaded == []
