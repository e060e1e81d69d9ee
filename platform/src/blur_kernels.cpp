// Gaussian blur row kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "platform/src/blur_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "blur_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::detail::gaussian::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// One vector of outputs at i, every tap summed in a register.
template <class D>
HWY_INLINE void TapsOne(D d, const float* const* p, const float* k, int R, float* HWY_RESTRICT o, size_t i) {
    auto acc = hn::Mul(hn::Set(d, k[0]), hn::LoadU(d, p[R] + i));
    for (int m = 1; m <= R; ++m)
        acc = hn::MulAdd(hn::Set(d, k[m]), hn::Add(hn::LoadU(d, p[R - m] + i), hn::LoadU(d, p[R + m] + i)), acc);
    hn::StoreU(acc, d, o + i);
}

// Several vectors go through the taps together, so that their independent chains of
// multiply-adds fill each other's latency.
void SymmetricTapsSpan(const float* const* p, const float* k, int R, float* HWY_RESTRICT o, size_t n) {
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    size_t i = 0;
    for (; i + 4 * N <= n; i += 4 * N) {
        const float* c = p[R] + i;
        const auto k0 = hn::Set(d, k[0]);
        auto a0 = hn::Mul(k0, hn::LoadU(d, c)), a1 = hn::Mul(k0, hn::LoadU(d, c + N));
        auto a2 = hn::Mul(k0, hn::LoadU(d, c + 2 * N)), a3 = hn::Mul(k0, hn::LoadU(d, c + 3 * N));
        for (int m = 1; m <= R; ++m) {
            const float* lo = p[R - m] + i;
            const float* hi = p[R + m] + i;
            const auto km = hn::Set(d, k[m]);
            a0 = hn::MulAdd(km, hn::Add(hn::LoadU(d, lo), hn::LoadU(d, hi)), a0);
            a1 = hn::MulAdd(km, hn::Add(hn::LoadU(d, lo + N), hn::LoadU(d, hi + N)), a1);
            a2 = hn::MulAdd(km, hn::Add(hn::LoadU(d, lo + 2 * N), hn::LoadU(d, hi + 2 * N)), a2);
            a3 = hn::MulAdd(km, hn::Add(hn::LoadU(d, lo + 3 * N), hn::LoadU(d, hi + 3 * N)), a3);
        }
        hn::StoreU(a0, d, o + i);
        hn::StoreU(a1, d, o + i + N);
        hn::StoreU(a2, d, o + i + 2 * N);
        hn::StoreU(a3, d, o + i + 3 * N);
    }
    for (; i + 2 * N <= n; i += 2 * N) {
        const float* c = p[R] + i;
        const auto k0 = hn::Set(d, k[0]);
        auto a0 = hn::Mul(k0, hn::LoadU(d, c)), a1 = hn::Mul(k0, hn::LoadU(d, c + N));
        for (int m = 1; m <= R; ++m) {
            const float* lo = p[R - m] + i;
            const float* hi = p[R + m] + i;
            const auto km = hn::Set(d, k[m]);
            a0 = hn::MulAdd(km, hn::Add(hn::LoadU(d, lo), hn::LoadU(d, hi)), a0);
            a1 = hn::MulAdd(km, hn::Add(hn::LoadU(d, lo + N), hn::LoadU(d, hi + N)), a1);
        }
        hn::StoreU(a0, d, o + i);
        hn::StoreU(a1, d, o + i + N);
    }
    for (; i + N <= n; i += N) TapsOne(d, p, k, R, o, i);
    if (i == n) return;
    if (n >= N) {
        // The last vector ends at n and overlaps the one before: its lanes come out the
        // same again, and nothing past the rows is read.
        TapsOne(d, p, k, R, o, n - N);
        return;
    }
    const hn::CappedTag<float, 1> d1;
    for (; i < n; ++i) TapsOne(d1, p, k, R, o, i);
}

unsigned GreySplitSpan(const float* HWY_RESTRICT src, size_t n, float* HWY_RESTRICT red, float* HWY_RESTRICT alpha) {
    unsigned flags = 0;
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        const auto differ = hn::Or(hn::Ne(q.r, q.g), hn::Ne(q.r, q.b));
        flags |= hn::AllFalse(d, differ) ? 0u : kGreyDiffers;
        flags |= hn::AllTrue(d, hn::Eq(q.a, hn::Set(d, 1.0f))) ? 0u : kGreyTranslucent;
        hn::StoreU(q.r, d, red + i);
        hn::StoreU(q.a, d, alpha + i);
    });
    return flags;
}

void GreyJoinSpan(const float* HWY_RESTRICT g, const float* HWY_RESTRICT a, float aScale, float* HWY_RESTRICT dst,
                  size_t n) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto v = hn::LoadU(d, g + i);
        StorePlanes(d, Planes<decltype(d)>{v, v, v, hn::Mul(hn::LoadU(d, a + i), hn::Set(d, aScale))}, dst + 4 * i);
    });
}

}  // namespace vellari::detail::gaussian::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
// The kernels have a namespace of their own: each unit defines every target's namespace.
namespace vellari::detail::gaussian {
namespace {
VELLARI_SIMD_PROBE("gaussian blur")
}  // namespace

HWY_EXPORT(SymmetricTapsSpan);
HWY_EXPORT(GreySplitSpan);
HWY_EXPORT(GreyJoinSpan);
}  // namespace vellari::detail::gaussian

namespace vellari::detail {

void symmetricTapsSpan(const float* const* p, const float* k, int R, float* o, size_t n) {
    using namespace gaussian;
    VELLARI_DISPATCH(SymmetricTapsSpan)(p, k, R, o, n);
}
unsigned greySplitSpan(const float* src, size_t n, float* red, float* alpha) {
    using namespace gaussian;
    return VELLARI_DISPATCH(GreySplitSpan)(src, n, red, alpha);
}
void greyJoinSpan(const float* g, const float* a, float aScale, float* dst, size_t n) {
    using namespace gaussian;
    VELLARI_DISPATCH(GreyJoinSpan)(g, a, aScale, dst, n);
}

}  // namespace vellari::detail
#endif  // HWY_ONCE
