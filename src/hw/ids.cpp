#include "hw/ids.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "i18n.h"
#include "util.h"

namespace hw {

namespace {

// An id that is not all hex digits, and a device not yet met.
constexpr uint32_t NO_ID = UINT32_MAX;

// The text of a database, read whole and kept: every answer comes from the
// one text that was read, whatever is written over the file later. A text
// of half a megabyte or more sits in one huge page where the kernel offers
// them: each fresh 4 KiB page costs a fault, and on virtual machines that
// hand free memory back to the host the hundreds pci.ids needs cost
// milliseconds.
class Text {
public:
    Text() = default;
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    ~Text() { release(); }

    // Room for `size` bytes, the earlier text dropped; null when there is no memory.
    char* reserve(size_t size);
    void set_size(size_t size) { m_size = size; }
    void swap(Text& other) noexcept {
        std::swap(m_map, other.m_map);
        std::swap(m_mapped, other.m_mapped);
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
    }
    std::string_view view() const { return {m_data, m_size}; }
    void release();

private:
    void* m_map = nullptr;
    size_t m_mapped = 0;
    char* m_data = nullptr;
    size_t m_size = 0;
};

char* Text::reserve(size_t size) {
    release();
    constexpr size_t HUGE_PAGE = size_t{2} << 20;
    const bool huge = size >= HUGE_PAGE / 4;
    const size_t rounded = (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const size_t length = huge ? rounded + HUGE_PAGE : std::max<size_t>(size, 1);
    void* map = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED) return nullptr;
    m_map = map;
    m_mapped = length;
    m_data = static_cast<char*>(map);
    if (huge) {
        const auto at = reinterpret_cast<uintptr_t>(map);
        m_data += ((at + HUGE_PAGE - 1) & ~uintptr_t{HUGE_PAGE - 1}) - at;
#if defined(MADV_HUGEPAGE)
        ::madvise(m_data, rounded, MADV_HUGEPAGE);
#endif
    }
#if defined(MADV_POPULATE_WRITE)
    // Every page in one call rather than a fault each as the read fills
    // them: where huge pages are off, that takes a third off the first question.
    ::madvise(m_data, size, MADV_POPULATE_WRITE);
#endif
    return m_data;
}

void Text::release() {
    if (m_map) ::munmap(m_map, m_mapped);
    m_map = nullptr;
    m_mapped = 0;
    m_data = nullptr;
    m_size = 0;
}

// An unindented line and the lines after it, up to the next unindented one.
// Lines are kept as offsets into the text.
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

using NameMap = std::unordered_map<uint32_t, std::string>;

struct Database {
    int fd = -1;  // open from the start: a database renamed over keeps its old text here
    Text text;
    bool read = false;
    // A text read while the file may still have been written: later
    // questions check the file first.
    bool provisional = false;

    std::vector<Block> blocks;  // by vendor, file order within one vendor
    // Device lines by vendor, indexed at the vendor's first device question;
    // sorted by device, file order within one device.
    std::unordered_map<uint32_t, std::vector<DeviceAt>> devices;

    // pci.ids only: the stretch from its first class header to the end of
    // the last one's lines (usually the last 40 kB), read into names at the
    // first class question. Each level by its own key: a code whose subclass
    // or programming interface the file does not list takes the name of the
    // level above, never that of another entry.
    uint32_t classes_from = 0;
    uint32_t classes_to = 0;
    bool classes_read = false;
    NameMap bases;       // base << 16
    NameMap subclasses;  // base << 16 | subclass << 8
    NameMap interfaces;  // the whole code

    // Everything but the open file, for a text read anew.
    void forget();
};

void Database::forget() {
    text.release();
    read = provisional = false;
    blocks.clear();
    devices.clear();
    classes_from = classes_to = 0;
    classes_read = false;
    bases.clear();
    subclasses.clear();
    interfaces.clear();
}

}  // namespace

struct Ids::Impl {
    Database pci;
    Database usb;

