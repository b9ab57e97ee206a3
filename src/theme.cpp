#include "theme.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>
#include <vector>

#include "i18n.h"
#include "pages.h"
#include "settings.h"
#include "util.h"

namespace {

const char* PORTAL_NAME = "org.freedesktop.portal.Desktop";
const char* PORTAL_PATH = "/org/freedesktop/portal/desktop";
const char* PORTAL_IFACE = "org.freedesktop.portal.Settings";
const char* APPEARANCE_NS = "org.freedesktop.appearance";
const char* COLOR_SCHEME_KEY = "color-scheme";

// GTK's application priority: above the theme, below the user's own sheet.
const guint CSS_PRIORITY = 600;

// The style sheet with @name@ placeholders for palette and derived colours.
const char* CSS_TEMPLATE =
    R"CSS(window, dialog, box, paned, notebook { background-color: @background@; color: @text@; }
.tabbar { background-color: @background@; border-bottom: 1px solid @line@; padding: 6px 12px 0 12px; }
.tab-button { background-image: none; background-color: transparent; border: none; border-bottom: 3px solid transparent; border-radius: 6px 6px 0 0; padding: 6px 16px 5px 16px; color: @dim@; font-weight: normal; }
.tab-button:hover { background-color: @hover@; color: @text@; }
.tab-button:checked { color: @accent@; font-weight: bold; border-bottom-color: @accent@; background-color: transparent; }
.stat { background-color: @panel@; border: 1px solid @line@; border-radius: 8px; padding: 8px 12px 7px 12px; }
.stat-value { font-size: 172%; font-weight: bold; color: @accent@; font-family: monospace; }
.stat-unit { font-size: 125%; color: @dim@; }
.stat-label { font-size: 86%; color: @dim@; }
menubar { background-color: @header@; color: @text@; border-bottom: 1px solid @line@; padding: 1px 4px; }
menubar > menuitem { padding: 4px 10px; border-radius: 5px; }
menubar > menuitem:hover { background-color: @accent@; color: @sel_fg@; }
menu, popover, .popup { background-color: @panel@; color: @text@; }
menu menuitem { padding: 5px 8px; }
menu menuitem:hover { background-color: @accent@; color: @sel_fg@; }
treeview.view, .view { background-color: @panel@; color: @text@; }
scrolledwindow, viewport, stack { background-color: @background@; color: @text@; }
treeview.view { -GtkTreeView-grid-line-width: 0; -GtkTreeView-vertical-separator: 2; }
treeview.view:selected, treeview.view:selected:focus, treeview.view:selected:hover { background-color: @accent@; color: @sel_fg@; }
treeview.view:hover { background-color: @hover@; }
treeview.view header button { background-color: @header@; color: @dim@; border: none; border-bottom: 1px solid @line@; padding: 6px 8px; font-weight: bold; }
treeview.view header button:hover { background-color: @hover@; }
entry, entry.search, spinbutton { background-color: @panel@; color: @text@; border: 1px solid @line@; border-radius: 6px; padding: 5px 8px; }
entry:focus { border-color: @accent@; }
button { border-radius: 6px; background-image: none; background-color: @header@; color: @text@; border: 1px solid @line@; padding: 5px 14px; }
button:hover { background-color: @hover@; }
*:focus, *:focus-visible { outline-color: @accent@; }
button:active, button:checked { background-color: @accent@; color: #FFFFFF; border-color: @accent@; }
button:disabled { color: @dim@; background-color: @background@; }
button.suggested-action { background-color: @accent@; color: #FFFFFF; border-color: @accent@; }
button.destructive-action { background-color: #C0392B; color: #FFFFFF; border-color: #A93226; }
button.destructive-action:hover { background-color: #D14434; }
messagedialog, messagedialog box, messagedialog label, dialog box, dialog label, headerbar { background-color: @background@; color: @text@; }
messagedialog label, dialog label { background-color: transparent; }
label { color: @text@; }
.section-title { color: @accent@; font-weight: bold; }
.dim-text { color: @dim@; font-size: 90%; }
.statusbar { padding: 4px 10px; font-size: 90%; color: @dim@; background-color: @header@; border-top: 1px solid @line@; }
scrollbar { background-color: transparent; }
scrollbar slider { border-radius: 8px; min-width: 8px; min-height: 8px; }
paned > separator { background-color: @line@; min-width: 1px; }
.color-swatch, .color-swatch colorswatch, .color-swatch button { border: 1px solid @swatch@; border-radius: 4px; min-width: 44px; min-height: 22px; }
.card { background-color: @panel@; border: 1px solid @line@; border-radius: 8px; padding: 10px 12px; }
.card box, .stat box { background-color: transparent; }
.card-title { color: @accent@; font-weight: bold; font-size: 92%; }
.headline { font-size: 155%; font-weight: bold; color: @text@; }
.subline { color: @dim@; font-size: 105%; }
.row-name { color: @dim@; font-size: 92%; }
.row-value { color: @text@; }
.row-value-num { color: @text@; font-family: monospace; }
.slot, .slot-empty { background-color: @panel@; border: 1px solid @line@; border-radius: 6px; padding: 8px 10px; }
.slot-empty { border-style: dashed; background-color: transparent; }
.slot-size { font-family: monospace; font-weight: bold; font-size: 118%; color: @accent@; }
.link-button { padding: 1px 8px; font-size: 90%; }
.page { background-color: @background@; padding: 12px 14px 16px 14px; }
)CSS";

std::string fill_template(const std::string& tmpl,
                          const std::vector<std::pair<std::string, std::string>>& values) {
    std::string out;
    out.reserve(tmpl.size() + 1024);
    size_t pos = 0;
    while (pos < tmpl.size()) {
        size_t at = tmpl.find('@', pos);
        size_t end = at == std::string::npos ? std::string::npos : tmpl.find('@', at + 1);
        if (end == std::string::npos) {
            out.append(tmpl, pos, std::string::npos);
            break;
        }
        out.append(tmpl, pos, at - pos);
        std::string name = tmpl.substr(at + 1, end - at - 1);
        for (const auto& [key, value] : values) {
            if (key == name) out += value;
        }
        pos = end + 1;
    }
    return out;
}

// Held for the life of the process: GIO keeps the shared bus connection only
// while someone references it, and the portal subscription lives on it.
GDBusConnection*& held_bus() {
    static GDBusConnection* bus = nullptr;
    return bus;
}

GVariant* read_arguments() { return g_variant_new("(ss)", APPEARANCE_NS, COLOR_SCHEME_KEY); }

// What an asynchronous connection hands from one step to the next.
struct PortalRequest {
    GDBusSignalCallback changed;
    void (*answered)(int, gpointer);
    gpointer data;
    guint* subscription;
    GCancellable* cancellable;
};

void finish_request(PortalRequest* request, int scheme) {
    if (!g_cancellable_is_cancelled(request->cancellable)) request->answered(scheme, request->data);
    g_object_unref(request->cancellable);
    delete request;
}

void on_portal_read(GObject* source, GAsyncResult* result, gpointer data) {
    GError* err = nullptr;
    GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &err);
    if (err) g_error_free(err);
    int scheme = theme::scheme_of_reply(reply);
    if (reply) g_variant_unref(reply);
    finish_request(static_cast<PortalRequest*>(data), scheme);
}

// Even the asynchronous bus call looks the address up first, and that may
// start a bus for the display: the whole connection is made on a worker.
void connect_session_bus(GTask* task, gpointer, gpointer, GCancellable* cancellable) {
    GError* err = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, cancellable, &err);
    if (bus)
        g_task_return_pointer(task, bus, g_object_unref);
    else
        g_task_return_error(task, err);
}

void on_session_bus(GObject*, GAsyncResult* result, gpointer data) {
    auto* request = static_cast<PortalRequest*>(data);
    GError* err = nullptr;
    auto* bus = static_cast<GDBusConnection*>(g_task_propagate_pointer(G_TASK(result), &err));
    if (err) g_error_free(err);
    if (!bus || g_cancellable_is_cancelled(request->cancellable)) {
        if (bus) g_object_unref(bus);
        finish_request(request, -1);
        return;
    }
    if (held_bus())
        g_object_unref(bus);
    else
        held_bus() = bus;
    bus = held_bus();
    guint sub = g_dbus_connection_signal_subscribe(bus, PORTAL_NAME, PORTAL_IFACE, "SettingChanged",
                                                   PORTAL_PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                   request->changed, request->data, nullptr);
    *request->subscription = sub;
    g_dbus_connection_call(bus, PORTAL_NAME, PORTAL_PATH, PORTAL_IFACE, "Read", read_arguments(),
                           G_VARIANT_TYPE("(v)"), G_DBUS_CALL_FLAGS_NONE, 500, request->cancellable,
                           on_portal_read, request);
}

}  // namespace

std::string build_css(const Palette& p) {
    return fill_template(CSS_TEMPLATE, {
                                           {"background", p.background},
                                           {"panel", p.panel},
                                           {"text", p.text},
                                           {"accent", p.accent},
                                           {"dim", p.dim},
                                           {"line", mix_hex(p.text, p.panel, 0.16)},
                                           {"hover", mix_hex(p.accent, p.panel, 0.14)},
                                           {"header", mix_hex(p.panel, p.background, 0.55)},
                                           {"sel_fg", "#FFFFFF"},
                                           {"swatch", p.dark ? "#8A8A8E" : "#909090"},
                                       });
}

namespace theme {

bool probe_startup_dark_hint() {
    GtkSettings* gs = gtk_settings_get_default();
    if (!gs) return false;
    gboolean prefer_dark = FALSE;
    gchar* name = nullptr;
    g_object_get(gs, "gtk-application-prefer-dark-theme", &prefer_dark, "gtk-theme-name", &name, nullptr);
    bool hint = prefer_dark;
    if (!hint && name) hint = util::lower(name).find("dark") != std::string::npos;
    g_free(name);
    return hint;
}

bool scheme_prefers_dark(int scheme, bool fallback) {
    if (scheme == 1) return true;
    if (scheme == 2) return false;
    return fallback;
}

int scheme_of_value(GVariant* value) {
    if (!value) return -1;
    g_variant_ref(value);
    // Older portals wrap the value in one more variant.
    while (g_variant_is_of_type(value, G_VARIANT_TYPE_VARIANT)) {
        GVariant* inner = g_variant_get_variant(value);
        g_variant_unref(value);
        value = inner;
    }
    // A number past what an int holds would come out negative.
    const guint32 number =
        g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) ? g_variant_get_uint32(value) : 0;
    const int scheme =
        g_variant_is_of_type(value, G_VARIANT_TYPE_UINT32) && number <= G_MAXINT ? int(number) : -1;
    g_variant_unref(value);
    return scheme;
}

void load_style(GtkCssProvider** provider, const Palette& p) {
    if (!*provider) {
        *provider = gtk_css_provider_new();
        GdkScreen* screen = gdk_screen_get_default();
        if (screen) {
            gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(*provider), CSS_PRIORITY);
        }
    }
    std::string css = build_css(p);
    GError* err = nullptr;
    gtk_css_provider_load_from_data(*provider, css.c_str(), static_cast<gssize>(css.size()), &err);
    if (err) g_error_free(err);
    // Setting the flag, even to its own value, makes the toolkit load its
    // whole theme again.
    GtkSettings* gs = gtk_settings_get_default();
    if (!gs) return;
    gboolean dark = FALSE;
    g_object_get(gs, "gtk-application-prefer-dark-theme", &dark, nullptr);
    if (bool(dark) != p.dark)
        g_object_set(gs, "gtk-application-prefer-dark-theme", p.dark ? TRUE : FALSE, nullptr);
}

