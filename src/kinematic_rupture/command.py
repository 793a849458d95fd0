"""The command `kinematic-rupture`: `run` builds one rupture and writes its files,
`ensemble` builds many on a Dask cluster, `inspect` reads an SRF file, `validate` compares
an ensemble's statistics with published ones (exit status 1 when any comparison fails).

Exit status: 0 when done; 2 for a value it cannot use (one line on stderr naming the
option, quoting the value and saying what is valid; nothing written); 1 when the work
fails (a file that cannot be written, memory that runs out); 130 on Ctrl-C and 143 on
SIGTERM, with every earlier file untouched and no partial one left.
"""

import argparse
import json
import os
import sys
import time
from collections.abc import Sequence
from pathlib import Path
from typing import NoReturn

import numpy as np
import numpy.typing as npt

from . import __version__, figure, options, sidecar, srf
from .checks import SettingError, quote
from .crust import (GenericCrust, LayeredModel, VelocityModel, rigidity_pa,
                    velocity_model_from_settings)
from .files import FileSet, Terminated, end_on_termination, files_renamed
from .charts import fault_charts
from .geometry import Fault, Plane
from .kinematics import largest_frequency_hz, time_perturbation_amplitude_s
from .rupture import (Rupture, RuptureSettings, build_rupture, gap_warnings, scaling_warnings,
                      rise_time_warnings)
from . import scaling
from .scaling import moment_magnitude

FloatArray = npt.NDArray[np.float64]

PROGRAM = "kinematic-rupture"
DEFAULT_SRF = os.path.join("output", "kinematic_rupture.srf")
DEFAULT_FIGURE = os.path.join("output", "kinematic_rupture.png")


