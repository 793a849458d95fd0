// The SRF text against C's printf, which writes the digits exactly, ties to even: every
// number writer on chosen edge cases, ties, and values drawn from every binade, then whole
// blocks and their refusals.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "number.hpp"
#include "points.hpp"

namespace {

std::string printf_text(const char* format, double value) {
    char text[srf::NUMBER_MAX + 16];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string fixed(double value, int decimals) {
    char text[srf::NUMBER_MAX];
    return {text, srf::write_fixed(text, value, decimals)};
}

std::string scientific(double value, int decimals) {
    char text[srf::NUMBER_MAX];
    return {text, srf::write_scientific(text, value, decimals)};
}

std::string sample(double value) {
    char text[srf::SAMPLE_WIDTH];
    return {text, srf::write_sample(text, value)};
}

// Every form the SRF text uses, and the quick route's neighbours, against printf.
void expect_as_printf(double value) {
    for (int decimals : {0, 2, 5, 6, 9}) {
        char format[16];
        std::snprintf(format, sizeof format, "%%.%df", decimals);
        ASSERT_EQ(fixed(value, decimals), printf_text(format, value)) << format << " of " << value;
        std::snprintf(format, sizeof format, "%%.%de", decimals);
        ASSERT_EQ(scientific(value, decimals), printf_text(format, value)) << format << " of " << value;
    }
    ASSERT_EQ(sample(value), printf_text("%13.5e", value)) << "%13.5e of " << value;
}

constexpr double MAX = std::numeric_limits<double>::max();
constexpr double SMALLEST = std::numeric_limits<double>::denorm_min();
constexpr double TINY = std::numeric_limits<double>::min();

class EdgeCase : public testing::TestWithParam<double> {};

TEST_P(EdgeCase, IsWrittenAsPrintfWritesIt) {
    expect_as_printf(GetParam());
    expect_as_printf(-GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, EdgeCase,
    testing::Values(0.0, 1e-7, 4e-7, 5e-7, 6e-7, 0.005, 0.125, 0.375, 2.5, 0.5, 1.5, 9.5,
                    0.9999995, 9.999995, 9.999996, 99999.95, 999999.5, 1234565.0, 1234575.0,
                    123456.5, 12345.75, 1e5, 1e6, 1e7, 1e15, 1e16, 1e22, 1e23, 1e-22, 1e-23,
                    0x1p50, 0x1p53, 1e-100, 1e100, 1e300, 1e-300, 123.456, 295.0, 176.02,
                    -117.205891, 34.085539, 2.021118e5, 1e8, 0.05, TINY, SMALLEST, 3 * SMALLEST,
                    MAX, std::nextafter(1.0, 0.0), std::nextafter(10.0, 0.0),
                    std::nextafter(1e6, 2e6), std::nextafter(0.125, 1.0),
                    std::nextafter(0.125, 0.0)));

TEST(Numbers, NotFiniteIsRefused) {
    char text[srf::NUMBER_MAX];
    for (double value : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                         -std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(srf::write_fixed(text, value, 6), nullptr);
        EXPECT_EQ(srf::write_scientific(text, value, 6), nullptr);
        EXPECT_EQ(srf::write_sample(text, value), nullptr);
    }
}

// Exact decimal ties at each position the writers round to: n + 1/2 units of the last
// digit, exactly representable, and their neighbours.
TEST(Numbers, TiesGoToTheEvenDigitAsPrintfs) {
    std::mt19937_64 random(7);
    for (int k = 0; k < 20000; ++k) {
        const std::uint64_t n = random() % 10'000'000;
        // n + 0.5, n + 0.25, n + 0.75 and n.5 x 2^-j: exact ties for the fixed forms...
        for (double value : {n + 0.5, (n + 0.5) / 100, (2 * n + 1) / 8.0, (2 * n + 1) / 128.0}) {
            expect_as_printf(value);
            expect_as_printf(std::nextafter(value, 0.0));
            expect_as_printf(std::nextafter(value, MAX));
        }
        // ... and N x 10^j with N ending in 5, for the scientific ones.
        const double tie = static_cast<double>(10 * (n % 1'000'000) + 5);
        for (double value : {tie, tie * 1e3, tie / 10, tie * 1e10}) {
            expect_as_printf(value);
            expect_as_printf(std::nextafter(value, 0.0));
        }
    }
}

// Doubles of every exponent, uniform in their bits.
TEST(Numbers, AnyFiniteDoubleIsWrittenAsPrintfWritesIt) {
    std::mt19937_64 random(11);
    for (int k = 0; k < 200000; ++k) {
        double value;
        const std::uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof value);
        if (std::isfinite(value)) expect_as_printf(value);
    }
}

// The values a rupture gives: slip rates, coordinates, times.
TEST(Numbers, TypicalValuesAreWrittenAsPrintfWritesThem) {
    std::mt19937_64 random(13);
    std::uniform_real_distribution<double> exponent(-8, 8);
    for (int k = 0; k < 300000; ++k) {
        expect_as_printf(std::pow(10.0, exponent(random)));
    }
}

// ---- Blocks -------------------------------------------------------------------------

struct Points {
    std::vector<double> fields[srf::FIELDS];
    std::vector<std::int64_t> offsets;
    std::vector<double> samples;

    srf::Block block(srf::Version version) const {
        srf::Block block{};
        for (int f = 0; f < srf::FIELDS; ++f) {
            block.fields[f] = {reinterpret_cast<const unsigned char*>(fields[f].data()), fields[f].size()};
        }
        block.offsets = {reinterpret_cast<const unsigned char*>(offsets.data()), offsets.size()};
        block.samples = {reinterpret_cast<const unsigned char*>(samples.data()), samples.size()};
        block.area_cm2 = 1e8;
        block.dt_s = 0.05;
        block.version = version;
        return block;
    }

    // The block's text written with printf, format by format.
    std::string expected(srf::Version version) const {
        std::string text;
        char line[4 * srf::NUMBER_MAX];
        for (std::size_t k = 0; k + 1 < offsets.size(); ++k) {
            const auto& v = fields;
            std::snprintf(line, sizeof line, "%.6f %.6f %.6f %.2f %.2f %.6e %.6f %.6e", v[srf::LON][k],
                          v[srf::LAT][k], v[srf::DEPTH][k], v[srf::STRIKE][k], v[srf::DIP][k], 1e8,
                          v[srf::TINIT][k], 0.05);
            text += line;
            if (version == srf::Version::two) {
                std::snprintf(line, sizeof line, " %.6e %.6e", v[srf::VS][k], v[srf::DENSITY][k]);
                text += line;
            }
            const long long count = offsets[k + 1] - offsets[k];
            std::snprintf(line, sizeof line, "\n%.2f %.6e %lld 0.0 0 0.0 0\n", v[srf::RAKE][k],
                          v[srf::SLIP][k], count);
            text += line;
            for (long long m = 0; m < count; ++m) {
                text += printf_text("%13.5e", samples[offsets[k] - offsets[0] + m]);
                if (m % 6 == 5 || m == count - 1) text += '\n';
            }
        }
        return text;
    }
};

// Points with 0 to 14 samples each (a line of six, several lines, a partial line),
// starting at offset `base`.
Points some_points(std::size_t count, std::int64_t base) {
    std::mt19937_64 random(count);
    std::uniform_real_distribution<double> uniform(-1, 1);
    Points points;
    points.offsets.push_back(base);
    for (std::size_t k = 0; k < count; ++k) {
        for (auto& column : points.fields) column.push_back(1000 * uniform(random));
        const std::int64_t samples = static_cast<std::int64_t>(k % 15);
        points.offsets.push_back(points.offsets.back() + samples);
        for (std::int64_t m = 0; m < samples; ++m) points.samples.push_back(std::exp(20 * uniform(random)));
    }
    return points;
}

class Block : public testing::TestWithParam<std::tuple<srf::Version, std::size_t, std::int64_t>> {};

TEST_P(Block, IsWrittenAsPrintfWritesItsLines) {
    const auto [version, count, base] = GetParam();
    const Points points = some_points(count, base);
    srf::Text text;
    srf::Refusal refusal;
    ASSERT_EQ(srf::write_block(points.block(version), text, refusal), srf::Status::WRITTEN);
    EXPECT_EQ(std::string(text.data(), text.size()), points.expected(version));
}

INSTANTIATE_TEST_SUITE_P(Blocks, Block,
                         testing::Combine(testing::Values(srf::Version::one, srf::Version::two),
                                          testing::Values(0, 1, 16, 2000),
                                          testing::Values(0, 12345)));

// What a refusal names: (field, point, value) or the offsets.
std::string refused(const Points& points) {
    srf::Text text;
    srf::Refusal refusal;
    if (srf::write_block(points.block(srf::Version::two), text, refusal) != srf::Status::REFUSED) {
        return "written";
    }
    char reason[300];
    srf::describe(refusal, points.samples.size(), reason, sizeof reason);
    return reason;
}

TEST(Block, ValuesThatAreNotFiniteAreRefusedByName) {
    for (int f = 0; f < srf::FIELDS; ++f) {
        for (double bad : {std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::infinity()}) {
            Points points = some_points(20, 0);
            points.fields[f][17] = bad;
            EXPECT_EQ(refused(points), std::string(srf::FIELD_NAMES[f]) + "[17] is " +
                                           (std::isnan(bad) ? "nan" : "-inf") +
                                           ": an SRF file holds finite numbers only");
        }
    }
    Points points = some_points(20, 0);
    points.samples[40] = std::numeric_limits<double>::infinity();
    EXPECT_EQ(refused(points), "samples[40] is inf: an SRF file holds finite numbers only");
}

TEST(Block, DecreasingOffsetsAreRefused) {
    Points points = some_points(20, 100);
    points.offsets[8] = points.offsets[7] - 1;
    EXPECT_EQ(refused(points), "offsets[8] = " + std::to_string(points.offsets[8]) +
                                   " is less than offsets[7] = " + std::to_string(points.offsets[7]) +
                                   ": point 7 cannot have a negative number of samples");
    points = some_points(20, 100);
    points.offsets[3] = points.offsets[20] + 1;
    EXPECT_EQ(refused(points), "offsets[3] = " + std::to_string(points.offsets[3]) +
                                   " lies past the end of the samples, which run from offsets[0] = 100 for " +
                                   std::to_string(points.samples.size()) + " values");
}

// Versions 1.0 leaves VS and DEN out, so theirs are not looked at.
TEST(Block, Version1IgnoresTheColumnsItLeavesOut) {
    Points points = some_points(5, 0);
    points.fields[srf::VS][2] = std::numeric_limits<double>::quiet_NaN();
    points.fields[srf::DENSITY][3] = std::numeric_limits<double>::infinity();
    srf::Text text;
    srf::Refusal refusal;
    ASSERT_EQ(srf::write_block(points.block(srf::Version::one), text, refusal), srf::Status::WRITTEN);
    EXPECT_EQ(std::string(text.data(), text.size()), points.expected(srf::Version::one));
}

}  // namespace
