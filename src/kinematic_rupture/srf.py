"""Standard Rupture Format (Graves: version 1.0, 2010; version 2.0, 2014): writing and
reading.

A file is the version line; comment lines (starting with '#'); the header block
`PLANE N` with two lines per plane, `ELON ELAT NSTK NDIP LEN WID` and
`STK DIP DTOP SHYP DHYP`; then one `POINTS NP` block per plane, in plane order. Each point
is the line `LON LAT DEP STK DIP AREA TINIT DT` (version 2.0 adds `VS DEN`), the line
`RAKE SLIP1 NT1 SLIP2 NT2 SLIP3 NT3` and the NT1 + NT2 + NT3 slip-rate samples, six to a
line. Units: degrees, km, cm^2, s, cm/s, g/cm^3, cm and cm/s. Points run along strike
fastest, then down dip, top row first. SLIP1 is along RAKE; this writer puts all slip
there, so SLIP2 and SLIP3 are zero with no samples, and a subfault that does not slip
has NT1 = 0.

Points are written a block at a time by the compiled module kinematic_rupture._srf where it
is built; `point_block`, plain Python, is the reference it matches byte for byte, and
writes instead with `reference=True` or without the module. Files are read by
`srf_reader` (whose names this module gives too).
"""

from __future__ import annotations

import importlib
import io
import os
from collections.abc import Callable, Iterator, Sequence
from typing import IO, TYPE_CHECKING, cast

import numpy as np
import numpy.typing as npt

from .errors import SettingError
from .files import write_atomically
from .srf_measures import (M2_TO_CM2, M_TO_CM, point_slip_rate_cm_s,  # noqa: F401
                           srf_duration_s, srf_moment_nm, srf_moment_rate,
                           srf_moment_spectrum, srf_rigidity_pa)
from .srf_reader import (VERSIONS, SrfError, SrfFile, SrfPlane, SrfPoints,  # noqa: F401
                         parse_srf, read_srf)

if TYPE_CHECKING:  # a Rupture writes itself through this module
    from .rupture import Rupture

__all__ = ["BLOCKS", "VERSIONS", "SrfFile", "SrfPlane", "SrfPoints", "parse_srf", "read_srf",
           "write_srf"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]  # the io package's too

# One POINTS block a plane (the SRF document's Example 3a), or every plane's points in one
# block, in plane order, for readers that read only the first block (SW4, instaseis).
BLOCKS = ("per-plane", "one")
SAMPLES_PER_LINE = 6
SAMPLE_FORMAT = "%13.5e"  # always exactly 13 characters for a slip rate below 1e100 cm/s
SAMPLE_WIDTH = 13
# Subfaults formatted at once: enough to keep the formatting vectorised, few enough that
# the block's text stays small.
POINT_BLOCK = 4096
KM_TO_CM = 1e5
# The point columns in the order of format_points's arguments.
POINT_NAMES = ("lon", "lat", "dep", "stk", "dip", "tinit", "vs", "den", "rake", "slip")

format_points: Callable[..., bytes] | None
try:
    format_points = importlib.import_module("._srf", __package__).format_points
except ImportError:  # a source tree without the compiled module
    format_points = None


# ---- Writing ----------------------------------------------------------------------------


def plane_header(rupture: Rupture) -> list[str]:
    """The PLANE block: each plane's top-edge centre, cell counts, size, orientation, and
    the hypocentre along strike from that centre (SHYP) and down dip from the top (DHYP)."""
    fault = rupture.fault
    along, down = rupture.hypocentre_km
    lines = [f"PLANE {len(fault.planes)}"]
    start = 0.0
    for number, plane in enumerate(fault.planes):
        rows, columns = fault.cells(number)
        shyp = along - start - 0.5 * plane.length_km
        lines.append(f"{plane.lon:.6f} {plane.lat:.6f} {columns} {rows} "
                     f"{plane.length_km:.4f} {plane.width_km:.4f}")
        lines.append(f"{plane.strike_deg:.2f} {plane.dip_deg:.2f} {plane.top_depth_km:.4f} "
                     f"{shyp:.4f} {down:.4f}")
        start += plane.length_km
    return lines


def point_columns(rupture: Rupture) -> dict[str, FloatArray]:
    """Every point's values in the file's units, in subfault order."""
    fault = rupture.fault
    lon, lat = fault.positions()
    dip = fault.per_plane([plane.dip_deg for plane in fault.planes])
    return {"lon": lon, "lat": lat, "dep": rupture.depth_km, "stk": fault.strikes(), "dip": dip,
            "tinit": rupture.start_time_s, "vs": rupture.vs_km_s * KM_TO_CM,
            "den": rupture.density_g_cm3, "rake": rupture.rake_deg,
            "slip": rupture.slip_m * M_TO_CM}


