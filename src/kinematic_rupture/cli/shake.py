"""`kinematic-rupture shake RUPTURE.srf`: ground motion at stations from a rupture file.

Writes into --output (default `shaking/`): seismograms.mseed and stations.xml (see
seismogram_files), spectra.csv, and shake.png, all complete or none. A value it cannot use
is one line naming the option and exit status 2.
"""

import argparse
import math
import os
import time
from pathlib import Path

import numpy as np

from typing import Any

from .. import gmm, seismogram_files, shake_figure, shaking, srf
from ..checks import SettingError
from ..crust import LayeredModel
from ..files import FileSet
from ..ground_motion import event_of, peaks, station_distances
from ..patches import PatchError
from ..response import periods_for_band
from ..rupture_surface import Surface, SurfaceError, surface_of
from ..stations import Station, default_stations, read_stations
from .failures import Failure

DESCRIPTION = ("Computes three-component ground displacement, velocity and acceleration at "
               "stations from an SRF file, by summing its subfaults' moment through the Green's "
               "functions of a layered crust up to a highest frequency; writes them as MiniSEED "
               "with a StationXML inventory, their RotD50 response spectra as CSV, and a figure.")
DEFAULT_OUTPUT = "shaking"
DEFAULT_CRUST = "mojave"
# Above this the Green's functions' tables grow beyond what a workstation keeps.
HIGHEST_FREQUENCY_HZ = 10.0


def add_parser(commands: Any) -> None:
    """The subcommand `shake`, among `commands` (the main parser's subparsers)."""
    parser = commands.add_parser("shake", help="ground motion at stations from an SRF file",
                                 description=DESCRIPTION)
    add_options(parser)
    parser.set_defaults(handler=run_command)


def add_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("file", metavar="RUPTURE.srf", help="SRF file (1.0 or 2.0)")
    parser.add_argument("--stations", metavar="FILE", help="station list: text lines 'name lon "
                        "lat', or GeoJSON Point features with a name property (default: 28 "
                        "stations at 1 to 100 km across and along the fault)")
    parser.add_argument("--velocity-model", metavar="FILE", help="layered crust for the Green's "
                        "functions, a file or the name of a shipped crust (default mojave, the "
                        "Broadband Platform's Mojave rock profile)")
    parser.add_argument("--max-frequency-hz", default=str(shaking.DEFAULT_MAX_FREQUENCY_HZ),
                        help=f"highest frequency of the Green's functions (default "
                        f"{shaking.DEFAULT_MAX_FREQUENCY_HZ:g})")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help=f"directory for the files "
                        f"(default {DEFAULT_OUTPUT})")
    parser.add_argument("--no-figure", action="store_true", help="draw no figure")


def failure(message: str, status: int = 2) -> Exception:
    return Failure(message, status)


def max_frequency(text: str, srf_file: srf.SrfFile) -> float:
    """--max-frequency-hz as a number the file's samples and the tables can serve."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not math.isfinite(value) or value <= 0:
        raise failure(f"--max-frequency-hz {text}: must be a positive number of Hz")
    nyquist = 0.5 / float(np.max(srf_file.points.dt_s))
    if value > min(HIGHEST_FREQUENCY_HZ, nyquist):
        raise failure(f"--max-frequency-hz {text}: must be at most {min(HIGHEST_FREQUENCY_HZ, nyquist):g} "
                      f"Hz (the Nyquist frequency of the file's slip rates, and {HIGHEST_FREQUENCY_HZ:g})")
    return value


def read_rupture(path: Path) -> srf.SrfFile:
    try:
        return srf.read_srf(path)
    except OSError as error:
        raise failure(f"{path}: cannot be read ({error.strerror})") from None
    except srf.SrfError as error:
        raise failure(f"{path}: {error}") from None


def crust_option(path: str | None) -> LayeredModel:
    if path is None:
        return default_crust()
    try:
        return LayeredModel.from_file_or_name(path)
    except SettingError as refusal:
        raise failure(f"--velocity-model {path}: {refusal.requirement}") from None


def default_crust() -> LayeredModel:
    """The shipped reference crust: the Broadband Platform's Mojave rock profile."""
    return LayeredModel.named(DEFAULT_CRUST)


def stations_option(path: str | None, surface: Surface) -> list[Station]:
    if path is None:
        return default_stations(surface)
    try:
        return read_stations(path)
    except SettingError as refusal:
        raise failure(f"--stations {path}: {refusal.requirement}") from None


