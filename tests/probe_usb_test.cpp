// The "usb" page on the recorded workstation's bus (two root hubs, a hub
// with devices on several ports, composite devices, devices that report no
// strings) and on buses changed under it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "fixture.h"
#include "hw/ids.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

const std::string HUB = "GenesysLogic USB2.1 Hub";
const std::string RECEIVER = "Logitech USB Receiver";
const std::string WEBCAM = "Logitech, Inc. HD Pro Webcam C920";
const std::string SERIAL = "QinHeng Electronics CH340 serial converter";
const std::string BLUETOOTH = "Intel Corp. AX201 Bluetooth";
const std::string LAN = "Realtek USB 10/100/1000 LAN";

using Lines = std::vector<std::string>;

// A card as the report prints it: "name: value (extra)", columns joined by " | ".
Lines lines(const probe::Card& card) {
    Lines out;
    for (const probe::Row& r : card.rows) {
        std::string text = r.name + ": " + (r.cols.empty() ? r.value : util::join(r.cols, " | "));
        out.push_back(r.extra.empty() ? text : text + " (" + r.extra + ")");
    }
    return out;
}

Lines titles(const probe::Page& page) {
    Lines t;
    for (const probe::Card& c : page.cards) t.push_back(c.title);
    return t;
}

class UsbBus : public ::testing::Test {
protected:
    void SetUp() override {
        // Names come from usb.ids: it must be the machine's, read before the fixture root.
        if (hw::Ids::instance().usb_ids_path().empty()) GTEST_SKIP() << "usb.ids is not installed";
        root = std::make_unique<zqtest::FixtureRoot>("workstation");
    }
    std::unique_ptr<zqtest::FixtureRoot> root;
};

TEST_F(UsbBus, TreeAndCardsOfAllBuses) {
    EXPECT_TRUE(probe::has_usb());
    probe::Page page = probe::collect_usb_page(-1);
    EXPECT_EQ(page.subline, "6 devices");
    EXPECT_EQ(page.stats.at(1).value, "5 Gbit/s");
    EXPECT_EQ(page.selector.options, (Lines{"All", "Bus 1  (5)", "Bus 2  (1)"}));
    EXPECT_EQ(page.selector.values, (std::vector<int>{-1, 1, 2}));
    // Bus by bus, the root hub first, ports as numbers (1-10 after 1-2), each
    // device under its hub; one card per device, none for a root hub.
    ASSERT_EQ(titles(page), (Lines{tr("tree.usb"), HUB, RECEIVER, WEBCAM, SERIAL, BLUETOOTH, LAN}));
    EXPECT_TRUE(page.cards[0].wide);
    const std::string HS = " (USB 2.0 High-Speed)", FS = " (USB 1.1 Full-Speed)";
    EXPECT_EQ(lines(page.cards[0]),
              (Lines{"USB controller 1: 480 Mbit/s | Hub | 12\u00d7 Port" + HS,
                     "    " + HUB + ": 480 Mbit/s | Hub | 4\u00d7 Port" + HS,
                     "        " + RECEIVER + ": 12 Mbit/s | Input device | " + FS,
                     "        " + WEBCAM + ": 480 Mbit/s | Video device, Audio | " + HS,
                     "    " + SERIAL + ": 12 Mbit/s | Vendor specific | " + FS,
                     "    " + BLUETOOTH + ": 12 Mbit/s | Wireless | " + FS,
                     "USB controller 2: 10 Gbit/s | Hub | 4\u00d7 Port (USB 3.1 SuperSpeed+)",
                     "    " + LAN + ": 5 Gbit/s | Vendor specific |  (USB 3.0 SuperSpeed)"}));
    EXPECT_EQ(page.cards[1].subtitle, "05e3:0610");
    EXPECT_EQ(lines(page.cards[1]),
              (Lines{"Vendor: GenesysLogic", "Product: USB2.1 Hub", "Class: Hub", "USB version: 2.10",
                     "Speed: 480 Mbit/s" + HS, "Maximum power: 100 mA", "Bus: 1", "Device number: 2",
                     "Port: 1-1", "Interfaces: 4\u00d7 Port", "1.0: Hub (hub)"}));
    // No strings of its own: vendor and product from usb.ids; fixed, so not removable.
    EXPECT_EQ(lines(page.cards[5]),
              (Lines{"Vendor: Intel Corp.", "Product: AX201 Bluetooth", "Class: Wireless",
                     "USB version: 2.00", "Speed: 12 Mbit/s" + FS, "Maximum power: 0 mA", "Bus: 1",
                     "Device number: 6", "Port: 1-10", "1.0: Wireless (btusb)", "1.1: Wireless (btusb)"}));
    EXPECT_EQ(lines(page.cards[3]).back(), "1.3: Audio (snd-usb-audio)");
    for (const probe::Card& c : page.cards)
        for (const probe::Row& r : c.rows) EXPECT_TRUE(r.live.empty());
}

