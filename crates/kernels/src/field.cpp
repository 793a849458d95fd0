#include "field.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
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

using Complex = std::complex<double>;

// One child stream, and so one noise block, per this many padded rows.
constexpr std::uint64_t NOISE_BLOCK_ROWS = 32;
// Surviving columns transformed by one task at a time.
constexpr std::uint64_t COLUMN_BLOCK_WIDTH = 16;
// Output rows scaled and laid out by one task at a time.
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

// The whole padded grid must be addressable, with two huge pages to spare; then no size
// product of the draw can wrap.
void check_grid_capacity(std::uint64_t pi, std::uint64_t pj) {
    constexpr std::uint64_t limit = (PTRDIFF_MAX - 2 * HUGE_PAGE) / sizeof(Complex);
    std::uint64_t cells;
    if (__builtin_mul_overflow(pi, pj, &cells) || cells > limit) capacity_overflow();
}

void check_quadrant_count(std::size_t count, std::uint64_t ri, std::uint64_t rj) {
    std::uint64_t expected;
    if (__builtin_mul_overflow(ri, rj, &expected) || count != expected)
        quadrant_count_mismatch(count, ri, rj);
}

// Writes padded row `i` of noise into lane `lane` of a batch: every cell gets two fresh
// variates, scaled by the amplitude of its mirrored quadrant cell. Returns the count of
// cells written.
std::uint64_t fill_row(PcgStream& stream, const double* quadrant_row, std::uint64_t pj,
                       InversePlan::Batch& batch, std::size_t lane) {
    const auto fill = [&](std::uint64_t j, double a) {
        const double z1 = standard_normal(stream);
        const double z2 = standard_normal(stream);
        batch[j].real[lane] = z1 * a;
        batch[j].imag[lane] = z2 * a;
    };
    // Column j mirrors to min(j, pj - j): the quadrant read forwards, then backwards.
    std::uint64_t j = 0;
    for (; j <= pj / 2; ++j) fill(j, quadrant_row[j]);
    for (; j < pj; ++j) fill(j, quadrant_row[pj - j]);
    return j;
}

// Lanes from `first` on carry no sequence in this batch: zeros, not leftovers.
void clear_lanes(InversePlan::Batch& batch, std::uint64_t length, std::size_t first) {
    for (std::uint64_t m = 0; m < length; ++m) {
        for (std::size_t lane = first; lane < TRANSFORM_LANES; ++lane) {
            batch[m].real[lane] = 0;
            batch[m].imag[lane] = 0;
        }
    }
}

