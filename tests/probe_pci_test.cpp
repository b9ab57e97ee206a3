// The "pci" page: the PCIe link text, this machine's bus against lspci, and a
// recorded workstation (graphics behind a root port, NVMe, VMD with a
// five-digit domain, a second PCI segment, slots) with links that retrain, and
// a cloud guest whose functions signal by MSI-X alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.h"
#include "gpu.h"
#include "hw/ids.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

// The name database is read once per process: read it from the machine's
// own files before any test points the root at a fixture tree.
class SystemIdsFirst : public ::testing::Environment {
public:
    void SetUp() override { hw::Ids::instance(); }
};
const auto* const IDS_FIRST = ::testing::AddGlobalTestEnvironment(new SystemIdsFirst);

const probe::Card* card_titled(const probe::Page& page, const std::string& title) {
    for (const probe::Card& c : page.cards)
        if (c.title == title) return &c;
    return nullptr;
}

const probe::Card* card_of(const probe::Page& page, const std::string& address) {
    for (const probe::Card& c : page.cards)
        if (c.subtitle == address) return &c;
    return nullptr;
}

std::string value_of(const probe::Card& card, const std::string& name) {
    for (const probe::Row& r : card.rows)
        if (r.name == name) return r.value;
    return "<absent>";
}

probe::Page collect(int cls) {
    gpu::forget_snapshot();
    return probe::collect_pci(cls);
}

TEST(PcieLinkText, EveryGenerationWidthAndSlowLink) {
    struct Case {
        double gts;
        unsigned width;
        const char* text;
    } cases[] = {
        // clang-format off
        {2.5, 1, "PCIe 1.0 \u00d71"},   {5.0, 2, "PCIe 2.0 \u00d72"},    {4.9, 4, "PCIe 2.0 \u00d74"},
        {8.0, 0, "PCIe 3.0"},           {7.9, 8, "PCIe 3.0 \u00d78"},    {7.89, 8, "PCIe 2.0 \u00d78"},
        {16.0, 16, "PCIe 4.0 \u00d716"}, {32.0, 32, "PCIe 5.0 \u00d732"}, {64.0, 12, "PCIe 6.0 \u00d712"},
        {2.4, 1, "PCIe 1.0 \u00d71"},   {0.0, 16, ""},                   {-8.0, 4, ""},
        // clang-format on
    };
    for (const Case& c : cases) EXPECT_EQ(probe::pcie_link_text(c.gts, c.width), c.text) << c.gts;
    // Below the first generation the speed itself, in the language's digits.
    util::set_number_format(",", ".");
    EXPECT_EQ(probe::pcie_link_text(2.0, 1), "2,0 GT/s \u00d71");
    util::set_number_format(".", ",");
    EXPECT_EQ(probe::pcie_link_text(1.25, 0), "1.2 GT/s");
}

// ---- This machine's own bus ------------------------------------------------

// Slot -> field (Class, Vendor, Device, Driver ...) -> text.
using Lspci = std::map<std::string, std::map<std::string, std::string>>;

// "Red Hat, Inc. [1af4]" -> "Red Hat, Inc."
std::string without_id(const std::string& s) {
    size_t bracket = s.rfind(" [");
    return bracket == std::string::npos ? s : s.substr(0, bracket);
}

Lspci run_lspci() {
    Lspci out;
    zqtest::RunResult r = zqtest::run({"lspci", "-D", "-nn", "-k", "-vmm"});
    if (r.status != 0) return out;
    std::istringstream in(r.out);
    std::string line, slot;
    while (std::getline(in, line)) {
        size_t colon = line.find(":\t");
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon), value = line.substr(colon + 2);
        if (key == "Slot") slot = value;
        out[slot][key] = value;
    }
    return out;
}

