// Edge tangent flow at the line stage's working size: the field (six passes of radius 2)
// and three passes of flow-guided smoothing, each rendered to float RGBA.

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/engine/filter_abstract.h"
#include "vellari/engine/filter_utilities.h"
#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"

using namespace vellari;

namespace {

constexpr int kW = 960, kH = 540;

// The sample photograph at 960 × 540 as a float source (noise when it cannot be read), so
// that the timings hold only the flow work.
std::string photoPath() {
    std::string here = __FILE__;
    return here.substr(0, here.rfind("/bench/")) + "/tests/data/photos/astronaut.png";
}

Image workingImage() {
    PictureResult r = readPicture(photoPath());
    if (!r.ok()) return Image::fromRGBAf(bench::noiseRGBAf(kW, kH, 5), kW, kH);
    Image photo = Image::fromPicture(r.picture);
    const Rect e = photo.extent();
    // Clamped first, so that the border stays opaque as a camera frame is.
    Image scaled = photo.clampedToExtent().scaled(kW / e.width, kH / e.height, true).cropped(Rect{0, 0, kW, kH});
    Bitmap b = defaultContext().render(scaled, Rect{0, 0, kW, kH}, PixelFormat::RGBAf);
    std::vector<float> d(size_t(kW) * kH * 4);
    for (int y = 0; y < kH; ++y) std::copy(b.floatRow(y), b.floatRow(y) + kW * 4, d.data() + size_t(y) * kW * 4);
    for (size_t i = 3; i < d.size(); i += 4) d[i] = 1;  // exactly opaque after resampling
    return Image::fromRGBAf(std::move(d), kW, kH);
}

Image renderedCopy(const Image& img) {
    std::vector<float> d(size_t(kW) * kH * 4);
    defaultContext().render(img, img.extent(), PixelFormat::RGBAf, d.data(), size_t(kW) * 16);
    return Image::fromRGBAf(std::move(d), kW, kH);
}

void BM_ComputeEdgeTangentFlow(benchmark::State& state) {
    QXVideoFilterAbstract f;
    f.ETFIterations = 6;
    f.ETFRadius = 2;
    const Image src = workingImage();
    // Range 0 set: the passes as a chain of single ETF08 passes, for comparison.
    Image field;
    if (state.range(0)) {
        f.ETFIterations = 0;
        field = f.computeEdgeTangentFlow(src);
        for (int i = 0; i < 6; ++i) field = QXCoreImageUtilities::applyMetalKernelNamed("ETF08", {field, 2.0});
    } else {
        field = f.computeEdgeTangentFlow(src);
    }
    std::vector<float> out(size_t(kW) * kH * 4);
    for (auto _ : state) {
        defaultContext().render(field, src.extent(), PixelFormat::RGBAf, out.data(), size_t(kW) * 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(std::string("960x540, 6 passes of radius 2") + (state.range(0) ? ", single passes" : ""));
}
BENCHMARK(BM_ComputeEdgeTangentFlow)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReduceNoise(benchmark::State& state) {
    QXVideoFilterAbstract f;
    f.ETFIterations = 6;
    f.ETFRadius = 2;
    const Image src = workingImage();
    // The field as the line stage holds it: computed once, outside the timing.
    const Image field = renderedCopy(f.computeEdgeTangentFlow(src));
    // The line stage smooths a grey structure image; a colour one costs more.
    const Image input = state.range(1) ? renderedCopy(QXVideoFilterUtilities::grayscale(src)) : src;
    // Range 2 set: the passes as a chain of single passes, for comparison with the fused ones.
    Image smooth = input;
    if (state.range(2))
        for (int64_t i = 0; i < state.range(0); ++i)
            smooth = QXCoreImageUtilities::applyMetalKernelNamed("flowBlur07", {smooth, field});
    else
        smooth = f.reduceNoise(input, field, uint64_t(state.range(0)));
    std::vector<float> out(size_t(kW) * kH * 4);
    for (auto _ : state) {
        defaultContext().render(smooth, src.extent(), PixelFormat::RGBAf, out.data(), size_t(kW) * 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("960x540, " + std::to_string(state.range(0)) + " passes, " + (state.range(1) ? "grey" : "colour") +
                   (state.range(2) ? ", single passes" : ""));
}
BENCHMARK(BM_ReduceNoise)
    ->Args({3, 1, 0})
    ->Args({3, 0, 0})
    ->Args({3, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
