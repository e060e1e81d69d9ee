// The adjustment model: the flat dictionary and its round trips, style data, copies,
// resets, the panel hook and the text summary.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "test_support.h"
#include "vellari/adjustments/standard_adjustments.h"
#include "vellari/platform/bundle.h"

using namespace vellari;
using namespace vellari::test;

namespace {

using T = AdjustmentType;
using S = AdjustmentStage;

AdjustmentsPtr fresh(bool autoDenoise = false) { return QXFilterStandardAdjustments::create(autoDenoise); }
float secondary(const QXFilterStandardAdjustments& a, T type) { return a.filter(type)->secondaryValue; }

class RecordingPanel : public AdjustmentsPanelController {
public:
    void setIsImageCaptureAutoDenoise(bool on) override { autoDenoise = on; }
    void reloadControls() override { ++reloads; }
    bool autoDenoise = false;
    int reloads = 0;
};

}  // namespace

TEST(AdjustmentModel, DisplayNamesComeFromTheStringTable) {
    for (T t : allAdjustmentTypes()) {
        const std::string key(displayNameKey(t));
        if (key.empty()) continue;
        EXPECT_NE(displayName(t), key);  // an entry of its own, not the fallback
    }
    EXPECT_NE(localizedString("Style_Zip_X"), "Style_Zip_X");
}

TEST(AdjustmentModel, ColourNameAndPercentText) {
    auto shadow = fresh()->filter(T::shadowColor);
    shadow->value = 3.9f;  // truncated to yellow
    shadow->secondaryValue = 0.255f;
    EXPECT_EQ(shadow->colorName(), "Yellow");
    EXPECT_EQ(shadow->secondaryValueText(), "25%");
    for (float outside : {7.f, -2.f, NAN}) {
        shadow->value = outside;
        EXPECT_FALSE(shadow->colorName());
    }
    auto wash = fresh()->filter(T::shadowColorForFilter);
    wash->value = 2;
    EXPECT_FALSE(wash->colorName());
    EXPECT_FALSE(wash->secondaryValueText());
}

TEST(AdjustmentDictionary, FortyEightEntriesOfValueSecondaryAndStage) {
    auto a = fresh(true);
    const PlistDictionary d = a->dictionaryRepresentation();
    EXPECT_EQ(d.size(), 48u);
    for (const auto& f : a->filters) {
        const std::string r(rawValue(f->type));
        ASSERT_TRUE(d.count(r) && d.count(r + ".secondaryValue") && d.count(r + ".stage")) << r;
        EXPECT_EQ(d.at(r).number(), double(f->value));
        EXPECT_EQ(d.at(r + ".stage").string(), rawValue(f->stage));
    }
    EXPECT_EQ(d.at("lines.stage").string(), "custom");
    EXPECT_EQ(d.at("tint.stage").string(), "post");
    EXPECT_EQ(d.at("linesNoiseReduction").number(), double(0.2f));
    EXPECT_EQ(d.at("highlightColor.secondaryValue").number(), double(0.1f));
    EXPECT_EQ(a->customDataRepresentation().size(), 32u);  // the numbers only
}

TEST(AdjustmentDictionary, RoundTripThroughApplyAndThroughAFile) {
    auto a = fresh();
    a->filter(T::brightness)->value = 0.35f;
    a->filter(T::shadowColor)->value = 4;
    a->filter(T::shadowColor)->secondaryValue = 0.45f;
    a->filter(T::tint)->stage = S::pre;

    auto b = fresh();
    const PlistDictionary defaults = b->dictionaryRepresentation();
    b->apply(fresh()->dictionaryRepresentation());
    EXPECT_EQ(b->dictionaryRepresentation(), defaults);
    b->apply(a->dictionaryRepresentation());
    EXPECT_EQ(b->dictionaryRepresentation(), a->dictionaryRepresentation());

    const std::string dir = tempDir(), path = dir + "/adjustments.plist";
    ASSERT_EQ(fresh()->write(path), "");
    ASSERT_EQ(a->write(path), "");  // replaces the earlier file
    std::string error;
    auto read = readPlistFile(path, &error);
    ASSERT_TRUE(read && read->dictionary()) << error;
    auto c = fresh();
    c->apply(*read->dictionary());
    EXPECT_EQ(c->dictionaryRepresentation(), a->dictionaryRepresentation());
    EXPECT_EQ(c->filter(T::tint)->stage, S::pre);

    // Failures are reported and leave no stray file behind.
    EXPECT_NE(a->write(dir + "/missing/folder/adjustments.plist"), "");
    std::filesystem::create_directories(dir + "/blocked.plist");
    EXPECT_NE(a->write(dir + "/blocked.plist"), "");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2);
    std::filesystem::remove_all(dir);
}

