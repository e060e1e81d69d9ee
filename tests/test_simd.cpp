// The kernels on every instruction set this machine runs: each kernel unit's dispatch
// reaches that target's own code, and filters and styles give the same pictures there as
// on the best target.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <cstdlib>
#include <random>
#include <set>

#include "test_support.h"
#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/simd.h"
#include "vellari/styles/style_presets.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

// Runs the rest of a test on one target, and restores the usual choice afterwards.
struct OnTarget {
    explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
    ~OnTarget() { simd::setTargetForTest(0); }
};

// Premultiplied noise with transparent, translucent and out-of-range pixels, and a
// width that no vector width divides.
Image noise(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(w, h, [&](int x, int, float* p) {
        float a = u(rng);
        if (x % 11 == 0) a = 0;
        if (x % 7 == 0) a = 1;
        for (int c = 0; c < 3; ++c) p[c] = u(rng) * a;
        if (x % 13 == 5) p[0] = 1.4f * a;  // beyond white, as colour stages may leave it
        p[3] = a;
    });
}

// Settings that take each colour stage off its identity path.
const std::map<std::string, std::map<std::string, FilterValue>>& workingSettings() {
    static const std::map<std::string, std::map<std::string, FilterValue>> s = {
        {"CIColorControls", {{"inputSaturation", 1.4}, {"inputBrightness", 0.05}, {"inputContrast", 1.2}}},
        {"CIGammaAdjust", {{"inputPower", 0.7}}},
        {"CIVibrance", {{"inputAmount", 0.6}}},
        {"CITemperatureAndTint", {{"inputNeutral", Vector{5000, 10}}}},
        {"CIToneCurve", {{"inputPoint1", Vector{0.25, 0.35}}, {"inputPoint3", Vector{0.75, 0.7}}}},
        {"CIGaussianBlur", {{"inputRadius", 3.0}}},
        {"CIUnsharpMask", {{"inputRadius", 2.0}, {"inputIntensity", 0.8}}},
        {"CIColorMatrix", {{"inputRVector", Vector{0.9, 0.2, 0, 0}}, {"inputBiasVector", Vector{0.05, 0, 0, 0}}}},
    };
    return s;
}

}  // namespace

TEST(Simd, EveryKernelUnitReachesEachTargetsOwnCode) {
    const std::vector<int64_t> targets = simd::machineTargets();
    ASSERT_FALSE(targets.empty());
    std::set<std::string> names;
    for (int64_t t : targets) names.insert(simd::nameOf(t));
    // The portable fallback is always there; on x86 every processor since 2008 has SSE4.
    EXPECT_TRUE(names.count("scalar"));
#if defined(__x86_64__)
    EXPECT_TRUE(names.count("sse4"));
#endif

    std::set<std::string> units;
    for (const auto& p : simd::probes()) units.insert(p.unit);
    for (const char* want : {"colour filters", "compositing", "morphology", "pixel formats", "resampling",
                             "gaussian blur", "edge flow field", "flow blur", "smoothing filters",
                             "engine colour kernels", "bilateral", "common utilities", "texture", "blobs", "shading"})
        EXPECT_TRUE(units.count(want)) << want << " registered no probe";

    for (int64_t t : targets) {
        OnTarget on(t);
        EXPECT_EQ(simd::targetName(), simd::nameOf(t));
        for (const auto& p : simd::probes())
            EXPECT_EQ(simd::nameOf(p.reached()), simd::nameOf(t)) << p.unit << " has no code of its own for this target";
    }
}

// ctest runs this suite under each VELLARI_SIMD cap too: the cap reaches every kernel.
TEST(Simd, TheEnvironmentCapReachesEveryKernel) {
    const char* cap = std::getenv("VELLARI_SIMD");
    const int64_t best = simd::machineTargets().front();
    const int64_t want = cap && simd::targetNamed(cap) ? std::max(simd::targetNamed(cap), best) : best;
    EXPECT_EQ(simd::targetName(), simd::nameOf(want));
    ASSERT_FALSE(simd::probes().empty());
    for (const auto& p : simd::probes()) EXPECT_EQ(simd::nameOf(p.reached()), simd::nameOf(want)) << p.unit;
}

