"""Reading Standard Rupture Format files (Graves: version 1.0, 2010; version 2.0, 2014), of
this package's writer or any other, in memory bounded by what the file holds.

The version line is checked first. The rest is read a few MiB at a time: lines one by
one where they are comments, the PLANE block or a POINTS line, and runs of lines of
numbers at once, parsed by NumPy. Every count the file declares (planes, points, samples)
is checked against the values it really holds before anything is made of that size; a
line longer than MAX_LINE_BYTES, a value that is not a finite number or one beyond what
is physical is refused. A refusal is an `SrfError` naming the line.
"""

import io
import os
import re
import stat
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np
import numpy.typing as npt

from . import grids
from .crust import GenericCrust, LayeredModel
from .errors import SrfError
from .pulses import nonzero_spans, slip_spans_s
from .scaling import moment_magnitude
from .srf_measures import point_rigidity_pa, srf_duration_s, srf_moment_nm, srf_moment_rate

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

VERSIONS = ("1.0", "2.0")
# The longest line read: comments carry a rupture's settings as one line of JSON, a few
# KiB even for a fault of many planes in a layered crust.
MAX_LINE_BYTES = 1 << 20
# Bytes read at a time, and the most of them that may hold the version line.
CHUNK_BYTES = 1 << 22
VERSION_LINE_BYTES = 64

POINT_FIELDS = {"1.0": 8, "2.0": 10}
DT_FIELD = 7  # LON LAT DEP STK DIP AREA TINIT DT
SLIP_FIELDS = 7
FIELD_NAMES = {"1.0": ("LON", "LAT", "DEP", "STK", "DIP", "AREA", "TINIT", "DT"),
               "2.0": ("LON", "LAT", "DEP", "STK", "DIP", "AREA", "TINIT", "DT", "VS", "DEN")}
SLIP_NAMES = ("RAKE", "SLIP1", "NT1", "SLIP2", "NT2", "SLIP3", "NT3")

# What is physical, for the values that enter arithmetic (degrees, km, cm^2, s, cm/s,
# g/cm^3, cm): angles of a turn or two either way; latitudes on the Earth; depths from the
# highest mountains to the deepest earthquakes (about 700 km); a point's area up to that
# of the largest fault (2000 km x 500 km, 1e16 cm^2); rupture times within a few hours
# (the longest ruptures last about ten minutes); sample intervals up to 10 s; VS up to
# 8 km/s and densities up to 14 g/cm^3 (no layer of the Earth exceeds either; 0 where not
# known); slip up to 1 km either way (the largest earthquakes slip some 60 m), and no
# sample carrying more.
ANGLE_DEG = (-720.0, 720.0)
LATITUDE_DEG = (-90.0, 90.0)
DEPTH_KM = (-10.0, 700.0)
MAX_AREA_CM2 = 1e16
TIME_S = (-1e4, 1e4)
MAX_DT_S = 10.0
MAX_VS_CM_S = 8e5
MAX_DENSITY_G_CM3 = 14.0
MAX_SLIP_CM = 1e5
POINT_BOUNDS = {"LON": ANGLE_DEG, "LAT": LATITUDE_DEG, "DEP": DEPTH_KM, "STK": ANGLE_DEG,
                "DIP": ANGLE_DEG, "AREA": (0.0, MAX_AREA_CM2), "TINIT": TIME_S,
                "DT": (0.0, MAX_DT_S), "VS": (0.0, MAX_VS_CM_S), "DEN": (0.0, MAX_DENSITY_G_CM3),
                "RAKE": ANGLE_DEG, "SLIP1": (-MAX_SLIP_CM, MAX_SLIP_CM),
                "SLIP2": (-MAX_SLIP_CM, MAX_SLIP_CM), "SLIP3": (-MAX_SLIP_CM, MAX_SLIP_CM)}
# The PLANE block's ELON ELAT NSTK NDIP LEN WID STK DIP DTOP SHYP DHYP; lengths up to the
# largest fault's.
PLANE_BOUNDS = (ANGLE_DEG, LATITUDE_DEG, (0.0, 1e9), (0.0, 1e9), (0.0, 2000.0), (0.0, 500.0),
                ANGLE_DEG, ANGLE_DEG, DEPTH_KM, (-2000.0, 2000.0), (-500.0, 500.0))


