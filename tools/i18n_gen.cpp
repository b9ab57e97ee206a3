// Build-time generator of the translation tables. Reads i18n/languages.txt and
// one text file per language, checks them against the English file and writes
// the header src code includes as "i18n_data.h". Any fault stops the build with
// a message naming the file, the language and the key.
//
//   i18n_gen [--expect-keys N] I18N_DIR OUTPUT_HEADER
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::string key;
    std::string text;
    int line = 0;
};

struct Language {
    std::string code;
    std::string native_name;
    bool rtl = false;
    std::string path;
    std::vector<Entry> entries;
};

int g_errors = 0;

void fail(const std::string& where, const std::string& what) {
    std::fprintf(stderr, "%s: error: %s\n", where.c_str(), what.c_str());
    ++g_errors;
}

std::string at(const std::string& path, int line) { return path + ":" + std::to_string(line); }

void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

// Undoes the file format's escapes: \n, \t, \\ and \uXXXX. Returns false on a
// malformed escape so a typo cannot slip into the program as literal text.
bool unescape(const std::string& in, std::string& out) {
    out.clear();
    for (size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i == in.size()) return false;
        switch (in[i]) {
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case '\\':
                out += '\\';
                break;
            case 'u': {
                if (in.size() - i - 1 < 4) return false;
                unsigned cp = 0;
                for (int d = 1; d <= 4; ++d) {
                    char c = in[i + d];
                    cp <<= 4;
                    if (c >= '0' && c <= '9')
                        cp |= unsigned(c - '0');
                    else if (c >= 'a' && c <= 'f')
                        cp |= unsigned(c - 'a' + 10);
                    else if (c >= 'A' && c <= 'F')
                        cp |= unsigned(c - 'A' + 10);
                    else
                        return false;
                }
                if (cp == 0 || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
                append_utf8(out, cp);
                i += 4;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

bool read_lines(const std::string& path, std::vector<std::string>& lines) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return true;
}

bool is_comment_or_blank(const std::string& line) { return line.empty() || line[0] == '#'; }

std::vector<Language> read_language_list(const std::string& dir) {
    std::vector<Language> langs;
    const std::string path = dir + "/languages.txt";
    std::vector<std::string> lines;
    if (!read_lines(path, lines)) {
        fail(path, "cannot read the language list");
        return langs;
    }
    std::set<std::string> seen;
    for (size_t n = 0; n < lines.size(); ++n) {
        if (is_comment_or_blank(lines[n])) continue;
        std::vector<std::string> cols;
        std::stringstream ss(lines[n]);
        std::string col;
        while (std::getline(ss, col, '\t')) cols.push_back(col);
        if (cols.size() != 3 || cols[0].empty() || cols[1].empty() ||
            (cols[2] != "ltr" && cols[2] != "rtl")) {
            fail(at(path, int(n + 1)), "expected: code<TAB>native name<TAB>ltr|rtl");
            continue;
        }
        if (!seen.insert(cols[0]).second) {
            fail(at(path, int(n + 1)), "language " + cols[0] + " listed twice");
            continue;
        }
        langs.push_back({cols[0], cols[1], cols[2] == "rtl", dir + "/" + cols[0] + ".txt", {}});
    }
    return langs;
}

void read_entries(Language& lang) {
    std::vector<std::string> lines;
    if (!read_lines(lang.path, lines)) {
        fail(lang.path, "language " + lang.code + ": cannot read its file");
        return;
    }
    for (size_t n = 0; n < lines.size(); ++n) {
        const std::string& line = lines[n];
        if (is_comment_or_blank(line)) continue;
        const std::string where = at(lang.path, int(n + 1));
        const size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            fail(where, "language " + lang.code + ": line \"" + line + "\" has no tab between key and text");
            continue;
        }
        Entry e{line.substr(0, tab), {}, int(n + 1)};
        if (!unescape(line.substr(tab + 1), e.text)) {
            fail(where, "language " + lang.code + ", key " + e.key + ": malformed escape");
            continue;
        }
        lang.entries.push_back(std::move(e));
    }
}

// The printf conversions of a text in order, "%%" excluded. A lone '%' that
// starts no valid conversion counts as one so it is caught, not printed.
std::vector<std::string> conversions(const std::string& text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        if (i + 1 < text.size() && text[i + 1] == '%') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < text.size() && std::strchr("-+ #0'", text[j])) ++j;
        while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '*')) ++j;
        if (j < text.size() && text[j] == '.') {
            ++j;
            while (j < text.size() && (std::isdigit(static_cast<unsigned char>(text[j])) || text[j] == '*'))
                ++j;
        }
        while (j < text.size() && std::strchr("hlLqjzt", text[j])) ++j;
        if (j < text.size() && std::strchr("diouxXeEfFgGaAcspn", text[j])) {
            out.push_back(text.substr(i, j - i + 1));
            i = j;
        } else {
            out.push_back("%");
        }
    }
    return out;
}

