#include "sheets_command.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include "batch.h"
#include "contact_sheet.h"
#include "demo.h"
#include "output_plan.h"
#include "photo_metadata.h"
#include "still_styler.h"
#include "style_command.h"
#include "style_names.h"

namespace vellari::cli {

namespace fs = std::filesystem;

namespace {

std::vector<std::string> samplePhotos() {
    std::vector<std::string> out;
    const std::string dir = samplePhotosDir();
    if (dir.empty()) return out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && pictureFormatForPath(it->path().string()) == PictureFormat::PNG)
            out.push_back(it->path().string());
    std::sort(out.begin(), out.end());
    return out;
}

struct PhotoJob {
    std::string input;
    Picture photo;
    std::string sheetPath;
    std::vector<std::string> stylePaths;  // one per style
    std::vector<SheetCell> cells;         // one per style, filled by the workers
    SheetGeometry geometry;
};

// Rows of the sheet: the photo and the cel styles, the comic styles, then the ink styles
// and those outside the application's list.
std::vector<std::vector<SheetCell>> sheetRows(const PhotoJob& job, const std::vector<std::string>& classes,
                                              size_t applicationCount) {
    std::vector<std::vector<SheetCell>> rows(3);
    rows[0].push_back({"Original", resizedPicture(job.photo, job.geometry.cellWidth, job.geometry.cellHeight)});
    for (size_t s = 0; s < job.cells.size(); ++s) {
        size_t row = 2;
        if (s < applicationCount && classes[s] == "QXVideoFilterVellariCel") row = 0;
        else if (s < applicationCount && classes[s] == "QXVideoFilterVellariBW") row = 1;
        rows[row].push_back(job.cells[s]);
    }
    std::erase_if(rows, [](const auto& r) { return r.empty(); });
    return rows;
}

std::string writeWithMetadata(const Picture& picture, const std::string& path, const QXPhotoMetadata* metadata,
                              bool overwrite) {
    std::string error;
    std::vector<uint8_t> bytes = encodePicture(picture, PictureFormat::PNG, 0.9, &error);
    if (bytes.empty()) return path + ": " + error;
    if (metadata) bytes = withPhotoMetadata(std::move(bytes), PictureFormat::PNG, *metadata);
    error = writeFileAtomically(path, bytes, overwrite);
    if (error == path + ": already exists") error += "; --overwrite replaces it";
    return error;
}

}  // namespace

