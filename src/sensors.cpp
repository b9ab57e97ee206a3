#include "sensors.h"

#include <algorithm>

#include "i18n.h"
#include "util.h"

namespace sensors {

namespace {

constexpr const char* HWMON = "/sys/class/hwmon";
constexpr int MAX_CHANNEL = 32;
constexpr double DRIVETEMP_INTERVAL = 60.0;  // seconds between drive-temperature reads
constexpr double SAME_TICK = 0.5;            // seconds within which asks share one re-read

struct Group {
    Kind kind;
    const char* prefix;
    double divisor;  // sysfs units per display unit
};

constexpr Group GROUPS[] = {
    {Kind::Temperature, "temp", 1000.0},  // millidegree Celsius
    {Kind::Fan, "fan", 1.0},              // rpm
    {Kind::Voltage, "in", 1000.0},        // millivolt
    {Kind::Current, "curr", 1000.0},      // milliampere
    {Kind::Power, "power", 1000000.0},    // microwatt
};

struct Known {
    const char* driver;  // chip-name prefix
    const char* key;
};

constexpr Known KNOWN[] = {
    {"k10temp", "tree.cpu"},      {"zenpower", "tree.cpu"},      {"coretemp", "tree.cpu"},
    {"cpu_thermal", "tree.cpu"},  {"amdgpu", "tree.graphics"},   {"i915", "tree.graphics"},
    {"nouveau", "tree.graphics"}, {"spd5118", "tree.memory"},    {"jc42", "tree.memory"},
    {"nvme", "tree.storage"},     {"drivetemp", "tree.storage"}, {"acpitz", "sec.mainboard"},
    {"BAT", "tree.power"},
};

double divisor_of(Kind kind) {
    for (const Group& g : GROUPS)
        if (g.kind == kind) return g.divisor;
    return 1.0;
}

// Voltage inputs are numbered from 0 (in0_input); every other kind from 1.
int first_channel(Kind kind) { return kind == Kind::Voltage ? 0 : 1; }

double read_scaled(const std::string& path, double divisor) {
    const std::string text = util::read_file(path);
    if (text.empty()) return 0.0;
    return util::to_double(text, 0.0) / divisor;
}

std::string place_for(const std::string& chip) {
    for (const Known& k : KNOWN)
        if (util::starts_with(chip, k.driver)) return tr(k.key);
    return {};
}

std::string first_entry(const std::string& dir, const std::string& prefix) {
    std::vector<std::string> names = util::list_dir(dir, prefix);
    return names.empty() ? std::string() : names.front();
}

// A drive's chip is named after its driver; the model (or the NVMe
// controller) tells drives apart.
std::string storage_place(const std::string& dir, const std::string& storage) {
    std::string model = util::trim(util::read_file(dir + "/device/model"));
    if (!model.empty()) return storage + " " + model;
    std::string ctrl = first_entry(dir + "/device", "nvme");
    return ctrl.empty() ? storage : storage + " " + ctrl;
}

// Chips no driver table names: wireless cards and network PHYs are found
// through their device links; anything else is shown by its chip name.
std::string device_place(const std::string& dir, const std::string& chip) {
    if (util::read_link_base(dir + "/device/subsystem") == "ieee80211") {
        std::string place = tr("tree.wireless");
        std::string iface = first_entry(dir + "/device/device/net", "");
        return iface.empty() ? place : place + " " + iface;
    }
    std::string iface = util::read_link_base(dir + "/device/attached_dev");
    if (iface.empty()) iface = first_entry(dir + "/device/net", "");
    if (!iface.empty()) return std::string(tr("tree.network")) + " " + iface;
    return chip;
}

std::string chip_place(const std::string& dir, const std::string& chip) {
    std::string place = place_for(chip);
    const std::string storage = tr("tree.storage");
    if (place == storage) return storage_place(dir, storage);
    if (place.empty()) return device_place(dir, chip);
    return place;
}

void add_channel(std::vector<Reading>& out, const Group& g, const std::string& base, const std::string& chip,
                 const std::string& place) {
    const std::string input = channel_file(base, g.kind);
    double value = 0.0;
    if (input.empty() || !read_channel(base, g.kind, value)) return;
    // An unconnected voltage input reads 0 on many Super I/O chips.
    if (g.kind == Kind::Voltage && value == 0.0) return;
    Reading r;
    r.kind = g.kind;
    r.chip = chip;
    r.place = place;
    r.label = util::read_file(base + "_label");
    r.value = value;
    r.path = input;
    r.max = read_scaled(base + "_max", g.divisor);
    r.crit = read_scaled(base + "_crit", g.divisor);
    out.push_back(std::move(r));
}

void add_chip(std::vector<Reading>& out, const std::string& dir) {
    const std::string chip = util::read_file(dir + "/name");
    if (chip.empty()) return;
    const std::string place = chip_place(dir, chip);
    const size_t first = out.size();
    for (const Group& g : GROUPS)
        for (int n = first_channel(g.kind); n <= MAX_CHANNEL; ++n)
            add_channel(out, g, dir + "/" + g.prefix + std::to_string(n), chip, place);
    if (place != tr("tree.graphics")) return;
    for (size_t i = first; i < out.size(); ++i) out[i].sleep_path = dir + "/device/power/runtime_status";
}

bool asleep(const Reading& r) {
    return !r.sleep_path.empty() && util::read_file(r.sleep_path) == "suspended";
}

}  // namespace

std::string channel_file(const std::string& base, Kind kind) {
    const std::string input = base + "_input";
    if (util::path_exists(input)) return input;
    if (kind == Kind::Power && util::path_exists(base + "_average")) return base + "_average";
    return {};
}

bool read_channel(const std::string& base, Kind kind, double& value) {
    const std::string file = channel_file(base, kind);
    const std::string raw = file.empty() ? std::string() : util::read_file(file);
    if (raw.empty()) return false;
    value = util::to_double(raw, 0.0) / divisor_of(kind);
    return true;
}

namespace {

std::vector<Reading> read_all_chips() {
    std::vector<Reading> out;
    if (!util::is_dir(HWMON)) return out;
    for (const std::string& name : util::list_dir(HWMON, "hwmon"))
        add_chip(out, std::string(HWMON) + "/" + name);
    const std::string cpu = tr("tree.cpu");
    const std::string graphics = tr("tree.graphics");
    auto rank = [&](const Reading& r) { return r.place == cpu ? 0 : r.place == graphics ? 1 : 2; };
    std::stable_sort(out.begin(), out.end(),
                     [&](const Reading& a, const Reading& b) { return rank(a) < rank(b); });
    return out;
}

struct Collection {
    bool on = false;
    bool read = false;
    std::vector<Reading> readings;
};

Collection& collection() {
    static Collection c;
    return c;
}

}  // namespace

std::vector<Reading> collect() {
    Collection& c = collection();
    if (!c.on) return read_all_chips();
    if (!c.read) {
        c.readings = read_all_chips();
        c.read = true;
    }
    return c.readings;
}

void keep_collection(bool keep) {
    Collection& c = collection();
    c.on = keep;
    c.read = false;
    c.readings.clear();
}

void refresh(std::vector<Reading>& readings, double now_seconds) {
    for (Reading& r : readings) {
        if (r.chip == "drivetemp" && r.read_at >= 0.0 && now_seconds - r.read_at < DRIVETEMP_INTERVAL)
            continue;
        if (asleep(r)) continue;
        r.read_at = now_seconds;
        const std::string text = util::read_file(r.path);
        if (!text.empty()) r.value = util::to_double(text, 0.0) / divisor_of(r.kind);
    }
}

void refresh(std::vector<Reading>& readings) { refresh(readings, util::monotonic_seconds()); }

namespace {

struct Kept {
    bool collected = false;
    double refreshed_at = -1.0;
    std::vector<Reading> readings;
    std::vector<std::string> unknown;  // paths still absent after the last collection
};

Kept& kept() {
    static Kept k;
    return k;
}

// Collected readings count as just read: the drivetemp clock starts there.
void collect_kept(Kept& k, double now_seconds) {
    k.readings = collect();
    k.unknown.clear();
    for (Reading& r : k.readings) r.read_at = now_seconds;
    k.collected = true;
    k.refreshed_at = now_seconds;
}

}  // namespace

const std::vector<Reading>& kept_readings(double now_seconds) {
    Kept& k = kept();
    if (!k.collected) {
        collect_kept(k, now_seconds);
    } else if (k.refreshed_at < 0.0 || now_seconds - k.refreshed_at >= SAME_TICK) {
        refresh(k.readings, now_seconds);
        k.refreshed_at = now_seconds;
    }
    return k.readings;
}

const Reading* kept_reading(const std::string& path, double now_seconds) {
    auto find = [&](const std::vector<Reading>& list) -> const Reading* {
        for (const Reading& r : list)
            if (r.path == path) return &r;
        return nullptr;
    };
    if (const Reading* r = find(kept_readings(now_seconds))) return r;
    Kept& k = kept();
    // A row whose chip has gone stays stale until its page is rebuilt: one
    // collection per vanished path, not one per tick.
    if (std::find(k.unknown.begin(), k.unknown.end(), path) != k.unknown.end()) return nullptr;
    collect_kept(k, now_seconds);
    const Reading* r = find(k.readings);
    if (!r) k.unknown.push_back(path);
    return r;
}

void forget_kept() { kept() = Kept{}; }

}  // namespace sensors
