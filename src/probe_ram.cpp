// The "memory" page: the kernel's memory counters, swap, the firmware memory
// map, the memory slots of the privileged SMBIOS data and, for DDR5 modules,
// what each module's own SPD EEPROM says about it.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "probe_ram.h"
#include "util.h"

namespace probe {

namespace {

using MemInfo = std::map<std::string, uint64_t>;

const char* const SUBLINE_SEP = "   \u00b7   ";
const std::string MEMMAP_DIR = "/sys/firmware/memmap";
const std::string I2C_DIR = "/sys/bus/i2c/devices";
constexpr uint64_t RESERVE_MARGIN = uint64_t{1} << 28;  // 256 MiB
// More module records than this make the page offer a bank selector.
constexpr size_t BANK_SELECTOR_FROM = 8;

// ---- /proc/meminfo ---------------------------------------------------------------

MemInfo read_meminfo_kb() {
    MemInfo info;
    for (const std::string& line : util::read_lines("/proc/meminfo")) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        info[util::trim(line.substr(0, colon))] = util::to_u64(util::trim(line.substr(colon + 1)), 0);
    }
    return info;
}

uint64_t get(const MemInfo& info, const std::string& key) {
    auto it = info.find(key);
    return it == info.end() ? 0 : it->second;
}

uint64_t kb(uint64_t v) { return v << 10; }

// MemAvailable can exceed MemTotal after memory hot-plug or under a balloon
// driver; nothing is used then rather than an unsigned wrap.
uint64_t used_of(uint64_t total, uint64_t free_part) { return free_part > total ? 0 : total - free_part; }

std::string used_percent(uint64_t total, uint64_t available) {
    return util::fmt_percent(
        static_cast<double>(used_of(total, available)) * 100.0 / static_cast<double>(total), 0);
}

// ---- What one build works from ---------------------------------------------------

struct MemoryFrame {
    MemInfo info;
    const hw::RootData* root = nullptr;
    uint64_t total = 0;
    uint64_t available = 0;
    uint64_t free_ = 0;
    uint64_t swap_tot = 0;
    uint64_t swap_free = 0;
    uint64_t installed = 0;
    int used_slots = 0;
    bool have_slots = false;
    std::string type;
    std::string speed;
    std::vector<std::string> banks;
    int bank = -1;  // index into `banks`; -1 = every slot
};

std::string smbios_text(const std::string& v) {
    static const std::pair<const char*, const char*> WORDS[] = {
        {"Other", "common.other"},
        {"Unknown", "common.unknown"},
        {"Logical non-volatile", "mem.logical_nv"},
        {"Chip", "ff.chip"},
        {"Row of chips", "ff.row_of_chips"},
        {"Proprietary Card", "ff.proprietary_card"},
        {"Die", "ff.die"},
    };
    for (const auto& [word, key] : WORDS)
        if (v == word) return tr(key);
    return v;
}

std::string group_name(const hw::MemoryModule& m) { return m.bank.empty() ? m.locator : m.bank; }

void read_modules(MemoryFrame& f) {
    const std::vector<hw::MemoryModule>& mods = f.root->memory;
    f.have_slots = !mods.empty() && f.root->available;
    for (const hw::MemoryModule& m : mods) {
        f.installed += m.size_bytes;
        if (m.size_bytes == 0) continue;
        ++f.used_slots;
        if (f.type.empty()) f.type = smbios_text(m.type);
        if (f.speed.empty()) f.speed = m.configured_speed.empty() ? m.speed : m.configured_speed;
    }
}

MemoryFrame read_frame() {
    MemoryFrame f;
    f.info = read_meminfo_kb();
    f.root = &hw::RootData::instance();
    f.total = kb(get(f.info, "MemTotal"));
    f.available = kb(get(f.info, "MemAvailable"));
    f.free_ = kb(get(f.info, "MemFree"));
    f.swap_tot = kb(get(f.info, "SwapTotal"));
    f.swap_free = kb(get(f.info, "SwapFree"));
    read_modules(f);
    return f;
}

// ---- Headline, subline, figures ----------------------------------------------------

void add_heading(const MemoryFrame& f, Page& page) {
    page.headline = util::fmt_bytes(f.installed > f.total ? f.installed : f.total);
    const std::string slot_count =
        util::fmt_int(static_cast<uint64_t>(f.used_slots)) + " / " + util::fmt_int(f.root->memory.size());

    std::vector<std::string> parts;
    if (!f.type.empty()) parts.push_back(f.type);
    if (!f.speed.empty()) parts.push_back(f.speed);
    if (f.have_slots)
        parts.push_back(I18n::instance().trf("summary.n_of_m_slots", f.used_slots,
                                             static_cast<int>(f.root->memory.size())));
    page.subline = util::join(parts, SUBLINE_SEP);

    if (!f.type.empty()) page.stats.push_back({tr("f.type"), f.type, "", ""});
    if (!f.speed.empty()) {
        size_t blank = f.speed.find(' ');
        std::string unit = blank == std::string::npos ? std::string() : f.speed.substr(blank + 1);
        page.stats.push_back({tr("f.speed_configured"), f.speed.substr(0, blank), unit, ""});
    }
    if (f.have_slots) page.stats.push_back({tr("f.slots_used"), slot_count, "", ""});
    if (f.total != 0 && f.available != 0)
        page.stats.push_back({tr("f.used"), used_percent(f.total, f.available), "", "stat.usage"});
    if (f.swap_tot != 0) page.stats.push_back({tr("sec.swap"), util::fmt_bytes(f.swap_tot), "", ""});
}

// ---- Usage -------------------------------------------------------------------------

Card make_card(const char* title_key, CardKind kind = CardKind::Rows, bool wide = false) {
    Card c;
    c.title = tr(title_key);
    c.kind = kind;
    c.wide = wide;
    return c;
}

void append_if_not_empty(Page& page, Card&& card) {
    if (!card.empty()) page.cards.push_back(std::move(card));
}

// One entry of the firmware memory map; `end` is inclusive.
struct Range {
    uint64_t start;
    uint64_t end;
};

uint64_t hex_number(const std::string& text) { return std::strtoull(text.c_str(), nullptr, 16); }

// Whether the firmware map holds clearly more memory below the top of system
// RAM than the kernel manages: firmware and graphics took the difference.
bool firmware_reserves_memory(uint64_t memtotal_bytes) {
    if (!util::is_dir(MEMMAP_DIR)) return false;
    std::vector<Range> ranges;
    uint64_t ram_top = 0;
    for (const std::string& name : util::list_dir(MEMMAP_DIR, "")) {
        const std::string dir = MEMMAP_DIR + "/" + name;
        const std::string start_text = util::read_file(dir + "/start");
        const std::string end_text = util::read_file(dir + "/end");
        if (start_text.empty() || end_text.empty()) continue;
        const uint64_t start = hex_number(start_text), end = hex_number(end_text);
        if (start > end) continue;
        ranges.push_back({start, end});
        if (util::read_file(dir + "/type") == "System RAM" && end > ram_top) ram_top = end;
    }
    if (ram_top == 0 || ranges.empty()) return false;
    uint64_t sum = 0;
    for (const Range& r : ranges)
        if (r.end <= ram_top) sum += r.end - r.start + 1;
    return sum > memtotal_bytes + RESERVE_MARGIN;
}

void add_bytes_row(Card& card, const char* label, uint64_t bytes, const char* note, const char* live) {
    if (bytes != 0) card.rows.emplace_back(tr(label), util::fmt_bytes(bytes), note, false, live, "");
}

Card usage_card(const MemoryFrame& f) {
    Card c = make_card("sec.usage", CardKind::Usage, true);
    if (f.total != 0 && f.available != 0)
        c.usage.push_back(
            {tr("tree.memory"), used_of(f.total, f.available), f.total, "MemTotal - MemAvailable"});
    if (f.swap_tot != 0)
        c.usage.push_back({tr("sec.swap"), used_of(f.swap_tot, f.swap_free), f.swap_tot, "/proc/meminfo"});

    const bool reserved_known = f.total < f.installed;
    if (reserved_known)
        c.rows.emplace_back(tr("f.installed"), util::fmt_bytes(f.installed), "SMBIOS 17", false, "", "");
    add_bytes_row(c, "f.total", f.total, "MemTotal", "");
    add_bytes_row(c, "f.available", f.available, "MemAvailable", "MemAvailable");
    add_bytes_row(c, "f.free", f.free_, "MemFree", "MemFree");
    add_bytes_row(c, "f.buffers", kb(get(f.info, "Buffers")), "Buffers", "Buffers");
    add_bytes_row(c, "f.cached", kb(get(f.info, "Cached")), "Cached", "Cached");
    add_bytes_row(c, "f.shared", kb(get(f.info, "Shmem")), "Shmem", "Shmem");
    if (reserved_known) {
        const uint64_t reserved = f.installed - f.total;
        const double share = static_cast<double>(reserved) * 100.0 / static_cast<double>(f.installed);
        c.rows.emplace_back(tr("f.reserved_firmware"), util::fmt_bytes(reserved), "", false, "",
                            util::fmt_percent(share, 1));
    } else if (firmware_reserves_memory(f.total)) {
        c.hint = tr("msg.installed_needs_root");
        c.hint_elevates = true;
    }
    return c;
}

// ---- Slots -------------------------------------------------------------------------

std::vector<std::string> bank_names(const std::vector<hw::MemoryModule>& mods) {
    std::vector<std::string> names;
    for (const hw::MemoryModule& m : mods) {
        std::string name = group_name(m);
        if (name.empty()) continue;
        bool seen = false;
        for (const std::string& n : names) seen = seen || n == name;
        if (!seen) names.push_back(std::move(name));
    }
    return names;
}

void add_bank_selector(MemoryFrame& f, int bank, Page& page) {
    f.bank = -1;
    if (!f.have_slots || f.root->memory.size() <= BANK_SELECTOR_FROM) return;
    f.banks = bank_names(f.root->memory);
    if (f.banks.size() < 2) return;
    Selector& sel = page.selector;
    sel.label = tr("f.bank");
    sel.options.push_back(tr("value.all"));
    sel.values.push_back(-1);
    for (size_t i = 0; i < f.banks.size(); ++i) {
        sel.options.push_back(f.banks[i]);
        sel.values.push_back(static_cast<int>(i));
        if (bank == static_cast<int>(i)) {
            sel.selected = static_cast<int>(i) + 1;
            f.bank = bank;
        }
    }
}

// The collector writes the voltage with the separators of the process that
// read the table, which need not be this window's language: the number is
// shown again with the current ones. Text of another form stays as it is.
std::string shown_voltage(const std::string& collected) {
    const std::string unit = " V";
    if (!util::ends_with(collected, unit)) return collected;
    std::string integer, fraction;
    bool separated = false;
    for (const char ch : collected.substr(0, collected.size() - unit.size())) {
        if (ch >= '0' && ch <= '9')
            (separated ? fraction : integer) += ch;
        else if (integer.empty() || !fraction.empty())
            return collected;
        else
            separated = true;  // a separator may take several bytes
    }
    if (integer.empty() || (separated && fraction.empty())) return collected;
    return util::fmt_double(util::to_double(integer + "." + fraction, 0), 2) + unit;
}

Card modules_card(const MemoryFrame& f) {
    Card c = make_card("sec.modules", CardKind::Slots, true);
    if (!f.have_slots) {
        c.hint = tr("msg.memory_modules_root");
        c.hint_elevates = true;
        c.subtitle = f.root->error;
        return c;
    }
    const std::vector<hw::MemoryModule>& mods = f.root->memory;
    for (size_t i = 0; i < mods.size(); ++i) {
        if (f.bank >= 0 && group_name(mods[i]) != f.banks[static_cast<size_t>(f.bank)]) continue;
        Slot slot{mods[i], static_cast<int>(i) + 1};
        slot.mod.voltage = shown_voltage(slot.mod.voltage);
        c.slots.push_back(std::move(slot));
    }
    if (f.root->max_capacity != 0)
        c.rows.emplace_back(tr("f.max_capacity"), util::fmt_bytes(f.root->max_capacity), "SMBIOS 16", false,
                            "", "");
    c.rows.emplace_back(
        tr("f.slots_used"),
        util::fmt_int(static_cast<uint64_t>(f.used_slots)) + " / " + util::fmt_int(mods.size()), "SMBIOS 17",
        false, "", "");
    return c;
}

// ---- DDR5 SPD ----------------------------------------------------------------------

// One decoded SPD EEPROM (the JEDEC DDR5 layout); times in picoseconds.
struct Spd {
    bool ok = false;
    std::string path;
    uint8_t revision = 0;
    uint8_t type = 0;
    uint8_t module_type = 0;
    std::string manufacturer;
    std::string dram_manufacturer;
    std::string part_number;
    std::string serial;
    int year = 0;  // 0 = not given or not a valid date
    int week = 0;
    double tck_min_ps = 0;
    double tck_max_ps = 0;
    double taa_ps = 0;
    double trcd_ps = 0;
    double trp_ps = 0;
    double tras_ps = 0;
    double trc_ps = 0;
    double twr_ps = 0;
};

// A DDR5 SPD holds 1024 bytes; the decoder reads none beyond offset 0x229.
constexpr size_t SPD_BYTES = 1024;
constexpr uint8_t DDR5_TYPE = 0x12;

struct Entry {
    int bank;  // JEP106 bank: continuation codes + 1
    int id;    // the code without its parity bit
    const char* name;
};

const char* jedec_vendor(uint8_t bank_byte, uint8_t id_byte) {
    static const Entry TABLE[] = {
        {1, 0x2C, "Micron"},    {1, 0x4E, "Samsung"}, {1, 0x2D, "SK hynix"}, {2, 0x18, "Kingston"},
        {2, 0x4F, "Transcend"}, {2, 0x3A, "PNY"},     {3, 0x7E, "Elpida"},   {3, 0x1E, "Corsair"},
        {4, 0x0B, "Nanya"},     {6, 0x51, "Qimonda"}, {5, 0x43, "Ramaxel"},  {5, 0x4B, "ADATA"},
        {6, 0x1B, "Crucial"},   {5, 0x4D, "G.Skill"}, {6, 0x02, "Patriot"},  {5, 0x6F, "Team Group"},
    };
    const int bank = (bank_byte & 0x7F) + 1;
    const int id = id_byte & 0x7F;
    for (const Entry& e : TABLE)
        if (e.bank == bank && e.id == id) return e.name;
    return nullptr;
}

// Two BCD digits; -1 when either nibble is not a decimal digit.
int bcd(uint8_t v) {
    const int hi = v >> 4, lo = v & 0x0F;
    return hi > 9 || lo > 9 ? -1 : hi * 10 + lo;
}

std::string part_number_at(const std::string& raw, size_t from, size_t count) {
    std::string part;
    for (size_t i = from; i < from + count; ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c == 0x00 || c == 0x20)
            part += ' ';
        else if (c < 0x20 || c > 0x7E)
            break;
        else
            part += static_cast<char>(c);
    }
    return util::trim(part);
}

