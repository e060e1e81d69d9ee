// WebP pictures: decoding and its errors, encoding, fitting sizes, and the picture layer
// reading and writing WebP through the registered codec.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "vellari/platform/bundle.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/plist.h"
#include "vellari/webp/webp_image_serialization.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using S = WebPImageSerialization;
using test::dataPath;
using test::tempDir;

Picture photo(const std::string& name = "astronaut.png") {
    PictureResult r = readPicture(dataPath("photos/" + name));
    EXPECT_TRUE(r.ok()) << r.error;
    return r.picture;
}

template <class F>
Picture makePicture(int w, int h, F&& f) {
    Picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f(x, y, p.pixel(x, y));
    return p;
}

// Colour noise under an alpha that takes every value, fully transparent pixels included.
Picture noiseWithAlpha(int w, int h, unsigned seed) {
    std::mt19937 rng(seed);
    return makePicture(w, h, [&](int x, int y, uint8_t* q) {
        for (int c = 0; c < 3; ++c) q[c] = uint8_t(rng());
        q[3] = uint8_t((x + y * w) % 256);
    });
}

// PSNR of the colour channels.
double psnr(const Picture& a, const Picture& b) {
    EXPECT_EQ(a.width(), b.width());
    EXPECT_EQ(a.height(), b.height());
    double se = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.rgba().size() && i < b.rgba().size(); ++i) {
        if (i % 4 == 3) continue;
        const double d = double(a.rgba()[i]) - b.rgba()[i];
        se += d * d;
        ++n;
    }
    return se == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(255.0 * 255.0 / (se / n));
}

Bytes encodeOrFail(const Picture& p, int preset, float quality) {
    WebPError e;
    Bytes b = S::dataWithImage(p, preset, quality, &e);
    EXPECT_FALSE(b.empty()) << e.localizedDescription;
    return b;
}

void writeBytes(const std::string& path, const Bytes& b) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

// Files built chunk by chunk, for the decoder's error paths.
void le(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
Bytes chunk(const char* tag, const Bytes& payload) {
    Bytes b(tag, tag + 4);
    le(b, uint32_t(payload.size()), 4);
    b.insert(b.end(), payload.begin(), payload.end());
    if (payload.size() & 1) b.push_back(0);
    return b;
}
Bytes riff(const Bytes& body) {
    Bytes b{'R', 'I', 'F', 'F'};
    le(b, uint32_t(body.size() + 4), 4);
    b.insert(b.end(), {'W', 'E', 'B', 'P'});
    b.insert(b.end(), body.begin(), body.end());
    return b;
}

void expectError(const WebPError& e, const std::string& description) {
    EXPECT_EQ(e.domain, "com.webp.image.error");
    EXPECT_EQ(e.code, -1);
    EXPECT_EQ(e.localizedDescription, description);
}

std::string decodeError(const Bytes& data, Size fitting = {}) {
    WebPError e;
    Picture p = S::imageWithData(data, 1.0, fitting, &e);
    EXPECT_TRUE(p.isNull());
    return e.localizedDescription;
}

// ---------------------------------------------------------------------------------------

TEST(WebPDecodeErrors, DataThatIsNotWebPIsAHeaderError) {
    const Bytes png = encodePicture(photo("chelsea.png"), PictureFormat::PNG);
    for (const Bytes& data : {png, Bytes{}, Bytes{'R', 'I', 'F', 'F'}, Bytes(100, 0x55)}) {
        WebPError e;
        EXPECT_TRUE(S::imageWithData(data, &e).isNull());
        expectError(e, "WebP header formatting error");
        EXPECT_FALSE(S::isWebP(data));
    }
    // Cut inside the header, the size cannot be read either.
    const Bytes webp = encodeOrFail(photo("chelsea.png"), S::PresetDefault, 75);
    EXPECT_EQ(decodeError(Bytes(webp.begin(), webp.begin() + 20)), "WebP header formatting error");
}

TEST(WebPDecodeErrors, TruncatedFileIsNotEnoughData) {
    for (bool lossless : {false, true}) {
        const Picture p = photo("chelsea.png");
        const Bytes full = lossless ? S::losslessDataWithImage(p) : encodeOrFail(p, S::PresetPhoto, 80);
        ASSERT_GT(full.size(), 100u);
        for (size_t keep : {size_t(40), full.size() / 2, full.size() - 1}) {
            const Bytes cut(full.begin(), full.begin() + ptrdiff_t(keep));
            EXPECT_TRUE(S::isWebP(cut));  // the header alone is intact
            WebPError e;
            EXPECT_TRUE(S::imageWithData(cut, &e).isNull());
            expectError(e, "VP8 not enough data");
        }
        // Through the ordinary reading path the file's name leads the message.
        const std::string path = tempDir() + "/cut.webp";
        writeBytes(path, Bytes(full.begin(), full.begin() + ptrdiff_t(full.size() / 2)));
        PictureResult r = readPicture(path);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.error, path + ": VP8 not enough data");
    }
}

