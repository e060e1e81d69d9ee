// Pictures: decoding, orientation, encoding and atomic files.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "test_support.h"
#include "vellari/platform/picture.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using test::dataPath;
using test::tempDir;

Bytes fileBytes(const std::string& path) {
    std::string error;
    auto b = readFileBytes(path, &error);
    EXPECT_TRUE(b.has_value()) << error;
    return b ? *b : Bytes{};
}

void writeBytes(const std::string& path, const Bytes& b) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), std::streamsize(b.size()));
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(uint8_t(v >> s));
}

// --- minimal writers, independent of the code under test, so that a channel-order or
// depth mistake cannot cancel out in a round trip.

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    return ~c;
}

void pngChunk(Bytes& png, const char* type, const Bytes& data) {
    put32(png, uint32_t(data.size()));
    const size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(png, crc32(&png[start], png.size() - start));
}

struct ExtraChunk {
    const char* type;
    Bytes data;
};

// A PNG whose image data is stored uncompressed; `rows` are the samples without filter bytes.
Bytes makePNG(int w, int h, int depth, int colourType, const Bytes& rows, const std::vector<ExtraChunk>& extra = {}) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    put32(ihdr, uint32_t(w));
    put32(ihdr, uint32_t(h));
    ihdr.insert(ihdr.end(), {uint8_t(depth), uint8_t(colourType), 0, 0, 0});
    pngChunk(png, "IHDR", ihdr);
    for (const auto& e : extra) pngChunk(png, e.type, e.data);

    Bytes raw;
    const size_t rowBytes = rows.size() / size_t(h);
    for (int y = 0; y < h; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rows.begin() + y * rowBytes, rows.begin() + (y + 1) * rowBytes);
    }
    Bytes z = {0x78, 0x01};
    for (size_t pos = 0; pos < raw.size() || pos == 0;) {
        const size_t n = std::min<size_t>(65535, raw.size() - pos);
        z.push_back(pos + n == raw.size() ? 1 : 0);
        z.insert(z.end(), {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)});
        z.insert(z.end(), raw.begin() + pos, raw.begin() + pos + n);
        pos += n;
        if (n == 0) break;
    }
    uint32_t a = 1, b = 0;
    for (uint8_t v : raw) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    put32(z, b << 16 | a);
    pngChunk(png, "IDAT", z);
    pngChunk(png, "IEND", {});
    return png;
}

// An uncompressed little-endian RGB TIFF.
Bytes makeTIFF(int w, int h, const Bytes& rgb) {
    Bytes t = {'I', 'I', 42, 0};
    auto le16 = [&](uint32_t v) { t.insert(t.end(), {uint8_t(v), uint8_t(v >> 8)}); };
    auto le32 = [&](uint32_t v) { t.insert(t.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); };
    const uint32_t entries = 10, ifd = 8, bps = ifd + 2 + entries * 12 + 4, data = bps + 6;
    le32(ifd);
    le16(entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
        le16(tag);
        le16(type);
        le32(count);
        if (type == 3 && count == 1) {
            le16(value);
            le16(0);
        } else {
            le32(value);
        }
    };
    entry(256, 4, 1, uint32_t(w));
    entry(257, 4, 1, uint32_t(h));
    entry(258, 3, 3, bps);  // 8, 8, 8 stored after the directory
    entry(259, 3, 1, 1);    // no compression
    entry(262, 3, 1, 2);    // RGB
    entry(273, 4, 1, data);
    entry(277, 3, 1, 3);
    entry(278, 4, 1, uint32_t(h));
    entry(279, 4, 1, uint32_t(rgb.size()));
    entry(284, 3, 1, 1);
    le32(0);
    le16(8);
    le16(8);
    le16(8);
    t.insert(t.end(), rgb.begin(), rgb.end());
    return t;
}

