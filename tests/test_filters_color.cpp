// Colour filters against values worked out by hand from their formulas.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>

#include "test_support.h"
#include "vellari/platform/filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

// One row of premultiplied pixels given as straight (r, g, b, a).
Image straightRow(const std::vector<std::array<float, 4>>& px, Point origin = {0, 0}) {
    std::vector<float> d;
    for (auto& p : px) {
        d.push_back(p[0] * p[3]);
        d.push_back(p[1] * p[3]);
        d.push_back(p[2] * p[3]);
        d.push_back(p[3]);
    }
    return imageFromFloats(int(px.size()), 1, std::move(d), origin);
}

// Straight colour of pixel (x, y).
std::array<float, 4> straightAt(const Pixels& p, int x, int y = 0) {
    const float* q = p.at(x, y);
    float a = q[3];
    if (a <= 0) return {0, 0, 0, a};
    return {q[0] / a, q[1] / a, q[2] / a, a};
}

Image randomImage(int w, int h, unsigned seed, bool translucent) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(w, h, [&](int, int, float* p) {
        float a = translucent ? 0.2f + 0.8f * u(rng) : 1.f;
        for (int c = 0; c < 3; ++c) p[c] = u(rng) * a;
        p[3] = a;
    });
}

FloatData cube(int n, std::array<float, 3> (*f)(float, float, float)) {
    auto d = std::make_shared<std::vector<float>>();
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                auto c = f(r / float(n - 1), g / float(n - 1), b / float(n - 1));
                d->insert(d->end(), {c[0], c[1], c[2], 0.25f});  // table alpha must be ignored
            }
    return d;
}

float maxDiff(const Pixels& a, const Pixels& b) {
    float m = 0;
    for (size_t i = 0; i < a.data.size(); ++i) m = std::max(m, std::abs(a.data[i] - b.data[i]));
    return m;
}

}  // namespace

TEST(ColorFilters, WithoutInputImageGiveNoImageAndKeepExtent) {
    Image img = solid(7, 5, 0.2f, 0.3f, 0.4f, 1, {-3, 11});
    for (const char* name : {"CIColorCube", "CIColorMatrix", "CIColorControls", "CIGammaAdjust", "CIToneCurve",
                             "CIVibrance", "CITemperatureAndTint", "CIColorInvert", "CIUnsharpMask"}) {
        FilterPtr f = FilterRegistry::create(name);
        ASSERT_TRUE(f) << name;
        EXPECT_TRUE(f->hasInput("inputImage")) << name;
        EXPECT_TRUE(f->outputImage().isNull()) << name;
        Image out = img.applyingFilter(name);
        ASSERT_FALSE(out.isNull()) << name;
        EXPECT_EQ(out.extent(), img.extent()) << name;
    }
}

