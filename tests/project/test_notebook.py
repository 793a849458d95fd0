"""The example notebook runs from its first cell to its last, as a reader would run it,
on a kernel of this interpreter."""

import json
import sys
from pathlib import Path

import pytest

NOTEBOOK = Path(__file__).resolve().parents[2] / "examples" / "notebook.ipynb"


def test_the_example_notebook_runs(tmp_path, monkeypatch):
    nbformat = pytest.importorskip("nbformat")
    nbclient = pytest.importorskip("nbclient")
    pytest.importorskip("ipykernel")
    pytest.importorskip("xarray")
    # A kernel of this very interpreter, whatever kernels the machine has.
    kernel_directory = tmp_path / "kernels" / "kinematic-rupture-test"
    kernel_directory.mkdir(parents=True)
    (kernel_directory / "kernel.json").write_text(json.dumps({
        "argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
        "display_name": "kinematic-rupture tests", "language": "python"}))
    monkeypatch.setenv("JUPYTER_PATH", str(tmp_path))
    monkeypatch.setenv("KINEMATIC_RUPTURE_CACHE", "off")
    notebook = nbformat.read(NOTEBOOK, as_version=4)
    assert all(not cell.get("outputs") for cell in notebook.cells if cell.cell_type == "code")
    nbclient.NotebookClient(notebook, kernel_name="kinematic-rupture-test", timeout=120,
                            resources={"metadata": {"path": str(tmp_path)}}).execute()
    outputs = [cell.outputs for cell in notebook.cells if cell.cell_type == "code"]
    images = sum(1 for cell in outputs for output in cell if "image/png" in output.get("data", {}))
    assert images >= 3
    text = "".join(output.get("text", "") for cell in outputs for output in cell)
    assert "slip_m: largest difference" in text and "seed 2: hypocentre" in text
