// The "topo" page over small machines written the way the kernel lays out
// /sys/devices/system/{cpu,node}: selectors, scopes, the cards, the diagram
// tree and the live refresh of the core tiles.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

using probe::Card;
using probe::CardKind;
using probe::Page;
using probe::TopoNode;

const std::string CPU = "/sys/devices/system/cpu";
const std::string NODE = "/sys/devices/system/node";

std::string trn(const char* key, int n) { return I18n::instance().trf(key, n); }

struct CacheSpec {
    int level;
    const char* type;
    std::string size;
    std::string shared;
};

// Writes one CPU's topology, cache and cpufreq files as the kernel shows them
// for an online CPU.
void write_cpu(const zqtest::FixtureRoot& root, int cpu, int pkg, int core,
               const std::vector<CacheSpec>& caches, uint64_t khz) {
    std::string dir = CPU + "/cpu" + std::to_string(cpu);
    root.write(dir + "/topology/physical_package_id", std::to_string(pkg) + "\n");
    root.write(dir + "/topology/die_id", "0\n");
    root.write(dir + "/topology/core_id", std::to_string(core) + "\n");
    for (size_t i = 0; i < caches.size(); ++i) {
        std::string idx = dir + "/cache/index" + std::to_string(i);
        root.write(idx + "/level", std::to_string(caches[i].level) + "\n");
        root.write(idx + "/type", std::string(caches[i].type) + "\n");
        root.write(idx + "/size", caches[i].size + "\n");
        root.write(idx + "/shared_cpu_list", caches[i].shared + "\n");
    }
    if (khz) root.write(dir + "/cpufreq/scaling_cur_freq", std::to_string(khz) + "\n");
}

void write_cpu_lists(const zqtest::FixtureRoot& root, const std::string& present, const std::string& online,
                     const std::string& offline) {
    root.write(CPU + "/present", present + "\n");
    root.write(CPU + "/online", online + "\n");
    root.write(CPU + "/offline", offline + "\n");
}

void write_node(const zqtest::FixtureRoot& root, int node, const std::string& cpulist, uint64_t mem_kb,
                const std::string& distance) {
    std::string dir = NODE + "/node" + std::to_string(node);
    root.write(dir + "/cpulist", cpulist + "\n");
    root.write(dir + "/meminfo", "Node " + std::to_string(node) +
                                     " MemTotal:       " + std::to_string(mem_kb) + " kB\nNode " +
                                     std::to_string(node) + " MemFree:        1024 kB\n");
    root.write(dir + "/distance", distance + "\n");
}

// Two sockets of four SMT-2 cores, one NUMA node each, numbered the way
// Intel servers enumerate: first threads of all cores, then the siblings.
void write_two_socket_machine(const zqtest::FixtureRoot& root) {
    write_cpu_lists(root, "0-15", "0-15", "");
    root.write(CPU + "/smt/control", "on\n");
    for (int cpu = 0; cpu < 16; ++cpu) {
        int pkg = (cpu / 4) % 2, core = cpu % 4;
        int first = cpu % 8;
        std::string pair = std::to_string(first) + "," + std::to_string(first + 8);
        std::string l3 = pkg == 0 ? "0-3,8-11" : "4-7,12-15";
        write_cpu(root, cpu, pkg, core,
                  {{1, "Data", "48K", pair},
                   {1, "Instruction", "32K", pair},
                   {2, "Unified", "1280K", pair},
                   {3, "Unified", "30720K", l3}},
                  1200000 + 1000 * cpu);
    }
    write_node(root, 0, "0-3,8-11", 32 * 1024 * 1024, "10 21");
    write_node(root, 1, "4-7,12-15", 16 * 1024 * 1024, "21 10");
}

// Number formats of the English catalogue for the length of a test.
class EnglishNumbers {
public:
    EnglishNumbers() : m_decimal(util::g_decimal), m_group(util::g_group) {
        util::set_number_format(".", ",");
    }
    ~EnglishNumbers() { util::set_number_format(m_decimal, m_group); }

private:
    std::string m_decimal, m_group;
};

