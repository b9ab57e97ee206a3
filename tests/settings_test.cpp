// The settings file: exact bytes written, forgiving reads that keep what is
// good, and replacement that never loses the old file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <unistd.h>

#include <cstdlib>
#include <optional>

#include "fixture.h"
#include "settings.h"

namespace {

const char DEFAULTS_TEXT[] =
    "{\n"
    "  \"language\": \"auto\",\n"
    "  \"theme\": \"auto\",\n"
    "  \"window_x\": -1,\n"
    "  \"window_y\": -1,\n"
    "  \"window_width\": -1,\n"
    "  \"window_height\": -1,\n"
    "  \"window_maximized\": false,\n"
    "  \"start_tab\": 0,\n"
    "  \"show_sources\": false\n"
    "}\n";

Settings read(const std::string& text) {
    Settings s;
    SettingsStore::from_text(text, s);
    return s;
}

// Points the settings directory at a temporary one for one test.
class SettingsDir : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"SNAP_USER_COMMON", "XDG_CONFIG_HOME", "HOME"}) {
            const char* v = std::getenv(name);
            saved_.push_back({name, v ? std::optional<std::string>(v) : std::nullopt});
        }
        unsetenv("SNAP_USER_COMMON");
        setenv("XDG_CONFIG_HOME", tmp_.path().c_str(), 1);
        SettingsStore::instance().mutable_get() = Settings();
    }
    void TearDown() override {
        for (auto& [name, value] : saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        SettingsStore::instance().mutable_get() = Settings();
    }
    std::string file() const { return tmp_.path() + "/Zorvantelquist/settings.json"; }

    zqtest::TempDir tmp_;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(SettingsText, DefaultsAreElevenLines) { EXPECT_EQ(SettingsStore::to_text(Settings()), DEFAULTS_TEXT); }

TEST(SettingsText, ColoursFollowShowSourcesInTableOrder) {
    Settings s;
    s.load_mid = "#112233";
    s.hit_dark = "abcdef";
    s.window_x = 12;
    s.window_maximized = true;
    s.start_tab = 2;
    std::string text = SettingsStore::to_text(s);
    EXPECT_NE(text.find("  \"window_x\": 12,\n"), std::string::npos);
    EXPECT_NE(text.find("  \"window_maximized\": true,\n  \"start_tab\": 2,\n"), std::string::npos);
    EXPECT_TRUE(
        text.ends_with("  \"show_sources\": false,\n  \"hit_dark\": \"abcdef\",\n"
                       "  \"load_mid\": \"#112233\"\n}\n"))
        << text;
}

TEST(SettingsText, EverythingWrittenIsReadBack) {
    Settings s;
    s.language = "de";
    s.theme = "dark";
    s.window_x = -40;
    s.window_y = 0;
    s.window_width = 1200;
    s.window_height = 800;
    s.window_maximized = true;
    s.start_tab = 1;
    s.show_sources = true;
    for (int i = 0; i < COLOR_FIELD_COUNT; ++i) s.*COLOR_FIELDS[i].member = "#0000" + std::to_string(10 + i);
    Settings back = read(SettingsStore::to_text(s));
    EXPECT_EQ(SettingsStore::to_text(back), SettingsStore::to_text(s));
}

TEST(SettingsRead, MalformedValuesKeepDefaultsOrFallBack) {
    EXPECT_EQ(SettingsStore::to_text(read("{")), DEFAULTS_TEXT);
    EXPECT_EQ(SettingsStore::to_text(read("")), DEFAULTS_TEXT);
    EXPECT_EQ(SettingsStore::to_text(read("\x01\xff\"language")), DEFAULTS_TEXT);

    EXPECT_EQ(read(R"({"window_width": 0, "window_height": -5})").window_width, -1);
    EXPECT_EQ(read(R"({"window_width": 0, "window_height": -5})").window_height, -1);
    EXPECT_EQ(read(R"({"start_tab": 3})").start_tab, 0);
    EXPECT_EQ(read(R"({"start_tab": -1})").start_tab, 0);
    EXPECT_EQ(read(R"({"start_tab": true})").start_tab, 1);
    EXPECT_EQ(read(R"({"window_x": 12px})").window_x, -1);
    EXPECT_EQ(read("{\"window_x\":    \t-40,\n}").window_x, -40);
    EXPECT_EQ(read(R"({"window_y": 1,5})").window_y, 1);
    EXPECT_EQ(read(R"({"window_y": "300"})").window_y, -1);  // a string is no number
    EXPECT_EQ(read(R"({"window_y": 1.5})").window_y, -1);
    EXPECT_EQ(read(R"({"window_y": -})").window_y, -1);
    EXPECT_EQ(read(R"({"window_maximized": 7})").window_maximized, true);
    EXPECT_EQ(read(R"({"show_sources": "yes"})").show_sources, false);
    EXPECT_EQ(read(R"({"theme": "Dark"})").theme, "auto");
    EXPECT_EQ(read(R"({"theme": 1})").theme, "auto");
    EXPECT_EQ(read(R"({"language": "xx"})").language, "auto");
    EXPECT_EQ(read(R"({"language": "de"})").language, "de");
    EXPECT_EQ(read(R"({"bg_dark": "#12345"})").bg_dark, "");
    EXPECT_EQ(read(R"({"bg_dark": "#12345g"})").bg_dark, "");
    EXPECT_EQ(read(R"({"bg_dark": "##123456"})").bg_dark, "");
    EXPECT_EQ(read(R"({"bg_dark": "#a1B2c3"})").bg_dark, "#a1B2c3");
    EXPECT_EQ(read(R"({"bg_dark": "a1B2c3"})").bg_dark, "a1B2c3");
}

// Numbers that do not fit an int would be cut to a garbage window size.
TEST(SettingsRead, HugeNumbersFallBack) {
    EXPECT_EQ(read(R"({"window_width": 99999999999})").window_width, -1);
    EXPECT_EQ(read(R"({"window_x": -99999999999999999999999})").window_x, -1);
    EXPECT_EQ(read(R"({"start_tab": 4294967297})").start_tab, 0);
    EXPECT_EQ(read(R"({"window_height": 2147483647})").window_height, 2147483647);
}

TEST(SettingsRead, BadFieldsDoNotSpoilGoodOnes) {
    Settings s = read(
        "{\n  \"language\": \"xx-bad\",\n  \"theme\": \"light\",\n  \"unknown\": [1, {\"x\": 2}],\n"
        "  \"window_x\": 5e3,\n  \"window_y\": 40,\n  \"window_width\": 1300,\n  \"window_height\": 0,\n"
        "  \"start_tab\": 9,\n  \"show_sources\": true,\n  \"bg_light\": \"red\",\n  \"text_dark\": "
        "\"#FFEEDD\"\n"
        "  \"theme\": \"dark\"");
    EXPECT_EQ(s.language, "auto");
    EXPECT_EQ(s.theme, "light");  // the first occurrence counts
    EXPECT_EQ(s.window_x, -1);
    EXPECT_EQ(s.window_y, 40);
    EXPECT_EQ(s.window_width, 1300);
    EXPECT_EQ(s.window_height, -1);
    EXPECT_EQ(s.start_tab, 0);
    EXPECT_TRUE(s.show_sources);
    EXPECT_EQ(s.bg_light, "");
    EXPECT_EQ(s.text_dark, "#FFEEDD");
}

TEST(SettingsRead, TruncatedFilesKeepWhatIsComplete) {
    Settings full;
    full.language = "he";
    full.window_width = 1111;
    full.accent_light = "#101010";
    std::string text = SettingsStore::to_text(full);
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        Settings s = read(text.substr(0, cut));
        EXPECT_TRUE(s.language == "auto" || s.language == "he") << cut;
        EXPECT_TRUE(s.window_width == -1 || s.window_width == 1111 || s.window_width == 1 ||
                    s.window_width == 11 || s.window_width == 111)
            << cut;
        EXPECT_TRUE(s.accent_light.empty() || s.accent_light == "#101010") << cut;
    }
}

TEST(SettingsRead, ResetColorsEmptiesAllFifteen) {
    Settings s;
    for (const ColorField& f : COLOR_FIELDS) s.*f.member = "#FFFFFF";
    s.reset_colors();
    EXPECT_EQ(SettingsStore::to_text(s), DEFAULTS_TEXT);
}

TEST_F(SettingsDir, DirectoryRules) {
    std::string base = tmp_.path();
    EXPECT_EQ(SettingsStore::instance().path(), base + "/Zorvantelquist/settings.json");
    setenv("SNAP_USER_COMMON", (base + "/snap").c_str(), 1);
    EXPECT_EQ(SettingsStore::instance().path(), base + "/snap/config/settings.json");
    // Empty counts as unset: never "/config" at the root of the file system.
    setenv("SNAP_USER_COMMON", "", 1);
    EXPECT_EQ(SettingsStore::instance().path(), base + "/Zorvantelquist/settings.json");
    setenv("XDG_CONFIG_HOME", "", 1);
    setenv("HOME", (base + "/home").c_str(), 1);
    EXPECT_EQ(SettingsStore::instance().path(), base + "/home/.config/Zorvantelquist/settings.json");
    struct stat st;
    EXPECT_EQ(::stat((base + "/home/.config/Zorvantelquist").c_str(), &st), 0);
    unsetenv("HOME");
    char* cwd = ::getcwd(nullptr, 0);
    ASSERT_EQ(::chdir(base.c_str()), 0);
    EXPECT_EQ(SettingsStore::instance().path(), "./.config/Zorvantelquist/settings.json");
    EXPECT_EQ(::chdir(cwd), 0);
    std::free(cwd);
}

TEST_F(SettingsDir, SaveThenLoad) {
    SettingsStore& store = SettingsStore::instance();
    store.mutable_get().theme = "dark";
    store.mutable_get().window_width = 1234;
    store.save();
    EXPECT_EQ(zqtest::slurp(file()), SettingsStore::to_text(store.get()));
    struct stat st;
    EXPECT_NE(::stat((file() + ".tmp").c_str(), &st), 0);
    store.mutable_get() = Settings();
    store.load();
    EXPECT_EQ(store.get().theme, "dark");
    EXPECT_EQ(store.get().window_width, 1234);
}

TEST_F(SettingsDir, MissingFileKeepsCurrentValues) {
    SettingsStore::instance().mutable_get().theme = "light";
    SettingsStore::instance().load();
    EXPECT_EQ(SettingsStore::instance().get().theme, "light");
}

// A write that fails half-way must not replace the old file.
TEST_F(SettingsDir, OldFileSurvivesFailedWrite) {
    SettingsStore& store = SettingsStore::instance();
    store.mutable_get().theme = "dark";
    store.save();
    std::string old_text = zqtest::slurp(file());
    ASSERT_EQ(::symlink("/dev/full", (file() + ".tmp").c_str()), 0);
    store.mutable_get().theme = "light";
    store.save();
    EXPECT_EQ(zqtest::slurp(file()), old_text);
    struct stat st;
    EXPECT_NE(::lstat((file() + ".tmp").c_str(), &st), 0) << "temporary file left behind";
}

TEST_F(SettingsDir, UnwritableDirectoryIsQuiet) {
    std::string blocker = tmp_.path() + "/blocked";
    zqtest::write_file(blocker, "a file in the way");
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    SettingsStore::instance().save();
    SettingsStore::instance().load();
    EXPECT_EQ(zqtest::slurp(blocker), "a file in the way");
}

}  // namespace
