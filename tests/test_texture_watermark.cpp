// Texture and halftone screens over the shading layer, their kernels and pictures, and
// the watermark stamped over finished frames.

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/simd.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;
using namespace vellari::test;
using C = QXCoreImageUtilities;
namespace fs = std::filesystem;

namespace {

// The process runs on a bundle of its own: the project's resources (linked) plus a plain
// 400 × 200 mark whose placement is easy to check. It must be in place before anything
// asks for the application bundle, hence a static object.
struct TestBundle {
    fs::path root;
    TestBundle() {
        std::random_device rd;
        root = fs::temp_directory_path() / ("vellari-texture-bundle-" + std::to_string(rd()));
        fs::create_directories(root);
        for (const auto& e : fs::directory_iterator(VELLARI_SOURCE_RESOURCES))
            fs::create_symlink(e.path(), root / e.path().filename());
        writeMark("Test Mark 400x200.png", 0);
        writeMark("Test Framed Mark 400x200.png", 40);
        setenv("VELLARI_RESOURCES", root.c_str(), 1);
    }
    // A 400 × 200 picture, black and opaque but for a transparent margin.
    void writeMark(const std::string& file, int margin) {
        Picture mark(400, 200);
        for (int y = margin; y < 200 - margin; ++y)
            for (int x = margin; x < 400 - margin; ++x) mark.pixel(x, y)[3] = 255;
        writePicture(mark, (root / file).string(), PictureFormat::PNG);
    }
    ~TestBundle() {
        std::error_code ec;
        fs::remove_all(root, ec);  // removes the links, not what they point to
    }
} testBundle;

Image grey(int w, int h, float v) { return solid(w, h, v, v, v, 1); }

Picture resourcePicture(const std::string& file) {
    PictureResult r = readPicture(std::string(VELLARI_SOURCE_RESOURCES) + "/" + file);
    EXPECT_TRUE(r.ok()) << r.error;
    return r.picture;
}

// Mean absolute difference of channel c between pixel (x, y) and (x + dx, y + dy) over a
// window that keeps both inside the pixels read.
double shiftDifference(const Pixels& p, int dx, int dy, int c, int w, int h) {
    double sum = 0;
    for (int y = p.rect.y; y < p.rect.y + h; ++y)
        for (int x = p.rect.x; x < p.rect.x + w; ++x) sum += std::abs(p.at(x + dx, y + dy, c) - p.at(x, y, c));
    return sum / (double(w) * h);
}

// Smallest horizontal shift under which channel c repeats (0: none up to maxShift).
int horizontalPeriod(const Pixels& p, int maxShift, int w, int h, int c = 0) {
    for (int s = 1; s <= maxShift; ++s)
        if (shiftDifference(p, s, 0, c, w, h) < 1e-4) return s;
    return 0;
}

double meanChannel(const Pixels& p, int c) {
    double sum = 0;
    const size_t n = size_t(p.rect.w) * p.rect.h;
    for (size_t i = 0; i < n; ++i) sum += p.data[i * 4 + c];
    return sum / double(n);
}

// Bounding box of the pixels whose red lies below `below`; empty when none.
IRect darkBox(const Pixels& p, float below) {
    int x0 = INT32_MAX, y0 = INT32_MAX, x1 = INT32_MIN, y1 = INT32_MIN;
    for (int y = p.rect.y; y < p.rect.bottom(); ++y)
        for (int x = p.rect.x; x < p.rect.right(); ++x)
            if (p.at(x, y, 0) < below) {
                x0 = std::min(x0, x), y0 = std::min(y0, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
            }
    if (x1 < x0) return {};
    return {x0, y0, x1 - x0 + 1, y1 - y0 + 1};
}

bool samePixels(const Pixels& a, const Pixels& b, float tol = 0) {
    if (a.rect != b.rect || a.data.size() != b.data.size()) return false;
    for (size_t i = 0; i < a.data.size(); ++i)
        if (std::abs(a.data[i] - b.data[i]) > tol) return false;
    return true;
}

Image gradientScene(int w, int h) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = float(x) / w;
        p[1] = float(y) / h;
        p[2] = 0.5f * (float(x) / w + float(y) / h);
        p[3] = 1;
    });
}