Spd decode_spd(const std::string& raw, const std::string& path) {
    Spd s;
    if (raw.size() < SPD_BYTES) return s;
    auto byte = [&](size_t at) { return static_cast<uint8_t>(raw[at]); };
    auto le16 = [&](size_t at) { return static_cast<double>(byte(at) + 256 * byte(at + 1)); };
    if (byte(2) != DDR5_TYPE) return s;

    s.ok = true;
    s.path = path;
    s.revision = byte(1);
    s.type = byte(2);
    s.module_type = byte(3) & 0x0F;
    s.tck_min_ps = le16(0x14);
    s.tck_max_ps = le16(0x16);
    s.taa_ps = le16(0x1E);
    s.trcd_ps = le16(0x20);
    s.trp_ps = le16(0x22);
    s.tras_ps = le16(0x24);
    s.trc_ps = le16(0x26);
    s.twr_ps = le16(0x28);

    const char* maker = jedec_vendor(byte(0x200), byte(0x201));
    s.manufacturer = maker ? maker : util::to_hex(byte(0x200) * 256u + byte(0x201), 4);
    const char* dram = jedec_vendor(byte(0x228), byte(0x229));
    if (dram) s.dram_manufacturer = dram;

    // Vendors leave hand-set or erased bytes here; only a real date is shown.
    const int year = bcd(byte(0x203)), week = bcd(byte(0x204));
    if (byte(0x203) != 0 && year >= 0 && week >= 1 && week <= 53) {
        s.year = 2000 + year;
        s.week = week;
    }
    char serial[9];
    std::snprintf(serial, sizeof serial, "%02X%02X%02X%02X", byte(0x205), byte(0x206), byte(0x207),
                  byte(0x208));
    s.serial = serial;
    s.part_number = part_number_at(raw, 0x209, 30);
    return s;
}

