#pragma once
// Dense optical flow between the previous frame and the current one.

#include <memory>

#include "vellari/platform/context.h"
#include "vellari/platform/image.h"

namespace vellari {

class QXVideoFilterOpticalFlow {
public:
    QXVideoFilterOpticalFlow();

    // Keeps the frame in an RGBA8 buffer, replaced only when the size changes.
    void setPreviousImage(const Image& image);
    Image previousImage() const;
    // The flow from the previous frame to `image`: red dx, green dy in pixels (raw
    // floats), blue 0, alpha 1, at the current frame's extent. Nothing without a previous
    // frame of the same size; failures are logged.
    Image createOpticalFlow(const Image& image);

    std::shared_ptr<ImageAccumulator> previousImageBuffer;
};

}  // namespace vellari
