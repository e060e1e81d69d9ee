// Kernels of the ink-blob layer: thresholds, bands, coloured ramps and the winner-take-all
// colour maps that the blob-based shadings recolour with their spot colours.
//
// All are colour kernels over row spans. Unless a rule says otherwise a kernel keeps the
// alpha of its first image and reads the value of a value image from its red channel
// (value images come from "grayscale", so red, green and blue agree). Colour arguments
// are written exactly as given (straight components), as every kernel of the library does.
//
// Winner-take-all maps. The winner of a pixel is its largest colour channel; ties go to
// the earlier channel in the order red, green, blue, so a grey pixel is a red-class pixel
// unless a variant rules grey out. Every variant leaves the two losing channels at 0, so
// exactly one of red, green and blue can be non-zero and it names the pixel's class.
//
// The rules are stated here, with the arguments' checks; the loops over the pixels are in
// blob_spans.cpp, compiled for every instruction set.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>

#include "blob_spans.h"
#include "style_kernels.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

using namespace styles::blobs;

// "maxComponentWinnerTakeAll" (image): the winner keeps its value, the others become 0.
void maxComponentWinnerTakeAll(const ColorSpan& s) {
    winnerTakeAllSpan(s.src[0], s.dst, size_t(s.n), WinnerValue::Value);
}

// "maxComponentWinnerTakeAllMaxThreshold" (image, threshold): three tone classes by the
// winning value (unpremultiplied) instead of by hue: above the threshold red (the light
// class), above half of it green, blue below. Shadings recolour the classes with spot
// colours ordered light to dark, so warm and cool pictures alike get the three tones.
void maxComponentWinnerTakeAllMaxThreshold(const ColorSpan& s) {
    winnerTakeAllMaxThresholdSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0]);
}

// "maxComponentWinnerTakeAllMax" (image): the winner set to the maximum value 1, so the
// map is a pure class mask that multiplies a spot colour unchanged.
void maxComponentWinnerTakeAllMax(const ColorSpan& s) {
    winnerTakeAllSpan(s.src[0], s.dst, size_t(s.n), WinnerValue::One);
}

// "maxComponentWinnerTakeAllScaled" (image): the winner's value scaled by its dominance
// 1 − runnerUp / winner, i.e. winner − runnerUp: strong where one channel clearly leads,
// fading to 0 where the two leading channels are close (greys, skin tones).
void maxComponentWinnerTakeAllScaled(const ColorSpan& s) {
    winnerTakeAllSpan(s.src[0], s.dst, size_t(s.n), WinnerValue::Lead);
}

// "maxComponentWinnerTakeAllWithSaturationThreshold" (image, saturation threshold): the
// plain map, except that pixels whose saturation (max − min) / max is below the threshold
// fall into no class (black, alpha kept). Black itself has saturation 0.
void maxComponentWinnerTakeAllWithSaturationThreshold(const ColorSpan& s) {
    winnerTakeAllSaturationSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0]);
}

// "thresholdMultichannelImageInvert" (image, threshold): each colour channel 1 where it is
// at or below the threshold, else 0.
void thresholdMultichannelImageInvert(const ColorSpan& s) {
    thresholdInvertSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0], false);
}

// "thresholdMultichannelImageInvertBGR" (image, threshold): the inverted threshold of the
// channels taken in blue, green, red order: output red from input blue, green from green,
// blue from red.
void thresholdMultichannelImageInvertBGR(const ColorSpan& s) {
    thresholdInvertSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0], true);
}

// "thresholdAndColorizeValueImage" (value image, threshold, lower colour, upper colour):
// the lower colour at or below the threshold, the upper colour above it.
void thresholdAndColorizeValueImage(const ColorSpan& s) {
    thresholdColorizeSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0], s.val[1].v, s.val[2].v);
}

// "quantize" (image, n): each colour channel reduced to n equal bands of [0, 1], each band
// represented by its midpoint (k + 0.5) / n. Midpoints keep the mean of a smooth ramp, so
// a quantised blur still balances against an unquantised one in a difference image.
// Values outside [0, 1] go to the end bands. The band count is n rounded, at least 1.
void quantize(const ColorSpan& s) {
    quantizeBandsSpan(s.src[0], s.dst, size_t(s.n), std::max(1.0f, std::round(s.val[0][0])));
}

// "colorizeLowerRangeWithGammaQuantizeInValueImage" (value image, lower colour, upper
// colour, gamma, levels, threshold, fill colour): below the threshold the ramp position
// t = (v / threshold)^gamma (gamma ≤ 0 counts as 1), quantised to `levels` evenly spaced
// steps from 0 to 1 inclusive (t → min(floor(t·levels), levels − 1) / (levels − 1); levels
// ≤ 1 leaves t smooth), gives mix(lower, upper, t). At or above the threshold, and
// everywhere when the threshold is not positive, the fill colour.
void colorizeLowerRangeWithGammaQuantizeInValueImage(const ColorSpan& s) {
    const float gamma = s.val[2][0] > 0 ? s.val[2][0] : 1.0f;
    const float levels = std::round(s.val[3][0]);
    const float threshold = s.val[4][0];
    const float invThreshold = threshold > 0 ? 1.0f / threshold : 0.0f;
    // Not positive: nothing lies below, and v < threshold alone would catch negatives.
    const float limit = threshold > 0 ? threshold : -std::numeric_limits<float>::infinity();
    colorizeLowerRampSpan(s.src[0], s.dst, size_t(s.n), s.val[0].v, s.val[1].v, s.val[5].v, gamma, levels,
                          invThreshold, limit);
}

}  // namespace

void registerBlobKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        KernelRegistry::add(Kernel::makeColor("thresholdAndColorizeValueImage", thresholdAndColorizeValueImage));
        KernelRegistry::add(Kernel::makeColor("quantize", quantize));
        KernelRegistry::add(Kernel::makeColor("colorizeLowerRangeWithGammaQuantizeInValueImage",
                                              colorizeLowerRangeWithGammaQuantizeInValueImage));
        KernelRegistry::add(Kernel::makeColor("maxComponentWinnerTakeAll", maxComponentWinnerTakeAll));
        KernelRegistry::add(
            Kernel::makeColor("maxComponentWinnerTakeAllMaxThreshold", maxComponentWinnerTakeAllMaxThreshold));
        KernelRegistry::add(Kernel::makeColor("maxComponentWinnerTakeAllMax", maxComponentWinnerTakeAllMax));
        KernelRegistry::add(Kernel::makeColor("maxComponentWinnerTakeAllScaled", maxComponentWinnerTakeAllScaled));
        KernelRegistry::add(Kernel::makeColor("maxComponentWinnerTakeAllWithSaturationThreshold",
                                              maxComponentWinnerTakeAllWithSaturationThreshold));
        KernelRegistry::add(Kernel::makeColor("thresholdMultichannelImageInvert", thresholdMultichannelImageInvert));
        KernelRegistry::add(
            Kernel::makeColor("thresholdMultichannelImageInvertBGR", thresholdMultichannelImageInvertBGR));
    });
}

}  // namespace vellari
