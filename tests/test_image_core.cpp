// Extents, coordinates, sampling, transforms, kernels, intermediates, rendering formats
// and accumulators of the lazy image layer.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>

#include "test_support.h"
#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"
#include "vellari/platform/kernel.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/simd.h"

using namespace vellari;
using namespace vellari::test;

namespace {

// Pixel (x, y) gets red x, green y (premultiplied, opaque), for tracking where pixels go.
Image coordinateImage(int w, int h, Point origin = {0, 0}) {
    return imageFrom(w, h, [](int x, int y, float* p) { p[0] = float(x); p[1] = float(y); p[2] = 0; p[3] = 1; }, origin);
}

void addOneKernel(const ColorSpan& s) {
    for (int i = 0; i < s.n * 4; ++i) s.dst[i] = s.src[0][i] + s.val[0][0];
}

void positionKernel(const ColorSpan& s) {
    for (int i = 0; i < s.n; ++i) {
        s.dst[i * 4 + 0] = float(s.x + i) + 0.5f;
        s.dst[i * 4 + 1] = float(s.y) + 0.5f;
        s.dst[i * 4 + 2] = s.val[0][2];  // blue of the colour argument
        s.dst[i * 4 + 3] = s.val[0][3];
    }
}

// Output pixel = input pixel one to the left.
void shiftRightKernel(const GeneralTile& t) {
    for (int y = t.rect.y; y < t.rect.bottom(); ++y)
        for (int x = t.rect.x; x < t.rect.right(); ++x) t.src[0].pixel(x - 1, y, t.row(y) + (x - t.rect.x) * 4);
}

// Mean of the 3 × 3 pixels round each pixel, the missing ones transparent.
void boxKernel(const GeneralTile& t) {
    for (int y = t.rect.y; y < t.rect.bottom(); ++y)
        for (int x = t.rect.x; x < t.rect.right(); ++x) {
            float* o = t.row(y) + (x - t.rect.x) * 4;
            for (int c = 0; c < 4; ++c) o[c] = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    float p[4];
                    t.src[0].pixel(x + dx, y + dy, p);
                    for (int c = 0; c < 4; ++c) o[c] += p[c] / 9;
                }
        }
}

std::atomic<long> gCounted{0};
void countingKernel(const ColorSpan& s) {
    gCounted += s.n;
    for (int i = 0; i < s.n * 4; ++i) s.dst[i] = s.src[0][i];
}

}  // namespace

TEST(ImageExtents, SourcesCropsAndOutsideAreTransparent) {
    Image img = coordinateImage(8, 6, {3, -2});
    EXPECT_EQ(img.extent(), (Rect{3, -2, 8, 6}));
    Pixels p = readPixels(img, {0, -4, 14, 10});
    EXPECT_FLOAT_EQ(p.at(3, -2, 0), 0);
    EXPECT_FLOAT_EQ(p.at(10, 3, 0), 7);
    EXPECT_FLOAT_EQ(p.at(10, 3, 1), 5);
    EXPECT_FLOAT_EQ(p.at(2, 0, 3), 0);   // left of the extent
    EXPECT_FLOAT_EQ(p.at(11, 0, 3), 0);  // right of it
    EXPECT_FLOAT_EQ(p.at(5, -3, 3), 0);  // above

    Image c = img.cropped({5, 0, 2, 100});
    EXPECT_EQ(c.extent(), (Rect{5, 0, 2, 4}));
    Pixels q = readPixels(c, {4, 0, 4, 1});
    EXPECT_FLOAT_EQ(q.at(4, 0, 3), 0);
    EXPECT_FLOAT_EQ(q.at(5, 0, 0), 2);
    EXPECT_FLOAT_EQ(q.at(7, 0, 3), 0);

    Image k = Image::constantColor({1, 0.5, 0, 0.5});
    EXPECT_TRUE(k.extent().isInfinite());
    Pixels kp = readPixels(k, {-1000, 5000, 2, 2});
    EXPECT_FLOAT_EQ(kp.at(-1000, 5000, 0), 0.5f);  // premultiplied
    EXPECT_FLOAT_EQ(kp.at(-999, 5001, 1), 0.25f);
    EXPECT_FLOAT_EQ(kp.at(-999, 5001, 3), 0.5f);

    EXPECT_TRUE(Image::empty().extent().isEmpty());
    EXPECT_TRUE(Image().cropped({0, 0, 1, 1}).isNull());
    EXPECT_TRUE(Image().clampedToExtent().isNull());
}

TEST(ImageExtents, ClampRepeatsEdgePixels) {
    Image img = coordinateImage(4, 3, {10, 10});
    Image cl = img.clampedToExtent();
    EXPECT_TRUE(cl.extent().isInfinite());
    Pixels p = readPixels(cl, {0, 0, 20, 20});
    EXPECT_FLOAT_EQ(p.at(0, 0, 0), 0);
    EXPECT_FLOAT_EQ(p.at(0, 0, 1), 0);
    EXPECT_FLOAT_EQ(p.at(19, 19, 0), 3);
    EXPECT_FLOAT_EQ(p.at(19, 19, 1), 2);
    EXPECT_FLOAT_EQ(p.at(12, 0, 0), 2);
    EXPECT_FLOAT_EQ(p.at(12, 11, 1), 1);
    EXPECT_FLOAT_EQ(p.at(5, 11, 0), 0);
    // Clamp then crop gives back the original.
    Pixels back = readPixels(cl.cropped(img.extent()));
    Pixels orig = readPixels(img);
    EXPECT_EQ(back.data, orig.data);
}

TEST(ImageTransforms, IntegerTranslationAndExtentRounding) {
    Image img = coordinateImage(5, 4);
    Image t = img.translated(7, -3);
    EXPECT_EQ(t.extent(), (Rect{7, -3, 5, 4}));
    Pixels p = readPixels(t);
    EXPECT_FLOAT_EQ(p.at(7, -3, 0), 0);
    EXPECT_FLOAT_EQ(p.at(11, 0, 0), 4);
    EXPECT_FLOAT_EQ(p.at(11, 0, 1), 3);

    // Extent of a fractional scale is the bounding box rounded out.
    Image s = Image::constantColor({1, 1, 1, 1}).cropped({0, 0, 101, 50}).scaled(0.5, 0.5);
    EXPECT_EQ(s.extent(), (Rect{0, 0, 51, 25}));
    Image r = coordinateImage(10, 10).transformed(AffineTransform::rotation(0.3));
    Rect e = r.extent();
    EXPECT_EQ(e.x, std::floor(e.x));
    EXPECT_EQ(e.width, std::floor(e.width));
}

