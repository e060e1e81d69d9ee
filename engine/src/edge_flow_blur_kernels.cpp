// Flow-guided smoothing kernels, compiled once per instruction set.
//
// A pixel's sample is a bilinear one at a position of its own, which no vector of
// neighbouring pixels shares. The kernels therefore keep a pixel's four channels in lanes:
// the two neighbours of a sample's row are eight consecutive floats, read as one vector
// (a plain load from the image row, no gather), and wider vectors hold two such pairs.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/src/edge_flow_blur_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include "edge_flow_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::edgeflow::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

namespace {  // each unit's probe its own
VELLARI_SIMD_PROBE_KERNEL()
}  // namespace

void DecodeUnitRow(const float* HWY_RESTRICT rgba, size_t n, float* HWY_RESTRICT x, float* HWY_RESTRICT y) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, rgba + 4 * i);
        const auto one = hn::Set(d, 1.0f), two = hn::Set(d, 2.0f);
        const auto on = hn::IfThenElseZero(hn::Gt(q.a, hn::Set(d, 0.5f)), one);
        const auto vx = hn::Mul(on, hn::Sub(hn::Mul(two, q.r), one));
        const auto vy = hn::Mul(on, hn::Sub(hn::Mul(two, q.g), one));
        const auto l2 = hn::MulAdd(vx, vx, hn::Mul(vy, vy));
        const auto inv = hn::IfThenElseZero(hn::Gt(l2, hn::Set(d, 1e-6f)), hn::Div(one, hn::Sqrt(l2)));
        hn::StoreU(hn::Mul(vx, inv), d, x + i);
        hn::StoreU(hn::Mul(vy, inv), d, y + i);
    });
}

// Whole floats 0 <= x < 2^22 as integers, cheaper than a conversion checked for overflow:
// added to 2^23, x fills the low mantissa bits, read back with the exponent's bits kBias
// above them, which the caller takes off (once, for sums of several).
constexpr int32_t kBias = 0x4B000000;
template <class D, class V>
HWY_INLINE hn::Vec<hn::RebindToSigned<D>> BiasedInt(D d, V whole) {
    return hn::BitCast(hn::RebindToSigned<D>(), hn::Add(whole, hn::Set(d, 8388608.0f)));
}

// Plane index of the field pixel nearest to (gx + 2 tx, gy + 2 ty), clamped to the field.
template <class D, class V>
HWY_INLINE hn::Vec<hn::RebindToSigned<D>> TwoStepsOut(D d, const FlowPlacement& g, V gx, V tx, V ty) {
    const hn::RebindToSigned<D> di;
    const V zero = hn::Zero(d), half = hn::Set(d, 0.5f), two = hn::Set(d, 2.0f);
    const V px = hn::Min(hn::Max(hn::MulAdd(two, tx, gx), zero), hn::Set(d, g.fieldMaxX));
    const V py = hn::Min(hn::Max(hn::MulAdd(two, ty, hn::Set(d, g.fieldY)), zero), hn::Set(d, g.fieldMaxY));
    const auto ix = BiasedInt(d, hn::Trunc(hn::Add(px, half)));
    const auto iy = BiasedInt(d, hn::Trunc(hn::Add(py, half)));
    // wrapping arithmetic: the bias times (stride + 1) comes off exactly
    const int32_t unbias = int32_t(uint32_t(kBias) * uint32_t(g.fieldStride + 1) + uint32_t(g.shift));
    return hn::Sub(hn::Add(hn::Mul(iy, hn::Set(di, g.fieldStride)), ix), hn::Set(di, unbias));
}

// A sample at local image position (px, py), clamped to the image: the offset of its
// top-left neighbour and its fractions, stored for pixel i. Positions here are never
// negative, so truncation is the floor (and where it is emulated, the cheaper one).
template <bool kNearest, class D, class V>
HWY_INLINE void PlaceSample(D d, const FlowPlacement& g, V px, V py, int32_t* HWY_RESTRICT off,
                            float* HWY_RESTRICT fx, float* HWY_RESTRICT fy, size_t i) {
    const hn::RebindToSigned<D> di;
    const V zero = hn::Zero(d);
    px = hn::Min(hn::Max(px, zero), hn::Set(d, g.imageMaxX));
    py = hn::Min(hn::Max(py, zero), hn::Set(d, g.imageMaxY));
    if constexpr (kNearest) {
        const V half = hn::Set(d, 0.5f);
        px = hn::Trunc(hn::Add(px, half));
        py = hn::Trunc(hn::Add(py, half));
    }
    const V x = hn::Min(hn::Trunc(px), hn::Set(d, float(g.imageLastX)));
    const V y = hn::Min(hn::Trunc(py), hn::Set(d, float(g.imageLastY)));
    const int32_t unbias = int32_t(uint32_t(kBias) * uint32_t(g.imageStride + 4));
    const auto o = hn::Add(hn::Mul(BiasedInt(d, y), hn::Set(di, g.imageStride)), hn::ShiftLeft<2>(BiasedInt(d, x)));
    hn::StoreU(hn::Sub(o, hn::Set(di, unbias)), di, off + i);
    hn::StoreU(hn::Sub(px, x), d, fx + i);
    hn::StoreU(hn::Sub(py, y), d, fy + i);
}

