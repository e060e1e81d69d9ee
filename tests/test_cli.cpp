// The vellari command-line tool, run as a separate process.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support.h"
#include "vellari/platform/context.h"
#include "vellari/platform/image.h"
#include "vellari/platform/picture.h"
#include "vellari/platform/simd.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

using test::contains;
using test::Outcome;
using test::slurp;

// Runs the tool in `dir`, which also receives its output streams.
Outcome vellari(const std::vector<std::string>& args, const std::string& dir, const std::string& env = "") {
    std::string cmd = "cd " + test::shellQuote(dir) + " && " + env + (env.empty() ? "" : " ") + test::shellQuote(VELLARI_CLI);
    for (const auto& a : args) cmd += ' ' + test::shellQuote(a);
    return test::runShell(cmd, dir + "/stdout", dir + "/stderr");
}


TEST(CLI, HelpAndVersion) {
    const std::string dir = test::tempDir();
    Outcome help = vellari({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "Usage")) << help.out;
    for (const char* command : {"style", "styles", "sheets", "demo"})
        EXPECT_TRUE(contains(help.out, command)) << help.out;

    Outcome styleHelp = vellari({"style", "--help"}, dir);
    EXPECT_EQ(styleHelp.status, 0);
    for (const char* option : {"--style", "--resolution", "--adjust", "--output", "--format", "--overwrite"})
        EXPECT_TRUE(contains(styleHelp.out, option)) << styleHelp.out;

    Outcome demoHelp = vellari({"demo", "--help"}, dir);
    EXPECT_EQ(demoHelp.status, 0);
    EXPECT_TRUE(contains(demoHelp.out, "--output")) << demoHelp.out;

    Outcome version = vellari({"--version"}, dir, "env -u VELLARI_SIMD");
    EXPECT_EQ(version.status, 0);
    const std::string head = "vellari 0.1.0\nsimd: ";
    ASSERT_EQ(version.out.substr(0, head.size()), head) << version.out;
    const std::string target = version.out.substr(head.size(), version.out.size() - head.size() - 1);
    EXPECT_NE(simd::targetNamed(target), 0) << version.out;
}

TEST(CLI, VersionNamesTheInstructionSetAndHonoursTheCap) {
    const std::string dir = test::tempDir();
    Outcome scalar = vellari({"--version"}, dir, "VELLARI_SIMD=scalar");
    EXPECT_EQ(scalar.status, 0);
    EXPECT_EQ(scalar.out, "vellari 0.1.0\nsimd: scalar\n");
    EXPECT_EQ(scalar.err, "");

    // An unknown name warns once and changes nothing.
    Outcome bogus = vellari({"--version"}, dir, "VELLARI_SIMD=mmx");
    EXPECT_EQ(bogus.status, 0);
    EXPECT_TRUE(contains(bogus.out, "simd: ")) << bogus.out;
    EXPECT_FALSE(contains(bogus.out, "simd: scalar")) << bogus.out;
    EXPECT_TRUE(contains(bogus.err, "warning: VELLARI_SIMD=mmx")) << bogus.err;
    EXPECT_EQ(bogus.err.find("VELLARI_SIMD"), bogus.err.rfind("VELLARI_SIMD=")) << bogus.err;
}

TEST(CLI, UsageErrorsExitTwo) {
    const std::string dir = test::tempDir();
    Outcome unknown = vellari({"--frobnicate"}, dir);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(contains(unknown.err, "--frobnicate")) << unknown.err;

    EXPECT_EQ(vellari({"demo", "--frobnicate"}, dir).status, 2);
    EXPECT_EQ(vellari({"paint"}, dir).status, 2);
    EXPECT_EQ(vellari({}, dir).status, 2);
    EXPECT_EQ(vellari({"demo", "--output"}, dir).status, 2);
    EXPECT_EQ(vellari({"demo", "--output", ""}, dir).status, 2);
    // Nothing was rendered for a usage error.
    EXPECT_FALSE(fs::exists(dir + "/out"));
}

TEST(CLI, DemoRendersPhotosAndReportsFailures) {
    const std::string dir = test::tempDir();
    const std::string out = dir + "/rendered";
    const std::string chelsea = test::dataPath("photos/chelsea.png");

    Outcome one = vellari({"demo", "--output", out, chelsea}, dir);
    ASSERT_EQ(one.status, 0) << one.err;
    const std::string rendered = out + "/chelsea-demo.png";
    EXPECT_TRUE(contains(one.err, rendered)) << one.err;
    EXPECT_TRUE(one.out.empty());
    PictureResult result = readPicture(rendered);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.picture.width(), 451);
    EXPECT_EQ(result.picture.height(), 300);
    // A rendering, not a copy of the photo, and not a blank picture.
    PictureResult source = readPicture(chelsea);
    ASSERT_TRUE(source.ok());
    double diff = 0;
    int lo = 255, hi = 0;
    for (size_t i = 0; i < source.picture.rgba().size(); ++i) {
        diff += std::abs(int(source.picture.rgba()[i]) - int(result.picture.rgba()[i]));
        lo = std::min<int>(lo, result.picture.rgba()[i]);
        hi = std::max<int>(hi, result.picture.rgba()[i]);
    }
    EXPECT_GT(diff / double(source.picture.rgba().size()), 2.0);
    EXPECT_GT(hi - lo, 100);

    // A missing and a truncated photo are reported by name; the good one is still rendered.
    const std::string missing = dir + "/missing.png";
    const std::string truncated = dir + "/cut.png";
    auto bytes = readFileBytes(test::dataPath("photos/coffee.png"));
    ASSERT_TRUE(bytes.has_value());
    writeFileAtomically(truncated, std::span(bytes->data(), bytes->size() / 3));
    fs::remove(rendered);
    Outcome mixed = vellari({"demo", "-o", out, missing, truncated, chelsea}, dir);
    EXPECT_EQ(mixed.status, 1);
    EXPECT_TRUE(contains(mixed.err, missing + ": no such file")) << mixed.err;
    EXPECT_TRUE(contains(mixed.err, truncated + ": truncated PNG data")) << mixed.err;
    EXPECT_TRUE(fs::exists(rendered));
    EXPECT_FALSE(fs::exists(out + "/cut-demo.png"));
    EXPECT_FALSE(fs::exists(out + "/missing-demo.png"));

    // An output folder that cannot be made.
    std::ofstream(dir + "/a-file") << "x";
    EXPECT_EQ(vellari({"demo", "-o", dir + "/a-file/sub", chelsea}, dir).status, 1);
}

