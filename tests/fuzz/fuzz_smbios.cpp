// Raw SMBIOS structure tables from firmware: the walker stays inside the
// bytes it is given and hands out UTF-8 texts only.
#include "hw/root_data.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hw::RootData d;
    hw::read_smbios_memory(fuzz::bytes(data, size), d);
    fuzz::require(d.memory.size() <= size / 4 + 1, "one module per structure at most");
    for (const hw::MemoryModule& m : d.memory)
        for (const std::string* s :
             {&m.locator, &m.bank, &m.type, &m.form_factor, &m.speed, &m.configured_speed, &m.manufacturer,
              &m.part_number, &m.serial, &m.asset_tag, &m.rank, &m.data_width, &m.total_width, &m.voltage})
            fuzz::require_utf8(*s, "module text");
    fuzz::require_utf8(d.num_slots, "slot count");
    return 0;
}
