// The named styles: the style tables, the subclass defaults, style data loading, the
// bundle resources they read and the layer order of each pipeline.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "test_support.h"
#include "vellari/common/core_image_utilities.h"
#include "vellari/common/device_and_system.h"
#include "vellari/platform/plist.h"
#include "vellari/styles/style_presets.h"

using namespace vellari;
using namespace vellari::test;
using C = QXCoreImageUtilities;

namespace {


template <class T>
std::shared_ptr<T> as(const StylePtr& p) {
    auto t = std::dynamic_pointer_cast<T>(p);
    EXPECT_TRUE(t) << p->className();
    return t;
}

std::vector<std::string> names(const StyleList& list) {
    std::vector<std::string> out;
    for (const auto& s : list) out.push_back(s->filterDescription);
    return out;
}

double number(const std::optional<StyleData>& d, const std::string& key) {
    if (!d) return NAN;
    auto it = d->find(key);
    return it == d->end() ? NAN : it->second.number(NAN);
}

Image photo(const std::string& name) {
    PictureResult r = readPicture(dataPath("photos/" + name));
    EXPECT_TRUE(r.ok()) << r.error;
    return Image::fromPicture(r.picture);
}

// The styles render at a small size so that each frame takes little time.
Image renderSmall(QXVideoFilterAbstract& f, const Image& input, double resolution = 96) {
    if (auto* v = dynamic_cast<QXVideoFilterVellari*>(&f)) v->setOutputResolution(resolution);
    else f.outputResolution = resolution;
    return f.processCIImage(input);
}

const Bundle& mainBundle() { return Bundle::main(); }

}  // namespace

// --- the tables

TEST(StylePresets, ApplicationListIsCelThenComicThenPencil) {
    FastDevice fast;
    const StyleList list = applicationStyles();
    const std::vector<std::string> expected{
        "Cool\nCel",         "Neutral\nCel",     "Ruby\nCel",        "Bubble\nCel",     "Cascel\nCel",
        "Mountain\nVivid",   "Burst\nVivid",     "Novel\nGraphic",   "Glossy\nGraphic", "Staples\nGraphic",
        "Ruby\nGraphic",     "Bubble\nGraphic",  "Cascel\nGraphic",  "Boreal\nGraphic", "Blobs\nInk",
        "Blue Line\nInk"};
    EXPECT_EQ(names(list), expected);
    ASSERT_EQ(list.size(), 16u);
    for (size_t i = 0; i < list.size(); ++i) {
        const char* cls = i < 7 ? "QXVideoFilterVellariCel" : i < 14 ? "QXVideoFilterVellariBW" : "QXVideoFilterVellariPencil";
        EXPECT_EQ(list[i]->className(), cls) << i;
    }
    // Each call builds new objects: the wrapper and a duplicate never share a style.
    const StyleList again = applicationStyles();
    for (size_t i = 0; i < list.size(); ++i) EXPECT_NE(list[i].get(), again[i].get());
}

