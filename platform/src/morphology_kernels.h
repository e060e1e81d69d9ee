#pragma once
// Kernels of the rectangle minimum. Each runs on the best instruction set available (see
// vellari/platform/simd.h).

#include <cstddef>

namespace vellari::detail {

// n RGBA pixels with alpha negated, so that the window's alpha maximum is a minimum too.
void negateAlphaSpan(const float* src, float* dst, size_t n);
// In place over n RGBA pixels: values at or above `neutral` (no input pixel in the window)
// become 0, and alpha is negated back.
void finishMinimumSpan(float* p, size_t n, float neutral);

// dst[q] = minimum of src[q + j·step] over j in [0, k), for q in [0, len). dst must not
// overlap src.
void windowMinimumSpan(const float* src, ptrdiff_t step, float* dst, size_t len, int k);

// The sliding minimum by prefix and suffix minima within blocks of k elements (any window
// of k spans at most two blocks): dst element i = elementwise minimum of src elements
// i … i + k − 1, for i in [0, L − k]. Elements are m contiguous floats, src ones `ss`
// floats apart, dst ones `ds`; scratch holds 2·L·m floats.
void blockedWindowMinimum(const float* src, ptrdiff_t ss, float* dst, ptrdiff_t ds, int L, int k, int m,
                          float* scratch);

}  // namespace vellari::detail
