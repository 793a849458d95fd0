"""The compiled smoothing and moment rate of slip-rate rows (kinematic_rupture._rows)
against their NumPy reference, bit for bit: on ruptures, on any rows, and what the module
refuses."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from kinematic_rupture import Fault, RuptureSettings, _rows, build_rupture, moment, pulses
from kinematic_rupture.pulses import crossing_widths


def same_bits(a, b):
    return a.shape == b.shape and np.array_equal(a.view(np.int64), b.view(np.int64))


def test_the_package_sums_and_smooths_through_the_compiled_module():
    assert pulses.compiled is _rows and moment.compiled is _rows


# (cell km, rupture speed fraction): cells the front crosses in one sample, and coarse or
# slow ones it takes many samples to cross.
RUPTURES = [(0.1, 0.8), (0.5, 0.8), (1.0, 0.3)]


@pytest.mark.parametrize("cell, speed", RUPTURES)
def test_a_ruptures_rows_are_the_references_bit_for_bit(cell, speed):
    fault = Fault.single(length_km=20.0, width_km=10.0, cell_km=cell, top_depth_km=0.0)
    settings_ = RuptureSettings(magnitude=6.4, seed=3, rupture_velocity_fraction=speed,
                                rupture_velocity_min_fraction=min(speed, 0.3))
    rupture = build_rupture(fault, settings_)
    widths = crossing_widths(cell, rupture.rupture_velocity_km_s, settings_.dt_s)
    assert widths.max() > 1 or cell == 0.1
    # The rupture's rows are already smoothed: smoothing them again is as good a test.
    compiled = pulses.smooth_rows(rupture.offsets, rupture.samples, widths)
    reference = pulses.smooth_rows(rupture.offsets, rupture.samples, widths, reference=True)
    assert np.array_equal(compiled[0], reference[0]) and same_bits(compiled[1], reference[1])
    arguments = (rupture.start_time_s, rupture.offsets, rupture.samples,
                 rupture.rigidity_pa * fault.cell_area_m2, settings_.dt_s)
    assert same_bits(moment.moment_rate(*arguments), moment.moment_rate(*arguments, reference=True))
    assert same_bits(moment.moment_rate(*arguments), rupture.moment_rate_nm_s)


@st.composite
def csr_rows(draw):
    """Rows of 0 to 40 samples, values across many binades (zeros too), a width (whole or
    not), a start time on the grid and a weight for each."""
    count = draw(st.integers(0, 30))
    lengths = np.array(draw(st.lists(st.integers(0, 40), min_size=count, max_size=count)),
                       dtype=np.int64)
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    rng = np.random.default_rng(draw(st.integers(0, 2**32)))
    samples = rng.uniform(0, 1, int(offsets[-1])) * 10.0 ** rng.integers(-6, 6, int(offsets[-1]))
    samples[rng.uniform(size=samples.size) < 0.2] = 0.0
    widths = rng.integers(1, draw(st.integers(1, 12)) + 1, count).astype(np.float64)
    # Fractions of a sample too, where the last tap carries what is left.
    widths += np.where(rng.uniform(size=count) < 0.5, rng.uniform(0, 1, count), 0.0)
    start = rng.uniform(0, 200, count)
    weight = rng.uniform(1e6, 1e12, count)
    return offsets, samples, widths, start, weight


@settings(max_examples=300, deadline=None)
@given(rows=csr_rows(), block=st.integers(1, 64))
def test_any_rows_are_the_references_bit_for_bit(rows, block):
    offsets, samples, widths, start, weight = rows
    compiled = pulses.smooth_rows(offsets, samples, widths)
    reference = pulses.smooth_rows(offsets, samples, widths, reference=True)
    assert np.array_equal(compiled[0], reference[0]) and same_bits(compiled[1], reference[1])
    if offsets.size < 2:
        return
    arguments = (start * 0.1, offsets, samples, weight, 0.1)
    assert same_bits(moment.moment_rate(*arguments), moment.moment_rate(*arguments, reference=True))
    # Blocks of a few samples too, so that the order of the additions across blocks is
    # the reference's.
    usual = moment.SAMPLE_BLOCK
    try:
        moment.SAMPLE_BLOCK = block
        assert same_bits(moment.moment_rate(*arguments),
                         moment.moment_rate(*arguments, reference=True))
    finally:
        moment.SAMPLE_BLOCK = usual


def test_rows_of_any_layout_are_summed_and_smoothed_as_the_reference_does():
    """Strided samples, int32 offsets and an int32 width: what the NumPy steps take, the
    compiled path takes too."""
    offsets = np.array([0, 3, 3, 7], dtype=np.int32)
    samples = np.arange(14.0)[::2]
    widths = np.array([2, 5, 3], dtype=np.int32)
    start, weight = np.array([0.5, 1.0, 2.25]), np.arange(6.0)[::2]
    compiled = pulses.smooth_rows(offsets, samples, widths)
    reference = pulses.smooth_rows(offsets, samples, widths, reference=True)
    assert np.array_equal(compiled[0], reference[0]) and same_bits(compiled[1], reference[1])
    arguments = (start, offsets, samples, weight, 1.0)
    assert same_bits(moment.moment_rate(*arguments), moment.moment_rate(*arguments, reference=True))


def good_rows():
    offsets = np.array([0, 3, 3, 7], dtype=np.int64)
    samples = np.arange(1.0, 8.0)
    widths = np.array([2.0, 5.0, 1.0])
    new_offsets = np.array([0, 4, 4, 8], dtype=np.int64)
    return offsets, samples, widths, new_offsets, np.full(8, -1.0)


def smoothing_with(**changed):
    arguments = dict(zip(("offsets", "samples", "widths", "new_offsets", "out"), good_rows()))
    return {**arguments, **changed}


@pytest.mark.parametrize("changed, message", [
    ({"offsets": np.array([0, 3, 2, 7])}, "offsets\\[2\\] is less than offsets\\[1\\]"),
    ({"offsets": np.array([1, 3, 3, 7])}, "offsets\\[0\\] must be 0"),
    ({"offsets": np.array([0, 3, 3, 6])}, "offsets\\[3\\] must be the number of samples"),
    ({"widths": np.array([0.5, 5.0, 1.0])}, "widths\\[0\\] is less than 1"),
    ({"widths": np.array([np.nan, 5.0, 1.0])}, "widths\\[0\\] is less than 1 or not a number"),
    ({"widths": np.array([2.0, 5.0])}, "new_offsets"),
    ({"widths": np.array([np.inf, 5.0, 1.0])}, "new_offsets\\[1\\]"),
    ({"new_offsets": np.array([0, 4, 5, 8])}, "new_offsets\\[2\\] is not offsets\\[2\\] plus"),
    ({"out": np.zeros(9)}, "new_offsets\\[3\\]"),
    ({"widths": np.array([2.0**62, 5.0, 1.0])}, "new_offsets\\[1\\]"),
])
def test_rows_that_do_not_fit_are_refused_and_out_is_untouched(changed, message):
    arguments = smoothing_with(**changed)
    before = arguments["out"].copy()
    with pytest.raises(ValueError, match=f"^smooth_rows: {message}"):
        _rows.smooth_rows(**arguments)
    assert np.array_equal(arguments["out"], before)


def test_good_rows_are_smoothed_to_the_same_slip():
    arguments = smoothing_with()
    _rows.smooth_rows(**arguments)
    out = arguments["out"]
    assert np.array_equal(out, [0.5, 1.5, 2.5, 1.5, 4.0, 5.0, 6.0, 7.0])
    assert out.sum() == arguments["samples"].sum()


@pytest.mark.parametrize("changed, error, message", [
    ({"samples": np.arange(7, dtype=np.float32)}, TypeError, "samples must be a float64 array"),
    ({"widths": np.array([2, 5, 1])}, TypeError, "widths must be a float64 array"),
    ({"offsets": [0, 3, 3, 7]}, TypeError, "offsets must be a one-dimensional int64 array, not list"),
    ({"out": np.zeros(8)[::-1]}, ValueError, "out must be contiguous"),
    ({"out": np.zeros((8, 1))}, ValueError, "out must be one-dimensional"),
    ({"out": np.zeros(8).view(np.int64)}, TypeError, "out must be a float64 array"),
])
def test_arguments_of_the_wrong_kind_are_refused_by_name(changed, error, message):
    with pytest.raises(error, match=f"^smooth_rows: {message}"):
        _rows.smooth_rows(**smoothing_with(**changed))


def test_an_output_that_cannot_be_written_is_refused():
    out = np.zeros(8)
    out.flags.writeable = False
    with pytest.raises(ValueError, match="^smooth_rows: out must be writable"):
        _rows.smooth_rows(**smoothing_with(out=out))
    assert not out.any()


@pytest.mark.parametrize("start, message", [
    ([-1.5, 0.0, 0.0], "row 0 fall outside"),
    ([0.0, 0.0, 7.5], "row 2 fall outside"),
    ([0.0, 0.0, np.nan], "row 2 fall outside"),
    ([0.0, 0.0, 1e300], "row 2 fall outside"),
])
def test_rows_off_the_moment_rate_grid_are_refused_and_the_rate_is_untouched(start, message):
    offsets, samples, _, _, _ = good_rows()
    rate = np.full(10, 2.0)
    with pytest.raises(ValueError, match=f"^add_moment_rate: the samples of {message}"):
        _rows.add_moment_rate(np.array(start), offsets, samples, np.ones(3), rate, 4)
    assert np.all(rate == 2.0)


@pytest.mark.parametrize("block", [-5, 0, 1, 2**63 - 1])
def test_any_block_size_sums_every_row_once(block):
    offsets, samples, _, _, _ = good_rows()
    rate = np.zeros(10)
    _rows.add_moment_rate(np.array([0.5, 0.0, 2.0]), offsets, samples, np.ones(3), rate, block)
    assert rate.sum() == samples.sum()


def test_one_weight_per_row_is_needed():
    offsets, samples, _, _, _ = good_rows()
    with pytest.raises(ValueError, match="one value per row"):
        _rows.add_moment_rate(np.zeros(3), offsets, samples, np.ones(2), np.zeros(10), 4)


@given(st.lists(st.lists(st.sampled_from([0.0, 0.0, 1.5, -2.0]), max_size=6), max_size=8))
def test_nonzero_spans_are_each_rows_first_and_last_nonzero_sample(rows):
    offsets = np.cumsum([0] + [len(row) for row in rows]).astype(np.int64)
    samples = np.array([value for row in rows for value in row], dtype=np.float64)
    first, last = pulses.nonzero_spans(offsets, samples)
    for k, row in enumerate(rows):
        found = [m for m, value in enumerate(row) if value != 0.0]
        assert (first[k], last[k]) == ((found[0], found[-1]) if found else (-1, -1))


@pytest.mark.parametrize("reference", [False, True])
def test_a_crossing_of_a_fraction_of_a_sample_is_not_rounded_away(reference):
    # A cell the front crosses in 1.4 samples is spread over 1.4 samples: a whole one and
    # 0.4 of the next, keeping its slip; one of 2.5 over two and half of a third.
    widths = crossing_widths(0.1, np.array([0.1 / 0.07, 4.0]), 0.05)
    np.testing.assert_allclose(widths, [1.4, 1.0])
    offsets, samples = pulses.smooth_rows(np.array([0, 1, 3]), np.array([2.8, 1.0, 1.0]),
                                          np.array([1.4, 2.5]), reference=reference)
    assert offsets.tolist() == [0, 2, 6]
    np.testing.assert_allclose(samples, [2.0, 0.8, 0.4, 0.8, 0.6, 0.2], rtol=1e-15)
    # The start moves back by the boxcar's centroid: 0.4 / 1.4 of a sample.
    starts, kept = pulses.centred_starts(np.array([1.0]), widths[:1], 0.05)
    np.testing.assert_allclose(starts, 1.0 - 0.05 * 0.4 / 1.4)
    assert kept.tolist() == [1.4]


@pytest.mark.parametrize("reference", [False, True])
@pytest.mark.parametrize("width", [0.5, np.nan, np.inf, -2.0])
def test_a_width_below_one_or_not_finite_is_refused_before_anything_is_made(width, reference):
    # Not a smoothing at all: the NumPy path copied such a row as it was, and an infinite
    # width sized the output from a cast of infinity.
    with pytest.raises(ValueError, match=r"^smooth_rows: widths\[1\] is "):
        pulses.smooth_rows(np.array([0, 2, 3]), np.array([1.0, 2.0, 3.0]),
                           np.array([2.0, width]), reference=reference)
