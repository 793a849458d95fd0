"""Columns of numbers as fixed-width text, formatted by NumPy all at once: what "%*.*f"
and "%.*e" give, right-aligned in a width the column's largest value needs, for text
formats whose lines are many and whose readers take numbers by position or after a
label (SPECFEM3D's CMTSOLUTION, read with Fortran list-directed reads, which skip the
padding).

Digits come from the value scaled by an exact power of ten and rounded to a whole number
(as the compiled SRF writer's quick route, crates/srf/src/number.hpp), so every digit is
printf's but for a value that lies within a rounding error of a tie, where the last digit
may differ by one.

.. autosummary::

   fixed
   scientific
   whole_numbers
   lines
"""

from fractions import Fraction

import numpy as np
import numpy.typing as npt

__all__ = ["fixed", "scientific", "whole_numbers", "lines"]

FloatArray = npt.NDArray[np.float64]
Bytes = npt.NDArray[np.uint8]

SPACE, MINUS, POINT, ZERO = (ord(c) for c in " -.0")
# Fixed-point values are scaled to whole numbers below this, where doubles are exact.
EXACT_WHOLE = 2.0**53
# How many units in the last place of a scaled value a half may be off before the value
# is rounded exactly: the scaling by a power of ten (itself rounded below 1) is off by at
# most about two.
TIE_ULPS = 4
# Decimal exponents beyond which 10^(exponent - decimals) is no longer a normal double.
EXTREME_EXPONENT = 280


# 10^k for k from -POWER_OFFSET to POWER_OFFSET, looked up rather than raised (the
# exponents scientific() looks up lie within EXTREME_EXPONENT plus the decimals).
POWER_OFFSET = 300
POWERS = 10.0 ** np.arange(-POWER_OFFSET, POWER_OFFSET + 1)


def digits(whole: npt.NDArray[np.int64], count: int) -> Bytes:
    """(N, count) ASCII digits of non-negative whole numbers below 10^count, zero-padded."""
    out = np.empty((whole.size, count), dtype=np.uint8)
    rest = whole.astype(np.int64)
    for column in range(count - 1, -1, -1):
        rest, digit = np.divmod(rest, 10)
        out[:, column] = digit + ZERO
    return out


def finite(values: FloatArray, name: str) -> None:
    if not np.isfinite(values).all():
        raise ValueError(f"{name} holds a value that is not finite")


def near_half(scaled: FloatArray) -> npt.NDArray[np.bool_]:
    """Where a scaled value lies within `TIE_ULPS` units in its last place of a half: where
    its rounding may be the other way for the exact value it was scaled from."""
    return np.asarray(np.abs(scaled - np.floor(scaled) - 0.5) <= TIE_ULPS * np.spacing(scaled))


def rounded_scaled(magnitude: FloatArray, decimals: int) -> FloatArray:
    """Each non-negative value times 10**decimals, rounded as printf rounds it: the exact
    binary value to the nearest whole, ties to even. The product itself is rounded once,
    which can land a value just above or below a half exactly on it (0.05 x 10 is 0.5,
    0.05 being 0.05000000000000000277); those few are rounded exactly.

    Parameters
    ----------
    magnitude : numpy.ndarray
        Non-negative finite values.
    decimals : int
        Digits after the point.

    Returns
    -------
    numpy.ndarray
        The rounded products.
    """
    product = magnitude * 10.0**decimals
    scaled = np.rint(product)
    for k in np.flatnonzero(near_half(product)):
        scaled[k] = round(Fraction(float(magnitude[k])) * 10**decimals)
    return scaled


def fixed(values: FloatArray, decimals: int, name: str) -> Bytes:
    """``'%.{decimals}f'`` of each value, right-aligned in one width.

    Parameters
    ----------
    values : numpy.ndarray
        The values.
    decimals : int
        Digits after the point.
    name : str
        The column's name, for a refusal.

    Returns
    -------
    numpy.ndarray of uint8
        (N, width) ASCII.

    Raises
    ------
    ValueError
        A value that is not finite, or too large for the decimals.

    Examples
    --------
    >>> import numpy as np
    >>> fixed(np.array([1.5, -12.25]), 2, "x").tobytes()
    b'  1.50-12.25'
    """
    finite(values, name)
    magnitude = np.abs(values)
    scaled = rounded_scaled(magnitude, decimals)
    if scaled.size and scaled.max() >= EXACT_WHOLE:
        raise ValueError(f"{name} holds a value too large for {decimals} decimals")
    whole = scaled.astype(np.int64)
    unit = 10**decimals
    integer, fraction = np.divmod(whole, unit)
    places = len(str(int(integer.max()))) if integer.size else 1
    # Significant integer digits of each value; the zeros before them become blanks and
    # the sign goes just before the first (column 0 is room for it).
    count = np.ones(values.size, dtype=np.int64)
    for power in range(1, places):
        count += integer >= 10**power
    text = np.hstack([np.full((values.size, 1), SPACE, dtype=np.uint8), digits(integer, places)])
    text[np.arange(places + 1)[None, :] <= (places - count)[:, None]] = SPACE
    negative = np.flatnonzero(np.signbit(values))
    text[negative, places - count[negative]] = MINUS
    if not decimals:
        return text
    return np.hstack([text, np.full((values.size, 1), POINT, dtype=np.uint8),
                      digits(fraction, decimals)])


