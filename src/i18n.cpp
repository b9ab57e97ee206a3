#include "i18n.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "i18n_data.h"
#include "util.h"

namespace {

// English stands in whenever the wanted language is not in the tables.
constexpr int ENGLISH = int(i18n_data::ENGLISH);

int language_index(const std::string& code) {
    for (size_t i = 0; i < i18n_data::LANG_COUNT; ++i)
        if (code == i18n_data::text_at(i18n_data::LANGS[i].code)) return int(i);
    return -1;
}

}  // namespace

I18n& I18n::instance() {
    static I18n catalogue;
    // The desktop's language is in force from the very first lookup.
    static const bool applied = (catalogue.set_language("auto"), true);
    (void)applied;
    return catalogue;
}

void I18n::set_language(const std::string& code) {
    m_setting = code.empty() ? "auto" : code;
    std::string wanted = m_setting == "auto" ? detect_system_language() : m_setting;
    int index = language_index(wanted);
    if (index < 0) {
        wanted = "en";
        index = ENGLISH;
    }
    m_lang_index = index;
    m_code = wanted;
    m_rtl = i18n_data::LANGS[index].rtl;
}

const char* I18n::tr(const char* key) const {
    if (!key || !*key) return key;
    const auto* begin = std::begin(i18n_data::KEY_AT);
    const auto* end = std::end(i18n_data::KEY_AT);
    const auto* it = std::lower_bound(begin, end, key, [](std::uint32_t at, const char* k) {
        return std::strcmp(i18n_data::text_at(at), k) < 0;
    });
    if (it == end || std::strcmp(i18n_data::text_at(*it), key) != 0) return key;
    return i18n_data::value(size_t(m_lang_index), size_t(it - begin));
}

std::string I18n::trf(const char* key, ...) const {
    const char* fmt = tr(key);
    if (!fmt) return {};
    va_list args;
    va_start(args, key);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return fmt;
    }
    std::string out(size_t(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), fmt, again);
    va_end(again);
    out.resize(size_t(n));
    return out;
}

const char* I18n::ui_font_family() const {
    // These scripts read poorly in the monospace face the other languages use.
    for (const char* code : {"zh", "ja", "ko", "ar", "he"})
        if (m_code == code) return "sans-serif";
    return "monospace";
}

std::vector<LanguageInfo> I18n::available() {
    std::vector<LanguageInfo> out;
    out.reserve(i18n_data::LANG_COUNT);
    for (const auto& lang : i18n_data::LANGS)
        out.push_back({i18n_data::text_at(lang.code), i18n_data::text_at(lang.native_name), lang.rtl});
    return out;
}

namespace {

// The desktop's language list as message catalogues read it: LANGUAGE, a
// list, wins even over LC_ALL; else the first of LC_ALL, LC_MESSAGES and
// LANG that is set.
std::vector<std::string> wanted_languages() {
    for (const char* variable : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value && *value) return util::split(value, ':');
    }
    return {};
}

// "german" and the like, from the system's alias table; the same name when it
// is no alias. Read only for a name no language matches, which is rare.
std::string unalias(const std::string& name) {
    for (const std::string& line : util::read_lines("/usr/share/locale/locale.alias")) {
        const size_t gap = line.find_first_of(" \t");
        if (gap == name.size() && line.compare(0, gap, name) == 0) return util::trim(line.substr(gap));
    }
    return name;
}

// "de_AT" of "de_AT.UTF-8@euro": without character set and modifier.
std::string locale_tag(const std::string& name) {
    const std::string tag = name.substr(0, name.find('.'));
    return tag.substr(0, tag.find('@'));
}

bool is_c_locale(const std::string& tag) { return tag.empty() || tag == "C" || tag == "POSIX"; }

// The language a locale name asks for: "de" for "de_AT.UTF-8@euro", else
// its base; empty when the tables have neither.
std::string language_of(const std::string& name) {
    const std::string tag = locale_tag(name);
    if (is_c_locale(tag)) return {};
    if (language_index(tag) >= 0) return tag;
    const size_t underscore = tag.find('_');
    if (underscore != std::string::npos && language_index(tag.substr(0, underscore)) >= 0)
        return tag.substr(0, underscore);
    return {};
}

}  // namespace

std::string I18n::detect_system_language() {
    for (const std::string& name : wanted_languages()) {
        std::string code = language_of(name);
        if (code.empty() && !is_c_locale(locale_tag(name))) code = language_of(unalias(name));
        if (!code.empty()) return code;
    }
    return "en";
}
