"""The column formatter of text exports writes what printf writes ("%*.6f", "% .9e"), for
any finite value; the CMTSOLUTION's numbers depend on it."""

import numpy as np
import pytest
from hypothesis import example, given, settings, strategies as st

from kinematic_rupture.io import text

FINITE = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=60, deadline=None)
@given(st.lists(FINITE.filter(lambda x: x == 0 or 1e-99 < abs(x) < 1e99), min_size=1, max_size=40))
@example([1.0000000005, 9.9999999995, 2.0000000025, -7.6529104050e-01, 0.0])  # just off halves
def test_scientific_is_printfs(values):
    got = text.scientific(np.array(values), 9, "v")
    assert [bytes(row).decode() for row in got] == ["% .9e" % value for value in values]


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(min_value=-1e8, max_value=1e8, allow_nan=False), min_size=1, max_size=40),
       st.integers(0, 6))
@example([0.05, 0.25, 2.675, -0.125, 1.0000005], 1)  # just above a half, exact halves (to even)
@example([0.0000005, 2.675, 1.0000005, 0.35], 6)
def test_fixed_is_printfs_right_aligned(values, decimals):
    got = text.fixed(np.array(values), decimals, "v")
    width = got.shape[1]
    assert [bytes(row).decode() for row in got] == ["%*.*f" % (width, decimals, value)
                                                    for value in values]


def test_extreme_exponents_take_three_digits_and_non_finite_values_are_refused():
    got = text.scientific(np.array([5e-324, 1.5e300, -2.0]), 3, "v")
    assert [bytes(row).decode() for row in got] == [" 4.941e-324", " 1.500e+300", "-2.000e+000"]
    with pytest.raises(ValueError, match="Mrr holds a value that is not finite"):
        text.scientific(np.array([1.0, np.nan]), 9, "Mrr")
    with pytest.raises(ValueError, match="too large"):
        text.fixed(np.array([1e300]), 6, "depth")
