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
#include "vellari/platform/pixel_vectors.h"

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

// Sixteen pixels a time from planes, written as whole vectors: the output is often a
// stored picture far from the caches, where single-float stores cost the most.
void encodeRow(const float* __restrict tx, const float* __restrict ty, const float* __restrict g, int n,
               float* __restrict out) {
    using detail::V16;
    using detail::loadV;
    int i = 0;
    for (; i + 16 <= n; i += 16)
        detail::fromPlanes(out + i * 4, {0.5f + 0.5f * loadV<V16>(tx + i), 0.5f + 0.5f * loadV<V16>(ty + i),
                                         loadV<V16>(g + i), V16{} + 1.0f});
    for (; i < n; ++i) encodeField(out + i * 4, tx[i], ty[i], g[i]);
}

// ---------------------------------------------------------------- initial field

// A full black-to-white step gives a Sobel magnitude of 4 (weights 1, 2, 1 on each side);
// the magnitude is divided by that so such a step reads 1, times the kernel's scale argument.
constexpr float kSobelStep = 4.0f;
constexpr float kFlatGradient = 1e-5f;

// One row of the field from the rows above, at and below it (each aligned to x, one value
// readable either side): tangent and scaled magnitude planes.
void sobelRow(const float* __restrict a, const float* __restrict b, const float* __restrict c, int n, float scale,
              float* __restrict tx, float* __restrict ty, float* __restrict tg) {
    for (int i = 0; i < n; ++i) {
        const float gx = (a[i + 1] + 2.0f * b[i + 1] + c[i + 1]) - (a[i - 1] + 2.0f * b[i - 1] + c[i - 1]);
        const float gy = (c[i - 1] + 2.0f * c[i] + c[i + 1]) - (a[i - 1] + 2.0f * a[i] + a[i + 1]);
        const float m = std::sqrt(gx * gx + gy * gy);
        const float inv = m > kFlatGradient ? 1.0f / m : 0.0f;
        tx[i] = -gy * inv;
        ty[i] = gx * inv;
        tg[i] = std::min(1.0f, m * scale);
    }
}

void convertToFlowKernel(const GeneralTile& t) {
    const float scale = (t.valCount > 0 ? t.val[0][0] : 1.0f) / kSobelStep;
    const IRect p = t.rect.inset(-1, -1);
    const size_t n = size_t(p.w) * p.h;
    float* v = threadScratch(1, n);
    fetchPlanes(t.src[0], p, true, [v](const float* q, size_t i) { v[i] = q[0]; });
    const int W = p.w;
    float* tx = threadScratch(2, size_t(t.rect.w));
    float* ty = threadScratch(3, size_t(t.rect.w));
    float* tg = threadScratch(4, size_t(t.rect.w));
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const float* a = v + size_t(y - p.y - 1) * W + 1;  // row above, aligned to x
        sobelRow(a, a + W, a + 2 * W, t.rect.w, scale, tx, ty, tg);
        encodeRow(tx, ty, tg, t.rect.w, t.row(y));
    }
}

IRect growByOne(int, const IRect& d, const ArgValue*, int) { return d.inset(-1, -1); }

// ---------------------------------------------------------------- coherence smoothing

int radiusArgument(const ArgValue* values, int count) {
    if (count < 1) return 0;
    return std::clamp(int(std::lround(values[0][0])), 0, 64);
}

// Vectors of as many floats as the widest registers hold; the disc loops use them
// directly, since a loop over a run-time list of taps inside the loop over x does not
// vectorise by itself.
#if defined(__AVX512F__)
constexpr int kLanes = 16;
#elif defined(__AVX__)
constexpr int kLanes = 8;
#else
constexpr int kLanes = 4;
#endif
typedef float vfloat __attribute__((vector_size(kLanes * sizeof(float))));

inline vfloat loadv(const float* p) { return detail::loadV<vfloat>(p); }
inline void storev(float* p, vfloat v) { detail::storeV(p, v); }

