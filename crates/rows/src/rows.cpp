#include "rows.hpp"

#include <algorithm>
#include <cstdint>
#include <cmath>
#include <cstdio>
#include <new>
#include <vector>

namespace rows {

namespace {

[[gnu::cold]] Status refuse(Refusal& refusal, Refusal::Kind kind, std::size_t index) {
    refusal = {kind, index};
    return Status::REFUSED;
}

// Offsets from 0 to the samples' count, never decreasing.
Status check_offsets(Whole offsets, std::size_t samples, Refusal& refusal) {
    if (offsets.size == 0 || offsets[0] != 0) return refuse(refusal, Refusal::OFFSETS_OUTSIDE, 0);
    const std::size_t rows = offsets.size - 1;
    for (std::size_t k = 0; k < rows; ++k) {
        if (offsets[k + 1] < offsets[k]) return refuse(refusal, Refusal::OFFSETS_DECREASE, k);
    }
    if (static_cast<std::uint64_t>(offsets[rows]) != samples) {
        return refuse(refusal, Refusal::OFFSETS_OUTSIDE, rows);
    }
    return Status::DONE;
}

// Row k's width, 1 for a row without samples.
double width_of(Whole offsets, Doubles widths, std::size_t k) {
    return offsets[k + 1] > offsets[k] ? widths[k] : 1.0;
}

// The taps of a boxcar of `width` samples, a width `smooth` has checked.
std::int64_t taps_of(double width) { return static_cast<std::int64_t>(std::ceil(width)); }

// Row k as the reference spreads it: sample i's share samples[i] / width goes to outputs
// i to i + taps - 1, the shares of one shift at a time, starting from shift 0; the last
// shift's share is the fraction of a sample the width leaves.
void spread_row(Doubles samples, std::size_t from, std::size_t length, double width,
                Doubles out, std::size_t to) {
    const auto spread = static_cast<std::size_t>(taps_of(width)) - 1;
    const double last = width - static_cast<double>(spread);
    for (std::size_t i = 0; i < length; ++i) out.set(to + i, samples[from + i] / width);
    for (std::size_t i = length; i < length + spread; ++i) out.set(to + i, 0.0);
    for (std::size_t shift = 1; shift <= spread; ++shift) {
        const double tap = shift == spread ? last : 1.0;
        for (std::size_t i = 0; i < length; ++i) {
            out.set(to + i + shift, out[to + i + shift] + samples[from + i] / width * tap);
        }
    }
}

}  // namespace

void Refusal::describe(char* out, std::size_t size) const {
    switch (kind) {
        case OFFSETS_DECREASE:
            std::snprintf(out, size, "offsets[%zu] is less than offsets[%zu]", index + 1, index);
            return;
        case OFFSETS_OUTSIDE:
            std::snprintf(out, size, "offsets[%zu] must be %s", index,
                          index == 0 ? "0" : "the number of samples");
            return;
        case WIDTH_BELOW_ONE:
            std::snprintf(out, size, "widths[%zu] is less than 1 or not a number", index);
            return;
        case NEW_OFFSETS_WRONG:
            std::snprintf(out, size, "new_offsets[%zu] is not offsets[%zu] plus the samples the widths add before it",
                          index, index);
            return;
        case START_OUTSIDE:
            std::snprintf(out, size, "the samples of row %zu fall outside the moment-rate grid", index);
            return;
    }
    std::snprintf(out, size, "the rows cannot be handled");
}

Status smooth(Whole offsets, Doubles samples, Doubles widths, Whole new_offsets, Doubles out,
              Refusal& refusal) {
    if (check_offsets(offsets, samples.size, refusal) != Status::DONE) return Status::REFUSED;
    const std::size_t rows = offsets.size - 1;
    if (widths.size != rows || new_offsets.size != offsets.size) {
        return refuse(refusal, Refusal::NEW_OFFSETS_WRONG, std::min(widths.size, new_offsets.size));
    }
    // Check everything before writing anything: the output either is the smoothing or is
    // untouched.
    std::int64_t gained = 0;
    for (std::size_t k = 0; k < rows; ++k) {
        if (new_offsets[k] != offsets[k] + gained) return refuse(refusal, Refusal::NEW_OFFSETS_WRONG, k);
        const double width = width_of(offsets, widths, k);
        if (!(width >= 1.0)) return refuse(refusal, Refusal::WIDTH_BELOW_ONE, k);
        // A width beyond the output fails the final check; this keeps the sum finite.
        if (width - 1.0 > static_cast<double>(out.size)) return refuse(refusal, Refusal::NEW_OFFSETS_WRONG, k + 1);
        gained += taps_of(width) - 1;
    }
    if (new_offsets[rows] != offsets[rows] + gained ||
        static_cast<std::uint64_t>(new_offsets[rows]) != out.size) {
        return refuse(refusal, Refusal::NEW_OFFSETS_WRONG, rows);
    }
    // Rows of width 1 keep their samples, and a run of them moves as one.
    std::size_t run = 0;  // the first row of the run not yet copied
    for (std::size_t k = 0; k <= rows; ++k) {
        if (k < rows && width_of(offsets, widths, k) == 1.0) continue;
        const auto from = static_cast<std::size_t>(offsets[run]);
        const auto count = static_cast<std::size_t>(offsets[k]) - from;
        if (count) std::memmove(out.bytes + new_offsets[run] * 8, samples.bytes + from * 8, count * 8);
        if (k == rows) break;
        const auto length = static_cast<std::size_t>(offsets[k + 1] - offsets[k]);
        spread_row(samples, static_cast<std::size_t>(offsets[k]), length, widths[k], out,
                   static_cast<std::size_t>(new_offsets[k]));
        run = k + 1;
    }
    return Status::DONE;
}

Status moment_rate(Doubles start, Whole offsets, Doubles samples, Doubles weight, Doubles rate,
                   std::int64_t block_samples, Refusal& refusal) {
    if (check_offsets(offsets, samples.size, refusal) != Status::DONE) return Status::REFUSED;
    const std::size_t rows = offsets.size - 1;
    const auto size = static_cast<double>(rate.size);
    for (std::size_t k = 0; k < rows; ++k) {
        const std::int64_t length = offsets[k + 1] - offsets[k];
        if (length == 0) continue;
        // Sample m lands on floor(start) + m, and its share on the next grid time.
        const double first = std::floor(start[k]);
        if (!(first >= 0.0) || !(first + static_cast<double>(length - 1) < size)) {
            return refuse(refusal, Refusal::START_OUTSIDE, k);
        }
    }
    std::vector<double> now, next;
    try {
        now.resize(rate.size);
        next.resize(rate.size);
    } catch (const std::bad_alloc&) {
        return Status::OUT_OF_MEMORY;
    }
    std::size_t first = 0;
    while (first < rows) {
        // The rows up to the last offset at most block_samples past the first row's, at
        // least one.
        const std::int64_t bound = block_samples > INT64_MAX - offsets[first]
                                       ? INT64_MAX
                                       : offsets[first] + block_samples;  // offsets are >= 0
        std::size_t last = first + 1;
        while (last < rows && offsets[last + 1] <= bound) ++last;
        std::fill(now.begin(), now.end(), 0.0);
        std::fill(next.begin(), next.end(), 0.0);
        for (std::size_t k = first; k < last; ++k) {
            const double whole = std::floor(start[k]);
            const double share = start[k] - whole;
            const double stay = 1.0 - share;
            const auto grid = static_cast<std::size_t>(whole);
            const double w = weight[k];
            const auto from = static_cast<std::size_t>(offsets[k]);
            const auto length = static_cast<std::size_t>(offsets[k + 1]) - from;
            for (std::size_t m = 0; m < length; ++m) {
                const double weighted = samples[from + m] * w;
                now[grid + m] += weighted * stay;
                next[grid + m] += weighted * share;
            }
        }
        for (std::size_t j = 0; j < rate.size; ++j) rate.set(j, rate[j] + now[j]);
        for (std::size_t j = 1; j < rate.size; ++j) rate.set(j, rate[j] + next[j - 1]);
        first = last;
    }
    return Status::DONE;
}

}  // namespace rows
