// The shading layer: its kernels on hand-made pixels, the work size, the recipes by type,
// tone levels, the colour stage, spot-colour sets and the contrast step; and a contact
// sheet of every type on a photograph.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <iostream>
#include <map>
#include <random>
#include <set>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/simd.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

using C = QXCoreImageUtilities;

// One pixel per entry, in a row.
Image row(const std::vector<std::array<float, 4>>& px) {
    std::vector<float> d;
    for (const auto& p : px) d.insert(d.end(), p.begin(), p.end());
    return imageFromFloats(int(px.size()), 1, std::move(d));
}

Image kernel(const std::string& name, const std::vector<KernelArg>& args) {
    registerStyleKernels();
    return C::applyMetalKernelNamed(name, args);
}

void expectPixel(const Pixels& p, int x, std::array<float, 4> want, float tol = 1e-4f) {
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(p.at(x, 0, c), want[c], tol) << "pixel " << x << " channel " << c;
}

double saturation(const float* p) {
    const double mx = std::max({p[0], p[1], p[2]}), mn = std::min({p[0], p[1], p[2]});
    return mx > 0 ? (mx - mn) / mx : 0;
}

// A filter with everything that is not under test switched off.
std::unique_ptr<QXVideoFilterVellari> plainFilter() {
    registerStyleKernels();
    auto f = std::make_unique<QXVideoFilterVellari>();
    f->shadingSmoothIterations = 0;
    f->textureType = 0;
    f->customData = std::map<std::string, double>{};
    return f;
}

// A 2-cube that inverts every colour: linear, so trilinear look-up is exact.
Picture invertingLUT() {
    std::vector<uint8_t> px;
    for (int k = 0; k < 8; ++k) {
        const int r = k % 2, g = (k / 2) % 2, b = k / 4;
        px.insert(px.end(), {uint8_t(255 * (1 - r)), uint8_t(255 * (1 - g)), uint8_t(255 * (1 - b)), 255});
    }
    return Picture(2, 8 / 2, std::move(px));
}

Image gradient(int w, int h) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = float(x) / (w - 1);
        p[1] = float(y) / (h - 1);
        p[2] = 0.3f;
        p[3] = 1;
    });
}

double maxAbsDiff(const Pixels& a, const Pixels& b) {
    double m = 0;
    for (size_t i = 0; i < a.data.size(); ++i) m = std::max(m, double(std::abs(a.data[i] - b.data[i])));
    return m;
}

// Runs the rest of a scope on one instruction set, and restores the usual choice after.
struct OnTarget {
    explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
    ~OnTarget() { simd::setTargetForTest(0); }
};

// Premultiplied noise 67 pixels wide, so that every target meets whole vectors and a
// tail: with transparent and translucent pixels, greys, exact ties between channels and
// values beyond 0..1.
Image targetNoise(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(67, 9, [&](int x, int y, float* p) {
        const int k = x + 67 * y;
        float a = u(rng);
        if (k % 11 == 0) a = 0;
        if (k % 3 == 0) a = 1;
        for (int c = 0; c < 3; ++c) p[c] = u(rng);
        if (k % 5 == 1) p[1] = p[0];
        if (k % 7 == 2) p[2] = p[1] = p[0];
        if (k % 17 == 6) p[0] = 1.3f, p[2] = -0.1f;
        for (int c = 0; c < 3; ++c) p[c] *= a;
        p[3] = a;
    });
}

// The kernel gives the same pixels on every instruction set this machine runs as on the
// portable one (the last), within tol.
void expectSameOnEveryTarget(const std::string& name, const std::vector<KernelArg>& args, float tol) {
    const std::vector<int64_t> targets = simd::machineTargets();
    ASSERT_FALSE(targets.empty());
    Pixels reference;
    {
        OnTarget on(targets.back());
        reference = readPixels(kernel(name, args));
    }
    for (int64_t t : targets) {
        OnTarget on(t);
        const Pixels p = readPixels(kernel(name, args));
        ASSERT_EQ(p.data.size(), reference.data.size()) << name;
        float worst = 0;
        size_t at = 0;
        for (size_t i = 0; i < p.data.size(); ++i) {
            const float d = std::abs(p.data[i] - reference.data[i]);
            if (!(d <= worst)) worst = d, at = i;
        }
        EXPECT_LE(worst, tol) << name << " on " << simd::nameOf(t) << " at value " << at << ": " << p.data[at]
                              << " against " << reference.data[at];
    }
}

}  // namespace