TEST(PciThisMachine, EveryFunctionAsLspciNamesIt) {
    if (!probe::has_pci()) GTEST_SKIP() << "no PCI bus";
    Lspci lspci = run_lspci();
    if (lspci.empty()) GTEST_SKIP() << "lspci is not installed (scripts/deps.sh installs pciutils)";
    probe::Page all = collect(-1);
    std::map<int, probe::Page> by_class;
    for (int v : all.selector.values)
        if (v >= 0) by_class[v] = collect(v);
    EXPECT_EQ(all.stats.at(0).value, util::fmt_int(lspci.size()));

    for (const auto& [address, fn] : lspci) {
        SCOPED_TRACE(address);
        const std::string cls = fn.at("Class");
        const int base = static_cast<int>(util::parse_hex(cls.substr(cls.rfind('[') + 1, 2), 0));
        ASSERT_TRUE(by_class.count(base)) << cls;
        const probe::Card* detail = card_of(by_class[base], address);
        ASSERT_NE(detail, nullptr);
        EXPECT_EQ(value_of(*detail, tr("f.vendor")), without_id(fn.at("Vendor")));
        // lspci says "Device" for an id that pci.ids does not name: no model row.
        std::string device = without_id(fn.at("Device"));
        EXPECT_EQ(value_of(*detail, tr("f.model")), device == "Device" ? "<absent>" : device);
        EXPECT_EQ(value_of(*detail, tr("f.class")), without_id(cls));
        auto driver = fn.find("Driver");
        EXPECT_EQ(value_of(*detail, tr("f.driver")),
                  driver == fn.end() ? tr("value.no_driver") : driver->second);
        // lspci reads the revision from the config space and names none of 0.
        auto rev = fn.find("Rev");
        EXPECT_EQ(value_of(*detail, tr("f.revision")), rev == fn.end() ? "00" : rev->second);
        if (base == 0x06) continue;  // bridges show on the link card only, and only with a link
        int rows = 0;
        for (const probe::Card& c : all.cards)
            for (const probe::Row& r : c.rows) rows += util::starts_with(r.note, address + "  \u00b7  ");
        EXPECT_EQ(rows, 1);
    }
}

// ---- A recorded workstation ----------------------------------------------

const std::string RTX = "AD102 [GeForce RTX 4090]";
const std::string X = " \u00d7";

// A card as the report would print it: "name: value (extra)", columns joined by " | ".
std::vector<std::string> lines(const probe::Card* card) {
    std::vector<std::string> out;
    if (!card) return out;
    for (const probe::Row& r : card->rows) {
        std::string text = r.name + ": " + (r.cols.empty() ? r.value : util::join(r.cols, " | "));
        out.push_back(r.extra.empty() ? text : text + " (" + r.extra + ")");
    }
    return out;
}

using Lines = std::vector<std::string>;

class Workstation : public ::testing::Test {
protected:
    void SetUp() override {
        if (hw::Ids::instance().pci_ids_path().empty()) GTEST_SKIP() << "pci.ids is not installed";
    }
    std::string dir(const std::string& address) const {
        return util::real_path("/sys/bus/pci/devices/" + address);
    }
    zqtest::FixtureRoot root{"workstation"};
};

