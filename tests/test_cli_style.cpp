// `vellari style` and `vellari styles`, run as a separate process on small photos.

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

namespace vellari {
namespace {

namespace fs = std::filesystem;

std::string cliPath() {
#ifdef VELLARI_CLI
    return VELLARI_CLI;
#else
    // Built next to the tests.
    return (fs::read_symlink("/proc/self/exe").parent_path() / "vellari").string();
#endif
}

using test::contains;
using test::Outcome;
using test::slurp;

// The folder beside a test's working folder that holds the tool's settings.
std::string configDir(const std::string& dir) { return (fs::path(dir).parent_path() / "config").string(); }

// Runs the tool in `dir` with its own settings folder beside it (so the user's settings
// never leak in); its streams are kept beside it too, so `dir` holds only what the tool
// wrote.
Outcome vellari(const std::vector<std::string>& args, const std::string& dir) {
    const std::string streams = (fs::path(dir).parent_path() / "streams").string();
    fs::create_directories(streams);
    std::string cmd = "cd " + test::shellQuote(dir) + " && XDG_CONFIG_HOME=" + test::shellQuote(configDir(dir)) + " " +
                      test::shellQuote(cliPath());
    for (const auto& a : args) cmd += ' ' + test::shellQuote(a);
    return test::runShell(cmd, streams + "/out", streams + "/err");
}

// A sample photo scaled to w x h and saved as PNG in `dir`.
std::string smallPhoto(const std::string& dir, const std::string& name, int w, int h,
                       const std::string& sample = "chelsea.png") {
    PictureResult src = readPicture(test::dataPath("photos/" + sample));
    EXPECT_TRUE(src.ok()) << src.error;
    const Image scaled = Image::fromPicture(src.picture)
                             .clampedToExtent()
                             .scaled(double(w) / src.picture.width(), double(h) / src.picture.height(), true)
                             .cropped({0, 0, double(w), double(h)});
    const Picture p = defaultContext().createPicture(scaled, {0, 0, double(w), double(h)});
    const std::string path = dir + "/" + name;
    EXPECT_EQ(writePicture(p, path, PictureFormat::PNG), "");
    return path;
}

std::vector<std::string> filesIn(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir)) names.push_back(fs::relative(e.path(), dir).string());
    std::sort(names.begin(), names.end());
    return names;
}

Picture readBack(const std::string& path) {
    PictureResult r = readPicture(path);
    EXPECT_TRUE(r.ok()) << r.error;
    return r.picture;
}

double meanDifference(const Picture& a, const Picture& b) {
    if (a.width() != b.width() || a.height() != b.height()) return 1e9;
    double d = 0;
    for (size_t i = 0; i < a.rgba().size(); ++i) d += std::abs(int(a.rgba()[i]) - int(b.rgba()[i]));
    return d / double(a.rgba().size());
}

// Each test works in a folder of its own, removed when the test passes (the pictures at
// the larger resolutions are big).
class CLITest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = test::tempDir();
        dir = root_ + "/work";
        fs::create_directories(dir);
    }
    void TearDown() override {
        std::error_code ec;
        if (!HasFailure()) fs::remove_all(root_, ec);
    }
    std::string dir;

private:
    std::string root_;
};
using CLIStyles = CLITest;
using CLIStyle = CLITest;

TEST_F(CLIStyles, ListsTheApplicationStylesWithTheirIndexes) {
    const Outcome r = vellari({"styles"}, dir);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<std::pair<int, std::string>> entries;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream l(line);
        int index = -1;
        l >> index;
        std::string name;
        std::getline(l >> std::ws, name);
        entries.emplace_back(index, name);
    }
    ASSERT_EQ(entries.size(), 16u) << r.out;
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].first, int(i)) << r.out;
    EXPECT_EQ(entries.front().second, "Cool Cel");
    EXPECT_EQ(entries[7].second, "Novel Graphic");
    EXPECT_EQ(entries.back().second, "Blue Line Ink");

    // The styles outside the application's list come after it.
    const Outcome all = vellari({"styles", "--all"}, dir);
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_TRUE(all.out.starts_with(r.out)) << all.out;
    EXPECT_TRUE(contains(all.out, "16  Mono 01\n")) << all.out;
    EXPECT_TRUE(contains(all.out, "19  Anime\n")) << all.out;
}

