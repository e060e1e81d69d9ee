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

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <mutex>

#include "style_kernels.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

// Index-free winner bookkeeping so the loops stay branch-free: for channels r, g, b the
// masks (1 or 0) of the winner, with ties resolved towards red, then green.
struct Winner {
    float mr, mg, mb;  // one of them 1, the others 0
    float max, second;
};

inline Winner winnerOf(float r, float g, float b) {
    Winner w;
    const bool rWins = r >= g && r >= b;
    const bool gWins = !rWins && g >= b;
    w.mr = rWins ? 1.0f : 0.0f;
    w.mg = gWins ? 1.0f : 0.0f;
    w.mb = 1.0f - w.mr - w.mg;
    w.max = std::max(r, std::max(g, b));
    const float mn = std::min(r, std::min(g, b));
    // The runner-up is the middle value: sum minus the largest and the smallest.
    w.second = r + g + b - w.max - mn;
    return w;
}

inline void writeWinner(float* o, const Winner& w, float value, float alpha) {
    o[0] = w.mr * value;
    o[1] = w.mg * value;
    o[2] = w.mb * value;
    o[3] = alpha;
}

// "maxComponentWinnerTakeAll" (image): the winner keeps its value, the others become 0.
void maxComponentWinnerTakeAll(const ColorSpan& s) {
    const float* p = s.src[0];
    for (int i = 0; i < s.n; ++i) {
        const float* q = p + i * 4;
        const Winner w = winnerOf(q[0], q[1], q[2]);
        writeWinner(s.dst + i * 4, w, w.max, q[3]);
    }
}

// "maxComponentWinnerTakeAllMaxThreshold" (image, threshold): three tone classes by the
// winning value (unpremultiplied) instead of by hue: above the threshold red (the light
// class), above half of it green, blue below. Shadings recolour the classes with spot
// colours ordered light to dark, so warm and cool pictures alike get the three tones.
void maxComponentWinnerTakeAllMaxThreshold(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        const float* q = p + i * 4;
        const float a = q[3];
        const float v = a > 0 ? std::max(q[0], std::max(q[1], q[2])) / a : 0.0f;
        Winner w{};
        w.mr = v > t ? 1.0f : 0.0f;
        w.mg = v > t ? 0.0f : (v > 0.5f * t ? 1.0f : 0.0f);
        w.mb = 1.0f - w.mr - w.mg;
        writeWinner(s.dst + i * 4, w, a, a);
    }
}

// "maxComponentWinnerTakeAllMax" (image): the winner set to the maximum value 1, so the
// map is a pure class mask that multiplies a spot colour unchanged.
void maxComponentWinnerTakeAllMax(const ColorSpan& s) {
    const float* p = s.src[0];
    for (int i = 0; i < s.n; ++i) {
        const float* q = p + i * 4;
        const Winner w = winnerOf(q[0], q[1], q[2]);
        writeWinner(s.dst + i * 4, w, 1.0f, q[3]);
    }
}

// "maxComponentWinnerTakeAllScaled" (image): the winner's value scaled by its dominance
// 1 − runnerUp / winner, i.e. winner − runnerUp: strong where one channel clearly leads,
// fading to 0 where the two leading channels are close (greys, skin tones).
void maxComponentWinnerTakeAllScaled(const ColorSpan& s) {
    const float* p = s.src[0];
    for (int i = 0; i < s.n; ++i) {
        const float* q = p + i * 4;
        const Winner w = winnerOf(q[0], q[1], q[2]);
        writeWinner(s.dst + i * 4, w, w.max - w.second, q[3]);
    }
}

// "maxComponentWinnerTakeAllWithSaturationThreshold" (image, saturation threshold): the
// plain map, except that pixels whose saturation (max − min) / max is below the threshold
// fall into no class (black, alpha kept). Black itself has saturation 0.
void maxComponentWinnerTakeAllWithSaturationThreshold(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        const float* q = p + i * 4;
        const Winner w = winnerOf(q[0], q[1], q[2]);
        const float mn = std::min(q[0], std::min(q[1], q[2]));
        // max − min < t·max needs no division; black (max 0) is classless whatever t is.
        const bool grey = (w.max - mn) < t * w.max || w.max <= 0.0f;
        writeWinner(s.dst + i * 4, w, grey ? 0.0f : w.max, q[3]);
    }
}

// "thresholdMultichannelImageInvert" (image, threshold): each colour channel 1 where it is
// at or below the threshold, else 0.
void thresholdMultichannelImageInvert(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        for (int c = 0; c < 3; ++c) s.dst[i * 4 + c] = p[i * 4 + c] <= t ? 1.0f : 0.0f;
        s.dst[i * 4 + 3] = p[i * 4 + 3];
    }
}

