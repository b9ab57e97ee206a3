// Hardware-monitor channels (/sys/class/hwmon) as a flat list of readings:
// temperatures, fans, voltages, currents and power, each with the chip, the
// part of the machine it measures and the file it can be re-read from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sensors {

enum class Kind : int32_t { Temperature = 0, Fan = 1, Voltage = 2, Current = 3, Power = 4 };

struct Reading {
    Kind kind = Kind::Temperature;
    std::string chip;    // the chip directory's "name"
    std::string place;   // translated part of the machine measured
    std::string label;   // the channel's "_label", may be empty
    double value = 0.0;  // °C, rpm, V, A or W
    std::string path;    // file the value is re-read from
    double max = 0.0;    // 0.0 when the chip gives none
    double crit = 0.0;   // 0.0 when the chip gives none
};

// Every channel of every named chip: processor chips first, graphics second,
// the rest after them, each group in chip and channel order. Two calls give
// the same list while the set of channels does not change.
std::vector<Reading> collect();

// Re-reads `value` of every entry in place; an unreadable file keeps the old
// value. Entries are never added or removed.
void refresh(std::vector<Reading>& readings);

}  // namespace sensors
