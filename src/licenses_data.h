// The free components that the program uses and that some package formats
// ship along with it, with their licences, as the licences dialog lists them.
#pragma once

#include <cstddef>

namespace licenses_data {

struct Component {
    const char* name;
    const char* license;
};

inline constexpr Component COMPONENTS[] = {
    {"GTK 3", "LGPL-2.1-or-later"},
    {"GLib", "LGPL-2.1-or-later"},
    {"Pango", "LGPL-2.1-or-later"},
    {"Cairo", "LGPL-2.1 or MPL-1.1"},
    {"gdk-pixbuf", "LGPL-2.1-or-later"},
    {"ATK / AT-SPI", "LGPL-2.1-or-later"},
    {"FreeType", "FTL or GPL-2-or-later"},
    {"FriBidi", "LGPL-2.1-or-later"},
    {"Graphite2", "LGPL-2.1-or-later or MPL-1.1"},
    {"libthai / libdatrie", "LGPL-2.1-or-later"},
    {"systemd (libsystemd)", "LGPL-2.1-or-later"},
    {"util-linux (libmount, libblkid)", "LGPL-2.1-or-later"},
    {"libgcrypt / libgpg-error", "LGPL-2.1-or-later"},
    {"GNU C Library", "LGPL-2.1-or-later"},
    {"hwdata (pci.ids, usb.ids)", "GPL-2 or XFree86 1.1"},
};
inline constexpr size_t COMPONENT_COUNT = sizeof(COMPONENTS) / sizeof(COMPONENTS[0]);

// Further components under MIT, BSD and similar licences, not listed one by one.
inline constexpr int OTHER_COMPONENTS = 23;

}  // namespace licenses_data
