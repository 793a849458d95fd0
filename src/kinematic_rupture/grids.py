"""A rupture's quantities on its planes, by name, for a rupture just built and for one read
from an SRF file alike: a `Grid` of one plane, the `MomentRate` with its time axis, and
the whole as an xarray Dataset.

A plane's grid has rows down dip (top row first) and columns along strike (from the
plane's first end), as an SRF file orders its points. Its coordinates are the centres of
its cells in km: along strike from the plane's first end, down dip from its top edge,
and the depth of each row. `Grid.start_km` is where the plane starts along the fault,
from the fault's first end, so a plane's cells lie `start_km + along_strike_km` along
the fault (the convention of `Rupture.hypocentre_km`).

The quantities (`QUANTITIES`) have their unit in their name. "rise_time_s" is measured
from the slip-rate samples, as everywhere in this package: from a cell's first non-zero
sample to the end of its last, 0 where it does not slip; a rupture just built also
gives "pulse_rise_time_s", its pulses' rise time before their smoothing over the time
the front takes to cross a cell (`Rupture.rise_time_s`).

.. autosummary::

   Grid
   MomentRate
   Quantity
   QUANTITIES
"""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .errors import SettingError, SrfError
from .srf_measures import srf_rigidity_pa

if TYPE_CHECKING:  # a Rupture and an SrfFile put themselves on grids through this module
    from .geometry import Fault
    from .rupture import Rupture
    from .srf_reader import SrfFile

FloatArray = npt.NDArray[np.float64]

__all__ = ["QUANTITIES", "Grid", "MomentRate", "Quantity"]


@dataclass(frozen=True)
class Quantity:
    """What a quantity is: its unit and a description.

    Parameters
    ----------
    units : str
        Its unit, as xarray's ``attrs["units"]`` takes it.
    description : str
        What it is, in a word or two, as ``attrs["long_name"]``.
    srf : bool
        Whether an SRF file gives it (or its samples do); the others come only from a
        rupture just built.
    """

    units: str
    description: str
    srf: bool = True


QUANTITIES = {
    "slip_m": Quantity("m", "slip"),
    "rake_deg": Quantity("degree", "rake"),
    "start_time_s": Quantity("s", "start of slip (TINIT)"),
    "rise_time_s": Quantity("s", "rise time"),
    "rupture_time_s": Quantity("s", "rupture time", srf=False),
    "front_time_s": Quantity("s", "front arrival time", srf=False),
    "pulse_rise_time_s": Quantity("s", "pulse rise time", srf=False),
    "rupture_velocity_km_s": Quantity("km/s", "rupture speed", srf=False),
    "vs_km_s": Quantity("km/s", "shear-wave speed"),
    "density_g_cm3": Quantity("g/cm^3", "density"),
    "rigidity_pa": Quantity("Pa", "rigidity"),
    "depth_km": Quantity("km", "depth"),
    "lon": Quantity("degree_east", "longitude"),
    "lat": Quantity("degree_north", "latitude"),
    "strike_deg": Quantity("degree", "strike"),
    "dip_deg": Quantity("degree", "dip"),
}
# What the Dataset gives as coordinates of the cells rather than as variables.
CELL_COORDINATES = ("depth_km", "lon", "lat")


def names(srf: bool) -> list[str]:
    """The quantities of a rupture just built (`srf` False) or of an SRF file."""
    return [name for name, quantity in QUANTITIES.items() if quantity.srf or not srf]


@dataclass(frozen=True, eq=False)
class Layout:
    """Where one plane's cells lie: its first point in point order, its rows and columns,
    its cells' size (km) down dip and along strike, the depth of its top edge (km), its
    dip (degrees) and where it starts along the fault (km from the fault's first end)."""

    first: int
    rows: int
    columns: int
    along_cell_km: float
    down_cell_km: float
    top_depth_km: float
    dip_deg: float
    start_km: float

    def take(self, values: FloatArray) -> FloatArray:
        """This plane's part of values in point order, as a read-only (rows, columns) view."""
        grid = values[self.first:self.first + self.rows * self.columns].reshape(
            self.rows, self.columns).view()
        grid.flags.writeable = False
        return grid

    def along_strike_km(self) -> FloatArray:
        return centres(self.columns, self.along_cell_km)

    def down_dip_km(self) -> FloatArray:
        return centres(self.rows, self.down_cell_km)

    def depth_km(self) -> FloatArray:
        depth: FloatArray = self.top_depth_km + self.down_dip_km() * math.sin(
            math.radians(self.dip_deg))
        return depth


