// Processor trees of whole machines written the way the kernel lays them out:
// /proc/cpuinfo, /sys/devices/system/cpu (lists, topology, cache indices,
// cpufreq policies behind per-CPU links, acpi_cppc, cpuidle, vulnerabilities,
// smt, intel_pstate or amd_pstate), NUMA nodes, the clock source and the
// hardware-monitor class. Header-only so that the benchmark can build the
// same machines as the tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace zqtest::machines {

struct Thread {
    int cpu = 0;
    int package = 0;
    int core_id = 0;
    int cluster = 0;  // CPUs of one cluster share the caches marked Cluster
    int kind = 0;     // index into Machine::kinds
    bool online = true;
    uint64_t cur_khz = 0;
    uint64_t prefcore = 0;  // amd_pstate ranking, 0 = none
};

enum class Share { Core, Cluster, Package };

struct Cache {
    int level;
    const char* type;
    const char* size;  // as the kernel writes it: '48K'
    int ways;
    Share share;
};

// What differs between the core types of one processor (all cores on most).
struct Kind {
    std::vector<Cache> caches;
    uint64_t min_khz = 0, max_khz = 0, base_khz = 0;  // 0: file absent
    std::string cppc_highest_perf;                    // empty: no acpi_cppc
};

struct IdleState {
    const char* name;
    const char* desc;
    uint64_t latency;
    uint64_t time_per_cpu;  // µs
    uint64_t usage_per_cpu;
};

struct Machine {
    std::vector<Thread> threads;  // present CPUs
    std::vector<Kind> kinds;
    std::string possible;
    // One block's lines in kernel order; "$pkg", "$core" and "$apic" stand for
    // the thread's own numbers.
    std::vector<std::pair<std::string, std::string>> cpuinfo;
    std::string cpufreq_driver, governor, epp;  // empty driver: no cpufreq
    uint64_t transition_latency = 0;
    std::string cppc_nominal_perf, cppc_lowest_perf, cppc_nominal_freq, cppc_lowest_freq;
    std::vector<IdleState> idle;
    std::string idle_driver, idle_governor;
    int numa_nodes = 0;
    std::map<std::string, std::string> files;  // any other file, by machine path
    std::map<std::string, std::string> links;  // symbolic links, by machine path
};

inline void put(const std::string& root, const std::string& path, const std::string& content) {
    std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
    std::ofstream(root + path, std::ios::binary) << content;
}

inline void link(const std::string& root, const std::string& path, const std::string& target) {
    std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
    std::error_code ec;
    std::filesystem::create_symlink(target, root + path, ec);
}

// The kernel's list syntax: ascending runs folded into 'a-b'.
inline std::string list_text(std::vector<int> cpus) {
    std::sort(cpus.begin(), cpus.end());
    std::string out;
    for (size_t i = 0; i < cpus.size();) {
        size_t j = i;
        while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
        if (!out.empty()) out += ",";
        out += std::to_string(cpus[i]);
        if (j > i) out += "-" + std::to_string(cpus[j]);
        i = j + 1;
    }
    return out;
}

inline std::string cpuinfo_line(const std::string& key, const std::string& value) {
    if (value.empty()) return key + ":\n";  // 'power management:' on most x86
    return key + (key.size() < 8 ? "\t\t" : "\t") + ": " + value + "\n";
}

inline std::string thread_value(std::string v, const Thread& t) {
    if (v == "$pkg") return std::to_string(t.package);
    if (v == "$core") return std::to_string(t.core_id);
    if (v == "$apic") return std::to_string(t.package * 64 + t.core_id * 2 + (t.cpu >= 8 ? 1 : 0));
    return v;
}

inline std::vector<int> cpus_where(const Machine& m, const Thread& t,
                                   bool (*same)(const Thread&, const Thread&)) {
    std::vector<int> out;
    for (const Thread& o : m.threads)
        if (o.online && same(t, o)) out.push_back(o.cpu);
    return out;
}

inline bool same_package(const Thread& a, const Thread& b) { return a.package == b.package; }
inline bool same_core(const Thread& a, const Thread& b) {
    return same_package(a, b) && a.core_id == b.core_id;
}
inline bool same_cluster(const Thread& a, const Thread& b) {
    return same_package(a, b) && a.cluster == b.cluster;
}

