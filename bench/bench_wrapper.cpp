// The filter wrapper's whole frame: adjustments, style, anti-aliasing and flattening.
// - A live camera frame: 1920 x 1080 in, output resolution 1080, the first cel style.
// - A Giant still: a 4032 x 3024 picture through the still setup (3240 short side), with
//   the process's peak resident memory as a counter.
// Settings come from an empty store, so throttling stays off and defaults apply.

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "vellari/capture/filter_wrapper.h"
#include "vellari/platform/context.h"
#include "vellari/platform/profile.h"
#include "vellari/platform/notification_center.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/user_defaults.h"

using namespace vellari;

namespace {

// A sample photo stretched to the size, then rendered to 8 bits, as a camera or a decoded
// file would deliver it: the pipeline starts from pixels in memory, not from a recipe.
Image samplePicture(const char* file, int width, int height) {
    PictureResult r = readPicture(std::string(VELLARI_SAMPLE_DIR) + "/" + file);
    Image img = r.ok() ? Image::fromPicture(r.picture)
                       : Image::fromRGBAf(bench::noiseRGBAf(width, height, 5), width, height);
    img = img.scaled(double(width) / img.extent().width, double(height) / img.extent().height)
              .cropped({0, 0, double(width), double(height)});
    return Image::fromPicture(defaultContext().createPicture(img, img.extent()));
}

// A store that is never written, so nothing of the user's settings is read or touched.
UserDefaults& emptyStore() {
    static UserDefaults store((std::filesystem::temp_directory_path() /
                               ("vellari-bench-wrapper-" + std::to_string(getpid())) / "settings.plist")
                                  .string());
    return store;
}

// Style names carry line breaks for the thumbnails; labels are one line.
std::string oneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

double peakRSSMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
}

// Camera frames through a wrapper set up as the preview runs it; with `profile`, the
// thread time per stage is printed to stderr.
void runCameraFrames(benchmark::State& state, bool profile) {
    const Image input = samplePicture("coffee.png", 1920, 1080);
    NotificationCenter center;
    VellariFilterWrapper wrapper(emptyStore(), center);
    wrapper.setupForCamera();
    wrapper.currentOutputResolution = wrapper.preferredOutputResolution = 1080;
    wrapper.selectFilterAt(0);
    const Rect extent = wrapper.processCIImage(input).extent();
    std::vector<uint8_t> out(size_t(extent.width) * size_t(extent.height) * 4);
    RenderProfile::take();
    RenderProfile::enable(profile);
    int64_t frames = 0;
    for (auto _ : state) {
        wrapper.cameraTime += 1.0 / 30;
        const Image frame = wrapper.processCIImage(input);
        // As the preview view would show it.
        defaultContext().render(frame, extent, PixelFormat::BGRA8, out.data(), size_t(extent.width) * 4);
        benchmark::DoNotOptimize(out.data());
        ++frames;
    }
    RenderProfile::enable(false);
    state.SetLabel("1920x1080 camera frame, " + oneLine(wrapper.currentFilter->filterDescription) + " at 1080" +
                   (profile ? ", profiled" : ""));
    if (!profile) return;
    const auto stages = RenderProfile::take();
    std::fprintf(stderr, "\nwrapper camera frame: thread ms per frame by stage\n");
    for (size_t i = 0; i < stages.size() && i < 40; ++i)
        std::fprintf(stderr, "  %7.2f  %s\n", 1e3 * stages[i].second / double(std::max<int64_t>(frames, 1)),
                     stages[i].first.c_str());
}

void BM_WrapperCameraFrame(benchmark::State& state) { runCameraFrames(state, false); }
BENCHMARK(BM_WrapperCameraFrame)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_WrapperCameraFrameStages(benchmark::State& state) { runCameraFrames(state, true); }
BENCHMARK(BM_WrapperCameraFrameStages)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

void BM_WrapperGiantStill(benchmark::State& state) {
    const Image input = samplePicture("astronaut.png", 4032, 3024);
    NotificationCenter center;
    VellariFilterWrapper wrapper(emptyStore(), center);
    wrapper.imageResolution = ImageResolution::giant;
    wrapper.setupForImage();
    wrapper.selectFilterAt(0);
    Rect extent;
    for (auto _ : state) {
        const Image still = wrapper.processCIImage(input);
        extent = still.extent();
        benchmark::DoNotOptimize(still);
    }
    state.counters["peak_rss_MiB"] = peakRSSMiB();
    state.SetLabel("4032x3024 still, " + oneLine(wrapper.currentFilter->filterDescription) + " -> " +
                   std::to_string(int(extent.width)) + "x" + std::to_string(int(extent.height)));
}
BENCHMARK(BM_WrapperGiantStill)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime()->Iterations(2);

}  // namespace
