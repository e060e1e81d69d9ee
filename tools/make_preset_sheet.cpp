// Renders every named style (the application's sixteen, mono, zip and anime) on a few
// photos and writes one labelled contact sheet, to compare the styles at a glance.
//   vellari_make_preset_sheet [--cell PIXELS] [--match TEXT] OUTPUT.png RESOLUTION PHOTO...
//
// RESOLUTION is the short side the styles render at; --cell sets the side of each shown
// picture (200 by default) and --match keeps only the styles whose name contains TEXT. A style's own adjustment settings
// are applied roughly as the filter wrapper does for a user with every adjustment at its
// default: the numbers become the filter's custom values, black and white points,
// brightness and the shadow wash go before the style, temperature, vibrance and
// saturation after it.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <opencv2/imgproc.hpp>
#include <string>
#include <vector>

#include "vellari/common/core_image_utilities.h"
#include "vellari/platform/context.h"
#include "vellari/platform/picture.h"
#include "vellari/styles/style_presets.h"

using namespace vellari;

namespace {

double number(const std::optional<StyleData>& d, const std::string& key) {
    if (!d) return 0;
    auto it = d->find(key);
    return it != d->end() && it->second.isNumber() ? it->second.number() : 0;
}

// Hue and saturation of the palette colours behind the wash indices 1 to 6.
Color washColor(int index, double opacity) {
    static const double hues[] = {0, 0, 1.0 / 12, 1.0 / 6, 1.0 / 3, 2.0 / 3, 5.0 / 6};
    const double h = hues[index] * 6, x = 1 - std::abs(std::fmod(h, 2.0) - 1);
    double r = 0, g = 0, b = 0;
    switch (int(h)) {
        case 0: r = 1, g = x; break;
        case 1: r = x, g = 1; break;
        case 2: g = 1, b = x; break;
        case 3: g = x, b = 1; break;
        case 4: r = x, b = 1; break;
        default: r = 1, b = x; break;
    }
    return {r, g, b, opacity};
}

Image preStage(const Image& in, const std::optional<StyleData>& d) {
    Image x = in;
    const double b = 0.5 * number(d, "blackPoint"), w = 1 + 0.5 * number(d, "whitePoint");
    if (b != 0 || w != 1) x = QXCoreImageUtilities::applyMetalKernelNamed("scaleRange", {x, w - b, b});
    if (double v = number(d, "brightness"); v != 0) x = x.applyingFilter("CIGammaAdjust", {{"inputPower", 1 - 0.75 * v}});
    const int wash = int(number(d, "shadowColorForFilter"));
    const double opacity = number(d, "shadowColorForFilter.secondaryValue");
    if (wash >= 1 && wash <= 6 && opacity > 0) {
        const Image w = Image::constantColor(washColor(wash, opacity)).cropped(x.extent());
        x = w.applyingFilter("CIScreenBlendMode", {{"inputBackgroundImage", x}});
    }
    return x;
}

Image postStage(const Image& in, const std::optional<StyleData>& d) {
    Image x = in;
    if (double t = number(d, "temperature"), n = number(d, "tint"); t != 0 || n != 0)
        x = x.applyingFilter("CITemperatureAndTint", {{"inputTargetNeutral", Vector{6500 + 2000 * t, 100 * n}}});
    if (double v = number(d, "vibrance"); v != 0) x = x.applyingFilter("CIVibrance", {{"inputAmount", v}});
    if (double s = number(d, "saturation"); s != 0) x = x.applyingFilter("CIColorControls", {{"inputSaturation", 1 + s}});
    return x;
}

Image render(QXVideoFilterAbstract& f, const Image& photo, double resolution) {
    if (auto* v = dynamic_cast<QXVideoFilterVellari*>(&f)) v->setOutputResolution(resolution);
    else f.outputResolution = resolution;
    std::map<std::string, double> custom;
    if (f.styleData)
        for (const auto& [k, v] : *f.styleData)
            if (v.isNumber()) custom[k] = v.number();
    f.customData = custom;
    const Image out = f.processCIImage(preStage(photo, f.styleData));
    return out ? postStage(out, f.styleData) : Image();
}

cv::Mat toMat(const Picture& p) {
    cv::Mat rgba(p.height(), p.width(), CV_8UC4, const_cast<uint8_t*>(p.rgba().data())), bgr;
    cv::cvtColor(rgba, bgr, cv::COLOR_RGBA2BGR);
    return bgr;
}

std::string label(const std::string& description) {
    std::string s = description;
    for (char& c : s)
        if (c == '\n') c = ' ';
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    int cell = 200;
    std::string match;
    std::vector<std::string> args;
    for (int a = 1; a < argc; ++a) {
        const std::string s = argv[a];
        if ((s == "--cell" || s == "--match") && a + 1 < argc) {
            if (s == "--cell") cell = std::atoi(argv[++a]);
            else match = argv[++a];
        } else {
            args.push_back(s);
        }
    }
    if (args.size() < 3 || cell < 16 || cell > 2048) {
        std::fprintf(stderr,
                     "usage: vellari_make_preset_sheet [--cell PIXELS] [--match TEXT] OUTPUT.png RESOLUTION PHOTO...\n");
        return 2;
    }
    const double resolution = std::atof(args[1].c_str());
    if (!(resolution >= 64 && resolution <= 2160)) {
        std::fprintf(stderr, "vellari_make_preset_sheet: RESOLUTION must be 64 to 2160\n");
        return 2;
    }
    std::vector<Image> photos;
    for (size_t a = 2; a < args.size(); ++a) {
        PictureResult in = readPicture(args[a]);
        if (!in.ok()) {
            std::fprintf(stderr, "vellari_make_preset_sheet: %s\n", in.error.c_str());
            return 1;
        }
        photos.push_back(Image::fromPicture(in.picture));
    }

    StyleList styles = applicationStyles();
    for (auto& s : QXVideoFilterVellariBW::monoStyles()) styles.push_back(s);
    for (auto& s : QXVideoFilterVellariZip::zipStyles()) styles.push_back(s);
    auto anime = std::make_shared<QXVideoFilterVellariAnime>();
    anime->filterDescription = "Anime";
    styles.push_back(anime);
    auto original = std::make_shared<QXVideoFilterNone>();
    original->filterDescription = "Original";
    styles.insert(styles.begin(), original);
    if (!match.empty())
        std::erase_if(styles, [&](const StylePtr& s) { return label(s->filterDescription).find(match) == std::string::npos; });

    // One block per style: its photos side by side under its name.
    const int labelH = 22, blocksPerRow = int(std::min<size_t>(3, std::max<size_t>(1, styles.size())));
    const int blockW = cell * int(photos.size()) + 8, blockH = cell + labelH + 6;
    const int rows = int((styles.size() + blocksPerRow - 1) / blocksPerRow);
    cv::Mat sheet(rows * blockH, blocksPerRow * blockW, CV_8UC3, cv::Scalar(40, 40, 40));
    int failures = 0;
    for (size_t i = 0; i < styles.size(); ++i) {
        const int bx = int(i % blocksPerRow) * blockW, by = int(i / blocksPerRow) * blockH;
        cv::putText(sheet, label(styles[i]->filterDescription), {bx + 6, by + 16}, cv::FONT_HERSHEY_SIMPLEX, 0.5,
                    {230, 230, 230}, 1, cv::LINE_AA);
        for (size_t p = 0; p < photos.size(); ++p) {
            const Image out = render(*styles[i], photos[p], resolution);
            cv::Mat c(cell, cell, CV_8UC3, cv::Scalar(0, 0, 255));
            if (out) {
                const Picture pic = defaultContext().createPicture(out, out.extent());
                const cv::Mat m = toMat(pic);
                // Centred square crop, so every photo fills its cell.
                const int side = std::min(m.cols, m.rows);
                cv::resize(m(cv::Rect((m.cols - side) / 2, (m.rows - side) / 2, side, side)), c, c.size(), 0, 0,
                           cv::INTER_AREA);
            } else {
                std::fprintf(stderr, "vellari_make_preset_sheet: %s gave no image\n",
                             label(styles[i]->filterDescription).c_str());
                ++failures;
            }
            c.copyTo(sheet(cv::Rect(bx + int(p) * cell, by + labelH, cell, cell)));
        }
    }
    std::vector<uint8_t> rgba(size_t(sheet.cols) * sheet.rows * 4);
    cv::Mat wrap(sheet.rows, sheet.cols, CV_8UC4, rgba.data());
    cv::cvtColor(sheet, wrap, cv::COLOR_BGR2RGBA);
    std::string err = writePicture(Picture(sheet.cols, sheet.rows, std::move(rgba)), args[0], PictureFormat::PNG);
    if (!err.empty()) {
        std::fprintf(stderr, "vellari_make_preset_sheet: %s\n", err.c_str());
        return 1;
    }
    std::printf("%s\n", args[0].c_str());
    return failures ? 1 : 0;
}
