// Smoothing filter kernels, compiled once per instruction set.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "engine/src/smoothing_kernels.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

#include <cmath>
#include <cstring>

#include "smoothing_kernels.h"
#include "vellari/platform/pixel_vectors-inl.h"
#include "vellari/platform/simd.h"

HWY_BEFORE_NAMESPACE();
namespace vellari::smoothing::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;
using namespace vellari::simd::HWY_NAMESPACE;

VELLARI_SIMD_PROBE_KERNEL()

void SplitPixels(const float* HWY_RESTRICT p, size_t n, float* const* c, float* HWY_RESTRICT luma) {
    const hn::ScalableTag<float> df;
    auto lumaOf = [](auto d, const Planes<decltype(d)>& q) {
        return hn::MulAdd(hn::Set(d, kLumaB), q.b, hn::MulAdd(hn::Set(d, kLumaG), q.g, hn::Mul(hn::Set(d, kLumaR), q.r)));
    };
    if (c && luma) {
        float* HWY_RESTRICT r = c[0];
        float* HWY_RESTRICT g = c[1];
        float* HWY_RESTRICT b = c[2];
        float* HWY_RESTRICT a = c[3];
        ForEachBlock(df, n, [&](auto d, size_t i) {
            const Planes<decltype(d)> q = LoadPlanes(d, p + 4 * i);
            hn::StoreU(q.r, d, r + i);
            hn::StoreU(q.g, d, g + i);
            hn::StoreU(q.b, d, b + i);
            hn::StoreU(q.a, d, a + i);
            hn::StoreU(lumaOf(d, q), d, luma + i);
        });
    } else if (c) {
        float* HWY_RESTRICT r = c[0];
        float* HWY_RESTRICT g = c[1];
        float* HWY_RESTRICT b = c[2];
        float* HWY_RESTRICT a = c[3];
        ForEachBlock(df, n, [&](auto d, size_t i) {
            const Planes<decltype(d)> q = LoadPlanes(d, p + 4 * i);
            hn::StoreU(q.r, d, r + i);
            hn::StoreU(q.g, d, g + i);
            hn::StoreU(q.b, d, b + i);
            hn::StoreU(q.a, d, a + i);
        });
    } else if (luma) {
        ForEachBlock(df, n, [&](auto d, size_t i) { hn::StoreU(lumaOf(d, LoadPlanes(d, p + 4 * i)), d, luma + i); });
    }
}

// ---------------------------------------------------------------------------------------
// FXAA. Every lane is one pixel of a row, resolved the same way as a single pixel would
// be, branch-free. Its search along the edge samples the luma at a fixed distance for each
// step (the distances are the same for all lanes), half a pixel towards the neighbour
// across the edge; so a step's samples, for each of the two orientations, are read from
// whole rows of the plane, never gathered pixel by pixel.

// The luma `t` pixels along x, half-way towards the row above (`before`) or below; a
// bilinear read of the plane there.
template <class D, class M>
HWY_INLINE hn::Vec<D> LumaAlongX(D d, const float* c, ptrdiff_t pw, float t, M before) {
    const float fu = std::floor(t), tx = t - fu;
    const float* p = c + ptrdiff_t(fu);
    auto row = [&](ptrdiff_t dy) {
        const auto p0 = hn::LoadU(d, p + dy * pw);
        if (tx == 0) return p0;
        return hn::MulAdd(hn::Sub(hn::LoadU(d, p + dy * pw + 1), p0), hn::Set(d, tx), p0);
    };
    const auto above = row(-1), mid = row(0), below = row(1);
    const auto top = hn::IfThenElse(before, above, mid), bottom = hn::IfThenElse(before, mid, below);
    return hn::MulAdd(hn::Sub(bottom, top), hn::Set(d, 0.5f), top);
}

// The same along y, half-way towards the column on the left (`before`) or right.
template <class D, class M>
HWY_INLINE hn::Vec<D> LumaAlongY(D d, const float* c, ptrdiff_t pw, float t, M before) {
    const float fv = std::floor(t), ty = t - fv;
    const float* p = c + ptrdiff_t(fv) * pw;
    auto row = [&](ptrdiff_t dy) {
        const float* q = p + dy * pw;
        const auto mid = hn::LoadU(d, q);
        const auto left = hn::IfThenElse(before, hn::LoadU(d, q - 1), mid);
        const auto right = hn::IfThenElse(before, mid, hn::LoadU(d, q + 1));
        return hn::MulAdd(hn::Sub(right, left), hn::Set(d, 0.5f), left);
    };
    const auto top = row(0);
    if (ty == 0) return top;
    return hn::MulAdd(hn::Sub(row(1), top), hn::Set(d, ty), top);
}

