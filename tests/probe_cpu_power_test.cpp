// The "cpu" page's power-draw and integrated-graphics cards, and its live
// refresh, over whole machines: a processor tree with a DRM class and a
// power-capping zone laid over it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "cpu_machines.h"
#include "fake_drm.h"
#include "fixture.h"
#include "gpu.h"
#include "i18n.h"
#include "probe.h"
#include "probe_cpu.h"
#include "util.h"

namespace {

namespace m = zqtest::machines;
namespace power = probe::cpu_power;
using probe::Card;
using probe::Page;

class CpuPower : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
        power::forget_zone();
        gpu::forget_snapshot();
        ::unsetenv("SNAP_NAME");
    }
    void TearDown() override {
        util::set_number_format(",", ".");
        power::forget_zone();
        ::unsetenv("SNAP_NAME");
    }

    // Only the /sys part of a graphics tree: the processor tree brings its own /proc.
    static void add_graphics(const zqtest::FixtureRoot& root, const std::string& tree) {
        std::filesystem::copy(zqtest::test_data(tree) + "/sys", root.dir() + "/sys",
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks |
                                  std::filesystem::copy_options::overwrite_existing);
    }
    static void add_zone(const zqtest::FixtureRoot& root, const std::string& entry, const std::string& name,
                         const std::string& energy, uint64_t pl1_uw, uint64_t pl2_uw) {
        const std::string dir = "/sys/devices/virtual/powercap/intel-rapl/" + entry;
        root.write(dir + "/name", name + "\n");
        root.write(dir + "/energy_uj", energy);
        root.write(dir + "/max_energy_range_uj", "262143328850\n");
        root.write(dir + "/constraint_0_power_limit_uw", std::to_string(pl1_uw) + "\n");
        root.write(dir + "/constraint_1_power_limit_uw", std::to_string(pl2_uw) + "\n");
        root.symlink("/sys/class/powercap/" + entry, "../../devices/virtual/powercap/intel-rapl/" + entry);
    }
};

const Card* card(const Page& page, const char* title_key) {
    for (const Card& c : page.cards)
        if (c.title == tr(title_key)) return &c;
    return nullptr;
}

const probe::Row* row(const Card* c, const char* name_key) {
    if (!c) return nullptr;
    for (const probe::Row& r : c->rows)
        if (r.name == tr(name_key)) return &r;
    return nullptr;
}

std::string value(const Card* c, const char* name_key) {
    const probe::Row* r = row(c, name_key);
    return r ? r->value : "<none>";
}

TEST(CpuPowerSampling, CounterToWatts) {
    power::RaplState s;
    s.max_uj = 262143999999;
    power::take_sample(s, "1000000\n", 5000);
    EXPECT_DOUBLE_EQ(s.watt, -1.0);  // one sample is no interval yet
    power::take_sample(s, "3000000", 6000);
    EXPECT_DOUBLE_EQ(s.watt, 2.0);
    // Two samples within the same millisecond keep the power, take the counter.
    power::take_sample(s, "9000000", 6000);
    EXPECT_DOUBLE_EQ(s.watt, 2.0);
    EXPECT_EQ(s.last_uj, 9000000u);

    power::RaplState w;
    w.max_uj = 262143999999;
    power::take_sample(w, "262143000000", 1000);
    power::take_sample(w, "1000000", 2000);
    EXPECT_NEAR(w.watt, 1.999999, 1e-9);

    power::RaplState no_range;
    power::take_sample(no_range, "5000", 1000);
    power::take_sample(no_range, "1000", 2000);
    EXPECT_DOUBLE_EQ(no_range.watt, 0.0);
}

TEST(CpuPowerSampling, FailedReadIsNoSample) {
    power::RaplState s;
    power::take_sample(s, "1000000", 1000);
    power::take_sample(s, "2000000", 2000);
    ASSERT_DOUBLE_EQ(s.watt, 1.0);
    power::take_sample(s, "", 3000);  // transient failure
    EXPECT_DOUBLE_EQ(s.watt, 1.0);
    EXPECT_EQ(s.last_uj, 2000000u);
    EXPECT_EQ(s.last_ms, 2000);
    power::take_sample(s, "4000000", 4000);  // measured over the whole gap
    EXPECT_DOUBLE_EQ(s.watt, 1.0);
}

