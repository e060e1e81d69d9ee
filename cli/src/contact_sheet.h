#pragma once
// A contact sheet: rows of small pictures, each under its label, below a title.

#include <string>
#include <vector>

#include "vellari/platform/picture.h"

namespace vellari::cli {

struct SheetCell {
    std::string label;
    Picture picture;  // at the cell size; null: drawn as a failed cell
};

struct SheetGeometry {
    int cellWidth = 0, cellHeight = 0;
    static constexpr int kGap = 10;
    static constexpr int kLabelHeight = 26;
    static constexpr int kTitleHeight = 44;
};

// Cell size for pictures of `width` x `height`: the long side `longSide`, aspect kept.
SheetGeometry sheetGeometry(int width, int height, int longSide);

// `picture` shrunk (or enlarged) to exactly `width` x `height` by area averaging.
Picture resizedPicture(const Picture& picture, int width, int height);

// The sheet: the title on top, then each row of cells left to right, labels above the
// pictures. Opaque RGBA.
Picture composeContactSheet(const std::string& title, const std::vector<std::vector<SheetCell>>& rows,
                            const SheetGeometry& geometry);

}  // namespace vellari::cli
