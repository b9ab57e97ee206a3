// SettingChanged parameters and Read replies from whatever is on the session
// bus: serialised variants of any type and shape are checked without a crash,
// and a scheme is only ever a number the portal can send or -1.
#include <glib.h>

#include "support.h"
#include "theme.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const TYPES[] = {"(ssv)", "(ss)", "v", "(sv)", "(ssu)", "(v)", "((v))", "(u)"};
    if (size == 0) return 0;
    const GVariantType* type = G_VARIANT_TYPE(TYPES[data[0] % 8]);
    GBytes* bytes = g_bytes_new(data + 1, size - 1);
    GVariant* v = g_variant_ref_sink(g_variant_new_from_bytes(type, bytes, FALSE));
    theme::is_colour_scheme_change(v);
    const int changed = theme::changed_scheme(v);
    const int read = theme::scheme_of_reply(v);
    if (changed < -1 || read < -1) __builtin_trap();
    g_variant_unref(v);
    g_bytes_unref(bytes);
    return 0;
}
