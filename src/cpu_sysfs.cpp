#include "cpu_sysfs.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <limits>
#include <string_view>
#include <unordered_map>

#include "i18n.h"
#include "util.h"

namespace cpusys {

const std::string CPU_DIR = "/sys/devices/system/cpu";

namespace {

constexpr double SAME_TICK = 0.5;  // seconds within which asks share one read

void append_range(std::vector<int>& cpus, int64_t a, int64_t b) {
    if (a > b || a > INT_MAX) return;
    b = std::min<int64_t>(b, INT_MAX);
    // Counted in unsigned steps: a range ending at the largest number would
    // otherwise step the counter past it.
    const uint64_t span = static_cast<uint64_t>(b) - static_cast<uint64_t>(a);
    const uint64_t room = MAX_CPUS - cpus.size();
    const uint64_t count = std::min<uint64_t>(span, room - 1) + 1;
    for (uint64_t k = 0; k < count; ++k) cpus.push_back(static_cast<int>(a + static_cast<int64_t>(k)));
}

struct KeptFiles {
    bool on = false;
    // Mask text -> list text: on mask-only kernels every CPU of an instance
    // writes the same mask, worth converting once rather than per CPU.
    std::unordered_map<std::string, std::string> masks;
    // Both pages ask for every CPU's place and caches.
    std::unordered_map<int, Place> places;
    std::unordered_map<int, std::vector<CacheIndex>> caches;
};

KeptFiles& kept_files() {
    static KeptFiles kept;
    return kept;
}

std::string mask_list_text(const std::string& mask) {
    KeptFiles& k = kept_files();
    if (!k.on) return list_text(parse_mask(mask));
    auto it = k.masks.find(mask);
    if (it == k.masks.end()) it = k.masks.emplace(mask, list_text(parse_mask(mask))).first;
    return it->second;
}

}  // namespace

void keep_files(bool keep) {
    KeptFiles& k = kept_files();
    k = KeptFiles();
    k.on = keep;
    util::keep_reads(keep);
}

std::string read_kept(const std::string& path) { return util::read_file_kept(path); }

std::vector<std::string> list_kept(const std::string& dir, const std::string& prefix) {
    return util::list_dir_kept(dir, prefix);
}

std::string cpu_path(int cpu, const std::string& tail) {
    std::string p = CPU_DIR + "/cpu" + std::to_string(cpu);
    if (!tail.empty()) p += "/" + tail;
    return p;
}

std::vector<int> parse_list(const std::string& text) {
    std::vector<int> cpus;
    for (const std::string& raw : util::split(text, ',')) {
        if (cpus.size() >= MAX_CPUS) break;
        const std::string piece = util::trim(raw);
        if (piece.empty()) continue;
        const size_t dash = piece.find('-');
        if (dash == std::string::npos) {
            const int64_t v = util::to_i64(piece, 0);
            append_range(cpus, v, v);
            continue;
        }
        append_range(cpus, util::to_i64(piece.substr(0, dash), 0), util::to_i64(piece.substr(dash + 1), 0));
    }
    return cpus;
}

std::vector<int> parse_mask(const std::string& mask) {
    std::vector<int> cpus;
    const std::string text = util::trim(mask);
    // Least significant word last: walk the words from the end.
    size_t end = text.size();
    int64_t base = 0;
    for (bool more = true; more && base <= INT_MAX - 32; base += 32) {
        const size_t comma = end == 0 ? std::string::npos : text.rfind(',', end - 1);
        const size_t start = comma == std::string::npos ? 0 : comma + 1;
        const uint32_t bits = util::parse_hex_digits(std::string_view(text).substr(start, end - start));
        for (int b = 0; bits != 0 && b < 32 && cpus.size() < MAX_CPUS; ++b)
            if (bits & (1u << b)) cpus.push_back(static_cast<int>(base + b));
        more = comma != std::string::npos;
        end = comma;
    }
    return cpus;
}

std::string list_text(std::vector<int> cpus) {
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    std::string out;
    for (size_t i = 0; i < cpus.size();) {
        size_t j = i;
        while (j + 1 < cpus.size() && static_cast<int64_t>(cpus[j + 1]) == static_cast<int64_t>(cpus[j]) + 1)
            ++j;
        if (!out.empty()) out += ',';
        out += std::to_string(cpus[i]);
        if (j > i) out += "-" + std::to_string(cpus[j]);
        i = j + 1;
    }
    return out;
}

std::vector<int> read_list(const std::string& list_path, const std::string& mask_path) {
    const std::string list = read_kept(list_path);
    if (!list.empty()) return parse_list(list);
    return parse_mask(read_kept(mask_path));
}

namespace {

// 12 for "cpu12"; -1 for "cpufreq", "cpuidle" and the like.
int cpu_number(const std::string& name) {
    const std::string digits = name.substr(3);
    if (digits.empty() || digits.size() > 9) return -1;
    for (char c : digits)
        if (c < '0' || c > '9') return -1;
    return static_cast<int>(util::to_i64(digits, -1));
}

}  // namespace

CpuLists read_cpu_lists() {
    CpuLists lists;
    lists.present = parse_list(read_kept(CPU_DIR + "/present"));
    lists.online = parse_list(read_kept(CPU_DIR + "/online"));
    if (lists.present.empty())
        for (const std::string& name : list_kept(CPU_DIR, "cpu")) {
            const int cpu = cpu_number(name);
            if (cpu >= 0 && lists.present.size() < MAX_CPUS) lists.present.push_back(cpu);
        }
    if (lists.online.empty())
        for (int cpu : lists.present)
            if (read_kept(cpu_path(cpu, "online")) != "0") lists.online.push_back(cpu);
    return lists;
}

// ---- /proc/cpuinfo ---------------------------------------------------------

std::string CpuInfoBlock::get(const std::string& key) const {
    for (const auto& [k, v] : fields)
        if (k == key) return v;
    return {};
}

namespace {

bool is_trimmed_away(char c) { return c == 0 || std::isspace(static_cast<unsigned char>(c)); }

// util::trim on a view.
std::string_view trim_view(std::string_view s) {
    while (!s.empty() && is_trimmed_away(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_trimmed_away(s.back())) s.remove_suffix(1);
    return s;
}

}  // namespace

// Read in place: on a machine of thousands of CPUs the file is megabytes.
std::vector<CpuInfoBlock> read_cpuinfo() {
    const std::string text = read_kept("/proc/cpuinfo");
    // Repaired here, since the values are compared and parsed, not only shown.
    const bool valid = util::is_valid_utf8(text);
    auto field = [valid](std::string_view v) {
        return valid ? std::string(v) : util::valid_utf8(std::string(v));
    };
    std::vector<CpuInfoBlock> blocks;
    CpuInfoBlock cur;
    size_t at = 0;
    while (at <= text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        const std::string_view line(text.data() + at, nl - at);
        at = nl + 1;
        if (trim_view(line).empty()) {
            if (!cur.fields.empty()) blocks.push_back(std::move(cur));
            cur = CpuInfoBlock();
            continue;
        }
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        cur.fields.emplace_back(field(trim_view(line.substr(0, colon))),
                                field(trim_view(line.substr(colon + 1))));
    }
    if (!cur.fields.empty()) blocks.push_back(std::move(cur));
    return blocks;
}

// ---- Where a CPU sits ------------------------------------------------------

namespace {

Place read_place_now(int cpu, bool with_groups) {
    const std::string dir = cpu_path(cpu, "topology");
    Place p;
    p.package = read_kept(dir + "/physical_package_id");
    if (with_groups) {
        p.die = read_kept(dir + "/die_id");
        p.cluster = read_kept(dir + "/cluster_id");
    }
    p.core = read_kept(dir + "/core_id");
    const std::vector<int> siblings = read_list(dir + "/thread_siblings_list", dir + "/thread_siblings");
    if (!siblings.empty()) p.siblings = list_text(siblings);
    return p;
}

}  // namespace

Place read_place(int cpu, bool with_groups) {
    KeptFiles& k = kept_files();
    if (!k.on) return read_place_now(cpu, with_groups);
    auto it = k.places.find(cpu);
    if (it == k.places.end()) it = k.places.emplace(cpu, read_place_now(cpu, true)).first;
    Place p = it->second;
    if (!with_groups) p.die = p.cluster = std::string();
    return p;
}

Places read_places(const std::vector<int>& cpus, bool with_groups) {
    Places places;
    for (int cpu : cpus)
        if (!places.count(cpu)) places.emplace(cpu, read_place(cpu, with_groups));
    return places;
}

std::string core_key(const Place& place) {
    if (!place.siblings.empty()) return "siblings " + place.siblings;
    if (!place.core.empty()) return "core " + place.package + "/" + place.core;
    return {};
}

const Place& place_of(const Places& places, int cpu) {
    static const Place none;
    auto it = places.find(cpu);
    return it == places.end() ? none : it->second;
}

size_t count_cores(const Places& places, const std::vector<int>& cpus) {
    std::set<std::string> cores;
    for (int cpu : cpus) {
        std::string key = core_key(place_of(places, cpu));
        if (!key.empty()) cores.insert(std::move(key));
    }
    return cores.size();
}

// ---- Caches ----------------------------------------------------------------

namespace {

std::vector<CacheIndex> read_caches_now(int cpu) {
    std::vector<CacheIndex> caches;
    const std::string base = cpu_path(cpu, "cache");
    for (const std::string& index : list_kept(base, "index")) {
        CacheIndex e;
        e.dir = base + "/" + index;
        e.level = static_cast<int>(util::to_i64(read_kept(e.dir + "/level"), 0));
        e.type = util::valid_utf8(read_kept(e.dir + "/type"));
        // Kernels before shared_cpu_list only wrote the mask; without it every
        // instance of a level would look like the same one.
        e.shared_list = read_kept(e.dir + "/shared_cpu_list");
        if (e.shared_list.empty()) e.shared_list = mask_list_text(read_kept(e.dir + "/shared_cpu_map"));
        caches.push_back(std::move(e));
    }
    return caches;
}

}  // namespace

std::vector<CacheIndex> read_caches(int cpu) {
    KeptFiles& k = kept_files();
    if (!k.on) return read_caches_now(cpu);
    auto it = k.caches.find(cpu);
    if (it == k.caches.end()) it = k.caches.emplace(cpu, read_caches_now(cpu)).first;
    return it->second;
}

std::string cache_size_text(const CacheIndex& index) { return read_kept(index.dir + "/size"); }

uint64_t cache_size_bytes(const std::string& text) {
    if (text.empty()) return 0;
    const uint64_t v = util::to_u64(text, 0);
    uint64_t mult = 1;
    switch (text.back() & ~0x20) {
        case 'K':
            mult = 1024;
            break;
        case 'M':
            mult = 1048576;
            break;
        case 'G':
            mult = 1073741824;
            break;
        default:
            break;
    }
    if (v > std::numeric_limits<uint64_t>::max() / mult) return 0;
    return v * mult;
}

std::string cache_label(int level, const std::string& type) {
    std::string label = "L" + std::to_string(level);
    if (type == "Data") label += "d";
    if (type == "Instruction") label += "i";
    return label;
}

// ---- Socket chooser and core tiles -----------------------------------------

std::string socket_name(int id) {
    if (id < 0) return tr("common.unknown");
    return I18n::instance().trf("tree.socket_n", id);
}

probe::Selector socket_selector(const std::vector<int>& package_ids, int socket) {
    probe::Selector sel;
    if (package_ids.size() < 2) return sel;
    sel.label = tr("f.sockets");
    sel.options.push_back(tr("value.all"));
    sel.values.push_back(-1);
    for (int id : package_ids) {
        sel.options.push_back(socket_name(id));
        sel.values.push_back(id);
    }
    for (size_t i = 0; i < sel.values.size(); ++i)
        if (sel.values[i] == socket) sel.selected = static_cast<int>(i);
    return sel;
}

std::vector<probe::Core> core_tiles(const std::vector<int>& cpus, const Places& places,
                                    const std::set<int>& online) {
    std::vector<probe::Core> tiles;
    tiles.reserve(cpus.size());
    std::set<std::string> cores_seen;
    for (int cpu : cpus) {
        const Place& p = place_of(places, cpu);
        probe::Core tile;
        tile.index = cpu;
        if (!p.package.empty()) tile.package = static_cast<int>(util::to_i64(p.package, 0));
        if (!p.core.empty()) tile.core_id = static_cast<int>(util::to_i64(p.core, 0));
        // A CPU whose core is unknown (an offline one has no topology) is
        // nobody's SMT sibling.
        const std::string key = core_key(p);
        tile.first_thread = key.empty() || cores_seen.insert(key).second;
        tile.online = online.count(cpu) > 0;
        tiles.push_back(std::move(tile));
    }
    return tiles;
}

// ---- Current clock ---------------------------------------------------------

namespace {

// Where a machine has thousands of CPUs, opening each clock file every tick
// costs more than all the rest of the tick: the file stays open and is read
// again from its start.
struct KeptClock {
    uint64_t khz = 0;
    double read_at = -1.0;
    int fd = -1;
    std::string prefix;  // the root prefix `fd` was opened under: another one means another file
};

std::unordered_map<int, KeptClock>& kept_clocks() {
    static std::unordered_map<int, KeptClock> clocks;
    return clocks;
}

// Kept descriptors leave at least half of the process's limit to the rest;
// where that is too few, the soft limit is raised once towards the hard one.
size_t& open_clocks() {
    static size_t count = 0;
    return count;
}

size_t fd_budget() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    if (limit.rlim_cur == RLIM_INFINITY) return MAX_CPUS;
    return std::min<size_t>(limit.rlim_cur / 2, MAX_CPUS);
}

bool may_keep_another() {
    static size_t budget = fd_budget();
    static bool raised = false;
    if (open_clocks() < budget) return true;
    if (raised) return false;
    raised = true;
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 2 * MAX_CPUS + 1024);
        if (::setrlimit(RLIMIT_NOFILE, &limit) == 0) budget = fd_budget();
    }
    return open_clocks() < budget;
}

