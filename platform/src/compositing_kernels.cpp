// Porter–Duff and blend-mode kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "platform/src/compositing_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "compositing_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

// The unit's own namespace: every unit defines a probe of the same name.
HWY_BEFORE_NAMESPACE();
namespace vellari::compositing_kernels::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;
using detail::CompositeOp;

VELLARI_SIMD_PROBE_KERNEL()

// Kernels are HWY_FLATTEN: otherwise the compiler may call the per-block lambda out of
// line, reloading its constants for every block.


// Min and Max are given their operands in the order that makes them the comparisons they
// replace (Max(0, v) is v < 0 ? 0 : v), so a NaN takes the same way as it always did on x86.

// --- operators that treat every channel alike --------------------------------------------

// Op::Channel(d, s, b, as, ab) gives one channel of the result from that channel of the
// clamped source and backdrop and their alphas. Where Op::kAlphaIsChannel, the formula
// on the alphas themselves gives the result's alpha; else Op::Alpha(d, as, ab) does.
struct SourceOver {
    static constexpr bool kAlphaIsChannel = true;
    template <class D, class V>
    static V Channel(D d, V s, V b, V as, V) {
        return hn::MulAdd(b, hn::Sub(hn::Set(d, 1.0f), as), s);
    }
};
struct SourceAtop {
    static constexpr bool kAlphaIsChannel = false;
    template <class D, class V>
    static V Channel(D d, V s, V b, V as, V ab) {
        return hn::MulAdd(b, hn::Sub(hn::Set(d, 1.0f), as), hn::Mul(s, ab));
    }
    template <class D, class V>
    static V Alpha(D, V, V ab) {
        return ab;
    }
};
struct SourceIn {
    static constexpr bool kAlphaIsChannel = true;
    template <class D, class V>
    static V Channel(D, V s, V, V, V ab) {
        return hn::Mul(s, ab);
    }
};
struct SourceOut {
    static constexpr bool kAlphaIsChannel = true;
    template <class D, class V>
    static V Channel(D d, V s, V, V, V ab) {
        return hn::Mul(s, hn::Sub(hn::Set(d, 1.0f), ab));
    }
};
// Multiply and screen in premultiplied form (the same values as the general blend, without
// dividing by alpha): αs·αb·Cb·Cs = s·b, and αs·αb·(Cb + Cs − Cb·Cs) = αs·b + αb·s − s·b.
// On the alphas both give αs + αb − αs·αb, the source-over alpha.
struct MultiplyPremultiplied {
    static constexpr bool kAlphaIsChannel = true;
    template <class D, class V>
    static V Channel(D d, V s, V b, V as, V ab) {
        const V one = hn::Set(d, 1.0f);
        return hn::MulAdd(s, b, hn::MulAdd(b, hn::Sub(one, as), hn::Mul(s, hn::Sub(one, ab))));
    }
};
struct ScreenPremultiplied {
    static constexpr bool kAlphaIsChannel = true;
    template <class D, class V>
    static V Channel(D, V s, V b, V, V) {
        return hn::NegMulAdd(s, b, hn::Add(s, b));
    }
};

// Alpha to [0, 1], colour to [0, alpha].
template <class D, class V>
HWY_INLINE V ClampAlpha(D d, V a) {
    return hn::Min(hn::Set(d, 1.0f), hn::Max(hn::Zero(d), a));
}
template <class D, class V>
HWY_INLINE V ClampColor(D d, V c, V a) {
    return hn::Min(a, hn::Max(hn::Zero(d), c));
}
template <class D>
HWY_INLINE Planes<D> ClampPremultiplied(D d, Planes<D> p) {
    p.a = ClampAlpha(d, p.a);
    p.r = ClampColor(d, p.r, p.a);
    p.g = ClampColor(d, p.g, p.a);
    p.b = ClampColor(d, p.b, p.a);
    return p;
}

