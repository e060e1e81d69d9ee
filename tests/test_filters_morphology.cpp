// "CIMorphologyRectangleMinimum": colour minimum and alpha maximum over the window,
// compared with a direct per-pixel minimum filter.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "test_support.h"
#include "vellari/platform/filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

Image minimum(const Image& img, double w, double h) {
    return img.applyingFilter("CIMorphologyRectangleMinimum", {{"inputWidth", w}, {"inputHeight", h}});
}

// The direct filter: window kw × kh (odd) clipped to the picture.
Pixels reference(const Pixels& in, int kw, int kh) {
    Pixels out = in;
    const IRect r = in.rect;
    for (int y = r.y; y < r.bottom(); ++y)
        for (int x = r.x; x < r.right(); ++x) {
            float m[4] = {1e30f, 1e30f, 1e30f, -1e30f};
            for (int yy = std::max(r.y, y - kh / 2); yy <= std::min(r.bottom() - 1, y + kh / 2); ++yy)
                for (int xx = std::max(r.x, x - kw / 2); xx <= std::min(r.right() - 1, x + kw / 2); ++xx) {
                    for (int c = 0; c < 3; ++c) m[c] = std::min(m[c], in.at(xx, yy, c));
                    m[3] = std::max(m[3], in.at(xx, yy, 3));
                }
            float* o = const_cast<float*>(out.at(x, y));
            for (int c = 0; c < 4; ++c) o[c] = m[c];
        }
    return out;
}

Image noise(int w, int h, unsigned seed, bool opaque, Point origin = {0, 0}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(
        w, h,
        [&](int, int, float* p) {
            float a = opaque ? 1.f : u(rng);
            for (int c = 0; c < 3; ++c) p[c] = u(rng) * a;
            p[3] = a;
        },
        origin);
}

float maxDiff(const Pixels& a, const Pixels& b) {
    float m = 0;
    for (size_t i = 0; i < a.data.size(); ++i) m = std::max(m, std::abs(a.data[i] - b.data[i]));
    return m;
}

// Width of the opaque run through row `y` of the result of growing a single dot.
int grownWidth(double w) {
    Image dot = imageFrom(41, 3, [](int x, int, float* p) {
        p[0] = p[1] = p[2] = 0;
        p[3] = x == 20 ? 1.f : 0.f;
    });
    Pixels p = readPixels(minimum(dot, w, 1));
    int n = 0;
    for (int x = 0; x < 41; ++x) n += p.at(x, 1, 3) > 0.5f;
    return n;
}

}  // namespace

TEST(MorphologyMinimum, EqualsTheOrdinaryMinimumFilterOnOpaquePictures) {
    Image img = noise(37, 29, 3, true, {-5, 8});
    Pixels in = readPixels(img);
    for (auto [w, h] : {std::pair{5, 5}, {3, 7}, {7, 1}, {11, 11}, {15, 3}, {1, 1}}) {
        Image out = minimum(img, w, h);
        ASSERT_FALSE(out.isNull());
        EXPECT_EQ(out.extent(), img.extent());
        Pixels got = readPixels(out);
        EXPECT_EQ(maxDiff(got, reference(in, w, h)), 0.f) << w << "x" << h;
    }
    // Defaults are 5 × 5; the picture's edges are not darkened by the outside.
    Pixels def = readPixels(img.applyingFilter("CIMorphologyRectangleMinimum"));
    EXPECT_EQ(maxDiff(def, reference(in, 5, 5)), 0.f);
    EXPECT_TRUE(FilterRegistry::create("CIMorphologyRectangleMinimum")->outputImage().isNull());
}

TEST(MorphologyMinimum, LargePicturesAcrossTilesAndTranslucentValues) {
    // Large enough to be rendered in several tiles; translucent so that colour minimum and
    // alpha maximum come from different pixels.
    Image img = noise(530, 300, 11, false);
    Pixels in = readPixels(img);
    for (auto [w, h] : {std::pair{9, 5}, {21, 13}}) {
        Pixels got = readPixels(minimum(img, w, h));
        EXPECT_EQ(maxDiff(got, reference(in, w, h)), 0.f) << w << "x" << h;
    }
}

TEST(MorphologyMinimum, DarkShapeOnTransparencyGrows) {
    Image shape = imageFrom(20, 20, [](int x, int y, float* p) {
        bool in = x >= 9 && x <= 10 && y >= 9 && y <= 10;
        p[0] = p[1] = p[2] = 0;
        p[3] = in ? 1.f : 0.f;
    });
    Pixels p = readPixels(minimum(shape, 5, 5));
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 20; ++x) {
            bool grown = x >= 7 && x <= 12 && y >= 7 && y <= 12;
            EXPECT_FLOAT_EQ(p.at(x, y, 3), grown ? 1.f : 0.f) << x << "," << y;
            EXPECT_FLOAT_EQ(p.at(x, y, 0), 0.f);
        }
    // A light shape on transparency does not grow in colour: its colour meets the
    // transparent pixels' zero, while alpha spreads.
    Image light = solid(1, 1, 0.9f, 0.9f, 0.9f, 1, {5, 5}).compositedOver(Image::constantColor(Color::clear()).cropped({0, 0, 11, 11}));
    Pixels l = readPixels(minimum(light, 3, 3));
    EXPECT_FLOAT_EQ(l.at(5, 5, 0), 0.f);
    EXPECT_FLOAT_EQ(l.at(5, 5, 3), 1.f);
    EXPECT_FLOAT_EQ(l.at(4, 6, 3), 1.f);
}

TEST(MorphologyMinimum, WindowSizesRoundToTheNearestOdd) {
    // Even sizes are ties and round up.
    EXPECT_EQ(grownWidth(5), 5);
    EXPECT_EQ(grownWidth(4), 5);
    EXPECT_EQ(grownWidth(4.9), 5);
    EXPECT_EQ(grownWidth(5.9), 5);
    EXPECT_EQ(grownWidth(6), 7);
    EXPECT_EQ(grownWidth(10), 11);
    EXPECT_EQ(grownWidth(2), 3);
    EXPECT_EQ(grownWidth(1), 1);
    EXPECT_EQ(grownWidth(0.4), 1);
    EXPECT_EQ(grownWidth(-3), 1);
}
