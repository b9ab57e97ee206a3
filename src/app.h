// The application shell: the main window with its menus, tab bar and status
// line, page refresh and the one-second tick, over the pages of its PageSet.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

#include "cards.h"
#include "header.h"
#include "load.h"
#include "pages.h"
#include "probe.h"

class App : public PageSet {
public:
    App();
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    int run(int argc, char** argv);
    // The window start-up up to, not including, the main loop.
    void start_window(int argc, char** argv);

    // ---- Saving the report
    void action_save_report();
    // Writes the report to a file chosen in the window; the outcome goes to
    // the status line.
    bool save_report_to(const std::string& path);

    // ---- Window start-up and geometry
    void apply_geometry();
    bool position_on_screen(int x, int y, int w, int h) const;
    void remember_geometry();
    static bool running_on_wayland();

    // ---- Main window, menus, tab bar
    void build_window();
    GtkWidget* build_menubar();
    void rebuild_menubar();
    GtkWidget* build_tabs();
    void select_tab(int index);
    // An action's outcome ("Could not write …"): it stands for at least five
    // seconds, however often the tick writes in between.
    void set_status(const std::string& text);
    // The tick's and a rebuild's text, held back while an action's stands.
    void set_live_status(const std::string& text);
    // The embedded icon at size by size pixels (below 1: its own size); a new
    // reference, null when it does not decode.
    static GdkPixbuf* app_icon(int size);
    // The tab of a stored start view, 0 when that tab is not there.
    int start_tab_index() const;

    // ---- Pages, selectors and the tick
    void refresh();
    void rebuild_pages();
    void build_page(size_t index);
    static void on_selector_changed(void* app, int value);
    void tick();
    static gboolean on_tick(gpointer app);

    // ---- Theme and language
    void apply_language(const std::string& code);
    void apply_theme();
    void probe_system_theme_hint();
    void watch_system_theme();
    // Runs the main loop until the portal has answered or `deadline`
    // (monotonic) has passed; without a session bus it returns at once.
    void wait_for_portal(gint64 deadline);
    bool resolve_dark();
    bool system_prefers_dark();
    Palette palette() const;
    static void on_portal_scheme(int scheme, gpointer app);
    static void on_portal_setting_changed(GDBusConnection* connection, const gchar* sender,
                                          const gchar* object_path, const gchar* interface,
                                          const gchar* signal, GVariant* parameters, gpointer app);

    // ---- Dialogs (src/dialogs.cpp)
    void action_settings();
    void action_colors();
    void action_licenses(GtkWindow* parent);
    // Inside a snap: the interfaces it lacks and the command that grants them.
    void show_permission_notice(bool only_if_missing);
    void action_about();

    // ---- Elevation
    static void on_elevate_clicked(GtkWidget* button, gpointer app);
    void action_elevate();
    // The outcome of a collector run; exit_code is -1 when the child could not
    // be started or did not exit normally.
    void elevate_finished(int exit_code, const std::string& out, const std::string& err,
                          const std::string& spawn_error);
    void elevate_error_dialog(const std::string& text, const std::string& detail);

    // Window events.
    static gboolean on_delete(GtkWidget* widget, GdkEvent* event, gpointer app);
    static gboolean on_window_state(GtkWidget* widget, GdkEventWindowState* event, gpointer app);
    static gboolean on_key_press(GtkWidget* widget, GdkEventKey* event, gpointer app);

    // The shell's state. Public: the dialogs and the window tests work on it.
    GtkWidget* m_window = nullptr;
    GtkWidget* m_stack = nullptr;
    GtkWidget* m_tabbar = nullptr;
    GtkWidget* m_status = nullptr;
    GtkWidget* m_menubar = nullptr;
    GtkWidget* m_box = nullptr;
    GtkCssProvider* m_css = nullptr;
    Header m_header;
    std::vector<GtkWidget*> m_tab_buttons;
    bool m_switching = false;
    ui::Context m_ctx;
    load::CpuLoad m_load;
    int m_page_index = 0;
    std::vector<bool> m_page_built;  // per tab: its widgets are made
    guint m_timer = 0;
    guint m_clock_timer = 0;  // renews the crash report's clock once a minute
    guint m_notice_idle = 0;  // the start-up permission notice, until it runs
    guint m_portal_sub = 0;
    GCancellable* m_portal_cancel = nullptr;
    // The portal's colour-scheme value; -1 until it answers, or without one.
    int m_portal_scheme = -1;
    bool m_portal_answered = false;
    bool m_dark = false;
    bool m_startup_dark_hint = false;
    bool m_maximized = false;
    bool m_elevating = false;
    // When the status line took an action's message (monotonic); 0: never.
    gint64 m_message_time = 0;

private:
    int run_window(int argc, char** argv);
    void restore_position();
};