TEST(ImageTransforms, NearestVersusLinearSampling) {
    // Two columns, 0 and 1; half-pixel translation.
    Image img = imageFrom(2, 1, [](int x, int, float* p) { p[0] = p[1] = p[2] = float(x); p[3] = 1; });
    Pixels lin = readPixels(img.translated(0.5, 0), {0, 0, 3, 1});
    EXPECT_NEAR(lin.at(1, 0, 0), 0.5f, 1e-6);  // between the two
    EXPECT_NEAR(lin.at(0, 0, 3), 0.5f, 1e-6);  // half covered at the left border
    Pixels near = readPixels(img.samplingNearest().translated(0.5, 0), {0, 0, 3, 1});
    float v = near.at(1, 0, 0);
    EXPECT_TRUE(v == 0.0f || v == 1.0f) << v;
    EXPECT_FLOAT_EQ(near.at(0, 0, 3), 1.0f);
    // samplingLinear undoes samplingNearest.
    Pixels back = readPixels(img.samplingNearest().samplingLinear().translated(0.5, 0), {0, 0, 3, 1});
    EXPECT_NEAR(back.at(1, 0, 0), 0.5f, 1e-6);

    // Upscaling by 2 with nearest repeats each pixel twice.
    Pixels up = readPixels(coordinateImage(3, 1).samplingNearest().scaled(2, 2), {0, 0, 6, 2});
    for (int x = 0; x < 6; ++x) EXPECT_FLOAT_EQ(up.at(x, 1, 0), float(x / 2));
}

