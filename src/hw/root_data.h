// Data that only root can read (SMBIOS memory devices, NVMe health, DMI
// serials), collected in the privileged collector mode and handed to the
// window program as text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hw {

// One SMBIOS memory device. Every field but size_bytes is finished display
// text; an empty string means unknown.
struct MemoryModule {
    std::string locator;
    std::string bank;
    uint64_t size_bytes = 0;  // 0 = no module in this slot (or size unknown)
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

// SMART / health summary of one NVMe controller.
struct NvmeHealth {
    std::string node;  // controller name as in /sys/class/nvme, such as "nvme0"
    uint8_t critical_warning = 0;
    double temperature_c = -999.0;  // -999.0 = unknown
    uint8_t available_spare = 0;    // percent
    uint8_t spare_threshold = 0;    // percent
    uint8_t percentage_used = 0;    // percent, may exceed 100
    uint64_t data_units_read = 0;
    uint64_t data_units_written = 0;
    uint64_t host_reads = 0;
    uint64_t host_writes = 0;
    uint64_t busy_minutes = 0;
    uint64_t power_cycles = 0;
    uint64_t power_on_hours = 0;
    uint64_t unsafe_shutdowns = 0;
    uint64_t media_errors = 0;
    uint64_t error_entries = 0;
    uint64_t warning_temp_minutes = 0;
    uint64_t critical_temp_minutes = 0;
    std::vector<double> sensors_c;  // only sensors that report a value, in sensor order
};

// The process-wide privileged data. Filled either by collect_as_root in a
// process with root rights or by parse from such a process's output.
struct RootData {
    bool available = false;
    std::string error;  // why the data is incomplete; empty when it is not
    std::vector<MemoryModule> memory;
    std::vector<NvmeHealth> nvme;
    std::string product_serial;
    std::string product_uuid;
    std::string board_serial;
    std::string chassis_serial;
    uint64_t max_capacity = 0;  // bytes; 0 = unknown
    std::string num_slots;      // decimal text; empty = unknown

    static RootData& instance();
    void collect_as_root();
    std::string serialize() const;
    // Replaces the lists and the error from `text`; returns the new `available`.
    bool parse(const std::string& text);
};

// The byte decoders behind collect_as_root. They take untrusted firmware and
// device data and never read outside what they are given.
constexpr size_t NVME_LOG_PAGE_SIZE = 512;
using NvmeLogPage = std::array<uint8_t, NVME_LOG_PAGE_SIZE>;

// Fills the health figures of `out` (all but `node`) from a SMART / health log page.
void decode_nvme_health(const NvmeLogPage& page, NvmeHealth& out);
// Appends one module per memory device of the raw SMBIOS structure table to
// `data.memory` and updates `max_capacity` and `num_slots` from the memory arrays.
void read_smbios_memory(const std::string& table, RootData& data);

}  // namespace hw
