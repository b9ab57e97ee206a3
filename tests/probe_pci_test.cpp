// The "pci" page: the PCIe link text, this machine's bus against lspci, and a
// recorded workstation (graphics behind a root port, NVMe, VMD with a
// five-digit domain, a second PCI segment, slots) with links that retrain.
#include <gtest/gtest.h>

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

std::vector<std::string> names_of(const probe::Card& card) {
    std::vector<std::string> names;
    for (const probe::Row& r : card.rows) names.push_back(r.name);
    return names;
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
        {2.5, 1, "PCIe 1.0 \u00d71"},
        {5.0, 2, "PCIe 2.0 \u00d72"},
        {4.9, 4, "PCIe 2.0 \u00d74"},
        {8.0, 0, "PCIe 3.0"},
        {7.9, 8, "PCIe 3.0 \u00d78"},
        {7.89, 8, "PCIe 2.0 \u00d78"},
        {16.0, 16, "PCIe 4.0 \u00d716"},
        {32.0, 32, "PCIe 5.0 \u00d732"},
        {64.0, 12, "PCIe 6.0 \u00d712"},
        {2.4, 1, "PCIe 1.0 \u00d71"},
        {0.0, 16, ""},
        {-8.0, 4, ""},
    };
    for (const Case& c : cases) EXPECT_EQ(probe::pcie_link_text(c.gts, c.width), c.text) << c.gts;
    // Below the first generation the speed itself, in the language's digits.
    util::set_number_format(",", ".");
    EXPECT_EQ(probe::pcie_link_text(2.0, 1), "2,0 GT/s \u00d71");
    util::set_number_format(".", ",");
    EXPECT_EQ(probe::pcie_link_text(1.25, 0), "1.2 GT/s");
}

// ---- This machine's own bus ------------------------------------------------

struct LspciFunction {
    std::map<std::string, std::string> fields;  // Class, Vendor, Device, Driver ...
};

// "Red Hat, Inc. [1af4]" -> "Red Hat, Inc."
std::string without_id(const std::string& s) {
    size_t bracket = s.rfind(" [");
    return bracket == std::string::npos ? s : s.substr(0, bracket);
}

std::map<std::string, LspciFunction> run_lspci() {
    std::map<std::string, LspciFunction> out;
    zqtest::RunResult r = zqtest::run({"lspci", "-D", "-nn", "-k", "-vmm"});
    if (r.status != 0) return out;
    std::istringstream in(r.out);
    std::string line, slot;
    while (std::getline(in, line)) {
        size_t colon = line.find(":\t");
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon), value = line.substr(colon + 2);
        if (key == "Slot") slot = value;
        out[slot].fields[key] = value;
    }
    return out;
}

TEST(PciThisMachine, EveryFunctionAsLspciNamesIt) {
    if (!probe::has_pci()) GTEST_SKIP() << "no PCI bus";
    std::map<std::string, LspciFunction> lspci = run_lspci();
    if (lspci.empty()) GTEST_SKIP() << "lspci is not installed (scripts/deps.sh installs pciutils)";
    probe::Page all = collect(-1);
    std::map<int, probe::Page> by_class;
    for (int v : all.selector.values)
        if (v >= 0) by_class[v] = collect(v);
    EXPECT_EQ(all.stats.at(0).value, util::fmt_int(lspci.size()));

    for (const auto& [address, fn] : lspci) {
        SCOPED_TRACE(address);
        const std::string cls = fn.fields.at("Class");
        const int base = static_cast<int>(util::parse_hex(cls.substr(cls.rfind('[') + 1, 2), 0));
        ASSERT_TRUE(by_class.count(base)) << cls;
        const probe::Card* detail = card_of(by_class[base], address);
        ASSERT_NE(detail, nullptr);
        EXPECT_EQ(value_of(*detail, tr("f.vendor")), without_id(fn.fields.at("Vendor")));
        // lspci says "Device" for an id that pci.ids does not name: no model row.
        std::string device = without_id(fn.fields.at("Device"));
        EXPECT_EQ(value_of(*detail, tr("f.model")), device == "Device" ? "<absent>" : device);
        EXPECT_EQ(value_of(*detail, tr("f.class")), without_id(cls));
        auto driver = fn.fields.find("Driver");
        EXPECT_EQ(value_of(*detail, tr("f.driver")),
                  driver == fn.fields.end() ? tr("value.no_driver") : driver->second);
        if (base == 0x06) continue;  // bridges show on the link card only, and only with a link
        int rows = 0;
        for (const probe::Card& c : all.cards)
            for (const probe::Row& r : c.rows) rows += util::starts_with(r.note, address + "  \u00b7  ");
        EXPECT_EQ(rows, 1);
    }
}

