// The "cpu" page: the processor as /proc/cpuinfo, the CPU directories of sysfs
// and CPUID describe it, one card per concern.
//
// The page works with two sets of CPUs. Its scope (the present CPUs of the
// chosen package) feeds the counts, the identification card and the core
// tiles; every online CPU feeds the clock, power, idle-state and cache cards,
// whichever package is chosen.
#include "probe_cpu.h"

#include <sys/utsname.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "cpu_sysfs.h"
#include "cpudb.h"
#include "gpu.h"
#include "i18n.h"
#include "probe.h"
#include "sensors.h"
#include "util.h"
#include "x86id.h"

namespace probe {

namespace {

using cpusys::CPU_DIR;

// Above this many CPUs in scope the per-CPU tiles are replaced by a notice.
constexpr size_t MANY_CPUS = 1024;

constexpr double NO_TEMPERATURE = -300.0;
// The transition latency a driver reports when it does not know it.
constexpr uint64_t CPUFREQ_ETERNAL = 4294967295u;
const char* const SUBLINE_SEP = "   \u00b7   ";
const char* const RANGE_DASH = " \u2013 ";

// Hardware-monitor drivers that measure the processor package itself.
const char* const DRIVERS[] = {"k10temp", "coretemp", "zenpower", "cpu_thermal", "k8temp"};

struct Feature {
    const char* flag;
    const char* label;
};

const Feature NOTABLE_FEATURES[] = {
    {"lm", "64-Bit (x86-64)"},
    {"vmx", "Intel VT-x"},
    {"svm", "AMD-V (SVM)"},
    {"ept", "Intel EPT"},
    {"npt", "AMD NPT"},
    {"aes", "AES-NI"},
    {"sha_ni", "SHA Extensions"},
    {"rdrand", "RDRAND"},
    {"rdseed", "RDSEED"},
    {"sse4_2", "SSE4.2"},
    {"avx", "AVX"},
    {"avx2", "AVX2"},
    {"avx512f", "AVX-512 (Foundation)"},
    {"avx512bw", "AVX-512 BW"},
    {"avx512_vnni", "AVX-512 VNNI"},
    {"amx_tile", "Intel AMX"},
    {"fma", "FMA3"},
    {"bmi2", "BMI2"},
    {"smep", "SMEP"},
    {"smap", "SMAP"},
    {"tme", "Intel TME"},
    {"sme", "AMD SME"},
    {"sev", "AMD SEV"},
    {"tsc", "TSC"},
    {"constant_tsc", "Constant TSC"},
    {"hypervisor", "Hypervisor"},
    {"ht", "Hyper-Threading / SMT"},
    {"pae", "PAE"},
    {"nx", "NX (Execute Disable)"},
    {"pdpe1gb", "1 GiB Pages"},
    {"hwp", "Intel HWP"},
    {"cppc", "AMD CPPC"},
    {"asimd", "NEON / ASIMD"},
    {"sve", "ARM SVE"},
    {"crc32", "CRC32"},
};

// ---- The frame: what every card reads ------------------------------------------

using cpusys::cpu_path;
using cpusys::CpuInfoBlock;

const CpuInfoBlock& empty_block() {
    static const CpuInfoBlock EMPTY_BLOCK;
    return EMPTY_BLOCK;
}

// The online CPUs of the last build, the live refresher's stand-in for tiles.
std::vector<int>& online_at_build() {
    static std::vector<int> cpus;
    return cpus;
}

bool contains(const std::vector<int>& v, int x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// The clock files of one CPU, each read at most once per build.
struct CpuClock {
    uint64_t cur = 0;
    uint64_t min = 0;
    uint64_t max = 0;
    uint64_t base = 0;
    std::string governor;
    std::string driver;
};

class CpuClocks {
public:
    const CpuClock& of(int cpu) {
        auto it = m_clock.find(cpu);
        if (it != m_clock.end()) return it->second;
        std::string f = cpu_path(cpu, "cpufreq");
        CpuClock c;
        c.cur = cpusys::current_khz(cpu);
        // Every policy has a driver: without one there is no policy, and
        // virtual machines seldom have one.
        c.driver = util::valid_utf8(util::read_file(f + "/scaling_driver"));
        if (!c.driver.empty()) {
            c.min = util::to_u64(util::read_file(f + "/cpuinfo_min_freq"), 0);
            c.max = util::to_u64(util::read_file(f + "/cpuinfo_max_freq"), 0);
            c.base = util::to_u64(util::read_file(f + "/base_frequency"), 0);
            c.governor = util::valid_utf8(util::read_file(f + "/scaling_governor"));
        }
        return m_clock.emplace(cpu, std::move(c)).first->second;
    }

private:
    std::unordered_map<int, CpuClock> m_clock;
};

// ---- Temperature ---------------------------------------------------------------

bool is_cpu_driver(const std::string& name) {
    for (const char* d : DRIVERS)
        if (name == d) return true;
    return false;
}

std::string chip_dir_of(const sensors::Reading& r) { return r.path.substr(0, r.path.rfind('/')); }

struct Temperature {
    double celsius = NO_TEMPERATURE;
    std::string label;  // the winning channel's label, else the driver's name
};

// The hottest channel of the first processor chip that has a reading; the
// first of equal readings keeps its label.
Temperature cpu_temperature(const std::vector<sensors::Reading>& readings) {
    Temperature best;
    std::string chip;
    for (const sensors::Reading& r : readings) {
        if (r.kind != sensors::Kind::Temperature) continue;
        if (chip.empty()) {
            if (!is_cpu_driver(r.chip)) continue;
            chip = chip_dir_of(r);
        } else if (chip_dir_of(r) != chip) {
            continue;
        }
        if (r.value > best.celsius) {
            best.celsius = r.value;
            best.label = r.label.empty() ? r.chip : r.label;
        }
    }
    return best;
}

struct CpuFrame {
    std::vector<CpuInfoBlock> blocks;
    std::vector<int> online_cpus;
    std::set<int> online_set;
    int first_cpu = 0;
    std::vector<int> present_cpus;
    cpusys::Places places;  // every present CPU
    std::set<std::string> packages;
    std::set<std::string> phys_cores;
    std::vector<int> pkg_numbers;
    int socket = -1;
    std::vector<int> scope_cpus;
    const CpuInfoBlock* first = nullptr;
    uint64_t n_sockets = 0, n_cores = 0, n_threads = 0;
    uint64_t n_online_threads = 0;  // online CPUs of the scope: what shares out over the cores
    const cpuid::Info* cid = nullptr;
    cpudb::Model db;
    std::string model;
    utsname uts{};
    bool have_uts = false;
    Temperature temperature;
    CpuClocks clocks;
};

const CpuInfoBlock& block_for(const CpuFrame& f, int cpu) {
    for (const CpuInfoBlock& b : f.blocks)
        if (util::to_i64(b.get("processor"), -1) == cpu) return b;
    return f.blocks.empty() ? empty_block() : f.blocks.front();
}

void read_packages(CpuFrame& f) {
    f.places = cpusys::read_places(f.present_cpus, false);
    for (const auto& [cpu, place] : f.places) {
        if (!place.package.empty()) f.packages.insert(place.package);
        std::string key = cpusys::core_key(place);
        if (!key.empty()) f.phys_cores.insert(std::move(key));
    }
    if (f.packages.empty())
        for (const CpuInfoBlock& b : f.blocks) {
            std::string id = b.get("physical id");
            if (!id.empty()) f.packages.insert(id);
        }
    for (const std::string& p : f.packages) f.pkg_numbers.push_back(static_cast<int>(util::to_i64(p, 0)));
    std::sort(f.pkg_numbers.begin(), f.pkg_numbers.end());
}

// The socket chooser; a socket value it does not offer means all packages.
void choose_socket(CpuFrame& f, Page& page) {
    page.selector = cpusys::socket_selector(f.pkg_numbers, f.socket);
    if (page.selector.options.empty() || (f.socket >= 0 && !contains(f.pkg_numbers, f.socket))) f.socket = -1;
}

void select_scope(CpuFrame& f) {
    if (f.socket < 0) {
        f.scope_cpus = f.present_cpus;
        return;
    }
    for (int cpu : f.present_cpus) {
        const std::string& pkg = cpusys::place_of(f.places, cpu).package;
        if (!pkg.empty() && util::to_i64(pkg, 0) == f.socket) f.scope_cpus.push_back(cpu);
    }
}

std::string display_model(const CpuInfoBlock& first) {
    for (const char* key : {"model name", "Model", "Hardware"}) {
        std::string m = first.get(key);
        if (!m.empty()) return m;
    }
    std::string dt = util::valid_utf8(util::read_file("/proc/device-tree/model"));
    return dt.empty() ? tr("common.unknown") : dt;
}

void count_cpus(CpuFrame& f) {
    if (f.socket < 0) {
        f.n_sockets = f.packages.size();
        f.n_cores = f.phys_cores.size();
    } else {
        // Every CPU of a chosen package has an id: one without a known core
        // still makes a core of that package.
        std::set<std::string> cores_here;
        for (int cpu : f.scope_cpus) {
            const cpusys::Place& p = cpusys::place_of(f.places, cpu);
            const std::string key = cpusys::core_key(p);
            cores_here.insert(key.empty() ? p.package + "/" : key);
        }
        f.n_sockets = 1;
        f.n_cores = cores_here.size();
    }
    f.n_threads = f.scope_cpus.size();
    for (int cpu : f.scope_cpus) f.n_online_threads += f.online_set.count(cpu);
}

void read_frame(CpuFrame& f, int socket, const cpuid::Info& cid, Page& page) {
    f.blocks = cpusys::read_cpuinfo();
    f.have_uts = ::uname(&f.uts) == 0;
    cpusys::CpuLists lists = cpusys::read_cpu_lists();
    f.online_cpus = std::move(lists.online);
    f.online_set.insert(f.online_cpus.begin(), f.online_cpus.end());
    f.first_cpu = f.online_cpus.empty() ? 0 : f.online_cpus.front();
    f.present_cpus = std::move(lists.present);
    read_packages(f);
    f.socket = socket;
    choose_socket(f, page);
    select_scope(f);
    f.first = f.scope_cpus.empty() ? (f.blocks.empty() ? &empty_block() : &f.blocks.front())
                                   : &block_for(f, f.scope_cpus.front());
    f.model = display_model(*f.first);
    count_cpus(f);
    f.cid = &cid;
    if (f.cid->valid) f.db = cpudb::lookup(f.cid->vendor, f.cid->family, f.cid->model);
    f.temperature = cpu_temperature(sensors::collect());
}

// ---- Headline and figures ------------------------------------------------------

std::string subline(const CpuFrame& f) {
    std::vector<std::string> parts;
    for (const std::string* s : {&f.db.uarch, &f.db.codename, &f.db.process})
        if (!s->empty()) parts.push_back(*s);
    if (parts.empty() && !f.cid->vendor.empty()) parts.push_back(f.cid->vendor);
    return util::join(parts, SUBLINE_SEP);
}

void add_stats(CpuFrame& f, Page& page) {
    auto stat = [&page](const char* label, std::string value, std::string unit, std::string live) {
        page.stats.push_back(Stat{label, std::move(value), std::move(unit), std::move(live)});
    };
    if (f.n_sockets > 0) stat(tr("f.sockets"), util::fmt_int(f.n_sockets), "", "");
    if (f.n_cores > 0) stat(tr("f.cores_physical"), util::fmt_int(f.n_cores), "", "");
    if (f.n_threads > 0) stat(tr("f.threads_logical"), util::fmt_int(f.n_threads), "", "");
    uint64_t hi = 0;
    for (int cpu : f.online_cpus) hi = std::max(hi, f.clocks.of(cpu).cur);
    if (hi > 0) stat(tr("f.freq_current"), util::fmt_khz(hi), "", "stat.freq");
    const double t = f.temperature.celsius;
    if (t > NO_TEMPERATURE) stat(tr("f.temperature"), util::fmt_double(t, 0), "\u00b0C", "stat.temp");
    stat(tr("monitor.cpu"), "\u2026", "", "stat.load");
}

// ---- Identification and topology ---------------------------------------------

Card make_card(const char* title_key, CardKind kind = CardKind::Rows, bool wide = false) {
    Card c;
    c.title = tr(title_key);
    c.kind = kind;
    c.wide = wide;
    return c;
}

void add(Card& card, const char* label, const std::string& v, const std::string& note) {
    if (!v.empty()) card.rows.emplace_back(label, v, note, false, "", "");
}

void append_if_not_empty(Page& page, Card&& card) {
    if (!card.empty()) page.cards.push_back(std::move(card));
}

Card identification_card(const CpuFrame& f) {
    Card card = make_card("sec.identification");
    const CpuInfoBlock& first = *f.first;
    add(card, tr("f.model"), f.model, "model name");
    add(card, tr("f.vendor"), first.get("vendor_id"), "vendor_id");
    if (f.db.found) {
        add(card, tr("f.codename"), f.db.codename, tr("value.from_table"));
        add(card, tr("f.uarch"), f.db.uarch, tr("value.from_table"));
        add(card, tr("f.process"), f.db.process, tr("value.from_table"));
    }
    if (f.have_uts) add(card, tr("f.architecture"), f.uts.machine, "uname");
    add(card, tr("f.family"), first.get("cpu family"), "cpu family");
    add(card, tr("f.model_id"), first.get("model"), "model");
    add(card, tr("f.stepping"), first.get("stepping"), "stepping");
    add(card, tr("f.microcode"), first.get("microcode"), "microcode");
    add(card, tr("f.bogomips"), first.get("bogomips"), "bogomips");
    add(card, tr("f.address_sizes"), first.get("address sizes"), "address sizes");
    const cpuid::Info& cid = *f.cid;
    if (cid.valid) {
        add(card, tr("f.hypervisor"), cid.hypervisor, "CPUID 40000000h");
        if (cid.clflush_size != 0)
            add(card, tr("f.cache_line"), util::fmt_int(cid.clflush_size) + " B", "CPUID 1h");
        add(card, tr("f.invariant_tsc"), tr(cid.invariant_tsc ? "common.yes" : "common.no"),
            "CPUID 80000007h");
    }
    // Keys that only ARM, RISC-V and similar kernels write.
    const std::pair<const char*, const char*> other_arch[] = {
        {"f.cpu_implementer", "CPU implementer"},
        {"f.cpu_architecture", "CPU architecture"},
        {"f.cpu_variant", "CPU variant"},
        {"f.cpu_part", "CPU part"},
        {"f.cpu_revision", "CPU revision"},
        {"f.isa", "isa"},
        {"f.mmu", "mmu"},
    };
    for (const auto& [key, field] : other_arch) add(card, tr(key), first.get(field), field);
    return card;
}

// Present CPUs that are not online. The kernel's "offline" file also names
// the possible CPUs that are absent ('4-7' on a four-CPU laptop).
std::string offline_list(const CpuFrame& f) {
    std::vector<int> offline;
    for (int cpu : f.present_cpus)
        if (!f.online_set.count(cpu)) offline.push_back(cpu);
    return cpusys::list_text(std::move(offline));
}

size_t count_nodes() { return cpusys::list_kept("/sys/devices/system/node", "node").size(); }

Card topology_card(const CpuFrame& f) {
    Card card = make_card("sec.topology");
    if (f.n_sockets > 0) add(card, tr("f.sockets"), util::fmt_int(f.n_sockets), "physical_package_id");
    if (f.n_cores > 0) add(card, tr("f.cores_physical"), util::fmt_int(f.n_cores), "core_id");
    add(card, tr("f.threads_logical"), util::fmt_int(f.n_threads), "present");
    if (f.n_sockets > 0 && f.n_cores % f.n_sockets == 0)
        add(card, tr("f.cores_per_socket"), util::fmt_int(f.n_cores / f.n_sockets), "");
    // Only online CPUs have sibling files: the cores were counted from them.
    if (f.n_cores > 0 && f.n_online_threads % f.n_cores == 0)
        add(card, tr("f.threads_per_core"), util::fmt_int(f.n_online_threads / f.n_cores), "");
    // From here on the rows describe the whole machine, not the chosen socket.
    add(card, tr("f.cpus_online"), util::fmt_int(f.online_cpus.size()), "online");
    add(card, tr("f.cpu_list_offline"), offline_list(f), "offline");
    std::string smt = cpusys::read_kept(CPU_DIR + "/smt/active");
    if (!smt.empty()) add(card, tr("f.smt"), tr(smt == "0" ? "common.no" : "common.yes"), "smt/active");
    add(card, tr("f.smt_control"), cpusys::read_kept(CPU_DIR + "/smt/control"), "smt/control");
    size_t nodes = count_nodes();
    if (nodes > 0) add(card, tr("f.numa_nodes"), util::fmt_int(nodes), "system/node");
    return card;
}

// ---- Clock, power management, idle states ---------------------------------------

struct ClockSummary {
    uint64_t cur_min = 0, cur_max = 0, hw_min = 0, hw_max = 0, base = 0;
    std::set<std::string> governors, drivers;
};

ClockSummary summarize_clocks(CpuFrame& f) {
    ClockSummary s;
    for (int cpu : f.online_cpus) {
        const CpuClock& c = f.clocks.of(cpu);
        if (c.cur != 0) {
            if (s.cur_min == 0 || s.cur_min > c.cur) s.cur_min = c.cur;
            s.cur_max = std::max(s.cur_max, c.cur);
        }
        if (c.min != 0 && (s.hw_min == 0 || s.hw_min > c.min)) s.hw_min = c.min;
        s.hw_max = std::max(s.hw_max, c.max);
        s.base = std::max(s.base, c.base);
        if (!c.governor.empty()) s.governors.insert(c.governor);
        if (!c.driver.empty()) s.drivers.insert(c.driver);
    }
    return s;
}

std::string khz_range(uint64_t lo, uint64_t hi) {
    if (lo == hi) return util::fmt_khz(hi);
    return util::fmt_khz(lo) + RANGE_DASH + util::fmt_khz(hi);
}

std::string joined(const std::set<std::string>& s) { return util::join({s.begin(), s.end()}, ", "); }

void add_current_clock(Card& card, const CpuFrame& f, const ClockSummary& s) {
    if (s.cur_max > 0) {
        card.rows.emplace_back(tr("f.freq_current"), khz_range(s.cur_min, s.cur_max), "scaling_cur_freq",
                               false, "cpu.freq", "");
        return;
    }
    std::string mhz = f.first->get("cpu MHz");
    if (!mhz.empty())
        add(card, tr("f.freq_current"), util::fmt_mhz(util::to_double(mhz, 0)), "/proc/cpuinfo");
    else
        card.hint = tr("msg.no_cpufreq");
}

void add_base_clock(Card& card, const CpuFrame& f, const ClockSummary& s) {
    if (f.cid->base_mhz != 0) {
        add(card, tr("f.freq_base"), util::fmt_mhz(f.cid->base_mhz), "CPUID 16h");
    } else if (s.base != 0) {
        add(card, tr("f.freq_base"), util::fmt_khz(s.base), "base_frequency");
    } else {
        uint64_t nominal = util::to_u64(util::read_file(cpu_path(0, "acpi_cppc/nominal_freq")), 0);
        if (nominal != 0) add(card, tr("f.freq_base"), util::fmt_mhz(nominal), "acpi_cppc/nominal_freq");
    }
}

void add_clock_source(Card& card) {
    const std::string dir = "/sys/devices/system/clocksource/clocksource0";
    std::string current = util::read_file(dir + "/current_clocksource");
    if (current.empty()) return;
    std::vector<std::string> rest;
    for (const std::string& s : util::split(util::read_file(dir + "/available_clocksource"), ' '))
        if (!s.empty() && s != current) rest.push_back(s);
    card.rows.emplace_back(tr("f.timer"), current, "clocksource0", false, "", util::join(rest, " "));
}

Card clock_card(CpuFrame& f) {
    Card card = make_card("sec.clock");
    ClockSummary s = summarize_clocks(f);
    add_current_clock(card, f, s);
    add_base_clock(card, f, s);
    if (s.hw_max != 0)
        add(card, tr("f.turbo_max"), util::fmt_khz(s.hw_max), "cpuinfo_max_freq");
    else if (f.cid->max_mhz != 0)
        add(card, tr("f.turbo_max"), util::fmt_mhz(f.cid->max_mhz), "CPUID 16h");
    if (f.cid->bus_mhz != 0) add(card, tr("f.bus_clock"), util::fmt_mhz(f.cid->bus_mhz), "CPUID 16h");
    if (s.hw_min != 0) add(card, tr("f.freq_hw_min"), util::fmt_khz(s.hw_min), "cpuinfo_min_freq");
    add(card, tr("f.governor"), joined(s.governors), "scaling_governor");
    add(card, tr("f.freq_driver"), joined(s.drivers), "scaling_driver");
    std::string no_turbo = util::read_file(CPU_DIR + "/intel_pstate/no_turbo");
    if (!no_turbo.empty())
        add(card, tr("f.turbo"), tr(no_turbo == "0" ? "common.yes" : "common.no"), "intel_pstate/no_turbo");
    std::string boost = util::read_file(CPU_DIR + "/cpufreq/boost");
    if (!boost.empty())
        add(card, tr("f.boost"), tr(boost == "0" ? "common.no" : "common.yes"), "cpufreq/boost");
    add(card, tr("f.pstate_status"), util::read_file(CPU_DIR + "/intel_pstate/status"),
        "intel_pstate/status");
    std::string policy = cpu_path(f.first_cpu, "cpufreq");
    uint64_t latency = util::to_u64(util::read_file(policy + "/cpuinfo_transition_latency"), 0);
    if (latency != 0 && latency != CPUFREQ_ETERNAL)
        add(card, tr("f.transition_latency"), util::fmt_int(latency / 1000) + " \u00b5s",
            "cpuinfo_transition_latency");
    add(card, tr("f.energy_pref"), util::read_file(policy + "/energy_performance_preference"),
        "energy_performance_preference");
    add_clock_source(card);
    return card;
}

// The online CPU with the strictly highest preferred-core ranking; a tie keeps
// the CPU listed first.
void add_preferred_core(Card& card, const CpuFrame& f) {
    const std::string file = "cpufreq/amd_pstate_prefcore_ranking";
    std::string pref = util::read_file(cpu_path(f.first_cpu, file));
    if (pref.empty() || pref == "0" || f.online_cpus.empty()) return;
    uint64_t best = 0;
    int best_cpu = -1;
    for (int cpu : f.online_cpus) {
        uint64_t r = util::to_u64(util::read_file(cpu_path(cpu, file)), 0);
        if (r > best) {
            best = r;
            best_cpu = cpu;
        }
    }
    if (best_cpu >= 0)
        card.rows.emplace_back(tr("f.priority"), "CPU " + util::fmt_int(static_cast<uint64_t>(best_cpu)),
                               "amd_pstate_prefcore_ranking", false, "", util::fmt_int(best));
}

Card power_card(const CpuFrame& f) {
    Card card = make_card("sec.power");
    const std::string cppc = cpu_path(f.first_cpu, "acpi_cppc");
    auto add_perf = [&](const char* label, const char* file) {
        std::string v = util::read_file(cppc + "/" + file);
        if (!v.empty() && v != "0") add(card, label, v, std::string("acpi_cppc/") + file);
    };
    add_perf(tr("f.pstate_max_perf"), "highest_perf");
    add_perf(tr("f.perf_level"), "nominal_perf");
    add_perf(tr("f.pstate_min_perf"), "lowest_perf");
    uint64_t nominal = util::to_u64(util::read_file(cppc + "/nominal_freq"), 0);
    if (nominal != 0) add(card, tr("f.freq_base"), util::fmt_mhz(nominal), "acpi_cppc/nominal_freq");
    uint64_t lowest = util::to_u64(util::read_file(cppc + "/lowest_freq"), 0);
    if (lowest != 0) add(card, tr("f.freq_hw_min"), util::fmt_mhz(lowest), "acpi_cppc/lowest_freq");
    add_preferred_core(card, f);
    return card;
}

struct IdleState {
    std::string name;
    std::string desc;
    uint64_t time = 0;   // µs, summed over the online CPUs
    uint64_t usage = 0;  // entries, summed over the online CPUs
    uint64_t latency = 0;
};

// The i-th state directory of every CPU adds to entry i; name, description and
// latency come from the first CPU that has it.
std::vector<IdleState> sum_idle_states(const std::vector<int>& cpus) {
    std::vector<IdleState> states;
    for (int cpu : cpus) {
        const std::string base = cpu_path(cpu, "cpuidle");
        std::vector<std::string> entries = util::list_dir(base, "state");
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string p = base + "/" + entries[i];
            if (states.size() <= i) {
                IdleState s;
                s.name = util::read_file(p + "/name");
                s.desc = util::read_file(p + "/desc");
                s.latency = util::to_u64(util::read_file(p + "/latency"), 0);
                states.push_back(std::move(s));
            }
            states[i].time += util::to_u64(util::read_file(p + "/time"), 0);
            states[i].usage += util::to_u64(util::read_file(p + "/usage"), 0);
        }
    }
    return states;
}

Card cstates_card(const CpuFrame& f) {
    Card card = make_card("sec.cstates");
    card.subtitle = tr("msg.cstates_legend");
    double uptime = util::to_double(util::read_file("/proc/uptime"), 0.0);
    double total_us = static_cast<double>(f.online_cpus.size()) * uptime * 1000000.0;
    for (const IdleState& s : sum_idle_states(f.online_cpus)) {
        if (s.name.empty()) continue;
        double share = total_us > 0 ? static_cast<double>(s.time) * 100.0 / total_us : 0.0;
        std::string note = s.desc;
        if (!note.empty()) note += "  \u00b7  ";
        note += util::fmt_int(s.latency) + " \u00b5s";
        card.rows.emplace_back(s.name, util::fmt_double(share, 1) + " %", note, false, "", "");
    }
    if (card.rows.empty()) return Card();
    const std::string idle_dir = CPU_DIR + "/cpuidle";
    add(card, tr("f.driver"), util::read_file(idle_dir + "/current_driver"), "cpuidle");
    add(card, tr("f.governor"), util::read_file(idle_dir + "/current_governor"), "cpuidle");
    return card;
}

// ---- Caches ---------------------------------------------------------------------

std::string sharing_text(size_t threads) {
    if (threads == 1) return tr("cache.per_thread");
    if (threads > 1) return I18n::instance().trf("cache.shared_by", static_cast<int>(threads));
    return {};
}

// One bar per cache label; an instance shared by several CPUs is counted once,
// through the first CPU that lists it. An instance without a size says
// nothing worth a bar.
Card cache_card(const CpuFrame& f) {
    Card card = make_card("sec.cache", CardKind::Caches);
    std::map<std::string, CacheBar> bars;
    std::map<std::string, size_t> widest;  // label -> most CPUs sharing one instance
    std::vector<std::string> order;
    std::set<std::string> seen;
    for (int cpu : f.online_cpus) {
        for (const cpusys::CacheIndex& e : cpusys::read_caches(cpu)) {
            std::string label = cpusys::cache_label(e.level, e.type);
            if (!seen.insert(label + "@" + e.shared_list).second) continue;
            const uint64_t size = cpusys::cache_size_bytes(cpusys::cache_size_text(e));
            if (size == 0) continue;
            auto [it, created] = bars.try_emplace(label);
            CacheBar& bar = it->second;
            if (created) {
                bar.level = e.level;
                bar.label = label;
                bar.type = e.type;
                bar.ways = util::read_file(e.dir + "/ways_of_associativity");
                bar.line_size = util::read_file(e.dir + "/coherency_line_size");
                order.push_back(label);
            }
            bar.total += size;
            bar.blocks.push_back(size);
            // Instances of one level may differ (per core here, shared by a
            // pair there): the widest sharing is the one named.
            size_t& w = widest[label];
            w = std::max(w, cpusys::parse_list(e.shared_list).size());
        }
    }
    std::sort(order.begin(), order.end(), [&bars](const std::string& a, const std::string& b) {
        int la = bars[a].level, lb = bars[b].level;
        return la != lb ? la < lb : a < b;
    });
    for (const std::string& label : order) {
        CacheBar& bar = bars[label];
        bar.shared_with = sharing_text(widest[label]);
        card.caches.push_back(std::move(bar));
    }
    if (card.caches.empty()) {
        card.kind = CardKind::Rows;
        add(card, tr("f.cache_size"), f.first->get("cache size"), "/proc/cpuinfo");
    }
    return card;
}

// ---- Cores ----------------------------------------------------------------------

// The top clock of each CPU, or its relative capacity where there is no
// cpufreq (ARM big.LITTLE).
uint64_t peak_of(CpuClocks& clocks, int cpu) {
    uint64_t peak = clocks.of(cpu).max;
    if (peak == 0) peak = util::to_u64(util::read_file(cpu_path(cpu, "cpu_capacity")), 0);
    return peak;
}

Card cores_card(CpuFrame& f) {
    if (f.scope_cpus.size() > MANY_CPUS) {
        Card notice = make_card("tree.cores");
        notice.hint = tr("msg.many_cpus");
        return notice;
    }
    Card card = make_card("tree.cores", CardKind::Cores, true);
    std::vector<uint64_t> peaks;
    uint64_t best = 0, worst = 0;
    for (int cpu : f.scope_cpus) {
        uint64_t peak = peak_of(f.clocks, cpu);
        peaks.push_back(peak);
        best = std::max(best, peak);
        if (peak != 0 && (worst == 0 || peak < worst)) worst = peak;
    }
    const bool hybrid = best != 0 && worst != 0 && best != worst;
    card.cores = cpusys::core_tiles(f.scope_cpus, f.places, f.online_set);
    for (size_t i = 0; i < card.cores.size(); ++i) {
        Core& core = card.cores[i];
        const CpuClock& c = f.clocks.of(core.index);
        core.cur_khz = c.cur;
        core.min_khz = c.min;
        core.max_khz = c.max;
        core.governor = c.governor;
        if (hybrid && peaks[i] != 0) core.kind = peaks[i] == best ? "P" : "E";
    }
    if (hybrid) card.subtitle = tr("msg.hybrid_cores");
    return card;
}

// ---- Features, TLBs, vulnerabilities, flags ---------------------------------------

std::vector<std::string> read_flags(const CpuInfoBlock& first) {
    std::string line = first.get("flags");
    if (line.empty()) line = first.get("Features");  // ARM kernels
    std::vector<std::string> flags;
    for (const std::string& part : util::split(line, ' ')) {
        std::string flag = util::trim(part);
        if (!flag.empty()) flags.push_back(std::move(flag));
    }
    return flags;
}

Card features_card(const std::vector<std::string>& flags) {
    Card card = make_card("sec.features", CardKind::Chips, true);
    const std::set<std::string> have(flags.begin(), flags.end());
    for (const Feature& feat : NOTABLE_FEATURES)
        if (have.count(feat.flag)) card.chips.push_back(Chip{feat.label, feat.flag});
    return card;
}

Card tlb_card() {
    Card card = make_card("sec.tlb");
    for (const cpuid::TlbEntry& e : cpuid::tlbs()) {
        std::string v = util::fmt_int(e.entries) + " " + tr("f.entries");
        if (e.ways == 0xFF)
            v += std::string(", ") + tr("value.fully_assoc");
        else if (e.ways > 1)
            v += ", " + util::fmt_int(e.ways) + "-way";
        add(card, e.name.c_str(), v, "CPUID 8000000[56]h");
    }
    return card;
}

// The kernel's wording, with its three common states translated.
std::string vuln_text(const std::string& v) {
    const std::string t = util::trim(v);
    const std::string l = util::lower(t);
    if (util::starts_with(l, "not affected")) return tr("vuln.not_affected");
    if (util::starts_with(l, "vulnerable")) return tr("vuln.vulnerable") + util::trim(t.substr(10));
    if (util::starts_with(l, "mitigation:"))
        return std::string(tr("vuln.mitigated")) + ": " + util::trim(t.substr(11));
    return v;
}

Card vulnerabilities_card() {
    Card card = make_card("sec.vulnerabilities", CardKind::Vulns, true);
    const std::string dir = CPU_DIR + "/vulnerabilities";
    for (const std::string& name : util::list_dir(dir, "")) {
        std::string text = util::valid_utf8(util::read_file(dir + "/" + name));
        if (!text.empty()) add(card, name.c_str(), vuln_text(text), "vulnerabilities/" + name);
    }
    return card;
}

Card all_flags_card(std::vector<std::string> flags) {
    Card card = make_card("sec.all_flags", CardKind::Chips, true);
    card.subtitle = I18n::instance().trf("summary.n_flags", static_cast<int>(flags.size()));
    std::sort(flags.begin(), flags.end());
    for (std::string& flag : flags) card.chips.push_back(Chip{std::move(flag), ""});
    return card;
}

// ---- Power draw and integrated graphics ------------------------------------------

struct IntegratedGpu {
    bool found = false;
    gpu::Device dev;
};

// The first integrated device of the page collection's snapshot; the
// unsuffixed graphics keys of this page always mean that one. The refresher
// keeps the record the page was built from and refreshes it in place.
IntegratedGpu& kept_igpu() {
    static IntegratedGpu kept;
    return kept;
}

const IntegratedGpu& take_integrated() {
    IntegratedGpu& kept = kept_igpu();
    kept = {};
    for (const gpu::Device& d : gpu::snapshot())
        if (d.integrated) {
            kept = {true, d};
            break;
        }
    return kept;
}

// Null without an integrated device; a sleeping one keeps its last readings.
const IntegratedGpu* refreshed_igpu() {
    IntegratedGpu& kept = kept_igpu();
    if (!kept.found) return nullptr;
    gpu::refresh_awake(kept.dev);
    return &kept;
}

int64_t now_ms() { return static_cast<int64_t>(util::monotonic_seconds() * 1000.0); }

void sample_rapl() {
    cpu_power::RaplState& zone = cpu_power::rapl();
    if (zone.path.empty() || !zone.readable) return;
    cpu_power::take_sample(zone, util::read_file(zone.path + "/energy_uj"), now_ms());
}

std::string watts(double w) { return util::fmt_double(w, 1) + " W"; }

void add_live(Card& card, const char* name, const std::string& value, const std::string& note,
              const char* live) {
    if (!value.empty()) card.rows.emplace_back(name, value, note, false, live, "");
}

Card power_draw_card(const Temperature& temperature, const IntegratedGpu& igpu) {
    Card card = make_card("sec.power_draw");
    const double t = temperature.celsius;
    if (t > NO_TEMPERATURE)
        add_live(card, tr("f.temperature"), util::fmt_double(t, 1) + " \u00b0C",
                 temperature.label.empty() ? "hwmon" : temperature.label, "cpu.temp");
    sample_rapl();
    const cpu_power::RaplState& zone = cpu_power::rapl();
    if (zone.readable)
        add_live(card, tr("f.power_now"), zone.watt >= 0.0 ? watts(zone.watt) : "\u2026",
                 "powercap energy_uj", "cpu.power");
    const bool gpu_power = igpu.found && igpu.dev.power_w >= 0.0;
    if (gpu_power)
        add_live(card, tr("f.power_package"), watts(igpu.dev.power_w), "amdgpu hwmon power1_average",
                 "soc.power");
    // Root can read every zone: the hint is only true of a zone that exists
    // and refused its counter.
    const bool zone_locked = !zone.path.empty() && !zone.readable;
    if (card.empty()) {
        std::string snap = snap_hint("hardware-observe");
        if (!snap.empty())
            card.hint = snap;
        else if (zone_locked)
            card.hint = tr("msg.power_needs_root");
    } else if (zone_locked && !gpu_power) {
        card.hint = tr("msg.power_needs_root");
    }
    if (!zone.path.empty()) {
        struct Limit {
            const char* file;
            const char* label;
        };
        const Limit limits[] = {{"constraint_0_power_limit_uw", "f.power_limit_long"},
                                {"constraint_1_power_limit_uw", "f.power_limit_short"}};
        for (const Limit& l : limits) {
            uint64_t uw = util::to_u64(util::read_file(zone.path + "/" + l.file), 0);
            if (uw != 0) card.rows.emplace_back(tr(l.label), watts(uw / 1000000.0), l.file, false, "", "");
        }
    }
    return card;
}

// The model row's note names where the name came from: the PCI address for
// a named device, the processor's model name when the naming rule took it.
std::string igpu_note(const gpu::Device& d, const std::string& model) {
    const std::string ids = util::to_hex(d.vendor_id, 4) + ":" + util::to_hex(d.device_id, 4);
    return d.name.empty() && model != ids ? "model name" : d.pci;
}

Card igpu_card(const gpu::Device& d) {
    Card card = make_card("sec.igpu");
    const std::string model = gpu::display_name(d);
    add_live(card, tr("f.model"), model, igpu_note(d, model), "");
    if (d.compute_units != 0)
        add_live(card, d.shader_label.empty() ? tr("f.compute_units") : d.shader_label.c_str(),
                 util::fmt_int(d.compute_units), "DRM", "");
    if (d.shader_cores != 0 && d.shader_label == "Compute Units")
        add_live(card, tr("f.shader_cores"), util::fmt_int(d.shader_cores),
                 "DRM (" + util::fmt_int(d.compute_units) + " \u00d7 64)", "");
    if (d.cur_khz != 0) add_live(card, tr("f.gpu_freq_cur"), util::fmt_khz(d.cur_khz), "DRM", "gpu.freq");
    if (d.busy_percent >= 0)
        add_live(card, tr("f.gpu_load"), util::fmt_percent(d.busy_percent, 0), "DRM", "gpu.busy");
    return card;
}

}  // namespace

Page collect_cpu(int socket) { return collect_cpu_with_cpuid(socket, cpuid::info()); }

Page collect_cpu_with_cpuid(int socket, const cpuid::Info& cid) {
    Page page;
    CpuFrame f;
    read_frame(f, socket, cid, page);
    online_at_build() = f.online_cpus;
    page.headline = f.model;
    page.subline = subline(f);
    add_stats(f, page);

    append_if_not_empty(page, identification_card(f));
    append_if_not_empty(page, topology_card(f));
    append_if_not_empty(page, clock_card(f));
    append_if_not_empty(page, power_card(f));
    append_if_not_empty(page, cstates_card(f));
    const IntegratedGpu& igpu = take_integrated();
    append_if_not_empty(page, power_draw_card(f.temperature, igpu));
    if (igpu.found) append_if_not_empty(page, igpu_card(igpu.dev));
    append_if_not_empty(page, cache_card(f));
    if (!f.scope_cpus.empty()) append_if_not_empty(page, cores_card(f));
    const std::vector<std::string> flags = read_flags(*f.first);
    if (!flags.empty()) append_if_not_empty(page, features_card(flags));
    append_if_not_empty(page, tlb_card());
    append_if_not_empty(page, vulnerabilities_card());
    if (!flags.empty()) append_if_not_empty(page, all_flags_card(flags));
    return page;
}

namespace {

void widen(uint64_t cur, uint64_t& lo, uint64_t& hi) {
    if (cur == 0) return;
    if (lo == 0 || cur < lo) lo = cur;
    if (cur > hi) hi = cur;
}

// The new text of a live row, or nullptr when its value cannot be read now.
struct LiveValues {
    uint64_t lo = 0, hi = 0;
    double temperature = NO_TEMPERATURE;
    double watt = -1.0;
    const IntegratedGpu* igpu = nullptr;
};

bool live_text(const std::string& key, const LiveValues& v, std::string& out) {
    if (key == "cpu.freq") {
        if (v.hi == 0) return false;
        out = khz_range(v.lo, v.hi);
    } else if (key == "cpu.temp") {
        if (v.temperature <= NO_TEMPERATURE) return false;
        out = util::fmt_double(v.temperature, 1) + " \u00b0C";
    } else if (key == "cpu.power") {
        if (v.watt < 0.0) return false;
        out = watts(v.watt);
    } else if (!v.igpu) {
        return false;
    } else if (key == "gpu.freq") {
        if (v.igpu->dev.cur_khz == 0) return false;
        out = util::fmt_khz(v.igpu->dev.cur_khz);
    } else if (key == "gpu.busy") {
        if (v.igpu->dev.busy_percent < 0) return false;
        out = util::fmt_percent(v.igpu->dev.busy_percent, 0);
    } else if (key == "soc.power") {
        if (v.igpu->dev.power_w < 0.0) return false;
        out = watts(v.igpu->dev.power_w);
    } else {
        return false;
    }
    return true;
}

bool has_graphics_rows(const Page& page) {
    for (const Card& card : page.cards)
        for (const Row& row : card.rows)
            if (row.live == "gpu.freq" || row.live == "gpu.busy" || row.live == "soc.power") return true;
    return false;
}

}  // namespace

void refresh_live_cpu(Page& page) {
    const double now = util::monotonic_seconds();
    LiveValues v;
    for (Card& card : page.cards) {
        if (card.kind != CardKind::Cores) continue;
        for (Core& core : card.cores) {
            core.cur_khz = cpusys::tick_khz(core.index, now);
            widen(core.cur_khz, v.lo, v.hi);
        }
    }
    // Without core tiles (the many-processors notice) the online CPUs of the
    // build stand in.
    if (v.hi == 0)
        for (int cpu : online_at_build()) widen(cpusys::tick_khz(cpu, now), v.lo, v.hi);
    v.temperature = cpu_temperature(sensors::kept_readings(now)).celsius;
    sample_rapl();
    v.watt = cpu_power::rapl().watt;
    for (Stat& s : page.stats) {
        if (s.live == "stat.freq" && v.hi != 0) s.value = util::fmt_khz(v.hi);
        if (s.live == "stat.temp" && v.temperature > NO_TEMPERATURE)
            s.value = util::fmt_double(v.temperature, 0);
    }
    // Refreshing the graphics device costs driver queries; a page without
    // integrated-graphics rows has nothing for them to update.
    if (has_graphics_rows(page)) v.igpu = refreshed_igpu();
    for (Card& card : page.cards)
        for (Row& row : card.rows) {
            if (row.live.empty()) continue;
            std::string text;
            if (live_text(row.live, v, text))
                (row.cols.empty() ? row.value : row.cols.back()) = std::move(text);
        }
}

namespace cpu_power {

namespace {
bool g_zone_searched = false;
RaplState g_zone;
}  // namespace

RaplState find_zone() {
    RaplState state;
    const std::string base = "/sys/class/powercap";
    for (const std::string& entry : util::list_dir(base, "")) {
        const std::string dir = base + "/" + entry;
        if (!util::starts_with(util::read_file(dir + "/name"), "package")) continue;
        state.path = dir;
        state.max_uj = util::to_u64(util::read_file(dir + "/max_energy_range_uj"), 0);
        state.readable = !util::read_file(dir + "/energy_uj").empty();
        break;
    }
    return state;
}

void take_sample(RaplState& state, const std::string& energy_uj_text, int64_t now) {
    // A counter that fails to read once must not count as 0: that would show
    // one absurd wattage at the next sample.
    if (energy_uj_text.empty()) return;
    const uint64_t uj = util::to_u64(energy_uj_text, 0);
    if (state.last_ms != 0 && state.last_ms < now) {
        const double dt = static_cast<double>(now - state.last_ms);
        if (state.last_uj > uj) {
            state.watt = state.max_uj == 0
                             ? 0.0
                             : (static_cast<double>(state.max_uj - state.last_uj + uj) / 1000.0) / dt;
        } else {
            state.watt = (static_cast<double>(uj - state.last_uj) / 1000.0) / dt;
        }
    }
    state.last_uj = uj;
    state.last_ms = now;
}

RaplState& rapl() {
    if (!g_zone_searched) {
        g_zone_searched = true;
        g_zone = find_zone();
    }
    return g_zone;
}

void forget_zone() {
    g_zone_searched = false;
    g_zone = RaplState();
}

}  // namespace cpu_power

}  // namespace probe
