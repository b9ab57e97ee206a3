#include "gpu.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <cstring>

#include <amdgpu_drm.h>
#include <i915_drm.h>

#include "cpu_sysfs.h"
#include "hw/ids.h"
#include "sensors.h"
#include "util.h"

namespace gpu {

namespace detail {

namespace {
int system_ioctl(int fd, unsigned long request, void* arg) { return ::ioctl(fd, request, arg); }
}  // namespace

IoctlFn ioctl_fn = system_ioctl;

}  // namespace detail

namespace {

using namespace detail;

const std::string DRM_BASE = "/sys/class/drm";

struct Dpm {
    const char* file;
    const char* label;
};
const Dpm dpms[] = {{"pp_dpm_sclk", "sclk"}, {"pp_dpm_mclk", "mclk"}, {"pp_dpm_fclk", "fclk"}};

// The request layout is fixed by the kernel's ABI; the header we build
// against may be older than the driver, so the layout is checked here.
static_assert(sizeof(drm_amdgpu_info) == 32, "amdgpu info request must be 32 bytes");
static_assert(sizeof(drm_amdgpu_info_device) <= DEV_INFO_SIZE, "device info larger than expected");
static_assert(sizeof(drm_amdgpu_memory_info) == MEMORY_INFO_SIZE, "memory info must be 96 bytes");
static_assert(sizeof(drm_amdgpu_info_video_caps) == VIDEO_CAPS_SIZE, "video caps must be 192 bytes");
static_assert(QUERY_FW_VERSION == AMDGPU_INFO_FW_VERSION && QUERY_DEV_INFO == AMDGPU_INFO_DEV_INFO &&
                  QUERY_MEMORY == AMDGPU_INFO_MEMORY && QUERY_SENSOR == AMDGPU_INFO_SENSOR &&
                  QUERY_VIDEO_CAPS == AMDGPU_INFO_VIDEO_CAPS,
              "query ids differ from the kernel's");
static_assert(DRM_IOCTL_AMDGPU_INFO == 0x40206445UL, "unexpected amdgpu info request number");
static_assert(DRM_IOCTL_I915_GETPARAM == 0xC0106446UL, "unexpected i915 getparam request number");

std::string device_dir(const std::string& card) { return DRM_BASE + "/" + card + "/device"; }

std::string render_node_for(const std::string& card) {
    auto nodes = util::list_dir(device_dir(card) + "/drm", "renderD");
    return nodes.empty() ? std::string() : "/dev/dri/" + nodes.front();
}

int open_render_node(const std::string& card) {
    std::string node = render_node_for(card);
    return node.empty() ? -1 : util::open_fd(node, O_RDWR);
}

bool amdgpu_query(int fd, uint32_t query, void* buffer, uint32_t size, uint32_t subtype) {
    unsigned char request[32];
    build_amdgpu_request(request, buffer, size, query, subtype);
    return ioctl_fn(fd, DRM_IOCTL_AMDGPU_INFO, request) == 0;
}

void query_amdgpu_sensors(int fd, Device& dev) {
    for (uint32_t type :
         {AMDGPU_INFO_SENSOR_GFX_SCLK, AMDGPU_INFO_SENSOR_GFX_MCLK, AMDGPU_INFO_SENSOR_GPU_TEMP,
          AMDGPU_INFO_SENSOR_GPU_LOAD, AMDGPU_INFO_SENSOR_GPU_AVG_POWER, AMDGPU_INFO_SENSOR_VDDGFX}) {
        uint32_t value = 0;
        if (amdgpu_query(fd, AMDGPU_INFO_SENSOR, &value, sizeof value, type)) apply_sensor(type, value, dev);
    }
    alignas(8) unsigned char mem[MEMORY_INFO_SIZE] = {};
    if (amdgpu_query(fd, AMDGPU_INFO_MEMORY, mem, sizeof mem, 0)) apply_memory_info(mem, sizeof mem, dev);
}

void query_amdgpu_codecs(int fd, Device& dev) {
    for (uint32_t direction : {0u, 1u}) {
        alignas(8) unsigned char caps[VIDEO_CAPS_SIZE] = {};
        if (amdgpu_query(fd, AMDGPU_INFO_VIDEO_CAPS, caps, sizeof caps, direction))
            apply_video_caps(caps, sizeof caps, direction == 1, dev);
    }
}

void query_amdgpu_firmware(int fd, Device& dev) {
    struct Fw {
        uint32_t id;
        const char* name;
    };
    static const Fw LIST[] = {{1, "VCE"},    {2, "UVD"},     {3, "GMC"},     {4, "GFX ME"}, {5, "GFX PFP"},
                              {6, "GFX CE"}, {7, "GFX RLC"}, {8, "GFX MEC"}, {10, "SMC"},   {11, "SDMA"},
                              {12, "SOS"},   {13, "ASD"},    {14, "VCN"},    {0x13, "TA"},  {0x14, "DMCUB"}};
    for (const Fw& fw : LIST) {
        drm_amdgpu_info_firmware answer = {};
        if (amdgpu_query(fd, AMDGPU_INFO_FW_VERSION, &answer, sizeof answer, fw.id) && answer.ver != 0)
            dev.firmwares.push_back({fw.name, answer.ver, answer.feature});
    }
}

void read_ip_blocks(Device& dev) {
    struct Ip {
        const char* id;
        const char* name;
    };
    static const Ip KNOWN[] = {{"11", "GC"},    {"12", "VCN"},  {"1", "MP1"}, {"2", "MP2"},   {"5", "DMU"},
                               {"41", "ATHUB"}, {"45", "SDMA"}, {"70", "L2"}, {"91", "MMHUB"}};
    const std::string base = device_dir(dev.card) + "/ip_discovery/die/0";
    if (!util::is_dir(base)) return;
    for (const Ip& ip : KNOWN) {
        const std::string dir = base + "/" + ip.id + "/0";
        std::string major = util::read_file(dir + "/major");
        if (major.empty()) continue;
        std::string version = major + "." + util::read_file(dir + "/minor");
        std::string revision = util::read_file(dir + "/revision");
        if (!revision.empty()) version += "." + revision;
        dev.ip_blocks.push_back({ip.name, version});
    }
}

void query_amdgpu(Device& dev) {
    int fd = open_render_node(dev.card);
    if (fd < 0) return;
    alignas(8) unsigned char info[DEV_INFO_SIZE] = {};
    if (amdgpu_query(fd, AMDGPU_INFO_DEV_INFO, info, sizeof info, 0))
        apply_device_info(info, sizeof info, dev);
    query_amdgpu_codecs(fd, dev);
    query_amdgpu_firmware(fd, dev);
    // The sensors are asked by refresh_live right after, which starts from
    // fresh live fields: asking them here too would only double the queries.
    ::close(fd);
    read_ip_blocks(dev);
}

void query_i915(Device& dev) {
    int fd = open_render_node(dev.card);
    if (fd < 0) return;
    auto getparam = [fd](int32_t param) {
        int32_t value = 0;
        drm_i915_getparam_t request = {};
        request.param = param;
        request.value = &value;
        if (ioctl_fn(fd, DRM_IOCTL_I915_GETPARAM, &request) != 0) return 0;
        return value;
    };
    int32_t eus = getparam(I915_PARAM_EU_TOTAL);
    int32_t subslices = getparam(I915_PARAM_SUBSLICE_TOTAL);
    if (eus > 0) {
        dev.shader_cores = static_cast<uint32_t>(eus);
        dev.shader_label = "Execution Units";
    }
    if (subslices > 0) dev.compute_units = static_cast<uint32_t>(subslices);
    ::close(fd);
}

// Leading digits of "<index>: <clock>Mhz [*]"; 0 for lines that are no level.
uint32_t dpm_level(const std::string& line, bool* active) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return 0;
    std::string rest = util::trim(line.substr(colon + 1));
    *active = rest.find('*') != std::string::npos;
    return static_cast<uint32_t>(util::to_u64(rest, 0));
}

void read_clock_tables(Device& dev) {
    for (const Dpm& dpm : dpms) {
        Device::ClockLevels table;
        table.label = dpm.label;
        for (const std::string& line : util::read_lines(device_dir(dev.card) + "/" + dpm.file)) {
            bool active = false;
            uint32_t level = dpm_level(line, &active);
            if (level == 0) continue;
            table.mhz.push_back(level);
            if (active) table.active_mhz = level;
        }
        if (!table.mhz.empty()) dev.clocks.push_back(std::move(table));
    }
}

void read_connectors(Device& dev) {
    const std::string prefix = dev.card + "-";
    for (const std::string& entry : util::list_dir(DRM_BASE, prefix)) {
        const std::string dir = DRM_BASE + "/" + entry;
        Device::Connector conn;
        conn.name = entry.substr(prefix.size());
        conn.connected = util::read_file(dir + "/status") == "connected";
        auto modes = util::read_lines(dir + "/modes");
        if (!modes.empty()) conn.mode = util::trim(modes.front());
        dev.connectors.push_back(std::move(conn));
    }
}

// A graphics driver's instantaneous power swings from frame to frame: the
// average is the device's draw, the input only stands in where no average
// is given.
std::string power_microwatts(const std::string& dir) {
    std::string text = util::read_file(dir + "/power1_average");
    return text.empty() ? util::read_file(dir + "/power1_input") : text;
}

// The device's own monitor chips; the first chip with a temperature ends
// the search.
void read_hwmon(Device& dev) {
    const std::string base = device_dir(dev.card) + "/hwmon";
    for (const std::string& hw : util::list_dir(base, "hwmon")) {
        const std::string dir = base + "/" + hw;
        double value = 0.0;
        if (sensors::read_channel(dir + "/temp1", sensors::Kind::Temperature, value))
            dev.temperature_c = value;
        const std::string power = power_microwatts(dir);
        if (!power.empty()) dev.power_w = util::to_double(power, 0.0) / 1e6;
        if (dev.temperature_c > -300.0) return;
    }
}

bool is_integrated(const Device& dev) {
    if (dev.driver_says_integrated) return true;
    if (dev.vram_total != 0 && dev.gtt_total != 0) return dev.vram_total < dev.gtt_total;
    return dev.driver == "i915" || dev.driver == "xe";
}

std::string cpu_model_name() {
    for (const cpusys::CpuInfoBlock& b : cpusys::read_cpuinfo()) {
        std::string model = b.get("model name");
        if (!model.empty()) return model;
    }
    return {};
}

Device read_device(const std::string& card, const hw::Ids& ids) {
    const std::string dir = device_dir(card);
    Device dev;
    dev.card = card;
    dev.pci = util::read_link_base(dir);
    dev.driver = util::read_link_base(dir + "/driver");
    dev.vendor_id = static_cast<uint16_t>(util::parse_hex(util::read_file(dir + "/vendor"), 0));
    dev.device_id = static_cast<uint16_t>(util::parse_hex(util::read_file(dir + "/device"), 0));
    dev.name = ids.pci_device(dev.vendor_id, dev.device_id);
    dev.vendor = ids.pci_vendor(dev.vendor_id);
    dev.module = util::read_link_base(dir + "/driver/module");
    dev.vbios = util::read_file(dir + "/vbios_version");
    dev.power_state = util::read_file(dir + "/power_dpm_state");
    dev.performance_level = util::read_file(dir + "/power_dpm_force_performance_level");
    if (dev.driver == "amdgpu")
        query_amdgpu(dev);
    else if (dev.driver == "i915" || dev.driver == "xe")
        query_i915(dev);
    read_clock_tables(dev);
    read_connectors(dev);
    refresh_live(dev);
    dev.vram_total = util::to_u64(util::read_file(dir + "/mem_info_vram_total"), 0);
    dev.gtt_total = util::to_u64(util::read_file(dir + "/mem_info_gtt_total"), 0);
    dev.integrated = is_integrated(dev);
    return dev;
}

}  // namespace

