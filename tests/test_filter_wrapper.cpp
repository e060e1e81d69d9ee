// The filter wrapper: style selection, the throttling decision and frame skipping, media
// setup and resolutions from the settings, flattening, filter configuration, duplicates,
// and the photo metadata written into exported stills.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "test_support.h"
#include "vellari/capture/filter_wrapper.h"
#include "vellari/capture/throttling.h"
#include "vellari/common/orientation_utility.h"
#include "vellari/platform/device_state.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

// Returns a fixed picture (or its input) and records what the wrapper told it.
class ProbeFilter : public QXVideoFilterAbstract {
public:
    explicit ProbeFilter(std::string description, Image output = {}) : output_(std::move(output)) {
        filterDescription = std::move(description);
    }
    std::string className() const override { return "ProbeFilter"; }
    Image processCIImage(const Image& image) override {
        lowQualitySeen.push_back(useLowQuality);
        customDataSeen = customData;
        outputResolutionSeen = outputResolution;
        return output_ ? output_ : image;
    }
    // A buffer that reset() must drop.
    void fillBuffers() { previousImageBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, 2, 2}); }
    bool wasReset() const { return previousImageBuffer == nullptr; }

    std::vector<bool> lowQualitySeen;
    std::optional<std::map<std::string, double>> customDataSeen;
    double outputResolutionSeen = 0;

private:
    Image output_;
};

// Black and white pixels in no regular pattern: resampling that blends neighbours makes
// greys of it, nearest sampling never does.
Image binaryNoise(int w, int h) {
    return test::imageFrom(w, h, [](int x, int y, float* p) {
        const uint32_t hash = (uint32_t(x) * 73856093u) ^ (uint32_t(y) * 19349663u) ^ 0x9e3779b9u;
        const float v = ((hash >> 7) & 1u) ? 1.f : 0.f;
        p[0] = p[1] = p[2] = v;
        p[3] = 1;
    });
}

std::set<int> distinctRedLevels(const Image& image) {
    const test::Pixels px = test::readPixels(image);
    std::set<int> levels;
    for (int y = px.rect.y; y < px.rect.bottom(); ++y)
        for (int x = px.rect.x; x < px.rect.right(); ++x) levels.insert(int(std::lround(px.at(x, y, 0) * 255)));
    return levels;
}

class FilterWrapperTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = test::tempDir();
        store_ = std::make_unique<UserDefaults>(dir_ + "/settings.plist");
        DeviceState::setLowPowerModeOverride(false);
        DeviceState::setThermalStateOverride(ThermalState::nominal);
        for (std::string_view name : PerformanceThrottling::allNames) {
            observations_.emplace_back(center_, std::string(name),
                                       [this](const std::string& n) { posted_.push_back(n); });
        }
    }
    void TearDown() override {
        DeviceState::clearOverrides();
        observations_.clear();
        store_.reset();
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    std::unique_ptr<VellariFilterWrapper> makeWrapper() {
        return std::make_unique<VellariFilterWrapper>(*store_, center_);
    }

    // Replaces the styles with probes; the last one is current.
    std::vector<std::shared_ptr<ProbeFilter>> useProbes(VellariFilterWrapper& w, int count, Image output = {}) {
        std::vector<std::shared_ptr<ProbeFilter>> probes;
        w.filters.clear();
        for (int i = 0; i < count; ++i) {
            probes.push_back(std::make_shared<ProbeFilter>("Probe " + std::to_string(i), output));
            w.filters.push_back(probes.back());
        }
        w.filterCounter = count - 1;
        w.currentFilter = w.filters.back();
        return probes;
    }

    void enableThrottling() {
        DeviceState::setLowPowerModeOverride(true);
        ASSERT_TRUE(store_->set("shouldUsePerformanceThrottling", PlistValue(true)));
    }

    std::string dir_;
    std::unique_ptr<UserDefaults> store_;
    NotificationCenter center_;
    std::vector<NotificationObservation> observations_;
    std::vector<std::string> posted_;
};

// --- base wrapper ----------------------------------------------------------------------

