// The smoothing and anti-aliasing filters and the kernels behind them.
//
// The three sampling kernels read their input straight from the buffer the renderer
// materialises for it and do the edge clamping themselves (where the input is "clamped
// to its extent"): wrapping the input in a clamped image would cost one more full-frame
// copy per render. Clamping to the held rectangle is the same thing for every pixel the
// region of interest asks for, since the held rectangle covers that region inside the
// extent.
//
// Inner loops run over planes of floats (one per channel, rows of the tile plus its
// margin), lanes being neighbouring output pixels, so that they vectorise.

#include "vellari/engine/smoothing_filters.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>

#if defined(__AVX512F__)
#include <immintrin.h>
#endif

#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/node.h"

namespace vellari {
namespace {

using detail::TileBuffer;

// Luma of the stored values (Rec. 601 weights).
constexpr float kLumaR = 0.299f, kLumaG = 0.587f, kLumaB = 0.114f;

double gaussian(double x, double sigma) {
    return std::exp(-(x * x) / (2 * sigma * sigma)) / std::sqrt(2 * std::numbers::pi * sigma * sigma);
}

// A number input; unset (or not a number object) reads as its default.
double numberInput(const Filter& f, const char* key, double fallback) { return f.value(key).number(fallback); }

// ---------------------------------------------------------------------------------------
// Process-wide cache of compiled kernels: an immutable map, replaced by a copy with the
// new entry. Readers never lock; builders are serialised so that a key is built once.
template <class K>
class KernelCache {
public:
    using Ptr = std::shared_ptr<const K>;
    using Map = std::map<int, Ptr>;

