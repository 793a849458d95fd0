"""Refusing what the modeller cannot use, in one sentence that says what would do.

Every setting is checked when it is made, before any work. A refusal is a
`SettingError`, a `ValueError` whose message names the setting, quotes its value and says
what is valid: "dip_deg 95: a dip must be in (0, 90] degrees". The command says the same
sentence with the option's name in place of the setting's ("--dip 95: ...").
"""

import math
import os
import stat
from collections.abc import Sequence

from .errors import SettingError, quote

UINT64_MAX = 2**64 - 1
# The most read of a file of settings, a fault or a crust: a trace with a vertex every
# 0.1 km along the longest fault, thousands of planes or layers, take a small part of it.
MAX_INPUT_FILE_BYTES = 16 << 20


def input_text(path: str | os.PathLike[str], setting: str) -> str:
    """The text of a regular file of at most MAX_INPUT_FILE_BYTES, or a refusal naming the
    file as `setting`."""
    source = os.fspath(path)
    try:
        # Not blocking on a pipe that no one writes to.
        with open(os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC), "rb") as stream:
            if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                raise SettingError(setting, source, "is not a regular file")
            data = stream.read(MAX_INPUT_FILE_BYTES + 1)
    except OSError as failure:
        raise SettingError(setting, source, f"cannot be read ({failure.strerror})") from None
    if len(data) > MAX_INPUT_FILE_BYTES:
        raise SettingError(setting, source, f"is larger than {MAX_INPUT_FILE_BYTES >> 20} MiB, "
                           f"far more than such a file takes")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        raise SettingError(setting, source, "cannot be read (not text)") from None


def number(setting: str, value: object) -> float:
    """`value` as a finite float, or a refusal."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise SettingError(setting, value, "must be a number")
    if not math.isfinite(value):
        raise SettingError(setting, value, "must be a finite number")
    return float(value)


def positive(setting: str, value: object, unit: str) -> float:
    checked = number(setting, value)
    if checked <= 0:
        raise SettingError(setting, value, f"must be a positive number of {unit}")
    return checked


def at_most(setting: str, value: float, high: float, reason: str) -> float:
    """`value`, no larger than `high`; `reason` says why, after the bound and its unit."""
    if value > high:
        raise SettingError(setting, value, f"must be at most {quote(float(high))} {reason}")
    return value


def non_negative(setting: str, value: object, unit: str) -> float:
    checked = number(setting, value)
    if checked < 0:
        raise SettingError(setting, value, f"must be zero or more {unit}")
    return checked


def within(setting: str, value: object, low: float, high: float, what: str,
           *, low_open: bool = False, high_open: bool = False) -> float:
    """`value` in the interval from `low` to `high`, each end closed unless said open."""
    checked = number(setting, value)
    above = checked > low if low_open else checked >= low
    below = checked < high if high_open else checked <= high
    if not (above and below):
        interval = (f"{'(' if low_open else '['}{quote(float(low))}, "
                    f"{quote(float(high))}{')' if high_open else ']'}")
        raise SettingError(setting, value, f"{what} must be in {interval}")
    return checked


def whole(setting: str, value: object, low: int, high: int, what: str) -> int:
    """`value` as an integer from `low` to `high` inclusive."""
    if isinstance(value, bool) or not isinstance(value, int):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        else:
            raise SettingError(setting, value, f"{what} must be a whole number")
    if not low <= value <= high:
        raise SettingError(setting, value, f"{what} must be a whole number from {low} to {high}")
    return value


def pair(setting: str, value: object) -> tuple[float, float]:
    """`value` as two finite floats."""
    if not isinstance(value, Sequence) or isinstance(value, str) or len(value) != 2:
        raise SettingError(setting, value, "must be two numbers")
    return number(setting, value[0]), number(setting, value[1])


def wrapped_degrees(setting: str, value: object) -> float:
    """A finite angle, brought into [0, 360)."""
    wrapped = number(setting, value) % 360.0
    return 0.0 if wrapped == 360.0 else wrapped  # a tiny negative angle rounds up to 360


def wrapped_longitude(setting: str, value: object) -> float:
    """A finite longitude, brought into [-180, 180)."""
    return wrapped_degrees(setting, number(setting, value) + 180.0) - 180.0


def wrapped_rake(setting: str, value: object) -> float:
    """A finite rake, brought into (-180, 180]."""
    wrapped = wrapped_degrees(setting, number(setting, value) + 180.0) - 180.0
    return 180.0 if wrapped == -180.0 else wrapped
