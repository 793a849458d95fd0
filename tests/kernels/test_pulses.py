"""synthesise_pulses: checks and their order, row sizes, the pulse shapes, normalisation,
and independence from the number of worker threads."""

import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kernels

NAN = float("nan")
INF = float("inf")


def synthesise(slip, rise, dt, beta=None):
    as_array = lambda values: None if values is None else np.array(values, dtype=np.float64)  # noqa: E731
    return _kernels.synthesise_pulses(as_array(slip), as_array(rise), dt, as_array(beta))


def rows(offsets, samples):
    return [samples[offsets[k]:offsets[k + 1]] for k in range(len(offsets) - 1)]


def failure(slip, rise, dt, beta=None):
    with pytest.raises(ValueError) as caught:
        synthesise(slip, rise, dt, beta)
    return str(caught.value)


# ---- an independent reading of the pulse, in plain Python floats ------------------------


def rounded_half_away(x):
    whole = math.floor(x)
    return whole + 1 if x - whole >= 0.5 else whole


def reference_row(slip, rise, dt, beta):
    if abs(slip) <= 0.0001:
        return []
    if beta is None:
        return [0.0, slip / dt, 0.0]
    o = max(rounded_half_away(rise / dt), 0)
    if o <= 1:
        row = [0.0, 1.0, 0.0]
    else:
        tau1 = beta * rise
        tau2 = rise - tau1
        row = [0.0] * (o + 1)
        for m in range(1, o):
            t = m * dt
            a = (t * math.pi) / tau1
            b = ((t - tau1) * math.pi) / tau2
            if tau1 > t:
                row[m] = (0.7 - math.cos(a) * 0.7) + math.sin(a * 0.5) * 0.6
            elif tau1 + tau1 > t:
                row[m] = (1.0 - math.cos(a) * 0.7) + math.cos(b) * 0.3
            elif rise > t:
                row[m] = math.cos(b) * 0.3 + 0.3
    area = -0.0
    for value in row:
        area += value * dt
    scale = slip / area
    return [value * scale for value in row]


# ---- checks ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "arguments, message",
    [
        (([], [], 0.0), "a sample interval of 0 s samples nothing; dt must be positive and finite"),
        (([1.0], [1.0], -0.0), "a sample interval of -0 s samples nothing; dt must be positive and finite"),
        (([1.0], [1.0], NAN), "a sample interval of NaN s samples nothing; dt must be positive and finite"),
        (([1.0], [1.0], INF), "a sample interval of inf s samples nothing; dt must be positive and finite"),
        (([1.0], [1.0], -0.25), "a sample interval of -0.25 s samples nothing; dt must be positive and finite"),
        (([1.0] * 4, [1.0] * 3, 0.1),
         "rise_time_s has 3 values for 4 subfaults; the per-subfault arrays must agree"),
        (([1.0] * 4, [1.0] * 3, 0.1, [0.3] * 2),
         "rise_time_s has 3 values for 4 subfaults; the per-subfault arrays must agree"),
        (([1.0] * 4, [1.0] * 4, 0.1, [0.3] * 5),
         "beta has 5 values for 4 subfaults; the per-subfault arrays must agree"),
        (([1.0], [1.0], 0.1, []), "beta has 0 values for 1 subfaults; the per-subfault arrays must agree"),
        (([1.0, 1.0], [1.0, 1.0], 0.1, [0.5, 0.5000000000000001]),
         "subfault 1 has beta = 0.5000000000000001; the rising limb's fraction must be in (0, 0.5]"),
        (([1.0], [1.0], 0.1, [0.0]), "subfault 0 has beta = 0; the rising limb's fraction must be in (0, 0.5]"),
        (([1.0], [1.0], 0.1, [-0.0]), "subfault 0 has beta = -0; the rising limb's fraction must be in (0, 0.5]"),
        (([0.0], [1.0], 0.1, [NAN]), "subfault 0 has beta = NaN; the rising limb's fraction must be in (0, 0.5]"),
        (([INF] + [1.0] * 7, [1.0] * 8, 0.1, [0.3] * 7 + [NAN]),
         "subfault 7 has beta = NaN; the rising limb's fraction must be in (0, 0.5]"),
        (([1.0, 1.0, 1.0, INF], [1.0, -1.0, 1.0, 1.0], 0.1, [0.3] * 4), "subfault 3 has a slip of inf m"),
        (([1.0, NAN], [1.0, 1.0], 0.1), "subfault 1 has a slip of NaN m"),
        (([-INF], [1.0], 0.1), "subfault 0 has a slip of -inf m"),
        (([1.0], [-1.0], 0.1, [0.3]), "subfault 0 slips, but has a rise time of -1 s"),
        (([0.0, 2.0], [NAN, NAN], 0.1, [0.3, 0.3]), "subfault 1 slips, but has a rise time of NaN s"),
        (([0.0, -2.0], [1.0, INF], 0.1, [0.3, 0.3]), "subfault 1 slips, but has a rise time of inf s"),
        (([1.0], [-0.0000001], 0.1, [0.3]), "subfault 0 slips, but has a rise time of -0.0000001 s"),
    ],
)
def test_checks_and_their_order(arguments, message):
    assert failure(*arguments) == message


