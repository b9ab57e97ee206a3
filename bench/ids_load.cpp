// Load time of the installed PCI and USB name databases: the one-time cost
// the first page that names a device pays.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include <unistd.h>

#include <filesystem>
#include <string>

#include "hw/ids.h"
#include "util.h"

namespace hw {
struct IdsTestAccess {
    static std::unique_ptr<Ids> load() { return std::unique_ptr<Ids>(new Ids()); }
};
}  // namespace hw

namespace {

constexpr int RUNS = 20;

void report(const char* what) {
    std::vector<double> ms;
    for (int i = 0; i < RUNS; ++i) {
        auto start = std::chrono::steady_clock::now();
        auto ids = hw::IdsTestAccess::load();
        // Each database is read at its first question.
        (void)ids->pci_device(0x8086, 0x1237);
        (void)ids->usb_device(0x1d6b, 0x0002);
        auto end = std::chrono::steady_clock::now();
        ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-22s %d runs: min %6.2f ms, median %6.2f ms, max %6.2f ms\n", what, RUNS, ms.front(),
                ms[ms.size() / 2], ms.back());
}

}  // namespace

int main() {
    const std::string pci = hw::Ids::instance().pci_ids_path();
    const std::string usb = hw::Ids::instance().usb_ids_path();
    if (pci.empty()) {
        std::puts("no pci.ids installed");
        return 1;
    }
    std::printf("pci.ids: %s\nusb.ids: %s\n", pci.c_str(), usb.empty() ? "(none)" : usb.c_str());
    report("pci.ids and usb.ids");

    // pci.ids alone: a root that holds nothing but a link to it.
    namespace fs = std::filesystem;
    std::string tmpl = (fs::temp_directory_path() / "zqbench-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) return 1;
    std::error_code ec;
    fs::create_directories(tmpl + "/usr/share/misc", ec);
    fs::create_symlink(fs::absolute(pci), tmpl + "/usr/share/misc/pci.ids", ec);
    util::set_root_prefix(tmpl);
    report("pci.ids alone");
    util::set_root_prefix("");
    fs::remove_all(tmpl, ec);
    return 0;
}
