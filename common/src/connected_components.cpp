// Removal of small dark and light specks from a three-valued image (0, mid grey, 1 in red).
//
// The image is rendered over its extent; dark pixels (red < 0.25) and light pixels
// (red > 0.75) are labelled separately with 8-connectivity, so diagonal neighbours belong
// to the same region and a one-pixel diagonal line counts as one stroke. Regions with fewer
// pixels than their threshold take the replacement colour, stored exactly as given (its
// straight components, like any colour argument); everything else keeps its pixels.

#include "vellari/common/connected_components.h"

#include <cmath>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "vellari/platform/context.h"

namespace vellari {
namespace {

constexpr float kDarkBelow = 0.25f;
constexpr float kLightAbove = 0.75f;

// Paints the pixels of `mask`'s regions smaller than `threshold` pixels.
void removeSmallRegions(const cv::Mat& mask, double threshold, const float colour[4], std::vector<float>& px) {
    cv::Mat labels, stats, centroids;
    const int count = cv::connectedComponentsWithStats(mask, labels, stats, centroids, 8, CV_32S);
    std::vector<uint8_t> remove(size_t(count), 0);
    bool any = false;
    for (int l = 1; l < count; ++l) {  // label 0 is the background
        remove[size_t(l)] = double(stats.at<int>(l, cv::CC_STAT_AREA)) < threshold;
        any = any || remove[size_t(l)];
    }
    if (!any) return;
    for (int y = 0; y < labels.rows; ++y) {
        const int* lab = labels.ptr<int>(y);
        float* row = px.data() + size_t(y) * labels.cols * 4;
        for (int x = 0; x < labels.cols; ++x)
            if (remove[size_t(lab[x])])
                for (int c = 0; c < 4; ++c) row[x * 4 + c] = colour[c];
    }
}

}  // namespace

Image QXConnectedComponents::removeDetailBinary(const Image& image, double darkThreshold, double lightThreshold,
                                                const Color& replacementColor) {
    if (!image) return {};
    const Rect e = image.extent();
    if (e.isEmpty() || e.isInfinite()) return image;
    const IRect r = e.integral();
    std::vector<float> px(size_t(r.w) * r.h * 4);
    defaultContext().render(image, Rect::fromIRect(r), PixelFormat::RGBAf, px.data(), size_t(r.w) * 16);

    cv::Mat dark(r.h, r.w, CV_8U), light(r.h, r.w, CV_8U);
    for (int y = 0; y < r.h; ++y) {
        const float* row = px.data() + size_t(y) * r.w * 4;
        uint8_t* d = dark.ptr<uint8_t>(y);
        uint8_t* l = light.ptr<uint8_t>(y);
        for (int x = 0; x < r.w; ++x) {
            const float v = row[x * 4];
            d[x] = v < kDarkBelow ? 255 : 0;
            l[x] = v > kLightAbove ? 255 : 0;
        }
    }
    const float colour[4] = {float(replacementColor.r), float(replacementColor.g), float(replacementColor.b),
                             float(replacementColor.a)};
    // Both masks come from the rendered values, so painting dark regions first cannot
    // change which light regions exist.
    removeSmallRegions(dark, darkThreshold, colour, px);
    removeSmallRegions(light, lightThreshold, colour, px);
    return Image::fromRGBAf(std::move(px), r.w, r.h, Point{double(r.x), double(r.y)});
}

}  // namespace vellari
