// Slip-rate pulses, sampled at a fixed interval and normalised so that each row's
// discrete area (dt times the sum of its samples) gives back the subfault's slip.
//
// With a rising fraction beta the pulse is the Liu-Archuleta-Hartzell piecewise
// sinusoid (Liu, Archuleta & Hartzell 2006, BSSA 96(6)): a rising limb of length
// tau1 = beta * T and a decay to zero at the rise time T. Its discrete area takes the
// place of a closed-form normalising constant, so every row integrates exactly (up to
// rounding) to its slip whatever dt. Without beta every slipping subfault gets a single
// sample carrying all of its slip.

#include "pulse.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "format.hpp"
#include "pool.hpp"

namespace kernels {

namespace {

constexpr double SLIP_THRESHOLD_M = 0.0001;
constexpr double MAX_BETA = 0.5;
constexpr std::size_t SUBFAULTS_PER_BLOCK = 64;
constexpr std::uint64_t SHORTEST_SLIPPING_ROW = 3;
constexpr double PI = 3.141592653589793;
constexpr double INF = std::numeric_limits<double>::infinity();

bool slips(double slip) { return std::abs(slip) > SLIP_THRESHOLD_M; }

// The rise time in samples, rounded half away from zero and held within a u64.
std::uint64_t rise_samples(double rise, double dt) {
    const double rounded = std::round(rise / dt);
    if (!(rounded > 0)) return 0;
    if (rounded >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(rounded);
}

// Sums whose total no buffer could hold stop the call before any allocation.
[[gnu::cold, gnu::noinline]] void row_lengths_overflow() { fatal("capacity overflow"); }

std::uint64_t add_row(std::uint64_t total, std::uint64_t length) {
    std::uint64_t sum;
    if (__builtin_add_overflow(total, length, &sum)) row_lengths_overflow();
    return sum;
}

// Length of a slipping subfault's row when beta is given: the rise time in samples plus
// the closing zero, and never shorter than the spike.
std::uint64_t shaped_row_length(double rise, double dt) {
    const std::uint64_t o = std::max<std::uint64_t>(rise_samples(rise, dt), 2);
    return add_row(o, 1);
}

struct Shape {
    double rise;        // T
    double tau1;        // the rising limb
    double tau2;        // the decay
    double two_tau1;

    Shape(double rise, double beta)
        : rise(rise), tau1(beta * rise), tau2(rise - tau1), two_tau1(tau1 + tau1) {}

    // The three pieces, each to be used only at the times where the shape takes it:
    // t < tau1, then t < 2 tau1, then t < T; the shape is zero from T on.
    double rising(double t) const {
        const double a = (t * PI) / tau1;
        return (0.7 - std::cos(a) * 0.7) + std::sin(a * 0.5) * 0.6;
    }
    double crest(double t) const {
        const double a = (t * PI) / tau1;
        const double b = ((t - tau1) * PI) / tau2;
        return (1.0 - std::cos(a) * 0.7) + std::cos(b) * 0.3;
    }
    double decay(double t) const {
        const double b = ((t - tau1) * PI) / tau2;
        return std::cos(b) * 0.3 + 0.3;
    }
};

void scale_row(double* row, std::uint64_t length, double scale) {
    for (std::uint64_t m = 0; m < length; ++m) row[m] *= scale;
}

// Scales a row in place so that the sum of sample * dt, accumulated in index order from
// negative zero, equals the slip.
void normalise(double* row, std::uint64_t length, double slip, double dt) {
    double area = -0.0;
    for (std::uint64_t m = 0; m < length; ++m) area += row[m] * dt;
    scale_row(row, length, slip / area);
}

// Writes samples 1 to o - 1 of a row of o + 1 whose ends are zero, and returns the row's
// area. Sample m is at t = m * dt, which never decreases with m, so each piece of the
// shape covers a run of samples and the runs follow one another. The area is summed as
// the samples are made, in the order normalise sums it, so that the additions wait on
// the sines and cosines rather than on each other.
double shape_row(double* row, std::uint64_t o, const Shape& shape, double dt) {
    double area = -0.0;
    area += row[0] * dt;
    std::uint64_t m = 1;
    auto run = [&](double end, auto piece) {
        for (; m < o; ++m) {
            const double t = static_cast<double>(m) * dt;
            if (!(end > t)) return;
            row[m] = piece(t);
            area += row[m] * dt;
        }
    };
    run(shape.tau1, [&](double t) { return shape.rising(t); });
    run(shape.two_tau1, [&](double t) { return shape.crest(t); });
    run(shape.rise, [&](double t) { return shape.decay(t); });
    run(INF, [](double) { return 0.0; });
    area += row[o] * dt;
    return area;
}

struct Inputs {
    std::span<const double> slip;
    std::span<const double> rise;
    std::optional<std::span<const double>> beta;
    double dt;
};

// Writes subfault k's row, which the zero-filled storage has already cleared.
void sample_row(const Inputs& in, std::uint64_t k, double* row, std::uint64_t length) {
    if (length == 0) return;
    const double slip = in.slip[k];
    if (!in.beta) {
        row[0] = 0.0;
        row[1] = slip / in.dt;
        row[2] = 0.0;
        return;
    }
    const std::uint64_t o = rise_samples(in.rise[k], in.dt);
    if (o <= 1) {
        // Too short to resolve: a spike that keeps all of the slip.
        row[1] = 1.0;
        normalise(row, length, slip, in.dt);
        return;
    }
    const Shape shape(in.rise[k], (*in.beta)[k]);
    scale_row(row, length, slip / shape_row(row, o, shape, in.dt));
}

std::optional<PulseError> check_inputs(const Inputs& in) {
    const std::uint64_t n = in.slip.size();
    if (!(in.dt > 0) || !std::isfinite(in.dt)) return pulse::BadSampleInterval{in.dt};
    if (in.rise.size() != n) return pulse::LengthMismatch{"rise_time_s", in.rise.size(), n};
    if (in.beta && in.beta->size() != n) return pulse::LengthMismatch{"beta", in.beta->size(), n};
    if (in.beta) {
        for (std::uint64_t k = 0; k < n; ++k) {
            const double beta = (*in.beta)[k];
            if (!(beta > 0 && beta <= MAX_BETA)) return pulse::BetaOutOfRange{k, beta};
        }
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!std::isfinite(in.slip[k])) return pulse::NonFiniteSlip{k, in.slip[k]};
    }
    return std::nullopt;
}

// One sequential pass sizes every row, so the samples can be obtained once and written
// in place. A slipping subfault's rise time is checked here, where it is first needed.
std::variant<Buffer<std::uint64_t>, PulseError> size_rows(const Inputs& in) {
    const std::uint64_t n = in.slip.size();
    auto offsets = Buffer<std::uint64_t>::uninitialised(n + 1);
    std::uint64_t total = 0;
    offsets[0] = 0;
    for (std::uint64_t k = 0; k < n; ++k) {
        std::uint64_t length = 0;
        if (slips(in.slip[k])) {
            const double rise = in.rise[k];
            if (!in.beta) {
                length = SHORTEST_SLIPPING_ROW;
            } else if (!std::isfinite(rise) || rise < 0) {
                return pulse::BadRiseTime{k, rise};
            } else {
                length = shaped_row_length(rise, in.dt);
            }
        }
        total = add_row(total, length);
        offsets[k + 1] = total;
    }
    return offsets;
}

}  // namespace

std::variant<CsrRows, PulseError> sample_pulses(std::span<const double> slip_m,
                                                std::span<const double> rise_time_s,
                                                std::optional<std::span<const double>> beta,
                                                double dt) {
    const Inputs in{slip_m, rise_time_s, beta, dt};
    if (auto failure = check_inputs(in)) return *failure;
    auto sized = size_rows(in);
    if (auto* failure = std::get_if<PulseError>(&sized)) return *failure;
    auto offsets = std::move(std::get<Buffer<std::uint64_t>>(sized));

    const std::uint64_t n = slip_m.size();
    auto samples = Buffer<double>::on_huge_pages(offsets[n]);
    // Asked even when one block will run on this thread: a call that passes its checks
    // is what creates the pool.
    pool_threads();
    const std::size_t blocks = (n + SUBFAULTS_PER_BLOCK - 1) / SUBFAULTS_PER_BLOCK;
    parallel_runs(blocks, [&](std::size_t first, std::size_t last) {
        for (std::size_t block = first; block < last; ++block) {
            const std::uint64_t begin = block * SUBFAULTS_PER_BLOCK;
            const std::uint64_t end = std::min<std::uint64_t>(begin + SUBFAULTS_PER_BLOCK, n);
            // The rows rely on zero-filled storage. Each block clears its own stretch just
            // before writing it, so the clearing and the page faults are spread over the
            // pool and the stretch is still in cache when its rows are written.
            std::fill(samples.data() + offsets[begin], samples.data() + offsets[end], 0.0);
            for (std::uint64_t k = begin; k < end; ++k)
                sample_row(in, k, samples.data() + offsets[k], offsets[k + 1] - offsets[k]);
        }
    });
    return CsrRows{std::move(offsets), std::move(samples)};
}

std::string message(const PulseError& error) {
    return std::visit(
        Overloaded{
            [](const pulse::LengthMismatch& e) {
                return std::string(e.name) + " has " + format_count(e.length) + " values for " +
                       format_count(e.n) + " subfaults; the per-subfault arrays must agree";
            },
            [](const pulse::BadSampleInterval& e) {
                return "a sample interval of " + format_shortest(e.dt) +
                       " s samples nothing; dt must be positive and finite";
            },
            [](const pulse::NonFiniteSlip& e) {
                return "subfault " + format_count(e.index) + " has a slip of " +
                       format_shortest(e.slip) + " m";
            },
            [](const pulse::BetaOutOfRange& e) {
                return "subfault " + format_count(e.index) + " has beta = " +
                       format_shortest(e.beta) +
                       "; the rising limb's fraction must be in (0, 0.5]";
            },
            [](const pulse::BadRiseTime& e) {
                return "subfault " + format_count(e.index) + " slips, but has a rise time of " +
                       format_shortest(e.rise) + " s";
            },
        },
        error);
}

}  // namespace kernels
