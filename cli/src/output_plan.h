#pragma once
// Where the pictures of a run go: one file named on the command line, or one file per
// input in a folder (by default the input's own), named "<photo>-<style>.<ext>".
// Nothing that exists is replaced unless asked, and an input is never written over.

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vellari/platform/picture.h"

namespace vellari::cli {

// "jpeg"/"jpg", "png", "webp", in any case.
std::optional<PictureFormat> pictureFormatNamed(const std::string& name);
// "jpg", "png", "webp".
std::string fileExtension(PictureFormat format);

struct OutputRequest {
    std::vector<std::string> inputs;
    std::string output;                   // a file or a folder; empty: next to each input
    std::optional<PictureFormat> format;  // as asked for; else from the file name, else JPEG
    std::string styleSlug;                // the style part of generated names
    bool overwrite = false;
};

struct PlannedOutput {
    std::string input;
    std::string path;
    // Why this input is not rendered at all (its output exists, or is an input), else empty.
    std::string refusal;
};

struct OutputPlan {
    PictureFormat format = PictureFormat::JPEG;
    std::vector<PlannedOutput> items;  // one per input, in input order
};

// The plan, or a usage error (an unwritable extension, several inputs into one file, a
// format that contradicts the file name).
std::variant<OutputPlan, std::string> planOutputs(const OutputRequest& request);

// One spelling per file (absolute, links resolved as far as the path exists), for telling
// whether two paths name the same file even before it exists.
std::string pathIdentity(const std::string& path);

// Whether `path` can be written by a run: an empty string, else why not. With
// `overwrite`, an existing file may be replaced but a folder never.
std::string checkWritable(const std::string& path, bool overwrite);

}  // namespace vellari::cli
