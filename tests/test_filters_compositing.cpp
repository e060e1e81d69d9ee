// Porter–Duff operators and blend modes against the W3C compositing formulas, written out
// again here in plain doubles.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <string>

#include "test_support.h"
#include "vellari/platform/filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

using C3 = std::array<double, 3>;
using Px = std::array<float, 4>;  // premultiplied

double lum(C3 c) { return 0.3 * c[0] + 0.59 * c[1] + 0.11 * c[2]; }
C3 clipColor(C3 c) {
    double l = lum(c), n = std::min({c[0], c[1], c[2]}), x = std::max({c[0], c[1], c[2]});
    if (n < 0)
        for (auto& v : c) v = l + (v - l) * l / (l - n);
    if (x > 1)
        for (auto& v : c) v = l + (v - l) * (1 - l) / (x - l);
    return c;
}
C3 setLum(C3 c, double l) {
    double d = l - lum(c);
    for (auto& v : c) v += d;
    return clipColor(c);
}
double sat(C3 c) { return std::max({c[0], c[1], c[2]}) - std::min({c[0], c[1], c[2]}); }
C3 setSat(C3 c, double s) {
    int idx[3] = {0, 1, 2};
    std::sort(idx, idx + 3, [&](int a, int b) { return c[a] < c[b]; });
    double mn = c[idx[0]], md = c[idx[1]], mx = c[idx[2]];
    C3 o{0, 0, 0};
    if (mx > mn) {
        o[idx[1]] = (md - mn) * s / (mx - mn);
        o[idx[2]] = s;
    }
    return o;
}

using Sep = double (*)(double b, double s);
double screen(double b, double s) { return b + s - b * s; }
double hardLight(double b, double s) { return s <= 0.5 ? b * 2 * s : screen(b, 2 * s - 1); }
double softLight(double b, double s) {
    if (s <= 0.5) return b - (1 - 2 * s) * b * (1 - b);
    double d = b <= 0.25 ? ((16 * b - 12) * b + 4) * b : std::sqrt(b);
    return b + (2 * s - 1) * (d - b);
}

struct Mode {
    const char* name;
    std::function<C3(C3 b, C3 s)> blend;
};

Mode separable(const char* name, Sep f) {
    return {name, [f](C3 b, C3 s) { return C3{f(b[0], s[0]), f(b[1], s[1]), f(b[2], s[2])}; }};
}

std::vector<Mode> modes() {
    return {
        separable("CIMultiplyBlendMode", [](double b, double s) { return b * s; }),
        separable("CIScreenBlendMode", screen),
        separable("CIOverlayBlendMode", [](double b, double s) { return hardLight(s, b); }),
        separable("CIDarkenBlendMode", [](double b, double s) { return std::min(b, s); }),
        separable("CILightenBlendMode", [](double b, double s) { return std::max(b, s); }),
        separable("CIColorDodgeBlendMode",
                  [](double b, double s) { return b == 0 ? 0.0 : s == 1 ? 1.0 : std::min(1.0, b / (1 - s)); }),
        separable("CIColorBurnBlendMode",
                  [](double b, double s) { return b == 1 ? 1.0 : s == 0 ? 0.0 : 1 - std::min(1.0, (1 - b) / s); }),
        separable("CIHardLightBlendMode", hardLight),
        separable("CISoftLightBlendMode", softLight),
        separable("CIDifferenceBlendMode", [](double b, double s) { return std::abs(b - s); }),
        separable("CIExclusionBlendMode", [](double b, double s) { return b + s - 2 * b * s; }),
        {"CIHueBlendMode", [](C3 b, C3 s) { return setLum(setSat(s, sat(b)), lum(b)); }},
        {"CISaturationBlendMode", [](C3 b, C3 s) { return setLum(setSat(b, sat(s)), lum(b)); }},
        {"CIColorBlendMode", [](C3 b, C3 s) { return setLum(s, lum(b)); }},
        {"CILuminosityBlendMode", [](C3 b, C3 s) { return setLum(b, lum(s)); }},
    };
}

