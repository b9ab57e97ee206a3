// Memory devices and arrays from raw SMBIOS tables: hand-made structures of
// several versions, real machines' tables checked against dmidecode's reading
// of them, and damaged tables.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "fixture.h"
#include "hw/root_data.h"
#include "root_data_testing.h"
#include "util.h"

namespace {

using hw::RootData;
using zqtest::SmbiosRecord;

RootData read_table(const std::string& table) {
    RootData d;
    hw::read_smbios_memory(table, d);
    return d;
}

class ScopedNumberFormat {
public:
    ScopedNumberFormat(const std::string& dec, const std::string& group)
        : m_dec(util::g_decimal), m_group(util::g_group) {
        util::set_number_format(dec, group);
    }
    ~ScopedNumberFormat() { util::set_number_format(m_dec, m_group); }

private:
    std::string m_dec, m_group;
};

// ---- Hand-made structures -------------------------------------------------------

TEST(SmbiosMemory, ModernDeviceAllFields) {
    ScopedNumberFormat collector_mode(",", ".");
    RootData d = read_table(zqtest::memory_array(33554432, 2).bytes() + zqtest::ddr4_device().bytes() +
                            zqtest::end_of_table());
    ASSERT_EQ(d.memory.size(), 1u);
    const hw::MemoryModule& m = d.memory[0];
    EXPECT_EQ(m.locator, "ChannelA-DIMM0");
    EXPECT_EQ(m.bank, "BANK 0");
    EXPECT_EQ(m.size_bytes, 8589934592u);
    EXPECT_EQ(m.type, "DDR4");
    EXPECT_EQ(m.form_factor, "SODIMM");
    EXPECT_EQ(m.speed, "2400 MT/s");
    EXPECT_EQ(m.configured_speed, "2400 MT/s");
    EXPECT_EQ(m.manufacturer, "Samsung");
    EXPECT_EQ(m.serial, "417B9BB7");
    EXPECT_EQ(m.asset_tag, "");  // "None"
    EXPECT_EQ(m.part_number, "M471A1K43CB1-CTD");
    EXPECT_EQ(m.rank, "1");
    EXPECT_EQ(m.data_width, "64 bit");
    EXPECT_EQ(m.total_width, "64 bit");
    EXPECT_EQ(m.voltage, "1,20 V");
    EXPECT_EQ(d.max_capacity, 34359738368u);
    EXPECT_EQ(d.num_slots, "2");
}

TEST(SmbiosMemory, SizeWordForms) {
    struct Case {
        uint16_t word;
        uint32_t extended;
        uint8_t length;
        uint64_t bytes;
    } cases[] = {
        {0x8200, 0, 40, 524288},                // KiB
        {0x4000, 0, 40, 17179869184},           // MiB
        {0x7FFF, 0x00010000, 40, 68719476736},  // extended size in MiB
        {0x7FFF, 0x80010000, 40, 68719476736},  // bit 31 of the extended size is reserved
        {0x7FFF, 0x00010000, 28, 0},            // extended size beyond the formatted area
        {0x0000, 0, 40, 0},                     // empty slot
        {0xFFFF, 0, 40, 0},                     // size unknown, not 32 GiB
    };
    for (const Case& c : cases) {
        auto rec = zqtest::ddr4_device();
        std::string bytes = rec.set_word(0x0C, c.word).set_dword(0x1C, c.extended).bytes();
        bytes[1] = static_cast<char>(c.length);  // shorter formatted area, same string numbers
        RootData d = read_table(bytes.substr(0, c.length) + bytes.substr(40) + zqtest::end_of_table());
        ASSERT_EQ(d.memory.size(), 1u) << std::hex << c.word;
        EXPECT_EQ(d.memory[0].size_bytes, c.bytes) << std::hex << c.word;
        EXPECT_EQ(d.memory[0].locator, "ChannelA-DIMM0");
    }
}

// Older structure versions end before later fields; those read as absent.
TEST(SmbiosMemory, OlderVersionsLeaveLaterFieldsEmpty) {
    ScopedNumberFormat collector_mode(",", ".");
    std::string full = zqtest::ddr4_device().bytes();
    auto cut = [&](uint8_t length) {
        std::string s = full.substr(0, length) + full.substr(40);
        s[1] = static_cast<char>(length);
        return read_table(s).memory.at(0);
    };
    auto v21 = cut(0x15);  // SMBIOS 2.1: up to the type detail
    EXPECT_EQ(v21.type, "DDR4");
    EXPECT_EQ(v21.bank, "BANK 0");
    EXPECT_EQ(v21.speed, "");
    EXPECT_EQ(v21.manufacturer, "");
    auto v23 = cut(0x1B);  // 2.3: speed and the four strings
    EXPECT_EQ(v23.speed, "2400 MT/s");
    EXPECT_EQ(v23.part_number, "M471A1K43CB1-CTD");
    EXPECT_EQ(v23.rank, "");
    auto v27 = cut(0x22);  // 2.7: rank, extended size, configured speed
    EXPECT_EQ(v27.rank, "1");
    EXPECT_EQ(v27.configured_speed, "2400 MT/s");
    EXPECT_EQ(v27.voltage, "");
    auto v28 = cut(0x28);
    EXPECT_EQ(v28.voltage, "1,20 V");
    // SMBIOS 3.2+ devices are longer; the extra fields do not disturb the ones read.
    auto rec = zqtest::ddr4_device();
    std::string v35 = rec.bytes();
    v35 = v35.substr(0, 40) + std::string(92 - 40, '\x11') + v35.substr(40);
    v35[1] = 92;
    auto m = read_table(v35).memory.at(0);
    EXPECT_EQ(m.size_bytes, 8589934592u);
    EXPECT_EQ(m.manufacturer, "Samsung");
}

TEST(SmbiosMemory, NumberFields) {
    auto device = [](auto change) {
        auto r = zqtest::ddr4_device();
        change(r);
        return read_table(r.bytes()).memory.at(0);
    };
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x15, 0); }).speed, "");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x15, 65535); }).speed, "");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x15, 3200); }).speed, "3200 MT/s");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x20, 65535); }).configured_speed, "");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_byte(0x1B, 0x12); }).rank, "2");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_byte(0x1B, 0xF0); }).rank, "");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x08, 65535).set_word(0x0A, 0); }).total_width, "");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x0A, 72); }).data_width, "72 bit");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_word(0x26, 0); }).voltage, "");
    EXPECT_EQ(device([](SmbiosRecord& r) { r.set_byte(0x12, 34).set_byte(0x0E, 16); }).type, "DDR5");
    auto unnamed = device([](SmbiosRecord& r) { r.set_byte(0x12, 21).set_byte(0x0E, 17); });
    EXPECT_EQ(unnamed.type, "");
    EXPECT_EQ(unnamed.form_factor, "");
}