TEST(StylePresets, CelTable) {
    FastDevice fast;
    const StyleList list = QXVideoFilterVellariCel::celStyles();
    ASSERT_EQ(list.size(), 7u);
    const auto plist = loadStyleData(mainBundle(), "Comic Boost Cel Lines 5");
    ASSERT_TRUE(plist);
    const std::vector<std::string> luts{
        "LUTs/Gamut Zone v05-32^3-64^20-0%.png", "LUTs/Gamut Zone v05 Neutral-32^3-64^20-0%.png",
        "LUTs/Diamond v08-32^3-64^20-25%.png",   "LUTs/Cat v01-16^3-64^20-0%.png",
        "LUTs/Orange Happy v07-6^3-64^20-90%.png", "LUTs/Clip Value v04-32^3-64^20-0%.png",
        "LUTs/Bright Value v01-32^3-64^20-0%.png"};
    for (size_t i = 0; i < list.size(); ++i) {
        auto f = as<QXVideoFilterVellariCel>(list[i]);
        ASSERT_TRUE(f);
        // The cel class is named like the comic class; only its class differs.
        EXPECT_EQ(f->name(), "QXVideoFilterVellariBW");
        EXPECT_EQ(f->defaultLUTName(), luts[i]);
        EXPECT_TRUE(f->hasDefaultLUT()) << luts[i];
        EXPECT_TRUE(f->colorLookupTableFilter);
        // init sets shading type 10 first and 4 later: 4 must win.
        EXPECT_EQ(f->shadingType, 4);
        EXPECT_EQ(f->shadingLevels, 4.0);
        EXPECT_EQ(f->shadingLevelsAlpha, 0.5);
        EXPECT_EQ(f->shadingLevelsSmoothRadius, 3.5);
        EXPECT_EQ(f->shadingLevelsGamma, i == 6 ? 0.8 : 0.333);
        EXPECT_EQ(f->shadingRadius, 16.0);
        EXPECT_EQ(f->shadingGamma, 1.0);
        EXPECT_EQ(f->lineType, 1);
        EXPECT_EQ(f->textureType, 0);
        EXPECT_EQ(f->shadingSpotColor0, colorFromString("7ac0c8"));
        EXPECT_EQ(f->shadingSpotColor2, colorFromString("ffa4a9"));
        ASSERT_TRUE(f->styleData);
    }
    // Entries without overrides carry the property list as it is.
    for (size_t i : {0u, 2u, 3u, 6u}) EXPECT_EQ(*list[i]->styleData, *plist) << i;
    const auto& neutral = list[1]->styleData;
    EXPECT_EQ(number(neutral, "temperature"), 0.2);
    EXPECT_EQ(number(neutral, "whitePoint"), -0.05);
    std::set<std::string> keys{"temperature", "whitePoint"};
    for (const auto& [key, v] : *plist) keys.insert(key);
    EXPECT_EQ(neutral->size(), keys.size());
    EXPECT_EQ(number(list[4]->styleData, "contrast"), 0.75);
    EXPECT_EQ(number(list[5]->styleData, "flatness"), -1.0);
    // Keys an entry does not override keep the list's values.
    for (const auto& [key, v] : *plist)
        if (key != "contrast") {
            EXPECT_EQ(list[4]->styleData->at(key), v) << key;
        }
}

TEST(StylePresets, ComicTable) {
    FastDevice fast;
    const StyleList list = QXVideoFilterVellariBW::comicsStyles();
    ASSERT_EQ(list.size(), 7u);
    EXPECT_EQ(names(list), (std::vector<std::string>{"Novel\nGraphic", "Glossy\nGraphic", "Staples\nGraphic",
                                                     "Ruby\nGraphic", "Bubble\nGraphic", "Cascel\nGraphic",
                                                     "Boreal\nGraphic"}));
    for (const auto& s : list) {
        auto f = as<QXVideoFilterVellariBW>(s);
        ASSERT_TRUE(f);
        EXPECT_EQ(f->name(), "QXVideoFilterVellariBW");
        EXPECT_EQ(f->blobsThreshold, 0.25);
        EXPECT_EQ(f->shadingLevels, 3.0);
        EXPECT_EQ(f->shadingLevelsGamma, 0.75);
        EXPECT_EQ(f->shadingLevelsSmoothRadius, 4.0);
        EXPECT_EQ(f->textureType, 0);
        EXPECT_EQ(f->linesDiffWeight, 125.0);
        EXPECT_EQ(f->blobsType, 3);
        EXPECT_EQ(f->blobsStriationsLower, 64.0);
        EXPECT_EQ(f->blobsStriationsUpper, 64.0);
    }
    auto novel = as<QXVideoFilterVellariBW>(list[0]);
    EXPECT_EQ(novel->shadingGamma, 1.0);
    EXPECT_EQ(novel->shadingType, 10);
    EXPECT_EQ(novel->shadingLevelsAlpha, 0.0);
    EXPECT_FALSE(novel->hasDefaultLUT());
    EXPECT_EQ(number(list[1]->styleData, "flatness"), 0.35);

    auto staples = as<QXVideoFilterVellariBW>(list[2]);
    EXPECT_EQ(staples->shadingGamma, 0.75);  // the class's value is kept
    EXPECT_EQ(staples->shadingType, 10);
    EXPECT_EQ(staples->shadingLevelsAlpha, 0.75);
    EXPECT_EQ(number(staples->styleData, "saturation"), 1.0);
    EXPECT_EQ(number(staples->styleData, "whitePoint"), -0.05);

    auto bubble = as<QXVideoFilterVellariBW>(list[4]);
    EXPECT_EQ(bubble->shadingType, 4);
    EXPECT_EQ(bubble->defaultLUTName(), "LUTs/Cat v01-16^3-64^20-0%.png");
    EXPECT_TRUE(bubble->hasDefaultLUT());
    EXPECT_EQ(bubble->shadingLevelsAlpha, 0.25);

    auto boreal = as<QXVideoFilterVellariBW>(list[6]);
    // Named without an extension; the bundle finds the picture by its stem.
    EXPECT_EQ(boreal->defaultLUTName(), "LUTs/Cmx_green-v4-8^3-64^50-25%");
    EXPECT_TRUE(boreal->hasDefaultLUT());
    EXPECT_EQ(boreal->shadingLevelsAlpha, 0.25);
    const auto& d = boreal->styleData;
    EXPECT_EQ(number(d, "temperature"), 0.5);
    EXPECT_EQ(number(d, "saturation"), -0.15);
    EXPECT_EQ(number(d, "shadowColorForFilter.secondaryValue"), 0.1);
    ASSERT_TRUE(d->count("shadowColorForFilter"));
    EXPECT_TRUE(d->at("shadowColorForFilter").isInteger());
    EXPECT_EQ(d->at("shadowColorForFilter").integer(), 6);
}

