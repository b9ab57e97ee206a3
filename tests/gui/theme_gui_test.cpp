// The style sheet as GTK's CSS parser sees it, the provider on the screen,
// and switching the interface language at run time.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <string>

#include "i18n.h"
#include "settings.h"
#include "theme.h"
#include "util.h"

namespace {

class ThemeGui : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(gtk_init_check(nullptr, nullptr)); }
    void TearDown() override { theme::apply_language("en"); }
};

struct ParseErrors {
    int count = 0;
    std::string first;
};

void on_parsing_error(GtkCssProvider*, GtkCssSection* section, GError* error, gpointer data) {
    auto* e = static_cast<ParseErrors*>(data);
    if (e->count++ == 0) {
        e->first = std::string(error->message) + " at line " +
                   std::to_string(gtk_css_section_get_start_line(section) + 1);
    }
}

ParseErrors parse(const std::string& css) {
    ParseErrors errors;
    GtkCssProvider* provider = gtk_css_provider_new();
    g_signal_connect(provider, "parsing-error", G_CALLBACK(on_parsing_error), &errors);
    GError* err = nullptr;
    gtk_css_provider_load_from_data(provider, css.c_str(), -1, &err);
    if (err) g_error_free(err);
    g_object_unref(provider);
    return errors;
}

TEST_F(ThemeGui, StyleSheetsParseWithoutErrors) {
    Settings user;
    user.bg_light = "fafafa";  // as the settings file may hold it
    user.accent_light = "#AA0000";
    user.text_dark = "e0E0e0";
    user.load_mid = "123456";
    for (const Palette& p : {Palette::light(), Palette::dark_(), Palette::from_settings(user, false),
                             Palette::from_settings(user, true)}) {
        ParseErrors e = parse(build_css(p));
        EXPECT_EQ(e.count, 0) << e.first;
    }
    // The parser does complain about bare digits: the check above means something.
    EXPECT_GT(parse("label { color: fafafa; }").count, 0);
}

TEST_F(ThemeGui, ProviderMadeOnceAndToolkitFollowsDarkness) {
    GtkCssProvider* provider = nullptr;
    theme::load_style(&provider, Palette::dark_());
    ASSERT_NE(provider, nullptr);
    GtkCssProvider* first = provider;
    gboolean dark = FALSE;
    g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &dark, nullptr);
    EXPECT_TRUE(dark);

    theme::load_style(&provider, Palette::light());
    EXPECT_EQ(provider, first);
    g_object_get(gtk_settings_get_default(), "gtk-application-prefer-dark-theme", &dark, nullptr);
    EXPECT_FALSE(dark);

    // A label picks up the sheet's text colour.
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* label = gtk_label_new("x");
    gtk_container_add(GTK_CONTAINER(window), label);
    GdkRGBA c;
    gtk_style_context_get_color(gtk_widget_get_style_context(label), GTK_STATE_FLAG_NORMAL, &c);
    Rgb want;
    ASSERT_TRUE(hex_to_rgb(Palette::light().text, want));
    EXPECT_NEAR(c.red, want.r, 0.01);
    EXPECT_NEAR(c.blue, want.b, 0.01);
    theme::load_style(&provider, Palette::dark_());
    gtk_style_context_get_color(gtk_widget_get_style_context(label), GTK_STATE_FLAG_NORMAL, &c);
    ASSERT_TRUE(hex_to_rgb(Palette::dark_().text, want));
    EXPECT_NEAR(c.red, want.r, 0.01);
    gtk_widget_destroy(window);

    // Each set of the flag reloads the toolkit's theme: only a change sets it.
    int notified = 0;
    gulong handler =
        g_signal_connect_swapped(gtk_settings_get_default(), "notify::gtk-application-prefer-dark-theme",
                                 G_CALLBACK(+[](int* n) { ++*n; }), &notified);
    theme::load_style(&provider, Palette::dark_());
    EXPECT_EQ(notified, 0);
    theme::load_style(&provider, Palette::light());
    EXPECT_EQ(notified, 1);
    theme::load_style(&provider, Palette::light());
    EXPECT_EQ(notified, 1);
    g_signal_handler_disconnect(gtk_settings_get_default(), handler);
}

TEST_F(ThemeGui, LanguageSetsDirectionAndSeparators) {
    theme::apply_language("he");
    EXPECT_TRUE(I18n::instance().is_rtl());
    EXPECT_EQ(gtk_widget_get_default_direction(), GTK_TEXT_DIR_RTL);
    EXPECT_STREQ(I18n::instance().ui_font_family(), "sans-serif");

    theme::apply_language("de");
    EXPECT_EQ(gtk_widget_get_default_direction(), GTK_TEXT_DIR_LTR);
    EXPECT_EQ(util::fmt_double(1234.5, 1), "1.234,5");

    theme::apply_language("en");
    EXPECT_EQ(util::fmt_double(1234.5, 1), "1,234.5");
    EXPECT_STREQ(I18n::instance().ui_font_family(), "monospace");
}

}  // namespace