// Exif APP1 segment carrying only an orientation tag.
Bytes exifSegment(int orientation, bool littleEndian) {
    Bytes tiff;
    auto u16 = [&](uint16_t v) {
        if (littleEndian) tiff.insert(tiff.end(), {uint8_t(v), uint8_t(v >> 8)});
        else tiff.insert(tiff.end(), {uint8_t(v >> 8), uint8_t(v)});
    };
    auto u32 = [&](uint32_t v) {
        if (littleEndian) tiff.insert(tiff.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
        else put32(tiff, v);
    };
    tiff.push_back(littleEndian ? 'I' : 'M');
    tiff.push_back(littleEndian ? 'I' : 'M');
    u16(42);
    u32(8);
    u16(2);
    u16(0x010F);  // Make, an ASCII entry before the orientation, as cameras write it
    u16(2);
    u32(4);
    tiff.insert(tiff.end(), {'c', 'a', 'm', 0});
    u16(0x0112);
    u16(3);
    u32(1);
    u16(uint16_t(orientation));
    u16(0);
    u32(0);
    Bytes seg = {0xFF, 0xE1};
    const size_t len = 2 + 6 + tiff.size();
    seg.push_back(uint8_t(len >> 8));
    seg.push_back(uint8_t(len));
    seg.insert(seg.end(), {'E', 'x', 'i', 'f', 0, 0});
    seg.insert(seg.end(), tiff.begin(), tiff.end());
    return seg;
}

template <class F>
Picture makePicture(int w, int h, F&& f) {
    Picture p(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) f(x, y, p.pixel(x, y));
    return p;
}

void expectPixel(const Picture& p, int x, int y, std::array<int, 4> want, int tolerance = 0, const char* what = "") {
    const uint8_t* q = p.pixel(x, y);
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(int(q[c]), want[c], tolerance) << what << " pixel (" << x << ", " << y << ") channel " << c;
}

// ---------------------------------------------------------------------------------------

TEST(PictureDecode, SamplePhotosDecodeUprightAndOpaque) {
    struct Sample {
        const char* name;
        int w, h;
    };
    for (const Sample& s : {Sample{"astronaut.png", 512, 512}, Sample{"chelsea.png", 451, 300},
                            Sample{"coffee.png", 600, 400}}) {
        PictureResult r = readPicture(dataPath(std::string("photos/") + s.name));
        ASSERT_TRUE(r.ok()) << r.error;
        EXPECT_EQ(r.picture.width(), s.w) << s.name;
        EXPECT_EQ(r.picture.height(), s.h) << s.name;
        EXPECT_EQ(r.picture.orientation(), 1);
        EXPECT_EQ(r.picture.rgba().size(), size_t(s.w) * s.h * 4);
        bool opaque = true;
        for (size_t i = 3; i < r.picture.rgba().size(); i += 4) opaque &= r.picture.rgba()[i] == 255;
        EXPECT_TRUE(opaque) << s.name;
    }
    // Channel order from real content: the saucer under the cup and the astronaut's suit
    // are strongly red-orange.
    PictureResult coffee = readPicture(dataPath("photos/coffee.png"));
    ASSERT_TRUE(coffee.ok());
    const uint8_t* saucer = coffee.picture.pixel(120, 250);
    EXPECT_GT(int(saucer[0]), int(saucer[2]) + 60);
    PictureResult astronaut = readPicture(dataPath("photos/astronaut.png"));
    ASSERT_TRUE(astronaut.ok());
    const uint8_t* suit = astronaut.picture.pixel(100, 400);
    EXPECT_GT(int(suit[0]), int(suit[2]) + 60);
}

TEST(PictureDecode, ConvertsGreyDeepPaletteAndTIFFLayouts) {
    // Grey 8-bit with a text chunk (dropped before decoding).
    PictureResult grey = decodePicture(makePNG(2, 1, 8, 0, {10, 200}, {{"tEXt", {'k', 0, 'v'}}}), "grey.png");
    ASSERT_TRUE(grey.ok()) << grey.error;
    expectPixel(grey.picture, 0, 0, {10, 10, 10, 255});
    expectPixel(grey.picture, 1, 0, {200, 200, 200, 255});

    // Grey 16-bit: the high byte, rounded.
    PictureResult deep = decodePicture(makePNG(2, 1, 16, 0, {0x12, 0x34, 0xFF, 0xFF}), "deep.png");
    ASSERT_TRUE(deep.ok()) << deep.error;
    expectPixel(deep.picture, 0, 0, {18, 18, 18, 255}, 1);
    expectPixel(deep.picture, 1, 0, {255, 255, 255, 255});

    // RGBA 16-bit keeps straight alpha.
    PictureResult rgba16 =
        decodePicture(makePNG(1, 1, 16, 6, {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0x40, 0x00}), "rgba16.png");
    ASSERT_TRUE(rgba16.ok()) << rgba16.error;
    expectPixel(rgba16.picture, 0, 0, {255, 128, 0, 64}, 1);

    // Grey with alpha.
    PictureResult greyAlpha = decodePicture(makePNG(1, 1, 8, 4, {90, 30}), "ga.png");
    ASSERT_TRUE(greyAlpha.ok()) << greyAlpha.error;
    expectPixel(greyAlpha.picture, 0, 0, {90, 90, 90, 30});

    // RGB 8-bit: byte order in the file is R, G, B.
    PictureResult rgb = decodePicture(makePNG(2, 1, 8, 2, {250, 20, 5, 1, 2, 240}), "rgb.png");
    ASSERT_TRUE(rgb.ok()) << rgb.error;
    expectPixel(rgb.picture, 0, 0, {250, 20, 5, 255});
    expectPixel(rgb.picture, 1, 0, {1, 2, 240, 255});

    // Palette with transparency: the tRNS chunk must survive the clean-up of ancillary chunks.
    PictureResult palette = decodePicture(
        makePNG(2, 1, 8, 3, {0, 1}, {{"PLTE", {255, 0, 0, 0, 255, 0}}, {"tRNS", {255, 0}}, {"gAMA", {0, 0, 0xB1, 0x8F}}}),
        "palette.png");
    ASSERT_TRUE(palette.ok()) << palette.error;
    EXPECT_EQ(palette.picture.pixel(0, 0)[3], 255);
    EXPECT_EQ(palette.picture.pixel(0, 0)[0], 255);
    EXPECT_EQ(palette.picture.pixel(1, 0)[3], 0);

    // Uncompressed TIFF, RGB.
    PictureResult tiff = decodePicture(makeTIFF(2, 2, {200, 10, 20, 0, 0, 0, 1, 2, 3, 30, 40, 250}), "x.tiff");
    ASSERT_TRUE(tiff.ok()) << tiff.error;
    ASSERT_EQ(tiff.picture.width(), 2);
    ASSERT_EQ(tiff.picture.height(), 2);
    expectPixel(tiff.picture, 0, 0, {200, 10, 20, 255});
    expectPixel(tiff.picture, 1, 1, {30, 40, 250, 255});
}

TEST(PictureCodec, PNGRoundTripIsExact) {
    std::mt19937 rng(7);
    // Transparent pixels keep their colour: the file holds straight alpha.
    Picture withAlpha = makePicture(37, 23, [&](int, int, uint8_t* p) {
        for (int c = 0; c < 4; ++c) p[c] = uint8_t(rng());
    });
    withAlpha.pixel(0, 0)[3] = 0;
    Picture opaque = makePicture(19, 11, [&](int, int, uint8_t* p) {
        for (int c = 0; c < 3; ++c) p[c] = uint8_t(rng());
        p[3] = 255;
    });
    for (const Picture* p : {&withAlpha, &opaque}) {
        std::string error;
        Bytes png = encodePicture(*p, PictureFormat::PNG, 0.9, &error);
        ASSERT_FALSE(png.empty()) << error;
        EXPECT_EQ(png[1], 'P');
        PictureResult back = decodePicture(png, "roundtrip.png");
        ASSERT_TRUE(back.ok()) << back.error;
        EXPECT_EQ(back.picture.width(), p->width());
        EXPECT_EQ(back.picture.height(), p->height());
        EXPECT_EQ(back.picture.rgba(), p->rgba());
    }
    std::string error;
    EXPECT_TRUE(encodePicture(Picture(), PictureFormat::PNG, 0.9, &error).empty());
    EXPECT_FALSE(error.empty());
}

TEST(PictureCodec, JPEGRoundTripWithinToleranceAndQualityMatters) {
    Picture p = makePicture(96, 64, [](int x, int y, uint8_t* q) {
        q[0] = uint8_t(x * 255 / 95);
        q[1] = uint8_t(y * 255 / 63);
        q[2] = uint8_t(128 + 60 * std::sin(x * 0.2));
        q[3] = 255;
    });
    std::string error;
    Bytes good = encodePicture(p, PictureFormat::JPEG, 0.9, &error);
    ASSERT_FALSE(good.empty()) << error;
    EXPECT_EQ(good[0], 0xFF);
    EXPECT_EQ(good[1], 0xD8);
    Bytes poor = encodePicture(p, PictureFormat::JPEG, 0.2, &error);
    ASSERT_FALSE(poor.empty()) << error;
    EXPECT_LT(poor.size(), good.size());

    PictureResult back = decodePicture(good, "q90.jpg");
    ASSERT_TRUE(back.ok()) << back.error;
    ASSERT_EQ(back.picture.width(), 96);
    ASSERT_EQ(back.picture.height(), 64);
    double sum = 0;
    int worst = 0;
    for (size_t i = 0; i < p.rgba().size(); ++i) {
        const int d = std::abs(int(p.rgba()[i]) - int(back.picture.rgba()[i]));
        sum += d;
        worst = std::max(worst, d);
        if (i % 4 == 3) {
            EXPECT_EQ(back.picture.rgba()[i], 255);
        }
    }
    EXPECT_LT(sum / double(p.rgba().size()), 2.0);
    EXPECT_LT(worst, 24);
}

TEST(PictureOrientation, UprightMapsEveryExifCode) {
    // Raw 3 x 2:  a b c / d e f (red channel holds the letter).
    const Picture raw(3, 2, {'a', 0, 0, 255, 'b', 0, 0, 255, 'c', 0, 0, 255,  //
                             'd', 0, 0, 255, 'e', 0, 0, 255, 'f', 0, 0, 255},
                      2.0, 1);
    const char* expected[9] = {nullptr, "abc/def", "cba/fed", "fed/cba", "def/abc",
                               "ad/be/cf", "da/eb/fc", "fc/eb/da", "cf/be/ad"};
    for (int o = 1; o <= 8; ++o) {
        Picture p = raw;
        p.setOrientation(o);
        Picture u = p.upright();
        std::string got;
        for (int y = 0; y < u.height(); ++y) {
            if (y) got += '/';
            for (int x = 0; x < u.width(); ++x) got += char(u.pixel(x, y)[0]);
        }
        EXPECT_EQ(got, expected[o]) << "orientation " << o;
        EXPECT_EQ(u.orientation(), 1);
        EXPECT_EQ(u.scale(), 2.0);
    }
}

TEST(PictureOrientation, JPEGExifOrientationAppliedOrRecorded) {
    // 40 x 24 with a red block in the raw top-left corner on blue.
    const Picture p = makePicture(40, 24, [](int x, int y, uint8_t* q) {
        const bool red = x < 12 && y < 12;
        q[0] = red ? 230 : 20;
        q[1] = 20;
        q[2] = red ? 20 : 200;
        q[3] = 255;
    });
    const Bytes jpeg = encodePicture(p, PictureFormat::JPEG, 0.95);
    ASSERT_GT(jpeg.size(), 4u);
    auto withExif = [&](int orientation, bool little) {
        Bytes out(jpeg.begin(), jpeg.begin() + 2);
        Bytes seg = exifSegment(orientation, little);
        out.insert(out.end(), seg.begin(), seg.end());
        out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
        return out;
    };
    auto isRed = [](const Picture& pic, int x, int y) {
        const uint8_t* q = pic.pixel(x, y);
        return q[0] > 180 && q[2] < 80;
    };

    // 6: turn clockwise to display, so the raw top-left lands top-right.
    const Bytes six = withExif(6, false);
    PictureResult shown = decodePicture(six, "six.jpg");
    ASSERT_TRUE(shown.ok()) << shown.error;
    EXPECT_EQ(shown.picture.width(), 24);
    EXPECT_EQ(shown.picture.height(), 40);
    EXPECT_EQ(shown.picture.orientation(), 1);
    EXPECT_TRUE(isRed(shown.picture, 24 - 1 - 4, 4));
    EXPECT_FALSE(isRed(shown.picture, 4, 4));

    PictureResult raw = decodePicture(six, "six.jpg", {.applyOrientation = false});
    ASSERT_TRUE(raw.ok()) << raw.error;
    EXPECT_EQ(raw.picture.width(), 40);
    EXPECT_EQ(raw.picture.height(), 24);
    EXPECT_EQ(raw.picture.orientation(), 6);
    EXPECT_TRUE(isRed(raw.picture, 4, 4));
    const Picture upright = raw.picture.upright();
    EXPECT_EQ(upright.rgba(), shown.picture.rgba());

    // 8, little-endian Exif: counter-clockwise, the raw top-left lands bottom-left.
    PictureResult eight = decodePicture(withExif(8, true), "eight.jpg");
    ASSERT_TRUE(eight.ok()) << eight.error;
    EXPECT_EQ(eight.picture.width(), 24);
    EXPECT_TRUE(isRed(eight.picture, 4, 40 - 1 - 4));

    // Without Exif, and with a nonsense code, nothing turns.
    for (const Bytes& b : {jpeg, withExif(42, false)}) {
        PictureResult plain = decodePicture(b, "plain.jpg", {.applyOrientation = false});
        ASSERT_TRUE(plain.ok()) << plain.error;
        EXPECT_EQ(plain.picture.orientation(), 1);
        EXPECT_EQ(plain.picture.width(), 40);
    }
}

TEST(PictureDecode, DamagedOrMissingFilesGiveErrorsNamingTheFile) {
    const std::string dir = tempDir();
    const Bytes png = fileBytes(dataPath("photos/chelsea.png"));
    const Bytes jpeg = encodePicture(makePicture(64, 48, [](int x, int y, uint8_t* q) {
        q[0] = uint8_t(x * 4), q[1] = uint8_t(y * 5), q[2] = 90, q[3] = 255;
    }), PictureFormat::JPEG);
    ASSERT_FALSE(png.empty());
    ASSERT_FALSE(jpeg.empty());

    auto expectError = [&](const Bytes& bytes, const std::string& file, const std::string& message) {
        const std::string path = dir + "/" + file;
        writeBytes(path, bytes);
        PictureResult r = readPicture(path);
        EXPECT_FALSE(r.ok()) << file;
        EXPECT_TRUE(r.picture.isNull()) << file;
        EXPECT_EQ(r.error, path + ": " + message);
    };
    expectError(Bytes(png.begin(), png.begin() + png.size() / 2), "half.png", "truncated PNG data");
    expectError(Bytes(png.begin(), png.end() - 12), "no-iend.png", "truncated PNG data");
    expectError(Bytes(png.begin(), png.begin() + 8), "signature.png", "truncated PNG data");
    Bytes flipped = png;
    flipped[png.size() / 2] ^= 0x5A;
    expectError(flipped, "flipped.png", "corrupt PNG data");
    expectError(Bytes(jpeg.begin(), jpeg.end() - 2), "no-eoi.jpg", "truncated JPEG data");
    expectError(Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2), "half.jpg", "truncated JPEG data");
    expectError(Bytes(jpeg.begin(), jpeg.begin() + 4), "header.jpg", "truncated JPEG data");
    expectError(Bytes{'h', 'e', 'l', 'l', 'o', '\n'}, "notes.png", "not a picture (unrecognised format)");
    expectError(Bytes{}, "empty.png", "empty file");

    PictureResult missing = readPicture(dir + "/absent.png");
    EXPECT_EQ(missing.error, dir + "/absent.png: no such file");
    PictureResult folder = readPicture(dir);
    EXPECT_EQ(folder.error, dir + ": is a folder");

    // Every cut of a valid file is refused, never decoded into a partial picture.
    for (const Bytes* whole : {&png, &jpeg}) {
        for (int i = 1; i < 40; ++i) {
            const size_t n = whole->size() * size_t(i) / 40;
            PictureResult r = decodePicture(std::span(whole->data(), n), "cut");
            EXPECT_FALSE(r.ok()) << "cut at " << n << " of " << whole->size();
        }
    }
    // Random damage either decodes at full size or fails with a message; it never crashes.
    std::mt19937 rng(11);
    for (int i = 0; i < 40; ++i) {
        Bytes b = i % 2 ? png : jpeg;
        for (int k = 0; k < 4; ++k) b[16 + rng() % (b.size() - 16)] = uint8_t(rng());
        PictureResult r = decodePicture(b, "damaged");
        if (r.ok()) {
            EXPECT_FALSE(r.picture.isNull());
        } else {
            EXPECT_EQ(r.error.rfind("damaged: ", 0), 0u) << r.error;
        }
    }
}

