// CPU lists and masks as damaged sysfs files may hold them: no list is longer
// than the kernel's largest CPU count, and list_text writes what parses back.
#include <algorithm>

#include "cpu_sysfs.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text = fuzz::bytes(data, size);
    const std::vector<int> list = cpusys::parse_list(text);
    const std::vector<int> mask = cpusys::parse_mask(text);
    fuzz::require(list.size() <= cpusys::MAX_CPUS && mask.size() <= cpusys::MAX_CPUS,
                  "capped at the CPU count");
    for (int cpu : list) fuzz::require(cpu >= 0, "no negative CPU");
    std::vector<int> sorted = list;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    const std::string written = cpusys::list_text(list);
    fuzz::require(cpusys::parse_list(written) == sorted, "list text reads back");
    return 0;
}
