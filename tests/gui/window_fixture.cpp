#include "window_fixture.h"

#include <cstdlib>

#include "hw/root_data.h"
#include "sensors.h"
#include "settings.h"

namespace zqtest {

void pump() {
    while (gtk_events_pending()) gtk_main_iteration();
}

void pump_for(int ms) {
    const gint64 until = g_get_monotonic_time() + ms * 1000;
    while (g_get_monotonic_time() < until) {
        pump();
        g_usleep(2000);
    }
}

void each_widget(GtkWidget* root, const std::function<void(GtkWidget*)>& fn) {
    fn(root);
    if (!GTK_IS_CONTAINER(root)) return;
    GList* kids = gtk_container_get_children(GTK_CONTAINER(root));
    for (GList* k = kids; k; k = k->next) each_widget(GTK_WIDGET(k->data), fn);
    g_list_free(kids);
}

bool shows_text(GtkWidget* root, const std::string& text) {
    bool found = false;
    each_widget(root, [&](GtkWidget* w) {
        found = found || (GTK_IS_LABEL(w) && text == gtk_label_get_text(GTK_LABEL(w)));
    });
    return found;
}

std::string label_text(GtkWidget* widget) {
    return GTK_IS_LABEL(widget) ? gtk_label_get_text(GTK_LABEL(widget)) : "";
}

int tab_index(const App& app, const std::string& name) {
    for (size_t i = 0; i < app.m_tabs.size(); ++i)
        if (name == app.m_tabs[i].name) return static_cast<int>(i);
    return -1;
}

namespace {

void forget_state() {
    SettingsStore::instance().mutable_get() = Settings();
    hw::RootData::instance() = hw::RootData{};
    sensors::forget_kept();
}

}  // namespace

void WindowTest::SetUp() {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    saved_xdg_ = xdg ? std::optional<std::string>(xdg) : std::nullopt;
    setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
    forget_state();
}

App& open_window(std::unique_ptr<App>& app, bool own_tick) {
    app = std::make_unique<App>();
    char name[] = "zorvantelquist";
    char* argv[] = {name, nullptr};
    app->start_window(1, argv);
    if (!own_tick && app->m_timer != 0) {
        g_source_remove(app->m_timer);
        app->m_timer = 0;
    }
    pump();
    return *app;
}

void close_window(std::unique_ptr<App>& app) {
    if (!app) return;
    if (app->m_window) gtk_widget_destroy(app->m_window);
    pump();
    app.reset();
}

void WindowTest::TearDown() {
    close_window(app_);
    saved_xdg_ ? setenv("XDG_CONFIG_HOME", saved_xdg_->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
    forget_state();
}

App& WindowTest::start() { return open_window(app_); }

}  // namespace zqtest
