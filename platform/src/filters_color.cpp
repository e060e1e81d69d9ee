// Colour filters: colour cube, matrix, controls, gamma, tone curve, vibrance, temperature
// and tint, invert, unsharp mask.
//
// Pixels arrive premultiplied. Filters whose maths is defined on colours unpremultiply
// (alpha 0 gives colour 0), compute, and premultiply again; each documents whether it
// clamps. Per-filter constants are computed once in outputImage() and captured by value,
// so the span functions are plain loops over n RGBA pixels.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "builtin_filters.h"
#include "node.h"
#include "vellari/platform/pixel_vectors.h"
#include "vellari/platform/fast_math.h"
#include "vellari/platform/filter.h"

namespace vellari::detail {
namespace {


inline float clamp01(float v) { return v < 0.f ? 0.f : (v > 1.f ? 1.f : v); }
// Table coordinate in [0, 1]; NaN reads as 0 so that it can never index out of range.
inline float tableCoord(float v) { return v > 0.f ? (v < 1.f ? v : 1.f) : 0.f; }
inline float safeInverse(float a) { return a > 0.f ? 1.f / a : 0.f; }

template <class F>
void registerFilter(const char* name) {
    FilterRegistry::add(name, [] { return std::make_shared<F>(); });
}

// --- CIColorCube -----------------------------------------------------------------------

FloatData identityCube(int n) {
    auto d = std::make_shared<std::vector<float>>(size_t(n) * n * n * 4);
    float* p = d->data();
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                *p++ = float(r) / float(n - 1);
                *p++ = float(g) / float(n - 1);
                *p++ = float(b) / float(n - 1);
                *p++ = 1.f;
            }
    return d;
}

// Trilinear lookup. The lookup coordinate is clamped to [0, 1], so colours outside the
// cube read its faces; the table's own alpha is ignored and the pixel's alpha kept.
class ColorCubeFilter final : public Filter {
public:
    ColorCubeFilter() : Filter("CIColorCube") {
        declareInput("inputImage");
        declareInput("inputCubeDimension", 2);
        declareInput("inputCubeData", identityCube(2));
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const double dim = value("inputCubeDimension").number(-1);
        FloatData data = value("inputCubeData").data();
        if (!(dim >= 2 && dim <= 256) || dim != std::floor(dim) || !data) return {};
        const int n = int(dim);
        if (data->size() != size_t(n) * n * n * 4) return {};
        // Entries as (r, g, b, 1): each corner is one 4-float load, and the interpolated
        // entry times the pixel's alpha is directly the premultiplied result with that alpha.
        auto table = std::make_shared<std::vector<V4>>(size_t(n) * n * n);
        for (size_t i = 0; i < table->size(); ++i)
            (*table)[i] = V4{(*data)[i * 4], (*data)[i * 4 + 1], (*data)[i * 4 + 2], 1.f};
        const float scale = float(n - 1);
        return makePointwise(in.extent(), {in}, [table, n, scale](const float* const* src, float* out, int cnt, int, int) {
            const float* s = src[0];
            const V4* t = table->data();
            const ptrdiff_t sg = n, sb = ptrdiff_t(n) * n;
            for (int i = 0; i < cnt; ++i) {
                const float a = s[4 * i + 3];
                const float inv = safeInverse(a);
                float f[3];
                int i0[3];
                for (int c = 0; c < 3; ++c) {
                    float x = tableCoord(s[4 * i + c] * inv) * scale;
                    int k = std::min(int(x), n - 2);
                    i0[c] = k;
                    f[c] = x - float(k);
                }
                const V4* p = t + i0[0] + i0[1] * sg + i0[2] * sb;
                const V4 c00 = p[0] + (p[1] - p[0]) * f[0];
                const V4 c10 = p[sg] + (p[sg + 1] - p[sg]) * f[0];
                const V4 c01 = p[sb] + (p[sb + 1] - p[sb]) * f[0];
                const V4 c11 = p[sb + sg] + (p[sb + sg + 1] - p[sb + sg]) * f[0];
                const V4 c0 = c00 + (c10 - c00) * f[1];
                const V4 c1 = c01 + (c11 - c01) * f[1];
                const V4 r = (c0 + (c1 - c0) * f[2]) * a;
                std::memcpy(out + 4 * i, &r, sizeof r);
            }
        });
    }
};

// --- CIColorMatrix ---------------------------------------------------------------------

// On straight colour. The colour channels are not clamped (values flow raw to later
// stages); the new alpha is clamped to [0, 1] since it premultiplies the result.
class ColorMatrixFilter final : public Filter {
public:
    ColorMatrixFilter() : Filter("CIColorMatrix") {
        declareInput("inputImage");
        declareInput("inputRVector", Vector{1, 0, 0, 0});
        declareInput("inputGVector", Vector{0, 1, 0, 0});
        declareInput("inputBVector", Vector{0, 0, 1, 0});
        declareInput("inputAVector", Vector{0, 0, 0, 1});
        declareInput("inputBiasVector", Vector{0, 0, 0, 0});
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        std::array<float, 20> m{};  // rows R, G, B, A, then the bias
        const char* keys[5] = {"inputRVector", "inputGVector", "inputBVector", "inputAVector", "inputBiasVector"};
        for (int r = 0; r < 5; ++r) {
            Vector v = value(keys[r]).vector();
            for (int c = 0; c < 4; ++c) m[r * 4 + c] = float(v[c]);
        }
        return makePointwise(in.extent(), {in}, [m](const float* const* src, float* out, int n, int, int) {
            const float* s = src[0];
            for (int i = 0; i < n; ++i) {
                const float a = s[4 * i + 3];
                const float inv = safeInverse(a);
                const float v[4] = {s[4 * i] * inv, s[4 * i + 1] * inv, s[4 * i + 2] * inv, a};
                float o[4];
                for (int r = 0; r < 4; ++r)
                    o[r] = m[r * 4] * v[0] + m[r * 4 + 1] * v[1] + m[r * 4 + 2] * v[2] + m[r * 4 + 3] * v[3] + m[16 + r];
                const float oa = clamp01(o[3]);
                out[4 * i] = o[0] * oa;
                out[4 * i + 1] = o[1] * oa;
                out[4 * i + 2] = o[2] * oa;
                out[4 * i + 3] = oa;
            }
        });
    }
};

// --- CIColorControls -------------------------------------------------------------------

// Saturation, then brightness, then contrast, on straight colour; not clamped.
class ColorControlsFilter final : public Filter {
public:
    ColorControlsFilter() : Filter("CIColorControls") {
        declareInput("inputImage");
        declareInput("inputSaturation", 1.0);
        declareInput("inputBrightness", 0.0);
        declareInput("inputContrast", 1.0);
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const float sat = float(value("inputSaturation").number(1));
        const float bri = float(value("inputBrightness").number(0));
        const float con = float(value("inputContrast").number(1));
        return makePointwise(in.extent(), {in}, [sat, bri, con](const float* const* src, float* out, int n, int, int) {
            const float* s = src[0];
            int i = 0;
            for (; i + 16 <= n; i += 16) {
                Planes16 q = toPlanes(s + size_t(i) * 4);
                const V16 inv = q.a > 0.f ? 1.f / q.a : V16{};
                const V16 r = q.r * inv, g = q.g * inv, b = q.b * inv;
                const V16 l = 0.2125f * r + 0.7154f * g + 0.0721f * b;
                q.r = ((l + (r - l) * sat + bri - 0.5f) * con + 0.5f) * q.a;
                q.g = ((l + (g - l) * sat + bri - 0.5f) * con + 0.5f) * q.a;
                q.b = ((l + (b - l) * sat + bri - 0.5f) * con + 0.5f) * q.a;
                fromPlanes(out + size_t(i) * 4, q);
            }
            for (; i < n; ++i) {
                const float a = s[4 * i + 3];
                const float inv = safeInverse(a);
                const float r = s[4 * i] * inv, g = s[4 * i + 1] * inv, b = s[4 * i + 2] * inv;
                const float l = 0.2125f * r + 0.7154f * g + 0.0721f * b;
                const float v[3] = {r, g, b};
                for (int c = 0; c < 3; ++c) {
                    float x = l + (v[c] - l) * sat + bri;
                    out[4 * i + c] = ((x - 0.5f) * con + 0.5f) * a;
                }
                out[4 * i + 3] = a;
            }
        });
    }
};

// --- CIGammaAdjust ---------------------------------------------------------------------

// c^power on straight colour; negative values keep their sign (|c|^power · sign c) so
// that out-of-range inputs give numbers, not NaN. Not clamped. Power 1 is exact.
class GammaAdjustFilter final : public Filter {
public:
    GammaAdjustFilter() : Filter("CIGammaAdjust") {
        declareInput("inputImage");
        declareInput("inputPower", 1.0);
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const float p = float(value("inputPower").number(1));
        if (p == 1.f)
            return makePointwise(in.extent(), {in}, [](const float* const* src, float* out, int n, int, int) {
                const float* s = src[0];
                for (int i = 0; i < n; ++i) {
                    const float a = s[4 * i + 3], k = a > 0.f ? 1.f : 0.f;
                    for (int c = 0; c < 3; ++c) out[4 * i + c] = s[4 * i + c] * k;
                    out[4 * i + 3] = a;
                }
            });
        return makePointwise(in.extent(), {in}, [p](const float* const* src, float* out, int n, int, int) {
            const float* s = src[0];
            for (int i = 0; i < n; ++i) {
                const float a = s[4 * i + 3];
                const float inv = safeInverse(a);
                for (int c = 0; c < 3; ++c) out[4 * i + c] = fastmath::signedPow(s[4 * i + c] * inv, p) * a;
                out[4 * i + 3] = a;
            }
        });
    }
};

// --- CIToneCurve -----------------------------------------------------------------------

// A monotone cubic (Fritsch–Carlson) through the points as at most four polynomial
// segments: v = a0 + u·(a1 + u·(a2 + u·a3)), u = (t − x) · invh. Sixteen coefficient
// slots per array so that a register-wide lookup is one lane permute, not a gather.
struct ToneCurve {
    int segments = 1;
    float lo = 0, hi = 1;  // the points' x range: flat outside it
    alignas(64) float x[16]{}, invh[16]{}, a0[16]{}, a1[16]{}, a2[16]{}, a3[16]{};
};

// Points are sorted by x; repeated x keep the last point. No point gives the identity on
// [0, 1], one point a constant.
std::shared_ptr<const ToneCurve> makeToneCurve(std::vector<std::pair<double, double>> pts) {
    std::stable_sort(pts.begin(), pts.end(), [](auto& l, auto& r) { return l.first < r.first; });
    std::vector<double> x, y;
    for (auto& [px, py] : pts) {
        if (!x.empty() && px - x.back() < 1e-9) {
            y.back() = py;
            continue;
        }
        x.push_back(px);
        y.push_back(py);
    }
    auto c = std::make_shared<ToneCurve>();
    const size_t k = std::min<size_t>(x.size(), 16);
    if (k == 0) {
        c->invh[0] = 1;
        c->a1[0] = 1;
        return c;
    }
    c->lo = float(x[0]);
    c->hi = float(x[k - 1]);
    c->x[0] = c->lo;
    c->a0[0] = float(y[0]);
    if (k == 1) return c;
    std::vector<double> m(k, 0.0), d(k - 1);
    for (size_t i = 0; i + 1 < k; ++i) d[i] = (y[i + 1] - y[i]) / (x[i + 1] - x[i]);
    m[0] = d[0];
    m[k - 1] = d[k - 2];
    for (size_t i = 1; i + 1 < k; ++i) m[i] = d[i - 1] * d[i] <= 0 ? 0.0 : (d[i - 1] + d[i]) / 2;
    for (size_t i = 0; i + 1 < k; ++i) {
        if (d[i] == 0) {
            m[i] = m[i + 1] = 0;
            continue;
        }
        double al = m[i] / d[i], be = m[i + 1] / d[i];
        double s = al * al + be * be;
        if (s > 9) {
            double t = 3 / std::sqrt(s);
            m[i] = t * al * d[i];
            m[i + 1] = t * be * d[i];
        }
    }
    c->segments = int(k - 1);
    for (size_t i = 0; i + 1 < k; ++i) {
        // The cubic Hermite basis expanded in u.
        const double h = x[i + 1] - x[i], t0 = h * m[i], t1 = h * m[i + 1];
        c->x[i] = float(x[i]);
        c->invh[i] = float(1 / h);
        c->a0[i] = float(y[i]);
        c->a1[i] = float(t0);
        c->a2[i] = float(-3 * y[i] - 2 * t0 + 3 * y[i + 1] - t1);
        c->a3[i] = float(2 * y[i] + t0 - 2 * y[i + 1] + t1);
    }
    return c;
}

inline float toneCurveAt(const ToneCurve& c, float t) {
    t = tableCoord(t);
    t = std::min(std::max(t, c.lo), c.hi);
    int j = 0;
    for (int b = 1; b < c.segments; ++b) j += t > c.x[b];
    const float u = (t - c.x[j]) * c.invh[j];
    return c.a0[j] + u * (c.a1[j] + u * (c.a2[j] + u * c.a3[j]));
}

inline V16 toneCurveAt(const ToneCurve& c, V16 t, const V16 (&coef)[6]) {
    t = t > 0.f ? (t < 1.f ? t : V16{} + 1.f) : V16{};  // NaN reads as 0
    t = t < c.lo ? V16{} + c.lo : t;
    t = t > c.hi ? V16{} + c.hi : t;
    I16 j{};
    for (int b = 1; b < c.segments; ++b) j -= t > c.x[b];  // true is −1
    const V16 u = (t - __builtin_shuffle(coef[0], j)) * __builtin_shuffle(coef[1], j);
    return __builtin_shuffle(coef[2], j) +
           u * (__builtin_shuffle(coef[3], j) + u * (__builtin_shuffle(coef[4], j) + u * __builtin_shuffle(coef[5], j)));
}

// The curve over a span, on straight colour, sixteen pixels at a time in planes.
void toneCurveSpan(const float* __restrict s, float* __restrict out, int n, const ToneCurve& c) {
    const V16 coef[6] = {loadV<V16>(c.x), loadV<V16>(c.invh), loadV<V16>(c.a0),
                         loadV<V16>(c.a1), loadV<V16>(c.a2), loadV<V16>(c.a3)};
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        Planes16 q = toPlanes(s + size_t(i) * 4);
        const V16 inv = q.a > 0.f ? 1.f / q.a : V16{};
        q.r = toneCurveAt(c, q.r * inv, coef) * q.a;
        q.g = toneCurveAt(c, q.g * inv, coef) * q.a;
        q.b = toneCurveAt(c, q.b * inv, coef) * q.a;
        fromPlanes(out + size_t(i) * 4, q);
    }
    for (; i < n; ++i) {
        const float* p = s + size_t(i) * 4;
        float* o = out + size_t(i) * 4;
        const float a = p[3];
        const float inv = a > 0.f ? 1.f / a : 0.f;
        for (int k = 0; k < 3; ++k) o[k] = toneCurveAt(c, p[k] * inv) * a;
        o[3] = a;
    }
}

