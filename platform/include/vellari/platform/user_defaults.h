#pragma once
// The user-defaults store: a persistent key-value store of property-list values with a
// registration domain of defaults that is never written to disk.
//
// The store is one XML property-list file (a dictionary at its root). Every change is
// written through at once, atomically (a temporary sibling renamed over the file), so a
// crash mid-write leaves the previous file intact. A file that cannot be read or is not
// a dictionary is renamed aside ("<name>.corrupt-<UTC time>") with a warning, and the
// store starts empty so the registered defaults apply.
//
// Reads fall back in turn: the stored value when it has a usable type, then the
// registered default, then 0, false or nothing. All members are thread-safe; readers
// never wait for a disk write.

#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vellari/platform/plist.h"

namespace vellari {

class UserDefaults {
public:
    // The process-wide store at standardPath(); created on first use and never destroyed,
    // so it stays valid during static destruction.
    static UserDefaults& standard();
    // "$XDG_CONFIG_HOME/vellari/settings.plist" (an absolute $XDG_CONFIG_HOME only), else
    // "$HOME/.config/vellari/settings.plist".
    static std::string standardPath();

    // A store kept in `path`; the file and its folder are created on the first write.
    explicit UserDefaults(std::string path);
    // Makes a last attempt at any write that failed earlier.
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    const std::string& path() const { return path_; }

    // Adds `defaults` to the registration domain; a key registered again takes the new
    // value. Registered values are never written to the file.
    void registerDefaults(const PlistDictionary& defaults);

    // Stored value, else registered default, else nothing.
    std::optional<PlistValue> objectForKey(std::string_view key) const;
    // Booleans, numbers (not zero) and the strings "YES"/"true"/"1" (any case) read as true.
    bool boolForKey(std::string_view key) const;
    // Numbers (reals truncated) and decimal strings; 0 otherwise.
    int64_t integerForKey(std::string_view key) const;
    double doubleForKey(std::string_view key) const;
    std::optional<std::string> stringForKey(std::string_view key) const;
    std::optional<PlistDate> dateForKey(std::string_view key) const;

    // Whether a value is stored (registered defaults do not count).
    bool hasStoredValue(std::string_view key) const;

    // Stores `value` and writes the file. Returns false when the write failed; the value
    // is kept in memory and the next write or synchronize() tries again.
    bool set(std::string_view key, PlistValue value);
    // Stores several values with one write.
    bool setValues(const PlistDictionary& values);
    // Removes the stored value, so the registered default applies again.
    bool removeObject(std::string_view key);
    // Removes several keys with one write.
    bool removeObjects(const std::vector<std::string>& keys);

    // Writes any change that has not reached the file yet; true when the file is current.
    bool synchronize();

    // The stored values only / the stored values over the registered defaults.
    PlistDictionary persistentDomain() const;
    PlistDictionary dictionaryRepresentation() const;

    // Where a file set aside at load went (empty when none was), for messages and tests.
    std::string setAsidePath() const;

private:
    void load();
    std::optional<PlistValue> lookup(std::string_view key, bool (*usable)(const PlistValue&)) const;
    bool persist();

    std::string path_;
    mutable std::mutex mutex_;  // guards the members below
    PlistDictionary values_;
    PlistDictionary registered_;
    uint64_t generation_ = 0;      // bumped by every change
    uint64_t savedGeneration_ = 0;  // the generation the file holds
    std::string setAside_;
    bool warnedWriteFailure_ = false;
    std::mutex writeMutex_;  // orders file writes; taken before mutex_, never inside it
};

}  // namespace vellari