TEST(ShadingKernels, SaturationBoostKeepsHueValueGreyAndAlpha) {
    const Image in = row({{0.8f, 0.4f, 0.4f, 1},
                          {0.5f, 0.5f, 0.5f, 1},
                          {0, 0, 0, 1},
                          {1, 0, 0, 1},
                          {0.4f, 0.2f, 0.2f, 0.5f},
                          {0, 0, 0, 0},
                          {0.5f, 0.48f, 0.48f, 1}});
    const Pixels plain = readPixels(kernel("nonlinearSaturation", {in, 2.0, 0.0, 1000.0}));
    // Saturation 0.5 becomes 1 − 0.5² = 0.75 with the maximum (value) and hue kept.
    expectPixel(plain, 0, {0.8f, 0.2f, 0.2f, 1});
    expectPixel(plain, 1, {0.5f, 0.5f, 0.5f, 1});
    expectPixel(plain, 2, {0, 0, 0, 1});
    expectPixel(plain, 3, {1, 0, 0, 1});
    expectPixel(plain, 4, {0.4f, 0.1f, 0.1f, 0.5f});  // computed on the straight colour
    expectPixel(plain, 5, {0, 0, 0, 0});
    const double before = saturation(readPixels(in).at(6, 0)), boosted = saturation(plain.at(6, 0));
    EXPECT_NEAR(boosted, 1 - (1 - before) * (1 - before), 1e-4);

    const Pixels fixed = readPixels(kernel("nonlinearSaturationZeroFix", {in, 2.0, 0.0, 1000.0, 100.0}));
    for (int x : {0, 1, 2, 3, 4, 5})
        expectPixel(fixed, x, {plain.at(x, 0, 0), plain.at(x, 0, 1), plain.at(x, 0, 2), plain.at(x, 0, 3)});
    // Near grey the boost is eased in: more than nothing, less than the plain curve.
    const double eased = saturation(fixed.at(6, 0));
    EXPECT_GT(eased, before + 1e-3);
    EXPECT_LT(eased, boosted - 1e-3);
    for (float v : fixed.data) EXPECT_TRUE(std::isfinite(v));
    for (float v : plain.data) EXPECT_TRUE(std::isfinite(v));
}

TEST(ShadingKernels, SaturationMaskAndAlphaCopy) {
    // Saturations 0, 0.25, 0.3, 0.5 and a transparent pixel.
    const Image in =
        row({{0.6f, 0.6f, 0.6f, 1}, {0.8f, 0.6f, 0.6f, 1}, {1, 0.7f, 0.7f, 1}, {0.8f, 0.4f, 0.4f, 1}, {0, 0, 0, 0}});
    const Image mask = kernel("saturationMask", {in, 0.25});
    const Pixels m = readPixels(mask);
    EXPECT_NEAR(m.at(0, 0, 3), 0, 1e-6);
    EXPECT_NEAR(m.at(1, 0, 3), 0, 1e-4);
    EXPECT_GT(m.at(2, 0, 3), 0.1);
    EXPECT_LT(m.at(2, 0, 3), 0.9);
    EXPECT_NEAR(m.at(3, 0, 3), 1, 1e-6);
    EXPECT_NEAR(m.at(4, 0, 3), 0, 1e-6);

    const Image red = Image::constantColor(Color{1, 0, 0, 1}).cropped(mask.extent());
    const Pixels c = readPixels(kernel("copyAlpha", {red, mask}));
    for (int x = 0; x < 5; ++x) expectPixel(c, x, {m.at(x, 0, 3), 0, 0, m.at(x, 0, 3)});
    // The colour is taken straight: a half-transparent source keeps its full colour.
    const Pixels half = readPixels(kernel("copyAlpha", {row({{0.25f, 0.5f, 0, 0.5f}}), row({{0, 0, 0, 1}})}));
    expectPixel(half, 0, {0.5f, 1, 0, 1});
}

