"""The surface a rupture file slips on, as flat rectangles in a local frame, and the
distances from it that ground-motion models take.

Each plane of an SRF file (from its PLANE block, or from its points where that block is
missing or does not match them) becomes a `Rectangle`: its four corners, found by WGS84
geodesics from the centre of its top edge as the file places its points, in a local frame
of km east (x), km north (y) and km down (z) about the fault. The frame is the azimuthal
equidistant projection about the mean of the planes' top centres, which keeps distances
from that centre exact and distorts others by (d / 6371 km)^2, 0.1% at 200 km.

The NGA-West2 distances (Ancheta et al. 2014) are measured to the whole surface of the
planes: Rrup to the nearest point of any rectangle, Rjb to the nearest point of their
horizontal projections (0 above them). Rx and Ry0 come from the plane nearest the station
(smallest Rjb, the first on ties): Rx is the horizontal distance from the line through that
plane's top edge, positive on the side it dips to (to the right of strike, also for a
vertical plane); Ry0 is the distance off the nearer end of the line from the fault's first
top corner to its last, along that line (0 between them). For one plane these are the
definitions; for a bent fault they stand in for the generalised coordinates GC2 of
Spudich and Chiou (2015), which this module does not compute.
"""

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .geometry import WGS84
from .srf import SrfFile, SrfPlane

