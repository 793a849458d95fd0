"""The rupture's random fields, drawn so that a seed names one rupture at any cell size.

Each field is the sum of two independent parts (both von Kármán, Mai and Beroza 2002,
through `field`'s circulant embedding):

- the base: drawn on a reference grid fixed in kilometres (its spacing a fraction of the
  shorter correlation length, its extent the whole fault's, every chart side by side
  along strike, plus a node either side), whatever the cells, and carried to the cells'
  centres by cubic convolution (Keys 1981). The same seed gives the same base on cells
  of any size, and the same on both sides of a junction between charts.
- the detail: drawn on the chart's own cells with only the wavenumbers the reference
  grid cannot hold (beyond its Nyquist wavenumber in either direction), so that fine cells
  carry the field's full roughness; empty where the cells are no finer than the
  reference grid.

Fields whose gradients matter (rupture speed, the rupture-time perturbation) take the
base alone: it is smooth at the scale of the reference grid, so the front's speed does not
depend on the cells, and neither does the steepest a perturbation can be.

.. autosummary::

   draw_reference
   base_on_chart
   detail_on_chart
   reference_grid
   interpolation_taps
   interpolate
   keys_weight
   high_pass
   detail_embedding
   ReferenceGrid
   ReferenceFields
   Taps
"""

import functools
import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .charts import Chart
from .field import EMBEDDING_CACHE_SIZE, Embedding, draw_fields, draw_seed, embed_von_karman
from .timing import timing

__all__ = ["draw_reference", "base_on_chart", "detail_on_chart", "reference_grid",
           "interpolation_taps", "interpolate", "keys_weight", "high_pass", "detail_embedding",
           "ReferenceGrid", "ReferenceFields", "Taps"]

FloatArray = npt.NDArray[np.float64]

# Reference-grid nodes per shorter correlation length: above the grid's Nyquist
# wavenumber lies about 1% of a von Kármán field's variance (H = 0.75).
NODES_PER_CORRELATION = 8
# The reference grid's nodes at most; a longer fault's grid is coarser.
MOST_REFERENCE_NODES = 1_000_000
# Keys's (1981) cubic convolution with a = -1/2: third-order accurate, interpolating.
KEYS_A = -0.5
# Draw numbers of a chart's base and detail draws (see `field.draw_seed`): each chart
# draws within a block of its own.
DRAWS_PER_CHART = 16
DETAIL_DRAWS_FROM = 8


@dataclass(frozen=True)
class ReferenceGrid:
    """Nodes every `spacing_km`, node (i, j) at ((i - 1) spacing, (j - 1) spacing) km down
    dip and along strike from the chart's top left corner.

    Attributes
    ----------
    spacing_km : float
        The nodes' spacing, km.
    shape : tuple of int
        (nodes down dip, nodes along strike), a node beyond either end.
    """

    spacing_km: float
    shape: tuple[int, int]


def reference_grid(*, extent_km: tuple[float, float],
                   correlation_km: tuple[float, float]) -> ReferenceGrid:
    """The reference grid of a fault: `NODES_PER_CORRELATION` nodes per shorter correlation
    length, coarser only if that would take more than `MOST_REFERENCE_NODES`.

    Parameters
    ----------
    extent_km : tuple of float
        (down dip, along strike) extent to cover, km.
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.

    Returns
    -------
    ReferenceGrid
        The grid.
    """
    spacing = min(correlation_km) / NODES_PER_CORRELATION

    def shape(step: float) -> tuple[int, int]:
        return (math.ceil(extent_km[0] / step) + 3, math.ceil(extent_km[1] / step) + 3)

    while math.prod(shape(spacing)) > MOST_REFERENCE_NODES:
        spacing *= 1.25
    return ReferenceGrid(spacing, shape(spacing))


def keys_weight(s: FloatArray) -> FloatArray:
    """Keys's (1981) cubic convolution kernel, a = -1/2.

    Parameters
    ----------
    s : numpy.ndarray
        Offsets from a node, in nodes.

    Returns
    -------
    numpy.ndarray
        The weights; 0 beyond two nodes.
    """
    a, d = KEYS_A, np.abs(s)
    near = ((a + 2.0) * d - (a + 3.0)) * d * d + 1.0
    far = ((a * d - 5.0 * a) * d + 8.0 * a) * d - 4.0 * a
    return np.where(d <= 1.0, near, np.where(d < 2.0, far, 0.0))


