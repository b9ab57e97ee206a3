#include "app.h"

#include <gdk/gdkkeysyms.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <utility>

#include "crash_handler.h"
#include "gpu.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "settings.h"
#include "theme.h"
#include "util.h"

App::App() { m_ctx.cpu_load = &m_load; }

// ---- Command line ---------------------------------------------------------

int App::run(int argc, char** argv) {
    int status = cli::run_text_mode(argc, argv, *this);
    return status >= 0 ? status : run_window(argc, argv);
}

// ---- Window start-up and geometry -----------------------------------------

namespace {

const int MIN_WIDTH = 1000;
const int MIN_HEIGHT = 720;
const int DEFAULT_HEIGHT = 860;
// A stored position must leave more than this much of the window on the
// work area on both axes, or the window could not be grabbed again.
const int ON_SCREEN_MARGIN = 120;
// How long the window waits for the desktop's colour scheme before it shows
// itself in the start-up guess: the portal's own answer time.
const gint64 PORTAL_WAIT_US = 500 * 1000;

GdkMonitor* primary_or_first_monitor(GdkDisplay* display) {
    GdkMonitor* monitor = gdk_display_get_primary_monitor(display);
    if (!monitor && gdk_display_get_n_monitors(display) > 0) monitor = gdk_display_get_monitor(display, 0);
    return monitor;
}

// The work area of the monitor that shows `widget` (before it is shown: the
// primary monitor).
bool screen_workarea(GtkWidget* widget, GdkRectangle* wa) {
    GdkDisplay* display = widget ? gtk_widget_get_display(widget) : gdk_display_get_default();
    if (!display) return false;
    GdkMonitor* monitor = nullptr;
    GdkWindow* window = widget ? gtk_widget_get_window(widget) : nullptr;
    if (window) monitor = gdk_display_get_monitor_at_window(display, window);
    if (!monitor) monitor = primary_or_first_monitor(display);
    if (!monitor) return false;
    gdk_monitor_get_workarea(monitor, wa);
    return wa->width >= 1 && wa->height >= 1;
}

void trace_geometry(const GdkRectangle& wa, bool have) {
    GdkRectangle mon = {0, 0, 0, 0};
    GdkDisplay* display = gdk_display_get_default();
    GdkMonitor* monitor = display ? primary_or_first_monitor(display) : nullptr;
    if (monitor) gdk_monitor_get_geometry(monitor, &mon);
    GdkRectangle area = have ? wa : GdkRectangle{0, 0, 0, 0};
    std::fprintf(stderr, "GEOM: monitor=%dx%d+%d+%d  workarea=%dx%d+%d+%d (have=%d)\n", mon.width, mon.height,
                 mon.x, mon.y, area.width, area.height, area.x, area.y, have ? 1 : 0);
}

}  // namespace

int App::run_window(int argc, char** argv) {
    start_window(argc, argv);
    gtk_main();
    return 0;
}

void App::start_window(int argc, char** argv) {
    gtk_init(&argc, &argv);
    // gtk_init takes the numeric locale from the environment; the page
    // builders parse kernel files with a decimal point.
    std::setlocale(LC_NUMERIC, "C");
    SettingsStore::instance().load();
    apply_language(SettingsStore::instance().get().language);
    probe_system_theme_hint();
    apply_theme();
    watch_system_theme();
    // A worker reaches the bus while the pages are collected below; the
    // window is shown once the portal has answered, or this much later.
    const gint64 portal_deadline = g_get_monotonic_time() + PORTAL_WAIT_US;
    if (geteuid() == 0) hw::RootData::instance().collect_as_root();
    build_window();
    // As App::refresh, but the stored start tab is the first one shown: the
    // widgets of a page the window does not show are not made.
    fill_tabs(collect_pages(true), true);
    m_page_index = start_tab_index();
    rebuild_pages();
    apply_geometry();
    wait_for_portal(portal_deadline);
    gtk_widget_show_all(m_window);
    restore_position();
    if (SettingsStore::instance().get().window_maximized) gtk_window_maximize(GTK_WINDOW(m_window));
    m_load.sample();
    m_timer = g_timeout_add(1000, on_tick, this);
    m_clock_timer = g_timeout_add_seconds(
        60,
        [](gpointer) -> gboolean {
            CrashHandler::refresh_clock();
            return G_SOURCE_CONTINUE;
        },
        nullptr);
    m_notice_idle = g_idle_add(
        [](gpointer data) -> gboolean {
            App* app = static_cast<App*>(data);
            app->m_notice_idle = 0;
            app->show_permission_notice(true);
            return G_SOURCE_REMOVE;
        },
        this);
}

