// The rows' smoothing and moment rate on small cases worked by hand, what each keeps (slip,
// moment), and what they refuse with the outputs untouched.

#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "rows.hpp"

namespace {

template <class T>
rows::Column<T> column(std::vector<T>& values) {
    return {reinterpret_cast<unsigned char*>(values.data()), values.size()};
}

struct Rows {
    std::vector<std::int64_t> offsets;
    std::vector<double> samples;
};

// Rows of random lengths (some empty) and samples.
Rows random_rows(std::mt19937_64& rng, int count) {
    Rows rows{{0}, {}};
    std::uniform_int_distribution<int> length(0, 20);
    std::uniform_real_distribution<double> value(0.0, 3.0);
    for (int k = 0; k < count; ++k) {
        const int n = length(rng);
        for (int m = 0; m < n; ++m) rows.samples.push_back(value(rng));
        rows.offsets.push_back(static_cast<std::int64_t>(rows.samples.size()));
    }
    return rows;
}

// What a boxcar of `width` samples (ceil(width) taps, the last the fraction left) puts
// on tap p, before it is divided by the width.
double tap_weight(double width, std::int64_t p) {
    const double taps = std::ceil(width);
    if (static_cast<double>(p) >= taps) return 0.0;
    return static_cast<double>(p) + 1.0 == taps ? width - (taps - 1.0) : 1.0;
}

TEST(Smooth, SpreadsEachSampleOverItsWidthAndKeepsEachRowsSum) {
    std::mt19937_64 rng(7);
    Rows rows = random_rows(rng, 50);
    std::vector<double> widths(50);
    std::uniform_int_distribution<int> whole(1, 6);
    std::uniform_real_distribution<double> fractional(1.0, 6.0);
    for (std::size_t k = 0; k < widths.size(); ++k) widths[k] = k % 2 ? whole(rng) : fractional(rng);
    std::vector<std::int64_t> new_offsets{0};
    for (std::size_t k = 0; k < widths.size(); ++k) {
        const std::int64_t length = rows.offsets[k + 1] - rows.offsets[k];
        const auto taps = static_cast<std::int64_t>(std::ceil(widths[k]));
        new_offsets.push_back(new_offsets.back() + length + (length ? taps - 1 : 0));
    }
    std::vector<double> out(static_cast<std::size_t>(new_offsets.back()), -1.0);
    rows::Refusal refusal;
    ASSERT_EQ(rows::smooth(column(rows.offsets), column(rows.samples), column(widths),
                           column(new_offsets), column(out), refusal),
              rows::Status::DONE);
    for (std::size_t k = 0; k < widths.size(); ++k) {
        const auto from = rows.samples.begin() + rows.offsets[k];
        const auto length = rows.offsets[k + 1] - rows.offsets[k];
        const auto to = out.begin() + new_offsets[k];
        const auto new_length = new_offsets[k + 1] - new_offsets[k];
        const double w = length ? widths[k] : 1.0;
        for (std::int64_t p = 0; p < new_length; ++p) {
            double expected = 0.0;
            for (std::int64_t i = 0; i <= std::min(p, length - 1); ++i) {
                expected += from[i] * tap_weight(w, p - i) / w;
            }
            EXPECT_NEAR(to[p], expected, 1e-12) << "row " << k << " sample " << p;
        }
        EXPECT_NEAR(std::accumulate(to, to + new_length, 0.0), std::accumulate(from, from + length, 0.0), 1e-12);
    }
}

TEST(Smooth, RefusesNewOffsetsThatDoNotFitAndLeavesTheOutputAlone) {
    std::vector<std::int64_t> offsets{0, 2, 5}, new_offsets{0, 3, 7};
    std::vector<double> widths{3, 1};
    std::vector<double> samples{1, 2, 3, 4, 5}, out(7, -1.0);
    rows::Refusal refusal;
    EXPECT_EQ(rows::smooth(column(offsets), column(samples), column(widths), column(new_offsets),
                           column(out), refusal),
              rows::Status::REFUSED);
    EXPECT_EQ(refusal.kind, rows::Refusal::NEW_OFFSETS_WRONG);
    EXPECT_EQ(refusal.index, 1u);
    EXPECT_EQ(out, std::vector<double>(7, -1.0));
}

TEST(MomentRate, SharesASampleBetweenTheTwoNearestGridTimes) {
    std::vector<std::int64_t> offsets{0, 1};
    std::vector<double> start{2.25}, samples{8.0}, weight{0.5}, rate(5, 0.0);
    rows::Refusal refusal;
    ASSERT_EQ(rows::moment_rate(column(start), column(offsets), column(samples), column(weight),
                                column(rate), 1 << 20, refusal),
              rows::Status::DONE);
    EXPECT_EQ(rate, (std::vector<double>{0.0, 0.0, 3.0, 1.0, 0.0}));
}

TEST(MomentRate, KeepsTheMomentWhateverTheBlockSize) {
    std::mt19937_64 rng(11);
    Rows rows = random_rows(rng, 40);
    std::vector<double> start(40), weight(40);
    std::uniform_real_distribution<double> time(0.0, 30.0), rigidity(1.0, 4.0);
    double moment = 0.0;
    for (std::size_t k = 0; k < 40; ++k) {
        start[k] = time(rng);
        weight[k] = rigidity(rng);
        for (auto m = rows.offsets[k]; m < rows.offsets[k + 1]; ++m) moment += rows.samples[m] * weight[k];
    }
    for (std::int64_t block : {1, 7, 1 << 20}) {
        std::vector<double> rate(60, 0.0);
        rows::Refusal refusal;
        ASSERT_EQ(rows::moment_rate(column(start), column(rows.offsets), column(rows.samples),
                                    column(weight), column(rate), block, refusal),
                  rows::Status::DONE);
        EXPECT_NEAR(std::accumulate(rate.begin(), rate.end(), 0.0), moment, 1e-9 * moment) << block;
    }
}

TEST(MomentRate, RefusesARowPastTheGridAndLeavesTheRateAlone) {
    std::vector<std::int64_t> offsets{0, 3};
    std::vector<double> start{2.5}, samples{1, 1, 1}, weight{1}, rate(4, 9.0);
    rows::Refusal refusal;
    EXPECT_EQ(rows::moment_rate(column(start), column(offsets), column(samples), column(weight),
                                column(rate), 1 << 20, refusal),
              rows::Status::REFUSED);
    EXPECT_EQ(refusal.kind, rows::Refusal::START_OUTSIDE);
    EXPECT_EQ(rate, std::vector<double>(4, 9.0));
}

}  // namespace