// "thresholdMultichannelImageInvertBGR" (image, threshold): the inverted threshold of the
// channels taken in blue, green, red order: output red from input blue, green from green,
// blue from red.
void thresholdMultichannelImageInvertBGR(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = s.val[0][0];
    for (int i = 0; i < s.n; ++i) {
        const float* q = p + i * 4;
        float* o = s.dst + i * 4;
        o[0] = q[2] <= t ? 1.0f : 0.0f;
        o[1] = q[1] <= t ? 1.0f : 0.0f;
        o[2] = q[0] <= t ? 1.0f : 0.0f;
        o[3] = q[3];
    }
}

// "thresholdAndColorizeValueImage" (value image, threshold, lower colour, upper colour):
// the lower colour at or below the threshold, the upper colour above it.
void thresholdAndColorizeValueImage(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = s.val[0][0];
    // Local copies: the compiler cannot prove the arguments do not alias the output.
    float lo[4], hi[4];
    for (int c = 0; c < 4; ++c) lo[c] = s.val[1][c], hi[c] = s.val[2][c];
    for (int i = 0; i < s.n; ++i) {
        const bool below = p[i * 4] <= t;
        for (int c = 0; c < 4; ++c) s.dst[i * 4 + c] = below ? lo[c] : hi[c];
    }
}

// Band count of "quantize": the argument rounded, at least 1.
inline float bandCount(float n) { return std::max(1.0f, std::round(n)); }

// "quantize" (image, n): each colour channel reduced to n equal bands of [0, 1], each band
// represented by its midpoint (k + 0.5) / n. Midpoints keep the mean of a smooth ramp, so
// a quantised blur still balances against an unquantised one in a difference image.
// Values outside [0, 1] go to the end bands.
void quantize(const ColorSpan& s) {
    const float* p = s.src[0];
    const float n = bandCount(s.val[0][0]);
    const float top = n - 1.0f, inv = 1.0f / n;
    for (int i = 0; i < s.n; ++i) {
        for (int c = 0; c < 3; ++c) {
            const float k = std::clamp(std::floor(p[i * 4 + c] * n), 0.0f, top);
            s.dst[i * 4 + c] = (k + 0.5f) * inv;
        }
        s.dst[i * 4 + 3] = p[i * 4 + 3];
    }
}

// "colorizeLowerRangeWithGammaQuantizeInValueImage" (value image, lower colour, upper
// colour, gamma, levels, threshold, fill colour): below the threshold the ramp position
// t = (v / threshold)^gamma (gamma ≤ 0 counts as 1), quantised to `levels` evenly spaced
// steps from 0 to 1 inclusive (t → min(floor(t·levels), levels − 1) / (levels − 1); levels
// ≤ 1 leaves t smooth), gives mix(lower, upper, t). At or above the threshold, and
// everywhere when the threshold is not positive, the fill colour.
void colorizeLowerRangeWithGammaQuantizeInValueImage(const ColorSpan& s) {
    const float* p = s.src[0];
    float lo[4], hi[4], fill[4];
    for (int c = 0; c < 4; ++c) lo[c] = s.val[0][c], hi[c] = s.val[1][c], fill[c] = s.val[5][c];
    const float gamma = s.val[2][0] > 0 ? s.val[2][0] : 1.0f;
    const float levels = std::round(s.val[3][0]);
    const float threshold = s.val[4][0];
    const bool quantise = levels > 1;
    const float invThreshold = threshold > 0 ? 1.0f / threshold : 0.0f;
    // Not positive: nothing lies below, and v < threshold alone would catch negatives.
    const float limit = threshold > 0 ? threshold : -std::numeric_limits<float>::infinity();
    // Chunks on the stack so that each step is its own branch-free, vectorisable loop.
    constexpr int kChunk = 256;
    float t[kChunk];
    for (int i0 = 0; i0 < s.n; i0 += kChunk) {
        const int m = std::min(kChunk, s.n - i0);
        const float* q = p + ptrdiff_t(i0) * 4;
        for (int j = 0; j < m; ++j) t[j] = std::clamp(q[j * 4] * invThreshold, 0.0f, 1.0f);
        if (gamma != 1.0f)
            for (int j = 0; j < m; ++j) t[j] = std::pow(t[j], gamma);
        if (quantise)
            for (int j = 0; j < m; ++j) t[j] = std::min(std::floor(t[j] * levels), levels - 1.0f) / (levels - 1.0f);
        float* o = s.dst + ptrdiff_t(i0) * 4;
        for (int j = 0; j < m; ++j) {
            const bool inside = q[j * 4] < limit;
            for (int c = 0; c < 4; ++c) o[j * 4 + c] = inside ? lo[c] + (hi[c] - lo[c]) * t[j] : fill[c];
        }
    }
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
