// The ink-blob layer: its kernels on hand-made pixels, the recipes of every blob type,
// the radius bookkeeping of the frame pipeline and the "shadows" threshold adjustment.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <random>
#include <set>
#include <vector>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/simd.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;
using namespace vellari::test;
using C = QXCoreImageUtilities;

namespace {

class BlobsTest : public ::testing::Test {
protected:
    void SetUp() override {
        registerStyleKernels();  // every kernel of the styles, blobs included
    }
};
using BlobKernels = BlobsTest;

Image row(const std::vector<std::array<float, 4>>& px) {
    return imageFrom(int(px.size()), 1, [&](int x, int, float* p) {
        for (int c = 0; c < 4; ++c) p[c] = px[size_t(x)][size_t(c)];
    });
}

Image greyRow(const std::vector<float>& values) {
    std::vector<std::array<float, 4>> px;
    for (float v : values) px.push_back({v, v, v, 1});
    return row(px);
}

void expectPixel(const Pixels& p, int x, int y, std::array<float, 4> want, float tol = 1e-6f) {
    for (int c = 0; c < 4; ++c) EXPECT_NEAR(p.at(x, y, c), want[size_t(c)], tol) << "channel " << c << " at " << x << "," << y;
}

Pixels run(const std::string& name, const std::vector<KernelArg>& args) {
    Image out = C::applyMetalKernelNamed(name, args);
    EXPECT_TRUE(out) << name << " is not in the shader library";
    // A missing kernel reads as transparent pixels, so the checks fail rather than crash.
    if (!out) return readPixels(Image::constantColor(Color::clear()), firstImageExtent(args).integral());
    return readPixels(out);
}

float maxDifference(const Image& a, const Image& b) {
    EXPECT_EQ(a.extent(), b.extent());
    const Pixels pa = readPixels(a), pb = readPixels(b, a.extent().integral());
    float m = 0;
    for (size_t i = 0; i < pa.data.size(); ++i) m = std::max(m, std::abs(pa.data[i] - pb.data[i]));
    return m;
}

// Mid-grey ground with a dark square on the left and a bright one on the right, placed off
// the origin so that extents are checked too.
const Point kOrigin{7, 5};
Image squares() {
    return imageFrom(
        200, 120,
        [](int x, int y, float* p) {
            float v = 0.5f;
            if (y >= 40 && y < 80 && x >= 30 && x < 70) v = 0.1f;
            if (y >= 40 && y < 80 && x >= 130 && x < 170) v = 0.9f;
            p[0] = p[1] = p[2] = v;
            p[3] = 1;
        },
        kOrigin);
}
// Centres of the two squares and a far corner of the ground, in image coordinates.
const int kDarkX = 7 + 50, kBrightX = 7 + 150, kMidY = 5 + 60, kGroundX = 7 + 100, kGroundY = 5 + 5;

Image photo() {
    PictureResult r = readPicture(dataPath("photos/chelsea.png"));
    EXPECT_TRUE(r.ok()) << r.error;
    return Image::fromPicture(r.picture).translated(kOrigin.x, kOrigin.y);
}

// Left half orange-red, right half dark blue.
Image twoColours() {
    return imageFrom(
        160, 80,
        [](int x, int, float* p) {
            const bool left = x < 80;
            p[0] = left ? 0.8f : 0.1f;
            p[1] = left ? 0.3f : 0.2f;
            p[2] = left ? 0.2f : 0.4f;
            p[3] = 1;
        },
        kOrigin);
}

// Runs the rest of a scope on one instruction set, and restores the usual choice after.
struct OnTarget {
    explicit OnTarget(int64_t t) { simd::setTargetForTest(t); }
    ~OnTarget() { simd::setTargetForTest(0); }
};

// Premultiplied noise 67 pixels wide, so that every target meets whole vectors and a
// tail: with transparent and translucent pixels, greys, exact ties between channels,
// channels exactly at 0.4 (the thresholds below) and values beyond 0..1.
Image targetNoise(unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0, 1);
    return imageFrom(
        67, 9,
        [&](int x, int y, float* p) {
            const int k = x + 67 * y;
            float a = u(rng);
            if (k % 11 == 0) a = 0;
            if (k % 3 == 0) a = 1;
            for (int c = 0; c < 3; ++c) p[c] = u(rng);
            if (k % 5 == 1) p[1] = p[0];           // tie
            if (k % 7 == 2) p[2] = p[1] = p[0];    // grey
            if (k % 13 == 4) p[k % 3] = 0.4f;      // at the threshold
            if (k % 17 == 6) p[0] = 1.3f, p[2] = -0.1f;
            for (int c = 0; c < 3; ++c) p[c] *= a;
            p[3] = a;
        },
        kOrigin);
}

