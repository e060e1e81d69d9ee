#pragma once
// `vellari sheets`: every style on each photo, as still exports, with one labelled
// contact sheet per photo and one picture per style.

#include <string>
#include <vector>

namespace vellari::cli {

struct SheetsOptions {
    std::vector<std::string> photos;  // empty: the bundled sample photos
    std::string outputDir = "out/styles";
    std::string resolution;  // empty: the "imageCaptureResolution" setting
    int cell = 320;          // long side of each picture on the sheet
    bool overwrite = false;
    int jobs = 0;
};

// Writes "<dir>/<photo>-sheet.png" and "<dir>/<photo>/<NN>-<style>.png" for each photo.
int runSheets(const SheetsOptions& options);

}  // namespace vellari::cli
