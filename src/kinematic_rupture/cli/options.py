"""The command's options for a fault and a rupture, and their translation into a `Fault`
and `RuptureSettings`.

Every option is read as text and turned into its value here, so that a bad one is refused
in the same sentence as the API would refuse it, with the option's name in place of the
setting's.
"""

import argparse
from collections.abc import Callable
from dataclasses import dataclass, fields, replace
from typing import Any

from ..checks import UINT64_MAX, SettingError
from ..crust import LayeredModel
from ..fault_file import read_fault
from ..geometry import Fault, Plane, planes_from_trace
from ..hypocentre import DISTRIBUTIONS
from ..rupture import RuptureSettings


@dataclass(frozen=True)
class Option:
    flag: str
    setting: str
    kind: str  # "number", "seed", "pair", "path" or "choice"
    help: str
    metavar: str | tuple[str, str] | None = None
    choices: tuple[str, ...] | None = None


FAULT_OPTIONS = (
    Option("--length-km", "length_km", "number", "length along strike (km)"),
    Option("--width-km", "width_km", "number", "width down dip (km)"),
    Option("--cell-km", "cell_km", "number", "side of the square subfaults (km); must divide "
           "the length and the width"),
    Option("--lon", "lon", "number", "longitude of the centre of the top edge (degrees)"),
    Option("--lat", "lat", "number", "latitude of the centre of the top edge (degrees)"),
    Option("--strike", "strike_deg", "number", "strike (degrees)"),
    Option("--dip", "dip_deg", "number", "dip, to the right of the strike direction (degrees)"),
    Option("--rake", "rake_deg", "number", "rake (degrees)"),
    Option("--top-depth-km", "top_depth_km", "number", "depth of the top edge (km)"),
)
RUPTURE_OPTIONS = (
    Option("--magnitude", "magnitude", "number", "target moment magnitude"),
    Option("--dt", "dt_s", "number", "sample interval of the slip-rate pulses (s)"),
    Option("--hurst", "hurst", "number", "von Kármán Hurst exponent, in (0, 1]"),
    Option("--correlation-km", "correlation_km", "pair", "von Kármán correlation lengths "
           "(km); default: scaled with magnitude (Mai and Beroza 2002)", ("ALONG", "DOWN")),
    Option("--velocity-model", "velocity_model", "path", "1-D layered crust: a text file of "
           "top depth (km), Vp, Vs (km/s) and density (g/cm^3) per line, optionally Qp and Qs, "
           "or a shipped crust's name (mojave); default: a generic crust", "FILE"),
)
SEED_OPTION = Option("--seed", "seed", "seed", f"seed of the random fields (0 to {UINT64_MAX})")
HYPOCENTRE_OPTION = Option("--hypocentre", "hypocentre_km", "pair",
                           "hypocentre along strike from the first end and down dip from the "
                           "top edge (km); default: a third along, two thirds down",
                           ("ALONG_KM", "DOWN_KM"))
HYPOCENTRE_DISTRIBUTION_OPTION = Option(
    "--hypocentre-distribution", "hypocentre_distribution", "choice",
    "draw the hypocentre from the seed instead: from the positions of Mai et al. (2005) for the "
    "fault's mechanism or of Melgar and Hayes (2019), weighted so that it falls in large and very "
    "large slip as often as Mai et al. found", choices=DISTRIBUTIONS)

# The option that sets each setting, for refusals.
OPTION_OF = {option.setting: option.flag
             for option in (*FAULT_OPTIONS, *RUPTURE_OPTIONS, SEED_OPTION, HYPOCENTRE_OPTION,
                            HYPOCENTRE_DISTRIBUTION_OPTION)}
OPTION_OF.update({"settings": "--settings", "srf_version": "--srf-version", "workers": "--workers",
                  "count": "count", "first_seed": "--first-seed", "planes": "--fault",
                  "output": "--output", "set": "--set", "fault": "--fault", "trace": "--trace"})


def option_name(setting: str) -> str:
    return OPTION_OF.get(setting, setting)


