#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"

using namespace vellari;
using namespace vellari::test;

// Colour sigma in stored values: 36 of 255 levels, as the colour stage passes it.
constexpr double kSigma = 36.0 / 255.0;

namespace {

using Util = QXCoreImageUtilities;

double maxAbsDiff(const Pixels& a, const Pixels& b) {
    double m = 0;
    for (size_t i = 0; i < a.data.size(); ++i) m = std::max(m, double(std::abs(a.data[i] - b.data[i])));
    return m;
}

Image noisyImage(int w, int h, unsigned seed, Point origin = {0, 0}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    return imageFrom(w, h, [&](int, int, float* p) {
        for (int c = 0; c < 3; ++c) p[c] = u(rng);
        p[3] = 1;
    }, origin);
}

// One separable pass written from the definition, in double precision.
std::vector<double> referencePass(const std::vector<double>& in, int w, int h, int half, double sigma255,
                                  bool horizontal, bool blurAlpha) {
    std::vector<double> out(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double* c = &in[(size_t(y) * w + x) * 4];
            double acc[4] = {0, 0, 0, 0}, total = 0;
            for (int k = -half; k <= half; ++k) {
                const int tx = horizontal ? x + k : x, ty = horizontal ? y : y + k;
                if (tx < 0 || ty < 0 || tx >= w || ty >= h) continue;
                const double* t = &in[(size_t(ty) * w + tx) * 4];
                double d2 = 0;
                for (int ch = 0; ch < 3; ++ch) d2 += std::pow(255.0 * (t[ch] - c[ch]), 2);
                const double wgt = (1.0 - std::abs(k) / double(half + 1)) * std::exp(-d2 / (2 * sigma255 * sigma255));
                for (int ch = 0; ch < 4; ++ch) acc[ch] += wgt * t[ch];
                total += wgt;
            }
            double* o = &out[(size_t(y) * w + x) * 4];
            for (int ch = 0; ch < 4; ++ch) o[ch] = acc[ch] / total;
            if (!blurAlpha) o[3] = c[3];
        }
    return out;
}

// One pass of the occlusion variant from the definition: from the centre outwards in each
// direction, up to the first tap more than 2.5σ from the centre colour or from the tap
// before it; alpha is blurred with the colour weights.
std::vector<double> referenceOcclusionPass(const std::vector<double>& in, int w, int h, int half, double sigma255,
                                           bool horizontal) {
    const double stop = std::pow(2.5 * sigma255, 2);
    auto dist2 = [](const double* a, const double* b) {
        double d2 = 0;
        for (int ch = 0; ch < 3; ++ch) d2 += std::pow(255.0 * (a[ch] - b[ch]), 2);
        return d2;
    };
    std::vector<double> out(in.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double* c = &in[(size_t(y) * w + x) * 4];
            double acc[4] = {c[0], c[1], c[2], c[3]}, total = 1;
            for (int dir = -1; dir <= 1; dir += 2) {
                const double* prev = c;
                for (int j = 1; j <= half; ++j) {
                    const int tx = horizontal ? x + dir * j : x, ty = horizontal ? y : y + dir * j;
                    if (tx < 0 || ty < 0 || tx >= w || ty >= h) break;
                    const double* t = &in[(size_t(ty) * w + tx) * 4];
                    const double d2 = dist2(t, c);
                    if (d2 > stop || dist2(t, prev) > stop) break;
                    const double wgt = (1.0 - j / double(half + 1)) * std::exp(-d2 / (2 * sigma255 * sigma255));
                    for (int ch = 0; ch < 4; ++ch) acc[ch] += wgt * t[ch];
                    total += wgt;
                    prev = t;
                }
            }
            double* o = &out[(size_t(y) * w + x) * 4];
            for (int ch = 0; ch < 4; ++ch) o[ch] = acc[ch] / total;
        }
    return out;
}

}  // namespace

