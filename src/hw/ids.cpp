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
// the file, read back when asked for: kept as strings, the two databases
// cost more memory than the rest of the program, and reading them all took
// most of a report's time.
struct NameAt {
    uint64_t key;
    uint32_t offset;  // of the text after the id
    uint32_t length;
};

// Names by key, in file order while a block is read, then sorted by key
// with the last line of each key kept.
using NameIndex = std::vector<NameAt>;

// The lines a vendor line opens, up to the next line without indentation.
// Only the vendor lines are read at load; a vendor's blocks are read when
// one of its names is first asked for.
struct Block {
    uint32_t vendor = 0;  // whose devices its lines list
    uint32_t device = 0;  // whose subsystems lines before its first device line list
    uint32_t begin = 0;   // file offsets of its lines after the opening one
    uint32_t end = 0;
    bool named = false;  // opened by a line naming `vendor`, at:
    uint32_t name_at = 0;
    uint32_t name_length = 0;
};

// The device (and for PCI subsystem) names of one vendor's blocks.
struct VendorNames {
    NameIndex devices;
    NameIndex subsystems;
};

struct Database {
    int fd = -1;
    std::vector<Block> blocks;  // by vendor, file order within one vendor
    std::unordered_map<uint32_t, VendorNames> read;
};

struct Ids::Impl {
    Database pci;
    Database usb;
    bool pci_loaded = false;
    bool usb_loaded = false;
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
void for_each_line(std::string_view text, Fn fn) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string_view line = text.substr(start, nl - start);
        start = nl + 1;
        if (line.empty() || line[0] == '#') continue;
        size_t depth = 0;
        while (depth < line.size() && line[depth] == '\t') ++depth;
        if (depth == line.size()) continue;
        fn(Line{depth, line.substr(depth)});
    }
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
    id = util::parse_hex_digits(s.substr(0, n));
    return true;
}

// The same test without making the name: where the name starts, or npos.
size_t name_start(std::string_view s, size_t n) {
    if (s.size() <= n || !has_text(s.substr(n))) return std::string_view::npos;
    return n;
}

// `name` lies in `buffer`, which was read from file offset `base`.
void add_name(NameIndex& index, uint64_t key, std::string_view buffer, uint32_t base, std::string_view name) {
    index.push_back(
        {key, base + static_cast<uint32_t>(name.data() - buffer.data()), static_cast<uint32_t>(name.size())});
}

// Sorted by key, the last of equal keys kept: later lines win. The files
// are sorted already, so mostly this only checks.
void finish(NameIndex& index) {
    auto by_key = [](const NameAt& a, const NameAt& b) { return a.key < b.key; };
    if (!std::is_sorted(index.begin(), index.end(), by_key))
        std::stable_sort(index.begin(), index.end(), by_key);
    size_t kept = 0;
    for (size_t i = 0; i < index.size(); ++i)
        if (i + 1 == index.size() || index[i + 1].key != index[i].key) index[kept++] = index[i];
    index.resize(kept);
    index.shrink_to_fit();
}

const NameAt* find_at(const NameIndex& index, uint64_t key) {
    auto it = std::lower_bound(index.begin(), index.end(), key,
                               [](const NameAt& e, uint64_t k) { return e.key < k; });
    return it != index.end() && it->key == key ? &*it : nullptr;
}

