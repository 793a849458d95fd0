"""Gaussian random fields on a fault chart: the von Kármán covariance (Mai and Beroza
2002), its circulant embedding, and the draw.

The embedding's eigenvalues come from the covariance on a padded periodic grid; the
padding grows until they are non-negative, and what is still negative after the last
growth is clipped to zero and reported. An embedding depends only on the chart's cells,
the cell size, the correlation lengths and the Hurst exponent, so a process computes each
one once and every later draw of the same chart reuses it; it is also kept on disk for
the next process, in ``$KINEMATIC_RUPTURE_CACHE`` (by default
``$XDG_CACHE_HOME/kinematic-rupture``, else ``~/.cache/kinematic-rupture``; ``off``
keeps none), under a hash of everything that decides its bits.

.. autosummary::

   von_karman
   embed_von_karman
   Embedding
   draw_fields
   draw_seed
   allowed_padding
   largest_padding
   cache_directory
"""

import functools
import hashlib
import importlib
import math
import os
import platform
import zipfile
from dataclasses import dataclass
from pathlib import Path
from typing import Any, cast

import numpy as np
import numpy.typing as npt
import scipy
from scipy.special import gamma, kv

import _kernels

from .files import write_atomically

__all__ = ["von_karman", "embed_von_karman", "Embedding", "draw_fields", "draw_seed",
           "allowed_padding", "largest_padding", "cache_directory"]

FloatArray = npt.NDArray[np.float64]
IntArray = npt.NDArray[np.int64]

# Padded grid sizes tried for the embedding, as multiples of the chart's cell counts.
PADDING_FACTORS = (2, 3, 4)
# Negative eigenvalues this small, relative to the largest, are rounding, not a defect.
EIGENVALUE_TOLERANCE = 1e-12
# Embeddings a process keeps: enough for the charts of a few faults.
EMBEDDING_CACHE_SIZE = 16


@dataclass(frozen=True, eq=False)
class Embedding:
    """The amplitude quadrant of a circulant embedding, and what had to be clipped.

    Attributes
    ----------
    amplitudes : numpy.ndarray
        The square roots of the padded grid's eigenvalues, its first quadrant
        (padded rows // 2 + 1, padded columns // 2 + 1); read-only, shared by every draw.
    padded_shape : tuple of int
        The padded periodic grid (rows, columns).
    clipped_fraction : float
        The share of the padded grid's eigenvalues that were negative and set to zero.
    clipped_variance : float
        Their magnitude as a share of the field's variance, which is how much clipping
        inflates it.
    """

    amplitudes: FloatArray
    padded_shape: tuple[int, int]
    clipped_fraction: float
    clipped_variance: float


def von_karman(distance: FloatArray, hurst: float) -> FloatArray:
    """The von Kármán correlation, 1 at 0: 2^(1-H) / Gamma(H) r^H K_H(r) (Mai and Beroza 2002,
    eq. 3).

    Parameters
    ----------
    distance : numpy.ndarray
        Distances r, in correlation lengths (dimensionless).
    hurst : float
        The Hurst exponent H, in (0, 1].

    Returns
    -------
    numpy.ndarray
        The correlation, from 1 down towards 0.

    Examples
    --------
    >>> import numpy as np
    >>> von_karman(np.array([0.0, 1.0, 3.0]), 0.5).round(4).tolist()
    [1.0, 0.3679, 0.0498]
    """
    correlation = np.ones_like(distance)
    away = distance > 0
    r = distance[away]
    correlation[away] = 2.0 ** (1.0 - hurst) / gamma(hurst) * r**hurst * kv(hurst, r)
    return correlation


def smooth_size(n: int) -> int:
    """The smallest size at least `n` with no prime factor above 5, which FFTs like.

    Parameters
    ----------
    n : int
        The least size.

    Returns
    -------
    int
        The size.
    """
    while True:
        m = n
        for p in (2, 3, 5):
            while m % p == 0:
                m //= p
        if m == 1:
            return n
        n += 1


def mirror_index(padded: int) -> npt.NDArray[np.intp]:
    """Quadrant index of each padded index: a periodic grid's lag is the shorter way round.

    Parameters
    ----------
    padded : int
        The periodic grid's size.

    Returns
    -------
    numpy.ndarray of int
        ``min(k, padded - k)`` for every index k.
    """
    k = np.arange(padded)
    return np.minimum(k, padded - k)


