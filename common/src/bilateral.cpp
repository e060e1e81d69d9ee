// Separable edge-preserving blurs: a horizontal pass, then a vertical pass, each a sampling
// node of the image layer (lazy, tiled, parallel).
//
// Weights of a tap at offset k from the centre:
//   spatial: a tent over the taps, 1 − |k| / (half + 1), so the end taps still count a little;
//   range:   exp(−d² / (2σ²)), d the Euclidean RGB distance to the centre pixel and σ the
//            colour sigma, both in stored values (the colour stage passes 36 / 255).
// Both work on the stored premultiplied values; the inputs are normally opaque pictures,
// where that is the same as working on colour. Taps outside the input's extent take no
// part (their weight is 0), so borders do not darken.
//
// The occlusion variant walks outwards from the centre in each direction and stops at the
// first tap that lies more than 2.5σ from the centre colour or from the tap before it: that
// tap and everything beyond it are left out. A thin dark line between two regions thus
// keeps either side's colour from reaching the other, where the plain tent would still
// give the far side a small weight. It always blurs alpha with the colour weights (a
// weighted mean of valid premultiplied pixels stays valid).
//
// Inner loops run over planes of floats, lanes being neighbouring output pixels (see
// bilateral_kernels.h); the range weight uses a polynomial exp.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "bilateral_kernels.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/node.h"