TEST(CommonBilateral, TentMatchesTheDefinitionIncludingBordersAndAlpha) {
    const int w = 23, h = 17;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    Image img = imageFrom(w, h, [&](int, int, float* p) {
        p[3] = 0.5f + 0.5f * u(rng);
        for (int c = 0; c < 3; ++c) p[c] = p[3] * (0.3f + 0.2f * u(rng));  // near colours, so the range weights matter
    }, {5, -4});
    Pixels src = readPixels(img);
    std::vector<double> in(src.data.begin(), src.data.end());
    for (bool blurAlpha : {false, true}) {
        auto ref = referencePass(referencePass(in, w, h, 3, 36, true, blurAlpha), w, h, 3, 36, false, blurAlpha);  // 36 of 255
        // Even sizes round up to the next odd one: 6 gives 7 taps.
        for (double size : {7.0, 6.0}) {
            Pixels got = readPixels(Util::bilateralBlurTentSeparable(img, size, kSigma, blurAlpha));
            double err = 0;
            for (size_t i = 0; i < ref.size(); ++i) err = std::max(err, std::abs(ref[i] - got.data[i]));
            EXPECT_LT(err, 2e-5) << "blurAlpha " << blurAlpha << " size " << size;
        }
    }
    Pixels kept = readPixels(Util::bilateralBlurTentSeparable(img, 7, kSigma, false));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) EXPECT_EQ(kept.at(x + 5, y - 4, 3), src.at(x + 5, y - 4, 3));
}

TEST(CommonBilateral, ConstantExtentIdentityAndTiles) {
    const Point origin{7, -3};
    Image flat = solid(300, 140, 0.3f, 0.6f, 0.2f, 1.0f, origin);
    for (Image out : {Util::bilateralBlurTentSeparable(flat, 31, kSigma, false),
                      Util::bilateralBlurTentSeparable(flat, 31, kSigma, true),
                      Util::bilateralBlurOcclusionSeparable(flat, 31, kSigma)}) {
        ASSERT_TRUE(out);
        EXPECT_EQ(out.extent(), flat.extent());
        // Taps past the edges take no part: the borders keep the colour too.
        Pixels p = readPixels(out);
        EXPECT_LT(maxAbsDiff(p, readPixels(flat)), 1e-5);
    }

    Image noise = noisyImage(40, 30, 3, origin);
    Pixels before = readPixels(noise);
    for (Image out : {Util::bilateralBlurTentSeparable(noise, 1, kSigma, true),
                      Util::bilateralBlurOcclusionSeparable(noise, 1, kSigma),
                      Util::bilateralBlurTentSeparable(noise, 0.4, kSigma, false),
                      Util::bilateralBlurTentSeparable(noise, 31, 0, false)})
        EXPECT_EQ(readPixels(out).data, before.data);
    // An infinite image renders wherever asked.
    Image inf = Util::bilateralBlurOcclusionSeparable(Image::constantColor({0.2, 0.4, 0.6, 1}), 31, 36);
    EXPECT_TRUE(inf.extent().isInfinite());
    Pixels q = readPixels(inf, IRect{-40, 1000, 8, 8});
    for (int i = 0; i < 64; ++i) EXPECT_NEAR(q.data[size_t(i) * 4 + 2], 0.6f, 1e-5);
    EXPECT_FALSE(Util::bilateralBlurTentSeparable(Image(), 31, 36, false));
    EXPECT_FALSE(Util::bilateralBlurOcclusionSeparable(Image(), 31, 36));

    // Rendering part of the result (other tiles, other regions of interest) gives the same
    // pixels as rendering all of it.
    Image big = noisyImage(600, 300, 11);
    for (Image out :
         {Util::bilateralBlurTentSeparable(big, 31, kSigma, false), Util::bilateralBlurOcclusionSeparable(big, 31, kSigma)}) {
        Pixels all = readPixels(out);
        const IRect part{251, 97, 140, 61};
        Pixels some = readPixels(out, part);
        double d = 0;
        for (int y = part.y; y < part.bottom(); ++y)
            for (int x = part.x; x < part.right(); ++x)
                for (int c = 0; c < 4; ++c) d = std::max(d, double(std::abs(some.at(x, y, c) - all.at(x, y, c))));
        EXPECT_EQ(d, 0.0);
    }
}

