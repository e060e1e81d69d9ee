#include "output_plan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <system_error>

#include <fmt/format.h>

#include "style_names.h"

namespace vellari::cli {

namespace fs = std::filesystem;

namespace {

bool endsWithSeparator(const std::string& s) { return !s.empty() && s.back() == '/'; }

std::string identity(const std::string& path) { return pathIdentity(path); }

}  // namespace

std::string pathIdentity(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) p = fs::absolute(path, ec).lexically_normal();
    return p.string();
}

std::optional<PictureFormat> pictureFormatNamed(const std::string& name) {
    const std::string n = asciiLower(name);
    if (n == "jpeg" || n == "jpg") return PictureFormat::JPEG;
    if (n == "png") return PictureFormat::PNG;
    if (n == "webp") return PictureFormat::WebP;
    return std::nullopt;
}

std::string fileExtension(PictureFormat format) {
    switch (format) {
        case PictureFormat::PNG: return "png";
        case PictureFormat::WebP: return "webp";
        case PictureFormat::JPEG: break;
    }
    return "jpg";
}

std::string checkWritable(const std::string& path, bool overwrite) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    if (!fs::exists(st)) return {};
    if (fs::is_directory(st)) return path + ": is a folder, not replaced";
    if (!overwrite) return path + ": already exists; --overwrite replaces it";
    return {};
}

std::variant<OutputPlan, std::string> planOutputs(const OutputRequest& request) {
    OutputPlan plan;
    std::error_code ec;

    // A named file, or a folder: an existing one, a name ending in "/", or a name with no
    // extension.
    bool toFile = false;
    if (!request.output.empty() && !endsWithSeparator(request.output) && !fs::is_directory(request.output, ec)) {
        const std::string ext = fs::path(request.output).extension().string();
        if (!ext.empty()) {
            const std::optional<PictureFormat> named = pictureFormatForPath(request.output);
            if (!named)
                return fmt::format(
                    "--output {}: \"{}\" is not a format that can be written (.jpg, .png or .webp); end a folder "
                    "name with \"/\"",
                    request.output, ext);
            if (request.format && *request.format != *named)
                return fmt::format("--output {} is a {} file name but --format asks for {}", request.output,
                                   fileExtension(*named), fileExtension(*request.format));
            if (request.inputs.size() > 1)
                return fmt::format("--output {} names one file but there are {} inputs; name a folder instead",
                                   request.output, request.inputs.size());
            toFile = true;
            plan.format = *named;
        }
    }
    if (!toFile) plan.format = request.format.value_or(PictureFormat::JPEG);

    std::set<std::string> inputs;
    for (const auto& in : request.inputs) inputs.insert(identity(in));

    std::set<std::string> taken;  // outputs of this run, so two inputs never share one
    const std::string ext = fileExtension(plan.format);
    for (const auto& in : request.inputs) {
        PlannedOutput item;
        item.input = in;
        if (toFile) {
            item.path = request.output;
        } else {
            const fs::path folder = request.output.empty() ? fs::path(in).parent_path() : fs::path(request.output);
            const std::string stem = fs::path(in).stem().string() + "-" + request.styleSlug;
            for (int n = 1;; ++n) {
                const std::string name = n == 1 ? stem + "." + ext : fmt::format("{}-{}.{}", stem, n, ext);
                item.path = (folder / name).string();
                if (!taken.contains(identity(item.path))) break;
            }
        }
        const std::string id = identity(item.path);
        taken.insert(id);
        if (inputs.contains(id))
            item.refusal = fmt::format("{}: its output {} is one of the inputs, which are never written over", in,
                                       item.path);
        else
            item.refusal = checkWritable(item.path, request.overwrite);
        plan.items.push_back(std::move(item));
    }
    return plan;
}

}  // namespace vellari::cli