def scientific(values: FloatArray, decimals: int, name: str) -> Bytes:
    """``'%.{decimals}e'`` of each value, a blank or a minus before it; the exponent of two
    digits, or three where the column needs them.

    Parameters
    ----------
    values : numpy.ndarray
        The values.
    decimals : int
        Digits after the point.
    name : str
        The column's name, for a refusal.

    Returns
    -------
    numpy.ndarray of uint8
        (N, width) ASCII.

    Raises
    ------
    ValueError
        A value that is not finite.

    Examples
    --------
    >>> import numpy as np
    >>> scientific(np.array([1234.6, -0.001]), 3, "x").tobytes()
    b' 1.235e+03-1.000e-03'
    """
    finite(values, name)
    magnitude = np.abs(values)
    zero = magnitude == 0
    safe = np.where(zero, 1.0, magnitude)
    exponent = np.floor(np.log10(safe)).astype(np.int64)
    # Far from 1 a power of ten leaves the doubles' range: those few go through printf.
    extreme = np.abs(exponent) > EXTREME_EXPONENT
    exponent[extreme] = 0
    top = 10 ** (decimals + 1)
    quotient = safe / POWERS[exponent - decimals + POWER_OFFSET]
    mantissa = np.rint(quotient)
    # The quotient is rounded once or twice on its way, which can land a value just off a
    # half on the other side of it (and carry it to one more digit): those few go through
    # printf too.
    tied = near_half(quotient)
    # log10 may be one off near powers of ten, and rounding may carry to one more digit.
    for _ in range(2):
        off = (mantissa >= top) | (mantissa < top // 10)
        if not off.any():
            break
        exponent[off] += np.where(mantissa[off] >= top, 1, -1)
        mantissa[off] = np.rint(safe[off] / POWERS[exponent[off] - decimals + POWER_OFFSET])
    tied |= near_half(safe / POWERS[exponent - decimals + POWER_OFFSET])
    mantissa = np.where(mantissa >= top, top // 10, mantissa).astype(np.int64)
    mantissa[zero] = 0
    exponent[zero] = 0
    for row in np.flatnonzero((extreme | tied) & ~zero).tolist():
        digits_text, power = (f"%.{decimals}e" % magnitude[row]).split("e")
        mantissa[row], exponent[row] = int(digits_text.replace(".", "")), int(power)
    places = 3 if np.abs(exponent).max(initial=0) >= 100 else 2
    count = values.size
    sign = np.where(np.signbit(values), MINUS, SPACE).astype(np.uint8)[:, None]
    lead, tail = np.divmod(mantissa, 10**decimals)
    expo_sign = np.where(exponent < 0, MINUS, ord("+")).astype(np.uint8)[:, None]
    return np.hstack([sign, digits(lead, 1), np.full((count, 1), POINT, dtype=np.uint8),
                      digits(tail, decimals), np.full((count, 1), ord("e"), dtype=np.uint8),
                      expo_sign, digits(np.abs(exponent), places)])


def whole_numbers(values: npt.NDArray[np.int64], width: int) -> Bytes:
    """Non-negative whole numbers, zero-padded.

    Parameters
    ----------
    values : numpy.ndarray of int
        The numbers, each below 10^width.
    width : int
        The digits.

    Returns
    -------
    numpy.ndarray of uint8
        (N, width) ASCII.
    """
    return digits(values.astype(np.int64), width)


def lines(pieces: list[bytes | Bytes]) -> Bytes:
    """Rows of text: literal bytes and (N, width) columns side by side, row after row.

    Parameters
    ----------
    pieces : list
        Bytes (the same in every row) and (N, width) ASCII arrays; at least one array.

    Returns
    -------
    numpy.ndarray of uint8
        (N, total width), whose buffer is the text.
    """
    count = next(piece.shape[0] for piece in pieces if isinstance(piece, np.ndarray))
    widths = [piece.shape[1] if isinstance(piece, np.ndarray) else len(piece) for piece in pieces]
    out = np.empty((count, sum(widths)), dtype=np.uint8)
    at = 0
    for piece, width in zip(pieces, widths):
        out[:, at:at + width] = (piece if isinstance(piece, np.ndarray)
                                 else np.frombuffer(piece, dtype=np.uint8))
        at += width
    return out
