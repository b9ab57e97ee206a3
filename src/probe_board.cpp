// The "board" page: the firmware's DMI identity of mainboard, machine and
// chassis, the chipset, hardware-monitor sensors and thermal zones, sound
// cards, input devices, security state and the kernel; plus the sandbox
// permission hints and the one-line machine name that other pages share.
#include <sys/sysinfo.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "cpu_sysfs.h"
#include "hw/ids.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "sensors.h"
#include "util.h"

namespace probe {

namespace {

constexpr const char* DMI_DIR = "/sys/class/dmi/id";
constexpr const char* EFI_DIR = "/sys/firmware/efi";
constexpr const char* THERMAL_DIR = "/sys/class/thermal";
constexpr const char* SOUND_DIR = "/sys/class/sound";
constexpr const char* INPUT_DEVICES = "/proc/bus/input/devices";
const char* const SUBLINE_SEP = "   \u00b7   ";
const char* const CELSIUS = " \u00b0C";

// ---- Rows ------------------------------------------------------------------

// The one door into a card: every text here may come from firmware, the
// kernel or a database, and GTK and the report both need valid UTF-8.
void push_row(Card& c, const std::string& name, const std::string& value, const std::string& note,
              const std::string& live = {}, const std::string& extra = {}, bool locked = false) {
    c.rows.emplace_back(util::valid_utf8(name), util::valid_utf8(value), util::valid_utf8(note), locked, live,
                        util::valid_utf8(extra));
}

// A row only for a value that was found.
void add(Card& c, const char* label, const std::string& value, const std::string& source) {
    if (!value.empty()) push_row(c, label, value, source);
}

void add_card(Page& page, Card&& c) {
    if (!c.empty()) page.cards.push_back(std::move(c));
}

// ---- DMI -------------------------------------------------------------------

std::string dmi_path(const std::string& attr) { return std::string(DMI_DIR) + "/" + attr; }

// Texts firmware leaves in DMI attributes it never filled in, compared whole
// and in any letter case; the empty text counts as one too.
bool is_placeholder(const std::string& v) {
    static const char* const FILLERS[] = {"to be filled by o.e.m.",
                                          "to be filled by oem",
                                          "system manufacturer",
                                          "system product name",
                                          "system version",
                                          "default string",
                                          "none",
                                          "not specified",
                                          "not applicable",
                                          "unknown",
                                          "o.e.m.",
                                          "oem",
                                          "x.x.",
                                          "0123456789",
                                          "system serial number",
                                          "chassis manufacture",
                                          "empty"};
    if (v.empty()) return true;
    const std::string l = util::lower(v);
    for (const char* f : FILLERS)
        if (l == f) return true;
    return false;
}

// A DMI attribute's text; empty when absent, unreadable or a filler.
std::string dmi(const std::string& attr) {
    std::string v = util::read_file_kept(dmi_path(attr));
    return is_placeholder(v) ? std::string() : v;
}

std::string root_serial(const hw::RootData& rd, const std::string& attr) {
    if (attr == "product_serial") return rd.product_serial;
    if (attr == "product_uuid") return rd.product_uuid;
    if (attr == "board_serial") return rd.board_serial;
    if (attr == "chassis_serial") return rd.chassis_serial;
    return {};
}

// Serial numbers and the UUID are readable by root only: the privileged data
// stands in, and without it the row is offered for unlocking.
void add_protected(Card& c, const char* label, const std::string& attr) {
    const std::string path = dmi_path(attr);
    if (util::readable(path)) {
        std::string v = util::read_file_kept(path);
        if (!is_placeholder(v)) return push_row(c, label, v, attr);
    }
    const hw::RootData& rd = hw::RootData::instance();
    if (rd.available) {
        std::string v = root_serial(rd, attr);
        if (!v.empty()) return push_row(c, label, v, attr);
    }
    if (util::path_exists(path)) push_row(c, label, "", attr, "", "", true);
}

struct ChassisName {
    const char* text;
    bool key;  // a translation key; otherwise the same name in every language
};

// SMBIOS system-enclosure types 1 to 36.
constexpr ChassisName CHASSIS_NAMES[] = {
    {"common.other", true},
    {"common.unknown", true},
    {"chassis.desktop", true},
    {"chassis.low_profile", true},
    {"Pizza Box", false},
    {"chassis.mini_tower", true},
    {"chassis.tower", true},
    {"chassis.portable", true},
    {"Laptop", false},
    {"Notebook", false},
    {"chassis.hand_held", true},
    {"pciclass.docking", true},
    {"All-in-One", false},
    {"chassis.sub_notebook", true},
    {"chassis.space_saving", true},
    {"Lunch Box", false},
    {"chassis.server", true},
    {"chassis.expansion", true},
    {"chassis.subchassis", true},
    {"chassis.bus_expansion", true},
    {"chassis.peripheral", true},
    {"RAID Chassis", false},
    {"chassis.rack", true},
    {"chassis.sealed", true},
    {"chassis.multi_system", true},
    {"Compact PCI", false},
    {"Advanced TCA", false},
    {"Blade", false},
    {"chassis.blade_enclosure", true},
    {"Tablet", false},
    {"chassis.convertible", true},
    {"chassis.detachable", true},
    {"IoT Gateway", false},
    {"chassis.embedded", true},
    {"Mini PC", false},
    {"Stick PC", false},
};

std::string chassis_name(int64_t type) {
    constexpr int64_t COUNT = sizeof(CHASSIS_NAMES) / sizeof(CHASSIS_NAMES[0]);
    if (type < 1 || type > COUNT) return {};
    const ChassisName& n = CHASSIS_NAMES[type - 1];
    return n.key ? tr(n.text) : n.text;
}

std::string chassis_type_raw() { return util::read_file_kept(dmi_path("chassis_type")); }

std::string detect_virtualization() {
    struct Match {
        const char* needle;
        const char* name;
    };
    static constexpr Match MATCHES[] = {
        {"kvm", "KVM"},
        {"qemu", "QEMU"},
        {"vmware", "VMware"},
        {"virtualbox", "Oracle VirtualBox"},
        {"innotek", "Oracle VirtualBox"},
        {"xen", "Xen"},
        {"bochs", "Bochs"},
        {"parallels", "Parallels"},
        {"microsoft corporation virtual machine", "Microsoft Hyper-V"},
        {"hyper-v", "Microsoft Hyper-V"},
        {"apple virtualization", "Apple Virtualization"},
        {"amazon ec2", "Amazon EC2"},
        {"google compute engine", "Google Compute Engine"},
    };
    const std::string all = util::lower(util::read_file_kept(dmi_path("product_name"))) + " " +
                            util::lower(util::read_file_kept(dmi_path("sys_vendor")));
    for (const Match& m : MATCHES)
        if (all.find(m.needle) != std::string::npos) return m.name;
    std::string xen = util::read_file("/sys/hypervisor/type");
    if (!xen.empty()) return xen;
    // The cpu page reads the same file in the same collection.
    const std::string cpuinfo = cpusys::read_kept("/proc/cpuinfo");
    for (size_t at = 0; at < cpuinfo.size();) {
        size_t nl = cpuinfo.find('\n', at);
        if (nl == std::string::npos) nl = cpuinfo.size();
        const std::string_view line(cpuinfo.data() + at, nl - at);
        at = nl + 1;
        if (line.substr(0, 5) == "flags" && line.find(" hypervisor") != std::string_view::npos)
            return tr("value.hypervisor_present");
    }
    return {};
}

const char* firmware_type(bool efi) { return efi ? "UEFI" : "BIOS / Legacy"; }

// ---- Headline and identity cards ---------------------------------------------

struct Identity {
    std::string board_vendor;
    std::string board_name;
    std::string virt;
    bool efi = false;
};

std::string headline(const Identity& id) {
    std::string h = util::trim(id.board_vendor + " " + id.board_name);
    if (h.empty()) h = machine_line();
    if (h.empty()) h = tr("common.unknown");
    return util::valid_utf8(h);
}

std::string subline(const Identity& id) {
    std::vector<std::string> parts;
    if (!id.virt.empty()) parts.push_back(std::string(tr("f.virtualization")) + ": " + id.virt);
    const std::string type_raw = chassis_type_raw();
    if (!type_raw.empty()) {
        std::string n = chassis_name(util::to_i64(type_raw, 0));
        if (!n.empty()) parts.push_back(n);
    }
    parts.emplace_back(firmware_type(id.efi));
    return util::valid_utf8(util::join(parts, SUBLINE_SEP));
}

// Inside a snap without hardware-observe nothing of DMI is visible.
bool dmi_blind(const Identity& id) {
    return id.board_vendor.empty() && id.board_name.empty() && dmi("sys_vendor").empty() &&
           dmi("bios_vendor").empty();
}

Card mainboard_card(const Identity& id) {
    Card c;
    c.title = tr("sec.mainboard");
    add(c, tr("f.manufacturer"), id.board_vendor, "board_vendor");
    add(c, tr("f.model"), id.board_name, "board_name");
    add(c, tr("f.version"), dmi("board_version"), "board_version");
    add(c, tr("f.asset_tag"), dmi("board_asset_tag"), "board_asset_tag");
    add_protected(c, tr("f.serial"), "board_serial");
    if (dmi_blind(id)) c.hint = snap_hint("hardware-observe");
    return c;
}

struct Wanted {
    uint32_t klass;  // base class << 8 | subclass
    const char* label;
};

void collect_chipset(Card& c) {
    const std::string base = "/sys/bus/pci/devices";
    if (util::is_dir(base)) {
        const Wanted wanted[] = {
            {0x0600, tr("f.host_bridge")}, {0x0601, tr("f.isa_bridge")}, {0x0C05, "SMBus"}};
        std::vector<std::string> seen;
        for (const std::string& dev : util::list_dir_kept(base, "")) {
            const std::string d = base + "/" + dev;
            const uint32_t klass = util::parse_hex(util::read_file_kept(d + "/class"), 0) >> 8;
            const Wanted* w = nullptr;
            for (const Wanted& candidate : wanted)
                if (candidate.klass == klass) {
                    w = &candidate;
                    break;
                }
            if (!w) continue;
            const auto vid = static_cast<uint16_t>(util::parse_hex(util::read_file_kept(d + "/vendor"), 0));
            const auto did = static_cast<uint16_t>(util::parse_hex(util::read_file_kept(d + "/device"), 0));
            // The database is loaded only for a machine that has a bridge to name.
            const hw::Ids& ids = hw::Ids::instance();
            const std::string name = ids.pci_device(vid, did);
            if (name.empty()) continue;
            const std::string vendor = ids.pci_vendor(vid);
            std::string value = name;
            if (!vendor.empty() && name.find(vendor) == std::string::npos) value = vendor + " " + name;
            const size_t semi = value.find(';');
            if (semi != std::string::npos) value = util::trim(value.substr(0, semi));
            const std::string key = std::string(w->label) + "|" + value;
            bool dup = false;
            for (const std::string& s : seen) dup = dup || s == key;
            if (dup) continue;
            seen.push_back(key);
            push_row(c, w->label, value, dev);
        }
    }
    if (c.rows.empty() && hw::Ids::instance().pci_ids_path().empty()) c.hint = tr("msg.ids_missing");
}

Card chipset_card() {
    Card c;
    c.title = tr("sec.chipset");
    collect_chipset(c);
    return c;
}

// An efivarfs file starts with a 4-byte attribute word; the value follows.
void add_secure_boot(Card& c) {
    const std::string sb_dir = std::string(EFI_DIR) + "/efivars";
    if (!util::is_dir(sb_dir)) return;
    const std::vector<std::string> names = util::list_dir(sb_dir, "SecureBoot-");
    if (names.empty()) return;
    const std::string& e = names.front();
    const std::string p = sb_dir + "/" + e;
    if (!util::readable(p)) return push_row(c, tr("f.secure_boot"), tr("msg.needs_root"), e);
    const std::string raw = util::read_file_raw(p);
    if (raw.size() <= 4) return;
    push_row(c, tr("f.secure_boot"), tr(raw[4] != 0 ? "common.yes" : "common.no"), e);
}

Card firmware_card(const Identity& id) {
    Card c;
    c.title = tr("sec.firmware");
    add(c, tr("f.vendor"), dmi("bios_vendor"), "bios_vendor");
    add(c, tr("f.version"), dmi("bios_version"), "bios_version");
    add(c, tr("f.date"), dmi("bios_date"), "bios_date");
    add(c, tr("f.release"), dmi("bios_release"), "bios_release");
    add(c, tr("f.ec_version"), dmi("ec_firmware_release"), "ec_firmware_release");
    push_row(c, tr("f.firmware_type"), firmware_type(id.efi), EFI_DIR);
    if (id.efi) {
        const std::string bits = util::read_file(std::string(EFI_DIR) + "/fw_platform_size");
        if (!bits.empty()) push_row(c, tr("f.efi_arch"), bits + " Bit", "fw_platform_size");
        add_secure_boot(c);
    }
    add(c, tr("f.device_tree"), util::read_file("/proc/device-tree/model"), "/proc/device-tree/model");
    return c;
}

Card machine_card(const Identity& id) {
    Card c;
    c.title = tr("sec.machine");
    add(c, tr("f.manufacturer"), dmi("sys_vendor"), "sys_vendor");
    add(c, tr("f.model"), dmi("product_name"), "product_name");
    add(c, tr("f.family"), dmi("product_family"), "product_family");
    add(c, tr("f.version"), dmi("product_version"), "product_version");
    add(c, tr("f.sku"), dmi("product_sku"), "product_sku");
    add_protected(c, tr("f.serial"), "product_serial");
    add_protected(c, tr("f.uuid"), "product_uuid");
    add(c, tr("f.virtualization"), id.virt, "");
    return c;
}

Card chassis_card() {
    Card c;
    c.title = tr("sec.chassis");
    const std::string type_raw = chassis_type_raw();
    if (!type_raw.empty()) {
        const std::string name = chassis_name(util::to_i64(type_raw, 0));
        push_row(c, tr("f.type"), name.empty() ? type_raw : name + " (" + util::trim(type_raw) + ")",
                 "chassis_type");
    }
    add(c, tr("f.manufacturer"), dmi("chassis_vendor"), "chassis_vendor");
    add(c, tr("f.version"), dmi("chassis_version"), "chassis_version");
    add(c, tr("f.asset_tag"), dmi("chassis_asset_tag"), "chassis_asset_tag");
    add_protected(c, tr("f.serial"), "chassis_serial");
    return c;
}

// ---- Sensors and thermal zones -------------------------------------------------

// One text per reading for the builder and the tick alike; empty when the
// reading is no reading at all (a fan cannot turn backwards, and a negative
// or NaN value would be undefined as an unsigned count).
std::string reading_text(const sensors::Reading& r) {
    if (std::isnan(r.value)) return {};
    switch (r.kind) {
        case sensors::Kind::Temperature:
            return util::fmt_double(r.value, 1) + CELSIUS;
        case sensors::Kind::Fan:
            if (!(r.value >= 0.0 && r.value < 1e15)) return {};
            return util::fmt_int(static_cast<uint64_t>(r.value)) + " min\u207b\u00b9";
        case sensors::Kind::Voltage:
            return util::fmt_double(r.value, 3) + " V";
        case sensors::Kind::Current:
            return util::fmt_double(r.value, 2) + " A";
        case sensors::Kind::Power:
            return util::fmt_double(r.value, 1) + " W";
    }
    return {};
}

std::string limit_text(double crit) { return crit > 0 ? "max " + util::fmt_double(crit, 0) + CELSIUS : ""; }

// Each row keeps its reading's path as its note: the tick finds the reading
// by it, so a chip that came or went between builds cannot shift values.
Card sensors_card() {
    Card c;
    c.title = tr("tree.sensors");
    const std::vector<sensors::Reading> readings = sensors::collect();
    for (size_t i = 0; i < readings.size(); ++i) {
        const sensors::Reading& r = readings[i];
        const std::string value = reading_text(r);
        if (value.empty()) continue;
        std::string name = r.place;
        if (!r.label.empty() && r.label != r.place) name += "  " + r.label;
        const bool temp = r.kind == sensors::Kind::Temperature;
        push_row(c, name, value, r.path, "sensor." + std::to_string(i), temp ? limit_text(r.crit) : "");
    }
    return c;
}

double zone_temperature(const std::string& zone_dir) {
    return util::to_double(util::read_file(zone_dir + "/temp"), 0) / 1000.0;
}

// The first "critical" trip point decides, even when it gives no temperature.
std::string zone_limit(const std::string& d) {
    for (const std::string& name : util::list_dir(d, "trip_point_")) {
        if (!util::ends_with(name, "_type") || util::trim(util::read_file(d + "/" + name)) != "critical")
            continue;
        const std::string temp = d + "/" + name.substr(0, name.size() - 5) + "_temp";
        return limit_text(util::to_double(util::read_file(temp), 0) / 1000.0);
    }
    return {};
}

std::string zone_name(const std::string& type) {
    if (type == "Processor") return tr("tree.cpu");
    if (type == "Memory") return tr("tree.memory");
    if (type == "Battery") return tr("tree.power");
    return type;
}

void add_zones(Card& c) {
    const std::vector<std::string> zones = util::list_dir(THERMAL_DIR, "thermal_zone");
    for (size_t p = 0; p < zones.size(); ++p) {
        const std::string d = std::string(THERMAL_DIR) + "/" + zones[p];
        const std::string type = util::trim(util::read_file(d + "/type"));
        const double temp = zone_temperature(d);
        if (type.empty() || !(temp > 0)) continue;
        push_row(c, zone_name(type), util::fmt_double(temp, 1) + CELSIUS, d, "thermal." + std::to_string(p),
                 zone_limit(d));
    }
}

// Cooling devices of one kind (all processors, all fans) share one row.
void add_cooling_devices(Card& c) {
    std::map<std::string, std::pair<int32_t, int32_t>> kinds;  // all, active
    std::map<std::string, uint64_t> max_state;
    for (const std::string& name : util::list_dir(THERMAL_DIR, "cooling_device")) {
        const std::string d = std::string(THERMAL_DIR) + "/" + name;
        std::string type = util::trim(util::read_file(d + "/type"));
        if (type.empty()) continue;
        const size_t pci = type.find("_0000:");
        if (pci != std::string::npos) type.resize(pci);
        auto& k = kinds[type];
        k.first += 1;
        if (util::to_u64(util::read_file(d + "/cur_state"), 0) != 0) k.second += 1;
        max_state[type] = util::to_u64(util::read_file(d + "/max_state"), 0);
    }
    for (const auto& [type, count] : kinds) {
        const uint64_t max = max_state[type];
        push_row(c, type,
                 util::fmt_int(static_cast<uint64_t>(count.second)) + " / " +
                     util::fmt_int(static_cast<uint64_t>(count.first)),
                 "cooling_device", "", max != 0 ? "max " + util::fmt_int(max) : "");
    }
}

Card thermal_card() {
    Card c;
    c.title = tr("tree.thermal_zones");
    add_zones(c);
    add_cooling_devices(c);
    return c;
}

// ---- Audio ---------------------------------------------------------------------

// "Vendor Chip" from the stored strings of the first HD-Audio codec of a card.
std::string sysfs_codec(const std::vector<std::string>& sound_entries, int64_t index) {
    const std::string prefix = "hwC" + std::to_string(index) + "D";
    for (const std::string& e : sound_entries) {
        if (!util::starts_with(e, prefix)) continue;
        const std::string d = std::string(SOUND_DIR) + "/" + e;
        const std::string chip = util::read_file(d + "/chip_name");
        if (chip.empty()) continue;
        const std::string vendor = util::read_file(d + "/vendor_name");
        return vendor.empty() ? chip : vendor + " " + chip;
    }
    return {};
}

// Reading a codec file makes the driver power the codec up and walk its whole
// widget tree, so each card's file is read once per process at most.
std::string proc_codec(const std::string& cdir) {
    static std::map<std::string, std::string> read_before;
    auto it = read_before.find(cdir);
    if (it != read_before.end()) return it->second;
    std::string codec;
    for (const std::string& f : util::list_dir(cdir, "codec#")) {
        for (const std::string& line : util::read_lines(cdir + "/" + f))
            if (util::starts_with(line, "Codec:")) {
                codec = util::trim(line.substr(6));
                break;
            }
        if (!codec.empty()) break;
    }
    read_before.emplace(cdir, codec);
    return codec;
}

std::string device_tag(int64_t index) {
    std::string n = std::to_string(index);
    return "[" + (n.size() < 2 ? " " + n : n) + "-";
}

Card audio_card() {
    Card c;
    c.title = tr("tree.audio");
    const std::vector<std::string> lines = util::read_lines("/proc/asound/cards");
    if (lines.size() < 2) return c;
    const std::vector<std::string> devices = util::read_lines("/proc/asound/devices");
    const std::vector<std::string> sound_entries = util::list_dir(SOUND_DIR, "hwC");
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        const std::string& head = lines[i];
        const size_t colon = head.find(':');
        if (colon == std::string::npos) continue;
        const int64_t index = util::to_i64(util::trim(head.substr(0, 2)), -1);
        if (index < 0) continue;
        std::string driver = util::trim(head.substr(colon + 1));
        std::string name = driver;
        const size_t dash = driver.find(" - ");
        if (dash != std::string::npos) {
            name = util::trim(driver.substr(dash + 3));
            driver = util::trim(driver.substr(0, dash));
        }
        const std::string cdir = "/proc/asound/card" + std::to_string(index);
        std::string codec = sysfs_codec(sound_entries, index);
        if (codec.empty()) codec = proc_codec(cdir);
        const std::string tag = device_tag(index);
        uint64_t play = 0, capture = 0;
        for (const std::string& line : devices) {
            if (line.find(tag) == std::string::npos) continue;
            if (line.find("playback") != std::string::npos)
                ++play;
            else if (line.find("capture") != std::string::npos)
                ++capture;
        }
        const std::string extra =
            play || capture ? util::fmt_int(play) + " / " + util::fmt_int(capture) : std::string();
        push_row(c, name, codec.empty() ? driver : codec, cdir, "", extra);
    }
    return c;
}

// ---- Input devices ---------------------------------------------------------------

const char* bus_name(uint32_t bus) {
    switch (bus) {
        case 0x03:
            return "USB";
        case 0x05:
            return "Bluetooth";
        case 0x06:
            return "Virtual";
        case 0x11:
            return "PS/2";
        case 0x18:
            return "I\u00b2C";
        case 0x19:
            return "Host";
        default:
            return nullptr;
    }
}

struct InputDevice {
    std::string name;
    std::string handlers;
    uint32_t bus = 0;
};

// The event nodes, the SysRq hook and the LED handler say nothing about what
// the device is.
std::string useful_handlers(const std::string& list) {
    std::vector<std::string> words;
    for (const std::string& w : util::split(util::trim(list), ' '))
        if (!w.empty() && !util::starts_with(w, "event") && w != "sysrq" && w != "leds") words.push_back(w);
    return util::join(words, " ");
}

void flush_input(Card& c, InputDevice& dev) {
    if (dev.name.empty()) return;
    const char* known = bus_name(dev.bus);
    std::string kind;
    if (known)
        kind = known;
    else if (!dev.handlers.empty())
        kind = util::to_hex(dev.bus, 4);
    if (!kind.empty()) push_row(c, dev.name, kind, INPUT_DEVICES, "", dev.handlers);
    dev = InputDevice{};
}

Card input_card() {
    Card c;
    c.title = tr("tree.input");
    InputDevice dev;
    for (const std::string& line : util::read_lines(INPUT_DEVICES)) {
        if (line.empty()) {
            flush_input(c, dev);
        } else if (util::starts_with(line, "I: Bus=")) {
            dev.bus = util::parse_hex(line.substr(7, 4), 0);
        } else if (util::starts_with(line, "N: Name=\"")) {
            dev.name = line.substr(9);
            if (util::ends_with(dev.name, "\"")) dev.name.pop_back();
        } else if (util::starts_with(line, "H: Handlers=")) {
            dev.handlers = useful_handlers(line.substr(12));
        }
    }
    flush_input(c, dev);
    return c;
}

// ---- Security and kernel ------------------------------------------------------------

Card security_card() {
    Card c;
    c.title = tr("sec.security");
    const std::vector<std::string> tpms = util::list_dir("/sys/class/tpm", "tpm");
    if (!tpms.empty()) {
        const std::string d = "/sys/class/tpm/" + tpms.front();
        const std::string major = util::read_file(d + "/tpm_version_major");
        std::string version = major.empty() ? "1.2" : major + ".0";
        const std::string description = util::read_file(d + "/device/description");
        if (!description.empty()) version += "  " + description;
        push_row(c, "TPM", version, d);
    }
    add(c, tr("f.cmdline"), util::read_file("/proc/cmdline"), "/proc/cmdline");
    add(c, tr("f.lockdown"), util::read_file("/sys/kernel/security/lockdown"),
        "/sys/kernel/security/lockdown");
    return c;
}

// The host's own release file first: inside a snap or a Flatpak sandbox
// /etc/os-release describes the sandbox's runtime.
std::string os_pretty_name() {
    static const char* const OS_RELEASE[] = {"/var/lib/snapd/hostfs/etc/os-release", "/run/host/os-release",
                                             "/etc/os-release"};
    for (const char* path : OS_RELEASE) {
        std::string os;
        for (const std::string& line : util::read_lines(path)) {
            if (!util::starts_with(line, "PRETTY_NAME=")) continue;
            os = line.substr(12);
            if (os.size() >= 2 && os.front() == '"' && os.back() == '"') os = os.substr(1, os.size() - 2);
            break;
        }
        if (!os.empty()) return os;
    }
    return {};
}

uint64_t uptime_seconds() {
    struct sysinfo si {};
    if (::sysinfo(&si) != 0 || si.uptime <= 0) return 0;
    return static_cast<uint64_t>(si.uptime);
}

Card kernel_card() {
    Card c;
    c.title = tr("sec.kernel");
    struct utsname u {};
    if (::uname(&u) == 0) {
        add(c, tr("f.hostname"), util::trim(u.nodename), "uname");
        add(c, tr("f.kernel"), std::string(u.sysname) + " " + u.release, "uname");
        add(c, tr("f.architecture"), u.machine, "uname");
    }
    const std::string os = os_pretty_name();
    add(c, tr("f.os"), os, "os-release");
    if (os.empty()) c.hint = snap_hint("system-observe");
    const uint64_t up = uptime_seconds();
    if (up > 0) push_row(c, tr("f.uptime"), util::fmt_duration(up), "sysinfo", "uptime");
    return c;
}

// ---- Sandbox permissions ------------------------------------------------------------

// Snap packaging sets SNAP_NAME; empty counts as outside a snap.
const char* snap_name() {
    const char* name = std::getenv("SNAP_NAME");
    return name && *name ? name : nullptr;
}

// Without hardware-observe a snap sees neither block devices nor DMI.
bool lacks_hardware_observe() {
    if (util::list_dir_kept("/sys/block", "").empty()) return true;
    return util::read_file_kept(dmi_path("board_vendor")).empty();
}

bool lacks_system_observe() { return util::read_file("/var/lib/snapd/hostfs/etc/os-release").empty(); }

// Probes the first interface other than loopback; with none there is
// nothing to tell from.
bool lacks_network_observe() {
    for (const std::string& iface : util::list_dir_kept("/sys/class/net", ""))
        if (iface != "lo") return util::read_file("/sys/class/net/" + iface + "/operstate").empty();
    return false;
}

}  // namespace

