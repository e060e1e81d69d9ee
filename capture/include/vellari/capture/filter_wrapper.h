#pragma once
// The one entry point through which every image is styled: live camera frames, stills,
// decoded video frames and thumbnails. The wrapper owns the selectable styles and the
// current one, the user adjustments, the output resolution, and the per-frame tricks that
// keep the live preview fluid (throttling with frame skipping, flattening into a buffer).
//
// A wrapper is not locked: each instance is driven by one queue at a time, and background
// work uses duplicate() copies, which share no mutable state with their source.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vellari/adjustments/standard_adjustments.h"
#include "vellari/capture/resolutions.h"
#include "vellari/engine/filter_abstract.h"
#include "vellari/platform/bundle.h"
#include "vellari/platform/context.h"
#include "vellari/platform/geometry.h"
#include "vellari/platform/image.h"
#include "vellari/platform/notification_center.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/plist.h"
#include "vellari/platform/user_defaults.h"

namespace vellari {

class QXVideoSessionManager;
class QXGestureRecognizer;

// The still-capture size class the wrapper keeps (index 0...3 = caseIndex()).
using ImageResolution = VellariImageResolution;
using VideoResolution = VellariVideoResolution;

// The media kinds a wrapper is set up for (raw values of the media-type enumeration).
inline constexpr uint8_t kMediaTypeImage = 1;
inline constexpr uint8_t kMediaTypeVideo = 2;
inline constexpr uint8_t kMediaTypeCamera = 4;

// The IPTC fields written into exported stills.
struct QXPhotoMetadata {
    std::string originatingProgram;
    std::string programVersion;
    std::string caption;
    friend bool operator==(const QXPhotoMetadata&, const QXPhotoMetadata&) = default;
};

// The interface the capture session and the preview view know. By itself it passes
// images through and does nothing else.
class QXVideoAbstractFilterWrapper {
public:
    QXVideoAbstractFilterWrapper();
    virtual ~QXVideoAbstractFilterWrapper();
    QXVideoAbstractFilterWrapper(const QXVideoAbstractFilterWrapper&) = delete;
    QXVideoAbstractFilterWrapper& operator=(const QXVideoAbstractFilterWrapper&) = delete;

    // A raw camera frame (32-bit BGRA pixel buffer, here as its picture) before it becomes
    // an image; nothing by default.
    virtual void preprocessRawCaptureAVImage(const Picture& pixelBuffer, const Size& finalMaxSize);
    // Returns its input by default.
    virtual Image preprocessRawCaptureCIImage(const Image& image, const Size& finalMaxSize);
    // The per-frame pipeline; returns its input by default.
    virtual Image processCIImage(const Image& image);
    // A finished still handed back through `completion`; only logged by default.
    virtual void stillImageCaptured(const Image& still, std::function<void(const Image&)> completion);
    // Only logged by default.
    virtual void processParameterChange(const std::string& key, const PlistValue& paramValue);
    // Null by default.
    virtual Image preferredImageForExport();

    virtual void videoSessionDidBegin(QXVideoSessionManager* session);
    virtual void videoSessionDidSwitchCamera(QXVideoSessionManager* session);
    virtual void videoSessionDidEnd(QXVideoSessionManager* session);
    virtual void videoSessionWillPause(QXVideoSessionManager* session);
    virtual void videoSessionWillResume(QXVideoSessionManager* session);

    // Whether the gesture was handled; false by default.
    virtual bool handleTapOnImage(QXGestureRecognizer* gesture, const Point& imagePoint);
    virtual bool handlePanOnImage(QXGestureRecognizer* gesture, const Point& imagePoint);

    // The last raw camera frame and the last finished one, both upright.
    Image lastInputCIImage;
    Image lastProcessedCIImage;
    // Sensor to display orientation of the current camera.
    AffineTransform cameraTransform = AffineTransform::identity();
    // Presentation time in seconds of the frame being processed; set before each frame.
    double cameraTime = 0;
};

// Whoever observes a wrapper; the processing path never calls it.
class VellariFilterWrapperDelegate {
public:
    virtual ~VellariFilterWrapperDelegate() = default;
};

class VellariFilterWrapper : public QXVideoAbstractFilterWrapper {
public:
    using StylePtr = std::shared_ptr<QXVideoFilterAbstract>;

