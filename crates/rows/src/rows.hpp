#pragma once
// Slip-rate rows in CSR form (offsets, samples): their smoothing by a boxcar and the
// moment rate they sum to, as the modeller's NumPy reference (pulses.smooth_rows,
// moment.moment_rate) computes them, to the last bit: the same operations on the same
// values in the same order. Plain C++ over arrays read in place; the module
// `kinematic_rupture._rows` hands them over.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace rows {

// A one-dimensional array of 8-byte values, aligned or not, read and written in place.
template <class T>
struct Column {
    static_assert(sizeof(T) == 8);
    unsigned char* bytes = nullptr;
    std::size_t size = 0;

    T operator[](std::size_t k) const {
        T value;
        std::memcpy(&value, bytes + k * sizeof(T), sizeof(T));
        return value;
    }
    void set(std::size_t k, T value) const { std::memcpy(bytes + k * sizeof(T), &value, sizeof(T)); }
};
using Doubles = Column<double>;
using Whole = Column<std::int64_t>;

enum class Status { DONE, REFUSED, OUT_OF_MEMORY };

// Why rows were refused: the first thing found wrong.
struct Refusal {
    enum Kind {
        OFFSETS_DECREASE,      // offsets[index + 1] < offsets[index]
        OFFSETS_OUTSIDE,       // offsets[index] outside 0 ... samples
        WIDTH_BELOW_ONE,       // widths[index] < 1, or not a number, on a row with samples
        NEW_OFFSETS_WRONG,     // new_offsets[index] is not what the widths make
        START_OUTSIDE,         // row `index` lands outside the moment-rate grid
    } kind = OFFSETS_DECREASE;
    std::size_t index = 0;

    // One line, NUL-terminated and cut short to fit `size`.
    void describe(char* out, std::size_t size) const;
};

// Rows convolved with boxcars: row k, of widths[k] samples (unit area), becomes
// new_offsets[k] ... new_offsets[k + 1] of `out`, which the caller sizes. A width need not
// be whole: a boxcar of W samples has ceil(W) taps, 1 / W each but the last, which has the
// fraction of a sample left, (W - ceil(W) + 1) / W. A row of width 1, or of no samples, is
// copied unchanged. new_offsets must be offsets plus the taps gained before
// (ceil(widths[j]) - 1 summed over the rows j < k with samples).
Status smooth(Whole offsets, Doubles samples, Doubles widths, Whole new_offsets, Doubles out,
              Refusal& refusal);

// Adds to `rate` the moment rate of rows whose sample m lies at
// grid time start[k] + m and weighs weight[k], a sample between two grid times shared
// between them by nearness. Rows are summed a block of about `block_samples` samples at
// a time into a block's own sums, which are then added to `rate`: the order of the
// reference's additions, which bins each block apart.
Status moment_rate(Doubles start, Whole offsets, Doubles samples, Doubles weight, Doubles rate,
                   std::int64_t block_samples, Refusal& refusal);

}  // namespace rows
