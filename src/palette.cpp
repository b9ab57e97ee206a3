#include "palette.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "settings.h"

namespace {

int channel_byte(double c) {
    int v = static_cast<int>(c * 255.0 + 0.5);
    if (v < 0) return 0;
    return v > 255 ? 255 : v;
}

// The settings reader keeps colours written without "#", which GTK's CSS
// parser would reject; the palette always holds the "#" form.
void overlay(std::string& field, const std::string& user) {
    Rgb ignored;
    if (user.empty() || !hex_to_rgb(user, ignored)) return;
    field = user[0] == '#' ? user : "#" + user;
}

}  // namespace

Palette Palette::light() {
    return Palette{false,     "#F2F1F0", "#FFFFFF", "#2E3436", "#1A5FB4",
                   "#5E5C64", "#F5C211", "#2EA043", "#E3B341", "#E5484D"};
}

Palette Palette::dark_() {
    return Palette{true,      "#17171A", "#212126", "#F2F2F5", "#7FB3F5",
                   "#ADADB5", "#7A5E00", "#2EA043", "#E3B341", "#E5484D"};
}

Palette Palette::from_settings(const Settings& s, bool dark) {
    Palette p = dark ? dark_() : light();
    overlay(p.background, dark ? s.bg_dark : s.bg_light);
    overlay(p.panel, dark ? s.panel_dark : s.panel_light);
    overlay(p.text, dark ? s.text_dark : s.text_light);
    overlay(p.accent, dark ? s.accent_dark : s.accent_light);
    overlay(p.dim, dark ? s.dim_dark : s.dim_light);
    overlay(p.search_hit, dark ? s.hit_dark : s.hit_light);
    overlay(p.load_low, s.load_low);
    overlay(p.load_mid, s.load_mid);
    overlay(p.load_high, s.load_high);
    return p;
}

Rgb mix(const Rgb& fg, const Rgb& bg, double alpha) {
    return Rgb{fg.r * alpha + bg.r * (1.0 - alpha), fg.g * alpha + bg.g * (1.0 - alpha),
               fg.b * alpha + bg.b * (1.0 - alpha)};
}

bool hex_to_rgb(const std::string& text, Rgb& out) {
    std::string digits = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (digits.size() != 6) return false;
    for (char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    }
    unsigned long v = std::strtoul(digits.c_str(), nullptr, 16);
    out.r = ((v >> 16) & 0xFF) / 255.0;
    out.g = ((v >> 8) & 0xFF) / 255.0;
    out.b = (v & 0xFF) / 255.0;
    return true;
}

std::string rgb_to_hex(const Rgb& c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", channel_byte(c.r), channel_byte(c.g), channel_byte(c.b));
    return buf;
}

std::string mix_hex(const std::string& fg, const std::string& bg, double alpha) {
    Rgb a, b;
    if (!hex_to_rgb(fg, a) || !hex_to_rgb(bg, b)) return fg;
    return rgb_to_hex(mix(a, b, alpha));
}