    // Each database is read whole at its first question.
    Database& ready_pci();
    Database& ready_usb();
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

// A file this long is no database.
constexpr uint64_t MAX_SIZE = 64u << 20;

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

bool same_time(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Any write, truncation or replacement of the contents changes one of these.
bool unchanged(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_size == b.st_size && same_time(a.st_mtim, b.st_mtim) &&
           same_time(a.st_ctim, b.st_ctim);
}

// How long a file must hold still before a save counts as finished.
int64_t g_settle_ns = 2'000'000'000;

// Whether the file changed so lately that a save may still be under way:
// counted to the nanosecond, as a save that pauses across a second's
// boundary must not look finished early. The kernel stamps changes from the
// coarse wall clock, so that clock is the one to compare with; a stamp
// ahead of it counts as recent too.
bool changed_lately(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    constexpr int64_t NS = 1'000'000'000;
    const int64_t settle_s = g_settle_ns / NS + 1;
    if (st.st_ctim.tv_sec < now.tv_sec - settle_s) return false;  // no overflow for any stamp
    if (st.st_ctim.tv_sec > now.tv_sec) return true;
    const int64_t since = (now.tv_sec - st.st_ctim.tv_sec) * NS + (now.tv_nsec - st.st_ctim.tv_nsec);
    return since < g_settle_ns;
}

// The whole file as one text, and the file's state when it was read. A read
// during which the file changed is thrown away and made again, a few times;
// false when no read held still.
bool read_whole(int fd, Text& text, struct stat& state) {
    constexpr int ATTEMPTS = 3;
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        struct stat before {};
        if (::fstat(fd, &before) != 0) return false;
        size_t size = 0;
        if (S_ISREG(before.st_mode) && before.st_size > 0 &&
            static_cast<uint64_t>(before.st_size) <= MAX_SIZE)
            size = static_cast<size_t>(before.st_size);
        char* to = text.reserve(size);
        if (!to) return false;
        const size_t got = read_at(fd, to, size, 0);
        if (::fstat(fd, &state) != 0) return false;
        if (got == size && unchanged(before, state)) {
            text.set_size(got);
            return true;
        }
    }
    text.release();
    return false;
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

// text[start, stop) of a stretch that starts at `base` in the file, as a
// line; false for a comment or a blank line. A CR of a CR LF line end is no
// part of the line: the databases are edited by hand on other systems too.
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

// Calls fn(line) for every line of a stretch that starts with a line.
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
// stretch whose byte i - depth - 1 is a newline, the bytes between tabs, and
// byte i neither a tab nor a newline. The stretch is looked at 32 or 16
// bytes at a time, so that only lines of that depth are looked at one by
// one: the whole of pci.ids is indexed at the first question, Intel's
// devices (a third of the file) at the first question about one of them,
// and most lines are deeper than the ones looked for.
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

// Calls fn(line) for every line of a stretch that is `depth` (0 or 1) tabs deep.
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
    // A stretch starts with a line.
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

// The line that starts at `offset` of a text.
Line line_at(std::string_view text, uint32_t offset) {
    Line line;
    make_line(text, 0, offset, std::min(text.find('\n', offset), text.size()), line);
    return line;
}

// ---- Fields ----------------------------------------------------------------

std::string name_after(std::string_view s, size_t pos) {
    if (pos >= s.size()) return {};
    // Database files are edited by hand; a stray Latin-1 byte must not reach a label.
    return util::valid_utf8(util::trim(std::string(s.substr(pos))));
}

// "<id of n bytes><blanks><name>" names something when the name is not empty.
bool names(std::string_view body, size_t n) { return body.size() > n && has_text(body.substr(n)); }

// The value of the n hex digits at `from`; NO_ID when any of them is
// something else. A line with such an id names nothing: read as a number
// anyhow, "-001" would stand for ffff and hide the name listed for it.
uint32_t hex(std::string_view body, size_t from, size_t n) {
    if (from + n > body.size()) return NO_ID;
    uint32_t value = 0;
    for (char c : body.substr(from, n)) {
        const unsigned d = static_cast<unsigned char>(c) - '0',
                       letter = (static_cast<unsigned char>(c) | 0x20) - 'a';
        if (d > 9 && letter > 5) return NO_ID;
        value = value << 4 | (d <= 9 ? d : letter + 10);
    }
    return value;
}

uint32_t first_four(std::string_view body) { return hex(body, 0, 4); }

bool is_class_header(std::string_view body) { return body.size() > 2 && body[0] == 'C' && body[1] == ' '; }

// usb.ids lists its vendors first; its other tables start with lines that
// are no vendor line.
bool is_usb_vendor_line(std::string_view body) {
    return body.size() > 4 && is_blank(body[4]) && first_four(body) != NO_ID;
}

// The subsystem pair of a subsystem line, vendor << 16 | device from bytes
// 0-3 and 5-8; NO_PAIR when either is not hex. ffff ffff is a pair like any.
constexpr size_t SUBSYSTEM_NAME_FROM = 9;
constexpr uint64_t NO_PAIR = UINT64_MAX;
uint64_t subsystem_pair(std::string_view body) {
    const uint32_t vendor = hex(body, 0, 4), device = hex(body, 5, 4);
    return vendor == NO_ID || device == NO_ID ? NO_PAIR : uint64_t{vendor} << 16 | device;
}

// Which lines of a kind are entries, and where their names start.
struct Kind {
    size_t name_from;
    bool (*is_entry)(std::string_view body);
};

const Kind PCI_VENDOR{
    4, [](std::string_view b) { return !is_class_header(b) && names(b, 4) && first_four(b) != NO_ID; }};
const Kind PCI_DEVICE{4, [](std::string_view b) { return names(b, 4) && first_four(b) != NO_ID; }};
// A usb.ids vendor line without a name still replaces an earlier name.
const Kind USB_VENDOR{5, is_usb_vendor_line};
const Kind USB_DEVICE{5, [](std::string_view b) { return names(b, 5) && first_four(b) != NO_ID; }};

std::string name_at(const Database& db, uint32_t at, const Kind& kind) {
    return name_after(line_at(db.text.view(), at).body, kind.name_from);
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
void scan_pci(Database& db) {
    Block open;  // the lines before the first vendor line belong to vendor 0
    bool is_class = false;
    uint32_t vendor = 0;
    auto close = [&](uint32_t at) {
        open.end = at;
        if (!is_class) return db.blocks.push_back(open);
        if (db.classes_to == 0) db.classes_from = open.line;
        db.classes_to = at;
    };
    const std::string_view text = db.text.view();
    db.blocks.reserve(text.size() / 128);  // pages never written cost nothing; copies on growth do
    for_each_line_at(text, 0, 0, [&](const Line& line) {
        close(line.offset);
        is_class = is_class_header(line.body);
        open = Block{};
        open.line = line.offset;
        if (is_class) return;
        open.named = PCI_VENDOR.is_entry(line.body);
        if (open.named) vendor = first_four(line.body);
        open.vendor = static_cast<uint16_t>(vendor);
    });
    close(static_cast<uint32_t>(text.size()));
    sort_by_vendor(db.blocks);
}

void scan_usb(Database& db) {
    Block open;  // products before the first vendor line belong to vendor 0
    bool in_vendors = true;
    const std::string_view text = db.text.view();
    db.blocks.reserve(text.size() / 128);
    for_each_line_at(text, 0, 0, [&](const Line& line) {
        if (in_vendors) {
            open.end = line.offset;
            db.blocks.push_back(open);
        }
        in_vendors = is_usb_vendor_line(line.body);
        open = Block{line.offset, 0, static_cast<uint16_t>(in_vendors ? first_four(line.body) : 0), true};
    });
    if (in_vendors) {
        open.end = static_cast<uint32_t>(text.size());
        db.blocks.push_back(open);
    }
    sort_by_vendor(db.blocks);
}

// The database's text and its blocks, read at its first question. A text
// read within seconds of the file's last change may be a save caught half
// way: it answers until the file has held still, and the text the file
// holds then is read instead. Read again even when the file looks as it
// did: writes within one tick of the clock that stamps them leave the same
// stamps and size.
void make_ready(Database& db, void (*scan)(Database&)) {
    if (db.fd < 0 || (db.read && !db.provisional)) return;
    if (db.read) {
        struct stat now {};
        if (::fstat(db.fd, &now) != 0 || changed_lately(now)) return;
    }
    Text text;
    struct stat state {};
    if (!read_whole(db.fd, text, state)) return;  // the text read before, if any, answers on
    db.forget();
    db.text.swap(text);
    db.read = true;
    db.provisional = changed_lately(state);
    scan(db);
}

// The device lines of a vendor's blocks, indexed once. A vendor line that
// names its vendor starts afresh: subsystem lines before its first device
// line belong to no device.
const std::vector<DeviceAt>& devices_of(Database& db, uint32_t vendor, const Kind& device_kind) {
    auto found = db.devices.find(vendor);
    if (found != db.devices.end()) return found->second;
    std::vector<DeviceAt> devices;
    uint32_t device = NO_ID;
    auto [first, last] = blocks_of(db, vendor);
    size_t bytes = 0;
    for (auto block = first; block != last; ++block) bytes += block->end - block->line;
    devices.reserve(bytes / 32);
    const std::string_view text = db.text.view();
    for (auto block = first; block != last; ++block) {
        if (block->named) device = NO_ID;
        const size_t from = devices.size();  // this block's entries, whose ends are set below
        if (device != NO_ID)
            devices.push_back(DeviceAt{block->line, 0, static_cast<uint16_t>(device), false});
        for_each_line_at(text.substr(block->line, block->end - block->line), block->line, 1,
                         [&](const Line& line) {
                             if (!device_kind.is_entry(line.body)) return;
                             device = first_four(line.body);
                             devices.push_back(DeviceAt{line.offset, 0, static_cast<uint16_t>(device), true});
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

// The line of the last entry of the range that is named.
template <typename It>
const uint32_t* last_named(It first, It last) {
    for (auto it = last; it != first;) {
        --it;
        if (it->named) return &it->line;
    }
    return nullptr;
}

// The name of the last line that names the vendor.
std::string vendor_name(const Database& db, uint32_t vendor, const Kind& kind) {
    auto [first, last] = blocks_of(db, vendor);
    const uint32_t* at = last_named(first, last);
    return at ? name_at(db, *at, kind) : std::string();
}

// The name of the last line that names the vendor's device.
std::string device_name(Database& db, uint32_t vendor, uint32_t device, const Kind& kind) {
    auto [first, last] = entries_of(devices_of(db, vendor, kind), device);
    const uint32_t* at = last_named(first, last);
    return at ? name_at(db, *at, kind) : std::string();
}

// ---- Classes -----------------------------------------------------------------

// The class section of pci.ids: "C" headers, subclasses one tab deep and
// programming interfaces two tabs deep, each level by its own key; later
// lines win. A header without a name leaves its lines to the class before;
// a programming interface before any subclass of its class names nothing.
struct ClassReader {
    Database& db;
    uint32_t cls = 0;
    uint32_t subclass = NO_ID;

    bool in_classes = false;  // a vendor line between class headers ends a section

    void read(const Line& line) {
        if (line.depth == 0) in_classes = is_class_header(line.body);
        if (!in_classes) return;
        const std::string_view body = line.depth == 0 ? line.body.substr(2) : line.body;
        const uint32_t id = hex(body, 0, 2);
        if (id == NO_ID || !names(body, 2)) return;
        std::string name = name_after(body, 2);
        if (line.depth == 0) {
            cls = id;
            subclass = NO_ID;
            db.bases[cls << 16] = std::move(name);
        } else if (line.depth == 1) {
            subclass = id;
            db.subclasses[cls << 16 | subclass << 8] = std::move(name);
        } else if (line.depth == 2 && subclass != NO_ID) {
            db.interfaces[cls << 16 | subclass << 8 | id] = std::move(name);
        }
    }
};

std::string built_in_base_class(uint32_t base) {
    for (const ClassName& c : PCI_BASE_CLASSES)
        if (c.base == base) return c.name;
    return {};
}

}  // namespace

Ids& Ids::instance() {
    static Ids ids;
    return ids;
}

// Each database is opened now, from the file found now, and read at its
// first question (many machines show no USB page, and the collector asks
// none). Opened non-blocking: a FIFO put in a database's place reads as no
// text instead of holding the first page that names a device.
Ids::Ids() : m_impl(new Impl) {
    m_pci_path = find_ids_file("pci.ids");
    if (!m_pci_path.empty()) m_impl->pci.fd = util::open_fd(m_pci_path, O_RDONLY | O_NONBLOCK);
    m_usb_path = find_ids_file("usb.ids");
    if (!m_usb_path.empty()) m_impl->usb.fd = util::open_fd(m_usb_path, O_RDONLY | O_NONBLOCK);
}

void Ids::use_narrow_scan(bool narrow) { g_find_bodies = narrow ? narrow_finder() : widest_finder(); }

void Ids::use_settle_time_ms(int64_t ms) { g_settle_ns = ms * 1'000'000; }

Ids::~Ids() {
    for (const Database* db : {&m_impl->pci, &m_impl->usb})
        if (db->fd >= 0) ::close(db->fd);
    delete m_impl;
}

Database& Ids::Impl::ready_pci() {
    make_ready(pci, scan_pci);
    return pci;
}

Database& Ids::Impl::ready_usb() {
    make_ready(usb, scan_usb);
    return usb;
}

void Ids::Impl::read_pci_classes() {
    Database& db = ready_pci();
    if (db.classes_read) return;
    db.classes_read = true;
    ClassReader reader{db};
    const std::string_view text = db.text.view();
    for_each_line(text.substr(db.classes_from, db.classes_to - db.classes_from), db.classes_from,
                  [&](const Line& line) { reader.read(line); });
}

std::string Ids::pci_vendor(uint16_t vendor) const {
    return vendor_name(m_impl->ready_pci(), vendor, PCI_VENDOR);
}

std::string Ids::pci_device(uint16_t vendor, uint16_t device) const {
    return device_name(m_impl->ready_pci(), vendor, device, PCI_DEVICE);
}

// The subsystem lines under every line of the device, in file order: the
// last that names the pair wins.
std::string Ids::pci_subsystem(uint16_t sub_vendor, uint16_t sub_device, uint16_t vendor,
                               uint16_t device) const {
    Database& db = m_impl->ready_pci();
    const uint64_t pair = uint64_t{sub_vendor} << 16 | sub_device;
    const std::string_view text = db.text.view();
    std::string name;
    auto [first, last] = entries_of(devices_of(db, vendor, PCI_DEVICE), device);
    for (auto entry = first; entry != last; ++entry)
        for_each_line(text.substr(entry->line, entry->end - entry->line), entry->line, [&](const Line& line) {
            if (line.depth == 2 && subsystem_pair(line.body) == pair && names(line.body, SUBSYSTEM_NAME_FROM))
                name = name_after(line.body, SUBSYSTEM_NAME_FROM);
        });
    return name.empty() ? vendor_name(db, sub_vendor, PCI_VENDOR) : name;
}

std::string Ids::pci_class(uint32_t class_code) const {
    m_impl->read_pci_classes();
    if (auto it = m_impl->pci.interfaces.find(class_code & 0xFFFFFFu); it != m_impl->pci.interfaces.end())
        return it->second;
    return pci_subclass(class_code);
}

std::string Ids::pci_subclass(uint32_t class_code) const {
    m_impl->read_pci_classes();
    const Database& db = m_impl->pci;
    if (auto it = db.subclasses.find(class_code & 0xFFFF00u); it != db.subclasses.end()) return it->second;
    if (auto it = db.bases.find(class_code & 0xFF0000u); it != db.bases.end()) return it->second;
    return built_in_base_class((class_code >> 16) & 0xFFu);
}

std::string Ids::usb_vendor(uint16_t vendor) const {
    return vendor_name(m_impl->ready_usb(), vendor, USB_VENDOR);
}

std::string Ids::usb_device(uint16_t vendor, uint16_t device) const {
    return device_name(m_impl->ready_usb(), vendor, device, USB_DEVICE);
}

std::string Ids::usb_class(uint8_t cls) const {
    for (const UsbClassName& row : USB_CLASSES)
        if (row.cls == cls) return row.key ? tr(row.key) : row.name;
    return {};
}

}  // namespace hw
