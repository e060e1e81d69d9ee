// The shading layer: the colour or tone under the ink lines. One recipe per shading type,
// then a common tail of tone levels, gamma, resampling, texture, blend and contrast.

#include <algorithm>
#include <cmath>

#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

using C = QXCoreImageUtilities;

namespace {

// The reduced work size: whole pixels, so that nearest sampling neither smears nor drops
// a fractional edge row.
struct WorkScale {
    double sx = 1, sy = 1;
    bool reduce = false;  // the source is scaled at all
    bool empty = false;   // no pixels left
};

WorkScale workScale(const Rect& e, double factor) {
    WorkScale w;
    if (e.isEmpty()) {
        w.empty = true;
        return w;
    }
    if (factor == 1 || !(factor > 0)) return w;
    const double nw = roundHalfAway(e.width / factor), nh = roundHalfAway(e.height / factor);
    if (nw < 1 || nh < 1) {
        w.empty = true;
        return w;
    }
    w.sx = e.width / nw;
    w.sy = e.height / nh;
    w.reduce = true;
    return w;
}

Image reduce(const Image& image, const WorkScale& w) {
    if (!w.reduce || !image) return image;
    return image.samplingNearest().scaled(1 / w.sx, 1 / w.sy);
}

}  // namespace

Image QXVideoFilterVellari::createShading(const Image& source, const Image& destination, int type) {
    if (type == 0 || !source) return {};
    const double sf = videoProcessing ? shadingFactor : 1.0;
    const WorkScale ws = workScale(source.extent(), sf);
    if (ws.empty) {
        if (type == 1 || !destination) return Image::empty();
        // Nothing to shade: the destination goes through the texture and contrast alone.
        const Image clear = Image::constantColor(Color::clear()).cropped(destination.extent());
        const Image t = createTexture(clear, textureType);
        if (!t) return {};
        return createShadingContrast(
            t.applyingFilter("CISourceOverCompositing", {{"inputBackgroundImage", destination}}));
    }
    const Image x = reduce(source, ws);
    if (type == 1) return x;

    const Rect workRect = x.extent();
    const Image background = Image::constantColor(backgroundColor).cropped(workRect);
    const double rs = resolutionScale();
    const double of = outputFactor > 0 ? outputFactor : 1.0;
    const double radius = shadingRadius * (1 / (sf > 0 ? sf : 1.0)) * (1 / of) * rs;
    const Bundle& b = bundle();

    Image s;
    std::string blend = "CIMultiplyBlendMode";
    switch (type) {
        case 2:
            s = background;
            blend = "CISourceOverCompositing";
            break;
        case 3:
            s = createShadingColor(x);
            break;
        case 4:
            s = C::applyMetalKernelNamed("nonlinearSaturationZeroFix", {createShadingColor(x), 2.0, 0.0, 1000.0, 100.0},
                                         b);
            break;
        case 5:
            s = C::blurImage(C::applyMetalKernelNamed("grayscale", {x}), radius);
            break;
        case 6:
            s = createBlobs(x, radius, 0, shadingThreshold, 10);
            break;
        case 7:
            s = createBlobs(x, radius, shadingRadius, 0, 5);
            break;
        case 8:
        case 9: {
            const Image blobs = createBlobs(x, radius, 0, shadingThreshold, 6);
            s = C::applyMetalKernelNamed("replaceRGBWithMultipliedColorsWinnerTakeAll",
                                         {blobs, shadingSpotColor0, shadingSpotColor1, shadingSpotColor2}, b);
            // Hue and saturation of the recoloured blobs, luminance of the picture.
            if (type == 9 && s) s = s.applyingFilter("CIColorBlendMode", {{"inputBackgroundImage", x}});
            break;
        }
        case 10:
            s = C::applyMetalKernelNamed("nonlinearSaturation", {createShadingColor(x), 2.0, 0.0, 1000.0}, b);
            break;
        case 11:
        case 12: {
            const Image mask = C::applyMetalKernelNamed("saturationMask", {C::blurImage(x, radius), 0.25}, b);
            if (!mask) break;
            const Image red = Image::constantColor(Color{1, 0, 0, 1}).cropped(mask.extent());
            const Image marked = C::applyMetalKernelNamed("copyAlpha", {red, mask}, b);
            if (marked) s = marked.compositedOver(background);
            break;
        }
        case 13: {
            const Image blobs = createBlobs(x, radius, 0, 0, 7);
            s = C::applyMetalKernelNamed("replaceRGBWithMultipliedColors",
                                         {blobs, shadingSpotColor0, shadingSpotColor1, shadingSpotColor2}, b);
            break;
        }
        case 14: {
            const Image blobs = createBlobs(x, radius, 0, 0, 8);
            s = C::applyMetalKernelNamed("replaceRGBWithMultipliedColorsWinnerTakeAll",
                                         {blobs, shadingSpotColor0, shadingSpotColor1, shadingSpotColor2}, b);
            break;
        }
        default:  // 15 and above (and negative values): the work image itself
            s = x;
            break;
    }
    if (!s) return {};

    // Tone levels: the posterised luminance laid over the shading's own colours.
    if (shadingLevels > 1) {
        // Cached: it feeds both the quantisation and the luminosity blend.
        const Image base = s.insertingIntermediate(true);
        const double g = customShadingLevelsGammaForGamma(shadingLevelsGamma);
        Image q = base;
        if (shadingLevelsSmoothRadius > 0) q = C::blurImage(q, (1 / of) * rs * shadingLevelsSmoothRadius);
        q = C::applyMetalKernelNamed("quantizeNonLinear", {q, shadingLevels, g}, b);
        q = C::applyMetalKernelNamed("scaleRange", {q, 0.75, 0.0});
        // Never fully opaque, so a trace of the smooth tone always shows through.
        const double a = std::min(0.99, remapValue(shadingLevelsAlpha, 0, 1, customValueForKey("flatness", 0), -1, 1));
        q = C::setImageAlpha(q, a);
        if (q) s = q.applyingFilter("CILuminosityBlendMode", {{"inputBackgroundImage", base}});
    }

    if (shadingGamma != 1) s = C::applyMetalKernelNamed("powRange", {s, shadingGamma}, b);
    if (!s) return {};
    s = shadingUsesSmoothScale ? s.samplingLinear() : s.samplingNearest();

    Image out;
    if (destination) {
        const Image placed = C::makeImage(s, destination.extent().size());
        const Image textured = createTexture(placed, textureType);
        if (!textured) return {};
        out = textured.applyingFilter(blend, {{"inputBackgroundImage", destination}});
    } else {
        out = createTexture(reduce(s, ws), textureType);
    }
    if (!out) return {};
    return createShadingContrast(out);
}