TEST(ShadingKernels, SpotColourRecolouring) {
    const Color c0{0.2, 0.4, 0.6, 1}, c1{0.5, 1, 0.5, 1}, c2{1, 0.8, 0.1, 1};
    const Image blobs = row({{1, 0, 0, 1},
                             {1, 1, 0, 1},
                             {0, 0, 0, 1},
                             {0.5f, 0, 0, 1},
                             {0.2f, 0.8f, 0.3f, 1},
                             {0, 0, 1, 1},
                             {0.5f, 0, 0, 0.5f}});
    const Pixels mul = readPixels(kernel("replaceRGBWithMultipliedColors", {blobs, c0, c1, c2}));
    expectPixel(mul, 0, {0.2f, 0.4f, 0.6f, 1});
    expectPixel(mul, 1, {0.1f, 0.4f, 0.3f, 1});  // c0 · c1
    expectPixel(mul, 2, {1, 1, 1, 1});
    expectPixel(mul, 3, {0.6f, 0.7f, 0.8f, 1});     // halfway between white and c0
    expectPixel(mul, 6, {0.1f, 0.2f, 0.3f, 0.5f});  // straight strength 1, c0 at half alpha
    // (0.2, 0.8, 0.3): every channel tints.
    const float want4[3] = {float((1 - 0.8 * 0.2) * (1 - 0.5 * 0.8) * 1.0 * (1 - 0.3 * 0.0)),
                            float((1 - 0.6 * 0.2) * 1.0 * (1 - 0.2 * 0.3)),
                            float((1 - 0.4 * 0.2) * (1 - 0.5 * 0.8) * (1 - 0.9 * 0.3))};
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(mul.at(4, 0, c), want4[c], 1e-4);

    const Pixels wta = readPixels(kernel("replaceRGBWithMultipliedColorsWinnerTakeAll", {blobs, c0, c1, c2}));
    expectPixel(wta, 0, {0.2f, 0.4f, 0.6f, 1});
    expectPixel(wta, 1, {0.2f, 0.4f, 0.6f, 1});  // a tie goes to red
    expectPixel(wta, 2, {1, 1, 1, 1});
    expectPixel(wta, 4, {float(1 - 0.8 * 0.5), 1, float(1 - 0.8 * 0.5), 1});  // green wins at 0.8
    expectPixel(wta, 5, {1, 0.8f, 0.1f, 1});
    // A spot colour's alpha scales its strength.
    const Pixels faint = readPixels(
        kernel("replaceRGBWithMultipliedColorsWinnerTakeAll", {row({{1, 0, 0, 1}}), Color{0, 0, 0, 0.25}, c1, c2}));
    expectPixel(faint, 0, {0.75f, 0.75f, 0.75f, 1});
}

TEST(ShadingKernels, PosterisationAndPower) {
    const Image in = row({{0, 0.2f, 0.5f, 1}, {0.8f, 1, 0.26f, 1}, {0.25f, 0.1f, 0.5f, 0.5f}});
    const Pixels q = readPixels(kernel("quantizeNonLinear", {in, 4.0, 1.0}));
    // Four steps 0, 1/3, 2/3, 1: floor(c · 4) clamped to 3, over 3.
    expectPixel(q, 0, {0, 0, 2.f / 3, 1});
    expectPixel(q, 1, {1, 1, 1.f / 3, 1});
    expectPixel(q, 2, {2.f / 3 * 0.5f, 0, 0.5f, 0.5f});  // straight 0.5, 0.2, 1
    // Gamma 0.5: 0.5 → √0.5 · 4 = 2.83 → step 2 → (2/3)² in value.
    const Pixels qg = readPixels(kernel("quantizeNonLinear", {row({{0.5f, 0.05f, 0.9f, 1}}), 4.0, 0.5}));
    EXPECT_NEAR(qg.at(0, 0, 0), 4.0 / 9, 1e-4);
    EXPECT_NEAR(qg.at(0, 0, 1), 0, 1e-4);  // √0.05 · 4 = 0.89 → step 0
    EXPECT_NEAR(qg.at(0, 0, 2), 1, 1e-4);
    // A ramp takes exactly `levels` distinct values; fewer than two levels pass it through.
    const Image ramp = imageFrom(256, 1, [](int x, int, float* p) {
        p[0] = p[1] = p[2] = x / 255.f;
        p[3] = 1;
    });
    const Pixels r5 = readPixels(kernel("quantizeNonLinear", {ramp, 5.0, 0.7}));
    std::set<float> tones;
    for (int x = 0; x < 256; ++x) tones.insert(r5.at(x, 0, 0));
    EXPECT_EQ(tones.size(), 5u);
    EXPECT_EQ(*tones.begin(), 0.0f);
    EXPECT_NEAR(*tones.rbegin(), 1.0f, 1e-6);
    EXPECT_EQ(maxAbsDiff(readPixels(kernel("quantizeNonLinear", {ramp, 1.0, 1.0})), readPixels(ramp)), 0);

    const Pixels p = readPixels(kernel("powRange", {row({{0.5f, 1.2f, -0.1f, 1}, {0.25f, 0.5f, 1, 0.5f}}), 2.0}));
    expectPixel(p, 0, {0.25f, 1, 0, 1});
    expectPixel(p, 1, {0.125f, 0.5f, 0.5f, 0.5f});  // straight 0.5, 1, 2 → 0.25, 1, 1
    for (double e : {0.15, 0.45, 2.2, 6.7}) {
        const Pixels pr = readPixels(kernel("powRange", {ramp, e}));
        double worst = 0;
        for (int x = 0; x < 256; ++x) worst = std::max(worst, std::abs(pr.at(x, 0, 1) - std::pow(x / 255.0, e)));
        EXPECT_LT(worst, 1e-5) << "exponent " << e;
    }
}

