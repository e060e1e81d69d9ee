#include "contact_sheet.h"

#include <algorithm>
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace vellari::cli {

namespace {

// Pictures are RGBA, and so are these colours.
const cv::Scalar kBackground(34, 34, 34, 255);
const cv::Scalar kLabelColour(236, 236, 236, 255);
const cv::Scalar kTitleColour(255, 255, 255, 255);
const cv::Scalar kFailedColour(170, 40, 60, 255);
constexpr int kFont = cv::FONT_HERSHEY_SIMPLEX;

// Draws `text` with its baseline at `origin`, shrunk until it fits in `maxWidth`.
void drawText(cv::Mat& m, const std::string& text, cv::Point origin, double scale, int thickness, int maxWidth,
              const cv::Scalar& colour) {
    int baseline = 0;
    while (scale > 0.3 && cv::getTextSize(text, kFont, scale, thickness, &baseline).width > maxWidth) scale *= 0.92;
    cv::putText(m, text, origin, kFont, scale, colour, thickness, cv::LINE_AA);
}

}  // namespace

SheetGeometry sheetGeometry(int width, int height, int longSide) {
    SheetGeometry g;
    width = std::max(width, 1);
    height = std::max(height, 1);
    if (width >= height) {
        g.cellWidth = longSide;
        g.cellHeight = std::max(1, int(std::lround(double(longSide) * height / width)));
    } else {
        g.cellHeight = longSide;
        g.cellWidth = std::max(1, int(std::lround(double(longSide) * width / height)));
    }
    return g;
}

Picture resizedPicture(const Picture& picture, int width, int height) {
    if (picture.isNull() || width <= 0 || height <= 0) return {};
    const cv::Mat src(picture.height(), picture.width(), CV_8UC4, const_cast<uint8_t*>(picture.rgba().data()));
    std::vector<uint8_t> out(size_t(width) * height * 4);
    cv::Mat dst(height, width, CV_8UC4, out.data());
    const bool shrinking = width < picture.width() && height < picture.height();
    cv::resize(src, dst, dst.size(), 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_LINEAR);
    return Picture(width, height, std::move(out));
}

Picture composeContactSheet(const std::string& title, const std::vector<std::vector<SheetCell>>& rows,
                            const SheetGeometry& g) {
    constexpr int gap = SheetGeometry::kGap;
    size_t columns = 1;
    for (const auto& r : rows) columns = std::max(columns, r.size());
    const int width = gap + int(columns) * (g.cellWidth + gap);
    const int rowHeight = SheetGeometry::kLabelHeight + g.cellHeight + gap;
    const int height = SheetGeometry::kTitleHeight + int(rows.size()) * rowHeight + gap;

    std::vector<uint8_t> pixels(size_t(width) * height * 4);
    cv::Mat sheet(height, width, CV_8UC4, pixels.data());
    sheet.setTo(kBackground);
    drawText(sheet, title, {gap, SheetGeometry::kTitleHeight - 14}, 0.85, 2, width - 2 * gap, kTitleColour);

    for (size_t r = 0; r < rows.size(); ++r) {
        const int top = SheetGeometry::kTitleHeight + int(r) * rowHeight;
        for (size_t c = 0; c < rows[r].size(); ++c) {
            const SheetCell& cell = rows[r][c];
            const int left = gap + int(c) * (g.cellWidth + gap);
            drawText(sheet, cell.label, {left + 2, top + SheetGeometry::kLabelHeight - 8}, 0.55, 1, g.cellWidth - 4,
                     kLabelColour);
            const cv::Rect box(left, top + SheetGeometry::kLabelHeight, g.cellWidth, g.cellHeight);
            if (cell.picture.width() == g.cellWidth && cell.picture.height() == g.cellHeight) {
                const cv::Mat pic(g.cellHeight, g.cellWidth, CV_8UC4, const_cast<uint8_t*>(cell.picture.rgba().data()));
                pic.copyTo(sheet(box));
            } else {
                sheet(box).setTo(kFailedColour);
                drawText(sheet, "no picture", {left + 8, box.y + g.cellHeight / 2}, 0.6, 1, g.cellWidth - 16,
                         kLabelColour);
            }
        }
    }
    // Cells with transparency would show the sheet through them; the sheet stays opaque.
    std::vector<cv::Mat> channels;
    cv::split(sheet, channels);
    channels[3].setTo(255);
    cv::merge(channels, sheet);
    return Picture(width, height, std::move(pixels));
}

}  // namespace vellari::cli
