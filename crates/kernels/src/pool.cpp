#include "pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <cstdlib>
#include <limits>
#include <optional>
#include <thread>

namespace kernels {

namespace {

// A decimal number: an optional leading "+" and one or more digits, within size_t.
std::optional<std::size_t> parse_count(const char* text) {
    if (text == nullptr) return std::nullopt;
    if (*text == '+') ++text;
    if (*text == '\0') return std::nullopt;
    std::size_t value = 0;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return std::nullopt;
        const std::size_t digit = static_cast<std::size_t>(*text - '0');
        if (value > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

struct Pool {
    explicit Pool(std::size_t threads)
        // oneTBB caps its workers at the machine's core count unless told otherwise, and
        // the telling must last as long as the pool.
        : allowance(oneapi::tbb::global_control::max_allowed_parallelism,
                    std::max<std::size_t>(threads, oneapi::tbb::info::default_concurrency())),
          arena(static_cast<int>(threads)),
          threads(threads) {}

    oneapi::tbb::global_control allowance;
    oneapi::tbb::task_arena arena;
    std::size_t threads;
};

Pool& pool() {
    // Never destroyed: the pool lives until the process ends, and tearing it down during
    // interpreter shutdown would race with threads still leaving the module.
    static Pool* const instance = [] {
        const std::size_t cpus = std::thread::hardware_concurrency();
        std::size_t threads = pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                             std::getenv("RAYON_RS_NUM_CPUS"), cpus);
        threads = std::min<std::size_t>(threads, std::numeric_limits<int>::max());
        return new Pool(threads);
    }();
    return *instance;
}

}  // namespace

std::size_t pool_size_from(const char* num_threads, const char* fallback, std::size_t cpus) {
    const std::size_t default_size = cpus == 0 ? 1 : cpus;
    if (auto n = parse_count(num_threads)) return *n > 0 ? *n : default_size;
    if (auto n = parse_count(fallback); n && *n > 0) return *n;
    return default_size;
}

std::size_t pool_threads() { return pool().threads; }

namespace detail {

void run_on_pool(std::size_t blocks, RunFn run, void* context) {
    pool().arena.execute([&] {
        oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, blocks),
                                  [&](const oneapi::tbb::blocked_range<std::size_t>& range) {
                                      run(context, range.begin(), range.end());
                                  });
    });
}

}  // namespace detail

}  // namespace kernels
