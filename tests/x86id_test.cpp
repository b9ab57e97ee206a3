// CPUID decoding against recorded register dumps of real processors, against
// hand-made register sets for the corner cases, and on this machine.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "cpuid_dump.h"
#include "util.h"
#include "x86id.h"

namespace {

using cpuid::Regs;

// "GenuineIntel" and friends as the three registers of leaf 0 (EBX, EDX, ECX).
uint32_t text_reg(const char* four) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(four[i]);
    return v;
}

// A hand-made processor: answers the leaves it holds and, like Intel parts,
// answers a leaf beyond its basic range with its highest basic leaf.
struct FakeCpu {
    std::map<uint32_t, Regs> leaves;
    std::vector<uint32_t> asked;

    explicit FakeCpu(uint32_t max_leaf, uint32_t max_ext = 0) {
        leaves[0] = {max_leaf, text_reg("Genu"), text_reg("ntel"), text_reg("ineI")};
        if (max_ext) leaves[0x80000000u] = {max_ext, 0, 0, 0};
    }
    cpuid::RawQuery source() {
        return [this](uint32_t leaf, uint32_t) {
            asked.push_back(leaf);
            auto it = leaves.find(leaf);
            if (it != leaves.end()) return it->second;
            uint32_t max_leaf = leaves[0].eax;
            bool outside = leaf >= 0x80000000u ? leaf > leaves[0x80000000u].eax : leaf > max_leaf;
            return outside ? leaves[max_leaf] : Regs{};
        };
    }
    bool was_asked(uint32_t leaf) const { return std::count(asked.begin(), asked.end(), leaf) > 0; }
};

std::string xml_info(const std::string& machine_dir, const std::string& name) {
    std::string xml = zqtest::slurp(machine_dir + ".xml");
    std::string key = "info name=\"" + name + "\" value=\"";
    size_t at = xml.find(key);
    if (at == std::string::npos) return {};
    at += key.size();
    return xml.substr(at, xml.find('"', at) - at);
}

const char* const MACHINES[] = {
    "AMD-K8-SledgeHammer-2xOpteron-250",
    "AMD-K10-MagnyCours-2xOpteron-6164HE",
    "AMD-15h-Bulldozer-4xOpteron-6272",
    "AMD-17h-Zen-2xEpyc-7451",
    "AMD-19h-Zen3-2xEpyc-7763",
    "AMD-1Ah-Zen5StrixPoint-RyzenAI9HX370",
    "Intel-Core-2xXeon-E5345",
    "Intel-Nehalem-2xXeon-X5550",
    "Intel-SandyBridge-2xXeon-E5-2650",
    "Intel-Skylake-2xXeon6140",
    "Intel-SapphireRapids-2xXeonMax9460",
    "Intel-RaptorLake-Corei7-1370P",
    "Intel-ArrowLake-CoreUltra5-225U",
    "Zhaoxin-CentaurHauls-ZXD-4600",
};

#define REQUIRE_MACHINE(var, name)                 \
    std::string var = zqtest::cpuid_machine(name); \
    if (var.empty()) GTEST_SKIP() << "shared CPUID dumps absent: " << name;

TEST(CpuidRecorded, IdentityMatchesWhatTheRecorderFound) {
    if (zqtest::cpuid_machine("README.md").empty()) GTEST_SKIP() << "shared CPUID dumps absent";
    for (const char* name : MACHINES) {
        SCOPED_TRACE(name);
        std::string dir = zqtest::cpuid_machine(name);
        ASSERT_FALSE(dir.empty());
        cpuid::Info info = cpuid::decode(zqtest::cpuid_source_of(dir, 0));
        EXPECT_TRUE(info.valid);
        EXPECT_EQ(info.vendor, xml_info(dir, "CPUVendor"));
        EXPECT_EQ(info.brand, util::trim(xml_info(dir, "CPUModel")));
        EXPECT_EQ(std::to_string(info.family), xml_info(dir, "CPUFamilyNumber"));
        EXPECT_EQ(std::to_string(info.model), xml_info(dir, "CPUModelNumber"));
        EXPECT_EQ(std::to_string(info.stepping), xml_info(dir, "CPUStepping"));
        EXPECT_NE(info.max_ext_leaf, 0u);
        EXPECT_TRUE(info.hypervisor.empty());
    }
}

