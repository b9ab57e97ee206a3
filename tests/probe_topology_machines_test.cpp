// The "topo" page over real machines' /sys and /proc trees, checked against
// facts read from another topology tool's recorded view of the same machines
// (its text and XML outputs): packages, NUMA nodes, cores, threads and caches.
#include <gtest/gtest.h>

#include <algorithm>
#include <bitset>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace fs = std::filesystem;

namespace {

using probe::Card;
using probe::CardKind;
using probe::Page;
using probe::TopoNode;

// What the recorded view says about one machine.
struct Facts {
    std::map<int, std::set<int>> packages;  // package number -> its threads
    std::set<int> nodes;
    std::set<int> threads;
    size_t present = 0;  // the machine's complete CPU set; 0 when the view has none
    size_t cores = 0;
    std::map<std::string, std::vector<uint64_t>> caches;  // "L1d", "L2", ... -> size of each instance
    bool icaches = true;                                  // false when the view left them out
};

uint64_t size_bytes(const std::string& number, const std::string& unit) {
    uint64_t v = std::stoull(number);
    if (unit == "KiB" || unit == "KB") return v << 10;
    if (unit == "MiB" || unit == "MB") return v << 20;
    if (unit == "GiB" || unit == "GB") return v << 30;
    return v;
}

// "L2Cache" -> "L2", "L1dCache" -> "L1d"; empty for anything but a CPU cache.
std::string cache_label(const std::string& type) {
    static const std::regex re("L(\\d)([di]?)Cache");
    std::smatch m;
    return std::regex_match(type, m, re) ? "L" + m[1].str() + m[2].str() : std::string();
}

// Text view: one object per line, nesting by indentation, "Type L#n (P#n size=...)".
Facts facts_from_console(const std::string& text) {
    Facts f;
    // Subtypes ride on the type: "NUMANode(GPUMemory)", "Group0(Book)".
    static const std::regex line_re("^( *)([A-Za-z0-9]+)(?:\\([^)]*\\))? L#\\d+(?: \\((.*)\\))?");
    static const std::regex pnum_re("(?:^| )P#(\\d+)");
    static const std::regex size_re("(?:^| )size=(\\d+)([KMG]i?B)");
    std::vector<std::pair<size_t, int>> packages;  // indentation, number of the enclosing packages
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (util::starts_with(util::trim(line), "depth ")) break;
        std::smatch m;
        if (!std::regex_search(line, m, line_re)) continue;
        size_t indent = m[1].length();
        std::string type = m[2], attrs = m[3];
        std::smatch pm, sm;
        int pnum = std::regex_search(attrs, pm, pnum_re) ? std::stoi(pm[1]) : -1;
        while (!packages.empty() && packages.back().first >= indent) packages.pop_back();
        if (type == "Package") {
            packages.push_back({indent, pnum});
            if (pnum >= 0) f.packages[pnum];
        } else if (type == "NUMANode") {
            f.nodes.insert(pnum);
        } else if (type == "Core") {
            ++f.cores;
        } else if (type == "PU") {
            f.threads.insert(pnum);
            if (!packages.empty() && packages.back().second >= 0)
                f.packages[packages.back().second].insert(pnum);
        } else if (!cache_label(type).empty() && std::regex_search(attrs, sm, size_re)) {
            f.caches[cache_label(type)].push_back(size_bytes(sm[1], sm[2]));
        }
    }
    return f;
}

std::string attr(const std::string& tag, const std::string& name) {
    std::string key = " " + name + "=\"";
    size_t at = tag.find(key);
    if (at == std::string::npos) return {};
    size_t start = at + key.size();
    return tag.substr(start, tag.find('"', start) - start);
}