// The kernel gives the same pixels on every instruction set this machine runs as on the
// portable one (the last), within tol.
void expectSameOnEveryTarget(const std::string& name, const std::vector<KernelArg>& args, float tol) {
    const std::vector<int64_t> targets = simd::machineTargets();
    ASSERT_FALSE(targets.empty());
    Pixels reference;
    {
        OnTarget on(targets.back());
        reference = run(name, args);
    }
    for (int64_t t : targets) {
        OnTarget on(t);
        const Pixels p = run(name, args);
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

TEST_F(BlobKernels, WinnerTakeAllVariants) {
    // Ties go to red, then green; the last pixel is premultiplied at half opacity.
    const Image in = row({{0.8f, 0.3f, 0.2f, 1},
                          {0.1f, 0.6f, 0.5f, 1},
                          {0.2f, 0.3f, 0.9f, 1},
                          {0.5f, 0.5f, 0.5f, 1},
                          {0.3f, 0.6f, 0.6f, 1},
                          {0, 0, 0, 1},
                          {0.8f, 0.7f, 0.65f, 1},
                          {0.8f, 0.7f, 0.55f, 1},
                          {0.4f, 0.1f, 0.05f, 0.5f}});

    const Pixels plain = run("maxComponentWinnerTakeAll", {in});
    expectPixel(plain, 0, 0, {0.8f, 0, 0, 1});
    expectPixel(plain, 1, 0, {0, 0.6f, 0, 1});
    expectPixel(plain, 2, 0, {0, 0, 0.9f, 1});
    expectPixel(plain, 3, 0, {0.5f, 0, 0, 1});
    expectPixel(plain, 4, 0, {0, 0.6f, 0, 1});
    expectPixel(plain, 5, 0, {0, 0, 0, 1});
    expectPixel(plain, 8, 0, {0.4f, 0, 0, 0.5f});

    // Tone classes by the winning value, whatever the hue: above 0.6 light (red), above
    // 0.3 middle (green), the rest dark (blue); exactly at a bound falls below it.
    const Pixels thr = run("maxComponentWinnerTakeAllMaxThreshold", {in, 0.6});
    expectPixel(thr, 0, 0, {1, 0, 0, 1});
    expectPixel(thr, 1, 0, {0, 1, 0, 1});     // 0.6 is not above 0.6
    expectPixel(thr, 2, 0, {1, 0, 0, 1});     // blue hue, light tone
    expectPixel(thr, 3, 0, {0, 1, 0, 1});
    expectPixel(thr, 5, 0, {0, 0, 1, 1});     // black
    expectPixel(thr, 8, 0, {0.5f, 0, 0, 0.5f});  // 0.4 at half opacity is 0.8: light

    const Pixels mx = run("maxComponentWinnerTakeAllMax", {in});
    expectPixel(mx, 0, 0, {1, 0, 0, 1});
    expectPixel(mx, 1, 0, {0, 1, 0, 1});
    expectPixel(mx, 2, 0, {0, 0, 1, 1});
    expectPixel(mx, 4, 0, {0, 1, 0, 1});
    expectPixel(mx, 8, 0, {1, 0, 0, 0.5f});

    // Winner minus runner-up: a tie scores nothing.
    const Pixels sc = run("maxComponentWinnerTakeAllScaled", {in});
    expectPixel(sc, 0, 0, {0.5f, 0, 0, 1});
    expectPixel(sc, 1, 0, {0, 0.1f, 0, 1});
    expectPixel(sc, 2, 0, {0, 0, 0.6f, 1});
    expectPixel(sc, 3, 0, {0, 0, 0, 1});
    expectPixel(sc, 4, 0, {0, 0, 0, 1});

    // Saturation (max − min) / max below 0.25 falls into no class.
    const Pixels sat = run("maxComponentWinnerTakeAllWithSaturationThreshold", {in, 0.25});
    expectPixel(sat, 0, 0, {0.8f, 0, 0, 1});
    expectPixel(sat, 1, 0, {0, 0.6f, 0, 1});
    expectPixel(sat, 3, 0, {0, 0, 0, 1});      // grey
    expectPixel(sat, 4, 0, {0, 0.6f, 0, 1});   // saturation 0.5
    expectPixel(sat, 5, 0, {0, 0, 0, 1});      // black
    expectPixel(sat, 6, 0, {0, 0, 0, 1});      // saturation 0.1875
    expectPixel(sat, 7, 0, {0.8f, 0, 0, 1});   // saturation 0.3125
    expectPixel(sat, 8, 0, {0.4f, 0, 0, 0.5f});

    // Every map marks at most one class per pixel.
    for (const Pixels* p : {&plain, &thr, &mx, &sc, &sat})
        for (int x = 0; x < 9; ++x) {
            int lit = 0;
            for (int c = 0; c < 3; ++c) lit += p->at(x, 0, c) != 0;
            EXPECT_LE(lit, 1) << "pixel " << x;
        }
}

TEST_F(BlobKernels, ThresholdsAndTwoColourSplit) {
    const Image in = row({{0.2f, 0.4f, 0.6f, 1}, {0.1f, 0.5f, 0.9f, 0.9f}, {0.9f, 0.2f, 0.1f, 1}});
    const Pixels inv = run("thresholdMultichannelImageInvert", {in, 0.4});
    expectPixel(inv, 0, 0, {1, 1, 0, 1});  // at the threshold counts as below
    expectPixel(inv, 1, 0, {1, 0, 0, 0.9f});
    expectPixel(inv, 2, 0, {0, 1, 1, 1});
    // Its complement is the engine's threshold: together they light each channel once.
    const Pixels fwd = run("thresholdMultichannelImage", {in, 0.4});
    for (int x = 0; x < 3; ++x)
        for (int c = 0; c < 3; ++c) EXPECT_EQ(inv.at(x, 0, c) + fwd.at(x, 0, c), 1.0f);

    // Blue, green, red order: output red comes from input blue.
    const Pixels bgr = run("thresholdMultichannelImageInvertBGR", {in, 0.4});
    expectPixel(bgr, 0, 0, {0, 1, 1, 1});
    expectPixel(bgr, 1, 0, {0, 0, 1, 0.9f});
    expectPixel(bgr, 2, 0, {1, 1, 0, 1});

    const Color lo{0.2, 0.1, 0.6, 1}, hi{1, 0.9, 0.7, 0.5};
    const Pixels two = run("thresholdAndColorizeValueImage", {greyRow({0.3f, 0.4f, 0.5f}), 0.4, lo, hi});
    expectPixel(two, 0, 0, {0.2f, 0.1f, 0.6f, 1});
    expectPixel(two, 1, 0, {0.2f, 0.1f, 0.6f, 1});
    expectPixel(two, 2, 0, {1, 0.9f, 0.7f, 0.5f});  // colours are stored as given
}

TEST_F(BlobKernels, QuantizeAndGammaRamp) {
    const Image ramp = greyRow({0, 0.24f, 0.25f, 0.99f, 1, -0.1f, 1.5f});
    const Pixels q4 = run("quantize", {ramp, 4.0});
    const float want[] = {0.125f, 0.125f, 0.375f, 0.875f, 0.875f, 0.125f, 0.875f};
    for (int x = 0; x < 7; ++x) {
        expectPixel(q4, x, 0, {want[x], want[x], want[x], 1});
    }
    const Pixels q1 = run("quantize", {ramp, 1.0});
    for (int x = 0; x < 7; ++x) EXPECT_FLOAT_EQ(q1.at(x, 0, 0), 0.5f);
    // Fractional counts round: 2.6 bands are 3.
    const Pixels q3 = run("quantize", {greyRow({0.3f, 0.5f, 0.7f}), 2.6});
    EXPECT_NEAR(q3.at(0, 0, 0), 1 / 6.0f, 1e-6f);
    EXPECT_NEAR(q3.at(1, 0, 0), 0.5f, 1e-6f);
    EXPECT_NEAR(q3.at(2, 0, 0), 5 / 6.0f, 1e-6f);

    const std::string k = "colorizeLowerRangeWithGammaQuantizeInValueImage";
    const Color lo{0, 0, 0, 1}, hi{1, 0.5, 0, 1};
    const Vector fill{1, 1, 1, 1};
    const Image v = greyRow({0.25f, 0.5f, 0.6f, 0, 0.45f, 0.1f});
    const Pixels linear = run(k, {v, lo, hi, 1.0, -1.0, 0.5, fill});
    expectPixel(linear, 0, 0, {0.5f, 0.25f, 0, 1});
    expectPixel(linear, 1, 0, {1, 1, 1, 1});  // at the threshold: fill
    expectPixel(linear, 2, 0, {1, 1, 1, 1});
    expectPixel(linear, 3, 0, {0, 0, 0, 1});
    expectPixel(linear, 4, 0, {0.9f, 0.45f, 0, 1});
    // Gamma 0 or below counts as 1; gamma 2 squares the ramp.
    EXPECT_EQ(readPixels(C::applyMetalKernelNamed(k, {v, lo, hi, 0.0, -1.0, 0.5, fill})).data, linear.data);
    EXPECT_EQ(readPixels(C::applyMetalKernelNamed(k, {v, lo, hi, -2.0, -1.0, 0.5, fill})).data, linear.data);
    const Pixels squared = run(k, {v, lo, hi, 2.0, -1.0, 0.5, fill});
    expectPixel(squared, 0, 0, {0.25f, 0.125f, 0, 1});
    // Three levels: 0, ½ and 1 of the way; one level is no quantisation.
    const Pixels three = run(k, {v, lo, hi, 1.0, 3.0, 0.5, fill});
    expectPixel(three, 0, 0, {0.5f, 0.25f, 0, 1});
    expectPixel(three, 4, 0, {1, 0.5f, 0, 1});
    expectPixel(three, 5, 0, {0, 0, 0, 1});
    EXPECT_EQ(readPixels(C::applyMetalKernelNamed(k, {v, lo, hi, 1.0, 1.0, 0.5, fill})).data, linear.data);
    // Nothing lies below a zero threshold.
    const Pixels none = run(k, {v, lo, hi, 1.0, -1.0, 0.0, fill});
    for (int x = 0; x < 6; ++x) expectPixel(none, x, 0, {1, 1, 1, 1});
}

TEST_F(BlobsTest, FramePipelineRadiiAndResult) {
    QXVideoFilterVellari f;  // outputFactor 2, resolutionScale 1
    ASSERT_EQ(f.outputFactor, 2.0);
    ASSERT_EQ(f.resolutionScale(), 1.0);
    const Image in = photo();

    const Image a = C::blurImage(in, 4, 0.5), b = C::blurImage(in, 150, 0.5);
    const auto maskOf = [](const Image& x, const Image& y, double t) {
        const Image g = C::applyMetalKernelNamed("grayscale", {C::differenceImageA(x, y, 1.0, 0.0)});
        return C::applyMetalKernelNamed("thresholdMultichannelImage", {g, t});
    };
    const Image type1 = f.createBlobs(in, 8, 300, 0.4, 1);
    ASSERT_TRUE(type1);
    EXPECT_EQ(type1.extent(), in.extent());
    EXPECT_TRUE(type1.samplesNearest());
    EXPECT_EQ(maxDifference(type1, maskOf(a, b, 0.4)), 0.0f);
    // The comparison can tell the radii apart: the unscaled radii give another mask.
    EXPECT_GT(maxDifference(type1, maskOf(C::blurImage(in, 8, 0.5), C::blurImage(in, 300, 0.5), 0.4)), 0.5f);

    // Type 10 reads the prescaled lower blur directly; type 7 a full-size blur of radius 4.
    const Image type10 = f.createBlobs(in, 8, 300, 0.4, 10);
    EXPECT_EQ(maxDifference(type10, C::applyMetalKernelNamed("maxComponentWinnerTakeAllWithSaturationThreshold",
                                                             {a, 0.25})),
              0.0f);
    const Image type7 = f.createBlobs(in, 8, 300, 0.4, 7);
    EXPECT_EQ(maxDifference(type7, C::applyMetalKernelNamed("maxComponentWinnerTakeAllMax", {C::blurImage(in, 4)})),
              0.0f);

    // A larger output factor shrinks the radii alike.
    f.outputFactor = 4;
    EXPECT_EQ(maxDifference(f.createBlobs(in, 16, 600, 0.4, 1), type1), 0.0f);
}

TEST_F(BlobsTest, TypesWithoutImage) {
    QXVideoFilterVellari f;
    const Image in = squares();
    for (int type : {0, -1, 11, 1000}) EXPECT_FALSE(f.createBlobs(in, 8, 300, 0.4, type)) << "type " << type;
    for (int type = 1; type <= 10; ++type) {
        const Image out = f.createBlobs(in, 8, 300, 0.4, type);
        ASSERT_TRUE(out) << "type " << type;
        EXPECT_EQ(out.extent(), in.extent()) << "type " << type;
        EXPECT_TRUE(out.samplesNearest()) << "type " << type;
        EXPECT_FALSE(f.createBlobs(Image(), 8, 300, 0.4, type)) << "type " << type;
    }
}

TEST_F(BlobsTest, ThresholdedDifferenceMask) {
    QXVideoFilterVellari f;
    const Image in = squares();
    const Pixels m = readPixels(f.createBlobs(in, 8, 300, 0.4, 1));
    std::set<float> values;
    for (size_t i = 0; i < m.data.size(); i += 4)
        for (int c = 0; c < 3; ++c) values.insert(m.data[i + size_t(c)]);
    EXPECT_EQ(values, (std::set<float>{0.0f, 1.0f}));
    expectPixel(m, kDarkX, kMidY, {0, 0, 0, 1});
    expectPixel(m, kBrightX, kMidY, {1, 1, 1, 1});
    expectPixel(m, kGroundX, kGroundY, {1, 1, 1, 1});

    // Strength and gain shape the difference: at weight 0 it is 0.5 + gain everywhere.
    f.blobsStrength = 0;
    EXPECT_EQ(readPixels(f.createBlobs(in, 8, 300, 0.4, 1)).at(kDarkX, kMidY, 0), 1.0f);
    f.blobsGain = -0.2;
    EXPECT_EQ(readPixels(f.createBlobs(in, 8, 300, 0.4, 1)).at(kBrightX, kMidY, 0), 0.0f);
    // A strong gain lifts the dark square over the threshold.
    f.blobsStrength = 1;
    f.blobsGain = 0.45;
    EXPECT_EQ(readPixels(f.createBlobs(in, 8, 300, 0.4, 1)).at(kDarkX, kMidY, 0), 1.0f);

    // Type 9 inverts per channel and greys: the dark square white, the bright one black.
    f.blobsGain = 0;
    const Pixels inv = readPixels(f.createBlobs(in, 8, 300, 0.4, 9));
    expectPixel(inv, kDarkX, kMidY, {1, 1, 1, 1}, 1e-5f);
    expectPixel(inv, kBrightX, kMidY, {0, 0, 0, 1});
}

TEST_F(BlobsTest, ColouredDifferences) {
    QXVideoFilterVellari f;
    const Image in = squares();
    // Without blob colours both ranges are transparent black.
    const Pixels bare = readPixels(f.createBlobs(in, 8, 300, 0.4, 2));
    expectPixel(bare, kDarkX, kMidY, {0, 0, 0, 0});
    expectPixel(bare, kGroundX, kGroundY, {0, 0, 0, 0});

    const Color lo{0.2, 0.1, 0.6, 1}, hi{1, 0.9, 0.7, 1};
    f.blobsColorLower = lo;
    f.blobsColorUpper = hi;
    const Pixels two = readPixels(f.createBlobs(in, 8, 300, 0.4, 2));
    expectPixel(two, kDarkX, kMidY, {0.2f, 0.1f, 0.6f, 1});
    expectPixel(two, kGroundX, kGroundY, {1, 0.9f, 0.7f, 1});
    expectPixel(two, kBrightX, kMidY, {1, 0.9f, 0.7f, 1});

    // Type 4: the dark square on the ramp strictly between the colours, the rest white.
    const Pixels ramp = readPixels(f.createBlobs(in, 8, 300, 0.4, 4));
    expectPixel(ramp, kGroundX, kGroundY, {1, 1, 1, 1});
    expectPixel(ramp, kBrightX, kMidY, {1, 1, 1, 1});
    const float r = ramp.at(kDarkX, kMidY, 0);
    EXPECT_GT(r, 0.2f);
    EXPECT_LT(r, 1.0f);
    // Two levels snap the dark square's low ramp position to the lower colour.
    f.blobsColorLevels = 2;
    expectPixel(readPixels(f.createBlobs(in, 8, 300, 0.4, 4)), kDarkX, kMidY, {0.2f, 0.1f, 0.6f, 1});
}

TEST_F(BlobsTest, WinnerTakeAllTypes) {
    QXVideoFilterVellari f;
    const Image in = twoColours();
    const int lx = kOrigin.x + 30, rx = kOrigin.x + 130, y = kOrigin.y + 40;
    // Threshold 1 or more: the plain map of the radius-4 blur.
    const Image plain = C::applyMetalKernelNamed("maxComponentWinnerTakeAll", {C::blurImage(in, 4)});
    for (double t : {1.0, 1.5}) EXPECT_EQ(maxDifference(f.createBlobs(in, 8, 300, t, 5), plain), 0.0f);
    const Pixels p = readPixels(plain);
    expectPixel(p, lx, y, {0.8f, 0, 0, 1}, 1e-5f);
    expectPixel(p, rx, y, {0, 0, 0.4f, 1}, 1e-5f);
    // Threshold 0 inverts: the winner goes out, the losers light up.
    const Pixels zero = readPixels(f.createBlobs(in, 8, 300, 0.0, 5));
    expectPixel(zero, lx, y, {0, 1, 1, 1});
    expectPixel(zero, rx, y, {1, 1, 0, 1});
    const Pixels half = readPixels(f.createBlobs(in, 8, 300, 0.5, 5));
    expectPixel(half, lx, y, {0, 1, 1, 1});
    expectPixel(half, rx, y, {1, 1, 1, 1});

    // Type 6 classes by tone: the bright red side is light, the dark blue side middle.
    const Pixels six = readPixels(f.createBlobs(in, 8, 300, 0.5, 6));
    expectPixel(six, lx, y, {1, 0, 0, 1}, 1e-5f);
    expectPixel(six, rx, y, {0, 1, 0, 1});
    // Types 7, 8 and 10 ignore the threshold.
    for (int type : {7, 8, 10})
        EXPECT_EQ(maxDifference(f.createBlobs(in, 8, 300, 0.1, type), f.createBlobs(in, 8, 300, 0.9, type)), 0.0f)
            << "type " << type;
    expectPixel(readPixels(f.createBlobs(in, 8, 300, 0.4, 7)), rx, y, {0, 0, 1, 1});
    expectPixel(readPixels(f.createBlobs(in, 8, 300, 0.4, 8)), lx, y, {0.5f, 0, 0, 1}, 1e-5f);
    expectPixel(readPixels(f.createBlobs(in, 8, 300, 0.4, 10)), rx, y, {0, 0, 0.4f, 1}, 1e-5f);
}

TEST_F(BlobsTest, StriationsAndShadowsThreshold) {
    QXVideoFilterVellari f;
    const Image in = photo();
    // Without striations type 3 is type 1 at the adjusted threshold, pixel for pixel.
    f.customData = std::map<std::string, double>{{"shadows", 0.5}};
    const double t = f.customShadowsThresholdForThreshold(0.4);
    EXPECT_DOUBLE_EQ(t, 0.45);
    const Image three = f.createBlobs(in, 8, 300, 0.4, 3);
    EXPECT_EQ(maxDifference(three, f.createBlobs(in, 8, 300, t, 1)), 0.0f);
    EXPECT_GT(maxDifference(three, f.createBlobs(in, 8, 300, 0.4, 1)), 0.5f);
    // Bands in the lower blur change the masses.
    f.blobsStriationsLower = 4;
    EXPECT_GT(maxDifference(f.createBlobs(in, 8, 300, 0.4, 3), three), 0.5f);
    f.blobsStriationsLower = 0;
    f.blobsStriationsUpper = 3;
    EXPECT_GT(maxDifference(f.createBlobs(in, 8, 300, 0.4, 3), three), 0.5f);
    f.blobsStriationsUpper = 0;

    f.blobsColorLower = Color{0.1, 0.2, 0.5, 1};
    f.blobsColorUpper = Color{0.9, 0.8, 0.6, 1};
    // Shadows −1: threshold 0, so type 3 is type 1 at 0 and type 4 is all fill.
    f.customData = std::map<std::string, double>{{"shadows", -1.0}};
    EXPECT_EQ(maxDifference(f.createBlobs(in, 8, 300, 0.4, 3), f.createBlobs(in, 8, 300, 0.0, 1)), 0.0f);
    const Pixels white = readPixels(f.createBlobs(in, 8, 300, 0.4, 4));
    for (float v : white.data) ASSERT_EQ(v, 1.0f);
    // Shadows +1: threshold 0.5 for both.
    f.customData = std::map<std::string, double>{{"shadows", 1.0}};
    EXPECT_EQ(maxDifference(f.createBlobs(in, 8, 300, 0.4, 3), f.createBlobs(in, 8, 300, 0.5, 1)), 0.0f);
    const Image four = f.createBlobs(in, 8, 300, 0.4, 4);
    f.customData.reset();
    EXPECT_EQ(maxDifference(four, f.createBlobs(in, 8, 300, 0.5, 4)), 0.0f);
    EXPECT_GT(maxDifference(four, f.createBlobs(in, 8, 300, 0.4, 4)), 0.1f);
}

// Every type on a photo, with the share of dark pixels of the black-and-white masks in a
// plausible range. With VELLARI_BLOBS_SHEET set, the tiles are written there as a PNG.
TEST_F(BlobsTest, ContactSheetOfEveryType) {
    QXVideoFilterVellari f;
    f.blobsColorLower = Color{0.15, 0.2, 0.45, 1};
    f.blobsColorUpper = Color{1, 0.95, 0.8, 1};
    f.blobsColorLevels = 4;
    const Image in = photo();
    const Rect e = in.extent();
    std::vector<Image> tiles{in};
    for (int type = 1; type <= 10; ++type) {
        const Image b = f.createBlobs(in, 8, 300, 0.4, type);
        ASSERT_TRUE(b);
        tiles.push_back(b);
        if (type == 1 || type == 3) {
            const Pixels p = readPixels(b);
            size_t dark = 0;
            for (size_t i = 0; i < p.data.size(); i += 4) dark += p.data[i] == 0;
            const double share = double(dark) / double(p.data.size() / 4);
            EXPECT_GT(share, 0.05) << "type " << type;
            EXPECT_LT(share, 0.6) << "type " << type;
        }
    }
    f.blobsStriationsLower = 5;
    f.blobsStriationsUpper = 3;
    tiles.push_back(f.createBlobs(in, 8, 300, 0.4, 3));

    const char* out = std::getenv("VELLARI_BLOBS_SHEET");
    if (!out) return;
    const int cols = 4, w = int(e.width), h = int(e.height);
    Image sheet = Image::constantColor(Color{0.3, 0.3, 0.3, 1})
                      .cropped(Rect{0, 0, double(cols * (w + 4)), double(3 * (h + 4))});
    for (size_t i = 0; i < tiles.size(); ++i) {
        const double x = double(i % cols) * (w + 4) + 2 - e.x, y = double(i / cols) * (h + 4) + 2 - e.y;
        sheet = tiles[i].translated(x, y).compositedOver(sheet);
    }
    const Picture pic = defaultContext().createPicture(sheet, sheet.extent());
    EXPECT_EQ(writePicture(pic, out, PictureFormat::PNG), "");
}

TEST_F(BlobKernels, SamePixelsOnEveryTarget) {
    const Image in = targetNoise(1);
    const Color lo{0.2, 0.1, 0.6, 1}, hi{1, 0.9, 0.7, 0.5};
    // Classes and thresholds are compares of the stored values: exactly alike.
    expectSameOnEveryTarget("maxComponentWinnerTakeAll", {in}, 0);
    expectSameOnEveryTarget("maxComponentWinnerTakeAllMax", {in}, 0);
    // Winner minus runner-up is arithmetic, rounded in either order.
    expectSameOnEveryTarget("maxComponentWinnerTakeAllScaled", {in}, 1e-6f);
    expectSameOnEveryTarget("maxComponentWinnerTakeAllMaxThreshold", {in, 0.6}, 0);
    expectSameOnEveryTarget("maxComponentWinnerTakeAllWithSaturationThreshold", {in, 0.25}, 0);
    expectSameOnEveryTarget("thresholdMultichannelImageInvert", {in, 0.4}, 0);
    expectSameOnEveryTarget("thresholdMultichannelImageInvertBGR", {in, 0.4}, 0);
    expectSameOnEveryTarget("thresholdAndColorizeValueImage", {in, 0.4, lo, hi}, 0);
    expectSameOnEveryTarget("quantize", {in, 4.0}, 0);
    expectSameOnEveryTarget("quantize", {in, 2.6}, 0);
    // The ramp's power may differ in the last bits between targets.
    for (double gamma : {1.0, 2.0, 0.6})
        for (double levels : {-1.0, 4.0})
            expectSameOnEveryTarget("colorizeLowerRangeWithGammaQuantizeInValueImage",
                                    {in, lo, hi, gamma, levels, 0.7, Color{1, 1, 1, 1}}, 2e-6f);
}
