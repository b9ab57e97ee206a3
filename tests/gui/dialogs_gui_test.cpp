// The header in the running window and the shell's dialogs driven under a
// virtual display: settings and colours act at once, the Help menu, About,
// the licences and the snap permission notice.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app.h"
#include "dialogs.h"
#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::pump;
using zqtest::pump_for;

// Runs `f` once after `ms` milliseconds on the main loop.
void later(int ms, std::function<void()> f) {
    auto* heap = new std::function<void()>(std::move(f));
    g_timeout_add(
        ms,
        [](gpointer data) -> gboolean {
            auto* fn = static_cast<std::function<void()>*>(data);
            (*fn)();
            delete fn;
            return G_SOURCE_REMOVE;
        },
        heap);
}

// A press of a button that opens another modal dialog must not run inside
// the driver's own callback.
void click_later(GtkWidget* button) {
    later(0, [button] { gtk_button_clicked(GTK_BUTTON(button)); });
}

// Hands each dialog that comes up, in order, to the next step; a dialog
// beyond the steps is closed at once. Dialogs run nested main loops, so the
// steps run from a timeout while the code under test waits in its dialog.
class DialogDriver {
public:
    using Step = std::function<void(GtkDialog*)>;
    explicit DialogDriver(std::vector<Step> steps) : m_steps(std::move(steps)) {
        m_source = g_timeout_add(15, poll, this);
    }
    ~DialogDriver() { g_source_remove(m_source); }
    size_t seen() const { return m_titles.size(); }
    const std::vector<std::string>& titles() const { return m_titles; }

private:
    static gboolean poll(gpointer data) {
        auto* self = static_cast<DialogDriver*>(data);
        GList* all = gtk_window_list_toplevels();
        GtkDialog* fresh = nullptr;
        for (GList* w = all; w && !fresh; w = w->next)
            if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)) &&
                !g_object_get_data(G_OBJECT(w->data), "zq-driven"))
                fresh = GTK_DIALOG(w->data);
        g_list_free(all);
        if (!fresh) return G_SOURCE_CONTINUE;
        g_object_set_data(G_OBJECT(fresh), "zq-driven", GINT_TO_POINTER(1));
        self->m_titles.push_back(gtk_window_get_title(GTK_WINDOW(fresh)));
        size_t index = self->m_next++;
        if (index < self->m_steps.size()) self->m_steps[index](fresh);
        // A step that stopped on a fatal failure leaves no dialog waiting.
        if (index >= self->m_steps.size() || ::testing::Test::HasFatalFailure()) close_all();
        return G_SOURCE_CONTINUE;
    }

    static void close_all() {
        GList* all = gtk_window_list_toplevels();
        for (GList* w = all; w; w = w->next)
            if (GTK_IS_DIALOG(w->data) && gtk_widget_get_visible(GTK_WIDGET(w->data)))
                gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_CLOSE);
        g_list_free(all);
    }

    std::vector<Step> m_steps;
    size_t m_next = 0;
    std::vector<std::string> m_titles;
    guint m_source = 0;
};

// A grid lists its children newest first: they are taken in row order.
std::vector<GtkWidget*> ordered_children(GtkWidget* container) {
    std::vector<GtkWidget*> kids;
    GList* list = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList* k = list; k; k = k->next) kids.push_back(GTK_WIDGET(k->data));
    g_list_free(list);
    if (GTK_IS_GRID(container)) {
        auto place = [container](GtkWidget* w) {
            int top = 0, left = 0;
            gtk_container_child_get(GTK_CONTAINER(container), w, "top-attach", &top, "left-attach", &left,
                                    nullptr);
            return std::make_pair(top, left);
        };
        std::sort(kids.begin(), kids.end(), [&](GtkWidget* a, GtkWidget* b) { return place(a) < place(b); });
    }
    return kids;
}

void collect(GtkWidget* w, std::vector<GtkWidget*>& out) {
    out.push_back(w);
    if (GTK_IS_CONTAINER(w))
        for (GtkWidget* k : ordered_children(w)) collect(k, out);
}