inline void write_cpuinfo(const std::string& root, const Machine& m) {
    std::string text;
    for (const Thread& t : m.threads) {
        if (!t.online) continue;
        text += cpuinfo_line("processor", std::to_string(t.cpu));
        for (const auto& [k, v] : m.cpuinfo) text += cpuinfo_line(k, thread_value(v, t));
        text += "\n";
    }
    put(root, "/proc/cpuinfo", text);
}

inline void write_caches(const std::string& root, const std::string& dir, const Machine& m, const Thread& t) {
    const Kind& kind = m.kinds[t.kind];
    for (size_t i = 0; i < kind.caches.size(); ++i) {
        const Cache& c = kind.caches[i];
        auto same = c.share == Share::Core      ? same_core
                    : c.share == Share::Cluster ? same_cluster
                                                : same_package;
        const std::string p = dir + "/cache/index" + std::to_string(i);
        uint64_t kib = std::stoull(c.size);
        put(root, p + "/level", std::to_string(c.level) + "\n");
        put(root, p + "/type", std::string(c.type) + "\n");
        put(root, p + "/size", std::string(c.size) + "\n");
        put(root, p + "/shared_cpu_list", list_text(cpus_where(m, t, same)) + "\n");
        put(root, p + "/ways_of_associativity", std::to_string(c.ways) + "\n");
        put(root, p + "/coherency_line_size", "64\n");
        put(root, p + "/number_of_sets", std::to_string(kib * 1024 / 64 / c.ways) + "\n");
        put(root, p + "/physical_line_partition", "1\n");
    }
}

inline void write_cpufreq(const std::string& root, const std::string& dir, const Machine& m,
                          const Thread& t) {
    const Kind& kind = m.kinds[t.kind];
    const std::string policy = "/sys/devices/system/cpu/cpufreq/policy" + std::to_string(t.cpu);
    link(root, dir + "/cpufreq", "../cpufreq/policy" + std::to_string(t.cpu));
    auto num = [](uint64_t v) { return std::to_string(v) + "\n"; };
    put(root, policy + "/affected_cpus", num(t.cpu));
    put(root, policy + "/related_cpus", num(t.cpu));
    put(root, policy + "/cpuinfo_min_freq", num(kind.min_khz));
    put(root, policy + "/cpuinfo_max_freq", num(kind.max_khz));
    put(root, policy + "/scaling_min_freq", num(kind.min_khz));
    put(root, policy + "/scaling_max_freq", num(kind.max_khz));
    put(root, policy + "/scaling_cur_freq", num(t.cur_khz));
    put(root, policy + "/cpuinfo_transition_latency", num(m.transition_latency));
    put(root, policy + "/scaling_driver", m.cpufreq_driver + "\n");
    put(root, policy + "/scaling_governor", m.governor + "\n");
    put(root, policy + "/scaling_available_governors", "performance powersave\n");
    if (kind.base_khz) put(root, policy + "/base_frequency", num(kind.base_khz));
    if (!m.epp.empty()) {
        put(root, policy + "/energy_performance_preference", m.epp + "\n");
        put(root, policy + "/energy_performance_available_preferences",
            "default performance balance_performance balance_power power \n");
    }
    if (t.prefcore) {
        put(root, policy + "/amd_pstate_prefcore_ranking", num(t.prefcore));
        put(root, policy + "/amd_pstate_hw_prefcore", "enabled\n");
        put(root, policy + "/amd_pstate_highest_perf", num(t.prefcore));
        put(root, policy + "/amd_pstate_max_freq", num(kind.max_khz));
    }
}