// Plane padding past the last pixel: a block of lanes at the end of a row may read (and
// the row sums write) that far beyond it.
constexpr size_t kPlaneSlack = 4 * kLanes;

// The magnitude weight 0.5 + 0.5 tanh(g' − g) is the logistic 1 / (1 + e^{2g} e^{−2g'}):
// with e^{−2g} held in a plane, a tap costs one multiply-add and one division instead of a
// rational tanh. For g in [0, 1]: (e^{−g/4})^8, the inner power by its Taylor polynomial
// (relative error about 1e-7).
inline float expMinusTwice(float g) {
    const float x = 0.25f * g;
    float p = 1.0f - x * (1.0f - x * (0.5f - x * (1.0f / 6 - x * (1.0f / 24 - x * (1.0f / 120 - x * (1.0f / 720))))));
    p *= p;
    p *= p;
    return p * p;
}

void expMinusTwicePlane(const float* __restrict g, size_t n, float* __restrict f) {
    for (size_t i = 0; i < n; ++i) f[i] = expMinusTwice(g[i]);
}

// Plane offsets of the disc of radius r, in row order, for planes of row stride W.
int discOffsets(int r, int W, std::vector<ptrdiff_t>& offs) {
    offs.clear();
    const float reach2 = (r + 0.5f) * (r + 0.5f);
    for (int dy = -r; dy <= r; ++dy) {
        const int reach = int(std::sqrt(std::max(0.0f, reach2 - float(dy * dy))));
        for (int dx = -std::min(reach, r); dx <= std::min(reach, r); ++dx) offs.push_back(ptrdiff_t(dy) * W + dx);
    }
    return int(offs.size());
}

// The disc around each of the n pixels from (cx, cy) and cf = e^{−2g}: the neighbour
// tangents, each weighted by its agreement with the pixel's and by the magnitude
// difference, summed into (sx, sy). Whole blocks of lanes: up to 2 kLanes - 1 pixels past
// n are read and written. Two blocks go through the taps together: a block's sums are
// chains of dependent multiply-adds, and a second, independent chain fills their latency.
void sumDisc(const float* cx, const float* cy, const float* cf, const ptrdiff_t* offs, int taps, int n,
             float* __restrict sx, float* __restrict sy) {
    for (int i = 0; i < n; i += 2 * kLanes) {
        const int j = i + kLanes;
        const vfloat x = loadv(cx + i), y = loadv(cy + i), x2 = loadv(cx + j), y2 = loadv(cy + j);
        const vfloat e = 1.0f / loadv(cf + i), e2 = 1.0f / loadv(cf + j);  // e^{2g}
        vfloat ax = {}, ay = {}, bx = {}, by = {};
        for (int t = 0; t < taps; ++t) {
            const ptrdiff_t o = i + offs[t], o2 = j + offs[t];
            const vfloat nx = loadv(cx + o), ny = loadv(cy + o), nx2 = loadv(cx + o2), ny2 = loadv(cy + o2);
            // sign(t·t')·|t·t'| is the dot product itself
            const vfloat k = (x * nx + y * ny) / (1.0f + e * loadv(cf + o));
            const vfloat k2 = (x2 * nx2 + y2 * ny2) / (1.0f + e2 * loadv(cf + o2));
            ax += k * nx;
            ay += k * ny;
            bx += k2 * nx2;
            by += k2 * ny2;
        }
        storev(sx + i, ax);
        storev(sy + i, ay);
        storev(sx + j, bx);
        storev(sy + j, by);
    }
}

