#include "net/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

TEST(ThreadPool, OneWorkerRunsJobsInQueueOrderAndDrainsOnShutdown) {
    ThreadPool pool(1);
    std::vector<int> order;  // only the single worker writes, shutdown joins before we read
    // The first job holds the worker until shutdown has begun, so the others are still
    // queued when it is called.
    pool.enqueue([&order, &pool] {
        while (!pool.is_stopped()) std::this_thread::yield();
        order.push_back(0);
    });
    for (int i = 1; i <= 3; ++i) pool.enqueue([&order, i] { order.push_back(i); });
    pool.shutdown();
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3}));
    pool.shutdown();  // second call returns at once
}

TEST(ThreadPool, FuturesCarryResultsAndArgumentsAreBound) {
    ThreadPool pool(3);
    EXPECT_FALSE(pool.is_stopped());
    std::vector<std::future<int>> results;
    for (int i = 0; i < 50; ++i) {
        results.push_back(pool.enqueue([](int a, int b) { return a * b; }, i, 2));
    }
    for (int i = 0; i < 50; ++i) EXPECT_EQ(results[i].get(), i * 2);
    auto text = pool.enqueue([](const std::string& s) { return s + "!"; }, std::string("done"));
    EXPECT_EQ(text.get(), "done!");
}

TEST(ThreadPool, AThrowingJobReachesOnlyItsFutureAndTheWorkerGoesOn) {
    ThreadPool pool(1);
    auto failing = pool.enqueue([]() -> int { throw std::logic_error("job failed"); });
    auto next = pool.enqueue([] { return 7; });
    // A dropped future: the exception is never observed and must not matter.
    pool.enqueue([] { throw std::runtime_error("unobserved"); });
    auto last = pool.enqueue([] { return 8; });
    EXPECT_THROW(failing.get(), std::logic_error);
    EXPECT_EQ(next.get(), 7);
    EXPECT_EQ(last.get(), 8);
}

TEST(ThreadPool, RefusesJobsAfterShutdown) {
    ThreadPool pool(2);
    pool.shutdown();
    try {
        pool.enqueue([] {});
        FAIL() << "enqueue after shutdown did not throw";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "enqueue on stopped ThreadPool");
    }
}

TEST(ThreadPool, ShutdownsFromSeveralThreadsAtOnceJoinEachWorkerOnce) {
    // The race needs both callers past the stop test together; many rounds make it likely.
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> done{0};
        {
            ThreadPool pool(3);
            for (int i = 0; i < 6; ++i) pool.enqueue([&done] { ++done; });
            std::atomic<int> ready{0};
            std::vector<std::thread> callers;
            std::vector<std::string> errors(4);
            for (size_t c = 0; c < errors.size(); ++c) {
                callers.emplace_back([&, c] {
                    ++ready;
                    while (ready < static_cast<int>(errors.size())) std::this_thread::yield();
                    try {
                        pool.shutdown();
                    } catch (const std::exception& e) {
                        errors[c] = e.what();
                    }
                });
            }
            for (std::thread& caller : callers) caller.join();
            for (const std::string& error : errors) ASSERT_EQ(error, "") << "round " << round;
            EXPECT_TRUE(pool.is_stopped());
        }
        ASSERT_EQ(done, 6) << "round " << round;
    }
}

TEST(ThreadPool, AJobStoppingItsOwnPoolGetsAnErrorAndThePoolStillCloses) {
    auto pool = std::make_unique<ThreadPool>(1);
    auto result = pool->enqueue([&pool] { pool->shutdown(); });
    try {
        result.get();
        FAIL() << "joining its own worker did not fail";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code(), std::errc::resource_deadlock_would_occur);
    }
    EXPECT_TRUE(pool->is_stopped());
    pool.reset();
}

}  // namespace
