#pragma once
// Where render time goes. Operations that build images open a label scope; every recipe
// node created inside takes the scopes' names ("lines/CIGaussianBlur"). With profiling on,
// rendering adds each node's own time (its inputs' time taken off) to its label, summed
// over all threads, so stages can be ranked.

#include <string>
#include <utility>
#include <vector>

namespace vellari {

// Names the recipe nodes made while it lives, nested inside any enclosing scope's name.
class ProfileLabel {
public:
    explicit ProfileLabel(const char* name);
    ~ProfileLabel();
    ProfileLabel(const ProfileLabel&) = delete;
    ProfileLabel& operator=(const ProfileLabel&) = delete;
};

namespace RenderProfile {
void enable(bool on);
bool enabled();
// Seconds of thread time by label since the last call, most expensive first.
std::vector<std::pair<std::string, double>> take();
}  // namespace RenderProfile

namespace detail {
std::string currentProfileLabel();
void addProfileTime(const std::string& label, double seconds);
}  // namespace detail

}  // namespace vellari