TEST(AdjustmentDictionary, ApplySkipsUnknownAndMistypedEntries) {
    auto a = fresh();
    const PlistDictionary before = a->dictionaryRepresentation();
    a->apply({{"enhance", 0.5},           {"sharpness", 0.5},         {"brightness.extra", 0.5},
              {"brightness.stage.x", "post"}, {"contrast", "high"},   {"contrast.stage", 1},
              {"saturation.stage", "sideways"}, {"vibrance", std::nan("")}, {"tint.secondaryValue", 1e300}});
    EXPECT_EQ(a->dictionaryRepresentation(), before);

    a->apply({{"contrast", int64_t(1)}, {"saturation.stage", "custom"}});
    EXPECT_EQ(a->value(T::contrast), 1.f);
    EXPECT_EQ(a->filter(T::saturation)->stage, S::custom);
}

TEST(AdjustmentStyleData, ColourIndexesWrapAboveSix) {
    auto check = [](float user, double preset, float expected) {
        auto a = fresh();
        a->filter(T::shadowColor)->value = user;
        a->applyStyleData({{"shadowColor", preset}});
        EXPECT_EQ(a->value(T::shadowColor), expected) << user << " + " << preset;
    };
    check(5, 4, 3);    // 9 → 3
    check(6, 6, 0);    // 12 → 0
    check(5, 1, 6);    // 6 kept
    check(2, 1.9, 3);  // the preset's number is truncated first
}

TEST(AdjustmentStyleData, SecondaryValuesTakeMaximumForShadowAndSumForHighlight) {
    auto a = fresh();
    a->applyStyleData({{"shadowColor.secondaryValue", 0.05}, {"highlightColor.secondaryValue", 0.05}});
    EXPECT_FLOAT_EQ(secondary(*a, T::shadowColor), 0.1f);
    EXPECT_FLOAT_EQ(secondary(*a, T::highlightColor), 0.15f);
    a->applyStyleData({{"shadowColor.secondaryValue", 0.3}});
    EXPECT_FLOAT_EQ(secondary(*a, T::shadowColor), 0.3f);
}

TEST(AdjustmentStyleData, NumbersAddStagesReplaceAndUnknownKeysAreIgnored) {
    auto a = fresh();
    a->filter(T::temperature)->value = 0.25f;
    const PlistDictionary before = a->dictionaryRepresentation();
    a->applyStyleData({{"enhance", 0.5}, {"structure", 0.5}, {"filterIntensity", 0.2}});
    EXPECT_EQ(a->dictionaryRepresentation(), before);

    a->applyStyleData({{"temperature", 0.5},
                       {"shadowColorForFilter", int64_t(6)},
                       {"whitePoint", -0.05},
                       {"brightness.stage", "post"},
                       {"contrast", "much"}});
    EXPECT_FLOAT_EQ(a->value(T::temperature), 0.75f);
    EXPECT_EQ(a->value(T::shadowColorForFilter), 6.f);
    EXPECT_FLOAT_EQ(a->value(T::whitePoint), -0.05f);
    EXPECT_EQ(a->filter(T::brightness)->stage, S::post);
    EXPECT_EQ(a->value(T::contrast), 0.f);
}

TEST(AdjustmentCopy, PresetChangesStayInTheFramesCopy) {
    auto user = fresh(true);
    user->filter(T::temperature)->value = 0.1f;
    user->processingVideo = true;
    user->currentFilter = user->filter(T::tint);

    auto frame = user->copy();
    EXPECT_EQ(frame->dictionaryRepresentation(), user->dictionaryRepresentation());
    EXPECT_TRUE(frame->isImageCaptureAutoDenoise && frame->processingVideo);
    ASSERT_TRUE(frame->currentFilter);
    EXPECT_EQ(frame->currentFilter, frame->filter(T::tint));

    frame->applyStyleData({{"brightness.stage", "post"}, {"temperature", 0.5}});
    EXPECT_EQ(frame->filter(T::brightness)->stage, S::post);
    EXPECT_FLOAT_EQ(frame->value(T::temperature), 0.6f);
    EXPECT_EQ(user->filter(T::brightness)->stage, S::pre);
    EXPECT_FLOAT_EQ(user->value(T::temperature), 0.1f);
}

