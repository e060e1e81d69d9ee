#pragma once
#include "vellari/platform/node.h"

namespace vellari::detail {
// The tile renders are computed in; nodes that read little more than a tile judge it by this.
constexpr int kTileW = 256;
constexpr int kTileH = 128;
}  // namespace vellari::detail