// Posterisation against its rule on a fine ramp, with few levels (as the styles use) and
// with many: step k = min(floor(c^gamma · n), n − 1), tone (k / (n − 1))^(1 / gamma).
// Channels within rounding of a step's edge may fall on either side and are skipped.
TEST(ShadingKernels, PosterisationFollowsItsRuleOnAFineRamp) {
    constexpr int kWidth = 4099;
    const Image ramp = imageFrom(kWidth, 3, [](int x, int y, float* p) {
        const float a = y == 2 ? 0.5f : 1.0f;
        const float v = float(x) / (kWidth - 1);
        p[0] = v * a;
        p[1] = (1 - v) * a;
        p[2] = std::sqrt(v) * a;
        p[3] = a;
    });
    const Pixels in = readPixels(ramp);
    for (double levels : {2.0, 3.0, 4.5, 5.0, 16.0, 17.0, 24.0})
        for (double gamma : {0.45, 1.0, 1.8}) {
            const Pixels q = readPixels(kernel("quantizeNonLinear", {ramp, levels, gamma}));
            const double n = std::floor(levels);
            int checked = 0, wrong = 0;
            for (int y = 0; y < 3; ++y)
                for (int x = 0; x < kWidth; ++x) {
                    const float a = in.at(x, y, 3);
                    for (int c = 0; c < 3; ++c) {
                        const double u = std::pow(double(in.at(x, y, c)) / a, gamma) * n;
                        if (std::abs(u - std::round(u)) < 1e-4) continue;
                        const double k = std::min(std::floor(u), n - 1);
                        const double want = std::pow(k / (n - 1), 1 / gamma) * a;
                        ++checked;
                        wrong += !(std::abs(q.at(x, y, c) - want) < 2e-5);
                    }
                    ASSERT_EQ(q.at(x, y, 3), a);
                }
            EXPECT_GT(checked, 3 * 3 * kWidth * 9 / 10);
            EXPECT_EQ(wrong, 0) << levels << " levels, gamma " << gamma;
        }
}

TEST(ShadingKernels, SamePixelsOnEveryTarget) {
    const Image in = targetNoise(1), other = targetNoise(2);
    const Color c0{0.2, 0.4, 0.6, 1}, c1{0.5, 1, 0.5, 0.7}, c2{1, 0.8, 0.1, 1};
    expectSameOnEveryTarget("nonlinearSaturation", {in, 2.0, 0.0, 1000.0}, 2e-6f);
    expectSameOnEveryTarget("nonlinearSaturation", {in, 1.5, 100.0, 800.0}, 2e-6f);
    expectSameOnEveryTarget("nonlinearSaturationZeroFix", {in, 2.0, 0.0, 1000.0, 100.0}, 2e-6f);
    expectSameOnEveryTarget("saturationMask", {in, 0.25}, 1e-6f);
    expectSameOnEveryTarget("copyAlpha", {in, other}, 1e-6f);
    expectSameOnEveryTarget("replaceRGBWithMultipliedColors", {in, c0, c1, c2}, 1e-6f);
    expectSameOnEveryTarget("replaceRGBWithMultipliedColorsWinnerTakeAll", {in, c0, c1, c2}, 1e-6f);
    for (double levels : {4.0, 20.0}) expectSameOnEveryTarget("quantizeNonLinear", {in, levels, 0.8}, 2e-6f);
    for (double e : {2.0, 0.6, -0.5}) expectSameOnEveryTarget("powRange", {in, e}, 2e-6f);
    expectSameOnEveryTarget("colorizeUpperAndLowerRangesInValueImage", {in, 0.333, c0, 0.75, c1, c2}, 0);
}

TEST(ShadingKernels, ColorizeRangesStoresColoursAsGiven) {
    const Image values = row({{0, 0, 0, 1}, {0.2f, 0.9f, 0.9f, 1}, {0.5f, 0, 0, 1}, {0.75f, 0, 0, 0}, {1.3f, 0, 0, 1}});
    const Color lower{0.25, 0.25, 0.25, 0.5}, upper{0.9, 0.9, 0.9, 0.5}, other{0.5, 0.5, 0.5, 0};
    const Pixels p =
        readPixels(kernel("colorizeUpperAndLowerRangesInValueImage", {values, 0.333, lower, 0.75, upper, other}));
    expectPixel(p, 0, {0.25f, 0.25f, 0.25f, 0.5f});
    expectPixel(p, 1, {0.25f, 0.25f, 0.25f, 0.5f});  // only red is read
    expectPixel(p, 2, {0.5f, 0.5f, 0.5f, 0});
    expectPixel(p, 3, {0.9f, 0.9f, 0.9f, 0.5f});  // bounds are inclusive
    expectPixel(p, 4, {0.9f, 0.9f, 0.9f, 0.5f});
    // Equal bounds: at the bound the lower colour wins.
    const Pixels eq =
        readPixels(kernel("colorizeUpperAndLowerRangesInValueImage",
                          {row({{0, 0, 0, 1}, {1, 0, 0, 1}}), 0.0, Color{0, 0, 0, 1}, 1.0, Color{1, 1, 1, 1}, other}));
    expectPixel(eq, 0, {0, 0, 0, 1});
    expectPixel(eq, 1, {1, 1, 1, 1});
}

