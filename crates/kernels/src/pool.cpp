#include "pool.hpp"

#include "fatal.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <pthread.h>
#include <sys/mman.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <vector>

namespace kernels {

namespace {

// Stack of every worker thread, set rather than left to oneTBB so that the threads tried
// before the pool is made (see startable_threads) ask the system for the same thing.
constexpr std::size_t WORKER_STACK_BYTES = std::size_t{4} << 20;
// What a worker needs to start besides its stack, generously.
constexpr std::size_t WORKER_START_BYTES = std::size_t{1} << 20;
// How long the first loop waits for every worker to have started.
constexpr auto WORKER_START_WAIT = std::chrono::milliseconds(500);

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

// Threads that only wait until every one of them has been started, then end.
class HeldThreads {
public:
    ~HeldThreads() {
        {
            const std::lock_guard lock(mutex_);
            released_ = true;
        }
        released_signal_.notify_all();
        for (pthread_t thread : threads_) pthread_join(thread, nullptr);
    }

    // Starts up to `count` threads with the workers' stack; returns how many started.
    std::size_t start(std::size_t count) {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return 0;
        if (pthread_attr_setstacksize(&attributes, WORKER_STACK_BYTES) == 0) {
            while (threads_.size() < count) {
                // Room first: a thread started but not recorded would never be joined.
                threads_.emplace_back();
                if (pthread_create(&threads_.back(), &attributes, &HeldThreads::wait, this) != 0) {
                    threads_.pop_back();
                    break;
                }
            }
        }
        pthread_attr_destroy(&attributes);
        return threads_.size();
    }

private:
    static void* wait(void* held) {
        auto* self = static_cast<HeldThreads*>(held);
        std::unique_lock lock(self->mutex_);
        self->released_signal_.wait(lock, [self] { return self->released_; });
        return nullptr;
    }

    std::mutex mutex_;
    std::condition_variable released_signal_;
    bool released_ = false;
    std::vector<pthread_t> threads_;
};

// How many worker threads the system lets the process start now, up to `wanted`: all of
// them are started at once and held, so that limits on threads and on address space count
// them together. oneTBB starts its workers later, one worker starting the next, and a
// worker that fails to start another ends the process; a pool no larger than what the
// system just granted keeps clear of that. The stacks of these threads are cached by the
// C library when they end, and the workers take them over.
std::size_t startable_threads(std::size_t wanted) { return HeldThreads().start(wanted); }

// Address space held back while the workers' stacks are tried, and handed back just
// before the workers start, for what each needs besides its stack.
class Cushion {
public:
    explicit Cushion(std::size_t bytes) : bytes_(bytes) {
        if (bytes_ == 0) return;
        start_ = mmap(nullptr, bytes_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (start_ == MAP_FAILED) throw std::bad_alloc();
    }
    ~Cushion() { release(); }
    Cushion(const Cushion&) = delete;
    Cushion& operator=(const Cushion&) = delete;

    void release() {
        if (start_ != nullptr && start_ != MAP_FAILED) munmap(start_, bytes_);
        start_ = nullptr;
    }

private:
    std::size_t bytes_;
    void* start_ = nullptr;
};

// Set in a child forked from a process whose pool had been made: the pool's threads did
// not come along, and its state may have been caught half-way through a loop.
std::atomic<bool> pool_left_in_parent{false};

struct Pool {
    explicit Pool(std::size_t threads)
        : stack(oneapi::tbb::global_control::thread_stack_size, WORKER_STACK_BYTES),
          // oneTBB caps its workers at the machine's core count unless told otherwise, and
          // the telling must last as long as the pool.
          allowance(oneapi::tbb::global_control::max_allowed_parallelism,
                    std::max<std::size_t>(threads, oneapi::tbb::info::default_concurrency())),
          arena(static_cast<int>(threads)),
          threads(threads) {}

    oneapi::tbb::global_control stack;
    oneapi::tbb::global_control allowance;
    oneapi::tbb::task_arena arena;
    std::size_t threads;
};

// Brings every worker into the pool at once, now, while the memory each needs to start
// is there: oneTBB's per-thread data, and the C++ runtime's exception state. A worker
// started later, under memory pressure, could end the process.
void start_every_worker(Pool& made) {
    std::atomic<std::size_t> arrived{0};
    const auto deadline = std::chrono::steady_clock::now() + WORKER_START_WAIT;
    made.arena.execute([&] {
        oneapi::tbb::parallel_for(
            oneapi::tbb::blocked_range<std::size_t>(0, made.threads, 1),
            [&](const oneapi::tbb::blocked_range<std::size_t>&) {
                prepare_thread_for_exceptions();
                arrived.fetch_add(1);
                // Held until all have come, so that each block is on a thread of its own.
                while (arrived.load() < made.threads && std::chrono::steady_clock::now() < deadline)
                    std::this_thread::yield();
            },
            oneapi::tbb::simple_partitioner());
    });
}

Pool& pool() {
    // Never destroyed: the pool lives until the process ends, and tearing it down during
    // interpreter shutdown would race with threads still leaving the module. Should making
    // it fail (for memory), the next loop tries again.
    static Pool* const instance = [] {
        const std::size_t cpus = std::thread::hardware_concurrency();
        std::size_t threads = pool_size_from(std::getenv("RAYON_NUM_THREADS"),
                                             std::getenv("RAYON_RS_NUM_CPUS"), cpus);
        threads = std::min<std::size_t>(threads, std::numeric_limits<int>::max());
        Cushion cushion((threads - 1) * WORKER_START_BYTES);
        threads = 1 + startable_threads(threads - 1);
        auto made = std::make_unique<Pool>(threads);
        cushion.release();
        start_every_worker(*made);
        pthread_atfork(nullptr, nullptr, [] { pool_left_in_parent.store(true); });
        return made.release();
    }();
    return *instance;
}

// The first exception thrown by a run, kept to be rethrown once the loop is over.
class FirstFailure {
public:
    template <class Body>
    void guard(Body&& body) noexcept {
        try {
            body();
        } catch (...) {
            const std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
        }
    }

    void rethrow() {
        if (failure_) std::rethrow_exception(failure_);
    }

private:
    std::mutex mutex_;
    std::exception_ptr failure_;
};

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
    // Results never depend on how blocks are spread, so the calling thread may take them
    // all: in a forked child, and when the pool itself fails.
    if (pool_left_in_parent.load()) return run(context, 0, blocks);
    Pool& workers = pool();
    FirstFailure failure;
    try {
        workers.arena.execute([&] {
            oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<std::size_t>(0, blocks),
                                      [&](const oneapi::tbb::blocked_range<std::size_t>& range) {
                                          failure.guard([&] { run(context, range.begin(), range.end()); });
                                      });
        });
    } catch (const std::bad_alloc&) {
        failure.rethrow();
        throw;
    } catch (...) {
        // The runs' own failures are all caught above, so this is the pool's: a worker
        // that could not be started, say. Every block is run again here; each one's output
        // depends only on the inputs, so a block run twice writes the same values.
        failure.rethrow();
        run(context, 0, blocks);
        return;
    }
    failure.rethrow();
}

}  // namespace detail

}  // namespace kernels