int runSheets(const SheetsOptions& options) {
    StillSettings settings;
    if (!parseResolutionOption(options.resolution, settings.resolution)) return kExitUsage;

    std::vector<std::string> photos = options.photos;
    if (photos.empty()) {
        photos = samplePhotos();
        if (photos.empty()) {
            spdlog::error("no sample photos found; name the photos to render");
            return kExitFailed;
        }
    }

    const StillStyler styler(settings);
    const std::vector<std::string> names = styler.styleNames();
    const std::vector<std::string> classes = styler.styleClassNames();

    const fs::path outDir(options.outputDir);
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec || !fs::is_directory(outDir, ec)) {
        spdlog::error("{}: cannot create the output folder{}{}", outDir.string(), ec ? ": " : "",
                      ec ? ec.message() : "");
        return kExitFailed;
    }

    std::set<std::string> inputIds;
    for (const auto& p : photos) inputIds.insert(pathIdentity(p));

    size_t failures = 0;
    std::vector<std::unique_ptr<PhotoJob>> jobs;
    std::set<std::string> stems;
    for (const std::string& input : photos) {
        PictureResult in = readPicture(input);
        if (!in.ok()) {
            spdlog::error("{}", in.error);
            ++failures;
            continue;
        }
        auto job = std::make_unique<PhotoJob>();
        job->input = input;
        job->photo = std::move(in.picture);
        std::string stem = fs::path(input).stem().string();
        for (int n = 2; !stems.insert(stem).second; ++n) stem = fmt::format("{}-{}", fs::path(input).stem().string(), n);
        job->sheetPath = (outDir / (stem + "-sheet.png")).string();
        for (size_t s = 0; s < names.size(); ++s)
            job->stylePaths.push_back((outDir / stem / fmt::format("{:02}-{}.png", s, fileNameSlug(names[s]))).string());
        job->cells.resize(names.size());
        job->geometry = sheetGeometry(job->photo.width(), job->photo.height(), options.cell);

        // Refused as a whole, so a sheet never mixes renderings of two runs.
        std::string refusal;
        std::vector<std::string> all = job->stylePaths;
        all.push_back(job->sheetPath);
        for (const auto& path : all) {
            if (inputIds.contains(pathIdentity(path)))
                refusal = fmt::format("{}: its output {} is one of the inputs, which are never written over", input,
                                      path);
            else
                refusal = checkWritable(path, options.overwrite);
            if (!refusal.empty()) break;
        }
        if (!refusal.empty()) {
            spdlog::error("{}", refusal);
            ++failures;
            continue;
        }
        fs::create_directories(fs::path(job->stylePaths.front()).parent_path(), ec);
        if (ec) {
            spdlog::error("{}: cannot create the folder: {}", fs::path(job->stylePaths.front()).parent_path().string(),
                          ec.message());
            ++failures;
            continue;
        }
        jobs.push_back(std::move(job));
    }

    const size_t perPhoto = names.size();
    const size_t total = jobs.size() * perPhoto;
    const int workers = workerCount(total, options.jobs > 0 ? options.jobs : 2);
    std::vector<std::shared_ptr<VellariFilterWrapper>> wrappers;
    if (total > 0)
        for (int w = 0; w < workers; ++w) wrappers.push_back(styler.makeWorker(0));

    spdlog::info("{} styles on {} photo(s) at {}", perPhoto, jobs.size(), describeResolution(styler.resolution()));
    std::atomic<size_t> renderFailures{0};
    {
        Progress progress(total, "rendering the styles");
        forEachInParallel(
            total, workers,
            [&](int worker, size_t i) {
                struct Done {
                    Progress& p;
                    ~Done() { p.finished(); }
                } done{progress};
                PhotoJob& job = *jobs[i / perPhoto];
                const size_t s = i % perPhoto;
                VellariFilterWrapper& wrapper = *wrappers[size_t(worker)];
                wrapper.selectFilterAt(int64_t(s));
                const std::string label = fmt::format("{}  {}", s, singleLineName(names[s]));
                const Picture styled = styleStill(wrapper, job.photo);
                job.cells[s].label = label;
                if (styled.isNull()) {
                    progress.error(fmt::format("{}: {} gave no picture", job.input, singleLineName(names[s])));
                    ++renderFailures;
                    return;
                }
                const QXPhotoMetadata metadata = wrapper.photoMetadata();
                if (std::string e = writeWithMetadata(styled, job.stylePaths[s], &metadata, options.overwrite);
                    !e.empty()) {
                    progress.error(e);
                    ++renderFailures;
                }
                job.cells[s].picture = resizedPicture(styled, job.geometry.cellWidth, job.geometry.cellHeight);
            },
            [&](size_t i, const std::string& what) {
                progress.error(fmt::format("{}: {}: {}", jobs[i / perPhoto]->input,
                                           singleLineName(names[i % perPhoto]), what));
                ++renderFailures;
            });
    }
    failures += renderFailures;

    for (const auto& job : jobs) {
        const std::string title = fmt::format("{}  -  {} styles at {}", fs::path(job->input).filename().string(),
                                              perPhoto, describeResolution(styler.resolution()));
        const Picture sheet = composeContactSheet(title, sheetRows(*job, classes, styler.applicationStyleCount()),
                                                  job->geometry);
        if (std::string e = writeWithMetadata(sheet, job->sheetPath, nullptr, options.overwrite); !e.empty()) {
            spdlog::error("{}", e);
            ++failures;
            continue;
        }
        spdlog::info("wrote {} and {} pictures in {}", job->sheetPath, perPhoto,
                     fs::path(job->stylePaths.front()).parent_path().string());
    }
    return failures == 0 ? kExitOK : kExitFailed;
}

}  // namespace vellari::cli
