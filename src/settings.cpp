#include "settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <system_error>

#include "i18n.h"
#include "palette.h"
#include "util.h"

const ColorField COLOR_FIELDS[COLOR_FIELD_COUNT] = {
    {"bg_light", &Settings::bg_light},     {"panel_light", &Settings::panel_light},
    {"text_light", &Settings::text_light}, {"accent_light", &Settings::accent_light},
    {"dim_light", &Settings::dim_light},   {"hit_light", &Settings::hit_light},
    {"bg_dark", &Settings::bg_dark},       {"panel_dark", &Settings::panel_dark},
    {"text_dark", &Settings::text_dark},   {"accent_dark", &Settings::accent_dark},
    {"dim_dark", &Settings::dim_dark},     {"hit_dark", &Settings::hit_dark},
    {"load_low", &Settings::load_low},     {"load_mid", &Settings::load_mid},
    {"load_high", &Settings::load_high},
};

void Settings::reset_colors() {
    for (const ColorField& f : COLOR_FIELDS) (this->*f.member).clear();
}

namespace {
const char* const START_VIEWS[] = {"cpu", "board", "memory"};
}

const char* start_view_tab(int start_tab) {
    return start_tab >= 0 && start_tab <= 2 ? START_VIEWS[start_tab] : START_VIEWS[0];
}

int start_view_of(const std::string& tab_name) {
    for (int i = 0; i < 3; ++i)
        if (tab_name == START_VIEWS[i]) return i;
    return -1;
}

SettingsStore& SettingsStore::instance() {
    static SettingsStore store;
    return store;
}

namespace {

// An empty variable counts as unset: an empty SNAP_USER_COMMON would
// otherwise put the settings under "/config" at the file system's root.
std::string env_or_empty(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

std::string settings_dir() {
    std::string snap = env_or_empty("SNAP_USER_COMMON");
    if (!snap.empty()) return snap + "/config";
    std::string xdg = env_or_empty("XDG_CONFIG_HOME");
    if (!xdg.empty()) return xdg + "/Zorvantelquist";
    const char* home = std::getenv("HOME");
    return std::string(home ? home : ".") + "/.config/Zorvantelquist";
}

// Position just after `"key"` and the colon that follows it; npos when absent.
size_t value_start(const std::string& content, const char* key) {
    size_t at = content.find(std::string("\"") + key + "\"");
    if (at == std::string::npos) return at;
    size_t colon = content.find(':', at + std::char_traits<char>::length(key) + 2);
    return colon == std::string::npos ? colon : colon + 1;
}

std::string read_string(const std::string& content, const char* key) {
    size_t from = value_start(content, key);
    if (from == std::string::npos) return "";
    size_t open = content.find('"', from);
    if (open == std::string::npos) return "";
    size_t close = content.find('"', open + 1);
    if (close == std::string::npos) return "";
    return content.substr(open + 1, close - open - 1);
}

bool is_integer_text(const std::string& s) {
    size_t i = (!s.empty() && s[0] == '-') ? 1 : 0;
    if (i == s.size()) return false;
    for (; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

// Values beyond int fall back as well: cutting them would store a garbage
// window size or position.
int read_number(const std::string& content, const char* key, int fallback) {
    size_t from = value_start(content, key);
    if (from == std::string::npos) return fallback;
    while (from < content.size() && (content[from] == ' ' || content[from] == '\t')) ++from;
    size_t end = content.find_first_of(",}\n", from);
    std::string raw =
        util::trim(content.substr(from, end == std::string::npos ? std::string::npos : end - from));
    if (raw == "true") return 1;
    if (raw == "false") return 0;
    if (!is_integer_text(raw)) return fallback;
    int64_t v = util::to_i64(raw, fallback);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max()) return fallback;
    return static_cast<int>(v);
}

bool known_language(const std::string& code) {
    if (code == "auto") return true;
    for (const LanguageInfo& l : I18n::available())
        if (l.code == code) return true;
    return false;
}

void line(std::string& out, const char* key, const std::string& value) {
    out += std::string("  \"") + key + "\": \"" + value + '"';
}
void line(std::string& out, const char* key, int value) {
    out += std::string("  \"") + key + "\": " + std::to_string(value);
}
void line(std::string& out, const char* key, bool value) {
    out += std::string("  \"") + key + "\": " + (value ? "true" : "false");
}

}  // namespace

std::string SettingsStore::path() const {
    std::string dir = settings_dir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir + "/settings.json";
}

std::string SettingsStore::to_text(const Settings& s) {
    std::string out = "{\n";
    line(out, "language", s.language), out += ",\n";
    line(out, "theme", s.theme), out += ",\n";
    line(out, "window_x", s.window_x), out += ",\n";
    line(out, "window_y", s.window_y), out += ",\n";
    line(out, "window_width", s.window_width), out += ",\n";
    line(out, "window_height", s.window_height), out += ",\n";
    line(out, "window_maximized", s.window_maximized), out += ",\n";
    line(out, "start_tab", s.start_tab), out += ",\n";
    line(out, "show_sources", s.show_sources);
    for (const ColorField& f : COLOR_FIELDS) {
        const std::string& colour = s.*f.member;
        if (colour.empty()) continue;
        out += ",\n";
        line(out, f.key, colour);
    }
    out += "\n}\n";
    return out;
}

void SettingsStore::from_text(const std::string& content, Settings& s) {
    std::string language = read_string(content, "language");
    if (known_language(language)) s.language = language;
    std::string theme = read_string(content, "theme");
    if (theme == "auto" || theme == "light" || theme == "dark") s.theme = theme;
    for (const ColorField& f : COLOR_FIELDS) {
        std::string colour = read_string(content, f.key);
        Rgb rgb;
        if (!colour.empty() && hex_to_rgb(colour, rgb)) s.*f.member = colour;
    }
    s.window_x = read_number(content, "window_x", -1);
    s.window_y = read_number(content, "window_y", -1);
    s.window_width = read_number(content, "window_width", -1);
    s.window_height = read_number(content, "window_height", -1);
    s.window_maximized = read_number(content, "window_maximized", 0) != 0;
    s.show_sources = read_number(content, "show_sources", 0) != 0;
    int tab = read_number(content, "start_tab", 0);
    s.start_tab = (tab >= 0 && tab <= 2) ? tab : 0;
    if (s.window_width < 1) s.window_width = -1;
    if (s.window_height < 1) s.window_height = -1;
}

void SettingsStore::load() {
    // The user's own file, never under the root prefix the readers of the
    // machine's files honour.
    std::FILE* f = std::fopen(path().c_str(), "r");
    if (!f) return;
    std::string content;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) content.append(buf, n);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (!failed) from_text(content, m_settings);
}

// The old file is replaced only by a temporary file that was written, flushed
// and closed without error; a half-written one would lose every setting.
void SettingsStore::save() const {
    std::string file = path();
    std::string tmp = file + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return;
    std::string text = to_text(m_settings);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = std::fflush(f) == 0 && ok;
    ok = !std::ferror(f) && ok;
    ok = std::fclose(f) == 0 && ok;
    if (!ok || std::rename(tmp.c_str(), file.c_str()) != 0) std::remove(tmp.c_str());
}