def centres(count: int, cell_km: float) -> FloatArray:
    """The centres of `count` cells of `cell_km` in a row, km from its start."""
    return (np.arange(count, dtype=np.float64) + 0.5) * cell_km


def fault_layouts(fault: Fault) -> list[Layout]:
    starts = fault.plane_starts()
    along = np.cumsum([0.0] + [plane.length_km for plane in fault.planes])
    return [Layout(starts[n], *fault.cells(n), fault.cell_km, fault.cell_km, plane.top_depth_km,
                   plane.dip_deg, float(along[n])) for n, plane in enumerate(fault.planes)]


def srf_layouts(srf: SrfFile) -> list[Layout]:
    """The planes of a file's PLANE block, which must have cells and a size and whose cell
    counts must add up to its points."""
    if not srf.planes_hold_points:
        raise SrfError(f"has {len(srf.points):,} points and planes of {srf.plane_cells:,} cells: "
                       f"grids need a PLANE block whose cell counts add up to its points")
    layouts, first, along = [], 0, 0.0
    for number, plane in enumerate(srf.planes, start=1):
        if not (plane.nstk > 0 and plane.ndip > 0 and plane.length_km > 0 and plane.width_km > 0):
            raise SrfError(f"plane {number} has {plane.nstk} x {plane.ndip} cells of "
                           f"{plane.length_km:g} km x {plane.width_km:g} km: a grid needs cells "
                           f"and a size")
        layouts.append(Layout(first, plane.ndip, plane.nstk, plane.length_km / plane.nstk,
                              plane.width_km / plane.ndip, plane.top_depth_km, plane.dip_deg,
                              along))
        first += plane.nstk * plane.ndip
        along += plane.length_km
    return layouts


@dataclass(frozen=True, eq=False)
class Grid:
    """One quantity on the cells of one plane.

    Attributes
    ----------
    name : str
        The quantity, one of `QUANTITIES` (``"slip_m"``).
    plane : int
        The plane, from 0.
    values : numpy.ndarray
        (rows down dip, columns along strike), top row first; read-only.
    along_strike_km : numpy.ndarray
        The columns' centres, km along strike from the plane's first end.
    down_dip_km : numpy.ndarray
        The rows' centres, km down dip from the plane's top edge.
    depth_km : numpy.ndarray
        The depth of the rows' centres, km.
    start_km : float
        Where the plane starts along the fault, km from the fault's first end.
    units : str
        The unit of `values`.
    description : str
        What the quantity is.

    Examples
    --------
    >>> from kinematic_rupture import Fault, RuptureSettings, build_rupture
    >>> fault = Fault.single(length_km=6, width_km=4, cell_km=0.5)
    >>> slip = build_rupture(fault, RuptureSettings(magnitude=5.5)).grid("slip_m")
    >>> slip.values.shape, slip.units, float(slip.along_strike_km[0])
    ((8, 12), 'm', 0.25)
    """

    name: str
    plane: int
    values: FloatArray
    along_strike_km: FloatArray
    down_dip_km: FloatArray
    depth_km: FloatArray
    start_km: float
    units: str
    description: str

    def __repr__(self) -> str:
        rows, columns = self.values.shape
        finite = self.values[np.isfinite(self.values)]
        span = (f"{finite.min():.4g} to {finite.max():.4g} {self.units}" if finite.size
                else "no finite value")
        return (f"Grid({self.name!r}, plane {self.plane}: {rows} x {columns} cells down dip x "
                f"along strike, {span})")

    def to_xarray(self) -> Any:
        """The grid as an xarray DataArray.

        Returns
        -------
        xarray.DataArray
            Dimensions ``(down_dip, along_strike)`` with coordinates in km
            (``down_dip``, ``along_strike`` and ``depth_km`` along ``down_dip``), and the
            unit, description and plane in ``attrs``.

        Raises
        ------
        ImportError
            Without xarray (``pip install xarray``).
        """
        xarray = xarray_module()
        return xarray.DataArray(
            np.array(self.values), dims=("down_dip", "along_strike"), name=self.name,
            coords={"down_dip": ("down_dip", self.down_dip_km, KM_ALONG_DIP),
                    "along_strike": ("along_strike", self.along_strike_km, KM_ALONG_STRIKE),
                    "depth_km": ("down_dip", self.depth_km, DEPTH)},
            attrs={"units": self.units, "long_name": self.description, "plane": self.plane,
                   "start_km": self.start_km})


