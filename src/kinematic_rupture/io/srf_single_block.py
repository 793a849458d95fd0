"""SRF with every plane's points in one POINTS block, for readers that read only the first
block: SW4's `rupture` command and instaseis' `FiniteSource.from_srf_file`, which both stop
after it (SW4 issue #210; instaseis source.py), and QuakeCoRE's qcore reader.

What the readers need, from their sources (SW4 parseInputFile.C at 03cb7e8; instaseis
source.py at dc9d4f1):

- SW4 reads the version, then requires `PLANE N` on line 2 (no comment line before it) and
  `POINTS NP` right after the plane lines (no comment line between); it reads the first 8
  fields of a point line, RAKE SLIP1 NT1 SLIP2 NT2 SLIP3 NT3, then each component's
  samples from a fresh line, splitting on blanks (a trailing blank would read as a sample).
  It uses u1 only, and a point with NT1 = 0 makes no source.
- instaseis skips to the first line holding "POINTS", unpacks point lines into exactly 8
  numbers (so version 1.0 only) and reads SLIP1 and SLIP2 along RAKE.

So this writer puts, by default, no comment lines (`comments=True` keeps the source's,
less any holding "POINTS"), the PLANE block on line 2 where the source has one, all slip
along u1 with each point's rake (u2 folded in where it keeps one direction, see
common.one_direction), NT2 = NT3 = 0, zero-slip points with NT1 = 0, and no blank at the
end of any line. Version 2.0 (the default for a 2.0 source) suits SW4, this package and
the SCEC Broadband Platform's tools; version 1.0 suits instaseis as well.

Units are SRF's: degrees (WGS84), depth in km below the surface (positive down), cm^2,
s, cm, cm/s, and VS, DEN in cm/s and g/cm^3 (-1 where the source has none).
"""

import os
from collections.abc import Iterator
from typing import IO

import numpy as np

from .. import srf
from ..files import write_atomically
from .common import OneDirection, Source, as_srf, carried_planes, choice, one_direction

__all__ = ["write_srf_single_block", "OPTIONS"]

FORMAT = "srf-single-block"
# What a file with comment lines says of itself (one without them is SRF as Graves'
# document defines it, which is what SW4 takes).
CONVENTIONS = ("exported by kinematic-rupture: every plane's points in one block, in plane "
               "order; all slip along u1 (RAKE, Aki-Richards); degrees WGS84, depth km "
               "positive down, cm^2, s, cm, cm/s")
OPTIONS = ("version", "comments")

def write_srf_single_block(source: Source, path: str | os.PathLike[str], version: str | None = None,
                           comments: bool = False) -> None:
    """Writes a rupture as an SRF file of one POINTS block, for SW4's ``rupture`` command and
    instaseis.

    Parameters
    ----------
    source : SrfFile or Rupture
        What `read_srf` gives, or a rupture just built.
    path : str or os.PathLike
        The file to write: complete or absent.
    version : {"2.0", "1.0"}, optional
        The SRF version; the source's by default. 1.0 suits instaseis as well.
    comments : bool
        Keep the source's comment lines (less any holding "POINTS") and add one stating these
        conventions; SW4 refuses any comment line, so none by default.

    Raises
    ------
    SettingError
        An unknown version, named ``srf_version``.
    SrfError
        A point that opens (SLIP3), or whose slip turns as it slips, named by its number.
    OSError
        A path that cannot be written (nothing is left there).
    """
    srf_file = as_srf(source)
    version = choice("srf_version", version or srf_file.version, srf.VERSIONS)
    slip = one_direction(srf_file.points, FORMAT)
    write_atomically(path, lambda stream: write_text(stream, srf_file, slip, version, comments))


def write_text(stream: IO[bytes], srf_file: srf.SrfFile, slip: OneDirection, version: str,
               comments: bool) -> None:
    for block in text_blocks(srf_file, slip, version, comments):
        stream.write(block)


