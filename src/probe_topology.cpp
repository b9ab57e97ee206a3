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

#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace probe {

namespace {

const std::string CPU_DIR = "/sys/devices/system/cpu";
const std::string NODE_DIR = "/sys/devices/system/node";
const char* const SUBLINE_SEP = "   \u00b7   ";
// A single range of a CPU list never expands beyond this many CPUs, so a
// damaged list ("0-4294967295") cannot exhaust memory.
constexpr int64_t MAX_RANGE = 8192;

struct Topo {
    std::vector<int> present;
    std::vector<int> online;
    std::map<int, int> package;
    std::map<int, int> die;
    std::map<int, int> cluster;
    std::map<int, int> core;
    std::map<int, std::vector<int>> by_package;
    std::map<int, std::vector<int>> by_node;
};

// One "indexN" entry of a CPU's cache directory.
struct CacheIndex {
    int level = 0;
    std::string type;
    std::string shared;  // shared_cpu_list as the kernel writes it
    std::string size;    // raw "size" text such as "32K"
};

std::string tr_int(const char* key, int n) { return I18n::instance().trf(key, n); }
std::string tr_count(const char* key, size_t n) { return tr_int(key, static_cast<int>(n)); }

int narrow(int64_t v) { return static_cast<int>(v); }

std::string cpu_path(int cpu, const std::string& tail) {
    std::string path = CPU_DIR + "/cpu" + std::to_string(cpu);
    if (!tail.empty()) path += "/" + tail;
    return path;
}

std::vector<int> parse_cpu_list(const std::string& text) {
    std::vector<int> cpus;
    for (const std::string& raw : util::split(text, ',')) {
        std::string piece = util::trim(raw);
        if (piece.empty()) continue;
        size_t dash = piece.find('-');
        if (dash == std::string::npos) {
            cpus.push_back(narrow(util::to_i64(piece, 0)));
            continue;
        }
        // Widened so that a range ending at INT_MAX cannot overflow the counter.
        int64_t a = narrow(util::to_i64(piece.substr(0, dash), 0));
        int64_t b = narrow(util::to_i64(piece.substr(dash + 1), 0));
        for (int64_t v = a; v <= b && v - a < MAX_RANGE; ++v) cpus.push_back(static_cast<int>(v));
    }
    return cpus;
}

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
bool reported_offline(int cpu) { return util::read_file(cpu_path(cpu, "online")) == "0"; }

Topo read_topology() {
    Topo t;
    t.present = parse_cpu_list(util::read_file(CPU_DIR + "/present"));
    t.online = parse_cpu_list(util::read_file(CPU_DIR + "/online"));
    for (int cpu : t.present) {
        std::string dir = cpu_path(cpu, "topology");
        std::string pkg = util::read_file(dir + "/physical_package_id");
        // Its place is unknown: it joins no package and counts as no core.
        if (pkg.empty() && reported_offline(cpu)) continue;
        int id = pkg.empty() ? 0 : narrow(util::to_i64(pkg, 0));
        t.package[cpu] = id;
        t.by_package[id].push_back(cpu);
        auto record = [&](const char* file, std::map<int, int>& into) {
            std::string text = util::read_file(dir + "/" + file);
            if (!text.empty()) into[cpu] = narrow(util::to_i64(text, 0));
        };
        record("die_id", t.die);
        record("cluster_id", t.cluster);
        record("core_id", t.core);
    }
    for (const std::string& name : util::list_dir(NODE_DIR, "node")) {
        int node = narrow(util::to_i64(name.substr(4), 0));
        t.by_node[node] = parse_cpu_list(util::read_file(NODE_DIR + "/" + name + "/cpulist"));
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

size_t count_cores(const Topo& t, const std::vector<int>& cpus) {
    std::set<std::pair<int, int>> cores;
    for (int cpu : placed_of(t, cpus)) cores.insert({package_of(t, cpu), core_of(t, cpu)});
    return cores.size();
}

// Each CPU's cache directory is read once per build and shared by the cache
// card, the L3 grouping of the diagram and the core details.
std::vector<CacheIndex> read_caches(int cpu) {
    std::vector<CacheIndex> entries;
    std::string base = cpu_path(cpu, "cache");
    for (const std::string& name : util::list_dir(base, "index")) {
        std::string dir = base + "/" + name + "/";
        CacheIndex e;
        e.level = narrow(util::to_i64(util::read_file(dir + "level"), 0));
        e.type = util::read_file(dir + "type");
        e.shared = util::read_file(dir + "shared_cpu_list");
        e.size = util::read_file(dir + "size");
        entries.push_back(std::move(e));
    }
    return entries;
}

using CacheMap = std::map<int, std::vector<CacheIndex>>;

CacheMap read_caches_of(const std::vector<int>& cpus) {
    CacheMap caches;
    for (int cpu : cpus)
        if (!caches.count(cpu)) caches[cpu] = read_caches(cpu);
    return caches;
}

const std::vector<CacheIndex>& caches_of(const CacheMap& caches, int cpu) {
    static const std::vector<CacheIndex> none;
    auto it = caches.find(cpu);
    return it == caches.end() ? none : it->second;
}

// The kernel writes cache sizes as "32K", "1M"; anything it does not scale
// is shown as written.
std::string size_text(const std::string& raw) {
    uint64_t v = util::to_u64(raw, 0);
    if (!raw.empty()) {
        uint64_t mult = 1;
        switch (raw.back()) {
            case 'k':
            case 'K':
                mult = 1024;
                break;
            case 'm':
            case 'M':
                mult = 1048576;
                break;
            case 'g':
            case 'G':
                mult = 1073741824;
                break;
            default:
                break;
        }
        if (v > std::numeric_limits<uint64_t>::max() / mult) return raw;
        v *= mult;
    }
    return v > 0 ? util::fmt_bytes(v) : raw;
}

std::string cache_size_of(const CacheMap& caches, int cpu, int level) {
    for (const CacheIndex& e : caches_of(caches, cpu))
        if (e.level == level) return size_text(e.size);
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
    Selector sel;
    if (t.by_package.size() < 2) return sel;
    sel.label = tr("f.sockets");
    sel.options.push_back(tr("value.all"));
    sel.values.push_back(-1);
    for (const auto& [id, cpus] : t.by_package) {
        sel.options.push_back(tr_int("tree.socket_n", id));
        sel.values.push_back(id);
    }
    for (size_t i = 0; i < sel.values.size(); ++i)
        if (sel.values[i] == socket) sel.selected = static_cast<int>(i);
    return sel;
}

void add_stats(Page& page, const Build& b, size_t n_cores) {
    auto add = [&](const char* key, uint64_t v) {
        page.stats.push_back({tr(key), util::fmt_int(v), "", ""});
    };
    if (b.socket < 0) add("f.sockets", b.t.by_package.size());
    if (!b.t.by_node.empty()) add("f.numa_nodes", b.t.by_node.size());
    add("f.cores_physical", n_cores);
    add("f.threads_logical", b.scope.size());
    // Shared out over the CPUs the cores were counted from.
    size_t threads = placed_of(b.t, b.scope).size();
    if (n_cores != 0 && threads % n_cores == 0) add("f.threads_per_core", threads / n_cores);
}

Card sockets_card(const Build& b) {
    Card card;
    card.title = tr("f.sockets");
    for (const auto& [id, cpus] : b.t.by_package) {
        if (b.socket >= 0 && id != b.socket) continue;
        Row row = make_row(tr_int("tree.socket_n", id), "", "physical_package_id");
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

std::string cache_label(const CacheIndex& e) {
    std::string label = "L" + std::to_string(e.level);
    if (e.type == "Data") label += "d";
    if (e.type == "Instruction") label += "i";
    return label;
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
            if (e.level == 0 || e.shared.empty()) continue;
            std::string label = cache_label(e);
            if (!seen.insert(label + "@" + e.shared).second) continue;
            bool first = !levels.count(label);
            Level& level = levels[label];
            ++level.count_by_width[static_cast<int>(parse_cpu_list(e.shared).size())];
            if (first) level.size = size_text(e.size);
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
        if (e.level == 3 && e.type != "Instruction") return e.shared.empty() ? "-" : e.shared;
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

std::vector<TopoNode> core_nodes(const Build& b, const std::vector<int>& cpus) {
    std::vector<TopoNode> nodes;
    for (const auto& [core, members] : group_by<int>(cpus, [&](int cpu) { return core_of(b.t, cpu); })) {
        TopoNode node = make_node(TopoNode::Kind::Core, std::to_string(core),
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
    TopoNode pkg = make_node(TopoNode::Kind::Package, tr_int("tree.socket_n", id),
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

uint64_t cur_khz_of(int cpu) {
    return util::to_u64(util::read_file(cpu_path(cpu, "cpufreq/scaling_cur_freq")), 0);
}

Card cores_card(const Build& b) {
    Card card;
    card.title = tr("tree.cores");
    card.kind = CardKind::Cores;
    card.wide = true;
    std::set<std::pair<int, int>> seen;
    for (int cpu : b.scope) {
        Core tile;
        tile.index = cpu;
        auto pkg = b.t.package.find(cpu);
        tile.package = pkg == b.t.package.end() ? -1 : pkg->second;
        auto core = b.t.core.find(cpu);
        tile.core_id = core == b.t.core.end() ? -1 : core->second;
        tile.online = b.online.count(cpu) > 0;
        // Without a core id it is nobody's SMT sibling.
        tile.first_thread = core == b.t.core.end() || seen.insert({tile.package, tile.core_id}).second;
        tile.cur_khz = cur_khz_of(cpu);
        card.cores.push_back(std::move(tile));
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
    add("f.cpu_list_present", util::read_file(CPU_DIR + "/present"), "present");
    add("f.cpu_list_online", util::read_file(CPU_DIR + "/online"), "online");
    add("f.cpu_list_offline", util::read_file(CPU_DIR + "/offline"), "offline");
    add("f.smt_control", util::read_file(CPU_DIR + "/smt/control"), "smt/control");
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

    page.headline = b.socket >= 0 ? tr_int("tree.socket_n", b.socket) : tr("sec.topology");
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
    for (Card& card : page.cards) {
        if (card.kind != CardKind::Cores) continue;
        for (Core& tile : card.cores) tile.cur_khz = cur_khz_of(tile.index);
    }
}

}  // namespace probe
