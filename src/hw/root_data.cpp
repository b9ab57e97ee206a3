// The privileged record, its line format, and the collector that fills it as
// root. Everything read here is untrusted: firmware tables, DMI files and
// device log pages come from the machine, and the text handed to `parse`
// comes out of another process. Every access is bounds-checked, and every
// string that leaves the collector or `parse` is valid UTF-8 because the
// window program reads the text as UTF-8.
#include "hw/root_data.h"

#include <fcntl.h>
#include <linux/nvme_ioctl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cmath>
#include <limits>

#include "util.h"

namespace hw {
namespace {

// ---- Text format -------------------------------------------------------------

std::string escape_field(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (c == '|')
            out += "\\p";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

std::string unescape_field(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char n = s[i + 1];
            if (n == 'p' || n == 'n' || n == '\\') {
                out += n == 'p' ? '|' : n == 'n' ? '\n' : '\\';
                ++i;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// A string field of the text as the record stores it.
std::string field_text(const std::string& escaped) { return util::valid_utf8(unescape_field(escaped)); }

// Hundredths of a degree, truncated toward zero. Values that do not fit a
// signed 64-bit number are clamped (converting them would be undefined), and
// NaN counts as unknown.
int64_t centidegrees(double celsius) {
    double v = celsius * 100.0;
    if (std::isnan(v)) return -99900;
    constexpr double LIMIT = 9223372036854775807.0;  // 2^63 as a double
    if (v >= LIMIT) return std::numeric_limits<int64_t>::max();
    if (v <= -LIMIT) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(v);
}

void add_field(std::string& line, const std::string& text) {
    line += '|';
    line += text;
}

std::string memory_line(const MemoryModule& m) {
    std::string line = "M " + escape_field(m.locator);
    add_field(line, escape_field(m.bank));
    add_field(line, std::to_string(m.size_bytes));
    for (const std::string* f :
         {&m.type, &m.form_factor, &m.speed, &m.configured_speed, &m.manufacturer, &m.part_number, &m.serial,
          &m.asset_tag, &m.rank, &m.data_width, &m.total_width, &m.voltage})
        add_field(line, escape_field(*f));
    return line + '\n';
}

// The 8-bit figures go through unsigned so they are written as digits: a raw
// byte could be a separator or a line feed.
std::string nvme_line(const NvmeHealth& h) {
    std::string line = "N " + escape_field(h.node);
    add_field(line, std::to_string(unsigned{h.critical_warning}));
    add_field(line, std::to_string(centidegrees(h.temperature_c)));
    for (uint8_t v : {h.available_spare, h.spare_threshold, h.percentage_used})
        add_field(line, std::to_string(unsigned{v}));
    for (uint64_t v : {h.data_units_read, h.data_units_written, h.host_reads, h.host_writes, h.busy_minutes,
                       h.power_cycles, h.power_on_hours, h.unsafe_shutdowns, h.media_errors, h.error_entries,
                       h.warning_temp_minutes, h.critical_temp_minutes})
        add_field(line, std::to_string(v));
    for (double s : h.sensors_c) add_field(line, std::to_string(centidegrees(s)));
    return line + '\n';
}

struct DmiKey {
    const char* key;
    std::string RootData::*field;
};
const DmiKey DMI_KEYS[] = {{"product_serial", &RootData::product_serial},
                           {"product_uuid", &RootData::product_uuid},
                           {"board_serial", &RootData::board_serial},
                           {"chassis_serial", &RootData::chassis_serial}};

std::string* dmi_field(RootData& d, const std::string& key) {
    for (const DmiKey& k : DMI_KEYS)
        if (key == k.key) return &(d.*k.field);
    return nullptr;
}

bool read_memory_line(const std::vector<std::string>& f, MemoryModule& m) {
    if (f.size() < 15) return false;
    m.locator = field_text(f[0]);
    m.bank = field_text(f[1]);
    m.size_bytes = util::to_u64(f[2], 0);
    std::string* rest[] = {&m.type,         &m.form_factor, &m.speed,       &m.configured_speed,
                           &m.manufacturer, &m.part_number, &m.serial,      &m.asset_tag,
                           &m.rank,         &m.data_width,  &m.total_width, &m.voltage};
    for (size_t i = 0; i < 12; ++i) *rest[i] = field_text(f[3 + i]);
    return true;
}

uint8_t low_byte(const std::string& field) { return static_cast<uint8_t>(util::to_u64(field, 0) & 0xFF); }

bool read_nvme_line(const std::vector<std::string>& f, NvmeHealth& h) {
    if (f.size() < 18) return false;
    h.node = field_text(f[0]);
    h.critical_warning = low_byte(f[1]);
    h.temperature_c = static_cast<double>(util::to_i64(f[2], -99900)) / 100.0;
    h.available_spare = low_byte(f[3]);
    h.spare_threshold = low_byte(f[4]);
    h.percentage_used = low_byte(f[5]);
    uint64_t* counters[] = {&h.data_units_read, &h.data_units_written,   &h.host_reads,
                            &h.host_writes,     &h.busy_minutes,         &h.power_cycles,
                            &h.power_on_hours,  &h.unsafe_shutdowns,     &h.media_errors,
                            &h.error_entries,   &h.warning_temp_minutes, &h.critical_temp_minutes};
    for (size_t i = 0; i < 12; ++i) *counters[i] = util::to_u64(f[6 + i], 0);
    for (size_t i = 18; i < f.size(); ++i)
        h.sensors_c.push_back(static_cast<double>(util::to_i64(f[i], 0)) / 100.0);
    return true;
}

// ---- SMBIOS ------------------------------------------------------------------

struct Structure {
    uint8_t type = 0;
    const unsigned char* data = nullptr;
    size_t length = 0;
    std::vector<std::string> strings;

    // Fields beyond the formatted length of older structure versions read as 0.
    uint8_t byte_at(size_t off) const { return off + 1 <= length ? data[off] : 0; }
    uint16_t word_at(size_t off) const {
        return off + 2 <= length ? static_cast<uint16_t>(data[off] | data[off + 1] << 8) : 0;
    }
    uint32_t dword_at(size_t off) const {
        return off + 4 <= length
                   ? static_cast<uint32_t>(word_at(off)) | static_cast<uint32_t>(word_at(off + 2)) << 16
                   : 0;
    }
    std::string string_at(size_t off) const;
};

// Texts firmware leaves in SMBIOS strings it never filled in, compared whole
// and in any letter case. Deliberately short: "OEM" or "0123456789" can be a
// module's real maker or serial.
bool is_smbios_placeholder(const std::string& s) {
    static const char* const PLACEHOLDERS[] = {
        "not specified",       "unknown", "none",          "to be filled by o.e.m.",
        "no module installed", "empty",   "not available", "default string"};
    const std::string l = util::lower(s);
    for (const char* p : PLACEHOLDERS)
        if (l == p) return true;
    return false;
}

std::string Structure::string_at(size_t off) const {
    uint8_t n = byte_at(off);
    if (n == 0 || n > strings.size()) return {};
    std::string s = util::trim(strings[n - 1]);
    return is_smbios_placeholder(s) ? std::string() : util::valid_utf8(s);
}

// Where the string set that follows a formatted area at `p` ends: after the
// double 0, or at the end of the text when the set is cut off.
size_t read_string_set(const std::string& t, size_t p, std::vector<std::string>& strings) {
    const size_t n = t.size();
    while (p < n) {
        if (t[p] != 0) {
            size_t z = t.find('\0', p);
            size_t k = (z == std::string::npos ? n : z) - p;
            strings.push_back(t.substr(p, k));
            p += k;
        } else if (p + 1 >= n) {
            return p + 1;
        } else if (t[p + 1] == 0) {
            return p + 2;
        } else {
            ++p;
        }
    }
    return n;
}

std::vector<Structure> parse_smbios(const std::string& t) {
    std::vector<Structure> out;
    const size_t n = t.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(t.data());
    size_t pos = 0;
    while (pos + 4 <= n) {
        Structure s;
        s.type = bytes[pos];
        s.length = bytes[pos + 1];
        if (s.length < 4 || pos + s.length > n) break;
        s.data = bytes + pos;
        size_t end = read_string_set(t, pos + s.length, s.strings);
        if (end <= pos) break;
        bool last = s.type == 127;
        out.push_back(std::move(s));
        if (last) break;
        pos = end;
    }
    return out;
}

const char* form_factor_name(uint8_t code) {
    static const char* const NAMES[] = {
        "Other", "Unknown", "SIMM",         "SIP",  "Chip",   "DIP",   "ZIP",     "Proprietary Card",
        "DIMM",  "TSOP",    "Row of chips", "RIMM", "SODIMM", "SRIMM", "FB-DIMM", "Die"};
    return code >= 1 && code <= 16 ? NAMES[code - 1] : nullptr;
}

const char* memory_type_name(uint8_t code) {
    static const char* const NAMES[] = {"Other",
                                        "Unknown",
                                        "DRAM",
                                        "EDRAM",
                                        "VRAM",
                                        "SRAM",
                                        "RAM",
                                        "ROM",
                                        "FLASH",
                                        "EEPROM",
                                        "FEPROM",
                                        "EPROM",
                                        "CDRAM",
                                        "3DRAM",
                                        "SDRAM",
                                        "SGRAM",
                                        "RDRAM",
                                        "DDR",
                                        "DDR2",
                                        "DDR2 FB-DIMM",
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        "DDR3",
                                        "FBD2",
                                        "DDR4",
                                        "LPDDR",
                                        "LPDDR2",
                                        "LPDDR3",
                                        "LPDDR4",
                                        "Logical non-volatile",
                                        "HBM",
                                        "HBM2",
                                        "DDR5",
                                        "LPDDR5",
                                        "HBM3"};
    return code >= 1 && code <= 36 ? NAMES[code - 1] : nullptr;
}

std::string name_or_empty(const char* name) { return name ? name : ""; }

// 0 and 0xFFFF mean unknown in the width and speed words.
std::string known_word_text(uint16_t v, const char* unit) {
    return v >= 1 && v <= 65534 ? std::to_string(v) + unit : std::string();
}

uint64_t module_size_bytes(const Structure& s) {
    uint16_t w = s.word_at(0x0C);
    // 0xFFFF is "size unknown"; reading it like a size would add 32 GiB to the total.
    if (w == 0 || w == 0xFFFF) return 0;
    if (w == 0x7FFF) return uint64_t{s.dword_at(0x1C) & 0x7FFFFFFFu} << 20;
    uint64_t v = w & 0x7FFF;
    return (w & 0x8000) ? v << 10 : v << 20;
}

MemoryModule memory_module(const Structure& s) {
    MemoryModule m;
    m.total_width = known_word_text(s.word_at(0x08), " bit");
    m.data_width = known_word_text(s.word_at(0x0A), " bit");
    m.size_bytes = module_size_bytes(s);
    m.form_factor = name_or_empty(form_factor_name(s.byte_at(0x0E)));
    m.locator = s.string_at(0x10);
    m.bank = s.string_at(0x11);
    m.type = name_or_empty(memory_type_name(s.byte_at(0x12)));
    m.speed = known_word_text(s.word_at(0x15), " MT/s");
    m.manufacturer = s.string_at(0x17);
    m.serial = s.string_at(0x18);
    m.asset_tag = s.string_at(0x19);
    m.part_number = s.string_at(0x1A);
    unsigned rank = s.byte_at(0x1B) & 0x0F;
    if (rank != 0) m.rank = std::to_string(rank);
    m.configured_speed = known_word_text(s.word_at(0x20), " MT/s");
    uint16_t mv = s.word_at(0x26);
    if (mv != 0) m.voltage = util::fmt_double(mv / 1000.0, 2) + " V";
    return m;
}

// Memory Array Use: memory the system runs from, as against video, flash or
// cache memory.
constexpr uint8_t ARRAY_USE_SYSTEM = 0x03;

// Maximum Capacity in bytes; a flagged dword defers to the 64-bit extended field.
uint64_t array_capacity(const Structure& s) {
    uint32_t cap_kib = s.dword_at(0x07);
    if (cap_kib == 0x80000000u) return uint64_t{s.dword_at(0x0F)} | uint64_t{s.dword_at(0x13)} << 32;
    return uint64_t{cap_kib} * 1024;
}

void apply_memory_array(const Structure& s, RootData& d) {
    if (s.dword_at(0x07) != 0) d.max_capacity = array_capacity(s);
    uint16_t slots = s.word_at(0x0D);
    if (slots != 0) d.num_slots = std::to_string(slots);
}

// Multi-socket boards describe one array per memory controller: the
// machine's figures are the sums over the system memory arrays. A single
// system memory array counts alone; a table without one keeps the last value
// any array carries.
void apply_memory_arrays(const std::vector<const Structure*>& arrays, RootData& d) {
    std::vector<const Structure*> system;
    for (const Structure* a : arrays)
        if (a->byte_at(0x05) == ARRAY_USE_SYSTEM) system.push_back(a);
    if (system.size() < 2) {
        for (const Structure* a : system.empty() ? arrays : system) apply_memory_array(*a, d);
        return;
    }
    uint64_t capacity = 0, slots = 0;
    for (const Structure* a : system) {
        capacity += array_capacity(*a);
        slots += a->word_at(0x0D);
    }
    if (capacity != 0) d.max_capacity = capacity;
    if (slots != 0) d.num_slots = std::to_string(slots);
}

// ---- NVMe --------------------------------------------------------------------

uint16_t le16(const NvmeLogPage& p, size_t at) { return static_cast<uint16_t>(p[at] | p[at + 1] << 8); }
uint32_t le32(const NvmeLogPage& p, size_t at) {
    return le16(p, at) | static_cast<uint32_t>(le16(p, at + 2)) << 16;
}
uint64_t le64(const NvmeLogPage& p, size_t at) {
    return le32(p, at) | static_cast<uint64_t>(le32(p, at + 4)) << 32;
}

constexpr double KELVIN_OFFSET = 273.15;

using NvmeAdminCmd = nvme_admin_cmd;
static_assert(sizeof(NvmeAdminCmd) == 72, "NVMe admin pass-through layout");

// Get Log Page for the SMART / health log of the controller as a whole.
bool read_smart_log(int fd, NvmeLogPage& page) {
    NvmeAdminCmd cmd{};
    cmd.opcode = 0x02;
    cmd.nsid = 0xFFFFFFFFu;
    cmd.addr = reinterpret_cast<uintptr_t>(page.data());
    cmd.data_len = NVME_LOG_PAGE_SIZE;
    cmd.cdw10 = 0x007F0002u;  // log id 2, 128 dwords (the count is stored minus one)
    return ::ioctl(fd, NVME_IOCTL_ADMIN_CMD, &cmd) == 0;
}

bool read_nvme_health(const std::string& name, NvmeHealth& out) {
    int fd = util::open_fd("/dev/" + name, O_RDONLY);
    if (fd < 0) return false;
    NvmeLogPage page{};
    bool ok = read_smart_log(fd, page);
    ::close(fd);
    if (!ok) return false;
    out.node = util::valid_utf8(name);
    decode_nvme_health(page, out);
    return true;
}

}  // namespace

// ---- Public ------------------------------------------------------------------

RootData& RootData::instance() {
    static RootData data;
    return data;
}

std::string RootData::serialize() const {
    std::string out = "V 1\n";
    if (!error.empty()) out += "E " + escape_field(error) + '\n';
    for (const DmiKey& k : DMI_KEYS)
        out += std::string("D ") + k.key + '|' + escape_field(this->*k.field) + '\n';
    out += "A " + std::to_string(max_capacity) + '|' + escape_field(num_slots) + '\n';
    for (const MemoryModule& m : memory) out += memory_line(m);
    for (const NvmeHealth& h : nvme) out += nvme_line(h);
    return out;
}

bool RootData::parse(const std::string& text) {
    memory.clear();
    nvme.clear();
    error.clear();
    bool versioned = false;
    size_t start = 0;
    while (start < text.size()) {
        size_t lf = text.find('\n', start);
        size_t end = lf == std::string::npos ? text.size() : lf;
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.size() < 2) continue;
        std::string body = line.substr(2);
        switch (line[0]) {
            case 'V':
                versioned = true;
                break;
            case 'E':
                error = field_text(body);
                break;
            case 'D': {
                auto f = util::split(body, '|');
                std::string* field = f.size() >= 2 ? dmi_field(*this, f[0]) : nullptr;
                if (field) *field = field_text(f[1]);
                break;
            }
            case 'A': {
                auto f = util::split(body, '|');
                max_capacity = util::to_u64(f[0], 0);
                if (f.size() >= 2) num_slots = field_text(f[1]);
                break;
            }
            case 'M': {
                MemoryModule m;
                if (read_memory_line(util::split(body, '|'), m)) memory.push_back(std::move(m));
                break;
            }
            case 'N': {
                NvmeHealth h;
                if (read_nvme_line(util::split(body, '|'), h)) nvme.push_back(std::move(h));
                break;
            }
            default:
                break;
        }
    }
    // The collector marks the data available when the SMBIOS table could be
    // read (it writes no error then), even when the table lists no module,
    // and otherwise when a serial or a drive's health is there.
    available = versioned && (error.empty() || !memory.empty() || !nvme.empty() || !product_serial.empty() ||
                              !board_serial.empty());
    return available;
}

void decode_nvme_health(const NvmeLogPage& page, NvmeHealth& out) {
    out.critical_warning = page[0];
    uint16_t kelvin = le16(page, 1);
    if (kelvin != 0) out.temperature_c = kelvin - KELVIN_OFFSET;
    out.available_spare = page[3];
    out.spare_threshold = page[4];
    out.percentage_used = page[5];
    // Only the low halves of the 128-bit counters are kept.
    uint64_t* counters[] = {&out.data_units_read, &out.data_units_written, &out.host_reads,
                            &out.host_writes,     &out.busy_minutes,       &out.power_cycles,
                            &out.power_on_hours,  &out.unsafe_shutdowns,   &out.media_errors,
                            &out.error_entries};
    for (size_t i = 0; i < 10; ++i) *counters[i] = le64(page, 32 + 16 * i);
    out.warning_temp_minutes = le32(page, 192);
    out.critical_temp_minutes = le32(page, 196);
    for (size_t i = 0; i < 8; ++i) {
        uint16_t k = le16(page, 200 + 2 * i);
        if (k != 0) out.sensors_c.push_back(k - KELVIN_OFFSET);
    }
}

void read_smbios_memory(const std::string& table, RootData& data) {
    const std::vector<Structure> structures = parse_smbios(table);
    std::vector<const Structure*> arrays;
    for (const Structure& s : structures) {
        if (s.type == 16)
            arrays.push_back(&s);
        else if (s.type == 17)
            data.memory.push_back(memory_module(s));
    }
    apply_memory_arrays(arrays, data);
}

void RootData::collect_as_root() {
    available = false;
    error.clear();
    memory.clear();
    nvme.clear();
    for (const std::string& name : util::list_dir("/sys/class/nvme", "nvme")) {
        NvmeHealth h;
        if (read_nvme_health(name, h)) nvme.push_back(std::move(h));
    }
    for (const DmiKey& k : DMI_KEYS)
        this->*k.field = util::valid_utf8(util::read_file(std::string("/sys/class/dmi/id/") + k.key));
    std::string table = util::read_file_raw("/sys/firmware/dmi/tables/DMI");
    if (table.empty()) {
        error = "SMBIOS table not readable";
        available = !product_serial.empty() || !board_serial.empty() || !nvme.empty();
    } else {
        read_smbios_memory(table, *this);
        available = true;
    }
}

}  // namespace hw
