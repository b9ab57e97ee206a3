// Time of one live refresh of the "cpu" page on this machine.
#include <chrono>
#include <cstdio>

#include "probe.h"

int main() {
    probe::Page page = probe::collect_cpu(-1);
    const int rounds = 2000;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) probe::refresh_live_cpu(page);
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("refresh_live_cpu: %.1f us per call (%d calls, %zu cards)\n", double(us) / rounds, rounds,
                page.cards.size());
    return 0;
}
