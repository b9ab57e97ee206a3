#include "header.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <pango/pangocairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "cards_detail.h"
#include "i18n.h"
#include "icon_data.h"
#include "load.h"
#include "util.h"

namespace {

using ui::detail::rounded_rect;
using ui::detail::set_color;

const unsigned ANIMATION_MS = 40;
const double SCROLL_STEP = 0.42;  // px per frame: about 10 px a second
const double GLOW_EASE = 0.08;
const char* const NAME_RUNS[3] = {"Zor", "vantel", "quist"};

const Rgb WHITE{0.965, 0.988, 0.973};
const Rgb LIME{0.451, 0.925, 0.588};
const Rgb SOFT{0.702, 0.831, 0.749};
const Rgb SHADOW{0.004, 0.055, 0.02};
const Rgb COPPER{0.945, 0.976, 0.957};
const Rgb VIA_HOLE{0.035, 0.322, 0.129};

// The band's texts are placed by their left edges in every language, as the
// card drawings' are.
PangoLayout* band_layout(cairo_t* cr) { return ui::detail::drawing_layout(cr); }

double draw_text(cairo_t* cr, PangoLayout* layout, const PangoFontDescription* font, const std::string& text,
                 double x, double y, const Rgb& color, double alpha) {
    pango_layout_set_font_description(layout, font);
    pango_layout_set_text(layout, text.c_str(), -1);
    return ui::detail::show_layout_at(cr, layout, x, y, color, alpha);
}

// The tile's fixed pseudo-random sequence: the same board on every run.
struct TileRandom {
    uint32_t state = 0x9e3779b9u;
    double next() {
        state = state * 1664525u + 1013904223u;
        return ((state >> 8) & 0xFFFF) / 65535.0;
    }
};

void via(cairo_t* cr, double x, double y, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, r, 0, 2 * M_PI);
    set_color(cr, COPPER, 0.95);
    cairo_fill(cr);
    cairo_new_sub_path(cr);
    cairo_arc(cr, x, y, 0.45 * r, 0, 2 * M_PI);
    set_color(cr, VIA_HOLE, 1.0);
    cairo_fill(cr);
}

void trace_row(cairo_t* cr, TileRandom& rnd, double y, double H) {
    bool fat = rnd.next() < 0.22;
    double alpha = fat ? 0.85 : 0.5 + rnd.next() * 0.35;
    set_color(cr, COPPER, alpha);
    cairo_set_line_width(cr, fat ? 3.4 : 1.8);
    int steps = rnd.next() < 0.5 ? 4 : 3;
    double x = -3, height = y;
    cairo_move_to(cr, x, y);
    for (int k = 0; k < steps; ++k) {
        double run = rnd.next() * 90 + 40;
        double direction = rnd.next() < 0.5 ? -1 : 1;
        double d = (rnd.next() * 12 + 5) * direction;
        if (k == steps - 1) d = y - height;  // back to its row
        x += run;
        cairo_line_to(cr, x, height);
        if (std::fabs(d) > 0.5) {
            x += std::fabs(d);
            height += d;
            cairo_line_to(cr, x, height);
        }
    }
    cairo_line_to(cr, Header::TILE_WIDTH + 3, y);
    cairo_stroke(cr);
    if (rnd.next() < 0.55) {
        double sx = rnd.next() * 480 + 60;
        double sign = y < H / 2 ? 1 : -1;
        double length = rnd.next() * 14 + 10;
        set_color(cr, COPPER, alpha);
        cairo_set_line_width(cr, 1.8);
        cairo_move_to(cr, sx, y);
        cairo_line_to(cr, sx + 0.6 * length, y + sign * 0.6 * length);
        cairo_line_to(cr, sx + 0.6 * length, y + sign * length);
        cairo_stroke(cr);
        via(cr, sx + 0.6 * length, y + sign * length, 3.4);
    }
}

PangoFontDescription* font_of(const std::string& text) {
    return pango_font_description_from_string(text.c_str());
}

void destroy_surface(cairo_surface_t*& s) {
    if (s) cairo_surface_destroy(s);
    s = nullptr;
}

}  // namespace

