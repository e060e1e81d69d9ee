// Colour filter kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "platform/src/color_filter_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "color_filter_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

// The unit's own namespace: every unit defines a probe of the same name.
HWY_BEFORE_NAMESPACE();
namespace vellari::color_filter_kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;
using detail::ToneCurve;

VELLARI_SIMD_PROBE_KERNEL()

// Kernels are HWY_FLATTEN: otherwise the compiler may call the per-block lambda out of
// line, reloading its constants for every block.


HWY_FLATTEN void ColorControlsSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n, float sat,
                                   float bri, float con) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        const auto r = hn::Mul(q.r, inv), g = hn::Mul(q.g, inv), b = hn::Mul(q.b, inv);
        const auto l = hn::MulAdd(hn::Set(d, 0.2125f), r,
                                  hn::MulAdd(hn::Set(d, 0.7154f), g, hn::Mul(hn::Set(d, 0.0721f), b)));
        const auto vs = hn::Set(d, sat), vc = hn::Set(d, con), half = hn::Set(d, 0.5f);
        const auto off = hn::Set(d, bri - 0.5f);
        auto channel = [&](auto c) {
            return hn::Mul(hn::MulAdd(hn::Add(hn::MulAdd(hn::Sub(c, l), vs, l), off), vc, half), q.a);
        };
        q.r = channel(r);
        q.g = channel(g);
        q.b = channel(b);
        StorePixels(d, q, out + 4 * i);
    });
}

// The segment of t is found by comparisons against the segment starts; here, for the
// one-lane tail, the coefficients are picked by selects.
template <class D, class V>
HWY_INLINE V ToneCurveAt(D d, const ToneCurve& c, V t) {
    t = Clamp01(d, t);
    t = hn::Min(hn::Max(t, hn::Set(d, c.lo)), hn::Set(d, c.hi));
    V x = hn::Set(d, c.x[0]), ih = hn::Set(d, c.invh[0]), a0 = hn::Set(d, c.a0[0]), a1 = hn::Set(d, c.a1[0]),
      a2 = hn::Set(d, c.a2[0]), a3 = hn::Set(d, c.a3[0]);
    for (int j = 1; j < c.segments; ++j) {
        const auto m = hn::Gt(t, hn::Set(d, c.x[j]));
        x = hn::IfThenElse(m, hn::Set(d, c.x[j]), x);
        ih = hn::IfThenElse(m, hn::Set(d, c.invh[j]), ih);
        a0 = hn::IfThenElse(m, hn::Set(d, c.a0[j]), a0);
        a1 = hn::IfThenElse(m, hn::Set(d, c.a1[j]), a1);
        a2 = hn::IfThenElse(m, hn::Set(d, c.a2[j]), a2);
        a3 = hn::IfThenElse(m, hn::Set(d, c.a3[j]), a3);
    }
    const V u = hn::Mul(hn::Sub(t, x), ih);
    return hn::MulAdd(u, hn::MulAdd(u, hn::MulAdd(u, a3, a2), a1), a0);
}