def typed_fault_options(arguments: argparse.Namespace) -> str:
    """The fault's options given on the command line, as typed."""
    typed = [f"{option.flag} {getattr(arguments, option.setting)}" for option in FAULT_OPTIONS
             if getattr(arguments, option.setting, None) is not None]
    typed += [f"--{name} {getattr(arguments, name)}" for name in ("fault", "trace")
              if getattr(arguments, name, None)]
    return " ".join(typed)


def default_text(option: Option) -> str:
    plane, settings = Plane(), RuptureSettings()
    if option.setting == "cell_km":
        return f"{Fault().cell_km:g}"
    for source in (plane, settings):
        if option.setting in {item.name for item in fields(source)}:
            value = getattr(source, option.setting)
            return "" if value is None or option.kind == "path" else f"{value:g}" if isinstance(value, float) else str(value)
    return ""


def add_options(group: argparse._ArgumentGroup, options: tuple[Option, ...]) -> None:
    for option in options:
        default = default_text(option)
        shown = f"{option.help} (default {default})" if default else option.help
        group.add_argument(option.flag, dest=option.setting, default=None, help=shown,
                           nargs=2 if option.kind == "pair" else None, metavar=option.metavar,
                           choices=option.choices)


def add_model_options(command: argparse.ArgumentParser, hypocentre: bool) -> None:
    """The options of a fault and a rupture, for `run`, `ensemble` and `validate`."""
    fault = command.add_argument_group(
        "fault", "A magnitude given without a length or a width sizes the fault by Leonard's "
        "(2010) scaling; otherwise the fault is 60 km x 20 km.")
    add_options(fault, FAULT_OPTIONS)
    several = fault.add_mutually_exclusive_group()
    several.add_argument("--fault", metavar="FILE", help="a fault of several planes: a trace "
                         "(text of 'lon lat' lines, or GeoJSON), or a JSON list of planes; "
                         "--dip, --width-km, --top-depth-km and --rake give what it leaves out")
    several.add_argument("--trace", metavar="'LON,LAT LON,LAT ...'", help="a fault of "
                         "several planes along these vertices, quoted as one argument (degrees, "
                         "in order along strike, dipping to the right), with --dip, --width-km, "
                         "--top-depth-km and --rake")
    rupture = command.add_argument_group("rupture")
    add_options(rupture, RUPTURE_OPTIONS + ((SEED_OPTION, HYPOCENTRE_OPTION,
                                             HYPOCENTRE_DISTRIBUTION_OPTION) if hypocentre else ()))
    rupture.add_argument("--set", action="append", metavar="NAME=VALUE",
                         help="any other rupture setting, by its name in the library (repeat "
                         "for several): " + ", ".join(settable()))


def converted(option_setting: str, kind: str, text: Any) -> Any:
    """An option's text as its setting's value, or a refusal naming the setting."""
    if kind == "path":
        return LayeredModel.from_file_or_name(text)
    if kind == "choice":
        return text
    if kind == "pair":
        return (number_of(option_setting, text[0], text), number_of(option_setting, text[1], text))
    if kind == "seed":
        try:
            return int(text, 10)
        except ValueError:
            raise SettingError(option_setting, text,
                               f"a seed must be a whole number from 0 to {UINT64_MAX}") from None
    return number_of(option_setting, text, text)


def number_of(setting: str, text: str, whole: object) -> float:
    try:
        return float(text)
    except ValueError:
        raise SettingError(setting, whole, "must be a number") from None


KINDS = {option.setting: option.kind
         for option in (*FAULT_OPTIONS, *RUPTURE_OPTIONS, SEED_OPTION, HYPOCENTRE_OPTION,
                        HYPOCENTRE_DISTRIBUTION_OPTION)}


def given(arguments: argparse.Namespace, names: Callable[[str], bool]) -> dict[str, Any]:
    """The options given on the command line whose settings `names` accepts, converted."""
    values = {}
    for setting, kind in KINDS.items():
        text = getattr(arguments, setting, None)
        if text is not None and names(setting):
            values[setting] = converted(setting, kind, text)
    return values


