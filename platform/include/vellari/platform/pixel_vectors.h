#pragma once
// Premultiplied RGBA pixels as vectors: one pixel, or four side by side for the wide
// registers. Alpha is taken lane-wise from its own pixel, so one operator written as a
// template serves both widths.

#include <cstring>
#if defined(__AVX512F__)
#include <immintrin.h>
#endif

namespace vellari::detail {

typedef float V4 __attribute__((vector_size(16)));
typedef float V16 __attribute__((vector_size(64)));
typedef int I4 __attribute__((vector_size(16)));
typedef int I16 __attribute__((vector_size(64)));

template <class V>
inline V loadV(const float* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
template <class V>
inline void storeV(float* p, V v) {
    std::memcpy(p, &v, sizeof v);
}
inline V4 alphaOf(V4 v) { return __builtin_shuffle(v, I4{3, 3, 3, 3}); }
inline V16 alphaOf(V16 v) { return __builtin_shuffle(v, I16{3, 3, 3, 3, 7, 7, 7, 7, 11, 11, 11, 11, 15, 15, 15, 15}); }
// c's colour lanes with a's alpha lanes.
inline V4 withAlpha(V4 c, V4 a) { return __builtin_shuffle(c, a, I4{0, 1, 2, 7}); }
inline V16 withAlpha(V16 c, V16 a) {
    return __builtin_shuffle(c, a, I16{0, 1, 2, 19, 4, 5, 6, 23, 8, 9, 10, 27, 12, 13, 14, 31});
}
// Alpha to [0, 1], colour to [0, alpha].
template <class V>
inline V clampPremultipliedV(V p) {
    V a = alphaOf(p);
    a = a < 0.f ? V{} : a;
    a = a > 1.f ? V{} + 1.f : a;
    V v = p < 0.f ? V{} : p;
    v = v > a ? a : v;
    return withAlpha(v, a);
}

// Sixteen RGBA pixels as four planes, and back: per-channel arithmetic and table lookups
// then run on whole registers instead of strided lanes.
struct Planes16 {
    V16 r, g, b, a;
};
inline Planes16 toPlanes(const float* p) {
    const V16 v0 = loadV<V16>(p), v1 = loadV<V16>(p + 16), v2 = loadV<V16>(p + 32), v3 = loadV<V16>(p + 48);
    constexpr I16 kRG = {0, 4, 8, 12, 16, 20, 24, 28, 1, 5, 9, 13, 17, 21, 25, 29};
    constexpr I16 kBA = {2, 6, 10, 14, 18, 22, 26, 30, 3, 7, 11, 15, 19, 23, 27, 31};
    constexpr I16 kLo = {0, 1, 2, 3, 4, 5, 6, 7, 16, 17, 18, 19, 20, 21, 22, 23};
    constexpr I16 kHi = {8, 9, 10, 11, 12, 13, 14, 15, 24, 25, 26, 27, 28, 29, 30, 31};
    const V16 rg0 = __builtin_shuffle(v0, v1, kRG), ba0 = __builtin_shuffle(v0, v1, kBA);
    const V16 rg1 = __builtin_shuffle(v2, v3, kRG), ba1 = __builtin_shuffle(v2, v3, kBA);
    return {__builtin_shuffle(rg0, rg1, kLo), __builtin_shuffle(rg0, rg1, kHi), __builtin_shuffle(ba0, ba1, kLo),
            __builtin_shuffle(ba0, ba1, kHi)};
}
inline void fromPlanes(float* p, const Planes16& q) {
    constexpr I16 kZipLo = {0, 16, 1, 17, 2, 18, 3, 19, 4, 20, 5, 21, 6, 22, 7, 23};
    constexpr I16 kZipHi = {8, 24, 9, 25, 10, 26, 11, 27, 12, 28, 13, 29, 14, 30, 15, 31};
    constexpr I16 kPairLo = {0, 1, 16, 17, 2, 3, 18, 19, 4, 5, 20, 21, 6, 7, 22, 23};
    constexpr I16 kPairHi = {8, 9, 24, 25, 10, 11, 26, 27, 12, 13, 28, 29, 14, 15, 30, 31};
    const V16 rg0 = __builtin_shuffle(q.r, q.g, kZipLo), rg1 = __builtin_shuffle(q.r, q.g, kZipHi);
    const V16 ba0 = __builtin_shuffle(q.b, q.a, kZipLo), ba1 = __builtin_shuffle(q.b, q.a, kZipHi);
    storeV(p, __builtin_shuffle(rg0, ba0, kPairLo));
    storeV(p + 16, __builtin_shuffle(rg0, ba0, kPairHi));
    storeV(p + 32, __builtin_shuffle(rg1, ba1, kPairLo));
    storeV(p + 48, __builtin_shuffle(rg1, ba1, kPairHi));
}

// Whether any lane of a comparison's result is set.
inline bool anyLane(I16 m) {
#if defined(__AVX512F__)
    __m512i v;
    std::memcpy(&v, &m, sizeof v);
    return _mm512_test_epi32_mask(v, v) != 0;
#else
    int r = 0;
    for (int l = 0; l < 16; ++l) r |= m[l];
    return r != 0;
#endif
}

// table[index] lane by lane.
inline V16 gather(const float* table, I16 index) {
#if defined(__AVX512F__)
    __m512i i;
    std::memcpy(&i, &index, sizeof i);
    const __m512 v = _mm512_mask_i32gather_ps(_mm512_setzero_ps(), __mmask16(0xFFFF), i, table, 4);
    V16 r;
    std::memcpy(&r, &v, sizeof r);
    return r;
#else
    V16 r;
    for (int l = 0; l < 16; ++l) r[l] = table[index[l]];
    return r;
#endif
}

}  // namespace vellari::detail