Header::~Header() {
    stop_timer();
    destroy_surface(m_cache);
    destroy_surface(m_pcb);
    destroy_surface(m_panel);
    destroy_surface(m_logo);
    if (m_layout) g_object_unref(m_layout);
    if (m_percent_font) pango_font_description_free(m_percent_font);
    if (m_label_font) pango_font_description_free(m_label_font);
}

// Decoded once for the window icons, the logo and the About dialog; the
// type is named so that no MIME database is read to guess it.
GdkPixbuf* program_icon(int size) {
    static GdkPixbuf* const full = [] {
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
        if (!loader) return static_cast<GdkPixbuf*>(nullptr);
        bool ok = gdk_pixbuf_loader_write(loader, icon_data::PNG, icon_data::PNG_SIZE, nullptr);
        ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
        GdkPixbuf* image = ok ? gdk_pixbuf_loader_get_pixbuf(loader) : nullptr;
        if (image) g_object_ref(image);
        g_object_unref(loader);
        return image;
    }();
    if (!full) return nullptr;
    if (size < 1) return GDK_PIXBUF(g_object_ref(full));
    return gdk_pixbuf_scale_simple(full, size, size, GDK_INTERP_BILINEAR);
}

GtkWidget* Header::build(const Palette& palette, const load::CpuLoad* load) {
    m_palette = palette;
    m_load = load;
    m_area = gtk_drawing_area_new();
    gtk_widget_set_size_request(m_area, -1, HEIGHT);
    gtk_widget_set_hexpand(m_area, TRUE);
    g_signal_connect(m_area, "draw", G_CALLBACK(on_draw), this);
    g_signal_connect_swapped(m_area, "size-allocate", G_CALLBACK(+[](Header* h) { h->invalidate_cache(); }),
                             this);
    // The window may go while the header lives on: no frame for a freed widget.
    g_signal_connect_swapped(m_area, "destroy", G_CALLBACK(+[](Header* h) {
                                 h->stop_timer();
                                 h->m_area = nullptr;
                             }),
                             this);
    start_timer();
    return m_area;
}

void Header::start_timer() {
    if (m_timer == 0 && m_area && !m_paused) m_timer = g_timeout_add(ANIMATION_MS, on_animate, this);
}

void Header::stop_timer() {
    if (m_timer != 0) g_source_remove(m_timer);
    m_timer = 0;
}

void Header::set_paused(bool paused) {
    m_paused = paused;
    if (paused)
        stop_timer();
    else
        start_timer();
}

void Header::set_subtitle(const std::string& text) {
    if (text == m_subtitle) return;
    m_subtitle = text;
    invalidate_cache();
    if (m_area) gtk_widget_queue_draw(m_area);
}

void Header::set_palette(const Palette& palette) {
    m_palette = palette;
    invalidate_cache();
    if (m_area) gtk_widget_queue_draw(m_area);
}

void Header::invalidate_cache() {
    destroy_surface(m_cache);
    destroy_surface(m_pcb);
    destroy_surface(m_panel);
    m_dirty = true;
}

void Header::push_load(double load) {
    if (load < 0) return;
    m_last_sample = load;
    m_history.push_back(load);
    while (m_history.size() > HISTORY) m_history.pop_front();
    m_dirty = true;
}

void Header::animate() {
    double load = m_load ? m_load->total() : -1.0;
    m_total_glow += ((load >= 0 ? load : 0.0) - m_total_glow) * GLOW_EASE;
    m_scroll += SCROLL_STEP;
    if (m_scroll >= TILE_WIDTH) m_scroll -= TILE_WIDTH;
    if (m_area && frame_changed()) gtk_widget_queue_draw(m_area);
}

int Header::board_offset() const { return static_cast<int>(m_scroll * std::max(1, m_cache_scale)); }

bool Header::frame_changed() const {
    return m_dirty || board_offset() != m_drawn_offset || std::fabs(m_total_glow - m_drawn_glow) > 0.004 ||
           util::fmt_percent(100.0 * m_total_glow, 0) != m_drawn_percent;
}

