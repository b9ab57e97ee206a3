// Colours of the window and its language: the palette with its light and dark
// sets and the user's colours, the colour arithmetic every drawing uses, the
// one application style sheet, the desktop's light/dark preference read from
// the desktop portal, and switching the interface language.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <string>

struct Settings;

// A colour as three channels 0..1, made from a palette text where it is drawn.
struct Rgb {
    double r = 0.0;
    double g = 0.0;
    double b = 0.0;
};

// Colours are texts of "#" and six hexadecimal digits until drawn.
struct Palette {
    bool dark = false;
    std::string background;  // window and page background
    std::string panel;       // cards, menus, lists, entries
    std::string text;
    std::string accent;      // titles, selections, active tab, figures
    std::string dim;         // secondary text
    std::string search_hit;  // carried by the settings; nothing is styled with it
    std::string load_low;    // the three stops of the load colour ramp
    std::string load_mid;
    std::string load_high;

    static Palette light();
    static Palette dark_();
    // The built-in set of that kind with the user's colours laid over it.
    static Palette from_settings(const Settings& s, bool dark);
};

// Per channel fg * alpha + bg * (1 - alpha).
Rgb mix(const Rgb& fg, const Rgb& bg, double alpha);
// Accepts "#rrggbb" or "rrggbb" in either case; leaves `out` untouched and
// returns false for anything else.
bool hex_to_rgb(const std::string& text, Rgb& out);
// "#RRGGBB", channels clamped to 0..255.
std::string rgb_to_hex(const Rgb& c);
// rgb_to_hex of mix of the two; the first text unchanged when either is bad.
std::string mix_hex(const std::string& fg, const std::string& bg, double alpha);

// The application style sheet for a palette.
std::string build_css(const Palette& p);

namespace theme {

// The desktop's dark preference as the toolkit's own settings show it; read
// once at start-up, before our theme sets the toolkit's dark flag.
bool probe_startup_dark_hint();

// The portal's colour-scheme answer (synchronous, at most 500 ms): 1 is dark,
// 2 light; no bus, no portal, no answer or "no preference" give `fallback`.
bool system_prefers_dark(bool fallback);

// "dark" and "light" are fixed choices; anything else follows the desktop.
bool resolve_dark(const std::string& theme_setting, bool startup_hint);

// Loads the style sheet of `p` into `*provider`, creating the provider and
// adding it to the default screen on first use, and sets the toolkit's own
// dark preference to `p.dark`.
void load_style(GtkCssProvider** provider, const Palette& p);

// Subscribes `handler` to the portal's SettingChanged signal on the session
// bus; returns the subscription id, 0 without a session bus.
guint watch_portal(GDBusSignalCallback handler, gpointer data);

// True when SettingChanged parameters ("(ssv)") announce a change of the
// appearance colour scheme.
bool is_colour_scheme_change(GVariant* parameters);

// Catalogue, number separators and the toolkit's default text direction for
// a language setting ("auto" or a code). Rebuilds nothing: callers refresh
// the pages and the menu bar afterwards.
void apply_language(const std::string& code);

}  // namespace theme
