// Engine foundation: the prescaled large blur used by the blob and shading stages.

#include <benchmark/benchmark.h>

#include <random>

#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/context.h"

using namespace vellari;

namespace {

Image noiseImage(int w, int h) {
    std::vector<float> d(size_t(w) * h * 4);
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> u(0, 1);
    for (size_t i = 0; i < d.size(); i += 4) {
        d[i] = u(rng);
        d[i + 1] = u(rng);
        d[i + 2] = u(rng);
        d[i + 3] = 1;
    }
    return Image::fromRGBAf(std::move(d), w, h);
}

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