// Bytes [offset, offset + length) of the file; fewer if it gives fewer.
std::string read_at(int fd, uint32_t offset, uint32_t length) {
    std::string raw(length, '\0');
    size_t got = 0;
    while (fd >= 0 && got < raw.size()) {
        ssize_t n = ::pread(fd, raw.data() + got, raw.size() - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    raw.resize(got);
    return raw;
}

// The name of `key` read back from the file; "" when it is not listed or
// the file no longer gives it.
std::string name_of(int fd, const NameIndex& index, uint64_t key) {
    const NameAt* at = find_at(index, key);
    return at ? trimmed(read_at(fd, at->offset, at->length)) : std::string();
}

void add_block(std::vector<Block>& blocks, const Block& block, uint32_t end) {
    blocks.push_back(block);
    blocks.back().end = end;
}

// Blocks by vendor, file order kept within one vendor.
void sort_blocks(std::vector<Block>& blocks) {
    std::stable_sort(blocks.begin(), blocks.end(),
                     [](const Block& a, const Block& b) { return a.vendor < b.vendor; });
    blocks.shrink_to_fit();
}

std::pair<std::vector<Block>::const_iterator, std::vector<Block>::const_iterator> blocks_of(
    const Database& db, uint32_t vendor) {
    return std::equal_range(db.blocks.begin(), db.blocks.end(), Block{vendor},
                            [](const Block& a, const Block& b) { return a.vendor < b.vendor; });
}

// The name of the last line that named `vendor`.
std::string vendor_name(const Database& db, uint32_t vendor) {
    auto [first, last] = blocks_of(db, vendor);
    for (auto it = last; it != first;) {
        --it;
        if (it->named) return trimmed(read_at(db.fd, it->name_at, it->name_length));
    }
    return {};
}

// Reads a vendor's blocks (once) with `read_block(block, text, names)`.
template <typename ReadBlock>
const VendorNames& names_of(Database& db, uint32_t vendor, ReadBlock read_block) {
    auto found = db.read.find(vendor);
    if (found != db.read.end()) return found->second;
    VendorNames names;
    auto [first, last] = blocks_of(db, vendor);
    for (auto it = first; it != last; ++it)
        read_block(*it, read_at(db.fd, it->begin, it->end - it->begin), names);
    finish(names.devices);
    finish(names.subsystems);
    return db.read.emplace(vendor, std::move(names)).first->second;
}

std::string find_in(const std::unordered_map<uint32_t, std::string>& map, uint32_t key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

// Reads a database through `fd` in pieces, so that no copy of the whole file
// is ever made, and calls fn(line, at) for each line for_each_line would;
// at(view) is the file offset of a view into the line. Returns the file's
// size; 0 for a file past what 32-bit offsets reach, which is no database.
template <typename Fn>
uint32_t scan_database(int fd, Fn fn) {
    constexpr size_t PIECE = 65536;
    std::string buf;
    uint64_t base = 0;  // file offset of buf[0]
    for (bool more = fd >= 0; more;) {
        const size_t old = buf.size();
        buf.resize(old + PIECE);
        ssize_t n;
        do n = ::read(fd, buf.data() + old, PIECE);
        while (n < 0 && errno == EINTR);
        buf.resize(old + static_cast<size_t>(std::max<ssize_t>(n, 0)));
        more = n > 0;
        if (base + buf.size() > UINT32_MAX) return 0;
        // Whole lines now; a line cut by the piece waits for the next one.
        const size_t cut = buf.rfind('\n');
        const size_t done = !more ? buf.size() : cut == std::string::npos ? 0 : cut + 1;
        auto at = [&](std::string_view v) { return static_cast<uint32_t>(base + (v.data() - buf.data())); };
        for_each_line(std::string_view(buf.data(), done), [&](const Line& line) { fn(line, at); });
        buf.erase(0, done);
        base += done;
    }
    return static_cast<uint32_t>(base);
}

// Offsets a block was given past the end of the file come back to it.
void clamp_blocks(std::vector<Block>& blocks, uint32_t size) {
    for (Block& b : blocks) {
        b.begin = std::min(b.begin, size);
        b.end = std::max(std::min(b.end, size), b.begin);
    }
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
    // Each database is read at its first question, from the file found now
    // (many machines show no USB page, and the collector asks none).
    m_pci_path = find_ids_file("pci.ids");
    if (!m_pci_path.empty()) m_impl->pci.fd = util::open_fd(m_pci_path, O_RDONLY);
    m_usb_path = find_ids_file("usb.ids");
    if (!m_usb_path.empty()) m_impl->usb.fd = util::open_fd(m_usb_path, O_RDONLY);
}

Ids::~Ids() {
    if (m_impl->pci.fd >= 0) ::close(m_impl->pci.fd);
    if (m_impl->usb.fd >= 0) ::close(m_impl->usb.fd);
    delete m_impl;
}

namespace {

void read_pci_block(const Block& block, const std::string& bytes, VendorNames& names) {
    uint32_t device = block.device;
    for_each_line(bytes, [&](const Line& line) {
        const std::string_view body = line.body;
        if (line.depth == 1) {
            const size_t at = name_start(body, 4);
            if (at == std::string_view::npos) return;
            device = util::parse_hex_digits(body.substr(0, 4));
            add_name(names.devices, device, bytes, block.begin, body.substr(at));
        } else if (line.depth == 2) {
            const size_t at = name_start(body, 9);
            if (at == std::string_view::npos) return;
            const uint64_t sub =
                util::parse_hex_digits(body.substr(0, 4)) << 16 | util::parse_hex_digits(body.substr(5, 4));
            add_name(names.subsystems, static_cast<uint64_t>(device) << 32 | sub, bytes, block.begin,
                     body.substr(at));
        }
    });
}

void read_usb_block(const Block& block, const std::string& bytes, VendorNames& names) {
    for_each_line(bytes, [&](const Line& line) {
        const std::string_view body = line.body;
        if (line.depth != 1 || body.size() <= 4) return;
        const size_t at = name_start(body, 5);
        if (at == std::string_view::npos) return;
        add_name(names.devices, util::parse_hex_digits(body.substr(0, 4)), bytes, block.begin,
                 body.substr(at));
    });
}

}  // namespace

// Vendor lines and the class tables are read now; the device lines only
// mark which device later subsystem lines belong to.
void Ids::load_pci() const {
    Impl& m = *m_impl;
    if (m.pci_loaded) return;
    m.pci_loaded = true;
    uint32_t vendor = 0, device = 0, cls = 0, subclass = 0;
    bool in_classes = false;
    Block block;  // lines before the first vendor line belong to vendor 0
    bool in_block = true;
    const uint32_t size = scan_database(m.pci.fd, [&](const Line& line, auto at) {
        const std::string_view body = line.body;
        uint32_t id = 0;
        std::string name;
        if (line.depth == 0) {
            if (in_block) add_block(m.pci.blocks, block, at(body));
            in_block = false;
            if (body.size() > 2 && body[0] == 'C' && body[1] == ' ') {
                in_classes = true;
                if (!split_id(body.substr(2), 2, id, name)) return;
                cls = id;
                m.pci_classes[cls << 16] = name;
                m.pci_base_names[cls << 16] = std::move(name);
                return;
            }
            // A line that names no vendor leaves its devices with the previous one.
            in_classes = false;
            block = Block{};
            const size_t name_at = name_start(body, 4);
            if (name_at != std::string_view::npos) {
                vendor = util::parse_hex_digits(body.substr(0, 4));
                block.named = true;
                block.name_at = at(body.substr(name_at));
                block.name_length = static_cast<uint32_t>(body.size() - name_at);
            }
            block.vendor = vendor;
            block.device = device;
            block.begin = at(body) + static_cast<uint32_t>(body.size()) + 1;
            in_block = true;
        } else if (line.depth == 1 && in_classes) {
            if (!split_id(body, 2, id, name)) return;
            subclass = id;
            const uint32_t key = cls << 16 | subclass << 8;
            m.pci_classes[key] = name;
            m.pci_subclass_names[key] = std::move(name);
        } else if (line.depth == 2 && in_classes) {
            if (!split_id(body, 2, id, name)) return;
            m.pci_classes[cls << 16 | subclass << 8 | id] = std::move(name);
        } else if (line.depth == 1 && name_start(body, 4) != std::string_view::npos) {
            device = util::parse_hex_digits(body.substr(0, 4));
        }
    });
    if (in_block) add_block(m.pci.blocks, block, size);
    if (size == 0) m.pci.blocks.clear();
    clamp_blocks(m.pci.blocks, size);
    sort_blocks(m.pci.blocks);
}

void Ids::load_usb() const {
    Impl& m = *m_impl;
    if (m.usb_loaded) return;
    m.usb_loaded = true;
    Block block;  // products before the first vendor line belong to vendor 0
    bool in_block = true;
    const uint32_t size = scan_database(m.usb.fd, [&](const Line& line, auto at) {
        if (line.depth != 0) return;
        const std::string_view body = line.body;
        if (in_block) add_block(m.usb.blocks, block, at(body));
        // The vendor list ends where the class and other tables begin.
        in_block = body.size() > 4 && is_blank(body[4]);
        for (size_t i = 0; in_block && i < 4; ++i)
            in_block = std::isxdigit(static_cast<unsigned char>(body[i])) != 0;
        if (!in_block) return;
        block = Block{};
        block.vendor = util::parse_hex_digits(body.substr(0, 4));
        block.named = true;  // a nameless vendor line still replaces an earlier name
        block.name_at = at(body.substr(5));
        block.name_length = static_cast<uint32_t>(body.size() - 5);
        block.begin = at(body) + static_cast<uint32_t>(body.size()) + 1;
    });
    if (in_block) add_block(m.usb.blocks, block, size);
    if (size == 0) m.usb.blocks.clear();
    clamp_blocks(m.usb.blocks, size);
    sort_blocks(m.usb.blocks);
}

std::string Ids::pci_vendor(uint16_t vendor) const {
    load_pci();
    return vendor_name(m_impl->pci, vendor);
}

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    load_pci();
    const VendorNames& names = names_of(m_impl->pci, vendor, read_pci_block);
    return name_of(m_impl->pci.fd, names.devices, device);
}

std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    load_pci();
    const VendorNames& names = names_of(m_impl->pci, vendor, read_pci_block);
    const uint64_t key =
        static_cast<uint64_t>(device) << 32 | (static_cast<uint32_t>(sub_vendor) << 16 | sub_device);
    if (!find_at(names.subsystems, key)) return pci_vendor(sub_vendor);
    return name_of(m_impl->pci.fd, names.subsystems, key);
}

std::string Ids::pci_class(uint32_t class_code) const {
    load_pci();
    for (uint32_t mask : {0xFFFFFFu, 0xFFFF00u, 0xFF0000u}) {
        auto it = m_impl->pci_classes.find(class_code & mask);
        if (it != m_impl->pci_classes.end()) return it->second;
    }
    return {};
}

std::string Ids::pci_subclass(uint32_t class_code) const {
    load_pci();
    auto it = m_impl->pci_subclass_names.find(class_code & 0xFFFF00u);
    if (it != m_impl->pci_subclass_names.end()) return it->second;
    return find_in(m_impl->pci_base_names, class_code & 0xFF0000u);
}

std::string Ids::usb_vendor(uint16_t vendor) const {
    load_usb();
    return vendor_name(m_impl->usb, vendor);
}

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    load_usb();
    const VendorNames& names = names_of(m_impl->usb, vendor, read_usb_block);
    return name_of(m_impl->usb.fd, names.devices, device);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
