// Edge tangent flow: the initial field from the grey gradient, its coherence smoothing,
// smoothing of an image along the field, and the base object's line drawing.
//
// The kernels work on a tile at a time. The gradient and coherence passes copy the padded
// input once into per-thread planes of floats so that the inner loops run over x without
// bounds checks or calls; the flow-guided smoothing reads its inputs in place, its sample
// positions computed a row at a time in vectorised loops and clamped to the held pixels.

#include "edge_flow.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "vellari/common/connected_components.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_abstract.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/node.h"

namespace vellari {
namespace {

using detail::threadScratch;

// Visits the RGBA pixels of `p` from `s` in row order, calling emit(pixel, index) with the
// index into a p.w × p.h plane. Pixels the view does not hold are transparent, or with
// `clamp` the nearest held pixel (the image's edge repeated, so that gradients and blurs
// do not see a black frame). `emit` is inlined: the copy and the conversion to planes are
// one pass.
template <class Emit>
void fetchPlanes(const SamplerView& s, const IRect& p, bool clamp, Emit&& emit) {
    static const float kClear[4] = {0, 0, 0, 0};
    const IRect held = s.rect;
    for (int y = p.y; y < p.bottom(); ++y) {
        const size_t base = size_t(y - p.y) * p.w;
        const bool inside = !held.empty() && y >= held.y && y < held.bottom();
        if (held.empty() || (!inside && !clamp)) {
            for (int x = 0; x < p.w; ++x) emit(kClear, base + x);
            continue;
        }
        const float* src = s.row(std::clamp(y, held.y, held.bottom() - 1));
        const float* left = clamp ? src + ptrdiff_t(held.x) * 4 : kClear;
        const float* right = clamp ? src + ptrdiff_t(held.right() - 1) * 4 : kClear;
        const int x0 = std::clamp(held.x, p.x, p.right()), x1 = std::clamp(held.right(), x0, p.right());
        for (int x = p.x; x < x0; ++x) emit(left, base + (x - p.x));
        for (int x = x0; x < x1; ++x) emit(src + ptrdiff_t(x) * 4, base + (x - p.x));
        for (int x = x1; x < p.right(); ++x) emit(right, base + (x - p.x));
    }
}

// Flow-field planes of a padded tile: tangent (tx, ty) and magnitude g. Transparent pixels
// (outside the field) decode to the zero vector, so they take part in no sum.
void fetchField(const SamplerView& s, const IRect& p, float* tx, float* ty, float* g) {
    fetchPlanes(s, p, false, [=](const float* q, size_t i) {
        const float on = q[3] > 0.5f ? 1.0f : 0.0f;
        tx[i] = on * (2.0f * q[0] - 1.0f);
        ty[i] = on * (2.0f * q[1] - 1.0f);
        g[i] = on * std::clamp(q[2], 0.0f, 1.0f);
    });
}

inline void encodeField(float* out, float tx, float ty, float g) {
    out[0] = 0.5f + 0.5f * tx;
    out[1] = 0.5f + 0.5f * ty;
    out[2] = g;
    out[3] = 1.0f;
}

// ---------------------------------------------------------------- initial field

// A full black-to-white step gives a Sobel magnitude of 4 (weights 1, 2, 1 on each side);
// the magnitude is divided by that so such a step reads 1, times the kernel's scale argument.
constexpr float kSobelStep = 4.0f;
constexpr float kFlatGradient = 1e-5f;

void convertToFlowKernel(const GeneralTile& t) {
    const float scale = (t.valCount > 0 ? t.val[0][0] : 1.0f) / kSobelStep;
    const IRect p = t.rect.inset(-1, -1);
    const size_t n = size_t(p.w) * p.h;
    float* v = threadScratch(1, n);
    fetchPlanes(t.src[0], p, true, [v](const float* q, size_t i) { v[i] = q[0]; });
    const int W = p.w;
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const float* __restrict a = v + size_t(y - p.y - 1) * W + 1;  // row above, aligned to x
        const float* __restrict b = a + W;
        const float* __restrict c = b + W;
        float* __restrict out = t.row(y);
        for (int i = 0; i < t.rect.w; ++i) {
            const float gx = (a[i + 1] + 2.0f * b[i + 1] + c[i + 1]) - (a[i - 1] + 2.0f * b[i - 1] + c[i - 1]);
            const float gy = (c[i - 1] + 2.0f * c[i] + c[i + 1]) - (a[i - 1] + 2.0f * a[i] + a[i + 1]);
            const float m = std::sqrt(gx * gx + gy * gy);
            const float inv = m > kFlatGradient ? 1.0f / m : 0.0f;
            encodeField(out + i * 4, -gy * inv, gx * inv, std::min(1.0f, m * scale));
        }
    }
}

IRect growByOne(int, const IRect& d, const ArgValue*, int) { return d.inset(-1, -1); }

// ---------------------------------------------------------------- coherence smoothing

int radiusArgument(const ArgValue* values, int count) {
    if (count < 1) return 0;
    return std::clamp(int(std::lround(values[0][0])), 0, 64);
}

// tanh on [-1, 1] (magnitudes lie in [0, 1]) by its [5/4] Padé approximant: error below
// 1e-6 there, and still monotone and bounded by 1 a little beyond.
inline float tanhApprox(float x) {
    const float x2 = x * x;
    return x * (945.0f + x2 * (105.0f + x2)) / (945.0f + x2 * (420.0f + 15.0f * x2));
}

// One neighbour offset over a row: the weighted neighbour tangents added to (sx, sy).
// Kept out of line with unaliased pointers so that it vectorises.
__attribute__((noinline)) void accumulateTap(const float* __restrict cx, const float* __restrict cy,
                                             const float* __restrict cg, const float* __restrict nx,
                                             const float* __restrict ny, const float* __restrict ng,
                                             float* __restrict sx, float* __restrict sy, int n) {
    for (int i = 0; i < n; ++i) {
        // sign(t·t')·|t·t'| is the dot product itself
        const float d = cx[i] * nx[i] + cy[i] * ny[i];
        const float k = d * (0.5f + 0.5f * tanhApprox(ng[i] - cg[i]));
        sx[i] += k * nx[i];
        sy[i] += k * ny[i];
    }
}

// The disc of radius r around each of the n pixels from (cx, cy, cg), in planes of row
// stride W: the weighted neighbour tangents summed into (sx, sy).
void sumDisc(const float* cx, const float* cy, const float* cg, int W, int r, int n, float* __restrict sx,
             float* __restrict sy) {
    std::fill(sx, sx + n, 0.0f);
    std::fill(sy, sy + n, 0.0f);
    const float reach2 = (r + 0.5f) * (r + 0.5f);
    for (int dy = -r; dy <= r; ++dy) {
        const int reach = int(std::sqrt(std::max(0.0f, reach2 - float(dy * dy))));
        for (int dx = -std::min(reach, r); dx <= std::min(reach, r); ++dx) {
            const ptrdiff_t off = ptrdiff_t(dy) * W + dx;
            accumulateTap(cx, cy, cg, cx + off, cy + off, cg + off, sx, sy, n);
        }
    }
}

// The summed tangent normalised; where the sum vanishes the pixel keeps its own.
inline void normalisedTangent(float sx, float sy, float cx, float cy, float& ox, float& oy) {
    const float l2 = sx * sx + sy * sy;
    const bool keep = l2 < 1e-12f;
    const float inv = keep ? 0.0f : 1.0f / std::sqrt(l2);
    ox = keep ? cx : sx * inv;
    oy = keep ? cy : sy * inv;
}

void etfKernel(const GeneralTile& t) {
    const int r = radiusArgument(t.val, t.valCount);
    const IRect p = t.rect.inset(-r, -r);
    const size_t n = size_t(p.w) * p.h;
    float* TX = threadScratch(1, n);
    float* TY = threadScratch(2, n);
    float* G = threadScratch(3, n);
    fetchField(t.src[0], p, TX, TY, G);
    const int w = t.rect.w, W = p.w;
    float* __restrict sx = threadScratch(4, size_t(w));
    float* __restrict sy = threadScratch(5, size_t(w));
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const size_t centre = size_t(y - p.y) * W + r;
        const float* cx = TX + centre;
        const float* cy = TY + centre;
        const float* cg = G + centre;
        sumDisc(cx, cy, cg, W, r, w, sx, sy);
        float* __restrict out = t.row(y);
        for (int i = 0; i < w; ++i) {
            float ox, oy;
            normalisedTangent(sx[i], sy[i], cx[i], cy[i], ox, oy);
            encodeField(out + i * 4, ox, oy, cg[i]);
        }
    }
}