void App::apply_geometry() {
    GdkRectangle wa = {0, 0, 0, 0};
    bool have = screen_workarea(m_window, &wa);
    if (std::getenv("ZORVQ_GEOM_DEBUG")) trace_geometry(wa, have);
    int min_w = have ? std::min(wa.width, MIN_WIDTH) : MIN_WIDTH;
    int min_h = have ? std::min(wa.height, MIN_HEIGHT) : MIN_HEIGHT;
    GdkGeometry hints = {};
    hints.min_width = min_w;
    hints.min_height = min_h;
    GtkWindow* window = GTK_WINDOW(m_window);
    gtk_window_set_geometry_hints(window, nullptr, &hints, GDK_HINT_MIN_SIZE);

    const Settings& s = SettingsStore::instance().get();
    if (s.window_width > 0 && s.window_height > 0) {
        int w = have ? std::min(s.window_width, wa.width) : s.window_width;
        int h = have ? std::min(s.window_height, wa.height) : s.window_height;
        gtk_window_set_default_size(window, std::max(w, min_w), std::max(h, min_h));
        return;
    }
    if (!have) {
        gtk_window_set_default_size(window, MIN_WIDTH, DEFAULT_HEIGHT);
        gtk_window_set_position(window, GTK_WIN_POS_CENTER);
        return;
    }
    int h = std::max(std::min(wa.height - 80, DEFAULT_HEIGHT), min_h);
    int w = std::min(wa.width, MIN_WIDTH);
    gtk_window_set_default_size(window, w, h);
    gtk_window_set_position(window, GTK_WIN_POS_CENTER);
    if (!running_on_wayland()) {
        int spare = wa.width - w;
        gtk_window_move(window, spare <= 1 ? wa.x : wa.x + spare / 2, wa.y);
    }
}

void App::restore_position() {
    const Settings& s = SettingsStore::instance().get();
    if (running_on_wayland() || s.window_x < 0 || s.window_y < 0) return;
    int w = 0, h = 0;
    gtk_window_get_size(GTK_WINDOW(m_window), &w, &h);
    if (position_on_screen(s.window_x, s.window_y, w, h))
        gtk_window_move(GTK_WINDOW(m_window), s.window_x, s.window_y);
    else
        gtk_window_set_position(GTK_WINDOW(m_window), GTK_WIN_POS_CENTER);
}

bool App::position_on_screen(int x, int y, int w, int h) const {
    GdkRectangle wa = {0, 0, 0, 0};
    if (!screen_workarea(m_window, &wa)) return true;
    // The position comes from the user-editable settings file: summed in 64
    // bits, a value near the int limit cannot overflow.
    int64_t right = int64_t{x} + w, bottom = int64_t{y} + h;
    return right > wa.x + ON_SCREEN_MARGIN && x < wa.x + wa.width - ON_SCREEN_MARGIN &&
           bottom > wa.y + ON_SCREEN_MARGIN && y < wa.y + wa.height - ON_SCREEN_MARGIN;
}

bool App::running_on_wayland() {
    GdkDisplay* display = gdk_display_get_default();
    return display && util::starts_with(G_OBJECT_TYPE_NAME(display), "GdkWayland");
}

// A maximised window keeps the size and position of its last normal state.
void App::remember_geometry() {
    Settings& s = SettingsStore::instance().mutable_get();
    s.window_maximized = m_maximized;
    int shown = m_page_index >= 0 && m_page_index < static_cast<int>(m_tabs.size())
                    ? start_view_of(m_tabs[m_page_index].name)
                    : -1;
    s.start_tab = shown < 0 ? 0 : shown;
    if (!m_maximized && m_window) {
        int w = 0, h = 0;
        gtk_window_get_size(GTK_WINDOW(m_window), &w, &h);
        if (w > 0 && h > 0) {
            s.window_width = w;
            s.window_height = h;
        }
        if (!running_on_wayland()) gtk_window_get_position(GTK_WINDOW(m_window), &s.window_x, &s.window_y);
    }
    SettingsStore::instance().save();
}

gboolean App::on_window_state(GtkWidget*, GdkEventWindowState* event, gpointer app) {
    App* self = static_cast<App*>(app);
    self->m_maximized = (event->new_window_state & GDK_WINDOW_STATE_MAXIMIZED) != 0;
    // Nobody sees the header of an iconified window.
    self->m_header.set_paused((event->new_window_state & GDK_WINDOW_STATE_ICONIFIED) != 0);
    return FALSE;
}

gboolean App::on_delete(GtkWidget*, GdkEvent*, gpointer data) {
    App* app = static_cast<App*>(data);
    app->remember_geometry();
    if (app->m_timer != 0) {
        g_source_remove(app->m_timer);
        app->m_timer = 0;
    }
    gtk_main_quit();
    return FALSE;
}

