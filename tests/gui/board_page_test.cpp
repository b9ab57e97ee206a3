// The "board" tab in the real window on a fixture laptop: unlock buttons in
// place of the serial numbers until the privileged data arrives, and live
// sensor labels that follow the tick.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app.h"
#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "sensors.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::each_widget;
using zqtest::pump;
using zqtest::shows_text;

int unlock_buttons(GtkWidget* page) {
    int n = 0;
    each_widget(page, [&](GtkWidget* w) {
        if (GTK_IS_BUTTON(w) && gtk_button_get_label(GTK_BUTTON(w)) &&
            std::string(gtk_button_get_label(GTK_BUTTON(w))) == tr("dialog.unlock"))
            ++n;
    });
    return n;
}

using zqtest::label_text;

class BoardWindow : public zqtest::WindowTest {};

TEST_F(BoardWindow, LockedSerialsUnlockAfterElevationAndSensorsFollowTheTick) {
    zqtest::FixtureRoot root("board-laptop");
    const std::string dmi = "/sys/devices/virtual/dmi/id/";
    for (const char* attr : {"board_serial", "product_serial", "product_uuid"}) root.write(dmi + attr, "\n");
    root.write(dmi + "chassis_serial", "System Serial Number\n");
    // A NUL cut the labels short while the report wrote it on: both drop it now.
    root.write(dmi + "product_name", std::string("20QD\0CTO1WW\n", 12));
    root.write(dmi + "bios_version", "N2HET72W\r\x7f (1.55 )\n");
    App& app = start();

    int board = -1;
    for (size_t i = 0; i < app.m_tabs.size(); ++i)
        if (std::string(app.m_tabs[i].name) == "board") board = static_cast<int>(i);
    ASSERT_GE(board, 1);
    EXPECT_STREQ(app.m_tabs[board - 1].name, "topo");
    EXPECT_EQ(app.m_tabs[board].title, tr("sec.mainboard"));
    EXPECT_EQ(app.m_tabs[board].recollect, nullptr);
    app.select_tab(board);  // a page's widgets are made when it is first shown
    GtkWidget* page = gtk_stack_get_child_by_name(GTK_STACK(app.m_stack), "board");
    ASSERT_TRUE(page);
    EXPECT_TRUE(shows_text(page, "LENOVO 20QDCTO1WW"));
    EXPECT_EQ(unlock_buttons(page), 4);
    const std::string report = app.report_text();
    EXPECT_EQ(report.find_first_of(std::string("\0\r\x7f", 3)), std::string::npos);
    EXPECT_NE(report.find("\u2014 LENOVO 20QDCTO1WW\n"), std::string::npos);
    for (const std::string shown : {"20QDCTO1WW", "N2HET72W (1.55 )"}) {
        EXPECT_TRUE(shows_text(page, shown)) << shown;
        EXPECT_NE(report.find(": " + shown + "\n"), std::string::npos) << shown;
    }

    const std::string package = "/sys/class/hwmon/hwmon3/temp1_input";
    GtkWidget* package_label = nullptr;
    int sensor_labels = 0, thermal_labels = 0;
    for (auto& [row, label] : app.m_ctx.live_rows) {
        if (util::starts_with(row->live, "sensor.")) ++sensor_labels;
        if (util::starts_with(row->live, "thermal.")) ++thermal_labels;
        if (row->note == package) package_label = label;
    }
    EXPECT_EQ(sensor_labels, 13);
    EXPECT_EQ(thermal_labels, 3);
    ASSERT_TRUE(package_label);
    const std::string before = label_text(package_label);

    app.tick();
    EXPECT_TRUE(util::starts_with(label_text(app.m_status), "LENOVO 20QDCTO1WW"));
    root.write(package, "73000\n");
    g_usleep(600 * 1000);  // the kept sensor list is re-read once per tick
    // The status line reads the machine line on each tick, not at the last rebuild.
    root.write(dmi + "product_name", "20QDCTO2WW\n");
    app.tick();
    const std::string after = label_text(package_label);
    EXPECT_NE(after, before);
    EXPECT_TRUE(util::starts_with(after, "73")) << after;
    EXPECT_TRUE(util::starts_with(label_text(app.m_status), "LENOVO 20QDCTO2WW"));

    // The collector's text arrives: the next refresh fills the rows.
    ASSERT_TRUE(
        hw::RootData::instance().parse("V 1\nD product_serial|PF1ABCDE\nD product_uuid|3f1c2a80-0001\n"
                                       "D board_serial|L1HF0999\nD chassis_serial|PF1ABCDE\n"));
    app.refresh();
    pump();
    page = gtk_stack_get_child_by_name(GTK_STACK(app.m_stack), "board");
    ASSERT_TRUE(page);
    EXPECT_EQ(unlock_buttons(page), 0);
    EXPECT_TRUE(shows_text(page, "L1HF0999"));
    EXPECT_TRUE(shows_text(page, "3f1c2a80-0001"));
}

}  // namespace
