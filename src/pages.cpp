#include "pages.h"

#include <algorithm>

#include <unistd.h>

#include <array>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <utility>

#include "cpu_sysfs.h"
#include "gpu.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "sensors.h"
#include "settings.h"
#include "util.h"

namespace {

// The rows name each page and selector as members of the window's shell,
// which is a PageSet.
using App = PageSet;

// ---- The tab table ----------------------------------------------------------
// Every possible tab in tab order. Rows without a presence test always exist;
// the optional ones exist while their test holds, and only their pages with
// cards are refreshed on the tick. A page without a selector has no
// selection field and a builder that ignores its argument.
struct TabSpec {
    const char* name;
    const char* title_key;
    probe::Page PageSet::*page;
    int PageSet::*selection;  // null: the page has no selector
    probe::Page (*build)(int);
    bool (*present)();                   // null: always present
    void (*refresh_live)(probe::Page&);  // null: nothing live
    int collect_rank;                    // pages are collected and refreshed in this order
};

// The board page has no selector: its builder takes no value to ignore.
probe::Page collect_board_tab(int) { return probe::collect_board(); }

constexpr TabSpec TAB_SPECS[] = {
    {"cpu", "tree.cpu", &App::m_cpu, &App::m_sel_cpu, probe::collect_cpu, nullptr, probe::refresh_live_cpu,
     0},
    {"topo", "sec.topology", &App::m_topo, &App::m_sel_topo, probe::collect_topology, nullptr,
     probe::refresh_live_topology, 1},
    {"gpu", "tree.graphics", &App::m_gpu, &App::m_sel_gpu, probe::collect_gpu, probe::has_gpu,
     probe::refresh_live_gpu, 4},
    {"board", "sec.mainboard", &App::m_board, nullptr, collect_board_tab, nullptr, probe::refresh_live_board,
     2},
    {"memory", "tree.memory", &App::m_ram, &App::m_sel_ram, probe::collect_memory, nullptr,
     probe::refresh_live_memory, 3},
    {"disk", "tree.storage", &App::m_disk, &App::m_sel_disk, probe::collect_disk, probe::has_disks,
     probe::refresh_live_disk, 5},
    {"pci", "tree.pci", &App::m_pci, &App::m_sel_pci, probe::collect_pci, probe::has_pci,
     probe::refresh_live_pci, 6},
    {"usb", "tree.usb", &App::m_usb, &App::m_sel_usb, probe::collect_usb_page, probe::has_usb, nullptr, 7},
    {"net", "tree.network", &App::m_net, &App::m_sel_net, probe::collect_net, probe::has_net,
     probe::refresh_live_net, 8},
};
constexpr size_t TAB_COUNT = sizeof(TAB_SPECS) / sizeof(TAB_SPECS[0]);

template <size_t I>
void recollect(PageSet* app, int value) {
    const TabSpec& entry = TAB_SPECS[I];
    app->*entry.selection = value;
    // A page collected on its own names the graphics devices of now, not
    // those of the last full collection: a monitor plugged in since counts.
    gpu::forget_snapshot();
    app->*entry.page = entry.build(value);
}

constexpr bool has_selector(const TabSpec& entry) { return entry.selection != nullptr; }

template <size_t... I>
constexpr auto make_recollectors(std::index_sequence<I...>) {
    return std::array<void (*)(PageSet*, int), TAB_COUNT>{
        (has_selector(TAB_SPECS[I]) ? &recollect<I> : nullptr)...};
}
constexpr auto RECOLLECT = make_recollectors(std::make_index_sequence<TAB_COUNT>{});

// Tab indexes in collection order: the always-present pages first.
const std::vector<size_t>& collection_order() {
    static const std::vector<size_t> order = [] {
        // Ranks are fixed per tab, not dense: a table holding only some tabs has gaps.
        std::vector<size_t> o(TAB_COUNT);
        for (size_t i = 0; i < TAB_COUNT; ++i) o[i] = i;
        std::stable_sort(o.begin(), o.end(), [](size_t a, size_t b) {
            return TAB_SPECS[a].collect_rank < TAB_SPECS[b].collect_rank;
        });
        return o;
    }();
    return order;
}

// ---- The text report ----------------------------------------------------
// The report is appended to a string: a string stream would link the C++
// library's whole locale machinery into both programs, some 300 KB of code
// that every start maps.
//
// Every std::string written is a field text of the pages, from firmware, the
// kernel or a database, and is repaired on its way in; the report's own
// literals are written as they are.
struct Text {
    std::string s;
};

Text& operator<<(Text& t, const std::string& field) {
    t.s += util::display_text(field);
    return t;
}

Text& operator<<(Text& t, const char* literal) {
    t.s += literal;
    return t;
}

Text& operator<<(Text& t, char c) {
    t.s += c;
    return t;
}

Text& operator<<(Text& t, int v) {
    t.s += std::to_string(v);
    return t;
}

std::string repeat(const char* s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

void write_stats(Text& out, const std::vector<probe::Stat>& stats) {
    if (stats.empty()) return;
    std::vector<std::string> parts;
    for (const probe::Stat& s : stats)
        parts.push_back(s.label + ": " + s.value + (s.unit.empty() ? "" : " " + s.unit));
    out << util::join(parts, FIGURE_JOINER) << '\n';
}

void write_row(Text& out, const probe::Row& row) {
    out << "    " << row.name << ": ";
    if (row.locked)
        out << tr("msg.needs_root");
    else if (row.cols.empty())
        out << row.value;
    else
        out << util::join(row.cols, FIGURE_JOINER);
    if (!row.extra.empty()) out << "  (" << row.extra << ')';
    out << '\n';
}

void write_cache(Text& out, const probe::CacheBar& c) {
    out << "    " << c.label << ": " << util::fmt_bytes(c.total);
    if (c.blocks.size() >= 2) {
        bool all_equal = true;
        for (uint64_t b : c.blocks) all_equal = all_equal && b == c.blocks.front();
        if (all_equal) {
            out << "  (" << util::fmt_int(c.blocks.size()) << " \u00d7 " << util::fmt_bytes(c.blocks.front())
                << ')';
        } else {
            std::vector<std::string> sizes;
            for (uint64_t b : c.blocks) sizes.push_back(util::fmt_bytes(b));
            out << "  (" << util::join(sizes, " + ") << ')';
        }
    }
    if (!c.shared_with.empty()) out << "  " << c.shared_with;
    out << '\n';
}

void write_core(Text& out, const probe::Core& c) {
    out << "    CPU " << c.index;
    if (c.package >= 0) out << "  " << tr("f.package_id") << ' ' << c.package;
    if (c.core_id >= 0) out << "  " << tr("f.core_id") << ' ' << c.core_id;
    if (c.cur_khz != 0) out << "  " << util::fmt_khz(c.cur_khz);
    if (!c.governor.empty()) out << "  " << c.governor;
    if (!c.kind.empty()) out << "  [" << c.kind << ']';
    if (!c.online) out << "  " << tr("value.offline");
    out << '\n';
}

void write_slot(Text& out, const probe::Slot& s) {
    const hw::MemoryModule& m = s.mod;
    out << "    ";
    if (m.locator.empty())
        out << "Slot " << s.number;
    else
        out << m.locator;
    out << ": ";
    if (m.size_bytes == 0) {
        out << tr("value.slot_empty");
    } else {
        out << util::fmt_bytes(m.size_bytes);
        if (!m.type.empty()) out << ' ' << m.type;
        if (!m.configured_speed.empty()) out << " @ " << m.configured_speed;
        if (!m.manufacturer.empty()) out << "  " << m.manufacturer;
        if (!m.part_number.empty()) out << ' ' << m.part_number;
    }
    out << '\n';
}

void write_card(Text& out, const probe::Card& card) {
    out << "\n\u2500\u2500 " << card.title;
    if (!card.subtitle.empty()) out << "  (" << card.subtitle << ')';
    out << '\n';
    for (const probe::Row& r : card.rows) write_row(out, r);
    for (const probe::CacheBar& c : card.caches) write_cache(out, c);
    if (!card.chips.empty()) {
        std::vector<std::string> labels;
        for (const probe::Chip& c : card.chips) labels.push_back(c.label);
        out << "    " << util::join(labels, ", ") << '\n';
    }
    for (const probe::Core& c : card.cores) write_core(out, c);
    for (const probe::Slot& s : card.slots) write_slot(out, s);
    for (const probe::UsageBar& u : card.usage)
        if (u.total != 0) out << "    " << u.label << ": " << util::fmt_bytes_pair(u.used, u.total) << '\n';
    if (card.hint.empty()) return;
    // The one field made of lines: a sandbox hint puts its command on a line of its own.
    out << "    (";
    out.s += util::display_text(card.hint, true);
    out << ")\n";
}

void write_page(Text& out, const std::string& title, const probe::Page& page) {
    out << "\n\u2550\u2550 " << title << ' ' << repeat("\u2550", 38) << '\n';
    if (!page.headline.empty()) out << page.headline << '\n';
    if (!page.subline.empty()) out << page.subline << '\n';
    write_stats(out, page.stats);
    for (const probe::Card& card : page.cards)
        if (!card.empty()) write_card(out, card);
}

}  // namespace

// ---- Pages and the report ----------------------------------------------------

// A failed write to standard output (a closed pipe, a full disk) fails the
// run just as a failed write to a file does.
int PageSet::write_report(const char* file) const {
    std::string text = report_text();
    if (!file) {
        std::signal(SIGPIPE, SIG_IGN);
        return write_all(stdout, text) ? 0 : 1;
    }
    std::FILE* f = std::fopen(file, "w");
    if (!f) {
        std::fprintf(stderr, "%s\n", file);
        return 1;
    }
    bool ok = write_all(f, text);
    ok = std::fclose(f) == 0 && ok;
    return ok ? 0 : 1;
}

bool PageSet::write_all(std::FILE* f, const std::string& text) {
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fflush(f) == 0 && !std::ferror(f) && ok;
}

std::string PageSet::report_text() const {
    Text out;
    out << PROGRAM << ' ' << VERSION << " (Build " << BUILD << ") \u2014 " << probe::machine_line() << '\n';
    for (const TabDef& tab : m_tabs)
        if (tab.page) write_page(out, tab.title, *tab.page);
    out << '\n';
    return out.s;
}

std::vector<bool> PageSet::collect_pages(bool with_selection) {
    // Every page of this collection names graphics devices from one enumeration.
    gpu::forget_snapshot();
    cpusys::keep_files(true);  // and the cpu and topology pages from one reading
    sensors::keep_collection(true);
    util::keep_reads(true);  // and every page reads a device list or identity once
    std::vector<bool> present(TAB_COUNT, true);
    for (size_t i : collection_order()) {
        const TabSpec& entry = TAB_SPECS[i];
        present[i] = !entry.present || entry.present();
        if (!present[i]) continue;
        int value = (with_selection && entry.selection) ? this->*entry.selection : -1;
        this->*entry.page = entry.build(value);
    }
    util::keep_reads(false);
    sensors::keep_collection(false);
    cpusys::keep_files(false);
    return present;
}

void PageSet::fill_tabs(const std::vector<bool>& present, bool with_recollect) {
    m_tabs.clear();
    for (size_t i = 0; i < TAB_COUNT; ++i) {
        const TabSpec& entry = TAB_SPECS[i];
        if (!present[i]) continue;
        m_tabs.push_back(
            {&(this->*entry.page), tr(entry.title_key), entry.name, with_recollect ? RECOLLECT[i] : nullptr});
    }
}

void PageSet::refresh_live_pages() {
    for (size_t i : collection_order()) {
        const TabSpec& entry = TAB_SPECS[i];
        if (!entry.refresh_live) continue;
        probe::Page& page = this->*entry.page;
        if (entry.present && page.cards.empty()) continue;
        entry.refresh_live(page);
    }
}

// ---- Command line ----------------------------------------------------------

namespace cli {

void apply_language(const std::string& code) {
    I18n& i18n = I18n::instance();
    i18n.set_language(code);
    util::set_number_format(i18n.tr("num.decimal"), i18n.tr("num.group"));
}

namespace {

int run_report(int argc, char** argv, int option_index, PageSet& pages) {
    std::setlocale(LC_NUMERIC, "C");
    apply_language(SettingsStore::instance().get().language);
    if (geteuid() == 0) hw::RootData::instance().collect_as_root();
    util::keep_reads(true);  // the header's machine line reads the mainboard page's files
    pages.fill_tabs(pages.collect_pages(false), false);
    const char* file = nullptr;
    if (option_index + 1 < argc && argv[option_index + 1][0] != '-') file = argv[option_index + 1];
    const int status = pages.write_report(file);
    util::keep_reads(false);
    return status;
}

}  // namespace

int run_text_mode(int argc, char** argv, PageSet& pages) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--root-collect") {
            hw::RootData& data = hw::RootData::instance();
            data.collect_as_root();
            std::string text = data.serialize();
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
            return data.available ? 0 : 1;
        }
        if (arg == "--report" || arg == "-r") return run_report(argc, argv, i, pages);
        if (arg == "--version" || arg == "-v") {
            std::printf("%s %s\n", PROGRAM, VERSION);
            return 0;
        }
        if (arg == "--help" || arg == "-h") {
            std::printf("%s %s\n\n", PROGRAM, VERSION);
            std::printf("  (ohne Argument)    Fenster oeffnen\n");
            std::printf("  --report [DATEI]   alle Angaben ausgeben oder speichern\n");
            std::printf("  --version          Version ausgeben\n");
            std::printf("  --help             diese Hilfe\n");
            return 0;
        }
    }
    return -1;
}

}  // namespace cli