TEST(StylePresets, PencilTable) {
    FastDevice fast;
    const StyleList list = QXVideoFilterVellariPencil::pencilStyles();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(names(list), (std::vector<std::string>{"Blobs\nInk", "Blue Line\nInk"}));
    const auto plist = loadStyleData(mainBundle(), "Default BW Lines 4");
    ASSERT_TRUE(plist);

    auto blobs = as<QXVideoFilterVellariPencil>(list[0]);
    ASSERT_TRUE(blobs);
    EXPECT_EQ(blobs->name(), "QXVideoFilterVellariPencil");
    EXPECT_EQ(*blobs->styleData, *plist);
    // Light line pixels are white at 65 % opacity.
    EXPECT_EQ(blobs->linesColorLight, (Color{1, 1, 1, 0.65}));
    EXPECT_EQ(blobs->linesColorDark, Color::black());
    EXPECT_EQ(blobs->shadingType, 0);
    EXPECT_FALSE(blobs->shadingUsesSmoothScale);  // set YES, then NO
    EXPECT_EQ(blobs->shadingRadius, 32.0);
    EXPECT_EQ(blobs->blobsType, 3);
    EXPECT_EQ(blobs->blobsStriationsLower, 0.0);
    EXPECT_EQ(blobs->blobsStriationsUpper, 64.0);
    EXPECT_EQ(blobs->blobsRadiusLower, 8.0);
    EXPECT_EQ(blobs->textureType, 0);

    auto blue = as<QXVideoFilterVellariPencil>(list[1]);
    ASSERT_TRUE(blue);
    EXPECT_EQ(blue->blobsType, 4);
    EXPECT_EQ(blue->blobsColorLevels, 2.0);
    EXPECT_EQ(blue->blobsColorGamma, 2.0);
    EXPECT_EQ(blue->blobsRadiusLower, 12.0);
    ASSERT_TRUE(blue->blobsColorLower && blue->blobsColorUpper);
    EXPECT_NEAR(blue->blobsColorLower->r, 0x24 / 255.0, 1e-12);
    EXPECT_NEAR(blue->blobsColorLower->b, 0x2d / 255.0, 1e-12);
    EXPECT_NEAR(blue->blobsColorUpper->g, 0x8d / 255.0, 1e-12);
    EXPECT_EQ(blue->blobsStriationsLower, 64.0);
    EXPECT_EQ(blue->blobsStriationsUpper, 32.0);
    EXPECT_NEAR(blue->linesColorLight.b, 0xf0 / 255.0, 1e-12);
    EXPECT_EQ(blue->linesColorLight.a, 1.0);
}

