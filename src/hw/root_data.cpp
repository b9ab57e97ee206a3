#include "hw/root_data.h"

namespace hw {

RootData& RootData::instance() {
    static RootData data;
    return data;
}

void RootData::collect_as_root() {}
std::string RootData::serialize() const { return {}; }
bool RootData::parse(const std::string&) { return false; }
void decode_nvme_health(const NvmeLogPage&, NvmeHealth&) {}
void read_smbios_memory(const std::string&, RootData&) {}

}  // namespace hw