// These operators run on the interleaved floats: each pixel's alpha is spread over its own
// four lanes (every vector holds whole pixels, in 128-bit blocks), and the formula applied
// to every lane, the alpha lane included, needs no reordering of channels. Whole vectors
// come first, then the rest a pixel at a time with the same code.
template <class Op>
HWY_FLATTEN void ChannelwiseSpan(const float* HWY_RESTRICT S, const float* HWY_RESTRICT B, float* HWY_RESTRICT out,
                                 size_t n) {
    const hn::CappedTag<float, 4> d4;
    static_assert(hn::MaxLanes(d4) == 4, "a vector holds at least one pixel");
    const hn::ScalableTag<float> df;
    auto body = [&](auto d, size_t i) {
        const auto s = hn::LoadU(d, S + i), b = hn::LoadU(d, B + i);
        const auto as = ClampAlpha(d, hn::Broadcast<3>(s)), ab = ClampAlpha(d, hn::Broadcast<3>(b));
        // In the alpha lane the colour clamp gives the clamped alpha itself.
        auto o = Op::Channel(d, ClampColor(d, s, as), ClampColor(d, b, ab), as, ab);
        if constexpr (!Op::kAlphaIsChannel) {
            const hn::RebindToSigned<decltype(d)> di;
            const auto three = hn::Set(di, 3);
            const auto alphaLane = hn::RebindMask(d, hn::Eq(hn::And(hn::Iota(di, 0), three), three));
            o = hn::IfThenElse(alphaLane, Op::Alpha(d, as, ab), o);
        }
        hn::StoreU(o, d, out + i);
    };
    const size_t N = hn::Lanes(df), total = 4 * n;
    size_t i = 0;
    for (; i + N <= total; i += N) body(df, i);
    for (; i < total; i += 4) body(d4, i);
}

// --- blend modes -------------------------------------------------------------------------

template <class V>
struct Rgb {
    V r, g, b;
};

// Composites Mode::Blend(d, cb, cs), a function of the straight colours, source-over.
template <class Mode>
HWY_FLATTEN void BlendSpan(const float* HWY_RESTRICT S, const float* HWY_RESTRICT B, float* HWY_RESTRICT out,
                           size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        using V = hn::Vec<decltype(d)>;
        const Planes<decltype(d)> s = ClampPremultiplied(d, LoadPixels(d, S + 4 * i));
        const Planes<decltype(d)> b = ClampPremultiplied(d, LoadPixels(d, B + 4 * i));
        const V is = SafeInverse(d, s.a), ib = SafeInverse(d, b.a);
        const Rgb<V> cs{hn::Mul(s.r, is), hn::Mul(s.g, is), hn::Mul(s.b, is)};
        const Rgb<V> cb{hn::Mul(b.r, ib), hn::Mul(b.g, ib), hn::Mul(b.b, ib)};
        const Rgb<V> m = Mode::Blend(d, cb, cs);
        const V one = hn::Set(d, 1.0f);
        const V ks = hn::Sub(one, b.a), kb = hn::Sub(one, s.a), kk = hn::Mul(s.a, b.a);
        auto channel = [&](V sc, V bc, V mc) { return hn::MulAdd(kk, mc, hn::MulAdd(bc, kb, hn::Mul(sc, ks))); };
        Planes<decltype(d)> o;
        o.r = channel(s.r, b.r, m.r);
        o.g = channel(s.g, b.g, m.g);
        o.b = channel(s.b, b.b, m.b);
        o.a = hn::Sub(hn::Add(s.a, b.a), kk);
        StorePixels(d, o, out + 4 * i);
    });
}

// Separable modes: F::F(d, cb, cs) in each channel.
template <class F>
struct Separable {
    template <class D, class V>
    static Rgb<V> Blend(D d, const Rgb<V>& cb, const Rgb<V>& cs) {
        return {F::F(d, cb.r, cs.r), F::F(d, cb.g, cs.g), F::F(d, cb.b, cs.b)};
    }
};

template <class D, class V>
HWY_INLINE V ScreenF(D, V b, V s) {
    return hn::NegMulAdd(b, s, hn::Add(b, s));
}
template <class D, class V>
HWY_INLINE V HardLightF(D d, V b, V s) {
    const V s2 = hn::Add(s, s);
    return hn::IfThenElse(hn::Le(s, hn::Set(d, 0.5f)), hn::Mul(b, s2), ScreenF(d, b, hn::Sub(s2, hn::Set(d, 1.0f))));
}