KM_ALONG_STRIKE = {"units": "km", "long_name": "along strike",
                   "description": "cell centres from the plane's first end"}
KM_ALONG_DIP = {"units": "km", "long_name": "down dip",
                "description": "cell centres from the plane's top edge"}
DEPTH = {"units": "km", "long_name": "depth", "positive": "down"}


@dataclass(frozen=True, eq=False)
class MomentRate:
    """The moment-rate function: ``moment_rate_nm_s[n]`` is the rate at ``n * dt_s``.

    Attributes
    ----------
    dt_s : float
        The interval of its samples, s.
    moment_rate_nm_s : numpy.ndarray
        The rate, N m/s.
    """

    dt_s: float
    moment_rate_nm_s: FloatArray

    @property
    def time_s(self) -> FloatArray:
        """The time of each sample, s from the rupture's start."""
        return np.arange(self.moment_rate_nm_s.size, dtype=np.float64) * self.dt_s

    @property
    def moment_nm(self) -> float:
        """The moment it amounts to, N m: ``dt_s`` times the sum of the rate."""
        return float(self.moment_rate_nm_s.sum()) * self.dt_s

    def __repr__(self) -> str:
        return (f"MomentRate({self.moment_rate_nm_s.size} samples every {self.dt_s:g} s, "
                f"{self.moment_nm:.4g} N m)")

    def to_xarray(self) -> Any:
        """The moment rate as an xarray DataArray.

        Returns
        -------
        xarray.DataArray
            ``moment_rate_nm_s`` (N m/s) along ``time`` (s), units in ``attrs``.

        Raises
        ------
        ImportError
            Without xarray (``pip install xarray``).
        """
        xarray = xarray_module()
        return xarray.DataArray(
            np.array(self.moment_rate_nm_s), dims=("time",), name="moment_rate_nm_s",
            coords={"time": ("time", self.time_s, {"units": "s", "long_name": "time"})},
            attrs={"units": "N m/s", "long_name": "moment rate"})


def xarray_module() -> Any:
    try:
        import xarray
    except ImportError:
        raise ImportError("to_xarray needs xarray, which is not installed: pip install xarray "
                          "(or the extra, pip install 'kinematic-rupture[xarray]')") from None
    return xarray


# ---- A rupture just built, a file read -------------------------------------------------------


def rupture_values(rupture: Rupture, name: str) -> FloatArray:
    """A quantity of a rupture just built, in subfault order."""
    fault = rupture.fault
    if name == "rise_time_s":
        return rupture.written_rise_time_s
    if name == "pulse_rise_time_s":
        return rupture.rise_time_s
    if name in ("lon", "lat"):
        return fault.positions()[name == "lat"]
    if name == "strike_deg":
        return fault.strikes()
    if name == "dip_deg":
        return fault.per_plane([plane.dip_deg for plane in fault.planes])
    values: FloatArray = getattr(rupture, name)
    return values


def srf_values(srf: SrfFile, name: str) -> FloatArray:
    """A quantity of a file, in point order; NaN where the file does not give it (VS and
    DEN of a version 1.0 file)."""
    points = srf.points
    known = {"slip_m": lambda: points.total_slip_cm() / 100.0,
             "rake_deg": lambda: points.rake_deg,
             "start_time_s": lambda: points.tinit_s,
             "rise_time_s": points.rise_time_s,
             "vs_km_s": lambda: positive(points.vs_cm_s) / 1e5,
             "density_g_cm3": lambda: positive(points.density_g_cm3),
             "rigidity_pa": lambda: positive(srf_rigidity_pa(points)),
             "depth_km": lambda: points.depth_km,
             "lon": lambda: points.lon,
             "lat": lambda: points.lat,
             "strike_deg": lambda: points.strike_deg,
             "dip_deg": lambda: points.dip_deg}
    return known[name]()