namespace detail {

void build_amdgpu_request(unsigned char (&request)[32], void* buffer, uint32_t size, uint32_t query,
                          uint32_t subtype) {
    drm_amdgpu_info info;
    std::memset(&info, 0, sizeof info);
    info.return_pointer = reinterpret_cast<uintptr_t>(buffer);
    info.return_size = size;
    info.query = query;
    // The firmware query carries its firmware type in the same first word of
    // the union as the sensor type and the codec direction; without it every
    // firmware version would be asked for type 0 and none would be listed.
    if (query == QUERY_SENSOR || query == QUERY_VIDEO_CAPS || query == QUERY_FW_VERSION)
        std::memcpy(reinterpret_cast<unsigned char*>(&info) + 16, &subtype, sizeof subtype);
    std::memcpy(request, &info, sizeof info);
}

std::string vram_type_name(uint32_t code) {
    static const char* const NAMES[] = {"",     "GDDR1", "DDR2",  "GDDR3", "GDDR4",  "GDDR5", "HBM",
                                        "DDR3", "DDR4",  "GDDR6", "DDR5",  "LPDDR4", "LPDDR5"};
    return code < sizeof NAMES / sizeof NAMES[0] ? NAMES[code] : "";
}

void apply_device_info(const unsigned char* raw, size_t size, Device& dev) {
    if (size < sizeof(drm_amdgpu_info_device)) return;
    drm_amdgpu_info_device info;
    std::memcpy(&info, raw, sizeof info);
    dev.compute_units =
        info.cu_active_number != 0
            ? info.cu_active_number
            : info.num_shader_engines * info.num_shader_arrays_per_engine * info.num_cu_per_sh;
    dev.shader_engines = info.num_shader_engines;
    dev.shader_cores = dev.compute_units * 64;
    dev.shader_label = "Compute Units";
    dev.max_engine_khz = info.max_engine_clock;
    dev.max_memory_khz = info.max_memory_clock;
    dev.vram_bits = info.vram_bit_width;
    std::string type = vram_type_name(info.vram_type);
    if (!type.empty()) dev.vram_type = type;
    if (dev.device_id == 0) dev.device_id = static_cast<uint16_t>(info.device_id);
    dev.driver_says_integrated = (info.ids_flags & AMDGPU_IDS_FLAGS_FUSION) != 0;
}

void apply_video_caps(const unsigned char* raw, size_t size, bool encode, Device& dev) {
    static const char* const NAMES[] = {"MPEG-2", "MPEG-4", "VC-1", "H.264", "HEVC", "JPEG", "VP9", "AV1"};
    if (size < VIDEO_CAPS_SIZE) return;
    for (size_t i = 0; i < 8; ++i) {
        uint32_t words[6];
        std::memcpy(words, raw + i * sizeof words, sizeof words);
        const uint32_t valid = words[0], width = words[1], height = words[2];
        if (valid == 0) continue;
        auto it = std::find_if(dev.codecs.begin(), dev.codecs.end(),
                               [&](const Device::Codec& c) { return c.name == NAMES[i]; });
        if (it == dev.codecs.end()) {
            dev.codecs.push_back({NAMES[i], false, false, width, height});
            it = dev.codecs.end() - 1;
        }
        (encode ? it->encode : it->decode) = true;
        it->max_width = std::max(it->max_width, width);
        it->max_height = std::max(it->max_height, height);
    }
}

void apply_sensor(uint32_t type, uint32_t value, Device& dev) {
    switch (type) {
        case AMDGPU_INFO_SENSOR_GFX_SCLK:
            if (value) dev.cur_khz = value * uint64_t{1000};
            break;
        case AMDGPU_INFO_SENSOR_GFX_MCLK:
            if (value) dev.mem_khz = value * uint64_t{1000};
            break;
        case AMDGPU_INFO_SENSOR_GPU_TEMP:
            if (value) dev.temperature_c = value / 1000.0;
            break;
        case AMDGPU_INFO_SENSOR_GPU_LOAD:
            dev.busy_percent = static_cast<int32_t>(value);
            break;
        case AMDGPU_INFO_SENSOR_GPU_AVG_POWER:
            if (value) dev.power_w = value;
            break;
        case AMDGPU_INFO_SENSOR_VDDGFX:
            if (value) dev.voltage_v = value / 1000.0;
            break;
        default:
            break;
    }
}

void apply_memory_info(const unsigned char* raw, size_t size, Device& dev) {
    if (size < MEMORY_INFO_SIZE) return;
    drm_amdgpu_memory_info info;
    std::memcpy(&info, raw, sizeof info);
    dev.vram_used = info.vram.heap_usage;
    dev.vram_visible = info.cpu_accessible_vram.total_heap_size;
    dev.gtt_used = info.gtt.heap_usage;
}

uint64_t parse_dpm_active(const std::string& path, uint64_t* max_khz) {
    uint32_t highest = 0, active = 0;
    for (const std::string& line : util::read_lines(path)) {
        bool marked = false;
        uint32_t level = dpm_level(line, &marked);
        if (level == 0) continue;
        highest = std::max(highest, level);
        if (marked) active = level;
    }
    if (max_khz) *max_khz = highest * uint64_t{1000};
    return active * uint64_t{1000};
}

}  // namespace detail

