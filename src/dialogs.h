// The shell's dialogs (settings, colours, licences, the snap permission notice
// and About; they are members of App) and the small rules they are built from.
#pragma once

#include <gtk/gtk.h>

#include <string>
#include <vector>

// The content box of a dialog: everything the settings, colours and licences
// dialogs show goes into it.
GtkWidget* dialog_box(GtkWidget* dialog);
// A bold heading above a group of controls.
GtkWidget* section_label(const char* text);

namespace dialogs {

// How the running program was packaged: "Snap" with its version and revision,
// "Flatpak", "AppImage", empty for an installed program and "Entwicklungsstand"
// for one run from a build or working directory.
std::string packaging_kind();

// The one command that connects all three observe interfaces; empty for a
// name that is not a snap name.
std::string grant_command(const std::string& snap_name);

// Where the full licence texts lie: inside the snap or AppImage, else the
// system's documentation directory; empty when none exists.
std::string license_doc_dir();

// A text's first paragraph (all of it without a blank line) and its last one
// (empty without a blank line).
std::string first_paragraph(const std::string& text);
std::string last_paragraph(const std::string& text);

}  // namespace dialogs
