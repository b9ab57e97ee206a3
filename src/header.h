// The animated band at the top of the window: a circuit board that drifts
// slowly to the right under the logo and the program's name, and on the right
// a small panel with the CPU-load history of the last 90 seconds.
#pragma once

#include <cairo.h>
#include <gtk/gtk.h>
#include <pango/pango.h>

#include <deque>
#include <string>

#include "theme.h"

namespace load {
class CpuLoad;
}

// The program's icon at `size` pixels square (0: as drawn), a new
// reference; null when it cannot be decoded.
GdkPixbuf* program_icon(int size);

class Header {
public:
    static constexpr int HEIGHT = 78;
    static constexpr int TILE_WIDTH = 640;  // the board tile, repeated across the band
    static constexpr size_t HISTORY = 90;   // load samples kept, one per tick

    Header() = default;
    ~Header();
    Header(const Header&) = delete;
    Header& operator=(const Header&) = delete;

    // The drawing area, animated from now on; `load` (owned by the caller, may
    // be null) gives the smoothed figure.
    GtkWidget* build(const Palette& palette, const load::CpuLoad* load);
    void set_subtitle(const std::string& text);
    void set_palette(const Palette& palette);
    // One sample per tick, so that a flat load still scrolls the graph; a
    // negative load (not measured yet) adds nothing.
    void push_load(double load);
    // No frames while the window is iconified: the timer is removed and comes
    // back when the window is shown again.
    void set_paused(bool paused);
    void invalidate_cache();

    // One animation step: the glow follows the load, the board moves on.
    void animate();
    // One frame of w by h logical pixels at the given scale factor.
    void draw(cairo_t* cr, int w, int h, int scale);

    // The header's state; public for the tests that draw it.
    GtkWidget* m_area = nullptr;
    // What does not move: the veil, the name, the subtitle and the logo, over
    // the left part of the band at the current size.
    cairo_surface_t* m_cache = nullptr;
    // The board on the background gradient, TILE_WIDTH by the height; opaque,
    // so that every frame copies it instead of blending two layers.
    cairo_surface_t* m_pcb = nullptr;
    cairo_surface_t* m_logo = nullptr;
    // The history panel as last drawn: it changes with a new sample or a
    // visible step of the glow, not with the board moving under it.
    cairo_surface_t* m_panel = nullptr;
    double m_panel_glow = -1.0;
    std::string m_panel_percent;
    int m_logo_px = 0;
    bool m_logo_failed = false;  // the embedded picture does not decode: not tried again
    int m_cache_w = 0, m_cache_h = 0, m_cache_scale = 0;
    std::string m_cache_family;  // the interface font family of the name in m_cache
    double m_scroll = 0.0;
    Palette m_palette = Palette::light();
    const load::CpuLoad* m_load = nullptr;
    std::string m_subtitle;
    std::deque<double> m_history;
    double m_total_glow = 0.0;
    double m_last_sample = -1.0;
    guint m_timer = 0;
    bool m_paused = false;
    // What the last frame showed: a step that changes none of it queues no
    // frame (the board moves by whole pixels, about ten times a second).
    int m_drawn_offset = -1;
    std::string m_drawn_percent;
    double m_drawn_glow = -1.0;
    bool m_dirty = true;

private:
    void start_timer();
    void stop_timer();
    void paint_static(cairo_t* cr, int w, int h);
    cairo_surface_t* pcb_tile(cairo_t* cr, int h);
    void paint_wordmark(cairo_t* cr, int w, int h);
    void draw_logo(cairo_t* cr, double x, double y, double size);
    void draw_history(cairo_t* cr, double x, double y, double w, double h);
    void ensure_fonts();
    int board_offset() const;  // the board's shift in device pixels
    bool frame_changed() const;

    static gboolean on_draw(GtkWidget* widget, cairo_t* cr, gpointer header);
    static gboolean on_animate(gpointer header);

    // The two texts drawn on every frame, laid out with fonts parsed once per
    // interface family.
    PangoLayout* m_layout = nullptr;
    PangoFontDescription* m_percent_font = nullptr;
    PangoFontDescription* m_label_font = nullptr;
    std::string m_label_family;
};
