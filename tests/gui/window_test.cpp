// The main window under a virtual display: start-up, tabs, status line, the
// one-second tick, selectors, saving the report and the window geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>

#include "app.h"
#include "cpu_sysfs.h"
#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::pump;

void primary_workarea(GdkRectangle* wa) {
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    gdk_monitor_get_workarea(monitor ? monitor : gdk_display_get_monitor(display, 0), wa);
}

using zqtest::label_text;

// Runs `step` from inside the main loop, so that code which ends the loop
// (closing the window) or runs a nested one (a dialog) sees a real one.
void inside_main_loop(std::function<void()> step) {
    static std::function<void()> pending;
    pending = std::move(step);
    g_idle_add(
        [](gpointer) -> gboolean {
            pending();
            return G_SOURCE_REMOVE;
        },
        nullptr);
    gtk_main();
}

class Window : public ::testing::Test {
protected:
    void SetUp() override {
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        saved_xdg_ = xdg ? std::optional<std::string>(xdg) : std::nullopt;
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
        unsetenv("SNAP_USER_COMMON");
        SettingsStore::instance().mutable_get() = Settings();
    }
    void TearDown() override {
        stop(app_);
        stop(second_);
        saved_xdg_ ? setenv("XDG_CONFIG_HOME", saved_xdg_->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
        SettingsStore::instance().mutable_get() = Settings();
    }

    static App& start(std::unique_ptr<App>& app) { return zqtest::open_window(app); }
    static void stop(std::unique_ptr<App>& app) { zqtest::close_window(app); }

    zqtest::TempDir config_;
    std::optional<std::string> saved_xdg_;
    std::unique_ptr<App> app_, second_;
};

std::vector<std::string> tab_titles(const App& app) {
    std::vector<std::string> titles;
    for (GtkWidget* b : app.m_tab_buttons) titles.push_back(gtk_button_get_label(GTK_BUTTON(b)));
    return titles;
}

TEST_F(Window, StartsWithTabsStackAndStatusLine) {
    App& app = start(app_);
    ASSERT_FALSE(app.m_tabs.empty());
    EXPECT_STREQ(app.m_tabs[0].name, "cpu");
    EXPECT_EQ(app.m_tabs[0].title, tr("tree.cpu"));
    std::vector<std::string> expected;
    for (const App::TabDef& t : app.m_tabs) expected.push_back(t.title);
    EXPECT_EQ(tab_titles(app), expected);
    for (const App::TabDef& t : app.m_tabs)
        EXPECT_NE(gtk_stack_get_child_by_name(GTK_STACK(app.m_stack), t.name), nullptr) << t.name;
    EXPECT_TRUE(gtk_widget_get_visible(app.m_window));
    // A slow start may already have ticked and added the load.
    EXPECT_TRUE(util::starts_with(label_text(app.m_status), probe::machine_line()))
        << label_text(app.m_status);
    // Menu bar, header, tab bar, stack, status line from top to bottom.
    GList* children = gtk_container_get_children(GTK_CONTAINER(app.m_box));
    ASSERT_EQ(g_list_length(children), 5u);
    const GtkWidget* order[] = {app.m_menubar, app.m_header.m_area, app.m_tabbar, app.m_stack, app.m_status};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(g_list_nth_data(children, i), order[i]) << i;
    g_list_free(children);
    // The first tab is shown and its button is the only active one.
    EXPECT_EQ(app.m_page_index, 0);
    EXPECT_STREQ(gtk_stack_get_visible_child_name(GTK_STACK(app.m_stack)), "cpu");
    for (size_t i = 0; i < app.m_tab_buttons.size(); ++i)
        EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(app.m_tab_buttons[i])), i == 0);
}

TEST_F(Window, ClickingTabsKeepsOneActive) {
    App& app = start(app_);
    int last = static_cast<int>(app.m_tab_buttons.size()) - 1;
    gtk_button_clicked(GTK_BUTTON(app.m_tab_buttons[last]));
    pump();
    EXPECT_EQ(app.m_page_index, last);
    EXPECT_STREQ(gtk_stack_get_visible_child_name(GTK_STACK(app.m_stack)), app.m_tabs[last].name);
    gtk_button_clicked(GTK_BUTTON(app.m_tab_buttons[last]));  // the shown tab again
    for (int i = 0; i <= last; ++i)
        EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(app.m_tab_buttons[i])), i == last);
    app.select_tab(last + 1);
    app.select_tab(-1);
    EXPECT_EQ(app.m_page_index, last);
}

