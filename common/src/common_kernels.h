#pragma once
// Row kernels of the common image utilities: the edge-aware enlargement and weighted sums.
// Each runs on the best instruction set available (see vellari/platform/simd.h).

#include <cstddef>

namespace vellari::common {

// Taps and weights along one axis for one output pixel of the enlargement.
struct UpscaleTaps {
    int idx[4];        // source pixels, relative to the first one held
    float w[4];        // bicubic weights
    int near0, near1;  // the two source pixels around the sample point
};

// Work rows of one output row: n floats each (span pixels) for the vertical pass, w · 4
// each for the horizontal one.
struct UpscaleRows {
    float *tmp, *mn, *mx;
    float *val, *lo, *hi;
};

// One output row of w pixels: rows r[0..3] (span pixels each) interpolated vertically
// with weights wy and horizontally with cols, clamped to the range of the 2 × 2 source
// pixels around each sample (the nearest rows near0, near1 and columns), and sharpened
// where that range is large.
void upscaleRow(const float* const r[4], const float wy[4], const float* near0, const float* near1, size_t span,
                const UpscaleTaps* cols, size_t w, const UpscaleRows& work, float sharpenFrom, float sharpenFull,
                float* out);

// out = clamp(a·alpha + b·beta + gamma, 0, 1) on colour, a's alpha kept; n pixels.
void addWeightedSpan(const float* a, const float* b, float* out, size_t n, float alpha, float beta, float gamma);

}  // namespace vellari::common
