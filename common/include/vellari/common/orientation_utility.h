#pragma once

#include "vellari/platform/geometry.h"
#include "vellari/platform/image.h"

namespace vellari {

// Turns landscape camera frames upright for the interface orientation the device is held in.
//
// Interface orientations: 1 portrait, 2 portrait upside down, 3 landscape right, 4 landscape
// left. With y pointing down, "clockwise" is the turn from +x towards +y as seen on screen
// (AffineTransform::rotation with a positive angle):
//   1  a quarter turn clockwise          (x, y) -> (-y,  x)
//   2  a quarter turn counter-clockwise  (x, y) -> ( y, -x)   (a half turn from 1)
//   3  identity: the frame already is upright
//   4  a half turn                       (x, y) -> (-x, -y)
//   any other value: identity.
// With `flip` (front camera) the turned frame is then mirrored left to right on the display,
// x -> -x, so that the front camera reads like a mirror whatever the orientation.
//
// The matrices are exact (entries 0 and ±1) so that turning a frame resamples nothing. They
// have no translation: the turned extent usually has a negative origin, and callers move it
// to where they need it (normalizeCIImageForExport moves it to the origin).
class QXOrientationUtility {
public:
    static AffineTransform transformForOrientation(int orientation, bool flip);
    // `image` turned by transformForOrientation(startOrientation, isFrontCamera) and moved so
    // that its extent starts at (0, 0). An image with an infinite extent is only turned.
    static Image normalizeCIImageForExport(const Image& image, int startOrientation, bool isFrontCamera);
};

}  // namespace vellari
