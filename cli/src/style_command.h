#pragma once
// `vellari style` styles photos as a still export does; `vellari styles` lists the styles.

#include <optional>
#include <string>
#include <vector>

#include "vellari/capture/resolutions.h"

namespace vellari::cli {

// Exit statuses of the commands.
inline constexpr int kExitOK = 0;
inline constexpr int kExitFailed = 1;  // some input could not be styled or written
inline constexpr int kExitUsage = 2;

struct StyleOptions {
    std::vector<std::string> inputs;
    std::string style;       // display name or index; empty: the first style
    std::string resolution;  // empty: the "imageCaptureResolution" setting
    std::vector<std::string> adjust;
    std::string output;  // file or folder; empty: next to each input
    std::string format;  // empty: from the output file's name, else JPEG
    bool overwrite = false;
    int jobs = 0;
};

struct StylesOptions {
    bool all = false;  // also the styles outside the application's list
};

int runStyle(const StyleOptions& options);
int runStyles(const StylesOptions& options);

// "small", "medium", "large", "giant" (any case), the localised titles, "1080" or
// "1080p" and the other three sizes; nothing otherwise.
std::optional<VellariImageResolution> imageResolutionNamed(const std::string& text);

// The parts shared with the contact sheets: the resolution option checked, and a
// one-line description of a resolution ("medium, 1620p").
bool parseResolutionOption(const std::string& text, std::optional<VellariImageResolution>& out);
std::string describeResolution(VellariImageResolution r);

}  // namespace vellari::cli
