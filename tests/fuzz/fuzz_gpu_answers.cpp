// What a graphics driver answers to our queries, as arbitrary bytes: the
// decoders read only what they were given and leave texts UTF-8.
#include "gpu.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    gpu::Device dev;
    const uint8_t* body = data + 1;
    const size_t n = size - 1;
    switch (data[0] % 5) {
        case 0:
            gpu::detail::apply_device_info(body, n, dev);
            break;
        case 1:
            gpu::detail::apply_video_caps(body, n, data[0] & 8, dev);
            break;
        case 2:
            gpu::detail::apply_memory_info(body, n, dev);
            break;
        case 3:
            if (n >= 8) {
                uint32_t type = body[0] | body[1] << 8 | body[2] << 16 | static_cast<uint32_t>(body[3]) << 24;
                uint32_t value =
                    body[4] | body[5] << 8 | body[6] << 16 | static_cast<uint32_t>(body[7]) << 24;
                gpu::detail::apply_sensor(type, value, dev);
            }
            break;
        default: {
            fuzz::write_under_root("/sys/class/drm/card0/device/pp_dpm_sclk", fuzz::bytes(body, n));
            uint64_t max_khz = 0;
            gpu::detail::parse_dpm_active("/sys/class/drm/card0/device/pp_dpm_sclk", &max_khz);
            break;
        }
    }
    fuzz::require_utf8(dev.vram_type, "memory type");
    for (const gpu::Device::Codec& c : dev.codecs) fuzz::require_utf8(c.name, "codec name");
    return 0;
}
