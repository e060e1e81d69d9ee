#pragma once
// Affine resampling nodes (internal).

#include "vellari/platform/image.h"

namespace vellari::detail {

// The image under `t`: axis-aligned maps resample separably (area-averaging when
// shrinking with `highQualityDownsample`, else bilinear or nearest as the image asks);
// quarter turns and mirrors copy pixels exactly; other maps sample per pixel.
Image makeTransformNode(const Image& image, const AffineTransform& t, bool highQualityDownsample);

// Shrinks by `factor` with the weights of bilinear interpolation's adjoint (a tent twice
// as wide as an output pixel): smooth, and a point keeps its centre. For blur pyramids.
Image makeTentDownsample(const Image& image, double factor);

// For an image clamped to its extent: the image it clamps and the rectangle whose edge
// pixels repeat; nullptr for any other node.
const Node* clampedInput(const Node* n, IRect* bounds);

}  // namespace vellari::detail