bool session_bus_exists() {
    const char* address = g_getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address) return true;
    // Where the bus library itself looks next.
    gchar* socket = g_build_filename(g_get_user_runtime_dir(), "bus", nullptr);
    bool there = g_file_test(socket, G_FILE_TEST_EXISTS);
    g_free(socket);
    return there;
}

void watch_portal_async(GDBusSignalCallback changed, void (*answered)(int, gpointer), gpointer data,
                        guint* subscription, GCancellable* cancellable) {
    auto* request =
        new PortalRequest{changed, answered, data, subscription, G_CANCELLABLE(g_object_ref(cancellable))};
    GTask* task = g_task_new(nullptr, cancellable, on_session_bus, request);
    g_task_run_in_thread(task, connect_session_bus);
    g_object_unref(task);
}

void unwatch_portal(guint subscription) {
    if (subscription && held_bus()) g_dbus_connection_signal_unsubscribe(held_bus(), subscription);
}

int scheme_of_reply(GVariant* reply) {
    if (!reply || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(v)"))) return -1;
    GVariant* value = nullptr;
    g_variant_get(reply, "(v)", &value);
    int scheme = scheme_of_value(value);
    if (value) g_variant_unref(value);
    return scheme;
}

int changed_scheme(GVariant* parameters) {
    if (!is_colour_scheme_change(parameters)) return -1;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", nullptr, nullptr, &value);
    int scheme = scheme_of_value(value);
    if (value) g_variant_unref(value);
    return scheme;
}

bool is_colour_scheme_change(GVariant* parameters) {
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)"))) return false;
    const char* ns = nullptr;
    const char* key = nullptr;
    GVariant* value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &ns, &key, &value);
    bool match = g_strcmp0(ns, APPEARANCE_NS) == 0 && g_strcmp0(key, COLOR_SCHEME_KEY) == 0;
    if (value) g_variant_unref(value);
    return match;
}

void apply_language(const std::string& code) {
    cli::apply_language(code);
    gtk_widget_set_default_direction(I18n::instance().is_rtl() ? GTK_TEXT_DIR_RTL : GTK_TEXT_DIR_LTR);
}

}  // namespace theme