inline void write_thread(const std::string& root, const Machine& m, const Thread& t) {
    const std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(t.cpu);
    if (t.cpu != 0) put(root, dir + "/online", t.online ? "1\n" : "0\n");
    // An offline CPU loses its topology, cache and idle directories.
    if (!t.online) return;
    const std::string topo = dir + "/topology";
    const std::string core_list = list_text(cpus_where(m, t, same_core)) + "\n";
    const std::string pkg_list = list_text(cpus_where(m, t, same_package)) + "\n";
    put(root, topo + "/physical_package_id", std::to_string(t.package) + "\n");
    put(root, topo + "/die_id", "0\n");
    put(root, topo + "/cluster_id", std::to_string(t.cluster) + "\n");
    put(root, topo + "/core_id", std::to_string(t.core_id) + "\n");
    put(root, topo + "/core_cpus_list", core_list);
    put(root, topo + "/thread_siblings_list", core_list);
    put(root, topo + "/cluster_cpus_list", list_text(cpus_where(m, t, same_cluster)) + "\n");
    put(root, topo + "/package_cpus_list", pkg_list);
    put(root, topo + "/core_siblings_list", pkg_list);
    put(root, topo + "/die_cpus_list", pkg_list);
    write_caches(root, dir, m, t);
    if (!m.cpufreq_driver.empty()) write_cpufreq(root, dir, m, t);
    const Kind& kind = m.kinds[t.kind];
    if (!kind.cppc_highest_perf.empty()) {
        const std::string c = dir + "/acpi_cppc";
        put(root, c + "/highest_perf", kind.cppc_highest_perf + "\n");
        put(root, c + "/nominal_perf", m.cppc_nominal_perf + "\n");
        put(root, c + "/lowest_nonlinear_perf", "41\n");
        put(root, c + "/lowest_perf", m.cppc_lowest_perf + "\n");
        put(root, c + "/guaranteed_perf", m.cppc_nominal_perf + "\n");
        put(root, c + "/reference_perf", m.cppc_nominal_perf + "\n");
        put(root, c + "/nominal_freq", m.cppc_nominal_freq + "\n");
        put(root, c + "/lowest_freq", m.cppc_lowest_freq + "\n");
        put(root, c + "/wraparound_time", "18446744073709551615\n");
        put(root, c + "/feedback_ctrs", "ref:342667478936 del:427104692437\n");
    }
    for (size_t i = 0; i < m.idle.size(); ++i) {
        const IdleState& s = m.idle[i];
        const std::string p = dir + "/cpuidle/state" + std::to_string(i);
        put(root, p + "/name", std::string(s.name) + "\n");
        put(root, p + "/desc", std::string(s.desc) + "\n");
        put(root, p + "/latency", std::to_string(s.latency) + "\n");
        put(root, p + "/residency", std::to_string(s.latency * 3) + "\n");
        put(root, p + "/time", std::to_string(s.time_per_cpu) + "\n");
        put(root, p + "/usage", std::to_string(s.usage_per_cpu) + "\n");
        put(root, p + "/disable", "0\n");
    }
}

inline void write_machine(const std::string& root, const Machine& m) {
    const std::string sys = "/sys/devices/system/cpu";
    std::vector<int> online, present;
    for (const Thread& t : m.threads) {
        present.push_back(t.cpu);
        if (t.online) online.push_back(t.cpu);
        write_thread(root, m, t);
    }
    put(root, sys + "/online", list_text(online) + "\n");
    put(root, sys + "/present", list_text(present) + "\n");
    put(root, sys + "/possible", m.possible + "\n");
    put(root, sys + "/kernel_max", "8191\n");
    // 'offline' names every possible CPU that is not online.
    std::vector<int> offline;
    for (int c = 0; c <= std::stoi(m.possible.substr(m.possible.rfind('-') + 1)); ++c)
        if (std::find(online.begin(), online.end(), c) == online.end()) offline.push_back(c);
    put(root, sys + "/offline", list_text(offline) + "\n");
    write_cpuinfo(root, m);
    if (!m.idle.empty()) {
        put(root, sys + "/cpuidle/current_driver", m.idle_driver + "\n");
        put(root, sys + "/cpuidle/current_governor", m.idle_governor + "\n");
        put(root, sys + "/cpuidle/current_governor_ro", m.idle_governor + "\n");
    }
    for (int n = 0; n < m.numa_nodes; ++n) {
        std::string node = "/sys/devices/system/node/node" + std::to_string(n);
        std::vector<int> cpus;
        for (const Thread& t : m.threads)
            if (t.online && t.package == n) cpus.push_back(t.cpu);
        put(root, node + "/cpulist", list_text(cpus) + "\n");
    }
    if (m.numa_nodes > 0) {
        put(root, "/sys/devices/system/node/online", "0-" + std::to_string(m.numa_nodes - 1) + "\n");
        put(root, "/sys/devices/system/node/possible", "0-" + std::to_string(m.numa_nodes - 1) + "\n");
    }
    for (const auto& [path, content] : m.files) put(root, path, content);
    for (const auto& [path, target] : m.links) link(root, path, target);
}

