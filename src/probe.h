// The page model: what every page builder fills, the shell renders and the
// text report prints, plus the declarations of the page builders, presence
// tests and live refreshers of all tabs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hw/root_data.h"

namespace probe {

struct Row {
    Row() = default;
    Row(std::string n, std::string v, std::string nt, bool lk, std::string lv, std::string ex);

    std::string name;
    std::string value;
    std::string note;    // source of the value: tooltip and "sources" column, never printed
    bool locked = false; // needs root and is not at hand
    std::string live;    // key under which the tick rewrites the value; empty = static
    std::string extra;   // short dim side text
    std::vector<std::string> cols;  // multi-column row; the last column is the live one
};

struct Chip {
    std::string label;
    std::string note;
};

struct CacheBar {
    int level = 0;
    std::string label;
    std::string type;
    uint64_t total = 0;
    std::vector<uint64_t> blocks;
    std::string ways;
    std::string line_size;
    std::string shared_with;
};

struct Core {
    int index = 0;
    int package = -1;
    int core_id = -1;
    bool online = true;
    bool first_thread = true;
    uint64_t cur_khz = 0;  // the only field a live refresh rewrites
    uint64_t min_khz = 0;
    uint64_t max_khz = 0;
    std::string governor;
    std::string kind;  // "P" or "E" on hybrid processors
};

struct TopoNode {
    enum class Kind : int32_t { Machine = 0, Numa = 1, Package = 2, Cache = 3, Core = 4, Thread = 5 };
    Kind kind = Kind::Machine;
    std::string label;
    std::string detail;
    int cpu = -1;
    bool online = true;
    std::vector<TopoNode> children;
};

enum class CardKind : int32_t { Rows = 0, Chips = 1, Caches = 2, Cores = 3, Slots = 4, Vulns = 5, Usage = 6, Diagram = 7 };

struct Slot {
    hw::MemoryModule mod;
    int number = 0;  // 1-based position in the privileged data's module list
};

struct UsageBar {
    std::string label;  // also how a refresher finds the bar
    uint64_t used = 0;
    uint64_t total = 0;  // 0: neither drawn nor printed
    std::string note;
};

struct Card {
    Card() = default;
    bool empty() const;

    std::string title;
    std::string subtitle;
    CardKind kind = CardKind::Rows;
    bool wide = false;
    std::vector<Row> rows;
    std::vector<Chip> chips;
    std::vector<CacheBar> caches;
    std::vector<Core> cores;
    std::vector<Slot> slots;
    std::vector<UsageBar> usage;
    TopoNode diagram;
    std::string hint;
    bool hint_elevates = false;
};

struct Stat {
    std::string label;
    std::string value;
    std::string unit;
    std::string live;
};

struct Selector {
    std::string label;
    std::vector<std::string> options;
    int selected = 0;
    std::vector<int> values;
};

struct Page {
    std::string headline;
    std::string subline;
    std::vector<Stat> stats;
    std::vector<Card> cards;
    Selector selector;
};

// Page builders: the argument is the value chosen in the page's selector,
// -1 meaning all (or the default choice).
Page collect_cpu(int package);
Page collect_topology(int socket);
Page collect_gpu(int device);
Page collect_board();
Page collect_memory(int bank);
Page collect_disk(int disk);
Page collect_pci(int cls);
Page collect_usb_page(int bus);
Page collect_net(int iface);

// Presence tests of the optional tabs.
bool has_gpu();
bool has_disks();
bool has_pci();
bool has_usb();
bool has_net();

// Live refreshers: rewrite live-keyed values in place, never add or remove.
void refresh_live_cpu(Page& page);
void refresh_live_topology(Page& page);
void refresh_live_gpu(Page& page);
void refresh_live_board(Page& page);
// The same at a given monotonic time in seconds, so tests can step the clock.
void refresh_live_board(Page& page, double now_seconds);
void refresh_live_memory(Page& page);
void refresh_live_disk(Page& page);
void refresh_live_pci(Page& page);
void refresh_live_net(Page& page);

// The one rule that turns a PCIe link speed (GT/s) and lane count into text.
std::string pcie_link_text(double gts, unsigned width);

// Sandbox permission hints and the one-line machine name.
// Snap names are lower-case letters, digits and '-': nothing else may reach a
// command the user is asked to run.
bool valid_snap_name(const std::string& name);
std::string snap_hint(const char* iface);
std::vector<std::string> missing_snap_permissions();
std::string machine_line();

}  // namespace probe
