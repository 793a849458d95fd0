"""Fault geometry: planar segments charted as square cells, and where each cell lies.

A plane is given, as a Standard Rupture Format file gives it, by the centre of its top
edge (longitude, latitude in degrees, WGS84), its length along strike, its width down
dip, strike and dip (Aki and Richards: the fault dips to the right of its strike
direction), and the depth of its top edge. A fault is one or more planes in order along
strike, all charted in square cells of one size. Rows of a plane's cells run down dip and
columns along strike; the fault's subfaults are numbered plane by plane, along strike
fastest, then down dip, which is the order of a Standard Rupture Format file.

Cell centres on the Earth come from WGS84 geodesics (Karney 2013, through pyproj): along
strike from the top edge's centre, then horizontally by w cos(dip) towards the local
strike direction plus 90 degrees, at depth DTOP + w sin(dip). Each cell's strike is the
geodesics' own there, 90 degrees to the left of the way down dip.
"""

import functools
import math
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, fields

import numpy as np
import numpy.typing as npt

with warnings.catch_warnings():
    # Geodesics need none of PROJ's data files. A pyproj that cannot find them (Debian's,
    # in a virtual environment that sees the system's packages) says so when imported,
    # which would add a line to every message of the command.
    warnings.filterwarnings("ignore", message="Valid PROJ data directory not found",
                            category=UserWarning)
    from pyproj import Geod

from . import checks
from .checks import SettingError

__all__ = ["Fault", "Plane", "planes_from_trace"]

FloatArray = npt.NDArray[np.float64]

WGS84 = Geod(ellps="WGS84")
# Sizes within this relative distance of a whole number of cells count as whole.
WHOLE_CELLS_TOLERANCE = 1e-9
# The longest ruptures recorded ran about 1,300 to 1,600 km (Sumatra-Andaman 2004); a plane,
# or a fault of several, longer than this is no earthquake's.
MAX_LENGTH_KM = 2000.0
# The widest ruptures, of subduction megathrusts (Chile 1960, Sumatra 2004, Tohoku 2011),
# are about 200 to 300 km down dip.
MAX_WIDTH_KM = 500.0
# No earthquake starts deeper than about 700 km, the base of the mantle transition zone.
MAX_DEPTH_KM = 700.0
# Cells smaller than a metre resolve frequencies no wave-propagation code reaches (a 1 m
# cell already resolves a kilohertz): a smaller size is a mistake in its unit.
MIN_CELL_KM = 1e-3


LENGTH_REASON = "km: the longest ruptures recorded ran about 1,500 km"
WIDTH_REASON = "km: the widest ruptures recorded reach about 300 km down dip"
DEPTH_REASON = "km: no earthquake starts deeper than about 700 km"


@dataclass(frozen=True)
class Plane:
    """One planar segment of a fault, placed as an SRF file's PLANE block places it.

    Every value is checked as the plane is made: a `SettingError` names the first that
    cannot be used. Strike and longitude (in [-360, 360]) are wrapped into [0, 360) and
    [-180, 180), rake into (-180, 180].

    Parameters
    ----------
    length_km : float
        Length along strike, km, at most 2000.
    width_km : float
        Width down dip, km, at most 500.
    lon, lat : float
        The centre of the top edge, degrees (WGS84).
    strike_deg : float
        Strike, degrees clockwise from north.
    dip_deg : float
        Dip, degrees in (0, 90], to the right of the strike direction (Aki and Richards).
    rake_deg : float
        Rake, degrees.
    top_depth_km : float
        Depth of the top edge, km below the surface, at most 700.

    Raises
    ------
    SettingError
        A value that is not a finite number or lies beyond its bounds.

    Examples
    --------
    >>> from kinematic_rupture import Plane
    >>> Plane(length_km=30, width_km=15, dip_deg=45, strike_deg=-10).strike_deg
    350.0
    """

    length_km: float = 60.0
    width_km: float = 20.0
    lon: float = -117.5
    lat: float = 34.2
    strike_deg: float = 295.0
    dip_deg: float = 90.0
    rake_deg: float = 180.0
    top_depth_km: float = 0.0

    def __post_init__(self) -> None:
        checked = {
            "length_km": checks.at_most("length_km", checks.positive("length_km", self.length_km, "km"),
                                        MAX_LENGTH_KM, LENGTH_REASON),
            "width_km": checks.at_most("width_km", checks.positive("width_km", self.width_km, "km"),
                                       MAX_WIDTH_KM, WIDTH_REASON),
            "lon": checks.wrapped_longitude("lon", self.lon),
            "lat": checks.within("lat", self.lat, -90.0, 90.0, "a latitude"),
            "strike_deg": checks.wrapped_degrees("strike_deg", self.strike_deg),
            "dip_deg": checks.within("dip_deg", self.dip_deg, 0.0, 90.0, "a dip", low_open=True),
            "rake_deg": checks.wrapped_rake("rake_deg", self.rake_deg),
            "top_depth_km": checks.at_most("top_depth_km", checks.non_negative(
                "top_depth_km", self.top_depth_km, "km below the surface"), MAX_DEPTH_KM,
                DEPTH_REASON),
        }
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    @property
    def bottom_depth_km(self) -> float:
        """Depth of the bottom edge, km: the top's plus the width times sin(dip)."""
        return self.top_depth_km + self.width_km * math.sin(math.radians(self.dip_deg))