TEST(SmbiosMemory, StringsTrimmedPlaceholdersAndBadNumbers) {
    auto r = zqtest::ddr4_device();
    r.set_byte(0x10, 0).set_byte(0x11, 7).set_byte(0x17, 1).set_byte(0x18, 2).set_byte(0x19, 3).set_byte(0x1A,
                                                                                                         4);
    r.add_strings(
        {"  To Be Filled By O.E.M.  ", "\tKingston ", "NO MODULE INSTALLED", "\xFF\xFF\xFF\xFF", "extra"});
    auto m = read_table(r.bytes()).memory.at(0);
    EXPECT_EQ(m.locator, "");  // string number 0
    EXPECT_EQ(m.bank, "");     // number beyond the set
    EXPECT_EQ(m.manufacturer, "");
    EXPECT_EQ(m.serial, "Kingston");
    EXPECT_EQ(m.asset_tag, "");
    EXPECT_EQ(m.part_number, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // 0xFF-filled EEPROM field
}

// DMI fillers such as "OEM" or "0123456789" can be a module's real maker or serial.
TEST(SmbiosMemory, OnlySmbiosPlaceholdersAreBlanked) {
    auto r = zqtest::ddr4_device();
    r.add_strings({"Not Available", "BANK 0", "OEM", "0123456789", "Empty", "System Product Name"});
    auto m = read_table(r.bytes()).memory.at(0);
    EXPECT_EQ((std::vector<std::string>{m.locator, m.manufacturer, m.serial, m.asset_tag, m.part_number}),
              (std::vector<std::string>{"", "OEM", "0123456789", "", "System Product Name"}));
}

TEST(SmbiosMemory, ArraysOfSystemMemoryAddUp) {
    auto d = read_table(zqtest::memory_array(0x00400000, 4).bytes() + zqtest::end_of_table());
    EXPECT_EQ(d.max_capacity, 4294967296u);
    EXPECT_EQ(d.num_slots, "4");
    d = read_table(zqtest::memory_array(0x00400000, 4).bytes() + zqtest::memory_array(0, 0).bytes());
    EXPECT_EQ(d.max_capacity, 4294967296u);
    EXPECT_EQ(d.num_slots, "4");
    d = read_table(zqtest::memory_array(0x00400000, 4).bytes() + zqtest::memory_array(0x01000000, 8).bytes());
    EXPECT_EQ(d.max_capacity, 21474836480u);
    EXPECT_EQ(d.num_slots, "12");
    // Video and flash arrays (Use 04h, 05h) are not the machine's memory.
    d = read_table(zqtest::memory_array(0x01000000, 8).set_byte(0x05, 4).bytes() +
                   zqtest::memory_array(0x00400000, 4).bytes() +
                   zqtest::memory_array(0x00001000, 1).set_byte(0x05, 5).bytes());
    EXPECT_EQ(d.max_capacity, 4294967296u);
    EXPECT_EQ(d.num_slots, "4");
    // Extended capacity (SMBIOS 2.7+), and the same flag in a structure too short to carry it.
    auto big = zqtest::memory_array(0x80000000, 16).set_dword(0x0F, 0).set_dword(0x13, 0x100);
    d = read_table(big.bytes());
    EXPECT_EQ(d.max_capacity, 0x10000000000ull);
    d = read_table(big.bytes() + zqtest::memory_array(0x00400000, 4).bytes());
    EXPECT_EQ(d.max_capacity, 0x10100000000ull);
    EXPECT_EQ(d.num_slots, "20");
    d = read_table(zqtest::memory_array(0x80000000, 2, 15).bytes());
    EXPECT_EQ(d.max_capacity, 0u);
    EXPECT_EQ(d.num_slots, "2");
}

// ---- Walking the table ------------------------------------------------------------

TEST(SmbiosWalk, StructureBoundaries) {
    std::string bios = SmbiosRecord(0, 24).add_strings({"Vendor", "1.0"}).bytes();
    std::string no_strings = SmbiosRecord(32, 11).bytes();  // boot information: formatted area, then 0 0
    std::string dimm = zqtest::ddr4_device().bytes();
    EXPECT_EQ(read_table(bios + no_strings + dimm + zqtest::end_of_table()).memory.size(), 1u);
    // Nothing after the end marker counts.
    EXPECT_EQ(read_table(dimm + zqtest::end_of_table() + dimm).memory.size(), 1u);
    // No end marker at all: every structure is still read.
    EXPECT_EQ(read_table(dimm + dimm + dimm).memory.size(), 3u);
    // A formatted length below 4 or beyond the table ends the walk, keeping what came before.
    std::string bad_length = dimm;
    bad_length[1] = 3;
    EXPECT_EQ(read_table(dimm + bad_length + dimm).memory.size(), 1u);
    EXPECT_EQ(read_table(dimm + dimm.substr(0, 30)).memory.size(), 1u);
    EXPECT_EQ(read_table(dimm.substr(0, 3)).memory.size(), 0u);
    EXPECT_EQ(read_table("").memory.size(), 0u);
}

TEST(SmbiosWalk, CutStringSetKeepsTheStructure) {
    std::string dimm = zqtest::ddr4_device().bytes();
    // Cut inside the third string: the first two survive, the third is what is left of it.
    size_t third = dimm.find("Samsung");
    auto m = read_table(dimm.substr(0, third + 3)).memory.at(0);
    EXPECT_EQ(m.locator, "ChannelA-DIMM0");
    EXPECT_EQ(m.manufacturer, "Sam");
    EXPECT_EQ(m.serial, "");
    // Formatted area exactly at the end of the table: no strings.
    auto bare = read_table(dimm.substr(0, 40)).memory.at(0);
    EXPECT_EQ(bare.locator, "");
    EXPECT_EQ(bare.size_bytes, 8589934592u);
}

// Deterministic random damage: flipped bits, cuts, spliced garbage. The walker
// must stay inside the table and every string it keeps must be valid UTF-8.
TEST(SmbiosWalk, DamagedTablesNeverBreakTheWalk) {
    std::string good = zqtest::memory_array(0x80000000, 2).set_dword(0x0F, 1 << 30).bytes() +
                       SmbiosRecord(0, 24).add_strings({"Vendor", "1.0"}).bytes() +
                       zqtest::ddr4_device().bytes() +
                       zqtest::ddr4_device(0x41).set_word(0x0C, 0x7FFF).set_dword(0x1C, 0x7FFFFFFF).bytes() +
                       zqtest::end_of_table();
    std::mt19937 rng(17);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int round = 0; round < 20000 && std::chrono::steady_clock::now() < until; ++round) {
        std::string t = good;
        switch (rng() % 4) {
            case 0:
                for (int k = rng() % 8; k >= 0; --k)
                    t[rng() % t.size()] ^= static_cast<char>(1 << (rng() % 8));
                break;
            case 1:
                t.resize(rng() % t.size());
                break;
            case 2:
                for (int k = rng() % 16; k >= 0; --k) t[rng() % t.size()] = static_cast<char>(rng());
                break;
            default:
                t = std::string(rng() % 200, '\0');
                for (char& c : t) c = static_cast<char>(rng() % 4 ? rng() : 0);
        }
        // A heap copy of exactly the table's size, so an overread is seen.
        std::string exact(t.begin(), t.end());
        exact.shrink_to_fit();
        RootData d = read_table(exact);
        EXPECT_LE(d.memory.size(), exact.size() / 4);
        for (const auto& m : d.memory)
            for (const std::string* s :
                 {&m.locator, &m.bank, &m.manufacturer, &m.serial, &m.asset_tag, &m.part_number})
                ASSERT_TRUE(zqtest::is_valid_utf8(*s));
        EXPECT_TRUE(zqtest::is_valid_utf8(d.serialize()));
    }
}

