// Texture, halftone and watermark span kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "styles/src/texture_spans.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "style_spans-inl.h"
#include "texture_spans.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::styles::texture::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;
using namespace vellari::styles::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// Rec. 709 luma, as the colour controls use.
constexpr float kLr = 0.2125f, kLg = 0.7154f, kLb = 0.0721f;

// Ink amount where the screen value s meets the tone v with an edge 1 / invWidth wide (see
// texture_kernels.cpp).
template <class D, class V>
HWY_INLINE V InkRamp(D d, V s, V v, V invWidth) {
    const V one = hn::Set(d, 1.0f);
    return Clamp01(d, hn::MulAdd(hn::Sub(s, v), invWidth, hn::Sub(one, v)));
}

void RedPlaneSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT red, size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        hn::StoreU(LoadPlanes(d, src + 4 * i).r, d, red + i);
    });
}

// The neighbours are the centre plane loaded one value to either side.
void HalftoneMonoSpan(const float* HWY_RESTRICT image, const float* HWY_RESTRICT centre,
                      const float* HWY_RESTRICT up, const float* HWY_RESTRICT down, float* HWY_RESTRICT dst, size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, image + 4 * i);
        const auto one = hn::Set(d, 1.0f), half = hn::Set(d, 0.5f);
        const auto lum = hn::MulAdd(hn::Set(d, kLb), q.b, hn::MulAdd(hn::Set(d, kLg), q.g, hn::Mul(hn::Set(d, kLr), q.r)));
        // A pixel without alpha counts as white.
        const auto tone = hn::IfThenElse(hn::Gt(q.a, hn::Zero(d)), Clamp01(d, hn::Div(lum, q.a)), one);
        const auto s = hn::LoadU(d, centre + i);
        const auto gx = hn::Mul(half, hn::Sub(hn::LoadU(d, centre + i + 1), hn::LoadU(d, centre + i - 1)));
        const auto gy = hn::Mul(half, hn::Sub(hn::LoadU(d, down + i), hn::LoadU(d, up + i)));
        const auto g = hn::Max(hn::Sqrt(hn::MulAdd(gx, gx, hn::Mul(gy, gy))), hn::Set(d, 1.0e-3f));
        const auto ink = Clamp01(d, hn::Add(hn::Div(hn::Sub(s, tone), g), hn::Sub(one, tone)));
        const auto v = hn::Mul(hn::Sub(one, ink), q.a);
        StoreGrey(d, v, image + 4 * i, dst + 4 * i);
    });
}

// All four lanes of a pixel alike, the alpha lane replaced after.
void HalftoneCMYCheapSpan(const float* HWY_RESTRICT image, const float* HWY_RESTRICT screen, float* HWY_RESTRICT dst,
                          size_t n) {
    constexpr float kWidth = 0.04f;
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto p = hn::LoadU(d, image + i);
        const auto a = hn::Broadcast<3>(p);
        const auto one = hn::Set(d, 1.0f);
        const auto inv = hn::Div(one, hn::Max(a, hn::Set(d, 1.0e-20f)));
        // Without alpha the tone is white: no ink.
        const auto v = hn::IfThenElse(hn::Gt(a, hn::Zero(d)), Clamp01(d, hn::Mul(p, inv)), one);
        const auto ink = InkRamp(d, hn::LoadU(d, screen + i), v, hn::Set(d, 1 / kWidth));
        const auto o = hn::Mul(hn::Sub(one, Smoothstep(d, ink, 0.0f, 1.0f)), a);
        hn::StoreU(hn::IfThenElse(AlphaLanes(d), a, o), d, dst + i);
    });
}

void SetAlphaSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, float alpha) {
    ForEachPixelBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto p = hn::LoadU(d, src + i);
        const auto a = hn::Broadcast<3>(p), na = hn::Set(d, alpha);
        // A pixel without alpha has no colour to keep.
        const auto k = hn::IfThenElseZero(hn::Gt(a, hn::Zero(d)), hn::Div(na, a));
        hn::StoreU(hn::IfThenElse(AlphaLanes(d), na, hn::Mul(p, k)), d, dst + i);
    });
}

void ThresholdWatermarkSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n, int x, int y,
                            float phase) {
    constexpr float kPeriod = 1024.0f, kHalfWidth = 110.0f, kBand = 0.45f, kBase = 0.05f;
    const float yc = float(y) + 0.5f;
    // Only the mark's alpha is read: the band is computed for a vector of pixels and
    // spread over them, scaled by each one's alpha.
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        // Lane offsets as a constant (an Iota from a variable start goes through memory).
        const auto xc = hn::Add(hn::Set(d, float(x + int(i)) + 0.5f), hn::Iota(d, 0.0f));
        auto f = hn::Add(hn::Sub(hn::Mul(hn::Add(xc, hn::Set(d, yc)), hn::Set(d, 1 / kPeriod)), hn::Set(d, phase)),
                         hn::Set(d, 0.5f));
        f = hn::Sub(f, hn::Floor(f));
        // Pixels from the band's centre.
        const auto dist = hn::Mul(hn::Abs(hn::Sub(f, hn::Set(d, 0.5f))), hn::Set(d, kPeriod));
        const auto band = Smoothstep(d, dist, kHalfWidth, 1 / (0.0f - kHalfWidth));
        const auto grey = hn::MulAdd(hn::Set(d, kBand - kBase), band, hn::Set(d, kBase));
        StoreGrey<true>(d, grey, src + 4 * i, dst + 4 * i);
    });
}

}  // namespace vellari::styles::texture::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::styles::texture {
namespace {
VELLARI_SIMD_PROBE("texture")
}  // namespace

HWY_EXPORT(RedPlaneSpan);
HWY_EXPORT(HalftoneMonoSpan);
HWY_EXPORT(HalftoneCMYCheapSpan);
HWY_EXPORT(SetAlphaSpan);
HWY_EXPORT(ThresholdWatermarkSpan);

void redPlaneSpan(const float* src, float* red, size_t n) { VELLARI_DISPATCH(RedPlaneSpan)(src, red, n); }
void halftoneMonoSpan(const float* image, const float* centre, const float* up, const float* down, float* dst,
                      size_t n) {
    VELLARI_DISPATCH(HalftoneMonoSpan)(image, centre, up, down, dst, n);
}
void halftoneCMYCheapSpan(const float* image, const float* screen, float* dst, size_t n) {
    VELLARI_DISPATCH(HalftoneCMYCheapSpan)(image, screen, dst, n);
}
void setAlphaSpan(const float* src, float* dst, size_t n, float alpha) {
    VELLARI_DISPATCH(SetAlphaSpan)(src, dst, n, alpha);
}
void thresholdWatermarkSpan(const float* src, float* dst, size_t n, int x, int y, float phase) {
    VELLARI_DISPATCH(ThresholdWatermarkSpan)(src, dst, n, x, y, phase);
}

}  // namespace vellari::styles::texture
#endif  // HWY_ONCE
