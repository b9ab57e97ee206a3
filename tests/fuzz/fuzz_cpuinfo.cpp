// /proc/cpuinfo as any kernel or emulator may write it: the parser splits it
// into blocks of UTF-8 fields, and the cpu page builds from it.
#include "cpu_sysfs.h"
#include "probe.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::write_under_root("/proc/cpuinfo", fuzz::bytes(data, size));
    for (const cpusys::CpuInfoBlock& b : cpusys::read_cpuinfo())
        for (const auto& [key, value] : b.fields) {
            fuzz::require_utf8(key, "cpuinfo key");
            fuzz::require_utf8(value, "cpuinfo value");
        }
    const probe::Page page = probe::collect_cpu(-1);
    fuzz::require_utf8(page.headline, "headline");
    return 0;
}