// Expected premultiplied result of a blend of source s over backdrop b (both valid).
Px expectBlend(const Mode& m, const Px& s, const Px& b) {
    double as = s[3], ab = b[3];
    C3 cs, cb;
    for (int c = 0; c < 3; ++c) {
        cs[c] = as > 0 ? s[c] / as : 0;
        cb[c] = ab > 0 ? b[c] / ab : 0;
    }
    C3 B = m.blend(cb, cs);
    Px o;
    for (int c = 0; c < 3; ++c) o[c] = float(s[c] * (1 - ab) + b[c] * (1 - as) + as * ab * B[c]);
    o[3] = float(as + ab - as * ab);
    return o;
}

Image row(const std::vector<Px>& px) {
    std::vector<float> d;
    for (auto& p : px) d.insert(d.end(), p.begin(), p.end());
    return imageFromFloats(int(px.size()), 1, std::move(d));
}

Px straight(float r, float g, float b, float a) { return {r * a, g * a, b * a, a}; }

Pixels composite(const char* name, const Image& src, const Image& bg) {
    return readPixels(src.applyingFilter(name, {{"inputBackgroundImage", bg}}));
}

}  // namespace

TEST(BlendModes, AllModesMatchTheFormulas) {
    // Source/backdrop pairs: opaque, translucent, transparent, extremes and equal channels.
    std::vector<Px> src = {straight(0.2f, 0.5f, 0.9f, 1), straight(0.8f, 0.3f, 0.1f, 1), straight(0.6f, 0.6f, 0.6f, 0.5f),
                           straight(1, 0, 0.5f, 0.7f),    straight(0, 0, 0, 1),          straight(1, 1, 1, 1),
                           straight(0.3f, 0.9f, 0.9f, 0.25f), straight(0.5f, 0.5f, 0.5f, 0)};
    std::vector<Px> bg = {straight(0.7f, 0.4f, 0.2f, 1), straight(0.1f, 0.6f, 0.95f, 1), straight(0.2f, 0.8f, 0.4f, 0.8f),
                          straight(0.25f, 0.25f, 0.9f, 0.4f), straight(1, 1, 1, 1), straight(0, 0, 0, 1),
                          straight(0.5f, 0.1f, 0.1f, 1), straight(0.9f, 0.3f, 0.6f, 0.6f)};
    Image s = row(src), b = row(bg);
    for (const Mode& m : modes()) {
        Image out = s.applyingFilter(m.name, {{"inputBackgroundImage", b}});
        ASSERT_FALSE(out.isNull()) << m.name;
        Pixels p = readPixels(out);
        for (size_t i = 0; i < src.size(); ++i) {
            Px e = expectBlend(m, src[i], bg[i]);
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(p.at(int(i), 0, c), e[c], 2e-5) << m.name << " pair " << i << " c " << c;
        }
        EXPECT_TRUE(FilterRegistry::create(m.name)->outputImage().isNull()) << m.name;
        EXPECT_TRUE(s.applyingFilter(m.name).isNull()) << m.name << " without background";
    }
}

TEST(BlendModes, HandPickedValues) {
    Image s = row({straight(0.5f, 0.25f, 1, 1)}), b = row({straight(0.5f, 0.5f, 0.5f, 1)});
    Pixels mul = composite("CIMultiplyBlendMode", s, b);
    EXPECT_NEAR(mul.at(0, 0, 0), 0.25f, 1e-6);
    EXPECT_NEAR(mul.at(0, 0, 2), 0.5f, 1e-6);
    Pixels scr = composite("CIScreenBlendMode", s, b);
    EXPECT_NEAR(scr.at(0, 0, 1), 0.625f, 1e-6);
    // Half-transparent white screened over opaque black: 0.5·0 + 0·… + 0.5·1·screen(0, 1).
    Pixels half = composite("CIScreenBlendMode", row({straight(1, 1, 1, 0.5f)}), row({straight(0, 0, 0, 1)}));
    EXPECT_NEAR(half.at(0, 0, 0), 0.5f, 1e-6);
    EXPECT_NEAR(half.at(0, 0, 3), 1.f, 1e-6);
    // Luminosity of a grey source onto a colour keeps the colour's hue at the grey's lum.
    Pixels lumi = composite("CILuminosityBlendMode", row({straight(0.5f, 0.5f, 0.5f, 1)}), row({straight(0.6f, 0.4f, 0.4f, 1)}));
    double l = 0.3 * lumi.at(0, 0, 0) + 0.59 * lumi.at(0, 0, 1) + 0.11 * lumi.at(0, 0, 2);
    EXPECT_NEAR(l, 0.5, 1e-5);
    EXPECT_GT(lumi.at(0, 0, 0), lumi.at(0, 0, 1));
}

