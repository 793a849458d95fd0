"""The reference manual's modules: each lists its public names in `__all__` and has a page
of the API reference; each of those names has numpydoc sections that cover what it takes
and gives; and the examples of the docstrings run as written (doctest), in a directory
of their own."""

import dataclasses
import doctest
import importlib
import inspect
import pkgutil
from pathlib import Path

import pytest

DOCS = Path(__file__).parents[2] / "docs"

# The modules of the API reference, by dotted name under the package.
MODULES = [
    "errors", "geometry", "fault_file", "crust", "rupture", "physics_settings", "kinematics",
    "hypocentre", "random_fields", "field", "scaling", "brune", "grids", "srf",
    "ensemble", "figure", "io", "io.srf_single_block", "io.sw4_hdf5", "io.seissol_nrf",
    "io.specfem_cmt", "io.points_hdf5", "validation", "validation.measure",
    "validation.published", "validation.consistency", "validation.comparison",
    "validation.vonkarman", "validation.suite", "validation.report", "validation.figures",
    "validation.run", "stations", "rupture_surface", "gmm", "response", "ground_motion",
    "seismogram_files", "ground_motion_validation", "ground_motion_report", "greens",
    "shaking", "patches", "charts", "front", "pulses", "moment", "srf_measures", "checks",
    "files", "memory", "sidecar", "provenance", "timing", "shake_figure", "io.common",
    "io.tensor", "io.text", "cli",
]
# Modules whose names another module of the reference gives: their examples run too.
BEHIND = ["srf_reader"]
# Those whose examples must exist: the names a notebook starts from.
WITH_EXAMPLES = {"geometry", "rupture", "grids", "greens", "physics_settings", "kinematics"}


def module(name):
    return importlib.import_module(f"kinematic_rupture.{name}")


def public_modules():
    """Every module of the package but the private ones (a part of the name starting with
    an underscore) and the command's own (those of the cli package, whose public names
    the cli package gives)."""
    import kinematic_rupture
    found = pkgutil.walk_packages(kinematic_rupture.__path__, onerror=lambda name: None)
    names = [info.name for info in found]
    return sorted(name for name in names
                  if not any(part.startswith("_") for part in name.split("."))
                  and not name.startswith("cli."))


def test_the_reference_covers_every_public_module():
    missing = sorted(set(public_modules()) - set(MODULES) - set(BEHIND))
    assert not missing, f"modules without a page of the reference: {missing}"


@pytest.mark.parametrize("name", MODULES + BEHIND)
def test_the_examples_of_the_docstrings_run(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("KINEMATIC_RUPTURE_CACHE", "off")
    failed, tried = doctest.testmod(module(name), optionflags=doctest.ELLIPSIS, report=True)
    assert failed == 0
    assert name not in WITH_EXAMPLES or tried > 0


def pages():
    """The text of every page of the API reference that api.rst lists, by its name."""
    listed = (DOCS / "api.rst").read_text()
    return {path.stem: path.read_text() for path in (DOCS / "api").glob("*.rst")
            if f"api/{path.stem}\n" in listed}


@pytest.mark.parametrize("name", MODULES)
def test_every_module_of_the_reference_lists_its_names_and_has_a_page(name):
    names = getattr(module(name), "__all__", None)
    assert names, f"kinematic_rupture.{name} has no __all__"
    assert all(hasattr(module(name), item) for item in names)
    directive = f".. automodule:: kinematic_rupture.{name}\n"
    assert any(directive in text for text in pages().values()), f"no page shows {name}"


def parameter_names(section):
    """The names a Parameters or Attributes section documents ("a, b : float" is two)."""
    return {part.strip() for item in section for part in item.name.split(",")}


def gaps_of_function(function, label, docs):
    """What a function's docstring leaves out: a parameter, or what it returns."""
    from numpydoc.docscrape import FunctionDoc
    doc = FunctionDoc(function)
    documented = parameter_names(doc["Parameters"])
    gaps = []
    for parameter in list(inspect.signature(function).parameters.values()):
        if parameter.name in ("self", "cls"):
            continue
        shown = {parameter.VAR_POSITIONAL: f"*{parameter.name}",
                 parameter.VAR_KEYWORD: f"**{parameter.name}"}.get(parameter.kind, parameter.name)
        if shown not in documented:
            gaps.append(f"{label}: parameter {shown}")
    returned = inspect.signature(function).return_annotation
    if returned not in (None, "None", inspect.Signature.empty) and not (
            doc["Returns"] or doc["Yields"]):
        gaps.append(f"{label}: no Returns")
    return gaps


def gaps_of(holder, item):
    """What the docstrings of a public name (and a class's public methods) leave out."""
    value = getattr(holder, item)
    label = f"{holder.__name__}.{item}"
    if not (inspect.isclass(value) or inspect.isfunction(value)):
        return []  # data, documented in the manual by its comment
    if not inspect.getdoc(value):
        return [f"{label}: no docstring"]
    if inspect.isfunction(value):
        return gaps_of_function(value, label, inspect.getdoc(value))
    from numpydoc.docscrape import ClassDoc
    doc = ClassDoc(value, config={"show_class_members": False})
    documented = parameter_names(doc["Parameters"]) | parameter_names(doc["Attributes"])
    if dataclasses.is_dataclass(value):
        taken = [field.name for field in dataclasses.fields(value) if field.init]
    elif "__init__" in vars(value) and not getattr(value, "_is_protocol", False):
        taken = [name for name in inspect.signature(value).parameters]
    else:
        taken = []  # an exception of the base's arguments, or a protocol (never made)
    gaps = [f"{label}: field {name}" for name in taken if name not in documented]
    for name, member in vars(value).items():
        if name.startswith("_"):
            continue
        if isinstance(member, property) and not member.__doc__:
            gaps.append(f"{label}.{name}: no docstring")
        elif isinstance(member, (staticmethod, classmethod)) or inspect.isfunction(member):
            function = member.__func__ if isinstance(member, (staticmethod, classmethod)) else member
            if not inspect.getdoc(function):
                gaps.append(f"{label}.{name}: no docstring")
            else:
                gaps += gaps_of_function(function, f"{label}.{name}", inspect.getdoc(function))
    return gaps


@pytest.mark.parametrize("name", MODULES)
def test_every_public_name_documents_what_it_takes_and_gives(name):
    pytest.importorskip("numpydoc")
    holder = module(name)
    gaps = [gap for item in getattr(holder, "__all__", []) for gap in gaps_of(holder, item)]
    assert not gaps, "\n".join(gaps)
