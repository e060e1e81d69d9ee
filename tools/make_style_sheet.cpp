// Renders photos through the stylising filter with its default recipe and with layer
// recipes changed one at a time, and writes a labelled contact sheet per photo.
//   vellari_make_style_sheet OUTPUT_DIR PHOTO...

#include <cstdio>
#include <filesystem>
#include <functional>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"
#include "vellari/styles/vellari_filter.h"

using namespace vellari;

namespace {

struct Variant {
    std::string label;
    std::function<void(QXVideoFilterVellari&)> set;
};

std::vector<Variant> variants() {
    std::vector<Variant> v{{"default", [](QXVideoFilterVellari&) {}}};
    for (int t : {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 11, 13, 14, 15})
        v.push_back({"shading " + std::to_string(t), [t](QXVideoFilterVellari& f) {
                         f.shadingType = t;
                         f.shadingRadius = 8;
                         f.shadingThreshold = 0.3;
                         f.backgroundColor = Color{0.95, 0.9, 0.8, 1};
                     }});
    v.push_back({"shading 3, 5 levels", [](QXVideoFilterVellari& f) { f.shadingLevels = 5; }});
    for (int t = 0; t <= 10; ++t)
        v.push_back({"blobs " + std::to_string(t), [t](QXVideoFilterVellari& f) {
                         f.blobsType = t;
                         f.blobsStriationsLower = t == 3 || t == 4 ? 6 : 0;
                         f.blobsColorLower = Color{0.2, 0.1, 0.3, 1};
                         f.blobsColorUpper = Color{1, 0.95, 0.85, 1};
                         f.blobsColorLevels = 4;
                         f.blobsColorGamma = 1;
                     }});
    for (int t = 2; t <= 8; ++t)
        v.push_back({"texture " + std::to_string(t), [t](QXVideoFilterVellari& f) { f.textureType = t; }});
    for (int t = 1; t <= 3; ++t)
        v.push_back({"lines " + std::to_string(t), [t](QXVideoFilterVellari& f) {
                         f.lineType = t;
                         f.linesGrayContrastScale = 1.2;
                         f.linesGrayBrightnessShift = -0.1;
                     }});
    return v;
}

cv::Mat toMat(const Picture& p) {
    cv::Mat rgba(p.height(), p.width(), CV_8UC4, const_cast<uint8_t*>(p.rgba().data())), bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: vellari_make_style_sheet OUTPUT_DIR PHOTO...\n");
        return 2;
    }
    const std::string outDir = argv[1];
    std::filesystem::create_directories(outDir);
    const auto list = variants();
    const int cellW = 360, cols = 6;
    int failures = 0;
    for (int a = 2; a < argc; ++a) {
        PictureResult in = readPicture(argv[a]);
        if (!in.ok()) {
            std::fprintf(stderr, "vellari_make_style_sheet: %s\n", in.error.c_str());
            ++failures;
            continue;
        }
        const Image photo = Image::fromPicture(in.picture);
        const int cellH = int(cellW * double(in.picture.height()) / in.picture.width());
        const int rows = int((list.size() + cols - 1) / cols);
        cv::Mat sheet(rows * (cellH + 24), cols * cellW, CV_8UC3, cv::Scalar(40, 40, 40));
        for (size_t i = 0; i < list.size(); ++i) {
            QXVideoFilterVellari f;
            f.videoProcessing = true;
            list[i].set(f);
            const Image out = f.processCIImage(photo);
            cv::Mat cell(cellH, cellW, CV_8UC3, cv::Scalar(0, 0, 255));
            if (out) {
                const Picture pic = defaultContext().createPicture(out, out.extent());
                cv::resize(toMat(pic), cell, cell.size(), 0, 0, cv::INTER_AREA);
            }
            const int x = int(i % cols) * cellW, y = int(i / cols) * (cellH + 24);
            cell.copyTo(sheet(cv::Rect(x, y + 24, cellW, cellH)));
            cv::putText(sheet, list[i].label, {x + 6, y + 17}, cv::FONT_HERSHEY_SIMPLEX, 0.5, {230, 230, 230}, 1,
                        cv::LINE_AA);
        }
        std::vector<uint8_t> rgba(size_t(sheet.cols) * sheet.rows * 4);
        cv::Mat wrap(sheet.rows, sheet.cols, CV_8UC4, rgba.data());
        cv::cvtColor(sheet, wrap, cv::COLOR_BGR2RGBA);
        const std::string name = std::filesystem::path(argv[a]).stem().string();
        const std::string path = outDir + "/" + name + "-layers.png";
        std::string err = writePicture(Picture(sheet.cols, sheet.rows, std::move(rgba)), path, PictureFormat::PNG);
        if (!err.empty()) {
            std::fprintf(stderr, "vellari_make_style_sheet: %s\n", err.c_str());
            ++failures;
            continue;
        }
        std::printf("%s\n", path.c_str());
    }
    return failures ? 1 : 0;
}