// Several ETF08 passes over one tile, as the chain of single passes computes them: pass
// k runs over the tile grown by what the later passes read, and the field stays in planes
// between passes instead of being encoded, stored and fetched again. Pixels the input does
// not hold stay the zero vector, as a single pass reads them.
constexpr int kMaxFusedEtfPasses = 8;

int etfPassesArgument(const ArgValue* values, int count) {
    return count < 2 ? 1 : std::clamp(int(std::lround(values[1][0])), 1, kMaxFusedEtfPasses);
}

void etfPassesKernel(const GeneralTile& t) {
    const int r = radiusArgument(t.val, t.valCount);
    const int passes = etfPassesArgument(t.val, t.valCount);
    const IRect held = t.src[0].rect;
    const IRect p = t.rect.inset(-passes * r, -passes * r);
    const size_t n = size_t(p.w) * p.h;
    float* TX = threadScratch(1, n);
    float* TY = threadScratch(2, n);
    float* G = threadScratch(3, n);
    float* UX = threadScratch(6, n);
    float* UY = threadScratch(7, n);
    fetchField(t.src[0], p, TX, TY, G);
    const int W = p.w;
    float* __restrict sx = threadScratch(4, size_t(W));
    float* __restrict sy = threadScratch(5, size_t(W));
    for (int pass = 1; pass <= passes; ++pass) {
        const int grow = (passes - pass) * r;
        const IRect q = t.rect.inset(-grow, -grow);
        const bool last = pass == passes;
        for (int y = q.y; y < q.bottom(); ++y) {
            const size_t centre = size_t(y - p.y) * W + size_t(q.x - p.x);
            const float* cx = TX + centre;
            const float* cy = TY + centre;
            const float* cg = G + centre;
            sumDisc(cx, cy, cg, W, r, q.w, sx, sy);
            if (last) {
                float* __restrict out = t.row(y);
                for (int i = 0; i < q.w; ++i) {
                    float ox, oy;
                    normalisedTangent(sx[i], sy[i], cx[i], cy[i], ox, oy);
                    encodeField(out + i * 4, ox, oy, cg[i]);
                }
                continue;
            }
            float* __restrict ux = UX + centre;
            float* __restrict uy = UY + centre;
            const bool rowHeld = y >= held.y && y < held.bottom();
            for (int i = 0; i < q.w; ++i) {
                const int x = q.x + i;
                const bool inside = rowHeld && x >= held.x && x < held.right();
                float ox, oy;
                normalisedTangent(sx[i], sy[i], cx[i], cy[i], ox, oy);
                ux[i] = inside ? ox : 0.0f;
                uy[i] = inside ? oy : 0.0f;
            }
        }
        if (!last) {
            std::swap(TX, UX);
            std::swap(TY, UY);
        }
    }
}

