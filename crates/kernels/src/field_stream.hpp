#pragma once
// The seeded normal stream behind the random field draw: a PCG XSL-RR 128/64 generator,
// the expansion of a 64-bit seed into a master stream, one child stream per block of
// noise rows, and a 256-layer ziggurat sampler for standard-normal variates.
//
// Every operation is fixed to the bit, so that one seed gives the same fields on any
// machine with the same floating-point mathematics and on any number of threads. The
// per-variate functions are defined here so that they inline into the noise loop.

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace kernels {

using u128 = unsigned __int128;

inline constexpr u128 PCG_MULTIPLIER =
    (u128{0x2360ED051FC65DA4} << 64) | u128{0x4385DF649FCCF645};

// Right edge of the ziggurat's base layer, where the tail starts, and the common area of
// every layer, both for the unnormalised density exp(-x^2/2).
inline constexpr double ZIGGURAT_R = 3.654152885361009;
inline constexpr double ZIGGURAT_V = 0.00492867323399;

// Layer edges X[0] > X[1] = R > ... > X[256] = 0 and the density at each edge, F[i] =
// exp(-X[i]^2/2) with F[256] = 1. Built once when the program loads; read-only after.
extern const std::array<double, 257> ZIGGURAT_X;
extern const std::array<double, 257> ZIGGURAT_F;

// A 128-bit linear congruential generator with an odd increment. A copy carries on the
// same sequence independently of the original.
struct PcgStream {
    u128 state;
    u128 increment;
};

// The stream seeded by 32 bytes: a little-endian 128-bit state, then a little-endian
// 128-bit increment whose bit 0 is forced to 1.
PcgStream from_seed_bytes(std::span<const std::uint8_t, 32> bytes);

// The master stream of a draw: the seed is stretched to 32 seed bytes by eight steps of
// a 64-bit-state, 32-bit-output generator, so that seed 0 is as good as any other.
PcgStream from_seed_u64(std::uint64_t seed);

// `count` child streams of `master`, child k seeded by master outputs 4k ... 4k + 3 in
// that order, so that child k does not depend on `count`.
std::vector<PcgStream> block_streams(PcgStream& master, std::size_t count);

// Advances the stream and returns the xor of the new state's halves, rotated right by
// the state's top six bits.
inline std::uint64_t next_u64(PcgStream& stream) {
    stream.state = stream.state * PCG_MULTIPLIER + stream.increment;
    const auto hi = static_cast<std::uint64_t>(stream.state >> 64);
    const auto lo = static_cast<std::uint64_t>(stream.state);
    return std::rotr(hi ^ lo, static_cast<int>(hi >> 58));
}

// [0, 1): the top 53 bits, scaled by 2^-53.
inline double uniform_closed_open(std::uint64_t word) {
    return static_cast<double>(word >> 11) * 0x1.0p-53;
}

// (0, 1): the top 52 bits as the mantissa of a value in [1, 2), less 1 - 2^-53, which
// puts the result in [2^-53, 1 - 2^-53].
inline double uniform_open(std::uint64_t word) {
    return std::bit_cast<double>(0x3FF0000000000000 | (word >> 12)) - (1.0 - 0x1.0p-53);
}

// [-1, 1): the top 52 bits as the mantissa of a value in [2, 4), less 3 (exactly).
inline double uniform_signed(std::uint64_t word) {
    return std::bit_cast<double>(0x4000000000000000 | (word >> 12)) - 3.0;
}

namespace detail {

// A variate beyond R with the sign of `u` (+0 counting as positive), by rejection from
// two logarithms of open uniforms.
inline double normal_tail(PcgStream& stream, double u) {
    for (;;) {
        // Both words are drawn before either logarithm is taken.
        const double a = uniform_open(next_u64(stream));
        const double b = uniform_open(next_u64(stream));
        const double t = std::log(a) / ZIGGURAT_R;
        const double y = std::log(b);
        if (t * t > -2 * y) continue;
        return u < 0 ? t - ZIGGURAT_R : ZIGGURAT_R - t;
    }
}

// Whether `x`, which fell in the wedge of layer `layer` (1 ... 255), lies under the density.
inline bool wedge_accepts(PcgStream& stream, double x, unsigned layer) {
    const double u = uniform_closed_open(next_u64(stream));
    const double below = ZIGGURAT_F[layer + 1];
    return std::exp(x * x * -0.5) > u * (ZIGGURAT_F[layer] - below) + below;
}

}  // namespace detail

// One N(0, 1) variate. The common case costs one word: its low 8 bits pick the layer
// and its top 52 bits the signed uniform, and the point lies inside the layer's
// rectangle. The comparisons are strict. The rare paths are inline too, on purpose:
// a call that took the stream's address would keep the generator state in memory
// rather than in registers on the common path.
inline double standard_normal(PcgStream& stream) {
    for (;;) {
        const std::uint64_t word = next_u64(stream);
        const unsigned layer = static_cast<unsigned>(word & 0xFF);
        const double u = uniform_signed(word);
        const double x = u * ZIGGURAT_X[layer];
        if (std::fabs(x) < ZIGGURAT_X[layer + 1]) [[likely]] return x;
        if (layer == 0) [[unlikely]] return detail::normal_tail(stream, u);
        if (detail::wedge_accepts(stream, x, layer)) return x;
    }
}

}  // namespace kernels
