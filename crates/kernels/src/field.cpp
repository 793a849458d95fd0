#include "field.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <vector>

#include "fatal.hpp"
#include "field_fft.hpp"
#include "field_stream.hpp"
#include "format.hpp"
#include "pool.hpp"

namespace kernels {

namespace {

// Large grids are touched once, page by page, right after they are made; on huge pages
// that costs a fault per 2 MiB rather than per 4 KiB.
constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;

// One child stream, and so one noise block, per this many padded rows.
constexpr std::uint64_t NOISE_BLOCK_ROWS = 32;
// Surviving columns transformed together through one gather buffer.
constexpr std::uint64_t COLUMN_BLOCK_WIDTH = 16;
// Output rows scaled and cropped by one task at a time.
constexpr std::uint64_t OUTPUT_BLOCK_ROWS = 32;

std::uint64_t ceil_div(std::uint64_t n, std::uint64_t d) { return n / d + (n % d != 0); }

struct Shapes {
    std::uint64_t ri, rj, pi, pj, ci, cj;
};

std::optional<DrawError> check_shapes(const Shapes& s) {
    if (s.pi == 0 || s.pj == 0) return field::EmptyEmbedding{s.pi, s.pj};
    if (s.ri != s.pi / 2 + 1 || s.rj != s.pj / 2 + 1)
        return field::QuadrantShape{s.pi, s.pj, s.ri, s.rj};
    if (s.ci > s.pi || s.cj > s.pj) return field::FaultTooLarge{s.ci, s.cj, s.pi, s.pj};
    return std::nullopt;
}

[[gnu::cold, gnu::noinline]] void quadrant_count_mismatch(std::size_t count, std::uint64_t ri,
                                                           std::uint64_t rj) {
    fatal("the amplitude quadrant holds the wrong number of values: " + format_count(count) +
          " != " + format_count(ri) + " x " + format_count(rj));
}

[[gnu::cold, gnu::noinline]] void fill_count_mismatch(std::uint64_t written, std::uint64_t expected) {
    fatal("fill wrote the wrong number of cells: " + format_count(written) + " != " +
          format_count(expected));
}

[[gnu::cold, gnu::noinline]] void capacity_overflow() { fatal("capacity overflow"); }

// The padded grid must be addressable, rounded up to whole huge pages; once it is, no
// size product of the draw can wrap.
void check_grid_capacity(std::uint64_t pi, std::uint64_t pj) {
    constexpr std::uint64_t limit = (PTRDIFF_MAX - HUGE_PAGE) / sizeof(Complex);
    std::uint64_t cells;
    if (__builtin_mul_overflow(pi, pj, &cells) || cells > limit) capacity_overflow();
}

void check_quadrant_count(std::size_t count, std::uint64_t ri, std::uint64_t rj) {
    std::uint64_t expected;
    if (__builtin_mul_overflow(ri, rj, &expected) || count != expected)
        quadrant_count_mismatch(count, ri, rj);
}

// Writes padded row `i` of noise: every cell gets two fresh variates, scaled by the
// amplitude of its mirrored quadrant cell. Returns the end of what it wrote.
Complex* fill_row(PcgStream& stream, const double* quadrant_row, std::uint64_t pj, Complex* out) {
    for (std::uint64_t j = 0; j < pj; ++j) {
        const double a = quadrant_row[std::min(j, pj - j)];
        const double z1 = standard_normal(stream);
        const double z2 = standard_normal(stream);
        *out++ = {z1 * a, z2 * a};
    }
    return out;
}

struct FreeGrid {
    void operator()(Complex* values) const noexcept { std::free(values); }
};

// The padded grid, row after row. One allocation rather than one per noise block, so
// that it can sit on huge pages: faulting in the grid page by page costs as much as a
// third of a draw.
class PaddedGrid {
public:
    PaddedGrid(std::uint64_t rows, std::uint64_t columns) : columns_(columns) {
        const std::size_t bytes = rows * columns * sizeof(Complex);
        const bool huge = bytes >= HUGE_PAGE;
        const std::size_t alignment = huge ? HUGE_PAGE : alignof(Complex);
        const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
        values_.reset(static_cast<Complex*>(std::aligned_alloc(alignment, rounded)));
        if (!values_) throw std::bad_alloc();
        if (huge) madvise(values_.get(), rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
    }

    Complex* row(std::uint64_t i) const { return values_.get() + i * columns_; }
    std::uint64_t columns() const { return columns_; }

private:
    std::unique_ptr<Complex[], FreeGrid> values_;
    std::uint64_t columns_;
};

// Draws the noise of every padded row and transforms the rows, block by block in
// parallel: each block is transformed by the task that filled it, while it is in cache.
void noise_and_row_pass(PaddedGrid& grid, std::span<const double> quadrant, const Shapes& s,
                        const std::vector<PcgStream>& children, const InversePlan& row_plan) {
    parallel_runs(children.size(), [&](std::size_t first, std::size_t last) {
        InversePlan::Scratch scratch = row_plan.scratch();
        for (std::size_t b = first; b < last; ++b) {
            const std::uint64_t top = b * NOISE_BLOCK_ROWS;
            const std::uint64_t rows = std::min(NOISE_BLOCK_ROWS, s.pi - top);
            PcgStream stream = children[b];
            std::uint64_t written = 0;
            for (std::uint64_t i = top; i < top + rows; ++i) {
                const double* quadrant_row = quadrant.data() + std::min(i, s.pi - i) * s.rj;
                written += static_cast<std::uint64_t>(fill_row(stream, quadrant_row, s.pj, grid.row(i)) - grid.row(i));
            }
            if (written != rows * s.pj) fill_count_mismatch(written, rows * s.pj);
            row_plan.run({grid.row(top), rows, s.pj, 1}, s.pj, scratch);
        }
    });
}

// Transforms the first cj columns along i, 16 to a block, in place; of each transformed
// column only the first ci rows are written back, the rest of the grid being dropped.
void column_pass(PaddedGrid& grid, const Shapes& s, const InversePlan& column_plan) {
    parallel_runs(ceil_div(s.cj, COLUMN_BLOCK_WIDTH), [&](std::size_t first, std::size_t last) {
        InversePlan::Scratch scratch = column_plan.scratch();
        for (std::size_t c = first; c < last; ++c) {
            const std::uint64_t h = c * COLUMN_BLOCK_WIDTH;
            const std::uint64_t w = std::min(COLUMN_BLOCK_WIDTH, s.cj - h);
            column_plan.run({grid.row(0) + h, w, 1, s.pj}, s.ci, scratch);
        }
    });
}

// Scales the kept corner of the grid and lays it out as the two row-major result grids.
FieldPair output_pass(const PaddedGrid& grid, const Shapes& s, double scale) {
    FieldPair out{Buffer<double>::uninitialised(s.ci * s.cj), Buffer<double>::uninitialised(s.ci * s.cj)};
    parallel_runs(ceil_div(s.ci, OUTPUT_BLOCK_ROWS), [&](std::size_t first, std::size_t last) {
        const std::uint64_t top = first * OUTPUT_BLOCK_ROWS;
        const std::uint64_t bottom = std::min(last * OUTPUT_BLOCK_ROWS, s.ci);
        for (std::uint64_t r = top; r < bottom; ++r) {
            const Complex* row = grid.row(r);
            for (std::uint64_t j = 0; j < s.cj; ++j) {
                out.real[r * s.cj + j] = row[j].real() * scale;
                out.imaginary[r * s.cj + j] = row[j].imag() * scale;
            }
        }
    });
    return out;
}

}  // namespace

std::variant<FieldPair, DrawError> draw_pair(std::span<const double> amplitudes, std::uint64_t ri,
                                             std::uint64_t rj, std::uint64_t pi, std::uint64_t pj,
                                             std::uint64_t ci, std::uint64_t cj, std::uint64_t seed) {
    const Shapes s{ri, rj, pi, pj, ci, cj};
    if (auto error = check_shapes(s)) return *std::move(error);
    check_quadrant_count(amplitudes.size(), ri, rj);
    check_grid_capacity(pi, pj);

    PcgStream master = from_seed_u64(seed);
    const std::vector<PcgStream> children = block_streams(master, ceil_div(pi, NOISE_BLOCK_ROWS));
    const InversePlan row_plan(pj);
    const InversePlan column_plan(pi);
    PaddedGrid grid(pi, pj);
    noise_and_row_pass(grid, amplitudes, s, children, row_plan);
    if (ci * cj == 0) return FieldPair{Buffer<double>::uninitialised(0), Buffer<double>::uninitialised(0)};
    column_pass(grid, s, column_plan);

    const double scale = 1 / std::sqrt(static_cast<double>(pi * pj));
    return output_pass(grid, s, scale);
}

std::string message(const DrawError& error) {
    return std::visit(
        Overloaded{
            [](const field::EmptyEmbedding& e) {
                return "a " + format_count(e.pi) + "x" + format_count(e.pj) + " embedding has no cells";
            },
            [](const field::QuadrantShape& e) {
                return "a " + format_count(e.pi) + "x" + format_count(e.pj) + " embedding needs a " +
                       format_count(e.pi / 2 + 1) + "x" + format_count(e.pj / 2 + 1) +
                       " amplitude quadrant, not " + format_count(e.ri) + "x" + format_count(e.rj);
            },
            [](const field::FaultTooLarge& e) {
                return "a " + format_count(e.ci) + "x" + format_count(e.cj) +
                       " fault does not fit in a " + format_count(e.pi) + "x" + format_count(e.pj) +
                       " embedding";
            },
        },
        error);
}

}  // namespace kernels