bool labelled(GtkWidget* w, const char* label) {
    return GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
           gtk_button_get_label(GTK_BUTTON(w)) == std::string(label);
}

template <typename Test>
std::vector<GtkWidget*> widgets(GtkDialog* dialog, Test is) {
    std::vector<GtkWidget*> all, out;
    collect(gtk_dialog_get_content_area(dialog), all);
    for (GtkWidget* w : all)
        if (is(w)) out.push_back(w);
    return out;
}

std::vector<std::string> label_texts(GtkDialog* dialog) {
    std::vector<std::string> out;
    for (GtkWidget* l : widgets(dialog, [](GtkWidget* w) { return GTK_IS_LABEL(w); }))
        out.push_back(gtk_label_get_text(GTK_LABEL(l)));
    return out;
}

bool has_text(const std::vector<std::string>& texts, const std::string& text) {
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

bool has_class(GtkWidget* w, const char* name) {
    return gtk_style_context_has_class(gtk_widget_get_style_context(w), name);
}

std::vector<GtkWidget*> children_of(GtkWidget* container) {
    std::vector<GtkWidget*> out;
    GList* items = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList* i = items; i; i = i->next) out.push_back(GTK_WIDGET(i->data));
    g_list_free(items);
    return out;
}

GtkWidget* submenu_of(GtkWidget* shell, int index) {
    return gtk_menu_item_get_submenu(GTK_MENU_ITEM(children_of(shell)[index]));
}

// The labels of a menu's items, separators left out.
std::vector<std::string> item_labels(GtkWidget* menu) {
    std::vector<std::string> out;
    for (GtkWidget* item : children_of(menu))
        if (!GTK_IS_SEPARATOR_MENU_ITEM(item)) out.push_back(gtk_menu_item_get_label(GTK_MENU_ITEM(item)));
    return out;
}

GtkWidget* item_labelled(GtkWidget* menu, const std::string& label) {
    for (GtkWidget* item : children_of(menu))
        if (!GTK_IS_SEPARATOR_MENU_ITEM(item) && gtk_menu_item_get_label(GTK_MENU_ITEM(item)) == label)
            return item;
    return nullptr;
}

GdkRGBA rgba_of(GtkWidget* button) {
    GdkRGBA c;
    gtk_color_chooser_get_rgba(GTK_COLOR_CHOOSER(button), &c);
    return c;
}

void expect_rgba(GtkWidget* button, const std::string& hex) {
    Rgb want;
    ASSERT_TRUE(hex_to_rgb(hex, want)) << hex;
    GdkRGBA got = rgba_of(button);
    EXPECT_NEAR(got.red, want.r, 0.003) << hex;
    EXPECT_NEAR(got.green, want.g, 0.003) << hex;
    EXPECT_NEAR(got.blue, want.b, 0.003) << hex;
    EXPECT_EQ(got.alpha, 1.0) << hex;
}

std::string settings_file() { return zqtest::slurp(SettingsStore::instance().path()); }

class Shell : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
        SettingsStore::instance().mutable_get() = Settings();
    }
    void TearDown() override {
        stop();
        I18n::instance().set_language("en");
        theme::apply_language("en");
        SettingsStore::instance().mutable_get() = Settings();
    }
    App& start() { return zqtest::open_window(app_); }
    void stop() { zqtest::close_window(app_); }
    GtkWidget* view_menu() { return submenu_of(app_->m_menubar, 1); }
    GtkWidget* help_menu() { return submenu_of(app_->m_menubar, 2); }

    zqtest::TempDir config_;
    zqtest::ScopedEnv snap_{"SNAP_NAME", nullptr};
    zqtest::ScopedEnv user_common_{"SNAP_USER_COMMON", nullptr};
    std::unique_ptr<App> app_;
};