// ---- A recorded workstation ----------------------------------------------

const std::string RTX = "AD102 [GeForce RTX 4090]";
const std::string HDA = "AD102 High Definition Audio Controller  [10de:22ba]";

class Workstation : public ::testing::Test {
protected:
    void SetUp() override {
        if (hw::Ids::instance().pci_ids_path().empty()) GTEST_SKIP() << "pci.ids is not installed";
    }
    void link(const std::string& address, const std::string& speed, const std::string& width) const {
        const std::string dir = util::real_path("/sys/bus/pci/devices/" + address);
        root.write(dir + "/current_link_speed", speed + " GT/s PCIe\n");
        root.write(dir + "/current_link_width", width + "\n");
    }
    zqtest::FixtureRoot root{"workstation"};
};

TEST_F(Workstation, AllClassesPage) {
    probe::Page page = collect(-1);
    EXPECT_EQ(page.headline, tr("tree.pci"));
    EXPECT_EQ(page.subline, "23 devices");
    ASSERT_EQ(page.stats.size(), 2u);
    // Fastest speed and widest link come from different functions.
    EXPECT_EQ(page.stats[1].value, "PCIe 5.0 \u00d716");
    EXPECT_EQ(page.selector.options,
              (std::vector<std::string>{"All", "Storage  (4)", "Network  (3)", "Graphics  (2)",
                                        "Video acceleration  (2)", "Bridges  (8)", "Bus controllers  (3)",
                                        "Signal processing  (1)"}));
    EXPECT_EQ(page.selector.values, (std::vector<int>{-1, 1, 2, 3, 4, 6, 0x0c, 0x11}));
    EXPECT_EQ(card_titled(page, tr("sec.bridges")), nullptr);

    // Seated cards in slot order, then the free slots; one without an address is no slot.
    const probe::Card* slots = card_titled(page, tr("f.slots"));
    ASSERT_NE(slots, nullptr);
    EXPECT_EQ(names_of(*slots), (std::vector<std::string>{"1", "4", "2", "2-1", "10"}));
    EXPECT_EQ(slots->rows[0].cols, (std::vector<std::string>{RTX, "PCIe 4.0 \u00d716"}));
    EXPECT_EQ(slots->rows[2].cols, (std::vector<std::string>{tr("value.slot_empty"), ""}));

    // Bridges with a link, in address order over all domains; each names what
    // sits behind it in its own domain.
    const probe::Card* links = card_titled(page, tr("f.pcie_link"));
    ASSERT_NE(links, nullptr);
    EXPECT_EQ(names_of(*links),
              (std::vector<std::string>{"00:01.0", "00:06.0", "00:1c.0", "00:1c.4", "00:01.0", "e0:06.0"}));
    std::vector<std::string> behind, keys;
    for (const probe::Row& r : links->rows) {
        behind.push_back(r.cols.at(0));
        keys.push_back(r.live);
    }
    EXPECT_EQ(behind, (std::vector<std::string>{RTX + ", " + HDA, "Samsung SSD 980 PRO 1TB", "enp3s0",
                                                "enp10s0", "enP1p1s0f0np0", "KIOXIA-EXCERIA SSD"}));
    EXPECT_EQ(keys.back(), "pci.link:10000:e0:06.0");
    EXPECT_EQ(links->rows[4].note, "0001:00:01.0");
    EXPECT_EQ(links->rows[3].cols.at(1), "PCIe 3.0 \u00d72");

    // Class cards in address order (bus 0a after bus 03); reduced links say
    // what they could do.
    const probe::Card* net = card_titled(page, tr("tree.network"));
    ASSERT_NE(net, nullptr);
    EXPECT_EQ(net->subtitle, "3");
    EXPECT_EQ(names_of(*net), (std::vector<std::string>{"enp3s0", "enp10s0", "enP1p1s0f0np0"}));
    EXPECT_EQ(net->rows[0].extra, "max PCIe 2.0 \u00d71");
    EXPECT_EQ(net->rows[1].extra, "");
    EXPECT_EQ(net->rows[2].extra, "max PCIe 3.0 \u00d716");
    EXPECT_EQ(net->rows[0].note, "0000:03:00.0  \u00b7  Intel Corporation  \u00b7  igc");
    const probe::Card* storage = card_titled(page, tr("tree.storage"));
    ASSERT_NE(storage, nullptr);
    ASSERT_EQ(storage->rows.size(), 4u);
    EXPECT_EQ(storage->rows[0].value, "RAID bus controller");
    EXPECT_EQ(storage->rows[0].live, "");
    EXPECT_EQ(storage->rows[2].name, "Samsung SSD 980 PRO 1TB");
    EXPECT_EQ(storage->rows[2].extra, "max PCIe 4.0 \u00d74");
    EXPECT_EQ(storage->rows[3].live, "pci.link:10000:e1:00.0");
    // The graphics card is named by the graphics enumeration, the integrated one too.
    const probe::Card* graphics = card_titled(page, tr("tree.graphics"));
    ASSERT_NE(graphics, nullptr);
    EXPECT_EQ(names_of(*graphics), (std::vector<std::string>{"AlderLake-S GT1", RTX}));
    EXPECT_EQ(graphics->rows[0].value, "VGA controller");
}