// Per colour channel on straight colour; the lookup coordinate is clamped to [0, 1], so
// the output lies within the curve's range.
class ToneCurveFilter final : public Filter {
public:
    ToneCurveFilter() : Filter("CIToneCurve") {
        declareInput("inputImage");
        for (int i = 0; i < 5; ++i)
            declareInput("inputPoint" + std::to_string(i), Vector{0.25 * i, 0.25 * i});
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        std::vector<std::pair<double, double>> pts;
        for (int i = 0; i < 5; ++i) {
            Vector v = value("inputPoint" + std::to_string(i)).vector();
            pts.emplace_back(v[0], v[1]);
        }
        auto curve = makeToneCurve(std::move(pts));
        return makePointwise(in.extent(), {in}, [curve](const float* const* src, float* out, int n, int, int) {
            toneCurveSpan(src[0], out, n, *curve);
        });
    }
};

// --- CIVibrance ------------------------------------------------------------------------

// Scales the colour's distance from its luma by 1 + amount·(1 − s)², s = max − min of the
// straight colour (clamped to [0, 1]): grey-ish colours move most, saturated ones hardly.
// A boost is limited so that an in-gamut colour stays in [0, 1] without changing its hue;
// no other clamping. A block of pixels at a time in planes, so that the arithmetic
// vectorises.
void vibranceSpan(const float* __restrict s, float* __restrict out, int n, float amount) {
    constexpr int kBlock = 64;
    float R[kBlock], G[kBlock], B[kBlock], A[kBlock];
    for (int i0 = 0; i0 < n; i0 += kBlock) {
        const int m = std::min(kBlock, n - i0);
        const float* p = s + size_t(i0) * 4;
        for (int i = 0; i < m; ++i) {
            R[i] = p[4 * i];
            G[i] = p[4 * i + 1];
            B[i] = p[4 * i + 2];
            A[i] = p[4 * i + 3];
        }
        for (int i = 0; i < m; ++i) {
            const float a = A[i];
            const float inv = a > 0.f ? 1.f / a : 0.f;
            const float r = R[i] * inv, g = G[i] * inv, b = B[i] * inv;
            const float mx = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b));
            const float w = 1.f - std::min(std::max(mx - mn, 0.f), 1.f);
            const float l = 0.2125f * r + 0.7154f * g + 0.0721f * b;
            float gain = std::max(0.f, 1.f + amount * w * w);
            // Largest gain keeping every channel inside [0, 1]: the extreme channels decide.
            const float up = mx - l, down = l - mn;
            const float limUp = up > 1e-7f ? (1.f - l) / (up > 1e-7f ? up : 1.f) : 1e30f;
            const float limDown = down > 1e-7f ? l / (down > 1e-7f ? down : 1.f) : 1e30f;
            const float limit = std::min(limUp, limDown);
            gain = gain > 1.f ? std::min(gain, std::max(limit, 1.f)) : gain;
            R[i] = (l + (r - l) * gain) * a;
            G[i] = (l + (g - l) * gain) * a;
            B[i] = (l + (b - l) * gain) * a;
        }
        float* o = out + size_t(i0) * 4;
        for (int i = 0; i < m; ++i) {
            o[4 * i] = R[i];
            o[4 * i + 1] = G[i];
            o[4 * i + 2] = B[i];
            o[4 * i + 3] = A[i];
        }
    }
}