void close_clock(KeptClock& k) {
    if (k.fd < 0) return;
    ::close(k.fd);
    k.fd = -1;
    --open_clocks();
}

// The leading number of what was read, as util::to_u64 takes it.
uint64_t parse_khz(const char* buf, ssize_t n) {
    const char* p = buf;
    const char* const end = buf + std::max<ssize_t>(n, 0);
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\n')) ++p;
    uint64_t v = 0;
    for (; p < end && *p >= '0' && *p <= '9'; ++p) {
        const auto digit = static_cast<uint64_t>(*p - '0');
        if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return 0;
        v = v * 10 + digit;
    }
    return v;
}

ssize_t read_from_start(int fd, char* buf, size_t size) {
    ssize_t n;
    do n = ::pread(fd, buf, size, 0);
    while (n < 0 && errno == EINTR);
    return n;
}

// A read from the start of the open file; a CPU taken offline takes its
// cpufreq files away, and the old descriptor then fails: it is opened anew
// next time.
uint64_t read_clock(KeptClock& k, int cpu) {
    char buf[64];
    if (k.fd >= 0 && k.prefix != util::root_prefix()) close_clock(k);
    if (k.fd >= 0) {
        const ssize_t n = read_from_start(k.fd, buf, sizeof buf);
        if (n > 0) return parse_khz(buf, n);
        close_clock(k);
    }
    if (!may_keep_another()) return current_khz(cpu);
    k.fd = util::open_fd(cpu_path(cpu, "cpufreq/scaling_cur_freq"), O_RDONLY);
    if (k.fd < 0) return 0;
    ++open_clocks();
    k.prefix = util::root_prefix();
    return parse_khz(buf, read_from_start(k.fd, buf, sizeof buf));
}

}  // namespace

uint64_t current_khz(int cpu) {
    return util::to_u64(read_kept(cpu_path(cpu, "cpufreq/scaling_cur_freq")), 0);
}

uint64_t tick_khz(int cpu, double now_seconds) {
    KeptClock& k = kept_clocks()[cpu];
    const bool fresh = k.read_at >= 0.0 && now_seconds >= k.read_at && now_seconds - k.read_at < SAME_TICK;
    if (!fresh) {
        k.khz = read_clock(k, cpu);
        k.read_at = now_seconds;
    }
    return k.khz;
}

void forget_clocks() {
    for (auto& [cpu, k] : kept_clocks()) close_clock(k);
    kept_clocks().clear();
}

}  // namespace cpusys
