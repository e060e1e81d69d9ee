// Edge tangent flow field kernels (initial field, coherence passes), compiled once per
// instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/src/edge_flow_field_kernels.cpp"
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

size_t BlockLanes() { return hn::Lanes(hn::ScalableTag<float>()); }

void RedSpan(const float* HWY_RESTRICT rgba, size_t n, float* HWY_RESTRICT v) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        hn::StoreU(LoadPlanes(d, rgba + 4 * i).r, d, v + i);
    });
}

// A 0/1 factor rather than a select: pixels decoded one at a time (at the edges of what
// the input holds) are computed so, and both must agree to the bit.
void DecodeFieldSpan(const float* HWY_RESTRICT rgba, size_t n, float* HWY_RESTRICT tx, float* HWY_RESTRICT ty,
                     float* HWY_RESTRICT g) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, rgba + 4 * i);
        const auto one = hn::Set(d, 1.0f), two = hn::Set(d, 2.0f);
        const auto on = hn::IfThenElseZero(hn::Gt(q.a, hn::Set(d, 0.5f)), one);
        hn::StoreU(hn::Mul(on, hn::Sub(hn::Mul(two, q.r), one)), d, tx + i);
        hn::StoreU(hn::Mul(on, hn::Sub(hn::Mul(two, q.g), one)), d, ty + i);
        hn::StoreU(hn::Mul(on, hn::Min(hn::Max(q.b, hn::Zero(d)), one)), d, g + i);
    });
}

// A full black-to-white step gives a Sobel magnitude of 4 (weights 1, 2, 1 on each side);
// the caller folds the division by that into scale.
void SobelRow(const float* HWY_RESTRICT a, const float* HWY_RESTRICT b, const float* HWY_RESTRICT c, size_t n,
              float scale, float* HWY_RESTRICT tx, float* HWY_RESTRICT ty, float* HWY_RESTRICT tg) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto two = hn::Set(d, 2.0f);
        const auto a0 = hn::LoadU(d, a + i - 1), a1 = hn::LoadU(d, a + i), a2 = hn::LoadU(d, a + i + 1);
        const auto b0 = hn::LoadU(d, b + i - 1), b2 = hn::LoadU(d, b + i + 1);
        const auto c0 = hn::LoadU(d, c + i - 1), c1 = hn::LoadU(d, c + i), c2 = hn::LoadU(d, c + i + 1);
        const auto gx = hn::Sub(hn::Add(hn::MulAdd(two, b2, a2), c2), hn::Add(hn::MulAdd(two, b0, a0), c0));
        const auto gy = hn::Sub(hn::Add(hn::MulAdd(two, c1, c0), c2), hn::Add(hn::MulAdd(two, a1, a0), a2));
        const auto m = hn::Sqrt(hn::MulAdd(gx, gx, hn::Mul(gy, gy)));
        const auto inv = hn::IfThenElseZero(hn::Gt(m, hn::Set(d, 1e-5f)), hn::Div(hn::Set(d, 1.0f), m));
        hn::StoreU(hn::Neg(hn::Mul(gy, inv)), d, tx + i);
        hn::StoreU(hn::Mul(gx, inv), d, ty + i);
        hn::StoreU(hn::Min(hn::Set(d, 1.0f), hn::Mul(m, hn::Set(d, scale))), d, tg + i);
    });
}

// Whole vectors stored: the output is often a picture far from the caches, where single
// floats cost the most.
void EncodeRow(const float* HWY_RESTRICT tx, const float* HWY_RESTRICT ty, const float* HWY_RESTRICT g, size_t n,
               float* HWY_RESTRICT out) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto half = hn::Set(d, 0.5f);
        const Planes<decltype(d)> q{hn::MulAdd(half, hn::LoadU(d, tx + i), half),
                                    hn::MulAdd(half, hn::LoadU(d, ty + i), half), hn::LoadU(d, g + i),
                                    hn::Set(d, 1.0f)};
        StorePlanes(d, q, out + 4 * i);
    });
}

// (e^{−g/4})^8, the inner power by its Taylor polynomial (relative error about 1e-7).
void ExpMinusTwicePlane(const float* HWY_RESTRICT g, size_t n, float* HWY_RESTRICT f) {
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const auto x = hn::Mul(hn::Set(d, 0.25f), hn::LoadU(d, g + i));
        const auto one = hn::Set(d, 1.0f);
        auto p = hn::NegMulAdd(x, hn::Set(d, 1.0f / 720), hn::Set(d, 1.0f / 120));
        p = hn::NegMulAdd(x, p, hn::Set(d, 1.0f / 24));
        p = hn::NegMulAdd(x, p, hn::Set(d, 1.0f / 6));
        p = hn::NegMulAdd(x, p, hn::Set(d, 0.5f));
        p = hn::NegMulAdd(x, p, one);
        p = hn::NegMulAdd(x, p, one);
        p = hn::Mul(p, p);
        p = hn::Mul(p, p);
        hn::StoreU(hn::Mul(p, p), d, f + i);
    });
}

