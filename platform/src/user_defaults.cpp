#include "vellari/platform/user_defaults.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include <spdlog/spdlog.h>

namespace vellari {

namespace fs = std::filesystem;

namespace {

std::string lowercase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::optional<int64_t> parseInteger(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    int64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

std::optional<double> parseReal(std::string_view s) {
    if (!s.empty() && s.front() == '+') s.remove_prefix(1);
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
    return v;
}

std::optional<bool> parseBool(std::string_view s) {
    const std::string l = lowercase(s);
    if (l == "yes" || l == "true") return true;
    if (l == "no" || l == "false") return false;
    if (auto i = parseInteger(l)) return *i != 0;
    if (auto d = parseReal(l)) return *d != 0.0;
    return std::nullopt;
}

bool anyValue(const PlistValue&) { return true; }
bool boolUsable(const PlistValue& v) { return v.isNumber() || (v.isString() && parseBool(v.string())); }
bool integerUsable(const PlistValue& v) {
    if (v.isBoolean() || v.isInteger()) return true;
    if (v.isReal()) return std::isfinite(v.number()) && std::abs(v.number()) < 9.2e18;
    return v.isString() && (parseInteger(v.string()) || parseReal(v.string()));
}
bool realUsable(const PlistValue& v) { return v.isNumber() || (v.isString() && parseReal(v.string())); }
bool stringUsable(const PlistValue& v) { return v.isString(); }
bool dateUsable(const PlistValue& v) { return v.isDate(); }

std::string utcStamp() {
    const std::time_t t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y%m%dT%H%M%SZ", &tm);
    return buf;
}

// Temporary siblings left by a write that never reached its rename (a crash or power
// loss). Only old ones go: a younger one may belong to another process writing now.
void removeStaleTemporaries(const fs::path& file) {
    std::error_code ec;
    const fs::path dir = file.parent_path().empty() ? fs::path(".") : file.parent_path();
    const std::string prefix = "." + file.filename().string() + ".tmp-";
    const auto cutoff = fs::file_time_type::clock::now() - std::chrono::hours(1);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.rfind(prefix, 0) != 0) continue;
        std::error_code e2;
        if (!it->is_regular_file(e2) || e2) continue;
        const auto when = it->last_write_time(e2);
        if (!e2 && when < cutoff) fs::remove(it->path(), e2);
    }
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    static UserDefaults* store = new UserDefaults(standardPath());
    return *store;
}

std::string UserDefaults::standardPath() {
    fs::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg && fs::path(xdg).is_absolute()) {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        std::string h = home && *home ? home : "";
        if (h.empty()) {
            if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) h = pw->pw_dir;
        }
        base = fs::path(h.empty() ? "." : h) / ".config";
    }
    return (base / "vellari" / "settings.plist").string();
}

UserDefaults::UserDefaults(std::string path) : path_(std::move(path)) { load(); }

UserDefaults::~UserDefaults() { persist(); }

void UserDefaults::load() {
    std::error_code ec;
    const fs::path file(path_);
    removeStaleTemporaries(file);
    const auto status = fs::symlink_status(file, ec);
    if (ec || !fs::exists(status)) return;  // a fresh store

    std::string why;
    if (fs::is_regular_file(fs::status(file, ec))) {
        if (auto root = readPlistFile(path_, &why)) {
            if (const PlistDictionary* dict = root->dictionary()) {
                values_ = *dict;
                return;
            }
            why = path_ + ": the root is not a dictionary";
        }
    } else {
        why = path_ + ": not a regular file";
    }

    // Keep the unreadable file for inspection rather than overwriting it on the next write.
    std::string aside = path_ + ".corrupt-" + utcStamp();
    for (int n = 2; fs::exists(fs::symlink_status(aside, ec)) && n < 1000; ++n)
        aside = path_ + ".corrupt-" + utcStamp() + "-" + std::to_string(n);
    fs::rename(file, aside, ec);
    if (ec) {
        spdlog::warn("Settings store {} cannot be read ({}) nor set aside ({}); starting with defaults",
                     path_, why, ec.message());
        return;
    }
    setAside_ = aside;
    spdlog::warn("Settings store cannot be read ({}); moved to {} and starting with defaults", why, aside);
}

void UserDefaults::registerDefaults(const PlistDictionary& defaults) {
    std::lock_guard lock(mutex_);
    for (const auto& [k, v] : defaults) registered_.insert_or_assign(k, v);
}

