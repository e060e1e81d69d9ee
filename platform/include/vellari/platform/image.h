#pragma once
// The lazy image: an immutable recipe with an extent. Nothing renders until a
// Context renders it, an ImageAccumulator is set, or a caller reads pixels.
//
// Pixels are RGBA float, premultiplied, in the encoded values of the source; there is
// no colour management. Outside its extent an image is transparent black.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "vellari/platform/geometry.h"
#include "vellari/platform/values.h"

namespace vellari {

namespace detail {
class Node;
}
class Filter;
class Picture;
using FilterPtr = std::shared_ptr<Filter>;
struct FilterValue;

class Image {
public:
    // The "no image" value: every operation on it gives no image again.
    Image() = default;
    explicit Image(std::shared_ptr<const detail::Node> node) : node_(std::move(node)) {}

    explicit operator bool() const { return node_ != nullptr; }
    bool isNull() const { return node_ == nullptr; }
    // Two images are the same object when they share their recipe.
    bool sameAs(const Image& o) const { return node_ == o.node_; }

    Rect extent() const;

    // --- sources
    // Infinite image of a colour; the colour is premultiplied: (r·a, g·a, b·a, a).
    static Image constantColor(const Color& c);
    // A transparent image with an empty extent.
    static Image empty();
    // The picture's pixels (straight RGBA8) premultiplied, at origin (0, 0), upright.
    static Image fromPicture(const Picture& picture);
    // 8-bit RGBA rows; `premultiplied` tells whether the data already is.
    static Image fromRGBA8(const uint8_t* data, int width, int height, size_t rowBytes, bool premultiplied);
    // Premultiplied float RGBA, 4·width floats a row, placed at `origin`.
    static Image fromRGBAf(std::vector<float> data, int width, int height, Point origin = {0, 0});

    // --- geometry
    Image cropped(const Rect& r) const;
    Image clampedToExtent() const;
    Image transformed(const AffineTransform& t, bool highQualityDownsample = false) const;
    Image translated(double dx, double dy) const { return transformed(AffineTransform::translation(dx, dy)); }
    Image scaled(double sx, double sy, bool highQualityDownsample = false) const {
        return transformed(AffineTransform::scale(sx, sy), highQualityDownsample);
    }
    // EXIF orientation 1..8; the result keeps this image's extent origin.
    Image oriented(int exifOrientation) const;

    // Sampling mode used when this image is later resampled (transforms, sampling kernels).
    Image samplingNearest() const;
    Image samplingLinear() const;
    bool samplesNearest() const;

    // --- compositing and filters
    Image compositedOver(const Image& background) const;
    Image applyingFilter(const std::string& name, const std::map<std::string, FilterValue>& params) const;
    Image applyingFilter(const std::string& name) const;
    // Computed once per render however many later stages read it.
    Image insertingIntermediate(bool cache = false) const;

    // Tone curve and (for dull pictures) vibrance filters that would improve this image,
    // inputs set except the input image. Renders this (small) image.
    std::vector<FilterPtr> autoAdjustmentFilters() const;

    const std::shared_ptr<const detail::Node>& node() const { return node_; }

private:
    std::shared_ptr<const detail::Node> node_;
};

// Transform for an EXIF orientation code, mapping an image of size w x h at the origin
// onto its upright extent at the origin.
AffineTransform orientationTransform(int exifOrientation, double width, double height);

}  // namespace vellari
