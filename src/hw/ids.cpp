#include "hw/ids.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "i18n.h"
#include "util.h"

namespace hw {

// For a file out of order, where each name stands in it. The names
// themselves stay in the file, read back when asked for: kept as strings,
// the two databases cost more memory than the rest of the program.
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

// Where a bisection ended: the first line at or after the id looked for.
struct Record {
    bool found = false;
    uint32_t start = 0;  // file offsets of the line and of the one after it
    uint32_t next = 0;
    int64_t key = 0;
    size_t depth = 0;
    std::string line;  // without its newline
};

// The same while a page is read: its text a view into the page.
struct LineAt {
    uint32_t start = 0;
    uint32_t next = 0;
    int64_t key = 0;
    size_t depth = 0;
    std::string_view text;
};

struct Search {
    bool ordered = true;  // false: the lines met break the file's order
    bool hit = false;     // `rec` carries exactly the id looked for
    Record rec;
    uint32_t bound = 0;       // the block of `rec` ends here at the latest
    bool block_read = false;  // ... and exactly here
};

struct Database {
    int fd = -1;
    // Scan mode: the whole file indexed by load_pci / load_usb.
    std::vector<Block> blocks;  // by vendor, file order within one vendor
    std::unordered_map<uint32_t, VendorNames> read;
    // Bisection mode, while the file keeps its ids in ascending order.
    bool sorted = true;
    bool head_checked = false;
    uint32_t size = 0;
    std::unordered_map<uint32_t, std::string> pages;  // by page number
    std::optional<uint32_t> last_page;                // the page read last, for the lines that follow
    std::string_view last_view;
    std::unordered_map<uint32_t, Search> vendors;
    Record first_vendor;  // the first line of the vendor list
    bool first_vendor_read = false;
    std::unordered_map<uint32_t, Search> devices;  // by vendor << 16 | device
};

struct Ids::Impl {
    Database pci;
    Database usb;
    bool pci_loaded = false;
    bool usb_loaded = false;
    bool pci_classes_read = false;
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

using NameMap = std::unordered_map<uint32_t, std::string>;

// The class section of pci.ids: "C" headers, subclasses one tab deep and
// programming interfaces two tabs deep. Later lines win.
struct ClassReader {
    NameMap& all;  // the three levels under shared keys
    NameMap& bases;
    NameMap& subclasses;
    uint32_t cls = 0;
    uint32_t subclass = 0;

    static bool is_header(std::string_view body) {
        return body.size() > 2 && body[0] == 'C' && body[1] == ' ';
    }