const Card* find_card(const Page& page, const std::string& title, CardKind kind = CardKind::Rows) {
    for (const Card& c : page.cards)
        if (c.title == title && c.kind == kind) return &c;
    return nullptr;
}

std::vector<std::string> card_titles(const Page& page) {
    std::vector<std::string> titles;
    for (const Card& c : page.cards) titles.push_back(c.title);
    return titles;
}

std::map<std::string, std::string> stats_of(const Page& page) {
    std::map<std::string, std::string> stats;
    for (const auto& s : page.stats) stats[s.label] = s.value;
    return stats;
}

std::vector<int> tile_cpus(const Page& page) {
    std::vector<int> cpus;
    if (const Card* c = find_card(page, tr("tree.cores"), CardKind::Cores))
        for (const auto& t : c->cores) cpus.push_back(t.index);
    return cpus;
}

// Everything a page shows except the tiles' clocks, for "nothing else changed".
std::string without_clocks(const Page& page) {
    std::string s = page.headline + "|" + page.subline + "|" + std::to_string(page.selector.selected);
    for (const auto& st : page.stats) s += "|" + st.label + "=" + st.value + st.unit + st.live;
    std::function<void(const TopoNode&)> walk = [&](const TopoNode& n) {
        s += "(" + std::to_string(int(n.kind)) + n.label + "/" + n.detail + std::to_string(n.cpu) +
             (n.online ? "+" : "-");
        for (const auto& c : n.children) walk(c);
        s += ")";
    };
    for (const Card& c : page.cards) {
        s += "\n#" + c.title + "/" + c.subtitle + std::to_string(int(c.kind)) + (c.wide ? "w" : "");
        for (const auto& r : c.rows)
            s += "\n" + r.name + "=" + r.value + "[" + util::join(r.cols, ";") + "]" + r.note;
        for (const auto& t : c.cores)
            s += " " + std::to_string(t.index) + ":" + std::to_string(t.package) + "/" +
                 std::to_string(t.core_id) + (t.online ? "+" : "-") + (t.first_thread ? "f" : "");
        walk(c.diagram);
    }
    return s;
}

TEST(TopologyPage, TwoSocketMachineAllPackages) {
    EnglishNumbers en;
    zqtest::FixtureRoot root;
    write_two_socket_machine(root);
    Page page = probe::collect_topology(-1);

    EXPECT_EQ(page.headline, tr("sec.topology"));
    const std::string sep = "   \u00b7   ";
    EXPECT_EQ(page.subline, trn("summary.n_sockets", 2) + sep + trn("summary.n_cores", 8) + sep +
                                trn("summary.n_threads", 16));
    EXPECT_EQ(stats_of(page), (std::map<std::string, std::string>{{tr("f.sockets"), "2"},
                                                                  {tr("f.numa_nodes"), "2"},
                                                                  {tr("f.cores_physical"), "8"},
                                                                  {tr("f.threads_logical"), "16"},
                                                                  {tr("f.threads_per_core"), "2"}}));
    EXPECT_EQ(page.stats.front().label, tr("f.sockets"));
    EXPECT_EQ(page.selector.options,
              (std::vector<std::string>{tr("value.all"), trn("tree.socket_n", 0), trn("tree.socket_n", 1)}));
    EXPECT_EQ(page.selector.values, (std::vector<int>{-1, 0, 1}));
    EXPECT_EQ(page.selector.selected, 0);
    EXPECT_EQ(card_titles(page),
              (std::vector<std::string>{tr("sec.topology"), tr("f.sockets"), tr("tree.numa"), tr("sec.cache"),
                                        tr("tree.cores"), tr("sec.identification")}));

    const Card* sockets = find_card(page, tr("f.sockets"));
    ASSERT_TRUE(sockets);
    ASSERT_EQ(sockets->rows.size(), 2u);
    EXPECT_EQ(sockets->rows[1].name, trn("tree.socket_n", 1));
    EXPECT_EQ(sockets->rows[1].cols,
              (std::vector<std::string>{trn("summary.n_cores", 4), trn("summary.n_threads", 8),
                                        "4\u20137, 12\u201315"}));
    EXPECT_EQ(sockets->rows[1].value, "");

    const Card* numa = find_card(page, tr("tree.numa"));
    ASSERT_TRUE(numa);
    ASSERT_EQ(numa->rows.size(), 4u);
    EXPECT_EQ(numa->rows[0].name, "node0");
    EXPECT_EQ(numa->rows[0].cols, (std::vector<std::string>{"0\u20133, 8\u201311", "32.0 GiB"}));
    EXPECT_EQ(numa->rows[1].cols, (std::vector<std::string>{"4\u20137, 12\u201315", "16.0 GiB"}));
    EXPECT_EQ(numa->rows[3].name, std::string(tr("f.distance")) + " node1");
    EXPECT_EQ(numa->rows[3].value, "21 10");

    const Card* cache = find_card(page, tr("sec.cache"));
    ASSERT_TRUE(cache);
    std::vector<std::string> names, values;
    for (const auto& r : cache->rows) names.push_back(r.name), values.push_back(r.value);
    EXPECT_EQ(names, (std::vector<std::string>{"L1d", "L1i", "L2", "L3"}));
    const std::string dash = "  \u2014  ";
    EXPECT_EQ(values[0], "48.0 KiB" + dash + "8 \u00d7 " + trn("cache.shared_by", 2));
    EXPECT_EQ(values[2], "1.25 MiB  \u2014  8 \u00d7 shared by 2 threads");
    EXPECT_EQ(values[3], "30.0 MiB" + dash + "2 \u00d7 " + trn("cache.shared_by", 8));

    const Card* ident = find_card(page, tr("sec.identification"));
    ASSERT_TRUE(ident);
    std::vector<std::string> ident_rows;
    for (const auto& r : ident->rows) ident_rows.push_back(r.note + "=" + r.value);
    // An empty "offline" file and a single die id per package drop their rows.
    EXPECT_EQ(ident_rows, (std::vector<std::string>{"present=0-15", "online=0-15", "smt/control=on"}));
}

