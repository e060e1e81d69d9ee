// Helpers for kernels written with Highway, included by kernel units after
// <hwy/highway.h> (and so once per target). Pixels are premultiplied RGBA floats,
// interleaved in memory; kernels work on them as four planes of one vector each.

// Per-target include guard, as Highway's own -inl headers do.
#if defined(VELLARI_PIXEL_VECTORS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VELLARI_PIXEL_VECTORS_INL_H_
#undef VELLARI_PIXEL_VECTORS_INL_H_
#else
#define VELLARI_PIXEL_VECTORS_INL_H_
#endif

#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vellari::simd::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Lanes(d) pixels as planes.
template <class D>
struct Planes {
    hn::Vec<D> r, g, b, a;
};
template <class D>
HWY_INLINE Planes<D> LoadPlanes(D d, const float* HWY_RESTRICT p) {
    Planes<D> q;
    hn::LoadInterleaved4(d, p, q.r, q.g, q.b, q.a);
    return q;
}
template <class D>
HWY_INLINE void StorePlanes(D d, const Planes<D>& q, float* HWY_RESTRICT p) {
    hn::StoreInterleaved4(q.r, q.g, q.b, q.a, d, p);
}

// Lanes(d) pixels as planes in an order of the kernels' own: each 128-bit block of a plane
// holds four pixels, transposed within the block, so no lane crosses a block (LoadPlanes
// reorders across the whole vector, at twice the shuffles). For kernels that treat every
// pixel alike; StorePixels undoes the order. One-lane tails load plainly.
template <class D>
HWY_INLINE void TransposeBlocks(D d, hn::Vec<D>& v0, hn::Vec<D>& v1, hn::Vec<D>& v2, hn::Vec<D>& v3) {
    const hn::Repartition<uint64_t, D> d64;
    const auto t0 = hn::BitCast(d64, hn::InterleaveLower(d, v0, v1));
    const auto t1 = hn::BitCast(d64, hn::InterleaveLower(d, v2, v3));
    const auto t2 = hn::BitCast(d64, hn::InterleaveUpper(d, v0, v1));
    const auto t3 = hn::BitCast(d64, hn::InterleaveUpper(d, v2, v3));
    v0 = hn::BitCast(d, hn::InterleaveLower(d64, t0, t1));
    v1 = hn::BitCast(d, hn::InterleaveUpper(d64, t0, t1));
    v2 = hn::BitCast(d, hn::InterleaveLower(d64, t2, t3));
    v3 = hn::BitCast(d, hn::InterleaveUpper(d64, t2, t3));
}
template <class D>
HWY_INLINE Planes<D> LoadPixels(D d, const float* HWY_RESTRICT p) {
    if constexpr (hn::MaxLanes(d) < 4) {
        return LoadPlanes(d, p);
    } else {
        const size_t N = hn::Lanes(d);
        Planes<D> q{hn::LoadU(d, p), hn::LoadU(d, p + N), hn::LoadU(d, p + 2 * N), hn::LoadU(d, p + 3 * N)};
        TransposeBlocks(d, q.r, q.g, q.b, q.a);
        return q;
    }
}
template <class D>
HWY_INLINE void StorePixels(D d, Planes<D> q, float* HWY_RESTRICT p) {
    if constexpr (hn::MaxLanes(d) < 4) {
        StorePlanes(d, q, p);
    } else {
        const size_t N = hn::Lanes(d);
        TransposeBlocks(d, q.r, q.g, q.b, q.a);
        hn::StoreU(q.r, d, p);
        hn::StoreU(q.g, d, p + N);
        hn::StoreU(q.b, d, p + 2 * N);
        hn::StoreU(q.a, d, p + 3 * N);
    }
}

// 1/a where a > 0, else 0: unpremultiplying with alpha 0 gives colour 0.
template <class D, class V>
HWY_INLINE V SafeInverse(D d, V a) {
    return hn::IfThenElseZero(hn::Gt(a, hn::Zero(d)), hn::Div(hn::Set(d, 1.0f), a));
}

