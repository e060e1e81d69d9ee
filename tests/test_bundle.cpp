// The application bundle: finding resources by name.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "test_support.h"
#include "vellari/platform/bundle.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& p, const std::string& text) {
    fs::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << text;
}

// A bundle in <tmp>/bundle, with a file beside it that no name may reach.
struct Fixture {
    fs::path top = test::tempDir();
    fs::path root = top / "bundle";
    Bundle bundle{root.string()};
    Fixture() {
        writeText(root / "LUTs/Diamond v08-32^3-64^20-25%.png", "lut");
        writeText(root / "Settings/Comic Boost 3.plist", "<plist/>");
        writeText(root / "teeth-LUT.png", "teeth");
        writeText(root / "default.metallib", "lib");
        writeText(root / "SmoothEdges.cikernel", "kernel source\n");
        writeText(root / "README", "plain");
        writeText(root / "paper.b.png", "b");
        writeText(root / "paper.a.png", "a");
        writeText(top / "secret.txt", "outside");
    }
};

TEST(Bundle, FindsNamesWithSpacesCaretsAndFolders) {
    Fixture f;
    const std::string lut = (f.root / "LUTs/Diamond v08-32^3-64^20-25%.png").string();
    EXPECT_EQ(f.bundle.pathForResource("LUTs/Diamond v08-32^3-64^20-25%.png"), lut);
    EXPECT_EQ(f.bundle.pathForResource("LUTs/Diamond v08-32^3-64^20-25%", "png"), lut);
    EXPECT_EQ(f.bundle.pathForResource("LUTs/Diamond v08-32^3-64^20-25%", ".png"), lut);
    EXPECT_EQ(f.bundle.pathForResource("Settings/Comic Boost 3", "plist"),
              (f.root / "Settings/Comic Boost 3.plist").string());
    EXPECT_EQ(f.bundle.pathForResource("default", "metallib"), (f.root / "default.metallib").string());
    EXPECT_EQ(f.bundle.pathForResource("README"), (f.root / "README").string());

    EXPECT_EQ(f.bundle.pathForResource("teeth-LUT", "jpg"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("Settings/Comic Boost 4", "plist"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("LUTs/Diamond", "png"), std::nullopt);
    EXPECT_EQ(Bundle("").pathForResource("teeth-LUT.png"), std::nullopt);
    EXPECT_FALSE(Bundle("").valid());
}

TEST(Bundle, NameWithoutTypeTakesAnyExtension) {
    Fixture f;
    EXPECT_EQ(f.bundle.pathForResource("teeth-LUT"), (f.root / "teeth-LUT.png").string());
    EXPECT_EQ(f.bundle.pathForResource("Settings/Comic Boost 3"), (f.root / "Settings/Comic Boost 3.plist").string());
    // Several candidates: the first by name, whatever order the folder lists them in.
    EXPECT_EQ(f.bundle.pathForResource("paper"), (f.root / "paper.a.png").string());
    // A prefix of a name is not a match.
    EXPECT_EQ(f.bundle.pathForResource("teeth"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("Settings/Comic"), std::nullopt);
}

TEST(Bundle, RefusesNamesThatLeaveTheBundle) {
    Fixture f;
    ASSERT_TRUE(fs::exists(f.root / "../secret.txt"));
    EXPECT_EQ(f.bundle.pathForResource("../secret.txt"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("../secret", "txt"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("../secret"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("LUTs/../../secret.txt"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource("LUTs/../teeth-LUT.png"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource((f.top / "secret.txt").string()), std::nullopt);
    EXPECT_EQ(f.bundle.dataForResource("../secret.txt"), std::nullopt);
    EXPECT_EQ(f.bundle.pathForResource(""), std::nullopt);
    // Names that merely contain dots are fine.
    EXPECT_TRUE(f.bundle.pathForResource("paper.a", "png").has_value());
}

TEST(Bundle, ReadsDataAndText) {
    Fixture f;
    EXPECT_EQ(f.bundle.textForResource("SmoothEdges", "cikernel"), "kernel source\n");
    auto data = f.bundle.dataForResource("LUTs/Diamond v08-32^3-64^20-25%", "png");
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(std::string(data->begin(), data->end()), "lut");
    EXPECT_EQ(f.bundle.textForResource("missing", "cikernel"), std::nullopt);
    EXPECT_EQ(f.bundle.dataForResource("LUTs"), std::nullopt);  // a folder has no data
}

TEST(Bundle, SearchOrderAndEnvironment) {
    Fixture f;
    ASSERT_EQ(setenv("VELLARI_RESOURCES", f.root.c_str(), 1), 0);
    auto locations = Bundle::searchLocations();
    ASSERT_GE(locations.size(), 4u);
    EXPECT_EQ(locations[0], f.root.string());
    const fs::path exeDir = fs::read_symlink("/proc/self/exe").parent_path();
    EXPECT_EQ(locations[1], (exeDir / "resources").string());
    EXPECT_EQ(locations[2], (exeDir.parent_path() / "share/vellari/resources").string());
    ASSERT_EQ(unsetenv("VELLARI_RESOURCES"), 0);
    EXPECT_EQ(Bundle::searchLocations().size(), locations.size() - 1);
    EXPECT_EQ(Bundle::searchLocations()[0], locations[1]);

    // main() settles once per process, so each case runs in a fresh one.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string root = f.root.string();
    EXPECT_EXIT(
        {
            setenv("VELLARI_RESOURCES", root.c_str(), 1);
            const Bundle& b = Bundle::main();
            std::exit(b.root() == root && b.textForResource("README") == "plain" ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
    // A variable naming no folder is passed over for the next location that exists (in
    // the build tree, the bundle linked beside the test programs).
    std::string fallback;
    for (const auto& l : Bundle::searchLocations())
        if (fallback.empty() && fs::is_directory(l)) fallback = l;
    EXPECT_EXIT(
        {
            setenv("VELLARI_RESOURCES", (root + "/nowhere").c_str(), 1);
            std::exit(Bundle::main().root() == fallback ? 0 : 3);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace vellari