// /proc/stat of a two-CPU machine after `step` seconds at a constant load.
void write_flat_stat(const zqtest::FixtureRoot& root, double load, int step) {
    uint64_t busy = 1000 + uint64_t(100 * load) * step, idle = 5000 + uint64_t(100 * (1 - load)) * step;
    std::string line = " " + std::to_string(busy) + " 0 0 " + std::to_string(idle) + " 0 0 0 0 0 0\n";
    root.write("/proc/stat", "cpu " + line + "cpu0" + line + "cpu1" + line + "intr 0\nctxt 0\nbtime 0\n");
}

TEST_F(Shell, HeaderSitsUnderTheMenusAndFollowsTheTick) {
    for (double load : {0.0, 1.0}) {
        zqtest::FixtureRoot root("seam");
        write_flat_stat(root, load, 0);
        App& app = start();
        ASSERT_NE(app.m_header.m_area, nullptr);
        EXPECT_EQ(gtk_widget_get_allocated_height(app.m_header.m_area), Header::HEIGHT);
        EXPECT_EQ(app.m_header.m_subtitle,
                  app.m_cpu.headline.empty() ? probe::machine_line() : app.m_cpu.headline);
        app.m_header.m_history.clear();
        for (int step = 1; step <= 5; ++step) {
            write_flat_stat(root, load, step);
            app.tick();
        }
        // One sample per tick, although the load never changes.
        ASSERT_EQ(app.m_header.m_history.size(), 5u) << load;
        for (double v : app.m_header.m_history) EXPECT_DOUBLE_EQ(v, load);
        // The board moves on its own timer...
        double scroll = app.m_header.m_scroll;
        pump_for(200);
        EXPECT_NE(app.m_header.m_scroll, scroll);
        // ...but queues a frame only for the steps that move it a whole pixel,
        // about two in five. Counted from the area's own invalid region, so
        // that exposes from other windows on the test display do not count.
        app.m_header.set_paused(true);
        app.m_header.m_total_glow = load;  // settled: the glow draws no frames either
        const Header& header = app.m_header;
        auto drawn = [&header] {
            return header.m_drawn_offset == static_cast<int>(header.m_scroll * std::max(1, header.m_cache_scale));
        };
        pump_for(50);
        GdkWindow* window = gtk_widget_get_window(app.m_header.m_area);
        int frames = 0;
        for (int step = 0; step < 25; ++step) {
            if (cairo_region_t* stale = gdk_window_get_update_area(window)) cairo_region_destroy(stale);
            app.m_header.animate();
            cairo_region_t* queued = gdk_window_get_update_area(window);
            if (!queued) continue;
            ++frames;
            gdk_window_invalidate_region(window, queued, TRUE);
            cairo_region_destroy(queued);
            // The next step must see this frame drawn, or it would count it
            // again: a loaded machine may take longer than a frame to paint.
            for (int wait = 0; wait < 200 && !drawn(); ++wait) pump_for(5);
        }
        EXPECT_GE(frames, 9) << load;
        EXPECT_LE(frames, 12) << load;
        stop();
    }
}

TEST_F(Shell, HeaderOutlivesItsWindowAndRestsWhileIconified) {
    App& app = start();
    ASSERT_NE(app.m_header.m_timer, 0u);
    GdkEventWindowState state = {};
    state.type = GDK_WINDOW_STATE;
    state.new_window_state = GDK_WINDOW_STATE_ICONIFIED;
    App::on_window_state(app.m_window, &state, &app);
    EXPECT_EQ(app.m_header.m_timer, 0u);
    state.new_window_state = GdkWindowState(0);
    App::on_window_state(app.m_window, &state, &app);
    EXPECT_NE(app.m_header.m_timer, 0u);

    gtk_widget_destroy(app.m_window);
    app.m_window = nullptr;
    EXPECT_EQ(app.m_header.m_area, nullptr);
    EXPECT_EQ(app.m_header.m_timer, 0u);
    pump_for(120);  // no frame is queued on the freed area
    app.m_header.set_paused(false);
    EXPECT_EQ(app.m_header.m_timer, 0u);
}