TEST(PorterDuff, ValuesAndExtents) {
    const Px sp = straight(0.8f, 0.2f, 0.4f, 0.6f), bp = straight(0.1f, 0.9f, 0.5f, 0.5f);
    Image s = solid(4, 4, sp[0], sp[1], sp[2], sp[3], {0, 0});
    Image b = solid(4, 4, bp[0], bp[1], bp[2], bp[3], {2, 2});
    struct Case {
        const char* name;
        Rect extent;
    } cases[] = {{"CISourceOverCompositing", {0, 0, 6, 6}},
                 {"CISourceAtopCompositing", {2, 2, 4, 4}},
                 {"CISourceInCompositing", {2, 2, 2, 2}},
                 {"CISourceOutCompositing", {0, 0, 4, 4}}};
    for (auto& c : cases) {
        Image out = s.applyingFilter(c.name, {{"inputBackgroundImage", b}});
        ASSERT_FALSE(out.isNull()) << c.name;
        EXPECT_EQ(out.extent(), c.extent) << c.name;
        EXPECT_TRUE(s.applyingFilter(c.name).isNull()) << c.name;
    }
    IRect all{0, 0, 6, 6};
    Pixels over = readPixels(s.applyingFilter("CISourceOverCompositing", {{"inputBackgroundImage", b}}), all);
    Pixels atop = readPixels(s.applyingFilter("CISourceAtopCompositing", {{"inputBackgroundImage", b}}), all);
    Pixels in = readPixels(s.applyingFilter("CISourceInCompositing", {{"inputBackgroundImage", b}}), all);
    Pixels out = readPixels(s.applyingFilter("CISourceOutCompositing", {{"inputBackgroundImage", b}}), all);
    for (int c = 0; c < 4; ++c) {
        // Where both are present (3, 3).
        EXPECT_NEAR(over.at(3, 3, c), sp[c] + bp[c] * (1 - sp[3]), 1e-6) << c;
        EXPECT_NEAR(in.at(3, 3, c), sp[c] * bp[3], 1e-6) << c;
        EXPECT_NEAR(out.at(3, 3, c), sp[c] * (1 - bp[3]), 1e-6) << c;
        EXPECT_NEAR(atop.at(3, 3, c), c < 3 ? sp[c] * bp[3] + bp[c] * (1 - sp[3]) : bp[3], 1e-6) << c;
        // Source only (1, 1), background only (5, 5).
        EXPECT_NEAR(over.at(1, 1, c), sp[c], 1e-6);
        EXPECT_NEAR(over.at(5, 5, c), bp[c], 1e-6);
        EXPECT_NEAR(out.at(1, 1, c), sp[c], 1e-6);
        EXPECT_NEAR(atop.at(5, 5, c), bp[c], 1e-6);
        EXPECT_FLOAT_EQ(atop.at(1, 1, c), 0.f);
        EXPECT_FLOAT_EQ(in.at(1, 1, c), 0.f);
    }
    // Blend modes take the union as well.
    EXPECT_EQ(s.applyingFilter("CIMultiplyBlendMode", {{"inputBackgroundImage", b}}).extent(), (Rect{0, 0, 6, 6}));
    // Over an infinite constant background the result is infinite.
    Image inf = s.applyingFilter("CISourceOverCompositing", {{"inputBackgroundImage", Image::constantColor(Color::black())}});
    EXPECT_TRUE(inf.extent().isInfinite());
}