gboolean App::on_key_press(GtkWidget*, GdkEventKey* event, gpointer data) {
    App* app = static_cast<App*>(data);
    if (event->keyval == GDK_KEY_F5) {
        app->refresh();
        return TRUE;
    }
    if (event->keyval == GDK_KEY_q && (event->state & GDK_CONTROL_MASK)) {
        app->remember_geometry();
        gtk_main_quit();
        return TRUE;
    }
    return FALSE;
}

// ---- Main window, menus and tab bar ----------------------------------------

namespace {

struct TabClick {
    App* app;
    int index;
};
struct ThemeChoice {
    App* app;
    const char* value;
};
struct LangChoice {
    App* app;
    std::string code;
};

template <typename T>
void delete_record(gpointer data, GClosure*) {
    delete static_cast<T*>(data);
}

template <typename T>
void connect_record(gpointer instance, const char* signal, GCallback handler, T* record) {
    g_signal_connect_data(instance, signal, handler, record, delete_record<T>, GConnectFlags(0));
}

GtkWidget* menu_item(const char* label, GCallback on_activate, gpointer data) {
    GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
    g_signal_connect(item, "activate", on_activate, data);
    return item;
}

GtkWidget* submenu(GtkWidget* menubar_or_menu, const char* label) {
    GtkWidget* item = gtk_menu_item_new_with_mnemonic(label);
    GtkWidget* menu = gtk_menu_new();
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
    gtk_menu_shell_append(GTK_MENU_SHELL(menubar_or_menu), item);
    return menu;
}

void append(GtkWidget* menu, GtkWidget* item) { gtk_menu_shell_append(GTK_MENU_SHELL(menu), item); }
void append_separator(GtkWidget* menu) { append(menu, gtk_separator_menu_item_new()); }

// Rows per column of the language menu, so that it fits the screen's height.
int menu_rows_for_screen(GtkWidget* window) {
    int height = 900;
    GdkDisplay* display = window ? gtk_widget_get_display(window) : gdk_display_get_default();
    if (display) {
        GdkWindow* gdk_window = window ? gtk_widget_get_window(window) : nullptr;
        GdkMonitor* monitor = gdk_window ? gdk_display_get_monitor_at_window(display, gdk_window) : nullptr;
        if (!monitor) monitor = primary_or_first_monitor(display);
        if (monitor) {
            GdkRectangle wa;
            gdk_monitor_get_workarea(monitor, &wa);
            height = wa.height;
        }
    }
    return std::clamp((height - 90) / 30, 8, 16);
}

void on_refresh_item(GtkMenuItem*, gpointer app) { static_cast<App*>(app)->refresh(); }
void on_colors_item(GtkMenuItem*, gpointer app) { static_cast<App*>(app)->action_colors(); }
void on_settings_item(GtkMenuItem*, gpointer app) { static_cast<App*>(app)->action_settings(); }
void on_permissions_item(GtkMenuItem*, gpointer app) {
    static_cast<App*>(app)->show_permission_notice(false);
}
void on_licenses_item(GtkMenuItem*, gpointer data) {
    App* app = static_cast<App*>(data);
    app->action_licenses(GTK_WINDOW(app->m_window));
}
void on_about_item(GtkMenuItem*, gpointer app) { static_cast<App*>(app)->action_about(); }
void on_elevate_item(GtkMenuItem*, gpointer app) { static_cast<App*>(app)->action_elevate(); }
void on_save_report_item(GtkMenuItem*, gpointer app) { static_cast<App*>(app)->action_save_report(); }
void on_quit_item(GtkMenuItem*, gpointer app) {
    static_cast<App*>(app)->remember_geometry();
    gtk_main_quit();
}

void on_theme_item(GtkCheckMenuItem* item, gpointer data) {
    if (!gtk_check_menu_item_get_active(item)) return;
    ThemeChoice* choice = static_cast<ThemeChoice*>(data);
    SettingsStore::instance().mutable_get().theme = choice->value;
    SettingsStore::instance().save();
    choice->app->apply_theme();
}

// Rebuilding the menu bar destroys this item and frees its record: nothing
// of either is touched after the copy.
void on_language_item(GtkCheckMenuItem* item, gpointer data) {
    if (!gtk_check_menu_item_get_active(item)) return;
    LangChoice* choice = static_cast<LangChoice*>(data);
    App* app = choice->app;
    std::string code = choice->code;
    SettingsStore::instance().mutable_get().language = code;
    SettingsStore::instance().save();
    app->apply_language(code);
    app->refresh();
    app->rebuild_menubar();
}

void on_show_sources_item(GtkCheckMenuItem* item, gpointer data) {
    App* app = static_cast<App*>(data);
    bool active = gtk_check_menu_item_get_active(item);
    Settings& s = SettingsStore::instance().mutable_get();
    if (active == s.show_sources) return;
    s.show_sources = active;
    SettingsStore::instance().save();
    app->m_ctx.show_sources = active;
    app->rebuild_pages();
}

// Radio states are set before the handlers are connected, so that building
// the menu does not count as a choice.
GtkWidget* theme_menu(App* app) {
    static const char* const VALUES[] = {"auto", "light", "dark"};
    static const char* const KEYS[] = {"theme.auto", "theme.light", "theme.dark"};
    GtkWidget* menu = gtk_menu_new();
    GSList* group = nullptr;
    for (int i = 0; i < 3; ++i) {
        GtkWidget* item = gtk_radio_menu_item_new_with_label(group, tr(KEYS[i]));
        group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item),
                                       SettingsStore::instance().get().theme == VALUES[i]);
        connect_record(item, "toggled", G_CALLBACK(on_theme_item), new ThemeChoice{app, VALUES[i]});
        append(menu, item);
    }
    return menu;
}

