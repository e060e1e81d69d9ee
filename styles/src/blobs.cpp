// The ink-blob layer: large flat masses from the difference of a small and a very large
// blur, and winner-take-all colour maps for the blob-based shadings.

#include "vellari/common/core_image_utilities.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

using C = QXCoreImageUtilities;

namespace {

Image kernel(const std::string& name, const std::vector<KernelArg>& args) {
    return C::applyMetalKernelNamed(name, args);
}

Image grey(const Image& image) { return kernel("grayscale", {image}); }

}  // namespace

Image QXVideoFilterVellari::createBlobs(const Image& image, double lowerRadius, double upperRadius, double threshold,
                                        int blobType) {
    if (!image) return {};
    // Radii are given in output pixels at the base resolution; the work image is the
    // normalised input, smaller by outputFactor.
    const double u = (1.0 / outputFactor) * resolutionScale();
    const double lower = lowerRadius * u, upper = upperRadius * u;

    // Both recipes' blurs are built for every type; images are lazy, so a blur that a
    // recipe does not read costs nothing. Half size keeps the upper radius (150 pixels in
    // the frame pipeline) affordable.
    Image a = C::blurImage(image, lower, 0.5);
    Image b = C::blurImage(image, upper, 0.5);
    const auto diff = [&](const Image& x, const Image& y) { return C::differenceImageA(x, y, blobsStrength, blobsGain); };
    // Absent blob colours are passed as transparent black.
    const Color colorLower = blobsColorLower.value_or(Color::clear());
    const Color colorUpper = blobsColorUpper.value_or(Color::clear());
    const auto striate = [&] {
        if (blobsStriationsLower != 0) a = kernel("quantize", {a, blobsStriationsLower});
        if (blobsStriationsUpper != 0) b = kernel("quantize", {b, blobsStriationsUpper});
    };
    const auto smallBlur = [&] { return C::blurImage(image, lower); };

    Image out;
    switch (blobType) {
    case 1:
        out = kernel("thresholdMultichannelImage", {grey(diff(a, b)), threshold});
        break;
    case 2:
        out = kernel("thresholdAndColorizeValueImage", {grey(diff(a, b)), threshold, colorLower, colorUpper});
        break;
    case 3: {
        striate();
        const double t = customShadowsThresholdForThreshold(threshold);
        out = kernel("thresholdMultichannelImage", {grey(diff(a, b)), t});
        break;
    }
    case 4: {
        striate();
        const double t = customShadowsThresholdForThreshold(threshold);
        out = kernel("colorizeLowerRangeWithGammaQuantizeInValueImage",
                     {grey(diff(a, b)), colorLower, colorUpper, blobsColorGamma, blobsColorLevels, t,
                      Vector{1, 1, 1, 1}});
        break;
    }
    case 5:
        out = kernel("maxComponentWinnerTakeAll", {smallBlur()});
        if (threshold < 1) out = kernel("thresholdMultichannelImageInvert", {out, threshold});
        break;
    case 6:
        out = kernel("maxComponentWinnerTakeAllMaxThreshold", {smallBlur(), threshold});
        break;
    case 7:
        out = kernel("maxComponentWinnerTakeAllMax", {smallBlur()});
        break;
    case 8:
        out = kernel("maxComponentWinnerTakeAllScaled", {smallBlur()});
        break;
    case 9:
        out = grey(C::applyMetalKernelNamed("thresholdMultichannelImageInvertBGR", {diff(a, b), threshold}, bundle()));
        break;
    case 10:
        out = kernel("maxComponentWinnerTakeAllWithSaturationThreshold", {a, 0.25});
        break;
    default:
        return {};  // 0 and unknown types: no blob layer
    }
    if (!out) return {};
    // Kernels cover their first image's extent, which is the input's; crop in case a
    // future recipe ever grows it.
    if (out.extent() != image.extent()) out = out.cropped(image.extent());
    return out.samplingNearest();
}

}  // namespace vellari
