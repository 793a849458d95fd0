"""`kinematic-rupture validate`: its options, and turning them into a validation
(`kinematic_rupture.validation`) and its report."""

import argparse
import os
import sys
from collections.abc import Callable
from pathlib import Path
from typing import Any

from ..checks import SettingError, whole
from ..geometry import Fault
from ..rupture import RuptureSettings, build_warnings
from ..validation import suite
from ..validation.report import REPORT, Validation
from ..validation.run import validate, write_report
from . import ground_motion, options
from .failures import Failure, warn
from .options import add_model_options

DESCRIPTION = ("Builds ensembles of ruptures (one after another, in this process), measures "
               "each from its SRF text, and writes a report comparing them with published "
               "measurements and with their own settings: OUTPUT/report.md and its figures. "
               "With --magnitudes, a strike-slip and a reverse ensemble at each magnitude, "
               "faults sized by Leonard (2010) and placed by Kaklamanos et al. (2011).")
DEFAULT_COUNT = 30
DEFAULT_OUTPUT = "validation"
# Magnitudes a suite takes.
MAGNITUDES = (4.0, 8.5)


def add_parser(commands: Any) -> None:
    """The subcommand `validate`, among `commands` (the main parser's subparsers)."""
    parser = commands.add_parser("validate", help="build an ensemble and compare its "
                                 "statistics with published ones in a report",
                                 description=DESCRIPTION)
    add_options(parser)
    add_model_options(parser, hypocentre=False)
    ground_motion.add_options(parser)
    parser.set_defaults(handler=run_validate)


def run_validate(arguments: argparse.Namespace) -> None:
    """The ground motion with --ground-motion, else the source statistics."""
    if arguments.ground_motion:
        ground_motion.run_ground_motion(arguments)
    else:
        run_command(arguments)


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--count", default=str(DEFAULT_COUNT),
                        help=f"ruptures in each ensemble (default {DEFAULT_COUNT})")
    parser.add_argument("--first-seed", default="1", help="seed of the first rupture (default 1)")
    parser.add_argument("--magnitudes", nargs="+", metavar="MW",
                        help="a suite across these magnitudes, strike-slip and reverse, each "
                        "fault sized and placed by its magnitude (6 to 12 minutes for 5.5 6 6.5 "
                        "7 7.5 7.8 and 30 ruptures each on two cores)")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help=f"directory for {REPORT} and "
                        f"its figures (default {DEFAULT_OUTPUT})")


def whole_option(flag: str, text: str, low: int, high: int, what: str) -> int:
    try:
        return whole(flag, int(text, 10), low, high, what)
    except (ValueError, SettingError):
        raise Failure(f"{flag} {text}: {what} must be a whole number from {low} to {high}", 2) from None


def magnitudes_option(texts: list[str]) -> list[float]:
    values = []
    low, high = MAGNITUDES
    for text in texts:
        try:
            value = float(text)
        except ValueError:
            value = float("nan")
        if not low <= value <= high:
            raise Failure(f"--magnitudes {text}: a magnitude must be a number from {low:g} to "
                          f"{high:g}", 2)
        values.append(value)
    return sorted(set(values))


def scenarios(arguments: argparse.Namespace) -> list[suite.Scenario]:
    fault, base = options.fault_and_settings(arguments, Fault(), RuptureSettings(),
                                             size_by_magnitude=True)
    if not arguments.magnitudes:
        return [suite.single(fault, base)]
    given = [flag for flag in ("length_km", "width_km", "cell_km", "top_depth_km", "dip_deg",
                               "rake_deg", "fault", "trace", "magnitude")
             if getattr(arguments, flag, None) is not None]
    if given:
        raise Failure(f"--magnitudes: sizes, places and orients each fault itself; "
                      f"{options.option_name(given[0])} cannot be given with it", 2)
    return suite.across_magnitudes(magnitudes_option(arguments.magnitudes), base)


def writable_output(output: Path) -> None:
    """Refuses, before any rupture is built, an --output the report cannot go to."""
    if output.exists() and not output.is_dir():
        raise Failure(f"--output {output}: is not a directory", 2)
    where = next((path for path in (output.absolute(), *output.absolute().parents) if path.exists()),
                 Path("/"))
    if not where.is_dir() or not os.access(where, os.W_OK | os.X_OK):
        raise Failure(f"--output {output}: cannot write in {where}", 2)


def progress_line(total: int) -> Callable[[int], None] | None:
    if not sys.stderr.isatty():
        return None
    done = [0]

    def advance(step: int) -> None:
        done[0] += step
        print(f"\r{done[0]} of {total} built", end="\n" if done[0] == total else "",
              file=sys.stderr, flush=True)
    return advance


def summary_lines(validation: Validation) -> list[str]:
    judged = [result for result in validation.results if result.applies]
    lines = [f"{'FAIL' if not result.passed else 'PASS'}  {result.scenario}: {result.statistic}: "
             f"{result.measured_text} (expected {result.expected}; {result.source})"
             for result in judged]
    count = sum(len(ensemble.measures) for ensemble in validation.ensembles)
    lines.append(f"{len(judged) - len(validation.failed)} of {len(judged)} comparisons pass over "
                 f"{count} ruptures in {len(validation.ensembles)} ensemble"
                 f"{'s' if len(validation.ensembles) > 1 else ''} ({validation.seconds:.0f} s)")
    return lines


def run_command(arguments: argparse.Namespace) -> None:
    count = whole_option("--count", arguments.count, 1, 10**6, "a count of ruptures")
    first = whole_option("--first-seed", arguments.first_seed, 0, 2**64 - count, "a seed")
    chosen = scenarios(arguments)
    output = Path(arguments.output)
    writable_output(output)
    for scenario in chosen:
        warn(build_warnings(scenario.fault, scenario.settings))
    seeds = range(first, first + count)
    validation = validate(chosen, seeds, progress_line(count * len(chosen)))
    report = write_report(output, validation)
    for line in summary_lines(validation):
        print(line)
    print(f"report: {report}")
    if validation.failed:
        failed = len(validation.failed)
        raise Failure(f"{failed} comparison{'s' if failed > 1 else ''} failed "
                      f"({', '.join(sorted({r.key for r in validation.failed}))}); see {report}")