TEST_F(CLIStyle, UsageErrorsExitTwoAndWriteNothing) {
    const std::string photo = smallPhoto(dir, "cat.png", 60, 40);
    const std::string other = smallPhoto(dir, "other.png", 60, 40);
    const std::vector<std::string> before = filesIn(dir);

    struct Case {
        std::vector<std::string> args;
        std::string message;  // part of what stderr must say
    };
    const std::vector<Case> cases = {
        {{"style", "--frobnicate", photo}, "--frobnicate"},
        {{"style"}, "inputs"},
        {{"style", "--style", "Sepia Dream", photo}, "Sepia Dream"},
        {{"style", "--style", "20", photo}, "no such style"},  // 16 to 19 are the other styles
        {{"style", "--style", "-1", photo}, "no such style"},
        {{"style", "--adjust", "brightness", photo}, "KIND=VALUE"},
        {{"style", "--adjust", "sparkle=0.5", photo}, "unknown adjustment \"sparkle\""},
        {{"style", "--adjust", "enhance=0.5", photo}, "unknown adjustment"},  // not a user setting
        {{"style", "--adjust", "brightness=1.5", photo}, "-1...1"},
        {{"style", "--adjust", "filterintensity=0.2", photo}, "unknown adjustment"},
        {{"style", "--adjust", "contrast=lots", photo}, "not a number"},
        {{"style", "--adjust", "shadowColor=pink", photo}, "not a colour"},
        {{"style", "--adjust", "shadowColor=red:2", photo}, "opacity"},
        {{"style", "--resolution", "huge", photo}, "huge"},
        {{"style", "--resolution", "720", photo}, "720"},
        {{"style", "--format", "gif", photo}, "gif"},
        {{"style", "--format", "png", "-o", "x.jpg", photo}, "x.jpg"},
        {{"style", "-o", "x.tiff", photo}, ".tiff"},
        {{"style", "-o", "one.png", photo, other}, "one.png"},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& a : c.args) shown += a + " ";
        const Outcome r = vellari(c.args, dir);
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << shown << "\n" << r.err;
    }
    EXPECT_EQ(filesIn(dir), before);
}

TEST_F(CLIStyle, NameWithSpacesInAnyCaseAndIndexPickTheSameStyle) {
    const std::string photo = smallPhoto(dir, "cat.png", 90, 60);

    ASSERT_EQ(vellari({"style", "-r", "small", "-s", "neutral CEL", "-o", "by-name.png", photo}, dir).status, 0);
    ASSERT_EQ(vellari({"style", "-r", "small", "-s", "  Neutral   Cel ", "-o", "spaced.png", photo}, dir).status, 0);
    ASSERT_EQ(vellari({"style", "-r", "small", "-s", "1", "-o", "by-index.png", photo}, dir).status, 0);
    ASSERT_EQ(vellari({"style", "-r", "small", "-s", "Blue line ink", "-o", "ink.png", photo}, dir).status, 0);

    const Picture byName = readBack(dir + "/by-name.png");
    EXPECT_EQ(meanDifference(byName, readBack(dir + "/by-index.png")), 0.0);
    EXPECT_EQ(meanDifference(byName, readBack(dir + "/spaced.png")), 0.0);
    // Another style really is another picture.
    EXPECT_GT(meanDifference(byName, readBack(dir + "/ink.png")), 10.0);
}