// Where a vector holds every segment, the coefficients are looked up by segment index,
// one lane permute each; the one-lane tail selects them as above (the same values).
HWY_FLATTEN void ToneCurveSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n, const ToneCurve& c) {
    const hn::ScalableTag<float> df;
    using VF = hn::Vec<decltype(df)>;
    constexpr size_t kLanes = hn::MaxLanes(df);
    static_assert(kLanes >= ToneCurve::kMaxSegments, "a vector holds every segment");
    HWY_ALIGN float table[6][kLanes] = {};
    for (int j = 0; j < c.segments; ++j) {
        table[0][j] = c.x[j];
        table[1][j] = c.invh[j];
        table[2][j] = c.a0[j];
        table[3][j] = c.a1[j];
        table[4][j] = c.a2[j];
        table[5][j] = c.a3[j];
    }
    const VF tx = hn::Load(df, table[0]), tih = hn::Load(df, table[1]), ta0 = hn::Load(df, table[2]),
             ta1 = hn::Load(df, table[3]), ta2 = hn::Load(df, table[4]), ta3 = hn::Load(df, table[5]);
    auto curveByLookup = [&](VF t) {
        const hn::RebindToSigned<decltype(df)> di;
        t = Clamp01(df, t);
        t = hn::Min(hn::Max(t, hn::Set(df, c.lo)), hn::Set(df, c.hi));
        auto j = hn::Zero(di);
        for (int b = 1; b < c.segments; ++b)  // true is −1
            j = hn::Sub(j, hn::VecFromMask(di, hn::RebindMask(di, hn::Gt(t, hn::Set(df, c.x[b])))));
        const auto idx = hn::IndicesFromVec(df, j);
        const VF u = hn::Mul(hn::Sub(t, hn::TableLookupLanes(tx, idx)), hn::TableLookupLanes(tih, idx));
        VF v = hn::MulAdd(u, hn::TableLookupLanes(ta3, idx), hn::TableLookupLanes(ta2, idx));
        v = hn::MulAdd(u, v, hn::TableLookupLanes(ta1, idx));
        return hn::MulAdd(u, v, hn::TableLookupLanes(ta0, idx));
    };
    ForEachBlock(df, n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        auto curve = [&](auto v) {
            if constexpr (hn::MaxLanes(d) == kLanes)
                return curveByLookup(v);
            else
                return ToneCurveAt(d, c, v);
        };
        q.r = hn::Mul(curve(hn::Mul(q.r, inv)), q.a);
        q.g = hn::Mul(curve(hn::Mul(q.g, inv)), q.a);
        q.b = hn::Mul(curve(hn::Mul(q.b, inv)), q.a);
        StorePixels(d, q, out + 4 * i);
    });
}

HWY_FLATTEN void UnsharpSpan(const float* HWY_RESTRICT s, const float* HWY_RESTRICT blurred,
                             float* HWY_RESTRICT out, size_t n, float k) {
    ForEachBlock(hn::ScalableTag<float>(), 4 * n, [&](auto d, size_t i) {
        const auto v = hn::LoadU(d, s + i);
        hn::StoreU(hn::MulAdd(hn::Sub(v, hn::LoadU(d, blurred + i)), hn::Set(d, k), v), d, out + i);
    });
}


// --- identity and invert ---------------------------------------------------------------

// 1 where alpha is positive, else 0.
template <class D, class V>
HWY_INLINE V OpaqueFactor(D d, V a) {
    return hn::IfThenElseZero(hn::Gt(a, hn::Zero(d)), hn::Set(d, 1.0f));
}

HWY_FLATTEN void ClearTransparentSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto k = OpaqueFactor(d, q.a);
        q.r = hn::Mul(q.r, k);
        q.g = hn::Mul(q.g, k);
        q.b = hn::Mul(q.b, k);
        StorePixels(d, q, out + 4 * i);
    });
}

HWY_FLATTEN void ColorInvertSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto k = OpaqueFactor(d, q.a);
        q.r = hn::Mul(hn::Sub(q.a, q.r), k);
        q.g = hn::Mul(hn::Sub(q.a, q.g), k);
        q.b = hn::Mul(hn::Sub(q.a, q.b), k);
        StorePixels(d, q, out + 4 * i);
    });
}

// --- colour cube -----------------------------------------------------------------------

