#include "vellari/platform/bundle.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

#include <spdlog/spdlog.h>

#include "vellari/platform/picture.h"
#include "vellari/platform/plist.h"

#ifndef VELLARI_INSTALL_RESOURCES
#define VELLARI_INSTALL_RESOURCES "/usr/local/share/vellari/resources"
#endif

namespace vellari {

namespace fs = std::filesystem;

namespace {

std::string executableDir() {
    std::error_code ec;
    fs::path exe = fs::read_symlink("/proc/self/exe", ec);
    if (ec || exe.empty()) return {};
    return exe.parent_path().string();
}

bool isDirectory(const std::string& p) {
    std::error_code ec;
    return !p.empty() && fs::is_directory(p, ec);
}

// Resource names are relative paths inside the bundle; anything that could leave it is
// refused (no absolute names, no ".." components).
bool safeName(const std::string& name) {
    if (name.empty() || name.front() == '/' || name.find('\0') != std::string::npos) return false;
    for (const auto& part : fs::path(name))
        if (part == "..") return false;
    return true;
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

}  // namespace

std::vector<std::string> Bundle::searchLocations() {
    std::vector<std::string> out;
    if (const char* env = std::getenv("VELLARI_RESOURCES"); env && *env) out.emplace_back(env);
    if (std::string dir = executableDir(); !dir.empty()) {
        out.push_back((fs::path(dir) / "resources").string());
        out.push_back((fs::path(dir) / ".." / "share" / "vellari" / "resources").lexically_normal().string());
    }
    out.emplace_back(VELLARI_INSTALL_RESOURCES);
    return out;
}

const Bundle& Bundle::main() {
    static const Bundle bundle = [] {
        const auto locations = searchLocations();
        if (const char* env = std::getenv("VELLARI_RESOURCES"); env && *env && !isDirectory(env))
            spdlog::warn("VELLARI_RESOURCES={} is not a folder; looking elsewhere", env);
        for (const auto& l : locations)
            if (isDirectory(l)) return Bundle(l);
        std::string tried;
        for (const auto& l : locations) tried += (tried.empty() ? "" : ", ") + l;
        spdlog::warn("no resources folder found (looked in {})", tried);
        return Bundle(std::string());
    }();
    return bundle;
}

std::optional<std::string> Bundle::pathForResource(const std::string& name, const std::string& type) const {
    if (!valid() || !safeName(name)) return std::nullopt;
    const fs::path base = fs::path(root_) / name;
    if (!type.empty()) {
        const std::string ext = type.front() == '.' ? type : "." + type;
        fs::path p = base;
        p += ext;
        if (present(p)) return p.string();
        return std::nullopt;
    }
    if (present(base)) return base.string();

    // No extension given: the first (in name order) regular file called name.<anything>.
    const fs::path dir = base.parent_path();
    const std::string prefix = base.filename().string() + ".";
    std::error_code ec;
    std::vector<std::string> matches;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string file = it->path().filename().string();
        if (file.size() > prefix.size() && file.compare(0, prefix.size(), prefix) == 0 &&
            it->is_regular_file(ec))
            matches.push_back(file);
    }
    if (matches.empty()) return std::nullopt;
    return (dir / *std::min_element(matches.begin(), matches.end())).string();
}

std::optional<std::vector<uint8_t>> Bundle::dataForResource(const std::string& name, const std::string& type) const {
    auto path = pathForResource(name, type);
    if (!path) return std::nullopt;
    return readFileBytes(*path);
}

std::optional<std::string> Bundle::textForResource(const std::string& name, const std::string& type) const {
    auto data = dataForResource(name, type);
    if (!data) return std::nullopt;
    return std::string(data->begin(), data->end());
}

std::string Bundle::localizedString(const std::string& key, const std::string& table) const {
    static std::mutex mutex;
    static std::map<std::pair<std::string, std::string>, PlistDictionary> tables;
    std::lock_guard lock(mutex);
    auto slot = tables.find({root_, table});
    if (slot == tables.end()) {
        PlistDictionary entries;
        if (auto path = pathForResource(table, "strings")) {
            std::string error;
            auto value = readPlistFile(*path, &error);
            if (value && value->dictionary())
                entries = *value->dictionary();
            else
                spdlog::warn("String table {}: {}", *path, value ? "not a dictionary" : error);
        }
        slot = tables.emplace(std::pair{root_, table}, std::move(entries)).first;
    }
    const PlistValue* text = nullptr;
    if (auto it = slot->second.find(key); it != slot->second.end()) text = &it->second;
    return text && text->isString() ? text->string() : key;
}

std::string localizedString(const std::string& key, const std::string& table) {
    return Bundle::main().localizedString(key, table);
}

std::string formatObjects(const std::string& format, const std::vector<std::string>& arguments) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == '%') {
                out += '%';
                ++i;
                continue;
            }
            if (format[i + 1] == '@' && next < arguments.size()) {
                out += arguments[next++];
                ++i;
                continue;
            }
        }
        out += format[i];
    }
    return out;
}

}  // namespace vellari
