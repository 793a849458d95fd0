#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "fatal.hpp"
#include "field.hpp"
#include "field_stream.hpp"

namespace kernels {
namespace {

struct Shape {
    std::uint64_t pi, pj, ci, cj;
};

std::vector<double> quadrant_for(std::uint64_t pi, std::uint64_t pj, double (*value)(std::uint64_t, std::uint64_t)) {
    std::vector<double> q;
    for (std::uint64_t k = 0; k <= pi / 2; ++k)
        for (std::uint64_t l = 0; l <= pj / 2; ++l) q.push_back(value(k, l));
    return q;
}

double varied(std::uint64_t k, std::uint64_t l) { return 1.0 + 0.5 * std::sin(1.0 + 3.0 * k + 0.7 * l); }
double ones(std::uint64_t, std::uint64_t) { return 1.0; }

FieldPair draw_ok(const std::vector<double>& q, const Shape& s, std::uint64_t seed) {
    auto result = draw_pair(q, s.pi / 2 + 1, s.pj / 2 + 1, s.pi, s.pj, s.ci, s.cj, seed);
    if (auto* error = std::get_if<DrawError>(&result)) ADD_FAILURE() << message(*error);
    return std::get<FieldPair>(std::move(result));
}

// ---- validation ----------------------------------------------------------------------

struct Refusal {
    std::uint64_t ri, rj, pi, pj, ci, cj;
    const char* expected;
};

class DrawRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(DrawRefusal, FirstFailingCheckDecidesTheMessage) {
    const Refusal& r = GetParam();
    const std::vector<double> q(r.ri * r.rj, 1.0);
    auto result = draw_pair(q, r.ri, r.rj, r.pi, r.pj, r.ci, r.cj, 0);
    ASSERT_TRUE(std::holds_alternative<DrawError>(result));
    EXPECT_EQ(message(std::get<DrawError>(result)), r.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, DrawRefusal,
    ::testing::Values(
        Refusal{4, 4, 0, 6, 1, 1, "a 0x6 embedding has no cells"},
        Refusal{1, 1, 3, 0, 1, 1, "a 3x0 embedding has no cells"},
        // A zero in the padded shape is reported before the quadrant is looked at.
        Refusal{7, 7, 0, 0, 9, 9, "a 0x0 embedding has no cells"},
        Refusal{4, 4, 8, 6, 1, 1, "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"},
        Refusal{5, 3, 8, 7, 1, 1, "a 8x7 embedding needs a 5x4 amplitude quadrant, not 5x3"},
        // A wrong quadrant wins over a fault that does not fit.
        Refusal{4, 4, 8, 6, 10, 3, "a 8x6 embedding needs a 5x4 amplitude quadrant, not 4x4"},
        Refusal{5, 4, 8, 6, 10, 3, "a 10x3 fault does not fit in a 8x6 embedding"},
        Refusal{5, 4, 8, 6, 8, 7, "a 8x7 fault does not fit in a 8x6 embedding"},
        Refusal{1, 1, 1, 1, 0, 2, "a 0x2 fault does not fit in a 1x1 embedding"},
        Refusal{1, 1, 18446744073709551615u, 1, 0, 0,
                "a 18446744073709551615x1 embedding needs a 9223372036854775808x1 amplitude "
                "quadrant, not 1x1"}));

TEST(DrawPair, QuadrantValuesDisagreeingWithItsShapeIsFatal) {
    const std::vector<double> q(5, 1.0);
    EXPECT_THROW(draw_pair(q, 2, 3, 3, 4, 1, 1, 0), FatalError);
}

// ---- worked draws --------------------------------------------------------------------

TEST(DrawPair, OneCellGivesTheFirstTwoVariatesTimesTheAmplitude) {
    for (double a : {1.0, -2.5}) {
        const FieldPair out = draw_ok({a}, {1, 1, 1, 1}, 0);
        ASSERT_EQ(out.real.size(), 1u);
        ASSERT_EQ(out.imaginary.size(), 1u);
        EXPECT_EQ(out.real[0], a * 2.007951957087276);
        EXPECT_EQ(out.imaginary[0], a * -1.2450973225106816);
    }
}

TEST(DrawPair, ThreeCellsInARowOrAColumnGiveTheWorkedValues) {
    const double real[] = {0.57390261549, 1.97630033874, 0.927671854599};
    const double imaginary[] = {-1.56949700117, 0.575505598372, -1.16258042016};
    for (const Shape& s : {Shape{1, 3, 1, 3}, Shape{3, 1, 3, 1}}) {
        const FieldPair out = draw_ok({1.0, 1.0}, s, 0);
        ASSERT_EQ(out.real.size(), 3u);
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_NEAR(out.real[k], real[k], 1e-11);
            EXPECT_NEAR(out.imaginary[k], imaginary[k], 1e-11);
        }
    }
}

// ---- against a direct evaluation of the sum ------------------------------------------

// The draw evaluated straight from its closed form, in long double, with the noise
// taken from the (separately tested) stream: cell (i, j) gets the next two variates of
// child stream i / 32.
std::vector<std::complex<long double>> direct_draw(const std::vector<double>& q, const Shape& s,
                                                   std::uint64_t seed) {
    const std::uint64_t rj = s.pj / 2 + 1;
    PcgStream master = from_seed_u64(seed);
    std::vector<PcgStream> children = block_streams(master, (s.pi + 31) / 32);
    std::vector<std::complex<long double>> noise(s.pi * s.pj);
    for (std::uint64_t i = 0; i < s.pi; ++i) {
        for (std::uint64_t j = 0; j < s.pj; ++j) {
            PcgStream& stream = children[i / 32];
            const double a = q[std::min(i, s.pi - i) * rj + std::min(j, s.pj - j)];
            const double z1 = standard_normal(stream);
            const double z2 = standard_normal(stream);
            noise[i * s.pj + j] = {static_cast<long double>(z1) * a, static_cast<long double>(z2) * a};
        }
    }
    const long double two_pi = 2 * std::numbers::pi_v<long double>;
    // Sum along j for every padded row, then along i for the kept corner.
    std::vector<std::complex<long double>> rows(s.pi * s.cj);
    for (std::uint64_t k = 0; k < s.pi; ++k)
        for (std::uint64_t n = 0; n < s.cj; ++n) {
            std::complex<long double> sum = 0;
            for (std::uint64_t l = 0; l < s.pj; ++l)
                sum += noise[k * s.pj + l] * std::polar(1.0L, two_pi * ((l * n) % s.pj) / s.pj);
            rows[k * s.cj + n] = sum;
        }
    const long double scale = 1 / std::sqrt(static_cast<long double>(s.pi * s.pj));
    std::vector<std::complex<long double>> out(s.ci * s.cj);
    for (std::uint64_t m = 0; m < s.ci; ++m)
        for (std::uint64_t n = 0; n < s.cj; ++n) {
            std::complex<long double> sum = 0;
            for (std::uint64_t k = 0; k < s.pi; ++k)
                sum += rows[k * s.cj + n] * std::polar(1.0L, two_pi * ((k * m) % s.pi) / s.pi);
            out[m * s.cj + n] = sum * scale;
        }
    return out;
}

class DrawAgainstDirectSum : public ::testing::TestWithParam<Shape> {};

TEST_P(DrawAgainstDirectSum, MatchesTheClosedForm) {
    const Shape s = GetParam();
    const std::vector<double> q = quadrant_for(s.pi, s.pj, varied);
    const FieldPair out = draw_ok(q, s, 77);
    const auto expected = direct_draw(q, s, 77);
    ASSERT_EQ(out.real.size(), s.ci * s.cj);
    ASSERT_EQ(out.imaginary.size(), s.ci * s.cj);
    for (std::size_t k = 0; k < expected.size(); ++k) {
        EXPECT_NEAR(out.real[k], static_cast<double>(expected[k].real()), 1e-11) << k;
        EXPECT_NEAR(out.imaginary[k], static_cast<double>(expected[k].imag()), 1e-11) << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, DrawAgainstDirectSum,
    ::testing::Values(Shape{1, 1, 1, 1}, Shape{2, 2, 2, 2}, Shape{4, 5, 4, 5}, Shape{5, 4, 3, 2},
                      // several row blocks, an odd padded length, a partial last block
                      Shape{70, 6, 70, 6}, Shape{97, 3, 40, 3},
                      // several column blocks with a partial last one, prime lengths
                      Shape{6, 53, 6, 53}, Shape{13, 41, 7, 35},
                      // several output chunks, both directions
                      Shape{67, 37, 66, 33}));

// ---- structural properties -----------------------------------------------------------

TEST(DrawPair, ZeroCellCountsGiveEmptyBuffers) {
    for (const Shape& s : {Shape{8, 6, 0, 6}, Shape{8, 6, 8, 0}, Shape{8, 6, 0, 0}, Shape{1, 1, 0, 0}}) {
        const FieldPair out = draw_ok(quadrant_for(s.pi, s.pj, ones), s, 0);
        EXPECT_EQ(out.real.size(), 0u);
        EXPECT_EQ(out.imaginary.size(), 0u);
    }
}

TEST(DrawPair, NonFiniteAmplitudesSpreadWithoutFailing) {
    const Shape s{4, 4, 4, 4};
    std::vector<double> q = quadrant_for(s.pi, s.pj, ones);
    q[4] = std::nan("");
    const FieldPair out = draw_ok(q, s, 0);
    EXPECT_TRUE(std::isnan(out.real[0]));
}

}  // namespace
}  // namespace kernels
