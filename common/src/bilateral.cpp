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
#include <cmath>
#include <cstdint>
#include <cstring>
#include <immintrin.h>
#include <memory>
#include <vector>

#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/node.h"
#include "vellari/platform/pixel_vectors.h"

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
constexpr size_t kSlack = 16;
struct Scratch {
    std::vector<float> planes, weights;
};
Scratch& scratch() {
    thread_local Scratch s;
    return s;
}

// Sixteen lanes in registers: the accumulators stay there over all the taps of a block
// instead of going through memory once a tap.
typedef float v16 __attribute__((vector_size(64)));
typedef int32_t vi16 __attribute__((vector_size(64)));

inline v16 load16(const float* p) { return detail::loadV<v16>(p); }

// The nearest whole numbers, and q · 2^n for whole n: single instructions where the widest
// registers are there (their masked forms: the unmasked ones trip a false uninitialised-
// value warning in this compiler).
inline v16 nearestWhole(v16 v) {
#if defined(__AVX512F__)
    return v16(_mm512_mask_roundscale_ps(__m512(v), 0xFFFF, __m512(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
#else
    const v16 t = v + 0.5f;
    const v16 whole = __builtin_convertvector(__builtin_convertvector(t, vi16), v16);  // towards zero
    return whole > t ? whole - 1.0f : whole;                                          // floor
#endif
}

inline v16 timesPowerOfTwo(v16 q, v16 n) {
#if defined(__AVX512F__)
    return v16(_mm512_mask_scalef_ps(__m512(q), 0xFFFF, __m512(q), __m512(n)));
#else
    const vi16 e = (__builtin_convertvector(n, vi16) + 127) << 23;
    v16 scale;
    std::memcpy(&scale, &e, sizeof scale);
    return q * scale;
#endif
}

// e^−z for z ≥ 0, sixteen lanes at a time, relative error about 2e-7; e^−80 and below
// read as e^−80 (negligible beside the centre's weight of 1).
inline v16 expNeg16(v16 z) {
    const v16 x = -(z < 80.0f ? z : v16{} + 80.0f);
    const v16 n = nearestWhole(x * 1.44269504f);
    const v16 r = x - n * 0.693145752f - n * 1.42860677e-6f;
    const v16 q = 1.0f + r * (1.0f + r * (0.5f + r * (0.166666672f + r * (0.0416666679f + r * 0.00833333377f))));
    return timesPowerOfTwo(q, n);
}

// One line of n output pixels. P[c] points at the centre pixels' channel c (lane i at
// P[c][i]); the tap at offset k of lane i is P[c][i + k·step]. sw[k + half] is the tap's
// spatial weight (0 for taps known to lie outside the extent); V, when present, is a
// validity plane indexed like the channels. Writes interleaved RGBA to dst. Blocks of 16
// lanes: up to 15 lanes past n are read (the planes have that much slack), not written.
// With kGrey the three colour planes are known equal: only red is accumulated, and the
// distances are summed the same way, so the result is bit-identical to the colour path.
// The occlusion walk of a block ends once every one of its lanes has stopped.
template <bool kLaneValid, bool kOcclusion, bool kGrey>
void filterLine(const float* const* P, const float* V, ptrdiff_t step, int n, const float* sw, const Params& p,
                float* dst) {
    const int h = p.half;
    const float scale = p.rangeScale, stop = p.stopD2;
    const bool blurAlpha = p.blurAlpha || kOcclusion;
    for (int i = 0; i < n; i += 16) {
        const v16 cr = load16(P[0] + i), ca = load16(P[3] + i);
        const v16 cg = kGrey ? cr : load16(P[1] + i), cb = kGrey ? cr : load16(P[2] + i);
        v16 ar = cr, ag = cg, ab = cb, aa = ca, aw = v16{} + 1.0f;
        // Adds tap k; with the occlusion walk, (pr, pg, pb) is the tap before it.
        auto tap = [&](int k, v16& alive, v16& pr, v16& pg, v16& pb) {
            const ptrdiff_t o = i + ptrdiff_t(k) * step;
            const v16 tr = load16(P[0] + o), ta = load16(P[3] + o);
            const v16 tg = kGrey ? tr : load16(P[1] + o), tb = kGrey ? tr : load16(P[2] + o);
            const v16 dr = tr - cr;
            const v16 dg = kGrey ? dr : tg - cg, db = kGrey ? dr : tb - cb;
            const v16 d2 = dr * dr + dg * dg + db * db;
            v16 w = sw[k + h] * expNeg16(d2 * scale);
            if constexpr (kLaneValid) w *= load16(V + o);
            if constexpr (kOcclusion) {
                const v16 er = tr - pr;
                const v16 eg = kGrey ? er : tg - pg, eb = kGrey ? er : tb - pb;
                const v16 e2 = er * er + eg * eg + eb * eb;
                alive = (d2 <= stop && e2 <= stop) ? alive : v16{};
                w *= alive;
                pr = tr;
                pg = tg;
                pb = tb;
            }
            ar += w * tr;
            if constexpr (!kGrey) {
                ag += w * tg;
                ab += w * tb;
            }
            aa += w * ta;
            aw += w;
        };
        if constexpr (kOcclusion) {
            for (int dir = -1; dir <= 1; dir += 2) {
                v16 alive = v16{} + 1.0f, pr = cr, pg = cg, pb = cb;
                for (int j = 1; j <= h; ++j) {
                    const int k = dir * j;
                    if (sw[k + h] == 0) break;  // outside the extent from here on
                    tap(k, alive, pr, pg, pb);
                    if (!detail::anyLane(alive != 0.0f)) break;
                }
            }
        } else {
            v16 alive, pr, pg, pb;
            for (int k = -h; k <= h; ++k)
                if (k != 0 && sw[k + h] != 0) tap(k, alive, pr, pg, pb);
        }
        const v16 inv = 1.0f / aw;
        const v16 r = ar * inv, g = (kGrey ? ar : ag) * inv, b = (kGrey ? ar : ab) * inv;
        const v16 a = blurAlpha ? aa * inv : ca;
        float* d = dst + ptrdiff_t(i) * 4;
        for (int l = 0; l < std::min(16, n - i); ++l) {
            d[l * 4 + 0] = r[l];
            d[l * 4 + 1] = g[l];
            d[l * 4 + 2] = b[l];
            d[l * 4 + 3] = a[l];
        }
    }
}

template <bool kLaneValid>
void runLine(const float* const* P, const float* V, ptrdiff_t step, int n, const float* sw, const Params& p, float* dst,
             bool grey) {
    if (p.occlusion) {
        if (grey)
            filterLine<kLaneValid, true, true>(P, V, step, n, sw, p, dst);
        else
            filterLine<kLaneValid, true, false>(P, V, step, n, sw, p, dst);
    } else {
        if (grey)
            filterLine<kLaneValid, false, true>(P, V, step, n, sw, p, dst);
        else
            filterLine<kLaneValid, false, false>(P, V, step, n, sw, p, dst);
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
    s.planes.resize(size_t(pw) * 5 + kSlack);
    s.weights.resize(size_t(2 * h + 1));
    for (int k = -h; k <= h; ++k) s.weights[size_t(k + h)] = p.tent[size_t(std::abs(k))];
    float* planes[4];
    for (int c = 0; c < 4; ++c) planes[c] = s.planes.data() + size_t(c) * pw;
    float* valid = s.planes.data() + size_t(4) * pw;
    const float* P[4] = {planes[0] + h, planes[1] + h, planes[2] + h, planes[3] + h};
    for (int y = t.y; y < t.bottom(); ++y) {
        loadRow(v, y, t.x - h, pw, planes, valid);
        const bool grey = samePlanes(planes[0], planes[1], planes[2], size_t(pw));
        runLine<true>(P, valid + h, 1, t.w, s.weights.data(), p, out.row(y), grey);
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
        runLine<false>(P, nullptr, w, w, s.weights.data(), p, out.row(t.y + j), grey);
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
