// The "cpu" page over whole machines: each test puts a processor tree in
// front of the page builder and reads the cards it gets back.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "cpu_machines.h"
#include "cpuid_dump.h"
#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "probe_cpu.h"
#include "util.h"
#include "x86id.h"

namespace {

namespace m = zqtest::machines;
using probe::Card;
using probe::CardKind;
using probe::Page;

class CpuPage : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
    }
    void TearDown() override { util::set_number_format(",", "."); }
};

// The server is read by several tests; writing its tree once saves seconds.
const std::string& server_tree() {
    static zqtest::TempDir dir;
    static bool written = false;
    if (!written) m::write_machine(dir.path(), m::two_socket_server());
    written = true;
    return dir.path();
}

const Card* card(const Page& page, const char* title_key) {
    for (const Card& c : page.cards)
        if (c.title == tr(title_key)) return &c;
    return nullptr;
}

// The value of the first row of that name, "<none>" when there is none.
std::string row(const Card* c, const std::string& name) {
    if (!c) return "<no card>";
    for (const probe::Row& r : c->rows)
        if (r.name == name) return r.value;
    return "<none>";
}

const probe::Row* row_named(const Card* c, const std::string& name) {
    if (!c) return nullptr;
    for (const probe::Row& r : c->rows)
        if (r.name == name) return &r;
    return nullptr;
}

std::string stat(const Page& page, const char* label_key) {
    for (const probe::Stat& s : page.stats)
        if (s.label == tr(label_key)) return s.value;
    return "<none>";
}

std::vector<std::string> titles(const Page& page) {
    std::vector<std::string> t;
    for (const Card& c : page.cards) t.push_back(c.title);
    return t;
}

const probe::CacheBar* bar(const Card* c, const std::string& label) {
    if (!c) return nullptr;
    for (const probe::CacheBar& b : c->caches)
        if (b.label == label) return &b;
    return nullptr;
}

TEST_F(CpuPage, TwoSocketServerOffersOneChoicePerPackage) {
    zqtest::ScopedRoot root(server_tree());

    Page all = probe::collect_cpu(-1);
    EXPECT_EQ(all.headline, "Intel(R) Xeon(R) Gold 6134 CPU @ 3.20GHz");
    EXPECT_EQ(all.selector.label, tr("f.sockets"));
    EXPECT_EQ(all.selector.options, (std::vector<std::string>{"All", "Socket 0", "Socket 1"}));
    EXPECT_EQ(all.selector.values, (std::vector<int>{-1, 0, 1}));
    EXPECT_EQ(all.selector.selected, 0);
    EXPECT_EQ(stat(all, "f.sockets"), "2");
    EXPECT_EQ(stat(all, "f.cores_physical"), "16");
    EXPECT_EQ(stat(all, "f.threads_logical"), "32");
    EXPECT_EQ(stat(all, "f.freq_current"), "1.90 GHz");
    EXPECT_EQ(stat(all, "f.temperature"), "48");
    EXPECT_EQ(all.stats.back().live, "stat.load");
    const Card* topo = card(all, "sec.topology");
    EXPECT_EQ(row(topo, tr("f.cores_per_socket")), "8");
    EXPECT_EQ(row(topo, tr("f.threads_per_core")), "2");
    EXPECT_EQ(row(topo, tr("f.numa_nodes")), "2");
    EXPECT_EQ(row(topo, tr("f.smt")), "Yes");
    EXPECT_EQ(row(topo, tr("f.smt_control")), "on");
    EXPECT_EQ(row(topo, tr("f.cpu_list_offline")), "<none>");

    Page second = probe::collect_cpu(1);
    EXPECT_EQ(second.selector.selected, 2);
    EXPECT_EQ(stat(second, "f.sockets"), "1");
    EXPECT_EQ(stat(second, "f.cores_physical"), "8");
    EXPECT_EQ(stat(second, "f.threads_logical"), "16");
    EXPECT_EQ(stat(second, "f.freq_current"), "1.90 GHz") << "the figure covers every online CPU";
    const Card* cores = card(second, "tree.cores");
    ASSERT_TRUE(cores);
    ASSERT_EQ(cores->cores.size(), 16u);
    EXPECT_EQ(cores->cores[0].index, 8);
    EXPECT_EQ(cores->cores[8].index, 24);
    for (const probe::Core& c : cores->cores) {
        EXPECT_EQ(c.package, 1);
        EXPECT_EQ(c.first_thread, c.index < 16) << c.index;
        EXPECT_EQ(c.kind, "");
    }
    EXPECT_EQ(cores->cores[1].core_id, 3);
    EXPECT_EQ(cores->cores[1].max_khz, 3700000u);
    EXPECT_EQ(cores->cores[1].governor, "performance");
    // The cache card always covers the whole machine.
    const probe::CacheBar* l3 = bar(card(second, "sec.cache"), "L3");
    ASSERT_TRUE(l3);
    EXPECT_EQ(l3->blocks, (std::vector<uint64_t>{25952256, 25952256}));
    EXPECT_EQ(l3->shared_with, "shared by 16 threads");

    Page unknown = probe::collect_cpu(7);
    EXPECT_EQ(unknown.selector.selected, 0);
    EXPECT_EQ(stat(unknown, "f.threads_logical"), "32");
}

