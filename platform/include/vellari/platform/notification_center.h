#pragma once
// A process-wide notification centre: observers register for a name and are called
// synchronously, on the posting thread, in the order they were added. Notifications
// carry only their name (no object, no user information).

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vellari {

class NotificationCenter {
public:
    using Observer = std::function<void(const std::string& name)>;
    // Identifies one registration; 0 is never handed out.
    using Token = uint64_t;

    static NotificationCenter& defaultCenter();

    NotificationCenter() = default;
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // Registers `observer` for `name`. An empty callback is refused (returns 0).
    Token addObserver(std::string name, Observer observer);
    // Unregisters; unknown tokens are ignored. When it returns, the observer is not
    // running on any other thread and will not be called again, so its owner may go away.
    // (Called from inside the observer itself, it does not wait for that call.)
    void removeObserver(Token token);
    // Calls every observer of `name` registered when the post starts that is still
    // registered when its turn comes. Observers may post, add and remove observers from
    // inside their call; an exception from an observer propagates to the poster.
    void post(std::string_view name);

    // Observers registered for `name` (for tests and diagnostics).
    size_t observerCount(std::string_view name) const;

private:
    struct Entry {
        Token token;
        std::string name;
        Observer observer;
        int running = 0;  // calls in progress, guarded by mutex_
        bool removed = false;
    };

    mutable std::mutex mutex_;
    std::condition_variable finished_;
    std::vector<std::shared_ptr<Entry>> entries_;
    Token next_ = 1;
};

// Removes its registration when destroyed: for observers owned by an object's lifetime.
class NotificationObservation {
public:
    NotificationObservation() = default;
    NotificationObservation(NotificationCenter& center, std::string name, NotificationCenter::Observer observer)
        : center_(&center), token_(center.addObserver(std::move(name), std::move(observer))) {}
    NotificationObservation(NotificationObservation&& o) noexcept : center_(o.center_), token_(o.token_) {
        o.token_ = 0;
    }
    NotificationObservation& operator=(NotificationObservation&& o) noexcept {
        if (this != &o) {
            reset();
            center_ = o.center_;
            token_ = o.token_;
            o.token_ = 0;
        }
        return *this;
    }
    ~NotificationObservation() { reset(); }

    void reset() {
        if (center_ && token_) center_->removeObserver(token_);
        token_ = 0;
    }
    NotificationCenter::Token token() const { return token_; }

private:
    NotificationCenter* center_ = nullptr;
    NotificationCenter::Token token_ = 0;
};

}  // namespace vellari