def output_directory(text: str) -> Path:
    output = Path(text)
    if output.exists() and not output.is_dir():
        raise failure(f"--output {output}: is not a directory")
    where = next((path for path in (output.absolute(), *output.absolute().parents) if path.exists()),
                 Path("/"))
    if not os.access(where, os.W_OK | os.X_OK):
        raise failure(f"--output {output}: cannot write in {where}")
    return output


def require_obspy() -> None:
    try:
        import obspy  # noqa: F401
    except ImportError:
        raise failure("writing MiniSEED and StationXML needs ObsPy (pip install obspy)", 1) from None


def run_command(arguments: argparse.Namespace) -> None:
    started = time.perf_counter()
    path = Path(arguments.file)
    output = output_directory(arguments.output)
    require_obspy()
    srf_file = read_rupture(path)
    frequency = max_frequency(arguments.max_frequency_hz, srf_file)
    crust = crust_option(arguments.velocity_model)
    try:
        surface = surface_of(srf_file)
        stations = stations_option(arguments.stations, surface)
        place = shaking.layout(srf_file, stations, crust, frequency)
    except (SurfaceError, PatchError) as error:
        raise failure(f"{path}: {error}") from None
    except SettingError as refusal:  # a station farther than the tables serve
        raise failure(f"--stations {arguments.stations}: {refusal.requirement}") from None
    table = shaking.table_for(place, crust)
    tabled = time.perf_counter()
    try:
        motion = shaking.shake(srf_file, place, table, crust)
    except PatchError as error:
        raise failure(f"{path}: {error}") from None
    summed = time.perf_counter()
    where = station_distances(surface, stations)
    measured = peaks(motion, periods_for_band(frequency))
    prediction, note = None, ""
    try:
        prediction = gmm.predict(event_of(srf_file, surface, crust), gmm.site_of(crust), where,
                                 measured.periods_s)
    except gmm.GroundMotionModelsUnavailable as missing:
        note = f"no NGA-West2 curves: {missing}"
    output.mkdir(parents=True, exist_ok=True)
    figure_path = None if arguments.no_figure else output / "shake.png"
    with FileSet() as files:
        files.write_with(output / "seismograms.mseed",
                         lambda out: seismogram_files.write_miniseed(out, stations, motion))
        files.write_with(output / "stations.xml",
                         lambda out: seismogram_files.write_stationxml(out, stations, motion))
        with files.open(output / "spectra.csv", "w") as stream:
            seismogram_files.write_spectra_csv(stream, stations, where.rrup, where.rjb,
                                               measured.pgv_m_s, measured.pga_m_s2,
                                               measured.periods_s, measured.psa_g)
        if figure_path is not None:
            view = shake_figure.ShakeView(
                f"{path.name}: ground motion up to {frequency:g} Hz in {crust.describe()}",
                surface, stations, where.rrup, measured.pgv_m_s, motion, measured.periods_s,
                measured.psa_g, prediction, note)
            files.write_with(figure_path, lambda out: shake_figure.draw(out, view))
        files.commit()
    done = time.perf_counter()
    for line in summary(place, motion, measured.pgv_m_s, stations, frequency):
        print(line)
    if note:
        print(note)
    elif prediction is not None and prediction.notes:
        print(f"NGA-West2 inputs beyond a model's recommended range: {'; '.join(prediction.notes)}")
    print(f"wrote {output}/seismograms.mseed, stations.xml, spectra.csv"
          f"{' and shake.png' if figure_path else ''}; Green's functions {tabled - started:.1f} s, "
          f"summation {summed - tabled:.1f} s, spectra and files {done - summed:.1f} s")


def summary(place: shaking.Layout, motion: shaking.Seismograms, pgv_m_s: np.ndarray,
            stations: list[Station], frequency: float) -> list[str]:
    strongest = int(np.argmax(pgv_m_s))
    return [
        f"stations: {len(stations)}; {len(place.patches):,} patches of up to "
        f"{place.patches.largest_radius_km:.2g} km half-diagonal for {frequency:g} Hz",
        f"Green's functions: {len(place.table_depths_km)} depths x "
        f"{len(place.table_distances_km):,} distances, {place.duration_s:g} s at {place.dt_s:g} s",
        f"seismograms: {motion.samples:,} samples at {motion.dt_s:g} s from {motion.start_s:g} s; "
        f"largest PGV {100 * pgv_m_s[strongest]:.3g} cm/s at {stations[strongest].name}",
    ]
