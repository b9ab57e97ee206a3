// The pages of every tab, the tab table that collects and refreshes them,
// the plain-text report written from them, and the modes of the command line
// that need no window. Free of the toolkit: the report and the collector run
// without loading it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "probe.h"

// The program's name, version and build number, as every mode, the window
// title, the About dialog and the crash report give them.
inline constexpr const char* PROGRAM = "Zorvantelquist";
inline constexpr const char* VERSION = "1.0";
inline constexpr const char* BUILD = "35";

// Between the figures of a stat line and the columns of a row.
inline constexpr const char* FIGURE_JOINER = "   \u00b7   ";

// The page of each tab with its selector value; the window's shell is one.
class PageSet {
public:
    // One row of the tab table: which page a tab shows and how it is
    // collected again for another selector value.
    struct TabDef {
        probe::Page* page = nullptr;
        std::string title;
        const char* name = "";
        void (*recollect)(PageSet*, int) = nullptr;  // null: the page has no selector
    };

    PageSet() = default;
    PageSet(const PageSet&) = delete;
    PageSet& operator=(const PageSet&) = delete;

    // The text report of the present tabs.
    std::string report_text() const;
    // Writes the report to `file` (null: standard output); the exit status.
    int write_report(const char* file) const;
    // The whole of `text` into `f`, flushed; false on any failed write.
    static bool write_all(std::FILE* f, const std::string& text);

    // Each optional page is replaced only while its test holds; one that
    // fails keeps its previous content. Returns which tabs exist.
    std::vector<bool> collect_pages(bool with_selection);
    void fill_tabs(const std::vector<bool>& present, bool with_recollect);
    // The live values of every page that has them, in collection order.
    void refresh_live_pages();

    probe::Page m_cpu, m_topo, m_gpu, m_pci, m_disk, m_usb, m_net, m_board, m_ram;
    int m_sel_cpu = -1, m_sel_topo = -1, m_sel_gpu = -1, m_sel_ram = -1, m_sel_pci = -1, m_sel_disk = -1,
        m_sel_usb = -1, m_sel_net = -1;
    std::vector<TabDef> m_tabs;
};

namespace cli {

// The catalogue and the number separators of a language setting ("auto" or
// a code).
void apply_language(const std::string& code);

// Runs a mode that needs no window (--report, --root-collect, --version,
// --help) and returns its exit status; -1 when the window is asked for.
int run_text_mode(int argc, char** argv, PageSet& pages);

}  // namespace cli
