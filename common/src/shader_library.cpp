#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>

#include "vellari/common/core_image_utilities.h"

namespace vellari {
namespace {

struct ShaderLibraryState {
    std::mutex mutex;
    bool loaded = false;
    std::set<std::string> names;                // what the library data lists
    std::map<std::string, KernelPtr> kernels;   // loaded so far; failures are not stored
};

ShaderLibraryState& state() {
    static auto* s = new ShaderLibraryState;
    return *s;
}

void parseLibrary(const std::string& text, std::set<std::string>& names) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.pop_back();
        size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        names.insert(line.substr(start));
    }
}

}  // namespace

KernelPtr QXShaderLibrary::kernelNamed(const std::string& name, const Bundle& bundle) {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    if (auto it = s.kernels.find(name); it != s.kernels.end()) return it->second;
    if (!s.loaded) {
        // The first bundle that asks decides the library for the rest of the process.
        auto text = bundle.textForResource("default", "metallib");
        if (!text) return nullptr;  // tried again next time
        parseLibrary(*text, s.names);
        s.loaded = true;
    }
    if (!s.names.count(name)) return nullptr;
    KernelPtr k = KernelRegistry::find(name);
    if (k) s.kernels[name] = k;
    return k;
}

Image QXShaderLibrary::apply(const std::string& name, const Rect& rect, const std::vector<KernelArg>& args,
                             const Bundle& bundle) {
    KernelPtr k = kernelNamed(name, bundle);
    if (!k) return {};
    return applyKernel(k, rect, args);
}

void QXShaderLibrary::resetForTesting() {
    auto& s = state();
    std::lock_guard lock(s.mutex);
    s.loaded = false;
    s.names.clear();
    s.kernels.clear();
}

Rect firstImageExtent(const std::vector<KernelArg>& args) {
    for (const auto& a : args)
        if (auto img = std::get_if<Image>(&a)) return img->extent();
    return Rect::null();
}

}  // namespace vellari