TEST_F(CpuPage, ServerClockPowerAndIdleCards) {
    zqtest::ScopedRoot root(server_tree());
    Page page = probe::collect_cpu(-1);

    const Card* clock = card(page, "sec.clock");
    const probe::Row* cur = row_named(clock, tr("f.freq_current"));
    ASSERT_TRUE(cur);
    EXPECT_EQ(cur->value, "1.20 GHz \u2013 1.90 GHz");
    EXPECT_EQ(cur->live, "cpu.freq");
    EXPECT_EQ(row(clock, tr("f.turbo_max")), "3.70 GHz");
    EXPECT_EQ(row(clock, tr("f.freq_hw_min")), "1.20 GHz");
    EXPECT_EQ(row(clock, tr("f.governor")), "performance");
    EXPECT_EQ(row(clock, tr("f.freq_driver")), "intel_pstate");
    EXPECT_EQ(row(clock, tr("f.turbo")), "Yes");
    EXPECT_EQ(row(clock, tr("f.boost")), "<none>");
    EXPECT_EQ(row(clock, tr("f.pstate_status")), "active");
    EXPECT_EQ(row(clock, tr("f.transition_latency")), "<none>") << "4294967295 ns is the kernel's unknown";
    EXPECT_EQ(row(clock, tr("f.energy_pref")), "performance");
    const probe::Row* source = row_named(clock, tr("f.timer"));
    ASSERT_TRUE(source);
    EXPECT_EQ(source->value, "tsc");
    EXPECT_EQ(source->extra, "hpet acpi_pm");

    EXPECT_FALSE(card(page, "sec.power")) << "no acpi_cppc, no prefcore ranking";

    // 32 CPUs, 1000 s up: C6 with 500 s per CPU is half of all time.
    const Card* idle = card(page, "sec.cstates");
    ASSERT_TRUE(idle);
    EXPECT_EQ(idle->subtitle, tr("msg.cstates_legend"));
    EXPECT_EQ(row(idle, "C6"), "50.0 %");
    EXPECT_EQ(row(idle, "POLL"), "0.1 %");
    EXPECT_EQ(row_named(idle, "C6")->note, "MWAIT 0x20  \u00b7  133 \u00b5s");
    EXPECT_EQ(row(idle, tr("f.driver")), "intel_idle");
    EXPECT_EQ(idle->rows.back().name, tr("f.governor"));
}

TEST_F(CpuPage, ServerFeaturesVulnerabilitiesAndFlags) {
    zqtest::ScopedRoot root(server_tree());
    Page page = probe::collect_cpu(-1);

    const Card* features = card(page, "sec.features");
    ASSERT_TRUE(features);
    EXPECT_EQ(features->chips.front().label, "64-Bit (x86-64)");
    EXPECT_EQ(features->chips.front().note, "lm");
    auto pos = [&](const std::string& label) {
        for (size_t i = 0; i < features->chips.size(); ++i)
            if (features->chips[i].label == label) return static_cast<int>(i);
        return -1;
    };
    EXPECT_LT(pos("Intel VT-x"), pos("Hyper-Threading / SMT")) << "table order, not line order";
    EXPECT_GE(pos("AVX-512 BW"), 0);
    EXPECT_EQ(pos("AMD-V (SVM)"), -1);

    const Card* vulns = card(page, "sec.vulnerabilities");
    ASSERT_TRUE(vulns);
    EXPECT_EQ(vulns->kind, CardKind::Vulns);
    EXPECT_EQ(vulns->rows.front().name, "gds") << "directory order";
    EXPECT_EQ(row(vulns, "meltdown"), "Mitigated: PTI");
    EXPECT_EQ(row(vulns, "gds"), "Vulnerable: No microcode");
    EXPECT_EQ(row(vulns, "srbds"), "Not affected");
    EXPECT_EQ(row(vulns, "itlb_multihit"), "KVM: Mitigation: VMX disabled");
    EXPECT_EQ(row(vulns, "mds"), "Mitigated: Clear CPU buffers; SMT vulnerable");
    EXPECT_EQ(row_named(vulns, "mds")->note, "vulnerabilities/mds");

    const Card* flags = card(page, "sec.all_flags");
    ASSERT_TRUE(flags);
    EXPECT_EQ(flags->chips.front().label, "3dnowprefetch");
    EXPECT_TRUE(std::is_sorted(flags->chips.begin(), flags->chips.end(),
                               [](const probe::Chip& a, const probe::Chip& b) { return a.label < b.label; }));
    EXPECT_EQ(flags->subtitle, std::to_string(flags->chips.size()) + " Flags");

    // Card order of the page.
    std::vector<std::string> want;
    for (const char* key : {"sec.identification", "sec.topology", "sec.clock", "sec.cstates",
                            "sec.power_draw", "sec.cache", "tree.cores", "sec.features"})
        want.push_back(tr(key));
    std::vector<std::string> got = titles(page);
    got.resize(std::min(got.size(), want.size()));
    EXPECT_EQ(got, want);
    EXPECT_EQ(page.cards.back().title, tr("sec.all_flags"));
}

