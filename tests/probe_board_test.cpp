// The "board" page on fixture machines laid out as the kernel does (a laptop
// with DMI, sensors, thermal zones, sound, input, TPM and Secure Boot; a rack
// server; a guest without DMI), on real DMI trees, on this machine, and its
// live refresh over ten ticks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "root_data_testing.h"
#include "sensors.h"
#include "util.h"

namespace {

using probe::Card;
using probe::Page;
using probe::Row;

const std::string DMI = "/sys/devices/virtual/dmi/id/";
const std::string HW = "/sys/class/hwmon/";
const std::string SB = "/sys/firmware/efi/efivars/SecureBoot-8be4df61-93ca-11d2-aa0d-00e098032b8c";

const Card* find_card(const Page& page, const char* key) {
    for (const Card& c : page.cards)
        if (c.title == tr(key)) return &c;
    return nullptr;
}

// Name -> value of a card; a locked row reads "<locked>".
std::map<std::string, std::string> rows_of(const Card* c) {
    std::map<std::string, std::string> out;
    if (!c) return out;
    for (const Row& r : c->rows) out[r.name] = r.locked ? "<locked>" : r.value;
    return out;
}

std::vector<std::string> titles(const Page& page) {
    std::vector<std::string> t;
    for (const Card& c : page.cards) t.push_back(c.title);
    return t;
}

std::string t(const char* key) { return tr(key); }

// Every fixture starts from the same separators and without privileged data
// or a kept sensor list from an earlier machine.
class BoardPage : public ::testing::Test {
protected:
    void SetUp() override {
        util::set_number_format(",", ".");
        hw::RootData::instance() = hw::RootData{};
        sensors::forget_kept();
    }
    void TearDown() override {
        hw::RootData::instance() = hw::RootData{};
        sensors::forget_kept();
    }
};

// One spot check per card and per rule: fillers dropped, serials read as
// root, UEFI with Secure Boot, sensors named by place and label, a zone
// without a reading skipped, cooling devices tallied, codec names from sysfs
// (the codec file below is what the driver would dump), input handlers.
TEST_F(BoardPage, Laptop) {
    zqtest::FixtureRoot root("board-laptop");
    root.write("/proc/asound/card0/codec#0", "Codec: dumped on every read\n");
    Page page = probe::collect_board();
    EXPECT_EQ(page.headline, "LENOVO 20QDCTO1WW");
    EXPECT_EQ(page.subline, "Notebook   \u00b7   UEFI");
    struct Want {
        const char* card;
        std::string name, value, extra;
    };
    const std::string cpu = t("tree.cpu"), sto = t("tree.storage") + " ";
    const std::vector<Want> wants = {
        {"sec.mainboard", t("f.asset_tag"), "Not Available", ""},  // not one of the DMI fillers
        {"sec.mainboard", t("f.serial"), "L1HF01234567", ""},
        {"sec.firmware", t("f.efi_arch"), "64 Bit", ""},
        {"sec.firmware", t("f.secure_boot"), t("common.yes"), ""},
        {"sec.machine", t("f.uuid"), "3f1c2a80-5d2e-11b2-a85c-d2a5e1c7b901", ""},
        {"sec.machine", t("f.virtualization"), "<none>", ""},
        {"sec.chassis", t("f.type"), "Notebook (10)", ""},
        {"sec.chassis", t("f.version"), "<none>", ""},  // "None"
        {"tree.sensors", cpu + "  Package id 0", "52,0 \u00b0C", "max 100 \u00b0C"},
        {"tree.sensors", t("tree.graphics"), "45,0 \u00b0C", "max 105 \u00b0C"},
        {"tree.sensors", sto + "SAMSUNG MZVLB512HBJQ-000L7  Sensor 1",
         util::fmt_double(37.85, 1) + " \u00b0C", ""},
        {"tree.sensors", sto + "Samsung SSD 860", "31,0 \u00b0C", "max 70 \u00b0C"},
        {"tree.sensors", t("tree.power"), "1,20 A", ""},
        {"tree.thermal_zones", "acpitz", "48,0 \u00b0C", "max 128 \u00b0C"},
        {"tree.thermal_zones", "iwlwifi_1", "<none>", ""},
        {"tree.thermal_zones", "x86_pkg_temp", "52,0 \u00b0C", ""},
        {"tree.thermal_zones", "Processor", "2 / 8", "max 3"},
        {"tree.thermal_zones", "intel_powerclamp", "0 / 1", "max 50"},
        {"tree.audio", "HDA Intel PCH", "Realtek ALC285", "2 / 1"},
        {"tree.audio", "HDA NVidia", "Nvidia GPU 94 HDMI/DP", "1 / 0"},
        {"tree.input", "Lid Switch", "Host", ""},
        {"tree.input", "Elan Touchpad", "I\u00b2C", "mouse0"},
        {"tree.input", "Logitech USB Receiver", "USB", "kbd mouse2"},
        {"tree.input", "sof-hda-dsp Headphone", "<none>", ""},
        {"sec.security", "TPM", "2.0  TPM 2.0 Device", ""},
        {"sec.kernel", t("f.os"), "Fedora Linux 39 (Workstation Edition)", ""},
    };
    for (const Want& w : wants) {
        const Card* c = find_card(page, w.card);
        ASSERT_TRUE(c) << w.card;
        const Row* found = nullptr;
        for (const Row& r : c->rows)
            if (r.name == w.name) found = &r;
        EXPECT_EQ(found ? found->value : "<none>", w.value) << w.name;
        EXPECT_EQ(found ? found->extra : "", w.extra) << w.name;
    }
    // Live keys name each reading's list position and each zone's own place.
    const Card* s = find_card(page, "tree.sensors");
    ASSERT_EQ(s->rows.size(), 13u);
    for (size_t i = 0; i < s->rows.size(); ++i) EXPECT_EQ(s->rows[i].live, "sensor." + std::to_string(i));
    EXPECT_EQ(s->rows.front().note, HW + "hwmon3/temp1_input");
    EXPECT_EQ(find_card(page, "tree.thermal_zones")->rows[1].live, "thermal.2");
    EXPECT_EQ(titles(page).back(), t("sec.kernel"));
}

// A card whose sysfs codec names are missing falls back to the codec file,
// and that file is read once in the life of the process.
TEST_F(BoardPage, CodecFileReadOncePerProcess) {
    zqtest::FixtureRoot root("board-laptop");
    root.write("/proc/asound/cards",
               "12 [Dock           ]: USB-Audio - ThinkPad Dock USB Audio\n"
               "                      Lenovo ThinkPad Dock USB Audio at usb-0000:00:14.0-4.1, high speed\n");
    root.write("/proc/asound/devices",
               " 40: [12- 0]: digital audio playback\n 41: [12- 0]: digital audio capture\n"
               " 42: [ 1- 0]: digital audio capture\n");
    root.write("/proc/asound/card12/codec#0", "Codec: Realtek ALC4030\n");
    auto audio_row = [] { return find_card(probe::collect_board(), "tree.audio")->rows.at(0); };
    Row first = audio_row();
    EXPECT_EQ(first.name, "ThinkPad Dock USB Audio");
    EXPECT_EQ(first.value, "Realtek ALC4030");
    EXPECT_EQ(first.extra, "1 / 1");  // the "[ 1-" line is another card's
    root.write("/proc/asound/card12/codec#0", "Codec: read again\n");
    EXPECT_EQ(audio_row().value, "Realtek ALC4030");
    root.remove("/proc/asound/card12");
    EXPECT_EQ(audio_row().value, "Realtek ALC4030");
}

TEST_F(BoardPage, RackServer) {
    zqtest::FixtureRoot root("board-server");
    Page page = probe::collect_board();
    EXPECT_EQ(page.headline, "Supermicro X10DRi");
    EXPECT_EQ(page.subline, t("chassis.server") + "   \u00b7   BIOS / Legacy");
    using M = std::map<std::string, std::string>;
    // Fillers everywhere; the empty and filler serial files wait for root.
    EXPECT_EQ(rows_of(find_card(page, "sec.machine")), (M{{t("f.manufacturer"), "Supermicro"},
                                                          {t("f.model"), "Super Server"},
                                                          {t("f.serial"), "<locked>"},
                                                          {t("f.uuid"), "<locked>"}}));
    EXPECT_EQ(rows_of(find_card(page, "sec.firmware"))[t("f.firmware_type")], "BIOS / Legacy");
    EXPECT_EQ(rows_of(find_card(page, "sec.chassis")), (M{{t("f.type"), t("chassis.server") + " (17)"},
                                                          {t("f.manufacturer"), "Supermicro"},
                                                          {t("f.serial"), "<locked>"}}));
    const Card* s = find_card(page, "tree.sensors");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rows.front().name, t("tree.cpu") + "  Package id 0");
    EXPECT_EQ(s->rows[1].name, t("tree.cpu") + "  Package id 1");
    EXPECT_EQ(s->rows[3].extra, "");  // crit 0: no limit
    EXPECT_EQ(rows_of(s)["nct6776"], "3,344 V");
    EXPECT_FALSE(find_card(page, "tree.thermal_zones"));
    EXPECT_FALSE(find_card(page, "tree.audio"));
    EXPECT_EQ(rows_of(find_card(page, "sec.kernel"))[t("f.os")], "'Red Hat Enterprise Linux 9.3 (Plow)'");