TEST(WebPDecodeErrors, DamagedAndUnsupportedStreams) {
    // A lossless stream that names the same transform twice.
    const int w = 4, h = 3;
    Bytes stream{0x2f};
    le(stream, uint32_t(w - 1) | uint32_t(h - 1) << 14, 4);
    stream.push_back(0x2d);  // bits 1,0,1 1,0,1: "subtract green" present, then again
    stream.insert(stream.end(), 8, 0);
    EXPECT_EQ(decodeError(riff(chunk("VP8L", stream))), "VP8 bitstream error");

    // An animation: a valid frame inside, but not a still picture.
    const Bytes still = S::losslessDataWithImage(noiseWithAlpha(w, h, 3));
    const Bytes frame(still.begin() + 12, still.end());
    Bytes vp8x{0x02, 0, 0, 0}, anim, anmf;
    le(vp8x, w - 1, 3), le(vp8x, h - 1, 3);
    le(anim, 0, 4), le(anim, 0, 2);
    le(anmf, 0, 3), le(anmf, 0, 3), le(anmf, w - 1, 3), le(anmf, h - 1, 3), le(anmf, 100, 3);
    anmf.push_back(0);
    anmf.insert(anmf.end(), frame.begin(), frame.end());
    Bytes body = chunk("VP8X", vp8x);
    for (const Bytes& c : {chunk("ANIM", anim), chunk("ANMF", anmf)}) body.insert(body.end(), c.begin(), c.end());
    const Bytes animation = riff(body);
    ASSERT_TRUE(S::isWebP(animation));
    WebPError e;
    EXPECT_TRUE(S::imageWithData(animation, &e).isNull());
    expectError(e, "VP8 unsupported feature");
}

TEST(WebPDecodeErrors, OversizedFittingSizeIsRefusedNotAttempted) {
    const Bytes data = encodeOrFail(makePicture(8, 8, [](int, int, uint8_t* q) { q[0] = q[3] = 255; }), 0, 50);
    WebPError e;
    EXPECT_TRUE(S::imageWithData(data, 1.0, Size{1e9, 1e9}, &e).isNull());
    expectError(e, "VP8 out of memory");
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(decodeError(data, Size{inf, inf}), "VP8 out of memory");
}

TEST(WebPEncodeErrors, BadPresetsQualitiesAndPictures) {
    const Picture p = photo("chelsea.png");
    for (auto [preset, quality] : std::vector<std::pair<int, float>>{
             {-1, 50}, {6, 50}, {0, -1}, {0, 100.5f}, {0, std::numeric_limits<float>::quiet_NaN()}}) {
        WebPError e;
        EXPECT_TRUE(S::dataWithImage(p, preset, quality, &e).empty()) << preset << " " << quality;
        expectError(e, "WebP image configuration preset initialization failed.");
    }
    Picture shrunk = p;
    shrunk.rgba().resize(10);  // storage no longer matches the size
    for (const Picture& bad : {Picture(), Picture(16384, 1), shrunk}) {
        WebPError e;
        EXPECT_TRUE(S::dataWithImage(bad, &e).empty());
        expectError(e, "WebP image failed to initialize structure.");
    }
    // Through the picture layer the same text comes back.
    std::string error;
    EXPECT_TRUE(encodePicture(Picture(16384, 1), PictureFormat::WebP, 0.9, &error).empty());
    EXPECT_EQ(error, "WebP image failed to initialize structure.");
}

