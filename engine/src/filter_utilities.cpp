#include "vellari/engine/filter_utilities.h"

#include <cstring>
#include <mutex>

#include "color_kernels.h"
#include "edge_flow.h"
#include "vellari/engine/smoothing_filters.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"

namespace vellari {
namespace {

// The compiled colour kernels, created once and shared by every thread.
struct CompiledKernels {
    KernelPtr grayscale = Kernel::makeColor("grayscale", kernels::grayscale);
    KernelPtr grayscaleEnhanceLips = Kernel::makeColor("grayscaleEnhanceLips", kernels::grayscaleEnhanceLips);
    KernelPtr thresholdMultichannelImage =
        Kernel::makeColor("thresholdMultichannelImage", kernels::thresholdMultichannelImage);
    KernelPtr unsharpMask = Kernel::makeColor("unsharpMaskWithSource_blurredSource_intensity", kernels::unsharpMask);
    KernelPtr highPass = Kernel::makeColor("highPassWithSource_blurredSource_intensity", kernels::highPass);
    KernelPtr maskInRange = Kernel::makeColor("maskInRange", kernels::maskInRange);
    KernelPtr scaleRange = Kernel::makeColor("scaleRange", kernels::scaleRange);
    KernelPtr maskFromZeroCrossingValues =
        Kernel::makeColor("maskFromZeroCrossingValues", kernels::maskFromZeroCrossingValues);
    KernelPtr supressMidRange = Kernel::makeColor("supressMidRange_range", kernels::supressMidRange);
    KernelPtr supressHighRange = Kernel::makeColor("supressHighRange_range", kernels::supressHighRange);
    KernelPtr clampRange = Kernel::makeColor("clampRange", kernels::clampRange);
    // It reads the four neighbours, so its region of interest reaches one pixel out.
    KernelPtr bilateralBlurValue = Kernel::makeGeneral(
        "bilateralBlurValue", kernels::bilateralBlurValue,
        [](int, const IRect& d, const ArgValue*, int) { return d.inset(-1, -1); });
};

const CompiledKernels& compiled() {
    static const CompiledKernels* k = new CompiledKernels;
    return *k;
}

Image colorKernel(const KernelPtr& k, const Image& image, std::vector<KernelArg> rest) {
    if (!image) return {};
    std::vector<KernelArg> args{image};
    for (auto& a : rest) args.push_back(std::move(a));
    return vellari::applyKernel(k, image.extent(), args);
}

}  // namespace

void registerEngineKernels() {
    static std::once_flag once;
    std::call_once(once, [] {
        const CompiledKernels& k = compiled();
        KernelRegistry::add(QXCoreImageUtilities::addWeightedKernel());
        KernelRegistry::add(k.grayscale);
        KernelRegistry::add(k.thresholdMultichannelImage);
        KernelRegistry::add(k.scaleRange);
        KernelRegistry::add(k.maskFromZeroCrossingValues);
        KernelRegistry::add(k.supressMidRange);
        KernelRegistry::add(Kernel::makeColor("extremaValueImage", kernels::maskInRange));
        KernelRegistry::add(Kernel::makeColor("unsharpMaskWithSource", kernels::unsharpMask));
        registerEdgeFlowKernels();
        registerSmoothingFilters();
    });
}

std::string QXVideoFilterUtilities::loadKernelSource(const std::string& name, const Bundle& bundle) {
    if (auto text = bundle.textForResource(name, "cikernel")) return *text;
    auto bytes = bundle.dataForResource(name, "enc");
    if (!bytes || bytes->empty()) return {};
    // The file holds the scrambled text and one terminating zero byte.
    const int32_t count = int32_t(bytes->size() - 1);
    std::string plain = xorString(bytes->data(), count, kKernelSourceKey, 32);
    return std::string(plain.c_str());  // up to the first zero
}

KernelPtr QXVideoFilterUtilities::loadMetalCIKernel(const std::string& name) {
    return loadMetalCIKernel(name, Bundle::main());
}

KernelPtr QXVideoFilterUtilities::loadMetalCIKernel(const std::string& name, const Bundle& bundle) {
    registerEngineKernels();
    return QXShaderLibrary::kernelNamed(name, bundle);
}

Image QXVideoFilterUtilities::applyMetalKernelNamed(const std::string& name, const Rect& rect,
                                                    const std::vector<KernelArg>& args) {
    return applyMetalKernelNamed(name, rect, args, Bundle::main());
}

Image QXVideoFilterUtilities::applyMetalKernelNamed(const std::string& name, const Rect& rect,
                                                    const std::vector<KernelArg>& args, const Bundle& bundle) {
    registerEngineKernels();
    return QXShaderLibrary::apply(name, rect, args, bundle);
}

Image QXVideoFilterUtilities::applyKernel(const KernelPtr& kernel, const Rect& rect, const std::vector<KernelArg>& args) {
    return vellari::applyKernel(kernel, rect, args);
}

Image QXVideoFilterUtilities::blurImage(const Image& image, double radius) {
    return QXCoreImageUtilities::blurImage(image, radius);
}

Image QXVideoFilterUtilities::addWeighted(const Image& a, const Image& b, double alpha, double beta, double gamma) {
    return QXCoreImageUtilities::addWeighted(a, b, alpha, beta, gamma);
}

Image QXVideoFilterUtilities::differenceOfGaussians(const Image& image, double lowerRadius, double upperRadius,
                                                    double weight, double gain) {
    if (!image) return {};
    const Rect e = image.extent();
    const Image c = image.clampedToExtent();
    const Image lower = lowerRadius > 0 ? c.applyingFilter("CIGaussianBlur", {{"inputRadius", lowerRadius}}) : c;
    const Image upper = c.applyingFilter("CIGaussianBlur", {{"inputRadius", upperRadius}});
    return addWeighted(lower, upper, weight, -weight, gain + 0.5).cropped(e);
}

Image QXVideoFilterUtilities::differenceImageA(const Image& a, const Image& b, double weight, double gain) {
    return QXCoreImageUtilities::differenceImageA(a, b, weight, gain);
}

Image QXVideoFilterUtilities::grayscale(const Image& image) { return colorKernel(compiled().grayscale, image, {}); }

Image QXVideoFilterUtilities::grayscaleEnhanceLips(const Image& image) {
    return colorKernel(compiled().grayscaleEnhanceLips, image, {});
}

Image QXVideoFilterUtilities::thresholdMultichannelImage(const Image& image, double threshold) {
    return colorKernel(compiled().thresholdMultichannelImage, image, {threshold});
}

Image QXVideoFilterUtilities::bilateralBlurValue(const Image& image) {
    if (!image) return {};
    return vellari::applyKernel(compiled().bilateralBlurValue, image.extent(), {image}).cropped(image.extent());
}

Image QXVideoFilterUtilities::unsharpMaskWithSource(const Image& source, const Image& blurredSource, double intensity) {
    if (!source || !blurredSource) return {};
    return vellari::applyKernel(compiled().unsharpMask, source.extent(), {source, blurredSource, intensity},
                                [](int, const Rect& d) { return d; });
}

Image QXVideoFilterUtilities::highPassWithSource(const Image& source, const Image& blurredSource, double intensity) {
    if (!source || !blurredSource) return {};
    return vellari::applyKernel(compiled().highPass, source.extent(), {source, blurredSource, intensity},
                                [](int, const Rect& d) { return d; });
}

Image QXVideoFilterUtilities::extremaValueImage(const Image& image, const Color& replacementColor) {
    return colorKernel(compiled().maskInRange, image, {replacementColor});
}

Image QXVideoFilterUtilities::extremaValueImage(const Image& image, const Color& replacementColor, double range) {
    return colorKernel(compiled().maskInRange, image, {replacementColor, range});
}

Image QXVideoFilterUtilities::scaleRange(const Image& image, double sourceScale, double sourceShift) {
    return colorKernel(compiled().scaleRange, image, {sourceScale, sourceShift});
}

Image QXVideoFilterUtilities::maskFromZeroCrossingValues(const Image& image) {
    return colorKernel(compiled().maskFromZeroCrossingValues, image, {});
}

Image QXVideoFilterUtilities::supressMidRange(const Image& image, double range) {
    return colorKernel(compiled().supressMidRange, image, {range});
}

Image QXVideoFilterUtilities::supressHighRange(const Image& image, double range) {
    return colorKernel(compiled().supressHighRange, image, {range});
}

FilterPtr QXVideoFilterUtilities::createColorCubeFilter(const Picture& lut) {
    return QXCoreImageUtilities::createColorCubeFilter(lut);
}

Image QXVideoFilterUtilities::setImageAlpha(const Image& image, double constant) {
    return QXCoreImageUtilities::setImageAlpha(image, constant);
}

Image QXVideoFilterUtilities::clampRange(const Image& image) { return colorKernel(compiled().clampRange, image, {}); }

Image QXVideoFilterUtilities::makeImage(const Image& image, const Size& size) {
    return QXCoreImageUtilities::makeImage(image, size);
}

}  // namespace vellari
