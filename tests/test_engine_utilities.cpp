// The engine's kernel library: colour-kernel formulas at their exact thresholds, the
// composite operations, colour cubes, and the shader library's loading rules.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/engine/filter_utilities.h"

using namespace vellari;
using namespace vellari::test;
using U = QXVideoFilterUtilities;

namespace {

// One row of pixels with the given red values (green 0.2, blue 0.4, opaque).
Image redRow(std::vector<float> reds) {
    const int n = int(reds.size());
    return imageFrom(n, 1, [&](int x, int, float* p) {
        p[0] = reds[size_t(x)];
        p[1] = 0.2f;
        p[2] = 0.4f;
        p[3] = 1;
    });
}

void expectPixel(const Pixels& p, int x, int y, float r, float g, float b, float a, float tol = 1e-6f) {
    EXPECT_NEAR(p.at(x, y, 0), r, tol) << "red at " << x << "," << y;
    EXPECT_NEAR(p.at(x, y, 1), g, tol) << "green at " << x << "," << y;
    EXPECT_NEAR(p.at(x, y, 2), b, tol) << "blue at " << x << "," << y;
    EXPECT_NEAR(p.at(x, y, 3), a, tol) << "alpha at " << x << "," << y;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

}  // namespace

TEST(EngineColourKernels, RangeMasksUseStrictComparisons) {
    const Color c{0.1, 0.2, 0.3, 0.4};
    Pixels two = readPixels(U::extremaValueImage(redRow({0.0f, 1.0f, 0.3f, 0.999f}), c));
    expectPixel(two, 0, 0, 0.0f, 0.2f, 0.4f, 1);  // exactly 0: untouched
    expectPixel(two, 1, 0, 1.0f, 0.2f, 0.4f, 1);  // exactly 1: untouched
    expectPixel(two, 2, 0, 0.1f, 0.2f, 0.3f, 0.4f);
    expectPixel(two, 3, 0, 0.1f, 0.2f, 0.3f, 0.4f);

    // Range 0.25: the band is (0.25, 0.75); both ends lie outside it.
    Pixels three = readPixels(U::extremaValueImage(redRow({0.25f, 0.75f, 0.5f, 0.26f, 0.1f, 0.9f}), c, 0.25));
    expectPixel(three, 0, 0, 1, 1, 1, 1);  // 0.5 − range: opaque white
    expectPixel(three, 1, 0, 0, 0, 0, 1);  // 0.5 + range: opaque black
    expectPixel(three, 2, 0, 0.1f, 0.2f, 0.3f, 0.4f);
    expectPixel(three, 3, 0, 0.1f, 0.2f, 0.3f, 0.4f);
    expectPixel(three, 4, 0, 1, 1, 1, 1);
    expectPixel(three, 5, 0, 0, 0, 0, 1);

    // A channel equal to the threshold gives 0.
    Pixels t = readPixels(U::thresholdMultichannelImage(redRow({0.5f, 0.50001f}), 0.4));
    expectPixel(t, 0, 0, 1, 0, 0, 1);
    Pixels eq = readPixels(U::thresholdMultichannelImage(redRow({0.4f}), 0.4));
    EXPECT_EQ(eq.at(0, 0, 0), 0.0f);

    // Mid-range suppression writes transparent mid-grey, stored raw.
    Pixels mid = readPixels(U::supressMidRange(redRow({0.5f, 0.7f, 0.25f, 0.75f}), 0.25));
    expectPixel(mid, 0, 0, 0.5f, 0.5f, 0.5f, 0);
    expectPixel(mid, 1, 0, 0.5f, 0.5f, 0.5f, 0);
    expectPixel(mid, 2, 0, 0.25f, 0.2f, 0.4f, 1);  // on the boundary: kept
    expectPixel(mid, 3, 0, 0.75f, 0.2f, 0.4f, 1);
    Pixels high = readPixels(U::supressHighRange(redRow({0.6f, 0.5f}), 0.5));
    expectPixel(high, 0, 0, 0, 0, 0, 0);
    expectPixel(high, 1, 0, 0, 0, 0, 1);
}

TEST(EngineColourKernels, GreyOfWideRowsHasEqualChannelsAndKeepsAlpha) {
    // Rows of 11 pixels: blocks of four and a tail. The three colour channels must be
    // exactly equal (later stages take grey pictures by that), alpha kept.
    const Image px = imageFrom(11, 3, [](int x, int y, float* p) {
        p[3] = 0.25f + 0.07f * float((x + y) % 10);
        p[0] = p[3] * float((x * 7 + y) % 13) / 13.f;
        p[1] = p[3] * float((x * 3 + 2 * y) % 11) / 11.f;
        p[2] = p[3] * float((x + 5 * y) % 7) / 7.f;
    });
    const Pixels in = readPixels(px), g = readPixels(U::grayscale(px));
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 11; ++x) {
            const float* q = in.at(x, y);
            EXPECT_NEAR(g.at(x, y, 0), 0.3f * q[0] + 0.59f * q[1] + 0.11f * q[2], 1e-6f) << x << "," << y;
            EXPECT_EQ(g.at(x, y, 1), g.at(x, y, 0));
            EXPECT_EQ(g.at(x, y, 2), g.at(x, y, 0));
            EXPECT_EQ(g.at(x, y, 3), q[3]);
        }
}

