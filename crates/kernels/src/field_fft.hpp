#pragma once
// The transforms of the field draw: unnormalised inverse discrete Fourier transforms of
// complex doubles, X[k] = sum over m of x[m] exp(+2 pi i k m / n), for any length n >= 1.
//
// A plan is made once per draw and shared read-only by every task. Each task transforms
// a batch of sequences at a time, one in each SIMD lane (the lanes never mix, so a
// sequence comes out the same whatever shares its batch), in a batch of its own that also
// holds the plan's scratch. So a transform never allocates: memory is taken only by
// planning and by making batches, and running short of it there is std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

namespace kernels {

// Sequences in a batch: the doubles of the widest SIMD register the build targets.
#if defined(__AVX512F__)
inline constexpr std::size_t TRANSFORM_LANES = 8;
#elif defined(__AVX__)
inline constexpr std::size_t TRANSFORM_LANES = 4;
#elif defined(__SSE2__) || defined(__ARM_NEON)
inline constexpr std::size_t TRANSFORM_LANES = 2;
#else
inline constexpr std::size_t TRANSFORM_LANES = 1;
#endif

// Value m of every sequence of a batch.
struct LaneValue {
    double real[TRANSFORM_LANES];
    double imag[TRANSFORM_LANES];
};

class InversePlan {
public:
    // One task's batch: `length` lane values, then the plan's scratch.
    class Batch {
    public:
        LaneValue& operator[](std::size_t m) { return values_[m]; }
        const LaneValue& operator[](std::size_t m) const { return values_[m]; }

    private:
        friend class InversePlan;
        struct Free {
            void operator()(void* storage) const noexcept { std::free(storage); }
        };
        explicit Batch(std::size_t bytes);
        std::unique_ptr<void, Free> storage_;
        LaneValue* values_;
    };

    explicit InversePlan(std::uint64_t length);
    ~InversePlan();
    InversePlan(const InversePlan&) = delete;
    InversePlan& operator=(const InversePlan&) = delete;

    Batch batch() const;

    // Replaces every lane of the batch by its transform. Safe to call from several tasks
    // at once, each with its own batch.
    void run(Batch& batch) const;

private:
    struct Planned;
    std::uint64_t length_;
    std::unique_ptr<const Planned> planned_;
};

}  // namespace kernels