// ---- Real machines ------------------------------------------------------------------

// How one of our string fields should read, given dmidecode's text of it.
std::string expected_string(const std::string& shown) {
    std::string t = util::trim(shown);
    static const char* const ABSENT[] = {
        "not specified",       "<bad index>", "unknown",       "none",          "to be filled by o.e.m.",
        "no module installed", "empty",       "not available", "default string"};
    for (const char* a : ABSENT)
        if (util::lower(t) == a) return "";
    return t;
}

void compare_with_dmidecode(const std::string& table, const std::string& decoded, const std::string& name) {
    SCOPED_TRACE(name);
    RootData d = read_table(table);
    // The machine's capacity and slots: every system memory array counted.
    uint64_t capacity = 0, slots = 0;
    for (auto& array : zqtest::dmidecode_records(decoded, 16)) {
        if (array["Use"] != "System Memory") continue;
        capacity += zqtest::expected_size(array["Maximum Capacity"]);
        slots += util::to_u64(array["Number Of Devices"], 0);
    }
    EXPECT_EQ(d.max_capacity, capacity);
    EXPECT_EQ(d.num_slots, std::to_string(slots));
    auto devices = zqtest::dmidecode_devices(decoded);
    ASSERT_FALSE(devices.empty());
    ASSERT_EQ(d.memory.size(), devices.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        SCOPED_TRACE("device " + std::to_string(i));
        auto& dev = devices[i];
        const hw::MemoryModule& m = d.memory[i];
        EXPECT_EQ(m.locator, expected_string(dev["Locator"]));
        EXPECT_EQ(m.bank, expected_string(dev["Bank Locator"]));
        EXPECT_EQ(m.size_bytes, zqtest::expected_size(dev["Size"]));
        // The decoder prints a type code it has no name for as "<OUT OF ...>"; ours leaves it empty.
        EXPECT_EQ(m.type, util::starts_with(dev["Type"], "<OUT OF") ? "" : dev["Type"]);
        // Fields older dmidecode layouts or structure versions do not show are skipped.
        auto shown = [&](const char* key) { return dev.count(key) != 0; };
        if (shown("Speed")) {
            EXPECT_EQ(m.speed, zqtest::expected_speed(dev["Speed"]));
        }
        if (shown("Configured Memory Speed")) {
            EXPECT_EQ(m.configured_speed, zqtest::expected_speed(dev["Configured Memory Speed"]));
        }
        if (shown("Manufacturer")) {
            EXPECT_EQ(m.manufacturer, expected_string(dev["Manufacturer"]));
        }
        if (shown("Part Number")) {
            EXPECT_EQ(m.part_number, expected_string(dev["Part Number"]));
        }
    }
}