// A hardware-monitor chip as a device directory plus the class link to it.
inline void add_hwmon(Machine& m, int n, const std::string& device, const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& channels) {
    const std::string hw = "/hwmon/hwmon" + std::to_string(n);
    const std::string dev = "/sys/devices/" + device + hw;
    m.files[dev + "/name"] = name + "\n";
    for (size_t i = 0; i < channels.size(); ++i) {
        if (channels[i].first.empty()) continue;
        const std::string ch = dev + "/temp" + std::to_string(i + 1);
        m.files[ch + "_input"] = channels[i].first + "\n";
        if (!channels[i].second.empty()) m.files[ch + "_label"] = channels[i].second + "\n";
    }
    m.links["/sys/class/hwmon/hwmon" + std::to_string(n)] = "../../devices/" + device + hw;
}

inline void common_x86_files(Machine& m, const std::map<std::string, std::string>& vulns) {
    for (const auto& [name, text] : vulns)
        m.files["/sys/devices/system/cpu/vulnerabilities/" + name] = text + "\n";
    m.files["/sys/devices/system/clocksource/clocksource0/current_clocksource"] = "tsc\n";
    m.files["/sys/devices/system/clocksource/clocksource0/available_clocksource"] = "tsc hpet acpi_pm \n";
    m.files["/proc/uptime"] = "1000.00 7600.00\n";
}

// Two Xeon Gold 6134 (8 cores, 16 threads each): threads 0-7 and 16-23 on
// package 0, the rest on package 1, sparse core ids as Skylake-SP reports them.
inline Machine two_socket_server() {
    Machine m;
    const int core_ids[] = {0, 3, 4, 8, 11, 16, 19, 26};
    for (int cpu = 0; cpu < 32; ++cpu) {
        Thread t;
        t.cpu = cpu;
        t.package = (cpu / 8) % 2;
        t.core_id = core_ids[cpu % 8];
        t.cluster = t.core_id;
        t.cur_khz = 1200000 + 100000 * static_cast<uint64_t>(cpu % 8);
        m.threads.push_back(t);
    }
    Kind k;
    k.caches = {{1, "Data", "32K", 8, Share::Core},
                {1, "Instruction", "32K", 8, Share::Core},
                {2, "Unified", "1024K", 16, Share::Core},
                {3, "Unified", "25344K", 11, Share::Package}};
    k.min_khz = 1200000;
    k.max_khz = 3700000;
    k.base_khz = 3200000;
    m.kinds = {k};
    m.possible = "0-31";
    m.cpuinfo = {
        {"vendor_id", "GenuineIntel"},
        {"cpu family", "6"},
        {"model", "85"},
        {"model name", "Intel(R) Xeon(R) Gold 6134 CPU @ 3.20GHz"},
        {"stepping", "4"},
        {"microcode", "0x2007006"},
        {"cpu MHz", "1200.000"},
        {"cache size", "25344 KB"},
        {"physical id", "$pkg"},
        {"siblings", "16"},
        {"core id", "$core"},
        {"cpu cores", "8"},
        {"apicid", "$apic"},
        {"initial apicid", "$apic"},
        {"fpu", "yes"},
        {"fpu_exception", "yes"},
        {"cpuid level", "22"},
        {"wp", "yes"},
        {"flags",
         "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush dts acpi "
         "mmx fxsr sse sse2 ss ht tm pbe syscall nx pdpe1gb rdtscp lm constant_tsc art arch_perfmon "
         "pebs bts rep_good nopl xtopology nonstop_tsc cpuid aperfmperf pni pclmulqdq dtes64 "
         "monitor ds_cpl vmx smx est tm2 ssse3 sdbg fma cx16 xtpr pdcm pcid dca sse4_1 sse4_2 "
         "x2apic movbe popcnt tsc_deadline_timer aes xsave avx f16c rdrand lahf_lm abm "
         "3dnowprefetch cpuid_fault epb cat_l3 cdp_l3 invpcid_single pti intel_ppin ssbd mba ibrs "
         "ibpb stibp tpr_shadow flexpriority ept vpid ept_ad fsgsbase tsc_adjust bmi1 hle avx2 "
         "smep bmi2 erms invpcid rtm cqm mpx rdt_a avx512f avx512dq rdseed adx smap clflushopt clwb "
         "intel_pt avx512cd avx512bw avx512vl xsaveopt xsavec xgetbv1 xsaves cqm_llc cqm_occup_llc "
         "cqm_mbm_total cqm_mbm_local dtherm ida arat pln pts hwp hwp_act_window hwp_epp hwp_pkg_req "
         "pku ospke md_clear flush_l1d arch_capabilities"},
        {"bugs",
         "cpu_meltdown spectre_v1 spectre_v2 spec_store_bypass l1tf mds swapgs taa itlb_multihit "
         "mmio_stale_data retbleed gds"},
        {"bogomips", "6400.00"},
        {"clflush size", "64"},
        {"cache_alignment", "64"},
        {"address sizes", "46 bits physical, 48 bits virtual"},
        {"power management", ""}};
    m.cpufreq_driver = "intel_pstate";
    m.governor = "performance";
    m.epp = "performance";
    m.transition_latency = 4294967295u;  // CPUFREQ_ETERNAL in active mode
    m.idle = {{"POLL", "CPUIDLE CORE POLL IDLE", 0, 1000000, 900},
              {"C1", "MWAIT 0x00", 2, 20000000, 50000},
              {"C1E", "MWAIT 0x01", 10, 100000000, 80000},
              {"C6", "MWAIT 0x20", 133, 500000000, 120000}};
    m.idle_driver = "intel_idle";
    m.idle_governor = "menu";
    m.numa_nodes = 2;
    m.files["/sys/devices/system/cpu/intel_pstate/status"] = "active\n";
    m.files["/sys/devices/system/cpu/intel_pstate/no_turbo"] = "0\n";
    m.files["/sys/devices/system/cpu/smt/active"] = "1\n";
    m.files["/sys/devices/system/cpu/smt/control"] = "on\n";
    common_x86_files(m,
                     {{"meltdown", "Mitigation: PTI"},
                      {"spectre_v1", "Mitigation: usercopy/swapgs barriers and __user pointer sanitization"},
                      {"spectre_v2", "Mitigation: IBRS; IBPB: conditional; STIBP: conditional; RSB filling"},
                      {"mds", "Mitigation: Clear CPU buffers; SMT vulnerable"},
                      {"gds", "Vulnerable: No microcode"},
                      {"srbds", "Not affected"},
                      {"itlb_multihit", "KVM: Mitigation: VMX disabled"}});
    add_hwmon(m, 0, "platform/coretemp.0", "coretemp", {{"48000", "Package id 0"}, {"45000", "Core 0"}});
    add_hwmon(m, 1, "platform/coretemp.1", "coretemp", {{"51000", "Package id 1"}, {"50000", "Core 0"}});
    return m;
}

