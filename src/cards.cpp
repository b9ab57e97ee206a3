#include "cards.h"

#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <unordered_map>
#include <vector>

#include "cards_detail.h"
#include "i18n.h"
#include "load.h"
#include "util.h"

namespace ui {

namespace detail {

void set_color(cairo_t* cr, const Rgb& c, double alpha) { cairo_set_source_rgba(cr, c.r, c.g, c.b, alpha); }

double show_layout_at(cairo_t* cr, PangoLayout* layout, double x, double y, const Rgb& color, double alpha) {
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    set_color(cr, color, alpha);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    return w;
}

namespace {

// Every text reaches GTK and Pango through the setters below, and both cut
// at a NUL and cut or refuse bytes that are not UTF-8: firmware, the kernel
// and the name databases promise neither. The report repairs alike.
std::string shown(const std::string& text) { return util::display_text(text); }

GtkWidget* new_label(const std::string& text) { return gtk_label_new(shown(text).c_str()); }

void set_tooltip(GtkWidget* w, const std::string& text) {
    gtk_widget_set_tooltip_text(w, shown(text).c_str());
}

}  // namespace

// ---- Drawing toolkit ---------------------------------------------------------

Rgb col(const std::string& hex) {
    Rgb c{0.5, 0.5, 0.5};
    hex_to_rgb(hex, c);
    return c;
}

// Drawings place every text by its left edge; a right-to-left paragraph
// would align to the right end of its width instead and turn "67 %" around.
PangoLayout* drawing_layout(cairo_t* cr) {
    PangoLayout* layout = pango_cairo_create_layout(cr);
    pango_context_set_base_dir(pango_layout_get_context(layout), PANGO_DIRECTION_LTR);
    pango_layout_set_auto_dir(layout, FALSE);
    pango_layout_context_changed(layout);
    return layout;
}

namespace {

void set_font(PangoLayout* layout, const std::string& font) {
    PangoFontDescription* desc = pango_font_description_from_string(font.c_str());
    pango_layout_set_font_description(layout, desc);
    pango_font_description_free(desc);
}

// One line of text with its top-left corner at (x, y); returns its width.
// A positive max_w ellipsizes the end to that width.
double draw_text(cairo_t* cr, PangoLayout* layout, const std::string& font, const std::string& text, double x,
                 double y, const Rgb& color, double max_w, double alpha) {
    set_font(layout, font);
    pango_layout_set_text(layout, shown(text).c_str(), -1);
    if (max_w > 0) {
        pango_layout_set_width(layout, static_cast<int>(max_w * PANGO_SCALE));
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    } else {
        pango_layout_set_width(layout, -1);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_NONE);
    }
    return show_layout_at(cr, layout, x, y, color, alpha);
}

void fill_rounded(cairo_t* cr, double x, double y, double w, double h, double r, const Rgb& fill,
                  double alpha) {
    rounded_rect(cr, x, y, w, h, r);
    set_color(cr, fill, alpha);
    cairo_fill(cr);
}

void fill_and_stroke(cairo_t* cr, double x, double y, double w, double h, double r, const Rgb& fill,
                     const Rgb& border) {
    rounded_rect(cr, x, y, w, h, r);
    set_color(cr, fill, 1.0);
    cairo_fill_preserve(cr);
    set_color(cr, border, 1.0);
    cairo_set_line_width(cr, 1.0);
    cairo_stroke(cr);
}

}  // namespace

Rgb load_color(const Palette& p, double v) {
    Rgb low = col(p.load_low), mid = col(p.load_mid), high = col(p.load_high);
    if (v < 0) return low;
    if (v < 0.5) return mix(mid, low, 2 * v);
    return mix(high, mid, std::min(1.0, 2 * (v - 0.5)));
}

std::string ui_font(int size, bool bold) {
    return std::string(I18n::instance().ui_font_family()) + (bold ? " Bold " : " ") + std::to_string(size);
}

std::string num_font(int size, bool bold) {
    return std::string("Monospace") + (bold ? " Bold " : " ") + std::to_string(size);
}

void rounded_rect(cairo_t* cr, double x, double y, double w, double h, double r) {
    if (w <= 0 || h <= 0) return;
    r = std::min(r, std::min(w, h) / 2);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

double text_width(PangoLayout* layout, const std::string& font, const std::string& text) {
    set_font(layout, font);
    pango_layout_set_width(layout, -1);
    pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_NONE);
    pango_layout_set_text(layout, shown(text).c_str(), -1);
    int w = 0, h = 0;
    pango_layout_get_pixel_size(layout, &w, &h);
    return w;
}

// ---- Chips ---------------------------------------------------------------------

namespace {

// The chips are laid out at every allocation and every draw of their card,
// and the flag list has a hundred or more; a label's width depends only on
// its text, its font and the resolution, so each is measured once.
double chip_text_width(PangoLayout* layout, const std::string& font, const std::string& label) {
    static std::unordered_map<std::string, double> widths;
    const double dpi = pango_cairo_context_get_resolution(pango_layout_get_context(layout));
    std::string key = std::to_string(dpi) + '\n' + font + '\n' + label;
    auto it = widths.find(key);
    if (it == widths.end()) it = widths.emplace(std::move(key), text_width(layout, font, label)).first;
    return it->second;
}

}  // namespace

std::vector<ChipBox> layout_chips(const probe::Card& card, PangoLayout* layout, double width,
                                  double* total_height) {
    std::vector<ChipBox> boxes;
    const std::string font = num_font(9, false);
    double x = 0, y = 0;
    for (const probe::Chip& chip : card.chips) {
        double w = chip_text_width(layout, font, chip.label) + 18;
        if (x > 0 && x + w > width) {
            y += 27;
            x = 0;
        }
        boxes.push_back(ChipBox{x, y, w, 22});
        x += w + 5;
    }
    if (total_height) *total_height = y + 22;
    return boxes;
}

void draw_chips(cairo_t* cr, const probe::Card& card, const Context& ctx, double width) {
    const Palette& p = ctx.palette;
    Rgb text = col(p.text), panel = col(p.panel);
    Rgb fill = mix(text, panel, p.dark ? 0.10 : 0.06);
    Rgb border = mix(text, panel, 0.16);
    PangoLayout* layout = drawing_layout(cr);
    std::vector<ChipBox> boxes = layout_chips(card, layout, width, nullptr);
    for (size_t i = 0; i < boxes.size(); ++i) {
        const ChipBox& b = boxes[i];
        fill_and_stroke(cr, b.x, b.y, b.w, b.h, b.h / 2, fill, border);
        draw_text(cr, layout, num_font(9, false), card.chips[i].label, b.x + 9, b.y + 3, text, 0, 1.0);
    }
    g_object_unref(layout);
}

// ---- Vulnerability lights ----------------------------------------------------------

// The builder has translated the kernel's status words; the kernel's own
// wording stays in what follows them ("Mitigation: ...; SMT vulnerable").
int vuln_state(const std::string& value) {
    const std::string v = util::lower(value);
    const std::string not_affected = util::lower(tr("vuln.not_affected"));
    const std::string vulnerable = util::lower(tr("vuln.vulnerable"));
    if (util::starts_with(v, "not affected") || (!not_affected.empty() && util::starts_with(v, not_affected)))
        return 0;
    if (v.find("vulnerable") != std::string::npos ||
        (!vulnerable.empty() && v.find(vulnerable) != std::string::npos))
        return 2;
    return 1;
}

void draw_vulns(cairo_t* cr, const probe::Card& card, const Context& ctx, double width) {
    const Palette& p = ctx.palette;
    const Rgb lights[3] = {col(p.load_low), col(p.load_mid), col(p.load_high)};
    Rgb text = col(p.text), dim = col(p.dim);
    PangoLayout* layout = drawing_layout(cr);
    const std::string font = ui_font(9, false);
    double y = 0;
    for (const probe::Row& row : card.rows) {
        set_color(cr, lights[vuln_state(row.value)], 1.0);
        cairo_new_sub_path(cr);
        cairo_arc(cr, 5.5, y + 10.5, 4, 0, 2 * M_PI);
        cairo_fill(cr);
        double name_w = draw_text(cr, layout, font, row.name, 16, y + 2, text, 0, 1.0);
        double vx = name_w + 16 + 12;
        if (vx < width - 40) draw_text(cr, layout, font, row.value, vx, y + 2, dim, width - vx, 1.0);
        y += 21;
    }
    g_object_unref(layout);
}

// ---- Cache bars ----------------------------------------------------------------------

std::string cache_note(const probe::CacheBar& bar) {
    std::vector<std::string> parts;
    if (bar.blocks.size() >= 2) {
        bool equal = std::all_of(bar.blocks.begin(), bar.blocks.end(),
                                 [&](uint64_t b) { return b == bar.blocks.front(); });
        if (equal) {
            parts.push_back(util::fmt_int(bar.blocks.size()) + " × " + util::fmt_bytes(bar.blocks.front()));
        } else {
            std::vector<std::string> sizes;
            for (uint64_t b : bar.blocks) sizes.push_back(util::fmt_bytes(b));
            parts.push_back(util::join(sizes, " + "));
        }
    }
    if (!bar.shared_with.empty()) parts.push_back(bar.shared_with);
    if (!bar.ways.empty()) parts.push_back(bar.ways + "-way");
    if (!bar.line_size.empty()) parts.push_back(bar.line_size + " B");
    return util::join(parts, ", ");
}

void draw_caches(cairo_t* cr, const probe::Card& card, const Context& ctx, double width) {
    uint64_t largest = 0;
    for (const probe::CacheBar& bar : card.caches) largest = std::max(largest, bar.total);
    if (largest == 0) return;
    const Palette& p = ctx.palette;
    Rgb text = col(p.text), dim = col(p.dim), accent = col(p.accent);
    Rgb track = mix(text, col(p.panel), 0.1);
    PangoLayout* layout = drawing_layout(cr);
    const std::string figure = num_font(10, true);
    double bw = std::max(20.0, width - 34 - 78 - 8);
    double y = 0;
    for (const probe::CacheBar& bar : card.caches) {
        draw_text(cr, layout, figure, bar.label, 0, y + 1, accent, 0, 1.0);
        fill_rounded(cr, 34, y + 3, bw, 13, 3, track, 1.0);
        double share = std::sqrt(static_cast<double>(bar.total) / static_cast<double>(largest));
        fill_rounded(cr, 34, y + 3, std::max(4.0, share * bw), 13, 3, accent, 0.85);
        std::string size = util::fmt_bytes(bar.total);
        draw_text(cr, layout, figure, size, width - text_width(layout, figure, size), y + 1, text, 0, 1.0);
        std::string note = cache_note(bar);
        if (!note.empty()) draw_text(cr, layout, ui_font(8, false), note, 34, y + 18, dim, width - 34, 1.0);
        y += 34;
    }
    g_object_unref(layout);
}

// ---- Usage bars ------------------------------------------------------------------------

namespace {

std::string usage_pct(const probe::UsageBar& bar) {
    double frac = std::min(1.0, static_cast<double>(bar.used) / static_cast<double>(bar.total));
    return util::fmt_percent(frac * 100, 1);
}

std::string usage_full(const probe::UsageBar& bar) {
    return util::fmt_bytes_pair(bar.used, bar.total) + "   " + usage_pct(bar);
}

bool usage_on_one_line(const probe::UsageBar& bar, PangoLayout* layout, double width) {
    double lw = text_width(layout, ui_font(9, false), bar.label);
    double fw = text_width(layout, num_font(9, false), usage_full(bar));
    return lw + 12 + fw <= width;
}

}  // namespace

void draw_usage(cairo_t* cr, const probe::Card& card, const Context& ctx, double width) {
    const Palette& p = ctx.palette;
    Rgb text = col(p.text), dim = col(p.dim);
    Rgb track = mix(text, col(p.panel), 0.1);
    PangoLayout* layout = drawing_layout(cr);
    const std::string figure = num_font(9, false);
    double y = 0;
    for (const probe::UsageBar& bar : card.usage) {
        if (bar.total == 0) continue;
        double frac = std::min(1.0, static_cast<double>(bar.used) / static_cast<double>(bar.total));
        bool one_line = usage_on_one_line(bar, layout, width);
        draw_text(cr, layout, ui_font(9, false), bar.label, 0, y, text, 0, 1.0);
        double bar_top;
        if (one_line) {
            std::string full = usage_full(bar);
            draw_text(cr, layout, figure, full, width - text_width(layout, figure, full), y, dim, 0, 1.0);
            bar_top = y + 18;
        } else {
            std::string pct = usage_pct(bar);
            draw_text(cr, layout, figure, pct, width - text_width(layout, figure, pct), y, dim, 0, 1.0);
            draw_text(cr, layout, figure, util::fmt_bytes_pair(bar.used, bar.total), 0, y + 16, dim, 0, 1.0);
            bar_top = y + 34;
        }
        fill_rounded(cr, 0, bar_top, width, 12, 3, track, 1.0);
        fill_rounded(cr, 0, bar_top, std::max(width * frac, 3.0), 12, 3, load_color(p, frac), 0.9);
        y += one_line ? 42 : 58;
    }
    g_object_unref(layout);
}

// ---- Core tiles ------------------------------------------------------------------------------

CoresLayout compute_cores_layout(const probe::Card& card, double width) {
    CoresLayout L;
    for (const probe::Core& c : card.cores) {
        if (std::find(L.packages.begin(), L.packages.end(), c.package) == L.packages.end()) {
            L.packages.push_back(c.package);
        }
    }
    std::sort(L.packages.begin(), L.packages.end());
    L.by_package.resize(L.packages.size());
    for (const probe::Core& c : card.cores) {
        size_t i = std::find(L.packages.begin(), L.packages.end(), c.package) - L.packages.begin();
        L.by_package[i].push_back(&c);
    }
    size_t most = 0;
    for (auto& list : L.by_package) {
        std::stable_sort(list.begin(), list.end(), [](const probe::Core* a, const probe::Core* b) {
            if (a->core_id != b->core_id) return a->core_id < b->core_id;
            return a->index < b->index;
        });
        most = std::max(most, list.size());
    }
    if (most >= 33) {
        L.tile_w = 52;
        L.tile_h = 38;
    }
    if (most > 96) {
        L.tile_w = 30;
        L.tile_h = 28;
    }
    L.columns = std::max(1, static_cast<int>((width + L.gap) / (L.tile_w + L.gap)));
    for (const auto& list : L.by_package) {
        size_t rows = (list.size() + L.columns - 1) / L.columns;
        L.height += (L.packages.size() > 1 ? L.head_h : 0) + rows * (L.tile_h + L.gap) + 6;
    }
    return L;
}

void draw_cores(cairo_t* cr, const probe::Card& card, const Context& ctx, double width) {
    const Palette& p = ctx.palette;
    Rgb text = col(p.text), dim = col(p.dim), accent = col(p.accent), panel = col(p.panel);
    Rgb tile_bg = mix(text, panel, 0.07);
    Rgb tile_border = mix(text, panel, 0.18);
    CoresLayout L = compute_cores_layout(card, width);
    bool big = L.tile_w >= 40;
    double bar = big ? 5 : 3;
    PangoLayout* layout = drawing_layout(cr);
    double y = 0;
    for (size_t pi = 0; pi < L.packages.size(); ++pi) {
        if (L.packages.size() > 1) {
            int pkg = L.packages[pi];
            std::string head = pkg < 0 ? tr("f.sockets") : I18n::instance().trf("tree.socket_n", pkg);
            draw_text(cr, layout, ui_font(9, true), head, 0, y, accent, 0, 1.0);
            y += L.head_h;
        }
        const auto& list = L.by_package[pi];
        for (size_t i = 0; i < list.size(); ++i) {
            const probe::Core& c = *list[i];
            double x = (i % L.columns) * (L.tile_w + L.gap);
            double top = y + static_cast<double>(i / L.columns) * (L.tile_h + L.gap);
            fill_and_stroke(cr, x, top, L.tile_w, L.tile_h, 4, tile_bg, tile_border);
            double lv = -1;
            if (ctx.cpu_load && c.online) lv = ctx.cpu_load->of(c.index);
            if (c.online && lv >= 0) {
                double by = top + L.tile_h - bar - 2;
                fill_rounded(cr, x + 4, by, L.tile_w - 8, bar, bar / 2, mix(text, tile_bg, 0.14), 1.0);
                if (lv > 0) {
                    fill_rounded(cr, x + 4, by, std::max((L.tile_w - 8) * lv, bar), bar, bar / 2,
                                 load_color(p, lv), 1.0);
                }
            }
            if (!c.online) fill_rounded(cr, x, top, L.tile_w, L.tile_h, 4, dim, 0.3);
            draw_text(cr, layout, num_font(big ? 9 : 7, true), std::to_string(c.index), x + 5, top + 3, text,
                      0, 1.0);
            if (!big) continue;
            if (!c.first_thread) {
                draw_text(cr, layout, ui_font(7, false), "HT", x + L.tile_w - 20, top + 4, dim, 0, 1.0);
            } else if (!c.kind.empty()) {
                draw_text(cr, layout, ui_font(7, true), c.kind, x + L.tile_w - 14, top + 4, accent, 0, 1.0);
            }
            if (c.cur_khz != 0) {
                draw_text(cr, layout, num_font(9, false), util::fmt_khz(c.cur_khz), x + 5, top + 19, text, 0,
                          1.0);
            } else if (!c.online) {
                draw_text(cr, layout, ui_font(7, false), tr("value.offline"), x + 5, top + 19, dim, 0, 1.0);
            }
            if (c.online && lv >= 0) {
                std::string pct = util::fmt_percent(lv * 100, 0);
                double pw = text_width(layout, num_font(9, false), pct);
                draw_text(cr, layout, num_font(9, false), pct, x + L.tile_w - 5 - pw, top + 19, dim, 0, 1.0);
            }
        }
        y += static_cast<double>((list.size() + L.columns - 1) / L.columns) * (L.tile_h + L.gap) + 6;
    }
    g_object_unref(layout);
}

// ---- Topology diagram ---------------------------------------------------------------------

namespace {

using Kind = probe::TopoNode::Kind;

bool bold_title(const probe::TopoNode& node) { return node.kind == Kind::Numa || node.kind == Kind::Package; }

Rgb level_fill(const Palette& p, Kind kind) {
    Rgb text = col(p.text), panel = col(p.panel), accent = col(p.accent);
    switch (kind) {
        case Kind::Machine:
            return mix(text, panel, 0.04);
        case Kind::Numa:
            return mix(accent, panel, 0.09);
        case Kind::Package:
            return mix(accent, panel, 0.15);
        case Kind::Cache:
            return mix(accent, panel, 0.22);
        case Kind::Core:
            return mix(text, panel, 0.28);
        case Kind::Thread:
            break;
    }
    return mix(text, panel, 0.18);
}

double title_width(const probe::TopoNode& node, const Metrics& m, PangoLayout* layout) {
    if (!layout || node.label.empty()) return 0;
    int size = static_cast<int>(m.font);
    double w = text_width(layout, ui_font(size, bold_title(node)), node.label);
    if (!node.detail.empty()) w += text_width(layout, ui_font(size, false), "  " + node.detail);
    return w;
}

void paint_node(cairo_t* cr, PangoLayout* layout, const probe::TopoNode& node, const Metrics& m,
                const Context& ctx, double x, double y, double avail) {
    const Palette& p = ctx.palette;
    Rgb text = col(p.text), dim = col(p.dim), accent = col(p.accent), panel = col(p.panel);
    std::vector<Layout> scratch;
    Layout L = measure(node, m, avail, scratch, layout);
    int size = static_cast<int>(m.font);
    if (node.kind == Kind::Thread) {
        double lv = ctx.cpu_load ? ctx.cpu_load->of(node.cpu) : -1;
        Rgb fill = lv >= 0 && node.online ? mix(load_color(p, lv), panel, 0.25 + 0.55 * lv)
                                          : level_fill(p, Kind::Thread);
        fill_and_stroke(cr, x, y, L.box.w, L.box.h, 3, fill, mix(text, panel, 0.22));
        if (m.thread_w >= 20) {
            std::string font = num_font(size, false);
            double tw = text_width(layout, font, node.label);
            draw_text(cr, layout, font, node.label, x + (L.box.w - tw) / 2, y + (L.box.h - 1.7 * m.font) / 2,
                      node.online ? text : dim, 0, 1.0);
        }
        return;
    }
    fill_and_stroke(cr, x, y, L.box.w, L.box.h, 5, level_fill(p, node.kind), mix(text, panel, 0.2));
    bool titled = !node.label.empty();
    if (titled) {
        bool bold = bold_title(node);
        double room = std::max(0.0, L.box.w - 2 * m.pad);
        double lw = draw_text(cr, layout, ui_font(size, bold), node.label, x + m.pad, y + 2,
                              bold ? accent : text, room, 1.0);
        double dx = x + m.pad + lw;
        double droom = x + L.box.w - m.pad - dx;
        if (!node.detail.empty() && droom > 0) {
            draw_text(cr, layout, ui_font(size, false), "  " + node.detail, dx, y + 2, dim, droom, 1.0);
        }
    }
    double head = titled ? m.title : 0;
    for (size_t i = 0; i < node.children.size(); ++i) {
        paint_node(cr, layout, node.children[i], m, ctx, x + m.pad + L.child_x[i],
                   y + head + m.pad + L.child_y[i], L.child_box[i].w);
    }
}

}  // namespace

int count_threads(const probe::TopoNode& node) {
    if (node.kind == Kind::Thread) return 1;
    int n = 0;
    for (const probe::TopoNode& c : node.children) n += count_threads(c);
    return n;
}

Metrics metrics_for(int threads) {
    if (threads <= 64) return Metrics{32, 22, 4, 6, 15, 8};
    if (threads <= 256) return Metrics{24, 18, 4, 4, 15, 7};
    if (threads <= 768) return Metrics{14, 12, 2, 3, 12, 7};
    return Metrics{8, 8, 1, 3, 12, 7};
}

Layout measure(const probe::TopoNode& node, const Metrics& m, double avail, std::vector<Layout>& out,
               PangoLayout* layout) {
    Layout L;
    if (node.kind == Kind::Thread) {
        L.box = Box{m.thread_w, m.thread_h};
        out.push_back(L);
        return L;
    }
    double head = node.label.empty() ? 0 : m.title;
    double inner = std::max(avail - 2 * m.pad, m.thread_w);
    std::vector<Layout> scratch;
    double x = 0, y = 0, row_h = 0, used = 0;
    for (const probe::TopoNode& child : node.children) {
        Box b = measure(child, m, inner, scratch, layout).box;
        if (x > 0 && x + b.w > inner) {
            y += row_h + m.gap;
            x = 0;
            row_h = 0;
        }
        L.child_box.push_back(b);
        L.child_x.push_back(x);
        L.child_y.push_back(y);
        x += b.w + m.gap;
        row_h = std::max(row_h, b.h);
        used = std::max(used, x - m.gap);
    }
    double w = std::max({used, title_width(node, m, layout), 40.0}) + 2 * m.pad;
    L.box.w = std::min(w, std::max(avail, m.thread_w + 2 * m.pad));
    L.box.h = head + y + row_h + 2 * m.pad;
    out.push_back(L);
    return L;
}

void draw_topology(cairo_t* cr, const probe::Card& card, const Context& ctx, double width) {
    Metrics m = metrics_for(count_threads(card.diagram));
    PangoLayout* layout = drawing_layout(cr);
    paint_node(cr, layout, card.diagram, m, ctx, 0, 0, width);
    g_object_unref(layout);
}

// ---- What a live drawing shows -------------------------------------------------------------

namespace {

// FNV-1a over the values, one 64-bit word at a time.
struct Digest {
    uint64_t h = 1469598103934665603ull;
    void add(uint64_t v) { h = (h ^ v) * 1099511628211ull; }
    void add(const std::string& s) { add(std::hash<std::string>{}(s)); }
};

// A load as the drawings use it: bars and colours do not move below a
// thousandth of the range.
uint64_t load_step(const Context& ctx, int cpu) {
    double lv = ctx.cpu_load ? ctx.cpu_load->of(cpu) : -1;
    return lv < 0 ? ~0ull : static_cast<uint64_t>(std::llround(lv * 1000));
}

void add_node(Digest& d, const probe::TopoNode& node, const Context& ctx) {
    d.add(node.label);
    d.add(node.detail);
    d.add(node.online);
    if (node.kind == Kind::Thread) d.add(load_step(ctx, node.cpu));
    for (const probe::TopoNode& child : node.children) add_node(d, child, ctx);
}

uint64_t shown_values(const LiveDrawing& drawing, const Context& ctx) {
    Digest d;
    const Palette& p = ctx.palette;
    for (const std::string* c :
         {&p.background, &p.panel, &p.text, &p.accent, &p.dim, &p.load_low, &p.load_mid, &p.load_high})
        d.add(*c);
    const probe::Card& card = *drawing.card;
    switch (drawing.kind) {
        case DrawKind::Cores:
            for (const probe::Core& c : card.cores) {
                d.add(static_cast<uint64_t>(c.index));
                d.add(c.online);
                d.add(c.first_thread);
                d.add(c.cur_khz);
                d.add(c.kind);
                if (c.online) d.add(load_step(ctx, c.index));
            }
            break;
        case DrawKind::Usage:
            for (const probe::UsageBar& bar : card.usage) {
                d.add(bar.label);
                d.add(bar.used);
                d.add(bar.total);
            }
            break;
        case DrawKind::Diagram:
            add_node(d, card.diagram, ctx);
            break;
        default:
            break;
    }
    return d.h;
}

}  // namespace

// ---- Dispatch and height rules -------------------------------------------------------------

void draw_kind(cairo_t* cr, DrawKind kind, const probe::Card& card, const Context& ctx, double width) {
    switch (kind) {
        case DrawKind::Cores:
            draw_cores(cr, card, ctx, width);
            break;
        case DrawKind::Caches:
            draw_caches(cr, card, ctx, width);
            break;
        case DrawKind::Usage:
            draw_usage(cr, card, ctx, width);
            break;
        case DrawKind::Vulns:
            draw_vulns(cr, card, ctx, width);
            break;
        case DrawKind::Chips:
            draw_chips(cr, card, ctx, width);
            break;
        case DrawKind::Diagram:
            draw_topology(cr, card, ctx, width);
            break;
    }
}

int drawing_height(DrawKind kind, const probe::Card& card, PangoLayout* layout, double width) {
    double h = 0;
    switch (kind) {
        case DrawKind::Cores:
            h = compute_cores_layout(card, width).height;
            break;
        case DrawKind::Caches:
            h = 34.0 * card.caches.size();
            break;
        case DrawKind::Usage:
            for (const probe::UsageBar& bar : card.usage) {
                if (bar.total == 0) continue;
                h += 42;
                if (!usage_on_one_line(bar, layout, width)) h += 16;
            }
            break;
        case DrawKind::Vulns:
            h = 21.0 * card.rows.size();
            break;
        case DrawKind::Chips:
            layout_chips(card, layout, width, &h);
            break;
        case DrawKind::Diagram: {
            std::vector<Layout> out;
            h = measure(card.diagram, metrics_for(count_threads(card.diagram)), width, out, layout).box.h;
            break;
        }
    }
    return static_cast<int>(h);
}

// ---- Column arithmetic ---------------------------------------------------------------------

int estimate_height(const probe::Card& card) {
    int h = 34 + 22 * static_cast<int>(card.rows.size()) + 34 * static_cast<int>(card.caches.size()) +
            10 * static_cast<int>(card.chips.size()) + 40 * static_cast<int>(card.slots.size());
    for (const probe::UsageBar& bar : card.usage) {
        if (bar.total != 0) h += 42;
    }
    if (!card.hint.empty()) h += 40;
    return h;
}

int column_count(int width, int colw, int ncards) {
    int n = (width + 10) / (colw + 10);
    return std::clamp(n, 1, std::max(1, ncards));
}

int stretched_width(int colw, int avail, int n) {
    if (n < 1 || avail < 1) return colw;
    // 34 px are the page's padding, 10 px the gap between columns.
    int fair = (avail - 34 - 10 * (n - 1)) / n;
    return std::max(colw, fair);
}

std::vector<int> place_cards(const std::vector<int>& heights, int n) {
    n = std::max(1, n);
    std::vector<size_t> order(heights.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return heights[a] > heights[b]; });
    std::vector<int> running(n, 0);
    std::vector<int> column(heights.size(), 0);
    for (size_t i : order) {
        int best = static_cast<int>(std::min_element(running.begin(), running.end()) - running.begin());
        column[i] = best;
        running[best] += heights[i];
    }
    return column;
}

