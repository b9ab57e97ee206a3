// Following the desktop's colour scheme through the portal: a stand-in portal
// on a private session bus answers Read and announces changes, and the theme
// decision and palette follow it.
#include <gio/gio.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "fixture.h"
#include "settings.h"
#include "theme.h"
#include "util.h"

namespace {

// The stand-in portal as a child process driven through its standard input.
class FakePortal {
public:
    FakePortal(int scheme, bool nested) {
        std::string tool = zqtest::tool("zq_fake_portal");
        std::string arg = std::to_string(scheme);
        const char* argv[] = {tool.c_str(), arg.c_str(), nested ? "nested" : "plain", nullptr};
        GError* err = nullptr;
        m_ok = g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                        nullptr, nullptr, &m_pid, &m_in, &m_out, nullptr, &err);
        if (err) g_error_free(err);
        m_ok = m_ok && read_line() == "ready";
    }
    ~FakePortal() {
        if (m_in >= 0) {
            send("quit");
            close(m_in);
        }
        if (m_out >= 0) close(m_out);
        if (m_pid > 0) {
            int status = 0;
            waitpid(m_pid, &status, 0);
            g_spawn_close_pid(m_pid);
        }
    }
    bool ok() const { return m_ok; }
    // Sends a command and waits until the portal has carried it out.
    bool send(const std::string& cmd) {
        std::string line = cmd + "\n";
        if (write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
        return cmd == "quit" || read_line() == "ok";
    }

private:
    std::string read_line() {
        std::string line;
        char c;
        while (read(m_out, &c, 1) == 1 && c != '\n') line += c;
        return line;
    }
    GPid m_pid = 0;
    int m_in = -1;
    int m_out = -1;
    bool m_ok = false;
};

// What the window does with the signal: a colour-scheme change while the
// theme follows the desktop decides again and takes that palette.
struct Watcher {
    std::string theme_setting = "auto";
    bool startup_hint = false;
    int signals = 0;
    int applied = 0;
    Palette palette = Palette::light();
};

void on_setting_changed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                        GVariant* params, gpointer data) {
    auto* w = static_cast<Watcher*>(data);
    w->signals++;
    if (!theme::is_colour_scheme_change(params) || w->theme_setting != "auto") return;
    w->applied++;
    w->palette = Palette::from_settings(Settings{}, theme::resolve_dark(w->theme_setting, w->startup_hint));
}

bool wait_for_signals(const Watcher& w, int count) {
    gint64 until = g_get_monotonic_time() + 5 * G_USEC_PER_SEC;
    while (w.signals < count && g_get_monotonic_time() < until) g_main_context_iteration(nullptr, FALSE);
    return w.signals >= count;
}

bool inside_private_bus() { return std::getenv("ZQ_PRIVATE_BUS") != nullptr; }

// Runs this test binary's own portal cases under dbus-run-session, so that the
// stand-in can own the portal's name without touching the desktop's bus.
TEST(PortalTheme, RunsOnPrivateSessionBus) {
    if (inside_private_bus()) GTEST_SKIP() << "already inside";
    std::string self = util::read_link_full("/proc/self/exe");
    auto r = zqtest::run({"dbus-run-session", "--", self, "--gtest_filter=PortalThemeInside.*"},
                         {"ZQ_PRIVATE_BUS=1"});
    if (r.status == 127 || r.err.find("No such file") != std::string::npos)
        GTEST_SKIP() << "no dbus-run-session";
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("[  PASSED  ] 4 tests"), std::string::npos) << r.out;
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

TEST(PortalThemeInside, NoPortalLeavesTheStartupHint) {
    if (!inside_private_bus()) GTEST_SKIP() << "needs the private bus";
    EXPECT_TRUE(theme::system_prefers_dark(true));
    EXPECT_FALSE(theme::system_prefers_dark(false));
}

TEST(PortalThemeInside, ReadAnswersDecideAutoOnly) {
    if (!inside_private_bus()) GTEST_SKIP() << "needs the private bus";
    FakePortal portal(1, true);
    ASSERT_TRUE(portal.ok());
    EXPECT_TRUE(theme::system_prefers_dark(false));
    EXPECT_TRUE(theme::resolve_dark("auto", false));
    EXPECT_FALSE(theme::resolve_dark("light", false));

    ASSERT_TRUE(portal.send("nest 0"));
    ASSERT_TRUE(portal.send("set 2"));
    EXPECT_FALSE(theme::system_prefers_dark(true));
    // "No preference" and unknown values leave the decision to the hint.
    ASSERT_TRUE(portal.send("set 0"));
    EXPECT_TRUE(theme::system_prefers_dark(true));
    EXPECT_FALSE(theme::system_prefers_dark(false));
    ASSERT_TRUE(portal.send("set 7"));
    EXPECT_TRUE(theme::system_prefers_dark(true));
}

TEST(PortalThemeInside, SettingChangedSwitchesThePalette) {
    if (!inside_private_bus()) GTEST_SKIP() << "needs the private bus";
    FakePortal portal(2, false);
    ASSERT_TRUE(portal.ok());
    Watcher w;
    guint sub = theme::watch_portal(on_setting_changed, &w);
    ASSERT_NE(sub, 0u);
    // Subscribing sends its match rule without waiting; one round trip on the
    // same connection makes sure the bus has it before the portal speaks.
    theme::system_prefers_dark(false);

    ASSERT_TRUE(portal.send("set 1"));
    ASSERT_TRUE(wait_for_signals(w, 1));
    EXPECT_EQ(w.applied, 1);
    EXPECT_TRUE(w.palette.dark);
    EXPECT_EQ(w.palette.background, Palette::dark_().background);

    ASSERT_TRUE(portal.send("set 2"));
    ASSERT_TRUE(wait_for_signals(w, 2));
    EXPECT_FALSE(w.palette.dark);
    EXPECT_EQ(w.palette.background, Palette::light().background);

    // Another key, or a fixed theme, changes nothing.
    ASSERT_TRUE(portal.send("other"));
    ASSERT_TRUE(wait_for_signals(w, 3));
    w.theme_setting = "light";
    ASSERT_TRUE(portal.send("set 1"));
    ASSERT_TRUE(wait_for_signals(w, 4));
    EXPECT_EQ(w.applied, 2);
    EXPECT_FALSE(w.palette.dark);
    theme::unwatch_portal(sub);
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