TEST_F(CpuPage, HybridLaptopTellsPerformanceFromEfficientCores) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::hybrid_laptop());
    Page page = probe::collect_cpu(-1);

    EXPECT_FALSE(page.selector.options.size()) << "one package, no chooser";
    EXPECT_EQ(stat(page, "f.cores_physical"), "12");
    EXPECT_EQ(stat(page, "f.temperature"), "61") << "hottest channel of coretemp, acpitz ignored";
    const Card* cores = card(page, "tree.cores");
    ASSERT_TRUE(cores);
    EXPECT_TRUE(cores->wide);
    EXPECT_EQ(cores->subtitle, tr("msg.hybrid_cores"));
    for (const probe::Core& c : cores->cores) EXPECT_EQ(c.kind, c.index < 8 ? "P" : "E") << c.index;
    EXPECT_EQ(cores->cores[1].first_thread, false);
    EXPECT_EQ(cores->cores[9].first_thread, true);

    const Card* topo = card(page, "sec.topology");
    EXPECT_EQ(row(topo, tr("f.threads_per_core")), "<none>") << "16 threads on 12 cores";

    const Card* clock = card(page, "sec.clock");
    EXPECT_EQ(row(clock, tr("f.freq_current")), "1.80 GHz \u2013 2.50 GHz");
    EXPECT_EQ(row(clock, tr("f.turbo_max")), "4.70 GHz");
    EXPECT_EQ(row(clock, tr("f.freq_hw_min")), "400 MHz");
    EXPECT_EQ(row(clock, tr("f.turbo")), "No");
    EXPECT_EQ(row(clock, tr("f.transition_latency")), "<none>");

    // P-cores bring 48K L1d per core, E-cores 32K; clusters of four E-cores
    // share one 2 MiB L2.
    const Card* cache = card(page, "sec.cache");
    ASSERT_TRUE(cache);
    std::vector<std::string> labels;
    for (const auto& b : cache->caches) labels.push_back(b.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"L1d", "L1i", "L2", "L3"}));
    EXPECT_EQ(bar(cache, "L1d")->total, (4 * 48 + 8 * 32) * 1024u);
    EXPECT_EQ(bar(cache, "L1d")->blocks.size(), 12u);
    EXPECT_EQ(bar(cache, "L1d")->ways, "12");
    EXPECT_EQ(bar(cache, "L1d")->shared_with, "shared by 2 threads");
    EXPECT_EQ(bar(cache, "L2")->total, (4 * 1280 + 2 * 2048) * 1024u);
    EXPECT_EQ(bar(cache, "L3")->blocks, (std::vector<uint64_t>{18874368}));
    EXPECT_EQ(bar(cache, "L3")->shared_with, "shared by 16 threads");
}

TEST_F(CpuPage, AmdDesktopWithBoostCppcAndPreferredCore) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::amd_desktop());
    Page page = probe::collect_cpu(-1);

    EXPECT_EQ(stat(page, "f.temperature"), "52");
    const probe::Row* temp = row_named(card(page, "sec.power_draw"), tr("f.temperature"));
    ASSERT_TRUE(temp);
    EXPECT_EQ(temp->value, "52.0 \u00b0C");
    EXPECT_EQ(temp->note, "Tccd1") << "of two equal readings the lower channel names it";
    const Card* clock = card(page, "sec.clock");
    EXPECT_EQ(row(clock, tr("f.freq_current")), "3.00 GHz \u2013 5.57 GHz");
    EXPECT_EQ(row(clock, tr("f.boost")), "Yes");
    EXPECT_EQ(row(clock, tr("f.turbo")), "<none>");
    EXPECT_EQ(row(clock, tr("f.pstate_status")), "<none>");
    EXPECT_EQ(row(clock, tr("f.transition_latency")), "20 \u00b5s");
    EXPECT_EQ(row(clock, tr("f.freq_driver")), "amd-pstate-epp");

    const Card* power = card(page, "sec.power");
    ASSERT_TRUE(power);
    EXPECT_EQ(row(power, tr("f.pstate_max_perf")), "236");
    EXPECT_EQ(row(power, tr("f.perf_level")), "120");
    EXPECT_EQ(row(power, tr("f.pstate_min_perf")), "18");
    EXPECT_EQ(row(power, tr("f.freq_base")), "4.50 GHz");
    EXPECT_EQ(row(power, tr("f.freq_hw_min")), "400 MHz");
    const probe::Row* prio = row_named(power, tr("f.priority"));
    ASSERT_TRUE(prio);
    EXPECT_EQ(prio->value, "CPU 2") << "a tie with CPU 5 keeps the first";
    EXPECT_EQ(prio->extra, "236");

    const Card* idle = card(page, "sec.cstates");
    EXPECT_EQ(row_named(idle, "C3")->note, "350 \u00b5s") << "no description";
    EXPECT_EQ(row(idle, "C3"), "0.0 %");

    const Card* cache = card(page, "sec.cache");
    EXPECT_EQ(bar(cache, "L1d")->blocks.size(), 8u) << "sibling lists '0,8' count each core once";
    EXPECT_EQ(bar(cache, "L2")->total, 8u * 1048576);
    EXPECT_EQ(bar(cache, "L3")->total, 33554432u);

    const Card* features = card(page, "sec.features");
    std::set<std::string> chips;
    for (const auto& c : features->chips) chips.insert(c.label);
    EXPECT_TRUE(chips.count("AMD-V (SVM)") && chips.count("AMD NPT") && chips.count("AMD CPPC"));
    EXPECT_FALSE(chips.count("Intel VT-x"));
}

