// Writes the bundle's halftone screens and the watermark picture into a folder:
//   "Halftone Master 512px.png"                  monochrome screen, 45°
//   "Process Color Halftone v08 CMY 512px.png"   cyan, magenta, yellow screens in R, G, B
//   "Vellari Watermark v06-03.png"               the word mark, black on transparent
//
//   vellari_make_screens OUTPUT_FOLDER
//
// A screen holds a threshold per pixel: high at the dot centres, low between them. A tone
// v gets ink where v < screen, so dots grow from the centres as the tone darkens. Each
// screen is a round-dot spot function whose wave vectors are whole numbers of cycles per
// tile, so the 512-pixel tile repeats exactly; its values are then rank-equalised so that
// the inked area grows linearly with darkness (the dots keep their shape because ranking
// preserves the level sets).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <numeric>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "vellari/platform/picture.h"

using namespace vellari;

namespace {

constexpr int kTile = 512;

// Wave vector of a screen: (fx, fy) cycles per tile along x and y. The dot lattice is the
// square one spanned by this vector and its perpendicular.
struct Screen {
    int fx, fy;
};

// Spot function 0.5 + 0.25·(cos 2π f·p + cos 2π f⊥·p) at the pixel centres: 1 at the dot
// centres, 0 in the holes between them, 0.5 on the checkerboard between.
std::vector<double> spot(Screen s) {
    std::vector<double> v(size_t(kTile) * kTile);
    const double w = 2 * M_PI / kTile;
    for (int y = 0; y < kTile; ++y)
        for (int x = 0; x < kTile; ++x) {
            const double px = x + 0.5, py = y + 0.5;
            const double a = w * (s.fx * px + s.fy * py), b = w * (-s.fy * px + s.fx * py);
            v[size_t(y) * kTile + x] = 0.5 + 0.25 * (std::cos(a) + std::cos(b));
        }
    return v;
}

// Replaces each value by its mean rank, mapped to the 8-bit levels 1..254 so that white
// (1.0) never gets ink and black (0.0) always does. Equal values (the lattice's symmetry
// makes many) share one level, so the pattern stays symmetric.
std::vector<uint8_t> equalise(const std::vector<double>& v) {
    const size_t n = v.size();
    std::vector<uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return v[a] < v[b]; });
    std::vector<uint8_t> out(n);
    for (size_t i = 0; i < n;) {
        size_t j = i;
        while (j < n && std::abs(v[order[j]] - v[order[i]]) < 1e-12) ++j;
        const double rank = 0.5 * double(i + j - 1);  // mean rank of the tie
        const uint8_t level = uint8_t(1 + std::lround(253.0 * (rank + 0.5) / double(n)));
        for (size_t k = i; k < j; ++k) out[order[k]] = level;
        i = j;
    }
    return out;
}

// Mono: 45°, 16 cycles along each diagonal axis (dot pitch 22.6 px).
constexpr Screen kMono{16, 16};
// Process colours: cyan near 15°, magenta near 75°, yellow at 0°, all about 16 px apart.
// atan(8/31) = 14.5°, atan(31/8) = 75.5°.
constexpr Screen kCyan{31, 8};
constexpr Screen kMagenta{8, 31};
constexpr Screen kYellow{32, 0};

Picture monoScreen() {
    const std::vector<uint8_t> m = equalise(spot(kMono));
    Picture p(kTile, kTile);
    for (size_t i = 0; i < m.size(); ++i) {
        uint8_t* px = p.rgba().data() + i * 4;
        px[0] = px[1] = px[2] = m[i];
        px[3] = 255;
    }
    return p;
}

Picture processScreen() {
    const std::vector<uint8_t> c = equalise(spot(kCyan)), m = equalise(spot(kMagenta)), y = equalise(spot(kYellow));
    Picture p(kTile, kTile);
    for (size_t i = 0; i < c.size(); ++i) {
        uint8_t* px = p.rgba().data() + i * 4;
        px[0] = c[i];
        px[1] = m[i];
        px[2] = y[i];
        px[3] = 255;
    }
    return p;
}