struct Overlay {
    template <class D, class V>
    static V F(D d, V b, V s) {
        return HardLightF(d, s, b);
    }
};
struct Darken {
    template <class D, class V>
    static V F(D, V b, V s) {
        return hn::Min(s, b);
    }
};
struct Lighten {
    template <class D, class V>
    static V F(D, V b, V s) {
        return hn::Max(s, b);
    }
};
struct ColorDodge {
    template <class D, class V>
    static V F(D d, V b, V s) {
        const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        const V v = hn::Min(hn::Div(b, hn::Sub(one, s)), one);  // s ≥ 1 is selected away
        return hn::IfThenElse(hn::Le(b, zero), zero, hn::IfThenElse(hn::Ge(s, one), one, v));
    }
};
struct ColorBurn {
    template <class D, class V>
    static V F(D d, V b, V s) {
        const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        const V v = hn::Sub(one, hn::Min(hn::Div(hn::Sub(one, b), s), one));  // s ≤ 0 is selected away
        return hn::IfThenElse(hn::Ge(b, one), one, hn::IfThenElse(hn::Le(s, zero), zero, v));
    }
};
struct HardLight {
    template <class D, class V>
    static V F(D d, V b, V s) {
        return HardLightF(d, b, s);
    }
};
struct SoftLight {
    template <class D, class V>
    static V F(D d, V b, V s) {
        const V one = hn::Set(d, 1.0f), s2 = hn::Add(s, s);
        const V darker = hn::Sub(b, hn::Mul(hn::Mul(hn::Sub(one, s2), b), hn::Sub(one, b)));
        const V poly = hn::Mul(hn::MulAdd(hn::MulSub(hn::Set(d, 16.0f), b, hn::Set(d, 12.0f)), b, hn::Set(d, 4.0f)), b);
        const V dd = hn::IfThenElse(hn::Le(b, hn::Set(d, 0.25f)), poly, hn::Sqrt(b));
        const V lighter = hn::MulAdd(hn::Sub(s2, one), hn::Sub(dd, b), b);
        return hn::IfThenElse(hn::Le(s, hn::Set(d, 0.5f)), darker, lighter);
    }
};
struct Difference {
    template <class D, class V>
    static V F(D, V b, V s) {
        return hn::Abs(hn::Sub(b, s));
    }
};
struct Exclusion {
    template <class D, class V>
    static V F(D, V b, V s) {
        return hn::Sub(hn::Add(b, s), hn::Mul(hn::Add(b, b), s));
    }
};

// Non-separable helpers (luminosity weights 0.3, 0.59, 0.11).
template <class D, class V>
HWY_INLINE V Lum(D d, const Rgb<V>& c) {
    return hn::MulAdd(hn::Set(d, 0.11f), c.b, hn::MulAdd(hn::Set(d, 0.59f), c.g, hn::Mul(hn::Set(d, 0.3f), c.r)));
}
template <class V>
HWY_INLINE V Min3(const Rgb<V>& c) {
    return hn::Min(c.r, hn::Min(c.g, c.b));
}
template <class V>
HWY_INLINE V Max3(const Rgb<V>& c) {
    return hn::Max(c.r, hn::Max(c.g, c.b));
}
// l + (c − l)·k in the lanes of m.
template <class M, class V>
HWY_INLINE void ScaleAroundLum(M m, V l, V k, Rgb<V>& c) {
    c.r = hn::IfThenElse(m, hn::MulAdd(hn::Sub(c.r, l), k, l), c.r);
    c.g = hn::IfThenElse(m, hn::MulAdd(hn::Sub(c.g, l), k, l), c.g);
    c.b = hn::IfThenElse(m, hn::MulAdd(hn::Sub(c.b, l), k, l), c.b);
}
// Pulls a colour outside [0, 1] towards its luma until it fits. The margins guard against
// rounding making the denominators vanish. Most blocks need no correction and skip the
// divisions.
template <class D, class V>
HWY_INLINE void ClipColor(D d, Rgb<V>& c) {
    const V l = Lum(d, c), lo = Min3(c), hi = Max3(c);
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f), margin = hn::Set(d, 1e-12f);
    const auto clipLo = hn::And(hn::Lt(lo, zero), hn::Gt(hn::Sub(l, lo), margin));
    if (!hn::AllFalse(d, clipLo)) ScaleAroundLum(clipLo, l, hn::Div(l, hn::Sub(l, lo)), c);
    const auto clipHi = hn::And(hn::Gt(hi, one), hn::Gt(hn::Sub(hi, l), margin));
    if (!hn::AllFalse(d, clipHi)) ScaleAroundLum(clipHi, l, hn::Div(hn::Sub(one, l), hn::Sub(hi, l)), c);
}
template <class D, class V>
HWY_INLINE Rgb<V> SetLum(D d, const Rgb<V>& c, V l) {
    const V dl = hn::Sub(l, Lum(d, c));
    Rgb<V> o{hn::Add(c.r, dl), hn::Add(c.g, dl), hn::Add(c.b, dl)};
    ClipColor(d, o);
    return o;
}
// The colour with its max − min set to s: the smallest channel goes to 0, the largest to
// s, the middle one in proportion (without branches on the channel order).
template <class D, class V>
HWY_INLINE Rgb<V> SetSat(D d, const Rgb<V>& c, V s) {
    const V mn = Min3(c), range = hn::Sub(Max3(c), mn);
    const V k = hn::IfThenElseZero(hn::Gt(range, hn::Zero(d)), hn::Div(s, range));
    return {hn::Mul(hn::Sub(c.r, mn), k), hn::Mul(hn::Sub(c.g, mn), k), hn::Mul(hn::Sub(c.b, mn), k)};
}