std::optional<PlistValue> UserDefaults::lookup(std::string_view key, bool (*usable)(const PlistValue&)) const {
    std::lock_guard lock(mutex_);
    if (auto it = values_.find(key); it != values_.end() && usable(it->second)) return it->second;
    if (auto it = registered_.find(key); it != registered_.end() && usable(it->second)) return it->second;
    return std::nullopt;
}

std::optional<PlistValue> UserDefaults::objectForKey(std::string_view key) const { return lookup(key, anyValue); }

bool UserDefaults::boolForKey(std::string_view key) const {
    auto v = lookup(key, boolUsable);
    if (!v) return false;
    if (v->isString()) return parseBool(v->string()).value_or(false);
    return v->boolean();
}

int64_t UserDefaults::integerForKey(std::string_view key) const {
    auto v = lookup(key, integerUsable);
    if (!v) return 0;
    if (v->isString()) {
        const std::string s = v->string();
        if (auto i = parseInteger(s)) return *i;
        return PlistValue(parseReal(s).value_or(0.0)).integer(0);
    }
    return v->integer(0);
}

double UserDefaults::doubleForKey(std::string_view key) const {
    auto v = lookup(key, realUsable);
    if (!v) return 0.0;
    if (v->isString()) return parseReal(v->string()).value_or(0.0);
    return v->number(0.0);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
    auto v = lookup(key, stringUsable);
    if (!v) return std::nullopt;
    return v->string();
}

std::optional<PlistDate> UserDefaults::dateForKey(std::string_view key) const {
    auto v = lookup(key, dateUsable);
    if (!v) return std::nullopt;
    return v->date();
}

bool UserDefaults::hasStoredValue(std::string_view key) const {
    std::lock_guard lock(mutex_);
    return values_.find(key) != values_.end();
}

bool UserDefaults::set(std::string_view key, PlistValue value) {
    {
        std::lock_guard lock(mutex_);
        values_.insert_or_assign(std::string(key), std::move(value));
        ++generation_;
    }
    return persist();
}

bool UserDefaults::setValues(const PlistDictionary& values) {
    {
        std::lock_guard lock(mutex_);
        for (const auto& [k, v] : values) values_.insert_or_assign(k, v);
        ++generation_;
    }
    return persist();
}

bool UserDefaults::removeObject(std::string_view key) {
    {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        if (it == values_.end()) return generation_ == savedGeneration_;
        values_.erase(it);
        ++generation_;
    }
    return persist();
}

bool UserDefaults::removeObjects(const std::vector<std::string>& keys) {
    {
        std::lock_guard lock(mutex_);
        bool changed = false;
        for (const auto& k : keys) changed |= values_.erase(k) > 0;
        if (!changed) return generation_ == savedGeneration_;
        ++generation_;
    }
    return persist();
}

bool UserDefaults::synchronize() { return persist(); }

bool UserDefaults::persist() {
    // Writers queue on writeMutex_ so snapshots reach the file in order; the data lock is
    // held only to copy, so readers on the frame thread never wait for the disk.
    std::lock_guard writing(writeMutex_);
    PlistDictionary snapshot;
    uint64_t generation;
    {
        std::lock_guard lock(mutex_);
        if (generation_ == savedGeneration_) return true;
        snapshot = values_;
        generation = generation_;
    }

    std::error_code ec;
    const fs::path parent = fs::path(path_).parent_path();
    if (!parent.empty()) fs::create_directories(parent, ec);
    std::string error = ec ? path_ + ": " + ec.message() : writePlistFile(PlistValue(std::move(snapshot)), path_);

    std::lock_guard lock(mutex_);
    if (!error.empty()) {
        if (!warnedWriteFailure_) spdlog::warn("Settings could not be saved: {}", error);
        warnedWriteFailure_ = true;
        return false;
    }
    if (warnedWriteFailure_) spdlog::info("Settings saved again to {}", path_);
    warnedWriteFailure_ = false;
    savedGeneration_ = generation;
    return true;
}

PlistDictionary UserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    return values_;
}

PlistDictionary UserDefaults::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    PlistDictionary merged = values_;
    for (const auto& [k, v] : registered_) merged.emplace(k, v);
    return merged;
}

std::string UserDefaults::setAsidePath() const {
    std::lock_guard lock(mutex_);
    return setAside_;
}

}  // namespace vellari
