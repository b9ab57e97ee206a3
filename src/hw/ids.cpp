#include "hw/ids.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

constexpr uint32_t NO_DEVICE = UINT32_MAX;

// An unindented line and the lines after it, up to the next unindented one.
// Lines are kept as file offsets and read back when a name is asked for:
// the index is small, and on some machines each page of fresh memory costs
// more than reading a line again.
struct Block {
    uint32_t line = 0;  // the opening line, where the block starts
    uint32_t end = 0;
    uint16_t vendor = 0;  // whose devices the lines list
    bool named = false;   // the opening line names `vendor`
};

// A device line of a vendor's blocks, and how far the subsystem lines under
// it reach. A block after a nameless vendor line carries on with the device
// before it: such a block starts with an entry that names nothing.
struct DeviceAt {
    uint32_t line = 0;  // a named entry's line; otherwise where its subsystems start
    uint32_t end = 0;   // where its subsystem lines end
    uint16_t device = 0;
    bool named = false;
};

struct Database {
    int fd = -1;  // open from the start: a database renamed over keeps its old text here
    bool scanned = false;
    std::vector<Block> blocks;  // by vendor, file order within one vendor
    // The stretch of pci.ids from its first class header to the end of the
    // last one's lines: usually the last 40 kB, read at the first class question.
    uint32_t classes_from = 0;
    uint32_t classes_to = 0;
    // Device lines by vendor, read at the vendor's first device question;
    // sorted by device, file order within one device.
    std::unordered_map<uint32_t, std::vector<DeviceAt>> devices;
    // Names once read, by vendor and by vendor << 16 | device: every row
    // asks for its vendor again, and the graphics devices are named anew at
    // every tick.
    std::unordered_map<uint32_t, std::string> vendors;
    std::unordered_map<uint32_t, std::string> device_names;
};

using NameMap = std::unordered_map<uint32_t, std::string>;

}  // namespace

struct Ids::Impl {
    Database pci;
    Database usb;
    std::vector<char> piece;  // read buffer of both
    bool classes_read = false;
    // Each level by its own key: a code whose subclass or programming
    // interface the file does not list takes the name of the level above,
    // never that of another entry.
    NameMap bases;       // base << 16
    NameMap subclasses;  // base << 16 | subclass << 8
    NameMap interfaces;  // the whole code

    // Each database is read whole at its first question.
    Database& scanned_pci();
    Database& scanned_usb();
    void read_pci_classes();
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

// ---- Reading the files -------------------------------------------------------
// The databases are read with pread, never mapped: a file truncated or
// rewritten in place while it is read (cp, tee, an editor saving over it)
// only ends early or reads as other text, where touching a mapped page past
// its new end would kill the process.

constexpr size_t PIECE = 32 * 1024;
// A file this long is no database; offsets stay 32-bit.
constexpr uint64_t MAX_SIZE = 1u << 30;

// Up to `length` bytes from `offset`; fewer at the file's end.
size_t read_at(int fd, char* to, size_t length, uint64_t offset) {
    size_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd, to + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

uint32_t file_length(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || st.st_size <= 0) return 0;
    return static_cast<uint32_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), MAX_SIZE));
}

// Calls fn(text, offset) for [begin, end) of the file in pieces cut at line
// ends. A line longer than a piece is cut to the piece: its rest is no line.
template <typename Fn>
void read_pieces(int fd, std::vector<char>& buffer, uint32_t begin, uint32_t end, Fn fn) {
    buffer.resize(PIECE);
    bool in_long_line = false;
    for (uint64_t pos = begin; pos < end;) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(PIECE, end - pos));
        const size_t got = read_at(fd, buffer.data(), want, pos);
        std::string_view text(buffer.data(), got);
        const bool last = got < want || pos + got >= end;
        if (!last && text.rfind('\n') != std::string_view::npos) text = text.substr(0, text.rfind('\n') + 1);
        size_t skip = 0;
        if (in_long_line) skip = std::min(text.find('\n'), text.size() - 1) + 1;
        in_long_line = !text.empty() && text.back() != '\n';
        if (skip < text.size()) fn(text.substr(skip), static_cast<uint32_t>(pos + skip));
        if (text.empty() || last) return;
        pos += text.size();
    }
}

// ---- Lines -----------------------------------------------------------------