GtkWidget* language_menu(App* app) {
    GtkWidget* menu = gtk_menu_new();
    std::vector<LanguageInfo> languages = I18n::available();
    const std::string& stored = SettingsStore::instance().get().language;
    int rows = menu_rows_for_screen(app->m_window);
    bool one_column = static_cast<int>(languages.size()) < rows;
    GSList* group = nullptr;
    auto add = [&](const std::string& label, const std::string& code, int position) {
        GtkWidget* item = gtk_radio_menu_item_new_with_label(group, label.c_str());
        group = gtk_radio_menu_item_get_group(GTK_RADIO_MENU_ITEM(item));
        gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(item), stored == code);
        connect_record(item, "toggled", G_CALLBACK(on_language_item), new LangChoice{app, code});
        if (one_column) {
            append(menu, item);
        } else {
            int column = position / rows, row = position % rows;
            gtk_menu_attach(GTK_MENU(menu), item, column, column + 1, row, row + 1);
        }
    };
    add(tr("language.auto"), "auto", 0);
    if (one_column) append_separator(menu);
    for (size_t i = 0; i < languages.size(); ++i)
        add(languages[i].native_name, languages[i].code, static_cast<int>(i) + 1);
    return menu;
}

}  // namespace

void App::build_window() {
    m_window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(m_window), PROGRAM);
    gtk_window_set_icon_name(GTK_WINDOW(m_window), "zorvantelquist");
    if (GdkPixbuf* icon = app_icon(0)) {
        gtk_window_set_icon(GTK_WINDOW(m_window), icon);
        g_object_unref(icon);
    }
    g_signal_connect(m_window, "delete-event", G_CALLBACK(on_delete), this);
    g_signal_connect(m_window, "window-state-event", G_CALLBACK(on_window_state), this);
    g_signal_connect(m_window, "key-press-event", G_CALLBACK(on_key_press), this);

    m_box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    gtk_container_add(GTK_CONTAINER(m_window), m_box);
    m_menubar = build_menubar();
    gtk_box_pack_start(GTK_BOX(m_box), m_menubar, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(m_box), m_header.build(palette(), &m_load), FALSE, FALSE, 0);
    m_tabbar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    gtk_box_pack_start(GTK_BOX(m_box), m_tabbar, FALSE, FALSE, 0);
    m_stack = gtk_stack_new();
    gtk_stack_set_transition_type(GTK_STACK(m_stack), GTK_STACK_TRANSITION_TYPE_NONE);
    gtk_box_pack_start(GTK_BOX(m_box), m_stack, TRUE, TRUE, 0);
    m_status = gtk_label_new("");
    gtk_widget_set_halign(m_status, GTK_ALIGN_START);
    gtk_style_context_add_class(gtk_widget_get_style_context(m_status), "statusbar");
    gtk_box_pack_start(GTK_BOX(m_box), m_status, FALSE, FALSE, 0);
    // The stored start view names a tab, found once the tab table exists.
    m_page_index = 0;
}

GdkPixbuf* App::app_icon(int size) { return program_icon(size); }

int App::start_tab_index() const {
    const char* name = start_view_tab(SettingsStore::instance().get().start_tab);
    for (size_t i = 0; i < m_tabs.size(); ++i)
        if (std::string(m_tabs[i].name) == name) return static_cast<int>(i);
    return 0;
}

