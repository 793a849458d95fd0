#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <new>
#include <numbers>
#include <random>
#include <vector>

#include "field_fft.hpp"

namespace kernels {
namespace {

using Complex = std::complex<double>;

std::vector<Complex> noise(std::size_t count, unsigned seed) {
    std::mt19937_64 bits(seed);
    std::normal_distribution<double> normal;
    std::vector<Complex> values(count);
    for (Complex& v : values) v = {normal(bits), normal(bits)};
    return values;
}

// The unnormalised inverse transform by its definition, in long double.
std::vector<Complex> inverse_dft(const std::vector<Complex>& x) {
    const std::size_t n = x.size();
    std::vector<std::complex<long double>> roots(n);
    for (std::size_t r = 0; r < n; ++r) {
        const long double angle = 2 * std::numbers::pi_v<long double> * r / n;
        roots[r] = {std::cos(angle), std::sin(angle)};
    }
    std::vector<Complex> out(n);
    for (std::size_t k = 0; k < n; ++k) {
        std::complex<long double> sum = 0;
        for (std::size_t m = 0; m < n; ++m)
            sum += std::complex<long double>(x[m].real(), x[m].imag()) * roots[(k * m) % n];
        out[k] = {static_cast<double>(sum.real()), static_cast<double>(sum.imag())};
    }
    return out;
}

bool same_bits(const Complex& a, const Complex& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Transforms `sequences` (each of the plan's length), as many to a batch as it has lanes,
// in the order given; lanes left over in the last batch hold huge values, which must not
// leak into their neighbours.
std::vector<std::vector<Complex>> transform(const InversePlan& plan, std::size_t n,
                                            std::vector<std::vector<Complex>> sequences) {
    InversePlan::Batch batch = plan.batch();
    for (std::size_t first = 0; first < sequences.size(); first += TRANSFORM_LANES) {
        for (std::size_t lane = 0; lane < TRANSFORM_LANES; ++lane) {
            const std::size_t k = first + lane;
            for (std::size_t m = 0; m < n; ++m) {
                const Complex v = k < sequences.size() ? sequences[k][m] : Complex(1e300, -1e300);
                batch[m].real[lane] = v.real();
                batch[m].imag[lane] = v.imag();
            }
        }
        plan.run(batch);
        for (std::size_t lane = 0; lane < TRANSFORM_LANES && first + lane < sequences.size(); ++lane)
            for (std::size_t m = 0; m < n; ++m)
                sequences[first + lane][m] = {batch[m].real[lane], batch[m].imag[lane]};
    }
    return sequences;
}

class InverseTransform : public ::testing::TestWithParam<std::size_t> {};

// Powers of two, small primes with their own passes, mixed radices, and primes long
// enough to be transformed through a longer convolution.
INSTANTIATE_TEST_SUITE_P(Lengths, InverseTransform,
                         ::testing::Values(1, 2, 3, 4, 5, 7, 8, 11, 12, 13, 16, 17, 97, 100, 128,
                                           210, 1000, 1009, 2048, 4099));

TEST_P(InverseTransform, MatchesTheDefinition) {
    const std::size_t n = GetParam();
    const std::vector<Complex> values = noise(n, 1);
    const std::vector<Complex> expected = inverse_dft(values);
    const InversePlan plan(n);
    const std::vector<Complex> result = transform(plan, n, {values})[0];
    const double tolerance = 1e-12 * std::sqrt(static_cast<double>(n)) * std::log2(2.0 * n) * 4;
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(result[k].real(), expected[k].real(), tolerance) << "k = " << k;
        EXPECT_NEAR(result[k].imag(), expected[k].imag(), tolerance) << "k = " << k;
    }
}

// A sequence's transform must not depend on what shares its batch, nor on its lane: that
// is what makes the draw the same for any grouping of its work.
TEST_P(InverseTransform, EachSequenceComesOutTheSameWhateverItsCompany) {
    const std::size_t n = GetParam();
    std::vector<std::vector<Complex>> sequences;
    for (unsigned k = 0; k < 2 * TRANSFORM_LANES + 1; ++k) sequences.push_back(noise(n, 10 + k));
    const InversePlan plan(n);
    const auto together = transform(plan, n, sequences);
    const auto reversed = transform(plan, n, {sequences.rbegin(), sequences.rend()});
    for (std::size_t k = 0; k < sequences.size(); ++k) {
        const auto alone = transform(plan, n, {sequences[k]})[0];
        for (std::size_t m = 0; m < n; ++m) {
            ASSERT_TRUE(same_bits(together[k][m], alone[m])) << k << ", " << m;
            ASSERT_TRUE(same_bits(reversed[sequences.size() - 1 - k][m], alone[m])) << k << ", " << m;
        }
    }
}

// Lengths whose plan (a prime's, transformed through a longer convolution) or whose
// batch (a power of two's) cannot be had: std::bad_alloc, which the call raises as
// MemoryError, rather than an abort.
TEST(InverseTransform, MemoryBeyondReachIsBadAlloc) {
    EXPECT_THROW(InversePlan(68719476731), std::bad_alloc);  // 2^36 - 5, a prime
    const InversePlan plan(std::uint64_t{1} << 50);
    EXPECT_THROW(plan.batch(), std::bad_alloc);
}

}  // namespace
}  // namespace kernels
