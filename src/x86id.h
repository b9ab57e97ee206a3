// The processor's own description through the x86 CPUID instruction: one
// decoded record per process and the TLB list of the extended leaves.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cpuid {

// The four result registers of one CPUID execution.
struct Regs {
    uint32_t eax = 0;
    uint32_t ebx = 0;
    uint32_t ecx = 0;
    uint32_t edx = 0;
};

// Decoded facts; a field keeps its empty value when its leaf was not read.
struct Info {
    bool valid = false;  // CPUID is present and leaf 0 was read
    std::string vendor;  // leaf 0, not trimmed ("GenuineIntel", "AuthenticAMD")
    std::string brand;   // leaves 0x80000002..4, trimmed
    uint32_t max_leaf = 0;
    uint32_t max_ext_leaf = 0;  // 0 when the extended range is absent
    uint32_t family = 0;        // displayed family (extended family added for 0xF)
    uint32_t model = 0;         // displayed model (extended model added for 0x6 and 0xF)
    uint32_t stepping = 0;
    uint32_t base_family = 0;
    uint32_t base_model = 0;
    uint32_t base_mhz = 0;  // leaf 0x16
    uint32_t max_mhz = 0;
    uint32_t bus_mhz = 0;
    uint32_t phys_addr_bits = 0;  // leaf 0x80000008
    uint32_t virt_addr_bits = 0;
    uint32_t clflush_size = 0;  // bytes
    uint32_t initial_apic = 0;  // of the CPU that made the reading
    bool invariant_tsc = false;
    std::string hypervisor;             // leaf 0x40000000 signature, trimmed; empty when none
    uint32_t amd_threads_per_unit = 0;  // leaf 0x8000001E; 0 when not read
    uint32_t hybrid_core_type = 0;      // leaf 0x1A EAX bits 31..24; 0 when not read
};

// One translation look-aside buffer.
struct TlbEntry {
    std::string name;      // "L1 iTLB 2M/4M" ... "L2 dTLB 4K"
    uint32_t entries = 0;  // never 0 in a returned list
    uint32_t ways = 0;     // 0xFF: fully associative; 0: unknown associativity code
};

constexpr uint32_t FULLY_ASSOCIATIVE = 0xFF;

// The instruction itself, so that the decoding can be driven by recorded
// register values instead of the processor it runs on.
using RawQuery = std::function<Regs(uint32_t leaf, uint32_t subleaf)>;

// Executes CPUID on this processor, each leaf and sub-leaf once per process
// (zeros when there is no CPUID).
Regs execute(uint32_t leaf, uint32_t subleaf);

// Reads a leaf after checking that its range (basic below 0x80000000, else
// extended) reaches it; false, leaving `out` untouched, otherwise.
bool available();
bool query(uint32_t leaf, Regs& out);
bool query_sub(uint32_t leaf, uint32_t subleaf, Regs& out);

// The process-wide record, read on the first call and never refreshed.
const Info& info();
// The TLB list of this processor, computed at every call.
std::vector<TlbEntry> tlbs();

// The decoding behind info() and tlbs() over any register source.
Info decode(const RawQuery& raw);
std::vector<TlbEntry> decode_tlbs(const Info& info, const RawQuery& raw);

}  // namespace cpuid