TEST(CommonBilateral, KeepsStepEdgesAndSmoothsNoise) {
    const int w = 64, h = 48;
    const float left[3] = {0.9f, 0.2f, 0.1f}, right[3] = {0.1f, 0.3f, 0.9f};
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.04f, 0.04f);
    Image img = imageFrom(w, h, [&](int x, int, float* p) {
        const float* c = x < w / 2 ? left : right;
        for (int ch = 0; ch < 3; ++ch) p[ch] = c[ch] + u(rng);
        p[3] = 1;
    });
    auto stddevLeft = [&](const Pixels& p) {
        double s = 0, s2 = 0;
        int n = 0;
        for (int y = 8; y < h - 8; ++y)
            for (int x = 4; x < w / 2 - 4; ++x) {
                double v = p.at(x, y, 0);
                s += v, s2 += v * v, ++n;
            }
        return std::sqrt(s2 / n - (s / n) * (s / n));
    };
    Pixels before = readPixels(img);
    for (int occlusion = 0; occlusion < 2; ++occlusion) {
        Image out = occlusion ? Util::bilateralBlurOcclusionSeparable(img, 31, kSigma)
                              : Util::bilateralBlurTentSeparable(img, 31, kSigma, false);
        Pixels p = readPixels(out);
        EXPECT_LT(stddevLeft(p), stddevLeft(before) / 3) << "occlusion " << occlusion;
        // The columns either side of the edge keep their side's colour.
        for (int y = 4; y < h - 4; ++y)
            for (int ch = 0; ch < 3; ++ch) {
                EXPECT_NEAR(p.at(w / 2 - 1, y, ch), left[ch], 0.03) << "occlusion " << occlusion << " y " << y;
                EXPECT_NEAR(p.at(w / 2, y, ch), right[ch], 0.03) << "occlusion " << occlusion << " y " << y;
            }
    }
}

TEST(CommonBilateral, OcclusionDoesNotLeakAcrossThinDarkLines) {
    // Two regions of moderately different colour (under 2σ apart, so a plain range weight
    // still lets the far side in) divided by a one-pixel line. The walk stops there either
    // because the line is far from the centre colour (a dark line), or because the step from
    // the line to the far side is (a line only 2σ from this side, but far from the other).
    struct Setup {
        float a[3], b[3], line[3];
    };
    const Setup setups[] = {{{0.70f, 0.50f, 0.40f}, {0.55f, 0.55f, 0.55f}, {0.05f, 0.05f, 0.05f}},
                            {{0.50f, 0.50f, 0.50f}, {0.75f, 0.50f, 0.50f}, {0.20f, 0.50f, 0.50f}}};
    const int n = 64, mid = 32;
    for (const Setup& su : setups)
        for (bool vertical : {true, false}) {
            Image img = imageFrom(n, n, [&](int x, int y, float* p) {
                const int along = vertical ? x : y;
                for (int c = 0; c < 3; ++c) p[c] = along == mid ? su.line[c] : (along < mid ? su.a[c] : su.b[c]);
                p[3] = 1;
            });
            // How far the pixels just before the line have moved towards the far side's colour.
            auto leak = [&](const Image& out) {
                Pixels p = readPixels(out);
                double ab[3], len = 0, worst = 0;
                for (int c = 0; c < 3; ++c) ab[c] = su.b[c] - su.a[c], len += ab[c] * ab[c];
                for (int s = 8; s < n - 8; ++s)
                    for (int d = 1; d <= 3; ++d) {
                        const int x = vertical ? mid - d : s, y = vertical ? s : mid - d;
                        double t = 0;
                        for (int c = 0; c < 3; ++c) t += (p.at(x, y, c) - su.a[c]) * ab[c];
                        worst = std::max(worst, t / std::sqrt(len));
                    }
                return worst;
            };
            Image occ = Util::bilateralBlurOcclusionSeparable(img, 31, kSigma);
            const double tentLeak = leak(Util::bilateralBlurTentSeparable(img, 31, kSigma, false));
            const double occLeak = leak(occ);
            EXPECT_GT(tentLeak, 0.02) << "line " << su.line[0] << " vertical " << vertical;
            EXPECT_LT(occLeak, 0.002) << "line " << su.line[0] << " vertical " << vertical;
        }

    // A dark line itself stays dark: everything around it is far away in colour.
    const Setup& dark = setups[0];
    Image img = imageFrom(n, n, [&](int x, int, float* p) {
        for (int c = 0; c < 3; ++c) p[c] = x == mid ? dark.line[c] : (x < mid ? dark.a[c] : dark.b[c]);
        p[3] = 1;
    });
    EXPECT_LT(readPixels(Util::bilateralBlurOcclusionSeparable(img, 31, kSigma)).at(mid, 20, 0), dark.line[0] + 0.01f);
}