class VibranceFilter final : public Filter {
public:
    VibranceFilter() : Filter("CIVibrance") {
        declareInput("inputImage");
        declareInput("inputAmount", 0.0);
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const float amount = float(value("inputAmount").number(0));
        return makePointwise(in.extent(), {in}, [amount](const float* const* src, float* out, int n, int, int) {
            vibranceSpan(src[0], out, n, amount);
        });
    }
};

// --- CITemperatureAndTint --------------------------------------------------------------

using Mat3 = std::array<double, 9>;

Mat3 mul(const Mat3& l, const Mat3& r) {
    Mat3 o{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) o[i * 3 + j] += l[i * 3 + k] * r[k * 3 + j];
    return o;
}

Mat3 inverse(const Mat3& m) {
    const double a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
    const double A = e * i - f * h, B = -(d * i - f * g), C = d * h - e * g;
    const double det = a * A + b * B + c * C;
    return {A / det, -(b * i - c * h) / det, (b * f - c * e) / det,
            B / det, (a * i - c * g) / det,  -(a * f - c * d) / det,
            C / det, -(a * h - b * g) / det, (a * e - b * d) / det};
}

// Linear sRGB (D65) to XYZ, and the Bradford cone response.
constexpr Mat3 kRgbToXyz = {0.4124564, 0.3575761, 0.1804375, 0.2126729, 0.7151522,
                            0.0721750, 0.0193339, 0.1191920, 0.9503041};
