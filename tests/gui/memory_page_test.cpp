// The "memory" tab in the real window over a fixture machine with a 32-slot
// SMBIOS table and two DDR5 modules: the tiles and module cards it shows and
// the bank selector rebuilding it through the shell.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

#include "app.h"
#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "root_data_testing.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::each_widget;
using zqtest::pump_for;
using zqtest::shows_text;

size_t count_class(GtkWidget* root, const char* cls) {
    size_t n = 0;
    each_widget(
        root, [&](GtkWidget* w) { n += gtk_style_context_has_class(gtk_widget_get_style_context(w), cls); });
    return n;
}

GtkWidget* combo_in(GtkWidget* root) {
    GtkWidget* found = nullptr;
    each_widget(root, [&](GtkWidget* w) {
        if (!found && GTK_IS_COMBO_BOX(w)) found = w;
    });
    return found;
}

std::string meminfo(uint64_t avail_kb) {
    return "MemTotal:       16384000 kB\nMemFree:         4000000 kB\nMemAvailable:   " +
           std::to_string(avail_kb) +
           " kB\nBuffers:           39364 kB\nCached:          4069504 kB\n"
           "SwapTotal:       2097152 kB\nSwapFree:        2097152 kB\nShmem:             11248 kB\n";
}

class MemoryTab : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string dump = zqtest::shared_data("smbios/python-dmidecode/IBM-x3950-M2.0.dmidump");
        const std::string spd = zqtest::shared_data("spd-ddr5/MTC40F2046S1RC48BA1.bin");
        if (dump.empty() || spd.empty()) GTEST_SKIP() << "no shared data";
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
        SettingsStore::instance().mutable_get() = Settings();
        hw::RootData::instance() = hw::RootData();
        root_.emplace();
        root_->write("/proc/meminfo", meminfo(12288000));
        root_->write("/sys/firmware/dmi/tables/DMI", zqtest::table_of_dump(zqtest::slurp(dump)));
        for (const char* dev : {"0-0050", "0-0051"}) {
            const std::string dir = std::string("/sys/devices/pci0000:00/0000:00:1f.4/i2c-0/") + dev;
            root_->write(dir + "/eeprom", zqtest::slurp(spd));
            root_->symlink(std::string("/sys/bus/i2c/devices/") + dev,
                           std::string("../../../devices/pci0000:00/0000:00:1f.4/i2c-0/") + dev);
        }
        if (geteuid() != 0) {
            // Not root: hand the window what the collector would have written.
            hw::RootData d;
            hw::read_smbios_memory(zqtest::table_of_dump(zqtest::slurp(dump)), d);
            hw::RootData::instance().parse(d.serialize());
        }
        zqtest::open_window(app_);
        pump_for(200);
    }
    void TearDown() override {
        zqtest::close_window(app_);
        root_.reset();
        hw::RootData::instance() = hw::RootData();
        SettingsStore::instance().mutable_get() = Settings();
        unsetenv("XDG_CONFIG_HOME");
    }
    GtkWidget* memory_child() const {
        return gtk_stack_get_child_by_name(GTK_STACK(app_->m_stack), "memory");
    }

    zqtest::TempDir config_;
    std::optional<zqtest::FixtureRoot> root_;
    std::unique_ptr<App> app_;
};

TEST_F(MemoryTab, SlotsModulesAndBankSelector) {
    // A page's widgets are made when it is first shown.
    for (size_t i = 0; i < app_->m_tabs.size(); ++i)
        if (std::string(app_->m_tabs[i].name) == "memory") app_->select_tab(static_cast<int>(i));
    GtkWidget* page = memory_child();
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(count_class(page, "slot") + count_class(page, "slot-empty"), 32u);
    EXPECT_EQ(count_class(page, "slot"), 18u);  // dmidecode: 18 of the 32 hold a module
    EXPECT_TRUE(shows_text(page, "MTC40F2046S1RC48BA1"));
    EXPECT_TRUE(shows_text(page, "2 / 2"));
    EXPECT_TRUE(shows_text(page, app_->m_ram.stats.back().value));

    // A bank from the selector: the shell rebuilds the page with its two tiles.
    GtkWidget* combo = combo_in(page);
    ASSERT_NE(combo, nullptr);
    gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 5);
    pump_for(200);
    EXPECT_EQ(app_->m_sel_ram, 4);
    page = memory_child();
    EXPECT_EQ(count_class(page, "slot") + count_class(page, "slot-empty"), 2u);
}

}  // namespace