// v clamped to [0, 1]; NaN reads as 0.
template <class D, class V>
HWY_INLINE V Clamp01(D d, V v) {
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
    return hn::IfThenElse(hn::Gt(v, zero), hn::IfThenElse(hn::Lt(v, one), v, one), zero);
}

// log2, exp2 and pow as in vellari/platform/fast_math.h, lane by lane with the same
// formulas, so that a vector kernel agrees with a scalar one to the last bits or so.
template <class D, class V>
HWY_INLINE V FastLog2(D d, V x) {
    const hn::RebindToSigned<D> di;
    const auto bits = hn::BitCast(di, x);
    const auto e = hn::ShiftRight<23>(hn::Sub(bits, hn::Set(di, 0x3f3504f3)));
    const V m = hn::BitCast(d, hn::Sub(bits, hn::ShiftLeft<23>(e)));
    const V one = hn::Set(d, 1.0f);
    const V t = hn::Div(hn::Sub(m, one), hn::Add(m, one)), t2 = hn::Mul(t, t);
    V p = hn::MulAdd(hn::Set(d, 2.f / 9), t2, hn::Set(d, 2.f / 7));
    p = hn::MulAdd(p, t2, hn::Set(d, 2.f / 5));
    p = hn::MulAdd(p, t2, hn::Set(d, 2.f / 3));
    p = hn::MulAdd(p, t2, hn::Set(d, 2.f));
    return hn::MulAdd(hn::Mul(p, t), hn::Set(d, 1.44269504f), hn::ConvertTo(d, e));
}
template <class D, class V>
HWY_INLINE V FastExp2(D d, V y) {
    const hn::RebindToSigned<D> di;
    y = hn::Min(hn::Max(y, hn::Set(d, -126.0f)), hn::Set(d, 127.0f));
    const V n = hn::Floor(hn::Add(y, hn::Set(d, 0.5f)));
    const V f = hn::Mul(hn::Sub(y, n), hn::Set(d, 0.693147181f));
    V p = hn::MulAdd(hn::Set(d, 1.f / 5040), f, hn::Set(d, 1.f / 720));
    p = hn::MulAdd(p, f, hn::Set(d, 1.f / 120));
    p = hn::MulAdd(p, f, hn::Set(d, 1.f / 24));
    p = hn::MulAdd(p, f, hn::Set(d, 1.f / 6));
    p = hn::MulAdd(p, f, hn::Set(d, 0.5f));
    p = hn::MulAdd(p, f, hn::Set(d, 1.0f));
    p = hn::MulAdd(p, f, hn::Set(d, 1.0f));
    const auto scale = hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, n), hn::Set(di, 127)));
    return hn::Mul(p, hn::BitCast(d, scale));
}
// |v|^p with v's sign; 0 (and NaN) give 0.
template <class D, class V>
HWY_INLINE V SignedPow(D d, V v, V p) {
    const V x = hn::Abs(v);
    const V r = hn::IfThenElseZero(hn::Gt(x, hn::Zero(d)), FastExp2(d, hn::Mul(p, FastLog2(d, x))));
    return hn::CopySign(r, v);
}

// Runs body(tag, i) over i in [0, n): whole vectors of d, then the remaining items one
// lane at a time, so a kernel is written once for both. The one-lane tag computes with
// the same operations, so the tail gets the same results as a full vector would.
template <class D, class Body>
HWY_INLINE void ForEachBlock(D d, size_t n, Body&& body) {
    const size_t N = hn::Lanes(d);
    size_t i = 0;
    for (; i + N <= n; i += N) body(d, i);
    const hn::CappedTag<hn::TFromD<D>, 1> d1;
    for (; i < n; ++i) body(d1, i);
}

}  // namespace vellari::simd::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
