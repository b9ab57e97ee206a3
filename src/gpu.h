// Graphics devices of the DRM class: identity, capabilities and live readings
// in one plain record per card.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace gpu {

struct Device {
    struct Codec {
        std::string name;
        bool decode = false;
        bool encode = false;
        uint32_t max_width = 0;
        uint32_t max_height = 0;
    };
    struct ClockLevels {
        std::string label;  // "sclk", "mclk" or "fclk"
        std::vector<uint32_t> mhz;
        uint32_t active_mhz = 0;
    };
    struct Connector {
        std::string name;  // such as "DP-1"
        bool connected = false;
        std::string mode;
    };
    struct Firmware {
        std::string name;
        uint32_t version = 0;
        uint32_t feature = 0;
    };
    struct IpBlock {
        std::string name;
        std::string version;
    };

    std::string card;
    std::string pci;
    std::string name;
    std::string vendor;
    std::string driver;
    bool integrated = false;
    uint16_t vendor_id = 0;
    uint16_t device_id = 0;
    bool driver_says_integrated = false;
    uint32_t compute_units = 0;
    uint32_t shader_cores = 0;
    std::string shader_label;
    uint32_t shader_engines = 0;
    // Clocks in kHz take 64 bits: 32 end at 4.29 GHz.
    uint64_t max_engine_khz = 0;
    uint64_t max_memory_khz = 0;
    uint32_t vram_bits = 0;
    std::string vram_type;
    std::string vbios;
    std::string module;
    std::vector<Codec> codecs;
    std::vector<ClockLevels> clocks;
    std::vector<Connector> connectors;
    std::string power_state;
    std::string performance_level;
    std::vector<Firmware> firmwares;
    std::vector<IpBlock> ip_blocks;
    int32_t busy_percent = -1;
    uint64_t vram_total = 0;
    uint64_t vram_used = 0;
    uint64_t vram_visible = 0;
    uint64_t gtt_total = 0;
    uint64_t gtt_used = 0;
    uint64_t cur_khz = 0;
    uint64_t mem_khz = 0;
    uint64_t sysfs_max_khz = 0;
    double temperature_c = -300.0;
    double power_w = -1.0;
    double voltage_v = -1.0;
};

// Every graphics card of /sys/class/drm, integrated devices first, read fresh.
std::vector<Device> collect();
// The enumeration of the current page collection, shared by every page that
// shows or names graphics devices: made on first use after `forget_snapshot`,
// so one collection of all pages opens each render node once.
const std::vector<Device>& snapshot();
void forget_snapshot();
// True when `collect` would find a device; costs one directory listing.
bool any_device();
// The one naming rule of every page.
std::string display_name(const Device& dev);
// Reads the live readings of one device afresh (load, memory use, clocks,
// temperature, power, voltage); a record kept from an earlier call is reset
// first, so every reading is as current as a new record's.
void refresh_live(Device& dev);
// The kernel has put the device to sleep (runtime power management). Opening
// its render node or reading its driver's files would wake it again.
bool runtime_suspended(const Device& dev);
// `refresh_live` for a device that is awake; a suspended one is left alone,
// record and all, and false comes back. For the refreshers of every tick.
bool refresh_awake(Device& dev);

// Driver answers are decoded by pure functions so that they can be checked
// against hand-filled records; the ioctl itself sits behind `ioctl_fn`.
namespace detail {

using IoctlFn = int (*)(int fd, unsigned long request, void* arg);
// The function that issues DRM ioctls; tests replace it to play a driver.
extern IoctlFn ioctl_fn;

constexpr uint32_t QUERY_FW_VERSION = 0x0E;
constexpr uint32_t QUERY_DEV_INFO = 0x16;
constexpr uint32_t QUERY_MEMORY = 0x19;
constexpr uint32_t QUERY_SENSOR = 0x1D;
constexpr uint32_t QUERY_VIDEO_CAPS = 0x21;
constexpr size_t DEV_INFO_SIZE = 424;
constexpr size_t VIDEO_CAPS_SIZE = 192;
constexpr size_t MEMORY_INFO_SIZE = 96;

// The 32-byte request record of the amdgpu information ioctl, built for one
// query: the sub-type (sensor type, codec direction or firmware id) stands in
// the first word of the trailing union.
void build_amdgpu_request(unsigned char (&request)[32], void* buffer, uint32_t size, uint32_t query,
                          uint32_t subtype);

void apply_device_info(const unsigned char* info, size_t size, Device& dev);
void apply_video_caps(const unsigned char* caps, size_t size, bool encode, Device& dev);
void apply_sensor(uint32_t type, uint32_t value, Device& dev);
void apply_memory_info(const unsigned char* info, size_t size, Device& dev);
std::string vram_type_name(uint32_t code);
// Active level of a clock-level file in kHz (0 when none is marked); the
// highest level in kHz goes to *max_khz.
uint64_t parse_dpm_active(const std::string& path, uint64_t* max_khz);

}  // namespace detail

}  // namespace gpu
