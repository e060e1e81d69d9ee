#include "demo.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include <spdlog/spdlog.h>

#include "vellari/platform/bundle.h"
#include "vellari/platform/context.h"
#include "vellari/platform/filter.h"
#include "vellari/platform/image.h"
#include "vellari/platform/picture.h"

namespace vellari::cli {

namespace fs = std::filesystem;

namespace {

using Params = std::map<std::string, FilterValue>;

// Applies filters one after the other and remembers the first stage that gave no image,
// so that a failure names the filter at fault rather than the whole chain.
struct Chain {
    std::string missing;

    Image apply(const Image& input, const std::string& name, const Params& params = {}) {
        if (input.isNull()) return {};
        for (const auto& [key, value] : params)
            if (std::holds_alternative<Image>(value.v) && value.image().isNull()) return {};
        Image out = input.applyingFilter(name, params);
        if (out.isNull() && missing.empty()) missing = name;
        return out;
    }
};

// Livelier, slightly softened colour under dark ink lines taken from a difference of
// Gaussians of the grey picture.
Image illustrate(const Image& photo, Chain& c) {
    const Rect extent = photo.extent();
    // Clamped so that the blurs do not darken the borders.
    const Image base = photo.clampedToExtent();

    Image colour = c.apply(base, "CIGaussianBlur", {{"inputRadius", 1.0}});
    colour = c.apply(colour, "CIColorControls", {{"inputSaturation", 1.4}, {"inputContrast", 1.15}});
    colour = c.apply(colour, "CIUnsharpMask", {{"inputRadius", 2.5}, {"inputIntensity", 0.6}});

    const Image grey = c.apply(base, "CIColorControls", {{"inputSaturation", 0.0}});
    const Image fine = c.apply(grey, "CIGaussianBlur", {{"inputRadius", 1.0}});
    const Image coarse = c.apply(grey, "CIGaussianBlur", {{"inputRadius", 3.0}});
    // How much darker each pixel is than its surroundings: max(0, coarse - fine). The
    // light side of an edge is left out, so each edge gets one line rather than two.
    const Image darker = c.apply(fine, "CIDarkenBlendMode", {{"inputBackgroundImage", coarse}});
    const Image edges = c.apply(darker, "CIDifferenceBlendMode", {{"inputBackgroundImage", coarse}});
    // White where that is small, dark where it is large (values above 1 clamp to white
    // in the blend).
    const Vector k{-10, 0, 0, 0};
    const Image ink = c.apply(edges, "CIColorMatrix",
                              {{"inputRVector", k},
                               {"inputGVector", k},
                               {"inputBVector", k},
                               {"inputAVector", Vector{0, 0, 0, 1}},
                               {"inputBiasVector", Vector{1.15, 1.15, 1.15, 0}}});

    const Image result = c.apply(ink, "CIMultiplyBlendMode", {{"inputBackgroundImage", colour}});
    return result.cropped(extent);
}

bool isPictureFile(const fs::path& p) {
    std::string ext = p.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    return ext == ".png" || ext == ".jpg" || ext == ".jpeg" || ext == ".tif" || ext == ".tiff" || ext == ".webp";
}

std::vector<std::string> listPhotos(const std::string& dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec) && isPictureFile(it->path())) out.push_back(it->path().string());
    std::sort(out.begin(), out.end());
    return out;
}

// `<stem>-demo.png`, made unique among the outputs of this run.
fs::path outputPathFor(const fs::path& dir, const std::string& photo, std::set<std::string>& used) {
    const std::string stem = fs::path(photo).stem().string();
    std::string name = stem + "-demo.png";
    for (int i = 2; !used.insert(name).second; ++i) name = stem + "-" + std::to_string(i) + "-demo.png";
    return dir / name;
}

// Empty on success, else the message.
std::string renderOne(const std::string& photo, const fs::path& output) {
    PictureResult in = readPicture(photo);
    if (!in.ok()) return in.error;

    std::error_code ec;
    if (fs::equivalent(photo, output, ec)) return photo + ": refusing to overwrite an input with its own rendering";

    const auto start = std::chrono::steady_clock::now();
    const Image image = Image::fromPicture(in.picture);
    if (image.isNull()) return photo + ": cannot make an image of the picture";
    Chain chain;
    const Image styled = illustrate(image, chain);
    if (styled.isNull())
        return photo + ": cannot render: built-in filter \"" + (chain.missing.empty() ? "?" : chain.missing) +
               "\" gave no image";

    const Picture picture = defaultContext().createPicture(styled, styled.extent());
    if (picture.isNull()) return photo + ": rendering produced no picture";
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();

    if (std::string e = writePicture(picture, output.string(), PictureFormat::PNG); !e.empty()) return e;
    spdlog::info("wrote {} ({} x {}, rendered in {:.0f} ms)", output.string(), picture.width(), picture.height(), ms);
    return {};
}

}  // namespace

std::string samplePhotosDir() {
    std::error_code ec;
#ifdef VELLARI_SAMPLE_PHOTOS
    if (fs::is_directory(VELLARI_SAMPLE_PHOTOS, ec)) return VELLARI_SAMPLE_PHOTOS;
#endif
    // Next to the bundle: installed beside it, or the source tree the build links it from.
    if (const Bundle& b = Bundle::main(); b.valid()) {
        for (const char* rel : {"../photos", "../tests/data/photos"}) {
            fs::path p = fs::path(b.root()) / rel;
            if (fs::is_directory(p, ec)) return fs::weakly_canonical(p, ec).string();
        }
    }
    return {};
}

int runDemo(const DemoOptions& options) {
    std::vector<std::string> photos = options.photos;
    if (photos.empty()) {
        const std::string dir = samplePhotosDir();
        if (!dir.empty()) photos = listPhotos(dir);
        if (photos.empty()) {
            spdlog::error("no sample photos found; name the photos to render");
            return 1;
        }
    }

    const fs::path outDir(options.outputDir);
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec || !fs::is_directory(outDir, ec)) {
        spdlog::error("{}: cannot create the output folder{}{}", outDir.string(), ec ? ": " : "",
                      ec ? ec.message() : "");
        return 1;
    }

    std::set<std::string> used;
    int failures = 0, written = 0;
    for (const auto& photo : photos) {
        const fs::path output = outputPathFor(outDir, photo, used);
        std::string error;
        try {
            error = renderOne(photo, output);
        } catch (const std::exception& e) {
            error = photo + ": " + e.what();
        }
        if (error.empty()) {
            ++written;
        } else {
            spdlog::error("{}", error);
            ++failures;
        }
    }
    if (written > 0) spdlog::info("{} of {} pictures in {}", written, photos.size(), outDir.string());
    return failures == 0 ? 0 : 1;
}

}  // namespace vellari::cli
