#pragma once
// The transforms of the field draw, from FFTW: storage aligned as FFTW's vector code
// wants, and in-place inverse plans that many tasks run at once.

#include <complex>
#include <cstdlib>
#include <cstdint>
#include <memory>

#include <fftw3.h>

namespace kernels {

struct FreeComplex {
    void operator()(std::complex<double>* values) const noexcept { std::free(values); }
};
using ComplexArray = std::unique_ptr<std::complex<double>[], FreeComplex>;

// Uninitialised storage for `count` complex values, aligned for FFTW's vector code.
ComplexArray allocate_complex(std::uint64_t count);

// `count` rounded up so that runs of that many complex values, laid end to end from an
// aligned start, each start aligned too: a plan runs only on arrays aligned as the ones
// it was made with.
std::uint64_t aligned_stride(std::uint64_t count);

// An unnormalised inverse transform of `length` complex values, in place. Planning is
// by estimate, never by measurement, so that every call chooses the same algorithm and
// draws are bit-identical from call to call and process to process.
class InversePlan {
public:
    explicit InversePlan(std::uint64_t length);
    ~InversePlan();
    InversePlan(const InversePlan&) = delete;
    InversePlan& operator=(const InversePlan&) = delete;

    // Transforms `length` values at `values` (aligned as allocate_complex gives) in
    // place. Safe to call from several threads at once.
    void run(std::complex<double>* values) const {
        auto* data = reinterpret_cast<fftw_complex*>(values);
        fftw_execute_dft(plan_, data, data);
    }

private:
    fftw_plan plan_;
};

}  // namespace kernels
