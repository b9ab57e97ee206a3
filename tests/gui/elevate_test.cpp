// Reading the protected data from the window. Stand-in agents, small scripts
// named pkexec or sudo first on the search path, end the run in every way a
// real agent can; the warnings are answered from a timer while they run
// modally. At the end the real sudo runs the collector for an ordinary user
// over a fixture machine.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "app.h"
#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "root_data_testing.h"
#include "settings.h"
#include "util.h"

namespace {

void pump() {
    while (gtk_events_pending()) gtk_main_iteration();
}

// Runs the main loop until `done` or until `seconds` have passed.
bool run_until(const std::function<bool()>& done, int seconds) {
    gint64 deadline = g_get_monotonic_time() + gint64(seconds) * G_USEC_PER_SEC;
    while (!done() && g_get_monotonic_time() < deadline)
        if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
    return done();
}

struct SeenDialog {
    std::string text;
    std::string detail;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    bool modal = false;
    bool on_window = false;
    std::string close_label;
};

// Answers every warning dialog as soon as it is up and keeps what it showed.
class DialogWatch {
public:
    explicit DialogWatch(GtkWidget* window) : m_window(window) { m_source = g_timeout_add(10, check, this); }
    ~DialogWatch() { g_source_remove(m_source); }
    std::vector<SeenDialog> seen;

private:
    static gboolean check(gpointer self) {
        auto* watch = static_cast<DialogWatch*>(self);
        GList* windows = gtk_window_list_toplevels();
        for (GList* w = windows; w; w = w->next) {
            if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
            watch->seen.push_back(describe(GTK_WIDGET(w->data), watch->m_window));
            gtk_dialog_response(GTK_DIALOG(w->data), GTK_RESPONSE_CLOSE);
        }
        g_list_free(windows);
        return G_SOURCE_CONTINUE;
    }
    static SeenDialog describe(GtkWidget* dialog, GtkWidget* window) {
        SeenDialog d;
        gchar* text = nullptr;
        gchar* detail = nullptr;
        g_object_get(dialog, "text", &text, "secondary-text", &detail, "message-type", &d.type, nullptr);
        d.text = text ? text : "";
        d.detail = detail ? detail : "";
        g_free(text);
        g_free(detail);
        d.modal = gtk_window_get_modal(GTK_WINDOW(dialog));
        d.on_window = GTK_WIDGET(gtk_window_get_transient_for(GTK_WINDOW(dialog))) == window;
        GtkWidget* close = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
        d.close_label = close ? gtk_button_get_label(GTK_BUTTON(close)) : "";
        return d;
    }
    GtkWidget* m_window;
    guint m_source = 0;
};

std::string failed() { return tr("status.elevate_failed"); }

class Elevate : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", config_.path().c_str(), 1);
        SettingsStore::instance().mutable_get() = Settings();
        app_ = std::make_unique<App>();
        char name[] = "zorvantelquist";
        char* argv[] = {name, nullptr};
        app_->start_window(1, argv);
        // The tick writes the status line every second; these tests read it.
        g_source_remove(app_->m_timer);
        app_->m_timer = 0;
        pump();
        hw::RootData::instance() = hw::RootData();
        path_.emplace("PATH", agents_.path().c_str());
        watch_ = std::make_unique<DialogWatch>(app_->m_window);
    }
    void TearDown() override {
        // A run still pending would call back into a destroyed window.
        run_until([&] { return !app_->m_elevating; }, 30);
        watch_.reset();
        path_.reset();
        gtk_widget_destroy(app_->m_window);
        pump();
        app_.reset();
        hw::RootData::instance() = hw::RootData();
        SettingsStore::instance().mutable_get() = Settings();
    }

    // A stand-in agent: records its arguments (one per line) and appends to
    // a run log, then does `body`. The search path holds nothing else, so
    // the body names programs by their full path.
    void agent(const std::string& name, const std::string& body) const {
        std::string file = agents_.path() + "/" + name;
        zqtest::write_file(file, "#!/bin/sh\nprintf '%s\\n' \"$@\" > " + args_file() + "\necho run >> " +
                                     agents_.path() + "/runs\n" + body + "\n");
        chmod(file.c_str(), 0755);
    }
    std::string args_file() const { return agents_.path() + "/args"; }
    int runs() const {
        std::string log = zqtest::slurp(agents_.path() + "/runs");
        return static_cast<int>(std::count(log.begin(), log.end(), '\n'));
    }
    // Asks once and waits for the outcome with its dialog.
    void elevate() {
        app_->action_elevate();
        ASSERT_TRUE(run_until([&] { return !app_->m_elevating; }, 20));
        pump();
    }
    std::string status() const { return gtk_label_get_text(GTK_LABEL(app_->m_status)); }
    const std::vector<SeenDialog>& dialogs() const { return watch_->seen; }

    zqtest::TempDir config_;
    zqtest::TempDir agents_;
    std::unique_ptr<App> app_;
    std::optional<zqtest::ScopedEnv> path_;
    std::unique_ptr<DialogWatch> watch_;
    zqtest::ScopedEnv snap_{"SNAP_NAME", nullptr};
    zqtest::ScopedEnv flatpak_{"FLATPAK_ID", nullptr};
};

