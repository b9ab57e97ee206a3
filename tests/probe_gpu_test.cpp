// The "gpu" page over whole machines: DRM class trees as the kernel lays them
// out, with the driver played behind the ioctl seam.
#include <gtest/gtest.h>

#include <filesystem>

#include "fake_drm.h"
#include "fixture.h"
#include "gpu.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

using probe::Card;
using probe::Page;

const std::string APU_DEV = "/sys/devices/pci0000:00/0000:00:08.1/0000:04:00.0";
const std::string DGPU_DEV = "/sys/devices/pci0000:00/0000:00:01.1/0000:01:00.0/0000:02:00.0/0000:03:00.0";
const std::string IGPU_DEV = "/sys/devices/pci0000:00/0000:00:02.0";

class GpuPage : public zqtest::WithFakeDriver {
protected:
    void SetUp() override {
        WithFakeDriver::SetUp();
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
    }
    void TearDown() override {
        util::set_number_format(",", ".");
        WithFakeDriver::TearDown();
    }
    // A second machine's graphics laid over the fixture (its /sys and /dev).
    static void add_tree(const zqtest::FixtureRoot& root, const std::string& tree) {
        for (const char* top : {"/sys", "/dev"})
            if (std::filesystem::exists(zqtest::test_data(tree) + top))
                std::filesystem::copy(zqtest::test_data(tree) + top, root.dir() + top,
                                      std::filesystem::copy_options::recursive |
                                          std::filesystem::copy_options::copy_symlinks |
                                          std::filesystem::copy_options::overwrite_existing);
    }
};

std::vector<std::string> titles(const Page& page) {
    std::vector<std::string> out;
    for (const Card& c : page.cards) out.push_back(c.title + (c.subtitle.empty() ? "" : " | " + c.subtitle));
    return out;
}

const probe::Row* row(const Card& card, const std::string& name) {
    for (const probe::Row& r : card.rows)
        if (r.name == name) return &r;
    return nullptr;
}

std::string value(const Card& card, const std::string& name) {
    const probe::Row* r = row(card, name);
    return r ? r->value : "-";
}

const probe::Stat* stat(const Page& page, const char* key) {
    for (const probe::Stat& s : page.stats)
        if (s.label == tr(key)) return &s;
    return nullptr;
}

std::string T(const char* key) { return tr(key); }

TEST_F(GpuPage, ApuLaptopWithPanelAndExternalMonitor) {
    driver.dev_info.cu_active_number = 12;
    driver.dev_info.num_shader_engines = 1;
    driver.dev_info.vram_type = 12;
    driver.dev_info.ids_flags = AMDGPU_IDS_FLAGS_FUSION;
    driver.sensors = {{AMDGPU_INFO_SENSOR_GFX_SCLK, 2000},  {AMDGPU_INFO_SENSOR_GFX_MCLK, 3200},
                      {AMDGPU_INFO_SENSOR_GPU_TEMP, 47000}, {AMDGPU_INFO_SENSOR_GPU_LOAD, 12},
                      {AMDGPU_INFO_SENSOR_VDDGFX, 900},     {AMDGPU_INFO_SENSOR_GPU_AVG_POWER, 15}};
    driver.firmware[AMDGPU_INFO_FW_SMC] = {0x1234, 45};
    driver.caps[0].codec_info[3] = {1, 4096, 2304, 0, 0, 0};
    driver.caps[1].codec_info[3] = {1, 4096, 2304, 0, 0, 0};
    driver.memory_answers = true;
    driver.memory.vram.heap_usage = 256u << 20;
    zqtest::FixtureRoot root("gpu/apu");
    Page page = probe::collect_gpu(-1);

    EXPECT_TRUE(page.selector.options.empty());  // one device: no chooser
    EXPECT_EQ(page.subline, T("value.integrated") + "   \u00b7   amdgpu");
    ASSERT_TRUE(stat(page, "f.gpu_load"));
    EXPECT_EQ(stat(page, "f.gpu_load")->live, "stat.gpu_load:card0");
    EXPECT_EQ(stat(page, "f.temperature")->value, "47");
    const std::vector<std::string> want = {T("sec.igpu"),
                                           T("sec.clock"),
                                           T("sec.gpu_status"),
                                           T("sec.video") + " | " + T("msg.video_legend"),
                                           T("sec.chip"),
                                           T("sec.firmware"),
                                           T("f.max_child") + " | 2 / 2",
                                           T("sec.monitor") + " | DP-1",
                                           T("sec.monitor") + " | eDP-1"};
    EXPECT_EQ(titles(page), want);

    // Driver answers reach their rows: clocks, memory use, codecs, firmware.
    EXPECT_EQ(row(page.cards[1], T("f.gpu_freq_cur"))->live, "gpu.freq:card0");
    EXPECT_EQ(value(page.cards[1], T("f.gpu_freq_cur")), "2.00 GHz");
    EXPECT_EQ(page.cards[2].usage[0].used, 256u << 20);
    EXPECT_EQ(value(page.cards[2], T("f.memory_type")), "LPDDR5");
    EXPECT_EQ(page.cards[3].chips[0].note, T("f.decode") + " + " + T("f.encode") + "  4,096\u00d72,304");
    EXPECT_EQ(page.cards[5].rows[0].extra, "feat 45");
    EXPECT_EQ(value(page.cards[7], T("f.model")), "ZQ View 27");
    EXPECT_EQ(value(page.cards[8], T("f.screen_size")), "2,880 \u00d7 1,800");
}

