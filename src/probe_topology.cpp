// The "topo" page: one snapshot of the kernel's processor topology (packages,
// dies, clusters, cores, threads, NUMA nodes, caches) turned into cards, and
// the per-tick refresh of the core tiles' clocks.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cpu_sysfs.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace probe {

namespace {

using cpusys::CacheIndex;
using cpusys::CPU_DIR;
using cpusys::cpu_path;
const std::string NODE_DIR = "/sys/devices/system/node";
const char* const SUBLINE_SEP = "   \u00b7   ";

struct Topo {
    std::vector<int> present;
    std::vector<int> online;
    cpusys::Places places;  // every present CPU, as its files say
    std::map<int, int> package;
    std::map<int, int> die;
    std::map<int, int> cluster;
    std::map<int, int> core;
    std::map<int, std::vector<int>> by_package;
    std::map<int, std::vector<int>> by_node;
};

std::string tr_int(const char* key, int n) { return I18n::instance().trf(key, n); }
std::string tr_count(const char* key, size_t n) { return tr_int(key, static_cast<int>(n)); }

int narrow(int64_t v) { return static_cast<int>(v); }

std::string to_ranges(std::vector<int> cpus) {
    std::sort(cpus.begin(), cpus.end());
    cpus.erase(std::unique(cpus.begin(), cpus.end()), cpus.end());
    std::vector<std::string> entries;
    for (size_t i = 0; i < cpus.size();) {
        size_t j = i;
        while (j + 1 < cpus.size() && static_cast<int64_t>(cpus[j + 1]) == static_cast<int64_t>(cpus[j]) + 1)
            ++j;
        if (j - i >= 2) {
            entries.push_back(std::to_string(cpus[i]) + "\u2013" + std::to_string(cpus[j]));
        } else {
            for (size_t k = i; k <= j; ++k) entries.push_back(std::to_string(cpus[k]));
        }
        i = j + 1;
    }
    return util::join(entries, ", ");
}

// The kernel takes an offline CPU's topology directory away and leaves
// "online" holding 0 in its CPU directory.
bool reported_offline(int cpu) { return cpusys::read_kept(cpu_path(cpu, "online")) == "0"; }

Topo read_topology() {
    Topo t;
    cpusys::CpuLists lists = cpusys::read_cpu_lists();
    t.present = std::move(lists.present);
    t.online = std::move(lists.online);
    t.places = cpusys::read_places(t.present, true);
    for (int cpu : t.present) {
        const cpusys::Place& p = cpusys::place_of(t.places, cpu);
        // Its place is unknown: it joins no package and counts as no core.
        if (p.package.empty() && reported_offline(cpu)) continue;
        if (t.package.count(cpu)) continue;  // listed twice
        int id = p.package.empty() ? 0 : narrow(util::to_i64(p.package, 0));
        t.package[cpu] = id;
        t.by_package[id].push_back(cpu);
        auto record = [&](const std::string& text, std::map<int, int>& into) {
            if (!text.empty()) into[cpu] = narrow(util::to_i64(text, 0));
        };
        record(p.die, t.die);
        record(p.cluster, t.cluster);
        record(p.core, t.core);
    }
    for (const std::string& name : cpusys::list_kept(NODE_DIR, "node")) {
        int node = narrow(util::to_i64(name.substr(4), 0));
        // Older kernels write only the mask.
        const std::string dir = NODE_DIR + "/" + name;
        t.by_node[node] = cpusys::read_list(dir + "/cpulist", dir + "/cpumap");
    }
    return t;
}

bool placed(const Topo& t, int cpu) { return t.package.count(cpu) > 0; }

std::vector<int> placed_of(const Topo& t, const std::vector<int>& cpus) {
    std::vector<int> known;
    for (int cpu : cpus)
        if (placed(t, cpu)) known.push_back(cpu);
    return known;
}

int package_of(const Topo& t, int cpu) {
    auto it = t.package.find(cpu);
    return it == t.package.end() ? 0 : it->second;
}

// A CPU without a core id is a core of its own.
int core_of(const Topo& t, int cpu) {
    auto it = t.core.find(cpu);
    return it == t.core.end() ? cpu : it->second;
}

// Its SMT sibling set where the kernel wrote one; a CPU of unknown core is a
// core of its own.
std::string core_key_of(const Topo& t, int cpu) {
    std::string key = cpusys::core_key(cpusys::place_of(t.places, cpu));
    return key.empty() ? "cpu " + std::to_string(cpu) : key;
}

size_t count_cores(const Topo& t, const std::vector<int>& cpus) {
    std::set<std::string> cores;
    for (int cpu : placed_of(t, cpus)) cores.insert(core_key_of(t, cpu));
    return cores.size();
}

using CacheMap = std::map<int, std::vector<CacheIndex>>;

CacheMap read_caches_of(const std::vector<int>& cpus) {
    CacheMap caches;
    for (int cpu : cpus)
        if (!caches.count(cpu)) caches[cpu] = cpusys::read_caches(cpu);
    return caches;
}

const std::vector<CacheIndex>& caches_of(const CacheMap& caches, int cpu) {
    static const std::vector<CacheIndex> none;
    auto it = caches.find(cpu);
    return it == caches.end() ? none : it->second;
}

// The size as the kernel writes it ("32K", "1M") in binary units; what it
// does not scale is shown as written.
std::string size_text(const std::string& raw) {
    const uint64_t v = cpusys::cache_size_bytes(raw);
    return v > 0 ? util::fmt_bytes(v) : raw;
}

std::string cache_size_of(const CacheMap& caches, int cpu, int level) {
    for (const CacheIndex& e : caches_of(caches, cpu))
        if (e.level == level) return size_text(cpusys::cache_size_text(e));
    return {};
}

std::string node_memory(int node) {
    for (const std::string& line : util::read_lines(NODE_DIR + "/node" + std::to_string(node) + "/meminfo")) {
        size_t colon = line.find(':');
        if (line.find("MemTotal") == std::string::npos || colon == std::string::npos) continue;
        uint64_t kb = util::to_u64(util::trim(line.substr(colon + 1)), 0);
        if (kb > std::numeric_limits<uint64_t>::max() / 1024) return {};
        return util::fmt_bytes(kb * 1024);
    }
    return {};
}

// What one page build works from: the snapshot, the CPUs shown and what is
// read once for all cards.
struct Build {
    Topo t;
    std::vector<int> scope;
    int socket = -1;  // -1: all packages
    CacheMap caches;
    std::map<int, std::string> node_mem;
    std::set<int> online;
};

Row make_row(std::string name, std::string value, std::string note) {
    return Row(std::move(name), std::move(value), std::move(note), false, "", "");
}

Selector make_selector(const Topo& t, int socket) {
    std::vector<int> ids;
    for (const auto& [id, cpus] : t.by_package) ids.push_back(id);
    return cpusys::socket_selector(ids, socket);
}

void add_stats(Page& page, const Build& b, size_t n_cores) {
    auto add = [&](const char* key, uint64_t v) {
        page.stats.push_back({tr(key), util::fmt_int(v), "", ""});
    };
    if (b.socket < 0) add("f.sockets", b.t.by_package.size());
    if (!b.t.by_node.empty()) add("f.numa_nodes", b.t.by_node.size());
    add("f.cores_physical", n_cores);
    add("f.threads_logical", b.scope.size());
    // Shared out over the online CPUs: only they have sibling files.
    size_t threads = 0;
    for (int cpu : placed_of(b.t, b.scope)) threads += b.online.count(cpu);
    if (n_cores != 0 && threads % n_cores == 0) add("f.threads_per_core", threads / n_cores);
}

Card sockets_card(const Build& b) {
    Card card;
    card.title = tr("f.sockets");
    for (const auto& [id, cpus] : b.t.by_package) {
        if (b.socket >= 0 && id != b.socket) continue;
        Row row = make_row(cpusys::socket_name(id), "", "physical_package_id");
        row.cols = {tr_count("summary.n_cores", count_cores(b.t, cpus)),
                    tr_count("summary.n_threads", cpus.size()), to_ranges(cpus)};
        card.rows.push_back(std::move(row));
    }
    return card;
}

Card numa_card(const Build& b) {
    Card card;
    card.title = tr("tree.numa");
    for (const auto& [node, cpulist] : b.t.by_node) {
        std::vector<int> shown;
        for (int cpu : cpulist)
            if (b.socket < 0 || (placed(b.t, cpu) && package_of(b.t, cpu) == b.socket)) shown.push_back(cpu);
        if (b.socket >= 0 && shown.empty()) continue;
        Row row = make_row("node" + std::to_string(node), "", "cpulist");
        row.cols = {to_ranges(shown), b.node_mem.at(node)};
        card.rows.push_back(std::move(row));
    }
    for (const auto& [node, cpulist] : b.t.by_node) {
        std::string distance = util::read_file(NODE_DIR + "/node" + std::to_string(node) + "/distance");
        if (distance.empty()) continue;
        card.rows.push_back(
            make_row(std::string(tr("f.distance")) + " node" + std::to_string(node), distance, "distance"));
    }
    return card;
}

Card cache_card(const Build& b) {
    struct Level {
        std::map<int, int> count_by_width;
        std::string size;
    };
    std::map<std::string, Level> levels;
    std::set<std::string> seen;
    for (int cpu : b.scope) {
        for (const CacheIndex& e : caches_of(b.caches, cpu)) {
            if (e.level == 0 || e.shared_list.empty()) continue;
            std::string label = cpusys::cache_label(e.level, e.type);
            if (!seen.insert(label + "@" + e.shared_list).second) continue;
            bool first = !levels.count(label);
            Level& level = levels[label];
            ++level.count_by_width[static_cast<int>(cpusys::parse_list(e.shared_list).size())];
            if (first) level.size = size_text(cpusys::cache_size_text(e));
        }
    }
    Card card;
    card.title = tr("sec.cache");
    for (const auto& [label, level] : levels) {
        std::vector<std::string> parts;
        for (const auto& [width, count] : level.count_by_width)
            parts.push_back(util::fmt_int(static_cast<uint64_t>(count)) + " \u00d7 " +
                            tr_int("cache.shared_by", width));
        std::string value = util::join(parts, ", ");
        if (!level.size.empty()) value = level.size + "  \u2014  " + value;
        card.rows.push_back(make_row(label, value, "shared_cpu_list"));
    }
    return card;
}

// The L3 instance a CPU belongs to, "-" when it has none (those group first).
std::string shared_list_of(const Build& b, int cpu) {
    for (const CacheIndex& e : caches_of(b.caches, cpu))
        if (e.level == 3 && e.type != "Instruction") return e.shared_list.empty() ? "-" : e.shared_list;
    return "-";
}

TopoNode make_node(TopoNode::Kind kind, std::string label, std::string detail) {
    TopoNode n;
    n.kind = kind;
    n.label = std::move(label);
    n.detail = std::move(detail);
    return n;
}

// Groups CPUs by a key, keys ascending, CPUs in their given order.
template <typename Key, typename KeyOf>
std::map<Key, std::vector<int>> group_by(const std::vector<int>& cpus, KeyOf key_of) {
    std::map<Key, std::vector<int>> groups;
    for (int cpu : cpus) groups[key_of(cpu)].push_back(cpu);
    return groups;
}

// Cores by their number, and cores that share a number (books, clusters)
// apart by their sibling sets.
std::vector<TopoNode> core_nodes(const Build& b, const std::vector<int>& cpus) {
    std::vector<TopoNode> nodes;
    using CoreId = std::pair<int, std::string>;
    auto id_of = [&](int cpu) { return CoreId{core_of(b.t, cpu), core_key_of(b.t, cpu)}; };
    for (const auto& [core, members] : group_by<CoreId>(cpus, id_of)) {
        TopoNode node = make_node(TopoNode::Kind::Core, std::to_string(core.first),
                                  cache_size_of(b.caches, members.front(), 2));
        for (int cpu : members) {
            TopoNode thread = make_node(TopoNode::Kind::Thread, std::to_string(cpu), "");
            thread.cpu = cpu;
            thread.online = b.online.count(cpu) > 0;
            node.children.push_back(std::move(thread));
        }
        nodes.push_back(std::move(node));
    }
    return nodes;
}

TopoNode package_node(const Build& b, int id, const std::vector<int>& cpus) {
    TopoNode pkg = make_node(TopoNode::Kind::Package, cpusys::socket_name(id),
                             tr_count("summary.n_cores", count_cores(b.t, cpus)));
    for (const auto& [shared, members] :
         group_by<std::string>(cpus, [&](int cpu) { return shared_list_of(b, cpu); })) {
        std::vector<TopoNode> cores = core_nodes(b, members);
        if (shared == "-") {
            for (TopoNode& c : cores) pkg.children.push_back(std::move(c));
            continue;
        }
        TopoNode l3 = make_node(TopoNode::Kind::Cache, "L3", cache_size_of(b.caches, members.front(), 3));
        l3.children = std::move(cores);
        pkg.children.push_back(std::move(l3));
    }
    return pkg;
}

// The node each CPU is drawn under: the highest-numbered node listing it
// (ascending walk, later nodes win); CPUs listed nowhere belong to node 0.
std::map<int, int> node_by_cpu(const Topo& t) {
    std::map<int, int> nodes;
    for (const auto& [node, cpulist] : t.by_node)
        for (int cpu : cpulist) nodes[cpu] = node;
    return nodes;
}

TopoNode build_tree(const Build& b) {
    TopoNode root = make_node(TopoNode::Kind::Machine, tr("tree.computer"), "");
    bool numa = b.t.by_node.size() >= 2;
    std::map<int, int> nodes = numa ? node_by_cpu(b.t) : std::map<int, int>{};
    auto node_of = [&](int cpu) {
        auto it = nodes.find(cpu);
        return it == nodes.end() ? 0 : it->second;
    };
    // A CPU without a place is left out rather than drawn where it is not.
    for (const auto& [node, cpus] : group_by<int>(placed_of(b.t, b.scope), node_of)) {
        TopoNode numa_node = make_node(TopoNode::Kind::Numa, "", "");
        if (numa) {
            numa_node.label = "NUMA " + std::to_string(node);
            auto mem = b.node_mem.find(node);
            if (mem != b.node_mem.end()) numa_node.detail = mem->second;
        }
        for (const auto& [id, members] : group_by<int>(cpus, [&](int cpu) { return package_of(b.t, cpu); }))
            numa_node.children.push_back(package_node(b, id, members));
        root.children.push_back(std::move(numa_node));
    }
    return root;
}

Card diagram_card(const Build& b) {
    Card card;
    card.title = tr("sec.topology");
    card.subtitle = tr("msg.topo_legend");
    card.kind = CardKind::Diagram;
    card.wide = true;
    card.diagram = build_tree(b);
    return card;
}

Card cores_card(const Build& b) {
    Card card;
    card.title = tr("tree.cores");
    card.kind = CardKind::Cores;
    card.wide = true;
    card.cores = cpusys::core_tiles(b.scope, b.t.places, b.online);
    for (Core& tile : card.cores) {
        // An online CPU without a package file is drawn in package 0.
        auto pkg = b.t.package.find(tile.index);
        tile.package = pkg == b.t.package.end() ? -1 : pkg->second;
        tile.cur_khz = cpusys::current_khz(tile.index);
    }
    return card;
}

size_t distinct_ids(const std::map<int, int>& ids, const std::vector<int>& cpus) {
    std::set<int> found;
    for (int cpu : cpus) {
        auto it = ids.find(cpu);
        if (it != ids.end()) found.insert(it->second);
    }
    return found.size();
}

Card identification_card(const Build& b) {
    Card card;
    card.title = tr("sec.identification");
    auto add = [&](const char* label, std::string value, const char* note) {
        if (!value.empty()) card.rows.push_back(make_row(tr(label), std::move(value), note));
    };
    add("f.cpu_list_present", cpusys::list_text(b.t.present), "present");
    add("f.cpu_list_online", cpusys::list_text(b.t.online), "online");
    // Present CPUs that are not online: the kernel's "offline" file also names
    // absent CPUs that could be plugged in.
    std::vector<int> offline;
    for (int cpu : b.t.present)
        if (!b.online.count(cpu)) offline.push_back(cpu);
    add("f.cpu_list_offline", cpusys::list_text(std::move(offline)), "offline");
    add("f.smt_control", cpusys::read_kept(CPU_DIR + "/smt/control"), "smt/control");
    size_t dies = distinct_ids(b.t.die, b.scope);
    add("f.die_id", dies > 1 ? util::fmt_int(dies) : "", "die_id");
    size_t clusters = distinct_ids(b.t.cluster, b.scope);
    add("f.cluster_id", clusters > 1 ? util::fmt_int(clusters) : "", "cluster_id");
    return card;
}

void append_if_any(Page& page, Card card) {
    if (!card.empty()) page.cards.push_back(std::move(card));
}

}  // namespace