TEST(PorterDuff, InputsAreClampedToValidPremultipliedColour) {
    Image black = solid(1, 1, 0, 0, 0, 1);
    // A line pixel stored as (1, 1, 1, 0.65) is white at 65 % opacity.
    Pixels line = composite("CISourceOverCompositing", imageFromFloats(1, 1, {1, 1, 1, 0.65f}), black);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(line.at(0, 0, c), 0.65f, 1e-6);
    EXPECT_NEAR(line.at(0, 0, 3), 1.f, 1e-6);
    // Transparent mid-grey composites as nothing, in every operator and blend mode.
    Image grey0 = imageFromFloats(1, 1, {0.5f, 0.5f, 0.5f, 0});
    Image bg = solid(1, 1, 0.2f, 0.3f, 0.1f, 0.7f);
    for (const char* name : {"CISourceOverCompositing", "CIScreenBlendMode", "CILightenBlendMode", "CIHueBlendMode",
                             "CIColorDodgeBlendMode"}) {
        Pixels p = composite(name, grey0, bg);
        EXPECT_NEAR(p.at(0, 0, 0), 0.2f, 1e-6) << name;
        EXPECT_NEAR(p.at(0, 0, 1), 0.3f, 1e-6) << name;
        EXPECT_NEAR(p.at(0, 0, 3), 0.7f, 1e-6) << name;
    }
    // Out-of-range values are clamped: colour above 1, negative colour, alpha above 1.
    Pixels hi = composite("CISourceOverCompositing", imageFromFloats(1, 1, {1.5f, -0.3f, 0.2f, 1.4f}), bg);
    EXPECT_NEAR(hi.at(0, 0, 0), 1.f, 1e-6);
    EXPECT_NEAR(hi.at(0, 0, 1), 0.f, 1e-6);
    EXPECT_NEAR(hi.at(0, 0, 2), 0.2f, 1e-6);
    EXPECT_NEAR(hi.at(0, 0, 3), 1.f, 1e-6);
    // The background is clamped too: transparent grey under an opaque source is nothing.
    Pixels under = composite("CIMultiplyBlendMode", imageFromFloats(1, 1, {0.4f, 0.4f, 0.4f, 1}), grey0);
    EXPECT_NEAR(under.at(0, 0, 0), 0.4f, 1e-6);
    // compositedOver is the source-over filter.
    Pixels co = readPixels(imageFromFloats(1, 1, {1, 1, 1, 0.65f}).compositedOver(black));
    EXPECT_NEAR(co.at(0, 0, 0), 0.65f, 1e-6);
}

// Four pixels at a time with a per-pixel tail: both clamp and blend alike.
TEST(PorterDuff, WideRowsMatchSinglePixels) {
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(-0.3f, 1.4f);
    // Two blocks of sixteen and a tail, so that every width of each kernel is compared.
    constexpr int kN = 37;
    std::vector<float> s, b;
    for (int i = 0; i < 4 * kN; ++i) {
        s.push_back(u(rng));
        b.push_back(u(rng));
    }
    const Image src = imageFromFloats(kN, 1, std::move(s)), bg = imageFromFloats(kN, 1, std::move(b));
    for (const char* name : {"CISourceOverCompositing", "CIMultiplyBlendMode", "CIScreenBlendMode",
                             "CISaturationBlendMode"}) {
        const Pixels wide = composite(name, src, bg);
        for (int x = 0; x < kN; ++x) {
            const Rect px{double(x), 0, 1, 1};
            const Pixels one = composite(name, src.cropped(px), bg.cropped(px));
            for (int c = 0; c < 4; ++c) EXPECT_NEAR(wide.at(x, 0, c), one.at(x, 0, c), 1e-6) << name << " x " << x << " c " << c;
        }
    }
}

namespace {

// Stored pixels of every kind: translucent and opaque ones with colour below 0 and above
// alpha, transparent ones with colour left in them, alpha above 1 and below 0. 37 pixels
// a row, which no vector width divides, so every row ends in a per-pixel tail; the kinds
// of the two images are offset, so that each meets the others.
constexpr int kAwkwardWidth = 37, kAwkwardHeight = 2;
std::vector<float> awkwardPixels(unsigned seed, int offset) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> d;
    for (int i = 0; i < kAwkwardWidth * kAwkwardHeight; ++i) {
        const int kind = (i + offset) % 7;
        const float a = kind == 0 ? 0.f : kind == 1 ? 1.3f : kind == 2 ? -0.2f : kind == 3 ? 1.f : 0.05f + 0.95f * u(rng);
        for (int c = 0; c < 3; ++c) d.push_back(kind == 0 ? u(rng) : (-0.3f + 1.7f * u(rng)) * a);
        d.push_back(a);
    }
    return d;
}