def head_lines(srf_file: srf.SrfFile, version: str, comments: bool) -> list[str]:
    lines = [version]
    if comments:
        lines += [f"# {comment}" if comment else "#" for comment in srf_file.comments
                  if "POINTS" not in comment]
        lines.append(f"# {CONVENTIONS}")
    planes = carried_planes(srf_file, FORMAT)
    if planes:
        lines.append(f"PLANE {len(planes)}")
        for plane in planes:
            lines.append(f"{plane.lon:.6f} {plane.lat:.6f} {plane.nstk} {plane.ndip} "
                         f"{plane.length_km:.4f} {plane.width_km:.4f}")
            lines.append(f"{plane.strike_deg:.2f} {plane.dip_deg:.2f} {plane.top_depth_km:.4f} "
                         f"{plane.shyp_km:.4f} {plane.dhyp_km:.4f}")
    lines.append(f"POINTS {len(srf_file.points)}")
    return lines


def text_blocks(srf_file: srf.SrfFile, slip: OneDirection, version: str,
                comments: bool) -> Iterator[bytes]:
    """The file's bytes, a block of points at a time."""
    yield ("\n".join(head_lines(srf_file, version, comments)) + "\n").encode("ascii")
    points = srf_file.points
    columns = {"lon": points.lon, "lat": points.lat, "dep": points.depth_km,
               "stk": points.strike_deg, "dip": points.dip_deg, "tinit": points.tinit_s,
               "vs": np.nan_to_num(points.vs_cm_s, nan=-1.0),
               "den": np.nan_to_num(points.density_g_cm3, nan=-1.0),
               "rake": slip.rake_deg, "slip": slip.slip_cm}
    for first, last in runs(points.area_cm2, points.dt_s):
        area, dt = float(points.area_cm2[first]), float(points.dt_s[first])
        offsets = slip.offsets[first:last + 1]
        samples = slip.rates[offsets[0]:offsets[-1]]
        chosen = [np.ascontiguousarray(columns[name][first:last], dtype=np.float64)
                  for name in srf.POINT_NAMES]
        if srf.format_points is not None:
            yield srf.format_points(*chosen, offsets, samples, area, dt, version)
        else:
            yield python_points(chosen, offsets, samples, area, dt, version).encode("ascii")


def runs(area: srf.FloatArray, dt: srf.FloatArray) -> Iterator[tuple[int, int]]:
    """Consecutive points that share AREA and DT, at most srf.POINT_BLOCK at a time."""
    changes = np.flatnonzero((np.diff(area) != 0) | (np.diff(dt) != 0)) + 1
    edges = [0, *changes.tolist(), len(area)]
    for begin, end in zip(edges[:-1], edges[1:]):
        for first in range(begin, end, srf.POINT_BLOCK):
            yield first, min(first + srf.POINT_BLOCK, end)


def python_points(columns: list[srf.FloatArray], offsets: srf.IntArray, samples: srf.FloatArray,
                  area: float, dt: float, version: str) -> str:
    """What the compiled writer gives, in plain Python (srf.point_block's formats)."""
    point = "%.6f %.6f %.6f %.2f %.2f " + f"{area:.6e}" + " %.6f " + f"{dt:.6e}"
    names = list(srf.POINT_NAMES)
    if version == "2.0":
        point += " %.6e %.6e"
    else:
        names = [name for name in names if name not in ("vs", "den")]
    point += "\n%.2f %.6e %d 0.0 0 0.0 0\n"
    chosen = [columns[srf.POINT_NAMES.index(name)].tolist() for name in names]
    parts = []
    base = int(offsets[0])
    for k in range(len(offsets) - 1):
        count = int(offsets[k + 1] - offsets[k])
        parts.append(point % (*(column[k] for column in chosen), count))
        row = samples[int(offsets[k]) - base:int(offsets[k + 1]) - base].tolist()
        for line in range(0, count, srf.SAMPLES_PER_LINE):
            part = row[line:line + srf.SAMPLES_PER_LINE]
            parts.append((srf.SAMPLE_FORMAT * len(part)) % tuple(part) + "\n")
    return "".join(parts)
