// The two ways later tests put a fixture machine in front of the program:
// the in-process root prefix, and a mount namespace around the real binary.
#include <gtest/gtest.h>

#include "fixture.h"
#include "util.h"

namespace {

TEST(FixtureSeam, TreeFromTestDataIsSeenThroughRootPrefix) {
    zqtest::FixtureRoot root("seam");
    EXPECT_EQ(util::read_file("/proc/cpuinfo").substr(0, 9), "processor");
    EXPECT_EQ(util::list_dir("/sys/devices/system/cpu", "cpu").size(), 2u);
    root.write("/proc/cpuinfo", "changed\n");
    EXPECT_EQ(util::read_file("/proc/cpuinfo"), "changed");
}

TEST(FixtureSeam, PrefixRestoredAfterFixture) {
    { zqtest::FixtureRoot root; }
    EXPECT_EQ(util::root_prefix(), "");
}

TEST(FixtureSeam, MountNamespaceShowsFixtureToRealProgram) {
    auto r = zqtest::run_in_fixture(zqtest::test_data("seam"), {zqtest::tool("zq_read_file"), "/proc/cpuinfo"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, zqtest::slurp(zqtest::test_data("seam/proc/cpuinfo")));
    auto sys = zqtest::run_in_fixture(zqtest::test_data("seam"),
                                      {zqtest::tool("zq_read_file"), "/sys/devices/system/cpu/online"});
    ASSERT_EQ(sys.status, 0) << sys.err;
    EXPECT_EQ(sys.out, "0-1\n");
}

}  // namespace