Spd read_spd(const std::string& path) {
    // DDR4 and other EEPROMs are smaller: turned away before a byte crosses the bus.
    if (util::file_size(path) < static_cast<int64_t>(SPD_BYTES)) return {};
    return decode_spd(util::read_file_head(path, SPD_BYTES), path);
}

// SPD contents do not change while the program runs, and reading them goes
// over the slow SMBus: each module is decoded once per process. A read that
// failed or came back short says nothing lasting (a busy bus, a driver still
// binding) and is tried again at the next build.
Spd cached_spd(const std::string& path) {
    static std::map<std::string, Spd> decoded;
    const std::string key = util::host_path(path);
    auto it = decoded.find(key);
    if (it != decoded.end()) return it->second;
    Spd s = read_spd(path);
    if (s.ok) decoded.emplace(key, s);
    return s;
}

std::vector<Spd> collect_spd() {
    std::vector<Spd> modules;
    for (const std::string& dev : util::list_dir(I2C_DIR, "")) {
        const std::string path = I2C_DIR + "/" + dev + "/eeprom";
        if (!util::path_exists(path)) continue;
        Spd s = cached_spd(path);
        if (s.ok) modules.push_back(std::move(s));
    }
    return modules;
}

const char* form_factor(uint8_t module_type) {
    switch (module_type) {
        case 1:
            return "RDIMM";
        case 2:
            return "UDIMM";
        case 3:
            return "SODIMM";
        case 4:
            return "LRDIMM";
        case 6:
            return "CUDIMM";
        default:
            return "";
    }
}

