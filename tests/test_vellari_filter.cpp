// The stylising filter: defaults, resolution bookkeeping, value remapping, look-up tables,
// the frame pipeline and the line layer.

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;
using namespace vellari::test;
using C = QXCoreImageUtilities;

namespace {


Image photo(const std::string& name) {
    PictureResult r = readPicture(dataPath("photos/" + name));
    EXPECT_TRUE(r.ok()) << r.error;
    return Image::fromPicture(r.picture);
}

// A dark square on a light ground: one clear edge all round.
Image squareScene(int w, int h) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        bool in = x > w / 4 && x < 3 * w / 4 && y > h / 4 && y < 3 * h / 4;
        float v = in ? 0.15f : 0.85f;
        p[0] = v;
        p[1] = v * 0.9f;
        p[2] = v * 0.8f;
        p[3] = 1;
    });
}

}  // namespace

TEST(VellariFilter, DefaultsAndResolutions) {
    FastDevice fast;
    QXVideoFilterVellari f;
    EXPECT_EQ(f.name(), "Vellari Base");
    EXPECT_EQ(f.ETFRadius, 2);
    EXPECT_EQ(f.ETFIterations, 6);
    EXPECT_EQ(f.reduceNoiseIterations, 3);
    EXPECT_EQ(f.linesDiffWeight, 125.0);
    EXPECT_EQ(f.linesFactor, 2.0);
    EXPECT_EQ(f.outputFactor, 2.0);
    EXPECT_TRUE(f.adjustExposureForAreaOfInterest);
    EXPECT_EQ(f.outputResolution, 1080);
    EXPECT_EQ(f.inputResolution, 540);
    EXPECT_EQ(f.watermarkImageName, "Vellari Watermark v06-03");
    EXPECT_EQ(f.shadingSpotColor0, (Color{1, 0, 0, 1}));
    EXPECT_EQ(f.lineType, 1);
    EXPECT_EQ(f.shadingType, 3);
    EXPECT_EQ(f.blobsType, 1);
    EXPECT_EQ(f.radiusUpper(), 1.5);
    f.setOutputResolution(2160);
    EXPECT_EQ(f.inputResolution, 1080);

    setenv("VELLARI_SLOW_DEVICE", "1", 1);
    QXVideoFilterVellari old;
    EXPECT_EQ(old.outputResolution, 720);
    EXPECT_EQ(old.inputResolution, 360);
}

TEST(VellariFilter, EveryKernelOfTheLibraryIsCompiledIn) {
    registerStyleKernels();
    auto manifest = Bundle::main().textForResource("default", "metallib");
    ASSERT_TRUE(manifest);
    std::istringstream lines(*manifest);
    int listed = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        ++listed;
        EXPECT_TRUE(QXShaderLibrary::kernelNamed(line, Bundle::main())) << line;
    }
    EXPECT_GE(listed, 35);
}

TEST(VellariFilter, RemapAndShadows) {
    using V = QXVideoFilterVellari;
    EXPECT_DOUBLE_EQ(V::remapValue(1.0, 0.15, 1.0, -1, -1, 1), 0.15);
    EXPECT_DOUBLE_EQ(V::remapValue(1.0, 0.15, 1.0, 0, -1, 1), 1.0);
    EXPECT_DOUBLE_EQ(V::remapValue(1.0, 0.15, 1.0, 1, -1, 1), 0.85);
    QXVideoFilterVellari f;
    EXPECT_DOUBLE_EQ(f.customShadowsThresholdForThreshold(0.3), 0.3);
    f.customData = std::map<std::string, double>{{"shadows", -0.5}};
    EXPECT_NEAR(f.customShadowsThresholdForThreshold(0.3), 0.15, 1e-12);
    f.customData = std::map<std::string, double>{{"shadows", 0.5}};
    EXPECT_NEAR(f.customShadowsThresholdForThreshold(0.3), 0.4, 1e-12);
    f.customData = std::map<std::string, double>{{"shadows", -1}};
    EXPECT_NEAR(f.customShadowsThresholdForThreshold(0.3), 0.0, 1e-12);
    EXPECT_NEAR(f.customShadingLevelsGammaForGamma(0.7), 0.15, 1e-12);
    f.customData = std::map<std::string, double>{{"shadows", 1}};
    EXPECT_NEAR(f.customShadowsThresholdForThreshold(0.3), 0.5, 1e-12);
    EXPECT_NEAR(f.customShadingLevelsGammaForGamma(1.0), 0.85, 1e-12);
}

TEST(VellariFilter, LookUpTablesByName) {
    Picture lut(2, 4);
    for (auto& b : lut.rgba()) b = 255;
    QXVideoFilterVellari f;
    f.loadLUT(lut);
    EXPECT_TRUE(f.hasDefaultLUT());
    ASSERT_TRUE(f.colorLookupTableFilter);
    FilterPtr installed = f.colorLookupTableFilter;
    f.loadLUTNamed("LUTs/no such table.png");
    EXPECT_EQ(f.defaultLUTName(), "LUTs/no such table.png");
    EXPECT_FALSE(f.hasDefaultLUT());                     // the colour stage stops using it
    EXPECT_EQ(f.colorLookupTableFilter, installed);      // but the cube stays installed
}

