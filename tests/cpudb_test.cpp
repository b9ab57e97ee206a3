#include <gtest/gtest.h>

#include "cpudb.h"
#include "cpuid_dump.h"

namespace {

struct Row {
    const char* vendor;
    uint32_t family, model;
    const char* codename;
    const char* uarch;
    const char* process;
};

TEST(Cpudb, KnownRowsAndRangeEdges) {
    const Row rows[] = {
        {"AuthenticAMD", 0x19, 0x21, "Vermeer", "Zen 3", "TSMC N7 (7 nm)"},
        {"AuthenticAMD", 0x15, 0x00, "Bulldozer", "Bulldozer", "GlobalFoundries 32 nm"},
        {"AuthenticAMD", 0x19, 0x7B, "Phoenix 2", "Zen 4 / 4c", "TSMC N4 (4 nm)"},
        {"AuthenticAMD", 0x19, 0x7C, "Hawk Point", "Zen 4", "TSMC N4 (4 nm)"},
        {"AuthenticAMD", 0x1A, 0x77, "Strix Halo", "Zen 5", "TSMC N4P (4 nm)"},
        // Family 1Ah models 00h-0Fh are the Zen 5 server parts, 10h-1Fh their dense Zen 5c siblings.
        {"AuthenticAMD", 0x1A, 0x02, "Turin", "Zen 5", "TSMC N4P (4 nm)"},
        {"AuthenticAMD", 0x1A, 0x11, "Turin Dense", "Zen 5c", "TSMC N3E (3 nm)"},
        {"AuthenticAMD", 0x1A, 0x44, "Granite Ridge", "Zen 5", "TSMC N4P (4 nm)"},
        {"GenuineIntel", 0x6, 0x9A, "Alder Lake", "Golden Cove / Gracemont", "Intel 7"},
        {"GenuineIntel", 0x6, 0x8D, "Tiger Lake", "Willow Cove", "Intel 10 nm SuperFin"},
        {"GenuineIntel", 0x6, 0x9C, "Jasper Lake", "Tremont", "Intel 10 nm"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.codename);
        cpudb::Model m = cpudb::lookup(r.vendor, r.family, r.model);
        EXPECT_TRUE(m.found);
        EXPECT_EQ(m.codename, r.codename);
        EXPECT_EQ(m.uarch, r.uarch);
        EXPECT_EQ(m.process, r.process);
    }
}

TEST(Cpudb, NoRowGivesEmptyModel) {
    struct Miss {
        const char* vendor;
        uint32_t family, model;
    };
    for (const Miss& m :
         {Miss{"GenuineIntel", 0x6, 0x9B}, Miss{"AuthenticAMD", 0x1A, 0x78}, Miss{"AuthenticAMD", 0x21, 0x21},
          Miss{"CentaurHauls", 0x6, 0x1F}, Miss{"AuthenticAMD ", 0x19, 0x21}, Miss{"AuthenticAM", 0x19, 0x21},
          Miss{"", 0x19, 0x21}}) {
        SCOPED_TRACE(m.vendor);
        cpudb::Model r = cpudb::lookup(m.vendor, m.family, m.model);
        EXPECT_FALSE(r.found);
        EXPECT_TRUE(r.codename.empty() && r.uarch.empty() && r.process.empty());
    }
}

// Family and model as decoded from real processors' registers find their rows.
TEST(Cpudb, RecordedProcessors) {
    struct Case {
        const char* machine;
        const char* codename;  // empty: the table has no row
    };
    for (const Case& c :
         {Case{"AMD-15h-Bulldozer-4xOpteron-6272", "Bulldozer"}, Case{"AMD-19h-Zen3-2xEpyc-7763", "Milan"},
          Case{"AMD-1Ah-Zen5StrixPoint-RyzenAI9HX370", "Strix Point"},
          Case{"Intel-SandyBridge-2xXeon-E5-2650", "Sandy Bridge-E"},
          Case{"Intel-Skylake-2xXeon6140", "Skylake-SP"},
          Case{"Intel-SapphireRapids-2xXeonMax9460", "Sapphire Rapids"},
          Case{"Intel-RaptorLake-Corei7-1370P", "Raptor Lake"}, Case{"Intel-ArrowLake-CoreUltra5-225U", ""},
          Case{"AMD-K10-MagnyCours-2xOpteron-6164HE", ""}, Case{"Zhaoxin-CentaurHauls-ZXD-4600", ""}}) {
        SCOPED_TRACE(c.machine);
        std::string dir = zqtest::cpuid_machine(c.machine);
        if (dir.empty()) GTEST_SKIP() << "shared CPUID dumps absent";
        cpuid::Info info = cpuid::decode(zqtest::cpuid_source_of(dir, 0));
        cpudb::Model m = cpudb::lookup(info.vendor, info.family, info.model);
        EXPECT_EQ(m.found, *c.codename != '\0');
        EXPECT_EQ(m.codename, c.codename);
    }
}

}  // namespace
