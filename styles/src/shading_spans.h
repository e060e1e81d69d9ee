#pragma once
// Span kernels of the shading layer: n premultiplied RGBA pixels in, n out, on the best
// instruction set available (see vellari/platform/simd.h). Arguments are already checked
// and converted by the callers in shading_kernels.cpp.

#include <cstddef>

namespace vellari::styles::shading {

// Saturations in [lo, hi] remapped along 1 − (1 − t)^gain; with fade > 0 the boost is
// eased in by a smooth step over saturations 0..fade. hi − lo > 0.
void nonlinearSaturationSpan(const float* src, float* dst, size_t n, float gain, float lo, float hi, float fade);
// Premultiplied white at alpha smoothstep(threshold, threshold + 0.1, saturation) · alpha.
void saturationMaskSpan(const float* src, float* dst, size_t n, float threshold);
// The colour's straight colour at the mask's alpha.
void copyAlphaSpan(const float* colour, const float* mask, float* dst, size_t n);
// colours: three straight RGBA colours, one after the other.
void multipliedColorsSpan(const float* src, float* dst, size_t n, const float colours[12]);
void multipliedColorsWinnerTakeAllSpan(const float* src, float* dst, size_t n, const float colours[12]);
// levels ≥ 2 (a whole number), gamma > 0.
void quantizeNonLinearSpan(const float* src, float* dst, size_t n, float levels, float gamma);
// Each colour channel c (clamped to 0..1) to tone[k], k the number of the ascending
// thresholds (steps of them) that c reaches; tone has steps + 1 entries.
void stepsSpan(const float* src, float* dst, size_t n, const float* threshold, const float* tone, int steps);
void powRangeSpan(const float* src, float* dst, size_t n, float exponent);
// By red v: v ≤ lower gives the lower colour, else v ≥ upper the upper one, else other.
void colorizeRangesSpan(const float* src, float* dst, size_t n, float lower, const float lowerColour[4], float upper,
                        const float upperColour[4], const float otherColour[4]);

}  // namespace vellari::styles::shading
