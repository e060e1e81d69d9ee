// The stylising filter's whole frame: a 1920 x 1080 camera frame, output resolution 1080,
// video processing on, in full and in low quality.

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;

namespace {

Image cameraFrame() {
    // A real photograph scaled up to a camera frame gives the stages realistic edges.
    PictureResult r = readPicture(std::string(VELLARI_SAMPLE_DIR) + "/coffee.png");
    if (!r.ok()) return Image::fromRGBAf(bench::noiseRGBAf(1920, 1080, 5), 1920, 1080);
    Image img = Image::fromPicture(r.picture);
    return img.scaled(1920.0 / img.extent().width, 1080.0 / img.extent().height).cropped({0, 0, 1920, 1080});
}

void BM_VellariFrame(benchmark::State& state) {
    const Image frame = cameraFrame();
    // The frame as the camera delivers it: already in memory.
    const Picture pic = defaultContext().createPicture(frame, frame.extent());
    const Image input = Image::fromPicture(pic);
    QXVideoFilterVellari f;
    f.videoProcessing = true;
    f.useLowQuality = state.range(0) != 0;
    f.setOutputResolution(1080);
    std::vector<uint8_t> out(size_t(1920) * 1080 * 4);
    for (auto _ : state) {
        const Image styled = f.processCIImage(input);
        defaultContext().render(styled, {0, 0, 1920, 1080}, PixelFormat::BGRA8, out.data(), 1920 * 4);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(f.useLowQuality ? "1920x1080 default style, low quality" : "1920x1080 default style, full quality");
}
BENCHMARK(BM_VellariFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same frame with one layer switched to its cheapest recipe, to see what each costs.
void BM_VellariFrameWithout(benchmark::State& state) {
    const Image frame = cameraFrame();
    const Image input = Image::fromPicture(defaultContext().createPicture(frame, frame.extent()));
    QXVideoFilterVellari f;
    f.videoProcessing = true;
    f.setOutputResolution(1080);
    const char* label = "";
    switch (state.range(0)) {
        case 0: f.blobsType = 0; label = "without blobs"; break;
        case 1: f.shadingType = 2; label = "flat shading"; break;
        case 2: f.shadingSmoothIterations = 0; label = "shading without smoothing"; break;
        default: f.lineType = 1; f.blobsType = 0; f.shadingType = 2; label = "lines only"; break;
    }
    std::vector<uint8_t> out(size_t(1920) * 1080 * 4);
    for (auto _ : state) {
        const Image styled = f.processCIImage(input);
        defaultContext().render(styled, {0, 0, 1920, 1080}, PixelFormat::BGRA8, out.data(), 1920 * 4);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetLabel(label);
}
BENCHMARK(BM_VellariFrameWithout)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