constexpr Mat3 kBradford = {0.8951, 0.2664, -0.1614, -0.7502, 1.7135, 0.0367, 0.0389, -0.0685, 1.0296};

// Planckian locus in CIE 1960 (u, v): Krystek's rational approximation.
void planckianUV(double t, double& u, double& v) {
    u = (0.860117757 + 1.54118254e-4 * t + 1.28641212e-7 * t * t) / (1 + 8.42420235e-4 * t + 7.08145163e-7 * t * t);
    v = (0.317398726 + 4.22806245e-5 * t + 4.20481691e-8 * t * t) / (1 - 2.89741816e-5 * t + 1.61456053e-7 * t * t);
}

// White point (X, Y = 1, Z) of a temperature in kelvin and a tint. The tint moves the
// chromaticity along the isotherm (normal to the locus), positive towards green, by
// tint / 3000 in (u, v); correcting for a greenish white shifts the picture to magenta.
std::array<double, 3> whitePoint(double kelvin, double tint) {
    const double t = std::clamp(kelvin, 1000.0, 100000.0);
    double u, v, u1, v1, u2, v2;
    planckianUV(t, u, v);
    planckianUV(t * 0.999, u1, v1);
    planckianUV(t * 1.001, u2, v2);
    double nu = -(v2 - v1), nv = u2 - u1;
    const double len = std::hypot(nu, nv);
    nu /= len;
    nv /= len;
    if (nv < 0) nu = -nu, nv = -nv;
    u += nu * tint / 3000.0;
    v += nv * tint / 3000.0;
    const double den = 2 * u - 8 * v + 4;
    const double x = 3 * u / den, y = 2 * v / den;
    return {x / y, 1.0, (1 - x - y) / y};
}