TEST(CLI, DemoDefaultsToTheSamplePhotos) {
    const std::string dir = test::tempDir();
    Outcome r = vellari({"demo"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* name : {"astronaut", "chelsea", "coffee"}) {
        const std::string path = dir + "/out/demo/" + name + "-demo.png";
        EXPECT_TRUE(readPicture(path).ok()) << path;
    }
}

// The main job: every style on a photo, one picture each and a labelled contact sheet.
TEST(CLISheets, EveryStyleOnAPhotoAndOneSheet) {
    const std::string dir = test::tempDir();
    PictureResult src = readPicture(test::dataPath("photos/chelsea.png"));
    ASSERT_TRUE(src.ok());
    const Image small = Image::fromPicture(src.picture).scaled(90.0 / 451, 60.0 / 300, true).cropped({0, 0, 90, 60});
    const std::string photo = dir + "/cat.png";
    ASSERT_EQ(writePicture(defaultContext().createPicture(small, {0, 0, 90, 60}), photo, PictureFormat::PNG), "");

    Outcome r = vellari({"sheets", "-r", "small", "--cell", "96", "-o", "sheets", photo}, dir);
    ASSERT_EQ(r.status, 0) << r.err;

    // The application's sixteen in their order, then mono, zip and anime.
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir + "/sheets/cat")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 20u);
    EXPECT_EQ(names.front(), "00-cool-cel.png");
    EXPECT_EQ(names[15], "15-blue-line-ink.png");
    EXPECT_EQ(names[16], "16-mono-01.png");
    EXPECT_EQ(names[18], "18-zip-01c.png");
    EXPECT_EQ(names.back(), "19-anime.png");

    std::vector<Picture> pictures;
    for (const auto& n : names) {
        PictureResult p = readPicture(dir + "/sheets/cat/" + n);
        ASSERT_TRUE(p.ok()) << p.error;
        EXPECT_EQ(p.picture.width(), 1620) << n;
        EXPECT_EQ(p.picture.height(), 1080) << n;
        pictures.push_back(std::move(p.picture));
    }
    // Every style gave its own picture.
    for (size_t i = 0; i < pictures.size(); ++i)
        for (size_t j = i + 1; j < pictures.size(); ++j)
            EXPECT_NE(pictures[i].rgba(), pictures[j].rgba()) << names[i] << " and " << names[j];

    // Eight columns (the photo and the seven cel styles) and three rows of 96 x 64 cells.
    const std::string sheetPath = dir + "/sheets/cat-sheet.png";
    PictureResult sheet = readPicture(sheetPath);
    ASSERT_TRUE(sheet.ok()) << sheet.error;
    EXPECT_GT(sheet.picture.width(), 8 * 96);
    EXPECT_LT(sheet.picture.width(), 9 * 96);
    EXPECT_GT(sheet.picture.height(), 3 * 64);
    EXPECT_LT(sheet.picture.height(), 6 * 64);
    for (int y = 0; y < sheet.picture.height(); y += 7)
        for (int x = 0; x < sheet.picture.width(); x += 7) ASSERT_EQ(sheet.picture.pixel(x, y)[3], 255);

    // A second run keeps the first run's files unless asked to replace them.
    const std::string before = slurp(sheetPath);
    Outcome again = vellari({"sheets", "-r", "small", "--cell", "96", "-o", "sheets", photo}, dir);
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, "already exists; --overwrite replaces it")) << again.err;
    EXPECT_EQ(slurp(sheetPath), before);

    // Twenty large pictures: kept only when something failed.
    if (!::testing::Test::HasFailure()) fs::remove_all(dir);
}

TEST(CLISheets, UsageErrorsExitTwo) {
    const std::string dir = test::tempDir();
    const std::string chelsea = test::dataPath("photos/chelsea.png");
    EXPECT_EQ(vellari({"sheets", "--resolution", "huge", chelsea}, dir).status, 2);
    EXPECT_EQ(vellari({"sheets", "--cell", "8", chelsea}, dir).status, 2);
    EXPECT_EQ(vellari({"sheets", "--output", "", chelsea}, dir).status, 2);
    EXPECT_FALSE(fs::exists(dir + "/out"));
}

}  // namespace
}  // namespace vellari
