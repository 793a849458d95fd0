#pragma once
// Rupture-front arrival times over a fault grid, by factored fast sweeping.

#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "buffer.hpp"

namespace kernels {

// A point the front leaves at a known time: row i (down-dip), column j (along-strike).
struct SeedTriple {
    std::uint64_t i;
    std::uint64_t j;
    double t0_seconds;
};
static_assert(sizeof(SeedTriple) == 24);

namespace eikonal {
struct EmptyGrid { std::uint64_t ni, nj; };
struct SizeMismatch { std::uint64_t len, ni, nj; };
struct BadSpacing { const char* axis; double spacing; };
struct BadSlowness { std::uint64_t i, j; double value; };
struct NoSeeds {};
struct SeedOutsideGrid { std::uint64_t k, i, j, ni, nj; };
struct BadSeedTime { std::uint64_t k; double t0; };
struct NotSettled { std::uint64_t rounds; double contrast; };

// A seed that still moves some cell by more than the settle tolerance in this round fails.
inline constexpr std::uint64_t MAX_ROUNDS = 64;
// The settle tolerance, in units of the time the fastest cell takes to cross the shorter
// spacing.
inline constexpr double SETTLE_FRACTION = 1e-6;

// The grid a front crosses: slowness (s/km, row-major, ni x nj) and the spacings (km).
struct Medium {
    std::span<const double> slowness;
    std::uint64_t ni, nj;
    double d_i, d_j;
};

// One seed's travel times, without its start time, and the rounds that took.
struct SeedTimes {
    Buffer<double> times;
    std::uint64_t rounds;  // the last one changed nothing by more than the tolerance...
    bool settled;          // ...unless this is false, and round MAX_ROUNDS still did
};

// Sweeps one seed alone over a medium that passed the input checks. `tolerance` is the
// settle tolerance in seconds. Never fails: the caller decides what an unsettled seed means.
SeedTimes solve_seed(const Medium& medium, std::uint64_t si, std::uint64_t sj, double tolerance);
}  // namespace eikonal

using EikonalError = std::variant<eikonal::EmptyGrid, eikonal::SizeMismatch, eikonal::BadSpacing,
                                  eikonal::BadSlowness, eikonal::NoSeeds, eikonal::SeedOutsideGrid,
                                  eikonal::BadSeedTime, eikonal::NotSettled>;

// First-arrival times (s) of every cell of an ni x nj grid (row-major), or the first
// failing check. `slowness` is in s/km, `d_i` and `d_j` in km.
std::variant<Buffer<double>, EikonalError> solve_eikonal(std::span<const double> slowness,
                                                         std::uint64_t ni, std::uint64_t nj,
                                                         double d_i, double d_j,
                                                         std::span<const SeedTriple> seeds);

std::string message(const EikonalError& error);

}  // namespace kernels
