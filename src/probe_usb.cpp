// The "usb" page: every device of /sys/bus/usb/devices with its interfaces,
// in bus and port order, as one device tree and one card per device. Nothing
// on it changes between collections.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "hw/ids.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace probe {

namespace {

const std::string USB_DIR = "/sys/bus/usb/devices";

struct Iface {
    std::string name;
    uint8_t cls = 0;
    uint8_t subclass = 0;
    uint8_t protocol = 0;
    std::string driver;
};

struct UsbDev {
    std::string node;
    std::string dir;
    uint16_t vendor = 0;
    uint16_t product = 0;
    std::string vendor_name;
    std::string product_name;
    std::string vendor_ids;
    std::string product_ids;
    std::string serial;
    std::string version;
    std::string max_power;
    double speed_mbit = 0.0;
    uint32_t busnum = 0;
    uint32_t devnum = 0;
    uint32_t maxchild = 0;
    uint8_t dev_class = 0;
    bool removable = false;
    bool is_root = false;
    int depth = 0;
    std::vector<Iface> ifaces;
};

// Strings the device itself reports are firmware bytes: keep them UTF-8.
std::string text_of(const std::string& path) { return util::valid_utf8(util::read_file(path)); }

uint32_t hex_of(const std::string& path) {
    std::string text = util::read_file(path);
    return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

uint32_t number_of(const std::string& path) {
    return static_cast<uint32_t>(util::to_u64(util::read_file(path), 0));
}

int depth_of(const std::string& node) {
    size_t dash = node.find('-');
    if (dash == std::string::npos) return 0;
    return 1 +
           static_cast<int>(std::count(node.begin() + static_cast<std::ptrdiff_t>(dash), node.end(), '.'));
}

std::vector<std::string> port_chain(const std::string& node) {
    size_t dash = node.find('-');
    return util::split(dash == std::string::npos ? node : node.substr(dash + 1), '.');
}

bool path_less(const UsbDev& a, const UsbDev& b) {
    if (a.busnum != b.busnum) return a.busnum < b.busnum;
    if (a.is_root != b.is_root) return a.is_root;
    std::vector<std::string> pa = port_chain(a.node), pb = port_chain(b.node);
    for (size_t i = 0; i < pa.size() && i < pb.size(); ++i) {
        uint64_t x = util::to_u64(pa[i], 0), y = util::to_u64(pb[i], 0);
        if (x != y) return x < y;
    }
    return pa.size() < pb.size();
}

const char* mode_of(double mbit) {
    if (mbit < 2) return "USB 1.0 Low-Speed";
    if (mbit <= 12) return "USB 1.1 Full-Speed";
    if (mbit <= 480) return "USB 2.0 High-Speed";
    if (mbit <= 5000) return "USB 3.0 SuperSpeed";
    if (mbit <= 10000) return "USB 3.1 SuperSpeed+";
    if (mbit <= 20000) return "USB 3.2 SuperSpeed+";
    return "USB4";
}

std::string speed_text(double mbit) {
    if (mbit <= 0) return {};
    if (mbit >= 1000) return util::fmt_double(mbit / 1000, 0) + " Gbit/s";
    return util::fmt_double(mbit, mbit < 10 ? 1 : 0) + " Mbit/s";
}

std::string ids_of(const UsbDev& d) { return util::to_hex(d.vendor, 4) + ":" + util::to_hex(d.product, 4); }

std::string name_of(const UsbDev& d) {
    std::string name = d.product_name;
    if (name.empty()) name = d.product_ids;
    if (name.empty()) name = d.vendor_ids;
    if (name.empty()) name = ids_of(d);
    const std::string& vendor = d.vendor_name.empty() ? d.vendor_ids : d.vendor_name;
    if (!vendor.empty() && name.find(vendor) == std::string::npos) return vendor + " " + name;
    return name;
}

std::string kinds_of(const UsbDev& d) {
    const hw::Ids& ids = hw::Ids::instance();
    std::vector<std::string> kept;
    auto keep = [&kept](const std::string& text) {
        if (!text.empty() && std::find(kept.begin(), kept.end(), text) == kept.end()) kept.push_back(text);
    };
    for (const Iface& i : d.ifaces) keep(ids.usb_class(i.cls));
    if (kept.empty() && d.dev_class != 0) keep(ids.usb_class(d.dev_class));
    return util::join(kept, ", ");
}

std::string power_text(std::string power) {
    if (power.size() > 2 && util::ends_with(power, "mA")) power = power.substr(0, power.size() - 2) + " mA";
    return power;
}

Iface read_iface(const std::string& name) {
    const std::string dir = USB_DIR + "/" + name;
    Iface i;
    i.name = util::valid_utf8(name);
    i.cls = static_cast<uint8_t>(hex_of(dir + "/bInterfaceClass"));
    i.subclass = static_cast<uint8_t>(hex_of(dir + "/bInterfaceSubClass"));
    i.protocol = static_cast<uint8_t>(hex_of(dir + "/bInterfaceProtocol"));
    i.driver = util::valid_utf8(util::read_link_base(dir + "/driver"));
    return i;
}

UsbDev read_device(const hw::Ids& ids, const std::string& node, const std::vector<std::string>& iface_names) {
    UsbDev d;
    d.node = util::valid_utf8(node);
    d.dir = USB_DIR + "/" + node;
    d.vendor = static_cast<uint16_t>(hex_of(d.dir + "/idVendor"));
    d.product = static_cast<uint16_t>(hex_of(d.dir + "/idProduct"));
    d.vendor_name = text_of(d.dir + "/manufacturer");
    d.product_name = text_of(d.dir + "/product");
    d.vendor_ids = util::valid_utf8(ids.usb_vendor(d.vendor));
    d.product_ids = util::valid_utf8(ids.usb_device(d.vendor, d.product));
    d.serial = text_of(d.dir + "/serial");
    d.version = text_of(d.dir + "/version");
    d.max_power = power_text(text_of(d.dir + "/bMaxPower"));
    d.speed_mbit = util::to_double(util::read_file(d.dir + "/speed"), 0.0);
    d.busnum = number_of(d.dir + "/busnum");
    d.devnum = number_of(d.dir + "/devnum");
    d.maxchild = number_of(d.dir + "/maxchild");
    d.dev_class = static_cast<uint8_t>(hex_of(d.dir + "/bDeviceClass"));
    d.removable = util::read_file(d.dir + "/removable") == "removable";
    d.is_root = util::starts_with(node, "usb");
    d.depth = depth_of(node);
    for (const std::string& name : iface_names) d.ifaces.push_back(read_iface(name));
    return d;
}

bool is_device(const std::string& entry) {
    return entry.find(':') == std::string::npos && util::path_exists(USB_DIR + "/" + entry + "/idVendor");
}

// One listing of the bus: interface entries ("1-2:1.0") are grouped under the
// device whose node comes before the ':'.
std::vector<UsbDev> collect_usb() {
    const hw::Ids& ids = hw::Ids::instance();
    std::vector<std::string> nodes;
    std::unordered_map<std::string, std::vector<std::string>> ifaces;
    for (const std::string& entry : util::list_dir(USB_DIR, "")) {
        size_t colon = entry.find(':');
        if (colon != std::string::npos)
            ifaces[entry.substr(0, colon)].push_back(entry);
        else if (is_device(entry))
            nodes.push_back(entry);
    }
    std::vector<UsbDev> devices;
    devices.reserve(nodes.size());
    for (const std::string& node : nodes) devices.push_back(read_device(ids, node, ifaces[node]));
    std::sort(devices.begin(), devices.end(), path_less);
    return devices;
}

bool shown(const UsbDev& d, int bus) { return bus < 0 || d.busnum == static_cast<uint32_t>(bus); }

std::string ports_text(uint32_t n) { return util::fmt_int(n) + "\u00d7 " + tr("f.port"); }

probe::Row tree_row(const UsbDev& d) {
    std::string name;
    for (int i = 0; i < d.depth; ++i) name += "    ";
    name += d.is_root ? std::string(tr("usb.controller")) + " " + util::fmt_int(d.busnum) : name_of(d);
    probe::Row row(name, "", d.node, false, "", mode_of(d.speed_mbit));
    row.cols = {speed_text(d.speed_mbit), kinds_of(d), d.maxchild != 0 ? ports_text(d.maxchild) : ""};
    return row;
}

probe::Card detail_card(const UsbDev& d) {
    const hw::Ids& ids = hw::Ids::instance();
    probe::Card card;
    card.title = name_of(d);
    card.subtitle = ids_of(d);
    auto add = [&card](const char* label, const std::string& value, const std::string& note,
                       const std::string& extra) {
        std::string v = util::trim(value);
        if (!v.empty()) card.rows.emplace_back(label, v, note, false, "", extra);
    };
    add(tr("f.vendor"), d.vendor_name.empty() ? d.vendor_ids : d.vendor_name, "manufacturer", "");
    add(tr("f.product"), d.product_name.empty() ? d.product_ids : d.product_name, "product", "");
    add(tr("f.serial"), d.serial, "serial", "");
    add(tr("f.class"), kinds_of(d), "bInterfaceClass", "");
    add(tr("f.usb_version"), d.version, "version", "");
    if (d.speed_mbit > 0) add(tr("f.speed"), speed_text(d.speed_mbit), "speed", mode_of(d.speed_mbit));
    add(tr("f.max_power"), d.max_power, "bMaxPower", "");
    add(tr("usb.bus"), util::fmt_int(d.busnum), "busnum", "");
    add(tr("f.device_num"), util::fmt_int(d.devnum), "devnum", "");
    add(tr("f.port"), d.node, "devpath", "");
    if (d.maxchild != 0) add(tr("f.interfaces"), ports_text(d.maxchild), "maxchild", "");
    if (d.removable) add(tr("f.removable"), tr("common.yes"), "removable", "");
    for (const Iface& i : d.ifaces) {
        std::string cls = ids.usb_class(i.cls);
        if (cls.empty()) cls = util::to_hex(i.cls, 2);
        size_t colon = i.name.find(':');
        std::string place = colon == std::string::npos ? i.name : i.name.substr(colon + 1);
        card.rows.emplace_back(place, cls, i.name, false, "",
                               i.driver.empty() ? std::string(tr("value.no_driver")) : i.driver);
    }
    return card;
}

// Devices per bus, root hubs not counted.
std::map<uint32_t, size_t> count_per_bus(const std::vector<UsbDev>& devices) {
    std::map<uint32_t, size_t> per_bus;
    for (const UsbDev& d : devices)
        if (!d.is_root) ++per_bus[d.busnum];
    return per_bus;
}

probe::Selector bus_selector(const std::map<uint32_t, size_t>& per_bus, int bus) {
    probe::Selector sel;
    sel.label = tr("usb.controller");
    sel.options.push_back(tr("value.all"));
    sel.values.push_back(-1);
    for (const auto& [b, n] : per_bus) {
        sel.options.push_back(std::string(tr("usb.bus")) + " " + util::fmt_int(b) + "  (" + util::fmt_int(n) +
                              ")");
        sel.values.push_back(static_cast<int>(b));
    }
    for (size_t i = 0; i < sel.values.size(); ++i)
        if (sel.values[i] == bus) sel.selected = static_cast<int>(i);
    return sel;
}

}  // namespace

bool has_usb() {
    if (!util::is_dir(USB_DIR)) return false;
    for (const std::string& entry : util::list_dir(USB_DIR, ""))
        if (is_device(entry)) return true;
    return !snap_hint("hardware-observe").empty();
}

Page collect_usb_page(int bus) {
    Page page;
    std::vector<UsbDev> devices = collect_usb();
    if (devices.empty()) {
        std::string hint = snap_hint("hardware-observe");
        if (hint.empty()) return page;
        page.headline = tr("tree.usb");
        Card card;
        card.title = tr("tree.usb");
        card.hint = hint;
        page.cards.push_back(std::move(card));
        return page;
    }

    std::map<uint32_t, size_t> per_bus = count_per_bus(devices);
    // A stored choice of a bus that is gone (or carries nothing any more)
    // shows everything, as its selector entry "All" says.
    if (bus >= 0 && (per_bus.size() < 2 || per_bus.count(static_cast<uint32_t>(bus)) == 0)) bus = -1;
    if (per_bus.size() > 1) page.selector = bus_selector(per_bus, bus);

    size_t n_devices = 0;
    double fastest = 0.0;
    for (const UsbDev& d : devices) {
        if (d.is_root || !shown(d, bus)) continue;
        ++n_devices;
        fastest = std::max(fastest, d.speed_mbit);
    }
    page.headline = tr("tree.usb");
    page.subline = I18n::instance().trf("summary.n_devices", static_cast<int>(n_devices));
    page.stats.push_back({tr("tree.usb"), util::fmt_int(n_devices), "", ""});
    if (fastest > 0) page.stats.push_back({tr("f.speed"), speed_text(fastest), "", ""});

    Card tree;
    tree.title = tr("tree.usb");
    tree.wide = true;
    for (const UsbDev& d : devices)
        if (shown(d, bus)) tree.rows.push_back(tree_row(d));
    if (!tree.empty()) page.cards.push_back(std::move(tree));
    for (const UsbDev& d : devices)
        if (!d.is_root && shown(d, bus)) page.cards.push_back(detail_card(d));
    return page;
}

}  // namespace probe
