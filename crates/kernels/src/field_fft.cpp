#include "field_fft.hpp"

#include <cstddef>
#include <mutex>
#include <new>

#include "fatal.hpp"
#include "format.hpp"

namespace kernels {

namespace {

// FFTW's planner keeps global state and is not thread-safe, so plans are made and
// destroyed under this lock; running a finished plan needs no lock.
std::mutex planner_lock;

[[gnu::cold, gnu::noinline]] void plan_refused(std::uint64_t length) {
    fatal("FFTW made no plan for an inverse transform of length " + format_count(length));
}

}  // namespace

ComplexArray allocate_complex(std::uint64_t count) {
    if (count > PTRDIFF_MAX / sizeof(std::complex<double>)) fatal("capacity overflow");
    const std::size_t bytes = (count == 0 ? 1 : count) * sizeof(std::complex<double>);
    auto* values = static_cast<std::complex<double>*>(fftw_malloc(bytes));
    if (values == nullptr) throw std::bad_alloc();
    return ComplexArray(values);
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