// Core i7-1260P: four P-cores with two threads each (CPUs 0-7, core ids 0, 4,
// 8, 12) and eight E-cores (CPUs 8-15) in two clusters sharing an L2 each.
inline Machine hybrid_laptop() {
    Machine m;
    for (int cpu = 0; cpu < 16; ++cpu) {
        Thread t;
        t.cpu = cpu;
        bool p = cpu < 8;
        t.core_id = p ? (cpu / 2) * 4 : 16 + (cpu - 8);
        t.cluster = p ? cpu / 2 : 4 + (cpu - 8) / 4;
        t.kind = p ? 0 : 1;
        t.cur_khz = p ? 2500000 : 1800000;
        m.threads.push_back(t);
    }
    Kind pk, ek;
    pk.caches = {{1, "Data", "48K", 12, Share::Core},
                 {1, "Instruction", "32K", 8, Share::Core},
                 {2, "Unified", "1280K", 10, Share::Cluster},
                 {3, "Unified", "18432K", 12, Share::Package}};
    ek.caches = {{1, "Data", "32K", 8, Share::Core},
                 {1, "Instruction", "64K", 8, Share::Core},
                 {2, "Unified", "2048K", 16, Share::Cluster},
                 {3, "Unified", "18432K", 12, Share::Package}};
    pk.min_khz = ek.min_khz = 400000;
    pk.max_khz = 4700000;
    ek.max_khz = 3400000;
    pk.base_khz = 2100000;
    ek.base_khz = 1500000;
    m.kinds = {pk, ek};
    m.possible = "0-15";
    m.cpuinfo = {{"vendor_id", "GenuineIntel"},
                 {"cpu family", "6"},
                 {"model", "154"},
                 {"model name", "12th Gen Intel(R) Core(TM) i7-1260P"},
                 {"stepping", "3"},
                 {"microcode", "0x432"},
                 {"cpu MHz", "2500.000"},
                 {"cache size", "18432 KB"},
                 {"physical id", "$pkg"},
                 {"siblings", "16"},
                 {"core id", "$core"},
                 {"cpu cores", "12"},
                 {"apicid", "$apic"},
                 {"initial apicid", "$apic"},
                 {"fpu", "yes"},
                 {"fpu_exception", "yes"},
                 {"cpuid level", "32"},
                 {"wp", "yes"},
                 {"flags",
                  "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush dts acpi "
                  "mmx fxsr sse sse2 ss ht tm pbe syscall nx pdpe1gb rdtscp lm constant_tsc art "
                  "arch_perfmon pebs bts rep_good nopl xtopology nonstop_tsc cpuid aperfmperf tsc_known_freq "
                  "pni pclmulqdq dtes64 monitor ds_cpl vmx smx est tm2 ssse3 sdbg fma cx16 xtpr pdcm sse4_1 "
                  "sse4_2 x2apic movbe popcnt tsc_deadline_timer aes xsave avx f16c rdrand lahf_lm abm "
                  "3dnowprefetch cpuid_fault epb ssbd ibrs ibpb stibp ibrs_enhanced tpr_shadow flexpriority "
                  "ept vpid ept_ad fsgsbase tsc_adjust bmi1 avx2 smep bmi2 erms invpcid rdseed adx smap "
                  "clflushopt clwb intel_pt sha_ni xsaveopt xsavec xgetbv1 xsaves split_lock_detect "
                  "avx_vnni dtherm ida arat pln pts hwp hwp_notify hwp_act_window hwp_epp hwp_pkg_req hfi "
                  "vnmi umip pku ospke waitpkg gfni vaes vpclmulqdq rdpid movdiri movdir64b fsrm md_clear "
                  "serialize arch_lbr ibt flush_l1d arch_capabilities"},
                 {"bugs", "spectre_v1 spectre_v2 spec_store_bypass swapgs eibrs_pbrsb rfds bhi"},
                 {"bogomips", "4992.00"},
                 {"clflush size", "64"},
                 {"cache_alignment", "64"},
                 {"address sizes", "39 bits physical, 48 bits virtual"},
                 {"power management", ""}};
    m.cpufreq_driver = "intel_pstate";
    m.governor = "powersave";
    m.epp = "balance_performance";
    m.transition_latency = 0;
    m.idle = {{"POLL", "CPUIDLE CORE POLL IDLE", 0, 500000, 100},
              {"C1_ACPI", "ACPI FFH MWAIT 0x0", 1, 30000000, 20000},
              {"C2_ACPI", "ACPI FFH MWAIT 0x21", 127, 200000000, 90000},
              {"C3_ACPI", "ACPI FFH MWAIT 0x60", 1048, 600000000, 150000}};
    m.idle_driver = "intel_idle";
    m.idle_governor = "menu";
    m.numa_nodes = 1;
    m.files["/sys/devices/system/cpu/intel_pstate/status"] = "active\n";
    m.files["/sys/devices/system/cpu/intel_pstate/no_turbo"] = "1\n";
    m.files["/sys/devices/system/cpu/smt/active"] = "1\n";
    m.files["/sys/devices/system/cpu/smt/control"] = "on\n";
    common_x86_files(m, {{"meltdown", "Not affected"},
                         {"spectre_v2",
                          "Mitigation: Enhanced / Automatic IBRS; IBPB: conditional; RSB filling; "
                          "PBRSB-eIBRS: SW sequence; BHI: BHI_DIS_S"},
                         {"retbleed", "Not affected"}});
    add_hwmon(m, 0, "virtual/thermal/thermal_zone0", "acpitz", {{"27800", ""}});
    add_hwmon(m, 4, "platform/coretemp.0", "coretemp",
              {{"55000", "Package id 0"}, {"", ""}, {"53000", "Core 0"}, {"61000", "Core 4"}});
    return m;
}

