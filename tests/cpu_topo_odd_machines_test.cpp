// The "cpu" and "topo" pages over machines whose processor files stray from
// the common PC layout, each written as its kernel lays the files out:
// repeated core ids, books without package ids, node masks without lists,
// caches of mixed sharing and without sizes, absent possible CPUs.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "cpu_sysfs.h"
#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "sensors.h"
#include "util.h"

namespace {

using probe::Card;
using probe::CardKind;
using probe::Page;

const std::string CPU = "/sys/devices/system/cpu";

class OddMachine : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
        cpusys::forget_clocks();
        sensors::forget_kept();
    }
    void TearDown() override {
        util::set_number_format(",", ".");
        cpusys::forget_clocks();
        sensors::forget_kept();
    }

    zqtest::FixtureRoot root;

    void lists(const std::string& present, const std::string& online, const std::string& possible) {
        root.write(CPU + "/present", present + "\n");
        root.write(CPU + "/online", online + "\n");
        root.write(CPU + "/possible", possible + "\n");
        // The kernel's "offline": every possible CPU that is not online.
        std::vector<int> off;
        std::vector<int> on = cpusys::parse_list(online);
        for (int cpu : cpusys::parse_list(possible))
            if (std::find(on.begin(), on.end(), cpu) == on.end()) off.push_back(cpu);
        root.write(CPU + "/offline", cpusys::list_text(off) + "\n");
    }
    // One online CPU's topology files; `extra` holds further files of the
    // topology directory (book_id, drawer_id).
    void place(int cpu, const std::string& package, int core, const std::string& siblings,
               const std::vector<std::pair<std::string, std::string>>& extra = {}) {
        const std::string t = CPU + "/cpu" + std::to_string(cpu) + "/topology/";
        root.write(t + "physical_package_id", package + "\n");
        root.write(t + "core_id", std::to_string(core) + "\n");
        root.write(t + "thread_siblings_list", siblings + "\n");
        for (const auto& [name, text] : extra) root.write(t + name, text + "\n");
    }
    void cache(int cpu, int index, int level, const char* type, const std::string& size,
               const std::string& shared, bool mask_only = false) {
        const std::string c =
            CPU + "/cpu" + std::to_string(cpu) + "/cache/index" + std::to_string(index) + "/";
        root.write(c + "level", std::to_string(level) + "\n");
        root.write(c + "type", std::string(type) + "\n");
        if (!size.empty()) root.write(c + "size", size + "\n");
        root.write(c + (mask_only ? "shared_cpu_map" : "shared_cpu_list"), shared + "\n");
        root.write(c + "ways_of_associativity", "8\n");
        root.write(c + "coherency_line_size", "64\n");
    }
};

const Card* card(const Page& page, const char* title_key, CardKind kind = CardKind::Rows) {
    for (const Card& c : page.cards)
        if (c.title == tr(title_key) && (c.kind == kind || kind == CardKind::Rows)) return &c;
    return nullptr;
}

std::string stat(const Page& page, const char* key) {
    for (const probe::Stat& s : page.stats)
        if (s.label == tr(key)) return s.value;
    return "<none>";
}

std::string row(const Card* c, const std::string& name) {
    if (!c) return "<no card>";
    for (const probe::Row& r : c->rows)
        if (r.name == name) return r.cols.empty() ? r.value : util::join(r.cols, " | ");
    return "<none>";
}

size_t count_kind(const probe::TopoNode& n, probe::TopoNode::Kind kind) {
    size_t k = n.kind == kind;
    for (const auto& c : n.children) k += count_kind(c, kind);
    return k;
}

// Six single-thread cores whose core ids repeat in one package (SPARC, RISC-V
// clusters): six cores of one thread, not one core of six.
TEST_F(OddMachine, RepeatedCoreIdsAreSixCores) {
    lists("0-5", "0-5", "0-5");
    for (int cpu = 0; cpu < 6; ++cpu) place(cpu, "0", cpu % 2, std::to_string(cpu));
    Page cpu_page = probe::collect_cpu(-1);
    EXPECT_EQ(stat(cpu_page, "f.cores_physical"), "6");
    const Card* topo_card = card(cpu_page, "sec.topology");
    EXPECT_EQ(row(topo_card, tr("f.threads_per_core")), "1");
    EXPECT_EQ(row(topo_card, tr("f.cores_per_socket")), "6");

    Page topo = probe::collect_topology(-1);
    EXPECT_EQ(stat(topo, "f.cores_physical"), "6");
    EXPECT_EQ(stat(topo, "f.threads_per_core"), "1");
    const Card* tiles = card(topo, "tree.cores", CardKind::Cores);
    ASSERT_TRUE(tiles);
    for (const probe::Core& t : tiles->cores) EXPECT_TRUE(t.first_thread) << t.index;
    EXPECT_EQ(count_kind(topo.cards.front().diagram, probe::TopoNode::Kind::Core), 6u);
    EXPECT_EQ(row(card(topo, "f.sockets"), "Socket 0"), "6 Cores | 6 threads | 0\u20135");
}

