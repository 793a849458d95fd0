#pragma once
// A block of SRF points as text: for each point the line
// `LON LAT DEP STK DIP AREA TINIT DT` (version 2.0 adds `VS DEN`), the line
// `RAKE SLIP1 NT1 0.0 0 0.0 0` and its NT1 slip-rate samples six to a line. Plain C++:
// the module reads the arrays in place and hands them over as a Block.

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace srf {

// A one-dimensional array of 8-byte values read in place, aligned or not.
template <class T>
struct Column {
    static_assert(sizeof(T) == 8);
    const unsigned char* bytes = nullptr;
    std::size_t size = 0;

    T operator[](std::size_t k) const {
        T value;
        std::memcpy(&value, bytes + k * sizeof(T), sizeof(T));
        return value;
    }
};
using Doubles = Column<double>;
using Offsets = Column<std::int64_t>;

enum class Version { one, two };  // SRF 1.0 and 2.0

// The point columns, in the order of the point's text. Density and VS come only in 2.0.
enum Field { LON, LAT, DEPTH, STRIKE, DIP, TINIT, VS, DENSITY, RAKE, SLIP, FIELDS };
extern const char* const FIELD_NAMES[FIELDS];

struct Block {
    Doubles fields[FIELDS];  // one value per point, in the file's units
    // One more than the points: point k's samples are samples[offsets[k] - offsets[0]]
    // up to samples[offsets[k + 1] - offsets[0]].
    Offsets offsets;
    Doubles samples;  // cm/s
    double area_cm2;
    double dt_s;
    Version version;
};

// Why a block has no text.
struct Refusal {
    enum Kind {
        NOT_FINITE,        // fields[field][index] or, field == FIELDS, samples[index]
        NEGATIVE_COUNT,    // offsets[index + 1] < offsets[index]
        PAST_THE_SAMPLES,  // offsets[index + 1] - offsets[0] > samples.size
    } kind;
    Field field;
    std::size_t index;
    double value;
    std::int64_t offset;    // offsets[index + 1]
    std::int64_t previous;  // offsets[index], or offsets[0] for PAST_THE_SAMPLES
};

// One line of text, e.g. "slip[12] is nan: ...", at `out` (NUL-terminated, cut short to
// fit `size`).
void describe(const Refusal& refusal, std::size_t samples, char* out, std::size_t size);

// Text that grows as it is written: room is made before each point, for the most that
// point can take, so the writing itself never checks.
class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text();

    // Room for `more` characters past the end; false if memory ran out.
    bool reserve(std::size_t more) { return capacity_ - size_ >= more || grow(more); }
    char* end() { return start_ + size_; }
    void set_end(char* end) { size_ = static_cast<std::size_t>(end - start_); }
    const char* data() const { return start_; }
    std::size_t size() const { return size_; }

private:
    [[gnu::cold]] bool grow(std::size_t more);

    char* start_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

enum class Status { WRITTEN, REFUSED, OUT_OF_MEMORY };

// Appends the block's text to `text`. Every value is read once; a value that is not
// finite or offsets that give a point a negative number of samples, or samples beyond
// `samples`, stop it with REFUSED and `refusal` saying why, leaving `text` partly
// written. Every column must have as many values as there are points, and the offsets one
// more; `area_cm2` and `dt_s` must be finite.
Status write_block(const Block& block, Text& text, Refusal& refusal);

}  // namespace srf