IRect growByRadius(int, const IRect& d, const ArgValue* values, int count) {
    const int r = radiusArgument(values, count);
    return d.inset(-r, -r);
}

IRect growByRadiusPasses(int, const IRect& d, const ArgValue* values, int count) {
    const int g = radiusArgument(values, count) * etfPassesArgument(values, count);
    return d.inset(-g, -g);
}

// ---------------------------------------------------------------- flow-guided smoothing
//
// A line integral over ±4 one-pixel steps along the flow with Gaussian weights (σ = 2).
// Neighbouring steps are taken in pairs, each pair as one bilinear sample placed between
// them by their weights (the linear-sampling form of a Gaussian), so a pixel costs four
// samples instead of eight. The walk follows the field: the first pair lies along the
// pixel's own tangent, the second along the tangent found two steps out, turned to keep
// the walking sense. Samples are clamped to the image, whose edge thus repeats.

constexpr float kFlowSigma = 2.0f;
constexpr int kFlowPad = 5;   // image pixels read beyond the tile: four steps and a neighbour
constexpr int kFieldPad = 3;  // field pixels read beyond the tile: two steps out, rounded

struct FlowTaps {
    float centre, near, far;  // weights of the pixel and of each pair
    float nearAt, farAt;      // pair positions: from the pixel, and from the point two steps out
    float norm;
};

