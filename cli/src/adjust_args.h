#pragma once
// `--adjust KIND=VALUE`: user adjustments named by their kind ("brightness=0.25",
// "shadowColor=red", "shadowColor=5:0.3" for a colour and the opacity of its wash).

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "vellari/adjustments/adjustment_kinds.h"

namespace vellari {
class QXFilterStandardAdjustments;
}

namespace vellari::cli {

struct AdjustSetting {
    AdjustmentType type = AdjustmentType::brightness;
    float value = 0;
    std::optional<float> secondaryValue;  // colour kinds only: the wash opacity
};

// The setting, or the message that says what is wrong with `text`.
std::variant<AdjustSetting, std::string> parseAdjustSetting(const std::string& text);

// The kinds a user may set, as they are written on the command line ("brightness").
std::vector<std::string> adjustableKindNames();

// Writes the settings into the adjustments object, later ones winning.
void applyAdjustSettings(QXFilterStandardAdjustments& adjustments, const std::vector<AdjustSetting>& settings);

}  // namespace vellari::cli
