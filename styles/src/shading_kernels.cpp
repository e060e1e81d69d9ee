// Kernels of the shading layer: saturation boosts, masks, spot-colour recolouring of blob
// maps, posterisation and a clamped power.
//
// All are colour kernels over row spans. Images arrive premultiplied; the kernels whose
// maths is defined on colour unpremultiply (alpha 0 reads as black), compute and
// premultiply again, so they are exact on the opaque pictures they mostly see. Colour
// arguments are straight components, as given. Saturation everywhere is the hexcone one,
// (max − min) / max, 0 for grey and for black.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <mutex>

#include "style_kernels.h"
#include "vellari/platform/fast_math.h"
#include "vellari/platform/kernel.h"

namespace vellari {
namespace {

inline float clamp01(float v) { return std::min(std::max(v, 0.0f), 1.0f); }
inline float safeInverse(float a) { return a > 0 ? 1.0f / a : 0.0f; }
inline float smoothstep(float e0, float e1, float x) {
    const float t = clamp01((x - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}
constexpr float kTiny = 1e-6f;

// Arguments a caller left out read as the fallback rather than past the array.
inline float number(const ColorSpan& s, int i, float fallback) { return i < s.valCount ? s.val[i][0] : fallback; }
inline ArgValue colour(const ColorSpan& s, int i) { return i < s.valCount ? s.val[i] : ArgValue{{1, 1, 1, 1}, 4}; }

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
void nonlinearSaturationSpan(const ColorSpan& s) {
    const float* p = s.src[0];
    const float gain = std::max(number(s, 0, 1), 0.0f);
    const float lo = clamp01(number(s, 1, 0) / 1000), hi = clamp01(number(s, 2, 1000) / 1000);
    const float range = hi - lo;
    if (!(range > kTiny)) {
        std::copy(p, p + size_t(s.n) * 4, s.dst);
        return;
    }
    const float fade = kFade ? std::max(number(s, 3, 100) / 1000, kTiny) : 0.0f;
    for (int i = 0; i < s.n; ++i) {
        const float a = p[4 * i + 3], inv = safeInverse(a);
        const float r = p[4 * i] * inv, g = p[4 * i + 1] * inv, b = p[4 * i + 2] * inv;
        const float mx = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b));
        const float sat = (mx - mn) / std::max(mx, kTiny);
        const float t = clamp01((sat - lo) / range);
        const float boosted = lo + (1 - fastmath::pow(1 - t, gain)) * range;
        const float target = (sat >= lo && sat <= hi) ? boosted : sat;
        float k = target / std::max(sat, kTiny);
        if (kFade) k = 1 + (k - 1) * smoothstep(0, fade, sat);
        s.dst[4 * i] = (mx - (mx - r) * k) * a;
        s.dst[4 * i + 1] = (mx - (mx - g) * k) * a;
        s.dst[4 * i + 2] = (mx - (mx - b) * k) * a;
        s.dst[4 * i + 3] = a;
    }
}

// "saturationMask" (image, threshold): premultiplied white whose alpha rises by a smooth
// step from 0 at the threshold saturation to 1 at threshold + 0.1 (times the pixel's own
// alpha). Nothing at or below the threshold is marked.
void saturationMask(const ColorSpan& s) {
    const float* p = s.src[0];
    const float t = number(s, 0, 0.25f);
    for (int i = 0; i < s.n; ++i) {
        const float a = p[4 * i + 3], inv = safeInverse(a);
        const float r = p[4 * i] * inv, g = p[4 * i + 1] * inv, b = p[4 * i + 2] * inv;
        const float mx = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b));
        const float sat = (mx - mn) / std::max(mx, kTiny);
        const float m = smoothstep(t, t + 0.1f, sat) * a;
        s.dst[4 * i] = s.dst[4 * i + 1] = s.dst[4 * i + 2] = s.dst[4 * i + 3] = m;
    }
}

// "copyAlpha" (colour image, mask image): the first image's straight colour at the second
// image's alpha.
void copyAlpha(const ColorSpan& s) {
    const float* c = s.src[0];
    const float* m = s.src[1];
    for (int i = 0; i < s.n; ++i) {
        const float k = safeInverse(c[4 * i + 3]) * m[4 * i + 3];
        for (int j = 0; j < 3; ++j) s.dst[4 * i + j] = c[4 * i + j] * k;
        s.dst[4 * i + 3] = m[4 * i + 3];
    }
}

// "replaceRGBWithMultipliedColors" (blob image, colour 0, colour 1, colour 2): the blob
// image's red, green and blue (clamped to 0..1) are the strengths of the three colours;
// each colour tints by mix(1, colour, strength · colour alpha) and the tints multiply, as
// inks printed over each other. No blob at all gives white. Alpha of the blob image.
void replaceRGBWithMultipliedColors(const ColorSpan& s) {
    const float* p = s.src[0];
    const ArgValue col[3] = {colour(s, 0), colour(s, 1), colour(s, 2)};
    for (int i = 0; i < s.n; ++i) {
        const float a = p[4 * i + 3], inv = safeInverse(a);
        float out[3] = {1, 1, 1};
        for (int k = 0; k < 3; ++k) {
            const float w = clamp01(p[4 * i + k] * inv) * col[k][3];
            for (int j = 0; j < 3; ++j) out[j] *= 1 + (col[k][j] - 1) * w;
        }
        for (int j = 0; j < 3; ++j) s.dst[4 * i + j] = out[j] * a;
        s.dst[4 * i + 3] = a;
    }
}