    template <class Build>
    Ptr get(int key, Build&& build) {
        if (Ptr k = find(map_.load(std::memory_order_acquire), key)) return k;
        std::lock_guard lock(buildMutex_);
        std::shared_ptr<const Map> current = map_.load(std::memory_order_acquire);
        if (Ptr k = find(current, key)) return k;
        Ptr built = build();
        auto next = std::make_shared<Map>(current ? *current : Map{});
        (*next)[key] = built;
        map_.store(std::shared_ptr<const Map>(std::move(next)), std::memory_order_release);
        return built;
    }

private:
    static Ptr find(const std::shared_ptr<const Map>& m, int key) {
        if (!m) return nullptr;
        auto it = m->find(key);
        return it == m->end() ? nullptr : it->second;
    }
    std::atomic<std::shared_ptr<const Map>> map_;
    std::mutex buildMutex_;
};

// ---------------------------------------------------------------------------------------
// Planes of a tile.

enum class Edge { Clamp, Transparent };

// Per-thread scratch that keeps its memory between tiles.
struct Scratch {
    std::vector<float> planes;
    std::vector<float> acc;
    std::vector<uint8_t> flags;
    std::vector<int32_t> edges;  // edge pixels waiting for a batch: luma plane indices
    std::vector<int32_t> edgeRows;  // and rows
    std::vector<float> blend;    // what becomes of a batch
    std::vector<int32_t> across;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

float* grow(std::vector<float>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

// Copies `area` of the view into planes of width pw: colour channels into c[0..3] when
// kColour, luma into `luma` when kLuma. Outside the held rectangle pixels repeat its edge
// (Clamp) or are transparent (Transparent).
template <bool kColour, bool kLuma>
void loadPlanes(const SamplerView& v, const IRect& area, Edge edge, float* const* c, float* luma, ptrdiff_t pw) {
    const IRect& vr = v.rect;
    auto put = [&](const float* p, ptrdiff_t i) {
        if constexpr (kColour) {
            c[0][i] = p[0];
            c[1][i] = p[1];
            c[2][i] = p[2];
            c[3][i] = p[3];
        }
        if constexpr (kLuma) luma[i] = kLumaR * p[0] + kLumaG * p[1] + kLumaB * p[2];
    };
    static const float kZero[4] = {0, 0, 0, 0};
    for (int yy = area.y; yy < area.bottom(); ++yy) {
        const ptrdiff_t o = ptrdiff_t(yy - area.y) * pw;
        const bool rowOut = vr.empty() || yy < vr.y || yy >= vr.bottom();
        if (rowOut && (edge == Edge::Transparent || vr.empty())) {
            for (int i = 0; i < area.w; ++i) put(kZero, o + i);
            continue;
        }
        const float* s = v.row(std::clamp(yy, vr.y, vr.bottom() - 1));
        const int x0 = std::max(area.x, vr.x), x1 = std::min(area.right(), vr.right());
        const float* left = edge == Edge::Clamp ? s + ptrdiff_t(vr.x) * 4 : kZero;
        const float* right = edge == Edge::Clamp ? s + ptrdiff_t(vr.right() - 1) * 4 : kZero;
        int xx = area.x;
        for (; xx < std::min(x0, area.right()); ++xx) put(left, o + (xx - area.x));
        if (x1 > x0) {
            const float* __restrict p = s + ptrdiff_t(x0) * 4;
            const ptrdiff_t base = o + (x0 - area.x);
            const int n = x1 - x0;
            if constexpr (kColour) {
                float* __restrict r = c[0] + base;
                float* __restrict g = c[1] + base;
                float* __restrict b = c[2] + base;
                float* __restrict a = c[3] + base;
                for (int i = 0; i < n; ++i) {
                    r[i] = p[4 * i];
                    g[i] = p[4 * i + 1];
                    b[i] = p[4 * i + 2];
                    a[i] = p[4 * i + 3];
                }
            }
            if constexpr (kLuma) {
                float* __restrict l = luma + base;
                for (int i = 0; i < n; ++i) l[i] = kLumaR * p[4 * i] + kLumaG * p[4 * i + 1] + kLumaB * p[4 * i + 2];
            }
            xx = x1;
        }
        for (xx = std::max(xx, area.x); xx < area.right(); ++xx) put(right, o + (xx - area.x));
    }
}

// ---------------------------------------------------------------------------------------
// Fast approximate anti-aliasing, quality variant of the published 3.11 method.

struct FxaaParams {
    float subpix = 0.75f;              // amount of sub-pixel aliasing removal
    float edgeThreshold = 0.166f;      // local contrast, relative to the brightest neighbour
    float edgeThresholdMin = 0.0833f;  // darkest contrast that is still processed
    // Search steps along the edge. The sampled ones end 8 pixels out (the region of
    // interest); the last step is the unsampled guess beyond them.
    static constexpr int kSteps = 6;
    float steps[kSteps] = {1.0f, 1.5f, 2.0f, 2.0f, 1.5f, 4.0f};
};

// The one compiled FXAA kernel.
const FxaaParams& fxaaKernel() {
    static const FxaaParams* k = new FxaaParams;
    return *k;
}

// The luma plane holds one pixel more than the reach, so that a bilinear read at the far
// end may touch its (zero-weighted) neighbour.
constexpr int kFxaaMargin = YUCIFXAA::kReach + 1;

// Bilinear luma at (du, dv) pixels from the centre `c` of a plane of width pw.
inline float lumaAt(const float* c, ptrdiff_t pw, float du, float dv) {
    const float fu = std::floor(du), fv = std::floor(dv);
    const float tx = du - fu, ty = dv - fv;
    const float* p = c + ptrdiff_t(fv) * pw + ptrdiff_t(fu);
    const float top = p[0] + (p[1] - p[0]) * tx;
    const float bot = p[pw] + (p[pw + 1] - p[pw]) * tx;
    return top + (bot - top) * ty;
}

// The edge pixel at luma `c`: how far towards which neighbour its colour is resampled.
// Returns the blend fraction; (nx, ny) receives the neighbour's direction.
[[maybe_unused]] float fxaaPixel(const FxaaParams& k, const float* c, ptrdiff_t pw, int& nx, int& ny) {
    const float lumaM = c[0];
    float lumaN = c[-pw], lumaS = c[pw], lumaW = c[-1], lumaE = c[1];
    const float rangeMax = std::max(std::max(std::max(lumaN, lumaS), std::max(lumaW, lumaE)), lumaM);
    const float rangeMin = std::min(std::min(std::min(lumaN, lumaS), std::min(lumaW, lumaE)), lumaM);
    const float range = rangeMax - rangeMin;

    const float lumaNW = c[-pw - 1], lumaSE = c[pw + 1], lumaNE = c[-pw + 1], lumaSW = c[pw - 1];
    const float lumaNS = lumaN + lumaS, lumaWE = lumaW + lumaE;
    const float subpixRcpRange = 1.0f / range;
    const float subpixNSWE = lumaNS + lumaWE;
    const float edgeHorz1 = -2.0f * lumaM + lumaNS;
    const float edgeVert1 = -2.0f * lumaM + lumaWE;
    const float lumaNESE = lumaNE + lumaSE, lumaNWNE = lumaNW + lumaNE;
    const float edgeHorz2 = -2.0f * lumaE + lumaNESE;
    const float edgeVert2 = -2.0f * lumaN + lumaNWNE;
    const float lumaNWSW = lumaNW + lumaSW, lumaSWSE = lumaSW + lumaSE;
    const float edgeHorz4 = std::fabs(edgeHorz1) * 2.0f + std::fabs(edgeHorz2);
    const float edgeVert4 = std::fabs(edgeVert1) * 2.0f + std::fabs(edgeVert2);
    const float edgeHorz3 = -2.0f * lumaW + lumaNWSW;
    const float edgeVert3 = -2.0f * lumaS + lumaSWSE;
    const float edgeHorz = std::fabs(edgeHorz3) + edgeHorz4;
    const float edgeVert = std::fabs(edgeVert3) + edgeVert4;
    const float subpixNWSWNESE = lumaNWSW + lumaNESE;
    // A horizontal edge (luma changes vertically) is searched along x.
    const bool horzSpan = edgeHorz >= edgeVert;
    const float subpixA = subpixNSWE * 2.0f + subpixNWSWNESE;
    if (!horzSpan) {
        lumaN = lumaW;
        lumaS = lumaE;
    }
    const float subpixB = subpixA * (1.0f / 12.0f) - lumaM;
    const float gradientN = lumaN - lumaM, gradientS = lumaS - lumaM;
    float lumaNN = lumaN + lumaM;
    const float lumaSS = lumaS + lumaM;
    const bool pairN = std::fabs(gradientN) >= std::fabs(gradientS);
    const float gradient = std::max(std::fabs(gradientN), std::fabs(gradientS));
    const float lengthSign = pairN ? -1.0f : 1.0f;
    const float subpixC = std::clamp(std::fabs(subpixB) * subpixRcpRange, 0.0f, 1.0f);

    // Search from between the pixel and its chosen neighbour, both ways along the edge.
    const float offU = horzSpan ? 1.0f : 0.0f, offV = horzSpan ? 0.0f : 1.0f;
    const float bU = horzSpan ? 0.0f : lengthSign * 0.5f, bV = horzSpan ? lengthSign * 0.5f : 0.0f;
    float tN = -k.steps[0], tP = k.steps[0];  // positions along the edge
    const float subpixD = -2.0f * subpixC + 3.0f;
    const float subpixE = subpixC * subpixC;
    if (!pairN) lumaNN = lumaSS;
    const float gradientScaled = gradient * (1.0f / 4.0f);
    const float lumaMM = lumaM - lumaNN * 0.5f;
    const float subpixF = subpixD * subpixE;
    const bool lumaMLTZero = lumaMM < 0.0f;
    float lumaEndN = lumaAt(c, pw, bU + offU * tN, bV + offV * tN) - lumaNN * 0.5f;
    float lumaEndP = lumaAt(c, pw, bU + offU * tP, bV + offV * tP) - lumaNN * 0.5f;
    bool doneN = std::fabs(lumaEndN) >= gradientScaled;
    bool doneP = std::fabs(lumaEndP) >= gradientScaled;
    for (int s = 1; s < FxaaParams::kSteps && !(doneN && doneP); ++s) {
        if (!doneN) tN -= k.steps[s];
        if (!doneP) tP += k.steps[s];
        if (s == FxaaParams::kSteps - 1) break;  // the last step is a guess, not sampled
        if (!doneN) {
            lumaEndN = lumaAt(c, pw, bU + offU * tN, bV + offV * tN) - lumaNN * 0.5f;
            doneN = std::fabs(lumaEndN) >= gradientScaled;
        }
        if (!doneP) {
            lumaEndP = lumaAt(c, pw, bU + offU * tP, bV + offV * tP) - lumaNN * 0.5f;
            doneP = std::fabs(lumaEndP) >= gradientScaled;
        }
    }

    const float dstN = -tN, dstP = tP;
    const bool goodSpanN = (lumaEndN < 0.0f) != lumaMLTZero;
    const bool goodSpanP = (lumaEndP < 0.0f) != lumaMLTZero;
    const float spanLengthRcp = 1.0f / (dstP + dstN);
    const bool directionN = dstN < dstP;
    const float dst = std::min(dstN, dstP);
    const bool goodSpan = directionN ? goodSpanN : goodSpanP;
    const float subpixG = subpixF * subpixF;
    const float pixelOffset = dst * -spanLengthRcp + 0.5f;
    const float subpixH = subpixG * k.subpix;
    const float pixelOffsetGood = goodSpan ? pixelOffset : 0.0f;
    const float offset = std::max(pixelOffsetGood, subpixH);
    // The result is the colour resampled `offset` pixels across the edge.
    nx = horzSpan ? 0 : int(lengthSign);
    ny = horzSpan ? int(lengthSign) : 0;
    return offset;
}

// Flags the pixels of a row whose local contrast reaches the edge threshold.
[[maybe_unused]] void fxaaEdgeFlags(int n, float th, float thMin, const float* __restrict ln, const float* __restrict lm,
                   const float* __restrict ls, uint8_t* __restrict flags) {
    for (int i = 0; i < n; ++i) {
        const float mx = std::max(std::max(std::max(ln[i], ls[i]), std::max(lm[i - 1], lm[i + 1])), lm[i]);
        const float mn = std::min(std::min(std::min(ln[i], ls[i]), std::min(lm[i - 1], lm[i + 1])), lm[i]);
        flags[i] = (mx - mn) >= std::max(thMin, mx * th) ? 1 : 0;
    }
}

#if defined(__AVX512F__)
// The edge pixels in batches of 16, one per lane: the same steps as fxaaPixel, branch-free,
// the luma read by gathers. A lane's search stops as fxaaPixel's does, the batch when all
// lanes have stopped.
typedef float vf16 __attribute__((vector_size(64)));
typedef int32_t vi16 __attribute__((vector_size(64)));

inline vf16 vmax(vf16 a, vf16 b) { return a < b ? b : a; }
inline vf16 vmin(vf16 a, vf16 b) { return b < a ? b : a; }
inline vf16 vabs(vf16 a) { return (vf16)((vi16)a & 0x7fffffff); }
inline vf16 vfloor(vf16 a) {
    const vf16 t = __builtin_convertvector(__builtin_convertvector(a, vi16), vf16);
    return t > a ? t - 1.0f : t;
}
inline __mmask16 lanes(vi16 m) { return _mm512_test_epi32_mask((__m512i)m, (__m512i)m); }
inline vf16 gather(const float* base, vi16 at, __mmask16 live) {
    return (vf16)_mm512_mask_i32gather_ps(_mm512_setzero_ps(), live, (__m512i)at, base, 4);
}

// Bilinear luma at (du, dv) pixels from the lanes' centres c + at.
inline vf16 lumaAt(const float* c, int pw, vi16 at, __mmask16 live, vf16 du, vf16 dv) {
    const vf16 fu = vfloor(du), fv = vfloor(dv);
    const vf16 tx = du - fu, ty = dv - fv;
    const vi16 o = at + __builtin_convertvector(fv, vi16) * pw + __builtin_convertvector(fu, vi16);
    const vf16 p0 = gather(c, o, live), p1 = gather(c, o + 1, live);
    const vf16 p2 = gather(c, o + pw, live), p3 = gather(c, o + (pw + 1), live);
    const vf16 top = p0 + (p1 - p0) * tx;
    const vf16 bot = p2 + (p3 - p2) * tx;
    return top + (bot - top) * ty;
}

// lumaAt where the position along the edge is a whole pixel, so that one of the two
// fractions is 0 and the other one half: two of the four reads suffice. `across` is the
// index step to the second pixel (a row for edges along x, a column for those along y).
inline vf16 lumaAtWhole(const float* c, int pw, vi16 at, __mmask16 live, vf16 du, vf16 dv, vi16 across) {
    const vi16 o = at + __builtin_convertvector(vfloor(dv), vi16) * pw + __builtin_convertvector(vfloor(du), vi16);
    const vf16 p0 = gather(c, o, live), p1 = gather(c, o + across, live);
    return p0 + (p1 - p0) * 0.5f;
}

// The pixels of a row whose local contrast reaches the edge threshold: their columns
// (from 0) plus `base` to `edges`, which has 16 entries of slack; returns their count.
int fxaaEdges(int n, float th, float thMin, const float* ln, const float* lm, const float* ls, int32_t base,
              int32_t* edges) {
    int count = 0;
    const vi16 iota = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    for (int i = 0; i < n; i += 16) {
        auto load = [](const float* p) {
            vf16 v;
            std::memcpy(&v, p, sizeof v);
            return v;
        };
        const vf16 m = load(lm + i);
        const vf16 mx = vmax(vmax(vmax(load(ln + i), load(ls + i)), vmax(load(lm + i - 1), load(lm + i + 1))), m);
        const vf16 mn = vmin(vmin(vmin(load(ln + i), load(ls + i)), vmin(load(lm + i - 1), load(lm + i + 1))), m);
        __mmask16 hit = lanes((mx - mn) >= vmax(thMin - vf16{}, mx * th));
        if (n - i < 16) hit &= __mmask16((1u << (n - i)) - 1);
        const vi16 at = iota + (base + i);
        _mm512_storeu_si512(edges + count, _mm512_maskz_compress_epi32(hit, (__m512i)at));
        count += __builtin_popcount(hit);
    }
    return count;
}

// fxaaPixel for the `count` (up to 16) pixels c[cols[l]]: their blend fractions to `blend`,
// their neighbours' directions to `across`, as nx + 3 ny.
void fxaaBatch(const FxaaParams& k, const float* c, int pw, const int32_t* cols, int count, float* blend,
               int32_t* across) {
    const __mmask16 live = count >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << count) - 1);
    vi16 at;
    {
        const __m512i v = _mm512_maskz_loadu_epi32(live, cols);
        std::memcpy(&at, &v, sizeof at);
    }
    auto L = [&](int off) { return gather(c, at + off, live); };
    const vf16 lumaM = L(0);
    vf16 lumaN = L(-pw), lumaS = L(pw), lumaW = L(-1), lumaE = L(1);
    const vf16 rangeMax = vmax(vmax(vmax(lumaN, lumaS), vmax(lumaW, lumaE)), lumaM);
    const vf16 rangeMin = vmin(vmin(vmin(lumaN, lumaS), vmin(lumaW, lumaE)), lumaM);
    const vf16 range = rangeMax - rangeMin;

