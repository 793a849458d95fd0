"""Where a rupture starts: a point (along strike from the fault's first end, down dip from
the top edge, both in km) and the cell that holds it."""

import math
from collections.abc import Callable

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


# Where hypocentres of ensembles are drawn from, as fractions of length and width:
# Mai, Spudich and Boatwright (2005), whose distributions these parameters fit (as a
# published implementation of theirs gives them): along strike a normal distribution
# (mean 0.5, standard deviation 0.23), down dip a Weibull (strike-slip: scale 0.626, shape
# 3.921; oblique: 0.612, 3.353) or a gamma (crustal dip-slip: shape 7.364, scale 0.072),
# each truncated to the fault.
MAI_2005_ALONG = (0.5, 0.23)
MAI_2005_DOWN_STRIKE_SLIP = (0.626, 3.921)
MAI_2005_DOWN_OBLIQUE = (0.612, 3.353)
MAI_2005_DOWN_DIP_SLIP = (7.364, 0.072)
# Melgar and Hayes (2019), as the authors' own code draws them: the distance from the
# centre along strike, over the length, exponential with rate 6.211 below 0.5, to either
# side; the offset down dip from the centre, over the width, normal with mean -0.117
# (up dip) and standard deviation 0.18, within half the width.
MELGAR_HAYES_2019_ALONG_RATE = 6.211
MELGAR_HAYES_2019_DOWN = (-0.117, 0.18)
DISTRIBUTIONS = ("mai2005", "melgar-hayes2019")


def mechanism(rake_deg: float) -> str:
    """strike-slip within 30 degrees of horizontal slip, dip-slip within 30 degrees of
    vertical slip, oblique between."""
    off_horizontal = min(abs(rake_deg), 180.0 - abs(rake_deg))
    if off_horizontal <= 30.0:
        return "strike-slip"
    return "dip-slip" if off_horizontal >= 60.0 else "oblique"


def truncated(draw: Callable[[], float], low: float, high: float) -> float:
    """A draw kept only when it falls within [low, high]."""
    while True:
        value = draw()
        if low <= value <= high:
            return value


def draw_fractions(rng: np.random.Generator, distribution: str, kind: str) -> tuple[float, float]:
    """(along, down) as fractions of the fault's length and width."""
    if distribution == "melgar-hayes2019":
        distance = truncated(lambda: rng.exponential(1.0 / MELGAR_HAYES_2019_ALONG_RATE), 0.0, 0.5)
        along = 0.5 + distance * (1.0 if rng.random() < 0.5 else -1.0)
        mean, std = MELGAR_HAYES_2019_DOWN
        return along, 0.5 + truncated(lambda: rng.normal(mean, std), -0.5, 0.5)
    mean, std = MAI_2005_ALONG
    along = truncated(lambda: rng.normal(mean, std), 0.0, 1.0)
    if kind == "dip-slip":
        shape, scale = MAI_2005_DOWN_DIP_SLIP
        return along, truncated(lambda: rng.gamma(shape, scale), 0.0, 1.0)
    scale, shape = MAI_2005_DOWN_STRIKE_SLIP if kind == "strike-slip" else MAI_2005_DOWN_OBLIQUE
    return along, truncated(lambda: scale * rng.weibull(shape), 0.0, 1.0)


def draw_hypocentre(fault: Fault, seed: int, distribution: str = "mai2005") -> tuple[float, float]:
    """A hypocentre (along strike, down dip, km) drawn from `seed` for ensembles, from the
    distribution of Mai et al. (2005) for the first plane's mechanism, or of Melgar and
    Hayes (2019)."""
    if distribution not in DISTRIBUTIONS:
        raise SettingError("hypocentre_distribution", distribution,
                           f"must be one of {', '.join(DISTRIBUTIONS)}")
    rng = np.random.default_rng(seed)
    along, down = draw_fractions(rng, distribution, mechanism(fault.planes[0].rake_deg))
    along_km = along * fault.length_km
    width = fault.planes[plane_at(fault, along_km)].width_km
    return float(along_km), float(down * width)
