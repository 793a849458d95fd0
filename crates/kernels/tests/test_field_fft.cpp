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

class InverseTransform : public ::testing::TestWithParam<std::size_t> {};

// Powers of two, small primes with their own passes, mixed radices, and primes long
// enough to be transformed through a longer convolution.
INSTANTIATE_TEST_SUITE_P(Lengths, InverseTransform,
                         ::testing::Values(1, 2, 3, 4, 5, 7, 8, 11, 12, 13, 16, 17, 97, 100, 128,
                                           210, 1000, 1009, 2048, 4099));

TEST_P(InverseTransform, MatchesTheDefinition) {
    const std::size_t n = GetParam();
    std::vector<Complex> values = noise(n, 1);
    const std::vector<Complex> expected = inverse_dft(values);
    const InversePlan plan(n);
    InversePlan::Scratch scratch = plan.scratch();
    plan.run({values.data(), 1, n, 1}, n, scratch);
    const double tolerance = 1e-12 * std::sqrt(static_cast<double>(n)) * std::log2(2.0 * n) * 4;
    for (std::size_t k = 0; k < n; ++k) {
        EXPECT_NEAR(values[k].real(), expected[k].real(), tolerance) << "k = " << k;
        EXPECT_NEAR(values[k].imag(), expected[k].imag(), tolerance) << "k = " << k;
    }
}

// A sequence's transform must not depend on how many others share its run, nor on where
// they lie: that is what makes the draw the same for any grouping of its work.
TEST_P(InverseTransform, EachSequenceComesOutTheSameWhateverItsCompany) {
    const std::size_t n = GetParam();
    constexpr std::size_t count = 7;
    const std::vector<Complex> rows = noise(count * n, 2);  // sequence k at k * n
    std::vector<std::vector<Complex>> alone(count);
    const InversePlan plan(n);
    InversePlan::Scratch scratch = plan.scratch();
    for (std::size_t k = 0; k < count; ++k) {
        alone[k].assign(rows.begin() + k * n, rows.begin() + (k + 1) * n);
        plan.run({alone[k].data(), 1, n, 1}, n, scratch);
    }
    std::vector<Complex> together = rows;
    plan.run({together.data(), count, n, 1}, n, scratch);
    // The same sequences as the columns of a row-major n x count grid.
    std::vector<Complex> columns(count * n);
    for (std::size_t k = 0; k < count; ++k)
        for (std::size_t m = 0; m < n; ++m) columns[m * count + k] = rows[k * n + m];
    plan.run({columns.data(), count, 1, count}, n, scratch);
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t m = 0; m < n; ++m) {
            ASSERT_TRUE(same_bits(together[k * n + m], alone[k][m])) << k << ", " << m;
            ASSERT_TRUE(same_bits(columns[m * count + k], alone[k][m])) << k << ", " << m;
        }
    }
}

TEST(InverseTransform, WritesBackOnlyTheKeptValues) {
    constexpr std::size_t n = 12, count = 3, kept = 5;
    const std::vector<Complex> before = noise(count * n, 3);
    std::vector<Complex> whole = before;
    std::vector<Complex> part = before;
    const InversePlan plan(n);
    InversePlan::Scratch scratch = plan.scratch();
    plan.run({whole.data(), count, n, 1}, n, scratch);
    plan.run({part.data(), count, n, 1}, kept, scratch);
    for (std::size_t k = 0; k < count; ++k) {
        for (std::size_t m = 0; m < n; ++m) {
            const Complex& expected = m < kept ? whole[k * n + m] : before[k * n + m];
            EXPECT_TRUE(same_bits(part[k * n + m], expected)) << k << ", " << m;
        }
    }
}

// Lengths whose plan (a prime's, transformed through a longer convolution) or whose
// scratch (a power of two's) cannot be had: std::bad_alloc, which the call raises as
// MemoryError, rather than an abort.
TEST(InverseTransform, MemoryBeyondReachIsBadAlloc) {
    EXPECT_THROW(InversePlan(68719476731), std::bad_alloc);  // 2^36 - 5, a prime
    const InversePlan plan(std::uint64_t{1} << 50);
    EXPECT_THROW(plan.scratch(), std::bad_alloc);
}

}  // namespace
}  // namespace kernels