// Runs the rest of a scope on one instruction set, and restores the usual choice after.
struct OnTarget {
    explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
    ~OnTarget() { simd::setTargetForTest(0); }
};

// Premultiplied noise w × h at origin: transparent and translucent pixels, colour values
// in 0..1 (straight).
Image noiseImage(int w, int h, unsigned seed, Point origin = {0, 0}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(
        w, h,
        [&](int x, int y, float* p) {
            const int k = x + w * y;
            float a = u(rng);
            if (k % 11 == 0) a = 0;
            if (k % 3 == 0) a = 1;
            for (int c = 0; c < 3; ++c) p[c] = u(rng) * a;
            p[3] = a;
        },
        origin);
}

// The kernel gives the same pixels on every instruction set this machine runs as on the
// portable one (the last), within tol.
void expectSameOnEveryTarget(const std::string& name, const std::vector<KernelArg>& args, float tol) {
    const std::vector<int64_t> targets = simd::machineTargets();
    ASSERT_FALSE(targets.empty());
    Pixels reference;
    {
        OnTarget on(targets.back());
        reference = readPixels(C::applyMetalKernelNamed(name, args));
    }
    for (int64_t t : targets) {
        OnTarget on(t);
        const Pixels p = readPixels(C::applyMetalKernelNamed(name, args));
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

TEST(Texture, TypesWithoutTextureKeepTheInput) {
    registerStyleKernels();
    QXVideoFilterVellari f;
    const Image in = gradientScene(96, 64);
    const Pixels ref = readPixels(in);
    for (int type : {0, -1, -40, 9, 100, 5}) {
        const Image out = f.createTexture(in, type);
        ASSERT_TRUE(out) << type;
        EXPECT_TRUE(out.samplesNearest()) << type;
        EXPECT_EQ(out.extent(), in.extent()) << type;
        EXPECT_TRUE(samePixels(readPixels(out), ref)) << type;
    }
    // A paper texture needs both its picture name and its blend; a missing picture or an
    // unknown blend filter leaves the input too.
    f.textureBlendMode = "CIMultiplyBlendMode";
    EXPECT_TRUE(samePixels(readPixels(f.createTexture(in, 1)), ref));
    f.textureImageName = "No Such Paper";
    EXPECT_TRUE(samePixels(readPixels(f.createTexture(in, 1)), ref));
    f.textureImageName = "Halftone Master 512px";
    f.textureBlendMode = "";
    EXPECT_TRUE(samePixels(readPixels(f.createTexture(in, 1)), ref));
    f.textureBlendMode = "CINoSuchBlendMode";
    EXPECT_TRUE(samePixels(readPixels(f.createTexture(in, 1)), ref));
    EXPECT_FALSE(f.createTexture(Image(), 2));
}

TEST(Texture, PaperTextureBlendsAtItsAlphaAndScale) {
    registerStyleKernels();
    QXVideoFilterVellari f;
    f.textureImageName = "Halftone Master 512px";
    f.textureBlendMode = "CIMultiplyBlendMode";
    f.textureBlendAlpha = 0.5;
    f.textureScale = 0.25;
    const Image in = grey(256, 64, 0.8f);
    const Image out = f.createTexture(in, 1);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out.samplesNearest());
    const Pixels p = readPixels(out);
    // Multiplied at half opacity: between the input and half of it, never above it.
    float lo = 1, hi = 0;
    for (size_t i = 0; i < p.data.size(); i += 4) lo = std::min(lo, p.data[i]), hi = std::max(hi, p.data[i]);
    EXPECT_GE(lo, 0.4f - 0.01f);
    EXPECT_LE(hi, 0.8f + 1e-5f);
    EXPECT_GT(hi - lo, 0.2f);
    // The 32-pixel period of the picture at a quarter of its size...
    EXPECT_EQ(horizontalPeriod(p, 40, 128, 32), 8);
    // ... times the resolution scale.
    f.currentResolution = 1080;
    EXPECT_EQ(horizontalPeriod(readPixels(f.createTexture(in, 1)), 40, 128, 32), 16);
}

TEST(Texture, MonoScreenFollowsTheOutputSize) {
    registerStyleKernels();
    QXVideoFilterVellari f;
    ASSERT_EQ(f.baseResolution, 540);
    ASSERT_EQ(f.outputResolution, 1080);
    const Image in = grey(1920, 1080, 0.5f);
    ASSERT_EQ(f.outputSizeForInputSize(in.extent().size()), (Size{1920, 1080}));

    const Picture screen = resourcePicture("Halftone Master 512px.png");
    ASSERT_EQ(screen.width(), 512);
    const Image screenImage = Image::fromPicture(screen);
    const int picturePeriod = horizontalPeriod(readPixels(screenImage, {0, 0, 512, 64}), 256, 256, 64);
    ASSERT_GT(picturePeriod, 0);

    // k = 1080 / 540 = 2: the screen at 0.5, tiles of 256 pixels.
    const Image out = f.createTexture(in, 2);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out.samplesNearest());
    EXPECT_EQ(out.extent(), in.extent());
    const Pixels p = readPixels(out, {0, 0, 1024, 600});
    EXPECT_LT(shiftDifference(p, 256, 0, 0, 768, 300), 1e-5);
    EXPECT_LT(shiftDifference(p, 0, 256, 0, 700, 300), 1e-5);
    EXPECT_LT(shiftDifference(p, 512, 256, 0, 500, 300), 1e-5);
    EXPECT_EQ(horizontalPeriod(p, 256, 512, 64), picturePeriod / 2);
    // Half of a mid grey is inked.
    EXPECT_NEAR(meanChannel(p, 0), 0.5, 0.03);

    // k = 1: the screen at a quarter of its size.
    f.setOutputResolution(540);
    const Pixels q = readPixels(f.createTexture(in, 2), {0, 0, 512, 200});
    EXPECT_EQ(horizontalPeriod(q, 128, 256, 64), picturePeriod / 4);
    EXPECT_LT(shiftDifference(q, 128, 128, 0, 256, 64), 1e-5);

    // Screen mode keeps the picture in the dots, multiply mode darkens it with them.
    f.setOutputResolution(1080);
    const Image photo = gradientScene(640, 360);
    const Pixels src = readPixels(photo);
    const Pixels mono = readPixels(f.createTexture(photo, 2));
    const Pixels screened = readPixels(f.createTexture(photo, 3));
    const Pixels multiplied = readPixels(f.createTexture(photo, 4));
    int screenedWhite = 0, multipliedDarker = 0;
    for (size_t i = 0; i < src.data.size(); i += 4) {
        EXPECT_GE(screened.data[i] + 1e-5f, src.data[i]);
        EXPECT_LE(multiplied.data[i], src.data[i] + 1e-5f);
        if (mono.data[i] > 0.99f) screenedWhite += screened.data[i] > 0.99f;
        if (mono.data[i] < 0.01f) multipliedDarker += multiplied.data[i] < 0.01f;
    }
    EXPECT_GT(screenedWhite, 1000);
    EXPECT_GT(multipliedDarker, 1000);
}

