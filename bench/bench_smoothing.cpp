// The smoothing and anti-aliasing filters at frame sizes: FXAA runs on every processed
// frame (1080p), the blurs and the equalisation on the 540-pixel working frame. A plain
// copy render of the same input is the baseline for what the image layer itself costs.

#include <benchmark/benchmark.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <random>

#include "vellari/engine/filter_utilities.h"
#include "vellari/engine/smoothing_filters.h"
#include "vellari/platform/context.h"

using namespace vellari;

namespace {

// An illustration-like frame: flat colour regions with hard (aliased) outlines, a soft
// background gradient and some fine noise, the kind of picture the styles produce.
Image illustration(int w, int h) {
    std::vector<float> d(size_t(w) * h * 4);
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.01f, 0.01f);
    struct Disc {
        float x, y, r, c[3];
    };
    std::vector<Disc> discs;
    std::uniform_real_distribution<float> px(0, float(w)), py(0, float(h)), pr(20, 160), pc(0, 1);
    for (int i = 0; i < 40; ++i) discs.push_back({px(rng), py(rng), pr(rng), {pc(rng), pc(rng), pc(rng)}});
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            float* p = &d[(size_t(y) * w + x) * 4];
            p[0] = 0.3f + 0.4f * float(x) / float(w);
            p[1] = 0.5f;
            p[2] = 0.6f - 0.3f * float(y) / float(h);
            for (const Disc& c : discs) {
                const float dx = float(x) + 0.5f - c.x, dy = float(y) + 0.5f - c.y;
                const float dist = std::sqrt(dx * dx + dy * dy);
                if (dist < c.r) {
                    const bool outline = dist > c.r - 3;
                    for (int k = 0; k < 3; ++k) p[k] = outline ? 0.05f : c.c[k];
                }
            }
            for (int k = 0; k < 3; ++k) p[k] = std::clamp(p[k] + u(rng), 0.0f, 1.0f);
            p[3] = 1;
        }
    return Image::fromRGBAf(std::move(d), w, h);
}

void renderLoop(benchmark::State& state, const Image& img, int w, int h) {
    std::vector<float> out(size_t(w) * h * 4);
    for (auto _ : state) {
        defaultContext().render(img, Rect{0, 0, double(w), double(h)}, PixelFormat::RGBAf, out.data(),
                                size_t(w) * 16);
        benchmark::DoNotOptimize(out.data());
    }
}

void BM_CopyRender1080p(benchmark::State& state) {
    Image src = illustration(1920, 1080);
    renderLoop(state, src.cropped(src.extent()), 1920, 1080);
    state.SetLabel("1920x1080 RGBAf, baseline");
}
BENCHMARK(BM_CopyRender1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_FXAA1080p(benchmark::State& state) {
    Image src = illustration(1920, 1080);
    renderLoop(state, QXVideoFilterUtilities::FXAA(src), 1920, 1080);
    state.SetLabel("1920x1080 RGBAf");
}
BENCHMARK(BM_FXAA1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_SurfaceBlur540p(benchmark::State& state) {
    Image src = illustration(960, 540);
    renderLoop(state, QXVideoFilterUtilities::surfaceBlur(src, double(state.range(0)), 20), 960, 540);
    state.SetLabel("960x540 radius " + std::to_string(state.range(0)) + " threshold 20");
}
BENCHMARK(BM_SurfaceBlur540p)->Arg(3)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Bilateral540p(benchmark::State& state) {
    Image src = illustration(960, 540);
    YUCIBilateralFilter f;
    f.setInputImage(src);
    f.setInputRadius(double(state.range(0)));
    renderLoop(state, f.outputImage(), 960, 540);
    state.SetLabel("960x540 radius " + std::to_string(state.range(0)));
}
BENCHMARK(BM_Bilateral540p)->Arg(10)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HistogramEqualization540p(benchmark::State& state) {
    Image src = illustration(960, 540);
    std::vector<float> out(size_t(960) * 540 * 4);
    for (auto _ : state) {
        // A new filter per frame, as the normalisation stage uses it.
        YUCIHistogramEqualization f;
        f.setInputImage(src);
        defaultContext().render(f.outputImage(), Rect{0, 0, 960, 540}, PixelFormat::RGBAf, out.data(), 960 * 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("960x540, render and read back");
}
BENCHMARK(BM_HistogramEqualization540p)->Unit(benchmark::kMillisecond)->UseRealTime();

// OpenCV's references for the same work: its (non-separable) bilateral filter over a
// window of the same width, and its histogram equalisation of four 8-bit channels.
void BM_OpenCVBilateral540p(benchmark::State& state) {
    cv::Mat src(540, 960, CV_32FC3), dst;
    cv::randu(src, 0.0f, 1.0f);
    for (auto _ : state) {
        cv::bilateralFilter(src, dst, 21, 0.2, 10);
        benchmark::DoNotOptimize(dst.data);
    }
    state.SetLabel("960x540 window 21, reference");
}
BENCHMARK(BM_OpenCVBilateral540p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_OpenCVEqualizeHist540p(benchmark::State& state) {
    cv::Mat src(540, 960, CV_8UC4), dst;
    cv::randu(src, 0, 256);
    for (auto _ : state) {
        std::vector<cv::Mat> planes;
        cv::split(src, planes);
        for (auto& p : planes) cv::equalizeHist(p, p);
        cv::merge(planes, dst);
        benchmark::DoNotOptimize(dst.data);
    }
    state.SetLabel("960x540 four channels, reference");
}
BENCHMARK(BM_OpenCVEqualizeHist540p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