// What the collector would write on a machine with one module and serials;
// one firmware string carries a byte that is not UTF-8.
std::string collector_text() {
    hw::RootData d;
    hw::MemoryModule m;
    m.locator = "DIMM_A1";
    m.size_bytes = 8589934592u;
    m.manufacturer = "Samsung";
    m.serial = "417B9BB7";
    d.memory.push_back(m);
    d.board_serial = "BS-0042";
    d.product_serial = "PS-7";
    std::string text = d.serialize();
    size_t at = text.find("417B9BB7");
    text.insert(at + 4, "\xFF");
    return text;
}

const probe::Card* slots_card(const probe::Page& memory) {
    for (const probe::Card& c : memory.cards)
        if (c.kind == probe::CardKind::Slots) return &c;
    return nullptr;
}

TEST_F(Elevate, AcceptedOutputRefreshesAllPages) {
    zqtest::write_file(agents_.path() + "/out", collector_text());
    agent("pkexec", "/bin/cat " + agents_.path() + "/out; echo 'noise on stderr' >&2; exit 0");
    app_->m_cpu.headline = "stale";
    ASSERT_NE(slots_card(app_->m_ram), nullptr);
    EXPECT_TRUE(slots_card(app_->m_ram)->slots.empty());
    EXPECT_TRUE(slots_card(app_->m_ram)->hint_elevates);
    elevate();
    EXPECT_EQ(status(), tr("status.elevated"));
    EXPECT_TRUE(dialogs().empty());
    EXPECT_NE(app_->m_cpu.headline, "stale");
    const hw::RootData& data = hw::RootData::instance();
    EXPECT_TRUE(data.available);
    EXPECT_EQ(data.board_serial, "BS-0042");
    EXPECT_EQ(data.product_serial, "PS-7");
    ASSERT_EQ(data.memory.size(), 1u);
    // The stray byte costs its own field one character, not the whole output.
    EXPECT_EQ(data.memory[0].serial,
              "417B\xEF\xBF\xBD"
              "9BB7");
    EXPECT_EQ(data.memory[0].manufacturer, "Samsung");
    const probe::Card* slots = slots_card(app_->m_ram);
    ASSERT_NE(slots, nullptr);
    ASSERT_EQ(slots->slots.size(), 1u);
    EXPECT_EQ(slots->slots[0].mod.locator, "DIMM_A1");
    EXPECT_EQ(slots->hint, "");

    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    EXPECT_EQ(zqtest::slurp(args_file()), std::string(self) + "\n--root-collect\n");
}