// The word mark drawn with round-capped strokes on a 4× supersampled coverage mask.
Picture watermark() {
    constexpr int W = 800, H = 260, S = 4;
    cv::Mat mask(H * S, W * S, CV_8UC1, cv::Scalar(0));
    const int t = 24 * S;  // stroke width
    auto P = [&](double x, double y) { return cv::Point(int(std::lround(x * S)), int(std::lround(y * S))); };
    auto line = [&](double x0, double y0, double x1, double y1) {
        cv::line(mask, P(x0, y0), P(x1, y1), cv::Scalar(255), t, cv::LINE_8);
        cv::circle(mask, P(x0, y0), t / 2, cv::Scalar(255), cv::FILLED);
        cv::circle(mask, P(x1, y1), t / 2, cv::Scalar(255), cv::FILLED);
    };
    // Letters 80 wide, 145 tall, 26 px apart (7·80 + 6·26 = 716), with about 30 px of clear
    // margin all round so that the halo grown around the mark stays inside the picture.
    const double top = 42, bottom = 187, mid = 114.5, w = 80, gap = 26;
    double x = (W - (7 * w + 6 * gap)) / 2;
    // V
    line(x, top, x + w / 2, bottom);
    line(x + w / 2, bottom, x + w, top);
    x += w + gap;
    // E
    line(x, top, x, bottom);
    line(x, top, x + w, top);
    line(x, mid, x + w * 0.8, mid);
    line(x, bottom, x + w, bottom);
    x += w + gap;
    // L, L
    for (int k = 0; k < 2; ++k) {
        line(x, top, x, bottom);
        line(x, bottom, x + w, bottom);
        x += w + gap;
    }
    // A, with its bar a little below the middle
    line(x, bottom, x + w / 2, top);
    line(x + w / 2, top, x + w, bottom);
    line(x + w * 0.25, mid + 15, x + w * 0.75, mid + 15);
    x += w + gap;
    // R: stem, bowl (two straights and a half circle), leg
    {
        const double r = (mid - top) / 2;
        line(x, top, x, bottom);
        line(x, top, x + w - r, top);
        line(x, mid, x + w - r, mid);
        cv::ellipse(mask, P(x + w - r, top + r), cv::Size(int(r * S), int(r * S)), 0, -90, 90, cv::Scalar(255), t,
                    cv::LINE_8);
        line(x + w * 0.45, mid, x + w, bottom);
    }
    x += w + gap;
    // I
    line(x + w / 2, top, x + w / 2, bottom);
    // An underline across the word.
    line((W - (7 * w + 6 * gap)) / 2, bottom + 30, W - (W - (7 * w + 6 * gap)) / 2, bottom + 30);

    cv::Mat small;
    cv::resize(mask, small, cv::Size(W, H), 0, 0, cv::INTER_AREA);
    Picture p(W, H);
    for (int yy = 0; yy < H; ++yy)
        for (int xx = 0; xx < W; ++xx) {
            uint8_t* px = p.pixel(xx, yy);
            px[0] = px[1] = px[2] = 0;
            px[3] = small.at<uint8_t>(yy, xx);
        }
    return p;
}

bool write(const Picture& p, const std::filesystem::path& path) {
    const std::string err = writePicture(p, path.string(), PictureFormat::PNG);
    if (!err.empty()) {
        std::fprintf(stderr, "vellari_make_screens: %s\n", err.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vellari_make_screens OUTPUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path dir(argv[1]);
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        std::fprintf(stderr, "vellari_make_screens: %s is not a folder\n", argv[1]);
        return 2;
    }
    bool ok = write(monoScreen(), dir / "Halftone Master 512px.png");
    ok = write(processScreen(), dir / "Process Color Halftone v08 CMY 512px.png") && ok;
    ok = write(watermark(), dir / "Vellari Watermark v06-03.png") && ok;
    return ok ? 0 : 1;
}
