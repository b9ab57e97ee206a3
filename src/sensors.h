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
    std::string chip;       // the chip directory's "name"
    std::string place;      // translated part of the machine measured
    std::string label;      // the channel's "_label", may be empty
    double value = 0.0;     // °C, rpm, V, A or W
    std::string path;       // file the value is re-read from
    double max = 0.0;       // 0.0 when the chip gives none
    double crit = 0.0;      // 0.0 when the chip gives none
    double read_at = -1.0;  // monotonic seconds of the last re-read; -1: never re-read
    // A graphics chip's runtime power state file: while it reads "suspended"
    // the channel is not re-read, since on some kernels the read wakes the card.
    std::string sleep_path;
};

// The file one channel (such as ".../hwmon3/temp1") is read from: its
// "_input" file, for power its "_average" file where there is no input;
// empty when it has neither.
std::string channel_file(const std::string& base, Kind kind);
// The channel's value in °C, rpm, V, A or W; false when it cannot be read.
bool read_channel(const std::string& base, Kind kind, double& value);

// Every channel of every named chip: processor chips first, graphics second,
// the rest after them, each group in chip and channel order. Two calls give
// the same list while the set of channels does not change.
std::vector<Reading> collect();
// Between `keep_collection(true)` and `keep_collection(false)` (one page
// collection) every page gets the same list, read once; drive channels are
// then woken once, not once per page.
void keep_collection(bool keep);

// Re-reads `value` of every entry in place; an unreadable file keeps the old
// value. Entries are never added or removed. Drive-temperature channels
// (chip "drivetemp") are re-read at most once a minute of `now_seconds`
// (monotonic): each read can reset a disk's spin-down timer.
void refresh(std::vector<Reading>& readings, double now_seconds);
void refresh(std::vector<Reading>& readings);

// The one list the live refreshers of every page share, kept for the life of
// the process. It is re-read at most once per tick, however many pages ask.
const std::vector<Reading>& kept_readings(double now_seconds);
// The kept entry read from `path` (a row's note). When no entry has that path
// a chip came or went: the list is collected again once. Null when the path
// is still unknown after that.
const Reading* kept_reading(const std::string& path, double now_seconds);
// Drops the kept list; tests call it between fixture machines.
void forget_kept();

}  // namespace sensors
