"""How much memory a rupture needs, and how much the machine can give it.

The estimate counts what is alive at the build's peak: the per-subfault arrays, the
embedding of each chart's covariance and its draw, the slip-rate samples and the
moment-rate sums made from them block by block, and the block of SRF text being written.
The samples are the part that can grow without bound: a subfault's pulse has about its
rise time over dt samples, and the rise times average the magnitude's mean rise time.

.. autosummary::

   estimate
   MemoryNeed
   available_bytes
   gibibytes
"""

import os
import resource
from dataclasses import dataclass
from pathlib import Path

from .moment import SAMPLE_BLOCK

__all__ = ["estimate", "MemoryNeed", "available_bytes", "gibibytes"]

# Float64 arrays of one value per subfault alive at the peak (slip, times, speeds, rise
# times, crust, positions, the random fields and their temporaries), with room to spare.
ARRAYS_PER_SUBFAULT = 48
# Bytes per padded cell while an embedding is made (the covariance, the periodic grid and
# its half-spectrum: 42 measured) and drawn from (the kernel's work grid, smaller). The
# default rupture's reference grid took 33 to 39 under NumPy 1 and 2 and CPython 3.11 to
# 3.14 (48 made the estimate 1.53 times that under CPython 3.14).
BYTES_PER_PADDED_CELL = 42
# Bytes per padded cell of the amplitudes kept of every chart's embedding: a quadrant of
# float64 values.
KEPT_BYTES_PER_PADDED_CELL = 2
# Bytes held per slip-rate sample: the sample itself, and its share of the moment-rate
# block and of the SRF text block.
BYTES_PER_SAMPLE = 8
BYTES_PER_BLOCK_SAMPLE = 96
# Extra samples a pulse row may have beyond its rise time over dt.
SAMPLES_PER_ROW_BEYOND_RISE = 3
# The interpreter, NumPy, SciPy and matplotlib themselves.
BASELINE_BYTES = 300 << 20


@dataclass(frozen=True)
class MemoryNeed:
    """Bytes a build needs at its peak, by what drives them.

    Parameters
    ----------
    subfault_bytes : float
        The per-subfault arrays, bytes.
    embedding_bytes : float
        The charts' embeddings and their draws, bytes.
    sample_bytes : float
        The slip-rate samples and the blocks made from them, bytes.
    """

    subfault_bytes: float
    embedding_bytes: float
    sample_bytes: float

    @property
    def total(self) -> float:
        """All of it with the interpreter and its libraries, bytes."""
        return BASELINE_BYTES + self.subfault_bytes + self.embedding_bytes + self.sample_bytes


def estimate(subfaults: int, padded_cells: list[int], mean_rise_time_s: float,
             dt_s: float, smoothing_samples: float) -> MemoryNeed:
    """The peak memory of a build. The embeddings are made one at a time and the amplitudes
    of all are kept.

    Parameters
    ----------
    subfaults : int
        The fault's subfaults.
    padded_cells : list of int
        The cells of each chart's embedding (its padded grid).
    mean_rise_time_s : float
        The pulses' mean length, s.
    dt_s : float
        Their sample interval, s.
    smoothing_samples : float
        The most samples the smoothing over a cell adds to a pulse.

    Returns
    -------
    MemoryNeed
        The bytes, by what drives them.
    """
    per_row = mean_rise_time_s / dt_s + SAMPLES_PER_ROW_BEYOND_RISE + smoothing_samples
    # Smoothing holds the rows before and after it at once.
    samples = subfaults * per_row * (2 if smoothing_samples >= 1 else 1)
    sample_bytes = samples * BYTES_PER_SAMPLE + min(samples, SAMPLE_BLOCK) * BYTES_PER_BLOCK_SAMPLE
    return MemoryNeed(
        subfault_bytes=subfaults * ARRAYS_PER_SUBFAULT * 8,
        embedding_bytes=(max(padded_cells) * BYTES_PER_PADDED_CELL
                         + sum(padded_cells) * KEPT_BYTES_PER_PADDED_CELL),
        sample_bytes=sample_bytes)


def available_bytes() -> int:
    """What this process may still take: the least of the system's available memory, the
    room left under its control group's limit and under its address-space limit.

    Returns
    -------
    int
        Bytes.
    """
    limits = [system_available()]
    room = cgroup_room()
    if room is not None:
        limits.append(room)
    soft, _ = resource.getrlimit(resource.RLIMIT_AS)
    if soft != resource.RLIM_INFINITY:
        limits.append(max(0, soft - address_space_used()))
    return min(limits)


def system_available() -> int:
    try:
        for line in Path("/proc/meminfo").read_text().splitlines():
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) * 1024
    except OSError:
        pass
    return os.sysconf("SC_PAGE_SIZE") * os.sysconf("SC_AVPHYS_PAGES")


def cgroup_room() -> int | None:
    """Room under the cgroup v2 memory limit of this process, if it has one."""
    try:
        group = Path("/proc/self/cgroup").read_text().split("::", 1)[1].strip()
        directory = Path("/sys/fs/cgroup") / group.lstrip("/")
        limit = (directory / "memory.max").read_text().strip()
        if limit == "max":
            return None
        return max(0, int(limit) - int((directory / "memory.current").read_text()))
    except (OSError, IndexError, ValueError):
        return None


def address_space_used() -> int:
    try:
        pages = int(Path("/proc/self/statm").read_text().split()[0])
        return pages * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, IndexError):
        return 0


def gibibytes(size: float) -> str:
    """A size in GiB for a message.

    Parameters
    ----------
    size : float
        Bytes.

    Returns
    -------
    str
        "24.1 GiB", "0.31 GiB", "1.2e+12 GiB".

    Examples
    --------
    >>> gibibytes(3 * 2**29)
    '1.5 GiB'
    """
    value = size / 2**30
    return f"{value:.3g} GiB" if value < 1e6 else f"{value:.2g} GiB"
