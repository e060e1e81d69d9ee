// Edge tangent flow: the initial field from the grey gradient, its coherence smoothing,
// smoothing of an image along the field, and the base object's line drawing.
//
// The kernels work on a tile at a time: the padded input is copied once into per-thread
// planes of floats so that the inner loops run over x without bounds checks or calls.

#include "edge_flow.h"

#include <algorithm>
#include <cmath>
#include <mutex>

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
    const float reach2 = (r + 0.5f) * (r + 0.5f);
    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const size_t centre = size_t(y - p.y) * W + r;
        const float* __restrict cx = TX + centre;
        const float* __restrict cy = TY + centre;
        const float* __restrict cg = G + centre;
        std::fill(sx, sx + w, 0.0f);
        std::fill(sy, sy + w, 0.0f);
        for (int dy = -r; dy <= r; ++dy) {
            const int reach = int(std::sqrt(std::max(0.0f, reach2 - float(dy * dy))));
            for (int dx = -std::min(reach, r); dx <= std::min(reach, r); ++dx) {
                const ptrdiff_t off = ptrdiff_t(dy) * W + dx;
                accumulateTap(cx, cy, cg, cx + off, cy + off, cg + off, sx, sy, w);
            }
        }
        float* __restrict out = t.row(y);
        for (int i = 0; i < w; ++i) {
            const float l2 = sx[i] * sx[i] + sy[i] * sy[i];
            const bool keep = l2 < 1e-12f;
            const float inv = keep ? 0.0f : 1.0f / std::sqrt(l2);
            encodeField(out + i * 4, keep ? cx[i] : sx[i] * inv, keep ? cy[i] : sy[i] * inv, cg[i]);
        }
    }
}

IRect growByRadius(int, const IRect& d, const ArgValue* values, int count) {
    const int r = radiusArgument(values, count);
    return d.inset(-r, -r);
}

// ---------------------------------------------------------------- flow-guided smoothing

constexpr int kFlowSteps = 4;       // samples each way along the flow, one pixel apart
constexpr float kFlowSigma = 2.0f;  // Gaussian weight over the arc length
constexpr int kFlowPad = kFlowSteps + 1;

// The state of one row's walks: positions, directions and the four channel sums.
struct Walk {
    float *cx, *cy, *vx, *vy, *acc[4];
};

// Advances the walks of one row together by one step, so that the loop vectorises (the
// samples are gathers). Positions are in padded-tile pixels with pixel centres at whole
// numbers; the walk stays inside the pad, the clamps only guard against rounding.
// NC: the channels that differ — 1 for a grey opaque tile (red stands for all), 3 for an
// opaque one, else 4.
template <int NC, bool Follow>
__attribute__((noinline)) void stepWalks(float* __restrict cx, float* __restrict cy, float* __restrict vx,
                                         float* __restrict vy, float* __restrict a0, float* __restrict a1,
                                         float* __restrict a2, float* __restrict a3, int n,
                                         const float* __restrict p0, const float* __restrict p1,
                                         const float* __restrict p2, const float* __restrict p3,
                                         const float* __restrict fx, const float* __restrict fy, int W,
                                         float maxX, float maxY, float weight) {
    for (int i = 0; i < n; ++i) {
        const float x = std::min(std::max(cx[i] + vx[i], 0.0f), maxX);
        const float y = std::min(std::max(cy[i] + vy[i], 0.0f), maxY);
        cx[i] = x;
        cy[i] = y;
        const int ix = int(x), iy = int(y);
        const float ax = x - float(ix), ay = y - float(iy);
        const int q = iy * W + ix;
        const float w00 = (1 - ax) * (1 - ay) * weight, w10 = ax * (1 - ay) * weight;
        const float w01 = (1 - ax) * ay * weight, w11 = ax * ay * weight;
        a0[i] += w00 * p0[q] + w10 * p0[q + 1] + w01 * p0[q + W] + w11 * p0[q + W + 1];
        if constexpr (NC >= 3) {
            a1[i] += w00 * p1[q] + w10 * p1[q + 1] + w01 * p1[q + W] + w11 * p1[q + W + 1];
            a2[i] += w00 * p2[q] + w10 * p2[q + 1] + w01 * p2[q + W] + w11 * p2[q + W + 1];
        }
        if constexpr (NC == 4) a3[i] += w00 * p3[q] + w10 * p3[q + 1] + w01 * p3[q + W] + w11 * p3[q + W + 1];
        if constexpr (!Follow) continue;  // the last step needs no new direction
        // Follow the field at the nearest pixel, keeping the walking sense; where the field
        // is zero go on straight.
        const int m = int(y + 0.5f) * W + int(x + 0.5f);
        const float nx = fx[m], ny = fy[m];
        const float sense = nx * vx[i] + ny * vy[i] < 0 ? -1.0f : 1.0f;
        const bool known = nx * nx + ny * ny > 1e-6f;
        vx[i] = known ? sense * nx : vx[i];
        vy[i] = known ? sense * ny : vy[i];
    }
}

