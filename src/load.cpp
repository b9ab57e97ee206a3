#include "load.h"

#include <algorithm>
#include <string>
#include <vector>

#include "util.h"

namespace load {

namespace {

// Fields of a counter line after the tag: user, nice, system, idle, iowait,
// irq, softirq, steal, guest, guest_nice. Guest time is added as it stands.
constexpr size_t COUNTED_FIELDS = 10;
constexpr size_t IDLE_FIELD = 4;
constexpr size_t IOWAIT_FIELD = 5;

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    for (const std::string& piece : util::split(line, ' ')) {
        std::string t = util::trim(piece);
        if (!t.empty()) fields.push_back(std::move(t));
    }
    return fields;
}

// cpu is -1 for the aggregate line, else the logical CPU number.
bool parse_line(const std::string& line, int& cpu, uint64_t& busy, uint64_t& total) {
    if (!util::starts_with(line, "cpu")) return false;
    const std::vector<std::string> fields = fields_of(line);
    if (fields.size() < 5) return false;
    const std::string& tag = fields[0];
    if (tag == "cpu") {
        cpu = -1;
    } else {
        const std::string rest = tag.substr(3);
        if (rest.empty()) return false;
        cpu = static_cast<int>(util::to_i64(rest, -2));
        if (cpu < 0) return false;
    }
    uint64_t sum = 0, idle = 0;
    const size_t last = std::min(fields.size() - 1, COUNTED_FIELDS);
    for (size_t i = 1; i <= last; ++i) {
        const uint64_t v = util::to_u64(fields[i], 0);
        sum += v;
        if (i == IDLE_FIELD || i == IOWAIT_FIELD) idle += v;
    }
    total = sum;
    busy = sum > idle ? sum - idle : 0;
    return true;
}

double ratio(uint64_t busy, uint64_t total, uint64_t prev_busy, uint64_t prev_total) {
    if (total <= prev_total) return -1.0;
    const double elapsed = static_cast<double>(total - prev_total);
    const double worked = static_cast<double>(busy > prev_busy ? busy - prev_busy : 0);
    return std::min(worked / elapsed, 1.0);
}

}  // namespace

void CpuLoad::sample() {
    for (const std::string& line : util::read_lines("/proc/stat")) {
        int cpu = 0;
        uint64_t busy = 0, total = 0;
        if (!parse_line(line, cpu, busy, total)) {
            // The counter lines lead the file; what follows them is not ours.
            if (util::starts_with(line, "cpu")) continue;
            break;
        }
        if (cpu < 0) {
            if (m_prev_total.total != 0) m_total = ratio(busy, total, m_prev_total.busy, m_prev_total.total);
            m_prev_total = {busy, total};
            continue;
        }
        auto prev = m_prev.find(cpu);
        if (prev != m_prev.end()) m_load[cpu] = ratio(busy, total, prev->second.busy, prev->second.total);
        m_prev[cpu] = {busy, total};
    }
}

double CpuLoad::of(int cpu) const {
    auto it = m_load.find(cpu);
    return it == m_load.end() ? -1.0 : it->second;
}

}  // namespace load