struct Hue {
    template <class D, class V>
    static Rgb<V> Blend(D d, const Rgb<V>& cb, const Rgb<V>& cs) {
        return SetLum(d, SetSat(d, cs, hn::Sub(Max3(cb), Min3(cb))), Lum(d, cb));
    }
};
struct ColorMode {
    template <class D, class V>
    static Rgb<V> Blend(D d, const Rgb<V>& cb, const Rgb<V>& cs) {
        return SetLum(d, cs, Lum(d, cb));
    }
};
struct Luminosity {
    template <class D, class V>
    static Rgb<V> Blend(D d, const Rgb<V>& cb, const Rgb<V>& cs) {
        return SetLum(d, cb, Lum(d, cs));
    }
};

// The saturation blend, the hottest of them, with its clamping and compositing fused. A
// colour moves only where it leaves the gamut; the luma is not taken again after the
// lower correction, the maximum is.
HWY_FLATTEN void SaturationSpan(const float* HWY_RESTRICT S, const float* HWY_RESTRICT B, float* HWY_RESTRICT out,
                                size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        using V = hn::Vec<decltype(d)>;
        const Planes<decltype(d)> s = LoadPixels(d, S + 4 * i), b = LoadPixels(d, B + 4 * i);
        const V zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        const V as = hn::Min(hn::Max(s.a, zero), one), ab = hn::Min(hn::Max(b.a, zero), one);
        const V is = SafeInverse(d, as), ib = SafeInverse(d, ab);
        auto clamp = [&](V c, V a) { return hn::Min(hn::Max(c, zero), a); };
        const Rgb<V> sp{clamp(s.r, as), clamp(s.g, as), clamp(s.b, as)};
        const Rgb<V> bp{clamp(b.r, ab), clamp(b.g, ab), clamp(b.b, ab)};
        const Rgb<V> cs{hn::Mul(sp.r, is), hn::Mul(sp.g, is), hn::Mul(sp.b, is)};
        const Rgb<V> cb{hn::Mul(bp.r, ib), hn::Mul(bp.g, ib), hn::Mul(bp.b, ib)};
        const V satS = hn::Sub(Max3(cs), Min3(cs));
        const V mn = Min3(cb), range = hn::Sub(Max3(cb), mn);
        const V k = hn::IfThenElseZero(hn::Gt(range, zero), hn::Div(satS, range));
        Rgb<V> o{hn::Mul(hn::Sub(cb.r, mn), k), hn::Mul(hn::Sub(cb.g, mn), k), hn::Mul(hn::Sub(cb.b, mn), k)};
        const V dl = hn::Sub(Lum(d, cb), Lum(d, o));
        o = {hn::Add(o.r, dl), hn::Add(o.g, dl), hn::Add(o.b, dl)};
        const V l = Lum(d, o), lo = Min3(o), margin = hn::Set(d, 1e-12f);
        const auto clipLo = hn::And(hn::Lt(lo, zero), hn::Gt(hn::Sub(l, lo), margin));
        if (!hn::AllFalse(d, clipLo)) ScaleAroundLum(clipLo, l, hn::Div(l, hn::Sub(l, lo)), o);
        const V hi = Max3(o);
        const auto clipHi = hn::And(hn::Gt(hi, one), hn::Gt(hn::Sub(hi, l), margin));
        if (!hn::AllFalse(d, clipHi)) ScaleAroundLum(clipHi, l, hn::Div(hn::Sub(one, l), hn::Sub(hi, l)), o);
        const V ks = hn::Sub(one, ab), kb = hn::Sub(one, as), kk = hn::Mul(as, ab);
        auto channel = [&](V sc, V bc, V mc) { return hn::MulAdd(kk, mc, hn::MulAdd(bc, kb, hn::Mul(sc, ks))); };
        Planes<decltype(d)> q;
        q.r = channel(sp.r, bp.r, o.r);
        q.g = channel(sp.g, bp.g, o.g);
        q.b = channel(sp.b, bp.b, o.b);
        q.a = hn::Sub(hn::Add(as, ab), kk);
        StorePixels(d, q, out + 4 * i);
    });
}

