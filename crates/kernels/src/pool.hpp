#pragma once
// The process-wide worker pool that runs the data-parallel loops.
//
// Work is always cut into blocks by rules that do not depend on the number of threads,
// and each block writes only its own part of the output, so results are the same for
// any pool size. The pool is created by the first loop (or size query) of the process
// and lives until the process ends.

#include <cstddef>
#include <type_traits>

namespace kernels {

// The number of threads of the pool, creating the pool on first use.
std::size_t pool_threads();

// The pool size that the environment asks for: `num_threads` (RAYON_NUM_THREADS) if it
// is a decimal number above 0, the default if it is 0, and otherwise `fallback`
// (RAYON_RS_NUM_CPUS) read the same way; the default is `cpus`, or 1 when that is 0.
// Null stands for an unset variable.
std::size_t pool_size_from(const char* num_threads, const char* fallback, std::size_t cpus);

namespace detail {
using RunFn = void (*)(void* context, std::size_t first, std::size_t last);
void run_on_pool(std::size_t blocks, RunFn run, void* context);
}  // namespace detail

// Calls run(first, last) on disjoint runs of consecutive blocks that together cover
// [0, blocks), spread over the pool, and waits for all of them. Per-task state (scratch)
// belongs at the top of `run`, so it is made once per run rather than once per block.
// A single block runs on the calling thread. An exception thrown by `run` on any thread
// is rethrown here, on the calling thread.
template <class Run>
void parallel_runs(std::size_t blocks, Run&& run) {
    if (blocks == 0) return;
    if (blocks == 1) {
        run(std::size_t{0}, std::size_t{1});
        return;
    }
    auto trampoline = [](void* context, std::size_t first, std::size_t last) {
        (*static_cast<std::remove_reference_t<Run>*>(context))(first, last);
    };
    detail::run_on_pool(blocks, trampoline, &run);
}

}  // namespace kernels
