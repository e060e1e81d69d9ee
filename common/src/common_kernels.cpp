// Row kernels of the common image utilities, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "common/src/common_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "common_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::common::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

void UpscaleRow(const float* const* r, const float* wy, const float* HWY_RESTRICT near0,
                const float* HWY_RESTRICT near1, size_t span, const UpscaleTaps* HWY_RESTRICT cols, size_t w,
                const UpscaleRows& work, float sharpenFrom, float sharpenFull, float* HWY_RESTRICT out) {
    float* HWY_RESTRICT tmp = work.tmp;
    float* HWY_RESTRICT mn = work.mn;
    float* HWY_RESTRICT mx = work.mx;
    // Vertical interpolation and the two nearest rows' minimum and maximum.
    const float *r0 = r[0], *r1 = r[1], *r2 = r[2], *r3 = r[3];
    ForEachBlock(hn::ScalableTag<float>(), span * 4, [&](auto d, size_t i) {
        auto t = hn::Mul(hn::Set(d, wy[0]), hn::LoadU(d, r0 + i));
        t = hn::MulAdd(hn::Set(d, wy[1]), hn::LoadU(d, r1 + i), t);
        t = hn::MulAdd(hn::Set(d, wy[2]), hn::LoadU(d, r2 + i), t);
        t = hn::MulAdd(hn::Set(d, wy[3]), hn::LoadU(d, r3 + i), t);
        hn::StoreU(t, d, tmp + i);
        const auto a = hn::LoadU(d, near0 + i), b = hn::LoadU(d, near1 + i);
        hn::StoreU(hn::Min(a, b), d, mn + i);
        hn::StoreU(hn::Max(a, b), d, mx + i);
    });
    // Horizontal taps a pixel (one 128-bit vector) at a time: they sit anywhere in the row.
    float* HWY_RESTRICT val = work.val;
    float* HWY_RESTRICT lo = work.lo;
    float* HWY_RESTRICT hi = work.hi;
    const hn::FixedTag<float, 4> d4;
    for (size_t k = 0; k < w; ++k) {
        const UpscaleTaps& c = cols[k];
        auto px = hn::Mul(hn::Set(d4, c.w[0]), hn::LoadU(d4, tmp + c.idx[0] * 4));
        px = hn::MulAdd(hn::Set(d4, c.w[1]), hn::LoadU(d4, tmp + c.idx[1] * 4), px);
        px = hn::MulAdd(hn::Set(d4, c.w[2]), hn::LoadU(d4, tmp + c.idx[2] * 4), px);
        px = hn::MulAdd(hn::Set(d4, c.w[3]), hn::LoadU(d4, tmp + c.idx[3] * 4), px);
        hn::StoreU(px, d4, val + 4 * k);
        hn::StoreU(hn::Min(hn::LoadU(d4, mn + c.near0 * 4), hn::LoadU(d4, mn + c.near1 * 4)), d4, lo + 4 * k);
        hn::StoreU(hn::Max(hn::LoadU(d4, mx + c.near0 * 4), hn::LoadU(d4, mx + c.near1 * 4)), d4, hi + 4 * k);
    }
    // The clamp to the local range and the sharpening over the whole row.
    const float ramp = 1.0f / (sharpenFull - sharpenFrom);
    ForEachBlock(hn::ScalableTag<float>(), w * 4, [&](auto d, size_t i) {
        const auto l = hn::LoadU(d, lo + i), h = hn::LoadU(d, hi + i);
        const auto v = hn::Min(hn::Max(hn::LoadU(d, val + i), l), h);
        const auto range = hn::Sub(h, l);
        const auto k = hn::Min(hn::Max(hn::Mul(hn::Sub(range, hn::Set(d, sharpenFrom)), hn::Set(d, ramp)), hn::Zero(d)),
                               hn::Set(d, 1.0f));
        const auto inv = hn::IfThenElseZero(hn::Gt(range, hn::Set(d, 1e-6f)), hn::Div(hn::Set(d, 1.0f), range));
        const auto t = hn::Mul(hn::Sub(v, l), inv);
        const auto s = hn::Mul(hn::Mul(t, t), hn::NegMulAdd(hn::Set(d, 2.0f), t, hn::Set(d, 3.0f)));
        hn::StoreU(hn::MulAdd(hn::Mul(k, hn::Sub(s, t)), range, v), d, out + i);
    });
}

void AddWeightedSpan(const float* a, const float* b, float* out, size_t n, float alpha, float beta, float gamma) {
    // Alpha lanes by position, every fourth float: the same lanes of every whole vector.
    const hn::ScalableTag<float> df;
    const hn::RebindToUnsigned<decltype(df)> du;
    const auto alphaLanes = hn::RebindMask(df, hn::Eq(hn::And(hn::Iota(du, 0), hn::Set(du, 3u)), hn::Set(du, 3u)));
    ForEachBlock(df, n * 4, [&](auto d, size_t i) {
        const auto va = hn::LoadU(d, a + i);
        const auto v = hn::Add(hn::MulAdd(hn::LoadU(d, b + i), hn::Set(d, beta), hn::Mul(va, hn::Set(d, alpha))),
                               hn::Set(d, gamma));
        // Not a number passes through, as it always has.
        const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f);
        const auto c = hn::IfThenElse(hn::Lt(v, zero), zero, hn::IfThenElse(hn::Gt(v, one), one, v));
        if constexpr (hn::MaxLanes(decltype(d)()) == 1)
            hn::StoreU((i & 3) == 3 ? va : c, d, out + i);
        else
            hn::StoreU(hn::IfThenElse(alphaLanes, va, c), d, out + i);
    });
}

}  // namespace vellari::common::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::common {
namespace {
VELLARI_SIMD_PROBE("common utilities")
}  // namespace

HWY_EXPORT(UpscaleRow);
HWY_EXPORT(AddWeightedSpan);

void upscaleRow(const float* const r[4], const float wy[4], const float* near0, const float* near1, size_t span,
                const UpscaleTaps* cols, size_t w, const UpscaleRows& work, float sharpenFrom, float sharpenFull,
                float* out) {
    VELLARI_DISPATCH(UpscaleRow)(r, wy, near0, near1, span, cols, w, work, sharpenFrom, sharpenFull, out);
}
void addWeightedSpan(const float* a, const float* b, float* out, size_t n, float alpha, float beta, float gamma) {
    VELLARI_DISPATCH(AddWeightedSpan)(a, b, out, n, alpha, beta, gamma);
}

}  // namespace vellari::common
#endif  // HWY_ONCE