TEST_F(CpuPower, ZoneSearchTakesFirstPackageZone) {
    zqtest::FixtureRoot root;
    add_zone(root, "intel-rapl:0:0", "core", "5\n", 0, 0);
    add_zone(root, "intel-rapl:1", "package-1", "7\n", 0, 0);
    add_zone(root, "intel-rapl:0", "package-0", "", 0, 0);
    add_zone(root, "intel-rapl:2", "psys", "9\n", 0, 0);
    power::RaplState z = power::find_zone();
    EXPECT_EQ(z.path, "/sys/class/powercap/intel-rapl:0");
    EXPECT_FALSE(z.readable);
    EXPECT_EQ(z.max_uj, 262143328850u);
    root.remove("/sys/class/powercap");
    EXPECT_EQ(power::find_zone().path, "");
}

TEST_F(CpuPower, IntelLaptopCardsAndLiveRefresh) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::hybrid_laptop());
    add_graphics(root, "gpu/intel");
    add_zone(root, "intel-rapl:0", "package-0", "1000000\n", 28000000, 64000000);
    Page page = probe::collect_cpu(-1);

    const Card* draw = card(page, "sec.power_draw");
    ASSERT_TRUE(draw);
    EXPECT_EQ(value(draw, "f.power_now"), "\u2026");  // first sample of the process
    EXPECT_EQ(row(draw, "f.power_now")->live, "cpu.power");
    EXPECT_EQ(value(draw, "f.power_limit_long"), "28.0 W");
    EXPECT_EQ(value(draw, "f.power_limit_short"), "64.0 W");
    EXPECT_EQ(row(draw, "f.temperature")->live, "cpu.temp");
    EXPECT_EQ(value(draw, "f.power_package"), "<none>");
    EXPECT_TRUE(draw->hint.empty());

    const Card* igpu = card(page, "sec.igpu");
    ASSERT_TRUE(igpu);
    EXPECT_EQ(row(igpu, "f.model")->note, "0000:00:02.0");
    EXPECT_FALSE(value(igpu, "f.model").empty());
    EXPECT_EQ(value(igpu, "f.gpu_freq_cur"), "700 MHz");
    EXPECT_EQ(row(igpu, "f.gpu_freq_cur")->live, "gpu.freq");
    EXPECT_EQ(value(igpu, "f.gpu_load"), "<none>");  // i915 has no busy file

    // Cards come in page order: idle states, power draw, integrated graphics, caches.
    std::vector<std::string> titles;
    for (const Card& c : page.cards) titles.push_back(c.title);
    auto at = [&](const char* key) { return std::find(titles.begin(), titles.end(), tr(key)) - titles.begin(); };
    EXPECT_LT(at("sec.power_draw"), at("sec.igpu"));
    EXPECT_LT(at("sec.igpu"), at("sec.cache"));

    // Remember where every row lives: the window holds pointers into the page.
    std::vector<const probe::Row*> addresses;
    for (const Card& c : page.cards)
        for (const probe::Row& r : c.rows) addresses.push_back(&r);
    const Page before = page;

    root.write("/sys/class/drm/card0/gt_cur_freq_mhz", "1250\n");
    root.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_cur_freq", "4700000\n");
    for (int tick = 0; tick < 10; ++tick) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        root.write("/sys/devices/virtual/powercap/intel-rapl/intel-rapl:0/energy_uj",
                   std::to_string(1000000 + (tick + 1) * 100000) + "\n");
        probe::refresh_live_cpu(page);
    }
    ASSERT_EQ(page.cards.size(), before.cards.size());
    size_t k = 0;
    for (size_t i = 0; i < page.cards.size(); ++i) {
        ASSERT_EQ(page.cards[i].rows.size(), before.cards[i].rows.size());
        ASSERT_EQ(page.cards[i].cores.size(), before.cards[i].cores.size());
        for (size_t j = 0; j < page.cards[i].rows.size(); ++j, ++k) {
            const probe::Row& r = page.cards[i].rows[j];
            EXPECT_EQ(&r, addresses[k]);
            EXPECT_EQ(r.name, before.cards[i].rows[j].name);
            if (r.live.empty()) {
                EXPECT_EQ(r.value, before.cards[i].rows[j].value) << r.name;
            }
        }
    }
    draw = card(page, "sec.power_draw");
    EXPECT_NE(value(draw, "f.power_now"), "\u2026");
    EXPECT_TRUE(util::ends_with(value(draw, "f.power_now"), " W"));
    EXPECT_EQ(value(card(page, "sec.igpu"), "f.gpu_freq_cur"), "1.25 GHz");
    EXPECT_TRUE(util::ends_with(value(card(page, "sec.clock"), "f.freq_current"), "4.70 GHz"));
    for (const probe::Stat& s : page.stats) {
        if (s.live == "stat.freq") {
            EXPECT_EQ(s.value, "4.70 GHz");
        }
    }
}

