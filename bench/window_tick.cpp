// CPU time of one tick and of one full refresh of the window on this
// machine, and the window's resident memory. Needs a display: run it under
// xvfb-run.
#include <gtk/gtk.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "app.h"
#include "util.h"

namespace {

double cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void settle() {
    while (gtk_events_pending()) gtk_main_iteration();
}

std::string resident() {
    for (const std::string& line : util::read_lines("/proc/self/status"))
        if (util::starts_with(line, "VmRSS:")) return util::trim(line.substr(6));
    return "?";
}

}  // namespace

int main(int argc, char** argv) {
    const int ticks = 200, refreshes = 10;
    App app;
    app.start_window(argc, argv);
    settle();
    app.tick();
    settle();

    double start = cpu_ms();
    for (int i = 0; i < ticks; ++i) app.tick();
    double tick_ms = (cpu_ms() - start) / ticks;
    settle();  // the redraws the ticks queued

    // Ticks a second apart as the timer makes them: nothing read in one tick
    // is still fresh in the next (the rapid ticks above share their reads).
    const int spaced = 12;
    double spaced_ms = 0;
    for (int i = 0; i < spaced; ++i) {
        g_usleep(600000);
        double t0 = cpu_ms();
        app.tick();
        spaced_ms += cpu_ms() - t0;
        settle();
    }
    spaced_ms /= spaced;
    // A tick as the window lives it: the values, then the paint it queued.
    const int painted_ticks = 50;
    start = cpu_ms();
    for (int i = 0; i < painted_ticks; ++i) {
        app.tick();
        settle();
    }
    double painted_ms = (cpu_ms() - start) / painted_ticks;

    start = cpu_ms();
    for (int i = 0; i < refreshes; ++i) app.refresh();
    double refresh_ms = (cpu_ms() - start) / refreshes;
    settle();

    std::printf("tabs: %zu, live labels: %zu\n", app.m_tabs.size(),
                app.m_ctx.live_rows.size() + app.m_ctx.live_stats.size());
    std::printf("tick: %.3f ms CPU (mean of %d)\n", tick_ms, ticks);
    std::printf("tick, 0.6 s apart: %.3f ms CPU (mean of %d)\n", spaced_ms, spaced);
    std::printf("tick with paint: %.3f ms CPU (mean of %d)\n", painted_ms, painted_ticks);
    std::printf("refresh: %.1f ms CPU (mean of %d)\n", refresh_ms, refreshes);
    std::printf("resident: %s\n", resident().c_str());
    return 0;
}