class Failure(Exception):
    """The work could not be done: one line for the user, and the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class Parser(argparse.ArgumentParser):
    """An argument parser whose usage errors are one line, like every other refusal."""

    def error(self, message: str) -> NoReturn:
        raise Failure(f"{message} (see {self.prog} --help)", 2)


def refusal(error: SettingError, arguments: argparse.Namespace | None) -> Failure:
    """The refusal in the command's terms: the option's name, and the value as typed. A
    setting the user did not type is blamed on where it came from: the settings file, or
    else the options typed that it does not suit."""
    if error.setting in options.settable() and error.setting not in options.OPTION_OF:
        assigned = [text for text in getattr(arguments, "set", None) or []
                    if text.partition("=")[0] == error.setting]
        if assigned:
            return Failure(f"--set {assigned[-1]}: {error.requirement}", 2)
        settings = getattr(arguments, "settings", None)
        where = f"--settings {settings}: " if settings else ""
        return Failure(f"{where}{error.setting} {quote(error.value)}: {error.requirement}", 2)
    typed = getattr(arguments, error.setting, None) if arguments is not None else None
    if arguments is not None and typed is None and error.setting in options.KINDS:
        if getattr(arguments, "settings", None):
            return Failure(f"--settings {arguments.settings}: {error}", 2)
        given = options.typed_fault_options(arguments)
        if given:
            return Failure(f"{given}: {error.requirement} (with the default "
                           f"{options.option_name(error.setting)} {quote(error.value)})", 2)
    if isinstance(typed, (str, list)):
        error = SettingError(error.setting, " ".join(typed) if isinstance(typed, list) else typed,
                             error.requirement)
    return Failure(error.sentence(options.option_name(error.setting)), 2)


# ---- run ------------------------------------------------------------------------------------


def sidecar_path(srf_path: Path) -> Path:
    return srf_path.with_suffix(".json") if srf_path.suffix == ".srf" else Path(f"{srf_path}.json")


def writable_destination(path: Path, flag: str) -> None:
    """Refuses a path that names a directory or lies in one that cannot be written."""
    if path.is_dir():
        raise Failure(f"{flag} {path}: is a directory; give a file name", 2)
    directory = next((parent for parent in path.absolute().parents if parent.exists()), Path("/"))
    if not directory.is_dir() or not os.access(directory, os.W_OK | os.X_OK):
        raise Failure(f"{flag} {path}: cannot write in {directory}", 2)


def distinct_outputs(outputs: list[tuple[str, str]]) -> None:
    """Refuses two outputs that name the same file (after resolving symbolic links and
    `..`): the later would overwrite the earlier. Each output is (what names it, its path
    as given)."""
    seen: dict[Path, str] = {}
    for name, path in outputs:
        resolved = Path(path).resolve()
        if resolved in seen:
            raise Failure(f"{name} {path}: is the same file as {seen[resolved]}; give "
                          f"{'the figure' if name == '--figure' else 'each output'} a name of "
                          f"its own", 2)
        seen[resolved] = f"{name} {path}" if name.startswith("--") else f"{name}, {path}"


def run_settings(arguments: argparse.Namespace) -> tuple[Fault, RuptureSettings, str, str]:
    """The fault, the settings, the SRF version and its POINTS blocks of a run: the
    options', over the sidecar's of --settings, over the defaults."""
    fault, settings, version, blocks = Fault(), RuptureSettings(), "2.0", "per-plane"
    if arguments.settings is not None:
        stored = sidecar.read_settings(arguments.settings)
        fault, settings = stored.fault, stored.settings
        version, blocks = stored.srf_version or version, stored.srf_blocks or blocks
        if stored.written_by not in (None, __version__):
            warn([f"--settings {arguments.settings}: written by kinematic-rupture "
                  f"{stored.written_by}, not by this {__version__}; the files may differ from "
                  f"that version's"])
    fault, settings = options.fault_and_settings(arguments, fault, settings,
                                                 size_by_magnitude=arguments.settings is None)
    return fault, settings, arguments.srf_version or version, arguments.srf_blocks or blocks


def write_outputs(rupture: Rupture, srf_path: Path, figure_path: Path | None, version: str,
                  blocks: str = "per-plane") -> None:
    """The SRF file, its sidecar and the figure, all complete or none."""
    for path in (srf_path, *([figure_path] if figure_path else [])):
        path.parent.mkdir(parents=True, exist_ok=True)
    with FileSet() as files:
        with files.open(srf_path, "wb") as stream:
            srf.write_srf(stream, rupture, version, sidecar.provenance(rupture), blocks=blocks)
        with files.open(sidecar_path(srf_path), "w") as stream:
            stream.write(sidecar.sidecar_text(rupture, version, blocks))
        if figure_path:
            files.write_with(figure_path, lambda out: figure.draw(out, figure.rupture_view(rupture)))
        files.commit()


def fault_lines(fault: Fault) -> list[str]:
    """The fault: one line for a single plane, a line per plane for several."""
    def plane_line(plane: Plane, rows: int, columns: int) -> str:
        return (f"{plane.length_km:g} km x {plane.width_km:g} km ({columns} x {rows} cells); "
                f"strike {plane.strike_deg:.4g}, dip {plane.dip_deg:g}, rake {plane.rake_deg:g}, "
                f"top edge at {plane.top_depth_km:g} km")

    if len(fault.planes) == 1:
        rows, columns = fault.cells(0)
        return [f"fault: {plane_line(fault.planes[0], rows, columns)}; {fault.cell_km:g} km "
                f"cells, {fault.subfault_count:,} subfaults"]
    charts = fault_charts(fault)
    lines = [f"fault: {len(fault.planes)} planes, {fault.length_km:g} km along strike in "
             f"{fault.cell_km:g} km cells ({fault.subfault_count:,} subfaults), unfolded onto "
             f"{len(charts)} chart{'s' if len(charts) > 1 else ''}"]
    lines += [f"  plane {number + 1}: {plane_line(plane, *fault.cells(number))}"
              for number, plane in enumerate(fault.planes)]
    return lines


def summary(rupture: Rupture) -> list[str]:
    fault, settings = rupture.fault, rupture.settings
    from_rate = float(rupture.moment_rate_nm_s.sum()) * rupture.dt_s
    slip = rupture.slip_m
    padded = ", ".join(f"{columns} x {rows}" for rows, columns in rupture.embedding_shapes)
    clipped = (f"clipped {100 * rupture.clipped_fraction:.3g}% of its eigenvalues "
               f"({100 * rupture.clipped_variance:.2g}% of the variance)"
               if rupture.clipped_fraction else "no eigenvalue clipped")
    kernels = ", ".join(f"{name} {seconds:.3f} s" for name, seconds in rupture.timings_s.items())
    asked = time_perturbation_amplitude_s(scaling.moment_nm(settings.magnitude),
                                          settings.time_perturbation_intercept_s,
                                          settings.time_perturbation_slope)
    bounded = (f" ({asked:.3g} s asked; more would outrun the shear-wave speed)"
               if rupture.time_perturbation_s < 0.995 * asked else "")
    return [
        *fault_lines(fault),
        f"crust: {settings.velocity_model.describe()}",
        f"slip field: von Kármán, H = {settings.hurst:g}, correlation {rupture.correlation_km[0]:.3g} km "
        f"along strike and {rupture.correlation_km[1]:.3g} km down dip; drawn on a reference grid "
        f"every {rupture.reference_spacing_km:.3g} km and the cells, embedded on "
        f"{padded} cells, {clipped}",
        f"moment: {rupture.moment_nm:.4g} N m (Mw {rupture.mw:.2f}) from the slip, "
        f"{from_rate:.4g} N m (Mw {moment_magnitude(from_rate):.2f}) from the moment rate",
        f"slip: mean {slip.mean():.3g} m, largest {slip.max():.3g} m; rise times up to "
        f"{rupture.written_rise_time_s.max():.3g} s",
        f"rupture: from ({rupture.hypocentre_km[0]:.3g}, {rupture.hypocentre_km[1]:.3g}) km, "
        f"duration {rupture.duration_s:.2f} s; rupture times perturbed by "
        f"{rupture.time_perturbation_s:.3g} s per unit of their field{bounded}; "
        f"{len(rupture.samples):,} slip-rate samples "
        f"at dt = {rupture.dt_s:g} s; {fault.cell_km:g} km cells resolve it up to "
        f"{largest_frequency_hz(fault.cell_km, rupture.rupture_velocity_km_s):.2g} Hz",
        f"kernels: {kernels}",
    ]


def warn(lines: list[str]) -> None:
    for line in lines:
        print(f"{PROGRAM}: warning: {line}", file=sys.stderr)


def run(arguments: argparse.Namespace) -> None:
    fault, settings, version, blocks = run_settings(arguments)
    srf_path = Path(arguments.srf)
    figure_path = None if arguments.no_figure else Path(arguments.figure)
    writable_destination(srf_path, "--srf")
    if figure_path:
        writable_destination(figure_path, "--figure")
    distinct_outputs([("--srf", arguments.srf),
                      (f"the sidecar of --srf {arguments.srf}", str(sidecar_path(srf_path))),
                      *([("--figure", arguments.figure)] if figure_path else [])])
    start = time.perf_counter()
    rupture = build_rupture(fault, settings)
    built = time.perf_counter()
    warn(scaling_warnings(fault, settings) + gap_warnings(fault) + rise_time_warnings(rupture))
    write_outputs(rupture, srf_path, figure_path, version, blocks)
    written = time.perf_counter()
    for line in summary(rupture):
        print(line)
    print(f"wrote {srf_path} (SRF {version}), {sidecar_path(srf_path)}"
          f"{f' and {figure_path}' if figure_path else ''} in {written - built:.2f} s; "
          f"the rupture took {built - start:.2f} s")


# ---- inspect --------------------------------------------------------------------------------


def inspect(arguments: argparse.Namespace) -> None:
    path = Path(arguments.file)
    figure_path = Path(arguments.figure) if arguments.figure else None
    if figure_path:
        writable_destination(figure_path, "--figure")
        distinct_outputs([("the file read", arguments.file), ("--figure", arguments.figure)])
    try:
        srf_file = srf.read_srf(path)
    except OSError as failure:
        raise Failure(f"{path}: cannot be read ({failure.strerror})", 2) from None
    except srf.SrfError as failure:
        raise Failure(f"{path}: {failure}", 2) from None
    rigidity, source = srf_rigidity(srf_file, *inspected_crust(path, srf_file,
                                                               arguments.velocity_model))
    for line in inspection(path, srf_file, rigidity, source):
        print(line)
    if figure_path:
        try:
            view = figure.srf_view(srf_file, rigidity, path.name)
        except srf.SrfError as failure:
            raise Failure(f"{path}: {failure}", 2) from None
        figure_path.parent.mkdir(parents=True, exist_ok=True)
        with FileSet() as files:
            files.write_with(figure_path, lambda out: figure.draw(out, view))
            files.commit()
        print(f"drew {figure_path}")


def inspected_crust(path: Path, srf_file: srf.SrfFile,
                    velocity_model: str | None) -> tuple[VelocityModel, str]:
    """The crust of the points without VS and DEN, and its name: --velocity-model's, else
    the one the settings comment of this package's files records, else the generic crust."""
    model: VelocityModel
    if velocity_model:
        model = LayeredModel.from_file_or_name(velocity_model)
        return model, f"the {model.describe()}"
    for number, comment in zip(srf_file.comment_lines, srf_file.comments):
        if comment.startswith("settings {"):
            try:
                recorded = json.loads(comment.removeprefix("settings "))["rupture"]
                model = velocity_model_from_settings(recorded.get("velocity_model"))
            except (ValueError, KeyError, TypeError, AttributeError, RecursionError) as failure:
                warn([f"{path}: line {number}: the crust its settings record cannot be used "
                      f"({failure}); rigidity from the generic crust"])
                break
            return model, f"the {model.describe()} recorded in the file's settings"
    model = GenericCrust()
    return model, f"the {model.describe()}"