TEST(AbstractFilterWrapper, PassesImagesThroughAndHandlesNothing) {
    QXVideoAbstractFilterWrapper w;
    const Image img = test::solid(8, 6, 0.2f, 0.4f, 0.6f, 1);
    EXPECT_TRUE(w.processCIImage(img).sameAs(img));
    EXPECT_TRUE(w.preprocessRawCaptureCIImage(img, {4, 3}).sameAs(img));
    EXPECT_TRUE(w.preferredImageForExport().isNull());
    EXPECT_FALSE(w.handleTapOnImage(nullptr, {1, 1}));
    EXPECT_FALSE(w.handlePanOnImage(nullptr, {1, 1}));
    EXPECT_TRUE(w.cameraTransform.isIdentity());
    bool called = false;
    w.stillImageCaptured(img, [&](const Image&) { called = true; });
    EXPECT_FALSE(called);
}

// --- initialisation and settings -------------------------------------------------------

TEST_F(FilterWrapperTest, InitialStateLoadsTheThreeStyleFamiliesAndReadsSettings) {
    auto w = makeWrapper();
    EXPECT_EQ(w->mediaType, 1);
    EXPECT_EQ(w->filterCounter, 0);
    EXPECT_EQ(w->currentOutputResolution, 1080);
    EXPECT_EQ(w->preferredOutputResolution, 1080);
    ASSERT_FALSE(w->filters.empty());
    EXPECT_EQ(w->currentFilter, w->filters.front());
    EXPECT_EQ(w->filters.front()->className(), "QXVideoFilterVellariCel");
    EXPECT_EQ(w->filters.back()->className(), "QXVideoFilterVellariPencil");
    // Absent settings: the medium still class and 1080 movies.
    EXPECT_EQ(w->imageResolution.caseIndex(), 1);
    EXPECT_EQ(w->videoResolution.caseIndex(), 0);
    EXPECT_FALSE(w->isImageCaptureAutoDenoise);
}

TEST_F(FilterWrapperTest, ResolutionsAndDenoiseComeFromTheStore) {
    ASSERT_TRUE(store_->setValues({{"imageCaptureResolution", PlistValue(int64_t(3240))},
                                   {"videoCaptureResolution", PlistValue(int64_t(2160))},
                                   {"imageCaptureAutoDenoise", PlistValue(true)}}));
    auto w = makeWrapper();
    EXPECT_EQ(w->imageResolution.caseIndex(), 3);
    EXPECT_EQ(w->videoResolution.caseIndex(), 2);
    EXPECT_TRUE(w->isImageCaptureAutoDenoise);
    EXPECT_TRUE(w->adjustments()->isImageCaptureAutoDenoise);

    // Values the pickers never write fall back to the defaults.
    ASSERT_TRUE(store_->setValues({{"imageCaptureResolution", PlistValue(int64_t(720))},
                                   {"videoCaptureResolution", PlistValue(int64_t(3240))}}));
    auto other = makeWrapper();
    EXPECT_EQ(other->imageResolution.caseIndex(), 1);
    EXPECT_EQ(other->videoResolution.caseIndex(), 0);
}

// --- selection -------------------------------------------------------------------------

TEST_F(FilterWrapperTest, NextAndPreviousWrapAroundAndResetTheFilterLeft) {
    auto w = makeWrapper();
    auto probes = useProbes(*w, 4);
    probes[3]->fillBuffers();
    w->selectNextFilter();
    EXPECT_EQ(w->filterCounter, 0);
    EXPECT_EQ(w->currentFilter, probes[0]);
    EXPECT_TRUE(probes[3]->wasReset());

    probes[0]->fillBuffers();
    probes[3]->fillBuffers();
    w->selectPreviousFilter();
    EXPECT_EQ(w->filterCounter, 3);
    EXPECT_EQ(w->currentFilter, probes[3]);
    EXPECT_TRUE(probes[0]->wasReset());
    // The one selected is not reset on the way in.
    EXPECT_FALSE(probes[3]->wasReset());

    w->selectPreviousFilter();
    EXPECT_EQ(w->filterCounter, 2);
}

