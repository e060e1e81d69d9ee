#pragma once
// The user adjustments: one object per kind with its stage and values, the fixed list of
// them that every filter wrapper owns, the flat dictionary through which they travel
// (custom data of a style, style presets, files), and the image stages they drive.

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vellari/adjustments/adjustment_kinds.h"
#include "vellari/platform/context.h"
#include "vellari/platform/image.h"
#include "vellari/platform/plist.h"

namespace vellari {

class QXFilterStandardAdjustments;

// One adjustment: a kind, the stage that applies it and its values.
class QXFilterStandardAdjustmentsFilter {
public:
    QXFilterStandardAdjustmentsFilter(AdjustmentType type, AdjustmentStage stage, bool isImageCaptureAutoDenoise);

    AdjustmentType type;
    AdjustmentStage stage = AdjustmentStage::none;
    // Sliders: a position in [minimum, maximum]; colour kinds: the palette index as a float.
    float value = 0;
    // Colour kinds: the wash opacity in [0, 1]; unused by the other kinds.
    float secondaryValue = 0;
    bool hasUI = true;

    // Only for shadowColor and highlightColor with an index in 0...6.
    std::optional<std::string> colorName() const;
    // Only for shadowColor and highlightColor: "10%" for an opacity of 0.1.
    std::optional<std::string> secondaryValueText() const;
};
using AdjustmentPtr = std::shared_ptr<QXFilterStandardAdjustmentsFilter>;

// What the adjustments object needs of the panel that edits it. The panel itself is an
// interface piece; the object owns it and the panel refers back weakly.
class AdjustmentsPanelController {
public:
    virtual ~AdjustmentsPanelController() = default;
    virtual void setIsImageCaptureAutoDenoise(bool on) = 0;
    // Re-reads every value from the owner.
    virtual void reloadControls() = 0;

    std::weak_ptr<QXFilterStandardAdjustments> owner;
};
using AdjustmentsPanelPtr = std::shared_ptr<AdjustmentsPanelController>;
// Builds a panel for an adjustments object with the given auto-denoise flag.
using AdjustmentsPanelFactory = std::function<AdjustmentsPanelPtr(bool isImageCaptureAutoDenoise)>;

class QXFilterStandardAdjustments : public std::enable_shared_from_this<QXFilterStandardAdjustments> {
public:
    // The sixteen adjustments in their fixed order.
    explicit QXFilterStandardAdjustments(bool isImageCaptureAutoDenoise);
    static std::shared_ptr<QXFilterStandardAdjustments> create(bool isImageCaptureAutoDenoise) {
        return std::make_shared<QXFilterStandardAdjustments>(isImageCaptureAutoDenoise);
    }

    QXFilterStandardAdjustments(const QXFilterStandardAdjustments&) = delete;
    QXFilterStandardAdjustments& operator=(const QXFilterStandardAdjustments&) = delete;

    // --- model
    // An independent object with the same values, stages, selection, temporal analysis
    // buffer and video flag; the panel is not copied.
    std::shared_ptr<QXFilterStandardAdjustments> copy() const;
    // The first adjustment of that kind, or null.
    AdjustmentPtr filter(AdjustmentType type) const;
    // Its value, or 0 when the list has no such adjustment.
    float value(AdjustmentType type) const;

    // Values and secondary values back to their kinds' defaults; stages and hasUI kept.
    void resetToDefaults();
    void resetToDefaults(bool isImageCaptureAutoDenoise);

    // Three entries per adjustment: R → value, R + ".secondaryValue" → secondary value
    // (both 32-bit floats), R + ".stage" → the stage's raw value.
    PlistDictionary dictionaryRepresentation() const;
    // The numeric entries of dictionaryRepresentation(), as a style's custom data.
    std::map<std::string, double> customDataRepresentation() const;
    // Overwrites values, secondary values and stages from a dictionary of that form;
    // unknown keys and entries of the wrong type are skipped.
    void apply(const PlistDictionary& dictionary);
    // Adds a style preset's adjustments on top of this object's.
    void applyStyleData(const PlistDictionary& styleData);
    // dictionaryRepresentation() as an XML property-list file, written atomically. Empty
    // on success, else the platform's message naming the file.
    [[nodiscard]] std::string write(const std::string& path) const;
    // "Brightness 25, Shadow Color (Red 10%)": what differs from the defaults.
    std::string adjustmentsSummary() const;

    // --- panel
    const AdjustmentsPanelPtr& adjustmentsCollectionVC() const { return adjustmentsCollectionVC_; }
    // Stores the panel and points its owner here (releasing any previous panel).
    void setAdjustmentsCollectionVC(AdjustmentsPanelPtr panel);
    // A new panel from the registered factory, stored as above; nothing without a factory.
    void makeAdjustmentsCollectionVC();
    // The interface layer registers how panels are built; null unregisters.
    static void setPanelFactory(AdjustmentsPanelFactory factory);

    // --- processing (each takes an image and returns one; values are never changed)
    // Automatic tone curve and vibrance estimated from a 64 × 64 copy of the image,
    // averaged over time while processing video; updates enhanceImageTemporalBuffer.
    Image enhanceInput(const Image& image);
    // Black and white points, brightness, then the pre-stage colour washes.
    Image applyPreStyleStage(const Image& image) const;
    // Temperature and tint, vibrance, saturation, then the post-stage colour washes.
    Image applyPostStyleStage(const Image& image) const;
    // The one operation of `type` when its adjustment belongs to `stage` and is not
    // neutral; otherwise the very image passed in.
    Image applyAdjustment(AdjustmentType type, AdjustmentStage stage, const Image& image) const;

    // --- fields
    std::vector<AdjustmentPtr> filters;
    AdjustmentPtr currentFilter;
    // True while the owner processes a camera feed or a movie.
    bool processingVideo = false;
    std::shared_ptr<ImageAccumulator> enhanceImageTemporalBuffer;
    bool isImageCaptureAutoDenoise = false;

private:
    // Blends the 64 × 64 copy of `image` into the temporal buffer (creating it) and
    // returns the analysis image.
    Image updateTemporalBuffer(const Image& image);
    Image blackAndWhitePoints(AdjustmentStage stage, const Image& image) const;
    Image temperatureAndTint(AdjustmentStage stage, const Image& image) const;
    Image colorWash(AdjustmentType type, AdjustmentStage stage, const Image& image) const;

    AdjustmentsPanelPtr adjustmentsCollectionVC_;
};
using AdjustmentsPtr = std::shared_ptr<QXFilterStandardAdjustments>;

// Side of the square analysis copy of enhanceInput.
inline constexpr int kEnhanceAnalysisSize = 64;

}  // namespace vellari