TEST(ImageTransforms, HighQualityDownsampleKeepsMeanOfFineCheckerboard) {
    Image board = imageFrom(64, 64, [](int x, int y, float* p) {
        float v = float((x + y) & 1);
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    for (double s : {0.5, 0.25, 0.3, 1.0 / 3.0}) {
        Pixels hq = readPixels(board.scaled(s, s, true), {2, 2, 8, 8});
        for (int y = 2; y < 10; ++y)
            for (int x = 2; x < 10; ++x) EXPECT_NEAR(hq.at(x, y, 0), 0.5f, 0.06f) << "scale " << s;
    }
    // Without it, nearest sampling at half size keeps only one phase.
    Pixels nn = readPixels(board.samplingNearest().scaled(0.5, 0.5), {0, 0, 8, 8});
    EXPECT_TRUE(nn.at(3, 3, 0) == 0.0f || nn.at(3, 3, 0) == 1.0f);
    EXPECT_FLOAT_EQ(nn.at(3, 3, 0), nn.at(4, 4, 0));
}

TEST(ImageTransforms, ExifOrientationsMoveCornersExactly) {
    const int w = 4, h = 3;
    Image img = coordinateImage(w, h);
    struct Case {
        int o;
        int outW, outH;
        int srcX, srcY;  // source pixel that lands at the output's top-left
    } cases[] = {{1, 4, 3, 0, 0}, {2, 4, 3, 3, 0}, {3, 4, 3, 3, 2}, {4, 4, 3, 0, 2},
                 {5, 3, 4, 0, 0}, {6, 3, 4, 0, 2}, {7, 3, 4, 3, 2}, {8, 3, 4, 3, 0}};
    for (const auto& c : cases) {
        Image o = img.oriented(c.o);
        EXPECT_EQ(o.extent(), (Rect{0, 0, double(c.outW), double(c.outH)})) << c.o;
        Pixels p = readPixels(o);
        EXPECT_FLOAT_EQ(p.at(0, 0, 0), float(c.srcX)) << "orientation " << c.o;
        EXPECT_FLOAT_EQ(p.at(0, 0, 1), float(c.srcY)) << "orientation " << c.o;
        // Exact copies: every value is a whole coordinate.
        for (float v : p.data) EXPECT_EQ(v, std::floor(v));
    }
    // Orientation 6 (stored turned left): the source's left column becomes the top row.
    Pixels six = readPixels(img.oriented(6));
    for (int x = 0; x < h; ++x) {
        EXPECT_FLOAT_EQ(six.at(x, 0, 0), 0);
        EXPECT_FLOAT_EQ(six.at(x, 0, 1), float(h - 1 - x));
    }
    // Off-origin images keep their origin.
    EXPECT_EQ(coordinateImage(4, 3, {5, 7}).oriented(8).extent(), (Rect{5, 7, 3, 4}));
}

TEST(ImageKernels, ColourAndGeneralKernelsWithArguments) {
    KernelPtr add = Kernel::makeColor("test.addOne", addOneKernel);
    Image img = solid(4, 4, 0.25f, 0.25f, 0.25f, 1);
    Image out = applyKernel(add, img.extent(), {img, 0.5});
    Pixels p = readPixels(out);
    EXPECT_FLOAT_EQ(p.at(1, 1, 0), 0.75f);
    EXPECT_FLOAT_EQ(p.at(1, 1, 3), 1.5f);  // values flow raw, unclamped

    // Kernels see image coordinates and colour arguments exactly as given.
    KernelPtr pos = Kernel::makeColor("test.position", positionKernel);
    Pixels q = readPixels(applyKernel(pos, {10, 20, 3, 2}, {Color{0.1, 0.2, 0.5, 0.65}}));
    EXPECT_FLOAT_EQ(q.at(12, 21, 0), 12.5f);
    EXPECT_FLOAT_EQ(q.at(12, 21, 1), 21.5f);
    EXPECT_FLOAT_EQ(q.at(12, 21, 2), 0.5f);
    EXPECT_NEAR(q.at(12, 21, 3), 0.65f, 1e-7);

    // A general kernel with a region of interest reaching one pixel left.
    KernelPtr shift = Kernel::makeGeneral("test.shift", shiftRightKernel);
    Image src = coordinateImage(6, 2);
    Image shifted = applyKernel(shift, {0, 0, 7, 2}, {src},
                                [](int, const Rect& d) { return Rect{d.x - 1, d.y, d.width + 1, d.height}; });
    Pixels s = readPixels(shifted);
    EXPECT_FLOAT_EQ(s.at(0, 0, 3), 0);
    EXPECT_FLOAT_EQ(s.at(1, 1, 0), 0);
    EXPECT_FLOAT_EQ(s.at(6, 1, 0), 5);

    // Absence propagates.
    EXPECT_TRUE(applyKernel(nullptr, img.extent(), {img}).isNull());
    EXPECT_TRUE(applyKernel(add, img.extent(), {Image(), 1.0}).isNull());
    EXPECT_EQ(KernelRegistry::find("no such kernel"), nullptr);
    EXPECT_TRUE(applyKernel(KernelRegistry::find("no such kernel"), img.extent(), {img}).isNull());
    KernelRegistry::add(add);
    EXPECT_EQ(KernelRegistry::find("test.addOne"), add);
}

TEST(ImageKernels, LongChainsAndSharedNodesEvaluateCorrectly) {
    KernelPtr add = Kernel::makeColor("test.addOne", addOneKernel);
    Image img = solid(700, 300, 0, 0, 0, 0);
    Image chain = img;
    for (int i = 0; i < 10; ++i) chain = applyKernel(add, img.extent(), {chain, 0.1});
    Pixels p = readPixels(chain);
    for (size_t i = 0; i < p.data.size(); i += 997) EXPECT_NEAR(p.data[i], 1.0f, 1e-5);

    // A diamond: one node read by two consumers, with and without an intermediate.
    for (bool inter : {false, true}) {
        Image base = applyKernel(add, img.extent(), {img, 0.25});
        if (inter) base = base.insertingIntermediate();
        Image left = applyKernel(add, img.extent(), {base, 0.25});
        Image right = base.translated(3, 0).cropped(img.extent());
        Image both = right.compositedOver(left);  // needs the built-in over operator
        ASSERT_FALSE(both.isNull());
        Pixels d = readPixels(both, {0, 0, 700, 300});
        EXPECT_NEAR(d.at(1, 1, 0), 0.5f, 1e-6);      // only `left` there
        EXPECT_NEAR(d.at(100, 1, 3), 0.625f, 1e-6);  // 0.25 over 0.5: 0.25 + 0.5 · 0.75
    }
}

TEST(ImageRendering, EvaluatesOnlyTheRegionsOfInterest) {
    KernelPtr count = Kernel::makeColor("test.count", countingKernel);
    Image big = Image::constantColor({0.5, 0.5, 0.5, 1}).cropped({0, 0, 4000, 4000});
    Image counted = applyKernel(count, big.extent(), {big});
    // Through a blur (which reads a margin) and a translation.
    Image recipe = counted.applyingFilter("CIGaussianBlur", {{"inputRadius", 2.0}}).translated(-100, -50);
    gCounted = 0;
    Pixels p = readPixels(recipe, {0, 0, 10, 10});
    EXPECT_NEAR(p.at(5, 5, 0), 0.5f, 1e-5);
    // 10 x 10 plus the blur's margin of 6 on each side: a few hundred pixels, not 16 million.
    EXPECT_GE(gCounted.load(), 100);
    EXPECT_LE(gCounted.load(), 22 * 22);
}

TEST(ImageRendering, AReducedPictureTwoStoredStagesReadIsComputedOnce) {
    // A picture reduced to half size and read by two stored stages (as a camera frame is by
    // the shading and the lines) is resampled, and what comes before it computed, once per
    // render, not once for each stage.
    KernelPtr count = Kernel::makeColor("test.count", countingKernel);
    const Image photo = imageFrom(600, 400, [](int x, int y, float* p) {
        p[0] = float(x % 7) / 7.f;
        p[1] = float(y % 5) / 5.f;
        p[2] = 0.5f;
        p[3] = 1;
    });
    const Image half = applyKernel(count, photo.extent(), {photo}).scaled(0.5, 0.5).cropped({0, 0, 300, 200});
    // One stage reduces it again (reading it tile by tile), the other grades it.
    const Image a = half.cropped(half.extent()).scaled(0.5, 0.5).insertingIntermediate();
    const Image b = half.applyingFilter("CIColorMatrix", {{"inputRVector", Vector{0, 1, 0, 0}}}).insertingIntermediate();
    const Image both = a.compositedOver(b);
    gCounted = 0;
    const Pixels got = readPixels(both, IRect{0, 0, 300, 200});
    // The resampling reads a margin past the photo's 240000 pixels at most.
    EXPECT_GE(gCounted.load(), 600 * 400);
    EXPECT_LT(gCounted.load(), 610 * 410);
    // The same pixels as each stage alone.
    const Pixels wantA = readPixels(a, IRect{0, 0, 300, 200}), wantB = readPixels(b, IRect{0, 0, 300, 200});
    for (int y : {0, 77, 99, 199})
        for (int x : {0, 149, 150, 299})
            for (int c = 0; c < 4; ++c) {
                const float alpha = wantA.at(x, y, 3);
                EXPECT_NEAR(got.at(x, y, c), wantA.at(x, y, c) + wantB.at(x, y, c) * (1 - alpha), 1e-5f);
            }
}

TEST(ImageRendering, AnEnlargedBlurIsComputedOnceNotForEachTileOfTheEnlargement) {
    // An enlargement reads a small region of its input for each of its tiles; where the
    // input comes from a blur, computing it tile by tile would recompute the blur's margin
    // many times over. The blurred picture is stored once instead: what follows the blur
    // is computed for its own pixels only, and the pixels are those of the stored recipe.
    KernelPtr count = Kernel::makeColor("test.count", countingKernel);
    const Image small = imageFrom(240, 140, [](int x, int y, float* p) {
        p[0] = float((x * 7 + y * 3) % 50) / 50.f;
        p[1] = float(y % 17) / 17.f;
        p[2] = 0.5f;
        p[3] = 1;
    });
    auto recipe = [&](bool stored) {
        Image blurred = small.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", 2.0}}).cropped(small.extent());
        Image graded = applyKernel(count, blurred.extent(), {blurred});
        if (stored) graded = graded.insertingIntermediate();
        return graded.scaled(4, 4).cropped({0, 0, 960, 560});
    };
    gCounted = 0;
    const Pixels got = readPixels(recipe(false));
    EXPECT_EQ(gCounted.load(), 240 * 140);
    const Pixels want = readPixels(recipe(true));
    ASSERT_EQ(got.data.size(), want.data.size());
    for (size_t i = 0; i < got.data.size(); ++i) ASSERT_EQ(got.data[i], want.data[i]) << i / 4;
}

TEST(ImageRendering, NarrowKernelsReadComputedInputsTileByTile) {
    // A kernel reading one pixel round each pixel takes a computed input tile by tile
    // (its share and a margin), not stored whole; across tiles, at the picture's edges and
    // at an offset origin it must see what the stored input holds, and compute it once
    // but for the thin margins.
    KernelPtr count = Kernel::makeColor("test.count", countingKernel);
    KernelPtr box = Kernel::makeGeneral("test.box", boxKernel);
    const Image photo = imageFrom(601, 301, [](int x, int y, float* p) {
        p[0] = float((x * 7 + y * 3) % 50) / 50.f;
        p[1] = float(y % 17) / 17.f;
        p[2] = float(x % 23) / 23.f;
        p[3] = 1;
    }, {-37, 11});
    const Rect e = photo.extent();
    const Image graded = applyKernel(count, e, {photo});
    auto boxed = [&](const Image& in) {
        return applyKernel(box, e.inset(-1, -1), {in}, [](int, const Rect& d) { return d.inset(-1, -1); });
    };
    gCounted = 0;
    const Pixels tiled = readPixels(boxed(graded));
    const long computed = gCounted.load();
    const Pixels stored = readPixels(boxed(graded.insertingIntermediate()));
    ASSERT_EQ(tiled.rect, stored.rect);
    for (size_t i = 0; i < tiled.data.size(); ++i) ASSERT_EQ(tiled.data[i], stored.data[i]) << i;
    EXPECT_GE(computed, 601 * 301);
    EXPECT_LT(computed, 601 * 301 * 11 / 10);
}

TEST(ImageRendering, FormatsBandsAndPictures) {
    Image img = imageFrom(3, 2, [](int x, int y, float* p) {
        p[0] = 0.2f;
        p[1] = 0.4f;
        p[2] = 0.6f;
        p[3] = (x == 0 && y == 0) ? 0.8f : 1.0f;
    });
    Context ctx;
    Bitmap rgba = ctx.render(img, img.extent(), PixelFormat::RGBA8);
    EXPECT_EQ(rgba.row(0)[0], 51);
    EXPECT_EQ(rgba.row(0)[1], 102);
    EXPECT_EQ(rgba.row(0)[2], 153);
    EXPECT_EQ(rgba.row(0)[3], 204);
    Bitmap argb = ctx.render(img, img.extent(), PixelFormat::ARGB8);
    EXPECT_EQ(argb.row(0)[0], 204);
    EXPECT_EQ(argb.row(0)[1], 51);
    Bitmap bgra = ctx.render(img, img.extent(), PixelFormat::BGRA8);
    EXPECT_EQ(bgra.row(0)[0], 153);
    EXPECT_EQ(bgra.row(0)[3], 204);
    Bitmap f = ctx.render(img, img.extent(), PixelFormat::RGBAf);
    EXPECT_FLOAT_EQ(f.floatRow(1)[4 * 2 + 2], 0.6f);
    // 8-bit output clamps.
    Bitmap big = ctx.render(solid(1, 1, 2, -1, 0.5f, 1), {0, 0, 1, 1}, PixelFormat::RGBA8);
    EXPECT_EQ(big.row(0)[0], 255);
    EXPECT_EQ(big.row(0)[1], 0);
    EXPECT_EQ(big.row(0)[2], 128);

    // Pictures from a context are unpremultiplied.
    Picture pic = ctx.createPicture(img, img.extent());
    ASSERT_EQ(pic.width(), 3);
    EXPECT_EQ(pic.pixel(0, 0)[0], 64);  // 0.2 / 0.8 = 0.25
    EXPECT_EQ(pic.pixel(0, 0)[3], 204);
    Image back = Image::fromPicture(pic);
    Pixels bp = readPixels(back);
    EXPECT_NEAR(bp.at(0, 0, 0), 0.25f * 0.8f, 0.003f);

    // Banded rendering (tiny memory budget) gives the same pixels as one pass.
    Image photo = imageFrom(300, 700, [](int x, int y, float* p) {
        p[0] = float((x * 7 + y * 3) % 50) / 50.f;
        p[1] = float(y % 17) / 17.f;
        p[2] = 0.5f;
        p[3] = 1;
    });
    Image recipe = photo.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", 3.0}}).cropped(photo.extent());
    ASSERT_FALSE(recipe.isNull());
    Context banded(Context::Options{1, 1});
    Bitmap a = ctx.render(recipe, photo.extent(), PixelFormat::RGBAf);
    Bitmap b = banded.render(recipe, photo.extent(), PixelFormat::RGBAf);
    EXPECT_EQ(a.bytes, b.bytes);
}

TEST(ImageAccumulators, QuantiseOnSetAndKeepSnapshots) {
    ImageAccumulator acc({0, 0, 4, 4});
    Pixels empty = readPixels(acc.image());
    for (float v : empty.data) EXPECT_EQ(v, 0.0f);

    acc.setImage(solid(4, 4, 0.5f, 0.3f, 1.2f, 1));
    Image first = acc.image();
    Pixels p = readPixels(first);
    EXPECT_FLOAT_EQ(p.at(2, 2, 0), 128.0f / 255.0f);
    EXPECT_FLOAT_EQ(p.at(2, 2, 1), 77.0f / 255.0f);
    EXPECT_FLOAT_EQ(p.at(2, 2, 2), 1.0f);

    // Setting again replaces the content; earlier images keep theirs.
    acc.setImage(solid(2, 2, 0, 0, 0, 1, {1, 1}));
    Pixels second = readPixels(acc.image());
    EXPECT_FLOAT_EQ(second.at(1, 1, 0), 0.0f);
    EXPECT_FLOAT_EQ(second.at(0, 0, 3), 0.0f);  // outside the new image: transparent
    Pixels again = readPixels(first);
    EXPECT_FLOAT_EQ(again.at(1, 1, 0), 128.0f / 255.0f);

    // An accumulator's image can feed its own next content.
    acc.setImage(solid(4, 4, 0.2f, 0.2f, 0.2f, 1));
    acc.setImage(acc.image().translated(1, 0));
    Pixels shifted = readPixels(acc.image());
    EXPECT_FLOAT_EQ(shifted.at(0, 0, 3), 0.0f);
    EXPECT_FLOAT_EQ(shifted.at(3, 0, 0), 51.0f / 255.0f);
}

TEST(ImageAccumulators, ReusedBuffersNeverShowInSnapshotsOrStaleContent) {
    // Frames a time, with the caller holding the last snapshot or two: buffers are recycled
    // once released, and a partial update must start from the latest content, not from
    // whatever the recycled buffer held.
    ImageAccumulator acc({0, 0, 4, 4});
    acc.setImage(solid(4, 4, 0.2f, 0.2f, 0.2f, 1));
    Image a = acc.image();
    acc.setImage(solid(4, 4, 0.4f, 0.4f, 0.4f, 1));
    Image b = acc.image();
    a = Image();  // released: its buffer may be reused now
    acc.setImage(solid(4, 4, 0.6f, 0.6f, 0.6f, 1));
    Image c = acc.image();
    EXPECT_FLOAT_EQ(readPixels(b).at(1, 1, 0), 102.0f / 255.0f);
    EXPECT_FLOAT_EQ(readPixels(c).at(1, 1, 0), 153.0f / 255.0f);
    b = Image();
    acc.setImage(solid(2, 2, 1, 1, 1, 1, {2, 2}), Rect{2, 2, 2, 2});
    const Pixels d = readPixels(acc.image());
    EXPECT_FLOAT_EQ(d.at(0, 0, 0), 153.0f / 255.0f);  // the latest content, kept
    EXPECT_FLOAT_EQ(d.at(3, 3, 0), 1.0f);
    EXPECT_FLOAT_EQ(readPixels(c).at(3, 3, 0), 153.0f / 255.0f);  // the snapshot unchanged
}

TEST(ImageTransform, ScalingAClampedImageRepeatsItsEdges) {
    // A clamped image scaled along the axes is resampled straight from its source with the
    // taps held to the edge; it must equal scaling an explicitly padded copy.
    const Image src = vellari::test::imageFrom(37, 23, [](int x, int y, float* p) {
        p[0] = float((x * 7 + y * 3) % 11) / 10;
        p[1] = float(x) / 36;
        p[2] = float(y) / 22;
        p[3] = 1;
    }, {3, -2});
    const int pad = 12;
    const Rect padded{3 - pad, -2 - pad, 37 + 2 * pad, 23 + 2 * pad};
    const Bitmap b = defaultContext().render(src.clampedToExtent(), padded);
    std::vector<float> data(reinterpret_cast<const float*>(b.bytes.data()),
                            reinterpret_cast<const float*>(b.bytes.data()) + b.bytes.size() / 4);
    const Image copy = Image::fromRGBAf(std::move(data), b.width, b.height, {padded.x, padded.y});
    struct Case {
        double sx, sy;
        bool hq;
    };
    for (const Case c : {Case{2, 2, false}, Case{0.37, 0.37, true}, Case{0.37, 0.6, false}, Case{1.5, 0.5, true}}) {
        const Rect inside{(3 - 2) * c.sx, (-2 - 2) * c.sy, 41 * c.sx, 27 * c.sy};
        const Pixels want = readPixels(copy.transformed(AffineTransform::scale(c.sx, c.sy), c.hq), inside.integral());
        const Pixels got =
            readPixels(src.clampedToExtent().transformed(AffineTransform::scale(c.sx, c.sy), c.hq), inside.integral());
        ASSERT_EQ(got.data.size(), want.data.size());
        for (size_t i = 0; i < got.data.size(); ++i)
            ASSERT_NEAR(got.data[i], want.data[i], 1e-5) << c.sx << "x" << c.sy << " at " << i / 4;
    }
}

// Linear scaling along the axes is bilinear interpolation between pixel centres, the
// pixels beyond the edge transparent (or, clamped, the edge repeated): checked against a
// double-precision reference for enlargements and reductions over several tiles, with
// translucent pixels and an offset origin.
TEST(ImageTransform, LinearScalingIsBilinearInterpolationAcrossTiles) {
    const int w = 290, h = 45;
    const Point origin{-7, 3};
    auto value = [](int x, int y, int c) {
        const float a = 0.25f + 0.75f * float((x * 13 + y * 7) % 17) / 16;
        return c == 3 ? a : a * float((x * (c + 3) + y * (5 - c)) % 29) / 28;
    };
    const Image src = imageFrom(w, h, [&](int x, int y, float* p) {
        for (int c = 0; c < 4; ++c) p[c] = value(x, y, c);
    }, origin);
    for (bool clamped : {false, true})
        for (double s : {2.0, 4.0, 0.5, 1.37, 0.73, 3.0}) {
            const Image in = clamped ? src.clampedToExtent() : src;
            const IRect out = IRect{int(std::floor(origin.x * s)) - 2, int(std::floor(origin.y * s)) - 2,
                                    int(std::ceil(w * s)) + 4, int(std::ceil(h * s)) + 4};
            const Image scaled = in.scaled(s, s);
            const Pixels got = readPixels(scaled, out);
            // Unclamped, the picture ends at its scaled extent, the pixels beyond are clear.
            const IRect extent = clamped ? out : scaled.extent().integral();
            auto at = [&](int x, int y, int c) -> double {
                if (clamped) {
                    x = std::clamp(x, 0, w - 1);
                    y = std::clamp(y, 0, h - 1);
                } else if (x < 0 || y < 0 || x >= w || y >= h) {
                    return 0;
                }
                return value(x, y, c);
            };
            double worst = 0;
            for (int Y = out.y; Y < out.bottom(); ++Y)
                for (int X = out.x; X < out.right(); ++X) {
                    const double u = (X + 0.5) / s - 0.5 - origin.x, v = (Y + 0.5) / s - 0.5 - origin.y;
                    const int x0 = int(std::floor(u)), y0 = int(std::floor(v));
                    const double fx = u - x0, fy = v - y0;
                    const bool inside = extent.contains(IRect{X, Y, 1, 1});
                    for (int c = 0; c < 4; ++c) {
                        const double top = at(x0, y0, c) * (1 - fx) + at(x0 + 1, y0, c) * fx;
                        const double bottom = at(x0, y0 + 1, c) * (1 - fx) + at(x0 + 1, y0 + 1, c) * fx;
                        const double want = top * (1 - fy) + bottom * fy;
                        worst = std::max(worst, std::abs(got.at(X, Y, c) - (inside ? want : 0.0)));
                    }
                }
            EXPECT_LT(worst, 2e-6) << "scale " << s << (clamped ? " clamped" : "");
        }
}

TEST(ImageTransform, StrongReductionsOfEightBitPicturesEqualThoseOfTheirFloats) {
    // A bilinear reduction to under half the height reads the rows it uses straight from an
    // 8-bit picture; it must give the pixels of the same reduction of the picture's floats
    // (read whole), plain, clamped, at an offset origin and over several tiles.
    const int w = 700, h = 390;
    std::vector<uint8_t> bytes(size_t(w) * h * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i * 131 + (i / 2800) * 7) % 256);
    const Image eight = Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, false).translated(5, -3);
    const Pixels f = readPixels(eight);
    const Image floats = Image::fromRGBAf(f.data, f.rect.w, f.rect.h, {double(f.rect.x), double(f.rect.y)});
    struct Case {
        double sx, sy;
        bool clamped;
    };
    for (const Case c : {Case{64.0 / w, 64.0 / h, true}, Case{1.0 / 3, 1.0 / 3, false}, Case{0.5, 0.2, false},
                         Case{1.3, 0.11, true}}) {
        auto reduced = [&](const Image& img) {
            const Image in = c.clamped ? img.clampedToExtent() : img;
            return in.scaled(c.sx, c.sy).cropped(AffineTransform::scale(c.sx, c.sy).apply(img.extent()));
        };
        const Pixels a = readPixels(reduced(eight)), b = readPixels(reduced(floats));
        ASSERT_EQ(a.rect, b.rect);
        ASSERT_GT(a.rect.area(), 0);
        float worst = 0;
        for (size_t i = 0; i < a.data.size(); ++i) worst = std::max(worst, std::abs(a.data[i] - b.data[i]));
        EXPECT_EQ(worst, 0.f) << c.sx << " x " << c.sy << (c.clamped ? " clamped" : "");
    }
}

