// The layered half-space's spectra (greens.hpp): what must not change them (a boundary
// between like layers, the blocks of frequencies, the number of threads), and refusals.
// Their physics is checked against peers and closed forms in tests/modeller/test_greens.py.

#include "greens.hpp"

#include <gtest/gtest.h>
#include <oneapi/tbb/global_control.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <vector>

namespace {

using Complex = std::complex<double>;

// A model's columns, Q elastic unless given.
struct Columns {
    std::vector<double> top, vp, vs, rho, qp, qs;
    greens::Model model() const { return {top, vp, vs, rho, qp, qs, 1.0}; }
};

Columns two_layers() {
    return {{0.0, 2.0}, {4.0, 6.0}, {2.2, 3.5}, {2.4, 2.8}, {80.0, 300.0}, {40.0, 150.0}};
}

// The sampling of a small problem: Bessel tables of `rows` wavenumbers for `distances`.
struct Problem {
    std::vector<double> depths{3.0, 7.5};
    std::vector<double> distances{0.0, 4.0, 11.0};
    std::size_t rows = 600;
    double step = 0.01;
    std::vector<double> j0, j1;
    std::vector<std::int64_t> counts;

    explicit Problem(std::size_t frequencies) {
        for (double r : distances) {
            for (std::size_t m = 0; m < rows; ++m) {
                const double x = (static_cast<double>(m) + 0.5) * step * r;
                j0.push_back(::j0(x));
                j1.push_back(::j1(x));
            }
        }
        counts = counts_for(frequencies);
    }

    // Each source's count, the same at every frequency: fewer for the deeper one.
    std::vector<std::int64_t> counts_for(std::size_t frequencies) const {
        std::vector<std::int64_t> own;
        for (std::size_t s = 0; s < depths.size(); ++s) {
            for (std::size_t n = 0; n < frequencies; ++n) own.push_back(static_cast<std::int64_t>(rows - 50 * s));
        }
        return own;
    }

    greens::Sampling sampling(std::size_t first, std::size_t frequencies, std::span<const std::int64_t> own) const {
        return {0.02, first, frequencies, 0.05, step, own, j0, j1};
    }

    std::size_t values(std::size_t frequencies) const {
        return depths.size() * distances.size() * greens::RESPONSES * frequencies;
    }
};

std::vector<Complex> run(const Columns& columns, const Problem& problem, std::size_t first, std::size_t frequencies,
                         double receiver_depth = 0.0) {
    std::vector<Complex> out(problem.values(frequencies));
    const std::vector<std::int64_t> own = problem.counts_for(frequencies);
    const greens::Geometry geometry{receiver_depth, problem.depths, problem.distances};
    greens::Refusal refusal;
    const auto status = greens::spectra(columns.model(), geometry, problem.sampling(first, frequencies, own), out, refusal);
    EXPECT_EQ(status, greens::Status::DONE) << refusal.reason;
    return out;
}

double largest(const std::vector<Complex>& values) {
    double size = 0.0;
    for (const Complex& value : values) size = std::max(size, std::abs(value));
    return size;
}

TEST(Spectra, ABoundaryBetweenLikeLayersChangesNothing) {
    const Problem problem(4);
    const Columns plain = two_layers();
    Columns split = plain;  // the lower layer cut in two at 5 km
    split.top = {0.0, 2.0, 5.0};
    split.vp = {4.0, 6.0, 6.0};
    split.vs = {2.2, 3.5, 3.5};
    split.rho = {2.4, 2.8, 2.8};
    split.qp = {80.0, 300.0, 300.0};
    split.qs = {40.0, 150.0, 150.0};
    const auto a = run(plain, problem, 1, 4);
    const auto b = run(split, problem, 1, 4);
    const double scale = largest(a);
    ASSERT_GT(scale, 0.0);
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_LT(std::abs(a[i] - b[i]), 1e-9 * scale) << i;
}

TEST(Spectra, BuriedReceiversAtABoundaryOrInsideALayerAgree) {
    const Problem problem(3);
    const Columns plain = two_layers();
    Columns split = plain;  // a boundary between like layers at the receivers' depth
    split.top = {0.0, 1.0, 2.0};
    split.vp = {4.0, 4.0, 6.0};
    split.vs = {2.2, 2.2, 3.5};
    split.rho = {2.4, 2.4, 2.8};
    split.qp = {80.0, 80.0, 300.0};
    split.qs = {40.0, 40.0, 150.0};
    const auto a = run(plain, problem, 2, 3, 1.0);
    const auto b = run(split, problem, 2, 3, 1.0);
    const double scale = largest(a);
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_LT(std::abs(a[i] - b[i]), 1e-9 * scale) << i;
}

TEST(Spectra, FrequenciesComeOutTheSameInBlocksOrOnOneThread) {
    const Problem problem(6);
    const Columns columns = two_layers();
    const auto whole = run(columns, problem, 0, 6);
    const auto head = run(columns, problem, 0, 2);
    const auto tail = run(columns, problem, 2, 4);
    const std::size_t per = whole.size() / 6;  // values of one frequency
    for (std::size_t v = 0; v < per; ++v) {
        for (std::size_t n = 0; n < 6; ++n) {
            const Complex part = n < 2 ? head[v * 2 + n] : tail[v * 4 + (n - 2)];
            EXPECT_EQ(whole[v * 6 + n], part);
        }
    }
    const tbb::global_control one_thread(tbb::global_control::max_allowed_parallelism, 1);
    EXPECT_EQ(run(columns, problem, 0, 6), whole);
}

TEST(Spectra, ShallowerSourcesMoveTheSurfaceMoreAtTheEpicentre) {
    // The explosion's vertical response (ZZZ + ZH) right above the source falls with depth.
    const Problem problem(1);
    const auto out = run(two_layers(), problem, 0, 1);
    const std::size_t distance = 0;
    auto up = [&](std::size_t source) {
        const std::size_t base = (source * problem.distances.size() + distance) * greens::RESPONSES;
        return std::abs(out[base + 0] + out[base + 2]);
    };
    EXPECT_GT(up(0), up(1));
}

struct Refused : ::testing::Test {
    Problem problem{2};
    Columns columns = two_layers();
    std::vector<Complex> out = std::vector<Complex>(problem.values(2), Complex(7.0, 7.0));