@dataclass(frozen=True)
class SrfPlane:
    """One plane of the PLANE block.

    Attributes
    ----------
    lon, lat : float
        The centre of its top edge, degrees.
    nstk, ndip : int
        Its cells along strike and down dip.
    length_km, width_km : float
        Its length and width, km.
    strike_deg, dip_deg : float
        Its strike and dip, degrees.
    top_depth_km : float
        The depth of its top edge, km.
    shyp_km : float
        The hypocentre along strike from the top edge's centre, km.
    dhyp_km : float
        The hypocentre down dip from the top edge, km.
    """

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
    """Every point of the file, all POINTS blocks in order, in the file's units.

    Each array holds one value a point. Slip-rate samples are CSR rows: component c of point
    k is ``rates[c][offsets[c][k]:offsets[c][k + 1]]``.

    Attributes
    ----------
    lon, lat : numpy.ndarray
        Position, degrees.
    depth_km : numpy.ndarray
        Depth, km.
    strike_deg, dip_deg, rake_deg : numpy.ndarray
        Orientation and rake, degrees.
    area_cm2 : numpy.ndarray
        Area, cm^2.
    tinit_s, dt_s : numpy.ndarray
        When slip starts and the samples' interval, s.
    vs_cm_s, density_g_cm3 : numpy.ndarray
        Shear-wave speed (cm/s) and density (g/cm^3); NaN in a version 1.0 file.
    slip_cm : tuple of numpy.ndarray
        SLIP1, SLIP2 and SLIP3, cm.
    offsets : tuple of numpy.ndarray of int
        Each component's row starts, one more than the points.
    rates : tuple of numpy.ndarray
        Each component's slip-rate samples, cm/s.
    block : numpy.ndarray of int
        Each point's POINTS block, from 0.
    """

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
        """Each point's slip: the length of (SLIP1, SLIP2, SLIP3).

        Returns
        -------
        numpy.ndarray
            Slip, cm.
        """
        return np.sqrt(self.slip_cm[0] ** 2 + self.slip_cm[1] ** 2 + self.slip_cm[2] ** 2)

    def nonzero_spans(self) -> tuple[IntArray, IntArray]:
        """Each point's first and last non-zero sample over its three components (see `pulses`).

        Returns
        -------
        tuple of numpy.ndarray of int
            (first, last) sample indices; -1 for both where there is none.
        """
        spans = [nonzero_spans(offsets, rates) for offsets, rates in zip(self.offsets, self.rates)]
        last = np.max([span[1] for span in spans], axis=0)
        first = np.min([np.where(span[0] >= 0, span[0], np.iinfo(np.int64).max)
                        for span in spans], axis=0)
        return np.where(last >= 0, first, -1), last

    def rise_time_s(self) -> FloatArray:
        """How long each point slips, from its first non-zero sample to the end of its last.

        Returns
        -------
        numpy.ndarray
            Rise time, s; 0 where it never slips.
        """
        return slip_spans_s(*self.nonzero_spans(), self.dt_s)


