"""Where a rupture starts: a point (along strike from the fault's first end, down dip from
the top edge, both in km) and the cell that holds it."""

import math

import numpy as np

from .checks import SettingError, quote
from .geometry import Fault


def default_hypocentre(fault: Fault) -> tuple[float, float]:
    """A third of the way along strike and two thirds of the way down dip."""
    along = fault.length_km / 3.0
    plane = fault.planes[plane_at(fault, along)]
    return along, 2.0 * plane.width_km / 3.0


def plane_at(fault: Fault, along_km: float) -> int:
    """The plane that holds a point `along_km` from the fault's first end."""
    ends = np.cumsum([plane.length_km for plane in fault.planes])
    return min(int(np.searchsorted(ends, along_km, side="right")), len(fault.planes) - 1)


def check_hypocentre(fault: Fault, hypocentre_km: tuple[float, float]) -> None:
    along, down = hypocentre_km
    plane = fault.planes[plane_at(fault, along)]
    if not (0 <= along <= fault.length_km and 0 <= down <= plane.width_km):
        raise SettingError("hypocentre_km", hypocentre_km,
                           f"a hypocentre must lie on the fault: 0 to {quote(fault.length_km)} km "
                           f"along strike and 0 to {quote(plane.width_km)} km down dip")


def hypocentre_subfault(fault: Fault, hypocentre_km: tuple[float, float]) -> tuple[int, int, int]:
    """(plane, row, column) of the cell that holds a hypocentre."""
    along, down = hypocentre_km
    number = plane_at(fault, along)
    before = sum(plane.length_km for plane in fault.planes[:number])
    rows, columns = fault.cells(number)
    row = min(int(down / fault.cell_km), rows - 1)
    column = min(max(int(math.floor((along - before) / fault.cell_km)), 0), columns - 1)
    return number, row, column


def draw_hypocentre(fault: Fault, seed: int) -> tuple[float, float]:
    """A hypocentre (along strike, down dip, km) drawn from `seed`, for ensembles.

    Uniform along strike away from the ends; down dip skewed towards the deeper part of
    the fault, where large crustal earthquakes tend to nucleate (Mai et al. 2005).
    """
    rng = np.random.default_rng(seed)
    along = fault.length_km * rng.uniform(0.1, 0.9)
    width = fault.planes[plane_at(fault, along)].width_km
    down = width * (0.1 + 0.85 * rng.beta(3.0, 2.0))
    return float(along), float(down)
