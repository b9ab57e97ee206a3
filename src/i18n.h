// The translation catalogue: every user-visible text is looked up by a dotted
// key in the tables built into the program.
#pragma once

#include <string>
#include <vector>

struct LanguageInfo {
    std::string code;
    std::string native_name;
    bool rtl = false;
};

class I18n {
public:
    static I18n& instance();

    void set_language(const std::string& code);
    const std::string& language() const { return m_setting; }
    const std::string& effective_language() const { return m_code; }
    bool is_rtl() const { return m_rtl; }

    // The text of `key` in the current language; the caller's pointer itself
    // when the key is null, empty or unknown.
    const char* tr(const char* key) const;
    // printf-style formatting of the translated text.
    std::string trf(const char* key, ...) const;
    const char* ui_font_family() const;

    static std::vector<LanguageInfo> available();
    static std::string detect_system_language();

private:
    I18n() = default;

    std::string m_setting = "auto";
    std::string m_code = "en";
    bool m_rtl = false;
    int m_lang_index = 0;
};

inline const char* tr(const char* key) { return I18n::instance().tr(key); }
