// The filter base object: defaults, sizes, scaled radii, names, custom values, look-up
// tables, reset and copying.

#include <gtest/gtest.h>

#include <cstdlib>

#include "test_support.h"
#include "vellari/engine/filter_abstract.h"

using namespace vellari;
using namespace vellari::test;

namespace {

// The device speed setting for one scope: "1" slow, "0" fast.
struct SlowDevice : ScopedEnv {
    explicit SlowDevice(const char* v) : ScopedEnv("VELLARI_SLOW_DEVICE", v) {}
};

class NamedFilter : public QXVideoFilterAbstract {
public:
    std::string className() const override { return "NamedFilter"; }

protected:
    std::shared_ptr<QXVideoFilterAbstract> makeDefault() const override { return std::make_shared<NamedFilter>(); }
};

}  // namespace

TEST(FilterAbstract, DefaultsAfterInit) {
    SlowDevice fast("0");
    QXVideoFilterAbstract f;
    EXPECT_EQ(f.baseResolution, 540);
    EXPECT_EQ(f.inputResolution, 540);
    EXPECT_EQ(f.outputResolution, 1080);
    EXPECT_EQ(f.postHistogramEqualizationGamma, 1.0);
    EXPECT_EQ(f.enhanceImageWeight, 1.0);
    EXPECT_EQ(f.histogramEqualization, 0);
    EXPECT_EQ(f.backgroundColor, Color::clear());
    EXPECT_TRUE(f.watermarkTransform.isIdentity());
    EXPECT_EQ(f.outputFactor, 0);
    EXPECT_EQ(f.linesFactor, 0);
    EXPECT_FALSE(f.useLowQuality);
    EXPECT_FALSE(f.customData.has_value());
    // The teeth table from the bundle becomes a 32-cube.
    ASSERT_TRUE(f.colorLookupTableFilterForTeeth);
    EXPECT_DOUBLE_EQ(f.colorLookupTableFilterForTeeth->value("inputCubeDimension").number(), 32);

    SlowDevice slow("1");
    QXVideoFilterAbstract old;
    EXPECT_EQ(old.inputResolution, 360);
    EXPECT_EQ(old.outputResolution, 720);
}

TEST(FilterAbstract, OutputSizeKeepsAspectWithShortSideAtResolution) {
    SlowDevice fast("0");
    QXVideoFilterAbstract f;
    EXPECT_EQ(f.outputSizeForInputSize({1920, 1080}), (Size{1920, 1080}));
    EXPECT_EQ(f.outputSizeForInputSize({1280, 720}), (Size{1920, 1080}));
    EXPECT_EQ(f.outputSizeForInputSize({3024, 4032}), (Size{1080, 1440}));
    EXPECT_EQ(f.outputSizeForInputSize({1000, 1000}), (Size{1080, 1080}));
    f.outputResolution = 1;
    EXPECT_EQ(f.outputSizeForInputSize({10, 4}), (Size{3, 1}));  // 2.5 rounds away from zero
}

TEST(FilterAbstract, ResolutionScaleAndScaledGetters) {
    QXVideoFilterAbstract f;
    EXPECT_EQ(f.resolutionScale(), 1.0);  // before the first frame
    f.setRadiusUpper(1.5);
    f.setRadiusLower(0.5);
    f.setLinesDetailReduction(2);
    EXPECT_EQ(f.radiusUpper(), 1.5);
    f.currentResolution = 1080;
    EXPECT_EQ(f.resolutionScale(), 2.0);
    EXPECT_EQ(f.radiusUpper(), 3.0);
    EXPECT_EQ(f.radiusLower(), 1.0);
    EXPECT_EQ(f.linesDetailReduction(), 4.0);
    f.setRadiusUpper(1.5);  // the setter stores the value unscaled
    EXPECT_EQ(f.radiusUpper(), 3.0);
    f.baseResolution = 0;
    EXPECT_EQ(f.resolutionScale(), 1.0);
    f.baseResolution = -5;
    EXPECT_EQ(f.resolutionScale(), 1.0);
}

