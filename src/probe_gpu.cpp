// The "gpu" page: every graphics device of the page collection's snapshot
// with its identity, clocks, status, codecs, chip blocks, firmware and ports,
// and one card per connected monitor decoded from its EDID.
//
// The tick never enumerates again: it refreshes the records the page was
// built from, and leaves a device that the kernel has put to sleep asleep.
#include "probe_gpu.h"

#include <cmath>
#include <cstdlib>

#include "i18n.h"
#include "util.h"

namespace probe {

namespace {

const std::string DRM_BASE = "/sys/class/drm";
const char* const SUBLINE_SEP = "   \u00b7   ";
constexpr size_t WIDE_CODECS = 12;  // more codecs than this make the video card wide

// ---- EDID -----------------------------------------------------------------

constexpr size_t BLOCK = 128;
constexpr unsigned char HEADER[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
constexpr size_t DESCRIPTORS[] = {54, 72, 90, 108};
constexpr unsigned char TAG_NAME = 0xFC;
constexpr unsigned char TAG_SERIAL = 0xFF;

// Descriptor text is firmware bytes: it ends at a NUL or a line feed, and
// only printable ASCII may reach a label.
std::string descriptor_text(const unsigned char* d) {
    std::string text;
    for (size_t i = 5; i < 18; ++i) {
        if (d[i] == 0x00 || d[i] == 0x0A) break;
        if (d[i] >= 0x20 && d[i] <= 0x7E) text += static_cast<char>(d[i]);
    }
    return util::trim(text);
}

int twelve_bits(unsigned char low, unsigned char nibble) { return low | (nibble << 8); }

// Monitors often carry a millimetre size that belongs to another panel (a
// 40" TV declaring 160 x 90 mm): it counts only where the centimetre size of
// the base block is missing or agrees with it.
bool agrees(int mm, int cm_as_mm) { return std::abs(mm - cm_as_mm) * 10 <= cm_as_mm; }

// Firmware fills spare timing slots with values that are no mode at all
// (a 1 x 1 picture at 39 Hz, a panel refreshed once a second): such a timing
// gives neither the preferred mode nor an image size.
constexpr int MIN_ACTIVE = 64;
constexpr double MIN_REFRESH_HZ = 10.0;

void take_timing(const unsigned char* d, Edid& e) {
    const int clock = d[0] | (d[1] << 8);  // 10 kHz units
    const int h_active = twelve_bits(d[2], d[4] >> 4);
    const int h_blank = twelve_bits(d[3], d[4] & 0x0F);
    const int v_field = twelve_bits(d[5], d[7] >> 4);
    const int v_blank = twelve_bits(d[6], d[7] & 0x0F);
    const int width = twelve_bits(d[12], d[14] >> 4);
    const int height = twelve_bits(d[13], d[14] & 0x0F);
    // An interlaced timing describes one field: the frame has twice its
    // lines, and each field lasts half a line longer than it says.
    const bool interlaced = (d[17] & 0x80) != 0;
    const int v_active = interlaced ? 2 * v_field : v_field;
    if (h_active < MIN_ACTIVE || v_active < MIN_ACTIVE) return;
    const double total =
        static_cast<double>(h_active + h_blank) * (v_field + v_blank + (interlaced ? 0.5 : 0));
    const double refresh = clock * 10000.0 / total;
    if (refresh < MIN_REFRESH_HZ) return;
    e.h_active = h_active;
    e.v_active = v_active;
    e.refresh_hz = refresh;
    if (width == 0 || height == 0) return;
    const bool no_cm = e.width_mm == 0 || e.height_mm == 0;
    if (no_cm || (agrees(width, e.width_mm) && agrees(height, e.height_mm))) {
        e.width_mm = width;
        e.height_mm = height;
    }
}

// ---- Cards ----------------------------------------------------------------

// Every text from sysfs and the name database is repaired on its way in.
void add(Card& card, const char* label, const std::string& value, const std::string& note,
         const std::string& live) {
    if (!value.empty()) card.rows.emplace_back(label, util::valid_utf8(value), note, false, live, "");
}

std::string suffix_of(size_t index) { return index == 0 ? "" : " (" + util::fmt_int(index + 1) + ")"; }

std::string live_key(const char* family, const gpu::Device& g) { return std::string(family) + ":" + g.card; }

// The unit count a label names: amdgpu counts compute units, i915 and xe
// name their execution units (the subslice total stays unshown).
struct Units {
    std::string label;
    uint32_t count = 0;
};

Units units_of(const gpu::Device& g) {
    if (g.shader_label == "Execution Units") return {g.shader_label, g.shader_cores};
    return {g.shader_label.empty() ? tr("f.compute_units") : g.shader_label, g.compute_units};
}

bool shows_shader_cores(const gpu::Device& g) {
    return g.shader_cores != 0 && g.shader_label == "Compute Units";
}

std::string link(const gpu::Device& g, const char* speed_file, const char* width_file) {
    const std::string dir = DRM_BASE + "/" + g.card + "/device/";
    const double speed = util::to_double(util::read_file(dir + speed_file), 0.0);
    const std::string width = util::read_file(dir + width_file);
    if (!(speed > 0.0) || width.empty()) return {};
    return pcie_link_text(speed, static_cast<unsigned>(util::to_u64(width, 0)));
}

// Texts of the live readings; empty while a reading is unknown.
std::string khz_text(uint64_t khz) { return khz == 0 ? "" : util::fmt_khz(khz); }
std::string busy_text(const gpu::Device& g) {
    return g.busy_percent < 0 ? "" : util::fmt_percent(g.busy_percent, 0);
}
std::string temp_text(const gpu::Device& g, int decimals) {
    return g.temperature_c > -300.0 ? util::fmt_double(g.temperature_c, decimals) : "";
}
std::string power_text(const gpu::Device& g) {
    return g.power_w >= 0.0 ? util::fmt_double(g.power_w, 1) + " W" : "";
}
std::string volt_text(const gpu::Device& g) {
    return g.voltage_v > 0.0 ? util::fmt_double(g.voltage_v, 3) + " V" : "";
}

Card identity_card(const gpu::Device& g, const std::string& suffix) {
    Card card;
    card.title = std::string(tr(g.integrated ? "sec.igpu" : "sec.gpu")) + suffix;
    add(card, tr("f.model"), gpu::display_name(g), g.pci, "");
    add(card, tr("f.vendor"), g.vendor, "vendor", "");
    add(card, tr("f.driver"), g.driver, "driver", "");
    add(card, tr("f.module"), g.module, "driver/module", "");
    add(card, tr("f.pci_address"), g.pci, "PCI", "");
    add(card, tr("f.firmware"), g.vbios, "vbios_version", "");
    const std::string current = link(g, "current_link_speed", "current_link_width");
    if (!current.empty()) {
        const std::string max = link(g, "max_link_speed", "max_link_width");
        card.rows.emplace_back(tr("f.pcie_link"), current, "current_link_speed", false, "",
                               !max.empty() && max != current ? "max " + max : "");
    }
    const Units units = units_of(g);
    if (units.count != 0) add(card, units.label.c_str(), util::fmt_int(units.count), "DRM", "");
    if (shows_shader_cores(g))
        add(card, tr("f.shader_cores"), util::fmt_int(g.shader_cores),
            "DRM (" + util::fmt_int(g.compute_units) + " \u00d7 64)", "");
    if (g.shader_engines != 0) add(card, tr("f.shader_engines"), util::fmt_int(g.shader_engines), "DRM", "");
    return card;
}

std::string levels_text(const gpu::Device::ClockLevels& table) {
    std::vector<std::string> parts;
    for (uint32_t mhz : table.mhz) {
        std::string text = util::fmt_mhz(mhz);
        parts.push_back(mhz == table.active_mhz ? "[" + text + "]" : text);
    }
    return util::join(parts, "  ");
}

const char* levels_label(const std::string& label) {
    if (label == "sclk") return tr("f.gpu_freq_levels");
    if (label == "mclk") return tr("f.mem_clock");
    return "Fabric";
}

Card clock_card(const gpu::Device& g, const std::string& suffix) {
    Card card;
    card.title = tr("sec.clock") + suffix;
    add(card, tr("f.gpu_freq_cur"), khz_text(g.cur_khz), "DRM", live_key("gpu.freq", g));
    if (g.max_engine_khz != 0)
        add(card, tr("f.gpu_freq_max"), util::fmt_khz(g.max_engine_khz), "DRM", "");
    else
        add(card, tr("f.gpu_freq_max"), khz_text(g.sysfs_max_khz), "sysfs", "");
    if (g.mem_khz != 0)
        add(card, tr("f.memory_clock"), util::fmt_khz(g.mem_khz), "DRM", live_key("gpu.mclk", g));
    else
        add(card, tr("f.memory_clock"), khz_text(g.max_memory_khz), "DRM", "");
    for (const gpu::Device::ClockLevels& table : g.clocks)
        add(card, levels_label(table.label), levels_text(table), "pp_dpm_" + table.label, "");
    add(card, tr("f.power_profile"), g.power_state, "power_dpm_state", "");
    add(card, tr("f.perf_level"), g.performance_level, "power_dpm_force_performance_level", "");
    return card;
}

Card status_card(const gpu::Device& g, const std::string& suffix) {
    Card card;
    card.title = tr("sec.gpu_status") + suffix;
    card.kind = CardKind::Usage;
    if (g.vram_total != 0) card.usage.push_back({tr("f.vram"), g.vram_used, g.vram_total, "DRM"});
    if (g.gtt_total != 0) card.usage.push_back({tr("f.gtt_total"), g.gtt_used, g.gtt_total, "DRM"});
    add(card, tr("f.gpu_load"), busy_text(g), "DRM", live_key("gpu.busy", g));
    const std::string temp = temp_text(g, 1);
    add(card, tr("f.temperature"), temp.empty() ? "" : temp + " \u00b0C", "DRM", live_key("gpu.temp", g));
    add(card, tr("f.power_now"), power_text(g), "DRM", live_key("gpu.power", g));
    add(card, tr("f.voltage"), volt_text(g), "DRM", live_key("gpu.volt", g));
    if (g.vram_visible != 0 && g.vram_visible != g.vram_total)
        add(card, tr("f.vram_visible"), util::fmt_bytes(g.vram_visible), "DRM", "");
    if (g.vram_bits != 0) add(card, tr("f.memory_bus"), util::fmt_int(g.vram_bits) + " Bit", "DRM", "");
    add(card, tr("f.memory_type"), g.vram_type, "DRM", "");
    return card;
}

Chip codec_chip(const gpu::Device::Codec& c) {
    Chip chip;
    chip.label = c.name + (c.decode && c.encode ? "  \u25bc\u25b2"
                           : c.decode           ? "  \u25bc"
                           : c.encode           ? "  \u25b2"
                                                : "");
    if (c.decode) chip.note = tr("f.decode");
    if (c.encode) chip.note += (chip.note.empty() ? "" : " + ") + std::string(tr("f.encode"));
    if (c.max_width != 0 && c.max_height != 0)
        chip.note += "  " + util::fmt_int(c.max_width) + "\u00d7" + util::fmt_int(c.max_height);
    return chip;
}

Card video_card(const gpu::Device& g) {
    Card card;
    card.title = tr("sec.video");
    card.kind = CardKind::Chips;
    card.wide = g.codecs.size() > WIDE_CODECS;
    card.subtitle = tr("msg.video_legend");
    for (const gpu::Device::Codec& c : g.codecs) card.chips.push_back(codec_chip(c));
    return card;
}

Card chip_card(const gpu::Device& g, const std::string& suffix) {
    Card card;
    card.title = tr("sec.chip") + suffix;
    for (const gpu::Device::IpBlock& ip : g.ip_blocks)
        card.rows.emplace_back(ip.name, util::valid_utf8(ip.version), "ip_discovery", false, "", "");
    return card;
}

Card firmware_card(const gpu::Device& g, const std::string& suffix) {
    Card card;
    card.title = tr("sec.firmware") + suffix;
    for (const gpu::Device::Firmware& fw : g.firmwares)
        card.rows.emplace_back(fw.name, "0x" + util::to_hex(fw.version, 8), "DRM", false, "",
                               fw.feature != 0 ? "feat " + std::to_string(fw.feature) : "");
    return card;
}

Card ports_card(const gpu::Device& g, const std::string& suffix) {
    Card card;
    card.title = tr("f.max_child") + suffix;
    size_t connected = 0;
    for (const gpu::Device::Connector& c : g.connectors) {
        if (!c.connected) continue;
        ++connected;
        card.rows.emplace_back(util::valid_utf8(c.name),
                               c.mode.empty() ? tr("value.connected") : util::valid_utf8(c.mode), "status",
                               false, "", "");
    }
    const size_t disconnected = g.connectors.size() - connected;
    if (disconnected != 0)
        card.rows.emplace_back(tr("value.disconnected"), util::fmt_int(disconnected), "status", false, "",
                               "");
    card.subtitle = util::fmt_int(connected) + " / " + util::fmt_int(g.connectors.size());
    return card;
}

// The page's devices as the tick keeps them: the records it was built from,
// which of them it shows, and which device each card belongs to.
struct Kept {
    std::vector<gpu::Device> devices;
    std::vector<bool> shown;
    std::vector<int> card_device;  // per page card, index into devices
};

Kept& kept() {
    static Kept k;
    return k;
}

void append_if(Page& page, Card card, bool wanted) {
    if (wanted) page.cards.push_back(std::move(card));
}

void append_cards(Page& page, const gpu::Device& g, size_t index, int real_index) {
    const std::string suffix = suffix_of(index);
    Card identity = identity_card(g, suffix);
    append_if(page, identity, !identity.rows.empty());
    Card clock = clock_card(g, suffix);
    append_if(page, clock, !clock.rows.empty());
    Card status = status_card(g, suffix);
    append_if(page, status, !status.rows.empty() || !status.usage.empty());
    append_if(page, video_card(g), !g.codecs.empty());
    append_if(page, chip_card(g, suffix), !g.ip_blocks.empty());
    append_if(page, firmware_card(g, suffix), !g.firmwares.empty());
    append_if(page, ports_card(g, suffix), !g.connectors.empty());
    for (const gpu::Device::Connector& c : g.connectors)
        if (c.connected) page.cards.push_back(monitor_card(g.card, c));
    kept().card_device.resize(page.cards.size(), real_index);
}

void add_stats(Page& page, const gpu::Device& g) {
    const Units units = units_of(g);
    if (units.count != 0) page.stats.push_back({units.label, util::fmt_int(units.count), "", ""});
    if (shows_shader_cores(g))
        page.stats.push_back({tr("f.shader_cores"), util::fmt_int(g.shader_cores), "", ""});
    if (g.cur_khz != 0)
        page.stats.push_back({tr("f.gpu_freq_cur"), khz_text(g.cur_khz), "", live_key("stat.gpu_freq", g)});
    if (g.busy_percent >= 0)
        page.stats.push_back({tr("f.gpu_load"), busy_text(g), "", live_key("stat.gpu_load", g)});
    if (g.temperature_c > -300.0)
        page.stats.push_back({tr("f.temperature"), temp_text(g, 0), "\u00b0C", live_key("stat.gpu_temp", g)});
    if (g.vram_total != 0) page.stats.push_back({tr("f.vram"), util::fmt_bytes(g.vram_total), "", ""});
}

// ---- Live refresh -----------------------------------------------------------

bool is(const std::string& key, const char* family) {
    const size_t n = std::char_traits<char>::length(family);
    return key.compare(0, n, family) == 0 && (key.size() == n || key[n] == ':');
}

// The kept device a key names by its card; a key without one means the first.
const gpu::Device* device_of(const std::string& key) {
    const std::vector<gpu::Device>& devices = kept().devices;
    const size_t colon = key.rfind(':');
    if (colon == std::string::npos) return devices.empty() ? nullptr : &devices.front();
    const std::string card = key.substr(colon + 1);
    for (const gpu::Device& g : devices)
        if (g.card == card) return &g;
    return nullptr;
}

std::string row_text(const std::string& key, const gpu::Device& g) {
    if (is(key, "gpu.freq")) return khz_text(g.cur_khz);
    if (is(key, "gpu.mclk")) return khz_text(g.mem_khz);
    if (is(key, "gpu.busy")) return busy_text(g);
    if (is(key, "gpu.temp")) {
        const std::string t = temp_text(g, 1);
        return t.empty() ? t : t + " \u00b0C";
    }
    if (is(key, "gpu.power")) return power_text(g);
    if (is(key, "gpu.volt")) return volt_text(g);
    return {};
}

std::string stat_text(const std::string& key, const gpu::Device& g) {
    if (is(key, "stat.gpu_freq")) return khz_text(g.cur_khz);
    if (is(key, "stat.gpu_load")) return busy_text(g);
    if (is(key, "stat.gpu_temp")) return temp_text(g, 0);
    return {};
}

const gpu::Device* bars_device(const Card& card, size_t position) {
    const Kept& k = kept();
    if (position < k.card_device.size() && k.card_device[position] >= 0 &&
        static_cast<size_t>(k.card_device[position]) < k.devices.size())
        return &k.devices[k.card_device[position]];
    for (const Row& row : card.rows)
        if (!row.live.empty()) return device_of(row.live);
    return k.devices.empty() ? nullptr : &k.devices.front();
}

void refresh_bars(Card& card, const gpu::Device& g) {
    for (UsageBar& bar : card.usage) {
        if (bar.label == tr("f.vram") && g.vram_total != 0) {
            bar.total = g.vram_total;
            bar.used = g.vram_used;
        } else if (bar.label == tr("f.gtt_total") && g.gtt_total != 0) {
            bar.total = g.gtt_total;
            bar.used = g.gtt_used;
        }
    }
}

}  // namespace

// ---- EDID decoding and the monitor card ---------------------------------------

std::string edid_vendor(uint8_t high, uint8_t low) {
    const unsigned id = (static_cast<unsigned>(high) << 8) | low;
    std::string out;
    for (int shift : {10, 5, 0}) {
        const char c = static_cast<char>('@' + ((id >> shift) & 0x1F));
        if (c < 'A' || c > 'Z') return {};
        out += c;
    }
    return out;
}

Edid parse_edid(const std::string& bytes) {
    Edid e;
    if (bytes.size() < BLOCK) return e;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    for (size_t i = 0; i < sizeof HEADER; ++i)
        if (b[i] != HEADER[i]) return e;
    e.bytes = bytes.size();
    e.vendor = edid_vendor(b[8], b[9]);
    e.product = static_cast<uint16_t>(b[10] | (b[11] << 8));
    e.serial_num = static_cast<uint32_t>(b[12]) | (static_cast<uint32_t>(b[13]) << 8) |
                   (static_cast<uint32_t>(b[14]) << 16) | (static_cast<uint32_t>(b[15]) << 24);
    e.week = b[16];
    e.year = b[17] == 0 ? 0 : b[17] + 1990;
    e.version = b[18];
    e.revision = b[19];
    e.width_mm = b[21] * 10;
    e.height_mm = b[22] * 10;
    e.extensions = b[126];
    for (size_t offset : DESCRIPTORS) {
        const unsigned char* d = b + offset;
        if (d[0] == 0 && d[1] == 0) {
            if (d[3] == TAG_NAME) e.name = descriptor_text(d);
            if (d[3] == TAG_SERIAL) e.serial_text = descriptor_text(d);
        } else if (e.h_active == 0) {
            take_timing(d, e);
        }
    }
    e.ok = true;
    return e;
}

Card monitor_card(const std::string& card_name, const gpu::Device::Connector& connector) {
    const Edid e =
        parse_edid(util::read_file_raw(DRM_BASE + "/" + card_name + "-" + connector.name + "/edid"));
    Card card;
    card.title = tr("sec.monitor");
    card.subtitle = util::valid_utf8(connector.name);
    if (!e.ok) {
        card.hint = tr("msg.no_edid");
        return card;
    }
    auto add_row = [&](const char* label, const std::string& value, const char* note,
                       const std::string& extra) {
        const std::string text = util::trim(value);
        if (!text.empty()) card.rows.emplace_back(label, text, note, false, "", extra);
    };
    add_row(tr("f.model"), e.name, "EDID", "");
    add_row(tr("f.manufacturer"), e.vendor, "EDID (PnP)", "");
    add_row(tr("f.product_id"), util::to_hex(e.product, 4), "EDID", "");
    add_row(tr("f.serial"),
            !e.serial_text.empty() ? e.serial_text
            : e.serial_num         ? util::fmt_int(e.serial_num)
                                   : "",
            "EDID", "");
    if (e.year != 0)
        add_row(tr("f.date"), std::to_string(e.year), "EDID",
                e.week >= 1 && e.week <= 53 ? std::string(tr("f.week")) + " " + std::to_string(e.week) : "");
    if (e.h_active != 0 && e.v_active != 0)
        add_row(tr("f.screen_size"), util::fmt_int(e.h_active) + " \u00d7 " + util::fmt_int(e.v_active),
                "EDID", e.refresh_hz > 0 ? util::fmt_double(e.refresh_hz, 0) + " Hz" : "");
    if (e.width_mm != 0 && e.height_mm != 0) {
        const double inches =
            std::sqrt(double(e.width_mm) * e.width_mm + double(e.height_mm) * e.height_mm) / 25.4;
        add_row(tr("f.physical_size"), util::fmt_double(inches, 1) + "\"", "EDID",
                util::fmt_int(e.width_mm) + " \u00d7 " + util::fmt_int(e.height_mm) + " mm");
    }
    add_row(tr("f.edid_version"), util::fmt_int(e.version) + "." + util::fmt_int(e.revision), "EDID", "");
    add_row(tr("f.edid_size"), util::fmt_int(e.bytes) + " B", "EDID",
            e.extensions != 0 ? std::to_string(e.extensions) + " \u00d7 128 B" : "");
    return card;
}

// ---- The page -------------------------------------------------------------------

bool has_gpu() { return gpu::any_device(); }

Page collect_gpu(int device) {
    Page page;
    Kept& k = kept();
    k = Kept{};
    k.devices = gpu::snapshot();
    const std::vector<gpu::Device>& devices = k.devices;
    if (devices.empty()) return page;
    const int count = static_cast<int>(devices.size());
    // A stored choice can outlive the device it named.
    if (count == 1 || device < 0 || device >= count) device = -1;
    if (count > 1) {
        page.selector.label = tr("tree.graphics");
        page.selector.options.push_back(tr("value.all"));
        page.selector.values.push_back(-1);
        for (int i = 0; i < count; ++i) {
            page.selector.options.push_back(util::valid_utf8(gpu::display_name(devices[i])));
            page.selector.values.push_back(i);
        }
        page.selector.selected = device + 1;
    }
    const gpu::Device& head = devices[device < 0 ? 0 : device];
    page.headline = util::valid_utf8(gpu::display_name(head));
    std::vector<std::string> parts = {tr(head.integrated ? "value.integrated" : "value.discrete")};
    if (!head.driver.empty()) parts.push_back(util::valid_utf8(head.driver));
    if (count > 1) parts.push_back(I18n::instance().trf("summary.n_gpus", count));
    page.subline = util::join(parts, SUBLINE_SEP);
    add_stats(page, head);
    k.shown.assign(devices.size(), device < 0);
    for (int i = 0; i < count; ++i) {
        if (device >= 0 && i != device) continue;
        k.shown[i] = true;
        append_cards(page, devices[i], device < 0 ? static_cast<size_t>(i) : 0, i);
    }
    return page;
}

void refresh_live_gpu(Page& page) {
    Kept& k = kept();
    if (k.devices.empty()) return;
    for (size_t i = 0; i < k.devices.size(); ++i)
        if (i < k.shown.size() && k.shown[i]) gpu::refresh_awake(k.devices[i]);
    for (size_t c = 0; c < page.cards.size(); ++c) {
        Card& card = page.cards[c];
        if (!card.usage.empty())
            if (const gpu::Device* g = bars_device(card, c)) refresh_bars(card, *g);
        for (Row& row : card.rows) {
            if (row.live.empty()) continue;
            const gpu::Device* g = device_of(row.live);
            if (!g) continue;
            std::string text = row_text(row.live, *g);
            if (!text.empty()) row.value = std::move(text);
        }
    }
    for (Stat& stat : page.stats) {
        if (stat.live.empty()) continue;
        const gpu::Device* g = device_of(stat.live);
        if (!g) continue;
        std::string text = stat_text(stat.live, *g);
        if (!text.empty()) stat.value = std::move(text);
    }
}

}  // namespace probe