std::string join(const std::vector<std::string>& v) {
    std::string s;
    for (const auto& x : v) s += (s.empty() ? "" : " ") + x;
    return s.empty() ? "none" : s;
}

void check_reference(const Language& en, size_t expect_keys) {
    std::set<std::string> seen;
    for (size_t i = 0; i < en.entries.size(); ++i) {
        const Entry& e = en.entries[i];
        if (e.key.empty()) fail(at(en.path, e.line), "language en: empty key");
        if (!seen.insert(e.key).second)
            fail(at(en.path, e.line), "language en, key " + e.key + ": key occurs twice");
        if (i > 0 && std::strcmp(en.entries[i - 1].key.c_str(), e.key.c_str()) > 0)
            fail(at(en.path, e.line), "language en, key " + e.key + ": not sorted (must come before " +
                                          en.entries[i - 1].key + ")");
        if (e.text.empty()) fail(at(en.path, e.line), "language en, key " + e.key + ": empty text");
    }
    if (expect_keys && en.entries.size() != expect_keys)
        fail(en.path, "language en: " + std::to_string(en.entries.size()) + " keys, expected " +
                          std::to_string(expect_keys));
}

// Every other language must list exactly the English keys in the same order,
// each with a non-empty text carrying the English conversions.
void check_against(const Language& lang, const Language& en) {
    size_t i = 0, j = 0;
    while (i < lang.entries.size() || j < en.entries.size()) {
        if (j == en.entries.size()) {
            const Entry& e = lang.entries[i++];
            fail(at(lang.path, e.line), "language " + lang.code + ", key " + e.key +
                                            ": not an English key, occurs twice or out of order");
            continue;
        }
        const Entry& ref = en.entries[j];
        if (i == lang.entries.size()) {
            fail(lang.path, "language " + lang.code + ", key " + ref.key + ": missing");
            ++j;
            continue;
        }
        const Entry& e = lang.entries[i];
        const std::string where = at(lang.path, e.line);
        const int order = std::strcmp(e.key.c_str(), ref.key.c_str());
        if (order > 0) {
            fail(lang.path, "language " + lang.code + ", key " + ref.key + ": missing (or out of order)");
            ++j;
            continue;
        }
        if (order < 0) {
            fail(where, "language " + lang.code + ", key " + e.key +
                            ": not an English key, occurs twice or out of order");
            ++i;
            continue;
        }
        if (e.text.empty()) fail(where, "language " + lang.code + ", key " + e.key + ": empty text");
        const auto want = conversions(ref.text), got = conversions(e.text);
        if (want != got)
            fail(where, "language " + lang.code + ", key " + e.key + ": conversions " + join(got) +
                            " differ from English " + join(want));
        ++i;
        ++j;
    }
}

std::string c_literal(const std::string& s) {
    std::string out = "\"";
    bool after_hex = false;
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
            after_hex = true;
            continue;
        } else if (after_hex && std::isxdigit(c)) {
            // A hex escape would swallow the digit; split the literal.
            out += "\" \"";
            out += char(c);
        } else {
            out += char(c);
        }
        after_hex = false;
    }
    return out + "\"";
}

// Every text once, each ended by its zero byte, and the offset of each text
// in the block. Offsets instead of pointers: the tables then need no
// relocation at start-up and stay shared, clean pages.
struct StringBlock {
    std::string literal_lines;
    std::map<std::string, size_t> offsets;
    size_t size = 0;

    size_t add(const std::string& text) {
        auto [it, added] = offsets.try_emplace(text, size);
        if (added) {
            literal_lines += "    " + c_literal(text + std::string(1, '\0')) + "\n";
            size += text.size() + 1;
        }
        return it->second;
    }
};