TEST(StylePresets, MonoAndZipTables) {
    FastDevice fast;
    const auto plist = loadStyleData(mainBundle(), "Default BW Lines");
    ASSERT_TRUE(plist);
    const StyleList mono = QXVideoFilterVellariBW::monoStyles();
    ASSERT_EQ(mono.size(), 2u);
    EXPECT_EQ(names(mono), (std::vector<std::string>{"Mono 01", "Mono 02"}));
    auto m1 = as<QXVideoFilterVellariBW>(mono[0]), m2 = as<QXVideoFilterVellariBW>(mono[1]);
    EXPECT_EQ(m1->blobsRadiusLower, 8.0);
    EXPECT_EQ(m1->blobsThreshold, 0.4);  // the class value
    EXPECT_EQ(m2->blobsRadiusLower, 16.0);
    EXPECT_EQ(m2->blobsThreshold, 0.65);
    for (const auto& m : {m1, m2}) {
        EXPECT_EQ(m->shadingType, 0);
        EXPECT_FALSE(m->shadingUsesSmoothScale);
        EXPECT_EQ(*m->styleData, *plist);
    }

    const StyleList zip = QXVideoFilterVellariZip::zipStyles();
    ASSERT_EQ(zip.size(), 1u);
    auto z = as<QXVideoFilterVellariZip>(zip[0]);
    ASSERT_TRUE(z);
    // The display name is the localised format with the edition "01c".
    const std::string format = mainBundle().localizedString("Style_Zip_X");
    EXPECT_NE(format, "Style_Zip_X") << "the string table has no entry";
    EXPECT_EQ(z->filterDescription, formatObjects(format, {"01c"}));
    EXPECT_NE(z->filterDescription.find("01c"), std::string::npos);
    EXPECT_EQ(z->name(), "QXVideoFilterVellariZip");
    EXPECT_EQ(z->shadingType, 8);
    EXPECT_EQ(z->shadingThreshold, 0.8);
    EXPECT_EQ(z->shadingRadius, 24.0);
    EXPECT_FALSE(z->shadingUsesSmoothScale);
    EXPECT_EQ(z->shadingSpotColor0, Color::white());
    EXPECT_EQ(z->shadingSpotColor1, colorFromString("c2cad2"));
    EXPECT_EQ(z->shadingSpotColor2, colorFromString("93a3b5"));
    EXPECT_EQ(z->textureType, 4);
    EXPECT_EQ(z->linesColorLight, (Color{1, 1, 1, 0.65}));
    EXPECT_EQ(*z->styleData, *plist);
}

TEST(StylePresets, AnimeAndPlainStyles) {
    FastDevice fast;
    QXVideoFilterVellariAnime anime;
    EXPECT_EQ(anime.name(), "QXVideoFilterVellariAnime");
    EXPECT_EQ(anime.defaultLUTName(), "LUTs/Vellari v022+Vibrance.png");
    EXPECT_TRUE(anime.hasDefaultLUT());
    EXPECT_EQ(anime.lineType, 2);
    EXPECT_EQ(anime.linesGrayThreshold, -1.0);
    EXPECT_EQ(anime.linesGrayContrastScale, 2.0);
    EXPECT_EQ(anime.linesGrayBrightnessShift, -0.5);
    EXPECT_EQ(anime.blobsType, 0);
    EXPECT_EQ(anime.shadingType, 3);  // the base value

    QXVideoFilterVellariNone none;
    EXPECT_EQ(none.name(), "QXVideoFilterVellariNone");
    ASSERT_TRUE(none.styleData);
    EXPECT_TRUE(none.styleData->empty());

    QXVideoFilterNone plain;
    EXPECT_EQ(plain.name(), "None");
    EXPECT_FALSE(plain.styleData);
}

TEST(StylePresets, CopiesAreFreshInstancesOfTheSameClass) {
    FastDevice fast;
    StyleList all = applicationStyles();
    for (auto& s : QXVideoFilterVellariZip::zipStyles()) all.push_back(s);
    all.push_back(std::make_shared<QXVideoFilterVellariAnime>());
    all.push_back(std::make_shared<QXVideoFilterVellariNone>());
    all.push_back(std::make_shared<QXVideoFilterNone>());
    for (const auto& s : all) {
        const auto c = s->copy();
        ASSERT_TRUE(c);
        EXPECT_EQ(c->className(), s->className());
        EXPECT_EQ(c->name(), s->name());
        EXPECT_NE(c.get(), s.get());
    }
    // A copy has the class defaults, not the table's settings.
    auto boreal = as<QXVideoFilterVellariBW>(QXVideoFilterVellariBW::comicsStyles()[6]->copy());
    EXPECT_FALSE(boreal->hasDefaultLUT());
    EXPECT_EQ(boreal->blobsThreshold, 0.4);
    EXPECT_FALSE(boreal->styleData);
    auto cel = as<QXVideoFilterVellariCel>(QXVideoFilterVellariCel::celStyles()[0]->copy());
    EXPECT_EQ(cel->shadingType, 4);
}

