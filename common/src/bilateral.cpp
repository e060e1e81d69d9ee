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
// Inner loops run over planes of floats, lanes being neighbouring output pixels, so that
// they vectorise; the range weight uses a polynomial exp.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

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

// e^−z for z ≥ 0, relative error about 2e-7; e^−80 and below read as e^−80 (negligible
// beside the centre's weight of 1).
inline float expNeg(float z) {
    const float x = -std::min(z, 80.0f);
    const float n = std::floor(x * 1.44269504f + 0.5f);
    const float r = x - n * 0.693145752f - n * 1.42860677e-6f;
    const float p = 1.0f + r * (1.0f + r * (0.5f + r * (0.166666672f + r * (0.0416666679f + r * 0.00833333377f))));
    return p * std::bit_cast<float>((int32_t(n) + 127) << 23);
}

struct Params {
    int half = 0;
    std::vector<float> tent;  // by |k|, 0..half
    float rangeScale = 0;     // |Δrgb|² (stored units) times this is d² / (2σ²)
    float stopD2 = 0;         // |Δrgb|² beyond which the occlusion walk stops
    bool blurAlpha = false;
    bool occlusion = false;
};

// Scratch of one thread: planes and accumulators reused across tiles.
struct Scratch {
    std::vector<float> planes, acc, weights;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Adds one tap to the accumulators of n lanes: colour t (previous tap p, centre c) with
// spatial weight s; `alive` carries the occlusion walk. Restrict-qualified so that the
// loop vectorises without alias checks.
// With kGrey the three colour planes are known equal: only red is accumulated, and the
// distances are summed the same way, so the result is bit-identical to the colour path.
template <bool kLaneValid, bool kOcclusion, bool kGrey>
void gatherTap(int n, float s, float scale, float stop, const float* __restrict cr, const float* __restrict cg,
               const float* __restrict cb, const float* __restrict tr, const float* __restrict tg,
               const float* __restrict tb, const float* __restrict ta, const float* __restrict tv,
               const float* __restrict pr, const float* __restrict pg, const float* __restrict pb, float* __restrict ar,
               float* __restrict ag, float* __restrict ab, float* __restrict aa, float* __restrict aw,
               float* __restrict alive) {
    for (int i = 0; i < n; ++i) {
        const float dr = tr[i] - cr[i];
        const float dg = kGrey ? dr : tg[i] - cg[i], db = kGrey ? dr : tb[i] - cb[i];
        const float d2 = dr * dr + dg * dg + db * db;
        float w = s * expNeg(d2 * scale);
        if constexpr (kLaneValid) w *= tv[i];
        if constexpr (kOcclusion) {
            const float er = tr[i] - pr[i];
            const float eg = kGrey ? er : tg[i] - pg[i], eb = kGrey ? er : tb[i] - pb[i];
            const float e2 = er * er + eg * eg + eb * eb;
            const float a = (d2 <= stop && e2 <= stop) ? alive[i] : 0.0f;
            alive[i] = a;
            w *= a;
        }
        ar[i] += w * tr[i];
        if constexpr (!kGrey) {
            ag[i] += w * tg[i];
            ab[i] += w * tb[i];
        }
        aa[i] += w * ta[i];
        aw[i] += w;
    }
}

// One line of n output pixels. P[c] points at the centre pixels' channel c (lane i at
// P[c][i]); the tap at offset k of lane i is P[c][i + k·step]. sw[k + half] is the tap's
// spatial weight (0 for taps known to lie outside the extent); V, when present, is a
// validity plane indexed like the channels. Writes interleaved RGBA to dst.
template <bool kLaneValid, bool kOcclusion, bool kGrey>
void filterLine(const float* const* P, const float* V, ptrdiff_t step, int n, const float* sw, const Params& p,
                float* acc, float* dst) {
    const int h = p.half;
    const float scale = p.rangeScale, stop = p.stopD2;
    const float *cr = P[0], *cg = P[1], *cb = P[2], *ca = P[3];
    float *ar = acc, *ag = acc + n, *ab = acc + 2 * n, *aa = acc + 3 * n, *aw = acc + 4 * n, *alive = acc + 5 * n;
    for (int i = 0; i < n; ++i) {
        ar[i] = cr[i];
        ag[i] = cg[i];
        ab[i] = cb[i];
        aa[i] = ca[i];
        aw[i] = 1.0f;
    }
    auto gather = [&](int k, const float* pr, const float* pg, const float* pb) {
        const ptrdiff_t o = ptrdiff_t(k) * step;
        gatherTap<kLaneValid, kOcclusion, kGrey>(n, sw[k + h], scale, stop, cr, cg, cb, cr + o, cg + o, cb + o, ca + o,
                                          kLaneValid ? V + o : nullptr, pr, pg, pb, ar, ag, ab, aa, aw, alive);
    };
    if constexpr (kOcclusion) {
        for (int dir = -1; dir <= 1; dir += 2) {
            std::fill(alive, alive + n, 1.0f);
            for (int j = 1; j <= h; ++j) {
                const int k = dir * j;
                const ptrdiff_t po = ptrdiff_t(k - dir) * step;  // the tap before, towards the centre
                if (sw[k + h] == 0) break;                       // outside the extent from here on
                gather(k, cr + po, cg + po, cb + po);
            }
        }
    } else {
        for (int k = -h; k <= h; ++k)
            if (k != 0 && sw[k + h] != 0) gather(k, nullptr, nullptr, nullptr);
    }
    const bool blurAlpha = p.blurAlpha || kOcclusion;
    for (int i = 0; i < n; ++i) {
        const float inv = 1.0f / aw[i];
        dst[i * 4 + 0] = ar[i] * inv;
        dst[i * 4 + 1] = (kGrey ? ar[i] : ag[i]) * inv;
        dst[i * 4 + 2] = (kGrey ? ar[i] : ab[i]) * inv;
        dst[i * 4 + 3] = blurAlpha ? aa[i] * inv : ca[i];
    }
}

template <bool kLaneValid>
void runLine(const float* const* P, const float* V, ptrdiff_t step, int n, const float* sw, const Params& p, float* acc,
             float* dst, bool grey) {
    if (p.occlusion) {
        if (grey)
            filterLine<kLaneValid, true, true>(P, V, step, n, sw, p, acc, dst);
        else
            filterLine<kLaneValid, true, false>(P, V, step, n, sw, p, acc, dst);
    } else {
        if (grey)
            filterLine<kLaneValid, false, true>(P, V, step, n, sw, p, acc, dst);
        else
            filterLine<kLaneValid, false, false>(P, V, step, n, sw, p, acc, dst);
    }
}

// Whether n values of the red, green and blue planes are all equal (a grey picture).
bool samePlanes(const float* r, const float* g, const float* b, size_t n) {
    int differ = 0;  // an OR reduction vectorises where a bool one does not
    for (size_t i = 0; i < n; ++i) differ |= int(r[i] != g[i]) | int(r[i] != b[i]);
    return differ == 0;
}

// Planar copy of pixels [x0, x0 + count) of row y; pixels the view does not hold are 0 with
// validity 0.
void loadRow(const SamplerView& v, int y, int x0, int count, float* const* planes, float* valid) {
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
    if (c1 <= c0) return;
    const float* s = v.row(y) + ptrdiff_t(c0) * 4;
    float *r = planes[0] + (c0 - x0), *g = planes[1] + (c0 - x0), *b = planes[2] + (c0 - x0),
          *a = planes[3] + (c0 - x0);
    for (int i = 0; i < c1 - c0; ++i) {
        r[i] = s[i * 4 + 0];
        g[i] = s[i * 4 + 1];
        b[i] = s[i * 4 + 2];
        a[i] = s[i * 4 + 3];
    }
}

void horizontalTile(const SamplerView& v, const TileBuffer& out, const Params& p) {
    const IRect& t = out.rect;
    const int h = p.half, pw = t.w + 2 * h;
    Scratch& s = scratch();
    s.planes.resize(size_t(pw) * 5);
    s.acc.resize(size_t(t.w) * 6);
    s.weights.resize(size_t(2 * h + 1));
    for (int k = -h; k <= h; ++k) s.weights[size_t(k + h)] = p.tent[size_t(std::abs(k))];
    float* planes[4];
    for (int c = 0; c < 4; ++c) planes[c] = s.planes.data() + size_t(c) * pw;
    float* valid = s.planes.data() + size_t(4) * pw;
    const float* P[4] = {planes[0] + h, planes[1] + h, planes[2] + h, planes[3] + h};
    for (int y = t.y; y < t.bottom(); ++y) {
        loadRow(v, y, t.x - h, pw, planes, valid);
        const bool grey = samePlanes(planes[0], planes[1], planes[2], size_t(pw));
        runLine<true>(P, valid + h, 1, t.w, s.weights.data(), p, s.acc.data(), out.row(y), grey);
    }
}

void verticalTile(const SamplerView& v, const TileBuffer& out, const Params& p) {
    const IRect& t = out.rect;
    const int h = p.half, rows = t.h + 2 * h, w = t.w;
    const size_t planeSize = size_t(rows) * w;
    Scratch& s = scratch();
    s.planes.resize(planeSize * 4 + size_t(rows));
    s.acc.resize(size_t(w) * 6);
    s.weights.resize(size_t(2 * h + 1));
    float* rowValid = s.planes.data() + planeSize * 4;
    for (int j = 0; j < rows; ++j) {
        float* planes[4];
        for (int c = 0; c < 4; ++c) planes[c] = s.planes.data() + c * planeSize + size_t(j) * w;
        const int y = t.y - h + j;
        // The tile lies inside the extent, so a row is either wholly held or wholly outside.
        rowValid[j] =
            (y >= v.rect.y && y < v.rect.bottom() && v.rect.x <= t.x && v.rect.right() >= t.right()) ? 1.f : 0.f;
        loadRow(v, y, t.x, w, planes, nullptr);
    }
    const float* base = s.planes.data();
    const bool grey = samePlanes(base, base + planeSize, base + 2 * planeSize, planeSize);
    for (int j = 0; j < t.h; ++j) {
        for (int k = -h; k <= h; ++k) s.weights[size_t(k + h)] = p.tent[size_t(std::abs(k))] * rowValid[j + h + k];
        const float* P[4];
        for (int c = 0; c < 4; ++c) P[c] = s.planes.data() + c * planeSize + size_t(j + h) * w;
        runLine<false>(P, nullptr, w, w, s.weights.data(), p, s.acc.data(), out.row(t.y + j), grey);
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