TEST_F(FilterWrapperTest, SelectByDescriptionKeepsTheCounterAndIgnoresUnknownNames) {
    auto w = makeWrapper();
    auto probes = useProbes(*w, 4);
    w->selectFilter("Probe 1");
    EXPECT_EQ(w->currentFilter, probes[1]);
    EXPECT_EQ(w->filterCounter, 3);

    probes[1]->fillBuffers();
    w->selectFilter("No Such Style");
    EXPECT_EQ(w->currentFilter, probes[1]);
    EXPECT_EQ(w->filterCounter, 3);
    EXPECT_FALSE(probes[1]->wasReset());
}

TEST_F(FilterWrapperTest, SelectByIndexRejectsIndicesOutsideTheList) {
    auto w = makeWrapper();
    auto probes = useProbes(*w, 4);
    w->selectFilterAt(2);
    EXPECT_EQ(w->filterCounter, 2);
    EXPECT_EQ(w->currentFilter, probes[2]);
    EXPECT_THROW(w->selectFilterAt(4), std::out_of_range);
    EXPECT_THROW(w->selectFilterAt(-1), std::out_of_range);
    EXPECT_EQ(w->filterCounter, 2);
    EXPECT_EQ(w->currentFilter, probes[2]);
}

TEST_F(FilterWrapperTest, SelectionOnAnEmptyListDoesNothing) {
    auto w = makeWrapper();
    w->filters.clear();
    w->currentFilter = nullptr;
    w->selectNextFilter();
    w->selectPreviousFilter();
    EXPECT_EQ(w->currentFilter, nullptr);
    const Image img = test::solid(8, 6, 0.5f, 0.5f, 0.5f, 1);
    EXPECT_TRUE(w->processCIImage(img).sameAs(img));
}

// --- throttling ------------------------------------------------------------------------

TEST_F(FilterWrapperTest, LowPowerOutsideTheCameraIsNeitherThrottledNorAnnounced) {
    enableThrottling();
    auto w = makeWrapper();
    for (uint8_t media : {uint8_t(1), uint8_t(2)}) {
        w->mediaType = media;
        EXPECT_EQ(w->performanceThrottleFactor(), 1.0) << int(media);
    }
    EXPECT_TRUE(posted_.empty());
}

TEST_F(FilterWrapperTest, CameraFactorAndNotificationFollowTheDeviceState) {
    auto w = makeWrapper();
    w->setupForCamera();
    DeviceState::setThermalStateOverride(ThermalState::fair);
    EXPECT_EQ(w->performanceThrottleFactor(), 1.0);
    EXPECT_EQ(posted_, std::vector<std::string>{"performanceThrottleNone"});

    // Hot, but the user has not opted in.
    posted_.clear();
    DeviceState::setThermalStateOverride(ThermalState::critical);
    EXPECT_EQ(w->performanceThrottleFactor(), 1.0);
    EXPECT_EQ(posted_, std::vector<std::string>{"performanceThrottleNone"});

    posted_.clear();
    ASSERT_TRUE(store_->set("shouldUsePerformanceThrottling", PlistValue(true)));
    EXPECT_EQ(w->performanceThrottleFactor(), 8.0);
    DeviceState::setLowPowerModeOverride(true);
    EXPECT_EQ(w->performanceThrottleFactor(), 4.0);
    EXPECT_EQ(posted_, (std::vector<std::string>{"performanceThrottleThermal", "performanceThrottleLowPower"}));
}

