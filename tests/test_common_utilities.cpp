// The companion library's small utilities: camera orientation transforms, device class,
// colour parsing, the resource scrambling, file, date and time helpers.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <regex>
#include <string>

#include "test_support.h"
#include "vellari/common/device_and_system.h"
#include "vellari/common/file_helpers.h"
#include "vellari/common/orientation_utility.h"

using namespace vellari;
using namespace vellari::test;
namespace fs = std::filesystem;

namespace {

// Pixel (x, y) gets red x, green y (opaque), for tracking where pixels go.
Image coordinateImage(int w, int h, Point origin = {0, 0}) {
    return imageFrom(w, h, [](int x, int y, float* p) { p[0] = float(x); p[1] = float(y); p[2] = 0; p[3] = 1; }, origin);
}

struct Corners {
    Rect box;
    Point topLeftSource;  // the source corner that lands on the box's top-left
};

// Where the transform takes the corners of a 4 x 3 frame at the origin.
Corners mapFrame(const AffineTransform& t) {
    const Point src[4] = {{0, 0}, {4, 0}, {0, 3}, {4, 3}};
    Corners c;
    c.box = t.apply(Rect{0, 0, 4, 3});
    for (const Point& p : src) {
        Point q = t.apply(p);
        if (q.x == c.box.minX() && q.y == c.box.minY()) c.topLeftSource = p;
    }
    return c;
}


// Seconds since the epoch of a "local" stamp read as if it were UTC.
long long stampAsUtc(const std::string& text, const char* format) {
    std::tm tm{};
    const char* end = strptime(text.c_str(), format, &tm);
    if (!end || *end) return -1;
    return timegm(&tm);
}

}  // namespace

TEST(OrientationUtility, FourOrientationsTurnTheFrameUpright) {
    using U = QXOrientationUtility;
    // Portrait: clockwise quarter turn, so the frame's bottom-left corner becomes top-left.
    Corners c1 = mapFrame(U::transformForOrientation(1, false));
    EXPECT_EQ(c1.box, (Rect{-3, 0, 3, 4}));
    EXPECT_EQ(c1.topLeftSource, (Point{0, 3}));
    // Upside down: counter-clockwise, top-right becomes top-left.
    Corners c2 = mapFrame(U::transformForOrientation(2, false));
    EXPECT_EQ(c2.box, (Rect{0, -4, 3, 4}));
    EXPECT_EQ(c2.topLeftSource, (Point{4, 0}));
    Corners c3 = mapFrame(U::transformForOrientation(3, false));
    EXPECT_EQ(c3.box, (Rect{0, 0, 4, 3}));
    EXPECT_EQ(c3.topLeftSource, (Point{0, 0}));
    Corners c4 = mapFrame(U::transformForOrientation(4, false));
    EXPECT_EQ(c4.box, (Rect{-4, -3, 4, 3}));
    EXPECT_EQ(c4.topLeftSource, (Point{4, 3}));

    // Turns only: no mirror, no translation, and 2 is a half turn away from 1.
    for (int o = 1; o <= 4; ++o) {
        AffineTransform t = U::transformForOrientation(o, false);
        EXPECT_EQ(t.determinant(), 1) << o;
        EXPECT_EQ(t.tx, 0) << o;
        EXPECT_EQ(t.ty, 0) << o;
    }
    EXPECT_EQ(U::transformForOrientation(1, false).concat(U::transformForOrientation(4, false)),
              U::transformForOrientation(2, false));
    for (int o : {0, 5, -1, 99}) EXPECT_TRUE(U::transformForOrientation(o, false).isIdentity()) << o;

    // Rendered: the extent starts at the origin and pixels move without resampling.
    struct Case { int orientation; Rect extent; Point topLeft, bottomRight; };
    const Case cases[] = {
        {1, {0, 0, 3, 4}, {0, 2}, {3, 0}},
        {2, {0, 0, 3, 4}, {3, 0}, {0, 2}},
        {3, {0, 0, 4, 3}, {0, 0}, {3, 2}},
        {4, {0, 0, 4, 3}, {3, 2}, {0, 0}},
    };
    for (Point origin : {Point{0, 0}, Point{5, -7}}) {
        Image frame = coordinateImage(4, 3, origin);
        for (const Case& k : cases) {
            Image out = U::normalizeCIImageForExport(frame, k.orientation, false);
            ASSERT_EQ(out.extent(), k.extent) << k.orientation;
            Pixels p = readPixels(out);
            int right = int(k.extent.width) - 1, bottom = int(k.extent.height) - 1;
            EXPECT_EQ(p.at(0, 0, 0), k.topLeft.x) << k.orientation;
            EXPECT_EQ(p.at(0, 0, 1), k.topLeft.y) << k.orientation;
            EXPECT_EQ(p.at(right, bottom, 0), k.bottomRight.x) << k.orientation;
            EXPECT_EQ(p.at(right, bottom, 1), k.bottomRight.y) << k.orientation;
            EXPECT_EQ(p.at(right, bottom, 3), 1) << k.orientation;
        }
    }
    EXPECT_TRUE(U::normalizeCIImageForExport(Image(), 1, false).isNull());
}