    const vf16 lumaNW = L(-pw - 1), lumaSE = L(pw + 1), lumaNE = L(-pw + 1), lumaSW = L(pw - 1);
    const vf16 lumaNS = lumaN + lumaS, lumaWE = lumaW + lumaE;
    const vf16 subpixRcpRange = 1.0f / range;
    const vf16 subpixNSWE = lumaNS + lumaWE;
    const vf16 edgeHorz1 = -2.0f * lumaM + lumaNS;
    const vf16 edgeVert1 = -2.0f * lumaM + lumaWE;
    const vf16 lumaNESE = lumaNE + lumaSE, lumaNWNE = lumaNW + lumaNE;
    const vf16 edgeHorz2 = -2.0f * lumaE + lumaNESE;
    const vf16 edgeVert2 = -2.0f * lumaN + lumaNWNE;
    const vf16 lumaNWSW = lumaNW + lumaSW, lumaSWSE = lumaSW + lumaSE;
    const vf16 edgeHorz4 = vabs(edgeHorz1) * 2.0f + vabs(edgeHorz2);
    const vf16 edgeVert4 = vabs(edgeVert1) * 2.0f + vabs(edgeVert2);
    const vf16 edgeHorz3 = -2.0f * lumaW + lumaNWSW;
    const vf16 edgeVert3 = -2.0f * lumaS + lumaSWSE;
    const vf16 edgeHorz = vabs(edgeHorz3) + edgeHorz4;
    const vf16 edgeVert = vabs(edgeVert3) + edgeVert4;
    const vf16 subpixNWSWNESE = lumaNWSW + lumaNESE;
    const vi16 horzSpan = edgeHorz >= edgeVert;
    const vf16 subpixA = subpixNSWE * 2.0f + subpixNWSWNESE;
    lumaN = horzSpan ? lumaN : lumaW;
    lumaS = horzSpan ? lumaS : lumaE;
    const vf16 subpixB = subpixA * (1.0f / 12.0f) - lumaM;
    const vf16 gradientN = lumaN - lumaM, gradientS = lumaS - lumaM;
    const vi16 pairN = vabs(gradientN) >= vabs(gradientS);
    const vf16 gradient = vmax(vabs(gradientN), vabs(gradientS));
    const vf16 one = vf16{} + 1.0f, zero = {};
    const vf16 lengthSign = pairN ? -one : one;
    const vf16 subpixC = vmin(vmax(vabs(subpixB) * subpixRcpRange, zero), one);

