// Automatic adjustment: a tone curve from the luminance distribution and, for dull
// pictures, a vibrance boost.
//
// The rule uses quantiles interpolated between sorted samples rather than histogram bins,
// and every step (clamps, blends, the vibrance ramp) is continuous, so a small change of
// the picture gives a small change of the proposed filters: no flicker from frame to frame.

#include <algorithm>
#include <cmath>
#include <vector>

#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"

namespace vellari {
namespace {

constexpr int kMaxAnalysisSide = 256;  // statistics need no more pixels than this
constexpr double kLowQuantile = 0.01, kHighQuantile = 0.99;
constexpr double kTolerance = 0.05;   // quantiles this close to the ends count as reaching them
constexpr double kMinSpread = 0.2;    // caps the stretch of a nearly flat picture at 5×
constexpr double kStrength = 0.6;     // fraction of the full correction that is applied
constexpr double kMedianPull = 0.5;   // how far the stretched median moves towards 0.5
constexpr double kDullChroma = 0.15;  // mean chroma below which vibrance starts
constexpr double kDullRamp = 0.10;    // ... reaching its full amount this much lower
constexpr double kMaxVibrance = 0.4;

// Quantile p of sorted values, interpolated between neighbours.
double quantile(const std::vector<float>& sorted, double p) {
    const double pos = p * double(sorted.size() - 1);
    const size_t i = size_t(pos);
    if (i + 1 >= sorted.size()) return sorted.back();
    const double f = pos - double(i);
    return sorted[i] + (sorted[i + 1] - sorted[i]) * f;
}

struct Stats {
    double lo = 0, median = 0.5, hi = 1, chroma = 0;
    bool any = false;
};

Stats measure(const Bitmap& b) {
    Stats s;
    std::vector<float> luma;
    luma.reserve(size_t(b.width) * b.height);
    double chroma = 0;
    for (int y = 0; y < b.height; ++y) {
        const float* p = b.floatRow(y);
        for (int x = 0; x < b.width; ++x, p += 4) {
            const float a = std::min(p[3], 1.f);
            if (!(a > 0.f)) continue;
            float c[3];
            for (int k = 0; k < 3; ++k) c[k] = std::clamp(p[k] / a, 0.f, 1.f);
            luma.push_back(0.2126f * c[0] + 0.7152f * c[1] + 0.0722f * c[2]);
            chroma += std::max(c[0], std::max(c[1], c[2])) - std::min(c[0], std::min(c[1], c[2]));
        }
    }
    if (luma.empty()) return s;
    std::sort(luma.begin(), luma.end());
    s.any = true;
    s.lo = quantile(luma, kLowQuantile);
    s.hi = quantile(luma, kHighQuantile);
    s.median = quantile(luma, 0.5);
    s.chroma = chroma / double(luma.size());
    return s;
}

// Five tone-curve points at x = 0, 0.25, … 1: the identity moved part of the way towards a
// curve that maps the low quantile to 0, the high one to 1 and the median near 0.5.
std::vector<Vector> curvePoints(const Stats& s) {
    // Soft thresholds (continuous): a picture that nearly spans [0, 1] is not stretched.
    double lo = std::max(0.0, s.lo - kTolerance), hi = std::min(1.0, s.hi + kTolerance);
    if (hi - lo < kMinSpread) {  // widen around the centre, staying inside [0, 1]
        const double c = std::clamp((lo + hi) / 2, kMinSpread / 2, 1 - kMinSpread / 2);
        lo = c - kMinSpread / 2;
        hi = c + kMinSpread / 2;
    }
    const double eps = 0.05 * (hi - lo);
    const double med = std::clamp(s.median, lo + eps, hi - eps);
    const double stretched = (med - lo) / (hi - lo);
    const double target = std::clamp(stretched + kMedianPull * (0.5 - stretched), 0.3, 0.7);
    auto g = [&](double x) {
        if (x <= lo) return 0.0;
        if (x >= hi) return 1.0;
        if (x <= med) return target * (x - lo) / (med - lo);
        return target + (1 - target) * (x - med) / (hi - med);
    };
    std::vector<Vector> pts;
    for (int i = 0; i < 5; ++i) {
        const double x = 0.25 * i;
        pts.push_back(Vector{x, x + kStrength * (g(x) - x)});
    }
    return pts;
}

}  // namespace

std::vector<FilterPtr> Image::autoAdjustmentFilters() const {
    if (!node_) return {};
    const Rect e = extent();
    if (e.isEmpty() || e.isInfinite()) return {};
    Image src = *this;
    IRect r = e.integral();
    const int side = std::max(r.w, r.h);
    if (side > kMaxAnalysisSide) {
        const double k = double(kMaxAnalysisSide) / side;
        src = translated(-r.x, -r.y).scaled(k, k, true);
        r = src.extent().integral();
    }
    const Bitmap b = defaultContext().render(src, Rect::fromIRect(r), PixelFormat::RGBAf);
    const Stats s = measure(b);

    std::vector<FilterPtr> out;
    FilterPtr curve = FilterRegistry::create("CIToneCurve");
    if (!curve) return out;
    if (s.any) {
        const std::vector<Vector> pts = curvePoints(s);
        for (int i = 0; i < 5; ++i) curve->setValue("inputPoint" + std::to_string(i), pts[i]);
    }
    out.push_back(curve);

    const double ramp = std::clamp((kDullChroma - s.chroma) / kDullRamp, 0.0, 1.0);
    if (s.any && ramp > 0) {
        FilterPtr vib = FilterRegistry::create("CIVibrance");
        if (vib) {
            vib->setValue("inputAmount", kMaxVibrance * ramp);
            out.push_back(vib);
        }
    }
    return out;
}

}  // namespace vellari