// --- style data

TEST(StylePresetsData, MissingListLeavesOnlyTheOverrides) {
    FastDevice fast;
    const Bundle empty(tempDir());
    const StyleList cel = QXVideoFilterVellariCel::celStyles(empty);
    ASSERT_EQ(cel.size(), 7u);
    EXPECT_FALSE(cel[0]->styleData);  // no overrides: absent
    ASSERT_TRUE(cel[1]->styleData);
    EXPECT_EQ(cel[1]->styleData->size(), 2u);
    EXPECT_EQ(number(cel[1]->styleData, "temperature"), 0.2);
    EXPECT_EQ(number(cel[1]->styleData, "whitePoint"), -0.05);

    const StyleList comic = QXVideoFilterVellariBW::comicsStyles(empty);
    EXPECT_FALSE(comic[0]->styleData);
    ASSERT_TRUE(comic[6]->styleData);
    EXPECT_EQ(comic[6]->styleData->size(), 4u);
    EXPECT_FALSE(QXVideoFilterVellariPencil::pencilStyles(empty)[1]->styleData);
    EXPECT_FALSE(QXVideoFilterVellariBW::monoStyles(empty)[0]->styleData);
    // The tables still work without the settings: the recipes do not depend on them.
    EXPECT_EQ(cel[0]->filterDescription, "Cool\nCel");
    // No string table there: the key itself is the format.
    EXPECT_EQ(QXVideoFilterVellariZip::zipStyles(empty)[0]->filterDescription, "Style_Zip_X");
}

TEST(StylePresetsData, UnreadableOrWrongListsAreAbsent) {
    const std::string root = tempDir();
    std::filesystem::create_directories(root + "/Settings");
    std::ofstream(root + "/Settings/Broken.plist") << "<plist><dict><key>a</key>";
    std::ofstream(root + "/Settings/Array.plist")
        << "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><real>1</real></array></plist>";
    PlistDictionary ok{{"contrast", 0.5}};
    ASSERT_EQ(writePlistFile(PlistValue(ok), root + "/Settings/Good.plist"), "");
    const Bundle b(root);
    EXPECT_FALSE(loadStyleData(b, "Broken"));
    EXPECT_FALSE(loadStyleData(b, "Array"));
    EXPECT_FALSE(loadStyleData(b, "Missing"));
    auto good = loadStyleData(b, "Good");
    ASSERT_TRUE(good);
    EXPECT_EQ(*good, ok);
    // Names are resolved inside the bundle only.
    EXPECT_FALSE(loadStyleData(b, "../Settings/Good"));
}

TEST(StylePresetsData, OverridesReplaceKeys) {
    StyleData base{{"contrast", 0.1}, {"lines", 0.2}};
    auto out = styleDataWithOverrides(base, {{"contrast", 0.75}, {"temperature", 0.2}});
    ASSERT_TRUE(out);
    EXPECT_EQ(out->size(), 3u);
    EXPECT_EQ(number(out, "contrast"), 0.75);
    EXPECT_EQ(number(out, "lines"), 0.2);
    EXPECT_EQ(number(out, "temperature"), 0.2);
    EXPECT_EQ(number(base, "contrast"), 0.1);  // the list itself is not changed
    EXPECT_EQ(styleDataWithOverrides(base, {}), base);
    EXPECT_FALSE(styleDataWithOverrides(std::nullopt, {}));
}

// --- the resources

namespace {

struct LutCase {
    std::string name;
    int n;
};

// Every look-up table the styles name.
std::vector<LutCase> namedLuts() {
    FastDevice fast;
    std::vector<LutCase> out;
    std::set<std::string> seen;
    StyleList all = applicationStyles();
    all.push_back(std::make_shared<QXVideoFilterVellariAnime>());
    for (const auto& s : all) {
        auto v = std::dynamic_pointer_cast<QXVideoFilterVellari>(s);
        if (!v || v->defaultLUTName().empty() || !seen.insert(v->defaultLUTName()).second) continue;
        // The cube dimension is the number before "^3" in the name; 32 when there is none.
        std::smatch m;
        const std::string& name = v->defaultLUTName();
        int n = std::regex_search(name, m, std::regex("-(\\d+)\\^3")) ? std::stoi(m[1]) : 32;
        out.push_back({name, n});
    }
    out.push_back({"teeth-LUT.png", 32});
    return out;
}

}  // namespace

