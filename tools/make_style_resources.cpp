// Writes the resources the named styles read into a folder:
//   LUTs/*.png                  the styles' colour look-up tables (N wide, N·N tall: N tiles
//                               of N×N top to bottom, tile b = blue level b, red to the
//                               right, green downwards), N as each name says
//   Settings/*.plist            the styles' adjustment settings (XML property lists)
//   teeth-LUT.png               whitening table for the face retouch, N 32
//   features-mask.png           256×256 white picture whose alpha is a soft round blob
//   Style Thumbnail.png         a centred square crop of PHOTO, scaled to 256×256
//
//   vellari_make_style_resources OUTPUT_FOLDER PHOTO
//
// Every output is a pure function of this code (and of PHOTO), so running it again
// reproduces the committed files byte for byte.

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "vellari/platform/picture.h"
#include "vellari/platform/plist.h"

using namespace vellari;

namespace {

struct RGB {
    double r, g, b;
};

RGB operator+(RGB a, RGB b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
RGB operator*(RGB a, double k) { return {a.r * k, a.g * k, a.b * k}; }

double clamp01(double x) { return std::clamp(x, 0.0, 1.0); }
RGB clamp01(RGB c) { return {clamp01(c.r), clamp01(c.g), clamp01(c.b)}; }
double mix(double a, double b, double t) { return a + (b - a) * t; }
RGB mix(RGB a, RGB b, double t) { return {mix(a.r, b.r, t), mix(a.g, b.g, t), mix(a.b, b.b, t)}; }
double smoothstep(double e0, double e1, double x) {
    const double t = clamp01((x - e0) / (e1 - e0));
    return t * t * (3 - 2 * t);
}
double luma(RGB c) { return 0.299 * c.r + 0.587 * c.g + 0.114 * c.b; }

// Chroma scaled about the luma.
RGB saturate(RGB c, double k) {
    const double l = luma(c);
    return {l + (c.r - l) * k, l + (c.g - l) * k, l + (c.b - l) * k};
}
// Luma moved to `l2`, chroma kept, then pulled into range without changing the luma much.
RGB withLuma(RGB c, double l2) {
    const double l = luma(c);
    RGB out{c.r + l2 - l, c.g + l2 - l, c.b + l2 - l};
    const double hi = std::max({out.r, out.g, out.b}), lo = std::min({out.r, out.g, out.b});
    if (hi > 1 && hi > l2) out = mix(RGB{l2, l2, l2}, out, (1 - l2) / (hi - l2));
    if (lo < 0 && lo < l2) out = mix(RGB{l2, l2, l2}, out, l2 / (l2 - lo));
    return clamp01(out);
}
// An S-shaped tone curve; k = 0 leaves the tone, 1 is a full smoothstep.
double sCurve(double x, double k) { return mix(x, x * x * (3 - 2 * x), k); }
// Colour added to the shadows and to the highlights, weighted by the luma.
RGB splitTone(RGB c, RGB shadows, RGB highlights) {
    const double l = luma(c);
    return c + shadows * ((1 - l) * (1 - l)) + highlights * (l * l);
}

struct HSV {
    double h, s, v;  // h in degrees, 0..360
};

HSV toHSV(RGB c) {
    const double hi = std::max({c.r, c.g, c.b}), lo = std::min({c.r, c.g, c.b}), d = hi - lo;
    HSV o{0, hi > 0 ? d / hi : 0, hi};
    if (d > 0) {
        if (hi == c.r) o.h = 60 * std::fmod((c.g - c.b) / d + 6, 6.0);
        else if (hi == c.g) o.h = 60 * ((c.b - c.r) / d + 2);
        else o.h = 60 * ((c.r - c.g) / d + 4);
    }
    return o;
}

RGB toRGB(HSV x) {
    const double h = std::fmod(std::fmod(x.h, 360.0) + 360.0, 360.0) / 60;
    const double s = clamp01(x.s), v = clamp01(x.v);
    const double c = v * s, k = c * (1 - std::abs(std::fmod(h, 2.0) - 1)), m = v - c;
    RGB o;
    switch (int(h)) {
        case 0: o = {c, k, 0}; break;
        case 1: o = {k, c, 0}; break;
        case 2: o = {0, c, k}; break;
        case 3: o = {0, k, c}; break;
        case 4: o = {k, 0, c}; break;
        default: o = {c, 0, k}; break;
    }
    return {o.r + m, o.g + m, o.b + m};
}

// Signed shortest angle from a to b, degrees.
double hueDelta(double a, double b) { return std::remainder(b - a, 360.0); }
// Closeness of hue h to `centre` within `width` degrees either side: 1 at the centre, 0 beyond.
double hueWeight(double h, double centre, double width) { return 1 - smoothstep(0, width, std::abs(hueDelta(h, centre))); }

// Hues drawn part of the way towards the nearest of a few zones: flatter, more graphic
// colour, as printed with a small set of inks.
RGB gamutZones(RGB c, double pull) {
    static const double zones[] = {5, 35, 55, 110, 175, 215, 265, 325};
    HSV x = toHSV(c);
    double best = zones[0];
    for (double z : zones)
        if (std::abs(hueDelta(x.h, z)) < std::abs(hueDelta(x.h, best))) best = z;
    // Greys have no hue to move.
    x.h += hueDelta(x.h, best) * pull * smoothstep(0.05, 0.25, x.s);
    return toRGB(x);
}

// --- the looks

// Cool Cel: zoned hues and a blue-teal cast in the greys, sky and shadows; skin hues keep
// most of their warmth so that faces do not turn lilac.
RGB gamutZoneCool(RGB c) {
    c = gamutZones(c, 0.55);
    c = saturate(c, 1.15);
    const HSV x = toHSV(c);
    const double cast = 1 - 0.7 * hueWeight(x.h, 25, 35) * smoothstep(0.1, 0.35, x.s);
    const RGB cooled = splitTone(RGB{c.r * 0.9, c.g * 0.985, std::min(1.0, c.b * 1.07 + 0.025)},
                                 {-0.03, 0.02, 0.09}, {-0.02, 0.0, 0.025});
    c = mix(c, cooled, cast);
    return clamp01(withLuma(c, sCurve(luma(c), 0.25)));
}

// Neutral Cel: the same zoning without a cast.
RGB gamutZoneNeutral(RGB c) {
    c = gamutZones(c, 0.55);
    c = saturate(c, 1.12);
    return clamp01(withLuma(c, sCurve(luma(c), 0.3)));
}

// Ruby: reds and oranges turned to a deep crimson, other hues a little richer, a garnet
// tint in the shadows and a firm contrast.
RGB diamond(RGB c) {
    HSV x = toHSV(c);
    const double red = hueWeight(x.h, 350, 55);
    x.h += hueDelta(x.h, 345) * 0.6 * red;
    x.s = clamp01(x.s * (1.1 + 0.4 * red));
    x.v *= 1 - 0.08 * red;
    c = toRGB(x);
    c = splitTone(c, {0.07, -0.02, 0.03}, {0.01, -0.01, 0.0});
    return clamp01(withLuma(c, sCurve(luma(c), 0.45)));
}

// Bubble: bubblegum colour: reds and oranges turned pink, yellows to peach, greens to mint,
// blues to lavender, over lifted, milky blacks.
RGB cat(RGB c) {
    HSV x = toHSV(c);
    static const struct {
        double from, to, width;
    } moves[] = {{15, 340, 40}, {55, 30, 25}, {115, 160, 45}, {225, 260, 40}};
    double h = x.h;
    for (const auto& m : moves) h += hueDelta(x.h, m.to) * 0.75 * hueWeight(x.h, m.from, m.width);
    x.h = h;
    x.s = clamp01(x.s * 0.8 + 0.1 * smoothstep(0.05, 0.2, x.s));
    x.v = 0.3 + 0.7 * std::pow(x.v, 0.75);
    c = toRGB(x);
    return clamp01(splitTone(c, {0.12, -0.02, 0.09}, {-0.03, 0.03, 0.07}));
}

// Cascel: a strong, sunny orange cast with golden highlights.
RGB orangeHappy(RGB c) {
    c = {std::pow(c.r, 0.8), std::pow(c.g, 0.97), 0.88 * std::pow(c.b, 1.3)};
    c = splitTone(c, {0.06, 0.0, -0.04}, {0.03, 0.02, -0.06});
    c = saturate(c, 1.2);
    return clamp01(c);
}

// Mountain: steep, clipped tone: deep blacks and paper whites, colour kept.
RGB clipValue(RGB c) {
    const double l = luma(c);
    c = withLuma(c, clamp01((l - 0.48) * 1.9 + 0.5));
    return clamp01(saturate(c, 1.15));
}

// Burst: high key and saturated, with sunny highlights.
RGB brightValue(RGB c) {
    const double l = luma(c);
    c = withLuma(c, 0.1 + 0.9 * std::pow(l, 0.5));
    c = saturate(c, 1.4);
    return clamp01(splitTone(c, {0.03, 0.01, -0.01}, {0.03, 0.02, -0.03}));
}

// Boreal: a cross-processed green cast: green lifted, blue flattened into the shadows,
// red curved down.
RGB cmxGreen(RGB c) {
    c = {sCurve(c.r, 0.5) * 0.94, std::pow(c.g, 0.82), 0.1 + 0.72 * c.b};
    c = splitTone(c, {-0.02, 0.05, 0.03}, {0.0, 0.02, -0.03});
    return clamp01(c);
}

// Anime: vibrance (dull colours gain most, vivid ones little), a light curve and warmth.
RGB vibrance(RGB c) {
    HSV x = toHSV(c);
    x.s = clamp01(x.s + 0.8 * x.s * (1 - x.s));
    x.v = sCurve(x.v, 0.2);
    c = toRGB(x);
    return clamp01(RGB{c.r * 1.02 + 0.005, c.g, c.b * 0.97});
}

// Teeth: brighter, and yellow drained towards white.
RGB teeth(RGB c) {
    HSV x = toHSV(c);
    const double yellow = hueWeight(x.h, 48, 40);
    x.s *= 1 - 0.6 * yellow - 0.15 * (1 - yellow);
    x.v = std::pow(x.v, 0.8);
    c = toRGB(x);
    return clamp01(RGB{c.r, c.g, c.b + 0.02});
}

struct Lut {
    std::string name;
    int n;
    std::function<RGB(RGB)> look;
};

std::vector<Lut> luts() {
    return {
        {"LUTs/Gamut Zone v05-32^3-64^20-0%.png", 32, gamutZoneCool},
        {"LUTs/Gamut Zone v05 Neutral-32^3-64^20-0%.png", 32, gamutZoneNeutral},
        {"LUTs/Diamond v08-32^3-64^20-25%.png", 32, diamond},
        {"LUTs/Cat v01-16^3-64^20-0%.png", 16, cat},
        {"LUTs/Orange Happy v07-6^3-64^20-90%.png", 6, orangeHappy},
        {"LUTs/Clip Value v04-32^3-64^20-0%.png", 32, clipValue},
        {"LUTs/Bright Value v01-32^3-64^20-0%.png", 32, brightValue},
        // Looked up without an extension; the bundle finds the file by its stem.
        {"LUTs/Cmx_green-v4-8^3-64^50-25%.png", 8, cmxGreen},
        {"LUTs/Vellari v022+Vibrance.png", 32, vibrance},
        {"teeth-LUT.png", 32, teeth},
    };
}

uint8_t byte(double v) { return uint8_t(std::lround(clamp01(v) * 255)); }

Picture lutPicture(int n, const std::function<RGB(RGB)>& look) {
    Picture p(n, n * n);
    for (int b = 0; b < n; ++b)
        for (int g = 0; g < n; ++g)
            for (int r = 0; r < n; ++r) {
                const RGB c = look({r / double(n - 1), g / double(n - 1), b / double(n - 1)});
                uint8_t* px = p.pixel(r, b * n + g);
                px[0] = byte(c.r);
                px[1] = byte(c.g);
                px[2] = byte(c.b);
                px[3] = 255;
            }
    return p;
}

// --- settings: adjustment values that the presets add to the user's

struct Settings {
    std::string name;
    PlistDictionary values;
};

std::vector<Settings> settings() {
    return {
        // Cel and vivid: clean colour, a touch of contrast and livelier lines; the look-up
        // tables carry the character.
        {"Settings/Comic Boost Cel Lines 5.plist",
         {{"contrast", 0.1}, {"saturation", 0.1}, {"vibrance", 0.15}, {"lines", 0.1}, {"flatness", 0.1}}},
        // Comic: punchy contrast, bolder lines and larger black masses ("shadows" raises the
        // blob threshold). No flatness, so the smooth and the posterised entries stay apart.
        {"Settings/Comic Boost 3.plist",
         {{"contrast", 0.3},
          {"saturation", 0.15},
          {"vibrance", 0.2},
          {"lines", 0.25},
          {"shadows", 0.5},
          {"whitePoint", 0.05},
          {"shadowColorForFilter", int64_t(0)},
          {"shadowColorForFilter.secondaryValue", 0.0}}},
        // Mono and zip: crisp ink, a little more black, clean paper.
        {"Settings/Default BW Lines.plist", {{"contrast", 0.2}, {"lines", 0.15}, {"shadows", 0.1}, {"whitePoint", 0.05}}},
        // Pencil: light blobs on white paper, fewer stray strokes.
        {"Settings/Default BW Lines 4.plist",
         {{"contrast", 0.1}, {"brightness", 0.1}, {"lines", 0.2}, {"shadows", -0.35}, {"linesNoiseReduction", 0.1}}},
    };
}

// 256×256 white; alpha 1 inside a third of the radius, falling smoothly to 0 at the rim.
Picture featuresMask() {
    const int s = 256;
    Picture p(s, s);
    for (int y = 0; y < s; ++y)
        for (int x = 0; x < s; ++x) {
            const double dx = (x + 0.5 - s / 2.0) / (s / 2.0), dy = (y + 0.5 - s / 2.0) / (s / 2.0);
            const double d = std::sqrt(dx * dx + dy * dy);
            uint8_t* px = p.pixel(x, y);
            px[0] = px[1] = px[2] = 255;
            px[3] = byte(1 - smoothstep(0.33, 1.0, d));
        }
    return p;
}

// The centred square of the photo, area-averaged down to 256×256.
std::optional<Picture> thumbnail(const std::string& photo, std::string& error) {
    PictureResult r = readPicture(photo);
    if (!r.ok()) {
        error = r.error;
        return std::nullopt;
    }
    const Picture& p = r.picture;
    const int side = std::min(p.width(), p.height());
    if (side < 1) {
        error = photo + ": empty picture";
        return std::nullopt;
    }
    cv::Mat src(p.height(), p.width(), CV_8UC4, const_cast<uint8_t*>(p.rgba().data()));
    cv::Mat square = src(cv::Rect((p.width() - side) / 2, (p.height() - side) / 2, side, side));
    std::vector<uint8_t> rgba(256 * 256 * 4);
    cv::Mat out(256, 256, CV_8UC4, rgba.data());
    cv::resize(square, out, out.size(), 0, 0, side >= 256 ? cv::INTER_AREA : cv::INTER_CUBIC);
    for (size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 255;
    return Picture(256, 256, std::move(rgba));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: vellari_make_style_resources OUTPUT_FOLDER PHOTO\n");
        return 2;
    }
    const std::filesystem::path root = argv[1];
    int failures = 0;
    const auto report = [&](const std::string& what, const std::string& err) {
        if (err.empty()) {
            std::printf("%s\n", what.c_str());
        } else {
            std::fprintf(stderr, "vellari_make_style_resources: %s\n", err.c_str());
            ++failures;
        }
    };
    const auto prepare = [&](const std::string& name) {
        const auto path = root / name;
        std::error_code ec;
        std::filesystem::create_directories(path.parent_path(), ec);
        if (ec) report(name, path.parent_path().string() + ": " + ec.message());
        return path.string();
    };

    for (const Lut& l : luts())
        report(l.name, writePicture(lutPicture(l.n, l.look), prepare(l.name), PictureFormat::PNG));
    for (const Settings& s : settings()) report(s.name, writePlistFile(PlistValue(s.values), prepare(s.name)));
    report("features-mask.png", writePicture(featuresMask(), prepare("features-mask.png"), PictureFormat::PNG));

    std::string error;
    if (auto t = thumbnail(argv[2], error))
        report("Style Thumbnail.png", writePicture(*t, prepare("Style Thumbnail.png"), PictureFormat::PNG));
    else
        report("Style Thumbnail.png", error);
    return failures ? 1 : 0;
}
