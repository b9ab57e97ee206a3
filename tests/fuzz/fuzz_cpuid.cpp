// CPUID decoding over register values that no real processor returns: the
// input is a table of leaves, and the decoded texts stay UTF-8.
#include <cstring>
#include <vector>

#include "support.h"
#include "x86id.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Each 24-byte record: leaf, subleaf, eax, ebx, ecx, edx.
    struct Record {
        uint32_t leaf, subleaf;
        cpuid::Regs regs;
    };
    std::vector<Record> table;
    for (size_t off = 0; off + 24 <= size && table.size() < 256; off += 24) {
        uint32_t w[6];
        std::memcpy(w, data + off, sizeof w);
        Record r{w[0], w[1], {}};
        r.regs.eax = w[2];
        r.regs.ebx = w[3];
        r.regs.ecx = w[4];
        r.regs.edx = w[5];
        table.push_back(r);
    }
    auto raw = [&](uint32_t leaf, uint32_t subleaf) {
        for (const Record& r : table)
            if (r.leaf == leaf && (r.subleaf == subleaf || r.subleaf == 0xFFFFFFFF)) return r.regs;
        return cpuid::Regs{};
    };
    const cpuid::Info info = cpuid::decode(raw);
    fuzz::require_utf8(info.vendor, "vendor");
    fuzz::require_utf8(info.brand, "brand");
    fuzz::require_utf8(info.hypervisor, "hypervisor");
    for (const cpuid::TlbEntry& t : cpuid::decode_tlbs(info, raw)) {
        fuzz::require(t.entries != 0, "TLB entries are never 0");
        fuzz::require_utf8(t.name, "TLB name");
    }
    return 0;
}