def srf_lines(rupture: Rupture, version: str, comments: Sequence[str],
              reference: bool = False, blocks: str = "per-plane") -> Iterator[str | bytes]:
    """The file's text, a block of lines at a time, each ending in a newline: text, or
    ASCII bytes from the compiled writer; the points by the reference writer if
    `reference`; one POINTS block a plane, or one in all (`blocks`, one of BLOCKS)."""
    if version not in VERSIONS:
        raise SettingError("srf_version", version, f"must be one of {', '.join(VERSIONS)}")
    for comment in comments:
        if not comment.isascii() or "\n" in comment or "\r" in comment:
            raise SettingError("comment", repr(comment[:40]), "an SRF comment is one line of ASCII")
    if blocks not in BLOCKS:
        raise SettingError("srf_blocks", blocks, f"must be one of {', '.join(BLOCKS)}")
    fault = rupture.fault
    head = [version, *(f"# {comment}" for comment in comments), *plane_header(rupture)]
    yield "\n".join(head) + "\n"
    columns = point_columns(rupture)
    area = f"{fault.cell_area_m2 * M2_TO_CM2:.6e}"
    dt = f"{rupture.dt_s:.6e}"
    point = "%.6f %.6f %.6f %.2f %.2f " + area + " %.6f " + dt
    if version == "2.0":
        point += " %.6e %.6e"
    point += "\n%.2f %.6e %d 0.0 0 0.0 0\n"
    starts = fault.plane_starts()
    groups = [(0, starts[-1])] if blocks == "one" else list(zip(starts[:-1], starts[1:]))
    for begin, end in groups:
        yield f"POINTS {end - begin}\n"
        for first in range(begin, end, POINT_BLOCK):
            last = min(first + POINT_BLOCK, end)
            if reference or format_points is None:
                yield point_block(rupture, columns, point, version, first, last)
            else:
                yield compiled_block(format_points, rupture, columns, version, first, last)


def point_block(rupture: Rupture, columns: dict[str, FloatArray], point: str, version: str,
                first: int, last: int) -> str:
    """Points `first` to `last` (exclusive) with their samples."""
    offsets = rupture.offsets
    samples = rupture.samples[offsets[first]:offsets[last]] * M_TO_CM
    rates = (SAMPLE_FORMAT * samples.size) % tuple(samples.tolist())
    base = int(offsets[first])
    names = ("lon", "lat", "dep", "stk", "dip", "tinit") + (("vs", "den") if version == "2.0" else ())
    values = [columns[name][first:last].tolist() for name in names + ("rake", "slip")]
    counts = np.diff(offsets[first:last + 1]).tolist()
    starts = offsets[first:last].tolist()
    parts = []
    for k, count in enumerate(counts):
        parts.append(point % (*(column[k] for column in values), count))
        begin = (starts[k] - base) * SAMPLE_WIDTH
        for line in range(0, count, SAMPLES_PER_LINE):
            end = begin + min(SAMPLES_PER_LINE, count - line) * SAMPLE_WIDTH
            parts.append(rates[begin:end])
            parts.append("\n")
            begin = end
    return "".join(parts)


def compiled_block(format_: Callable[..., bytes], rupture: Rupture,
                   columns: dict[str, FloatArray], version: str, first: int, last: int) -> bytes:
    """What point_block gives, from the compiled writer."""
    offsets = rupture.offsets[first:last + 1]
    samples = rupture.samples[offsets[0]:offsets[-1]] * M_TO_CM
    return format_(*(columns[name][first:last] for name in POINT_NAMES), offsets, samples,
                   rupture.fault.cell_area_m2 * M2_TO_CM2, rupture.dt_s, version)


def write_srf(destination: "str | os.PathLike[str] | IO[str] | IO[bytes]", rupture: Rupture,
              version: str = "2.0", comments: Sequence[str] = (), reference: bool = False,
              blocks: str = "per-plane") -> None:
    """Writes a rupture as an SRF file (`Rupture.write_srf` is the same, with the
    command's comment lines by default).

    Parameters
    ----------
    destination : path, binary stream or text stream
        A path (the file is written under a temporary name and renamed into place once
        complete), or a binary stream, which both get the ASCII bytes as they are made;
        or a text stream, which gets text, written in its own encoding and newlines.
    rupture : Rupture
        The rupture.
    version : {"2.0", "1.0"}
        The SRF version.
    comments : sequence of str
        Comment lines after the version line, each one line of ASCII (none by default).
    reference : bool
        Whether the points are written by the plain-Python writer the compiled one
        matches byte for byte.
    blocks : {"per-plane", "one"}
        One POINTS block a plane, or one for all planes.

    Raises
    ------
    SettingError
        An unknown version or blocks, or a comment that is not one line of ASCII.
    OSError
        A path that cannot be written (nothing is left there).
    """
    if isinstance(destination, (str, os.PathLike)):
        write_atomically(destination, lambda stream: write_bytes(stream, rupture, version,
                                                                 comments, reference, blocks))
    elif is_binary(destination):
        write_bytes(cast(IO[bytes], destination), rupture, version, comments, reference, blocks)
    else:
        text = cast(IO[str], destination)
        for block in srf_lines(rupture, version, comments, reference, blocks):
            text.write(block if isinstance(block, str) else block.decode("ascii"))


def is_binary(stream: object) -> bool:
    """Whether a stream takes bytes: a binary stream of the io module, or one whose mode
    says so."""
    if isinstance(stream, io.TextIOBase):
        return False
    return isinstance(stream, (io.RawIOBase, io.BufferedIOBase)) or "b" in str(
        getattr(stream, "mode", ""))


def write_bytes(stream: IO[bytes], rupture: Rupture, version: str, comments: Sequence[str],
                reference: bool, blocks: str = "per-plane") -> None:
    for block in srf_lines(rupture, version, comments, reference, blocks):
        stream.write(block.encode("ascii") if isinstance(block, str) else block)