TEST(CpuidRecorded, LeavesOutsideTheReportedRangeAreNotRead) {
    REQUIRE_MACHINE(k8, "AMD-K8-SledgeHammer-2xOpteron-250");
    std::vector<uint32_t> asked;
    auto dump = zqtest::cpuid_source_of(k8, 0);
    cpuid::Info info = cpuid::decode([&](uint32_t leaf, uint32_t sub) {
        asked.push_back(leaf);
        return dump(leaf, sub);
    });
    EXPECT_EQ(info.max_leaf, 1u);
    EXPECT_EQ(info.family, 0xFu);
    EXPECT_EQ(info.model, 5u);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 0x16u), 0);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 0x1Au), 0);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 0x8000001Eu), 0);
    EXPECT_EQ(std::count(asked.begin(), asked.end(), 0x40000000u), 0);
    EXPECT_EQ(info.phys_addr_bits, 40u);
    EXPECT_EQ(info.virt_addr_bits, 48u);
    EXPECT_FALSE(info.invariant_tsc);
}

TEST(CpuidRecorded, FrequencyAddressAndUnitLeaves) {
    REQUIRE_MACHINE(raptor, "Intel-RaptorLake-Corei7-1370P");
    cpuid::Info rl = cpuid::decode(zqtest::cpuid_source_of(raptor, 0));
    EXPECT_EQ(rl.base_mhz, 2200u);
    EXPECT_EQ(rl.max_mhz, 5200u);
    EXPECT_EQ(rl.bus_mhz, 100u);
    EXPECT_TRUE(rl.invariant_tsc);
    EXPECT_EQ(rl.clflush_size, 64u);
    EXPECT_EQ(rl.amd_threads_per_unit, 0u);  // extended range ends at 0x80000008

    REQUIRE_MACHINE(spr, "Intel-SapphireRapids-2xXeonMax9460");
    cpuid::Info sp = cpuid::decode(zqtest::cpuid_source_of(spr, 0));
    EXPECT_EQ(sp.phys_addr_bits, 52u);
    EXPECT_EQ(sp.virt_addr_bits, 57u);

    REQUIRE_MACHINE(bd, "AMD-15h-Bulldozer-4xOpteron-6272");
    EXPECT_EQ(cpuid::decode(zqtest::cpuid_source_of(bd, 0)).amd_threads_per_unit, 2u);
    REQUIRE_MACHINE(zen3, "AMD-19h-Zen3-2xEpyc-7763");
    cpuid::Info z3 = cpuid::decode(zqtest::cpuid_source_of(zen3, 0));
    EXPECT_EQ(z3.amd_threads_per_unit, 1u);
    EXPECT_EQ(z3.base_mhz, 0u);  // AMD parts have no leaf 0x16

    REQUIRE_MACHINE(core2, "Intel-Core-2xXeon-E5345");
    EXPECT_FALSE(cpuid::decode(zqtest::cpuid_source_of(core2, 0)).invariant_tsc);
}

TEST(CpuidRecorded, PerThreadHybridTypeAndApicId) {
    struct Case {
        const char* machine;
        int threads, performance, efficient;
    };
    for (const Case& c :
         {Case{"Intel-RaptorLake-Corei7-1370P", 20, 12, 8},
          Case{"Intel-ArrowLake-CoreUltra5-225U", 14, 4, 10}, Case{"Intel-Skylake-2xXeon6140", 72, 0, 0}}) {
        SCOPED_TRACE(c.machine);
        REQUIRE_MACHINE(dir, c.machine);
        int performance = 0, efficient = 0;
        std::set<uint32_t> apic_ids;
        for (int pu = 0; pu < c.threads; ++pu) {
            cpuid::Info info = cpuid::decode(zqtest::cpuid_source_of(dir, pu));
            performance += info.hybrid_core_type == 0x40;
            efficient += info.hybrid_core_type == 0x20;
            apic_ids.insert(info.initial_apic);
        }
        EXPECT_EQ(performance, c.performance);
        EXPECT_EQ(efficient, c.efficient);
        EXPECT_EQ(apic_ids.size(), static_cast<size_t>(c.threads));
    }
}