TEST(SmbiosRealMachines, MemoryDevicesAndArraysAgreeWithDmidecode) {
    std::string dir = zqtest::shared_data("smbios");
    if (dir.empty()) GTEST_SKIP() << "no shared data";
    int compared = 0;
    for (const auto& sub : std::filesystem::directory_iterator(dir)) {
        if (!sub.is_directory()) continue;
        for (const auto& f : std::filesystem::directory_iterator(sub.path())) {
            std::string path = f.path().string();
            if (!f.is_regular_file() || !std::filesystem::exists(path + ".dmidecode.txt")) continue;
            std::string table = zqtest::table_of_dump(zqtest::slurp(path));
            ASSERT_FALSE(table.empty()) << path;
            compare_with_dmidecode(table, zqtest::slurp(path + ".dmidecode.txt"), path);
            ++compared;
        }
    }
    // Tables in the kernel's own layout: what /sys/firmware/dmi/tables/DMI holds.
    for (const char* name : {"dmi_v3.bin", "dmi_v3_short.bin"}) {
        std::string path = dir + "/jcreekmore-dmidecode/sysfs-layout/" + name;
        if (!std::filesystem::exists(path + ".dmidecode.txt")) continue;
        compare_with_dmidecode(zqtest::slurp(path), zqtest::slurp(path + ".dmidecode.txt"), path);
        ++compared;
    }
    EXPECT_GE(compared, 30);
}

TEST(SmbiosRealMachines, CutAndFlippedRealTablesStayQuiet) {
    std::string path = zqtest::shared_data("smbios/u-root/Lenovo-ThinkPad-T480.bin");
    if (path.empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "no shared data";
    std::string table = zqtest::table_of_dump(zqtest::slurp(path));
    size_t full = read_table(table).memory.size();
    for (size_t cut = 0; cut <= table.size(); cut += 7) {
        std::string t = table.substr(0, cut);
        t.shrink_to_fit();
        EXPECT_LE(read_table(t).memory.size(), full);
    }
    std::mt19937 rng(3);
    for (int i = 0; i < 500; ++i) {
        std::string t = table;
        t[rng() % t.size()] ^= static_cast<char>(1 << (rng() % 8));
        EXPECT_TRUE(zqtest::is_valid_utf8(read_table(t).serialize()));
    }
}

}  // namespace
