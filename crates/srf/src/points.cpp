#include "points.hpp"

#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "number.hpp"

namespace srf {

const char* const FIELD_NAMES[FIELDS] = {"lon", "lat", "depth",   "strike", "dip",
                                         "tinit", "vs", "density", "rake",  "slip"};

namespace {

constexpr int SAMPLES_PER_LINE = 6;
// The most a point's two lines can take: ten numbers, the count and the separators.
constexpr std::size_t POINT_TEXT_MAX = 12 * (NUMBER_MAX + 1) + 64;
// What a point's lines usually take, for the first reservation.
constexpr std::size_t POINT_TEXT_TYPICAL = 160;
constexpr std::size_t TOO_LARGE = std::numeric_limits<std::size_t>::max();

// Characters of `count` samples, or TOO_LARGE if that does not fit a size_t.
std::size_t sample_text_size(std::uint64_t count) {
    std::size_t size;
    if (__builtin_mul_overflow(count, std::uint64_t{SAMPLE_WIDTH}, &size)) return TOO_LARGE;
    const std::uint64_t lines = count / SAMPLES_PER_LINE + 1;
    return __builtin_add_overflow(size, lines, &size) ? TOO_LARGE : size;
}

std::size_t sum(std::size_t a, std::size_t b) {
    std::size_t total;
    return __builtin_add_overflow(a, b, &total) ? TOO_LARGE : total;
}

std::size_t product(std::size_t a, std::size_t b) {
    std::size_t total;
    return __builtin_mul_overflow(a, b, &total) ? TOO_LARGE : total;
}

char* copy(char* out, const char* text, std::size_t size) {
    std::memcpy(out, text, size);
    return out + size;
}

[[gnu::cold]] Status not_finite(Refusal& refusal, Field field, std::size_t index, double value) {
    refusal = {Refusal::NOT_FINITE, field, index, value, 0, 0};
    return Status::REFUSED;
}

[[gnu::cold]] Status bad_offset(Refusal& refusal, Refusal::Kind kind, std::size_t point,
                                std::int64_t offset, std::int64_t previous) {
    refusal = {kind, FIELDS, point, 0.0, offset, previous};
    return Status::REFUSED;
}

}  // namespace

Text::~Text() { std::free(start_); }

bool Text::grow(std::size_t more) {
    const std::size_t needed = sum(size_, more);
    if (needed == TOO_LARGE) return false;
    const std::size_t capacity = std::max(needed, capacity_ > TOO_LARGE / 2 ? needed : 2 * capacity_);
    void* grown = std::realloc(start_, capacity);
    if (!grown) return false;
    start_ = static_cast<char*>(grown);
    capacity_ = capacity;
    return true;
}

void describe(const Refusal& refusal, std::size_t samples, char* out, std::size_t size) {
    const std::size_t point = refusal.index;
    switch (refusal.kind) {
        case Refusal::NOT_FINITE:
            std::snprintf(out, size, "%s[%zu] is %s: an SRF file holds finite numbers only",
                          refusal.field == FIELDS ? "samples" : FIELD_NAMES[refusal.field], point,
                          std::isnan(refusal.value) ? "nan" : refusal.value < 0 ? "-inf" : "inf");
            return;
        case Refusal::NEGATIVE_COUNT:
            std::snprintf(out, size,
                          "offsets[%zu] = %" PRId64 " is less than offsets[%zu] = %" PRId64
                          ": point %zu cannot have a negative number of samples",
                          point + 1, refusal.offset, point, refusal.previous, point);
            return;
        case Refusal::PAST_THE_SAMPLES:
            std::snprintf(out, size,
                          "offsets[%zu] = %" PRId64 " lies past the end of the samples, which "
                          "run from offsets[0] = %" PRId64 " for %zu values",
                          point + 1, refusal.offset, refusal.previous, samples);
            return;
    }
    std::snprintf(out, size, "the block cannot be written");
}

Status write_block(const Block& block, Text& text, Refusal& refusal) {
    const std::size_t points = block.fields[LON].size;
    const int fields = block.version == Version::two ? FIELDS : VS;  // before the slip line
    // " AREA " and " DT", the same for every point.
    char area[NUMBER_MAX + 2];
    area[0] = ' ';
    char* area_end = write_scientific(area + 1, block.area_cm2, 6);
    *area_end++ = ' ';
    const auto area_size = static_cast<std::size_t>(area_end - area);
    char dt[NUMBER_MAX + 1];
    dt[0] = ' ';
    const auto dt_size = static_cast<std::size_t>(write_scientific(dt + 1, block.dt_s, 6) - dt);

    if (!text.reserve(sum(product(points, POINT_TEXT_TYPICAL), sample_text_size(block.samples.size)))) {
        return Status::OUT_OF_MEMORY;
    }
    const std::int64_t base = block.offsets[0];
    std::int64_t start = base;
    std::uint64_t at = 0;  // the next sample
    for (std::size_t k = 0; k < points; ++k) {
        const std::int64_t end = block.offsets[k + 1];
        if (end < start) return bad_offset(refusal, Refusal::NEGATIVE_COUNT, k, end, start);
        // Both differences are of ordered values, so exact in unsigned arithmetic.
        if (static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(base) > block.samples.size) {
            return bad_offset(refusal, Refusal::PAST_THE_SAMPLES, k, end, base);
        }
        const std::uint64_t count = static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
        start = end;

        double value[FIELDS];
        for (int f = 0; f < FIELDS; ++f) {
            value[f] = block.fields[f][k];
            const bool written = f < fields || f >= RAKE;  // VS and DEN are not, in 1.0
            if (written && !std::isfinite(value[f])) {
                return not_finite(refusal, static_cast<Field>(f), k, value[f]);
            }
        }
        if (!text.reserve(sum(POINT_TEXT_MAX, sample_text_size(count)))) return Status::OUT_OF_MEMORY;

        char* out = text.end();
        out = write_fixed(out, value[LON], 6);
        *out++ = ' ';
        out = write_fixed(out, value[LAT], 6);
        *out++ = ' ';
        out = write_fixed(out, value[DEPTH], 6);
        *out++ = ' ';
        out = write_fixed(out, value[STRIKE], 2);
        *out++ = ' ';
        out = write_fixed(out, value[DIP], 2);
        out = copy(out, area, area_size);
        out = write_fixed(out, value[TINIT], 6);
        out = copy(out, dt, dt_size);
        if (block.version == Version::two) {
            *out++ = ' ';
            out = write_scientific(out, value[VS], 6);
            *out++ = ' ';
            out = write_scientific(out, value[DENSITY], 6);
        }
        *out++ = '\n';
        out = write_fixed(out, value[RAKE], 2);
        *out++ = ' ';
        out = write_scientific(out, value[SLIP], 6);
        *out++ = ' ';
        out = std::to_chars(out, out + 24, count).ptr;
        constexpr char tail[] = " 0.0 0 0.0 0\n";
        out = copy(out, tail, sizeof tail - 1);

        for (std::uint64_t line = 0; line < count; line += SAMPLES_PER_LINE) {
            const std::uint64_t last = std::min<std::uint64_t>(line + SAMPLES_PER_LINE, count);
            for (std::uint64_t m = line; m < last; ++m, ++at) {
                const double rate = block.samples[at];
                char* written = write_sample(out, rate);
                if (!written) return not_finite(refusal, FIELDS, at, rate);
                out = written;
            }
            *out++ = '\n';
        }
        text.set_end(out);
    }
    return Status::WRITTEN;
}

}  // namespace srf