# ---- row sizes ---------------------------------------------------------------------------


def test_no_subfaults():
    offsets, samples = synthesise([], [], 0.1)
    assert offsets.dtype == np.int64 and offsets.tolist() == [0]
    assert samples.dtype == np.float64 and samples.shape == (0,)
    offsets, samples = synthesise([], [], 0.1, [])
    assert offsets.tolist() == [0] and samples.size == 0


@pytest.mark.parametrize("beta", [None, 0.3])
def test_the_slip_threshold_is_strict(beta):
    slips = [0.0001, -0.0001, 0.00010000000000000002, -0.5]
    betas = None if beta is None else [beta] * 4
    offsets, samples = synthesise(slips, [1.0] * 4, 0.1, betas)
    lengths = np.diff(offsets).tolist()
    assert lengths[:2] == [0, 0] and lengths[2] > 0 and lengths[3] > 0
    assert (rows(offsets, samples)[3] <= 0).all() and rows(offsets, samples)[3].min() < 0


@pytest.mark.parametrize("rise", [0.3, NAN, -5.0, INF])
def test_without_beta_every_slipping_row_is_a_single_sample_impulse(rise):
    offsets, samples = synthesise([2.0], [rise], 0.5)
    assert offsets.tolist() == [0, 3]
    assert samples.tolist() == [0.0, 4.0, 0.0]
    assert math.copysign(1, samples[0]) == 1 and math.copysign(1, samples[2]) == 1


def test_non_slipping_subfaults_ignore_their_rise_times():
    offsets, samples = synthesise([0.0, 0.00005, -0.0001], [NAN, -3.0, INF], 0.1, [0.2, 0.3, 0.5])
    assert offsets.tolist() == [0, 0, 0, 0] and samples.size == 0


@pytest.mark.parametrize("rise_in_samples", [-0.0, 0.0, 0.4, 1.49, 1e-300])
def test_rise_times_under_one_and_a_half_samples_give_the_spike(rise_in_samples):
    dt, slip = 0.2, 1.5
    offsets, samples = synthesise([slip], [rise_in_samples * dt], dt, [0.3])
    assert offsets.tolist() == [0, 3]
    assert samples.tolist() == [0.0, slip / dt, 0.0]


@pytest.mark.parametrize("rise_in_samples, length", [(1.5, 3), (2.49, 3), (2.5, 4), (3.5, 5), (10.0, 11)])
def test_rise_times_round_half_away_from_zero(rise_in_samples, length):
    dt = 0.25  # a power of two, so rise_in_samples * dt / dt is exact
    offsets, samples = synthesise([1.0], [rise_in_samples * dt], dt, [0.5])
    assert offsets.tolist() == [0, length]
    assert samples[0] == 0.0 and samples[-1] == 0.0


