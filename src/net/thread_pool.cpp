#include "net/thread_pool.h"

ThreadPool::ThreadPool(size_t threads) {
    workers.reserve(threads);
    try {
        for (size_t i = 0; i < threads; ++i) workers.emplace_back([this] { worker_loop(); });
    } catch (...) {
        // Workers already started must not outlive a pool that failed to construct.
        shutdown();
        throw;
    }
}

ThreadPool::~ThreadPool() {
    shutdown();
    // A shutdown that failed part-way (a job stopping its own pool cannot join its own
    // worker) leaves joinable threads, and destroying those would end the process.
    for (std::thread& worker : workers) {
        if (!worker.joinable()) continue;
        if (worker.get_id() == std::this_thread::get_id()) {
            worker.detach();
        } else {
            worker.join();
        }
    }
}

void ThreadPool::worker_loop() {
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lock(queue_mutex);
            condition.wait(lock, [this] { return stop || !tasks.empty(); });
            if (stop && tasks.empty()) return;
            task = std::move(tasks.front());
            tasks.pop_front();
        }
        // A packaged task keeps the job's exception in its future, so it never ends us.
        task();
    }
}

void ThreadPool::shutdown() {
    {
        // Tested and set under the lock: of two callers at once, only the one that stops
        // the pool joins the workers.
        std::lock_guard<std::mutex> lock(queue_mutex);
        if (stop) return;
        stop = true;
    }
    condition.notify_all();
    for (std::thread& worker : workers) worker.join();
}