// Clock cycles of a time; a ratio up to 0.02 above a whole number still
// counts as that number.
uint64_t cycles(double t_ps, double tck_ps) { return static_cast<uint64_t>(std::ceil(t_ps / tck_ps - 0.02)); }

std::string nanoseconds(double ps, int decimals) { return util::fmt_double(ps / 1000.0, decimals) + " ns"; }

Card spd_card(const Spd& s, size_t index, size_t count) {
    Card c = make_card("sec.modules");
    c.subtitle = util::fmt_int(index + 1) + " / " + util::fmt_int(count);
    auto add = [&c](const char* name, const std::string& value, const std::string& note,
                    const std::string& extra) {
        std::string v = util::trim(value);
        if (!v.empty()) c.rows.emplace_back(name, std::move(v), note, false, "", extra);
    };
    add(tr("f.type"), "DDR5", "SPD", form_factor(s.module_type));
    add(tr("f.manufacturer"), s.manufacturer, "SPD", "");
    add(tr("f.part_number"), s.part_number, "SPD", "");
    add(tr("f.serial"), s.serial, "SPD", "");
    if (s.year != 0)
        add(tr("f.date"), std::to_string(s.year), "SPD",
            s.week != 0 ? std::string(tr("f.week")) + " " + std::to_string(s.week) : std::string());
    add(tr("sec.chip"), s.dram_manufacturer, "SPD", "");
    if (s.tck_min_ps > 0) {
        const double rated = std::round(2000000.0 / s.tck_min_ps / 100.0) * 100.0;
        add(tr("f.speed_rated"), util::fmt_double(rated, 0) + " MT/s", "SPD", nanoseconds(s.tck_min_ps, 3));
    }
    if (s.tck_min_ps > 0 && s.taa_ps > 0) {
        uint64_t cl = cycles(s.taa_ps, s.tck_min_ps);
        cl += cl & 1;  // DDR5 has only even CAS latencies
        const std::vector<std::string> timings = {
            util::fmt_int(cl), util::fmt_int(cycles(s.trcd_ps, s.tck_min_ps)),
            util::fmt_int(cycles(s.trp_ps, s.tck_min_ps)), util::fmt_int(cycles(s.tras_ps, s.tck_min_ps))};
        add("Timings", util::join(timings, "-"), "SPD", "CL-tRCD-tRP-tRAS");
        add("tRC", nanoseconds(s.trc_ps, 1), "SPD", "");
        if (s.twr_ps > 0) add("tWR", nanoseconds(s.twr_ps, 1), "SPD", "");
    }
    add(tr("f.version"), "SPD " + std::to_string(s.revision >> 4) + "." + std::to_string(s.revision & 0x0F),
        s.path, "");
    return c;
}