@dataclass(frozen=True, eq=False)
class Taps:
    """Cubic convolution from nodes (i - 1) spacing to a set of points.

    Attributes
    ----------
    index : numpy.ndarray of int
        Each point's four nodes, (points, 4).
    weight : numpy.ndarray
        Their weights, (points, 4).
    """

    index: npt.NDArray[np.intp]
    weight: FloatArray


def interpolation_taps(at_km: npt.ArrayLike, *, spacing_km: float) -> Taps:
    """The taps that carry values on nodes (i - 1) spacing to the points `at_km`.

    Parameters
    ----------
    at_km : array_like
        The points, km from the grid's first node but one.
    spacing_km : float
        The nodes' spacing, km.

    Returns
    -------
    Taps
        Each point's nodes and weights.
    """
    position = np.asarray(at_km, dtype=np.float64) / spacing_km + 1.0
    node = np.floor(position).astype(np.intp)[:, None] - 1 + np.arange(4)[None, :]
    return Taps(node, keys_weight(position[:, None] - node))


def interpolate(values: FloatArray, *, down: Taps, along: Taps) -> FloatArray:
    """A grid on nodes carried to points, down dip by `down` and along strike by `along`.

    Parameters
    ----------
    values : numpy.ndarray
        Values on the nodes, (down dip, along strike).
    down, along : Taps
        The taps of the points down dip and along strike.

    Returns
    -------
    numpy.ndarray
        The values at the points, (down dip, along strike).
    """
    across = values[:, along.index[:, 0]] * along.weight[:, 0]
    for k in range(1, 4):
        across += values[:, along.index[:, k]] * along.weight[:, k]
    carried = across[down.index[:, 0], :] * down.weight[:, 0, None]
    for k in range(1, 4):
        carried += across[down.index[:, k], :] * down.weight[:, k, None]
    return np.asarray(carried, dtype=np.float64)


def high_pass(embedding: Embedding, *, cell_km: float, spacing_km: float) -> Embedding | None:
    """The embedding with only the wavenumbers beyond a grid of `spacing_km`'s Nyquist
    wavenumber (in either direction).

    Parameters
    ----------
    embedding : Embedding
        The cells' embedding.
    cell_km : float
        The cells' side, km.
    spacing_km : float
        The reference grid's spacing, km.

    Returns
    -------
    Embedding or None
        The embedding with the lower wavenumbers' amplitudes zero; None when there are no
        others.
    """
    limit = 0.5 / spacing_km  # cycles per km
    rows, columns = embedding.amplitudes.shape
    padded = embedding.padded_shape
    down = np.arange(rows) / (padded[0] * cell_km)
    along = np.arange(columns) / (padded[1] * cell_km)
    beyond = (down[:, None] > limit) | (along[None, :] > limit)
    if not beyond.any():
        return None
    amplitudes = np.where(beyond, embedding.amplitudes, 0.0)
    return Embedding(amplitudes, padded, embedding.clipped_fraction, embedding.clipped_variance)


@dataclass(frozen=True, eq=False)
class ReferenceFields:
    """Base fields on the nodes of one reference grid spanning the whole fault (its charts side
    by side along strike, the widest's width down dip), and their embedding.

    Attributes
    ----------
    grid : ReferenceGrid
        The grid.
    values : list of numpy.ndarray
        The unit-variance fields on its nodes.
    embedding : Embedding
        Their circulant embedding.
    """

    grid: ReferenceGrid
    values: list[FloatArray]
    embedding: Embedding


def draw_reference(*, extent_km: tuple[float, float], correlation_km: tuple[float, float],
                   hurst: float, seed: int, count: int,
                   timings: dict[str, float]) -> ReferenceFields:
    """The base fields on the reference grid of a fault, from the rupture's seed.

    Parameters
    ----------
    extent_km : tuple of float
        The fault's (down dip, along strike) extent, km.
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.
    hurst : float
        The von Kármán Hurst exponent.
    seed : int
        The rupture's seed.
    count : int
        How many fields.
    timings : dict of str to float
        The kernel's seconds are added to it under ``"circulant_draw"``.

    Returns
    -------
    ReferenceFields
        The fields and their grid.
    """
    grid = reference_grid(extent_km=extent_km, correlation_km=correlation_km)
    embedding = embed_von_karman(grid.shape, grid.spacing_km, correlation_km, hurst)
    values: list[FloatArray] = []
    for draw in range(math.ceil(count / 2)):
        with timing(timings, "circulant_draw"):
            values += draw_fields(embedding, grid.shape, draw_seed(seed, draw))
    return ReferenceFields(grid, values[:count], embedding)


