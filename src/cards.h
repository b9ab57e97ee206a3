// The card renderer: turns one probe::Page into the widgets of one tab, with
// cairo drawings for chips, vulnerability lights, cache bars, usage bars,
// core tiles and the topology diagram.
#pragma once

#include <gtk/gtk.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "probe.h"
#include "theme.h"

namespace load {
class CpuLoad;
}

namespace ui {

namespace detail {
enum class DrawKind;
}

// A drawn card whose picture follows the tick (core tiles, usage bars, the
// topology diagram).
struct LiveDrawing {
    GtkWidget* area = nullptr;
    const probe::Card* card = nullptr;
    detail::DrawKind kind{};
    int page = -1;  // the tab that holds it; the shell sets it
    bool drawn_known = false;
    uint64_t drawn = 0;  // a digest of the values it was last queued with
};

// What the renderer needs from the shell. The live pairs point into the
// pages: the shell clears both lists before it destroys or replaces a page.
struct Context {
    Palette palette = Palette::light();
    bool show_sources = false;           // each row's source note as a side column
    const load::CpuLoad* cpu_load = nullptr;  // read by core tiles and the diagram; may be null
    std::vector<std::pair<probe::Row*, GtkWidget*>> live_rows;
    std::vector<std::pair<probe::Stat*, GtkWidget*>> live_stats;
    std::vector<LiveDrawing> live_drawings;
};

// Queues a redraw of each live drawing on tab `page` whose shown values
// (figures, loads, clocks, colours) changed since it was last queued;
// returns how many it queued. A redraw queued on the stack would not reach
// them: they sit inside the pages' scrolled viewports, which have windows of
// their own.
size_t queue_changed_drawings(Context& ctx, int page);

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