gboolean Header::on_animate(gpointer header) {
    static_cast<Header*>(header)->animate();
    return G_SOURCE_CONTINUE;
}

gboolean Header::on_draw(GtkWidget* widget, cairo_t* cr, gpointer header) {
    static_cast<Header*>(header)->draw(cr, gtk_widget_get_allocated_width(widget),
                                       gtk_widget_get_allocated_height(widget),
                                       gtk_widget_get_scale_factor(widget));
    return FALSE;
}

void Header::draw(cairo_t* cr, int w, int h, int scale) {
    if (w <= 0 || h <= 0) return;
    // A language change brings another interface font into the name.
    std::string family = I18n::instance().ui_font_family();
    if (m_cache_w != w || m_cache_h != h || m_cache_scale != scale || family != m_cache_family)
        invalidate_cache();
    m_cache_w = w;
    m_cache_h = h;
    m_cache_scale = scale;
    m_cache_family = family;

    // The board moves by whole device pixels: the tile is copied, never
    // resampled.
    if (!m_pcb) m_pcb = pcb_tile(cr, h);
    cairo_pattern_t* board = cairo_pattern_create_for_surface(m_pcb);
    cairo_pattern_set_extend(board, CAIRO_EXTEND_REPEAT);
    cairo_pattern_set_filter(board, CAIRO_FILTER_NEAREST);
    cairo_matrix_t shift;
    cairo_matrix_init_translate(&shift, -static_cast<double>(board_offset()) / scale, 0);
    cairo_pattern_set_matrix(board, &shift);
    cairo_save(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source(cr, board);
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_fill(cr);
    cairo_restore(cr);
    cairo_pattern_destroy(board);

    // The name, the subtitle and the logo lie within the left part.
    int overlay_w = std::min(w, static_cast<int>(std::ceil(std::max(0.42 * w, 400.0))));
    if (!m_cache) {
        m_cache = cairo_surface_create_similar(cairo_get_target(cr), CAIRO_CONTENT_COLOR_ALPHA, overlay_w, h);
        cairo_t* c = cairo_create(m_cache);
        paint_wordmark(c, w, h);
        draw_logo(c, 18, (h - 54) / 2, 54);
        cairo_destroy(c);
    }
    cairo_set_source_surface(cr, m_cache, 0, 0);
    cairo_rectangle(cr, 0, 0, overlay_w, h);
    cairo_fill(cr);
    cairo_rectangle(cr, overlay_w, h - 2, w - overlay_w, 2);
    cairo_set_source_rgba(cr, 0.004, 0.078, 0.031, 0.9);
    cairo_fill(cr);

    double panel_w = std::min(0.3 * w, 300.0);
    std::string percent = util::fmt_percent(100.0 * m_total_glow, 0);
    if (panel_w >= 160) {
        if (m_panel &&
            (m_dirty || percent != m_panel_percent || std::fabs(m_total_glow - m_panel_glow) > 0.004))
            destroy_surface(m_panel);
        if (!m_panel) {
            m_panel = cairo_surface_create_similar(cairo_get_target(cr), CAIRO_CONTENT_COLOR_ALPHA,
                                                   static_cast<int>(std::ceil(panel_w)), h - 22);
            cairo_t* c = cairo_create(m_panel);
            draw_history(c, 0, 0, panel_w, h - 22);
            cairo_destroy(c);
            m_panel_glow = m_total_glow;
            m_panel_percent = percent;
        }
        cairo_set_source_surface(cr, m_panel, w - panel_w - 16, 10);
        cairo_paint(cr);
    }

    m_drawn_offset = board_offset();
    m_drawn_glow = m_total_glow;
    m_drawn_percent = percent;
    m_dirty = false;
}

void Header::paint_static(cairo_t* cr, int w, int h) {
    cairo_rectangle(cr, 0, 0, w, h);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, h);
    if (m_palette.dark) {
        cairo_pattern_add_color_stop_rgb(g, 0, 0.043, 0.404, 0.169);
        cairo_pattern_add_color_stop_rgb(g, 1, 0.02, 0.271, 0.106);
    } else {
        cairo_pattern_add_color_stop_rgb(g, 0, 0.055, 0.514, 0.216);
        cairo_pattern_add_color_stop_rgb(g, 1, 0.031, 0.353, 0.145);
    }
    cairo_set_source(cr, g);
    cairo_fill(cr);
    cairo_pattern_destroy(g);
}