    std::string refusal(const greens::Geometry& geometry, const greens::Sampling& sampling) {
        greens::Refusal why;
        EXPECT_EQ(greens::spectra(columns.model(), geometry, sampling, out, why), greens::Status::REFUSED);
        for (const Complex& value : out) EXPECT_EQ(value, Complex(7.0, 7.0));  // untouched
        return why.reason;
    }
};

TEST_F(Refused, SourcesAboveTheReceivers) {
    const greens::Geometry geometry{4.0, problem.depths, problem.distances};
    EXPECT_NE(refusal(geometry, problem.sampling(0, 2, problem.counts)).find("below the receivers"), std::string::npos);
}

TEST_F(Refused, CountsBeyondTheBesselTables) {
    problem.counts[1] = static_cast<std::int64_t>(problem.rows) + 1;
    const greens::Geometry geometry{0.0, problem.depths, problem.distances};
    EXPECT_NE(refusal(geometry, problem.sampling(0, 2, problem.counts)).find("wavenumber count 601"),
              std::string::npos);
}

TEST_F(Refused, ColumnsOfUnequalLength) {
    columns.qs.pop_back();
    const greens::Geometry geometry{0.0, problem.depths, problem.distances};
    EXPECT_NE(refusal(geometry, problem.sampling(0, 2, problem.counts)).find("same number"), std::string::npos);
}

TEST_F(Refused, NonPositiveQualityFactors) {
    columns.qp[1] = 0.0;
    const greens::Geometry geometry{0.0, problem.depths, problem.distances};
    EXPECT_NE(refusal(geometry, problem.sampling(0, 2, problem.counts)).find("layer 2"), std::string::npos);
}

TEST_F(Refused, AnOutputOfTheWrongSize) {
    out.pop_back();
    const greens::Geometry geometry{0.0, problem.depths, problem.distances};
    EXPECT_NE(refusal(geometry, problem.sampling(0, 2, problem.counts)).find("out needs"), std::string::npos);
}

TEST_F(Refused, ANegativeDistance) {
    problem.distances[1] = -1.0;
    const greens::Geometry geometry{0.0, problem.depths, problem.distances};
    EXPECT_NE(refusal(geometry, problem.sampling(0, 2, problem.counts)).find("distance -1"), std::string::npos);
}

}  // namespace