TEST(Shading, TypesWithoutRecipe) {
    auto f = plainFilter();
    // Constant over 2 × 2 blocks, so the halved work image has one exact answer.
    const Image src = imageFrom(40, 30, [](int x, int y, float* p) {
        p[0] = float(x / 2) / 19, p[1] = float(y / 2) / 14, p[2] = 0.3f, p[3] = 1;
    });
    const Image dest = solid(80, 60, 1, 1, 1, 1);
    EXPECT_FALSE(f->createShading(src, dest, 0));
    EXPECT_FALSE(f->createShading(src, Image(), 0));
    EXPECT_FALSE(f->createShading(Image(), dest, 3));

    // Type 1: the work image itself, whatever the texture, contrast and destination.
    f->textureType = 2;
    (*f->customData)["contrast"] = 1;
    EXPECT_TRUE(f->createShading(src, dest, 1).sameAs(src));
    f->videoProcessing = true;
    const Image reduced = f->createShading(src, dest, 1);
    EXPECT_EQ(reduced.extent(), (Rect{0, 0, 20, 15}));
    const Pixels r = readPixels(reduced), s = readPixels(src);
    for (int y = 0; y < 15; ++y)
        for (int x = 0; x < 20; ++x)
            for (int c = 0; c < 4; ++c) ASSERT_EQ(r.at(x, y, c), s.at(2 * x, 2 * y, c)) << x << "," << y;

    // Types 15 and above run the common tail on the work image.
    f->textureType = 0;
    f->customData->clear();
    f->videoProcessing = false;
    const Image t20 = f->createShading(src, Image(), 20);
    EXPECT_EQ(maxAbsDiff(readPixels(t20), s), 0);
}

TEST(Shading, WorkSizeReducedOnlyWhileProcessingVideo) {
    auto f = plainFilter();
    const Image src = solid(961, 541, 0.3f, 0.6f, 0.9f, 1);
    f->shadingFactor = 2;
    EXPECT_EQ(f->createShading(src, Image(), 1).extent(), (Rect{0, 0, 961, 541}));
    EXPECT_EQ(f->createShading(src, Image(), 15).extent(), (Rect{0, 0, 961, 541}));
    f->videoProcessing = true;
    EXPECT_EQ(f->createShading(src, Image(), 1).extent(), (Rect{0, 0, 481, 271}));  // 480.5, 270.5 round up
    f->shadingFactor = 3;
    EXPECT_EQ(f->createShading(src, Image(), 1).extent(), (Rect{0, 0, 320, 180}));
    f->shadingFactor = 1;
    EXPECT_TRUE(f->createShading(src, Image(), 1).sameAs(src));

    // With a destination the result has its size; the shading is multiplied onto it.
    f->shadingFactor = 2;
    const Image dest = solid(1922, 1082, 1, 1, 1, 1);
    const Image out = f->createShading(src, dest, 15);
    EXPECT_EQ(out.extent(), dest.extent());
    const Pixels p = readPixels(out, IRect{900, 500, 4, 4});
    EXPECT_NEAR(p.at(901, 501, 0), 0.3, 1e-5);
    EXPECT_NEAR(p.at(901, 501, 2), 0.9, 1e-5);

    // A source without pixels gives an empty work image.
    const Image none = f->createShading(Image::empty(), Image(), 15);
    ASSERT_TRUE(none);
    EXPECT_TRUE(none.extent().isEmpty());
    f->shadingFactor = 3;  // one pixel rounds to no pixel
    const Image onDest = f->createShading(solid(1, 1, 0, 0, 0, 1), solid(8, 8, 0.5f, 0.5f, 0.5f, 1), 3);
    EXPECT_NEAR(readPixels(onDest).at(3, 3, 0), 0.5, 1e-6);
}

TEST(Shading, FlatBackgroundComposite) {
    auto f = plainFilter();
    const Image src = gradient(32, 24);
    const Image dest = gradient(64, 48);
    // The default background is fully transparent: the destination comes back as it was.
    EXPECT_EQ(maxAbsDiff(readPixels(f->createShading(src, dest, 2)), readPixels(dest)), 0);
    f->backgroundColor = Color{0, 0, 1, 1};
    const Pixels blue = readPixels(f->createShading(src, dest, 2));
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(blue.at(10, 10, c), (std::array<float, 4>{0, 0, 1, 1})[c], 1e-6);
    f->backgroundColor = Color{1, 0, 0, 0.5};
    const Pixels half = readPixels(f->createShading(src, solid(64, 48, 0, 0, 1, 1), 2));
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(half.at(5, 5, c), (std::array<float, 4>{0.5f, 0, 0.5f, 1})[c], 1e-5);
}