    const vf16 offU = horzSpan ? one : zero, offV = horzSpan ? zero : one;
    const vf16 bU = horzSpan ? zero : lengthSign * 0.5f, bV = horzSpan ? lengthSign * 0.5f : zero;
    vf16 tN = zero - k.steps[0], tP = zero + k.steps[0];
    const vf16 subpixD = -2.0f * subpixC + 3.0f;
    const vf16 subpixE = subpixC * subpixC;
    const vf16 lumaNN = pairN ? lumaN + lumaM : lumaS + lumaM;
    const vf16 gradientScaled = gradient * (1.0f / 4.0f);
    const vf16 lumaMM = lumaM - lumaNN * 0.5f;
    const vf16 subpixF = subpixD * subpixE;
    const vi16 lumaMLTZero = lumaMM < 0.0f;
    // Samples at a whole step along the edge (the same for every lane still searching)
    // read two pixels, the others four.
    const vi16 step = horzSpan ? vi16{} + pw : vi16{} + 1;
    auto sample = [&](__mmask16 m, vf16 t, bool whole) {
        const vf16 du = bU + offU * t, dv = bV + offV * t;
        return (whole ? lumaAtWhole(c, pw, at, m, du, dv, step) : lumaAt(c, pw, at, m, du, dv)) - lumaNN * 0.5f;
    };
    float reach = k.steps[0];
    vf16 lumaEndN = sample(live, tN, reach == std::floor(reach));
    vf16 lumaEndP = sample(live, tP, reach == std::floor(reach));
    __mmask16 doneN = lanes(vabs(lumaEndN) >= gradientScaled) | ~live;
    __mmask16 doneP = lanes(vabs(lumaEndP) >= gradientScaled) | ~live;
    const vi16 bits = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024, 2048, 4096, 8192, 16384, 32768};
    for (int s = 1; s < FxaaParams::kSteps && __mmask16(doneN & doneP) != 0xFFFF; ++s) {
        const vi16 goN = (bits & int(__mmask16(~doneN))) != 0, goP = (bits & int(__mmask16(~doneP))) != 0;
        tN = goN ? tN - k.steps[s] : tN;
        tP = goP ? tP + k.steps[s] : tP;
        if (s == FxaaParams::kSteps - 1) break;  // the last step is a guess, not sampled
        reach += k.steps[s];
        const bool whole = reach == std::floor(reach);
        if (__mmask16(~doneN)) {
            const vf16 e = sample(__mmask16(~doneN), tN, whole);
            lumaEndN = goN ? e : lumaEndN;
            doneN |= lanes(vabs(e) >= gradientScaled);
        }
        if (__mmask16(~doneP)) {
            const vf16 e = sample(__mmask16(~doneP), tP, whole);
            lumaEndP = goP ? e : lumaEndP;
            doneP |= lanes(vabs(e) >= gradientScaled);
        }
    }