Image QXVideoFilterVellari::createShadingColor(const Image& image) {
    if (!image) return {};
    Image x = image;
    // The property is in 0..255 levels; the blur wants stored values.
    for (int64_t i = 0; i < shadingSmoothIterations; ++i)
        x = C::bilateralBlurOcclusionSeparable(x, shadingSmoothRadius * resolutionScale(), shadingSmoothSigma / 255);
    if (!hasDefaultLUT() || !colorLookupTableFilter) return x;
    const double intensity = customValueForKey("filterIntensity", 1);
    if (intensity <= 0) return x;
    Image graded = applyLUT(x);
    if (!graded) return x;
    if (intensity < 1) graded = C::setImageAlpha(graded, intensity).compositedOver(x);
    return graded;
}

Image QXVideoFilterVellari::createShadingContrast(const Image& image) {
    const double c = customValueForKey("contrast", 0);
    if (c == 0 || !image) return image;
    const Image k = image.applyingFilter("CIColorControls", {{"inputContrast", 1 + 0.5 * c}});
    // Contrast in tone only: the saturation stays the unadjusted picture's.
    return image.applyingFilter("CISaturationBlendMode", {{"inputBackgroundImage", k}});
}

Image QXVideoFilterVellari::createShadingStructure(const Image& image) {
    const double s = customValueForKey("structure", 0);
    if (s == 0 || !image) return image;
    const Image blurred = C::blurImage(image, 64 * resolutionScale());
    Image detail;
    double alpha;
    if (s > 0) {
        detail = QXVideoFilterUtilities::unsharpMaskWithSource(image, blurred, 1.0);
        alpha = s;
    } else {
        detail = QXVideoFilterUtilities::highPassWithSource(image, blurred, 1.0);
        alpha = std::abs(s) * 0.5;
    }
    const Image over = C::overlayImage(detail, alpha, image);
    return image.applyingFilter("CISaturationBlendMode", {{"inputBackgroundImage", over}}).insertingIntermediate(true);
}

Image QXVideoFilterVellari::createShadingShadows(const Image& image) {
    if (!image) return {};
    const double rs = resolutionScale();
    const Image a = C::blurImage(image, 2.5 * rs, 0.5);
    const Image b = C::blurImage(image, 100 * rs, 0.5);
    const Image g = C::applyMetalKernelNamed("grayscale", {C::differenceImageA(a, b, 1.0, 0.0)});
    return C::applyMetalKernelNamed(
        "colorizeUpperAndLowerRangesInValueImage", image.extent(),
        {g, 0.333, Color{0.25, 0.25, 0.25, 0.5}, 0.75, Color{0.9, 0.9, 0.9, 0.5}, Color{0.5, 0.5, 0.5, 0}});
}

void QXVideoFilterVellari::createShadingSetColorSet(int64_t set) {
    switch (set) {
        case 1:
            shadingSpotColor0 = shadingSpotColor1 = shadingSpotColor2 = Color::black();
            break;
        case 2:
            shadingSpotColor0 = colorFromString("7ac0c8");
            shadingSpotColor1 = colorFromString("c0e07f");
            shadingSpotColor2 = colorFromString("ffa4a9");
            break;
        case 3:
            shadingSpotColor0 = colorFromString("000000");
            shadingSpotColor1 = colorFromString("bed4d2");
            shadingSpotColor2 = colorFromString("bed4d2");
            break;
        case 4:
            shadingSpotColor0 = colorFromString("c3d2d9");
            shadingSpotColor1 = colorFromString("6097bf");
            shadingSpotColor2 = colorFromString("0e63b0");
            break;
        case 5:
            shadingSpotColor0 = colorFromString("dd607f");
            shadingSpotColor1 = colorFromString("7fdd60");
            shadingSpotColor2 = colorFromString("607fdd");
            break;
        default:
            shadingSpotColor0 = Color{1, 0, 0, 1};
            shadingSpotColor1 = Color{0, 1, 0, 1};
            shadingSpotColor2 = Color{0, 0, 1, 1};
            break;
    }
}

}  // namespace vellari
