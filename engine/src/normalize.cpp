// Input normalisation, automatic enhancement and the temporal frame buffers.

#include <cmath>

#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_abstract.h"

namespace vellari {

Image QXVideoFilterAbstract::normalizeImage(const Image& input) {
    if (!input) return {};
    const Rect e0 = input.extent();
    Image image = input.translated(-e0.x, -e0.y);
    const double w = e0.width, h = e0.height;
    const double f = std::max(inputResolution / w, inputResolution / h);
    const double tw = roundHalfAway(w * f), th = roundHalfAway(h * f);
    // Scaled from the clamped picture: otherwise the border pixels blend with the
    // transparency outside and every later stage sees a dark frame (ink along the edges).
    if (tw != w || th != h)
        image = image.clampedToExtent()
                    .transformed(AffineTransform::scale(tw / w, th / h), useHighQualityDownsampling)
                    .cropped({0, 0, tw, th});

    if (histogramEqualization > 0) {
        Image eq;
        if (FilterPtr he = FilterRegistry::create("YUCIHistogramEqualization")) {
            he->setValue("inputImage", image);
            eq = he->outputImage();
        }
        if (eq) {
            if (postHistogramEqualizationGamma != 1.0)
                eq = eq.applyingFilter("CIGammaAdjust", {{"inputPower", postHistogramEqualizationGamma}});
            image = histogramEqualization < 1.0
                        ? QXCoreImageUtilities::setImageAlpha(eq, histogramEqualization).compositedOver(image)
                        : eq;
        }
    }
    const Rect e = image.extent();
    currentResolution = std::min(e.width, e.height);
    return image.samplingNearest();
}

Image QXVideoFilterAbstract::enhanceImage(const Image& input) {
    if (!adjustExposureForAreaOfInterest || !input) return input;
    const Rect e = input.extent();
    Image thumb = input.cropped(e)
                      .translated(-e.x, -e.y)
                      .scaled(64 / e.width, 64 / e.height)
                      .samplingNearest();
    double weight = 0.5;
    if (!enhanceImageTemporalBuffer) {
        enhanceImageTemporalBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, 64, 64});
        weight = 1.0;
    }
    enhanceImageTemporalBuffer->setImage(
        QXCoreImageUtilities::setImageAlpha(thumb, weight).compositedOver(enhanceImageTemporalBuffer->image()));

    Image result = input;
    for (const FilterPtr& f : enhanceImageTemporalBuffer->image().autoAdjustmentFilters()) {
        if (!f || (f->name() != "CIToneCurve" && f->name() != "CIVibrance")) continue;
        f->setValue("inputImage", result);
        result = f->outputImage();
    }
    return result;
}

AccumulatorPtr QXVideoFilterAbstract::setBuffer(AccumulatorPtr buffer, const Image& image) {
    if (!image) return buffer;
    const Rect e = image.extent();
    if (!buffer || buffer->extent().width != e.width || buffer->extent().height != e.height)
        buffer = std::make_shared<ImageAccumulator>(Rect{0, 0, e.width, e.height});
    buffer->setImage(image);
    return buffer;
}

Image QXVideoFilterAbstract::differenceMaskSourceImage(const Image& source, const Image& base) {
    using C = QXCoreImageUtilities;
    if (!source || !base) return {};
    Image d = C::applyMetalKernelNamed("addWeighted", source.extent().unite(base.extent()),
                                       {source, base, 1.0, -1.0, 0.5});
    d = C::applyMetalKernelNamed("scaleRange", {d, 10.0, -4.5});
    d = C::applyMetalKernelNamed("supressMidRange_range", {d, 0.5});
    Image mask = C::applyMetalKernelNamed("maskFromZeroCrossingValues", {d});
    if (!mask) return {};
    return source.applyingFilter("CISourceAtopCompositing", {{"inputBackgroundImage", mask}});
}

Image QXVideoFilterAbstract::accumSource(const Image& source) {
    if (!source) return {};
    if (!accumulationBuffer) accumulationBuffer = setBuffer(accumulationBuffer, source);
    const Image previous = accumulationBuffer->image().cropped(source.extent());
    const Image next = source.applyingFilter("CIColorMatrix", {{"inputAVector", Vector{0, 0, 0, 0.333}}})
                           .compositedOver(previous);
    accumulationBuffer = setBuffer(accumulationBuffer, next);
    const Image moved = differenceMaskSourceImage(source, previous);
    if (!moved) return {};
    return moved.compositedOver(previous);
}

Image QXVideoFilterAbstract::maskMotion(const Image& source) {
    if (!source) return {};
    if (accumulationBuffer) {
        const Image average = accumulationBuffer->image();
        const Image moved = differenceMaskSourceImage(source, average);
        if (!moved) return {};
        const Image combined = moved.compositedOver(average);
        accumulationBuffer = setBuffer(accumulationBuffer, combined);
        return accumSource(combined);
    }
    accumulationBuffer = setBuffer(nullptr, source);
    return source;
}

}  // namespace vellari