TEST(Shading, ToneLevels) {
    auto f = plainFilter();
    const Image white = solid(16, 16, 1, 1, 1, 1);
    auto levelsOf = [&](const Image& src) { return readPixels(f->createShading(src, Image(), 15)); };

    // Exactly one level leaves the stage off.
    f->shadingLevels = 1;
    EXPECT_EQ(levelsOf(white).at(3, 3, 0), 1.0f);
    // White posterises to 1, scaled to 0.75, laid at alpha 0.99 (alpha 1, flatness 0).
    f->shadingLevels = 4;
    EXPECT_NEAR(levelsOf(white).at(3, 3, 0), 0.01 * 1 + 0.99 * 0.75, 1e-5);
    (*f->customData)["flatness"] = 1;
    f->shadingLevelsAlpha = 0;
    EXPECT_NEAR(levelsOf(white).at(3, 3, 1), 0.7525, 1e-5);  // never fully opaque
    (*f->customData)["flatness"] = -1;
    f->shadingLevelsAlpha = 1;
    EXPECT_NEAR(levelsOf(white).at(3, 3, 1), 1.0, 1e-6);
    (*f->customData)["flatness"] = 0;
    f->shadingLevelsAlpha = 0.5;
    EXPECT_NEAR(levelsOf(white).at(3, 3, 2), 0.875, 1e-5);

    // Alpha 0 and flatness 0: the levels layer is transparent and S passes unchanged.
    const Image g = gradient(48, 32);
    f->shadingLevelsAlpha = 0;
    EXPECT_LT(maxAbsDiff(levelsOf(g), readPixels(g)), 1e-6);

    // Opaque levels step the luminance but keep the colour differences (hue, saturation).
    f->shadingLevelsAlpha = 1;
    const Image tinted = solid(8, 8, 0.7f, 0.45f, 0.4f, 1);
    const Pixels t = levelsOf(tinted);
    EXPECT_NEAR(t.at(2, 2, 0) - t.at(2, 2, 1), 0.25, 0.01);
    EXPECT_NEAR(t.at(2, 2, 1) - t.at(2, 2, 2), 0.05, 0.01);
    const double lumIn = 0.3 * 0.7 + 0.59 * 0.45 + 0.11 * 0.4;
    const double lumOut = 0.3 * t.at(2, 2, 0) + 0.59 * t.at(2, 2, 1) + 0.11 * t.at(2, 2, 2);
    EXPECT_GT(std::abs(lumOut - lumIn), 0.02);

    // "shadows" −1 makes the levels' gamma 0.15: nearly every tone rises to the top step.
    f->shadingLevels = 3;
    const Image mid = solid(8, 8, 0.4f, 0.4f, 0.4f, 1);
    const float neutral = levelsOf(mid).at(1, 1, 0);
    (*f->customData)["shadows"] = -1;
    EXPECT_GT(levelsOf(mid).at(1, 1, 0), neutral + 0.1);
}