// A line of a database: where it stands, its indentation depth and the text
// after the tabs.
struct Line {
    uint32_t offset = 0;
    size_t depth = 0;
    std::string_view body;
};

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// What util::trim removes.
bool is_space(char c) { return c == 0 || c == ' ' || (c >= '\t' && c <= '\r'); }

bool has_text(std::string_view s) {
    for (char c : s)
        if (!is_space(c)) return true;
    return false;
}

// text[start, stop) of a piece read from `base` as a line; false for a
// comment or a blank line. A CR of a CR LF line end is no part of the line:
// the databases are edited by hand on other systems too.
bool make_line(std::string_view text, uint32_t base, size_t start, size_t stop, Line& line,
               size_t depth = std::string_view::npos) {
    std::string_view s = text.substr(start, stop - start);
    if (!s.empty() && s.back() == '\r') s.remove_suffix(1);
    if (s.empty() || s[0] == '#' || !has_text(s)) return false;
    line.depth = depth != std::string_view::npos ? depth : s.find_first_not_of('\t');
    line.body = s.substr(line.depth);
    line.offset = base + static_cast<uint32_t>(start);
    return true;
}

// Calls fn(line) for every line of a piece.
template <typename Fn>
void for_each_line(std::string_view text, uint32_t base, Fn fn) {
    for (size_t start = 0; start < text.size();) {
        const size_t nl = std::min(text.find('\n', start), text.size());
        Line line;
        if (make_line(text, base, start, nl, line)) fn(line);
        start = nl + 1;
    }
}

// Where the lines of one depth (0 or 1) have their body: offsets i of a
// piece whose byte i - depth - 1 is a newline, the bytes between tabs, and
// byte i neither a tab nor a newline. The piece is looked at 32 or 16 bytes
// at a time, so that only lines of that depth are looked at one by one:
// the whole of pci.ids is read at the first question, Intel's devices (a
// third of the file) at the first question about one of them, and most
// lines are deeper than the ones looked for.
//
// Each finder takes i from `from` (at least depth + 1) while a whole vector
// fits below `to`, writes the offsets found and returns where it stopped.
using BodyFinder = size_t (*)(const char* s, size_t from, size_t to, size_t depth, uint32_t* out,
                              size_t& count);

size_t bodies_scalar(const char* s, size_t from, size_t to, size_t depth, uint32_t* out, size_t& count) {
    for (size_t i = from; i < to; ++i)
        if (s[i - depth - 1] == '\n' && (depth == 0 || s[i - 1] == '\t') && s[i] != '\t' && s[i] != '\n')
            out[count++] = static_cast<uint32_t>(i);
    return to;
}

#if defined(__x86_64__)
// A lambda would not take the function's target, so nothing here is one.
__attribute__((target("avx2"), always_inline)) inline uint32_t bodies_mask_avx2(const char* s, size_t i,
                                                                                size_t depth) {
    const __m256i newline = _mm256_set1_epi8('\n'), tab = _mm256_set1_epi8('\t');
    const __m256i body = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i));
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i - 1));
    __m256i found = _mm256_cmpeq_epi8(
        depth > 0 ? _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + i - 2)) : before, newline);
    if (depth > 0) found = _mm256_and_si256(found, _mm256_cmpeq_epi8(before, tab));
    found = _mm256_andnot_si256(
        _mm256_or_si256(_mm256_cmpeq_epi8(body, tab), _mm256_cmpeq_epi8(body, newline)), found);
    return static_cast<uint32_t>(_mm256_movemask_epi8(found));
}

__attribute__((target("avx2"))) size_t bodies_avx2(const char* s, size_t from, size_t to, size_t depth,
                                                   uint32_t* out, size_t& count) {
    size_t i = from;
    for (; i + 64 <= to; i += 64) {
        uint64_t bits = bodies_mask_avx2(s, i, depth) | uint64_t{bodies_mask_avx2(s, i + 32, depth)} << 32;
        for (; bits != 0; bits &= bits - 1)
            out[count++] = static_cast<uint32_t>(i + static_cast<size_t>(__builtin_ctzll(bits)));
    }
    return i;
}
#endif