int plan_allocation(ColumnsPlan& st, int width, int colw, int ncards) {
    int n = column_count(width, colw, ncards);
    st.avail = width;
    if (n == st.current) {
        // Same count: lay out again (at most twice) with the heights the
        // cards report now that they are shown.
        if (st.remeasured >= 2) return 0;
        st.current = -1;
        st.remeasured++;
    }
    if (st.pending) return 0;
    st.pending = true;
    return n;
}

}  // namespace detail

// ---- Widgets --------------------------------------------------------------------------------

namespace {

using namespace detail;

struct SelectCtx {
    SelectorChanged fn;
    gpointer data;
    const probe::Selector* sel;
};

struct HeightRule {
    const probe::Card* card;
    DrawKind kind;
};

struct DrawRecord {
    const probe::Card* card;
    const Context* ctx;
    DrawKind kind;
};

struct Columns {
    std::vector<GtkWidget*> cards;
    std::vector<int> weights;
    int colw = 0;
    GtkSizeGroup* group = nullptr;
    ColumnsPlan plan;
    guint pending = 0;

    void cancel_pending() {
        if (pending != 0) g_source_remove(pending);
        pending = 0;
        plan.pending = false;
    }
    ~Columns() {
        cancel_pending();
        if (group) g_object_unref(group);
        for (GtkWidget* w : cards) g_object_unref(w);
    }
};

struct Repack {
    GtkWidget* box;
    Columns* st;
    int n;
};

template <typename T>
void delete_record(gpointer data, GClosure*) {
    delete static_cast<T*>(data);
}

void add_class(GtkWidget* w, const char* cls) {
    gtk_style_context_add_class(gtk_widget_get_style_context(w), cls);
}

GtkWidget* start_label(const std::string& text, const char* cls) {
    GtkWidget* l = new_label(text);
    gtk_widget_set_halign(l, GTK_ALIGN_START);
    gtk_label_set_xalign(GTK_LABEL(l), 0.0);
    if (cls) add_class(l, cls);
    return l;
}

// Figures read better in the fixed-width font: a text counts as a number
// when at least half of it is digits.
bool looks_numeric(const std::string& text) {
    if (text.empty()) return false;
    size_t digits = std::count_if(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    return 2 * digits >= text.size();
}

const char* value_class(const std::string& text) {
    return looks_numeric(text) ? "row-value-num" : "row-value";
}

GtkWidget* dim_side_label(const std::string& text, PangoEllipsizeMode mode) {
    GtkWidget* l = start_label(text, "dim-text");
    gtk_label_set_ellipsize(GTK_LABEL(l), mode);
    gtk_label_set_max_width_chars(GTK_LABEL(l), 22);
    return l;
}

GtkWidget* unlock_button(GCallback on_elevate, gpointer elevate_data) {
    GtkWidget* b = gtk_button_new_with_label(tr("dialog.unlock"));
    gtk_widget_set_halign(b, GTK_ALIGN_END);
    gtk_widget_set_tooltip_text(b, tr("msg.click_to_unlock"));
    add_class(b, "link-button");
    if (on_elevate) g_signal_connect(b, "clicked", on_elevate, elevate_data);
    return b;
}

void add_multi_column_row(GtkGrid* grid, int line, probe::Row& row, Context& ctx) {
    size_t shown = std::min<size_t>(5, row.cols.size());
    for (size_t i = 0; i < shown; ++i) {
        GtkWidget* l = new_label(row.cols[i]);
        if (i == 0) {
            gtk_widget_set_halign(l, GTK_ALIGN_END);
            gtk_label_set_xalign(GTK_LABEL(l), 1.0);
            gtk_widget_set_hexpand(l, TRUE);
        } else {
            gtk_widget_set_halign(l, GTK_ALIGN_START);
            gtk_label_set_xalign(GTK_LABEL(l), 0.0);
        }
        gtk_label_set_selectable(GTK_LABEL(l), TRUE);
        gtk_label_set_ellipsize(GTK_LABEL(l), PANGO_ELLIPSIZE_END);
        gtk_label_set_max_width_chars(GTK_LABEL(l), 28);
        add_class(l, value_class(row.cols[i]));
        if (!row.note.empty()) set_tooltip(l, row.note);
        gtk_grid_attach(grid, l, static_cast<int>(i) + 1, line, 1, 1);
        if (!row.live.empty() && i + 1 == row.cols.size()) ctx.live_rows.emplace_back(&row, l);
    }
}

GtkWidget* value_label(probe::Row& row, Context& ctx) {
    GtkWidget* l = new_label(row.value);
    gtk_widget_set_halign(l, GTK_ALIGN_END);
    gtk_label_set_xalign(GTK_LABEL(l), 1.0);
    gtk_label_set_selectable(GTK_LABEL(l), TRUE);
    gtk_label_set_line_wrap(GTK_LABEL(l), FALSE);
    gtk_label_set_ellipsize(GTK_LABEL(l), PANGO_ELLIPSIZE_END);
    gtk_label_set_max_width_chars(GTK_LABEL(l), 46);
    add_class(l, value_class(row.value));
    if (row.note.empty() && row.value.size() > 20) set_tooltip(l, row.value);
    if (!row.live.empty()) ctx.live_rows.emplace_back(&row, l);
    return l;
}

GtkWidget* rows_grid(probe::Card& card, Context& ctx, GCallback on_elevate, gpointer elevate_data) {
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 3);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 14);
    if (card.wide) {
        // Wide cards keep their rows compact instead of stretching them
        // across the page.
        gtk_widget_set_halign(grid, GTK_ALIGN_START);
        gtk_widget_set_size_request(grid, 460, -1);
    }
    int line = 0;
    for (probe::Row& row : card.rows) {
        GtkWidget* name = start_label(row.name, "row-name");
        gtk_widget_set_valign(name, GTK_ALIGN_START);
        gtk_label_set_yalign(GTK_LABEL(name), 0.0);
        gtk_grid_attach(GTK_GRID(grid), name, 0, line, 1, 1);
        if (!row.cols.empty()) {
            add_multi_column_row(GTK_GRID(grid), line++, row, ctx);
            continue;
        }
        GtkWidget* value = row.locked ? unlock_button(on_elevate, elevate_data) : value_label(row, ctx);
        gtk_widget_set_hexpand(value, TRUE);
        gtk_grid_attach(GTK_GRID(grid), value, 1, line, 1, 1);
        if (!row.extra.empty()) {
            gtk_grid_attach(GTK_GRID(grid), dim_side_label(row.extra, PANGO_ELLIPSIZE_END), 2, line, 1, 1);
        }
        if (!row.note.empty()) {
            set_tooltip(value, row.note);
            if (ctx.show_sources) {
                gtk_grid_attach(GTK_GRID(grid), dim_side_label(row.note, PANGO_ELLIPSIZE_MIDDLE), 3, line, 1,
                                1);
            }
        }
        ++line;
    }
    return grid;
}

