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
writes instead with `reference=True` or without the module.
"""

import importlib
import io
import math
import os
import re
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, cast

import numpy as np
import numpy.typing as npt

from .files import write_atomically
from .moment import moment_rate
from .rupture import Rupture

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

VERSIONS = ("1.0", "2.0")
# One POINTS block a plane (the SRF document's Example 3a), or every plane's points in one
# block, in plane order, for readers that read only the first block (SW4, instaseis).
BLOCKS = ("per-plane", "one")
SAMPLES_PER_LINE = 6
SAMPLE_FORMAT = "%13.5e"  # always exactly 13 characters for a slip rate below 1e100 cm/s
SAMPLE_WIDTH = 13
# Subfaults formatted at once: enough to keep the formatting vectorised, few enough that
# the block's text stays small.
POINT_BLOCK = 4096
M_TO_CM = 100.0
KM_TO_CM = 1e5
M2_TO_CM2 = 1e4
# The point columns in the order of format_points's arguments.
POINT_NAMES = ("lon", "lat", "dep", "stk", "dip", "tinit", "vs", "den", "rake", "slip")

format_points: Callable[..., bytes] | None
try:
    format_points = importlib.import_module("._srf", __package__).format_points
except ImportError:  # a source tree without the compiled module
    format_points = None


class SrfError(ValueError):
    """A file that is not Standard Rupture Format as this reader knows it."""


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
        raise ValueError(f"srf_version {version}: must be one of {', '.join(VERSIONS)}")
    for comment in comments:
        if not comment.isascii() or "\n" in comment or "\r" in comment:
            raise ValueError(f"comment {comment[:40]!r}: an SRF comment is one line of ASCII")
    if blocks not in BLOCKS:
        raise ValueError(f"srf_blocks {blocks}: must be one of {', '.join(BLOCKS)}")
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
    """Writes `rupture` as an SRF file of `version` ("1.0" or "2.0"), with `comments` as
    comment lines after the version line; the points by the reference writer if
    `reference`; one POINTS block a plane or, with `blocks="one"`, one for all planes.

    `destination` is a path (the file is written under a temporary name and renamed into
    place once complete), a binary stream, which both get the ASCII bytes as they are made,
    or a text stream, which gets text, written in its own encoding and newlines."""
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


# ---- Reading ----------------------------------------------------------------------------


@dataclass(frozen=True)
class SrfPlane:
    """One plane of the PLANE block."""

    lon: float
    lat: float
    nstk: int
    ndip: int
    length_km: float
    width_km: float
    strike_deg: float
    dip_deg: float
    top_depth_km: float
    shyp_km: float
    dhyp_km: float


@dataclass(frozen=True, eq=False)
class SrfPoints:
    """Every point of the file, all POINTS blocks in order. `block` is each point's block
    number. VS and DEN are NaN in a version 1.0 file. Slip-rate samples (cm/s) are CSR
    rows: component c of point k is `rates[c][offsets[c][k]:offsets[c][k + 1]]`."""

    lon: FloatArray
    lat: FloatArray
    depth_km: FloatArray
    strike_deg: FloatArray
    dip_deg: FloatArray
    area_cm2: FloatArray
    tinit_s: FloatArray
    dt_s: FloatArray
    vs_cm_s: FloatArray
    density_g_cm3: FloatArray
    rake_deg: FloatArray
    slip_cm: tuple[FloatArray, FloatArray, FloatArray]
    offsets: tuple[IntArray, IntArray, IntArray]
    rates: tuple[FloatArray, FloatArray, FloatArray]
    block: IntArray

    def __len__(self) -> int:
        return len(self.lon)

    def total_slip_cm(self) -> FloatArray:
        return np.sqrt(self.slip_cm[0] ** 2 + self.slip_cm[1] ** 2 + self.slip_cm[2] ** 2)

    def rate_duration_s(self) -> FloatArray:
        """How long each point slips: its longest component's samples times DT."""
        counts = np.max([np.diff(offsets) for offsets in self.offsets], axis=0)
        return counts * self.dt_s


@dataclass(frozen=True, eq=False)
class SrfFile:
    version: str
    comments: list[str]
    planes: list[SrfPlane]
    points: SrfPoints


POINT_FIELDS = {"1.0": 8, "2.0": 10}
DT_FIELD = 7  # LON LAT DEP STK DIP AREA TINIT DT
SLIP_FIELDS = 7


def read_srf(path: str | os.PathLike[str]) -> SrfFile:
    """Reads an SRF file of version 1.0 or 2.0, with any number of planes and POINTS
    blocks and comment lines anywhere after the version line."""
    try:
        with open(path, encoding="ascii") as stream:
            text = stream.read()
    except UnicodeDecodeError:
        raise SrfError("holds characters that are not ASCII, as no SRF file does") from None
    return parse_srf(text)