// Clock rows from CPUID leaf 16h where the recorded processor has it, else
// from cpufreq and ACPI CPPC, in place of this processor's answers.
TEST_F(CpuPage, ClockRowsFromCpuidLeaf16hElseSysfs) {
    if (zqtest::cpuid_machine("README.md").empty()) GTEST_SKIP() << "shared CPUID dumps absent";
    zqtest::TempDir vm, laptop, amd;
    m::write_machine(vm.path(), m::offline_vm());  // no cpufreq at all
    m::write_machine(laptop.path(), m::hybrid_laptop());
    m::write_machine(amd.path(), m::amd_desktop());
    const char* const SKL = "Intel-Skylake-2xXeon6140";          // 16h: 2300, 3700, 100 MHz
    const char* const SNB = "Intel-SandyBridge-2xXeon-E5-2650";  // no leaf 16h
    const struct {
        std::string tree;
        const char* recorded;
        const char *base, *turbo_max, *bus;  // value | note, "<none>" when no row
    } cases[] = {
        {server_tree(), SKL, "2.30 GHz | CPUID 16h", "3.70 GHz | cpuinfo_max_freq", "100 MHz | CPUID 16h"},
        {server_tree(), SNB, "3.20 GHz | base_frequency", "3.70 GHz | cpuinfo_max_freq", "<none>"},
        {vm.path(), SKL, "2.30 GHz | CPUID 16h", "3.70 GHz | CPUID 16h", "100 MHz | CPUID 16h"},
        {vm.path(), SNB, "<none>", "<none>", "<none>"},
        // The highest base_frequency, of the P-cores.
        {laptop.path(), SNB, "2.10 GHz | base_frequency", "4.70 GHz | cpuinfo_max_freq", "<none>"},
        {amd.path(), SNB, "4.50 GHz | acpi_cppc/nominal_freq", "5.57 GHz | cpuinfo_max_freq", "<none>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tree + " with " + c.recorded);
        zqtest::ScopedRoot root(c.tree);
        const std::string dump = zqtest::cpuid_machine(c.recorded);
        Page page = probe::collect_cpu_with_cpuid(-1, cpuid::decode(zqtest::cpuid_source_of(dump, 0)));
        std::vector<std::string> shown;
        for (const char* key : {"f.freq_base", "f.turbo_max", "f.bus_clock"}) {
            const probe::Row* r = row_named(card(page, "sec.clock"), tr(key));
            shown.push_back(r ? r->value + " | " + r->note : "<none>");
        }
        EXPECT_EQ(shown, (std::vector<std::string>{c.base, c.turbo_max, c.bus}));
    }
}

TEST_F(CpuPage, OfflineCpusAndSparsePresentList) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::offline_vm());
    Page page = probe::collect_cpu(0);

    EXPECT_TRUE(page.selector.options.empty());
    EXPECT_EQ(stat(page, "f.threads_logical"), "5") << "present '0-3,8'";
    EXPECT_EQ(stat(page, "f.cores_physical"), "4") << "the offline CPU has no topology";
    EXPECT_EQ(stat(page, "f.sockets"), "1");
    EXPECT_EQ(stat(page, "f.freq_current"), "<none>");
    EXPECT_EQ(stat(page, "f.temperature"), "<none>");
    const Card* topo = card(page, "sec.topology");
    EXPECT_EQ(row(topo, tr("f.cpus_online")), "4");
    EXPECT_EQ(row(topo, tr("f.cpu_list_offline")), "2") << "present, not online; absent CPUs are not offline";
    EXPECT_EQ(row(topo, tr("f.threads_per_core")), "1") << "four online single-thread cores";
    EXPECT_EQ(row(topo, tr("f.smt")), "No");
    EXPECT_EQ(row(topo, tr("f.smt_control")), "notsupported");

    const Card* cores = card(page, "tree.cores");
    ASSERT_TRUE(cores);
    std::vector<int> index;
    for (const auto& c : cores->cores) index.push_back(c.index);
    EXPECT_EQ(index, (std::vector<int>{0, 1, 2, 3, 8}));
    EXPECT_FALSE(cores->cores[2].online);
    EXPECT_EQ(cores->cores[2].package, -1);
    EXPECT_EQ(cores->cores[2].core_id, -1);
    EXPECT_TRUE(cores->cores[4].online);
    EXPECT_EQ(cores->cores[4].core_id, 8);

    const Card* clock = card(page, "sec.clock");
    const probe::Row* cur = row_named(clock, tr("f.freq_current"));
    ASSERT_TRUE(cur);
    EXPECT_EQ(cur->value, "2.59 GHz");
    EXPECT_EQ(cur->note, "/proc/cpuinfo");
    EXPECT_EQ(cur->live, "");
    EXPECT_FALSE(card(page, "sec.power"));
    EXPECT_FALSE(card(page, "sec.cstates"));

    const Card* cache = card(page, "sec.cache");
    EXPECT_EQ(bar(cache, "L2")->blocks.size(), 4u) << "online CPUs only";
    EXPECT_EQ(bar(cache, "L3")->shared_with, "shared by 4 threads");
    EXPECT_EQ(bar(cache, "L1i")->shared_with, "per thread");

    const Card* vulns = card(page, "sec.vulnerabilities");
    EXPECT_EQ(row(vulns, "spectre_v2"), "Vulnerable");
    EXPECT_EQ(row(vulns, "mmio_stale_data"), "Unknown: No mitigations");
}