// "name entries ways" per entry, so that a mismatch shows which TLB differs.
std::vector<std::string> described(const std::vector<cpuid::TlbEntry>& list) {
    std::vector<std::string> out;
    for (const cpuid::TlbEntry& t : list)
        out.push_back(t.name + " " + std::to_string(t.entries) + " " + std::to_string(t.ways));
    return out;
}

std::vector<cpuid::TlbEntry> recorded_tlbs(const std::string& dir) {
    auto raw = zqtest::cpuid_source_of(dir, 0);
    return cpuid::decode_tlbs(cpuid::decode(raw), raw);
}

TEST(CpuidRecorded, TlbLists) {
    REQUIRE_MACHINE(bd, "AMD-15h-Bulldozer-4xOpteron-6272");
    std::vector<cpuid::TlbEntry> expected = {
        {"L1 iTLB 2M/4M", 24, 0xFF}, {"L1 dTLB 2M/4M", 32, 0xFF}, {"L1 iTLB 4K", 48, 0xFF},
        {"L1 dTLB 4K", 32, 0xFF},    {"L2 dTLB 2M/4M", 1024, 8},  {"L2 iTLB 4K", 512, 4},
        {"L2 dTLB 4K", 1024, 8},
    };
    EXPECT_EQ(described(recorded_tlbs(bd)), described(expected));

    REQUIRE_MACHINE(zen5, "AMD-1Ah-Zen5StrixPoint-RyzenAI9HX370");
    std::vector<cpuid::TlbEntry> zen5_expected = {
        {"L1 iTLB 2M/4M", 64, 0xFF}, {"L1 dTLB 2M/4M", 96, 0xFF}, {"L1 iTLB 4K", 64, 0xFF},
        {"L1 dTLB 4K", 96, 0xFF},    {"L2 iTLB 2M/4M", 64, 2},    {"L2 dTLB 2M/4M", 128, 4},
        {"L2 iTLB 4K", 64, 4},       {"L2 dTLB 4K", 128, 8},
    };
    EXPECT_EQ(described(recorded_tlbs(zen5)), described(zen5_expected));

    // Intel parts leave these AMD leaves zero in EAX and EBX.
    REQUIRE_MACHINE(skl, "Intel-Skylake-2xXeon6140");
    EXPECT_TRUE(recorded_tlbs(skl).empty());
}

TEST(CpuidDecode, FamilyAndModelExtensions) {
    struct Case {
        uint32_t eax, family, model, stepping;
    };
    for (const Case& c : {Case{0x00A20F12, 0x19, 0x21, 2}, Case{0x000906A3, 0x6, 0x9A, 3},
                          Case{0x0FF30543, 0x5, 0x4, 3}, Case{0x00000F5A, 0xF, 0x5, 0xA}}) {
        SCOPED_TRACE(c.eax);
        FakeCpu cpu(1);
        cpu.leaves[1] = {c.eax, 0, 0, 0};
        cpuid::Info info = cpuid::decode(cpu.source());
        EXPECT_EQ(info.family, c.family);
        EXPECT_EQ(info.model, c.model);
        EXPECT_EQ(info.stepping, c.stepping);
    }
}

TEST(CpuidDecode, NoCpuidLeavesRecordEmpty) {
    cpuid::RawQuery zeros = [](uint32_t, uint32_t) { return Regs{}; };
    cpuid::Info info = cpuid::decode(zeros);
    EXPECT_FALSE(info.valid);
    EXPECT_TRUE(info.vendor.empty());
    EXPECT_TRUE(cpuid::decode_tlbs(info, zeros).empty());
}