TEST(TopologyPage, DiagramNestsNodesPackagesCachesCoresThreads) {
    EnglishNumbers en;
    zqtest::FixtureRoot root;
    write_two_socket_machine(root);
    Page page = probe::collect_topology(-1);
    ASSERT_FALSE(page.cards.empty());
    const Card& card = page.cards.front();
    EXPECT_EQ(card.kind, CardKind::Diagram);
    EXPECT_TRUE(card.wide);
    EXPECT_EQ(card.subtitle, tr("msg.topo_legend"));
    const TopoNode& machine = card.diagram;
    EXPECT_EQ(machine.label, tr("tree.computer"));
    ASSERT_EQ(machine.children.size(), 2u);
    const TopoNode& node1 = machine.children[1];
    EXPECT_EQ(node1.kind, TopoNode::Kind::Numa);
    EXPECT_EQ(node1.label, "NUMA 1");
    EXPECT_EQ(node1.detail, "16.0 GiB");
    ASSERT_EQ(node1.children.size(), 1u);
    const TopoNode& pkg = node1.children[0];
    EXPECT_EQ(pkg.kind, TopoNode::Kind::Package);
    EXPECT_EQ(pkg.label, trn("tree.socket_n", 1));
    EXPECT_EQ(pkg.detail, trn("summary.n_cores", 4));
    ASSERT_EQ(pkg.children.size(), 1u);
    const TopoNode& l3 = pkg.children[0];
    EXPECT_EQ(l3.kind, TopoNode::Kind::Cache);
    EXPECT_EQ(l3.label, "L3");
    EXPECT_EQ(l3.detail, "30.0 MiB");
    ASSERT_EQ(l3.children.size(), 4u);
    const TopoNode& core = l3.children[2];
    EXPECT_EQ(core.kind, TopoNode::Kind::Core);
    EXPECT_EQ(core.label, "2");
    EXPECT_EQ(core.detail, "1.25 MiB");
    EXPECT_EQ(core.cpu, -1);
    ASSERT_EQ(core.children.size(), 2u);
    EXPECT_EQ(core.children[0].kind, TopoNode::Kind::Thread);
    EXPECT_EQ(core.children[0].cpu, 6);
    EXPECT_EQ(core.children[1].label, "14");
    EXPECT_TRUE(core.children[1].online);
}