TEST(FilterAbstract, NamesAndCustomValues) {
    NamedFilter f;
    EXPECT_EQ(f.name(), "NamedFilter");
    EXPECT_EQ(f.appendToName(" v2"), "NamedFilter v2");
    EXPECT_EQ(f.prependToName("My "), "My NamedFilter v2");
    EXPECT_EQ(f.name(), "My NamedFilter v2");
    EXPECT_EQ(QXVideoFilterAbstract().name(), "QXVideoFilterAbstract");

    EXPECT_EQ(f.customValueForKey("contrast", 0.7), 0.7);  // no dictionary
    f.customData = std::map<std::string, double>{{"contrast", 0.0}, {"lines", -0.5}};
    EXPECT_EQ(f.customValueForKey("contrast", 0.7), 0.0);  // zero is a value, not absence
    EXPECT_EQ(f.customValueForKey("lines", 1), -0.5);
    EXPECT_EQ(f.customValueForKey("shadows", 0.25), 0.25);
}

TEST(FilterAbstract, LookUpTablesResetAndCopy) {
    QXVideoFilterAbstract f;
    Image img = solid(4, 4, 0.2f, 0.4f, 0.6f, 1);
    EXPECT_TRUE(f.applyLUT(img).sameAs(img));  // no table: unchanged
    EXPECT_TRUE(f.processCIImage(img).sameAs(img));
    EXPECT_TRUE(f.addWatermark(img).sameAs(img));

    Picture none;
    f.setColorLookupTable(&none);
    EXPECT_FALSE(f.colorLookupTableFilter);
    f.setColorLookupTable(nullptr);
    EXPECT_FALSE(f.colorLookupTableFilter);
    EXPECT_FALSE(QXVideoFilterAbstract::createColorCubeFilterFromLUT(nullptr));

    // Half-value table of dimension 2: every colour maps to a quarter-ish grey scale.
    Picture lut(2, 4);
    for (int i = 0; i < 8; ++i) {
        uint8_t* p = lut.rgba().data() + i * 4;
        p[0] = p[1] = p[2] = uint8_t((i & 1) ? 128 : 0);
        p[3] = 255;
    }
    f.setColorLookupTable(&lut);
    ASSERT_TRUE(f.colorLookupTableFilter);
    Pixels out = readPixels(f.applyLUT(solid(1, 1, 1, 0, 0, 1)));
    EXPECT_NEAR(out.at(0, 0, 0), 128 / 255.f, 1e-3);

    // reset drops frame history and the table's input, keeps the table and the data.
    f.previousImageBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, 4, 4});
    f.accumulationBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, 4, 4});
    f.enhanceImageTemporalBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, 4, 4});
    f.perpNormalMap = img;
    f.customData = std::map<std::string, double>{{"lines", 0.5}};
    f.outputResolution = 2160;
    f.reset();
    EXPECT_FALSE(f.previousImageBuffer);
    EXPECT_FALSE(f.accumulationBuffer);
    EXPECT_FALSE(f.enhanceImageTemporalBuffer);
    EXPECT_TRUE(f.perpNormalMap.isNull());
    ASSERT_TRUE(f.colorLookupTableFilter);
    EXPECT_TRUE(f.colorLookupTableFilter->value("inputImage").image().isNull());
    EXPECT_EQ(f.customValueForKey("lines", 0), 0.5);
    EXPECT_EQ(f.outputResolution, 2160);

    QXVideoFilterAbstract fresh;
    fresh.reset();  // nothing to drop: no failure
    EXPECT_FALSE(fresh.previousImageBuffer);

    // A copy is a new object of the same class with defaults.
    SlowDevice fast("0");
    NamedFilter n;
    n.outputResolution = 2000;
    n.setName("changed");
    auto c = n.copy();
    EXPECT_EQ(c->className(), "NamedFilter");
    EXPECT_EQ(c->outputResolution, 1080);
    EXPECT_EQ(c->name(), "NamedFilter");
}
