#pragma once
// The application bundle: the resources/ folder, found through $VELLARI_RESOURCES, next
// to the executable, or in the install prefix. Resource names are used exactly as given,
// sub-folders, spaces and "^" included ("LUTs/Diamond v08-32^3-64^20-25%.png").

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vellari {

class Bundle {
public:
    explicit Bundle(std::string root) : root_(std::move(root)) {}

    // The application's bundle; its root is empty when none could be found.
    static const Bundle& main();
    // Where main() looks, in order (for error messages and tests).
    static std::vector<std::string> searchLocations();

    const std::string& root() const { return root_; }
    bool valid() const { return !root_.empty(); }

    // Path of resource `name` with extension `type` (empty type: the name as it stands,
    // or the name with any extension when it has none). Nullopt when absent.
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type = "") const;
    std::optional<std::vector<uint8_t>> dataForResource(const std::string& name, const std::string& type = "") const;
    std::optional<std::string> textForResource(const std::string& name, const std::string& type = "") const;

    // The text for `key` in string table `table` (the resource "<table>.strings", an XML
    // property list of key → text); the key itself when the table or the entry is missing.
    // Tables are read once per bundle and table name.
    std::string localizedString(const std::string& key, const std::string& table = "Localizable") const;

private:
    std::string root_;
};

// The main bundle's text for `key` (see Bundle::localizedString).
std::string localizedString(const std::string& key, const std::string& table = "Localizable");

// Replaces each "%@" of `format` in turn by the next argument ("%%" gives "%"); missing
// arguments leave the rest of the format as written.
std::string formatObjects(const std::string& format, const std::vector<std::string>& arguments);

}  // namespace vellari
