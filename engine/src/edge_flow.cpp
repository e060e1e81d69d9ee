// Edge tangent flow: the initial field from the grey gradient, its coherence smoothing,
// smoothing of an image along the field, and the base object's line drawing.
//
// The kernels work on a tile at a time. The gradient and coherence passes copy the padded
// input once into per-thread planes of floats so that the inner loops run over x without
// bounds checks or calls; the flow-guided smoothing reads its inputs in place, its sample
// positions computed a row at a time in vectorised loops and clamped to the held pixels.

#include "edge_flow.h"
#include "edge_flow_kernels.h"

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
// do not see a black frame). The held run of a row goes to span(pixels, count, index)
// at once, so that it is converted in vectors.
template <class Emit, class Span>
void fetchPlanes(const SamplerView& s, const IRect& p, bool clamp, Emit&& emit, Span&& span) {
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
        if (x1 > x0) span(src + ptrdiff_t(x0) * 4, size_t(x1 - x0), base + (x0 - p.x));
        for (int x = x1; x < p.right(); ++x) emit(right, base + (x - p.x));
    }
}

// Flow-field planes of a padded tile: tangent (tx, ty) and magnitude g. Transparent pixels
// (outside the field) decode to the zero vector, so they take part in no sum.
void fetchField(const SamplerView& s, const IRect& p, float* tx, float* ty, float* g) {
    fetchPlanes(
        s, p, false,
        [=](const float* q, size_t i) {
            const float on = q[3] > 0.5f ? 1.0f : 0.0f;
            tx[i] = on * (2.0f * q[0] - 1.0f);
            ty[i] = on * (2.0f * q[1] - 1.0f);
            g[i] = on * std::clamp(q[2], 0.0f, 1.0f);
        },
        [=](const float* q, size_t n, size_t i) { edgeflow::decodeFieldSpan(q, n, tx + i, ty + i, g + i); });
}

// ---------------------------------------------------------------- initial field

// A full black-to-white step gives a Sobel magnitude of 4 (weights 1, 2, 1 on each side);
// the magnitude is divided by that so such a step reads 1, times the kernel's scale argument.
constexpr float kSobelStep = 4.0f;

void convertToFlowKernel(const GeneralTile& t) {
    const float scale = (t.valCount > 0 ? t.val[0][0] : 1.0f) / kSobelStep;
    const IRect p = t.rect.inset(-1, -1);
    const size_t n = size_t(p.w) * p.h;
    float* v = threadScratch(1, n);
    fetchPlanes(
        t.src[0], p, true, [v](const float* q, size_t i) { v[i] = q[0]; },
        [v](const float* q, size_t count, size_t i) { edgeflow::redSpan(q, count, v + i); });
    const int W = p.w;
    float* tx = threadScratch(2, size_t(t.rect.w));
    float* ty = threadScratch(3, size_t(t.rect.w));
    float* tg = threadScratch(4, size_t(t.rect.w));
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const float* a = v + size_t(y - p.y - 1) * W + 1;  // row above, aligned to x
        edgeflow::sobelRow(a, a + W, a + 2 * W, size_t(t.rect.w), scale, tx, ty, tg);
        edgeflow::encodeRow(tx, ty, tg, size_t(t.rect.w), t.row(y));
    }
}

IRect growByOne(int, const IRect& d, const ArgValue*, int) { return d.inset(-1, -1); }

// ---------------------------------------------------------------- coherence smoothing