TEST_F(FilterWrapperTest, ThrottledCameraSkipsEverySecondFrameAndScalesDownWithNearestSampling) {
    enableThrottling();
    auto w = makeWrapper();
    w->setupForCamera();
    auto probes = useProbes(*w, 1, binaryNoise(64, 48));
    const Image input = test::solid(64, 48, 0.3f, 0.5f, 0.7f, 1);

    const Image f1 = w->processCIImage(input);
    const Image f2 = w->processCIImage(input);
    const Image f3 = w->processCIImage(input);
    const Image f4 = w->processCIImage(input);
    const Image f5 = w->processCIImage(input);

    // Frames 1, 2 and 4 ran the style, each in low quality; 3 and 5 repeated the last result.
    EXPECT_EQ(probes[0]->lowQualitySeen, (std::vector<bool>{true, true, true}));
    EXPECT_TRUE(f3.sameAs(f2));
    EXPECT_TRUE(f5.sameAs(f4));
    EXPECT_TRUE(w->lowerPowerLastFrame.sameAs(f5));

    // Low-power factor 4: a quarter of the size in each axis, and still only black and white.
    for (const Image& f : {f1, f2, f4}) {
        EXPECT_EQ(f.extent().integral(), (IRect{0, 0, 16, 12}));
        EXPECT_EQ(distinctRedLevels(f), (std::set<int>{0, 255}));
    }
    EXPECT_EQ(posted_.size(), 5u);
    for (const std::string& n : posted_) EXPECT_EQ(n, "performanceThrottleLowPower");
}

