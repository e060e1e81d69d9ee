// The image stages of the adjustments: neutral shortcuts, the per-kind operations and
// their value mappings, the order of the two stages, and the automatic enhancement with
// its temporal buffer.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "test_support.h"
#include "vellari/adjustments/standard_adjustments.h"
#include "vellari/platform/filter.h"

using namespace vellari;
using namespace vellari::test;

namespace {

using T = AdjustmentType;
using S = AdjustmentStage;

AdjustmentsPtr fresh() { return QXFilterStandardAdjustments::create(false); }

void set(QXFilterStandardAdjustments& a, T type, float value, float secondary = -1) {
    a.filter(type)->value = value;
    if (secondary >= 0) a.filter(type)->secondaryValue = secondary;
}

// An opaque 1-pixel-high strip of greys.
Image greys(const std::vector<float>& values, Point origin = {0, 0}) {
    return imageFrom(int(values.size()), 1, [&](int x, int, float* p) {
        p[0] = p[1] = p[2] = values[size_t(x)];
        p[3] = 1;
    }, origin);
}

// An opaque colour gradient with every channel moving differently.
Image colours() {
    return imageFrom(8, 4, [](int x, int y, float* p) {
        p[0] = 0.1f + 0.1f * x;
        p[1] = 0.2f + 0.15f * y;
        p[2] = 0.7f - 0.05f * x;
        p[3] = 1;
    });
}

void expectSamePixels(const Image& a, const Image& b, float tolerance = 1e-5f) {
    Pixels pa = readPixels(a), pb = readPixels(b);
    ASSERT_EQ(pa.rect, pb.rect);
    for (size_t i = 0; i < pa.data.size(); ++i) ASSERT_NEAR(pa.data[i], pb.data[i], tolerance) << i;
}

float maxChannelSpread(const Image& image) {
    Pixels p = readPixels(image);
    float spread = 0;
    for (size_t i = 0; i < p.data.size(); i += 4)
        spread = std::max(spread, std::max({p.data[i], p.data[i + 1], p.data[i + 2]}) -
                                      std::min({p.data[i], p.data[i + 1], p.data[i + 2]}));
    return spread;
}

}  // namespace

TEST(AdjustmentNeutral, DefaultStagesReturnTheirInputItself) {
    auto a = fresh();
    const Image in = colours();
    EXPECT_TRUE(a->applyPreStyleStage(in).sameAs(in));
    EXPECT_TRUE(a->applyPostStyleStage(in).sameAs(in));
    for (T t : allAdjustmentTypes())
        for (S s : {S::none, S::pre, S::post, S::custom}) EXPECT_TRUE(a->applyAdjustment(t, s, in).sameAs(in));

    // What the style reads itself is never applied here.
    set(*a, T::lines, 0.8f);
    set(*a, T::contrast, 0.8f);
    set(*a, T::flatness, -1);
    EXPECT_TRUE(a->applyPreStyleStage(in).sameAs(in));
    EXPECT_TRUE(a->applyPostStyleStage(in).sameAs(in));
    EXPECT_TRUE(a->applyPreStyleStage(Image()).isNull());
}

TEST(AdjustmentNeutral, AnAdjustmentOutsideItsStepsStageIsNotApplied) {
    auto a = fresh();
    const Image in = colours();
    auto frame = a->copy();
    frame->applyStyleData({{"brightness.stage", "post"}, {"brightness", 0.6}});
    EXPECT_TRUE(frame->applyPreStyleStage(in).sameAs(in));
    EXPECT_TRUE(frame->applyPostStyleStage(in).sameAs(in));
    // The user's own object still brightens before the style.
    a->filter(T::brightness)->value = 0.6f;
    EXPECT_FALSE(a->applyPreStyleStage(in).sameAs(in));

    // Saturation moved before the style is skipped by both stages too.
    auto b = fresh();
    b->apply({{"saturation", -1.0}, {"saturation.stage", "pre"}});
    EXPECT_TRUE(b->applyPreStyleStage(in).sameAs(in));
    EXPECT_TRUE(b->applyPostStyleStage(in).sameAs(in));
}