// ---------------------------------------------------------------------------------------

TEST(WebPRoundTrip, LossyPhotoStaysClose) {
    const Picture p = photo();
    WebPError e;
    const Bytes data = S::dataWithImage(p, S::PresetPhoto, 90, &e);
    ASSERT_FALSE(data.empty()) << e.localizedDescription;
    EXPECT_LT(data.size(), p.rgba().size() / 4);  // it really compressed
    const Picture back = S::imageWithData(data, &e);
    ASSERT_FALSE(back.isNull()) << e.localizedDescription;
    EXPECT_EQ(back.width(), p.width());
    EXPECT_EQ(back.height(), p.height());
    EXPECT_EQ(back.orientation(), 1);
    EXPECT_GT(psnr(p, back), 30.0);
    for (size_t i = 3; i < back.rgba().size(); i += 4) ASSERT_EQ(back.rgba()[i], 255);
}

TEST(WebPRoundTrip, LosslessIsExactIncludingTransparentColour) {
    for (const Picture& p : {noiseWithAlpha(37, 23, 1), photo("coffee.png")}) {
        WebPError e;
        const Bytes data = S::losslessDataWithImage(p, 75, &e);
        ASSERT_FALSE(data.empty()) << e.localizedDescription;
        const Picture back = S::imageWithData(data, &e);
        ASSERT_EQ(back.width(), p.width());
        ASSERT_EQ(back.height(), p.height());
        EXPECT_TRUE(back.rgba() == p.rgba());
    }
}

TEST(WebPRoundTrip, LossyKeepsAlphaStraight) {
    // Half-transparent red over a gradient of alpha: straight alpha keeps the colour red at
    // every opacity instead of darkening it.
    const Picture p = makePicture(64, 64, [](int x, int y, uint8_t* q) {
        q[0] = 220, q[1] = 30, q[2] = 40;
        q[3] = uint8_t(std::min(255, x * 4 + (y / 32) * 2));
    });
    const Picture back = S::imageWithData(encodeOrFail(p, S::PresetDefault, 95));
    ASSERT_FALSE(back.isNull());
    int worstAlpha = 0, worstColour = 0;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            worstAlpha = std::max(worstAlpha, std::abs(back.pixel(x, y)[3] - p.pixel(x, y)[3]));
            if (p.pixel(x, y)[3] >= 16)
                for (int c = 0; c < 3; ++c)
                    worstColour = std::max(worstColour, std::abs(back.pixel(x, y)[c] - p.pixel(x, y)[c]));
        }
    EXPECT_LE(worstAlpha, 1);
    EXPECT_LE(worstColour, 12);
}

TEST(WebPRoundTrip, ScaleAndOrientation) {
    const Bytes data = S::losslessDataWithImage(noiseWithAlpha(5, 3, 2));
    EXPECT_EQ(S::imageWithData(data).scale(), 1.0);
    const Picture two = S::imageWithData(data, 2.0);
    EXPECT_EQ(two.scale(), 2.0);
    EXPECT_EQ(two.orientation(), 1);

    // A picture shown turned is written the way it is seen.
    Picture turned = noiseWithAlpha(5, 3, 4);
    turned.setOrientation(6);
    const Picture back = S::imageWithData(S::losslessDataWithImage(turned));
    ASSERT_EQ(back.width(), 3);
    ASSERT_EQ(back.height(), 5);
    EXPECT_TRUE(back.rgba() == turned.upright().rgba());
}

// ---------------------------------------------------------------------------------------

