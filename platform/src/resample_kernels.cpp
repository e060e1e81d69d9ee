// Separable resampling kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "platform/src/resample_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "resample_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::detail::resampling::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// A pixel is one 128-bit vector: the taps of an output pixel sit anywhere in the row.
using D4 = hn::FixedTag<float, 4>;

// The pixels at in + idx[0], in + idx[M], ... as the blocks of one vector, lowest first:
// the taps j of Lanes(d) / 4 neighbouring output pixels. Loads and inserts of whole
// blocks, not a gather. Only where vectors have a fixed width.
template <int M, class D>
HWY_INLINE hn::Vec<D> LoadBlocks(D d, const float* HWY_RESTRICT in, const int32_t* HWY_RESTRICT idx) {
    if constexpr (hn::MaxLanes(D()) <= 4) {
        return hn::LoadU(d, in + idx[0]);
    } else {
        const hn::Half<D> dh;
        constexpr size_t kHalf = hn::MaxLanes(hn::Half<D>()) / 4;
        return hn::Combine(d, LoadBlocks<M>(dh, in, idx + kHalf * M), LoadBlocks<M>(dh, in, idx));
    }
}

// Output pixel k = sum over j of tap j's weight (repeated over the channels in the plane
// wt + j·4w) times the pixel at in + idx[k·M + j].
template <int M, class D>
HWY_INLINE void FixedTapsPixels(D d, const float* HWY_RESTRICT in, const int32_t* HWY_RESTRICT idx,
                                const float* HWY_RESTRICT wt, size_t w, size_t k, float* HWY_RESTRICT out) {
    auto acc = hn::Mul(hn::LoadU(d, wt + 4 * k), LoadBlocks<M>(d, in, idx + k * M));
    for (int j = 1; j < M; ++j)
        acc = hn::MulAdd(hn::LoadU(d, wt + size_t(j) * 4 * w + 4 * k), LoadBlocks<M>(d, in, idx + k * M + j), acc);
    hn::StoreU(acc, d, out + 4 * k);
}

template <int M>
HWY_INLINE void FixedTapsRows(const float* HWY_RESTRICT in, ptrdiff_t stride, size_t rows,
                              const int32_t* HWY_RESTRICT idx, const float* HWY_RESTRICT wt, size_t w,
                              float* HWY_RESTRICT out) {
    // Two pixels a vector at most: a wider one costs more in inserting its blocks than
    // it saves in arithmetic.
#if HWY_HAVE_SCALABLE
    const D4 d;
#else
    const hn::CappedTag<float, 8> d;
#endif
    const size_t P = hn::Lanes(d) / 4;  // output pixels a vector
    for (size_t r = 0; r < rows; ++r, in += stride, out += 4 * w) {
        size_t k = 0;
        for (; k + P <= w; k += P) FixedTapsPixels<M>(d, in, idx, wt, w, k, out);
        for (; k < w; ++k) FixedTapsPixels<M>(D4(), in, idx, wt, w, k, out);
    }
}

void ResampleRowsFixed(const float* HWY_RESTRICT in, ptrdiff_t stride, size_t rows, const int32_t* HWY_RESTRICT idx,
                       const float* HWY_RESTRICT wt, int m, size_t w, float* HWY_RESTRICT out) {
    if (m == 2)
        FixedTapsRows<2>(in, stride, rows, idx, wt, w, out);
    else
        FixedTapsRows<4>(in, stride, rows, idx, wt, w, out);
}

void ResampleRowsAny(const float* HWY_RESTRICT in, ptrdiff_t stride, size_t rows, int origin,
                     const int* HWY_RESTRICT first, const int* HWY_RESTRICT count, const int* HWY_RESTRICT off,
                     const float* HWY_RESTRICT wts, size_t w, float* HWY_RESTRICT out) {
    const D4 d;
    for (size_t r = 0; r < rows; ++r, in += stride, out += 4 * w) {
        for (size_t k = 0; k < w; ++k) {
            auto acc = hn::Zero(d);
            const float* wk = wts + off[k];
            const float* p = in + ptrdiff_t(first[k] - origin) * 4;
            for (int j = 0; j < count[k]; ++j) acc = hn::MulAdd(hn::Set(d, wk[j]), hn::LoadU(d, p + 4 * j), acc);
            hn::StoreU(acc, d, out + 4 * k);
        }
    }
}

// Each output value's taps run in one chain of multiply-adds, in registers.
HWY_INLINE void BlendRow(const float* HWY_RESTRICT in, size_t n, const float* HWY_RESTRICT w, int count,
                         float* HWY_RESTRICT out) {
    const hn::ScalableTag<float> d;
    if (count == 0) {
        ForEachBlock(d, n, [&](auto d, size_t i) { hn::StoreU(hn::Zero(d), d, out + i); });
    } else if (count == 2) {
        const float* in1 = in + n;
        ForEachBlock(d, n, [&](auto d, size_t i) {
            const auto acc = hn::Mul(hn::Set(d, w[0]), hn::LoadU(d, in + i));
            hn::StoreU(hn::MulAdd(hn::Set(d, w[1]), hn::LoadU(d, in1 + i), acc), d, out + i);
        });
    } else {
        ForEachBlock(d, n, [&](auto d, size_t i) {
            auto acc = hn::Mul(hn::Set(d, w[0]), hn::LoadU(d, in + i));
            for (int j = 1; j < count; ++j)
                acc = hn::MulAdd(hn::Set(d, w[j]), hn::LoadU(d, in + size_t(j) * n + i), acc);
            hn::StoreU(acc, d, out + i);
        });
    }
}

void BlendRows(const float* HWY_RESTRICT in, size_t n, int origin, const int* HWY_RESTRICT first,
               const int* HWY_RESTRICT count, const int* HWY_RESTRICT off, const float* HWY_RESTRICT wts, size_t rows,
               float* HWY_RESTRICT out, ptrdiff_t outStride) {
    for (size_t k = 0; k < rows; ++k, out += outStride) {
        // Rows without taps point at row `origin`, which they do not read.
        const size_t at = count[k] > 0 ? size_t(first[k] - origin) * n : 0;
        BlendRow(in + at, n, wts + off[k], count[k], out);
    }
}

}  // namespace vellari::detail::resampling::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::detail::resampling {
namespace {
VELLARI_SIMD_PROBE("resampling")
}  // namespace

HWY_EXPORT(ResampleRowsFixed);
HWY_EXPORT(ResampleRowsAny);
HWY_EXPORT(BlendRows);
}  // namespace vellari::detail::resampling

namespace vellari::detail {

void resampleRowsFixed(const float* in, ptrdiff_t stride, size_t rows, const int32_t* idx, const float* wt, int m,
                       size_t w, float* out) {
    using namespace resampling;
    VELLARI_DISPATCH(ResampleRowsFixed)(in, stride, rows, idx, wt, m, w, out);
}
void resampleRowsAny(const float* in, ptrdiff_t stride, size_t rows, int origin, const int* first, const int* count,
                     const int* off, const float* wts, size_t w, float* out) {
    using namespace resampling;
    VELLARI_DISPATCH(ResampleRowsAny)(in, stride, rows, origin, first, count, off, wts, w, out);
}
void blendRows(const float* in, size_t n, int origin, const int* first, const int* count, const int* off,
               const float* wts, size_t rows, float* out, ptrdiff_t outStride) {
    using namespace resampling;
    VELLARI_DISPATCH(BlendRows)(in, n, origin, first, count, off, wts, rows, out, outStride);
}

}  // namespace vellari::detail
#endif  // HWY_ONCE