// XML view: nested <object type=... os_index=... cache_size=... cache_type=...>.
Facts facts_from_xml(const std::string& text) {
    Facts f;
    std::vector<int> open_packages;  // per open object: package number or -1
    size_t pos = 0;
    while ((pos = text.find('<', pos)) != std::string::npos) {
        size_t end = text.find('>', pos);
        if (end == std::string::npos) break;
        std::string tag = text.substr(pos, end - pos + 1);
        pos = end;
        if (util::starts_with(tag, "</object")) {
            if (!open_packages.empty()) open_packages.pop_back();
            continue;
        }
        if (!util::starts_with(tag, "<object ")) continue;
        std::string type = attr(tag, "type");
        std::string index = attr(tag, "os_index");
        int num = index.empty() ? -1 : std::stoi(index);
        int package = -1;
        for (auto it = open_packages.rbegin(); it != open_packages.rend() && package < 0; ++it) package = *it;
        if (type == "Machine") {
            for (const std::string& word : util::split(attr(tag, "complete_cpuset"), ','))
                f.present += std::bitset<32>(util::parse_hex(word, 0)).count();
        } else if (type == "Package") {
            f.packages[num];
            package = num;
        } else if (type == "NUMANode") {
            f.nodes.insert(num);
        } else if (type == "Core") {
            ++f.cores;
        } else if (type == "PU") {
            f.threads.insert(num);
            if (package >= 0) f.packages[package].insert(num);
        } else if (std::string label = cache_label(type); !label.empty()) {
            if (attr(tag, "cache_type") == "1") label += "d";
            f.caches[label].push_back(std::stoull(attr(tag, "cache_size")));
        }
        bool self_closing = tag.size() >= 2 && tag[tag.size() - 2] == '/';
        if (!self_closing) open_packages.push_back(type == "Package" ? num : -1);
    }
    return f;
}

struct Descriptor {
    std::string archive;
    std::string target;
    std::vector<std::string> options;
    std::vector<std::string> env;
};

Descriptor read_descriptor(const std::string& path) {
    Descriptor d;
    for (const std::string& raw : util::read_lines(path)) {
        size_t colon = raw.find(':');
        if (raw.empty() || raw[0] == '#' || colon == std::string::npos) continue;
        std::string key = util::trim(raw.substr(0, colon)), value = util::trim(raw.substr(colon + 1));
        if (key == "source") d.archive = value;
        if (key == "target") d.target = value;
        if (key == "options")
            for (const std::string& o : util::split(value, ' '))
                if (!o.empty()) d.options.push_back(o);
        if (key == "env" && !util::starts_with(value, "export "))
            d.env.push_back(value.substr(0, value.find('=')));
    }
    return d;
}

// Views whose options and environment keep the machine's processors as the
// kernel lists them. Better views rank lower: showing threads a cgroup hides,
// keeping nodes of GPU memory.
int rank_of(const Descriptor& d) {
    static const std::set<std::string> neutral_options = {"-", "-v", "--no-icaches", "--whole-io",
                                                          "--disallowed"};
    static const std::set<std::string> neutral_env = {"HWLOC_SHOW_ERRORS", "HWLOC_PCI_LOCALITY",
                                                      "HWLOC_KEEP_NVIDIA_GPU_NUMA_NODES", "HWLOC_CPUKINDS",
                                                      "HWLOC_DEBUG_ALLOW_OVERLAPPING_NODE_CPUSETS"};
    for (const auto& o : d.options)
        if (!neutral_options.count(o)) return -1;
    for (const auto& e : d.env)
        if (!neutral_env.count(e)) return -1;
    int rank = 2;
    for (const auto& o : d.options)
        if (o == "--disallowed") rank = 0;
    if (!d.env.empty() && d.env[0] == "HWLOC_KEEP_NVIDIA_GPU_NUMA_NODES") rank = 1;
    return rank;
}

struct Machine {
    std::string archive;  // full path
    std::string view;     // full path of the chosen text or XML view
    bool icaches = true;
};

std::vector<Machine> machines() {
    std::vector<Machine> found;
    std::string dir = zqtest::shared_data("hwloc-linux");
    if (dir.empty()) return found;
    std::map<std::string, std::pair<int, Machine>> best;
    for (const std::string& name : util::list_dir(dir, "")) {
        if (!util::ends_with(name, ".test")) continue;
        Descriptor d = read_descriptor(dir + "/" + name);
        int rank = rank_of(d);
        if (rank < 0 || d.archive.empty() || d.target.empty()) continue;
        Machine m{dir + "/" + d.archive, dir + "/" + d.target, true};
        for (const auto& o : d.options)
            if (o == "--no-icaches") m.icaches = false;
        auto it = best.find(d.archive);
        if (it == best.end() || rank < it->second.first) best[d.archive] = {rank, m};
    }
    for (auto& [archive, ranked] : best) found.push_back(ranked.second);
    return found;
}

Facts facts_of(const Machine& m) {
    std::string text = zqtest::slurp(m.view);
    Facts f = util::ends_with(m.view, ".xml") ? facts_from_xml(text) : facts_from_console(text);
    f.icaches = m.icaches;
    return f;
}