GtkWidget* App::build_menubar() {
    GtkWidget* bar = gtk_menu_bar_new();

    GtkWidget* file = submenu(bar, tr("menu.file"));
    append(file, menu_item(tr("menu.refresh"), G_CALLBACK(on_refresh_item), this));
    append(file, menu_item(tr("menu.elevate"), G_CALLBACK(on_elevate_item), this));
    append_separator(file);
    append(file, menu_item(tr("menu.save_report"), G_CALLBACK(on_save_report_item), this));
    append_separator(file);
    append(file, menu_item(tr("menu.quit"), G_CALLBACK(on_quit_item), this));

    GtkWidget* view = submenu(bar, tr("menu.view"));
    GtkWidget* theme_item = gtk_menu_item_new_with_mnemonic(tr("menu.theme"));
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(theme_item), theme_menu(this));
    append(view, theme_item);
    GtkWidget* language_item = gtk_menu_item_new_with_mnemonic(tr("menu.language"));
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(language_item), language_menu(this));
    append(view, language_item);
    append_separator(view);
    GtkWidget* sources = gtk_check_menu_item_new_with_mnemonic(tr("menu.show_sources"));
    gtk_check_menu_item_set_active(GTK_CHECK_MENU_ITEM(sources),
                                   SettingsStore::instance().get().show_sources);
    g_signal_connect(sources, "toggled", G_CALLBACK(on_show_sources_item), this);
    append(view, sources);
    append_separator(view);
    append(view, menu_item(tr("menu.colors"), G_CALLBACK(on_colors_item), this));
    append(view, menu_item(tr("menu.settings"), G_CALLBACK(on_settings_item), this));

    GtkWidget* help = submenu(bar, tr("menu.help"));
    const char* snap = std::getenv("SNAP_NAME");
    if (snap && *snap) {
        append(help, menu_item(tr("menu.permissions"), G_CALLBACK(on_permissions_item), this));
        append_separator(help);
    }
    append(help, menu_item(tr("dialog.licenses"), G_CALLBACK(on_licenses_item), this));
    append_separator(help);
    append(help, menu_item(tr("menu.about"), G_CALLBACK(on_about_item), this));
    return bar;
}

void App::rebuild_menubar() {
    if (!m_menubar || !m_box) return;
    gtk_widget_destroy(m_menubar);
    m_menubar = build_menubar();
    gtk_box_pack_start(GTK_BOX(m_box), m_menubar, FALSE, FALSE, 0);
    gtk_box_reorder_child(GTK_BOX(m_box), m_menubar, 0);
    gtk_widget_show_all(m_menubar);
}

namespace {
void on_tab_clicked(GtkButton*, gpointer data) {
    TabClick* click = static_cast<TabClick*>(data);
    click->app->select_tab(click->index);
}
}  // namespace

GtkWidget* App::build_tabs() {
    GtkWidget* bar = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    gtk_style_context_add_class(gtk_widget_get_style_context(bar), "tabbar");
    m_tab_buttons.clear();
    for (size_t i = 0; i < m_tabs.size(); ++i) {
        GtkWidget* button = gtk_toggle_button_new_with_label(m_tabs[i].title.c_str());
        gtk_style_context_add_class(gtk_widget_get_style_context(button), "tab-button");
        gtk_widget_set_can_focus(button, TRUE);
        connect_record(button, "clicked", G_CALLBACK(on_tab_clicked),
                       new TabClick{this, static_cast<int>(i)});
        gtk_box_pack_start(GTK_BOX(bar), button, FALSE, FALSE, 0);
        m_tab_buttons.push_back(button);
    }
    return bar;
}

void App::select_tab(int index) {
    if (m_switching || !m_stack || index < 0 || index >= static_cast<int>(m_tab_buttons.size()) ||
        index >= static_cast<int>(m_tabs.size()))
        return;
    // Setting a toggle button emits "clicked"; the guard swallows the nested calls.
    m_switching = true;
    for (size_t i = 0; i < m_tab_buttons.size(); ++i)
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(m_tab_buttons[i]), static_cast<int>(i) == index);
    m_switching = false;
    m_page_index = index;
    build_page(static_cast<size_t>(index));
    gtk_stack_set_visible_child_name(GTK_STACK(m_stack), m_tabs[index].name);
}

// Puts the page's widgets in place of its empty stand-in.
void App::build_page(size_t index) {
    if (index >= m_page_built.size() || m_page_built[index]) return;
    m_page_built[index] = true;
    const TabDef& tab = m_tabs[index];
    if (GtkWidget* stand_in = gtk_stack_get_child_by_name(GTK_STACK(m_stack), tab.name))
        gtk_widget_destroy(stand_in);
    size_t first_drawing = m_ctx.live_drawings.size();
    GtkWidget* page = ui::build_page(*tab.page, m_ctx, G_CALLBACK(on_elevate_clicked), this,
                                     tab.recollect ? on_selector_changed : nullptr, this);
    for (size_t k = first_drawing; k < m_ctx.live_drawings.size(); ++k)
        m_ctx.live_drawings[k].page = static_cast<int>(index);
    gtk_stack_add_named(GTK_STACK(m_stack), page, tab.name);
    gtk_widget_show_all(page);
}

