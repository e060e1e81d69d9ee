#pragma once
// log2, exp2 and pow as straight-line code (bit tricks and short polynomials) so that
// loops calling them vectorise: the library's vector pow needs full fast-math, which the
// build keeps off (-fno-finite-math-only). pow(x, y) for x > 0 is within about 2e-6
// relative, and exact at x = 1.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

namespace vellari::fastmath {

inline float log2(float x) {
    const int32_t bits = std::bit_cast<int32_t>(x);
    // Mantissa m in [√½, √2), where ln m = 2·atanh(t), t = (m − 1)/(m + 1), |t| < 0.172.
    const int32_t e = (bits - 0x3f3504f3) >> 23;
    const float m = std::bit_cast<float>(bits - (e << 23));
    const float t = (m - 1) / (m + 1), t2 = t * t;
    const float p = (((2.f / 9 * t2 + 2.f / 7) * t2 + 2.f / 5) * t2 + 2.f / 3) * t2 + 2;
    return float(e) + p * t * 1.44269504f;
}

inline float exp2(float y) {
    y = std::min(std::max(y, -126.0f), 127.0f);
    const float n = std::floor(y + 0.5f), f = (y - n) * 0.693147181f;
    float p = 1.f / 5040;
    p = p * f + 1.f / 720;
    p = p * f + 1.f / 120;
    p = p * f + 1.f / 24;
    p = p * f + 1.f / 6;
    p = p * f + 0.5f;
    p = p * f + 1;
    p = p * f + 1;
    return p * std::bit_cast<float>((int32_t(n) + 127) << 23);
}

// x^y for x ≥ 0; 0^y is 0 for y > 0, else 1.
inline float pow(float x, float y) { return x > 0 ? exp2(y * log2(x)) : (y > 0 ? 0.0f : 1.0f); }

// |v|^p with v's sign; 0 (and NaN) give 0.
inline float signedPow(float v, float p) {
    const float x = std::fabs(v);
    const float r = x > 0.f ? exp2(p * log2(x)) : 0.f;
    return std::copysign(r, v);
}

}  // namespace vellari::fastmath