def parse_srf(text: str) -> SrfFile:
    lines = text.splitlines()
    if not lines:
        raise SrfError("is empty")
    version = lines[0].strip()
    if version not in ("1.0", "2.0"):
        raise SrfError(f"starts with {lines[0].strip()[:40]!r}, not a version (1.0 or 2.0)")
    comments = [line.strip()[1:].strip() for line in lines if line.lstrip().startswith("#")]
    content = [line for line in lines[1:] if not line.lstrip().startswith("#")]
    at = 0
    planes: list[SrfPlane] = []
    while at < len(content) and not content[at].strip():
        at += 1
    if at < len(content) and content[at].split()[:1] == ["PLANE"]:
        planes, at = parse_planes(content, at)
    blocks: list[PointBlock] = []
    while at < len(content):
        words = content[at].split()
        if not words:
            at += 1
            continue
        if words[0] != "POINTS" or len(words) != 2 or not words[1].isdigit():
            raise SrfError(f"has {content[at].strip()[:40]!r} where a 'POINTS NP' line belongs")
        end = at + 1
        while end < len(content) and not content[end].lstrip().startswith("POINTS"):
            end += 1
        blocks.append(point_values(int(words[1]), numbers(" ".join(content[at + 1:end]),
                                                           len(blocks) + 1), version, len(blocks) + 1))
        at = end
    if not blocks:
        raise SrfError("has no POINTS block")
    return SrfFile(version, comments, planes, collect_points(blocks, version))


def parse_planes(content: list[str], at: int) -> tuple[list[SrfPlane], int]:
    words = content[at].split()
    if len(words) != 2 or not words[1].isdigit() or int(words[1]) < 1:
        raise SrfError(f"has {content[at].strip()!r}, not 'PLANE N' with N a positive count")
    planes = []
    for number in range(int(words[1])):
        first = content[at + 1 + 2 * number:at + 3 + 2 * number]
        values = " ".join(first).split()
        if len(first) != 2 or len(values) != 11:
            raise SrfError(f"plane {number + 1} of the PLANE block is not two lines of 6 and 5 values")
        try:
            elon, elat, nstk, ndip, length, width, stk, dip, dtop, shyp, dhyp = map(float, values)
        except ValueError:
            raise SrfError(f"plane {number + 1} of the PLANE block holds something not a number") from None
        if not (nstk.is_integer() and ndip.is_integer()):
            raise SrfError(f"plane {number + 1} has cell counts {nstk:g} and {ndip:g}, not whole numbers")
        planes.append(SrfPlane(elon, elat, int(nstk), int(ndip), length, width, stk, dip, dtop,
                               shyp, dhyp))
    return planes, at + 1 + 2 * len(planes)


def numbers(text: str, block: int) -> FloatArray:
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            return np.fromstring(text, sep=" ")
        except (DeprecationWarning, ValueError):
            bad = next((word for word in text.split() if not is_number(word)), "?")
            raise SrfError(f"POINTS block {block} holds {bad[:40]!r}, not a number") from None


NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|[-+]?(nan|inf)", re.IGNORECASE)


def is_number(word: str) -> bool:
    return NUMBER.fullmatch(word) is not None


@dataclass(frozen=True, eq=False)
class PointBlock:
    """One POINTS block: each point's fields (a row of point and slip fields), where its
    samples start in `values`, and how many samples each component has."""

    headers: FloatArray
    sample_starts: IntArray
    counts: IntArray
    values: FloatArray


def point_values(count: int, values: FloatArray, version: str, block: int) -> PointBlock:
    """The block's `count` points, checked against its values."""
    fields = POINT_FIELDS[version] + SLIP_FIELDS
    headers = np.empty((count, fields))
    sample_starts = np.empty(count, dtype=np.int64)
    at = 0
    size = values.size
    for k in range(count):
        if at + fields > size:
            raise SrfError(f"POINTS block {block} ends inside point {k + 1} of {count}")
        header = values[at:at + fields]
        announced = header[POINT_FIELDS[version] + 2::2]
        if not all(float(n).is_integer() and n >= 0 for n in announced):
            raise SrfError(f"point {k + 1} of POINTS block {block} has sample counts "
                           f"{', '.join(f'{n:g}' for n in announced)}, not whole numbers")
        headers[k] = header
        sample_starts[k] = at + fields
        at += fields + int(announced.sum())
    if at < size:
        raise SrfError(f"POINTS block {block} has {size - at} values more than its {count} "
                       f"points and their sample counts call for")
    counts: IntArray = headers[:, POINT_FIELDS[version] + 2::2].astype(np.int64)
    dt = headers[:, DT_FIELD]
    unusable = (counts.sum(axis=1) > 0) & ~(dt > 0)  # also NaN
    if unusable.any():
        k = int(np.argmax(unusable))
        raise SrfError(f"point {k + 1} of POINTS block {block} has DT {dt[k]:g} s; a point with "
                       f"slip-rate samples needs a positive sample interval")
    return PointBlock(headers, sample_starts, counts, values)