FlowTaps flowTaps() {
    float w[5];
    for (int k = 0; k < 5; ++k) w[k] = std::exp(-float(k * k) / (2.0f * kFlowSigma * kFlowSigma));
    FlowTaps f;
    f.centre = w[0];
    f.near = w[1] + w[2];
    f.far = w[3] + w[4];
    f.nearAt = 1.0f + w[2] / f.near;
    f.farAt = 1.0f + w[4] / f.far;
    f.norm = 1.0f / (f.centre + 2.0f * f.near + 2.0f * f.far);
    return f;
}

// RGBA float pixels readable over `rect`; `origin` holds pixel (rect.x, rect.y).
struct Plane {
    const float* origin;
    int stride;  // floats per row
    IRect rect;
};

// The view's own pixels when they cover the tile (samples beyond are clamped to them),
// else a copy of the tile grown by `pad`, the missing pixels repeated from the edge
// (`clamp`) or transparent. Bilinear pairs need at least 2 × 2 pixels.
Plane heldOrCopied(const SamplerView& s, const IRect& tile, int pad, bool clamp, int slot) {
    if (!s.rect.empty() && s.rect.contains(tile) && s.rect.w >= 2 && s.rect.h >= 2 && s.stride < (1 << 26))
        return {s.data, int(s.stride), s.rect};
    const IRect p = tile.inset(-pad, -pad);
    float* buf = threadScratch(slot, size_t(p.w) * p.h * 4);
    fetchPlanes(s, p, clamp, [buf](const float* q, size_t i) { std::memcpy(buf + i * 4, q, 16); });
    return {buf, p.w * 4, p};
}

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));
inline v4f load4(const float* p) {
    v4f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline v8f load8(const float* p) {
    v8f v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Per output row: the pixels' tangents, the field pixels two steps out, and where each of
// a pixel's four samples lies (float offset of its top-left neighbour in the image plane)
// with its bilinear fractions.
struct FlowRow {
    float *tx, *ty;           // the pixels' unit tangents
    int32_t *ahead, *behind;  // field offsets two steps out each way
    float* seen[6];           // red, green and alpha read there, ahead then behind
    int32_t* off[4];
    float* fx[4];
    float* fy[4];
};

// A sample at local image position (px, py), clamped to the plane.
template <bool Nearest>
inline void placeSample(float px, float py, float maxX, float maxY, int lastX, int lastY, int stride, int32_t& off,
                        float& fx, float& fy) {
    px = std::min(std::max(px, 0.0f), maxX);
    py = std::min(std::max(py, 0.0f), maxY);
    if constexpr (Nearest) {
        px = float(int(px + 0.5f));
        py = float(int(py + 0.5f));
    }
    const int ix = std::min(int(px), lastX), iy = std::min(int(py), lastY);
    fx = px - float(ix);
    fy = py - float(iy);
    off = iy * stride + ix * 4;
}

// Unit vector of an encoded tangent; zero where the field holds none (flat, or outside).
inline void decodeUnit(float r, float g, float a, float& x, float& y) {
    const float on = a > 0.5f ? 1.0f : 0.0f;
    x = on * (2.0f * r - 1.0f);
    y = on * (2.0f * g - 1.0f);
    const float l2 = x * x + y * y;
    const float inv = l2 > 1e-6f ? 1.0f / std::sqrt(l2) : 0.0f;
    x *= inv;
    y *= inv;
}

// Places the samples of the `n` pixels of row `y` from x0, in three loops: the first and
// the last vectorise; the look-ups two steps out between them are plain loads (gathers
// cost more than they save here).
template <bool Nearest>
void placeFlowSamples(const Plane& img, const Plane& fld, int x0, int y, int n, const FlowTaps& k,
                      const FlowRow& s) {
    const float* __restrict F = fld.origin;
    const int fs = fld.stride;
    const float* __restrict c = F + ptrdiff_t(y - fld.rect.y) * fs + ptrdiff_t(x0 - fld.rect.x) * 4;
    const float fMaxX = float(fld.rect.w - 1), fMaxY = float(fld.rect.h - 1);
    const float gx0 = float(x0 - fld.rect.x), gy = float(y - fld.rect.y);
    float *__restrict tx = s.tx, *__restrict ty = s.ty;
    int32_t *__restrict ahead = s.ahead, *__restrict behind = s.behind;
    for (int i = 0; i < n; ++i) {
        float x, yy;
        decodeUnit(c[i * 4], c[i * 4 + 1], c[i * 4 + 3], x, yy);
        tx[i] = x;
        ty[i] = yy;
        const float gx = gx0 + float(i);
        ahead[i] = int(std::min(std::max(gy + 2 * yy, 0.0f), fMaxY) + 0.5f) * fs +
                   int(std::min(std::max(gx + 2 * x, 0.0f), fMaxX) + 0.5f) * 4;
        behind[i] = int(std::min(std::max(gy - 2 * yy, 0.0f), fMaxY) + 0.5f) * fs +
                    int(std::min(std::max(gx - 2 * x, 0.0f), fMaxX) + 0.5f) * 4;
    }
    float *__restrict ar = s.seen[0], *__restrict ag = s.seen[1], *__restrict aa = s.seen[2];
    float *__restrict br = s.seen[3], *__restrict bg = s.seen[4], *__restrict ba = s.seen[5];
    for (int i = 0; i < n; ++i) {
        const float* a = F + ahead[i];
        const float* b = F + behind[i];
        ar[i] = a[0];
        ag[i] = a[1];
        aa[i] = a[3];
        br[i] = b[0];
        bg[i] = b[1];
        ba[i] = b[3];
#if defined(__GNUC__) && !defined(__clang__)
        asm("" ::: "memory");  // keep this loop scalar
#endif
    }
    const float iMaxX = float(img.rect.w - 1), iMaxY = float(img.rect.h - 1);
    const int iLastX = img.rect.w - 2, iLastY = img.rect.h - 2, is = img.stride;
    const float lx0 = float(x0 - img.rect.x), ly = float(y - img.rect.y);
    int32_t *__restrict o0 = s.off[0], *__restrict o1 = s.off[1], *__restrict o2 = s.off[2], *__restrict o3 = s.off[3];
    float *__restrict fx0 = s.fx[0], *__restrict fx1 = s.fx[1], *__restrict fx2 = s.fx[2], *__restrict fx3 = s.fx[3];
    float *__restrict fy0 = s.fy[0], *__restrict fy1 = s.fy[1], *__restrict fy2 = s.fy[2], *__restrict fy3 = s.fy[3];
#pragma GCC ivdep  // the row arrays are distinct
    for (int i = 0; i < n; ++i) {
        const float x = tx[i], yy = ty[i];  // zero: every sample on the pixel itself
        const float lx = lx0 + float(i);
        // the tangents two steps out, turned to the walking sense; straight on where the
        // field holds none
        float ax, ay, bx, by;
        decodeUnit(ar[i], ag[i], aa[i], ax, ay);
        decodeUnit(br[i], bg[i], ba[i], bx, by);
        const float sa = ax * x + ay * yy < 0 ? -1.0f : 1.0f;
        const float sb = bx * x + by * yy > 0 ? -1.0f : 1.0f;
        const bool ka = ax * ax + ay * ay > 0.5f, kb = bx * bx + by * by > 0.5f;
        ax = ka ? sa * ax : x;
        ay = ka ? sa * ay : yy;
        bx = kb ? sb * bx : -x;
        by = kb ? sb * by : -yy;
        placeSample<Nearest>(lx + k.nearAt * x, ly + k.nearAt * yy, iMaxX, iMaxY, iLastX, iLastY, is, o0[i], fx0[i],
                             fy0[i]);
        placeSample<Nearest>(lx + 2 * x + k.farAt * ax, ly + 2 * yy + k.farAt * ay, iMaxX, iMaxY, iLastX, iLastY, is,
                             o1[i], fx1[i], fy1[i]);
        placeSample<Nearest>(lx - k.nearAt * x, ly - k.nearAt * yy, iMaxX, iMaxY, iLastX, iLastY, is, o2[i], fx2[i],
                             fy2[i]);
        placeSample<Nearest>(lx - 2 * x + k.farAt * bx, ly - 2 * yy + k.farAt * by, iMaxX, iMaxY, iLastX, iLastY, is,
                             o3[i], fx3[i], fy3[i]);
    }
}

// Sums the pixel and its four samples, all four channels at once.
void sumFlowSamples(const Plane& img, int x0, int y, int n, const FlowTaps& k, const FlowRow& s,
                    float* __restrict out) {
    const float* base = img.origin;
    const int is = img.stride;
    const float* centre = base + ptrdiff_t(y - img.rect.y) * is + ptrdiff_t(x0 - img.rect.x) * 4;
    const float weight[4] = {k.near * k.norm, k.far * k.norm, k.near * k.norm, k.far * k.norm};
    for (int i = 0; i < n; ++i) {
        v4f acc = load4(centre + i * 4) * (k.centre * k.norm);
        for (int j = 0; j < 4; ++j) {
            const float* p = base + s.off[j][i];
            const v8f top = load8(p), bottom = load8(p + is);  // two neighbours each
            const v8f m = top + (bottom - top) * s.fy[j][i];
            const v4f left = __builtin_shufflevector(m, m, 0, 1, 2, 3);
            const v4f right = __builtin_shufflevector(m, m, 4, 5, 6, 7);
            acc += (left + (right - left) * s.fx[j][i]) * weight[j];
        }
        std::memcpy(out + i * 4, &acc, sizeof acc);
    }
}

// Per-thread arrays of FlowRows for `w` pixels a row: each of `rows` rows keeps its
// sample placement (offsets and fractions), so that it can be reused; the values used
// only while placing are shared.
struct FlowRowStore {
    float* floats;
    int32_t* ints;
    size_t w;
    FlowRow row(int k) const {
        FlowRow s;
        s.tx = floats;
        s.ty = floats + w;
        for (int j = 0; j < 6; ++j) s.seen[j] = floats + (2 + j) * w;
        s.ahead = ints;
        s.behind = ints + w;
        float* f = floats + 8 * w + size_t(k) * w * 8;
        int32_t* n = ints + 2 * w + size_t(k) * w * 4;
        for (int j = 0; j < 4; ++j) {
            s.fx[j] = f + (2 * j) * w;
            s.fy[j] = f + (2 * j + 1) * w;
            s.off[j] = n + j * w;
        }
        return s;
    }
};

FlowRowStore flowRowStore(size_t w, size_t rows) {
    thread_local std::vector<int32_t> ints;
    if (ints.size() < w * (2 + rows * 4)) ints.resize(w * (2 + rows * 4));
    return {threadScratch(3, w * (8 + rows * 8)), ints.data(), w};
}

void placeRow(bool nearest, const Plane& img, const Plane& fld, int x0, int y, int n, const FlowTaps& taps,
              const FlowRow& s) {
    if (nearest)
        placeFlowSamples<true>(img, fld, x0, y, n, taps, s);
    else
        placeFlowSamples<false>(img, fld, x0, y, n, taps, s);
}

void flowBlurKernel(const GeneralTile& t) {
    static const FlowTaps taps = flowTaps();
    const IRect& r = t.rect;
    const Plane img = heldOrCopied(t.src[0], r, kFlowPad, true, 1);
    const Plane fld = heldOrCopied(t.src[1], r, kFieldPad, false, 2);
    const FlowRowStore store = flowRowStore(size_t(r.w), 1);
    const FlowRow s = store.row(0);
    const bool nearest = t.src[0].nearest;
    // Column strips, so that the rows a row of samples reaches stay in the nearest cache.
    constexpr int kStrip = 64;
    for (int x0 = r.x; x0 < r.right(); x0 += kStrip) {
        const int n = std::min(kStrip, r.right() - x0);
        for (int y = r.y; y < r.bottom(); ++y) {
            placeRow(nearest, img, fld, x0, y, n, taps, s);
            sumFlowSamples(img, x0, y, n, taps, s, t.row(y) + (x0 - r.x) * 4);
        }
    }
}

// Several passes of flowBlur07 over one tile, as the chain of single passes computes
// them: each pass runs over the tile grown by what the passes after it read, inside the
// image, which also bounds every sample. The field is the same for all passes, so the
// sample placement is computed once and the passes only sum.
constexpr int kMaxFusedPasses = 8;

int passesArgument(const ArgValue* values, int count) {
    return count < 1 ? 1 : std::clamp(int(std::lround(values[0][0])), 1, kMaxFusedPasses);
}

void flowPassesKernel(const GeneralTile& t) {
    static const FlowTaps taps = flowTaps();
    const int passes = passesArgument(t.val, t.valCount);
    const SamplerView& in = t.src[0];
    const IRect bound = in.rect;  // the image as held: samples are clamped to it
    const IRect r = t.rect.intersect(bound);
    if (!(r == t.rect))  // not held: transparent
        for (int y = t.rect.y; y < t.rect.bottom(); ++y) std::memset(t.row(y), 0, size_t(t.rect.w) * 16);
    if (r.empty() || bound.w < 2 || bound.h < 2) return;  // bilinear samples need 2 × 2 pixels
    const IRect outer = r.inset(-passes * kFlowPad, -passes * kFlowPad).intersect(bound);
    auto region = [&](int pass) {  // pixels pass k (1-based) computes
        const int g = (passes - pass) * kFlowPad;
        return r.inset(-g, -g).intersect(bound);
    };
    const IRect placed = region(1);

    // Ping-pong planes over `outer`; the input copied once.
    const size_t planeFloats = size_t(outer.w) * outer.h * 4;
    float* a = threadScratch(4, planeFloats);
    float* b = threadScratch(5, planeFloats);
    for (int y = outer.y; y < outer.bottom(); ++y)
        std::memcpy(a + size_t(y - outer.y) * outer.w * 4, in.row(y) + ptrdiff_t(outer.x) * 4,
                    size_t(outer.w) * 16);
    Plane src{a, outer.w * 4, outer}, dst{b, outer.w * 4, outer};
    const Plane fld = heldOrCopied(t.src[1], placed, kFieldPad, false, 2);

    const FlowRowStore store = flowRowStore(size_t(placed.w), size_t(placed.h));
    auto placeAll = [&](bool nearest) {
        for (int y = placed.y; y < placed.bottom(); ++y)
            placeRow(nearest, src, fld, placed.x, y, placed.w, taps, store.row(y - placed.y));
    };
    // Only the first pass reads the input itself, with its sampling mode; the passes
    // after it read an intermediate, which samples linearly.
    placeAll(in.nearest);
    for (int pass = 1; pass <= passes; ++pass) {
        if (pass == 2 && in.nearest) placeAll(false);
        const IRect q = region(pass);
        const int dx = q.x - placed.x;
        for (int y = q.y; y < q.bottom(); ++y) {
            FlowRow s = store.row(y - placed.y);
            for (int j = 0; j < 4; ++j) {
                s.off[j] += dx;
                s.fx[j] += dx;
                s.fy[j] += dx;
            }
            float* out = pass == passes ? t.row(y) + (q.x - t.rect.x) * 4
                                        : (dst.origin == a ? a : b) + size_t(y - outer.y) * outer.w * 4 +
                                              size_t(q.x - outer.x) * 4;
            sumFlowSamples(src, q.x, y, q.w, taps, s, out);
        }
        std::swap(src, dst);
    }
}

IRect growByWalk(int index, const IRect& d, const ArgValue*, int) {
    return index == 0 ? d.inset(-kFlowPad, -kFlowPad) : d.inset(-kFieldPad, -kFieldPad);
}

IRect growByPasses(int index, const IRect& d, const ArgValue* values, int count) {
    const int g = (passesArgument(values, count) - 1) * kFlowPad;
    return index == 0 ? d.inset(-g - kFlowPad, -g - kFlowPad) : d.inset(-g - kFieldPad, -g - kFieldPad);
}

Image named(const std::string& name, const std::vector<KernelArg>& args) {
    return QXCoreImageUtilities::applyMetalKernelNamed(name, args);
}

}  // namespace

void registerEdgeFlowKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        KernelRegistry::add(
            Kernel::makeGeneral("ETFconvertValueToNormalizedPerpNormalMap", convertToFlowKernel, growByOne));
        KernelRegistry::add(Kernel::makeGeneral("ETF08", etfKernel, growByRadius));
        KernelRegistry::add(Kernel::makeGeneral("ETF08Passes", etfPassesKernel, growByRadiusPasses));
        KernelRegistry::add(Kernel::makeGeneral("flowBlur07", flowBlurKernel, growByWalk));
        KernelRegistry::add(Kernel::makeGeneral("flowBlur07Passes", flowPassesKernel, growByPasses));
    });
}

