#pragma once
// The engine's library of image operations: kernel loaders, small colour kernels and the
// composite operations built from them. Everything only builds image recipes, except the
// colour-cube builder, which reads a look-up-table picture.

#include <string>
#include <vector>

#include "vellari/platform/bundle.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"
#include "vellari/platform/kernel.h"
#include "vellari/platform/picture.h"

namespace vellari {

class QXVideoFilterUtilities {
public:
    // Kernel source text: resource `name`.cikernel, else the scrambled `name`.enc.
    static std::string loadKernelSource(const std::string& name, const Bundle& bundle);
    static KernelPtr loadMetalCIKernel(const std::string& name);
    static KernelPtr loadMetalCIKernel(const std::string& name, const Bundle& bundle);
    static Image applyMetalKernelNamed(const std::string& name, const Rect& rect, const std::vector<KernelArg>& args);
    static Image applyMetalKernelNamed(const std::string& name, const Rect& rect, const std::vector<KernelArg>& args,
                                       const Bundle& bundle);
    static Image applyKernel(const KernelPtr& kernel, const Rect& rect, const std::vector<KernelArg>& args);

    static Image blurImage(const Image& image, double radius);
    static Image addWeighted(const Image& a, const Image& b, double alpha, double beta, double gamma);
    static Image differenceOfGaussians(const Image& image, double lowerRadius, double upperRadius, double weight,
                                       double gain);
    static Image differenceImageA(const Image& a, const Image& b, double weight, double gain);
    static Image grayscale(const Image& image);
    static Image grayscaleEnhanceLips(const Image& image);
    static Image thresholdMultichannelImage(const Image& image, double threshold);
    static Image bilateralBlurValue(const Image& image);
    static Image unsharpMaskWithSource(const Image& source, const Image& blurredSource, double intensity);
    static Image highPassWithSource(const Image& source, const Image& blurredSource, double intensity);
    static Image extremaValueImage(const Image& image, const Color& replacementColor);
    static Image extremaValueImage(const Image& image, const Color& replacementColor, double range);
    static Image scaleRange(const Image& image, double sourceScale, double sourceShift);
    static Image maskFromZeroCrossingValues(const Image& image);
    static Image supressMidRange(const Image& image, double range);
    static Image supressHighRange(const Image& image, double range);
    static FilterPtr createColorCubeFilter(const Picture& lut);
    static Image setImageAlpha(const Image& image, double constant);
    static Image clampRange(const Image& image);
    static Image makeImage(const Image& image, const Size& size);

    // Forwards to shared smoothing filters; safe to call from several threads at once.
    static Image surfaceBlur(const Image& image, double radius, double threshold);
    static Image FXAA(const Image& image);
};

// Registers the engine's kernels of the application's shader library ("grayscale",
// "addWeighted", ...) with the platform's kernel registry. Idempotent; the filter base
// object calls it, so does any program that runs kernels by name.
void registerEngineKernels();

// The key of the scrambled kernel sources.
inline constexpr const char* kKernelSourceKey = "k4Vq!p8Zr#Tm2Lw7Yx0Hs9Jd3Nf6Bg1C";

}  // namespace vellari
