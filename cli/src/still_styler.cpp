#include "still_styler.h"

#include <stdexcept>

#include <spdlog/spdlog.h>

#include "style_names.h"
#include "vellari/platform/context.h"
#include "vellari/styles/style_presets.h"

namespace vellari::cli {

namespace {

// Appends the styles that the application's list leaves out, then repeats the image
// set-up so they render as stills too; the set-up resets the adjustments, so the
// wrapper's own are put back afterwards.
void addOtherStyles(VellariFilterWrapper& w) {
    const std::shared_ptr<QXFilterStandardAdjustments> kept = w.adjustments()->copy();
    for (auto& s : QXVideoFilterVellariBW::monoStyles(w.bundle())) w.filters.push_back(s);
    for (auto& s : QXVideoFilterVellariZip::zipStyles(w.bundle())) w.filters.push_back(s);
    auto anime = std::make_shared<QXVideoFilterVellariAnime>();
    anime->filterDescription = "Anime";
    w.filters.push_back(anime);
    w.setupForImage();
    w.setAdjustments(kept);
}

}  // namespace

StillStyler::StillStyler(const StillSettings& settings) {
    base_ = std::make_shared<VellariFilterWrapper>();
    if (base_->filters.empty())
        throw std::runtime_error(Bundle::main().valid()
                                     ? "no styles could be loaded from the resources at " + Bundle::main().root()
                                     : std::string("the resources folder was not found; $VELLARI_RESOURCES names it"));
    applicationCount_ = base_->filters.size();
    if (settings.resolution) base_->imageResolution = *settings.resolution;
    base_->setupForImage();
    base_->cameraTransform = AffineTransform::identity();
    addOtherStyles(*base_);
    applyAdjustSettings(*base_->adjustments(), settings.adjustments);
}

std::vector<std::string> StillStyler::styleNames() const {
    std::vector<std::string> names;
    for (const auto& f : base_->filters) names.push_back(f ? f->filterDescription : std::string());
    return names;
}

std::vector<std::string> StillStyler::styleClassNames() const {
    std::vector<std::string> names;
    for (const auto& f : base_->filters) names.push_back(f ? f->className() : std::string());
    return names;
}

std::shared_ptr<VellariFilterWrapper> StillStyler::makeWorker(size_t index) const {
    std::shared_ptr<VellariFilterWrapper> w = base_->duplicate();
    addOtherStyles(*w);
    w->selectFilterAt(int64_t(index));
    return w;
}

Picture styleStill(VellariFilterWrapper& wrapper, const Picture& photo) {
    // As for the style icons: no temporal state from an earlier image.
    wrapper.adjustments()->enhanceImageTemporalBuffer.reset();
    if (wrapper.currentFilter) wrapper.currentFilter->reset();
    wrapper.lowerPowerLastFrame = Image();

    const Image styled = wrapper.processCIImage(Image::fromPicture(photo));
    if (wrapper.currentFilter) wrapper.currentFilter->reset();
    if (styled.isNull()) return {};
    const Rect extent = styled.extent();
    if (extent.isEmpty() || extent.isInfinite()) return {};
    // A result that ends part-way into a pixel is rounded out by the flattening, which
    // leaves a partly transparent last column or row; the picture keeps the output size
    // the style promises, whose pixels are all covered.
    Rect picture = extent;
    if (wrapper.currentFilter) {
        const Size size = wrapper.currentFilter->outputSizeForInputSize({double(photo.width()), double(photo.height())});
        if (size.width >= 1 && size.height >= 1 && size.width <= extent.width && size.height <= extent.height)
            picture = {extent.x, extent.y, size.width, size.height};
    }
    if (picture.width != extent.width || picture.height != extent.height)
        spdlog::debug("styled {} x {}, kept {} x {}", extent.width, extent.height, picture.width, picture.height);
    return defaultContext().createPicture(styled, picture);
}

std::string currentStyleName(const VellariFilterWrapper& wrapper) {
    return wrapper.currentFilter ? singleLineName(wrapper.currentFilter->filterDescription) : std::string();
}

}  // namespace vellari::cli
