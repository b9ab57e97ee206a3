#include "hw/ids.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "i18n.h"
#include "util.h"

namespace hw {

// Where each name stands in its database file. The names themselves stay in
// the file, read when asked for: kept as strings, the two databases cost
// more memory than the rest of the program.
struct NameAt {
    uint64_t key;
    uint32_t offset;  // of the text after the id
    uint32_t length;
};

// Names by key, in file order while a database is read, then sorted by key
// with the last line of each key kept.
using NameIndex = std::vector<NameAt>;

struct Ids::Impl {
    int pci_fd = -1;
    int usb_fd = -1;
    NameIndex pci_vendors;
    NameIndex pci_devices;
    NameIndex pci_subsys;
    NameIndex usb_vendors;
    NameIndex usb_devices;
    // The class tables are short and read whole.
    // Base class, subclass and programming interface share keys here (a
    // subclass 00 lands on its base class's key); later lines win.
    std::unordered_map<uint32_t, std::string> pci_classes;
    // The same names kept per level, out of reach of the levels below.
    std::unordered_map<uint32_t, std::string> pci_base_names;
    std::unordered_map<uint32_t, std::string> pci_subclass_names;
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

bool has_text(std::string_view s) {
    for (char c : s)
        if (c != 0 && !std::isspace(static_cast<unsigned char>(c))) return true;
    return false;
}

// "<id of n bytes><blanks><name>"; false when too short or the name is empty.
bool split_id(std::string_view s, size_t n, uint32_t& id, std::string& name) {
    if (s.size() < n) return false;
    name = name_after(s, n);
    if (name.empty()) return false;
    id = hex_of(s.substr(0, n));
    return true;
}

// The same test without making the name: where the name starts, or npos.
size_t name_start(std::string_view s, size_t n) {
    if (s.size() <= n || !has_text(s.substr(n))) return std::string_view::npos;
    return n;
}

void add_name(NameIndex& index, uint64_t key, const std::string& text, std::string_view name) {
    index.push_back(
        {key, static_cast<uint32_t>(name.data() - text.data()), static_cast<uint32_t>(name.size())});
}

// Sorted by key, the last of equal keys kept: later lines win.
void finish(NameIndex& index) {
    std::stable_sort(index.begin(), index.end(),
                     [](const NameAt& a, const NameAt& b) { return a.key < b.key; });
    NameIndex kept;
    kept.reserve(index.size());
    for (size_t i = 0; i < index.size(); ++i)
        if (i + 1 == index.size() || index[i + 1].key != index[i].key) kept.push_back(index[i]);
    kept.shrink_to_fit();
    index.swap(kept);
}

const NameAt* find_at(const NameIndex& index, uint64_t key) {
    auto it = std::lower_bound(index.begin(), index.end(), key,
                               [](const NameAt& e, uint64_t k) { return e.key < k; });
    return it != index.end() && it->key == key ? &*it : nullptr;
}

// The name of `key` read back from the file; "" when it is not listed or
// the file no longer gives it.
std::string name_of(int fd, const NameIndex& index, uint64_t key) {
    const NameAt* at = find_at(index, key);
    if (!at || fd < 0) return {};
    std::string raw(at->length, '\0');
    size_t got = 0;
    while (got < raw.size()) {
        ssize_t n = ::pread(fd, raw.data() + got, raw.size() - got, static_cast<off_t>(at->offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    raw.resize(got);
    return trimmed(raw);
}

std::string find_in(const std::unordered_map<uint32_t, std::string>& map, uint32_t key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

// The database text, read through the descriptor the names are read back
// through later, so both come from the same file even if it is replaced in
// between. Files beyond what 32-bit offsets reach are no database.
std::string open_database(const std::string& path, int& fd) {
    fd = util::open_fd(path, O_RDONLY);
    if (fd < 0) return {};
    std::string text;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) <= UINT32_MAX)
        text.reserve(static_cast<size_t>(st.st_size));
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
        if (text.size() > UINT32_MAX) return {};
    }
    return text;
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

Ids::~Ids() {
    if (m_impl->pci_fd >= 0) ::close(m_impl->pci_fd);
    if (m_impl->usb_fd >= 0) ::close(m_impl->usb_fd);
    delete m_impl;
}

void Ids::load_pci() {
    m_pci_path = find_ids_file("pci.ids");
    if (m_pci_path.empty()) return;
    Impl& m = *m_impl;
    const std::string text = open_database(m_pci_path, m.pci_fd);
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
                const size_t at = name_start(body, 4);
                if (at == std::string_view::npos) return;
                vendor = hex_of(body.substr(0, 4));
                add_name(m.pci_vendors, vendor, text, body.substr(at));
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
            const size_t at = name_start(body, 4);
            if (at == std::string_view::npos) return;
            device = hex_of(body.substr(0, 4));
            add_name(m.pci_devices, vendor << 16 | device, text, body.substr(at));
        } else if (line.depth == 2) {
            const size_t at = name_start(body, 9);
            if (at == std::string_view::npos) return;
            const uint64_t sub = hex_of(body.substr(0, 4)) << 16 | hex_of(body.substr(5, 4));
            add_name(m.pci_subsys, static_cast<uint64_t>(vendor << 16 | device) << 32 | sub, text,
                     body.substr(at));
        }
    });
    finish(m.pci_vendors);
    finish(m.pci_devices);
    finish(m.pci_subsys);
}

void Ids::load_usb() {
    m_usb_path = find_ids_file("usb.ids");
    if (m_usb_path.empty()) return;
    Impl& m = *m_impl;
    const std::string text = open_database(m_usb_path, m.usb_fd);
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
            add_name(m.usb_vendors, vendor, text, body.substr(5));
        } else if (line.depth == 1 && in_vendors && body.size() > 4) {
            const size_t at = name_start(body, 5);
            if (at == std::string_view::npos) return;
            add_name(m.usb_devices, vendor << 16 | hex_of(body.substr(0, 4)), text, body.substr(at));
        }
    });
    finish(m.usb_vendors);
    finish(m.usb_devices);
}

std::string Ids::pci_vendor(uint16_t vendor) const {
    return name_of(m_impl->pci_fd, m_impl->pci_vendors, vendor);
}

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    return name_of(m_impl->pci_fd, m_impl->pci_devices, static_cast<uint32_t>(vendor) << 16 | device);
}

std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    const uint64_t key = static_cast<uint64_t>(static_cast<uint32_t>(vendor) << 16 | device) << 32 |
                         (static_cast<uint32_t>(sub_vendor) << 16 | sub_device);
    if (!find_at(m_impl->pci_subsys, key)) return pci_vendor(sub_vendor);
    return name_of(m_impl->pci_fd, m_impl->pci_subsys, key);
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

std::string Ids::usb_vendor(uint16_t vendor) const {
    return name_of(m_impl->usb_fd, m_impl->usb_vendors, vendor);
}

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    return name_of(m_impl->usb_fd, m_impl->usb_devices, static_cast<uint32_t>(vendor) << 16 | device);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
