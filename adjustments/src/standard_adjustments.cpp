#include "vellari/adjustments/standard_adjustments.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string_view>

namespace vellari {
namespace {

using T = AdjustmentType;
using S = AdjustmentStage;

constexpr std::string_view kSecondarySuffix = ".secondaryValue";
constexpr std::string_view kStageSuffix = ".stage";

struct ListEntry {
    T type;
    S stage;
    bool hasUI;
};
// The fixed list: what the style reads first, then the pre-style and post-style
// corrections, then the washes (the two preset-only ones hidden from the panel).
constexpr ListEntry kList[] = {
    {T::lines, S::custom, true},
    {T::linesNoiseReduction, S::custom, true},
    {T::shadows, S::custom, true},
    {T::flatness, S::custom, true},
    {T::brightness, S::pre, true},
    {T::contrast, S::pre, true},
    {T::blackPoint, S::pre, true},
    {T::whitePoint, S::pre, true},
    {T::saturation, S::post, true},
    {T::vibrance, S::post, true},
    {T::temperature, S::post, true},
    {T::tint, S::post, true},
    {T::shadowColor, S::pre, true},
    {T::highlightColor, S::pre, true},
    {T::shadowColorForFilter, S::pre, false},
    {T::highlightColorForFilter, S::pre, false},
};

// Style data may carry anything; a colour index beyond this is nonsense, and bounding it
// keeps the sum of two indexes from overflowing.
constexpr int64_t kColorIndexBound = 1'000'000;

std::mutex& factoryMutex() {
    static std::mutex m;
    return m;
}
AdjustmentsPanelFactory& panelFactory() {
    static AdjustmentsPanelFactory f;
    return f;
}

// The integer part of a float, or nothing when it has none that fits (NaN, huge values).
std::optional<int64_t> truncated(float v) {
    if (!std::isfinite(v) || std::fabs(v) > 9.0e18f) return std::nullopt;
    return int64_t(v);
}

}  // namespace

// --- one adjustment

QXFilterStandardAdjustmentsFilter::QXFilterStandardAdjustmentsFilter(AdjustmentType t, AdjustmentStage s,
                                                                     bool isImageCaptureAutoDenoise)
    : type(t),
      stage(s),
      value(defaultValue(t, isImageCaptureAutoDenoise)),
      secondaryValue(defaultSecondaryValue(t)) {}

std::optional<std::string> QXFilterStandardAdjustmentsFilter::colorName() const {
    if (!isUserColorType(type) || !std::isfinite(value)) return std::nullopt;
    // Truncation towards zero: -0.5 is index 0, as a cast of the float would give.
    const float whole = std::trunc(value);
    if (whole < 0 || whole >= kAdjustmentColorCount) return std::nullopt;
    auto name = adjustmentColorName(int(whole));
    return name ? std::optional<std::string>(std::string(*name)) : std::nullopt;
}

std::optional<std::string> QXFilterStandardAdjustmentsFilter::secondaryValueText() const {
    if (!isUserColorType(type)) return std::nullopt;
    const auto percent = truncated(secondaryValue * 100.0f);
    if (!percent) return std::nullopt;
    return std::to_string(*percent) + "%";
}

// --- the adjustments object

QXFilterStandardAdjustments::QXFilterStandardAdjustments(bool autoDenoise) : isImageCaptureAutoDenoise(autoDenoise) {
    filters.reserve(std::size(kList));
    for (const ListEntry& e : kList) {
        auto adjustment = std::make_shared<QXFilterStandardAdjustmentsFilter>(e.type, e.stage, autoDenoise);
        adjustment->hasUI = e.hasUI;
        filters.push_back(std::move(adjustment));
    }
}

std::shared_ptr<QXFilterStandardAdjustments> QXFilterStandardAdjustments::copy() const {
    auto other = create(isImageCaptureAutoDenoise);
    other->apply(dictionaryRepresentation());
    if (currentFilter) other->currentFilter = other->filter(currentFilter->type);
    // Seeding the copy's buffer with this one's content gives it the same analysis image
    // as running its enhancement once on that content would, without the analysis itself.
    if (enhanceImageTemporalBuffer) {
        if (Image content = enhanceImageTemporalBuffer->image()) other->updateTemporalBuffer(content);
    }
    other->processingVideo = processingVideo;
    return other;
}

AdjustmentPtr QXFilterStandardAdjustments::filter(AdjustmentType type) const {
    for (const AdjustmentPtr& f : filters)
        if (f && f->type == type) return f;
    return nullptr;
}

float QXFilterStandardAdjustments::value(AdjustmentType type) const {
    const AdjustmentPtr f = filter(type);
    return f ? f->value : 0.0f;
}

void QXFilterStandardAdjustments::resetToDefaults() {
    for (const AdjustmentPtr& f : filters) {
        if (!f) continue;
        f->value = defaultValue(f->type, isImageCaptureAutoDenoise);
        f->secondaryValue = defaultSecondaryValue(f->type);
    }
    if (adjustmentsCollectionVC_) adjustmentsCollectionVC_->reloadControls();
}

void QXFilterStandardAdjustments::resetToDefaults(bool autoDenoise) {
    if (adjustmentsCollectionVC_) adjustmentsCollectionVC_->setIsImageCaptureAutoDenoise(autoDenoise);
    isImageCaptureAutoDenoise = autoDenoise;
    resetToDefaults();
}

PlistDictionary QXFilterStandardAdjustments::dictionaryRepresentation() const {
    PlistDictionary d;
    for (const AdjustmentPtr& f : filters) {
        if (!f) continue;
        const std::string raw(rawValue(f->type));
        d[raw] = PlistValue(f->value);
        d[raw + std::string(kSecondarySuffix)] = PlistValue(f->secondaryValue);
        d[raw + std::string(kStageSuffix)] = PlistValue(rawValue(f->stage));
    }
    return d;
}

std::map<std::string, double> QXFilterStandardAdjustments::customDataRepresentation() const {
    std::map<std::string, double> out;
    for (const auto& [key, v] : dictionaryRepresentation())
        if (v.isNumber()) out[key] = v.number();
    return out;
}

void QXFilterStandardAdjustments::apply(const PlistDictionary& dictionary) {
    for (const auto& [key, entry] : dictionary) {
        const std::string_view k = key;
        const size_t dot = k.find('.');
        const auto type = adjustmentTypeFromRawValue(k.substr(0, dot));
        if (!type) continue;
        const AdjustmentPtr f = filter(*type);
        if (!f) continue;
        // A value that is not a finite number would poison every later stage: skip it.
        const bool finiteNumber = entry.isNumber() && std::isfinite(float(entry.number()));
        if (dot == std::string_view::npos) {
            if (finiteNumber) f->value = float(entry.number());
            continue;
        }
        const std::string_view rest = k.substr(dot);
        if (rest == kSecondarySuffix) {
            if (finiteNumber) f->secondaryValue = float(entry.number());
        } else if (rest == kStageSuffix) {
            if (!entry.isString()) continue;
            if (auto stage = adjustmentStageFromRawValue(entry.string())) f->stage = *stage;
        }
    }
}

void QXFilterStandardAdjustments::applyStyleData(const PlistDictionary& styleData) {
    PlistDictionary combined = dictionaryRepresentation();
    for (const auto& [key, added] : styleData) {
        auto slot = combined.find(key);
        if (slot == combined.end()) continue;
        PlistValue& current = slot->second;
        if (key == "shadowColor" || key == "highlightColor") {
            if (!added.isNumber() || !current.isNumber()) continue;
            const int64_t a = std::clamp<int64_t>(added.integer(), -kColorIndexBound, kColorIndexBound);
            const int64_t c = std::clamp<int64_t>(current.integer(), -kColorIndexBound, kColorIndexBound);
            int64_t s = a + c;
            if (s > 6) s %= 6;
            current = PlistValue(s);
        } else if (key == "shadowColor.secondaryValue") {
            if (!added.isNumber() || !current.isNumber()) continue;
            current = PlistValue(std::max(current.number(), added.number()));
        } else if (current.isNumber()) {
            if (!added.isNumber()) continue;
            current = PlistValue(current.number() + added.number());
        } else if (current.isString()) {
            current = added;
        }
    }
    apply(combined);
}

std::string QXFilterStandardAdjustments::write(const std::string& path) const {
    return writePlistFile(PlistValue(dictionaryRepresentation()), path);
}

std::string QXFilterStandardAdjustments::adjustmentsSummary() const {
    std::string summary;
    for (const AdjustmentPtr& f : filters) {
        if (!f || f->value == defaultValue(f->type, isImageCaptureAutoDenoise)) continue;
        // A kind without a display name (the preset-only washes) cannot be named to the user.
        if (displayNameKey(f->type).empty()) continue;
        std::string entry = displayName(f->type) + " ";
        if (isUserColorType(f->type)) {
            std::string name;
            if (auto n = f->colorName())
                name = *n;
            else
                name = truncated(f->value) ? std::to_string(*truncated(f->value)) : "?";
            const auto percent = f->secondaryValueText();
            entry += "(" + name + (percent ? " " + *percent : std::string()) + ")";
        } else {
            const auto scaled = truncated(f->value * 100.0f);
            entry += scaled ? std::to_string(*scaled) : "?";
        }
        if (!summary.empty()) summary += ", ";
        summary += entry;
    }
    return summary;
}

void QXFilterStandardAdjustments::setAdjustmentsCollectionVC(AdjustmentsPanelPtr panel) {
    adjustmentsCollectionVC_ = std::move(panel);
    if (adjustmentsCollectionVC_) adjustmentsCollectionVC_->owner = weak_from_this();
}

void QXFilterStandardAdjustments::makeAdjustmentsCollectionVC() {
    AdjustmentsPanelFactory factory;
    {
        std::lock_guard lock(factoryMutex());
        factory = panelFactory();
    }
    if (!factory) return;
    setAdjustmentsCollectionVC(factory(isImageCaptureAutoDenoise));
}

void QXFilterStandardAdjustments::setPanelFactory(AdjustmentsPanelFactory factory) {
    std::lock_guard lock(factoryMutex());
    panelFactory() = std::move(factory);
}

}  // namespace vellari