cairo_surface_t* Header::pcb_tile(cairo_t* target, int h) {
    const double W = TILE_WIDTH, H = h;
    cairo_surface_t* tile =
        cairo_surface_create_similar(cairo_get_target(target), CAIRO_CONTENT_COLOR_ALPHA, TILE_WIDTH, h);
    cairo_t* cr = cairo_create(tile);
    paint_static(cr, TILE_WIDTH, h);
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    TileRandom rnd;
    for (double y = 6; y < H - 4; y += 7) trace_row(cr, rnd, y, H);
    for (int b = 0; b < 2; ++b) {
        double bx = 150 + 330 * b, by = 0.3 * H + 0.34 * H * b;
        set_color(cr, COPPER, 0.9);
        for (int i = 0; i < 5; ++i) {
            rounded_rect(cr, bx + 15 * i, by, 7.5, 4.5, 1.5);
            rounded_rect(cr, bx + 15 * i, by + 15, 7.5, 4.5, 1.5);
        }
        cairo_fill(cr);
        cairo_rectangle(cr, bx - 5, by - 4, 80, 27.5);
        set_color(cr, COPPER, 0.35);
        cairo_set_line_width(cr, 1.2);
        cairo_stroke(cr);
    }
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 7; ++c) via(cr, 0.72 * W + 13 * c, 0.26 * H + 14 * r, 3);
    cairo_destroy(cr);
    return tile;
}

void Header::paint_wordmark(cairo_t* cr, int w, int h) {
    const std::string ui = I18n::instance().ui_font_family();
    double top = m_subtitle.empty() ? (h - 26) / 2 : 12;

    cairo_pattern_t* veil = cairo_pattern_create_linear(0, 0, 0.36 * w, 0);
    cairo_pattern_add_color_stop_rgba(veil, 0, 0.008, 0.106, 0.043, 0.62);
    cairo_pattern_add_color_stop_rgba(veil, 0.62, 0.008, 0.106, 0.043, 0.42);
    cairo_pattern_add_color_stop_rgba(veil, 1, 0.008, 0.106, 0.043, 0);
    cairo_set_source(cr, veil);
    cairo_rectangle(cr, 0, 0, 0.36 * w, h);
    cairo_fill(cr);
    cairo_pattern_destroy(veil);

    PangoLayout* layout = band_layout(cr);
    PangoFontDescription* fonts[3] = {font_of(ui + " 18"), font_of(ui + " Bold 18"), font_of(ui + " 18")};
    const Rgb colors[3] = {SOFT, LIME, WHITE};
    const double alphas[3] = {0.95, 1.0, 1.0};
    for (int pass = 0; pass < 2; ++pass) {
        double x = 88;
        for (int i = 0; i < 3; ++i) {
            double run = pass == 0
                             ? draw_text(cr, layout, fonts[i], NAME_RUNS[i], x + 1.2, top + 1.2, SHADOW, 0.75)
                             : draw_text(cr, layout, fonts[i], NAME_RUNS[i], x, top, colors[i], alphas[i]);
            x += run;
        }
    }
    for (PangoFontDescription* f : fonts) pango_font_description_free(f);

    if (!m_subtitle.empty()) {
        PangoFontDescription* small = font_of(ui + " 9");
        pango_layout_set_width(layout, static_cast<int>(std::max(0.0, 0.42 * w - 88) * PANGO_SCALE));
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
        draw_text(cr, layout, small, m_subtitle, 89, 41, SHADOW, 0.8);
        draw_text(cr, layout, small, m_subtitle, 88, 40, SOFT, 0.95);
        pango_layout_set_width(layout, -1);
        pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_NONE);
        pango_font_description_free(small);
    }
    g_object_unref(layout);

    cairo_rectangle(cr, 0, h - 2, w, 2);
    cairo_set_source_rgba(cr, 0.004, 0.078, 0.031, 0.9);
    cairo_fill(cr);
}