#if defined(__SSE2__)
size_t bodies_sse2(const char* s, size_t from, size_t to, size_t depth, uint32_t* out, size_t& count) {
    const __m128i newline = _mm_set1_epi8('\n'), tab = _mm_set1_epi8('\t');
    size_t i = from;
    for (; i + 16 <= to; i += 16) {
        const __m128i body = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i - 1));
        __m128i found = _mm_cmpeq_epi8(
            depth > 0 ? _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i - 2)) : before, newline);
        if (depth > 0) found = _mm_and_si128(found, _mm_cmpeq_epi8(before, tab));
        found =
            _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(body, tab), _mm_cmpeq_epi8(body, newline)), found);
        for (auto bits = static_cast<uint32_t>(_mm_movemask_epi8(found)); bits != 0; bits &= bits - 1)
            out[count++] = static_cast<uint32_t>(i + static_cast<size_t>(__builtin_ctz(bits)));
    }
    return i;
}
#endif

// The finder of machines without AVX2, and the widest one this processor runs.
BodyFinder narrow_finder() {
#if defined(__SSE2__)
    return bodies_sse2;
#else
    return bodies_scalar;
#endif
}

BodyFinder widest_finder() {
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx2")) return bodies_avx2;
#endif
    return narrow_finder();
}

BodyFinder g_find_bodies = nullptr;  // chosen at the first scan

// Calls fn(line) for every line of a piece that is `depth` (0 or 1) tabs deep.
template <typename Fn>
void for_each_line_at(std::string_view text, uint32_t base, size_t depth, Fn fn) {
    if (!g_find_bodies) g_find_bodies = widest_finder();
    constexpr size_t WINDOW = 2048;
    const char* const s = text.data();
    const size_t size = text.size();
    auto line_at = [&](size_t body) {
        Line line;
        if (make_line(text, base, body - depth, std::min(text.find('\n', body), size), line, depth)) fn(line);
    };
    // A piece starts with a line.
    if (size > depth && text.substr(0, depth).find_first_not_of('\t') == std::string_view::npos &&
        s[depth] != '\t' && s[depth] != '\n')
        line_at(depth);
    uint32_t found[WINDOW];
    for (size_t i = depth + 1; i < size;) {
        size_t count = 0;
        const size_t to = std::min(i + WINDOW, size);
        i = g_find_bodies(s, i, to, depth, found, count);
        if (i < to && to == size) i = bodies_scalar(s, i, to, depth, found, count);
        for (size_t k = 0; k < count; ++k) line_at(found[k]);
    }
}

// The line at `offset` read again; false when it is a comment or blank now.
bool reread_line(const Database& db, uint32_t offset, std::string& text, Line& line) {
    size_t got = 0;
    for (size_t want = 256; want <= PIECE; want *= 2) {
        text.resize(want);
        got = read_at(db.fd, text.data(), want, offset);
        if (got < want || text.find('\n') != std::string::npos) break;
    }
    text.resize(std::min(got, text.find('\n')));
    return make_line(text, offset, 0, text.size(), line);
}

// ---- Fields ----------------------------------------------------------------

// What util::trim keeps, built straight from the line.
std::string trimmed(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    // Database files are edited by hand; a stray Latin-1 byte must not reach a label.
    return util::valid_utf8(std::string(s));
}

std::string name_after(std::string_view s, size_t pos) {
    return pos < s.size() ? trimmed(s.substr(pos)) : std::string();
}

// "<id of n bytes><blanks><name>" names something when the name is not empty.
bool names(std::string_view body, size_t n) { return body.size() > n && has_text(body.substr(n)); }

// Ids are read for every vendor line and, at its first question, for every
// device line of a vendor; anything but plain hex digits goes to util.
uint32_t hex(std::string_view body, size_t from, size_t n) {
    const std::string_view digits = body.substr(from, n);
    uint32_t value = 0;
    for (char c : digits) {
        const unsigned d = static_cast<unsigned char>(c) - '0',
                       letter = (static_cast<unsigned char>(c) | 0x20) - 'a';
        if (d > 9 && letter > 5) return util::parse_hex_digits(digits);
        value = value << 4 | (d <= 9 ? d : letter + 10);
    }
    return value;
}

bool is_class_header(std::string_view body) { return body.size() > 2 && body[0] == 'C' && body[1] == ' '; }

// usb.ids lists its vendors first; its other tables start with lines that
// are no vendor line.
bool is_usb_vendor_line(std::string_view body) {
    if (body.size() <= 4 || !is_blank(body[4])) return false;
    for (size_t i = 0; i < 4; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(body[i]))) return false;
    return true;
}