void CompositeSpan(CompositeOp op, const float* HWY_RESTRICT s, const float* HWY_RESTRICT b, float* HWY_RESTRICT out,
                   size_t n) {
    switch (op) {
        case CompositeOp::SourceOver: return ChannelwiseSpan<SourceOver>(s, b, out, n);
        case CompositeOp::SourceAtop: return ChannelwiseSpan<SourceAtop>(s, b, out, n);
        case CompositeOp::SourceIn: return ChannelwiseSpan<SourceIn>(s, b, out, n);
        case CompositeOp::SourceOut: return ChannelwiseSpan<SourceOut>(s, b, out, n);
        case CompositeOp::Multiply: return ChannelwiseSpan<MultiplyPremultiplied>(s, b, out, n);
        case CompositeOp::Screen: return ChannelwiseSpan<ScreenPremultiplied>(s, b, out, n);
        case CompositeOp::Overlay: return BlendSpan<Separable<Overlay>>(s, b, out, n);
        case CompositeOp::Darken: return BlendSpan<Separable<Darken>>(s, b, out, n);
        case CompositeOp::Lighten: return BlendSpan<Separable<Lighten>>(s, b, out, n);
        case CompositeOp::ColorDodge: return BlendSpan<Separable<ColorDodge>>(s, b, out, n);
        case CompositeOp::ColorBurn: return BlendSpan<Separable<ColorBurn>>(s, b, out, n);
        case CompositeOp::HardLight: return BlendSpan<Separable<HardLight>>(s, b, out, n);
        case CompositeOp::SoftLight: return BlendSpan<Separable<SoftLight>>(s, b, out, n);
        case CompositeOp::Difference: return BlendSpan<Separable<Difference>>(s, b, out, n);
        case CompositeOp::Exclusion: return BlendSpan<Separable<Exclusion>>(s, b, out, n);
        case CompositeOp::Hue: return BlendSpan<Hue>(s, b, out, n);
        case CompositeOp::Saturation: return SaturationSpan(s, b, out, n);
        case CompositeOp::Color: return BlendSpan<ColorMode>(s, b, out, n);
        case CompositeOp::Luminosity: return BlendSpan<Luminosity>(s, b, out, n);
    }
}

}  // namespace vellari::compositing_kernels::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::compositing_kernels {
namespace {
VELLARI_SIMD_PROBE("compositing")
}  // namespace

HWY_EXPORT(CompositeSpan);
}  // namespace vellari::compositing_kernels

namespace vellari::detail {

void compositeSpan(CompositeOp op, const float* s, const float* b, float* out, size_t n) {
    VELLARI_DISPATCH(compositing_kernels::CompositeSpan)(op, s, b, out, n);
}

}  // namespace vellari::detail
#endif  // HWY_ONCE
