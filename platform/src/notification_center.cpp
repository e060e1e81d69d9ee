#include "vellari/platform/notification_center.h"

#include <algorithm>

namespace vellari {

namespace {
// The observers this thread is inside right now (nested posts push more than one), so
// that removing one of them from within does not wait for itself.
thread_local std::vector<const void*> runningHere;
}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter();  // outlives static destructors
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Observer observer) {
    if (!observer) return 0;
    auto entry = std::make_shared<Entry>();
    entry->name = std::move(name);
    entry->observer = std::move(observer);
    std::lock_guard lock(mutex_);
    entry->token = next_++;
    entries_.push_back(entry);
    return entry->token;
}

void NotificationCenter::removeObserver(Token token) {
    Observer released;
    {
        std::unique_lock lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->token == token; });
        if (it == entries_.end()) return;
        std::shared_ptr<Entry> entry = *it;
        entries_.erase(it);
        entry->removed = true;
        const auto own = std::count(runningHere.begin(), runningHere.end(), entry.get());
        finished_.wait(lock, [&] { return entry->running <= own; });
        // Nobody can call it any more; drop what it captured now rather than whenever the
        // last in-flight post lets go of the entry.
        if (own == 0) released = std::move(entry->observer);
    }
}

void NotificationCenter::post(std::string_view name) {
    std::vector<std::shared_ptr<Entry>> targets;
    {
        std::lock_guard lock(mutex_);
        for (const auto& e : entries_)
            if (e->name == name) targets.push_back(e);
    }
    if (targets.empty()) return;
    const std::string posted(name);
    for (const auto& e : targets) {
        {
            std::lock_guard lock(mutex_);
            if (e->removed) continue;
            ++e->running;
        }
        struct Leave {
            NotificationCenter* self;
            Entry* entry;
            ~Leave() {
                runningHere.pop_back();
                {
                    std::lock_guard lock(self->mutex_);
                    --entry->running;
                }
                self->finished_.notify_all();
            }
        };
        runningHere.push_back(e.get());
        Leave leave{this, e.get()};
        e->observer(posted);
    }
}

size_t NotificationCenter::observerCount(std::string_view name) const {
    std::lock_guard lock(mutex_);
    return size_t(std::count_if(entries_.begin(), entries_.end(), [&](const auto& e) { return e->name == name; }));
}

}  // namespace vellari
