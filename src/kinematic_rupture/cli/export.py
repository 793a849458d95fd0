"""`kinematic-rupture export RUPTURE.srf --to FORMAT`: an SRF file into a file another
wave-propagation code reads as it is (see kinematic_rupture.io). A refusal is one line
naming the option and its value, exit status 2; the output is complete or absent and is
never the file exported from."""

import argparse
import time
from pathlib import Path
from typing import Any

from .. import io, srf
from ..checks import SettingError
from ..crust import LayeredModel
from .failures import Failure
from .run import writable_destination

# Each option of the command: the keyword of the formats' writers it sets.
KEYWORDS = {"srf_version": "version", "comments": "comments", "projection": "projection",
            "deflate": "deflate", "patch_km": "patch_km", "stf_dt": "stf_dt",
            "stf_nstep": "stf_nstep", "stf_prefix": "stf_prefix", "origin": "origin",
            "velocity_model": "velocity_model"}
OPTION_OF = {keyword: f"--{name.replace('_', '-')}" for name, keyword in KEYWORDS.items()}


def add_parser(commands: Any) -> None:
    """The subcommand `export`, among `commands` (the main parser's subparsers)."""
    parser = commands.add_parser(
        "export", help="write an SRF file in a format another code reads (SW4, SeisSol, "
        "SPECFEM3D, instaseis, point-source lists)",
        description="Writes an SRF file's rupture as a file that a wave-propagation code "
        "reads as it is: " + "; ".join(f"{name} for {entry.reader}"
                                       for name, entry in io.FORMATS.items()) + ".")
    parser.add_argument("file", metavar="RUPTURE.srf", help="SRF file (1.0 or 2.0) to export")
    parser.add_argument("--to", required=True, metavar="FORMAT",
                        help=f"the format: {', '.join(io.FORMATS)}")
    parser.add_argument("--output", metavar="PATH", help="file to write (default: beside the "
                        "SRF file, its name with the format's suffix: "
                        + ", ".join(entry.suffix for entry in io.FORMATS.values()) + ")")
    parser.add_argument("--srf-version", choices=srf.VERSIONS, help="srf-single-block, "
                        "sw4-hdf5: the version written (default the file's; instaseis needs 1.0)")
    parser.add_argument("--comments", action="store_true", default=None,
                        help="srf-single-block: keep the file's comment lines (SW4 refuses them)")
    parser.add_argument("--projection", metavar="PROJ", help="seissol-nrf: the mesh's "
                        "projection, a PROJ string or an EPSG code, in metres; +axis=ned and "
                        "the like order the axes")
    parser.add_argument("--deflate", type=int, metavar="LEVEL",
                        help="seissol-nrf: deflate level, 0 to 9 (default 1)")
    parser.add_argument("--patch-km", type=float, metavar="KM", help="specfem-cmt: one source "
                        "a patch of about KM x KM of neighbouring subfaults on one plane")
    parser.add_argument("--stf-dt", type=float, metavar="S", help="specfem-cmt: write external "
                        "source-time-function files sampled every S seconds")
    parser.add_argument("--stf-nstep", type=int, metavar="N", help="specfem-cmt: samples in "
                        "each (default: until the last source ends)")
    parser.add_argument("--stf-prefix", metavar="TEXT", help="specfem-cmt: what the file names "
                        "in the CMTSOLUTION start with (default DATA/)")
    parser.add_argument("--origin", type=float, nargs=2, metavar=("LON", "LAT"),
                        help="points-hdf5: origin of the local frame (default the first point "
                        "to slip)")
    parser.add_argument("--velocity-model", metavar="FILE", help="specfem-cmt, points-hdf5: "
                        "layered crust for the rigidity of points without VS and DEN")
    parser.set_defaults(handler=run)


def run(arguments: argparse.Namespace) -> None:
    try:
        entry = io.format_of(arguments.to)
    except SettingError as error:
        raise Failure(error.sentence("--to"), 2) from None
    options = {KEYWORDS[name]: getattr(arguments, name) for name in KEYWORDS
               if getattr(arguments, name) is not None}
    for keyword in options:
        if keyword not in entry.options:
            raise Failure(f"{OPTION_OF[keyword]}: not an option of {arguments.to}, which takes "
                          f"{', '.join(OPTION_OF[name] for name in entry.options) or 'none'}", 2)
    if "velocity_model" in options:
        options["velocity_model"] = LayeredModel.from_file(options["velocity_model"])
    if "origin" in options:
        options["origin"] = tuple(options["origin"])
    source = Path(arguments.file)
    output = Path(arguments.output) if arguments.output else \
        source.with_name(source.stem + entry.suffix)
    if output.resolve() == source.resolve():
        raise Failure(f"--output {output}: is the file exported from; name another", 2)
    writable_destination(output, "--output")
    try:
        srf_file = srf.read_srf(source)
    except OSError as failure:
        raise Failure(f"{source}: cannot be read ({failure.strerror})", 2) from None
    except srf.SrfError as failure:
        raise Failure(f"{source}: {failure}", 2) from None
    start = time.perf_counter()
    try:
        entry.write(srf_file, output, **options)
    except SettingError as error:
        name = OPTION_OF.get(error.setting, OPTION_OF.get(KEYWORDS.get(error.setting, ""),
                                                          f"--{error.setting.replace('_', '-')}"))
        raise Failure(error.sentence(name), 2) from None
    except srf.SrfError as failure:
        raise Failure(f"{source}: {failure}", 2) from None
    print(f"wrote {output} ({arguments.to}, for {entry.reader}) from {len(srf_file.points):,} "
          f"points in {time.perf_counter() - start:.2f} s")
