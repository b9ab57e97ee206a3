// The crash handler end to end: a helper program installs it and dies of a
// fatal signal; stand-in zenity, python3 and xdg-open first on PATH record
// what the mail child asked of them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "crash_handler.h"
#include "fixture.h"
#include "util.h"

namespace {

using zqtest::slurp;
using zqtest::write_file;

constexpr const char* ZENITY =
    "#!/bin/bash\n"
    "printf '%s\\n' \"$@\" > \"$ZQ_CRASH_LOG/zenity\"\n"
    "sleep \"${ZQ_ZENITY_SLEEP:-0}\"\n"
    "printf 'It crashed when I clicked \"Refresh\"'\n"
    "touch \"$ZQ_CRASH_LOG/zenity-done\"\n"
    "exit \"${ZQ_ZENITY_EXIT:-0}\"\n";

// Percent-encodes as urllib.parse.quote does with its default safe "/".
constexpr const char* PYTHON3 =
    "#!/bin/bash\n"
    "export LC_ALL=C\n"
    "if [[ $2 == *'open('* ]]; then data=$(cat -- \"$3\"; printf x); data=${data%x}; else data=$3; fi\n"
    "out=''\n"
    "for ((i = 0; i < ${#data}; i++)); do c=${data:i:1}\n"
    "  case $c in [A-Za-z0-9_.~/-]) out+=$c ;; *) printf -v h '%%%02X' \"'$c\"; out+=$h ;; esac\n"
    "done\n"
    "printf '%s' \"$out\"\n";

constexpr const char* XDG_OPEN = "#!/bin/bash\nprintf '%s' \"$1\" > \"$ZQ_CRASH_LOG/xdg-open\"\n";

std::string percent_decode(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

bool wait_for(const std::string& path, int tenths = 100) {
    for (int i = 0; i < tenths; ++i) {
        if (::access(path.c_str(), F_OK) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

class Crash : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef ZQ_SANITIZED
        GTEST_SKIP() << "the handler stays out of sanitizer builds";
#endif
        // Non-root runs reach the dialog; as root the program writes a
        // private report only, so those tests drop to "nobody".
        for (const std::string& d : {tools_.path(), log_.path(), runtime_.path()}) ::chmod(d.c_str(), 0777);
        install_tool("zenity", ZENITY);
        install_tool("python3", PYTHON3);
        install_tool("xdg-open", XDG_OPEN);
    }

    void install_tool(const std::string& name, const char* text) {
        const std::string path = tools_.path() + "/" + name;
        write_file(path, text);
        ::chmod(path.c_str(), 0755);
    }

    std::vector<std::string> env(const std::string& runtime) const {
        return {"PATH=" + tools_.path() + ":/usr/bin:/bin",
                "ZQ_CRASH_LOG=" + log_.path(),
                "XDG_RUNTIME_DIR=" + runtime,
                "LANG=en_US.UTF-8",
                "LANGUAGE=",
                "LC_ALL="};
    }

    // The crashing program as an unprivileged user when the tests run as root.
    static std::vector<std::string> as_user(const std::vector<std::string>& argv) {
        if (::geteuid() != 0) return argv;
        std::vector<std::string> out = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"};
        out.insert(out.end(), argv.begin(), argv.end());
        return out;
    }

    zqtest::TempDir tools_, log_, runtime_;
};

TEST_F(Crash, RootWritesAPrivateReportForEverySignalAndStartsNoChild) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root";
    const struct {
        const char* what;
        int sig;
        const char* name;
    } cases[] = {
        {"SEGV", SIGSEGV, "SIGSEGV (Segmentation fault)"},
        {"ABRT", SIGABRT, "SIGABRT (Abort)"},
        {"FPE", SIGFPE, "SIGFPE (Floating point exception)"},
        {"BUS", SIGBUS, "SIGBUS (Bus error)"},
        {"ILL", SIGILL, "SIGILL (Illegal instruction)"},
        {"TRAP", SIGTRAP, "SIGTRAP (Trap \u2014 usually a fatal GLib/GTK error)"},
    };
    ::chmod(runtime_.path().c_str(), 0700);
    const std::string report = runtime_.path() + "/Zorvantelquist_crash.txt";
    write_file(report, "an old report\n");
    for (const auto& c : cases) {
        auto r = zqtest::run({zqtest::tool("zq_crash"), c.what}, env(runtime_.path()));
        EXPECT_EQ(r.status, 128 + c.sig) << c.what << r.err;
        const std::vector<std::string> lines = util::split(slurp(report), '\n');
        ASSERT_GE(lines.size(), 12u) << c.what;
        EXPECT_EQ(lines[0], "=== Zorvantelquist Crash Report ===");
        EXPECT_EQ(lines[1], "Version: 1.0");
        EXPECT_EQ(lines[2], std::string("Signal: ") + c.name + " (" + std::to_string(c.sig) + ")");
        EXPECT_TRUE(util::starts_with(lines[3], "Time: 20")) << lines[3];
        EXPECT_EQ(lines[3].size(), std::string("Time: 2026-12-08 23:59:59").size());
        EXPECT_TRUE(util::starts_with(lines[4], "System: Linux ")) << lines[4];
        EXPECT_EQ(lines[5], "Desktop: unknown (unknown)");
        EXPECT_EQ(lines[6], "Snap: no");
        EXPECT_EQ(lines[7], "");
        EXPECT_EQ(lines[8], "Backtrace:");
        // The handler's own frame comes first, inside the program and written
        // the way the C library writes frames of shared libraries.
        EXPECT_TRUE(util::starts_with(lines[9], zqtest::tool("zq_crash") + "(+0x")) << lines[9];
        EXPECT_EQ(lines[lines.size() - 2], "=== End Report ===");
        struct stat st;
        ASSERT_EQ(::stat(report.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(util::path_exists(log_.path() + "/zenity"));

    // Without a runtime directory of its own, root writes nothing at all.
    zqtest::TempDir other;
    ::chown(other.path().c_str(), 65534, 65534);
    auto r = zqtest::run({zqtest::tool("zq_crash"), "SEGV"}, env(other.path()));
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_FALSE(util::path_exists(other.path() + "/Zorvantelquist_crash.txt"));
}

TEST_F(Crash, DialogDescriptionAndMailCarryTheReport) {
    // A quote and a blank in the directory would break a script that pasted
    // the path into its text.
    const std::string runtime = runtime_.path() + "/it's here";
    ::mkdir(runtime.c_str(), 0777);
    ::chmod(runtime.c_str(), 0777);
    auto r = zqtest::run(as_user({zqtest::tool("zq_crash"), "ABRT"}), env(runtime));
    EXPECT_EQ(r.status, 128 + SIGABRT) << r.err;
    ASSERT_TRUE(wait_for(log_.path() + "/xdg-open")) << "no mail was opened";
    const std::string report = slurp(runtime + "/Zorvantelquist_crash.txt");
    EXPECT_NE(
        report.find("\n=== End Report ===\n\nUser description:\nIt crashed when I clicked \"Refresh\"\n"),
        std::string::npos)
        << report;

    const std::vector<std::string> args = util::split(slurp(log_.path() + "/zenity"), '\n');
    EXPECT_NE(std::find(args.begin(), args.end(),
                        "--title=Zorvantelquist - Can you describe when the error occurred?"),
              args.end());
    EXPECT_NE(std::find(args.begin(), args.end(), "--cancel-label=Don't send"), args.end());
    EXPECT_NE(std::find(args.begin(), args.end(), "--ok-label=Send crash report"), args.end());

    const std::string mail = slurp(log_.path() + "/xdg-open");
    ASSERT_TRUE(util::starts_with(mail, "mailto:")) << mail;
    const size_t subject = mail.find("?subject="), body = mail.find("&body=");
    ASSERT_TRUE(subject != std::string::npos && body != std::string::npos) << mail;
    const std::string time_line = util::split(report, '\n')[3];
    EXPECT_EQ(percent_decode(mail.substr(subject + 9, body - subject - 9)),
              "Zorvantelquist Crash: SIGABRT (Abort) - " + time_line.substr(6));
    EXPECT_EQ(percent_decode(mail.substr(body + 6)), report);
}

TEST_F(Crash, GermanDialogAndCancelSendsNothing) {
    std::vector<std::string> e = env(runtime_.path());
    e.push_back("LANGUAGE=de_DE:en");
    e.push_back("ZQ_ZENITY_EXIT=1");
    auto r = zqtest::run(as_user({zqtest::tool("zq_crash"), "SEGV"}), e);
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    ASSERT_TRUE(wait_for(log_.path() + "/zenity-done"));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string args = slurp(log_.path() + "/zenity");
    EXPECT_NE(
        args.find("--title=Zorvantelquist - K\u00f6nnen Sie beschreiben, wann der Fehler aufgetreten ist?"),
        std::string::npos)
        << args;
    EXPECT_NE(args.find("--ok-label=Absturzbericht senden\n--cancel-label=Nicht senden\n"),
              std::string::npos);
    EXPECT_EQ(slurp(runtime_.path() + "/Zorvantelquist_crash.txt").find("User description:"),
              std::string::npos);
    EXPECT_FALSE(util::path_exists(log_.path() + "/xdg-open"));
}

// A change of the local offset from UTC after start-up (daylight saving)
// reaches the report's time once the main loop has passed it on.
TEST_F(Crash, TimeFollowsAClockChangeAfterStartUp) {
    std::vector<std::string> e = env(runtime_.path());
    e.insert(e.end(), {"TZ=UTC", "ZQ_ZENITY_EXIT=1"});
    const time_t before = ::time(nullptr);
    auto r = zqtest::run(as_user({zqtest::tool("zq_crash"), "ABRT", "clock"}), e);
    EXPECT_EQ(r.status, 128 + SIGABRT) << r.err;
    const std::vector<std::string> lines =
        util::split(slurp(runtime_.path() + "/Zorvantelquist_crash.txt"), '\n');
    ASSERT_GT(lines.size(), 3u);
    struct tm shown = {};
    ASSERT_TRUE(::strptime(lines[3].c_str(), "Time: %Y-%m-%d %H:%M:%S", &shown)) << lines[3];
    const time_t utc = ::timegm(&shown) - 5 * 3600;
    EXPECT_TRUE(utc >= before && utc <= ::time(nullptr)) << lines[3] << " is not UTC+5";
}

// In collector mode standard output is the window's pipe: the reader must see
// its end when the collector dies, not when the user closes the dialog.
TEST_F(Crash, ChildDoesNotHoldTheCrashedProcessesPipes) {
    std::vector<std::string> e = env(runtime_.path());
    e.push_back("ZQ_ZENITY_SLEEP=2");
    auto r = zqtest::run(as_user({zqtest::tool("zq_crash"), "SEGV", "collect"}), e);
    EXPECT_EQ(r.status, 128 + SIGSEGV);
    EXPECT_EQ(r.out, "V|1\n");
    EXPECT_FALSE(util::path_exists(log_.path() + "/zenity-done")) << "the reader waited for the dialog";
    ASSERT_TRUE(wait_for(log_.path() + "/xdg-open"));
}

// A crash inside the allocator, beside other threads as in the window: the
// handler still starts the dialog and the process ends, every time.
TEST_F(Crash, CrashInsideTheAllocatorStillEnds) {
    for (int i = 0; i < 8; ++i) {
        std::vector<std::string> argv = {"timeout", "-s", "KILL", "10"};
        for (std::string& a : as_user({zqtest::tool("zq_crash"), "MALLOC"})) argv.push_back(std::move(a));
        auto r = zqtest::run(argv, env(runtime_.path()));
        ASSERT_EQ(r.status, 128 + SIGSEGV) << "round " << i << (r.status == 128 + SIGKILL ? ": it hung" : "");
    }
}

}  // namespace