TEST_F(Workstation, AllClassesPage) {
    for (const char* s : {"11", "12", "13", "14", "15"})
        root.write(std::string("/sys/bus/pci/slots/") + s + "/address", "0000:20:00\n");
    probe::Page page = collect(-1);
    EXPECT_EQ(page.subline, "23 devices");
    // Fastest speed and widest link come from different functions.
    EXPECT_EQ(page.stats.at(1).value, "PCIe 5.0" + X + "16");
    EXPECT_EQ(page.selector.options,
              (Lines{"All", "Storage  (4)", "Network  (3)", "Graphics  (2)", "Video acceleration  (2)",
                     "Bridges  (8)", "Bus controllers  (3)", "Signal processing  (1)"}));
    EXPECT_EQ(page.selector.values, (std::vector<int>{-1, 1, 2, 3, 4, 6, 0x0c, 0x11}));
    EXPECT_EQ(card_titled(page, tr("sec.bridges")), nullptr);
    // Seated cards by slot number, then eight free ones still one by one; a slot without address is none.
    EXPECT_EQ(lines(card_titled(page, tr("f.slots"))),
              (Lines{"1: " + RTX + " | PCIe 4.0" + X + "16", "4: enp10s0 | PCIe 2.0" + X + "1", "2: empty | ",
                     "2-1: empty | ", "10: empty | ", "11: empty | ", "12: empty | ", "13: empty | ",
                     "14: empty | ", "15: empty | "}));
    // Bridges with a link over all domains, each naming what sits behind it in its own domain.
    EXPECT_EQ(
        lines(card_titled(page, tr("f.pcie_link"))),
        (Lines{
            "00:01.0: " + RTX + ", AD102 High Definition Audio Controller  [10de:22ba] | PCIe 4.0" + X + "16",
            "00:06.0: Samsung SSD 980 PRO 1TB | PCIe 3.0" + X + "4", "00:1c.0: enp3s0 | PCIe 1.0" + X + "1",
            "00:1c.4: enp10s0 | PCIe 3.0" + X + "2", "00:01.0: enP1p1s0f0np0 | PCIe 3.0" + X + "8",
            "e0:06.0: KIOXIA-EXCERIA SSD | PCIe 4.0" + X + "4"}));
    // Class cards in address order (bus 0a after bus 03, domain 10000 last).
    EXPECT_EQ(lines(card_titled(page, tr("tree.storage"))),
              (Lines{"Volume Management Device NVMe RAID Controller  [8086:467f]: RAID bus controller",
                     "Alder Lake-S PCH SATA Controller [AHCI Mode]  [8086:7ae2]: AHCI 1.0",
                     "Samsung SSD 980 PRO 1TB: PCIe 3.0" + X + "4 (max PCIe 4.0" + X + "4)",
                     "KIOXIA-EXCERIA SSD: PCIe 3.0" + X + "4"}));
    EXPECT_EQ(lines(card_titled(page, tr("tree.network"))),
              (Lines{"enp3s0: PCIe 1.0" + X + "1 (max PCIe 2.0" + X + "1)", "enp10s0: PCIe 2.0" + X + "1",
                     "enP1p1s0f0np0: PCIe 3.0" + X + "8 (max PCIe 3.0" + X + "16)"}));
    // Graphics names from the graphics enumeration carry no id pair.
    EXPECT_EQ(lines(card_titled(page, tr("tree.graphics"))),
              (Lines{"AlderLake-S GT1: VGA controller", RTX + ": PCIe 4.0" + X + "16"}));
    EXPECT_EQ(card_titled(page, tr("tree.network"))->rows[0].note,
              "0000:03:00.0  \u00b7  Intel Corporation  \u00b7  igc");

    root.write("/sys/bus/pci/slots/16/address", "0000:21:00\n");
    EXPECT_EQ(lines(card_titled(collect(-1), tr("f.slots"))).back(), "9" + X + " Slots: empty | ");
}

TEST_F(Workstation, DetailCardsOfOneClass) {
    probe::Page bridges = collect(6);
    EXPECT_EQ(bridges.selector.selected, 5);
    Lines classes;
    for (const probe::Card& c : bridges.cards)
        classes.push_back(c.subtitle + " " + value_of(c, tr("f.class")));
    // Subclass names, never a programming interface such as "Normal decode".
    EXPECT_EQ(classes,
              (Lines{"0000:00:00.0 Host bridge", "0000:00:01.0 PCI bridge", "0000:00:06.0 PCI bridge",
                     "0000:00:1c.0 PCI bridge", "0000:00:1c.4 PCI bridge", "0000:00:1f.0 ISA bridge",
                     "0001:00:01.0 PCI bridge", "10000:e0:06.0 PCI bridge"}));
    EXPECT_EQ(
        lines(card_of(bridges, "0000:00:06.0")),
        (Lines{"Vendor: Intel Corporation",
               "Model: 12th Gen Core Processor PCI Express x4 Controller #0 (8086:464d)",
               "Subsystem: Intel Corporation (8086:464d)", "Class: PCI bridge (060400)", "Revision: 02",
               "Driver: pcieport", "PCIe link: PCIe 3.0" + X + "4 (max PCIe 4.0" + X + "4)", "ASPM: L0s + L1",
               "IRQ: 121 (1\u00d7 MSI)", "IOMMU: 3", "Power state: D0", "Local CPUs: 0-19"}));
    EXPECT_EQ(value_of(*card_of(bridges, "0000:00:00.0"), tr("f.driver")), tr("value.no_driver"));
    // Plain MSI: the irq file reads the first vector, not the unused interrupt line.
    EXPECT_EQ(value_of(*card_of(collect(0x0c), "0000:00:14.0"), "IRQ"), "126");
    probe::Page net = collect(2);
    const probe::Card* mlx = card_of(net, "0001:01:00.0");
    ASSERT_NE(mlx, nullptr);
    EXPECT_EQ(value_of(*mlx, "SR-IOV"), "4 / 8");
    EXPECT_EQ(value_of(*mlx, tr("f.numa_nodes")), "0");
    probe::Page none = collect(0x42);
    EXPECT_TRUE(none.cards.empty());
    EXPECT_EQ(none.selector.selected, 0);
}

