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

}  // namespace
