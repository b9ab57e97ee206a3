// The module side of the "memory" page, exposed so that tests can feed real
// and hostile SPD images without an EEPROM file.
#pragma once

#include <string>

#include "probe.h"

namespace probe {

// The timing card of one DDR5 SPD image; an empty card for bytes that are
// not one (too short, another memory type).
Card spd_card_of_image(const std::string& raw);

}  // namespace probe
