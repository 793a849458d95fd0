"""Where a rupture starts: a point (along strike from the fault's first end, down dip from
the top edge, both in km) and the cell that holds it; and the hypocentres of ensembles,
drawn from the published distributions of where earthquakes nucleate, weighted by slip
as Mai et al. (2005) found them.

.. autosummary::

   draw_hypocentre
   default_hypocentre
   check_hypocentre
   hypocentre_subfault
   slip_classes
   prior_density
   DISTRIBUTIONS
"""

import math

import numpy as np
import numpy.typing as npt

from .checks import SettingError, quote
from .geometry import Fault

__all__ = ["draw_hypocentre", "default_hypocentre", "check_hypocentre", "hypocentre_subfault",
           "slip_classes", "prior_density", "DISTRIBUTIONS"]


def default_hypocentre(fault: Fault) -> tuple[float, float]:
    """The hypocentre of a rupture given none: a third of the way along strike and two
    thirds of the way down dip.

    Parameters
    ----------
    fault : Fault
        The fault.

    Returns
    -------
    tuple of float
        (along strike from the fault's first end, down dip from the top edge), km.

    Examples
    --------
    >>> from kinematic_rupture import Fault
    >>> default_hypocentre(Fault.single(length_km=30, width_km=15, cell_km=0.5))
    (10.0, 10.0)
    """
    along = fault.length_km / 3.0
    plane = fault.planes[plane_at(fault, along)]
    return along, 2.0 * plane.width_km / 3.0


def plane_at(fault: Fault, along_km: float) -> int:
    """The plane that holds a point `along_km` from the fault's first end.

    Parameters
    ----------
    fault : Fault
        The fault.
    along_km : float
        The distance along strike, km.

    Returns
    -------
    int
        The plane's number, from 0; the last for a point beyond the fault's end.
    """
    ends = np.cumsum([plane.length_km for plane in fault.planes])
    return min(int(np.searchsorted(ends, along_km, side="right")), len(fault.planes) - 1)


def check_hypocentre(fault: Fault, hypocentre_km: tuple[float, float]) -> None:
    """Refuses a hypocentre off the fault.

    Parameters
    ----------
    fault : Fault
        The fault.
    hypocentre_km : tuple of float
        (along strike, down dip), km.

    Raises
    ------
    SettingError
        Naming ``hypocentre_km``, with the extents it must lie within.
    """
    along, down = hypocentre_km
    plane = fault.planes[plane_at(fault, along)]
    if not (0 <= along <= fault.length_km and 0 <= down <= plane.width_km):
        raise SettingError("hypocentre_km", hypocentre_km,
                           f"a hypocentre must lie on the fault: 0 to {quote(fault.length_km)} km "
                           f"along strike and 0 to {quote(plane.width_km)} km down dip")


def hypocentre_subfault(fault: Fault, hypocentre_km: tuple[float, float]) -> tuple[int, int, int]:
    """The cell that holds a hypocentre.

    Parameters
    ----------
    fault : Fault
        The fault.
    hypocentre_km : tuple of float
        (along strike, down dip), km, on the fault.

    Returns
    -------
    tuple of int
        (plane, row down dip, column along strike), each from 0.
    """
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
    """The mechanism class of Mai et al.'s (2005) distributions.

    Parameters
    ----------
    rake_deg : float
        The rake, degrees.

    Returns
    -------
    str
        "strike-slip" within 30 degrees of horizontal slip, "dip-slip" within 30 degrees of
        vertical slip, "oblique" between.
    """
    off_horizontal = min(abs(rake_deg), 180.0 - abs(rake_deg))
    if off_horizontal <= 30.0:
        return "strike-slip"
    return "dip-slip" if off_horizontal >= 60.0 else "oblique"


# Mai et al. (2005): of their events, 16% nucleated in very large slip (at least two thirds
# of the largest), 35% in large slip (a third to two thirds) and 48% in the rest, well
# above the areas those classes cover (about 7% and 28%). Shares of the three classes,
# from the largest slip down (their 99% made whole).
MAI_2005_CLASS_SHARES = (0.16, 0.35, 0.48)
MAI_2005_CLASS_BOUNDS = (2.0 / 3.0, 1.0 / 3.0)
# Slip is read in blocks of this side (km), or a fifth of the fault's width where that is
# smaller, as a slip model of a few km a subfault shows it (Mai et al. read published
# inversions); at least two cells. The validation measures the written rupture so too.
SLIP_BLOCK_KM = 2.0
SLIP_BLOCKS_ACROSS_WIDTH = 5
# The hypocentre's draws come from this stream of the rupture's seed (see
# `field.draw_seed`), apart from every field's.
HYPOCENTRE_STREAM = 1 << 20


