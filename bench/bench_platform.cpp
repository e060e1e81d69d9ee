// Image layer: colour-kernel chains, blurs against OpenCV, and a large banded render.

#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>
#include <algorithm>
#include <cmath>
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

// The conversions at the ends of a render, over a 1080p frame: 0, a decoded 8-bit picture
// (straight alpha) to premultiplied floats; 1, floats to the display's BGRA8; 2, an 8-bit
// premultiplied picture (a flattened frame) to BGRA8, its bytes reordered.
void BM_Convert1080p(benchmark::State& state) {
    const int w = 1920, h = 1080;
    const std::vector<float> f = noise(w, h);
    std::vector<uint8_t> bytes(f.size());
    for (size_t i = 0; i < f.size(); ++i) bytes[i] = uint8_t(f[i] * 255.0f + 0.5f);
    std::vector<uint8_t> bgra(size_t(w) * h * 4);
    std::vector<float> out(size_t(w) * h * 4);
    Image img;
    switch (state.range(0)) {
        case 0:
            img = Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, false);
            state.SetLabel("RGBA8 (straight) to floats");
            break;
        case 1:
            img = Image::fromRGBAf(f, w, h);
            state.SetLabel("floats to BGRA8");
            break;
        default:
            img = Image::fromRGBA8(bytes.data(), w, h, size_t(w) * 4, true);
            state.SetLabel("RGBA8 (premultiplied) to BGRA8");
            break;
    }
    for (auto _ : state) {
        if (state.range(0) == 0) {
            renderInto(img, out);
            benchmark::DoNotOptimize(out.data());
        } else {
            defaultContext().render(img, img.extent(), PixelFormat::BGRA8, bgra.data(), size_t(w) * 4);
            benchmark::DoNotOptimize(bgra.data());
        }
    }
}
BENCHMARK(BM_Convert1080p)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

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

// Translucent premultiplied noise (alpha from 0 to 1, some pixels transparent), for the
// sources of the blends.
std::vector<float> translucentNoise(int w, int h) {
    std::vector<float> d = bench::noiseRGBAf(w, h, 11);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.1f, 1.f);
    for (size_t i = 0; i < d.size(); i += 4) {
        const float a = std::max(u(rng), 0.f);
        for (int c = 0; c < 4; ++c) d[i + c] = c < 3 ? d[i + c] * a : a;
    }
    return d;
}

// A 33-point colour cube that rotates the channels and lifts the shadows.
FloatData benchCube() {
    const int n = 33;
    auto d = std::make_shared<std::vector<float>>();
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                const float x = r / float(n - 1), y = g / float(n - 1), z = b / float(n - 1);
                d->insert(d->end(), {std::sqrt(y), 0.1f + 0.9f * z, x * x, 1.f});
            }
    return d;
}

// One colour filter or blend over a 1080p float frame, rendered to floats; compare with a
// one-kernel chain above for the cost of the filter itself. Blends take translucent noise
// as the source over opaque noise.
void BM_ColorFilter(benchmark::State& state) {
    const int w = 1920, h = 1080;
    Image src = Image::fromRGBAf(noise(w, h), w, h);
    Image img;
    auto blend = [&](const char* name) {
        Image top = Image::fromRGBAf(translucentNoise(w, h), w, h);
        state.SetLabel(name);
        return top.applyingFilter(name, {{"inputBackgroundImage", src}});
    };
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
        case 3:
            img = src.applyingFilter("CISaturationBlendMode",
                                     {{"inputBackgroundImage", src.applyingFilter("CIColorControls", {{"inputContrast", 1.2}})}});
            state.SetLabel("CISaturationBlendMode over CIColorControls");
            break;
        case 4:
            img = src.applyingFilter("CIColorCube", {{"inputCubeDimension", 33}, {"inputCubeData", benchCube()}});
            state.SetLabel("CIColorCube 33");
            break;
        case 5:
            img = src.applyingFilter("CIColorMatrix", {{"inputRVector", Vector{0.9, 0.1, 0, 0}},
                                                        {"inputGVector", Vector{0.05, 0.9, 0.05, 0}},
                                                        {"inputAVector", Vector{0, 0, 0, 0.8}},
                                                        {"inputBiasVector", Vector{0.02, 0, -0.02, 0.1}}});
            state.SetLabel("CIColorMatrix");
            break;
        case 6:
            img = src.applyingFilter("CIGammaAdjust", {{"inputPower", 0.75}});
            state.SetLabel("CIGammaAdjust");
            break;
        case 7:
            img = src.applyingFilter("CITemperatureAndTint", {{"inputTargetNeutral", Vector{5000, 10}}});
            state.SetLabel("CITemperatureAndTint");
            break;
        case 8:
            img = src.applyingFilter("CIColorInvert");
            state.SetLabel("CIColorInvert");
            break;
        case 9: img = blend("CISourceOverCompositing"); break;
        case 10: img = blend("CIMultiplyBlendMode"); break;
        case 11: img = blend("CIScreenBlendMode"); break;
        case 12: img = blend("CISaturationBlendMode"); break;
        case 13: img = blend("CISoftLightBlendMode"); break;
        case 14: img = blend("CIHueBlendMode"); break;
        case 15: img = blend("CILuminosityBlendMode"); break;
        default: img = blend("CISourceAtopCompositing"); break;
    }
    std::vector<float> out(size_t(w) * h * 4);
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ColorFilter)->DenseRange(0, 16)->Unit(benchmark::kMillisecond)->UseRealTime();

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
