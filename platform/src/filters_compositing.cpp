// Porter–Duff operators and the blend modes, on premultiplied colour.
//
// Every input pixel is first clamped to a valid premultiplied colour (channels in
// [0, alpha], alpha in [0, 1]): a stored (0.5, 0.5, 0.5, 0) composites as nothing and
// (1, 1, 1, 0.65) as white at 65 %. Blend modes follow the W3C compositing formulas with
// straight Cs, Cb and are composited source-over:
//   co = cs·(1 − αb) + cb·(1 − αs) + αs·αb·B(Cb, Cs),  αo = αs + αb − αs·αb.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>

#include "builtin_filters.h"
#include "node.h"
#include "vellari/platform/pixel_vectors.h"
#include "vellari/platform/filter.h"

namespace vellari::detail {
namespace {

// A two-image filter: the source "inputImage" and "inputBackgroundImage". Op is called as
// op(s, b, out) per pixel with both pixels already clamped; Extent chooses the output's.
enum class ExtentRule { Union, Background, Intersection, Source };

Rect outputExtent(ExtentRule rule, const Rect& s, const Rect& b) {
    switch (rule) {
        case ExtentRule::Union: return s.unite(b);
        case ExtentRule::Background: return b;
        case ExtentRule::Intersection: return s.intersect(b);
        case ExtentRule::Source: return s;
    }
    return s;
}

template <class Op>
class TwoImageFilter final : public Filter {
public:
    TwoImageFilter(std::string name, ExtentRule rule) : Filter(std::move(name)), rule_(rule) {
        declareInput("inputImage");
        declareInput("inputBackgroundImage");
    }
    Image outputImage() const override {
        Image s = image("inputImage"), b = image("inputBackgroundImage");
        if (!s || !b) return {};
        return makePointwise(outputExtent(rule_, s.extent(), b.extent()), {s, b},
                             [](const float* const* in, float* out, int n, int, int) {
                                 const float* S = in[0];
                                 const float* B = in[1];
                                 if constexpr (requires { Op::span(S, B, out, n); }) {
                                     Op::span(S, B, out, n);
                                 } else if constexpr (requires(V4 x) { Op::vec(x, x); }) {
                                     int i = 0;
                                     for (; i + 4 <= n; i += 4) {
                                         const V16 s = clampPremultipliedV(loadV<V16>(S + 4 * i));
                                         const V16 o = Op::vec(s, clampPremultipliedV(loadV<V16>(B + 4 * i)));
                                         std::memcpy(out + 4 * i, &o, sizeof o);
                                     }
                                     for (; i < n; ++i) {
                                         const V4 s = clampPremultipliedV(loadV<V4>(S + 4 * i));
                                         const V4 o = Op::vec(s, clampPremultipliedV(loadV<V4>(B + 4 * i)));
                                         std::memcpy(out + 4 * i, &o, sizeof o);
                                     }
                                 } else {
                                     for (int i = 0; i < n; ++i) {
                                         float s[4], b[4];
                                         clampPremultiplied(S + 4 * i, s);
                                         clampPremultiplied(B + 4 * i, b);
                                         Op::apply(s, b, out + 4 * i);
                                     }
                                 }
                             });
    }

private:
    ExtentRule rule_;
};

// --- Porter–Duff -------------------------------------------------------------------------

struct SourceOverV {
    template <class V>
    static V vec(V s, V b) {
        return s + b * (1.f - alphaOf(s));
    }
};
// Multiply and screen in premultiplied form (the same values as the general blend, without
// dividing by alpha): αs·αb·Cb·Cs = s·b, and αs·αb·(Cb + Cs − Cb·Cs) = αs·b + αb·s − s·b.
// In the alpha lane both give αs + αb − αs·αb, the source-over alpha.
struct MultiplyV {
    template <class V>
    static V vec(V s, V b) {
        return s * (1.f - alphaOf(b)) + b * (1.f - alphaOf(s)) + s * b;
    }
};
struct ScreenV {
    template <class V>
    static V vec(V s, V b) {
        return s + b - s * b;
    }
};
struct SourceAtop {
    static void apply(const float* s, const float* b, float* o) {
        const float k = 1.f - s[3];
        for (int c = 0; c < 3; ++c) o[c] = s[c] * b[3] + b[c] * k;
        o[3] = b[3];
    }
};
struct SourceIn {
    static void apply(const float* s, const float* b, float* o) {
        for (int c = 0; c < 4; ++c) o[c] = s[c] * b[3];
    }
};
struct SourceOut {
    static void apply(const float* s, const float* b, float* o) {
        const float k = 1.f - b[3];
        for (int c = 0; c < 4; ++c) o[c] = s[c] * k;
    }
};

// --- blend modes -------------------------------------------------------------------------

// Composites B(Cb, Cs) source-over. Mode::blend(cb, cs, out) works on straight colours.
template <class Mode>
struct Blend {
    static void apply(const float* s, const float* b, float* o) {
        const float as = s[3], ab = b[3];
        const float is = as > 0.f ? 1.f / as : 0.f, ib = ab > 0.f ? 1.f / ab : 0.f;
        const float cs[3] = {s[0] * is, s[1] * is, s[2] * is};
        const float cb[3] = {b[0] * ib, b[1] * ib, b[2] * ib};
        float m[3];
        Mode::blend(cb, cs, m);
        const float ks = 1.f - ab, kb = 1.f - as, kk = as * ab;
        for (int c = 0; c < 3; ++c) o[c] = s[c] * ks + b[c] * kb + kk * m[c];
        o[3] = as + ab - kk;
    }
};

// Separable modes: the same function of (Cb, Cs) in each channel.
template <class F>
struct Separable {
    static void blend(const float* cb, const float* cs, float* m) {
        for (int c = 0; c < 3; ++c) m[c] = F::f(cb[c], cs[c]);
    }
};

inline float multiplyF(float b, float s) { return b * s; }
inline float screenF(float b, float s) { return b + s - b * s; }
inline float hardLightF(float b, float s) { return s <= 0.5f ? multiplyF(b, 2 * s) : screenF(b, 2 * s - 1); }

struct Overlay { static float f(float b, float s) { return hardLightF(s, b); } };
struct Darken { static float f(float b, float s) { return std::min(b, s); } };
struct Lighten { static float f(float b, float s) { return std::max(b, s); } };
struct ColorDodge {
    static float f(float b, float s) {
        if (b <= 0.f) return 0.f;
        if (s >= 1.f) return 1.f;
        return std::min(1.f, b / (1.f - s));
    }
};
struct ColorBurn {
    static float f(float b, float s) {
        if (b >= 1.f) return 1.f;
        if (s <= 0.f) return 0.f;
        return 1.f - std::min(1.f, (1.f - b) / s);
    }
};
struct HardLight { static float f(float b, float s) { return hardLightF(b, s); } };
struct SoftLight {
    static float f(float b, float s) {
        if (s <= 0.5f) return b - (1 - 2 * s) * b * (1 - b);
        const float d = b <= 0.25f ? ((16 * b - 12) * b + 4) * b : std::sqrt(b);
        return b + (2 * s - 1) * (d - b);
    }
};
struct Difference { static float f(float b, float s) { return std::fabs(b - s); } };
struct Exclusion { static float f(float b, float s) { return b + s - 2 * b * s; } };

// Non-separable helpers (luminosity weights 0.3, 0.59, 0.11).
inline float lum(const float* c) { return 0.3f * c[0] + 0.59f * c[1] + 0.11f * c[2]; }
inline float sat(const float* c) {
    return std::max(c[0], std::max(c[1], c[2])) - std::min(c[0], std::min(c[1], c[2]));
}
inline void clipColor(float* c) {
    const float l = lum(c);
    const float n = std::min(c[0], std::min(c[1], c[2]));
    const float x = std::max(c[0], std::max(c[1], c[2]));
    // The margins guard against rounding making the denominators vanish.
    if (n < 0.f && l - n > 1e-12f) {
        const float k = l / (l - n);
        for (int i = 0; i < 3; ++i) c[i] = l + (c[i] - l) * k;
    }
    if (x > 1.f && x - l > 1e-12f) {
        const float k = (1.f - l) / (x - l);
        for (int i = 0; i < 3; ++i) c[i] = l + (c[i] - l) * k;
    }
}
inline void setLum(const float* c, float l, float* o) {
    const float d = l - lum(c);
    for (int i = 0; i < 3; ++i) o[i] = c[i] + d;
    clipColor(o);
}
// The colour with its max − min set to s: the smallest channel goes to 0, the largest to
// s, the middle one in proportion (written without branches on the channel order).
inline void setSat(const float* c, float s, float* o) {
    const float mn = std::min(c[0], std::min(c[1], c[2]));
    const float range = std::max(c[0], std::max(c[1], c[2])) - mn;
    const float k = range > 0.f ? s / range : 0.f;
    for (int i = 0; i < 3; ++i) o[i] = (c[i] - mn) * k;
}

struct Hue {
    static void blend(const float* cb, const float* cs, float* m) {
        float t[3];
        setSat(cs, sat(cb), t);
        setLum(t, lum(cb), m);
    }
};
struct ColorMode {
    static void blend(const float* cb, const float* cs, float* m) { setLum(cs, lum(cb), m); }
};
struct Luminosity {
    static void blend(const float* cb, const float* cs, float* m) { setLum(cb, lum(cs), m); }
};

// The saturation blend, written once for a pixel (T = float) and for sixteen pixels in
// planes (T = V16): branch-free selects, so the wide form is the same arithmetic lane by
// lane. The per-pixel general form costs several times more on a frame.
template <class T>
inline T vmin(T a, T b) { return a < b ? a : b; }
template <class T>
inline T vmax(T a, T b) { return a > b ? a : b; }

inline bool anyOf(bool m) { return m; }
inline bool anyOf(I16 m) { return anyLane(m); }

template <class T>
inline void saturationBlend(const T s[4], const T b[4], T out[4]) {
    const T zero{}, one = T{} + 1.f;
    const T as = vmin(vmax(s[3], zero), one), ab = vmin(vmax(b[3], zero), one);
    T sp[3], bp[3], cs[3], cb[3];
    const T is = as > 0.f ? one / as : zero, ib = ab > 0.f ? one / ab : zero;
    for (int c = 0; c < 3; ++c) {
        sp[c] = vmin(vmax(s[c], zero), as);
        bp[c] = vmin(vmax(b[c], zero), ab);
        cs[c] = sp[c] * is;
        cb[c] = bp[c] * ib;
    }
    const T satS = vmax(cs[0], vmax(cs[1], cs[2])) - vmin(cs[0], vmin(cs[1], cs[2]));
    const T mn = vmin(cb[0], vmin(cb[1], cb[2]));
    const T range = vmax(cb[0], vmax(cb[1], cb[2])) - mn;
    const T k = range > 0.f ? satS / range : zero;
    T o[3];
    for (int c = 0; c < 3; ++c) o[c] = (cb[c] - mn) * k;
    const T d = (0.3f * cb[0] + 0.59f * cb[1] + 0.11f * cb[2]) - (0.3f * o[0] + 0.59f * o[1] + 0.11f * o[2]);
    for (int c = 0; c < 3; ++c) o[c] += d;
    // clipColor: a colour moves only where it leaves the gamut; most blocks need neither
    // correction, and skip the divisions
    const T l = 0.3f * o[0] + 0.59f * o[1] + 0.11f * o[2];
    const T lo = vmin(o[0], vmin(o[1], o[2]));
    const auto clipLo = (lo < 0.f) & (l - lo > 1e-12f);
    if (anyOf(clipLo)) {
        const T kLo = clipLo ? l / (l - lo) : one;
        for (int c = 0; c < 3; ++c) o[c] = clipLo ? l + (o[c] - l) * kLo : o[c];
    }
    const T hi = vmax(o[0], vmax(o[1], o[2]));
    const auto clipHi = (hi > 1.f) & (hi - l > 1e-12f);
    if (anyOf(clipHi)) {
        const T kHi = clipHi ? (one - l) / (hi - l) : one;
        for (int c = 0; c < 3; ++c) o[c] = clipHi ? l + (o[c] - l) * kHi : o[c];
    }
    const T ks = one - ab, kb = one - as, kk = as * ab;
    for (int c = 0; c < 3; ++c) out[c] = sp[c] * ks + bp[c] * kb + kk * o[c];
    out[3] = as + ab - kk;
}

struct SaturationSpan {
    static void span(const float* __restrict S, const float* __restrict B, float* __restrict out, int n) {
        int i = 0;
        for (; i + 16 <= n; i += 16) {
            const Planes16 ps = toPlanes(S + 4 * i), pb = toPlanes(B + 4 * i);
            const V16 s[4] = {ps.r, ps.g, ps.b, ps.a}, b[4] = {pb.r, pb.g, pb.b, pb.a};
            V16 o[4];
            saturationBlend(s, b, o);
            fromPlanes(out + 4 * i, Planes16{o[0], o[1], o[2], o[3]});
        }
        for (; i < n; ++i) saturationBlend(S + 4 * i, B + 4 * i, out + 4 * i);
    }
};

template <class Op>
void add(const char* name, ExtentRule rule) {
    std::string n = name;
    FilterRegistry::add(n, [n, rule] { return std::make_shared<TwoImageFilter<Op>>(n, rule); });
}
template <class F>
void addSeparable(const char* name) {
    add<Blend<Separable<F>>>(name, ExtentRule::Union);
}

}  // namespace

void registerCompositingFilters() {
    add<SourceOverV>("CISourceOverCompositing", ExtentRule::Union);
    add<SourceAtop>("CISourceAtopCompositing", ExtentRule::Background);
    add<SourceIn>("CISourceInCompositing", ExtentRule::Intersection);
    add<SourceOut>("CISourceOutCompositing", ExtentRule::Source);

    add<MultiplyV>("CIMultiplyBlendMode", ExtentRule::Union);
    add<ScreenV>("CIScreenBlendMode", ExtentRule::Union);
    addSeparable<Overlay>("CIOverlayBlendMode");
    addSeparable<Darken>("CIDarkenBlendMode");
    addSeparable<Lighten>("CILightenBlendMode");
    addSeparable<ColorDodge>("CIColorDodgeBlendMode");
    addSeparable<ColorBurn>("CIColorBurnBlendMode");
    addSeparable<HardLight>("CIHardLightBlendMode");
    addSeparable<SoftLight>("CISoftLightBlendMode");
    addSeparable<Difference>("CIDifferenceBlendMode");
    addSeparable<Exclusion>("CIExclusionBlendMode");
    add<Blend<Hue>>("CIHueBlendMode", ExtentRule::Union);
    add<SaturationSpan>("CISaturationBlendMode", ExtentRule::Union);
    add<Blend<ColorMode>>("CIColorBlendMode", ExtentRule::Union);
    add<Blend<Luminosity>>("CILuminosityBlendMode", ExtentRule::Union);
}

}  // namespace vellari::detail
