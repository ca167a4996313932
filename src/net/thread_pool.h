#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

// A fixed set of worker threads running queued jobs in queue order. Each job hands its
// result, or the exception it raised, to the future returned by enqueue.
class ThreadPool {
public:
    explicit ThreadPool(size_t threads);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    // Throws std::runtime_error("enqueue on stopped ThreadPool") once shutdown has begun;
    // nothing is queued then.
    template <class F, class... Args>
    auto enqueue(F&& f, Args&&... args) -> std::future<std::invoke_result_t<F, Args...>>;

    bool is_stopped() const { return stop.load(); }

    // Stops accepting jobs, lets the workers finish everything already queued and joins
    // them. Any other call, also one made at the same time from another thread, returns
    // at once.
    void shutdown();

private:
    void worker_loop();

    std::vector<std::thread> workers;
    std::deque<std::function<void()>> tasks;
    std::mutex queue_mutex;
    std::condition_variable condition;
    std::atomic<bool> stop{false};
};

template <class F, class... Args>
auto ThreadPool::enqueue(F&& f, Args&&... args) -> std::future<std::invoke_result_t<F, Args...>> {
    using Result = std::invoke_result_t<F, Args...>;
    // Shared so that the copyable queue entry can own the move-only task.
    auto task = std::make_shared<std::packaged_task<Result()>>(
        std::bind(std::forward<F>(f), std::forward<Args>(args)...));
    std::future<Result> result = task->get_future();
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (stop) throw std::runtime_error("enqueue on stopped ThreadPool");
        tasks.emplace_back([task] { (*task)(); });
    }
    condition.notify_one();
    return result;
}