TEST(StylePresetsResources, EveryNamedTableLoadsAsACubeAndIsNotTheIdentity) {
    const auto luts = namedLuts();
    EXPECT_EQ(luts.size(), 10u);  // nine style tables and the teeth table
    for (const auto& [name, n] : luts) {
        SCOPED_TRACE(name);
        const Picture p = C::imageNamed(name, mainBundle(), false);
        ASSERT_FALSE(p.isNull());
        EXPECT_EQ(p.width(), n);
        EXPECT_EQ(p.height(), n * n);
        FilterPtr cube = QXVideoFilterAbstract::createColorCubeFilterFromLUT(&p);
        ASSERT_TRUE(cube);
        EXPECT_EQ(cube->value("inputCubeDimension").number(), n);

        // How far the table moves colours from where they are.
        double maxShift = 0;
        for (int b = 0; b < n; ++b)
            for (int g = 0; g < n; ++g)
                for (int r = 0; r < n; ++r) {
                    const uint8_t* px = p.pixel(r, b * n + g);
                    const int idx[3] = {r, g, b};
                    for (int c = 0; c < 3; ++c)
                        maxShift = std::max(maxShift, std::abs(px[c] / 255.0 - idx[c] / double(n - 1)));
                }
        EXPECT_GT(maxShift, 0.08);

        // Lattice colours come out as the picture's entries: the layout is the one the
        // cube reads (red to the right, green downwards, blue by tile).
        const int ri = n - 1, gi = n / 3, bi = n / 2;
        const Image in = solid(2, 2, float(ri / double(n - 1)), float(gi / double(n - 1)), float(bi / double(n - 1)), 1);
        cube->setValue("inputImage", in);
        const Pixels out = readPixels(cube->outputImage(), {0, 0, 2, 2});
        const uint8_t* want = p.pixel(ri, bi * n + gi);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(out.at(0, 0, c), want[c] / 255.0, 2e-3) << c;
    }
}

TEST(StylePresetsResources, TeethTableWhitensAndDrainsYellow) {
    const Picture p = C::imageNamed("teeth-LUT.png", mainBundle(), false);
    ASSERT_EQ(p.width(), 32);
    // A yellowed tooth colour, at lattice (27, 24, 14) of 31.
    const uint8_t* px = p.pixel(27, 14 * 32 + 24);
    const double r = 27 / 31.0, g = 24 / 31.0, b = 14 / 31.0;
    const double inChroma = std::max({r, g, b}) - std::min({r, g, b});
    const double outChroma = (std::max({px[0], px[1], px[2]}) - std::min({px[0], px[1], px[2]})) / 255.0;
    EXPECT_LT(outChroma, inChroma * 0.6);
    EXPECT_GT(px[0] + px[1] + px[2], (r + g + b) * 255);
}

TEST(StylePresetsResources, SettingsHoldKnownAdjustmentsInRange) {
    // The adjustments a preset may carry, with their ranges.
    const std::map<std::string, std::pair<double, double>> ranges{
        {"lines", {-1, 1}},       {"linesNoiseReduction", {0, 1}}, {"shadows", {-1, 1}},
        {"flatness", {-1, 1}},    {"brightness", {-1, 1}},         {"contrast", {-1, 1}},
        {"blackPoint", {-1, 1}},  {"whitePoint", {-1, 1}},         {"saturation", {-1, 1}},
        {"vibrance", {-1, 1}},    {"temperature", {-1, 1}},        {"tint", {-1, 1}},
        {"shadowColor", {0, 6}},  {"highlightColor", {0, 6}},      {"shadowColorForFilter", {0, 6}},
        {"highlightColorForFilter", {0, 6}}};
    for (const char* name : {"Default BW Lines", "Comic Boost 3", "Default BW Lines 4", "Comic Boost Cel Lines 5"}) {
        SCOPED_TRACE(name);
        const auto d = loadStyleData(mainBundle(), name);
        ASSERT_TRUE(d);
        EXPECT_FALSE(d->empty());
        for (const auto& [key, value] : *d) {
            const auto dot = key.find('.');
            const std::string kind = key.substr(0, dot), part = dot == std::string::npos ? "" : key.substr(dot + 1);
            ASSERT_TRUE(ranges.count(kind)) << key;
            if (part == "stage") {
                EXPECT_TRUE(value.isString()) << key;
                continue;
            }
            ASSERT_TRUE(part.empty() || part == "secondaryValue") << key;
            ASSERT_TRUE(value.isNumber()) << key;
            const auto [lo, hi] = part.empty() ? ranges.at(kind) : std::pair<double, double>{0, 1};
            EXPECT_GE(value.number(), lo) << key;
            EXPECT_LE(value.number(), hi) << key;
            if (part.empty() && hi == 6) {
                EXPECT_TRUE(value.isInteger()) << key;
            }
        }
    }
}

