#include "vellari/platform/work_pool.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace vellari {

struct WorkPool::State {
    std::mutex mutex;
    std::condition_variable wake, finished;
    std::mutex busy;  // held by the caller whose loop the workers serve
    const std::function<void(int, int)>* fn = nullptr;
    int count = 0;
    int wanted = 0;                 // workers that may join this job
    std::atomic<int> next{0};
    int joined = 0;                 // workers that took part
    int active = 0;                 // workers still inside the job
    unsigned generation = 0;
    std::vector<std::thread> threads;
};

WorkPool& WorkPool::shared() {
    static WorkPool* p = new WorkPool;  // never destroyed: workers live for the process
    return *p;
}

WorkPool::WorkPool() : workers_(std::max(0, int(std::thread::hardware_concurrency()) - 1)), state_(new State) {
    for (int w = 0; w < workers_; ++w) {
        state_->threads.emplace_back([this] {
            State& s = *state_;
            unsigned seen = 0;
            std::unique_lock lock(s.mutex);
            for (;;) {
                s.wake.wait(lock, [&] { return s.generation != seen; });
                seen = s.generation;
                if (s.joined >= s.wanted || !s.fn) continue;
                const int me = ++s.joined;  // participant index, 1..
                ++s.active;
                const auto* fn = s.fn;
                const int count = s.count;
                lock.unlock();
                for (int i; (i = s.next.fetch_add(1)) < count;) (*fn)(me, i);
                lock.lock();
                if (--s.active == 0) s.finished.notify_all();
            }
        });
        state_->threads.back().detach();
    }
}

void WorkPool::parallelFor(int count, int maxThreads, const std::function<void(int, int)>& fn) {
    if (count <= 0) return;
    State& s = *state_;
    const int helpers = std::min({workers_, std::max(0, maxThreads - 1), count - 1});
    std::unique_lock busy(s.busy, std::try_to_lock);
    if (helpers <= 0 || !busy.owns_lock()) {
        for (int i = 0; i < count; ++i) fn(0, i);
        return;
    }
    {
        std::lock_guard lock(s.mutex);
        s.fn = &fn;
        s.count = count;
        s.wanted = helpers;
        s.joined = 0;
        s.active = 0;
        s.next.store(0);
        ++s.generation;
    }
    s.wake.notify_all();
    for (int i; (i = s.next.fetch_add(1)) < count;) fn(0, i);
    std::unique_lock lock(s.mutex);
    // Workers that have not woken yet must not join a finished job.
    s.wanted = s.joined;
    s.finished.wait(lock, [&] { return s.active == 0; });
    s.fn = nullptr;
}

}  // namespace vellari