@dataclass(frozen=True, eq=False)
class SrfFile:
    """An SRF file as read: its version, comment lines (without their '#'), the planes of
    its PLANE block and all its points.

    Its quantities are on grids by name, as a rupture just built gives them: see
    `grid`, `moment_rate` and `to_xarray`.

    Attributes
    ----------
    version : str
        "1.0" or "2.0".
    comments : list of str
        The comment lines, in order, without their '#'.
    planes : list of SrfPlane
        The PLANE block's planes (empty without one).
    points : SrfPoints
        Every point of every POINTS block, in order.
    comment_lines : list of int
        The line of each comment, from 1.

    Examples
    --------
    >>> import io
    >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture, parse_srf
    >>> rupture = build_rupture(Fault.single(length_km=6, width_km=4, cell_km=0.5),
    ...                         RuptureSettings(magnitude=5.5))
    >>> stream = io.BytesIO()
    >>> rupture.write_srf(stream)
    >>> srf = parse_srf(stream.getvalue().decode())
    >>> srf.grid("slip_m").values.shape
    (8, 12)
    """

    version: str
    comments: list[str]
    planes: list[SrfPlane]
    points: SrfPoints
    comment_lines: list[int] = field(default_factory=list)  # the line of each comment

    def __repr__(self) -> str:
        planes = len(self.planes)
        return (f"SrfFile(SRF {self.version}, {planes} plane{'' if planes == 1 else 's'}, "
                f"{len(self.points):,} points, {len(self.comments)} comment "
                f"line{'' if len(self.comments) == 1 else 's'})")

    @property
    def plane_cells(self) -> int:
        """The cells the PLANE block declares: NSTK x NDIP summed over its planes (0 without
        one)."""
        return sum(plane.nstk * plane.ndip for plane in self.planes)

    @property
    def planes_hold_points(self) -> bool:
        """Whether the file has a PLANE block whose cells are its points, one for one: what
        laying the points out on the planes' grids needs."""
        return bool(self.planes) and self.plane_cells == len(self.points)

    def quantities(self) -> list[str]:
        """The names `grid` takes for a file (see `kinematic_rupture.grids.QUANTITIES`).

        Returns
        -------
        list of str
            The quantities an SRF file gives.
        """
        return grids.names(srf=True)

    def grid(self, name: str, plane: int = 0) -> grids.Grid:
        """A quantity on the cells of one plane.

        Parameters
        ----------
        name : str
            One of `quantities()`: ``"slip_m"`` (m), ``"rake_deg"``, ``"start_time_s"``
            (TINIT, s), ``"rise_time_s"`` (s, from the samples), ``"vs_km_s"``,
            ``"density_g_cm3"``, ``"rigidity_pa"`` (NaN where the file gives no VS and
            DEN), ``"depth_km"``, ``"lon"``, ``"lat"``, ``"strike_deg"``, ``"dip_deg"``.
        plane : int
            The plane of the PLANE block, from 0.

        Returns
        -------
        Grid
            Values (rows down dip, columns along strike) with their coordinates in km.

        Raises
        ------
        SettingError
            An unknown name (the message lists the valid ones) or plane.
        SrfError
            A file whose PLANE block's cell counts do not add up to its points.
        """
        checked = grids.checked(name, self.quantities(), "an SRF file")
        return grids.grid(grids.srf_layouts(self), checked, plane,
                          lambda which: grids.srf_values(self, which))

    def moment_rate(self, velocity_model: GenericCrust | LayeredModel | None = None
                    ) -> grids.MomentRate:
        """The moment-rate function on the finest DT of the file.

        Parameters
        ----------
        velocity_model : GenericCrust or LayeredModel, optional
            The crust for the rigidity of points without VS and DEN (version 1.0); the
            generic crust by default.

        Returns
        -------
        MomentRate
            The rate (N m/s) with its time axis (s), from time 0.

        Raises
        ------
        SrfError
            A point that starts before time 0.
        MemoryError
            A rate from 0 to the last sample that needs more memory than is left.
        """
        dt, rate = srf_moment_rate(self, point_rigidity_pa(self.points, velocity_model))
        return grids.MomentRate(dt, rate)

    def to_xarray(self, velocity_model: GenericCrust | LayeredModel | None = None) -> Any:
        """Every quantity of `quantities()` on every plane, and the moment rate, as an
        xarray Dataset.

        Parameters
        ----------
        velocity_model : GenericCrust or LayeredModel, optional
            As for `moment_rate`.

        Returns
        -------
        xarray.Dataset
            Dimensions ``(plane, down_dip, along_strike)`` and ``time``, as
            `Rupture.to_xarray` gives them; planes of fewer cells than the largest are NaN
            beyond their own.

        Raises
        ------
        ImportError
            Without xarray (``pip install xarray``).
        SrfError
            Planes of different cell sizes (`grid` gives each on its own), or a PLANE
            block that does not match the points.
        """
        rigidity = point_rigidity_pa(self.points, velocity_model)
        moment = srf_moment_nm(self, rigidity)
        attrs = {"source": f"SRF {self.version} file", "moment_nm": moment,
                 "mw": moment_magnitude(moment) if moment > 0 else float("nan"),
                 "duration_s": srf_duration_s(self)}
        return grids.dataset(grids.srf_layouts(self), self.quantities(),
                             lambda which: grids.srf_values(self, which),
                             self.moment_rate(velocity_model), attrs)