TEST_F(FilterWrapperTest, ThrottlingStopsAsSoonAsTheConditionEnds) {
    enableThrottling();
    auto w = makeWrapper();
    w->setupForCamera();
    auto probes = useProbes(*w, 1, binaryNoise(64, 48));
    const Image input = test::solid(64, 48, 0.3f, 0.5f, 0.7f, 1);
    w->processCIImage(input);  // skip counter now 1
    DeviceState::setLowPowerModeOverride(false);
    const Image full = w->processCIImage(input);
    w->processCIImage(input);
    EXPECT_EQ(probes[0]->lowQualitySeen, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(w->lowerPowerFrameSkip, 0);
    EXPECT_EQ(full.extent().integral(), (IRect{0, 0, 64, 48}));
}

TEST_F(FilterWrapperTest, StillsAndVideoAreNeverThrottled) {
    enableThrottling();
    auto w = makeWrapper();
    const Image input = test::solid(64, 48, 0.3f, 0.5f, 0.7f, 1);
    for (int media : {1, 2}) {
        if (media == 1)
            w->setupForImage();
        else
            w->setupForVideo();
        auto probes = useProbes(*w, 1);
        for (int i = 0; i < 3; ++i) {
            const Image out = w->processCIImage(input);
            EXPECT_EQ(out.extent().integral(), (IRect{0, 0, 64, 48}));
        }
        EXPECT_EQ(probes[0]->lowQualitySeen, (std::vector<bool>{false, false, false})) << media;
    }
    EXPECT_TRUE(posted_.empty());
}

// --- per-frame configuration -----------------------------------------------------------

TEST_F(FilterWrapperTest, FrameTellsTheStyleItsTimeTransformDataAndResolution) {
    auto w = makeWrapper();
    w->setupForCamera();
    auto probes = useProbes(*w, 1);
    w->adjustments()->filter(AdjustmentType::brightness)->value = 0.25f;
    w->currentOutputResolution = w->preferredOutputResolution = 512;
    w->cameraTime = 12.5;
    w->cameraTransform = QXOrientationUtility::transformForOrientation(1, true);
    w->processCIImage(test::solid(64, 48, 0.3f, 0.5f, 0.7f, 1));

    EXPECT_EQ(probes[0]->videoProcessingTime, 12.5);
    EXPECT_EQ(probes[0]->watermarkTransform, w->cameraTransform);
    EXPECT_EQ(probes[0]->outputResolutionSeen, 512);
    ASSERT_TRUE(probes[0]->customDataSeen);
    EXPECT_FLOAT_EQ(float(probes[0]->customDataSeen->at("brightness")), 0.25f);

    // Tablets place the camera's watermark for the upside-down portrait layout.
    w->isTabletDevice = true;
    w->processCIImage(test::solid(64, 48, 0.3f, 0.5f, 0.7f, 1));
    EXPECT_EQ(probes[0]->watermarkTransform, QXOrientationUtility::transformForOrientation(2, false));
}

TEST_F(FilterWrapperTest, ConfigureFilterAddsStyleDataToACopyOfTheAdjustments) {
    auto w = makeWrapper();
    w->setupForCamera();
    w->currentOutputResolution = 1620;
    w->adjustments()->filter(AdjustmentType::contrast)->value = 0.25f;
    auto style = std::make_shared<QXVideoFilterVellari>();
    style->styleData = StyleData{{"contrast", PlistValue(0.5)}, {"saturation", PlistValue(-0.25)}};
    style->useWatermark = true;

    const auto frame = w->configureFilter(style);
    ASSERT_TRUE(frame);
    EXPECT_NE(frame, w->adjustments());
    EXPECT_FLOAT_EQ(frame->value(AdjustmentType::contrast), 0.75f);
    EXPECT_FLOAT_EQ(w->adjustments()->value(AdjustmentType::contrast), 0.25f);
    ASSERT_TRUE(style->customData);
    EXPECT_FLOAT_EQ(float(style->customData->at("contrast")), 0.75f);
    EXPECT_FLOAT_EQ(float(style->customData->at("saturation")), -0.25f);
    EXPECT_EQ(*style->customData, frame->customDataRepresentation());
    EXPECT_EQ(style->outputResolution, 1620);
    EXPECT_EQ(style->inputResolution, 1620 / style->outputFactor);
    EXPECT_FALSE(style->useWatermark);

    // Media the application does not make itself carry the watermark.
    w->mediaType = 3;
    w->configureFilter(style);
    EXPECT_TRUE(style->useWatermark);
    EXPECT_EQ(w->configureFilter(nullptr), nullptr);
}

// --- media setup -----------------------------------------------------------------------

TEST_F(FilterWrapperTest, SetupForImageUsesTheStillResolution) {
    const std::vector<std::pair<int64_t, int64_t>> cases{{1080, 1080}, {1620, 1620}, {2160, 2160}, {3240, 3240}};
    for (auto [stored, expected] : cases) {
        ASSERT_TRUE(store_->set("imageCaptureResolution", PlistValue(stored)));
        auto w = makeWrapper();
        w->setupForImage();
        EXPECT_EQ(w->currentOutputResolution, expected);
        EXPECT_EQ(w->preferredOutputResolution, expected);
        EXPECT_EQ(w->mediaType, 1);
        EXPECT_FALSE(w->adjustments()->processingVideo);
        EXPECT_TRUE(w->adjustments()->isImageCaptureAutoDenoise);
        for (const auto& f : w->filters) {
            EXPECT_TRUE(f->useHighQualityDownsampling);
            EXPECT_FALSE(f->videoProcessing);
        }
    }
}

TEST_F(FilterWrapperTest, SetupForVideoUsesTheMovieResolutionAndDropsTheEnhancementHistory) {
    for (int64_t stored : {1080, 1620, 2160}) {
        ASSERT_TRUE(store_->set("videoCaptureResolution", PlistValue(stored)));
        auto w = makeWrapper();
        w->adjustments()->enhanceImageTemporalBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, 4, 4});
        w->setupForVideo();
        EXPECT_EQ(w->currentOutputResolution, 1080 + 540 * w->videoResolution.caseIndex());
        EXPECT_EQ(w->currentOutputResolution, stored);
        EXPECT_EQ(w->preferredOutputResolution, stored);
        EXPECT_EQ(w->mediaType, 2);
        EXPECT_TRUE(w->adjustments()->processingVideo);
        EXPECT_EQ(w->adjustments()->enhanceImageTemporalBuffer, nullptr);
        for (const auto& f : w->filters) {
            EXPECT_TRUE(f->useHighQualityDownsampling);
            EXPECT_TRUE(f->videoProcessing);
        }
    }
}