// "replaceRGBWithMultipliedColorsWinnerTakeAll" (blob image, three colours): as above,
// but only the strongest of the three channels tints (ties go to red, then green), so
// overlapping blobs never mix into a fourth colour. White where all three are zero.
void replaceRGBWithMultipliedColorsWinnerTakeAll(const ColorSpan& s) {
    const float* p = s.src[0];
    const ArgValue c0 = colour(s, 0), c1 = colour(s, 1), c2 = colour(s, 2);
    for (int i = 0; i < s.n; ++i) {
        const float a = p[4 * i + 3], inv = safeInverse(a);
        const float r = clamp01(p[4 * i] * inv), g = clamp01(p[4 * i + 1] * inv), b = clamp01(p[4 * i + 2] * inv);
        const bool redWins = r >= g && r >= b;
        const bool greenWins = !redWins && g >= b;
        const float v = redWins ? r : (greenWins ? g : b);
        for (int j = 0; j < 3; ++j) {
            const float cj = redWins ? c0[j] : (greenWins ? c1[j] : c2[j]);
            const float aj = redWins ? c0[3] : (greenWins ? c1[3] : c2[3]);
            s.dst[4 * i + j] = (1 + (cj - 1) * v * aj) * a;
        }
        s.dst[4 * i + 3] = a;
    }
}

// "quantizeNonLinear" (image, levels, gamma): each colour channel c (clamped to 0..1) is
// posterised in the gamma domain: u = c^gamma, q = min(floor(u · n), n − 1) / (n − 1),
// result q^(1 / gamma), with n = floor(levels). The n output tones include 0 and 1;
// gamma below 1 puts more of the picture into the light steps, above 1 into the dark
// ones. Fewer than 2 levels, or a gamma that is not positive, pass the image through.
void quantizeNonLinear(const ColorSpan& s) {
    const float* p = s.src[0];
    const float n = std::floor(number(s, 0, 0)), g = number(s, 1, 1);
    if (!(n >= 2) || !(g > 0)) {
        std::copy(p, p + size_t(s.n) * 4, s.dst);
        return;
    }
    const float top = n - 1, invTop = 1 / top, invG = 1 / g;
    const auto step = [=](float c) {
        const float q = std::min(std::floor(fastmath::pow(clamp01(c), g) * n), top) * invTop;
        return fastmath::pow(q, invG);
    };
    for (int i = 0; i < s.n; ++i) {
        const float a = p[4 * i + 3], inv = safeInverse(a);
        const float r = step(p[4 * i] * inv), gr = step(p[4 * i + 1] * inv), b = step(p[4 * i + 2] * inv);
        s.dst[4 * i] = r * a;
        s.dst[4 * i + 1] = gr * a;
        s.dst[4 * i + 2] = b * a;
        s.dst[4 * i + 3] = a;
    }
}

// "powRange" (image, exponent): each colour channel clamped to 0..1 and raised to the
// exponent, the result kept within 0..1 (a negative exponent saturates at 1).
void powRange(const ColorSpan& s) {
    const float* p = s.src[0];
    const float e = number(s, 0, 1);
    for (int i = 0; i < s.n; ++i) {
        const float a = p[4 * i + 3], inv = safeInverse(a);
        for (int j = 0; j < 3; ++j) s.dst[4 * i + j] = std::min(fastmath::pow(clamp01(p[4 * i + j] * inv), e), 1.0f) * a;
        s.dst[4 * i + 3] = a;
    }
}

// "colorizeUpperAndLowerRangesInValueImage" (value image, lower, lower colour, upper,
// upper colour, other colour): by the stored red value v, v ≤ lower gives the lower
// colour, else v ≥ upper the upper colour, else the other colour. The colours are stored
// exactly as given (straight), so a transparent mid-grey stays readable downstream.
void colorizeUpperAndLowerRanges(const ColorSpan& s) {
    const float* p = s.src[0];
    if (s.valCount < 5) {
        std::fill(s.dst, s.dst + size_t(s.n) * 4, 0.0f);
        return;
    }
    const float lo = s.val[0][0], hi = s.val[2][0];
    float cl[4], cu[4], co[4];
    for (int j = 0; j < 4; ++j) cl[j] = s.val[1][j], cu[j] = s.val[3][j], co[j] = s.val[4][j];
    for (int i = 0; i < s.n; ++i) {
        const float v = p[4 * i];
        const bool low = v <= lo, high = v >= hi;
        s.dst[4 * i] = low ? cl[0] : (high ? cu[0] : co[0]);
        s.dst[4 * i + 1] = low ? cl[1] : (high ? cu[1] : co[1]);
        s.dst[4 * i + 2] = low ? cl[2] : (high ? cu[2] : co[2]);
        s.dst[4 * i + 3] = low ? cl[3] : (high ? cu[3] : co[3]);
    }
}

}  // namespace

void registerShadingKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        KernelRegistry::add(Kernel::makeColor("nonlinearSaturation", nonlinearSaturationSpan<false>));
        KernelRegistry::add(Kernel::makeColor("nonlinearSaturationZeroFix", nonlinearSaturationSpan<true>));
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