# ---- Lines ----------------------------------------------------------------------------------


class Lines:
    """A stream of bytes as numbered lines, or as runs of whole lines of numbers. Holds
    at most a chunk and a line of the stream at a time."""

    def __init__(self, stream: IO[bytes]) -> None:
        self.stream = stream
        self.buffer = b""
        self.at = 0  # where the next line starts in the buffer
        self.offset = 0  # where the next line starts in the stream
        self.number = 0  # lines taken
        self.ended = False
        self.comments: list[str] = []
        self.comment_lines: list[int] = []

    def comment(self, text: str) -> None:
        """Keeps the comment line just taken, without its '#'."""
        self.comments.append(text.strip()[1:].strip())
        self.comment_lines.append(self.number)

    def more(self) -> bool:
        """Reads another chunk; False at the end of the stream."""
        if self.ended:
            return False
        data = self.stream.read(CHUNK_BYTES)
        if not data:
            self.ended = True
            return False
        self.buffer = self.buffer[self.at:] + data
        self.at = 0
        return True

    def line(self) -> str | None:
        """The next line, or None at the end."""
        end = self.buffer.find(b"\n", self.at)
        while end < 0:
            if len(self.buffer) - self.at > MAX_LINE_BYTES:
                self.too_long()
            if not self.more():
                break
            end = self.buffer.find(b"\n", self.at)
        if end < 0:
            if self.at == len(self.buffer):
                return None
            end = len(self.buffer)
        raw = self.buffer[self.at:end]
        self.take(min(end + 1, len(self.buffer)) - self.at)
        if len(raw) > MAX_LINE_BYTES:
            self.too_long()
        if not raw.isascii():
            raise SrfError(f"line {self.number}: holds characters that are not ASCII, as no "
                           f"SRF file does")
        return raw.decode("ascii")

    def numbers(self) -> tuple[int, int, bytes] | None:
        """The run of whole lines from here on that holds neither '#' nor 'P' (no comment,
        PLANE or POINTS line), as (its first line's number, its offset, its bytes); None
        when the next line is not such a line."""
        if self.at == len(self.buffer) and not self.more():
            return None
        end = self.buffer.rfind(b"\n", self.at) + 1
        if self.ended and end < len(self.buffer):
            end = len(self.buffer)
        for mark in (b"#", b"P"):
            found = self.buffer.find(mark, self.at, end)
            if found >= 0:
                end = self.buffer.rfind(b"\n", self.at, found) + 1
        run = self.buffer[self.at:end] if end > self.at else b""
        if not run or not run.isascii():
            return None
        first, offset = self.number + 1, self.offset
        self.take(len(run))
        return first, offset, run

    def take(self, size: int) -> None:
        """Moves past `size` bytes of whole lines (the last may lack its newline)."""
        self.number += self.buffer.count(b"\n", self.at, self.at + size) + (
            0 if self.buffer[self.at + size - 1:self.at + size] == b"\n" else 1)
        self.at += size
        self.offset += size

    def too_long(self) -> None:
        raise SrfError(f"line {self.number + 1}: is longer than {MAX_LINE_BYTES >> 20} MiB, as "
                       f"no line of an SRF file is")


def numbers_of(text: bytes, first_line: int) -> FloatArray:
    """The numbers of whole lines of text, all finite, or a refusal naming the line."""
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        try:
            values = np.fromstring(text.decode("ascii"), sep=" ")
        except (DeprecationWarning, ValueError):
            values = None
    if values is not None and np.isfinite(values).all():
        return values
    for number, line in enumerate(text.split(b"\n"), start=first_line):
        for word in line.decode("ascii").split():
            if NUMBER.fullmatch(word) is None:
                raise SrfError(f"line {number}: holds {word[:40]!r}, not a number")
            if not np.isfinite(float(word)):
                raise SrfError(f"line {number}: holds {word[:40]}, not a finite number")
    raise SrfError(f"line {first_line}: holds something that is not a number")


