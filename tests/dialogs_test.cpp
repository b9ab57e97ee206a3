// The rules behind the dialogs: the packaging line, the snap grant command,
// where the licence texts are, the notice's paragraphs, and the start views.
#include "dialogs.h"

#include <gtest/gtest.h>

#include <optional>

#include "fixture.h"
#include "settings.h"

namespace {

const char* const PACKAGING_VARS[] = {"SNAP",       "SNAP_VERSION", "SNAP_REVISION",
                                      "FLATPAK_ID", "APPIMAGE",     "APPDIR"};

TEST(Packaging, KindByEnvironmentThenByExecutable) {
    struct Case {
        std::vector<std::pair<const char*, const char*>> env;
        const char* exe;  // target of /proc/self/exe, null: no link
        const char* kind;
    };
    const Case cases[] = {
        {{{"SNAP", "/snap/zq/12"}, {"SNAP_VERSION", "1.0"}, {"SNAP_REVISION", "12"}},
         "/usr/bin/zq",
         "Snap 1.0 (rev 12)"},
        {{{"SNAP", ""}}, "/usr/bin/zq", "Snap"},
        {{{"SNAP", "/snap/zq/7"}, {"SNAP_REVISION", "7"}}, nullptr, "Snap (rev 7)"},
        {{{"SNAP", "/snap/zq/7"}, {"FLATPAK_ID", "org.example.Zq"}}, nullptr, "Snap"},
        {{{"FLATPAK_ID", "org.example.Zq"}, {"APPDIR", "/tmp/.mount"}}, nullptr, "Flatpak"},
        {{{"APPDIR", "/tmp/.mount_zq"}}, nullptr, "AppImage"},
        {{{"APPIMAGE", "/home/u/Zq.AppImage"}}, nullptr, "AppImage"},
        {{}, "/usr/bin/zorvantelquist", ""},
        {{}, "/usr/local/bin/zorvantelquist", ""},
        {{}, "/home/u/src/zq/build/zorvantelquist", "Entwicklungsstand"},
        {{}, "/opt/zq/zorvantelquist", "Entwicklungsstand"},
        {{}, nullptr, ""},
    };
    for (const Case& c : cases) {
        zqtest::FixtureRoot root;
        root.mkdir("/proc/self");
        if (c.exe) root.symlink("/proc/self/exe", c.exe);
        std::vector<std::unique_ptr<zqtest::ScopedEnv>> env;
        for (const char* var : PACKAGING_VARS) {
            const char* value = nullptr;
            for (const auto& [name, v] : c.env)
                if (std::string(name) == var) value = v;
            env.push_back(std::make_unique<zqtest::ScopedEnv>(var, value));
        }
        EXPECT_EQ(dialogs::packaging_kind(), c.kind) << c.kind << " / " << (c.exe ? c.exe : "no link");
    }
}

TEST(Packaging, GrantCommandOnlyForSnapNames) {
    EXPECT_EQ(dialogs::grant_command("zorvantelquist"),
              "sudo sh -c 'for i in hardware-observe system-observe network-observe; do snap connect "
              "zorvantelquist:$i; done'");
    EXPECT_NE(dialogs::grant_command("zq-2"), "");
    for (const char* bad : {"", "Zq", "zq;reboot", "zq'$(id)'", "zq name", "zq_x", "zq\n", "z\xc3\xa9"})
        EXPECT_EQ(dialogs::grant_command(bad), "") << bad;
}

TEST(Packaging, LicenceTextsInsideThePackageFirst) {
    struct Case {
        const char* snap;  // null: unset
        const char* appdir;
        std::vector<const char*> dirs;  // made in the fixture
        const char* expect;
    };
    const Case cases[] = {
        {"/snap/zq/3", nullptr, {"/snap/zq/3/usr/share/doc", "/usr/share/doc"}, "/snap/zq/3/usr/share/doc"},
        {"/snap/zq/3", "/app", {"/app/usr/share/doc", "/usr/share/doc"}, "/app/usr/share/doc"},
        {nullptr, "/tmp/.mount_zq", {"/usr/share/doc"}, "/usr/share/doc"},  // nothing in the AppImage
        {"", nullptr, {"/usr/share/doc"}, "/usr/share/doc"},                // empty: the system's
        {nullptr, nullptr, {}, ""},
    };
    for (const Case& c : cases) {
        zqtest::FixtureRoot root;
        for (const char* d : c.dirs) root.mkdir(d);
        zqtest::ScopedEnv snap("SNAP", c.snap), appdir("APPDIR", c.appdir);
        EXPECT_EQ(dialogs::license_doc_dir(), c.expect);
    }
}

TEST(Packaging, FirstAndLastParagraphs) {
    const struct {
        const char* text;
        const char* first;
        const char* last;
    } cases[] = {
        {"Intro.\n\nRun this:", "Intro.", "Run this:"},
        {"One.\n\nTwo.\n\nThree.", "One.", "Three."},
        {"No blank line.\nJust a break.", "No blank line.\nJust a break.", ""},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(dialogs::first_paragraph(c.text), c.first);
        EXPECT_EQ(dialogs::last_paragraph(c.text), c.last);
    }
}

// The stored numbers name tabs, not positions: 1 is the mainboard wherever
// the tab bar puts it.
TEST(StartView, StoredNumbersNameTabs) {
    const struct {
        int stored;
        const char* tab;
    } cases[] = {{0, "cpu"}, {1, "board"}, {2, "memory"}, {3, "cpu"}, {-1, "cpu"}, {99, "cpu"}};
    for (const auto& c : cases) EXPECT_STREQ(start_view_tab(c.stored), c.tab) << c.stored;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(start_view_of(start_view_tab(i)), i);
    for (const char* other : {"topo", "gpu", "disk", "net", ""}) EXPECT_EQ(start_view_of(other), -1) << other;
}

}  // namespace