void flowBlurKernel(const GeneralTile& t) {
    const IRect p = t.rect.inset(-kFlowPad, -kFlowPad);
    const size_t n = size_t(p.w) * p.h;
    float* plane[4];
    for (int c = 0; c < 4; ++c) plane[c] = threadScratch(1 + c, n);
    fetchPlanes(t.src[0], p, true,
                [r = plane[0], g = plane[1], b = plane[2], a = plane[3]](const float* q, size_t i) {
                    r[i] = q[0];
                    g[i] = q[1];
                    b[i] = q[2];
                    a[i] = q[3];
                });
    int opaque = 1, grey = 1;
    {
        const float* __restrict r = plane[0];
        const float* __restrict g = plane[1];
        const float* __restrict b = plane[2];
        const float* __restrict a = plane[3];
        for (size_t i = 0; i < n; ++i) {
            opaque &= int(a[i] >= 1.0f - 1e-6f);  // resampling leaves opaque alpha a rounding short of 1
            grey &= int(r[i] == g[i]) & int(r[i] == b[i]);
        }
    }
    const int channels = !opaque ? 4 : grey ? 1 : 3;
    using Step = decltype(&stepWalks<4, true>);
    const Step step = channels == 1   ? &stepWalks<1, true>
                      : channels == 3 ? &stepWalks<3, true>
                                      : &stepWalks<4, true>;
    const Step last = channels == 1   ? &stepWalks<1, false>
                      : channels == 3 ? &stepWalks<3, false>
                                      : &stepWalks<4, false>;
    float* FX = threadScratch(5, n);
    float* FY = threadScratch(6, n);
    float* FG = threadScratch(7, n);
    fetchField(t.src[1], p, FX, FY, FG);

    float weight[kFlowSteps + 1];
    float wsum = 0;
    for (int k = 0; k <= kFlowSteps; ++k) {
        weight[k] = std::exp(-float(k * k) / (2.0f * kFlowSigma * kFlowSigma));
        wsum += k == 0 ? weight[k] : 2 * weight[k];
    }
    const float inv = 1.0f / wsum;
    const int w = t.rect.w, W = p.w;
    const float maxX = float(W) - 1.001f, maxY = float(p.h) - 1.001f;
    float* rows = threadScratch(8, size_t(w) * 8);
    Walk walk{rows, rows + w, rows + 2 * w, rows + 3 * w, {rows + 4 * w, rows + 5 * w, rows + 6 * w, rows + 7 * w}};

    for (int y = t.rect.y; y < t.rect.bottom(); ++y) {
        const size_t centre = size_t(y - p.y) * W + kFlowPad;
        for (int c = 0; c < channels; ++c)
            for (int i = 0; i < w; ++i) walk.acc[c][i] = weight[0] * plane[c][centre + i];
        for (float sense : {1.0f, -1.0f}) {
            for (int i = 0; i < w; ++i) {
                walk.cx[i] = float(kFlowPad + i);
                walk.cy[i] = float(y - p.y);
                walk.vx[i] = sense * FX[centre + i];
                walk.vy[i] = sense * FY[centre + i];
            }
            for (int k = 1; k <= kFlowSteps; ++k)
                (k < kFlowSteps ? step : last)(walk.cx, walk.cy, walk.vx, walk.vy, walk.acc[0], walk.acc[1],
                                               walk.acc[2], walk.acc[3], w, plane[0], plane[1], plane[2], plane[3],
                                               FX, FY, W, maxX, maxY, weight[k]);
        }
        float* out = t.row(y);
        const float* a[4] = {walk.acc[0], walk.acc[channels == 1 ? 0 : 1], walk.acc[channels == 1 ? 0 : 2],
                             walk.acc[3]};
        for (int i = 0; i < w; ++i) {
            for (int c = 0; c < 3; ++c) out[i * 4 + c] = a[c][i] * inv;
            out[i * 4 + 3] = channels == 4 ? a[3][i] * inv : 1.0f;
        }
    }
}

IRect growByWalk(int, const IRect& d, const ArgValue*, int) { return d.inset(-kFlowPad, -kFlowPad); }

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
        KernelRegistry::add(Kernel::makeGeneral("flowBlur07", flowBlurKernel, growByWalk));
    });
}

Image QXVideoFilterAbstract::computeEdgeTangentFlow(const Image& image) {
    registerEngineKernels();
    registerEdgeFlowKernels();
    if (!image) return {};
    const Image grey = named("grayscale", {image});
    Image field = named("ETFconvertValueToNormalizedPerpNormalMap", {grey, 1.0});
    for (int64_t i = 0; i < ETFIterations && field; ++i) field = named("ETF08", {field, double(ETFRadius)});
    return field;
}

Image QXVideoFilterAbstract::reduceNoise(const Image& image, const Image& field, uint64_t iterations) {
    registerEdgeFlowKernels();
    if (!image) return {};
    Image result = image;
    for (uint64_t i = 0; i < iterations; ++i) {
        result = named("flowBlur07", {result, field});
        if (!result) return {};
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
