#pragma once
#include "vellari/platform/node.h"

namespace vellari::detail {
// The tile renders are computed in; nodes that read little more than a tile judge it by this.
constexpr int kTileW = 256;
constexpr int kTileH = 128;

// The source node whose pixels n shows over r, through aliases that do not crop r and
// whole-pixel offsets (r moved with them into the source's coordinates); null if none.
const Node* sourceBehind(const Node* n, IRect& r);
}  // namespace vellari::detail