TEST(TopologyPage, ChosenSocketNarrowsScope) {
    EnglishNumbers en;
    zqtest::FixtureRoot root;
    write_two_socket_machine(root);
    Page page = probe::collect_topology(1);

    EXPECT_EQ(page.headline, trn("tree.socket_n", 1));
    EXPECT_EQ(page.subline, trn("summary.n_cores", 4) + "   \u00b7   " + trn("summary.n_threads", 8));
    auto stats = stats_of(page);
    EXPECT_FALSE(stats.count(tr("f.sockets")));
    EXPECT_EQ(stats[tr("f.numa_nodes")], "2");  // the machine's nodes, not the socket's
    EXPECT_EQ(stats[tr("f.threads_logical")], "8");
    EXPECT_EQ(page.selector.selected, 2);
    EXPECT_EQ(tile_cpus(page), (std::vector<int>{4, 5, 6, 7, 12, 13, 14, 15}));

    const Card* sockets = find_card(page, tr("f.sockets"));
    ASSERT_TRUE(sockets);
    ASSERT_EQ(sockets->rows.size(), 1u);
    EXPECT_EQ(sockets->rows[0].name, trn("tree.socket_n", 1));

    // Node 0 holds no CPU of socket 1: no cpulist row, but both distance rows.
    const Card* numa = find_card(page, tr("tree.numa"));
    ASSERT_TRUE(numa);
    ASSERT_EQ(numa->rows.size(), 3u);
    EXPECT_EQ(numa->rows[0].name, "node1");
    EXPECT_EQ(numa->rows[1].note, "distance");
    EXPECT_EQ(numa->rows[2].note, "distance");

    const Card* cache = find_card(page, tr("sec.cache"));
    ASSERT_TRUE(cache);
    EXPECT_EQ(cache->rows.back().value, "30.0 MiB  \u2014  1 \u00d7 " + trn("cache.shared_by", 8));

    ASSERT_EQ(page.cards.front().diagram.children.size(), 1u);
    EXPECT_EQ(page.cards.front().diagram.children[0].label, "NUMA 1");

    // A package id the machine does not have gives the all-packages page.
    Page unknown = probe::collect_topology(7);
    EXPECT_EQ(unknown.headline, tr("sec.topology"));
    EXPECT_EQ(unknown.selector.selected, 0);
    EXPECT_EQ(without_clocks(unknown), without_clocks(probe::collect_topology(-1)));
}

TEST(TopologyPage, SmtSiblingsShareOneCoreTile) {
    zqtest::FixtureRoot root;
    write_two_socket_machine(root);
    Page page = probe::collect_topology(0);
    const Card* cores = find_card(page, tr("tree.cores"), CardKind::Cores);
    ASSERT_TRUE(cores);
    ASSERT_EQ(cores->cores.size(), 8u);
    EXPECT_TRUE(cores->wide);
    const auto& t0 = cores->cores[0];
    const auto& t8 = cores->cores[4];
    EXPECT_EQ(t8.index, 8);
    EXPECT_TRUE(t0.first_thread);
    EXPECT_FALSE(t8.first_thread);
    EXPECT_EQ(t8.package, 0);
    EXPECT_EQ(t8.core_id, 0);
    EXPECT_EQ(t8.cur_khz, 1208000u);
    EXPECT_EQ(t8.min_khz, 0u);
    EXPECT_EQ(t8.governor, "");
}