int radiusArgument(const ArgValue* values, int count) {
    if (count < 1) return 0;
    return std::clamp(int(std::lround(values[0][0])), 0, 64);
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

// Several ETF08 passes over one tile, as the chain of single passes computes them: pass
// k runs over the tile grown by what the later passes read, and the field stays in planes
// between passes instead of being encoded, stored and fetched again. Pixels the input does
// not hold stay the zero vector, as a single pass reads them.
constexpr int kMaxFusedEtfPasses = 8;

int etfPassesArgument(const ArgValue* values, int count) {
    return count < 2 ? 1 : std::clamp(int(std::lround(values[1][0])), 1, kMaxFusedEtfPasses);
}

// One pass is the plain ETF08 kernel. The magnitude weight of a tap is a logistic of
// e^{−2g'}, held in a plane of its own (see the kernels).
void etfPasses(const GeneralTile& t, int passes) {
    const int r = radiusArgument(t.val, t.valCount);
    const IRect held = t.src[0].rect;
    const IRect p = t.rect.inset(-passes * r, -passes * r);
    const size_t n = size_t(p.w) * p.h;
    // Padding past the last pixel: the blocks at the end of a row read (and the sums
    // write) up to two vectors beyond it.
    const size_t block = 2 * edgeflow::blockLanes();
    const size_t slack = 2 * block;
    float* TX = threadScratch(1, n + slack);
    float* TY = threadScratch(2, n + slack);
    float* G = threadScratch(3, n + slack);
    float* F = threadScratch(10, n + slack);
    float* UX = passes > 1 ? threadScratch(6, n + slack) : nullptr;
    float* UY = passes > 1 ? threadScratch(7, n + slack) : nullptr;
    fetchField(t.src[0], p, TX, TY, G);
    edgeflow::expMinusTwicePlane(G, n + slack, F);
    const int W = p.w;
    thread_local std::vector<ptrdiff_t> offs;
    const int taps = discOffsets(r, W, offs);
    float* sx = threadScratch(4, size_t(W) + block);
    float* sy = threadScratch(5, size_t(W) + block);
    float* ox = threadScratch(8, size_t(W));
    float* oy = threadScratch(9, size_t(W));
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
                edgeflow::coherenceRow(cx, cy, F + centre, offs.data(), taps, size_t(q.w), sx, sy, ox, oy);
                edgeflow::encodeRow(ox, oy, cg, size_t(q.w), t.row(y));
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
            edgeflow::coherenceRow(cx + lo, cy + lo, F + centre + lo, offs.data(), taps, size_t(hi - lo), sx + lo,
                                   sy + lo, ux + lo, uy + lo);
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

using edgeflow::FlowRow;
using edgeflow::FlowTaps;

// Weights normalised to sum to one; the kernels take them as they are.
FlowTaps flowTaps() {
    float w[5];
    for (int k = 0; k < 5; ++k) w[k] = std::exp(-float(k * k) / (2.0f * kFlowSigma * kFlowSigma));
    const float near = w[1] + w[2], far = w[3] + w[4];
    const float norm = 1.0f / (w[0] + 2.0f * near + 2.0f * far);
    FlowTaps f;
    f.centre = w[0] * norm;
    f.near = near * norm;
    f.far = far * norm;
    f.nearAt = 1.0f + w[2] / near;
    f.farAt = 1.0f + w[4] / far;
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
    fetchPlanes(
        s, p, clamp, [buf](const float* q, size_t i) { std::memcpy(buf + i * 4, q, 16); },
        [buf](const float* q, size_t n, size_t i) { std::memcpy(buf + i * 4, q, n * 16); });
    return {buf, p.w * 4, p};
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
            edgeflow::decodeUnitRow(s.row(y) + ptrdiff_t(area.x) * 4, size_t(area.w), X + o, Y + o);
        }
    else
        fetchPlanes(
            s, area, false, [X, Y](const float* q, size_t i) { decodeUnit(q[0], q[1], q[3], X[i], Y[i]); },
            [X, Y](const float* q, size_t n, size_t i) { edgeflow::decodeUnitRow(q, n, X + i, Y + i); });
    return {rect, area, X, Y};
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
        for (int j = 0; j < 4; ++j) s.seen[j] = floats + j * w;
        s.ahead = ints;
        s.behind = ints + w;
        float* f = floats + 4 * w + size_t(k) * w * 8;
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
    return {threadScratch(3, w * (4 + rows * 8) + 2), ints.data(), w};  // fractions are read in pairs
}

// Places the samples of the `n` pixels of row `y` from x0, reading the field `fld` and
// sampling the image `img`.
void placeRow(bool nearest, const Plane& img, const UnitField& fld, int x0, int y, int n, const FlowTaps& taps,
              const FlowRow& s) {
    edgeflow::FlowPlacement g;
    g.tangentX = fld.x;
    g.tangentY = fld.y;
    const int aw = fld.area.w;
    g.fieldStride = aw;
    g.centre = size_t(y - fld.area.y) * aw + size_t(x0 - fld.area.x);
    // index in the planes of the pixel (ix, iy) of rect: iy * aw + ix - shift
    g.shift = (fld.area.y - fld.rect.y) * aw + (fld.area.x - fld.rect.x);
    g.fieldMaxX = float(fld.rect.w - 1);
    g.fieldMaxY = float(fld.rect.h - 1);
    g.fieldX0 = float(x0 - fld.rect.x);
    g.fieldY = float(y - fld.rect.y);
    g.imageMaxX = float(img.rect.w - 1);
    g.imageMaxY = float(img.rect.h - 1);
    g.imageLastX = img.rect.w - 2;
    g.imageLastY = img.rect.h - 2;
    g.imageStride = img.stride;
    g.imageX0 = float(x0 - img.rect.x);
    g.imageY = float(y - img.rect.y);
    edgeflow::placeFlowSamples(nearest, g, taps, size_t(n), s);
}

// Sums the pixel and its four samples of row `y` from x0 into `out`.
void sumRow(const Plane& img, int x0, int y, int n, const FlowTaps& taps, const FlowRow& s, float* out) {
    const float* centre = img.origin + ptrdiff_t(y - img.rect.y) * img.stride + ptrdiff_t(x0 - img.rect.x) * 4;
    edgeflow::sumFlowSamples(img.origin, img.stride, centre, size_t(n), taps, s, out);
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
            sumRow(img, x0, y, n, taps, s, t.row(y) + (x0 - r.x) * 4);
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
            sumRow(src, q.x, y, q.w, taps, s, out);
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