TEST_F(Workstation, DetailCardsOfOneClass) {
    probe::Page bridges = collect(6);
    EXPECT_EQ(bridges.selector.selected, 5);
    ASSERT_EQ(bridges.cards.size(), 8u);
    std::vector<std::string> classes;
    for (const probe::Card& c : bridges.cards) classes.push_back(value_of(c, tr("f.class")));
    // Subclass names, never a programming interface such as "Normal decode".
    EXPECT_EQ(classes, (std::vector<std::string>{"Host bridge", "PCI bridge", "PCI bridge", "PCI bridge",
                                                 "PCI bridge", "ISA bridge", "PCI bridge", "PCI bridge"}));
    const probe::Card* port = card_of(bridges, "0000:00:06.0");
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(value_of(*port, "ASPM"), "L0s + L1");
    EXPECT_EQ(value_of(*port, tr("f.pcie_link")), "PCIe 3.0 \u00d74");
    EXPECT_EQ(port->rows.at(6).extra, "max PCIe 4.0 \u00d74");
    EXPECT_EQ(value_of(*port, "IOMMU"), "3");
    const probe::Card* host = card_of(bridges, "0000:00:00.0");
    ASSERT_NE(host, nullptr);
    EXPECT_EQ(value_of(*host, tr("f.driver")), tr("value.no_driver"));
    EXPECT_EQ(value_of(*host, tr("f.pcie_link")), "<absent>");
    EXPECT_EQ(value_of(*host, tr("f.subsystem")), "ASUSTeK Computer Inc.");

    probe::Page bus = collect(0x0c);
    const probe::Card* xhci = card_of(bus, "0000:00:14.0");
    ASSERT_NE(xhci, nullptr);
    EXPECT_EQ(value_of(*xhci, tr("f.class")), "XHCI");
    EXPECT_EQ(value_of(*xhci, "IRQ"), "<absent>") << "MSI only: the irq file reads 0";
    const probe::Card* smbus = card_of(bus, "0000:00:1f.4");
    ASSERT_NE(smbus, nullptr);
    EXPECT_EQ(value_of(*smbus, "IRQ"), "16");

    probe::Page storage = collect(1);
    const probe::Card* nvme = card_of(storage, "0000:02:00.0");
    ASSERT_NE(nvme, nullptr);
    EXPECT_EQ(nvme->title, "Samsung SSD 980 PRO 1TB");
    EXPECT_EQ(nvme->rows.at(1).extra, "144d:a80a");
    EXPECT_EQ(value_of(*nvme, tr("f.class")), "NVM Express");
    EXPECT_EQ(value_of(*nvme, tr("f.revision")), "00");
    std::string msi;
    for (const probe::Row& r : nvme->rows)
        if (r.name == "IRQ") msi = r.extra;
    EXPECT_EQ(msi, "33\u00d7 MSI");
    EXPECT_EQ(value_of(*nvme, tr("f.numa_nodes")), "<absent>");

    probe::Page net = collect(2);
    const probe::Card* mlx = card_of(net, "0001:01:00.0");
    ASSERT_NE(mlx, nullptr);
    EXPECT_EQ(value_of(*mlx, "SR-IOV"), "4 / 8");
    EXPECT_EQ(value_of(*mlx, tr("f.numa_nodes")), "0");
    EXPECT_EQ(value_of(*mlx, tr("f.local_cpus")), "0-19");

    probe::Page none = collect(0x42);
    EXPECT_TRUE(none.cards.empty());
    EXPECT_EQ(none.selector.selected, 0);
    EXPECT_EQ(none.stats.size(), 2u);
}