TEST(Texture, ProcessScreensOfTypes7And8DifferOnlyInScale) {
    registerStyleKernels();
    QXVideoFilterVellari f;
    const Image in = gradientScene(480, 270);
    // 0.175 · 1.2 = 0.15 · 1.4: the same screen size, so the same result.
    f.baseResolution = 1080 / 1.2;
    const Pixels seven = readPixels(f.createTexture(in, 7));
    f.baseResolution = 1080 / 1.4;
    const Pixels eight = readPixels(f.createTexture(in, 8));
    EXPECT_TRUE(samePixels(seven, eight, 1e-6f));
    f.baseResolution = 540;
    EXPECT_FALSE(samePixels(readPixels(f.createTexture(in, 7)), readPixels(f.createTexture(in, 8)), 1e-3f));

    // Both rotate by 5 degrees: a tile of L = √(160² + 14²) pixels turned by 5° repeats along
    // (160, 14) (atan(14 / 160) = 4.9997°), not along the axes.
    const double L = std::hypot(160.0, 14.0);
    const Image flat = grey(1920, 1080, 0.5f);
    for (int type : {7, 8}) {
        f.baseResolution = 1080 * (type == 7 ? 0.175 : 0.15) * 512 / L;
        const Image out = f.createTexture(flat, type);
        ASSERT_TRUE(out);
        EXPECT_TRUE(out.samplesNearest());
        const Pixels p = readPixels(out, {0, 0, 600, 400});
        const double along = shiftDifference(p, 160, 14, 0, 400, 300);
        const double axis = shiftDifference(p, 160, 0, 0, 400, 300);
        const double axisRound = shiftDifference(p, 161, 0, 0, 400, 300);
        EXPECT_LT(along, 2e-4) << type;
        EXPECT_GT(axis, 10 * along + 1e-3) << type;
        EXPECT_GT(axisRound, 10 * along + 1e-3) << type;
        // Faint: a tenth of the dots multiplied in.
        for (size_t i = 0; i < p.data.size(); i += 4) {
            ASSERT_GE(p.data[i], 0.45f - 1e-4f);
            ASSERT_LE(p.data[i], 0.5f + 1e-5f);
        }
    }

    // Type 6: the process dots darken the picture, each ink taking its own primary away.
    f.baseResolution = 540;
    const Image red = solid(400, 300, 1, 0, 0, 1);
    const Pixels six = readPixels(f.createTexture(red, 6));
    EXPECT_NEAR(meanChannel(six, 0), 1.0, 1e-4);  // no cyan on red
    EXPECT_NEAR(meanChannel(six, 1), 0.0, 1e-4);
    EXPECT_NEAR(meanChannel(six, 2), 0.0, 1e-4);
    const Pixels sixGrey = readPixels(f.createTexture(grey(400, 300, 0.5f), 6));
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(meanChannel(sixGrey, c), 0.25, 0.04) << c;
    // Its screen at 0.4 · k: with k = 2.5 the yellow screen (0°, 16 pixels) keeps its period.
    f.baseResolution = 1080 / 2.5;
    const Pixels yellow = readPixels(f.createTexture(grey(400, 300, 0.5f), 6));
    EXPECT_EQ(horizontalPeriod(yellow, 40, 128, 64, 2), 16);
}