TEST(StylePresetsResources, FeaturesMaskAndThumbnail) {
    const Picture mask = C::imageNamed("features-mask", mainBundle(), false);
    ASSERT_FALSE(mask.isNull());
    EXPECT_EQ(mask.width(), mask.height());
    const int s = mask.width(), c = s / 2;
    EXPECT_EQ(mask.pixel(c, c)[3], 255);
    EXPECT_EQ(mask.pixel(0, 0)[3], 0);
    EXPECT_EQ(mask.pixel(c, 0)[3], 0);
    // Soft: alpha falls steadily from the centre to the rim, with partial values between.
    int previous = 256, partial = 0;
    for (int x = c; x < s; ++x) {
        const int a = mask.pixel(x, c)[3];
        EXPECT_LE(a, previous) << x;
        previous = a;
        partial += a > 0 && a < 255;
    }
    EXPECT_GT(partial, s / 8);

    const Picture thumb = C::imageNamed("Style Thumbnail", mainBundle(), false);
    ASSERT_FALSE(thumb.isNull());
    EXPECT_EQ(thumb.width(), 256);
    EXPECT_EQ(thumb.height(), 256);
}

// --- the pipelines

TEST(StylePresetsRender, EveryPipelineDrawsAtTheOutputSize) {
    FastDevice fast;
    StyleList all = applicationStyles();
    for (auto& s : QXVideoFilterVellariBW::monoStyles()) all.push_back(s);
    for (auto& s : QXVideoFilterVellariZip::zipStyles()) all.push_back(s);
    all.push_back(std::make_shared<QXVideoFilterVellariAnime>());
    all.push_back(std::make_shared<QXVideoFilterVellariNone>());
    all.push_back(std::make_shared<QXVideoFilterNone>());
    const Image cat = photo("chelsea.png");  // 451 × 300
    for (const auto& s : all) {
        SCOPED_TRACE(s->filterDescription + " " + s->className());
        const Image out = renderSmall(*s, cat);
        ASSERT_TRUE(out);
        const Size o = s->outputSizeForInputSize(cat.extent().size());
        EXPECT_EQ(o.height, 96);
        EXPECT_EQ(out.extent(), (Rect{0, 0, o.width, o.height}));
        const Pixels px = readPixels(out);
        for (size_t i = 3; i < px.data.size(); i += 4) ASSERT_NEAR(px.data[i], 1.0f, 1e-4) << "not opaque";
    }
}

TEST(StylePresetsRender, EmptyInputGivesNoImage) {
    FastDevice fast;
    for (const auto& s : applicationStyles()) EXPECT_FALSE(s->processCIImage(Image())) << s->filterDescription;
    EXPECT_FALSE(QXVideoFilterNone().processCIImage(Image::empty()));
    EXPECT_FALSE(QXVideoFilterVellariBW().processCIImage(Image::empty()));
}