// Ryzen 7 7700X under amd-pstate-epp: SMT siblings are CPU n and n + 8, boost
// on, ACPI CPPC per CPU with preferred-core rankings.
inline Machine amd_desktop() {
    Machine m;
    const uint64_t rankings[] = {226, 231, 236, 216, 221, 236, 211, 206};
    for (int cpu = 0; cpu < 16; ++cpu) {
        Thread t;
        t.cpu = cpu;
        t.core_id = cpu % 8;
        t.cluster = t.core_id;
        t.cur_khz = cpu == 3 ? 5573000 : 3000000 + 1000 * static_cast<uint64_t>(cpu);
        t.prefcore = rankings[cpu % 8];
        m.threads.push_back(t);
    }
    Kind k;
    k.caches = {{1, "Data", "32K", 8, Share::Core},
                {1, "Instruction", "32K", 8, Share::Core},
                {2, "Unified", "1024K", 8, Share::Core},
                {3, "Unified", "32768K", 16, Share::Package}};
    k.min_khz = 545000;
    k.max_khz = 5573000;
    k.cppc_highest_perf = "236";
    m.kinds = {k};
    m.possible = "0-15";
    m.cpuinfo = {{"vendor_id", "AuthenticAMD"},
                 {"cpu family", "25"},
                 {"model", "97"},
                 {"model name", "AMD Ryzen 7 7700X 8-Core Processor"},
                 {"stepping", "2"},
                 {"microcode", "0xa601206"},
                 {"cpu MHz", "3000.000"},
                 {"cache size", "1024 KB"},
                 {"physical id", "$pkg"},
                 {"siblings", "16"},
                 {"core id", "$core"},
                 {"cpu cores", "8"},
                 {"apicid", "$apic"},
                 {"initial apicid", "$apic"},
                 {"fpu", "yes"},
                 {"fpu_exception", "yes"},
                 {"cpuid level", "16"},
                 {"wp", "yes"},
                 {"flags",
                  "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush mmx fxsr "
                  "sse sse2 ht syscall nx mmxext fxsr_opt pdpe1gb rdtscp lm constant_tsc rep_good amd_lbr_v2 "
                  "nopl nonstop_tsc cpuid extd_apicid aperfmperf rapl pni pclmulqdq monitor ssse3 fma cx16 "
                  "sse4_1 sse4_2 x2apic movbe popcnt aes xsave avx f16c rdrand lahf_lm cmp_legacy svm "
                  "extapic cr8_legacy abm sse4a misalignsse 3dnowprefetch osvw ibs skinit wdt tce topoext "
                  "perfctr_core perfctr_nb bpext perfctr_llc mwaitx cpb cat_l3 cdp_l3 hw_pstate ssbd mba "
                  "perfmon_v2 ibrs ibpb stibp ibrs_enhanced vmmcall fsgsbase bmi1 avx2 smep bmi2 erms "
                  "invpcid cqm rdt_a avx512f avx512dq rdseed adx smap avx512ifma clflushopt clwb avx512cd "
                  "sha_ni avx512bw avx512vl xsaveopt xsavec xgetbv1 xsaves cqm_llc cqm_occup_llc "
                  "cqm_mbm_total cqm_mbm_local avx512_bf16 clzero irperf xsaveerptr rdpru wbnoinvd cppc arat "
                  "npt lbrv svm_lock nrip_save tsc_scale vmcb_clean flushbyasid decodeassists pausefilter "
                  "pfthreshold avic v_vmsave_vmload vgif x2avic v_spec_ctrl vnmi avx512vbmi umip pku ospke "
                  "avx512_vbmi2 gfni vaes vpclmulqdq avx512_vnni avx512_bitalg avx512_vpopcntdq rdpid "
                  "overflow_recov succor smca fsrm flush_l1d"},
                 {"bugs", "sysret_ss_attrs spectre_v1 spectre_v2 spec_store_bypass srso"},
                 {"bogomips", "8983.24"},
                 {"TLB size", "3584 4K pages"},
                 {"clflush size", "64"},
                 {"cache_alignment", "64"},
                 {"address sizes", "48 bits physical, 48 bits virtual"},
                 {"power management", "ts ttp tm hwpstate cpb eff_freq_ro [13] [14]"}};
    m.cpufreq_driver = "amd-pstate-epp";
    m.governor = "powersave";
    m.epp = "balance_performance";
    m.transition_latency = 20000;
    m.cppc_nominal_perf = "120";
    m.cppc_lowest_perf = "18";
    m.cppc_nominal_freq = "4500";
    m.cppc_lowest_freq = "400";
    m.idle = {{"POLL", "CPUIDLE CORE POLL IDLE", 0, 100000, 300},
              {"C1", "ACPI FFH MWAIT 0x0", 1, 40000000, 60000},
              {"C2", "ACPI IOPORT 0x814", 18, 300000000, 200000},
              {"C3", "", 350, 0, 0}};
    m.idle_driver = "acpi_idle";
    m.idle_governor = "menu";
    m.numa_nodes = 1;
    m.files["/sys/devices/system/cpu/amd_pstate/status"] = "active\n";
    m.files["/sys/devices/system/cpu/amd_pstate/prefcore"] = "enabled\n";
    m.files["/sys/devices/system/cpu/cpufreq/boost"] = "1\n";
    m.files["/sys/devices/system/cpu/smt/active"] = "1\n";
    m.files["/sys/devices/system/cpu/smt/control"] = "on\n";
    common_x86_files(m,
                     {{"meltdown", "Not affected"},
                      {"spec_rstack_overflow", "Mitigation: Safe RET"},
                      {"spectre_v1", "Mitigation: usercopy/swapgs barriers and __user pointer sanitization"},
                      {"tsx_async_abort", "Not affected"}});
    add_hwmon(m, 1, "pci0000:00/0000:00:18.3", "k10temp",
              {{"45250", "Tctl"}, {"", ""}, {"52000", "Tccd1"}, {"52000", "Tccd2"}});
    add_hwmon(m, 2, "pci0000:00/0000:00:01.1/0000:01:00.0", "nvme", {{"38850", "Composite"}});
    return m;
}