TEST(Halftone, KernelsInkWithDarkness) {
    registerStyleKernels();
    QXVideoFilterVellari f;
    f.baseResolution = 540;
    // Mono coverage over a grey ramp: monotone, and linear thanks to the equalised screen.
    double previous = -1;
    for (int i = 10; i >= 0; --i) {
        const float v = float(i) / 10;
        const Pixels p = readPixels(f.createTexture(grey(512, 256, v), 2));
        const double coverage = 1 - meanChannel(p, 0);
        EXPECT_GT(coverage, previous) << v;
        EXPECT_NEAR(coverage, 1 - v, 0.04) << v;
        previous = coverage;
    }
    EXPECT_NEAR(previous, 1.0, 1e-6);  // black is solid ink
    EXPECT_EQ(meanChannel(readPixels(f.createTexture(grey(512, 256, 1), 2)), 0), 1.0);  // white none
    // The tone is the luma of the colour.
    const Pixels red = readPixels(f.createTexture(solid(512, 256, 1, 0, 0, 1), 2));
    const Pixels green = readPixels(f.createTexture(solid(512, 256, 0, 1, 0, 1), 2));
    EXPECT_NEAR(meanChannel(red, 0), 0.2125, 0.04);
    EXPECT_NEAR(meanChannel(green, 0), 0.7154, 0.04);

    const Image screen = Image::fromPicture(resourcePicture("Process Color Halftone v08 CMY 512px.png"));
    // Cyan only where red is missing; white takes no ink; alpha is kept, premultiplied.
    const Pixels cyan = readPixels(C::applyMetalKernelNamed("halftoneCMY_cheap", {solid(512, 512, 0, 1, 1, 1), screen}));
    EXPECT_NEAR(meanChannel(cyan, 0), 0.0, 1e-4);
    EXPECT_NEAR(meanChannel(cyan, 1), 1.0, 1e-4);
    EXPECT_NEAR(meanChannel(cyan, 2), 1.0, 1e-4);
    const Pixels white = readPixels(C::applyMetalKernelNamed("halftoneCMY_cheap", {grey(512, 512, 1), screen}));
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(meanChannel(white, c), 1.0, 1e-5);
    double last = -1;
    for (float v : {0.2f, 0.5f, 0.8f}) {
        const Pixels half =
            readPixels(C::applyMetalKernelNamed("halftoneCMY_cheap", {solid(512, 512, v * 0.5f, 0, 0, 0.5f), screen}));
        EXPECT_NEAR(meanChannel(half, 3), 0.5, 1e-6);
        EXPECT_NEAR(meanChannel(half, 1), 0.0, 1e-4);  // no green: magenta everywhere
        const double red = meanChannel(half, 0) / 0.5;
        EXPECT_NEAR(red, v, 0.04) << v;
        EXPECT_GT(red, last);  // lighter red, less cyan
        last = red;
    }

    // A screen smaller than the image: dots where it lies, no ink beyond it.
    const Image smallScreen = Image::fromPicture(resourcePicture("Halftone Master 512px.png"));
    const Pixels partial = readPixels(C::applyMetalKernelNamed("halftone_mono", {grey(700, 600, 0.5f), smallScreen}));
    EXPECT_EQ(partial.rect, (IRect{0, 0, 700, 600}));
    EXPECT_NEAR(meanChannel(readPixels(C::applyMetalKernelNamed("halftone_mono", {grey(512, 512, 0.5f), smallScreen})), 0),
                0.5, 0.03);
    EXPECT_EQ(partial.at(600, 100, 0), 1.0f);
    EXPECT_EQ(partial.at(100, 550, 0), 1.0f);

    // setAlpha keeps the straight colour.
    const Pixels a = readPixels(C::applyMetalKernelNamed("setAlpha", {solid(4, 4, 0.4f, 0.2f, 0.1f, 0.5f), 0.1}));
    EXPECT_NEAR(a.at(1, 1, 0), 0.08f, 1e-6);
    EXPECT_NEAR(a.at(1, 1, 1), 0.04f, 1e-6);
    EXPECT_NEAR(a.at(1, 1, 2), 0.02f, 1e-6);
    EXPECT_NEAR(a.at(1, 1, 3), 0.1f, 1e-6);
    const Pixels z = readPixels(C::applyMetalKernelNamed("setAlpha", {solid(4, 4, 0, 0, 0, 0), 0.1}));
    EXPECT_EQ(z.at(0, 0, 0), 0.0f);
    EXPECT_NEAR(z.at(0, 0, 3), 0.1f, 1e-6);
}