def test_a_rise_of_one_and_a_half_samples_is_nearly_the_spike():
    offsets, samples = synthesise([1.5], [0.3], 0.2, [0.3])
    assert len(samples) == 3
    assert samples[1] == pytest.approx(1.5 / 0.2, rel=1e-15)


# ---- shapes ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "rise, unnormalised, expected",
    [
        (8.0, [0, 1.12426, 2, 1.25981, 0.45, 0.3, 0.15, 0.0401924, 0],
         [0, 0.211159, 0.375639, 0.236616, 0.0845187, 0.0563458, 0.0281729, 0.00754891, 0]),
        (4.0, [0, 2, 0.45, 0.15, 0], [0, 0.769231, 0.173077, 0.0576923, 0]),
    ],
)
def test_worked_rows(rise, unnormalised, expected):
    offsets, samples = synthesise([1.0], [rise], 1.0, [0.25])
    assert offsets.tolist() == [0, len(expected)]
    assert samples == pytest.approx(expected, rel=2e-6, abs=1e-12)
    area = sum(unnormalised)
    assert samples == pytest.approx(np.array(unnormalised) / area, rel=2e-5, abs=1e-12)


@settings(max_examples=150, deadline=None)
@given(
    subfaults=st.lists(
        st.tuples(
            st.one_of(st.floats(-5, 5), st.sampled_from([0.0, 0.0001, -0.0001, 1e-300])),
            st.floats(0, 6),
            st.floats(1e-6, 0.5, exclude_min=False),
        ),
        max_size=150,
    ),
    dt=st.sampled_from([0.01, 0.05, 0.1, 0.3, 1.0, 0.07]),
    with_beta=st.booleans(),
)
def test_rows_match_an_independent_reading_bit_for_bit(subfaults, dt, with_beta):
    slip = [s for s, _, _ in subfaults]
    rise = [r for _, r, _ in subfaults]
    beta = [b for _, _, b in subfaults] if with_beta else None
    offsets, samples = synthesise(slip, rise, dt, beta)
    assert_rows_match_the_reading(slip, rise, dt, beta, offsets, samples)