// The summed tangents normalised; where a sum vanishes the pixel keeps its own.
void normaliseRow(const float* __restrict sx, const float* __restrict sy, const float* __restrict cx,
                  const float* __restrict cy, int n, float* __restrict ox, float* __restrict oy) {
    for (int i = 0; i < n; ++i) {
        const float l2 = sx[i] * sx[i] + sy[i] * sy[i];
        const bool keep = l2 < 1e-12f;
        const float inv = keep ? 0.0f : 1.0f / std::sqrt(l2);
        ox[i] = keep ? cx[i] : sx[i] * inv;
        oy[i] = keep ? cy[i] : sy[i] * inv;
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

// One pass is the plain ETF08 kernel.
void etfPasses(const GeneralTile& t, int passes) {
    const int r = radiusArgument(t.val, t.valCount);
    const IRect held = t.src[0].rect;
    const IRect p = t.rect.inset(-passes * r, -passes * r);
    const size_t n = size_t(p.w) * p.h;
    float* TX = threadScratch(1, n + kPlaneSlack);
    float* TY = threadScratch(2, n + kPlaneSlack);
    float* G = threadScratch(3, n + kPlaneSlack);
    float* F = threadScratch(10, n + kPlaneSlack);
    float* UX = passes > 1 ? threadScratch(6, n + kPlaneSlack) : nullptr;
    float* UY = passes > 1 ? threadScratch(7, n + kPlaneSlack) : nullptr;
    fetchField(t.src[0], p, TX, TY, G);
    expMinusTwicePlane(G, n + kPlaneSlack, F);
    const int W = p.w;
    thread_local std::vector<ptrdiff_t> offs;
    const int taps = discOffsets(r, W, offs);
    float* __restrict sx = threadScratch(4, size_t(W) + 2 * kLanes);
    float* __restrict sy = threadScratch(5, size_t(W) + 2 * kLanes);
    float* __restrict ox = threadScratch(8, size_t(W));
    float* __restrict oy = threadScratch(9, size_t(W));
    for (int pass = 1; pass <= passes; ++pass) {
        const int grow = (passes - pass) * r;
        const IRect q = t.rect.inset(-grow, -grow);
        const bool last = pass == passes;
        // The columns of q the input holds; the others stay the zero vector.
        const int lo = std::clamp(held.x - q.x, 0, q.w), hi = std::clamp(held.right() - q.x, lo, q.w);
        for (int y = q.y; y < q.bottom(); ++y) {
            const size_t centre = size_t(y - p.y) * W + size_t(q.x - p.x);
            const float* cx = TX + centre;
            const float* cy = TY + centre;
            const float* cg = G + centre;
            if (last) {
                sumDisc(cx, cy, F + centre, offs.data(), taps, q.w, sx, sy);
                normaliseRow(sx, sy, cx, cy, q.w, ox, oy);
                encodeRow(ox, oy, cg, q.w, t.row(y));
                continue;
            }
            float* ux = UX + centre;
            float* uy = UY + centre;
            if (y < held.y || y >= held.bottom() || lo == hi) {
                std::fill(ux, ux + q.w, 0.0f);
                std::fill(uy, uy + q.w, 0.0f);
                continue;
            }
            // Sums only where the input holds pixels: the rest stays the zero vector.
            sumDisc(cx + lo, cy + lo, F + centre + lo, offs.data(), taps, hi - lo, sx + lo, sy + lo);
            normaliseRow(sx + lo, sy + lo, cx + lo, cy + lo, hi - lo, ux + lo, uy + lo);
            std::fill(ux, ux + lo, 0.0f);
            std::fill(uy, uy + lo, 0.0f);
            std::fill(ux + hi, ux + q.w, 0.0f);
            std::fill(uy + hi, uy + q.w, 0.0f);
        }
        if (!last) {
            std::swap(TX, UX);
            std::swap(TY, UY);
        }
    }
}

void etfKernel(const GeneralTile& t) { etfPasses(t, 1); }
void etfPassesKernel(const GeneralTile& t) { etfPasses(t, etfPassesArgument(t.val, t.valCount)); }

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

// Whether the view's own pixels serve a tile: they cover it (samples beyond are clamped
// to them) and hold the 2 × 2 pixels a bilinear pair needs.
bool holdsTile(const SamplerView& s, const IRect& tile) {
    return !s.rect.empty() && s.rect.contains(tile) && s.rect.w >= 2 && s.rect.h >= 2 && s.stride < (1 << 26);
}

// The view's own pixels when they serve the tile, else a copy of the tile grown by `pad`,
// the missing pixels repeated from the edge (`clamp`) or transparent.
Plane heldOrCopied(const SamplerView& s, const IRect& tile, int pad, bool clamp, int slot) {
    if (holdsTile(s, tile)) return {s.data, int(s.stride), s.rect};
    const IRect p = tile.inset(-pad, -pad);
    float* buf = threadScratch(slot, size_t(p.w) * p.h * 4);
    fetchPlanes(s, p, clamp, [buf](const float* q, size_t i) { std::memcpy(buf + i * 4, q, 16); });
    return {buf, p.w * 4, p};
}

typedef float v4f __attribute__((vector_size(16)));
typedef float v8f __attribute__((vector_size(32)));

typedef float v16f __attribute__((vector_size(64)));
// Two pixels' neighbour pairs in the halves of one vector.
inline v16f join(const float* a, const float* b) {
    return __builtin_shufflevector(detail::loadV<v8f>(a), detail::loadV<v8f>(b), 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}
// Two pixels' fractions, each across its half (reads 14 floats more).
inline v16f spread(const float* f) {
    v16f v;
    std::memcpy(&v, f, sizeof v);
    return __builtin_shufflevector(v, v, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1);
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

// Rows of a large image lie far apart, each a new stream to the hardware prefetcher: the
// row after next is asked for while this one is worked on.
void prefetchRow(const float* rgba, int n) {
    const char* p = reinterpret_cast<const char*>(rgba);
    for (size_t b = 0; b < size_t(n) * 16; b += 64) __builtin_prefetch(p + b);
}

void decodeRow(const float* __restrict q, int n, float* __restrict x, float* __restrict y) {
    for (int i = 0; i < n; ++i) decodeUnit(q[4 * i], q[4 * i + 1], q[4 * i + 3], x[i], y[i]);
}

// The field's unit tangents around a tile, decoded once per pixel rather than at every
// look-up. Look-ups are placed in the coordinates of `rect` and clamped to it, as on the
// field's own pixels (or on a copy of the tile's surroundings, transparent where the field
// holds none); `area`, inside `rect`, holds every pixel they reach.
struct UnitField {
    IRect rect;
    IRect area;
    const float* x;  // planes over area
    const float* y;
};

UnitField unitField(const SamplerView& s, const IRect& tile, int slotX, int slotY) {
    const IRect grown = tile.inset(-kFieldPad, -kFieldPad);
    const IRect rect = holdsTile(s, tile) ? s.rect : grown;
    const IRect area = grown.intersect(rect);
    const size_t n = size_t(area.w) * area.h;
    float* X = threadScratch(slotX, n);
    float* Y = threadScratch(slotY, n);
    if (rect == s.rect)  // all held
        for (int y = area.y; y < area.bottom(); ++y) {
            if (y + 2 < area.bottom()) prefetchRow(s.row(y + 2) + ptrdiff_t(area.x) * 4, area.w);
            const size_t o = size_t(y - area.y) * area.w;
            decodeRow(s.row(y) + ptrdiff_t(area.x) * 4, area.w, X + o, Y + o);
        }
    else
        fetchPlanes(s, area, false, [X, Y](const float* q, size_t i) { decodeUnit(q[0], q[1], q[3], X[i], Y[i]); });
    return {rect, area, X, Y};
}

// Per output row: the pixels' tangents, the field pixels two steps out, and where each of
// a pixel's four samples lies (float offset of its top-left neighbour in the image plane)
// with its bilinear fractions.
struct FlowRow {
    float *tx, *ty;           // the pixels' unit tangents
    int32_t *ahead, *behind;  // field plane indices two steps out each way
    float* seen[4];           // the tangents there: x and y ahead, then behind
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

// Places the samples of the `n` pixels of row `y` from x0, in three loops: the first and
// the last vectorise; the look-ups two steps out between them are plain loads (gathers
// cost more than they save here).
template <bool Nearest>
void placeFlowSamples(const Plane& img, const UnitField& fld, int x0, int y, int n, const FlowTaps& k,
                      const FlowRow& s) {
    const float* __restrict FX = fld.x;
    const float* __restrict FY = fld.y;
    const int aw = fld.area.w;
    const size_t c = size_t(y - fld.area.y) * aw + size_t(x0 - fld.area.x);
    // index in the planes of the pixel (ix, iy) of rect: iy * aw + ix - shift
    const int shift = (fld.area.y - fld.rect.y) * aw + (fld.area.x - fld.rect.x);
    const float fMaxX = float(fld.rect.w - 1), fMaxY = float(fld.rect.h - 1);
    const float gx0 = float(x0 - fld.rect.x), gy = float(y - fld.rect.y);
    float *__restrict tx = s.tx, *__restrict ty = s.ty;
    int32_t *__restrict ahead = s.ahead, *__restrict behind = s.behind;
    for (int i = 0; i < n; ++i) {
        const float x = FX[c + i], yy = FY[c + i];
        tx[i] = x;
        ty[i] = yy;
        const float gx = gx0 + float(i);
        ahead[i] = int(std::min(std::max(gy + 2 * yy, 0.0f), fMaxY) + 0.5f) * aw +
                   int(std::min(std::max(gx + 2 * x, 0.0f), fMaxX) + 0.5f) - shift;
        behind[i] = int(std::min(std::max(gy - 2 * yy, 0.0f), fMaxY) + 0.5f) * aw +
                    int(std::min(std::max(gx - 2 * x, 0.0f), fMaxX) + 0.5f) - shift;
    }
    float *__restrict sax = s.seen[0], *__restrict say = s.seen[1];
    float *__restrict sbx = s.seen[2], *__restrict sby = s.seen[3];
    for (int i = 0; i < n; ++i) {
        sax[i] = FX[ahead[i]];
        say[i] = FY[ahead[i]];
        sbx[i] = FX[behind[i]];
        sby[i] = FY[behind[i]];
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
        float ax = sax[i], ay = say[i], bx = sbx[i], by = sby[i];
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

// Sums the pixel and its four samples, all four channels at once. With 512-bit vectors
// two pixels go through at a time, each half of a register holding one pixel's pair of
// neighbours.
void sumFlowSamples(const Plane& img, int x0, int y, int n, const FlowTaps& k, const FlowRow& s,
                    float* __restrict out) {
    const float* base = img.origin;
    const int is = img.stride;
    const float* centre = base + ptrdiff_t(y - img.rect.y) * is + ptrdiff_t(x0 - img.rect.x) * 4;
    const float weight[4] = {k.near * k.norm, k.far * k.norm, k.near * k.norm, k.far * k.norm};
    const float cw = k.centre * k.norm;
    int i = 0;
#if defined(__AVX512F__)
    const float* below = base + is;
    for (; i + 2 <= n; i += 2) {
        v16f acc = {};
        for (int j = 0; j < 4; ++j) {
            const int32_t oa = s.off[j][i], ob = s.off[j][i + 1];
            const v16f top = join(base + oa, base + ob), bottom = join(below + oa, below + ob);
            const v16f m = top + (bottom - top) * spread(s.fy[j] + i);
            // each right neighbour under its left one
            const v16f right = __builtin_shufflevector(m, m, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8, 9, 10, 11);
            acc += (m + (right - m) * spread(s.fx[j] + i)) * weight[j];
        }
        // the two pixels' sums (quarters 0 and 2) side by side
        const v8f sum = __builtin_shufflevector(acc, acc, 0, 1, 2, 3, 8, 9, 10, 11);
        const v8f r = detail::loadV<v8f>(centre + i * 4) * cw + sum;
        std::memcpy(out + i * 4, &r, sizeof r);
    }
#endif
    for (; i < n; ++i) {
        v4f acc = detail::loadV<v4f>(centre + i * 4) * cw;
        for (int j = 0; j < 4; ++j) {
            const float* p = base + s.off[j][i];
            const v8f top = detail::loadV<v8f>(p), bottom = detail::loadV<v8f>(p + is);  // two neighbours each
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
        for (int j = 0; j < 4; ++j) s.seen[j] = floats + (2 + j) * w;
        s.ahead = ints;
        s.behind = ints + w;
        float* f = floats + 6 * w + size_t(k) * w * 8;
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
    return {threadScratch(3, w * (6 + rows * 8) + 16), ints.data(), w};  // spread() reads past the last
}

void placeRow(bool nearest, const Plane& img, const UnitField& fld, int x0, int y, int n, const FlowTaps& taps,
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
    const UnitField fld = unitField(t.src[1], r, 2, 6);
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
// image, which also bounds every sample. The field is the same for all passes, so a row's
// sample placement is computed once and serves every pass.
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
    IRect region[kMaxFusedPasses + 1];  // pixels pass k (1-based) computes
    for (int k = 1; k <= passes; ++k) {
        const int g = (passes - k) * kFlowPad;
        region[k] = r.inset(-g, -g).intersect(bound);
    }
    const IRect placed = region[1];

    // Ping-pong planes over `outer`: pass k reads `a` when k is odd and writes the other.
    const size_t planeFloats = size_t(outer.w) * outer.h * 4;
    float* a = threadScratch(4, planeFloats);
    float* b = threadScratch(5, planeFloats);
    const Plane planes[2] = {{a, outer.w * 4, outer}, {b, outer.w * 4, outer}};
    auto planeRow = [&](float* p, int y, int x) {
        return p + size_t(y - outer.y) * outer.w * 4 + size_t(x - outer.x) * 4;
    };
    const UnitField fld = unitField(t.src[1], placed, 2, 6);

    // Rows are worked through in one sweep, pass k running kFlowPad rows behind pass k - 1
    // (whose rows it reads), so that what a row reads is still in cache and a ring of rows
    // holds the placements every pass uses. Only the first pass reads the input itself,
    // with its sampling mode; the passes after it read an intermediate, which samples
    // linearly.
    const int lag = kFlowPad;
    const int ring = (passes - 1) * lag + 1;
    const bool nearest = in.nearest;
    const FlowRowStore store = flowRowStore(size_t(placed.w), size_t(ring + (nearest ? 1 : 0)));
    int copied = outer.y;  // input rows copied into `a`
    const int end = region[passes].bottom() + (passes - 1) * lag;
    for (int step = placed.y; step < end; ++step) {
        if (step < placed.bottom()) {
            for (const int need = std::min(step + kFlowPad + 1, outer.bottom()); copied < need; ++copied) {
                std::memcpy(planeRow(a, copied, outer.x), in.row(copied) + ptrdiff_t(outer.x) * 4,
                            size_t(outer.w) * 16);
                if (copied + 2 < outer.bottom()) prefetchRow(in.row(copied + 2) + ptrdiff_t(outer.x) * 4, outer.w);
            }
            const int slot = (step - placed.y) % ring;
            if (nearest) placeRow(true, planes[0], fld, placed.x, step, placed.w, taps, store.row(ring));
            if (passes > 1 || !nearest) placeRow(false, planes[0], fld, placed.x, step, placed.w, taps, store.row(slot));
        }
        for (int k = 1; k <= passes; ++k) {
            const int y = step - (k - 1) * lag;
            const IRect& q = region[k];
            if (y < q.y || y >= q.bottom()) continue;
            FlowRow s = store.row(k == 1 && nearest ? ring : (y - placed.y) % ring);
            const int dx = q.x - placed.x;
            for (int j = 0; j < 4; ++j) {
                s.off[j] += dx;
                s.fx[j] += dx;
                s.fy[j] += dx;
            }
            const Plane& src = planes[(k - 1) & 1];
            float* out = k == passes ? t.row(y) + (q.x - t.rect.x) * 4 : planeRow(k & 1 ? b : a, y, q.x);
            sumFlowSamples(src, q.x, y, q.w, taps, s, out);
        }
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
