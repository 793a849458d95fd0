"""The type stub of `_kernels`: installed where editors and mypy look, true to the module's
signatures, and strict enough that mypy catches wrong calls."""

import ast
import inspect
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import _kernels

ROOT = Path(__file__).resolve().parents[2]
SOURCE_STUB = ROOT / "crates" / "kernels" / "_kernels.pyi"
INSTALLED = Path(_kernels.__file__).parent


@pytest.fixture(scope="module")
def mypy_cache(tmp_path_factory):
    return tmp_path_factory.mktemp("mypy-cache")


def run_mypy(cache, *arguments):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--cache-dir", str(cache),
         "--config-file", str(ROOT / "pyproject.toml"), *arguments],
        capture_output=True, text=True, cwd=ROOT, timeout=600)


@pytest.mark.parametrize("place", ["_kernels.pyi", "_kernels-stubs/__init__.pyi"])
def test_the_stub_is_installed_beside_the_module(place):
    assert (INSTALLED / place).read_text() == SOURCE_STUB.read_text()


def stub_functions():
    tree = ast.parse(SOURCE_STUB.read_text())
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def test_the_stub_declares_what_the_module_exports():
    tree = ast.parse(SOURCE_STUB.read_text())
    exported = next(node.value for node in tree.body if isinstance(node, ast.Assign)
                    and node.targets[0].id == "__all__")
    assert ast.literal_eval(exported) == _kernels.__all__
    assert sorted(stub_functions()) == sorted(_kernels.__all__)
    assert not hasattr(_kernels, "PanicException")


@pytest.mark.parametrize("name", _kernels.__all__)
def test_stub_signatures_match_the_module(name):
    stub = stub_functions()[name].args
    actual = inspect.signature(getattr(_kernels, name)).parameters.values()
    assert [argument.arg for argument in stub.args] == [p.name for p in actual]
    assert not stub.posonlyargs and not stub.kwonlyargs and not stub.vararg and not stub.kwarg
    defaults = [ast.literal_eval(d) for d in stub.defaults]
    expected = [p.default for p in actual if p.default is not inspect.Parameter.empty]
    assert defaults == expected


MISUSES = textwrap.dedent("""\
    import numpy as np
    import _kernels

    grid = np.ones((3, 4))
    counts = np.ones((3, 4), dtype=np.int64)
    times = _kernels.eikonal_solve(grid, (1.0, 1.0), [(0, 0, 0.0)])
    offsets, samples = _kernels.synthesise_pulses(np.ones(3), np.ones(3), 0.1)
    real, imaginary = _kernels.circulant_draw(grid, (4, 6), (2, 3), 7)
    reveal_type(times)
    reveal_type(offsets)
    reveal_type(imaginary)
    _kernels.circulant_draw(grid, (4, 6), (2, 3), 7.5)
    _kernels.eikonal_solve(grid, 1.0, [(0, 0, 0.0)])
    _kernels.synthesise_pulses(np.ones(3), np.ones(3), 0.1, betas=None)
    _kernels.eikonal_solve(counts, (1.0, 1.0), [(0, 0, 0.0)])
    """)


def test_mypy_knows_the_signatures_and_result_types(mypy_cache, tmp_path):
    snippet = tmp_path / "misuses.py"
    snippet.write_text(MISUSES)
    checked = run_mypy(mypy_cache, str(snippet))
    report = checked.stdout
    assert checked.returncode == 1, report

    def on_line(number):
        return [line for line in report.splitlines() if line.startswith(f"{snippet}:{number}:")]

    # NumPy 1 spells float64 as floating[_64Bit]; NumPy 2 has a class of its own.
    bits64 = r"numpy\._typing\.(_nbit_base\.)?_64Bit"
    float64 = re.compile(rf"numpy\.dtype\[numpy\.(float64|floating\[{bits64}\])\]")
    int64 = re.compile(rf"numpy\.dtype\[numpy\.signedinteger\[{bits64}\]\]")
    assert any(float64.search(line) for line in on_line(9))
    assert any(int64.search(line) for line in on_line(10))
    assert any(float64.search(line) for line in on_line(11))
    assert any('Argument 4 to "circulant_draw"' in line for line in on_line(12))
    assert any('Argument 2 to "eikonal_solve"' in line for line in on_line(13))
    assert any('Unexpected keyword argument "betas"' in line for line in on_line(14))
    assert any('Argument 1 to "eikonal_solve"' in line for line in on_line(15))
    assert not any(on_line(number) for number in range(1, 9))
