// The user-defaults store: registered defaults against stored values, typed reads,
// persistence, surviving interrupted writes and damaged files, and concurrent use.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"
#include "vellari/platform/plist.h"
#include "vellari/platform/user_defaults.h"

namespace vellari {
namespace {

namespace fs = std::filesystem;

void writeRaw(const fs::path& p, std::string_view bytes) { std::ofstream(p, std::ios::binary) << bytes; }
std::string readRaw(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class UserDefaultsTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = test::tempDir();
        path_ = (fs::path(dir_) / "settings.plist").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<std::string> corruptCopies() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(dir_)) {
            const std::string name = e.path().filename().string();
            if (name.rfind("settings.plist.corrupt-", 0) == 0) out.push_back(e.path().string());
        }
        return out;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(UserDefaultsTest, UnknownKeysReadAsZeroFalseOrNothing) {
    UserDefaults store(path_);
    EXPECT_EQ(store.integerForKey("missing"), 0);
    EXPECT_FALSE(store.boolForKey("missing"));
    EXPECT_EQ(store.doubleForKey("missing"), 0.0);
    EXPECT_FALSE(store.stringForKey("missing"));
    EXPECT_FALSE(store.dateForKey("missing"));
    EXPECT_FALSE(store.objectForKey("missing"));
    EXPECT_FALSE(fs::exists(path_)) << "reading must not create the file";
}

TEST_F(UserDefaultsTest, StoredValuesWinOverRegisteredDefaultsAndRemovalRestoresThem) {
    UserDefaults store(path_);
    store.registerDefaults({{"previewFPS", PlistValue(24)}, {"grid", PlistValue(false)}, {"name", PlistValue("a")}});
    EXPECT_EQ(store.integerForKey("previewFPS"), 24);
    EXPECT_FALSE(store.hasStoredValue("previewFPS"));

    ASSERT_TRUE(store.set("previewFPS", PlistValue(30)));
    ASSERT_TRUE(store.set("grid", PlistValue(true)));
    EXPECT_EQ(store.integerForKey("previewFPS"), 30);
    EXPECT_TRUE(store.boolForKey("grid"));
    EXPECT_EQ(store.stringForKey("name"), "a");

    // Registering again (every start does) replaces the default, never the stored value.
    store.registerDefaults({{"previewFPS", PlistValue(15)}, {"name", PlistValue("b")}});
    EXPECT_EQ(store.integerForKey("previewFPS"), 30);
    EXPECT_EQ(store.stringForKey("name"), "b");

    ASSERT_TRUE(store.removeObject("previewFPS"));
    EXPECT_EQ(store.integerForKey("previewFPS"), 15);
    EXPECT_FALSE(store.hasStoredValue("previewFPS"));

    const auto merged = store.dictionaryRepresentation();
    EXPECT_EQ(merged.at("grid"), PlistValue(true));
    EXPECT_EQ(merged.at("previewFPS"), PlistValue(15));
}

TEST_F(UserDefaultsTest, OnlyStoredValuesReachTheFile) {
    {
        UserDefaults store(path_);
        store.registerDefaults({{"fallback", PlistValue(7)}});
        store.set("kept", PlistValue(int64_t(1620)));
        store.set("removed", PlistValue(true));
        store.removeObject("removed");
    }
    auto root = readPlistFile(path_);
    ASSERT_TRUE(root);
    ASSERT_TRUE(root->dictionary());
    EXPECT_EQ(*root->dictionary(), (PlistDictionary{{"kept", PlistValue(int64_t(1620))}}));

    UserDefaults reopened(path_);
    EXPECT_EQ(reopened.integerForKey("kept"), 1620);
    EXPECT_EQ(reopened.integerForKey("fallback"), 0) << "defaults are per process, not persisted";
}

TEST_F(UserDefaultsTest, TypedReadsConvertWhereTheValueAllowsAndOtherwiseFallBack) {
    UserDefaults store(path_);
    store.registerDefaults({{"count", PlistValue(5)}, {"flag", PlistValue(true)}});
    store.setValues({{"text42", PlistValue("42")},
                     {"yes", PlistValue("YES")},
                     {"real", PlistValue(2.75)},
                     {"when", PlistValue(PlistDate(std::chrono::seconds(1700000000)))}});
    EXPECT_EQ(store.integerForKey("text42"), 42);
    EXPECT_TRUE(store.boolForKey("yes"));
    EXPECT_EQ(store.integerForKey("real"), 2);
    EXPECT_TRUE(store.boolForKey("real"));
    EXPECT_EQ(store.doubleForKey("text42"), 42.0);
    EXPECT_FALSE(store.stringForKey("real")) << "numbers are not strings";
    EXPECT_EQ(store.dateForKey("when"), PlistDate(std::chrono::seconds(1700000000)));

    // A value of an unusable type (a damaged or foreign file) must not hide the default.
    store.setValues({{"count", PlistValue("many")}, {"flag", PlistValue(PlistArray{})}});
    EXPECT_EQ(store.integerForKey("count"), 5);
    EXPECT_TRUE(store.boolForKey("flag"));
}

TEST_F(UserDefaultsTest, StaleTemporaryFilesFromAnInterruptedWriteDoNotDisturbReading) {
    {
        UserDefaults store(path_);
        store.set("previewResolution", PlistValue(2160));
    }
    // What a crash between writing the temporary file and renaming it leaves behind.
    const fs::path oldTemp = fs::path(dir_) / ".settings.plist.tmp-0badf00d";
    const fs::path newTemp = fs::path(dir_) / ".settings.plist.tmp-12345678";
    writeRaw(oldTemp, "<?xml version=\"1.0\"?><plist><dict><key>previewRes");
    writeRaw(newTemp, "garbage");
    fs::last_write_time(oldTemp, fs::file_time_type::clock::now() - std::chrono::hours(3));

    UserDefaults store(path_);
    EXPECT_EQ(store.integerForKey("previewResolution"), 2160);
    EXPECT_TRUE(corruptCopies().empty());
    EXPECT_FALSE(fs::exists(oldTemp)) << "an hours-old temporary is debris";
    EXPECT_TRUE(fs::exists(newTemp)) << "a fresh one may be another writer's";

    ASSERT_TRUE(store.set("previewResolution", PlistValue(1620)));
    EXPECT_EQ(UserDefaults(path_).integerForKey("previewResolution"), 1620);
}

TEST_F(UserDefaultsTest, DamagedFilesAreSetAsideAndDefaultsServed) {
    struct Case {
        const char* what;
        std::string bytes;
    };
    const std::vector<Case> cases{
        {"garbage", "\x01\x02 not a property list"},
        {"truncated", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n<key>previewFPS</key>"},
        {"empty", ""},
        {"array root", "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><integer>1</integer></array></plist>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const auto& p : corruptCopies()) fs::remove(p);
        writeRaw(path_, c.bytes);

        UserDefaults store(path_);
        store.registerDefaults({{"previewFPS", PlistValue(24)}});
        EXPECT_EQ(store.integerForKey("previewFPS"), 24);
        EXPECT_TRUE(store.persistentDomain().empty());

        const auto copies = corruptCopies();
        ASSERT_EQ(copies.size(), 1u);
        EXPECT_EQ(store.setAsidePath(), copies[0]);
        EXPECT_EQ(readRaw(copies[0]), c.bytes) << "the damaged file is kept as it was";
        EXPECT_FALSE(fs::exists(path_));

        ASSERT_TRUE(store.set("previewFPS", PlistValue(12)));
        EXPECT_EQ(UserDefaults(path_).integerForKey("previewFPS"), 12);
        fs::remove(path_);
    }
}

TEST_F(UserDefaultsTest, AFailedWriteKeepsTheValueAndIsRetried) {
    // The store's folder is taken by a plain file, so nothing can be written.
    const fs::path blocker = fs::path(dir_) / "config";
    writeRaw(blocker, "x");
    const std::string path = (blocker / "settings.plist").string();

    UserDefaults store(path);
    EXPECT_FALSE(store.set("isGridVisibile", PlistValue(true)));
    EXPECT_TRUE(store.boolForKey("isGridVisibile"));
    EXPECT_FALSE(store.synchronize());

    fs::remove(blocker);
    EXPECT_TRUE(store.synchronize());
    EXPECT_TRUE(UserDefaults(path).boolForKey("isGridVisibile"));
    EXPECT_TRUE(store.synchronize()) << "nothing left to write";
}

TEST_F(UserDefaultsTest, ConcurrentWritersAndReadersLoseNothing) {
    UserDefaults store(path_);
    store.registerDefaults({{"shouldUsePerformanceThrottling", PlistValue(false)}});
    constexpr int kWriters = 3, kWrites = 40;
    std::atomic<bool> stop{false};
    std::atomic<int> badReads{0};
    std::thread reader([&] {
        while (!stop) {
            // A frame thread reads a flag while settings change; it must always see a value.
            if (!store.objectForKey("shouldUsePerformanceThrottling")) ++badReads;
        }
    });
    std::vector<std::thread> writers;
    for (int w = 0; w < kWriters; ++w)
        writers.emplace_back([&, w] {
            for (int i = 1; i <= kWrites; ++i) store.set("counter" + std::to_string(w), PlistValue(i));
        });
    for (auto& t : writers) t.join();
    stop = true;
    reader.join();

    EXPECT_EQ(badReads, 0);
    UserDefaults reopened(path_);
    for (int w = 0; w < kWriters; ++w) EXPECT_EQ(reopened.integerForKey("counter" + std::to_string(w)), kWrites);
}

TEST(UserDefaultsPath, FollowsTheConfigurationFolder) {
    const char* oldXdg = std::getenv("XDG_CONFIG_HOME");
    const char* oldHome = std::getenv("HOME");
    const std::optional<std::string> savedXdg = oldXdg ? std::optional<std::string>(oldXdg) : std::nullopt;
    const std::optional<std::string> savedHome = oldHome ? std::optional<std::string>(oldHome) : std::nullopt;

    setenv("XDG_CONFIG_HOME", "/srv/cfg", 1);
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(UserDefaults::standardPath(), "/srv/cfg/vellari/settings.plist");
    setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // not absolute: ignored
    EXPECT_EQ(UserDefaults::standardPath(), "/home/someone/.config/vellari/settings.plist");
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(UserDefaults::standardPath(), "/home/someone/.config/vellari/settings.plist");

    if (savedXdg) setenv("XDG_CONFIG_HOME", savedXdg->c_str(), 1);
    if (savedHome) setenv("HOME", savedHome->c_str(), 1);
    else unsetenv("HOME");
}

}  // namespace
}  // namespace vellari