// An s390 machine: no package ids (-1), cores numbered within each book.
TEST_F(OddMachine, BooksWithoutPackageIds) {
    lists("0-7", "0-7", "0-63");
    for (int cpu = 0; cpu < 8; ++cpu)
        place(cpu, "-1", cpu % 4, std::to_string(cpu),
              {{"book_id", std::to_string(cpu / 4)}, {"drawer_id", "4"}});
    Page cpu_page = probe::collect_cpu(-1);
    EXPECT_EQ(stat(cpu_page, "f.sockets"), "1");
    EXPECT_EQ(stat(cpu_page, "f.cores_physical"), "8");
    EXPECT_TRUE(cpu_page.selector.options.empty());
    EXPECT_EQ(row(card(cpu_page, "sec.topology"), tr("f.cpu_list_offline")), "<none>")
        << "the possible CPUs 8-63 are not present";

    Page topo = probe::collect_topology(-1);
    EXPECT_EQ(stat(topo, "f.cores_physical"), "8");
    const Card* sockets = card(topo, "f.sockets");
    ASSERT_TRUE(sockets);
    ASSERT_EQ(sockets->rows.size(), 1u);
    EXPECT_EQ(sockets->rows[0].name, tr("common.unknown"));
    EXPECT_EQ(topo.cards.front().diagram.children.at(0).children.at(0).label, tr("common.unknown"));
    EXPECT_EQ(row(card(topo, "sec.identification"), tr("f.cpu_list_offline")), "<none>");
}

// An older kernel: NUMA nodes and caches described by masks only.
TEST_F(OddMachine, NodeAndCacheMasksWithoutLists) {
    lists("0-3", "0-3", "0-3");
    for (int cpu = 0; cpu < 4; ++cpu) {
        place(cpu, std::to_string(cpu / 2), cpu % 2, std::to_string(cpu));
        cache(cpu, 0, 2, "Unified", "512K", cpu < 2 ? "00000003" : "0000000c", true);
    }
    root.write("/sys/devices/system/node/node0/cpumap", "00000003\n");
    root.write("/sys/devices/system/node/node1/cpumap", "0000000c\n");
    Page topo = probe::collect_topology(-1);
    const Card* numa = card(topo, "tree.numa");
    ASSERT_TRUE(numa);
    EXPECT_EQ(row(numa, "node0"), "0, 1 | ");
    EXPECT_EQ(row(numa, "node1"), "2, 3 | ");
    EXPECT_EQ(row(card(topo, "sec.cache"), "L2"), "512 KiB  \u2014  2 \u00d7 shared by 2 threads");
    EXPECT_EQ(topo.cards.front().diagram.children.size(), 2u) << "one NUMA box per node";

    Page cpu_page = probe::collect_cpu(-1);
    const Card* caches = card(cpu_page, "sec.cache", CardKind::Caches);
    ASSERT_TRUE(caches);
    ASSERT_EQ(caches->caches.size(), 1u);
    EXPECT_EQ(caches->caches[0].blocks.size(), 2u);
}

// An ARM machine: L2 private on the little cores, shared by the pair of big
// ones; the L3 directory has no size file.
TEST_F(OddMachine, MixedCacheSharingAndMissingSizes) {
    lists("0-3", "0-3", "0-3");
    for (int cpu = 0; cpu < 4; ++cpu) {
        place(cpu, "0", cpu, std::to_string(cpu));
        cache(cpu, 0, 1, "Data", "32K", std::to_string(cpu));
        cache(cpu, 1, 2, "Unified", cpu < 2 ? "256K" : "1024K", cpu < 2 ? std::to_string(cpu) : "2-3");
        cache(cpu, 2, 3, "Unified", "", "0-3");
    }
    Page cpu_page = probe::collect_cpu(-1);
    const Card* caches = card(cpu_page, "sec.cache", CardKind::Caches);
    ASSERT_TRUE(caches);
    ASSERT_EQ(caches->caches.size(), 2u) << "no bar for the L3 without a size";
    const probe::CacheBar& l2 = caches->caches[1];
    EXPECT_EQ(l2.label, "L2");
    EXPECT_EQ(l2.blocks, (std::vector<uint64_t>{262144, 262144, 1048576}));
    EXPECT_EQ(l2.shared_with, "shared by 2 threads") << "the widest sharing, not the first instance's";
    EXPECT_EQ(caches->caches[0].shared_with, "per thread");

    Page topo = probe::collect_topology(-1);
    const Card* rows = card(topo, "sec.cache");
    EXPECT_EQ(row(rows, "L2"), "256 KiB  \u2014  2 \u00d7 shared by 1 threads, 1 \u00d7 shared by 2 threads");
    EXPECT_EQ(row(rows, "L3"), "1 \u00d7 shared by 4 threads");
}

