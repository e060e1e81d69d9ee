// Engine foundation: the prescaled large blur used by the blob and shading stages.

#include <benchmark/benchmark.h>

#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/context.h"
#include "bench_support.h"

using namespace vellari;

namespace {

Image noiseImage(int w, int h) { return Image::fromRGBAf(bench::noiseRGBAf(w, h, 11), w, h); }

void BM_BlurImagePrescaled(benchmark::State& state) {
    const int w = 960, h = 540;
    Image src = noiseImage(w, h);
    Image img = QXCoreImageUtilities::blurImage(src, double(state.range(0)), 0.5);
    std::vector<float> out(size_t(w) * h * 4);
    for (auto _ : state) {
        defaultContext().render(img, src.extent(), PixelFormat::RGBAf, out.data(), size_t(w) * 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("960x540 radius " + std::to_string(state.range(0)) + " prescale 0.5");
}
BENCHMARK(BM_BlurImagePrescaled)->Arg(150)->Arg(300)->Unit(benchmark::kMillisecond)->UseRealTime();

// A 512-pixel screen tiled over a 1080p frame at half size, turned 5 degrees.
void BM_MakeTileNoPadding(benchmark::State& state) {
    Image tile = noiseImage(512, 512);
    const AffineTransform t = AffineTransform::scale(0.5, 0.5).rotated(0.087266462599715);
    Image img = QXCoreImageUtilities::makeTileNoPadding(tile, {0, 0, 1920, 1080}, t, false);
    std::vector<float> out(size_t(1920) * 1080 * 4);
    for (auto _ : state) {
        defaultContext().render(img, {0, 0, 1920, 1080}, PixelFormat::RGBAf, out.data(), size_t(1920) * 16);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel("1920x1080 from a 512 tile, scale 0.5, 5 degrees");
}
BENCHMARK(BM_MakeTileNoPadding)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