void add_spd_cards(Page& page) {
    const std::vector<Spd> modules = collect_spd();
    for (size_t i = 0; i < modules.size(); ++i) page.cards.push_back(spd_card(modules[i], i, modules.size()));
}

// ---- Swap, kernel memory, huge pages -------------------------------------------------

std::vector<std::string> fields_of(const std::string& line) {
    std::vector<std::string> fields;
    std::string cur;
    for (char ch : line) {
        if (ch == ' ' || ch == '\t') {
            if (!cur.empty()) fields.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += ch;
        }
    }
    if (!cur.empty()) fields.push_back(std::move(cur));
    return fields;
}

void add_swap_areas(Card& c) {
    const std::vector<std::string> lines = util::read_lines("/proc/swaps");
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> f = fields_of(lines[i]);
        if (f.size() < 5) continue;
        const std::string kind = f[1] == "partition" ? tr("sec.partition")
                                 : f[1] == "file"    ? tr("value.file")
                                                     : util::valid_utf8(f[1]);
        // The kernel escapes blanks and tabs in the path (\040, \011).
        const std::string value = kind + ", " + util::fmt_bytes(kb(util::to_u64(f[2], 0))) + ", " +
                                  tr("f.priority") + " " + util::valid_utf8(f[4]);
        c.rows.emplace_back(util::valid_utf8(util::unescape_octal(f[0])), value, "/proc/swaps", false, "",
                            "");
    }
}

