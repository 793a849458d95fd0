"""The rupture's random fields, drawn so that a seed names one rupture at any cell size.

Each field is the sum of two independent parts (both von Kármán, Mai and Beroza 2002,
through `field`'s circulant embedding):

- the base: drawn on a reference grid fixed in kilometres (its spacing REFERENCE_SPACING_KM
  or a fraction of the shorter correlation length, whichever is smaller; its extent the
  whole fault's, every chart side by side along strike, plus three nodes either side),
  whatever the cells, and carried to the cells' centres by quintic B-spline
  interpolation (Unser 1999), exact where a node lies at a centre. The same seed gives
  the same base on cells of any size, and the same on both sides of a junction between
  charts.
- the detail: drawn on the chart's own cells with only the wavenumbers the reference
  grid cannot hold (beyond its Nyquist wavenumber in either direction), so that cells
  finer than the reference grid carry the field's full roughness; empty elsewhere.

Fields whose gradients matter (rupture speed, the rupture-time perturbation, and the slip
they follow) are averaged over `smoothing_km` (or the cells, if larger): smooth at that
scale whatever the cells, so the front's speed does not depend on them, and neither does
the steepest a perturbation can be.

.. autosummary::

   draw_reference
   base_on_chart
   smoothing_km
   window_nodes
   detail_on_chart
   reference_grid
   interpolation_taps
   node_indices
   interpolate
   spline_coefficients
   spline_weight
   high_pass
   detail_embedding
   ReferenceGrid
   ReferenceFields
   Taps
"""

import functools
import math
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt
from scipy import ndimage

from .charts import Chart
from .field import EMBEDDING_CACHE_SIZE, Embedding, draw_fields, draw_seed, embed_von_karman
from .timing import timing

__all__ = ["draw_reference", "base_on_chart", "smoothing_km", "window_nodes", "detail_on_chart",
           "reference_grid", "interpolation_taps", "node_indices", "interpolate",
           "spline_coefficients", "spline_weight", "high_pass", "detail_embedding",
           "ReferenceGrid", "ReferenceFields", "Taps"]

FloatArray = npt.NDArray[np.float64]

# The scale the smooth fields vary on: the shorter correlation length over this. Beyond
# the wavenumber 1 / (2 x that scale) lies about 1% of a von Kármán field's variance
# (H = 0.75).
NODES_PER_CORRELATION = 8
# The reference grid's spacing at most, km: the default cells'. Cells of 0.1, 0.25 and
# 0.5 km then hold the same slip up to what each resolves: when the coarser cells took
# the wavenumbers beyond a grid of the smoothing scale from draws of their own, one
# seed's spectra on 0.1 and 0.25 km cells differed by up to a factor 2.1 at 1.6 to 2.6 Hz.
REFERENCE_SPACING_KM = 0.1
# The reference grid's nodes at most; a longer fault's grid is coarser.
MOST_REFERENCE_NODES = 1_000_000
# Quintic B-spline interpolation (Unser 1999): a point takes the spline coefficients of
# the nodes within three spacings. Midway between two nodes it keeps 0.997 of the
# amplitude of a wavelength of four spacings and 0.91 of one of 2.7 (Keys's 1981
# six-point cubic convolution: 0.94 and 0.64, which on 0.2 km cells, read midway between
# the nodes of a 0.1 km grid, made the slip's fitted correlation lengths a quarter short,
# its Hurst exponent 0.81 for 0.75).
SPLINE_ORDER = 5
SPLINE_REACH = 3
# A point this close to a node, in spacings, lies on it: the cells' centres are computed
# in floating point.
NODE_TOLERANCE = 1e-9
# Draw numbers of a chart's base and detail draws (see `field.draw_seed`): each chart
# draws within a block of its own.
DRAWS_PER_CHART = 16
DETAIL_DRAWS_FROM = 8