    // Settings from the standard store, notifications on the default centre, styles from
    // the main bundle.
    VellariFilterWrapper();
    // The same with another store, centre and bundle (each must outlive the wrapper and
    // its duplicates).
    VellariFilterWrapper(UserDefaults& store, NotificationCenter& center, const Bundle& bundle = Bundle::main());
    ~VellariFilterWrapper() override;

    // --- per frame
    Image processCIImage(const Image& image) override;
    // 1 (none), 4 (low power), 6 or 8 (thermal); only the camera is ever throttled. Posts
    // the matching notification on every camera frame.
    double performanceThrottleFactor();
    // Renders `image` into the reusable accumulator (re-created when the extent changes)
    // and returns the accumulator's content. An empty or infinite image is returned as is.
    Image flattenImage(const Image& image);
    // Pushes this frame's adjustments, the output resolution and the watermark switch into
    // `filter`; returns the adjustments copy used for the frame (null for a null filter).
    std::shared_ptr<QXFilterStandardAdjustments> configureFilter(const StylePtr& filter);

    // --- adjustments (created on first use with isImageCaptureAutoDenoise)
    std::shared_ptr<QXFilterStandardAdjustments> adjustments();
    // Null restores the lazy creation.
    void setAdjustments(std::shared_ptr<QXFilterStandardAdjustments> adjustments);

    // --- selection (each resets the filter it leaves)
    void selectNextFilter();
    void selectPreviousFilter();
    // The first filter whose filterDescription equals `description`; nothing if none does.
    // filterCounter is left as it is.
    void selectFilter(const std::string& description);
    // Makes filters[index] current and sets filterCounter; throws std::out_of_range for an
    // index outside filters.
    void selectFilterAt(int64_t index);

    // --- media setup (each first returns the adjustments to their media defaults)
    void setupForCamera();
    void setupForImage();
    void setupForVideo();

    // An independent copy for another queue: same media setup, selection, adjustment
    // values, resolutions, camera transform and time.
    std::shared_ptr<VellariFilterWrapper> duplicate() const;

    // --- export
    QXPhotoMetadata photoMetadata() const;
    // The localised title of imageResolution ("Medium").
    std::string imageResolutionTitle() const;
    // The application version ("N/A" if unknown), then " (build)" when a build number exists.
    static std::string applicationVersionText(const Bundle& bundle = Bundle::main());

    // --- state
    int64_t filterCounter = 0;
    std::shared_ptr<ImageAccumulator> flattenBuffer;
    int64_t lowerPowerFrameSkip = 0;
    Image lowerPowerLastFrame;
    std::vector<std::shared_ptr<QXVideoFilterAbstract>> filters;
    uint8_t mediaType = kMediaTypeImage;
    bool isImageCaptureAutoDenoise = false;
    // Set by the editor for its wrappers; every image is flattened whatever its value.
    bool flattenOutput = false;
    std::weak_ptr<VellariFilterWrapperDelegate> delegate;
    int64_t preferredOutputResolution = 1080;
    int64_t currentOutputResolution = 1080;
    ImageResolution imageResolution = ImageResolution::medium;
    VideoResolution videoResolution = VideoResolution::res1080;
    std::shared_ptr<QXVideoFilterAbstract> currentFilter;
    // Tablets place the watermark for the upside-down portrait layout on the camera.
    // This platform has no tablet form, so it stays false unless the shell says otherwise.
    bool isTabletDevice = false;

    UserDefaults& userDefaults() const { return *store_; }
    NotificationCenter& notificationCenter() const { return *center_; }
    const Bundle& bundle() const { return *bundle_; }

private:
    void resetAdjustmentsToMediaDefaults(bool isImage);
    void makeCurrent(const StylePtr& filter);

    UserDefaults* store_;
    NotificationCenter* center_;
    const Bundle* bundle_;
    std::shared_ptr<QXFilterStandardAdjustments> adjustments_;
};

}  // namespace vellari