GtkWidget* slot_tile(const probe::Slot& slot) {
    const hw::MemoryModule& mod = slot.mod;
    bool filled = mod.size_bytes != 0;
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    gtk_widget_set_valign(box, GTK_ALIGN_START);
    add_class(box, filled ? "slot" : "slot-empty");
    std::string title = mod.locator.empty() ? I18n::instance().trf("tree.slot_n", slot.number) : mod.locator;
    gtk_box_pack_start(GTK_BOX(box), start_label(title, "card-title"), FALSE, FALSE, 0);
    if (!filled) {
        gtk_box_pack_start(GTK_BOX(box), start_label(tr("value.slot_empty"), "dim-text"), FALSE, FALSE, 0);
        return box;
    }
    std::string size = util::fmt_bytes(mod.size_bytes);
    if (!mod.type.empty()) size += "  " + mod.type;
    gtk_box_pack_start(GTK_BOX(box), start_label(size, "slot-size"), FALSE, FALSE, 0);
    const std::pair<const char*, const std::string*> fields[] = {
        {"f.speed_configured", &mod.configured_speed},
        {"f.speed_rated", &mod.speed},
        {"f.manufacturer", &mod.manufacturer},
        {"f.part_number", &mod.part_number},
        {"f.form_factor", &mod.form_factor},
        {"f.rank", &mod.rank},
        {"f.data_width", &mod.data_width},
        {"f.total_width", &mod.total_width},
        {"f.voltage", &mod.voltage},
        {"f.bank", &mod.bank},
        {"f.serial", &mod.serial},
    };
    GtkWidget* grid = gtk_grid_new();
    gtk_grid_set_row_spacing(GTK_GRID(grid), 2);
    gtk_grid_set_column_spacing(GTK_GRID(grid), 10);
    gtk_widget_set_margin_top(grid, 4);
    int line = 0;
    for (const auto& [key, value] : fields) {
        if (value->empty()) continue;
        gtk_grid_attach(GTK_GRID(grid), start_label(tr(key), "row-name"), 0, line, 1, 1);
        GtkWidget* v = start_label(*value, "row-value");
        gtk_label_set_selectable(GTK_LABEL(v), TRUE);
        gtk_label_set_ellipsize(GTK_LABEL(v), PANGO_ELLIPSIZE_END);
        gtk_label_set_max_width_chars(GTK_LABEL(v), 22);
        gtk_grid_attach(GTK_GRID(grid), v, 1, line++, 1, 1);
    }
    gtk_box_pack_start(GTK_BOX(box), grid, FALSE, FALSE, 0);
    return box;
}

