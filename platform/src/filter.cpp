#include "vellari/platform/filter.h"

#include <mutex>

#include "builtin_filters.h"
#include "vellari/platform/profile.h"

namespace vellari {

double FilterValue::number(double fallback) const {
    if (auto p = std::get_if<double>(&v)) return *p;
    return fallback;
}
Vector FilterValue::vector() const {
    if (auto p = std::get_if<Vector>(&v)) return *p;
    if (auto p = std::get_if<Color>(&v)) return Vector{p->r, p->g, p->b, p->a};
    return {};
}
Color FilterValue::color() const {
    if (auto p = std::get_if<Color>(&v)) return *p;
    if (auto p = std::get_if<Vector>(&v)) return Color{(*p)[0], (*p)[1], (*p)[2], p->count > 3 ? (*p)[3] : 1.0};
    return {};
}
Image FilterValue::image() const {
    if (auto p = std::get_if<Image>(&v)) return *p;
    return {};
}
FloatData FilterValue::data() const {
    if (auto p = std::get_if<FloatData>(&v)) return *p;
    return {};
}
std::string FilterValue::string() const {
    if (auto p = std::get_if<std::string>(&v)) return *p;
    return {};
}

std::vector<std::string> Filter::inputKeys() const { return keys_; }

FilterValue Filter::value(const std::string& key) const {
    auto it = values_.find(key);
    return it == values_.end() ? FilterValue{} : it->second;
}

void Filter::declareInput(const std::string& key, FilterValue defaultValue) {
    if (!defaults_.count(key)) keys_.push_back(key);
    defaults_[key] = defaultValue;
    values_[key] = std::move(defaultValue);
}

namespace {
struct Registry {
    std::mutex mutex;
    std::map<std::string, FilterRegistry::Factory> factories;
};
Registry& storage() {
    static Registry* r = new Registry;  // never destroyed: filters may be created at exit
    return *r;
}
// Built-ins register through add(), so this must not hold the registry lock.
Registry& withBuiltins() {
    static std::once_flag once;
    std::call_once(once, [] { detail::registerBuiltinFilters(); });
    return storage();
}
}  // namespace

void FilterRegistry::add(const std::string& name, Factory factory) {
    Registry& r = storage();
    std::lock_guard lock(r.mutex);
    r.factories[name] = std::move(factory);
}

FilterPtr FilterRegistry::create(const std::string& name) {
    Factory f;
    {
        Registry& r = withBuiltins();
        std::lock_guard lock(r.mutex);
        auto it = r.factories.find(name);
        if (it == r.factories.end()) return nullptr;
        f = it->second;
    }
    FilterPtr filter = f();
    if (filter) filter->setDefaults();
    return filter;
}

std::vector<std::string> FilterRegistry::names() {
    Registry& r = withBuiltins();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> out;
    for (auto& [k, _] : r.factories) out.push_back(k);
    return out;
}

Image applyFilter(const std::string& name, const std::map<std::string, FilterValue>& params) {
    FilterPtr f = FilterRegistry::create(name);
    if (!f) return {};
    for (auto& [k, v] : params) f->setValue(k, v);
    ProfileLabel label(name.c_str());
    return f->outputImage();
}

}  // namespace vellari
