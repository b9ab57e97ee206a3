#include <sys/utsname.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace probe {

namespace {

constexpr const char* DMI_DIR = "/sys/class/dmi/id";

// Texts firmware vendors leave in DMI fields they never filled in.
bool is_placeholder(const std::string& v) {
    static const char* const FILLERS[] = {
        "to be filled by o.e.m.",
        "to be filled by oem",
        "system manufacturer",
        "system product name",
        "system version",
        "default string",
        "none",
        "not specified",
        "not applicable",
        "unknown",
        "o.e.m.",
        "oem",
        "x.x.",
        "0123456789",
        "system serial number",
        "chassis manufacture",
        "empty",
    };
    if (v.empty()) return true;
    const std::string l = util::lower(v);
    for (const char* filler : FILLERS)
        if (l == filler) return true;
    return false;
}

// A DMI attribute's text; empty when absent, unreadable or a filler.
std::string dmi(const std::string& attr) {
    std::string v = util::read_file(std::string(DMI_DIR) + "/" + attr);
    return is_placeholder(v) ? std::string() : v;
}

// Snap packaging sets SNAP_NAME; empty counts as outside a snap.
const char* snap_name() {
    const char* name = std::getenv("SNAP_NAME");
    return name && *name ? name : nullptr;
}

// Without hardware-observe a snap sees neither block devices nor DMI.
bool lacks_hardware_observe() {
    if (util::list_dir("/sys/block", "").empty()) return true;
    return util::read_file(std::string(DMI_DIR) + "/board_vendor").empty();
}

bool lacks_system_observe() { return util::read_file("/var/lib/snapd/hostfs/etc/os-release").empty(); }

// Probes the first interface other than loopback; with none there is
// nothing to tell from.
bool lacks_network_observe() {
    for (const std::string& iface : util::list_dir("/sys/class/net", ""))
        if (iface != "lo") return util::read_file("/sys/class/net/" + iface + "/operstate").empty();
    return false;
}

}  // namespace

std::string snap_hint(const char* iface) {
    const char* name = snap_name();
    if (!name) return {};
    return I18n::instance().trf("msg.snap_connect", iface, name, iface);
}

std::vector<std::string> missing_snap_permissions() {
    std::vector<std::string> missing;
    if (!snap_name()) return missing;
    if (lacks_hardware_observe()) missing.emplace_back("hardware-observe");
    if (lacks_system_observe()) missing.emplace_back("system-observe");
    if (lacks_network_observe()) missing.emplace_back("network-observe");
    return missing;
}

std::string machine_line() {
    const std::string product = dmi("product_name");
    const std::string vendor = dmi("sys_vendor");
    const std::string line = util::trim(vendor + " " + product);
    if (!line.empty()) return line;
    struct utsname u;
    if (::uname(&u) != 0) return tr("common.unknown");
    // An empty host name stays empty: callers have their own fallback.
    return util::trim(u.nodename);
}

}  // namespace probe