// Offline CPUs keep only their "online" file: they add no package and no
// core, and none of their tiles poses as an SMT sibling of another.
TEST_F(CpuPage, OfflineCpusAreNeitherCoresNorSiblings) {
    zqtest::FixtureRoot root;
    m::Machine vm = m::offline_vm();
    vm.threads[3].online = false;  // CPUs 2 and 3
    m::write_machine(root.dir(), vm);
    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(stat(page, "f.cores_physical"), "3");
    EXPECT_EQ(stat(page, "f.sockets"), "1");
    EXPECT_EQ(stat(page, "f.threads_logical"), "5");
    const Card* cores = card(page, "tree.cores");
    ASSERT_TRUE(cores);
    ASSERT_EQ(cores->cores.size(), 5u);
    for (const auto& c : cores->cores) EXPECT_TRUE(c.first_thread) << c.index;
}

// An old ARM board kernel: cpuinfo with the board in a trailing block, the
// CPU lists and nothing else below /sys/devices/system/cpu.
TEST_F(CpuPage, NearEmptyTreeLeavesOutWhatIsMissing) {
    zqtest::FixtureRoot root;
    std::string cpuinfo;
    for (int cpu = 0; cpu < 4; ++cpu)
        cpuinfo += "processor\t: " + std::to_string(cpu) +
                   "\nBogoMIPS\t: 38.40\nFeatures\t: fp asimd evtstrm crc32 cpuid\nCPU implementer\t: 0x41\n"
                   "CPU architecture: 8\nCPU variant\t: 0x0\nCPU part\t: 0xd03\nCPU revision\t: 4\n\n";
    cpuinfo +=
        "Hardware\t: BCM2835\nRevision\t: a02082\nSerial\t\t: 00000000e0ee4a2f\n"
        "Model\t\t: Raspberry Pi 3 Model B Rev 1.2\n";
    root.write("/proc/cpuinfo", cpuinfo);
    root.write("/proc/device-tree/model", std::string("Raspberry Pi 3 Model B Rev 1.2") + '\0');
    for (const char* list : {"online", "present", "possible"})
        root.write("/sys/devices/system/cpu/" + std::string(list), "0-3\n");
    for (int cpu = 0; cpu < 4; ++cpu) root.mkdir("/sys/devices/system/cpu/cpu" + std::to_string(cpu));

    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(page.headline, "Raspberry Pi 3 Model B Rev 1.2");
    EXPECT_EQ(stat(page, "f.sockets"), "<none>");
    EXPECT_EQ(stat(page, "f.cores_physical"), "<none>");
    EXPECT_EQ(stat(page, "f.threads_logical"), "4");
    const Card* id = card(page, "sec.identification");
    EXPECT_EQ(row(id, tr("f.cpu_implementer")), "0x41");
    EXPECT_EQ(row(id, tr("f.cpu_part")), "0xd03");
    EXPECT_EQ(row(id, tr("f.bogomips")), "<none>") << "the key is case-sensitive";
    EXPECT_EQ(row(id, tr("f.vendor")), "<none>");
    const Card* topo = card(page, "sec.topology");
    EXPECT_EQ(row(topo, tr("f.threads_logical")), "4");
    EXPECT_EQ(row(topo, tr("f.cores_per_socket")), "<none>");
    const Card* clock = card(page, "sec.clock");
    ASSERT_TRUE(clock);
    EXPECT_EQ(clock->hint, tr("msg.no_cpufreq"));
    EXPECT_FALSE(card(page, "sec.cache"));
    EXPECT_FALSE(card(page, "sec.vulnerabilities"));
    const Card* cores = card(page, "tree.cores");
    ASSERT_TRUE(cores);
    EXPECT_EQ(cores->cores[0].package, -1);
    EXPECT_TRUE(cores->cores[0].first_thread);
    EXPECT_TRUE(cores->cores[1].first_thread) << "no core id: no known SMT sibling";
    EXPECT_TRUE(cores->subtitle.empty());
    const Card* features = card(page, "sec.features");
    ASSERT_TRUE(features);
    ASSERT_EQ(features->chips.size(), 2u);
    EXPECT_EQ(features->chips[0].label, "NEON / ASIMD");
    EXPECT_EQ(features->chips[1].label, "CRC32");
    EXPECT_EQ(card(page, "sec.all_flags")->subtitle, "5 Flags");
}