namespace vellari {
namespace {

using detail::TileBuffer;

constexpr int kMaxTaps = 4097;
constexpr double kStopSigmas = 2.5;

// Nearest odd tap count; an even size (a tie) rounds up. Below 1 (or not a number): 1.
int oddTaps(double v) {
    if (!(v >= 1)) return 1;
    return int(std::min(2 * std::floor(v / 2) + 1, double(kMaxTaps)));
}

struct Params {
    int half = 0;
    std::vector<float> tent;  // by |k|, 0..half
    float rangeScale = 0;     // |Δrgb|² (stored units) times this is d² / (2σ²)
    float stopD2 = 0;         // |Δrgb|² beyond which the occlusion walk stops
    bool blurAlpha = false;
    bool occlusion = false;
};

// Scratch of one thread: planes reused across tiles, with slack for the lanes of a last
// block that lie past the line.
constexpr size_t kSlack = bilateral::kLineSlack;
struct Scratch {
    std::vector<float> planes, weights;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

void runLine(const float* const* P, const float* V, ptrdiff_t step, int n, const float* sw, const Params& p, float* dst,
             bool grey) {
    bilateral::Line line;
    for (int c = 0; c < 4; ++c) line.planes[c] = P[c];
    line.valid = V;
    line.step = step;
    line.n = size_t(n);
    line.spatial = sw;
    line.half = p.half;
    line.rangeScale = p.rangeScale;
    line.stopD2 = p.stopD2;
    line.blurAlpha = p.blurAlpha;
    line.occlusion = p.occlusion;
    line.grey = grey;
    bilateral::filterLine(line, dst);
}

// Planar copy of pixels [x0, x0 + count) of row y; pixels the view does not hold are 0 with
// validity 0. True when the three colour planes are equal (a grey row).
bool loadRow(const SamplerView& v, int y, int x0, int count, float* const* planes, float* valid) {
    const bool rowIn = y >= v.rect.y && y < v.rect.bottom();
    const int c0 = rowIn ? std::clamp(v.rect.x, x0, x0 + count) : x0;
    const int c1 = rowIn ? std::clamp(v.rect.right(), c0, x0 + count) : x0;
    for (int c = 0; c < 4; ++c) {
        std::fill(planes[c], planes[c] + (c0 - x0), 0.0f);
        std::fill(planes[c] + (c1 - x0), planes[c] + count, 0.0f);
    }
    if (valid) {
        std::fill(valid, valid + count, 0.0f);
        std::fill(valid + (c0 - x0), valid + (c1 - x0), 1.0f);
    }
    if (c1 <= c0) return true;
    const ptrdiff_t o = c0 - x0;
    return bilateral::splitPlanes(v.row(y) + ptrdiff_t(c0) * 4, size_t(c1 - c0), planes[0] + o, planes[1] + o,
                                  planes[2] + o, planes[3] + o);
}

void horizontalTile(const SamplerView& v, const TileBuffer& out, const Params& p) {
    const IRect& t = out.rect;
    const int h = p.half, pw = t.w + 2 * h;
    Scratch& s = scratch();
    s.planes.resize(size_t(pw) * 5 + kSlack);
    s.weights.resize(size_t(2 * h + 1));
    for (int k = -h; k <= h; ++k) s.weights[size_t(k + h)] = p.tent[size_t(std::abs(k))];
    float* planes[4];
    for (int c = 0; c < 4; ++c) planes[c] = s.planes.data() + size_t(c) * pw;
    float* valid = s.planes.data() + size_t(4) * pw;
    const float* P[4] = {planes[0] + h, planes[1] + h, planes[2] + h, planes[3] + h};
    for (int y = t.y; y < t.bottom(); ++y) {
        const bool grey = loadRow(v, y, t.x - h, pw, planes, valid);
        runLine(P, valid + h, 1, t.w, s.weights.data(), p, out.row(y), grey);
    }
}

void verticalTile(const SamplerView& v, const TileBuffer& out, const Params& p) {
    const IRect& t = out.rect;
    const int h = p.half, rows = t.h + 2 * h, w = t.w;
    const size_t planeSize = size_t(rows) * w;
    Scratch& s = scratch();
    s.planes.resize(planeSize * 4 + size_t(rows) + kSlack);
    s.weights.resize(size_t(2 * h + 1));
    float* rowValid = s.planes.data() + planeSize * 4;
    bool grey = true;
    for (int j = 0; j < rows; ++j) {
        float* planes[4];
        for (int c = 0; c < 4; ++c) planes[c] = s.planes.data() + c * planeSize + size_t(j) * w;
        const int y = t.y - h + j;
        // The tile lies inside the extent, so a row is either wholly held or wholly outside.
        rowValid[j] =
            (y >= v.rect.y && y < v.rect.bottom() && v.rect.x <= t.x && v.rect.right() >= t.right()) ? 1.f : 0.f;
        grey &= loadRow(v, y, t.x, w, planes, nullptr);
    }
    for (int j = 0; j < t.h; ++j) {
        for (int k = -h; k <= h; ++k) s.weights[size_t(k + h)] = p.tent[size_t(std::abs(k))] * rowValid[j + h + k];
        const float* P[4];
        for (int c = 0; c < 4; ++c) P[c] = s.planes.data() + c * planeSize + size_t(j + h) * w;
        runLine(P, nullptr, w, w, s.weights.data(), p, out.row(t.y + j), grey);
    }
}

Image separableBilateral(const Image& image, double kernelSize, double colorSigma, bool blurAlpha, bool occlusion) {
    if (!image) return {};
    const Rect e = image.extent();
    const int h = oddTaps(kernelSize) / 2;
    // No taps, or a range weight that vanishes for any difference: nothing changes.
    if (e.isEmpty() || h == 0 || !(colorSigma > 0)) return image;

    auto p = std::make_shared<Params>();
    p->half = h;
    p->tent.resize(size_t(h) + 1);
    for (int k = 0; k <= h; ++k) p->tent[size_t(k)] = float(1.0 - double(k) / (h + 1));
    const double sigma = colorSigma;  // in stored units
    p->rangeScale = float(1.0 / (2.0 * sigma * sigma));
    p->stopD2 = float(kStopSigmas * kStopSigmas * sigma * sigma);
    p->blurAlpha = blurAlpha;
    p->occlusion = occlusion;

    Image horizontal = detail::makeSampling(
        e, {image}, [h](int, const IRect& d) { return d.inset(-h, 0); },
        [p](const SamplerView* in, const TileBuffer& out) { horizontalTile(in[0], out, *p); });
    return detail::makeSampling(
        e, {horizontal}, [h](int, const IRect& d) { return d.inset(0, -h); },
        [p](const SamplerView* in, const TileBuffer& out) { verticalTile(in[0], out, *p); });
}

}  // namespace

Image QXCoreImageUtilities::bilateralBlurTentSeparable(const Image& image, double kernelSize, double colorSigma,
                                                       bool blurAlpha) {
    return separableBilateral(image, kernelSize, colorSigma, blurAlpha, false);
}

Image QXCoreImageUtilities::bilateralBlurOcclusionSeparable(const Image& image, double kernelSize, double colorSigma) {
    return separableBilateral(image, kernelSize, colorSigma, true, true);
}

}  // namespace vellari