namespace {
const gint64 MESSAGE_HOLD_US = 5 * G_USEC_PER_SEC;
}

void App::set_status(const std::string& text) {
    if (!m_status) return;
    gtk_label_set_text(GTK_LABEL(m_status), text.c_str());
    m_message_time = g_get_monotonic_time();
}

void App::set_live_status(const std::string& text) {
    bool held = m_message_time != 0 && g_get_monotonic_time() - m_message_time < MESSAGE_HOLD_US;
    if (m_status && !held) gtk_label_set_text(GTK_LABEL(m_status), text.c_str());
}

// ---- Pages, selectors and the tick ---------------------------------------

void App::refresh() {
    fill_tabs(collect_pages(true), true);
    rebuild_pages();
}

void App::rebuild_pages() {
    if (!m_stack) return;
    // The live pairs point into pages and widgets that are about to go.
    m_ctx.live_rows.clear();
    m_ctx.live_stats.clear();
    m_ctx.live_drawings.clear();
    m_ctx.cpu_load = &m_load;
    m_ctx.show_sources = SettingsStore::instance().get().show_sources;
    m_ctx.palette = palette();

    GList* children = gtk_container_get_children(GTK_CONTAINER(m_stack));
    for (GList* c = children; c; c = c->next) gtk_widget_destroy(GTK_WIDGET(c->data));
    g_list_free(children);
    // A page's widgets are made when it is first shown: measuring every
    // page's labels for a window that shows one cost more than the rest of
    // the start.
    m_page_built.assign(m_tabs.size(), false);
    for (const TabDef& tab : m_tabs)
        gtk_stack_add_named(GTK_STACK(m_stack), gtk_box_new(GTK_ORIENTATION_VERTICAL, 0), tab.name);
    gtk_widget_show_all(m_stack);

    if (m_tabbar && m_box) {
        // The new bar takes the old one's place, below the menu bar.
        int position = 0;
        gtk_container_child_get(GTK_CONTAINER(m_box), m_tabbar, "position", &position, nullptr);
        gtk_widget_destroy(m_tabbar);
        m_tabbar = build_tabs();
        gtk_box_pack_start(GTK_BOX(m_box), m_tabbar, FALSE, FALSE, 0);
        gtk_box_reorder_child(GTK_BOX(m_box), m_tabbar, position);
        gtk_widget_show_all(m_tabbar);
    }
    int count = static_cast<int>(m_tabs.size());
    select_tab(m_page_index < 0 || m_page_index >= count ? 0 : m_page_index);
    const std::string machine = probe::machine_line();
    m_header.set_subtitle(m_cpu.headline.empty() ? machine : m_cpu.headline);
    set_live_status(machine);
}

void App::on_selector_changed(void* data, int value) {
    App* app = static_cast<App*>(data);
    int index = app->m_page_index;
    if (index < 0 || index >= static_cast<int>(app->m_tabs.size()) || !app->m_tabs[index].recollect) return;
    app->m_tabs[index].recollect(app, value);
    app->rebuild_pages();
}

namespace {
void set_label_text(GtkWidget* widget, const std::string& text) {
    if (!widget || !GTK_IS_LABEL(widget)) return;
    // Live values come from files too: repaired as the renderer repairs them.
    const std::string shown = util::display_text(text);
    // An unchanged text would still cost a relayout.
    if (shown != gtk_label_get_text(GTK_LABEL(widget))) gtk_label_set_text(GTK_LABEL(widget), shown.c_str());
}
}  // namespace

void App::tick() {
    m_load.sample();
    refresh_live_pages();
    for (auto& [row, label] : m_ctx.live_rows)
        set_label_text(label, row->cols.empty() ? row->value : row->cols.back());
    double total = m_load.total();
    m_header.push_load(total);
    std::string load_text = total < 0 ? "\u2026" : util::fmt_percent(100.0 * total, 0);
    for (auto& [stat, label] : m_ctx.live_stats)
        set_label_text(label, stat->live == "stat.load" ? load_text : stat->value);
    std::string status = probe::machine_line();
    if (total >= 0) status += std::string(FIGURE_JOINER) + tr("monitor.cpu") + " " + load_text;
    set_live_status(status);
    // Hidden pages are drawn afresh when shown.
    ui::queue_changed_drawings(m_ctx, m_page_index);
}

gboolean App::on_tick(gpointer app) {
    static_cast<App*>(app)->tick();
    return G_SOURCE_CONTINUE;
}

// ---- Saving the report from the window -----------------------------------

