#include "field_stream.hpp"

#include <cmath>

namespace kernels {

namespace {

double density(double x) { return std::exp(-x * x / 2); }

// The layer edges by the recurrence that gives every layer the area V: X[0] is the width
// of a rectangle of area V and height f(R), standing for the base layer with its tail.
std::array<double, 257> ziggurat_edges() {
    std::array<double, 257> x{};
    x[0] = ZIGGURAT_V / density(ZIGGURAT_R);
    x[1] = ZIGGURAT_R;
    for (std::size_t i = 2; i < 256; ++i)
        x[i] = std::sqrt(-2 * std::log(ZIGGURAT_V / x[i - 1] + density(x[i - 1])));
    x[256] = 0;
    return x;
}

std::array<double, 257> ziggurat_heights() {
    std::array<double, 257> f{};
    for (std::size_t i = 0; i < 256; ++i) f[i] = density(ZIGGURAT_X[i]);
    f[256] = 1;
    return f;
}

u128 read_u128_le(std::span<const std::uint8_t, 16> bytes) {
    u128 value = 0;
    for (std::size_t k = 16; k-- > 0;) value = (value << 8) | bytes[k];
    return value;
}

template <class Word>
void write_le(Word word, std::uint8_t* out) {
    for (std::size_t k = 0; k < sizeof(Word); ++k) out[k] = static_cast<std::uint8_t>(word >> (8 * k));
}

}  // namespace

// ZIGGURAT_F is built from ZIGGURAT_X, so the two stay in this order in this file.
const std::array<double, 257> ZIGGURAT_X = ziggurat_edges();
const std::array<double, 257> ZIGGURAT_F = ziggurat_heights();

PcgStream from_seed_bytes(std::span<const std::uint8_t, 32> bytes) {
    const u128 state = read_u128_le(bytes.first<16>());
    const u128 increment = read_u128_le(bytes.last<16>()) | 1;
    return {(state + increment) * PCG_MULTIPLIER + increment, increment};
}

PcgStream from_seed_u64(std::uint64_t seed) {
    std::array<std::uint8_t, 32> bytes;
    std::uint64_t x = seed;
    for (std::size_t k = 0; k < 8; ++k) {
        x = x * 6364136223846793005u + 11634580027462260723u;
        const auto t = static_cast<std::uint32_t>((x >> 45) ^ (x >> 27));
        write_le(std::rotr(t, static_cast<int>(x >> 59)), &bytes[4 * k]);
    }
    return from_seed_bytes(bytes);
}

std::vector<PcgStream> block_streams(PcgStream& master, std::size_t count) {
    std::vector<PcgStream> children;
    children.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::array<std::uint8_t, 32> bytes;
        for (std::size_t o = 0; o < 4; ++o) write_le(next_u64(master), &bytes[8 * o]);
        children.push_back(from_seed_bytes(bytes));
    }
    return children;
}

}  // namespace kernels
