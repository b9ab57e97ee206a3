// Every language of the catalogue, as the window and the report use it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "i18n.h"
#include "i18n_data.h"

namespace {

class EveryLanguage : public ::testing::Test {
protected:
    void TearDown() override { I18n::instance().set_language("auto"); }
};

TEST_F(EveryLanguage, FormattedTextsTakeTheirArguments) {
    I18n& c = I18n::instance();
    for (const LanguageInfo& lang : I18n::available()) {
        SCOPED_TRACE(lang.code);
        c.set_language(lang.code);
        ASSERT_EQ(c.effective_language(), lang.code);
        for (const char* key : {"cache.shared_by", "summary.n_cores", "summary.n_threads", "summary.n_sockets",
                                "summary.n_gpus", "summary.n_disks", "summary.n_devices", "summary.n_flags",
                                "tree.socket_n", "tree.slot_n", "licenses.others"}) {
            std::string text = c.trf(key, 4711);
            EXPECT_NE(text.find("4711"), std::string::npos) << key << ": " << text;
            EXPECT_EQ(text.find('%'), std::string::npos) << key << ": " << text;
        }
        std::string slots = c.trf("summary.n_of_m_slots", 3, 8);
        EXPECT_LT(slots.find('3'), slots.find('8')) << slots;
        for (const char* key : {"licenses.texts_at", "status.saved", "status.save_failed"})
            EXPECT_NE(c.trf(key, "/x/report.txt").find("/x/report.txt"), std::string::npos) << key;
        std::string snap = c.trf("msg.snap_connect", "hardware-observe", "zq", "hardware-observe");
        EXPECT_NE(snap.find("hardware-observe"), std::string::npos);
        EXPECT_NE(snap.find("\nsudo snap connect zq:hardware-observe"), std::string::npos) << snap;
    }
}

TEST_F(EveryLanguage, TranslatedNotCopied) {
    // Technical names and a few words stay as in English; a language that
    // shares more than an eighth of its texts with English was not translated.
    for (size_t l = 0; l < i18n_data::LANG_COUNT; ++l) {
        const char* code = i18n_data::text_at(i18n_data::LANGS[l].code);
        if (l == i18n_data::ENGLISH) continue;
        size_t same = 0;
        for (size_t i = 0; i < i18n_data::KEY_COUNT; ++i)
            if (std::strcmp(i18n_data::value(l, i), i18n_data::value(i18n_data::ENGLISH, i)) == 0) ++same;
        EXPECT_LT(same, i18n_data::KEY_COUNT / 8) << code << " shares " << same << " texts with English";
        EXPECT_STRNE(I18n::instance().tr("sec.identification"), "") << code;
    }
}

TEST_F(EveryLanguage, ElevationButtonHasNoMnemonicMenusDo) {
    for (size_t l = 0; l < i18n_data::LANG_COUNT; ++l) {
        for (size_t i = 0; i < i18n_data::KEY_COUNT; ++i) {
            const std::string key = i18n_data::key(i);
            if (key.rfind("menu.", 0) != 0) continue;
            const bool has = std::strchr(i18n_data::value(l, i), '_') != nullptr;
            EXPECT_EQ(has, key != "menu.elevate_short")
                << i18n_data::text_at(i18n_data::LANGS[l].code) << " " << key;
        }
    }
}

}  // namespace