def srf_rigidity(srf_file: srf.SrfFile, model: VelocityModel,
                 name: str) -> tuple[FloatArray, str]:
    """Rigidity at every point: from VS and DEN where the file gives them, else from the
    velocity model (called `name`) at the point's depth."""
    points = srf_file.points
    given = srf.srf_rigidity_pa(points)
    known = given > 0
    depth = points.depth_km
    fallback = rigidity_pa(model.shear_speed_km_s(depth), model.density_g_cm3(depth))
    rigidity = fallback.copy()
    rigidity[known] = given[known]
    source = ("VS and DEN of the file" if known.all() else name if not known.any() else
              f"VS and DEN where given, else {name}")
    return rigidity, source


def inspection(path: Path, srf_file: srf.SrfFile, rigidity: FloatArray, source: str) -> list[str]:
    points = srf_file.points
    slip = points.total_slip_cm() / 100.0
    slipping = slip > 0
    rise = points.rise_time_s()
    rise = rise[rise > 0]
    moment = srf.srf_moment_nm(srf_file, rigidity)
    lines = [f"file: {path}, SRF {srf_file.version}, {len(srf_file.comments)} comment line"
             f"{'' if len(srf_file.comments) == 1 else 's'}"]
    lines += [f"  # {comment[:100]}{'...' if len(comment) > 100 else ''}"
              for comment in srf_file.comments[:3]]
    for number, plane in enumerate(srf_file.planes, start=1):
        lines.append(f"plane {number}: top centre {plane.lon:.5f}, {plane.lat:.5f} at "
                     f"{plane.top_depth_km:g} km; strike {plane.strike_deg:g}, dip {plane.dip_deg:g}; "
                     f"{plane.length_km:g} km x {plane.width_km:g} km in {plane.nstk} x {plane.ndip} "
                     f"cells; hypocentre {plane.shyp_km:g} km along strike from the centre, "
                     f"{plane.dhyp_km:g} km down dip")
    blocks = int(points.block.max()) + 1 if len(points) else 0
    lines.append(f"points: {len(points):,} in {blocks} POINTS block{'s' if blocks != 1 else ''}; "
                 f"{int(slipping.sum()):,} slip")
    if moment > 0:
        lines.append(f"moment: {moment:.4g} N m (Mw {moment_magnitude(moment):.2f}), rigidity from "
                     f"{source}")
    else:
        lines.append("moment: 0 N m: no point slips")
    lines.append(f"duration: {srf.srf_duration_s(srf_file):.2f} s")
    if slipping.any():
        lines.append(f"slip: mean {slip[slipping].mean():.3g} m over the points that slip, "
                     f"largest {slip.max():.3g} m")
    if rise.size:
        lines.append(f"rise time (first to last non-zero sample): mean {rise.mean():.3g} s, "
                     f"from {rise.min():.3g} to {rise.max():.3g} s")
    return lines


