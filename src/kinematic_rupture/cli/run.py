"""`kinematic-rupture run`: builds one rupture and writes its SRF file, its JSON sidecar
and its figure, all complete or none, and prints a summary."""

import argparse
import os
import time
from pathlib import Path
from typing import Any

from .. import figure, sidecar, srf
from .._version import __version__
from ..charts import fault_charts
from ..files import FileSet
from ..geometry import Fault, Plane
from .. import scaling
from ..kinematics import largest_frequency_hz, time_perturbation_amplitude_s
from ..rupture import (Rupture, RuptureSettings, build_rupture, gap_warnings, rise_time_warnings,
                       scaling_warnings)
from ..scaling import moment_magnitude
from . import options
from .failures import Failure, warn
from .options import add_model_options

DEFAULT_SRF = os.path.join("output", "kinematic_rupture.srf")
DEFAULT_FIGURE = os.path.join("output", "kinematic_rupture.png")


def add_parser(commands: Any) -> None:
    """The subcommand `run`, among `commands` (the main parser's subparsers)."""
    parser = commands.add_parser("run", help="build one rupture and write its SRF file, "
                                 "sidecar and figure", description="Builds one kinematic "
                                 "rupture; writes an SRF file, a JSON sidecar of its "
                                 "settings and moment rate, and a PNG figure.")
    add_model_options(parser, hypocentre=True)
    output = parser.add_argument_group("output")
    output.add_argument("--srf", default=DEFAULT_SRF, help=f"SRF file to write (default "
                        f"{DEFAULT_SRF}); the sidecar goes beside it, with .json for .srf")
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
    parser.set_defaults(handler=run)


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
            rupture.write_srf(stream, version, blocks)
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
    asked = time_perturbation_amplitude_s(moment_nm=scaling.moment_nm(settings.magnitude),
                                          perturbation=settings.time_perturbation)
    bounded = (f" ({asked:.3g} s asked; more would outrun the shear-wave speed)"
               if rupture.time_perturbation_s < 0.995 * asked else "")
    return [
        *fault_lines(fault),
        f"crust: {settings.velocity_model.describe()}",
        f"slip field: von Kármán, H = {settings.hurst:g}, correlation {rupture.correlation_km[0]:.3g} km "
        f"along strike and {rupture.correlation_km[1]:.3g} km down dip; drawn on a reference grid "
        f"every {rupture.reference_spacing_km:.3g} km"
        f"{' and the cells' if len(rupture.embedding_shapes) > 1 else ''}, embedded on "
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
        f"{largest_frequency_hz(rupture.rupture_velocity_km_s, cell_km=fault.cell_km):.2g} Hz",
        f"kernels: {kernels}",
    ]


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