GtkWidget* slots_flow(const probe::Card& card) {
    GtkWidget* flow = gtk_flow_box_new();
    gtk_flow_box_set_selection_mode(GTK_FLOW_BOX(flow), GTK_SELECTION_NONE);
    gtk_flow_box_set_homogeneous(GTK_FLOW_BOX(flow), TRUE);
    // A flow box asks for the width of a full line even when it has fewer
    // children; that request would widen the whole column group.
    guint per_line = static_cast<guint>(std::clamp<size_t>(card.slots.size(), 1, 6));
    gtk_flow_box_set_max_children_per_line(GTK_FLOW_BOX(flow), per_line);
    gtk_flow_box_set_column_spacing(GTK_FLOW_BOX(flow), 8);
    gtk_flow_box_set_row_spacing(GTK_FLOW_BOX(flow), 8);
    for (const probe::Slot& slot : card.slots) {
        GtkWidget* child = gtk_flow_box_child_new();
        gtk_widget_set_can_focus(child, FALSE);
        gtk_container_add(GTK_CONTAINER(child), slot_tile(slot));
        gtk_container_add(GTK_CONTAINER(flow), child);
    }
    return flow;
}

gboolean on_draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
    auto* rec = static_cast<DrawRecord*>(data);
    draw_kind(cr, rec->kind, *rec->card, *rec->ctx, gtk_widget_get_allocated_width(widget));
    return FALSE;
}

