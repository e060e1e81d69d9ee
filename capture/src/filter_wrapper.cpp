#include "vellari/capture/filter_wrapper.h"

#include <stdexcept>
#include <utility>

#include <spdlog/spdlog.h>

#include "vellari/capture/throttling.h"
#include "vellari/common/orientation_utility.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/profile.h"
#include "vellari/styles/style_presets.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

namespace {

constexpr std::string_view kAutoDenoiseKey = "imageCaptureAutoDenoise";
constexpr std::string_view kApplicationName = "Vellari";

// Captions are one line: every line break (CR, LF or CRLF) becomes one space.
std::string singleLine(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += ' ';
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string stringEntry(const PlistValue& info, std::string_view key) {
    const PlistValue* v = info.find(key);
    if (!v) return {};
    if (v->isString()) return v->string();
    if (v->isInteger()) return std::to_string(v->integer());
    return {};
}

void setFilterOutputResolution(QXVideoFilterAbstract& filter, double resolution) {
    // The stylising filter derives its input resolution from the output one.
    if (auto* styled = dynamic_cast<QXVideoFilterVellari*>(&filter))
        styled->setOutputResolution(resolution);
    else
        filter.outputResolution = resolution;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Base wrapper

QXVideoAbstractFilterWrapper::QXVideoAbstractFilterWrapper() : cameraTransform(AffineTransform::identity()) {}
QXVideoAbstractFilterWrapper::~QXVideoAbstractFilterWrapper() = default;

void QXVideoAbstractFilterWrapper::preprocessRawCaptureAVImage(const Picture&, const Size&) {}

Image QXVideoAbstractFilterWrapper::preprocessRawCaptureCIImage(const Image& image, const Size&) { return image; }

Image QXVideoAbstractFilterWrapper::processCIImage(const Image& image) { return image; }

void QXVideoAbstractFilterWrapper::stillImageCaptured(const Image&, std::function<void(const Image&)>) {
    spdlog::warn("{} not implemented", __PRETTY_FUNCTION__);
}

void QXVideoAbstractFilterWrapper::processParameterChange(const std::string&, const PlistValue&) {
    spdlog::warn("{} not implemented", __PRETTY_FUNCTION__);
}

Image QXVideoAbstractFilterWrapper::preferredImageForExport() { return {}; }

void QXVideoAbstractFilterWrapper::videoSessionDidBegin(QXVideoSessionManager*) {}
void QXVideoAbstractFilterWrapper::videoSessionDidSwitchCamera(QXVideoSessionManager*) {}
void QXVideoAbstractFilterWrapper::videoSessionDidEnd(QXVideoSessionManager*) {}
void QXVideoAbstractFilterWrapper::videoSessionWillPause(QXVideoSessionManager*) {}
void QXVideoAbstractFilterWrapper::videoSessionWillResume(QXVideoSessionManager*) {}

bool QXVideoAbstractFilterWrapper::handleTapOnImage(QXGestureRecognizer*, const Point&) { return false; }
bool QXVideoAbstractFilterWrapper::handlePanOnImage(QXGestureRecognizer*, const Point&) { return false; }

// ---------------------------------------------------------------------------------------
// Application wrapper

VellariFilterWrapper::VellariFilterWrapper()
    : VellariFilterWrapper(UserDefaults::standard(), NotificationCenter::defaultCenter(), Bundle::main()) {}

VellariFilterWrapper::VellariFilterWrapper(UserDefaults& store, NotificationCenter& center, const Bundle& bundle)
    : store_(&store), center_(&center), bundle_(&bundle) {
    filterCounter = 0;
    flattenBuffer.reset();
    lowerPowerFrameSkip = 0;
    lowerPowerLastFrame = Image();
    filters.clear();
    mediaType = kMediaTypeImage;

    isImageCaptureAutoDenoise = store_->boolForKey(kAutoDenoiseKey);

    adjustments_.reset();
    flattenOutput = false;
    delegate.reset();
    preferredOutputResolution = currentOutputResolution = 1080;

    imageResolution = imageCaptureResolutionSetting(*store_);
    videoResolution = videoCaptureResolutionSetting(*store_);

    for (auto* family : {&QXVideoFilterVellariCel::celStyles, &QXVideoFilterVellariBW::comicsStyles,
                         &QXVideoFilterVellariPencil::pencilStyles}) {
        StyleList styles = (*family)(*bundle_);
        filters.insert(filters.end(), styles.begin(), styles.end());
    }
    currentFilter = filters.empty() ? nullptr : filters[size_t(filterCounter)];
    if (!currentFilter) spdlog::error("The filter wrapper found no styles in the bundle at \"{}\".", bundle_->root());

    cameraTransform = AffineTransform::identity();

    // The panel comes from the interface layer's factory; without one there is none.
    adjustments()->makeAdjustmentsCollectionVC();
}

VellariFilterWrapper::~VellariFilterWrapper() = default;

std::shared_ptr<QXFilterStandardAdjustments> VellariFilterWrapper::adjustments() {
    if (!adjustments_) adjustments_ = QXFilterStandardAdjustments::create(isImageCaptureAutoDenoise);
    return adjustments_;
}

void VellariFilterWrapper::setAdjustments(std::shared_ptr<QXFilterStandardAdjustments> a) { adjustments_ = std::move(a); }

Image VellariFilterWrapper::processCIImage(const Image& input) {
    if (!currentFilter || input.isNull()) return input;
    QXVideoFilterAbstract& filter = *currentFilter;

    filter.watermarkTransform = (isTabletDevice && mediaType == kMediaTypeCamera)
                                    ? QXOrientationUtility::transformForOrientation(2, false)
                                    : cameraTransform;
    filter.videoProcessingTime = cameraTime;

    const double f = performanceThrottleFactor();
    const bool throttled = f > 1.0;

    if (throttled) {
        lowerPowerFrameSkip = (lowerPowerFrameSkip + 1) % 2;
        if (lowerPowerFrameSkip == 1 && lowerPowerLastFrame) return lowerPowerLastFrame;
    } else {
        lowerPowerFrameSkip = 0;
    }

    // A stage with nothing to contribute passes its input on rather than ending the frame.
    auto orElse = [](const Image& result, const Image& fallback) { return result ? result : fallback; };

    Image enhanced, pre, styled, post, finished;
    std::shared_ptr<QXFilterStandardAdjustments> frameAdjustments;
    {
        ProfileLabel label("enhance");
        enhanced = orElse(adjustments()->enhanceInput(input), input);
    }
    frameAdjustments = configureFilter(currentFilter);
    {
        ProfileLabel label("preStyle");
        pre = orElse(frameAdjustments->applyPreStyleStage(enhanced), enhanced);
    }
    filter.useLowQuality = throttled;
    {
        ProfileLabel label("style");
        styled = orElse(filter.processCIImage(pre), pre);
        styled = orElse(filter.addWatermark(styled), styled);
    }
    {
        ProfileLabel label("postStyle");
        post = orElse(frameAdjustments->applyPostStyleStage(styled), styled).samplingNearest();
    }
    ProfileLabel label("finish");
    if (throttled)
        finished = post.scaled(1.0 / f, 1.0 / f).samplingNearest();
    else
        finished = orElse(QXVideoFilterUtilities::FXAA(post), post);

    const Image flattened = flattenImage(finished);
    lowerPowerLastFrame = flattened;
    return flattened;
}

double VellariFilterWrapper::performanceThrottleFactor() {
    return ::vellari::performanceThrottleFactor(mediaType, *store_, *center_);
}

Image VellariFilterWrapper::flattenImage(const Image& image) {
    if (image.isNull()) return image;
    const Rect extent = image.extent();
    // Nothing finite to render into a buffer.
    if (extent.isEmpty() || extent.isInfinite()) return image;
    if (!flattenBuffer || flattenBuffer->extent().integral() != extent.integral())
        flattenBuffer = std::make_shared<ImageAccumulator>(extent);
    flattenBuffer->setImage(image);
    return flattenBuffer->image();
}

std::shared_ptr<QXFilterStandardAdjustments> VellariFilterWrapper::configureFilter(const StylePtr& filter) {
    if (!filter) return nullptr;
    std::shared_ptr<QXFilterStandardAdjustments> frame = adjustments()->copy();
    if (filter->styleData) frame->applyStyleData(*filter->styleData);
    filter->customData = frame->customDataRepresentation();
    setFilterOutputResolution(*filter, double(currentOutputResolution));
    // The watermark belongs to media kinds the application does not produce itself.
    filter->useWatermark =
        !(mediaType == kMediaTypeImage || mediaType == kMediaTypeVideo || mediaType == kMediaTypeCamera);
    return frame;
}

void VellariFilterWrapper::makeCurrent(const StylePtr& filter) {
    if (currentFilter) currentFilter->reset();
    currentFilter = filter;
}

void VellariFilterWrapper::selectNextFilter() {
    const int64_t n = int64_t(filters.size());
    if (n == 0) return;
    filterCounter = ((filterCounter + 1) % 1000) % n;
    makeCurrent(filters[size_t(filterCounter)]);
}

void VellariFilterWrapper::selectPreviousFilter() {
    const int64_t n = int64_t(filters.size());
    if (n == 0) return;
    // A counter left out of range by a shorter list must not index outside it.
    const int64_t current = ((filterCounter % n) + n) % n;
    filterCounter = ((n + current - 1) % 1000) % n;
    makeCurrent(filters[size_t(filterCounter)]);
}

void VellariFilterWrapper::selectFilter(const std::string& description) {
    for (const StylePtr& f : filters) {
        if (f && f->filterDescription == description) {
            makeCurrent(f);
            return;
        }
    }
}

void VellariFilterWrapper::selectFilterAt(int64_t index) {
    if (index < 0 || index >= int64_t(filters.size()))
        throw std::out_of_range("style index " + std::to_string(index) + " is outside 0..." +
                                std::to_string(int64_t(filters.size()) - 1));
    filterCounter = index;
    makeCurrent(filters[size_t(index)]);
}

void VellariFilterWrapper::resetAdjustmentsToMediaDefaults(bool isImage) {
    // Also tells the panel, if there is one, and has it reload its controls.
    adjustments()->resetToDefaults(isImage);
}

void VellariFilterWrapper::setupForCamera() {
    resetAdjustmentsToMediaDefaults(false);
    adjustments()->processingVideo = true;
    mediaType = kMediaTypeCamera;
    for (const StylePtr& f : filters) {
        if (!f) continue;
        f->useHighQualityDownsampling = false;
        f->videoProcessing = true;
    }
}

void VellariFilterWrapper::setupForImage() {
    resetAdjustmentsToMediaDefaults(true);
    preferredOutputResolution = currentOutputResolution = imageResolution.rawValue();
    adjustments()->processingVideo = false;
    mediaType = kMediaTypeImage;
    for (const StylePtr& f : filters) {
        if (!f) continue;
        f->useHighQualityDownsampling = true;
        f->videoProcessing = false;
    }
}

void VellariFilterWrapper::setupForVideo() {
    resetAdjustmentsToMediaDefaults(false);
    preferredOutputResolution = currentOutputResolution = 1080 + 540 * videoResolution.caseIndex();
    adjustments()->processingVideo = true;
    adjustments()->enhanceImageTemporalBuffer.reset();
    mediaType = kMediaTypeVideo;
    for (const StylePtr& f : filters) {
        if (!f) continue;
        f->useHighQualityDownsampling = true;
        f->videoProcessing = true;
    }
}

std::shared_ptr<VellariFilterWrapper> VellariFilterWrapper::duplicate() const {
    auto copy = std::make_shared<VellariFilterWrapper>(*store_, *center_, *bundle_);
    copy->isTabletDevice = isTabletDevice;
    copy->mediaType = mediaType;
    switch (mediaType) {
    case kMediaTypeCamera: copy->setupForCamera(); break;
    case kMediaTypeVideo: copy->setupForVideo(); break;
    case kMediaTypeImage: copy->setupForImage(); break;
    default: break;
    }
    copy->filterCounter = filterCounter;
    if (currentFilter) copy->selectFilter(currentFilter->filterDescription);
    if (adjustments_) copy->setAdjustments(adjustments_->copy());
    copy->flattenOutput = flattenOutput;
    copy->delegate = delegate;
    copy->currentOutputResolution = currentOutputResolution;
    copy->preferredOutputResolution = preferredOutputResolution;
    copy->imageResolution = imageResolution;
    copy->videoResolution = videoResolution;
    copy->cameraTransform = cameraTransform;
    copy->cameraTime = cameraTime;
    return copy;
}

std::string VellariFilterWrapper::imageResolutionTitle() const {
    return bundle_->localizedString(std::string(imageResolution.titleKey()));
}

std::string VellariFilterWrapper::applicationVersionText(const Bundle& bundle) {
    std::string version, build;
    if (bundle.valid()) {
        if (auto path = bundle.pathForResource("Info", "plist")) {
            if (auto info = readPlistFile(*path)) {
                version = stringEntry(*info, "CFBundleShortVersionString");
                build = stringEntry(*info, "CFBundleVersion");
            }
        }
    }
#ifdef VELLARI_VERSION
    if (version.empty()) version = VELLARI_VERSION;
#endif
    if (version.empty()) version = "N/A";
    if (!build.empty()) version += " (" + build + ")";
    return version;
}

QXPhotoMetadata VellariFilterWrapper::photoMetadata() const {
    QXPhotoMetadata m;
    m.originatingProgram = std::string(kApplicationName);
    m.programVersion = applicationVersionText(*bundle_);
    const std::string filterName = currentFilter ? currentFilter->filterDescription : std::string("Filter N/A");
    m.caption = std::string(kApplicationName) + " | " + singleLine(filterName) + " @(" + imageResolutionTitle() + ")";
    // Fresh adjustments have nothing to summarise, so an unread lazy object adds nothing.
    const std::string summary = adjustments_ ? adjustments_->adjustmentsSummary() : std::string();
    if (!summary.empty()) m.caption += " | Adjustments: " + summary;
    return m;
}

}  // namespace vellari
