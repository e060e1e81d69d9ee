#include "batch.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <thread>
#include <vector>

#include <spdlog/spdlog.h>

namespace vellari::cli {

Progress::Progress(size_t total, std::string what)
    : total_(total), what_(std::move(what)), terminal_(::isatty(STDERR_FILENO) == 1) {
    std::lock_guard lock(mutex_);
    drawLine();
}

Progress::~Progress() {
    std::lock_guard lock(mutex_);
    clearLine();
}

void Progress::clearLine() {
    if (!terminal_) return;
    spdlog::default_logger()->flush();
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
}

void Progress::drawLine() {
    if (!terminal_ || total_ == 0) return;
    std::fprintf(stderr, "[%zu/%zu] %s", done_, total_, what_.c_str());
    std::fflush(stderr);
}

void Progress::info(const std::string& message) {
    std::lock_guard lock(mutex_);
    clearLine();
    spdlog::info("{}", message);
    spdlog::default_logger()->flush();
    drawLine();
}

void Progress::error(const std::string& message) {
    std::lock_guard lock(mutex_);
    clearLine();
    spdlog::error("{}", message);
    spdlog::default_logger()->flush();
    drawLine();
}

void Progress::finished() {
    std::lock_guard lock(mutex_);
    ++done_;
    clearLine();
    drawLine();
}

int workerCount(size_t items, int requested) {
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    int n = requested > 0 ? std::min(requested, cores) : cores;
    n = int(std::min<size_t>(size_t(n), std::max<size_t>(items, 1)));
    return std::max(n, 1);
}

void forEachInParallel(size_t count, int workers, const std::function<void(int, size_t)>& work,
                       const std::function<void(size_t, const std::string&)>& failed) {
    std::atomic<size_t> next{0};
    auto loop = [&](int worker) {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            try {
                work(worker, i);
            } catch (const std::exception& e) {
                failed(i, e.what());
            } catch (...) {
                failed(i, "unexpected failure");
            }
        }
    };
    workers = std::max(1, workers);
    std::vector<std::thread> threads;
    threads.reserve(size_t(workers - 1));
    for (int w = 1; w < workers; ++w) threads.emplace_back(loop, w);
    loop(0);
    for (auto& t : threads) t.join();
}

}  // namespace vellari::cli
