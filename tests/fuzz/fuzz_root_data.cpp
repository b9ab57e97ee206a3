// The collector's text as the window reads it: any bytes parse quietly, every
// text that comes out is UTF-8, and what parse accepted survives a
// serialize/parse round trip unchanged.
#include <cmath>

#include "hw/root_data.h"
#include "support.h"

namespace {

void require_texts(const hw::RootData& d) {
    for (const hw::MemoryModule& m : d.memory)
        for (const std::string* s :
             {&m.locator, &m.bank, &m.type, &m.form_factor, &m.speed, &m.configured_speed, &m.manufacturer,
              &m.part_number, &m.serial, &m.asset_tag, &m.rank, &m.data_width, &m.total_width, &m.voltage})
            fuzz::require_utf8(*s, "module text");
    for (const hw::NvmeHealth& n : d.nvme) fuzz::require_utf8(n.node, "nvme node");
    for (const std::string* s :
         {&d.error, &d.product_serial, &d.product_uuid, &d.board_serial, &d.chassis_serial, &d.num_slots})
        fuzz::require_utf8(*s, "record text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    hw::RootData first;
    const bool ok = first.parse(fuzz::bytes(data, size));
    require_texts(first);
    const std::string text = first.serialize();
    fuzz::require_utf8(text, "serialized text");
    // Text the window rejected has no round trip to keep: serialize always
    // writes a version line that the rejected text may have lacked.
    if (!ok) return 0;
    hw::RootData second;
    fuzz::require(second.parse(text), "round trip keeps availability");
    // Temperatures travel as hundredths truncated toward zero, so each trip
    // may take off one hundredth; everything else comes back as it went.
    fuzz::require(second.memory.size() == first.memory.size() && second.nvme.size() == first.nvme.size(),
                  "round trip keeps the lists");
    for (size_t i = 0; i < first.nvme.size(); ++i) {
        const hw::NvmeHealth &a = first.nvme[i], &b = second.nvme[i];
        fuzz::require(a.node == b.node && a.power_on_hours == b.power_on_hours &&
                          a.sensors_c.size() == b.sensors_c.size() &&
                          std::fabs(a.temperature_c - b.temperature_c) <= 0.0101,
                      "round trip keeps the health record");
    }
    fuzz::require(second.memory.empty() || second.memory.back().serial == first.memory.back().serial,
                  "round trip keeps the modules");
    fuzz::require(second.board_serial == first.board_serial && second.error == first.error,
                  "round trip keeps the serials");
    return 0;
}
