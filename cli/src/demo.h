#pragma once
// `vellari demo`: renders photos through a short chain of built-in filters.

#include <string>
#include <vector>

namespace vellari::cli {

struct DemoOptions {
    std::string outputDir = "out/demo";
    std::vector<std::string> photos;  // empty: the bundled sample photos
};

// Folder of the sample photos shipped with the sources; empty when none is found.
std::string samplePhotosDir();

// Process exit status: 0 when every photo was rendered, 1 otherwise.
int runDemo(const DemoOptions& options);

}  // namespace vellari::cli
