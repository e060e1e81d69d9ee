// The watermark: a centred mark stamped over a finished frame, on a light halo so that it
// reads on any picture.

#include <algorithm>
#include <cmath>

#include "vellari/common/core_image_utilities.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

using C = QXCoreImageUtilities;

// Without its picture (or a kernel of the shader library) the frame comes back unchanged.
Image QXVideoFilterVellari::addWatermark(const Image& frame) {
    if (!useWatermark || !frame) return frame;
    const Rect p = frame.extent();
    if (p.isEmpty() || p.isInfinite()) return frame;

    const Picture picture = C::imageNamed(watermarkImageName, bundle(), true);
    if (picture.isNull()) return frame;
    Image w = Image::fromPicture(picture).transformed(watermarkTransform);
    const Rect we = w.extent();
    w = w.translated(-we.x, -we.y);

    // One sweep of the mark's band every 15 seconds of video; stills sit half way.
    double t = 0.5;
    if (videoProcessing) {
        t = std::fmod(videoProcessingTime, 15.0) / 15.0;
        if (t < 0) t += 1;  // a time before the start still lands in 0..1
    }
    Image m = C::applyMetalKernelNamed("thresholdWatermark", {w, t}, bundle());
    if (!m) return frame;
    m = m.samplingNearest();

    // The long side of the mark becomes three quarters of the frame's short side.
    const Rect me = m.extent();
    const double s = 0.75 * std::min(p.width, p.height) / std::max(me.width, me.height);
    m = m.scaled(s, s);
    const Rect ms = m.extent();
    // Centred on whole pixels (offset by the frame's origin, which is (0, 0) for frames).
    m = m.translated(p.x + roundHalfAway((p.width - ms.width) * 0.5), p.y + roundHalfAway((p.height - ms.height) * 0.5));

    const double r = 10 * resolutionScale();
    const Image grown = m.applyingFilter("CIMorphologyRectangleMinimum", {{"inputWidth", r}, {"inputHeight", r}});
    const Image halo = C::setImageAlpha(grown.applyingFilter("CIColorInvert"), 0.8);
    const Image lightened = halo.applyingFilter("CILightenBlendMode", {{"inputBackgroundImage", frame}});
    const Image result = m.applyingFilter("CIDarkenBlendMode", {{"inputBackgroundImage", lightened}});
    return result ? result.samplingNearest() : frame;
}

}  // namespace vellari