// In three loops: the first and the last in vectors; the look-ups two steps out between
// them are plain loads, one lane at a time (gathers cost more than they save here).
template <bool kNearest>
void Place(const FlowPlacement& g, const FlowTaps& k, size_t n, const FlowRow& s) {
    const hn::ScalableTag<float> d;
    const float* HWY_RESTRICT FX = g.tangentX;
    const float* HWY_RESTRICT FY = g.tangentY;
    const float* HWY_RESTRICT tx = FX + g.centre;
    const float* HWY_RESTRICT ty = FY + g.centre;
    int32_t *HWY_RESTRICT ahead = s.ahead, *HWY_RESTRICT behind = s.behind;
    ForEachBlock(d, n, [&](auto d, size_t i) {
        const hn::RebindToSigned<decltype(d)> di;
        const auto x = hn::LoadU(d, tx + i), y = hn::LoadU(d, ty + i);
        const auto gx = hn::Add(hn::Set(d, g.fieldX0 + float(i)), hn::Iota(d, 0.0f));
        hn::StoreU(TwoStepsOut(d, g, gx, x, y), di, ahead + i);
        hn::StoreU(TwoStepsOut(d, g, gx, hn::Neg(x), hn::Neg(y)), di, behind + i);
    });
    float *HWY_RESTRICT sax = s.seen[0], *HWY_RESTRICT say = s.seen[1];
    float *HWY_RESTRICT sbx = s.seen[2], *HWY_RESTRICT sby = s.seen[3];
    for (size_t i = 0; i < n; ++i) {
        sax[i] = FX[ahead[i]];
        say[i] = FY[ahead[i]];
        sbx[i] = FX[behind[i]];
        sby[i] = FY[behind[i]];
#if defined(__GNUC__) && !defined(__clang__)
        asm("" ::: "memory");  // keep this loop scalar
#endif
    }
    ForEachBlock(d, n, [&](auto d, size_t i) {
        const auto x = hn::LoadU(d, tx + i), y = hn::LoadU(d, ty + i);  // zero: every sample on the pixel
        const auto lx = hn::Add(hn::Set(d, g.imageX0 + float(i)), hn::Iota(d, 0.0f)), ly = hn::Set(d, g.imageY);
        const auto zero = hn::Zero(d), one = hn::Set(d, 1.0f), minus = hn::Set(d, -1.0f), two = hn::Set(d, 2.0f);
        // the tangents two steps out, turned to the walking sense; straight on where the
        // field holds none
        auto ax = hn::LoadU(d, sax + i), ay = hn::LoadU(d, say + i);
        auto bx = hn::LoadU(d, sbx + i), by = hn::LoadU(d, sby + i);
        const auto sa = hn::IfThenElse(hn::Lt(hn::MulAdd(ax, x, hn::Mul(ay, y)), zero), minus, one);
        const auto sb = hn::IfThenElse(hn::Gt(hn::MulAdd(bx, x, hn::Mul(by, y)), zero), minus, one);
        const auto half = hn::Set(d, 0.5f);
        const auto ka = hn::Gt(hn::MulAdd(ax, ax, hn::Mul(ay, ay)), half);
        const auto kb = hn::Gt(hn::MulAdd(bx, bx, hn::Mul(by, by)), half);
        ax = hn::IfThenElse(ka, hn::Mul(sa, ax), x);
        ay = hn::IfThenElse(ka, hn::Mul(sa, ay), y);
        bx = hn::IfThenElse(kb, hn::Mul(sb, bx), hn::Neg(x));
        by = hn::IfThenElse(kb, hn::Mul(sb, by), hn::Neg(y));
        const auto nearAt = hn::Set(d, k.nearAt), farAt = hn::Set(d, k.farAt);
        PlaceSample<kNearest>(d, g, hn::MulAdd(nearAt, x, lx), hn::MulAdd(nearAt, y, ly), s.off[0], s.fx[0], s.fy[0],
                              i);
        PlaceSample<kNearest>(d, g, hn::MulAdd(farAt, ax, hn::MulAdd(two, x, lx)),
                              hn::MulAdd(farAt, ay, hn::MulAdd(two, y, ly)), s.off[1], s.fx[1], s.fy[1], i);
        PlaceSample<kNearest>(d, g, hn::NegMulAdd(nearAt, x, lx), hn::NegMulAdd(nearAt, y, ly), s.off[2], s.fx[2],
                              s.fy[2], i);
        PlaceSample<kNearest>(d, g, hn::MulAdd(farAt, bx, hn::NegMulAdd(two, x, lx)),
                              hn::MulAdd(farAt, by, hn::NegMulAdd(two, y, ly)), s.off[3], s.fx[3], s.fy[3], i);
    });
}

