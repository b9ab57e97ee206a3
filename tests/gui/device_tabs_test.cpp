// The "pci" and "usb" tabs in the real window: present on the machines that
// have such buses, the PCIe link labels following the tick.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "app.h"
#include "fixture.h"
#include "hw/ids.h"
#include "i18n.h"
#include "probe.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::pump;
using zqtest::tab_index;

using zqtest::label_text;

class DeviceTabs : public zqtest::WindowTest {
protected:
    void SetUp() override {
        hw::Ids::instance();  // the machine's databases, not the fixture's
        WindowTest::SetUp();
    }
};

TEST_F(DeviceTabs, ThisMachineHasPciButNoUsb) {
    App& app = start();
    EXPECT_EQ(tab_index(app, "pci") >= 0, util::is_dir("/sys/bus/pci/devices"));
    EXPECT_EQ(tab_index(app, "usb") >= 0, util::is_dir("/sys/bus/usb/devices"));
}

TEST_F(DeviceTabs, WorkstationLinksFollowTheTick) {
    zqtest::FixtureRoot root("workstation");
    App& app = start();
    int pci = tab_index(app, "pci"), usb = tab_index(app, "usb");
    ASSERT_GE(pci, 0);
    ASSERT_EQ(usb, pci + 1);
    EXPECT_EQ(app.m_tabs[pci].title, tr("tree.pci"));
    EXPECT_EQ(app.m_tabs[usb].title, tr("tree.usb"));
    EXPECT_NE(gtk_stack_get_child_by_name(GTK_STACK(app.m_stack), "usb"), nullptr);
    app.select_tab(usb);  // a page's widgets are made when it is first shown
    app.select_tab(pci);

    // Every PCIe link label belongs to the pci page; none to the usb page.
    std::vector<std::pair<probe::Row*, GtkWidget*>> links;
    for (auto& pair : app.m_ctx.live_rows)
        if (util::starts_with(pair.first->live, "pci.link:")) links.push_back(pair);
    EXPECT_EQ(links.size(), 13u);  // six bridges, seven functions with a link
    for (const probe::Card& c : app.m_usb.cards)
        for (const probe::Row& r : c.rows) EXPECT_TRUE(r.live.empty());

    const std::string gpu = util::real_path("/sys/bus/pci/devices/0000:01:00.0");
    root.write(gpu + "/current_link_speed", "2.5 GT/s PCIe\n");
    app.tick();
    int retrained = 0;
    for (auto& [row, label] : links) {
        EXPECT_EQ(label_text(label), row->cols.empty() ? row->value : row->cols.back()) << row->live;
        retrained += row->live == "pci.link:0000:01:00.0" && label_text(label) == "PCIe 1.0 \u00d716";
    }
    EXPECT_EQ(retrained, 1);
}

}  // namespace
