// The batch calls' thread pool: native threads started per call, the calling
// thread working beside them, tasks taken from one shared counter.
#include <sched.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "orv/batch.hpp"

namespace orv {

int32_t usable_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
    const unsigned hw = std::thread::hardware_concurrency();
    return hw > 0 ? int32_t(hw) : 1;
}

void parallel_for(int64_t tasks, int32_t threads, const std::function<void(int64_t)>& body) {
    std::atomic<int64_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;
    std::mutex error_lock;
    auto work = [&] {
        for (int64_t t; !failed.load(std::memory_order_relaxed) && (t = next++) < tasks;) {
            try {
                body(t);
            } catch (...) {
                std::lock_guard<std::mutex> hold(error_lock);
                if (!error) error = std::current_exception();
                failed = true;
            }
        }
    };
    const int64_t extra = std::min<int64_t>(std::max(threads, 1), tasks) - 1;
    std::vector<std::thread> pool;
    try {
        for (int64_t i = 0; i < extra; ++i) pool.emplace_back(work);
    } catch (...) {
        // No thread to spare: the ones started and this one do the work.
    }
    work();
    for (std::thread& t : pool) t.join();
    if (error) std::rethrow_exception(error);
}

}  // namespace orv
