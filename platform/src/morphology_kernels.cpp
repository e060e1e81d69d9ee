// Rectangle minimum kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "platform/src/morphology_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "morphology_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::detail::morphology::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// The sign bit in the alpha lanes of interleaved RGBA floats, the first lane being
// channel `first`.
template <class D>
HWY_INLINE hn::Vec<D> AlphaSign(D d, size_t first) {
    const hn::RebindToUnsigned<D> du;
    const auto channel = hn::And(hn::Iota(du, uint32_t(first & 3)), hn::Set(du, 3u));
    return hn::BitCast(d, hn::IfThenElseZero(hn::Eq(channel, hn::Set(du, 3u)), hn::Set(du, 0x80000000u)));
}

// Runs body(tag, i, sign) over the 4n floats of n pixels, sign holding AlphaSign at i.
template <class Body>
HWY_INLINE void ForEachChannelBlock(size_t n, Body&& body) {
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d), len = 4 * n;
    size_t i = 0;
    if (N % 4 == 0) {
        const auto sign = AlphaSign(d, 0);
        for (; i + N <= len; i += N) body(d, i, sign);
    }
    const hn::CappedTag<float, 1> d1;
    for (; i < len; ++i) body(d1, i, AlphaSign(d1, i));
}

void NegateAlphaSpan(const float* HWY_RESTRICT src, float* HWY_RESTRICT dst, size_t n) {
    ForEachChannelBlock(n, [&](auto d, size_t i, auto sign) { hn::StoreU(hn::Xor(hn::LoadU(d, src + i), sign), d, dst + i); });
}

void FinishMinimumSpan(float* HWY_RESTRICT p, size_t n, float neutral) {
    ForEachChannelBlock(n, [&](auto d, size_t i, auto sign) {
        const auto v = hn::LoadU(d, p + i);
        hn::StoreU(hn::IfThenZeroElse(hn::Ge(v, hn::Set(d, neutral)), hn::Xor(v, sign)), d, p + i);
    });
}

template <class D>
HWY_INLINE void WindowOne(D d, const float* src, ptrdiff_t step, float* HWY_RESTRICT dst, size_t q, int k) {
    auto acc = hn::LoadU(d, src + q);
    for (int j = 1; j < k; ++j) acc = hn::Min(hn::LoadU(d, src + q + ptrdiff_t(j) * step), acc);
    hn::StoreU(acc, d, dst + q);
}

// Two vectors go through the window together, so that their chains of minima overlap.
void WindowMinimumSpan(const float* src, ptrdiff_t step, float* HWY_RESTRICT dst, size_t len, int k) {
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    size_t q = 0;
    for (; q + 2 * N <= len; q += 2 * N) {
        auto a0 = hn::LoadU(d, src + q), a1 = hn::LoadU(d, src + q + N);
        for (int j = 1; j < k; ++j) {
            const float* s = src + q + ptrdiff_t(j) * step;
            a0 = hn::Min(hn::LoadU(d, s), a0);
            a1 = hn::Min(hn::LoadU(d, s + N), a1);
        }
        hn::StoreU(a0, d, dst + q);
        hn::StoreU(a1, d, dst + q + N);
    }
    for (; q + N <= len; q += N) WindowOne(d, src, step, dst, q, k);
    if (q == len) return;
    if (len >= N) {
        // The last vector ends at len, overlapping the one before: nothing past is read.
        WindowOne(d, src, step, dst, len - N, k);
        return;
    }
    const hn::CappedTag<float, 1> d1;
    for (; q < len; ++q) WindowOne(d1, src, step, dst, q, k);
}

// out = elementwise minimum of a and b over m floats.
template <class D>
HWY_INLINE void MinOf(D d, const float* a, const float* b, float* out, size_t m) {
    ForEachBlock(d, m, [&](auto dd, size_t c) { hn::StoreU(hn::Min(hn::LoadU(dd, b + c), hn::LoadU(dd, a + c)), dd, out + c); });
}

template <class D>
HWY_INLINE void Blocked(D d, const float* src, ptrdiff_t ss, float* dst, ptrdiff_t ds, int L, int k, int m,
                        float* scratch) {
    float* g = scratch;                     // minima from each block's start
    float* h = scratch + size_t(L) * m;     // minima to each block's end
    const size_t bytes = size_t(m) * sizeof(float);
    for (int b0 = 0; b0 < L; b0 += k) {
        const int b1 = b0 + k < L ? b0 + k : L;
        std::memcpy(g + size_t(b0) * m, src + b0 * ss, bytes);
        for (int i = b0 + 1; i < b1; ++i) MinOf(d, g + size_t(i - 1) * m, src + i * ss, g + size_t(i) * m, size_t(m));
        std::memcpy(h + size_t(b1 - 1) * m, src + (b1 - 1) * ss, bytes);
        for (int i = b1 - 2; i >= b0; --i) MinOf(d, h + size_t(i + 1) * m, src + i * ss, h + size_t(i) * m, size_t(m));
    }
    for (int i = 0; i + k <= L; ++i) MinOf(d, h + size_t(i) * m, g + size_t(i + k - 1) * m, dst + i * ds, size_t(m));
}

void BlockedWindowMinimum(const float* src, ptrdiff_t ss, float* dst, ptrdiff_t ds, int L, int k, int m,
                          float* scratch) {
    // A pixel's four channels (the horizontal pass) are one short vector; rows of a tile
    // take the full width.
    const hn::ScalableTag<float> d;
    if (size_t(m) >= hn::Lanes(d))
        Blocked(d, src, ss, dst, ds, L, k, m, scratch);
    else
        Blocked(hn::CappedTag<float, 4>(), src, ss, dst, ds, L, k, m, scratch);
}

}  // namespace vellari::detail::morphology::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
// The kernels have a namespace of their own: each unit defines every target's namespace.
namespace vellari::detail::morphology {
namespace {
VELLARI_SIMD_PROBE("morphology")
}  // namespace

HWY_EXPORT(NegateAlphaSpan);
HWY_EXPORT(FinishMinimumSpan);
HWY_EXPORT(WindowMinimumSpan);
HWY_EXPORT(BlockedWindowMinimum);
}  // namespace vellari::detail::morphology

namespace vellari::detail {

void negateAlphaSpan(const float* src, float* dst, size_t n) {
    using namespace morphology;
    VELLARI_DISPATCH(NegateAlphaSpan)(src, dst, n);
}
void finishMinimumSpan(float* p, size_t n, float neutral) {
    using namespace morphology;
    VELLARI_DISPATCH(FinishMinimumSpan)(p, n, neutral);
}
void windowMinimumSpan(const float* src, ptrdiff_t step, float* dst, size_t len, int k) {
    using namespace morphology;
    VELLARI_DISPATCH(WindowMinimumSpan)(src, step, dst, len, k);
}
void blockedWindowMinimum(const float* src, ptrdiff_t ss, float* dst, ptrdiff_t ds, int L, int k, int m,
                          float* scratch) {
    using namespace morphology;
    VELLARI_DISPATCH(BlockedWindowMinimum)(src, ss, dst, ds, L, k, m, scratch);
}

}  // namespace vellari::detail
#endif  // HWY_ONCE