// The first cj columns of the padded grid, row after row: only they survive the crop.
// A large grid is mapped afresh for each draw and aligned to huge pages, which the column
// pass, reading down columns, needs to find every row in the translation cache: memory
// from the heap would come on whatever pages earlier allocations left there. A grid
// smaller than a huge page comes from the heap, rather than costing a whole huge page.
class PaddedGrid {
public:
    PaddedGrid(std::uint64_t rows, std::uint64_t columns) : columns_(columns) {
        const std::size_t bytes = rows * columns * sizeof(Complex);
        if (bytes < HUGE_PAGE) {
            small_ = Buffer<Complex>::uninitialised(rows * columns);
            values_ = small_.data();
            return;
        }
        mapped_ = (bytes + 2 * HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        start_ = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (start_ == MAP_FAILED) throw std::bad_alloc();
        const auto address = reinterpret_cast<std::uintptr_t>(start_);
        values_ = reinterpret_cast<Complex*>((address + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE);
        madvise(values_, mapped_ - HUGE_PAGE, MADV_HUGEPAGE);  // advice only: failure is harmless
    }
    ~PaddedGrid() {
        if (start_ != nullptr) munmap(start_, mapped_);
    }
    PaddedGrid(const PaddedGrid&) = delete;
    PaddedGrid& operator=(const PaddedGrid&) = delete;

    Complex* row(std::uint64_t i) { return values_ + i * columns_; }

private:
    Buffer<Complex> small_;
    void* start_ = nullptr;
    std::size_t mapped_ = 0;
    Complex* values_;
    std::uint64_t columns_;
};

// Draws the noise of every padded row and transforms the rows, block by block in
// parallel, a batch of rows at a time, keeping the first cj values of each.
void noise_and_row_pass(PaddedGrid& grid, std::span<const double> quadrant, const Shapes& s,
                        const std::vector<PcgStream>& children, const InversePlan& row_plan) {
    parallel_runs(children.size(), [&](std::size_t first, std::size_t last) {
        InversePlan::Batch batch = row_plan.batch();
        for (std::size_t b = first; b < last; ++b) {
            const std::uint64_t top = b * NOISE_BLOCK_ROWS;
            const std::uint64_t bottom = std::min(top + NOISE_BLOCK_ROWS, s.pi);
            PcgStream stream = children[b];
            std::uint64_t written = 0;
            for (std::uint64_t i = top; i < bottom; i += TRANSFORM_LANES) {
                const std::size_t lanes = std::min<std::uint64_t>(TRANSFORM_LANES, bottom - i);
                for (std::size_t lane = 0; lane < lanes; ++lane) {
                    const std::uint64_t k = std::min(i + lane, s.pi - i - lane);
                    written += fill_row(stream, quadrant.data() + k * s.rj, s.pj, batch, lane);
                }
                if (lanes < TRANSFORM_LANES) clear_lanes(batch, s.pj, lanes);
                row_plan.run(batch);
                for (std::size_t lane = 0; lane < lanes; ++lane) {
                    Complex* row = grid.row(i + lane);
                    for (std::uint64_t j = 0; j < s.cj; ++j) row[j] = {batch[j].real[lane], batch[j].imag[lane]};
                }
            }
            if (written != (bottom - top) * s.pj) fill_count_mismatch(written, (bottom - top) * s.pj);
        }
    });
}

// Batches a column block takes, of TRANSFORM_LANES columns each.
constexpr std::size_t BLOCK_BATCHES = (COLUMN_BLOCK_WIDTH + TRANSFORM_LANES - 1) / TRANSFORM_LANES;

// Transforms the kept columns along i, 16 to a block, in place: one pass down the grid
// gathers a block's columns into its batches, and of each transformed column only the
// first ci rows are written back.
void column_pass(PaddedGrid& grid, const Shapes& s, const InversePlan& column_plan) {
    parallel_runs(ceil_div(s.cj, COLUMN_BLOCK_WIDTH), [&](std::size_t first, std::size_t last) {
        std::vector<InversePlan::Batch> batches;
        for (std::size_t k = 0; k < BLOCK_BATCHES; ++k) batches.push_back(column_plan.batch());
        const auto value = [&](std::uint64_t u, std::uint64_t i) -> LaneValue& {
            return batches[u / TRANSFORM_LANES][i];
        };
        for (std::size_t c = first; c < last; ++c) {
            const std::uint64_t h = c * COLUMN_BLOCK_WIDTH;
            const std::uint64_t w = std::min(COLUMN_BLOCK_WIDTH, s.cj - h);
            for (std::uint64_t i = 0; i < s.pi; ++i) {
                const Complex* row = grid.row(i) + h;
                for (std::uint64_t u = 0; u < w; ++u) {
                    value(u, i).real[u % TRANSFORM_LANES] = row[u].real();
                    value(u, i).imag[u % TRANSFORM_LANES] = row[u].imag();
                }
            }
            for (std::uint64_t u = 0; u < w; u += TRANSFORM_LANES) {
                const std::size_t lanes = std::min<std::uint64_t>(TRANSFORM_LANES, w - u);
                if (lanes < TRANSFORM_LANES) clear_lanes(batches[u / TRANSFORM_LANES], s.pi, lanes);
                column_plan.run(batches[u / TRANSFORM_LANES]);
            }
            for (std::uint64_t r = 0; r < s.ci; ++r) {
                Complex* row = grid.row(r) + h;
                for (std::uint64_t u = 0; u < w; ++u)
                    row[u] = {value(u, r).real[u % TRANSFORM_LANES], value(u, r).imag[u % TRANSFORM_LANES]};
            }
        }
    });
}

// Scales the kept corner of the grid and lays it out as the two row-major result grids.
FieldPair output_pass(PaddedGrid& grid, const Shapes& s, double scale) {
    FieldPair out{Buffer<double>::on_huge_pages(s.ci * s.cj), Buffer<double>::on_huge_pages(s.ci * s.cj)};
    parallel_runs(ceil_div(s.ci, OUTPUT_BLOCK_ROWS), [&](std::size_t first, std::size_t last) {
        const std::uint64_t bottom = std::min(last * OUTPUT_BLOCK_ROWS, s.ci);
        for (std::uint64_t r = first * OUTPUT_BLOCK_ROWS; r < bottom; ++r) {
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
    if (ci * cj == 0) return FieldPair{Buffer<double>::uninitialised(0), Buffer<double>::uninitialised(0)};
    PaddedGrid grid(pi, cj);
    noise_and_row_pass(grid, amplitudes, s, children, row_plan);
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
