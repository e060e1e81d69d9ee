// Kernels of the shading layer: saturation boosts, masks, spot-colour recolouring of blob
// maps, posterisation and a clamped power.
//
// All are colour kernels over row spans. Images arrive premultiplied; the kernels whose
// maths is defined on colour unpremultiply (alpha 0 reads as black), compute and
// premultiply again, so they are exact on the opaque pictures they mostly see. Colour
// arguments are straight components, as given. Saturation everywhere is the hexcone one,
// (max − min) / max, 0 for grey and for black.
//
// The rules are stated here, with the arguments' checks; the loops over the pixels are in
// shading_spans.cpp, compiled for every instruction set.

#include <algorithm>
#include <cmath>
#include <mutex>

#include "shading_spans.h"
#include "style_kernels.h"
#include "vellari/platform/fast_math.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

using namespace styles::shading;

inline float clamp01(float v) { return std::min(std::max(v, 0.0f), 1.0f); }
constexpr float kTiny = 1e-6f;

// Arguments a caller left out read as the fallback rather than past the array.
inline float number(const ColorSpan& s, int i, float fallback) { return i < s.valCount ? s.val[i][0] : fallback; }
inline ArgValue colour(const ColorSpan& s, int i) { return i < s.valCount ? s.val[i] : ArgValue{{1, 1, 1, 1}, 4}; }

inline void passThrough(const ColorSpan& s) { std::copy(s.src[0], s.src[0] + size_t(s.n) * 4, s.dst); }

// "nonlinearSaturation" (image, gain, lower, upper) and "nonlinearSaturationZeroFix"
// (image, gain, lower, upper, fade). Saturations s between lower/1000 and upper/1000 are
// remapped along 1 − (1 − t)^gain of their position t in that range: weak colours are
// boosted most (slope `gain` at the bottom of the range), full ones stay, and the curve
// never leaves the range, so no channel clips. The new saturation is reached by scaling
// each channel's distance below the maximum, which keeps hue and value. With the fade,
// the boost is eased in by a smooth step over saturations 0..fade/1000, so near-grey
// pixels (noise on walls and skies) keep their tone instead of taking on a colour cast;
// exact grey is unchanged in both, and no division by a zero saturation happens.
template <bool kFade>
void nonlinearSaturation(const ColorSpan& s) {
    const float gain = std::max(number(s, 0, 1), 0.0f);
    const float lo = clamp01(number(s, 1, 0) / 1000), hi = clamp01(number(s, 2, 1000) / 1000);
    if (!(hi - lo > kTiny)) return passThrough(s);
    const float fade = kFade ? std::max(number(s, 3, 100) / 1000, kTiny) : 0.0f;
    nonlinearSaturationSpan(s.src[0], s.dst, size_t(s.n), gain, lo, hi, fade);
}

// "saturationMask" (image, threshold): premultiplied white whose alpha rises by a smooth
// step from 0 at the threshold saturation to 1 at threshold + 0.1 (times the pixel's own
// alpha). Nothing at or below the threshold is marked.
void saturationMask(const ColorSpan& s) { saturationMaskSpan(s.src[0], s.dst, size_t(s.n), number(s, 0, 0.25f)); }

// "copyAlpha" (colour image, mask image): the first image's straight colour at the second
// image's alpha.
void copyAlpha(const ColorSpan& s) { copyAlphaSpan(s.src[0], s.src[1], s.dst, size_t(s.n)); }

// The three colour arguments of the recolouring kernels, one after the other.
struct ThreeColours {
    float c[12];
    explicit ThreeColours(const ColorSpan& s) {
        for (int k = 0; k < 3; ++k) {
            const ArgValue v = colour(s, k);
            for (int j = 0; j < 4; ++j) c[4 * k + j] = v[j];
        }
    }
};

// "replaceRGBWithMultipliedColors" (blob image, colour 0, colour 1, colour 2): the blob
// image's red, green and blue (clamped to 0..1) are the strengths of the three colours;
// each colour tints by mix(1, colour, strength · colour alpha) and the tints multiply, as
// inks printed over each other. No blob at all gives white. Alpha of the blob image.
void replaceRGBWithMultipliedColors(const ColorSpan& s) {
    multipliedColorsSpan(s.src[0], s.dst, size_t(s.n), ThreeColours(s).c);
}

// "replaceRGBWithMultipliedColorsWinnerTakeAll" (blob image, three colours): as above,
// but only the strongest of the three channels tints (ties go to red, then green), so
// overlapping blobs never mix into a fourth colour. White where all three are zero.
void replaceRGBWithMultipliedColorsWinnerTakeAll(const ColorSpan& s) {
    multipliedColorsWinnerTakeAllSpan(s.src[0], s.dst, size_t(s.n), ThreeColours(s).c);
}