TEST_F(Workstation, TenTicksChangeOnlyLinkTexts) {
    probe::Page page = collect(-1);
    const probe::Page before = page;
    for (int tick = 0; tick < 10; ++tick) {
        if (tick == 3) root.write(dir("0000:01:00.0") + "/current_link_speed", "2.5 GT/s PCIe\n");  // idle
        if (tick == 5) root.write(dir("0000:00:1c.4") + "/current_link_width", "4\n");  // retrained
        if (tick == 7) root.remove(dir("10000:e1:00.0") + "/current_link_speed");       // link gone
        probe::refresh_live_pci(page);
    }
    ASSERT_EQ(page.cards.size(), before.cards.size());
    Lines changed;
    for (size_t c = 0; c < page.cards.size(); ++c) {
        Lines now = lines(&page.cards[c]), was = lines(&before.cards[c]);
        ASSERT_EQ(now.size(), was.size());
        for (size_t r = 0; r < now.size(); ++r)
            if (now[r] != was[r]) changed.push_back(now[r] + " " + page.cards[c].rows[r].live);
    }
    // Slot rows keep their text until the next collection; a vanished link keeps its last one.
    EXPECT_EQ(changed, (Lines{"00:1c.4: enp10s0 | PCIe 3.0" + X + "4 pci.link:0000:00:1c.4",
                              RTX + ": PCIe 1.0" + X + "16 pci.link:0000:01:00.0"}));
}

// virtio functions of a cloud guest whose hypervisor routes no INTx: irq reads
// 0 and the MSI-X vectors are all there is; the host bridge has neither.
TEST(PciCloudVm, VectorsWithoutAnInterruptLine) {
    zqtest::FixtureRoot root("cloud-vm");
    const probe::Page net = collect(2), bridges = collect(6);
    const Lines rows = lines(card_of(net, "0000:00:03.0"));
    EXPECT_NE(std::find(rows.begin(), rows.end(), "IRQ: none (3\u00d7 MSI)"), rows.end());
    const probe::Card* bridge = card_of(bridges, "0000:00:00.0");
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(value_of(*bridge, "IRQ"), "<absent>");
}

TEST(PciWithoutBus, NoTabAndOnlyTheSandboxHint) {
    zqtest::FixtureRoot root;
    zqtest::ScopedEnv snap("SNAP_NAME", nullptr);
    EXPECT_FALSE(probe::has_pci());
    probe::Page page = collect(-1);
    EXPECT_TRUE(page.headline.empty());
    EXPECT_TRUE(page.cards.empty());
    root.mkdir("/sys/bus/pci/devices");
    EXPECT_TRUE(probe::has_pci());
    zqtest::ScopedEnv in_snap("SNAP_NAME", "zorvq");
    page = collect(-1);
    EXPECT_EQ(page.headline, tr("tree.pci"));
    ASSERT_EQ(page.cards.size(), 1u);
    EXPECT_TRUE(page.cards[0].rows.empty());
    EXPECT_NE(page.cards[0].hint.find("hardware-observe"), std::string::npos);
}

}  // namespace
