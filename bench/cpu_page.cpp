// Time per "cpu" page build on this machine and on the largest fixture
// machine (the two-socket server), written into a temporary root.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "../tests/cpu_machines.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

double ms_per_build(int rounds) {
    probe::collect_cpu(-1);  // warm the CPUID record and the page cache
    auto start = std::chrono::steady_clock::now();
    size_t cards = 0;
    for (int i = 0; i < rounds; ++i) cards += probe::collect_cpu(-1).cards.size();
    std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
    if (cards == 0) std::printf("  (no cards built)\n");
    return spent.count() / rounds;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
    I18n::instance().set_language("en");

    std::printf("this machine:             %.3f ms per collect_cpu\n", ms_per_build(rounds));

    std::string tmpl = (std::filesystem::temp_directory_path() / "zq-bench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return 1;
    zqtest::machines::write_machine(tmpl, zqtest::machines::two_socket_server());
    util::set_root_prefix(tmpl);
    std::printf("two-socket server (32):   %.3f ms per collect_cpu\n", ms_per_build(rounds));
    util::set_root_prefix("");
    std::filesystem::remove_all(tmpl);
    return 0;
}
