"""Slip-rate pulses as CSR rows (offsets, samples), and the smoothing that makes a subfault
the patch of fault it stands for.

A subfault is written as a point source, but its cell of side h is a patch the front takes
h / Vr to cross: the patch's slip rate is the point's convolved with a boxcar of that
length. Without it, coarse cells start all their slip at once and sum incoherently into
high-frequency energy that a finer chart of the same rupture does not have. The front
crosses the patch from h / (2 Vr) before it reaches the cell's centre to as long after, so
the smoothed pulse starts that much before the rupture time and stays centred on it. The
crossing is kept to the fraction of a sample: its last sample carries what is left.

.. autosummary::

   crossing_widths
   boxcar_taps
   boxcar_centroids
   centred_starts
   smooth_rows
   nonzero_spans
   slip_spans_s
   rupture_duration_s
"""

import importlib
from types import ModuleType

import numpy as np
import numpy.typing as npt

__all__ = ["crossing_widths", "boxcar_taps", "boxcar_centroids", "centred_starts", "smooth_rows",
           "nonzero_spans", "slip_spans_s", "rupture_duration_s"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

compiled: ModuleType | None
try:
    compiled = importlib.import_module("._rows", __package__)
except ImportError:  # a source tree without the compiled module
    compiled = None


def crossing_widths(cell_km: float, speed_km_s: FloatArray, dt_s: float) -> FloatArray:
    """How many samples the front takes to cross each cell, fractions of a sample kept.

    Rounded to whole samples, a crossing of 1.4 samples was not smoothed at all and one of
    1.6 over two samples: on 0.5 km cells, where crossings take 1 to 3 samples, that left
    a reverse rupture at 0.66 of its 0.1 km cells' level at the 0.5 km cells' resolved
    limit.

    Parameters
    ----------
    cell_km : float
        The cells' side, km.
    speed_km_s : numpy.ndarray
        Each cell's rupture speed, km/s.
    dt_s : float
        The sample interval, s.

    Returns
    -------
    numpy.ndarray
        Samples, at least 1: a cell crossed within one sample is not smoothed.

    Examples
    --------
    >>> import numpy as np
    >>> crossing_widths(0.5, np.array([2.5, 0.5, 4.0]), 0.05).tolist()
    [4.0, 20.0, 2.5]
    """
    return np.maximum(1.0, cell_km / (speed_km_s * dt_s))


def boxcar_taps(widths: FloatArray) -> IntArray:
    """How many samples a boxcar of each width covers: its whole samples and the one that
    holds the fraction left (`smooth_rows`).

    Parameters
    ----------
    widths : numpy.ndarray
        Samples, at least 1.

    Returns
    -------
    numpy.ndarray of int
        ceil(widths).
    """
    return np.ceil(widths).astype(np.int64)


def boxcar_centroids(widths: FloatArray) -> FloatArray:
    """Where each boxcar's centroid lies after its first tap, samples: (width - 1) / 2 for a
    whole width, nearer the start where the last tap holds only a fraction of a sample.

    Parameters
    ----------
    widths : numpy.ndarray
        Samples, at least 1.

    Returns
    -------
    numpy.ndarray
        Samples.
    """
    last = boxcar_taps(widths) - 1
    return (0.5 * last * (last - 1) + last * (widths - last)) / widths


def centred_starts(rupture_time_s: FloatArray, widths: FloatArray,
                   dt_s: float) -> tuple[FloatArray, FloatArray]:
    """When each row starts once smoothed over `widths[k]` samples, and the widths to use:
    the boxcar's centroid (`boxcar_centroids`) before the rupture time, so that the
    smoothing moves no pulse's centroid.

    Nothing starts before the rupture does (at 0). A cell the front reaches less than that
    after it holds the hypocentre, where the front starts inside the cell: its slip starts
    at 0 and is spread until the front has crossed the rest of the cell, over the time up to
    its rupture time plus the centroid's lead and one sample.

    Parameters
    ----------
    rupture_time_s : numpy.ndarray
        Each row's rupture time, s.
    widths : numpy.ndarray
        Each row's crossing, samples (`crossing_widths`).
    dt_s : float
        The sample interval, s.

    Returns
    -------
    tuple of numpy.ndarray
        (each row's start, s; the widths to smooth it over, samples).
    """
    lead = boxcar_centroids(widths) * dt_s
    early = rupture_time_s < lead
    cut = 1.0 + (rupture_time_s + lead) / dt_s
    return (np.where(early, 0.0, rupture_time_s - lead),
            np.where(early, np.minimum(cut, widths), widths))


def smooth_rows(offsets: IntArray, samples: FloatArray, widths: FloatArray,
                reference: bool = False) -> tuple[IntArray, FloatArray]:
    """Each non-empty row convolved with a boxcar of its width (unit area), so that it keeps
    its slip; a row of width 1 is unchanged.

    A width need not be whole: a boxcar of W samples covers ceil(W) of them, 1 / W on each
    but the last, which has what is left, (W - ceil(W) + 1) / W.

    Parameters
    ----------
    offsets : numpy.ndarray of int
        The rows' offsets into `samples` (CSR).
    samples : numpy.ndarray
        The slip-rate samples, m/s.
    widths : numpy.ndarray
        Each row's boxcar, samples, at least 1.
    reference : bool
        Smooth with NumPy even where the compiled module could (bit for bit the same).

    Returns
    -------
    tuple of numpy.ndarray
        The new rows' (offsets, samples), each row longer by its taps less one.

    Raises
    ------
    ValueError
        A row with samples whose width is below 1 or not finite; nothing is made.

    Examples
    --------
    >>> import numpy as np
    >>> offsets, samples = smooth_rows(np.array([0, 2]), np.array([5.0, 5.0]), np.array([2.5]))
    >>> offsets.tolist(), samples.tolist()
    ([0, 4], [2.0, 4.0, 3.0, 1.0])
    """
    lengths = np.diff(offsets)
    widths = np.where(lengths > 0, np.asarray(widths, dtype=np.float64), 1.0)
    wrong = np.flatnonzero(~((widths >= 1.0) & np.isfinite(widths)))
    if wrong.size:
        refuse_width(int(wrong[0]), float(widths[wrong[0]]))
    if np.all(widths == 1.0):
        return offsets, samples
    # Every row moves along by the samples the rows before it gained.
    extra = boxcar_taps(widths) - 1
    new_offsets = np.concatenate([[0], offsets[1:] + np.cumsum(extra)]).astype(np.int64)
    if reference or compiled is None:
        return new_offsets, spread_rows(offsets, samples, widths, new_offsets)
    smoothed = np.empty(int(new_offsets[-1]))
    # The compiled module reads contiguous int64 and float64 arrays: these copy only
    # what is not one already.
    compiled.smooth_rows(np.ascontiguousarray(offsets, dtype=np.int64),
                         np.ascontiguousarray(samples, dtype=np.float64),
                         np.ascontiguousarray(widths, dtype=np.float64), new_offsets, smoothed)
    return new_offsets, smoothed


def refuse_width(row: int, width: float) -> None:
    """Raises the ValueError for a boxcar that is no smoothing: narrower than a sample, or
    not a finite number of them."""
    raise ValueError(f"smooth_rows: widths[{row}] is {width!r}: a row's boxcar is a finite "
                     "number of samples, at least 1")


def spread_rows(offsets: IntArray, samples: FloatArray, widths: FloatArray,
                new_offsets: IntArray) -> FloatArray:
    """The smoothed samples, with NumPy: a row of width 1 is copied to its new place as it
    is, and only the wide rows' samples are spread."""
    lengths = np.diff(offsets)
    extra = boxcar_taps(widths) - 1
    moved = np.cumsum(extra) - extra
    target = np.arange(samples.size) + np.repeat(moved, lengths)
    smoothed = np.zeros(int(new_offsets[-1]))
    smoothed[target] = samples
    wide = np.flatnonzero(np.repeat(widths > 1.0, lengths))
    width = np.repeat(widths, lengths)[wide]
    spread = np.repeat(extra, lengths)[wide]
    last = width - spread
    share = samples[wide] / width
    smoothed[target[wide]] = share
    # Sample i of a wide row adds its share to outputs i to i + taps - 1 (the last tap's
    # share the fraction left): one shift at a time, so that no two additions of a pass
    # land on the same output.
    for shift in range(1, int(extra.max()) + 1):
        reaching = spread >= shift
        tap = np.where(spread[reaching] == shift, last[reaching], 1.0)
        smoothed[target[wide][reaching] + shift] += share[reaching] * tap
    return smoothed


# ---- How long a pulse lasts ----------------------------------------------------------------
#
# A subfault slips from its first non-zero sample to the end of its last: each sample stands
# for the interval DT that follows it, which is what makes DT times the sum of the samples
# its slip. Its rise time is that span, (last - first + 1) DT, and a rupture lasts until the
# last of its subfaults stops slipping. The command's summary, the sidecar, `inspect` and
# the figure all measure it so, from the samples written.


def nonzero_spans(offsets: IntArray, samples: FloatArray) -> tuple[IntArray, IntArray]:
    """Each row's first and last non-zero sample.

    Parameters
    ----------
    offsets : numpy.ndarray of int
        The rows' offsets into `samples` (CSR).
    samples : numpy.ndarray
        The samples.

    Returns
    -------
    tuple of numpy.ndarray of int
        (first, last), counted from each row's start; -1 for both in a row with none.
    """
    rows = offsets.size - 1
    first = np.full(rows, -1, dtype=np.int64)
    last = np.full(rows, -1, dtype=np.int64)
    nonzero = np.flatnonzero(samples)
    if nonzero.size:
        # Each sample's row, by lookup: searching the offsets for 3.7 million samples took
        # twice as long.
        row = np.repeat(np.arange(rows, dtype=np.int64), np.diff(offsets))[nonzero]
        change = row[1:] != row[:-1]
        starts = np.concatenate(([True], change))
        ends = np.concatenate((change, [True]))
        first[row[starts]] = nonzero[starts] - offsets[row[starts]]
        last[row[ends]] = nonzero[ends] - offsets[row[ends]]
    return first, last


def slip_spans_s(first: IntArray, last: IntArray, dt_s: float | FloatArray) -> FloatArray:
    """The rise time of each row: its span of non-zero samples times DT.

    Parameters
    ----------
    first, last : numpy.ndarray of int
        The spans (`nonzero_spans`).
    dt_s : float or numpy.ndarray
        The rows' sample interval, s.

    Returns
    -------
    numpy.ndarray
        s; 0 where a row never slips.
    """
    return np.where(last >= 0, (last - first + 1) * dt_s, 0.0)


def rupture_duration_s(start_s: FloatArray, last: IntArray, dt_s: float | FloatArray) -> float:
    """When the last row that slips stops.

    Parameters
    ----------
    start_s : numpy.ndarray
        Each row's first sample time, s.
    last : numpy.ndarray of int
        Each row's last non-zero sample (`nonzero_spans`), -1 where none.
    dt_s : float or numpy.ndarray
        The rows' sample interval, s.

    Returns
    -------
    float
        s; 0 where nothing slips.
    """
    slipping = last >= 0
    if not slipping.any():
        return 0.0
    ends = start_s + (last + 1) * dt_s
    return float(ends[slipping].max())