TEST(ColorFilters, ColorCube) {
    Image img = randomImage(16, 8, 1, true);
    Pixels in = readPixels(img);
    auto id = [](float r, float g, float b) { return std::array<float, 3>{r, g, b}; };
    auto swap = [](float r, float g, float b) { return std::array<float, 3>{b, g, r}; };

    Pixels same = readPixels(img.applyingFilter("CIColorCube", {{"inputCubeDimension", 17}, {"inputCubeData", cube(17, id)}}));
    EXPECT_LT(maxDiff(same, in), 1e-5);

    // The default (a 2-cube identity) leaves colours alone too.
    EXPECT_LT(maxDiff(readPixels(img.applyingFilter("CIColorCube")), in), 1e-5);

    Pixels sw = readPixels(img.applyingFilter("CIColorCube", {{"inputCubeDimension", 8}, {"inputCubeData", cube(8, swap)}}));
    for (int x = 0; x < 16; ++x) {
        EXPECT_NEAR(sw.at(x, 3, 0), in.at(x, 3, 2), 1e-5);
        EXPECT_NEAR(sw.at(x, 3, 1), in.at(x, 3, 1), 1e-5);
        EXPECT_NEAR(sw.at(x, 3, 2), in.at(x, 3, 0), 1e-5);
        EXPECT_FLOAT_EQ(sw.at(x, 3, 3), in.at(x, 3, 3));  // alpha kept
    }

    // A non-linear table is interpolated trilinearly: midway between the entries of a
    // 2-cube whose red output is r·g, red 0.5 and green 0.5 give 0.25.
    auto prod = [](float r, float g, float b) { return std::array<float, 3>{r * g, 0.f, 0.f}; };
    Pixels mid = readPixels(straightRow({{0.5f, 0.5f, 0.f, 1.f}, {1.5f, 1.f, 0.f, 1.f}})
                                .applyingFilter("CIColorCube", {{"inputCubeDimension", 2}, {"inputCubeData", cube(2, prod)}}));
    EXPECT_NEAR(mid.at(0, 0, 0), 0.25f, 1e-6);
    EXPECT_NEAR(mid.at(1, 0, 0), 1.0f, 1e-6);  // red 1.5 reads the cube's face

    // Not-a-number colours must not index outside the table (nor the tone curve's).
    Image bad = imageFromFloats(2, 1, {NAN, 0.5f, INFINITY, 1, -INFINITY, NAN, 2, 1});
    for (auto& [name, params] : std::vector<std::pair<const char*, std::map<std::string, FilterValue>>>{
             {"CIColorCube", {{"inputCubeDimension", 8}, {"inputCubeData", cube(8, swap)}}}, {"CIToneCurve", {}}}) {
        Pixels q = readPixels(bad.applyingFilter(name, params));
        EXPECT_NEAR(q.at(0, 0, 3), 1.f, 1e-6) << name;
        EXPECT_GE(q.at(1, 0, 0), 0.f) << name;
        EXPECT_LE(q.at(1, 0, 0), 1.f) << name;
    }

    // Bad tables give no image.
    FloatData small = cube(4, id);
    EXPECT_TRUE(img.applyingFilter("CIColorCube", {{"inputCubeDimension", 5}, {"inputCubeData", small}}).isNull());
    EXPECT_TRUE(img.applyingFilter("CIColorCube", {{"inputCubeDimension", 1}, {"inputCubeData", cube(2, id)}}).isNull());
    EXPECT_TRUE(img.applyingFilter("CIColorCube", {{"inputCubeDimension", 4}, {"inputCubeData", FilterValue()}}).isNull());
}

TEST(ColorFilters, ColorMatrix) {
    Image img = straightRow({{0.2f, 0.4f, 0.6f, 1.f}, {0.5f, 0.25f, 1.f, 0.5f}, {0.5f, 0.5f, 0.5f, 0.f}});
    // Alpha vector (0, 0, 0, 0.5): alpha halves, straight colour stays.
    Pixels half = readPixels(img.applyingFilter("CIColorMatrix", {{"inputAVector", Vector{0, 0, 0, 0.5}}}));
    EXPECT_NEAR(half.at(0, 0, 0), 0.1f, 1e-6);
    EXPECT_NEAR(half.at(0, 0, 2), 0.3f, 1e-6);
    EXPECT_NEAR(half.at(0, 0, 3), 0.5f, 1e-6);
    EXPECT_NEAR(half.at(1, 0, 3), 0.25f, 1e-6);
    EXPECT_NEAR(straightAt(half, 1)[1], 0.25f, 1e-6);

    // A general matrix on straight colour, premultiplied by the new alpha.
    Pixels m = readPixels(img.applyingFilter("CIColorMatrix", {{"inputRVector", Vector{0, 1, 0, 0}},
                                                               {"inputGVector", Vector{0.5, 0, 0.5, 0}},
                                                               {"inputBVector", Vector{0, 0, 0, 1}},
                                                               {"inputAVector", Vector{0, 0, 0, 1}},
                                                               {"inputBiasVector", Vector{0.1, 0, -0.2, 0}}}));
    // Pixel 1: straight (0.5, 0.25, 1, 0.5) -> (0.25 + 0.1, 0.75, 0.5 - 0.2) at alpha 0.5.
    EXPECT_NEAR(m.at(1, 0, 0), 0.35f * 0.5f, 1e-6);
    EXPECT_NEAR(m.at(1, 0, 1), 0.75f * 0.5f, 1e-6);
    EXPECT_NEAR(m.at(1, 0, 2), 0.3f * 0.5f, 1e-6);
    // Transparent mid-grey is colour 0 to the matrix: all outputs zero at alpha 0.
    EXPECT_FLOAT_EQ(m.at(2, 0, 0), 0.f);

    // A bias on alpha makes transparent pixels visible with the bias colour; alpha is
    // clamped to 1.
    Pixels b = readPixels(img.applyingFilter("CIColorMatrix", {{"inputBiasVector", Vector{0.3, 0, 0, 0.8}}}));
    EXPECT_NEAR(b.at(2, 0, 3), 0.8f, 1e-6);
    EXPECT_NEAR(b.at(2, 0, 0), 0.3f * 0.8f, 1e-6);
    EXPECT_NEAR(b.at(0, 0, 3), 1.f, 1e-6);
}