// The drawing's height follows its width; setting an unchanged request
// would start another allocation round, so only changes are applied.
void on_size_allocate(GtkWidget* widget, GdkRectangle* alloc, gpointer data) {
    auto* rule = static_cast<HeightRule*>(data);
    PangoLayout* layout = gtk_widget_create_pango_layout(widget, nullptr);
    int height = drawing_height(rule->kind, *rule->card, layout, alloc->width);
    g_object_unref(layout);
    int current = -1;
    gtk_widget_get_size_request(widget, nullptr, &current);
    if (height != current) gtk_widget_set_size_request(widget, -1, height);
}

GtkWidget* drawing_card(const probe::Card& card, Context& ctx, DrawKind kind) {
    GtkWidget* area = gtk_drawing_area_new();
    if (kind == DrawKind::Cores || kind == DrawKind::Usage || kind == DrawKind::Diagram)
        ctx.live_drawings.push_back({area, &card, kind});
    gtk_widget_set_hexpand(area, TRUE);
    g_signal_connect_data(area, "size-allocate", G_CALLBACK(on_size_allocate), new HeightRule{&card, kind},
                          delete_record<HeightRule>, GConnectFlags(0));
    g_signal_connect_data(area, "draw", G_CALLBACK(on_draw), new DrawRecord{&card, &ctx, kind},
                          delete_record<DrawRecord>, GConnectFlags(0));
    return area;
}

