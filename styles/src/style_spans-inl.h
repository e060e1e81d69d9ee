// Helpers shared by the styles' kernel units, included after <hwy/highway.h> (and so once
// per target), next to vellari/platform/pixel_vectors-inl.h.

// Per-target include guard, as Highway's own -inl headers do.
#if defined(VELLARI_STYLE_SPANS_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef VELLARI_STYLE_SPANS_INL_H_
#undef VELLARI_STYLE_SPANS_INL_H_
#else
#define VELLARI_STYLE_SPANS_INL_H_
#endif

#include <hwy/highway.h>

#include "vellari/platform/pixel_vectors-inl.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::styles::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

// x^y for x ≥ 0 as fastmath::pow: 0^y is 0 for y > 0, else 1. y is the same in every lane,
// so the value at 0 is a constant.
template <class D, class V>
HWY_INLINE V PowScalar(D d, V x, float y) {
    const V atZero = hn::Set(d, y > 0 ? 0.0f : 1.0f);
    return hn::IfThenElse(hn::Gt(x, hn::Zero(d)), FastExp2(d, hn::Mul(hn::Set(d, y), FastLog2(d, x))), atZero);
}

// Hermite step of t = clamp01((x − e0) · invWidth), invWidth = 1 / (e1 − e0).
template <class D, class V>
HWY_INLINE V Smoothstep(D d, V x, float e0, float invWidth) {
    const V t = Clamp01(d, hn::Mul(hn::Sub(x, hn::Set(d, e0)), hn::Set(d, invWidth)));
    return hn::Mul(hn::Mul(t, t), hn::NegMulAdd(hn::Set(d, 2.0f), t, hn::Set(d, 3.0f)));
}

// Lanes that hold alpha when a vector is loaded straight from interleaved RGBA.
template <class D>
HWY_INLINE hn::Mask<D> AlphaLanes(D d) {
    const hn::RebindToSigned<D> di;
    const auto three = hn::Set(di, 3);
    return hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(di, 0), three), three));
}

// Stores Lanes(d) pixels whose colour channels all hold v: each lane of v repeated across
// its own pixel by one lane permute per output vector, cheaper than interleaving four
// planes. The alpha lanes take v as well, or with `alphaFrom` the alpha of those pixels in
// it (interleaved RGBA, such as the input the pixels came from); kPremultiply then also
// scales the colour by that alpha.
template <bool kPremultiply = false, class D, class V>
HWY_INLINE void StoreGrey(D d, V v, const float* HWY_RESTRICT alphaFrom, float* HWY_RESTRICT out) {
    if constexpr (hn::MaxLanes(D()) >= 4) {
        const hn::RebindToSigned<D> di;
        const size_t N = hn::Lanes(d);
        const auto pixelOfLane = hn::ShiftRight<2>(hn::Iota(di, 0));
        for (size_t k = 0; k < 4; ++k) {
            const auto idx = hn::IndicesFromVec(d, hn::Add(pixelOfLane, hn::Set(di, int32_t(k * N / 4))));
            auto o = hn::TableLookupLanes(v, idx);
            if (alphaFrom) {
                const V in = hn::LoadU(d, alphaFrom + k * N);
                if (kPremultiply) o = hn::Mul(o, hn::Broadcast<3>(in));
                o = hn::IfThenElse(AlphaLanes(d), in, o);
            }
            hn::StoreU(o, d, out + k * N);
        }
    } else {
        // Fewer than four lanes (one pixel at a time): planes are as cheap.
        const V a = alphaFrom ? LoadPlanes(d, alphaFrom).a : v;
        const V c = kPremultiply && alphaFrom ? hn::Mul(v, a) : v;
        StorePlanes(d, Planes<D>{c, c, c, a}, out);
    }
}

// Runs body(tag, i) over the floats [0, 4n) of n interleaved RGBA pixels without
// de-interleaving: whole vectors of d (a multiple of four lanes, so every 128-bit block is
// one pixel and the per-block ops Broadcast / Shuffle act on pixels), then the remaining
// pixels one 128-bit vector each. For kernels that treat channels alike or need a pixel's
// own alpha in every lane.
template <class D, class Body>
HWY_INLINE void ForEachPixelBlock(D d, size_t n, Body&& body) {
    const size_t N = hn::Lanes(d), total = 4 * n;
    size_t i = 0;
    for (; i + N <= total; i += N) body(d, i);
    const hn::FixedTag<float, 4> d4;
    for (; i < total; i += 4) body(d4, i);
}

}  // namespace vellari::styles::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // per-target include guard
