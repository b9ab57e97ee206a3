// Opens the main window and saves a PNG of every tab into the directory
// given as the argument (scripts/screenshots.sh runs it on a virtual display).
#include <gtk/gtk.h>

#include <cstdio>
#include <string>

#include "app.h"

namespace {

void settle(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        while (gtk_events_pending()) gtk_main_iteration();
        g_usleep(20000);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
        return 2;
    }
    std::string dir = argv[1];
    App app;
    app.start_window(1, argv);
    settle(30);
    app.tick();
    settle(10);
    app.tick();
    int failures = 0;
    for (size_t i = 0; i < app.m_tabs.size(); ++i) {
        app.select_tab(static_cast<int>(i));
        settle(15);
        GdkWindow* window = gtk_widget_get_window(app.m_window);
        GdkPixbuf* shot = gdk_pixbuf_get_from_window(window, 0, 0, gdk_window_get_width(window),
                                                     gdk_window_get_height(window));
        std::string file = dir + "/" + std::to_string(i) + "-" + app.m_tabs[i].name + ".png";
        if (!shot || !gdk_pixbuf_save(shot, file.c_str(), "png", nullptr, nullptr))
            ++failures;
        else
            std::printf("%s\n", file.c_str());
        if (shot) g_object_unref(shot);
    }
    return failures ? 1 : 0;
}