TEST(WebPFitting, SizeFitsInsideKeepingAspect) {
    using P = S::PixelSize;
    EXPECT_EQ(S::fittedSize(451, 300, {100, 100}), (P{100, 66}));
    EXPECT_EQ(S::fittedSize(451, 300, {1000, 50}), (P{75, 50}));
    EXPECT_EQ(S::fittedSize(451, 300, {902, 1000}), (P{902, 600}));  // enlarged
    EXPECT_EQ(S::fittedSize(300, 451, {100, 100}), (P{66, 100}));
    EXPECT_EQ(S::fittedSize(451, 300, {99.7, 1000}), (P{99, 66}));  // integer parts
    EXPECT_EQ(S::fittedSize(7, 700, {61, 10000}), (P{61, 6100}));   // exact on the limiting side
    // No fitting size unless both sides are positive.
    EXPECT_EQ(S::fittedSize(451, 300, {0, 50}), (P{451, 300}));
    EXPECT_EQ(S::fittedSize(451, 300, {50, 0}), (P{451, 300}));
    EXPECT_EQ(S::fittedSize(451, 300, {-10, 50}), (P{451, 300}));
    EXPECT_EQ(S::fittedSize(451, 300, {std::nan(""), 50}), (P{451, 300}));
    // Smaller than a pixel still gives one.
    EXPECT_EQ(S::fittedSize(451, 300, {0.5, 0.5}), (P{1, 1}));
    EXPECT_EQ(S::fittedSize(1000, 10, {50, 50}), (P{50, 1}));
}

TEST(WebPFitting, DecodesAtTheFittedSize) {
    const Picture p = photo("chelsea.png");  // 451 x 300
    const Bytes data = S::losslessDataWithImage(p);
    auto mean = [](const Picture& q, int c) {
        double s = 0;
        for (size_t i = size_t(c); i < q.rgba().size(); i += 4) s += q.rgba()[i];
        return s / (double(q.width()) * q.height());
    };
    for (auto [fit, w, h] : std::vector<std::tuple<Size, int, int>>{
             {{100, 100}, 100, 66}, {{1000, 50}, 75, 50}, {{902, 1000}, 902, 600}, {{0, 100}, 451, 300}}) {
        WebPError e;
        const Picture q = S::imageWithData(data, 3.0, fit, &e);
        ASSERT_FALSE(q.isNull()) << e.localizedDescription;
        EXPECT_EQ(q.width(), w);
        EXPECT_EQ(q.height(), h);
        EXPECT_EQ(q.scale(), 3.0);
        // Scaled, not cropped: the picture's average colour survives.
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(mean(q, c), mean(p, c), 3.0) << w << "x" << h << " channel " << c;
    }
}

// ---------------------------------------------------------------------------------------

TEST(WebPEncoding, PresetsAndQuality) {
    const Picture p = photo("coffee.png");
    // The default is the default preset at the top quality.
    EXPECT_EQ(S::dataWithImage(p), encodeOrFail(p, S::PresetDefault, 100));

    const Bytes low = encodeOrFail(p, S::PresetDefault, 10), high = encodeOrFail(p, S::PresetDefault, 90);
    EXPECT_LT(low.size(), high.size());
    const double lowPSNR = psnr(p, S::imageWithData(low)), highPSNR = psnr(p, S::imageWithData(high));
    EXPECT_LT(lowPSNR + 3, highPSNR);

    // Each preset is a different tuning of the encoder, and every one decodes.
    std::vector<Bytes> distinct;
    for (int preset = S::PresetDefault; preset <= S::PresetText; ++preset) {
        const Bytes b = encodeOrFail(p, preset, 75);
        if (std::find(distinct.begin(), distinct.end(), b) == distinct.end()) distinct.push_back(b);
        const Picture q = S::imageWithData(b);
        ASSERT_EQ(q.width(), p.width()) << preset;
        EXPECT_GT(psnr(p, q), 25.0) << preset;
    }
    EXPECT_GE(distinct.size(), 4u);
}