TEST(ColorFilters, ColorControlsAndGamma) {
    const std::array<float, 4> px = {0.2f, 0.5f, 0.9f, 0.5f};
    Image img = straightRow({px, {0.7f, 0.1f, 0.3f, 1.f}});
    const double sat = 1.4, bri = 0.05, con = 1.3;
    Pixels p = readPixels(img.applyingFilter(
        "CIColorControls", {{"inputSaturation", sat}, {"inputBrightness", bri}, {"inputContrast", con}}));
    double l = 0.2125 * px[0] + 0.7154 * px[1] + 0.0721 * px[2];
    for (int c = 0; c < 3; ++c) {
        double v = l + (px[c] - l) * sat;
        v = (v + bri - 0.5) * con + 0.5;
        EXPECT_NEAR(p.at(0, 0, c), v * 0.5, 1e-5) << c;
    }
    EXPECT_FLOAT_EQ(p.at(0, 0, 3), 0.5f);
    // Saturation 0 gives grey at the luma.
    Pixels g = readPixels(img.applyingFilter("CIColorControls", {{"inputSaturation", 0.0}}));
    double l1 = 0.2125 * 0.7 + 0.7154 * 0.1 + 0.0721 * 0.3;
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(g.at(1, 0, c), l1, 1e-6);
    // Defaults are the identity.
    EXPECT_LT(maxDiff(readPixels(img.applyingFilter("CIColorControls")), readPixels(img)), 1e-6);

    // Gamma: c^p on straight colour.
    Pixels gm = readPixels(img.applyingFilter("CIGammaAdjust", {{"inputPower", 2.2}}));
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(gm.at(0, 0, c), std::pow(px[c], 2.2) * 0.5, 1e-5) << c;
    EXPECT_FLOAT_EQ(gm.at(0, 0, 3), 0.5f);
    Pixels g1 = readPixels(img.applyingFilter("CIGammaAdjust"));
    EXPECT_LT(maxDiff(g1, readPixels(img)), 1e-6);
}

TEST(ColorFilters, ToneCurve) {
    std::vector<std::array<float, 4>> ramp;
    for (int i = 0; i <= 256; ++i) ramp.push_back({i / 256.f, 1 - i / 256.f, 0.5f, 1.f});
    Image img = straightRow(ramp);
    Pixels in = readPixels(img);
    EXPECT_LT(maxDiff(readPixels(img.applyingFilter("CIToneCurve")), in), 1e-5);

    const double ys[5] = {0.05, 0.1, 0.5, 0.9, 0.97};
    std::map<std::string, FilterValue> pts;
    for (int i = 0; i < 5; ++i) pts["inputPoint" + std::to_string(i)] = Vector{0.25 * i, ys[i]};
    Pixels out = readPixels(img.applyingFilter("CIToneCurve", pts));
    for (int i = 0; i < 5; ++i) EXPECT_NEAR(out.at(64 * i, 0, 0), ys[i], 1e-5) << i;  // through the points
    for (int x = 1; x <= 256; ++x) {
        EXPECT_GE(out.at(x, 0, 0), out.at(x - 1, 0, 0) - 1e-7) << x;  // monotone
        EXPECT_GE(out.at(x, 0, 0), 0.05f - 1e-6);
        EXPECT_LE(out.at(x, 0, 0), 0.97f + 1e-6);
    }
    // Smooth: no kink at the middle point (left and right slopes agree).
    float left = out.at(128, 0, 0) - out.at(127, 0, 0), right = out.at(129, 0, 0) - out.at(128, 0, 0);
    EXPECT_NEAR(left, right, 0.1 * right);

    // A flat stretch between points stays flat: no overshoot.
    std::map<std::string, FilterValue> flat;
    const double fy[5] = {0, 0.5, 0.5, 0.5, 1};
    for (int i = 0; i < 5; ++i) flat["inputPoint" + std::to_string(i)] = Vector{0.25 * i, fy[i]};
    Pixels f = readPixels(img.applyingFilter("CIToneCurve", flat));
    for (int x = 64; x <= 192; ++x) EXPECT_NEAR(f.at(x, 0, 0), 0.5f, 1e-6) << x;

    // Points inside (0, 1) with two of them repeated: flat beyond the first and the last,
    // the repeated x keeping its last value.
    std::map<std::string, FilterValue> narrow = {{"inputPoint0", Vector{0.2, 0.3}},
                                                 {"inputPoint1", Vector{0.5, 0.1}},
                                                 {"inputPoint2", Vector{0.5, 0.6}},
                                                 {"inputPoint3", Vector{0.8, 0.7}},
                                                 {"inputPoint4", Vector{0.8, 0.75}}};
    Pixels nr = readPixels(img.applyingFilter("CIToneCurve", narrow));
    for (int x = 0; x <= 51; ++x) EXPECT_NEAR(nr.at(x, 0, 0), 0.3f, 1e-6) << x;
    for (int x = 205; x <= 256; ++x) EXPECT_NEAR(nr.at(x, 0, 0), 0.75f, 1e-6) << x;
    EXPECT_NEAR(nr.at(128, 0, 0), 0.6f, 1e-5);

    // Points given out of order are sorted; inputs beyond [0, 1] read the ends.
    std::map<std::string, FilterValue> shuffled = {{"inputPoint0", Vector{1, 1}},
                                                   {"inputPoint1", Vector{0.5, 0.7}},
                                                   {"inputPoint2", Vector{0, 0}},
                                                   {"inputPoint3", Vector{0.25, 0.4}},
                                                   {"inputPoint4", Vector{0.75, 0.9}}};
    Pixels s = readPixels(straightRow({{0.5f, 1.4f, -0.2f, 0.5f}}).applyingFilter("CIToneCurve", shuffled));
    EXPECT_NEAR(s.at(0, 0, 0), 0.7f * 0.5f, 1e-5);
    EXPECT_NEAR(s.at(0, 0, 1), 1.0f * 0.5f, 1e-5);
    EXPECT_NEAR(s.at(0, 0, 2), 0.f, 1e-6);
}