TEST_F(CLIStyle, OutputShortSideIsTheResolution) {
    const std::string landscape = smallPhoto(dir, "wide.png", 150, 100);
    const std::string portrait = smallPhoto(dir, "tall.png", 80, 120, "astronaut.png");
    const std::string big = smallPhoto(dir, "big.png", 1800, 1200);

    struct Case {
        std::string resolution, input;
        int width, height;
    };
    // Larger and smaller photos alike come out with the chosen short side, aspect kept.
    std::vector<Case> cases = {
        {"small", landscape, 1620, 1080}, {"medium", landscape, 2430, 1620}, {"large", landscape, 3240, 2160},
        {"giant", landscape, 4860, 3240}, {"Small", portrait, 1080, 1620},   {"1080p", big, 1620, 1080},
    };
    // 451 x 300 at 1620: 2435.4 wide, which rounds to 2435 whole pixels.
    const std::string chelsea = dir + "/chelsea.png";
    fs::copy_file(test::dataPath("photos/chelsea.png"), chelsea);
    cases.push_back({"medium", chelsea, 2435, 1620});
    for (const Case& c : cases) {
        // PNG keeps the coverage of the border pixels; JPEG is quicker for the rest.
        const std::string out = "out-" + c.resolution + "-" + fs::path(c.input).stem().string() +
                                (c.input == chelsea ? ".png" : ".jpg");
        const Outcome r = vellari({"style", "--resolution", c.resolution, "-o", out, c.input}, dir);
        ASSERT_EQ(r.status, 0) << r.err;
        const Picture p = readBack(dir + "/" + out);
        EXPECT_EQ(p.width(), c.width) << c.resolution << " " << c.input;
        EXPECT_EQ(p.height(), c.height) << c.resolution << " " << c.input;
        // The picture ends where the styled content does: its border pixels are covered.
        int covered = 0;
        for (int y = 0; y < p.height(); ++y) covered += p.pixel(p.width() - 1, y)[3] == 255;
        EXPECT_GT(covered, p.height() * 99 / 100) << c.resolution << " " << c.input;
    }
}

