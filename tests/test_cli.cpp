// The vellari command-line tool, run as a separate process.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "test_support.h"
#include "vellari/platform/picture.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs the tool in `dir`, which also receives its output streams.
Outcome vellari(const std::vector<std::string>& args, const std::string& dir) {
    std::string cmd = "cd ";
    cmd += quote(dir) + " && " + quote(VELLARI_CLI);
    for (const auto& a : args) {
        cmd += ' ';
        cmd += quote(a);
    }
    cmd += " >";
    cmd += quote(dir + "/stdout");
    cmd += " 2>";
    cmd += quote(dir + "/stderr");
    Outcome r;
    const int w = std::system(cmd.c_str());
    r.status = WIFEXITED(w) ? WEXITSTATUS(w) : -1;
    r.out = slurp(dir + "/stdout");
    r.err = slurp(dir + "/stderr");
    return r;
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

TEST(CLI, HelpAndVersion) {
    const std::string dir = test::tempDir();
    Outcome help = vellari({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(contains(help.out, "Usage")) << help.out;
    EXPECT_TRUE(contains(help.out, "demo")) << help.out;

    Outcome demoHelp = vellari({"demo", "--help"}, dir);
    EXPECT_EQ(demoHelp.status, 0);
    EXPECT_TRUE(contains(demoHelp.out, "--output")) << demoHelp.out;

    Outcome version = vellari({"--version"}, dir);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "vellari 0.1.0\n");
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

}  // namespace
}  // namespace vellari
