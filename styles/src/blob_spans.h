#pragma once
// Span kernels of the ink-blob layer: n premultiplied RGBA pixels in, n out, on the best
// instruction set available (see vellari/platform/simd.h). The rules are those of the
// kernels of the same names in blob_kernels.cpp, which check and convert the arguments.

#include <cstddef>

namespace vellari::styles::blobs {

// Winner-take-all maps: what the winning channel keeps.
enum class WinnerValue {
    Value,     // its value
    One,       // 1
    Lead,      // its value minus the runner-up's
};
void winnerTakeAllSpan(const float* src, float* dst, size_t n, WinnerValue value);
// Grey pixels (max − min < threshold · max, or max ≤ 0) fall into no class.
void winnerTakeAllSaturationSpan(const float* src, float* dst, size_t n, float threshold);
// Classes by the unpremultiplied maximum: above the threshold red, above half of it green,
// else blue; the class channel holds alpha.
void winnerTakeAllMaxThresholdSpan(const float* src, float* dst, size_t n, float threshold);
// Each colour channel 1 at or below the threshold, else 0; with `bgr` in reverse order.
void thresholdInvertSpan(const float* src, float* dst, size_t n, float threshold, bool bgr);
// The lower colour where red is at or below the threshold, else the upper colour.
void thresholdColorizeSpan(const float* src, float* dst, size_t n, float threshold, const float lower[4],
                           const float upper[4]);
// Colour channels to the midpoints of `bands` (a whole number ≥ 1) equal bands of [0, 1].
void quantizeBandsSpan(const float* src, float* dst, size_t n, float bands);
// Below `limit` (by red), mix(lower, upper, t) for the ramp t = clamp01(v · invThreshold),
// raised to gamma unless it is 1 and quantised to `levels` steps when levels > 1; at or
// above it, the fill colour.
void colorizeLowerRampSpan(const float* src, float* dst, size_t n, const float lower[4], const float upper[4],
                           const float fill[4], float gamma, float levels, float invThreshold, float limit);

}  // namespace vellari::styles::blobs
