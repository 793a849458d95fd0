#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "field_stream.hpp"

namespace kernels {
namespace {

u128 make_u128(std::uint64_t hi, std::uint64_t lo) { return (u128{hi} << 64) | lo; }

TEST(PcgStream, SeedZeroExpandsToTheWorkedMasterStream) {
    PcgStream master = from_seed_u64(0);
    EXPECT_TRUE(master.state == make_u128(0x85AD5B8977EAA32B, 0x44921103AEBF30C2));
    EXPECT_TRUE(master.increment == make_u128(0xFE7D8AD772EA9BF2, 0x67E71733E3A3D0D1));
    EXPECT_EQ(next_u64(master), 0x20AE25DAD4E2BC53u);
    EXPECT_EQ(next_u64(master), 0x58F938E12BBF69FBu);
    EXPECT_EQ(next_u64(master), 0xB5B235D60CF8E231u);
}

TEST(PcgStream, ChildZeroOfSeedZeroGivesTheWorkedNormals) {
    PcgStream master = from_seed_u64(0);
    PcgStream child = block_streams(master, 1)[0];
    EXPECT_TRUE(child.state == make_u128(0x56F868523A2FD836, 0x72752F9244AD73C5));
    EXPECT_TRUE(child.increment == make_u128(0x09F71EE2B019A7DA, 0xB5B235D60CF8E231));
    EXPECT_EQ(standard_normal(child), 2.007951957087276);
    EXPECT_EQ(standard_normal(child), -1.2450973225106816);
    EXPECT_EQ(standard_normal(child), 0.3620812750359354);
    EXPECT_EQ(standard_normal(child), -1.2609898549904797);
}

TEST(PcgStream, SeedBytesAreLittleEndianStateThenOddIncrement) {
    std::array<std::uint8_t, 32> bytes{};
    bytes[0] = 0x02;   // state 2 + 1 * 2^120
    bytes[15] = 0x01;
    bytes[16] = 0x04;  // increment 4, made odd: 5
    const PcgStream stream = from_seed_bytes(bytes);
    const u128 s = 2 + (u128{1} << 120);
    EXPECT_TRUE(stream.increment == 5);
    EXPECT_TRUE(stream.state == (s + 5) * PCG_MULTIPLIER + 5);
}

TEST(PcgStream, SameSeedSameSequenceAndCopiesRunIndependently) {
    for (std::uint64_t seed : {0ull, 1ull, 0xDEADBEEFull, ~0ull}) {
        PcgStream a = from_seed_u64(seed);
        PcgStream b = from_seed_u64(seed);
        EXPECT_EQ(a.increment & 1, 1u);
        for (int k = 0; k < 5; ++k) next_u64(a);
        PcgStream copy = a;
        for (int k = 0; k < 5; ++k) next_u64(b);
        for (int k = 0; k < 100; ++k) {
            const std::uint64_t word = next_u64(a);
            EXPECT_EQ(word, next_u64(b));
            EXPECT_EQ(word, next_u64(copy));
        }
    }
}

TEST(PcgStream, DifferentSeedsDiffer) {
    PcgStream a = from_seed_u64(0);
    PcgStream b = from_seed_u64(1);
    EXPECT_NE(next_u64(a), next_u64(b));
}

TEST(BlockStreams, ChildDependsOnlyOnSeedAndIndex) {
    PcgStream master_many = from_seed_u64(42);
    const std::vector<PcgStream> many = block_streams(master_many, 1000);
    ASSERT_EQ(many.size(), 1000u);
    for (std::size_t k : {0u, 1u, 7u, 999u}) {
        PcgStream master_few = from_seed_u64(42);
        const PcgStream child = block_streams(master_few, k + 1)[k];
        EXPECT_TRUE(child.state == many[k].state);
        EXPECT_TRUE(child.increment == many[k].increment);
        EXPECT_EQ(child.increment & 1, 1u);
    }
    EXPECT_FALSE(many[0].state == many[1].state);
}

TEST(Uniforms, ExtremeWords) {
    EXPECT_EQ(uniform_open(0), 0x1.0p-53);
    EXPECT_EQ(uniform_open(~0ull), 1 - 0x1.0p-53);
    EXPECT_EQ(uniform_signed(0), -1.0);
    EXPECT_LT(uniform_signed(~0ull), 1.0);
    EXPECT_EQ(uniform_signed(~0ull), 1 - 0x1.0p-51);
    EXPECT_EQ(uniform_signed(std::uint64_t{1} << 63), 0.0);
    EXPECT_EQ(uniform_closed_open(0), 0.0);
    EXPECT_EQ(uniform_closed_open(~0ull), 1 - 0x1.0p-53);
    EXPECT_EQ(uniform_closed_open(std::uint64_t{1} << 63), 0.5);
}

TEST(Uniforms, SignedUsesTheTopBitsOnly) {
    // The low 12 bits carry the layer index in the sampler and must not move the value.
    EXPECT_EQ(uniform_signed(0x0FFF), -1.0);
    EXPECT_EQ(uniform_signed(0xC000000000000000), 0.5);
}

TEST(ZigguratTables, TellingValues) {
    // X[0] and F[0] are quoted to 15 digits only; the others to the last bit, which the
    // platform's exp and log may still move by an ulp or two.
    EXPECT_NEAR(ZIGGURAT_X[0], 3.91075795953709, 3.91075795953709 * 2e-15);
    EXPECT_EQ(ZIGGURAT_X[1], ZIGGURAT_R);
    EXPECT_DOUBLE_EQ(ZIGGURAT_X[2], 3.4492782985609645);
    EXPECT_DOUBLE_EQ(ZIGGURAT_X[3], 3.320244733839166);
    EXPECT_DOUBLE_EQ(ZIGGURAT_X[254], 0.2861745917472605);
    EXPECT_DOUBLE_EQ(ZIGGURAT_X[255], 0.2152418959132738);
    EXPECT_EQ(ZIGGURAT_X[256], 0.0);
    EXPECT_NEAR(ZIGGURAT_F[0], 0.000477467764586655, 0.000477467764586655 * 2e-15);
    EXPECT_DOUBLE_EQ(ZIGGURAT_F[1], 0.001260285930498598);
    EXPECT_DOUBLE_EQ(ZIGGURAT_F[2], 0.002609072746106363);
    EXPECT_DOUBLE_EQ(ZIGGURAT_F[254], 0.9598790918124159);
    EXPECT_DOUBLE_EQ(ZIGGURAT_F[255], 0.9771017012827313);
    EXPECT_EQ(ZIGGURAT_F[256], 1.0);
}

TEST(ZigguratTables, EdgesDecreaseAndHeightsIncrease) {
    for (std::size_t i = 0; i < 256; ++i) {
        EXPECT_GT(ZIGGURAT_X[i], ZIGGURAT_X[i + 1]) << i;
        EXPECT_LT(ZIGGURAT_F[i], ZIGGURAT_F[i + 1]) << i;
    }
}

TEST(NormalTail, TakesTheSignOfUWithPositiveZero) {
    PcgStream stream = from_seed_u64(3);
    EXPECT_GT(detail::normal_tail(stream, +0.0), 0.0);
    EXPECT_GT(detail::normal_tail(stream, 0.25), 0.0);
    EXPECT_LT(detail::normal_tail(stream, -0.25), 0.0);
    EXPECT_LT(detail::normal_tail(stream, -1.0), 0.0);
}

TEST(NormalTail, MagnitudeLiesBetweenRAndTheLargestLogarithm) {
    const double largest = ZIGGURAT_R - std::log(0x1.0p-53) / ZIGGURAT_R;
    PcgStream stream = from_seed_u64(11);
    for (int k = 0; k < 100000; ++k) {
        const double v = detail::normal_tail(stream, k % 2 ? 1.0 : -1.0);
        ASSERT_GE(std::fabs(v), ZIGGURAT_R);
        ASSERT_LE(std::fabs(v), largest);
    }
    EXPECT_NEAR(largest, 13.7076, 1e-4);
}

// Sampling statistics of many variates against N(0, 1). Each bound is five standard
// errors wide; the stream is seeded, so the outcome is fixed.
class NormalSample : public ::testing::Test {
protected:
    static constexpr std::size_t count = 10'000'000;

