// The installed program: what `cmake --install` lays out in a staging
// directory with the /usr prefix, run from there as a packager would check it.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "fixture.h"
#include "icon_data.h"
#include "util.h"

namespace {

// The icon folder a PNG belongs in: its size from the header chunk, as "256x256".
std::string png_size(const std::string& png) {
    uint32_t size[2] = {};
    if (png.size() >= 24) std::memcpy(size, png.data() + 16, sizeof size);
    return std::to_string(ntohl(size[0])) + "x" + std::to_string(ntohl(size[1]));
}

std::string desktop_value(const std::string& entry, const std::string& key) {
    for (const std::string& line : util::split(entry, '\n'))
        if (util::starts_with(line, key + "=")) return line.substr(key.size() + 1);
    return {};
}

TEST(Install, UsrPrefixIntoStagingDirectory) {
    zqtest::TempDir dest;
    auto install =
        zqtest::run({ZQ_CMAKE, "--install", ZQ_BUILD_DIR, "--prefix", "/usr"}, {"DESTDIR=" + dest.path()});
    ASSERT_EQ(install.status, 0) << install.out << install.err;
    const std::string usr = dest.path() + "/usr";

    EXPECT_EQ(zqtest::run({usr + "/bin/zorvantelquist", "--version"}).out, "Zorvantelquist 1.0\n");
    auto report = zqtest::run({usr + "/bin/zorvantelquist", "--report"});
    EXPECT_TRUE(report.status == 0 && util::starts_with(report.out, "Zorvantelquist 1.0 (Build 35)"))
        << report.out.substr(0, 200);
    // The hand-over finds the installed window program beside the staged
    // one, which then stops for want of a display, not for want of a file.
    auto window =
        zqtest::run({usr + "/bin/zorvantelquist"}, {"DISPLAY=", "WAYLAND_DISPLAY=", "GDK_BACKEND=x11"});
    EXPECT_NE(window.err.find("cannot open display"), std::string::npos) << window.err;

    const std::string entry = usr + "/share/applications/zorvantelquist.desktop";
    auto validate = zqtest::run({"desktop-file-validate", entry});
    EXPECT_TRUE(validate.status == 0 && validate.out.empty())
        << "desktop-file-utils installed? " << validate.out << validate.err;
    const std::string text = zqtest::slurp(entry);
    const std::string exec = usr + "/bin/" + desktop_value(text, "Exec");
    struct stat st {};
    EXPECT_TRUE(stat(exec.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & S_IXOTH)) << exec;
    // The installed icon is the embedded one, in the folder of its size.
    const std::string embedded(reinterpret_cast<const char*>(icon_data::PNG), sizeof icon_data::PNG);
    const std::string icon =
        usr + "/share/icons/hicolor/" + png_size(embedded) + "/apps/" + desktop_value(text, "Icon") + ".png";
    EXPECT_TRUE(zqtest::slurp(icon) == embedded) << icon;
}

}  // namespace