// The mono ink at a pixel reads the screen there and at its four neighbours only, a
// missing neighbour at the screen's edge replaced by the pixel itself: changing one screen
// pixel changes the output there and at most at its four neighbours, at corners, edges
// and across render tiles (256 × 128) alike.
TEST(Halftone, MonoInkReadsTheScreenAtAPixelAndItsNeighbours) {
    registerStyleKernels();
    const Point origin{7, 5};
    const int w = 300, h = 150;
    // A gently sloping screen with fine noise, and a tone just under it, so that the ink
    // is partial almost everywhere and follows both the screen and its gradient.
    std::mt19937 rng(3);
    std::uniform_real_distribution<float> u(0, 1);
    std::vector<float> screen(size_t(w) * h * 4), tone(screen.size());
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = (size_t(y) * w + x) * 4;
            const float s = 0.55f + 0.3f * x / w + 0.1f * y / h + 0.02f * u(rng);
            const float a = (x + y) % 5 == 0 ? 0.5f : 1.0f;
            screen[i] = screen[i + 1] = screen[i + 2] = s;
            screen[i + 3] = 1;
            tone[i] = tone[i + 1] = tone[i + 2] = (s - 0.003f) * a;
            tone[i + 3] = a;
        }
    const Image image = imageFromFloats(w, h, tone, origin);
    auto screenWith = [&](int qx, int qy) {
        std::vector<float> d = screen;
        if (qx >= 0) d[(size_t(qy) * w + qx) * 4] += 0.01f;
        return imageFromFloats(w, h, std::move(d), origin);
    };
    const Pixels base = readPixels(C::applyMetalKernelNamed("halftone_mono", {image, screenWith(-1, -1)}));
    ASSERT_EQ(base.rect, (IRect{origin.x, origin.y, w, h}));
    const int qs[][2] = {{0, 0}, {w - 1, h - 1}, {0, 70}, {w - 1, 3}, {150, 0}, {90, h - 1},
                         {255, 127}, {256, 128}, {249, 128}, {100, 60}};
    int neighbours = 0;
    for (const auto& q : qs) {
        const Pixels out = readPixels(C::applyMetalKernelNamed("halftone_mono", {image, screenWith(q[0], q[1])}));
        int changed = 0, far = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const int px = origin.x + x, py = origin.y + y;
                bool differs = false;
                for (int c = 0; c < 4; ++c) differs |= out.at(px, py, c) != base.at(px, py, c);
                const int distance = std::abs(x - q[0]) + std::abs(y - q[1]);
                changed += differs;
                far += differs && distance > 1;
                neighbours += differs && distance == 1;
            }
        EXPECT_GE(changed, 1) << "at " << q[0] << ", " << q[1];
        EXPECT_EQ(far, 0) << "at " << q[0] << ", " << q[1];
    }
    // The neighbours do read it: of the 32 that these points have, all but the odd one
    // whose ink is saturated change with it.
    EXPECT_GE(neighbours, 28);
}

