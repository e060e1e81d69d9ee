// Colour filters: colour cube, matrix, controls, gamma, tone curve, vibrance, temperature
// and tint, invert, unsharp mask.
//
// Pixels arrive premultiplied. Filters whose maths is defined on colours unpremultiply
// (alpha 0 gives colour 0), compute, and premultiply again; each documents whether it
// clamps. Per-filter constants are computed once in outputImage() and captured by value;
// the per-pixel work is done by the span kernels of color_filter_kernels.h.

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "builtin_filters.h"
#include "color_filter_kernels.h"
#include "node.h"
#include "vellari/platform/filter.h"

namespace vellari::detail {
namespace {

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
        // Entries as (r, g, b, 1): a corner is four floats in a row, and the interpolated
        // entry times the pixel's alpha is directly the premultiplied result with that alpha.
        auto table = std::make_shared<std::vector<float>>(data->size());
        for (size_t i = 0; i < data->size(); i += 4) {
            std::copy_n(data->data() + i, 3, table->data() + i);
            (*table)[i + 3] = 1.f;
        }
        return makePointwise(in.extent(), {in}, [table, n](const float* const* src, float* out, int cnt, int, int) {
            colorCubeSpan(src[0], out, size_t(cnt), table->data(), n);
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
            colorMatrixSpan(src[0], out, size_t(n), m.data());
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
            colorControlsSpan(src[0], out, size_t(n), sat, bri, con);
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
                clearTransparentSpan(src[0], out, size_t(n));
            });
        return makePointwise(in.extent(), {in}, [p](const float* const* src, float* out, int n, int, int) {
            gammaSpan(src[0], out, size_t(n), p);
        });
    }
};

// --- CIToneCurve -----------------------------------------------------------------------

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
    const size_t k = std::min<size_t>(x.size(), ToneCurve::kMaxSegments + 1);
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
            toneCurveSpan(src[0], out, size_t(n), *curve);
        });
    }
};

// --- CIVibrance ------------------------------------------------------------------------

// Scales the colour's distance from its luma by 1 + amount·(1 − s)², s = max − min of the
// straight colour (clamped to [0, 1]): grey-ish colours move most, saturated ones hardly.
// A boost is limited so that an in-gamut colour stays in [0, 1] without changing its hue;
// no other clamping.
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
            vibranceSpan(src[0], out, size_t(n), amount);
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
                clearTransparentSpan(src[0], out, size_t(n));
            });
        return makePointwise(in.extent(), {in}, [m](const float* const* src, float* out, int n, int, int) {
            linearRgbMatrixSpan(src[0], out, size_t(n), m.data());
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
            colorInvertSpan(src[0], out, size_t(n));
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
            unsharpSpan(src[0], src[1], out, size_t(n), k);
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