TEST(ColorFilters, Vibrance) {
    auto sat = [](const std::array<float, 4>& c) {
        return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]});
    };
    auto luma = [](const std::array<float, 4>& c) { return 0.2125f * c[0] + 0.7154f * c[1] + 0.0721f * c[2]; };
    std::vector<std::array<float, 4>> px = {{0.5f, 0.45f, 0.4f, 1.f}, {0.9f, 0.2f, 0.1f, 1.f},
                                            {0.3f, 0.3f, 0.3f, 1.f}, {0.2f, 0.6f, 0.55f, 0.5f}};
    Image img = straightRow(px);
    EXPECT_LT(maxDiff(readPixels(img.applyingFilter("CIVibrance")), readPixels(img)), 1e-6);

    Pixels up = readPixels(img.applyingFilter("CIVibrance", {{"inputAmount", 1.0}}));
    auto weak = straightAt(up, 0), strong = straightAt(up, 1), grey = straightAt(up, 2), tr = straightAt(up, 3);
    double weakGain = sat(weak) / sat(px[0]), strongGain = sat(strong) / sat(px[1]);
    EXPECT_GT(weakGain, 1.3);
    EXPECT_GT(weakGain, strongGain + 0.2);
    EXPECT_GE(strongGain, 1.0 - 1e-6);
    EXPECT_NEAR(luma(weak), luma(px[0]), 1e-5);  // saturation changes around the luma
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(grey[c], 0.3f, 1e-6);
    EXPECT_NEAR(tr[3], 0.5f, 1e-6);
    EXPECT_GT(sat(tr), sat(px[3]));
    for (int x = 0; x < 4; ++x)
        for (int c = 0; c < 3; ++c) {
            EXPECT_GE(straightAt(up, x)[c], -1e-6);
            EXPECT_LE(straightAt(up, x)[c], 1 + 1e-6);
        }

    Pixels down = readPixels(img.applyingFilter("CIVibrance", {{"inputAmount", -1.0}}));
    EXPECT_LT(sat(straightAt(down, 0)), 0.5 * sat(px[0]));
    EXPECT_LT(sat(straightAt(down, 1)), sat(px[1]));
}

