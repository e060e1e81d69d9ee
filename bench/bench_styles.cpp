// The stylising filter's whole frame: a 1920 x 1080 camera frame, output resolution 1080,
// video processing on, in full and in low quality. The CPU column is the whole process's
// time per frame (both cores): it stays comparable while the machine is busy.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

#include "bench_support.h"
#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/profile.h"
#include "vellari/styles/style_presets.h"
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

// The default style on a camera frame (full quality, or low with `low`); with `profile`,
// the thread time per stage (summed over the cores) is printed to stderr, and the frame
// time itself reads a little high.
void runFrames(benchmark::State& state, bool low, bool profile) {
    const Image frame = cameraFrame();
    // The frame as the camera delivers it: already in memory.
    const Image input = Image::fromPicture(defaultContext().createPicture(frame, frame.extent()));
    QXVideoFilterVellari f;
    f.videoProcessing = true;
    f.useLowQuality = low;
    f.setOutputResolution(1080);
    std::vector<uint8_t> out(size_t(1920) * 1080 * 4);
    RenderProfile::take();
    RenderProfile::enable(profile);
    int64_t frames = 0;
    for (auto _ : state) {
        const Image styled = f.processCIImage(input);
        defaultContext().render(styled, {0, 0, 1920, 1080}, PixelFormat::BGRA8, out.data(), 1920 * 4);
        benchmark::DoNotOptimize(out.data());
        ++frames;
    }
    RenderProfile::enable(false);
    state.SetLabel(std::string("1920x1080 default style, ") + (low ? "low" : "full") + " quality" +
                   (profile ? ", profiled" : ""));
    if (!profile) return;
    const auto stages = RenderProfile::take();
    double total = 0;
    for (const auto& [name, seconds] : stages) total += seconds;
    const double n = double(std::max<int64_t>(frames, 1));
    std::fprintf(stderr, "\n%s quality: thread ms per frame by stage (total %.1f)\n", low ? "low" : "full", 1e3 * total / n);
    for (size_t i = 0; i < stages.size() && i < 15; ++i)
        std::fprintf(stderr, "  %7.2f  %s\n", 1e3 * stages[i].second / n, stages[i].first.c_str());
}

void BM_VellariFrame(benchmark::State& state) { runFrames(state, state.range(0) != 0, false); }
BENCHMARK(BM_VellariFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

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
BENCHMARK(BM_VellariFrameWithout)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_VellariFrameStages(benchmark::State& state) { runFrames(state, state.range(0) != 0, true); }
BENCHMARK(BM_VellariFrameStages)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

// Each style of the application's list, as the camera runs it.
void BM_StyleFrame(benchmark::State& state) {
    const Image frame = cameraFrame();
    const Image input = Image::fromPicture(defaultContext().createPicture(frame, frame.extent()));
    const StyleList styles = applicationStyles();
    if (state.range(0) >= int64_t(styles.size())) {
        state.SkipWithError("no such style");
        return;
    }
    QXVideoFilterAbstract& f = *styles[size_t(state.range(0))];
    f.videoProcessing = true;
    if (auto* v = dynamic_cast<QXVideoFilterVellari*>(&f)) v->setOutputResolution(1080);
    std::vector<uint8_t> out(size_t(1920) * 1080 * 4);
    for (auto _ : state) {
        const Image styled = f.processCIImage(input);
        defaultContext().render(styled, {0, 0, 1920, 1080}, PixelFormat::BGRA8, out.data(), 1920 * 4);
        benchmark::DoNotOptimize(out.data());
    }
    std::string name = f.filterDescription;
    for (char& c : name)
        if (c == '\n') c = ' ';
    state.SetLabel(name);
}
BENCHMARK(BM_StyleFrame)->DenseRange(0, 15)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace
