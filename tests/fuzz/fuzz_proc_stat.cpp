// /proc/stat as the sampler reads it, twice: loads are -1 or a fraction.
#include "load.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const size_t half = size / 2;
    load::CpuLoad sampler;
    fuzz::write_under_root("/proc/stat", fuzz::bytes(data, half));
    sampler.sample();
    fuzz::write_under_root("/proc/stat", fuzz::bytes(data + half, size - half));
    sampler.sample();
    const double total = sampler.total();
    fuzz::require(total == -1.0 || (total >= 0.0 && total <= 1.0), "total load is a fraction");
    for (int cpu = -1; cpu < 8; ++cpu) {
        const double l = sampler.of(cpu);
        fuzz::require(l == -1.0 || (l >= 0.0 && l <= 1.0), "CPU load is a fraction");
    }
    return 0;
}
