#include <gtest/gtest.h>

#include "fake_drm.h"
#include "fixture.h"
#include "gpu.h"

namespace {

using gpu::Device;
namespace d = gpu::detail;
using zqtest::FakeDriver;
using zqtest::WithFakeDriver;

TEST(GpuEnumeration, NoDrmClassOrOnlyConnectors) {
    zqtest::FixtureRoot root;
    EXPECT_TRUE(gpu::collect().empty());
    root.mkdir("/sys/class/drm/card0-eDP-1");
    EXPECT_TRUE(gpu::collect().empty());
}

TEST(GpuEnumeration, ApuLaptopWithoutDriverAnswers) {
    // The fixture's render node is a plain file: every ioctl fails, quietly.
    zqtest::ScopedRoot root(zqtest::test_data("gpu/apu"));
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 1u);
    const Device& g = devs[0];
    EXPECT_EQ(g.card, "card0");
    EXPECT_EQ(g.pci, "0000:04:00.0");
    EXPECT_EQ(g.driver, "amdgpu");
    EXPECT_EQ(g.module, "amdgpu");
    EXPECT_EQ(g.vendor_id, 0x1002);
    EXPECT_EQ(g.device_id, 0x1681);
    EXPECT_EQ(g.vbios, "113-REMBRANDT-X37");
    EXPECT_EQ(g.power_state, "performance");
    EXPECT_EQ(g.performance_level, "auto");
    EXPECT_TRUE(g.integrated);  // VRAM carve-out smaller than GTT
    EXPECT_EQ(g.shader_label, "");
    EXPECT_EQ(g.busy_percent, 7);
    EXPECT_EQ(g.vram_total, 536870912u);
    EXPECT_EQ(g.vram_used, 203423744u);
    EXPECT_EQ(g.cur_khz, 400000u);
    EXPECT_EQ(g.sysfs_max_khz, 2200000u);
    EXPECT_DOUBLE_EQ(g.temperature_c, 43.0);
    EXPECT_DOUBLE_EQ(g.power_w, 9.132);
    EXPECT_DOUBLE_EQ(g.voltage_v, -1.0);
    ASSERT_EQ(g.clocks.size(), 3u);
    EXPECT_EQ(g.clocks[0].label, "sclk");
    EXPECT_EQ(g.clocks[0].mhz, (std::vector<uint32_t>{200, 400, 2200}));
    EXPECT_EQ(g.clocks[0].active_mhz, 400u);
    EXPECT_EQ(g.clocks[1].active_mhz, 1200u);
    EXPECT_EQ(g.clocks[2].label, "fclk");
    ASSERT_EQ(g.connectors.size(), 2u);
    EXPECT_EQ(g.connectors[0].name, "DP-1");
    EXPECT_TRUE(g.connectors[0].connected);  // the external monitor
    EXPECT_EQ(g.connectors[0].mode, "2560x1440");
    EXPECT_EQ(g.connectors[1].name, "eDP-1");
    EXPECT_TRUE(g.connectors[1].connected);
    EXPECT_EQ(g.connectors[1].mode, "2880x1800");
    ASSERT_EQ(g.ip_blocks.size(), 4u);
    EXPECT_EQ(g.ip_blocks[0].name, "GC");
    EXPECT_EQ(g.ip_blocks[0].version, "10.3.5");
    EXPECT_EQ(g.ip_blocks[3].name, "DMU");
    EXPECT_EQ(g.ip_blocks[3].version, "3.1");  // empty revision file
}

TEST(GpuEnumeration, DiscreteCardIntelIgpuAndVm) {
    {
        zqtest::ScopedRoot root(zqtest::test_data("gpu/discrete"));
        auto devs = gpu::collect();
        ASSERT_EQ(devs.size(), 1u);
        EXPECT_FALSE(devs[0].integrated);
        EXPECT_EQ(devs[0].card, "card1");
        EXPECT_DOUBLE_EQ(devs[0].power_w, 31.0);  // power1_average: no power1_input here
        EXPECT_EQ(devs[0].busy_percent, 0);
        EXPECT_EQ(devs[0].cur_khz, 800000u);
    }
    {
        zqtest::ScopedRoot root(zqtest::test_data("gpu/intel"));
        auto devs = gpu::collect();
        ASSERT_EQ(devs.size(), 1u);
        const Device& g = devs[0];
        EXPECT_TRUE(g.integrated);  // i915 without memory files
        EXPECT_EQ(g.cur_khz, 700000u);
        EXPECT_EQ(g.sysfs_max_khz, 1400000u);
        EXPECT_EQ(g.busy_percent, -1);
        EXPECT_EQ(g.shader_cores, 0u);  // render node missing: no query
        EXPECT_EQ(gpu::display_name(g).empty(), false);
    }
    {
        zqtest::ScopedRoot root(zqtest::test_data("gpu/vm"));
        auto devs = gpu::collect();
        ASSERT_EQ(devs.size(), 1u);
        const Device& g = devs[0];
        EXPECT_FALSE(g.integrated);
        EXPECT_EQ(g.driver, "bochs-drm");
        EXPECT_EQ(g.busy_percent, -1);
        EXPECT_DOUBLE_EQ(g.temperature_c, -300.0);
        EXPECT_DOUBLE_EQ(g.power_w, -1.0);
        EXPECT_EQ(g.cur_khz, 0u);
        ASSERT_EQ(g.connectors.size(), 1u);
        EXPECT_EQ(g.connectors[0].mode, "1024x768");
    }
}