namespace {

// A kept record is refreshed again and again: every reading starts unknown,
// or the "only while unknown" rules below would keep the first values.
void reset_live(Device& dev) {
    const Device fresh;
    dev.busy_percent = fresh.busy_percent;
    dev.vram_used = fresh.vram_used;
    dev.gtt_used = fresh.gtt_used;
    dev.cur_khz = fresh.cur_khz;
    dev.mem_khz = fresh.mem_khz;
    dev.temperature_c = fresh.temperature_c;
    dev.power_w = fresh.power_w;
    dev.voltage_v = fresh.voltage_v;
}

}  // namespace

void refresh_live(Device& dev) {
    reset_live(dev);
    const std::string dir = device_dir(dev.card);
    if (dev.driver == "amdgpu") {
        int fd = open_render_node(dev.card);
        if (fd >= 0) {
            query_amdgpu_sensors(fd, dev);
            ::close(fd);
        }
    }
    if (dev.busy_percent < 0) {
        std::string busy = util::read_file(dir + "/gpu_busy_percent");
        dev.busy_percent = busy.empty() ? -1 : static_cast<int32_t>(util::to_i64(busy, 0));
    }
    if (dev.vram_used == 0) dev.vram_used = util::to_u64(util::read_file(dir + "/mem_info_vram_used"), 0);

    uint64_t max_khz = 0;
    uint64_t active_khz = parse_dpm_active(dir + "/pp_dpm_sclk", &max_khz);
    uint64_t current = dev.cur_khz != 0 ? dev.cur_khz : active_khz;
    if (current == 0) {
        const std::string card_dir = DRM_BASE + "/" + dev.card;
        std::string cur = util::read_file(card_dir + "/gt_cur_freq_mhz");
        if (!cur.empty()) current = util::to_u64(cur, 0) * 1000;
        std::string max = util::read_file(card_dir + "/gt_max_freq_mhz");
        if (!max.empty()) max_khz = util::to_u64(max, 0) * 1000;
    }
    dev.cur_khz = current;
    if (max_khz != 0) dev.sysfs_max_khz = max_khz;

    if (dev.temperature_c <= -300.0 || dev.power_w < 0.0) read_hwmon(dev);
}