// A fixture machine whose clock and counters move between ticks.
void write_moving_values(const zqtest::FixtureRoot& root, int step) {
    for (int cpu = 0; cpu < 2; ++cpu) {
        std::string dir = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/cpufreq/";
        root.write(dir + "scaling_cur_freq", std::to_string(1200000 + 100000 * step + cpu) + "\n");
        root.write(dir + "cpuinfo_max_freq", "4000000\n");
        root.write(dir + "cpuinfo_min_freq", "800000\n");
        root.write(dir + "scaling_governor", "powersave\n");
        root.write(dir + "scaling_driver", "intel_pstate\n");
    }
    uint64_t busy = 1000 + 300 * step, idle = 5000 + 100 * step;
    std::string stat =
        "cpu  " + std::to_string(2 * busy) + " 0 0 " + std::to_string(2 * idle) + " 0 0 0 0 0 0\n";
    for (int cpu = 0; cpu < 2; ++cpu)
        stat += "cpu" + std::to_string(cpu) + " " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                " 0 0 0 0 0 0\n";
    root.write("/proc/stat", stat + "intr 0\nctxt 0\nbtime 0\n");
}

size_t count_cards_and_rows(const App& app) {
    size_t n = 0;
    for (const App::TabDef& t : app.m_tabs)
        for (const probe::Card& c : t.page->cards) n += 1 + c.rows.size();
    return n;
}

TEST_F(Window, TickRewritesLiveLabelsOnly) {
    zqtest::FixtureRoot root("seam");
    write_moving_values(root, 0);
    App& app = start(app_);
    size_t shape = count_cards_and_rows(app);
    size_t live = app.m_ctx.live_rows.size() + app.m_ctx.live_stats.size();
    std::vector<std::string> before;
    for (auto& [row, label] : app.m_ctx.live_rows) before.push_back(label_text(label));

    app.tick();  // the second load sample
    write_moving_values(root, 1);
    cpusys::forget_clocks();  // the next tick comes a second later
    app.tick();
    EXPECT_EQ(count_cards_and_rows(app), shape);
    EXPECT_EQ(app.m_ctx.live_rows.size() + app.m_ctx.live_stats.size(), live);
    int clocks_changed = 0;
    for (size_t i = 0; i < app.m_ctx.live_rows.size(); ++i) {
        auto& [row, label] = app.m_ctx.live_rows[i];
        EXPECT_EQ(label_text(label), row->cols.empty() ? row->value : row->cols.back());
        if (row->live == "cpu.freq" && label_text(label) != before[i]) ++clocks_changed;
    }
    for (auto& [stat, label] : app.m_ctx.live_stats)
        if (stat->live != "stat.load") {
            EXPECT_EQ(label_text(label), stat->value);
        }
    EXPECT_EQ(clocks_changed, 1) << "the clock row did not follow the new frequency";

    // The load is known from the second sample on: the status line says so.
    std::string status = label_text(app.m_status);
    EXPECT_TRUE(util::starts_with(status, probe::machine_line() + "   \u00b7   " + tr("monitor.cpu") + " "))
        << status;
    EXPECT_TRUE(util::ends_with(status, " %")) << status;
}