// The luma `t` pixels along the edge of each `live` lane: LumaAlongX where horzSpan,
// else LumaAlongY. Only the orientations that some live lane has are read.
template <class D, class M>
HWY_INLINE hn::Vec<D> LumaAlong(D d, const float* c, ptrdiff_t pw, float t, M live, M horzSpan, M before) {
    const bool alongX = !hn::AllFalse(d, hn::And(live, horzSpan));
    const bool alongY = !hn::AllFalse(d, hn::AndNot(horzSpan, live));
    if (alongX && alongY)
        return hn::IfThenElse(horzSpan, LumaAlongX(d, c, pw, t, before), LumaAlongY(d, c, pw, t, before));
    return alongX ? LumaAlongX(d, c, pw, t, before) : LumaAlongY(d, c, pw, t, before);
}

// The lanes of `edge` at luma c (one pixel each): how far each is resampled towards its
// neighbour across the edge (`offset`), and that neighbour's direction as nx + 3 ny.
template <class D>
HWY_INLINE void FxaaPixels(D d, const FxaaParams& k, const float* c, ptrdiff_t pw, hn::Mask<D> edge,
                           hn::Vec<D>& offset, hn::Vec<D>& across) {
    using V = hn::Vec<D>;
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f), two = hn::Set(d, 2.0f), minusTwo = hn::Set(d, -2.0f);
    const V lumaM = hn::LoadU(d, c);
    V lumaN = hn::LoadU(d, c - pw), lumaS = hn::LoadU(d, c + pw);
    const V lumaW = hn::LoadU(d, c - 1), lumaE = hn::LoadU(d, c + 1);
    const V rangeMax = hn::Max(hn::Max(hn::Max(lumaN, lumaS), hn::Max(lumaW, lumaE)), lumaM);
    const V rangeMin = hn::Min(hn::Min(hn::Min(lumaN, lumaS), hn::Min(lumaW, lumaE)), lumaM);
    const V range = hn::Sub(rangeMax, rangeMin);

    const V lumaNW = hn::LoadU(d, c - pw - 1), lumaSE = hn::LoadU(d, c + pw + 1);
    const V lumaNE = hn::LoadU(d, c - pw + 1), lumaSW = hn::LoadU(d, c + pw - 1);
    const V lumaNS = hn::Add(lumaN, lumaS), lumaWE = hn::Add(lumaW, lumaE);
    const V subpixRcpRange = hn::Div(one, range);  // lanes off the edge may divide by 0: unused
    const V subpixNSWE = hn::Add(lumaNS, lumaWE);
    const V edgeHorz1 = hn::MulAdd(minusTwo, lumaM, lumaNS);
    const V edgeVert1 = hn::MulAdd(minusTwo, lumaM, lumaWE);
    const V lumaNESE = hn::Add(lumaNE, lumaSE), lumaNWNE = hn::Add(lumaNW, lumaNE);
    const V edgeHorz2 = hn::MulAdd(minusTwo, lumaE, lumaNESE);
    const V edgeVert2 = hn::MulAdd(minusTwo, lumaN, lumaNWNE);
    const V lumaNWSW = hn::Add(lumaNW, lumaSW), lumaSWSE = hn::Add(lumaSW, lumaSE);
    const V edgeHorz4 = hn::MulAdd(hn::Abs(edgeHorz1), two, hn::Abs(edgeHorz2));
    const V edgeVert4 = hn::MulAdd(hn::Abs(edgeVert1), two, hn::Abs(edgeVert2));
    const V edgeHorz3 = hn::MulAdd(minusTwo, lumaW, lumaNWSW);
    const V edgeVert3 = hn::MulAdd(minusTwo, lumaS, lumaSWSE);
    const V edgeHorz = hn::Add(hn::Abs(edgeHorz3), edgeHorz4);
    const V edgeVert = hn::Add(hn::Abs(edgeVert3), edgeVert4);
    const V subpixNWSWNESE = hn::Add(lumaNWSW, lumaNESE);
    // A horizontal edge (luma changes vertically) is searched along x.
    const auto horzSpan = hn::Ge(edgeHorz, edgeVert);
    const V subpixA = hn::MulAdd(subpixNSWE, two, subpixNWSWNESE);
    lumaN = hn::IfThenElse(horzSpan, lumaN, lumaW);
    lumaS = hn::IfThenElse(horzSpan, lumaS, lumaE);
    const V subpixB = hn::MulSub(subpixA, hn::Set(d, 1.0f / 12.0f), lumaM);
    const V gradientN = hn::Sub(lumaN, lumaM), gradientS = hn::Sub(lumaS, lumaM);
    // The neighbour across the edge with the larger step: above / left where pairN.
    const auto pairN = hn::Ge(hn::Abs(gradientN), hn::Abs(gradientS));
    const V gradient = hn::Max(hn::Abs(gradientN), hn::Abs(gradientS));
    const V lengthSign = hn::IfThenElse(pairN, hn::Neg(one), one);
    const V subpixC = hn::Min(hn::Max(hn::Mul(hn::Abs(subpixB), subpixRcpRange), zero), one);
    const V subpixD = hn::MulAdd(minusTwo, subpixC, hn::Set(d, 3.0f));
    const V subpixE = hn::Mul(subpixC, subpixC);
    const V lumaNN = hn::Add(hn::IfThenElse(pairN, lumaN, lumaS), lumaM);
    const V gradientScaled = hn::Mul(gradient, hn::Set(d, 0.25f));
    const V edgeLuma = hn::Mul(lumaNN, hn::Set(d, 0.5f));
    const V lumaMM = hn::Sub(lumaM, edgeLuma);
    const V subpixF = hn::Mul(subpixD, subpixE);
    const auto lumaMLTZero = hn::Lt(lumaMM, zero);

    // Search from between the pixel and its chosen neighbour, both ways along the edge, at
    // the same distance `reach` for every lane still searching.
    float reach = k.steps[0];
    V tN = hn::Set(d, -reach), tP = hn::Set(d, reach);
    V lumaEndN = hn::Sub(LumaAlong(d, c, pw, -reach, edge, horzSpan, pairN), edgeLuma);
    V lumaEndP = hn::Sub(LumaAlong(d, c, pw, reach, edge, horzSpan, pairN), edgeLuma);
    auto doneN = hn::Or(hn::Not(edge), hn::Ge(hn::Abs(lumaEndN), gradientScaled));
    auto doneP = hn::Or(hn::Not(edge), hn::Ge(hn::Abs(lumaEndP), gradientScaled));
    for (int s = 1; s < FxaaParams::kSteps && !hn::AllTrue(d, hn::And(doneN, doneP)); ++s) {
        const auto goN = hn::Not(doneN), goP = hn::Not(doneP);
        tN = hn::IfThenElse(goN, hn::Sub(tN, hn::Set(d, k.steps[s])), tN);
        tP = hn::IfThenElse(goP, hn::Add(tP, hn::Set(d, k.steps[s])), tP);
        if (s == FxaaParams::kSteps - 1) break;  // the last step is a guess, not sampled
        reach += k.steps[s];
        if (!hn::AllFalse(d, goN)) {
            const V e = hn::Sub(LumaAlong(d, c, pw, -reach, goN, horzSpan, pairN), edgeLuma);
            lumaEndN = hn::IfThenElse(goN, e, lumaEndN);
            doneN = hn::Or(doneN, hn::Ge(hn::Abs(e), gradientScaled));
        }
        if (!hn::AllFalse(d, goP)) {
            const V e = hn::Sub(LumaAlong(d, c, pw, reach, goP, horzSpan, pairN), edgeLuma);
            lumaEndP = hn::IfThenElse(goP, e, lumaEndP);
            doneP = hn::Or(doneP, hn::Ge(hn::Abs(e), gradientScaled));
        }
    }

    const V dstN = hn::Neg(tN), dstP = tP;
    const auto goodSpanN = hn::Xor(hn::Lt(lumaEndN, zero), lumaMLTZero);
    const auto goodSpanP = hn::Xor(hn::Lt(lumaEndP, zero), lumaMLTZero);
    const V spanLengthRcp = hn::Div(one, hn::Add(dstP, dstN));
    const auto directionN = hn::Lt(dstN, dstP);
    const V dst = hn::Min(dstN, dstP);
    const auto goodSpan = hn::Or(hn::And(directionN, goodSpanN), hn::AndNot(directionN, goodSpanP));
    const V subpixG = hn::Mul(subpixF, subpixF);
    const V pixelOffset = hn::MulAdd(dst, hn::Neg(spanLengthRcp), hn::Set(d, 0.5f));
    const V subpixH = hn::Mul(subpixG, hn::Set(d, k.subpix));
    const V pixelOffsetGood = hn::IfThenElseZero(goodSpan, pixelOffset);
    offset = hn::Max(pixelOffsetGood, subpixH);
    across = hn::IfThenElse(horzSpan, hn::Mul(lengthSign, hn::Set(d, 3.0f)), lengthSign);
}

