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
