"""The examples of the reference manual's docstrings run as written (doctest), in a
directory of their own."""

import doctest
import importlib

import pytest

# The modules of the API reference.
MODULES = ["errors", "geometry", "fault_file", "crust", "rupture", "grids", "srf", "srf_reader",
           "ensemble", "io", "greens"]


@pytest.mark.parametrize("name", MODULES)
def test_the_examples_of_the_docstrings_run(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("KINEMATIC_RUPTURE_CACHE", "off")
    module = importlib.import_module(f"kinematic_rupture.{name}")
    failed, tried = doctest.testmod(module, optionflags=doctest.ELLIPSIS, report=True)
    assert failed == 0
    assert name not in ("geometry", "rupture", "grids", "greens") or tried > 0