TEST_F(FilterWrapperTest, SetupForCameraKeepsResolutionsAndResetsAdjustments) {
    auto w = makeWrapper();
    w->currentOutputResolution = w->preferredOutputResolution = 2160;
    w->setupForImage();
    auto a = w->adjustments();
    EXPECT_FLOAT_EQ(a->value(AdjustmentType::linesNoiseReduction), 0.2f);
    for (const AdjustmentPtr& f : a->filters) {
        f->value = 0.5f;
        f->secondaryValue = 0.9f;
    }

    w->currentOutputResolution = w->preferredOutputResolution = 512;
    w->setupForCamera();
    EXPECT_EQ(w->currentOutputResolution, 512);
    EXPECT_EQ(w->preferredOutputResolution, 512);
    EXPECT_EQ(w->mediaType, 4);
    EXPECT_TRUE(a->processingVideo);
    EXPECT_FALSE(a->isImageCaptureAutoDenoise);
    // The camera never denoises automatically, and the washes return to 10 %.
    EXPECT_FLOAT_EQ(a->value(AdjustmentType::linesNoiseReduction), 0);
    EXPECT_FLOAT_EQ(a->filter(AdjustmentType::shadowColor)->secondaryValue, 0.1f);
    EXPECT_FLOAT_EQ(a->filter(AdjustmentType::highlightColor)->secondaryValue, 0.1f);
    for (const AdjustmentPtr& f : a->filters) {
        EXPECT_FLOAT_EQ(f->value, defaultValue(f->type, false)) << rawValue(f->type);
        EXPECT_FLOAT_EQ(f->secondaryValue, defaultSecondaryValue(f->type)) << rawValue(f->type);
    }
    for (const auto& f : w->filters) {
        EXPECT_FALSE(f->useHighQualityDownsampling);
        EXPECT_TRUE(f->videoProcessing);
    }
}

// --- flattening ------------------------------------------------------------------------

TEST_F(FilterWrapperTest, FlattenKeepsOneAccumulatorPerExtent) {
    auto w = makeWrapper();
    const Image a = test::imageFrom(64, 48, [](int x, int y, float* p) {
        p[0] = float(x) / 63; p[1] = float(y) / 47; p[2] = 0.5f; p[3] = 1;
    });
    const Image out1 = w->flattenImage(a);
    const auto first = w->flattenBuffer;
    ASSERT_TRUE(first);
    EXPECT_EQ(first->extent().integral(), (IRect{0, 0, 64, 48}));
    // The content is the image, to 8-bit precision.
    const test::Pixels in = test::readPixels(a), got = test::readPixels(out1);
    for (size_t i = 0; i < in.data.size(); ++i) ASSERT_NEAR(got.data[i], in.data[i], 0.5 / 255 + 1e-6) << i;

    w->flattenImage(test::solid(64, 48, 1, 0, 0, 1));
    EXPECT_EQ(w->flattenBuffer, first);

    const Image out3 = w->flattenImage(test::solid(32, 24, 0, 1, 0, 1));
    ASSERT_NE(w->flattenBuffer, first);
    EXPECT_EQ(w->flattenBuffer->extent().integral(), (IRect{0, 0, 32, 24}));
    EXPECT_EQ(out3.extent().integral(), (IRect{0, 0, 32, 24}));
    // A frame handed out earlier keeps its pixels when the buffer is written again.
    const test::Pixels again = test::readPixels(out1);
    EXPECT_EQ(again.data, got.data);
}

TEST_F(FilterWrapperTest, FlattenPassesImagesWithoutAFiniteExtentThrough) {
    auto w = makeWrapper();
    const Image infinite = Image::constantColor(Color{0.5, 0.5, 0.5, 1});
    EXPECT_TRUE(w->flattenImage(infinite).sameAs(infinite));
    EXPECT_TRUE(w->flattenImage(Image()).isNull());
    EXPECT_EQ(w->flattenBuffer, nullptr);
}

// --- duplicates ------------------------------------------------------------------------