size_t FxaaRow(const FxaaParams& k, const float* HWY_RESTRICT lm, ptrdiff_t pw, size_t n, int32_t* HWY_RESTRICT cols,
               float* HWY_RESTRICT blend, int32_t* HWY_RESTRICT across) {
    const hn::ScalableTag<float> d;
    const hn::RebindToSigned<decltype(d)> di;
    const size_t N = hn::Lanes(d);
    const auto th = hn::Set(d, k.edgeThreshold), thMin = hn::Set(d, k.edgeThresholdMin);
    size_t count = 0;
    for (size_t i = 0; i < n; i += N) {
        // Early exit: pixels whose local contrast is below the threshold stay as they are.
        const float* c = lm + i;
        const auto m = hn::LoadU(d, c), ln = hn::LoadU(d, c - pw), ls = hn::LoadU(d, c + pw);
        const auto lw = hn::LoadU(d, c - 1), le = hn::LoadU(d, c + 1);
        const auto mx = hn::Max(hn::Max(hn::Max(ln, ls), hn::Max(lw, le)), m);
        const auto mn = hn::Min(hn::Min(hn::Min(ln, ls), hn::Min(lw, le)), m);
        auto edge = hn::Ge(hn::Sub(mx, mn), hn::Max(thMin, hn::Mul(mx, th)));
        if (n - i < N) edge = hn::And(edge, hn::FirstN(d, n - i));
        if (hn::AllFalse(d, edge)) continue;
        hn::Vec<decltype(d)> offset, dir;
        FxaaPixels(d, k, c, pw, edge, offset, dir);
        // The few lanes to blend are listed one by one: a compressing store costs more
        // than that on some targets.
        HWY_ALIGN float f[hn::MaxLanes(d)];
        HWY_ALIGN int32_t to[hn::MaxLanes(d)];
        static_assert(hn::MaxLanes(d) <= 64, "a row's lanes fit one mask word");
        uint8_t bits[8] = {};  // StoreMaskBits may write 8 bytes
        hn::Store(offset, d, f);
        hn::Store(hn::ConvertTo(di, dir), di, to);
        hn::StoreMaskBits(d, hn::And(edge, hn::Gt(offset, hn::Zero(d))), bits);
        uint64_t hit = 0;
        for (size_t b = 0; b < (N + 7) / 8; ++b) hit |= uint64_t(bits[b]) << (8 * b);
        for (; hit; hit &= hit - 1) {
            const size_t j = hwy::Num0BitsBelowLS1Bit_Nonzero64(hit);
            cols[count] = int32_t(i + j);
            blend[count] = f[j];
            across[count] = to[j];
            ++count;
        }
    }
    return count;
}

