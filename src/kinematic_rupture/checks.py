"""Refusing what the modeller cannot use, in one sentence that says what would do.

Every setting is checked when it is made, before any work. A refusal is a
`SettingError`, a `ValueError` whose message names the setting, quotes its value and says
what is valid: "dip_deg 95: a dip must be in (0, 90] degrees". The command says the same
sentence with the option's name in place of the setting's ("--dip 95: ...").

Each check below takes the setting's name first (for the message) and gives the value
as the library keeps it, or raises `SettingError`.

.. autosummary::

   input_text
   number
   positive
   non_negative
   at_most
   within
   whole
   pair
   wrapped_degrees
   wrapped_longitude
   wrapped_rake
"""

import math
import os
import stat
from collections.abc import Sequence

from .errors import SettingError, quote

__all__ = ["input_text", "number", "positive", "non_negative", "at_most", "within", "whole",
           "pair", "wrapped_degrees", "wrapped_longitude", "wrapped_rake",
           "MAX_INPUT_FILE_BYTES"]

UINT64_MAX = 2**64 - 1
# The most read of a file of settings, a fault or a crust: a trace with a vertex every
# 0.1 km along the longest fault, thousands of planes or layers, take a small part of it.
MAX_INPUT_FILE_BYTES = 16 << 20


def input_text(path: str | os.PathLike[str], setting: str) -> str:
    """The text of a regular file of at most `MAX_INPUT_FILE_BYTES` (16 MiB).

    Parameters
    ----------
    path : str or os.PathLike
        The file.
    setting : str
        The setting that names it, for a refusal.

    Returns
    -------
    str
        Its text, UTF-8.

    Raises
    ------
    SettingError
        A file that cannot be read, is not a regular file, is larger or is not text.
    """
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
    """A value as a finite float.

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The value.

    Returns
    -------
    float
        The value.

    Raises
    ------
    SettingError
        Not an int or float (a bool is not one), or not finite.

    Examples
    --------
    >>> number("dip_deg", float("nan"))
    Traceback (most recent call last):
    ...
    kinematic_rupture.errors.SettingError: dip_deg nan: must be a finite number
    """
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise SettingError(setting, value, "must be a number")
    if not math.isfinite(value):
        raise SettingError(setting, value, "must be a finite number")
    return float(value)


def positive(setting: str, value: object, unit: str) -> float:
    """A value as a positive finite float.

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The value.
    unit : str
        Its unit, in words, for a refusal ("km").

    Returns
    -------
    float
        The value.

    Raises
    ------
    SettingError
        Not a finite number above 0.
    """
    checked = number(setting, value)
    if checked <= 0:
        raise SettingError(setting, value, f"must be a positive number of {unit}")
    return checked


def at_most(setting: str, value: float, high: float, reason: str) -> float:
    """A value no larger than a bound.

    Parameters
    ----------
    setting : str
        The setting's name.
    value : float
        The value.
    high : float
        The bound.
    reason : str
        Its unit and why, after the bound ("km: the longest ruptures recorded ...").

    Returns
    -------
    float
        The value.

    Raises
    ------
    SettingError
        A value above the bound.
    """
    if value > high:
        raise SettingError(setting, value, f"must be at most {quote(float(high))} {reason}")
    return value


def non_negative(setting: str, value: object, unit: str) -> float:
    """A value as a finite float, zero or more.

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The value.
    unit : str
        Its unit, in words, for a refusal.

    Returns
    -------
    float
        The value.

    Raises
    ------
    SettingError
        Not a finite number of at least 0.
    """
    checked = number(setting, value)
    if checked < 0:
        raise SettingError(setting, value, f"must be zero or more {unit}")
    return checked


def within(setting: str, value: object, low: float, high: float, what: str,
           *, low_open: bool = False, high_open: bool = False) -> float:
    """A value in an interval, each end closed unless said open.

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The value.
    low, high : float
        The interval's ends.
    what : str
        What the value is, for a refusal ("a dip").
    low_open, high_open : bool
        Whether the ends are open.

    Returns
    -------
    float
        The value.

    Raises
    ------
    SettingError
        Not a finite number in the interval.

    Examples
    --------
    >>> within("dip_deg", 95, 0, 90, "a dip", low_open=True)
    Traceback (most recent call last):
    ...
    kinematic_rupture.errors.SettingError: dip_deg 95: a dip must be in (0, 90]
    """
    checked = number(setting, value)
    above = checked > low if low_open else checked >= low
    below = checked < high if high_open else checked <= high
    if not (above and below):
        interval = (f"{'(' if low_open else '['}{quote(float(low))}, "
                    f"{quote(float(high))}{')' if high_open else ']'}")
        raise SettingError(setting, value, f"{what} must be in {interval}")
    return checked


def whole(setting: str, value: object, low: int, high: int, what: str) -> int:
    """A value as an integer from `low` to `high` inclusive (a float that is whole will do).

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The value.
    low, high : int
        The bounds.
    what : str
        What the value is, for a refusal ("a seed").

    Returns
    -------
    int
        The value.

    Raises
    ------
    SettingError
        Not a whole number within the bounds.
    """
    if isinstance(value, bool) or not isinstance(value, int):
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        else:
            raise SettingError(setting, value, f"{what} must be a whole number")
    if not low <= value <= high:
        raise SettingError(setting, value, f"{what} must be a whole number from {low} to {high}")
    return value


def pair(setting: str, value: object) -> tuple[float, float]:
    """A value as two finite floats.

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        A sequence of two numbers.

    Returns
    -------
    tuple of float
        The two.

    Raises
    ------
    SettingError
        Not a sequence of two finite numbers.
    """
    if not isinstance(value, Sequence) or isinstance(value, str) or len(value) != 2:
        raise SettingError(setting, value, "must be two numbers")
    return number(setting, value[0]), number(setting, value[1])


def wrapped_degrees(setting: str, value: object) -> float:
    """A finite angle, brought into [0, 360).

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The angle, degrees.

    Returns
    -------
    float
        Degrees in [0, 360).

    Raises
    ------
    SettingError
        Not a finite number.
    """
    wrapped = number(setting, value) % 360.0
    return 0.0 if wrapped == 360.0 else wrapped  # a tiny negative angle rounds up to 360


# Longitudes from -180 to 180 and from 0 to 360 are both in use; beyond a turn either way a
# number is no longitude.
MAX_LONGITUDE_DEG = 360.0


def wrapped_longitude(setting: str, value: object) -> float:
    """A finite longitude in [-360, 360], brought into [-180, 180).

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The longitude, degrees.

    Returns
    -------
    float
        Degrees in [-180, 180).

    Raises
    ------
    SettingError
        Not a finite number, or beyond [-360, 360].
    """
    longitude = number(setting, value)
    if not -MAX_LONGITUDE_DEG <= longitude <= MAX_LONGITUDE_DEG:
        raise SettingError(setting, value, f"must be a longitude in [-{MAX_LONGITUDE_DEG:g}, "
                           f"{MAX_LONGITUDE_DEG:g}] degrees")
    return wrapped_degrees(setting, longitude + 180.0) - 180.0


def wrapped_rake(setting: str, value: object) -> float:
    """A finite rake, brought into (-180, 180].

    Parameters
    ----------
    setting : str
        The setting's name.
    value : object
        The rake, degrees.

    Returns
    -------
    float
        Degrees in (-180, 180].

    Raises
    ------
    SettingError
        Not a finite number.
    """
    wrapped = wrapped_degrees(setting, number(setting, value) + 180.0) - 180.0
    return 180.0 if wrapped == -180.0 else wrapped
