"""A whole kinematic rupture on one fault: a figure, a Standard Rupture Format file and a
summary.

On a 60 km x 20 km fault in 0.1 km cells (120,000 subfaults), the defaults build an
Mw 7.0 strike-slip rupture: von Kármán random slip scaled to the moment with a
depth-dependent rigidity, rupture times from the hypocentre at a perturbed fraction of
the shear-wave speed, Liu-Archuleta-Hartzell slip-rate pulses whose rise times grow with
slip, and the moment-rate function they sum to. The same seed gives the same files.

    python examples/kinematic_rupture.py
    python examples/kinematic_rupture.py --magnitude 6.5 --length-km 30 --width-km 15 --seed 7
"""

import argparse
import os
import time
from collections.abc import Sequence

from rupture_figure import plot_rupture
from rupture_recipe import (Fault, Rupture, RuptureSettings, build_rupture, moment_magnitude,
                            write_srf)

DEFAULT_FAULT = Fault()
DEFAULT_SETTINGS = RuptureSettings()


def argument_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Builds a kinematic rupture, writes it as a Standard Rupture Format 2.0 "
                    "file and a PNG figure, and prints a summary.",
        formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    fault = parser.add_argument_group("fault")
    fault.add_argument("--length-km", type=float, default=DEFAULT_FAULT.length_km,
                       help="length along strike")
    fault.add_argument("--width-km", type=float, default=DEFAULT_FAULT.width_km,
                       help="width down dip")
    fault.add_argument("--cell-km", type=float, default=DEFAULT_FAULT.cell_km,
                       help="side of the square subfaults; must divide length and width")
    fault.add_argument("--lon", type=float, default=DEFAULT_FAULT.lon,
                       help="longitude of the centre of the top edge (degrees)")
    fault.add_argument("--lat", type=float, default=DEFAULT_FAULT.lat,
                       help="latitude of the centre of the top edge (degrees)")
    fault.add_argument("--strike", type=float, default=DEFAULT_FAULT.strike_deg, help="degrees")
    fault.add_argument("--dip", type=float, default=DEFAULT_FAULT.dip_deg,
                       help="degrees, to the right of the strike direction")
    fault.add_argument("--rake", type=float, default=DEFAULT_FAULT.rake_deg, help="degrees")
    fault.add_argument("--top-depth-km", type=float, default=DEFAULT_FAULT.top_depth_km,
                       help="depth of the top edge")
    rupture = parser.add_argument_group("rupture")
    rupture.add_argument("--magnitude", type=float, default=DEFAULT_SETTINGS.magnitude,
                         help="target moment magnitude")
    rupture.add_argument("--hypocentre", type=float, nargs=2, metavar=("ALONG_KM", "DOWN_KM"),
                         help="hypocentre along strike from the first end and down dip from the "
                              "top edge (default: a third along, two thirds down)")
    rupture.add_argument("--seed", type=int, default=DEFAULT_SETTINGS.seed,
                         help="seed of the random fields (0 to 2**64 - 1)")
    rupture.add_argument("--hurst", type=float, help="von Kármán Hurst exponent (default 0.75)")
    rupture.add_argument("--correlation-km", type=float, nargs=2, metavar=("ALONG", "DOWN"),
                         help="von Kármán correlation lengths (default: scaled with magnitude, "
                              "Mai and Beroza 2002)")
    rupture.add_argument("--dt", type=float, default=DEFAULT_SETTINGS.dt_s,
                         help="sample interval of the slip-rate pulses (s)")
    output = parser.add_argument_group("output")
    output.add_argument("--srf", default=os.path.join("output", "kinematic_rupture.srf"),
                        help="Standard Rupture Format file to write")
    output.add_argument("--figure", default=os.path.join("output", "kinematic_rupture.png"),
                        help="PNG figure to write")
    return parser


def fault_and_settings(arguments: argparse.Namespace) -> tuple[Fault, RuptureSettings]:
    fault = Fault(length_km=arguments.length_km, width_km=arguments.width_km,
                  cell_km=arguments.cell_km, lon=arguments.lon, lat=arguments.lat,
                  strike_deg=arguments.strike, dip_deg=arguments.dip, rake_deg=arguments.rake,
                  top_depth_km=arguments.top_depth_km)
    settings = RuptureSettings(
        magnitude=arguments.magnitude, seed=arguments.seed,
        hypocentre_km=tuple(arguments.hypocentre) if arguments.hypocentre else None,
        hurst=arguments.hurst,
        correlation_km=tuple(arguments.correlation_km) if arguments.correlation_km else None,
        dt_s=arguments.dt)
    return fault, settings


def summary(fault: Fault, rupture: Rupture) -> list[str]:
    rows, columns = fault.cells
    from_rate = float(rupture.moment_rate_nm_s.sum()) * rupture.dt_s
    slip = rupture.slip_m
    padded = rupture.embedding_shape
    clipped = (f"clipped {100 * rupture.clipped_fraction:.3g}% of its eigenvalues "
               f"({100 * rupture.clipped_variance:.2g}% of the variance)"
               if rupture.clipped_fraction else "no eigenvalue clipped")
    kernels = ", ".join(f"{name} {seconds:.3f} s" for name, seconds in rupture.timings_s.items())
    return [
        f"fault: {fault.length_km:g} km x {fault.width_km:g} km in {fault.cell_km:g} km cells "
        f"({columns} x {rows} = {rows * columns:,} subfaults); strike {fault.strike_deg:g}, "
        f"dip {fault.dip_deg:g}, rake {fault.rake_deg:g}, top edge at {fault.top_depth_km:g} km",
        f"slip field: von Kármán, H = {rupture.hurst:g}, correlation {rupture.correlation_km[0]:.3g} km "
        f"along strike and {rupture.correlation_km[1]:.3g} km down dip; embedded on "
        f"{padded[1]} x {padded[0]} cells, {clipped}",
        f"moment: {rupture.moment_nm:.4g} N m (Mw {rupture.mw:.2f}) from the slip, "
        f"{from_rate:.4g} N m (Mw {moment_magnitude(from_rate):.2f}) from the moment rate",
        f"slip: mean {slip.mean():.3g} m, largest {slip.max():.3g} m; rise times up to "
        f"{rupture.rise_time_s.max():.3g} s",
        f"rupture: from ({rupture.hypocentre_km[0]:.3g}, {rupture.hypocentre_km[1]:.3g}) km, "
        f"duration {rupture.duration_s:.2f} s; {len(rupture.samples):,} slip-rate samples "
        f"at dt = {rupture.dt_s:g} s",
        f"kernels: {kernels}",
    ]


def ensure_directory(path: str) -> None:
    directory = os.path.dirname(path)
    if directory:
        os.makedirs(directory, exist_ok=True)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argument_parser()
    arguments = parser.parse_args(argv)
    start = time.perf_counter()
    try:
        fault, settings = fault_and_settings(arguments)
        rupture = build_rupture(fault, settings)
    except ValueError as refusal:
        parser.error(str(refusal))
    built = time.perf_counter()
    ensure_directory(arguments.srf)
    write_srf(arguments.srf, fault, rupture)
    written = time.perf_counter()
    ensure_directory(arguments.figure)
    plot_rupture(arguments.figure, fault, rupture)
    drawn = time.perf_counter()
    for line in summary(fault, rupture):
        print(line)
    print(f"wrote {arguments.srf} in {written - built:.2f} s and {arguments.figure} in "
          f"{drawn - written:.2f} s; the rupture took {built - start:.2f} s")


if __name__ == "__main__":
    main()
