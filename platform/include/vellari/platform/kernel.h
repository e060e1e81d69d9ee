#pragma once
// Kernels: the system's own pixel programs.
//
// A colour kernel computes each output pixel from the pixels at the same position of its
// image arguments; it is called once per row span with contiguous RGBA floats. A general
// kernel samples its images anywhere inside the region of interest that its callback
// declares; it is called once per output tile. Kernels are plain functions so that the
// inner loops vectorise: no per-pixel virtual calls.

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "vellari/platform/geometry.h"
#include "vellari/platform/image.h"
#include "vellari/platform/values.h"

namespace vellari {

// A non-image argument as the kernel sees it: up to four numbers (a number has count 1,
// a colour count 4 with its straight components).
struct ArgValue {
    float v[4] = {0, 0, 0, 0};
    int count = 0;
    float operator[](int i) const { return v[i]; }
};

struct ColorSpan {
    const float* const* src;  // image arguments in order, each n RGBA pixels
    const ArgValue* val;      // non-image arguments in order
    float* dst;               // n RGBA pixels
    int n;
    int x, y;  // image coordinates of the first pixel (its centre is x + 0.5, y + 0.5)
    int srcCount = 0, valCount = 0;
};
using ColorKernelFunction = void (*)(const ColorSpan&);

// Read access to an input of a general kernel: a buffer covering at least the region of
// interest. Pixels outside the input's extent read as transparent.
struct SamplerView {
    IRect rect;          // pixels held
    const float* data;   // RGBA float rows, premultiplied
    ptrdiff_t stride;    // floats per row
    bool nearest;        // the image asked for nearest sampling

    const float* row(int y) const { return data + ptrdiff_t(y - rect.y) * stride - ptrdiff_t(rect.x) * 4; }
    // Pixel (ix, iy); transparent outside the held rectangle.
    void pixel(int ix, int iy, float out[4]) const;
    // Sample at image-space point (x, y) (pixel centres at +0.5) with the image's
    // sampling mode: bilinear, or the pixel containing the point.
    void sample(double x, double y, float out[4]) const;
};

struct GeneralTile {
    const SamplerView* src;  // image arguments in order
    const ArgValue* val;     // non-image arguments in order
    float* dst;              // output tile, RGBA float rows
    ptrdiff_t dstStride;     // floats per row
    IRect rect;              // output pixels to compute
    int srcCount = 0, valCount = 0;
    float* row(int y) const { return dst + ptrdiff_t(y - rect.y) * dstStride; }
};
using GeneralKernelFunction = void (*)(const GeneralTile&);

// Region of an input (by index among the image arguments) needed for a destination rect.
using RoiCallback = std::function<Rect(int index, const Rect& dest)>;
// A general kernel's own region of interest, which may depend on its non-image arguments
// (a radius); used when the caller gives no callback, as callers of named kernels do.
using KernelRoiFunction = IRect (*)(int index, const IRect& dest, const ArgValue* values, int valueCount);

class Kernel {
public:
    enum class Kind { Color, General };

    static std::shared_ptr<const Kernel> makeColor(std::string name, ColorKernelFunction fn);
    static std::shared_ptr<const Kernel> makeGeneral(std::string name, GeneralKernelFunction fn,
                                                     KernelRoiFunction roi = nullptr);

    const std::string& name() const { return name_; }
    Kind kind() const { return kind_; }
    ColorKernelFunction colorFunction() const { return color_; }
    GeneralKernelFunction generalFunction() const { return general_; }
    KernelRoiFunction roiFunction() const { return roi_; }

    Kernel(std::string name, Kind kind, ColorKernelFunction c, GeneralKernelFunction g, KernelRoiFunction roi = nullptr)
        : name_(std::move(name)), kind_(kind), color_(c), general_(g), roi_(roi) {}

private:
    std::string name_;
    Kind kind_;
    ColorKernelFunction color_ = nullptr;
    GeneralKernelFunction general_ = nullptr;
    KernelRoiFunction roi_ = nullptr;
};
using KernelPtr = std::shared_ptr<const Kernel>;

using KernelArg = std::variant<double, Vector, Color, Image>;

// Applies a kernel over `extent`. No kernel, or an absent image argument, gives no image.
// Without a callback the region of interest is the kernel's own, or else the destination.
Image applyKernel(const KernelPtr& kernel, const Rect& extent, const std::vector<KernelArg>& args,
                  RoiCallback roi = nullptr);

// The application's named kernels (its shader library): compiled into the program and
// registered by name. An unknown name gives no kernel.
class KernelRegistry {
public:
    static void add(const KernelPtr& kernel);
    static KernelPtr find(const std::string& name);
    static std::vector<std::string> names();
};

}  // namespace vellari