TEST(OrientationUtility, FlipMirrorsTheDisplayLeftToRight) {
    using U = QXOrientationUtility;
    const Point probes[] = {{0, 0}, {4, 0}, {0, 3}, {4, 3}, {1.5, 2}};
    for (int o = 0; o <= 4; ++o) {
        AffineTransform plain = U::transformForOrientation(o, false);
        AffineTransform flipped = U::transformForOrientation(o, true);
        EXPECT_EQ(flipped.determinant(), -1) << o;
        for (const Point& p : probes) {
            EXPECT_EQ(flipped.apply(p).x, -plain.apply(p).x) << o;
            EXPECT_EQ(flipped.apply(p).y, plain.apply(p).y) << o;
        }
    }
    // Landscape front camera: the top-right pixel shows at the top-left.
    Image frame = coordinateImage(4, 3);
    Image out = U::normalizeCIImageForExport(frame, 3, true);
    ASSERT_EQ(out.extent(), (Rect{0, 0, 4, 3}));
    Pixels p = readPixels(out);
    EXPECT_EQ(p.at(0, 0, 0), 3);
    EXPECT_EQ(p.at(0, 0, 1), 0);
    EXPECT_EQ(p.at(3, 2, 0), 0);
    EXPECT_EQ(p.at(3, 2, 1), 2);
    // Portrait front camera: the unflipped top-right pixel (source top-left) moves to the top-left.
    Image portrait = U::normalizeCIImageForExport(frame, 1, true);
    ASSERT_EQ(portrait.extent(), (Rect{0, 0, 3, 4}));
    Pixels q = readPixels(portrait);
    EXPECT_EQ(q.at(0, 0, 0), 0);
    EXPECT_EQ(q.at(0, 0, 1), 0);
    EXPECT_EQ(q.at(2, 0, 0), 0);
    EXPECT_EQ(q.at(2, 0, 1), 2);
}

TEST(DeviceAndSystem, SlowDeviceOverrideBothWays) {
    bool natural;
    {
        ScopedEnv unset("VELLARI_SLOW_DEVICE", nullptr);
        natural = QuillmereDeviceAndSystem::iDeviceIsLessThan8();
        EXPECT_EQ(QuillmereDeviceAndSystem::iDeviceIsLessThan8(), natural);
    }
    {
        ScopedEnv force("VELLARI_SLOW_DEVICE", "1");
        EXPECT_TRUE(QuillmereDeviceAndSystem::iDeviceIsLessThan8());
        // Read on every call, not cached.
        setenv("VELLARI_SLOW_DEVICE", "0", 1);
        EXPECT_FALSE(QuillmereDeviceAndSystem::iDeviceIsLessThan8());
        setenv("VELLARI_SLOW_DEVICE", "1", 1);
        EXPECT_TRUE(QuillmereDeviceAndSystem::iDeviceIsLessThan8());
    }
    for (const char* other : {"", "yes", "10", "true"}) {
        ScopedEnv ignored("VELLARI_SLOW_DEVICE", other);
        EXPECT_EQ(QuillmereDeviceAndSystem::iDeviceIsLessThan8(), natural) << '"' << other << '"';
    }
}

