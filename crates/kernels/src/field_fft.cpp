#include "field_fft.hpp"

#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>

#include <sys/mman.h>

#include "fatal.hpp"
#include "format.hpp"

namespace kernels {

namespace {

constexpr std::size_t HUGE_PAGE = std::size_t{1} << 21;
// At least the alignment of FFTW's widest vector code (AVX-512).
constexpr std::size_t VECTOR_ALIGNMENT = 64;

// FFTW's planner keeps global state and is not thread-safe, so plans are made and
// destroyed under this lock; running a finished plan needs no lock.
std::mutex planner_lock;

[[gnu::cold, gnu::noinline]] void plan_refused(std::uint64_t length) {
    fatal("FFTW made no plan for an inverse transform of length " + format_count(length));
}

}  // namespace

ComplexArray allocate_complex(std::uint64_t count) {
    if (count > (PTRDIFF_MAX - HUGE_PAGE) / sizeof(std::complex<double>)) fatal("capacity overflow");
    const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(std::complex<double>);
    // Large arrays are touched once, page by page, right after they are made; on huge
    // pages that costs a fault per 2 MiB rather than per 4 KiB.
    const bool huge = bytes >= HUGE_PAGE;
    const std::size_t alignment = huge ? HUGE_PAGE : VECTOR_ALIGNMENT;
    const std::size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    void* values = std::aligned_alloc(alignment, rounded);
    if (values == nullptr) throw std::bad_alloc();
    if (huge) madvise(values, rounded, MADV_HUGEPAGE);  // advice only: failure is harmless
    return ComplexArray(static_cast<std::complex<double>*>(values));
}

std::uint64_t aligned_stride(std::uint64_t count) {
    // The smallest run of complex values whose byte length FFTW counts as aligned.
    std::uint64_t step = 1;
    while (step < 64 && fftw_alignment_of(reinterpret_cast<double*>(step * sizeof(std::complex<double>))) != 0)
        step *= 2;
    return (count + step - 1) / step * step;
}

InversePlan::InversePlan(std::uint64_t length) {
    // Planning by estimate leaves the array untouched; it only fixes its alignment.
    const ComplexArray probe = allocate_complex(length);
    auto* data = reinterpret_cast<fftw_complex*>(probe.get());
    fftw_iodim64 dimension{static_cast<ptrdiff_t>(length), 1, 1};
    {
        const std::lock_guard<std::mutex> lock(planner_lock);
        plan_ = fftw_plan_guru64_dft(1, &dimension, 0, nullptr, data, data, FFTW_BACKWARD, FFTW_ESTIMATE);
    }
    if (plan_ == nullptr) plan_refused(length);
}

InversePlan::~InversePlan() {
    const std::lock_guard<std::mutex> lock(planner_lock);
    fftw_destroy_plan(plan_);
}

}  // namespace kernels
