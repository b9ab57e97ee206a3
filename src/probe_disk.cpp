// The "disk" tab: every whole block device with identity, capacity,
// connection, request queue, NVMe health and I/O counters with live rates,
// and its partitions with their mount points and usage.
#include <sys/statvfs.h>

#include <map>
#include <string>
#include <vector>

#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "sensors.h"
#include "util.h"

namespace probe {

namespace {

constexpr const char* BLOCK = "/sys/block";
constexpr const char* NO_RATE = "\u2014";
constexpr const char* DEGREES = " \u00b0C";
constexpr double RATE_FLOOR = 1024.0;  // bytes per second below which a drive counts as idle
constexpr uint64_t SECTOR = 512;       // the unit of "size" and "stat", whatever the block size
constexpr uint64_t NVME_DATA_UNIT = 512000;

struct Disk {
    std::string node;
    std::string dir;
    std::string model;
    std::string vendor;
    std::string serial;
    std::string firmware;
    std::string wwid;
    std::string rev;
    uint64_t size_bytes = 0;
    uint64_t sectors = 0;
    uint32_t log_sector = 512;
    uint32_t phys_sector = 512;
    bool rotational = false;
    bool removable = false;
    std::string transport;
    std::string driver;
    std::string pci;
    std::string nvme_ctrl;    // the NVMe controller's sysfs directory; empty for other drives
    std::string device_path;  // the drive's (or NVMe controller's) device directory, links resolved
};

struct Stats {
    uint64_t reads = 0;
    uint64_t read_sectors = 0;
    uint64_t read_ms = 0;
    uint64_t writes = 0;
    uint64_t write_sectors = 0;
    uint64_t write_ms = 0;
    uint64_t in_flight = 0;
    uint64_t io_ms = 0;
    bool ok = false;
};

// The byte counters of one drive as last seen, from which its rates come.
struct Last {
    util::CounterRate read;
    util::CounterRate write;
};

struct Mount {
    std::string point;  // decoded: usable for statvfs and display
    std::string fstype;
};

struct PersistentNames {
    std::map<std::string, std::string> label;  // node to its name in /dev/disk/by-label
    std::map<std::string, std::string> uuid;
};

struct MountTable {
    std::map<std::string, Mount> by_number;  // "major:minor" of the mounted device
    // File systems that report an anonymous device number (btrfs) are found
    // by their source device instead.
    std::map<std::string, Mount> by_source;
};

// Read once per page collection: the presence test reads every disk as the page does.
uint64_t read_u64(const std::string& path) { return util::to_u64(util::read_file_kept(path), 0); }

// Kernel and firmware text, made safe for labels and the report.
std::string read_text(const std::string& path) { return util::valid_utf8(util::read_file_kept(path)); }

std::map<std::string, Last>& last_stats() {
    static std::map<std::string, Last> last;
    return last;
}

// The hwmon channel file each drive's temperature row was built from, by
// node: the refresher re-reads the same channel without matching devices
// and models again on every tick.
std::map<std::string, std::string>& temperature_channels() {
    static std::map<std::string, std::string> channels;
    return channels;
}

bool is_virtual_disk(const std::string& name) {
    for (const char* prefix : {"loop", "ram", "zram", "dm-"})
        if (util::starts_with(name, prefix)) return true;
    return false;
}

// "nvme" and a number: a controller, not a namespace such as nvme0n1.
bool is_controller_name(const std::string& name) {
    if (name.size() <= 4 || !util::starts_with(name, "nvme")) return false;
    for (size_t i = 4; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

// A multipath namespace hangs below its subsystem, which lists its
// controllers as nvmeN links; the first one stands for the drive.
std::string nvme_controller(const std::string& dev) {
    if (util::read_link_base(dev + "/subsystem") != "nvme-subsystem") return dev;
    for (const std::string& name : util::list_dir(dev, "nvme"))
        if (is_controller_name(name)) return dev + "/" + name;
    return dev;
}

std::string resolved_device(const std::string& link) {
    std::string path = util::real_path(link);
    return path.empty() ? util::read_link_full(link) : path;
}

std::string transport_of_path(const std::string& path) {
    static const struct {
        const char* part;
        const char* transport;
    } RULES[] = {{"/usb", "usb"}, {"/ata", "sata"}, {"/mmc", "mmc"}, {"/nvme", "pcie"}};
    for (const auto& r : RULES)
        if (path.find(r.part) != std::string::npos) return r.transport;
    return {};
}

bool is_pci_address(const std::string& part) {
    return part.size() == 12 && part[4] == ':' && part[7] == ':' && part[10] == '.';
}

// The PCI function nearest the drive: the last address on its device path.
std::string pci_of_path(const std::string& path) {
    std::string pci;
    for (const std::string& part : util::split(path, '/'))
        if (is_pci_address(part)) pci = part;
    return pci;
}

Disk read_disk(const std::string& node) {
    Disk d;
    d.node = node;
    d.dir = std::string(BLOCK) + "/" + node;
    d.sectors = read_u64(d.dir + "/size");
    d.size_bytes = d.sectors * SECTOR;
    d.log_sector = static_cast<uint32_t>(read_u64(d.dir + "/queue/logical_block_size"));
    d.phys_sector = static_cast<uint32_t>(read_u64(d.dir + "/queue/physical_block_size"));
    d.rotational = util::read_file_kept(d.dir + "/queue/rotational") == "1";
    d.removable = util::read_file_kept(d.dir + "/removable") == "1";
    d.wwid = read_text(d.dir + "/wwid");
    const std::string dev = d.dir + "/device";
    d.model = read_text(dev + "/model");
    d.vendor = read_text(dev + "/vendor");
    d.serial = read_text(dev + "/serial");
    d.firmware = read_text(dev + "/firmware_rev");
    d.rev = read_text(dev + "/rev");
    d.driver = util::read_link_base(dev + "/driver");
    std::string device = dev;
    if (util::starts_with(node, "nvme")) {
        d.nvme_ctrl = nvme_controller(dev);
        d.transport = read_text(d.nvme_ctrl + "/transport");
        device = d.nvme_ctrl;
    }
    d.device_path = resolved_device(device);
    if (d.transport.empty()) d.transport = transport_of_path(d.device_path);
    d.pci = pci_of_path(d.device_path);
    if (d.rev.empty()) d.rev = d.firmware;
    return d;
}

std::vector<Disk> collect_disks() {
    std::vector<Disk> disks;
    for (const std::string& name : util::list_dir_kept(BLOCK, "")) {
        if (is_virtual_disk(name)) continue;
        // Per-path devices of a multipath NVMe namespace: the namespace
        // itself is listed beside them.
        if (util::read_file_kept(std::string(BLOCK) + "/" + name + "/hidden") == "1") continue;
        disks.push_back(read_disk(name));
    }
    return disks;
}

std::string title_of(const Disk& d) {
    if (d.model.empty()) return d.node;
    if (!d.vendor.empty() && d.vendor != "ATA" && d.model.find(d.vendor) == std::string::npos)
        return d.vendor + " " + d.model;
    return d.model;
}

// The persistent names in one udev link directory by the node they point
// to, read once per page rather than once per partition. The first entry in
// natural order wins, as when the directory is searched for each node.
std::map<std::string, std::string> read_links(const char* dir) {
    std::map<std::string, std::string> by_node;
    for (const std::string& name : util::list_dir(dir, ""))
        by_node.emplace(util::read_link_base(std::string(dir) + "/" + name), name);
    return by_node;
}

std::string lookup_link(const std::map<std::string, std::string>& links, const std::string& node) {
    auto it = links.find(node);
    return it == links.end() ? std::string() : it->second;
}

Stats read_stats(const std::string& dir) {
    std::vector<uint64_t> n;
    for (const std::string& piece : util::split(util::read_file(dir + "/stat"), ' '))
        if (!piece.empty()) n.push_back(util::to_u64(piece, 0));
    Stats s;
    if (n.size() < 11) return s;
    s.reads = n[0];
    s.read_sectors = n[2];
    s.read_ms = n[3];
    s.writes = n[4];
    s.write_sectors = n[6];
    s.write_ms = n[7];
    s.in_flight = n[8];
    s.io_ms = n[9];
    s.ok = true;
    return s;
}

std::string temperature_text(double celsius) { return util::fmt_double(celsius, 1) + DEGREES; }

std::string rate_text(double bytes_per_second) {
    if (bytes_per_second < RATE_FLOOR) return NO_RATE;
    return util::fmt_bytes(static_cast<uint64_t>(bytes_per_second)) + "/s";
}

// ---- Drive temperatures -----------------------------------------------------

// A temperature channel with the device its chip belongs to.
struct DriveSensor {
    const sensors::Reading* reading;
    std::string device;  // links resolved; empty when the chip has no device link
};

std::string chip_dir_of(const std::string& input_path) {
    size_t slash = input_path.rfind('/');
    return slash == std::string::npos ? std::string() : input_path.substr(0, slash);
}

// Each chip's device link is resolved once per page, not once per drive.
std::vector<DriveSensor> drive_sensors(const std::vector<sensors::Reading>& list) {
    std::vector<DriveSensor> out;
    std::string last_dir, last_device;
    for (const sensors::Reading& r : list) {
        if (r.kind != sensors::Kind::Temperature) continue;
        const std::string dir = chip_dir_of(r.path);
        if (dir != last_dir) {
            last_dir = dir;
            last_device = util::real_path(dir + "/device");
        }
        out.push_back({&r, last_device});
    }
    return out;
}

// The chip whose device is the drive's own (the disk for drivetemp, the
// controller for NVMe). Only a chip without a device link falls back to the
// model named in its place, so two identical drives keep their own readings.
const sensors::Reading* drive_reading(const Disk& d, const std::vector<DriveSensor>& list) {
    if (!d.device_path.empty())
        for (const DriveSensor& s : list)
            if (s.device == d.device_path) return s.reading;
    if (d.model.empty()) return nullptr;
    const std::string suffix = " " + d.model;
    for (const DriveSensor& s : list)
        if (s.device.empty() && util::ends_with(s.reading->place, suffix)) return s.reading;
    return nullptr;
}

// ---- Detail cards -------------------------------------------------------------

void add_trimmed(Card& card, const char* name, const std::string& value, const std::string& note,
                 const std::string& live = "") {
    std::string v = util::trim(value);
    if (!v.empty()) card.rows.emplace_back(name, std::move(v), note, false, live, "");
}

void add_unchanged(Card& card, const char* name, const std::string& value, const char* note) {
    if (!value.empty()) card.rows.emplace_back(name, value, note, false, "", "");
}

void append(Page& page, Card card) {
    if (!card.empty()) page.cards.push_back(std::move(card));
}

void add_identification(Page& page, const Disk& d, const std::vector<DriveSensor>& temps) {
    Card card;
    card.title = title_of(d);
    add_trimmed(card, tr("f.model"), d.model, "device/model");
    add_trimmed(card, tr("f.vendor"), d.vendor, "device/vendor");
    add_trimmed(card, tr("value.block_device"), "/dev/" + d.node, "block");
    add_trimmed(card, tr("f.serial"), d.serial, "device/serial");
    add_trimmed(card, tr("f.firmware"), d.rev, "device/firmware_rev");
    add_trimmed(card, tr("f.wwid"), d.wwid, "wwid");
    if (d.size_bytes != 0) add_trimmed(card, tr("f.type"), d.rotational ? "HDD" : "SSD", "queue/rotational");
    if (d.removable) add_trimmed(card, tr("f.removable"), tr("common.yes"), "removable");
    if (const sensors::Reading* r = drive_reading(d, temps)) {
        temperature_channels()[d.node] = r->path;
        add_trimmed(card, tr("f.temperature"), temperature_text(r->value), "hwmon", "disk.temp:" + d.node);
    }
    add_trimmed(card, tr("f.capacity"), d.size_bytes ? util::fmt_bytes(d.size_bytes) : tr("value.no_media"),
                "size");
    append(page, std::move(card));
}

void add_geometry(Page& page, const Disk& d) {
    if (d.size_bytes == 0) return;
    Card card;
    card.title = tr("f.capacity");
    card.subtitle = d.node;
    add_unchanged(card, tr("f.capacity"), util::fmt_bytes(d.size_bytes), "size");
    add_unchanged(card, tr("f.sectors"), util::fmt_int(d.sectors), "size");
    if (d.log_sector)
        add_unchanged(card, tr("f.sector_logical"), util::fmt_int(d.log_sector) + " B",
                      "queue/logical_block_size");
    if (d.phys_sector)
        add_unchanged(card, tr("f.sector_physical"), util::fmt_int(d.phys_sector) + " B",
                      "queue/physical_block_size");
    static const struct {
        const char* name;
        const char* file;
    } SIZES[] = {{"f.block_size", "queue/minimum_io_size"}, {"f.optimal_io", "queue/optimal_io_size"}};
    for (const auto& s : SIZES)
        if (uint64_t bytes = read_u64(d.dir + "/" + s.file))
            add_unchanged(card, tr(s.name), util::fmt_bytes(bytes), s.file);
    // A device that cannot be aligned at all reads -1 here.
    const int64_t alignment = util::to_i64(util::read_file(d.dir + "/alignment_offset"), 0);
    if (alignment > 0)
        add_unchanged(card, tr("f.alignment"), util::fmt_bytes(static_cast<uint64_t>(alignment)),
                      "alignment_offset");
    append(page, std::move(card));
}

double link_speed(const std::string& file) { return util::to_double(util::read_file(file), 0.0); }

void add_pcie_link(Card& card, const std::string& pci) {
    const std::string base = "/sys/bus/pci/devices/" + pci + "/";
    const double gts = link_speed(base + "current_link_speed");
    const auto w = static_cast<uint32_t>(read_u64(base + "current_link_width"));
    const std::string now = pcie_link_text(gts, w);
    if (now.empty()) return;
    const double mg = link_speed(base + "max_link_speed");
    const auto mw = static_cast<uint32_t>(read_u64(base + "max_link_width"));
    const std::string max = pcie_link_text(mg, mw);
    std::string extra;
    if (!max.empty() && max != now && gts <= mg && w <= mw) extra = "max " + max;
    card.rows.emplace_back(tr("f.pcie_link"), now, "current_link_speed", false, "", extra);
}

void add_nvme_controller(Card& card, const std::string& c) {
    add_trimmed(card, tr("f.nvme_state"), read_text(c + "/state"), "state");
    add_trimmed(card, tr("f.queue_count"), read_text(c + "/queue_count"), "queue_count");
    const std::string sqsize = util::read_file(c + "/sqsize");
    if (!sqsize.empty())
        add_trimmed(card, tr("f.nr_requests"), util::fmt_int(util::to_u64(sqsize, 0) + 1), "sqsize");
    const std::string numa = util::read_file(c + "/numa_node");
    if (numa != "-1") add_trimmed(card, tr("f.numa_nodes"), numa, "numa_node");
    add_trimmed(card, "NQN", read_text(c + "/subsysnqn"), "subsysnqn");
}

void add_link(Page& page, const Disk& d) {
    Card card;
    card.title = tr("sec.connection");
    card.subtitle = d.node;
    add_trimmed(card, tr("f.transport"), d.transport, "transport");
    add_trimmed(card, tr("f.driver"), d.driver, "device/driver");
    add_trimmed(card, tr("f.pci_address"), d.pci, "PCI");
    if (!d.pci.empty()) add_pcie_link(card, d.pci);
    if (d.nvme_ctrl.empty())
        add_trimmed(card, tr("f.nr_requests"), read_text(d.dir + "/device/queue_depth"),
                    "device/queue_depth");
    else
        add_nvme_controller(card, d.nvme_ctrl);
    append(page, std::move(card));
}

// The kernel lists every choice and brackets the active one.
std::string active_choice(const std::string& list) {
    const size_t open = list.find('['), close = list.find(']');
    if (open != std::string::npos && close != std::string::npos && open < close)
        return list.substr(open + 1, close - open - 1);
    return list;
}

std::string write_cache_text(const std::string& mode) {
    if (mode == "write back") return tr("value.write_back");
    if (mode == "write through") return tr("value.write_through");
    return mode;
}

void add_queue(Page& page, const Disk& d) {
    const std::string q = d.dir + "/queue/";
    auto text = [&](const char* attr) { return read_text(q + attr); };
    auto flag = [&](Card& card, const char* name, const char* attr) {
        if (util::read_file(q + attr) == "1")
            add_trimmed(card, name, tr("common.yes"), std::string("queue/") + attr);
    };
    auto bytes = [&](Card& card, const char* name, const char* attr) {
        if (uint64_t n = read_u64(q + attr))
            add_trimmed(card, name, util::fmt_bytes(n), std::string("queue/") + attr);
    };
    Card card;
    card.title = tr("sec.queue");
    card.subtitle = d.node;
    add_trimmed(card, tr("f.scheduler"), active_choice(text("scheduler")), "queue/scheduler");
    add_trimmed(card, tr("f.nr_requests"), text("nr_requests"), "queue/nr_requests");
    if (uint64_t kb = read_u64(q + "read_ahead_kb"))
        add_trimmed(card, tr("f.read_ahead"), util::fmt_bytes(kb * 1024), "queue/read_ahead_kb");
    const uint64_t max_kb = read_u64(q + "max_sectors_kb");
    const uint64_t hw_kb = read_u64(q + "max_hw_sectors_kb");
    if (max_kb)
        add_trimmed(card, tr("f.max_sectors_kb"), util::fmt_bytes(max_kb * 1024), "queue/max_sectors_kb");
    if (hw_kb && hw_kb != max_kb) {
        const std::string name = std::string(tr("f.max_sectors_kb")) + " (HW)";
        add_trimmed(card, name.c_str(), util::fmt_bytes(hw_kb * 1024), "queue/max_hw_sectors_kb");
    }
    add_trimmed(card, tr("f.write_cache"), write_cache_text(text("write_cache")), "queue/write_cache");
    flag(card, "FUA", "fua");
    bytes(card, tr("f.discard_granularity"), "discard_granularity");
    bytes(card, tr("f.discard_max"), "discard_max_bytes");
    const std::string zoned = text("zoned");
    if (zoned != "none") add_trimmed(card, tr("f.zoned"), zoned, "queue/zoned");
    flag(card, "DAX", "dax");
    flag(card, "io_poll", "io_poll");
    add_trimmed(card, "rq_affinity", text("rq_affinity"), "queue/rq_affinity");
    add_trimmed(card, "nomerges", text("nomerges"), "queue/nomerges");
    append(page, std::move(card));
}

// The controller's name as the privileged data knows it ("nvme0"): the
// target of the controller link, else the namespace name cut before "n<id>".
std::string nvme_controller_name(const Disk& d) {
    const std::string linked = util::read_link_base(d.nvme_ctrl);
    if (is_controller_name(linked)) return linked;
    const size_t n = d.node.find('n', 4);
    return n == std::string::npos ? d.node : d.node.substr(0, n);
}

std::string critical_warning_text(uint8_t bits) {
    if (bits == 0) return tr("value.none");
    static const char* const NAMES[] = {"f.spare", "f.temperature", "f.health", "f.write_cache",
                                        "f.memory_type"};
    std::vector<std::string> set;
    for (int i = 0; i < 5; ++i)
        if (bits & (1u << i)) set.emplace_back(tr(NAMES[i]));
    return util::join(set, ", ");
}

void add_health_rows(Card& card, const hw::NvmeHealth& h) {
    auto always = [&](const char* name, const std::string& value) {
        add_unchanged(card, name, value, "SMART");
    };
    auto nonzero = [&](const char* name, uint64_t n, const std::string& value) {
        if (n != 0) always(name, value);
    };
    always(tr("f.critical_warning"), critical_warning_text(h.critical_warning));
    always(tr("f.wear"), util::fmt_percent(h.percentage_used, 0));
    if (h.available_spare != 0)
        card.rows.emplace_back(tr("f.spare"), util::fmt_percent(h.available_spare, 0), "SMART", false, "",
                               "min " + util::fmt_percent(h.spare_threshold, 0));
    if (h.temperature_c > -300.0) always(tr("f.temperature"), temperature_text(h.temperature_c));
    if (h.sensors_c.size() >= 2) {
        std::vector<std::string> temps;
        for (double t : h.sensors_c) temps.push_back(temperature_text(t));
        always(tr("sec.temperatures"), util::join(temps, "   \u00b7   "));
    }
    nonzero(tr("f.warning_temp_time"), h.warning_temp_minutes,
            util::fmt_duration(h.warning_temp_minutes * 60));
    nonzero(tr("f.critical_temp_time"), h.critical_temp_minutes,
            util::fmt_duration(h.critical_temp_minutes * 60));
    nonzero(tr("f.write_bytes"), h.data_units_written,
            util::fmt_bytes(h.data_units_written * NVME_DATA_UNIT));
    nonzero(tr("f.read_bytes"), h.data_units_read, util::fmt_bytes(h.data_units_read * NVME_DATA_UNIT));
    nonzero(tr("f.power_on_hours"), h.power_on_hours, util::fmt_int(h.power_on_hours));
    nonzero(tr("f.power_cycles"), h.power_cycles, util::fmt_int(h.power_cycles));
    always(tr("f.unsafe_shutdowns"), util::fmt_int(h.unsafe_shutdowns));
    always(tr("f.media_errors"), util::fmt_int(h.media_errors));
    always(tr("f.error_entries"), util::fmt_int(h.error_entries));
}

void add_health(Page& page, const Disk& d) {
    if (d.nvme_ctrl.empty()) return;
    const std::string ctrl = nvme_controller_name(d);
    Card card;
    card.title = tr("f.health");
    card.subtitle = ctrl;
    const hw::NvmeHealth* record = nullptr;
    for (const hw::NvmeHealth& h : hw::RootData::instance().nvme)
        if (h.node == ctrl) {
            record = &h;
            break;
        }
    if (record) {
        add_health_rows(card, *record);
    } else {
        card.hint = tr("msg.smart_needs_root");
        card.hint_elevates = true;
    }
    page.cards.push_back(std::move(card));
}

void add_io(Page& page, const Disk& d) {
    const Stats s = read_stats(d.dir);
    if (!s.ok) return;
    Card card;
    card.title = tr("sec.io_stats");
    card.subtitle = d.node;
    auto row = [&](const char* name, std::string value, const char* note, const char* family) {
        card.rows.emplace_back(name, std::move(value), note, false, family + d.node, "");
    };
    row(tr("disk.read"), util::fmt_bytes(s.read_sectors * SECTOR), "stat", "disk.read:");
    row(tr("disk.write"), util::fmt_bytes(s.write_sectors * SECTOR), "stat", "disk.write:");
    row(tr("f.throughput_read"), NO_RATE, "stat", "disk.rrate:");
    row(tr("f.throughput_write"), NO_RATE, "stat", "disk.wrate:");
    row(tr("f.requests_read"), util::fmt_int(s.reads), "stat", "disk.rreq:");
    row(tr("f.requests_write"), util::fmt_int(s.writes), "stat", "disk.wreq:");
    row(tr("f.io_in_flight"), util::fmt_int(s.in_flight), "inflight", "disk.flight:");
    row(tr("f.io_time"), util::fmt_duration(s.io_ms / 1000), "stat", "disk.iotime:");
    // Rates count from this build on.
    const double now = util::monotonic_seconds();
    Last& last = last_stats()[d.node];
    util::rate_per_second(last.read, s.read_sectors * SECTOR, now);
    util::rate_per_second(last.write, s.write_sectors * SECTOR, now);
    page.cards.push_back(std::move(card));
}

// ---- Mounts and partitions --------------------------------------------------

MountTable read_mounts() {
    MountTable table;
    for (const std::string& line : util::read_lines("/proc/self/mountinfo")) {
        const std::vector<std::string> f = util::split(line, ' ');
        if (f.size() < 10) continue;
        size_t sep = 5;
        while (sep < f.size() && f[sep] != "-") ++sep;
        if (sep + 1 >= f.size()) continue;
        Mount m{util::unescape_octal(f[4]), f[sep + 1]};
        table.by_number.emplace(f[2], m);
        // Major 0 is no block device: an anonymous number that only the
        // source names. FUSE sources are whatever the daemon says.
        if (util::starts_with(f[2], "0:") && sep + 2 < f.size() && !util::starts_with(m.fstype, "fuse"))
            table.by_source.emplace(util::unescape_octal(f[sep + 2]), m);
    }
    return table;
}

const Mount* find_mount(const MountTable& table, const std::string& number, const std::string& part) {
    auto n = table.by_number.find(number);
    if (n != table.by_number.end() && !number.empty()) return &n->second;
    auto s = table.by_source.find("/dev/" + part);
    return s == table.by_source.end() ? nullptr : &s->second;
}

// Used and the share in use as df gives them: the blocks reserved for root
// are neither used nor available to users, so they count in neither.
std::string usage_text(const std::string& point) {
    struct statvfs fs {};
    if (!util::stat_fs(point, fs) || fs.f_blocks == 0) return {};
    const uint64_t blocks = fs.f_blocks, avail = fs.f_bavail;
    const uint64_t used = blocks > fs.f_bfree ? blocks - fs.f_bfree : 0;
    const uint64_t users = used + avail;
    // Rounded up: a file system with anything in use is never 0 % in use.
    const uint64_t percent = users == 0 ? 0 : (used * 100 + users - 1) / users;
    return util::fmt_bytes(used * fs.f_frsize) + " " + tr("disk.of") + " " +
           util::fmt_bytes(blocks * fs.f_frsize) + "  " + util::fmt_percent(static_cast<double>(percent), 0) +
           " " + tr("disk.in_use");
}

void add_partitions(Page& page, const Disk& d, const MountTable& mounts, const PersistentNames& names) {
    Card card;
    card.title = tr("sec.partition");
    card.subtitle = d.node;
    card.wide = true;
    for (const std::string& p : util::list_dir(d.dir, d.node)) {
        const std::string dir = d.dir + "/" + p;
        if (p == d.node || !util::path_exists(dir + "/partition")) continue;
        Row row;
        row.cols.push_back(util::fmt_bytes(read_u64(dir + "/size") * SECTOR));
        const Mount* m = find_mount(mounts, util::read_file(dir + "/dev"), p);
        if (!m) {
            row.cols.emplace_back(tr("disk.not_mounted"));
        } else {
            row.cols.push_back(util::valid_utf8(m->fstype));
            row.cols.push_back(util::valid_utf8(m->point));
            std::string usage = usage_text(m->point);
            if (!usage.empty()) row.cols.push_back(std::move(usage));
        }
        const std::string label = lookup_link(names.label, p);
        const std::string uuid = lookup_link(names.uuid, p);
        const std::string name = util::valid_utf8(p);
        row.name = label.empty() ? name : name + "  " + util::valid_utf8(label);
        row.note = "/dev/" + name + (uuid.empty() ? "" : "  \u00b7  " + util::valid_utf8(uuid));
        card.rows.push_back(std::move(row));
    }
    if (card.rows.empty()) {
        if (d.size_bytes == 0) return;
        card.hint = tr("disk.no_partitions");
    }
    page.cards.push_back(std::move(card));
}

// ---- The page -------------------------------------------------------------------

void add_overview(Page& page, const std::vector<Disk>& disks) {
    Card card;
    card.title = tr("sec.overview");
    for (const Disk& d : disks) {
        Row row(title_of(d), "", "/dev/" + d.node, false, "", "");
        const bool media = d.size_bytes != 0;
        row.cols = {media ? util::fmt_bytes(d.size_bytes) : std::string(tr("value.no_media")),
                    media ? (d.rotational ? "HDD" : "SSD") : "", d.transport};
        card.rows.push_back(std::move(row));
    }
    page.cards.push_back(std::move(card));
}

void add_selector(Page& page, const std::vector<Disk>& disks, int index) {
    Selector& s = page.selector;
    s.label = tr("tree.storage");
    s.options.emplace_back(tr("value.all"));
    s.values.push_back(-1);
    for (size_t i = 0; i < disks.size(); ++i) {
        s.options.push_back(title_of(disks[i]));
        s.values.push_back(static_cast<int>(i));
    }
    for (size_t i = 0; i < s.values.size(); ++i)
        if (s.values[i] == index) s.selected = static_cast<int>(i);
}

void add_hint_card(Page& page, const char* title, std::string hint) {
    Card card;
    card.title = tr(title);
    card.hint = std::move(hint);
    page.cards.push_back(std::move(card));
}

}  // namespace

bool has_disks() {
    if (!util::is_dir(BLOCK)) return false;
    if (!collect_disks().empty()) return true;
    return !snap_hint("hardware-observe").empty();
}

Page collect_disk(int index) {
    Page page;
    const std::vector<Disk> disks = collect_disks();
    if (disks.empty()) {
        std::string hint = snap_hint("hardware-observe");
        if (!hint.empty()) {
            page.headline = tr("tree.storage");
            add_hint_card(page, "tree.storage", std::move(hint));
        }
        return page;
    }
    const MountTable mounts = read_mounts();
    const PersistentNames names{read_links("/dev/disk/by-label"), read_links("/dev/disk/by-uuid")};
    const std::vector<sensors::Reading> readings = sensors::collect();
    const std::vector<DriveSensor> temps = drive_sensors(readings);
    const size_t n = disks.size();
    if (n >= 2)
        add_selector(page, disks, index);
    else
        index = -1;

    uint64_t total = 0;
    for (const Disk& d : disks) total += d.size_bytes;
    page.headline = tr("tree.storage");
    page.subline = I18n::instance().trf("summary.n_disks", static_cast<int>(n));
    page.stats.push_back({tr("tree.storage"), util::fmt_int(n), "", ""});
    if (total != 0) page.stats.push_back({tr("f.capacity"), util::fmt_bytes(total), "", ""});
    if (n >= 2) add_overview(page, disks);

    std::vector<size_t> shown;
    if (index >= 0 && static_cast<size_t>(index) < n)
        shown.push_back(static_cast<size_t>(index));
    else
        for (size_t i = 0; i < n && i < 2; ++i) shown.push_back(i);
    for (size_t i : shown) {
        const Disk& d = disks[i];
        add_identification(page, d, temps);
        add_geometry(page, d);
        add_link(page, d);
        add_queue(page, d);
        add_health(page, d);
        add_io(page, d);
        add_partitions(page, d, mounts, names);
    }
    if (index < 0 && shown.size() < n) add_hint_card(page, "sec.overview", tr("msg.select_disk"));
    return page;
}

void refresh_live_disk(Page& page) {
    const double now = util::monotonic_seconds();
    struct Sample {
        Stats stats;
        bool rated = false;  // an earlier sample, and time has passed since
        double read_rate = -1.0;
        double write_rate = -1.0;
    };
    std::map<std::string, Sample> read_now;  // each drive's counters once per tick
    auto sample_of = [&](const std::string& node) -> const Sample& {
        auto it = read_now.find(node);
        if (it != read_now.end()) return it->second;
        Sample s;
        s.stats = read_stats(std::string(BLOCK) + "/" + node);
        if (s.stats.ok) {
            Last& last = last_stats()[node];
            s.rated = last.read.last_seconds >= 0.0 && now > last.read.last_seconds;
            s.read_rate = util::rate_per_second(last.read, s.stats.read_sectors * SECTOR, now);
            s.write_rate = util::rate_per_second(last.write, s.stats.write_sectors * SECTOR, now);
        }
        return read_now.emplace(node, s).first->second;
    };
    for (Card& card : page.cards) {
        for (Row& row : card.rows) {
            const size_t colon = row.live.find(':');
            if (colon == std::string::npos || !util::starts_with(row.live, "disk.")) continue;
            const std::string family = row.live.substr(0, colon);
            const std::string node = row.live.substr(colon + 1);
            if (family == "disk.temp") {
                auto channel = temperature_channels().find(node);
                if (channel == temperature_channels().end()) continue;
                if (const sensors::Reading* r = sensors::kept_reading(channel->second, now))
                    row.value = temperature_text(r->value);
                continue;
            }
            const Sample& s = sample_of(node);
            if (!s.stats.ok) continue;
            const Stats& st = s.stats;
            if (family == "disk.read")
                row.value = util::fmt_bytes(st.read_sectors * SECTOR);
            else if (family == "disk.write")
                row.value = util::fmt_bytes(st.write_sectors * SECTOR);
            else if (family == "disk.rreq")
                row.value = util::fmt_int(st.reads);
            else if (family == "disk.wreq")
                row.value = util::fmt_int(st.writes);
            else if (family == "disk.flight")
                row.value = util::fmt_int(st.in_flight);
            else if (family == "disk.iotime")
                row.value = util::fmt_duration(st.io_ms / 1000);
            else if (family == "disk.rrate" && s.rated)
                row.value = rate_text(s.read_rate);
            else if (family == "disk.wrate" && s.rated)
                row.value = rate_text(s.write_rate);
        }
    }
}

}  // namespace probe
