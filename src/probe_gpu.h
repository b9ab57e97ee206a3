// The monitor side of the "gpu" page: the EDID base block of a connected
// display decoded into a plain record, and the card made from it. Exposed so
// that tests can feed real and hostile EDID bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "gpu.h"
#include "probe.h"

namespace probe {

struct Edid {
    bool ok = false;     // the base block passed the size and header tests
    std::string vendor;  // PnP manufacturer ID, three letters
    uint16_t product = 0;
    uint32_t serial_num = 0;
    std::string name;         // product-name descriptor, printable ASCII only
    std::string serial_text;  // serial-text descriptor, printable ASCII only
    int week = 0;
    int year = 0;  // 0: not given
    int width_mm = 0;
    int height_mm = 0;
    int h_active = 0;  // first detailed timing that is a mode
    int v_active = 0;  // lines of the whole frame, also for interlaced timings
    double refresh_hz = 0.0;
    int version = 0;
    int revision = 0;
    size_t bytes = 0;  // the whole file, extension blocks included
    int extensions = 0;
};

// The three-letter manufacturer ID of EDID bytes 8 and 9; empty unless all
// three letters are A to Z.
std::string edid_vendor(uint8_t high, uint8_t low);
// Decodes the base block; anything shorter than a block or without the fixed
// header gives a record with `ok` false.
Edid parse_edid(const std::string& bytes);
// The monitor card of one connected connector of DRM card `card`.
Card monitor_card(const std::string& card, const gpu::Device::Connector& connector);

}  // namespace probe