TEST(ColorFilters, TemperatureAndTint) {
    Image img = randomImage(12, 6, 7, true);
    Pixels in = readPixels(img);
    // Neutral to the same neutral is the identity, at the defaults and elsewhere.
    EXPECT_LT(maxDiff(readPixels(img.applyingFilter("CITemperatureAndTint")), in), 1e-6);
    EXPECT_LT(maxDiff(readPixels(img.applyingFilter("CITemperatureAndTint", {{"inputNeutral", Vector{4200, 20}},
                                                                            {"inputTargetNeutral", Vector{4200, 20}}})),
                      in),
              1e-6);

    Image grey = straightRow({{0.5f, 0.5f, 0.5f, 1.f}, {0.8f, 0.8f, 0.8f, 0.5f}});
    auto adapt = [&](double t, double tint) {
        return readPixels(grey.applyingFilter("CITemperatureAndTint", {{"inputTargetNeutral", Vector{t, tint}}}));
    };
    // A higher target temperature warms (red up, blue down); a lower one cools.
    auto warm = straightAt(adapt(8500, 0), 0), cool = straightAt(adapt(4500, 0), 0);
    EXPECT_GT(warm[0], 0.5f + 0.02f);
    EXPECT_LT(warm[2], 0.5f - 0.02f);
    EXPECT_GT(warm[0], warm[1]);
    EXPECT_GT(warm[1], warm[2]);
    EXPECT_GT(cool[2], cool[0] + 0.04f);
    // Positive tint: towards magenta (green below red and blue).
    auto magenta = straightAt(adapt(6500, 60), 0), green = straightAt(adapt(6500, -60), 0);
    EXPECT_LT(magenta[1], magenta[0] - 0.02f);
    EXPECT_LT(magenta[1], magenta[2] - 0.02f);
    EXPECT_GT(green[1], green[0] + 0.02f);
    // Alpha is kept; translucent pixels shift the same way.
    Pixels w = adapt(8500, 0);
    EXPECT_FLOAT_EQ(w.at(1, 0, 3), 0.5f);
    EXPECT_GT(straightAt(w, 1)[0], straightAt(w, 1)[2]);

    // Adapting there and back again is the identity (up to the transfer tables).
    Image there = img.applyingFilter("CITemperatureAndTint",
                                     {{"inputNeutral", Vector{6500, 0}}, {"inputTargetNeutral", Vector{5000, 15}}});
    Image back = there.applyingFilter("CITemperatureAndTint",
                                      {{"inputNeutral", Vector{5000, 15}}, {"inputTargetNeutral", Vector{6500, 0}}});
    EXPECT_LT(maxDiff(readPixels(back), in), 2e-4);
    EXPECT_GT(maxDiff(readPixels(there), in), 0.02);
}

TEST(ColorFilters, ColorInvert) {
    Pixels p = readPixels(straightRow({{0.2f, 0.4f, 0.6f, 1.f}, {0.2f, 0.4f, 0.6f, 0.5f}})
                              .applyingFilter("CIColorInvert"));
    EXPECT_NEAR(p.at(0, 0, 0), 0.8f, 1e-6);
    EXPECT_NEAR(p.at(0, 0, 2), 0.4f, 1e-6);
    EXPECT_NEAR(p.at(1, 0, 0), 0.4f, 1e-6);  // straight 0.8 at alpha 0.5
    EXPECT_NEAR(p.at(1, 0, 1), 0.3f, 1e-6);
    EXPECT_FLOAT_EQ(p.at(1, 0, 3), 0.5f);
    // Transparent mid-grey stored raw is colour 0 with alpha 0: it inverts to nothing.
    Pixels t = readPixels(imageFromFloats(1, 1, {0.5f, 0.5f, 0.5f, 0.f}).applyingFilter("CIColorInvert"));
    for (int c = 0; c < 4; ++c) EXPECT_FLOAT_EQ(t.at(0, 0, c), 0.f);
}