TEST(TopologyPage, LiveRefreshRewritesOnlyTileClocks) {
    zqtest::FixtureRoot root;
    write_two_socket_machine(root);
    Page page = probe::collect_topology(-1);
    const std::string before = without_clocks(page);
    const Card* cores = find_card(page, tr("tree.cores"), CardKind::Cores);
    ASSERT_TRUE(cores);
    const probe::Core* tile3 = &cores->cores[3];
    EXPECT_EQ(tile3->cur_khz, 1203000u);

    root.write(CPU + "/cpu3/cpufreq/scaling_cur_freq", "3400000\n");
    root.remove(CPU + "/cpu5/cpufreq/scaling_cur_freq");
    // Topology changes between ticks are for the next build, not the refresher.
    root.write(CPU + "/cpu9/topology/core_id", "7\n");
    root.write(CPU + "/online", "0-14\n");
    probe::refresh_live_topology(page);

    EXPECT_EQ(&cores->cores[3], tile3);  // refreshed in place
    EXPECT_EQ(tile3->cur_khz, 3400000u);
    EXPECT_EQ(cores->cores[5].cur_khz, 0u);  // unreadable now: 0, not the old value
    EXPECT_EQ(cores->cores[0].cur_khz, 1200000u);
    EXPECT_EQ(without_clocks(page), before);
}

// A small machine with what real ones get wrong or leave out: an offline CPU
// (its "online" file holds 0; no topology, cache or cpufreq directory), an
// online CPU whose package id file is
// empty, a memory-only node, no level-3 cache, cores without SMT beside
// cores with it, and cache sizes the kernel did not scale.
void write_odd_machine(const zqtest::FixtureRoot& root) {
    write_cpu_lists(root, "0-5", "0-3,5", "4");
    root.write(CPU + "/smt/control", "notsupported\n");
    write_cpu(root, 0, 0, 0, {{1, "Data", "32K", "0-1"}, {2, "Unified", "0", "0-1"}}, 800000);
    write_cpu(root, 1, 0, 0, {{1, "Data", "32K", "0-1"}, {2, "Unified", "0", "0-1"}}, 800000);
    write_cpu(root, 2, 0, 1, {{1, "Data", "64K", "2"}, {2, "Unified", "512K", "2"}}, 0);
    write_cpu(root, 3, 0, 2, {{1, "Data", "32K", "3"}, {2, "Unified", "unknown", "3"}}, 900000);
    write_cpu(root, 5, 0, 3, {{1, "Data", "32K", "5"}}, 900000);
    root.write(CPU + "/cpu4/online", "0\n");
    root.write(CPU + "/cpu5/topology/physical_package_id", "");
    root.remove(CPU + "/cpu5/topology/core_id");
    write_node(root, 0, "0-5", 8 * 1024 * 1024, "10 20");
    write_node(root, 1, "", 4 * 1024 * 1024, "20 10");
}