def fault_and_settings(arguments: argparse.Namespace, fault: Fault, settings: RuptureSettings,
                       size_by_magnitude: bool = False) -> tuple[Fault, RuptureSettings]:
    """`fault` and `settings` with every option given on the command line applied. With
    `size_by_magnitude`, a magnitude given without a length or a width sizes the fault by
    Leonard's (2010) scaling."""
    plane_names = {item.name for item in fields(Plane)}
    plane_values = given(arguments, plane_names.__contains__)
    cell_given = given(arguments, lambda name: name == "cell_km")
    cell = cell_given.get("cell_km", fault.cell_km)
    if plane_values and len(fault.planes) > 1:
        raise SettingError(next(iter(plane_values)), "given",
                           "applies to a fault of one plane; this fault has several")
    rupture_names = {item.name for item in fields(RuptureSettings)}
    rupture_values = given(arguments, rupture_names.__contains__)
    rupture_values.update(assignments(getattr(arguments, "set", None) or []))
    settings = replace(settings, **rupture_values)
    if getattr(arguments, "fault", None) or getattr(arguments, "trace", None):
        return several_planes(arguments, plane_values, cell), settings
    if (size_by_magnitude and "magnitude" in rupture_values
            and not {"length_km", "width_km"} & set(plane_values)):
        return Fault.for_magnitude(settings.magnitude, cell, **plane_values), settings
    planes = (replace(fault.planes[0], **plane_values),) if plane_values else fault.planes
    return Fault(planes, cell), settings


# Settings that `--set` may not give: they have options of their own, or are not numbers.
NOT_SETTABLE = {"hypocentre_km", "correlation_km", "velocity_model", "seed",
                "hypocentre_distribution"}


def settable() -> list[str]:
    return [item.name for item in fields(RuptureSettings) if item.name not in NOT_SETTABLE]


def assignments(texts: list[str]) -> dict[str, float]:
    """`--set NAME=VALUE` options as settings."""
    values = {}
    for text in texts:
        name, equals, value = text.partition("=")
        if not equals or name not in settable():
            raise SettingError("set", text, f"must be NAME=VALUE with NAME one of "
                               f"{', '.join(settable())}")
        values[name] = number_of("set", value, text)
    return values


# What a trace takes from the command line: each segment's dip, width, top depth and rake.
TRACE_OPTIONS = ("dip_deg", "width_km", "top_depth_km", "rake_deg")


def several_planes(arguments: argparse.Namespace, plane_values: dict[str, Any],
                   cell: float) -> Fault:
    """The fault of `--fault FILE` or `--trace`, with --dip, --width-km, --top-depth-km and
    --rake for what the trace leaves out, and --cell-km over the file's cell size."""
    misplaced = sorted(set(plane_values) - set(TRACE_OPTIONS))
    source = "fault" if arguments.fault else "trace"

    if misplaced:
        raise SettingError(misplaced[0], getattr(arguments, misplaced[0]),
                           f"a fault from --{source} takes its planes' places and lengths from it")
    defaults = {name: getattr(Plane(), name) for name in TRACE_OPTIONS}
    defaults.update(plane_values)
    explicit_cell = getattr(arguments, "cell_km", None) is not None
    if arguments.fault:
        planes, file_cell = read_fault(arguments.fault, cell, defaults)
        if file_cell is not None and not explicit_cell:
            cell = file_cell
            planes, _ = read_fault(arguments.fault, cell, defaults)
        return fault_of(planes, cell, "fault", arguments.fault)
    vertices = [trace_vertex(text) for text in arguments.trace.replace(";", " ").split()]
    return fault_of(planes_from_trace(vertices, cell, **defaults), cell, "trace", arguments.trace)


def fault_of(planes: tuple[Plane, ...], cell: float, source: str, text: str) -> Fault:
    """The fault of these planes, a refusal of it named by the option that gave them (the
    cell size's by --cell-km, where it comes from)."""
    try:
        return Fault(planes, cell)
    except SettingError as refusal:
        if refusal.setting == "cell_km":
            raise
        raise SettingError(source, text, refusal.sentence(refusal.setting)) from None


def trace_vertex(text: str) -> tuple[float, float]:
    lon, comma, lat = text.partition(",")
    try:
        if comma:
            return float(lon), float(lat)
    except ValueError:
        pass
    raise SettingError("trace", text, "each vertex must be LON,LAT in degrees")