TEST(AdjustmentLevels, BlackAndWhitePointsMapTheRange) {
    auto a = fresh();
    set(*a, T::blackPoint, 0.4f);
    set(*a, T::whitePoint, -0.2f);
    Pixels p = readPixels(a->applyPreStyleStage(greys({0, 0.5f, 1})));
    EXPECT_NEAR(p.at(0, 0, 0), 0.2f, 1e-5);
    EXPECT_NEAR(p.at(1, 0, 1), 0.55f, 1e-5);
    EXPECT_NEAR(p.at(2, 0, 2), 0.9f, 1e-5);
    EXPECT_FLOAT_EQ(p.at(1, 0, 3), 1.f);

    // White point alone at 1: w = 1.5, values above 2/3 clip.
    auto b = fresh();
    set(*b, T::whitePoint, 1);
    p = readPixels(b->applyAdjustment(T::blackAndWhitePoints, S::pre, greys({0, 0.4f, 0.7f, 1})));
    EXPECT_NEAR(p.at(0, 0, 0), 0.f, 1e-6);
    EXPECT_NEAR(p.at(1, 0, 0), 0.6f, 1e-5);
    EXPECT_FLOAT_EQ(p.at(2, 0, 0), 1.f);
    EXPECT_FLOAT_EQ(p.at(3, 0, 0), 1.f);

    // Only the points of the requested stage count: here the black point alone.
    auto c = fresh();
    set(*c, T::blackPoint, 0.4f);
    set(*c, T::whitePoint, -0.2f);
    c->filter(T::whitePoint)->stage = S::post;
    p = readPixels(c->applyPreStyleStage(greys({0, 1})));
    EXPECT_NEAR(p.at(0, 0, 0), 0.2f, 1e-5);
    EXPECT_NEAR(p.at(1, 0, 0), 1.f, 1e-5);
}

TEST(AdjustmentBrightness, GammaPowersFromTheSlider) {
    const Image in = greys({0.25f, 0.5f, 0.81f});
    auto a = fresh();
    set(*a, T::brightness, 1);
    Pixels p = readPixels(a->applyPreStyleStage(in));
    EXPECT_NEAR(p.at(0, 0, 0), std::pow(0.25f, 0.25f), 1e-4);
    EXPECT_NEAR(p.at(1, 0, 1), std::pow(0.5f, 0.25f), 1e-4);
    set(*a, T::brightness, -1);
    p = readPixels(a->applyPreStyleStage(in));
    EXPECT_NEAR(p.at(0, 0, 0), std::pow(0.25f, 1.75f), 1e-4);
    EXPECT_NEAR(p.at(2, 0, 2), std::pow(0.81f, 1.75f), 1e-4);
}

TEST(AdjustmentStages, PreStageSetsLevelsBeforeBrightness) {
    auto a = fresh();
    set(*a, T::blackPoint, 0.4f);  // 0 → 0.2
    set(*a, T::brightness, -1);    // then power 1.75
    Pixels p = readPixels(a->applyPreStyleStage(greys({0})));
    EXPECT_NEAR(p.at(0, 0, 0), std::pow(0.2f, 1.75f), 1e-4);
}

TEST(AdjustmentStages, PostStageEndsWithSaturation) {
    // A strong warming followed by full desaturation leaves greys: saturation comes last.
    auto a = fresh();
    set(*a, T::temperature, 1);
    set(*a, T::vibrance, 0.5f);
    set(*a, T::saturation, -1);
    const Image out = a->applyPostStyleStage(colours());
    EXPECT_LT(maxChannelSpread(out), 1e-4f);
    Pixels p = readPixels(out);
    EXPECT_GT(p.at(3, 2, 0), 0.05f);  // not simply black
}

