#include "vellari/styles/vellari_filter.h"

#include <cmath>
#include <mutex>

#include "style_kernels.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/profile.h"

namespace vellari {

using C = QXCoreImageUtilities;

void registerStyleKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        registerEngineKernels();
        registerPipelineKernels();
        registerShadingKernels();
        registerBlobKernels();
        registerTextureKernels();
    });
}

QXVideoFilterVellari::QXVideoFilterVellari() {
    registerStyleKernels();
    setName("Vellari Base");
    ETFRadius = 2;
    ETFIterations = 6;
    reduceNoiseIterations = 3;
    setRadiusLower(0.0);
    setRadiusUpper(1.5);
    linesDiffWeight = 125.0;
    linesDiffGain = 0.0;
    linesFactor = 2.0;
    outputFactor = 2.0;
    adjustExposureForAreaOfInterest = true;
    backgroundColor = Color::clear();
    setOutputResolution(QuillmereDeviceAndSystem::iDeviceIsLessThan8() ? 720 : 1080);
    createShadingSetColorSet(0);
    watermarkImageName = "Vellari Watermark v06-03";
}

void QXVideoFilterVellari::setOutputResolution(double resolution) {
    outputResolution = resolution;
    inputResolution = outputResolution / outputFactor;
}

void QXVideoFilterVellari::loadLUTNamed(const std::string& name) {
    defaultLUTName_ = name;
    defaultLUT_ = C::imageNamed(name, bundle(), true);
    // Without a picture the old cube stays installed but the colour stage stops using it.
    if (!defaultLUT_.isNull()) setColorLookupTable(&defaultLUT_);
}

void QXVideoFilterVellari::loadLUT(const Picture& lut) {
    defaultLUT_ = lut;
    setColorLookupTable(&defaultLUT_);
}

Image QXVideoFilterVellari::processCIImage(const Image& input) {
    if (!input) return {};
    const Rect e = input.extent();
    const Size out = outputSizeForInputSize(e.size());
    const Rect canvasRect{0, 0, out.width, out.height};
    const Image canvas = Image::constantColor(Color::white()).cropped(canvasRect);
    const Image normalized = [&] {
        ProfileLabel label("normalize");
        return normalizeImage(input);
    }();

    Image shading = [&] {
        ProfileLabel label("shading");
        return createShading(normalized, canvas, shadingType);
    }();
    // An absent shading layer (type 0) counts as a transparent one.
    if (!shading) shading = Image::constantColor(Color::clear()).cropped(canvasRect);

    {
        ProfileLabel label("blobs");
        const Image blobs = createBlobs(normalized, 8.0, 300.0, 0.4, blobsType);
        if (blobs)
            shading =
                C::makeImage(blobs, out).applyingFilter("CIMultiplyBlendMode", {{"inputBackgroundImage", shading}});
    }

    ProfileLabel label("lines");
    // The working size is rounded on its own, so twice it may pass the output by a pixel.
    const Image lines = createLines(normalized, lineType).cropped(canvasRect);
    if (!lines) return shading;
    return lines.compositedOver(shading);
}

double QXVideoFilterVellari::remapValue(double value, double min, double max, double x, double xMin, double xMax) {
    const double f = (x - xMin) / (xMax - xMin);
    if (f < 0.5) return min + 2 * f * (value - min);
    return value + 2 * (f - 0.5) * (max - value - min);
}

double QXVideoFilterVellari::customShadowsThresholdForThreshold(double threshold) const {
    return remapValue(threshold, 0, 0.5, customValueForKey("shadows", 0), -1, 1);
}

double QXVideoFilterVellari::customShadingLevelsGammaForGamma(double gamma) const {
    return remapValue(gamma, 0.15, 1.0, customValueForKey("shadows", 0), -1, 1);
}

Image QXVideoFilterVellari::inputWarp(const Image& image) {
    if (!image) return {};
    const double rs = resolutionScale();
    const Image a = C::blurImage(image, 150 * rs, 0.5);
    const Image b = C::blurImage(image, 500 * rs, 0.5);
    const Image d = C::differenceImageA(a, b, 1.0, 0.0);
    const Image g = C::applyMetalKernelNamed("grayscale", {d});
    const Image n = C::applyMetalKernelNamed("ETFconvertValueToNormalizedPerpNormalMap", {g, 1.0});
    const Image nb = C::blurImage(n, 10.0);
    return C::applyMetalKernelNamed("displaceWithNormalMapPerp", {image, nb, -10 * rs}, bundle());
}

}  // namespace vellari