NUMBER = re.compile(r"[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?|[-+]?(nan|inf)", re.IGNORECASE)


# ---- The file -------------------------------------------------------------------------------


def read_srf(path: str | os.PathLike[str]) -> SrfFile:
    """Reads an SRF file of version 1.0 or 2.0, of this package or any other writer.

    Any number of planes and POINTS blocks, and comment lines anywhere after the version
    line. The file is read a few MiB at a time, in memory bounded by what it holds.

    Parameters
    ----------
    path : str or os.PathLike
        The file; one that is not a regular file (a device, a pipe, a directory) is
        refused unread.

    Returns
    -------
    SrfFile
        Its planes, points and comments, and its quantities on grids.

    Raises
    ------
    SrfError
        A file that is not SRF as this reader knows it: cut short, a count that its
        values do not bear out, a value that is not a finite number or beyond what is
        physical, a line over 1 MiB; the message names the line.
    OSError
        A file that cannot be opened.

    Examples
    --------
    >>> from kinematic_rupture import read_srf
    >>> srf = read_srf("output/kinematic_rupture.srf")  # doctest: +SKIP
    >>> srf.grid("slip_m", plane=0).values  # doctest: +SKIP
    """
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(descriptor, "rb") as stream:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise SrfError("is not a regular file")
        return parse_stream(stream)


def parse_srf(text: str) -> SrfFile:
    """Reads an SRF file's text, as `read_srf` reads a file.

    Parameters
    ----------
    text : str
        The file's text.

    Returns
    -------
    SrfFile

    Raises
    ------
    SrfError
        Text that is not SRF as this reader knows it.
    """
    return parse_stream(io.BytesIO(text.encode()))


def parse_stream(stream: IO[bytes]) -> SrfFile:
    lines = Lines(stream)
    if not lines.more():
        raise SrfError("is empty")
    version = lines.buffer[:VERSION_LINE_BYTES].split(b"\n")[0].decode("ascii", "replace").strip()
    if version not in VERSIONS:
        raise SrfError(f"starts with {version[:40]!r}, not a version (1.0 or 2.0)")
    lines.line()
    planes: list[SrfPlane] = []
    text = content_line(lines)
    if text is not None and text.split()[:1] == ["PLANE"]:
        planes = parse_planes(lines, text)
        text = content_line(lines)
    blocks: list[PointBlock] = []
    while text is not None:
        words = text.split()
        if words[0] != "POINTS" or len(words) != 2 or not words[1].isdigit():
            raise SrfError(f"line {lines.number}: has {text.strip()[:40]!r} where a 'POINTS NP' "
                           f"line belongs")
        block, text = read_block(lines, int(words[1]), version, len(blocks) + 1)
        blocks.append(block)
    if not blocks:
        raise SrfError("has no POINTS block")
    return SrfFile(version, lines.comments, planes, collect_points(blocks, version),
                   lines.comment_lines)


def content_line(lines: Lines) -> str | None:
    """The next line that is neither blank nor a comment (which is kept)."""
    while (text := lines.line()) is not None:
        stripped = text.strip()
        if stripped.startswith("#"):
            lines.comment(stripped)
        elif stripped:
            return text
    return None


def parse_planes(lines: Lines, text: str) -> list[SrfPlane]:
    words = text.split()
    if len(words) != 2 or not words[1].isdigit() or int(words[1]) < 1:
        raise SrfError(f"line {lines.number}: has {text.strip()[:40]!r}, not 'PLANE N' with N a "
                       f"positive count")
    planes = []
    for number in range(1, int(words[1]) + 1):
        first, second = content_line(lines), content_line(lines)
        values = f"{first or ''} {second or ''}".split()
        if second is None or len(values) != 11:
            raise SrfError(f"line {lines.number}: plane {number} of the PLANE block is not two "
                           f"lines of 6 and 5 values")
        try:
            numbers = [float(value) for value in values]
        except ValueError:
            raise SrfError(f"line {lines.number}: plane {number} of the PLANE block holds "
                           f"something not a number") from None
        for value, (low, high), name in zip(numbers, PLANE_BOUNDS, PLANE_NAMES):
            if not low <= value <= high:
                raise SrfError(f"line {lines.number}: plane {number} of the PLANE block has "
                               f"{name} {value:g}; it must be from {low:g} to {high:g}")
        elon, elat, nstk, ndip, length, width, stk, dip, dtop, shyp, dhyp = numbers
        if not (nstk.is_integer() and ndip.is_integer()):
            raise SrfError(f"line {lines.number}: plane {number} has cell counts {nstk:g} and "
                           f"{ndip:g}, not whole numbers")
        planes.append(SrfPlane(elon, elat, int(nstk), int(ndip), length, width, stk, dip, dtop,
                               shyp, dhyp))
    return planes