TEST(Halftone, SamePixelsOnEveryTarget) {
    registerStyleKernels();
    const Image image = noiseImage(67, 9, 1, {3, 2}), screen = noiseImage(67, 9, 2, {3, 2});
    expectSameOnEveryTarget("halftoneCMY_cheap", {image, screen}, 2e-6f);
    expectSameOnEveryTarget("setAlpha", {image, 0.1}, 1e-6f);
    for (double phase : {0.0, 0.3}) expectSameOnEveryTarget("thresholdWatermark", {image, phase}, 2e-6f);
    // The mono screen with its edges inside the image's and beyond them.
    expectSameOnEveryTarget("halftone_mono", {image, screen}, 2e-6f);
    expectSameOnEveryTarget("halftone_mono", {image, noiseImage(71, 13, 3, {1, 0})}, 2e-6f);
}

TEST(Halftone, ScreenPicturesAreSeamlessDotScreens) {
    for (const char* file : {"Halftone Master 512px.png", "Process Color Halftone v08 CMY 512px.png"}) {
        const Picture p = resourcePicture(file);
        ASSERT_EQ(p.width(), 512) << file;
        ASSERT_EQ(p.height(), 512) << file;
        for (int c = 0; c < 3; ++c) {
            // The step across the seam is no larger than a typical step inside the tile.
            double seamX = 0, seamY = 0, insideX = 0, insideY = 0;
            int lo = 255, hi = 0;
            for (int i = 0; i < 512; ++i) {
                seamX += std::abs(p.pixel(0, i)[c] - p.pixel(511, i)[c]);
                seamY += std::abs(p.pixel(i, 0)[c] - p.pixel(i, 511)[c]);
                for (int j = 0; j < 511; ++j) {
                    insideX += std::abs(p.pixel(j + 1, i)[c] - p.pixel(j, i)[c]);
                    insideY += std::abs(p.pixel(i, j + 1)[c] - p.pixel(i, j)[c]);
                    lo = std::min<int>(lo, p.pixel(j, i)[c]);
                    hi = std::max<int>(hi, p.pixel(j, i)[c]);
                }
            }
            EXPECT_LE(seamX, 1.2 * insideX / 511) << file << " " << c;
            EXPECT_LE(seamY, 1.2 * insideY / 511) << file << " " << c;
            // Thresholds strictly inside 0..1: white never takes ink, black always does.
            EXPECT_GE(lo, 1) << file;
            EXPECT_LE(hi, 254) << file;
            EXPECT_GT(hi - lo, 240) << file;
        }
    }
    // The three process screens are different screens, not copies.
    const Picture cmy = resourcePicture("Process Color Halftone v08 CMY 512px.png");
    int differ01 = 0, differ02 = 0;
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x) {
            differ01 += std::abs(cmy.pixel(x, y)[0] - cmy.pixel(x, y)[1]) > 40;
            differ02 += std::abs(cmy.pixel(x, y)[0] - cmy.pixel(x, y)[2]) > 40;
        }
    EXPECT_GT(differ01, 512 * 512 / 4);
    EXPECT_GT(differ02, 512 * 512 / 4);

    // The mark: black on transparency, with clear margins for its halo.
    const Picture mark = resourcePicture("Vellari Watermark v06-03.png");
    ASSERT_EQ(mark.width(), 800);
    ASSERT_EQ(mark.height(), 260);
    int opaque = 0;
    IRect box{INT32_MAX, INT32_MAX, 0, 0};
    int x1 = -1, y1 = -1;
    for (int y = 0; y < 260; ++y)
        for (int x = 0; x < 800; ++x) {
            const uint8_t* px = mark.pixel(x, y);
            EXPECT_EQ(px[0] + px[1] + px[2], 0);
            if (px[3] == 0) continue;
            opaque += px[3] == 255;
            box.x = std::min(box.x, x), box.y = std::min(box.y, y), x1 = std::max(x1, x), y1 = std::max(y1, y);
        }
    EXPECT_GT(opaque, 800 * 260 / 10);
    EXPECT_GE(box.x, 20);
    EXPECT_GE(box.y, 20);
    EXPECT_LE(x1, 800 - 21);
    EXPECT_LE(y1, 260 - 21);
}