TEST(EngineColourKernels, FormulasOfTheValueKernels) {
    Image px = imageFrom(1, 1, [](int, int, float* p) { p[0] = 0.8f; p[1] = 0.5f; p[2] = 0.1f; p[3] = 0.9f; });
    Pixels g = readPixels(U::grayscale(px));
    float v = 0.3f * 0.8f + 0.59f * 0.5f + 0.11f * 0.1f;
    expectPixel(g, 0, 0, v, v, v, 0.9f);
    Pixels lips = readPixels(U::grayscaleEnhanceLips(px));
    float w = 0.5f * 0.8f + 0.5f * 0.1f;
    expectPixel(lips, 0, 0, w, w, w, 0.9f);
    Pixels sr = readPixels(U::scaleRange(px, 2.0, -0.5));
    expectPixel(sr, 0, 0, 1.0f, 0.5f, 0.0f, 0.9f);
    Pixels z = readPixels(U::maskFromZeroCrossingValues(px));
    expectPixel(z, 0, 0, 0, 0, 0, 2 * 0.3f);
    Pixels cl = readPixels(U::clampRange(imageFrom(1, 1, [](int, int, float* p) {
        p[0] = -1; p[1] = 2; p[2] = 0.5f; p[3] = 1.5f;
    })));
    expectPixel(cl, 0, 0, 0, 1, 0.5f, 1);

    Image blurred = imageFrom(1, 1, [](int, int, float* p) { p[0] = 0.6f; p[1] = 0.6f; p[2] = 0.6f; p[3] = 0.9f; });
    Pixels um = readPixels(U::unsharpMaskWithSource(px, blurred, 0.5));
    expectPixel(um, 0, 0, 0.9f, 0.45f, 0.0f, 0.9f);
    Pixels hp = readPixels(U::highPassWithSource(px, blurred, 1.0));
    expectPixel(hp, 0, 0, 0.7f, 0.4f, 0.0f, 1.0f);

    // addWeighted clamps colour, keeps a's alpha, covers both extents.
    Image a = solid(2, 1, 0.5f, 0.5f, 0.5f, 0.7f);
    Image b = solid(2, 1, 0.2f, 0.2f, 0.2f, 1, {3, 0});
    Image sum = U::addWeighted(a, b, 1.0, 1.0, 0.6);
    EXPECT_EQ(sum.extent(), (Rect{0, 0, 5, 1}));
    Pixels s = readPixels(sum);
    expectPixel(s, 0, 0, 1, 1, 1, 0.7f);
    expectPixel(s, 3, 0, 0.8f, 0.8f, 0.8f, 0);  // b only; alpha from (absent) a
}