Image QXVideoFilterAbstract::computeEdgeTangentFlow(const Image& image) {
    registerEngineKernels();
    registerEdgeFlowKernels();
    if (!image) return {};
    const Image grey = named("grayscale", {image});
    Image field = named("ETFconvertValueToNormalizedPerpNormalMap", {grey, 1.0});
    // Passes are fused a few at a time; the field is that of the single passes.
    for (int64_t done = 0; done < ETFIterations && field;) {
        const int64_t k = std::min<int64_t>(ETFIterations - done, kMaxFusedEtfPasses);
        field = k == 1 ? named("ETF08", {field, double(ETFRadius)})
                       : named("ETF08Passes", {field, double(ETFRadius), double(k)});
        done += k;
    }
    return field;
}

Image QXVideoFilterAbstract::reduceNoise(const Image& image, const Image& field, uint64_t iterations) {
    registerEdgeFlowKernels();
    if (!image) return {};
    Image result = image;
    const Rect e = image.extent();
    // Passes are fused a few at a time where the image is large enough to hold a bilinear
    // sample; the result is that of the single passes.
    const bool fuse = !e.isInfinite() && e.width >= 2 && e.height >= 2;
    for (uint64_t done = 0; done < iterations;) {
        const uint64_t n = fuse ? std::min<uint64_t>(iterations - done, kMaxFusedPasses) : 1;
        result = n == 1 ? named("flowBlur07", {result, field}) : named("flowBlur07Passes", {result, field, double(n)});
        if (!result) return {};
        done += n;
    }
    return result.insertingIntermediate(true);
}