// The disc around two blocks of pixels at once: a block's sums are chains of dependent
// multiply-adds, and a second, independent chain fills their latency. Each neighbour
// tangent is weighted by its agreement with the pixel's (the dot product is sign(t·t')
// |t·t'|) and by the magnitude step, 0.5 + 0.5 tanh(g' − g): the logistic
// 1 / (1 + e^{2g} e^{−2g'}) = f / (f + f') with f = e^{−2g} from the plane, so that a tap
// costs an addition and one division instead of a rational tanh.
void CoherenceRow(const float* HWY_RESTRICT cx, const float* HWY_RESTRICT cy, const float* HWY_RESTRICT cf,
                  const ptrdiff_t* HWY_RESTRICT offs, int taps, size_t n, float* HWY_RESTRICT sx,
                  float* HWY_RESTRICT sy, float* HWY_RESTRICT ox, float* HWY_RESTRICT oy) {
    const hn::ScalableTag<float> d;
    const size_t N = hn::Lanes(d);
    for (size_t i = 0; i < n; i += 2 * N) {
        const size_t j = i + N;
        // the pixel's tangent times f = e^{−2g}: then a weight is (f t·t') / (f + f')
        const auto f = hn::LoadU(d, cf + i), f2 = hn::LoadU(d, cf + j);
        const auto x = hn::Mul(f, hn::LoadU(d, cx + i)), y = hn::Mul(f, hn::LoadU(d, cy + i));
        const auto x2 = hn::Mul(f2, hn::LoadU(d, cx + j)), y2 = hn::Mul(f2, hn::LoadU(d, cy + j));
        auto ax = hn::Zero(d), ay = hn::Zero(d), bx = hn::Zero(d), by = hn::Zero(d);
        for (int t = 0; t < taps; ++t) {
            const float* px = cx + offs[t];
            const float* py = cy + offs[t];
            const float* pf = cf + offs[t];
            const auto nx = hn::LoadU(d, px + i), ny = hn::LoadU(d, py + i);
            const auto nx2 = hn::LoadU(d, px + j), ny2 = hn::LoadU(d, py + j);
            const auto k = hn::Div(hn::MulAdd(x, nx, hn::Mul(y, ny)), hn::Add(f, hn::LoadU(d, pf + i)));
            const auto k2 = hn::Div(hn::MulAdd(x2, nx2, hn::Mul(y2, ny2)), hn::Add(f2, hn::LoadU(d, pf + j)));
            ax = hn::MulAdd(k, nx, ax);
            ay = hn::MulAdd(k, ny, ay);
            bx = hn::MulAdd(k2, nx2, bx);
            by = hn::MulAdd(k2, ny2, by);
        }
        hn::StoreU(ax, d, sx + i);
        hn::StoreU(ay, d, sy + i);
        hn::StoreU(bx, d, sx + j);
        hn::StoreU(by, d, sy + j);
    }
    // The sums normalised; where one vanishes the pixel keeps its own tangent.
    ForEachBlock(d, n, [&](auto d, size_t i) {
        const auto vx = hn::LoadU(d, sx + i), vy = hn::LoadU(d, sy + i);
        const auto l2 = hn::MulAdd(vx, vx, hn::Mul(vy, vy));
        const auto keep = hn::Lt(l2, hn::Set(d, 1e-12f));
        const auto inv = hn::IfThenZeroElse(keep, hn::Div(hn::Set(d, 1.0f), hn::Sqrt(l2)));
        hn::StoreU(hn::IfThenElse(keep, hn::LoadU(d, cx + i), hn::Mul(vx, inv)), d, ox + i);
        hn::StoreU(hn::IfThenElse(keep, hn::LoadU(d, cy + i), hn::Mul(vy, inv)), d, oy + i);
    });
}

}  // namespace vellari::edgeflow::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::edgeflow {
namespace {
VELLARI_SIMD_PROBE("edge flow field")
}  // namespace

HWY_EXPORT(BlockLanes);
HWY_EXPORT(RedSpan);
HWY_EXPORT(DecodeFieldSpan);
HWY_EXPORT(SobelRow);
HWY_EXPORT(EncodeRow);
HWY_EXPORT(ExpMinusTwicePlane);
HWY_EXPORT(CoherenceRow);

size_t blockLanes() { return VELLARI_DISPATCH(BlockLanes)(); }
void redSpan(const float* rgba, size_t n, float* v) { VELLARI_DISPATCH(RedSpan)(rgba, n, v); }
void decodeFieldSpan(const float* rgba, size_t n, float* tx, float* ty, float* g) {
    VELLARI_DISPATCH(DecodeFieldSpan)(rgba, n, tx, ty, g);
}
void sobelRow(const float* a, const float* b, const float* c, size_t n, float scale, float* tx, float* ty,
              float* tg) {
    VELLARI_DISPATCH(SobelRow)(a, b, c, n, scale, tx, ty, tg);
}
void encodeRow(const float* tx, const float* ty, const float* g, size_t n, float* out) {
    VELLARI_DISPATCH(EncodeRow)(tx, ty, g, n, out);
}
void expMinusTwicePlane(const float* g, size_t n, float* f) { VELLARI_DISPATCH(ExpMinusTwicePlane)(g, n, f); }
void coherenceRow(const float* cx, const float* cy, const float* cf, const ptrdiff_t* offs, int taps, size_t n,
                  float* sx, float* sy, float* ox, float* oy) {
    VELLARI_DISPATCH(CoherenceRow)(cx, cy, cf, offs, taps, n, sx, sy, ox, oy);
}

}  // namespace vellari::edgeflow
#endif  // HWY_ONCE