TEST(VellariFilter, DefaultFrameIsAnIllustrationAtOutputSize) {
    FastDevice fast;
    QXVideoFilterVellari f;
    f.videoProcessing = true;
    Image frame = squareScene(640, 360);
    Image out = f.processCIImage(frame);
    ASSERT_FALSE(out.isNull());
    EXPECT_EQ(out.extent(), (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(f.currentResolution, 540);
    Pixels p = readPixels(out);
    // Opaque everywhere (white canvas underneath).
    for (size_t i = 3; i < p.data.size(); i += 4 * 97) ASSERT_NEAR(p.data[i], 1.0f, 1e-4f);
    // A dark ink line runs along the square's border; the light ground stays light.
    float minOnEdge = 1;
    for (int d = -6; d <= 6; ++d) minOnEdge = std::min(minOnEdge, p.at(960, 270 + d, 0));
    EXPECT_LT(minOnEdge, 0.1f);
    EXPECT_GT(p.at(200, 900, 0), 0.5f);
}

TEST(VellariLines, TypesColoursAndAdjustments) {
    FastDevice fast;
    QXVideoFilterVellari f;
    Image n = f.normalizeImage(squareScene(480, 270));
    Pixels t1 = readPixels(f.createLines(n, 1));
    Pixels t0 = readPixels(f.createLines(n, 0));
    EXPECT_EQ(t0.data, t1.data);
    EXPECT_EQ(t1.rect, (IRect{0, 0, 1920, 1080}));
    ASSERT_TRUE(f.perpNormalMap);  // the full-quality path stores the flow field

    // Only dark and light line pixels are opaque; everything else is transparent.
    int dark = 0, light = 0, clear = 0;
    for (size_t i = 0; i < t1.data.size(); i += 4) {
        if (t1.data[i + 3] == 0) {
            ++clear;
        } else if (t1.data[i] == 0) {
            ++dark;
        } else if (t1.data[i] == 1) {
            ++light;
        }
    }
    EXPECT_GT(dark, 1000);
    EXPECT_GT(light, 1000);
    EXPECT_EQ(dark + light + clear, int(t1.data.size() / 4));

    // A transparent light colour leaves only the dark lines.
    f.linesColorLight = Color::clear();
    Pixels onlyDark = readPixels(f.createLines(n, 1));
    int opaque = 0;
    for (size_t i = 0; i < onlyDark.data.size(); i += 4) opaque += onlyDark.data[i + 3] > 0;
    EXPECT_EQ(opaque, dark);

    // Grey-tone lines take the picture's (contrast-scaled) grey.
    f.linesColorLight = Color::white();
    f.linesGrayContrastScale = 1.0;
    f.linesGrayBrightnessShift = 0.0;
    Pixels grey = readPixels(f.createLines(n, 2));
    for (size_t i = 0; i < grey.data.size(); i += 4)
        if (grey.data[i + 3] > 0) {
            ASSERT_TRUE(grey.data[i] > 0.1f) << "line pixel not grey-toned";
        }

    // "lines" ±0.5: an unsharp mask or a high pass of radius 16 (resolution scale 1).
    Image g = C::applyMetalKernelNamed("grayscale", {n});
    f.customData = std::map<std::string, double>{{"lines", 0.5}};
    Pixels sharp = readPixels(f.createLinesStructure(g));
    Pixels want = readPixels(g.applyingFilter("CIUnsharpMask", {{"inputRadius", 16.0}, {"inputIntensity", 0.5}}));
    EXPECT_EQ(sharp.data, want.data);
    f.customData = std::map<std::string, double>{{"lines", -0.5}};
    Pixels soft = readPixels(f.createLinesStructure(g));
    Pixels want2 = readPixels(QXVideoFilterUtilities::highPassWithSource(g, C::blurImage(g, 16.0), 0.5));
    EXPECT_EQ(soft.data, want2.data);
    f.customData.reset();
    EXPECT_TRUE(f.createLinesStructure(g).sameAs(g));
}

TEST(VellariLines, SpeckRemovalAndLowQuality) {
    FastDevice fast;
    QXVideoFilterVellari f;
    // Isolated dark specks of 3 x 3 = 9 pixels on a light ground, and one big dark patch.
    Image d = imageFrom(200, 100, [](int x, int y, float* p) {
        bool speck = (x % 40 >= 10 && x % 40 < 13 && y >= 20 && y < 23);
        bool patch = x >= 120 && x < 160 && y >= 50 && y < 90;
        float v = (speck || patch) ? 0.0f : 0.5f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    f.currentResolution = 540;
    Pixels keep = readPixels(f.createLinesPostProcessDoG(d));
    EXPECT_EQ(keep.at(11, 21, 3), 1.0f);
    f.customData = std::map<std::string, double>{{"linesNoiseReduction", 0.25}};  // below 16 pixels
    Pixels cleaned = readPixels(f.createLinesPostProcessDoG(d));
    EXPECT_EQ(cleaned.at(11, 21, 3), 0.0f);   // speck gone
    EXPECT_EQ(cleaned.at(130, 60, 3), 1.0f);  // patch kept
    EXPECT_EQ(cleaned.at(130, 60, 0), 0.0f);  // dark colour

    // Low quality skips the flow stages and halves the difference weight.
    QXVideoFilterVellari lq;
    lq.useLowQuality = true;
    Image n = lq.normalizeImage(squareScene(480, 270));
    Image lines = lq.createLines(n, 1);
    ASSERT_FALSE(lines.isNull());
    EXPECT_TRUE(lq.perpNormalMap.isNull());
    EXPECT_EQ(lines.extent(), (Rect{0, 0, 1920, 1080}));
}

TEST(VellariLines, DifferenceAtTheWorkingSizeMatchesTheEnlargedDifference) {
    // The line layer blurs at the working size and enlarges the difference; drawing the
    // difference of the enlarged image instead must give the same lines. Where the
    // difference is near zero (flat, noisy texture) single pixels may flip either way.
    FastDevice fast;
    for (double weight : {125.0, 40.0}) {
        QXVideoFilterVellari f;
        f.useLowQuality = true;  // the working image is then the grey picture itself
        f.linesDiffWeight = weight;
        const Image n = f.normalizeImage(photo("coffee.png"));
        const Pixels got = readPixels(f.createLines(n, 1));
        const Image grey = QXCoreImageUtilities::applyMetalKernelNamed("grayscale", {n});
        const Rect e = grey.extent();
        const Image up = grey.clampedToExtent()
                             .scaled(f.linesFactor, f.linesFactor)
                             .cropped({0, 0, e.width * f.linesFactor, e.height * f.linesFactor});
        const Pixels want = readPixels(f.createLinesPostProcessDoG(f.createLinesDoG(up)));
        ASSERT_EQ(got.rect, want.rect);
        // Dark ink: opaque and dark (light line pixels are opaque white).
        auto ink = [](const Pixels& p, int x, int y) { return p.at(x, y, 3) > 0.5f && p.at(x, y, 0) < 0.5f; };
        int differing = 0, inkedGot = 0, inkedWant = 0;
        for (int y = 0; y < got.rect.h; ++y)
            for (int x = 0; x < got.rect.w; ++x) {
                inkedGot += ink(got, x, y);
                inkedWant += ink(want, x, y);
                differing += ink(got, x, y) != ink(want, x, y);
            }
        EXPECT_GT(inkedWant, got.rect.area() / 100);  // the photo does draw lines
        EXPECT_NEAR(inkedGot, inkedWant, inkedWant / 8) << "weight " << weight;
        EXPECT_LT(differing, got.rect.area() / 50) << "weight " << weight;
        // No ink frame along the borders: the edge rows and columns are inked like the
        // rows and columns next to them.
        int top = 0, below = 0, left = 0, beside = 0;
        for (int x = 0; x < got.rect.w; ++x) top += ink(got, x, 0), below += ink(got, x, 6);
        for (int y = 0; y < got.rect.h; ++y) left += ink(got, 0, y), beside += ink(got, 6, y);
        EXPECT_LT(top, below + got.rect.w / 5) << "weight " << weight;
        EXPECT_LT(left, beside + got.rect.h / 5);
    }
}

TEST(VellariFilter, OutputIsExactlyTheOutputSizeAndOpaque) {
    // 451 × 300 at 1620: the working size rounds to 1218 × 810, whose double passes the
    // output width of 2435 by one pixel; the frame must still end at the output size.
    FastDevice fast;
    QXVideoFilterVellari f;
    f.setOutputResolution(1620);
    const Image out = f.processCIImage(photo("chelsea.png"));
    const Size want = f.outputSizeForInputSize({451, 300});
    ASSERT_EQ(out.extent(), (Rect{0, 0, want.width, want.height}));
    const Pixels right = readPixels(out, IRect{int(want.width) - 1, 0, 1, int(want.height)});
    for (int y = 0; y < right.rect.h; ++y) ASSERT_NEAR(right.at(right.rect.x, y, 3), 1.0f, 1e-4) << y;
}

TEST(VellariFilter, SamplePhotosRender) {
    FastDevice fast;
    for (const char* name : {"astronaut.png", "chelsea.png", "coffee.png"}) {
        QXVideoFilterVellari f;
        Image out = f.processCIImage(photo(name));
        ASSERT_FALSE(out.isNull()) << name;
        Picture pic = defaultContext().createPicture(out, out.extent());
        EXPECT_EQ(std::min(pic.width(), pic.height()), 1080) << name;
        // Not blank: some ink and some light.
        int darkPx = 0, lightPx = 0;
        for (size_t i = 0; i < pic.rgba().size(); i += 4 * 13) {
            darkPx += pic.rgba()[i] < 40;
            lightPx += pic.rgba()[i] > 200;
        }
        EXPECT_GT(darkPx, 100) << name;
        EXPECT_GT(lightPx, 100) << name;
    }
}