// A stored pixel as every operator takes it: alpha to [0, 1], colour to [0, alpha].
Px clampedPremultiplied(const float* p) {
    const float a = std::clamp(p[3], 0.f, 1.f);
    return {std::clamp(p[0], 0.f, a), std::clamp(p[1], 0.f, a), std::clamp(p[2], 0.f, a), a};
}

// A blend of stored pixels: clamped, straight colour divided out in float as stored, the
// formula and the compositing in doubles.
std::array<double, 4> expectBlendOfStored(const Mode& m, const float* sp, const float* bp) {
    const Px s = clampedPremultiplied(sp), b = clampedPremultiplied(bp);
    const double as = s[3], ab = b[3];
    const float is = s[3] > 0 ? 1.f / s[3] : 0.f, ib = b[3] > 0 ? 1.f / b[3] : 0.f;
    C3 cs, cb;
    for (int c = 0; c < 3; ++c) {
        cs[c] = s[c] * is;
        cb[c] = b[c] * ib;
    }
    const C3 B = m.blend(cb, cs);
    std::array<double, 4> o;
    for (int c = 0; c < 3; ++c) o[c] = s[c] * (1 - ab) + b[c] * (1 - as) + as * ab * B[c];
    o[3] = as + ab - as * ab;
    return o;
}

}  // namespace

// Every operator and mode against its formula in doubles on stored pixels of every kind,
// at whatever width the kernels run.
TEST(BlendModes, EveryModeMatchesItsFormulaOnAwkwardPixels) {
    const std::vector<float> sd = awkwardPixels(23, 0), bd = awkwardPixels(29, 3);
    const Image src = imageFromFloats(kAwkwardWidth, kAwkwardHeight, sd);
    const Image bg = imageFromFloats(kAwkwardWidth, kAwkwardHeight, bd);
    using Formula = std::function<std::array<double, 4>(const float* s, const float* b)>;
    std::vector<std::pair<std::string, Formula>> cases;
    for (const Mode& m : modes())
        cases.emplace_back(m.name, [m](const float* s, const float* b) { return expectBlendOfStored(m, s, b); });
    auto porterDuff = [](std::function<double(double s, double b, double as, double ab)> colour,
                         std::function<double(double as, double ab)> alpha) {
        return [colour, alpha](const float* sp, const float* bp) {
            const Px s = clampedPremultiplied(sp), b = clampedPremultiplied(bp);
            std::array<double, 4> o;
            for (int c = 0; c < 3; ++c) o[c] = colour(s[c], b[c], s[3], b[3]);
            o[3] = alpha(s[3], b[3]);
            return o;
        };
    };
    cases.emplace_back("CISourceOverCompositing",
                       porterDuff([](double s, double b, double as, double) { return s + b * (1 - as); },
                                  [](double as, double ab) { return as + ab * (1 - as); }));
    cases.emplace_back("CISourceAtopCompositing",
                       porterDuff([](double s, double b, double as, double ab) { return s * ab + b * (1 - as); },
                                  [](double, double ab) { return ab; }));
    cases.emplace_back("CISourceInCompositing", porterDuff([](double s, double, double, double ab) { return s * ab; },
                                                           [](double as, double ab) { return as * ab; }));
    cases.emplace_back("CISourceOutCompositing",
                       porterDuff([](double s, double, double, double ab) { return s * (1 - ab); },
                                  [](double as, double ab) { return as * (1 - ab); }));
    for (const auto& [name, expect] : cases) {
        const Pixels out = composite(name.c_str(), src, bg);
        for (int y = 0; y < kAwkwardHeight; ++y)
            for (int x = 0; x < kAwkwardWidth; ++x) {
                const size_t at = (size_t(y) * kAwkwardWidth + x) * 4;
                const auto want = expect(&sd[at], &bd[at]);
                for (int c = 0; c < 4; ++c)
                    EXPECT_NEAR(out.at(x, y, c), want[c], 2e-5) << name << " at " << x << "," << y << " channel " << c;
            }
    }
}