TEST_F(FilterWrapperTest, DuplicateCopiesSetupAndSelectionButSharesNothingMutable) {
    auto w = makeWrapper();
    w->setupForCamera();
    w->selectFilterAt(2);
    w->adjustments()->filter(AdjustmentType::brightness)->value = 0.4f;
    w->currentOutputResolution = w->preferredOutputResolution = 512;
    w->imageResolution = ImageResolution::giant;
    w->cameraTransform = QXOrientationUtility::transformForOrientation(4, false);
    w->cameraTime = 3.25;
    w->flattenOutput = true;
    auto observer = std::make_shared<VellariFilterWrapperDelegate>();
    w->delegate = observer;

    const auto copy = w->duplicate();
    EXPECT_EQ(copy->mediaType, 4);
    EXPECT_EQ(copy->filterCounter, 2);
    ASSERT_TRUE(copy->currentFilter);
    EXPECT_EQ(copy->currentFilter->filterDescription, w->currentFilter->filterDescription);
    EXPECT_TRUE(copy->currentFilter->videoProcessing);
    EXPECT_EQ(copy->currentOutputResolution, 512);
    EXPECT_EQ(copy->preferredOutputResolution, 512);
    EXPECT_EQ(copy->imageResolution, ImageResolution::giant);
    EXPECT_EQ(copy->cameraTransform, w->cameraTransform);
    EXPECT_EQ(copy->cameraTime, 3.25);
    EXPECT_TRUE(copy->flattenOutput);
    EXPECT_EQ(copy->delegate.lock(), observer);
    EXPECT_FLOAT_EQ(copy->adjustments()->value(AdjustmentType::brightness), 0.4f);
    EXPECT_TRUE(copy->adjustments()->processingVideo);

    EXPECT_NE(copy->adjustments(), w->adjustments());
    for (const auto& mine : w->filters)
        for (const auto& theirs : copy->filters) ASSERT_NE(mine, theirs);
    copy->adjustments()->filter(AdjustmentType::brightness)->value = -0.6f;
    EXPECT_FLOAT_EQ(w->adjustments()->value(AdjustmentType::brightness), 0.4f);

    // Frames through the copy leave the source's buffers alone.
    copy->processCIImage(test::solid(64, 48, 0.3f, 0.5f, 0.7f, 1));
    EXPECT_EQ(w->flattenBuffer, nullptr);
    EXPECT_TRUE(w->lowerPowerLastFrame.isNull());
}

// --- photo metadata --------------------------------------------------------------------

TEST_F(FilterWrapperTest, PhotoMetadataCaptionNamesStyleSizeAndAdjustments) {
    auto w = makeWrapper();
    w->setupForImage();
    auto probes = useProbes(*w, 1);
    probes[0]->filterDescription = "Ink\nWash\r\nDeep";
    w->imageResolution = ImageResolution::medium;

    QXPhotoMetadata m = w->photoMetadata();
    EXPECT_EQ(m.originatingProgram, "Vellari");
    EXPECT_FALSE(m.programVersion.empty());
    EXPECT_EQ(m.caption, "Vellari | Ink Wash Deep @(" + w->imageResolutionTitle() + ")");
    EXPECT_EQ(m.caption.find("Adjustments"), std::string::npos);

    w->adjustments()->filter(AdjustmentType::brightness)->value = 0.25f;
    const std::string summary = w->adjustments()->adjustmentsSummary();
    ASSERT_FALSE(summary.empty());
    m = w->photoMetadata();
    EXPECT_EQ(m.caption, "Vellari | Ink Wash Deep @(" + w->imageResolutionTitle() + ") | Adjustments: " + summary);
}

TEST_F(FilterWrapperTest, ProgramVersionAddsTheBuildOnlyWhenThereIsOne) {
    const std::string root = dir_ + "/bundle";
    fs::create_directories(root);
    const Bundle bundle(root);
    // No information file: the build's own version, never an empty field.
    const std::string fallback = VellariFilterWrapper::applicationVersionText(bundle);
    EXPECT_FALSE(fallback.empty());
    EXPECT_EQ(fallback.find('('), std::string::npos);

    ASSERT_EQ(writePlistFile(PlistValue(PlistDictionary{{"CFBundleShortVersionString", PlistValue("2.3")},
                                                        {"CFBundleVersion", PlistValue("45")}}),
                             root + "/Info.plist"),
              "");
    EXPECT_EQ(VellariFilterWrapper::applicationVersionText(Bundle(root)), "2.3 (45)");

    ASSERT_EQ(writePlistFile(PlistValue(PlistDictionary{{"CFBundleShortVersionString", PlistValue("2.4")}}),
                             root + "/Info.plist"),
              "");
    EXPECT_EQ(VellariFilterWrapper::applicationVersionText(Bundle(root)), "2.4");
}

}  // namespace
}  // namespace vellari
