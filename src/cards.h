// The card renderer: turns one probe::Page into the widgets of one tab, with
// cairo drawings for chips, vulnerability lights, cache bars, usage bars,
// core tiles and the topology diagram.
#pragma once

#include <gtk/gtk.h>

#include <utility>
#include <vector>

#include "probe.h"
#include "theme.h"

namespace load {
class CpuLoad;
}

namespace ui {

// What the renderer needs from the shell. The live pairs point into the
// pages: the shell clears both lists before it destroys or replaces a page.
struct Context {
    Palette palette = Palette::light();
    bool show_sources = false;           // each row's source note as a side column
    const load::CpuLoad* cpu_load = nullptr;  // read by core tiles and the diagram; may be null
    std::vector<std::pair<probe::Row*, GtkWidget*>> live_rows;
    std::vector<std::pair<probe::Stat*, GtkWidget*>> live_stats;
    // Drawn cards whose picture follows the tick (core tiles, usage bars, the
    // topology diagram): the shell repaints each of them once a second.
    std::vector<GtkWidget*> live_drawings;
};

// Called with the caller's data and the value of the entry picked in a
// page's selector.
using SelectorChanged = void (*)(gpointer data, int value);

// A new scrolled window (floating reference) holding the whole page. The
// page and the context must outlive the widgets. `on_elevate` (may be null)
// is connected to every unlock and elevate button; a null `on_select` hides
// the page's selector.
GtkWidget* build_page(probe::Page& page, Context& ctx, GCallback on_elevate, gpointer elevate_data,
                      SelectorChanged on_select, gpointer select_data);

}  // namespace ui