TEST_F(Window, TickRepaintsTheVisibleDrawingsWhoseValuesChanged) {
    App& app = start(app_);
    app.select_tab(1);  // the topology page's drawings are made, then hidden again
    app.select_tab(0);
    gtk_window_resize(GTK_WINDOW(app.m_window), 1200, 900);
    for (int i = 0; i < 20; ++i) {
        pump();
        g_usleep(10000);
    }
    auto settle = [&] {
        for (int i = 0; i < 10; ++i) {
            pump();
            g_usleep(5000);
        }
    };
    // The core tiles of the visible cpu page sit inside a scrolled viewport.
    ui::LiveDrawing* tiles = nullptr;
    size_t visible = 0, hidden = 0;
    for (ui::LiveDrawing& d : app.m_ctx.live_drawings) {
        (d.page == app.m_page_index ? visible : hidden)++;
        if (d.page == app.m_page_index && gtk_widget_get_mapped(d.area) && !d.card->cores.empty()) tiles = &d;
    }
    ASSERT_NE(tiles, nullptr);
    EXPECT_GT(hidden, 0u) << "the topology page has live drawings too";
    static int draws = 0;
    gulong id =
        g_signal_connect(tiles->area, "draw", G_CALLBACK(+[](GtkWidget*, cairo_t*, gpointer) -> gboolean {
                             ++draws;
                             return FALSE;
                         }),
                         nullptr);
    app.tick();
    settle();
    // Nothing changed since: nothing is queued. Read from the area's own
    // invalid region, which exposes from other windows on the display miss.
    GdkWindow* window = gtk_widget_get_window(tiles->area);
    if (cairo_region_t* stale = gdk_window_get_update_area(window)) cairo_region_destroy(stale);
    EXPECT_EQ(ui::queue_changed_drawings(app.m_ctx, app.m_page_index), 0u);
    cairo_region_t* queued = gdk_window_get_update_area(window);
    EXPECT_EQ(queued, nullptr);
    if (queued) cairo_region_destroy(queued);
    draws = 0;
    // One clock moves: only that drawing is queued, and it is painted.
    probe::Core& core = const_cast<probe::Card*>(tiles->card)->cores.front();
    core.cur_khz += 100000;
    EXPECT_EQ(ui::queue_changed_drawings(app.m_ctx, app.m_page_index), 1u);
    for (int i = 0; i < 200 && draws == 0; ++i) {
        pump();
        g_usleep(10000);
    }
    EXPECT_GE(draws, 1) << "the changed core tiles were not repainted";
    // A new palette repaints every drawing of the page, and only those.
    app.m_ctx.palette = Palette::dark_();
    EXPECT_EQ(ui::queue_changed_drawings(app.m_ctx, app.m_page_index), visible);
    g_signal_handler_disconnect(tiles->area, id);
}

TEST_F(Window, BeforeSecondSampleLoadIsUnknown) {
    App& app = start(app_);
    load::CpuLoad fresh;
    app.m_load = fresh;
    app.m_ctx.live_stats.clear();
    probe::Stat load_stat{"Load", "x", "", "stat.load"};
    GtkWidget* label = gtk_label_new("");
    g_object_ref_sink(label);
    app.m_ctx.live_stats.push_back({&load_stat, label});
    app.tick();  // first sample of a fresh sampler: total still unknown
    EXPECT_EQ(label_text(label), "\u2026");
    EXPECT_EQ(label_text(app.m_status), probe::machine_line());
    app.m_ctx.live_stats.clear();
    g_object_unref(label);
}

// Picking a selector entry rebuilds only the shown tab's page and stays there.
TEST_F(Window, SelectorChangeRecollectsOnlyItsPage) {
    App& app = start(app_);
    ASSERT_NE(app.m_tabs[0].recollect, nullptr);
    for (const App::TabDef& t : app.m_tabs)
        if (t.page != &app.m_cpu) t.page->headline = "untouched";
    app.m_cpu.headline = "to be replaced";
    app.select_tab(0);
    App::on_selector_changed(&app, 0);
    pump();
    EXPECT_EQ(app.m_sel_cpu, 0);
    EXPECT_NE(app.m_cpu.headline, "to be replaced");
    for (const App::TabDef& t : app.m_tabs)
        if (t.page != &app.m_cpu) {
            EXPECT_EQ(t.page->headline, "untouched") << t.name;
        }
    EXPECT_EQ(app.m_page_index, 0);
    // F5 and the menu's refresh keep the chosen value.
    app.refresh();
    EXPECT_EQ(app.m_sel_cpu, 0);

    // A tab without a re-collect function ignores the callback.
    app.m_tabs[0].recollect = nullptr;
    App::on_selector_changed(&app, -1);
    EXPECT_EQ(app.m_sel_cpu, 0);
}

