#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "format.hpp"

namespace kernels {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

TEST(FormatCount, PlainUnsignedDecimal) {
    EXPECT_EQ(format_count(0), "0");
    EXPECT_EQ(format_count(1000000), "1000000");
    EXPECT_EQ(format_count(std::numeric_limits<std::uint64_t>::max()), "18446744073709551615");
}

TEST(FormatProduct, WritesProductsBeyondSixtyFourBits) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    EXPECT_EQ(format_product(3, 4), "12");
    EXPECT_EQ(format_product(0, max), "0");
    EXPECT_EQ(format_product(std::uint64_t{1} << 32, std::uint64_t{1} << 32), "18446744073709551616");
    EXPECT_EQ(format_product(10'000'000'000'000'000'000u, 10), "100000000000000000000");
    EXPECT_EQ(format_product(10'000'000'000'000'000'000u, 10'000'000'000'000'000'000u),
              "100000000000000000000000000000000000000");
    EXPECT_EQ(format_product(max, max), "340282366920938463426481119284349108225");
}

struct Shortest {
    double value;
    const char* text;
};

class FormatShortest : public ::testing::TestWithParam<Shortest> {};

TEST_P(FormatShortest, WritesTheShortestPositionalForm) {
    EXPECT_EQ(format_shortest(GetParam().value), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatShortest,
    ::testing::Values(Shortest{1.0, "1"}, Shortest{2.0, "2"}, Shortest{0.25, "0.25"},
                      Shortest{1e-7, "0.0000001"}, Shortest{-2.5, "-2.5"}, Shortest{0.1, "0.1"},
                      Shortest{-0.2, "-0.2"}, Shortest{1e20, "100000000000000000000"},
                      Shortest{1e21, "1000000000000000000000"}, Shortest{-0.0, "-0"},
                      Shortest{0.0, "0"}, Shortest{nan, "NaN"}, Shortest{-nan, "NaN"},
                      Shortest{inf, "inf"}, Shortest{-inf, "-inf"},
                      Shortest{0.30000000000000004, "0.30000000000000004"},
                      Shortest{0.5000000000000001, "0.5000000000000001"},
                      Shortest{0.00010000000000000002, "0.00010000000000000002"}));

TEST(FormatShortest, SmallestSubnormalIsPositional) {
    const std::string text = format_shortest(5e-324);
    EXPECT_EQ(text.substr(0, 2), "0.");
    EXPECT_EQ(text.back(), '5');
    EXPECT_EQ(text.size(), 2u + 324u);
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), 5e-324);
}

TEST(FormatShortest, RoundTripsWithoutExponentOrTrailingZeros) {
    std::mt19937_64 bits(12345);
    for (int k = 0; k < 20000; ++k) {
        double value;
        const std::uint64_t word = bits();
        std::memcpy(&value, &word, sizeof value);
        if (!std::isfinite(value)) continue;
        const std::string text = format_shortest(value);
        ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
        if (text.find('.') != std::string::npos) {
            ASSERT_NE(text.back(), '0') << text;
        }
    }
}

struct Fixed {
    double value;
    int decimals;
    const char* text;
};

class FormatFixed : public ::testing::TestWithParam<Fixed> {};

TEST_P(FormatFixed, RoundsCorrectlyWithTiesToEven) {
    EXPECT_EQ(format_fixed(GetParam().value, GetParam().decimals), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, FormatFixed,
    ::testing::Values(Fixed{1.0, 1, "1.0"}, Fixed{26.0, 1, "26.0"}, Fixed{3.3, 1, "3.3"},
                      // Exact binary ties go to the even digit.
                      Fixed{0.25, 1, "0.2"}, Fixed{0.75, 1, "0.8"}, Fixed{3.25, 1, "3.2"},
                      Fixed{2.5, 0, "2"}, Fixed{3.5, 0, "4"},
                      // Decimal "ties" that are not ties in binary round by the binary value.
                      Fixed{0.35, 1, "0.3"}, Fixed{3.35, 1, "3.4"}, Fixed{0.05, 1, "0.1"},
                      Fixed{12.95, 1, "12.9"}, Fixed{26.049999999999997, 1, "26.0"},
                      Fixed{1e21, 1, "1000000000000000000000.0"}));

}  // namespace
}  // namespace kernels
