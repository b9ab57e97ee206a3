#include "hw/ids.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
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

// A vendor found by bisection, and where its block of lines ends (found at
// the first question about one of its devices).
struct VendorAt {
    bool listed = false;
    std::string_view line;  // the vendor's line, without its newline
    uint32_t block = 0;     // where the lines after it start
    std::optional<uint32_t> block_end;
};

struct Database {
    // The file mapped read-only: a search brings in only the pages it looks
    // at, and names are read where they stand. A database is replaced by
    // renaming a new file over it, which leaves this mapping whole.
    std::string_view text;
    void* map = nullptr;
    size_t map_length = 0;
    int fd = -1;  // kept open to notice a file rewritten in place
    struct timespec mapped_mtime {};
    // Scan mode: the whole file indexed by load_pci / load_usb.
    std::vector<Block> blocks;  // by vendor, file order within one vendor
    std::unordered_map<uint32_t, VendorNames> read;
    // Bisection mode, while the file keeps its ids in ascending order.
    bool sorted = true;
    bool head_checked = false;
    std::unordered_map<uint32_t, VendorAt> vendors;
    // Runs of indented lines longer than a page, by where a search entered
    // them, to the next unindented line: each long block is stepped through
    // once, however often a bisection lands in it.
    std::map<uint32_t, uint32_t> runs;
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

// Bytes [offset, offset + length) of the file; fewer if it has fewer.
std::string_view bytes_at(const Database& db, uint32_t offset, uint32_t length) {
    return offset < db.text.size() ? db.text.substr(offset, length) : std::string_view();
}

// The name of `key` read back from the file; "" when it is not listed or
// the file no longer gives it.
std::string name_of(const Database& db, const NameIndex& index, uint64_t key) {
    const NameAt* at = find_at(index, key);
    return at ? trimmed(bytes_at(db, at->offset, at->length)) : std::string();
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
        if (it->named) return trimmed(bytes_at(db, it->name_at, it->name_length));
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
        read_block(*it, bytes_at(db, it->begin, it->end - it->begin), names);
    finish(names.devices);
    finish(names.subsystems);
    return db.read.emplace(vendor, std::move(names)).first->second;
}

std::string find_in(const std::unordered_map<uint32_t, std::string>& map, uint32_t key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

// Calls fn(line, at) for each line for_each_line would; at(view) is the
// file offset of a view into the line. Returns the file's size.
template <typename Fn>
uint32_t scan_database(const Database& db, Fn fn) {
    auto at = [&](std::string_view v) { return static_cast<uint32_t>(v.data() - db.text.data()); };
    for_each_line(db.text, [&](const Line& line) { fn(line, at); });
    return static_cast<uint32_t>(db.text.size());
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

// A line of the file: where it starts, where the one after it starts, and
// for a line of the list searched its key.
struct TextLine {
    bool found = false;
    uint32_t start = 0;
    uint32_t next = 0;
    size_t depth = 0;
    int64_t key = 0;
    std::string_view text;  // without its newline

    Line line() const { return Line{depth, text.substr(depth)}; }
};

// The first line that starts at or after `pos`.
uint32_t line_start(std::string_view text, uint32_t pos) {
    if (pos == 0) return 0;
    const size_t nl = text.find('\n', pos - 1);
    return nl == std::string_view::npos ? static_cast<uint32_t>(text.size()) : static_cast<uint32_t>(nl + 1);
}

// Calls fn(line) for each line of the list that starts in [begin, end), in
// file order, while fn returns true: lines that are empty, comments, all
// tabs or no entry of the list (SKIP) are passed over.
template <typename Fn>
void list_lines(std::string_view text, uint32_t begin, uint32_t end, Classify classify, Fn fn) {
    end = std::min(end, static_cast<uint32_t>(text.size()));
    for (uint32_t pos = line_start(text, begin); pos < end;) {
        TextLine r;
        r.start = pos;
        const size_t nl = text.find('\n', pos);
        const size_t stop = nl == std::string_view::npos ? text.size() : nl;
        r.text = text.substr(pos, stop - pos);
        r.next = pos = static_cast<uint32_t>(nl == std::string_view::npos ? text.size() : nl + 1);
        if (r.text.empty() || r.text[0] == '#') continue;
        r.depth = std::min(r.text.find_first_not_of('\t'), r.text.size());
        if (r.depth == r.text.size()) continue;
        r.key = classify(r.line());
        if (r.key == SKIP) continue;
        r.found = true;
        if (!fn(r)) return;
    }
}

TextLine first_line(std::string_view text, uint32_t begin, uint32_t end, Classify classify) {
    TextLine first;
    list_lines(text, begin, end, classify, [&](const TextLine& r) {
        first = r;
        return false;
    });
    return first;
}

bool opens_block(char c) { return c != '\t' && c != '#' && c != '\n'; }

// The first line without indentation that starts in [begin, limit), else
// `limit`; `begin` is a line start. Only the first byte of each line is
// looked at, sixteen bytes at a time where the processor has the
// instructions for it: long blocks are hundreds of kilobytes, and line by
// line they were a third of a report's work.
uint32_t block_end(std::string_view text, uint32_t begin, uint32_t limit) {
    const char* const s = text.data();
    const size_t size = std::min<size_t>(text.size(), limit);
    if (begin < size && opens_block(s[begin])) return begin;
    size_t pos = begin;  // from here on, the byte after each newline
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n'), tab = _mm_set1_epi8('\t');
    for (; pos + 17 <= size; pos += 16) {
        const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + pos));
        const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + pos + 1));
        unsigned starts = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(here, newline))) &
                          ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(after, tab)));
        for (; starts != 0; starts &= starts - 1) {
            const size_t start = pos + static_cast<size_t>(__builtin_ctz(starts)) + 1;
            if (opens_block(s[start])) return static_cast<uint32_t>(start);
        }
    }