def base_on_chart(reference: ReferenceFields, chart: Chart, *, cell_km: float,
                  along_km: float, fields: int | None = None) -> list[FloatArray]:
    """The base fields on a chart's cells: the same field on both sides of every junction.

    Parameters
    ----------
    reference : ReferenceFields
        The fields on the reference grid.
    chart : Chart
        The chart.
    cell_km : float
        The cells' side, km.
    along_km : float
        Where the chart starts along the fault, km.
    fields : int, optional
        Only the first this many fields; all by default.

    Returns
    -------
    list of numpy.ndarray
        Each field on the chart's cells, (rows, columns).
    """
    rows, columns = chart.shape
    spacing = reference.grid.spacing_km
    down = interpolation_taps((np.arange(rows) + 0.5) * cell_km, spacing_km=spacing)
    along = interpolation_taps(along_km + (np.arange(columns) + 0.5) * cell_km,
                               spacing_km=spacing)
    return [interpolate(values, down=down, along=along) for values in reference.values[:fields]]


@functools.lru_cache(maxsize=EMBEDDING_CACHE_SIZE)
def detail_embedding(cells: tuple[int, int], *, cell_km: float,
                     correlation_km: tuple[float, float], hurst: float,
                     spacing_km: float) -> Embedding | None:
    """The chart's embedding with only the wavenumbers a reference grid of `spacing_km` cannot
    hold; made once per process for the same arguments, as the embedding is.

    Parameters
    ----------
    cells : tuple of int
        The chart's (rows, columns).
    cell_km : float
        The cells' side, km.
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.
    hurst : float
        The von Kármán Hurst exponent.
    spacing_km : float
        The reference grid's spacing, km.

    Returns
    -------
    Embedding or None
        Read-only amplitudes, shared by every draw; None when the cells hold nothing the
        reference grid cannot.
    """
    above = high_pass(embed_von_karman(cells, cell_km, correlation_km, hurst), cell_km=cell_km,
                      spacing_km=spacing_km)
    if above is not None:
        above.amplitudes.flags.writeable = False  # shared by every draw that reuses it
    return above


def detail_on_chart(chart: Chart, number: int, *, cell_km: float,
                    correlation_km: tuple[float, float], hurst: float, spacing_km: float,
                    seed: int, count: int,
                    timings: dict[str, float]) -> tuple[list[FloatArray], Embedding] | None:
    """The detail fields on one chart, from the rupture's seed and the chart's `number`, and
    their embedding.

    Parameters
    ----------
    chart : Chart
        The chart.
    number : int
        Its number: each chart draws within a block of draws of its own.
    cell_km : float
        The cells' side, km.
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.
    hurst : float
        The von Kármán Hurst exponent.
    spacing_km : float
        The reference grid's spacing, km.
    seed : int
        The rupture's seed.
    count : int
        How many fields.
    timings : dict of str to float
        The kernel's seconds are added to it under ``"circulant_draw"``.

    Returns
    -------
    tuple of (list of numpy.ndarray, Embedding) or None
        The fields on the chart's cells and their embedding; None where the cells are no
        finer than the reference grid.
    """
    if not count or cell_km >= spacing_km:
        return None
    above = detail_embedding(chart.shape, cell_km=cell_km, correlation_km=correlation_km,
                             hurst=hurst, spacing_km=spacing_km)
    if above is None:
        return None
    detail: list[FloatArray] = []
    for draw in range(math.ceil(count / 2)):
        seed_here = draw_seed(seed, DRAWS_PER_CHART * number + DETAIL_DRAWS_FROM + draw)
        with timing(timings, "circulant_draw"):
            detail += draw_fields(above, chart.shape, seed_here)
    return detail[:count], above