TEST(WebPEncoding, PictureLayerQualityIsAFraction) {
    const Picture p = photo("chelsea.png");
    EXPECT_EQ(encodePicture(p, PictureFormat::WebP, 0.5), encodeOrFail(p, S::PresetDefault, 50));
    EXPECT_EQ(encodePicture(p, PictureFormat::WebP, 1.0), encodeOrFail(p, S::PresetDefault, 100));
    EXPECT_EQ(encodePicture(p, PictureFormat::WebP, 7.0), encodeOrFail(p, S::PresetDefault, 100));
}

// ---------------------------------------------------------------------------------------

TEST(WebPPictureLayer, WebPOpensWhereverPicturesAreRead) {
    registerWebPSerialization();  // already done at start-up; a second call must be harmless
    const std::string dir = tempDir();
    const Picture p = noiseWithAlpha(40, 30, 5);
    const Bytes data = S::losslessDataWithImage(p);
    // The contents decide, not the name.
    for (const std::string name : {"a.webp", "b.png", "c"}) {
        writeBytes(dir + "/" + name, data);
        PictureResult r = readPicture(dir + "/" + name);
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_TRUE(r.picture.rgba() == p.rgba()) << name;
    }
    PictureResult r = decodePicture(data, "memory");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.picture.width(), 40);

    // A file that announces WebP but whose header is damaged is reported as such.
    Bytes damaged = data;
    std::memset(damaged.data() + 12, 'x', 8);
    writeBytes(dir + "/bad.webp", damaged);
    EXPECT_EQ(readPicture(dir + "/bad.webp").error, dir + "/bad.webp: WebP header formatting error");
}

TEST(WebPPictureLayer, OtherFormatsStillUseTheOrdinaryDecoders) {
    registerWebPSerialization();
    const Picture p = noiseWithAlpha(20, 10, 6);
    const Bytes png = encodePicture(p, PictureFormat::PNG);
    PictureResult r = decodePicture(png, "x.png");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_TRUE(r.picture.rgba() == p.rgba());
    EXPECT_TRUE(readPicture(dataPath("photos/astronaut.png")).ok());
    const Bytes jpeg = encodePicture(photo("chelsea.png"), PictureFormat::JPEG, 0.9);
    EXPECT_EQ(decodePicture(jpeg, "x.jpg").picture.width(), 451);
    EXPECT_EQ(decodePicture(Bytes(50, 7), "junk").error, "junk: not a picture (unrecognised format)");
}

TEST(WebPPictureLayer, Constructors) {
    const std::string dir = tempDir();
    const Picture p = noiseWithAlpha(6, 4, 7);
    const Bytes webp = S::losslessDataWithImage(p), png = encodePicture(p, PictureFormat::PNG);

    for (const Bytes* data : {&webp, &png}) {
        const Picture a = webp_initWithData(*data);
        const Picture b = webp_initWithData(*data, 2.0);
        EXPECT_TRUE(a.rgba() == p.rgba());
        EXPECT_EQ(a.scale(), 1.0);
        EXPECT_TRUE(b.rgba() == p.rgba());
        EXPECT_EQ(b.scale(), 2.0);
    }
    EXPECT_TRUE(webp_initWithData(Bytes{}).isNull());
    EXPECT_TRUE(webp_initWithData(Bytes(30, 1)).isNull());

    writeBytes(dir + "/p.webp", webp);
    writeBytes(dir + "/p.png", png);
    EXPECT_TRUE(webp_initWithContentsOfFile(dir + "/p.webp").rgba() == p.rgba());
    EXPECT_TRUE(webp_initWithContentsOfFile(dir + "/p.png").rgba() == p.rgba());
    EXPECT_TRUE(webp_initWithContentsOfFile(dir + "/missing.webp").isNull());
}

