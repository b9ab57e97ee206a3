#include "x86id.h"

#include "util.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace cpuid {

namespace {

constexpr uint32_t EXTENDED_RANGE = 0x80000000u;
constexpr uint32_t HYPERVISOR_LEAF = 0x40000000u;

uint32_t bits(uint32_t reg, int lo, int width) { return (reg >> lo) & ((1u << width) - 1u); }

// Register text is little-endian ASCII; zero bytes are padding that may sit
// anywhere in the brand leaves, so they are dropped rather than ending the text.
void append_regs(std::string& out, uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
    for (uint32_t reg : {a, b, c, d}) {
        for (int shift = 0; shift < 32; shift += 8) {
            char ch = static_cast<char>((reg >> shift) & 0xFF);
            if (ch != '\0') out += ch;
        }
    }
}

// The highest leaf of the requested leaf's range guards every read: beyond it
// Intel parts answer with the data of their highest basic leaf, not zeros.
bool query_with(const RawQuery& raw, uint32_t leaf, uint32_t subleaf, Regs& out) {
    uint32_t highest = raw(leaf & EXTENDED_RANGE, 0).eax;
    if (highest == 0 || highest < leaf) return false;
    out = raw(leaf, subleaf);
    return true;
}

// Returns the hypervisor bit of leaf 1 ECX.
bool decode_signature(const RawQuery& raw, Info& info) {
    Regs r;
    if (!query_with(raw, 1, 0, r)) return false;
    info.base_family = bits(r.eax, 8, 4);
    info.base_model = bits(r.eax, 4, 4);
    info.stepping = bits(r.eax, 0, 4);
    info.family = info.base_family;
    info.model = info.base_model;
    if (info.base_family == 0xF) info.family += bits(r.eax, 20, 8);
    if (info.base_family == 0xF || info.base_family == 0x6) info.model += bits(r.eax, 16, 4) << 4;
    info.clflush_size = bits(r.ebx, 8, 8) * 8;
    info.initial_apic = bits(r.ebx, 24, 8);
    return bits(r.ecx, 31, 1) != 0;
}

void decode_brand(const RawQuery& raw, Info& info) {
    if (info.max_ext_leaf < 0x80000004u) return;
    std::string text;
    for (uint32_t leaf = 0x80000002u; leaf <= 0x80000004u; ++leaf) {
        Regs r;
        if (query_with(raw, leaf, 0, r)) append_regs(text, r.eax, r.ebx, r.ecx, r.edx);
    }
    info.brand = util::valid_utf8(util::trim(text));
}

// Leaf 0x40000000 lies outside both ranges, so only the hypervisor bit of
// leaf 1 says whether it means anything.
void decode_hypervisor(const RawQuery& raw, Info& info) {
    Regs r = raw(HYPERVISOR_LEAF, 0);
    if (r.ebx == 0) return;
    std::string text;
    append_regs(text, r.ebx, r.ecx, r.edx, 0);
    info.hypervisor = util::valid_utf8(util::trim(text));
}

void decode_extended(const RawQuery& raw, Info& info) {
    Regs r;
    if (info.max_ext_leaf >= 0x80000008u && query_with(raw, 0x80000008u, 0, r)) {
        info.phys_addr_bits = bits(r.eax, 0, 8);
        info.virt_addr_bits = bits(r.eax, 8, 8);
    }
    if (info.max_ext_leaf >= 0x8000001Eu && query_with(raw, 0x8000001Eu, 0, r))
        info.amd_threads_per_unit = bits(r.ebx, 8, 8) + 1;
    if (info.max_ext_leaf >= 0x80000007u && query_with(raw, 0x80000007u, 0, r))
        info.invariant_tsc = bits(r.edx, 8, 1) != 0;
}

struct Field {
    uint32_t reg;
    int shift;
    const char* label;
};

// AMD's associativity encoding of the L2 TLB fields of leaf 0x80000006; a
// code for a span of ways ("6 to 7") gives its lower end. The reserved codes
// 7 and 9 and 0 (disabled) give 0.
uint32_t l2_ways(uint32_t code) {
    static constexpr uint32_t WAYS[16] = {0,  1, 2,  3,  4,  6,  8,   0,
                                          16, 0, 32, 48, 64, 96, 128, FULLY_ASSOCIATIVE};
    return WAYS[code & 0xF];
}

void append_l1(std::vector<TlbEntry>& out, const Regs& r) {
    const Field fields[4] = {{r.eax, 0, "L1 iTLB 2M/4M"},
                             {r.eax, 16, "L1 dTLB 2M/4M"},
                             {r.ebx, 0, "L1 iTLB 4K"},
                             {r.ebx, 16, "L1 dTLB 4K"}};
    for (const Field& f : fields) {
        uint32_t entries = bits(f.reg, f.shift, 8);
        if (entries != 0) out.push_back({f.label, entries, bits(f.reg, f.shift + 8, 8)});
    }
}

void append_l2(std::vector<TlbEntry>& out, const Regs& r) {
    const Field fields[4] = {{r.eax, 0, "L2 iTLB 2M/4M"},
                             {r.eax, 16, "L2 dTLB 2M/4M"},
                             {r.ebx, 0, "L2 iTLB 4K"},
                             {r.ebx, 16, "L2 dTLB 4K"}};
    for (const Field& f : fields) {
        uint32_t entries = bits(f.reg, f.shift, 12);
        if (entries != 0) out.push_back({f.label, entries, l2_ways(bits(f.reg, f.shift + 12, 4))});
    }
}

}  // namespace

