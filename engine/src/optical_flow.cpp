#include "vellari/engine/optical_flow.h"

#include <spdlog/spdlog.h>

#include <opencv2/imgproc.hpp>
#include <opencv2/video/tracking.hpp>

namespace vellari {
namespace {

// Grey 8-bit rendering of an image's extent.
cv::Mat greyOf(const Image& image) {
    const IRect r = image.extent().integral();
    Bitmap b = defaultContext().render(image, Rect::fromIRect(r), PixelFormat::RGBA8);
    cv::Mat rgba(r.h, r.w, CV_8UC4, b.bytes.data(), b.rowBytes), grey;
    cv::cvtColor(rgba, grey, cv::COLOR_RGBA2GRAY);
    return grey;
}

}  // namespace

QXVideoFilterOpticalFlow::QXVideoFilterOpticalFlow() = default;

void QXVideoFilterOpticalFlow::setPreviousImage(const Image& image) {
    if (!image) return;
    const Rect e = image.extent();
    if (!previousImageBuffer || previousImageBuffer->extent().width != e.width ||
        previousImageBuffer->extent().height != e.height)
        previousImageBuffer = std::make_shared<ImageAccumulator>(Rect{0, 0, e.width, e.height});
    previousImageBuffer->setImage(image.translated(-e.x, -e.y));
}

Image QXVideoFilterOpticalFlow::previousImage() const {
    return previousImageBuffer ? previousImageBuffer->image() : Image();
}

Image QXVideoFilterOpticalFlow::createOpticalFlow(const Image& image) {
    if (!image || image.extent().isInfinite() || image.extent().isEmpty()) return {};
    const Image previous = previousImage();
    const Rect e = image.extent();
    if (!previous) {
        spdlog::error("Failed to perform SequenceRequest: {}", "no previous frame");
        return {};
    }
    if (previous.extent().width != e.width || previous.extent().height != e.height) {
        spdlog::error("Failed to perform SequenceRequest: {}", "the frames differ in size");
        return {};
    }
    try {
        cv::Mat a = greyOf(previous), b = greyOf(image.translated(-e.x, -e.y)), flow;
        // Lowest accuracy: few pyramid levels and iterations, as a live preview can afford.
        cv::calcOpticalFlowFarneback(a, b, flow, 0.5, 3, 9, 2, 5, 1.1, 0);
        std::vector<float> px(size_t(flow.rows) * flow.cols * 4);
        for (int y = 0; y < flow.rows; ++y) {
            const cv::Vec2f* f = flow.ptr<cv::Vec2f>(y);
            for (int x = 0; x < flow.cols; ++x) {
                float* p = &px[(size_t(y) * flow.cols + x) * 4];
                p[0] = f[x][0];
                p[1] = f[x][1];
                p[2] = 0;
                p[3] = 1;
            }
        }
        return Image::fromRGBAf(std::move(px), flow.cols, flow.rows, {e.x, e.y});
    } catch (const cv::Exception& ex) {
        spdlog::error("Failed to perform SequenceRequest: {}", ex.what());
        return {};
    }
}

}  // namespace vellari