std::string render(const std::vector<Language>& langs, const Language& en) {
    const size_t n = en.entries.size();
    StringBlock block;
    std::ostringstream keys, values, entries;
    // The program reads every language's code and name (the language menu)
    // but the texts of one language only: the names come first, together,
    // and each language's texts lie together (English's first), so a start touches a few pages
    // of the block instead of all of them.
    size_t english = 0;
    for (size_t l = 0; l < langs.size(); ++l) {
        const Language& lang = langs[l];
        if (lang.code == "en") english = l;
        entries << "    {" << block.add(lang.code) << ", " << block.add(lang.native_name) << ", "
                << (lang.rtl ? "true" : "false") << "},  // " << lang.code << "\n";
    }
    for (const auto& e : en.entries) keys << "    " << block.add(e.key) << ",\n";
    // English first: a text another language leaves as it is in English is
    // then found among the English texts rather than in some other language.
    for (const auto& e : en.entries) block.add(e.text);
    for (const Language& lang : langs) {
        values << "    {";
        for (size_t i = 0; i < lang.entries.size(); ++i)
            values << (i ? ", " : "") << block.add(lang.entries[i].text);
        values << "},\n";
    }
    std::ostringstream o;
    o << "// Generated by i18n_gen from the i18n/ directory. Do not edit.\n"
         "#pragma once\n\n"
         "#include <cstddef>\n"
         "#include <cstdint>\n\n"
         "namespace i18n_data {\n\n"
      << "inline constexpr std::size_t KEY_COUNT = " << n << ";\n"
      << "inline constexpr std::size_t LANG_COUNT = " << langs.size() << ";\n"
      << "inline constexpr std::size_t ENGLISH = " << english << ";\n\n"
      << "// Every key and text once, each ended by a zero byte; the tables below\n"
         "// hold offsets into it.\n"
         "inline constexpr char STRINGS[] =\n"
      << block.literal_lines << "    \"\";\n\n"
      << "struct LangEntry {\n"
         "    std::uint32_t code;\n"
         "    std::uint32_t native_name;\n"
         "    bool rtl;\n"
         "};\n\n"
      << "inline constexpr std::uint32_t KEY_AT[KEY_COUNT] = {\n"
      << keys.str() << "};\n\n"
      << "inline constexpr std::uint32_t VALUE_AT[LANG_COUNT][KEY_COUNT] = {\n"
      << values.str() << "};\n\n"
      << "inline constexpr LangEntry LANGS[LANG_COUNT] = {\n"
      << entries.str() << "};\n\n"
      << "inline const char* text_at(std::uint32_t offset) { return STRINGS + offset; }\n"
         "inline const char* key(std::size_t i) { return text_at(KEY_AT[i]); }\n"
         "inline const char* value(std::size_t lang, std::size_t i) { return text_at(VALUE_AT[lang][i]); }\n"
         "\n}  // namespace i18n_data\n";
    return o.str();
}

// Written through a temporary file so an interrupted build never leaves a
// half-written header that looks complete.
bool write_header(const std::string& path, const std::string& content) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out) return false;
    }
    std::filesystem::rename(tmp, path, ec);
    return !ec;
}

}  // namespace

int main(int argc, char** argv) {
    size_t expect_keys = 0;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--expect-keys") == 0 && i + 1 < argc)
            expect_keys = std::strtoul(argv[++i], nullptr, 10);
        else
            args.push_back(argv[i]);
    }
    if (args.size() != 2) {
        std::fprintf(stderr, "usage: i18n_gen [--expect-keys N] I18N_DIR OUTPUT_HEADER\n");
        return 2;
    }
    const std::string dir = args[0];

    std::vector<Language> langs = read_language_list(dir);
    std::set<std::string> listed;
    for (auto& lang : langs) {
        listed.insert(lang.code + ".txt");
        read_entries(lang);
    }
    // A language file nobody listed would silently never ship.
    std::error_code ec;
    for (const auto& f : std::filesystem::directory_iterator(dir, ec)) {
        const std::string name = f.path().filename().string();
        if (f.path().extension() == ".txt" && name != "languages.txt" && !listed.count(name))
            fail(f.path().string(), "language " + f.path().stem().string() + ": not listed in languages.txt");
    }

    const Language* en = nullptr;
    for (const auto& lang : langs)
        if (lang.code == "en") en = &lang;
    if (!en) {
        fail(dir + "/languages.txt", "language en: not listed; it is the reference");
    } else {
        check_reference(*en, expect_keys);
        for (const auto& lang : langs)
            if (&lang != en) check_against(lang, *en);
    }
    if (g_errors) {
        std::fprintf(stderr, "i18n_gen: %d error(s); translation tables not written\n", g_errors);
        return 1;
    }
    if (!write_header(args[1], render(langs, *en))) {
        std::fprintf(stderr, "%s: error: cannot write\n", args[1].c_str());
        return 1;
    }
    return 0;
}
