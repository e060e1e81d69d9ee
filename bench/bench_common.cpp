// Companion library's heavy operations at the sizes the video path uses: the colour
// stage's bilateral smoothing (480 × 270, kernel 31), the lines' enlargement and speck
// removal (960 × 540). OpenCV's bilateral filter on the same frame is the yardstick.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <opencv2/imgproc.hpp>
#include <random>

#include "vellari/common/connected_components.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/context.h"
#include "vellari/platform/image.h"

using namespace vellari;

namespace {

// Piecewise-smooth colour with mild noise and thin dark lines, like a video frame: the
// occlusion walks neither stop at once (noise) nor always run to the end (flat colour).
std::vector<float> frame(int w, int h) {
    std::vector<float> d(size_t(w) * h * 4);
    std::mt19937 rng(3);
    std::normal_distribution<float> n(0, 0.02f);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* p = &d[(size_t(y) * w + x) * 4];
            const int cell = (x / 60 + 3 * (y / 45)) % 5;
            const float base[5][3] = {
                {0.8f, 0.6f, 0.5f}, {0.3f, 0.5f, 0.7f}, {0.6f, 0.7f, 0.3f}, {0.5f, 0.5f, 0.5f}, {0.9f, 0.8f, 0.6f}};
            const float shade = 0.85f + 0.15f * std::sin(x * 0.03f + y * 0.02f);
            const bool line = (x + 2 * y) % 97 == 0;
            for (int c = 0; c < 3; ++c) p[c] = line ? 0.05f : std::clamp(base[cell][c] * shade + n(rng), 0.f, 1.f);
            p[3] = 1;
        }
    return d;
}

std::vector<float> lineArt(int w, int h) {
    std::vector<float> d(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* p = &d[(size_t(y) * w + x) * 4];
            const int r = (x * 7 + y * 13) % 211;
            p[0] = p[1] = p[2] = r < 3 ? 0.f : (r > 205 ? 1.f : 0.5f);
            p[3] = 1;
        }
    return d;
}

void renderInto(const Image& img, std::vector<float>& out) {
    const Rect e = img.extent();
    out.resize(size_t(e.width) * size_t(e.height) * 4);
    defaultContext().render(img, e, PixelFormat::RGBAf, out.data(), size_t(e.width) * 16);
}

void BM_BilateralOcclusion(benchmark::State& state) {
    const int w = 480, h = 270;
    Image src = Image::fromRGBAf(frame(w, h), w, h);
    Image img = QXCoreImageUtilities::bilateralBlurOcclusionSeparable(src, double(state.range(0)), 36.0 / 255.0);
    std::vector<float> out;
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BilateralOcclusion)->Arg(31)->Arg(11)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BilateralTent(benchmark::State& state) {
    const int w = 480, h = 270;
    Image src = Image::fromRGBAf(frame(w, h), w, h);
    Image img = QXCoreImageUtilities::bilateralBlurTentSeparable(src, double(state.range(0)), 36.0 / 255.0, false);
    std::vector<float> out;
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BilateralTent)->Arg(31)->Unit(benchmark::kMillisecond)->UseRealTime();

// OpenCV's (non-separable, Gaussian-spatial) bilateral filter over the same 31-pixel
// window on the same frame, 3-channel float.
void BM_OpenCVBilateralFilter(benchmark::State& state) {
    const int w = 480, h = 270;
    std::vector<float> f = frame(w, h);
    cv::Mat rgba(h, w, CV_32FC4, f.data()), rgb, out;
    cv::cvtColor(rgba, rgb, cv::COLOR_RGBA2RGB);
    for (auto _ : state) {
        cv::bilateralFilter(rgb, out, int(state.range(0)), 36.0 / 255.0, 31.0 / 6.0);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_OpenCVBilateralFilter)->Arg(31)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_UpscaleFX0D(benchmark::State& state) {
    const int w = 960, h = 540;
    Image src = Image::fromRGBAf(lineArt(w, h), w, h);
    Image img = QXCISuperResolution::upscaleImageUsingFX0D(src, 2);
    std::vector<float> out;
    for (auto _ : state) {
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_UpscaleFX0D)->Unit(benchmark::kMillisecond)->UseRealTime();

// OpenCV's plain bicubic enlargement of the same frame, for scale.
void BM_OpenCVResizeCubic(benchmark::State& state) {
    const int w = 960, h = 540;
    std::vector<float> f = lineArt(w, h);
    cv::Mat src(h, w, CV_32FC4, f.data()), out;
    for (auto _ : state) {
        cv::resize(src, out, cv::Size(2 * w, 2 * h), 0, 0, cv::INTER_CUBIC);
        benchmark::DoNotOptimize(out.data);
    }
}
BENCHMARK(BM_OpenCVResizeCubic)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RemoveDetailBinary(benchmark::State& state) {
    const int w = 960, h = 540;
    Image src = Image::fromRGBAf(lineArt(w, h), w, h);
    std::vector<float> out;
    for (auto _ : state) {
        Image img = QXConnectedComponents::removeDetailBinary(src, 64, 64, Color{0.5, 0.5, 0.5, 0});
        renderInto(img, out);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_RemoveDetailBinary)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
