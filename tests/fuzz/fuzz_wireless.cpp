// /proc/net/wireless next to a wireless interface: any table text builds the
// network page quietly with UTF-8 rows.
#include "probe.h"
#include "support.h"

namespace {

void write_machine() {
    static bool written = false;
    if (written) return;
    written = true;
    const std::string dev = "/sys/devices/pci0000:00/0000:00:1c.0/0000:02:00.0";
    fuzz::write_under_root(dev + "/net/wlan0/operstate", "up\n");
    fuzz::write_under_root(dev + "/net/wlan0/address", "00:11:22:33:44:55\n");
    fuzz::write_under_root(dev + "/net/wlan0/mtu", "1500\n");
    fuzz::write_under_root(dev + "/net/wlan0/type", "1\n");
    fuzz::write_under_root(dev + "/net/wlan0/statistics/rx_bytes", "1000\n");
    fuzz::write_under_root(dev + "/net/wlan0/statistics/tx_bytes", "2000\n");
    fuzz::write_under_root(dev + "/net/wlan0/wireless/status", "0x0\n");
    fuzz::symlink_under_root("/sys/class/net/wlan0",
                             "../../devices/pci0000:00/0000:00:1c.0/0000:02:00.0/net/wlan0");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    write_machine();
    fuzz::write_under_root("/proc/net/wireless", fuzz::bytes(data, size));
    probe::Page page = probe::collect_net(-1);
    probe::refresh_live_net(page);
    fuzz::require_utf8_rows(page);
    return 0;
}