TEST_F(CpuPage, EmptyRootStillBuildsAPage) {
    zqtest::FixtureRoot root;
    Page page = probe::collect_cpu(3);
    EXPECT_EQ(page.headline, tr("common.unknown"));
    EXPECT_TRUE(page.selector.options.empty());
    ASSERT_FALSE(page.stats.empty());
    EXPECT_EQ(page.stats.back().live, "stat.load");
    EXPECT_EQ(page.stats.back().value, "\u2026");
    EXPECT_EQ(row(card(page, "sec.topology"), tr("f.threads_logical")), "0");
    EXPECT_EQ(card(page, "sec.clock")->hint, tr("msg.no_cpufreq"));
    EXPECT_FALSE(card(page, "tree.cores"));
    EXPECT_FALSE(card(page, "sec.all_flags"));
}

TEST_F(CpuPage, CpuinfoParsingAndCpuLists) {
    zqtest::FixtureRoot root;
    root.write("/proc/cpuinfo",
               "processor\t: 0\nmodel\t\t: 1\nmodel name\t: Foo: Bar\nmodel\t\t: 2\nno colon here\n"
               "flags\t\t: fpu vme\n\n\nprocessor\t: 1\nmodel name\t: Second");
    const std::string cpu = "/sys/devices/system/cpu/";
    root.write(cpu + "present", " 0-1 , , 4 \n");
    root.write(cpu + "online", "0-1\n");
    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(page.headline, "Foo: Bar");
    EXPECT_EQ(row(card(page, "sec.identification"), tr("f.model_id")), "1");
    EXPECT_EQ(card(page, "sec.all_flags")->subtitle, "2 Flags");
    EXPECT_EQ(stat(page, "f.threads_logical"), "3");

    // A corrupt range is capped at the kernel's largest CPU count; more than
    // 1024 CPUs give the notice card.
    root.write(cpu + "present", "0-4294967295\n");
    page = probe::collect_cpu(-1);
    EXPECT_EQ(stat(page, "f.threads_logical"), "8,192");
    const Card* notice = card(page, "tree.cores");
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->kind, CardKind::Rows);
    EXPECT_EQ(notice->hint, tr("msg.many_cpus"));
    EXPECT_TRUE(notice->cores.empty());
    root.write(cpu + "present", "0-1023\n");
    page = probe::collect_cpu(-1);
    EXPECT_EQ(card(page, "tree.cores")->cores.size(), 1024u);
    root.write(cpu + "present", "0-1024\n");
    EXPECT_TRUE(card(probe::collect_cpu(-1), "tree.cores")->cores.empty());
}

TEST_F(CpuPage, ChooserOrdersPackagesAsNumbers) {
    zqtest::FixtureRoot root;
    const std::string cpu = "/sys/devices/system/cpu/";
    root.write(cpu + "present", "0-1\n");
    root.write(cpu + "online", "0-1\n");
    root.write(cpu + "cpu0/topology/physical_package_id", "10\n");
    root.write(cpu + "cpu1/topology/physical_package_id", "2\n");
    Page page = probe::collect_cpu(10);
    EXPECT_EQ(page.selector.options, (std::vector<std::string>{"All", "Socket 2", "Socket 10"}));
    EXPECT_EQ(page.selector.selected, 2);
    const Card* cores = card(page, "tree.cores");
    ASSERT_TRUE(cores);
    ASSERT_EQ(cores->cores.size(), 1u);
    EXPECT_EQ(cores->cores[0].index, 0);
    EXPECT_EQ(stat(page, "f.cores_physical"), "1") << "a chosen socket counts its own cores";
}

TEST_F(CpuPage, CacheSizesLabelsAndFallback) {
    zqtest::FixtureRoot root;
    const std::string cpu = "/sys/devices/system/cpu/";
    root.write(cpu + "online", "0\n");
    root.write(cpu + "present", "0\n");
    root.write("/proc/cpuinfo", "processor\t: 0\ncache size\t: 1024 KB\n\n");
    EXPECT_EQ(row(card(probe::collect_cpu(-1), "sec.cache"), tr("f.cache_size")), "1024 KB");

    struct {
        const char* level;
        const char* type;
        const char* size;
    } idx[] = {{"2", "Unified", "8M"},
               {"1", "Instruction", "32k"},
               {"1", "Data", "32K"},
               {"", "Unified", "512"},
               {"3", "Unified", ""}};
    for (size_t i = 0; i < std::size(idx); ++i) {
        std::string p = cpu + "cpu0/cache/index" + std::to_string(i) + "/";
        if (*idx[i].level) root.write(p + "level", std::string(idx[i].level) + "\n");
        root.write(p + "type", std::string(idx[i].type) + "\n");
        root.write(p + "size", std::string(idx[i].size) + "\n");
        root.write(p + "shared_cpu_list", "0\n");
    }
    Page page = probe::collect_cpu(-1);
    const Card* cache = card(page, "sec.cache");
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache->kind, CardKind::Caches);
    std::vector<std::string> labels;
    std::vector<uint64_t> totals;
    for (const auto& b : cache->caches) {
        labels.push_back(b.label);
        totals.push_back(b.total);
    }
    EXPECT_EQ(labels, (std::vector<std::string>{"L0", "L1d", "L1i", "L2"}))
        << "the L3 without a size is left out";
    EXPECT_EQ(totals, (std::vector<uint64_t>{512, 32768, 32768, 8388608}));
}