void App::action_save_report() {
    GtkWidget* dialog = gtk_file_chooser_dialog_new(
        tr("dialog.save_report"), GTK_WINDOW(m_window), GTK_FILE_CHOOSER_ACTION_SAVE, tr("dialog.cancel"),
        GTK_RESPONSE_CANCEL, tr("dialog.save"), GTK_RESPONSE_ACCEPT, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, TRUE);
    gtk_file_chooser_set_current_name(chooser, "cpu-info.txt");
    char* name = nullptr;
    if (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT)
        name = gtk_file_chooser_get_filename(chooser);
    if (name) save_report_to(name);
    g_free(name);
    gtk_widget_destroy(dialog);
}

bool App::save_report_to(const std::string& path) {
    bool ok = false;
    if (std::FILE* f = std::fopen(path.c_str(), "w")) {
        ok = write_all(f, report_text());
        ok = std::fclose(f) == 0 && ok;
    }
    set_status(I18n::instance().trf(ok ? "status.saved" : "status.save_failed", path.c_str()));
    return ok;
}

// ---- Theme and language ------------------------------------------------------

void App::apply_language(const std::string& code) { theme::apply_language(code); }

void App::probe_system_theme_hint() { m_startup_dark_hint = theme::probe_startup_dark_hint(); }

bool App::system_prefers_dark() { return theme::scheme_prefers_dark(m_portal_scheme, m_startup_dark_hint); }

namespace {
bool follows_desktop(const std::string& theme_setting) {
    return theme_setting != "dark" && theme_setting != "light";
}
}  // namespace

// The desktop's answer counts from when it comes; until then the toolkit's
// own hint stands in.
bool App::resolve_dark() {
    const std::string& setting = SettingsStore::instance().get().theme;
    if (!follows_desktop(setting)) return setting == "dark";
    return system_prefers_dark();
}

Palette App::palette() const { return Palette::from_settings(SettingsStore::instance().get(), m_dark); }

void App::apply_theme() {
    m_dark = resolve_dark();
    Palette p = palette();
    theme::load_style(&m_css, p);
    m_ctx.palette = p;
    m_header.set_palette(p);
    if (m_window) gtk_widget_queue_draw(m_window);
    ui::queue_changed_drawings(m_ctx, m_page_index);
}

void App::watch_system_theme() {
    if (!m_portal_cancel) m_portal_cancel = g_cancellable_new();
    theme::watch_portal_async(on_portal_setting_changed, on_portal_scheme, this, &m_portal_sub,
                              m_portal_cancel);
}

// The window's first frame should already be in the desktop's colours.
void App::wait_for_portal(gint64 deadline) {
    if (m_portal_answered || !follows_desktop(SettingsStore::instance().get().theme) ||
        !theme::session_bus_exists())
        return;
    gint64 left_ms = (deadline - g_get_monotonic_time()) / 1000;
    if (left_ms <= 0) return;
    bool timed_out = false;
    guint timer = g_timeout_add(
        static_cast<guint>(left_ms),
        [](gpointer flag) -> gboolean {
            *static_cast<bool*>(flag) = true;
            return G_SOURCE_REMOVE;
        },
        &timed_out);
    while (!m_portal_answered && !timed_out) g_main_context_iteration(nullptr, TRUE);
    if (!timed_out) g_source_remove(timer);
}

void App::on_portal_scheme(int scheme, gpointer data) {
    App* app = static_cast<App*>(data);
    app->m_portal_scheme = scheme;
    app->m_portal_answered = true;
    // A follow-up only where the window does not already show that darkness.
    if (app->resolve_dark() != app->m_dark) app->apply_theme();
}

void App::on_portal_setting_changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                                    GVariant* parameters, gpointer data) {
    if (theme::is_colour_scheme_change(parameters)) on_portal_scheme(theme::changed_scheme(parameters), data);
}

App::~App() {
    // Sources still pending would run with a freed App.
    if (m_notice_idle != 0) g_source_remove(m_notice_idle);
    if (m_timer != 0) g_source_remove(m_timer);
    if (m_clock_timer != 0) g_source_remove(m_clock_timer);
    if (m_portal_cancel) {
        g_cancellable_cancel(m_portal_cancel);
        g_object_unref(m_portal_cancel);
    }
    theme::unwatch_portal(m_portal_sub);
}

// ---- Elevation -------------------------------------------------------------

void App::on_elevate_clicked(GtkWidget*, gpointer app) { static_cast<App*>(app)->action_elevate(); }

