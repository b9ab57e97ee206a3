// CPU load between pairs of /proc/stat readings as the kernel writes them:
// aggregate line, per-CPU lines (with gaps for offline CPUs), then the
// interrupt and process counters.
#include <gtest/gtest.h>

#include "fixture.h"
#include "load.h"

namespace {

const char* const TAIL =
    "intr 1184566 0 9 0 0 0 0 0 0 0 0 0 0 144 0 0 0\n"
    "ctxt 2186921\n"
    "btime 1733650000\n"
    "processes 10934\n"
    "procs_running 2\n"
    "procs_blocked 0\n"
    "softirq 604331 0 94320 2 38020 0 0 3 219810 0 252176\n";

// user nice system idle iowait irq softirq steal guest guest_nice
std::string stat(const std::string& cpu_lines) { return cpu_lines + TAIL; }

TEST(CpuLoad, NoValueBeforeTheSecondSample) {
    zqtest::FixtureRoot root;
    root.write("/proc/stat", stat("cpu  100 0 100 800 0 0 0 0 0 0\n"
                                  "cpu0 50 0 50 400 0 0 0 0 0 0\n"));
    load::CpuLoad load;
    EXPECT_EQ(load.total(), -1.0);
    EXPECT_EQ(load.of(0), -1.0);
    load.sample();
    EXPECT_EQ(load.total(), -1.0);
    EXPECT_EQ(load.of(0), -1.0);
}

TEST(CpuLoad, BusyShareOfElapsedTicks) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    root.write("/proc/stat", stat("cpu  1000 20 300 8000 100 10 5 0 0 0\n"
                                  "cpu0 500 10 150 4000 50 5 3 0 0 0\n"
                                  "cpu1 500 10 150 4000 50 5 2 0 0 0\n"));
    load.sample();
    // cpu0: +75 busy of +100; cpu1: +5 busy (iowait counts as idle) of +100
    root.write("/proc/stat", stat("cpu  1065 20 315 8075 145 10 5 0 0 0\n"
                                  "cpu0 560 10 165 4025 50 5 3 0 0 0\n"
                                  "cpu1 505 10 150 4050 95 5 2 0 0 0\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.of(0), 0.75);
    EXPECT_DOUBLE_EQ(load.of(1), 0.05);
    EXPECT_DOUBLE_EQ(load.total(), 0.4);
    EXPECT_EQ(load.of(2), -1.0);
}

TEST(CpuLoad, GuestTimeCountsAndFieldsPastTheTenthDoNot) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    root.write("/proc/stat", stat("cpu  10 0 0 10 0 0 0 0 0 0 0 0\n"
                                  "cpu0 0 0 0 0 0 0 0 0 0 0 0 0\n"));
    load.sample();
    // cpu0: 50 idle, 30 steal, 20 guest: busy 50 of 100. The eleventh and
    // twelfth numbers (from a future kernel) are ignored.
    root.write("/proc/stat", stat("cpu  10 0 0 60 0 0 0 30 20 0 900 900\n"
                                  "cpu0 0 0 0 50 0 0 0 30 10 10 900 900\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.total(), 0.5);
    EXPECT_DOUBLE_EQ(load.of(0), 0.5);
}

TEST(CpuLoad, ShortKernelLinesAndOddTags) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    // Oldest kernels: four numbers only. A three-number line or a tag without
    // a number is skipped; the scan goes on.
    root.write("/proc/stat", stat("cpu  10 0 10 80\n"
                                  "cpux 1 1 1 1\n"
                                  "cpu0 1 2 3\n"
                                  "cpu1 10 0 10 80\n"));
    load.sample();
    root.write("/proc/stat", stat("cpu  20 0 20 160\n"
                                  "cpux 2 2 2 2\n"
                                  "cpu0 2 4 6\n"
                                  "cpu1 40 0 40 120\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.total(), 0.2);
    EXPECT_DOUBLE_EQ(load.of(1), 0.6);
    EXPECT_EQ(load.of(0), -1.0);
}

TEST(CpuLoad, CountersNotAdvancingThenAdvancing) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    const std::string still = stat("cpu  100 0 100 800 0 0 0 0 0 0\ncpu0 100 0 100 800 0 0 0 0 0 0\n");
    root.write("/proc/stat", still);
    load.sample();
    load.sample();
    EXPECT_EQ(load.total(), -1.0);
    EXPECT_EQ(load.of(0), -1.0);
    root.write("/proc/stat", stat("cpu  150 0 100 850 0 0 0 0 0 0\ncpu0 150 0 100 850 0 0 0 0 0 0\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.total(), 0.5);
    EXPECT_DOUBLE_EQ(load.of(0), 0.5);
}

TEST(CpuLoad, CountersGoingBackStayWithinRange) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    root.write("/proc/stat", stat("cpu  100 0 0 100 50 0 0 0 0 0\n"
                                  "cpu0 100 0 0 100 50 0 0 0 0 0\n"
                                  "cpu1 100 0 0 100 50 0 0 0 0 0\n"));
    load.sample();
    // cpu0: busy fell by 10 while the total grew: 0. cpu1: iowait went back
    // (it is known to on some kernels), busy grew more than the total: 1.
    root.write("/proc/stat", stat("cpu  100 0 0 100 60 0 0 0 0 0\n"
                                  "cpu0 90 0 0 120 50 0 0 0 0 0\n"
                                  "cpu1 160 0 0 100 10 0 0 0 0 0\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.of(0), 0.0);
    EXPECT_DOUBLE_EQ(load.of(1), 1.0);
    EXPECT_DOUBLE_EQ(load.total(), 0.0);
}

TEST(CpuLoad, OfflineCpuKeepsItsLoadAndResumesOverTheGap) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    root.write("/proc/stat", stat("cpu  0 0 0 0 0 0 0 0 0 0\n"
                                  "cpu0 0 0 0 0 0 0 0 0 0 0\n"
                                  "cpu1 0 0 0 0 0 0 0 0 0 0\n"));
    load.sample();
    root.write("/proc/stat", stat("cpu  50 0 0 150 0 0 0 0 0 0\n"
                                  "cpu0 25 0 0 75 0 0 0 0 0 0\n"
                                  "cpu1 25 0 0 75 0 0 0 0 0 0\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.of(1), 0.25);
    // cpu1 offline: the kernel leaves its line out.
    root.write("/proc/stat", stat("cpu  100 0 0 200 0 0 0 0 0 0\n"
                                  "cpu0 75 0 0 125 0 0 0 0 0 0\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.of(0), 0.5);
    EXPECT_DOUBLE_EQ(load.of(1), 0.25);
    // Back online: measured against the reading from before it left.
    root.write("/proc/stat", stat("cpu  200 0 0 300 0 0 0 0 0 0\n"
                                  "cpu0 100 0 0 200 0 0 0 0 0 0\n"
                                  "cpu1 85 0 0 115 0 0 0 0 0 0\n"));
    load.sample();
    EXPECT_DOUBLE_EQ(load.of(1), 0.6);
}

TEST(CpuLoad, OnlyTheLeadingCounterLinesAreRead) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    root.write("/proc/stat", "cpu  0 0 0 0\ncpu0 0 0 0 0\nintr 5\ncpu1 0 0 0 0\n");
    load.sample();
    root.write("/proc/stat", "cpu  10 0 0 10\ncpu0 10 0 0 10\nintr 6\ncpu1 20 0 0 0\n");
    load.sample();
    EXPECT_DOUBLE_EQ(load.of(0), 0.5);
    EXPECT_EQ(load.of(1), -1.0);
}

TEST(CpuLoad, UnreadableStatChangesNothing) {
    zqtest::FixtureRoot root;
    load::CpuLoad load;
    root.write("/proc/stat", stat("cpu  10 0 0 10\ncpu0 0 0 0 0\n"));
    load.sample();
    root.write("/proc/stat", stat("cpu  40 0 0 80\ncpu0 30 0 0 70\n"));
    load.sample();
    root.remove("/proc/stat");
    load.sample();
    EXPECT_DOUBLE_EQ(load.total(), 0.3);
    EXPECT_DOUBLE_EQ(load.of(0), 0.3);
}

}  // namespace