TEST_F(Shell, SettingsDialogSavesAndAppliesEveryControl) {
    Settings& s = SettingsStore::instance().mutable_get();
    s.hit_dark = "#123456";
    s.load_mid = "#654321";
    App& app = start();
    const std::string english_language = tr("settings.language");
    GtkDialog* settings_dialog = nullptr;
    bool colours_reopened = false;
    DialogDriver driver({
        [&](GtkDialog* d) {
            settings_dialog = d;
            EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(d)));
            EXPECT_EQ(GTK_WIDGET(gtk_window_get_transient_for(GTK_WINDOW(d))), app.m_window);
            auto combos = widgets(d, [](GtkWidget* w) { return GTK_IS_COMBO_BOX_TEXT(w); });
            auto checks = widgets(d, [](GtkWidget* w) { return GTK_IS_CHECK_BUTTON(w); });
            auto buttons = widgets(d, [](GtkWidget* w) { return labelled(w, tr("settings.colors_button")); });
            ASSERT_EQ(combos.size(), 3u);
            ASSERT_EQ(checks.size(), 1u);
            ASSERT_EQ(buttons.size(), 1u);
            EXPECT_STREQ(gtk_combo_box_get_active_id(GTK_COMBO_BOX(combos[0])), "auto");
            EXPECT_STREQ(gtk_combo_box_get_active_id(GTK_COMBO_BOX(combos[1])), "auto");
            EXPECT_STREQ(gtk_combo_box_get_active_id(GTK_COMBO_BOX(combos[2])), "0");

            gtk_combo_box_set_active_id(GTK_COMBO_BOX(combos[1]), "dark");
            EXPECT_EQ(SettingsStore::instance().get().theme, "dark");
            EXPECT_NE(settings_file().find("\"theme\": \"dark\""), std::string::npos);
            EXPECT_TRUE(app.m_dark);
            EXPECT_TRUE(app.m_header.m_palette.dark);  // the running header too

            gtk_combo_box_set_active_id(GTK_COMBO_BOX(combos[2]), "1");
            EXPECT_EQ(SettingsStore::instance().get().start_tab, 1);
            EXPECT_NE(settings_file().find("\"start_tab\": 1"), std::string::npos);

            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(checks[0]), TRUE);
            EXPECT_TRUE(SettingsStore::instance().get().show_sources);
            EXPECT_TRUE(app.m_ctx.show_sources);
            auto view = children_of(view_menu());
            bool checked = false;
            for (GtkWidget* item : view)
                if (GTK_IS_CHECK_MENU_ITEM(item))
                    checked = gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item));
            EXPECT_TRUE(checked);

            gtk_combo_box_set_active_id(GTK_COMBO_BOX(combos[0]), "de");
            EXPECT_EQ(SettingsStore::instance().get().language, "de");
            EXPECT_NE(settings_file().find("\"language\": \"de\""), std::string::npos);
            EXPECT_EQ(I18n::instance().effective_language(), "de");
            EXPECT_EQ(app.m_tabs[0].title, tr("tree.cpu"));
            EXPECT_EQ(gtk_menu_item_get_label(GTK_MENU_ITEM(children_of(app.m_menubar)[0])),
                      std::string(tr("menu.file")));
            EXPECT_TRUE(has_text(label_texts(d), english_language));  // the dialog keeps its language
            click_later(buttons[0]);
        },
        [&](GtkDialog* d) {
            // Opened from the settings dialog, over the main window, in the
            // dark theme now shown.
            EXPECT_EQ(GTK_WIDGET(gtk_window_get_transient_for(GTK_WINDOW(d))), app.m_window);
            EXPECT_TRUE(has_text(label_texts(d), tr("color.head_dark")));
            auto swatches = widgets(d, [](GtkWidget* w) { return GTK_IS_COLOR_BUTTON(w); });
            ASSERT_EQ(swatches.size(), 8u);
            expect_rgba(swatches[0], Palette::dark_().background);
            expect_rgba(swatches[6], "#654321");
            GdkRGBA orange = {1.0, 0.5, 0.0, 1.0};
            gtk_color_chooser_set_rgba(GTK_COLOR_CHOOSER(swatches[0]), &orange);
            g_signal_emit_by_name(swatches[0], "color-set");
            EXPECT_EQ(SettingsStore::instance().get().bg_dark, "#FF8000");
            EXPECT_EQ(SettingsStore::instance().get().bg_light, "");
            EXPECT_EQ(app.m_ctx.palette.background, "#FF8000");
            EXPECT_NE(settings_file().find("#FF8000"), std::string::npos);
            gtk_dialog_response(d, GTK_RESPONSE_REJECT);
        },
        [&](GtkDialog* d) {
            colours_reopened = true;
            const Settings& now = SettingsStore::instance().get();
            EXPECT_EQ(now.bg_dark, "");
            EXPECT_EQ(now.hit_dark, "");  // not shown, reset all the same
            EXPECT_EQ(now.load_mid, "");
            auto swatches = widgets(d, [](GtkWidget* w) { return GTK_IS_COLOR_BUTTON(w); });
            ASSERT_EQ(swatches.size(), 8u);
            expect_rgba(swatches[0], Palette::dark_().background);
            expect_rgba(swatches[6], Palette::dark_().load_mid);
            EXPECT_EQ(app.m_ctx.palette.background, Palette::dark_().background);
            gtk_dialog_response(d, GTK_RESPONSE_CLOSE);
            gtk_dialog_response(settings_dialog, GTK_RESPONSE_CLOSE);
        },
    });
    gtk_menu_item_activate(GTK_MENU_ITEM(item_labelled(view_menu(), tr("menu.settings"))));
    EXPECT_EQ(driver.seen(), 3u);
    EXPECT_TRUE(colours_reopened);
    EXPECT_EQ(driver.titles()[0], "Settings");
}