TEST(ImageTransform, NearestEnlargementCopiesTheNearestPixelAcrossTiles) {
    // Large enough for several render tiles; every output pixel is the input pixel under
    // its centre.
    const int w = 300, h = 170;
    const Image src = vellari::test::imageFrom(w, h, [](int x, int y, float* p) {
        p[0] = float(x) / w;
        p[1] = float(y) / h;
        p[2] = float((x * 31 + y * 17) % 13) / 12;
        p[3] = 1;
    });
    const Pixels in = readPixels(src);
    for (double s : {2.0, 3.0, 1.5}) {
        const Pixels out = readPixels(src.samplingNearest().scaled(s, s));
        ASSERT_EQ(out.rect.w, int(std::ceil(w * s)));
        for (int y = 0; y < out.rect.h; y += 7)
            for (int x = 0; x < out.rect.w; x += 5) {
                const int sx = std::min(w - 1, int((x + 0.5) / s)), sy = std::min(h - 1, int((y + 0.5) / s));
                for (int c = 0; c < 4; ++c) ASSERT_EQ(out.at(x, y, c), in.at(sx, sy, c)) << s << " " << x << "," << y;
            }
    }
}

// A resampled image whose input is computed tile by tile for it alone gives the pixels of
// the same recipe with that input stored whole first.
TEST(ImageRendering, ResamplingComputedInputsTileByTileMatchesStoredInputs) {
    KernelPtr add = Kernel::makeColor("test.addOne", addOneKernel);
    Image photo = imageFrom(
        700, 300,
        [](int x, int y, float* p) {
            p[0] = float((x * 7 + y * 3) % 50) / 50.f;
            p[1] = float(y % 17) / 17.f;
            p[2] = float(x % 23) / 23.f;
            p[3] = 1;
        },
        {-13, 7});
    for (bool hq : {false, true})
        for (double s : {2.5, 0.5, 1.7}) {
            for (bool nearest : {false, true}) {
                auto recipe = [&](bool stored) {
                    Image in = applyKernel(add, photo.extent(), {photo, 0.125});
                    if (stored) in = in.insertingIntermediate();
                    if (nearest) in = in.samplingNearest();
                    return in.clampedToExtent().scaled(s, s * 0.9, hq).cropped(AffineTransform::scale(s, s * 0.9).apply(photo.extent()));
                };
                const Image a = recipe(false), b = recipe(true);
                const Pixels pa = readPixels(a), pb = readPixels(b);
                ASSERT_EQ(pa.data.size(), pb.data.size());
                float worst = 0;
                for (size_t i = 0; i < pa.data.size(); ++i) worst = std::max(worst, std::abs(pa.data[i] - pb.data[i]));
                EXPECT_EQ(worst, 0.f) << "scale " << s << " hq " << hq << " nearest " << nearest;
            }
        }
}