TEST_F(Elevate, CancelledAndRefusedShowNoDialog) {
    agent("pkexec", "exit 126");
    elevate();
    EXPECT_EQ(status(), tr("status.elevate_cancelled"));
    EXPECT_TRUE(dialogs().empty());
    EXPECT_FALSE(hw::RootData::instance().available);
}

TEST_F(Elevate, NoAuthenticationAgent) {
    agent("pkexec",
          "echo 'Error executing command as another user: No authentication agent found.' >&2; exit 127");
    elevate();
    EXPECT_EQ(status(),
              failed() + ": Error executing command as another user: No authentication agent found.");
    ASSERT_EQ(dialogs().size(), 1u);
    EXPECT_EQ(dialogs()[0].text, tr("msg.elevate_no_agent"));
    EXPECT_EQ(dialogs()[0].detail, "");
}

TEST_F(Elevate, FailuresShowStatusAndWarning) {
    struct Case {
        const char* body;
        std::string status;
        std::string detail;
    };
    const Case cases[] = {
        // The collector found nothing: its own failure code.
        {"printf 'V 1\\nE SMBIOS table not readable\\n'; printf '  collector failed \\n\\n' >&2; exit 1",
         failed() + ": collector failed", "collector failed"},
        {"exit 0", failed(), ""},
        {"printf 'hello\\nworld\\n'; exit 0", failed(), ""},
        {"printf ' \\n\\t\\n' >&2; exit 3", failed(), ""},
        {"echo 'about to die' >&2; kill -KILL $$", failed() + ": about to die", "about to die"},
        {"kill -TERM $$", failed(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        watch_->seen.clear();
        agent("pkexec", c.body);
        elevate();
        EXPECT_EQ(status(), c.status);
        ASSERT_EQ(dialogs().size(), 1u);
        const SeenDialog& d = dialogs()[0];
        EXPECT_EQ(d.text, failed());
        EXPECT_EQ(d.detail, c.detail);
        EXPECT_EQ(d.type, GTK_MESSAGE_WARNING);
        EXPECT_TRUE(d.modal);
        EXPECT_TRUE(d.on_window);
        EXPECT_EQ(d.close_label, tr("dialog.close"));
        EXPECT_FALSE(hw::RootData::instance().available);
    }
}

// Blank error output counts as none: the start error stands in.
TEST_F(Elevate, BlankErrorOutputFallsBackToStartError) {
    app_->elevate_finished(1, "", " \n\t\n", "  cannot start %s  ");
    EXPECT_EQ(status(), failed() + ": cannot start %s");
    ASSERT_EQ(dialogs().size(), 1u);
    EXPECT_EQ(dialogs()[0].detail, "cannot start %s");
}

TEST_F(Elevate, ChildThatCannotStart) {
    agent("pkexec", "");
    zqtest::write_file(agents_.path() + "/pkexec", "#!/nonexistent/interpreter\n");
    elevate();
    ASSERT_TRUE(util::starts_with(status(), failed() + ": ")) << status();
    std::string message = status().substr(failed().size() + 2);
    ASSERT_EQ(dialogs().size(), 1u);
    EXPECT_EQ(dialogs()[0].text, failed());
    EXPECT_EQ(dialogs()[0].detail, message);
}

TEST_F(Elevate, SudoWithoutPasswordPromptWhenPkexecIsMissing) {
    agent("sudo", "echo 'sudo: a password is required' >&2; exit 1");
    elevate();
    std::string args = zqtest::slurp(args_file());
    EXPECT_TRUE(util::starts_with(args, "-n\n/")) << args;
    EXPECT_TRUE(util::ends_with(args, "\n--root-collect\n")) << args;
    EXPECT_EQ(status(), failed() + ": sudo: a password is required");
    ASSERT_EQ(dialogs().size(), 1u);
    EXPECT_EQ(dialogs()[0].detail, "sudo: a password is required");
}

TEST_F(Elevate, PendingRunIgnoresFurtherRequests) {
    agent("pkexec", "/bin/sleep 1; exit 126");
    app_->action_elevate();
    EXPECT_TRUE(app_->m_elevating);
    EXPECT_EQ(status(), tr("status.elevating"));
    // The window goes on while the agent asks.
    bool ticked = false;
    g_timeout_add(
        50, [](gpointer flag) -> gboolean { return *static_cast<bool*>(flag) = true, G_SOURCE_REMOVE; },
        &ticked);
    ASSERT_TRUE(run_until([&] { return ticked; }, 5));
    EXPECT_TRUE(app_->m_elevating);
    app_->set_status("unchanged");
    app_->action_elevate();
    EXPECT_EQ(status(), "unchanged");
    ASSERT_TRUE(run_until([&] { return !app_->m_elevating; }, 20));
    EXPECT_EQ(runs(), 1);
    EXPECT_EQ(status(), tr("status.elevate_cancelled"));
    EXPECT_TRUE(dialogs().empty());
}

TEST_F(Elevate, RefusedInsideSandboxes) {
    agent("pkexec", "exit 0");
    for (const char* var : {"SNAP_NAME", "FLATPAK_ID"}) {
        SCOPED_TRACE(var);
        watch_->seen.clear();
        zqtest::ScopedEnv sandbox(var, "");
        app_->action_elevate();
        EXPECT_FALSE(app_->m_elevating);
        EXPECT_EQ(status(), tr("status.elevate_unavailable"));
        ASSERT_EQ(dialogs().size(), 1u);
        EXPECT_EQ(dialogs()[0].text, tr("status.elevate_unavailable"));
        EXPECT_EQ(dialogs()[0].detail, tr("msg.elevate_sandboxed"));
    }
    EXPECT_EQ(runs(), 0);
}

TEST_F(Elevate, NeitherAgentOnTheSearchPath) {
    app_->action_elevate();
    EXPECT_FALSE(app_->m_elevating);
    EXPECT_EQ(status(), tr("status.elevate_unavailable"));
    ASSERT_EQ(dialogs().size(), 1u);
    EXPECT_EQ(dialogs()[0].detail, "");
}

TEST_F(Elevate, OwnExecutableComesFromTheProcessLink) {
    agent("pkexec", "exit 126");
    {
        zqtest::FixtureRoot root;
        app_->action_elevate();
        EXPECT_FALSE(app_->m_elevating);
        EXPECT_EQ(status(), failed());
        EXPECT_TRUE(dialogs().empty());
        root.symlink("/proc/self/exe", "/opt/zq/zorvantelquist");
        elevate();
    }
    EXPECT_EQ(zqtest::slurp(args_file()), "/opt/zq/zorvantelquist\n--root-collect\n");
    EXPECT_EQ(runs(), 1);
}

// From the window executable the collector is the program beside it, which
// loads no toolkit; the window itself answers when that one is missing.
TEST_F(Elevate, CollectorIsTheProgramBesideTheWindow) {
    agent("pkexec", "exit 126");
    zqtest::TempDir dir;
    const std::string window = dir.path() + "/zorvantelquist-window";
    const std::string front = dir.path() + "/zorvantelquist";
    for (bool beside : {true, false}) {
        if (beside) {
            zqtest::write_file(front, "#!/bin/sh\n");
            ASSERT_EQ(chmod(front.c_str(), 0755), 0);
        } else {
            ASSERT_EQ(unlink(front.c_str()), 0);
        }
        zqtest::FixtureRoot root;
        root.symlink("/proc/self/exe", window);
        elevate();
        EXPECT_EQ(zqtest::slurp(args_file()), (beside ? front : window) + "\n--root-collect\n");
    }
}

GtkWidget* find_button(GtkWidget* widget, const std::string& label) {
    if (GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)) &&
        label == gtk_button_get_label(GTK_BUTTON(widget)))
        return widget;
    if (!GTK_IS_CONTAINER(widget)) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    GtkWidget* found = nullptr;
    for (GList* c = children; c && !found; c = c->next) found = find_button(GTK_WIDGET(c->data), label);
    g_list_free(children);
    return found;
}