Card swap_card(const MemoryFrame& f) {
    Card c = make_card("sec.swap");
    c.rows.emplace_back(tr("f.total"), util::fmt_bytes(f.swap_tot), "SwapTotal", false, "", "");
    if (f.swap_tot == 0) return c;
    c.rows.emplace_back(tr("f.used"), util::fmt_bytes(used_of(f.swap_tot, f.swap_free)), "", false, "", "");
    c.rows.emplace_back(tr("f.free"), util::fmt_bytes(f.swap_free), "SwapFree", false, "", "");
    add_swap_areas(c);
    return c;
}

struct MemField {
    const char* key;
    const char* label;
};

const MemField KERNEL_FIELDS[] = {
    {"Active", "mem.active"},
    {"Inactive", "mem.inactive"},
    {"Dirty", "mem.dirty"},
    {"Writeback", "mem.writeback"},
    {"AnonPages", "mem.anon_pages"},
    {"Mapped", "mem.mapped"},
    {"Slab", "mem.slab"},
    {"SReclaimable", "mem.slab_recl"},
    {"SUnreclaim", "mem.slab_unrecl"},
    {"KernelStack", "mem.kernel_stack"},
    {"PageTables", "mem.page_tables"},
    {"CommitLimit", "mem.commit_limit"},
    {"Committed_AS", "mem.committed"},
    {"VmallocUsed", "mem.vmalloc_used"},
    {"Percpu", "mem.percpu"},
};