    static const std::vector<double>& sample() {
        static const std::vector<double> values = [] {
            std::vector<double> v(count);
            PcgStream master = from_seed_u64(2024);
            PcgStream stream = block_streams(master, 1)[0];
            for (double& x : v) x = standard_normal(stream);
            return v;
        }();
        return values;
    }

    static double normal_cdf(double t) { return 0.5 * std::erfc(-t / std::sqrt(2.0)); }

    static void expect_fraction(double observed_count, double p, const char* what) {
        const double n = static_cast<double>(count);
        EXPECT_NEAR(observed_count / n, p, 5 * std::sqrt(p * (1 - p) / n)) << what;
    }
};

TEST_F(NormalSample, MomentsMatch) {
    double sum = 0, squares = 0, fourth = 0;
    for (double x : sample()) {
        ASSERT_TRUE(std::isfinite(x));
        sum += x;
        squares += x * x;
        fourth += x * x * x * x;
    }
    const double n = static_cast<double>(count);
    EXPECT_NEAR(sum / n, 0.0, 5 / std::sqrt(n));
    EXPECT_NEAR(squares / n, 1.0, 5 * std::sqrt(2 / n));
    EXPECT_NEAR(fourth / n, 3.0, 5 * std::sqrt(96 / n));
}

TEST_F(NormalSample, DistributionFunctionMatches) {
    // Thresholds across the rectangles, the wedges and both tails.
    for (double t : {-ZIGGURAT_R, -2.5, -1.0, -0.25, 0.0, 0.1, 0.7, 1.5, 3.0, ZIGGURAT_R, 4.5}) {
        std::size_t below = 0;
        for (double x : sample()) below += x < t;
        expect_fraction(static_cast<double>(below), normal_cdf(t), std::to_string(t).c_str());
    }
}

TEST_F(NormalSample, TailBeyondRHasTheRightWeightAndSpread) {
    std::size_t beyond = 0, far = 0;
    for (double x : sample()) {
        beyond += std::fabs(x) > ZIGGURAT_R;
        far += std::fabs(x) > 4.0;
    }
    expect_fraction(static_cast<double>(beyond), 2 * normal_cdf(-ZIGGURAT_R), "beyond R");
    expect_fraction(static_cast<double>(far), 2 * normal_cdf(-4.0), "beyond 4");
}

}  // namespace
}  // namespace kernels
