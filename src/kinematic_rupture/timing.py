"""Seconds spent in the kernels, added up by name as a build goes."""

import time
from collections.abc import Iterator
from contextlib import contextmanager


@contextmanager
def timing(timings: dict[str, float], name: str) -> Iterator[None]:
    """Adds the seconds spent in the block to `timings` under `name`."""
    start = time.perf_counter()
    yield
    timings[name] = timings.get(name, 0.0) + time.perf_counter() - start
