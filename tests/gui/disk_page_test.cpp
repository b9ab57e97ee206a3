// The "Storage" tab of the real window on the workstation fixture: the tab
// exists, its live rows are registered with the tick, and a tick writes the
// drive's new counters, rates and temperature into the labels.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <cstdlib>
#include <map>
#include <optional>

#include "app.h"
#include "fixture.h"
#include "i18n.h"
#include "sensors.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::label_text;
using zqtest::pump;

class DiskWindow : public zqtest::WindowTest {};

TEST_F(DiskWindow, TickWritesCountersRatesAndTemperature) {
    zqtest::FixtureRoot root("disk/workstation");
    App& app = start();
    int tab = -1;
    for (size_t i = 0; i < app.m_tab_buttons.size(); ++i)
        if (tr("tree.storage") == std::string(gtk_button_get_label(GTK_BUTTON(app.m_tab_buttons[i]))))
            tab = static_cast<int>(i);
    ASSERT_GE(tab, 0);
    app.select_tab(tab);  // a page's widgets are made when it is first shown

    // Shown in overview: nvme0n1 and nvme1n1.
    root.write("/sys/block/nvme0n1/stat",
               "  900000 0 70000000 0 2000000 0 130000000 0 5 1500000 0 0 0 0 0 0 0\n");
    root.write("/sys/devices/pci0000:00/0000:00:01.1/0000:01:00.0/nvme/nvme0/hwmon0/temp1_input", "47000\n");
    app.tick();
    pump();
    std::map<std::string, std::string> shown;
    for (auto& [row, label] : app.m_ctx.live_rows)
        if (util::starts_with(row->live, "disk.")) shown[row->live] = label_text(label);
    EXPECT_EQ(shown.size(), 2u * 8 + 2) << "eight counter rows and a temperature per drive";
    EXPECT_EQ(shown["disk.read:nvme0n1"], util::fmt_bytes(70000000ull * 512));
    EXPECT_EQ(shown["disk.flight:nvme0n1"], "5");
    EXPECT_TRUE(util::ends_with(shown["disk.rrate:nvme0n1"], "/s")) << shown["disk.rrate:nvme0n1"];
    EXPECT_EQ(shown["disk.wrate:nvme1n1"], "\u2014");  // idle
    EXPECT_EQ(shown["disk.temp:nvme0n1"], util::fmt_double(47.0, 1) + " \u00b0C");
    EXPECT_EQ(shown["disk.temp:nvme1n1"], util::fmt_double(37.0, 1) + " \u00b0C");
}

}  // namespace
