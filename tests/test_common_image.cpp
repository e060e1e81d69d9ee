// The companion image utilities: prescaled blurs, tiling, overlays, picture resources.

#include <gtest/gtest.h>

#include <filesystem>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"

using namespace vellari;
using namespace vellari::test;
using C = QXCoreImageUtilities;

TEST(CommonImage, PrescaledBlurKeepsExtentAndApproximatesTheFullBlur) {
    Image img = imageFrom(200, 120, [](int x, int y, float* p) {
        float v = (x / 25 + y / 30) % 2 ? 0.9f : 0.1f;
        p[0] = v;
        p[1] = 1 - v;
        p[2] = 0.5f;
        p[3] = 1;
    }, {7, -3});
    Image pre = C::blurImage(img, 12.0, 0.5);
    EXPECT_EQ(pre.extent(), img.extent());
    Pixels a = readPixels(pre), b = readPixels(C::blurImage(img, 12.0));
    double err = 0;
    for (size_t i = 0; i < a.data.size(); ++i) err = std::max(err, double(std::abs(a.data[i] - b.data[i])));
    EXPECT_LT(err, 0.05);
    // No dark fringe at the borders: alpha stays 1.
    for (int x = 7; x < 207; ++x) ASSERT_NEAR(a.at(x, -3, 3), 1.0f, 1e-4f);
    for (int y = -3; y < 117; ++y) ASSERT_NEAR(a.at(206, y, 3), 1.0f, 1e-4f);
    // A constant stays constant.
    Pixels c = readPixels(C::blurImage(solid(90, 50, 0.4f, 0.4f, 0.4f, 1), 150.0, 0.5));
    for (size_t i = 0; i < c.data.size(); i += 4) ASSERT_NEAR(c.data[i], 0.4f, 1e-4f);
}

TEST(CommonImage, TilesRepeatExactlyUnderTheTransform) {
    Image tile = imageFrom(8, 6, [](int x, int y, float* p) {
        p[0] = float(x);
        p[1] = float(y);
        p[2] = 0;
        p[3] = 1;
    }, {3, 4});
    Image t = C::makeTileNoPadding(tile.samplingNearest(), {0, 0, 50, 40}, AffineTransform::identity(), false);
    EXPECT_EQ(t.extent(), (Rect{0, 0, 50, 40}));
    Pixels p = readPixels(t);
    for (int y = 0; y < 40; ++y)
        for (int x = 0; x < 50; ++x) {
            ASSERT_EQ(p.at(x, y, 0), float(((x - 3) % 8 + 8) % 8)) << x << "," << y;
            ASSERT_EQ(p.at(x, y, 1), float(((y - 4) % 6 + 6) % 6)) << x << "," << y;
        }
    // Scaled by 2: each texel covers 2 x 2 output pixels, period 16 x 12.
    Image s = C::makeTileNoPadding(tile.samplingNearest(), {0, 0, 64, 48}, AffineTransform::scale(2, 2), false);
    Pixels q = readPixels(s);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            ASSERT_EQ(q.at(x, y, 0), q.at((x + 16) % 64, y, 0));
            ASSERT_EQ(q.at(x, y, 1), q.at(x, (y + 12) % 48, 1));
        }
    // Linear sampling joins across the seam without a transparent gap.
    Pixels lin = readPixels(C::makeTileNoPadding(solid(5, 5, 0.3f, 0.3f, 0.3f, 1), {0, 0, 30, 30},
                                                AffineTransform::rotation(0.3), false));
    for (size_t i = 3; i < lin.data.size(); i += 4) ASSERT_NEAR(lin.data[i], 1.0f, 1e-5f);
    // Jitter moves repetitions but keeps every pixel a tile pixel.
    Pixels j = readPixels(C::makeTileNoPadding(tile.samplingNearest(), {0, 0, 50, 40}, {}, true));
    bool differs = false;
    for (size_t i = 0; i < j.data.size(); ++i) differs |= j.data[i] != p.data[i];
    EXPECT_TRUE(differs);
    EXPECT_TRUE(C::makeTileNoPadding(Image(), {0, 0, 5, 5}, {}, false).isNull());
}

TEST(CommonImage, OverlayAndPictureResources) {
    Image top = solid(4, 4, 1, 0, 0, 1);
    Image bottom = solid(4, 4, 0, 0, 1, 1);
    Pixels o = readPixels(C::overlayImage(top, 0.25, bottom));
    EXPECT_NEAR(o.at(1, 1, 0), 0.25f, 1e-6f);
    EXPECT_NEAR(o.at(1, 1, 2), 0.75f, 1e-6f);
    EXPECT_NEAR(o.at(1, 1, 3), 1.0f, 1e-6f);

    std::string dir = tempDir();
    Picture pic(3, 2);
    for (auto& b : pic.rgba()) b = 200;
    ASSERT_EQ(writePicture(pic, dir + "/Halftone ^Test 3px.png", PictureFormat::PNG), "");
    Bundle bundle(dir);
    Picture first = C::imageNamed("Halftone ^Test 3px", bundle, true);
    ASSERT_FALSE(first.isNull());
    EXPECT_EQ(first.width(), 3);
    EXPECT_EQ(C::imageNamed("Halftone ^Test 3px.png", bundle, false).height(), 2);
    // Cached by name: still there after the file is gone; uncached reads fail.
    std::filesystem::remove(dir + "/Halftone ^Test 3px.png");
    EXPECT_FALSE(C::imageNamed("Halftone ^Test 3px", bundle, true).isNull());
    EXPECT_TRUE(C::imageNamed("Halftone ^Test 3px", bundle, false).isNull());
    EXPECT_TRUE(C::imageNamed("no such picture", bundle, true).isNull());
}

TEST(CommonImage, ResizingKeepsTheBorderPixels) {
    // makeImage resizes with the image's sampling; the edge pixels must keep their colour
    // and stay opaque instead of blending with the transparency outside.
    const Image src = solid(81, 54, 0.2f, 0.5f, 0.7f, 1.0f, {0, 0});
    for (const Size size : {Size{162, 108}, Size{30, 20}, Size{405, 270}}) {
        const Image out = C::makeImage(src, size);
        ASSERT_EQ(out.extent(), (Rect{0, 0, size.width, size.height}));
        const Pixels p = readPixels(out);
        for (int y : {0, p.rect.h - 1})
            for (int x : {0, p.rect.w / 3, p.rect.w - 1}) {
                EXPECT_NEAR(p.at(x, y, 3), 1.0f, 1e-5) << size.width << " " << x << "," << y;
                EXPECT_NEAR(p.at(x, y, 2), 0.7f, 1e-5) << size.width << " " << x << "," << y;
            }
    }
}