// Eight-bit formats clamp, round and order channels the same on long rows as on short,
// and only what the image leaves uncovered is cleared.
TEST(ImageRendering, EightBitRowsAndUncoveredArea) {
    const int w = 37;
    Image img = imageFrom(w, 2, [](int x, int y, float* p) {
        p[0] = float(x) / 30.f - 0.1f;  // runs past both ends of [0, 1]
        p[1] = float(y) * 0.5f;
        p[2] = float(x % 5) / 4.f;
        p[3] = x == 7 ? std::nanf("") : 1.f;
    }, {3, 1});
    auto byte = [](float v) { return uint8_t(int((v > 0 ? (v < 1 ? v : 1) : 0) * 255.f + 0.5f)); };
    const Pixels f = readPixels(img);
    Context ctx;
    const IRect r{0, 0, w + 6, 4};
    for (PixelFormat fmt : {PixelFormat::RGBA8, PixelFormat::BGRA8, PixelFormat::ARGB8}) {
        std::vector<uint8_t> out(size_t(r.w) * r.h * 4, 0xAB);
        ctx.render(img, Rect::fromIRect(r), fmt, out.data(), size_t(r.w) * 4);
        const int order[3][4] = {{0, 1, 2, 3}, {2, 1, 0, 3}, {3, 0, 1, 2}};
        const int* o = order[fmt == PixelFormat::RGBA8 ? 0 : (fmt == PixelFormat::BGRA8 ? 1 : 2)];
        for (int y = 0; y < r.h; ++y)
            for (int x = 0; x < r.w; ++x) {
                const uint8_t* q = out.data() + (size_t(y) * r.w + x) * 4;
                const bool inside = x >= 3 && x < 3 + w && y >= 1 && y < 3;
                for (int c = 0; c < 4; ++c) {
                    const uint8_t want = inside ? byte(f.at(x, y, o[c])) : 0;
                    ASSERT_EQ(q[c], want) << "x " << x << " y " << y << " c " << c;
                }
            }
    }
}

