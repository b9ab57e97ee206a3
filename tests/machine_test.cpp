// The one-line machine name and the Snap sandbox probes, on a desktop whose
// firmware left fillers in DMI and on a device-tree board without DMI.
#include <gtest/gtest.h>

#include <sched.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fixture.h"
#include "probe.h"
#include "util.h"

namespace {

const std::string DMI = "/sys/devices/virtual/dmi/id";

std::string host_name() {
    struct utsname u;
    return ::uname(&u) == 0 ? std::string(u.nodename) : std::string();
}

// machine_line() in a child with a host name of its own (a private UTS
// namespace); "<skip>" when such namespaces are not allowed here.
std::string machine_line_with_host(const std::string& host) {
    int fds[2];
    if (::pipe(fds) != 0) return "<skip>";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        if (::unshare(CLONE_NEWUSER | CLONE_NEWUTS) != 0 || ::sethostname(host.data(), host.size()) != 0)
            _exit(77);
        const std::string line = probe::machine_line();
        ssize_t ignored = ::write(fds[1], line.data(), line.size());
        (void)ignored;
        _exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "<skip>";
}

TEST(MachineLine, VendorAndProductWithoutFillers) {
    zqtest::FixtureRoot root("desktop-dmi");
    // sys_vendor is a filler here: the product alone remains.
    EXPECT_EQ(probe::machine_line(), "B450M Steel Legend");
    root.write(DMI + "/sys_vendor", "LENOVO\n");
    root.write(DMI + "/product_name", "20XW0026GE\n");
    EXPECT_EQ(probe::machine_line(), "LENOVO 20XW0026GE");
    root.write(DMI + "/product_name", "System Product Name\n");
    EXPECT_EQ(probe::machine_line(), "LENOVO");
    // Fillers match whole texts in any case, nothing less.
    root.write(DMI + "/sys_vendor", "Unknown Systems GmbH\n");
    root.write(DMI + "/product_name", "DEFAULT STRING\n");
    EXPECT_EQ(probe::machine_line(), "Unknown Systems GmbH");
}

TEST(MachineLine, HostNameWhenDmiSaysNothing) {
    zqtest::FixtureRoot root("arm-nodmi");
    EXPECT_EQ(probe::machine_line(), util::trim(host_name()));

    const std::string named = machine_line_with_host("box");
    if (named == "<skip>") GTEST_SKIP() << "user and UTS namespaces not allowed here";
    EXPECT_EQ(named, "box");
    // No name at all stays empty: the callers have their own fallback.
    EXPECT_EQ(machine_line_with_host(""), "");

    zqtest::FixtureRoot fillers("desktop-dmi");
    fillers.write(DMI + "/product_name", "To be filled by O.E.M.\n");
    EXPECT_EQ(machine_line_with_host("box"), "box");
}

TEST(SnapHint, OnlyInsideASnap) {
    {
        zqtest::ScopedEnv env("SNAP_NAME", nullptr);
        EXPECT_EQ(probe::snap_hint("hardware-observe"), "");
    }
    {
        zqtest::ScopedEnv env("SNAP_NAME", "");
        EXPECT_EQ(probe::snap_hint("hardware-observe"), "");
    }
    {
        // Not a snap name: no command to run is offered.
        zqtest::ScopedEnv env("SNAP_NAME", "zorvq; rm -rf ~");
        EXPECT_EQ(probe::snap_hint("hardware-observe"), "");
    }
    zqtest::ScopedEnv env("SNAP_NAME", "zorvq");
    const std::string hint = probe::snap_hint("network-observe");
    EXPECT_NE(hint.find("network-observe"), std::string::npos) << hint;
    EXPECT_NE(hint.find("sudo snap connect zorvq:network-observe"), std::string::npos) << hint;
}

using Missing = std::vector<std::string>;

TEST(SnapPermissions, NothingProbedOutsideASnap) {
    zqtest::FixtureRoot root;  // nothing readable at all
    {
        zqtest::ScopedEnv env("SNAP_NAME", nullptr);
        EXPECT_EQ(probe::missing_snap_permissions(), Missing{});
    }
    zqtest::ScopedEnv env("SNAP_NAME", "");
    EXPECT_EQ(probe::missing_snap_permissions(), Missing{});
}

TEST(SnapPermissions, AllConnectedOnADesktop) {
    zqtest::ScopedEnv env("SNAP_NAME", "zorvq");
    zqtest::FixtureRoot root("desktop-dmi");
    EXPECT_EQ(probe::missing_snap_permissions(), Missing{});
}

TEST(SnapPermissions, WhatTheSandboxHides) {
    zqtest::ScopedEnv env("SNAP_NAME", "zorvq");
    {
        // Without hardware-observe the sandbox hides block devices and DMI
        // details; without system-observe the host's os-release; without
        // network-observe interface states.
        zqtest::FixtureRoot root("desktop-dmi");
        root.remove("/sys/block/nvme0n1");
        root.remove("/var/lib/snapd/hostfs/etc/os-release");
        root.remove("/sys/devices/pci0000:00/0000:00:02.1/0000:05:00.0/net/enp5s0/operstate");
        EXPECT_EQ(probe::missing_snap_permissions(),
                  (Missing{"hardware-observe", "system-observe", "network-observe"}));
    }
    {
        zqtest::FixtureRoot root("desktop-dmi");
        root.write(DMI + "/board_vendor", "");
        EXPECT_EQ(probe::missing_snap_permissions(), Missing{"hardware-observe"});
    }
    {
        // A board without DMI always looks like a missing hardware-observe.
        zqtest::FixtureRoot root("arm-nodmi");
        EXPECT_EQ(probe::missing_snap_permissions(), (Missing{"hardware-observe", "system-observe"}));
    }
}

TEST(SnapPermissions, LoopbackAloneTellsNothingAboutNetwork) {
    zqtest::ScopedEnv env("SNAP_NAME", "zorvq");
    zqtest::FixtureRoot root("desktop-dmi");
    root.remove("/sys/class/net/enp5s0");
    root.remove("/sys/devices/virtual/net/lo/operstate");
    EXPECT_EQ(probe::missing_snap_permissions(), Missing{});
    root.remove("/sys/class/net");
    EXPECT_EQ(probe::missing_snap_permissions(), Missing{});
}

}  // namespace
