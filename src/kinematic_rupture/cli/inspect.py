"""`kinematic-rupture inspect FILE`: reads an SRF file of version 1.0 or 2.0 and prints its
planes, points, moment, duration, slip and rise times; draws it as `run` does with
--figure."""

import argparse
import json
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .. import figure, srf
from ..crust import (GenericCrust, LayeredModel, VelocityModel, rigidity_pa,
                     velocity_model_from_settings)
from ..files import FileSet
from ..scaling import moment_magnitude
from .failures import Failure, warn
from .run import distinct_outputs, writable_destination

FloatArray = npt.NDArray[np.float64]


def add_parser(commands: Any) -> None:
    """The subcommand `inspect`, among `commands` (the main parser's subparsers)."""
    parser = commands.add_parser("inspect", help="read an SRF file and summarise it",
                                 description="Reads an SRF file (1.0 or 2.0) and prints "
                                 "its planes, points, moment, duration, slip and rise times.")
    parser.add_argument("file", metavar="FILE", help="SRF file")
    parser.add_argument("--figure", metavar="PNG", help="also draw it into this PNG file")
    parser.add_argument("--velocity-model", metavar="FILE", help="layered crust for the "
                        "rigidity of points without VS and DEN (version 1.0)")
    parser.set_defaults(handler=inspect)


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
    if srf_file.planes and not srf_file.planes_hold_points:
        lines.append(f"  the PLANE block counts {srf_file.plane_cells:,} cells, not the {len(points):,} points: they "
                     f"are read as points alone (no grids, figure or solver export of its planes)")
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