TEST(ColorFilters, UnsharpMask) {
    Image flat = solid(40, 30, 0.3f, 0.6f, 0.9f, 1, {4, -2});
    Image f = flat.applyingFilter("CIUnsharpMask", {{"inputRadius", 3.0}, {"inputIntensity", 1.5}});
    EXPECT_EQ(f.extent(), flat.extent());
    EXPECT_LT(maxDiff(readPixels(f), readPixels(flat)), 1e-4);  // edges of the picture too

    Image edge = imageFrom(60, 4, [](int x, int, float* p) {
        float v = x < 30 ? 0.2f : 0.8f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    Pixels e = readPixels(edge.applyingFilter("CIUnsharpMask"));  // radius 2.5, intensity 0.5
    EXPECT_LT(e.at(29, 1, 0), 0.2f - 0.02f);  // undershoot on the dark side
    EXPECT_GT(e.at(30, 1, 0), 0.8f + 0.02f);  // overshoot on the bright side
    EXPECT_NEAR(e.at(2, 1, 0), 0.2f, 1e-4);   // far from the edge: unchanged
    EXPECT_NEAR(e.at(57, 1, 0), 0.8f, 1e-4);
    // c + (c − blur)·k is linear in k: twice the intensity, twice the overshoot.
    Pixels e2 = readPixels(edge.applyingFilter("CIUnsharpMask", {{"inputIntensity", 1.0}}));
    EXPECT_NEAR(e2.at(30, 1, 0) - 0.8f, 2 * (e.at(30, 1, 0) - 0.8f), 1e-4);
}

// The filters run sixteen pixels at a time with a per-pixel tail: both must agree, on
// translucent, transparent and out-of-range pixels alike.
TEST(ColorFilters, WideBlocksMatchSinglePixels) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(-0.2f, 1.2f);
    std::vector<float> d;
    for (int i = 0; i < 37; ++i) {
        const float a = i == 3 ? 0.f : std::clamp(u(rng), 0.05f, 1.f);
        for (int c = 0; c < 3; ++c) d.push_back(u(rng) * a);
        d.push_back(a);
    }
    const Image img = imageFromFloats(37, 1, std::move(d));
    std::map<std::string, FilterValue> curve;
    const double ys[5] = {0.05, 0.2, 0.45, 0.8, 0.97};
    for (int i = 0; i < 5; ++i) curve["inputPoint" + std::to_string(i)] = Vector{0.25 * i, ys[i]};
    const std::vector<std::pair<const char*, std::map<std::string, FilterValue>>> filters = {
        {"CIToneCurve", curve},
        {"CIColorControls", {{"inputSaturation", 1.6}, {"inputBrightness", -0.05}, {"inputContrast", 1.2}}}};
    for (const auto& [name, params] : filters) {
        const Pixels wide = readPixels(img.applyingFilter(name, params));
        for (int x = 0; x < 37; ++x) {
            const Pixels one = readPixels(img.cropped({double(x), 0, 1, 1}).applyingFilter(name, params));
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(wide.at(x, 0, c), one.at(x, 0, c), 2e-6) << name << " x " << x << " c " << c;
        }
    }
}

namespace {

// Rows of premultiplied pixels that no filter should trip over: translucent and opaque
// ones with colour below 0 and above alpha, transparent ones with colour left in them,
// alpha above 1 and below 0. 37 pixels a row: no vector width divides it, so every row
// ends in a per-pixel tail.
constexpr int kAwkwardWidth = 37, kAwkwardHeight = 2;
Image awkwardPixels(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> d;
    for (int i = 0; i < kAwkwardWidth * kAwkwardHeight; ++i) {
        const int kind = i % 7;
        const float a = kind == 0 ? 0.f : kind == 1 ? 1.3f : kind == 2 ? -0.2f : kind == 3 ? 1.f : 0.05f + 0.95f * u(rng);
        for (int c = 0; c < 3; ++c) d.push_back(kind == 0 ? u(rng) : (-0.3f + 1.7f * u(rng)) * a);
        d.push_back(a);
    }
    return imageFromFloats(kAwkwardWidth, kAwkwardHeight, std::move(d));
}

// Straight colour as every filter takes it: divided by alpha (in float, as stored), 0
// where alpha is not positive.
std::array<double, 3> straightOf(const float* p) {
    const float inv = p[3] > 0 ? 1.f / p[3] : 0.f;
    return {double(p[0] * inv), double(p[1] * inv), double(p[2] * inv)};
}

double signedPow(double v, double p) { return v == 0 ? 0.0 : std::copysign(std::pow(std::abs(v), p), v); }
double decodeSrgb(double c) {
    const double x = std::abs(c);
    return std::copysign(x <= 0.04045 ? x / 12.92 : std::pow((x + 0.055) / 1.055, 2.4), c);
}
double encodeSrgb(double l) {
    const double x = std::abs(l);
    return std::copysign(x <= 0.0031308 ? x * 12.92 : 1.055 * std::pow(x, 1 / 2.4) - 0.055, l);
}

using Reference = std::function<std::array<double, 4>(const float* p)>;

// Straight colour mapped by f, premultiplied again by the pixel's own alpha.
Reference onStraightColour(std::function<std::array<double, 3>(std::array<double, 3>)> f) {
    return [f](const float* p) {
        const auto c = f(straightOf(p));
        return std::array<double, 4>{c[0] * p[3], c[1] * p[3], c[2] * p[3], p[3]};
    };
}

}  // namespace

// Each filter against its documented formula in doubles, pixel by pixel, on pixels of
// every kind, at whatever width the kernels run.
TEST(ColorFilters, EveryFilterMatchesItsFormulaOnAwkwardPixels) {
    const Image img = awkwardPixels(17);
    const Pixels in = readPixels(img);

    // A colour cube with structure along every axis (not separable), dimension 5.
    const int dim = 5;
    auto table = [](double r, double g, double b) {
        return std::array<double, 3>{r * g + 0.2 * b, std::sqrt(b) * (1 - r), 0.5 * r + g * g * b};
    };
    std::vector<float> entries;
    for (int b = 0; b < dim; ++b)
        for (int g = 0; g < dim; ++g)
            for (int r = 0; r < dim; ++r) {
                const auto v = table(r / double(dim - 1), g / double(dim - 1), b / double(dim - 1));
                entries.insert(entries.end(), {float(v[0]), float(v[1]), float(v[2]), 0.5f});
            }
    const FloatData cubeData = std::make_shared<std::vector<float>>(std::move(entries));
    auto cubeAt = [&](std::array<double, 3> c) {
        double t[3];
        int k[3];
        for (int i = 0; i < 3; ++i) {
            const double x = std::clamp(c[i], 0.0, 1.0) * (dim - 1);
            k[i] = std::min(int(x), dim - 2);
            t[i] = x - k[i];
        }
        std::array<double, 3> o{};
        for (int corner = 0; corner < 8; ++corner) {
            double w = 1;
            int at = 0, stride = 1;
            for (int i = 0; i < 3; ++i) {
                const int bit = (corner >> i) & 1;
                w *= bit ? t[i] : 1 - t[i];
                at += (k[i] + bit) * stride;
                stride *= dim;
            }
            for (int ch = 0; ch < 3; ++ch) o[ch] += w * (*cubeData)[size_t(at) * 4 + ch];
        }
        return o;
    };

    const double m[5][4] = {{0.9, 0.3, -0.2, 0.1}, {0.1, 0.8, 0.1, 0}, {-0.3, 0.2, 1.1, 0.05}, {0.1, 0, 0.2, 0.7},
                            {0.02, -0.01, 0.03, 0.1}};
    auto matrix = [&](const float* p) {
        const auto c = straightOf(p);
        const double v[4] = {c[0], c[1], c[2], p[3]};
        double o[4];
        for (int r = 0; r < 4; ++r) o[r] = m[r][0] * v[0] + m[r][1] * v[1] + m[r][2] * v[2] + m[r][3] * v[3] + m[4][r];
        const double a = std::clamp(o[3], 0.0, 1.0);
        return std::array<double, 4>{o[0] * a, o[1] * a, o[2] * a, a};
    };

    const double sat = 1.3, bri = -0.04, con = 1.15;
    auto controls = [&](std::array<double, 3> c) {
        const double l = 0.2125 * c[0] + 0.7154 * c[1] + 0.0721 * c[2];
        for (auto& v : c) v = (l + (v - l) * sat + bri - 0.5) * con + 0.5;
        return c;
    };

    auto vibrance = [](double amount) {
        return [amount](std::array<double, 3> c) {
            const double mx = std::max({c[0], c[1], c[2]}), mn = std::min({c[0], c[1], c[2]});
            const double l = 0.2125 * c[0] + 0.7154 * c[1] + 0.0721 * c[2];
            const double w = 1 - std::clamp(mx - mn, 0.0, 1.0);
            double gain = std::max(0.0, 1 + amount * w * w);
            if (gain > 1) {
                // Boosts stop where the largest or the smallest channel would leave [0, 1].
                double limit = 1e30;
                if (mx - l > 1e-7) limit = std::min(limit, (1 - l) / (mx - l));
                if (l - mn > 1e-7) limit = std::min(limit, l / (l - mn));
                gain = std::min(gain, std::max(limit, 1.0));
            }
            for (auto& v : c) v = l + (v - l) * gain;
            return c;
        };
    };

    // Colour zeroed where alpha is not positive, alpha kept: the identities.
    auto clearTransparent = [](const float* p) {
        const double k = p[3] > 0 ? 1 : 0;
        return std::array<double, 4>{p[0] * k, p[1] * k, p[2] * k, p[3]};
    };

    // The temperature adaptation is a 3×3 matrix on linear sRGB; it is measured from the
    // filter's own response to the three primaries and the formula checked around it.
    const std::map<std::string, FilterValue> warm = {{"inputNeutral", Vector{6500, 0}},
                                                     {"inputTargetNeutral", Vector{4800, 25}}};
    const Pixels primaries = readPixels(
        straightRow({{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}}).applyingFilter("CITemperatureAndTint", warm));
    double adapt[3][3];
    for (int j = 0; j < 3; ++j)
        for (int i = 0; i < 3; ++i) adapt[i][j] = decodeSrgb(primaries.at(j, 0, i));
    auto temperature = [&](std::array<double, 3> c) {
        double l[3];
        for (int i = 0; i < 3; ++i) l[i] = decodeSrgb(c[i]);
        for (int i = 0; i < 3; ++i) c[i] = encodeSrgb(adapt[i][0] * l[0] + adapt[i][1] * l[1] + adapt[i][2] * l[2]);
        return c;
    };

    struct Case {
        const char* name;
        std::map<std::string, FilterValue> params;
        Reference expect;
        double tolerance;  // relative above 1
    };
    const std::vector<Case> cases = {
        {"CIColorCube", {{"inputCubeDimension", dim}, {"inputCubeData", cubeData}}, onStraightColour(cubeAt), 2e-6},
        {"CIColorMatrix",
         {{"inputRVector", Vector{m[0][0], m[0][1], m[0][2], m[0][3]}},
          {"inputGVector", Vector{m[1][0], m[1][1], m[1][2], m[1][3]}},
          {"inputBVector", Vector{m[2][0], m[2][1], m[2][2], m[2][3]}},
          {"inputAVector", Vector{m[3][0], m[3][1], m[3][2], m[3][3]}},
          {"inputBiasVector", Vector{m[4][0], m[4][1], m[4][2], m[4][3]}}},
         matrix, 2e-6},
        {"CIColorControls",
         {{"inputSaturation", sat}, {"inputBrightness", bri}, {"inputContrast", con}},
         onStraightColour(controls), 2e-6},
        {"CIGammaAdjust", {{"inputPower", 0.6}}, onStraightColour([](std::array<double, 3> c) {
             for (auto& v : c) v = signedPow(v, 0.6);
             return c;
         }),
         2e-5},
        {"CIGammaAdjust", {{"inputPower", 1.0}}, clearTransparent, 0},
        {"CIVibrance", {{"inputAmount", 0.8}}, onStraightColour(vibrance(0.8)), 2e-6},
        {"CIVibrance", {{"inputAmount", -0.6}}, onStraightColour(vibrance(-0.6)), 2e-6},
        {"CITemperatureAndTint", warm, onStraightColour(temperature), 1e-4},
        {"CITemperatureAndTint",
         {{"inputNeutral", Vector{5200, -10}}, {"inputTargetNeutral", Vector{5200, -10}}},
         clearTransparent, 0},
        {"CIColorInvert", {}, [](const float* p) {
             const auto c = straightOf(p);
             const double a = p[3] > 0 ? p[3] : 0;  // nothing where alpha is not positive
             return std::array<double, 4>{(1 - c[0]) * a, (1 - c[1]) * a, (1 - c[2]) * a, p[3]};
         },
         2e-6},
    };
    for (const Case& k : cases) {
        const Pixels out = readPixels(img.applyingFilter(k.name, k.params));
        for (int y = 0; y < kAwkwardHeight; ++y)
            for (int x = 0; x < kAwkwardWidth; ++x) {
                const auto want = k.expect(in.at(x, y));
                for (int c = 0; c < 4; ++c)
                    EXPECT_NEAR(out.at(x, y, c), want[c], k.tolerance * std::max(1.0, std::abs(want[c])))
                        << k.name << " at " << x << "," << y << " channel " << c << ", input " << in.at(x, y, 0) << " "
                        << in.at(x, y, 1) << " " << in.at(x, y, 2) << " " << in.at(x, y, 3);
            }
    }
}
