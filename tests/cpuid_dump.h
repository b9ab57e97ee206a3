// Recorded CPUID answers of real processors (../shared/data/cpuid-x86) as a
// register source for the CPUID decoder.
#pragma once

#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "x86id.h"

namespace zqtest {

struct CpuidRecord {
    uint32_t mask = 0;  // bit 0: EAX identifies the query, bit 2: ECX does
    uint32_t in[4] = {};
    cpuid::Regs out;
};

// One puN file: "MASK EAX EBX ECX EDX => EAX EBX ECX EDX" in hexadecimal.
inline std::vector<CpuidRecord> load_cpuid_dump(const std::string& path) {
    std::vector<CpuidRecord> records;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        CpuidRecord r;
        std::string arrow;
        fields >> std::hex >> r.mask >> r.in[0] >> r.in[1] >> r.in[2] >> r.in[3] >> arrow >> r.out.eax >>
            r.out.ebx >> r.out.ecx >> r.out.edx;
        if (fields && arrow == "=>") records.push_back(r);
    }
    return records;
}

// The first record whose masked inputs match answers; none answers zeros.
inline cpuid::RawQuery cpuid_source(std::vector<CpuidRecord> records) {
    auto shared = std::make_shared<const std::vector<CpuidRecord>>(std::move(records));
    return [shared](uint32_t leaf, uint32_t subleaf) {
        const uint32_t query[4] = {leaf, 0, subleaf, 0};
        for (const CpuidRecord& r : *shared) {
            bool match = true;
            for (int i = 0; i < 4; ++i)
                if ((r.mask >> i & 1) && r.in[i] != query[i]) match = false;
            if (match) return r.out;
        }
        return cpuid::Regs{};
    };
}

// Directory of one recorded machine, empty when the shared data is absent.
inline std::string cpuid_machine(const std::string& name) { return shared_data("cpuid-x86/" + name); }

inline cpuid::RawQuery cpuid_source_of(const std::string& machine_dir, int pu) {
    return cpuid_source(load_cpuid_dump(machine_dir + "/pu" + std::to_string(pu)));
}

}  // namespace zqtest
