#pragma once
// Numbers as C's printf, and so Python's % operator, writes them in the SRF text:
// "%.<decimals>f", "%.<decimals>e" and the slip-rate samples' "%13.5e", correctly rounded
// from the binary value with an exact tie going to the even digit, a negative sign on
// every negative value (also -0.0 and values that round to zero) and an exponent of at
// least two digits.
//
// Most values take the quick route: the value times an exact power of ten, one correctly
// rounded product or quotient, rounded to a whole number unless the product lands on a
// tie, where its rounding error could decide the result. The rest (those, and values too
// large or too small for an exact power of ten) go to std::to_chars, exact everywhere.
//
// Each writer writes at `out` and returns the end of what it wrote, or nullptr for a
// value that is not finite, leaving nothing of use at `out`.

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace srf {

// Room for any finite double in any of these forms: the sign, 309 whole digits, the point
// and 9 decimals.
inline constexpr int NUMBER_MAX = 320;
// Decimals the writers take, in both forms.
inline constexpr int DECIMALS_MAX = 9;
// Characters of a slip-rate sample, the width of "%13.5e", which every finite double fills.
inline constexpr int SAMPLE_WIDTH = 13;

// The exact ways, for what the quick route leaves.
[[gnu::cold]] char* fixed_exactly(char* out, double value, int decimals);
[[gnu::cold]] char* scientific_exactly(char* out, double value, int decimals);
[[gnu::cold]] char* sample_exactly(char* out, double value);

namespace detail {

// 10^0 to 10^22: the powers of ten that doubles hold exactly.
inline constexpr double POWERS[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                      1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline constexpr int EXACT_POWER_MAX = 22;

inline constexpr std::uint64_t WHOLE_POWERS[DECIMALS_MAX + 2] = {
    1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000, 10000000000};

// Products at or above this go the exact way: below it, a double's fractional part is
// exact and every n + 1/2 is a double.
inline constexpr double SCALED_MAX = 0x1p50;

// `scaled`, the correctly rounded product (or quotient) of an exact x * 10^k below
// SCALED_MAX, rounded to the whole number nearest that exact value. Every tie n + 1/2 is a
// double there and rounding is monotonic, so the product lies on the same side of a tie as
// the exact value, or on the tie itself: false then, for the exact way to settle it.
inline bool round_scaled(double scaled, std::uint64_t& whole) {
    const double below = std::floor(scaled);
    const double fraction = scaled - below;
    if (fraction == 0.5) return false;
    whole = static_cast<std::uint64_t>(below) + (fraction > 0.5 ? 1 : 0);
    return true;
}

// `count` digits of `value` (below 10^count), zero-padded, at `out`.
inline void digits(char* out, std::uint64_t value, int count) {
    for (int k = count - 1; k >= 0; --k) {
        out[k] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

// The digits of `value`, without padding.
inline char* whole_digits(char* out, std::uint64_t value) {
    char reversed[20];
    int count = 0;
    do {
        reversed[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *out++ = reversed[--count];
    return out;
}

// `magnitude` rounded to 1 + `decimals` significant digits: `digits_out` in
// [10^decimals, 10^(decimals + 1)), or 0 for zero, and the decimal exponent of the first.
// False where the quick route cannot be sure (also for subnormals and values that are not
// finite).
inline bool round_significant(double magnitude, int decimals, std::uint64_t& digits_out,
                              int& exponent) {
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(magnitude);
    if (bits == 0) {  // zero: "0.000...e+00", after the sign of -0.0
        digits_out = 0;
        exponent = 0;
        return true;
    }
    const int biased = static_cast<int>(bits >> 52);  // the sign bit is clear
    if (biased == 0 || biased == 0x7ff) return false;
    // floor(log10(2^binary)): the decimal exponent, or one less.
    const int binary = biased - 1023;
    int estimate = (binary * 78913) >> 18;
    for (int attempt = 0; attempt < 2; ++attempt, ++estimate) {
        const int scale = decimals - estimate;
        if (scale > EXACT_POWER_MAX || scale < -EXACT_POWER_MAX) return false;
        const double scaled = scale >= 0 ? magnitude * POWERS[scale] : magnitude / POWERS[-scale];
        if (scaled >= POWERS[decimals + 1]) continue;  // the estimate was one short
        std::uint64_t whole;
        if (!round_scaled(scaled, whole)) return false;
        if (whole == WHOLE_POWERS[decimals + 1]) {  // rounded up to the next power of ten
            whole = WHOLE_POWERS[decimals];
            ++estimate;
        }
        if (whole < WHOLE_POWERS[decimals] || whole >= WHOLE_POWERS[decimals + 1]) return false;
        digits_out = whole;
        exponent = estimate;
        return true;
    }
    return false;
}

// "e+dd" or "e-dd" for an exponent below 100 in magnitude.
inline char* small_exponent(char* out, int exponent) {
    out[0] = 'e';
    out[1] = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    out[2] = static_cast<char>('0' + magnitude / 10);
    out[3] = static_cast<char>('0' + magnitude % 10);
    return out + 4;
}

// d.ddd...e+xx from rounded significant digits.
inline char* significant(char* out, std::uint64_t whole, int decimals, int exponent) {
    const std::uint64_t unit = WHOLE_POWERS[decimals];
    *out++ = static_cast<char>('0' + whole / unit);
    *out++ = '.';
    digits(out, whole % unit, decimals);
    return small_exponent(out + decimals, exponent);
}

}  // namespace detail

// "%.<decimals>f", decimals 0 to DECIMALS_MAX. Writes at most NUMBER_MAX characters.
inline char* write_fixed(char* out, double value, int decimals) {
    const double scaled = std::fabs(value) * detail::POWERS[decimals];
    std::uint64_t whole;
    if (!(scaled < detail::SCALED_MAX) || !detail::round_scaled(scaled, whole)) {
        return fixed_exactly(out, value, decimals);
    }
    if (std::signbit(value)) *out++ = '-';
    const std::uint64_t unit = detail::WHOLE_POWERS[decimals];
    out = detail::whole_digits(out, whole / unit);
    if (decimals == 0) return out;
    *out++ = '.';
    detail::digits(out, whole % unit, decimals);
    return out + decimals;
}

// "%.<decimals>e", decimals 0 to DECIMALS_MAX. Writes at most NUMBER_MAX characters.
inline char* write_scientific(char* out, double value, int decimals) {
    std::uint64_t whole;
    int exponent;
    if (!detail::round_significant(std::fabs(value), decimals, whole, exponent)) {
        return scientific_exactly(out, value, decimals);
    }
    if (std::signbit(value)) *out++ = '-';
    if (decimals == 0) {
        *out++ = static_cast<char>('0' + whole);
        return detail::small_exponent(out, exponent);
    }
    return detail::significant(out, whole, decimals, exponent);
}

// "%13.5e": exactly SAMPLE_WIDTH characters, right-aligned.
inline char* write_sample(char* out, double value) {
    constexpr int decimals = 5;
    std::uint64_t whole;
    int exponent;
    if (!detail::round_significant(std::fabs(value), decimals, whole, exponent)) {
        return sample_exactly(out, value);
    }
    // "d.ddddde+xx" is 11 characters; the sign makes 12.
    out[0] = ' ';
    out[1] = std::signbit(value) ? '-' : ' ';
    detail::significant(out + 2, whole, decimals, exponent);
    return out + SAMPLE_WIDTH;
}

}  // namespace srf