const Card* find_card(const Page& page, const char* title_key, CardKind kind = CardKind::Rows) {
    for (const Card& c : page.cards)
        if (c.title == tr(title_key) && c.kind == kind) return &c;
    return nullptr;
}

std::string stat_of(const Page& page, const char* key) {
    for (const auto& s : page.stats)
        if (s.label == tr(key)) return s.value;
    return {};
}

void collect_threads(const TopoNode& n, std::vector<int>& cpus) {
    if (n.kind == TopoNode::Kind::Thread) cpus.push_back(n.cpu);
    for (const auto& c : n.children) collect_threads(c, cpus);
}

// Every level of the diagram sits below the level it belongs to.
bool nests_in_order(const TopoNode& n) {
    for (const auto& c : n.children) {
        bool ok = static_cast<int>(c.kind) > static_cast<int>(n.kind) &&
                  (n.kind != TopoNode::Kind::Machine || c.kind == TopoNode::Kind::Numa) &&
                  (n.kind != TopoNode::Kind::Numa || c.kind == TopoNode::Kind::Package) &&
                  (c.kind != TopoNode::Kind::Thread || n.kind == TopoNode::Kind::Core);
        if (!ok || !nests_in_order(c)) return false;
    }
    return true;
}

// The page's cache card as label -> (instances, size text of the level).
std::map<std::string, std::pair<size_t, std::string>> cache_rows(const Page& page) {
    std::map<std::string, std::pair<size_t, std::string>> rows;
    const Card* card = find_card(page, "sec.cache");
    if (!card) return rows;
    static const std::regex count_re("(\\d+) \u00d7 ");
    for (const auto& r : card->rows) {
        size_t total = 0;
        for (std::sregex_iterator it(r.value.begin(), r.value.end(), count_re), end; it != end; ++it)
            total += std::stoul((*it)[1]);
        size_t dash = r.value.find("  \u2014  ");
        rows[r.name] = {total, dash == std::string::npos ? std::string() : r.value.substr(0, dash)};
    }
    return rows;
}

// Where the recorded view and the kernel's files part ways on purpose, and
// which facts are therefore not compared for that machine.
struct Quirk {
    const char* archive;
    bool threads, packages, cores, nodes, caches;
    const char* why;
    size_t present = 0;  // CPUs the machine had when its text view leaves offline ones out
};
const Quirk QUIRKS[] = {
    {"32amd64-4s2n4c-cgroup2", true, true, true, true, true,
     "the view is limited to a cgroup's CPUs and nodes"},
    {"20s390-2g6s4c", false, true, false, false, false,
     "package ids are -1; the view makes packages of the kernel's core siblings"},
    {"40intel64-4n10c+pci-conflicts", false, true, false, false, true, "the view drops the fourth package"},
    {"64amd64-4s2n4ca2co", false, false, true, false, true,
     "the kernel lists both cores of a compute unit as SMT siblings; shared_cpu_list contradicts "
     "shared_cpu_map"},
    {"fakememinitiators-1np2c+1npp+gi", false, false, true, true, false,
     "core ids repeat without thread siblings; the view hides nodes without memory"},
    {"8em64t-2s2ca2c-buggynuma", false, false, false, true, false, "the view discards the broken node lists"},
    {"16em64t-4s2ca2c-cpusetreorder", true, true, true, false, true, "the view is limited to a cpuset"},
    {"4fake-4gr1nu1pu", true, true, true, true, true, "the view is limited to a cgroup's CPUs and nodes"},
    {"256ppc-8n8s4t", false, true, false, false, false, "package ids are -1; the view has no packages"},
    {"64fake-4n2s2ca2c2t", false, false, false, false, true,
     "shared_cpu_list is the same on every CPU and contradicts shared_cpu_map"},
    // Text views leave offline CPUs out: how many the machine had comes from elsewhere.
    {"offline-cpu0-node0", false, false, false, false, false, "its descriptor: a dual-12-core machine", 24},
    {"16amd64-8n2c-cpusets", false, false, false, false, false, "complete_cpuset of its XML view", 16},
};

Quirk quirk_of(const std::string& archive) {
    for (const Quirk& q : QUIRKS)
        if (fs::path(archive).filename().string() == std::string(q.archive) + ".tar.bz2") return q;
    return {"", false, false, false, false, false, "", 0};
}