GtkWidget* submenu_of(GtkWidget* shell, int index);
std::vector<GtkWidget*> children_of(GtkWidget* container);

TEST_F(Window, SaveReportThroughTheChooser) {
    App& app = start(app_);
    zqtest::TempDir dir;
    std::string file = dir.path() + "/cpu-info.txt";
    inside_main_loop([&] {
        g_timeout_add(
            50,
            [](gpointer data) -> gboolean {
                const std::string& folder = *static_cast<std::string*>(data);
                static GtkWidget* chooser = nullptr;
                static bool seen = false;
                GList* tops = gtk_window_list_toplevels();
                for (GList* t = tops; t && !chooser; t = t->next)
                    if (GTK_IS_FILE_CHOOSER_DIALOG(t->data)) {
                        chooser = GTK_WIDGET(t->data);
                        seen = true;
                        g_object_add_weak_pointer(G_OBJECT(chooser), reinterpret_cast<gpointer*>(&chooser));
                        EXPECT_STREQ(gtk_file_chooser_get_current_name(GTK_FILE_CHOOSER(chooser)),
                                     "cpu-info.txt");
                        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), folder.c_str());
                        g_list_free(tops);
                        return G_SOURCE_CONTINUE;
                    }
                g_list_free(tops);
                // The chooser takes the answer only once it has changed to the
                // folder, which it does in the background: answer until it closes.
                if (chooser) gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
                return chooser || !seen ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
            },
            const_cast<std::string*>(&dir.path()));
        // File, Save report
        gtk_menu_item_activate(GTK_MENU_ITEM(children_of(submenu_of(app.m_menubar, 0)).at(3)));
        gtk_main_quit();
    });
    EXPECT_EQ(zqtest::slurp(file), app.report_text());
    EXPECT_EQ(label_text(app.m_status), I18n::instance().trf("status.saved", file.c_str()));

    EXPECT_FALSE(app.save_report_to(dir.path() + "/missing/x.txt"));
    EXPECT_EQ(label_text(app.m_status),
              I18n::instance().trf("status.save_failed", (dir.path() + "/missing/x.txt").c_str()));

    // The message outlasts the ticks and rebuilds of five seconds, then the tick's own text returns.
    const std::string failed = label_text(app.m_status);
    app.tick();
    app.tick();
    app.refresh();
    EXPECT_EQ(label_text(app.m_status), failed);
    // As if 4.5 s, then 5.5 s had passed: slow builds spend real time in a tick.
    app.m_message_time = g_get_monotonic_time() - 45 * G_USEC_PER_SEC / 10;
    app.tick();
    EXPECT_EQ(label_text(app.m_status), failed);
    app.m_message_time = g_get_monotonic_time() - 55 * G_USEC_PER_SEC / 10;
    app.tick();
    EXPECT_TRUE(util::starts_with(label_text(app.m_status), probe::machine_line()))
        << label_text(app.m_status);
}