    // After elevation the collector's values fill the locked rows.
    ASSERT_TRUE(
        hw::RootData::instance().parse("V 1\nD product_serial|S1234567\nD product_uuid|00000000-"
                                       "0000-0000-0000-0cc47a000001\nD board_serial|NM1234\n"
                                       "D chassis_serial|C8190AB\nA 0|\n"));
    page = probe::collect_board();
    EXPECT_EQ(rows_of(find_card(page, "sec.machine"))[t("f.serial")], "S1234567");
    EXPECT_EQ(rows_of(find_card(page, "sec.machine"))[t("f.uuid")], "00000000-0000-0000-0000-0cc47a000001");
    EXPECT_EQ(rows_of(find_card(page, "sec.mainboard"))[t("f.serial")], "NM1234");
    EXPECT_EQ(rows_of(find_card(page, "sec.chassis"))[t("f.serial")], "C8190AB");
}

// The chipset rows need the PCI name database, which a process loads once:
// the program's own report over the fixture reads the system's copy.
TEST_F(BoardPage, ChipsetNamedFromTheDatabase) {
    if (!util::readable("/usr/share/misc/pci.ids") && !util::readable("/usr/share/hwdata/pci.ids"))
        GTEST_SKIP() << "no PCI name database (scripts/deps.sh installs one)";
    zqtest::FixtureRoot root("board-server");
    auto r = zqtest::run_in_fixture(root.dir(), {zqtest::binary(), "--report"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t card = r.out.find(t("sec.chipset") + "\n");
    ASSERT_NE(card, std::string::npos) << r.out;
    const std::string rows = r.out.substr(card, r.out.find("\n\n", card) - card);
    // Both sockets' host bridges read alike: one row.
    EXPECT_EQ(rows, t("sec.chipset") + "\n    " + t("f.host_bridge") +
                        ": Intel Corporation Xeon E7 v4/Xeon E5 v4/Xeon E3 v4/Xeon D DMI2\n    " +
                        t("f.isa_bridge") +
                        ": Intel Corporation C610/X99 series chipset LPC Controller\n"
                        "    SMBus: Intel Corporation C610/X99 series chipset SMBus Controller");
}

TEST_F(BoardPage, DmiFillersChassisAndVirtualization) {
    struct Case {
        std::map<std::string, std::string> dmi;  // file -> content
        std::string hypervisor_type;
        bool cpu_flag;
        std::string headline;  // "" = the host name
        std::string subline;
    };
    const std::string sep = "   \u00b7   ";
    const std::string virt = t("f.virtualization") + ": ";
    const std::vector<Case> cases = {
        {{{"board_vendor", "ASUSTeK COMPUTER INC."}, {"board_name", "Default string"}, {"chassis_type", "3"}},
         "",
         false,
         "ASUSTeK COMPUTER INC.",
         t("chassis.desktop") + sep + "BIOS / Legacy"},
        {{{"board_vendor", "TO BE FILLED BY O.E.M."},
          {"board_name", "Default string2"},
          {"chassis_type", "99"}},
         "",
         false,
         "Default string2",
         "BIOS / Legacy"},
        {{{"sys_vendor", "QEMU"}, {"product_name", "Standard PC (Q35 + ICH9, 2009)"}, {"chassis_type", "1"}},
         "",
         true,
         "QEMU Standard PC (Q35 + ICH9, 2009)",
         virt + "QEMU" + sep + t("common.other") + sep + "BIOS / Legacy"},
        {{{"sys_vendor", "qemu"}, {"product_name", "KVM Virtual Machine"}},
         "",
         true,
         "qemu KVM Virtual Machine",
         virt + "KVM" + sep + "BIOS / Legacy"},
        {{{"sys_vendor", "innotek GmbH"}, {"product_name", "VirtualBox"}, {"chassis_type", "0"}},
         "",
         false,
         "innotek GmbH VirtualBox",
         virt + "Oracle VirtualBox" + sep + "BIOS / Legacy"},
        {{{"sys_vendor", "Xen"}, {"product_name", "HVM domU"}},
         "xen",
         false,
         "Xen HVM domU",
         virt + "Xen" + sep + "BIOS / Legacy"},
        {{}, "Xen", true, "", virt + "Xen" + sep + "BIOS / Legacy"},
        {{}, "", true, "", virt + t("value.hypervisor_present") + sep + "BIOS / Legacy"},
        {{}, "", false, "", "BIOS / Legacy"},
    };
    const std::string host = util::trim(zqtest::run({"uname", "-n"}).out);
    for (const Case& c : cases) {
        zqtest::FixtureRoot root;
        for (const auto& [file, content] : c.dmi) root.write(DMI + file, content + "\n");
        if (!c.dmi.empty()) root.symlink("/sys/class/dmi/id", "../../devices/virtual/dmi/id");
        if (!c.hypervisor_type.empty()) root.write("/sys/hypervisor/type", c.hypervisor_type + "\n");
        root.write("/proc/cpuinfo", std::string("processor\t: 0\nflags\t\t: fpu vme") +
                                        (c.cpu_flag ? " hypervisor lahf_lm" : " lahf_lm") + "\n\n");
        Page page = probe::collect_board();
        const std::string want_headline = c.headline.empty() ? host : c.headline;
        EXPECT_EQ(page.headline, want_headline);
        EXPECT_EQ(page.subline, c.subline) << want_headline;
        // Without DMI the Mainboard card has nothing and is dropped.
        if (c.dmi.empty()) {
            EXPECT_FALSE(find_card(page, "sec.mainboard"));
        }
        const std::string virt_row = rows_of(find_card(page, "sec.machine"))[t("f.virtualization")];
        EXPECT_EQ(virt_row.empty(), !util::starts_with(c.subline, virt)) << want_headline;
    }
}

TEST_F(BoardPage, SerialRowsFromFilePrivilegedDataOrLocked) {
    struct Case {
        const char* file;  // nullptr: no attribute file
        const char* privileged;
        const char* want;  // nullptr: no row
    };
    const std::vector<Case> cases = {
        {"CZC1234XYZ", nullptr, "CZC1234XYZ"},
        {"CZC1234XYZ", "ROOT-1", "CZC1234XYZ"},
        {"System Serial Number", "ROOT-1", "ROOT-1"},
        {"", "ROOT-1", "ROOT-1"},
        {"", nullptr, "<locked>"},
        {"Default string", "", "<locked>"},
        {nullptr, "ROOT-1", "ROOT-1"},
        {nullptr, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        zqtest::FixtureRoot root;
        root.symlink("/sys/class/dmi/id", "../../devices/virtual/dmi/id");
        root.write(DMI + "sys_vendor", "HP\n");
        if (c.file) root.write(DMI + "product_serial", std::string(c.file) + "\n");
        hw::RootData::instance() = hw::RootData{};
        if (c.privileged)
            hw::RootData::instance().parse(std::string("V 1\nD product_serial|") + c.privileged +
                                           "\nD board_serial|B\n");
        auto rows = rows_of(find_card(probe::collect_board(), "sec.machine"));
        auto it = rows.find(t("f.serial"));
        std::string label =
            std::string(c.file ? c.file : "<no file>") + " / " + (c.privileged ? c.privileged : "-");
        if (!c.want) {
            EXPECT_EQ(it, rows.end()) << label;
        } else {
            ASSERT_NE(it, rows.end()) << label;
            EXPECT_EQ(it->second, c.want) << label;
        }
    }
}

// Firmware and kernel texts that are not UTF-8 reach no label broken.
TEST_F(BoardPage, BrokenTextIsRepaired) {
    zqtest::FixtureRoot root("board-laptop");
    root.write(DMI + "board_vendor", "LEN\xff\xfeOVO\n");
    root.write(DMI + "product_family", "Think\xc3(\n");
    root.write("/proc/bus/input/devices", "I: Bus=0003\nN: Name=\"Mouse \xe2\x82\"\nH: Handlers=mouse0\n");
    root.write("/etc/os-release", "PRETTY_NAME=\"Distro \xf0\x9f\x98\"\n");
    root.write(HW + "hwmon4/fan1_label", "Fan \x80\n");
    Page page = probe::collect_board();
    EXPECT_TRUE(zqtest::is_valid_utf8(page.headline)) << page.headline;
    EXPECT_EQ(page.headline, "LEN\ufffd\ufffdOVO 20QDCTO1WW");
    for (const Card& c : page.cards)
        for (const Row& r : c.rows) {
            EXPECT_TRUE(zqtest::is_valid_utf8(r.name)) << r.name;
            EXPECT_TRUE(zqtest::is_valid_utf8(r.value)) << r.value;
            EXPECT_TRUE(zqtest::is_valid_utf8(r.extra)) << r.extra;
        }
    EXPECT_TRUE(util::starts_with(find_card(page, "tree.input")->rows.at(0).name, "Mouse \ufffd"));
}

struct Shape {
    std::vector<std::string> fixed;  // everything of a row but its value
    std::map<std::string, std::string> live;
};

Shape shape_of(const Page& page) {
    Shape s;
    for (const Card& c : page.cards)
        for (const Row& r : c.rows) {
            s.fixed.push_back(c.title + "|" + r.name + "|" + r.note + "|" + r.live + "|" + r.extra +
                              (r.live.empty() ? "|" + r.value : ""));
            if (!r.live.empty()) s.live[r.live] = r.value;
        }
    return s;
}

std::string live_value(const Page& page, const std::string& note) {
    for (const Card& c : page.cards)
        for (const Row& r : c.rows)
            if (!r.live.empty() && r.note == note) return r.value;
    return "<none>";
}

// A fan that reads negative or NaN is no reading: no row at build, and the
// previous text on a tick.
TEST_F(BoardPage, FanWithoutAReading) {
    zqtest::FixtureRoot root("board-laptop");
    root.write(HW + "hwmon4/fan2_input", "-1\n");
    Page page = probe::collect_board();
    EXPECT_EQ(live_value(page, HW + "hwmon4/fan2_input"), "<none>");
    double now = 100.0;
    for (const char* text : {"1800", "nan", "-3000"}) {
        root.write(HW + "hwmon4/fan1_input", std::string(text) + "\n");
        probe::refresh_live_board(page, now += 1.0);
    }
    EXPECT_EQ(live_value(page, HW + "hwmon4/fan1_input"), "1.800 min\u207b\u00b9");
}

TEST_F(BoardPage, TenTicksChangeOnlyLiveValuesAndReadTheDriveOnce) {
    zqtest::FixtureRoot root("board-laptop");
    Page page = probe::collect_board();
    const Shape built = shape_of(page);
    const std::string drive = HW + "hwmon6/temp1_input", package = HW + "hwmon3/temp1_input";
    const std::string fan = HW + "hwmon4/fan1_input", zone = "/sys/class/thermal/thermal_zone2";
    for (int tick = 0; tick < 10; ++tick) {
        root.write(package, std::to_string(60000 + 1000 * tick) + "\n");
        root.write(fan, std::to_string(3000 + tick) + "\n");
        root.write(drive, std::to_string(40000 + 1000 * tick) + "\n");
        root.write(zone + "/temp", std::to_string(70000 + 500 * tick) + "\n");
        probe::refresh_live_board(page, 500.0 + tick);
        EXPECT_EQ(live_value(page, package), util::fmt_double(60 + tick, 1) + " \u00b0C");
        EXPECT_EQ(live_value(page, fan), "3.00" + std::to_string(tick) + " min\u207b\u00b9");
        EXPECT_EQ(live_value(page, zone), util::fmt_double(70 + 0.5 * tick, 1) + " \u00b0C");
        // Reading the drive resets its spin-down timer: once in the ten ticks.
        EXPECT_EQ(live_value(page, drive), "40,0 \u00b0C") << tick;
    }
    const Shape after = shape_of(page);
    EXPECT_EQ(after.fixed, built.fixed);
    EXPECT_FALSE(after.live.at("uptime").empty());
    probe::refresh_live_board(page, 561.0);
    EXPECT_EQ(live_value(page, drive), "49,0 \u00b0C");
}

// Rows find their readings by path: a chip that goes away between builds, or
// a zone that disappears, shifts no value into another row.
TEST_F(BoardPage, VanishedChipAndZoneShiftNothing) {
    zqtest::FixtureRoot root("board-laptop");
    Page old_page = probe::collect_board();
    probe::refresh_live_board(old_page, 10.0);  // the kept list now holds every chip
    root.remove(HW + "hwmon3");                 // the processor chip goes
    root.remove("/sys/class/thermal/thermal_zone0");
    root.write(HW + "hwmon5/temp1_input", "66000\n");
    root.write(HW + "hwmon1/in0_input", "11900\n");
    root.write("/sys/class/thermal/thermal_zone3/temp", "21000\n");
    root.write("/sys/class/thermal/thermal_zone2/temp", "55000\n");
    Page page = probe::collect_board();
    for (double now : {11.0, 12.0}) {
        probe::refresh_live_board(page, now);
        probe::refresh_live_board(old_page, now);
    }
    const Card* s = find_card(page, "tree.sensors");
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rows.front().live, "sensor.0");
    EXPECT_EQ(s->rows.front().note, HW + "hwmon5/temp1_input");
    EXPECT_EQ(s->rows.front().value, "66,0 \u00b0C");
    EXPECT_EQ(live_value(page, HW + "hwmon1/in0_input"), "11,900 V");
    EXPECT_EQ(live_value(page, "/sys/class/thermal/thermal_zone3"), "21,0 \u00b0C");
    // The old page's rows of the vanished chip keep their last text.
    EXPECT_EQ(live_value(old_page, HW + "hwmon3/temp1_input"), "52,0 \u00b0C");
    EXPECT_EQ(live_value(old_page, HW + "hwmon5/temp1_input"), "66,0 \u00b0C");
    EXPECT_EQ(live_value(old_page, "/sys/class/thermal/thermal_zone0"), "48,0 \u00b0C");
    EXPECT_EQ(live_value(old_page, "/sys/class/thermal/thermal_zone2"), "55,0 \u00b0C");
}

// Real machines' DMI trees; their serial files are blank, as root would see
// them only through the collector.
TEST_F(BoardPage, RealDmiTrees) {
    struct Case {
        const char* archive;
        const char* headline;
        std::string subline;
        std::map<std::string, std::string> machine;
    };
    const std::string sep = "   \u00b7   ";
    const std::vector<Case> cases = {
        {"2i386-2c-nohugepage",
         "Dell Inc. 0DT097",
         t("chassis.rack") + sep + "BIOS / Legacy",
         {{t("f.manufacturer"), "Dell Inc."},
          {t("f.model"), "PowerEdge 1950"},
          {t("f.serial"), "<locked>"},
          {t("f.uuid"), "<locked>"}}},
        {"128arm-2pa2n8cluster4co",
         "Huawei BC82HPNBB",
         t("chassis.server") + sep + "BIOS / Legacy",
         {{t("f.manufacturer"), "Huawei"},
          {t("f.model"), "XA320 V2"},
          {t("f.serial"), "2102312MEA10K9000003"},
          {t("f.uuid"), "76cfcdd4-c8a7-9486-e911-c1d00a756a75"}}},
        {"nvidia-dgx-gb10",
         "NVIDIA P4242",
         t("chassis.server") + sep + "BIOS / Legacy",
         {{t("f.manufacturer"), "NVIDIA"},
          {t("f.model"), "NVIDIA_DGX_Spark"},
          {t("f.family"), "DGX Spark"},
          {t("f.version"), "A.7"},
          {t("f.sku"), "0000"}}},
        {"64amd64-4s2n4ca2co",
         "Dell 040N24",
         t("chassis.rack") + sep + "BIOS / Legacy",
         {{t("f.manufacturer"), "Dell"},
          {t("f.model"), "PowerEdge C6145"},
          {t("f.serial"), "<locked>"},
          {t("f.uuid"), "<locked>"}}},
    };
    for (const Case& c : cases) {
        const std::string tarball = zqtest::shared_data(std::string("hwloc-linux/") + c.archive + ".tar.bz2");
        if (tarball.empty() || !util::path_exists(tarball)) GTEST_SKIP() << "shared data not available";
        zqtest::TempDir tmp;
        // Only the DMI files: unpacking whole trees costs seconds each.
        auto untar =
            zqtest::run({"tar", "-xjf", tarball, "-C", tmp.path(), "--wildcards", "*/sys/class/dmi/*",
                         "*/sys/devices/virtual/dmi/*", "*/sys/firmware/efi/*", "*/proc/cpuinfo"});
        std::vector<std::string> tops = util::list_dir(tmp.path(), "");
        ASSERT_EQ(tops.size(), 1u) << c.archive << untar.err;
        const std::string top = tmp.path() + "/" + tops.front();
        zqtest::ScopedRoot scoped(top);
        hw::RootData::instance() = hw::RootData{};
        Page page = probe::collect_board();
        EXPECT_EQ(page.headline, c.headline);
        EXPECT_EQ(page.subline, c.subline) << c.archive;
        EXPECT_EQ(rows_of(find_card(page, "sec.machine")), c.machine) << c.archive;
        for (const Card& card : page.cards)
            for (const Row& r : card.rows) EXPECT_TRUE(zqtest::is_valid_utf8(r.value)) << c.archive;
        // Collected as root, the serials fill the locked rows on the next build.
        hw::RootData::instance().parse(
            "V 1\nD product_serial|SVC-TAG-1\nD product_uuid|4c4c4544-0001\n"
            "D board_serial|..CN123\nD chassis_serial|SVC-TAG-1\n");
        const Page filled = probe::collect_board();
        for (const Card& card : filled.cards)
            for (const Row& r : card.rows) EXPECT_FALSE(r.locked) << c.archive << " " << r.name;
    }
}

// This machine is a guest without DMI: the host name heads the page.
TEST_F(BoardPage, ThisMachine) {
    Page page = probe::collect_board();
    const std::string host = util::trim(zqtest::run({"uname", "-n"}).out);
    const std::string release = util::trim(zqtest::run({"uname", "-r"}).out);
    const std::string os = util::trim(
        zqtest::run({"sh", "-c", ". /etc/os-release 2>/dev/null && printf %s \"$PRETTY_NAME\""}).out);
    const bool efi = util::is_dir("/sys/firmware/efi");
    if (util::read_file("/sys/class/dmi/id/board_vendor").empty() &&
        util::read_file("/sys/class/dmi/id/board_name").empty() &&
        util::read_file("/sys/class/dmi/id/sys_vendor").empty()) {
        EXPECT_EQ(page.headline, host);
    }
    EXPECT_TRUE(util::ends_with(page.subline, efi ? "UEFI" : "BIOS / Legacy")) << page.subline;
    bool flagged = false;
    for (const std::string& line : util::read_lines("/proc/cpuinfo"))
        flagged =
            flagged || (util::starts_with(line, "flags") && line.find(" hypervisor") != std::string::npos);
    if (flagged) {
        EXPECT_TRUE(util::starts_with(page.subline, t("f.virtualization") + ": ")) << page.subline;
    }
    auto kernel = rows_of(find_card(page, "sec.kernel"));
    EXPECT_EQ(kernel[t("f.hostname")], host);
    EXPECT_EQ(kernel[t("f.kernel")], "Linux " + release);
    if (!os.empty()) {
        EXPECT_EQ(kernel[t("f.os")], os);
    }
    EXPECT_FALSE(kernel[t("f.uptime")].empty());
}

// An ordinary user cannot read serial numbers or a protected efivar: the
// program's report, run dropped to "nobody", marks them.
TEST_F(BoardPage, ReportAsUnprivilegedUserShowsLockedRows) {
    // The fixture's files belong to whoever runs the tests: only root can
    // drop to a user they are hidden from.
    if (::geteuid() != 0) GTEST_SKIP() << "dropping to another user needs root";
    zqtest::FixtureRoot root("board-laptop");
    for (const char* attr : {"board_serial", "product_serial", "product_uuid", "chassis_serial"})
        ASSERT_EQ(::chmod(root.on_disk(DMI + attr).c_str(), 0400), 0);
    ASSERT_EQ(::chmod(root.on_disk(SB).c_str(), 0600), 0);
    auto r = zqtest::run_in_fixture(root.dir(), {"setpriv", "--reuid=65534", "--regid=65534",
                                                 "--clear-groups", zqtest::binary(), "--report"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    const size_t board = r.out.find("LENOVO 20QDCTO1WW\nNotebook");
    ASSERT_NE(board, std::string::npos) << r.out;
    const std::string needs_root = t("msg.needs_root");
    for (const std::string& line :
         {t("f.serial") + ": " + needs_root, t("f.uuid") + ": " + needs_root,
          t("f.secure_boot") + ": " + needs_root, t("f.efi_arch") + ": 64 Bit", t("tree.thermal_zones")})
        EXPECT_NE(r.out.find(line, board), std::string::npos) << line;
    size_t locked = 0;
    for (size_t at = r.out.find(t("f.serial") + ": " + needs_root, board); at != std::string::npos;
         at = r.out.find(t("f.serial") + ": " + needs_root, at + 1))
        ++locked;
    EXPECT_EQ(locked, 3u);
    EXPECT_EQ(r.out.find("L1HF01234567"), std::string::npos);
}

}  // namespace