TEST(GpuEnumeration, IntegratedFirstAndNaturalCardOrder) {
    zqtest::FixtureRoot root;
    auto card = [&](const std::string& name, const std::string& driver, uint64_t vram, uint64_t gtt) {
        const std::string dev = "/sys/devices/pci0000:00/" + name;
        root.write(dev + "/vendor", "0x1002\n");
        root.write(dev + "/device", "0x7480\n");
        root.symlink(dev + "/driver", "../../../bus/pci/drivers/" + driver);
        if (vram) root.write(dev + "/mem_info_vram_total", std::to_string(vram));
        if (gtt) root.write(dev + "/mem_info_gtt_total", std::to_string(gtt));
        root.symlink("/sys/class/drm/" + name + "/device", "../../../devices/pci0000:00/" + name);
    };
    const uint64_t gib = 1ULL << 30;
    card("card10", "amdgpu", 8 * gib, 16 * gib);  // integrated by memory sizes
    card("card2", "amdgpu", 16 * gib, 8 * gib);
    card("card3", "nouveau", 0, 0);
    card("card1", "xe", 0, 0);
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 4u);
    EXPECT_EQ(devs[0].card, "card1");
    EXPECT_EQ(devs[1].card, "card10");
    EXPECT_EQ(devs[2].card, "card2");
    EXPECT_EQ(devs[3].card, "card3");
    EXPECT_FALSE(devs[3].integrated);
}

TEST(GpuNaming, DisplayNameRules) {
    zqtest::FixtureRoot root;
    root.write("/proc/cpuinfo",
               "processor\t: 0\nmodel name\t: AMD Ryzen 5 2400G w/ Radeon Vega Graphics  \n");
    Device g;
    g.vendor_id = 0x8086;
    g.device_id = 0x46A6;
    EXPECT_EQ(gpu::display_name(g), "8086:46a6");
    g.integrated = true;
    EXPECT_EQ(gpu::display_name(g), "Radeon Vega Graphics");
    g.name = "Alder Lake-P GT2";
    EXPECT_EQ(gpu::display_name(g), "Alder Lake-P GT2");
    root.write("/proc/cpuinfo", "model name\t: AMD Ryzen 5 2400G w/ \n");
    g.name.clear();
    EXPECT_EQ(gpu::display_name(g), "8086:46a6");
}

TEST(GpuDecoding, DeviceInfoRecord) {
    alignas(8) unsigned char raw[d::DEV_INFO_SIZE] = {};
    drm_amdgpu_info_device info{};
    info.device_id = 0x15bf;
    info.num_shader_engines = 2;
    info.num_shader_arrays_per_engine = 2;
    info.num_cu_per_sh = 10;
    info.max_engine_clock = 2700000;
    info.max_memory_clock = 3200000;
    info.vram_type = 6;
    info.vram_bit_width = 128;
    info.ids_flags = AMDGPU_IDS_FLAGS_FUSION;
    std::memcpy(raw, &info, sizeof info);
    Device g;
    d::apply_device_info(raw, sizeof raw, g);
    EXPECT_EQ(g.compute_units, 40u);
    EXPECT_EQ(g.shader_cores, 2560u);
    EXPECT_EQ(g.shader_engines, 2u);
    EXPECT_EQ(g.shader_label, "Compute Units");
    EXPECT_EQ(g.max_engine_khz, 2700000u);
    EXPECT_EQ(g.max_memory_khz, 3200000u);
    EXPECT_EQ(g.vram_type, "HBM");
    EXPECT_EQ(g.vram_bits, 128u);
    EXPECT_EQ(g.device_id, 0x15bf);
    EXPECT_TRUE(g.driver_says_integrated);

    info.cu_active_number = 12;
    info.vram_type = 13;
    info.ids_flags = 0;
    std::memcpy(raw, &info, sizeof info);
    Device h;
    h.device_id = 0x1681;
    d::apply_device_info(raw, sizeof raw, h);
    EXPECT_EQ(h.compute_units, 12u);
    EXPECT_EQ(h.vram_type, "");
    EXPECT_EQ(h.device_id, 0x1681);  // sysfs id kept
    EXPECT_FALSE(h.driver_says_integrated);
    EXPECT_EQ(d::vram_type_name(0), "");
    EXPECT_EQ(d::vram_type_name(12), "LPDDR5");
    Device short_answer;
    d::apply_device_info(raw, 16, short_answer);  // truncated record: ignored
    EXPECT_EQ(short_answer.shader_label, "");
}