# ---- The command ------------------------------------------------------------------------------


def parser() -> Parser:
    main = Parser(prog=PROGRAM, description="Kinematic earthquake ruptures: builds them, "
                  "writes them as Standard Rupture Format files, reads them back.")
    main.add_argument("--version", action="version", version=f"{PROGRAM} {__version__}")
    commands = main.add_subparsers(dest="command", required=True, metavar="COMMAND",
                                   parser_class=Parser)

    run_parser = commands.add_parser("run", help="build one rupture and write its SRF file, "
                                     "sidecar and figure", description="Builds one kinematic "
                                     "rupture; writes an SRF file, a JSON sidecar of its "
                                     "settings and moment rate, and a PNG figure.")
    add_model_options(run_parser, hypocentre=True)
    output = run_parser.add_argument_group("output")
    output.add_argument("--srf", default=DEFAULT_SRF, help=f"SRF file to write (default {DEFAULT_SRF}); "
                        "the sidecar goes beside it, with .json for .srf")
    output.add_argument("--srf-version", choices=srf.VERSIONS, default=None,
                        help="SRF version to write (default 2.0)")
    output.add_argument("--srf-blocks", choices=srf.BLOCKS, default=None,
                        help="one POINTS block a plane (default), or one for all planes, "
                        "for readers that read only the first (SW4, instaseis)")
    output.add_argument("--figure", default=DEFAULT_FIGURE, help=f"PNG figure to write "
                        f"(default {DEFAULT_FIGURE})")
    output.add_argument("--no-figure", action="store_true", help="write no figure")
    output.add_argument("--settings", metavar="FILE.json", help="start from the settings of a "
                        "sidecar (options given here override them): the same files again")
    run_parser.set_defaults(handler=run)

    from . import ensemble
    ensemble_parser = commands.add_parser("ensemble", help="build many ruptures of one fault on "
                                          "a Dask cluster", description=ensemble.DESCRIPTION)
    ensemble.add_options(ensemble_parser)
    add_model_options(ensemble_parser, hypocentre=False)
    ensemble_parser.set_defaults(handler=ensemble.run_command)

    from .validation import command as validation
    validate_parser = commands.add_parser("validate", help="build an ensemble and compare its "
                                          "statistics with published ones in a report",
                                          description=validation.DESCRIPTION)
    validation.add_options(validate_parser)
    add_model_options(validate_parser, hypocentre=False)
    from . import ground_motion_command
    ground_motion_command.add_options(validate_parser)
    validate_parser.set_defaults(handler=ground_motion_command.run_validate)

    inspect_parser = commands.add_parser("inspect", help="read an SRF file and summarise it",
                                         description="Reads an SRF file (1.0 or 2.0) and prints "
                                         "its planes, points, moment, duration, slip and rise times.")
    inspect_parser.add_argument("file", metavar="FILE", help="SRF file")
    inspect_parser.add_argument("--figure", metavar="PNG", help="also draw it into this PNG file")
    inspect_parser.add_argument("--velocity-model", metavar="FILE", help="layered crust for the "
                                "rigidity of points without VS and DEN (version 1.0)")
    inspect_parser.set_defaults(handler=inspect)

    from . import export_command
    export_command.add_parser(commands)

    from . import shake_command
    shake_parser = commands.add_parser("shake", help="ground motion at stations from an SRF file",
                                       description=shake_command.DESCRIPTION)
    shake_command.add_options(shake_parser)
    shake_parser.set_defaults(handler=shake_command.run_command)
    return main