TEST(Shading, ColourStage) {
    auto f = plainFilter();
    const Image px = solid(12, 12, 0.2f, 0.4f, 0.6f, 1);

    // No table loaded: smoothing only.
    EXPECT_TRUE(f->createShadingColor(px).sameAs(px));
    std::mt19937 rng(7);
    std::normal_distribution<float> noise(0, 0.03f);
    const Image edge = imageFrom(64, 32, [&](int x, int, float* p) {
        const float base = x < 32 ? 0.2f : 0.8f;
        for (int c = 0; c < 3; ++c) p[c] = base + noise(rng);
        p[3] = 1;
    });
    f->shadingSmoothIterations = 1;
    const Pixels in = readPixels(edge), sm = readPixels(f->createShadingColor(edge));
    auto spread = [](const Pixels& p, int x0, int x1) {
        double s = 0, s2 = 0;
        int n = 0;
        for (int y = 0; y < 32; ++y)
            for (int x = x0; x < x1; ++x) {
                s += p.at(x, y, 0), s2 += p.at(x, y, 0) * p.at(x, y, 0), ++n;
            }
        return std::sqrt(s2 / n - (s / n) * (s / n));
    };
    EXPECT_LT(spread(sm, 4, 28), 0.5 * spread(in, 4, 28));
    EXPECT_NEAR(sm.at(30, 16, 0), 0.2, 0.03);  // the edge is kept
    EXPECT_NEAR(sm.at(33, 16, 0), 0.8, 0.03);

    // With a table: graded, mixed by "filterIntensity".
    f->shadingSmoothIterations = 0;
    f->loadLUT(invertingLUT());
    ASSERT_TRUE(f->hasDefaultLUT());
    expectPixel(readPixels(f->createShadingColor(px)), 0, {0.8f, 0.6f, 0.4f, 1}, 2e-3f);
    (*f->customData)["filterIntensity"] = 0.5;
    expectPixel(readPixels(f->createShadingColor(px)), 0, {0.5f, 0.5f, 0.5f, 1}, 2e-3f);
    (*f->customData)["filterIntensity"] = 0;
    EXPECT_TRUE(f->createShadingColor(px).sameAs(px));
    (*f->customData)["filterIntensity"] = -1;
    f->shadingSmoothIterations = 1;
    EXPECT_LT(maxAbsDiff(readPixels(f->createShadingColor(edge)), sm), 1e-6);  // the smoothed picture

    // A name without a picture clears the table; the installed cube is no longer applied.
    f->customData->clear();
    f->shadingSmoothIterations = 0;
    f->loadLUTNamed("no such table");
    EXPECT_FALSE(f->hasDefaultLUT());
    EXPECT_TRUE(f->colorLookupTableFilter);
    EXPECT_TRUE(f->createShadingColor(px).sameAs(px));
}

TEST(Shading, SpotColourSets) {
    auto f = plainFilter();
    EXPECT_EQ(f->shadingSpotColor0, (Color{1, 0, 0, 1}));  // set 0 by init
    EXPECT_EQ(f->shadingSpotColor2, (Color{0, 0, 1, 1}));
    f->createShadingSetColorSet(3);
    EXPECT_EQ(f->shadingSpotColor0, Color::black());
    EXPECT_EQ(f->shadingSpotColor1, f->shadingSpotColor2);
    EXPECT_NEAR(f->shadingSpotColor1.r, 0xbe / 255.0, 1e-9);
    EXPECT_NEAR(f->shadingSpotColor1.g, 0xd4 / 255.0, 1e-9);
    EXPECT_NEAR(f->shadingSpotColor1.b, 0xd2 / 255.0, 1e-9);
    f->createShadingSetColorSet(2);
    EXPECT_EQ(f->shadingSpotColor0, colorFromString("7ac0c8"));
    EXPECT_EQ(f->shadingSpotColor2, colorFromString("ffa4a9"));
    f->createShadingSetColorSet(1);
    EXPECT_EQ(f->shadingSpotColor1, Color::black());
    f->createShadingSetColorSet(5);
    EXPECT_EQ(f->shadingSpotColor1, colorFromString("7fdd60"));
    for (int64_t set : {7, -2, 0}) {
        f->createShadingSetColorSet(set);
        EXPECT_EQ(f->shadingSpotColor0, (Color{1, 0, 0, 1}));
        EXPECT_EQ(f->shadingSpotColor1, (Color{0, 1, 0, 1}));
        EXPECT_EQ(f->shadingSpotColor2, (Color{0, 0, 1, 1}));
    }
}

TEST(Shading, ContrastStep) {
    auto f = plainFilter();
    const Image grey = solid(8, 8, 0.3f, 0.3f, 0.3f, 1);
    EXPECT_TRUE(f->createShadingContrast(grey).sameAs(grey));
    // Contrast k = 1 + 0.5·c about mid-grey: 1.5 takes 0.3 to 0.2, 0.5 takes it to 0.4.
    (*f->customData)["contrast"] = 1;
    EXPECT_NEAR(readPixels(f->createShadingContrast(grey)).at(1, 1, 0), 0.2, 1e-5);
    EXPECT_NEAR(readPixels(f->createShading(grey, Image(), 15)).at(1, 1, 1), 0.2, 1e-5);  // the tail ends with it
    (*f->customData)["contrast"] = -1;
    EXPECT_NEAR(readPixels(f->createShadingContrast(grey)).at(1, 1, 2), 0.4, 1e-5);

    // A dark colour gets darker, but keeps the unadjusted picture's chroma (max − min).
    (*f->customData)["contrast"] = 1;
    const Pixels c = readPixels(f->createShadingContrast(solid(4, 4, 0.3f, 0.2f, 0.1f, 1)));
    const float* q = c.at(1, 1);
    EXPECT_NEAR(std::max({q[0], q[1], q[2]}) - std::min({q[0], q[1], q[2]}), 0.2, 1e-3);
    EXPECT_LT(0.3 * q[0] + 0.59 * q[1] + 0.11 * q[2], 0.3 * 0.3 + 0.59 * 0.2 + 0.11 * 0.1 - 0.1);
}