namespace {

Regs execute_now(uint32_t leaf, uint32_t subleaf) {
    Regs r;
#if defined(__x86_64__) || defined(__i386__)
#if defined(__i386__)
    // Early 32-bit parts lack the instruction; this tests the EFLAGS ID bit.
    if (__get_cpuid_max(0, nullptr) == 0) return r;
#endif
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#else
    (void)leaf;
    (void)subleaf;
#endif
    return r;
}

struct Executed {
    uint32_t leaf;
    uint32_t subleaf;
    Regs regs;
};

}  // namespace

// Under a hypervisor every execution traps to it; a report asked for the
// range leaves alone fourteen times. Each leaf and sub-leaf is executed once
// per process, like the one record info() keeps.
Regs execute(uint32_t leaf, uint32_t subleaf) {
    static std::vector<Executed> executed;
    for (const Executed& e : executed)
        if (e.leaf == leaf && e.subleaf == subleaf) return e.regs;
    executed.push_back({leaf, subleaf, execute_now(leaf, subleaf)});
    return executed.back().regs;
}

bool available() { return execute(0, 0).eax != 0; }

bool query(uint32_t leaf, Regs& out) { return query_with(execute, leaf, 0, out); }

bool query_sub(uint32_t leaf, uint32_t subleaf, Regs& out) { return query_with(execute, leaf, subleaf, out); }

Info decode(const RawQuery& raw) {
    Info info;
    Regs r;
    if (raw(0, 0).eax == 0 || !query_with(raw, 0, 0, r)) return info;
    info.valid = true;
    info.max_leaf = r.eax;
    append_regs(info.vendor, r.ebx, r.edx, r.ecx, 0);
    info.vendor = util::valid_utf8(info.vendor);
    if (query_with(raw, EXTENDED_RANGE, 0, r)) info.max_ext_leaf = r.eax;
    bool under_hypervisor = decode_signature(raw, info);
    decode_brand(raw, info);
    if (info.max_leaf >= 0x16 && query_with(raw, 0x16, 0, r)) {
        info.base_mhz = bits(r.eax, 0, 16);
        info.max_mhz = bits(r.ebx, 0, 16);
        info.bus_mhz = bits(r.ecx, 0, 16);
    }
    decode_extended(raw, info);
    if (under_hypervisor) decode_hypervisor(raw, info);
    if (info.max_leaf >= 0x1A && query_with(raw, 0x1A, 0, r)) info.hybrid_core_type = bits(r.eax, 24, 8);
    return info;
}

const Info& info() {
    static Info record;
    static bool done = false;
    if (done) return record;
    // Set before reading so that the reading is made once whatever it finds.
    done = true;
    record = decode(execute);
    return record;
}

std::vector<TlbEntry> decode_tlbs(const Info& info, const RawQuery& raw) {
    std::vector<TlbEntry> out;
    if (!info.valid || info.max_ext_leaf <= 0x80000005u) return out;
    Regs r;
    if (query_with(raw, 0x80000005u, 0, r)) append_l1(out, r);
    if (query_with(raw, 0x80000006u, 0, r)) append_l2(out, r);
    return out;
}

std::vector<TlbEntry> tlbs() { return decode_tlbs(info(), execute); }

}  // namespace cpuid
