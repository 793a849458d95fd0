#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

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

// The significant digits of a decimal text, without sign, point, or leading and trailing
// zeros: "-0.00120" and "1.2e-3" both give "12".
std::string significant_digits(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == 'e' || c == 'E') break;
        if (c >= '0' && c <= '9') digits += c;
    }
    const auto first = digits.find_first_not_of('0');
    if (first == std::string::npos) return "0";
    const auto last = digits.find_last_not_of('0');
    return digits.substr(first, last - first + 1);
}

// The shortest round-trip digits found the slow way: for 1, 2, ... significant digits, the
// correctly rounded decimal, or failing that a neighbour one unit away in its last digit
// (just above a power of two the gap to the next double down is half the gap up, so the
// nearest decimal can fall outside while a farther one reads back), until one reads back
// as the same double.
std::string shortest_round_trip_digits(double value) {
    const double magnitude = std::abs(value);
    if (magnitude == 0) return "0";
    for (int precision = 1; precision <= 17; ++precision) {
        char text[64];
        std::snprintf(text, sizeof text, "%.*e", precision - 1, magnitude);
        const int exponent = std::atoi(std::strchr(text, 'e') + 1) - (precision - 1);
        std::string mantissa;
        for (const char* c = text; *c != 'e'; ++c) {
            if (*c != '.') mantissa += *c;
        }
        const long long rounded = std::atoll(mantissa.c_str());
        for (long long candidate : {rounded, rounded + 1, rounded - 1}) {
            const std::string decimal = std::to_string(candidate) + "e" + std::to_string(exponent);
            if (std::strtod(decimal.c_str(), nullptr) == magnitude) return significant_digits(decimal);
        }
    }
    return "no round trip";
}

// Doubles where a positional layout goes wrong most easily: around 2^53, 2^63, 2^64, 1e22,
// 1e23 and the largest double, where the exact expansion has more digits than the shortest
// form, and every power of two and of ten across the range, subnormals included.
std::vector<double> awkward_doubles() {
    std::vector<double> values = {std::numeric_limits<double>::max(),
                                  std::numeric_limits<double>::min(),
                                  std::numeric_limits<double>::denorm_min(),
                                  1.2345678901234568e20, 1e22, 1e23, 9007199254740993.0};
    for (int e = -1074; e <= 1023; ++e) values.push_back(std::ldexp(1.0, e));
    for (int e = -323; e <= 308; ++e) values.push_back(std::strtod(("1e" + std::to_string(e)).c_str(), nullptr));
    for (double base : {std::ldexp(1.0, 53), std::ldexp(1.0, 63), std::ldexp(1.0, 64),
                        std::ldexp(1.0, 1023), 1e22, 1e23, std::numeric_limits<double>::max()}) {
        double below = base, above = base;
        for (int steps = 0; steps < 4; ++steps) {
            below = std::nextafter(below, 0.0);
            above = std::nextafter(above, inf);
            values.push_back(below);
            if (std::isfinite(above)) values.push_back(above);
        }
    }
    const std::size_t count = values.size();
    for (std::size_t k = 0; k < count; ++k) values.push_back(-values[k]);
    return values;
}

void expect_shortest_positional(double value) {
    const std::string text = format_shortest(value);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
    ASSERT_EQ(significant_digits(text), shortest_round_trip_digits(value)) << text;
    if (text.find('.') != std::string::npos) {
        ASSERT_NE(text.back(), '0') << text;
    }
}

TEST(FormatShortest, LargeIntegralValuesKeepOnlyTheShortestDigits) {
    EXPECT_EQ(format_shortest(-1.2345678901234568e20), "-123456789012345680000");
    EXPECT_EQ(format_shortest(-1.7976931348623157e308),
              "-17976931348623157" + std::string(292, '0'));
    EXPECT_EQ(format_shortest(9007199254740993.0), "9007199254740992");
    EXPECT_EQ(format_shortest(1e23), "100000000000000000000000");
}

TEST(FormatShortest, AwkwardValuesHaveTheShortestRoundTripDigits) {
    for (double value : awkward_doubles()) expect_shortest_positional(value);
}

TEST(FormatShortest, RandomBitPatternsHaveTheShortestRoundTripDigits) {
    std::mt19937_64 bits(20261208);
    for (int k = 0; k < 100000; ++k) {
        double value;
        const std::uint64_t word = bits();
        std::memcpy(&value, &word, sizeof value);
        if (std::isfinite(value)) expect_shortest_positional(value);
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
