// The "pci" page: every PCI function of /sys/bus/pci/devices, named from the
// PCI database and from what hangs on it, shown by slot, by bridge link and by
// class, with the current PCIe link texts rewritten on every tick.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "gpu.h"
#include "hw/ids.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace probe {

std::string pcie_link_text(double gts, unsigned width) {
    if (!(gts > 0.0)) return {};
    // The kernel reports 8.0 and 5.0 GT/s as rounded figures; a little slack
    // keeps a link that reads 7.9 in its generation.
    static const struct {
        double threshold;
        const char* generation;
    } GENERATIONS[] = {{63.0, "6.0"}, {31.0, "5.0"}, {15.0, "4.0"}, {7.9, "3.0"}, {4.9, "2.0"}, {2.4, "1.0"}};
    std::string text;
    for (const auto& g : GENERATIONS) {
        if (gts >= g.threshold) {
            text = std::string("PCIe ") + g.generation;
            break;
        }
    }
    if (text.empty()) text = util::fmt_double(gts, 1) + " GT/s";
    if (width != 0) text += " \u00d7" + util::fmt_int(width);
    return text;
}

namespace {

const std::string PCI_DIR = "/sys/bus/pci/devices";
const std::string SLOTS_DIR = "/sys/bus/pci/slots";
const std::string LIVE_PREFIX = "pci.link:";
const char* const NOTE_SEP = "  \u00b7  ";
constexpr unsigned BRIDGE = 0x06;
// More empty slots than this fold into one row.
constexpr size_t MAX_EMPTY_SLOT_ROWS = 8;

struct Dev {
    std::string address;
    uint32_t class_code = 0;
    uint16_t vendor = 0;
    uint16_t device = 0;
    std::string driver;
    std::string name;
    std::string vendor_name;
    std::string class_name;
    double cur_gts = 0.0;
    double max_gts = 0.0;
    uint32_t cur_width = 0;
    uint32_t max_width = 0;
    int32_t numa = -1;
    std::string irq;
    std::string attached;
    int32_t revision = -1;  // -1: neither the attribute nor the config space can be read
    bool revision_from_config = false;
    uint16_t sub_vendor = 0;
    uint16_t sub_device = 0;
    std::string sub_name;
    std::string msi;
    std::string iommu_group;
    std::string power_state;
    std::string aspm;
    std::string local_cpus;
    std::string sriov;
};

// Kernel and database texts reach labels and the report; keep them UTF-8.
std::string text_of(const std::string& path) { return util::valid_utf8(util::read_file(path)); }

uint32_t read_hex(const std::string& path) {
    std::string text = util::trim(util::read_file_kept(path));
    if (text.empty()) return 0;
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

// Older kernels have no "revision" attribute; the revision id is byte 8 of
// the configuration header, which every user may read.
void read_revision(const std::string& dir, Dev& d) {
    const std::string text = util::read_file(dir + "/revision");
    if (!text.empty()) {
        d.revision = static_cast<int32_t>(util::parse_hex(text, 0) & 0xFF);
        return;
    }
    const std::string head = util::read_file_head(dir + "/config", 9);
    if (head.size() < 9) return;
    d.revision = static_cast<unsigned char>(head[8]);
    d.revision_from_config = true;
}

double read_gts(const std::string& path) { return util::to_double(util::read_file(path), 0.0); }

uint32_t read_width(const std::string& path) {
    return static_cast<uint32_t>(util::to_u64(util::read_file(path), 0));
}

unsigned top_class(const Dev& d) { return (d.class_code >> 16) & 0xFF; }

// Domain, bus, device and function as numbers: the hexadecimal fields of an
// address do not sort as text (00:0a.0 comes after 00:01.0, domains may have
// five digits).
std::tuple<uint64_t, uint64_t, uint64_t, uint64_t> address_key(const std::string& address) {
    uint64_t fields[4] = {0, 0, 0, 0};
    const char* p = address.c_str();
    for (uint64_t& f : fields) {
        char* end = nullptr;
        f = std::strtoull(p, &end, 16);
        if (end == p || *end == '\0') break;
        p = end + 1;
    }
    return {fields[0], fields[1], fields[2], fields[3]};
}

bool address_less(const Dev* a, const Dev* b) { return address_key(a->address) < address_key(b->address); }

std::string domain_of(const std::string& address) { return address.substr(0, address.find(':')); }

std::string id_pair(uint16_t vendor, uint16_t device) {
    return util::to_hex(vendor, 4) + ":" + util::to_hex(device, 4);
}

std::string first_nvme_model(const std::string& dir) {
    for (const std::string& e : util::list_dir(dir + "/nvme", "nvme")) {
        std::string model = text_of(dir + "/nvme/" + e + "/model");
        if (!model.empty()) return model;
    }
    return {};
}

std::string attached_of(const std::string& dir, const std::string& address,
                        const std::unordered_map<std::string, std::string>& gpus) {
    std::string model = first_nvme_model(dir);
    if (!model.empty()) return model;
    std::vector<std::string> nets = util::list_dir(dir + "/net", "");
    if (!nets.empty()) return util::valid_utf8(nets.front());
    auto it = gpus.find(address);
    return it == gpus.end() ? std::string() : it->second;
}

// The graphics names come from the one enumeration of this collection, so
// naming the PCI functions wakes no sleeping graphics device.
std::unordered_map<std::string, std::string> graphics_names() {
    std::unordered_map<std::string, std::string> names;
    for (const gpu::Device& g : gpu::snapshot())
        if (!g.pci.empty()) names[g.pci] = util::valid_utf8(gpu::display_name(g));
    return names;
}

// The most exact level the database lists. Bridges are named by their
// subclass: their programming interfaces ("Normal decode") name a decode
// mode, not the device.
std::string class_name_of(const hw::Ids& ids, uint32_t code) {
    return util::valid_utf8(((code >> 16) & 0xFF) == BRIDGE ? ids.pci_subclass(code) : ids.pci_class(code));
}

Dev read_device(const hw::Ids& ids, const std::string& address,
                const std::unordered_map<std::string, std::string>& gpus) {
    const std::string dir = PCI_DIR + "/" + address;
    Dev d;
    d.address = util::valid_utf8(address);
    d.class_code = read_hex(dir + "/class");
    d.vendor = static_cast<uint16_t>(read_hex(dir + "/vendor"));
    d.device = static_cast<uint16_t>(read_hex(dir + "/device"));
    d.driver = util::valid_utf8(util::read_link_base(dir + "/driver"));
    d.vendor_name = util::valid_utf8(ids.pci_vendor(d.vendor));
    d.name = util::valid_utf8(ids.pci_device(d.vendor, d.device));
    d.class_name = class_name_of(ids, d.class_code);
    d.cur_gts = read_gts(dir + "/current_link_speed");
    d.max_gts = read_gts(dir + "/max_link_speed");
    d.cur_width = read_width(dir + "/current_link_width");
    d.max_width = read_width(dir + "/max_link_width");
    std::string numa = util::read_file(dir + "/numa_node");
    if (!numa.empty()) d.numa = static_cast<int32_t>(util::to_i64(numa, 0));
    d.irq = text_of(dir + "/irq");
    read_revision(dir, d);
    d.sub_vendor = static_cast<uint16_t>(read_hex(dir + "/subsystem_vendor"));
    d.sub_device = static_cast<uint16_t>(read_hex(dir + "/subsystem_device"));
    d.sub_name = util::valid_utf8(ids.pci_subsystem(d.sub_vendor, d.sub_device, d.vendor, d.device));
    d.iommu_group = util::valid_utf8(util::read_link_base(dir + "/iommu_group"));
    d.power_state = text_of(dir + "/power_state");
    d.local_cpus = text_of(dir + "/local_cpulist");
    size_t vectors = util::list_dir(dir + "/msi_irqs", "").size();
    if (vectors > 0) d.msi = util::fmt_int(vectors);
    std::vector<std::string> states;
    if (util::read_file(dir + "/link/l0s_aspm") == "1") states.push_back("L0s");
    if (util::read_file(dir + "/link/l1_aspm") == "1") states.push_back("L1");
    d.aspm = util::join(states, " + ");
    std::string total = text_of(dir + "/sriov_totalvfs");
    if (!total.empty() && total != "0") {
        std::string enabled = text_of(dir + "/sriov_numvfs");
        d.sriov = (enabled.empty() ? "0" : enabled) + " / " + total;
    }
    d.attached = attached_of(dir, address, gpus);
    return d;
}

// Every function in address order.
std::vector<Dev> collect_devices() {
    const hw::Ids& ids = hw::Ids::instance();
    const std::unordered_map<std::string, std::string> gpus = graphics_names();
    std::vector<Dev> devices;
    for (const std::string& address : util::list_dir_kept(PCI_DIR, ""))
        devices.push_back(read_device(ids, address, gpus));
    std::sort(devices.begin(), devices.end(),
              [](const Dev& a, const Dev& b) { return address_less(&a, &b); });
    return devices;
}

std::string group_title(unsigned base, const std::string& fallback) {
    static const std::map<unsigned, const char*> KEYS = {
        {0x00, "pciclass.unclassified"},
        {0x01, "tree.storage"},
        {0x02, "tree.network"},
        {0x03, "tree.graphics"},
        {0x04, "sec.video"},
        {0x05, "tree.memory"},
        {0x06, "sec.bridges"},
        {0x07, "usbclass.communications"},
        {0x08, "pciclass.peripheral"},
        {0x09, "tree.input"},
        {0x0A, "pciclass.docking"},
        {0x0B, "tree.cpu"},
        {0x0C, "sec.bus_ctrl"},
        {0x0D, "sec.wireless"},
        {0x0E, "pciclass.intelligent"},
        {0x0F, "pciclass.satellite"},
        {0x10, "pciclass.encryption"},
        {0x11, "pciclass.signal"},
        {0x12, "pciclass.accelerator"},
        {0x13, "pciclass.instrumentation"},
        {0x40, "pciclass.coprocessor"},
        {0xFF, "pciclass.unassigned"},
    };
    auto it = KEYS.find(base);
    if (it != KEYS.end()) return tr(it->second);
    return fallback.empty() ? tr("common.unknown") : fallback;
}

std::string display_name(const Dev& d) {
    if (!d.attached.empty()) return d.attached;
    std::string base = d.name;
    if (base.empty()) {
        std::string g = group_title(top_class(d), d.class_name);
        if (!g.empty() && g != tr("common.unknown"))
            base = g;
        else
            base = d.class_name.empty() ? d.address : d.class_name;
    }
    if (d.vendor != 0 && d.device != 0) base += "  [" + id_pair(d.vendor, d.device) + "]";
    return base;
}

std::string device_note(const Dev& d) {
    std::string note = d.address;
    if (!d.vendor_name.empty()) note += NOTE_SEP + d.vendor_name;
    note += NOTE_SEP + (d.driver.empty() ? std::string(tr("value.no_driver")) : d.driver);
    return note;
}

std::string link_text(double gts, unsigned width) { return pcie_link_text(gts, width); }

std::string link_value(const Dev& d) { return link_text(d.cur_gts, d.cur_width); }

std::string link_limit(const Dev& d) {
    std::string now = link_value(d);
    if (now.empty()) return {};
    if (d.cur_gts > d.max_gts || d.max_width < d.cur_width) return {};
    std::string max = link_text(d.max_gts, d.max_width);
    if (max.empty() || max == now) return {};
    return "max " + max;
}

probe::Row columns_row(const std::string& name, const std::string& note, const std::string& live,
                       std::vector<std::string> cols) {
    probe::Row row(name, "", note, false, live, "");
    row.cols = std::move(cols);
    return row;
}

using ByAddress = std::unordered_map<std::string, const Dev*>;

struct PciSlot {
    std::string name;
    std::string addr;
    const Dev* dev = nullptr;
};

// (major, minor) of names such as "3", "2-1" or "10": numbers, not text.
std::pair<long, long> slot_key(const std::string& name) {
    const char* s = name.c_str();
    char* end = nullptr;
    long major = std::strtol(s, &end, 10);
    if (end == s) return {0, 0};
    long minor = *end == '-' ? std::strtol(end + 1, nullptr, 10) : 0;
    return {major, minor};
}

std::vector<PciSlot> read_slots(const std::vector<Dev>& devices) {
    std::vector<PciSlot> slots;
    for (const std::string& s : util::list_dir(SLOTS_DIR, "")) {
        std::string addr = text_of(SLOTS_DIR + "/" + s + "/address");
        if (addr.empty()) continue;
        const Dev* dev = nullptr;
        for (const Dev& d : devices) {
            if (util::starts_with(d.address, addr + ".")) {
                dev = &d;
                break;
            }
        }
        slots.push_back({util::valid_utf8(s), addr, dev});
    }
    std::stable_sort(slots.begin(), slots.end(), [](const PciSlot& a, const PciSlot& b) {
        if ((a.dev != nullptr) != (b.dev != nullptr)) return a.dev != nullptr;
        return slot_key(a.name) < slot_key(b.name);
    });
    return slots;
}

probe::Card slots_card(const std::vector<Dev>& devices) {
    probe::Card card;
    card.title = tr("f.slots");
    std::vector<PciSlot> slots = read_slots(devices);
    size_t empty_n = 0;
    for (const PciSlot& s : slots) empty_n += s.dev == nullptr;
    const bool fold = empty_n > MAX_EMPTY_SLOT_ROWS;
    for (const PciSlot& s : slots) {
        if (s.dev) {
            card.rows.push_back(columns_row(s.name, s.addr, "", {display_name(*s.dev), link_value(*s.dev)}));
        } else if (!fold) {
            card.rows.push_back(columns_row(s.name, s.addr, "", {tr("value.slot_empty"), ""}));
        }
    }
    if (fold)
        card.rows.push_back(columns_row(util::fmt_int(empty_n) + " \u00d7 " + tr("f.slots"), "", "",
                                        {tr("value.slot_empty"), ""}));
    return card;
}

// What the bridge leads to: its child functions, which the kernel puts in
// the bridge's own directory and domain.
std::string behind_bridge(const Dev& bridge, const ByAddress& by_address) {
    std::vector<std::string> behind;
    const std::string dir = PCI_DIR + "/" + bridge.address;
    for (const std::string& e : util::list_dir(dir, domain_of(bridge.address) + ":")) {
        auto it = by_address.find(e);
        if (it != by_address.end()) behind.push_back(display_name(*it->second));
    }
    if (behind.empty()) return tr("value.slot_empty");
    if (behind.size() == 1) return behind[0];
    if (behind.size() == 2) return behind[0] + ", " + behind[1];
    return behind[0] + "  + " + util::fmt_int(behind.size() - 1);
}

probe::Card links_card(const std::vector<Dev>& devices, const ByAddress& by_address) {
    probe::Card card;
    card.title = tr("f.pcie_link");
    for (const Dev& d : devices) {
        if (top_class(d) != BRIDGE || !(d.cur_gts > 0.0)) continue;
        std::string short_name = d.address.substr(d.address.find(':') + 1);
        card.rows.push_back(columns_row(short_name, d.address, LIVE_PREFIX + d.address,
                                        {behind_bridge(d, by_address), link_value(d)}));
    }
    return card;
}

probe::Card class_card(unsigned cls, const std::string& class_name, const std::vector<const Dev*>& list) {
    probe::Card card;
    card.title = group_title(cls, class_name);
    card.subtitle = util::fmt_int(list.size());
    for (const Dev* d : list) {
        std::string value = link_value(*d);
        if (value.empty()) value = d->class_name.empty() ? std::string(tr("common.unknown")) : d->class_name;
        std::string live = d->cur_gts > 0.0 ? LIVE_PREFIX + d->address : "";
        card.rows.emplace_back(display_name(*d), value, device_note(*d), false, live, link_limit(*d));
    }
    return card;
}

probe::Card detail_card(const Dev& d) {
    probe::Card card;
    card.title = display_name(d);
    card.subtitle = d.address;
    auto add = [&card](const char* label, const std::string& value, const std::string& note,
                       const std::string& extra) {
        std::string v = util::trim(value);
        if (!v.empty()) card.rows.emplace_back(label, v, note, false, "", extra);
    };
    add(tr("f.vendor"), d.vendor_name, "vendor", "");
    add(tr("f.model"), d.name, "device", id_pair(d.vendor, d.device));
    add(tr("f.subsystem"), d.sub_name, "subsystem_device",
        d.sub_vendor != 0 ? id_pair(d.sub_vendor, d.sub_device) : "");
    add(tr("f.class"), d.class_name, "class", util::to_hex(d.class_code, 6));
    if (d.revision >= 0)
        add(tr("f.revision"), util::to_hex(static_cast<uint32_t>(d.revision), 2),
            d.revision_from_config ? "config" : "revision", "");
    add(tr("f.driver"), d.driver.empty() ? std::string(tr("value.no_driver")) : d.driver, "driver", "");
    add(tr("f.pcie_link"), link_value(d), "current_link_speed", link_limit(d));
    add("ASPM", d.aspm, "link", "");
    // A function that signals by MSI-X alone reads 0 here: it has no interrupt
    // line, yet its vectors are worth the row.
    const bool has_line = !d.irq.empty() && d.irq != "0";
    if (has_line || !d.msi.empty())
        add("IRQ", has_line ? d.irq : std::string(tr("value.none")), "irq",
            d.msi.empty() ? "" : d.msi + "\u00d7 MSI");
    add("IOMMU", d.iommu_group, "iommu_group", "");
    add(tr("f.power_state"), d.power_state, "power_state", "");
    add(tr("f.numa_nodes"), d.numa >= 0 ? util::fmt_int(static_cast<uint64_t>(d.numa)) : "", "numa_node", "");
    add(tr("f.local_cpus"), d.local_cpus, "local_cpulist", "");
    add("SR-IOV", d.sriov, "sriov_numvfs", "");
    return card;
}

void add_card(probe::Page& page, probe::Card card) {
    if (!card.empty()) page.cards.push_back(std::move(card));
}

probe::Page hint_page() {
    probe::Page page;
    std::string hint = snap_hint("hardware-observe");
    if (hint.empty()) return page;
    page.headline = tr("tree.pci");
    probe::Card card;
    card.title = tr("tree.pci");
    card.hint = hint;
    page.cards.push_back(std::move(card));
    return page;
}

}  // namespace

bool has_pci() { return util::is_dir(PCI_DIR); }

Page collect_pci(int cls) {
    std::vector<Dev> devices;
    if (has_pci()) devices = collect_devices();
    if (devices.empty()) return hint_page();

    Page page;
    std::map<unsigned, size_t> counts;
    std::map<unsigned, std::string> class_names;
    double fastest = 0.0;
    uint32_t widest = 0;
    ByAddress by_address;
    for (const Dev& d : devices) {
        unsigned c = top_class(d);
        ++counts[c];
        if (class_names[c].empty()) class_names[c] = d.class_name;
        fastest = std::max(fastest, d.max_gts);
        widest = std::max(widest, d.max_width);
        by_address.emplace(d.address, &d);
    }

    page.selector.label = tr("f.type");
    page.selector.options.push_back(tr("value.all"));
    page.selector.values.push_back(-1);
    for (const auto& [c, n] : counts) {
        page.selector.options.push_back(group_title(c, class_names[c]) + "  (" + util::fmt_int(n) + ")");
        page.selector.values.push_back(static_cast<int>(c));
    }
    for (size_t i = 0; i < page.selector.values.size(); ++i)
        if (page.selector.values[i] == cls) page.selector.selected = static_cast<int>(i);

    page.headline = tr("tree.pci");
    page.subline = I18n::instance().trf("summary.n_devices", static_cast<int>(devices.size()));
    page.stats.push_back({tr("tree.pci"), util::fmt_int(devices.size()), "", ""});
    std::string top_link = fastest > 0.0 ? pcie_link_text(fastest, widest) : "";
    if (!top_link.empty()) page.stats.push_back({tr("f.pcie_link"), top_link, "", ""});

    if (cls < 0) {
        add_card(page, slots_card(devices));
        add_card(page, links_card(devices, by_address));
    }
    // The devices are in address order already, so each group is too.
    std::map<unsigned, std::vector<const Dev*>> groups;
    for (const Dev& d : devices) {
        unsigned c = top_class(d);
        if (cls < 0 ? c != BRIDGE : static_cast<int>(c) == cls) groups[c].push_back(&d);
    }
    for (const auto& [c, list] : groups) {
        if (cls < 0) {
            add_card(page, class_card(c, class_names[c], list));
        } else {
            for (const Dev* d : list) add_card(page, detail_card(*d));
        }
    }
    return page;
}

void refresh_live_pci(Page& page) {
    for (Card& card : page.cards) {
        for (Row& row : card.rows) {
            if (!util::starts_with(row.live, LIVE_PREFIX)) continue;
            const std::string dir = PCI_DIR + "/" + row.live.substr(LIVE_PREFIX.size());
            std::string now = pcie_link_text(read_gts(dir + "/current_link_speed"),
                                             read_width(dir + "/current_link_width"));
            // A link that went down, or a device that went away, keeps its last text.
            if (now.empty()) continue;
            if (row.cols.empty()) {
                size_t sep = row.value.rfind(NOTE_SEP);
                row.value = sep == std::string::npos ? now : row.value.substr(0, sep) + NOTE_SEP + now;
            } else if (row.cols.size() >= 2) {
                row.cols.back() = now;
            }
        }
    }
}

}  // namespace probe