namespace {

std::string bytes_text(GBytes* bytes) {
    if (!bytes) return {};
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    return data ? std::string(data, size) : std::string();
}

// The child's output is taken as bytes: the text variant of this call would
// throw away everything on one stray byte, while the parser keeps each valid
// field of the collector text.
void on_collector_done(GObject* source, GAsyncResult* result, gpointer app) {
    GSubprocess* child = G_SUBPROCESS(source);
    GBytes* out = nullptr;
    GBytes* err = nullptr;
    GError* error = nullptr;
    int exit_code = -1;
    std::string spawn_error;
    if (!g_subprocess_communicate_finish(child, result, &out, &err, &error)) {
        if (error && error->message) spawn_error = error->message;
    } else if (g_subprocess_get_if_exited(child)) {
        exit_code = g_subprocess_get_exit_status(child);
    }
    static_cast<App*>(app)->elevate_finished(exit_code, bytes_text(out), bytes_text(err), spawn_error);
    if (out) g_bytes_unref(out);
    if (err) g_bytes_unref(err);
    g_clear_error(&error);
    g_object_unref(child);
}

// The agent's full path, "-n" for sudo (it must fail rather than prompt on a
// terminal nobody sees), the own executable and the collector option; empty
// when neither agent is on the search path.
std::vector<std::string> collector_command(const std::string& self) {
    std::vector<std::string> argv;
    if (gchar* pkexec = g_find_program_in_path("pkexec")) {
        argv = {pkexec, self, "--root-collect"};
        g_free(pkexec);
    } else if (gchar* sudo = g_find_program_in_path("sudo")) {
        argv = {sudo, "-n", self, "--root-collect"};
        g_free(sudo);
    }
    return argv;
}

// The collector runs in the program the user started, which loads no
// toolkit; the window executable beside it would answer too.
std::string collector_program(const std::string& self) {
    const std::string window_suffix = "-window";
    if (!util::ends_with(self, window_suffix)) return self;
    std::string front = self.substr(0, self.size() - window_suffix.size());
    return access(front.c_str(), X_OK) == 0 ? front : self;
}

}  // namespace

void App::action_elevate() {
    if (m_elevating) return;
    // A confined package cannot gain rights through an agent at all.
    if (std::getenv("SNAP_NAME") || std::getenv("FLATPAK_ID")) {
        set_status(tr("status.elevate_unavailable"));
        elevate_error_dialog(tr("status.elevate_unavailable"), tr("msg.elevate_sandboxed"));
        return;
    }
    std::string self = util::read_link_full("/proc/self/exe");
    if (self.empty()) {
        set_status(tr("status.elevate_failed"));
        return;
    }
    std::vector<std::string> argv = collector_command(collector_program(self));
    if (argv.empty()) {
        set_status(tr("status.elevate_unavailable"));
        elevate_error_dialog(tr("status.elevate_unavailable"), "");
        return;
    }
    std::vector<const gchar*> c_argv;
    for (const std::string& a : argv) c_argv.push_back(a.c_str());
    c_argv.push_back(nullptr);
    GError* error = nullptr;
    auto flags = GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE);
    GSubprocess* child = g_subprocess_newv(c_argv.data(), flags, &error);
    if (!child) {
        std::string message = error && error->message ? error->message : "";
        g_clear_error(&error);
        elevate_finished(-1, "", "", message);
        return;
    }
    m_elevating = true;
    set_status(tr("status.elevating"));
    g_subprocess_communicate_async(child, nullptr, nullptr, on_collector_done, this);
}

void App::elevate_finished(int exit_code, const std::string& out, const std::string& err,
                           const std::string& spawn_error) {
    m_elevating = false;
    // The agent's answer when the user cancelled or the rights were refused.
    if (exit_code == 126) {
        set_status(tr("status.elevate_cancelled"));
        return;
    }
    if (exit_code == 0 && !out.empty() && hw::RootData::instance().parse(out)) {
        refresh();
        set_status(tr("status.elevated"));
        return;
    }
    std::string detail = util::trim(err);
    if (detail.empty()) detail = util::trim(spawn_error);
    std::string status = tr("status.elevate_failed");
    set_status(detail.empty() ? status : status + ": " + detail);
    // 127: no authentication agent could ask for the password.
    if (exit_code == 127)
        elevate_error_dialog(tr("msg.elevate_no_agent"), "");
    else
        elevate_error_dialog(status, detail);
}

void App::elevate_error_dialog(const std::string& text, const std::string& detail) {
    GtkWidget* dialog =
        gtk_message_dialog_new(m_window ? GTK_WINDOW(m_window) : nullptr,
                               GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                               GTK_MESSAGE_WARNING, GTK_BUTTONS_NONE, "%s", text.c_str());
    gtk_dialog_add_button(GTK_DIALOG(dialog), tr("dialog.close"), GTK_RESPONSE_CLOSE);
    if (!detail.empty())
        gtk_message_dialog_format_secondary_text(GTK_MESSAGE_DIALOG(dialog), "%s", detail.c_str());
    gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
}