def add_model_options(command: argparse.ArgumentParser, hypocentre: bool) -> None:
    fault = command.add_argument_group(
        "fault", "A magnitude given without a length or a width sizes the fault by Leonard's "
        "(2010) scaling; otherwise the fault is 60 km x 20 km.")
    options.add_options(fault, options.FAULT_OPTIONS)
    several = fault.add_mutually_exclusive_group()
    several.add_argument("--fault", metavar="FILE", help="a fault of several planes: a trace "
                         "(text of 'lon lat' lines, or GeoJSON), or a JSON list of planes; "
                         "--dip, --width-km, --top-depth-km and --rake give what it leaves out")
    several.add_argument("--trace", metavar="'LON,LAT LON,LAT ...'", help="a fault of "
                         "several planes along these vertices, quoted as one argument (degrees, "
                         "in order along strike, dipping to the right), with --dip, --width-km, "
                         "--top-depth-km and --rake")
    rupture = command.add_argument_group("rupture")
    options.add_options(rupture, options.RUPTURE_OPTIONS
                        + ((options.SEED_OPTION, options.HYPOCENTRE_OPTION,
                            options.HYPOCENTRE_DISTRIBUTION_OPTION) if hypocentre else ()))
    rupture.add_argument("--set", action="append", metavar="NAME=VALUE",
                         help="any other rupture setting, by its name in the library (repeat "
                         "for several): " + ", ".join(options.settable()))


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command; returns its exit status."""
    end_on_termination()
    command = "kinematic-rupture"
    arguments = None
    renamed_before = files_renamed()
    try:
        arguments = parser().parse_args(argv)
        command = f"{PROGRAM} {arguments.command}"
        arguments.handler(arguments)
        return 0
    except SettingError as error:
        return fail(command, refusal(error, arguments))
    except Failure as failure:
        return fail(command, failure)
    except MemoryError as error:
        return fail(command, Failure(f"ran out of memory{f': {error}' if str(error) else ''}"))
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        return fail(command, Failure(f"{where}{error.strerror or error}"))
    except ValueError as error:  # a kernel's refusal of what the settings led to
        return fail(command, Failure(str(error)))
    except KeyboardInterrupt:
        return fail(command, Failure(f"interrupted; {changed(renamed_before)}", 130))
    except Terminated as signal_name:
        return fail(command, Failure(f"ended by {signal_name}; {changed(renamed_before)}", 143))


def changed(renamed_before: int) -> str:
    """What an interrupted command did to the files: a signal can come after the renames."""
    return "no file was changed" if files_renamed() == renamed_before else "every file written is complete"


def fail(command: str, failure: Failure) -> int:
    print(f"{command}: {failure}", file=sys.stderr)
    return failure.status


def entry_point() -> NoReturn:
    sys.exit(main())