def quadrant_weights(padded: int) -> npt.NDArray[np.intp]:
    """How many padded indices each quadrant index stands for.

    Parameters
    ----------
    padded : int
        The periodic grid's size.

    Returns
    -------
    numpy.ndarray of int
        The count of each quadrant index, ``padded // 2 + 1`` of them.
    """
    return np.bincount(mirror_index(padded), minlength=padded // 2 + 1)


@functools.lru_cache(maxsize=EMBEDDING_CACHE_SIZE)
def embed_von_karman(cells: tuple[int, int], cell_km: float, correlation_km: tuple[float, float],
                     hurst: float) -> Embedding:
    """The embedding of a von Kármán covariance on a chart, its eigenvalues non-negative or
    clipped. Computed once per process for the same arguments, and kept on disk for the next
    process (see the module's description).

    Parameters
    ----------
    cells : tuple of int
        The chart's (rows down dip, columns along strike).
    cell_km : float
        The cells' side, km.
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.
    hurst : float
        The Hurst exponent, in (0, 1].

    Returns
    -------
    Embedding
        The same object for the same arguments within a process.

    Examples
    --------
    >>> embedding = embed_von_karman((20, 40), 0.5, (5.0, 3.0), 0.75)
    >>> embedding.padded_shape, embedding.amplitudes.shape
    ((80, 160), (41, 81))
    """
    key = (cells, cell_km, correlation_km, hurst)
    found = read_cached(key)
    if found is not None:
        return found
    embedding = compute_embedding(cells, cell_km, correlation_km, hurst)
    write_cached(key, embedding)
    return embedding


def allowed_padding(cells: tuple[int, int]) -> list[tuple[int, int]]:
    """The padded grids an embedding of a chart may take, in the order tried.

    Parameters
    ----------
    cells : tuple of int
        The chart's (rows, columns).

    Returns
    -------
    list of tuple of int
        Each `PADDING_FACTORS` times the cells, raised to a size FFTs like.
    """
    return [(smooth_size(factor * cells[0]), smooth_size(factor * cells[1]))
            for factor in PADDING_FACTORS]


def largest_padding(cells: tuple[int, int]) -> tuple[int, int]:
    """The largest padded grid an embedding of a chart may take: the one it takes whenever the
    correlation lengths are not small beside the chart, as for faults sized by their
    magnitude (their covariances need every padding factor), and more than it takes
    otherwise. Known without computing any eigenvalue.

    Parameters
    ----------
    cells : tuple of int
        The chart's (rows, columns).

    Returns
    -------
    tuple of int
        The padded (rows, columns).
    """
    return allowed_padding(cells)[-1]


def compute_embedding(cells: tuple[int, int], cell_km: float,
                      correlation_km: tuple[float, float], hurst: float) -> Embedding:
    """The embedding of `embed_von_karman`, computed.

    Parameters
    ----------
    cells : tuple of int
        The chart's (rows, columns).
    cell_km : float
        The cells' side, km.
    correlation_km : tuple of float
        The correlation lengths (along strike, down dip), km.
    hurst : float
        The Hurst exponent.

    Returns
    -------
    Embedding
        The embedding on the first padding whose eigenvalues are non-negative, else on the
        largest with the negative ones clipped.
    """
    along_km, down_km = correlation_km
    for padded in allowed_padding(cells):
        quadrant = (padded[0] // 2 + 1, padded[1] // 2 + 1)
        lag_down = np.arange(quadrant[0]) * cell_km / down_km
        lag_along = np.arange(quadrant[1]) * cell_km / along_km
        covariance = von_karman(np.hypot(lag_down[:, None], lag_along[None, :]), hurst)
        # The covariance of the whole periodic grid is even in both lags, so its
        # transform is real and mirrors the same way: the first rows of the half
        # spectrum are the quadrant.
        periodic = covariance[np.ix_(mirror_index(padded[0]), mirror_index(padded[1]))]
        eigenvalues = np.fft.rfft2(periodic).real[: quadrant[0]]
        negative = eigenvalues < -EIGENVALUE_TOLERANCE * eigenvalues.max()
        if not negative.any():
            break
    weights = np.outer(quadrant_weights(padded[0]), quadrant_weights(padded[1]))
    size = padded[0] * padded[1]
    clipped_fraction = float(weights[negative].sum()) / size
    clipped_variance = float(-(weights[negative] * eigenvalues[negative]).sum()) / size
    amplitudes = np.ascontiguousarray(np.sqrt(np.clip(eigenvalues, 0.0, None)))
    return Embedding(read_only(amplitudes), padded, clipped_fraction, clipped_variance)


def read_only(values: FloatArray) -> FloatArray:
    values.flags.writeable = False  # shared by every draw that reuses it
    return values


# ---- The embeddings kept on disk -----------------------------------------------------------
#
# Embeddings take a noticeable part of a one-off run (0.4 s of the default fault's), so
# they are kept in $KINEMATIC_RUPTURE_CACHE (default: $XDG_CACHE_HOME/kinematic-rupture,
# else ~/.cache/kinematic-rupture; "off" keeps none) under a hash of everything that
# decides their bits: the arguments, the way they are computed, the NumPy and SciPy that
# compute them and the processor features NumPy's loops dispatch on (its float64 exp and
# log and its transforms take other paths, with other last bits, on other processors).
# A file is written under a temporary name and renamed into place, so processes writing
# the same embedding at once each leave a whole file, and a reader sees a whole file or
# none. A file is taken only if it holds exactly what the key implies: the key itself, a
# padded shape the key allows, arrays of the shapes and types that shape implies, and a
# SHA-256 digest of them all that matches; members are checked against those sizes before
# they are read, so a file that expands far beyond them costs nothing. Anything else
# (damage, an alteration, a file of other libraries) means computing afresh and keeping
# the result in its place.

CACHE_ENVIRONMENT = "KINEMATIC_RUPTURE_CACHE"
# Changes whenever the way an embedding is computed or kept changes, so old files go unused.
CACHE_FORMAT = "von-karman-embedding-2"
# Room for the header of a cached .npy member (NumPy writes at most a few hundred bytes).
NPY_HEADER_BYTES = 4096
# The cached file's members, by name.
CACHE_MEMBERS = ("identity", "digest", "padded_shape", "clipped", "amplitudes")


def numpy_dispatch() -> tuple[tuple[str, ...], tuple[str, ...]]:
    """The processor features NumPy was built for (its baseline) and those of its
    dispatched loops that this processor has."""
    try:
        umath = importlib.import_module("numpy._core._multiarray_umath")
    except ImportError:  # NumPy 1
        umath = importlib.import_module("numpy.core._multiarray_umath")
    available = umath.__cpu_features__
    return (tuple(umath.__cpu_baseline__),
            tuple(sorted(name for name in umath.__cpu_dispatch__ if available.get(name))))


def computing_libraries() -> tuple[str, ...]:
    """What, besides the arguments, decides an embedding's bits."""
    baseline, dispatched = numpy_dispatch()
    return (f"numpy {np.__version__}", f"scipy {scipy.__version__}",
            f"machine {platform.machine()}", f"numpy baseline {','.join(baseline)}",
            f"numpy dispatch {','.join(dispatched)}")


def cache_identity(key: tuple[object, ...]) -> bytes:
    """Everything that decides the embedding of `key`, as text."""
    return repr((CACHE_FORMAT, PADDING_FACTORS, EIGENVALUE_TOLERANCE, computing_libraries(),
                 key)).encode()


def cache_directory() -> Path | None:
    """Where embeddings are kept between processes.

    Returns
    -------
    pathlib.Path or None
        ``$KINEMATIC_RUPTURE_CACHE``, else ``$XDG_CACHE_HOME/kinematic-rupture``, else
        ``~/.cache/kinematic-rupture``; None when ``$KINEMATIC_RUPTURE_CACHE`` is ``off``.
    """
    chosen = os.environ.get(CACHE_ENVIRONMENT)
    if chosen == "off":
        return None
    if chosen:
        return Path(chosen)
    base = os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache")
    return Path(base) / "kinematic-rupture"


def cache_path(key: tuple[object, ...]) -> Path | None:
    directory = cache_directory()
    if directory is None:
        return None
    return directory / f"{hashlib.sha256(cache_identity(key)).hexdigest()}.npz"


def digest(identity: bytes, padded_shape: IntArray, clipped: FloatArray,
           amplitudes: FloatArray) -> npt.NDArray[np.uint8]:
    """The SHA-256 digest of a cached embedding's members."""
    hashed = hashlib.sha256(identity)
    for values in (padded_shape, clipped, amplitudes):
        hashed.update(np.ascontiguousarray(values).tobytes())
    return np.frombuffer(hashed.digest(), dtype=np.uint8)


class NotCached(Exception):
    """A cached file that is not what its key implies."""


def read_member(archive: zipfile.ZipFile, name: str, dtype: type, shape: tuple[int, ...]) -> Any:
    """Member `name` of a cached file, which must be an array of `shape` and `dtype` (C
    order); it is checked by its declared size and its header before its data are read."""
    expected: np.dtype[Any] = np.dtype(dtype)
    size = expected.itemsize * math.prod(shape)
    try:
        info = archive.getinfo(f"{name}.npy")
    except KeyError:
        raise NotCached(name) from None
    if info.file_size > NPY_HEADER_BYTES + size:
        raise NotCached(name)
    with archive.open(info) as stream:
        version = np.lib.format.read_magic(stream)
        if version == (1, 0):
            header = np.lib.format.read_array_header_1_0(stream)
        elif version == (2, 0):
            header = np.lib.format.read_array_header_2_0(stream)
        else:
            raise NotCached(name)
        if header != (shape, False, expected):
            raise NotCached(name)
        data = stream.read(size)
    if len(data) != size:
        raise NotCached(name)
    return np.frombuffer(data, dtype=expected).reshape(shape).copy()


def read_cached(key: tuple[object, ...]) -> Embedding | None:
    """The embedding kept for `key` (whose first item is the chart's cells), or None where
    there is none that is exactly what the key implies."""
    path = cache_path(key)
    if path is None or not path.is_file():
        return None
    identity = cache_identity(key)
    cells = cast(tuple[int, int], key[0])
    try:
        with zipfile.ZipFile(path) as archive:
            if sorted(archive.namelist()) != sorted(f"{name}.npy" for name in CACHE_MEMBERS):
                return None
            stored = read_member(archive, "identity", np.uint8, (len(identity),))
            kept_digest = read_member(archive, "digest", np.uint8, (32,))
            padded = read_member(archive, "padded_shape", np.int64, (2,))
            clipped = read_member(archive, "clipped", np.float64, (2,))
            shape = (int(padded[0]), int(padded[1]))
            if stored.tobytes() != identity or shape not in allowed_padding(cells):
                return None
            amplitudes = read_member(archive, "amplitudes", np.float64,
                                     (shape[0] // 2 + 1, shape[1] // 2 + 1))
    except Exception:  # whatever a damaged file makes zipfile or NumPy raise: compute
        return None
    if not np.array_equal(kept_digest, digest(identity, padded, clipped, amplitudes)):
        return None
    return Embedding(read_only(amplitudes), shape, float(clipped[0]), float(clipped[1]))


def write_cached(key: tuple[object, ...], embedding: Embedding) -> None:
    """Keeps `embedding` for `key`, in place of whatever file was there."""
    path = cache_path(key)
    if path is None:
        return
    identity = cache_identity(key)
    padded = np.array(embedding.padded_shape, dtype=np.int64)
    clipped = np.array([embedding.clipped_fraction, embedding.clipped_variance])
    kept_digest = digest(identity, padded, clipped, embedding.amplitudes)
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        write_atomically(path, lambda stream: np.savez(
            stream, identity=np.frombuffer(identity, dtype=np.uint8), digest=kept_digest,
            padded_shape=padded, clipped=clipped, amplitudes=embedding.amplitudes))
    except OSError:
        pass


def draw_fields(embedding: Embedding, cells: tuple[int, int], seed: int) -> tuple[FloatArray, FloatArray]:
    """Two independent standard-normal fields on the chart, fixed by `seed`
    (`_kernels.circulant_draw`).

    Parameters
    ----------
    embedding : Embedding
        The chart's embedding.
    cells : tuple of int
        The chart's (rows, columns).
    seed : int
        The draw's seed, 0 to 2^64 - 1.

    Returns
    -------
    tuple of numpy.ndarray
        The two fields, each (rows, columns), unit-variance.

    Examples
    --------
    >>> first, second = draw_fields(embed_von_karman((20, 40), 0.5, (5.0, 3.0), 0.75),
    ...                             (20, 40), seed=7)
    >>> first.shape, second.shape
    ((20, 40), (20, 40))
    """
    return _kernels.circulant_draw(embedding.amplitudes, embedding.padded_shape, cells, seed)


def draw_seed(seed: int, number: int) -> int:
    """The seed of a rupture's draw `number`: the rupture's own for the first, and for the
    others a 64-bit value NumPy's SeedSequence derives from it, fixed across processes.

    Parameters
    ----------
    seed : int
        The rupture's seed.
    number : int
        The draw's number, from 0.

    Returns
    -------
    int
        The draw's seed.
    """
    if number == 0:
        return seed
    return int(np.random.SeedSequence(seed, spawn_key=(number,)).generate_state(1, np.uint64)[0])
