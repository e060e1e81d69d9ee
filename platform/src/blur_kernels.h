#pragma once
// Row kernels of the Gaussian blur. Each runs on the best instruction set available (see
// vellari/platform/simd.h).

#include <cstddef>

namespace vellari::detail {

// o[i] = k[0]·p[R][i] + Σ over m = 1..R of k[m]·(p[R − m][i] + p[R + m][i]), for i in
// [0, n): a symmetric kernel of 2R + 1 taps, each tap a row of its own. Reads exactly
// p[j][0 .. n) and writes o[0 .. n); o must not overlap any tap row.
void symmetricTapsSpan(const float* const* p, const float* k, int R, float* o, size_t n);

// Flags of greySplitSpan.
constexpr unsigned kGreyDiffers = 1;     // some pixel has green or blue other than red
constexpr unsigned kGreyTranslucent = 2;  // some alpha is not 1

// Red and alpha of n RGBA pixels into two planes, with flags telling whether the pixels
// were grey and opaque.
unsigned greySplitSpan(const float* src, size_t n, float* red, float* alpha);

// n grey RGBA pixels: g[i] in red, green and blue, a[i]·aScale in alpha.
void greyJoinSpan(const float* g, const float* a, float aScale, float* dst, size_t n);

}  // namespace vellari::detail
