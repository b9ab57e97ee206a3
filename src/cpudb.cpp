#include "cpudb.h"

#include <string_view>

namespace cpudb {

namespace {

struct Entry {
    std::string_view vendor;
    uint32_t family;
    uint32_t model_lo;
    uint32_t model_hi;  // inclusive
    const char* codename;
    const char* uarch;
    const char* process;
};

// Displayed family and model as CPUID reports them; no two rows overlap.
// clang-format off
constexpr Entry ENTRIES[] = {
    {"AuthenticAMD", 0x15, 0x00, 0x0F, "Bulldozer", "Bulldozer", "GlobalFoundries 32 nm"},
    {"AuthenticAMD", 0x15, 0x10, 0x1F, "Trinity", "Piledriver", "GlobalFoundries 32 nm"},
    {"AuthenticAMD", 0x15, 0x30, 0x3F, "Kaveri", "Steamroller", "GlobalFoundries 28 nm"},
    {"AuthenticAMD", 0x15, 0x60, 0x6F, "Carrizo", "Excavator", "GlobalFoundries 28 nm"},
    {"AuthenticAMD", 0x15, 0x70, 0x7F, "Bristol Ridge", "Excavator", "GlobalFoundries 28 nm"},
    {"AuthenticAMD", 0x16, 0x00, 0x0F, "Kabini", "Jaguar", "TSMC 28 nm"},
    {"AuthenticAMD", 0x16, 0x30, 0x3F, "Carrizo-L", "Puma", "TSMC 28 nm"},
    {"AuthenticAMD", 0x17, 0x01, 0x01, "Summit Ridge", "Zen", "GlobalFoundries 14 nm"},
    {"AuthenticAMD", 0x17, 0x08, 0x08, "Pinnacle Ridge", "Zen+", "GlobalFoundries 12 nm"},
    {"AuthenticAMD", 0x17, 0x11, 0x11, "Raven Ridge", "Zen", "GlobalFoundries 14 nm"},
    {"AuthenticAMD", 0x17, 0x18, 0x18, "Picasso", "Zen+", "GlobalFoundries 12 nm"},
    {"AuthenticAMD", 0x17, 0x20, 0x20, "Dali", "Zen", "GlobalFoundries 14 nm"},
    {"AuthenticAMD", 0x17, 0x31, 0x31, "Rome", "Zen 2", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x17, 0x47, 0x47, "Cardinal", "Zen 2", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x17, 0x60, 0x60, "Renoir", "Zen 2", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x17, 0x68, 0x68, "Lucienne", "Zen 2", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x17, 0x71, 0x71, "Matisse", "Zen 2", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x17, 0x90, 0x91, "Van Gogh", "Zen 2", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x17, 0xA0, 0xAF, "Mendocino", "Zen 2", "TSMC N6 (6 nm)"},
    {"AuthenticAMD", 0x19, 0x01, 0x01, "Milan", "Zen 3", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x19, 0x08, 0x08, "Chagall", "Zen 3", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x19, 0x11, 0x11, "Genoa", "Zen 4", "TSMC N5 (5 nm)"},
    {"AuthenticAMD", 0x19, 0x18, 0x18, "Storm Peak", "Zen 4", "TSMC N5 (5 nm)"},
    {"AuthenticAMD", 0x19, 0x1A, 0x1A, "Storm Peak", "Zen 4", "TSMC N5 (5 nm)"},
    {"AuthenticAMD", 0x19, 0x21, 0x21, "Vermeer", "Zen 3", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x19, 0x40, 0x44, "Rembrandt", "Zen 3+", "TSMC N6 (6 nm)"},
    {"AuthenticAMD", 0x19, 0x50, 0x5F, "Cezanne", "Zen 3", "TSMC N7 (7 nm)"},
    {"AuthenticAMD", 0x19, 0x60, 0x6F, "Raphael", "Zen 4", "TSMC N5 (5 nm)"},
    {"AuthenticAMD", 0x19, 0x70, 0x73, "Phoenix", "Zen 4", "TSMC N4 (4 nm)"},
    {"AuthenticAMD", 0x19, 0x74, 0x77, "Phoenix", "Zen 4", "TSMC N4 (4 nm)"},
    {"AuthenticAMD", 0x19, 0x78, 0x7B, "Phoenix 2", "Zen 4 / 4c", "TSMC N4 (4 nm)"},
    {"AuthenticAMD", 0x19, 0x7C, 0x7F, "Hawk Point", "Zen 4", "TSMC N4 (4 nm)"},
    {"AuthenticAMD", 0x19, 0xA0, 0xAF, "Bergamo", "Zen 4c", "TSMC N5 (5 nm)"},
    {"AuthenticAMD", 0x1A, 0x00, 0x0F, "Turin", "Zen 5", "TSMC N4P (4 nm)"},
    {"AuthenticAMD", 0x1A, 0x10, 0x1F, "Turin Dense", "Zen 5c", "TSMC N3E (3 nm)"},
    {"AuthenticAMD", 0x1A, 0x20, 0x2F, "Strix Point", "Zen 5 / 5c", "TSMC N4P (4 nm)"},
    {"AuthenticAMD", 0x1A, 0x30, 0x3F, "Turin Dense", "Zen 5c", "TSMC N3E (3 nm)"},
    {"AuthenticAMD", 0x1A, 0x40, 0x4F, "Granite Ridge", "Zen 5", "TSMC N4P (4 nm)"},
    {"AuthenticAMD", 0x1A, 0x50, 0x5F, "Krackan Point", "Zen 5 / 5c", "TSMC N4P (4 nm)"},
    {"AuthenticAMD", 0x1A, 0x60, 0x6F, "Krackan Point", "Zen 5 / 5c", "TSMC N4P (4 nm)"},
    {"AuthenticAMD", 0x1A, 0x70, 0x77, "Strix Halo", "Zen 5", "TSMC N4P (4 nm)"},
    {"GenuineIntel", 0x6, 0x2A, 0x2A, "Sandy Bridge", "Sandy Bridge", "Intel 32 nm"},
    {"GenuineIntel", 0x6, 0x2D, 0x2D, "Sandy Bridge-E", "Sandy Bridge", "Intel 32 nm"},
    {"GenuineIntel", 0x6, 0x3A, 0x3A, "Ivy Bridge", "Ivy Bridge", "Intel 22 nm"},
    {"GenuineIntel", 0x6, 0x3E, 0x3E, "Ivy Bridge-E", "Ivy Bridge", "Intel 22 nm"},
    {"GenuineIntel", 0x6, 0x3C, 0x3C, "Haswell", "Haswell", "Intel 22 nm"},
    {"GenuineIntel", 0x6, 0x3F, 0x3F, "Haswell-E", "Haswell", "Intel 22 nm"},
    {"GenuineIntel", 0x6, 0x45, 0x46, "Haswell", "Haswell", "Intel 22 nm"},
    {"GenuineIntel", 0x6, 0x3D, 0x3D, "Broadwell", "Broadwell", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x47, 0x47, "Broadwell", "Broadwell", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x4F, 0x4F, "Broadwell-E", "Broadwell", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x56, 0x56, "Broadwell-DE", "Broadwell", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x4E, 0x4E, "Skylake", "Skylake", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x5E, 0x5E, "Skylake", "Skylake", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x55, 0x55, "Skylake-SP", "Skylake", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x8E, 0x8E, "Kaby / Comet Lake", "Skylake", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x9E, 0x9E, "Coffee Lake", "Skylake", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0xA5, 0xA6, "Comet Lake", "Skylake", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x66, 0x66, "Cannon Lake", "Palm Cove", "Intel 10 nm"},
    {"GenuineIntel", 0x6, 0x7D, 0x7E, "Ice Lake", "Sunny Cove", "Intel 10 nm"},
    {"GenuineIntel", 0x6, 0x6A, 0x6C, "Ice Lake-SP", "Sunny Cove", "Intel 10 nm"},
    {"GenuineIntel", 0x6, 0x8C, 0x8D, "Tiger Lake", "Willow Cove", "Intel 10 nm SuperFin"},
    {"GenuineIntel", 0x6, 0xA7, 0xA7, "Rocket Lake", "Cypress Cove", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x8F, 0x8F, "Sapphire Rapids", "Golden Cove", "Intel 7"},
    {"GenuineIntel", 0x6, 0xCF, 0xCF, "Emerald Rapids", "Raptor Cove", "Intel 7"},
    {"GenuineIntel", 0x6, 0x97, 0x97, "Alder Lake", "Golden Cove / Gracemont", "Intel 7"},
    {"GenuineIntel", 0x6, 0x9A, 0x9A, "Alder Lake", "Golden Cove / Gracemont", "Intel 7"},
    {"GenuineIntel", 0x6, 0xBE, 0xBE, "Alder Lake-N", "Gracemont", "Intel 7"},
    {"GenuineIntel", 0x6, 0xB7, 0xB7, "Raptor Lake", "Raptor Cove / Gracemont", "Intel 7"},
    {"GenuineIntel", 0x6, 0xBA, 0xBA, "Raptor Lake", "Raptor Cove / Gracemont", "Intel 7"},
    {"GenuineIntel", 0x6, 0xBF, 0xBF, "Raptor Lake", "Raptor Cove / Gracemont", "Intel 7"},
    {"GenuineIntel", 0x6, 0xAA, 0xAA, "Meteor Lake", "Redwood Cove / Crestmont", "Intel 4"},
    {"GenuineIntel", 0x6, 0xAC, 0xAC, "Meteor Lake", "Redwood Cove / Crestmont", "Intel 4"},
    {"GenuineIntel", 0x6, 0xBD, 0xBD, "Lunar Lake", "Lion Cove / Skymont", "TSMC N3B (3 nm)"},
    {"GenuineIntel", 0x6, 0xC5, 0xC6, "Arrow Lake", "Lion Cove / Skymont", "TSMC N3B (3 nm)"},
    {"GenuineIntel", 0x6, 0xAD, 0xAE, "Granite Rapids", "Redwood Cove", "Intel 3"},
    {"GenuineIntel", 0x6, 0xDD, 0xDD, "Clearwater Forest", "Darkmont", "Intel 18A"},
    {"GenuineIntel", 0x6, 0x5C, 0x5C, "Apollo Lake", "Goldmont", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x5F, 0x5F, "Denverton", "Goldmont", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x7A, 0x7A, "Gemini Lake", "Goldmont Plus", "Intel 14 nm"},
    {"GenuineIntel", 0x6, 0x96, 0x96, "Elkhart Lake", "Tremont", "Intel 10 nm"},
    {"GenuineIntel", 0x6, 0x9C, 0x9C, "Jasper Lake", "Tremont", "Intel 10 nm"},
};
// clang-format on

static_assert(sizeof(ENTRIES) / sizeof(ENTRIES[0]) == 82);

}  // namespace

Model lookup(const std::string& vendor, uint32_t family, uint32_t model) {
    for (const Entry& e : ENTRIES) {
        if (e.vendor == vendor && e.family == family && e.model_lo <= model && model <= e.model_hi)
            return {e.codename, e.uarch, e.process, true};
    }
    return {};
}

}  // namespace cpudb