// Rows and tiles whose colour planes are equal take a grey shortcut: it must give the
// definition's values, beside colour pixels in the same picture too.
TEST(CommonBilateral, GreyPicturesMatchTheDefinition) {
    const int w = 300, h = 29;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    for (bool mixed : {false, true}) {
        Image img = imageFrom(w, h, [&](int x, int, float* p) {
            const float v = 0.3f + 0.3f * u(rng);
            p[0] = p[1] = p[2] = v;
            if (mixed && x > 200) p[1] = v * 0.8f;
            p[3] = 1;
        });
        Pixels src = readPixels(img);
        std::vector<double> in(src.data.begin(), src.data.end());
        auto ref = referencePass(referencePass(in, w, h, 4, 36, true, false), w, h, 4, 36, false, false);
        Pixels got = readPixels(Util::bilateralBlurTentSeparable(img, 9, kSigma, false));
        double err = 0;
        for (size_t i = 0; i < ref.size(); ++i) err = std::max(err, std::abs(ref[i] - got.data[i]));
        EXPECT_LT(err, 2e-5) << "mixed " << mixed;
        if (!mixed) {
            for (size_t i = 0; i < got.data.size(); i += 4) ASSERT_EQ(got.data[i], got.data[i + 2]);
        }
    }
}

TEST(CommonBilateral, OcclusionMatchesTheDefinition) {
    // Smooth shading with steps and grain, so that walks end at every distance; widths
    // that are not whole blocks of lanes, several tiles, colour and grey, translucent parts.
    const int w = 301, h = 150;
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    for (bool grey : {false, true}) {
        Image img = imageFrom(w, h, [&](int x, int y, float* p) {
            const float base = 0.2f + 0.5f * float(x) / w + (((x / 23) + (y / 17)) % 3 == 0 ? 0.25f : 0.0f);
            p[3] = x > 250 ? 0.5f : 1.0f;
            for (int c = 0; c < 3; ++c) p[c] = (base + 0.08f * (u(rng) - 0.5f) + (grey ? 0 : 0.1f * c)) * p[3];
            if (grey) p[1] = p[2] = p[0];
        });
        const Pixels src = readPixels(img);
        const std::vector<double> in(src.data.begin(), src.data.end());
        for (int size : {11, 31}) {
            const auto ref = referenceOcclusionPass(referenceOcclusionPass(in, w, h, size / 2, 36, true), w, h,
                                                    size / 2, 36, false);
            const Pixels got = readPixels(Util::bilateralBlurOcclusionSeparable(img, size, kSigma));
            double err = 0;
            for (size_t i = 0; i < ref.size(); ++i) err = std::max(err, std::abs(ref[i] - got.data[i]));
            EXPECT_LT(err, 2e-5) << "size " << size << (grey ? ", grey" : "");
        }
    }
}
