#pragma once
// The transforms of the field draw: unnormalised inverse discrete Fourier transforms of
// complex doubles, X[k] = sum over m of x[m] exp(+2 pi i k m / n), for any length n >= 1.
//
// A plan is made once per draw and shared read-only by every task. Each task runs it in
// scratch of its own, a few sequences at a time (one per SIMD lane, so the lanes never mix),
// so that a transform itself never allocates: memory is taken only by planning and by
// making scratch, and running short of it there is std::bad_alloc, never an abort.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace kernels {

using Complex = std::complex<double>;

// Sequences of complex values laid out in a grid: value m of sequence k is at
// data[k * between + m * within].
struct Sequences {
    Complex* data;
    std::size_t count;
    std::size_t between;
    std::size_t within;
};

class InversePlan {
public:
    // What one task needs to run the plan, made once per task.
    class Scratch {
    public:
        explicit Scratch(std::size_t bytes);

    private:
        friend class InversePlan;
        struct Free {
            void operator()(void* storage) const noexcept { std::free(storage); }
        };
        std::unique_ptr<void, Free> storage_;
    };

    explicit InversePlan(std::uint64_t length);
    ~InversePlan();
    InversePlan(const InversePlan&) = delete;
    InversePlan& operator=(const InversePlan&) = delete;

    Scratch scratch() const;

    // Transforms every sequence in place, writing back only the first `kept` values of
    // each transform. Safe to call from several tasks at once, each with its own scratch.
    void run(const Sequences& sequences, std::size_t kept, Scratch& scratch) const;

private:
    struct Planned;
    std::uint64_t length_;
    std::unique_ptr<const Planned> planned_;
};

}  // namespace kernels
