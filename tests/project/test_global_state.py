"""Importing the package changes nothing of the interpreter's that belongs to the user:
in an interpreter of its own, every module (the command's too: only running it chooses
a backend) is imported and matplotlib's backend and rcParams, the warnings filters, the
logging handlers and levels, the signal handlers, the environment and NumPy's error and
print settings are what they were before. The libraries the package uses are imported
before the first look, so that what their own imports do (SciPy's special functions add
a warnings filter) is not taken for the package's."""

import ast
import json
import subprocess
import sys
from pathlib import Path

PACKAGE = Path(__file__).parents[2] / "src" / "kinematic_rupture"
# Modules that run the command when imported.
RUNNERS = {"kinematic_rupture.__main__", "kinematic_rupture.cli.__main__"}

STATE = r'''
import json, logging, os, signal, sys, warnings
import matplotlib
import numpy as np


def state():
    params = matplotlib.rcParams
    handlers = {name: [type(h).__name__ for h in logger.handlers
                       if not isinstance(h, logging.NullHandler)]
                for name, logger in [("", logging.root), *logging.root.manager.loggerDict.items()]
                if isinstance(logger, logging.Logger)}
    return {
        # The raw values: reading rcParams["backend"] would resolve the backend itself.
        "rcParams": {key: repr(dict.__getitem__(params, key)) for key in dict.keys(params)},
        "warnings": [repr(f) for f in warnings.filters],
        "handlers": {name: kinds for name, kinds in handlers.items() if kinds},
        "levels": [logging.root.level, logging.root.manager.disable],
        "signals": {s.name: repr(signal.getsignal(s)) for s in signal.valid_signals()
                    if isinstance(s, signal.Signals)},
        "environ": dict(os.environ),
        "numpy": [np.geterr(), repr(np.get_printoptions())],
        "hooks": [repr(sys.excepthook), repr(sys.displayhook)],
    }


def difference(old, new):
    """What changed: of a mapping, the keys whose values differ."""
    if isinstance(old, dict):
        return {key: [old.get(key), new.get(key)] for key in {*old, *new}
                if old.get(key) != new.get(key)}
    return [old, new]


for library in LIBRARIES:
    try:
        __import__(library)
    except ImportError:  # an optional one
        pass
before = state()
for name in NAMES:
    __import__(name)
after = state()
print(json.dumps({key: difference(before[key], after[key]) for key in before
                  if before[key] != after[key]}))
'''


def modules() -> list[str]:
    names = []
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = path.relative_to(PACKAGE.parent).with_suffix("").parts
        names.append(".".join(parts[:-1] if parts[-1] == "__init__" else parts))
    return sorted(set(names) - RUNNERS)


def libraries() -> list[str]:
    """Every module of another package that a module of this one imports."""
    found = set()
    for path in PACKAGE.rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text())):
            if isinstance(node, ast.Import):
                found.update(alias.name for alias in node.names)
            elif isinstance(node, ast.ImportFrom) and not node.level and node.module:
                found.add(node.module)
    return sorted(name for name in found
                  if name.partition(".")[0] not in ("kinematic_rupture", "_kernels"))


def changed_by(names: list[str], path: str = "") -> dict[str, list[object]]:
    code = (f"import sys; sys.path.insert(0, {path!r})\n"
            f"NAMES = {names!r}\nLIBRARIES = {libraries()!r}\n{STATE}")
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=300)
    assert child.returncode == 0, child.stderr
    return json.loads(child.stdout.splitlines()[-1])


def test_importing_every_module_changes_nothing_global():
    names = modules()
    assert "kinematic_rupture.figure" in names and "kinematic_rupture.cli.app" in names
    assert changed_by(names) == {}


def test_the_check_sees_what_an_import_changes(tmp_path):
    (tmp_path / "careless.py").write_text(
        "import logging, os, warnings\nimport matplotlib\nmatplotlib.use('Agg')\n"
        "warnings.simplefilter('ignore')\nlogging.basicConfig()\nos.environ['CARELESS'] = '1'\n")
    changed = changed_by(["careless"], str(tmp_path))
    assert set(changed) == {"rcParams", "warnings", "handlers", "environ"}
    assert set(changed["rcParams"]) >= {"backend"}