#endif
    for (; pos + 1 < size; ++pos)
        if (s[pos] == '\n' && opens_block(s[pos + 1])) return static_cast<uint32_t>(pos + 1);
    return limit;
}

// block_end from `pos` (a line start) to the end of the file, with the long
// runs of indented lines it steps through remembered: a bisection lands in
// Intel's block several times. Runs never cross an unindented line, so a
// run entered further on ends where this one does.
uint32_t unindented_from(Database& db, uint32_t pos) {
    auto next = db.runs.upper_bound(pos);
    if (next != db.runs.begin() && std::prev(next)->second > pos) return std::prev(next)->second;
    const uint32_t size = static_cast<uint32_t>(db.text.size());
    const uint32_t limit = next == db.runs.end() ? size : next->first;
    uint32_t end = block_end(db.text, pos, limit);
    if (end == limit && next != db.runs.end()) end = next->second;
    if (end - pos > PAGE) db.runs[pos] = end;
    return end;
}

// The first line of the list at or after `pos`, where the list's lines are
// all unindented (vendors, and the class headers after them).
TextLine first_unindented(Database& db, uint32_t pos, uint32_t end, Classify classify) {
    const uint32_t at = unindented_from(db, line_start(db.text, pos));
    return at < end ? first_line(db.text, at, end, classify) : TextLine{};
}

// Where a bisection ended: the first line of the list at or after the key
// looked for, unless the lines met broke the file's order.
struct Search {
    bool ordered = true;
    TextLine line;
};

// The first line of the list in [begin, end) whose key is at least
// `target`. Each step looks at the first line of the list after the middle
// of what is left; inside a long block (Intel's is a quarter of pci.ids) that
// is the block's end, found in the mapped pages. What is left at the end is
// read whole and checked whole. `hi` may fall inside a line (the middle of
// a stretch without lines of the list), so a line below the target that
// crosses it can carry `lo` past `hi`: nothing is then left between them.
Search bisect(Database& db, uint32_t begin, uint32_t end, int64_t target, Classify classify,
              bool unindented) {
    Search s;
    uint32_t lo = begin, hi = end;  // lines before lo are below target; from hi on, hi_line is the first
    int64_t lo_key = -1, hi_key = AFTER_ALL + 1;
    TextLine hi_line;
    auto in_order = [&](int64_t key) {
        return key != OUT_OF_ORDER && ordered(lo_key, key) && ordered(key, hi_key);
    };
    while (lo < hi && hi - lo > PAGE) {
        const uint32_t mid = lo + (hi - lo) / 2;
        const TextLine r =
            unindented ? first_unindented(db, mid, hi, classify) : first_line(db.text, mid, hi, classify);
        if (!r.found) {
            hi = mid;
            continue;
        }
        if (!in_order(r.key)) {
            s.ordered = false;
            return s;
        }
        if (r.key < target) {
            lo = r.next;
            lo_key = r.key;
            continue;
        }
        hi = r.start;
        hi_key = r.key;
        hi_line = r;
        if (r.key == target && target != AFTER_ALL) {
            s.line = r;
            return s;
        }
    }
    TextLine first;
    int64_t previous = lo_key;
    list_lines(db.text, lo, hi, classify, [&](const TextLine& r) {
        if (r.key == OUT_OF_ORDER || !ordered(previous, r.key) || !ordered(r.key, hi_key)) s.ordered = false;
        previous = r.key;
        if (!first.found && r.key >= target) first = r;
        return s.ordered;
    });
    s.line = first.found ? first : hi_line;
    return s;
}