void add_to_body(GtkWidget* body, GtkWidget* w) { gtk_box_pack_start(GTK_BOX(body), w, FALSE, FALSE, 0); }

void build_card(GtkWidget* body, probe::Card& card, Context& ctx, GCallback on_elevate,
                gpointer elevate_data) {
    switch (card.kind) {
        case probe::CardKind::Rows:
            add_to_body(body, rows_grid(card, ctx, on_elevate, elevate_data));
            break;
        case probe::CardKind::Chips:
            add_to_body(body, drawing_card(card, ctx, DrawKind::Chips));
            break;
        case probe::CardKind::Caches:
            add_to_body(body, drawing_card(card, ctx, DrawKind::Caches));
            break;
        case probe::CardKind::Cores:
            add_to_body(body, drawing_card(card, ctx, DrawKind::Cores));
            break;
        case probe::CardKind::Vulns:
            add_to_body(body, drawing_card(card, ctx, DrawKind::Vulns));
            break;
        case probe::CardKind::Diagram:
            add_to_body(body, drawing_card(card, ctx, DrawKind::Diagram));
            break;
        case probe::CardKind::Slots:
            if (!card.slots.empty()) add_to_body(body, slots_flow(card));
            if (!card.rows.empty()) {
                GtkWidget* grid = rows_grid(card, ctx, on_elevate, elevate_data);
                gtk_widget_set_margin_top(grid, card.slots.empty() ? 0 : 8);
                add_to_body(body, grid);
            }
            break;
        case probe::CardKind::Usage:
            add_to_body(body, drawing_card(card, ctx, DrawKind::Usage));
            if (!card.rows.empty()) {
                GtkWidget* grid = rows_grid(card, ctx, on_elevate, elevate_data);
                gtk_widget_set_margin_top(grid, 6);
                add_to_body(body, grid);
            }
            break;
    }
    if (card.hint.empty()) return;
    GtkWidget* hint = start_label("", "dim-text");
    // The one field made of lines: a sandbox hint puts its command on a line of its own.
    gtk_label_set_text(GTK_LABEL(hint), util::display_text(card.hint, true).c_str());
    gtk_label_set_line_wrap(GTK_LABEL(hint), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(hint), 60);
    gtk_widget_set_margin_top(hint, 6);
    add_to_body(body, hint);
    if (card.hint_elevates && on_elevate) {
        GtkWidget* b = gtk_button_new_with_label(tr("menu.elevate_short"));
        gtk_widget_set_halign(b, GTK_ALIGN_START);
        gtk_widget_set_margin_top(b, 6);
        g_signal_connect(b, "clicked", on_elevate, elevate_data);
        add_to_body(body, b);
    }
}