TEST(CpuidDecode, BrandDropsZeroBytesAndTrimsButVendorIsKept) {
    FakeCpu cpu(1, 0x80000004u);
    cpu.leaves[0] = {1, text_reg("Odd "), text_reg("dor "), text_reg("Ve\0n")};
    cpu.leaves[0x80000002u] = {text_reg("  Fa"), text_reg("st\0 "), 0, text_reg("Chip")};
    cpu.leaves[0x80000003u] = {text_reg(" 9\0\0"), 0, 0, 0};
    cpu.leaves[0x80000004u] = {text_reg("  \0\0"), 0, 0, 0};
    cpuid::Info info = cpuid::decode(cpu.source());
    EXPECT_EQ(info.vendor, "Odd Vendor ");
    EXPECT_EQ(info.brand, "Fast Chip 9");
}

TEST(CpuidDecode, OutOfRangeAnswersAreIgnored) {
    // Leaf 0x1A and 0x16 beyond the basic range answer with leaf 0xB's data.
    FakeCpu cpu(0xB, 0x80000007u);
    cpu.leaves[0xB] = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    cpu.leaves[0x80000007u] = {0, 0, 0, 1u << 8};
    cpu.leaves[0x80000008u] = {0x3030, 0, 0, 0};
    cpuid::Info info = cpuid::decode(cpu.source());
    EXPECT_EQ(info.hybrid_core_type, 0u);
    EXPECT_EQ(info.base_mhz, 0u);
    EXPECT_TRUE(info.invariant_tsc);
    EXPECT_EQ(info.phys_addr_bits, 0u);
    EXPECT_FALSE(cpu.was_asked(0x80000008u));
}

TEST(CpuidDecode, HypervisorSignatureOnlyWhenLeafOneSaysSo) {
    const Regs kvm = {0x40000001, text_reg("KVMK"), text_reg("VMKV"), text_reg("M\0\0\0")};
    FakeCpu guest(1);
    guest.leaves[1] = {0x00A20F12, 0, 1u << 31, 0};
    guest.leaves[0x40000000u] = kvm;
    EXPECT_EQ(cpuid::decode(guest.source()).hypervisor, "KVMKVMKVM");

    guest.leaves[0x40000000u] = {0x40000001, 0, text_reg("abcd"), 0};
    EXPECT_EQ(cpuid::decode(guest.source()).hypervisor, "");

    // Bare metal: leaf 0x40000000 may still answer (out-of-range data).
    FakeCpu bare(1);
    bare.leaves[0x40000000u] = kvm;
    EXPECT_EQ(cpuid::decode(bare.source()).hypervisor, "");
    EXPECT_FALSE(bare.was_asked(0x40000000u));
}

TEST(CpuidTlbs, ExtendedRangeAndAssociativityCodes) {
    FakeCpu exact(1, 0x80000005u);
    exact.leaves[0x80000005u] = {0xFF40FF40, 0xFF40FF40, 0, 0};
    EXPECT_TRUE(cpuid::decode_tlbs(cpuid::decode(exact.source()), exact.source()).empty());

    FakeCpu cpu(1, 0x80000006u);
    cpu.leaves[0x80000005u] = {0x00000000, 0x0440FF40, 0, 0};
    // L2 codes: 6 = 8 ways, 0xF = fully associative, 3 = 3 ways, 0 disabled.
    cpu.leaves[0x80000006u] = {0xF0106200, 0x30040010, 0, 0};
    std::vector<cpuid::TlbEntry> expected = {
        {"L1 iTLB 4K", 0x40, 0xFF},     {"L1 dTLB 4K", 0x40, 4},  {"L2 iTLB 2M/4M", 0x200, 8},
        {"L2 dTLB 2M/4M", 0x010, 0xFF}, {"L2 iTLB 4K", 0x010, 0}, {"L2 dTLB 4K", 0x004, 3},
    };
    EXPECT_EQ(described(cpuid::decode_tlbs(cpuid::decode(cpu.source()), cpu.source())), described(expected));

    // Every code of the published encoding; spans of ways give their lower end.
    const uint32_t ways[16] = {0, 1, 2, 3, 4, 6, 8, 0, 16, 0, 32, 48, 64, 96, 128, 0xFF};
    for (uint32_t code = 0; code < 16; ++code) {
        cpu.leaves[0x80000006u] = {0, (code << 28) | (1u << 16), 0, 0};
        std::vector<cpuid::TlbEntry> l2 = cpuid::decode_tlbs(cpuid::decode(cpu.source()), cpu.source());
        ASSERT_FALSE(l2.empty());
        EXPECT_EQ(l2.back().name, "L2 dTLB 4K");
        EXPECT_EQ(l2.back().ways, ways[code]) << "code " << code;
    }
}

