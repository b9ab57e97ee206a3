// The "net" tab in the real window on a fixture machine: its place among the
// tabs, its cards as widgets, the tick following the traffic counters and
// the selector choosing one interface.
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app.h"
#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "settings.h"
#include "util.h"
#include "window_fixture.h"

namespace {

using zqtest::pump;

using zqtest::label_text;

bool has_label(GtkWidget* root, const std::string& text) {
    bool found = false;
    std::function<void(GtkWidget*)> walk = [&](GtkWidget* w) {
        if (found) return;
        if (label_text(w) == text) found = true;
        if (GTK_IS_CONTAINER(w)) {
            GList* kids = gtk_container_get_children(GTK_CONTAINER(w));
            for (GList* k = kids; k; k = k->next) walk(GTK_WIDGET(k->data));
            g_list_free(kids);
        }
    };
    walk(root);
    return found;
}

class NetWindow : public zqtest::WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        start();
    }
    int net_tab() const { return zqtest::tab_index(*app_, "net"); }
    GtkWidget* label_of(const std::string& live) const {
        for (auto& [row, label] : app_->m_ctx.live_rows)
            if (row->live == live) return label;
        return nullptr;
    }

    zqtest::FixtureRoot root_{"net"};
};

TEST_F(NetWindow, LastTabFollowsTheCountersAndTheSelector) {
    App& app = *app_;
    int tab = net_tab();
    ASSERT_EQ(tab, static_cast<int>(app.m_tabs.size()) - 1) << "the network tab comes last";
    EXPECT_EQ(app.m_tabs[tab].title, tr("tree.network"));
    app.select_tab(tab);
    pump();
    GtkWidget* child = gtk_stack_get_child_by_name(GTK_STACK(app.m_stack), "net");
    ASSERT_NE(child, nullptr);
    for (const char* text : {"enp3s0", "wlan0", "br0", "veth1, veth2, veth10", "70", "-40 dBm"})
        EXPECT_TRUE(has_label(child, text)) << text;
    EXPECT_FALSE(has_label(child, "-256 dBm"));

    GtkWidget* received = label_of("net.rx:enp3s0");
    GtkWidget* rate = label_of("net.rrate:enp3s0");
    ASSERT_TRUE(received && rate);
    EXPECT_EQ(label_text(rate), "\u2014");
    root_.write("/sys/class/net/enp3s0/statistics/rx_bytes", std::to_string(123456789 + (64u << 20)) + "\n");
    app.tick();
    EXPECT_EQ(label_text(received), util::fmt_bytes(123456789 + (64u << 20)));
    EXPECT_TRUE(util::ends_with(label_text(rate), "/s")) << label_text(rate);

    // Choosing the bridge leaves its cards alone on the page.
    App::on_selector_changed(&app, 4);
    pump();
    EXPECT_EQ(app.m_sel_net, 4);
    EXPECT_EQ(app.m_net.cards.at(1).title, "br0");
    EXPECT_EQ(label_of("net.rx:enp3s0"), nullptr);
    EXPECT_NE(label_of("net.rx:br0"), nullptr);
    EXPECT_EQ(app.m_page_index, tab);
}

}  // namespace