bool runtime_suspended(const Device& dev) {
    return util::read_file(device_dir(dev.card) + "/power/runtime_status") == "suspended";
}

bool refresh_awake(Device& dev) {
    if (runtime_suspended(dev)) return false;
    refresh_live(dev);
    return true;
}

namespace {

// Connector entries such as card0-DP-1 share the prefix; a card without a
// device directory (a render-only leftover) is no device.
bool is_card(const std::string& name) {
    return name.find('-') == std::string::npos && util::is_dir(device_dir(name));
}

}  // namespace

bool any_device() {
    for (const std::string& card : util::list_dir(DRM_BASE, "card"))
        if (is_card(card)) return true;
    return false;
}

std::vector<Device> collect() {
    std::vector<Device> devices;
    if (!util::is_dir(DRM_BASE)) return devices;
    const hw::Ids& ids = hw::Ids::instance();
    for (const std::string& card : util::list_dir(DRM_BASE, "card"))
        if (is_card(card)) devices.push_back(read_device(card, ids));
    std::stable_sort(devices.begin(), devices.end(),
                     [](const Device& a, const Device& b) { return a.integrated && !b.integrated; });
    return devices;
}

namespace {

struct Snapshot {
    bool taken = false;
    std::vector<Device> devices;
};

Snapshot& snapshot_storage() {
    static Snapshot s;
    return s;
}

}  // namespace

const std::vector<Device>& snapshot() {
    Snapshot& s = snapshot_storage();
    if (!s.taken) {
        s.devices = collect();
        s.taken = true;
    }
    return s.devices;
}

void forget_snapshot() { snapshot_storage() = Snapshot{}; }

std::string display_name(const Device& dev) {
    if (!dev.name.empty()) return dev.name;
    if (dev.integrated) {
        std::string model = cpu_model_name();
        size_t mark = model.find(" w/ ");
        if (mark != std::string::npos && mark + 4 < model.size()) return util::trim(model.substr(mark + 4));
    }
    return util::to_hex(dev.vendor_id, 4) + ":" + util::to_hex(dev.device_id, 4);
}

}  // namespace gpu
