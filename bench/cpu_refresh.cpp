// Time of one live refresh of the "cpu" page on this machine: as the first
// page of a tick (every clock file read) and as a later one in the same tick.
#include <glib.h>

#include <chrono>
#include <cstdio>
#include <ctime>

#include "cpu_sysfs.h"
#include "probe.h"

namespace {

template <typename F>
double micros_per_call(int rounds, F f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) f();
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / rounds;
}

}  // namespace

int main() {
    probe::Page page = probe::collect_cpu(-1);
    const int rounds = 2000;
    double fresh = micros_per_call(rounds, [&] {
        cpusys::forget_clocks();
        probe::refresh_live_cpu(page);
    });
    double same_tick = micros_per_call(rounds, [&] { probe::refresh_live_cpu(page); });
    // A second apart, as the timer calls it: nothing is left warm in the caches.
    double spaced = 0;
    const int spaced_rounds = 10;
    for (int i = 0; i < spaced_rounds; ++i) {
        g_usleep(600000);
        timespec a, b;
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
        probe::refresh_live_cpu(page);
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
        spaced += (b.tv_sec - a.tv_sec) * 1e6 + (b.tv_nsec - a.tv_nsec) / 1e3;
    }
    std::printf("refresh_live_cpu 0.6 s apart: %.1f us CPU per tick\n", spaced / spaced_rounds);
    std::printf("refresh_live_cpu: %.1f us per tick, %.1f us later in the same tick (%d calls, %zu cards)\n", fresh,
                same_tick, rounds, page.cards.size());
    return 0;
}
