// Colours of the window and its language: the palette with its light and dark
// sets and the user's colours, the colour arithmetic every drawing uses, the
// one application style sheet, the desktop's light/dark preference read from
// the desktop portal, and switching the interface language.
#pragma once

#include <gio/gio.h>
#include <gtk/gtk.h>

#include <string>

#include "palette.h"

// The application style sheet for a palette.
std::string build_css(const Palette& p);

namespace theme {

// The desktop's dark preference as the toolkit's own settings show it; read
// once at start-up, before our theme sets the toolkit's dark flag.
bool probe_startup_dark_hint();

// A colour-scheme value decided: 1 dark, 2 light, anything else `fallback`.
bool scheme_prefers_dark(int scheme, bool fallback);
// The colour-scheme number a portal value holds, through any nesting of
// variants; -1 when it holds none.
int scheme_of_value(GVariant* value);
// The colour-scheme number of a portal Read reply ("(v)"); -1 for any other reply.
int scheme_of_reply(GVariant* reply);

// Loads the style sheet of `p` into `*provider`, creating the provider and
// adding it to the default screen on first use, and sets the toolkit's own
// dark preference to `p.dark`.
void load_style(GtkCssProvider** provider, const Palette& p);

// A session bus is there to ask: its address is set, or its socket sits in
// the runtime directory. Without either, connecting would at best start a
// new bus, which has no portal on it.
bool session_bus_exists();

// Connects to the session bus without waiting for it. Once connected:
// subscribes `changed` to SettingChanged (its id into `*subscription`) and
// asks the portal for the colour scheme, whose value (-1: no bus, portal or
// answer) goes to `answered` when it comes. Nothing is called, and
// `*subscription` is not written, once `cancellable` is cancelled.
void watch_portal_async(GDBusSignalCallback changed, void (*answered)(int scheme, gpointer data),
                        gpointer data, guint* subscription, GCancellable* cancellable);
void unwatch_portal(guint subscription);

// The new colour scheme announced by SettingChanged parameters; -1 for any
// other setting.
int changed_scheme(GVariant* parameters);

// True when SettingChanged parameters ("(ssv)") announce a change of the
// appearance colour scheme.
bool is_colour_scheme_change(GVariant* parameters);

// Catalogue, number separators and the toolkit's default text direction for
// a language setting ("auto" or a code). Rebuilds nothing: callers refresh
// the pages and the menu bar afterwards.
void apply_language(const std::string& code);

}  // namespace theme
