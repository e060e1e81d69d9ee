// The image stages the adjustments drive. Everything here builds lazy recipes from the
// image layer's built-in filters and the shared "scaleRange" colour kernel; only the
// 64 × 64 analysis copy is rendered. A kind at its neutral value costs no filter and hands
// back the very image it was given.

#include <algorithm>
#include <cmath>

#include "vellari/platform/profile.h"
#include "vellari/adjustments/standard_adjustments.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/filter.h"

namespace vellari {
namespace {

using T = AdjustmentType;

// The adjustment when it exists and belongs to the stage, else null.
AdjustmentPtr inStage(const QXFilterStandardAdjustments& a, AdjustmentType type, AdjustmentStage stage) {
    AdjustmentPtr f = a.filter(type);
    return f && f->stage == stage ? f : nullptr;
}

// A filter that could not be built or gave nothing leaves the step's input as it was.
Image orInput(const Image& result, const Image& input) { return result ? result : input; }

}  // namespace

Image QXFilterStandardAdjustments::updateTemporalBuffer(const Image& image) {
    const Rect e = image.extent();
    const double n = kEnhanceAnalysisSize;
    // Moved to the origin so that the copy lands on the buffer whatever the frame's own
    // origin, and clamped so that its edges do not fade into the transparency outside
    // (which would read as dark pixels to the analysis).
    // (Clamped just before the scale, which then reads the picture itself.)
    const Image small = image.cropped(e)
                            .translated(-e.x, -e.y)
                            .clampedToExtent()
                            .scaled(n / e.width, n / e.height)
                            .cropped(Rect{0, 0, n, n});
    double weight = 0.5;
    if (!enhanceImageTemporalBuffer) {
        enhanceImageTemporalBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, n, n});
        weight = 1.0;
    }
    if (!processingVideo) weight = 1.0;
    // For video an exponential moving average giving the newest frame half the weight;
    // for stills the frame alone.
    const Image faded = QXCoreImageUtilities::setImageAlpha(small, weight);
    enhanceImageTemporalBuffer->setImage(faded.compositedOver(enhanceImageTemporalBuffer->image()));
    return enhanceImageTemporalBuffer->image();
}

Image QXFilterStandardAdjustments::enhanceInput(const Image& image) {
    if (!image) return image;
    const Rect e = image.extent();
    // Nothing to analyse on an empty picture, and no finite copy of an infinite one.
    if (e.isEmpty() || e.isInfinite()) return image;
    Image analysis;
    {
        ProfileLabel label("analysis");
        analysis = updateTemporalBuffer(image);
    }
    Image result = image;
    ProfileLabel label("autoAdjust");
    for (const FilterPtr& f : analysis.autoAdjustmentFilters()) {
        if (!f || (f->name() != "CIToneCurve" && f->name() != "CIVibrance")) continue;
        f->setValue("inputImage", result);
        if (Image out = f->outputImage()) result = out;
    }
    return result;
}

Image QXFilterStandardAdjustments::applyPreStyleStage(const Image& image) const {
    const AdjustmentStage pre = AdjustmentStage::pre;
    Image r = applyAdjustment(T::blackAndWhitePoints, pre, image);
    r = applyAdjustment(T::brightness, pre, r);
    for (T wash : {T::shadowColorForFilter, T::shadowColor, T::highlightColorForFilter, T::highlightColor})
        r = applyAdjustment(wash, pre, r);
    return r;
}

Image QXFilterStandardAdjustments::applyPostStyleStage(const Image& image) const {
    const AdjustmentStage post = AdjustmentStage::post;
    Image r = applyAdjustment(T::temperatureAndTint, post, image);
    r = applyAdjustment(T::vibrance, post, r);
    r = applyAdjustment(T::saturation, post, r);
    for (T wash : {T::shadowColorForFilter, T::shadowColor, T::highlightColorForFilter, T::highlightColor})
        r = applyAdjustment(wash, post, r);
    return r;
}

