#pragma once
// Line kernels of the separable bilateral filters. Each runs on the best instruction set
// available (see vellari/platform/simd.h).

#include <cstddef>

namespace vellari::bilateral {

// Floats past a line's end that filterLine may read (never write) in its last block: at
// least the widest vector's lanes less one.
constexpr size_t kLineSlack = 64;

// One line of n output pixels. planes[c] points at the centre pixels' channel c (lane i at
// planes[c][i]); the tap at offset k of lane i is planes[c][i + k·step]. spatial[k + half]
// is the tap's spatial weight (0 for taps known to lie outside the extent); valid, when
// not null, is a validity plane indexed like the channels. Every plane must be readable
// kLineSlack floats past the last tap.
struct Line {
    const float* planes[4] = {};
    const float* valid = nullptr;
    ptrdiff_t step = 1;
    size_t n = 0;
    const float* spatial = nullptr;
    int half = 0;
    float rangeScale = 0;  // |Δrgb|² times this is d² / (2σ²)
    float stopD2 = 0;      // |Δrgb|² beyond which the occlusion walk stops
    bool blurAlpha = false;
    bool occlusion = false;
    bool grey = false;  // the three colour planes are equal: only red is accumulated
};
// Writes the line's n pixels, interleaved RGBA, to dst.
void filterLine(const Line& line, float* dst);

// Planar copy of n RGBA pixels; true when red, green and blue are equal in every one.
bool splitPlanes(const float* src, size_t n, float* r, float* g, float* b, float* a);

}  // namespace vellari::bilateral