TEST_F(Elevate, MenuItemAndCardButtonsAsk) {
    agent("pkexec", "exit 126");
    GList* top = gtk_container_get_children(GTK_CONTAINER(app_->m_menubar));
    GtkWidget* file = gtk_menu_item_get_submenu(GTK_MENU_ITEM(top->data));
    g_list_free(top);
    GList* items = gtk_container_get_children(GTK_CONTAINER(file));
    GtkWidget* item = nullptr;
    for (GList* i = items; i; i = i->next)
        if (gtk_menu_item_get_label(GTK_MENU_ITEM(i->data)) == std::string(tr("menu.elevate")))
            item = GTK_WIDGET(i->data);
    g_list_free(items);
    ASSERT_NE(item, nullptr);
    gtk_menu_item_activate(GTK_MENU_ITEM(item));
    ASSERT_TRUE(run_until([&] { return !app_->m_elevating; }, 20));
    EXPECT_EQ(runs(), 1);

    probe::Card card;
    card.title = "Mainboard";
    probe::Row serial;
    serial.name = "Serial";
    serial.locked = true;
    card.rows.push_back(serial);
    card.hint = "Serials need administrator rights.";
    card.hint_elevates = true;
    app_->m_cpu.cards.push_back(card);
    app_->rebuild_pages();
    for (const char* key : {"dialog.unlock", "menu.elevate_short"}) {
        SCOPED_TRACE(key);
        GtkWidget* button = find_button(app_->m_stack, tr(key));
        ASSERT_NE(button, nullptr);
        int before = runs();
        gtk_button_clicked(GTK_BUTTON(button));
        ASSERT_TRUE(run_until([&] { return !app_->m_elevating; }, 20));
        EXPECT_EQ(runs(), before + 1);
    }
    EXPECT_EQ(status(), tr("status.elevate_cancelled"));
}