// "27.5 MiB" back to bytes, to allow for the view's rounding of sizes.
double parse_size(const std::string& text) {
    static const std::regex re("([0-9.,]+) (B|KiB|MiB|GiB)");
    std::smatch m;
    if (!std::regex_match(text, m, re)) return -1;
    std::string number = m[1];
    std::replace(number.begin(), number.end(), ',', '.');
    double v = std::stod(number);
    for (const char* unit : {"KiB", "MiB", "GiB"}) {
        v *= 1024;
        if (m[2] == unit) return v;
    }
    return v / 1024 / 1024 / 1024;
}

bool near_any(double size, const std::vector<uint64_t>& sizes) {
    for (uint64_t s : sizes)
        if (size > 0.97 * double(s) && size < 1.03 * double(s)) return true;
    return false;
}

void check_caches(const Page& page, const Facts& want) {
    auto caches = cache_rows(page);
    for (const auto& [label, sizes] : want.caches) {
        SCOPED_TRACE(label);
        ASSERT_TRUE(caches.count(label));
        EXPECT_EQ(caches[label].first, sizes.size());
        EXPECT_TRUE(near_any(parse_size(caches[label].second), sizes)) << caches[label].second;
    }
    for (const auto& [label, row] : caches) {
        if (!want.icaches && label.find('i') != std::string::npos) continue;
        EXPECT_TRUE(want.caches.count(label)) << "extra cache level " << label;
    }
}

void check_diagram(const Page& page, size_t cpus) {
    ASSERT_EQ(page.cards.front().kind, CardKind::Diagram);
    const TopoNode& tree = page.cards.front().diagram;
    EXPECT_TRUE(nests_in_order(tree));
    std::vector<int> drawn;
    collect_threads(tree, drawn);
    EXPECT_EQ(drawn.size(), cpus);
    EXPECT_EQ(std::set<int>(drawn.begin(), drawn.end()).size(), cpus);
}

// The view lists the online threads; only an XML view keeps offline ones, in
// the machine's complete set. Older kernels wrote no "present" and "online"
// lists, and both pages then count the cpuN directories.
void check_cpu_counts(const Page& topo, const Card& tiles, const Facts& want, const Quirk& quirk) {
    const size_t online = want.threads.size();
    const size_t present = quirk.present ? quirk.present : want.present ? want.present : online;
    EXPECT_EQ(tiles.cores.size(), present);
    EXPECT_EQ(size_t(std::count_if(tiles.cores.begin(), tiles.cores.end(), [](auto& t) { return t.online; })),
              online);
    EXPECT_NE(stat_of(topo, "f.threads_per_core"), "0");
    Page cpu = probe::collect_cpu(-1);
    std::map<std::string, std::string> rows;
    if (const Card* card = find_card(cpu, "sec.topology"))
        for (const auto& r : card->rows) rows[r.name] = r.value;
    EXPECT_EQ(rows[tr("f.threads_logical")], util::fmt_int(present));
    EXPECT_EQ(rows[tr("f.cpus_online")], util::fmt_int(online));
    EXPECT_NE(rows[tr("f.threads_per_core")], "0");
}

