// The texture or halftone laid over the shading layer: a tiled paper texture, or a
// halftone built from a tiled screen and a halftone kernel.

#include <algorithm>
#include <cmath>

#include "vellari/common/core_image_utilities.h"
#include "vellari/styles/vellari_filter.h"

namespace vellari {

using C = QXCoreImageUtilities;

namespace {

constexpr const char* kMonoScreen = "Halftone Master 512px";
constexpr const char* kProcessScreen = "Process Color Halftone v08 CMY 512px";
constexpr double kFiveDegrees = 0.087266462599715;

}  // namespace

// Every result is sampled by nearest pixel so that the dots stay crisp when the shading is
// later resampled. Anything that cannot be built (no texture name or blend mode for type
// 1, an unknown blend filter, a missing screen or texture picture, a kernel missing from
// the shader library) leaves the input as it is, sampled nearest like every other result.
Image QXVideoFilterVellari::createTexture(const Image& image, int textureType) {
    if (!image) return {};
    const Image input = image.samplingNearest();
    if (textureType < 1 || textureType > 8) return input;

    const Rect extent = image.extent();
    const Size out = outputSizeForInputSize(extent.size());
    // The screen follows the output size, so a halftone looks the same at every resolution.
    const double k = baseResolution > 0 ? std::min(out.width, out.height) / baseResolution : 1.0;

    auto tiled = [&](const std::string& name, const AffineTransform& transform) -> Image {
        const Picture picture = C::imageNamed(name, bundle(), true);
        if (picture.isNull()) return {};
        return C::makeTileNoPadding(Image::fromPicture(picture), extent, transform, false);
    };
    auto kernel = [&](const std::string& name, const std::vector<KernelArg>& args) {
        return C::applyMetalKernelNamed(name, args, bundle());
    };
    auto blend = [](const std::string& filter, const Image& top, const Image& background) {
        return top.applyingFilter(filter, {{"inputBackgroundImage", background}});
    };
    auto orInput = [&](const Image& result) { return result ? result.samplingNearest() : input; };

    switch (textureType) {
    case 1: {
        if (textureImageName.empty() || textureBlendMode.empty()) return input;
        const double s = textureScale * resolutionScale();
        const Image t = tiled(textureImageName, AffineTransform::scale(s, s));
        if (!t) return input;
        return orInput(blend(textureBlendMode, C::setImageAlpha(t, textureBlendAlpha), image));
    }
    case 2:
    case 3:
    case 4: {
        const double s = 0.25 * k;
        const Image t = tiled(kMonoScreen, AffineTransform::scale(s, s));
        if (!t) return input;
        const Image h = kernel("halftone_mono", {image, t});
        if (!h) return input;
        if (textureType == 2) return h.samplingNearest();
        return orInput(blend(textureType == 3 ? "CIScreenBlendMode" : "CIMultiplyBlendMode", h, image));
    }
    case 5:
        // The process screen is prepared at its scale, but nothing is combined with it yet.
        (void)tiled(kProcessScreen, AffineTransform::scale(0.2 * k, 0.2 * k));
        return input;
    case 6: {
        const double s = 0.4 * k;
        const Image t = tiled(kProcessScreen, AffineTransform::scale(s, s));
        if (!t) return input;
        return orInput(blend("CIDarkenBlendMode", kernel("halftoneCMY_cheap", {image, t}), image));
    }
    default: {  // 7 and 8: a faint rotated process screen, multiplied
        const double s = (textureType == 7 ? 0.175 : 0.15) * k;
        const Image t = tiled(kProcessScreen, AffineTransform::scale(s, s).rotated(kFiveDegrees));
        if (!t) return input;
        const Image h = kernel("halftoneCMY_cheap", {image, t});
        return orInput(blend("CIMultiplyBlendMode", kernel("setAlpha", {h, 0.1}), image));
    }
    }
}

}  // namespace vellari
