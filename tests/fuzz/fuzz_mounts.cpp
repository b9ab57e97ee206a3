// /proc/self/mountinfo and /proc/swaps as the kernel may write them, escapes
// and all: the storage and memory pages build from them without a crash and
// hand out UTF-8 only. The first input byte splits the rest between the two.
#include "probe.h"
#include "support.h"

namespace {

// One SATA disk with a partition whose device number the mount lines may name.
void write_machine() {
    static bool written = false;
    if (written) return;
    written = true;
    const std::string disk = "/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
    fuzz::write_under_root(disk + "/size", "1953525168\n");
    fuzz::write_under_root(disk + "/dev", "8:0\n");
    fuzz::write_under_root(disk + "/removable", "0\n");
    fuzz::write_under_root(disk + "/queue/rotational", "0\n");
    fuzz::write_under_root(disk + "/stat", "1 0 8 0 1 0 8 0 0 0 0 0 0 0 0 0 0\n");
    fuzz::write_under_root(disk + "/device/model", "Hypothetical SSD\n");
    fuzz::write_under_root(disk + "/sda1/partition", "1\n");
    fuzz::write_under_root(disk + "/sda1/dev", "8:1\n");
    fuzz::write_under_root(disk + "/sda1/size", "1953523120\n");
    fuzz::write_under_root(disk + "/sda1/start", "2048\n");
    fuzz::symlink_under_root("/sys/block/sda",
                             "../devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda");
    fuzz::write_under_root("/proc/meminfo",
                           "MemTotal: 16384000 kB\nMemAvailable: 8000000 kB\nSwapTotal: 1000 kB\n");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    write_machine();
    const size_t cut = 1 + (size - 1) * data[0] / 256;
    fuzz::write_under_root("/proc/self/mountinfo", fuzz::bytes(data + 1, cut - 1));
    fuzz::write_under_root("/proc/swaps", fuzz::bytes(data + cut, size - cut));
    fuzz::require_utf8_rows(probe::collect_disk(-1));
    fuzz::require_utf8_rows(probe::collect_memory(-1));
    return 0;
}