// The sRGB transfer curve, mirrored for negative values and continued beyond 1.
inline float decodeSrgb(float c) {
    const float x = std::fabs(c);
    const float l = x <= 0.04045f ? x * (1.f / 12.92f) : fastmath::signedPow((x + 0.055f) * (1.f / 1.055f), 2.4f);
    return std::copysign(l, c);
}
inline float encodeSrgb(float l) {
    const float x = std::fabs(l);
    const float c = x <= 0.0031308f ? x * 12.92f : 1.055f * fastmath::signedPow(x, 1.f / 2.4f) - 0.055f;
    return std::copysign(c, l);
}

// Von Kries adaptation in the Bradford cone space on linear sRGB: the target neutral is
// the light to correct for, so its white maps to the source neutral's. A bluer (higher)
// target therefore warms the picture. Not clamped; values beyond [0, 1] follow the
// transfer curve's continuation. Equal neutrals are the identity, exactly.
class TemperatureAndTintFilter final : public Filter {
public:
    TemperatureAndTintFilter() : Filter("CITemperatureAndTint") {
        declareInput("inputImage");
        declareInput("inputNeutral", Vector{6500, 0});
        declareInput("inputTargetNeutral", Vector{6500, 0});
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const Vector n = value("inputNeutral").vector(), t = value("inputTargetNeutral").vector();
        std::array<float, 9> m{};
        const bool identity = n[0] == t[0] && n[1] == t[1];
        if (!identity) {
            const auto wn = whitePoint(n[0], n[1]), wt = whitePoint(t[0], t[1]);
            Mat3 d{};
            for (int i = 0; i < 3; ++i) {
                double ln = 0, lt = 0;
                for (int k = 0; k < 3; ++k) {
                    ln += kBradford[i * 3 + k] * wn[k];
                    lt += kBradford[i * 3 + k] * wt[k];
                }
                d[i * 4] = ln / lt;
            }
            const Mat3 toCone = mul(kBradford, kRgbToXyz);
            const Mat3 full = mul(inverse(toCone), mul(d, toCone));
            for (int i = 0; i < 9; ++i) m[i] = float(full[i]);
        }
        if (identity)
            return makePointwise(in.extent(), {in}, [](const float* const* src, float* out, int n, int, int) {
                const float* s = src[0];
                for (int i = 0; i < n; ++i) {
                    const float a = s[4 * i + 3], k = a > 0.f ? 1.f : 0.f;
                    for (int c = 0; c < 3; ++c) out[4 * i + c] = s[4 * i + c] * k;
                    out[4 * i + 3] = a;
                }
            });
        return makePointwise(in.extent(), {in}, [m](const float* const* src, float* out, int n, int, int) {
            const float* s = src[0];
            const float m0 = m[0], m1 = m[1], m2 = m[2], m3 = m[3], m4 = m[4], m5 = m[5], m6 = m[6], m7 = m[7],
                        m8 = m[8];
            for (int i = 0; i < n; ++i) {
                const float a = s[4 * i + 3];
                const float inv = safeInverse(a);
                const float l0 = decodeSrgb(s[4 * i] * inv), l1 = decodeSrgb(s[4 * i + 1] * inv),
                            l2 = decodeSrgb(s[4 * i + 2] * inv);
                out[4 * i] = encodeSrgb(m0 * l0 + m1 * l1 + m2 * l2) * a;
                out[4 * i + 1] = encodeSrgb(m3 * l0 + m4 * l1 + m5 * l2) * a;
                out[4 * i + 2] = encodeSrgb(m6 * l0 + m7 * l1 + m8 * l2) * a;
                out[4 * i + 3] = a;
            }
        });
    }
};