TEST_F(GpuPage, DiscreteCardPortsAndIntelIgpu) {
    {
        zqtest::FixtureRoot root("gpu/discrete");
        root.write(DGPU_DEV + "/current_link_speed", "16.0 GT/s PCIe\n");
        root.write(DGPU_DEV + "/current_link_width", "16\n");
        root.write(DGPU_DEV + "/max_link_speed", "16.0 GT/s PCIe\n");
        root.write(DGPU_DEV + "/max_link_width", "16\n");
        root.write(DGPU_DEV + "/vbios_version", "113-D41\xff\xfe\n");  // firmware bytes
        root.write(DGPU_DEV + "/drm/card1/card1-DP-2/modes", "3840x2160\xc3\n");
        Page page = probe::collect_gpu(-1);
        for (const Card& c : page.cards)
            for (const probe::Row& r : c.rows) EXPECT_TRUE(util::is_valid_utf8(r.name + r.value)) << r.value;
        EXPECT_EQ(page.subline, T("value.discrete") + "   \u00b7   amdgpu");
        EXPECT_EQ(row(page.cards[0], T("f.pcie_link"))->extra, "");  // at its maximum
        const Card* ports = nullptr;
        for (const Card& c : page.cards)
            if (c.title == T("f.max_child")) ports = &c;
        ASSERT_TRUE(ports);
        EXPECT_EQ(ports->subtitle, "2 / 3");
        ASSERT_EQ(ports->rows.size(), 3u);
        EXPECT_EQ(ports->rows[1].name, "DP-2");
        EXPECT_TRUE(util::starts_with(ports->rows[1].value, "3840x2160"));
        EXPECT_EQ(ports->rows[2].value, "1");  // not connected
        const Card& last = page.cards.back();
        EXPECT_EQ(last.subtitle, "DP-2");  // its EDID file is empty
        EXPECT_TRUE(last.rows.empty());
        EXPECT_EQ(last.hint, T("msg.no_edid"));
        EXPECT_EQ(value(page.cards[page.cards.size() - 2], T("f.model")), "ZQ Office 24");
    }
    {
        driver.i915_params = {{I915_PARAM_EU_TOTAL, 96}, {I915_PARAM_SUBSLICE_TOTAL, 6}};
        zqtest::FixtureRoot root("gpu/intel");
        root.write("/dev/dri/renderD128", "");
        Page page = probe::collect_gpu(-1);
        ASSERT_FALSE(page.stats.empty());
        // The execution units are what the label names, not the subslices.
        EXPECT_EQ(page.stats[0].label, "Execution Units");
        EXPECT_EQ(page.stats[0].value, "96");
        EXPECT_EQ(value(page.cards[1], T("f.gpu_freq_max")), "1.40 GHz");  // from sysfs
        EXPECT_EQ(value(page.cards.back(), T("f.model")), "ZQ Panel 14");
    }
}

// 4294968 MHz is past 32 bits once counted in kHz, whether the clocks come
// from levels or from i915 files.
TEST_F(GpuPage, ClocksPastFourGigahertzInKilohertz) {
    for (const bool apu : {true, false}) {
        zqtest::FixtureRoot root(apu ? "gpu/apu" : "gpu/intel");
        if (apu) root.write(APU_DEV + "/pp_dpm_sclk", "0: 200Mhz\n1: 4294968Mhz *\n");
        if (!apu)
            for (const char* gt : {"cur", "max"})
                root.write(std::string("/sys/class/drm/card0/gt_") + gt + "_freq_mhz", "4294968\n");
        const Card clock = probe::collect_gpu(-1).cards[1];
        EXPECT_EQ(value(clock, T("f.gpu_freq_cur")), util::fmt_mhz(4294968)) << apu;
        EXPECT_EQ(value(clock, T("f.gpu_freq_max")), util::fmt_mhz(4294968)) << apu;
    }
}

