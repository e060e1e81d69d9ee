#pragma once
// The companion image library: image operations shared by the engine and the styles.

#include <string>
#include <vector>

#include "vellari/platform/bundle.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"
#include "vellari/platform/kernel.h"
#include "vellari/platform/picture.h"

namespace vellari {

class QXCoreImageUtilities {
public:
    // The named kernel of the application's shader library over the first image
    // argument's extent (or `rect`); no kernel or no image argument gives no image.
    static Image applyMetalKernelNamed(const std::string& name, const std::vector<KernelArg>& args);
    static Image applyMetalKernelNamed(const std::string& name, const std::vector<KernelArg>& args,
                                       const Bundle& bundle);
    static Image applyMetalKernelNamed(const std::string& name, const Rect& rect, const std::vector<KernelArg>& args);

    // Gaussian blur (sigma = radius pixels) of the image clamped to its extent, cropped back.
    static Image blurImage(const Image& image, double radius);
    // The same computed on a copy scaled by `prescale` with the radius scaled alike,
    // returned at the input's size and extent.
    static Image blurImage(const Image& image, double radius, double prescale);

    // rgb = clamp(a·alpha + b·beta + gamma, 0, 1), alpha of a, over the union of both extents.
    static Image addWeighted(const Image& a, const Image& b, double alpha, double beta, double gamma);
    // The colour kernel behind addWeighted (arguments a, b, alpha, beta, gamma).
    static const KernelPtr& addWeightedKernel();
    // clamp(w·(a − b) + gain + 0.5, 0, 1) per colour channel, alpha of a; a's extent.
    static Image differenceImageA(const Image& a, const Image& b, double weight, double gain);
    // Scaled about the origin to `size`; the very same image when the size already matches.
    static Image makeImage(const Image& image, const Size& size);
    // Alpha multiplied by `constant`, colour channels unchanged.
    static Image setImageAlpha(const Image& image, double constant);
    // "CIColorCube" of dimension picture width from a look-up-table picture (N wide, N·N
    // tall); no filter for an empty picture. The input image is not set.
    static FilterPtr createColorCubeFilter(const Picture& lut);

    // Separable edge-preserving blurs (horizontal pass, then vertical): spatial weights from
    // a tent of `kernelSize` taps, range weights from a Gaussian of the colour difference
    // with `colorSigma` (in stored values, 0..1: the colour stage passes 36 / 255).
    static Image bilateralBlurTentSeparable(const Image& image, double kernelSize, double colorSigma, bool blurAlpha);
    // As above, and each direction stops gathering once it has crossed a strong edge, so
    // colour does not leak around thin lines.
    static Image bilateralBlurOcclusionSeparable(const Image& image, double kernelSize, double colorSigma);

    // `top` over `bottom` at opacity `alpha`.
    static Image overlayImage(const Image& top, double alpha, const Image& bottom);
    // A picture resource (name as given, with or without extension); cached process-wide
    // by name when `useCache`. Null picture when absent.
    static Picture imageNamed(const std::string& name, const Bundle& bundle, bool useCache);
    // `tile` repeated without gaps over `extent` after `transform`; with `jitter` each
    // repetition is offset by a small deterministic amount.
    static Image makeTileNoPadding(const Image& tile, const Rect& extent, const AffineTransform& transform,
                                   bool jitter);
};

// The application's shader library: the resource "default" of type "metallib" lists the
// kernels it holds, one name a line; their code is compiled into the program and
// registered with the platform's KernelRegistry by the libraries that define them.
class QXShaderLibrary {
public:
    // The kernel of that name, loaded at most once per name (failures are not remembered).
    // The library data is read from the first bundle that asks; a missing resource leaves
    // it empty, and the next request tries again.
    static KernelPtr kernelNamed(const std::string& name, const Bundle& bundle);
    static Image apply(const std::string& name, const Rect& rect, const std::vector<KernelArg>& args,
                       const Bundle& bundle);
    // For tests: forget the library data and the kernel table.
    static void resetForTesting();
};

// Extent of the first image argument (null rect when there is none).
Rect firstImageExtent(const std::vector<KernelArg>& args);

}  // namespace vellari