GtkWidget* card_frame(const probe::Card& card, GtkWidget** body) {
    GtkWidget* frame = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    add_class(frame, "card");
    gtk_widget_set_valign(frame, GTK_ALIGN_START);
    GtkWidget* title_row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(GTK_BOX(title_row), start_label(card.title, "card-title"), FALSE, FALSE, 0);
    if (!card.subtitle.empty()) {
        GtkWidget* sub = start_label(card.subtitle, "dim-text");
        gtk_label_set_ellipsize(GTK_LABEL(sub), PANGO_ELLIPSIZE_END);
        gtk_box_pack_start(GTK_BOX(title_row), sub, TRUE, TRUE, 0);
    }
    gtk_box_pack_start(GTK_BOX(frame), title_row, FALSE, FALSE, 0);
    *body = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
    gtk_widget_set_margin_top(*body, 8);
    gtk_box_pack_start(GTK_BOX(frame), *body, TRUE, TRUE, 0);
    return frame;
}

// ---- Column groups ---------------------------------------------------------------------------

int content_width(const std::vector<GtkWidget*>& cards) {
    int widest = 260;
    for (GtkWidget* w : cards) {
        int natural = 0;
        gtk_widget_get_preferred_width(w, nullptr, &natural);
        widest = std::max(widest, natural);
    }
    return widest;
}

void columns_fill(GtkWidget* box, Columns* st, int n) {
    GList* columns = gtk_container_get_children(GTK_CONTAINER(box));
    for (GList* c = columns; c; c = c->next) {
        GtkWidget* column = GTK_WIDGET(c->data);
        GList* cards = gtk_container_get_children(GTK_CONTAINER(column));
        for (GList* k = cards; k; k = k->next)
            gtk_container_remove(GTK_CONTAINER(column), GTK_WIDGET(k->data));
        g_list_free(cards);
        gtk_container_remove(GTK_CONTAINER(box), column);
    }
    g_list_free(columns);

    st->colw = stretched_width(content_width(st->cards), st->plan.avail, n);
    if (st->group) g_object_unref(st->group);
    st->group = gtk_size_group_new(GTK_SIZE_GROUP_HORIZONTAL);
    std::vector<GtkWidget*> boxes;
    for (int i = 0; i < n; ++i) {
        GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 10);
        gtk_widget_set_valign(column, GTK_ALIGN_START);
        gtk_widget_set_size_request(column, st->colw, -1);
        gtk_size_group_add_widget(st->group, column);
        gtk_box_pack_start(GTK_BOX(box), column, FALSE, FALSE, 0);
        boxes.push_back(column);
    }
    std::vector<int> heights;
    for (size_t i = 0; i < st->cards.size(); ++i) {
        int natural = 0;
        gtk_widget_get_preferred_height(st->cards[i], nullptr, &natural);
        // A card not measured yet reports next to nothing: use its estimate.
        heights.push_back(natural < 21 ? st->weights[i] : natural);
    }
    std::vector<int> placement = place_cards(heights, n);
    // Pack in order of placement so that each column's cards stand tallest
    // first, as they were chosen.
    std::vector<size_t> order(heights.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return heights[a] > heights[b]; });
    for (size_t i : order) gtk_box_pack_start(GTK_BOX(boxes[placement[i]]), st->cards[i], FALSE, FALSE, 0);
    gtk_widget_show_all(box);
    st->plan.current = n;
}

gboolean do_repack(gpointer data) {
    auto* r = static_cast<Repack*>(data);
    r->st->pending = 0;
    r->st->plan.pending = false;
    columns_fill(r->box, r->st, r->n);
    return G_SOURCE_REMOVE;
}

void free_repack(gpointer data) { delete static_cast<Repack*>(data); }

// Re-packing during allocation would re-enter it: the new layout waits for
// the main loop to be idle.
void schedule_repack(GtkWidget* box, Columns* st, int n) {
    if (st->pending != 0) return;
    st->pending = g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, do_repack, new Repack{box, st, n}, free_repack);
}

void on_columns_allocate(GtkWidget* box, GdkRectangle* alloc, gpointer data) {
    auto* st = static_cast<Columns*>(data);
    int colw = st->colw >= 1 ? st->colw : content_width(st->cards);
    int width = alloc->width;
    // The group box is start-aligned and reports only its own width; the
    // scrolled window knows how much room the page really has.
    GtkWidget* scrolled = gtk_widget_get_ancestor(box, GTK_TYPE_SCROLLED_WINDOW);
    if (scrolled) {
        GtkAdjustment* h = gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(scrolled));
        if (h && static_cast<int>(gtk_adjustment_get_page_size(h)) >= 51) {
            width = static_cast<int>(gtk_adjustment_get_page_size(h));
        }
    }
    st->plan.pending = st->pending != 0;
    int n = plan_allocation(st->plan, width, colw, static_cast<int>(st->cards.size()));
    if (n > 0) schedule_repack(box, st, n);
}

void delete_columns(gpointer data, GClosure*) { delete static_cast<Columns*>(data); }

const char* COLUMNS_KEY = "zq-columns";

// A start-aligned group keeps its allocation when the window narrows, so its
// own size-allocate never fires then; the scrolled window's page size does
// change, and the group checks its column count again on that.
void on_page_width_changed(GtkAdjustment*, gpointer data) {
    GtkWidget* box = GTK_WIDGET(data);
    auto* st = static_cast<Columns*>(g_object_get_data(G_OBJECT(box), COLUMNS_KEY));
    if (!st || !gtk_widget_get_realized(box)) return;
    GtkAllocation alloc;
    gtk_widget_get_allocation(box, &alloc);
    on_columns_allocate(box, &alloc, st);
}

void close_group(GtkWidget*& box, Columns*& group, std::vector<GtkWidget*>& groups) {
    if (!box) return;
    columns_fill(box, group, 1);
    g_object_set_data(G_OBJECT(box), COLUMNS_KEY, group);
    g_signal_connect_data(box, "size-allocate", G_CALLBACK(on_columns_allocate), group, delete_columns,
                          GConnectFlags(0));
    groups.push_back(box);
    box = nullptr;
    group = nullptr;
}