TEST(GpuDecoding, SensorsAndMemory) {
    Device g;
    d::apply_sensor(AMDGPU_INFO_SENSOR_GPU_TEMP, 0, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GFX_SCLK, 0, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GPU_AVG_POWER, 0, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_VDDGFX, 0, g);
    EXPECT_DOUBLE_EQ(g.temperature_c, -300.0);
    EXPECT_EQ(g.cur_khz, 0u);
    EXPECT_DOUBLE_EQ(g.power_w, -1.0);
    EXPECT_DOUBLE_EQ(g.voltage_v, -1.0);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GPU_LOAD, 0, g);
    EXPECT_EQ(g.busy_percent, 0);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GPU_TEMP, 51250, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GFX_SCLK, 1800, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GFX_MCLK, 1000, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GPU_AVG_POWER, 25, g);
    d::apply_sensor(AMDGPU_INFO_SENSOR_VDDGFX, 1118, g);
    EXPECT_DOUBLE_EQ(g.temperature_c, 51.25);
    EXPECT_EQ(g.cur_khz, 1800000u);
    EXPECT_EQ(g.mem_khz, 1000000u);
    EXPECT_DOUBLE_EQ(g.power_w, 25.0);
    EXPECT_DOUBLE_EQ(g.voltage_v, 1.118);
    d::apply_sensor(AMDGPU_INFO_SENSOR_GFX_MCLK, 4294968, g);
    EXPECT_EQ(g.mem_khz, 4294968000u);

    drm_amdgpu_memory_info mem{};
    mem.vram.heap_usage = 3u << 20;
    mem.cpu_accessible_vram.total_heap_size = 256u << 20;
    mem.gtt.heap_usage = 5u << 20;
    alignas(8) unsigned char raw[d::MEMORY_INFO_SIZE];
    std::memcpy(raw, &mem, sizeof mem);
    d::apply_memory_info(raw, sizeof raw, g);
    EXPECT_EQ(g.vram_used, 3u << 20);
    EXPECT_EQ(g.vram_visible, 256u << 20);
    EXPECT_EQ(g.gtt_used, 5u << 20);
}

TEST(GpuDecoding, VideoCapsMergeBothDirections) {
    drm_amdgpu_info_video_caps dec{}, enc{};
    dec.codec_info[3] = {1, 4096, 2304, 0, 0, 0};  // H.264 decode only
    dec.codec_info[4] = {1, 8192, 4352, 0, 0, 0};  // HEVC both
    enc.codec_info[4] = {1, 4096, 2176, 0, 0, 0};
    enc.codec_info[7] = {1, 8192, 4352, 0, 0, 0};  // AV1 encode only
    Device g;
    unsigned char raw[d::VIDEO_CAPS_SIZE];
    std::memcpy(raw, &dec, sizeof raw);
    d::apply_video_caps(raw, sizeof raw, false, g);
    std::memcpy(raw, &enc, sizeof raw);
    d::apply_video_caps(raw, sizeof raw, true, g);
    ASSERT_EQ(g.codecs.size(), 3u);
    EXPECT_EQ(g.codecs[0].name, "H.264");
    EXPECT_TRUE(g.codecs[0].decode);
    EXPECT_FALSE(g.codecs[0].encode);
    EXPECT_EQ(g.codecs[1].name, "HEVC");
    EXPECT_TRUE(g.codecs[1].decode && g.codecs[1].encode);
    EXPECT_EQ(g.codecs[1].max_width, 8192u);
    EXPECT_EQ(g.codecs[1].max_height, 4352u);
    EXPECT_EQ(g.codecs[2].name, "AV1");
    EXPECT_FALSE(g.codecs[2].decode);
}

