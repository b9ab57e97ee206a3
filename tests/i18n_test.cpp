#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fixture.h"
#include "i18n.h"
#include "i18n_data.h"

namespace {

I18n& cat() { return I18n::instance(); }

// The locale variables GLib builds its language list from. GLib recomputes the
// list whenever their value changes, so each case sets its own value and the
// previous environment comes back afterwards.
class Language : public ::testing::Test {
protected:
    static constexpr const char* VARS[] = {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"};

    void SetUp() override {
        for (const char* var : VARS) {
            const char* v = std::getenv(var);
            m_saved.emplace_back(var, v ? std::optional<std::string>(v) : std::nullopt);
        }
    }
    void TearDown() override {
        for (const auto& [var, value] : m_saved) {
            if (value)
                ::setenv(var.c_str(), value->c_str(), 1);
            else
                ::unsetenv(var.c_str());
        }
        cat().set_language("auto");
    }
    // Only LANGUAGE set (LC_ALL etc. cleared), or, with an empty list, only LC_ALL.
    static void locale_env(const char* language, const char* lc_all = nullptr) {
        for (const char* var : VARS) ::unsetenv(var);
        if (language) ::setenv("LANGUAGE", language, 1);
        if (lc_all) ::setenv("LC_ALL", lc_all, 1);
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> m_saved;
};

TEST_F(Language, LookupReturnsCallersPointerForAnythingNotAKey) {
    cat().set_language("en");
    EXPECT_EQ(tr(nullptr), nullptr);
    const char* empty = "";
    EXPECT_EQ(tr(empty), empty);
    const char* unknown = "no.such.key";
    EXPECT_EQ(tr(unknown), unknown);
    const char* family = "f.";
    EXPECT_EQ(tr(family), family);
    // Past the last key and before the first one.
    const char* after = "zzz";
    const char* before = "a";
    EXPECT_EQ(tr(after), after);
    EXPECT_EQ(tr(before), before);
}

TEST_F(Language, EveryKeyIsFoundAndNoEnglishTextIsItsKey) {
    cat().set_language("en");
    ASSERT_EQ(i18n_data::KEY_COUNT, 479u);
    EXPECT_STREQ(i18n_data::key(0), "about.comment");
    EXPECT_STREQ(i18n_data::key(i18n_data::KEY_COUNT - 1), "vuln.vulnerable");
    for (size_t i = 0; i < i18n_data::KEY_COUNT; ++i) {
        // A copy, so a hit must come from the table and not from the argument.
        const std::string key = i18n_data::key(i);
        const char* text = tr(key.c_str());
        EXPECT_EQ(text, i18n_data::value(i18n_data::ENGLISH, i)) << key;
        EXPECT_STRNE(text, key.c_str()) << key;
    }
    EXPECT_STREQ(tr("sec.identification"), "Identification");
    EXPECT_STREQ(tr("menu.file"), "_File");
    EXPECT_STREQ(tr("menu.elevate"), "Read with _administrator rights…");
    EXPECT_STREQ(tr("menu.elevate_short"), "Read with administrator rights…");
}

TEST_F(Language, MenuTextsCarryMnemonicsButTheElevationButtonDoesNot) {
    cat().set_language("en");
    for (size_t i = 0; i < i18n_data::KEY_COUNT; ++i) {
        const std::string key = i18n_data::key(i);
        if (key.rfind("menu.", 0) != 0) continue;
        const bool has = std::strchr(i18n_data::value(i18n_data::ENGLISH, i), '_') != nullptr;
        EXPECT_EQ(has, key != "menu.elevate_short") << key;
    }
}

TEST_F(Language, SettingALanguage) {
    cat().set_language("he");
    EXPECT_EQ(cat().language(), "he");
    EXPECT_EQ(cat().effective_language(), "he");
    EXPECT_TRUE(cat().is_rtl());

    cat().set_language("xx");
    EXPECT_EQ(cat().language(), "xx");
    EXPECT_EQ(cat().effective_language(), "en");
    EXPECT_FALSE(cat().is_rtl());
    EXPECT_STREQ(tr("num.decimal"), ".");

    // Codes compare exactly: no case folding, no base-language fallback.
    cat().set_language("DE");
    EXPECT_EQ(cat().effective_language(), "en");
    cat().set_language("de_AT");
    EXPECT_EQ(cat().effective_language(), "en");

    cat().set_language("de");
    EXPECT_STREQ(tr("num.decimal"), ",");

    locale_env("fr_FR.UTF-8");
    cat().set_language("");
    EXPECT_EQ(cat().language(), "auto");
    EXPECT_EQ(cat().effective_language(), "fr");
}

TEST_F(Language, DetectionFollowsTheLocaleVariables) {
    const std::map<std::string, std::string> cases = {
        {"de_DE.UTF-8", "de"}, {"zh_TW.UTF-8", "zh_TW"}, {"pt_BR", "pt"},
        {"zh_HK", "zh"},       {"sr_RS@latin", "sr"},    {"nn_NO:nb_NO", "nb"},
        {"C.UTF-8", "en"},     {"xx_YY:ja_JP", "ja"},    {"C:de", "de"},
        {"tlh", "en"},         {"uk_UA.UTF-8", "uk"},
    };
    for (const auto& [names, want] : cases) {
        locale_env(names.c_str());
        EXPECT_EQ(I18n::detect_system_language(), want) << names;
    }
    // LANGUAGE empty: LC_ALL decides.
    locale_env("", "C");
    EXPECT_EQ(I18n::detect_system_language(), "en");
    locale_env(nullptr, "ko_KR.UTF-8");
    EXPECT_EQ(I18n::detect_system_language(), "ko");
    // Names from the system's alias table, looked up only when no language matches.
    zqtest::FixtureRoot root;
    root.write("/usr/share/locale/locale.alias",
               "# aliases\nbokmal\t\tnb_NO.ISO-8859-1\ngerman  de_DE.ISO-8859-1\n");
    for (const auto& [names, want] : std::map<std::string, std::string>{
             {"german", "de"}, {"klingon:bokmal", "nb"}, {"bokmal_x", "en"}, {"de_CH:german", "de"}}) {
        locale_env(names.c_str());
        EXPECT_EQ(I18n::detect_system_language(), want) << names;
    }
}

TEST_F(Language, FontFamilyByScript) {
    const std::map<std::string, std::string> cases = {
        {"zh", "sans-serif"}, {"ja", "sans-serif"},   {"ko", "sans-serif"}, {"ar", "sans-serif"},
        {"he", "sans-serif"}, {"zh_TW", "monospace"}, {"fa", "monospace"},  {"ur", "monospace"},
        {"en", "monospace"},  {"xx", "monospace"},
    };
    for (const auto& [code, family] : cases) {
        cat().set_language(code);
        EXPECT_STREQ(cat().ui_font_family(), family.c_str()) << code;
    }
}

TEST(I18nLanguages, TableOrderDirectionAndSeparators) {
    struct Row {
        const char* code;
        const char* decimal;
        const char* group;
    };
    // "\u202F" is the narrow no-break space, "\u0020" the blank.
    const Row rows[] = {
        {"ar", ",", "."},      {"bg", ",", " "}, {"bn", ".", ","},      {"ca", ",", "."},
        {"cs", ",", " "},      {"da", ",", "."}, {"de", ",", "."},      {"el", ",", "."},
        {"en", ".", ","},      {"es", ",", "."}, {"fa", ".", ","},      {"fi", ",", " "},
        {"fr", ",", "\u202F"}, {"he", ".", ","}, {"hi", ".", ","},      {"hr", ",", "."},
        {"hu", ",", " "},      {"id", ",", "."}, {"it", ",", "."},      {"ja", ".", ","},
        {"ko", ".", ","},      {"lt", ",", "."}, {"lv", ",", "\u202F"}, {"ms", ".", ","},
        {"nb", ",", "\u202F"}, {"ne", ".", ","}, {"nl", ",", "."},      {"pl", ",", " "},
        {"pt", ",", " "},      {"ro", ",", "."}, {"ru", ",", " "},      {"sk", ",", "\u202F"},
        {"sl", ",", "."},      {"sr", ",", "."}, {"sv", ",", " "},      {"sw", ".", ","},
        {"th", ".", ","},      {"tl", ".", ","}, {"tr", ",", "."},      {"uk", ",", "\u202F"},
        {"ur", ".", ","},      {"vi", ",", "."}, {"zh_TW", ".", ","},   {"zh", ".", ","},
    };
    const auto langs = I18n::available();
    ASSERT_EQ(langs.size(), std::size(rows));
    const std::set<std::string> rtl = {"ar", "fa", "he", "ur"};
    for (size_t i = 0; i < langs.size(); ++i) {
        EXPECT_EQ(langs[i].code, rows[i].code) << i;
        EXPECT_FALSE(langs[i].native_name.empty()) << rows[i].code;
        EXPECT_EQ(langs[i].rtl, rtl.count(rows[i].code) == 1) << rows[i].code;
        I18n::instance().set_language(rows[i].code);
        EXPECT_EQ(I18n::instance().is_rtl(), langs[i].rtl) << rows[i].code;
        EXPECT_STREQ(tr("num.decimal"), rows[i].decimal) << rows[i].code;
        EXPECT_STREQ(tr("num.group"), rows[i].group) << rows[i].code;
    }
    EXPECT_EQ(langs[8].native_name, "English");
    EXPECT_EQ(langs[42].native_name, "正體中文");
    I18n::instance().set_language("auto");
}

TEST(I18nFormat, TheSixteenFormattedKeysInEnglish) {
    I18n& c = I18n::instance();
    c.set_language("en");
    EXPECT_EQ(c.trf("cache.shared_by", 2), "shared by 2 threads");
    EXPECT_EQ(c.trf("summary.n_cores", 8), "8 Cores");
    EXPECT_EQ(c.trf("summary.n_threads", 16), "16 threads");
    EXPECT_EQ(c.trf("summary.n_sockets", 2), "2 Sockets");
    EXPECT_EQ(c.trf("summary.n_gpus", 1), "1 graphics units");
    EXPECT_EQ(c.trf("summary.n_disks", 3), "3 drives");
    EXPECT_EQ(c.trf("summary.n_devices", 42), "42 devices");
    EXPECT_EQ(c.trf("summary.n_flags", 120), "120 Flags");
    EXPECT_EQ(c.trf("summary.n_of_m_slots", 2, 4), "2 / 4 Slots");
    EXPECT_EQ(c.trf("tree.socket_n", 0), "Socket 0");
    EXPECT_EQ(c.trf("tree.slot_n", 3), "Slot 3");
    EXPECT_EQ(c.trf("licenses.others", 23),
              "Another 23 components are under MIT, BSD and similar licenses; their license texts ship with "
              "the package.");
    EXPECT_EQ(c.trf("licenses.texts_at", "/usr/share/doc"), "The full license texts are in /usr/share/doc.");
    EXPECT_EQ(c.trf("status.saved", "/tmp/r.txt"), "Saved to /tmp/r.txt");
    EXPECT_EQ(c.trf("status.save_failed", "/tmp/r.txt"), "Could not write /tmp/r.txt");
    EXPECT_EQ(c.trf("msg.snap_connect", "hardware-observe", "zq", "hardware-observe"),
              "This needs the hardware-observe permission. One time only:\n"
              "sudo snap connect zq:hardware-observe");

    // These sixteen are the only texts that hold a conversion; any other '%'
    // would be printed raw by tr() or misread by trf().
    std::set<std::string> formatted;
    for (size_t i = 0; i < i18n_data::KEY_COUNT; ++i)
        if (std::strchr(i18n_data::value(i18n_data::ENGLISH, i), '%')) formatted.insert(i18n_data::key(i));
    EXPECT_EQ(formatted.size(), 16u);
}

TEST(I18nFormat, NoLengthLimitAndUnknownKeysFormatThemselves) {
    I18n& c = I18n::instance();
    c.set_language("en");
    const std::string path(5000, 'p');
    EXPECT_EQ(c.trf("status.saved", path.c_str()), "Saved to " + path);
    EXPECT_EQ(c.trf("no.such %d", 7), "no.such 7");
    EXPECT_EQ(c.trf(nullptr), "");
}

// The keys that source code passes as literals to tr()/trf(). The closing
// quote must end the argument, so a key built at run time is not mistaken for one.
std::set<std::string> keys_used_in(const std::string& code) {
    static const std::regex call(R"re(\btrf?\s*\(\s*"([^"\\]*)"\s*[,)])re");
    std::set<std::string> keys;
    for (std::sregex_iterator it(code.begin(), code.end(), call), end; it != end; ++it)
        keys.insert((*it)[1].str());
    return keys;
}

TEST(I18nSources, ScannerFindsLiteralKeysOnly) {
    const std::string code =
        "row(tr(\"f.vendor\"), v);\n"
        "I18n::instance().trf(\"summary.n_cores\", n);\n"
        "auto s = I18n::instance().tr( \"sec.cache\" );\n"
        "str(\"not.a.call\"); tr(\"f.\" + name); attr(\"x.y\");\n";
    EXPECT_EQ(keys_used_in(code), (std::set<std::string>{"f.vendor", "summary.n_cores", "sec.cache"}));
}

TEST(I18nSources, EveryKeyTheSourcesUseIsInTheTable) {
    std::set<std::string> known;
    for (size_t i = 0; i < i18n_data::KEY_COUNT; ++i) known.insert(i18n_data::key(i));
    size_t files = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(ZQ_SOURCE_DIR)) {
        const std::string ext = entry.path().extension().string();
        if (!entry.is_regular_file() || (ext != ".cpp" && ext != ".h")) continue;
        ++files;
        for (const auto& key : keys_used_in(zqtest::slurp(entry.path().string())))
            EXPECT_TRUE(known.count(key)) << entry.path().filename().string() << " uses unknown key " << key;
    }
    EXPECT_GT(files, 0u);
}

// The generator run on small hand-made catalogues: each broken one must stop
// the build and name the language and the key at fault.
class Generator : public ::testing::Test {
protected:
    void write(const std::string& name, const std::string& content) {
        zqtest::write_file(m_dir.path() + "/" + name, content);
    }
    zqtest::RunResult generate() {
        return zqtest::run({ZQ_I18N_GEN, m_dir.path(), m_dir.path() + "/out/i18n_data.h"});
    }
    void SetUp() override {
        write("languages.txt", "# comment\nen\tEnglish\tltr\nde\tDeutsch\tltr\n");
        write("en.txt", EN);
    }
    void expect_failure(const std::string& lang, const std::string& key) {
        const auto r = generate();
        EXPECT_NE(r.status, 0);
        EXPECT_NE(r.err.find("language " + lang), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(key), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(m_dir.path() + "/out/i18n_data.h"));
    }
    static constexpr const char* EN =
        "a.first\tFirst\n"
        "b.count\t%d of %s\n"
        "b.count_x\tTwo\\nlines \\\\ \\u202F\n"
        "c.last\t100%% sure\n";
    zqtest::TempDir m_dir;
};

TEST_F(Generator, WritesTablesForAGoodCatalogue) {
    write("de.txt", "a.first\tErste\nb.count\t%d von %s\nb.count_x\tZwei\nc.last\tsicher\n");
    const auto r = generate();
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string header = zqtest::slurp(m_dir.path() + "/out/i18n_data.h");
    EXPECT_NE(header.find("KEY_COUNT = 4"), std::string::npos);
    EXPECT_NE(header.find("\"Two\\nlines \\\\ \u202F\\x00\""), std::string::npos);
    EXPECT_NE(header.find("\"Deutsch\\x00\""), std::string::npos);
    EXPECT_NE(header.find("false},  // de"), std::string::npos);
}

TEST_F(Generator, RejectsBrokenCatalogues) {
    write("en.txt", "b.count\t%d of %s\na.first\tFirst\nb.count_x\tx\nc.last\ty\n");
    write("de.txt", EN);
    expect_failure("en", "a.first");

    write("en.txt", std::string(EN) + "c.last\tagain\n");
    expect_failure("en", "c.last");

    write("en.txt", EN);
    write("de.txt", "a.first\tErste\nb.count\t%d von %s\nc.last\tsicher\n");
    expect_failure("de", "b.count_x");

    write("de.txt", "a.first\tErste\nb.count\t%s von %d\nb.count_x\tZwei\nc.last\tsicher\n");
    expect_failure("de", "b.count");

    write("de.txt", "a.first\t\nb.count\t%d von %s\nb.count_x\tZwei\nc.last\tsicher\n");
    expect_failure("de", "a.first");

    write("de.txt", "a.first\tErste\nb.count\t%d von %s\nb.count_x\tZwei\nc.last\t100 % sicher\n");
    expect_failure("de", "c.last");

    write("de.txt", "a.first\tErste\nb.count\t%d von %s\nb.count_x\tZwei \\q\nc.last\tsicher\n");
    expect_failure("de", "b.count_x");

    write("de.txt", "a.first\tErste\na.zzz\tx\nb.count\t%d von %s\nb.count_x\tZwei\nc.last\tsicher\n");
    expect_failure("de", "a.zzz");
}

TEST_F(Generator, RejectsAFileNotInTheLanguageList) {
    write("de.txt", EN);
    write("fr.txt", EN);
    expect_failure("fr", "languages.txt");
}

}  // namespace