TEST(TopologyPage, OddMachine) {
    EnglishNumbers en;
    zqtest::FixtureRoot root;
    write_odd_machine(root);
    Page page = probe::collect_topology(-1);

    EXPECT_TRUE(page.selector.options.empty());
    auto stats = stats_of(page);
    EXPECT_EQ(stats[tr("f.sockets")], "1");
    // 0/1 share a core, 2, 3 and 5 are cores; the offline 4 is none.
    EXPECT_EQ(stats[tr("f.cores_physical")], "4");
    EXPECT_EQ(stats[tr("f.threads_logical")], "6");
    EXPECT_FALSE(stats.count(tr("f.threads_per_core")));  // 5 placed CPUs in 4 cores
    EXPECT_EQ(page.subline.substr(0, trn("summary.n_sockets", 1).size()), trn("summary.n_sockets", 1));

    const Card* cores = find_card(page, tr("tree.cores"), CardKind::Cores);
    ASSERT_TRUE(cores);
    ASSERT_EQ(cores->cores.size(), 6u);
    const auto& offline = cores->cores[4];
    EXPECT_EQ(offline.index, 4);
    EXPECT_FALSE(offline.online);
    EXPECT_EQ(offline.package, -1);  // it reports no package
    EXPECT_EQ(offline.core_id, -1);
    EXPECT_TRUE(offline.first_thread);
    EXPECT_EQ(offline.cur_khz, 0u);
    EXPECT_EQ(cores->cores[5].package, 0);  // online, empty id: package 0
    EXPECT_EQ(cores->cores[5].core_id, -1);
    EXPECT_TRUE(cores->cores[5].first_thread);  // no core id: no known sibling

    const Card* numa = find_card(page, tr("tree.numa"));
    ASSERT_TRUE(numa);
    EXPECT_EQ(numa->rows[0].cols, (std::vector<std::string>{"0\u20135", "8.00 GiB"}));
    EXPECT_EQ(numa->rows[1].cols, (std::vector<std::string>{"", "4.00 GiB"}));

    const Card* cache = find_card(page, tr("sec.cache"));
    ASSERT_TRUE(cache);
    ASSERT_EQ(cache->rows.size(), 2u);
    // The first instance's size stands for the level; "0" is shown as written.
    EXPECT_EQ(cache->rows[0].value, "32.0 KiB  \u2014  3 \u00d7 " + trn("cache.shared_by", 1) +
                                        ", 1 \u00d7 " + trn("cache.shared_by", 2));
    EXPECT_EQ(cache->rows[1].value,
              "0  \u2014  2 \u00d7 " + trn("cache.shared_by", 1) + ", 1 \u00d7 " + trn("cache.shared_by", 2));

    // No L3: cores hang straight under the package, all CPUs in NUMA 0.
    const TopoNode& machine = page.cards.front().diagram;
    ASSERT_EQ(machine.children.size(), 1u);
    EXPECT_EQ(machine.children[0].label, "NUMA 0");
    const TopoNode& pkg = machine.children[0].children.at(0);
    ASSERT_EQ(pkg.children.size(), 4u);  // the offline 4 is not drawn
    for (const auto& c : pkg.children) EXPECT_EQ(c.kind, TopoNode::Kind::Core);
    EXPECT_EQ(pkg.children[0].detail, "0");
    EXPECT_EQ(pkg.children[1].detail, "512 KiB");
    EXPECT_EQ(pkg.children[2].detail, "unknown");
    EXPECT_EQ(pkg.children[3].label, "5");  // CPU numbers stand in for missing core ids
    EXPECT_EQ(pkg.children[3].detail, "");

    const Card* ident = find_card(page, tr("sec.identification"));
    ASSERT_TRUE(ident);
    ASSERT_EQ(ident->rows.size(), 4u);
    EXPECT_EQ(ident->rows[2].value, "4");
    EXPECT_EQ(ident->rows[3].value, "notsupported");
}

// A CPU list as the kernel prints it: runs of three or more as ranges.
std::string kernel_list(const std::vector<int>& cpus) {
    std::vector<std::string> parts;
    for (size_t i = 0; i < cpus.size();) {
        size_t j = i;
        while (j + 1 < cpus.size() && cpus[j + 1] == cpus[j] + 1) ++j;
        if (j - i >= 1)
            parts.push_back(std::to_string(cpus[i]) + "-" + std::to_string(cpus[j]));
        else
            parts.push_back(std::to_string(cpus[i]));
        i = j + 1;
    }
    return util::join(parts, ",");
}

// The two-socket machine with CPUs taken offline as the kernel leaves them:
// only "online", holding 0, stays in their CPU directory, and the cache lists
// of the others no longer name them; the node lists still do.
void write_two_socket_machine_offline(const zqtest::FixtureRoot& root, const std::set<int>& offline) {
    std::vector<int> online, gone;
    for (int cpu = 0; cpu < 16; ++cpu) (offline.count(cpu) ? gone : online).push_back(cpu);
    write_cpu_lists(root, "0-15", kernel_list(online), kernel_list(gone));
    root.write(CPU + "/smt/control", "on\n");
    auto up = [&](std::vector<int> cpus) {
        std::vector<int> kept;
        for (int cpu : cpus)
            if (!offline.count(cpu)) kept.push_back(cpu);
        return kernel_list(kept);
    };
    for (int cpu = 0; cpu < 16; ++cpu) {
        std::string dir = CPU + "/cpu" + std::to_string(cpu);
        if (offline.count(cpu)) {
            root.write(dir + "/online", "0\n");
            continue;
        }
        if (cpu != 0) root.write(dir + "/online", "1\n");
        int pkg = (cpu / 4) % 2, first = cpu % 8;
        std::string pair = up({first, first + 8});
        std::string l3 = pkg == 0 ? up({0, 1, 2, 3, 8, 9, 10, 11}) : up({4, 5, 6, 7, 12, 13, 14, 15});
        write_cpu(root, cpu, pkg, cpu % 4,
                  {{1, "Data", "48K", pair}, {2, "Unified", "1280K", pair}, {3, "Unified", "30720K", l3}},
                  1200000);
    }
    write_node(root, 0, "0-3,8-11", 32 * 1024 * 1024, "10 21");
    write_node(root, 1, "4-7,12-15", 16 * 1024 * 1024, "21 10");
}

