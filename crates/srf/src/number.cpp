#include "number.hpp"

#include <charconv>

namespace srf {

// std::to_chars with a precision writes exactly what printf does in the C locale: the
// correctly rounded digits, ties to even, "-" on negative zero, and an exponent of at
// least two digits.

char* fixed_exactly(char* out, double value, int decimals) {
    if (!std::isfinite(value)) return nullptr;
    return std::to_chars(out, out + NUMBER_MAX, value, std::chars_format::fixed, decimals).ptr;
}

char* scientific_exactly(char* out, double value, int decimals) {
    if (!std::isfinite(value)) return nullptr;
    return std::to_chars(out, out + NUMBER_MAX, value, std::chars_format::scientific, decimals).ptr;
}

char* sample_exactly(char* out, double value) {
    if (!std::isfinite(value)) return nullptr;
    // At most 13 characters: "-d.ddddde-ddd".
    char text[NUMBER_MAX];
    const char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific, 5).ptr;
    const auto length = static_cast<int>(end - text);
    std::memset(out, ' ', SAMPLE_WIDTH - length);
    std::memcpy(out + SAMPLE_WIDTH - length, text, length);
    return out + SAMPLE_WIDTH;
}

}  // namespace srf