bool valid_snap_name(const std::string& name) {
    if (name.empty()) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

// The hint spells out a command to run; a name that is no snap name gets none.
std::string snap_hint(const char* iface) {
    const char* name = snap_name();
    if (!name || !valid_snap_name(name)) return {};
    return I18n::instance().trf("msg.snap_connect", iface, name, iface);
}

std::vector<std::string> missing_snap_permissions() {
    std::vector<std::string> missing;
    if (!snap_name()) return missing;
    if (lacks_hardware_observe()) missing.emplace_back("hardware-observe");
    if (lacks_system_observe()) missing.emplace_back("system-observe");
    if (lacks_network_observe()) missing.emplace_back("network-observe");
    return missing;
}

std::string machine_line() {
    const std::string product = dmi("product_name");
    const std::string vendor = dmi("sys_vendor");
    const std::string line = util::trim(vendor + " " + product);
    // The line goes to plain labels and the header drawing as it is.
    if (!line.empty()) return util::display_text(line);
    struct utsname u;
    if (::uname(&u) != 0) return tr("common.unknown");
    // An empty host name stays empty: callers have their own fallback.
    return util::display_text(util::trim(u.nodename));
}

Page collect_board() {
    Page page;
    Identity id;
    id.board_vendor = dmi("board_vendor");
    id.board_name = dmi("board_name");
    id.virt = detect_virtualization();
    id.efi = util::is_dir(EFI_DIR);
    page.headline = headline(id);
    page.subline = subline(id);

    add_card(page, mainboard_card(id));
    add_card(page, chipset_card());
    add_card(page, firmware_card(id));
    add_card(page, machine_card(id));
    add_card(page, chassis_card());
    add_card(page, sensors_card());
    add_card(page, thermal_card());
    add_card(page, audio_card());
    add_card(page, input_card());
    add_card(page, security_card());
    add_card(page, kernel_card());
    return page;
}

void refresh_live_board(Page& page) { refresh_live_board(page, util::monotonic_seconds()); }

void refresh_live_board(Page& page, double now_seconds) {
    const uint64_t up = uptime_seconds();
    const std::string uptime = up > 0 ? util::fmt_duration(up) : std::string();
    for (Card& c : page.cards)
        for (Row& row : c.rows) {
            if (row.live.empty()) continue;
            if (row.live == "uptime") {
                if (!uptime.empty()) row.value = uptime;
            } else if (util::starts_with(row.live, "sensor.")) {
                const sensors::Reading* r = sensors::kept_reading(row.note, now_seconds);
                const std::string text = r ? reading_text(*r) : std::string();
                if (!text.empty()) row.value = text;
            } else if (util::starts_with(row.live, "thermal.")) {
                const double t = zone_temperature(row.note);
                if (t > 0) row.value = util::fmt_double(t, 1) + CELSIUS;
            }
        }
}

}  // namespace probe