// A colour written without "#" is what the palette applies; the button shows
// that colour, and the built-in one where the text is no colour at all.
TEST_F(Shell, ColoursDialogShowsTheAppliedColours) {
    Settings& s = SettingsStore::instance().mutable_get();
    s.theme = "light";
    s.accent_light = "00ff00";
    s.text_light = "not a colour";
    s.accent_dark = "#FF0000";
    App& app = start();
    EXPECT_EQ(app.m_ctx.palette.accent, "#00ff00");
    DialogDriver driver({[&](GtkDialog* d) {
        EXPECT_TRUE(has_text(label_texts(d), tr("color.head_light")));
        auto swatches = widgets(d, [](GtkWidget* w) { return GTK_IS_COLOR_BUTTON(w); });
        ASSERT_EQ(swatches.size(), 8u);
        expect_rgba(swatches[3], "#00FF00");
        expect_rgba(swatches[2], Palette::light().text);
        GdkRGBA blue = {0.0, 0.0, 1.0, 0.5};  // alpha is not kept
        gtk_color_chooser_set_rgba(GTK_COLOR_CHOOSER(swatches[3]), &blue);
        g_signal_emit_by_name(swatches[3], "color-set");
        EXPECT_EQ(SettingsStore::instance().get().accent_light, "#0000FF");
        EXPECT_EQ(SettingsStore::instance().get().accent_dark, "#FF0000");
        gtk_dialog_response(d, GTK_RESPONSE_CLOSE);
    }});
    gtk_menu_item_activate(GTK_MENU_ITEM(item_labelled(view_menu(), tr("menu.colors"))));
    EXPECT_EQ(driver.seen(), 1u);
    EXPECT_EQ(app.m_ctx.palette.accent, "#0000FF");
}

