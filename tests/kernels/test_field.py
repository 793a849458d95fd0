"""circulant_draw: checks and messages, the worked draws, agreement with an independent
NumPy evaluation, the crop, thread and concurrency invariances, and the covariance of
the drawn fields."""

import concurrent.futures
import hashlib
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import _kernels

U64 = 2**64 - 1


def quadrant_shape(padded):
    return (padded[0] // 2 + 1, padded[1] // 2 + 1)


def varied_quadrant(padded, seed=0):
    """Amplitudes of both signs, with exact zeros among them."""
    q = np.random.default_rng(seed).normal(size=quadrant_shape(padded))
    q[q < -1.2] = 0.0
    return q


def mirrored(quadrant, padded):
    """The full grid of amplitudes: padded cell (i, j) takes quadrant (min(i, pi - i), min(j, pj - j))."""
    pi, pj = padded
    rows = np.minimum(np.arange(pi), pi - np.arange(pi))
    columns = np.minimum(np.arange(pj), pj - np.arange(pj))
    return quadrant[np.ix_(rows, columns)]


def draw(quadrant, padded, cells, seed):
    real, imaginary = _kernels.circulant_draw(quadrant, padded, cells, seed)
    return real, imaginary


# ---- the seeded normal stream, written out from its definition -----------------------

M128 = 2**128 - 1
PCG_MULTIPLIER = 47026247687942121848144207491837523525
ZIGGURAT_R = 3.654152885361009
ZIGGURAT_V = 0.00492867323399


def _ziggurat_tables():
    f = lambda x: math.exp(-x * x / 2)  # noqa: E731
    x = [0.0] * 257
    x[0] = ZIGGURAT_V / f(ZIGGURAT_R)
    x[1] = ZIGGURAT_R
    for i in range(2, 256):
        x[i] = math.sqrt(-2 * math.log(ZIGGURAT_V / x[i - 1] + f(x[i - 1])))
    heights = [f(v) for v in x[:256]] + [1.0]
    return x, heights


ZIGGURAT_X, ZIGGURAT_F = _ziggurat_tables()


def _double(bits):
    return np.array([bits], dtype=np.uint64).view(np.float64)[0].item()


class ReferenceStream:
    """A slow, independent statement of the stream: PCG XSL-RR 128/64 and the ziggurat."""

    def __init__(self, state, increment):
        increment |= 1
        self.increment = increment
        self.state = ((state + increment) * PCG_MULTIPLIER + increment) & M128

    @classmethod
    def from_seed(cls, seed):
        x, words = seed, []
        for _ in range(8):
            x = (x * 6364136223846793005 + 11634580027462260723) & U64
            t = ((x >> 45) ^ (x >> 27)) & 0xFFFFFFFF
            r = x >> 59
            words.append(((t >> r) | (t << (32 - r))) & 0xFFFFFFFF)
        state = sum(w << (32 * k) for k, w in enumerate(words[:4]))
        increment = sum(w << (32 * k) for k, w in enumerate(words[4:]))
        return cls(state, increment)

    def children(self, count):
        out = []
        for _ in range(count):
            o = [self.next_u64() for _ in range(4)]
            out.append(ReferenceStream(o[0] | (o[1] << 64), o[2] | (o[3] << 64)))
        return out

    def next_u64(self):
        self.state = (self.state * PCG_MULTIPLIER + self.increment) & M128
        hi, lo = self.state >> 64, self.state & U64
        word, r = hi ^ lo, hi >> 58
        return ((word >> r) | (word << (64 - r))) & U64

    def normal(self):
        while True:
            w = self.next_u64()
            i = w & 0xFF
            u = _double(0x4000000000000000 | (w >> 12)) - 3.0
            x = u * ZIGGURAT_X[i]
            if abs(x) < ZIGGURAT_X[i + 1]:
                return x
            if i == 0:
                while True:
                    a = _double(0x3FF0000000000000 | (self.next_u64() >> 12)) - (1.0 - 2.0**-53)
                    b = _double(0x3FF0000000000000 | (self.next_u64() >> 12)) - (1.0 - 2.0**-53)
                    t, y = math.log(a) / ZIGGURAT_R, math.log(b)
                    if not t * t > -2 * y:
                        return t - ZIGGURAT_R if u < 0 else ZIGGURAT_R - t
            uniform = (self.next_u64() >> 11) * 2.0**-53
            if math.exp(x * x * -0.5) > uniform * (ZIGGURAT_F[i] - ZIGGURAT_F[i + 1]) + ZIGGURAT_F[i + 1]:
                return x


def reference_noise(padded, seed):
    """z1 + i z2 for every padded cell: row block b (32 rows) draws from child stream b."""
    pi, pj = padded
    children = ReferenceStream.from_seed(seed).children(-(-pi // 32))
    noise = np.empty(padded, dtype=complex)
    for i in range(pi):
        stream = children[i // 32]
        for j in range(pj):
            z1 = stream.normal()
            z2 = stream.normal()
            noise[i, j] = complex(z1, z2)
    return noise


def test_reference_stream_reproduces_the_worked_master_and_child():
    master = ReferenceStream.from_seed(0)
    assert master.state == 0x85AD5B8977EAA32B_44921103AEBF30C2
    child = master.children(1)[0]
    assert child.increment == 0x09F71EE2B019A7DA_B5B235D60CF8E231
    assert [child.normal() for _ in range(4)] == [
        2.007951957087276, -1.2450973225106816, 0.3620812750359354, -1.2609898549904797]


# ---- checks and messages --------------------------------------------------------------

@pytest.mark.parametrize(
    "quadrant, padded, cells, message",
    [
        ((4, 4), (0, 6), (1, 1), "a 0x6 embedding has no cells"),
        ((1, 1), (5, 0), (1, 1), "a 5x0 embedding has no cells"),
        # the padded shape is checked before the quadrant and the fault
        ((3, 2), (0, 0), (9, 9), "a 0x0 embedding has no cells"),
        ((4, 4), (8, 6), (1, 1), "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"),
        ((5, 3), (8, 7), (1, 1), "a 8x7 embedding needs a 5x4 amplitude quadrant, not 5x3"),
        # the quadrant is checked before the fault
        ((4, 4), (8, 6), (10, 3), "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"),
        ((5, 4), (8, 6), (10, 3), "a 10x3 fault does not fit in a 8x6 embedding"),
        ((5, 4), (8, 6), (8, 7), "a 8x7 fault does not fit in a 8x6 embedding"),
        ((1, 1), (1, 1), (U64, 0), "a 18446744073709551615x0 fault does not fit in a 1x1 embedding"),
        ((1, 1), (U64, 1), (0, 0),
         "a 18446744073709551615x1 embedding needs a 9223372036854775808x1 amplitude quadrant, not 1x1"),
    ],
)
def test_refusals_name_the_first_failing_check(quadrant, padded, cells, message):
    with pytest.raises(ValueError) as caught:
        _kernels.circulant_draw(np.ones(quadrant), padded, cells, 0)
    assert str(caught.value) == message
    assert type(caught.value) is ValueError


# ---- worked draws ---------------------------------------------------------------------

@pytest.mark.parametrize("amplitude", [1.0, 0.5, -3.0])
def test_single_cell_is_the_first_two_variates_times_the_amplitude(amplitude):
    real, imaginary = draw(np.array([[amplitude]]), (1, 1), (1, 1), 0)
    assert real.shape == imaginary.shape == (1, 1)
    assert real[0, 0] == amplitude * 2.007951957087276
    assert imaginary[0, 0] == amplitude * -1.2450973225106816


@pytest.mark.parametrize("padded", [(1, 3), (3, 1)])
def test_three_cells_give_the_worked_values(padded):
    real, imaginary = draw(np.ones(quadrant_shape(padded)), padded, padded, 0)
    assert real.shape == imaginary.shape == padded
    np.testing.assert_allclose(real.ravel(), [0.57390261549, 1.97630033874, 0.927671854599], rtol=1e-11)
    np.testing.assert_allclose(imaginary.ravel(), [-1.56949700117, 0.575505598372, -1.16258042016], rtol=1e-11)


def test_results_are_fresh_writeable_float64_arrays():
    real, imaginary = draw(np.ones((3, 3)), (4, 5), (3, 4), 1)
    for part in (real, imaginary):
        assert part.dtype == np.float64 and part.flags.c_contiguous and part.flags.writeable
    assert not np.shares_memory(real, imaginary)


# ---- against NumPy ----------------------------------------------------------------------

SHAPES = [
    ((1, 1), (1, 1)),
    ((2, 2), (2, 1)),
    ((4, 5), (4, 5)),
    ((7, 9), (5, 4)),
    # several row blocks, the last one partial; a prime padded length
    ((97, 4), (97, 4)),
    ((70, 3), (33, 2)),
    # several column blocks, the last one partial
    ((5, 37), (5, 37)),
    ((6, 53), (6, 35)),
    # several of both, and several output chunks
    ((67, 41), (66, 33)),
]


@pytest.mark.parametrize("padded, cells", SHAPES)
def test_draw_matches_numpy_inverse_transform_of_independently_drawn_noise(padded, cells):
    quadrant = varied_quadrant(padded)
    noise = reference_noise(padded, seed=2024)
    expected = np.fft.ifft2(mirrored(quadrant, padded) * noise, norm="ortho")[: cells[0], : cells[1]]
    real, imaginary = draw(quadrant, padded, cells, 2024)
    assert real.shape == imaginary.shape == cells
    np.testing.assert_allclose(real, expected.real, rtol=0, atol=1e-12 * max(1.0, abs(expected).max()))
    np.testing.assert_allclose(imaginary, expected.imag, rtol=0, atol=1e-12 * max(1.0, abs(expected).max()))


def noise_of(padded, seed):
    """The noise of a draw, recovered from the whole grid under unit amplitudes."""
    real, imaginary = draw(np.ones(quadrant_shape(padded)), padded, padded, seed)
    return np.fft.fft2(real + 1j * imaginary, norm="ortho")


@pytest.mark.parametrize("padded", [(130, 40), (33, 17), (64, 64), (29, 31), (1, 50), (50, 1)])
def test_draw_is_the_inverse_transform_of_mirrored_amplitudes_times_the_seed_noise(padded):
    noise = noise_of(padded, seed=5)
    for k in range(3):
        quadrant = varied_quadrant(padded, seed=k)
        cells = (max(1, padded[0] - k), max(1, padded[1] // (k + 1)))
        expected = np.fft.ifft2(mirrored(quadrant, padded) * noise, norm="ortho")[: cells[0], : cells[1]]
        real, imaginary = draw(quadrant, padded, cells, 5)
        np.testing.assert_allclose(real + 1j * imaginary, expected, rtol=0, atol=1e-11)


@pytest.mark.parametrize(
    "padded, row_of_padded_row",
    [((4, 3), [0, 1, 2, 1]), ((5, 3), [0, 1, 2, 2, 1])],
)
def test_padded_rows_and_columns_mirror_the_quadrant(padded, row_of_padded_row):
    noise = noise_of(padded, seed=3)
    for k in range(quadrant_shape(padded)[0]):
        quadrant = np.zeros(quadrant_shape(padded))
        quadrant[k, :] = 1.0
        real, imaginary = draw(quadrant, padded, padded, 3)
        spectrum = np.fft.fft2(real + 1j * imaginary, norm="ortho")
        rows = [i for i, q in enumerate(row_of_padded_row) if q == k]
        np.testing.assert_allclose(spectrum[rows], noise[rows], atol=1e-12)
        others = [i for i in range(padded[0]) if i not in rows]
        np.testing.assert_allclose(spectrum[others], 0, atol=1e-12)
    # columns mirror the same way
    transposed = (padded[1], padded[0])
    noise = noise_of(transposed, seed=3)
    quadrant = np.zeros(quadrant_shape(transposed))
    quadrant[:, 2] = 1.0
    real, imaginary = draw(quadrant, transposed, transposed, 3)
    spectrum = np.fft.fft2(real + 1j * imaginary, norm="ortho")
    columns = [j for j, q in enumerate(row_of_padded_row) if q == 2]
    np.testing.assert_allclose(spectrum[:, columns], noise[:, columns], atol=1e-12)


# ---- crop, zero sizes, zero amplitudes --------------------------------------------------

def test_a_smaller_crop_is_the_corner_of_a_larger_one_bit_for_bit():
    padded = (100, 70)
    quadrant = varied_quadrant(padded)
    full_real, full_imaginary = draw(quadrant, padded, padded, 11)
    for cells in [(1, 1), (33, 17), (100, 16), (64, 70), (99, 69)]:
        real, imaginary = draw(quadrant, padded, cells, 11)
        assert np.array_equal(real, full_real[: cells[0], : cells[1]])
        assert np.array_equal(imaginary, full_imaginary[: cells[0], : cells[1]])


@pytest.mark.parametrize("cells", [(0, 6), (8, 0), (0, 0)])
def test_zero_cell_counts_give_empty_arrays_of_that_shape(cells):
    real, imaginary = draw(np.ones((5, 4)), (8, 6), cells, 0)
    assert real.shape == imaginary.shape == cells
    assert real.dtype == imaginary.dtype == np.float64


def test_zero_amplitudes_give_zeros():
    padded = (40, 36)
    real, imaginary = draw(np.zeros(quadrant_shape(padded)), padded, padded, 4)
    assert np.all(real == 0) and np.all(imaginary == 0)


def test_seeds_differ_and_the_full_seed_range_is_accepted():
    quadrant = np.ones((5, 5))
    a = draw(quadrant, (8, 8), (8, 8), 0)[0]
    b = draw(quadrant, (8, 8), (8, 8), U64)[0]
    assert not np.array_equal(a, b)


# ---- threads ----------------------------------------------------------------------------

CASES = [((2048 // 8, 300), (200, 257)), ((97, 53), (97, 53)), ((130, 17), (1, 17))]

DIGEST_SCRIPT = """
import hashlib, sys
import numpy as np
import _kernels
cases = {cases!r}
digest = hashlib.sha256()
for padded, cells in cases:
    quadrant = np.random.default_rng(1).normal(size=(padded[0] // 2 + 1, padded[1] // 2 + 1))
    for part in _kernels.circulant_draw(quadrant, padded, cells, 99):
        digest.update(part.tobytes())
print(digest.hexdigest())
"""


def digest_with_threads(threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    module_dir = os.path.dirname(_kernels.__file__)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [module_dir, env.get("PYTHONPATH")]))
    result = subprocess.run(
        [sys.executable, "-c", DIGEST_SCRIPT.format(cases=CASES)],
        env=env, capture_output=True, text=True, check=True,
    )
    return result.stdout.strip()


def test_results_are_bit_identical_for_any_pool_size():
    digests = {threads: digest_with_threads(threads) for threads in (1, 2, 5)}
    assert len(set(digests.values())) == 1, digests


def test_concurrent_calls_from_python_threads_match_sequential_ones():
    padded, cells = (300, 200), (260, 150)
    quadrant = varied_quadrant(padded)
    seeds = list(range(12))
    sequential = [draw(quadrant, padded, cells, seed) for seed in seeds]
    with concurrent.futures.ThreadPoolExecutor(max_workers=4) as pool:
        concurrent_results = list(pool.map(lambda seed: draw(quadrant, padded, cells, seed), seeds))
    for (a_real, a_imaginary), (b_real, b_imaginary) in zip(sequential, concurrent_results):
        assert np.array_equal(a_real, b_real) and np.array_equal(a_imaginary, b_imaginary)


# ---- statistics -------------------------------------------------------------------------

def exponential_embedding(padded, lengths):
    """Covariance exp(-|di|/Li - |dj|/Lj) on the periodic padded grid, and its amplitudes."""
    pi, pj = padded
    di = np.minimum(np.arange(pi), pi - np.arange(pi))
    dj = np.minimum(np.arange(pj), pj - np.arange(pj))
    covariance = np.exp(-di[:, None] / lengths[0] - dj[None, :] / lengths[1])
    eigenvalues = np.fft.fft2(covariance).real
    assert eigenvalues.min() > -1e-9 * eigenvalues.max()
    amplitudes = np.sqrt(np.clip(eigenvalues, 0, None))
    return covariance, np.ascontiguousarray(amplitudes[: pi // 2 + 1, : pj // 2 + 1])


def test_fields_have_the_embedded_covariance_and_are_mutually_uncorrelated():
    # Anisotropic on purpose, so that a swapped or shifted mirror changes the covariance.
    padded, draws = (32, 48), 1000
    covariance, quadrant = exponential_embedding(padded, lengths=(2.0, 6.0))
    n = padded[0] * padded[1]
    lag_real, lag_imaginary, lag_cross = [], [], []
    for seed in range(draws):
        real, imaginary = draw(quadrant, padded, padded, seed)
        fr, fi = np.fft.fft2(real), np.fft.fft2(imaginary)
        # Average over every cell of the product with the cell at each periodic lag.
        lag_real.append(np.fft.ifft2(np.abs(fr) ** 2).real / n)
        lag_imaginary.append(np.fft.ifft2(np.abs(fi) ** 2).real / n)
        lag_cross.append(np.fft.ifft2(np.conj(fr) * fi).real / n)
    for estimates, expected in [(lag_real, covariance), (lag_imaginary, covariance), (lag_cross, 0.0)]:
        estimates = np.array(estimates)
        standard_error = estimates.std(axis=0, ddof=1) / math.sqrt(draws)
        assert np.all(np.abs(estimates.mean(axis=0) - expected) < 5 * standard_error + 1e-12)


def test_cells_are_standard_normal_under_unit_covariance():
    # Unit amplitudes embed the identity covariance: every cell of both parts is N(0, 1).
    padded = (64, 80)
    values = np.concatenate([np.ravel(draw(np.ones(quadrant_shape(padded)), padded, padded, s)) for s in range(40)])
    count = values.size
    assert abs(values.mean()) < 5 / math.sqrt(count)
    assert abs(values.var() - 1) < 5 * math.sqrt(2 / count)