// A virtual machine with CPU hotplug: 16 possible CPUs, 0-3 and 8 present,
// CPU 2 taken offline; no cpufreq, no idle states, no SMT.
inline Machine offline_vm() {
    Machine m;
    for (int cpu : {0, 1, 2, 3, 8}) {
        Thread t;
        t.cpu = cpu;
        t.core_id = cpu;
        t.cluster = cpu;
        t.online = cpu != 2;
        m.threads.push_back(t);
    }
    Kind k;
    k.caches = {{1, "Data", "32K", 8, Share::Core},
                {1, "Instruction", "32K", 8, Share::Core},
                {2, "Unified", "4096K", 16, Share::Core},
                {3, "Unified", "16384K", 16, Share::Package}};
    m.kinds = {k};
    m.possible = "0-15";
    m.cpuinfo = {{"vendor_id", "GenuineIntel"},
                 {"cpu family", "6"},
                 {"model", "106"},
                 {"model name", "Intel Xeon Processor (Icelake)"},
                 {"stepping", "0"},
                 {"microcode", "0x1"},
                 {"cpu MHz", "2593.906"},
                 {"cache size", "16384 KB"},
                 {"physical id", "$pkg"},
                 {"siblings", "4"},
                 {"core id", "$core"},
                 {"cpu cores", "4"},
                 {"apicid", "$apic"},
                 {"initial apicid", "$apic"},
                 {"fpu", "yes"},
                 {"fpu_exception", "yes"},
                 {"cpuid level", "13"},
                 {"wp", "yes"},
                 {"flags",
                  "fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 clflush mmx fxsr "
                  "sse sse2 ss syscall nx pdpe1gb rdtscp lm constant_tsc arch_perfmon rep_good nopl "
                  "xtopology cpuid tsc_known_freq pni pclmulqdq vmx ssse3 fma cx16 pdcm pcid sse4_1 sse4_2 "
                  "x2apic movbe popcnt tsc_deadline_timer aes xsave avx f16c rdrand hypervisor lahf_lm abm "
                  "3dnowprefetch avx2 smep bmi2 avx512f avx512bw avx512vnni"},
                 {"bugs", "spectre_v1 spectre_v2 spec_store_bypass swapgs"},
                 {"bogomips", "5187.81"},
                 {"clflush size", "64"},
                 {"cache_alignment", "64"},
                 {"address sizes", "46 bits physical, 57 bits virtual"},
                 {"power management", ""}};
    m.numa_nodes = 1;
    m.files["/sys/devices/system/cpu/smt/active"] = "0\n";
    m.files["/sys/devices/system/cpu/smt/control"] = "notsupported\n";
    common_x86_files(m, {{"meltdown", "Not affected"},
                         {"mmio_stale_data", "Unknown: No mitigations"},
                         {"spectre_v2", "Vulnerable"}});
    return m;
}

}  // namespace zqtest::machines