def smallest_cell(cell_km: float) -> float:
    if cell_km < MIN_CELL_KM:
        raise SettingError("cell_km", cell_km, f"must be at least {MIN_CELL_KM:g} km: smaller "
                           f"cells resolve frequencies no wave-propagation code reaches")
    return cell_km


def whole_cells(setting: str, size_km: float, cell_km: float) -> int:
    """How many cells of `cell_km` make `size_km`, which must be a whole number of them."""
    count = round(size_km / cell_km)
    if count < 1 or abs(count * cell_km - size_km) > WHOLE_CELLS_TOLERANCE * size_km:
        raise SettingError(setting, size_km,
                           f"must be a whole number of {checks.quote(cell_km)} km cells")
    return count


@dataclass(frozen=True)
class Fault:
    """Planes in order along strike, charted in square cells of one size.

    A plane's cells are numbered in rows down dip (top row first) and columns along
    strike; the fault's subfaults plane by plane, along strike fastest, which is the
    order of an SRF file and of every per-subfault array of a `Rupture`.

    Parameters
    ----------
    planes : tuple of Plane
        The planes, in order along strike (the fault dips to the right of that
        direction); by default one plane of 60 km x 20 km.
    cell_km : float
        The side of the square cells, km, at least 0.001; it must divide every plane's
        length and width.

    Raises
    ------
    SettingError
        No plane, a fault longer than 2000 km, or a plane that is not a whole number of
        cells (named as ``planes[N].length_km`` on a fault of several planes).

    Examples
    --------
    >>> from kinematic_rupture import Fault
    >>> fault = Fault.single(length_km=12, width_km=6, cell_km=0.5, dip_deg=60)
    >>> fault.cells(0), fault.subfault_count
    ((12, 24), 288)
    """

    planes: tuple[Plane, ...] = (Plane(),)
    cell_km: float = 0.1

    def __post_init__(self) -> None:
        object.__setattr__(self, "cell_km", smallest_cell(checks.positive("cell_km", self.cell_km, "km")))
        planes = tuple(self.planes)
        if not planes:
            raise SettingError("planes", "none", "a fault needs at least one plane")
        length = sum(plane.length_km for plane in planes if isinstance(plane, Plane))
        if length > MAX_LENGTH_KM:
            raise SettingError("planes", f"of {length:g} km in all",
                               f"a fault must be at most {MAX_LENGTH_KM:g} {LENGTH_REASON}")
        for number, plane in enumerate(planes):
            if not isinstance(plane, Plane):
                raise SettingError(f"planes[{number}]", plane, "must be a Plane")
            for name in ("length_km", "width_km"):
                try:
                    whole_cells(name, getattr(plane, name), self.cell_km)
                except SettingError as refusal:
                    raise self.plane_refusal(number, refusal) from None
        object.__setattr__(self, "planes", planes)

    def plane_refusal(self, number: int, refusal: SettingError) -> SettingError:
        """A plane's refusal, named by the plane when the fault has several.

        Parameters
        ----------
        number : int
            The plane, from 0.
        refusal : SettingError
            The plane's own refusal.

        Returns
        -------
        SettingError
            `refusal` for a fault of one plane; else the same with its setting named
            ``planes[NUMBER].SETTING``.
        """
        if len(self.planes) == 1:
            return refusal
        return SettingError(f"planes[{number}].{refusal.setting}", refusal.value,
                            refusal.requirement)

    @classmethod
    def single(cls, cell_km: float = 0.1, **plane: float) -> "Fault":
        """A fault of one plane.

        Parameters
        ----------
        cell_km : float
            The side of the cells, km.
        **plane : float
            The plane's values, as `Plane` takes them (``length_km=30, dip_deg=45``).

        Returns
        -------
        Fault
        """
        return cls((Plane(**plane),), cell_km)

    @classmethod
    def for_magnitude(cls, magnitude: float, cell_km: float = 0.1, **plane: float) -> "Fault":
        """A fault of one plane sized for a magnitude by Leonard's (2010) relations and
        placed at the depth of Kaklamanos et al. (2011) within the seismogenic crust
        (`scaling.placed_dimensions_km`).

        Parameters
        ----------
        magnitude : float
            Moment magnitude, from -2 to 10.
        cell_km : float
            The side of the cells, km; each side is rounded to a whole number of them.
        **plane : float
            The plane's other values (its rake chooses Leonard's strike-slip or dip-slip
            relations); a top depth given here is kept.

        Returns
        -------
        Fault

        Raises
        ------
        SettingError
            A magnitude whose fault would be larger than 2000 km x 500 km.
        """
        from .scaling import checked_magnitude, placed_dimensions_km
        given = Plane(**plane)
        cell = smallest_cell(checks.positive("cell_km", cell_km, "km"))
        length, width, top = placed_dimensions_km(checked_magnitude(magnitude), given.rake_deg,
                                                  given.dip_deg)
        if length > MAX_LENGTH_KM or width > MAX_WIDTH_KM:
            raise SettingError("magnitude", magnitude,
                               f"Leonard's (2010) relations give it a fault of {length:.4g} km x "
                               f"{width:.4g} km, beyond the largest of {MAX_LENGTH_KM:g} km x "
                               f"{MAX_WIDTH_KM:g} km; give the fault's length and width")
        sides = {name: round(max(1, round(size / cell)) * cell, 9)
                 for name, size in (("length_km", length), ("width_km", width))}
        placed = {"top_depth_km": round(top, 3), **plane, **sides}
        return cls.single(cell_km, **placed)

    def cells(self, number: int = 0) -> tuple[int, int]:
        """The cells of one plane.

        Parameters
        ----------
        number : int
            The plane, from 0.

        Returns
        -------
        tuple of int
            (rows down dip, columns along strike).
        """
        plane = self.planes[number]
        return (round(plane.width_km / self.cell_km), round(plane.length_km / self.cell_km))

    def plane_starts(self) -> list[int]:
        """The index of each plane's first subfault, and the number of subfaults last.

        Returns
        -------
        list of int
            N + 1 indices for N planes.
        """
        starts = [0]
        for number in range(len(self.planes)):
            rows, columns = self.cells(number)
            starts.append(starts[-1] + rows * columns)
        return starts

    @property
    def subfault_count(self) -> int:
        """The number of subfaults (cells) of every plane."""
        return self.plane_starts()[-1]

    @property
    def length_km(self) -> float:
        """The planes' lengths added up, km."""
        return sum(plane.length_km for plane in self.planes)

    @property
    def cell_area_m2(self) -> float:
        """The area of one cell, m^2."""
        return (self.cell_km * 1e3) ** 2

    def on_plane(self, values: FloatArray, number: int) -> FloatArray:
        """One plane's part of a per-subfault array, as a grid (a view, not a copy).

        Parameters
        ----------
        values : numpy.ndarray
            One value per subfault, in subfault order.
        number : int
            The plane, from 0.

        Returns
        -------
        numpy.ndarray
            (rows down dip, columns along strike). `Rupture.grid` gives the same with
            its coordinates.
        """
        starts = self.plane_starts()
        return values[starts[number]:starts[number + 1]].reshape(self.cells(number))

    def row_depths_km(self, number: int) -> FloatArray:
        """The depth of the centres of one plane's rows, km, top row first.

        Parameters
        ----------
        number : int
            The plane, from 0.

        Returns
        -------
        numpy.ndarray
        """
        plane = self.planes[number]
        down = (np.arange(self.cells(number)[0], dtype=np.float64) + 0.5) * self.cell_km
        depth: FloatArray = plane.top_depth_km + down * math.sin(math.radians(plane.dip_deg))
        return depth

    def depths_km(self) -> FloatArray:
        """The depth of every subfault's centre, km, in subfault order.

        Returns
        -------
        numpy.ndarray
        """
        return np.concatenate([np.repeat(self.row_depths_km(number), self.cells(number)[1])
                               for number in range(len(self.planes))])

    def per_plane(self, values: Sequence[float]) -> FloatArray:
        """One value per plane, given to each of its subfaults.

        Parameters
        ----------
        values : sequence of float
            One value per plane.

        Returns
        -------
        numpy.ndarray
            One value per subfault, in subfault order.
        """
        return np.concatenate([np.full(math.prod(self.cells(number)), float(value))
                               for number, value in enumerate(values)])

    def positions(self) -> tuple[FloatArray, FloatArray]:
        """Where every subfault's centre lies.

        Returns
        -------
        lon, lat : numpy.ndarray
            Degrees (WGS84), in subfault order; read-only, computed once per process for
            each fault.
        """
        lon, lat, _ = fault_points(self)
        return lon, lat

    def strikes(self) -> FloatArray:
        """The strike of every subfault where it lies.

        Returns
        -------
        numpy.ndarray
            Degrees in [0, 360), in subfault order: the geodesics' azimuth along strike
            turns along a plane, by about a degree over 400 km.
        """
        return fault_points(self)[2]

    def settings(self) -> dict[str, object]:
        """The fault as plain values, as a settings file holds it.

        Returns
        -------
        dict
            ``cell_km`` and ``planes``, a list of each plane's values by name.
        """
        return {"cell_km": self.cell_km,
                "planes": [{field.name: getattr(plane, field.name) for field in fields(Plane)}
                           for plane in self.planes]}


