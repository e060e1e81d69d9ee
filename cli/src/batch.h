#pragma once
// Work on several inputs at once, with one progress line on a terminal and messages that
// never tear it.

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

namespace vellari::cli {

// Counts finished items and keeps "[done/total] what" as the last line of a terminal's
// stderr; messages go above it. Without a terminal there is no progress line, only the
// messages. Thread-safe.
class Progress {
public:
    Progress(size_t total, std::string what);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void info(const std::string& message);
    void error(const std::string& message);
    // One more item is done (successfully or not).
    void finished();

private:
    void clearLine();
    void drawLine();

    std::mutex mutex_;
    size_t total_, done_ = 0;
    std::string what_;
    bool terminal_;
};

// Workers to use for `items` items: one per core, at most `requested` when it is
// positive, and never more than there are items.
int workerCount(size_t items, int requested);

// Calls work(worker, item) for every item in 0...count-1 on `workers` threads; each
// worker number (0...workers-1) is used by one thread only, so per-worker state needs no
// lock. An exception from work() is passed to `failed` with its item and the rest go on.
void forEachInParallel(size_t count, int workers, const std::function<void(int worker, size_t item)>& work,
                       const std::function<void(size_t item, const std::string& what)>& failed);

}  // namespace vellari::cli