// An Intel laptop with a discrete amdgpu card that the kernel has put to sleep.
class HybridLaptop : public GpuPage {
protected:
    void SetUp() override {
        GpuPage::SetUp();
        driver.sensors = {{AMDGPU_INFO_SENSOR_GFX_SCLK, 1200}, {AMDGPU_INFO_SENSOR_GPU_LOAD, 3}};
        root = std::make_unique<zqtest::FixtureRoot>("gpu/intel");
        add_tree(*root, "gpu/discrete");
        root->write(IGPU_DEV + "/power/runtime_status", "active\n");
        root->write(DGPU_DEV + "/power/runtime_status", "active\n");
    }
    void TearDown() override {
        root.reset();
        GpuPage::TearDown();
    }
    std::unique_ptr<zqtest::FixtureRoot> root;
};

TEST_F(HybridLaptop, ChooserAllAndEachDevice) {
    Page all = probe::collect_gpu(-1);
    ASSERT_EQ(all.selector.options.size(), 3u);
    EXPECT_EQ(all.selector.options[0], T("value.all"));
    EXPECT_EQ(all.selector.values, (std::vector<int>{-1, 0, 1}));
    EXPECT_EQ(all.selector.selected, 0);
    EXPECT_TRUE(util::ends_with(all.subline, I18n::instance().trf("summary.n_gpus", 2)));
    EXPECT_TRUE(util::starts_with(all.subline, T("value.integrated")));  // the iGPU comes first
    std::vector<std::string> got = titles(all);
    EXPECT_EQ(got[0], T("sec.igpu"));
    EXPECT_NE(std::find(got.begin(), got.end(), T("sec.gpu") + " (2)"), got.end());
    EXPECT_NE(std::find(got.begin(), got.end(), T("sec.clock") + " (2)"), got.end());
    for (const probe::Stat& s : all.stats)
        if (!s.live.empty()) {
            EXPECT_TRUE(util::ends_with(s.live, ":card0")) << s.live;
        }

    gpu::forget_snapshot();
    Page second = probe::collect_gpu(1);
    EXPECT_EQ(second.selector.selected, 2);
    EXPECT_EQ(second.headline, all.selector.options[2]);
    EXPECT_TRUE(util::starts_with(second.subline, T("value.discrete")));
    EXPECT_EQ(second.cards[0].title, T("sec.gpu"));  // no suffix for a chosen device
    for (const Card& c : second.cards) EXPECT_NE(c.title, T("sec.igpu"));

    // A stored choice past the device list (a card went away) shows them all.
    for (int stale : {2, 7}) {
        gpu::forget_snapshot();
        Page page = probe::collect_gpu(stale);
        EXPECT_EQ(page.selector.selected, 0);
        EXPECT_EQ(titles(page), titles(all));
    }
}

TEST_F(HybridLaptop, TenTicksChangeOnlyLiveValuesAndLeaveTheSleepingCardAlone) {
    Page page = probe::collect_gpu(-1);
    root->write(DGPU_DEV + "/power/runtime_status", "suspended\n");
    driver.asked.clear();
    driver.nodes.clear();
    // A row naming a card that is not there keeps its text.
    page.cards[0].rows.push_back(probe::Row("x", "kept", "", false, "gpu.busy:card7", ""));
    const Page before = page;
    std::vector<const probe::Row*> addresses;
    for (const Card& c : page.cards)
        for (const probe::Row& r : c.rows) addresses.push_back(&r);

    for (int tick = 1; tick <= 10; ++tick) {
        root->write("/sys/class/drm/card0/gt_cur_freq_mhz", std::to_string(700 + 50 * tick) + "\n");
        root->write(DGPU_DEV + "/gpu_busy_percent", std::to_string(tick) + "\n");
        probe::refresh_live_gpu(page);
    }
    for (const std::string& node : driver.nodes) EXPECT_NE(node, "renderD129");
    EXPECT_TRUE(driver.asked.empty());

    ASSERT_EQ(page.cards.size(), before.cards.size());
    size_t k = 0;
    int changed = 0;
    for (size_t i = 0; i < page.cards.size(); ++i) {
        ASSERT_EQ(page.cards[i].usage.size(), before.cards[i].usage.size());
        for (size_t j = 0; j < before.cards[i].rows.size(); ++j, ++k) {
            const probe::Row& now = page.cards[i].rows[j];
            const probe::Row& then = before.cards[i].rows[j];
            EXPECT_EQ(&now, addresses[k]);
            EXPECT_EQ(now.name, then.name);
            if (now.live.empty()) {
                EXPECT_EQ(now.value, then.value) << now.name;
            } else if (now.value != then.value) {
                ++changed;
                EXPECT_TRUE(util::ends_with(now.live, ":card0")) << now.live << " woke the sleeping card";
            }
        }
    }
    EXPECT_EQ(changed, 1);  // the iGPU's clock
    EXPECT_EQ(value(page.cards[1], T("f.gpu_freq_cur")), "1.20 GHz");
    EXPECT_EQ(page.cards[0].rows.back().value, "kept");
    for (const probe::Stat& s : page.stats)
        if (s.live == "stat.gpu_freq:card0") {
            EXPECT_EQ(s.value, "1.20 GHz");
        }

    // Awake again: the discrete card's rows follow from the next tick on.
    root->write(DGPU_DEV + "/power/runtime_status", "active\n");
    driver.sensors[AMDGPU_INFO_SENSOR_GPU_LOAD] = 64;
    probe::refresh_live_gpu(page);
    EXPECT_FALSE(driver.asked.empty());
    bool seen = false;
    for (const Card& c : page.cards)
        for (const probe::Row& r : c.rows)
            if (r.live == "gpu.busy:card1") {
                EXPECT_EQ(r.value, "64 %");
                seen = true;
            }
    EXPECT_TRUE(seen);
}