// Kernels that predate shared_cpu_list describe sharing by mask alone.
TEST_F(CpuPage, CacheSharingFromMaskWithoutList) {
    zqtest::FixtureRoot root;
    const std::string cpu = "/sys/devices/system/cpu/";
    root.write(cpu + "online", "0-2,40\n");
    root.write(cpu + "present", "0-2,40\n");
    const char* masks[] = {"00000000,00000003", "00000000,00000003", "00000000,00000004",
                           "00000100,00000000"};
    const int cpus[] = {0, 1, 2, 40};
    for (int i = 0; i < 4; ++i) {
        std::string p = cpu + "cpu" + std::to_string(cpus[i]) + "/cache/index0/";
        root.write(p + "level", "2\n");
        root.write(p + "type", "Unified\n");
        root.write(p + "size", "512K\n");
        root.write(p + "shared_cpu_map", std::string(masks[i]) + "\n");
    }
    Page page = probe::collect_cpu(-1);
    const probe::CacheBar* l2 = bar(card(page, "sec.cache"), "L2");
    ASSERT_TRUE(l2);
    EXPECT_EQ(l2->blocks.size(), 3u);
    EXPECT_EQ(l2->shared_with, "shared by 2 threads");
}

// ARM big.LITTLE without cpufreq tells its core kinds by capacity.
TEST_F(CpuPage, CapacityMakesArmHybrid) {
    zqtest::FixtureRoot root;
    const std::string cpu = "/sys/devices/system/cpu/";
    root.write(cpu + "present", "0-3\n");
    root.write(cpu + "online", "0-3\n");
    for (int c = 0; c < 4; ++c)
        root.write(cpu + "cpu" + std::to_string(c) + "/cpu_capacity", c < 2 ? "446\n" : "1024\n");
    Page page = probe::collect_cpu(-1);
    const Card* cores = card(page, "tree.cores");
    ASSERT_TRUE(cores);
    EXPECT_EQ(cores->cores[0].kind, "E");
    EXPECT_EQ(cores->cores[3].kind, "P");
    for (int c = 0; c < 4; ++c) root.write(cpu + "cpu" + std::to_string(c) + "/cpu_capacity", "1024\n");
    page = probe::collect_cpu(-1);
    cores = card(page, "tree.cores");
    EXPECT_EQ(cores->cores[0].kind, "");
    EXPECT_TRUE(cores->subtitle.empty());
}

TEST_F(CpuPage, TemperatureFromFirstProcessorChipOnly) {
    zqtest::FixtureRoot root;
    auto temp = [] { return stat(probe::collect_cpu(-1), "f.temperature"); };
    root.write("/sys/class/hwmon/hwmon0/name", "k10temp-pci\n");
    root.write("/sys/class/hwmon/hwmon0/temp1_input", "90000\n");
    EXPECT_EQ(temp(), "<none>") << "names match exactly";
    root.write("/sys/class/hwmon/hwmon2/name", "coretemp\n");
    root.write("/sys/class/hwmon/hwmon2/temp1_input", "\n");
    root.write("/sys/class/hwmon/hwmon10/name", "zenpower\n");
    root.write("/sys/class/hwmon/hwmon10/temp2_input", "63500\n");
    EXPECT_EQ(temp(), "64") << "a chip without readings gives way to the next";
    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(row_named(card(page, "sec.power_draw"), tr("f.temperature"))->note, "zenpower")
        << "no label file: the driver names the reading";
    root.write("/sys/class/hwmon/hwmon2/temp16_input", "-5000\n");
    EXPECT_EQ(temp(), "-5");
}

