// The stylising filter's whole frame: a 1920 x 1080 camera frame, output resolution 1080,
// video processing on, in full and in low quality. The CPU column is the whole process's
// time per frame (both cores): it stays comparable while the machine is busy. Then the
// styles' own kernels one by one, on one render tile.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>

#include "bench_support.h"
#include "vellari/platform/context.h"
#include "vellari/platform/kernel.h"
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

// A styles kernel by name on one render tile (256 x 128 pixels of noise, called row span
// by row span as the renderer does), so that the kernel and not memory is timed. Items
// are pixels.
constexpr int kTileW = 256, kTileH = 128;

ArgValue number(float v) { return ArgValue{{v, 0, 0, 0}, 1}; }
ArgValue colour(float r, float g, float b, float a) { return ArgValue{{r, g, b, a}, 4}; }

void BM_StyleKernel(benchmark::State& state, const char* name, std::vector<ArgValue> args, int images) {
    registerStyleKernels();
    const KernelPtr k = KernelRegistry::find(name);
    if (!k || k->kind() != Kernel::Kind::Color) {
        state.SkipWithError("no such colour kernel");
        return;
    }
    const ColorKernelFunction fn = k->colorFunction();
    const std::vector<float> a = bench::noiseRGBAf(kTileW, kTileH, 1), b = bench::noiseRGBAf(kTileW, kTileH, 2);
    std::vector<float> out(a.size());
    for (auto _ : state) {
        for (int y = 0; y < kTileH; ++y) {
            const size_t o = size_t(y) * kTileW * 4;
            const float* src[2] = {a.data() + o, b.data() + o};
            fn(ColorSpan{src, args.data(), out.data() + o, kTileW, 0, y, images, int(args.size())});
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kTileW * kTileH);
}
const ArgValue kSpot0 = colour(0.9f, 0.3f, 0.2f, 1), kSpot1 = colour(0.2f, 0.6f, 0.9f, 0.8f),
               kSpot2 = colour(0.1f, 0.1f, 0.3f, 1);
// Shading: the per-frame colour stage, tone levels, masks and recolouring.
BENCHMARK_CAPTURE(BM_StyleKernel, nonlinearSaturationZeroFix, "nonlinearSaturationZeroFix",
                  {number(2), number(0), number(1000), number(100)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, nonlinearSaturation, "nonlinearSaturation", {number(2), number(0), number(1000)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, quantizeNonLinear, "quantizeNonLinear", {number(4), number(0.8f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, powRange, "powRange", {number(1.3f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, saturationMask, "saturationMask", {number(0.25f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, copyAlpha, "copyAlpha", {}, 2);
BENCHMARK_CAPTURE(BM_StyleKernel, multipliedColors, "replaceRGBWithMultipliedColors", {kSpot0, kSpot1, kSpot2}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, multipliedColorsWinnerTakeAll, "replaceRGBWithMultipliedColorsWinnerTakeAll",
                  {kSpot0, kSpot1, kSpot2}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, colorizeRanges, "colorizeUpperAndLowerRangesInValueImage",
                  {number(0.333f), kSpot0, number(0.75f), kSpot1, kSpot2}, 1);
// Blobs: winner-take-all maps, thresholds and ramps.
BENCHMARK_CAPTURE(BM_StyleKernel, winnerTakeAll, "maxComponentWinnerTakeAll", {}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, winnerTakeAllScaled, "maxComponentWinnerTakeAllScaled", {}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, winnerTakeAllMaxThreshold, "maxComponentWinnerTakeAllMaxThreshold", {number(0.6f)},
                  1);
BENCHMARK_CAPTURE(BM_StyleKernel, winnerTakeAllSaturation, "maxComponentWinnerTakeAllWithSaturationThreshold",
                  {number(0.25f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, thresholdInvert, "thresholdMultichannelImageInvert", {number(0.4f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, thresholdInvertBGR, "thresholdMultichannelImageInvertBGR", {number(0.4f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, thresholdColorize, "thresholdAndColorizeValueImage", {number(0.4f), kSpot0, kSpot1},
                  1);
BENCHMARK_CAPTURE(BM_StyleKernel, quantize, "quantize", {number(4)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, colorizeLowerRamp, "colorizeLowerRangeWithGammaQuantizeInValueImage",
                  {kSpot0, kSpot1, number(1.7f), number(4), number(0.8f), kSpot2}, 1);
// Texture and watermark.
BENCHMARK_CAPTURE(BM_StyleKernel, halftoneCMYCheap, "halftoneCMY_cheap", {}, 2);
BENCHMARK_CAPTURE(BM_StyleKernel, setAlpha, "setAlpha", {number(0.1f)}, 1);
BENCHMARK_CAPTURE(BM_StyleKernel, thresholdWatermark, "thresholdWatermark", {number(0.3f)}, 1);

// The mono screen, a general kernel, on one tile with its screen one pixel larger around.
void BM_HalftoneMonoTile(benchmark::State& state) {
    registerStyleKernels();
    const KernelPtr k = KernelRegistry::find("halftone_mono");
    if (!k || k->kind() != Kernel::Kind::General) {
        state.SkipWithError("no such general kernel");
        return;
    }
    const IRect tile{0, 0, kTileW, kTileH}, held = tile.inset(-1, -1);
    const std::vector<float> img = bench::noiseRGBAf(tile.w, tile.h, 3), scr = bench::noiseRGBAf(held.w, held.h, 4);
    const SamplerView views[2] = {{tile, img.data(), tile.w * 4, false}, {held, scr.data(), held.w * 4, false}};
    std::vector<float> out(img.size());
    for (auto _ : state) {
        k->generalFunction()(GeneralTile{views, nullptr, out.data(), tile.w * 4, tile, 2, 0});
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * tile.w * tile.h);
}
BENCHMARK(BM_HalftoneMonoTile);

}  // namespace
