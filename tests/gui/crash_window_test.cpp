// The real program, killed by SIGSEGV while its window is up, leaves its
// crash report in the runtime directory it was given.
#include <gtest/gtest.h>
#include <unistd.h>

#include "crash_handler.h"
#include "fixture.h"
#include "util.h"

namespace {

TEST(CrashWindow, SegfaultInTheWindowWritesTheReport) {
#ifdef ZQ_SANITIZED
    GTEST_SKIP() << "the handler stays out of sanitizer builds";
#endif
    zqtest::TempDir runtime, config;
    // Root writes only into a runtime directory of its own; as a user the
    // mail child would start, so a stand-in zenity declines at once.
    zqtest::TempDir tools;
    zqtest::write_file(tools.path() + "/zenity", "#!/bin/sh\nexit 1\n");
    ::chmod((tools.path() + "/zenity").c_str(), 0755);
    static const char* const script =
        "trace=$(mktemp); \"$0\" 2>\"$trace\" & pid=$!; "
        "for i in $(seq 600); do grep -q 'have=' \"$trace\" && break; kill -0 $pid 2>/dev/null || break; "
        "sleep 0.1; done; kill -SEGV $pid; wait $pid; echo $?; rm -f \"$trace\"";
    auto r = zqtest::run({"bash", "-c", script, zqtest::binary()},
                         {"ZORVQ_GEOM_DEBUG=1", "XDG_RUNTIME_DIR=" + runtime.path(),
                          "XDG_CONFIG_HOME=" + config.path(), "PATH=" + tools.path() + ":/usr/bin:/bin"});
    EXPECT_EQ(r.out, "139\n") << r.err;
    const std::string report = zqtest::slurp(runtime.path() + "/Zorvantelquist_crash.txt");
    EXPECT_TRUE(util::starts_with(report, "=== Zorvantelquist Crash Report ===\n")) << report;
    EXPECT_NE(report.find("Signal: SIGSEGV (Segmentation fault) (11)\n"), std::string::npos);
}

}  // namespace