def component_rows(blocks: list[PointBlock], component: int) -> tuple[IntArray, FloatArray]:
    """CSR rows of one slip component over every block."""
    offsets_parts, rate_parts = [], []
    total = 0
    for block in blocks:
        lengths = block.counts[:, component]
        start = block.sample_starts + block.counts[:, :component].sum(axis=1)
        local = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
        index = np.repeat(start - local[:-1], lengths) + np.arange(int(local[-1]))
        rate_parts.append(block.values[index])
        offsets_parts.append(local[:-1] + total)
        total += int(local[-1])
    offsets = np.concatenate(offsets_parts + [np.array([total], dtype=np.int64)])
    return offsets.astype(np.int64), np.concatenate(rate_parts)


def collect_points(blocks: list[PointBlock], version: str) -> SrfPoints:
    fields = POINT_FIELDS[version]
    headers = np.concatenate([block.headers for block in blocks])
    block_of = np.concatenate([np.full(len(block.headers), number, dtype=np.int64)
                               for number, block in enumerate(blocks)])
    rows = [component_rows(blocks, component) for component in range(3)]
    nan = np.full(len(headers), math.nan)
    return SrfPoints(
        lon=headers[:, 0], lat=headers[:, 1], depth_km=headers[:, 2], strike_deg=headers[:, 3],
        dip_deg=headers[:, 4], area_cm2=headers[:, 5], tinit_s=headers[:, 6], dt_s=headers[:, 7],
        vs_cm_s=headers[:, 8] if version == "2.0" else nan,
        density_g_cm3=headers[:, 9] if version == "2.0" else nan,
        rake_deg=headers[:, fields], slip_cm=(headers[:, fields + 1], headers[:, fields + 3],
                                              headers[:, fields + 5]),
        offsets=(rows[0][0], rows[1][0], rows[2][0]), rates=(rows[0][1], rows[1][1], rows[2][1]),
        block=block_of)


# ---- What a file amounts to -------------------------------------------------------------


def point_slip_rate_cm_s(points: SrfPoints, k: int) -> FloatArray:
    """Point k's slip rate: its components' samples summed where they overlap."""
    rows = [points.rates[c][points.offsets[c][k]:points.offsets[c][k + 1]] for c in range(3)]
    total = np.zeros(max(row.size for row in rows))
    for row in rows:
        total[:row.size] += row
    return total


def srf_moment_nm(srf: SrfFile, rigidity_pa: FloatArray) -> float:
    """M0 = sum of mu A |slip| over the points, in N m."""
    points = srf.points
    return float((rigidity_pa * points.area_cm2 / M2_TO_CM2 * points.total_slip_cm() / M_TO_CM).sum())


def srf_rigidity_pa(points: SrfPoints) -> FloatArray:
    """mu = DEN VS^2 of a version 2.0 file's points, in Pa (NaN where not given)."""
    return (points.density_g_cm3 * 1e3) * (points.vs_cm_s / 100.0) ** 2


def srf_duration_s(srf: SrfFile) -> float:
    """When the last point stops slipping."""
    points = srf.points
    slipping = points.rate_duration_s() > 0
    if not slipping.any():
        return 0.0
    return float((points.tinit_s + points.rate_duration_s())[slipping].max())


def srf_moment_rate(srf: SrfFile, rigidity_pa: FloatArray) -> tuple[float, FloatArray]:
    """(dt, moment rate in N m/s at multiples of dt) on the finest DT of the file. The
    three slip components are summed as if collinear, which is exact for files whose
    slip is all in one component, as most writers' are."""
    points = srf.points
    dt = float(points.dt_s.min()) if len(points) else 1.0
    weight = rigidity_pa * points.area_cm2 / M2_TO_CM2 / M_TO_CM
    rate = np.zeros(1)
    for c in range(3):
        part = moment_rate(points.tinit_s, points.offsets[c], points.rates[c], weight, dt,
                           points.dt_s)
        if part.size > rate.size:
            part[:rate.size] += rate
            rate = part
        else:
            rate[:part.size] += part
    return dt, rate