TEST_F(CLIStyle, ResolutionDefaultsToTheStillCaptureSetting) {
    const std::string photo = smallPhoto(dir, "cat.png", 60, 40);

    // Nothing stored: the application's default, medium.
    ASSERT_EQ(vellari({"style", "-o", "default.jpg", photo}, dir).status, 0);
    EXPECT_EQ(readBack(dir + "/default.jpg").height(), 1620);

    // The setting as the settings screen stores it.
    fs::create_directories(configDir(dir) + "/vellari");
    std::ofstream(configDir(dir) + "/vellari/settings.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
           "<plist version=\"1.0\"><dict><key>imageCaptureResolution</key><integer>1080</integer></dict></plist>\n";
    ASSERT_EQ(vellari({"style", "-o", "set.jpg", photo}, dir).status, 0);
    EXPECT_EQ(readBack(dir + "/set.jpg").height(), 1080);
    // The option wins over the setting.
    ASSERT_EQ(vellari({"style", "-r", "large", "-o", "option.jpg", photo}, dir).status, 0);
    EXPECT_EQ(readBack(dir + "/option.jpg").height(), 2160);
}

TEST_F(CLIStyle, WritesEachFormatNamedAfterPhotoAndStyle) {
    const std::string photo = smallPhoto(dir, "cat.png", 90, 60);

    const Outcome jpeg = vellari({"style", "-r", "small", "-s", "Ruby Graphic", photo}, dir);
    ASSERT_EQ(jpeg.status, 0) << jpeg.err;
    EXPECT_TRUE(contains(jpeg.err, "cat-ruby-graphic.jpg")) << jpeg.err;
    const std::string jpegBytes = slurp(dir + "/cat-ruby-graphic.jpg");
    ASSERT_GE(jpegBytes.size(), 3u);
    EXPECT_EQ(jpegBytes.substr(0, 3), "\xFF\xD8\xFF");

    const Outcome webp = vellari({"style", "-r", "small", "-s", "Ruby Graphic", "--format", "webp", photo}, dir);
    ASSERT_EQ(webp.status, 0) << webp.err;
    const std::string webpBytes = slurp(dir + "/cat-ruby-graphic.webp");
    ASSERT_GE(webpBytes.size(), 12u);
    EXPECT_EQ(webpBytes.substr(0, 4), "RIFF");
    EXPECT_EQ(webpBytes.substr(8, 4), "WEBP");
    const Picture fromWebP = readBack(dir + "/cat-ruby-graphic.webp");
    EXPECT_EQ(fromWebP.width(), 1620);
    EXPECT_EQ(fromWebP.height(), 1080);
    // Lossy, but the same picture as the JPEG.
    EXPECT_LT(meanDifference(fromWebP, readBack(dir + "/cat-ruby-graphic.jpg")), 6.0);

    // A file name's extension chooses the format; a name without one is a folder.
    ASSERT_EQ(vellari({"style", "-r", "small", "-o", "named.PNG", photo}, dir).status, 0);
    EXPECT_EQ(slurp(dir + "/named.PNG").substr(1, 3), "PNG");
    ASSERT_EQ(vellari({"style", "-r", "small", "-o", "folder/inner", "-f", "png", photo}, dir).status, 0);
    EXPECT_TRUE(readPicture(dir + "/folder/inner/cat-cool-cel.png").ok());
}

TEST_F(CLIStyle, ExportsCarryTheProgramAndCaption) {
    const std::string photo = smallPhoto(dir, "cat.png", 90, 60);

    const Outcome plain = vellari({"style", "-r", "small", "-o", "plain.jpg", photo}, dir);
    ASSERT_EQ(plain.status, 0) << plain.err;
    const std::string bytes = slurp(dir + "/plain.jpg");
    EXPECT_TRUE(contains(bytes, "Vellari | Cool Cel @(Small)"));
    EXPECT_FALSE(contains(bytes, "Adjustments"));

    const Outcome adjusted =
        vellari({"style", "-r", "small", "--adjust", "brightness=0.5", "-a", "shadowColor=red:0.3", "-o", "adj.png",
                 photo},
                dir);
    ASSERT_EQ(adjusted.status, 0) << adjusted.err;
    const std::string png = slurp(dir + "/adj.png");
    EXPECT_TRUE(contains(png, "| Adjustments: Brightness 50, ")) << png.substr(0, 200);
    EXPECT_TRUE(contains(png, "(Red 30%)")) << png.substr(0, 200);
    // The text chunks leave a picture that decodes, and the adjustment shows in it.
    ASSERT_EQ(vellari({"style", "-r", "small", "-o", "plain.png", photo}, dir).status, 0);
    EXPECT_GT(meanDifference(readBack(dir + "/adj.png"), readBack(dir + "/plain.png")), 3.0);
}

TEST_F(CLIStyle, ExistingFilesAreKeptUnlessOverwriteIsAsked) {
    const std::string photo = smallPhoto(dir, "cat.png", 60, 40);

    ASSERT_EQ(vellari({"style", "-r", "small", "-f", "png", "-o", "out/", photo}, dir).status, 0);
    const std::string result = dir + "/out/cat-cool-cel.png";
    const std::string first = slurp(result);
    ASSERT_FALSE(first.empty());

    const Outcome again = vellari({"style", "-r", "small", "-s", "Blobs Ink", "-o", result, photo}, dir);
    EXPECT_EQ(again.status, 1);
    EXPECT_TRUE(contains(again.err, result + ": already exists; --overwrite replaces it")) << again.err;
    EXPECT_EQ(slurp(result), first);

    const Outcome replaced = vellari({"style", "-r", "small", "-s", "Blobs Ink", "--overwrite", "-o", result, photo}, dir);
    EXPECT_EQ(replaced.status, 0) << replaced.err;
    EXPECT_NE(slurp(result), first);
    EXPECT_TRUE(readPicture(result).ok());
    // No temporary file left beside it.
    EXPECT_EQ(filesIn(dir + "/out"), std::vector<std::string>{"cat-cool-cel.png"});
}

TEST_F(CLIStyle, InputsAreNeverWrittenOver) {
    const std::string photo = smallPhoto(dir, "cat.png", 60, 40);
    const std::string original = slurp(photo);

    ASSERT_EQ(vellari({"style", "-r", "small", photo}, dir).status, 0);
    const std::string earlier = dir + "/cat-cool-cel.jpg";
    const std::string earlierBytes = slurp(earlier);

    // Styling the photo and an earlier result again: the photo's output would be the
    // earlier result, which is an input now, so it stays as it is even with --overwrite.
    const Outcome r = vellari({"style", "-r", "small", "--overwrite", photo, earlier}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "one of the inputs")) << r.err;
    EXPECT_EQ(slurp(earlier), earlierBytes);
    EXPECT_TRUE(readPicture(dir + "/cat-cool-cel-cool-cel.jpg").ok());

    // Naming the input itself as the output.
    const Outcome self = vellari({"style", "-r", "small", "--overwrite", "-o", photo, photo}, dir);
    EXPECT_EQ(self.status, 1);
    EXPECT_EQ(slurp(photo), original);
}