// The subsystem pair of a subsystem line: vendor in bytes 0-3, device 5-8.
constexpr size_t SUBSYSTEM_NAME_FROM = 9;
bool is_subsystem_line(const Line& line) { return line.depth == 2 && names(line.body, SUBSYSTEM_NAME_FROM); }
uint32_t subsystem_pair(std::string_view body) { return hex(body, 0, 4) << 16 | hex(body, 5, 4); }

// How a line of each kind gives its id and name, checked again when a name
// is read back: a file rewritten since it was read gives no name rather
// than another line's.
struct Kind {
    size_t depth;
    size_t name_from;
    bool (*is_entry)(const Line&);
    uint32_t (*id)(std::string_view body);
};

uint32_t first_four(std::string_view body) { return hex(body, 0, 4); }

const Kind PCI_VENDOR{0, 4, [](const Line& l) { return !is_class_header(l.body) && names(l.body, 4); },
                      first_four};
const Kind PCI_DEVICE{1, 4, [](const Line& l) { return names(l.body, 4); }, first_four};
// A usb.ids vendor line without a name still replaces an earlier name.
const Kind USB_VENDOR{0, 5, [](const Line& l) { return is_usb_vendor_line(l.body); }, first_four};
const Kind USB_DEVICE{1, 5, [](const Line& l) { return l.body.size() > 4 && names(l.body, 5); }, first_four};

std::string name_at(const Database& db, uint32_t at, const Kind& kind, uint32_t id) {
    std::string text;
    Line line;
    if (!reread_line(db, at, text, line) || line.depth != kind.depth || !kind.is_entry(line) ||
        kind.id(line.body) != id)
        return {};
    return name_after(line.body, kind.name_from);
}

// ---- Index -----------------------------------------------------------------

// Sorted by `key`, file order kept within one key. The files are sorted
// already, so mostly this only checks.
template <typename T, typename Key>
void sort_by(std::vector<T>& entries, Key key) {
    auto less = [key](const T& a, const T& b) { return key(a) < key(b); };
    if (!std::is_sorted(entries.begin(), entries.end(), less))
        std::stable_sort(entries.begin(), entries.end(), less);
}

void sort_by_vendor(std::vector<Block>& blocks) {
    sort_by(blocks, [](const Block& b) { return b.vendor; });
}

std::pair<std::vector<Block>::const_iterator, std::vector<Block>::const_iterator> blocks_of(
    const Database& db, uint32_t vendor) {
    Block key;
    key.vendor = static_cast<uint16_t>(vendor);
    return std::equal_range(db.blocks.begin(), db.blocks.end(), key,
                            [](const Block& a, const Block& b) { return a.vendor < b.vendor; });
}

// Every unindented line of the file opens a block: in pci.ids a vendor or a
// class header, where a line that names no vendor carries on with the
// previous vendor; in usb.ids a vendor, or a line of the other tables, whose
// lines are no vendor's.
void scan_pci(Database& db, std::vector<char>& buffer) {
    Block open;  // the lines before the first vendor line belong to vendor 0
    bool is_class = false;
    uint32_t vendor = 0;
    auto close = [&](uint32_t at) {
        open.end = at;
        if (!is_class) return db.blocks.push_back(open);
        if (db.classes_to == 0) db.classes_from = open.line;
        db.classes_to = at;
    };
    const uint32_t size = file_length(db.fd);
    db.blocks.reserve(size / 128);  // pages never written cost nothing; copies on growth do
    read_pieces(db.fd, buffer, 0, size, [&](std::string_view text, uint32_t base) {
        for_each_line_at(text, base, 0, [&](const Line& line) {
            close(line.offset);
            is_class = is_class_header(line.body);
            open = Block{};
            open.line = line.offset;
            if (is_class) return;
            open.named = PCI_VENDOR.is_entry(line);
            if (open.named) vendor = first_four(line.body);
            open.vendor = static_cast<uint16_t>(vendor);
        });
    });
    close(size);
    sort_by_vendor(db.blocks);
}

void scan_usb(Database& db, std::vector<char>& buffer) {
    Block open;  // products before the first vendor line belong to vendor 0
    bool in_vendors = true;
    const uint32_t size = file_length(db.fd);
    db.blocks.reserve(size / 128);
    read_pieces(db.fd, buffer, 0, size, [&](std::string_view text, uint32_t base) {
        for_each_line_at(text, base, 0, [&](const Line& line) {
            if (in_vendors) {
                open.end = line.offset;
                db.blocks.push_back(open);
            }
            in_vendors = is_usb_vendor_line(line.body);
            open = Block{line.offset, 0, static_cast<uint16_t>(in_vendors ? first_four(line.body) : 0), true};
        });
    });
    if (in_vendors) {
        open.end = size;
        db.blocks.push_back(open);
    }
    sort_by_vendor(db.blocks);
}