// Every built-in filter on noise: the same pixels on each target as on the best one,
// within 2e-4 (relative above 1). Targets differ only in fused multiply-adds and
// reciprocal estimates.
TEST(Simd, BuiltInFiltersAgreeOnEveryTarget) {
    const std::vector<int64_t> targets = simd::machineTargets();
    const Image a = noise(61, 37, 1), b = noise(61, 37, 2).translated(5, 3);
    ASSERT_TRUE(FilterRegistry::create("CIColorControls"));  // registers the built-in filters
    std::set<std::string> compared;
    for (const std::string& name : FilterRegistry::names()) {
        FilterPtr f = FilterRegistry::create(name);
        ASSERT_TRUE(f) << name;
        const auto keys = f->inputKeys();
        auto has = [&](const char* k) { return std::find(keys.begin(), keys.end(), k) != keys.end(); };
        if (!has("inputImage")) continue;
        f->setValue("inputImage", a);
        if (has("inputBackgroundImage")) f->setValue("inputBackgroundImage", b);
        if (auto s = workingSettings().find(name); s != workingSettings().end())
            for (const auto& [k, v] : s->second) f->setValue(k, v);
        std::vector<Pixels> results;
        for (int64_t t : targets) {
            OnTarget on(t);
            const Image out = f->outputImage();
            if (out.isNull()) break;
            const Rect e = out.extent();
            const IRect r = e.isInfinite() ? IRect{-3, -3, 70, 45}
                                           : IRect{int(std::floor(e.x)), int(std::floor(e.y)),
                                                   std::min(int(std::ceil(e.width)), 200),
                                                   std::min(int(std::ceil(e.height)), 200)};
            results.push_back(readPixels(out, r));
        }
        if (results.size() == targets.size()) compared.insert(name);
        for (size_t k = 1; k < results.size(); ++k) {
            ASSERT_EQ(results[k].data.size(), results[0].data.size()) << name;
            float worst = 0;
            size_t at = 0;
            for (size_t i = 0; i < results[0].data.size(); ++i) {
                const float x = results[0].data[i], y = results[k].data[i];
                const float d = std::fabs(x - y) / std::max(1.0f, std::fabs(x));
                if (!(d <= worst)) worst = d, at = i;
            }
            EXPECT_LE(worst, 2e-4f) << name << " on " << simd::nameOf(targets[k]) << " at value " << at << ": "
                                   << results[0].data[at] << " against " << results[k].data[at];
        }
    }
    for (const char* want : {"CIColorControls", "CIToneCurve", "CISaturationBlendMode", "CISourceOverCompositing",
                             "CIGaussianBlur", "CIUnsharpMask", "CIColorCube"})
        EXPECT_TRUE(compared.count(want)) << want;
}

// Every application style on a photo: ink lines are thresholds, so a pixel on a
// threshold may flip between targets; at most 0.5 % of the channel values may differ by
// more than two levels, and the mean difference stays under half a level.
TEST(Simd, StylesAgreeOnEveryTarget) {
    FastDevice fast;
    const std::vector<int64_t> targets = simd::machineTargets();
    PictureResult photo = readPicture(dataPath("photos/chelsea.png"));
    ASSERT_TRUE(photo.ok()) << photo.error;
    const Image input = Image::fromPicture(photo.picture);
    StyleList styles = applicationStyles();
    ASSERT_FALSE(styles.empty());
    for (const StylePtr& style : styles) {
        if (auto* v = dynamic_cast<QXVideoFilterVellari*>(style.get())) v->setOutputResolution(360);
        std::vector<Picture> pictures;
        for (int64_t t : targets) {
            OnTarget on(t);
            const Image out = style->processCIImage(input);
            ASSERT_FALSE(out.isNull()) << style->filterDescription;
            pictures.push_back(defaultContext().createPicture(out, out.extent()));
        }
        for (size_t k = 1; k < pictures.size(); ++k) {
            const auto& x = pictures[0].rgba();
            const auto& y = pictures[k].rgba();
            ASSERT_EQ(x.size(), y.size()) << style->filterDescription;
            size_t far = 0;
            double sum = 0;
            for (size_t i = 0; i < x.size(); ++i) {
                const int d = std::abs(int(x[i]) - int(y[i]));
                far += d > 2;
                sum += d;
            }
            EXPECT_LE(double(far), 0.005 * double(x.size()))
                << style->filterDescription << " on " << simd::nameOf(targets[k]);
            EXPECT_LE(sum / double(x.size()), 0.5) << style->filterDescription << " on " << simd::nameOf(targets[k]);
        }
    }
}