TEST(ImageRendering, EightBitPicturesRenderToEightBitFormatsByteForByte) {
    // A premultiplied 8-bit picture (a flattened frame) rendered to an 8-bit format is its
    // own bytes in the format's order, as the round trip through floats gives them: over a
    // part of it, over more than it (the rest cleared), cropped, and at an offset origin.
    const int w = 53, h = 9;
    std::vector<uint8_t> bytes(size_t(w) * h * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i * 97 + 13) % 256);
    const Image pic = Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, true).translated(-4, 2);
    auto byte = [](float v) { return uint8_t(int((v > 0 ? (v < 1 ? v : 1) : 0) * 255.f + 0.5f)); };
    const int order[3][4] = {{0, 1, 2, 3}, {2, 1, 0, 3}, {3, 0, 1, 2}};
    for (const Image& img : {pic, pic.cropped({0, 3, 30, 5}), pic.cropped({-10, -10, 100, 100})}) {
        const Pixels f = readPixels(img);
        const IRect e = img.extent().integral();
        for (const IRect r : {IRect{-1, 3, 40, 6}, IRect{-8, 0, w + 9, h + 5}})
            for (PixelFormat fmt : {PixelFormat::RGBA8, PixelFormat::BGRA8, PixelFormat::ARGB8}) {
                std::vector<uint8_t> out(size_t(r.w) * r.h * 4, 0xAB);
                defaultContext().render(img, Rect::fromIRect(r), fmt, out.data(), size_t(r.w) * 4);
                const int* o = order[fmt == PixelFormat::RGBA8 ? 0 : (fmt == PixelFormat::BGRA8 ? 1 : 2)];
                for (int y = r.y; y < r.bottom(); ++y)
                    for (int x = r.x; x < r.right(); ++x) {
                        const bool inside = e.contains(IRect{x, y, 1, 1});
                        const uint8_t* q = out.data() + (size_t(y - r.y) * r.w + size_t(x - r.x)) * 4;
                        for (int c = 0; c < 4; ++c) {
                            const uint8_t own = inside ? bytes[(size_t(y - 2) * w + size_t(x + 4)) * 4 + size_t(o[c])] : 0;
                            ASSERT_EQ(q[c], own) << "x " << x << " y " << y << " c " << c;
                            ASSERT_EQ(q[c], inside ? byte(f.at(x, y, o[c])) : 0);
                        }
                    }
            }
    }
}

