#pragma once
// Filters created by name and configured by input keys ("CIGaussianBlur" with
// "inputRadius"). The built-in ones are registered on first use of the registry; the
// system's own filters register under their class names.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "vellari/platform/image.h"
#include "vellari/platform/values.h"

namespace vellari {

using FloatData = std::shared_ptr<const std::vector<float>>;

struct FilterValue {
    std::variant<std::monostate, double, Vector, Color, Image, FloatData, std::string> v;

    FilterValue() = default;
    FilterValue(double x) : v(x) {}
    FilterValue(int x) : v(double(x)) {}
    FilterValue(unsigned x) : v(double(x)) {}
    FilterValue(long x) : v(double(x)) {}
    FilterValue(Vector x) : v(x) {}
    FilterValue(Color x) : v(x) {}
    FilterValue(Image x) : v(std::move(x)) {}
    FilterValue(FloatData x) : v(std::move(x)) {}
    FilterValue(std::string x) : v(std::move(x)) {}
    FilterValue(const char* x) : v(std::string(x)) {}

    bool isNone() const { return std::holds_alternative<std::monostate>(v); }
    // Typed reads; a value of another type reads as the fallback.
    double number(double fallback = 0) const;
    Vector vector() const;
    Color color() const;
    Image image() const;
    FloatData data() const;
    std::string string() const;
};

class Filter {
public:
    virtual ~Filter() = default;

    const std::string& name() const { return name_; }
    std::vector<std::string> inputKeys() const;
    bool hasInput(const std::string& key) const { return defaults_.count(key) != 0; }

    // Unknown keys are stored too (as the platform's key-value coding would refuse them,
    // callers only use declared keys; keeping them is harmless).
    void setValue(const std::string& key, FilterValue value) { values_[key] = std::move(value); }
    FilterValue value(const std::string& key) const;
    void setDefaults() { values_ = defaults_; }

    // The configured result, or no image (for example without an input image).
    virtual Image outputImage() const = 0;

protected:
    explicit Filter(std::string name) : name_(std::move(name)) {}
    void declareInput(const std::string& key, FilterValue defaultValue = {});
    double number(const std::string& key) const { return value(key).number(); }
    Image image(const std::string& key) const { return value(key).image(); }

private:
    std::string name_;
    std::vector<std::string> keys_;
    std::map<std::string, FilterValue> defaults_;
    std::map<std::string, FilterValue> values_;
};
using FilterPtr = std::shared_ptr<Filter>;

class FilterRegistry {
public:
    using Factory = std::function<FilterPtr()>;
    // Replaces an earlier registration of the same name.
    static void add(const std::string& name, Factory factory);
    // A new filter with its defaults set, or null for an unknown name.
    static FilterPtr create(const std::string& name);
    static std::vector<std::string> names();
};

// Shorthand: filter `name` with `params` on top of its defaults; no image if the filter is
// unknown.
Image applyFilter(const std::string& name, const std::map<std::string, FilterValue>& params);

}  // namespace vellari
