// Inside the card renderer: the drawing toolkit, the drawings, their height
// rules and the column arithmetic. Only the renderer and its tests include
// this; the shell uses cards.h.
#pragma once

#include <cairo.h>
#include <pango/pango.h>

#include <string>
#include <vector>

#include "cards.h"

namespace ui::detail {

// ---- Drawing toolkit ---------------------------------------------------------
Rgb col(const std::string& hex);  // mid grey for a text that does not parse
Rgb load_color(const Palette& p, double v);
std::string ui_font(int size, bool bold);
std::string num_font(int size, bool bold);
void rounded_rect(cairo_t* cr, double x, double y, double w, double h, double r);
double text_width(PangoLayout* layout, const std::string& font, const std::string& text);
// A layout that places its text by the left edge in every language.
PangoLayout* drawing_layout(cairo_t* cr);
void set_color(cairo_t* cr, const Rgb& c, double alpha);
// Shows the layout's text with its top-left corner at (x, y); returns its width.
double show_layout_at(cairo_t* cr, PangoLayout* layout, double x, double y, const Rgb& color, double alpha);

// ---- Drawings, at a given width (the draw handlers pass the allocation) -------
enum class DrawKind { Cores = 0, Caches = 1, Usage = 2, Vulns = 3, Chips = 4, Diagram = 5 };

void draw_chips(cairo_t* cr, const probe::Card& card, const Context& ctx, double width);
void draw_vulns(cairo_t* cr, const probe::Card& card, const Context& ctx, double width);
void draw_caches(cairo_t* cr, const probe::Card& card, const Context& ctx, double width);
void draw_usage(cairo_t* cr, const probe::Card& card, const Context& ctx, double width);
void draw_cores(cairo_t* cr, const probe::Card& card, const Context& ctx, double width);
void draw_topology(cairo_t* cr, const probe::Card& card, const Context& ctx, double width);
void draw_kind(cairo_t* cr, DrawKind kind, const probe::Card& card, const Context& ctx, double width);

// The height a drawing needs at a width; `layout` measures texts.
int drawing_height(DrawKind kind, const probe::Card& card, PangoLayout* layout, double width);

// Vulnerability state of a row value: 0 not affected, 1 mitigated or unknown,
// 2 vulnerable.
int vuln_state(const std::string& value);
std::string cache_note(const probe::CacheBar& bar);

struct ChipBox {
    double x = 0, y = 0, w = 0, h = 0;
};
std::vector<ChipBox> layout_chips(const probe::Card& card, PangoLayout* layout, double width,
                                  double* total_height);

struct CoresLayout {
    double tile_w = 96;
    double tile_h = 50;
    double gap = 5;
    double head_h = 18;
    int columns = 1;
    double height = 0;
    std::vector<int> packages;
    std::vector<std::vector<const probe::Core*>> by_package;
};
CoresLayout compute_cores_layout(const probe::Card& card, double width);

// ---- Topology diagram ------------------------------------------------------------
struct Metrics {
    double thread_w, thread_h, gap, pad, title, font;
};
struct Box {
    double w = 0, h = 0;
};
struct Layout {
    Box box;
    std::vector<Box> child_box;
    std::vector<double> child_x;
    std::vector<double> child_y;
};
int count_threads(const probe::TopoNode& node);
Metrics metrics_for(int threads);
Layout measure(const probe::TopoNode& node, const Metrics& m, double avail, std::vector<Layout>& out,
               PangoLayout* layout);

// ---- Column layout -------------------------------------------------------------
int estimate_height(const probe::Card& card);
// Columns that fit a visible width, 1 .. ncards.
int column_count(int width, int colw, int ncards);
// The stretched column width for n columns, or colw when that is wider.
int stretched_width(int colw, int avail, int n);
// The column of each card (page order): tallest first, into the shortest
// column, leftmost on ties.
std::vector<int> place_cards(const std::vector<int>& heights, int n);

// What a group remembers between allocations.
struct ColumnsPlan {
    int current = 0;     // columns of the last fill; -1 while a re-measure is pending
    int remeasured = 0;  // re-measure passes made, never reset
    bool pending = false;
    int avail = 0;
};
// Decides on an allocation: the column count to repack with, or 0 for none.
// Marks a repack as pending when it asks for one.
int plan_allocation(ColumnsPlan& st, int width, int colw, int ncards);

}  // namespace ui::detail