// "quantizeNonLinear" (image, levels, gamma): each colour channel c (clamped to 0..1) is
// posterised in the gamma domain: u = c^gamma, q = min(floor(u · n), n − 1) / (n − 1),
// result q^(1 / gamma), with n = floor(levels). The n output tones include 0 and 1;
// gamma below 1 puts more of the picture into the light steps, above 1 into the dark
// ones. Fewer than 2 levels, or a gamma that is not positive, pass the image through.
//
// With few levels (the styles use 3 to 5) no power is taken per pixel: floor(c^g · n) ≥ j
// exactly where c ≥ (j / n)^(1 / g), so the steps are thresholds on c itself, and the n
// tones are a table. Only a channel within float rounding of a threshold may land in the
// other step than the power would have put it in.
constexpr int kMaxTableLevels = 16;
struct QuantizeTable {
    float levels = 0, gamma = 0;
    float threshold[kMaxTableLevels - 1];
    float tone[kMaxTableLevels];
};

const QuantizeTable& quantizeTable(float n, float g) {
    // Arguments stay the same over a picture's spans: one table per thread, made again
    // only when they change.
    thread_local QuantizeTable t;
    if (t.levels == n && t.gamma == g) return t;
    t.levels = n;
    t.gamma = g;
    const int top = int(n) - 1;
    for (int j = 1; j <= top; ++j) {
        const double x = std::pow(double(j) / n, 1.0 / g);
        // The smallest float at or above x, so that c ≥ threshold means c ≥ x.
        float f = float(x);
        if (double(f) < x) f = std::nextafter(f, 2.0f);
        t.threshold[j - 1] = f;
    }
    const float invTop = 1 / float(top), invG = 1 / g;
    for (int k = 0; k <= top; ++k) t.tone[k] = fastmath::pow(float(k) * invTop, invG);
    return t;
}

void quantizeNonLinear(const ColorSpan& s) {
    const float n = std::floor(number(s, 0, 0)), g = number(s, 1, 1);
    if (!(n >= 2) || !(g > 0)) return passThrough(s);
    if (n > kMaxTableLevels) return quantizeNonLinearSpan(s.src[0], s.dst, size_t(s.n), n, g);
    const QuantizeTable& t = quantizeTable(n, g);
    stepsSpan(s.src[0], s.dst, size_t(s.n), t.threshold, t.tone, int(n) - 1);
}

// "powRange" (image, exponent): each colour channel clamped to 0..1 and raised to the
// exponent, the result kept within 0..1 (a negative exponent saturates at 1).
void powRange(const ColorSpan& s) { powRangeSpan(s.src[0], s.dst, size_t(s.n), number(s, 0, 1)); }

// "colorizeUpperAndLowerRangesInValueImage" (value image, lower, lower colour, upper,
// upper colour, other colour): by the stored red value v, v ≤ lower gives the lower
// colour, else v ≥ upper the upper colour, else the other colour. The colours are stored
// exactly as given (straight), so a transparent mid-grey stays readable downstream.
void colorizeUpperAndLowerRanges(const ColorSpan& s) {
    if (s.valCount < 5) {
        std::fill(s.dst, s.dst + size_t(s.n) * 4, 0.0f);
        return;
    }
    colorizeRangesSpan(s.src[0], s.dst, size_t(s.n), s.val[0][0], s.val[1].v, s.val[2][0], s.val[3].v, s.val[4].v);
}

}  // namespace

void registerShadingKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        KernelRegistry::add(Kernel::makeColor("nonlinearSaturation", nonlinearSaturation<false>));
        KernelRegistry::add(Kernel::makeColor("nonlinearSaturationZeroFix", nonlinearSaturation<true>));
        KernelRegistry::add(Kernel::makeColor("saturationMask", saturationMask));
        KernelRegistry::add(Kernel::makeColor("copyAlpha", copyAlpha));
        KernelRegistry::add(Kernel::makeColor("replaceRGBWithMultipliedColors", replaceRGBWithMultipliedColors));
        KernelRegistry::add(Kernel::makeColor("replaceRGBWithMultipliedColorsWinnerTakeAll",
                                              replaceRGBWithMultipliedColorsWinnerTakeAll));
        KernelRegistry::add(Kernel::makeColor("quantizeNonLinear", quantizeNonLinear));
        KernelRegistry::add(Kernel::makeColor("powRange", powRange));
        KernelRegistry::add(Kernel::makeColor("colorizeUpperAndLowerRangesInValueImage", colorizeUpperAndLowerRanges));
    });
}

}  // namespace vellari
