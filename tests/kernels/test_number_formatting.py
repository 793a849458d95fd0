"""How failure messages quote doubles: the fewest significant digits that read back as the
same double (those of Python's own repr), laid out positionally, whatever the magnitude."""

import math
import random
import re
import struct

import numpy as np
import pytest

import _kernels


def quoted_sample_interval(dt):
    """The text that the sample-interval message quotes for `dt` (a refused interval)."""
    with pytest.raises(ValueError) as raised:
        _kernels.synthesise_pulses(np.zeros(0), np.zeros(0), dt)
    match = re.fullmatch(r"a sample interval of (.*) s samples nothing; "
                         r"dt must be positive and finite", str(raised.value))
    return match.group(1)


def quoted_beta(beta):
    """The text that the beta message quotes for `beta` (a refused fraction)."""
    with pytest.raises(ValueError) as raised:
        _kernels.synthesise_pulses(np.zeros(1), np.zeros(1), 0.1, np.array([beta]))
    match = re.fullmatch(r"subfault 0 has beta = (.*); the rising limb's fraction must be "
                         r"in \(0, 0\.5\]", str(raised.value))
    return match.group(1)


def significant_digits(text):
    """Digits without sign, point, exponent, or leading and trailing zeros."""
    mantissa = re.split("[eE]", text)[0]
    digits = re.sub(r"\D", "", mantissa).strip("0")
    return digits or "0"


def awkward_doubles():
    """Magnitudes where positional layout goes wrong most easily, and the range's ends."""
    values = [math.ldexp(1.0, e) for e in range(-1074, 1024)]
    values += [float(f"1e{e}") for e in range(-323, 309)]
    values += [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 1.2345678901234568e20]
    for base in (2.0**53, 2.0**63, 2.0**64, 1e22, 1e23, 1.7976931348623157e308):
        below = above = base
        for _ in range(4):
            below, above = math.nextafter(below, 0.0), math.nextafter(above, math.inf)
            values += [below] + ([above] if math.isfinite(above) else [])
    return values


def random_doubles(count, seed):
    """Finite doubles from uniformly random bit patterns: every exponent, subnormals too."""
    generator = random.Random(seed)
    values = []
    while len(values) < count:
        value = struct.unpack("<d", generator.getrandbits(64).to_bytes(8, "little"))[0]
        if math.isfinite(value):
            values.append(value)
    return values


def assert_shortest_positional(text, value):
    assert "e" not in text.lower()
    assert float(text) == value
    assert significant_digits(text) == significant_digits(repr(value))
    if "." in text:
        assert not text.endswith("0")


@pytest.mark.parametrize("value, text", [
    (-1.7976931348623157e308, "-17976931348623157" + "0" * 292),
    (-1.2345678901234568e20, "-123456789012345680000"),
    (-1e23, "-100000000000000000000000"),
    (-9007199254740993.0, "-9007199254740992"),
    (-1e-7, "-0.0000001"),
])
def test_large_and_small_magnitudes_are_quoted_in_their_shortest_form(value, text):
    assert quoted_sample_interval(value) == text


@pytest.mark.parametrize("values", [awkward_doubles(), random_doubles(3000, 20261208)],
                         ids=["awkward", "random-bits"])
def test_every_double_is_quoted_with_the_digits_of_its_repr(values):
    for value in values:
        negative = -abs(value)
        assert_shortest_positional(quoted_sample_interval(negative), negative)
        if abs(value) > 0.5:
            assert_shortest_positional(quoted_beta(abs(value)), abs(value))
