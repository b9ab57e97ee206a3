// Times each page's first build in a fresh process, in the report's order,
// and the text report made from them: where a `--report` run spends its time
// after start-up. Run it a few times and read the medians.
#include <chrono>
#include <cstdio>

#include "cpu_sysfs.h"
#include "pages.h"
#include "probe.h"
#include "util.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <typename F>
void timed(const char* name, F f) {
    auto start = Clock::now();
    f();
    std::printf("%-8s %7.3f ms\n", name, ms_since(start));
}

}  // namespace

int main() {
    auto all = Clock::now();
    probe::Page page;
    cpusys::keep_files(true);
    util::keep_reads(true);
    timed("cpu", [&] { page = probe::collect_cpu(-1); });
    timed("topo", [&] { page = probe::collect_topology(-1); });
    timed("board", [&] { page = probe::collect_board(); });
    timed("memory", [&] { page = probe::collect_memory(-1); });
    timed("gpu", [&] { page = probe::has_gpu() ? probe::collect_gpu(-1) : probe::Page{}; });
    timed("disk", [&] { page = probe::has_disks() ? probe::collect_disk(-1) : probe::Page{}; });
    timed("pci", [&] { page = probe::has_pci() ? probe::collect_pci(-1) : probe::Page{}; });
    timed("usb", [&] { page = probe::has_usb() ? probe::collect_usb_page(-1) : probe::Page{}; });
    timed("net", [&] { page = probe::has_net() ? probe::collect_net(-1) : probe::Page{}; });
    util::keep_reads(false);
    cpusys::keep_files(false);
    PageSet pages;
    timed("report", [&] {
        pages.fill_tabs(pages.collect_pages(false), false);
        (void)pages.report_text();
    });
    std::printf("%-8s %7.3f ms\n", "all", ms_since(all));
    return 0;
}