TEST(GpuDecoding, RequestCarriesSubtypeForSensorsCodecsAndFirmware) {
    uint32_t buf = 0;
    unsigned char req[32];
    for (uint32_t q : {d::QUERY_SENSOR, d::QUERY_VIDEO_CAPS, d::QUERY_FW_VERSION}) {
        d::build_amdgpu_request(req, &buf, 4, q, 7);
        uint32_t word;
        std::memcpy(&word, req + 16, 4);
        EXPECT_EQ(word, 7u) << "query " << q;
    }
    d::build_amdgpu_request(req, &buf, 4, d::QUERY_MEMORY, 7);
    for (int i = 16; i < 32; ++i) EXPECT_EQ(req[i], 0) << i;
}

TEST(GpuDecoding, ClockLevelFiles) {
    zqtest::FixtureRoot root;
    root.write("/a", "0: 500Mhz\n1: 1800Mhz *\n");
    root.write("/b", "0: 500Mhz\n1: 1800Mhz\n");
    root.write("/c", "garbage\n0: 0Mhz *\n");
    root.write("/d", "0: 500Mhz\n1: 4294968Mhz *\n");  // past 32 bits once in kHz
    uint64_t max = 1;
    EXPECT_EQ(d::parse_dpm_active("/a", &max), 1800000u);
    EXPECT_EQ(max, 1800000u);
    EXPECT_EQ(d::parse_dpm_active("/b", &max), 0u);
    EXPECT_EQ(max, 1800000u);
    EXPECT_EQ(d::parse_dpm_active("/c", &max), 0u);
    EXPECT_EQ(max, 0u);
    EXPECT_EQ(d::parse_dpm_active("/missing", &max), 0u);
    EXPECT_EQ(d::parse_dpm_active("/d", &max), 4294968000u);
    EXPECT_EQ(max, 4294968000u);
}

TEST(GpuHwmon, FirstDirectoryWithTemperatureWins) {
    zqtest::FixtureRoot root;
    const std::string dev = "/sys/devices/pci0000:00/0000:00:02.0";
    root.symlink("/sys/class/drm/card0/device", "../../../devices/pci0000:00/0000:00:02.0");
    root.symlink(dev + "/driver", "../../../bus/pci/drivers/nouveau");
    root.write(dev + "/hwmon/hwmon1/power1_input", "5000000\n");
    root.write(dev + "/hwmon/hwmon1/power1_average", "20000000\n");  // the average wins over the input
    root.write(dev + "/hwmon/hwmon2/temp1_input", "61000\n");
    root.write(dev + "/hwmon/hwmon10/temp1_input", "99000\n");
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_DOUBLE_EQ(devs[0].temperature_c, 61.0);
    EXPECT_DOUBLE_EQ(devs[0].power_w, 20.0);
    root.write(dev + "/hwmon/hwmon1/power1_average", "");
    gpu::refresh_live(devs[0]);
    EXPECT_DOUBLE_EQ(devs[0].power_w, 5.0);
}

TEST_F(WithFakeDriver, AmdgpuQueriesFillTheRecord) {
    driver.dev_info.cu_active_number = 12;
    driver.dev_info.num_shader_engines = 1;
    driver.dev_info.max_engine_clock = 2200000;
    driver.dev_info.vram_type = 12;
    driver.dev_info.ids_flags = AMDGPU_IDS_FLAGS_FUSION;
    driver.sensors = {{AMDGPU_INFO_SENSOR_GFX_SCLK, 2000},
                      {AMDGPU_INFO_SENSOR_GPU_TEMP, 47000},
                      {AMDGPU_INFO_SENSOR_GPU_LOAD, 0},
                      {AMDGPU_INFO_SENSOR_VDDGFX, 900}};
    driver.firmware[AMDGPU_INFO_FW_VCN] = {0x0311001a, 0};
    driver.firmware[AMDGPU_INFO_FW_SMC] = {0x00413f00, 0};
    driver.firmware[AMDGPU_INFO_FW_UVD] = {0, 0};  // version 0: not listed
    driver.caps[0].codec_info[4] = {1, 8192, 4352, 0, 0, 0};
    driver.memory_answers = true;
    driver.memory.vram.heap_usage = 100;
    zqtest::ScopedRoot root(zqtest::test_data("gpu/apu"));
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 1u);
    const Device& g = devs[0];
    EXPECT_EQ(g.compute_units, 12u);
    EXPECT_EQ(g.shader_cores, 768u);
    EXPECT_EQ(g.vram_type, "LPDDR5");
    EXPECT_TRUE(g.driver_says_integrated);
    EXPECT_EQ(g.cur_khz, 2000000u);
    // Without a driver power reading the hwmon files are read and win for both values.
    EXPECT_DOUBLE_EQ(g.temperature_c, 43.0);
    EXPECT_EQ(g.busy_percent, 0);  // the driver's 0 stands; sysfs says 7
    EXPECT_DOUBLE_EQ(g.voltage_v, 0.9);
    EXPECT_DOUBLE_EQ(g.power_w, 9.132);  // no driver power: hwmon fills it
    EXPECT_EQ(g.vram_used, 100u);
    ASSERT_EQ(g.firmwares.size(), 2u);
    EXPECT_EQ(g.firmwares[0].name, "SMC");
    EXPECT_EQ(g.firmwares[1].name, "VCN");
    EXPECT_EQ(g.firmwares[1].version, 0x0311001au);
    ASSERT_EQ(g.codecs.size(), 1u);
    // Device info, 2 codec passes, 15 firmware, then 6 sensors + memory once, by the live refresh.
    EXPECT_EQ(driver.asked.size(), 1u + 2 + 15 + 7);
}

