// Following the desktop's colour scheme through the portal: a stand-in portal
// on a private session bus answers Read and announces changes to the watch.
#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>

#include "fixture.h"
#include "theme.h"

namespace {

using zqtest::FakePortal;
using zqtest::inside_private_bus;

// Runs this test binary's own portal cases under dbus-run-session, so that the
// stand-in can own the portal's name without touching the desktop's bus.
TEST(PortalTheme, RunsOnPrivateSessionBus) {
    if (inside_private_bus()) GTEST_SKIP() << "already inside";
    auto r = zqtest::run_on_private_bus("PortalThemeInside.*");
    if (r.status == 127 || r.err.find("No such file") != std::string::npos)
        GTEST_SKIP() << "no dbus-run-session";
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 1 test."), std::string::npos) << r.out;
}

// What a Read reply may hold, however it is wrapped; a number no int holds is none.
TEST(PortalTheme, ReadReplyShapes) {
    struct Case {
        const char* text;
        int scheme;
    } const cases[] = {{"(<uint32 1>,)", 1}, {"(<<uint32 2>>,)", 2}, {"(<uint32 4000000000>,)", -1},
                       {"(<'dark'>,)", -1},  {"(uint32 1,)", -1},    {"(<uint32 0>, <uint32 1>)", -1}};
    for (const Case& c : cases) {
        GVariant* reply = g_variant_ref_sink(g_variant_parse(nullptr, c.text, nullptr, nullptr, nullptr));
        ASSERT_NE(reply, nullptr) << c.text;
        EXPECT_EQ(theme::scheme_of_reply(reply), c.scheme) << c.text;
        g_variant_unref(reply);
    }
    EXPECT_EQ(theme::scheme_of_reply(nullptr), -1);
}

// What the window hears from the asynchronous watch.
struct Heard {
    int answers = 0;
    int scheme = -2;
    int changes = 0;
    int changed = -2;
};

void on_answer(int scheme, gpointer data) {
    auto* h = static_cast<Heard*>(data);
    h->answers++;
    h->scheme = scheme;
}

void on_change(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* params,
               gpointer data) {
    auto* h = static_cast<Heard*>(data);
    h->changes++;
    h->changed = theme::changed_scheme(params);
}

template <typename Done>
bool iterate_until(Done done, int ms = 5000) {
    gint64 until = g_get_monotonic_time() + ms * 1000;
    while (!done() && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE);
    return done();
}

TEST(PortalThemeInside, AsynchronousWatchAnswersLaterAndFollowsChanges) {
    if (!inside_private_bus()) GTEST_SKIP() << "needs the private bus";
    GCancellable* cancel = g_cancellable_new();
    // No portal on the bus: one answer without a scheme.
    Heard none;
    guint none_sub = 0;
    theme::watch_portal_async(on_change, on_answer, &none, &none_sub, cancel);
    EXPECT_EQ(none.answers, 0) << "answered before the main loop ran";
    ASSERT_TRUE(iterate_until([&] { return none.answers > 0; }));
    EXPECT_EQ(none.scheme, -1);
    theme::unwatch_portal(none_sub);

    FakePortal portal(1, true);
    ASSERT_TRUE(portal.ok());
    Heard h;
    guint sub = 0;
    theme::watch_portal_async(on_change, on_answer, &h, &sub, cancel);
    ASSERT_TRUE(iterate_until([&] { return h.answers > 0; }));
    EXPECT_EQ(h.answers, 1);
    EXPECT_EQ(h.scheme, 1);
    ASSERT_NE(sub, 0u);
    ASSERT_TRUE(portal.send("set 2"));
    ASSERT_TRUE(iterate_until([&] { return h.changes >= 1; }));
    EXPECT_EQ(h.changed, 2);
    ASSERT_TRUE(portal.send("other"));
    ASSERT_TRUE(iterate_until([&] { return h.changes >= 2; }));
    EXPECT_EQ(h.changed, -1);
    theme::unwatch_portal(sub);
    g_object_unref(cancel);

    // A watch cancelled before the bus is reached never calls back.
    GCancellable* gone = g_cancellable_new();
    Heard late;
    guint late_sub = 0;
    theme::watch_portal_async(on_change, on_answer, &late, &late_sub, gone);
    g_cancellable_cancel(gone);
    iterate_until([] { return false; }, 300);
    EXPECT_EQ(late.answers, 0);
    EXPECT_EQ(late_sub, 0u);
    g_object_unref(gone);
}

}  // namespace
