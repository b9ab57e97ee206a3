// The window's colours as plain data: the palette with its light and dark
// sets and the user's colours, and the colour arithmetic every drawing uses.
// Free of the toolkit, so the settings reader needs no window library.
#pragma once

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