TEST_F(Window, GeometrySavedOnCloseAndRestored) {
    App& app = zqtest::open_window(app_, true);  // closing must stop the window's own tick
    ASSERT_NE(app.m_timer, 0u);
    gtk_window_resize(GTK_WINDOW(app.m_window), 1100, 760);
    gtk_window_move(GTK_WINDOW(app.m_window), 130, 90);
    // The last tab: a start view ("memory" once it exists) or one that is
    // none, which starts the next run on the first tab.
    int last = static_cast<int>(app.m_tab_buttons.size()) - 1;
    std::string last_name = app.m_tabs[last].name;
    int stored = std::max(0, start_view_of(last_name));
    app.select_tab(last);
    for (int i = 0; i < 20; ++i) {
        pump();
        g_usleep(10000);
    }
    inside_main_loop([&] { gtk_window_close(GTK_WINDOW(app.m_window)); });
    EXPECT_EQ(app.m_timer, 0u);
    const Settings& s = SettingsStore::instance().get();
    EXPECT_EQ(s.window_width, 1100);
    EXPECT_EQ(s.window_height, 760);
    EXPECT_EQ(s.window_x, 130);
    EXPECT_EQ(s.window_y, 90);
    EXPECT_EQ(s.start_tab, stored) << last_name;
    std::string saved = zqtest::slurp(config_.path() + "/Zorvantelquist/settings.json");
    EXPECT_NE(saved.find("\"window_width\": 1100,"), std::string::npos) << saved;
    app_->m_window = nullptr;  // destroyed by the close
    stop(app_);

    SettingsStore::instance().mutable_get() = Settings();
    App& again = start(second_);
    for (int i = 0; i < 20; ++i) {
        pump();
        g_usleep(10000);
    }
    int w = 0, h = 0, x = 0, y = 0;
    gtk_window_get_size(GTK_WINDOW(again.m_window), &w, &h);
    gtk_window_get_position(GTK_WINDOW(again.m_window), &x, &y);
    EXPECT_EQ(w, 1100);
    EXPECT_EQ(h, 760);
    EXPECT_EQ(x, 130);
    EXPECT_EQ(y, 90);
    EXPECT_STREQ(again.m_tabs[again.m_page_index].name,
                 start_view_of(last_name) < 0 ? "cpu" : last_name.c_str());
}

TEST_F(Window, PositionMustOverlapWorkArea) {
    App& app = start(app_);
    GdkRectangle wa;
    primary_workarea(&wa);
    EXPECT_TRUE(app.position_on_screen(wa.x, wa.y, 1000, 720));
    EXPECT_TRUE(app.position_on_screen(wa.x - 879, wa.y, 1000, 720));   // 121 px left on screen
    EXPECT_FALSE(app.position_on_screen(wa.x - 880, wa.y, 1000, 720));  // 120 px
    EXPECT_FALSE(app.position_on_screen(wa.x + wa.width - 120, wa.y, 1000, 720));
    EXPECT_TRUE(app.position_on_screen(wa.x + wa.width - 121, wa.y, 1000, 720));
    EXPECT_FALSE(app.position_on_screen(wa.x, wa.y + wa.height - 120, 1000, 720));
    EXPECT_FALSE(app.position_on_screen(wa.x, wa.y - 600, 1000, 720));
    // Hostile stored positions at the int limit are refused, not overflowed.
    EXPECT_FALSE(app.position_on_screen(INT_MAX - 10, wa.y, 1000, 720));
    EXPECT_FALSE(app.position_on_screen(wa.x, INT_MAX - 10, 1000, 720));
}

TEST_F(Window, StoredSizeIsLimitedToWorkArea) {
    Settings& s = SettingsStore::instance().mutable_get();
    s.window_width = 30000;
    s.window_height = 20000;
    zqtest::write_file(SettingsStore::instance().path(), SettingsStore::to_text(s));
    App& app = start(app_);
    GdkRectangle wa;
    primary_workarea(&wa);
    int w = 0, h = 0;
    gtk_window_get_default_size(GTK_WINDOW(app.m_window), &w, &h);
    EXPECT_EQ(w, wa.width);
    EXPECT_EQ(h, wa.height);
}

TEST_F(Window, ShowSourcesToggleRebuildsWithoutRecollecting) {
    App& app = start(app_);
    app.m_cpu.headline = "kept";
    app.m_ctx.show_sources = true;
    SettingsStore::instance().mutable_get().show_sources = true;
    app.rebuild_pages();
    EXPECT_EQ(app.m_cpu.headline, "kept");
    EXPECT_TRUE(app.m_ctx.show_sources);
}

GtkWidget* submenu_of(GtkWidget* shell, int index) {
    GList* items = gtk_container_get_children(GTK_CONTAINER(shell));
    GtkWidget* sub = gtk_menu_item_get_submenu(GTK_MENU_ITEM(g_list_nth_data(items, index)));
    g_list_free(items);
    return sub;
}

std::vector<GtkWidget*> children_of(GtkWidget* container) {
    std::vector<GtkWidget*> out;
    GList* items = gtk_container_get_children(GTK_CONTAINER(container));
    for (GList* i = items; i; i = i->next) out.push_back(GTK_WIDGET(i->data));
    g_list_free(items);
    return out;
}

