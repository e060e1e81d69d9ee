#pragma once
// Row kernels of the smoothing filters over float planes (one per channel, rows of a tile
// plus its margin; lanes are neighbouring output pixels). Each runs on the best
// instruction set available (see vellari/platform/simd.h).
//
// Kernels read whole vectors: a row's last vector may reach past its end, into the next
// row and, on the last row, up to kPlaneSlack floats past the plane. Such lanes are
// computed but never written out, so the slack only has to be allocated.

#include <cstddef>
#include <cstdint>

namespace vellari::smoothing {

// Floats a kernel may read past the end of a plane (the widest vector of any target).
inline constexpr size_t kPlaneSlack = 64;

// Luma of the stored values (Rec. 601 weights).
inline constexpr float kLumaR = 0.299f, kLumaG = 0.587f, kLumaB = 0.114f;

// n interleaved RGBA pixels to planes: the channels to c[0..3] unless c is null, luma to
// `luma` unless null.
void splitPixels(const float* p, size_t n, float* const* c, float* luma);

// Fast approximate anti-aliasing, quality variant of the published 3.11 method.
struct FxaaParams {
    float subpix = 0.75f;              // amount of sub-pixel aliasing removal
    float edgeThreshold = 0.166f;      // local contrast, relative to the brightest neighbour
    float edgeThresholdMin = 0.0833f;  // darkest contrast that is still processed
    // Search steps along the edge. The sampled ones end 8 pixels out (the region of
    // interest); the last step is the unsampled guess beyond them.
    static constexpr int kSteps = 6;
    float steps[kSteps] = {1.0f, 1.5f, 2.0f, 2.0f, 1.5f, 4.0f};
};
// How far the search reads from its pixel, along the edge and across it.
inline constexpr int kFxaaSearchReach = 8;

// The pixels of a row of n, luma `lm` in a plane of width pw that holds kFxaaSearchReach
// rows and columns around it, that are resampled across an edge: their columns to `cols`,
// how far towards their neighbour to `blend`, the neighbour's direction to `across` as
// nx + 3 ny. Returns their count (at most n).
size_t fxaaRow(const FxaaParams& k, const float* lm, ptrdiff_t pw, size_t n, int32_t* cols, float* blend,
               int32_t* across);

// One row of n surface-blurred pixels, interleaved to `out`. Planes c[0..3] and luma have
// width pw; `centre` indexes the row's first pixel, which has m pixels of margin all round;
// wt holds the 2m + 1 weights of the offsets -m..m; invT is 1 / threshold.
void surfaceBlurRow(const float* const* c, const float* luma, ptrdiff_t centre, ptrdiff_t pw, int m, const float* wt,
                    float invT, size_t n, float* out);

// One tap of a bilateral pass: read linearly between the pixels at o0 and o1 (offsets from
// the output pixel's own), fraction f.
struct BilateralTap {
    ptrdiff_t o0, o1;
    float weight, f;
};
// One row of n bilateral-filtered pixels, interleaved to `out`; `centre` indexes the
// row's first pixel in planes c[0..3].
void bilateralRow(const float* const* c, ptrdiff_t centre, const BilateralTap* taps, size_t count, float factor,
                  size_t n, float* out);

}  // namespace vellari::smoothing
