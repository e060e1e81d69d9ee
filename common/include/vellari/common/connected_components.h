#pragma once

#include "vellari/platform/image.h"
#include "vellari/platform/values.h"

namespace vellari {

class QXConnectedComponents {
public:
    // In an image of three values (0, mid grey, 1, read from red), dark regions (value 0)
    // smaller than `darkThreshold` pixels and light regions (value 1) smaller than
    // `lightThreshold` pixels are painted with `replacementColor`; regions of exactly the
    // threshold are kept. Reads pixels (renders the image).
    static Image removeDetailBinary(const Image& image, double darkThreshold, double lightThreshold,
                                    const Color& replacementColor);
};

class QXCISuperResolution {
public:
    // The image enlarged by `magnification` with an edge-aware method: edges stay crisp,
    // no ringing halo.
    static Image upscaleImageUsingFX0D(const Image& image, double magnification);
};

}  // namespace vellari
