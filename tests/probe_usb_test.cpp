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

std::vector<std::string> titles(const probe::Page& page) {
    std::vector<std::string> t;
    for (const probe::Card& c : page.cards) t.push_back(c.title);
    return t;
}

std::vector<std::string> tree_names(const probe::Page& page) {
    std::vector<std::string> names;
    if (!page.cards.empty())
        for (const probe::Row& r : page.cards[0].rows) names.push_back(r.name);
    return names;
}

class UsbBus : public ::testing::Test {
protected:
    void SetUp() override {
        // Names come from usb.ids: it must be the machine's, read before the fixture root.
        if (hw::Ids::instance().usb_ids_path().empty()) GTEST_SKIP() << "usb.ids is not installed";
        root = std::make_unique<zqtest::FixtureRoot>("workstation");
    }
    // Unplugs a device: its entry and its interfaces leave the bus directory.
    void unplug(const std::string& node) const {
        for (const std::string& e : util::list_dir("/sys/bus/usb/devices", node))
            if (e == node || util::starts_with(e, node + ":")) root->remove("/sys/bus/usb/devices/" + e);
    }
    std::unique_ptr<zqtest::FixtureRoot> root;
};

TEST_F(UsbBus, TreeAndCardsOfAllBuses) {
    EXPECT_TRUE(probe::has_usb());
    probe::Page page = probe::collect_usb_page(-1);
    EXPECT_EQ(page.headline, tr("tree.usb"));
    EXPECT_EQ(page.subline, "6 devices");
    ASSERT_EQ(page.stats.size(), 2u);
    EXPECT_EQ(page.stats[0].value, "6");
    EXPECT_EQ(page.stats[1].value, "5 Gbit/s");
    EXPECT_EQ(page.selector.options, (std::vector<std::string>{"All", "Bus 1  (5)", "Bus 2  (1)"}));
    EXPECT_EQ(page.selector.values, (std::vector<int>{-1, 1, 2}));

    // Bus by bus, the root hub first, ports as numbers (1-10 after 1-2),
    // each device right under the hub it hangs on.
    const std::string in = "    ";
    EXPECT_EQ(tree_names(page),
              (std::vector<std::string>{"USB controller 1", in + HUB, in + in + RECEIVER, in + in + WEBCAM,
                                        in + SERIAL, in + BLUETOOTH, "USB controller 2", in + LAN}));
    const probe::Card& tree = page.cards[0];
    EXPECT_TRUE(tree.wide);
    EXPECT_EQ(tree.rows[0].cols,
              (std::vector<std::string>{"480 Mbit/s", tr("usbclass.hub"), "12\u00d7 Port"}));
    EXPECT_EQ(tree.rows[3].cols, (std::vector<std::string>{"480 Mbit/s", "Video device, Audio", ""}));
    EXPECT_EQ(tree.rows[3].note, "1-1.4");
    EXPECT_EQ(tree.rows[6].extra, "USB 3.1 SuperSpeed+");
    for (const probe::Row& r : tree.rows) EXPECT_TRUE(r.live.empty());

    // One card per device, root hubs have none.
    EXPECT_EQ(titles(page),
              (std::vector<std::string>{tr("tree.usb"), HUB, RECEIVER, WEBCAM, SERIAL, BLUETOOTH, LAN}));
    const probe::Card& hub = page.cards[1];
    EXPECT_EQ(hub.subtitle, "05e3:0610");
    std::vector<std::string> rows;
    for (const probe::Row& r : hub.rows) rows.push_back(r.name + "=" + r.value + "|" + r.extra);
    EXPECT_EQ(rows, (std::vector<std::string>{"Vendor=GenesysLogic|", "Product=USB2.1 Hub|", "Class=Hub|",
                                              "USB version=2.10|", "Speed=480 Mbit/s|USB 2.0 High-Speed",
                                              "Maximum power=100 mA|", "Bus=1|", "Device number=2|",
                                              "Port=1-1|", "Interfaces=4\u00d7 Port|", "1.0=Hub|hub"}));
    // No strings of its own: vendor and product from usb.ids; a fixed device is not removable.
    const probe::Card& bt = page.cards[5];
    EXPECT_EQ(bt.rows[0].value, "Intel Corp.");
    EXPECT_EQ(bt.rows[1].value, "AX201 Bluetooth");
    EXPECT_EQ(bt.rows.back().name, "1.1");
    EXPECT_EQ(bt.rows.back().value, tr("sec.wireless"));
    for (const probe::Row& r : bt.rows) EXPECT_NE(r.name, tr("f.removable"));
    // A composite device lists every interface with its driver.
    const probe::Card& cam = page.cards[3];
    ASSERT_GE(cam.rows.size(), 4u);
    EXPECT_EQ(cam.rows[cam.rows.size() - 2].note, "1-1.4:1.2");
    EXPECT_EQ(cam.rows.back().extra, "snd-usb-audio");
}

TEST_F(UsbBus, ChoosingABus) {
    probe::Page bus2 = probe::collect_usb_page(2);
    EXPECT_EQ(bus2.selector.selected, 2);
    EXPECT_EQ(tree_names(bus2), (std::vector<std::string>{"USB controller 2", "    " + LAN}));
    EXPECT_EQ(titles(bus2), (std::vector<std::string>{tr("tree.usb"), LAN}));
    EXPECT_EQ(bus2.stats[0].value, "1");

    // A stored choice of a bus that went away shows everything, as "All" says.
    unplug("2-3");
    root->write("/sys/bus/usb/devices/usb3/idVendor", "1d6b\n");  // a third controller, nothing on it
    root->write("/sys/bus/usb/devices/usb3/busnum", "3\n");
    for (int asked : {2, 3, 7}) {
        probe::Page page = probe::collect_usb_page(asked);
        EXPECT_EQ(page.selector.options.size(), 0u) << "one bus with devices: no chooser";
        EXPECT_EQ(page.stats[0].value, "5") << asked;
        EXPECT_EQ(tree_names(page).size(), 8u) << asked;
    }
    // Devices on buses 1 and 3 again: bus 2 is no choice any more.
    root->write("/sys/bus/usb/devices/3-1/idVendor", "046d\n");
    root->write("/sys/bus/usb/devices/3-1/idProduct", "c52b\n");
    root->write("/sys/bus/usb/devices/3-1/busnum", "3\n");
    probe::Page stale = probe::collect_usb_page(2);
    EXPECT_EQ(stale.selector.values, (std::vector<int>{-1, 1, 3}));
    EXPECT_EQ(stale.selector.selected, 0);
    EXPECT_EQ(stale.stats[0].value, "6");
    probe::Page bus3 = probe::collect_usb_page(3);
    EXPECT_EQ(bus3.selector.selected, 2);
    // Neither strings nor a speed: named from usb.ids, no speed figure or row.
    EXPECT_EQ(tree_names(bus3),
              (std::vector<std::string>{"USB controller 3", "    Logitech, Inc. Unifying Receiver"}));
    EXPECT_EQ(bus3.stats.size(), 1u);
    EXPECT_EQ(bus3.cards[0].rows[1].extra, "USB 1.0 Low-Speed");
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
