// The collector as root: NVMe health pages, and whole machines (fixture trees
// in process and in a mount namespace, and this machine itself).
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <random>

#include "fixture.h"
#include "hw/root_data.h"
#include "root_data_testing.h"
#include "util.h"

namespace {

using hw::NvmeHealth;
using hw::NvmeLogPage;
using hw::RootData;

void put_le(NvmeLogPage& page, size_t at, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) page[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

NvmeHealth decode(const NvmeLogPage& page) {
    NvmeHealth h;
    hw::decode_nvme_health(page, h);
    return h;
}

// ---- NVMe health pages -----------------------------------------------------------

TEST(NvmeHealthPage, WorkedDrive) {
    NvmeLogPage page{};
    page[0] = 0x05;  // spare below threshold, reliability degraded
    put_le(page, 1, 321, 2);
    page[3] = 9;
    page[4] = 10;
    page[5] = 104;  // wear may pass 100 %
    put_le(page, 32, 0x0123456789ABCDEFull, 8);
    put_le(page, 40, 0xFFFFFFFFFFFFFFFFull, 8);  // high half of the 128-bit counter: not kept
    put_le(page, 48, 0xFFFFFFFFFFFFFFFFull, 8);
    put_le(page, 64, 3, 8);
    put_le(page, 80, 4, 8);
    put_le(page, 96, 5, 8);
    put_le(page, 112, 6, 8);
    put_le(page, 128, 7, 8);
    put_le(page, 144, 8, 8);
    put_le(page, 160, 9, 8);
    put_le(page, 176, 10, 8);
    put_le(page, 192, 0xFFFFFFFF, 4);
    put_le(page, 196, 12, 4);
    put_le(page, 202, 310, 2);  // sensor 2
    put_le(page, 206, 305, 2);  // sensor 4
    NvmeHealth h = decode(page);
    EXPECT_EQ(h.critical_warning, 0x05);
    EXPECT_NEAR(h.temperature_c, 47.85, 1e-9);
    EXPECT_EQ(h.available_spare, 9);
    EXPECT_EQ(h.spare_threshold, 10);
    EXPECT_EQ(h.percentage_used, 104);
    EXPECT_EQ(h.data_units_read, 0x0123456789ABCDEFull);
    EXPECT_EQ(h.data_units_written, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(h.host_reads, 3u);
    EXPECT_EQ(h.host_writes, 4u);
    EXPECT_EQ(h.busy_minutes, 5u);
    EXPECT_EQ(h.power_cycles, 6u);
    EXPECT_EQ(h.power_on_hours, 7u);
    EXPECT_EQ(h.unsafe_shutdowns, 8u);
    EXPECT_EQ(h.media_errors, 9u);
    EXPECT_EQ(h.error_entries, 10u);
    EXPECT_EQ(h.warning_temp_minutes, 4294967295u);
    EXPECT_EQ(h.critical_temp_minutes, 12u);
    ASSERT_EQ(h.sensors_c.size(), 2u);  // positions are not sensor numbers
    EXPECT_NEAR(h.sensors_c[0], 36.85, 1e-9);
    EXPECT_NEAR(h.sensors_c[1], 31.85, 1e-9);

    RootData d;
    h.node = "nvme0";
    d.nvme.push_back(h);
    EXPECT_NE(
        d.serialize().find("N nvme0|5|4785|9|10|104|81985529216486895|18446744073709551615|3|4|5|6|7|8|9|10|"
                           "4294967295|12|3685|3185\n"),
        std::string::npos)
        << d.serialize();
}

TEST(NvmeHealthPage, EmptyPageAndAllSensors) {
    NvmeLogPage page{};
    NvmeHealth blank = decode(page);
    EXPECT_EQ(blank.temperature_c, -999.0);  // 0 K means the drive gave no reading
    EXPECT_TRUE(blank.sensors_c.empty());
    for (size_t i = 0; i < 8; ++i) put_le(page, 200 + 2 * i, 273 + i, 2);
    put_le(page, 214, 65535, 2);
    put_le(page, 1, 273, 2);
    NvmeHealth h = decode(page);
    EXPECT_NEAR(h.temperature_c, -0.15, 1e-9);
    ASSERT_EQ(h.sensors_c.size(), 8u);
    EXPECT_NEAR(h.sensors_c[0], -0.15, 1e-9);
    EXPECT_NEAR(h.sensors_c[7], 65261.85, 1e-6);
    h.node = "nvme1";
    RootData d;
    d.nvme.push_back(h);
    EXPECT_NE(d.serialize().find("N nvme1|0|-14|"), std::string::npos);
}

TEST(NvmeHealthPage, RandomPagesRoundTripThroughText) {
    std::mt19937_64 rng(512);
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (int round = 0; round < 2000 && std::chrono::steady_clock::now() < until; ++round) {
        NvmeLogPage page;
        for (uint8_t& b : page) b = static_cast<uint8_t>(rng() % 3 ? rng() : 0);
        NvmeHealth h = decode(page);
        ASSERT_LE(h.sensors_c.size(), 8u);
        for (double s : h.sensors_c) ASSERT_TRUE(s > -274.0 && s < 65263.0);
        h.node = "nvme" + std::to_string(round);
        RootData d;
        d.nvme.push_back(h);
        RootData back;
        ASSERT_TRUE(back.parse(d.serialize()));
        ASSERT_EQ(back.nvme.size(), 1u);
        const NvmeHealth& b = back.nvme[0];
        EXPECT_EQ(b.critical_warning, h.critical_warning);
        EXPECT_EQ(b.percentage_used, h.percentage_used);
        EXPECT_EQ(b.data_units_read, h.data_units_read);
        EXPECT_EQ(b.critical_temp_minutes, h.critical_temp_minutes);
        EXPECT_NEAR(b.temperature_c, h.temperature_c, 0.0100001);
        ASSERT_EQ(b.sensors_c.size(), h.sensors_c.size());
    }
}

// ---- Whole machines -------------------------------------------------------------

// A small desktop's SMBIOS table: firmware, system, one memory array with two
// slots of which one is populated, end marker.
std::string desktop_table() {
    using zqtest::SmbiosRecord;
    std::string t =
        SmbiosRecord(0, 26, 0x0000).add_strings({"American Megatrends Inc.", "F12", "05/21/2021"}).bytes();
    t += SmbiosRecord(1, 27, 0x0001)
             .set_byte(4, 1)
             .set_byte(5, 2)
             .set_byte(7, 3)
             .add_strings({"Micro-Star International Co., Ltd.", "MS-7C56", "To be filled by O.E.M."})
             .bytes();
    t += zqtest::memory_array(0x04000000, 2).bytes();
    t += zqtest::ddr4_device(0x0040).set_byte(0x0E, 9).bytes();
    auto empty = zqtest::ddr4_device(0x0041).set_word(0x0C, 0).set_word(0x15, 0).set_word(0x20, 0);
    t += empty.set_byte(0x12, 2)
             .add_strings({"DIMM_B1", "BANK 1", "Unknown", "Unknown", "Unknown", "Unknown"})
             .bytes();
    return t + zqtest::end_of_table();
}

// The kernel's layout: /sys/class/dmi/id links to the virtual dmi device, and
// /sys/class/nvme/nvme0 to the controller below its PCI function.
void build_machine(const zqtest::FixtureRoot& root, bool with_table) {
    if (with_table) root.write("/sys/firmware/dmi/tables/DMI", desktop_table());
    root.write("/sys/firmware/dmi/tables/smbios_entry_point", std::string("_SM3_\0\x18\x03\x03", 9));
    const std::string id = "/sys/devices/virtual/dmi/id/";
    root.write(id + "sys_vendor", "Micro-Star International Co., Ltd.\n");
    root.write(id + "product_name", "MS-7C56\n");
    root.write(id + "product_serial", "To be filled by O.E.M.\n");
    root.write(id + "product_uuid", "03000200-0400-0500-0006-000700080009\n");
    root.write(id + "board_serial",
               "07C5611_L41E\xFF"
               "013\n");
    root.write(id + "chassis_serial", "Default string\n");
    root.symlink("/sys/class/dmi/id", "../../devices/virtual/dmi/id");
    root.mkdir("/sys/devices/pci0000:00/0000:00:01.1/0000:01:00.0/nvme/nvme0");
    root.symlink("/sys/class/nvme/nvme0", "../../devices/pci0000:00/0000:00:01.1/0000:01:00.0/nvme/nvme0");
    root.write("/dev/nvme0", "");  // not a device: the health command fails and the drive is left out
}

TEST(RootCollect, FixtureMachine) {
    zqtest::FixtureRoot root;
    build_machine(root, true);
    RootData d;
    d.collect_as_root();
    EXPECT_TRUE(d.available);
    EXPECT_EQ(d.error, "");
    EXPECT_TRUE(d.nvme.empty());
    EXPECT_EQ(d.product_serial, "To be filled by O.E.M.");  // serial files are taken as they are
    EXPECT_EQ(d.product_uuid, "03000200-0400-0500-0006-000700080009");
    EXPECT_EQ(d.board_serial,
              "07C5611_L41E\xEF\xBF\xBD"
              "013");
    EXPECT_EQ(d.chassis_serial, "Default string");
    EXPECT_EQ(d.max_capacity, 68719476736u);
    EXPECT_EQ(d.num_slots, "2");
    ASSERT_EQ(d.memory.size(), 2u);
    EXPECT_EQ(d.memory[0].form_factor, "DIMM");
    EXPECT_EQ(d.memory[0].size_bytes, 8589934592u);
    EXPECT_EQ(d.memory[1].locator, "DIMM_B1");
    EXPECT_EQ(d.memory[1].size_bytes, 0u);
    EXPECT_EQ(d.memory[1].manufacturer, "");
    EXPECT_EQ(d.memory[1].speed, "");
    EXPECT_TRUE(zqtest::is_valid_utf8(d.serialize()));
}

TEST(RootCollect, UnreadableTable) {
    zqtest::FixtureRoot root;
    build_machine(root, false);
    RootData d;
    d.max_capacity = 1024;
    d.memory.resize(3);
    d.collect_as_root();
    EXPECT_TRUE(d.available);  // the board serial is there
    EXPECT_EQ(d.error, "SMBIOS table not readable");
    EXPECT_TRUE(d.memory.empty());
    EXPECT_EQ(d.max_capacity, 1024u);
    root.write("/sys/devices/virtual/dmi/id/board_serial", "\n");
    root.write("/sys/devices/virtual/dmi/id/product_serial", "");
    d.collect_as_root();
    EXPECT_FALSE(d.available);
    EXPECT_NE(d.serialize().find("E SMBIOS table not readable\n"), std::string::npos);
}

// A table that lists no memory device and a machine without serials or
// drives: the collector says the data is there, and the window agrees.
TEST(RootCollect, ReadableTableWithoutModulesIsAvailableOnBothSides) {
    zqtest::FixtureRoot root;
    build_machine(root, true);
    root.write("/sys/firmware/dmi/tables/DMI", std::string("\x7f\x04\x00\x00\x00\x00", 6));  // end of table
    for (const char* serial : {"product_serial", "board_serial", "chassis_serial"})
        root.write(std::string("/sys/devices/virtual/dmi/id/") + serial, "\n");
    RootData d;
    d.collect_as_root();
    EXPECT_TRUE(d.available);
    EXPECT_TRUE(d.memory.empty());
    RootData parsed;
    EXPECT_TRUE(parsed.parse(d.serialize()));
}

// This machine has neither an SMBIOS table nor NVMe drives.
TEST(RootCollect, ThisMachineWithoutSmbios) {
    if (!util::read_file_raw("/sys/firmware/dmi/tables/DMI").empty())
        GTEST_SKIP() << "this machine has SMBIOS";
    RootData d;
    d.collect_as_root();
    EXPECT_EQ(d.error, "SMBIOS table not readable");
    EXPECT_TRUE(d.memory.empty());
    auto r = zqtest::run({zqtest::tool("zq_root_collect")});
    EXPECT_TRUE(util::starts_with(r.out, "V 1\nE SMBIOS table not readable\n")) << r.out;
    RootData parsed;
    EXPECT_EQ(parsed.parse(r.out), r.status == 0);
}

TEST(RootCollect, CollectorProcessInMountNamespace) {
    zqtest::FixtureRoot root;
    build_machine(root, true);
    auto r = zqtest::run_in_fixture(root.dir(), {zqtest::tool("zq_root_collect")});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(zqtest::is_valid_utf8(r.out));
    RootData d;
    ASSERT_TRUE(d.parse(r.out)) << r.out;
    EXPECT_EQ(d.board_serial,
              "07C5611_L41E\xEF\xBF\xBD"
              "013");
    ASSERT_EQ(d.memory.size(), 2u);
    EXPECT_EQ(d.memory[0].voltage, "1,20 V");  // the collector applies no language
    EXPECT_EQ(d.serialize(), r.out);
}

}  // namespace