// ---------------------------------------------------------------------------------------
// Surface blur and bilateral blur: K vectors of output pixels at a time, their
// accumulators in registers over all taps (two for the surface blur, whose taps are
// short, to keep more of them in flight). A row's last, partial vector is computed whole
// and stored in part.

template <class D>
HWY_INLINE void StorePixels(D d, hn::Vec<D> r, hn::Vec<D> g, hn::Vec<D> b, hn::Vec<D> a, float* out, size_t lanes) {
    if (lanes == hn::Lanes(d)) {
        hn::StoreInterleaved4(r, g, b, a, d, out);
        return;
    }
    HWY_ALIGN float tmp[4 * hn::MaxLanes(d)];
    hn::StoreInterleaved4(r, g, b, a, d, tmp);
    std::memcpy(out, tmp, lanes * 4 * sizeof(float));
}

// Runs block<K>(i, lanes) over a row of n: K whole vectors at a time, then one, then the
// remaining lanes as one vector.
template <size_t K, class D, class Block>
HWY_INLINE void ForEachRowBlock(D d, size_t n, Block&& block) {
    const size_t N = hn::Lanes(d);
    size_t i = 0;
    for (; i + K * N <= n; i += K * N) block.template operator()<K>(i, N);
    for (; i + N <= n; i += N) block.template operator()<1>(i, N);
    if (i < n) block.template operator()<1>(i, n - i);
}

