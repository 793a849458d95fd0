"""`kinematic-rupture validate --ground-motion`: the ground-motion validation's options and
its run (kinematic_rupture.ground_motion_validation); plain `validate` goes on to
kinematic_rupture.validation (cli.validate).

Exit status 0 when every scenario passes, 1 when any fails (the report is written either
way), 2 for a value it cannot use; one line saying what is needed without pygmm 0.8.
"""

import argparse
import math
import os
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import IO

from .. import gmm, ground_motion_report, ground_motion_validation, shaking
from ..crust import LayeredModel
from ..files import FileSet
from .failures import Failure
from .options import option_name
from .shake import crust_option

# The report goes into this directory under --output.
SUBDIRECTORY = "ground-motion"
# The fault and rupture options of plain `validate` that the scenarios fix.
FIXED_BY_SCENARIOS = ("length_km", "width_km", "cell_km", "lon", "lat", "strike_deg", "dip_deg",
                      "rake_deg", "top_depth_km", "magnitude", "dt_s", "hurst", "correlation_km",
                      "fault", "trace", "set", "magnitudes")


def add_options(parser: argparse.ArgumentParser) -> None:
    group = parser.add_argument_group(
        "ground motion", "--ground-motion compares the ground motion of ensembles of six "
        "scenarios (strike-slip Mw 6.0 to 7.5, reverse Mw 6.5 and 7.0) with the NGA-West2 "
        f"models instead, its report in OUTPUT/{SUBDIRECTORY}; --count, --first-seed, --output "
        "and --velocity-model apply")
    group.add_argument("--ground-motion", action="store_true",
                       help="validate ground motion against NGA-West2 (Part B of the Broadband "
                       "Platform's validation)")
    group.add_argument("--max-frequency-hz", default=str(shaking.DEFAULT_MAX_FREQUENCY_HZ),
                       help=f"highest frequency of the Green's functions with --ground-motion "
                       f"(default {shaking.DEFAULT_MAX_FREQUENCY_HZ:g})")


def failure(message: str, status: int = 2) -> Exception:
    return Failure(message, status)


def whole(flag: str, text: str, low: int, high: int) -> int:
    try:
        value = int(text, 10)
    except ValueError:
        value = low - 1
    if not low <= value <= high:
        raise failure(f"{flag} {text}: must be a whole number from {low} to {high}")
    return value


def crust_of(path: str | None) -> LayeredModel:
    return crust_option(path)


def run_ground_motion(arguments: argparse.Namespace) -> None:
    started = time.perf_counter()
    given = [name for name in FIXED_BY_SCENARIOS if getattr(arguments, name, None) not in (None, False)]
    if given:
        raise failure(f"{option_name(given[0])}: the ground-motion scenarios fix the fault and "
                      f"the rupture; give none of their options with --ground-motion")
    count = whole("--count", arguments.count, 1, 10_000)
    first = whole("--first-seed", arguments.first_seed, 0, 2**64 - 1 - count)
    try:
        frequency = float(arguments.max_frequency_hz)
    except ValueError:
        frequency = math.nan
    if not (math.isfinite(frequency) and 0 < frequency <= 5.0):
        raise failure(f"--max-frequency-hz {arguments.max_frequency_hz}: must be a number of Hz "
                      f"in (0, 5]")
    crust = crust_of(arguments.velocity_model)
    if Path(arguments.output).exists() and not Path(arguments.output).is_dir():
        raise failure(f"--output {arguments.output}: is not a directory")
    output = Path(arguments.output) / SUBDIRECTORY
    where = next((path for path in (output.absolute(), *output.absolute().parents) if path.exists()),
                 Path("/"))
    if not os.access(where, os.W_OK | os.X_OK):
        raise failure(f"--output {output}: cannot write in {where}")
    try:
        gmm.pygmm_module()
    except gmm.GroundMotionModelsUnavailable as missing:
        raise failure(str(missing), 1) from None
    seeds = range(first, first + count)
    results = []
    for scenario in ground_motion_validation.SCENARIOS:
        result = ground_motion_validation.run_scenario(scenario, crust, seeds, frequency,
                                                       shaking.table_for, progress)
        results.append(result)
        print(summary_line(result), flush=True)
    site = gmm.site_of(crust)
    command = (f"kinematic-rupture validate --ground-motion --count {count} --first-seed {first} "
               f"--max-frequency-hz {frequency:g}"
               + (f" --velocity-model {arguments.velocity_model}" if arguments.velocity_model else ""))
    text = ground_motion_report.report_text(results, site, crust.describe(), frequency, command,
                                            time.perf_counter() - started)
    write_report(output, text, results)
    failed = [result.scenario.key for result in results if not result.passes()]
    print(f"{len(results) - len(failed)} of {len(results)} scenarios pass over {count} "
          f"rupture{'s' if count > 1 else ''} each ({(time.perf_counter() - started) / 60:.1f} minutes); report: "
          f"{output / ground_motion_report.REPORT}")
    if failed:
        raise failure(f"{len(failed)} of {len(results)} scenarios failed ({', '.join(failed)}); "
                      f"see {output / ground_motion_report.REPORT}", 1)


def write_report(output: Path, text: str,
                 results: list[ground_motion_validation.ScenarioResult]) -> None:
    output.mkdir(parents=True, exist_ok=True)
    with FileSet() as files:
        with files.open(output / ground_motion_report.REPORT, "w") as stream:
            stream.write(text)
        files.write_with(output / "biases.png",
                         lambda out: ground_motion_report.draw_biases(out, results))
        for result in results:
            files.write_with(output / f"{result.scenario.key}.png", scenario_figure(result))
        files.commit()


def scenario_figure(result: ground_motion_validation.ScenarioResult) -> Callable[[IO[bytes]], None]:
    return lambda out: ground_motion_report.draw_scenario(out, result)


def progress(line: str) -> None:
    if sys.stderr.isatty():
        print(f"\r{line}", end="", file=sys.stderr, flush=True)


def summary_line(result: ground_motion_validation.ScenarioResult) -> str:
    checked = result.checked()
    mean_bias = result.mean_bias()[checked]
    bias = result.bias()[checked]
    return (f"{'PASS' if result.passes() else 'FAIL'}  {result.scenario.key} "
            f"({result.scenario.describe()}): mean bias from {mean_bias.min():+.2f} to "
            f"{mean_bias.max():+.2f}, bins from {bias.min():+.2f} to {bias.max():+.2f}; "
            f"{result.patches:,} patches, {result.seconds:.0f} s")
