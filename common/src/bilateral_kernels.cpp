// Bilateral line kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "common/src/bilateral_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cstring>

#include "bilateral_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::bilateral::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

// e^−z for z ≥ 0, relative error about 2e-7; e^−80 and below read as e^−80 (negligible
// beside the centre's weight of 1). n stays within [−116, 0], so 2^n is built from its
// exponent bits directly.
template <class D, class V>
HWY_INLINE V ExpNeg(D d, V z) {
    const hn::RebindToSigned<D> di;
    const V x = hn::Neg(hn::Min(z, hn::Set(d, 80.0f)));
    const V n = hn::Round(hn::Mul(x, hn::Set(d, 1.44269504f)));
    V r = hn::NegMulAdd(n, hn::Set(d, 0.693145752f), x);
    r = hn::NegMulAdd(n, hn::Set(d, 1.42860677e-6f), r);
    V q = hn::MulAdd(r, hn::Set(d, 0.00833333377f), hn::Set(d, 0.0416666679f));
    q = hn::MulAdd(q, r, hn::Set(d, 0.166666672f));
    q = hn::MulAdd(q, r, hn::Set(d, 0.5f));
    q = hn::MulAdd(q, r, hn::Set(d, 1.0f));
    q = hn::MulAdd(q, r, hn::Set(d, 1.0f));
    const auto scale = hn::ShiftLeft<23>(hn::Add(hn::ConvertTo(di, n), hn::Set(di, 127)));
    return hn::Mul(q, hn::BitCast(d, scale));
}

// Adds the tap at offset o from the planes to the sums (ar, ag, ab, aa, aw), which stay in
// registers over all the taps of a block. With the occlusion walk, (pr, pg, pb) is the
// tap before it and alive the lanes still walking.
template <bool kLaneValid, bool kOcclusion, bool kGrey, class D, class V, class M>
HWY_INLINE void AddTap(D d, const Line& L, ptrdiff_t o, float spatial, V cr, V cg, V cb, V& ar, V& ag, V& ab, V& aa,
                       V& aw, M& alive, V& pr, V& pg, V& pb) {
    const V tr = hn::LoadU(d, L.planes[0] + o), ta = hn::LoadU(d, L.planes[3] + o);
    const V tg = kGrey ? tr : hn::LoadU(d, L.planes[1] + o), tb = kGrey ? tr : hn::LoadU(d, L.planes[2] + o);
    const V dr = hn::Sub(tr, cr);
    const V dg = kGrey ? dr : hn::Sub(tg, cg), db = kGrey ? dr : hn::Sub(tb, cb);
    const V d2 = hn::MulAdd(db, db, hn::MulAdd(dg, dg, hn::Mul(dr, dr)));
    V w = hn::Mul(hn::Set(d, spatial), ExpNeg(d, hn::Mul(d2, hn::Set(d, L.rangeScale))));
    if constexpr (kLaneValid) w = hn::Mul(w, hn::LoadU(d, L.valid + o));
    if constexpr (kOcclusion) {
        const V er = hn::Sub(tr, pr);
        const V eg = kGrey ? er : hn::Sub(tg, pg), eb = kGrey ? er : hn::Sub(tb, pb);
        const V e2 = hn::MulAdd(eb, eb, hn::MulAdd(eg, eg, hn::Mul(er, er)));
        const V stop = hn::Set(d, L.stopD2);
        alive = hn::And(alive, hn::And(hn::Le(d2, stop), hn::Le(e2, stop)));
        w = hn::IfThenElseZero(alive, w);
        pr = tr;
        pg = tg;
        pb = tb;
    }
    ar = hn::MulAdd(w, tr, ar);
    if constexpr (!kGrey) {
        ag = hn::MulAdd(w, tg, ag);
        ab = hn::MulAdd(w, tb, ab);
    }
    aa = hn::MulAdd(w, ta, aa);
    aw = hn::Add(aw, w);
}

