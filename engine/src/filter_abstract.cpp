#include "vellari/engine/filter_abstract.h"

#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/engine/filter_utilities.h"

namespace vellari {

QXVideoFilterAbstract::QXVideoFilterAbstract() {
    registerEngineKernels();
    baseResolution = 0;
    Picture teeth = QXCoreImageUtilities::imageNamed("teeth-LUT.png", bundle(), true);
    colorLookupTableFilterForTeeth = createColorCubeFilterFromLUT(&teeth);
    histogramEqualization = 0;
    postHistogramEqualizationGamma = 1.0;
    enhanceImageWeight = 1.0;
    baseResolution = 540;
    inputResolution = 540;
    outputResolution = 1080;
    if (QuillmereDeviceAndSystem::iDeviceIsLessThan8()) {
        inputResolution = 360;
        outputResolution = 720;
    }
    backgroundColor = Color::clear();
    videoProcessingTime = 0;
    watermarkTransform = AffineTransform::identity();
}

QXVideoFilterAbstract::~QXVideoFilterAbstract() = default;

std::shared_ptr<QXVideoFilterAbstract> QXVideoFilterAbstract::makeDefault() const {
    return std::make_shared<QXVideoFilterAbstract>();
}

Image QXVideoFilterAbstract::processCIImage(const Image& image) { return image; }

Image QXVideoFilterAbstract::addWatermark(const Image& image) { return image; }

Size QXVideoFilterAbstract::outputSizeForInputSize(const Size& size) const {
    const double f = std::max(outputResolution / size.width, outputResolution / size.height);
    return {roundHalfAway(size.width * f), roundHalfAway(size.height * f)};
}

std::string QXVideoFilterAbstract::appendToName(const std::string& text) {
    name_ = name() + text;
    return *name_;
}

std::string QXVideoFilterAbstract::prependToName(const std::string& text) {
    name_ = text + name();
    return *name_;
}

double QXVideoFilterAbstract::resolutionScale() const {
    if (baseResolution > 0 && currentResolution > 0) return currentResolution / baseResolution;
    return 1.0;
}

FilterPtr QXVideoFilterAbstract::createColorCubeFilterFromLUT(const Picture* lut) {
    if (!lut || lut->isNull()) return nullptr;
    return QXVideoFilterUtilities::createColorCubeFilter(*lut);
}

void QXVideoFilterAbstract::setColorLookupTable(const Picture* lut) {
    colorLookupTableFilter = createColorCubeFilterFromLUT(lut);
}

Image QXVideoFilterAbstract::applyLUT(const Image& image) const {
    if (!colorLookupTableFilter) return image;
    colorLookupTableFilter->setValue("inputImage", image);
    return colorLookupTableFilter->outputImage();
}

double QXVideoFilterAbstract::customValueForKey(const std::string& key, double defaultValue) const {
    if (!customData) return defaultValue;
    auto it = customData->find(key);
    return it == customData->end() ? defaultValue : it->second;
}

void QXVideoFilterAbstract::reset() {
    previousImageBuffer.reset();
    alternateBuffer0.reset();
    alternateBuffer1.reset();
    accumulationBuffer.reset();
    perpNormalMap = Image();
    enhanceImageTemporalBuffer.reset();
    if (colorLookupTableFilter) colorLookupTableFilter->setValue("inputImage", FilterValue{});
}

}  // namespace vellari