// ---- The real agent ----------------------------------------------------------

const char* const TEST_USER = "zqelevate";

// A sudoers rule that lets the test user run exactly one collector without a
// password; removed with the object.
class SudoRule {
public:
    explicit SudoRule(const std::string& program)
        : m_path("/etc/sudoers.d/zq-elevate-test-" + std::to_string(getpid())) {
        std::string rule = std::string(TEST_USER) + " ALL=(root) NOPASSWD: " + program + " --root-collect\n";
        std::string draft = m_path + ".draft";  // sudo skips names with a dot
        zqtest::write_file(draft, rule);
        chmod(draft.c_str(), 0440);
        ok = zqtest::run({"visudo", "-cf", draft}).status == 0 &&
             std::rename(draft.c_str(), m_path.c_str()) == 0;
        std::remove(draft.c_str());
    }
    ~SudoRule() { std::remove(m_path.c_str()); }
    bool ok = false;

private:
    std::string m_path;
};

// The system user the test runs the window as; removed with the object when
// the test made it, whether the test passed or not.
class TestUser {
public:
    TestUser() {
        if (zqtest::run({"id", "-u", TEST_USER}).status == 0) {
            ok = true;
            return;
        }
        m_made = zqtest::run({"useradd", "--system", "--no-create-home", "--shell", "/bin/sh", TEST_USER})
                     .status == 0;
        ok = m_made;
    }
    ~TestUser() {
        if (m_made) zqtest::run({"userdel", TEST_USER});
    }
    bool ok = false;

private:
    bool m_made = false;
};

// The kernel shows serials and the SMBIOS table to root only.
void write_protected_machine(const zqtest::FixtureRoot& root) {
    const std::string id = "/sys/devices/virtual/dmi/id/";
    root.write(id + "board_serial", "BS-0042\n");
    root.write(id + "product_serial", "PS-7\n");
    std::string table = zqtest::memory_array(0x04000000, 2).bytes() + zqtest::ddr4_device(0x0040).bytes() +
                        zqtest::end_of_table();
    root.write("/sys/firmware/dmi/tables/DMI", table);
    for (const char* f : {"board_serial", "product_serial"}) chmod(root.on_disk(id + f).c_str(), 0400);
    chmod(root.on_disk("/sys/firmware/dmi/tables/DMI").c_str(), 0400);
    chmod(root.dir().c_str(), 0755);
}