TEST_F(Shell, StartViewNamesTheTabOpenedOnTheNextStart) {
    for (int stored : {0, 1, 2}) {
        // Start-up reads the settings file: the stored view goes there.
        SettingsStore::instance().mutable_get().start_tab = stored;
        SettingsStore::instance().save();
        App& app = start();
        std::string want = start_view_tab(stored);
        bool present = false;
        for (const App::TabDef& t : app.m_tabs) present = present || want == t.name;
        // Until a tab exists the window opens on the first.
        EXPECT_STREQ(app.m_tabs[app.m_page_index].name, present ? want.c_str() : "cpu") << stored;
        EXPECT_STREQ(gtk_stack_get_visible_child_name(GTK_STACK(app.m_stack)),
                     app.m_tabs[app.m_page_index].name);
        // Only the page shown is made; the others wait for their first showing.
        for (size_t i = 0; i < app.m_page_built.size(); ++i)
            EXPECT_EQ(app.m_page_built[i], static_cast<int>(i) == app.m_page_index) << stored << ' ' << i;
        app.select_tab(1);  // "topo" is no start view
        app.remember_geometry();
        EXPECT_EQ(SettingsStore::instance().get().start_tab, 0);
        stop();
    }
}

TEST_F(Shell, HelpMenuOffersPermissionsOnlyInASnap) {
    App& app = start();
    std::vector<std::string> plain = {tr("dialog.licenses"), tr("menu.about")};
    EXPECT_EQ(item_labels(help_menu()), plain);
    {
        zqtest::ScopedEnv snap("SNAP_NAME", "zorvantelquist");
        app.rebuild_menubar();
        std::vector<std::string> in_snap = {tr("menu.permissions"), tr("dialog.licenses"), tr("menu.about")};
        EXPECT_EQ(item_labels(help_menu()), in_snap);
        zqtest::ScopedEnv empty("SNAP_NAME", "");
        app.rebuild_menubar();
        EXPECT_EQ(item_labels(help_menu()), plain);
    }
}

void expect_licences(GtkDialog* d) {
    EXPECT_EQ(gtk_window_get_title(GTK_WINDOW(d)), std::string(tr("dialog.licenses")));
    auto views = widgets(d, [](GtkWidget* w) { return GTK_IS_TREE_VIEW(w); });
    ASSERT_EQ(views.size(), 1u);
    GtkTreeModel* model = gtk_tree_view_get_model(GTK_TREE_VIEW(views[0]));
    EXPECT_EQ(gtk_tree_model_iter_n_children(model, nullptr), 15);
    GtkTreeIter it;
    ASSERT_TRUE(gtk_tree_model_get_iter_first(model, &it));
    gchar *name = nullptr, *license = nullptr;
    gtk_tree_model_get(model, &it, 0, &name, 1, &license, -1);
    EXPECT_STREQ(name, "GTK 3");
    EXPECT_STREQ(license, "LGPL-2.1-or-later");
    g_free(name);
    g_free(license);
    EXPECT_TRUE(has_text(label_texts(d), I18n::instance().trf("licenses.others", 23)));
}

TEST_F(Shell, AboutNamesVersionBuildAndPackagingAndLeadsToTheLicences) {
    zqtest::ScopedEnv flatpak("FLATPAK_ID", "org.example.Zorvantelquist");
    zqtest::ScopedEnv snap("SNAP", nullptr);
    start();
    GtkDialog* about = nullptr;
    DialogDriver driver({
        [&](GtkDialog* d) {
            about = d;
            std::vector<std::string> texts = label_texts(d);
            EXPECT_TRUE(has_text(texts, "Zorvantelquist"));
            EXPECT_TRUE(has_text(texts, "Version 1.0  \u00b7  Build 35"));
            EXPECT_TRUE(has_text(texts, "Flatpak"));
            EXPECT_TRUE(has_text(texts, tr("about.comment")));
            EXPECT_EQ(widgets(d, [](GtkWidget* w) { return GTK_IS_IMAGE(w); }).size(), 1u);
            auto buttons = widgets(d, [](GtkWidget* w) { return labelled(w, tr("dialog.licenses")); });
            ASSERT_EQ(buttons.size(), 1u);
            click_later(buttons[0]);
        },
        [&](GtkDialog* d) {
            // Over the About dialog, which stays open underneath.
            EXPECT_EQ(GTK_WIDGET(gtk_window_get_transient_for(GTK_WINDOW(d))), GTK_WIDGET(about));
            expect_licences(d);
            gtk_dialog_response(d, GTK_RESPONSE_CLOSE);
            later(30, [&] { gtk_dialog_response(about, GTK_RESPONSE_CLOSE); });
        },
        [&](GtkDialog* d) {
            expect_licences(d);
            gtk_dialog_response(d, GTK_RESPONSE_CLOSE);
        },
    });
    gtk_menu_item_activate(GTK_MENU_ITEM(item_labelled(help_menu(), tr("menu.about"))));
    EXPECT_EQ(driver.titles(), (std::vector<std::string>{"About", "Licenses"}));
    gtk_menu_item_activate(GTK_MENU_ITEM(item_labelled(help_menu(), tr("dialog.licenses"))));
    ASSERT_EQ(driver.seen(), 3u);
}