TEST(PictureCodec, RegisteredCodecsAreTriedFirst) {
    registerPictureDecoder({"test format",
                            [](std::span<const uint8_t> d) { return d.size() >= 4 && std::memcmp(d.data(), "VTST", 4) == 0; },
                            [](std::span<const uint8_t> d, const std::string& name) -> PictureResult {
                                if (d.size() < 5) return {{}, name + ": truncated test data"};
                                return {Picture(int(d[4]), 1), {}};
                            }});
    PictureResult r = decodePicture(Bytes{'V', 'T', 'S', 'T', 3}, "a.vtst");
    ASSERT_TRUE(r.ok()) << r.error;
    EXPECT_EQ(r.picture.width(), 3);
    EXPECT_EQ(decodePicture(Bytes{'V', 'T', 'S', 'T'}, "b.vtst").error, "b.vtst: truncated test data");
    // A decoder that claims success with no picture is reported, not passed on.
    EXPECT_FALSE(decodePicture(Bytes{'V', 'T', 'S', 'T', 0}, "c.vtst").ok());
    // Others still reach the built-in decoders.
    EXPECT_TRUE(readPicture(dataPath("photos/chelsea.png")).ok());

    int calls = 0;
    registerPictureEncoder(PictureFormat::WebP, [&](const Picture& p, double quality, std::string*) {
        ++calls;
        EXPECT_DOUBLE_EQ(quality, 0.75);
        return Bytes{'W', uint8_t(p.width())};
    });
    EXPECT_EQ(encodePicture(Picture(5, 2), PictureFormat::WebP, 0.75), (Bytes{'W', 5}));
    EXPECT_EQ(calls, 1);
}