// Whatever the registers hold, the record and the list stay within what the
// register widths allow.
TEST(CpuidDecode, ArbitraryRegistersStayBounded) {
    std::mt19937 rng(5);
    auto reg = [&rng] { return static_cast<uint32_t>(rng()); };
    for (int round = 0; round < 2000; ++round) {
        std::map<uint32_t, Regs> answers;
        cpuid::RawQuery raw = [&](uint32_t leaf, uint32_t) {
            auto it = answers.find(leaf);
            if (it == answers.end()) it = answers.emplace(leaf, Regs{reg(), reg(), reg(), reg()}).first;
            return it->second;
        };
        cpuid::Info info = cpuid::decode(raw);
        std::vector<cpuid::TlbEntry> list = cpuid::decode_tlbs(info, raw);
        // Register bytes that are no UTF-8 become U+FFFD, three bytes each.
        EXPECT_LE(info.vendor.size(), 3 * 12u);
        EXPECT_LE(info.brand.size(), 3 * 48u);
        EXPECT_LE(info.hypervisor.size(), 3 * 12u);
        EXPECT_TRUE(util::is_valid_utf8(info.vendor + info.brand + info.hypervisor));
        EXPECT_LE(list.size(), 8u);
        for (const cpuid::TlbEntry& t : list) {
            EXPECT_NE(t.entries, 0u);
            EXPECT_LE(t.entries, 0xFFFu);
            EXPECT_LE(t.ways, 0xFFu);
        }
    }
}

std::string cpuinfo_field(const std::string& cpuinfo, const std::string& key) {
    for (const std::string& line : util::split(cpuinfo, '\n')) {
        size_t colon = line.find(':');
        if (colon != std::string::npos && util::trim(line.substr(0, colon)) == key)
            return util::trim(line.substr(colon + 1));
    }
    return {};
}

TEST(CpuidThisMachine, RecordAgreesWithTheKernel) {
#if !defined(__x86_64__) && !defined(__i386__)
    GTEST_SKIP() << "not an x86 processor";
#endif
    std::string cpuinfo = util::read_file("/proc/cpuinfo");
    const cpuid::Info& info = cpuid::info();
    ASSERT_TRUE(info.valid);
    EXPECT_EQ(info.vendor, cpuinfo_field(cpuinfo, "vendor_id"));
    EXPECT_EQ(std::to_string(info.family), cpuinfo_field(cpuinfo, "cpu family"));
    EXPECT_EQ(std::to_string(info.model), cpuinfo_field(cpuinfo, "model"));
    EXPECT_FALSE(info.brand.empty());
    EXPECT_GE(info.max_ext_leaf, 0x80000004u);
    std::vector<std::string> flags = util::split(cpuinfo_field(cpuinfo, "flags"), ' ');
    bool guest = std::find(flags.begin(), flags.end(), "hypervisor") != flags.end();
    EXPECT_EQ(!info.hypervisor.empty(), guest) << info.hypervisor;
    if (guest) std::cout << "hypervisor signature: " << info.hypervisor << "\n";

    cpuid::Regs r;
    EXPECT_TRUE(cpuid::available());
    EXPECT_TRUE(cpuid::query(0, r));
    EXPECT_EQ(r.eax, info.max_leaf);
    r = {1, 2, 3, 4};
    EXPECT_FALSE(cpuid::query_sub(info.max_leaf + 1, 0, r));
    EXPECT_EQ(r.eax, 1u);
}

}  // namespace