TEST(DeviceAndSystem, ColorFromHexDigits) {
    EXPECT_EQ(colorFromString("FF8000"), (Color{1.0, 128 / 255.0, 0.0, 1.0}));
    EXPECT_EQ(colorFromString("#0a141e"), (Color{10 / 255.0, 20 / 255.0, 30 / 255.0, 1.0}));
    EXPECT_EQ(colorFromString("#aBcDeF"), colorFromString("ABCDEF"));
    EXPECT_EQ(colorFromString("abcdef"), (Color{0xab / 255.0, 0xcd / 255.0, 0xef / 255.0, 1.0}));
    EXPECT_EQ(colorFromString("#FFFFFF"), Color::white());
    for (const char* bad : {"", "#", "12345", "1234567", "#1234567", "GG0000", "#12 456", "##123456", "0x1234",
                            "12345g", " 123456"})
        EXPECT_EQ(colorFromString(bad), Color::black()) << '"' << bad << '"';
}

TEST(DeviceAndSystem, XorStringRoundTripsAndEndsWithZero) {
    const char* key = "k4Vq!p8Zr#Tm2Lw7Yx0Hs9Jd3Nf6Bg1C";
    const std::string text = "kernel void lines(sampler src, float weight) { return sample(src, samplerCoord(src)); }";
    ASSERT_GT(text.size(), 32u);
    const auto* plain = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t n = int32_t(text.size());

    std::string scrambled = xorString(plain, n, key, 32);
    ASSERT_EQ(scrambled.size(), text.size() + 1);
    EXPECT_EQ(scrambled.back(), '\0');
    EXPECT_EQ(uint8_t(scrambled[0]), uint8_t(text[0] ^ key[0]));
    EXPECT_EQ(uint8_t(scrambled[33]), uint8_t(text[33] ^ key[1]));  // the key repeats
    EXPECT_NE(scrambled.substr(0, text.size()), text);

    // As the resource loader uses it: the stored file is the scrambled bytes plus a zero,
    // L bytes in all; count L - 1, then L bytes copied and read as zero-terminated text.
    std::string stored = scrambled;
    std::string restored = xorString(reinterpret_cast<const uint8_t*>(stored.data()), int32_t(stored.size() - 1), key, 32);
    ASSERT_EQ(restored.size(), stored.size());
    EXPECT_EQ(restored.back(), '\0');
    EXPECT_EQ(std::string(restored.c_str()), text);

    EXPECT_EQ(xorString(plain, 0, key, 32), std::string(1, '\0'));
    EXPECT_EQ(xorString(plain, -5, key, 32), std::string(1, '\0'));
    EXPECT_EQ(xorString(nullptr, 10, key, 32), std::string(1, '\0'));
    EXPECT_EQ(xorString(plain, 4, nullptr, 32), std::string("kern", 5));
    EXPECT_EQ(xorString(plain, 4, key, 0), std::string("kern", 5));
    EXPECT_EQ(xorString(plain, 4, key, -3), std::string("kern", 5));
}

TEST(FileHelper, PathsDirectoriesAndRemovalInATemporaryFolder) {
    const fs::path root = tempDir();
    const fs::path nested = root / "a" / "b";

    auto url = QXFileHelper::getFileURL(nested.string(), "clip", "mov");
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(fs::path(*url), nested / "clip.mov");
    EXPECT_TRUE(fs::is_directory(nested));
    EXPECT_FALSE(fs::exists(*url));  // only the folder is made
    EXPECT_EQ(QXFileHelper::getFileURL(nested.string(), "notes", ""), (nested / "notes").string());

    const fs::path plainFile = root / "plain.txt";
    std::ofstream(plainFile) << "x";
    EXPECT_FALSE(QXFileHelper::getFileURL((plainFile / "sub").string(), "clip", "mov").has_value());
    EXPECT_FALSE(QXFileHelper::getFileURL(plainFile.string(), "clip", "mov").has_value());

    EXPECT_TRUE(QXFileHelper::createDirectory((root / "c" / "d" / "e").string()));
    EXPECT_TRUE(fs::is_directory(root / "c" / "d" / "e"));
    EXPECT_TRUE(QXFileHelper::createDirectory((root / "c").string()));  // already there
    EXPECT_FALSE(QXFileHelper::createDirectory(plainFile.string()));
    EXPECT_FALSE(QXFileHelper::createDirectory(""));

    EXPECT_TRUE(QXFileHelper::removeFile(plainFile.string()));
    EXPECT_FALSE(fs::exists(plainFile));
    EXPECT_FALSE(QXFileHelper::removeFile(plainFile.string()));  // nothing left to remove
    EXPECT_FALSE(QXFileHelper::removeFile((root / "c").string()));
    EXPECT_TRUE(fs::is_directory(root / "c" / "d" / "e"));

    fs::remove_all(root);
}

