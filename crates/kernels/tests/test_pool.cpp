#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

#include "fatal.hpp"
#include "pool.hpp"

namespace kernels {
namespace {

constexpr std::size_t ASKED_THREADS = 5;

// Every test in this program sees a pool of five threads, more than this machine has
// cores: the pool is sized once, before its first use.
class FiveThreads : public ::testing::Environment {
public:
    void SetUp() override {
        setenv("RAYON_NUM_THREADS", "5", 1);
        unsetenv("RAYON_RS_NUM_CPUS");
    }
};
const auto* const five_threads = ::testing::AddGlobalTestEnvironment(new FiveThreads);

struct SizeCase {
    const char* num_threads;
    const char* fallback;
    std::size_t cpus;
    std::size_t expected;
};

class PoolSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(PoolSize, FollowsTheEnvironment) {
    const SizeCase& c = GetParam();
    EXPECT_EQ(pool_size_from(c.num_threads, c.fallback, c.cpus), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, PoolSize,
    ::testing::Values(SizeCase{nullptr, nullptr, 8, 8},   // both unset: the processors
                      SizeCase{nullptr, nullptr, 0, 1},   // none reported: one thread
                      SizeCase{"3", nullptr, 8, 3}, SizeCase{"+3", nullptr, 8, 3},
                      SizeCase{"007", nullptr, 8, 7},
                      SizeCase{"0", "5", 8, 8},           // zero means the default...
                      SizeCase{"0", nullptr, 0, 1},       // ...whatever the fallback says
                      SizeCase{"abc", "5", 8, 5},         // not a number: the fallback
                      SizeCase{"", "5", 8, 5}, SizeCase{"+", "5", 8, 5}, SizeCase{"-1", "5", 8, 5},
                      SizeCase{" 3", "5", 8, 5}, SizeCase{"3 ", "5", 8, 5}, SizeCase{"3.0", "5", 8, 5},
                      SizeCase{"99999999999999999999999", "5", 8, 5},  // beyond size_t
                      SizeCase{nullptr, "4", 8, 4}, SizeCase{nullptr, "+4", 8, 4},
                      SizeCase{nullptr, "0", 8, 8}, SizeCase{nullptr, "x", 8, 8},
                      SizeCase{"x", "0", 3, 3}));

TEST(Pool, TakesItsSizeFromTheEnvironment) { EXPECT_EQ(pool_threads(), ASKED_THREADS); }

TEST(Pool, RunsEveryBlockExactlyOnce) {
    for (std::size_t blocks : {0, 1, 2, 7, 64, 1000}) {
        std::vector<std::atomic<int>> visits(blocks);
        parallel_runs(blocks, [&](std::size_t first, std::size_t last) {
            ASSERT_LT(first, last);
            for (std::size_t b = first; b < last; ++b) visits[b]++;
        });
        for (std::size_t b = 0; b < blocks; ++b) EXPECT_EQ(visits[b].load(), 1) << b;
    }
}

TEST(Pool, RunsASingleBlockOnTheCallingThread) {
    std::thread::id ran_on;
    parallel_runs(1, [&](std::size_t, std::size_t) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

// Each run waits until as many runs are active at once as the pool has threads (or a
// generous deadline passes). A pool that quietly ran fewer threads than asked for never
// gets there.
TEST(Pool, RunsAsManyThreadsAsAskedFor) {
    std::atomic<std::size_t> active{0};
    std::atomic<std::size_t> most{0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    parallel_runs(64, [&](std::size_t, std::size_t) {
        const std::size_t now = ++active;
        std::size_t seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        while (most.load() < ASKED_THREADS && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::yield();
        }
        --active;
    });
    EXPECT_EQ(most.load(), ASKED_THREADS);
}

TEST(Pool, CarriesAFailureOnAWorkerToTheCaller) {
    auto fail_in_block_37 = [](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) {
            if (b == 37) fatal("block 37 broke");
        }
    };
    try {
        parallel_runs(100, fail_in_block_37);
        FAIL() << "the failure was lost";
    } catch (const FatalError& failure) {
        EXPECT_EQ(failure.message(), "block 37 broke");
    }
}

TEST(Pool, CarriesOtherExceptionsToo) {
    EXPECT_THROW(parallel_runs(10, [](std::size_t, std::size_t) { throw std::bad_alloc(); }),
                 std::bad_alloc);
}

}  // namespace
}  // namespace kernels