TEST_F(Workstation, TenTicksChangeOnlyLinkTexts) {
    probe::Page page = collect(-1);
    const probe::Page before = page;
    for (int tick = 0; tick < 10; ++tick) {
        if (tick == 3) link("0000:01:00.0", "2.5", "16");  // the graphics card drops to its idle speed
        if (tick == 5) link("0000:00:1c.4", "8.0", "4");   // a bridge retrains to full width
        if (tick == 7)
            root.remove(util::real_path("/sys/bus/pci/devices/10000:e1:00.0") + "/current_link_speed");
        probe::refresh_live_pci(page);
    }
    ASSERT_EQ(page.cards.size(), before.cards.size());
    std::vector<std::string> changed;
    for (size_t c = 0; c < page.cards.size(); ++c) {
        ASSERT_EQ(page.cards[c].rows.size(), before.cards[c].rows.size());
        for (size_t r = 0; r < page.cards[c].rows.size(); ++r) {
            const probe::Row& now = page.cards[c].rows[r];
            const probe::Row& was = before.cards[c].rows[r];
            EXPECT_EQ(now.name, was.name);
            EXPECT_EQ(now.note, was.note);
            EXPECT_EQ(now.extra, was.extra);
            ASSERT_EQ(now.cols.size(), was.cols.size());
            if (now.value == was.value && now.cols == was.cols) continue;
            EXPECT_FALSE(now.live.empty()) << now.name << " changed without a live key";
            changed.push_back(now.name + "=" + (now.cols.empty() ? now.value : now.cols.back()));
        }
    }
    // The slot row keeps its text until the page is collected again; the
    // function whose link vanished keeps its last one.
    EXPECT_EQ(changed, (std::vector<std::string>{"00:1c.4=PCIe 3.0 \u00d74", RTX + "=PCIe 1.0 \u00d716"}));
    EXPECT_EQ(page.stats[1].value, before.stats[1].value);
}

TEST_F(Workstation, ManyFreeSlotsFoldIntoOneRow) {
    for (const char* s : {"11", "12", "13", "14", "15"})
        root.write(std::string("/sys/bus/pci/slots/") + s + "/address", "0000:20:00\n");
    probe::Page page = collect(-1);
    const probe::Card* slots = card_titled(page, tr("f.slots"));
    ASSERT_NE(slots, nullptr);
    EXPECT_EQ(names_of(*slots),
              (std::vector<std::string>{"1", "4", "2", "2-1", "10", "11", "12", "13", "14", "15"}));
    root.write("/sys/bus/pci/slots/16/address", "0000:21:00\n");
    page = collect(-1);
    slots = card_titled(page, tr("f.slots"));
    ASSERT_NE(slots, nullptr);
    EXPECT_EQ(names_of(*slots), (std::vector<std::string>{"1", "4", "9 \u00d7 Slots"}));
    EXPECT_EQ(slots->rows[2].cols, (std::vector<std::string>{tr("value.slot_empty"), ""}));
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