def block_cells(*, cell_km: float, width_km: float) -> int:
    """Cells along a slip block's side (`SLIP_BLOCK_KM`, or a fifth of the fault's width where
    that is smaller; at least two cells).

    Parameters
    ----------
    cell_km : float
        The cells' side, km.
    width_km : float
        The fault's width, km.

    Returns
    -------
    int
        The count of cells.
    """
    side = min(SLIP_BLOCK_KM, width_km / SLIP_BLOCKS_ACROSS_WIDTH)
    return max(2, round(side / cell_km))


def sliding_means(values: npt.NDArray[np.float64], n: int) -> npt.NDArray[np.float64]:
    """The mean of every n x n window of a grid (each side at most the grid's), by cumulative
    sums.

    Parameters
    ----------
    values : numpy.ndarray
        A 2-D grid.
    n : int
        The window's side, cells.

    Returns
    -------
    numpy.ndarray
        Element (i, j) is the mean of the window whose top left cell is (i, j).
    """
    n_rows, n_columns = min(n, values.shape[0]), min(n, values.shape[1])
    total = np.zeros((values.shape[0] + 1, values.shape[1] + 1))
    total[1:, 1:] = values.cumsum(axis=0).cumsum(axis=1)
    window = (total[n_rows:, n_columns:] - total[:-n_rows, n_columns:]
              - total[n_rows:, :-n_columns] + total[:-n_rows, :-n_columns])
    return np.asarray(window / (n_rows * n_columns), dtype=np.float64)