TEST(Shading, StructureAndShadowMaps) {
    auto f = plainFilter();
    const Image step = imageFrom(96, 16, [](int x, int, float* p) {
        p[0] = p[1] = p[2] = x < 48 ? 0.3f : 0.6f;
        p[3] = 1;
    });
    EXPECT_TRUE(f->createShadingStructure(step).sameAs(step));
    (*f->customData)["structure"] = 1;
    const Pixels sharp = readPixels(f->createShadingStructure(step));
    EXPECT_LT(sharp.at(46, 8, 0), 0.29);  // local contrast raised on both sides of the edge
    EXPECT_GT(sharp.at(49, 8, 0), 0.61);

    // A dark spot on a mid-grey field: half-transparent dark grey there, transparent
    // mid-grey over the flat field.
    const Image spot = imageFrom(64, 64, [](int x, int y, float* p) {
        const bool in = std::hypot(x - 32, y - 32) < 6;
        p[0] = p[1] = p[2] = in ? 0.0f : 0.5f;
        p[3] = 1;
    });
    const Pixels sh = readPixels(f->createShadingShadows(spot));
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(sh.at(32, 32, c), (std::array<float, 4>{0.25f, 0.25f, 0.25f, 0.5f})[c], 1e-6);
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(sh.at(5, 5, c), (std::array<float, 4>{0.5f, 0.5f, 0.5f, 0})[c], 1e-6);
}

TEST(Shading, EveryTypeOnAPhotograph) {
    PictureResult photo = readPicture(dataPath("photos/chelsea.png"));
    ASSERT_TRUE(photo.ok()) << photo.error;
    Image src = Image::fromPicture(photo.picture);
    const double k = 270.0 / std::min(src.extent().width, src.extent().height);
    src = src.scaled(k, k, true);
    const Size size = src.extent().size();
    const Rect canvasRect{0, 0, size.width * 2, size.height * 2};
    const Image canvas = Image::constantColor(Color::white()).cropped(canvasRect);

    auto f = plainFilter();
    f->shadingSmoothIterations = 1;
    f->shadingRadius = 6;
    f->shadingThreshold = 0.5;
    f->createShadingSetColorSet(2);
    f->videoProcessing = true;  // the live path: work image at half size

    const int cols = 4, w = int(canvasRect.width), h = int(canvasRect.height);
    Image sheet = Image::constantColor(Color{0.5, 0.5, 0.5, 1}).cropped(Rect{0, 0, double(cols * w), double(4 * h)});
    for (int type = 0; type < 16; ++type) {
        Image out = f->createShading(src, canvas, type);
        if (type == 0) {
            EXPECT_FALSE(out);
            // Its panel shows the colour stage posterised into four tone levels instead.
            f->shadingLevels = 4;
            out = f->createShading(src, canvas, 3);
            f->shadingLevels = -1;
        }
        ASSERT_TRUE(out) << "type " << type;
        if (type == 1) out = C::makeImage(out, canvasRect.size());
        EXPECT_EQ(out.extent(), canvasRect) << "type " << type;
        const Pixels p = readPixels(out, IRect{0, 0, w, h});
        double sum = 0;
        bool grey = true, redFull = true;
        for (size_t i = 0; i < p.data.size(); i += 4) {
            for (int c = 0; c < 4; ++c) ASSERT_TRUE(std::isfinite(p.data[i + c])) << "type " << type;
            if (type != 1) {  // on the white canvas
                EXPECT_NEAR(p.data[i + 3], 1, 1e-4) << "type " << type;
            }
            grey = grey && std::abs(p.data[i] - p.data[i + 1]) < 1e-4 && std::abs(p.data[i + 1] - p.data[i + 2]) < 1e-4;
            redFull = redFull && p.data[i] > 1 - 1e-4;
            sum += p.data[i] + p.data[i + 1] + p.data[i + 2];
        }
        if (type == 2) {  // clear background on white
            EXPECT_NEAR(sum / (p.data.size() / 4 * 3), 1.0, 1e-6);
        }
        if (type == 5) {
            EXPECT_TRUE(grey);
        }
        if (type == 11) {  // red marks multiplied onto white
            EXPECT_TRUE(redFull);
        }
        if (type != 2) {
            EXPECT_LT(sum / (p.data.size() / 4 * 3), 0.99) << "type " << type << " is blank";
        }
        sheet = out.translated((type % cols) * w, (type / cols) * h).compositedOver(sheet);
    }
    const std::string path = tempDir() + "/shading-types.png";
    const Picture pic = defaultContext().createPicture(sheet, sheet.extent());
    ASSERT_EQ(writePicture(pic, path, PictureFormat::PNG), "");
    std::cout << "contact sheet: " << path << "\n";
}