// One pixel's trilinear look-up from its cell's first entry p. Where a vector holds eight
// floats, an entry and its red neighbour are one load: the cell is four loads, blended
// along blue and green for both red corners at once, then along red.
template <class D8>
HWY_INLINE void CubeCellPairs(D8 d8, const float* HWY_RESTRICT p, size_t sg, size_t sb, float fr, float fg,
                              float fb, float a, float* HWY_RESTRICT o) {
    const hn::Half<D8> d4;
    const auto c00 = hn::LoadU(d8, p), c10 = hn::LoadU(d8, p + sg);
    const auto c01 = hn::LoadU(d8, p + sb), c11 = hn::LoadU(d8, p + sb + sg);
    const auto vg = hn::Set(d8, fg);
    const auto c0 = hn::MulAdd(hn::Sub(c10, c00), vg, c00);
    const auto c1 = hn::MulAdd(hn::Sub(c11, c01), vg, c01);
    const auto c = hn::MulAdd(hn::Sub(c1, c0), hn::Set(d8, fb), c0);
    const auto lo = hn::LowerHalf(d4, c), hi = hn::UpperHalf(d4, c);
    hn::StoreU(hn::Mul(hn::MulAdd(hn::Sub(hi, lo), hn::Set(d4, fr), lo), hn::Set(d4, a)), d4, o);
}
// The same with one entry a load, for four-float vectors; the same order of blends.
template <class D4>
HWY_INLINE void CubeCellSingles(D4 d4, const float* HWY_RESTRICT p, size_t sg, size_t sb, float fr, float fg,
                                float fb, float a, float* HWY_RESTRICT o) {
    const auto vg = hn::Set(d4, fg), vb = hn::Set(d4, fb);
    auto lerpGB = [&](size_t k) {
        const auto c00 = hn::LoadU(d4, p + k), c10 = hn::LoadU(d4, p + k + sg);
        const auto c01 = hn::LoadU(d4, p + k + sb), c11 = hn::LoadU(d4, p + k + sb + sg);
        const auto c0 = hn::MulAdd(hn::Sub(c10, c00), vg, c00);
        const auto c1 = hn::MulAdd(hn::Sub(c11, c01), vg, c01);
        return hn::MulAdd(hn::Sub(c1, c0), vb, c0);
    };
    const auto lo = lerpGB(0), hi = lerpGB(4);
    hn::StoreU(hn::Mul(hn::MulAdd(hn::Sub(hi, lo), hn::Set(d4, fr), lo), hn::Set(d4, a)), d4, o);
}

// Cell indices and fractions are worked out a vector of pixels at a time; the cells are
// then read pixel by pixel, four channels a load (no per-lane gathers).
HWY_FLATTEN void ColorCubeSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n,
                               const float* HWY_RESTRICT table, int dim) {
    const size_t sg = size_t(dim) * 4, sb = sg * size_t(dim);  // in floats
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        using D = decltype(d);
        const hn::RebindToSigned<D> di;
        constexpr size_t kMax = hn::MaxLanes(D());
        HWY_ALIGN int32_t cell[kMax];
        HWY_ALIGN float fr[kMax], fg[kMax], fb[kMax], alpha[kMax];
        const Planes<D> q = LoadPlanes(d, s + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        const auto scale = hn::Set(d, float(dim - 1));
        const auto last = hn::Set(di, dim - 2);
        auto coord = [&](auto c, float* f) {
            const auto x = hn::Mul(Clamp01(d, hn::Mul(c, inv)), scale);  // NaN reads as 0
            const auto k = hn::Min(hn::ConvertTo(di, x), last);
            hn::Store(hn::Sub(x, hn::ConvertTo(d, k)), d, f);
            return k;
        };
        const auto kr = coord(q.r, fr), kg = coord(q.g, fg), kb = coord(q.b, fb);
        const auto at = hn::Add(hn::Mul(kr, hn::Set(di, 4)),
                                hn::Add(hn::Mul(kg, hn::Set(di, int32_t(sg))), hn::Mul(kb, hn::Set(di, int32_t(sb)))));
        hn::Store(at, di, cell);
        hn::Store(q.a, d, alpha);
        const hn::CappedTag<float, 8> d8;
        static_assert(hn::MaxLanes(hn::CappedTag<float, 4>()) == 4, "a vector holds at least one pixel");
        for (size_t j = 0; j < hn::Lanes(d); ++j) {
            float* o = out + 4 * (i + j);
            if constexpr (hn::MaxLanes(d8) == 8 && !HWY_HAVE_SCALABLE)
                CubeCellPairs(d8, table + cell[j], sg, sb, fr[j], fg[j], fb[j], alpha[j], o);
            else
                CubeCellSingles(hn::CappedTag<float, 4>(), table + cell[j], sg, sb, fr[j], fg[j], fb[j], alpha[j], o);
        }
    });
}

// --- per-pixel formulas in planes ------------------------------------------------------

