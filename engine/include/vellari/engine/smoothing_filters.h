#pragma once
// The system's own smoothing and anti-aliasing filters: fast approximate anti-aliasing,
// per-channel histogram equalisation, an edge-preserving surface blur and a separable
// bilateral blur. The first three are registered with the filter registry under their
// class names; the bilateral filter is created directly.
//
// The sampling kernels are C++ functions over tiles; "compiling" a blur kernel means
// building its weight table, which is cached process-wide per radius (surface blur) or
// per sample count (bilateral) in immutable maps that are replaced, never changed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"

namespace vellari {

// Registers YUCIFXAA, YUCIHistogramEqualization and YUCISurfaceBlur with the filter
// registry. Idempotent and thread-safe; every use of these classes calls it first.
void registerSmoothingFilters();

// Registry categories of the smoothing filters.
inline constexpr const char* kCategoryStillImage = "CICategoryStillImage";
inline constexpr const char* kCategoryVideo = "CICategoryVideo";
inline constexpr const char* kCategoryColorAdjustment = "CICategoryColorAdjustment";
inline constexpr const char* kCategoryBlur = "CICategoryBlur";

struct FilterClassAttributes {
    std::string displayName;
    std::vector<std::string> categories;
};

// The shared constructor object that the registry holds for the smoothing filters.
class YUCIFilterConstructor {
public:
    static YUCIFilterConstructor& constructor();
    // A new filter of the registered class `name` with its defaults; null for other names.
    FilterPtr filterWithName(const std::string& name) const;

    // Names registered through this constructor, and their registry attributes.
    static const std::vector<std::string>& registeredNames();
    static const FilterClassAttributes* attributesForName(const std::string& name);

private:
    YUCIFilterConstructor() = default;
};

// Fast approximate anti-aliasing (the published 3.11 quality method) of "inputImage".
class YUCIFXAA final : public Filter {
public:
    YUCIFXAA();
    void setInputImage(const Image& image) { setValue("inputImage", image); }
    Image inputImage() const { return image("inputImage"); }
    Image outputImage() const override;

    // How far, in pixels, the kernel reads beyond the pixel it computes.
    static constexpr int kReach = 8;
};

// Equalises each of the four 8-bit channels of "inputImage" on the CPU.
//
// Mapping per channel: with the channel's histogram h, its cumulative count c(v) and
// c_min the count of its smallest present value over N pixels,
//   v' = round(255 · (c(v) − c_min) / (N − c_min)),
// so that the smallest present value becomes 0 and the largest 255. A channel that holds
// a single value (an opaque picture's alpha) has no contrast to stretch and is kept.
// Values are the rendered premultiplied bytes; the result lies at (0, 0).
class YUCIHistogramEqualization final : public Filter {
public:
    YUCIHistogramEqualization();
    void setInputImage(const Image& image) { setValue("inputImage", image); }
    Image inputImage() const { return image("inputImage"); }
    Image outputImage() const override;
    // The filter's own rendering context, created on first use.
    const Context& context() const;

    // The equalisation itself, in place on `n` interleaved 4-byte pixels.
    static void equalize(uint8_t* pixels, size_t n);

private:
    mutable std::once_flag contextOnce_;
    mutable std::unique_ptr<Context> context_;
};

// The surface blur's compiled kernel: the spatial Gaussian table for one integer radius n.
struct YUCISurfaceBlurKernel {
    int radius = 0;        // n
    int sampleCount = 0;   // 2n: the table's storage
    std::vector<float> weights;  // 2n − 1 entries, weights[n − 1 ± i] = g(i, n)
};
using YUCISurfaceBlurKernelPtr = std::shared_ptr<const YUCISurfaceBlurKernel>;

// Edge-preserving blur: each neighbour within n − 1 pixels (n = "inputRadius") counts with
// its spatial Gaussian weight times max(0, 1 − |Δluma| / t), t = "inputThreshold" / 255 · 2,
// Δluma its brightness difference from the centre (Rec. 601 luma of the stored values).
// With t = 0 only neighbours of exactly the centre's brightness count.
class YUCISurfaceBlur final : public Filter {
public:
    YUCISurfaceBlur();
    void setInputImage(const Image& image) { setValue("inputImage", image); }
    Image inputImage() const { return image("inputImage"); }
    void setInputRadius(double r) { setValue("inputRadius", r); }
    double inputRadius() const;
    void setInputThreshold(double t) { setValue("inputThreshold", t); }
    double inputThreshold() const;
    Image outputImage() const override;

    // The cached kernel of radius n (built on first use); null for n ≤ 0.
    static YUCISurfaceBlurKernelPtr filterKernelForRadius(int radius);
    // Radii above this are treated as this: the window is already wider than the
    // working frame, and the per-thread tile planes stay about 10 MB.
    static constexpr int kMaxRadius = 256;
};

// The bilateral blur's compiled kernel for one sample count.
struct YUCIBilateralKernel {
    int sampleCount = 0;         // taps per pass, odd
    std::vector<float> weights;  // (count + 1) / 2 entries by distance from the centre, normalised
};
using YUCIBilateralKernelPtr = std::shared_ptr<const YUCIBilateralKernel>;

// Separable bilateral blur: a horizontal pass, then a vertical one. A tap k steps
// ("inputTexelSpacingMultiplier" pixels each) from the centre counts with
// weights[|k|] · max(0, 1 − |Δrgb| · "inputDistanceNormalizationFactor"), |Δrgb| the
// Euclidean distance of its stored colour from the centre's; taps are sampled with the
// input's sampling mode. Outside its extent the input is transparent.
class YUCIBilateralFilter final : public Filter {
public:
    YUCIBilateralFilter();
    void setInputImage(const Image& image) { setValue("inputImage", image); }
    Image inputImage() const { return image("inputImage"); }
    void setInputRadius(double r) { setValue("inputRadius", r); }
    double inputRadius() const;
    void setInputTexelSpacingMultiplier(double m) { setValue("inputTexelSpacingMultiplier", m); }
    double inputTexelSpacingMultiplier() const;
    void setInputDistanceNormalizationFactor(double f) { setValue("inputDistanceNormalizationFactor", f); }
    double inputDistanceNormalizationFactor() const;
    Image outputImage() const override;

    // Taps where a Gaussian of σ = radius has fallen to 1/256 of its peak scale (odd, ≥ 1).
    static int sampleCountForRadius(int radius);
    // The cached kernel for radius's sample count; a radius whose count is already built
    // gets that kernel (with the weights of the radius that built it).
    static YUCIBilateralKernelPtr filterKernelForRadius(int radius);
};

}  // namespace vellari