Image QXVideoFilterAbstract::createLines(const Image& image) {
    registerEngineKernels();
    if (!image) return {};
    const Image lower = QXVideoFilterUtilities::blurImage(image, radiusLower());
    const Image upper = QXVideoFilterUtilities::blurImage(image, radiusUpper());
    const Image difference = QXVideoFilterUtilities::differenceImageA(lower, upper, linesDiffWeight, linesDiffGain);
    const Image extrema = named("extremaValueImage", {difference, Color{0.5, 0.5, 0.5, 0}});
    if (!extrema) return {};
    const Image grey = Image::constantColor(Color{0.5, 0.5, 0.5, 1}).cropped(image.extent());
    const Image lines = extrema.applyingFilter("CISourceAtopCompositing", {{"inputBackgroundImage", grey}});
    const Image up = QXCISuperResolution::upscaleImageUsingFX0D(lines, linesFactor);
    if (!up) return {};
    const Image base = QXVideoFilterUtilities::makeImage(image, up.extent().size());
    Image tone = named("scaleRange", {base, linesGrayContrastScale, linesGrayBrightnessShift});
    if (tone && linesGrayThreshold > 0) tone = named("thresholdMultichannelImage", {tone, linesGrayThreshold});
    if (!tone) return {};
    return tone.applyingFilter("CIScreenBlendMode", {{"inputBackgroundImage", up}}).samplingNearest();
}

}  // namespace vellari