TEST(ImageCore, EightBitPixelsConvertAndPremultiplyInEveryLane) {
    // Rows of 11 pixels: two blocks of four and a tail of three, on a row stride with padding.
    const int w = 11, h = 3;
    const size_t rowBytes = w * 4 + 8;
    std::vector<uint8_t> bytes(rowBytes * h);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i * 37 + 11) % 256);
    for (bool premultiplied : {false, true}) {
        const Pixels p = readPixels(Image::fromRGBA8(bytes.data(), w, h, rowBytes, premultiplied));
        ASSERT_EQ(p.rect, (IRect{0, 0, w, h}));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint8_t* b = bytes.data() + size_t(y) * rowBytes + size_t(x) * 4;
                const float a = b[3] / 255.0f;
                for (int c = 0; c < 3; ++c)
                    EXPECT_NEAR(p.at(x, y, c), b[c] / 255.0f * (premultiplied ? 1.0f : a), 1e-6f)
                        << x << "," << y << " channel " << c;
                EXPECT_NEAR(p.at(x, y, 3), a, 1e-6f);
            }
    }
}

TEST(ImageRendering, EightBitFormatsInEveryLane) {
    // Rows of 11 pixels (two blocks of four and a tail) with values out of range, not a
    // number, and halfway between two levels; each format's byte order.
    const float specials[] = {-0.5f, 0.0f, 0.5f / 255, 1.5f / 255, 0.25f, 0.5f, 1.0f, 1.7f, std::nanf("")};
    const int w = 11, h = 2;
    std::vector<float> floats(size_t(w) * h * 4);
    for (size_t i = 0; i < floats.size(); ++i) floats[i] = specials[(i * 5 + i / 7) % 9];
    const Image img = imageFromFloats(w, h, floats);
    auto level = [](float v) { return v > 0 ? (v < 1 ? uint8_t(int(v * 255 + 0.5f)) : uint8_t(255)) : uint8_t(0); };
    const struct {
        PixelFormat format;
        int channelAt[4];  // byte holding R, G, B, A
    } layouts[] = {{PixelFormat::RGBA8, {0, 1, 2, 3}}, {PixelFormat::ARGB8, {1, 2, 3, 0}}, {PixelFormat::BGRA8, {2, 1, 0, 3}}};
    Context ctx;
    for (const auto& l : layouts) {
        const Bitmap b = ctx.render(img, img.extent(), l.format);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 4; ++c)
                    EXPECT_EQ(b.row(y)[x * 4 + l.channelAt[c]], level(floats[(size_t(y) * w + x) * 4 + c]))
                        << "format " << int(l.format) << " pixel " << x << "," << y << " channel " << c;
    }
}

