#include "vellari/platform/profile.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace vellari {
namespace {

thread_local std::vector<const char*> scopes;
std::atomic<bool> on{false};
std::mutex mutex;
std::map<std::string, double>& totals() {
    static std::map<std::string, double> t;
    return t;
}

}  // namespace

ProfileLabel::ProfileLabel(const char* name) { scopes.push_back(name); }
ProfileLabel::~ProfileLabel() { scopes.pop_back(); }

namespace RenderProfile {
void enable(bool v) { on.store(v, std::memory_order_relaxed); }
bool enabled() { return on.load(std::memory_order_relaxed); }
std::vector<std::pair<std::string, double>> take() {
    std::lock_guard lock(mutex);
    std::vector<std::pair<std::string, double>> out(totals().begin(), totals().end());
    totals().clear();
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    return out;
}
}  // namespace RenderProfile

namespace detail {
std::string currentProfileLabel() {
    std::string s;
    for (const char* name : scopes) {
        if (!s.empty() && s.size() >= std::char_traits<char>::length(name) &&
            s.compare(s.size() - std::char_traits<char>::length(name), std::string::npos, name) == 0)
            continue;  // the same operation nested in itself
        if (!s.empty()) s += '/';
        s += name;
    }
    return s;
}

void addProfileTime(const std::string& label, double seconds) {
    std::lock_guard lock(mutex);
    totals()[label.empty() ? "(unlabelled)" : label] += seconds;
}
}  // namespace detail

}  // namespace vellari
