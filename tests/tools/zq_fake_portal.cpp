// A stand-in for the desktop portal's Settings interface on a private session
// bus: answers Read for the appearance colour scheme and emits SettingChanged
// when told to on standard input.
//
//   zq_fake_portal SCHEME [nested]
//
// Prints "ready" once it owns the portal's name. Input lines:
//   set N     the scheme becomes N and SettingChanged announces it
//   other     SettingChanged for an unrelated key
//   nest 0|1  Read answers with the value wrapped once or twice
//   silent    Read is never answered from then on, as by a hung portal
//   quit      exits (so does the end of input)
#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* PATH = "/org/freedesktop/portal/desktop";
const char* IFACE = "org.freedesktop.portal.Settings";

const char* INTROSPECTION = R"XML(
<node>
  <interface name="org.freedesktop.portal.Settings">
    <method name="Read">
      <arg type="s" name="namespace" direction="in"/>
      <arg type="s" name="key" direction="in"/>
      <arg type="v" name="value" direction="out"/>
    </method>
    <signal name="SettingChanged">
      <arg type="s" name="namespace"/>
      <arg type="s" name="key"/>
      <arg type="v" name="value"/>
    </signal>
  </interface>
</node>)XML";

struct State {
    guint32 scheme = 0;
    bool nested = false;
    bool silent = false;
    std::vector<GDBusMethodInvocation*> unanswered;  // let go only at exit
    GDBusConnection* bus = nullptr;
    GMainLoop* loop = nullptr;
};

void on_method(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* method,
               GVariant* params, GDBusMethodInvocation* inv, gpointer data) {
    auto* st = static_cast<State*>(data);
    if (st->silent) {
        st->unanswered.push_back(inv);
        return;
    }
    const char* ns = nullptr;
    const char* key = nullptr;
    g_variant_get(params, "(&s&s)", &ns, &key);
    if (std::strcmp(method, "Read") != 0 || std::strcmp(ns, "org.freedesktop.appearance") != 0 ||
        std::strcmp(key, "color-scheme") != 0) {
        g_dbus_method_invocation_return_dbus_error(inv, "org.freedesktop.portal.Error.NotFound", "not found");
        return;
    }
    GVariant* value = g_variant_new_uint32(st->scheme);
    if (st->nested) value = g_variant_new_variant(value);
    g_dbus_method_invocation_return_value(inv, g_variant_new("(v)", value));
}

void emit(State* st, const char* ns, const char* key, GVariant* value) {
    g_dbus_connection_emit_signal(st->bus, nullptr, PATH, IFACE, "SettingChanged",
                                  g_variant_new("(ssv)", ns, key, value), nullptr);
    g_dbus_connection_flush_sync(st->bus, nullptr, nullptr);
}

gboolean on_input(GIOChannel* ch, GIOCondition, gpointer data) {
    auto* st = static_cast<State*>(data);
    gchar* line = nullptr;
    if (g_io_channel_read_line(ch, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL) {
        g_main_loop_quit(st->loop);
        return G_SOURCE_REMOVE;
    }
    std::string cmd = g_strstrip(line);
    g_free(line);
    if (cmd.rfind("set ", 0) == 0) {
        st->scheme = static_cast<guint32>(std::atoi(cmd.c_str() + 4));
        emit(st, "org.freedesktop.appearance", "color-scheme", g_variant_new_uint32(st->scheme));
    } else if (cmd == "other") {
        emit(st, "org.gnome.desktop.interface", "clock-format", g_variant_new_string("24h"));
    } else if (cmd.rfind("nest ", 0) == 0) {
        st->nested = cmd[5] == '1';
    } else if (cmd == "silent") {
        st->silent = true;
    } else if (cmd == "quit") {
        g_main_loop_quit(st->loop);
        return G_SOURCE_REMOVE;
    }
    std::printf("ok\n");
    std::fflush(stdout);
    return G_SOURCE_CONTINUE;
}

void on_name_acquired(GDBusConnection*, const gchar*, gpointer) {
    std::printf("ready\n");
    std::fflush(stdout);
}

void on_name_lost(GDBusConnection*, const gchar*, gpointer data) {
    std::fprintf(stderr, "could not own the portal name\n");
    g_main_loop_quit(static_cast<State*>(data)->loop);
}

}  // namespace

int main(int argc, char** argv) {
    State st;
    if (argc > 1) st.scheme = static_cast<guint32>(std::atoi(argv[1]));
    st.nested = argc > 2 && std::strcmp(argv[2], "nested") == 0;
    st.bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!st.bus) return 1;
    st.loop = g_main_loop_new(nullptr, FALSE);

    GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(INTROSPECTION, nullptr);
    GDBusInterfaceVTable vtable{on_method, nullptr, nullptr, {}};
    g_dbus_connection_register_object(st.bus, PATH, info->interfaces[0], &vtable, &st, nullptr, nullptr);
    guint owner =
        g_bus_own_name_on_connection(st.bus, "org.freedesktop.portal.Desktop", G_BUS_NAME_OWNER_FLAGS_NONE,
                                     on_name_acquired, on_name_lost, &st, nullptr);
    GIOChannel* in = g_io_channel_unix_new(0);
    g_io_add_watch(in, GIOCondition(G_IO_IN | G_IO_HUP), on_input, &st);

    g_main_loop_run(st.loop);

    for (GDBusMethodInvocation* inv : st.unanswered) g_object_unref(inv);
    g_io_channel_unref(in);
    g_bus_unown_name(owner);
    g_dbus_node_info_unref(info);
    g_main_loop_unref(st.loop);
    g_object_unref(st.bus);
    return 0;
}