struct SurfaceBlurRowArgs {
    const float* const* c;
    const float* luma;
    ptrdiff_t centre, pw;
    int m;
    const float* wt;
    float invT;
    float* out;
};

template <size_t K, class D>
HWY_INLINE void SurfaceBlurPixels(D d, const SurfaceBlurRowArgs& a, size_t i, size_t lanes) {
    using V = hn::Vec<D>;
    const size_t N = hn::Lanes(d);
    const float* HWY_RESTRICT luma = a.luma;
    const float* HWY_RESTRICT pr = a.c[0];
    const float* HWY_RESTRICT pg = a.c[1];
    const float* HWY_RESTRICT pb = a.c[2];
    const float* HWY_RESTRICT pa = a.c[3];
    const int m = a.m;
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f), invT = hn::Set(d, a.invT);
    V lc[K], aw[K], ar[K], ag[K], ab[K], aa[K];
    for (size_t j = 0; j < K; ++j) {
        lc[j] = hn::LoadU(d, luma + a.centre + ptrdiff_t(i + j * N));
        aw[j] = ar[j] = ag[j] = ab[j] = aa[j] = zero;
    }
    for (int dy = -m; dy <= m; ++dy) {
        const float wy = a.wt[m + dy];
        const ptrdiff_t row = a.centre + ptrdiff_t(dy) * a.pw + ptrdiff_t(i);
        for (int dx = -m; dx <= m; ++dx) {
            const V s = hn::Set(d, wy * a.wt[m + dx]);
            const ptrdiff_t o = row + dx;
            for (size_t j = 0; j < K; ++j) {
                const ptrdiff_t oj = o + ptrdiff_t(j * N);
                const V diff = hn::Abs(hn::Sub(hn::LoadU(d, luma + oj), lc[j]));
                const V w = hn::Mul(s, hn::Max(zero, hn::NegMulAdd(diff, invT, one)));
                aw[j] = hn::Add(aw[j], w);
                ar[j] = hn::MulAdd(w, hn::LoadU(d, pr + oj), ar[j]);
                ag[j] = hn::MulAdd(w, hn::LoadU(d, pg + oj), ag[j]);
                ab[j] = hn::MulAdd(w, hn::LoadU(d, pb + oj), ab[j]);
                aa[j] = hn::MulAdd(w, hn::LoadU(d, pa + oj), aa[j]);
            }
        }
    }
    for (size_t j = 0; j < K; ++j) {
        const V inv = hn::Div(one, aw[j]);  // the centre always counts
        StorePixels(d, hn::Mul(ar[j], inv), hn::Mul(ag[j], inv), hn::Mul(ab[j], inv), hn::Mul(aa[j], inv),
                    a.out + 4 * (i + j * N), lanes);
    }
}

void SurfaceBlurRow(const float* const* c, const float* luma, ptrdiff_t centre, ptrdiff_t pw, int m, const float* wt,
                    float invT, size_t n, float* out) {
    const hn::ScalableTag<float> d;
    const SurfaceBlurRowArgs a{c, luma, centre, pw, m, wt, invT, out};
    ForEachRowBlock<2>(d, n, [&]<size_t K>(size_t i, size_t lanes) { SurfaceBlurPixels<K>(d, a, i, lanes); });
}

struct BilateralRowArgs {
    const float* const* c;
    ptrdiff_t centre;
    const BilateralTap* taps;
    size_t count;
    float factor;
    float* out;
};