TEST(EngineColourKernels, BilateralValueUsesTheRunningSum) {
    // Centre 0.5; neighbours left 0.3, right 0.9, top 0.0, bottom 1.0.
    Image img = imageFrom(3, 3, [](int x, int y, float* p) {
        float v = 0.5f;
        if (x == 0 && y == 1) v = 0.3f;
        if (x == 2 && y == 1) v = 0.9f;
        if (x == 1 && y == 0) v = 0.0f;
        if (x == 1 && y == 2) v = 1.0f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    double sum = 0.5, total = 1;
    for (double n : {0.3, 0.9, 0.0, 1.0}) {
        double wgt = 1 - std::abs(sum - n);
        total += wgt;
        sum += wgt * n;
    }
    Image out = U::bilateralBlurValue(img);
    EXPECT_EQ(out.extent(), img.extent());
    Pixels p = readPixels(out);
    float expect = float(std::clamp(sum / total, 0.0, 1.0));
    expectPixel(p, 1, 1, expect, expect, expect, 1, 1e-5f);
}

TEST(EngineCompositeOperations, BlursAndDifferences) {
    Image flat = solid(60, 40, 0.3f, 0.5f, 0.7f, 1, {10, 20});
    Image b = U::blurImage(flat, 4.0);
    EXPECT_EQ(b.extent(), flat.extent());
    Pixels bp = readPixels(b);
    for (size_t i = 0; i < bp.data.size(); i += 4) ASSERT_NEAR(bp.data[i], 0.3f, 1e-4f);

    // Equal blurs give 0.5 + gain; the gain is clamped.
    Pixels dog = readPixels(U::differenceOfGaussians(flat, 2.0, 5.0, 10.0, 0.2));
    expectPixel(dog, 30, 30, 0.7f, 0.7f, 0.7f, 1, 1e-4f);
    Pixels self = readPixels(U::differenceImageA(flat, flat, 3.0, 0.8));
    expectPixel(self, 12, 22, 1, 1, 1, 1);

    // A lower radius of 0 uses the image itself as the lower term.
    Image edge = imageFrom(40, 10, [](int x, int, float* p) { p[0] = p[1] = p[2] = x < 20 ? 0.2f : 0.8f; p[3] = 1; });
    Image upper = edge.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", 3.0}});
    Pixels want = readPixels(U::addWeighted(edge, upper, 2.0, -2.0, 0.5).cropped(edge.extent()));
    Pixels got = readPixels(U::differenceOfGaussians(edge, 0.0, 3.0, 2.0, 0.0));
    for (size_t i = 0; i < want.data.size(); ++i) ASSERT_NEAR(got.data[i], want.data[i], 1e-6f);
    EXPECT_LT(got.at(19, 5, 0), 0.4f);  // dark side of the edge darker than mid-grey
    EXPECT_GT(got.at(20, 5, 0), 0.6f);
}

TEST(EngineCompositeOperations, CubesAlphaAndSizes) {
    // A 32 x 1024 identity table whose alpha is 0 everywhere: alpha must be ignored.
    const int n = 32;
    Picture lut(n, n * n);
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                uint8_t* px = lut.pixel(r, b * n + g);
                px[0] = uint8_t(std::lround(r * 255.0 / (n - 1)));
                px[1] = uint8_t(std::lround(g * 255.0 / (n - 1)));
                px[2] = uint8_t(std::lround(b * 255.0 / (n - 1)));
                px[3] = 0;
            }
    FilterPtr cube = U::createColorCubeFilter(lut);
    ASSERT_TRUE(cube);
    EXPECT_DOUBLE_EQ(cube->value("inputCubeDimension").number(), 32);
    Image colours = imageFrom(16, 16, [](int x, int y, float* p) {
        p[0] = x / 15.0f;
        p[1] = y / 15.0f;
        p[2] = float((x * y) % 16) / 15.0f;
        p[3] = 1;
    });
    cube->setValue("inputImage", colours);
    Pixels in = readPixels(colours), out = readPixels(cube->outputImage());
    for (size_t i = 0; i < in.data.size(); ++i) ASSERT_NEAR(out.data[i], in.data[i], 0.6f / 255.0f) << i;
    // Too small a table is refused instead of being read past its end.
    EXPECT_FALSE(U::createColorCubeFilter(Picture(32, 100)));
    EXPECT_FALSE(U::createColorCubeFilter(Picture()));

    Image opaque = solid(4, 4, 0.6f, 0.4f, 0.2f, 1);
    Pixels half = readPixels(U::setImageAlpha(opaque, 0.5));
    expectPixel(half, 1, 1, 0.3f, 0.2f, 0.1f, 0.5f, 1e-6f);  // straight colour kept

    EXPECT_TRUE(U::makeImage(opaque, {4, 4}).sameAs(opaque));
    Image bigger = U::makeImage(opaque, {8, 2});
    EXPECT_EQ(bigger.extent(), (Rect{0, 0, 8, 2}));
}

TEST(EngineShaderLibrary, LoadingRulesAndNamedKernels) {
    // The engine's kernels are in the bundled library and load by name.
    for (const char* name : {"addWeighted", "grayscale", "thresholdMultichannelImage", "scaleRange", "extremaValueImage",
                             "maskFromZeroCrossingValues", "supressMidRange_range", "unsharpMaskWithSource"})
        EXPECT_TRUE(U::loadMetalCIKernel(name)) << name;

    // Named kernels compute what their same-named colour kernels compute.
    Image px = solid(3, 2, 0.8f, 0.5f, 0.1f, 1);
    Pixels byName = readPixels(U::applyMetalKernelNamed("grayscale", px.extent(), {px}));
    Pixels compiled = readPixels(U::grayscale(px));
    EXPECT_EQ(byName.data, compiled.data);
    Pixels ext = readPixels(QXCoreImageUtilities::applyMetalKernelNamed(
        "extremaValueImage", {redRow({0.3f}), Color{1, 0, 0, 1}, 0.25}));
    expectPixel(ext, 0, 0, 1, 0, 0, 1);

    // Unknown names give no kernel and no image, and are not remembered as failures.
    std::string dir = tempDir();
    writeFile(dir + "/default.metallib", "test.lateKernel\n");
    QXShaderLibrary::resetForTesting();
    Bundle b(dir);
    EXPECT_FALSE(QXShaderLibrary::kernelNamed("test.lateKernel", b));
    EXPECT_TRUE(U::applyMetalKernelNamed("test.lateKernel", px.extent(), {px}, b).isNull());
    KernelRegistry::add(Kernel::makeColor("test.lateKernel", [](const ColorSpan& s) {
        for (int i = 0; i < s.n * 4; ++i) s.dst[i] = 0.25f;
    }));
    EXPECT_TRUE(QXShaderLibrary::kernelNamed("test.lateKernel", b));
    EXPECT_FALSE(QXShaderLibrary::kernelNamed("grayscale", b));  // not in this library

    // A missing library resource fails every kernel, and the next request tries again.
    std::string empty = tempDir();
    QXShaderLibrary::resetForTesting();
    Bundle e(empty);
    EXPECT_FALSE(QXShaderLibrary::kernelNamed("grayscale", e));
    writeFile(empty + "/default.metallib", "grayscale\n");
    EXPECT_TRUE(QXShaderLibrary::kernelNamed("grayscale", e));
    QXShaderLibrary::resetForTesting();
}

TEST(EngineShaderLibrary, KernelSourcesAndTheScrambledFallback) {
    std::string dir = tempDir();
    Bundle b(dir);
    writeFile(dir + "/plain.cikernel", "kernel vec4 plain(sampler s) { return sample(s, samplerCoord(s)); }");
    EXPECT_EQ(U::loadKernelSource("plain", b), "kernel vec4 plain(sampler s) { return sample(s, samplerCoord(s)); }");

    const std::string text = "kernel vec4 hidden(__sample s) { return s.rgba * 0.5; } // longer than the key";
    std::string scrambled = xorString(reinterpret_cast<const uint8_t*>(text.data()), int32_t(text.size()),
                                      kKernelSourceKey, 32);
    ASSERT_EQ(scrambled.size(), text.size() + 1);  // the terminating zero comes with it
    writeFile(dir + "/hidden.enc", scrambled);
    EXPECT_EQ(U::loadKernelSource("hidden", b), text);
    EXPECT_EQ(U::loadKernelSource("absent", b), "");
}
