// CPU time of each part of a tick, without the toolkit, with ticks spaced
// as the timer spaces them: the load sample and each page's live refresh.
// Run it over a large generated tree (tests/ns_run.sh TREE build/bench_tick_parts)
// to see which part grows with the number of CPUs.
#include <glib.h>

#include <cstdio>
#include <ctime>

#include "load.h"
#include "pages.h"
#include "probe.h"

namespace {

double cpu_us() {
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

template <typename F>
void add_time(double& into, F f) {
    double t0 = cpu_us();
    f();
    into += cpu_us() - t0;
}

}  // namespace

int main() {
    PageSet pages;
    pages.fill_tabs(pages.collect_pages(false), false);
    load::CpuLoad load;
    load.sample();
    const int ticks = 10;
    double sample = 0, cpu = 0, topo = 0, memory = 0, disk = 0, net = 0, rest = 0;
    for (int i = 0; i < ticks; ++i) {
        g_usleep(600000);
        add_time(sample, [&] { load.sample(); });
        add_time(cpu, [&] { probe::refresh_live_cpu(pages.m_cpu); });
        add_time(topo, [&] { probe::refresh_live_topology(pages.m_topo); });
        add_time(memory, [&] { probe::refresh_live_memory(pages.m_ram); });
        add_time(disk, [&] { probe::refresh_live_disk(pages.m_disk); });
        add_time(net, [&] { probe::refresh_live_net(pages.m_net); });
        add_time(rest, [&] {
            probe::refresh_live_gpu(pages.m_gpu);
            probe::refresh_live_board(pages.m_board);
            probe::refresh_live_pci(pages.m_pci);
        });
    }
    std::printf("per tick, ms CPU (mean of %d, 0.6 s apart):\n", ticks);
    std::printf(
        "  load sample %.3f  cpu %.3f  topo %.3f  memory %.3f  disk %.3f  net %.3f  gpu+board+pci %.3f\n",
        sample / ticks / 1e3, cpu / ticks / 1e3, topo / ticks / 1e3, memory / ticks / 1e3, disk / ticks / 1e3,
        net / ticks / 1e3, rest / ticks / 1e3);
    return 0;
}
