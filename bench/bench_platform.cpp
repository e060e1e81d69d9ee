// Image layer: colour-kernel chains, blurs against OpenCV, and a large banded render.

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>
#include <random>

#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"
#include "vellari/platform/kernel.h"
#include "bench_support.h"

using namespace vellari;

namespace {

std::vector<float> noise(int w, int h) { return bench::noiseRGBAf(w, h, 7); }

void scaleKernel(const ColorSpan& s) {
    const float k = s.val[0][0], b = s.val[1][0];
    for (int i = 0; i < s.n * 4; ++i) s.dst[i] = s.src[0][i] * k + b;
}

void renderInto(const Image& img, std::vector<float>& out) {
    Rect e = img.extent();
    defaultContext().render(img, e, PixelFormat::RGBAf, out.data(), size_t(e.width) * 16);
}

void BM_ColorKernelChain(benchmark::State& state) {
    const int w = 1920, h = 1080, n = int(state.range(0));
    Image src = Image::fromRGBAf(noise(w, h), w, h);
    KernelPtr k = Kernel::makeColor("bench.scale", scaleKernel);
    Image img = src;
    for (int i = 0; i < n; ++i) img = applyKernel(k, src.extent(), {img, 0.99, 0.001});
    std::vector<float> out(size_t(w) * h * 4);
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ColorKernelChain)->Arg(1)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

// Bilinear scaling to 1920 × 1080 by the factor range(0) / 100 (200: the line layer's
// enlargement, 50: a reduction to it), clamped to the extent as the styles scale.
void BM_BilinearScaleTo1080p(benchmark::State& state) {
    const double s = double(state.range(0)) / 100.0;
    const int w = int(std::lround(1920 / s)), h = int(std::lround(1080 / s));
    Image src = Image::fromRGBAf(noise(w, h), w, h);
    Image img = src.clampedToExtent().scaled(s, s).cropped({0, 0, 1920, 1080});
    std::vector<float> out(size_t(1920) * 1080 * 4);
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(std::to_string(w) + "x" + std::to_string(h) + " to 1920x1080");
}
BENCHMARK(BM_BilinearScaleTo1080p)->Arg(200)->Arg(400)->Arg(50)->Unit(benchmark::kMillisecond)->UseRealTime();

// Range 1 set: a grey opaque picture (the line stage's structure images), blurred as a plane.
void BM_GaussianBlurClampCrop(benchmark::State& state) {
    const int w = 1920, h = 1080;
    const double sigma = double(state.range(0)) / 100.0;
    std::vector<float> pixels = noise(w, h);
    if (state.range(1))
        for (size_t i = 0; i < pixels.size(); i += 4) {
            pixels[i + 1] = pixels[i + 2] = pixels[i];
            pixels[i + 3] = 1;
        }
    Image src = Image::fromRGBAf(std::move(pixels), w, h);
    Image img = src.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", sigma}}).cropped(src.extent());
    std::vector<float> out(size_t(w) * h * 4);
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("sigma " + std::to_string(sigma) + (state.range(1) ? ", grey" : ""));
}
BENCHMARK(BM_GaussianBlurClampCrop)
    ->ArgsProduct({{125, 400, 1500, 15000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_OpenCVGaussianBlur(benchmark::State& state) {
    const int w = 1920, h = 1080;
    const double sigma = double(state.range(0)) / 100.0;
    std::vector<float> d = noise(w, h);
    cv::Mat src(h, w, CV_32FC4, d.data()), dst;
    for (auto _ : state) {
        cv::GaussianBlur(src, dst, cv::Size(0, 0), sigma, sigma, cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(dst.data);
    }
    state.SetLabel("sigma " + std::to_string(sigma));
}
BENCHMARK(BM_OpenCVGaussianBlur)->Arg(125)->Unit(benchmark::kMillisecond)->UseRealTime();

// One colour filter over a 1080p float frame, rendered to floats; compare with a one-kernel
// chain above for the cost of the filter itself.
void BM_ColorFilter(benchmark::State& state) {
    const int w = 1920, h = 1080;
    Image src = Image::fromRGBAf(noise(w, h), w, h);
    Image img;
    switch (state.range(0)) {
        case 0:
            img = src.applyingFilter("CIToneCurve", {{"inputPoint1", Vector{0.25, 0.3}},
                                                      {"inputPoint2", Vector{0.5, 0.56}},
                                                      {"inputPoint3", Vector{0.75, 0.8}}});
            state.SetLabel("CIToneCurve");
            break;
        case 1:
            img = src.applyingFilter("CIVibrance", {{"inputAmount", 0.3}});
            state.SetLabel("CIVibrance");
            break;
        case 2:
            img = src.applyingFilter("CIColorControls", {{"inputContrast", 1.2}});
            state.SetLabel("CIColorControls");
            break;
        default:
            img = src.applyingFilter("CISaturationBlendMode",
                                     {{"inputBackgroundImage", src.applyingFilter("CIColorControls", {{"inputContrast", 1.2}})}});
            state.SetLabel("CISaturationBlendMode over CIColorControls");
            break;
    }
    std::vector<float> out(size_t(w) * h * 4);
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ColorFilter)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 6000 x 4000 picture through 20 stages including blurs, rendered to 8 bits.
void BM_LargeChain(benchmark::State& state) {
    const int w = 6000, h = 4000;
    std::vector<uint8_t> px(size_t(w) * h * 4);
    std::mt19937 rng(3);
    for (auto& b : px) b = uint8_t(rng());
    Image src = Image::fromRGBA8(px.data(), w, h, size_t(w) * 4, false);
    KernelPtr k = Kernel::makeColor("bench.scale", scaleKernel);
    Image img = src;
    for (int i = 0; i < 20; ++i) {
        if (i % 5 == 2)
            img = img.clampedToExtent().applyingFilter("CIGaussianBlur", {{"inputRadius", 2.0 + i}}).cropped(src.extent());
        else
            img = applyKernel(k, src.extent(), {img, 0.98, 0.01});
    }
    std::vector<uint8_t> out(size_t(w) * h * 4);
    for (auto _ : state) {
        defaultContext().render(img, src.extent(), PixelFormat::RGBA8, out.data(), size_t(w) * 4);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_LargeChain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