// A snap machine as the sandbox shows it: no block devices or DMI (so
// hardware-observe is missing), the host's os-release and a network link.
void write_snap_machine(const zqtest::FixtureRoot& root, bool hardware) {
    root.mkdir("/sys/block");
    if (hardware) {
        root.symlink("/sys/block/loop0", "../devices/virtual/block/loop0");
        root.mkdir("/sys/devices/virtual/block/loop0");
        root.symlink("/sys/class/dmi/id", "../../devices/virtual/dmi/id");
        root.write("/sys/devices/virtual/dmi/id/board_vendor", "Pellwyne\n");
    }
    root.write("/var/lib/snapd/hostfs/etc/os-release", "NAME=\"Debian GNU/Linux\"\n");
    root.symlink("/sys/class/net/eth0", "../../devices/pci0000:00/0000:00:03.0/net/eth0");
    root.write("/sys/devices/pci0000:00/0000:00:03.0/net/eth0/operstate", "up\n");
}

struct NoticeSeen {
    std::vector<std::string> marks;  // per grant row
    std::vector<bool> emphasised;    // areas styled "row-value"
    std::string command;             // the entry's text, empty without one
    bool copy_button = false;
};

NoticeSeen look_at_notice(GtkDialog* d) {
    NoticeSeen seen;
    for (GtkWidget* l : widgets(d, [](GtkWidget* w) { return GTK_IS_LABEL(w); })) {
        std::string t = gtk_label_get_text(GTK_LABEL(l));
        if (t == "\u2717" || t == "\u2713") seen.marks.push_back(t);
        if (has_class(l, "row-value") || (has_class(l, "dim-text") && GTK_IS_GRID(gtk_widget_get_parent(l))))
            seen.emphasised.push_back(has_class(l, "row-value"));
    }
    auto entries = widgets(d, [](GtkWidget* w) { return GTK_IS_ENTRY(w); });
    if (!entries.empty()) seen.command = gtk_entry_get_text(GTK_ENTRY(entries[0]));
    seen.copy_button = gtk_dialog_get_widget_for_response(d, GTK_RESPONSE_APPLY) != nullptr;
    return seen;
}

TEST_F(Shell, PermissionNoticeOnlyInsideASnap) {
    zqtest::FixtureRoot root("seam");
    write_snap_machine(root, false);
    App& app = start();  // no SNAP_NAME: nothing at start-up either
    DialogDriver driver({});
    app.show_permission_notice(false);
    app.show_permission_notice(true);
    pump_for(60);
    EXPECT_EQ(driver.seen(), 0u);
}

