"""The memory estimate against what builds take, measured in processes of their own: the
embedding's part against the embeddings made and drawn from, and the whole against the
build's peak, for the default fault and a long thin one.

Peaks are read from /proc/self/status (VmHWM), which a process's exec starts afresh,
unlike getrusage's, which keeps the peak of the process it was forked from."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

pytestmark = pytest.mark.skipif(not Path("/proc/self/clear_refs").exists(),
                                reason="the peaks are read from Linux's /proc")

MEASURE = """
import json, sys

def resident(field):
    for line in open("/proc/self/status"):
        if line.startswith(field + ":"):
            return int(line.split()[1]) * 1024

spec = json.loads(sys.argv[1])
magnitude = spec.pop("magnitude", 7.0)
"""

# The default fault (pads 4 times each count), and a long thin one (pads its 50 rows to
# 200 and its 2000 columns to 8000).
FAULTS = {"default": {}, "long and thin": {"length_km": 200.0, "width_km": 5.0, "cell_km": 0.1,
                                           "magnitude": 7.3}}

EMBEDDINGS = MEASURE + """
from kinematic_rupture import Fault, RuptureSettings
from kinematic_rupture.charts import fault_charts
from kinematic_rupture.rupture import draw_all, memory_need
fault = Fault.single(**spec) if spec else Fault()
settings = RuptureSettings(magnitude=magnitude)
need = memory_need(fault, settings)
charts = fault_charts(fault)
open("/proc/self/clear_refs", "w").write("5")  # the peak from here on
before = resident("VmRSS")
fields, embeddings, _ = draw_all(fault, charts, settings, {})
drawn = sum(values.nbytes for values in vars(fields).values())
print(json.dumps({"estimate": need.embedding_bytes, "taken": resident("VmHWM") - before - drawn}))
"""

BUILD = MEASURE + """
from kinematic_rupture import Fault, RuptureSettings, build_rupture
from kinematic_rupture.rupture import memory_need
fault = Fault.single(**spec) if spec else Fault()
settings = RuptureSettings(magnitude=magnitude)
need = memory_need(fault, settings)
build_rupture(fault, settings)
print(json.dumps({"estimate": need.total, "taken": resident("VmHWM")}))
"""


def measured(script, spec):
    """(estimate, bytes taken) from `script` in a process of its own, computing afresh."""
    environment = dict(os.environ, KINEMATIC_RUPTURE_CACHE="off")
    child = subprocess.run([sys.executable, "-c", script, json.dumps(spec)], capture_output=True,
                           text=True, timeout=300, env=environment)
    assert child.returncode == 0, child.stderr
    found = json.loads(child.stdout)
    return found["estimate"], found["taken"]


@pytest.mark.parametrize("name", FAULTS)
def test_the_embeddings_part_brackets_what_making_and_drawing_them_takes(name):
    estimate, taken = measured(EMBEDDINGS, FAULTS[name])
    assert taken > 50 << 20  # the embedding is large enough to measure
    assert taken <= estimate < 1.5 * taken


@pytest.mark.parametrize("name", FAULTS)
def test_the_estimate_brackets_the_peak_of_the_whole_build(name):
    # Above it by the room the estimate leaves for the interpreter and matplotlib (300 MiB,
    # of which this process takes about 70) and for the pulses' samples.
    estimate, taken = measured(BUILD, FAULTS[name])
    assert taken <= estimate < 5 * taken