TEST(DateHelper, StampsAreLocalTimeInFixedForms) {
    std::string name, info;
    long long before, after;
    {
        // A zone five hours east of UTC tells local time from UTC.
        ScopedEnv zone("TZ", "VLR-5");
        tzset();
        before = std::time(nullptr);
        name = QXFileHelper::fileNameWithCurrentDateTime("IMG_", ".jpg");
        info = QXDateHelper::dateForFileInfo();
        after = std::time(nullptr);
    }
    tzset();

    ASSERT_TRUE(std::regex_match(name, std::regex(R"(IMG_\d{4}-\d{2}-\d{2}_\d{2}-\d{2}-\d{2}\.jpg)"))) << name;
    ASSERT_TRUE(std::regex_match(info, std::regex(R"(\d{4}:\d{2}:\d{2} \d{2}:\d{2}:\d{2})"))) << info;
    long long fromName = stampAsUtc(name.substr(4, 19), "%Y-%m-%d_%H-%M-%S");
    long long fromInfo = stampAsUtc(info, "%Y:%m:%d %H:%M:%S");
    EXPECT_GE(fromName, before + 5 * 3600);
    EXPECT_LE(fromName, after + 5 * 3600);
    EXPECT_GE(fromInfo, before + 5 * 3600);
    EXPECT_LE(fromInfo, after + 5 * 3600);
    EXPECT_EQ(QXFileHelper::fileNameWithCurrentDateTime("", "").size(), 19u);
}

TEST(DateHelper, WholeDaysTruncateTowardZero) {
    using namespace std::chrono;
    const system_clock::time_point t0 = system_clock::from_time_t(1700000000);
    auto days = [&](system_clock::duration d) { return QXDateHelper::calculateDateDifference(t0, t0 + d); };
    EXPECT_EQ(days(hours(0)), 0);
    EXPECT_EQ(days(hours(36)), 1);
    EXPECT_EQ(days(-hours(36)), -1);
    EXPECT_EQ(days(hours(24) - seconds(1)), 0);
    EXPECT_EQ(days(-(hours(24) - seconds(1))), 0);
    EXPECT_EQ(days(hours(24)), 1);
    EXPECT_EQ(days(-hours(24)), -1);
    EXPECT_EQ(days(hours(24 * 365 + 23)), 365);
    EXPECT_EQ(days(-hours(24 * 365 + 23)), -365);
    EXPECT_EQ(QXDateHelper::calculateDateDifference(t0 + hours(50), t0, CalendarComponent::Day), -2);
}

TEST(TimeHelper, DisplayableTimeTable) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const struct { double seconds; const char* text; } table[] = {
        {0, "0:00"},        {5, "0:05"},          {5.99, "0:05"},       {59.999, "0:59"},
        {60, "1:00"},       {65, "1:05"},         {599, "9:59"},        {600, "10:00"},
        {3599, "59:59"},    {3599.9, "59:59"},    {3600, "1:00:00"},    {3661, "1:01:01"},
        {36005, "10:00:05"}, {-1, "0:00"},        {-0.5, "0:00"},       {nan, "0:00"},
        {inf, "0:00"},      {-inf, "0:00"},
    };
    for (const auto& row : table) EXPECT_EQ(QXTimeHelper::getDisplayableTime(row.seconds), row.text) << row.seconds;
}
