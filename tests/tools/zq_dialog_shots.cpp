// Saves PNGs of the window's header and of every dialog (settings, colours,
// licences, About, the snap permission notice) in one language, for looking
// at them. Run on a virtual display:
//
//   xvfb-run -a -s "-screen 0 1600x1000x24" build/tests/zq_dialog_shots DIR [LANGUAGE]
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app.h"
#include "settings.h"

namespace {

std::string g_dir;
std::string g_name;
int g_failures = 0;

void settle(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        while (gtk_events_pending()) gtk_main_iteration();
        g_usleep(20000);
    }
}

void save(GdkWindow* window, int x, int y, int w, int h, const std::string& name) {
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(window, x, y, w, h);
    std::string file = g_dir + "/" + name + ".png";
    if (!shot || !gdk_pixbuf_save(shot, file.c_str(), "png", nullptr, nullptr))
        ++g_failures;
    else
        std::printf("%s\n", file.c_str());
    if (shot) g_object_unref(shot);
}

// Photographs the newest dialog and closes it.
gboolean shoot_dialog(gpointer) {
    GList* all = gtk_window_list_toplevels();
    GtkWidget* dialog = nullptr;
    for (GList* w = all; w; w = w->next)
        if (GTK_IS_DIALOG(w->data) && gtk_widget_get_mapped(GTK_WIDGET(w->data)) &&
            !g_object_get_data(G_OBJECT(w->data), "shot"))
            dialog = GTK_WIDGET(w->data);
    g_list_free(all);
    if (!dialog) return G_SOURCE_CONTINUE;
    g_object_set_data(G_OBJECT(dialog), "shot", GINT_TO_POINTER(1));
    settle(10);
    GdkWindow* window = gtk_widget_get_window(dialog);
    save(window, 0, 0, gdk_window_get_width(window), gdk_window_get_height(window), g_name);
    gtk_dialog_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
    return G_SOURCE_REMOVE;
}

void shoot(const std::string& name, void (*open)(App&), App& app) {
    g_name = name;
    g_timeout_add(100, shoot_dialog, nullptr);
    open(app);
    settle(5);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY [LANGUAGE]\n", argv[0]);
        return 2;
    }
    g_dir = argv[1];
    std::string lang = argc > 2 ? argv[2] : "en";
    App app;
    app.start_window(1, argv);
    app.apply_language(lang);
    app.refresh();
    app.rebuild_menubar();
    for (int i = 0; i < 5; ++i) {
        app.tick();
        settle(10);
    }
    GdkWindow* main_window = gtk_widget_get_window(app.m_window);
    GtkAllocation header;
    gtk_widget_get_allocation(app.m_header.m_area, &header);
    save(main_window, 0, 0, gdk_window_get_width(main_window), header.y + header.height + 60,
         lang + "-header");

    shoot(
        lang + "-settings", [](App& a) { a.action_settings(); }, app);
    shoot(
        lang + "-colors", [](App& a) { a.action_colors(); }, app);
    shoot(
        lang + "-licenses", [](App& a) { a.action_licenses(GTK_WINDOW(a.m_window)); }, app);
    shoot(
        lang + "-about", [](App& a) { a.action_about(); }, app);
    setenv("SNAP_NAME", "zorvantelquist", 1);
    shoot(
        lang + "-permissions", [](App& a) { a.show_permission_notice(false); }, app);
    return g_failures ? 1 : 0;
}
