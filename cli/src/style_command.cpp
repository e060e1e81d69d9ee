#include "style_command.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "adjust_args.h"
#include "batch.h"
#include "output_plan.h"
#include "photo_metadata.h"
#include "still_styler.h"
#include "style_names.h"

namespace vellari::cli {

namespace fs = std::filesystem;

namespace {

// The picture layer's refusal, said the way this tool says it.
std::string explainWriteError(const std::string& error, const std::string& path) {
    if (error == path + ": already exists") return path + ": already exists; --overwrite replaces it";
    return error;
}

}  // namespace

std::optional<VellariImageResolution> imageResolutionNamed(const std::string& text) {
    const std::string t = asciiLower(text);
    for (const VellariImageResolution r : VellariImageResolution::allCases()) {
        if (t == asciiLower(std::string(r.titleKey())) || t == asciiLower(r.title()) || t == asciiLower(r.pixelTitle()) ||
            t == std::to_string(r.rawValue()))
            return r;
    }
    return std::nullopt;
}

bool parseResolutionOption(const std::string& text, std::optional<VellariImageResolution>& out) {
    out.reset();
    if (text.empty()) return true;
    out = imageResolutionNamed(text);
    if (!out) {
        spdlog::error("--resolution {}: expected small (1080), medium (1620), large (2160) or giant (3240)", text);
        return false;
    }
    return true;
}

std::string describeResolution(VellariImageResolution r) {
    return fmt::format("{}, {}", asciiLower(std::string(r.titleKey())), r.pixelTitle());
}

int runStyles(const StylesOptions& options) {
    const StillStyler styler(StillSettings{});
    const std::vector<std::string> names = styler.styleNames();
    const size_t n = options.all ? names.size() : styler.applicationStyleCount();
    for (size_t i = 0; i < n; ++i) std::printf("%2zu  %s\n", i, singleLineName(names[i]).c_str());
    return kExitOK;
}

int runStyle(const StyleOptions& options) {
    StillSettings settings;
    if (!parseResolutionOption(options.resolution, settings.resolution)) return kExitUsage;

    std::optional<PictureFormat> format;
    if (!options.format.empty()) {
        format = pictureFormatNamed(options.format);
        if (!format) {
            spdlog::error("--format {}: expected jpeg, png or webp", options.format);
            return kExitUsage;
        }
    }
    for (const std::string& a : options.adjust) {
        auto parsed = parseAdjustSetting(a);
        if (auto* message = std::get_if<std::string>(&parsed)) {
            spdlog::error("{}", *message);
            return kExitUsage;
        }
        settings.adjustments.push_back(std::get<AdjustSetting>(parsed));
    }

    const StillStyler styler(settings);
    const std::vector<std::string> names = styler.styleNames();
    size_t styleIndex = 0;
    if (!options.style.empty()) {
        const auto found = findStyle(names, options.style);
        if (!found) {
            spdlog::error("--style {}: no such style; \"vellari styles --all\" lists their names and indexes",
                          options.style);
            return kExitUsage;
        }
        styleIndex = *found;
    }

    OutputRequest request;
    request.inputs = options.inputs;
    request.output = options.output;
    request.format = format;
    request.styleSlug = fileNameSlug(names[styleIndex]);
    request.overwrite = options.overwrite;
    auto planned = planOutputs(request);
    if (auto* message = std::get_if<std::string>(&planned)) {
        spdlog::error("{}", *message);
        return kExitUsage;
    }
    OutputPlan plan = std::get<OutputPlan>(std::move(planned));

    const int workers = workerCount(plan.items.size(), options.jobs > 0 ? options.jobs : 2);
    // Built here, one per thread, so the threads never touch a shared wrapper.
    std::vector<std::shared_ptr<VellariFilterWrapper>> wrappers;
    for (int w = 0; w < workers; ++w) wrappers.push_back(styler.makeWorker(styleIndex));

    spdlog::debug("{} at {} on {} thread(s)", singleLineName(names[styleIndex]), describeResolution(styler.resolution()),
                  workers);

    Progress progress(plan.items.size(), "styling with " + singleLineName(names[styleIndex]));
    std::atomic<size_t> failures{0}, written{0};
    auto fail = [&](const std::string& message) {
        progress.error(message);
        ++failures;
    };

    forEachInParallel(
        plan.items.size(), workers,
        [&](int worker, size_t i) {
            const PlannedOutput& item = plan.items[i];
            struct Done {
                Progress& p;
                ~Done() { p.finished(); }
            } done{progress};
            if (!item.refusal.empty()) return fail(item.refusal);

            const auto start = std::chrono::steady_clock::now();
            PictureResult in = readPicture(item.input);
            if (!in.ok()) return fail(in.error);

            VellariFilterWrapper& wrapper = *wrappers[size_t(worker)];
            const Picture styled = styleStill(wrapper, in.picture);
            if (styled.isNull()) return fail(item.input + ": the style gave no picture");

            std::string error;
            // Still exports are JPEG at quality 0.9; the same quality serves WebP.
            std::vector<uint8_t> bytes = encodePicture(styled, plan.format, 0.9, &error);
            if (bytes.empty()) return fail(item.path + ": " + error);
            bytes = withPhotoMetadata(std::move(bytes), plan.format, wrapper.photoMetadata());

            std::error_code ec;
            const fs::path folder = fs::path(item.path).parent_path();
            if (!folder.empty()) fs::create_directories(folder, ec);
            if (ec) return fail(folder.string() + ": cannot create the folder: " + ec.message());
            error = writeFileAtomically(item.path, bytes, options.overwrite);
            if (!error.empty()) return fail(explainWriteError(error, item.path));

            ++written;
            const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
            progress.info(fmt::format("wrote {} ({} x {}, {:.0f} ms)", item.path, styled.width(), styled.height(), ms));
        },
        [&](size_t i, const std::string& what) { fail(plan.items[i].input + ": " + what); });

    if (plan.items.size() > 1)
        progress.info(fmt::format("{} of {} pictures written", written.load(), plan.items.size()));
    return failures == 0 ? kExitOK : kExitFailed;
}

}  // namespace vellari::cli