// Blocks of whole vectors; the last one may reach past n, reading the planes' slack, and
// writes only its first lanes. The occlusion walk of a block ends once every one of its
// lanes has stopped.
template <bool kLaneValid, bool kOcclusion, bool kGrey>
void FilterLineT(const Line& L, float* HWY_RESTRICT dst) {
    using D = hn::ScalableTag<float>;
    const D d;
    using V = hn::Vec<D>;
    const size_t N = hn::Lanes(d);
    const int h = L.half;
    const float* sw = L.spatial;
    const bool blurAlpha = L.blurAlpha || kOcclusion;
    for (size_t i = 0; i < L.n; i += N) {
        const V cr = hn::LoadU(d, L.planes[0] + i), ca = hn::LoadU(d, L.planes[3] + i);
        const V cg = kGrey ? cr : hn::LoadU(d, L.planes[1] + i), cb = kGrey ? cr : hn::LoadU(d, L.planes[2] + i);
        V ar = cr, ag = cg, ab = cb, aa = ca, aw = hn::Set(d, 1.0f);
        if constexpr (kOcclusion) {
            for (int dir = -1; dir <= 1; dir += 2) {
                auto alive = hn::FirstN(d, N);
                V pr = cr, pg = cg, pb = cb;
                for (int j = 1; j <= h; ++j) {
                    const int k = dir * j;
                    if (sw[k + h] == 0) break;  // outside the extent from here on
                    AddTap<kLaneValid, true, kGrey>(d, L, ptrdiff_t(i) + k * L.step, sw[k + h], cr, cg, cb, ar, ag, ab,
                                                    aa, aw, alive, pr, pg, pb);
                    if (hn::AllFalse(d, alive)) break;
                }
            }
        } else {
            auto alive = hn::FirstN(d, N);
            V pr = cr, pg = cg, pb = cb;
            for (int k = -h; k <= h; ++k)
                if (k != 0 && sw[k + h] != 0)
                    AddTap<kLaneValid, false, kGrey>(d, L, ptrdiff_t(i) + k * L.step, sw[k + h], cr, cg, cb, ar, ag,
                                                     ab, aa, aw, alive, pr, pg, pb);
        }
        const V inv = hn::Div(hn::Set(d, 1.0f), aw);
        const V r = hn::Mul(ar, inv);
        const V g = kGrey ? r : hn::Mul(ag, inv), b = kGrey ? r : hn::Mul(ab, inv);
        const Planes<D> out{r, g, b, blurAlpha ? hn::Mul(aa, inv) : ca};
        if (i + N <= L.n) {
            StorePlanes(d, out, dst + 4 * i);
        } else {
            HWY_ALIGN float last[4 * HWY_MAX_BYTES / sizeof(float)];
            StorePlanes(d, out, last);
            std::memcpy(dst + 4 * i, last, (L.n - i) * 4 * sizeof(float));
        }
    }
}

template <bool kLaneValid>
void FilterLineOf(const Line& L, float* dst) {
    if (L.occlusion) {
        if (L.grey)
            FilterLineT<kLaneValid, true, true>(L, dst);
        else
            FilterLineT<kLaneValid, true, false>(L, dst);
    } else {
        if (L.grey)
            FilterLineT<kLaneValid, false, true>(L, dst);
        else
            FilterLineT<kLaneValid, false, false>(L, dst);
    }
}

void FilterLine(const Line& L, float* dst) {
    HWY_DASSERT(hn::Lanes(hn::ScalableTag<float>()) <= kLineSlack + 1);
    if (L.valid)
        FilterLineOf<true>(L, dst);
    else
        FilterLineOf<false>(L, dst);
}

bool SplitPlanes(const float* HWY_RESTRICT src, size_t n, float* HWY_RESTRICT r, float* HWY_RESTRICT g,
                 float* HWY_RESTRICT b, float* HWY_RESTRICT a) {
    bool differ = false;
    ForEachBlock(hn::ScalableTag<float>(), n, [&](auto d, size_t i) {
        const Planes<decltype(d)> q = LoadPlanes(d, src + 4 * i);
        differ |= !hn::AllFalse(d, hn::Or(hn::Ne(q.r, q.g), hn::Ne(q.r, q.b)));
        hn::StoreU(q.r, d, r + i);
        hn::StoreU(q.g, d, g + i);
        hn::StoreU(q.b, d, b + i);
        hn::StoreU(q.a, d, a + i);
    });
    return !differ;
}

}  // namespace vellari::bilateral::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::bilateral {
namespace {
VELLARI_SIMD_PROBE("bilateral")
}  // namespace

HWY_EXPORT(FilterLine);
HWY_EXPORT(SplitPlanes);

void filterLine(const Line& line, float* dst) { VELLARI_DISPATCH(FilterLine)(line, dst); }
bool splitPlanes(const float* src, size_t n, float* r, float* g, float* b, float* a) {
    return VELLARI_DISPATCH(SplitPlanes)(src, n, r, g, b, a);
}

}  // namespace vellari::bilateral
#endif  // HWY_ONCE
