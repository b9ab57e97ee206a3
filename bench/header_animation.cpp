// What the header's animation costs: the CPU time of one frame drawn into an
// image surface at a few widths, and the share of one core that the whole
// window takes while it idles with the header running (the goal is less than
// 1 %). Needs a display: run it under xvfb-run.
//
//   bench_header_animation [SECONDS]
#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app.h"
#include "header.h"

namespace {

double cpu_ms() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

double frame_ms(int width, int frames) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, Header::HEIGHT);
    cairo_t* cr = cairo_create(surface);
    Header header;
    header.set_subtitle("AMD Ryzen 9 7950X 16-Core Processor");
    for (size_t i = 0; i < Header::HISTORY; ++i) header.push_load(0.3 + 0.4 * (i % 7) / 7.0);
    header.draw(cr, width, Header::HEIGHT, 1);  // the cached layers
    double start = cpu_ms();
    for (int i = 0; i < frames; ++i) {
        header.animate();
        header.draw(cr, width, Header::HEIGHT, 1);
    }
    cairo_surface_flush(surface);
    double ms = (cpu_ms() - start) / frames;
    cairo_destroy(cr);
    cairo_surface_destroy(surface);
    return ms;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    if (seconds < 1) seconds = 10;
    for (int width : {1000, 1600, 2560}) {
        double ms = frame_ms(width, 500);
        std::printf("frame at %d px: %.3f ms CPU, %.2f %% of a core at 25 frames a second\n", width, ms,
                    ms * 25 / 10.0);
    }

    App app;
    char name[] = "zorvantelquist";
    char* args[] = {name, nullptr};
    app.start_window(1, args);
    gint64 settle_until = g_get_monotonic_time() + 2 * G_USEC_PER_SEC;
    while (g_get_monotonic_time() < settle_until) g_main_context_iteration(nullptr, TRUE);

    double cpu_start = cpu_ms();
    gint64 wall_start = g_get_monotonic_time();
    gint64 end = wall_start + gint64(seconds) * G_USEC_PER_SEC;
    while (g_get_monotonic_time() < end) g_main_context_iteration(nullptr, TRUE);
    double wall_ms = (g_get_monotonic_time() - wall_start) / 1e3;
    double share = 100.0 * (cpu_ms() - cpu_start) / wall_ms;
    std::printf("idle window over %d s: %.2f %% of one core (header, tick and redraws)\n", seconds, share);

    app.m_header.set_paused(true);
    cpu_start = cpu_ms();
    wall_start = g_get_monotonic_time();
    end = wall_start + gint64(seconds) * G_USEC_PER_SEC;
    while (g_get_monotonic_time() < end) g_main_context_iteration(nullptr, TRUE);
    wall_ms = (g_get_monotonic_time() - wall_start) / 1e3;
    std::printf("the same with the header at rest: %.2f %% of one core\n",
                100.0 * (cpu_ms() - cpu_start) / wall_ms);
    return 0;
}
