// The named styles: each subclass fixes its layer order and its recipe defaults; the
// tables below configure one instance per selectable style.

#include "vellari/styles/style_presets.h"

#include <cmath>

#include <spdlog/spdlog.h>

#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/platform/plist.h"

namespace vellari {

using C = QXCoreImageUtilities;

// --- style data

std::optional<StyleData> loadStyleData(const Bundle& bundle, const std::string& name) {
    const auto path = bundle.pathForResource("Settings/" + name, "plist");
    if (!path) {
        spdlog::warn("style settings \"Settings/{}.plist\" not found", name);
        return std::nullopt;
    }
    std::string error;
    auto value = readPlistFile(*path, &error);
    if (!value) {
        spdlog::warn("style settings: {}", error);
        return std::nullopt;
    }
    if (!value->dictionary()) {
        spdlog::warn("style settings {}: not a dictionary", *path);
        return std::nullopt;
    }
    return *value->dictionary();
}

std::optional<StyleData> styleDataWithOverrides(const std::optional<StyleData>& base, const StyleData& overrides) {
    if (overrides.empty()) return base;
    StyleData out = base.value_or(StyleData{});
    for (const auto& [key, value] : overrides) out.insert_or_assign(key, value);
    return out;
}

namespace {

// What every pipeline starts from: the output size, a white canvas of that size and the
// normalised input.
struct Frame {
    Size out;
    Image canvas;
    Image normalized;
};

std::optional<Frame> beginFrame(QXVideoFilterVellari& f, const Image& input) {
    if (!input) return std::nullopt;
    const Rect e = input.extent();
    // An empty or unbounded input has no output size to draw at.
    if (!(e.width > 0 && e.height > 0) || !std::isfinite(e.width) || !std::isfinite(e.height)) return std::nullopt;
    Frame fr;
    fr.out = f.outputSizeForInputSize(e.size());
    fr.canvas = Image::constantColor(Color::white()).cropped(Rect{0, 0, fr.out.width, fr.out.height});
    fr.normalized = f.normalizeImage(input);
    if (!fr.normalized) return std::nullopt;
    return fr;
}

// The ink blobs from the recipe properties, at the output size; none for blob type 0.
Image blobLayer(QXVideoFilterVellari& f, const Frame& fr) {
    const Image blobs =
        f.createBlobs(fr.normalized, f.blobsRadiusLower, f.blobsRadiusUpper, f.blobsThreshold, f.blobsType);
    if (!blobs) return {};
    return C::makeImage(blobs.samplingNearest(), fr.out).samplingNearest();
}

Image lineLayer(QXVideoFilterVellari& f, const Frame& fr) {
    // The working size is rounded on its own, so twice it may pass the output by a pixel.
    const Image lines = f.createLines(fr.normalized, f.lineType);
    return lines ? lines.cropped(fr.canvas.extent()).samplingNearest() : Image();
}

// `top` over `bottom`, or `bottom` alone when there is no top layer.
Image over(const Image& top, const Image& bottom) { return top ? top.compositedOver(bottom) : bottom; }

Image shadingOr(QXVideoFilterVellari& f, const Frame& fr, const Image& destination) {
    const Image s = f.createShading(fr.normalized, destination, f.shadingType);
    return s ? s.samplingNearest() : destination;
}

// --- table entries

template <class T>
std::shared_ptr<T> entry(const std::optional<StyleData>& data, const std::string& description,
                         const StyleData& overrides = {}) {
    auto f = std::make_shared<T>();
    f->styleData = styleDataWithOverrides(data, overrides);
    f->filterDescription = description;
    return f;
}

}  // namespace

// --- comic and mono

QXVideoFilterVellariBW::QXVideoFilterVellariBW() {
    setName("QXVideoFilterVellariBW");
    lineType = 1;
    shadingType = 10;
    createShadingSetColorSet(2);
    shadingGamma = 0.75;
    shadingThreshold = 0.65;
    shadingFactor = 2.0;
    shadingUsesSmoothScale = true;
    blobsType = 3;
    blobsThreshold = 0.4;
    blobsStriationsLower = 64.0;
    blobsStriationsUpper = 64.0;
}

Image QXVideoFilterVellariBW::processCIImage(const Image& input) {
    const auto fr = beginFrame(*this, input);
    if (!fr) return {};
    const Image blobs = blobLayer(*this, *fr);
    const Image drawing = over(lineLayer(*this, *fr), blobs ? blobs : fr->canvas);
    return shadingOr(*this, *fr, drawing);
}

StyleList QXVideoFilterVellariBW::comicsStyles(const Bundle& bundle) {
    const auto data = loadStyleData(bundle, "Comic Boost 3");
    StyleList list;
    const auto add = [&](const std::string& description, const StyleData& overrides, auto&& configure) {
        auto f = entry<QXVideoFilterVellariBW>(data, description, overrides);
        f->blobsThreshold = 0.25;
        f->shadingLevels = 3.0;
        f->shadingLevelsGamma = 0.75;
        f->shadingLevelsSmoothRadius = 4.0;
        f->textureType = 0;
        f->linesDiffWeight = 125.0;
        configure(*f);
        list.push_back(f);
    };
    add("Novel\nGraphic", {}, [](QXVideoFilterVellariBW& f) {
        f.shadingGamma = 1.0;
        f.shadingType = 10;
        f.shadingLevelsAlpha = 0.0;
    });
    add("Glossy\nGraphic", {{"flatness", 0.35}}, [](QXVideoFilterVellariBW& f) {
        f.shadingGamma = 1.0;
        f.shadingType = 10;
        f.shadingLevelsAlpha = 0.0;
    });
    add("Staples\nGraphic", {{"saturation", 1.0}, {"whitePoint", -0.05}}, [](QXVideoFilterVellariBW& f) {
        f.shadingType = 10;
        f.shadingLevelsAlpha = 0.75;
    });
    add("Ruby\nGraphic", {{"saturation", 1.0}}, [](QXVideoFilterVellariBW& f) {
        f.shadingType = 4;
        f.loadLUTNamed("LUTs/Diamond v08-32^3-64^20-25%.png");
        f.shadingLevelsAlpha = 0.5;
    });
    add("Bubble\nGraphic", {{"saturation", 1.0}}, [](QXVideoFilterVellariBW& f) {
        f.shadingType = 4;
        f.loadLUTNamed("LUTs/Cat v01-16^3-64^20-0%.png");
        f.shadingLevelsAlpha = 0.25;
    });
    add("Cascel\nGraphic", {{"saturation", 1.0}}, [](QXVideoFilterVellariBW& f) {
        f.shadingType = 4;
        f.loadLUTNamed("LUTs/Orange Happy v07-6^3-64^20-90%.png");
        f.shadingLevelsAlpha = 0.5;
    });
    add("Boreal\nGraphic",
        {{"temperature", 0.5},
         {"saturation", -0.15},
         {"shadowColorForFilter", int64_t(6)},
         {"shadowColorForFilter.secondaryValue", 0.1}},
        [](QXVideoFilterVellariBW& f) {
            f.shadingType = 4;
            f.loadLUTNamed("LUTs/Cmx_green-v4-8^3-64^50-25%");
            f.shadingLevelsAlpha = 0.25;
        });
    return list;
}

StyleList QXVideoFilterVellariBW::monoStyles(const Bundle& bundle) {
    const auto data = loadStyleData(bundle, "Default BW Lines");
    StyleList list;
    {
        auto f = entry<QXVideoFilterVellariBW>(data, "Mono 01");
        f->linesDiffWeight = 125.0;
        f->blobsRadiusLower = 8.0;
        f->shadingUsesSmoothScale = false;
        f->shadingType = 0;
        list.push_back(f);
    }
    {
        auto f = entry<QXVideoFilterVellariBW>(data, "Mono 02");
        f->linesDiffWeight = 125.0;
        f->blobsRadiusLower = 16.0;
        f->blobsThreshold = 0.65;
        f->shadingUsesSmoothScale = false;
        f->shadingType = 0;
        list.push_back(f);
    }
    return list;
}

// --- cel and vivid

QXVideoFilterVellariCel::QXVideoFilterVellariCel() {
    // Shares its name with the comic class; only the class tells them apart.
    setName("QXVideoFilterVellariBW");
    lineType = 1;
    shadingType = 10;
    createShadingSetColorSet(2);
    linesDiffWeight = 125.0;
    textureType = 0;
    shadingRadius = 16.0;
    shadingGamma = 1.0;
    shadingType = 4;
    shadingLevels = 4.0;
    shadingLevelsAlpha = 0.5;
    shadingLevelsGamma = 0.333;
    shadingLevelsSmoothRadius = 3.5;
}

Image QXVideoFilterVellariCel::processCIImage(const Image& input) {
    const auto fr = beginFrame(*this, input);
    if (!fr) return {};
    return shadingOr(*this, *fr, over(lineLayer(*this, *fr), fr->canvas));
}

StyleList QXVideoFilterVellariCel::celStyles(const Bundle& bundle) {
    const auto data = loadStyleData(bundle, "Comic Boost Cel Lines 5");
    StyleList list;
    const auto add = [&](const std::string& description, const StyleData& overrides, const std::string& lut,
                         double levelsGamma = 0) {
        auto f = entry<QXVideoFilterVellariCel>(data, description, overrides);
        if (levelsGamma > 0) f->shadingLevelsGamma = levelsGamma;
        f->loadLUTNamed(lut);
        list.push_back(f);
    };
    add("Cool\nCel", {}, "LUTs/Gamut Zone v05-32^3-64^20-0%.png");
    add("Neutral\nCel", {{"temperature", 0.2}, {"whitePoint", -0.05}},
        "LUTs/Gamut Zone v05 Neutral-32^3-64^20-0%.png");
    add("Ruby\nCel", {}, "LUTs/Diamond v08-32^3-64^20-25%.png");
    add("Bubble\nCel", {}, "LUTs/Cat v01-16^3-64^20-0%.png");
    add("Cascel\nCel", {{"contrast", 0.75}}, "LUTs/Orange Happy v07-6^3-64^20-90%.png");
    add("Mountain\nVivid", {{"flatness", -1.0}}, "LUTs/Clip Value v04-32^3-64^20-0%.png");
    add("Burst\nVivid", {}, "LUTs/Bright Value v01-32^3-64^20-0%.png", 0.8);
    return list;
}

// --- ink

QXVideoFilterVellariPencil::QXVideoFilterVellariPencil() {
    setName("QXVideoFilterVellariPencil");
    linesDiffWeight = 125.0;
    lineType = 1;
    linesColorLight = Color{1, 1, 1, 0.65};
    shadingType = 0;
    createShadingSetColorSet(2);
    shadingGamma = 0.75;
    shadingThreshold = 0.65;
    shadingFactor = 2.0;
    shadingUsesSmoothScale = true;
    shadingRadius = 32.0;
    shadingUsesSmoothScale = false;
    blobsType = 3;
    blobsThreshold = 0.4;
    blobsStriationsLower = 0.0;
    blobsStriationsUpper = 64.0;
    blobsRadiusLower = 8.0;
    textureType = 0;
}

Image QXVideoFilterVellariPencil::processCIImage(const Image& input) {
    const auto fr = beginFrame(*this, input);
    if (!fr) return {};
    const Image blobs = blobLayer(*this, *fr);
    Image base = createTexture(blobs ? blobs : fr->canvas, textureType);
    if (!base) base = blobs ? blobs : fr->canvas;
    return over(lineLayer(*this, *fr), shadingOr(*this, *fr, base.samplingNearest()));
}

StyleList QXVideoFilterVellariPencil::pencilStyles(const Bundle& bundle) {
    const auto data = loadStyleData(bundle, "Default BW Lines 4");
    StyleList list;
    list.push_back(entry<QXVideoFilterVellariPencil>(data, "Blobs\nInk"));
    auto blue = entry<QXVideoFilterVellariPencil>(data, "Blue Line\nInk");
    blue->blobsType = 4;
    blue->blobsColorLevels = 2.0;
    blue->blobsColorGamma = 2.0;
    blue->blobsRadiusLower = 12.0;
    blue->blobsColorLower = colorFromString("24282d");
    blue->blobsColorUpper = colorFromString("848d96");
    blue->blobsStriationsLower = 64.0;
    blue->blobsStriationsUpper = 32.0;
    blue->linesColorLight = colorFromString("c0e3f0");
    list.push_back(blue);
    return list;
}

// --- zip

QXVideoFilterVellariZip::QXVideoFilterVellariZip() {
    setName("QXVideoFilterVellariZip");
    lineType = 1;
    linesColorLight = Color{1, 1, 1, 0.65};
    shadingType = 10;
    createShadingSetColorSet(2);
    shadingGamma = 0.75;
    shadingThreshold = 0.65;
    shadingFactor = 2.0;
    shadingUsesSmoothScale = true;
    blobsType = 3;
    blobsThreshold = 0.4;
    blobsStriationsLower = 0.0;
    blobsStriationsUpper = 64.0;
}

Image QXVideoFilterVellariZip::processCIImage(const Image& input) {
    const auto fr = beginFrame(*this, input);
    if (!fr) return {};
    const Image blobs = blobLayer(*this, *fr);
    return over(lineLayer(*this, *fr), shadingOr(*this, *fr, blobs ? blobs : fr->canvas));
}

StyleList QXVideoFilterVellariZip::zipStyles(const Bundle& bundle) {
    const auto data = loadStyleData(bundle, "Default BW Lines");
    auto f = entry<QXVideoFilterVellariZip>(data, formatObjects(bundle.localizedString("Style_Zip_X"), {"01c"}));
    f->linesDiffWeight = 125.0;
    f->shadingUsesSmoothScale = false;
    f->shadingType = 8;
    f->shadingThreshold = 0.8;
    f->shadingRadius = 24.0;
    f->shadingSpotColor0 = Color::white();
    f->shadingSpotColor1 = colorFromString("c2cad2");
    f->shadingSpotColor2 = colorFromString("93a3b5");
    f->textureType = 4;
    f->blobsRadiusLower = 8.0;
    return {f};
}

// --- anime and the plain styles

QXVideoFilterVellariAnime::QXVideoFilterVellariAnime() {
    setName("QXVideoFilterVellariAnime");
    loadLUTNamed("LUTs/Vellari v022+Vibrance.png");
    linesGrayThreshold = -1.0;
    linesGrayContrastScale = 2.0;
    linesGrayBrightnessShift = -0.5;
    lineType = 2;
    linesColorDark = Color::black();
    linesColorLight = Color::white();
    shadingFactor = 2.0;
    shadingUsesSmoothScale = true;
    blobsType = 0;
}

QXVideoFilterVellariNone::QXVideoFilterVellariNone() {
    setName("QXVideoFilterVellariNone");
    styleData = StyleData{};
}

Image QXVideoFilterVellariNone::processCIImage(const Image& input) {
    const auto fr = beginFrame(*this, input);
    if (!fr) return {};
    return C::makeImage(fr->normalized, fr->out).samplingNearest();
}

QXVideoFilterNone::QXVideoFilterNone() { setName("None"); }

Image QXVideoFilterNone::processCIImage(const Image& input) {
    if (!input) return {};
    const Rect e = input.extent();
    if (!(e.width > 0 && e.height > 0) || !std::isfinite(e.width) || !std::isfinite(e.height)) return {};
    const Size out = outputSizeForInputSize(e.size());
    // Moved to the origin first, where every other style draws.
    return input.translated(-e.x, -e.y).scaled(out.width / e.width, out.height / e.height, true);
}

StyleList applicationStyles(const Bundle& bundle) {
    StyleList list = QXVideoFilterVellariCel::celStyles(bundle);
    for (auto& s : QXVideoFilterVellariBW::comicsStyles(bundle)) list.push_back(std::move(s));
    for (auto& s : QXVideoFilterVellariPencil::pencilStyles(bundle)) list.push_back(std::move(s));
    return list;
}

}  // namespace vellari