Page collect_topology(int socket) {
    Page page;
    Build b;
    b.t = read_topology();
    if (b.t.present.empty()) return page;
    page.selector = make_selector(b.t, socket);

    b.scope = b.t.present;
    if (socket >= 0 && b.t.by_package.count(socket)) {
        b.socket = socket;
        b.scope = b.t.by_package.at(socket);
    }
    b.online.insert(b.t.online.begin(), b.t.online.end());
    b.caches = read_caches_of(b.scope);
    for (const auto& [node, cpulist] : b.t.by_node) b.node_mem[node] = node_memory(node);
    size_t n_cores = count_cores(b.t, b.scope);

    page.headline = b.socket >= 0 ? cpusys::socket_name(b.socket) : tr("sec.topology");
    std::vector<std::string> sub;
    if (b.socket < 0) sub.push_back(tr_count("summary.n_sockets", b.t.by_package.size()));
    sub.push_back(tr_count("summary.n_cores", n_cores));
    sub.push_back(tr_count("summary.n_threads", b.scope.size()));
    page.subline = util::join(sub, SUBLINE_SEP);
    add_stats(page, b, n_cores);

    append_if_any(page, sockets_card(b));
    if (!b.t.by_node.empty()) append_if_any(page, numa_card(b));
    append_if_any(page, cache_card(b));
    Card diagram = diagram_card(b);
    append_if_any(page, cores_card(b));
    append_if_any(page, identification_card(b));
    if (!diagram.diagram.children.empty()) page.cards.insert(page.cards.begin(), std::move(diagram));
    return page;
}

void refresh_live_topology(Page& page) {
    const double now = util::monotonic_seconds();
    for (Card& card : page.cards) {
        if (card.kind != CardKind::Cores) continue;
        for (Core& tile : card.cores) tile.cur_khz = cpusys::tick_khz(tile.index, now);
    }
}

}  // namespace probe
