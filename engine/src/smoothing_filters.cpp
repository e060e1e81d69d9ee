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
// margin), lanes being neighbouring output pixels: the row kernels in smoothing_kernels.

#include "vellari/engine/smoothing_filters.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <numbers>

#include "smoothing_kernels.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/node.h"

namespace vellari {
namespace {

using detail::TileBuffer;

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
    std::vector<int32_t> cols;  // a row's pixels that FXAA resamples
    std::vector<int32_t> across;
    std::vector<float> blend;
    std::vector<smoothing::BilateralTap> taps;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

template <class T>
T* grow(std::vector<T>& v, size_t n) {
    if (v.size() < n) v.resize(n);
    return v.data();
}

// Copies `area` of the view into planes of width pw: colour channels into c[0..3] unless
// c is null, luma into `luma` unless null. Outside the held rectangle pixels repeat its
// edge (Clamp) or are transparent (Transparent).
void loadPlanes(const SamplerView& v, const IRect& area, Edge edge, float* const* c, float* luma, ptrdiff_t pw) {
    const IRect& vr = v.rect;
    static const float kZero[4] = {0, 0, 0, 0};
    // n pixels from index i take the values of pixel p, made by the same kernel as the
    // others so that a repeated edge pixel equals the pixel itself.
    auto fill = [&](const float* p, ptrdiff_t i, int n) {
        if (n <= 0) return;
        float one[5] = {0, 0, 0, 0, 0};
        if (p != kZero) {
            float* ch[4] = {one, one + 1, one + 2, one + 3};
            smoothing::splitPixels(p, 1, c ? ch : nullptr, luma ? one + 4 : nullptr);
        }
        if (c)
            for (int k = 0; k < 4; ++k) std::fill_n(c[k] + i, n, one[k]);
        if (luma) std::fill_n(luma + i, n, one[4]);
    };
    for (int yy = area.y; yy < area.bottom(); ++yy) {
        const ptrdiff_t o = ptrdiff_t(yy - area.y) * pw;
        const bool rowOut = vr.empty() || yy < vr.y || yy >= vr.bottom();
        if (rowOut && (edge == Edge::Transparent || vr.empty())) {
            fill(kZero, o, area.w);
            continue;
        }
        const float* s = v.row(std::clamp(yy, vr.y, vr.bottom() - 1));
        const int x0 = std::max(area.x, vr.x), x1 = std::min(area.right(), vr.right());
        const float* left = edge == Edge::Clamp ? s + ptrdiff_t(vr.x) * 4 : kZero;
        const float* right = edge == Edge::Clamp ? s + ptrdiff_t(vr.right() - 1) * 4 : kZero;
        int xx = std::min(x0, area.right());
        fill(left, o, xx - area.x);
        if (x1 > x0) {
            const ptrdiff_t base = o + (x0 - area.x);
            float* planes[4];
            if (c)
                for (int k = 0; k < 4; ++k) planes[k] = c[k] + base;
            smoothing::splitPixels(s + ptrdiff_t(x0) * 4, size_t(x1 - x0), c ? planes : nullptr,
                                   luma ? luma + base : nullptr);
            xx = x1;
        }
        fill(right, o + (xx - area.x), area.right() - xx);
    }
}

// ---------------------------------------------------------------------------------------
// Fast approximate anti-aliasing.

using smoothing::FxaaParams;

// The one compiled FXAA kernel.
const FxaaParams& fxaaKernel() {
    static const FxaaParams* k = new FxaaParams;
    return *k;
}

// The luma plane holds what the search along an edge reads.
constexpr int kFxaaMargin = smoothing::kFxaaSearchReach;
static_assert(kFxaaMargin <= YUCIFXAA::kReach, "the search reads inside the region of interest");

void fxaaTile(const SamplerView& v, const TileBuffer& out) {
    const FxaaParams& k = fxaaKernel();
    const IRect& r = out.rect;
    const IRect& vr = v.rect;
    const IRect area = r.inset(-kFxaaMargin, -kFxaaMargin);
    const ptrdiff_t pw = area.w;
    Scratch& sc = scratch();
    float* luma = grow(sc.planes, size_t(pw) * area.h + smoothing::kPlaneSlack);
    // Luma rows are made just ahead of the row that needs them; a row of the tile is
    // copied to the output as its luma is made, while the source row is in cache.
    auto lumaRow = [&](int yy) {
        loadPlanes(v, IRect{area.x, yy, area.w, 1}, Edge::Clamp, nullptr, luma + ptrdiff_t(yy - area.y) * pw, pw);
        if (yy >= r.y && yy < r.bottom())  // the tile lies inside the held pixels
            std::memcpy(out.row(yy), v.row(yy) + ptrdiff_t(r.x) * 4, size_t(r.w) * 16);
    };
    for (int yy = area.y; yy < r.y + kFxaaMargin; ++yy) lumaRow(yy);
    const size_t slots = size_t(r.w);
    int32_t* cols = grow(sc.cols, slots);
    int32_t* across = grow(sc.across, slots);
    float* blend = grow(sc.blend, slots);

    for (int y = r.y; y < r.bottom(); ++y) {
        // Source rows are far apart: the one after next is fetched while this one is worked on.
        if (const int ahead = y + kFxaaMargin + 2; ahead >= vr.y && ahead < vr.bottom()) {
            const int x0 = std::max(area.x, vr.x), x1 = std::min(area.right(), vr.right());
            const char* row = reinterpret_cast<const char*>(v.row(ahead) + ptrdiff_t(x0) * 4);
            for (ptrdiff_t b = 0; b < ptrdiff_t(x1 - x0) * 16; b += 64) __builtin_prefetch(row + b);
        }
        lumaRow(y + kFxaaMargin);

        const float* lm = luma + ptrdiff_t(y - area.y) * pw + (r.x - area.x);
        const size_t found = smoothing::fxaaRow(k, lm, pw, size_t(r.w), cols, blend, across);
        // Each of them is blended towards its neighbour (nx, ny) by its fraction.
        const float* src = v.row(y) + ptrdiff_t(r.x) * 4;
        float* o = out.row(y);
        for (size_t e = 0; e < found; ++e) {
            const int j = cols[e], dir = across[e];  // nx + 3 ny, each of them -1, 0 or 1
            const int ny = dir > 1 ? 1 : dir < -1 ? -1 : 0, nx = dir - 3 * ny;
            const int qx = std::clamp(r.x + j + nx, vr.x, vr.right() - 1);
            const int qy = std::clamp(y + ny, vr.y, vr.bottom() - 1);
            const float* p = src + ptrdiff_t(j) * 4;
            const float* q = v.row(qy) + ptrdiff_t(qx) * 4;
            float* dst = o + ptrdiff_t(j) * 4;
            const float f = blend[e];
            for (int ch = 0; ch < 4; ++ch) dst[ch] = p[ch] + (q[ch] - p[ch]) * f;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Surface blur.

KernelCache<YUCISurfaceBlurKernel>& surfaceBlurCache() {
    static auto* c = new KernelCache<YUCISurfaceBlurKernel>;
    return *c;
}

void surfaceBlurTile(const SamplerView& v, const TileBuffer& out, const YUCISurfaceBlurKernel& k, float threshold) {
    const int m = k.radius - 1;  // window half-width
    const IRect& r = out.rect;
    const IRect area = r.inset(-m, -m);
    const ptrdiff_t pw = area.w;
    const size_t planeSize = size_t(pw) * area.h;
    Scratch& sc = scratch();
    float* base = grow(sc.planes, planeSize * 5 + smoothing::kPlaneSlack);
    float* planes[4] = {base, base + planeSize, base + 2 * planeSize, base + 3 * planeSize};
    float* luma = base + 4 * planeSize;
    loadPlanes(v, area, Edge::Clamp, planes, luma, pw);

    // Weight falls linearly to 0 at the threshold; at threshold 0 only equal brightness counts.
    const float invT = threshold > 0 ? 1.0f / threshold : 1.0e30f;
    for (int y = r.y; y < r.bottom(); ++y) {
        const ptrdiff_t centre = ptrdiff_t(y - area.y) * pw + m;
        smoothing::surfaceBlurRow(planes, luma, centre, pw, m, k.weights.data(), invT, size_t(r.w), out.row(y));
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

void bilateralTile(const SamplerView& v, const TileBuffer& out, const BilateralPass& pass) {
    const YUCIBilateralKernel& k = *pass.kernel;
    const IRect& r = out.rect;
    const int g = pass.reach;
    const IRect area = pass.horizontal ? IRect{r.x - g, r.y, r.w + 2 * g, r.h} : IRect{r.x, r.y - g, r.w, r.h + 2 * g};
    const ptrdiff_t pw = area.w;
    const size_t planeSize = size_t(pw) * area.h;
    Scratch& sc = scratch();
    float* base = grow(sc.planes, planeSize * 4 + smoothing::kPlaneSlack);
    float* planes[4] = {base, base + planeSize, base + 2 * planeSize, base + 3 * planeSize};
    loadPlanes(v, area, Edge::Transparent, planes, nullptr, pw);

    // Each tap reads linearly between two pixels along the pass's direction.
    const int half = (k.sampleCount - 1) / 2;
    const ptrdiff_t step = pass.horizontal ? 1 : pw;
    std::vector<smoothing::BilateralTap>& taps = sc.taps;
    taps.clear();
    for (int t = -half; t <= half; ++t) {
        const float off = float(t) * pass.spacing;
        float i0 = std::floor(off), f = off - i0;
        if (v.nearest) {
            i0 = std::floor(off + 0.5f);
            f = 0;
        }
        const ptrdiff_t o0 = ptrdiff_t(i0) * step;
        taps.push_back({o0, o0 + step, k.weights[size_t(std::abs(t))], f});
    }
    for (int y = r.y; y < r.bottom(); ++y) {
        const ptrdiff_t centre = ptrdiff_t(y - area.y) * pw + (r.x - area.x);
        smoothing::bilateralRow(planes, centre, taps.data(), taps.size(), pass.factor, size_t(r.w), out.row(y));
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

namespace {

// The per-channel maps of n pixels (see the header).
void equalizationMaps(const uint8_t* pixels, size_t n, uint8_t map[4][256]) {
    uint64_t hist[4][256] = {};
    for (size_t i = 0; i < n; ++i)
        for (int c = 0; c < 4; ++c) ++hist[c][pixels[i * 4 + size_t(c)]];
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
}

// Maps the channels of n pixels in place, channel c moving to byte to[c] of its pixel.
// Each channel's table holds its results already in place in a 32-bit pixel, so that a
// pixel is four look-ups and one store.
void applyMaps(const uint8_t map[4][256], const int to[4], uint8_t* pixels, size_t n) {
    constexpr bool little = std::endian::native == std::endian::little;
    uint32_t lut[4][256];
    for (int c = 0; c < 4; ++c)
        for (int v = 0; v < 256; ++v) lut[c][v] = uint32_t(map[c][v]) << (8 * (little ? to[c] : 3 - to[c]));
    for (size_t i = 0; i < n; ++i) {
        uint8_t* p = pixels + i * 4;
        const uint32_t q = lut[0][p[0]] | lut[1][p[1]] | lut[2][p[2]] | lut[3][p[3]];
        std::memcpy(p, &q, 4);
    }
}

}  // namespace

void YUCIHistogramEqualization::equalize(uint8_t* pixels, size_t n) {
    if (!pixels || n == 0) return;
    uint8_t map[4][256];
    equalizationMaps(pixels, n, map);
    static constexpr int kSame[4] = {0, 1, 2, 3};
    applyMaps(map, kSame, pixels, n);
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
    uint8_t map[4][256];
    equalizationMaps(buf.data(), n, map);
    static constexpr int kToRGBA[4] = {3, 0, 1, 2};  // A, R, G, B -> R, G, B, A
    applyMaps(map, kToRGBA, buf.data(), n);
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
