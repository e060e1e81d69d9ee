// The line layer: ink lines from a flow-smoothed grey picture and a strongly weighted
// difference of Gaussians, coloured dark and light, optionally recoloured.

#include <cmath>

#include "vellari/common/connected_components.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/profile.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

using C = QXCoreImageUtilities;

Image QXVideoFilterVellari::createLines(const Image& image, int type) {
    if (!image) return {};
    const Rect e = image.extent();
    Image grey = C::applyMetalKernelNamed("grayscale", {image});
    if (!grey) return {};

    // Working size: the long side of the output divided by linesFactor.
    const Size out = outputSizeForInputSize(e.size());
    const double longOut = std::max(out.width, out.height), longIn = std::max(e.width, e.height);
    if (longOut / longIn != linesFactor) {
        const double k = (longOut / linesFactor) / longIn;
        grey = grey.scaled(k, k).samplingNearest();
    }

    Image work = grey;
    if (!useLowQuality) {
        const Image structure = createLinesStructure(grey);
        Image smooth;
        {
            ProfileLabel label("presmooth");
            smooth = C::bilateralBlurTentSeparable(structure, linesPreSmoothRadius * resolutionScale(),
                                                   linesPreSmoothSigma, false);
        }
        {
            ProfileLabel label("flow");
            perpNormalMap = computeEdgeTangentFlow(smooth);
        }
        ProfileLabel label("reduceNoise");
        work = reduceNoise(smooth, perpNormalMap, uint64_t(std::max<int64_t>(0, reduceNoiseIterations)));
        if (!work) return {};
    }
    ProfileLabel label("DoG");
    const Image difference = upscaledLinesDoG(work);
    Image lines = createLinesPostProcessDoG(difference);
    if (!lines) return {};

    const Size linesSize = lines.extent().size();
    if (type == 3) {
        const Image colours = createShading(image, Image(), 13);
        if (colours)
            lines = C::makeImage(colours, linesSize)
                        .applyingFilter("CISourceAtopCompositing", {{"inputBackgroundImage", lines}});
    } else if (type == 2) {
        Image tone = C::applyMetalKernelNamed("scaleRange", {grey, linesGrayContrastScale, linesGrayBrightnessShift});
        tone = C::makeImage(tone, linesSize);
        if (linesGrayThreshold > 0) tone = C::applyMetalKernelNamed("thresholdMultichannelImage", {tone, linesGrayThreshold});
        if (tone) lines = tone.applyingFilter("CISourceAtopCompositing", {{"inputBackgroundImage", lines}});
    }
    return lines.samplingNearest();
}

Image QXVideoFilterVellari::createLinesStructure(const Image& grey) {
    const double l = customValueForKey("lines", 0);
    if (l == 0 || !grey) return grey;
    if (l > 0)
        return grey.applyingFilter("CIUnsharpMask", {{"inputRadius", 32 * l * resolutionScale()}, {"inputIntensity", l}});
    const double k = 1 - std::abs(l);
    const Image blurred = C::blurImage(grey, 32 * k * resolutionScale());
    return QXVideoFilterUtilities::highPassWithSource(grey, blurred, k);
}

Image QXVideoFilterVellari::createLinesDoG(const Image& image) {
    const double f = 1 + 0.5 * (720 / outputResolution - 1);
    const Image a = C::blurImage(image, radiusLower() * f);
    const Image b = C::blurImage(image, radiusUpper() * f);
    double w = linesDiffWeight;
    if (useLowQuality) w *= 0.5;
    return C::differenceImageA(a, b, w, linesDiffGain);
}

// createLinesDoG of the working image enlarged by linesFactor, computed the cheap way
// round: blurring and upscaling commute (both are linear and shift-invariant), so the two
// blurs run at the working size with radii shrunk alike and only their difference is
// enlarged; the weight and its clamp are applied after the enlargement, as before it.
// The unweighted difference (a − b)/2 + 0.5 stays inside [0, 1] for values in range. The
// working image is enlarged from its clamped self, so the border does not fade into ink.
Image QXVideoFilterVellari::upscaledLinesDoG(const Image& work) {
    if (!work) return {};
    const double f = 1 + 0.5 * (720 / outputResolution - 1);
    const double k = 1 / linesFactor;
    const Image w = work.samplingLinear();
    const Rect e = w.extent();
    auto enlarge = [&](const Image& image) {
        return image.clampedToExtent()
            .scaled(linesFactor, linesFactor)
            .cropped({e.x * linesFactor, e.y * linesFactor, e.width * linesFactor, e.height * linesFactor});
    };
    // A Gaussian below half a pixel is too coarse on the pixel grid to stand in for the
    // larger one (small outputs, thumbnails): there the enlarged image is blurred itself.
    const double smallest = std::min(radiusLower() > 0 ? radiusLower() : radiusUpper(), radiusUpper()) * f * k;
    if (linesFactor == 1 || smallest < 0.5) return createLinesDoG(enlarge(w));
    const Image a = C::blurImage(w, radiusLower() * f * k);
    const Image b = C::blurImage(w, radiusUpper() * f * k);
    const Image up = enlarge(C::addWeighted(a, b, 0.5, -0.5, 0.5).cropped(e));
    double weight = linesDiffWeight;
    if (useLowQuality) weight *= 0.5;
    // weight·(a − b) + gain + 0.5 = 2·weight·half + gain + 0.5 − weight
    return C::addWeighted(up, up, 2 * weight, 0, linesDiffGain + 0.5 - weight).cropped(up.extent());
}

Image QXVideoFilterVellari::createLinesPostProcessDoG(const Image& difference) {
    if (!difference) return {};
    Image d = difference;
    const double n = customValueForKey("linesNoiseReduction", 0);
    if (n != 0) {
        const Image e = C::applyMetalKernelNamed("extremaValueImage", {d, Color{0.5, 0.5, 0.5, 1}});
        const double c = std::trunc(n * 64 * resolutionScale());
        d = QXConnectedComponents::removeDetailBinary(e, c, c, Color{0.5, 0.5, 0.5, 0});
    }
    return C::applyMetalKernelNamed("colorizeUpperAndLowerRangesInValueImage",
                                    {d, 0.0, linesColorDark, 1.0, linesColorLight, Color{0, 0, 0, 0}});
}

}  // namespace vellari
