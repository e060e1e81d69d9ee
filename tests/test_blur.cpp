// "CIGaussianBlur": extents, constancy, and that small and large radii both blur with the
// asked-for standard deviation.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "test_support.h"
#include "vellari/platform/filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

Image blur(const Image& img, double radius) {
    return img.applyingFilter("CIGaussianBlur", {{"inputRadius", radius}});
}

}  // namespace

TEST(GaussianBlur, ExtentGrowsAndZeroRadiusIsIdentity) {
    Image img = solid(40, 30, 1, 0, 0, 1, {5, 5});
    Image b = blur(img, 2.0);
    ASSERT_FALSE(b.isNull());
    EXPECT_GT(b.extent().width, 40 + 2 * 5.9);
    EXPECT_LT(b.extent().width, 40 + 2 * 7.1);
    EXPECT_TRUE(blur(img, 0.0).sameAs(img));
    EXPECT_TRUE(blur(Image(), 3.0).isNull());
    // Default radius is 10.
    FilterPtr f = FilterRegistry::create("CIGaussianBlur");
    ASSERT_TRUE(f);
    EXPECT_DOUBLE_EQ(f->value("inputRadius").number(), 10.0);
    EXPECT_TRUE(f->outputImage().isNull());  // no input image
}

TEST(GaussianBlur, ConstantStaysConstantAfterClampAndCrop) {
    Image img = solid(300, 200, 0.3f, 0.6f, 0.9f, 1);
    for (double r : {1.25, 4.0, 12.0, 75.0, 150.0}) {
        Image b = blur(img.clampedToExtent(), r).cropped(img.extent());
        EXPECT_EQ(b.extent(), img.extent());
        Pixels p = readPixels(b);
        float worst = 0;
        for (size_t i = 0; i < p.data.size(); i += 4) {
            worst = std::max(worst, std::abs(p.data[i] - 0.3f));
            worst = std::max(worst, std::abs(p.data[i + 2] - 0.9f));
            worst = std::max(worst, std::abs(p.data[i + 3] - 1.0f));
        }
        EXPECT_LT(worst, 1e-4) << "radius " << r;
    }
}

TEST(GaussianBlur, ImpulseSpreadsWithTheRequestedSigma) {
    for (double sigma : {1.25, 3.0, 8.0, 20.0, 60.0}) {
        int half = int(sigma * 5) + 8;
        Image dot = solid(1, 1, 1, 1, 1, 1, {0, 0});
        Image b = blur(dot, sigma);
        Pixels p = readPixels(b, {-half, -half, 2 * half + 1, 2 * half + 1});
        double total = 0;
        for (size_t i = 0; i < p.data.size(); i += 4) total += p.data[i];
        EXPECT_NEAR(total, 1.0, 0.02) << sigma;
        // Sigma along x of the whole impulse response (summing rows).
        double s = 0, m = 0, v = 0;
        for (int x = p.rect.x; x < p.rect.right(); ++x) {
            double col = 0;
            for (int y = p.rect.y; y < p.rect.bottom(); ++y) col += p.at(x, y, 0);
            s += col;
            m += col * (x + 0.5);
        }
        m /= s;
        for (int x = p.rect.x; x < p.rect.right(); ++x) {
            double col = 0;
            for (int y = p.rect.y; y < p.rect.bottom(); ++y) col += p.at(x, y, 0);
            v += col * (x + 0.5 - m) * (x + 0.5 - m);
        }
        double measured = std::sqrt(v / s);
        EXPECT_NEAR(measured, sigma, sigma * 0.08 + 0.1) << "sigma " << sigma;
        EXPECT_NEAR(m, 0.5, 0.05 + sigma * 0.01) << "centred, sigma " << sigma;
    }
}

