#pragma once
// A process-wide pool of worker threads for data-parallel loops. Workers sleep while
// idle (no spinning: the live pipeline shares the cores with decoding and display).

#include <functional>

namespace vellari {

class WorkPool {
public:
    static WorkPool& shared();
    // Participants, the calling thread included.
    int size() const { return workers_ + 1; }

    // Runs fn(participant, i) for i in [0, count) on up to `maxThreads` participants and
    // returns when all are done. participant is 0 for the caller, unique within the call.
    // A call made while the pool is busy (another thread's loop, or a nested loop) runs
    // on its own thread alone.
    void parallelFor(int count, int maxThreads, const std::function<void(int participant, int i)>& fn);

private:
    WorkPool();
    int workers_;
    struct State;
    State* state_;
};

}  // namespace vellari