// The page on the machine the tests run on.
TEST_F(CpuPage, ThisMachine) {
    std::string model_name;
    for (const std::string& line : util::read_lines("/proc/cpuinfo"))
        if (util::starts_with(line, "model name")) {
            model_name = util::trim(line.substr(line.find(':') + 1));
            break;
        }
    if (model_name.empty()) GTEST_SKIP() << "no model name in /proc/cpuinfo";
    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(page.headline, model_name);
    EXPECT_EQ(row(card(page, "sec.identification"), tr("f.model")), model_name);
    const auto online = static_cast<uint64_t>(::sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_EQ(row(card(page, "sec.topology"), tr("f.cpus_online")), util::fmt_int(online));
    EXPECT_EQ(stat(page, "f.threads_logical"), util::fmt_int(online));
}

// Real machines' trees against the topology and caches that their expected
// topology listings (*.console) record: packages, cores, processing units and
// the summed size of every cache level.
struct ConsoleFacts {
    size_t packages = 0, cores = 0, pus = 0;
    std::map<std::string, uint64_t> cache_bytes;  // "L2" -> total
};

ConsoleFacts read_console(const std::string& path) {
    ConsoleFacts facts;
    static const std::regex cache_re(R"(^\s*(L\d[di]?)Cache L#\d+ \(.*size=(\d+)(KiB|MiB|GiB))");
    std::smatch mt;
    for (const std::string& line : util::read_lines(path)) {
        std::string t = util::trim(line);
        if (util::starts_with(t, "Package L#")) ++facts.packages;
        if (util::starts_with(t, "Core L#")) ++facts.cores;
        if (util::starts_with(t, "PU L#")) ++facts.pus;
        if (std::regex_search(line, mt, cache_re)) {
            uint64_t unit = mt[3] == "KiB" ? 1024 : mt[3] == "MiB" ? 1048576 : 1073741824;
            facts.cache_bytes[mt[1]] += std::stoull(mt[2]) * unit;
        }
    }
    return facts;
}

// Unpacks only the processor part of a tree: the whole of the larger ones
// takes seconds on a disk-backed temporary directory.
std::string unpack_cpu_part(const std::string& tarball, const std::string& into) {
    auto r = zqtest::run(
        {"tar", "-xjf", tarball, "-C", into, "--wildcards", "*/proc/cpuinfo", "*/sys/devices/system/cpu/*"});
    if (r.status != 0) return {};
    for (const auto& e : std::filesystem::directory_iterator(into))
        if (e.is_directory()) return e.path().string();
    return {};
}

uint64_t stat_number(const Page& page, const char* key) {
    std::string v = stat(page, key);
    v.erase(std::remove(v.begin(), v.end(), ','), v.end());
    return util::to_u64(v, 0);
}

// Where the kernel's own files and the listing disagree, the page follows the
// kernel; each such tree says what it shows instead.
struct RealTree {
    const char* name;
    int64_t cores = -1;     // -1: as many as the listing
    int64_t threads = -1;   // -1: as many as the listing
    int64_t packages = -1;  // -1: as many as the listing
};

const RealTree REAL_TREES[] = {
    {"2arm-2c"},
    {"8em64t-2s2ca2c"},
    {"8em64t-2s4c-asymcaches"},
    {"16amd64-8n2c"},
    {"20em64t-hybrid-1p6c2t+2ca4co1t"},
    {"32intel64-2p8co2t+8ve"},
    {"fakeheteromemtiers"},
    {"nvidiagpunumanodes"},  // caches described by shared_cpu_map only
    // Core ids repeat on the two dies of each package and this kernel has no
    // die_id: the sibling lists still tell the 48 cores apart.
    {"48amd64-4pa2n6c-sparse"},
    {"128arm-2pa2n8cluster4co"},
    // No package ids (-1): one package of unknown number, where the listing
    // makes packages of the books' core siblings.
    {"20s390-2g6s4c", -1, -1, 1},
    // CPUs 0-3 and 21-23 are present but offline: the page counts the present.
    {"offline-cpu0-node0", -1, 24},
};

TEST_F(CpuPage, RealMachineTreesMatchTheirTopologyListings) {
    const std::string dir = zqtest::shared_data("hwloc-linux");
    if (dir.empty()) GTEST_SKIP() << "shared machine data not available";
    for (const RealTree& t : REAL_TREES) {
        SCOPED_TRACE(t.name);
        const std::string name = t.name;
        zqtest::TempDir tmp;
        std::string tree = unpack_cpu_part(dir + "/" + name + ".tar.bz2", tmp.path());
        ASSERT_FALSE(tree.empty());
        ConsoleFacts want = read_console(dir + "/" + name + ".console");
        zqtest::ScopedRoot scoped(tree);
        Page page = probe::collect_cpu(-1);
        EXPECT_EQ(stat_number(page, "f.sockets"), t.packages >= 0 ? uint64_t(t.packages) : want.packages);
        EXPECT_EQ(stat_number(page, "f.cores_physical"), t.cores >= 0 ? uint64_t(t.cores) : want.cores);
        EXPECT_EQ(stat_number(page, "f.threads_logical"), t.threads >= 0 ? uint64_t(t.threads) : want.pus);
        const Card* cache = card(page, "sec.cache");
        if (want.cache_bytes.empty()) {
            EXPECT_FALSE(cache);
            continue;
        }
        ASSERT_TRUE(cache);
        ASSERT_EQ(cache->caches.size(), want.cache_bytes.size());
        for (const auto& [label, bytes] : want.cache_bytes) {
            const probe::CacheBar* b = bar(cache, label);
            ASSERT_TRUE(b) << label;
            // The listing rounds each instance to whole KiB or MiB.
            EXPECT_NEAR(static_cast<double>(b->total), static_cast<double>(bytes), bytes * 0.025) << label;
        }
    }
}

}  // namespace
