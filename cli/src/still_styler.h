#pragma once
// Styling photos as the application styles a still it exports: through a filter wrapper
// set up for images at the still resolution, with the user's adjustments, the style's own
// data, anti-aliasing and flattening.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "adjust_args.h"
#include "vellari/capture/filter_wrapper.h"
#include "vellari/platform/picture.h"

namespace vellari::cli {

struct StillSettings {
    std::optional<VellariImageResolution> resolution;  // nothing: the "imageCaptureResolution" setting
    std::vector<AdjustSetting> adjustments;
};

// A configured wrapper and the styles it offers: the application's list, then the mono,
// zip and anime styles, which the application keeps out of its list.
class StillStyler {
public:
    explicit StillStyler(const StillSettings& settings);

    // Display names of every style, in selection order.
    std::vector<std::string> styleNames() const;
    // The class of each style ("QXVideoFilterVellariCel"), in the same order.
    std::vector<std::string> styleClassNames() const;
    // How many of them are the application's own list (the first ones).
    size_t applicationStyleCount() const { return applicationCount_; }
    size_t styleCount() const { return base_->filters.size(); }

    VellariImageResolution resolution() const { return base_->imageResolution; }
    // Short side of the pictures in pixels.
    int64_t outputResolution() const { return base_->currentOutputResolution; }

    // A wrapper of its own for one thread, with the same styles, resolution and
    // adjustments and with style `index` selected.
    std::shared_ptr<VellariFilterWrapper> makeWorker(size_t index) const;

private:
    std::shared_ptr<VellariFilterWrapper> base_;
    size_t applicationCount_ = 0;
};

// Styles one picture with the wrapper's current style. A null picture when the pipeline
// gave nothing to render. The wrapper's per-image state is cleared before and after, so
// a worker's results never depend on what it styled before.
Picture styleStill(VellariFilterWrapper& wrapper, const Picture& photo);

// The wrapper's current style on one line ("Cool Cel").
std::string currentStyleName(const VellariFilterWrapper& wrapper);

}  // namespace vellari::cli
