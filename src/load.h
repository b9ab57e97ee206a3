// Per-CPU and whole-machine load from the cumulative counters of /proc/stat,
// measured between the last two samples.
#pragma once

#include <cstdint>
#include <map>

namespace load {

class CpuLoad {
public:
    struct Snapshot {
        uint64_t busy = 0;   // ticks not idle
        uint64_t total = 0;  // ticks of all counted kinds
    };

    // Reads /proc/stat once; call once per tick.
    void sample();
    // Busy fraction 0..1 of a logical CPU, -1.0 when there is none (fewer than
    // two samples, counters that did not advance, a CPU never seen). A CPU
    // that went offline keeps its last value.
    double of(int cpu) const;
    // The whole machine's busy fraction, with the same -1.0 rule.
    double total() const { return m_total; }

private:
    std::map<int, Snapshot> m_prev;
    std::map<int, double> m_load;
    Snapshot m_prev_total;
    double m_total = -1.0;
};

}  // namespace load