GtkWidget* radio_labelled(GtkWidget* menu, const std::string& label) {
    for (GtkWidget* item : children_of(menu))
        if (GTK_IS_RADIO_MENU_ITEM(item) && gtk_menu_item_get_label(GTK_MENU_ITEM(item)) == label)
            return item;
    return nullptr;
}

TEST_F(Window, LanguageMenuFillsColumnsOfTheScreenHeight) {
    App& app = start(app_);
    GtkWidget* languages = submenu_of(submenu_of(app.m_menubar, 1), 1);
    ASSERT_NE(languages, nullptr);
    std::vector<GtkWidget*> items = children_of(languages);
    size_t count = I18n::available().size();
    ASSERT_EQ(items.size(), count + 1);  // no separator in the grid layout
    GdkRectangle wa;
    primary_workarea(&wa);
    int rows = std::clamp((wa.height - 90) / 30, 8, 16);
    std::map<int, int> per_column;
    for (GtkWidget* item : items) {
        int left = -1, top = -1;
        gtk_container_child_get(GTK_CONTAINER(languages), item, "left-attach", &left, "top-attach", &top,
                                nullptr);
        EXPECT_LT(top, rows);
        ++per_column[left];
        if (gtk_menu_item_get_label(GTK_MENU_ITEM(item)) == std::string(tr("language.auto"))) {
            EXPECT_EQ(left, 0);
            EXPECT_EQ(top, 0);
            EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(item)));
        }
    }
    EXPECT_EQ(per_column[0], rows);
    EXPECT_EQ(per_column.rbegin()->second, static_cast<int>((count + 1 - 1) % rows + 1));
}

// Choosing a language saves it, rebuilds the pages and the menu bar in it.
TEST_F(Window, LanguageItemSwitchesEverything) {
    App& app = start(app_);
    GtkWidget* old_menubar = app.m_menubar;
    GtkWidget* deutsch = radio_labelled(submenu_of(submenu_of(app.m_menubar, 1), 1), "Deutsch");
    ASSERT_NE(deutsch, nullptr);
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(deutsch), TRUE);
    pump();
    EXPECT_EQ(SettingsStore::instance().get().language, "de");
    EXPECT_EQ(I18n::instance().effective_language(), "de");
    EXPECT_NE(app.m_menubar, old_menubar);
    EXPECT_EQ(tab_titles(app)[0], tr("tree.cpu"));
    GList* top = gtk_container_get_children(GTK_CONTAINER(app.m_menubar));
    EXPECT_STREQ(gtk_menu_item_get_label(GTK_MENU_ITEM(top->data)), tr("menu.file"));
    g_list_free(top);
    EXPECT_NE(zqtest::slurp(SettingsStore::instance().path()).find("\"language\": \"de\""),
              std::string::npos);
    // The new menu shows the choice.
    GtkWidget* again = radio_labelled(submenu_of(submenu_of(app.m_menubar, 1), 1), "Deutsch");
    EXPECT_TRUE(gtk_check_menu_item_get_active(GTK_CHECK_MENU_ITEM(again)));
    app.apply_language("en");
}

TEST_F(Window, ThemeItemSavesAndApplies) {
    App& app = start(app_);
    GtkWidget* themes = submenu_of(submenu_of(app.m_menubar, 1), 0);
    GtkWidget* dark = radio_labelled(themes, tr("theme.dark"));
    ASSERT_NE(dark, nullptr);
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(dark), TRUE);
    EXPECT_EQ(SettingsStore::instance().get().theme, "dark");
    EXPECT_TRUE(app.m_dark);
    EXPECT_TRUE(app.m_ctx.palette.dark);
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(radio_labelled(themes, tr("theme.light"))), TRUE);
    EXPECT_EQ(SettingsStore::instance().get().theme, "light");
    EXPECT_FALSE(app.m_dark);
}