TEST_F(Shell, PermissionNoticeAtStartUpNamesWhatIsMissingAndCopiesTheCommand) {
    zqtest::FixtureRoot root("seam");
    write_snap_machine(root, false);
    zqtest::ScopedEnv snap("SNAP_NAME", "zorvantelquist");
    std::string command = dialogs::grant_command("zorvantelquist");
    int copies = 0;
    std::function<void(GtkDialog*)> copy;
    DialogDriver driver({[&](GtkDialog* d) {
        NoticeSeen seen = look_at_notice(d);
        EXPECT_EQ(seen.marks, (std::vector<std::string>{"\u2717", "\u2713", "\u2713"}));
        EXPECT_EQ(seen.emphasised, (std::vector<bool>{true, false, false}));
        EXPECT_EQ(seen.command, command);
        EXPECT_TRUE(seen.copy_button);
        EXPECT_FALSE(gtk_window_get_resizable(GTK_WINDOW(d)));
        // Copy twice: the notice stays open each time.
        copy = [&](GtkDialog* dialog) {
            gtk_dialog_response(dialog, GTK_RESPONSE_APPLY);
            later(40, [&, dialog] {
                ++copies;
                gchar* text = gtk_clipboard_wait_for_text(gtk_clipboard_get(GDK_SELECTION_CLIPBOARD));
                EXPECT_STREQ(text, command.c_str());
                g_free(text);
                EXPECT_EQ(gtk_label_get_text(GTK_LABEL(app_->m_status)), std::string(tr("dialog.copy")));
                EXPECT_TRUE(gtk_widget_get_visible(GTK_WIDGET(dialog)));
                if (copies < 2)
                    copy(dialog);
                else
                    gtk_dialog_response(dialog, GTK_RESPONSE_CLOSE);
            });
        };
        copy(d);
    }});
    start();  // the idle call of the start-up shows the notice
    pump_for(50);
    EXPECT_EQ(driver.seen(), 1u);
    EXPECT_EQ(copies, 2);
}

// A window closed before the main loop ever ran leaves no start-up call
// behind to show the notice for an App that is gone.
TEST_F(Shell, PermissionNoticeOfAWindowClosedAtOnceNeverShows) {
    zqtest::FixtureRoot root("seam");
    write_snap_machine(root, false);
    zqtest::ScopedEnv snap("SNAP_NAME", "zorvantelquist");
    DialogDriver driver({[](GtkDialog* d) { gtk_dialog_response(d, GTK_RESPONSE_CLOSE); }});
    auto app = std::make_unique<App>();
    char name[] = "zorvantelquist";
    char* argv[] = {name, nullptr};
    app->start_window(1, argv);
    gtk_widget_destroy(app->m_window);
    app.reset();
    pump_for(50);
    EXPECT_EQ(driver.seen(), 0u);
}

TEST_F(Shell, PermissionNoticeWithEverythingGrantedOnlyFromTheMenu) {
    zqtest::FixtureRoot root("seam");
    write_snap_machine(root, true);
    zqtest::ScopedEnv snap("SNAP_NAME", "zorvantelquist");
    NoticeSeen seen;
    DialogDriver driver({[&](GtkDialog* d) {
        seen = look_at_notice(d);
        gtk_dialog_response(d, GTK_RESPONSE_CLOSE);
    }});
    start();
    pump_for(50);
    EXPECT_EQ(driver.seen(), 0u);  // nothing missing: no notice at start-up
    gtk_menu_item_activate(GTK_MENU_ITEM(item_labelled(help_menu(), tr("menu.permissions"))));
    ASSERT_EQ(driver.seen(), 1u);
    EXPECT_EQ(seen.marks, (std::vector<std::string>{"\u2713", "\u2713", "\u2713"}));
    EXPECT_EQ(seen.emphasised, (std::vector<bool>{false, false, false}));
}

// A name outside the snap alphabet never becomes a command to paste.
TEST_F(Shell, PermissionNoticeLeavesOutACommandForAStrangeName) {
    zqtest::FixtureRoot root("seam");
    write_snap_machine(root, false);
    App& app = start();
    zqtest::ScopedEnv snap("SNAP_NAME", "zq'; reboot; '");
    NoticeSeen seen;
    DialogDriver driver({[&](GtkDialog* d) {
        seen = look_at_notice(d);
        gtk_dialog_response(d, GTK_RESPONSE_CLOSE);
    }});
    app.show_permission_notice(false);
    ASSERT_EQ(driver.seen(), 1u);
    EXPECT_EQ(seen.command, "");
    EXPECT_FALSE(seen.copy_button);
    EXPECT_EQ(seen.marks.size(), 3u);
}

}  // namespace