// An offline CPU has no topology files: it is shown as an offline tile of no
// package, but joins no package, counts as no core and is not drawn.
TEST(TopologyPage, OfflineCpusJoinNoPackage) {
    EnglishNumbers en;
    zqtest::FixtureRoot root;
    write_two_socket_machine_offline(root, {8, 9, 10, 11, 12, 13, 14, 15});  // the SMT siblings
    Page page = probe::collect_topology(-1);

    auto stats = stats_of(page);
    EXPECT_EQ(stats[tr("f.sockets")], "2");
    EXPECT_EQ(stats[tr("f.cores_physical")], "8");
    EXPECT_EQ(stats[tr("f.threads_logical")], "16");  // the present CPUs
    EXPECT_EQ(stats[tr("f.threads_per_core")], "1");
    EXPECT_EQ(page.subline, trn("summary.n_sockets", 2) + "   \u00b7   " + trn("summary.n_cores", 8) +
                                "   \u00b7   " + trn("summary.n_threads", 16));
    const Card* sockets = find_card(page, tr("f.sockets"));
    ASSERT_TRUE(sockets);
    ASSERT_EQ(sockets->rows.size(), 2u);
    EXPECT_EQ(sockets->rows[0].cols,
              (std::vector<std::string>{trn("summary.n_cores", 4), trn("summary.n_threads", 4), "0\u20133"}));
    EXPECT_EQ(sockets->rows[1].cols.back(), "4\u20137");

    const Card* cores = find_card(page, tr("tree.cores"), CardKind::Cores);
    ASSERT_TRUE(cores);
    ASSERT_EQ(cores->cores.size(), 16u);
    for (const auto& t : cores->cores) {
        SCOPED_TRACE(t.index);
        EXPECT_EQ(t.online, t.index < 8);
        EXPECT_EQ(t.package, t.index < 8 ? (t.index / 4) % 2 : -1);
        EXPECT_EQ(t.core_id, t.index < 8 ? t.index % 4 : -1);
        EXPECT_TRUE(t.first_thread);  // no offline tile poses as a sibling
    }

    std::vector<int> drawn;
    std::function<void(const TopoNode&)> walk = [&](const TopoNode& n) {
        if (n.kind == TopoNode::Kind::Thread) drawn.push_back(n.cpu);
        for (const auto& c : n.children) walk(c);
    };
    walk(page.cards.front().diagram);
    EXPECT_EQ(drawn, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));

    // Socket 0: the node list still names the offline 8-11, which are not its CPUs.
    Page zero = probe::collect_topology(0);
    EXPECT_EQ(tile_cpus(zero), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(stats_of(zero)[tr("f.cores_physical")], "4");
    const Card* numa = find_card(zero, tr("tree.numa"));
    ASSERT_TRUE(numa);
    EXPECT_EQ(numa->rows[0].cols.front(), "0\u20133");

    // A whole socket offline: the machine shows the one package it reports.
    zqtest::FixtureRoot half;
    write_two_socket_machine_offline(half, {4, 5, 6, 7, 12, 13, 14, 15});
    Page one = probe::collect_topology(1);
    EXPECT_EQ(one.headline, tr("sec.topology"));
    EXPECT_TRUE(one.selector.options.empty());
    stats = stats_of(one);
    EXPECT_EQ(stats[tr("f.sockets")], "1");
    EXPECT_EQ(stats[tr("f.cores_physical")], "4");
    EXPECT_EQ(stats[tr("f.threads_per_core")], "2");
    const TopoNode& machine = one.cards.front().diagram;
    ASSERT_EQ(machine.children.size(), 1u);
    EXPECT_EQ(machine.children[0].label, "NUMA 0");
    ASSERT_EQ(machine.children[0].children.size(), 1u);
    EXPECT_EQ(machine.children[0].children[0].label, trn("tree.socket_n", 0));
}

