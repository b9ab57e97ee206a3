// The installed program: what `cmake --install` lays out in a staging
// directory with the /usr prefix, run from there as a packager would check it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <string>

#include "dialogs.h"
#include "fixture.h"
#include "icon_data.h"
#include "util.h"

namespace {

// Width and height from the PNG's header chunk, as in "256x256".
std::string png_size(const std::string& png) {
    if (png.size() < 24 || png.compare(12, 4, "IHDR") != 0) return {};
    auto be32 = [&](size_t at) {
        uint32_t v = 0;
        for (size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(png[at + i]);
        return v;
    };
    return std::to_string(be32(16)) + "x" + std::to_string(be32(20));
}

std::map<std::string, std::string> desktop_keys(const std::string& text) {
    std::map<std::string, std::string> keys;
    for (const std::string& line : util::split(text, '\n')) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) keys[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return keys;
}

bool executable(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXOTH);
}

TEST(Install, UsrPrefixIntoStagingDirectory) {
    zqtest::TempDir dest;
    auto install =
        zqtest::run({ZQ_CMAKE, "--install", ZQ_BUILD_DIR, "--prefix", "/usr"}, {"DESTDIR=" + dest.path()});
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    const std::string usr = dest.path() + "/usr";
    const std::string program = usr + "/bin/zorvantelquist";

    EXPECT_EQ(zqtest::run({program, "--version"}).out, "Zorvantelquist 1.0\n");
    auto report = zqtest::run({program, "--report"});
    EXPECT_EQ(report.status, 0);
    EXPECT_TRUE(util::starts_with(report.out, "Zorvantelquist 1.0 (Build 35)")) << report.out.substr(0, 200);
    // The hand-over finds the installed window program beside the staged
    // one, which then stops for want of a display, not for want of a file.
    auto window = zqtest::run({program}, {"DISPLAY=", "WAYLAND_DISPLAY=", "GDK_BACKEND=x11"});
    EXPECT_NE(window.status, 127) << window.err;
    EXPECT_NE(window.err.find("cannot open display"), std::string::npos) << window.err;

    const std::string entry = usr + "/share/applications/zorvantelquist.desktop";
    auto validate = zqtest::run({"desktop-file-validate", entry});
    EXPECT_EQ(validate.status, 0) << "desktop-file-utils installed? " << validate.out << validate.err;
    EXPECT_EQ(validate.out, "");
    auto keys = desktop_keys(zqtest::slurp(entry));
    EXPECT_TRUE(executable(usr + "/bin/" + keys["Exec"])) << keys["Exec"];
    EXPECT_EQ(keys["Terminal"], "false");

    // The installed icon is the embedded one, in the folder of its size.
    const std::string embedded(reinterpret_cast<const char*>(icon_data::PNG), sizeof icon_data::PNG);
    const std::string icon =
        usr + "/share/icons/hicolor/" + png_size(embedded) + "/apps/" + keys["Icon"] + ".png";
    EXPECT_TRUE(zqtest::slurp(icon) == embedded) << icon;

    // Run from its installed place, the window's About dialog names no packaging.
    const std::string staged_window = usr + "/bin/zorvantelquist-window";
    ASSERT_TRUE(executable(staged_window));
    zqtest::FixtureRoot root;
    root.mkdir("/proc/self");
    root.symlink("/proc/self/exe", staged_window.substr(dest.path().size()));
    zqtest::ScopedEnv snap("SNAP", nullptr), flatpak("FLATPAK_ID", nullptr), appimage("APPIMAGE", nullptr),
        appdir("APPDIR", nullptr);
    EXPECT_EQ(dialogs::packaging_kind(), "");
}

}  // namespace