def cell_centres(plane: Plane, rows: int, columns: int,
                 cell_km: float) -> tuple[FloatArray, FloatArray]:
    """Longitude and latitude of a plane's cell centres, as (rows, columns) grids."""
    lon, lat, _ = cell_points(plane, rows, columns, cell_km)
    return lon, lat


def cell_points(plane: Plane, rows: int, columns: int,
                cell_km: float) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Longitude, latitude and strike (degrees in [0, 360)) of a plane's cell centres, as
    (rows, columns) grids. A cell's strike is the direction of its row where it lies: at
    right angles, to the left, of the geodesic that came down dip to it."""
    along_m = ((np.arange(columns) + 0.5) * cell_km - 0.5 * plane.length_km) * 1e3
    backwards = along_m < 0
    azimuth = np.where(backwards, plane.strike_deg + 180.0, plane.strike_deg)
    top_lon, top_lat, back = WGS84.fwd(np.full(columns, plane.lon), np.full(columns, plane.lat),
                                       azimuth, np.abs(along_m))
    # The strike direction where each column meets the top edge: the way back to the
    # centre for columns behind it, the way on for columns ahead.
    strike_here = np.where(backwards, back, back + 180.0)
    across_m = (np.arange(rows) + 0.5) * cell_km * math.cos(math.radians(plane.dip_deg)) * 1e3
    lon, lat, back_up = WGS84.fwd(np.broadcast_to(top_lon, (rows, columns)),
                                  np.broadcast_to(top_lat, (rows, columns)),
                                  np.broadcast_to(strike_here + 90.0, (rows, columns)),
                                  np.broadcast_to(across_m[:, None], (rows, columns)))
    # The geodesic arrives heading down dip, the way back up plus 180 degrees; the strike is
    # 90 degrees to its left.
    strike = np.mod(np.asarray(back_up, dtype=np.float64) + 90.0, 360.0)
    return np.asarray(lon, dtype=np.float64), np.asarray(lat, dtype=np.float64), strike


def per_segment(setting: str, value: float | Sequence[float], segments: int) -> list[float]:
    """A value shared by every segment, or one per segment."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return [float(value)] * segments
    if not isinstance(value, Sequence) or isinstance(value, str):
        raise SettingError(setting, repr(value), "must be a number, or a list of one number "
                           "for each segment")
    values = list(value)
    if len(values) != segments:
        raise SettingError(setting, value, f"must be one value, or one for each of the "
                           f"{segments} segments")
    return [checks.number(setting, item) for item in values]