void PlaceFlowSamples(bool nearest, const FlowPlacement& g, const FlowTaps& k, size_t n, const FlowRow& s) {
    if (nearest)
        Place<true>(g, k, n, s);
    else
        Place<false>(g, k, n, s);
}

// The pointers of a row's placement, held where stores to the output cannot touch them.
struct Samples {
    const int32_t* HWY_RESTRICT off[4];
    const float* HWY_RESTRICT fx[4];
    const float* HWY_RESTRICT fy[4];
    explicit Samples(const FlowRow& s) {
        for (int j = 0; j < 4; ++j) {
            off[j] = s.off[j];
            fx[j] = s.fx[j];
            fy[j] = s.fy[j];
        }
    }
};

// One pixel in vectors of four lanes, one neighbour each. The wider forms below run each
// lane through the same operations: the rows' neighbours blended by fy, the two results
// by fx, the pairs weighted and summed in order, then the pixel added.
HWY_INLINE void SumPixel(const float* HWY_RESTRICT image, int stride, const float* HWY_RESTRICT centre, size_t i,
                         const FlowTaps& k, const Samples& s, float* HWY_RESTRICT out) {
    const hn::FixedTag<float, 4> d;
    const float weight[4] = {k.near, k.far, k.near, k.far};
    auto sum = hn::Zero(d);
    for (int j = 0; j < 4; ++j) {
        const float* p = image + s.off[j][i];
        const auto fy = hn::Set(d, s.fy[j][i]);
        const auto tl = hn::LoadU(d, p), tr = hn::LoadU(d, p + 4);
        const auto left = hn::MulAdd(hn::Sub(hn::LoadU(d, p + stride), tl), fy, tl);
        const auto right = hn::MulAdd(hn::Sub(hn::LoadU(d, p + stride + 4), tr), fy, tr);
        sum = hn::MulAdd(hn::MulAdd(hn::Sub(right, left), hn::Set(d, s.fx[j][i]), left), hn::Set(d, weight[j]),
                         sum);
    }
    hn::StoreU(hn::MulAdd(hn::LoadU(d, centre + 4 * i), hn::Set(d, k.centre), sum), d, out + 4 * i);
}