def planes_from_header(header: list[str]) -> list[SrfPlane]:
    """The planes of a PLANE block's lines (`PLANE N` first), as a file would give them."""
    lines = Lines(io.BytesIO("\n".join(header).encode() + b"\n"))
    return parse_planes(lines, content_line(lines) or "")


PLANE_NAMES = ("ELON", "ELAT", "NSTK", "NDIP", "LEN", "WID", "STK", "DIP", "DTOP", "SHYP", "DHYP")


# ---- POINTS blocks --------------------------------------------------------------------------


@dataclass(frozen=True)
class Piece:
    """Lines of a block's numbers read at once: where they are, and the index in the
    block of their first value."""

    line: int
    offset: int
    size: int
    first: int


def read_block(lines: Lines, count: int, version: str,
               number: int) -> tuple["PointBlock", str | None]:
    """The POINTS block whose POINTS line was just read, and the next POINTS line (None at
    the end of the file)."""
    header_line = lines.number
    pieces: list[Piece] = []
    parts: list[FloatArray] = []
    size = 0
    following = None
    while True:
        run = lines.numbers()
        if run is None:
            offset = lines.offset
            text = lines.line()
            if text is None:
                break
            stripped = text.strip()
            if stripped.startswith("#"):
                lines.comment(stripped)
                continue
            if stripped.split()[:1] == ["POINTS"]:
                following = text
                break
            run = (lines.number, offset, text.encode())
        first_line, offset, data = run
        values = numbers_of(data, first_line)
        pieces.append(Piece(first_line, offset, len(data), size))
        parts.append(values)
        size += values.size

    def where(index: int) -> str:
        return f"line {line_of_value(lines.stream, pieces, index)}"

    values = np.concatenate(parts) if parts else np.empty(0)
    return point_values(count, values, version, number, header_line, where), following


def line_of_value(stream: IO[bytes], pieces: list[Piece], index: int) -> int:
    """The line that holds value `index` of a block read in `pieces` (read again)."""
    piece = next((p for p in reversed(pieces) if p.first <= index), pieces[0])
    back = stream.tell()
    stream.seek(piece.offset)
    data = stream.read(piece.size)
    stream.seek(back)
    at = piece.first
    for number, line in enumerate(data.split(b"\n"), start=piece.line):
        at += len(line.split())
        if index < at:
            return number
    return piece.line + data.count(b"\n")


@dataclass(frozen=True, eq=False)
class PointBlock:
    """One POINTS block: each point's fields (a row of point and slip fields), where its
    samples start in `values`, and how many samples each component has."""

    headers: FloatArray
    sample_starts: IntArray
    counts: IntArray
    values: FloatArray