Image QXFilterStandardAdjustments::applyAdjustment(AdjustmentType type, AdjustmentStage stage,
                                                   const Image& image) const {
    if (!image) return image;
    switch (type) {
        case T::brightness: {
            const AdjustmentPtr x = inStage(*this, type, stage);
            if (!x || x->value == 0) return image;
            const float power = 1.0f - 0.75f * x->value;
            return orInput(image.applyingFilter("CIGammaAdjust", {{"inputPower", double(power)}}), image);
        }
        case T::saturation: {
            const AdjustmentPtr x = inStage(*this, type, stage);
            if (!x || x->value == 0) return image;
            const float saturation = 1.0f + x->value;
            return orInput(image.applyingFilter("CIColorControls", {{"inputSaturation", double(saturation)}}), image);
        }
        case T::vibrance: {
            const AdjustmentPtr x = inStage(*this, type, stage);
            if (!x || x->value == 0) return image;
            return orInput(image.applyingFilter("CIVibrance", {{"inputAmount", double(x->value)}}), image);
        }
        case T::blackAndWhitePoints: return blackAndWhitePoints(stage, image);
        case T::temperatureAndTint: return temperatureAndTint(stage, image);
        case T::shadowColor:
        case T::highlightColor:
        case T::shadowColorForFilter:
        case T::highlightColorForFilter: return colorWash(type, stage, image);
        default: return image;
    }
}

Image QXFilterStandardAdjustments::blackAndWhitePoints(AdjustmentStage stage, const Image& image) const {
    const AdjustmentPtr black = inStage(*this, T::blackPoint, stage);
    const AdjustmentPtr white = inStage(*this, T::whitePoint, stage);
    const float b = black ? 0.5f * black->value : 0.0f;
    float w = 1.0f;
    if (white) w = 1.0f + 0.5f * white->value;
    if (b == 0 && w == 1) return image;
    // Maps 0...1 onto b...w: rgb' = clamp(rgb · (w − b) + b, 0, 1), alpha kept.
    const double scale = double(w - b), shift = double(b);
    registerEngineKernels();
    Image out = QXCoreImageUtilities::applyMetalKernelNamed("scaleRange", {image, scale, shift});
    // The same kernel is compiled into the engine; use it when the shader library is not
    // at hand (no bundle), rather than silently dropping the correction.
    if (!out) out = QXVideoFilterUtilities::scaleRange(image, scale, shift);
    return orInput(out, image);
}

Image QXFilterStandardAdjustments::temperatureAndTint(AdjustmentStage stage, const Image& image) const {
    const AdjustmentPtr temperature = filter(T::temperature);
    const AdjustmentPtr tint = filter(T::tint);
    if (!temperature || !tint) return image;
    const float t = temperature->stage == stage ? temperature->value : 0.0f;
    const float n = tint->stage == stage ? tint->value : 0.0f;
    if (t == 0 && n == 0) return image;
    const Vector target{double(6500.0f + 2000.0f * t), double(100.0f * n)};
    return orInput(image.applyingFilter("CITemperatureAndTint", {{"inputTargetNeutral", target}}), image);
}

Image QXFilterStandardAdjustments::colorWash(AdjustmentType type, AdjustmentStage stage, const Image& image) const {
    const AdjustmentPtr x = inStage(*this, type, stage);
    if (!x || !(x->value > 0) || !(x->secondaryValue > 0)) return image;
    if (!(x->value < float(kAdjustmentColorCount))) return image;  // also catches infinity
    const auto hs = adjustmentWashHueSaturation(int(x->value));
    if (!hs) return image;  // index 0 (clear) is off
    // An opacity summed up from a preset can pass 1; more than fully opaque means nothing.
    const double opacity = std::min(1.0, double(x->secondaryValue));
    const Color wash = colorFromHSB(hs->hue, hs->saturation, 1.0, opacity);
    const Image washImage = Image::constantColor(wash).cropped(image.extent());
    // Screen brightens, so a shadow colour shows in the dark parts; multiply darkens, so a
    // highlight colour shows in the light parts.
    const bool shadow = type == T::shadowColor || type == T::shadowColorForFilter;
    const char* blend = shadow ? "CIScreenBlendMode" : "CIMultiplyBlendMode";
    return orInput(washImage.applyingFilter(blend, {{"inputBackgroundImage", image}}), image);
}

}  // namespace vellari