// A four-CPU laptop whose kernel allows eight: "offline" names 4-7, which are
// not there at all. A vbox-like cpufreq driver does not know its latency.
TEST_F(OddMachine, OfflineListHoldsOnlyPresentCpus) {
    lists("0-3", "0-3", "0-7");
    for (int cpu = 0; cpu < 4; ++cpu) {
        place(cpu, "0", cpu / 2, cpu < 2 ? "0-1" : "2-3");
        root.write(CPU + "/cpu" + std::to_string(cpu) + "/cpufreq/cpuinfo_transition_latency",
                   "4294967295\n");
        root.write(CPU + "/cpu" + std::to_string(cpu) + "/cpufreq/scaling_cur_freq", "2000000\n");
    }
    Page cpu_page = probe::collect_cpu(-1);
    const Card* topo_card = card(cpu_page, "sec.topology");
    EXPECT_EQ(row(topo_card, tr("f.cpu_list_offline")), "<none>");
    EXPECT_EQ(row(topo_card, tr("f.threads_per_core")), "2");
    EXPECT_EQ(row(card(cpu_page, "sec.clock"), tr("f.transition_latency")), "<none>");
    EXPECT_EQ(row(card(probe::collect_topology(-1), "sec.identification"), tr("f.cpu_list_offline")),
              "<none>");

    // CPU 3 goes offline: the kernel takes its topology away.
    lists("0-3", "0-2", "0-7");
    root.remove(CPU + "/cpu3/topology");
    root.write(CPU + "/cpu3/online", "0\n");
    place(2, "0", 1, "2");
    cpu_page = probe::collect_cpu(-1);
    topo_card = card(cpu_page, "sec.topology");
    EXPECT_EQ(row(topo_card, tr("f.cpu_list_offline")), "3");
    EXPECT_EQ(stat(cpu_page, "f.cores_physical"), "2");
    EXPECT_EQ(row(topo_card, tr("f.threads_per_core")), "<none>") << "three online threads on two cores";
    Page topo = probe::collect_topology(-1);
    EXPECT_EQ(row(card(topo, "sec.identification"), tr("f.cpu_list_offline")), "3");
    EXPECT_EQ(stat(topo, "f.cores_physical"), "2");
}

// Both pages' refreshers in one tick read each CPU's clock once, and the cpu
// page without tiles keeps the CPUs it was built with.
TEST_F(OddMachine, OneClockReadPerTickForBothPages) {
    lists("0-1", "0-1", "0-1");
    for (int cpu = 0; cpu < 2; ++cpu) {
        place(cpu, "0", cpu, std::to_string(cpu));
        root.write(CPU + "/cpu" + std::to_string(cpu) + "/cpufreq/scaling_cur_freq", "1000000\n");
    }
    Page cpu_page = probe::collect_cpu(-1);
    Page topo = probe::collect_topology(-1);
    root.write(CPU + "/cpu1/cpufreq/scaling_cur_freq", "3000000\n");
    probe::refresh_live_cpu(cpu_page);
    root.write(CPU + "/cpu1/cpufreq/scaling_cur_freq", "500000\n");
    probe::refresh_live_topology(topo);
    EXPECT_EQ(card(topo, "tree.cores", CardKind::Cores)->cores[1].cur_khz, 3000000u);
    EXPECT_EQ(stat(cpu_page, "f.freq_current"), "3.00 GHz");

    // 1025 CPUs: a notice instead of tiles; the CPU list of the build stays.
    lists("0-1024", "0-1024", "0-1024");
    cpu_page = probe::collect_cpu(-1);
    ASSERT_TRUE(card(cpu_page, "tree.cores")->cores.empty());
    root.write(CPU + "/online", "0-4294967295\n");  // damaged later: not read again
    root.write(CPU + "/cpu1024/cpufreq/scaling_cur_freq", "4200000\n");
    cpusys::forget_clocks();
    probe::refresh_live_cpu(cpu_page);
    EXPECT_EQ(stat(cpu_page, "f.freq_current"), "4.20 GHz");
}

}  // namespace