TEST(AdjustmentColour, TemperatureAndTintTargets) {
    const Image in = colours();
    auto check = [&](float temperature, float tint, Vector target) {
        auto a = fresh();
        set(*a, T::temperature, temperature);
        set(*a, T::tint, tint);
        const Image expected = in.applyingFilter("CITemperatureAndTint", {{"inputTargetNeutral", target}});
        expectSamePixels(a->applyPostStyleStage(in), expected);
    };
    check(0.5f, 0, {7500, 0});
    check(0, -1, {6500, -100});
    check(-0.25f, 0.5f, {6000, 50});

    // Neutral: both zero, or the changed one moved to the other stage, or a missing partner.
    auto b = fresh();
    EXPECT_TRUE(b->applyAdjustment(T::temperatureAndTint, S::post, in).sameAs(in));
    set(*b, T::temperature, 0.5f);
    b->filter(T::temperature)->stage = S::pre;
    EXPECT_TRUE(b->applyPostStyleStage(in).sameAs(in));
    b->filter(T::temperature)->stage = S::post;
    std::erase_if(b->filters, [](const AdjustmentPtr& f) { return f->type == T::tint; });
    EXPECT_TRUE(b->applyPostStyleStage(in).sameAs(in));
}

TEST(AdjustmentColour, SaturationMapsOntoColourControls) {
    const Image in = colours();
    auto a = fresh();
    set(*a, T::saturation, 0.5f);
    expectSamePixels(a->applyPostStyleStage(in), in.applyingFilter("CIColorControls", {{"inputSaturation", 1.5}}));
}

TEST(AdjustmentWash, ShadowColourScreensAPaleYellow) {
    auto a = fresh();
    set(*a, T::shadowColor, 3, 0.1f);
    Pixels p = readPixels(a->applyPreStyleStage(greys({0, 0.5f})));
    // Over black the wash itself shows at its opacity: (1, 1, 0) × 0.1.
    EXPECT_NEAR(p.at(0, 0, 0), 0.1f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 1), 0.1f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 2), 0.0f, 1e-5);
    // Over mid-grey: 0.9 × 0.5 + 0.1 × screen(0.5, c).
    EXPECT_NEAR(p.at(1, 0, 0), 0.55f, 1e-5);
    EXPECT_NEAR(p.at(1, 0, 2), 0.5f, 1e-5);
    EXPECT_FLOAT_EQ(p.at(1, 0, 3), 1.f);
}

TEST(AdjustmentWash, HighlightColourMultipliesAndOffCasesChangeNothing) {
    auto a = fresh();
    set(*a, T::highlightColor, 5, 0.5f);  // blue at half opacity
    Pixels p = readPixels(a->applyPreStyleStage(greys({1, 0})));
    EXPECT_NEAR(p.at(0, 0, 0), 0.5f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 1), 0.5f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 2), 1.0f, 1e-5);
    EXPECT_NEAR(p.at(1, 0, 2), 0.0f, 1e-5);  // black stays black

    const Image in = colours();
    for (auto [index, opacity] : std::vector<std::pair<float, float>>{{0, 0.5f}, {0.7f, 0.5f}, {3, 0}, {7, 0.5f},
                                                                      {-2, 0.5f}, {INFINITY, 0.5f}}) {
        auto b = fresh();
        set(*b, T::shadowColor, index, opacity);
        set(*b, T::highlightColor, index, opacity);
        EXPECT_TRUE(b->applyPreStyleStage(in).sameAs(in)) << index << " " << opacity;
    }
}

TEST(AdjustmentWash, PresetWashesFollowTheirStage) {
    auto a = fresh();
    a->applyStyleData({{"shadowColorForFilter", int64_t(6)}, {"shadowColorForFilter.secondaryValue", 0.1}});
    const Image in = greys({0});
    Pixels p = readPixels(a->applyPreStyleStage(in));
    // Violet's hue at full brightness: magenta.
    EXPECT_NEAR(p.at(0, 0, 0), 0.1f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 1), 0.0f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 2), 0.1f, 1e-5);
    EXPECT_TRUE(a->applyPostStyleStage(in).sameAs(in));

    a->filter(T::shadowColorForFilter)->stage = S::post;
    EXPECT_TRUE(a->applyPreStyleStage(in).sameAs(in));
    EXPECT_NEAR(readPixels(a->applyPostStyleStage(in)).at(0, 0, 2), 0.1f, 1e-5);

    // An opacity summed past 1 washes fully, no further.
    auto b = fresh();
    set(*b, T::highlightColor, 1, 0.8f);
    b->applyStyleData({{"highlightColor.secondaryValue", 0.7}});
    p = readPixels(b->applyPreStyleStage(greys({1})));
    EXPECT_NEAR(p.at(0, 0, 0), 1.f, 1e-5);
    EXPECT_NEAR(p.at(0, 0, 1), 0.f, 1e-5);
    EXPECT_FLOAT_EQ(p.at(0, 0, 3), 1.f);
}

