#include "load.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "util.h"

namespace load {

namespace {

// Fields of a counter line after the tag: user, nice, system, idle, iowait,
// irq, softirq, steal, guest, guest_nice. Guest time is added as it stands.
constexpr size_t COUNTED_FIELDS = 10;
constexpr size_t IDLE_FIELD = 4;
constexpr size_t IOWAIT_FIELD = 5;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\0'; }

// The whitespace-separated fields of one line, read in place: on a machine
// of thousands of CPUs this file is read every tick.
struct Fields {
    const char* at;
    const char* end;
    // The next field as [begin, end); false past the last.
    bool next(const char*& b, const char*& e) {
        while (at < end && is_space(*at)) ++at;
        if (at == end) return false;
        b = at;
        while (at < end && !is_space(*at)) ++at;
        e = at;
        return true;
    }
};

// As util::to_u64: leading digits count, anything else is 0.
uint64_t number_of(const char* b, const char* e) {
    uint64_t v = 0;
    for (const char* p = b; p < e && *p >= '0' && *p <= '9'; ++p) {
        const uint64_t digit = static_cast<uint64_t>(*p - '0');
        if (v > (UINT64_MAX - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    return v;
}

// cpu is -1 for the aggregate line, else the logical CPU number.
bool parse_line(const char* line, const char* line_end, int& cpu, uint64_t& busy, uint64_t& total) {
    Fields fields{line, line_end};
    const char *b = nullptr, *e = nullptr;
    if (!fields.next(b, e) || e - b < 3 || std::string_view(b, 3) != "cpu" || b != line) return false;
    if (e - b == 3) {
        cpu = -1;
    } else {
        const char* digits = b + 3;
        for (const char* p = digits; p < e; ++p)
            if (*p < '0' || *p > '9') return false;
        const uint64_t n = e - digits > 10 ? UINT64_MAX : number_of(digits, e);
        if (n > static_cast<uint64_t>(INT_MAX)) return false;
        cpu = static_cast<int>(n);
    }
    uint64_t sum = 0, idle = 0;
    size_t count = 0;
    while (count < COUNTED_FIELDS && fields.next(b, e)) {
        ++count;
        const uint64_t v = number_of(b, e);
        sum += v;
        if (count == IDLE_FIELD || count == IOWAIT_FIELD) idle += v;
    }
    if (count < 4) return false;
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
    const std::string text = util::read_file_raw("/proc/stat");
    const char* at = text.data();
    const char* const end = at + text.size();
    while (at < end) {
        const char* line_end = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        if (!line_end) line_end = end;
        const char* line = at;
        at = line_end + (line_end < end ? 1 : 0);
        int cpu = 0;
        uint64_t busy = 0, total = 0;
        if (!parse_line(line, line_end, cpu, busy, total)) {
            // The counter lines lead the file; what follows them is not ours.
            if (line_end - line >= 3 && std::string_view(line, 3) == "cpu") continue;
            break;
        }
        if (cpu < 0) {
            if (m_prev_total.total != 0) m_total = ratio(busy, total, m_prev_total.busy, m_prev_total.total);
            m_prev_total = {busy, total};
            continue;
        }
        auto prev = m_prev.find(cpu);
        if (prev != m_prev.end()) {
            m_load[cpu] = ratio(busy, total, prev->second.busy, prev->second.total);
            prev->second = {busy, total};
        } else {
            m_prev.emplace(cpu, Snapshot{busy, total});
        }
    }
}

double CpuLoad::of(int cpu) const {
    auto it = m_load.find(cpu);
    return it == m_load.end() ? -1.0 : it->second;
}

}  // namespace load
