#include "hw/ids.h"

#include <cctype>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "i18n.h"
#include "util.h"

namespace hw {

struct Ids::Impl {
    std::unordered_map<uint32_t, std::string> pci_vendors;
    std::unordered_map<uint32_t, std::string> pci_devices;
    std::unordered_map<uint64_t, std::string> pci_subsys;
    // Base class, subclass and programming interface share keys here (a
    // subclass 00 lands on its base class's key); later lines win.
    std::unordered_map<uint32_t, std::string> pci_classes;
    // The same names kept per level, out of reach of the levels below.
    std::unordered_map<uint32_t, std::string> pci_base_names;
    std::unordered_map<uint32_t, std::string> pci_subclass_names;
    std::unordered_map<uint32_t, std::string> usb_vendors;
    std::unordered_map<uint32_t, std::string> usb_devices;
};

namespace {

struct ClassName {
    uint32_t base;
    const char* name;
};

// Base classes named even when pci.ids is missing or leaves them out.
constexpr ClassName PCI_BASE_CLASSES[] = {
    {0x00, "Unclassified device"},
    {0x01, "Mass storage controller"},
    {0x02, "Network controller"},
    {0x03, "Display controller"},
    {0x04, "Multimedia controller"},
    {0x05, "Memory controller"},
    {0x06, "Bridge"},
    {0x07, "Communication controller"},
    {0x08, "Generic system peripheral"},
    {0x09, "Input device controller"},
    {0x0A, "Docking station"},
    {0x0B, "Processor"},
    {0x0C, "Serial bus controller"},
    {0x0D, "Wireless controller"},
    {0x0E, "Intelligent controller"},
    {0x0F, "Satellite communications controller"},
    {0x10, "Encryption controller"},
    {0x11, "Signal processing controller"},
    {0x12, "Processing accelerator"},
    {0x13, "Non-Essential Instrumentation"},
    {0x40, "Coprocessor"},
    {0xFF, "Unassigned class"},
};

// Exactly one of key (translated) and name (shown as is) is set.
struct UsbClassName {
    uint8_t cls;
    const char* key;
    const char* name;
};

constexpr UsbClassName USB_CLASSES[] = {
    {0x00, "usbclass.per_interface", nullptr},
    {0x01, "tree.audio", nullptr},
    {0x02, "usbclass.communications", nullptr},
    {0x03, "value.input_device", nullptr},
    {0x05, "usbclass.physical", nullptr},
    {0x06, "usbclass.imaging", nullptr},
    {0x07, "usbclass.printer", nullptr},
    {0x08, "tree.storage", nullptr},
    {0x09, "usbclass.hub", nullptr},
    {0x0A, nullptr, "CDC Data"},
    {0x0B, "usbclass.smartcard", nullptr},
    {0x0D, "usbclass.content_security", nullptr},
    {0x0E, "usbclass.video", nullptr},
    {0x0F, "usbclass.healthcare", nullptr},
    {0x10, "usbclass.av", nullptr},
    {0x11, nullptr, "Billboard"},
    {0x12, nullptr, "USB Type-C Bridge"},
    {0x3C, nullptr, "I3C"},
    {0xDC, "usbclass.diagnostic", nullptr},
    {0xE0, "sec.wireless", nullptr},
    {0xEF, "usbclass.misc", nullptr},
    {0xFE, "usbclass.app_specific", nullptr},
    {0xFF, "usbclass.vendor_specific", nullptr},
};

std::string find_ids_file(const char* name) {
    std::vector<std::string> dirs;
    if (const char* snap = std::getenv("SNAP")) {
        dirs.push_back(std::string(snap) + "/usr/share/hwdata");
        dirs.push_back(std::string(snap) + "/usr/share/misc");
    }
    for (const char* d : {"/usr/share/hwdata", "/usr/share/misc", "/usr/share", "/var/lib/usbutils",
                          "/usr/local/share/hwdata"})
        dirs.emplace_back(d);
    for (const std::string& dir : dirs) {
        std::string candidate = dir + "/" + name;
        if (util::readable(candidate)) return candidate;
    }
    return {};
}

// One line of a database: its indentation depth and the text after the tabs.
struct Line {
    size_t depth = 0;
    std::string_view body;
};

// Calls fn for every line that is neither empty, a comment nor all tabs.
template <typename Fn>
void for_each_line(const std::string& text, Fn fn) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string_view line(text.data() + start, nl - start);
        start = nl + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t depth = 0;
        while (depth < line.size() && line[depth] == '\t') ++depth;
        if (depth == line.size()) continue;
        fn(Line{depth, line.substr(depth)});
    }
}

// The ids of a well-formed file are plain hex digits, read here without the
// copies util::parse_hex makes; anything else goes to util::parse_hex.
uint32_t hex_of(std::string_view s) {
    uint32_t v = 0;
    for (char c : s) {
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0) return util::parse_hex(std::string(s), 0);
        v = v << 4 | static_cast<uint32_t>(d);
    }
    return v;
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// What util::trim keeps, as one string built straight from the line: this
// runs for every line of a database of some 40000 lines.
std::string trimmed(std::string_view s) {
    auto space = [](char c) { return c == 0 || std::isspace(static_cast<unsigned char>(c)); };
    while (!s.empty() && space(s.front())) s.remove_prefix(1);
    while (!s.empty() && space(s.back())) s.remove_suffix(1);
    // Database files are edited by hand; a stray Latin-1 byte must not reach a label.
    return util::valid_utf8(std::string(s));
}

std::string name_after(std::string_view s, size_t pos) {
    return pos < s.size() ? trimmed(s.substr(pos)) : std::string();
}