TEST(Halftone, MarkKernelVariesSmoothlyWithPhase) {
    registerStyleKernels();
    const Image mark = Image::fromPicture(resourcePicture("Vellari Watermark v06-03.png"));
    auto at = [&](double t) { return readPixels(C::applyMetalKernelNamed("thresholdWatermark", {mark, t})); };
    const Pixels m0 = at(0), m1 = at(1), mA = at(0.3), mB = at(0.31), mC = at(0.7);
    const Pixels src = readPixels(mark);
    // A dark shape with the mark's own alpha.
    for (size_t i = 0; i < src.data.size(); i += 4) {
        ASSERT_EQ(mA.data[i + 3], src.data[i + 3]);
        ASSERT_LE(mA.data[i], 0.5f * src.data[i + 3] + 1e-6f);
    }
    // The loop closes: phase 1 looks like phase 0; phases apart look apart; nearby phases
    // look nearly alike.
    EXPECT_TRUE(samePixels(m0, m1, 1e-4f));
    auto meanDiff = [](const Pixels& a, const Pixels& b) {
        double s = 0;
        for (size_t i = 0; i < a.data.size(); i += 4) s += std::abs(a.data[i] - b.data[i]);
        return s / double(a.data.size() / 4);
    };
    EXPECT_GT(meanDiff(mA, mC), 0.01);
    EXPECT_LT(meanDiff(mA, mB), 0.1 * meanDiff(mA, mC));
}

TEST(Watermark, OffOrMissingKeepsTheFrame) {
    QXVideoFilterVellari f;
    EXPECT_EQ(f.watermarkImageName, "Vellari Watermark v06-03");
    const Image frame = gradientScene(320, 180);
    EXPECT_FALSE(f.useWatermark);
    EXPECT_TRUE(f.addWatermark(frame).sameAs(frame));
    f.useWatermark = true;
    f.watermarkImageName = "No Such Mark";
    EXPECT_TRUE(f.addWatermark(frame).sameAs(frame));
    EXPECT_FALSE(f.addWatermark(Image()));
}

