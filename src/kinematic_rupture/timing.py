"""Seconds spent in the kernels, added up by name as a build goes.

.. autosummary::

   timing
"""

import time
from collections.abc import Iterator
from contextlib import contextmanager

__all__ = ["timing"]


@contextmanager
def timing(timings: dict[str, float], name: str) -> Iterator[None]:
    """Adds the seconds spent in a ``with`` block to a tally under a name.

    Parameters
    ----------
    timings : dict of str to float
        The tally, s by name; changed in place.
    name : str
        The name to add to.

    Yields
    ------
    None
        Once, for the block.

    Examples
    --------
    >>> tally = {}
    >>> with timing(tally, "front"):
    ...     pass
    >>> list(tally)
    ['front']
    """
    start = time.perf_counter()
    yield
    timings[name] = timings.get(name, 0.0) + time.perf_counter() - start