    const vf16 dstN = -tN, dstP = tP;
    const vi16 goodSpanN = (lumaEndN < 0.0f) != lumaMLTZero;
    const vi16 goodSpanP = (lumaEndP < 0.0f) != lumaMLTZero;
    const vf16 spanLengthRcp = 1.0f / (dstP + dstN);
    const vi16 directionN = dstN < dstP;
    const vf16 dst = vmin(dstN, dstP);
    const vi16 goodSpan = directionN ? goodSpanN : goodSpanP;
    const vf16 subpixG = subpixF * subpixF;
    const vf16 pixelOffset = dst * -spanLengthRcp + 0.5f;
    const vf16 subpixH = subpixG * k.subpix;
    const vf16 pixelOffsetGood = goodSpan ? pixelOffset : zero;
    const vf16 offset = vmax(pixelOffsetGood, subpixH);
    const vi16 sign = __builtin_convertvector(lengthSign, vi16);
    const vi16 dir = horzSpan ? sign * 3 : sign;  // nx + 3 ny
    std::memcpy(blend, &offset, sizeof offset);
    std::memcpy(across, &dir, sizeof dir);
}
#endif

void fxaaTile(const SamplerView& v, const TileBuffer& out) {
    const FxaaParams& k = fxaaKernel();
    const IRect& r = out.rect;
    const IRect& vr = v.rect;
    const IRect area = r.inset(-kFxaaMargin, -kFxaaMargin);
    const ptrdiff_t pw = area.w;
    Scratch& sc = scratch();
    float* luma = grow(sc.planes, size_t(pw) * area.h + 16);  // edges are found 16 pixels at a time
    // Luma rows are made just ahead of the row that needs them; a row of the tile is
    // copied to the output as its luma is made, while the source row is in cache.
    auto lumaRow = [&](int yy) {
        loadPlanes<false, true>(v, IRect{area.x, yy, area.w, 1}, Edge::Clamp, nullptr,
                                luma + ptrdiff_t(yy - area.y) * pw, pw);
        if (yy >= r.y && yy < r.bottom())  // the tile lies inside the held pixels
            std::memcpy(out.row(yy), v.row(yy) + ptrdiff_t(r.x) * 4, size_t(r.w) * 16);
    };
    for (int yy = area.y; yy < r.y + kFxaaMargin; ++yy) lumaRow(yy);
    // Blends the pixel in column j of row y towards its neighbour (nx, ny) by f.
    auto blendPixel = [&](const float* src, float* o, int y, int j, int nx, int ny, float f) {
        const int x = r.x + j;
        const int qx = std::clamp(x + nx, vr.x, vr.right() - 1);
        const int qy = std::clamp(y + ny, vr.y, vr.bottom() - 1);
        const float* p = src + ptrdiff_t(j) * 4;
        const float* q = v.row(qy) + ptrdiff_t(qx) * 4;
        float* d = o + ptrdiff_t(j) * 4;
        for (int ch = 0; ch < 4; ++ch) d[ch] = p[ch] + (q[ch] - p[ch]) * f;
    };
#if defined(__AVX512F__)
    // Edge pixels wait, as luma plane indices, until a full batch is found; the tile's
    // luma stays in the plane, and their rows of the output are already written.
    const size_t slots = 2 * size_t(r.w) + 32;
    if (sc.edges.size() < slots) sc.edges.resize(slots);
    if (sc.blend.size() < 16) sc.blend.resize(16);
    if (sc.across.size() < 16) sc.across.resize(16);
    if (sc.edgeRows.size() < slots) sc.edgeRows.resize(slots);
    int32_t* edges = sc.edges.data();
    int32_t* edgeRows = sc.edgeRows.data();
    float* blend = sc.blend.data();
    int32_t* across = sc.across.data();
    int pending = 0;
    const ptrdiff_t lumaColumn = r.x - area.x;
    auto runBatch = [&](int from, int n) {
        fxaaBatch(k, luma, int(pw), edges + from, n, blend, across);
        for (int e = 0; e < n; ++e) {
            if (!(blend[e] > 0)) continue;
            const int y = edgeRows[from + e];
            const int j = int(edges[from + e] - ptrdiff_t(y - area.y) * pw - lumaColumn);
            const int d = across[e];  // nx + 3 ny, each of them -1, 0 or 1
            const int ny = d > 1 ? 1 : d < -1 ? -1 : 0;
            blendPixel(v.row(y) + ptrdiff_t(r.x) * 4, out.row(y), y, j, d - 3 * ny, ny, blend[e]);
        }
    };
#else
    if (sc.flags.size() < size_t(r.w) + 8) sc.flags.resize(size_t(r.w) + 8);
    uint8_t* flags = sc.flags.data();
    std::memset(flags + r.w, 0, 8);
#endif

    for (int y = r.y; y < r.bottom(); ++y) {
        // Source rows are far apart: the one after next is fetched while this one is worked on.
        if (const int ahead = y + kFxaaMargin + 2; ahead >= vr.y && ahead < vr.bottom()) {
            const int x0 = std::max(area.x, vr.x), x1 = std::min(area.right(), vr.right());
            const char* row = reinterpret_cast<const char*>(v.row(ahead) + ptrdiff_t(x0) * 4);
            for (ptrdiff_t b = 0; b < ptrdiff_t(x1 - x0) * 16; b += 64) __builtin_prefetch(row + b);
        }
        lumaRow(y + kFxaaMargin);

        // Early exit: pixels whose local contrast is below the threshold stay as they are.
        const float* lm = luma + ptrdiff_t(y - area.y) * pw + (r.x - area.x);
#if defined(__AVX512F__)
        const int32_t rowBase = int32_t(ptrdiff_t(y - area.y) * pw + lumaColumn);
        const int found = fxaaEdges(r.w, k.edgeThreshold, k.edgeThresholdMin, lm - pw, lm, lm + pw, rowBase,
                                    edges + pending);
        for (int e = pending; e < pending + found; ++e) edgeRows[e] = y;
        pending += found;
        int done = 0;
        for (; pending - done >= 16; done += 16) runBatch(done, 16);
        if (done) {
            std::memmove(edges, edges + done, size_t(pending - done) * sizeof *edges);
            std::memmove(edgeRows, edgeRows + done, size_t(pending - done) * sizeof *edgeRows);
            pending -= done;
        }
#else
        float* o = out.row(y);
        const float* src = v.row(y) + ptrdiff_t(r.x) * 4;
        fxaaEdgeFlags(r.w, k.edgeThreshold, k.edgeThresholdMin, lm - pw, lm, lm + pw, flags);
        for (int i = 0; i < r.w; i += 8) {
            uint64_t word;
            std::memcpy(&word, flags + i, 8);
            if (!word) continue;
            for (int j = i; j < std::min(i + 8, r.w); ++j) {
                if (!flags[j]) continue;
                int nx = 0, ny = 0;
                const float f = fxaaPixel(k, lm + j, pw, nx, ny);
                if (f > 0) blendPixel(src, o, y, j, nx, ny, f);
            }
        }
#endif
    }
#if defined(__AVX512F__)
    if (pending) runBatch(0, pending);
#endif
}

// ---------------------------------------------------------------------------------------
// Surface blur.

KernelCache<YUCISurfaceBlurKernel>& surfaceBlurCache() {
    static auto* c = new KernelCache<YUCISurfaceBlurKernel>;
    return *c;
}

// Adds one window offset to the accumulators of n output pixels.
void surfaceBlurTap(int n, float s, float invT, const float* __restrict lc, const float* __restrict tl,
                    const float* __restrict tr, const float* __restrict tg, const float* __restrict tb,
                    const float* __restrict ta, float* __restrict aw, float* __restrict ar, float* __restrict ag,
                    float* __restrict ab, float* __restrict aa) {
    for (int i = 0; i < n; ++i) {
        const float wgt = s * std::max(0.0f, 1.0f - std::fabs(tl[i] - lc[i]) * invT);
        aw[i] += wgt;
        ar[i] += wgt * tr[i];
        ag[i] += wgt * tg[i];
        ab[i] += wgt * tb[i];
        aa[i] += wgt * ta[i];
    }
}

void surfaceBlurTile(const SamplerView& v, const TileBuffer& out, const YUCISurfaceBlurKernel& k, float threshold) {
    const int m = k.radius - 1;  // window half-width
    const IRect& r = out.rect;
    const IRect area = r.inset(-m, -m);
    const ptrdiff_t pw = area.w;
    const size_t planeSize = size_t(pw) * area.h;
    Scratch& sc = scratch();
    float* base = grow(sc.planes, planeSize * 5);
    float* planes[4] = {base, base + planeSize, base + 2 * planeSize, base + 3 * planeSize};
    float* luma = base + 4 * planeSize;
    loadPlanes<true, true>(v, area, Edge::Clamp, planes, luma, pw);

    const int w = r.w;
    float* acc = grow(sc.acc, size_t(w) * 5);
    float* __restrict aw = acc;
    float* __restrict ar = acc + w;
    float* __restrict ag = acc + 2 * w;
    float* __restrict ab = acc + 3 * w;
    float* __restrict aa = acc + 4 * w;
    // Weight falls linearly to 0 at the threshold; at threshold 0 only equal brightness counts.
    const float invT = threshold > 0 ? 1.0f / threshold : 1.0e30f;
    const float* wt = k.weights.data();

    for (int y = r.y; y < r.bottom(); ++y) {
        std::fill(acc, acc + size_t(w) * 5, 0.0f);
        const ptrdiff_t centre = ptrdiff_t(y - area.y) * pw + m;
        const float* __restrict lc = luma + centre;
        for (int dy = -m; dy <= m; ++dy) {
            for (int dx = -m; dx <= m; ++dx) {
                const float s = wt[m + dy] * wt[m + dx];
                const ptrdiff_t o = centre + ptrdiff_t(dy) * pw + dx;
                surfaceBlurTap(w, s, invT, lc, luma + o, planes[0] + o, planes[1] + o, planes[2] + o, planes[3] + o,
                               aw, ar, ag, ab, aa);
            }
        }
        float* __restrict d = out.row(y);
        for (int i = 0; i < w; ++i) {
            const float inv = 1.0f / aw[i];  // the centre always counts
            d[4 * i] = ar[i] * inv;
            d[4 * i + 1] = ag[i] * inv;
            d[4 * i + 2] = ab[i] * inv;
            d[4 * i + 3] = aa[i] * inv;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Bilateral blur, one direction per pass.

KernelCache<YUCIBilateralKernel>& bilateralCache() {
    static auto* c = new KernelCache<YUCIBilateralKernel>;
    return *c;
}

struct BilateralPass {
    YUCIBilateralKernelPtr kernel;
    float spacing = 1;  // pixels between taps
    float factor = 5;   // distance normalisation
    int reach = 0;      // pixels read on either side
    bool horizontal = true;
};

// Adds one tap (linearly between two pixels, fraction f) to the accumulators of n pixels.
void bilateralTap(int n, float wk, float f, float factor, const float* __restrict cr, const float* __restrict cg,
                  const float* __restrict cb, const float* __restrict r0, const float* __restrict g0,
                  const float* __restrict b0, const float* __restrict a0, const float* __restrict r1,
                  const float* __restrict g1, const float* __restrict b1, const float* __restrict a1,
                  float* __restrict aw, float* __restrict ar, float* __restrict ag, float* __restrict ab,
                  float* __restrict aa) {
    for (int i = 0; i < n; ++i) {
        const float tr = r0[i] + (r1[i] - r0[i]) * f;
        const float tg = g0[i] + (g1[i] - g0[i]) * f;
        const float tb = b0[i] + (b1[i] - b0[i]) * f;
        const float ta = a0[i] + (a1[i] - a0[i]) * f;
        const float dr = tr - cr[i], dg = tg - cg[i], db = tb - cb[i];
        const float dist = std::sqrt(dr * dr + dg * dg + db * db);
        const float wgt = wk * std::max(0.0f, 1.0f - dist * factor);
        aw[i] += wgt;
        ar[i] += wgt * tr;
        ag[i] += wgt * tg;
        ab[i] += wgt * tb;
        aa[i] += wgt * ta;
    }
}

void bilateralTile(const SamplerView& v, const TileBuffer& out, const BilateralPass& pass) {
    const YUCIBilateralKernel& k = *pass.kernel;
    const IRect& r = out.rect;
    const int g = pass.reach;
    const IRect area = pass.horizontal ? IRect{r.x - g, r.y, r.w + 2 * g, r.h} : IRect{r.x, r.y - g, r.w, r.h + 2 * g};
    const ptrdiff_t pw = area.w;
    const size_t planeSize = size_t(pw) * area.h;
    Scratch& sc = scratch();
    float* base = grow(sc.planes, planeSize * 4);
    float* planes[4] = {base, base + planeSize, base + 2 * planeSize, base + 3 * planeSize};
    loadPlanes<true, false>(v, area, Edge::Transparent, planes, nullptr, pw);

    const int half = (k.sampleCount - 1) / 2;
    const ptrdiff_t step = pass.horizontal ? 1 : pw;
    const int w = r.w;
    float* acc = grow(sc.acc, size_t(w) * 5);
    float* __restrict aw = acc;
    float* __restrict ar = acc + w;
    float* __restrict ag = acc + 2 * w;
    float* __restrict ab = acc + 3 * w;
    float* __restrict aa = acc + 4 * w;
    const float factor = pass.factor;

    for (int y = r.y; y < r.bottom(); ++y) {
        std::fill(acc, acc + size_t(w) * 5, 0.0f);
        const ptrdiff_t centre = ptrdiff_t(y - area.y) * pw + (r.x - area.x);
        const float* __restrict cr = planes[0] + centre;
        const float* __restrict cg = planes[1] + centre;
        const float* __restrict cb = planes[2] + centre;
        for (int t = -half; t <= half; ++t) {
            const float off = float(t) * pass.spacing;
            float i0 = std::floor(off), f = off - i0;
            if (v.nearest) {
                i0 = std::floor(off + 0.5f);
                f = 0;
            }
            const ptrdiff_t o0 = centre + ptrdiff_t(i0) * step, o1 = o0 + step;
            const float wk = k.weights[size_t(std::abs(t))];
            bilateralTap(w, wk, f, factor, cr, cg, cb, planes[0] + o0, planes[1] + o0, planes[2] + o0, planes[3] + o0,
                         planes[0] + o1, planes[1] + o1, planes[2] + o1, planes[3] + o1, aw, ar, ag, ab, aa);
        }
        float* __restrict d = out.row(y);
        for (int i = 0; i < w; ++i) {
            const float inv = aw[i] > 0 ? 1.0f / aw[i] : 0.0f;
            d[4 * i] = ar[i] * inv;
            d[4 * i + 1] = ag[i] * inv;
            d[4 * i + 2] = ab[i] * inv;
            d[4 * i + 3] = aa[i] * inv;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Registration.

const std::map<std::string, FilterClassAttributes>& classAttributes() {
    static const auto* m = new std::map<std::string, FilterClassAttributes>{
        {"YUCIFXAA", {"Fast Approximate Anti-Aliasing", {kCategoryStillImage, kCategoryVideo}}},
        {"YUCIHistogramEqualization",
         {"Histogram Equalization", {kCategoryStillImage, kCategoryVideo, kCategoryColorAdjustment}}},
        {"YUCISurfaceBlur", {"Surface Blur", {kCategoryStillImage, kCategoryVideo, kCategoryBlur}}},
    };
    return *m;
}

}  // namespace

void registerSmoothingFilters() {
    static std::once_flag once;
    std::call_once(once, [] {
        YUCIFilterConstructor& ctor = YUCIFilterConstructor::constructor();
        for (const std::string& name : YUCIFilterConstructor::registeredNames())
            FilterRegistry::add(name, [&ctor, name] { return ctor.filterWithName(name); });
    });
}

YUCIFilterConstructor& YUCIFilterConstructor::constructor() {
    static YUCIFilterConstructor* c = new YUCIFilterConstructor;
    return *c;
}

FilterPtr YUCIFilterConstructor::filterWithName(const std::string& name) const {
    FilterPtr f;
    if (name == "YUCIFXAA")
        f = std::make_shared<YUCIFXAA>();
    else if (name == "YUCIHistogramEqualization")
        f = std::make_shared<YUCIHistogramEqualization>();
    else if (name == "YUCISurfaceBlur")
        f = std::make_shared<YUCISurfaceBlur>();
    if (f) f->setDefaults();
    return f;
}

const std::vector<std::string>& YUCIFilterConstructor::registeredNames() {
    static const auto* names = new std::vector<std::string>{"YUCIFXAA", "YUCIHistogramEqualization", "YUCISurfaceBlur"};
    return *names;
}

const FilterClassAttributes* YUCIFilterConstructor::attributesForName(const std::string& name) {
    const auto& m = classAttributes();
    auto it = m.find(name);
    return it == m.end() ? nullptr : &it->second;
}

// ---------------------------------------------------------------------------------------
// YUCIFXAA

YUCIFXAA::YUCIFXAA() : Filter("YUCIFXAA") {
    registerSmoothingFilters();
    declareInput("inputImage");
}

Image YUCIFXAA::outputImage() const {
    const Image in = inputImage();
    if (!in) return {};
    return detail::makeSampling(
        in.extent(), {in}, [](int, const IRect& d) { return d.inset(-kReach, -kReach); },
        [](const SamplerView* s, const TileBuffer& out) { fxaaTile(s[0], out); });
}

// ---------------------------------------------------------------------------------------
// YUCIHistogramEqualization

YUCIHistogramEqualization::YUCIHistogramEqualization() : Filter("YUCIHistogramEqualization") {
    registerSmoothingFilters();
    declareInput("inputImage");
}

const Context& YUCIHistogramEqualization::context() const {
    std::call_once(contextOnce_, [this] { context_ = std::make_unique<Context>(); });
    return *context_;
}

void YUCIHistogramEqualization::equalize(uint8_t* pixels, size_t n) {
    if (!pixels || n == 0) return;
    uint64_t hist[4][256] = {};
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) ++hist[c][pixels[i * 4 + size_t(c)]];
    uint8_t map[4][256];
    for (int c = 0; c < 4; ++c) {
        uint64_t cdfMin = 0;
        for (int v = 0; v < 256 && !cdfMin; ++v) cdfMin = hist[c][v];
        uint64_t cdf = 0;
        for (int v = 0; v < 256; ++v) {
            cdf += hist[c][v];
            if (cdfMin == n)
                map[c][v] = uint8_t(v);  // a single value: nothing to stretch
            else
                map[c][v] = uint8_t(std::lround(double(cdf - std::min(cdf, cdfMin)) * 255.0 / double(n - cdfMin)));
        }
    }
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) pixels[i * 4 + size_t(c)] = map[c][pixels[i * 4 + size_t(c)]];
}

Image YUCIHistogramEqualization::outputImage() const {
    const Image in = inputImage();
    if (!in) return {};
    const Rect e = in.extent();
    if (e.isInfinite() || e.isEmpty()) return {};
    const IRect r = e.integral();
    const size_t rowBytes = size_t(r.w) * 4;
    std::vector<uint8_t> buf(rowBytes * size_t(r.h), 0);
    context().render(in, Rect::fromIRect(r), PixelFormat::ARGB8, buf.data(), rowBytes);
    const size_t n = size_t(r.w) * size_t(r.h);
    equalize(buf.data(), n);
    for (size_t i = 0; i < n; ++i) {  // A, R, G, B -> R, G, B, A
        uint8_t* p = buf.data() + i * 4;
        const uint8_t a = p[0];
        p[0] = p[1];
        p[1] = p[2];
        p[2] = p[3];
        p[3] = a;
    }
    return Image::fromRGBA8(buf.data(), r.w, r.h, rowBytes, true);
}

// ---------------------------------------------------------------------------------------
// YUCISurfaceBlur

YUCISurfaceBlur::YUCISurfaceBlur() : Filter("YUCISurfaceBlur") {
    registerSmoothingFilters();
    declareInput("inputImage");
    declareInput("inputRadius", 10.0);
    declareInput("inputThreshold", 10.0);
}

double YUCISurfaceBlur::inputRadius() const { return numberInput(*this, "inputRadius", 10.0); }
double YUCISurfaceBlur::inputThreshold() const { return numberInput(*this, "inputThreshold", 10.0); }

YUCISurfaceBlurKernelPtr YUCISurfaceBlur::filterKernelForRadius(int radius) {
    if (radius <= 0) return nullptr;
    const int n = std::min(radius, kMaxRadius);
    return surfaceBlurCache().get(n, [n] {
        auto k = std::make_shared<YUCISurfaceBlurKernel>();
        k->radius = n;
        k->sampleCount = 2 * n;
        k->weights.assign(size_t(2 * n - 1), 0.0f);
        for (int i = 0; i < n; ++i) {
            const float w = float(gaussian(i, n));
            k->weights[size_t(n - 1 - i)] = w;
            k->weights[size_t(n - 1 + i)] = w;
        }
        return YUCISurfaceBlurKernelPtr(std::move(k));
    });
}

Image YUCISurfaceBlur::outputImage() const {
    const Image in = inputImage();
    if (!in) return {};
    const double radius = inputRadius(), threshold = inputThreshold();
    // Not-a-number settings pass through like out-of-range ones.
    if (!(radius >= 1) || !(threshold >= 0)) return in;
    const int n = int(std::min(radius, double(kMaxRadius)));
    YUCISurfaceBlurKernelPtr kernel = filterKernelForRadius(n);
    if (!kernel) return {};
    const float t = float(std::min(threshold, 1.0e6) / 255.0 * 2.0);
    return detail::makeSampling(
        in.extent(), {in}, [n](int, const IRect& d) { return d.inset(-n, -n); },
        [kernel, t](const SamplerView* s, const TileBuffer& out) { surfaceBlurTile(s[0], out, *kernel, t); });
}

// ---------------------------------------------------------------------------------------
// YUCIBilateralFilter

YUCIBilateralFilter::YUCIBilateralFilter() : Filter("YUCIBilateralFilter") {
    declareInput("inputImage");
    declareInput("inputRadius", 10.0);
    declareInput("inputTexelSpacingMultiplier", 1.0);
    declareInput("inputDistanceNormalizationFactor", 5.0);
}

double YUCIBilateralFilter::inputRadius() const { return numberInput(*this, "inputRadius", 10.0); }
double YUCIBilateralFilter::inputTexelSpacingMultiplier() const {
    return numberInput(*this, "inputTexelSpacingMultiplier", 1.0);
}
double YUCIBilateralFilter::inputDistanceNormalizationFactor() const {
    return numberInput(*this, "inputDistanceNormalizationFactor", 5.0);
}

int YUCIBilateralFilter::sampleCountForRadius(int radius) {
    if (radius <= 0) return 1;
    const double sigma = radius;
    const double l = std::sqrt(-2 * sigma * sigma * std::log(std::sqrt(2 * std::numbers::pi * sigma * sigma) / 256));
    // Past σ ≈ 102 the peak itself is below 1/256 and there is no cut-off distance.
    if (!(l >= 1)) return 1;
    int m = int(std::floor(l));
    if (m % 2) ++m;
    return std::max(1, m - 1);
}

YUCIBilateralKernelPtr YUCIBilateralFilter::filterKernelForRadius(int radius) {
    const int count = sampleCountForRadius(radius);
    return bilateralCache().get(count, [count, radius] {
        auto k = std::make_shared<YUCIBilateralKernel>();
        k->sampleCount = count;
        const int entries = (count + 1) / 2;
        std::vector<double> w(static_cast<size_t>(entries));
        double total = 0;
        for (int i = 0; i < entries; ++i) {
            w[size_t(i)] = count > 1 ? gaussian(i, radius) : 1.0;
            total += i == 0 ? w[size_t(i)] : 2 * w[size_t(i)];
        }
        for (double x : w) k->weights.push_back(float(x / total));
        return YUCIBilateralKernelPtr(std::move(k));
    });
}

Image YUCIBilateralFilter::outputImage() const {
    const Image in = inputImage();
    if (!in) return {};
    const double radius = inputRadius();
    const int r = radius >= 1 ? int(std::min(radius, 1.0e6)) : 0;
    BilateralPass pass;
    pass.kernel = filterKernelForRadius(r);
    if (!pass.kernel) return {};
    double spacing = inputTexelSpacingMultiplier();
    if (!std::isfinite(spacing)) spacing = 1.0;
    spacing = std::clamp(spacing, -256.0, 256.0);
    double factor = inputDistanceNormalizationFactor();
    if (!std::isfinite(factor)) factor = 5.0;
    pass.spacing = float(spacing);
    pass.factor = float(factor);
    const int half = (pass.kernel->sampleCount - 1) / 2;
    // The region of interest grows by count × spacing / 2, and at least by what the taps
    // (with their bilinear neighbour) reach.
    const double d = pass.kernel->sampleCount * std::fabs(spacing) * 0.5;
    pass.reach = std::max(int(std::ceil(d)), int(std::ceil(half * std::fabs(spacing))) + 1);

    const int g = pass.reach;
    BilateralPass h = pass, v = pass;
    h.horizontal = true;
    v.horizontal = false;
    const Image pass1 = detail::makeSampling(
        in.extent(), {in}, [g](int, const IRect& dst) { return dst.inset(-g, 0); },
        [h](const SamplerView* s, const TileBuffer& out) { bilateralTile(s[0], out, h); });
    return detail::makeSampling(
        pass1.extent(), {pass1}, [g](int, const IRect& dst) { return dst.inset(0, -g); },
        [v](const SamplerView* s, const TileBuffer& out) { bilateralTile(s[0], out, v); });
}

// ---------------------------------------------------------------------------------------
// Kernel-library forwards: one shared filter each, kept apart by a lock held from setting
// the input to reading the output (the output is a new recipe, independent of later calls).

Image QXVideoFilterUtilities::FXAA(const Image& image) {
    registerSmoothingFilters();
    static std::mutex mutex;
    static YUCIFXAA* filter = new YUCIFXAA;
    std::lock_guard lock(mutex);
    filter->setInputImage(image);
    Image out = filter->outputImage();
    filter->setInputImage(Image());  // do not keep the caller's frame alive
    return out;
}

Image QXVideoFilterUtilities::surfaceBlur(const Image& image, double radius, double threshold) {
    registerSmoothingFilters();
    static std::mutex mutex;
    static YUCISurfaceBlur* filter = new YUCISurfaceBlur;
    std::lock_guard lock(mutex);
    filter->setInputImage(image);
    filter->setInputRadius(radius);
    filter->setInputThreshold(threshold);
    Image out = filter->outputImage();
    filter->setInputImage(Image());
    return out;
}

}  // namespace vellari
