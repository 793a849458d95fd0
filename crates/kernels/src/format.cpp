#include "format.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace kernels {

namespace {

// Wide enough for the longest fixed-point text of format_fixed.
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
    // The shortest round-trip digits come in scientific form, "-d.ddde+xx"; fixed form
    // would instead give the exact expansion of large integral values, all of its digits.
    std::array<char, 32> scientific;
    const char* end = std::to_chars(scientific.data(), scientific.data() + scientific.size(),
                                    value, std::chars_format::scientific)
                          .ptr;
    const std::string_view text(scientific.data(), static_cast<std::size_t>(end - scientific.data()));
    const std::size_t e = text.find('e');
    std::string digits;
    for (char c : text.substr(0, e)) {
        if (c >= '0' && c <= '9') digits += c;
    }
    std::string_view exponent_text = text.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    int exponent = 0;
    std::from_chars(exponent_text.data(), exponent_text.data() + exponent_text.size(), exponent);

    // The digits d1 d2 ... stand for 0.d1d2... x 10^(exponent + 1).
    const int integral_digits = exponent + 1;
    std::string out = std::signbit(value) ? "-" : "";
    if (integral_digits <= 0) {
        out.append("0.").append(static_cast<std::size_t>(-integral_digits), '0').append(digits);
    } else if (static_cast<std::size_t>(integral_digits) >= digits.size()) {
        out.append(digits).append(static_cast<std::size_t>(integral_digits) - digits.size(), '0');
    } else {
        const auto point = static_cast<std::size_t>(integral_digits);
        out.append(digits, 0, point).append(".").append(digits, point);
    }
    return out;
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
