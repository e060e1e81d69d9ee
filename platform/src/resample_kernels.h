#pragma once
// Row kernels of separable resampling over premultiplied RGBA float pixels. Each runs on
// the best instruction set available (see vellari/platform/simd.h).

#include <cstddef>
#include <cstdint>

namespace vellari::detail {

// Horizontal pass with m taps an output pixel (m = 2 or 4): over `rows` input rows, the
// first at `in` and each `stride` floats after the one before, output pixel k of a row
// is the sum over j < m of tap j's weight times the pixel at float offset idx[k·m + j]
// from its row's start. The weights lie in m planes of w pixels: tap j of pixel k at
// wt[4(j·w + k)], repeated over the four channels. Output rows are w pixels each, one
// after the other from `out`.
void resampleRowsFixed(const float* in, ptrdiff_t stride, size_t rows, const int32_t* idx, const float* wt, int m,
                       size_t w, float* out);

// The same with count[k] taps for output pixel k: pixels first[k] .. first[k] + count[k] − 1
// with weights wts[off[k] ...], a row's start being pixel `origin`; no tap gives a
// transparent pixel.
void resampleRowsAny(const float* in, ptrdiff_t stride, size_t rows, int origin, const int* first, const int* count,
                     const int* off, const float* wts, size_t w, float* out);

// Vertical pass over rows of n floats, the first at `in` being row `origin`: output row k
// (of `rows`, outStride floats apart) is the sum over j < count[k] of wts[off[k] + j]
// times row first[k] + j; no tap gives zeros.
void blendRows(const float* in, size_t n, int origin, const int* first, const int* count, const int* off,
               const float* wts, size_t rows, float* out, ptrdiff_t outStride);

}  // namespace vellari::detail