def planes_from_trace(trace: Sequence[tuple[float, float]], cell_km: float,
                      dip_deg: float | Sequence[float] = 90.0,
                      width_km: float | Sequence[float] = 20.0,
                      top_depth_km: float | Sequence[float] = 0.0,
                      rake_deg: float | Sequence[float] = 180.0) -> tuple[Plane, ...]:
    """One plane for each segment of a surface trace.

    Segments follow one another edge to edge from the first vertex, each along the
    geodesic towards the next vertex and as long as the whole number of cells nearest to
    its length; so a vertex may move by up to half a cell for every segment before it.

    Parameters
    ----------
    trace : sequence of (float, float)
        (lon, lat) vertices in degrees, in order along strike: the top edge of a fault
        that dips to the right of that direction.
    cell_km : float
        The side of the cells the fault will have, km.
    dip_deg, width_km, top_depth_km, rake_deg : float or sequence of float
        Degrees and km: one value for every segment, or one per segment.

    Returns
    -------
    tuple of Plane
        For ``Fault(planes, cell_km)``.

    Raises
    ------
    SettingError
        Fewer than two vertices, a latitude beyond [-90, 90], a segment shorter than half
        a cell, or a value that is not a number (named as ``trace`` or by the setting).

    Examples
    --------
    >>> from kinematic_rupture import Fault, planes_from_trace
    >>> trace = [(-117.5, 34.2), (-117.6, 34.25), (-117.7, 34.35)]
    >>> planes = planes_from_trace(trace, cell_km=0.5, width_km=10)
    >>> len(Fault(planes, cell_km=0.5).planes)
    2
    """
    points = [checks.pair("trace", vertex) for vertex in trace]
    for number, (lon, lat) in enumerate(points, start=1):
        if not -90.0 <= lat <= 90.0:
            raise SettingError("trace", f"{checks.quote(lon)},{checks.quote(lat)}",
                               f"vertex {number} has latitude {checks.quote(lat)}; a latitude "
                               f"must be in [-90, 90]")
        if not -checks.MAX_LONGITUDE_DEG <= lon <= checks.MAX_LONGITUDE_DEG:
            raise SettingError("trace", f"{checks.quote(lon)},{checks.quote(lat)}",
                               f"vertex {number} has longitude {checks.quote(lon)}; a longitude "
                               f"must be in [-{checks.MAX_LONGITUDE_DEG:g}, {checks.MAX_LONGITUDE_DEG:g}]")
    if len(points) < 2:
        raise SettingError("trace", len(points), "a trace needs at least two vertices")
    count = len(points) - 1
    values = {name: per_segment(name, value, count) for name, value in (
        ("dip_deg", dip_deg), ("width_km", width_km), ("top_depth_km", top_depth_km),
        ("rake_deg", rake_deg))}
    planes = []
    start_lon, start_lat = points[0]
    for number, (lon, lat) in enumerate(points[1:]):
        azimuth, _, distance_m = WGS84.inv(start_lon, start_lat, lon, lat)
        cells = round(distance_m / 1e3 / cell_km)
        if cells < 1:
            raise SettingError("trace", f"vertex {number + 2}", f"is within half a cell of the "
                               f"one before it; segments must be at least {cell_km:g} km long")
        length_km = round(cells * cell_km, 9)
        centre_lon, centre_lat, back = WGS84.fwd(start_lon, start_lat, azimuth, 500.0 * length_km)
        planes.append(Plane(length_km=length_km, lon=centre_lon, lat=centre_lat,
                            strike_deg=back + 180.0,
                            **{name: column[number] for name, column in values.items()}))
        start_lon, start_lat, _ = WGS84.fwd(start_lon, start_lat, azimuth, 1e3 * length_km)
    return tuple(planes)


@functools.lru_cache(maxsize=8)
def fault_points(fault: Fault) -> tuple[FloatArray, FloatArray, FloatArray]:
    """Longitude, latitude and strike of every subfault, in subfault order; read-only."""
    grids = [cell_points(plane, *fault.cells(number), fault.cell_km)
             for number, plane in enumerate(fault.planes)]
    lon, lat, strike = (np.concatenate([grid[which].ravel() for grid in grids])
                        for which in range(3))
    for points in (lon, lat, strike):
        points.flags.writeable = False
    return lon, lat, strike