def positive(values: FloatArray) -> FloatArray:
    """The values, NaN where they are not positive (not given)."""
    return np.where(values > 0, values, np.nan)


def checked(name: object, valid: Sequence[str], what: str) -> str:
    if name not in valid:
        raise SettingError("name", name, f"not a quantity of {what}; one of {', '.join(valid)}")
    return str(name)


def grid(layouts: list[Layout], name: str, plane: int,
         values: Callable[[str], FloatArray]) -> Grid:
    """Quantity `name` (already checked) on plane `plane` of these layouts."""
    if isinstance(plane, bool) or not isinstance(plane, (int, np.integer)) \
            or not 0 <= plane < len(layouts):
        raise SettingError("plane", plane, f"must be a plane's number, from 0 to {len(layouts) - 1}")
    layout = layouts[int(plane)]
    quantity = QUANTITIES[name]
    return Grid(name, int(plane), layout.take(values(name)), layout.along_strike_km(),
                layout.down_dip_km(), layout.depth_km(), layout.start_km, quantity.units,
                quantity.description)


def dataset(layouts: list[Layout], quantities: list[str], values: Callable[[str], FloatArray],
            rate: MomentRate, attrs: dict[str, Any]) -> Any:
    """Every quantity on every plane, and the moment rate, as one xarray Dataset of
    dimensions (plane, down_dip, along_strike) and time: planes of fewer cells than the
    largest are NaN beyond their own. The planes must share one cell size along strike
    and one down dip, so that ``along_strike`` and ``down_dip`` are one coordinate."""
    xarray = xarray_module()
    for which, size in (("along strike", "along_cell_km"), ("down dip", "down_cell_km")):
        sizes = [getattr(layout, size) for layout in layouts]
        if not np.allclose(sizes, sizes[0], rtol=1e-6, atol=0.0):
            raise SrfError(f"has planes of cells of {', '.join(f'{s:g}' for s in sizes)} km "
                           f"{which}: one Dataset needs one cell size; grid(name, plane) gives "
                           f"each plane on its own")
    rows = max(layout.rows for layout in layouts)
    columns = max(layout.columns for layout in layouts)

    def stacked(flat: FloatArray) -> FloatArray:
        out = np.full((len(layouts), rows, columns), np.nan)
        for number, layout in enumerate(layouts):
            out[number, :layout.rows, :layout.columns] = layout.take(flat)
        return out

    cells = ("plane", "down_dip", "along_strike")
    depth = np.full((len(layouts), rows), np.nan)
    for number, layout in enumerate(layouts):
        depth[number, :layout.rows] = layout.depth_km()
    coords: dict[str, Any] = {
        "plane": ("plane", np.arange(len(layouts)), {"long_name": "plane"}),
        "down_dip": ("down_dip", centres(rows, layouts[0].down_cell_km), KM_ALONG_DIP),
        "along_strike": ("along_strike", centres(columns, layouts[0].along_cell_km), KM_ALONG_STRIKE),
        "start_km": ("plane", np.array([layout.start_km for layout in layouts]),
                     {"units": "km", "long_name": "plane's start",
                      "description": "along strike from the fault's first end"}),
        "depth_km": (("plane", "down_dip"), depth, DEPTH),
        "time": ("time", rate.time_s, {"units": "s", "long_name": "time"}),
    }
    for name in ("lon", "lat"):
        coords[name] = (cells, stacked(values(name)), attributes(name))
    variables: dict[str, Any] = {name: (cells, stacked(values(name)), attributes(name))
                                 for name in quantities if name not in CELL_COORDINATES}
    variables["moment_rate_nm_s"] = ("time", rate.moment_rate_nm_s,
                                     {"units": "N m/s", "long_name": "moment rate"})
    return xarray.Dataset(variables, coords=coords, attrs=attrs)


def attributes(name: str) -> dict[str, str]:
    quantity = QUANTITIES[name]
    return {"units": quantity.units, "long_name": quantity.description}