void Header::draw_logo(cairo_t* cr, double x, double y, double size) {
    int px = static_cast<int>(size);
    if (m_logo && m_logo_px != px) destroy_surface(m_logo);
    if (!m_logo && !m_logo_failed) {
        GdkPixbuf* scaled = program_icon(px);
        if (scaled) {
            m_logo = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, px, px);
            cairo_t* c = cairo_create(m_logo);
            gdk_cairo_set_source_pixbuf(c, scaled, 0, 0);
            cairo_paint(c);
            cairo_destroy(c);
            m_logo_px = px;
            g_object_unref(scaled);
        } else {
            m_logo_failed = true;
        }
    }
    if (!m_logo) return;
    rounded_rect(cr, x + 1.5, y + 2.5, size, size, 0.22 * size);
    cairo_set_source_rgba(cr, 0, 0, 0, 0.35);
    cairo_fill(cr);
    cairo_set_source_surface(cr, m_logo, x, y);
    cairo_paint(cr);
}

void Header::ensure_fonts() {
    std::string family = I18n::instance().ui_font_family();
    if (!m_percent_font) m_percent_font = font_of("Monospace Bold 10");
    if (m_label_font && family == m_label_family) return;
    if (m_label_font) pango_font_description_free(m_label_font);
    m_label_font = font_of(family + " 8");
    m_label_family = family;
}

void Header::draw_history(cairo_t* cr, double x, double y, double w, double h) {
    rounded_rect(cr, x, y, w, h, 4);
    cairo_set_source_rgba(cr, 0.012, 0.129, 0.055, 0.86);
    cairo_fill_preserve(cr);
    set_color(cr, LIME, 0.35);
    cairo_set_line_width(cr, 1);
    cairo_stroke(cr);

    size_t n = m_history.size();
    if (n >= 2) {
        double step = w / (HISTORY - 1);
        double x0 = x + w - (n - 1) * step;
        cairo_save(cr);
        rounded_rect(cr, x, y, w, h, 4);
        cairo_clip(cr);
        cairo_move_to(cr, x0, y + h);
        for (size_t i = 0; i < n; ++i)
            cairo_line_to(cr, x0 + i * step, y + h - std::clamp(m_history[i], 0.0, 1.0) * (h - 16));
        cairo_line_to(cr, x0 + (n - 1) * step, y + h);
        cairo_close_path(cr);
        Rgb c = ui::detail::load_color(m_palette, std::clamp(m_total_glow, 0.0, 1.0));
        cairo_pattern_t* fill = cairo_pattern_create_linear(0, y, 0, y + h);
        cairo_pattern_add_color_stop_rgba(fill, 0, c.r, c.g, c.b, 0.7);
        cairo_pattern_add_color_stop_rgba(fill, 1, c.r, c.g, c.b, 0.18);
        cairo_set_source(cr, fill);
        cairo_fill_preserve(cr);
        cairo_pattern_destroy(fill);
        set_color(cr, c, 0.95);
        cairo_set_line_width(cr, 1.4);
        cairo_stroke(cr);
        cairo_restore(cr);
    }

    ensure_fonts();
    if (!m_layout)
        m_layout = band_layout(cr);
    else
        pango_cairo_update_layout(cr, m_layout);
    std::string percent = util::fmt_percent(100.0 * m_total_glow, 0);
    pango_layout_set_font_description(m_layout, m_percent_font);
    pango_layout_set_text(m_layout, percent.c_str(), -1);
    int pw = 0, ph = 0;
    pango_layout_get_pixel_size(m_layout, &pw, &ph);
    draw_text(cr, m_layout, m_percent_font, percent, x + w - pw - 6, y + 3, WHITE, 0.95);
    draw_text(cr, m_layout, m_label_font, tr("monitor.cpu"), x + 6, y + 3, SOFT, 0.95);
}