TEST(AdjustmentCopy, TemporalBufferIsSeededNotShared) {
    auto user = fresh();
    EXPECT_FALSE(user->copy()->enhanceImageTemporalBuffer);
    user->processingVideo = true;
    user->enhanceInput(solid(32, 16, 0.6f, 0.4f, 0.2f, 1));
    auto frame = user->copy();
    ASSERT_TRUE(frame->enhanceImageTemporalBuffer);
    const Pixels seeded = readPixels(frame->enhanceImageTemporalBuffer->image());
    EXPECT_EQ(seeded.data, readPixels(user->enhanceImageTemporalBuffer->image()).data);
    user->enhanceInput(solid(32, 16, 0, 0, 0, 1));
    EXPECT_EQ(readPixels(frame->enhanceImageTemporalBuffer->image()).data, seeded.data);
}

TEST(AdjustmentReset, DefaultsComeBackStagesStayAndThePanelHears) {
    auto a = fresh(false);
    a->apply({{"brightness.stage", "post"}, {"brightness", 0.5}, {"shadowColor.secondaryValue", 0.7}});
    auto panel = std::make_shared<RecordingPanel>();
    a->setAdjustmentsCollectionVC(panel);
    EXPECT_EQ(panel->owner.lock(), a);

    a->resetToDefaults();
    EXPECT_EQ(a->value(T::brightness), 0.f);
    EXPECT_EQ(a->filter(T::brightness)->stage, S::post);
    EXPECT_FLOAT_EQ(secondary(*a, T::shadowColor), 0.1f);
    EXPECT_EQ(panel->reloads, 1);

    a->resetToDefaults(true);
    EXPECT_TRUE(a->isImageCaptureAutoDenoise && panel->autoDenoise);
    EXPECT_FLOAT_EQ(a->value(T::linesNoiseReduction), 0.2f);
    EXPECT_EQ(panel->reloads, 2);
}

TEST(AdjustmentPanel, FactoryBuildsThePanelWithAWeakBackReference) {
    auto a = fresh(true);
    a->makeAdjustmentsCollectionVC();
    EXPECT_FALSE(a->adjustmentsCollectionVC());  // nothing registered yet

    bool askedWith = false;
    QXFilterStandardAdjustments::setPanelFactory([&](bool autoDenoise) {
        askedWith = autoDenoise;
        return std::make_shared<RecordingPanel>();
    });
    a->makeAdjustmentsCollectionVC();
    QXFilterStandardAdjustments::setPanelFactory(nullptr);
    auto panel = a->adjustmentsCollectionVC();
    ASSERT_TRUE(panel);
    EXPECT_TRUE(askedWith);
    EXPECT_EQ(panel->owner.lock(), a);
    a.reset();
    EXPECT_TRUE(panel->owner.expired());
}

TEST(AdjustmentSummary, ListsOnlyWhatDiffersFromTheDefaults) {
    EXPECT_EQ(fresh(true)->adjustmentsSummary(), "");
    auto plain = fresh(false);
    plain->filter(T::linesNoiseReduction)->value = 0.2f;  // a change without auto-denoise
    EXPECT_EQ(plain->adjustmentsSummary(), displayName(T::linesNoiseReduction) + " 20");

    auto a = fresh(true);
    a->filter(T::brightness)->value = 0.25f;
    a->filter(T::tint)->value = -0.5f;
    a->filter(T::shadowColor)->value = 1;
    a->filter(T::shadowColorForFilter)->value = 3;  // a preset-only wash has no name to show
    EXPECT_EQ(a->adjustmentsSummary(), displayName(T::brightness) + " 25, " + displayName(T::tint) + " -50, " +
                                           displayName(T::shadowColor) + " (Red 10%)");
}