__all__ = ["surface_of", "distances", "hypocentre_depth_km", "Surface", "Rectangle",
           "Distances", "SurfaceError"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

# Points of one top row lie at one depth to within this (km) when a plane is found from
# the points of a file without a usable PLANE block.
ROW_DEPTH_TOLERANCE_KM = 1e-4


class SurfaceError(ValueError):
    """A file whose points cannot be laid out as rectangular planes of cells."""


@dataclass(frozen=True, eq=False)
class Rectangle:
    """One plane of a rupture's surface in the local frame.

    Attributes
    ----------
    corners : numpy.ndarray
        (4, 3): top start, top end, bottom end, bottom start; km east, north, down.
    strike_deg, dip_deg : float
        Its orientation, degrees.
    length_km, width_km : float
        Its size, km.
    rows, columns : int
        Its cells down dip and along strike.
    first : int
        Its first point's index in the file; it holds rows x columns of them.
    """

    corners: FloatArray
    strike_deg: float
    dip_deg: float
    length_km: float
    width_km: float
    rows: int
    columns: int
    first: int

    @property
    def along(self) -> FloatArray:
        """The vector from the top start corner to the top end corner, km."""
        return self.corners[1] - self.corners[0]

    @property
    def down(self) -> FloatArray:
        """The vector from the top start corner down dip to the bottom start corner, km."""
        return self.corners[3] - self.corners[0]

    @property
    def top_depth_km(self) -> float:
        """The depth of its top edge, km."""
        return float(self.corners[0, 2])

    @property
    def bottom_depth_km(self) -> float:
        """The depth of its bottom edge, km."""
        return float(self.corners[3, 2])

    def cell_centres(self) -> FloatArray:
        """The centres of its cells in the local frame.

        Returns
        -------
        numpy.ndarray
            (rows, columns, 3), km east, north, down.
        """
        u = (np.arange(self.columns) + 0.5) / self.columns
        v = (np.arange(self.rows) + 0.5) / self.rows
        return (self.corners[0] + v[:, None, None] * self.down
                + u[None, :, None] * self.along)


@dataclass(frozen=True, eq=False)
class Surface:
    """The planes of a rupture in the local frame: the azimuthal equidistant projection about
    (`lon`, `lat`), x km east, y km north, z km down.

    Attributes
    ----------
    lon, lat : float
        The frame's centre, degrees: the mean of the planes' top centres.
    rectangles : tuple of Rectangle
        The planes, in the file's order.
    """

    lon: float
    lat: float
    rectangles: tuple[Rectangle, ...]

    def local(self, lon: FloatArray, lat: FloatArray) -> tuple[FloatArray, FloatArray]:
        """Geographic positions in the local frame.

        Parameters
        ----------
        lon, lat : numpy.ndarray
            Positions, degrees.

        Returns
        -------
        tuple of numpy.ndarray
            (x east, y north), km.
        """
        lon, lat = np.broadcast_arrays(np.asarray(lon, dtype=np.float64),
                                       np.asarray(lat, dtype=np.float64))
        azimuth, _, metres = WGS84.inv(np.full(lon.shape, self.lon), np.full(lon.shape, self.lat),
                                       lon, lat)
        angle = np.radians(np.asarray(azimuth, dtype=np.float64))
        distance = np.asarray(metres, dtype=np.float64) / 1e3
        return distance * np.sin(angle), distance * np.cos(angle)

    def geographic(self, x: FloatArray, y: FloatArray) -> tuple[FloatArray, FloatArray]:
        """Local positions as longitudes and latitudes.

        Parameters
        ----------
        x, y : numpy.ndarray
            km east and north of the frame's centre.

        Returns
        -------
        tuple of numpy.ndarray
            (lon, lat), degrees.
        """
        x, y = np.broadcast_arrays(np.asarray(x, dtype=np.float64), np.asarray(y, dtype=np.float64))
        azimuth = np.degrees(np.arctan2(x, y))
        lon, lat, _ = WGS84.fwd(np.full(x.shape, self.lon), np.full(x.shape, self.lat),
                                azimuth, np.hypot(x, y) * 1e3)
        return np.asarray(lon, dtype=np.float64), np.asarray(lat, dtype=np.float64)

    @property
    def point_count(self) -> int:
        """How many points the planes hold."""
        last = self.rectangles[-1]
        return last.first + last.rows * last.columns

    @property
    def top_depth_km(self) -> float:
        """The depth of the shallowest top edge, km."""
        return min(rectangle.top_depth_km for rectangle in self.rectangles)

    def mean_dip_deg(self) -> float:
        """The planes' dip, averaged with their lengths as weights.

        Returns
        -------
        float
            Degrees.
        """
        lengths = [rectangle.length_km for rectangle in self.rectangles]
        return float(np.average([rectangle.dip_deg for rectangle in self.rectangles],
                                weights=lengths))

    def mean_width_km(self) -> float:
        """The planes' width, averaged with their lengths as weights.

        Returns
        -------
        float
            km.
        """
        lengths = [rectangle.length_km for rectangle in self.rectangles]
        return float(np.average([rectangle.width_km for rectangle in self.rectangles],
                                weights=lengths))

    def trace(self) -> tuple[FloatArray, FloatArray]:
        """The ends of the fault's straight trace.

        Returns
        -------
        tuple of numpy.ndarray
            The first top corner and the last, each (x, y, z) in km.
        """
        return self.rectangles[0].corners[0], self.rectangles[-1].corners[1]


# ---- The planes of a file -------------------------------------------------------------------


def surface_of(srf_file: SrfFile) -> Surface:
    """The rectangles of an SRF file: from its PLANE block when the planes' cell counts add up
    to its points (in one POINTS block or one per plane), else from the points of each
    POINTS block, which must then be a grid along strike fastest, top row first.

    Parameters
    ----------
    srf_file : SrfFile
        The file.

    Returns
    -------
    Surface
        Its planes.

    Raises
    ------
    SurfaceError
        A POINTS block without a usable PLANE block whose points are not such a grid.
    """
    planes = srf_file.planes
    points = srf_file.points
    if not srf_file.planes_hold_points:
        planes = [plane_from_points(srf_file, block) for block in range(int(points.block.max()) + 1)]
    lon0 = float(np.mean([plane.lon for plane in planes]))
    lat0 = float(np.mean([plane.lat for plane in planes]))
    frame = Surface(lon0, lat0, ())
    rectangles = []
    first = 0
    for plane in planes:
        rectangles.append(rectangle(frame, plane, first))
        first += plane.nstk * plane.ndip
    return Surface(lon0, lat0, tuple(rectangles))


def rectangle(frame: Surface, plane: SrfPlane, first: int) -> Rectangle:
    """A plane's corners, placed as the file places its points: along strike from the top
    edge's centre, then horizontally by W cos(dip) towards the local strike plus 90."""
    half = 500.0 * plane.length_km
    ends_lon, ends_lat, backs = WGS84.fwd([plane.lon, plane.lon], [plane.lat, plane.lat],
                                          [plane.strike_deg + 180.0, plane.strike_deg],
                                          [half, half])
    # The strike where each end meets the top edge: back to the centre from the start,
    # onwards at the end.
    heading = np.array([backs[0], backs[1] + 180.0]) + 90.0
    across = 1e3 * plane.width_km * math.cos(math.radians(plane.dip_deg))
    bottom_lon, bottom_lat, _ = WGS84.fwd(ends_lon, ends_lat, heading, [across, across])
    lon = np.array([ends_lon[0], ends_lon[1], bottom_lon[1], bottom_lon[0]])
    lat = np.array([ends_lat[0], ends_lat[1], bottom_lat[1], bottom_lat[0]])
    x, y = frame.local(lon, lat)
    bottom = plane.top_depth_km + plane.width_km * math.sin(math.radians(plane.dip_deg))
    z = np.array([plane.top_depth_km, plane.top_depth_km, bottom, bottom])
    return Rectangle(np.stack([x, y, z], axis=1), plane.strike_deg, plane.dip_deg,
                     plane.length_km, plane.width_km, plane.ndip, plane.nstk, first)


def plane_from_points(srf_file: SrfFile, block: int) -> SrfPlane:
    """A POINTS block's plane, from its points: the top row is the leading points at the
    first point's depth; the cells' sides are the distances between neighbours."""
    points = srf_file.points
    index = np.flatnonzero(points.block == block)
    depth = points.depth_km[index]
    columns = int(np.argmax(np.abs(depth - depth[0]) > ROW_DEPTH_TOLERANCE_KM)) or len(index)
    if len(index) % columns:
        raise SurfaceError(f"POINTS block {block + 1} is not a grid of points along strike "
                           f"fastest: its {len(index)} points are not rows of the {columns} at "
                           f"the top; give the file a PLANE block")
    rows = len(index) // columns
    first = index[0]
    strike = float(points.strike_deg[first])
    dip = float(points.dip_deg[first])
    side_km = math.sqrt(float(points.area_cm2[first]) / 1e10)
    if columns > 1:
        _, _, metres = WGS84.inv(points.lon[first], points.lat[first],
                                 points.lon[index[columns - 1]], points.lat[index[columns - 1]])
        along_km = metres / 1e3 / (columns - 1)
    else:
        along_km = side_km
    down_km = side_km * side_km / along_km
    # The top row's middle, moved up dip by half a cell.
    azimuth, _, metres = WGS84.inv(points.lon[first], points.lat[first],
                                   points.lon[index[columns - 1]], points.lat[index[columns - 1]])
    centre_lon, centre_lat, _ = WGS84.fwd(points.lon[first], points.lat[first], azimuth,
                                          0.5 * metres)
    up = 500.0 * down_km * math.cos(math.radians(dip))
    top_lon, top_lat, _ = WGS84.fwd(centre_lon, centre_lat, strike - 90.0, up)
    top = float(depth[0]) - 0.5 * down_km * math.sin(math.radians(dip))
    return SrfPlane(float(top_lon), float(top_lat), columns, rows, columns * along_km,
                    rows * down_km, strike, dip, max(top, 0.0), 0.0, 0.0)


# ---- NGA-West2 distances ------------------------------------------------------------------


@dataclass(frozen=True, eq=False)
class Distances:
    """NGA-West2 distances (Ancheta et al. 2014) of stations from a rupture's surface.

    Attributes
    ----------
    rrup : numpy.ndarray
        To the nearest point of any plane, km.
    rjb : numpy.ndarray
        To the nearest point of their horizontal projections (0 above them), km.
    rx : numpy.ndarray
        From the line through the nearest plane's top edge, positive on the side it dips to,
        km.
    ry0 : numpy.ndarray
        Off the nearer end of the fault's trace, along it (0 between its ends), km.
    """

    rrup: FloatArray
    rjb: FloatArray
    rx: FloatArray
    ry0: FloatArray


def segment_distance(px: FloatArray, py: FloatArray, a: FloatArray, b: FloatArray) -> FloatArray:
    """Horizontal distance from points to the segment from a to b."""
    d = b[:2] - a[:2]
    length2 = float(d @ d)
    t = np.clip(((px - a[0]) * d[0] + (py - a[1]) * d[1]) / length2, 0.0, 1.0) if length2 else 0.0
    return np.hypot(px - a[0] - t * d[0], py - a[1] - t * d[1])


def projection_distance(rect: Rectangle, x: FloatArray, y: FloatArray) -> FloatArray:
    """Rjb to one rectangle: 0 inside its horizontal projection, else the distance to the
    nearest of its four projected edges. A vertical plane projects to its top edge."""
    corners = rect.corners
    edges = [segment_distance(x, y, corners[k], corners[(k + 1) % 4]) for k in range(4)]
    nearest = np.min(edges, axis=0)
    u, v = rect.along[:2], rect.down[:2]
    area = u[0] * v[1] - u[1] * v[0]
    if abs(area) < 1e-12 * max(float(u @ u), 1e-30):
        return np.asarray(nearest, dtype=np.float64)
    px, py = x - corners[0, 0], y - corners[0, 1]
    s = (px * v[1] - py * v[0]) / area
    t = (u[0] * py - u[1] * px) / area
    inside = (s >= 0) & (s <= 1) & (t >= 0) & (t <= 1)
    return np.where(inside, 0.0, nearest)


def plane_distance(rect: Rectangle, points: FloatArray) -> FloatArray:
    """Distance from points (n, 3) to the flat rectangle spanned from the top start corner
    by its along-strike and down-dip sides (taken as perpendicular)."""
    a, b = rect.along, rect.down
    offset = points - rect.corners[0]
    s = np.clip(offset @ a / float(a @ a), 0.0, 1.0)
    t = np.clip(offset @ b / float(b @ b), 0.0, 1.0)
    nearest = rect.corners[0] + s[:, None] * a + t[:, None] * b
    return np.asarray(np.linalg.norm(points - nearest, axis=1), dtype=np.float64)


def distances(surface: Surface, lon: FloatArray, lat: FloatArray) -> Distances:
    """Rrup, Rjb, Rx and Ry0 of stations on the free surface (see the module's description).

    Parameters
    ----------
    surface : Surface
        The rupture's surface.
    lon, lat : numpy.ndarray
        The stations, degrees.

    Returns
    -------
    Distances
        One value a station each.
    """
    x, y = surface.local(lon, lat)
    stations = np.stack([x, y, np.zeros_like(x)], axis=1)
    rrup = np.min([plane_distance(rect, stations) for rect in surface.rectangles], axis=0)
    by_plane = np.array([projection_distance(rect, x, y) for rect in surface.rectangles])
    nearest = np.argmin(by_plane, axis=0)
    rjb = by_plane[nearest, np.arange(len(x))]
    rx = np.empty_like(x)
    for number, rect in enumerate(surface.rectangles):
        chosen = nearest == number
        # Horizontal unit vector to the right of strike: the way the plane dips.
        right = np.array([rect.along[1], -rect.along[0]]) / float(np.hypot(*rect.along[:2]))
        rx[chosen] = ((x[chosen] - rect.corners[0, 0]) * right[0]
                      + (y[chosen] - rect.corners[0, 1]) * right[1])
    start, end = surface.trace()
    axis = (end - start)[:2]
    length = float(np.hypot(*axis))
    along = ((x - start[0]) * axis[0] + (y - start[1]) * axis[1]) / length
    ry0 = np.maximum(np.maximum(-along, along - length), 0.0)
    return Distances(rrup, rjb, rx, ry0)


def hypocentre_depth_km(srf_file: SrfFile) -> float:
    """The depth of the point that starts slipping first (the earliest TINIT among the points
    that slip; among all points when none does).

    Parameters
    ----------
    srf_file : SrfFile
        The file.

    Returns
    -------
    float
        km.
    """
    points = srf_file.points
    slipping = points.total_slip_cm() > 0
    if not slipping.any():
        slipping = np.ones(len(points), dtype=bool)
    times = np.where(slipping, points.tinit_s, np.inf)
    return float(points.depth_km[int(np.argmin(times))])