// --- CIColorInvert ---------------------------------------------------------------------

// 1 − colour on straight colour, i.e. alpha − c premultiplied; alpha 0 gives 0. Not clamped.
class ColorInvertFilter final : public Filter {
public:
    ColorInvertFilter() : Filter("CIColorInvert") { declareInput("inputImage"); }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        return makePointwise(in.extent(), {in}, [](const float* const* src, float* out, int n, int, int) {
            const float* s = src[0];
            for (int i = 0; i < n; ++i) {
                const float a = s[4 * i + 3];
                const float k = a > 0.f ? 1.f : 0.f;
                for (int c = 0; c < 3; ++c) out[4 * i + c] = (a - s[4 * i + c]) * k;
                out[4 * i + 3] = a;
            }
        });
    }
};

// --- CIUnsharpMask ---------------------------------------------------------------------

// c + (c − blur(c))·intensity on the stored premultiplied values, alpha included; the blur
// reads the input clamped to its extent, so edges of the picture are not darkened.
// Not clamped.
class UnsharpMaskFilter final : public Filter {
public:
    UnsharpMaskFilter() : Filter("CIUnsharpMask") {
        declareInput("inputImage");
        declareInput("inputRadius", 2.5);
        declareInput("inputIntensity", 0.5);
    }
    Image outputImage() const override {
        Image in = image("inputImage");
        if (!in) return {};
        const double radius = value("inputRadius").number(2.5);
        const float k = float(value("inputIntensity").number(0.5));
        Image blur = applyFilter("CIGaussianBlur", {{"inputImage", in.clampedToExtent()}, {"inputRadius", radius}});
        if (!blur) return {};
        blur = blur.cropped(in.extent());
        return makePointwise(in.extent(), {in, blur}, [k](const float* const* src, float* out, int n, int, int) {
            const float* s = src[0];
            const float* b = src[1];
            for (int i = 0; i < 4 * n; ++i) out[i] = s[i] + (s[i] - b[i]) * k;
        });
    }
};

}  // namespace

void registerColorFilters() {
    registerFilter<ColorCubeFilter>("CIColorCube");
    registerFilter<ColorMatrixFilter>("CIColorMatrix");
    registerFilter<ColorControlsFilter>("CIColorControls");
    registerFilter<GammaAdjustFilter>("CIGammaAdjust");
    registerFilter<ToneCurveFilter>("CIToneCurve");
    registerFilter<VibranceFilter>("CIVibrance");
    registerFilter<TemperatureAndTintFilter>("CITemperatureAndTint");
    registerFilter<ColorInvertFilter>("CIColorInvert");
    registerFilter<UnsharpMaskFilter>("CIUnsharpMask");
}

}  // namespace vellari::detail
