// Data that only root can read (SMBIOS memory devices, NVMe health, DMI
// serials), collected in the privileged collector mode and handed to the
// window program as text.
#pragma once

#include <cstdint>
#include <string>

namespace hw {

// One SMBIOS memory device. Every field but size_bytes is finished display
// text; an empty string means unknown.
struct MemoryModule {
    std::string locator;
    std::string bank;
    uint64_t size_bytes = 0;  // 0 = no module in this slot
    std::string type;
    std::string form_factor;
    std::string speed;
    std::string configured_speed;
    std::string manufacturer;
    std::string part_number;
    std::string serial;
    std::string asset_tag;
    std::string rank;
    std::string data_width;
    std::string total_width;
    std::string voltage;
};

}  // namespace hw