TEST_F(CpuPower, ApuLaptopShowsGraphicsPowerAndLoad) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::amd_desktop());
    add_graphics(root, "gpu/apu");
    add_zone(root, "intel-rapl:0", "package-0", "", 0, 0);  // counter readable by root only
    Page page = probe::collect_cpu(-1);
    const Card* draw = card(page, "sec.power_draw");
    ASSERT_TRUE(draw);
    EXPECT_EQ(value(draw, "f.power_package"), "9.1 W");
    EXPECT_EQ(row(draw, "f.power_package")->live, "soc.power");
    EXPECT_EQ(value(draw, "f.power_now"), "<none>");
    EXPECT_TRUE(draw->hint.empty());  // the graphics power is something to show

    const Card* igpu = card(page, "sec.igpu");
    ASSERT_TRUE(igpu);
    EXPECT_EQ(value(igpu, "f.gpu_load"), "7 %");
    EXPECT_EQ(value(igpu, "f.gpu_freq_cur"), "400 MHz");

    root.write("/sys/devices/pci0000:00/0000:00:08.1/0000:04:00.0/gpu_busy_percent", "63\n");
    root.write("/sys/devices/pci0000:00/0000:00:08.1/0000:04:00.0/hwmon/hwmon4/power1_input", "15000000\n");
    probe::refresh_live_cpu(page);
    EXPECT_EQ(value(card(page, "sec.igpu"), "f.gpu_load"), "63 %");
    EXPECT_EQ(value(card(page, "sec.power_draw"), "f.power_package"), "15.0 W");

    // The device gone at a tick: its rows keep their last texts.
    root.remove("/sys/class/drm");
    probe::refresh_live_cpu(page);
    EXPECT_EQ(value(card(page, "sec.igpu"), "f.gpu_load"), "63 %");
}

TEST_F(CpuPower, RefreshKeepsTheIntegratedDeviceAndLetsItSleep) {
    zqtest::FakeDriver driver;
    zqtest::FakeDriver::current = &driver;
    const gpu::detail::IoctlFn saved = gpu::detail::ioctl_fn;
    gpu::detail::ioctl_fn = zqtest::FakeDriver::ioctl;
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::amd_desktop());
    add_graphics(root, "gpu/apu");
    root.write("/dev/dri/renderD128", "");
    Page page = probe::collect_cpu(-1);
    for (uint32_t load : {21u, 34u}) {
        driver.asked.clear();
        driver.sensors[AMDGPU_INFO_SENSOR_GPU_LOAD] = load;
        probe::refresh_live_cpu(page);
        EXPECT_EQ(value(card(page, "sec.igpu"), "f.gpu_load"), std::to_string(load) + " %");
        // Its sensors and memory use only: no enumeration, no capability queries.
        EXPECT_EQ(driver.asked.size(), 7u);
        for (const auto& [query, word] : driver.asked)
            EXPECT_TRUE(query == AMDGPU_INFO_SENSOR || query == AMDGPU_INFO_MEMORY) << query;
    }
    root.write("/sys/devices/pci0000:00/0000:00:08.1/0000:04:00.0/power/runtime_status", "suspended\n");
    driver.asked.clear();
    driver.sensors[AMDGPU_INFO_SENSOR_GPU_LOAD] = 90;
    probe::refresh_live_cpu(page);
    EXPECT_TRUE(driver.asked.empty());
    EXPECT_EQ(value(card(page, "sec.igpu"), "f.gpu_load"), "34 %");
    gpu::detail::ioctl_fn = saved;
    zqtest::FakeDriver::current = nullptr;
}