TEST_F(GpuPage, EachStatusCardsBarsFollowTheirOwnDevice) {
    zqtest::FixtureRoot root;
    auto card = [&](const std::string& name, const std::string& pci, uint64_t vram, uint64_t gtt) {
        const std::string dev = "/sys/devices/pci0000:00/" + pci;
        root.write(dev + "/vendor", "0x10de\n");
        root.write(dev + "/device", "0x2684\n");
        root.symlink(dev + "/driver", "../../../bus/pci/drivers/nouveau");
        root.write(dev + "/mem_info_vram_total", std::to_string(vram) + "\n");
        root.write(dev + "/mem_info_gtt_total", std::to_string(gtt) + "\n");
        root.write(dev + "/mem_info_vram_used", "1000\n");
        root.symlink("/sys/class/drm/" + name, "../../devices/pci0000:00/" + pci + "/drm/" + name);
        root.symlink("/sys/devices/pci0000:00/" + pci + "/drm/" + name + "/device", "../../../" + pci);
        return dev;
    };
    card("card0", "0000:01:00.0", 8ULL << 30, 4ULL << 30);
    const std::string second = card("card1", "0000:02:00.0", 16ULL << 30, 4ULL << 30);
    Page page = probe::collect_gpu(-1);
    std::vector<Card*> status;
    for (Card& c : page.cards)
        if (!c.usage.empty()) status.push_back(&c);
    ASSERT_EQ(status.size(), 2u);
    EXPECT_TRUE(status[1]->rows.empty() || status[1]->rows.front().live.empty());
    root.write(second + "/mem_info_vram_used", "5000\n");
    probe::refresh_live_gpu(page);
    EXPECT_EQ(status[0]->usage[0].used, 1000u);
    EXPECT_EQ(status[0]->usage[0].total, 8ULL << 30);
    EXPECT_EQ(status[1]->usage[0].used, 5000u);
    EXPECT_EQ(status[1]->usage[0].total, 16ULL << 30);
}

TEST_F(GpuPage, NoGraphicsHereAndPresenceTestCostsNoEnumeration) {
    if (!util::is_dir("/sys/class/drm")) {  // as on the build machine
        EXPECT_FALSE(probe::has_gpu());
        EXPECT_TRUE(probe::collect_gpu(-1).cards.empty());
    }
    zqtest::FixtureRoot root("gpu/discrete");
    EXPECT_TRUE(probe::has_gpu());
    EXPECT_TRUE(driver.asked.empty());  // no render node opened, nothing asked
    root.remove(DGPU_DEV);
    EXPECT_FALSE(probe::has_gpu());  // a card entry without its device
    EXPECT_TRUE(probe::collect_gpu(-1).cards.empty());
}

TEST(GpuReport, FixtureMachineReportHasTheGraphicsTab) {
    zqtest::FixtureRoot root("gpu/discrete");
    auto r = zqtest::run_in_fixture(root.dir(), {zqtest::binary(), "--report"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(" Graphics "), std::string::npos);
    EXPECT_NE(r.out.find("ZQ Office 24"), std::string::npos);
    if (util::is_dir("/sys/class/drm")) return;
    auto here = zqtest::run({zqtest::binary(), "--report"}, {"LANGUAGE=en", "LC_ALL=C.UTF-8"});
    EXPECT_EQ(here.out.find(" Graphics "), std::string::npos);  // no tab without a device
}

}  // namespace