    void read(const Line& line) {
        uint32_t id = 0;
        std::string name;
        if (line.depth == 0) {
            if (!split_id(line.body.substr(2), 2, id, name)) return;
            cls = id;
            all[cls << 16] = name;
            bases[cls << 16] = std::move(name);
        } else if (line.depth == 1) {
            if (!split_id(line.body, 2, id, name)) return;
            subclass = id;
            const uint32_t key = cls << 16 | subclass << 8;
            all[key] = name;
            subclasses[key] = std::move(name);
        } else if (line.depth == 2) {
            if (!split_id(line.body, 2, id, name)) return;
            all[cls << 16 | subclass << 8 | id] = std::move(name);
        }
    }
};

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

// ---- Bisection ---------------------------------------------------------------
// pci.ids and usb.ids list their vendors in ascending id order, each vendor's
// devices too, and the PCI classes after the last vendor. A name is then
// found in a few page reads around the lines compared, instead of reading
// the whole file. Every line met on the way is checked against that order;
// a file that breaks it (edited by hand) is read whole as above.

constexpr uint32_t PAGE = 4096;
constexpr int64_t AFTER_ALL = 0x10000;  // a line that ends the list searched
constexpr int64_t SKIP = -1;            // a line that is no entry of that list
constexpr int64_t OUT_OF_ORDER = -2;    // a line the order cannot place

// The key of a line of the list searched, or one of the three above.
using Classify = int64_t (*)(const Line&);

bool four_hex_digits(std::string_view s) {
    if (s.size() < 4) return false;
    for (size_t i = 0; i < 4; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
    return true;
}

// The id of "<four hex digits><blanks><name>" with the name from column
// `name_from`; any other text cannot be placed in the order.
int64_t entry_key(std::string_view body, size_t name_from) {
    if (!four_hex_digits(body) || name_start(body, name_from) == std::string_view::npos) return OUT_OF_ORDER;
    return util::parse_hex_digits(body.substr(0, 4));
}

// A list one tab deep under an unindented line, which ends it.
int64_t item_key(const Line& line, size_t name_from) {
    if (line.depth == 0) return AFTER_ALL;
    return line.depth > 1 ? SKIP : entry_key(line.body, name_from);
}

int64_t pci_vendor_key(const Line& line) {
    if (line.depth != 0) return SKIP;
    return ClassReader::is_header(line.body) ? AFTER_ALL : entry_key(line.body, 4);
}

int64_t pci_device_key(const Line& line) { return item_key(line, 4); }

int64_t usb_vendor_key(const Line& line) {
    if (line.depth != 0) return SKIP;
    if (line.body.size() <= 4 || !is_blank(line.body[4]) || !four_hex_digits(line.body)) return AFTER_ALL;
    return util::parse_hex_digits(line.body.substr(0, 4));
}

int64_t usb_device_key(const Line& line) { return item_key(line, 5); }

int64_t any_line(const Line&) { return 0; }

// Equal keys only where the list has ended.
bool ordered(int64_t a, int64_t b) { return a < b || (a == b && a == AFTER_ALL); }

// One page of the file, read once per process.
std::string_view page(Database& db, uint32_t number) {
    if (db.last_page && *db.last_page == number) return db.last_view;
    auto it = db.pages.find(number);
    if (it == db.pages.end()) {
        const uint32_t offset = number * PAGE;
        const uint32_t length = offset < db.size ? std::min(PAGE, db.size - offset) : 0;
        it = db.pages.emplace(number, read_at(db.fd, offset, length)).first;
    }
    // Map nodes stay where they are: the view lasts as long as the database.
    db.last_page = number;
    db.last_view = it->second;
    return db.last_view;
}

// The pages of [begin, end), in one read: a block read whole. The buffer is
// left uninitialised; zeroing half a megabyte cost more than reading it.
void read_pages(Database& db, uint32_t begin, uint32_t end) {
    const uint32_t first = begin / PAGE, last = (std::min(end, db.size) + PAGE - 1) / PAGE;
    if (first >= last) return;
    const size_t length = static_cast<size_t>(last - first) * PAGE;
    std::unique_ptr<char[]> bytes(new char[length]);
    size_t got = 0;
    while (db.fd >= 0 && got < length) {
        const ssize_t n =
            ::pread(db.fd, bytes.get() + got, length - got, static_cast<off_t>(first) * PAGE + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    for (uint32_t n = first; n < last && (n - first) * PAGE < got; ++n) {
        const size_t at = static_cast<size_t>(n - first) * PAGE;
        db.pages.try_emplace(n, bytes.get() + at, std::min<size_t>(PAGE, got - at));
    }
}

// The line starting at `start`, without its newline; `next` is where the
// line after it starts. The view lies in a page, or in `joined` for a line
// that crosses into the next page.
std::string_view line_at(Database& db, uint32_t start, uint32_t& next, std::string& joined) {
    joined.clear();
    uint32_t pos = start;
    while (pos < db.size) {
        const std::string_view p = page(db, pos / PAGE);
        const size_t from = pos % PAGE;
        if (from >= p.size()) break;  // the file shrank
        const size_t nl = p.find('\n', from);
        const size_t end = nl == std::string_view::npos ? p.size() : nl;
        pos += static_cast<uint32_t>(end - from);
        if (nl != std::string_view::npos && joined.empty()) {
            next = pos + 1;
            return p.substr(from, end - from);
        }
        joined.append(p.substr(from, end - from));
        if (nl != std::string_view::npos) {
            next = pos + 1;
            return joined;
        }
    }
    next = std::max(pos, db.size);
    return joined;
}

// The first line that starts at or after `pos`.
uint32_t line_start(Database& db, uint32_t pos, std::string& joined) {
    uint32_t next = pos;
    if (pos > 0) line_at(db, pos - 1, next, joined);
    return next;
}

// Calls fn(record) for every line of the list that starts in [begin, end),
// in file order, while fn returns true. The record's line is a view that
// lasts until the next call.
template <typename Fn>
void records_in(Database& db, uint32_t begin, uint32_t end, Classify classify, Fn fn) {
    std::string joined;
    for (uint32_t pos = line_start(db, begin, joined); pos < end && pos < db.size;) {
        LineAt r;
        r.start = pos;
        const std::string_view text = line_at(db, pos, r.next, joined);
        pos = r.next;
        if (text.empty() || text[0] == '#') continue;
        r.depth = std::min(text.find_first_not_of('\t'), text.size());
        if (r.depth == text.size()) continue;
        r.key = classify(Line{r.depth, text.substr(r.depth)});
        if (r.key == SKIP) continue;
        r.text = text;
        if (!fn(r)) return;
    }
}

Record owned(const LineAt& r) { return Record{true, r.start, r.next, r.key, r.depth, std::string(r.text)}; }

Record first_record(Database& db, uint32_t begin, uint32_t end, Classify classify) {
    Record first;
    records_in(db, begin, end, classify, [&](const LineAt& r) {
        first = owned(r);
        return false;
    });
    return first;
}

Record last_record(Database& db, uint32_t begin, uint32_t end, Classify classify) {
    LineAt last;
    bool found = false;
    std::string text;
    records_in(db, begin, end, classify, [&](const LineAt& r) {
        last = r;
        text.assign(r.text);
        found = true;
        return true;
    });
    if (!found) return {};
    last.text = text;
    return owned(last);
}

// A page's first and last lines of the list, and the id of its first line
// one tab deep: a device or product, in ascending order within a vendor.
struct PageLines {
    Record first;
    Record last;
    int64_t first_item = -1;
};

PageLines page_lines(Database& db, uint32_t begin, uint32_t end, Classify classify) {
    PageLines p;
    LineAt last;
    std::string last_text;  // the view may not outlive the next line
    records_in(db, begin, end, any_line, [&](const LineAt& r) {
        const Line line{r.depth, r.text.substr(r.depth)};
        const int64_t key = classify(line);
        if (key != SKIP) {
            last = r;
            last.key = key;
            last_text.assign(r.text);
            if (!p.first.found) p.first = owned(last);
        } else if (p.first_item < 0 && line.depth == 1 && four_hex_digits(line.body)) {
            p.first_item = util::parse_hex_digits(line.body.substr(0, 4));
        }
        return true;
    });
    if (p.first.found) {
        last.text = last_text;
        p.last = owned(last);
    }
    return p;
}

// Lines of the list found around a point: behind it and ahead of it.
struct Probe {
    Record behind;
    Record ahead;
};

// Inside a long block (Intel's is a quarter of pci.ids), the lines of the
// list nearest to `mid` on either side: the block's own vendor line and the
// next one. Device ids rise within a block, so a page without a vendor line
// whose first device id is above the one at `mid` (behind it) or below it
// (ahead of it) lies in another block. The edges are bisected by that; the
// one ahead only when the one behind is below the id looked for.
Probe block_edges(Database& db, uint32_t lo, uint32_t hi, uint32_t mid, int64_t item, int64_t target,
                  Classify classify) {
    Probe edges;
    const int64_t behind = (mid - lo + PAGE - 1) / PAGE, ahead = (hi - mid + PAGE - 1) / PAGE;
    for (bool forward : {false, true}) {
        if (forward && edges.behind.found && edges.behind.key >= target) break;
        // Pages counted from the one at mid (0, inside the block).
        auto lines = [&](int64_t k) {
            const uint32_t offset = static_cast<uint32_t>(k) * PAGE;
            if (forward) return page_lines(db, mid + offset, std::min(mid + offset + PAGE, hi), classify);
            const uint32_t end = mid - offset + PAGE;
            return page_lines(db, end - lo > PAGE ? end - PAGE : lo, end, classify);
        };
        int64_t inside = 0, outside = forward ? ahead : behind + 1;
        Record& edge = forward ? edges.ahead : edges.behind;
        while (outside - inside > 1) {
            const int64_t m = inside + (outside - inside) / 2;
            PageLines p = lines(m);
            Record& near = forward ? p.first : p.last;
            if (near.found) {
                edge = std::move(near);
                outside = m;
            } else if (p.first_item < 0 || (forward ? p.first_item >= item : p.first_item <= item)) {
                inside = m;
            } else {
                outside = m;
            }
        }
    }
    return edges;
}

Record near_record(Database& db, uint32_t lo, uint32_t hi, uint32_t mid, Classify classify);

// Lines of the list in [lo, hi) near `mid`: in the page at `mid`; inside a
// long block the block's edges; else the pages around it, at doubling
// distances on either side and then the nearest between the last page
// without one and the first page with one.
Probe probe(Database& db, uint32_t lo, uint32_t hi, uint32_t mid, int64_t target, Classify classify) {
    PageLines at_mid = page_lines(db, mid, hi - mid > PAGE ? mid + PAGE : hi, classify);
    if (at_mid.first.found) return {Record{}, std::move(at_mid.first)};
    if (at_mid.first_item >= 0) {
        Probe edges = block_edges(db, lo, hi, mid, at_mid.first_item, target, classify);
        if (edges.behind.found || edges.ahead.found) return edges;
    }
    return {Record{}, near_record(db, lo, hi, mid, classify)};
}

// Any line of the list in [lo, hi), the nearest to `mid` that a few pages tell.
Record near_record(Database& db, uint32_t lo, uint32_t hi, uint32_t mid, Classify classify) {
    const int64_t count[2] = {(mid - lo + PAGE - 1) / PAGE, (hi - mid + PAGE - 1) / PAGE};  // behind, ahead
    auto window = [&](bool ahead, int64_t k) {
        const uint32_t offset = static_cast<uint32_t>(k) * PAGE;
        if (ahead)
            return first_record(db, mid + offset, hi - mid - offset > PAGE ? mid + offset + PAGE : hi,
                                classify);
        const uint32_t end = mid - offset;
        return last_record(db, end - lo > PAGE ? end - PAGE : lo, end, classify);
    };
    int64_t empty[2] = {-1, -1};  // the farthest window known to hold no line, per side
    struct Gap {
        bool ahead;
        int64_t after, before;  // windows known to hold no line
    };
    std::vector<Gap> skipped;
    for (int64_t step = 0;; step = step ? step * 2 : 1) {
        bool tried = false;
        for (bool ahead : {true, false}) {
            const int64_t k = std::min(step, count[ahead] - 1);
            if (k <= empty[ahead]) continue;
            tried = true;
            Record r = window(ahead, k);
            if (!r.found) {
                if (k - empty[ahead] > 1) skipped.push_back({ahead, empty[ahead], k});
                empty[ahead] = k;
                continue;
            }
            for (int64_t near = k; near - empty[ahead] > 1;) {
                const int64_t m = empty[ahead] + (near - empty[ahead]) / 2;
                Record closer = window(ahead, m);
                if (closer.found) {
                    near = m;
                    r = std::move(closer);
                } else {
                    empty[ahead] = m;
                }
            }
            return r;
        }
        if (!tried) break;
    }
    // The steps found none: the windows they skipped, halving each gap in
    // turn on both sides. Only a range inside one block, which holds no line
    // of the list, reads all of them.
    for (size_t i = 0; i < skipped.size(); ++i) {
        const Gap gap = skipped[i];
        const int64_t m = gap.after + (gap.before - gap.after) / 2;
        Record r = window(gap.ahead, m);
        if (r.found) return r;
        if (m - gap.after > 1) skipped.push_back({gap.ahead, gap.after, m});
        if (gap.before - m > 1) skipped.push_back({gap.ahead, m, gap.before});
    }
    return {};
}

// The first line of the list in [begin, end) whose key is at least
// `target`. Each step reads the page in the middle of what is left and,
// inside a long block where that page holds no line of the list, the pages
// on either side of it in turn until one does.
Search bisect(Database& db, uint32_t begin, uint32_t end, int64_t target, Classify classify) {
    Search s;
    uint32_t lo = begin, hi = end;  // lines before lo are below target; the line at hi_rec is not
    int64_t lo_key = -1, hi_key = AFTER_ALL + 1;
    Record hi_rec;
    uint32_t beyond = end;  // where the line after hi_rec starts at the latest
    auto in_order = [&](int64_t key) {
        return key != OUT_OF_ORDER && ordered(lo_key, key) && ordered(key, hi_key);
    };
    auto answer = [&](const Record& r, uint32_t bound) {
        s.rec = r;
        s.hit = r.found && r.key == target;
        s.bound = bound;
        return s;
    };
    while (hi - lo > PAGE) {
        const Probe found = probe(db, lo, hi, lo + (hi - lo) / 2, target, classify);
        if (!found.behind.found && !found.ahead.found) return answer(hi_rec, beyond);  // none in [lo, hi)
        for (const Record* rec : {&found.behind, &found.ahead}) {
            if (!rec->found || rec->start < lo || rec->start >= hi) continue;
            if (!in_order(rec->key)) {
                s.ordered = false;
                return s;
            }
            if (rec->key == target && target != AFTER_ALL) {
                // Any later line ends the block found; the nearest one known.
                const bool next_known = rec == &found.behind && found.ahead.found;
                return answer(*rec, next_known ? found.ahead.start : hi_rec.found ? hi_rec.start : end);
            }
            if (rec->key < target) {
                lo = rec->next;
                lo_key = rec->key;
            } else {
                if (hi_rec.found) beyond = hi_rec.start;
                hi = rec->start;
                hi_key = rec->key;
                hi_rec = *rec;
            }
        }
    }
    // What is left is read whole, and checked whole.
    Record first;
    uint32_t after = 0;
    int64_t previous = lo_key;
    records_in(db, lo, hi, classify, [&](const LineAt& r) {
        if (r.key == OUT_OF_ORDER || !ordered(previous, r.key) || !ordered(r.key, hi_key)) s.ordered = false;
        previous = r.key;
        if (first.found && after == 0) after = r.start;
        if (!first.found && r.key >= target) first = owned(r);
        return s.ordered;
    });
    if (!s.ordered) return s;
    if (first.found) return answer(first, after ? after : hi_rec.found ? hi_rec.start : end);
    return answer(hi_rec, beyond);
}

// Lines before the first vendor line count for vendor 0 when the file is
// read whole; bisection has no place for them.
bool vendor_list_first(Database& db) {
    const Record r = first_record(
        db, 0, db.size, [](const Line& line) { return line.depth == 0 ? AFTER_ALL : OUT_OF_ORDER; });
    return !r.found || r.key == AFTER_ALL;
}

bool bisectable(Database& db) {
    if (db.sorted && !db.head_checked) {
        db.head_checked = true;
        db.sorted = vendor_list_first(db);
    }
    return db.sorted;
}

// The vendor's line by bisection, kept per vendor; null once the file has
// shown itself out of order.
const Search* find_vendor(Database& db, uint16_t vendor, Classify vendor_key) {
    if (!bisectable(db)) return nullptr;
    auto it = db.vendors.find(vendor);
    if (it == db.vendors.end() && !db.first_vendor_read) {
        db.first_vendor_read = true;
        db.first_vendor = first_record(db, 0, db.size, vendor_key);
    }
    // Vendor 0 is asked for every device whose subsystem ids are unset: at
    // or below the first vendor the search stops there, as a bisection would
    // end there after checking the lines on its way. A file of one page is
    // checked whole by the bisection instead.
    const Record& first = db.first_vendor;
    if (it == db.vendors.end() && db.size > PAGE && first.found && first.key >= vendor &&
        first.key != OUT_OF_ORDER) {
        Search s;
        s.rec = first;
        s.hit = first.key == vendor;
        s.bound = db.size;
        it = db.vendors.emplace(vendor, std::move(s)).first;
    }
    if (it == db.vendors.end()) {
        Search s = bisect(db, 0, db.size, vendor, vendor_key);
        if (!s.ordered) {
            db.sorted = false;
            return nullptr;
        }
        it = db.vendors.emplace(vendor, std::move(s)).first;
    }
    return &it->second;
}

// Where the line after the one holding `pos` starts.
uint32_t next_line(Database& db, uint32_t pos) {
    while (pos < db.size) {
        const std::string_view p = page(db, pos / PAGE);
        const size_t at = pos % PAGE;
        if (at >= p.size()) break;
        const size_t nl = p.find('\n', at);
        if (nl != std::string_view::npos) return pos + static_cast<uint32_t>(nl - at) + 1;
        pos += static_cast<uint32_t>(p.size() - at);
    }
    return db.size;
}

// The first line without indentation in [begin, end) (a line start), read
// in pieces that double: as few reads as the block is long, and only the
// first byte of each line looked at.
uint32_t block_end(Database& db, uint32_t begin, uint32_t end) {
    uint32_t piece = 4 * PAGE, read_to = begin;
    for (uint32_t pos = begin; pos < end && pos < db.size; pos = next_line(db, pos)) {
        if (pos >= read_to) {
            read_to = end - pos > piece ? pos + piece : end;
            read_pages(db, pos, read_to);
            piece = std::min(2 * piece, 1u << 24);
        }
        const std::string_view p = page(db, pos / PAGE);
        if (pos % PAGE >= p.size()) break;
        // Not indented, not a comment, not empty.
        const char c = p[pos % PAGE];
        if (c != '\t' && c != '#' && c != '\n') return pos;
    }
    return end;
}

// A device's line inside its vendor's block, kept per device (pages name a
// device and its subsystem apart).
const Search* find_device(Database& db, uint16_t vendor, uint16_t device, Classify vendor_key,
                          Classify device_key) {
    static const Search NOT_LISTED;
    if (!find_vendor(db, vendor, vendor_key)) return nullptr;
    Search& v = db.vendors[vendor];
    if (!v.hit) return &NOT_LISTED;
    if (!v.block_read) {
        // Device lines past the block's end belong to later vendors and can
        // pass for this one's: the search stops at the next line without
        // indentation, found by reading the block once.
        v.block_read = true;
        v.bound = block_end(db, v.rec.next, v.bound);
    }
    const uint32_t key = static_cast<uint32_t>(vendor) << 16 | device;
    auto it = db.devices.find(key);
    if (it == db.devices.end()) {
        Search s = bisect(db, v.rec.next, v.bound, device, device_key);
        if (!s.ordered) {
            db.sorted = false;
            return nullptr;
        }
        it = db.devices.emplace(key, std::move(s)).first;
    }
    return &it->second;
}

// The name after the id of a found line.
std::string name_of_line(const Search& s, size_t id_width) {
    if (!s.hit) return {};
    const std::string_view line = s.rec.line;
    return name_after(line.substr(std::min(line.find_first_not_of('\t'), line.size())), id_width);
}

// Subsystem lines are two tabs deep; a shallower line ends a device's list.
int64_t subsystem_key(const Line& line) {
    if (line.depth == 2) return 0;
    return line.depth < 2 ? AFTER_ALL : SKIP;
}

// The subsystem lines under a found device line; the last line naming the
// pair wins. Empty when none does.
std::string subsystem_name(Database& db, const Search& device, uint32_t sub) {
    std::string name;
    records_in(db, device.rec.next, device.bound, subsystem_key, [&](const LineAt& r) {
        if (r.key == AFTER_ALL) return false;
        const std::string_view body = r.text.substr(r.depth);
        const size_t at = name_start(body, 9);
        if (at == std::string_view::npos) return true;
        const uint32_t pair =
            util::parse_hex_digits(body.substr(0, 4)) << 16 | util::parse_hex_digits(body.substr(5, 4));
        if (pair == sub) name = trimmed(body.substr(at));
        return true;
    });
    return name;
}

// The class section, from its first header to the end of the file; false
// when the file is out of order or a vendor line follows a header.
bool read_class_section(Database& db, ClassReader& reader) {
    if (!bisectable(db)) return false;
    const Search s = bisect(db, 0, db.size, AFTER_ALL, pci_vendor_key);
    if (!s.ordered) return false;
    bool ok = true;
    if (!s.rec.found) return ok;
    records_in(db, s.rec.start, db.size, any_line, [&](const LineAt& r) {
        const Line line{r.depth, r.text.substr(r.depth)};
        ok = line.depth != 0 || ClassReader::is_header(line.body);
        if (ok) reader.read(line);
        return ok;
    });
    return ok;
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
    for (Database* db : {&m_impl->pci, &m_impl->usb}) {
        struct stat st {};
        // Offsets are 32 bits; a larger file is no database and is read as
        // the whole-file reader reads it.
        if (db->fd >= 0 && ::fstat(db->fd, &st) == 0 && st.st_size < UINT32_MAX)
            db->size = static_cast<uint32_t>(st.st_size);
    }
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
    uint32_t vendor = 0, device = 0;
    ClassReader classes{m.pci_classes, m.pci_base_names, m.pci_subclass_names};
    bool in_classes = false;
    Block block;  // lines before the first vendor line belong to vendor 0
    bool in_block = true;
    const uint32_t size = scan_database(m.pci.fd, [&](const Line& line, auto at) {
        const std::string_view body = line.body;
        if (line.depth == 0) {
            if (in_block) add_block(m.pci.blocks, block, at(body));
            in_block = false;
            in_classes = ClassReader::is_header(body);
            if (in_classes) return classes.read(line);
            // A line that names no vendor leaves its devices with the previous one.
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
        } else if (in_classes) {
            classes.read(line);
        } else if (line.depth == 1 && name_start(body, 4) != std::string_view::npos) {
            device = util::parse_hex_digits(body.substr(0, 4));
        }
    });
    if (in_block) add_block(m.pci.blocks, block, size);
    if (size == 0) m.pci.blocks.clear();
    clamp_blocks(m.pci.blocks, size);
    sort_blocks(m.pci.blocks);
    m.pci_classes_read = true;
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

// Each lookup bisects while the file keeps its order and falls back to the
// whole-file index for good once it does not.
std::string Ids::pci_vendor(uint16_t vendor) const {
    if (const Search* v = find_vendor(m_impl->pci, vendor, pci_vendor_key)) return name_of_line(*v, 4);
    load_pci();
    return vendor_name(m_impl->pci, vendor);
}

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    Database& db = m_impl->pci;
    if (const Search* d = find_device(db, vendor, device, pci_vendor_key, pci_device_key))
        return name_of_line(*d, 4);
    load_pci();
    const VendorNames& names = names_of(db, vendor, read_pci_block);
    return name_of(db.fd, names.devices, device);
}

std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    Database& db = m_impl->pci;
    const uint32_t sub = static_cast<uint32_t>(sub_vendor) << 16 | sub_device;
    if (const Search* d = find_device(db, vendor, device, pci_vendor_key, pci_device_key)) {
        std::string name = d->hit ? subsystem_name(db, *d, sub) : std::string();
        return name.empty() ? pci_vendor(sub_vendor) : name;
    }
    load_pci();
    const VendorNames& names = names_of(db, vendor, read_pci_block);
    const uint64_t key = static_cast<uint64_t>(device) << 32 | sub;
    if (!find_at(names.subsystems, key)) return pci_vendor(sub_vendor);
    return name_of(db.fd, names.subsystems, key);
}

bool Ids::pci_bisected() const { return m_impl->pci.sorted; }

void Ids::load_pci_classes() const {
    Impl& m = *m_impl;
    if (m.pci_classes_read) return;
    m.pci_classes_read = true;
    ClassReader reader{m.pci_classes, m.pci_base_names, m.pci_subclass_names};
    if (!read_class_section(m.pci, reader)) {
        m.pci.sorted = false;
        load_pci();
    }
}

std::string Ids::pci_class(uint32_t class_code) const {
    load_pci_classes();
    for (uint32_t mask : {0xFFFFFFu, 0xFFFF00u, 0xFF0000u}) {
        auto it = m_impl->pci_classes.find(class_code & mask);
        if (it != m_impl->pci_classes.end()) return it->second;
    }
    return {};
}

std::string Ids::pci_subclass(uint32_t class_code) const {
    load_pci_classes();
    auto it = m_impl->pci_subclass_names.find(class_code & 0xFFFF00u);
    if (it != m_impl->pci_subclass_names.end()) return it->second;
    return find_in(m_impl->pci_base_names, class_code & 0xFF0000u);
}

std::string Ids::usb_vendor(uint16_t vendor) const {
    if (const Search* v = find_vendor(m_impl->usb, vendor, usb_vendor_key)) return name_of_line(*v, 5);
    load_usb();
    return vendor_name(m_impl->usb, vendor);
}

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    Database& db = m_impl->usb;
    if (const Search* d = find_device(db, vendor, device, usb_vendor_key, usb_device_key))
        return name_of_line(*d, 5);
    load_usb();
    const VendorNames& names = names_of(db, vendor, read_usb_block);
    return name_of(db.fd, names.devices, device);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