TEST(Watermark, CentredScaledMarkOnAHalo) {
    registerStyleKernels();
    QXVideoFilterVellari f;
    f.useWatermark = true;
    f.watermarkImageName = "Test Mark 400x200";
    const Image frame = grey(1920, 1080, 0.5f);
    const Image out = f.addWatermark(frame);
    ASSERT_TRUE(out);
    EXPECT_TRUE(out.samplesNearest());
    EXPECT_EQ(out.extent(), frame.extent());
    const Pixels p = readPixels(out);
    // Scale 0.75 · 1080 / 400 = 2.025: an 810 × 405 mark at (round(555), round(337.5)).
    EXPECT_EQ(darkBox(p, 0.49f), (IRect{555, 338, 810, 405}));
    EXPECT_NEAR(p.at(100, 100, 0), 0.5f, 1e-6);

    // The halo: the mark grown by r = 10 (a window of 11, five pixels a side), white at 0.8
    // lightening the frame: 0.5 · 0.2 + 0.8 = 0.9. It needs the transparent margin of the
    // framed mark to grow into: 40 · 2.025 rounds to 81 pixels inside the mark's box.
    f.watermarkImageName = "Test Framed Mark 400x200";
    const Pixels framed = readPixels(f.addWatermark(frame));
    const IRect inner{555 + 81, 338 + 81, 648, 243};
    EXPECT_EQ(darkBox(framed, 0.49f), inner);
    EXPECT_NEAR(framed.at(inner.x - 5, 500, 0), 0.9f, 1e-4);
    EXPECT_NEAR(framed.at(inner.right() + 4, 500, 0), 0.9f, 1e-4);
    EXPECT_NEAR(framed.at(900, inner.y - 5, 0), 0.9f, 1e-4);
    EXPECT_NEAR(framed.at(900, inner.bottom() + 4, 0), 0.9f, 1e-4);
    EXPECT_NEAR(framed.at(inner.x - 6, 500, 0), 0.5f, 1e-6);
    EXPECT_NEAR(framed.at(inner.right() + 5, 500, 0), 0.5f, 1e-6);
    EXPECT_NEAR(framed.at(900, inner.y - 6, 0), 0.5f, 1e-6);

    // A larger resolution scale grows the halo.
    f.currentResolution = 1080;  // resolutionScale 2: r = 20, ten pixels a side
    const Pixels wide = readPixels(f.addWatermark(frame));
    EXPECT_NEAR(wide.at(inner.x - 10, 500, 0), 0.9f, 1e-4);
    EXPECT_NEAR(wide.at(inner.x - 11, 500, 0), 0.5f, 1e-6);
    f.currentResolution = 0;
    f.watermarkImageName = "Test Mark 400x200";

    // The transform turns the mark before it is moved to the origin: 200 × 400 upright.
    f.watermarkTransform = AffineTransform{0, 1, -1, 0, 0, 0};
    EXPECT_EQ(darkBox(readPixels(f.addWatermark(frame)), 0.49f), (IRect{758, 135, 405, 810}));
    f.watermarkTransform = AffineTransform::identity();

    // Stills sit at phase 0.5 whatever the time; video runs through the phase every 15 s.
    const Pixels still = readPixels(f.addWatermark(frame));
    f.videoProcessingTime = 3.0;
    EXPECT_TRUE(samePixels(readPixels(f.addWatermark(frame)), still));
    f.videoProcessing = true;
    const Pixels early = readPixels(f.addWatermark(frame));
    EXPECT_FALSE(samePixels(early, still, 1e-3f));
    f.videoProcessingTime = 7.5;
    EXPECT_TRUE(samePixels(readPixels(f.addWatermark(frame)), still));
    f.videoProcessingTime = 22.5;
    EXPECT_TRUE(samePixels(readPixels(f.addWatermark(frame)), still, 1e-5f));
    f.videoProcessingTime = 18.0;
    EXPECT_TRUE(samePixels(readPixels(f.addWatermark(frame)), early, 1e-5f));

    // The bundle's own mark: 800 × 260 at 1.0125, inside its centred 810 × 264 box.
    f.videoProcessing = false;
    f.watermarkImageName = "Vellari Watermark v06-03";
    const IRect box = darkBox(readPixels(f.addWatermark(frame)), 0.49f);
    ASSERT_FALSE(box.empty());
    EXPECT_GE(box.x, 555);
    EXPECT_LE(box.right(), 555 + 810);
    EXPECT_GE(box.y, 408);
    EXPECT_LE(box.bottom(), 408 + 264);
    EXPECT_GT(box.w, 600);
}