// m: rows R, G, B, A, then the bias. The new alpha is clamped to [0, 1] before it
// premultiplies the colour (NaN stays NaN, as before).
HWY_FLATTEN void ColorMatrixSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n,
                                 const float* HWY_RESTRICT m) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        const auto r = hn::Mul(q.r, inv), g = hn::Mul(q.g, inv), b = hn::Mul(q.b, inv);
        auto row = [&](int k) {
            const float* w = m + 4 * k;
            auto v = hn::MulAdd(hn::Set(d, w[0]), r, hn::Set(d, m[16 + k]));
            v = hn::MulAdd(hn::Set(d, w[1]), g, v);
            v = hn::MulAdd(hn::Set(d, w[2]), b, v);
            return hn::MulAdd(hn::Set(d, w[3]), q.a, v);
        };
        const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        auto oa = row(3);
        oa = hn::IfThenElse(hn::Lt(oa, zero), zero, hn::IfThenElse(hn::Gt(oa, one), one, oa));
        q.r = hn::Mul(row(0), oa);
        q.g = hn::Mul(row(1), oa);
        q.b = hn::Mul(row(2), oa);
        q.a = oa;
        StorePixels(d, q, out + 4 * i);
    });
}

HWY_FLATTEN void GammaSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n, float power) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto inv = SafeInverse(d, q.a), p = hn::Set(d, power);
        q.r = hn::Mul(SignedPow(d, hn::Mul(q.r, inv), p), q.a);
        q.g = hn::Mul(SignedPow(d, hn::Mul(q.g, inv), p), q.a);
        q.b = hn::Mul(SignedPow(d, hn::Mul(q.b, inv), p), q.a);
        StorePixels(d, q, out + 4 * i);
    });
}

// The gain 1 + amount·(1 − s)² on the distance from the luma, s = max − min; a boost
// stops where the extreme channels would leave [0, 1].
HWY_FLATTEN void VibranceSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n, float amount) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f), eps = hn::Set(d, 1e-7f), huge = hn::Set(d, 1e30f);
        const auto inv = SafeInverse(d, q.a);
        const auto r = hn::Mul(q.r, inv), g = hn::Mul(q.g, inv), b = hn::Mul(q.b, inv);
        // Min/Max take their operands as std::min/std::max would reach them, so that a NaN
        // goes the same way on x86.
        const auto mx = hn::Max(hn::Max(b, g), r), mn = hn::Min(hn::Min(b, g), r);
        const auto w = hn::Sub(one, hn::Min(one, hn::Max(zero, hn::Sub(mx, mn))));
        const auto l = hn::MulAdd(hn::Set(d, 0.2125f), r,
                                  hn::MulAdd(hn::Set(d, 0.7154f), g, hn::Mul(hn::Set(d, 0.0721f), b)));
        auto gain = hn::Max(hn::MulAdd(hn::Mul(hn::Set(d, amount), w), w, one), zero);
        const auto up = hn::Sub(mx, l), down = hn::Sub(l, mn);
        const auto hasUp = hn::Gt(up, eps), hasDown = hn::Gt(down, eps);
        const auto limUp = hn::IfThenElse(hasUp, hn::Div(hn::Sub(one, l), hn::IfThenElse(hasUp, up, one)), huge);
        const auto limDown = hn::IfThenElse(hasDown, hn::Div(l, hn::IfThenElse(hasDown, down, one)), huge);
        const auto limit = hn::Max(one, hn::Min(limDown, limUp));
        gain = hn::IfThenElse(hn::Gt(gain, one), hn::Min(limit, gain), gain);
        auto channel = [&](auto c) { return hn::Mul(hn::MulAdd(hn::Sub(c, l), gain, l), q.a); };
        q.r = channel(r);
        q.g = channel(g);
        q.b = channel(b);
        StorePixels(d, q, out + 4 * i);
    });
}

// The sRGB transfer curve, mirrored for negative values and continued beyond 1.
template <class D, class V>
HWY_INLINE V DecodeSrgb(D d, V c) {
    const V x = hn::Abs(c);
    const V curve = SignedPow(d, hn::Mul(hn::Add(x, hn::Set(d, 0.055f)), hn::Set(d, 1.f / 1.055f)), hn::Set(d, 2.4f));
    const V l = hn::IfThenElse(hn::Le(x, hn::Set(d, 0.04045f)), hn::Mul(x, hn::Set(d, 1.f / 12.92f)), curve);
    return hn::CopySign(l, c);
}
template <class D, class V>
HWY_INLINE V EncodeSrgb(D d, V l) {
    const V x = hn::Abs(l);
    const V curve = hn::MulSub(hn::Set(d, 1.055f), SignedPow(d, x, hn::Set(d, 1.f / 2.4f)), hn::Set(d, 0.055f));
    const V c = hn::IfThenElse(hn::Le(x, hn::Set(d, 0.0031308f)), hn::Mul(x, hn::Set(d, 12.92f)), curve);
    return hn::CopySign(c, l);
}

