// The line layer: ink lines from a flow-smoothed grey picture and a strongly weighted
// difference of Gaussians, coloured dark and light, optionally recoloured.

#include <cmath>

#include "vellari/common/connected_components.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_utilities.h"
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
        const Image smooth = C::bilateralBlurTentSeparable(structure, linesPreSmoothRadius * resolutionScale(),
                                                           linesPreSmoothSigma, false);
        perpNormalMap = computeEdgeTangentFlow(smooth);
        work = reduceNoise(smooth, perpNormalMap, uint64_t(std::max<int64_t>(0, reduceNoiseIterations)));
        if (!work) return {};
    }
    const Image up = work.samplingLinear().scaled(linesFactor, linesFactor).insertingIntermediate(true);
    const Image difference = createLinesDoG(up);
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