def point_values(count: int, values: FloatArray, version: str, block: int, header_line: int,
                 where: Callable[[int], str]) -> PointBlock:
    """The block's `count` points, checked against its values and against what is
    physical."""
    fields = POINT_FIELDS[version] + SLIP_FIELDS
    size = values.size
    if count * fields > size:
        raise SrfError(f"line {header_line}: POINTS {count} declares more points than its "
                       f"{size} values hold ({fields} values or more each)")
    starts = []
    at = 0
    first_count = POINT_FIELDS[version] + 2
    for k in range(count):
        if at + fields > size:
            raise SrfError(f"{where(size - 1)}: POINTS block {block} ends inside point {k + 1} "
                           f"of {count}")
        announced = values[at + first_count:at + fields:2].tolist()
        if not all(n >= 0 and n.is_integer() for n in announced):
            raise SrfError(f"{where(at)}: point {k + 1} of POINTS block {block} has sample counts "
                           f"{', '.join(f'{n:g}' for n in announced)}, not whole numbers")
        samples = int(sum(announced))
        if samples > size - at - fields:
            raise SrfError(f"{where(at)}: point {k + 1} of POINTS block {block} declares "
                           f"{samples:,} slip-rate samples; its block holds "
                           f"{size - at - fields:,} more values")
        starts.append(at)
        at += fields + samples
    header_starts = np.array(starts, dtype=np.int64)
    headers = values[header_starts[:, None] + np.arange(fields)].reshape(count, fields)
    sample_starts: IntArray = header_starts + fields
    if at < size:
        raise SrfError(f"{where(at)}: POINTS block {block} has {size - at} values more than its "
                       f"{count} points and their sample counts call for")
    point_bounds(headers, version, block, lambda k: where(int(sample_starts[k]) - fields))
    sample_bounds(values, headers, sample_starts, block, where)
    counts: IntArray = headers[:, POINT_FIELDS[version] + 2::2].astype(np.int64)
    dt = headers[:, DT_FIELD]
    unusable = (counts.sum(axis=1) > 0) & ~(dt > 0)
    if unusable.any():
        k = int(np.argmax(unusable))
        raise SrfError(f"{where(int(sample_starts[k]) - fields)}: point {k + 1} of POINTS block "
                       f"{block} has DT {dt[k]:g} s; a point with slip-rate samples needs a "
                       f"positive sample interval")
    return PointBlock(headers, sample_starts, counts, values)


def point_bounds(headers: FloatArray, version: str, block: int,
                 where: Callable[[int], str]) -> None:
    """Refuses the first point with a value beyond what is physical."""
    for column, name in enumerate(FIELD_NAMES[version] + SLIP_NAMES):
        if name not in POINT_BOUNDS:
            continue
        low, high = POINT_BOUNDS[name]
        outside = (headers[:, column] < low) | (headers[:, column] > high)
        if outside.any():
            k = int(np.argmax(outside))
            raise SrfError(f"{where(k)}: point {k + 1} of POINTS block {block} has {name} "
                           f"{headers[k, column]:g}; it must be from {low:g} to {high:g}")


def sample_bounds(values: FloatArray, headers: FloatArray, sample_starts: IntArray, block: int,
                  where: Callable[[int], str]) -> None:
    """Refuses the first sample that carries more than MAX_SLIP_CM in its DT."""
    fields = headers.shape[1]
    is_sample = np.ones(values.size, dtype=bool)
    is_sample[((sample_starts - fields)[:, None] + np.arange(fields)).ravel()] = False
    lengths = np.diff(np.append(sample_starts, values.size + fields)) - fields
    dt = np.repeat(headers[:, DT_FIELD], lengths)
    beyond = np.abs(values[is_sample]) * dt > MAX_SLIP_CM
    if beyond.any():
        position = int(np.flatnonzero(is_sample)[np.argmax(beyond)])
        k = int(np.searchsorted(sample_starts, position, side="right")) - 1
        raise SrfError(f"{where(position)}: point {k + 1} of POINTS block {block} has a slip rate "
                       f"of {values[position]:g} cm/s, which carries more than {MAX_SLIP_CM:g} cm "
                       f"in one DT")


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
    nan = np.full(len(headers), np.nan)
    return SrfPoints(
        lon=headers[:, 0], lat=headers[:, 1], depth_km=headers[:, 2], strike_deg=headers[:, 3],
        dip_deg=headers[:, 4], area_cm2=headers[:, 5], tinit_s=headers[:, 6], dt_s=headers[:, 7],
        vs_cm_s=headers[:, 8] if version == "2.0" else nan,
        density_g_cm3=headers[:, 9] if version == "2.0" else nan,
        rake_deg=headers[:, fields], slip_cm=(headers[:, fields + 1], headers[:, fields + 3],
                                              headers[:, fields + 5]),
        offsets=(rows[0][0], rows[1][0], rows[2][0]), rates=(rows[0][1], rows[1][1], rows[2][1]),
        block=block_of)