def bits(values):
    """Each float64's bit pattern, so that 0.0 and -0.0 differ."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def assert_rows_match_the_reading(slip, rise, dt, beta, offsets, samples):
    for k, row in enumerate(rows(offsets, samples)):
        expected = reference_row(slip[k], rise[k], dt, None if beta is None else beta[k])
        assert bits(row) == bits(expected), k


def mixed_subfaults(seed, n, longest_rise):
    """Slips of both signs with some at zero (empty rows), rise times from spikes up."""
    rng = np.random.default_rng(seed)
    slip = rng.uniform(-4, 4, n)
    slip[::9] = 0.0
    return slip, rng.uniform(0, longest_rise, n), rng.uniform(0.05, 0.5, n)


# Samples that fall exactly on tau1, on 2 tau1 or on T, where the shape changes piece,
# with beta = 0.5 leaving no third piece at all.
@pytest.mark.parametrize("rise, beta, dt", [(8.0, 0.25, 1.0), (4.0, 0.5, 1.0), (6.0, 0.5, 0.5),
                                            (3.0, 0.125, 0.375), (1.0, 0.1, 0.1)])
def test_rows_where_pieces_meet_on_a_sample_match_bit_for_bit(rise, beta, dt):
    slip = [1.5, -0.75]
    offsets, samples = synthesise(slip, [rise] * 2, dt, [beta] * 2)
    assert_rows_match_the_reading(slip, [rise] * 2, dt, [beta] * 2, offsets, samples)


# Rows are written a block of 64 subfaults at a time, into storage that each block
# clears for itself and that lies on huge pages from 2 MiB up; here rows straddle both
# block and page boundaries, and negative slips give negative zero ends.
@pytest.mark.parametrize("n, dt, pages", [(200, 0.05, "small"), (701, 0.005, "huge")])
def test_every_row_of_a_many_block_result_matches_bit_for_bit(n, dt, pages):
    slip, rise, beta = mixed_subfaults(n, n, 6.0)
    offsets, samples = _kernels.synthesise_pulses(slip, rise, dt, beta)
    assert (samples.nbytes >= 2**21) == (pages == "huge")
    assert_rows_match_the_reading(slip, rise, dt, beta, offsets, samples)


def test_rows_are_whole_in_memory_a_previous_result_gave_back():
    """A result's storage may be memory that an earlier result, just freed, filled with
    its own samples; the zero ends of every row are zeros all the same."""
    for seed in range(8):
        longest = 6.0 if seed % 2 == 0 else 2.0  # rows of other lengths over the old samples
        slip, rise, beta = mixed_subfaults(seed, 400, longest)
        offsets, samples = _kernels.synthesise_pulses(slip, rise, 0.05, beta)
        assert_rows_match_the_reading(slip, rise, 0.05, beta, offsets, samples)
        del offsets, samples


def test_each_row_integrates_to_its_slip():
    rng = np.random.default_rng(11)
    n = 3000
    slip = rng.uniform(-4, 4, n)
    rise = rng.uniform(0, 6, n)
    beta = rng.uniform(0.05, 0.5, n)
    for dt in (0.01, 0.13):
        offsets, samples = _kernels.synthesise_pulses(slip, rise, dt, beta)
        assert offsets[0] == 0 and (np.diff(offsets) >= 0).all() and offsets[-1] == len(samples)
        for k, row in enumerate(rows(offsets, samples)):
            if abs(slip[k]) > 0.0001:
                assert dt * row.sum() == pytest.approx(slip[k], rel=1e-12)
                assert row[0] == 0 and row[-1] == 0


# ---- threads ---------------------------------------------------------------------------

DIGEST = """
import hashlib, numpy as np, _kernels
rng = np.random.default_rng(5)
n = 200  # four blocks: 64, 64, 64 and 8 subfaults
slip = rng.uniform(-3, 3, n)
slip[::7] = 0.0
rise = rng.uniform(0, 5, n)
beta = rng.uniform(0.1, 0.5, n)
offsets, samples = _kernels.synthesise_pulses(slip, rise, 0.05, beta)
impulse_offsets, impulses = _kernels.synthesise_pulses(slip, rise, 0.05)
digest = hashlib.sha256()
for array in (offsets, samples, impulse_offsets, impulses):
    digest.update(array.tobytes())
print(digest.hexdigest())
"""


def digest_with_threads(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    result = subprocess.run([sys.executable, "-c", DIGEST], env=env, capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_results_are_the_same_for_any_number_of_threads():
    assert digest_with_threads(1) == digest_with_threads(3)


# ---- sizes no buffer can hold ----------------------------------------------------------


@pytest.mark.parametrize(
    "rise, dt",
    [
        (1e300, 1e-300),  # a row of 2**64 samples or more
        (2.0**61, 1.0),  # a row whose bytes exceed the address space
    ],
)
def test_rows_too_long_to_hold_are_a_capacity_overflow(rise, dt):
    with pytest.raises(BaseException) as caught:
        synthesise([1.0], [rise], dt, [0.3])
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == "capacity overflow"


def test_a_running_total_beyond_the_address_space_is_a_capacity_overflow():
    with pytest.raises(BaseException) as caught:
        synthesise([1.0] * 9, [2.0**60] * 9, 1.0, [0.3] * 9)
    assert type(caught.value).__name__ == "PanicException"
    assert str(caught.value) == "capacity overflow"