TEST_F(CLIStyle, BadInputsAreReportedAndTheOthersStillWritten) {
    const std::string a = smallPhoto(dir, "a.png", 60, 40);
    const std::string b = smallPhoto(dir, "b.png", 40, 60, "coffee.png");
    auto bytes = readFileBytes(test::dataPath("photos/coffee.png"));
    ASSERT_TRUE(bytes.has_value());
    const std::string truncated = dir + "/cut.png";
    ASSERT_EQ(writeFileAtomically(truncated, std::span(bytes->data(), bytes->size() / 3)), "");
    const std::string missing = dir + "/missing.png";
    const std::string text = dir + "/notes.png";
    std::ofstream(text) << "not a picture";

    const Outcome r = vellari({"style", "-r", "small", "-o", "styled", a, truncated, missing, text, b}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, truncated + ": truncated PNG data")) << r.err;
    EXPECT_TRUE(contains(r.err, missing + ": no such file")) << r.err;
    EXPECT_TRUE(contains(r.err, text + ": ")) << r.err;
    EXPECT_TRUE(contains(r.err, "2 of 5 pictures written")) << r.err;
    EXPECT_EQ(readBack(dir + "/styled/a-cool-cel.jpg").height(), 1080);
    EXPECT_EQ(readBack(dir + "/styled/b-cool-cel.jpg").width(), 1080);
    EXPECT_EQ(filesIn(dir + "/styled"), (std::vector<std::string>{"a-cool-cel.jpg", "b-cool-cel.jpg"}));
}

TEST_F(CLIStyle, SeveralInputsInParallelMatchOneAtATime) {
    fs::create_directories(dir + "/one");
    fs::create_directories(dir + "/two");
    // The same name in two folders: the second output gets a number.
    const std::string x1 = smallPhoto(dir + "/one", "x.png", 60, 40);
    const std::string x2 = smallPhoto(dir + "/two", "x.png", 60, 40, "coffee.png");
    const std::string y = smallPhoto(dir, "y.png", 50, 50, "astronaut.png");

    const Outcome both = vellari({"style", "-r", "small", "-f", "png", "-j", "2", "-o", "all", x1, x2, y}, dir);
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(filesIn(dir + "/all"),
              (std::vector<std::string>{"x-cool-cel-2.png", "x-cool-cel.png", "y-cool-cel.png"}));

    // Each matches the picture styled on its own, whatever the other thread did.
    ASSERT_EQ(vellari({"style", "-r", "small", "-o", "alone.png", x2}, dir).status, 0);
    EXPECT_EQ(meanDifference(readBack(dir + "/all/x-cool-cel-2.png"), readBack(dir + "/alone.png")), 0.0);
    ASSERT_EQ(vellari({"style", "-r", "small", "-o", "alone-y.png", y}, dir).status, 0);
    EXPECT_EQ(meanDifference(readBack(dir + "/all/y-cool-cel.png"), readBack(dir + "/alone-y.png")), 0.0);
}

}  // namespace
}  // namespace vellari
