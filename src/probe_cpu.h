// Energy sampling of the "cpu" page, shared by its builder and its live
// refresher, and the page over given CPUID facts; exposed so that tests can
// feed counters, clocks and recorded processors.
#pragma once

#include <cstdint>
#include <string>

#include "probe.h"
#include "x86id.h"

namespace probe {

// The "cpu" page with `cid` standing for this processor's CPUID facts
// (collect_cpu passes cpuid::info()); the TLB card still reads this processor.
Page collect_cpu_with_cpuid(int socket, const cpuid::Info& cid);

}  // namespace probe

namespace probe::cpu_power {

// The processor package's power-capping zone and its last energy sample.
struct RaplState {
    std::string path;       // zone directory; empty when none was found
    bool readable = false;  // its energy counter gave text when it was found
    uint64_t last_uj = 0;
    int64_t last_ms = 0;
    uint64_t max_uj = 0;  // wrap-around range of the counter, 0 = unknown
    double watt = -1.0;   // average power over the last interval
};

// Searches /sys/class/powercap for the first zone named "package...".
RaplState find_zone();
// Folds one counter reading taken at `now_ms` into the state. An empty text
// (a read that failed this once) is no sample: the last one stays.
void take_sample(RaplState& state, const std::string& energy_uj_text, int64_t now_ms);
// The process's zone, searched on first use only.
RaplState& rapl();
// Tests switch machines within one process; the next rapl() searches again.
void forget_zone();

}  // namespace probe::cpu_power