TEST(AdjustmentEnhance, CameraFramesAverageWithHalfWeightAfterTheFirst) {
    auto a = fresh();
    a->processingVideo = true;
    const float first = 0.2f, second = 0.8f;
    a->enhanceInput(solid(120, 80, first, first, first, 1));
    ASSERT_TRUE(a->enhanceImageTemporalBuffer);
    EXPECT_EQ(a->enhanceImageTemporalBuffer->extent(), (Rect{0, 0, 64, 64}));
    Pixels p = readPixels(a->enhanceImageTemporalBuffer->image());
    EXPECT_NEAR(p.at(10, 10, 0), first, 1.f / 255);  // weight 1.0: the frame alone
    EXPECT_NEAR(p.at(63, 63, 3), 1.f, 1e-6);

    a->enhanceInput(solid(120, 80, second, second, second, 1));
    p = readPixels(a->enhanceImageTemporalBuffer->image());
    EXPECT_NEAR(p.at(32, 5, 1), 0.5f * second + 0.5f * first, 1.5f / 255);

    a->enhanceInput(solid(120, 80, second, second, second, 1));
    p = readPixels(a->enhanceImageTemporalBuffer->image());
    EXPECT_NEAR(p.at(32, 5, 1), 0.75f * second + 0.25f * first, 1.5f / 255);

    // A movie set-up clears the buffer: the next frame is analysed alone again.
    a->enhanceImageTemporalBuffer.reset();
    a->enhanceInput(solid(120, 80, first, first, first, 1));
    EXPECT_NEAR(readPixels(a->enhanceImageTemporalBuffer->image()).at(0, 0, 2), first, 1.f / 255);
}

TEST(AdjustmentEnhance, StillsAreAnalysedAloneWhateverTheBufferHolds) {
    auto a = fresh();
    a->processingVideo = true;
    a->enhanceInput(solid(40, 40, 0.9f, 0.9f, 0.9f, 1));
    a->processingVideo = false;
    a->enhanceInput(solid(40, 40, 0.3f, 0.3f, 0.3f, 1));
    EXPECT_NEAR(readPixels(a->enhanceImageTemporalBuffer->image()).at(20, 20, 0), 0.3f, 1.f / 255);
}

TEST(AdjustmentEnhance, FrameOffTheOriginFillsTheWholeBuffer) {
    auto a = fresh();
    const Image in = solid(100, 50, 0.4f, 0.5f, 0.6f, 1, {30, -20});
    const Image out = a->enhanceInput(in);
    EXPECT_EQ(out.extent(), in.extent());
    Pixels p = readPixels(a->enhanceImageTemporalBuffer->image());
    for (auto [x, y] : std::vector<std::pair<int, int>>{{0, 0}, {63, 0}, {0, 63}, {63, 63}, {32, 32}}) {
        EXPECT_NEAR(p.at(x, y, 3), 1.f, 1e-6) << x << "," << y;
        EXPECT_NEAR(p.at(x, y, 2), 0.6f, 1.f / 255) << x << "," << y;
    }
}

TEST(AdjustmentEnhance, CorrectsTheFullImage) {
    // A dull, low-contrast picture gets stretched; the result keeps the input's extent.
    const Image dull = imageFrom(200, 120, [](int x, int y, float* p) {
        p[0] = p[1] = p[2] = 0.4f + 0.2f * float(x + y) / 318.f;
        p[3] = 1;
    });
    auto a = fresh();
    const Image out = a->enhanceInput(dull);
    ASSERT_TRUE(out);
    EXPECT_EQ(out.extent(), dull.extent());
    Pixels in = readPixels(dull), res = readPixels(out);
    EXPECT_GT(res.at(199, 119, 1) - res.at(0, 0, 1), 1.1f * (in.at(199, 119, 1) - in.at(0, 0, 1)));
    EXPECT_TRUE(a->enhanceInput(Image()).isNull());
}
