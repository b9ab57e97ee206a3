// An NVMe SMART/health log page as a device returns it: any 512 bytes decode.
#include <cmath>
#include <cstring>

#include "hw/root_data.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hw::NvmeLogPage page{};
    std::memcpy(page.data(), data, size < page.size() ? size : page.size());
    hw::NvmeHealth h;
    hw::decode_nvme_health(page, h);
    fuzz::require(!std::isnan(h.temperature_c), "temperature is a number");
    fuzz::require(h.sensors_c.size() <= 8, "at most eight sensors");
    return 0;
}