TEST_F(CpuPower, DesktopWithDiscreteCardOnly) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::amd_desktop());
    add_graphics(root, "gpu/discrete");
    add_zone(root, "intel-rapl:0", "package-0", "", 0, 0);
    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(card(page, "sec.igpu"), nullptr);
    const Card* draw = card(page, "sec.power_draw");
    ASSERT_TRUE(draw);
    EXPECT_NE(value(draw, "f.temperature"), "<none>");
    EXPECT_EQ(draw->hint, tr("msg.power_needs_root"));
    EXPECT_FALSE(draw->hint_elevates);
}

TEST_F(CpuPower, RootHintOnlyForAZoneThatRefusesItsCounter) {
    zqtest::FixtureRoot root;
    m::write_machine(root.dir(), m::offline_vm());
    add_graphics(root, "gpu/vm");
    root.remove("/sys/class/hwmon");
    Page page = probe::collect_cpu(-1);
    EXPECT_EQ(card(page, "sec.power_draw"), nullptr) << "no zone: nothing that root could read either";
    EXPECT_EQ(card(page, "sec.igpu"), nullptr);
    add_zone(root, "intel-rapl:0", "package-0", "", 0, 0);
    power::forget_zone();
    page = probe::collect_cpu(-1);
    const Card* locked = card(page, "sec.power_draw");
    ASSERT_TRUE(locked);
    EXPECT_TRUE(locked->rows.empty());
    EXPECT_EQ(locked->hint, tr("msg.power_needs_root"));
    root.remove("/sys/class/powercap");
    power::forget_zone();

    ::setenv("SNAP_NAME", "zorvq", 1);
    page = probe::collect_cpu(-1);
    const Card* draw = card(page, "sec.power_draw");
    ASSERT_TRUE(draw);
    EXPECT_NE(draw->hint.find("sudo snap connect zorvq:hardware-observe"), std::string::npos);
}

TEST_F(CpuPower, IntegratedModelFallsBackToProcessorNameThenIds) {
    zqtest::FixtureRoot root;
    m::Machine machine = m::offline_vm();
    write_machine(root.dir(), machine);
    const std::string dev = "/sys/devices/pci0000:00/0000:00:02.0";
    root.write(dev + "/vendor", "0x1002\n");
    root.write(dev + "/device", "0x164e\n");
    root.symlink(dev + "/driver", "../../../bus/pci/drivers/amdgpu");
    root.write(dev + "/mem_info_vram_total", "536870912\n");
    root.write(dev + "/mem_info_gtt_total", "8589934592\n");
    root.symlink("/sys/class/drm/card0/device", "../../../devices/pci0000:00/0000:00:02.0");
    std::string cpuinfo = util::read_file_raw("/proc/cpuinfo");
    Page page = probe::collect_cpu(-1);
    const Card* igpu = card(page, "sec.igpu");
    ASSERT_TRUE(igpu);
    // 164e is not named by the database version every system has; either the
    // database name or the ids stand, never an empty row.
    EXPECT_FALSE(value(igpu, "f.model").empty());

    std::string with_graphics;
    for (const std::string& line : util::split(cpuinfo, '\n'))
        with_graphics += util::starts_with(line, "model name")
                             ? "model name\t: AMD Ryzen 5 2400G w/ Radeon Vega Graphics  \n"
                             : line + "\n";
    root.write("/proc/cpuinfo", with_graphics);
    root.write(dev + "/device", "0xffff\n");  // an id no database names
    gpu::forget_snapshot();                     // a new page collection
    page = probe::collect_cpu(-1);
    igpu = card(page, "sec.igpu");
    ASSERT_TRUE(igpu);
    EXPECT_EQ(value(igpu, "f.model"), "Radeon Vega Graphics");
    EXPECT_EQ(row(igpu, "f.model")->note, "model name");
}

}  // namespace