TEST(GpuLive, KeptRecordFollowsEveryRefresh) {
    zqtest::FixtureRoot root("gpu/apu");
    const std::string dev = "/sys/devices/pci0000:00/0000:00:08.1/0000:04:00.0";
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 1u);
    Device kept = devs[0];
    const struct {
        const char* busy;
        const char* used;
        const char* sclk;
        const char* temp;
        int want_busy;
        uint64_t want_used;
        uint32_t want_khz;
        double want_temp;
    } steps[] = {
        {"20\n", "300\n", "0: 200Mhz\n1: 400Mhz\n2: 2200Mhz *\n", "50000\n", 20, 300, 2200000, 50.0},
        {"35\n", "100\n", "0: 200Mhz *\n1: 400Mhz\n2: 2200Mhz\n", "41000\n", 35, 100, 200000, 41.0},
        {"", "", "", "", -1, 0, 0, -300.0},  // files gone: unknown again, not stuck
    };
    for (const auto& step : steps) {
        root.write(dev + "/gpu_busy_percent", step.busy);
        root.write(dev + "/mem_info_vram_used", step.used);
        root.write(dev + "/pp_dpm_sclk", step.sclk);
        root.write(dev + "/hwmon/hwmon4/temp1_input", step.temp);
        gpu::refresh_live(kept);
        EXPECT_EQ(kept.busy_percent, step.want_busy);
        EXPECT_EQ(kept.vram_used, step.want_used);
        EXPECT_EQ(kept.cur_khz, step.want_khz);
        EXPECT_DOUBLE_EQ(kept.temperature_c, step.want_temp);
    }
    EXPECT_EQ(kept.vram_total, devs[0].vram_total);  // the static fields stay
    EXPECT_EQ(kept.connectors.size(), devs[0].connectors.size());
}

TEST_F(WithFakeDriver, SuspendedDeviceIsNeitherOpenedNorRead) {
    driver.sensors = {{AMDGPU_INFO_SENSOR_GPU_LOAD, 5}};
    zqtest::FixtureRoot root("gpu/discrete");
    const std::string dev = "/sys/devices/pci0000:00/0000:00:01.1/0000:01:00.0/0000:02:00.0/0000:03:00.0";
    root.write(dev + "/power/runtime_status", "active\n");
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_FALSE(gpu::runtime_suspended(devs[0]));
    driver.asked.clear();
    root.write(dev + "/power/runtime_status", "suspended\n");
    root.write(dev + "/gpu_busy_percent", "77\n");
    EXPECT_FALSE(gpu::refresh_awake(devs[0]));
    EXPECT_TRUE(driver.asked.empty());
    EXPECT_EQ(devs[0].busy_percent, 5);  // the last reading stays
    root.write(dev + "/power/runtime_status", "active\n");
    EXPECT_TRUE(gpu::refresh_awake(devs[0]));
    EXPECT_EQ(driver.asked.size(), 7u);
}

TEST_F(WithFakeDriver, I915ExecutionUnits) {
    driver.i915_params = {{I915_PARAM_EU_TOTAL, 96}, {I915_PARAM_SUBSLICE_TOTAL, 12}};
    zqtest::FixtureRoot root("gpu/intel");
    root.write("/dev/dri/renderD128", "");
    auto devs = gpu::collect();
    ASSERT_EQ(devs.size(), 1u);
    EXPECT_EQ(devs[0].shader_cores, 96u);
    EXPECT_EQ(devs[0].shader_label, "Execution Units");
    EXPECT_EQ(devs[0].compute_units, 12u);
}

}  // namespace