TEST(TopologyPage, MissingFilesShortenThePage) {
    zqtest::FixtureRoot root;
    EXPECT_TRUE(probe::collect_topology(-1).cards.empty());
    root.write(CPU + "/present", "\n");
    Page empty = probe::collect_topology(-1);
    EXPECT_EQ(empty.headline, "");
    EXPECT_TRUE(empty.stats.empty());
    EXPECT_TRUE(empty.selector.options.empty());

    // Only the CPU lists: no NUMA, cache or topology information at all.
    root.write(CPU + "/present", "0-1\n");
    Page bare = probe::collect_topology(-1);
    EXPECT_EQ(card_titles(bare), (std::vector<std::string>{tr("sec.topology"), tr("f.sockets"),
                                                           tr("tree.cores"), tr("sec.identification")}));
    EXPECT_FALSE(stats_of(bare).count(tr("f.numa_nodes")));
    const TopoNode& numa = bare.cards.front().diagram.children.at(0);
    EXPECT_EQ(numa.label, "");
    EXPECT_EQ(numa.children.at(0).children.size(), 2u);  // two cores, no cache level
    probe::refresh_live_topology(bare);
}

TEST(TopologyPage, CpuListsAndRanges) {
    zqtest::FixtureRoot root;
    auto sockets_cols = [&]() {
        Page p = probe::collect_topology(-1);
        const Card* c = find_card(p, tr("f.sockets"));
        return c && !c->rows.empty() ? c->rows[0].cols.back() : std::string("?");
    };
    root.write(CPU + "/present", "8,0-1\n");
    EXPECT_EQ(tile_cpus(probe::collect_topology(-1)), (std::vector<int>{8, 0, 1}));
    EXPECT_EQ(sockets_cols(), "0, 1, 8");
    root.write(CPU + "/present", "0-3,8,9,11\n");
    EXPECT_EQ(sockets_cols(), "0\u20133, 8, 9, 11");
    root.write(CPU + "/present", "7\n");
    EXPECT_EQ(sockets_cols(), "7");
    root.write(CPU + "/present", "3,1,2,2\n");
    EXPECT_EQ(sockets_cols(), "1\u20133");
}

TEST(TopologyPage, NodeNumbersFollowNaturalOrder) {
    zqtest::FixtureRoot root;
    write_cpu_lists(root, "0-2", "0-2", "");
    write_node(root, 2, "1", 1024, "");
    write_node(root, 10, "2", 1024, "");
    write_node(root, 0, "0", 1024, "");
    Page page = probe::collect_topology(-1);
    const Card* numa = find_card(page, tr("tree.numa"));
    ASSERT_TRUE(numa);
    ASSERT_EQ(numa->rows.size(), 3u);  // empty distance files add no rows
    EXPECT_EQ(numa->rows[1].name, "node2");
    EXPECT_EQ(numa->rows[2].name, "node10");
    std::vector<std::string> labels;
    for (const auto& n : page.cards.front().diagram.children) labels.push_back(n.label);
    EXPECT_EQ(labels, (std::vector<std::string>{"NUMA 0", "NUMA 2", "NUMA 10"}));
}

// The report prints the page the shell builds for the machine it runs on.
TEST(TopologyPage, ReportOfTheProgramShowsThePage) {
    zqtest::FixtureRoot root;
    write_two_socket_machine(root);
    auto r = zqtest::run_in_fixture(root.dir(), {zqtest::binary(), "--report"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    size_t page = r.out.find(trn("summary.n_sockets", 2));
    ASSERT_NE(page, std::string::npos) << r.out;
    for (const std::string& text : {trn("tree.socket_n", 1), std::string("4\u20137, 12\u201315"),
                                    std::string(tr("f.distance")) + " node1", std::string("30.0 MiB")})
        EXPECT_NE(r.out.find(text, page), std::string::npos) << text;
}

}  // namespace
