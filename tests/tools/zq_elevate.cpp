// Opens the window, asks for the protected data through the File menu as a
// user would, and prints what arrived, so that a test can run it as an
// ordinary user under a real agent. The agent starts this same program again
// with --root-collect: then it is the collector, as the real program is.
//
// Output lines: "dialog=TEXT|DETAIL" for each warning shown (answered at
// once), then "status=", "available=", "board_serial=", "product_serial=",
// "memory=" (modules) and "refreshed=" (1 when the pages were built anew).
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "app.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "util.h"

namespace {

gboolean answer_dialogs(gpointer) {
    GList* windows = gtk_window_list_toplevels();
    for (GList* w = windows; w; w = w->next) {
        if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
        gchar* text = nullptr;
        gchar* detail = nullptr;
        g_object_get(w->data, "text", &text, "secondary-text", &detail, nullptr);
        std::printf("dialog=%s|%s\n", text ? text : "", detail ? detail : "");
        g_free(text);
        g_free(detail);
        gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_CLOSE);
    }
    g_list_free(windows);
    return G_SOURCE_CONTINUE;
}

GtkWidget* elevate_item(GtkWidget* menubar) {
    GList* top = gtk_container_get_children(GTK_CONTAINER(menubar));
    GtkWidget* found = nullptr;
    GtkWidget* file = top ? gtk_menu_item_get_submenu(GTK_MENU_ITEM(top->data)) : nullptr;
    GList* items = file ? gtk_container_get_children(GTK_CONTAINER(file)) : nullptr;
    for (GList* i = items; i && !found; i = i->next)
        if (GTK_IS_MENU_ITEM(i->data) &&
            gtk_menu_item_get_label(GTK_MENU_ITEM(i->data)) == std::string(tr("menu.elevate")))
            found = GTK_WIDGET(i->data);
    g_list_free(items);
    g_list_free(top);
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    App app;
    if (argc > 1 && std::string(argv[1]) == "--root-collect") return app.run(argc, argv);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "zq_elevate: no display\n");
        return 2;
    }
    app.start_window(argc, argv);
    g_source_remove(app.m_timer);  // the tick would overwrite the status line
    app.m_timer = 0;
    GtkWidget* item = elevate_item(app.m_menubar);
    if (!item) {
        std::fprintf(stderr, "zq_elevate: no elevate menu item\n");
        return 2;
    }
    app.m_cpu.headline = "stale";
    g_timeout_add(20, answer_dialogs, nullptr);
    gtk_menu_item_activate(GTK_MENU_ITEM(item));
    while (app.m_elevating) g_main_context_iteration(nullptr, TRUE);
    while (gtk_events_pending()) gtk_main_iteration();

    const hw::RootData& data = hw::RootData::instance();
    std::printf("status=%s\n", gtk_label_get_text(GTK_LABEL(app.m_status)));
    std::printf("available=%d\n", data.available ? 1 : 0);
    std::printf("board_serial=%s\n", data.board_serial.c_str());
    std::printf("product_serial=%s\n", data.product_serial.c_str());
    std::printf("memory=%zu\n", data.memory.size());
    std::printf("refreshed=%d\n", app.m_cpu.headline != "stale" ? 1 : 0);
    gtk_widget_destroy(app.m_window);
    return 0;
}
