// The user's choices kept between runs in one small "settings.json": language,
// theme, window geometry, start tab, the sources option and user colours.
#pragma once

#include <string>

struct Settings {
    std::string language = "auto";
    std::string theme = "auto";
    int window_x = -1;       // negative: no stored position
    int window_y = -1;
    int window_width = -1;   // below 1: no stored size
    int window_height = -1;
    bool window_maximized = false;
    int start_tab = 0;       // 0 to 2: see start_view_tab
    bool show_sources = false;

    // User colours: empty means the built-in colour.
    std::string bg_light, panel_light, text_light, accent_light, dim_light, hit_light;
    std::string bg_dark, panel_dark, text_dark, accent_dark, dim_dark, hit_dark;
    std::string load_low, load_mid, load_high;

    void reset_colors();
};

// The fifteen colour settings: the key in the file and the member it stands
// for. The key equals the member's name; saving, loading and resetting walk
// the table in this order.
struct ColorField {
    const char* key;
    std::string Settings::*member;
};
inline constexpr int COLOR_FIELD_COUNT = 15;
extern const ColorField COLOR_FIELDS[COLOR_FIELD_COUNT];

// The start view is stored as 0, 1 or 2 for the "cpu", "board" and "memory"
// tabs, whatever their positions in the tab bar. Another number names "cpu".
const char* start_view_tab(int start_tab);
// The stored start view of a tab: -1 for a tab that is none of the three.
int start_view_of(const std::string& tab_name);

class SettingsStore {
public:
    static SettingsStore& instance();

    const Settings& get() const { return m_settings; }
    Settings& mutable_get() { return m_settings; }

    // The settings file's full name; creates its directory on the way.
    std::string path() const;
    void load();
    void save() const;

    // The text written by save(), and the record read from such a text on top
    // of the current values.
    static std::string to_text(const Settings& s);
    static void from_text(const std::string& content, Settings& s);

private:
    SettingsStore() = default;
    Settings m_settings;
};