// The device lines of a vendor's blocks, indexed once. A vendor line that
// names its vendor starts afresh: subsystem lines before its first device
// line belong to no device.
const std::vector<DeviceAt>& devices_of(Database& db, std::vector<char>& buffer, uint32_t vendor,
                                        const Kind& device_kind) {
    auto found = db.devices.find(vendor);
    if (found != db.devices.end()) return found->second;
    std::vector<DeviceAt> devices;
    uint32_t device = NO_DEVICE;
    auto [first, last] = blocks_of(db, vendor);
    size_t bytes = 0;
    for (auto block = first; block != last; ++block) bytes += block->end - block->line;
    devices.reserve(bytes / 32);
    for (auto block = first; block != last; ++block) {
        if (block->named) device = NO_DEVICE;
        const size_t from = devices.size();  // this block's entries, whose ends are set below
        if (device != NO_DEVICE)
            devices.push_back(DeviceAt{block->line, 0, static_cast<uint16_t>(device), false});
        read_pieces(db.fd, buffer, block->line, block->end, [&](std::string_view text, uint32_t base) {
            for_each_line_at(text, base, 1, [&](const Line& line) {
                if (!device_kind.is_entry(line)) return;
                device = device_kind.id(line.body);
                devices.push_back(DeviceAt{line.offset, 0, static_cast<uint16_t>(device), true});
            });
        });
        for (size_t i = from; i < devices.size(); ++i)
            devices[i].end = i + 1 < devices.size() ? devices[i + 1].line : block->end;
    }
    sort_by(devices, [](const DeviceAt& d) { return d.device; });
    return db.devices.emplace(vendor, std::move(devices)).first->second;
}

std::pair<std::vector<DeviceAt>::const_iterator, std::vector<DeviceAt>::const_iterator> entries_of(
    const std::vector<DeviceAt>& devices, uint32_t device) {
    DeviceAt key;
    key.device = static_cast<uint16_t>(device);
    return std::equal_range(devices.begin(), devices.end(), key,
                            [](const DeviceAt& a, const DeviceAt& b) { return a.device < b.device; });
}

// The name of the last line of the range that is named.
template <typename It>
const uint32_t* last_named(It first, It last) {
    for (auto it = last; it != first;) {
        --it;
        if (it->named) return &it->line;
    }
    return nullptr;
}

// The name of the last line that names the vendor.
const std::string& vendor_name(Database& db, uint32_t vendor, const Kind& kind) {
    auto known = db.vendors.find(vendor);
    if (known != db.vendors.end()) return known->second;
    auto [first, last] = blocks_of(db, vendor);
    const uint32_t* at = last_named(first, last);
    return db.vendors.emplace(vendor, at ? name_at(db, *at, kind, vendor) : std::string()).first->second;
}

// The name of the last line that names the vendor's device.
const std::string& device_name(Database& db, std::vector<char>& buffer, uint32_t vendor, uint32_t device,
                               const Kind& kind) {
    const uint32_t key = vendor << 16 | device;
    auto known = db.device_names.find(key);
    if (known != db.device_names.end()) return known->second;
    auto [first, last] = entries_of(devices_of(db, buffer, vendor, kind), device);
    const uint32_t* at = last_named(first, last);
    return db.device_names.emplace(key, at ? name_at(db, *at, kind, device) : std::string()).first->second;
}

// ---- Classes -----------------------------------------------------------------

// The class section of pci.ids: "C" headers, subclasses one tab deep and
// programming interfaces two tabs deep, each level by its own key; later
// lines win. A header without a name leaves its lines to the class before.
struct ClassReader {
    NameMap& bases;
    NameMap& subclasses;
    NameMap& interfaces;
    uint32_t cls = 0;
    uint32_t subclass = 0;

    bool in_classes = false;  // a vendor line between class headers ends a section