def centred_block_means(values: npt.NDArray[np.float64], n: int) -> npt.NDArray[np.float64]:
    """Each cell's block mean: the n x n window centred on it, moved inside the grid where it
    would overhang an edge.

    Parameters
    ----------
    values : numpy.ndarray
        A 2-D grid.
    n : int
        The block's side, cells.

    Returns
    -------
    numpy.ndarray
        The means, of the grid's shape.
    """
    means = sliding_means(values, n)
    rows, columns = values.shape
    top = np.clip(np.arange(rows) - n // 2, 0, means.shape[0] - 1)
    left = np.clip(np.arange(columns) - n // 2, 0, means.shape[1] - 1)
    return np.asarray(means[np.ix_(top, left)], dtype=np.float64)


def slip_classes(fault: Fault, slip_m: npt.NDArray[np.float64]) -> npt.NDArray[np.int64]:
    """Every subfault's slip class of Mai et al. (2005), from its block's slip over the largest
    block's: 0 very large (at least 2/3), 1 large (1/3 to 2/3), 2 the rest.

    Parameters
    ----------
    fault : Fault
        The fault.
    slip_m : numpy.ndarray
        Every subfault's slip, m, in subfault order.

    Returns
    -------
    numpy.ndarray of int
        The class of every subfault, in subfault order.
    """
    width = max(plane.width_km for plane in fault.planes)
    n = block_cells(cell_km=fault.cell_km, width_km=width)
    means = np.concatenate([centred_block_means(fault.on_plane(slip_m, number), n).ravel()
                            for number in range(len(fault.planes))])
    share = means / means.max() if means.max() > 0 else means
    upper, lower = MAI_2005_CLASS_BOUNDS
    return np.where(share >= upper, 0, np.where(share >= lower, 1, 2)).astype(np.int64)


def prior_density(fault: Fault, distribution: str) -> npt.NDArray[np.float64]:
    """The published distribution's density at every subfault's centre (up to a constant):
    along strike over the fault's length, down dip over its plane's width.

    Parameters
    ----------
    fault : Fault
        The fault; its first plane's rake chooses Mai et al.'s (2005) mechanism.
    distribution : {"mai2005", "melgar-hayes2019"}
        Mai, Spudich and Boatwright (2005) or Melgar and Hayes (2019).

    Returns
    -------
    numpy.ndarray
        The unnormalised density, in subfault order.
    """
    kind = mechanism(fault.planes[0].rake_deg)
    along_parts, down_parts = [], []
    start = 0.0
    for number, plane in enumerate(fault.planes):
        rows, columns = fault.cells(number)
        along = (start + (np.arange(columns) + 0.5) * fault.cell_km) / fault.length_km
        down = (np.arange(rows) + 0.5) * fault.cell_km / plane.width_km
        along_parts.append(np.tile(along, rows))
        down_parts.append(np.repeat(down, columns))
        start += plane.length_km
    along, down = np.concatenate(along_parts), np.concatenate(down_parts)
    if distribution == "melgar-hayes2019":
        mean, std = MELGAR_HAYES_2019_DOWN
        return (np.exp(-MELGAR_HAYES_2019_ALONG_RATE * np.abs(along - 0.5))
                * np.exp(-0.5 * ((down - 0.5 - mean) / std) ** 2))
    mean, std = MAI_2005_ALONG
    density = np.exp(-0.5 * ((along - mean) / std) ** 2)
    if kind == "dip-slip":
        shape, scale = MAI_2005_DOWN_DIP_SLIP
        return density * down ** (shape - 1.0) * np.exp(-down / scale)
    scale, shape = MAI_2005_DOWN_STRIKE_SLIP if kind == "strike-slip" else MAI_2005_DOWN_OBLIQUE
    return density * (down / scale) ** (shape - 1.0) * np.exp(-((down / scale) ** shape))


def draw_hypocentre(fault: Fault, slip_m: npt.NDArray[np.float64], *, seed: int,
                    distribution: str = "mai2005") -> tuple[float, float]:
    """A hypocentre drawn from `seed`: the published distribution of positions (Mai et al.
    2005 for the first plane's mechanism, or Melgar and Hayes 2019) as the prior,
    reweighted class by class so that it falls in very large, large and other slip as
    often as Mai et al.'s hypocentres did (16%, 35% and 48%); within a class, where the
    prior puts it. Drawn along strike first (from the weights summed down dip), then down
    dip in that column (`inverse_cdf`), so that a seed draws the same place on cells of
    any size; the point is uniform within its cell.

    Parameters
    ----------
    fault : Fault
        The fault.
    slip_m : numpy.ndarray
        Every subfault's slip, m, in subfault order (`Rupture.slip_m`).
    seed : int
        The seed (the rupture's: the draw uses a stream of its own, apart from the fields').
    distribution : {"mai2005", "melgar-hayes2019"}
        The prior.

    Returns
    -------
    tuple of float
        (along strike from the fault's first end, down dip from the top edge), km.

    Raises
    ------
    SettingError
        An unknown distribution, named ``hypocentre_distribution``.

    Examples
    --------
    >>> import numpy as np
    >>> from kinematic_rupture import Fault
    >>> fault = Fault.single(length_km=20, width_km=10, cell_km=1.0)
    >>> along, down = draw_hypocentre(fault, np.ones(fault.subfault_count), seed=7)
    >>> 0 <= along <= 20 and 0 <= down <= 10
    True
    """
    if distribution not in DISTRIBUTIONS:
        raise SettingError("hypocentre_distribution", distribution,
                           f"must be one of {', '.join(DISTRIBUTIONS)}")
    prior = prior_density(fault, distribution)
    classes = slip_classes(fault, slip_m)
    mass = np.bincount(classes, prior, minlength=3)
    shares = np.where(mass > 0, MAI_2005_CLASS_SHARES, 0.0)
    weight = prior * (shares / np.where(mass > 0, mass, 1.0))[classes]
    rng = np.random.default_rng(np.random.SeedSequence(seed, spawn_key=(HYPOCENTRE_STREAM,)))
    first, second = rng.random(2)
    grids = [fault.on_plane(weight, number) for number in range(len(fault.planes))]
    along = inverse_cdf(np.concatenate([grid.sum(axis=0) for grid in grids]), first)
    ends = np.cumsum([grid.shape[1] for grid in grids])
    column = min(int(along), int(ends[-1]) - 1)
    plane = int(np.searchsorted(ends, column, side="right"))
    down = inverse_cdf(grids[plane][:, column - (int(ends[plane - 1]) if plane else 0)], second)
    return float(along * fault.cell_km), float(down * fault.cell_km)


def inverse_cdf(weights: npt.NDArray[np.float64], u: float) -> float:
    """Where, in cells from the first, the cumulative sum of `weights` (each spread evenly
    over its cell) reaches the fraction `u` of their total: a draw of a density constant on
    each cell. Drawn along strike from the columns' sums, then down dip in the column it
    falls in, the same seed lands in the same place on cells of any size whose weights
    agree at their scale.

    Parameters
    ----------
    weights : numpy.ndarray
        Non-negative, not all zero.
    u : float
        In [0, 1).

    Returns
    -------
    float
        The position, in cells, within a cell of non-zero weight.
    """
    cumulative = np.cumsum(weights)
    target = u * cumulative[-1]
    cell = min(int(np.searchsorted(cumulative, target, side="right")), weights.size - 1)
    while weights[cell] <= 0.0:  # a target exactly on a boundary before empty cells
        cell -= 1
    before = cumulative[cell] - weights[cell]
    return cell + float(np.clip((target - before) / weights[cell], 0.0, 1.0))