std::map<std::string, std::string> key_values(const std::string& text) {
    std::map<std::string, std::string> out;
    for (const std::string& line : util::split(text, '\n')) {
        size_t eq = line.find('=');
        if (eq != std::string::npos) out[line.substr(0, eq)] += line.substr(eq + 1);
    }
    return out;
}

TEST(ElevateRealAgent, SudoRunsTheCollectorForAnOrdinaryUser) {
    if (geteuid() != 0) GTEST_SKIP() << "setting up a user and a sudoers rule needs root";
    gchar* sudo = g_find_program_in_path("sudo");
    g_free(sudo);
    if (!sudo) GTEST_SKIP() << "sudo is not installed (scripts/deps.sh installs it)";
    const char* display = std::getenv("DISPLAY");
    if (!display) GTEST_SKIP() << "no display";
    TestUser user;
    ASSERT_TRUE(user.ok);

    // The program, the user's home and the display's key where the user may
    // read them.
    zqtest::TempDir place;
    chmod(place.path().c_str(), 0755);
    std::string program = place.path() + "/zq_elevate";
    zqtest::write_file(program, zqtest::slurp(zqtest::tool("zq_elevate")));
    chmod(program.c_str(), 0755);
    std::string home = place.path() + "/home";
    ASSERT_EQ(zqtest::run({"install", "-d", "-o", TEST_USER, home}).status, 0);
    std::vector<std::string> env = {"PATH=/usr/sbin:/usr/bin:/sbin:/bin", "HOME=" + home,
                                    "XDG_CONFIG_HOME=" + home, std::string("DISPLAY=") + display,
                                    "LC_ALL=C.UTF-8", "LANGUAGE=",
                                    // no session bus: nothing may start one for the user
                                    "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent"};
    if (const char* auth = std::getenv("XAUTHORITY")) {
        std::string copy = place.path() + "/xauthority";
        zqtest::write_file(copy, zqtest::slurp(auth));
        ASSERT_EQ(zqtest::run({"chown", TEST_USER, copy}).status, 0);
        env.push_back("XAUTHORITY=" + copy);
    }
    std::optional<SudoRule> rule(std::in_place, program);
    ASSERT_TRUE(rule->ok);

    zqtest::FixtureRoot root("desktop-dmi");
    write_protected_machine(root);
    std::vector<std::string> argv = {"runuser", "-u", TEST_USER, "--", "env"};
    argv.insert(argv.end(), env.begin(), env.end());
    argv.push_back(program);
    auto r = zqtest::run_in_fixture(root.dir(), argv);
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    auto seen = key_values(r.out);
    EXPECT_EQ(seen["status"], tr("status.elevated")) << r.out << r.err;
    EXPECT_EQ(seen["dialog"], "") << r.out;
    EXPECT_EQ(seen["available"], "1");
    EXPECT_EQ(seen["board_serial"], "BS-0042");
    EXPECT_EQ(seen["product_serial"], "PS-7");
    EXPECT_EQ(seen["memory"], "1");
    EXPECT_EQ(seen["refreshed"], "1");

    // Without the rule sudo would have to ask, and must not: the run fails
    // with sudo's own reason.
    rule.emplace("/nonexistent");
    auto refused = zqtest::run_in_fixture(root.dir(), argv);
    ASSERT_EQ(refused.status, 0) << refused.err;
    auto again = key_values(refused.out);
    EXPECT_TRUE(util::starts_with(again["status"], failed() + ": sudo: ")) << refused.out;
    EXPECT_EQ(again["available"], "0");
}

}  // namespace