// Two pixels in vectors of sixteen lanes: each half holds one pixel's neighbour pair of a
// row (two loads), the right neighbours are moved under the left ones after the rows are
// blended. Returns the pixels done.
template <class D>
HWY_INLINE size_t SumPairsOf16(D d, const float* HWY_RESTRICT image, int stride, const float* HWY_RESTRICT centre,
                               size_t n, const FlowTaps& k, const Samples& s, float* HWY_RESTRICT out) {
    size_t i = 0;
    if constexpr (hn::MaxLanes(D()) >= 16) {
        if (hn::Lanes(d) != 16) return 0;
        const hn::Half<D> dh;
        const hn::RebindToSigned<D> di;
        alignas(64) static constexpr int32_t kSpread[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
        alignas(64) static constexpr int32_t kPick[16] = {0, 1, 2, 3, 8, 9, 10, 11, 0, 1, 2, 3, 8, 9, 10, 11};
        const auto spread = hn::IndicesFromVec(d, hn::Load(di, kSpread));
        const auto pick = hn::IndicesFromVec(d, hn::Load(di, kPick));
        const hn::Vec<D> weight[4] = {hn::Set(d, k.near), hn::Set(d, k.far), hn::Set(d, k.near), hn::Set(d, k.far)};
        const auto cw = hn::Set(dh, k.centre);
        const float* below = image + stride;
        for (; i + 2 <= n; i += 2) {
            auto acc = hn::Zero(d);
            for (int j = 0; j < 4; ++j) {
                const int32_t oa = s.off[j][i], ob = s.off[j][i + 1];
                const auto top = hn::Combine(d, hn::LoadU(dh, image + ob), hn::LoadU(dh, image + oa));
                const auto bottom = hn::Combine(d, hn::LoadU(dh, below + ob), hn::LoadU(dh, below + oa));
                const auto fy = hn::TableLookupLanes(hn::LoadDup128(d, s.fy[j] + i), spread);
                const auto m = hn::MulAdd(hn::Sub(bottom, top), fy, top);
                const auto right = hn::SwapAdjacentBlocks(m);
                const auto fx = hn::TableLookupLanes(hn::LoadDup128(d, s.fx[j] + i), spread);
                acc = hn::MulAdd(hn::MulAdd(hn::Sub(right, m), fx, m), weight[j], acc);
            }
            const auto sum = hn::LowerHalf(dh, hn::TableLookupLanes(acc, pick));  // quarters 0 and 2
            hn::StoreU(hn::MulAdd(hn::LoadU(dh, centre + 4 * i), cw, sum), dh, out + 4 * i);
        }
    }
    return i;
}

// Two pixels in vectors of eight lanes, one neighbour of each pixel per vector: the
// neighbour pairs are loaded whole and their halves regrouped, so that no lane idles.
template <class D>
HWY_INLINE size_t SumPairsOf8(D d, const float* HWY_RESTRICT image, int stride, const float* HWY_RESTRICT centre,
                              size_t n, const FlowTaps& k, const Samples& s, float* HWY_RESTRICT out) {
    size_t i = 0;
    if constexpr (hn::MaxLanes(D()) >= 8) {
        if (hn::Lanes(d) != 8) return 0;
        const hn::RebindToSigned<D> di;
        alignas(32) static constexpr int32_t kSpread[8] = {0, 0, 0, 0, 1, 1, 1, 1};
        const auto spread = hn::IndicesFromVec(d, hn::Load(di, kSpread));
        const hn::Vec<D> weight[4] = {hn::Set(d, k.near), hn::Set(d, k.far), hn::Set(d, k.near), hn::Set(d, k.far)};
        const auto cw = hn::Set(d, k.centre);
        const float* below = image + stride;
        for (; i + 2 <= n; i += 2) {
            auto acc = hn::Zero(d);
            for (int j = 0; j < 4; ++j) {
                const int32_t oa = s.off[j][i], ob = s.off[j][i + 1];
                const auto ta = hn::LoadU(d, image + oa), tb = hn::LoadU(d, image + ob);
                const auto ba = hn::LoadU(d, below + oa), bb = hn::LoadU(d, below + ob);
                const auto fy = hn::TableLookupLanes(hn::LoadDup128(d, s.fy[j] + i), spread);
                const auto tl = hn::ConcatLowerLower(d, tb, ta), tr = hn::ConcatUpperUpper(d, tb, ta);
                const auto bl = hn::ConcatLowerLower(d, bb, ba), br = hn::ConcatUpperUpper(d, bb, ba);
                const auto left = hn::MulAdd(hn::Sub(bl, tl), fy, tl);
                const auto right = hn::MulAdd(hn::Sub(br, tr), fy, tr);
                const auto fx = hn::TableLookupLanes(hn::LoadDup128(d, s.fx[j] + i), spread);
                acc = hn::MulAdd(hn::MulAdd(hn::Sub(right, left), fx, left), weight[j], acc);
            }
            hn::StoreU(hn::MulAdd(hn::LoadU(d, centre + 4 * i), cw, acc), d, out + 4 * i);
        }
    }
    return i;
}

void SumFlowSamples(const float* HWY_RESTRICT image, int stride, const float* HWY_RESTRICT centre, size_t n,
                    const FlowTaps& k, const FlowRow& row, float* HWY_RESTRICT out) {
    const Samples s(row);
    const hn::CappedTag<float, 16> d16;
    size_t i = hn::Lanes(d16) == 16 ? SumPairsOf16(d16, image, stride, centre, n, k, s, out)
                                    : SumPairsOf8(hn::CappedTag<float, 8>(), image, stride, centre, n, k, s, out);
    for (; i < n; ++i) SumPixel(image, stride, centre, i, k, s, out);
}

}  // namespace vellari::edgeflow::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::edgeflow {
namespace {
VELLARI_SIMD_PROBE("flow blur")
}  // namespace

HWY_EXPORT(DecodeUnitRow);
HWY_EXPORT(PlaceFlowSamples);
HWY_EXPORT(SumFlowSamples);

void decodeUnitRow(const float* rgba, size_t n, float* x, float* y) { VELLARI_DISPATCH(DecodeUnitRow)(rgba, n, x, y); }
void placeFlowSamples(bool nearest, const FlowPlacement& g, const FlowTaps& k, size_t n, const FlowRow& s) {
    VELLARI_DISPATCH(PlaceFlowSamples)(nearest, g, k, n, s);
}
void sumFlowSamples(const float* image, int stride, const float* centre, size_t n, const FlowTaps& k,
                    const FlowRow& s, float* out) {
    VELLARI_DISPATCH(SumFlowSamples)(image, stride, centre, n, k, s, out);
}

}  // namespace vellari::edgeflow
#endif  // HWY_ONCE
