// Times a build of the "topo" page and one live refresh of its core tiles,
// on this machine or on a tree given as the first argument (an unpacked
// /sys and /proc snapshot).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "probe.h"
#include "util.h"

namespace {

template <typename F>
double micros_per_call(int rounds, F f) {
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < rounds; ++i) f();
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    return spent.count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) util::set_root_prefix(argv[1]);
    int rounds = argc > 2 ? std::atoi(argv[2]) : 50;
    if (rounds < 1) rounds = 1;
    probe::Page page = probe::collect_topology(-1);
    size_t tiles = 0;
    for (const auto& c : page.cards) tiles += c.cores.size();
    double build = micros_per_call(rounds, [] { probe::collect_topology(-1); });
    double tick = micros_per_call(rounds, [&] { probe::refresh_live_topology(page); });
    std::printf("cards %zu, tiles %zu: build %.0f us, refresh %.0f us\n", page.cards.size(), tiles, build, tick);
    return 0;
}
