#include "format.hpp"

#include <array>
#include <charconv>
#include <cmath>

namespace kernels {

namespace {

// Wide enough for the longest positional double: 5e-324 needs 327 characters.
using Digits = std::array<char, 400>;

std::string special(double value) {
    if (std::isnan(value)) return "NaN";
    return value < 0 ? "-inf" : "inf";
}

}  // namespace

std::string format_count(std::uint64_t value) {
    std::array<char, 24> digits;
    auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
    return {digits.data(), end};
}

std::string format_product(std::uint64_t a, std::uint64_t b) {
    // In base 10^19, whose digits fit in 64 bits: at most three of them for 128 bits.
    constexpr std::uint64_t BASE = 10'000'000'000'000'000'000u;
    constexpr std::size_t BASE_DIGITS = 19;
    __extension__ using Wide = unsigned __int128;
    Wide product = static_cast<Wide>(a) * b;
    std::array<std::uint64_t, 3> parts;
    std::size_t count = 0;
    do {
        parts[count++] = static_cast<std::uint64_t>(product % BASE);
        product /= BASE;
    } while (product != 0);
    std::string text = format_count(parts[count - 1]);
    for (std::size_t k = count - 1; k-- > 0;) {
        const std::string low = format_count(parts[k]);
        text.append(BASE_DIGITS - low.size(), '0').append(low);
    }
    return text;
}

std::string format_shortest(double value) {
    if (!std::isfinite(value)) return special(value);
    Digits digits;
    auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                             std::chars_format::fixed)
                   .ptr;
    return {digits.data(), end};
}

std::string format_fixed(double value, int decimals) {
    if (!std::isfinite(value)) return special(value);
    Digits digits;
    auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                             std::chars_format::fixed, decimals)
                   .ptr;
    return {digits.data(), end};
}

}  // namespace kernels
