// The "gpu" tab in the real window on a fixture machine with two graphics
// devices: the tab's place, the device chooser and the tick's live labels.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "app.h"
#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

void pump() {
    while (gtk_events_pending()) gtk_main_iteration();
}

std::string label_text(GtkWidget* w) { return GTK_IS_LABEL(w) ? gtk_label_get_text(GTK_LABEL(w)) : ""; }

void overlay(const zqtest::FixtureRoot& root, const std::string& tree) {
    for (const char* top : {"/sys", "/dev"})
        if (std::filesystem::exists(zqtest::test_data(tree) + top))
            std::filesystem::copy(zqtest::test_data(tree) + top, root.dir() + top,
                                  std::filesystem::copy_options::recursive |
                                      std::filesystem::copy_options::copy_symlinks |
                                      std::filesystem::copy_options::overwrite_existing);
}

class GpuWindow : public ::testing::Test {
protected:
    void SetUp() override {
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        saved_xdg = xdg ? std::optional<std::string>(xdg) : std::nullopt;
        setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
        SettingsStore::instance().mutable_get() = Settings();
        overlay(root, "gpu/intel");
        overlay(root, "gpu/discrete");
        zqtest::open_window(app);
    }
    void TearDown() override {
        zqtest::close_window(app);
        saved_xdg ? setenv("XDG_CONFIG_HOME", saved_xdg->c_str(), 1) : unsetenv("XDG_CONFIG_HOME");
        SettingsStore::instance().mutable_get() = Settings();
    }
    int gpu_tab() const {
        for (size_t i = 0; i < app->m_tabs.size(); ++i)
            if (std::string(app->m_tabs[i].name) == "gpu") return static_cast<int>(i);
        return -1;
    }

    zqtest::FixtureRoot root{"seam"};
    zqtest::TempDir config;
    std::optional<std::string> saved_xdg;
    std::unique_ptr<App> app;
};

TEST_F(GpuWindow, TabChooserAndLiveLabels) {
    const int tab = gpu_tab();
    ASSERT_EQ(tab, 2);  // after cpu and topo
    EXPECT_EQ(app->m_tabs[tab].title, tr("tree.graphics"));
    ASSERT_NE(gtk_stack_get_child_by_name(GTK_STACK(app->m_stack), "gpu"), nullptr);
    const probe::Page& page = *app->m_tabs[tab].page;
    ASSERT_EQ(page.selector.options.size(), 3u);

    // The integrated device's clock follows the tick into its label.
    app->select_tab(tab);
    root.write("/sys/class/drm/card0/gt_cur_freq_mhz", "1300\n");
    app->tick();
    int followed = 0;
    for (auto& [row, label] : app->m_ctx.live_rows)
        if (row->live == "gpu.freq:card0") {
            EXPECT_EQ(label_text(label), util::fmt_khz(1300000));
            ++followed;
        }
    EXPECT_EQ(followed, 1);

    // Choosing the discrete card re-collects this page only and keeps the choice.
    // It reads the devices of now: a monitor plugged in since is on it.
    root.write("/sys/class/drm/card1-HDMI-A-1/status", "connected\n");
    root.write("/sys/class/drm/card1-HDMI-A-1/modes", "2560x1440\n");
    app->m_page_index = tab;
    App::on_selector_changed(app.get(), 1);
    pump();
    EXPECT_EQ(app->m_sel_gpu, 1);
    const probe::Page& chosen = *app->m_tabs[tab].page;
    EXPECT_EQ(chosen.selector.selected, 2);
    EXPECT_EQ(chosen.headline, page.selector.options[2]);
    for (const probe::Card& c : chosen.cards) EXPECT_NE(c.title, tr("sec.igpu"));
    EXPECT_TRUE(zqtest::shows_text(gtk_stack_get_child_by_name(GTK_STACK(app->m_stack), "gpu"), "2560x1440"));
    EXPECT_STREQ(gtk_stack_get_visible_child_name(GTK_STACK(app->m_stack)), "gpu");
}

}  // namespace
