#include "vellari/common/orientation_utility.h"

namespace vellari {

AffineTransform QXOrientationUtility::transformForOrientation(int orientation, bool flip) {
    // Written out rather than built from rotation(): cos(pi/2) is not exactly zero, and the
    // noise would make every quarter-turned frame go through bilinear resampling.
    AffineTransform t;
    switch (orientation) {
        case 1: t = {0, 1, -1, 0, 0, 0}; break;   // clockwise quarter turn
        case 2: t = {0, -1, 1, 0, 0, 0}; break;   // counter-clockwise quarter turn
        case 3: t = AffineTransform::identity(); break;
        case 4: t = {-1, 0, 0, -1, 0, 0}; break;  // half turn
        default: t = AffineTransform::identity(); break;
    }
    // Mirror after turning, so the mirror is always left-right on the display.
    if (flip) t = t.concat(AffineTransform::scale(-1, 1));
    return t;
}

Image QXOrientationUtility::normalizeCIImageForExport(const Image& image, int startOrientation, bool isFrontCamera) {
    if (!image) return image;
    Image turned = image.transformed(transformForOrientation(startOrientation, isFrontCamera));
    Rect e = turned.extent();
    if (e.isInfinite() || e.isEmpty()) return turned;
    return turned.translated(-e.x, -e.y);
}

}  // namespace vellari