// The trees unpack to tens of thousands of small files: in memory when the
// machine offers it, which is several times faster than on disk.
class UnpackDir {
public:
    UnpackDir() {
        std::string base = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string();
        std::string tmpl = base + "/zqtopo-XXXXXX";
        if (::mkdtemp(tmpl.data())) m_path = tmpl;
    }
    ~UnpackDir() {
        std::error_code ec;
        if (!m_path.empty()) fs::remove_all(m_path, ec);
    }
    UnpackDir(const UnpackDir&) = delete;
    UnpackDir& operator=(const UnpackDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

void check_machine(const Machine& m) {
    const Facts want = facts_of(m);
    const Quirk quirk = quirk_of(m.archive);
    UnpackDir tmp;
    ASSERT_FALSE(tmp.path().empty());
    std::string root = zqtest::unpack_tarball(m.archive, tmp.path());
    ASSERT_FALSE(root.empty());
    zqtest::ScopedRoot scoped(root);

    Page page = probe::collect_topology(-1);
    const Card* cores = find_card(page, "tree.cores", CardKind::Cores);
    ASSERT_TRUE(cores);
    EXPECT_EQ(stat_of(page, "f.threads_logical"), util::fmt_int(cores->cores.size()));
    if (!quirk.threads) check_cpu_counts(page, *cores, want, quirk);

    // The kernel takes the topology files of an offline CPU away: such a CPU
    // is a tile of no package, but no core and not drawn in the diagram.
    size_t unplaced = 0;
    bool offline_placed = false;
    for (const auto& t : cores->cores) {
        if (t.online) continue;
        std::string cpu = "/sys/devices/system/cpu/cpu" + std::to_string(t.index);
        bool has_ids = util::path_exists(cpu + "/topology/physical_package_id");
        offline_placed = offline_placed || has_ids;
        if (!has_ids && util::read_file(cpu + "/online") == "0") {
            ++unplaced;
            EXPECT_EQ(t.package, -1) << "CPU " << t.index;
        }
    }
    check_diagram(page, cores->cores.size() - unplaced);

    // The recorded view holds the online threads only.
    std::set<int> online;
    std::map<int, std::set<int>> online_by_package;
    size_t online_cores = 0;
    for (const auto& t : cores->cores) {
        if (!t.online) continue;
        online.insert(t.index);
        online_by_package[t.package].insert(t.index);
        online_cores += t.first_thread;
    }
    const bool all_online = online.size() == cores->cores.size();
    // Only then do the page's counts cover the same CPUs as the view.
    const bool only_online_placed = !offline_placed;
    const int first = online.empty() ? 0 : *online.begin();
    const std::string cpu_dir = "/sys/devices/system/cpu/cpu" + std::to_string(first);
    const bool has_topology = util::path_exists(cpu_dir + "/topology/physical_package_id");

    if (!quirk.threads) {
        EXPECT_EQ(online, want.threads);
    }
    if (has_topology && !quirk.packages) {
        EXPECT_EQ(online_by_package, want.packages);
        if (only_online_placed) {
            EXPECT_EQ(stat_of(page, "f.sockets"), util::fmt_int(want.packages.size()));
        }
        for (const auto& [id, threads] : want.packages) {
            Page one = probe::collect_topology(id);
            EXPECT_EQ(one.headline, I18n::instance().trf("tree.socket_n", id));
            std::set<int> shown;
            if (const Card* c = find_card(one, "tree.cores", CardKind::Cores))
                for (const auto& t : c->cores)
                    if (t.online) shown.insert(t.index);
            EXPECT_EQ(shown, threads) << "socket " << id;
        }
    }
    if (has_topology && !quirk.cores) {
        EXPECT_EQ(online_cores, want.cores);
        if (only_online_placed) {
            EXPECT_EQ(stat_of(page, "f.cores_physical"), util::fmt_int(want.cores));
        }
    }
    // Without node directories the view still makes one node of the machine.
    if (util::is_dir("/sys/devices/system/node") && !quirk.nodes) {
        std::set<int> nodes;
        if (const Card* numa = find_card(page, "tree.numa"))
            for (const auto& r : numa->rows)
                if (r.note == "cpulist") nodes.insert(std::stoi(r.name.substr(4)));
        EXPECT_EQ(nodes, want.nodes);
        EXPECT_EQ(stat_of(page, "f.numa_nodes"), nodes.empty() ? "" : util::fmt_int(nodes.size()));
    }
    // Offline CPUs may keep their cache directories; lists are needed to tell
    // instances apart.
    if (all_online && util::path_exists(cpu_dir + "/cache/index0/shared_cpu_list") && !quirk.caches)
        check_caches(page, want);
}

void PrintTo(const Machine& m, std::ostream* os) { *os << fs::path(m.view).filename().string(); }

class TopologyMachines : public testing::TestWithParam<Machine> {};

TEST_P(TopologyMachines, PageAgreesWithRecordedTopology) { check_machine(GetParam()); }

std::string test_name(const testing::TestParamInfo<Machine>& info) {
    std::string name = fs::path(info.param.archive).filename().string();
    name = name.substr(0, name.find(".tar"));
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Recorded, TopologyMachines, testing::ValuesIn(machines()), test_name);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(TopologyMachines);

TEST(TopologyMachineData, AllRecordedMachinesAreChecked) {
    if (zqtest::shared_data("hwloc-linux").empty()) GTEST_SKIP() << "no shared machine data";
    EXPECT_GE(machines().size(), 35u);
}

}  // namespace