TEST(WebPPictureLayer, NamedResourcesPreferTheScreensVariant) {
    const std::string dir = tempDir();
    fs::create_directories(dir + "/Icons");
    const Picture one = noiseWithAlpha(4, 4, 8), two = noiseWithAlpha(8, 8, 9), three = noiseWithAlpha(12, 12, 10);
    writeBytes(dir + "/Icons/star.webp", S::losslessDataWithImage(one));
    writeBytes(dir + "/Icons/star@2x.webp", S::losslessDataWithImage(two));
    writeBytes(dir + "/Icons/star@3x.webp", S::losslessDataWithImage(three));
    writeBytes(dir + "/plain.png", encodePicture(one, PictureFormat::PNG));
    writeBytes(dir + "/disguised.png", S::losslessDataWithImage(two));
    const Bundle bundle(dir);

    const Picture at1 = webp_imageNamed("Icons/star.webp", bundle, 1.0);
    EXPECT_TRUE(at1.rgba() == one.rgba());
    EXPECT_EQ(at1.scale(), 1.0);
    const Picture at2 = webp_imageNamed("Icons/star.webp", bundle, 2.0);
    EXPECT_TRUE(at2.rgba() == two.rgba());
    EXPECT_EQ(at2.scale(), 2.0);
    const Picture at3 = webp_imageNamed("Icons/star", bundle, 3.0);
    EXPECT_TRUE(at3.rgba() == three.rgba());
    EXPECT_EQ(at3.scale(), 3.0);

    // No variant: the plain resource, at scale 1; non-WebP goes to the ordinary decoders.
    const Picture plain = webp_imageNamed("plain.png", bundle, 2.0);
    EXPECT_TRUE(plain.rgba() == one.rgba());
    EXPECT_EQ(plain.scale(), 1.0);
    EXPECT_TRUE(webp_imageNamed("disguised.png", bundle).rgba() == two.rgba());
    EXPECT_TRUE(webp_imageNamed("absent.png", bundle, 2.0).isNull());
}

TEST(WebPPictureLayer, WritesFilesAtomically) {
    const std::string dir = tempDir();
    const Picture p = photo("chelsea.png");
    const std::string path = dir + "/out.webp";
    ASSERT_EQ(S::writeImage(p, path, S::PresetPhoto, 80), "");
    EXPECT_GT(psnr(p, readPicture(path).picture), 30.0);
    EXPECT_EQ(S::writeImage(p, path, S::PresetPhoto, 80, false), path + ": already exists");
    // A failed encoding leaves the earlier file as it was and no leftovers.
    const auto before = readFileBytes(path);
    EXPECT_EQ(S::writeImage(p, path, S::PresetPhoto, 500), path + ": WebP image configuration preset initialization failed.");
    EXPECT_EQ(readFileBytes(path), before);
    // The picture layer's writer goes through the same encoder.
    ASSERT_EQ(writePicture(p, dir + "/layer.webp", PictureFormat::WebP, 0.8), "");
    EXPECT_EQ(readFileBytes(dir + "/layer.webp"), encodeOrFail(p, S::PresetDefault, 80));
    int entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++entries;
    EXPECT_EQ(entries, 2);
}

TEST(WebPStringTable, HoldsEveryErrorText) {
    // The descriptions are looked up in this table; a missing entry would fall back to its key.
    ASSERT_TRUE(Bundle::main().pathForResource("WebPImageSerialization", "strings").has_value());
    std::string error;
    auto table = readPlistFile(std::string(VELLARI_SOURCE_RESOURCES) + "/WebPImageSerialization.strings", &error);
    ASSERT_TRUE(table && table->dictionary()) << error;
    for (const char* text :
         {"WebP header formatting error", "WebP image failed to initialize structure", "VP8 out of memory",
          "VP8 invalid parameter", "VP8 bitstream error", "VP8 unsupported feature", "VP8 suspended",
          "VP8 user Abort", "VP8 not enough data", "WebP image configuration preset initialization failed.",
          "WebP image invalid configuration.", "WebP image failed to initialize structure.",
          "WebP image encoding failed."}) {
        auto it = table->dictionary()->find(text);
        ASSERT_NE(it, table->dictionary()->end()) << text;
        ASSERT_TRUE(it->second.isString()) << text;
        EXPECT_EQ(it->second.string(), text);
        EXPECT_EQ(Bundle::main().localizedString(text, "WebPImageSerialization"), text);
    }
}

}  // namespace
}  // namespace vellari