// ---- Page head -----------------------------------------------------------------------------

struct PendingSelection {
    SelectorChanged fn;
    gpointer data;
    int value;
};

gboolean deliver_selection(gpointer data) {
    auto* pending = static_cast<PendingSelection*>(data);
    pending->fn(pending->data, pending->value);
    return G_SOURCE_REMOVE;
}

void free_selection(gpointer data) { delete static_cast<PendingSelection*>(data); }

void on_selector_changed(GtkComboBox* combo, gpointer data) {
    auto* sc = static_cast<SelectCtx*>(data);
    int index = gtk_combo_box_get_active(combo);
    if (index < 0 || index >= static_cast<int>(sc->sel->values.size()) || index == sc->sel->selected) return;
    // The shell rebuilds every page on this call, this combo box included,
    // while a pick from the popup menu still works on the combo after
    // "changed" returns: the call waits for the main loop, ahead of the next
    // redraw.
    g_idle_add_full(G_PRIORITY_HIGH_IDLE, deliver_selection,
                    new PendingSelection{sc->fn, sc->data, sc->sel->values[index]}, free_selection);
}

GtkWidget* selector_box(const probe::Selector& sel, SelectorChanged on_select, gpointer select_data) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
    gtk_box_pack_start(GTK_BOX(box), start_label(sel.label, "row-name"), FALSE, FALSE, 0);
    GtkWidget* combo = gtk_combo_box_text_new();
    for (const std::string& o : sel.options)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), shown(o).c_str());
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), sel.selected);
    g_signal_connect_data(combo, "changed", G_CALLBACK(on_selector_changed),
                          new SelectCtx{on_select, select_data, &sel}, delete_record<SelectCtx>,
                          GConnectFlags(0));
    gtk_box_pack_start(GTK_BOX(box), combo, FALSE, FALSE, 0);
    return box;
}

GtkWidget* stat_tile(probe::Stat& stat, Context& ctx) {
    GtkWidget* tile = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    add_class(tile, "stat");
    gtk_widget_set_size_request(tile, 132, -1);
    GtkWidget* line = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 3);
    gtk_widget_set_halign(line, GTK_ALIGN_START);
    gtk_box_set_baseline_position(GTK_BOX(line), GTK_BASELINE_POSITION_BOTTOM);
    GtkWidget* value = start_label(stat.value, "stat-value");
    gtk_widget_set_valign(value, GTK_ALIGN_BASELINE);
    gtk_box_pack_start(GTK_BOX(line), value, FALSE, FALSE, 0);
    if (!stat.unit.empty()) {
        GtkWidget* unit = new_label(stat.unit);
        gtk_widget_set_valign(unit, GTK_ALIGN_BASELINE);
        add_class(unit, "stat-unit");
        gtk_box_pack_start(GTK_BOX(line), unit, FALSE, FALSE, 0);
    }
    gtk_box_pack_start(GTK_BOX(tile), line, FALSE, FALSE, 0);
    GtkWidget* label = start_label(stat.label, "stat-label");
    gtk_label_set_ellipsize(GTK_LABEL(label), PANGO_ELLIPSIZE_END);
    gtk_box_pack_start(GTK_BOX(tile), label, FALSE, FALSE, 0);
    if (!stat.live.empty()) ctx.live_stats.emplace_back(&stat, value);
    return tile;
}

GtkWidget* page_head(const probe::Page& page) {
    GtkWidget* head = gtk_box_new(GTK_ORIENTATION_VERTICAL, 2);
    GtkWidget* headline = start_label(page.headline, "headline");
    gtk_label_set_selectable(GTK_LABEL(headline), TRUE);
    gtk_label_set_line_wrap(GTK_LABEL(headline), TRUE);
    gtk_box_pack_start(GTK_BOX(head), headline, FALSE, FALSE, 0);
    if (!page.subline.empty()) {
        GtkWidget* sub = start_label(page.subline, "subline");
        gtk_label_set_line_wrap(GTK_LABEL(sub), TRUE);
        gtk_box_pack_start(GTK_BOX(head), sub, FALSE, FALSE, 0);
    }
    return head;
}

}  // namespace

size_t queue_changed_drawings(Context& ctx, int page) {
    size_t queued = 0;
    for (LiveDrawing& drawing : ctx.live_drawings) {
        if (drawing.page != page) continue;
        uint64_t shown = detail::shown_values(drawing, ctx);
        if (drawing.drawn_known && shown == drawing.drawn) continue;
        drawing.drawn = shown;
        drawing.drawn_known = true;
        gtk_widget_queue_draw(drawing.area);
        ++queued;
    }
    return queued;
}

GtkWidget* build_page(probe::Page& page, Context& ctx, GCallback on_elevate, gpointer elevate_data,
                      SelectorChanged on_select, gpointer select_data) {
    GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    add_class(box, "page");
    if (!page.headline.empty()) gtk_box_pack_start(GTK_BOX(box), page_head(page), FALSE, FALSE, 0);
    if (!page.selector.options.empty() && on_select) {
        gtk_box_pack_start(GTK_BOX(box), selector_box(page.selector, on_select, select_data), FALSE, FALSE,
                           0);
    }
    if (!page.stats.empty()) {
        GtkWidget* stats = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 8);
        gtk_box_set_homogeneous(GTK_BOX(stats), TRUE);
        gtk_widget_set_halign(stats, GTK_ALIGN_START);
        for (probe::Stat& s : page.stats)
            gtk_box_pack_start(GTK_BOX(stats), stat_tile(s, ctx), TRUE, TRUE, 0);
        gtk_box_pack_start(GTK_BOX(box), stats, FALSE, FALSE, 0);
    }
    GtkWidget* group_box = nullptr;
    Columns* group = nullptr;
    std::vector<GtkWidget*> groups;
    for (probe::Card& card : page.cards) {
        if (card.empty()) continue;
        GtkWidget* body = nullptr;
        GtkWidget* frame = card_frame(card, &body);
        build_card(body, card, ctx, on_elevate, elevate_data);
        if (card.wide) {
            close_group(group_box, group, groups);
            gtk_box_pack_start(GTK_BOX(box), frame, FALSE, FALSE, 0);
            continue;
        }
        if (!group_box) {
            group_box = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 10);
            gtk_widget_set_halign(group_box, GTK_ALIGN_START);
            gtk_box_pack_start(GTK_BOX(box), group_box, FALSE, FALSE, 0);
            group = new Columns();
        }
        group->cards.push_back(GTK_WIDGET(g_object_ref_sink(frame)));
        group->weights.push_back(estimate_height(card));
    }
    close_group(group_box, group, groups);
    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC, GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(scrolled), box);
    GtkAdjustment* hadj = gtk_scrolled_window_get_hadjustment(GTK_SCROLLED_WINDOW(scrolled));
    for (GtkWidget* g : groups) {
        g_signal_connect_object(hadj, "changed", G_CALLBACK(on_page_width_changed), g, GConnectFlags(0));
    }
    return scrolled;
}

}  // namespace ui