    void read(const Line& line) {
        if (line.depth == 0) in_classes = is_class_header(line.body);
        if (!in_classes) return;
        const std::string_view body = line.depth == 0 ? line.body.substr(2) : line.body;
        if (!names(body, 2)) return;
        const uint32_t id = hex(body, 0, 2);
        std::string name = name_after(body, 2);
        if (line.depth == 0) {
            cls = id;
            bases[cls << 16] = std::move(name);
        } else if (line.depth == 1) {
            subclass = id;
            subclasses[cls << 16 | subclass << 8] = std::move(name);
        } else if (line.depth == 2) {
            interfaces[cls << 16 | subclass << 8 | id] = std::move(name);
        }
    }
};

std::string find_in(const NameMap& map, uint32_t key) {
    auto it = map.find(key);
    return it == map.end() ? std::string() : it->second;
}

}  // namespace

Ids& Ids::instance() {
    static Ids ids;
    return ids;
}

// Each database is opened now, from the file found now, and read at its
// first question (many machines show no USB page, and the collector asks
// none).
Ids::Ids() : m_impl(new Impl) {
    for (const ClassName& c : PCI_BASE_CLASSES) m_impl->bases[c.base << 16] = c.name;
    m_pci_path = find_ids_file("pci.ids");
    if (!m_pci_path.empty()) m_impl->pci.fd = util::open_fd(m_pci_path, O_RDONLY);
    m_usb_path = find_ids_file("usb.ids");
    if (!m_usb_path.empty()) m_impl->usb.fd = util::open_fd(m_usb_path, O_RDONLY);
}

void Ids::use_narrow_scan(bool narrow) { g_find_bodies = narrow ? narrow_finder() : widest_finder(); }

Ids::~Ids() {
    for (const Database* db : {&m_impl->pci, &m_impl->usb})
        if (db->fd >= 0) ::close(db->fd);
    delete m_impl;
}

Database& Ids::Impl::scanned_pci() {
    if (!pci.scanned) scan_pci(pci, piece);
    pci.scanned = true;
    return pci;
}

Database& Ids::Impl::scanned_usb() {
    if (!usb.scanned) scan_usb(usb, piece);
    usb.scanned = true;
    return usb;
}

void Ids::Impl::read_pci_classes() {
    if (classes_read) return;
    classes_read = true;
    ClassReader reader{bases, subclasses, interfaces};
    const Database& db = scanned_pci();
    read_pieces(db.fd, piece, db.classes_from, db.classes_to, [&](std::string_view text, uint32_t base) {
        for_each_line(text, base, [&](const Line& line) { reader.read(line); });
    });
}

std::string Ids::pci_vendor(uint16_t vendor) const {
    return vendor_name(m_impl->scanned_pci(), vendor, PCI_VENDOR);
}

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    return device_name(m_impl->scanned_pci(), m_impl->piece, vendor, device, PCI_DEVICE);
}

// The subsystem lines under every line of the device, in file order: the
// last that names the pair wins.
std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    Database& db = m_impl->scanned_pci();
    const uint32_t pair = static_cast<uint32_t>(sub_vendor) << 16 | sub_device;
    std::string name;
    auto [first, last] = entries_of(devices_of(db, m_impl->piece, vendor, PCI_DEVICE), device);
    for (auto entry = first; entry != last; ++entry)
        read_pieces(db.fd, m_impl->piece, entry->line, entry->end, [&](std::string_view text, uint32_t base) {
            for_each_line(text, base, [&](const Line& line) {
                if (is_subsystem_line(line) && subsystem_pair(line.body) == pair)
                    name = name_after(line.body, SUBSYSTEM_NAME_FROM);
            });
        });
    return name.empty() ? pci_vendor(sub_vendor) : name;
}

std::string Ids::pci_class(uint32_t class_code) const {
    m_impl->read_pci_classes();
    if (auto it = m_impl->interfaces.find(class_code & 0xFFFFFFu); it != m_impl->interfaces.end())
        return it->second;
    return pci_subclass(class_code);
}

std::string Ids::pci_subclass(uint32_t class_code) const {
    m_impl->read_pci_classes();
    if (auto it = m_impl->subclasses.find(class_code & 0xFFFF00u); it != m_impl->subclasses.end())
        return it->second;
    return find_in(m_impl->bases, class_code & 0xFF0000u);
}

std::string Ids::usb_vendor(uint16_t vendor) const {
    return vendor_name(m_impl->scanned_usb(), vendor, USB_VENDOR);
}

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    return device_name(m_impl->scanned_usb(), m_impl->piece, vendor, device, USB_DEVICE);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