using HpField = MemField;

const HpField HP_FIELDS[] = {
    {"HugePages_Total", "mem.hp_total"},
    {"HugePages_Free", "mem.hp_free"},
    {"HugePages_Rsvd", "mem.hp_rsvd"},
    {"HugePages_Surp", "mem.hp_surp"},
};

Card kernel_card(const MemoryFrame& f) {
    Card c = make_card("sec.kernel_memory");
    for (const MemField& field : KERNEL_FIELDS)
        add_bytes_row(c, field.label, kb(get(f.info, field.key)), "/proc/meminfo", "");
    return c;
}

Card hugepages_card(const MemoryFrame& f) {
    Card c = make_card("sec.hugepages");
    for (const HpField& field : HP_FIELDS) {
        auto it = f.info.find(field.key);
        if (it != f.info.end())
            c.rows.emplace_back(tr(field.label), util::fmt_int(it->second), "/proc/meminfo", false, "", "");
    }
    add_bytes_row(c, "mem.hp_size", kb(get(f.info, "Hugepagesize")), "/proc/meminfo", "");
    add_bytes_row(c, "mem.hp_anon", kb(get(f.info, "AnonHugePages")), "/proc/meminfo", "");
    const std::string thp = util::read_file("/sys/kernel/mm/transparent_hugepage/enabled");
    if (!thp.empty())
        c.rows.emplace_back(tr("f.transparent_hugepages"), util::valid_utf8(thp),
                            "transparent_hugepage/enabled", false, "", "");
    return c;
}

}  // namespace

Card spd_card_of_image(const std::string& raw) {
    const Spd s = decode_spd(raw, "eeprom");
    return s.ok ? spd_card(s, 0, 1) : Card{};
}

Page collect_memory(int bank) {
    Page page;
    MemoryFrame f = read_frame();
    add_heading(f, page);
    append_if_not_empty(page, usage_card(f));
    add_bank_selector(f, bank, page);
    page.cards.push_back(modules_card(f));
    add_spd_cards(page);
    page.cards.push_back(swap_card(f));
    append_if_not_empty(page, kernel_card(f));
    append_if_not_empty(page, hugepages_card(f));
    return page;
}

void refresh_live_memory(Page& page) {
    const MemInfo info = read_meminfo_kb();
    const uint64_t total = kb(get(info, "MemTotal"));
    const uint64_t available = kb(get(info, "MemAvailable"));
    const uint64_t swap_tot = kb(get(info, "SwapTotal"));
    const uint64_t swap_free = kb(get(info, "SwapFree"));
    const std::string memory_label = tr("tree.memory");
    const std::string swap_label = tr("sec.swap");
    for (Card& card : page.cards) {
        for (UsageBar& bar : card.usage) {
            if (bar.label == memory_label && total != 0) {
                bar.total = total;
                bar.used = used_of(total, available);
            } else if (bar.label == swap_label && swap_tot != 0) {
                bar.total = swap_tot;
                bar.used = used_of(swap_tot, swap_free);
            }
        }
        for (Row& row : card.rows)
            if (!row.live.empty()) row.value = util::fmt_bytes(kb(get(info, row.live)));
    }
    for (Stat& s : page.stats)
        if (s.live == "stat.usage" && total != 0 && available != 0) s.value = used_percent(total, available);
}

}  // namespace probe