// "<id of n bytes><blanks><name>"; false when too short or the name is empty.
bool split_id(std::string_view s, size_t n, uint32_t& id, std::string& name) {
    if (s.size() < n) return false;
    name = name_after(s, n);
    if (name.empty()) return false;
    id = hex_of(s.substr(0, n));
    return true;
}

std::string find_in(const std::unordered_map<uint32_t, std::string>& map, uint32_t key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

}  // namespace

Ids& Ids::instance() {
    static Ids ids;
    return ids;
}

Ids::Ids() : m_impl(new Impl) {
    for (const ClassName& c : PCI_BASE_CLASSES) {
        m_impl->pci_classes[c.base << 16] = c.name;
        m_impl->pci_base_names[c.base << 16] = c.name;
    }
    load_pci();
    load_usb();
}

Ids::~Ids() { delete m_impl; }

void Ids::load_pci() {
    m_pci_path = find_ids_file("pci.ids");
    if (m_pci_path.empty()) return;
    const std::string text = util::read_file_raw(m_pci_path);
    Impl& m = *m_impl;
    m.pci_vendors.reserve(4096);
    m.pci_devices.reserve(32768);
    m.pci_subsys.reserve(32768);
    uint32_t vendor = 0, device = 0, cls = 0, subclass = 0;
    bool in_classes = false;
    for_each_line(text, [&](const Line& line) {
        const std::string_view body = line.body;
        uint32_t id = 0;
        std::string name;
        if (line.depth == 0) {
            if (body.size() > 2 && body[0] == 'C' && body[1] == ' ') {
                in_classes = true;
                if (!split_id(body.substr(2), 2, id, name)) return;
                cls = id;
                m.pci_classes[cls << 16] = name;
                m.pci_base_names[cls << 16] = std::move(name);
            } else {
                in_classes = false;
                if (!split_id(body, 4, id, name)) return;
                vendor = id;
                m.pci_vendors[vendor] = std::move(name);
            }
        } else if (line.depth == 1 && in_classes) {
            if (!split_id(body, 2, id, name)) return;
            subclass = id;
            const uint32_t key = cls << 16 | subclass << 8;
            m.pci_classes[key] = name;
            m.pci_subclass_names[key] = std::move(name);
        } else if (line.depth == 2 && in_classes) {
            if (!split_id(body, 2, id, name)) return;
            m.pci_classes[cls << 16 | subclass << 8 | id] = std::move(name);
        } else if (line.depth == 1) {
            if (!split_id(body, 4, id, name)) return;
            device = id;
            m.pci_devices[vendor << 16 | device] = std::move(name);
        } else if (line.depth == 2) {
            if (body.size() < 9) return;
            name = name_after(body, 9);
            if (name.empty()) return;
            const uint64_t sub = hex_of(body.substr(0, 4)) << 16 | hex_of(body.substr(5, 4));
            m.pci_subsys[static_cast<uint64_t>(vendor << 16 | device) << 32 | sub] = std::move(name);
        }
    });
}

void Ids::load_usb() {
    m_usb_path = find_ids_file("usb.ids");
    if (m_usb_path.empty()) return;
    const std::string text = util::read_file_raw(m_usb_path);
    Impl& m = *m_impl;
    m.usb_vendors.reserve(4096);
    m.usb_devices.reserve(32768);
    uint32_t vendor = 0;
    bool in_vendors = true;
    for_each_line(text, [&](const Line& line) {
        const std::string_view body = line.body;
        if (line.depth == 0) {
            // The vendor list ends where the class and other tables begin.
            in_vendors = body.size() > 4 && is_blank(body[4]);
            for (size_t i = 0; in_vendors && i < 4; ++i)
                in_vendors = std::isxdigit(static_cast<unsigned char>(body[i])) != 0;
            if (!in_vendors) return;
            vendor = hex_of(body.substr(0, 4));
            m.usb_vendors[vendor] = trimmed(body.substr(5));
        } else if (line.depth == 1 && in_vendors && body.size() > 4) {
            std::string name = trimmed(body.substr(5));
            if (name.empty()) return;
            m.usb_devices[vendor << 16 | hex_of(body.substr(0, 4))] = std::move(name);
        }
    });
}

std::string Ids::pci_vendor(uint16_t vendor) const { return find_in(m_impl->pci_vendors, vendor); }

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    return find_in(m_impl->pci_devices, static_cast<uint32_t>(vendor) << 16 | device);
}

std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    const uint64_t key = static_cast<uint64_t>(static_cast<uint32_t>(vendor) << 16 | device) << 32 |
                         (static_cast<uint32_t>(sub_vendor) << 16 | sub_device);
    auto it = m_impl->pci_subsys.find(key);
    return it == m_impl->pci_subsys.end() ? pci_vendor(sub_vendor) : it->second;
}

std::string Ids::pci_class(uint32_t class_code) const {
    for (uint32_t mask : {0xFFFFFFu, 0xFFFF00u, 0xFF0000u}) {
        auto it = m_impl->pci_classes.find(class_code & mask);
        if (it != m_impl->pci_classes.end()) return it->second;
    }
    return {};
}

std::string Ids::pci_subclass(uint32_t class_code) const {
    auto it = m_impl->pci_subclass_names.find(class_code & 0xFFFF00u);
    if (it != m_impl->pci_subclass_names.end()) return it->second;
    return find_in(m_impl->pci_base_names, class_code & 0xFF0000u);
}

std::string Ids::usb_vendor(uint16_t vendor) const { return find_in(m_impl->usb_vendors, vendor); }

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    return find_in(m_impl->usb_devices, static_cast<uint32_t>(vendor) << 16 | device);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
