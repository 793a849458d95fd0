#include "field_fft.hpp"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <new>

#define DUCC0_NO_LOWLEVEL_THREADING
#include "ducc0/fft/fft1d_impl.h"

#include "fatal.hpp"

// The transforms refer to this entry point of DUCC's thread pool for work they could
// share out; here it is always done on the calling thread, which is one task of the draw.
namespace ducc0::detail_threading {

void execStatic(std::size_t nwork, std::size_t, std::size_t, std::function<void(Scheduler&)> func) {
    class Everything : public Scheduler {
    public:
        explicit Everything(std::size_t work) : work_(work) {}
        std::size_t num_threads() const override { return 1; }
        std::size_t thread_num() const override { return 0; }
        Range getNext() override { return given_ ? Range() : (given_ = true, Range(0, work_)); }

    private:
        std::size_t work_;
        bool given_ = false;
    };
    Everything scheduler(nwork);
    func(scheduler);
}

}  // namespace ducc0::detail_threading

namespace kernels {

namespace {

using Lane = ducc0::native_simd<double>;
using LaneValue = ducc0::Cmplx<Lane>;
// Sequences transformed side by side, one in each lane.
constexpr std::size_t LANES = Lane::size();
constexpr std::size_t SCRATCH_ALIGNMENT = 64;

[[gnu::cold, gnu::noinline]] void capacity_overflow() { fatal("capacity overflow"); }

// Lane l of values[m] takes value m of sequence first + l; lanes beyond the last
// sequence take zeros.
void gather(const Sequences& s, std::size_t first, std::size_t lanes, std::size_t length,
            LaneValue* values) {
    for (std::size_t m = 0; m < length; ++m) {
        alignas(SCRATCH_ALIGNMENT) double real[LANES] = {};
        alignas(SCRATCH_ALIGNMENT) double imaginary[LANES] = {};
        for (std::size_t l = 0; l < lanes; ++l) {
            const Complex v = s.data[(first + l) * s.between + m * s.within];
            real[l] = v.real();
            imaginary[l] = v.imag();
        }
        values[m].r = ducc0::detail_simd::loadu<Lane>(real);
        values[m].i = ducc0::detail_simd::loadu<Lane>(imaginary);
    }
}

void scatter(const LaneValue* values, const Sequences& s, std::size_t first, std::size_t lanes,
             std::size_t kept) {
    for (std::size_t m = 0; m < kept; ++m) {
        alignas(SCRATCH_ALIGNMENT) double real[LANES];
        alignas(SCRATCH_ALIGNMENT) double imaginary[LANES];
        ducc0::detail_simd::storeu(values[m].r, real);
        ducc0::detail_simd::storeu(values[m].i, imaginary);
        for (std::size_t l = 0; l < lanes; ++l) {
            s.data[(first + l) * s.between + m * s.within] = {real[l], imaginary[l]};
        }
    }
}

}  // namespace

struct InversePlan::Planned {
    ducc0::pocketfft_c<double> plan;
};

InversePlan::Scratch::Scratch(std::size_t bytes) {
    const std::size_t rounded = (bytes + SCRATCH_ALIGNMENT - 1) / SCRATCH_ALIGNMENT * SCRATCH_ALIGNMENT;
    storage_.reset(std::aligned_alloc(SCRATCH_ALIGNMENT, rounded));
    if (!storage_) throw std::bad_alloc();
}

InversePlan::InversePlan(std::uint64_t length)
    : length_(length), planned_(std::make_unique<const Planned>(Planned{ducc0::pocketfft_c<double>(length)})) {}

InversePlan::~InversePlan() = default;

// The lanes' values, then the plan's own scratch.
InversePlan::Scratch InversePlan::scratch() const {
    std::size_t values, bytes;
    if (__builtin_add_overflow(length_, planned_->plan.bufsize(), &values) ||
        __builtin_mul_overflow(values, sizeof(LaneValue), &bytes) ||
        bytes > PTRDIFF_MAX - SCRATCH_ALIGNMENT)
        capacity_overflow();
    return Scratch(bytes);
}

void InversePlan::run(const Sequences& sequences, std::size_t kept, Scratch& scratch) const {
    auto* values = static_cast<LaneValue*>(scratch.storage_.get());
    LaneValue* buffer = values + length_;
    for (std::size_t first = 0; first < sequences.count; first += LANES) {
        const std::size_t lanes = std::min(LANES, sequences.count - first);
        gather(sequences, first, lanes, length_, values);
        planned_->plan.exec_copyback(values, buffer, 1.0, /*fwd=*/false);
        scatter(values, sequences, first, lanes, kept);
    }
}

}  // namespace kernels
