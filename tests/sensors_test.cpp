// Hardware-monitor readings from a hwmon tree laid out as the kernel does:
// class links into the device tree, chips with and without names, device
// links that tell drives, wireless cards and network PHYs apart.
#include <gtest/gtest.h>

#include "fixture.h"
#include "i18n.h"
#include "sensors.h"

namespace {

using sensors::Kind;
using sensors::Reading;

const std::string HW = "/sys/class/hwmon";

std::string place(const char* key, const std::string& suffix = "") {
    std::string p = tr(key);
    return suffix.empty() ? p : p + " " + suffix;
}

const Reading* find(const std::vector<Reading>& list, const std::string& chip, Kind kind,
                    const std::string& path_end) {
    for (const Reading& r : list)
        if (r.chip == chip && r.kind == kind && r.path.size() >= path_end.size() &&
            r.path.compare(r.path.size() - path_end.size(), path_end.size(), path_end) == 0)
            return &r;
    return nullptr;
}

TEST(SensorsCollect, ReadsEveryNamedChipInPlaceOrder) {
    zqtest::FixtureRoot root("hwmon");
    const auto list = sensors::collect();
    std::vector<std::string> seen;
    for (const Reading& r : list) seen.push_back(r.chip + ":" + r.path.substr(HW.size() + 1));
    const std::vector<std::string> expected = {
        // processor first, graphics second, the rest in hwmon order
        "k10temp:hwmon2/temp1_input",        "k10temp:hwmon2/temp3_input", "amdgpu:hwmon1/temp1_input",
        "amdgpu:hwmon1/in0_input",           "amdgpu:hwmon1/in1_input",    "amdgpu:hwmon1/power1_average",
        "acpitz:hwmon0/temp1_input",         "nvme:hwmon3/temp1_input",    "nct6798:hwmon4/temp1_input",
        "nct6798:hwmon4/fan1_input",         "nct6798:hwmon4/fan2_input",  "nct6798:hwmon4/in0_input",
        "nct6798:hwmon4/in1_input",          "nct6798:hwmon4/in2_input",   "iwlwifi_1:hwmon6/temp1_input",
        "r8169_0_500:00:hwmon7/temp1_input", "BAT0:hwmon8/in0_input",      "BAT0:hwmon8/curr1_input",
    };
    EXPECT_EQ(seen, expected);
}

TEST(SensorsCollect, ValuesLabelsAndLimitsInDisplayUnits) {
    zqtest::FixtureRoot root("hwmon");
    const auto list = sensors::collect();

    const Reading* tctl = find(list, "k10temp", Kind::Temperature, "temp1_input");
    ASSERT_NE(tctl, nullptr);
    EXPECT_EQ(tctl->place, place("tree.cpu"));
    EXPECT_EQ(tctl->label, "Tctl");
    EXPECT_DOUBLE_EQ(tctl->value, 45.25);
    EXPECT_DOUBLE_EQ(tctl->max, 0.0);
    EXPECT_DOUBLE_EQ(tctl->crit, 0.0);

    const Reading* composite = find(list, "nvme", Kind::Temperature, "temp1_input");
    ASSERT_NE(composite, nullptr);
    EXPECT_DOUBLE_EQ(composite->max, 81.85);
    EXPECT_DOUBLE_EQ(composite->crit, 84.85);

    const Reading* ppt = find(list, "amdgpu", Kind::Power, "power1_average");
    ASSERT_NE(ppt, nullptr);
    EXPECT_DOUBLE_EQ(ppt->value, 15.0);
    EXPECT_EQ(ppt->label, "PPT");

    const Reading* fan1 = find(list, "nct6798", Kind::Fan, "fan1_input");
    ASSERT_NE(fan1, nullptr);
    EXPECT_DOUBLE_EQ(fan1->value, 0.0);  // a stopped fan is still a fan

    const Reading* amps = find(list, "BAT0", Kind::Current, "curr1_input");
    ASSERT_NE(amps, nullptr);
    EXPECT_DOUBLE_EQ(amps->value, 1.2);
}

TEST(SensorsCollect, VoltageChannelZeroIsRead) {
    zqtest::FixtureRoot root("hwmon");
    const auto list = sensors::collect();
    const Reading* vcore = find(list, "nct6798", Kind::Voltage, "/in0_input");
    ASSERT_NE(vcore, nullptr);
    EXPECT_DOUBLE_EQ(vcore->value, 1.008);
    EXPECT_DOUBLE_EQ(vcore->max, 1.744);
    const Reading* vbat = find(list, "BAT0", Kind::Voltage, "/in0_input");
    ASSERT_NE(vbat, nullptr);
    EXPECT_DOUBLE_EQ(vbat->value, 12.65);
    EXPECT_EQ(find(list, "nct6798", Kind::Voltage, "/in4_input"), nullptr);  // unconnected: 0 mV
}

TEST(SensorsCollect, SkipsUnnamedChipsAndUnreadableInputs) {
    zqtest::FixtureRoot root("hwmon");
    const auto list = sensors::collect();
    for (const Reading& r : list) {
        EXPECT_EQ(r.path.find("hwmon5"), std::string::npos) << "chip without a name";
        EXPECT_NE(r.path, HW + "/hwmon3/temp2_input") << "empty input";
    }
    root.write(HW + "/hwmon2/temp33_input", "50000\n");
    root.write(HW + "/hwmon2/temp32_input", "51000\n");
    const auto more = sensors::collect();
    EXPECT_NE(find(more, "k10temp", Kind::Temperature, "/temp32_input"), nullptr);
    EXPECT_EQ(find(more, "k10temp", Kind::Temperature, "/temp33_input"), nullptr);
}

TEST(SensorsCollect, PlacesFromDriverAndDeviceLinks) {
    zqtest::FixtureRoot root("hwmon");
    auto place_of = [](const std::vector<Reading>& list, const std::string& chip) {
        for (const Reading& r : list)
            if (r.chip == chip) return r.place;
        return std::string("<missing>");
    };
    const auto list = sensors::collect();
    EXPECT_EQ(place_of(list, "amdgpu"), place("tree.graphics"));
    EXPECT_EQ(place_of(list, "acpitz"), place("sec.mainboard"));
    EXPECT_EQ(place_of(list, "nvme"), place("tree.storage", "Samsung SSD 980 PRO 1TB"));
    EXPECT_EQ(place_of(list, "nct6798"), "nct6798");
    EXPECT_EQ(place_of(list, "iwlwifi_1"), place("tree.wireless", "wlp4s0"));
    EXPECT_EQ(place_of(list, "r8169_0_500:00"), place("tree.network", "enp5s0"));
    EXPECT_EQ(place_of(list, "BAT0"), place("tree.power"));

    // A controller without a model is told by its first namespace.
    root.remove(HW + "/hwmon3/device/model");
    EXPECT_EQ(place_of(sensors::collect(), "nvme"), place("tree.storage", "nvme0n1"));
    root.remove(HW + "/hwmon3/device/nvme0n1");
    EXPECT_EQ(place_of(sensors::collect(), "nvme"), place("tree.storage"));
}

TEST(SensorsCollect, NoHwmonClassGivesNothing) {
    zqtest::FixtureRoot root;
    EXPECT_TRUE(sensors::collect().empty());
}

TEST(SensorsRefresh, RereadsValuesOnly) {
    zqtest::FixtureRoot root("hwmon");
    auto list = sensors::collect();
    const size_t count = list.size();
    root.write(HW + "/hwmon2/temp1_input", "50000\n");
    root.write(HW + "/hwmon1/power1_average", "22500000\n");
    root.write(HW + "/hwmon4/fan2_input", "1500\n");
    root.write(HW + "/hwmon4/in1_input", "0\n");
    root.write(HW + "/hwmon3/temp1_input", "");  // went unreadable
    root.write(HW + "/hwmon3/temp1_crit", "90000\n");
    root.write(HW + "/hwmon2/temp2_input", "30000\n");  // new channel: not picked up
    sensors::refresh(list);

    ASSERT_EQ(list.size(), count);
    EXPECT_DOUBLE_EQ(find(list, "k10temp", Kind::Temperature, "/temp1_input")->value, 50.0);
    EXPECT_DOUBLE_EQ(find(list, "amdgpu", Kind::Power, "/power1_average")->value, 22.5);
    EXPECT_DOUBLE_EQ(find(list, "nct6798", Kind::Fan, "/fan2_input")->value, 1500.0);
    EXPECT_DOUBLE_EQ(find(list, "nct6798", Kind::Voltage, "/in1_input")->value, 0.0);
    const Reading* composite = find(list, "nvme", Kind::Temperature, "/temp1_input");
    EXPECT_DOUBLE_EQ(composite->value, 38.85);
    EXPECT_DOUBLE_EQ(composite->crit, 84.85);
}

// Within a page collection every page gets the one reading; after it, a
// collection reads afresh.
TEST(SensorsCollect, OneReadingPerPageCollection) {
    zqtest::FixtureRoot root("hwmon");
    const std::string file = HW + "/hwmon2/temp1_input";
    sensors::keep_collection(true);
    const double first = find(sensors::collect(), "k10temp", Kind::Temperature, "/temp1_input")->value;
    root.write(file, "71000\n");
    EXPECT_DOUBLE_EQ(find(sensors::collect(), "k10temp", Kind::Temperature, "/temp1_input")->value, first);
    sensors::keep_collection(false);
    EXPECT_DOUBLE_EQ(find(sensors::collect(), "k10temp", Kind::Temperature, "/temp1_input")->value, 71.0);
}

// The list the refreshers share: one re-read per tick, drive temperatures
// once a minute, and a fresh collection only when a row's path is unknown.
TEST(SensorsKept, SharedListThrottlesDrivesAndFollowsChips) {
    zqtest::FixtureRoot root("hwmon");
    const std::string drive =
        "/sys/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/hwmon/hwmon9";
    root.write(drive + "/name", "drivetemp\n");
    root.write(drive + "/temp1_input", "31000\n");
    root.symlink(HW + "/hwmon9",
                 "../../devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/hwmon/hwmon9");
    sensors::forget_kept();
    const std::string cpu = HW + "/hwmon2/temp1_input", disk = HW + "/hwmon9/temp1_input";
    ASSERT_NE(sensors::kept_reading(disk, 100.0), nullptr);
    root.write(HW + "/hwmon2/temp1_input", "61000\n");
    root.write(drive + "/temp1_input", "45000\n");
    for (double t = 101.0; t < 111.0; t += 1.0) sensors::kept_readings(t);
    EXPECT_DOUBLE_EQ(sensors::kept_reading(cpu, 110.2)->value, 61.0);
    EXPECT_DOUBLE_EQ(sensors::kept_reading(disk, 110.2)->value, 31.0);  // not read again yet
    sensors::kept_readings(160.0);
    EXPECT_DOUBLE_EQ(sensors::kept_reading(disk, 160.1)->value, 45.0);

    // A sleeping graphics card's channels are left alone until it wakes.
    const std::string gpu = HW + "/hwmon1/temp1_input";
    root.write(HW + "/hwmon1/device/power/runtime_status", "suspended\n");
    root.write(gpu, "77000\n");
    sensors::kept_readings(170.0);
    EXPECT_NE(sensors::kept_reading(gpu, 170.1)->value, 77.0);
    root.write(HW + "/hwmon1/device/power/runtime_status", "active\n");
    sensors::kept_readings(171.0);
    EXPECT_DOUBLE_EQ(sensors::kept_reading(gpu, 171.1)->value, 77.0);

    // A chip that appears is found by collecting once more; one that is gone
    // gives null and is not collected for again on the next tick.
    root.write("/sys/devices/virtual/hwmon/hwmon10/name", "acpi_fan\n");
    root.write("/sys/devices/virtual/hwmon/hwmon10/fan1_input", "2100\n");
    root.symlink(HW + "/hwmon10", "../../devices/virtual/hwmon/hwmon10");
    const Reading* fan = sensors::kept_reading(HW + "/hwmon10/fan1_input", 172.0);
    ASSERT_NE(fan, nullptr);
    EXPECT_EQ(fan->kind, Kind::Fan);
    EXPECT_EQ(sensors::kept_reading(HW + "/hwmon11/temp1_input", 173.0), nullptr);
    root.write("/sys/devices/virtual/hwmon/hwmon11/name", "late\n");
    root.write("/sys/devices/virtual/hwmon/hwmon11/temp1_input", "20000\n");
    root.symlink(HW + "/hwmon11", "../../devices/virtual/hwmon/hwmon11");
    EXPECT_EQ(sensors::kept_reading(HW + "/hwmon11/temp1_input", 174.0), nullptr);
    sensors::forget_kept();
}

}  // namespace