// Lines before the first vendor line count for vendor 0 when the file is
// read whole; bisection has no place for them.
bool vendor_list_first(const Database& db) {
    const TextLine r = first_line(db.text, 0, static_cast<uint32_t>(db.text.size()), [](const Line& line) {
        return line.depth == 0 ? AFTER_ALL : OUT_OF_ORDER;
    });
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
VendorAt* find_vendor(Database& db, uint16_t vendor, Classify vendor_key) {
    if (!bisectable(db)) return nullptr;
    auto it = db.vendors.find(vendor);
    if (it != db.vendors.end()) return &it->second;
    const Search s = bisect(db, 0, static_cast<uint32_t>(db.text.size()), vendor, vendor_key, true);
    if (!s.ordered) {
        db.sorted = false;
        return nullptr;
    }
    VendorAt v;
    v.listed = s.line.found && s.line.key == vendor;
    v.line = s.line.text;
    v.block = s.line.next;
    return &db.vendors.emplace(vendor, v).first->second;
}

// A device's line inside its vendor's block. Device lines past the block's
// end belong to later vendors and can pass for this one's, so the search
// stops at the next line without indentation. Null once the file has shown
// itself out of order; `block_end` is where the vendor's block ends.
std::optional<Search> find_device(Database& db, uint16_t vendor, uint16_t device, Classify vendor_key,
                                  Classify device_key, uint32_t& end) {
    VendorAt* v = find_vendor(db, vendor, vendor_key);
    if (!v) return std::nullopt;
    if (!v->listed) return Search{};
    if (!v->block_end) v->block_end = unindented_from(db, v->block);
    end = *v->block_end;
    Search s = bisect(db, v->block, end, device, device_key, false);
    if (!s.ordered) {
        db.sorted = false;
        return std::nullopt;
    }
    if (s.line.key != device) s.line = TextLine{};
    return s;
}

// The name after the id of a found line.
std::string name_of_line(std::string_view line, size_t id_width) {
    return name_after(line.substr(std::min(line.find_first_not_of('\t'), line.size())), id_width);
}

// Subsystem lines are two tabs deep; a shallower line ends a device's list.
int64_t subsystem_key(const Line& line) {
    if (line.depth == 2) return 0;
    return line.depth < 2 ? AFTER_ALL : SKIP;
}

// The subsystem lines under a found device line; the last line naming the
// pair wins. Empty when none does.
std::string subsystem_name(const Database& db, const TextLine& device, uint32_t end, uint32_t sub) {
    std::string name;
    list_lines(db.text, device.next, end, subsystem_key, [&](const TextLine& r) {
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
    const uint32_t size = static_cast<uint32_t>(db.text.size());
    const Search s = bisect(db, 0, size, AFTER_ALL, pci_vendor_key, true);
    if (!s.ordered) return false;
    bool ok = true;
    if (!s.line.found) return ok;
    list_lines(db.text, s.line.start, size, any_line, [&](const TextLine& r) {
        const Line line = r.line();
        ok = line.depth != 0 || ClassReader::is_header(line.body);
        if (ok) reader.read(line);
        return ok;
    });
    return ok;
}

void unmap(Database& db) {
    if (db.map) ::munmap(db.map, db.map_length);
    db.map = nullptr;
    db.map_length = 0;
    db.text = {};
}

// The file open on `fd` mapped whole as it is now, with nothing kept from an
// earlier mapping; or nothing: an empty, unreadable or (past 32-bit offsets)
// oversized file is no database.
void map_file(Database& db, int fd) {
    unmap(db);
    db = Database{};
    db.fd = fd;
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return;
    db.mapped_mtime = st.st_mtim;
    if (st.st_size <= 0 || st.st_size >= UINT32_MAX) return;
    const size_t length = static_cast<size_t>(st.st_size);
    void* map = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, 0);
    if (map == MAP_FAILED) return;
    db.map = map;
    db.map_length = length;
    db.text = std::string_view(static_cast<const char*>(map), length);
}

// A file rewritten in place (an editor saving over it) leaves mapped pages
// past its new end, and touching one of them kills the process. Before each
// question the file is looked at, and a changed one is mapped afresh; true
// when it was.
bool follow_changes(Database& db) {
    struct stat st {};
    if (db.fd < 0 || ::fstat(db.fd, &st) != 0) return false;
    const bool same = static_cast<uint64_t>(st.st_size) == db.map_length &&
                      st.st_mtim.tv_sec == db.mapped_mtime.tv_sec &&
                      st.st_mtim.tv_nsec == db.mapped_mtime.tv_nsec;
    if (same) return false;
    map_file(db, db.fd);
    return true;
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
    // Each database is mapped now, from the file found now, and read at its
    // first question (many machines show no USB page, and the collector
    // asks none).
    m_pci_path = find_ids_file("pci.ids");
    if (!m_pci_path.empty()) map_file(m_impl->pci, util::open_fd(m_pci_path, O_RDONLY));
    m_usb_path = find_ids_file("usb.ids");
    if (!m_usb_path.empty()) map_file(m_impl->usb, util::open_fd(m_usb_path, O_RDONLY));
}

Ids::~Ids() {
    for (Database* db : {&m_impl->pci, &m_impl->usb}) {
        unmap(*db);
        if (db->fd >= 0) ::close(db->fd);
    }
    delete m_impl;
}

namespace {

void read_pci_block(const Block& block, std::string_view bytes, VendorNames& names) {
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

void read_usb_block(const Block& block, std::string_view bytes, VendorNames& names) {
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
    const uint32_t size = scan_database(m.pci, [&](const Line& line, auto at) {
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
    sort_blocks(m.pci.blocks);
    m.pci_classes_read = true;
}

void Ids::load_usb() const {
    Impl& m = *m_impl;
    if (m.usb_loaded) return;
    m.usb_loaded = true;
    Block block;  // products before the first vendor line belong to vendor 0
    bool in_block = true;
    const uint32_t size = scan_database(m.usb, [&](const Line& line, auto at) {
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
    sort_blocks(m.usb.blocks);
}

// A file mapped afresh is searched afresh; the class tables keep the names
// they copied.
void Ids::follow_pci() const {
    if (follow_changes(m_impl->pci)) m_impl->pci_loaded = false;
}

void Ids::follow_usb() const {
    if (follow_changes(m_impl->usb)) m_impl->usb_loaded = false;
}

// Each lookup bisects while the file keeps its order and falls back to the
// whole-file index for good once it does not.
std::string Ids::pci_vendor(uint16_t vendor) const {
    follow_pci();
    if (const VendorAt* v = find_vendor(m_impl->pci, vendor, pci_vendor_key))
        return v->listed ? name_of_line(v->line, 4) : std::string();
    load_pci();
    return vendor_name(m_impl->pci, vendor);
}

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    follow_pci();
    Database& db = m_impl->pci;
    uint32_t end = 0;
    if (const std::optional<Search> d = find_device(db, vendor, device, pci_vendor_key, pci_device_key, end))
        return d->line.found ? name_of_line(d->line.text, 4) : std::string();
    load_pci();
    const VendorNames& names = names_of(db, vendor, read_pci_block);
    return name_of(db, names.devices, device);
}

std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    follow_pci();
    Database& db = m_impl->pci;
    const uint32_t sub = static_cast<uint32_t>(sub_vendor) << 16 | sub_device;
    uint32_t end = 0;
    if (const std::optional<Search> d =
            find_device(db, vendor, device, pci_vendor_key, pci_device_key, end)) {
        std::string name = d->line.found ? subsystem_name(db, d->line, end, sub) : std::string();
        return name.empty() ? pci_vendor(sub_vendor) : name;
    }
    load_pci();
    const VendorNames& names = names_of(db, vendor, read_pci_block);
    const uint64_t key = static_cast<uint64_t>(device) << 32 | sub;
    if (!find_at(names.subsystems, key)) return pci_vendor(sub_vendor);
    return name_of(db, names.subsystems, key);
}

bool Ids::pci_bisected() const { return m_impl->pci.sorted; }

void Ids::load_pci_classes() const {
    follow_pci();
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
    follow_usb();
    if (const VendorAt* v = find_vendor(m_impl->usb, vendor, usb_vendor_key))
        return v->listed ? name_of_line(v->line, 5) : std::string();
    load_usb();
    return vendor_name(m_impl->usb, vendor);
}

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    follow_usb();
    Database& db = m_impl->usb;
    uint32_t end = 0;
    if (const std::optional<Search> d = find_device(db, vendor, device, usb_vendor_key, usb_device_key, end))
        return d->line.found ? name_of_line(d->line.text, 5) : std::string();
    load_usb();
    const VendorNames& names = names_of(db, vendor, read_usb_block);
    return name_of(db, names.devices, device);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