TEST(GaussianBlur, EdgeProfileIsSmoothAndMonotone) {
    // A vertical step edge: the blurred profile must rise monotonically, with no steps
    // from the pyramid levels of large radii.
    Image step = imageFrom(800, 8, [](int x, int, float* p) {
        float v = x < 400 ? 0.f : 1.f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    for (double sigma : {2.0, 40.0, 150.0}) {
        Image b = blur(step.clampedToExtent(), sigma).cropped(step.extent());
        Pixels p = readPixels(b);
        for (int x = 1; x < 800; ++x) EXPECT_GE(p.at(x, 4, 0) + 1e-4f, p.at(x - 1, 4, 0)) << sigma << " at " << x;
        EXPECT_NEAR(p.at(399, 4, 0) + p.at(400, 4, 0), 1.0f, 0.05f) << sigma;
        // Derivative of the profile is the Gaussian: measure its sigma.
        double s = 0, m = 0, v = 0;
        for (int x = 1; x < 800; ++x) {
            double d = p.at(x, 4, 0) - p.at(x - 1, 4, 0);
            s += d;
            m += d * x;
        }
        m /= s;
        for (int x = 1; x < 800; ++x) {
            double d = p.at(x, 4, 0) - p.at(x - 1, 4, 0);
            v += d * (x - m) * (x - m);
        }
        double measured = std::sqrt(v / s);
        if (sigma < 100) {
            EXPECT_NEAR(measured, sigma, sigma * 0.1) << sigma;
        }
    }
}

// A blur reads a clamped image's source directly, its edge pixels repeated: the same
// pixels as blurring the stored clamped copy, at the borders, beyond them and across tiles.
TEST(GaussianBlur, ClampedInputsReadInPlaceMatchTheStoredClamp) {
    Image photo = vellari::test::imageFrom(
        530, 300,
        [](int x, int y, float* p) {
            p[0] = float((x * 7 + y * 3) % 50) / 50.f;
            p[1] = float(y % 17) / 17.f;
            p[2] = float(x % 23) / 23.f;
            p[3] = 0.5f + 0.5f * float((x + y) % 2);
        },
        {-9, 4});
    for (double sigma : {0.8, 2.5, 5.0}) {
        const Image fused = photo.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", sigma}});
        const Image stored =
            photo.clampedToExtent().insertingIntermediate().applyingFilter("CIGaussianBlur", {{"inputRadius", sigma}});
        EXPECT_TRUE(fused.extent().isInfinite());
        const IRect r{-40, -20, 620, 360};  // past every edge
        const auto a = vellari::test::readPixels(fused, r), b = vellari::test::readPixels(stored, r);
        float worst = 0;
        for (size_t i = 0; i < a.data.size(); ++i) worst = std::max(worst, std::abs(a.data[i] - b.data[i]));
        EXPECT_LT(worst, 1e-6f) << "sigma " << sigma;
    }
}

TEST(GaussianBlur, GreyPicturesBlurAsTheirRedChannelDoesInColour) {
    // Grey tiles are blurred as one plane, alpha as a second only where it is not 1. The
    // same values in the red, green and alpha channels of a colour picture (blue differs,
    // so every tile takes the colour path) must come out the same, over several tiles, at
    // the borders, clamped or not, opaque or translucent from part of the way down a tile.
    auto value = [](int x, int y) { return float((x * 7 + y * 13) % 61) / 61.f; };
    for (bool translucent : {false, true}) {
        auto alpha = [&](int x, int y) { return translucent && y > 150 ? 0.4f + 0.6f * float((x + y) % 3) / 2 : 1.0f; };
        const Image grey = imageFrom(600, 300, [&](int x, int y, float* p) {
            p[3] = alpha(x, y);
            p[0] = p[1] = p[2] = value(x, y) * p[3];
        }, {-5, 3});
        const Image colour = imageFrom(600, 300, [&](int x, int y, float* p) {
            p[3] = alpha(x, y);
            p[0] = p[1] = value(x, y) * p[3];
            p[2] = 0.25f * p[3];
        }, {-5, 3});
        const IRect r{-30, -20, 660, 350};
        for (double sigma : {0.8, 3.0, 5.0})
            for (bool clamp : {false, true}) {
                auto blurred = [&](const Image& img) {
                    return readPixels(blur(clamp ? img.clampedToExtent() : img, sigma), r);
                };
                const Pixels g = blurred(grey), c = blurred(colour);
                float worst = 0;
                for (int y = r.y; y < r.bottom(); ++y)
                    for (int x = r.x; x < r.right(); ++x)
                        for (int ch : {0, 1, 3}) worst = std::max(worst, std::abs(g.at(x, y, ch) - c.at(x, y, ch)));
                EXPECT_LT(worst, 1e-6f) << "sigma " << sigma << (clamp ? " clamped" : "")
                                        << (translucent ? " translucent" : "");
                EXPECT_EQ(g.at(100, 100, 0), g.at(100, 100, 2));
                EXPECT_NEAR(g.at(100, 100, 3), 1.0f, 1e-6f);
            }
    }
}

TEST(GaussianBlur, SmallRadiiAreTheSampledGaussianOverThreeSigma) {
    // Up to the pyramid's threshold the blur is a direct separable convolution with the
    // Gaussian sampled at whole pixels out to ceil(3σ) and normalised, transparent beyond
    // the input: checked against a double-precision sum for colour and grey pictures wide
    // enough for several tiles and every block width of the row loops.
    const int w = 301, h = 70;
    const Point origin{-9, 4};
    for (bool grey : {false, true}) {
        auto value = [&](int x, int y, int c) {
            const float a = 0.5f + 0.5f * float((x * 5 + y * 3) % 7) / 6;
            if (c == 3) return grey ? 1.0f : a;
            const float v = float((x * 7 + y * 13 + (grey ? 0 : c * 11)) % 61) / 61.f;
            return grey ? v : v * a;
        };
        const Image img = imageFrom(w, h, [&](int x, int y, float* p) {
            for (int c = 0; c < 4; ++c) p[c] = value(x, y, c);
        }, origin);
        for (double sigma : {1.25, 4.0}) {
            const int R = int(std::ceil(3 * sigma));
            std::vector<double> k(size_t(R) + 1);
            double sum = 0;
            for (int i = 0; i <= R; ++i) {
                k[size_t(i)] = std::exp(-0.5 * i * i / (sigma * sigma));
                sum += i ? 2 * k[size_t(i)] : k[size_t(i)];
            }
            for (double& v : k) v /= sum;
            const IRect r{int(origin.x) - R, int(origin.y) - R, w + 2 * R, h + 2 * R};
            const Pixels got = readPixels(blur(img, sigma), r);
            double worst = 0;
            std::vector<double> rows(size_t(w + 2 * R) * h * 4);  // blurred along x
            for (int y = 0; y < h; ++y)
                for (int x = -R; x < w + R; ++x)
                    for (int c = 0; c < 4; ++c) {
                        double acc = 0;
                        for (int m = -R; m <= R; ++m)
                            if (x + m >= 0 && x + m < w) acc += k[size_t(std::abs(m))] * value(x + m, y, c);
                        rows[(size_t(y) * (w + 2 * R) + size_t(x + R)) * 4 + size_t(c)] = acc;
                    }
            for (int y = -R; y < h + R; ++y)
                for (int x = -R; x < w + R; ++x)
                    for (int c = 0; c < 4; ++c) {
                        double want = 0;
                        for (int m = -R; m <= R; ++m)
                            if (y + m >= 0 && y + m < h)
                                want += k[size_t(std::abs(m))] * rows[(size_t(y + m) * (w + 2 * R) + size_t(x + R)) * 4 + size_t(c)];
                        const float have = got.at(x + int(origin.x), y + int(origin.y), c);
                        worst = std::max(worst, std::abs(double(have) - want));
                    }
            EXPECT_LT(worst, 2e-6) << "sigma " << sigma << (grey ? " grey" : " colour");
        }
    }
}

TEST(GaussianBlur, ClampedGreyTilesReadOnlyTheColumnsTheyCover) {
    // The blur of a clamped picture reads its input's edge columns only where a tile's
    // padded rows reach past them. A stored input is held over the region of interest
    // alone, so a region away from the picture's sides has neither edge column in its
    // buffer: the region must come out as it does from a read of the whole picture, and
    // nothing outside the buffer may be touched (the first row's left edge column would lie
    // just before it, the last row's right one just past its end). Odd widths leave tails
    // after the whole vectors; grey pictures take the one-plane path, opaque or not.
    const int w = 301, h = 45;
    for (bool translucent : {false, true}) {
        const Image grey = imageFrom(w, h, [&](int x, int y, float* p) {
            p[3] = translucent ? 0.5f + 0.5f * float((x * 3 + y) % 5) / 4 : 1.0f;
            p[0] = p[1] = p[2] = float((x * 7 + y * 13) % 61) / 61.f * p[3];
        }, {-7, 2});
        // A colour stage in front (grey stays grey) makes the input one that is computed
        // and stored, not read in place from the source's own pixels.
        const Image stored = grey.applyingFilter("CIColorControls", {{"inputBrightness", 0.05}}).clampedToExtent();
        for (double sigma : {2.0, 4.5}) {
            const Image b = blur(stored, sigma);
            // The parts first, so that their buffers are fresh ones of their own size.
            std::vector<Pixels> parts;
            for (const IRect r : {IRect{13, 2, 151, h}, IRect{-7, 2, 97, h}, IRect{41, 9, w - 48, h - 7},
                                  IRect{-7, 5, w, 33}})
                parts.push_back(readPixels(b, r));
            const Pixels whole = readPixels(b, IRect{-7, 2, w, h});
            for (const Pixels& part : parts) {
                const IRect r = part.rect;
                float worst = 0;
                for (int y = r.y; y < r.bottom(); ++y)
                    for (int x = r.x; x < r.right(); ++x)
                        for (int c = 0; c < 4; ++c) worst = std::max(worst, std::abs(part.at(x, y, c) - whole.at(x, y, c)));
                EXPECT_LT(worst, 1e-6f) << "sigma " << sigma << " at " << r.x << "," << r.y << " " << r.w << "x" << r.h
                                        << (translucent ? " translucent" : "");
                EXPECT_EQ(part.at(r.x + 1, r.y, 0), part.at(r.x + 1, r.y, 2));
            }
        }
    }
}
