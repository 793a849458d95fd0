#include "field_fft.hpp"

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
using LaneComplex = ducc0::Cmplx<Lane>;
static_assert(Lane::size() == TRANSFORM_LANES && sizeof(LaneComplex) == sizeof(LaneValue));

constexpr std::size_t BATCH_ALIGNMENT = 64;

[[gnu::cold, gnu::noinline]] void capacity_overflow() { fatal("capacity overflow"); }

// The batch's doubles as the vectors the plan runs on, and back: the same bytes, as
// objects of the other type.
LaneComplex* as_vectors(LaneValue* values, std::size_t length) {
    for (std::size_t m = 0; m < length; ++m) {
        const LaneComplex v{ducc0::detail_simd::loadu<Lane>(values[m].real),
                            ducc0::detail_simd::loadu<Lane>(values[m].imag)};
        new (&values[m]) LaneComplex(v);
    }
    return std::launder(reinterpret_cast<LaneComplex*>(values));
}

// `vectors` may lie where `values` are, or elsewhere in the batch's scratch.
void as_doubles(const LaneComplex* vectors, std::size_t length, LaneValue* values) {
    for (std::size_t m = 0; m < length; ++m) {
        const LaneComplex v = vectors[m];
        auto* value = new (&values[m]) LaneValue;
        ducc0::detail_simd::storeu(v.r, value->real);
        ducc0::detail_simd::storeu(v.i, value->imag);
    }
}

}  // namespace

struct InversePlan::Planned {
    ducc0::pocketfft_c<double> plan;
};

InversePlan::Batch::Batch(std::size_t bytes) {
    const std::size_t rounded = (bytes + BATCH_ALIGNMENT - 1) / BATCH_ALIGNMENT * BATCH_ALIGNMENT;
    storage_.reset(std::aligned_alloc(BATCH_ALIGNMENT, rounded));
    if (!storage_) throw std::bad_alloc();
    values_ = static_cast<LaneValue*>(storage_.get());
}

InversePlan::InversePlan(std::uint64_t length)
    : length_(length), planned_(std::make_unique<const Planned>(Planned{ducc0::pocketfft_c<double>(length)})) {}

InversePlan::~InversePlan() = default;

InversePlan::Batch InversePlan::batch() const {
    std::size_t values, bytes;
    if (__builtin_add_overflow(length_, planned_->plan.bufsize(), &values) ||
        __builtin_mul_overflow(values, sizeof(LaneValue), &bytes) ||
        bytes > PTRDIFF_MAX - BATCH_ALIGNMENT)
        capacity_overflow();
    return Batch(bytes);
}

void InversePlan::run(Batch& batch) const {
    LaneComplex* vectors = as_vectors(batch.values_, length_);
    auto* scratch = reinterpret_cast<LaneComplex*>(batch.values_ + length_);
    // The passes alternate between the values and the scratch; the result is in either.
    const LaneComplex* result = planned_->plan.exec(vectors, scratch, 1.0, /*fwd=*/false);
    as_doubles(result, length_, batch.values_);
}

}  // namespace kernels