TEST_F(UsbBus, ChoosingABus) {
    probe::Page bus2 = probe::collect_usb_page(2);
    EXPECT_EQ(bus2.selector.selected, 2);
    EXPECT_EQ(titles(bus2), (Lines{tr("tree.usb"), LAN}));
    EXPECT_EQ(lines(bus2.cards[0]).size(), 2u);
    // A device on a third bus, without strings or speed; bus 2 loses its device.
    root->remove("/sys/bus/usb/devices/2-3");
    root->remove("/sys/bus/usb/devices/2-3:1.0");
    for (const char* f : {"idVendor 046d", "idProduct c52b", "busnum 3"}) {
        std::string kv = f;
        root->write("/sys/bus/usb/devices/3-1/" + kv.substr(0, kv.find(' ')),
                    kv.substr(kv.find(' ') + 1) + "\n");
    }
    // The stored choice of bus 2, which is no choice any more, shows everything, as "All" says.
    probe::Page stale = probe::collect_usb_page(2);
    EXPECT_EQ(stale.selector.values, (std::vector<int>{-1, 1, 3}));
    EXPECT_EQ(stale.selector.selected, 0);
    EXPECT_EQ(stale.stats.at(0).value, "6");
    probe::Page bus3 = probe::collect_usb_page(3);
    EXPECT_EQ(bus3.selector.selected, 2);
    EXPECT_EQ(bus3.stats.size(), 1u) << "no speed figure without a speed";
    EXPECT_EQ(lines(bus3.cards[0]),
              (Lines{"    Logitech, Inc. Unifying Receiver:  |  |  (USB 1.0 Low-Speed)"}));
    // Devices on one bus only: no chooser, whatever is asked.
    root->remove("/sys/bus/usb/devices/3-1");
    EXPECT_TRUE(probe::collect_usb_page(1).selector.options.empty());
    EXPECT_EQ(probe::collect_usb_page(1).stats.at(0).value, "5");
}

TEST_F(UsbBus, HostileAttributes) {
    root->write("/sys/bus/usb/devices/1-2/manufacturer", "\xff\xfe Acme\n");
    root->write("/sys/bus/usb/devices/1-2/product", "\xc3\n");
    root->write("/sys/bus/usb/devices/1-2/speed", "fast\n");
    root->write("/sys/bus/usb/devices/1-2/busnum", "99999999999999999999\n");
    root->write("/sys/bus/usb/devices/1-2:1.0/bInterfaceClass", "13\n");
    probe::Page page = probe::collect_usb_page(-1);
    for (const probe::Card& c : page.cards) {
        EXPECT_TRUE(util::is_valid_utf8(c.title));
        for (const probe::Row& r : c.rows) EXPECT_TRUE(util::is_valid_utf8(r.name + r.value + r.extra));
    }
    // An unreadable bus number counts as bus 0, which sorts first.
    EXPECT_EQ(page.cards[0].rows[0].name, "    \ufffd\ufffd Acme \ufffd");
    EXPECT_EQ(page.cards[1].rows.back().value, "13");
}

TEST(UsbAbsent, NoTabWithoutDevices) {
    if (!util::is_dir("/sys/bus/usb/devices")) {
        EXPECT_FALSE(probe::has_usb()) << "this machine has no USB bus";
    }
    zqtest::FixtureRoot root;
    zqtest::ScopedEnv snap("SNAP_NAME", nullptr);
    EXPECT_FALSE(probe::has_usb());
    root.mkdir("/sys/bus/usb/devices");
    root.mkdir("/sys/bus/usb/devices/1-0:1.0");
    EXPECT_FALSE(probe::has_usb());
    EXPECT_TRUE(probe::collect_usb_page(-1).cards.empty());
    zqtest::ScopedEnv in_snap("SNAP_NAME", "zorvq");
    EXPECT_TRUE(probe::has_usb());
    probe::Page page = probe::collect_usb_page(-1);
    ASSERT_EQ(page.cards.size(), 1u);
    EXPECT_NE(page.cards[0].hint.find("hardware-observe"), std::string::npos);
}

}  // namespace