TEST(PictureFiles, WritesAtomicallyAndRefusesToOverwrite) {
    const std::string dir = tempDir();
    const std::string path = dir + "/out.png";
    const Picture first = makePicture(4, 3, [](int x, int y, uint8_t* q) { q[0] = 10, q[1] = 20, q[2] = 30, q[3] = 255; });
    const Picture second = makePicture(5, 5, [](int, int, uint8_t* q) { q[0] = 200, q[1] = 0, q[2] = 0, q[3] = 128; });

    ASSERT_EQ(writePicture(first, path, PictureFormat::PNG), "");
    EXPECT_EQ(writePicture(second, path, PictureFormat::PNG, 0.9, false), path + ": already exists");
    EXPECT_EQ(readPicture(path).picture.rgba(), first.rgba());
    EXPECT_EQ(writeFileAtomically(path, Bytes{1, 2, 3}, false), path + ": already exists");
    EXPECT_EQ(listDir(dir), std::vector<std::string>{"out.png"});

    ASSERT_EQ(writePicture(second, path, PictureFormat::PNG), "");
    EXPECT_EQ(readPicture(path).picture.rgba(), second.rgba());
    ASSERT_EQ(writePicture(first, dir + "/out.jpg", PictureFormat::JPEG, 0.9, false), "");
    EXPECT_EQ(readPicture(dir + "/out.jpg").picture.width(), 4);
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"out.jpg", "out.png"}));

    // Failures name the path and leave nothing behind.
    EXPECT_EQ(writeFileAtomically(dir + "/none/x.png", Bytes{1}), dir + "/none/x.png: no such folder");
    EXPECT_FALSE(writePicture(Picture(), dir + "/empty.png", PictureFormat::PNG).empty());
    fs::create_directory(dir + "/sub");
    EXPECT_FALSE(writeFileAtomically(dir + "/sub", Bytes{1}).empty());
    EXPECT_EQ(listDir(dir), (std::vector<std::string>{"out.jpg", "out.png", "sub"}));
    EXPECT_TRUE(fs::is_empty(dir + "/sub"));

    // Bytes come back exactly.
    Bytes blob(100000);
    std::mt19937 rng(3);
    for (auto& v : blob) v = uint8_t(rng());
    ASSERT_EQ(writeFileAtomically(dir + "/blob", blob), "");
    EXPECT_EQ(fileBytes(dir + "/blob"), blob);
}

TEST(PictureFiles, FormatFromExtension) {
    EXPECT_EQ(pictureFormatForPath("a/b.PNG"), PictureFormat::PNG);
    EXPECT_EQ(pictureFormatForPath("x.Jpeg"), PictureFormat::JPEG);
    EXPECT_EQ(pictureFormatForPath("x.jpg"), PictureFormat::JPEG);
    EXPECT_EQ(pictureFormatForPath("x y.webp"), PictureFormat::WebP);
    EXPECT_EQ(pictureFormatForPath("x.gif"), std::nullopt);
    EXPECT_EQ(pictureFormatForPath("png"), std::nullopt);
    EXPECT_EQ(pictureFormatForPath("dir.png/file"), std::nullopt);
}

}  // namespace
}  // namespace vellari