TEST(StylePresetsRender, MonoIsGreyAndColourStylesAreNot) {
    FastDevice fast;
    const Image coffee = photo("coffee.png");
    const auto chroma = [](const Pixels& p, double& dark, double& light) {
        double most = 0;
        size_t nd = 0, nl = 0;
        for (size_t i = 0; i < p.data.size(); i += 4) {
            const float r = p.data[i], g = p.data[i + 1], b = p.data[i + 2];
            most = std::max<double>(most, std::max({r, g, b}) - std::min({r, g, b}));
            nd += r < 0.2f;
            nl += r > 0.8f;
        }
        dark = double(nd) / (p.data.size() / 4);
        light = double(nl) / (p.data.size() / 4);
        return most;
    };
    for (const auto& s : QXVideoFilterVellariBW::monoStyles()) {
        SCOPED_TRACE(s->filterDescription);
        double dark, light;
        EXPECT_LT(chroma(readPixels(renderSmall(*s, coffee)), dark, light), 1.0 / 255);
        // Lines and blobs: both ink and paper show.
        EXPECT_GT(dark, 0.05);
        EXPECT_GT(light, 0.05);
    }
    // The comic class with a shading type colours the same drawing.
    for (const auto& s : {QXVideoFilterVellariBW::comicsStyles()[0], QXVideoFilterVellariCel::celStyles()[0]}) {
        double dark, light;
        EXPECT_GT(chroma(readPixels(renderSmall(*s, coffee)), dark, light), 0.3) << s->filterDescription;
    }
}

TEST(StylePresetsRender, ZipTonesWarmPicturesWithItsBlueGreys) {
    // On a warm, red-dominated photo the tone classes must still reach the two blue-grey
    // spot colours, or the style is a plain black and white one.
    FastDevice fast;
    const Pixels p = readPixels(renderSmall(*QXVideoFilterVellariZip::zipStyles()[0], photo("chelsea.png"), 160));
    size_t toned = 0;
    for (size_t i = 0; i < p.data.size(); i += 4) {
        const float r = p.data[i], b = p.data[i + 2];
        toned += b > r + 0.04f && r > 0.2f && r < 0.9f;  // bluish grey, neither ink nor paper
    }
    EXPECT_GT(double(toned) / (p.data.size() / 4), 0.1);
}

TEST(StylePresetsRender, InkStylesDrawOnWhitePaper) {
    FastDevice fast;
    const Image face = photo("astronaut.png");
    auto ink = QXVideoFilterVellariPencil::pencilStyles()[0];
    const Pixels p = readPixels(renderSmall(*ink, face, 128));
    size_t white = 0, grey = 0;
    for (size_t i = 0; i < p.data.size(); i += 4) {
        const float r = p.data[i], g = p.data[i + 1], b = p.data[i + 2];
        EXPECT_NEAR(r, g, 1e-3);
        EXPECT_NEAR(g, b, 1e-3);
        white += r > 0.99f;
        grey += r > 0.02f && r < 0.98f;
    }
    const double n = p.data.size() / 4.0;
    EXPECT_GT(white / n, 0.3);
    // The light line colour is translucent: where it falls on a black blob it leaves grey.
    EXPECT_GT(grey, 0u);
}

TEST(StylePresetsRender, PlainStylesOnlyResize) {
    FastDevice fast;
    // A smooth ramp: a style would add lines, blobs or colour; resizing keeps the ramp.
    const int w = 200, h = 100;
    const Image ramp = imageFrom(w, h, [&](int x, int y, float* p) {
        p[0] = float(x) / w;
        p[1] = float(y) / h;
        p[2] = 0.5f;
        p[3] = 1;
    });
    for (const StylePtr& s : {StylePtr(std::make_shared<QXVideoFilterNone>()),
                              StylePtr(std::make_shared<QXVideoFilterVellariNone>())}) {
        SCOPED_TRACE(s->className());
        const Image out = renderSmall(*s, ramp, 50);
        ASSERT_TRUE(out);
        EXPECT_EQ(out.extent(), (Rect{0, 0, 100, 50}));
        const Pixels p = readPixels(out);
        for (int y = 2; y < 48; y += 5)
            for (int x = 2; x < 98; x += 7) {
                EXPECT_NEAR(p.at(x, y, 0), (x + 0.5) / 100, 0.03) << x << "," << y;
                EXPECT_NEAR(p.at(x, y, 1), (y + 0.5) / 50, 0.04) << x << "," << y;
                EXPECT_NEAR(p.at(x, y, 2), 0.5, 1e-3);
            }
    }
    // An input placed away from the origin is drawn at the origin like every style.
    const Image moved = ramp.translated(30, 40);
    QXVideoFilterNone none;
    EXPECT_EQ(renderSmall(none, moved, 50).extent(), (Rect{0, 0, 100, 50}));
}
