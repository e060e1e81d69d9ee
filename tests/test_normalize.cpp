// Input normalisation, automatic enhancement, motion masks, accumulators and optical flow.

#include <gtest/gtest.h>

#include <cmath>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_abstract.h"
#include "vellari/engine/optical_flow.h"
#include "vellari/platform/filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

Image ramp(int w, int h, Point origin = {0, 0}) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = 0.3f + 0.2f * float(x) / float(w);
        p[1] = 0.4f + 0.1f * float(y) / float(h);
        p[2] = 0.45f;
        p[3] = 1;
    }, origin);
}

Image texture(int w, int h, double dx) {
    return imageFrom(w, h, [&](int x, int y, float* p) {
        double u = x - dx;
        float v = float(0.5 + 0.25 * std::sin(u * 0.4) * std::cos(y * 0.3) + 0.2 * std::sin(u * 0.11 + y * 0.07));
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
}

}  // namespace

TEST(NormalizeImage, ScalesShortSideToInputResolutionAtOrigin) {
    QXVideoFilterAbstract f;
    f.inputResolution = 540;
    Image tall = ramp(540, 960, {30, -12});
    Image n = f.normalizeImage(tall);
    EXPECT_EQ(n.extent(), (Rect{0, 0, 540, 960}));
    EXPECT_EQ(f.currentResolution, 540);
    EXPECT_TRUE(n.samplesNearest());
    Pixels a = readPixels(n, {0, 0, 540, 4}), b = readPixels(tall, {30, -12, 540, 4});
    EXPECT_EQ(a.data, b.data);  // only moved

    Image small = f.normalizeImage(ramp(200, 100));
    EXPECT_EQ(small.extent(), (Rect{0, 0, 1080, 540}));
    EXPECT_EQ(f.currentResolution, 540);
    EXPECT_EQ(f.resolutionScale(), 1.0);

    f.useHighQualityDownsampling = true;
    Image frame = f.normalizeImage(ramp(1920, 1080));
    EXPECT_EQ(frame.extent(), (Rect{0, 0, 960, 540}));
    f.inputResolution = 1080;
    f.normalizeImage(ramp(1920, 1080));
    EXPECT_EQ(f.currentResolution, 1080);
    EXPECT_EQ(f.resolutionScale(), 2.0);
}

TEST(NormalizeImage, BordersKeepTheirColourWhenScaled) {
    // Enlarged or shrunk, the edge pixels must not blend with the transparency outside:
    // a dark frame there would be drawn as ink by the line stage.
    for (bool hq : {false, true})
        for (int w : {200, 300, 1100}) {
            QXVideoFilterAbstract f;
            f.useHighQualityDownsampling = hq;
            f.inputResolution = 540;
            const Pixels p = readPixels(f.normalizeImage(solid(w, w * 2 / 3, 0.6f, 0.4f, 0.2f, 1.0f, {5, -7})));
            for (int y : {0, p.rect.h - 1})
                for (int x : {0, p.rect.w / 2, p.rect.w - 1}) {
                    EXPECT_NEAR(p.at(x, y, 3), 1.0f, 1e-5) << w << " " << x << "," << y;
                    EXPECT_NEAR(p.at(x, y, 0), 0.6f, 1e-5) << w << " " << x << "," << y;
                }
        }
}

TEST(NormalizeImage, PartialAndFullEqualisation) {
    QXVideoFilterAbstract f;  // the engine registers its filters
    ASSERT_TRUE(FilterRegistry::create("YUCIHistogramEqualization")) << "equalisation filter not registered";
    f.inputResolution = 60;
    Image src = ramp(120, 60);
    Pixels plain = readPixels(f.normalizeImage(src));
    f.histogramEqualization = 1.0;
    Pixels full = readPixels(f.normalizeImage(src));
    f.histogramEqualization = 0.5;
    Pixels half = readPixels(f.normalizeImage(src));
    double spreadPlain = 0, spreadFull = 0;
    for (int x = 0; x < 120; ++x) {
        spreadPlain = std::max(spreadPlain, double(plain.at(x, 30, 0) - plain.at(0, 30, 0)));
        spreadFull = std::max(spreadFull, double(full.at(x, 30, 0) - full.at(0, 30, 0)));
    }
    EXPECT_GT(spreadFull, 2 * spreadPlain);  // a low-contrast ramp is stretched
    for (size_t i = 0; i < half.data.size(); i += 4)
        ASSERT_NEAR(half.data[i], 0.5f * full.data[i] + 0.5f * plain.data[i], 1e-5f);
    // Gamma after equalisation runs only when it is not exactly 1.
    f.histogramEqualization = 1.0;
    f.postHistogramEqualizationGamma = 2.0;
    Pixels gamma = readPixels(f.normalizeImage(src));
    EXPECT_NEAR(gamma.at(60, 30, 0), std::pow(full.at(60, 30, 0), 2.0f), 2e-3f);
    f.histogramEqualization = 0;
    EXPECT_EQ(readPixels(f.normalizeImage(src)).data, plain.data);
}

TEST(TemporalBuffers, AccumulatorsAndMotionMasks) {
    Image a = solid(8, 6, 0.2f, 0.2f, 0.2f, 1);
    AccumulatorPtr buf = QXVideoFilterAbstract::setBuffer(nullptr, a);
    ASSERT_TRUE(buf);
    EXPECT_EQ(buf->extent(), (Rect{0, 0, 8, 6}));
    AccumulatorPtr same = QXVideoFilterAbstract::setBuffer(buf, solid(8, 6, 0.6f, 0.6f, 0.6f, 1));
    EXPECT_EQ(same.get(), buf.get());  // reused
    EXPECT_NEAR(readPixels(same->image()).at(1, 1, 0), 0.6f, 0.003f);
    AccumulatorPtr other = QXVideoFilterAbstract::setBuffer(buf, solid(9, 6, 0.6f, 0.6f, 0.6f, 1));
    EXPECT_NE(other.get(), buf.get());  // size change replaces it

    QXVideoFilterAbstract f;
    // Where source and base differ by 0.05 or more the source shows; elsewhere nothing.
    Image base = solid(10, 4, 0.5f, 0.5f, 0.5f, 1);
    Image src = imageFrom(10, 4, [](int x, int, float* p) {
        float v = x < 5 ? 0.5f : 0.9f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
    Pixels d = readPixels(f.differenceMaskSourceImage(src, base));
    EXPECT_NEAR(d.at(1, 1, 3), 0.0f, 1e-6f);
    EXPECT_NEAR(d.at(7, 1, 0), 0.9f, 1e-5f);
    EXPECT_NEAR(d.at(7, 1, 3), 1.0f, 1e-5f);

    // First frame of maskMotion: the frame itself, stored as the average.
    Image first = f.maskMotion(base);
    EXPECT_TRUE(first.sameAs(base));
    ASSERT_TRUE(f.accumulationBuffer);
    EXPECT_NEAR(readPixels(f.accumulationBuffer->image()).at(3, 3, 0), 0.5f, 0.003f);
    // Second frame: the moving half shows the new frame, the still half the average.
    Pixels second = readPixels(f.maskMotion(src));
    EXPECT_NEAR(second.at(1, 1, 0), 0.5f, 0.004f);
    EXPECT_NEAR(second.at(8, 1, 0), 0.9f, 0.004f);

    // accumSource averages still frames with weight one third.
    QXVideoFilterAbstract g;
    g.accumSource(solid(4, 4, 0.3f, 0.3f, 0.3f, 1));
    g.accumSource(solid(4, 4, 0.32f, 0.32f, 0.32f, 1));
    EXPECT_NEAR(readPixels(g.accumulationBuffer->image()).at(1, 1, 0), 0.333f * 0.32f + 0.667f * 0.3f, 0.004f);
    g.reset();
    EXPECT_FALSE(g.accumulationBuffer);
}

TEST(EnhanceImage, TemporalThumbnailAndAutoAdjustment) {
    QXVideoFilterAbstract f;
    Image dull = ramp(320, 200);
    EXPECT_TRUE(f.enhanceImage(dull).sameAs(dull));  // switched off: the very same object
    EXPECT_FALSE(f.enhanceImageTemporalBuffer);

    f.adjustExposureForAreaOfInterest = true;
    Image out = f.enhanceImage(dull);
    ASSERT_TRUE(f.enhanceImageTemporalBuffer);
    EXPECT_EQ(f.enhanceImageTemporalBuffer->extent(), (Rect{0, 0, 64, 64}));
    EXPECT_EQ(out.extent(), dull.extent());
    // The dull, low-contrast ramp is stretched.
    Pixels in = readPixels(dull), o = readPixels(out);
    EXPECT_GT(o.at(319, 100, 0) - o.at(0, 100, 0), in.at(319, 100, 0) - in.at(0, 100, 0));
    // First frame weight 1: the buffer holds the thumbnail; the next one averages by half.
    float t0 = readPixels(f.enhanceImageTemporalBuffer->image()).at(32, 32, 2);
    EXPECT_NEAR(t0, 0.45f, 0.003f);
    f.enhanceImage(solid(320, 200, 0.45f, 0.45f, 0.85f, 1));
    float t1 = readPixels(f.enhanceImageTemporalBuffer->image()).at(32, 32, 2);
    EXPECT_NEAR(t1, 0.5f * 0.85f + 0.5f * 0.45f, 0.005f);
}

TEST(OpticalFlow, RecoversATranslation) {
    QXVideoFilterOpticalFlow flow;
    EXPECT_TRUE(flow.createOpticalFlow(texture(96, 64, 0)).isNull());  // no previous frame
    flow.setPreviousImage(texture(96, 64, 0));
    auto buffer = flow.previousImageBuffer.get();
    Image f = flow.createOpticalFlow(texture(96, 64, 2.0));
    ASSERT_FALSE(f.isNull());
    EXPECT_EQ(f.extent(), (Rect{0, 0, 96, 64}));
    Pixels p = readPixels(f);
    double mean = 0;
    int n = 0;
    for (int y = 16; y < 48; ++y)
        for (int x = 24; x < 72; ++x, ++n) mean += p.at(x, y, 0);
    EXPECT_NEAR(mean / n, 2.0, 0.4);
    flow.setPreviousImage(texture(96, 64, 1.0));
    EXPECT_EQ(flow.previousImageBuffer.get(), buffer);  // same size: buffer kept
    flow.setPreviousImage(texture(80, 64, 1.0));
    EXPECT_NE(flow.previousImageBuffer.get(), buffer);
    EXPECT_TRUE(flow.createOpticalFlow(texture(96, 64, 0)).isNull());  // sizes differ
}