// Rows of every length up to beyond the widest vector's block of pixels (sixteen), so each
// instruction set's whole blocks and its leftover pixels both run.
TEST(ImageRendering, EightBitPixelsRoundTripThroughFloatsExactlyInEveryFormat) {
    constexpr float k = 1.0f / 255.0f;
    const int order[3][4] = {{0, 1, 2, 3}, {2, 1, 0, 3}, {3, 0, 1, 2}};
    const PixelFormat formats[3] = {PixelFormat::RGBA8, PixelFormat::BGRA8, PixelFormat::ARGB8};
    for (int w : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 23, 31, 32, 33, 47, 64, 67}) {
        // Every level in every channel, each channel out of step with the others.
        const int h = (256 + w - 1) / w + 1;
        std::vector<uint8_t> bytes(size_t(w) * h * 4);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i / 4) * 1 + (i % 4) * 67);
        const Pixels pre = readPixels(Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, true));
        const Pixels straight = readPixels(Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, false));
        for (size_t p = 0; p < bytes.size() / 4; ++p) {
            const float a = float(bytes[p * 4 + 3]) * k;
            for (int c = 0; c < 4; ++c) {
                const float v = float(bytes[p * 4 + size_t(c)]) * k;
                ASSERT_EQ(pre.data[p * 4 + size_t(c)], v) << "width " << w << " pixel " << p << " channel " << c;
                ASSERT_EQ(straight.data[p * 4 + size_t(c)], c == 3 ? a : v * a)
                    << "width " << w << " pixel " << p << " channel " << c;
            }
        }
        // The floats back to bytes (from a float picture, so the conversion runs rather than
        // the byte reordering): the bytes again, in each format's order.
        const Image floats = Image::fromRGBAf(pre.data, w, h);
        for (int f = 0; f < 3; ++f) {
            const Bitmap b = defaultContext().render(floats, floats.extent(), formats[f]);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c)
                        ASSERT_EQ(b.row(y)[x * 4 + c], bytes[(size_t(y) * w + size_t(x)) * 4 + size_t(order[f][c])])
                            << "width " << w << " format " << f << " pixel " << x << "," << y << " byte " << c;
        }
    }
}

TEST(ImageRendering, EightBitFormatsRoundHalfwayLevelsUpOnRowsOfEveryLength) {
    // Values at, just below and just above each halfway point between two levels, out of
    // range and not a number, shuffled over the channels.
    std::vector<float> values = {-1.0f, -0.0f, 1.0f, 1.5f, 1e30f, -1e30f, std::nanf(""), 1e-30f};
    for (int level = 0; level < 255; level += 3) {
        const float half = (float(level) + 0.5f) / 255.0f;
        values.insert(values.end(), {half, std::nextafter(half, 0.0f), std::nextafter(half, 1.0f)});
    }
    auto byte = [](float v) { return uint8_t(int((v > 0 ? (v < 1 ? v : 1) : 0) * 255.f + 0.5f)); };
    const int channelAt[3][4] = {{0, 1, 2, 3}, {1, 2, 3, 0}, {2, 1, 0, 3}};  // byte holding R, G, B, A
    const PixelFormat formats[3] = {PixelFormat::RGBA8, PixelFormat::ARGB8, PixelFormat::BGRA8};
    for (int w = 1; w <= 40; ++w) {
        const int h = int(values.size() / size_t(w * 4)) + 1;
        std::vector<float> floats(size_t(w) * h * 4);
        for (size_t i = 0; i < floats.size(); ++i) floats[i] = values[(i * 7 + size_t(w)) % values.size()];
        const Image img = imageFromFloats(w, h, floats);
        for (int f = 0; f < 3; ++f) {
            const Bitmap b = defaultContext().render(img, img.extent(), formats[f]);
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    for (int c = 0; c < 4; ++c) {
                        const float v = floats[(size_t(y) * w + size_t(x)) * 4 + size_t(c)];
                        ASSERT_EQ(b.row(y)[x * 4 + channelAt[f][c]], byte(v))
                            << "width " << w << " format " << f << " pixel " << x << "," << y << " value " << v;
                    }
        }
    }
}

namespace {

// Runs the rest of a scope on one instruction set, then restores the usual choice.
struct OnTarget {
    explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
    ~OnTarget() { simd::setTargetForTest(0); }
};

}  // namespace

TEST(ImageTransform, ResamplingAndEightBitConversionsAgreeOnEveryInstructionSet) {
    // Translucent noise of odd width at an offset origin, as floats and as straight bytes.
    const int w = 301, h = 157;
    std::vector<uint8_t> bytes(size_t(w) * h * 4);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t((i * 2654435761u) >> 13);
    const Image eight = Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, false).translated(-3, 5);
    const Pixels f = readPixels(eight);
    const Image floats = Image::fromRGBAf(f.data, w, h, {-3, 5});
    struct Case {
        const char* what;
        Image img;
    };
    // Two, four and many horizontal taps; the rows a strong reduction reads itself.
    const std::vector<Case> cases = {
        {"bilinear 2x", floats.clampedToExtent().scaled(2, 2).cropped({-6, 10, 602, 314})},
        {"bilinear 0.5x", floats.scaled(0.5, 0.5)},
        {"area 0.37x", floats.scaled(0.37, 0.41, true)},
        {"area 0.13x", floats.clampedToExtent().scaled(0.13, 0.17, true).cropped({-1, 0, 40, 28})},
        {"bytes 0.3x", eight.scaled(0.7, 0.3)},
        {"bytes", eight},
    };
    std::vector<Pixels> want;
    std::vector<Bitmap> wantBytes;
    {
        OnTarget scalar(simd::targetNamed("scalar"));
        for (const Case& c : cases) {
            want.push_back(readPixels(c.img));
            wantBytes.push_back(defaultContext().render(c.img, c.img.extent(), PixelFormat::BGRA8));
        }
    }
    for (int64_t t : simd::machineTargets()) {
        OnTarget on(t);
        for (size_t i = 0; i < cases.size(); ++i) {
            const Pixels got = readPixels(cases[i].img);
            ASSERT_EQ(got.data.size(), want[i].data.size());
            float worst = 0;
            for (size_t j = 0; j < got.data.size(); ++j)
                worst = std::max(worst, std::abs(got.data[j] - want[i].data[j]));
            EXPECT_LT(worst, 2e-6f) << cases[i].what << " on " << simd::nameOf(t);
            const Bitmap b = defaultContext().render(cases[i].img, cases[i].img.extent(), PixelFormat::BGRA8);
            // Bytes of values that differ in the last bits may fall either side of a level.
            int off = 0;
            for (size_t j = 0; j < b.bytes.size(); ++j)
                off += std::abs(int(b.bytes[j]) - int(wantBytes[i].bytes[j])) > 1;
            EXPECT_EQ(off, 0) << cases[i].what << " on " << simd::nameOf(t);
        }
    }
}