@dataclass(frozen=True)
class ReferenceGrid:
    """Nodes every `spacing_km`, node (i, j) at ((i - 2.5) spacing, (j - 2.5) spacing) km
    down dip and along strike from the chart's top left corner: cells of that side, or of
    an odd multiple of it, have a node at each centre.

    Attributes
    ----------
    spacing_km : float
        The nodes' spacing, km.
    shape : tuple of int
        (nodes down dip, nodes along strike), three nodes beyond either end.
    """

    spacing_km: float
    shape: tuple[int, int]


def reference_grid(*, extent_km: tuple[float, float],
                   correlation_km: tuple[float, float]) -> ReferenceGrid:
    """The reference grid of a fault: nodes every `REFERENCE_SPACING_KM` or every
    `smoothing_km`, whichever is closer, further apart only if that would take more than
    `MOST_REFERENCE_NODES`.

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
    spacing = min(smoothing_km(correlation_km), REFERENCE_SPACING_KM)

    def shape(step: float) -> tuple[int, int]:
        return (math.ceil(extent_km[0] / step) + 2 * SPLINE_REACH,
                math.ceil(extent_km[1] / step) + 2 * SPLINE_REACH)

    while math.prod(shape(spacing)) > MOST_REFERENCE_NODES:
        spacing *= 1.25
    return ReferenceGrid(spacing, shape(spacing))


def smoothing_km(correlation_km: tuple[float, float]) -> float:
    """The scale the smooth fields vary on, km: the shorter correlation length over
    `NODES_PER_CORRELATION`.

    Parameters
    ----------
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.

    Returns
    -------
    float
        The scale, km.
    """
    return min(correlation_km) / NODES_PER_CORRELATION


def window_nodes(window_km: float, *, spacing_km: float) -> int:
    """How many nodes, odd so that it stays centred, make an average over `window_km`.

    Parameters
    ----------
    window_km : float
        The window, km.
    spacing_km : float
        The nodes' spacing, km.

    Returns
    -------
    int
        The nearest odd count, at least 1.

    Examples
    --------
    >>> [window_nodes(window, spacing_km=0.1) for window in (0.5, 0.25, 0.1)]
    [5, 3, 1]
    """
    return max(1, 2 * round((window_km / spacing_km - 1.0) / 2.0) + 1)


def spline_weight(s: FloatArray) -> FloatArray:
    """The centred quintic B-spline (Unser 1999): the weight of a node's spline
    coefficient at an offset from it.

    Parameters
    ----------
    s : numpy.ndarray
        Offsets from a node, in nodes.

    Returns
    -------
    numpy.ndarray
        The weights; 0 from `SPLINE_REACH` (3) nodes on.

    Examples
    --------
    >>> import numpy as np
    >>> (spline_weight(np.array([0.0, 1.0, 2.0, 3.0])) * 120).round(9).tolist()
    [66.0, 26.0, 1.0, 0.0]
    """
    d = np.abs(s)
    return (np.maximum(3.0 - d, 0.0) ** 5 - 6.0 * np.maximum(2.0 - d, 0.0) ** 5
            + 15.0 * np.maximum(1.0 - d, 0.0) ** 5) / 120.0


def spline_coefficients(values: FloatArray) -> FloatArray:
    """The quintic B-spline coefficients whose spline passes through `values` at the nodes,
    the grid mirrored about its edge nodes beyond them.

    Parameters
    ----------
    values : numpy.ndarray
        Values on the nodes, (down dip, along strike).

    Returns
    -------
    numpy.ndarray
        The coefficients, the same shape.
    """
    return np.asarray(ndimage.spline_filter(values, order=SPLINE_ORDER, mode="mirror"),
                      dtype=np.float64)


@dataclass(frozen=True, eq=False)
class Taps:
    """Quintic B-spline interpolation from nodes (i - 2.5) spacing to a set of points.

    Attributes
    ----------
    index : numpy.ndarray of int
        Each point's six nodes, (points, 6).
    weight : numpy.ndarray
        Their weights, (points, 6).
    """

    index: npt.NDArray[np.intp]
    weight: FloatArray


def interpolation_taps(at_km: npt.ArrayLike, *, spacing_km: float) -> Taps:
    """The taps that carry values on nodes (i - 2.5) spacing to the points `at_km`.

    Parameters
    ----------
    at_km : array_like
        The points, km from half a spacing before the grid's third node.
    spacing_km : float
        The nodes' spacing, km.

    Returns
    -------
    Taps
        Each point's nodes and weights.
    """
    position = np.asarray(at_km, dtype=np.float64) / spacing_km + SPLINE_REACH - 0.5
    taps = np.arange(1 - SPLINE_REACH, SPLINE_REACH + 1)
    node = np.floor(position).astype(np.intp)[:, None] + taps[None, :]
    return Taps(node, spline_weight(position[:, None] - node))


def node_indices(at_km: FloatArray, *, spacing_km: float) -> npt.NDArray[np.intp] | None:
    """The nodes (i - 2.5) spacing at the points `at_km`, if every point lies on one (to
    `NODE_TOLERANCE`): there the spline is the nodes' values, read without interpolating.

    Parameters
    ----------
    at_km : numpy.ndarray
        The points, km from half a spacing before the grid's third node.
    spacing_km : float
        The nodes' spacing, km.

    Returns
    -------
    numpy.ndarray of int or None
        Each point's node, or None if some point lies between nodes.

    Examples
    --------
    >>> import numpy as np
    >>> node_indices((np.arange(3) + 0.5) * 0.5, spacing_km=0.1).tolist()
    [5, 10, 15]
    >>> node_indices((np.arange(3) + 0.5) * 0.2, spacing_km=0.1) is None
    True
    """
    position = at_km / spacing_km + SPLINE_REACH - 0.5
    nearest = np.rint(position)
    if np.any(np.abs(position - nearest) > NODE_TOLERANCE):
        return None
    return nearest.astype(np.intp)


def interpolate(values: FloatArray, *, down: Taps, along: Taps) -> FloatArray:
    """A spline's values at points, down dip by `down` and along strike by `along`.

    Parameters
    ----------
    values : numpy.ndarray
        The spline's coefficients on the nodes (`spline_coefficients`), (down dip, along
        strike).
    down, along : Taps
        The taps of the points down dip and along strike.

    Returns
    -------
    numpy.ndarray
        The values at the points, (down dip, along strike).
    """
    across = values[:, along.index[:, 0]] * along.weight[:, 0]
    for k in range(1, along.index.shape[1]):
        across += values[:, along.index[:, k]] * along.weight[:, k]
    carried = across[down.index[:, 0], :] * down.weight[:, 0, None]
    for k in range(1, down.index.shape[1]):
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
                  along_km: float, window_km: float = 0.0,
                  fields: Sequence[int] | None = None) -> list[FloatArray]:
    """The base fields on a chart's cells, each averaged over `window_km` about their
    centres: the same field on both sides of every junction.

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
    window_km : float
        The side of the square each value is averaged over, km (`window_nodes`); by
        default none, the values at the centres.
    fields : sequence of int, optional
        Which of the reference's fields, in this order; all of them by default.

    Returns
    -------
    list of numpy.ndarray
        Each field on the chart's cells, (rows, columns).
    """
    rows, columns = chart.shape
    spacing = reference.grid.spacing_km
    down_km = (np.arange(rows, dtype=np.float64) + 0.5) * cell_km
    along_at_km = along_km + (np.arange(columns, dtype=np.float64) + 0.5) * cell_km
    down_nodes = node_indices(down_km, spacing_km=spacing)
    along_nodes = node_indices(along_at_km, spacing_km=spacing)
    if down_nodes is None or along_nodes is None:
        down = interpolation_taps(down_km, spacing_km=spacing)
        along = interpolation_taps(along_at_km, spacing_km=spacing)

    def carried(values: FloatArray) -> FloatArray:
        if down_nodes is not None and along_nodes is not None:
            return np.array(values[np.ix_(down_nodes, along_nodes)])
        return interpolate(spline_coefficients(values), down=down, along=along)

    nodes = window_nodes(window_km, spacing_km=spacing)
    chosen = range(len(reference.values)) if fields is None else fields
    return [carried(ndimage.uniform_filter(reference.values[k], size=nodes, mode="nearest")
                    if nodes > 1 else reference.values[k]) for k in chosen]


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