HWY_FLATTEN void LinearRgbMatrixSpan(const float* HWY_RESTRICT s, float* HWY_RESTRICT out, size_t n,
                                     const float* HWY_RESTRICT m) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        Planes<decltype(d)> q = LoadPixels(d, s + 4 * i);
        const auto inv = SafeInverse(d, q.a);
        const auto l0 = DecodeSrgb(d, hn::Mul(q.r, inv)), l1 = DecodeSrgb(d, hn::Mul(q.g, inv)),
                   l2 = DecodeSrgb(d, hn::Mul(q.b, inv));
        auto row = [&](int k) {
            const float* w = m + 3 * k;
            auto v = hn::Mul(hn::Set(d, w[0]), l0);
            v = hn::MulAdd(hn::Set(d, w[1]), l1, v);
            v = hn::MulAdd(hn::Set(d, w[2]), l2, v);
            return hn::Mul(EncodeSrgb(d, v), q.a);
        };
        q.r = row(0);
        q.g = row(1);
        q.b = row(2);
        StorePixels(d, q, out + 4 * i);
    });
}

}  // namespace vellari::color_filter_kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::color_filter_kernels {
namespace {
VELLARI_SIMD_PROBE("colour filters")
}  // namespace

HWY_EXPORT(ColorControlsSpan);
HWY_EXPORT(ToneCurveSpan);
HWY_EXPORT(UnsharpSpan);
HWY_EXPORT(ClearTransparentSpan);
HWY_EXPORT(ColorInvertSpan);
HWY_EXPORT(ColorCubeSpan);
HWY_EXPORT(ColorMatrixSpan);
HWY_EXPORT(GammaSpan);
HWY_EXPORT(VibranceSpan);
HWY_EXPORT(LinearRgbMatrixSpan);
}  // namespace vellari::color_filter_kernels

namespace vellari::detail {

void colorControlsSpan(const float* s, float* out, size_t n, float saturation, float brightness, float contrast) {
    VELLARI_DISPATCH(color_filter_kernels::ColorControlsSpan)(s, out, n, saturation, brightness, contrast);
}
void toneCurveSpan(const float* s, float* out, size_t n, const ToneCurve& curve) {
    VELLARI_DISPATCH(color_filter_kernels::ToneCurveSpan)(s, out, n, curve);
}
void unsharpSpan(const float* s, const float* blurred, float* out, size_t n, float k) {
    VELLARI_DISPATCH(color_filter_kernels::UnsharpSpan)(s, blurred, out, n, k);
}
void clearTransparentSpan(const float* s, float* out, size_t n) {
    VELLARI_DISPATCH(color_filter_kernels::ClearTransparentSpan)(s, out, n);
}
void colorCubeSpan(const float* s, float* out, size_t n, const float* table, int dim) {
    VELLARI_DISPATCH(color_filter_kernels::ColorCubeSpan)(s, out, n, table, dim);
}
void colorMatrixSpan(const float* s, float* out, size_t n, const float* m) {
    VELLARI_DISPATCH(color_filter_kernels::ColorMatrixSpan)(s, out, n, m);
}
void gammaSpan(const float* s, float* out, size_t n, float power) {
    VELLARI_DISPATCH(color_filter_kernels::GammaSpan)(s, out, n, power);
}
void vibranceSpan(const float* s, float* out, size_t n, float amount) {
    VELLARI_DISPATCH(color_filter_kernels::VibranceSpan)(s, out, n, amount);
}
void linearRgbMatrixSpan(const float* s, float* out, size_t n, const float* m) {
    VELLARI_DISPATCH(color_filter_kernels::LinearRgbMatrixSpan)(s, out, n, m);
}
void colorInvertSpan(const float* s, float* out, size_t n) {
    VELLARI_DISPATCH(color_filter_kernels::ColorInvertSpan)(s, out, n);
}

}  // namespace vellari::detail
#endif  // HWY_ONCE