template <size_t K, class D>
HWY_INLINE void BilateralPixels(D d, const BilateralRowArgs& a, size_t i, size_t lanes) {
    using V = hn::Vec<D>;
    const size_t N = hn::Lanes(d);
    const float* HWY_RESTRICT pr = a.c[0] + a.centre + ptrdiff_t(i);
    const float* HWY_RESTRICT pg = a.c[1] + a.centre + ptrdiff_t(i);
    const float* HWY_RESTRICT pb = a.c[2] + a.centre + ptrdiff_t(i);
    const float* HWY_RESTRICT pa = a.c[3] + a.centre + ptrdiff_t(i);
    const V zero = hn::Zero(d), one = hn::Set(d, 1.0f), factor = hn::Set(d, a.factor);
    V cr[K], cg[K], cb[K], aw[K], ar[K], ag[K], ab[K], aa[K];
    for (size_t j = 0; j < K; ++j) {
        cr[j] = hn::LoadU(d, pr + j * N);
        cg[j] = hn::LoadU(d, pg + j * N);
        cb[j] = hn::LoadU(d, pb + j * N);
        aw[j] = ar[j] = ag[j] = ab[j] = aa[j] = zero;
    }
    for (size_t t = 0; t < a.count; ++t) {
        const BilateralTap& tap = a.taps[t];
        const V wk = hn::Set(d, tap.weight), f = hn::Set(d, tap.f);
        for (size_t j = 0; j < K; ++j) {
            const ptrdiff_t o0 = tap.o0 + ptrdiff_t(j * N), o1 = tap.o1 + ptrdiff_t(j * N);
            auto lerp = [&](const float* p) {
                const V v0 = hn::LoadU(d, p + o0);
                return hn::MulAdd(hn::Sub(hn::LoadU(d, p + o1), v0), f, v0);
            };
            const V tr = lerp(pr), tg = lerp(pg), tb = lerp(pb), ta = lerp(pa);
            const V dr = hn::Sub(tr, cr[j]), dg = hn::Sub(tg, cg[j]), db = hn::Sub(tb, cb[j]);
            const V dist = hn::Sqrt(hn::MulAdd(db, db, hn::MulAdd(dg, dg, hn::Mul(dr, dr))));
            const V w = hn::Mul(wk, hn::Max(zero, hn::NegMulAdd(dist, factor, one)));
            aw[j] = hn::Add(aw[j], w);
            ar[j] = hn::MulAdd(w, tr, ar[j]);
            ag[j] = hn::MulAdd(w, tg, ag[j]);
            ab[j] = hn::MulAdd(w, tb, ab[j]);
            aa[j] = hn::MulAdd(w, ta, aa[j]);
        }
    }
    for (size_t j = 0; j < K; ++j) {
        const V inv = hn::IfThenElseZero(hn::Gt(aw[j], zero), hn::Div(one, aw[j]));
        StorePixels(d, hn::Mul(ar[j], inv), hn::Mul(ag[j], inv), hn::Mul(ab[j], inv), hn::Mul(aa[j], inv),
                    a.out + 4 * (i + j * N), lanes);
    }
}

void BilateralRow(const float* const* c, ptrdiff_t centre, const BilateralTap* taps, size_t count, float factor,
                  size_t n, float* out) {
    const hn::ScalableTag<float> d;
    const BilateralRowArgs a{c, centre, taps, count, factor, out};
    // One vector at a time: a second one in flight would not fit the registers of some targets.
    ForEachRowBlock<1>(d, n, [&]<size_t K>(size_t i, size_t lanes) { BilateralPixels<K>(d, a, i, lanes); });
}

}  // namespace vellari::smoothing::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vellari::smoothing {
namespace {
VELLARI_SIMD_PROBE("smoothing filters")
}  // namespace

HWY_EXPORT(SplitPixels);
HWY_EXPORT(FxaaRow);
HWY_EXPORT(SurfaceBlurRow);
HWY_EXPORT(BilateralRow);

void splitPixels(const float* p, size_t n, float* const* c, float* luma) {
    VELLARI_DISPATCH(SplitPixels)(p, n, c, luma);
}
size_t fxaaRow(const FxaaParams& k, const float* lm, ptrdiff_t pw, size_t n, int32_t* cols, float* blend,
               int32_t* across) {
    return VELLARI_DISPATCH(FxaaRow)(k, lm, pw, n, cols, blend, across);
}
void surfaceBlurRow(const float* const* c, const float* luma, ptrdiff_t centre, ptrdiff_t pw, int m, const float* wt,
                    float invT, size_t n, float* out) {
    VELLARI_DISPATCH(SurfaceBlurRow)(c, luma, centre, pw, m, wt, invT, n, out);
}
void bilateralRow(const float* const* c, ptrdiff_t centre, const BilateralTap* taps, size_t count, float factor,
                  size_t n, float* out) {
    VELLARI_DISPATCH(BilateralRow)(c, centre, taps, count, factor, n, out);
}

}  // namespace vellari::smoothing
#endif  // HWY_ONCE