// The File menu's refresh collects the pages again; its quit saves the
// window state and ends the loop.
TEST_F(Window, FileMenuRefreshesAndQuits) {
    App& app = start(app_);
    std::vector<GtkWidget*> items = children_of(submenu_of(app.m_menubar, 0));
    ASSERT_EQ(items.size(), 6u);  // refresh, elevate, -, save report, -, quit
    app.m_cpu.headline = "stale";
    gtk_menu_item_activate(GTK_MENU_ITEM(items[0]));
    EXPECT_NE(app.m_cpu.headline, "stale");
    gtk_window_resize(GTK_WINDOW(app.m_window), 1040, 730);
    zqtest::pump_for(200);
    std::string file = SettingsStore::instance().path();
    std::remove(file.c_str());
    inside_main_loop([&] { gtk_menu_item_activate(GTK_MENU_ITEM(items[5])); });
    EXPECT_NE(zqtest::slurp(file).find("\"window_width\": 1040,"), std::string::npos) << zqtest::slurp(file);
}

gboolean press(App& app, guint keyval, GdkModifierType state) {
    GdkEvent* event = gdk_event_new(GDK_KEY_PRESS);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(app.m_window)));
    event->key.keyval = keyval;
    event->key.state = state;
    gboolean handled = App::on_key_press(app.m_window, &event->key, &app);
    gdk_event_free(event);
    return handled;
}

TEST_F(Window, F5RecollectsAndControlQSavesAndQuits) {
    App& app = start(app_);
    app.m_cpu.headline = "stale";
    EXPECT_TRUE(press(app, GDK_KEY_F5, GdkModifierType(0)));
    EXPECT_NE(app.m_cpu.headline, "stale");
    EXPECT_FALSE(press(app, GDK_KEY_q, GdkModifierType(0)));
    std::string file = SettingsStore::instance().path();
    std::remove(file.c_str());
    inside_main_loop([&] { EXPECT_TRUE(press(app, GDK_KEY_q, GDK_CONTROL_MASK)); });
    EXPECT_NE(zqtest::slurp(file).find("\"window_width\""), std::string::npos);
}

// Starts the real program with the geometry trace on, waits (up to 60 s)
// until the window has placed itself, then stops it. Standard output is "1"
// when the program was still running by then; the trace is on standard error.
std::vector<std::string> start_then_stop() {
    static const char* const script =
        "trace=$(mktemp); \"$0\" 2>\"$trace\" & pid=$!; "
        "for i in $(seq 600); do grep -q 'have=' \"$trace\" && break; kill -0 $pid 2>/dev/null || break; "
        "sleep 0.1; done; "
        "running=0; kill -0 $pid 2>/dev/null && running=1; kill $pid 2>/dev/null; wait $pid; "
        "cat \"$trace\" >&2; rm -f \"$trace\"; echo $running";
    return {"bash", "-c", script, zqtest::binary()};
}

TEST_F(Window, ProgramStartsAndTracesGeometry) {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr));
    GdkRectangle wa;
    primary_workarea(&wa);
    auto r = zqtest::run(start_then_stop(), {"ZORVQ_GEOM_DEBUG=1", "XDG_CONFIG_HOME=" + config_.path()});
    EXPECT_EQ(r.out, "1\n") << r.err;
    std::string area = std::to_string(wa.width) + "x" + std::to_string(wa.height) + "+" +
                       std::to_string(wa.x) + "+" + std::to_string(wa.y);
    EXPECT_NE(r.err.find("  workarea=" + area + " (have=1)\n"), std::string::npos) << r.err;
    // Whatever the desktop's libraries print first, the trace has its own lines.
    EXPECT_TRUE(util::starts_with(r.err, "GEOM: monitor=") ||
                r.err.find("\nGEOM: monitor=") != std::string::npos)
        << r.err;
}

TEST_F(Window, ProgramStartsOnFixtureMachine) {
    zqtest::FixtureRoot root("seam");
    write_moving_values(root, 0);
    auto r = zqtest::run_in_fixture(root.dir(), start_then_stop(),
                                    {"ZORVQ_GEOM_DEBUG=1", "XDG_CONFIG_HOME=" + config_.path()});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    EXPECT_EQ(r.out, "1\n") << r.err;
}

}  // namespace
